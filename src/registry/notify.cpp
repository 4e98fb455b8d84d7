// The change watcher: waits for keys added or deleted anywhere under
// HKEY_LOCAL_MACHINE and tells the user-interface thread, which refills the
// tree. It never waits for that thread: it arms the next wait at once, and
// keeps at most one notice on its way, so a burst of changes costs one.
// A stop event beside the change event ends it when the program quits.
#include "registry/namebuf.h"
#include "registry/registry.h"

volatile LONG nWatchState = WATCH_SUSPENDED;
volatile LONG nNoticesQueued = 0;
static HANDLE hChanged;   // set by the registry on a key change
static HANDLE hStop;      // set when the program quits
static HANDLE hFirstWait; // set once the first wait was tried

DWORD WINAPI ChangeNotify(LPVOID) {
    DWORD dwPause = 0;
    HANDLE hWait[2] = {hStop, hChanged};
    for (;;) {
        InterlockedExchange(&nWatchState, WATCH_ARMING);
        if (WaitForSingleObject(hStop, 0) == WAIT_OBJECT_0)
            break;
        ResetEvent(hChanged);
        LONG lResult = RegNotifyChangeKeyValue(HKEY_LOCAL_MACHINE, TRUE, REG_NOTIFY_CHANGE_NAME,
                                               hChanged, TRUE);
        SetEvent(hFirstWait);
        if (lResult == ERROR_SUCCESS) {
            dwPause = 0;
            InterlockedExchange(&nWatchState, WATCH_WAITING);
            if (WaitForMultipleObjects(2, hWait, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
                break;
            InterlockedExchange(&nWatchState, WATCH_POSTING);
            if (InterlockedIncrement(&nNoticesQueued) == 1)
                PostMessageA(hWndMain, WM_REFILLTREE, 0, 0);
        } else {
            // A wait that keeps failing must not spin; keep trying, slower.
            InterlockedExchange(&nWatchState, WATCH_BACKOFF);
            dwPause = NextBackoff(dwPause);
            if (WaitForSingleObject(hStop, dwPause) == WAIT_OBJECT_0)
                break;
        }
    }
    InterlockedExchange(&nWatchState, WATCH_ENDED);
    return 0;
}

// Suspended until the first Registry command. Without its events there is
// no watcher at all: one that could not be stopped must not run.
void CreateWatcher(void) {
    nWatchState = WATCH_SUSPENDED;
    nNoticesQueued = 0;
    hNotify = NULL;
    if (!hChanged)
        hChanged = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!hStop)
        hStop = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!hFirstWait)
        hFirstWait = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!hChanged || !hStop || !hFirstWait)
        return;
    ResetEvent(hStop);
    DWORD dwThreadID;
    hNotify = CreateThread(NULL, 0, ChangeNotify, NULL, CREATE_SUSPENDED, &dwThreadID);
}

// Armed before the first fill walks, so a change made during that fill
// brings one more.
void StartWatcher(void) {
    if (!hNotify || nWatchState != WATCH_SUSPENDED)
        return;
    ResetEvent(hFirstWait);
    nWatchState = WATCH_ARMING;
    if (ResumeThread(hNotify) == 1)
        WaitForSingleObject(hFirstWait, 2000);
}

// A watcher never started starts now, sees the stop and ends. Its every
// wait includes the stop event, so the bound is only a guard.
void StopWatcher(void) {
    if (!hNotify || nWatchState == WATCH_ENDED)
        return;
    SetEvent(hStop);
    ResumeThread(hNotify);
    WaitForSingleObject(hNotify, 10000);
}

BOOL WatcherIdle(void) {
    return nWatchState == WATCH_WAITING && nNoticesQueued == 0 && hChanged &&
           WaitForSingleObject(hChanged, 0) == WAIT_TIMEOUT;
}
