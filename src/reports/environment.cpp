// Environment: every variable of the process with its value.
#include "corvane.h"
#include "reports/reporttext.h"

#include <cstring>

// Inserts every entry of the environment at the top of the table, so the
// table shows the block reversed. Adds nothing if no block can be had.
static void InsertEnvironmentRows(void) {
    LVITEMA item;
    int nRow = 0; // never advanced

    char *lpEnv = GetEnvironmentStringsA();
    if (!lpEnv)
        return;
    // Walk a private copy, never the live block.
    size_t cbEnv = MultiStringSize(lpEnv);
    char *lpCopy = (char *)HeapAlloc(GetProcessHeap(), 0, cbEnv);
    if (lpCopy)
        memcpy(lpCopy, lpEnv, cbEnv);
    FreeEnvironmentStringsA(lpEnv);
    if (!lpCopy)
        return;

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
    HeapFree(GetProcessHeap(), 0, lpCopy);
}

void FillEnvironmentList(void) {
    // Each insert at the top would repaint the whole table; paint once at the end.
    SendMessageA(hList3, WM_SETREDRAW, FALSE, 0);
    SendMessageA(hList3, LVM_DELETEALLITEMS, 0, 0);
    InsertEnvironmentRows();
    SendMessageA(hList3, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(hList3, NULL, TRUE);
}
