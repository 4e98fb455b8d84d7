// The change watcher: waits for keys added or deleted anywhere under
// HKEY_LOCAL_MACHINE and tells the user-interface thread, which refills the
// tree. It never waits for that thread: it arms the next wait at once, and
// keeps at most one notice on its way, so a burst of changes costs one.
#include "corvane.h"
#include "registry/namebuf.h"

volatile LONG nWatchState = WATCH_SUSPENDED;
volatile LONG nNoticesQueued = 0;
static HANDLE hChanged;   // set by the registry on a key change
static HANDLE hFirstWait; // set once the first wait was tried

DWORD WINAPI ChangeNotify(LPVOID) {
    DWORD dwPause = 0;
    HANDLE hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    hChanged = hEvent;
    for (;;) {
        InterlockedExchange(&nWatchState, WATCH_ARMING);
        if (hEvent)
            ResetEvent(hEvent);
        // Without an event the call itself waits.
        LONG lResult = RegNotifyChangeKeyValue(HKEY_LOCAL_MACHINE, TRUE, REG_NOTIFY_CHANGE_NAME,
                                               hEvent, hEvent != NULL);
        if (hFirstWait)
            SetEvent(hFirstWait);
        if (lResult == ERROR_SUCCESS) {
            dwPause = 0;
            InterlockedExchange(&nWatchState, WATCH_WAITING);
            if (hEvent)
                WaitForSingleObject(hEvent, INFINITE);
            InterlockedExchange(&nWatchState, WATCH_POSTING);
            if (InterlockedIncrement(&nNoticesQueued) == 1)
                PostMessageA(hWndMain, WM_REFILLTREE, 0, 0);
        } else {
            // A wait that keeps failing must not spin; keep trying, slower.
            InterlockedExchange(&nWatchState, WATCH_BACKOFF);
            dwPause = NextBackoff(dwPause);
            Sleep(dwPause);
        }
    }
}

// Armed before the first fill walks, so a change made during that fill
// brings one more.
void StartWatcher(void) {
    if (!hNotify || nWatchState != WATCH_SUSPENDED)
        return;
    if (!hFirstWait)
        hFirstWait = CreateEventA(NULL, TRUE, FALSE, NULL);
    else
        ResetEvent(hFirstWait);
    nWatchState = WATCH_ARMING;
    if (ResumeThread(hNotify) == 1 && hFirstWait)
        WaitForSingleObject(hFirstWait, 2000);
}

BOOL WatcherIdle(void) {
    return nWatchState == WATCH_WAITING && nNoticesQueued == 0 && hChanged &&
           WaitForSingleObject(hChanged, 0) == WAIT_TIMEOUT;
}
