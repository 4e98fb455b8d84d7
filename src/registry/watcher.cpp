// The watcher's thread (docs/registry.md). Every wait is armed here, as a
// wait ends with the thread that armed it; a pool wait on its event hands
// it back when it fires. A part is armed again before the window is told.
#include "registry/watcher.h"

#include "registry/grow.h"
#include "registry/observe.h"
#include "registry/plan.h"
#include "registry/reader.h"
#include "registry/records.h"

#include <cstring>

volatile LONG nWatchState = WATCH_SUSPENDED;
volatile LONG nNoticesQueued = 0;

struct Request { // what a part was asked as
    LONG nAbove;
    BOOL bSubtree, bReadNow;
    BYTE abName[1];
};
// A request from the window's thread, or a watch the pool saw fire.
enum { REQ_FIRED = REQ_PLAN_DONE + 1 };
struct Note {
    int nKind;
    LONG nWatch;
    Request *pReq;
};
// A key watched, its wait's event and the pool's wait on it: the watcher's
// own, the next watcher's to clear; the events set under the lock.
struct Part {
    HKEY hKey;
    HANDLE hEvent, hWait;
    Request *pReq;
};
static Part whole, *pParts; // the hive with all below it (watch -1); the parts, by watch
static size_t nParts;
static BOOL bWholeWanted;  // until every part is armed
static BOOL bPartsRefused; // a wait was refused: no part is armed until the next plan
static HANDLE hThread;     // the watcher thread, for the next watcher to wait for
static volatile LONG bStop;
// Made once for the process.
static CRITICAL_SECTION csWatch;
static HANDLE hStop, hWake, hFirstWait;
// Under csWatch: what the watcher is told, and what it tells the window.
static Note *pNotes;
static LONG *pnReady;
static size_t nNotes, nNotesMax, nReady, nReadyMax;
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

// From any thread; a part without its request is no part. One wake takes
// the whole inbox: a wake is a trip to Wine's server, and a plan asks for
// thousands of parts at once.
static void Tell(const Note &note) {
    EnterCriticalSection(&csWatch);
    BOOL bFirst = nNotes == 0;
    if ((note.nKind == REQ_PART && !note.pReq) || !Push(&pNotes, &nNotes, &nNotesMax, note)) {
        free(note.pReq);
        bUnlocated = TRUE; // the next change refills the whole tree
    }
    LeaveCriticalSection(&csWatch);
    if (bFirst)
        SetEvent(hWake);
}

static VOID CALLBACK PartFired(PVOID pContext, BOOLEAN) {
    Tell({REQ_FIRED, (LONG)(INT_PTR)pContext, NULL});
}

// The pool's wait goes first, waiting out a callback under way; closing a
// key signals its event, so the event is reset after. bForget: the part goes.
static void Close(LONG nWatch, BOOL bCloseKey, BOOL bForget = FALSE) {
    Part *p = At(nWatch);
    if (p->hWait)
        UnregisterWaitEx(p->hWait, INVALID_HANDLE_VALUE);
    if (p->hKey && bCloseKey)
        RegCloseKey(p->hKey);
    p->hWait = NULL;
    p->hKey = bCloseKey ? NULL : p->hKey;
    ResetEvent(p->hEvent);
    if (!bForget || nWatch < 0)
        return;
    free(p->pReq);
    EnterCriticalSection(&csWatch);
    if (p->hEvent)
        CloseHandle(p->hEvent);
    ZeroMemory(p, sizeof(*p));
    LeaveCriticalSection(&csWatch);
}

static LONG Arm(LONG nWatch) {
    Part *p = At(nWatch);
    Close(nWatch, FALSE);
    LONG lResult = RegNotifyChangeKeyValue(p->hKey, nWatch < 0 || p->pReq->bSubtree,
                                           REG_NOTIFY_CHANGE_NAME, p->hEvent, TRUE);
    if (lResult == ERROR_SUCCESS &&
        !RegisterWaitForSingleObject(&p->hWait, p->hEvent, PartFired, (PVOID)(INT_PTR)nWatch,
                                     INFINITE, WT_EXECUTEONLYONCE))
        lResult = ERROR_NOT_ENOUGH_MEMORY;
    return lResult;
}

static void ArmWhole(void) {
    if (!whole.hKey && OpenHive(&whole.hKey) != ERROR_SUCCESS)
        whole.hKey = NULL;
    else if (!whole.hWait && Arm(-1) != ERROR_SUCCESS)
        Close(-1, TRUE);
}

// Thousands of parts take a while to close: a quit does not wait for it.
static void CloseAllParts(void) {
    for (size_t i = 0; i < nParts && !bStop; i++)
        Close((LONG)i, TRUE, TRUE);
}

