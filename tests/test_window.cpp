// The main window as a user first sees it: its frame, menu, views and
// buttons, at 96 DPI exactly as drawn up and at other scales in proportion.
// The MainWindow tests run at 96 DPI, and once more in a process of their own
// at 144 DPI (150 %), started by MainWindowScale.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char SZ_DPI_VARIABLE[] = "CORVANE_TEST_DPI";

// The DPI this process is meant to run at: 96, unless MainWindowScale set
// another for it.
UINT ExpectedDpi() {
    char szDpi[16] = "";
    GetEnvironmentVariableA(SZ_DPI_VARIABLE, szDpi, sizeof(szDpi));
    return atoi(szDpi) > 0 ? (UINT)atoi(szDpi) : 96;
}

UINT ScreenDpi() {
    HDC hdc = GetDC(NULL);
    UINT uDpiNow = (UINT)GetDeviceCaps(hdc, LOGPIXELSX);
    ReleaseDC(NULL, hdc);
    return uDpiNow;
}

// A 96-DPI figure at another DPI: exact at 96, else within rounding.
void ExpectScaled(int nSeen, int n96, UINT uAt, const std::string &what) {
    if (uAt == 96)
        EXPECT_EQ(nSeen, n96) << what;
    else
        EXPECT_NEAR(nSeen, n96 * (double)uAt / 96, 0.5) << what << " at " << uAt << " DPI";
}

class MainWindow : public ::testing::Test {
  protected:
    HWND hWnd = NULL;
    void SetUp() override {
        ASSERT_EQ(ScreenDpi(), ExpectedDpi());
        hWnd = StartApp();
        ASSERT_NE(hWnd, (HWND)NULL);
    }
    void TearDown() override {
        StopApp();
    }
};

// A child's rectangle in its parent's client coordinates.
RECT ChildRect(HWND hChild) {
    RECT rc;
    GetWindowRect(hChild, &rc);
    MapWindowPoints(NULL, GetParent(hChild), (POINT *)&rc, 2);
    return rc;
}

struct ChildLayout {
    HWND *phWnd; // the global, or NULL for a button looked up by id
    int nId;
    const char *lpszClass;
    DWORD dwStyle;
    DWORD dwExStyle;
    int x, y, cx, cy; // at 96 DPI
};

const DWORD dwTreeStyle = TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_DISABLEDRAGDROP;
// The list box drops WS_VSCROLL while it has nothing to scroll; checked below.
const ChildLayout layouts[] = {
    {&hListd, 101, "SysListView32", LVS_REPORT, WS_EX_CLIENTEDGE, 10, 10, 654, 140},
    {&hList3, 101, "SysListView32", LVS_REPORT, WS_EX_CLIENTEDGE, 10, 158, 654, 140},
    {&hListt, 101, "ListBox", WS_BORDER | LBS_NOTIFY | LBS_SORT, WS_EX_CLIENTEDGE, 10, 308, 683,
     140},
    {&hTree, 101, "SysTreeView32", dwTreeStyle, WS_EX_CLIENTEDGE, 705, 10, 200, 430},
    {NULL, 1700, "Button", BS_MULTILINE, 0, 674, 10, 20, 139},
    {NULL, 1800, "Button", BS_MULTILINE, 0, 674, 159, 20, 144},
};

struct Col {
    HWND *phList;
    int nIndex;
    const char *lpszTitle;
    int nWidth; // at 96 DPI
    int nFormat;
};
const Col cols[] = {
    {&hList3, 0, "Variable", 135, LVCFMT_LEFT}, {&hList3, 1, "Value", 500, LVCFMT_LEFT},
    {&hListd, 0, "Drive", 50, LVCFMT_LEFT},     {&hListd, 1, "Label", 100, LVCFMT_LEFT},
    {&hListd, 2, "Format", 100, LVCFMT_LEFT},   {&hListd, 3, "Long Names", 100, LVCFMT_LEFT},
    {&hListd, 4, "Type", 100, LVCFMT_LEFT},     {&hListd, 5, "Space", 100, LVCFMT_RIGHT},
    {&hListd, 6, "Free", 100, LVCFMT_RIGHT},
};

