// Entry point: registers the class, opens the main window, adds the buttons
// and runs the message loop. WM_CREATE builds the four views (CreateViews).
#include "corvane.h"

HINSTANCE hInst = NULL;
const char *lpszAppName = "Corvane";
const char *lpszTitle = "Corvane";
HWND hListd = NULL;
HWND hList3 = NULL;
HWND hListt = NULL;
HWND hTree = NULL;
HWND hWndMain = NULL;
HANDLE hNotify = NULL;

static HWND CreateView(const char *lpszClass, DWORD dwStyle, int x, int y, int cx, int cy,
                       HWND hParent) {
    return CreateWindowExA(WS_EX_CLIENTEDGE, lpszClass, "", WS_CHILD | WS_VISIBLE | dwStyle, x, y,
                           cx, cy, hParent, (HMENU)(INT_PTR)IDC_VIEW, hInst, NULL);
}

static void InsertColumn(HWND hList, int nIndex, const char *lpszTitle, int nWidth, int nFormat) {
    LVCOLUMNA col;
    ZeroMemory(&col, sizeof(col));
    col.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    col.fmt = nFormat;
    col.cx = nWidth;
    col.pszText = (LPSTR)lpszTitle;
    col.iSubItem = nIndex;
    SendMessageA(hList, LVM_INSERTCOLUMNA, (WPARAM)nIndex, (LPARAM)&col);
}

// WM_CREATE: the views, their columns, the tree's images and the suspended
// watcher (none without a tree). A view that fails stays null; the window is
// created regardless.
void CreateViews(HWND hWnd) {
    hWndMain = hWnd;
    static const char *lpszDriveCols[] = {"Drive", "Label", "Format", "Long Names",
                                          "Type",  "Space", "Free"};
    static const int nDriveWidths[] = {50, 100, 100, 100, 100, 100, 100};

    InitCommonControls();
    hList3 = CreateView(WC_LISTVIEWA, LVS_REPORT, 10, 158, 654, 140, hWnd);
    if (hList3) {
        InsertColumn(hList3, 0, "Variable", 135, LVCFMT_LEFT);
        InsertColumn(hList3, 1, "Value", 500, LVCFMT_LEFT);
    }

    hListd = CreateView(WC_LISTVIEWA, LVS_REPORT, 10, 10, 654, 140, hWnd);
    if (hListd) {
        for (int i = 0; i < 7; i++)
            InsertColumn(hListd, i, lpszDriveCols[i], nDriveWidths[i],
                         i < 5 ? LVCFMT_LEFT : LVCFMT_RIGHT);
    }

    InitCommonControls();
    hListt = CreateView("listbox", WS_BORDER | WS_VSCROLL | LBS_NOTIFY | LBS_SORT, 10, 308, 683,
                        140, hWnd);
    // The System font has no glyphs outside the system code page; the GUI
    // font is linked to fonts for other scripts.
    SendMessageA(hListt, WM_SETFONT, (WPARAM)GetStockObject(DEFAULT_GUI_FONT), FALSE);

    InitCommonControls();
    hTree = CreateView(WC_TREEVIEWA,
                       TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_DISABLEDRAGDROP, 705,
                       10, 200, 430, hWnd);
    if (hTree) {
        HIMAGELIST hImages =
            ImageList_LoadImageA(hInst, SZ_TREEIMG, 16, 1, RGB(0, 255, 0), IMAGE_BITMAP, 0);
        SendMessageA(hTree, TVM_SETIMAGELIST, TVSIL_NORMAL, (LPARAM)hImages);
    }
    OpenRegistryTree();
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int nCmdShow) {
    [[maybe_unused]] static HWND hBtn, hBtn3; // kept, never read again
    WNDCLASSEXA wc;
    MSG msg;

    ZeroMemory(&wc, sizeof(wc));
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = WndProc;
    wc.hInstance = hInstance;
    wc.hIcon = LoadIconA(hInstance, lpszAppName);
    wc.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wc.lpszMenuName = lpszAppName;
    wc.lpszClassName = lpszAppName;
    wc.hIconSm = (HICON)LoadImageA(hInstance, lpszAppName, IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR);
    if (!RegisterClassExA(&wc))
        return 0;

    hInst = hInstance;
    HWND hWnd = CreateWindowExA(0, lpszAppName, lpszTitle, WS_OVERLAPPEDWINDOW, 50, 120, 925, 500,
                                NULL, NULL, hInstance, NULL);
    if (!hWnd)
        return 0;

    ShowWindow(hWnd, nCmdShow);
    UpdateWindow(hWnd);

    // The first paint used the window colour; from here on the space
    // around the views is black.
    SetClassLongPtrA(hWnd, GCLP_HBRBACKGROUND, (LONG_PTR)GetStockObject(BLACK_BRUSH));
    InvalidateRect(hWnd, NULL, TRUE);
    UpdateWindow(hWnd);

    // Narrow multi-line buttons: the spaced captions wrap into one letter a line.
    hBtn =
        CreateWindowExA(0, "BUTTON", "D i  s k  F  r  e  e", WS_CHILD | WS_VISIBLE | BS_MULTILINE,
                        674, 10, 20, 139, hWnd, (HMENU)(INT_PTR)IDC_DISKFREE, hInst, NULL);
    hBtn3 = CreateWindowExA(0, "BUTTON", "G e n e r a l P C", WS_CHILD | WS_VISIBLE | BS_MULTILINE,
                            674, 159, 20, 144, hWnd, (HMENU)(INT_PTR)IDC_GENERALPC, hInst, NULL);

    // -1 is an error, not a message: asking again would only fail again.
    BOOL bRet;
    while ((bRet = GetMessageA(&msg, NULL, 0, 0)) != 0) {
        if (bRet == -1)
            return 1;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return (int)msg.wParam;
}
