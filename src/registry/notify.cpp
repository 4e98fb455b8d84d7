// The change watcher. Until the tree is cut into parts (plan.cpp) it waits
// on the whole of HKEY_LOCAL_MACHINE, and any change there brings a whole
// refill. Then it waits on each part, and tells the user-interface thread
// which parts changed; that thread reads them again. It never waits for
// that thread: it arms a part's next wait before telling it, and keeps at
// most one notice on its way, so a burst of changes costs one.
// A registry wait belongs to the thread that armed it, so this thread arms
// every one; small threads of its own wait on their events, up to 62 each.
// A stop event ends them all when the program quits.
#include "registry/namebuf.h"
#include "registry/registry.h"

#include <cstring>

volatile LONG nWatchState = WATCH_SUSPENDED;
volatile LONG nNoticesQueued = 0;
static HANDLE hChanged;   // set by the registry on a change in the whole hive
static HANDLE hStop;      // set when the program quits
static HANDLE hFirstWait; // set once the first wait was tried
static HANDLE hRequest;   // the window's thread asked for something
static HANDLE hFired;     // a part's wait ended
static HKEY hWholeKey;    // the whole hive's wait, when armed

struct Part {
    HKEY hKey;
    HANDLE hEvent;
    BOOL bArmed; // its event is waited on
    LONG nParent;
    BOOL bSubtree;
    char *lpszPath;
};
enum { REQ_WHOLE, REQ_PART, REQ_UNWATCH, REQ_PLAN_DONE };
struct Request {
    Request *pNext;
    int nKind;
    LONG nWatch, nParent;
    BOOL bSubtree, bReadNow;
    char szPath[1];
};

// Shared with the window's thread and the pool, under the lock.
static CRITICAL_SECTION csWatch;
static BOOL bLockMade;
static Request *pFirstRequest, *pLastRequest;
static LONG *pnFired, *pnReady; // parts whose waits ended; parts to read again
static DWORD nFired, nFiredMax, nReady, nReadyMax;
static BOOL bUnlocated;
static Part *pParts; // by watch
static LONG nPartsMax;
static BOOL bWholeWanted = TRUE;
static REGSAM samView = KEY_READ;

static BOOL Push(LONG **ppn, DWORD *pn, DWORD *pnMax, LONG nValue) {
    if (*pn == *pnMax) {
        DWORD nNew = *pnMax ? *pnMax * 2 : 64;
        void *pNew = *ppn ? HeapReAlloc(GetProcessHeap(), 0, *ppn, nNew * sizeof(LONG))
                          : HeapAlloc(GetProcessHeap(), 0, nNew * sizeof(LONG));
        if (!pNew)
            return FALSE;
        *ppn = (LONG *)pNew;
        *pnMax = nNew;
    }
    (*ppn)[(*pn)++] = nValue;
    return TRUE;
}

static void Tell(void) {
    if (InterlockedIncrement(&nNoticesQueued) == 1)
        PostMessageA(hWndMain, WM_REFILLTREE, 0, 0);
}

// Under the lock. A notice that cannot be kept becomes a whole refill.
static void ReadAgain(LONG nWatch) {
    if (nWatch < 0 || !Push(&pnReady, &nReady, &nReadyMax, nWatch))
        bUnlocated = TRUE;
}

// ---- The waiting threads, each for a group of parts ----
static const LONG PARTS_PER_WAITER = MAXIMUM_WAIT_OBJECTS - 2;
static const LONG MAX_WAITERS = 2 * MAX_WATCHES / PARTS_PER_WAITER + 1;
static HANDLE hWaiter[MAX_WAITERS], hWaiterWake[MAX_WAITERS];
static BOOL bWakeDue[MAX_WAITERS]; // told once, after a whole batch of changes

static void WakeWaiters(void) {
    for (LONG i = 0; i < MAX_WAITERS; i++)
        if (bWakeDue[i]) {
            bWakeDue[i] = FALSE;
            SetEvent(hWaiterWake[i]);
        }
}

