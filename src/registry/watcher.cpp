// The watcher's thread. Until the tree is cut into parts (plan.h) it waits
// on the whole hive, and any change brings a whole refill; then each part's
// key has a wait of its own. Every wait is armed on this thread (a wait ends
// with the thread that armed it); a thread pool wait on its event hands it
// back here when it fires. A part is armed again before the window is told,
// so no change goes unseen, and at most one notice is on its way, so a burst
// of changes costs one. At the first wait the system refuses, the parts go
// and the whole hive is watched again, with growing pauses while refused.
#include "registry/watcher.h"

#include "registry/grow.h"
#include "registry/ntkey.h"
#include "registry/observe.h"
#include "registry/plan.h"
#include "registry/records.h"

#include <cstring>

volatile LONG nWatchState = WATCH_SUSPENDED;
volatile LONG nNoticesQueued = 0;

// A request from the window's thread; a part's stays as its name.
struct Request {
    Request *pNext;
    int nKind;
    LONG nWatch, nAbove;
    BOOL bSubtree, bReadNow;
    BYTE abName[1];
};
// A key watched: its wait's event, and the pool's wait on that event. The
// watcher's own while it runs, the next watcher's to clear once it has
// ended; the events are also read by WatcherIdle, so set under the lock.
struct Part {
    HKEY hKey;
    HANDLE hEvent, hWait;
    Request *pReq; // what it was asked as
};
static Part whole, *pParts; // the hive with all below it (watch -1); the parts, by watch
static size_t nParts;
static BOOL bWholeWanted;  // until every part is armed
static BOOL bPartsRefused; // a wait was refused: no part is armed until the next plan
static HANDLE hThread;     // the watcher thread, for the next watcher to wait for
// Made once for the process: the lock, and events that wake the watcher or
// say it has tried its first wait.
static CRITICAL_SECTION csWatch;
static HANDLE hStop, hRequest, hFired, hFirstWait;
// Under csWatch: requests, watches the pool saw fire, and what the window is
// told: watches to read again, or that a change no part places was seen.
static Request *pFirstRequest, *pLastRequest;
static LONG *pnFired, *pnReady;
static size_t nFired, nFiredMax, nReady, nReadyMax;
static BOOL bUnlocated;

static Part *At(LONG nWatch) {
    return nWatch < 0 ? &whole : &pParts[nWatch];
}

// -1 is a change no part places; a notice that cannot be kept becomes one.
static void ReadAgain(LONG nWatch) {
    EnterCriticalSection(&csWatch);
    if (nWatch < 0 || !Push(&pnReady, &nReady, &nReadyMax, nWatch))
        bUnlocated = TRUE;
    LeaveCriticalSection(&csWatch);
}

// On a pool thread: only the lock and the events are touched.
static VOID CALLBACK PartFired(PVOID pContext, BOOLEAN) {
    EnterCriticalSection(&csWatch);
    if (!Push(&pnFired, &nFired, &nFiredMax, (LONG)(INT_PTR)pContext))
        bUnlocated = TRUE;
    LeaveCriticalSection(&csWatch);
    SetEvent(hFired);
}

// The pool's wait goes first, waiting out a callback under way: only then
// may the event be reset and armed again, or closed. Closing a key signals
// its wait's event, so the event is reset after.
static void StopWait(Part *p, BOOL bCloseKey) {
    if (p->hWait)
        UnregisterWaitEx(p->hWait, INVALID_HANDLE_VALUE);
    if (p->hKey && bCloseKey)
        RegCloseKey(p->hKey);
    p->hWait = NULL;
    p->hKey = bCloseKey ? NULL : p->hKey;
    ResetEvent(p->hEvent);
}

static LONG Arm(LONG nWatch) {
    Part *p = At(nWatch);
    StopWait(p, FALSE);
    LONG lResult = RegNotifyChangeKeyValue(p->hKey, nWatch < 0 || p->pReq->bSubtree,
                                           REG_NOTIFY_CHANGE_NAME, p->hEvent, TRUE);
    if (lResult == ERROR_SUCCESS &&
        !RegisterWaitForSingleObject(&p->hWait, p->hEvent, PartFired, (PVOID)(INT_PTR)nWatch,
                                     INFINITE, WT_EXECUTEONLYONCE))
        lResult = ERROR_NOT_ENOUGH_MEMORY;
    return lResult;
}

static void Close(LONG nWatch, BOOL bForget) {
    Part *p = At(nWatch);
    StopWait(p, TRUE);
    if (!bForget || nWatch < 0)
        return;
    free(p->pReq);
    EnterCriticalSection(&csWatch);
    if (p->hEvent)
        CloseHandle(p->hEvent);
    ZeroMemory(p, sizeof(*p));
    LeaveCriticalSection(&csWatch);
}