// The caption as the button wraps it: DrawText in the button's own font, in
// a client width of cx less 6. True if it stands one letter a line; its
// height goes to *pnHeight.
bool OneLetterALine(HWND hBtn, int cx, int *pnHeight) {
    std::string caption = TextOf(hBtn);
    int nLetters =
        (int)std::count_if(caption.begin(), caption.end(), [](char c) { return c != ' '; });
    HDC hdc = GetDC(hBtn);
    HFONT hFont = (HFONT)SendMessageA(hBtn, WM_GETFONT, 0, 0);
    HGDIOBJ hOld = SelectObject(hdc, hFont ? (HGDIOBJ)hFont : GetStockObject(SYSTEM_FONT));
    TEXTMETRICA tm;
    GetTextMetricsA(hdc, &tm);
    RECT rc = {0, 0, cx - 6, 0};
    DrawTextA(hdc, caption.c_str(), -1, &rc, DT_CALCRECT | DT_WORDBREAK | DT_CENTER);
    SelectObject(hdc, hOld);
    ReleaseDC(hBtn, hdc);
    *pnHeight = rc.bottom;
    return rc.bottom == nLetters * tm.tmHeight;
}

// Every child at its 96-DPI place scaled to uAt. A button may be narrower,
// by no more than its caption needs to stand one letter a line, and the
// letters fit its height.
void ExpectChildrenAt(HWND hWnd, UINT uAt) {
    for (const ChildLayout &want : layouts) {
        HWND hChild = want.phWnd ? *want.phWnd : GetDlgItem(hWnd, want.nId);
        ASSERT_NE(hChild, (HWND)NULL) << want.lpszClass << " " << want.nId;
        std::string what =
            ClassOf(hChild) + " at " + std::to_string(want.x) + "," + std::to_string(want.y);
        RECT rc = ChildRect(hChild);
        ExpectScaled(rc.left, want.x, uAt, what + " x");
        ExpectScaled(rc.top, want.y, uAt, what + " y");
        int cx = rc.right - rc.left, cy = rc.bottom - rc.top;
        if (want.phWnd == &hListt) {
            // Integral height: the list box trims itself to whole lines.
            int nItem = (int)SendMessageA(hListt, LB_GETITEMHEIGHT, 0, 0);
            ExpectScaled(cx, want.cx, uAt, what + " width");
            EXPECT_LE(cy, want.cy * (int)uAt / 96) << what;
            EXPECT_GT(cy, want.cy * (int)uAt / 96 - nItem) << what;
        } else if (!want.phWnd) {
            RECT rcClient;
            GetClientRect(hChild, &rcClient);
            int cxScaled = (want.cx * (int)uAt + 48) / 96, nHeight = 0;
            ExpectScaled(cy, want.cy, uAt, what + " height");
            EXPECT_LE(cx, cxScaled) << what;
            EXPECT_TRUE(OneLetterALine(hChild, rcClient.right, &nHeight)) << what << " " << cx;
            EXPECT_LE(nHeight, rcClient.bottom) << what;
            if (cx < cxScaled) {
                EXPECT_FALSE(OneLetterALine(hChild, rcClient.right + 1, &nHeight))
                    << what << " is narrower than its caption needs";
            }
        } else {
            ExpectScaled(cx, want.cx, uAt, what + " width");
            ExpectScaled(cy, want.cy, uAt, what + " height");
        }
    }
}

void ExpectColumnsAt(UINT uAt) {
    for (const Col &c : cols) {
        LVCOLUMNA col;
        ZeroMemory(&col, sizeof(col));
        col.mask = LVCF_WIDTH;
        ASSERT_TRUE(SendMessageA(*c.phList, LVM_GETCOLUMNA, c.nIndex, (LPARAM)&col)) << c.lpszTitle;
        ExpectScaled(col.cx, c.nWidth, uAt, c.lpszTitle);
    }
}

