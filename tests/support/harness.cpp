#include "harness.h"

#include <mutex>

namespace {

HANDLE hAppThread = NULL;
DWORD dwAppThreadId = 0;
HWND hAppWnd = NULL;
int nAppShow = SW_SHOWNORMAL;
volatile LONG nAppExit = -1;
HANDLE hAppReturned = NULL; // set when WinMain returns, before the clean-up
HHOOK hCbtHook = NULL;
HHOOK hMsgHook = NULL;
// Posted to the window and caught on its thread as its loop takes it: the
// pump's marker (wParam counts them) and a focus request (wParam the window).
UINT uPumpMarker = 0, uFocusRequest = 0;
volatile LONG nMarkersPosted = 0, nMarkersTaken = 0;

std::mutex boxLock;
std::vector<BoxSeen> boxes;
volatile LONG nBoxAnswer = 0;

BOOL CALLBACK FindIconChild(HWND hChild, LPARAM lParam) {
    char szClass[32];
    GetClassNameA(hChild, szClass, sizeof(szClass));
    if (lstrcmpiA(szClass, "Static") == 0 &&
        (GetWindowLongA(hChild, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        *(HICON *)lParam = (HICON)SendMessageA(hChild, STM_GETICON, 0, 0);
        return FALSE;
    }
    return TRUE;
}

LRESULT CALLBACK CbtProc(int nCode, WPARAM wParam, LPARAM lParam) {
    if (nCode == HCBT_ACTIVATE) {
        HWND hWnd = (HWND)wParam;
        char szClass[32];
        GetClassNameA(hWnd, szClass, sizeof(szClass));
        if (lstrcmpA(szClass, "#32770") == 0) {
            BoxSeen box;
            box.hWnd = hWnd;
            box.hOwner = GetWindow(hWnd, GW_OWNER);
            box.caption = TextOf(hWnd);
            box.text = TextOf(GetDlgItem(hWnd, 0xFFFF));
            box.bYes = GetDlgItem(hWnd, IDYES) != NULL;
            box.bNo = GetDlgItem(hWnd, IDNO) != NULL;
            box.bOk = GetDlgItem(hWnd, IDOK) != NULL;
            box.bCancel = GetDlgItem(hWnd, IDCANCEL) != NULL;
            EnumChildWindows(hWnd, FindIconChild, (LPARAM)&box.hIcon);
            {
                std::lock_guard<std::mutex> guard(boxLock);
                boxes.push_back(box);
            }
            if (nBoxAnswer)
                PressButton(hWnd, nBoxAnswer);
        }
    }
    return CallNextHookEx(hCbtHook, nCode, wParam, lParam);
}

LRESULT CALLBACK GetMsgProc(int nCode, WPARAM wParam, LPARAM lParam) {
    MSG *pMsg = (MSG *)lParam;
    if (nCode == HC_ACTION && wParam == PM_REMOVE) {
        if (pMsg->message == uPumpMarker) {
            InterlockedExchange(&nMarkersTaken, (LONG)pMsg->wParam);
            pMsg->message = WM_NULL; // the program never sees it
        } else if (pMsg->message == uFocusRequest) {
            SetFocus((HWND)pMsg->wParam);
            pMsg->message = WM_NULL;
        }
    }
    return CallNextHookEx(hMsgHook, nCode, wParam, lParam);
}

DWORD WINAPI AppThread(LPVOID) {
    hCbtHook = SetWindowsHookExA(WH_CBT, CbtProc, NULL, GetCurrentThreadId());
    hMsgHook = SetWindowsHookExA(WH_GETMESSAGE, GetMsgProc, NULL, GetCurrentThreadId());
    int nExit = WinMain(GetModuleHandleA(NULL), NULL, (LPSTR) "", nAppShow);
    InterlockedExchange(&nAppExit, nExit);
    SetEvent(hAppReturned);
    // The program leaves its window to the process's end; a test run goes on,
    // so take it down here, on the thread that owns it.
    HWND hWnd = FindWindowA(lpszAppName, NULL);
    if (hWnd && GetWindowThreadProcessId(hWnd, NULL) == GetCurrentThreadId())
        DestroyWindow(hWnd);
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
    }
    UnregisterClassA(lpszAppName, GetModuleHandleA(NULL));
    UnhookWindowsHookEx(hCbtHook);
    hCbtHook = NULL;
    UnhookWindowsHookEx(hMsgHook);
    hMsgHook = NULL;
    return 0;
}

} // namespace

HWND StartApp(int nCmdShow) {
    StopApp();
    ClearBoxes();
    SetBoxAnswer(0);
    nAppShow = nCmdShow;
    InterlockedExchange(&nAppExit, -1);
    if (!hAppReturned)
        hAppReturned = CreateEventA(NULL, TRUE, FALSE, NULL);
    ResetEvent(hAppReturned);
    if (!uPumpMarker) {
        uPumpMarker = RegisterWindowMessageA("Corvane tests: pump marker");
        uFocusRequest = RegisterWindowMessageA("Corvane tests: focus request");
    }
    hAppThread = CreateThread(NULL, 0, AppThread, NULL, 0, &dwAppThreadId);
    // Up once both buttons are in place, or never if WinMain gave up.
    WaitFor([] {
        HWND hWnd = FindWindowA(lpszAppName, NULL);
        if (hWnd && GetDlgItem(hWnd, IDC_GENERALPC))
            hAppWnd = hWnd;
        return hAppWnd != NULL || WaitForSingleObject(hAppThread, 0) == WAIT_OBJECT_0;
    });
    if (hAppWnd)
        Pump();
    return hAppWnd;
}

bool WaitForExit(DWORD ms, int *pnExit) {
    if (!hAppThread || WaitForSingleObject(hAppReturned, ms) != WAIT_OBJECT_0)
        return false;
    if (pnExit)
        *pnExit = (int)nAppExit;
    return true;
}

void StopApp() {
    if (hAppThread) {
        SetBoxAnswer(IDCANCEL);
        // Close any box still open, then end the loop.
        for (const BoxSeen &box : BoxesSeen())
            if (IsWindow(box.hWnd))
                PostMessageA(box.hWnd, WM_COMMAND, IDCANCEL, 0);
        if (WaitForSingleObject(hAppThread, 0) != WAIT_OBJECT_0) {
            PostThreadMessageA(dwAppThreadId, WM_QUIT, 0, 0);
            WaitForSingleObject(hAppThread, 10000);
        }
        CloseHandle(hAppThread);
        hAppThread = NULL;
    }
    if (hNotify) {
        // Taking the window down ended the watcher; a fresh app makes a fresh one.
        WaitForSingleObject(hNotify, HANG_GUARD);
        CloseHandle(hNotify);
        hNotify = NULL;
    }
    hAppWnd = NULL;
    dwAppThreadId = 0;
    hListd = hList3 = hListt = hTree = hWndMain = NULL;
    hInst = NULL;
    uTimer = 0;
}

HWND AppWindow() {
    return hAppWnd;
}

DWORD AppThreadId() {
    return dwAppThreadId;
}

void SendCommand(WORD wId) {
    SendMessageA(hAppWnd, WM_COMMAND, MAKEWPARAM(wId, 0), 0);
}

void PostCommand(WORD wId) {
    PostMessageA(hAppWnd, WM_COMMAND, MAKEWPARAM(wId, 0), 0);
}

void SetBoxAnswer(int nButtonId) {
    InterlockedExchange(&nBoxAnswer, nButtonId);
}

std::vector<BoxSeen> BoxesSeen() {
    std::lock_guard<std::mutex> guard(boxLock);
    return boxes;
}

void ClearBoxes() {
    std::lock_guard<std::mutex> guard(boxLock);
    boxes.clear();
}

bool WaitFor(const std::function<bool()> &pred, DWORD ms) {
    DWORD dwStart = GetTickCount();
    while (!pred()) {
        if (GetTickCount() - dwStart > ms)
            return false;
        Sleep(5);
    }
    return true;
}

bool WaitForBoxes(size_t n, DWORD ms) {
    return WaitFor([n] { return BoxesSeen().size() >= n; }, ms);
}

void PressButton(HWND hBox, int nButtonId) {
    HWND hButton = GetDlgItem(hBox, nButtonId);
    if (hButton)
        PostMessageA(hButton, BM_CLICK, 0, 0);
    else // Esc on a box with no Cancel button
        PostMessageA(hBox, WM_COMMAND, MAKEWPARAM(nButtonId, BN_CLICKED), 0);
}

void Pump(DWORD ms) {
    if (ms)
        Sleep(ms);
    // A sent message is handled at the next GetMessage, ahead of anything
    // posted, so only a posted marker comes after what was posted before it.
    // The loop takes posted messages in order; once it takes the marker, all
    // of them have been dispatched. A second marker covers what they posted
    // in turn (the WM_CHAR of a key press, a close request).
    for (int nRound = 0; nRound < 2; nRound++) {
        LONG nMarker = InterlockedIncrement(&nMarkersPosted);
        if (!hAppWnd || !PostMessageA(hAppWnd, uPumpMarker, (WPARAM)nMarker, 0))
            return;
        WaitFor([nMarker] {
            return nMarkersTaken >= nMarker ||
                   WaitForSingleObject(hAppReturned, 0) == WAIT_OBJECT_0;
        });
    }
}

HWND AppFocus() {
    GUITHREADINFO info;
    ZeroMemory(&info, sizeof(info));
    info.cbSize = sizeof(info);
    GetGUIThreadInfo(dwAppThreadId, &info);
    return info.hwndFocus;
}

HWND SetAppFocus(HWND hWnd) {
    PostMessageA(hAppWnd, uFocusRequest, (WPARAM)hWnd, 0);
    Pump();
    return AppFocus();
}

void PressKey(WPARAM wKey, bool bAlt) {
    HWND hTarget = AppFocus() ? AppFocus() : hAppWnd;
    // Repeat count 1, the scan code, the Alt bit; a release has the
    // previous-state and transition bits too.
    DWORD dwDown = 1 | (MapVirtualKeyA((UINT)wKey, MAPVK_VK_TO_VSC) << 16) | (bAlt ? 1u << 29 : 0);
    LPARAM lDown = (LPARAM)dwDown;
    LPARAM lUp = (LPARAM)(dwDown | 3u << 30);
    PostMessageA(hTarget, bAlt ? WM_SYSKEYDOWN : WM_KEYDOWN, wKey, lDown);
    PostMessageA(hTarget, bAlt ? WM_SYSKEYUP : WM_KEYUP, wKey, lUp);
}
