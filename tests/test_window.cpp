// The main window as a user first sees it: its frame, menu, views, buttons,
// and what closing it, unknown commands and key presses do.
#include "harness.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class MainWindow : public ::testing::Test {
  protected:
    HWND hWnd = NULL;
    void SetUp() override {
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
    int x, y, cx, cy;
};

} // namespace

TEST_F(MainWindow, FrameIsCorvaneAt50x120Sized925x500) {
    EXPECT_EQ(TextOf(hWnd), "Corvane");
    EXPECT_EQ(ClassOf(hWnd), "Corvane");
    RECT rc;
    GetWindowRect(hWnd, &rc);
    EXPECT_EQ(rc.left, 50);
    EXPECT_EQ(rc.top, 120);
    EXPECT_EQ(rc.right - rc.left, 925);
    EXPECT_EQ(rc.bottom - rc.top, 500);
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
    const DWORD dwTree = TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_DISABLEDRAGDROP;
    // The list box drops WS_VSCROLL while it has nothing to scroll; checked below.
    const DWORD dwList = WS_BORDER | LBS_NOTIFY | LBS_SORT;
    const ChildLayout layouts[] = {
        {&hListd, 101, "SysListView32", LVS_REPORT, WS_EX_CLIENTEDGE, 10, 10, 654, 140},
        {&hList3, 101, "SysListView32", LVS_REPORT, WS_EX_CLIENTEDGE, 10, 158, 654, 140},
        {&hListt, 101, "ListBox", dwList, WS_EX_CLIENTEDGE, 10, 308, 683, 140},
        {&hTree, 101, "SysTreeView32", dwTree, WS_EX_CLIENTEDGE, 705, 10, 200, 430},
        {NULL, 1700, "Button", BS_MULTILINE, 0, 674, 10, 20, 139},
        {NULL, 1800, "Button", BS_MULTILINE, 0, 674, 159, 20, 144},
    };
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
        RECT rc = ChildRect(hChild);
        EXPECT_EQ(rc.left, want.x);
        EXPECT_EQ(rc.top, want.y);
        EXPECT_EQ(rc.right - rc.left, want.cx);
        if (want.phWnd == &hListt) {
            // Integral height: the list box trims itself to whole lines.
            int nItem = (int)SendMessageA(hListt, LB_GETITEMHEIGHT, 0, 0);
            EXPECT_LE(rc.bottom - rc.top, want.cy);
            EXPECT_GT(rc.bottom - rc.top, want.cy - nItem);
            EXPECT_FALSE(dwStyle & LBS_NOINTEGRALHEIGHT);
            // Not the System font, which has no glyphs outside the system code page.
            HFONT hFont = (HFONT)SendMessageA(hListt, WM_GETFONT, 0, 0);
            EXPECT_NE(hFont, (HFONT)NULL);
            EXPECT_NE(hFont, (HFONT)GetStockObject(SYSTEM_FONT));
        } else {
            EXPECT_EQ(rc.bottom - rc.top, want.cy);
        }
    }
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
}

TEST_F(MainWindow, TableColumnsHaveTheirTitlesWidthsAndAlignment) {
    struct Col {
        HWND *phList;
        int nIndex;
        const char *lpszTitle;
        int nWidth;
        int nFormat;
    };
    const Col cols[] = {
        {&hList3, 0, "Variable", 135, LVCFMT_LEFT}, {&hList3, 1, "Value", 500, LVCFMT_LEFT},
        {&hListd, 0, "Drive", 50, LVCFMT_LEFT},     {&hListd, 1, "Label", 100, LVCFMT_LEFT},
        {&hListd, 2, "Format", 100, LVCFMT_LEFT},   {&hListd, 3, "Long Names", 100, LVCFMT_LEFT},
        {&hListd, 4, "Type", 100, LVCFMT_LEFT},     {&hListd, 5, "Space", 100, LVCFMT_RIGHT},
        {&hListd, 6, "Free", 100, LVCFMT_RIGHT},
    };
    for (const Col &c : cols) {
        char szTitle[64] = "";
        LVCOLUMNA col;
        ZeroMemory(&col, sizeof(col));
        col.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        col.pszText = szTitle;
        col.cchTextMax = sizeof(szTitle);
        ASSERT_TRUE(SendMessageA(*c.phList, LVM_GETCOLUMNA, c.nIndex, (LPARAM)&col)) << c.lpszTitle;
        EXPECT_STREQ(szTitle, c.lpszTitle);
        EXPECT_EQ(col.cx, c.nWidth) << c.lpszTitle;
        EXPECT_EQ(col.fmt & LVCFMT_JUSTIFYMASK, c.nFormat) << c.lpszTitle;
        EXPECT_EQ(col.iSubItem, c.nIndex) << c.lpszTitle;
    }
    // No more columns than those.
    LVCOLUMNA col;
    ZeroMemory(&col, sizeof(col));
    col.mask = LVCF_WIDTH;
    EXPECT_FALSE(SendMessageA(hList3, LVM_GETCOLUMNA, 2, (LPARAM)&col));
    EXPECT_FALSE(SendMessageA(hListd, LVM_GETCOLUMNA, 7, (LPARAM)&col));
}

TEST_F(MainWindow, TreeHasThreeSixteenPixelImages) {
    HIMAGELIST hImages = (HIMAGELIST)SendMessageA(hTree, TVM_GETIMAGELIST, TVSIL_NORMAL, 0);
    ASSERT_NE(hImages, (HIMAGELIST)NULL);
    EXPECT_EQ(ImageList_GetImageCount(hImages), 3);
    int cx = 0, cy = 0;
    ImageList_GetIconSize(hImages, &cx, &cy);
    EXPECT_EQ(cx, 16);
    EXPECT_EQ(cy, 16);
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