// The text list's font is the system's message font at that DPI.
void ExpectListFontAt(UINT uAt) {
    typedef BOOL(WINAPI * ParametersForDpiFn)(UINT, UINT, PVOID, UINT, UINT);
    ParametersForDpiFn pParametersForDpi = (ParametersForDpiFn)(void *)GetProcAddress(
        GetModuleHandleA("user32.dll"), "SystemParametersInfoForDpi");
    ASSERT_NE(pParametersForDpi, nullptr);
    NONCLIENTMETRICSW ncm;
    ZeroMemory(&ncm, sizeof(ncm));
    ncm.cbSize = sizeof(ncm);
    ASSERT_TRUE(pParametersForDpi(SPI_GETNONCLIENTMETRICS, sizeof(ncm), &ncm, 0, 96));
    HFONT hFont = (HFONT)SendMessageA(hListt, WM_GETFONT, 0, 0);
    ASSERT_NE(hFont, (HFONT)NULL);
    EXPECT_NE(hFont, (HFONT)GetStockObject(SYSTEM_FONT));
    LOGFONTW lf;
    ASSERT_EQ(GetObjectW(hFont, sizeof(lf), &lf), (int)sizeof(lf));
    EXPECT_EQ(Utf8(lf.lfFaceName), Utf8(ncm.lfMessageFont.lfFaceName));
    ExpectScaled(lf.lfHeight, ncm.lfMessageFont.lfHeight, uAt, "text list font height");
}

// Three square images of the DPI's size. Drawn on magenta, the green
// background shows the magenta: no pure green is left, in the corners or
// anywhere, and each image draws something of its own.
void ExpectTreeImagesAt(UINT uAt) {
    HIMAGELIST hImages = (HIMAGELIST)SendMessageA(hTree, TVM_GETIMAGELIST, TVSIL_NORMAL, 0);
    ASSERT_NE(hImages, (HIMAGELIST)NULL);
    EXPECT_EQ(ImageList_GetImageCount(hImages), 3);
    int cx = 0, cy = 0;
    ImageList_GetIconSize(hImages, &cx, &cy);
    ExpectScaled(cx, 16, uAt, "image width");
    ExpectScaled(cy, 16, uAt, "image height");

    const COLORREF crMagenta = RGB(255, 0, 255);
    HDC hdcScreen = GetDC(NULL);
    HDC hdc = CreateCompatibleDC(hdcScreen);
    HBITMAP hBmp = CreateCompatibleBitmap(hdcScreen, cx, cy);
    HGDIOBJ hOld = SelectObject(hdc, hBmp);
    for (int i = 0; i < 3; i++) {
        RECT rc = {0, 0, cx, cy};
        HBRUSH hBrush = CreateSolidBrush(crMagenta);
        FillRect(hdc, &rc, hBrush);
        DeleteObject(hBrush);
        ImageList_Draw(hImages, i, hdc, 0, 0, ILD_TRANSPARENT);
        int nGreen = 0, nBackground = 0;
        for (int y = 0; y < cy; y++)
            for (int x = 0; x < cx; x++) {
                COLORREF cr = GetPixel(hdc, x, y);
                nGreen += cr == RGB(0, 255, 0);
                nBackground += cr == crMagenta;
            }
        EXPECT_EQ(nGreen, 0) << "image " << i;
        EXPECT_EQ(GetPixel(hdc, 0, 0), crMagenta) << "image " << i;
        EXPECT_EQ(GetPixel(hdc, cx - 1, 0), crMagenta) << "image " << i;
        EXPECT_GT(nBackground, 0) << "image " << i;
        EXPECT_LT(nBackground, cx * cy / 2) << "image " << i;
    }
    SelectObject(hdc, hOld);
    DeleteObject(hBmp);
    DeleteDC(hdc);
    ReleaseDC(NULL, hdcScreen);
}

// A window is no larger than the screen lets it be.
SIZE LargestWindow() {
    return {GetSystemMetrics(SM_CXMAXTRACK), GetSystemMetrics(SM_CYMAXTRACK)};
}

} // namespace