static DWORD WINAPI WaitParts(LPVOID lpGroup) {
    LONG nGroup = (LONG)(INT_PTR)lpGroup;
    HANDLE hWait[MAXIMUM_WAIT_OBJECTS] = {hStop, hWaiterWake[nGroup]};
    LONG nWatches[MAXIMUM_WAIT_OBJECTS];
    for (;;) {
        DWORD n = 2;
        EnterCriticalSection(&csWatch);
        for (LONG i = nGroup * PARTS_PER_WAITER;
             i < (nGroup + 1) * PARTS_PER_WAITER && i < nPartsMax; i++)
            if (pParts[i].bArmed) {
                nWatches[n] = i;
                hWait[n++] = pParts[i].hEvent;
            }
        LeaveCriticalSection(&csWatch);
        DWORD dwWoken = WaitForMultipleObjects(n, hWait, FALSE, INFINITE);
        if (dwWoken == WAIT_OBJECT_0)
            return 0;
        if (dwWoken == WAIT_FAILED) // a part closed under it: wait to be told
            WaitForMultipleObjects(2, hWait, FALSE, INFINITE);
        if (dwWoken < WAIT_OBJECT_0 + 2 || dwWoken >= WAIT_OBJECT_0 + n)
            continue;
        LONG nWatch = nWatches[dwWoken - WAIT_OBJECT_0];
        EnterCriticalSection(&csWatch);
        if (pParts[nWatch].bArmed && pParts[nWatch].hEvent == hWait[dwWoken - WAIT_OBJECT_0]) {
            pParts[nWatch].bArmed = FALSE;
            if (!Push(&pnFired, &nFired, &nFiredMax, nWatch))
                bUnlocated = TRUE;
        }
        LeaveCriticalSection(&csWatch);
        SetEvent(hFired);
    }
}

// The part's event joins its group's wait, whose thread starts the first time.
static BOOL WaitOn(LONG nWatch) {
    LONG nGroup = nWatch / PARTS_PER_WAITER;
    if (nGroup >= MAX_WAITERS)
        return FALSE;
    if (!hWaiterWake[nGroup])
        hWaiterWake[nGroup] = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (!hWaiter[nGroup] && hWaiterWake[nGroup])
        hWaiter[nGroup] = CreateThread(NULL, 64 * 1024, WaitParts, (LPVOID)(INT_PTR)nGroup,
                                       STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
    if (!hWaiter[nGroup])
        return FALSE;
    EnterCriticalSection(&csWatch);
    pParts[nWatch].bArmed = TRUE;
    LeaveCriticalSection(&csWatch);
    bWakeDue[nGroup] = TRUE;
    return TRUE;
}

static void StopWaiting(LONG nWatch) {
    EnterCriticalSection(&csWatch);
    BOOL bWas = pParts[nWatch].bArmed;
    pParts[nWatch].bArmed = FALSE;
    LeaveCriticalSection(&csWatch);
    if (bWas)
        bWakeDue[nWatch / PARTS_PER_WAITER] = TRUE;
}

// A handle of its own to the hive: a wait belongs to the handle it was armed
// on, and the predefined handle, or one opened from it by an empty name,
// may be one handle shared by every wait.
static LONG OpenKeyOf(const char *lpszPath, REGSAM sam, HKEY *phKey) {
    if (*lpszPath)
        return RegOpenKeyExA(HKEY_LOCAL_MACHINE, lpszPath, 0, sam, phKey);
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
    if (!pfnOpen || pfnOpen((PHANDLE)phKey, sam & ~KEY_WOW64_64KEY, &attr) < 0)
        return ERROR_CANTOPEN;
    return ERROR_SUCCESS;
}

static void ArmWhole(void) {
    if (hWholeKey)
        return;
    ResetEvent(hChanged);
    if (OpenKeyOf("", KEY_READ, &hWholeKey) != ERROR_SUCCESS)
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
}

// Arms a part's wait on its key; FALSE when the key cannot take one.
static BOOL ArmPart(LONG nWatch) {
    Part *p = &pParts[nWatch];
    ResetEvent(p->hEvent);
    return RegNotifyChangeKeyValue(p->hKey, p->bSubtree, REG_NOTIFY_CHANGE_NAME, p->hEvent, TRUE) ==
               ERROR_SUCCESS &&
           WaitOn(nWatch);
}

static void ClosePart(LONG nWatch, BOOL bForget) {
    if (nWatch < 0 || nWatch >= nPartsMax)
        return;
    Part *p = &pParts[nWatch];
    StopWaiting(nWatch);
    if (p->hKey)
        RegCloseKey(p->hKey);
    p->hKey = NULL;
    if (bForget) {
        if (p->hEvent)
            CloseHandle(p->hEvent);
        HeapFree(GetProcessHeap(), 0, p->lpszPath);
        EnterCriticalSection(&csWatch);
        ZeroMemory(p, sizeof(*p));
        LeaveCriticalSection(&csWatch);
    }
}

// Opens the part's key by its path and arms it; the reading it needs, if any.
static void OpenPart(LONG nWatch) {
    Part *p = &pParts[nWatch];
    LONG lResult = OpenKeyOf(p->lpszPath, samView, &p->hKey);
    if (lResult != ERROR_SUCCESS) {
        p->hKey = NULL;
        // A key that cannot be read shows nothing below it; one that is gone
        // is taken out by the reading of the key above.
        if (lResult != ERROR_ACCESS_DENIED) {
            EnterCriticalSection(&csWatch);
            ReadAgain(lResult == ERROR_FILE_NOT_FOUND ? p->nParent : -1);
            LeaveCriticalSection(&csWatch);
        }
    } else if (!ArmPart(nWatch)) {
        EnterCriticalSection(&csWatch);
        bUnlocated = TRUE;
        LeaveCriticalSection(&csWatch);
    }
}

static BOOL AddPart(const Request *pReq) {
    if (pReq->nWatch >= nPartsMax) {
        LONG nNew = nPartsMax ? nPartsMax : 256;
        while (nNew <= pReq->nWatch)
            nNew *= 2;
        EnterCriticalSection(&csWatch); // WatcherIdle reads them
        void *pNew =
            pParts ? HeapReAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, pParts, nNew * sizeof(Part))
                   : HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, nNew * sizeof(Part));
        if (pNew) {
            pParts = (Part *)pNew;
            nPartsMax = nNew;
        }
        LeaveCriticalSection(&csWatch);
        if (!pNew)
            return FALSE;
    }
    ClosePart(pReq->nWatch, TRUE);
    Part *p = &pParts[pReq->nWatch];
    size_t cbPath = strlen(pReq->szPath) + 1;
    p->lpszPath = (char *)HeapAlloc(GetProcessHeap(), 0, cbPath);
    p->hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!p->lpszPath || !p->hEvent)
        return FALSE;
    memcpy(p->lpszPath, pReq->szPath, cbPath);
    p->nParent = pReq->nParent;
    p->bSubtree = pReq->bSubtree;
    OpenPart(pReq->nWatch);
    return TRUE;
}

