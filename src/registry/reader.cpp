// The reader's thread: a depth-first walk, each key's values in order and
// then its subkeys last first (the tree takes each key first under its
// parent, so they end up in the registry's order). The ring of batches
// is the only thing it shares with the window's thread: a slot is the
// reader's from the free semaphore until it is published to the full one.
#include "registry/reader.h"

#include "registry/records.h"

#include <cstdlib>
#include <cstring>

static const LONG RING_SLOTS = 8;
static Batch ring[RING_SLOTS];
static Batch *pOpen;     // the batch the reader is writing
static LONG nPut, nTake; // slots written (reader) and taken (window), modulo RING_SLOTS
static HANDLE hReader, hCancel, hFree, hFull;
// Read before every name; the event wakes a reader waiting for a slot.
// (A wait on the event, even a zero one, is a trip to Wine's server.)
static volatile LONG bCancel;
volatile LONG bSliceQueued = 0;

// The reader's own, from its start to its end.
static ReadOrder *pOrder;
static REGSAM samOpen;
static ULONGLONG nStampBefore;

// Waits for a free slot; FALSE once the read is cancelled.
static BOOL OpenBatch(void) {
    HANDLE hWait[2] = {hCancel, hFree};
    if (WaitForMultipleObjects(2, hWait, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
        return FALSE;
    pOpen = &ring[nPut++ % RING_SLOTS];
    pOpen->nGeneration = pOrder->nGeneration;
    pOpen->bLast = FALSE;
    pOpen->cbUsed = 0;
    return TRUE;
}

static void PublishBatch(BOOL bLast, int nEnd) {
    pOpen->bLast = (BYTE)bLast;
    pOpen->nEnd = (BYTE)nEnd;
    pOpen = NULL;
    ReleaseSemaphore(hFull, 1, NULL);
    if (!InterlockedExchange(&bSliceQueued, 1))
        PostMessageA(hWndMain, WM_FILLSLICE, 0, 0);
}

// Adds one record; FALSE once the read is cancelled.
static BOOL Emit(int nKind, unsigned nLevel, const char *lpszName, ULONGLONG nStamp = 0) {
    static BYTE abName[MAX_NAME_BYTES];
    if (bCancel)
        return FALSE;
    Record r = {nKind, nLevel, nStamp, abName};
    if (!EncodeName(abName, sizeof(abName), lpszName, strlen(lpszName)))
        return TRUE; // longer than any registry name
    for (int nTry = 0; nTry < 2; nTry++) {
        if (!pOpen && !OpenBatch())
            return FALSE;
        size_t cb = PackRecord(pOpen->data + pOpen->cbUsed, sizeof(pOpen->data) - pOpen->cbUsed, r);
        if (cb) {
            pOpen->cbUsed += (DWORD)cb;
            return TRUE;
        }
        PublishBatch(FALSE, READ_DONE);
    }
    return TRUE;
}

// Grows a name buffer after ERROR_MORE_DATA. False when it cannot grow.
static bool GrowBuffer(char **ppszBuf, DWORD *pdwSize) {
    DWORD dwNewSize = NextNameBufferSize(*pdwSize);
    void *pNew = dwNewSize ? realloc(*ppszBuf, dwNewSize) : NULL;
    if (!pNew)
        return false;
    *ppszBuf = (char *)pNew;
    *pdwSize = dwNewSize;
    return true;
}

struct KeyInfo {
    DWORD nSubs, nValues, cchMaxSub, cchMaxValue;
};

static BOOL QueryInfo(HKEY hKey, KeyInfo *pInfo) {
    ZeroMemory(pInfo, sizeof(*pInfo));
    return RegQueryInfoKeyA(hKey, NULL, NULL, NULL, &pInfo->nSubs, &pInfo->cchMaxSub, NULL,
                            &pInfo->nValues, &pInfo->cchMaxValue, NULL, NULL,
                            NULL) == ERROR_SUCCESS;
}

// The known subkey of nKnown by this name, or -1.
static long FindKnown(long nKnown, const char *lpszName) {
    BYTE abName[3 + 256 * 3];
    if (nKnown < 0 || !EncodeName(abName, sizeof(abName), lpszName, strlen(lpszName)))
        return -1;
    const KnownKey *pKey = &pOrder->pKnown[nKnown];
    size_t nLow = pKey->nFirst, nHigh = (size_t)pKey->nFirst + pKey->nSubs;
    while (nLow < nHigh) {
        size_t nMid = (nLow + nHigh) / 2;
        int n = CompareNames(pOrder->pNames + pOrder->pKnown[nMid].nName, abName);
        if (n == 0)
            return (long)nMid;
        if (n < 0)
            nLow = nMid + 1;
        else
            nHigh = nMid;
    }
    return -1;
}

// Depth-first, pre-order: the key's values in order, then its subkeys
// (each with its subtree) last first, at nLevel below the key read and
// nPathLevel below the hive. A turn that fails is skipped, so nothing false
// is ever sent or opened, and a pass ends after the count it started with;
// a key deleted under us ends it at once. A key whose sizes or buffers fail
// keeps what it has so far; a key that cannot be read at all stays a folder
// with no children, and so does a key reached through a link that leads
// back to its own path, or through links more often than its share. Known
// keys the reader may leave alone come back as kept. Nothing deeper than
// the tree keeps is opened, whatever else fails.
BOOL EnumerateRegistry(HKEY hKey, unsigned nLevel, unsigned nPathLevel, long nKnown,
                       const char *lpszOpenedAs) {
    KeyInfo info;
    BOOL bLinked = FALSE;
    if (!QueryInfo(hKey, &info))
        return TRUE;
    // Only a key with subkeys can be one of its own ancestors, or multiply.
    if (info.nSubs > 0 && KeyLoops(hKey, nPathLevel, lpszOpenedAs, &bLinked))
        return TRUE;
    if (bLinked && !Emit(RECORD_LINKED, nLevel, ""))
        return FALSE;
    // The lengths are characters; in UTF-8 one takes up to 3 bytes.
    DWORD cbName = info.cchMaxSub * 3 + 1, cbValue = info.cchMaxValue * 3 + 1, cb;
    char *lpszName = (char *)malloc(cbName), *lpszValue = (char *)malloc(cbValue);
    BOOL bGoOn = TRUE;
    // A name that grew since the size query is read again with a bigger buffer.
    for (DWORD dwIndex = 0; bGoOn && lpszName && lpszValue && dwIndex < info.nValues;) {
        cb = cbValue;
        LONG lResult = RegEnumValueA(hKey, dwIndex, lpszValue, &cb, NULL, NULL, NULL, NULL);
        if (lResult == ERROR_MORE_DATA && GrowBuffer(&lpszValue, &cbValue))
            continue;
        dwIndex++;
        if (lResult == ERROR_KEY_DELETED)
            break;
        if (lResult == ERROR_SUCCESS)
            bGoOn = Emit(RECORD_VALUE, nLevel, lpszValue); // empty for the default value
    }
    // A key deleted before the one just read moves the rest down one: the
    // same name comes again, and is skipped.
    char szLast[256 * 3 + 1] = "";
    for (DWORD dwIndex = lpszValue ? info.nSubs : 0; bGoOn && lpszName && dwIndex > 0;) {
        cb = cbName;
        FILETIME ft = {0, 0};
        LONG lResult = RegEnumKeyExA(hKey, dwIndex - 1, lpszName, &cb, NULL, NULL, NULL, &ft);
        if (lResult == ERROR_MORE_DATA && GrowBuffer(&lpszName, &cbName))
            continue;
        dwIndex--;
        if (lResult == ERROR_KEY_DELETED)
            break;
        // An empty name would open this key itself.
        if (lResult != ERROR_SUCCESS || lpszName[0] == '\0' || strcmp(lpszName, szLast) == 0)
            continue;
        lstrcpynA(szLast, lpszName, sizeof(szLast));
        ULONGLONG nStamp = (ULONGLONG)ft.dwHighDateTime << 32 | ft.dwLowDateTime;
        if (nStamp >= nStampBefore)
            nStamp = 0; // too recent to tell a later write by
        long nSub = FindKnown(nKnown, lpszName);
        const KnownKey *pSub = nSub >= 0 ? &pOrder->pKnown[nSub] : NULL;
        if (pSub &&
            ((pSub->bFlags & KNOWN_OWN_WATCH) || ((pSub->bFlags & KNOWN_UNCHANGED_IF_SAME_STAMP) &&
                                                  nStamp && nStamp == pSub->nStamp))) {
            bGoOn = Emit(RECORD_KEPT, nLevel + 1, lpszName);
            continue;
        }
        bGoOn = Emit(RECORD_KEY, nLevel + 1, lpszName, nStamp);
        HKEY hSub;
        if (bGoOn && nPathLevel + 1 < MAX_TREE_DEPTH &&
            RegOpenKeyExA(hKey, lpszName, 0, samOpen, &hSub) == ERROR_SUCCESS) {
            bGoOn = EnumerateRegistry(hSub, nLevel + 1, nPathLevel + 1, nSub, lpszName);
            RegCloseKey(hSub);
        }
    }
    free(lpszName);
    free(lpszValue);
    return bGoOn;
}

// Opens the key read by its path, level by level, under the same rules as
// a whole walk. A key that is gone, or that a whole walk would not reach by
// this path, ends the read with nothing read.
static int ReadPart(BOOL *pbGoOn) {
    HKEY hKey = HKEY_LOCAL_MACHINE;
    const BYTE *pName = pOrder->pPath;
    BOOL bLinked;
    int nEnd = READ_DONE;
    for (unsigned nLevel = 1; nLevel <= pOrder->nPathKeys && nEnd == READ_DONE;
         nLevel++, pName = NextName(pName)) {
        char szName[256 * 3 + 1]; // a key name is at most 255 characters
        size_t cch = NameLength(pName) < sizeof(szName) ? NameLength(pName) : 0;
        memcpy(szName, NameUnits(pName), cch);
        szName[cch] = '\0';
        HKEY hNext;
        KeyInfo info;
        LONG lResult = cch && nLevel < MAX_TREE_DEPTH
                           ? RegOpenKeyExA(hKey, szName, 0, samOpen, &hNext)
                           : ERROR_CANTOPEN;
        if (lResult == ERROR_FILE_NOT_FOUND || lResult == ERROR_KEY_DELETED)
            nEnd = READ_GONE;
        else if (lResult != ERROR_SUCCESS)
            nEnd = READ_CANNOT_PLACE;
        else if (nLevel == pOrder->nPathKeys)
            *pbGoOn = EnumerateRegistry(hNext, 0, nLevel, 0, szName);
        else if (QueryInfo(hNext, &info) && info.nSubs > 0 &&
                 KeyLoops(hNext, nLevel, szName, &bLinked))
            nEnd = READ_CANNOT_PLACE; // shown with nothing below it
        if (hKey != HKEY_LOCAL_MACHINE)
            RegCloseKey(hKey);
        hKey = lResult == ERROR_SUCCESS ? hNext : HKEY_LOCAL_MACHINE;
    }
    if (hKey != HKEY_LOCAL_MACHINE)
        RegCloseKey(hKey);
    return nEnd;
}

static DWORD WINAPI ReaderThread(LPVOID) {
    BOOL bWow64 = FALSE;
    // The 64-bit view when this 32-bit program runs on 64-bit Windows: the
    // 32-bit view shows Wow6432Node as Software and hides the 64-bit keys.
    samOpen = IsWow64Process(GetCurrentProcess(), &bWow64) && bWow64 ? KEY_READ | KEY_WOW64_64KEY
                                                                     : KEY_READ;
    // Two writes within one tick of the clock (15.6 ms at most) may share a
    // time: one is trusted only once older than the read by 20 ms.
    FILETIME ftNow;
    GetSystemTimeAsFileTime(&ftNow);
    nStampBefore = ((ULONGLONG)ftNow.dwHighDateTime << 32 | ftNow.dwLowDateTime) - 200000;
    StartKeyPath();
    BOOL bGoOn = TRUE, bLinked;
    int nEnd = READ_DONE;
    KeyLoops(HKEY_LOCAL_MACHINE, 0, NULL, &bLinked);
    if (pOrder->nPathKeys)
        nEnd = ReadPart(&bGoOn);
    else
        bGoOn = EnumerateRegistry(HKEY_LOCAL_MACHINE, 0, 0, pOrder->nKnown ? 0 : -1, NULL);
    if (nEnd == READ_DONE && KeyPathCapped())
        nEnd = READ_CAPPED;
    if (bGoOn && (pOpen || OpenBatch()))
        PublishBatch(TRUE, nEnd);
    return 0;
}

void FreeReadOrder(ReadOrder *pOrder) {
    if (!pOrder)
        return;
    free(pOrder->pPath);
    free(pOrder->pKnown);
    free(pOrder->pNames);
    free(pOrder);
}

static void CloseAll(void) {
    HANDLE *phAll[] = {&hReader, &hCancel, &hFree, &hFull};
    for (HANDLE *ph : phAll) {
        if (*ph)
            CloseHandle(*ph);
        *ph = NULL;
    }
    FreeReadOrder(pOrder);
    pOrder = NULL;
}

BOOL StartReader(ReadOrder *pNewOrder) {
    StopReader();
    pOrder = pNewOrder;
    nPut = nTake = 0;
    pOpen = NULL;
    bCancel = FALSE;
    hCancel = CreateEventA(NULL, TRUE, FALSE, NULL);
    hFree = CreateSemaphoreA(NULL, RING_SLOTS, RING_SLOTS, NULL);
    hFull = CreateSemaphoreA(NULL, 0, RING_SLOTS, NULL);
    if (pOrder && hCancel && hFree && hFull)
        hReader = CreateThread(NULL, 0, ReaderThread, NULL, 0, NULL);
    if (!hReader)
        CloseAll();
    return hReader != NULL;
}

void StopReader(void) {
    if (hReader) {
        InterlockedExchange(&bCancel, TRUE);
        SetEvent(hCancel);
        WaitForSingleObject(hReader, INFINITE);
    }
    CloseAll();
}

Batch *NextBatch(BOOL bWait, BOOL *pbEnded) {
    *pbEnded = FALSE;
    if (!hReader) {
        *pbEnded = TRUE;
        return NULL;
    }
    HANDLE hWait[2] = {hFull, hReader};
    DWORD dwWoken = bWait ? MsgWaitForMultipleObjects(2, hWait, FALSE, INFINITE, QS_SENDMESSAGE)
                          : WaitForMultipleObjects(2, hWait, FALSE, 0);
    switch (dwWoken) {
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