TEST_F(MainWindow, FrameIsCorvaneAt50x120Sized925x500AtTheScreensScale) {
    EXPECT_EQ(TextOf(hWnd), "Corvane");
    EXPECT_EQ(ClassOf(hWnd), "Corvane");
    RECT rc;
    GetWindowRect(hWnd, &rc);
    UINT uAt = ExpectedDpi();
    ExpectScaled(rc.left, 50, uAt, "x");
    ExpectScaled(rc.top, 120, uAt, "y");
    SIZE largest = LargestWindow();
    if (925 * uAt / 96.0 < largest.cx)
        ExpectScaled(rc.right - rc.left, 925, uAt, "width");
    else
        EXPECT_EQ(rc.right - rc.left, largest.cx);
    if (500 * uAt / 96.0 < largest.cy)
        ExpectScaled(rc.bottom - rc.top, 500, uAt, "height");
    else
        EXPECT_EQ(rc.bottom - rc.top, largest.cy);
    EXPECT_EQ(GetWindowLongA(hWnd, GWL_STYLE) & WS_OVERLAPPEDWINDOW, (LONG)WS_OVERLAPPEDWINDOW);
    EXPECT_TRUE(IsWindowVisible(hWnd));
}

TEST_F(MainWindow, BackgroundIsBlackAfterStart) {
    EXPECT_EQ((HBRUSH)GetClassLongPtrA(hWnd, GCLP_HBRBACKGROUND),
              (HBRUSH)GetStockObject(BLACK_BRUSH));
    EXPECT_NE(GetClassLongPtrA(hWnd, GCLP_HICON), 0);
    EXPECT_NE(GetClassLongPtrA(hWnd, GCLP_HICONSM), 0);
}

TEST_F(MainWindow, MenuHasEveryCommandInOrder) {
    // Label, id; "-" is a separator, ">" opens a nested pop-up, "<" closes it.
    struct Item {
        const char *lpszLabel;
        UINT nId;
    };
    const std::vector<std::pair<std::string, std::vector<Item>>> expected = {
        {"&File", {{"E&xit", 100}}},
        {"&System Type",
         {{"&Get Computer Name", 800},
          {"Get &Windows Dir..", 1500},
          {"&Keyboard", 500},
          {"&Get Windows Version", 1600},
          {"-", 0},
          {"&Disk Free Space", 900},
          {"&Environment", 1000},
          {"-", 0},
          {"&Private Profile", 600},
          {"P&rofile Section", 700},
          {"De&fault Language", 1100},
          {"&System Information", 1200}}},
        {"&Registry", {{"&Registry Editor", 1300}, {"-", 0}, {"R&eset", 1400}}},
        {"&DeskTop", {{">&Window", 0}, {"&Cascade", 400}, {"&Tile", 200}, {"<", 0}}},
        {"&Help", {{"&About My Application...", 300}}},
    };

    HMENU hMenu = GetMenu(hWnd);
    ASSERT_NE(hMenu, (HMENU)NULL);
    ASSERT_EQ(GetMenuItemCount(hMenu), (int)expected.size());
    for (int i = 0; i < (int)expected.size(); i++) {
        char szText[64] = "";
        GetMenuStringA(hMenu, i, szText, sizeof(szText), MF_BYPOSITION);
        EXPECT_EQ(szText, expected[i].first);
        HMENU hPopup = GetSubMenu(hMenu, i);
        ASSERT_NE(hPopup, (HMENU)NULL) << expected[i].first;

        // Flatten the pop-up the same way as the expectation.
        std::vector<std::pair<std::string, UINT>> seen;
        struct Walk {
            static void Run(HMENU h, std::vector<std::pair<std::string, UINT>> &out) {
                for (int j = 0; j < GetMenuItemCount(h); j++) {
                    char szItem[64] = "";
                    MENUITEMINFOA mii;
                    ZeroMemory(&mii, sizeof(mii));
                    mii.cbSize = sizeof(mii);
                    mii.fMask = MIIM_FTYPE | MIIM_ID | MIIM_SUBMENU | MIIM_STRING;
                    mii.dwTypeData = szItem;
                    mii.cch = sizeof(szItem);
                    GetMenuItemInfoA(h, j, TRUE, &mii);
                    if (mii.fType & MFT_SEPARATOR) {
                        out.push_back({"-", 0});
                    } else if (mii.hSubMenu) {
                        out.push_back({std::string(">") + szItem, 0});
                        Run(mii.hSubMenu, out);
                        out.push_back({"<", 0});
                    } else {
                        out.push_back({szItem, mii.wID});
                    }
                }
            }
        };
        Walk::Run(hPopup, seen);
        ASSERT_EQ(seen.size(), expected[i].second.size()) << expected[i].first;
        for (size_t j = 0; j < seen.size(); j++) {
            EXPECT_EQ(seen[j].first, expected[i].second[j].lpszLabel);
            EXPECT_EQ(seen[j].second, expected[i].second[j].nId) << seen[j].first;
        }
    }
}