static void ArmWhole(void) {
    if (!whole.hKey && OpenHive(&whole.hKey) != ERROR_SUCCESS)
        whole.hKey = NULL;
    else if (!whole.hWait && Arm(-1) != ERROR_SUCCESS)
        Close(-1, FALSE);
}

// Thousands of parts take a while to close: a quit does not wait for it.
static BOOL CloseAllParts(void) {
    for (size_t i = 0; i < nParts; i++) {
        if (i % 64 == 63 && WaitForSingleObject(hStop, 0) == WAIT_OBJECT_0)
            return FALSE;
        Close((LONG)i, TRUE);
    }
    return TRUE;
}

// The first refused wait: the parts go, and the whole hive is watched
// again. A change may have gone unseen unless the hive's wait was armed.
static void RefuseParts(void) {
    if (bPartsRefused)
        return;
    if (!whole.hKey)
        ReadAgain(-1);
    bPartsRefused = bWholeWanted = TRUE;
    ArmWhole();
    CloseAllParts();
}

// Opens the part's key under the key above it and arms it. A key that
// cannot be read shows nothing below it; one that is gone is taken out by
// the reading of the key above.
static void Open(LONG nWatch) {
    Part *p = &pParts[nWatch];
    LONG nAbove = p->pReq->nAbove, lResult = ERROR_FILE_NOT_FOUND; // gone with the key above
    if (nAbove < 0)
        lResult = OpenHive(&p->hKey);
    else if ((size_t)nAbove < nParts && pParts[nAbove].hKey)
        lResult = OpenSubkey(pParts[nAbove].hKey, p->pReq->abName, &p->hKey);
    if (lResult == ERROR_SUCCESS)
        lResult = Arm(nWatch);
    if (lResult == ERROR_SUCCESS || lResult == ERROR_ACCESS_DENIED)
        return;
    if (lResult == ERROR_FILE_NOT_FOUND || lResult == ERROR_KEY_DELETED)
        ReadAgain(nAbove);
    else if (p->hKey)
        RefuseParts();
    else
        ReadAgain(-1);
    Close(nWatch, FALSE);
}

// Takes the request over; FALSE (and it freed) when there is no room for it.
static BOOL AddPart(Request *pReq) {
    size_t nMax = nParts;
    if ((size_t)pReq->nWatch >= nParts) {
        EnterCriticalSection(&csWatch); // WatcherIdle reads the table
        BOOL bGrown = Reserve(&pParts, &nMax, (size_t)pReq->nWatch + 1);
        if (bGrown)
            ZeroMemory(pParts + nParts, (nMax - nParts) * sizeof(Part));
        nParts = nMax;
        LeaveCriticalSection(&csWatch);
        if (!bGrown) {
            free(pReq);
            return FALSE;
        }
    }
    Close(pReq->nWatch, TRUE);
    HANDLE hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!hEvent) {
        free(pReq);
        return FALSE;
    }
    EnterCriticalSection(&csWatch);
    pParts[pReq->nWatch] = {NULL, hEvent, NULL, pReq};
    LeaveCriticalSection(&csWatch);
    Open(pReq->nWatch);
    return TRUE;
}

// A key is not told of its own deletion, and a key made again under the
// same name is another key: when a cut key changes, each part under it
// whose key is gone is opened again by its name.
static void ReopenGoneBelow(LONG nWatch) {
    for (size_t i = 0; i < nParts && !bPartsRefused; i++) {
        Part *p = &pParts[i];
        if (!p->pReq || p->pReq->nAbove != nWatch || (LONG)i == nWatch ||
            (p->hKey && RegQueryInfoKeyW(p->hKey, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
                                         NULL, NULL, NULL) != ERROR_KEY_DELETED))
            continue;
        Close((LONG)i, FALSE);
        Open((LONG)i);
        ReadAgain((LONG)i);
        if (!p->pReq->bSubtree)
            ReopenGoneBelow((LONG)i);
    }
}

