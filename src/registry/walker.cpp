// The walker: reads every key and value name under HKEY_LOCAL_MACHINE on a
// thread of its own and hands them to the user-interface thread in a small
// ring of fixed batches, so what is in flight stays bounded however big the
// hive. It never touches the tree.
#include "corvane.h"
#include "registry/namebuf.h"

static const LONG RING_SLOTS = 8;
static TreeBatch ring[RING_SLOTS];
static TreeBatch *pOpen; // the batch the walker is writing
static LONG nPut, nTake; // slots written and taken, modulo RING_SLOTS
static LONG nWalkGeneration;
static HANDLE hWalker, hCancel, hFree, hFull;
// Read before every name; the event wakes a walker waiting for a slot.
// (A wait on the event, even a zero one, is a trip to Wine's server.)
static volatile LONG bCancel;
volatile LONG bSliceQueued = 0;

// Waits for a free slot; FALSE once the fill is cancelled.
static BOOL OpenBatch(void) {
    HANDLE hWait[2] = {hCancel, hFree};
    if (WaitForMultipleObjects(2, hWait, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
        return FALSE;
    pOpen = &ring[nPut++ % RING_SLOTS];
    pOpen->nGeneration = nWalkGeneration;
    pOpen->bLast = FALSE;
    pOpen->cbUsed = 0;
    return TRUE;
}

static void PublishBatch(BOOL bLast) {
    pOpen->bLast = bLast;
    pOpen = NULL;
    ReleaseSemaphore(hFull, 1, NULL);
    if (!InterlockedExchange(&bSliceQueued, 1))
        PostMessageA(hWndMain, WM_FILLSLICE, 0, 0);
}

// Adds one name; FALSE once the fill is cancelled.
static BOOL Emit(unsigned nDepth, int nKind, const char *lpszName) {
    if (bCancel)
        return FALSE;
    for (int nTry = 0; nTry < 2; nTry++) {
        if (!pOpen && !OpenBatch())
            return FALSE;
        size_t cb = PackRecord(pOpen->data + pOpen->cbUsed, sizeof(pOpen->data) - pOpen->cbUsed,
                               nDepth, nKind, lpszName);
        if (cb) {
            pOpen->cbUsed += (DWORD)cb;
            return TRUE;
        }
        PublishBatch(FALSE);
    }
    return TRUE; // a name longer than a batch cannot come from the registry
}

// Grows a name buffer after ERROR_MORE_DATA. False when it cannot grow.
static bool GrowBuffer(char **ppszBuf, DWORD *pdwSize) {
    DWORD dwNewSize = NextNameBufferSize(*pdwSize);
    if (dwNewSize == 0)
        return false;
    void *pNew = HeapReAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, *ppszBuf, dwNewSize);
    if (!pNew)
        return false;
    *ppszBuf = (char *)pNew;
    *pdwSize = dwNewSize;
    return true;
}

// Depth-first, pre-order: subkeys (each with its subtree), then value names,
// all at nDepth. A key whose sizes or buffers fail keeps what it has so far;
// a key that cannot be read at all stays a folder with no children.
BOOL EnumerateRegistry(HKEY hKey, unsigned nDepth) {
    DWORD dwMaxNameLen = 0, dwMaxValueNameLen = 0, dwNameLen, dwIndex;
    LONG lReturn;
    HKEY hNewKey;
    BOOL bGoOn = TRUE;
    char *lpszName = NULL, *lpszValueName = NULL;

    if (RegQueryInfoKeyA(hKey, NULL, NULL, NULL, NULL, &dwMaxNameLen, NULL, NULL,
                         &dwMaxValueNameLen, NULL, NULL, NULL) != ERROR_SUCCESS)
        return TRUE;
    // The lengths are characters; in UTF-8 one takes up to 3 bytes.
    dwMaxNameLen = dwMaxNameLen * 3 + 1;
    dwMaxValueNameLen = dwMaxValueNameLen * 3 + 1;
    lpszName = (char *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, dwMaxNameLen);
    lpszValueName = (char *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, dwMaxValueNameLen);
    if (!lpszName || !lpszValueName)
        goto done;

    // A name that grew since the size query retries the same index with a
    // bigger buffer; any other failure (a key deleted under us keeps
    // failing) ends the pass, so no turn ever emits or opens garbage.
    for (dwIndex = 0; bGoOn;) {
        dwNameLen = dwMaxNameLen;
        lReturn = RegEnumKeyExA(hKey, dwIndex, lpszName, &dwNameLen, NULL, NULL, NULL, NULL);
        if (lReturn == ERROR_MORE_DATA && GrowBuffer(&lpszName, &dwMaxNameLen))
            continue;
        if (lReturn != ERROR_SUCCESS || lpszName[0] == '\0')
            break;
        bGoOn = Emit(nDepth, RECORD_KEY, lpszName);
        if (bGoOn && RegOpenKeyExA(hKey, lpszName, 0, KEY_READ, &hNewKey) == ERROR_SUCCESS) {
            bGoOn = EnumerateRegistry(hNewKey, nDepth + 1);
            RegCloseKey(hNewKey);
        }
        dwIndex++;
    }

    for (dwIndex = 0; bGoOn;) {
        dwNameLen = dwMaxValueNameLen;
        lReturn = RegEnumValueA(hKey, dwIndex, lpszValueName, &dwNameLen, NULL, NULL, NULL, NULL);
        if (lReturn == ERROR_MORE_DATA && GrowBuffer(&lpszValueName, &dwMaxValueNameLen))
            continue;
        if (lReturn != ERROR_SUCCESS)
            break;
        bGoOn = Emit(nDepth, RECORD_VALUE, lpszValueName); // empty for the default value
        dwIndex++;
    }

done:
    if (lpszName)
        HeapFree(GetProcessHeap(), 0, lpszName);
    if (lpszValueName)
        HeapFree(GetProcessHeap(), 0, lpszValueName);
    return bGoOn;
}

static DWORD WINAPI WalkThread(LPVOID) {
    if (EnumerateRegistry(HKEY_LOCAL_MACHINE, 0) && (pOpen || OpenBatch()))
        PublishBatch(TRUE);
    return 0;
}

static void CloseAll(void) {
    HANDLE *phAll[] = {&hWalker, &hCancel, &hFree, &hFull};
    for (HANDLE *ph : phAll) {
        if (*ph)
            CloseHandle(*ph);
        *ph = NULL;
    }
}

BOOL StartWalker(LONG nGeneration) {
    StopWalker();
    nWalkGeneration = nGeneration;
    nPut = nTake = 0;
    pOpen = NULL;
    bCancel = FALSE;
    hCancel = CreateEventA(NULL, TRUE, FALSE, NULL);
    hFree = CreateSemaphoreA(NULL, RING_SLOTS, RING_SLOTS, NULL);
    hFull = CreateSemaphoreA(NULL, 0, RING_SLOTS, NULL);
    if (hCancel && hFree && hFull)
        hWalker = CreateThread(NULL, 0, WalkThread, NULL, 0, NULL);
    if (!hWalker)
        CloseAll();
    return hWalker != NULL;
}

void StopWalker(void) {
    if (!hWalker)
        return;
    InterlockedExchange(&bCancel, TRUE);
    SetEvent(hCancel);
    WaitForSingleObject(hWalker, INFINITE);
    CloseAll();
}

TreeBatch *NextBatch(DWORD dwWait, BOOL *pbEnded) {
    *pbEnded = FALSE;
    if (!hWalker) {
        *pbEnded = TRUE;
        return NULL;
    }
    HANDLE hWait[2] = {hFull, hWalker};
    switch (WaitForMultipleObjects(2, hWait, FALSE, dwWait)) {
    case WAIT_OBJECT_0: return &ring[nTake++ % RING_SLOTS];
    case WAIT_OBJECT_0 + 1:
        // Ended: a batch published just before the end is still there.
        if (WaitForSingleObject(hFull, 0) == WAIT_OBJECT_0)
            return &ring[nTake++ % RING_SLOTS];
        *pbEnded = TRUE;
        return NULL;
    default: return NULL;
    }
}

void ReleaseBatch(void) {
    ReleaseSemaphore(hFree, 1, NULL);
}
