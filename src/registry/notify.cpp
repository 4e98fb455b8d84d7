// The change watcher: waits for keys added or deleted anywhere under
// HKEY_LOCAL_MACHINE and has the user-interface thread refill the tree.
#include "corvane.h"
#include "registry/namebuf.h"

DWORD WINAPI ChangeNotify(LPVOID) {
    DWORD dwPause = 0;
    for (;;) {
        if (RegNotifyChangeKeyValue(HKEY_LOCAL_MACHINE, TRUE, REG_NOTIFY_CHANGE_NAME, NULL,
                                    FALSE) == ERROR_SUCCESS) {
            dwPause = 0;
            // The fill runs on the tree's own thread, serialised with the
            // commands' fills; the wait is armed again only once it is done.
            SendMessageA(GetParent(hTree), WM_REFILLTREE, 0, 0);
        } else {
            // A wait that keeps failing must not spin; keep trying, slower.
            dwPause = NextBackoff(dwPause);
            Sleep(dwPause);
        }
    }
}
