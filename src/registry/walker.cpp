// The walker: reads every key and value name under HKEY_LOCAL_MACHINE on a
// thread of its own and hands them to the user-interface thread in a small
// ring of fixed batches, so what is in flight stays bounded however big the
// hive. It never touches the tree.
#include "registry/namebuf.h"
#include "registry/registry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
volatile LONG nWalkEnd = WALK_DONE;
volatile LONG bWalkCapped = FALSE;
// A part read again: its path, and for a key watched for its own subkeys,
// the names it had, sorted, so only new subkeys are read into.
static char *lpszPartPath;
static const char **ppKnown;
static DWORD nKnown;
static unsigned nPartDepth; // of the part's subkeys
// The key being read as the tree has it, or NULL. The window's thread
// leaves the tree's copy alone while a part is read.
static const KeyNode *pPartNode, *pReadModel;
// Two writes within one tick of the clock (15.6 ms at most) may share a
// time: a stamp is kept only once it is older than the walk by 20 ms.
static ULONGLONG nStampBefore;

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

// Keys are opened for reading, in the 64-bit view when this 32-bit program
// runs on 64-bit Windows: the 32-bit view shows Wow6432Node as Software and
// hides the 64-bit software keys.
static REGSAM samOpen = KEY_READ;
// The name the key being entered was opened by, for KeyLoops.
static const char *lpszOpenedAs;

static int CompareNames(const void *a, const void *b) {
    return strcmp(*(const char *const *)a, *(const char *const *)b);
}

static BOOL Known(const char *lpszName) {
    return bsearch(&lpszName, ppKnown, nKnown, sizeof(*ppKnown), CompareNames) != NULL;
}

// The tree's copy of subkey dwIndex, by its name: where the last one was
// found, or one place either side (a key made or deleted before it).
static const KeyNode *SubAt(const KeyNode *pKey, DWORD dwIndex, LONG *pnShift,
                            const char *lpszName) {
    const LONG nTry[3] = {*pnShift, *pnShift - 1, *pnShift + 1};
    for (LONG nShift : nTry) {
        LONG n = (LONG)dwIndex + nShift;
        if (n < 0 || n >= (LONG)pKey->nSubs)
            continue;
        const KeyNode *pSub = pKey->ppSubs[pKey->bTurned ? n : pKey->nSubs - 1 - n];
        if (strcmp(pSub->szName, lpszName) == 0) {
            *pnShift = nShift;
            return pSub;
        }
    }
    return NULL;
}

// A key that had no subkeys and is unwritten since has the same values
// and still no subkeys: a write to either, or a subkey made or deleted,
// gives it a new time.
static BOOL Unwritten(const KeyNode *pSub, ULONGLONG nStamp) {
    return pSub && pSub->nStamp && pSub->nStamp == nStamp && pSub->nSubs == 0 && pSub->hItem &&
           !pSub->bLinked;
}

