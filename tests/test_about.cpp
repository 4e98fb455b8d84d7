// Help > About My Application...: the modal About box, its template and how
// it closes.
#include "harness.h"
#include "version.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

const char *const CREDIT_ITEMS[] = {
    "Version : Beta " CORVANE_VERSION_TEXT,
    "Corvane Works",
    "http://www.corvane.example",
    "info@corvane.example",
    "Written by Ada Marlow",
    "2026",
    "Ada Marlow, Corvane Works",
    "All rights reserved.",
};
const int N_CREDIT_ITEMS = sizeof(CREDIT_ITEMS) / sizeof(CREDIT_ITEMS[0]);

// Reads one string or ordinal field of a dialog template.
std::string ReadField(const WORD *&pw) {
    if (*pw == 0xFFFF) {
        char szOrd[16];
        snprintf(szOrd, sizeof(szOrd), "#%u", pw[1]);
        pw += 2;
        return szOrd;
    }
    std::string str;
    while (*pw)
        str += (char)*pw++;
    pw++;
    return str;
}

struct TemplateItem {
    DWORD dwStyle, dwExStyle;
    WORD wId;
    std::string strClass, strText;
};

HWND OpenAbout() {
    ClearBoxes();
    PostCommand(IDM_ABOUT);
    if (!WaitForBoxes(1, HANG_GUARD))
        return NULL;
    // Recorded on activation, which may come before it is shown.
    HWND hDlg = BoxesSeen()[0].hWnd;
    if (!WaitFor([&] { return IsWindowVisible(hDlg) != FALSE; }))
        return NULL;
    Pump();
    return hDlg;
}

bool WaitClosed(HWND hDlg) {
    bool bClosed = WaitFor([&] { return !IsWindow(hDlg); });
    Pump();
    return bClosed;
}

HWND FocusOnAppThread() {
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    GetGUIThreadInfo(AppThreadId(), &info);
    return info.hwndFocus;
}

class AboutBox : public ::testing::Test {
  protected:
    HWND hDlg = NULL;

    void SetUp() override {
        ASSERT_NE(StartApp(), (HWND)NULL);
        hDlg = OpenAbout();
        ASSERT_NE(hDlg, (HWND)NULL);
    }

    void TearDown() override {
        StopApp();
    }
};

TEST(AboutTemplate, IsThePlainDialogWithItsControlsInOrder) {
    HRSRC hRes = FindResourceA(GetModuleHandleA(NULL), "AboutBox", (LPCSTR)RT_DIALOG);
    ASSERT_NE(hRes, (HRSRC)NULL);
    const BYTE *pData = (const BYTE *)LockResource(LoadResource(GetModuleHandleA(NULL), hRes));
    ASSERT_NE(pData, (const BYTE *)NULL);
    const WORD *pw = (const WORD *)pData;
    ASSERT_FALSE(pw[0] == 1 && pw[1] == 0xFFFF) << "extended template";

    const DLGTEMPLATE *pTpl = (const DLGTEMPLATE *)pData;
    EXPECT_EQ(pTpl->style, (DWORD)(WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT));
    EXPECT_EQ(pTpl->dwExtendedStyle, (DWORD)WS_EX_DLGMODALFRAME);
    ASSERT_EQ(pTpl->cdit, 3);
    pw = (const WORD *)(pTpl + 1);
    EXPECT_EQ(ReadField(pw), ""); // no menu
    EXPECT_EQ(ReadField(pw), ""); // no class of its own
    EXPECT_EQ(ReadField(pw), "About Corvane...");
    EXPECT_EQ(*pw++, 10);
    EXPECT_EQ(ReadField(pw), "MS Serif");

    std::vector<TemplateItem> items;
    for (int i = 0; i < pTpl->cdit; i++) {
        pw = (const WORD *)(((ULONG_PTR)pw + 3) & ~(ULONG_PTR)3);
        const DLGITEMTEMPLATE *pItem = (const DLGITEMTEMPLATE *)pw;
        TemplateItem item = {pItem->style, pItem->dwExtendedStyle, pItem->id, "", ""};
        pw = (const WORD *)(pItem + 1);
        item.strClass = ReadField(pw);
        item.strText = ReadField(pw);
        pw += 1 + (*pw + 1) / 2; // creation data
        items.push_back(item);
    }
    const DWORD dwChild = WS_CHILD | WS_VISIBLE;

    EXPECT_EQ(items[0].strClass, "#130"); // static
    EXPECT_EQ(items[0].dwStyle, dwChild | SS_LEFT | WS_GROUP);
    EXPECT_EQ(items[0].dwExStyle, (DWORD)WS_EX_CLIENTEDGE);
    EXPECT_EQ(items[0].wId, 0xFFFF);
    EXPECT_EQ(items[0].strText.rfind(CREDIT_ITEMS[0], 0), 0u);

    EXPECT_EQ(items[1].strClass, "#128"); // button
    EXPECT_EQ(items[1].dwStyle, dwChild | BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP);
    EXPECT_EQ(items[1].dwExStyle, 0u);
    EXPECT_EQ(items[1].wId, IDOK);
    EXPECT_EQ(items[1].strText, "ok");

    EXPECT_EQ(items[2].strClass, "#130");
    EXPECT_EQ(items[2].dwStyle, dwChild | SS_CENTER | SS_SUNKEN | WS_GROUP);
    EXPECT_EQ(items[2].dwExStyle, 0u);
    EXPECT_EQ(items[2].wId, 0xFFFF);
    EXPECT_EQ(items[2].strText, "Corvane");
}