// The first refused wait: the whole hive is watched again. A change may
// have gone unseen unless its wait was armed.
static void RefuseParts(void) {
    if (bPartsRefused)
        return;
    if (!whole.hKey)
        ReadAgain(-1);
    bPartsRefused = bWholeWanted = TRUE;
    ArmWhole();
    CloseAllParts();
}

// By its name under the key above. A key that cannot be read shows nothing
// below it; one that is gone is taken out by the reading of the key above.
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
    Close(nWatch, TRUE);
}

// Takes the request over; FALSE (and it freed) when there is no room for it.
static BOOL AddPart(LONG nWatch, Request *pReq) {
    size_t nMax = nParts;
    EnterCriticalSection(&csWatch); // WatcherIdle reads the table
    BOOL bRoom = (size_t)nWatch < nParts || Reserve(&pParts, &nMax, (size_t)nWatch + 1);
    if (nMax > nParts)
        ZeroMemory(pParts + nParts, (nMax - nParts) * sizeof(Part));
    nParts = nMax;
    LeaveCriticalSection(&csWatch);
    if (bRoom)
        Close(nWatch, TRUE, TRUE);
    HANDLE hEvent = bRoom ? CreateEventA(NULL, TRUE, FALSE, NULL) : NULL;
    if (!hEvent) {
        free(pReq);
        return FALSE;
    }
    EnterCriticalSection(&csWatch);
    pParts[nWatch] = {NULL, hEvent, NULL, pReq};
    LeaveCriticalSection(&csWatch);
    Open(nWatch);
    return TRUE;
}

// A key is not told of its own deletion, and one made again under the same
// name is another key: those under a cut key that changed are opened again.
static void ReopenGoneBelow(LONG nWatch) {
    for (size_t i = 0; i < nParts && !bPartsRefused; i++) {
        Part *p = &pParts[i];
        if (!p->pReq || p->pReq->nAbove != nWatch || (LONG)i == nWatch ||
            (p->hKey && RegQueryInfoKeyW(p->hKey, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
                                         NULL, NULL, NULL) != ERROR_KEY_DELETED))
            continue;
        Close((LONG)i, TRUE);
        Open((LONG)i);
        ReadAgain((LONG)i);
        if (!p->pReq->bSubtree)
            ReopenGoneBelow((LONG)i);
    }
}

// A watch that fired is armed again first, then read again.
static void Fired(LONG nWatch) {
    if (nWatch < 0) {
        Close(-1, TRUE);
        if (bWholeWanted)
            ArmWhole();
        ReadAgain(-1);
    }
    if (nWatch < 0 || bPartsRefused || (size_t)nWatch >= nParts || !pParts[nWatch].hKey)
        return;
    LONG lResult = Arm(nWatch);
    if (lResult == ERROR_KEY_DELETED) { // opened again by its name
        Close(nWatch, TRUE);
        Open(nWatch);
    } else if (lResult != ERROR_SUCCESS) {
        RefuseParts();
    }
    ReadAgain(nWatch);
    if (pParts[nWatch].pReq && !pParts[nWatch].pReq->bSubtree)
        ReopenGoneBelow(nWatch);
}

// The hive is armed before the parts go; with its wait refused, no part is tried.
static void Take(const Note &note) {
    Request *pReq = note.pReq;
    bPartsRefused |= note.nKind == REQ_PART && bWholeWanted && !whole.hKey;
    if (note.nKind == REQ_WHOLE) {
        bWholeWanted = TRUE;
        bPartsRefused = FALSE;
        ArmWhole();
        CloseAllParts();
    } else if (note.nKind == REQ_PART && !bPartsRefused) {
        BOOL bReadNow = pReq->bReadNow;
        pReq = NULL; // the part's now, or freed
        if (!AddPart(note.nWatch, note.pReq))
            RefuseParts();
        else if (bReadNow)
            ReadAgain(note.nWatch);
    } else if (note.nKind == REQ_UNWATCH && (size_t)note.nWatch < nParts) {
        Close(note.nWatch, TRUE, TRUE);
    } else if (note.nKind == REQ_PLAN_DONE && !bPartsRefused) {
        // A change while the parts were armed may lie in none of them.
        if (whole.hKey && WaitForSingleObject(whole.hEvent, 0) == WAIT_OBJECT_0)
            ReadAgain(-1);
        bWholeWanted = FALSE;
        Close(-1, TRUE);
    } else if (note.nKind == REQ_FIRED) {
        Fired(note.nWatch);
    }
    free(pReq);
}

