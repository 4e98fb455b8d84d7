// The main window procedure: one line a message, commands dispatched by id,
// and the closing protocol that defers quitting while minimized.
#include "corvane.h"

UINT_PTR uTimer = 0;

// Ids not listed (IDC_VIEW notifications from the text list among them) are ignored.
static void DispatchCommand(HWND hWnd, WORD wId) {
    switch (wId) {
    case IDM_EXIT: PostMessageA(hWnd, WM_CLOSE, 0, 0); break;
    case IDM_TILE: TileWindows(GetDesktopWindow(), MDITILE_SKIPDISABLED, NULL, 0, NULL); break;
    case IDM_ABOUT: DialogBoxParamA(hInst, SZ_ABOUTBOX, hWnd, About, 0); break;
    case IDM_CASCADE:
        CascadeWindows(GetDesktopWindow(), MDITILE_SKIPDISABLED, NULL, 0, NULL);
        break;
    case IDM_KEYBOARD: ShowKeyboardType(); break;
    case IDM_PRIVATEPROFILE: ListProfileSections(); break;
    case IDM_PROFILESECTION: ListPortsSection(); break;
    case IDM_COMPUTERNAME: ShowComputerName(); break;
    case IDM_DISKFREE:
    case IDC_DISKFREE: FillDriveList(); break;
    case IDM_ENVIRONMENT:
    case IDC_GENERALPC: FillEnvironmentList(); break;
    case IDM_DEFLANGUAGE: ListDefaultLanguage(); break;
    case IDM_SYSINFO: ListSystemInfo(); break;
    case IDM_REGEDIT:
    case IDM_RESET: FillTreeView(); break;
    case IDM_WINDIR: ShowDirectories(); break;
    case IDM_WINVERSION: ShowVersion(); break;
    default: break;
    }
}

static void QuitSequence(HCURSOR *phCurCursor) {
    CloseRegistryTree();
    if (*phCurCursor) {
        DestroyCursor(*phCurCursor);
        *phCurCursor = NULL;
    }
    PostQuitMessage(0);
}

// WM_CLOSE: while minimized nobody sees a prompt, so flash the taskbar
// button instead and ask once the window is restored.
static void RequestClose(HWND hWnd, HCURSOR *phCurCursor) {
    if (IsIconic(hWnd)) {
        uTimer = SetTimer(hWnd, IDT_FLASH, 500, NULL);
        return;
    }
    if (MessageBoxA(hWnd, "Do you want to quit?", lpszAppName, MB_YESNO | MB_ICONQUESTION) == IDNO)
        return;
    QuitSequence(phCurCursor);
}

// WM_SIZE: the first size change after a deferred close is the restore.
static void ResumeClose(HWND hWnd) {
    if (uTimer == 0)
        return;
    KillTimer(hWnd, uTimer);
    uTimer = 0;
    FlashWindow(hWnd, FALSE);
    PostMessageA(hWnd, WM_CLOSE, 0, 0);
}

// WM_TIMER: the next slice of a refill, or one flash of a pending close.
static void OnTimer(HWND hWnd, WPARAM wTimer) {
    if (wTimer == IDT_FILLSLICE)
        ContinueFill(TRUE);
    else
        FlashWindow(hWnd, TRUE);
}

static BOOL bAnsweringOnly; // inside AnswerSentMessages

// A command that waits long (a registry fill, drives that do not answer)
// calls this between its steps, so other threads get their answers and the
// window never looks hung. Posted messages and input stay queued; a command
// or a close request sent meanwhile is queued too, and runs after it.
void AnswerSentMessages(void) {
    MSG msg;
    bAnsweringOnly = TRUE;
    PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    bAnsweringOnly = FALSE;
}

static BOOL Deferred(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (!bAnsweringOnly)
        return FALSE;
    PostMessageA(hWnd, uMsg, wParam, lParam);
    return TRUE;
}

LRESULT CALLBACK WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    static HCURSOR hCurCursor = NULL;

    switch (uMsg) {
    case WM_CREATE: CreateViews(hWnd); return 0;
    case WM_DESTROY: QuitSequence(&hCurCursor); return 0;
    case WM_SIZE: ResumeClose(hWnd); return 0;
    case WM_CLOSE:
        if (!Deferred(hWnd, uMsg, wParam, lParam))
            RequestClose(hWnd, &hCurCursor);
        return 0;
    case WM_SETCURSOR: return SetCustomCursor(hWnd, &hCurCursor);
    case WM_KEYDOWN: return 0; // key presses are consumed
    case WM_COMMAND:
        if (!Deferred(hWnd, uMsg, wParam, lParam))
            DispatchCommand(hWnd, LOWORD(wParam));
        return 0;
    case WM_TIMER: OnTimer(hWnd, wParam); return 0;
    case WM_DPICHANGED: FollowDpi(hWnd, LOWORD(wParam), (const RECT *)lParam); return 0;
    case WM_REFILLTREE: RefillTreeView(); return 0;
    case WM_NOTIFYFORMAT: return NFR_UNICODE; // the views' notifications come in UTF-16
    case WM_NOTIFY: return TreeNotify((const NMHDR *)lParam);
    case WM_FILLSLICE: ContinueFill(FALSE); return 0;
    default: return DefWindowProcA(hWnd, uMsg, wParam, lParam);
    }
}