// Depth-first, pre-order: subkeys (each with its subtree), then value names,
// all at nDepth, each pass last name first (the tree puts each name first
// under its parent). A turn that fails is skipped, so no garbage is ever
// emitted or opened, and a pass ends after the count it started with; a key
// deleted under us ends it at once. A key whose sizes or buffers fail keeps
// what it has so far; a key that cannot be read at all stays a folder with
// no children, and so does a key reached through a link that leads back to
// its own path, or through links more often than its share. Nothing deeper
// than the tree keeps is opened, whatever else fails.
BOOL EnumerateRegistry(HKEY hKey, unsigned nDepth) {
    DWORD dwSubKeys = 0, dwValues = 0, dwMaxNameLen = 0, dwMaxValueNameLen = 0, dwNameLen, dwIndex;
    LONG lReturn;
    HKEY hNewKey;
    BOOL bGoOn = TRUE;
    char *lpszName = NULL, *lpszValueName = NULL;

    if (RegQueryInfoKeyA(hKey, NULL, NULL, NULL, &dwSubKeys, &dwMaxNameLen, NULL, &dwValues,
                         &dwMaxValueNameLen, NULL, NULL, NULL) != ERROR_SUCCESS)
        return TRUE;
    // Only a key with subkeys can be one of its own ancestors, or multiply.
    if (dwSubKeys > 0 && KeyLoops(hKey, nDepth, lpszOpenedAs))
        return TRUE;
    if (dwSubKeys > 0 && bKeyLinked && !Emit(nDepth, RECORD_LINKED, ""))
        return FALSE;
    // The lengths are characters; in UTF-8 one takes up to 3 bytes.
    dwMaxNameLen = dwMaxNameLen * 3 + 1;
    dwMaxValueNameLen = dwMaxValueNameLen * 3 + 1;
    const KeyNode *pModel = pReadModel;
    LONG nShift = pModel ? (LONG)pModel->nSubs - (LONG)dwSubKeys : 0;
    lpszName = (char *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, dwMaxNameLen);
    lpszValueName = (char *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, dwMaxValueNameLen);
    if (!lpszName || !lpszValueName)
        goto done;

    // A name that grew since the size query is read again with a bigger buffer.
    for (dwIndex = dwSubKeys; bGoOn && dwIndex > 0;) {
        dwNameLen = dwMaxNameLen;
        FILETIME ftWritten = {0, 0};
        lReturn =
            RegEnumKeyExA(hKey, dwIndex - 1, lpszName, &dwNameLen, NULL, NULL, NULL, &ftWritten);
        if (lReturn == ERROR_MORE_DATA && GrowBuffer(&lpszName, &dwMaxNameLen))
            continue;
        dwIndex--;
        if (lReturn == ERROR_KEY_DELETED)
            break;
        // An empty name would open this key itself.
        if (lReturn != ERROR_SUCCESS || lpszName[0] == '\0')
            continue;
        if (ppKnown && nDepth == nPartDepth && Known(lpszName)) {
            bGoOn = Emit(nDepth, RECORD_KEPT, lpszName); // watched on its own
            continue;
        }
        ULONGLONG nStamp = (ULONGLONG)ftWritten.dwHighDateTime << 32 | ftWritten.dwLowDateTime;
        const KeyNode *pSub = pModel ? SubAt(pModel, dwIndex, &nShift, lpszName) : NULL;
        if (Unwritten(pSub, nStamp)) {
            bGoOn = Emit(nDepth, RECORD_KEPT, lpszName);
            continue;
        }
        bGoOn = Emit(nDepth, RECORD_KEY, lpszName);
        if (bGoOn && lpszPartPath && nStamp && nStamp < nStampBefore) {
            char szStamp[20];
            snprintf(szStamp, sizeof(szStamp), "%08lx%08lx", ftWritten.dwHighDateTime,
                     ftWritten.dwLowDateTime);
            bGoOn = Emit(nDepth, RECORD_STAMP, szStamp);
        }
        if (bGoOn && nDepth + 1 < MAX_TREE_DEPTH &&
            RegOpenKeyExA(hKey, lpszName, 0, samOpen, &hNewKey) == ERROR_SUCCESS) {
            lpszOpenedAs = lpszName;
            pReadModel = pSub;
            bGoOn = EnumerateRegistry(hNewKey, nDepth + 1);
            RegCloseKey(hNewKey);
        }
    }

    for (dwIndex = dwValues; bGoOn && dwIndex > 0;) {
        dwNameLen = dwMaxValueNameLen;
        lReturn =
            RegEnumValueA(hKey, dwIndex - 1, lpszValueName, &dwNameLen, NULL, NULL, NULL, NULL);
        if (lReturn == ERROR_MORE_DATA && GrowBuffer(&lpszValueName, &dwMaxValueNameLen))
            continue;
        dwIndex--;
        if (lReturn == ERROR_KEY_DELETED)
            break;
        if (lReturn != ERROR_SUCCESS)
            continue;
        bGoOn = Emit(nDepth, RECORD_VALUE, lpszValueName); // empty for the default value
    }

done:
    if (lpszName)
        HeapFree(GetProcessHeap(), 0, lpszName);
    if (lpszValueName)
        HeapFree(GetProcessHeap(), 0, lpszValueName);
    return bGoOn;
}

