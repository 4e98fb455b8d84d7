// The watcher's thread. Until the tree is cut into parts (plan.h) it waits
// on the whole of HKEY_LOCAL_MACHINE, and any change there brings a whole
// refill. Then each part's key has a registry wait of its own, armed on this
// thread (a wait ends with the thread that armed it), whose event a thread
// pool wait hands back here when it fires. A part is armed again before the
// window is told, so no change goes unseen, and at most one notice is on its
// way, so a burst of changes costs one. At the first wait the system
// refuses, the parts go and the whole hive is watched again, with pauses
// that grow while that wait is refused too.
#include "registry/watcher.h"

#include "registry/grow.h"
#include "registry/observe.h"
#include "registry/plan.h"
#include "registry/records.h"

#include <cstring>

volatile LONG nWatchState = WATCH_SUSPENDED;
volatile LONG nNoticesQueued = 0;

// The watcher's own while it runs; once it has ended, the next watcher's to
// clear. Each part's event handle is also read by WatcherIdle, so it is
// set and closed under the lock.
struct Part {
    HKEY hKey;
    HANDLE hEvent, hWait; // hWait: the pool's wait on hEvent
    LONG nAbove;
    BOOL bSubtree;
    BYTE *pName;
};
static Part *pParts; // by watch
static size_t nParts;
static HKEY hWholeKey;     // the whole hive's wait, when armed
static BOOL bWholeWanted;  // until every part is armed
static BOOL bPartsRefused; // a wait was refused: no part is armed until the next plan
static REGSAM samView = KEY_READ;
static HANDLE hThread; // the watcher thread, for the next watcher to wait for

// For the whole process, made once: the lock, and the events that wake the
// watcher (set by anyone) or say what it did.
static CRITICAL_SECTION csWatch;
static HANDLE hStop, hRequest, hFired, hChanged, hFirstWait;

// Under csWatch: requests from the window's thread, watches the pool saw
// fire, and what the window is told.
enum { REQ_WHOLE, REQ_PART, REQ_UNWATCH, REQ_PLAN_DONE };
struct Request {
    Request *pNext;
    int nKind;
    LONG nWatch, nAbove;
    BOOL bSubtree, bReadNow;
    BYTE abName[1];
};
static Request *pFirstRequest, *pLastRequest;
static LONG *pnFired, *pnReady;
static size_t nFired, nFiredMax, nReady, nReadyMax;
static BOOL bUnlocated; // a change no part places

static void Tell(void) {
    if (InterlockedIncrement(&nNoticesQueued) == 1)
        PostMessageA(hWndMain, WM_REFILLTREE, 0, 0);
}

// A notice that cannot be kept becomes a whole refill.
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

// A handle of its own to the hive: a wait belongs to the handle it was armed
// on, and the predefined handle may be one handle shared by every wait.
static LONG OpenHive(HKEY *phKey) {
    typedef struct {
        USHORT Length, MaximumLength;
        PWSTR Buffer;
    } UnicodeString;
    typedef struct {
        ULONG Length;
        HANDLE RootDirectory;
        UnicodeString *ObjectName;
        ULONG Attributes;
        PVOID SecurityDescriptor, SecurityQualityOfService;
    } ObjectAttributes;
    typedef LONG(NTAPI * NtOpenKeyFn)(PHANDLE, ACCESS_MASK, ObjectAttributes *);
    NtOpenKeyFn pfnOpen =
        (NtOpenKeyFn)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtOpenKey");
    static WCHAR szHive[] = L"\\Registry\\Machine";
    UnicodeString name = {sizeof(szHive) - sizeof(WCHAR), sizeof(szHive), szHive};
    ObjectAttributes attr = {sizeof(attr), NULL, &name, 0x40 /* OBJ_CASE_INSENSITIVE */,
                             NULL,         NULL};
    if (!pfnOpen || pfnOpen((PHANDLE)phKey, KEY_READ, &attr) < 0)
        return ERROR_CANTOPEN;
    return ERROR_SUCCESS;
}

static void ArmWhole(void) {
    if (hWholeKey)
        return;
    ResetEvent(hChanged);
    if (OpenHive(&hWholeKey) != ERROR_SUCCESS)
        hWholeKey = NULL;
    else if (RegNotifyChangeKeyValue(hWholeKey, TRUE, REG_NOTIFY_CHANGE_NAME, hChanged, TRUE) !=
             ERROR_SUCCESS) {
        RegCloseKey(hWholeKey);
        hWholeKey = NULL;
    }
}

static void CloseWhole(void) {
    if (hWholeKey)
        RegCloseKey(hWholeKey);
    hWholeKey = NULL;
    ResetEvent(hChanged);
}

