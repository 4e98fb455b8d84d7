// Registry tree benchmark: runs the real window and times, for the hive as
// it stands, the bare walk (no tree), the command-driven fill and the
// watcher-driven refill after one key is added. Prints one line of figures.
#include "harness.h"

#include <cstdio>

namespace {

double dFreq;
double Now() {
    LARGE_INTEGER li;
    QueryPerformanceCounter(&li);
    return li.QuadPart / dFreq;
}

// The floor: every key and value name, no tree.
// With bSized, each key is first asked for its longest names, as a walk
// that sizes its buffers must.
long WalkKey(HKEY hKey, bool bSized) {
    static char szName[16384 + 1];
    long nItems = 0;
    if (bSized) {
        DWORD dwMaxName = 0, dwMaxValueName = 0;
        RegQueryInfoKeyA(hKey, NULL, NULL, NULL, NULL, &dwMaxName, NULL, NULL, &dwMaxValueName,
                         NULL, NULL, NULL);
    }
    for (DWORD i = 0;; i++) {
        DWORD dwLen = sizeof(szName);
        if (RegEnumKeyExA(hKey, i, szName, &dwLen, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        nItems++;
        HKEY hSub;
        if (RegOpenKeyExA(hKey, szName, 0, KEY_READ, &hSub) == ERROR_SUCCESS) {
            nItems += WalkKey(hSub, bSized);
            RegCloseKey(hSub);
        }
    }
    for (DWORD i = 0;; i++) {
        DWORD dwLen = sizeof(szName);
        if (RegEnumValueA(hKey, i, szName, &dwLen, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        nItems++;
    }
    return nItems;
}

// The end of a fill is its last tree call before the repaint.
typedef LRESULT(WINAPI *SendMessageFn)(HWND, UINT, WPARAM, LPARAM);
SendMessageFn pfnRealSend;
volatile double dFillStart, dFillEnd;
volatile LONG nFillsDone;

LRESULT WINAPI TimeSend(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (hWnd == hTree && uMsg == TVM_DELETEITEM && lParam == (LPARAM)TVI_ROOT)
        dFillStart = Now();
    LRESULT lResult = pfnRealSend(hWnd, uMsg, wParam, lParam);
    if (hWnd == hTree && uMsg == WM_SETREDRAW && wParam) {
        dFillEnd = Now();
        InterlockedIncrement(&nFillsDone);
    }
    return lResult;
}

// The watcher is armed once it has called its wait; a change made before
// that is not seen.
typedef LONG(WINAPI *RegNotifyFn)(HKEY, BOOL, DWORD, HANDLE, BOOL);
RegNotifyFn pfnRealNotify;
volatile LONG nWaits;

LONG WINAPI CountNotify(HKEY hKey, BOOL bSubtree, DWORD dwFilter, HANDLE hEvent, BOOL bAsync) {
    InterlockedIncrement(&nWaits);
    return pfnRealNotify(hKey, bSubtree, dwFilter, hEvent, bAsync);
}

} // namespace

int main(int argc, char **argv) {
    LARGE_INTEGER li;
    QueryPerformanceFrequency(&li);
    dFreq = (double)li.QuadPart;
    const char *lpszLabel = argc > 1 ? argv[1] : "hive";

    double t = Now();
    long nWalked = WalkKey(HKEY_LOCAL_MACHINE, false);
    double dPlainWalk = Now() - t;
    t = Now();
    WalkKey(HKEY_LOCAL_MACHINE, true);
    double dWalk = Now() - t;

    if (!StartApp()) {
        fprintf(stderr, "the main window did not open\n");
        return 1;
    }
    ImportPatch send("user32.dll", "SendMessageA", (void *)TimeSend);
    ImportPatch notify("advapi32.dll", "RegNotifyChangeKeyValue", (void *)CountNotify);
    pfnRealSend = send.Original<SendMessageFn>();
    pfnRealNotify = notify.Original<RegNotifyFn>();

    t = Now();
    SendCommand(IDM_REGEDIT); // also starts the watcher
    double dCommand = Now() - t;
    long nItems = (long)SendMessageA(hTree, TVM_GETCOUNT, 0, 0);

    // One key added: from the change to the end of the watcher's refill.
    while (nWaits == 0)
        Sleep(1);
    Sleep(100);
    LONG nBefore = nFillsDone;
    HKEY hKey;
    t = Now();
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\CorvaneBenchProbe", 0, NULL, 0, KEY_ALL_ACCESS,
                    NULL, &hKey, NULL);
    RegCloseKey(hKey);
    while (nFillsDone == nBefore && Now() - t < 1800)
        Sleep(1);
    double dWatcher = dFillEnd - t;
    long nAfter = (long)SendMessageA(hTree, TVM_GETCOUNT, 0, 0);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\CorvaneBenchProbe");

    StopApp();

    printf("%s: walked %ld, tree %ld items (%ld after the added key); bare walk %.2f s, "
           "walk without size queries %.2f s, command fill %.2f s, watcher refill %.2f s; "
           "fill/floor %.2f, watcher/command %.2f\n",
           lpszLabel, nWalked, nItems, nAfter, dWalk, dPlainWalk, dCommand, dWatcher,
           dCommand / dWalk, dWatcher / dCommand);
    return 0;
}
