// Environment: every variable of the process with its value.
#include "corvane.h"
#include "reports/reporttext.h"
#include "reports/widetext.h"

#include <cstring>
#include <new>

// Inserts every entry of a private copy of the environment at the top of the
// table, so the table shows the block reversed.
static void InsertEnvironmentRows(const char16_t *lpCopy, size_t cchEnv) {
    LVITEMW item;
    int nRow = 0; // never advanced

    ZeroMemory(&item, sizeof(item));
    item.mask = LVIF_TEXT;
    item.iItem = nRow;
    for (const std::u16string &entry : SplitMultiString(lpCopy, cchEnv)) {
        EnvEntry split = SplitEnvironmentEntry(entry);
        item.iSubItem = 0;
        item.pszText = AsWide(split.name.c_str());
        SendMessageW(hList3, LVM_INSERTITEMW, 0, (LPARAM)&item);
        item.iSubItem = 1;
        item.pszText = AsWide(split.value.c_str());
        SendMessageW(hList3, LVM_SETITEMW, 0, (LPARAM)&item);
    }
}

void FillEnvironmentList(void) {
    // Each insert at the top would repaint the whole table; paint once at the end.
    SendMessageW(hList3, WM_SETREDRAW, FALSE, 0);
    SendMessageW(hList3, LVM_DELETEALLITEMS, 0, 0);

    // Walk a private copy, never the live block. No block, no rows. Wide, as
    // the system holds it: the 8-bit block loses what the code page lacks.
    LPWCH lpEnv = GetEnvironmentStringsW();
    char16_t *lpCopy = NULL;
    size_t cchEnv = 0;
    if (lpEnv) {
        cchEnv = MultiStringLength(AsUtf16(lpEnv));
        lpCopy = (char16_t *)HeapAlloc(GetProcessHeap(), 0, cchEnv * sizeof(char16_t));
        if (lpCopy)
            memcpy(lpCopy, lpEnv, cchEnv * sizeof(char16_t));
        FreeEnvironmentStringsW(lpEnv);
    }
    if (lpCopy) {
        try {
            InsertEnvironmentRows(lpCopy, cchEnv);
        } catch (const std::bad_alloc &) {
            SendMessageW(hList3, LVM_DELETEALLITEMS, 0, 0); // no memory: an empty table
        }
        HeapFree(GetProcessHeap(), 0, lpCopy);
    }
    SendMessageW(hList3, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(hList3, NULL, TRUE);
}