// A key is not told of its own deletion, and a key made again under the
// same name is another key: when a key watched for its subkeys changes,
// each part under it whose key is gone is opened again by its path.
static void ReopenGoneBelow(LONG nWatch) {
    for (LONG i = 0; i < nPartsMax; i++) {
        Part *p = &pParts[i];
        if (!p->lpszPath || p->nParent != nWatch || i == nWatch)
            continue;
        if (p->hKey && RegQueryInfoKeyA(p->hKey, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
                                        NULL, NULL, NULL) != ERROR_KEY_DELETED)
            continue;
        ClosePart(i, FALSE);
        OpenPart(i);
        EnterCriticalSection(&csWatch);
        ReadAgain(i);
        LeaveCriticalSection(&csWatch);
        if (!pParts[i].bSubtree)
            ReopenGoneBelow(i);
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
        if (bStopped) {
            HeapFree(GetProcessHeap(), 0, pReq);
            pReq = pNext;
            continue;
        }
        switch (pReq->nKind) {
        case REQ_WHOLE:
            bWholeWanted = TRUE;
            ArmWhole(); // before the parts go, so no change falls between
            // Closing thousands of parts takes a while too.
            for (LONG i = 0; i < nPartsMax && !bStopped; i++) {
                ClosePart(i, TRUE);
                if (i % 64 == 63)
                    bStopped = WaitForSingleObject(hStop, 0) == WAIT_OBJECT_0;
            }
            break;
        case REQ_PART:
            if (!AddPart(pReq)) {
                EnterCriticalSection(&csWatch);
                bUnlocated = TRUE;
                LeaveCriticalSection(&csWatch);
            } else if (pReq->bReadNow) {
                EnterCriticalSection(&csWatch);
                ReadAgain(pReq->nWatch);
                LeaveCriticalSection(&csWatch);
            }
            break;
        case REQ_UNWATCH: ClosePart(pReq->nWatch, TRUE); break;
        case REQ_PLAN_DONE:
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
        HeapFree(GetProcessHeap(), 0, pReq);
        pReq = pNext;
    }
}

// Each part whose wait ended is armed again first, then read again.
static void TakeFired(void) {
    EnterCriticalSection(&csWatch);
    LONG *pn = pnFired;
    DWORD n = nFired;
    pnFired = NULL;
    nFired = nFiredMax = 0;
    LeaveCriticalSection(&csWatch);
    for (DWORD i = 0; i < n; i++) {
        LONG nWatch = pn[i];
        if (nWatch < 0 || nWatch >= nPartsMax || !pParts[nWatch].hKey)
            continue;
        Part *p = &pParts[nWatch];
        if (!ArmPart(nWatch)) {
            // Opened again by its path: a key gone is read out by the key
            // above, and one that still takes no wait refills the whole tree.
            ClosePart(nWatch, FALSE);
            OpenPart(nWatch);
        }
        EnterCriticalSection(&csWatch);
        ReadAgain(nWatch);
        LeaveCriticalSection(&csWatch);
        if (!p->bSubtree)
            ReopenGoneBelow(nWatch);
    }
    if (pn)
        HeapFree(GetProcessHeap(), 0, pn);
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
        TakeRequests();
        WakeWaiters();
        TellIfAny();
        if (bWholeWanted)
            ArmWhole();
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
        WakeWaiters();
        TellIfAny();
    }
    // The parts' keys and events go with the process: closing thousands
    // would hold the quit.
    CloseWhole();
    InterlockedExchange(&nWatchState, WATCH_ENDED);
    return 0;
}