TEST_F(MainWindow, ViewsAndButtonsSitWhereTheyShould) {
    for (const ChildLayout &want : layouts) {
        HWND hChild = want.phWnd ? *want.phWnd : GetDlgItem(hWnd, want.nId);
        ASSERT_NE(hChild, (HWND)NULL) << want.lpszClass << " " << want.nId;
        SCOPED_TRACE(ClassOf(hChild) + " at " + std::to_string(want.x) + "," +
                     std::to_string(want.y));
        EXPECT_EQ(GetParent(hChild), hWnd);
        EXPECT_STRCASEEQ(ClassOf(hChild).c_str(), want.lpszClass);
        EXPECT_EQ(GetDlgCtrlID(hChild), want.nId);
        DWORD dwStyle = (DWORD)GetWindowLongA(hChild, GWL_STYLE);
        EXPECT_EQ(dwStyle & (WS_CHILD | WS_VISIBLE | want.dwStyle),
                  WS_CHILD | WS_VISIBLE | want.dwStyle);
        EXPECT_FALSE(dwStyle & WS_TABSTOP) << "no view or button is a tab stop";
        EXPECT_EQ((DWORD)GetWindowLongA(hChild, GWL_EXSTYLE) & WS_EX_CLIENTEDGE, want.dwExStyle);
    }
    ExpectChildrenAt(hWnd, ExpectedDpi());
    EXPECT_FALSE(GetWindowLongA(hListt, GWL_STYLE) & LBS_NOINTEGRALHEIGHT);
    ExpectListFontAt(ExpectedDpi());
    // Enough lines to scroll bring the scroll bar.
    for (int i = 0; i < 20; i++)
        SendMessageA(hListt, LB_ADDSTRING, 0, (LPARAM) "line");
    EXPECT_TRUE(GetWindowLongA(hListt, GWL_STYLE) & WS_VSCROLL);
    // Push buttons (no other button type bits), and list view in report mode only.
    EXPECT_EQ(GetWindowLongA(GetDlgItem(hWnd, 1700), GWL_STYLE) & BS_TYPEMASK, BS_PUSHBUTTON);
    EXPECT_EQ(GetWindowLongA(hListd, GWL_STYLE) & LVS_TYPEMASK, LVS_REPORT);
    EXPECT_EQ(TextOf(GetDlgItem(hWnd, 1700)), "D i  s k  F  r  e  e");
    EXPECT_EQ(TextOf(GetDlgItem(hWnd, 1800)), "G e n e r a l P C");
    EXPECT_EQ(TextOf(hListd), "");
    EXPECT_EQ(TextOf(hTree), "");
    // Today's controls: only a version 6 button knows its ideal size.
    SIZE ideal = {0, 0};
    EXPECT_TRUE(SendMessageA(GetDlgItem(hWnd, 1700), BCM_GETIDEALSIZE, 0, (LPARAM)&ideal));
}

TEST_F(MainWindow, TableColumnsHaveTheirTitlesWidthsAndAlignment) {
    for (const Col &c : cols) {
        char szTitle[64] = "";
        LVCOLUMNA col;
        ZeroMemory(&col, sizeof(col));
        col.mask = LVCF_FMT | LVCF_TEXT | LVCF_SUBITEM;
        col.pszText = szTitle;
        col.cchTextMax = sizeof(szTitle);
        ASSERT_TRUE(SendMessageA(*c.phList, LVM_GETCOLUMNA, c.nIndex, (LPARAM)&col)) << c.lpszTitle;
        EXPECT_STREQ(szTitle, c.lpszTitle);
        EXPECT_EQ(col.fmt & LVCFMT_JUSTIFYMASK, c.nFormat) << c.lpszTitle;
        EXPECT_EQ(col.iSubItem, c.nIndex) << c.lpszTitle;
    }
    ExpectColumnsAt(ExpectedDpi());
    // No more columns than those.
    LVCOLUMNA col;
    ZeroMemory(&col, sizeof(col));
    col.mask = LVCF_WIDTH;
    EXPECT_FALSE(SendMessageA(hList3, LVM_GETCOLUMNA, 2, (LPARAM)&col));
    EXPECT_FALSE(SendMessageA(hListd, LVM_GETCOLUMNA, 7, (LPARAM)&col));
}

