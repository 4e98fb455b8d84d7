// Entry point: registers the class, opens the main window, adds the buttons
// and runs the message loop. WM_CREATE builds the four views (CreateViews).
// Every size and position is a 96-DPI figure scaled to the window's DPI.
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
UINT uDpi = 96;

// Where each child sits at 96 DPI, in the main window's client area.
struct Place {
    int x, y, cx, cy;
};
static const Place placeListd = {10, 10, 654, 140};
static const Place placeList3 = {10, 158, 654, 140};
static const Place placeListt = {10, 308, 683, 140};
static const Place placeTree = {705, 10, 200, 430};
static const Place placeDiskFree = {674, 10, 20, 139};
static const Place placeGeneralPc = {674, 159, 20, 144};
static const int nEnvWidths[] = {135, 500};
static const int nDriveWidths[] = {50, 100, 100, 100, 100, 100, 100};

int Scale(int n, UINT uDpiTo) {
    return (int)(((long long)n * uDpiTo + 48) / 96);
}

// Windows 10 1607 and later know each window's DPI; before that, and where
// the call is missing, every window has the system's.
UINT WindowDpi(HWND hWnd) {
    typedef UINT(WINAPI * GetDpiForWindowFn)(HWND);
    GetDpiForWindowFn pGetDpiForWindow = (GetDpiForWindowFn)(void *)GetProcAddress(
        GetModuleHandleA("user32.dll"), "GetDpiForWindow");
    UINT uWindowDpi = (hWnd && pGetDpiForWindow) ? pGetDpiForWindow(hWnd) : 0;
    if (uWindowDpi)
        return uWindowDpi;
    HDC hdc = GetDC(NULL);
    UINT uSystemDpi = (UINT)GetDeviceCaps(hdc, LOGPIXELSX);
    ReleaseDC(NULL, hdc);
    return uSystemDpi ? uSystemDpi : 96;
}

static void MoveChild(HWND hChild, const Place &place) {
    SetWindowPos(hChild, NULL, Scale(place.x, uDpi), Scale(place.y, uDpi), Scale(place.cx, uDpi),
                 Scale(place.cy, uDpi), SWP_NOZORDER | SWP_NOACTIVATE);
}

// True when the caption, wrapped as the button wraps it in width cx, stands
// one letter a line.
static BOOL OneLetterALine(HWND hBtn, int cx) {
    char szCaption[64];
    int nLetters = 0;
    GetWindowTextA(hBtn, szCaption, sizeof(szCaption));
    for (const char *p = szCaption; *p; p++)
        nLetters += *p != ' ';
    HDC hdc = GetDC(hBtn);
    HFONT hFont = (HFONT)SendMessageA(hBtn, WM_GETFONT, 0, 0);
    HGDIOBJ hOld = SelectObject(hdc, hFont ? (HGDIOBJ)hFont : GetStockObject(SYSTEM_FONT));
    TEXTMETRICA tm;
    GetTextMetricsA(hdc, &tm);
    RECT rc = {0, 0, cx - 6, 0};
    DrawTextA(hdc, szCaption, -1, &rc, DT_CALCRECT | DT_WORDBREAK | DT_CENTER);
    SelectObject(hdc, hOld);
    ReleaseDC(hBtn, hdc);
    return tm.tmHeight > 0 && rc.bottom / tm.tmHeight == nLetters;
}