// Arming thousands of parts takes a while: a quit does not wait for it.
DWORD WINAPI ChangeNotify(LPVOID) {
    for (DWORD dwPause = 0;;) {
        InterlockedExchange(&nWatchState, WATCH_ARMING);
        if (bWholeWanted)
            ArmWhole();
        EnterCriticalSection(&csWatch);
        Note *pTaken = pNotes;
        size_t nTaken = nNotes;
        pNotes = NULL;
        nNotes = nNotesMax = 0;
        LeaveCriticalSection(&csWatch);
        for (size_t i = 0; i < nTaken; i++)
            if (bStop)
                free(pTaken[i].pReq);
            else
                Take(pTaken[i]);
        free(pTaken);
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
        HANDLE hWait[2] = {hStop, hWake};
        DWORD dwWoken =
            WaitForMultipleObjects(bBackoff ? 1 : 2, hWait, FALSE, bBackoff ? dwPause : INFINITE);
        if (dwWoken == WAIT_OBJECT_0 || dwWoken == WAIT_FAILED)
            break;
        InterlockedExchange(&nWatchState, WATCH_POSTING);
    }
    // The parts stay until the next watcher clears them: no quit waits for it.
    Close(-1, TRUE);
    InterlockedExchange(&nWatchState, WATCH_ENDED);
    return 0;
}

void AskWatcher(int nKind, LONG nWatch, LONG nAbove, const BYTE *pName, BOOL bSubtree,
                BOOL bReadNow) {
    if (!hNotify || nWatchState == WATCH_ENDED)
        return;
    size_t cbName = pName ? NameSize(pName) : 0;
    Request *pReq = nKind == REQ_PART ? (Request *)malloc(sizeof(Request) + cbName) : NULL;
    if (pReq) {
        *pReq = {nAbove, bSubtree, bReadNow, {0}};
        memcpy(pReq->abName, pName, cbName);
    }
    Tell({nKind, nWatch, pReq});
}

LONG *TakeNotices(size_t *pnCount, BOOL *pbUnlocated) {
    *pnCount = 0;
    *pbUnlocated = TRUE; // no watcher: nothing is placed
    if (!hStop)
        return NULL;
    EnterCriticalSection(&csWatch);
    LONG *pn = pnReady;
    *pnCount = nReady;
    *pbUnlocated = bUnlocated;
    pnReady = NULL;
    nReady = nReadyMax = bUnlocated = 0;
    LeaveCriticalSection(&csWatch);
    return pn;
}

// What an earlier window's watcher left is cleared once its thread has
// surely ended. Without its events there is no watcher: it could not stop.
void CreateWatcher(void) {
    nWatchState = WATCH_SUSPENDED;
    nNoticesQueued = 0;
    hNotify = NULL;
    if (!hStop) {
        InitializeCriticalSection(&csWatch);
        hStop = CreateEventA(NULL, TRUE, FALSE, NULL);
        hWake = CreateEventA(NULL, FALSE, FALSE, NULL);
        hFirstWait = CreateEventA(NULL, TRUE, FALSE, NULL);
        whole.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    }
    if (hThread) {
        WaitForSingleObject(hThread, INFINITE);
        CloseHandle(hThread);
        hThread = NULL;
    }
    ResetEvent(hStop);
    bStop = FALSE;
    CloseAllParts(); // no pool wait is left to tell
    for (size_t i = 0; i < nNotes; i++)
        free(pNotes[i].pReq);
    nNotes = nReady = 0;
    bUnlocated = FALSE;
    bWholeWanted = TRUE;
    bPartsRefused = FALSE;
    if (!hStop || !hWake || !hFirstWait || !whole.hEvent)
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

// A watcher never started starts now and ends. The bound is only a guard;
// if it is reached nothing is freed: the state stays the thread's.
void StopWatcher(void) {
    if (!hNotify || nWatchState == WATCH_ENDED)
        return;
    InterlockedExchange(&bStop, TRUE);
    SetEvent(hStop);
    ResumeThread(hNotify);
    WaitForSingleObject(hNotify, 10000);
}

// Nothing told or to tell; every wait armed and unsignalled.
BOOL WatcherIdle(void) {
    if (nWatchState != WATCH_WAITING || nNoticesQueued != 0 || !hStop)
        return FALSE;
    EnterCriticalSection(&csWatch);
    BOOL bIdle = nNotes == 0 && nReady == 0 && !bUnlocated;
    for (size_t i = 0; bIdle && i <= nParts; i++) {
        HANDLE hEvent = i < nParts ? pParts[i].hEvent : whole.hEvent;
        bIdle = !hEvent || WaitForSingleObject(hEvent, 0) != WAIT_OBJECT_0;
    }
    LeaveCriticalSection(&csWatch);
    return bIdle && nWatchState == WATCH_WAITING;
}