static void Ask(int nKind, LONG nWatch, const char *lpszPath, BOOL bSubtree, LONG nParent,
                BOOL bReadNow) {
    if (!hNotify || nWatchState == WATCH_ENDED)
        return;
    size_t cbPath = lpszPath ? strlen(lpszPath) + 1 : 1;
    Request *pReq =
        (Request *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Request) + cbPath);
    EnterCriticalSection(&csWatch);
    if (!pReq) {
        bUnlocated = TRUE; // the next change refills the whole tree
        LeaveCriticalSection(&csWatch);
        return;
    }
    pReq->nKind = nKind;
    pReq->nWatch = nWatch;
    pReq->nParent = nParent;
    pReq->bSubtree = bSubtree;
    pReq->bReadNow = bReadNow;
    if (lpszPath)
        memcpy(pReq->szPath, lpszPath, cbPath);
    BOOL bFirst = !pFirstRequest; // one wake takes the whole list
    (pLastRequest ? pLastRequest->pNext : pFirstRequest) = pReq;
    pLastRequest = pReq;
    LeaveCriticalSection(&csWatch);
    if (bFirst)
        SetEvent(hRequest);
}

void WatchWhole(void) {
    Ask(REQ_WHOLE, -1, NULL, TRUE, -1, FALSE);
}

void WatchPart(LONG nWatch, const char *lpszPath, BOOL bSubtree, LONG nParent, BOOL bReadNow) {
    Ask(REQ_PART, nWatch, lpszPath, bSubtree, nParent, bReadNow);
}

void UnwatchPart(LONG nWatch) {
    Ask(REQ_UNWATCH, nWatch, NULL, FALSE, -1, FALSE);
}

void WatchPlanDone(void) {
    Ask(REQ_PLAN_DONE, -1, NULL, FALSE, -1, FALSE);
}

LONG *TakeNotices(DWORD *pnCount, BOOL *pbUnlocated) {
    if (!bLockMade) {
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

// Suspended until the first Registry command. Without its events there is
// no watcher at all: one that could not be stopped must not run.
void CreateWatcher(void) {
    nWatchState = WATCH_SUSPENDED;
    nNoticesQueued = 0;
    hNotify = NULL;
    if (!bLockMade) {
        InitializeCriticalSection(&csWatch);
        bLockMade = TRUE;
    }
    for (LONG i = 0; i < nPartsMax; i++) // of an earlier window's watcher
        ClosePart(i, TRUE);
    while (Request *pReq = pFirstRequest) { // asked of it after it ended
        pFirstRequest = pReq->pNext;
        HeapFree(GetProcessHeap(), 0, pReq);
    }
    pLastRequest = NULL;
    for (HANDLE &h : hWaiter) // ended with its stop
        if (h) {
            WaitForSingleObject(h, 1000);
            CloseHandle(h);
            h = NULL;
        }
    bWholeWanted = TRUE;
    bUnlocated = FALSE;
    nReady = nFired = 0;
    HANDLE *phEvents[] = {&hChanged, &hStop, &hFirstWait, &hRequest, &hFired};
    for (HANDLE *ph : phEvents)
        if (!*ph)
            *ph = CreateEventA(NULL, ph == &hChanged || ph == &hStop || ph == &hFirstWait, FALSE,
                               NULL);
    for (HANDLE *ph : phEvents)
        if (!*ph)
            return;
    ResetEvent(hStop);
    BOOL bWow64 = FALSE;
    samView = IsWow64Process(GetCurrentProcess(), &bWow64) && bWow64 ? KEY_READ | KEY_WOW64_64KEY
                                                                     : KEY_READ;
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

// Nothing asked, nothing fired and nothing to tell; every wait unsignalled.
BOOL WatcherIdle(void) {
    if (nWatchState != WATCH_WAITING || nNoticesQueued != 0 || !bLockMade)
        return FALSE;
    EnterCriticalSection(&csWatch);
    BOOL bIdle = !pFirstRequest && nFired == 0 && nReady == 0 && !bUnlocated;
    if (bIdle && hWholeKey && WaitForSingleObject(hChanged, 0) == WAIT_OBJECT_0)
        bIdle = FALSE;
    for (LONG i = 0; bIdle && i < nPartsMax; i++)
        if (pParts[i].hKey && pParts[i].hEvent &&
            WaitForSingleObject(pParts[i].hEvent, 0) == WAIT_OBJECT_0)
            bIdle = FALSE;
    LeaveCriticalSection(&csWatch);
    return bIdle && nWatchState == WATCH_WAITING;
}
