// Registry tree: every key and value name of HKEY_LOCAL_MACHINE, rebuilt
// from scratch on each fill. Fills run only on the user-interface thread
// (commands, and WM_REFILLTREE from the watcher), so they never overlap.
#include "corvane.h"
#include "registry/namebuf.h"

#include <cstring>

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

// Value names wait here until every key is in the tree. Wine's tree view
// finds a parent by scanning its items from the oldest, so a parent costs
// as many steps as items were inserted before it; with the values (three
// quarters of a big hive) inserted last, their keys sit far nearer the
// front than in walk order. Records: parent item, then the name and its
// terminator. Appended to the end of each key, they land exactly where the
// walk order would have put them.
static BYTE *pPending;
static SIZE_T cbPending, cbPendingMax;

static void InsertValue(HTREEITEM hParent, char *lpszValueName) {
    TVINSERTSTRUCTA tviValue = {};
    tviValue.hParent = hParent;
    tviValue.hInsertAfter = TVI_LAST;
    tviValue.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    tviValue.item.pszText = lpszValueName;
    tviValue.item.iImage = 2;
    tviValue.item.iSelectedImage = 2;
    SendMessageA(hTree, TVM_INSERTITEMA, 0, (LPARAM)&tviValue);
}

// Inserts the waiting values in walk order and empties the list.
static void FlushPendingValues(void) {
    SIZE_T cbAt = 0;
    while (cbAt < cbPending) {
        HTREEITEM hParent;
        memcpy(&hParent, pPending + cbAt, sizeof(hParent));
        char *lpszValueName = (char *)pPending + cbAt + sizeof(hParent);
        InsertValue(hParent, lpszValueName);
        cbAt += sizeof(hParent) + strlen(lpszValueName) + 1;
    }
    cbPending = 0;
}

// Queues one value; when the list cannot grow, what waits goes in first
// and this one directly, which keeps each key's values in order.
static void AddValue(HTREEITEM hParent, char *lpszValueName) {
    SIZE_T cbRecord = sizeof(hParent) + strlen(lpszValueName) + 1;
    if (cbPendingMax - cbPending < cbRecord) {
        SIZE_T cbNew = cbPendingMax ? cbPendingMax * 2 : 1 << 20;
        while (cbNew - cbPending < cbRecord)
            cbNew *= 2;
        void *pNew = pPending ? HeapReAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, pPending, cbNew)
                              : HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cbNew);
        if (!pNew) {
            FlushPendingValues();
            InsertValue(hParent, lpszValueName);
            return;
        }
        pPending = (BYTE *)pNew;
        cbPendingMax = cbNew;
    }
    memcpy(pPending + cbPending, &hParent, sizeof(hParent));
    memcpy(pPending + cbPending + sizeof(hParent), lpszValueName, cbRecord - sizeof(hParent));
    cbPending += cbRecord;
}

void FillTreeView(void) {
    // Redraw off first: emptying a big tree with it on repaints for nothing.
    SendMessageA(hTree, WM_SETREDRAW, FALSE, 0);
    SendMessageA(hTree, TVM_DELETEITEM, 0, (LPARAM)TVI_ROOT);
    SetCursor(LoadCursorA(NULL, (LPCSTR)IDC_WAIT));
    EnumerateRegistry(HKEY_LOCAL_MACHINE, TVI_ROOT);
    SendMessageA(hTree, WM_SETREDRAW, TRUE, 0);
    UpdateWindow(hTree);
    SetCursor(LoadCursorA(NULL, (LPCSTR)IDC_ARROW));
}

// Depth-first, pre-order: subkeys (each with its subtree), then value names.
// A key whose sizes, buffers or enumeration fail keeps what it has so far;
// a key that cannot be read at all stays a folder with no children.
void EnumerateRegistry(HKEY hKey, HTREEITEM hParent) {
    // Shared by every level: safe because fills never overlap and each
    // field is set again before it is relied on.
    static TVINSERTSTRUCTA tvi;
    static DWORD dwNameLen;
    static int nLevel; // the outermost call inserts the waiting values
    DWORD dwMaxNameLen = 0, dwMaxValueNameLen = 0;
    DWORD dwIndex;
    LONG lReturn;
    HKEY hNewKey;
    HTREEITEM hNewItem;

    char *lpszName = NULL, *lpszValueName = NULL;

    nLevel++;
    if (RegQueryInfoKeyA(hKey, NULL, NULL, NULL, NULL, &dwMaxNameLen, NULL, NULL,
                         &dwMaxValueNameLen, NULL, NULL, NULL) != ERROR_SUCCESS)
        goto done;
    dwMaxNameLen++;
    dwMaxValueNameLen++;
    lpszName = (char *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, dwMaxNameLen);
    lpszValueName = (char *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, dwMaxValueNameLen);
    if (!lpszName || !lpszValueName)
        goto done;

    tvi.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    tvi.hInsertAfter = TVI_LAST;

    // A name that grew since the size query retries the same index with a
    // bigger buffer; any other failure (a key deleted under us keeps
    // failing) ends the pass, so no turn ever inserts or opens garbage.
    for (dwIndex = 0;;) {
        dwNameLen = dwMaxNameLen;
        lReturn = RegEnumKeyExA(hKey, dwIndex, lpszName, &dwNameLen, NULL, NULL, NULL, NULL);
        if (lReturn == ERROR_MORE_DATA && GrowBuffer(&lpszName, &dwMaxNameLen))
            continue;
        if (lReturn != ERROR_SUCCESS || lpszName[0] == '\0')
            break;
        tvi.hParent = hParent;
        tvi.item.pszText = lpszName;
        tvi.item.iImage = 0;
        tvi.item.iSelectedImage = 1;
        hNewItem = (HTREEITEM)SendMessageA(hTree, TVM_INSERTITEMA, 0, (LPARAM)&tvi);
        // Without its folder the subtree has nowhere to go; left alone it
        // would land at the top level.
        if (hNewItem && RegOpenKeyExA(hKey, lpszName, 0, KEY_READ, &hNewKey) == ERROR_SUCCESS) {
            EnumerateRegistry(hNewKey, hNewItem);
            RegCloseKey(hNewKey);
        }
        dwIndex++;
    }

    for (dwIndex = 0;;) {
        dwNameLen = dwMaxValueNameLen;
        lReturn = RegEnumValueA(hKey, dwIndex, lpszValueName, &dwNameLen, NULL, NULL, NULL, NULL);
        if (lReturn == ERROR_MORE_DATA && GrowBuffer(&lpszValueName, &dwMaxValueNameLen))
            continue;
        if (lReturn != ERROR_SUCCESS)
            break;
        AddValue(hParent, lpszValueName); // empty for the unnamed default value
        dwIndex++;
    }

done:
    if (lpszName)
        HeapFree(GetProcessHeap(), 0, lpszName);
    if (lpszValueName)
        HeapFree(GetProcessHeap(), 0, lpszValueName);
    if (--nLevel == 0) {
        FlushPendingValues();
        if (pPending)
            HeapFree(GetProcessHeap(), 0, pPending);
        pPending = NULL;
        cbPendingMax = 0;
    }
}