// The pool's wait goes first, waiting out a callback under way: only then
// may the event be closed, or reset and armed again.
static void StopPoolWait(Part *p) {
    if (p->hWait)
        UnregisterWaitEx(p->hWait, INVALID_HANDLE_VALUE);
    p->hWait = NULL;
}

static void ClosePart(LONG nWatch, BOOL bForget) {
    Part *p = &pParts[nWatch];
    StopPoolWait(p);
    if (p->hKey)
        RegCloseKey(p->hKey);
    p->hKey = NULL;
    if (!bForget)
        return;
    free(p->pName);
    EnterCriticalSection(&csWatch);
    if (p->hEvent)
        CloseHandle(p->hEvent);
    ZeroMemory(p, sizeof(*p));
    LeaveCriticalSection(&csWatch);
}

// Thousands of parts take a while to close: a quit does not wait for it.
static BOOL CloseAllParts(void) {
    for (size_t i = 0; i < nParts; i++) {
        if (i % 64 == 63 && WaitForSingleObject(hStop, 0) == WAIT_OBJECT_0)
            return FALSE;
        if (pParts[i].pName)
            ClosePart((LONG)i, TRUE);
    }
    return TRUE;
}

// The first refused wait: the parts go, and the whole hive is watched
// again. A change may have gone unseen unless the hive's wait was armed.
static void RefuseParts(void) {
    if (bPartsRefused)
        return;
    BOOL bWholeWasArmed = hWholeKey != NULL;
    bPartsRefused = bWholeWanted = TRUE;
    ArmWhole();
    CloseAllParts();
    if (!bWholeWasArmed) {
        EnterCriticalSection(&csWatch);
        bUnlocated = TRUE;
        LeaveCriticalSection(&csWatch);
    }
}

// ERROR_SUCCESS, or why the wait could not be armed.
static LONG ArmPart(LONG nWatch) {
    Part *p = &pParts[nWatch];
    StopPoolWait(p);
    ResetEvent(p->hEvent);
    LONG lResult =
        RegNotifyChangeKeyValue(p->hKey, p->bSubtree, REG_NOTIFY_CHANGE_NAME, p->hEvent, TRUE);
    if (lResult == ERROR_SUCCESS &&
        !RegisterWaitForSingleObject(&p->hWait, p->hEvent, PartFired, (PVOID)(INT_PTR)nWatch,
                                     INFINITE, WT_EXECUTEONLYONCE)) {
        p->hWait = NULL;
        lResult = ERROR_NOT_ENOUGH_MEMORY;
    }
    return lResult;
}

// Opens the part's key under the key above it and arms it. A key that
// cannot be read shows nothing below it; one that is gone is taken out by
// the reading of the key above.
static void OpenPart(LONG nWatch) {
    Part *p = &pParts[nWatch];
    LONG lResult;
    char szName[256 * 3 + 1]; // a key name is at most 255 characters
    size_t cch = NameLength(p->pName) < sizeof(szName) ? NameLength(p->pName) : 0;
    memcpy(szName, NameUnits(p->pName), cch);
    szName[cch] = '\0';
    if (p->nAbove < 0)
        lResult = OpenHive(&p->hKey);
    else if ((size_t)p->nAbove >= nParts || !pParts[p->nAbove].hKey)
        lResult = ERROR_FILE_NOT_FOUND; // gone with the key above it
    else
        lResult = RegOpenKeyExA(pParts[p->nAbove].hKey, szName, 0, samView, &p->hKey);
    if (lResult != ERROR_SUCCESS) {
        p->hKey = NULL;
        BOOL bGone = lResult == ERROR_FILE_NOT_FOUND || lResult == ERROR_KEY_DELETED;
        if (lResult != ERROR_ACCESS_DENIED)
            ReadAgain(bGone ? p->nAbove : -1);
        return;
    }
    lResult = ArmPart(nWatch);
    if (lResult == ERROR_KEY_DELETED)
        ReadAgain(p->nAbove);
    else if (lResult != ERROR_SUCCESS)
        RefuseParts();
}

static BOOL AddPart(const Request *pReq) {
    size_t nNeed = (size_t)pReq->nWatch + 1;
    if (nNeed > nParts) {
        EnterCriticalSection(&csWatch); // WatcherIdle reads the table
        size_t nMax = nParts;
        BOOL bGrown = Reserve(&pParts, &nMax, nNeed);
        if (bGrown) {
            ZeroMemory(pParts + nParts, (nMax - nParts) * sizeof(Part));
            nParts = nMax;
        }
        LeaveCriticalSection(&csWatch);
        if (!bGrown)
            return FALSE;
    }
    if (pParts[pReq->nWatch].pName)
        ClosePart(pReq->nWatch, TRUE);
    Part *p = &pParts[pReq->nWatch];
    size_t cbName = NameSize(pReq->abName);
    BYTE *pName = (BYTE *)malloc(cbName);
    HANDLE hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!pName || !hEvent) {
        free(pName);
        if (hEvent)
            CloseHandle(hEvent);
        return FALSE;
    }
    memcpy(pName, pReq->abName, cbName);
    EnterCriticalSection(&csWatch);
    *p = {NULL, hEvent, NULL, pReq->nAbove, pReq->bSubtree, pName};
    LeaveCriticalSection(&csWatch);
    OpenPart(pReq->nWatch);
    return TRUE;
}

