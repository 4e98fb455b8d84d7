// Registry tree: every key and value name of HKEY_LOCAL_MACHINE, rebuilt
// from scratch on each fill. Fills run only on the user-interface thread
// (commands, and WM_REFILLTREE from the watcher), so they never overlap.
#include "corvane.h"
#include "registry/namebuf.h"

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

void FillTreeView(void) {
    SendMessageA(hTree, TVM_DELETEITEM, 0, (LPARAM)TVI_ROOT);
    SendMessageA(hTree, WM_SETREDRAW, FALSE, 0);
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
    DWORD dwMaxNameLen = 0, dwMaxValueNameLen = 0;
    DWORD dwIndex;
    LONG lReturn;
    HKEY hNewKey;
    HTREEITEM hNewItem;

    if (RegQueryInfoKeyA(hKey, NULL, NULL, NULL, NULL, &dwMaxNameLen, NULL, NULL,
                         &dwMaxValueNameLen, NULL, NULL, NULL) != ERROR_SUCCESS)
        return;
    dwMaxNameLen++;
    dwMaxValueNameLen++;
    char *lpszName = (char *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, dwMaxNameLen);
    char *lpszValueName = (char *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, dwMaxValueNameLen);
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

    tvi.item.iImage = 2;
    tvi.item.iSelectedImage = 2;
    for (dwIndex = 0;;) {
        dwNameLen = dwMaxValueNameLen;
        lReturn = RegEnumValueA(hKey, dwIndex, lpszValueName, &dwNameLen, NULL, NULL, NULL, NULL);
        if (lReturn == ERROR_MORE_DATA && GrowBuffer(&lpszValueName, &dwMaxValueNameLen))
            continue;
        if (lReturn != ERROR_SUCCESS)
            break;
        tvi.hParent = hParent;
        tvi.item.pszText = lpszValueName; // empty for the unnamed default value
        SendMessageA(hTree, TVM_INSERTITEMA, 0, (LPARAM)&tvi);
        dwIndex++;
    }

done:
    if (lpszName)
        HeapFree(GetProcessHeap(), 0, lpszName);
    if (lpszValueName)
        HeapFree(GetProcessHeap(), 0, lpszValueName);
}