// Text grows in other steps than geometry: where the scaled width would put
// two letters on a line, the button narrows until it does not. A button has
// no frame, so its width is its client width.
static void PlaceButton(HWND hBtn, const Place &place) {
    if (!hBtn)
        return;
    int cx = Scale(place.cx, uDpi);
    while (cx > 7 && !OneLetterALine(hBtn, cx))
        cx--;
    if (!OneLetterALine(hBtn, cx))
        cx = Scale(place.cx, uDpi);
    SetWindowPos(hBtn, NULL, Scale(place.x, uDpi), Scale(place.y, uDpi), cx, Scale(place.cy, uDpi),
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

static HWND CreateButton(HWND hParent, const char *lpszCaption, int nId, const Place &place) {
    HWND hBtn = CreateWindowExA(0, "BUTTON", lpszCaption, WS_CHILD | WS_VISIBLE | BS_MULTILINE,
                                Scale(place.x, uDpi), Scale(place.y, uDpi), Scale(place.cx, uDpi),
                                Scale(place.cy, uDpi), hParent, (HMENU)(INT_PTR)nId, hInst, NULL);
    PlaceButton(hBtn, place);
    return hBtn;
}

static HWND CreateView(const char *lpszClass, DWORD dwStyle, const Place &place, HWND hParent) {
    return CreateWindowExA(WS_EX_CLIENTEDGE, lpszClass, "", WS_CHILD | WS_VISIBLE | dwStyle,
                           Scale(place.x, uDpi), Scale(place.y, uDpi), Scale(place.cx, uDpi),
                           Scale(place.cy, uDpi), hParent, (HMENU)(INT_PTR)IDC_VIEW, hInst, NULL);
}

static void InsertColumn(HWND hList, int nIndex, const char *lpszTitle, int nWidth, int nFormat) {
    LVCOLUMNA col;
    ZeroMemory(&col, sizeof(col));
    col.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    col.fmt = nFormat;
    col.cx = Scale(nWidth, uDpi);
    col.pszText = (LPSTR)lpszTitle;
    col.iSubItem = nIndex;
    SendMessageA(hList, LVM_INSERTCOLUMNA, (WPARAM)nIndex, (LPARAM)&col);
}

static void SizeColumns(HWND hList, const int *pnWidths, int nCount) {
    for (int i = 0; hList && i < nCount; i++)
        SendMessageA(hList, LVM_SETCOLUMNWIDTH, (WPARAM)i, MAKELPARAM(Scale(pnWidths[i], uDpi), 0));
}

// The system's message font at the layout's DPI: a font for every script
// (the System font has glyphs for the system code page only). Before Windows
// 10 1607 there is no call for another DPI than the system's.
static void SetListFont(void) {
    if (!hListt)
        return;
    typedef BOOL(WINAPI * ParametersForDpiFn)(UINT, UINT, PVOID, UINT, UINT);
    ParametersForDpiFn pParametersForDpi = (ParametersForDpiFn)(void *)GetProcAddress(
        GetModuleHandleA("user32.dll"), "SystemParametersInfoForDpi");
    NONCLIENTMETRICSW ncm;
    ZeroMemory(&ncm, sizeof(ncm));
    ncm.cbSize = sizeof(ncm);
    BOOL bGot = pParametersForDpi
                    ? pParametersForDpi(SPI_GETNONCLIENTMETRICS, sizeof(ncm), &ncm, 0, uDpi)
                    : SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(ncm), &ncm, 0);
    HFONT hFont = bGot ? CreateFontIndirectW(&ncm.lfMessageFont) : NULL;
    HFONT hOld = (HFONT)SendMessageA(hListt, WM_GETFONT, 0, 0);
    SendMessageA(hListt, WM_SETFONT,
                 (WPARAM)(hFont ? hFont : (HFONT)GetStockObject(DEFAULT_GUI_FONT)), TRUE);
    if (hOld)
        DeleteObject(hOld); // a stock font is not deleted
}

// The tree's three images from the one 16-pixel strip, stretched to the
// DPI's size. Stretching only repeats pixels, so the green stays pure and
// transparent.
static void SetTreeImages(void) {
    int n = Scale(16, uDpi);
    HBITMAP hStrip = (HBITMAP)LoadImageA(hInst, SZ_TREEIMG, IMAGE_BITMAP, 3 * n, n, 0);
    HIMAGELIST hImages = ImageList_Create(n, n, ILC_COLOR24 | ILC_MASK, 3, 1);
    if (hImages && hStrip)
        ImageList_AddMasked(hImages, hStrip, RGB(0, 255, 0));
    if (hStrip)
        DeleteObject(hStrip);
    HIMAGELIST hOld =
        (HIMAGELIST)SendMessageA(hTree, TVM_SETIMAGELIST, TVSIL_NORMAL, (LPARAM)hImages);
    if (hOld)
        ImageList_Destroy(hOld);
}

// WM_CREATE: the views, their columns, the tree's images and the suspended
// watcher (none without a tree). A view that fails stays null; the window is
// created regardless.
void CreateViews(HWND hWnd) {
    hWndMain = hWnd;
    uDpi = WindowDpi(hWnd);
    static const char *lpszDriveCols[] = {"Drive", "Label", "Format", "Long Names",
                                          "Type",  "Space", "Free"};

    InitCommonControls();
    hList3 = CreateView(WC_LISTVIEWA, LVS_REPORT, placeList3, hWnd);
    if (hList3) {
        InsertColumn(hList3, 0, "Variable", nEnvWidths[0], LVCFMT_LEFT);
        InsertColumn(hList3, 1, "Value", nEnvWidths[1], LVCFMT_LEFT);
    }

    hListd = CreateView(WC_LISTVIEWA, LVS_REPORT, placeListd, hWnd);
    if (hListd) {
        for (int i = 0; i < 7; i++)
            InsertColumn(hListd, i, lpszDriveCols[i], nDriveWidths[i],
                         i < 5 ? LVCFMT_LEFT : LVCFMT_RIGHT);
    }

    InitCommonControls();
    hListt =
        CreateView("listbox", WS_BORDER | WS_VSCROLL | LBS_NOTIFY | LBS_SORT, placeListt, hWnd);
    SetListFont();

    InitCommonControls();
    hTree = CreateView(WC_TREEVIEWA,
                       TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_DISABLEDRAGDROP,
                       placeTree, hWnd);
    if (hTree)
        SetTreeImages();
    OpenRegistryTree();
}

// WM_DPICHANGED: everything again at the new DPI, inside the window
// rectangle Windows suggests.
void FollowDpi(HWND hWnd, UINT uNewDpi, const RECT *prcSuggested) {
    uDpi = uNewDpi;
    SetWindowPos(hWnd, NULL, prcSuggested->left, prcSuggested->top,
                 prcSuggested->right - prcSuggested->left, prcSuggested->bottom - prcSuggested->top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    // The font first: the list box trims its height to whole lines of it.
    SetListFont();
    if (hTree)
        SetTreeImages();
    MoveChild(hListd, placeListd);
    MoveChild(hList3, placeList3);
    MoveChild(hListt, placeListt);
    MoveChild(hTree, placeTree);
    SizeColumns(hList3, nEnvWidths, 2);
    SizeColumns(hListd, nDriveWidths, 7);
    PlaceButton(GetDlgItem(hWnd, IDC_DISKFREE), placeDiskFree);
    PlaceButton(GetDlgItem(hWnd, IDC_GENERALPC), placeGeneralPc);
    InvalidateRect(hWnd, NULL, TRUE);
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
    // No window yet to ask: the system's DPI, which is the main screen's.
    UINT uStartDpi = WindowDpi(NULL);
    HWND hWnd = CreateWindowExA(0, lpszAppName, lpszTitle, WS_OVERLAPPEDWINDOW,
                                Scale(50, uStartDpi), Scale(120, uStartDpi), Scale(925, uStartDpi),
                                Scale(500, uStartDpi), NULL, NULL, hInstance, NULL);
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
    hBtn = CreateButton(hWnd, "D i  s k  F  r  e  e", IDC_DISKFREE, placeDiskFree);
    hBtn3 = CreateButton(hWnd, "G e n e r a l P C", IDC_GENERALPC, placeGeneralPc);

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
