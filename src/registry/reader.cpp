// The reader's thread: depth first, each key's values in order, then its
// subkeys last first, as the tree takes each first under its parent. A slot
// of the ring is the reader's from the free semaphore until it is full.
#include "registry/reader.h"

#include "registry/records.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

static const LONG RING_SLOTS = 8;
static Batch ring[RING_SLOTS];
static Batch *pOpen;     // the batch the reader is writing
static LONG nPut, nTake; // slots written (reader) and taken (window), modulo RING_SLOTS
static HANDLE hReader, hCancel, hFree, hFull;
// Set by the window's thread in StopReader, read by the reader before every
// name (a wait on the event is a trip to Wine's server); the event wakes a
// reader waiting for a slot.
static volatile LONG bCancel;
volatile LONG bSliceQueued = 0;
// The reader's own; the names are not needed across the recursion.
static ReadOrder *pOrder;
static ULONGLONG nStampBefore;
static WCHAR szRead[MAX_NAME_UNITS + 1];
static BYTE abName[MAX_NAME_BYTES];

// Waits for a free slot; FALSE once the read is cancelled.
static BOOL OpenBatch(void) {
    HANDLE hWait[2] = {hCancel, hFree};
    if (WaitForMultipleObjects(2, hWait, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
        return FALSE;
    pOpen = &ring[nPut++ % RING_SLOTS];
    *pOpen = {pOrder->nGeneration, FALSE, READ_DONE, 0, {}};
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
static BOOL Emit(int nKind, unsigned nLevel, const BYTE *pName, ULONGLONG nStamp = 0) {
    Record r = {nKind, nLevel, nStamp, pName};
    for (int nTry = 0; nTry < 2 && !bCancel; nTry++) {
        if (!pOpen && !OpenBatch())
            return FALSE;
        size_t cb = PackRecord(pOpen->data + pOpen->cbUsed, sizeof(pOpen->data) - pOpen->cbUsed, r);
        if (cb) {
            pOpen->cbUsed += (DWORD)cb;
            return TRUE;
        }
        PublishBatch(FALSE, READ_DONE);
    }
    return !bCancel;
}

// The subkey's or value's name at dwIndex into abName. One that claims more
// than the registry's longest is asked for again, a few times.
static LONG ReadName(HKEY hKey, BOOL bKey, DWORD dwIndex, FILETIME *pft) {
    LONG lResult = ERROR_MORE_DATA;
    for (int nTry = 0; nTry < 3 && lResult == ERROR_MORE_DATA; nTry++) {
        DWORD cch = ARRAYSIZE(szRead);
        lResult = bKey ? RegEnumKeyExW(hKey, dwIndex, szRead, &cch, NULL, NULL, NULL, pft)
                       : RegEnumValueW(hKey, dwIndex, szRead, &cch, NULL, NULL, NULL, NULL);
        if (lResult == ERROR_SUCCESS && (bKey ? !cch || cch > 255 : cch > MAX_NAME_UNITS))
            lResult = ERROR_INVALID_DATA; // an empty key name would open this key itself
        if (lResult == ERROR_SUCCESS)
            EncodeName(abName, sizeof(abName), (const char16_t *)szRead, cch);
    }
    return lResult;
}

// The known subkey of nKnown by this name, or NULL.
static const KnownKey *FindKnown(long nKnown, const BYTE *pName) {
    const KnownKey *pKey = nKnown >= 0 ? &pOrder->pKnown[nKnown] : NULL;
    for (size_t nLow = pKey ? pKey->nFirst : 0, nHigh = pKey ? nLow + pKey->nSubs : 0;
         nLow < nHigh;) {
        size_t nMid = (nLow + nHigh) / 2;
        int n = CompareNames(pOrder->pNames + pOrder->pKnown[nMid].nName, pName);
        if (n == 0)
            return &pOrder->pKnown[nMid];
        if (n < 0)
            nLow = nMid + 1;
        else
            nHigh = nMid;
    }
    return NULL;
}

// hKey's values, then its subkeys, at nLevel below the key read and
// nPathLevel below the hive. A turn that fails is skipped, so nothing false
// is sent or opened; a key deleted under us ends the pass. A key that cannot
// be read, or whose subkeys links forbid, stays a folder with no children.
BOOL EnumerateRegistry(HKEY hKey, unsigned nLevel, unsigned nPathLevel, long nKnown,
                       const BYTE *pOpenedAs) {
    DWORD nSubs = 0, nValues = 0;
    BOOL bLinked = FALSE, bGoOn = TRUE;
    BYTE abLast[3 + 2 * 255] = {0}; // a key name is at most 255 units
    if (RegQueryInfoKeyW(hKey, NULL, NULL, NULL, &nSubs, NULL, NULL, &nValues, NULL, NULL, NULL,
                         NULL) != ERROR_SUCCESS)
        return TRUE;
    // Only a key with subkeys can be one of its own ancestors, or multiply.
    if (nSubs > 0 && KeyLoops(hKey, nPathLevel, pOpenedAs, &bLinked))
        return TRUE;
    if (bLinked && !Emit(RECORD_LINKED, nLevel, (const BYTE *)"")) // "": no name
        return FALSE;
    for (DWORD dwIndex = 0; bGoOn && dwIndex < nValues; dwIndex++) {
        LONG lResult = ReadName(hKey, FALSE, dwIndex, NULL);
        if (lResult == ERROR_KEY_DELETED)
            break;
        if (lResult == ERROR_SUCCESS)
            bGoOn = Emit(RECORD_VALUE, nLevel, abName); // empty for the default value
    }
    // A key deleted before the one just read moves the rest down one: the
    // same name comes again, and is skipped.
    for (DWORD dwIndex = nSubs; bGoOn && dwIndex-- > 0;) {
        FILETIME ft = {0, 0};
        LONG lResult = ReadName(hKey, TRUE, dwIndex, &ft);
        if (lResult == ERROR_KEY_DELETED)
            break;
        if (lResult != ERROR_SUCCESS || SameName(abName, abLast))
            continue;
        memcpy(abLast, abName, NameSize(abName)); // abName is the recursion's too
        ULONGLONG nStamp = (ULONGLONG)ft.dwHighDateTime << 32 | ft.dwLowDateTime;
        nStamp = nStamp < nStampBefore ? nStamp : 0; // too recent to tell a later write by
        const KnownKey *pSub = FindKnown(nKnown, abLast);
        if (pSub &&
            ((pSub->bFlags & KNOWN_OWN_WATCH) || ((pSub->bFlags & KNOWN_UNCHANGED_IF_SAME_STAMP) &&
                                                  nStamp == pSub->nStamp && nStamp))) {
            bGoOn = Emit(RECORD_KEPT, nLevel + 1, abLast);
            continue;
        }
        bGoOn = Emit(RECORD_KEY, nLevel + 1, abLast, nStamp);
        HKEY hSub;
        if (bGoOn && nPathLevel + 1 < MAX_TREE_DEPTH &&
            OpenSubkey(hKey, abLast, &hSub) == ERROR_SUCCESS) {
            bGoOn = EnumerateRegistry(hSub, nLevel + 1, nPathLevel + 1,
                                      pSub ? (long)(pSub - pOrder->pKnown) : -1, abLast);
            RegCloseKey(hSub);
        }
    }
    return bGoOn;
}

// The key read, by its path, under a whole walk's rules: one gone, or that a
// whole walk would not reach by this path, ends the read with nothing read.
static int ReadPart(HKEY hHive, BOOL *pbGoOn) {
    HKEY hKey = hHive, hNext;
    const BYTE *pName = pOrder->pPath;
    BOOL bLinked;
    int nEnd = READ_DONE;
    for (unsigned nLevel = 1; nLevel <= pOrder->nPathKeys && nEnd == READ_DONE;
         nLevel++, pName = NextName(pName)) {
        DWORD nSubs = 0;
        LONG lResult = nLevel < MAX_TREE_DEPTH ? OpenSubkey(hKey, pName, &hNext) : ERROR_CANTOPEN;
        if (lResult == ERROR_FILE_NOT_FOUND || lResult == ERROR_KEY_DELETED)
            nEnd = READ_GONE;
        else if (lResult != ERROR_SUCCESS)
            nEnd = READ_CANNOT_PLACE;
        else if (nLevel == pOrder->nPathKeys)
            *pbGoOn = EnumerateRegistry(hNext, 0, nLevel, 0, pName);
        else if (RegQueryInfoKeyW(hNext, NULL, NULL, NULL, &nSubs, NULL, NULL, NULL, NULL, NULL,
                                  NULL, NULL) == ERROR_SUCCESS &&
                 nSubs > 0 && KeyLoops(hNext, nLevel, pName, &bLinked))
            nEnd = READ_CANNOT_PLACE; // shown with nothing below it
        if (hKey != hHive)
            RegCloseKey(hKey);
        hKey = lResult == ERROR_SUCCESS ? hNext : hHive;
    }
    if (hKey != hHive)
        RegCloseKey(hKey);
    return nEnd;
}

static DWORD WINAPI ReaderThread(LPVOID) {
    // Two writes within a tick of the clock (15.6 ms at most) may share a stamp.
    FILETIME ftNow;
    GetSystemTimeAsFileTime(&ftNow);
    nStampBefore = ((ULONGLONG)ftNow.dwHighDateTime << 32 | ftNow.dwLowDateTime) - 200000;
    StartKeyPath();
    BOOL bGoOn = TRUE, bLinked;
    int nEnd = READ_CANNOT_PLACE;
    HKEY hHive; // a real handle: keys are opened under it by their counted names
    if (OpenHive(&hHive) == ERROR_SUCCESS) {
        KeyLoops(hHive, 0, NULL, &bLinked);
        nEnd = pOrder->nPathKeys ? ReadPart(hHive, &bGoOn) : READ_DONE;
        if (!pOrder->nPathKeys)
            bGoOn = EnumerateRegistry(hHive, 0, 0, pOrder->nKnown ? 0 : -1, NULL);
        RegCloseKey(hHive);
    }
    if (nEnd == READ_DONE && KeyPathCapped())
        nEnd = READ_CAPPED;
    if (bGoOn && (pOpen || OpenBatch()))
        PublishBatch(TRUE, nEnd);
    return 0;
}

void FreeReadOrder(ReadOrder *pOrder) {
    if (pOrder) {
        free(pOrder->pPath);
        free(pOrder->pKnown);
        free(pOrder->pNames);
    }
    free(pOrder);
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
        StopReader();
    return hReader != NULL;
}

void StopReader(void) {
    if (hReader) {
        InterlockedExchange(&bCancel, TRUE);
        SetEvent(hCancel);
        WaitForSingleObject(hReader, INFINITE);
    }
    for (HANDLE *ph : {&hReader, &hCancel, &hFree, &hFull}) {
        if (*ph)
            CloseHandle(*ph);
        *ph = NULL;
    }
    FreeReadOrder(pOrder);
    pOrder = NULL;
}

Batch *NextBatch(BOOL bWait, BOOL *pbEnded) {
    HANDLE hWait[2] = {hFull, hReader};
    DWORD dwWoken = !hReader ? WAIT_OBJECT_0 + 1
                    : bWait  ? MsgWaitForMultipleObjects(2, hWait, FALSE, INFINITE, QS_SENDMESSAGE)
                             : WaitForMultipleObjects(2, hWait, FALSE, 0);
    // Ended: a batch published just before the end is still there.
    if (dwWoken == WAIT_OBJECT_0 + 1 && hReader && WaitForSingleObject(hFull, 0) == WAIT_OBJECT_0)
        dwWoken = WAIT_OBJECT_0;
    *pbEnded = dwWoken == WAIT_OBJECT_0 + 1;
    return dwWoken == WAIT_OBJECT_0 ? &ring[nTake++ % RING_SLOTS] : NULL;
}

void ReleaseBatch(void) {
    ReleaseSemaphore(hFree, 1, NULL);
}