// A key is not told of its own deletion, and a key made again under the
// same name is another key: when a cut key changes, each part under it
// whose key is gone is opened again by its name.
static void ReopenGoneBelow(LONG nWatch) {
    for (size_t i = 0; i < nParts && !bPartsRefused; i++) {
        Part *p = &pParts[i];
        if (!p->pName || p->nAbove != nWatch || (LONG)i == nWatch)
            continue;
        if (p->hKey && RegQueryInfoKeyA(p->hKey, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
                                        NULL, NULL, NULL) != ERROR_KEY_DELETED)
            continue;
        ClosePart((LONG)i, FALSE);
        OpenPart((LONG)i);
        ReadAgain((LONG)i);
        if (!p->bSubtree)
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
        switch (bStopped ? -1 : pReq->nKind) {
        case REQ_WHOLE:
            bWholeWanted = TRUE;
            bPartsRefused = FALSE;
            ArmWhole(); // before the parts go, so no change falls between
            bStopped = !CloseAllParts();
            break;
        case REQ_PART:
            // With the hive's own wait refused, none is tried.
            if (bWholeWanted && !hWholeKey)
                bPartsRefused = TRUE;
            if (bPartsRefused)
                break;
            if (!AddPart(pReq))
                RefuseParts();
            else if (pReq->bReadNow)
                ReadAgain(pReq->nWatch);
            break;
        case REQ_UNWATCH:
            if ((size_t)pReq->nWatch < nParts && pParts[pReq->nWatch].pName)
                ClosePart(pReq->nWatch, TRUE);
            break;
        case REQ_PLAN_DONE:
            if (bPartsRefused)
                break; // the hive stays watched whole
            // A change while the parts were armed may lie in none of them.
            if (hWholeKey && WaitForSingleObject(hChanged, 0) == WAIT_OBJECT_0) {
                EnterCriticalSection(&csWatch);
                bUnlocated = TRUE;
                LeaveCriticalSection(&csWatch);
            }
            bWholeWanted = FALSE;
            CloseWhole();
            break;
        }
        free(pReq);
        pReq = pNext;
    }
}

// Each part whose wait ended is armed again first, then read again.
static void TakeFired(void) {
    EnterCriticalSection(&csWatch);
    LONG *pn = pnFired;
    size_t n = nFired;
    pnFired = NULL;
    nFired = nFiredMax = 0;
    LeaveCriticalSection(&csWatch);
    for (size_t i = 0; i < n && !bPartsRefused; i++) {
        LONG nWatch = pn[i];
        if (nWatch < 0 || (size_t)nWatch >= nParts || !pParts[nWatch].hKey)
            continue;
        LONG lResult = ArmPart(nWatch);
        if (lResult == ERROR_KEY_DELETED) {
            // Opened again by its name: a key gone is read out by the key above.
            ClosePart(nWatch, FALSE);
            OpenPart(nWatch);
        } else if (lResult != ERROR_SUCCESS) {
            RefuseParts();
            break;
        }
        ReadAgain(nWatch);
        if (!pParts[nWatch].bSubtree)
            ReopenGoneBelow(nWatch);
    }
    free(pn);
}

static void TellIfAny(void) {
    EnterCriticalSection(&csWatch);
    BOOL bTell = bUnlocated || nReady > 0;
    LeaveCriticalSection(&csWatch);
    if (bTell)
        Tell();
}