static void TakeRequests(void) {
    EnterCriticalSection(&csWatch);
    Request *pReq = pFirstRequest;
    pFirstRequest = pLastRequest = NULL;
    LeaveCriticalSection(&csWatch);
    BOOL bStopped = FALSE;
    for (unsigned nTaken = 0; pReq; nTaken++) {
        Request *pNext = pReq->pNext;
        // Arming thousands of parts takes a while: a quit does not wait for it.
        if (!bStopped && nTaken % 64 == 63)
            bStopped = WaitForSingleObject(hStop, 0) == WAIT_OBJECT_0;
        // With the hive's own wait refused, no part is tried.
        bPartsRefused |= pReq->nKind == REQ_PART && bWholeWanted && !whole.hKey;
        if (!bStopped && pReq->nKind == REQ_WHOLE) {
            bWholeWanted = TRUE;
            bPartsRefused = FALSE;
            ArmWhole(); // before the parts go, so no change falls between
            bStopped = !CloseAllParts();
        } else if (!bStopped && pReq->nKind == REQ_PART && !bPartsRefused) {
            BOOL bReadNow = pReq->bReadNow;
            LONG nWatch = pReq->nWatch;
            if (!AddPart(pReq))
                RefuseParts();
            else if (bReadNow)
                ReadAgain(nWatch);
            pReq = NULL; // the part's now, or freed with the others
        } else if (!bStopped && pReq->nKind == REQ_UNWATCH && (size_t)pReq->nWatch < nParts) {
            Close(pReq->nWatch, TRUE);
        } else if (!bStopped && pReq->nKind == REQ_PLAN_DONE && !bPartsRefused) {
            // A change while the parts were armed may lie in none of them.
            if (whole.hKey && WaitForSingleObject(whole.hEvent, 0) == WAIT_OBJECT_0)
                ReadAgain(-1);
            bWholeWanted = FALSE;
            Close(-1, FALSE);
        }
        free(pReq);
        pReq = pNext;
    }
}

// Each watch that fired is armed again first, then read again; the whole
// hive's is armed again at the top of the loop, while it is wanted.
static void TakeFired(void) {
    EnterCriticalSection(&csWatch);
    LONG *pn = pnFired;
    size_t n = nFired;
    pnFired = NULL;
    nFired = nFiredMax = 0;
    LeaveCriticalSection(&csWatch);
    for (size_t i = 0; i < n; i++) {
        LONG nWatch = pn[i];
        if (nWatch < 0) {
            Close(-1, FALSE);
            ReadAgain(-1);
        }
        if (nWatch < 0 || bPartsRefused || (size_t)nWatch >= nParts || !pParts[nWatch].hKey)
            continue;
        LONG lResult = Arm(nWatch);
        if (lResult == ERROR_KEY_DELETED) { // opened again by its name
            Close(nWatch, FALSE);
            Open(nWatch);
        } else if (lResult != ERROR_SUCCESS) {
            RefuseParts();
        }
        ReadAgain(nWatch);
        if (pParts[nWatch].pReq && !pParts[nWatch].pReq->bSubtree)
            ReopenGoneBelow(nWatch);
    }
    free(pn);
}

DWORD WINAPI ChangeNotify(LPVOID) {
    for (DWORD dwPause = 0;;) {
        InterlockedExchange(&nWatchState, WATCH_ARMING);
        if (bWholeWanted)
            ArmWhole();
        TakeRequests();
        EnterCriticalSection(&csWatch);
        BOOL bTell = bUnlocated || nReady > 0;
        LeaveCriticalSection(&csWatch);
        if (bTell && InterlockedIncrement(&nNoticesQueued) == 1)
            PostMessageA(hWndMain, WM_REFILLTREE, 0, 0);
        SetEvent(hFirstWait);
        // A wait that keeps failing must not spin: it is tried again, slower.
        BOOL bBackoff = bWholeWanted && !whole.hWait;
        dwPause = bBackoff ? NextBackoff(dwPause) : 0;
        InterlockedExchange(&nWatchState, bBackoff ? WATCH_BACKOFF : WATCH_WAITING);
        HANDLE hWait[3] = {hStop, hRequest, hFired};
        DWORD dwWoken =
            WaitForMultipleObjects(bBackoff ? 1 : 3, hWait, FALSE, bBackoff ? dwPause : INFINITE);
        if (dwWoken == WAIT_OBJECT_0 || dwWoken == WAIT_FAILED)
            break;
        InterlockedExchange(&nWatchState, WATCH_POSTING);
        TakeFired();
    }
    // The parts stay until the next watcher clears them: closing thousands
    // would hold the quit, and the process ends anyway.
    Close(-1, FALSE);
    InterlockedExchange(&nWatchState, WATCH_ENDED);
    return 0;
}