TEST_F(MainWindow, TreeHasThreeImagesSixteenPixelsAt96DpiOnATransparentGround) {
    ExpectTreeImagesAt(ExpectedDpi());
}

// Moved to a monitor of 200 %: Windows suggests a rectangle and the new DPI.
// Wine never changes a window's own DPI, so the new one comes from wParam.
TEST_F(MainWindow, DpiChangeLaysEverythingOutAgainAtTheNewScale) {
    SIZE largest = LargestWindow();
    RECT rcSuggested = {20, 30, 20 + std::min(1850, (int)largest.cx),
                        30 + std::min(1000, (int)largest.cy)};
    SendMessageA(hWnd, WM_DPICHANGED, MAKEWPARAM(192, 192), (LPARAM)&rcSuggested);
    RECT rc;
    GetWindowRect(hWnd, &rc);
    EXPECT_EQ(rc.left, rcSuggested.left);
    EXPECT_EQ(rc.top, rcSuggested.top);
    EXPECT_EQ(rc.right, rcSuggested.right);
    EXPECT_EQ(rc.bottom, rcSuggested.bottom);
    ExpectChildrenAt(hWnd, 192);
    ExpectColumnsAt(192);
    ExpectListFontAt(192);
    ExpectTreeImagesAt(192);

    // And back, to the very figures of the start.
    GetWindowRect(hWnd, &rcSuggested);
    SendMessageA(hWnd, WM_DPICHANGED, MAKEWPARAM(ExpectedDpi(), ExpectedDpi()),
                 (LPARAM)&rcSuggested);
    ExpectChildrenAt(hWnd, ExpectedDpi());
    ExpectColumnsAt(ExpectedDpi());
    ExpectListFontAt(ExpectedDpi());
    ExpectTreeImagesAt(ExpectedDpi());
    EXPECT_EQ((HBRUSH)GetClassLongPtrA(hWnd, GCLP_HBRBACKGROUND),
              (HBRUSH)GetStockObject(BLACK_BRUSH));
}

TEST_F(MainWindow, EveryViewIsEmptyAtStart) {
    EXPECT_EQ(SendMessageA(hListd, LVM_GETITEMCOUNT, 0, 0), 0);
    EXPECT_EQ(SendMessageA(hList3, LVM_GETITEMCOUNT, 0, 0), 0);
    EXPECT_EQ(SendMessageA(hListt, LB_GETCOUNT, 0, 0), 0);
    EXPECT_EQ(SendMessageA(hTree, TVM_GETCOUNT, 0, 0), 0);
}

TEST_F(MainWindow, WatcherThreadWaitsSuspended) {
    ASSERT_NE(hNotify, (HANDLE)NULL);
    // Suspending again reports the previous count: 1 means it never ran.
    EXPECT_EQ(SuspendThread(hNotify), 1u);
    ResumeThread(hNotify);
    EXPECT_EQ(WaitForSingleObject(hNotify, 0), (DWORD)WAIT_TIMEOUT);
}

