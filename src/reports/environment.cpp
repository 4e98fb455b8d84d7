// Environment: every variable of the process with its value.
#include "corvane.h"
#include "reports/reporttext.h"

#include <cstring>

void FillEnvironmentList(void) {
    LVITEMA item;
    int nRow = 0; // every entry goes on top, so the table shows the block reversed

    SendMessageA(hList3, LVM_DELETEALLITEMS, 0, 0);
    char *lpEnv = GetEnvironmentStringsA();
    if (!lpEnv)
        return;
    // Walk a private copy: the live block is never read twice or written.
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