// Opens the part by its path, level by level, under the same rules as a
// whole walk, and reads it. A part that is gone, or that a whole walk would
// not reach by this path, ends the walk with nothing read.
static BOOL WalkPart(void) {
    HKEY hKey = HKEY_LOCAL_MACHINE;
    KeyLoops(hKey, 0, NULL);
    unsigned nLevel = 0;
    BOOL bGoOn = TRUE;
    for (char *p = lpszPartPath; *p && bGoOn;) {
        char *pEnd = strchr(p, '\\');
        if (pEnd)
            *pEnd = '\0';
        HKEY hNext;
        LONG lResult = nLevel + 1 < MAX_TREE_DEPTH ? RegOpenKeyExA(hKey, p, 0, samOpen, &hNext)
                                                   : ERROR_CANTOPEN;
        if (lResult != ERROR_SUCCESS) {
            nWalkEnd = lResult == ERROR_FILE_NOT_FOUND || lResult == ERROR_KEY_DELETED
                           ? WALK_GONE
                           : WALK_CANNOT_PLACE;
            bGoOn = FALSE;
        } else {
            nLevel++;
            BOOL bLast = !pEnd;
            DWORD dwSubKeys = 0;
            RegQueryInfoKeyA(hNext, NULL, NULL, NULL, &dwSubKeys, NULL, NULL, NULL, NULL, NULL,
                             NULL, NULL);
            if (!bLast && dwSubKeys > 0 && KeyLoops(hNext, nLevel, p)) {
                nWalkEnd = WALK_CANNOT_PLACE; // shown with nothing below it
                bGoOn = FALSE;
            } else if (bLast) {
                lpszOpenedAs = p;
                nPartDepth = nLevel;
                if (!EnumerateRegistry(hNext, nLevel))
                    return FALSE;
            }
        }
        if (hKey != HKEY_LOCAL_MACHINE)
            RegCloseKey(hKey);
        hKey = bGoOn ? hNext : HKEY_LOCAL_MACHINE;
        p = pEnd ? pEnd + 1 : p + strlen(p);
    }
    if (!*lpszPartPath && bGoOn) { // the hive itself
        nPartDepth = 0;
        bGoOn = EnumerateRegistry(HKEY_LOCAL_MACHINE, 0);
    }
    if (hKey != HKEY_LOCAL_MACHINE)
        RegCloseKey(hKey);
    if (bWalkCapped)
        nWalkEnd = WALK_CANNOT_PLACE;
    return TRUE;
}

static DWORD WINAPI WalkThread(LPVOID) {
    BOOL bWow64 = FALSE;
    samOpen = IsWow64Process(GetCurrentProcess(), &bWow64) && bWow64 ? KEY_READ | KEY_WOW64_64KEY
                                                                     : KEY_READ;
    StartKeyPath();
    lpszOpenedAs = NULL;
    nWalkEnd = WALK_DONE;
    pReadModel = pPartNode;
    FILETIME ftNow;
    GetSystemTimeAsFileTime(&ftNow);
    nStampBefore = ((ULONGLONG)ftNow.dwHighDateTime << 32 | ftNow.dwLowDateTime) - 200000;
    BOOL bGoOn = lpszPartPath ? WalkPart() : EnumerateRegistry(HKEY_LOCAL_MACHINE, 0);
    if (bGoOn && (pOpen || OpenBatch()))
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

static BOOL StartThread(LONG nGeneration);

static void FreePart(void) {
    if (lpszPartPath)
        HeapFree(GetProcessHeap(), 0, lpszPartPath);
    if (ppKnown)
        HeapFree(GetProcessHeap(), 0, ppKnown);
    lpszPartPath = NULL;
    ppKnown = NULL;
    nKnown = 0;
    pPartNode = NULL;
}

BOOL StartPartWalker(LONG nGeneration, const char *lpszPath, const KeyNode *pKnown) {
    StopWalker();
    BOOL bShallow = pKnown->bShallow;
    size_t cbPath = strlen(lpszPath) + 1;
    lpszPartPath = (char *)HeapAlloc(GetProcessHeap(), 0, cbPath);
    if (bShallow && pKnown->nSubs)
        ppKnown = (const char **)HeapAlloc(GetProcessHeap(), 0, pKnown->nSubs * sizeof(char *));
    if (!lpszPartPath || (bShallow && pKnown->nSubs && !ppKnown)) {
        FreePart();
        return FALSE;
    }
    memcpy(lpszPartPath, lpszPath, cbPath);
    pPartNode = pKnown;
    if (bShallow) {
        for (DWORD i = 0; i < pKnown->nSubs; i++)
            if (pKnown->ppSubs[i]->hItem)
                ppKnown[nKnown++] = pKnown->ppSubs[i]->szName;
        qsort(ppKnown, nKnown, sizeof(*ppKnown), CompareNames);
    }
    return StartThread(nGeneration);
}

BOOL StartWalker(LONG nGeneration) {
    StopWalker();
    return StartThread(nGeneration);
}

static BOOL StartThread(LONG nGeneration) {
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
    if (!hWalker) {
        FreePart();
        return;
    }
    InterlockedExchange(&bCancel, TRUE);
    SetEvent(hCancel);
    WaitForSingleObject(hWalker, INFINITE);
    CloseAll();
    FreePart();
}

TreeBatch *NextBatch(BOOL bWait, BOOL *pbEnded) {
    *pbEnded = FALSE;
    if (!hWalker) {
        *pbEnded = TRUE;
        return NULL;
    }
    HANDLE hWait[2] = {hFull, hWalker};
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