// Wine reads LogPixels when a process starts: set it to 144 (150 %) for a
// process of this test program that runs the MainWindow tests, then put it
// back. Each of them there checks that it runs at 144 DPI.
TEST(MainWindowScale, EveryMainWindowTestPassesAt150PercentInAProcessOfItsOwn) {
    ASSERT_EQ(ScreenDpi(), 96u);
    const char *lpszDesktop = "Control Panel\\Desktop";
    HKEY hKey;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, lpszDesktop, 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                              &hKey, NULL),
              ERROR_SUCCESS);
    DWORD dwOld = 0, cbOld = sizeof(dwOld), dwType = 0;
    bool bHadOld = RegQueryValueExA(hKey, "LogPixels", NULL, &dwType, (BYTE *)&dwOld, &cbOld) ==
                       ERROR_SUCCESS &&
                   dwType == REG_DWORD;
    DWORD dw144 = 144;
    ASSERT_EQ(RegSetValueExA(hKey, "LogPixels", 0, REG_DWORD, (const BYTE *)&dw144, sizeof(dw144)),
              ERROR_SUCCESS);

    char szExe[MAX_PATH], szTemp[MAX_PATH], szXml[MAX_PATH + 32];
    GetModuleFileNameA(NULL, szExe, sizeof(szExe));
    GetTempPathA(sizeof(szTemp), szTemp);
    snprintf(szXml, sizeof(szXml), "%scorvane-at144.xml", szTemp);
    DeleteFileA(szXml);
    std::string cmd =
        std::string("\"") + szExe + "\" --gtest_filter=MainWindow.* --gtest_output=xml:" + szXml;
    std::vector<char> cmdLine(cmd.begin(), cmd.end());
    cmdLine.push_back('\0');
    SetEnvironmentVariableA(SZ_DPI_VARIABLE, "144");
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    BOOL bStarted =
        CreateProcessA(szExe, cmdLine.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi);
    SetEnvironmentVariableA(SZ_DPI_VARIABLE, NULL);
    DWORD dwWait = WAIT_FAILED, dwExit = 1;
    if (bStarted) {
        dwWait = WaitForSingleObject(pi.hProcess, HANG_GUARD);
        if (dwWait != WAIT_OBJECT_0)
            TerminateProcess(pi.hProcess, 1);
        GetExitCodeProcess(pi.hProcess, &dwExit);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    if (bHadOld)
        RegSetValueExA(hKey, "LogPixels", 0, REG_DWORD, (const BYTE *)&dwOld, sizeof(dwOld));
    else
        RegDeleteValueA(hKey, "LogPixels");
    RegCloseKey(hKey);

    ASSERT_TRUE(bStarted);
    ASSERT_EQ(dwWait, (DWORD)WAIT_OBJECT_0);
    // Every MainWindow test ran there, and none failed.
    std::ifstream xml(szXml);
    std::stringstream report;
    report << xml.rdbuf();
    std::string text = report.str();
    DeleteFileA(szXml);
    const ::testing::TestSuite *pSuite = nullptr;
    for (int i = 0; i < ::testing::UnitTest::GetInstance()->total_test_suite_count(); i++)
        if (std::string(::testing::UnitTest::GetInstance()->GetTestSuite(i)->name()) ==
            "MainWindow")
            pSuite = ::testing::UnitTest::GetInstance()->GetTestSuite(i);
    ASSERT_NE(pSuite, nullptr);
    EXPECT_NE(text.find("<testsuite name=\"MainWindow\" tests=\"" +
                        std::to_string(pSuite->total_test_count()) + "\" failures=\"0\""),
              std::string::npos)
        << text;
    EXPECT_EQ(dwExit, 0u) << text;
}

TEST(MainWindowStart, MinimizedStartBuildsEveryView) {
    HWND hWnd = StartApp(SW_SHOWMINIMIZED);
    ASSERT_NE(hWnd, (HWND)NULL);
    EXPECT_TRUE(IsIconic(hWnd));
    EXPECT_NE(hListd, (HWND)NULL);
    EXPECT_NE(hList3, (HWND)NULL);
    EXPECT_NE(hListt, (HWND)NULL);
    EXPECT_NE(hTree, (HWND)NULL);
    EXPECT_NE(hNotify, (HANDLE)NULL);
    StopApp();
}

TEST(MainWindowStart, ReturnsZeroWhenTheClassCannotBeRegistered) {
    // A class of that name already in place makes registration fail.
    WNDCLASSEXA wc;
    ZeroMemory(&wc, sizeof(wc));
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = "Corvane";
    ASSERT_TRUE(RegisterClassExA(&wc));
    EXPECT_EQ(WinMain(GetModuleHandleA(NULL), NULL, (LPSTR) "", SW_SHOWNORMAL), 0);
    EXPECT_EQ(FindWindowA("Corvane", NULL), (HWND)NULL);
    UnregisterClassA("Corvane", GetModuleHandleA(NULL));
}