DWORD WINAPI ChangeNotify(LPVOID) {
    DWORD dwPause = 0;
    for (;;) {
        InterlockedExchange(&nWatchState, WATCH_ARMING);
        if (WaitForSingleObject(hStop, 0) == WAIT_OBJECT_0)
            break;
        if (bWholeWanted)
            ArmWhole();
        TakeRequests();
        TellIfAny();
        SetEvent(hFirstWait);
        if (bWholeWanted && !hWholeKey) {
            // A wait that keeps failing must not spin; keep trying, slower.
            InterlockedExchange(&nWatchState, WATCH_BACKOFF);
            dwPause = NextBackoff(dwPause);
            if (WaitForSingleObject(hStop, dwPause) == WAIT_OBJECT_0)
                break;
            continue;
        }
        dwPause = 0;
        InterlockedExchange(&nWatchState, WATCH_WAITING);
        HANDLE hWait[4] = {hStop, hRequest, hFired, hChanged};
        DWORD dwWoken = WaitForMultipleObjects(hWholeKey ? 4 : 3, hWait, FALSE, INFINITE);
        if (dwWoken == WAIT_OBJECT_0 || dwWoken == WAIT_FAILED)
            break;
        InterlockedExchange(&nWatchState, WATCH_POSTING);
        if (dwWoken == WAIT_OBJECT_0 + 3) {
            CloseWhole(); // armed again at the top
            EnterCriticalSection(&csWatch);
            bUnlocated = TRUE;
            LeaveCriticalSection(&csWatch);
        }
        TakeFired();
        TellIfAny();
    }
    // The parts stay until the next watcher clears them: closing thousands
    // would hold the quit, and the process ends anyway.
    CloseWhole();
    InterlockedExchange(&nWatchState, WATCH_ENDED);
    return 0;
}

static void Ask(int nKind, LONG nWatch, LONG nAbove, const BYTE *pName, BOOL bSubtree,
                BOOL bReadNow) {
    if (!hNotify || nWatchState == WATCH_ENDED)
        return;
    size_t cbName = pName ? NameSize(pName) : 0;
    Request *pReq = (Request *)calloc(1, sizeof(Request) + cbName);
    EnterCriticalSection(&csWatch);
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
    SetEvent(hRequest);
}

void WatchWhole(void) {
    Ask(REQ_WHOLE, -1, -1, NULL, TRUE, FALSE);
}

void WatchPart(LONG nWatch, LONG nAbove, const BYTE *pName, BOOL bSubtree, BOOL bReadNow) {
    Ask(REQ_PART, nWatch, nAbove, pName, bSubtree, bReadNow);
}

void UnwatchPart(LONG nWatch) {
    Ask(REQ_UNWATCH, nWatch, -1, NULL, FALSE, FALSE);
}

void WatchPlanDone(void) {
    Ask(REQ_PLAN_DONE, -1, -1, NULL, FALSE, FALSE);
}

LONG *TakeNotices(size_t *pnCount, BOOL *pbUnlocated) {
    if (!hStop) {
        *pnCount = 0;
        *pbUnlocated = TRUE;
        return NULL;
    }
    EnterCriticalSection(&csWatch);
    LONG *pn = pnReady;
    *pnCount = nReady;
    *pbUnlocated = bUnlocated;
    pnReady = NULL;
    nReady = nReadyMax = 0;
    bUnlocated = FALSE;
    LeaveCriticalSection(&csWatch);
    return pn;
}

// Suspended until the first Registry command. What an earlier window's
// watcher left is cleared once that thread has surely ended. Without its
// events there is no watcher at all: one that could not be stopped must not
// run.
void CreateWatcher(void) {
    nWatchState = WATCH_SUSPENDED;
    nNoticesQueued = 0;
    hNotify = NULL;
    if (!hStop) {
        InitializeCriticalSection(&csWatch);
        hStop = CreateEventA(NULL, TRUE, FALSE, NULL);
        hRequest = CreateEventA(NULL, FALSE, FALSE, NULL);
        hFired = CreateEventA(NULL, FALSE, FALSE, NULL);
        hChanged = CreateEventA(NULL, TRUE, FALSE, NULL);
        hFirstWait = CreateEventA(NULL, TRUE, FALSE, NULL);
    }
    if (hThread) {
        WaitForSingleObject(hThread, INFINITE);
        CloseHandle(hThread);
        hThread = NULL;
    }
    for (size_t i = 0; i < nParts; i++)
        if (pParts[i].pName)
            ClosePart((LONG)i, TRUE);
    CloseWhole();
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
    if (!hStop || !hRequest || !hFired || !hChanged || !hFirstWait)
        return;
    ResetEvent(hStop);
    BOOL bWow64 = FALSE;
    samView = IsWow64Process(GetCurrentProcess(), &bWow64) && bWow64 ? KEY_READ | KEY_WOW64_64KEY
                                                                     : KEY_READ;
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
    if (bIdle && WaitForSingleObject(hChanged, 0) == WAIT_OBJECT_0)
        bIdle = FALSE;
    for (size_t i = 0; bIdle && i < nParts; i++)
        if (pParts[i].hEvent && WaitForSingleObject(pParts[i].hEvent, 0) == WAIT_OBJECT_0)
            bIdle = FALSE;
    LeaveCriticalSection(&csWatch);
    return bIdle && nWatchState == WATCH_WAITING;
}