TEST_F(AboutBox, OpensModalOverTheMainWindow) {
    BoxSeen box = BoxesSeen()[0];
    EXPECT_EQ(box.caption, "About Corvane...");
    EXPECT_EQ(box.hOwner, AppWindow());
    EXPECT_FALSE(IsWindowEnabled(AppWindow()));
    EXPECT_TRUE(IsWindowVisible(hDlg));
    LONG lStyle = GetWindowLongA(hDlg, GWL_STYLE);
    EXPECT_EQ(lStyle & WS_CAPTION, WS_CAPTION);
    EXPECT_TRUE(lStyle & WS_SYSMENU);
    EXPECT_TRUE(lStyle & DS_MODALFRAME);
    EXPECT_FALSE(lStyle & WS_POPUP);
    EXPECT_TRUE(GetWindowLongA(hDlg, GWL_EXSTYLE) & WS_EX_DLGMODALFRAME);

    LOGFONTA lf = {};
    ASSERT_TRUE(GetObjectA((HFONT)SendMessageA(hDlg, WM_GETFONT, 0, 0), sizeof(lf), &lf));
    EXPECT_STREQ(lf.lfFaceName, "MS Serif");
    HDC hdc = GetDC(NULL);
    EXPECT_EQ(lf.lfHeight, -MulDiv(10, GetDeviceCaps(hdc, LOGPIXELSY), 72));
    ReleaseDC(NULL, hdc);

    struct Expected {
        const char *lpszClass;
        int nId;
        RECT rcUnits; // x, y, width, height
    } expected[] = {
        {"Static", 0xFFFF, {8, 20, 136, 68}},
        {"Button", IDOK, {148, 4, 12, 84}},
        {"Static", 0xFFFF, {40, 8, 80, 9}},
    };
    HWND hChild = GetWindow(hDlg, GW_CHILD);
    for (const Expected &e : expected) {
        ASSERT_NE(hChild, (HWND)NULL);
        EXPECT_EQ(ClassOf(hChild), e.lpszClass);
        EXPECT_EQ(GetDlgCtrlID(hChild), e.nId);
        // Position and size are each converted from dialog units.
        RECT rcWant = e.rcUnits;
        MapDialogRect(hDlg, &rcWant);
        RECT rcIs;
        GetWindowRect(hChild, &rcIs);
        MapWindowPoints(NULL, hDlg, (POINT *)&rcIs, 2);
        EXPECT_EQ(rcIs.left, rcWant.left) << e.lpszClass << " " << e.nId;
        EXPECT_EQ(rcIs.top, rcWant.top) << e.lpszClass << " " << e.nId;
        EXPECT_EQ(rcIs.right - rcIs.left, rcWant.right) << e.lpszClass << " " << e.nId;
        EXPECT_EQ(rcIs.bottom - rcIs.top, rcWant.bottom) << e.lpszClass << " " << e.nId;
        hChild = GetWindow(hChild, GW_HWNDNEXT);
    }
    EXPECT_EQ(hChild, (HWND)NULL);

    HWND hCredits = GetWindow(hDlg, GW_CHILD);
    HWND hOk = GetDlgItem(hDlg, IDOK);
    HWND hTitle = GetWindow(hOk, GW_HWNDNEXT);
    EXPECT_EQ(TextOf(hOk), "ok");
    EXPECT_EQ(TextOf(hTitle), "Corvane");
    EXPECT_TRUE(GetWindowLongA(hCredits, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    EXPECT_TRUE(GetWindowLongA(hTitle, GWL_STYLE) & SS_SUNKEN);
    EXPECT_EQ(FocusOnAppThread(), hOk);
}

// The credits are one string; the padding after each item does the line breaks.
TEST_F(AboutBox, CreditsStartEachItemOnANewLine) {
    HWND hCredits = GetWindow(hDlg, GW_CHILD);
    std::string strText = TextOf(hCredits);
    std::string strVersion = std::string(CREDIT_ITEMS[0]) + std::string(54, ' ');
    ASSERT_EQ(strText.compare(0, strVersion.size(), strVersion), 0);
    EXPECT_NE(strText[strVersion.size()], ' ');
    EXPECT_EQ(strText.find('\n'), std::string::npos);
    EXPECT_EQ(strText.find('\r'), std::string::npos);

    // Where each item begins and ends, found in order.
    std::vector<size_t> begin, end;
    size_t nAt = 0;
    for (const char *lpszItem : CREDIT_ITEMS) {
        size_t nPos = strText.find(lpszItem, nAt);
        ASSERT_NE(nPos, std::string::npos) << lpszItem;
        ASSERT_EQ(strText.find_first_not_of(' ', nAt), nPos) << "text before " << lpszItem;
        begin.push_back(nPos);
        end.push_back(nPos + strlen(lpszItem));
        nAt = end.back();
    }
    EXPECT_EQ(nAt, strText.size()) << "the rights notice ends the text";

    // Measured as the static control wraps: its font, its client width.
    RECT rcClient;
    GetClientRect(hCredits, &rcClient);
    HDC hdc = GetDC(hCredits);
    HGDIOBJ hOld = SelectObject(hdc, (HFONT)SendMessageA(hDlg, WM_GETFONT, 0, 0));
    TEXTMETRICA tm;
    GetTextMetricsA(hdc, &tm);
    auto Lines = [&](size_t nLen) {
        RECT rc = rcClient;
        std::string str = strText.substr(0, nLen);
        DrawTextA(hdc, str.c_str(), (int)str.size(), &rc,
                  DT_LEFT | DT_EXPANDTABS | DT_WORDBREAK | DT_CALCRECT);
        return (rc.bottom - rc.top) / tm.tmHeight;
    };
    for (int i = 0; i < N_CREDIT_ITEMS; i++) {
        SIZE size;
        GetTextExtentPoint32A(hdc, CREDIT_ITEMS[i], (int)strlen(CREDIT_ITEMS[i]), &size);
        EXPECT_LE(size.cx, rcClient.right) << CREDIT_ITEMS[i] << " fits one line";
        if (i == 0)
            continue;
        // Not on the line of the item before it.
        EXPECT_GT(Lines(end[i]), Lines(end[i - 1])) << CREDIT_ITEMS[i];
        // The padding after the fixed version line is not ours; every later
        // item's padding fills its line without spilling a blank one.
        if (i >= 2) {
            EXPECT_EQ(Lines(end[i]), Lines(end[i - 1]) + 1) << CREDIT_ITEMS[i];
        }
    }
    EXPECT_LE(N_CREDIT_ITEMS * tm.tmHeight, rcClient.bottom) << "every item has room";
    SelectObject(hdc, hOld);
    ReleaseDC(hCredits, hdc);
}

// Enter, Esc, the ok button and the close box each close it, and it opens
// again afterwards.
TEST_F(AboutBox, EveryWayToCloseItClosesAndItOpensAgain) {
    const std::pair<const char *, std::function<void(HWND)>> ways[] = {
        {"Enter", [](HWND h) { PostMessageA(h, WM_KEYDOWN, VK_RETURN, 0); }},
        {"Esc", [](HWND h) { PostMessageA(h, WM_KEYDOWN, VK_ESCAPE, 0); }},
        {"ok", [](HWND h) { PressButton(h, IDOK); }},
        {"close box", [](HWND h) { PostMessageA(h, WM_SYSCOMMAND, SC_CLOSE, 0); }},
    };
    for (const auto &way : ways) {
        if (!hDlg)
            hDlg = OpenAbout();
        ASSERT_NE(hDlg, (HWND)NULL) << way.first;
        EXPECT_FALSE(IsWindowEnabled(AppWindow())) << way.first;
        way.second(hDlg);
        EXPECT_TRUE(WaitClosed(hDlg)) << way.first;
        EXPECT_TRUE(IsWindowEnabled(AppWindow())) << way.first;
        EXPECT_EQ(BoxesSeen().size(), 1u) << way.first;
        hDlg = NULL;
    }
}

} // namespace