void AskWatcher(int nKind, LONG nWatch, LONG nAbove, const BYTE *pName, BOOL bSubtree,
                BOOL bReadNow) {
    if (!hNotify || nWatchState == WATCH_ENDED)
        return;
    size_t cbName = pName ? NameSize(pName) : 0;
    Request *pReq = (Request *)calloc(1, sizeof(Request) + cbName);
    EnterCriticalSection(&csWatch);
    BOOL bFirst = !pFirstRequest; // one wake takes the whole list
    if (pReq) {
        *pReq = {NULL, nKind, nWatch, nAbove, bSubtree, bReadNow, {0}};
        if (pName)
            memcpy(pReq->abName, pName, cbName);
        (pLastRequest ? pLastRequest->pNext : pFirstRequest) = pReq;
        pLastRequest = pReq;
    } else {
        bUnlocated = TRUE; // the next change refills the whole tree
    }
    LeaveCriticalSection(&csWatch);
    if (bFirst)
        SetEvent(hRequest);
}

LONG *TakeNotices(size_t *pnCount, BOOL *pbUnlocated) {
    LONG *pn = NULL;
    *pnCount = 0;
    *pbUnlocated = !hStop; // no watcher: nothing is placed
    if (hStop) {
        EnterCriticalSection(&csWatch);
        pn = pnReady;
        *pnCount = nReady;
        *pbUnlocated = bUnlocated;
        pnReady = NULL;
        nReady = nReadyMax = bUnlocated = 0;
        LeaveCriticalSection(&csWatch);
    }
    return pn;
}

// Suspended until the first Registry command. What an earlier window's
// watcher left is cleared once that thread has surely ended. Without its
// events there is no watcher at all: one that could not be stopped must
// not run.
void CreateWatcher(void) {
    nWatchState = WATCH_SUSPENDED;
    nNoticesQueued = 0;
    hNotify = NULL;
    if (!hStop) {
        InitializeCriticalSection(&csWatch);
        hStop = CreateEventA(NULL, TRUE, FALSE, NULL);
        hRequest = CreateEventA(NULL, FALSE, FALSE, NULL);
        hFired = CreateEventA(NULL, FALSE, FALSE, NULL);
        hFirstWait = CreateEventA(NULL, TRUE, FALSE, NULL);
        whole.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    }
    if (hThread) {
        WaitForSingleObject(hThread, INFINITE);
        CloseHandle(hThread);
        hThread = NULL;
    }
    ResetEvent(hStop);
    CloseAllParts();
    EnterCriticalSection(&csWatch);
    while (Request *pReq = pFirstRequest) {
        pFirstRequest = pReq->pNext;
        free(pReq);
    }
    pLastRequest = NULL;
    nFired = nReady = 0;
    bUnlocated = FALSE;
    LeaveCriticalSection(&csWatch);
    bWholeWanted = TRUE;
    bPartsRefused = FALSE;
    if (!hStop || !hRequest || !hFired || !hFirstWait || !whole.hEvent)
        return;
    hNotify = CreateThread(NULL, 0, ChangeNotify, NULL, CREATE_SUSPENDED, NULL);
    if (hNotify && !DuplicateHandle(GetCurrentProcess(), hNotify, GetCurrentProcess(), &hThread,
                                    SYNCHRONIZE, FALSE, 0))
        hThread = NULL;
}

// Armed before the first fill walks, so a change made during that fill
// brings one more. The bound only guards a watcher that never gets going.
void StartWatcher(void) {
    if (!hNotify || nWatchState != WATCH_SUSPENDED)
        return;
    ResetEvent(hFirstWait);
    nWatchState = WATCH_ARMING;
    if (ResumeThread(hNotify) == 1)
        WaitForSingleObject(hFirstWait, 2000);
}

// A watcher never started starts now, sees the stop and ends. Its every
// wait includes the stop event, so the bound is only a guard; if it is
// reached nothing is freed: the state stays the thread's.
void StopWatcher(void) {
    if (!hNotify || nWatchState == WATCH_ENDED)
        return;
    SetEvent(hStop);
    ResumeThread(hNotify);
    WaitForSingleObject(hNotify, 10000);
}

// Nothing asked, fired or to tell; every wait armed and unsignalled.
BOOL WatcherIdle(void) {
    if (nWatchState != WATCH_WAITING || nNoticesQueued != 0 || !hStop)
        return FALSE;
    EnterCriticalSection(&csWatch);
    BOOL bIdle = !pFirstRequest && nFired == 0 && nReady == 0 && !bUnlocated;
    for (size_t i = 0; bIdle && i <= nParts; i++) {
        HANDLE hEvent = i < nParts ? pParts[i].hEvent : whole.hEvent;
        bIdle = !hEvent || WaitForSingleObject(hEvent, 0) != WAIT_OBJECT_0;
    }
    LeaveCriticalSection(&csWatch);
    return bIdle && nWatchState == WATCH_WAITING;
}
