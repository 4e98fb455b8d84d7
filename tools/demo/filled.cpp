// Opens the real main window with every view filled, for screenshots:
// drive table, environment table, system lines and the registry tree with
// its first keys expanded. Stays up for the given number of seconds, after
// creating the given ready file.
#include "harness.h"

#include <cstdlib>

int main(int argc, char **argv) {
    int nSeconds = argc > 1 ? atoi(argv[1]) : 10;
    HWND hWnd = StartApp(SW_SHOWNORMAL);
    if (!hWnd)
        return 1;
    SendCommand(IDC_DISKFREE);
    SendCommand(IDC_GENERALPC);
    SendCommand(IDM_SYSINFO);
    SendCommand(IDM_REGEDIT);
    // Open the first top-level key and its first child to show all three images.
    HTREEITEM hItem = (HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_ROOT, 0);
    for (int nDepth = 0; hItem && nDepth < 2; nDepth++) {
        SendMessageA(hTree, TVM_EXPAND, TVE_EXPAND, (LPARAM)hItem);
        SendMessageA(hTree, TVM_SELECTITEM, TVGN_CARET, (LPARAM)hItem);
        hItem = (HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_CHILD, (LPARAM)hItem);
    }
    // Tell whoever takes the screenshot that the views are filled.
    if (argc > 2) {
        HANDLE hReady = CreateFileA(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (hReady != INVALID_HANDLE_VALUE)
            CloseHandle(hReady);
    }
    Sleep((DWORD)nSeconds * 1000);
    StopApp();
    return 0;
}
