// Environment: every variable of the process with its value.
#include "corvane.h"
#include "reports/reporttext.h"

#include <cstring>
#include <new>

// Inserts every entry of a private copy of the environment at the top of the
// table, so the table shows the block reversed.
static void InsertEnvironmentRows(const char *lpCopy, size_t cbEnv) {
    LVITEMA item;
    int nRow = 0; // never advanced

    ZeroMemory(&item, sizeof(item));
    item.mask = LVIF_TEXT;
    item.iItem = nRow;
    for (const std::string &entry : SplitMultiString(lpCopy, cbEnv)) {
        EnvEntry split = SplitEnvironmentEntry(entry);
        item.iSubItem = 0;
        item.pszText = (LPSTR)split.name.c_str();
        SendMessageA(hList3, LVM_INSERTITEMA, 0, (LPARAM)&item);
        item.iSubItem = 1;
        item.pszText = (LPSTR)split.value.c_str();
        SendMessageA(hList3, LVM_SETITEMA, 0, (LPARAM)&item);
    }
}

void FillEnvironmentList(void) {
    // Each insert at the top would repaint the whole table; paint once at the end.
    SendMessageA(hList3, WM_SETREDRAW, FALSE, 0);
    SendMessageA(hList3, LVM_DELETEALLITEMS, 0, 0);

    // Walk a private copy, never the live block. No block, no rows.
    char *lpEnv = GetEnvironmentStringsA();
    char *lpCopy = NULL;
    size_t cbEnv = 0;
    if (lpEnv) {
        cbEnv = MultiStringSize(lpEnv);
        lpCopy = (char *)HeapAlloc(GetProcessHeap(), 0, cbEnv);
        if (lpCopy)
            memcpy(lpCopy, lpEnv, cbEnv);
        FreeEnvironmentStringsA(lpEnv);
    }
    if (lpCopy) {
        try {
            InsertEnvironmentRows(lpCopy, cbEnv);
        } catch (const std::bad_alloc &) {
            SendMessageA(hList3, LVM_DELETEALLITEMS, 0, 0); // no memory: an empty table
        }
        HeapFree(GetProcessHeap(), 0, lpCopy);
    }
    SendMessageA(hList3, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(hList3, NULL, TRUE);
}
