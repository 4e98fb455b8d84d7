// Registry tree benchmark: runs the real window and times, for the hive as
// it stands, the bare walk (no tree; after a warm-up walk, once before the
// fill and once after), the command fill and the watcher's update after one
// key is added (with the messages it sent the tree), each with the longest
// wait of a message sent to the window meanwhile (beside one sent to an idle
// window at the same time, which shows Wine's own stalls), the children
// Windows' tree view would walk per insert, and the memory each tree item
// costs; then a churn, a key added or deleted every 100 ms for 20 s under one
// group, with the CPU Corvane and Wine's server took meanwhile and the time
// from the last change until the tree matches the registry; then Resets on
// the full tree, and a quit during a refill while keys keep changing. Prints
// one line of figures. Every wait is bounded: an update that does not come
// is reported with what the watcher was doing, and the run fails.
#include "harness.h"
// Builds against earlier versions too, to set their figures beside these.
#if __has_include("registry/registry.h")
#include "registry/registry.h"
#else
#include "registry/observe.h"
#include "registry/parts.h"
#include "registry/plan.h"
#include "registry/watcher.h"
#include "registry/writer.h"
#endif

#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

namespace {

double dFreq;
double Now() {
    LARGE_INTEGER li;
    QueryPerformanceCounter(&li);
    return li.QuadPart / dFreq;
}

// The floor: every key and value name, no tree, each key first asked for
// its longest names as a walk that sizes its buffers must. Links are
// followed, as the tree follows them, unless the hive was given links of
// its own, some of which loop: then a link is read as itself, and the floor
// is the hive without what links add.
DWORD dwOpenOptions = 0;
long WalkKey(HKEY hKey) {
    static char szName[16384 * 3 + 1];
    long nItems = 0;
    DWORD dwMaxName = 0, dwMaxValueName = 0;
    RegQueryInfoKeyA(hKey, NULL, NULL, NULL, NULL, &dwMaxName, NULL, NULL, &dwMaxValueName, NULL,
                     NULL, NULL);
    for (DWORD i = 0;; i++) {
        DWORD dwLen = sizeof(szName);
        if (RegEnumKeyExA(hKey, i, szName, &dwLen, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        nItems++;
        HKEY hSub;
        if (RegOpenKeyExA(hKey, szName, dwOpenOptions, KEY_READ, &hSub) == ERROR_SUCCESS) {
            nItems += WalkKey(hSub);
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

// Windows' tree view keeps a parent's children as a chain from the first:
// an insert at TVI_LAST or TVI_SORT walks every child the parent already
// has, one at TVI_FIRST or after a given item walks none. Counted per fill,
// on the window's thread; a fill empties the tree before its first insert.
std::unordered_map<HTREEITEM, unsigned> children;
bool bEmptied;
unsigned long long qwWalked, qwInserts;

void CountInsert(const TVINSERTSTRUCTA *pIns) {
    if (bEmptied)
        children.clear();
    bEmptied = false;
    HTREEITEM hParent = pIns->hParent == TVI_ROOT ? NULL : pIns->hParent;
    unsigned &nChildren = children[hParent];
    if (pIns->hInsertAfter == TVI_LAST || pIns->hInsertAfter == TVI_SORT)
        qwWalked += nChildren;
    nChildren++;
    qwInserts++;
}

double WalkedPerInsert() {
    double d = qwInserts ? (double)qwWalked / qwInserts : 0;
    qwWalked = qwInserts = 0;
    return d;
}

// Frees, charged the same way: Windows' tree view walks the freed item's
// parent's chain from the first child to find the item before it, and then
// frees the item's subtree first child first, at no further cost. So each
// call costs the items before it in its chain. The chains are followed from
// the inserts, in the counted phases only (the map costs memory).
struct Link {
    HTREEITEM hParent, hPrev, hNext, hFirst, hLast;
};
std::unordered_map<HTREEITEM, Link> chains; // NULL: the top
bool bCharting;
unsigned long long qwFreeWalked, qwFreed;

void ChartInsert(const TVINSERTSTRUCTA *pIns, HTREEITEM hItem) {
    if (!hItem)
        return;
    HTREEITEM hParent = pIns->hParent == TVI_ROOT ? NULL : pIns->hParent;
    Link &parent = chains[hParent];
    Link link = {hParent, NULL, NULL, NULL, NULL};
    HTREEITEM hAfter = pIns->hInsertAfter;
    if (hAfter == TVI_FIRST || (hAfter != TVI_LAST && hAfter != TVI_SORT && !chains.count(hAfter)))
        link.hNext = parent.hFirst;
    else
        link.hPrev = hAfter == TVI_LAST || hAfter == TVI_SORT ? parent.hLast : hAfter;
    if (link.hPrev)
        link.hNext = chains[link.hPrev].hNext;
    (link.hPrev ? chains[link.hPrev].hNext : parent.hFirst) = hItem;
    (link.hNext ? chains[link.hNext].hPrev : parent.hLast) = hItem;
    chains[hItem] = link;
}

void ForgetSubtree(HTREEITEM hItem) {
    for (HTREEITEM hChild = chains[hItem].hFirst; hChild;) {
        HTREEITEM hNext = chains[hChild].hNext;
        ForgetSubtree(hChild);
        hChild = hNext;
    }
    chains.erase(hItem);
    qwFreed++;
}

void ChartFree(HTREEITEM hItem) {
    if (hItem == TVI_ROOT) {
        for (auto &entry : chains)
            qwFreed += entry.first != NULL;
        chains.clear();
        return;
    }
    auto it = chains.find(hItem);
    if (it == chains.end())
        return; // went in before the charting began
    Link link = it->second;
    for (HTREEITEM h = link.hPrev; h; h = chains[h].hPrev)
        qwFreeWalked++;
    Link &parent = chains[link.hParent];
    (link.hPrev ? chains[link.hPrev].hNext : parent.hFirst) = link.hNext;
    (link.hNext ? chains[link.hNext].hPrev : parent.hLast) = link.hPrev;
    ForgetSubtree(hItem);
}

double WalkedPerFree() {
    double d = qwFreed ? (double)qwFreeWalked / qwFreed : 0;
    qwFreeWalked = qwFreed = 0;
    return d;
}

// A fill ends with its redraw turned back on.
typedef LRESULT(WINAPI *SendMessageFn)(HWND, UINT, WPARAM, LPARAM);
SendMessageFn pfnRealSend, pfnRealSendW;
volatile double dFillEnd, dLongestCall;
HANDLE hFillStarted, hFillEnded;
// Every message sent to the tree, the count when the last update ended, the
// updates ended, and whether one is under way: from the first message the
// window's thread sends the tree to the tree painted at the end (a small
// update leaves redraw on, so that marks neither).
volatile LONG nTreeMessages, nTreeMessagesAtEnd, nUpdates, bUpdating;
DWORD dwWindowThread;

// The tree's messages go as UTF-16 or, in older builds, 8-bit: both are
// timed. The two insert structures differ only in the text's type.
LRESULT TimeTreeSend(SendMessageFn pfnReal, HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    bool bInsert = uMsg == TVM_INSERTITEMA || uMsg == TVM_INSERTITEMW;
    if (hWnd == hTree)
        InterlockedIncrement(&nTreeMessages);
    if (hWnd == hTree && !bUpdating && GetCurrentThreadId() == dwWindowThread) {
        bUpdating = 1;
        SetEvent(hFillStarted);
    }
    if (hWnd == hTree && bInsert)
        CountInsert((const TVINSERTSTRUCTA *)lParam);
    if (hWnd == hTree && uMsg == TVM_DELETEITEM)
        bEmptied = true;
    if (bCharting && hWnd == hTree && uMsg == TVM_DELETEITEM)
        ChartFree((HTREEITEM)lParam);
    double t = Now();
    LRESULT lResult = pfnReal(hWnd, uMsg, wParam, lParam);
    if (bCharting && hWnd == hTree && bInsert)
        ChartInsert((const TVINSERTSTRUCTA *)lParam, (HTREEITEM)lResult);
    if (hWnd == hTree && Now() - t > dLongestCall)
        dLongestCall = Now() - t;
    return lResult;
}
LRESULT WINAPI TimeSend(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    return TimeTreeSend(pfnRealSend, hWnd, uMsg, wParam, lParam);
}
LRESULT WINAPI TimeSendW(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    return TimeTreeSend(pfnRealSendW, hWnd, uMsg, wParam, lParam);
}

typedef BOOL(WINAPI *UpdateWindowFn)(HWND);
UpdateWindowFn pfnRealUpdateWindow;
BOOL WINAPI TimeUpdateWindow(HWND hWnd) {
    BOOL bResult = pfnRealUpdateWindow(hWnd);
    if (hWnd == hTree && bUpdating) {
        dFillEnd = Now();
        nTreeMessagesAtEnd = nTreeMessages;
        InterlockedIncrement(&nUpdates);
        bUpdating = 0;
        SetEvent(hFillEnded);
    }
    return bResult;
}

// The walk's last call reads HKEY_LOCAL_MACHINE's own values: during a fill
// the last value read marks the end of the walker's reading.
typedef LONG(WINAPI *RegEnumValueFn)(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE,
                                     LPDWORD);
RegEnumValueFn pfnRealEnumValue;
volatile double dLastRead;
LONG WINAPI TimeEnumValue(HKEY hKey, DWORD dwIndex, LPSTR lpszName, LPDWORD pcchName,
                          LPDWORD pdwReserved, LPDWORD pdwType, LPBYTE pData, LPDWORD pcbData) {
    LONG lResult =
        pfnRealEnumValue(hKey, dwIndex, lpszName, pcchName, pdwReserved, pdwType, pData, pcbData);
    dLastRead = Now();
    return lResult;
}

// The watcher's waits after its first are held while the fill's memory is
// read, so the figure is the tree's and its copy's, not the watcher's: under
// Wine each thread that waits on watches commits 1 MB.
typedef LONG(WINAPI *RegNotifyFn)(HKEY, BOOL, DWORD, HANDLE, BOOL);
RegNotifyFn pfnRealNotify;
volatile LONG nNotifyCalls, bHoldWatcher = 1;
HANDLE hWatcherGo;
LONG WINAPI HeldNotify(HKEY hKey, BOOL bSubtree, DWORD dwFilter, HANDLE hEvent, BOOL bAsync) {
    if (InterlockedIncrement(&nNotifyCalls) > 1 && bHoldWatcher)
        WaitForSingleObject(hWatcherGo, INFINITE);
    return pfnRealNotify(hKey, bSubtree, dwFilter, hEvent, bAsync);
}

// Sends WM_NULL to a window over and over, keeping the longest wait and
// every wait over the pinger's dKeepMs. One pinger aims at Corvane, one at
// an idle window on a thread of its own: Wine's single server stalls every
// process while it writes out a big hive (30 MB at 200,000 keys, about
// 0.4 s, within 30 s of any change), and the idle window's waits show when.
struct Pinger {
    HWND hWnd;
    double dKeepMs;
    double dLongest, dLongestShort; // of all waits, of those not kept
    long nSent;
    int nKept;
    double dFrom[1024], dTo[1024];
};
volatile LONG bPinging;
void Reset(Pinger *p, HWND hWnd, double dKeepMs) {
    ZeroMemory(p, sizeof(*p));
    p->hWnd = hWnd;
    p->dKeepMs = dKeepMs;
}
DWORD WINAPI PingThread(LPVOID lpPinger) {
    Pinger *p = (Pinger *)lpPinger;
    while (bPinging) {
        double t = Now();
        DWORD_PTR dwResult;
        SendMessageTimeoutA(p->hWnd, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &dwResult);
        double dWait = Now() - t;
        if (dWait > p->dLongest)
            p->dLongest = dWait;
        if (dWait * 1000 > p->dKeepMs && p->nKept < 1024) {
            p->dFrom[p->nKept] = t;
            p->dTo[p->nKept++] = t + dWait;
        } else if (dWait > p->dLongestShort) {
            p->dLongestShort = dWait; // one with no room left counts whole
        }
        p->nSent++;
        Sleep(1);
    }
    return 0;
}

// Corvane's own longest wait: each kept wait less the time the idle window
// was stalled in the same span.
double LongestOwnWait(const Pinger &app, const Pinger &idle) {
    double dLongest = app.dLongestShort;
    for (int i = 0; i < app.nKept; i++) {
        double dOwn = app.dTo[i] - app.dFrom[i];
        for (int j = 0; j < idle.nKept; j++) {
            double dFrom = app.dFrom[i] > idle.dFrom[j] ? app.dFrom[i] : idle.dFrom[j];
            double dTo = app.dTo[i] < idle.dTo[j] ? app.dTo[i] : idle.dTo[j];
            if (dTo > dFrom)
                dOwn -= dTo - dFrom;
        }
        if (dOwn > dLongest)
            dLongest = dOwn;
    }
    return dLongest;
}

// Both pingers, Corvane's and the idle window's, from start to stop.
HANDLE hPingers[2];
bool StartPinging(Pinger *pApp, Pinger *pIdle, HWND hIdleWnd) {
    Reset(pApp, AppWindow(), 50); // waits up to that need no explaining
    Reset(pIdle, hIdleWnd, 5);    // an idle window answers at once
    bPinging = 1;
    hPingers[0] = CreateThread(NULL, 0, PingThread, pApp, 0, NULL);
    hPingers[1] = CreateThread(NULL, 0, PingThread, pIdle, 0, NULL);
    return hPingers[0] && hPingers[1];
}
// False if the window stopped answering.
bool StopPinging() {
    bPinging = 0;
    bool bOk = WaitForSingleObject(hPingers[0], 70000) == WAIT_OBJECT_0;
    WaitForSingleObject(hPingers[1], 70000);
    CloseHandle(hPingers[0]);
    CloseHandle(hPingers[1]);
    return bOk;
}

// Adds and deletes a key every 5 ms until told to stop.
volatile LONG bChurning;
DWORD WINAPI ChurnThread(LPVOID) {
    for (unsigned n = 0; bChurning; n++) {
        HKEY hKey;
        if (n % 2 == 0 && RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\CorvaneBenchChurn", 0,
                                          NULL, 0, KEY_ALL_ACCESS, NULL, &hKey, NULL) == 0)
            RegCloseKey(hKey);
        else
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\CorvaneBenchChurn");
        Sleep(5);
    }
    return 0;
}

// The churn: every 100 ms for 20 s a key added under Churn or one deleted,
// C000, C001 added, C000 deleted, C002 added, C001 deleted..., so at most
// two stand at a time.
const char *const CHURN_KEY = "Software\\CorvaneBench\\G0001\\Churn";
volatile LONG nChurnAdded, nChurnDeleted;
volatile double dLastChange;
DWORD WINAPI ChangeEvery100Ms(LPVOID) {
    double t0 = Now();
    for (unsigned k = 0; k < 200; k++) {
        double dAhead = t0 + k * 0.1 - Now();
        if (dAhead > 0)
            Sleep((DWORD)(dAhead * 1000));
        bool bAdd = k == 0 || k % 2;
        char szKey[96];
        snprintf(szKey, sizeof(szKey), "%s\\C%03u", CHURN_KEY, bAdd ? (k + 1) / 2 : k / 2 - 1);
        HKEY hKey;
        DWORD dwMade;
        if (bAdd && RegCreateKeyExA(HKEY_LOCAL_MACHINE, szKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                                    &hKey, &dwMade) == ERROR_SUCCESS) {
            RegCloseKey(hKey);
            nChurnAdded += dwMade == REG_CREATED_NEW_KEY;
        } else if (!bAdd && RegDeleteKeyA(HKEY_LOCAL_MACHINE, szKey) == ERROR_SUCCESS) {
            nChurnDeleted++;
        }
        dLastChange = Now();
    }
    return 0;
}

// The whole process's CPU seconds: Corvane's threads, and the benchmark's,
// which wait but for the churn's few registry calls.
double ProcessCpu() {
    FILETIME ft[4]; // created, exited, kernel, user
    if (!GetProcessTimes(GetCurrentProcess(), &ft[0], &ft[1], &ft[2], &ft[3]))
        return -1;
    return (((ULONGLONG)ft[2].dwHighDateTime << 32 | ft[2].dwLowDateTime) +
            ((ULONGLONG)ft[3].dwHighDateTime << 32 | ft[3].dwLowDateTime)) /
           1e7;
}

// Wine's server's CPU seconds, utime and stime from its Linux /proc stat
// (ticks of 1/100 s), its id given by the script; -1 when unreadable.
double ServerCpu() {
    const char *lpszPid = getenv("CORVANE_WINESERVER_PID");
    char szPath[64], szStat[1024];
    if (!lpszPid || !*lpszPid)
        return -1;
    snprintf(szPath, sizeof(szPath), "Z:\\proc\\%s\\stat", lpszPid);
    FILE *f = fopen(szPath, "rb");
    if (!f)
        return -1;
    size_t cb = fread(szStat, 1, sizeof(szStat) - 1, f);
    fclose(f);
    szStat[cb] = 0;
    const char *p = strrchr(szStat, ')'); // the name may hold spaces
    unsigned long nUser, nSystem;
    if (!p ||
        sscanf(p + 1, "%*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %lu %lu", &nUser, &nSystem) != 2)
        return -1;
    return (nUser + nSystem) / 100.0;
}

// The tree read from this thread through the real SendMessageA, so none of
// it counts as the program's.
HTREEITEM NextItem(HTREEITEM hItem, UINT uFlag) {
    return (HTREEITEM)pfnRealSend(hTree, TVM_GETNEXTITEM, uFlag, (LPARAM)hItem);
}
void ItemText(HTREEITEM hItem, char *psz, int cch) {
    TVITEMA tvi = {};
    tvi.mask = TVIF_TEXT;
    tvi.hItem = hItem;
    tvi.pszText = psz;
    tvi.cchTextMax = cch;
    psz[0] = 0;
    pfnRealSend(hTree, TVM_GETITEMA, 0, (LPARAM)&tvi);
}
// The Churn key's item, found by name from the top; NULL if not in the tree.
HTREEITEM ChurnItem() {
    static const char *const path[] = {"Software", "CorvaneBench", "G0001", "Churn"};
    HTREEITEM hItem = NextItem(NULL, TVGN_ROOT);
    for (int i = 0; hItem;) {
        char szText[64];
        ItemText(hItem, szText, sizeof(szText));
        if (_stricmp(szText, path[i]) != 0)
            hItem = NextItem(hItem, TVGN_NEXT);
        else if (++i == 4)
            return hItem;
        else
            hItem = NextItem(hItem, TVGN_CHILD);
    }
    return NULL;
}
// The names under Churn, each followed by a newline: the tree's (false if
// it has no Churn item), or the registry's, in enumeration order.
bool TreeChurnNames(char *psz, size_t cb) {
    HTREEITEM hChurn = ChurnItem();
    size_t n = 0;
    psz[0] = 0;
    for (HTREEITEM hItem = hChurn ? NextItem(hChurn, TVGN_CHILD) : NULL; hItem && n + 1 < cb;
         hItem = NextItem(hItem, TVGN_NEXT)) {
        char szName[256];
        ItemText(hItem, szName, sizeof(szName));
        n += snprintf(psz + n, cb - n, "%s\n", szName);
    }
    return hChurn != NULL;
}
void RegistryChurnNames(char *psz, size_t cb) {
    HKEY hKey;
    size_t n = 0;
    psz[0] = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, CHURN_KEY, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return;
    char szName[256];
    for (DWORD i = 0, dwLen = sizeof(szName);
         n + 1 < cb && RegEnumKeyExA(hKey, i, szName, &dwLen, NULL, NULL, NULL, NULL) == 0;
         i++, dwLen = sizeof(szName))
        n += snprintf(psz + n, cb - n, "%s\n", szName);
    RegCloseKey(hKey);
}
// The tree at rest with nCount items (any, if negative) and the names under
// Churn as given, still so once the window has taken what was posted to it
// (a notice of a change may be on its way); *pdFrom: when first seen so.
bool TreeMatches(long nCount, const char *lpszNames, double *pdFrom) {
    char szNames[4096];
    for (int nPass = 0; nPass < 2; nPass++) {
        if (bUpdating || (nCount >= 0 && (long)pfnRealSend(hTree, TVM_GETCOUNT, 0, 0) != nCount) ||
            !TreeChurnNames(szNames, sizeof(szNames)) || strcmp(szNames, lpszNames) != 0)
            return false;
        if (nPass == 0 && pdFrom)
            *pdFrom = Now();
        if (nPass == 0)
            Pump();
    }
    return true;
}

volatile HWND hIdle;
DWORD WINAPI IdleThread(LPVOID) {
    hIdle = CreateWindowExA(0, "STATIC", "idle", 0, 0, 0, 10, 10, NULL, NULL, NULL, NULL);
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0)
        DispatchMessageA(&msg);
    return 0;
}

SIZE_T PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX pmc = {};
    pmc.cb = sizeof(pmc);
    GetProcessMemoryInfo(GetCurrentProcess(), (PROCESS_MEMORY_COUNTERS *)&pmc, sizeof(pmc));
    // Wine leaves PrivateUsage at 0; its PagefileUsage is the same count.
    return pmc.PrivateUsage ? pmc.PrivateUsage : pmc.PagefileUsage;
}

const char *WatchStateName(LONG n) {
    switch (n) {
    case WATCH_SUSPENDED: return "not started";
    case WATCH_ARMING: return "arming its wait";
    case WATCH_WAITING: return "waiting in RegNotifyChangeKeyValue";
    case WATCH_POSTING: return "telling the window";
    case WATCH_BACKOFF: return "pausing after a failed wait";
    default: return "unknown";
    }
}

} // namespace

int main(int argc, char **argv) {
    LARGE_INTEGER li;
    QueryPerformanceFrequency(&li);
    dFreq = (double)li.QuadPart;
    const char *lpszLabel = argc > 1 ? argv[1] : "hive";
    if (argc > 2 && strcmp(argv[2], "links") == 0)
        dwOpenOptions = REG_OPTION_OPEN_LINK;
    hFillStarted = CreateEventA(NULL, TRUE, FALSE, NULL);
    hFillEnded = CreateEventA(NULL, FALSE, FALSE, NULL);

    // The first walk after the server loads the hive is the slowest by far
    // (cold pages): it warms up and is not counted.
    long nWalked = WalkKey(HKEY_LOCAL_MACHINE);
    double t = Now();
    WalkKey(HKEY_LOCAL_MACHINE);
    double dWalkBefore = Now() - t;

    HANDLE hIdleThread = CreateThread(NULL, 0, IdleThread, NULL, 0, NULL);
    if (!hIdleThread || !WaitFor([] { return hIdle != NULL; }, 10000)) {
        fprintf(stderr, "%s: the idle window did not open\n", lpszLabel);
        return 1;
    }
    if (!StartApp()) {
        fprintf(stderr, "the main window did not open\n");
        return 1;
    }
    dwWindowThread = GetWindowThreadProcessId(AppWindow(), NULL);
    ImportPatch send("user32.dll", "SendMessageA", (void *)TimeSend);
    pfnRealSend = send.Original<SendMessageFn>();
    ImportPatch sendW("user32.dll", "SendMessageW", (void *)TimeSendW);
    pfnRealSendW = sendW.Original<SendMessageFn>();
    ImportPatch paint("user32.dll", "UpdateWindow", (void *)TimeUpdateWindow);
    pfnRealUpdateWindow = paint.Original<UpdateWindowFn>();
    hWatcherGo = CreateEventA(NULL, TRUE, FALSE, NULL);
    ImportPatch notify("advapi32.dll", "RegNotifyChangeKeyValue", (void *)HeldNotify);
    pfnRealNotify = notify.Original<RegNotifyFn>();

    // The command fill, with a thread sending to the window all along.
    int nExit = 0;
    static Pinger app, idle;
    SIZE_T cbBefore = PrivateBytes();
    double dCommand, dRead;
    {
        ImportPatch read("advapi32.dll", "RegEnumValueA", (void *)TimeEnumValue);
        ImportPatch readW("advapi32.dll", "RegEnumValueW", (void *)TimeEnumValue);
        pfnRealEnumValue = read.Original<RegEnumValueFn>();
        if (!pfnRealEnumValue)
            pfnRealEnumValue = readW.Original<RegEnumValueFn>();
        StartPinging(&app, &idle, hIdle);
        t = Now();
        SendCommand(IDM_REGEDIT); // also starts the watcher and waits until it is armed
        dCommand = Now() - t;
        dRead = dLastRead - t;
        if (!StopPinging()) {
            fprintf(stderr, "%s: the window stopped answering\n", lpszLabel);
            nExit = 4;
        }
    }
    double dCommandWait = app.dLongest, dCommandIdle = idle.dLongest;
    double dCommandOwn = LongestOwnWait(app, idle);
    double dCommandWalked = WalkedPerInsert();
    long nItems = (long)SendMessageA(hTree, TVM_GETCOUNT, 0, 0);
    SIZE_T cbFilled = PrivateBytes();
    double dBytesPerItem = nItems ? (double)(cbFilled - cbBefore) / nItems : 0;
    InterlockedExchange(&bHoldWatcher, 0);
    SetEvent(hWatcherGo);
    // The machine's speed drifts by tens of percent between minutes here: a
    // walk on each side of the fill, averaged, is the floor it is held to.
    t = Now();
    WalkKey(HKEY_LOCAL_MACHINE);
    double dWalkAfter = Now() - t, dWalk = (dWalkBefore + dWalkAfter) / 2;

    // One key added: from the change to the end of the watcher's refill,
    // with a thread sending to the window all along.
    double dRefill = 0;
    long nRefillMessages = 0;
    // Generous against a slow machine, far short of a hang.
    DWORD dwBound = (DWORD)(1000 * (30 + 10 * dCommand));
    // The watcher arms its waits after the fill; a change before that is
    // one it cannot place.
    t = Now();
    WaitFor([] { return WatcherIdle() != FALSE; }, dwBound);
    double dArmed = Now() - t;
    double dWatcherMb = (double)(PrivateBytes() - cbFilled) / 1e6;
    // Read while the window is idle: nothing changes the table meanwhile.
    long nWatches = 0;
    for (LONG i = 0; i < 2 * (LONG)MAX_WATCHES; i++)
        nWatches += WatchedNode(i) != NULL;
    if (nWatchState != WATCH_WAITING) {
        fprintf(stderr, "%s: after the command the watcher is %s, not armed\n", lpszLabel,
                WatchStateName(nWatchState));
        nExit = 2;
    } else {
        ResetEvent(hFillEnded);
        dLongestCall = 0;
        StartPinging(&app, &idle, hIdle);
        HKEY hKey;
        nTreeMessages = 0;
        t = Now();
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\CorvaneBenchProbe", 0, NULL, 0,
                        KEY_ALL_ACCESS, NULL, &hKey, NULL);
        RegCloseKey(hKey);
        if (WaitForSingleObject(hFillEnded, dwBound) == WAIT_OBJECT_0) {
            dRefill = dFillEnd - t;
            nRefillMessages = nTreeMessagesAtEnd;
        } else {
            fprintf(stderr,
                    "%s: no refill within %lu s; the watcher is %s, %ld notice(s) queued, "
                    "%ld fill(s) done\n",
                    lpszLabel, dwBound / 1000, WatchStateName(nWatchState), nNoticesQueued,
                    nFillsDone);
            nExit = 3;
        }
        if (!StopPinging()) {
            fprintf(stderr, "%s: the window stopped answering\n", lpszLabel);
            nExit = 4;
        }
    }
    double dRefillWalked = WalkedPerInsert();
    double dRefillWait = app.dLongest, dRefillIdle = idle.dLongest;
    double dRefillOwn = LongestOwnWait(app, idle);
    long nRefillSent = app.nSent;
    long nAfter = (long)SendMessageA(hTree, TVM_GETCOUNT, 0, 0);

    // The churn, under a Churn key the tree already shows, no pingers: the
    // CPU over its 20 s, then the time from its last change until the tree
    // matches the registry (the churn's keys are empty: one item each).
    double dCpuShare = -1, dServerShare = -1, dMatchAfter = -1;
    long nChurnUpdates = 0, nChurnMessages = 0, nChurnChanges = 0;
    DWORD dwMatchBound = dwBound > 120000 ? dwBound : 120000;
    if (nExit == 0) {
        HKEY hKey;
        ResetEvent(hFillEnded);
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, CHURN_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hKey,
                            NULL) == ERROR_SUCCESS)
            RegCloseKey(hKey);
        if (WaitForSingleObject(hFillEnded, dwBound) != WAIT_OBJECT_0 ||
            !WaitFor([] { return TreeMatches(-1, "", NULL); }, dwBound)) {
            fprintf(stderr, "%s: the tree did not show the churn's key within %lu s\n", lpszLabel,
                    dwBound / 1000);
            nExit = 6;
        }
    }
    if (nExit == 0) {
        long nBefore = (long)pfnRealSend(hTree, TVM_GETCOUNT, 0, 0);
        LONG nUpdates0 = nUpdates, nMessages0 = nTreeMessages;
        double dCpu0 = ProcessCpu(), dServer0 = ServerCpu();
        t = Now();
        HANDLE hChurn = CreateThread(NULL, 0, ChangeEvery100Ms, NULL, 0, NULL);
        if (!hChurn || WaitForSingleObject(hChurn, 60000) != WAIT_OBJECT_0) {
            fprintf(stderr, "%s: the churn did not end\n", lpszLabel);
            nExit = 6;
        }
        double dWall = Now() - t, dCpu1 = ProcessCpu(), dServer1 = ServerCpu();
        if (hChurn)
            CloseHandle(hChurn);
        if (dCpu0 >= 0 && dCpu1 >= 0)
            dCpuShare = (dCpu1 - dCpu0) / dWall;
        if (dServer0 >= 0 && dServer1 >= 0)
            dServerShare = (dServer1 - dServer0) / dWall;
        nChurnChanges = nChurnAdded + nChurnDeleted;
        long nExpected = nBefore + nChurnAdded - nChurnDeleted;
        static char szNames[4096];
        RegistryChurnNames(szNames, sizeof(szNames));
        double dMatched = 0;
        if (nExit == 0 &&
            WaitFor([&] { return TreeMatches(nExpected, szNames, &dMatched); }, dwMatchBound)) {
            dMatchAfter = dMatched - dLastChange;
        } else if (nExit == 0) {
            fprintf(stderr,
                    "%s: %ld items, not %ld, %lu s after the churn; %ld update(s) "
                    "meanwhile\n",
                    lpszLabel, (long)pfnRealSend(hTree, TVM_GETCOUNT, 0, 0), nExpected,
                    dwMatchBound / 1000, (long)(nUpdates - nUpdates0));
            nExit = 6;
        }
        nChurnUpdates = nUpdates - nUpdates0;
        nChurnMessages = nTreeMessages - nMessages0;
    }

    // Reset on the full tree: the old tree has to go first. The tree it
    // makes is charted for what follows.
    double dReset = 0;
    if (nExit == 0) {
        bCharting = true;
        StartPinging(&app, &idle, hIdle);
        t = Now();
        SendCommand(IDM_RESET);
        dReset = Now() - t;
        if (!StopPinging()) {
            fprintf(stderr, "%s: the window stopped answering\n", lpszLabel);
            nExit = 4;
        }
    }
    double dResetWait = app.dLongest, dResetIdle = idle.dLongest;
    double dResetOwn = LongestOwnWait(app, idle);

    // What Windows would pay to free the tree, charted from the Reset above:
    // a Reset emptying in the order this tree view asks for, then one in the
    // order Windows' asks for.
    double dWalkedPerFree[2] = {-1, -1}, dOrderReset[2] = {0, 0};
    double dOrderWait[2] = {0, 0};
    bool bWine = bWineTreeView != FALSE;
    // A Reset emptying in this tree view's order (0) or in Windows' (1).
    auto ResetInOrder = [bWine](int nOrder) {
        bWineTreeView = nOrder ? FALSE : bWine;
        double t0 = Now();
        SendCommand(IDM_RESET);
        return Now() - t0;
    };
    // CORVANE_BENCH_QUICK leaves out the Resets in each order (minutes each
    // on a big hive): what the emptying costs is not what it asks about.
    bool bOrders = !getenv("CORVANE_BENCH_QUICK");
    for (int nOrder = 0; nOrder < 2 && nExit == 0 && bOrders; nOrder++) {
        WalkedPerFree();
        StartPinging(&app, &idle, hIdle);
        dOrderReset[nOrder] = ResetInOrder(nOrder);
        StopPinging();
        dOrderWait[nOrder] = LongestOwnWait(app, idle);
        dWalkedPerFree[nOrder] = WalkedPerFree();
    }
    bCharting = false;
    chains.clear();

    // The two orders again, uncharted, so only the tree view's own cost
    // counts: this tree view's, Windows', Windows', this tree view's, each
    // order's time the mean of its two.
    double dUncharted[2] = {0, 0};
    for (int nTurn = 0; nTurn < 4 && nExit == 0 && bOrders; nTurn++) {
        int nOrder = nTurn == 1 || nTurn == 2;
        dUncharted[nOrder] += ResetInOrder(nOrder) / 2;
    }
    bWineTreeView = bWine;
    PostMessageA(hIdle, WM_QUIT, 0, 0);

    // Quitting as a refill starts, the tree still full, while a key is
    // added or deleted every 5 ms: from the close to WinMain's return, Yes
    // pressed as soon as the prompt shows.
    double dQuit = -1;
    int nQuitExit = -1;
    if (nExit == 0) {
        SetBoxAnswer(IDYES);
        ResetEvent(hFillStarted);
        bChurning = 1;
        HANDLE hChurn = CreateThread(NULL, 0, ChurnThread, NULL, 0, NULL);
        if (WaitForSingleObject(hFillStarted, dwBound) == WAIT_OBJECT_0) {
            t = Now();
            PostMessageA(AppWindow(), WM_CLOSE, 0, 0);
            if (WaitForExit(60000, &nQuitExit))
                dQuit = Now() - t;
        }
        bChurning = 0;
        if (hChurn)
            WaitForSingleObject(hChurn, 10000);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\CorvaneBenchChurn");
        if (dQuit < 0 || nQuitExit != 0) {
            fprintf(stderr, "%s: quitting during a refill failed (exit code %d)\n", lpszLabel,
                    nQuitExit);
            nExit = 5;
        }
    }
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\CorvaneBenchProbe");
    DeleteTree(HKEY_LOCAL_MACHINE, CHURN_KEY);
    // No StopApp: the program leaves its windows to the process's end, and
    // Wine's tree view would take minutes to free a big tree one item at a
    // time.

    printf("%s: walked %ld, tree %ld items (%ld after the added key); bare walk %.2f s (%.2f s "
           "before the fill, %.2f s after); "
           "command fill %.2f s (the walker read for %.2f s of it), longest wait of a message "
           "sent to the window %.0f ms, to an idle window %.0f ms, own %.0f ms, children walked "
           "per insert %.2f; "
           "watcher refill %.2f s, tree messages %ld, longest wait %.0f ms (%ld sent), idle "
           "%.0f ms, own %.0f ms, children walked per insert %.2f; "
           "churn of %ld changes: CPU share of a core %.2f, Wine's server %.2f, %ld tree "
           "updates, %ld tree messages, tree matched %.0f ms after the last change; "
           "reset on the full tree %.2f s, longest wait %.0f ms, idle %.0f ms, own %.0f ms; "
           "children walked per freed item: emptied as %s's tree view asks %.2f (reset %.2f s, "
           "own wait %.0f ms), as Windows' asks %.2f (reset %.2f s, own wait %.0f ms); "
           "uncharted reset emptying as %s's asks %.2f s, as Windows' asks %.2f s; "
           "longest tree call %.0f ms, %.0f bytes per item, %ld watches, armed %.2f s after the "
           "fill (%.1f MB more); quit during a refill with keys "
           "changing %.0f ms; fill/walk %.2f, refill/walk %.2f\n",
           lpszLabel, nWalked, nItems, nAfter, dWalk, dWalkBefore, dWalkAfter, dCommand, dRead,
           dCommandWait * 1000, dCommandIdle * 1000, dCommandOwn * 1000, dCommandWalked, dRefill,
           nRefillMessages, dRefillWait * 1000, nRefillSent, dRefillIdle * 1000, dRefillOwn * 1000,
           dRefillWalked, nChurnChanges, dCpuShare, dServerShare, nChurnUpdates, nChurnMessages,
           dMatchAfter >= 0 ? dMatchAfter * 1000 : -1, dReset, dResetWait * 1000, dResetIdle * 1000,
           dResetOwn * 1000, bWine ? "Wine" : "Windows", dWalkedPerFree[0], dOrderReset[0],
           dOrderWait[0] * 1000, dWalkedPerFree[1], dOrderReset[1], dOrderWait[1] * 1000,
           bWine ? "Wine" : "Windows", dUncharted[0], dUncharted[1], dLongestCall * 1000,
           dBytesPerItem, nWatches, dArmed, dWatcherMb, dQuit * 1000, dCommand / dWalk,
           dRefill / dWalk);
    fflush(stdout);
    ExitProcess(nExit); // the app's thread may still be taking its window down
}
