// The registry tree and its watcher, against real keys in the test prefix.
#include "harness.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <functional>
#include <string>
#include <vector>

namespace {

const char *const TEST_ROOT = "Software\\CorvaneTest";
// A fill walks the whole hive: seconds under Wine on a busy machine.
const DWORD FILL_WAIT = 60000;

// One tree item or registry entry, in pre-order with its depth.
struct Node {
    int nDepth;
    std::string text;
    int nImage, nSelected;
    bool bExpanded;
    bool operator==(const Node &o) const {
        return nDepth == o.nDepth && text == o.text && nImage == o.nImage &&
               nSelected == o.nSelected && bExpanded == o.bExpanded;
    }
};
typedef std::vector<Node> Nodes;

std::ostream &operator<<(std::ostream &os, const Node &n) {
    return os << n.nDepth << ":'" << n.text << "'(" << n.nImage << "/" << n.nSelected
              << (n.bExpanded ? ",open" : "") << ")";
}

// Runs code on the window's thread, where the tree lives and fills run,
// through a subclass of the main window.
const UINT WM_RUNTEST = WM_APP + 77;
WNDPROC pfnAppProc = NULL;

LRESULT CALLBACK RunProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_RUNTEST) {
        (*(std::function<void()> *)lParam)();
        return 0;
    }
    return CallWindowProcA(pfnAppProc, hWnd, uMsg, wParam, lParam);
}

void OnUiThread(std::function<void()> fn) {
    SendMessageA(AppWindow(), WM_RUNTEST, 0, (LPARAM)&fn);
}

void SnapItems(HTREEITEM hItem, int nDepth, Nodes *pOut) {
    for (; hItem;
         hItem = (HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_NEXT, (LPARAM)hItem)) {
        char szText[1024] = "";
        TVITEMA item;
        ZeroMemory(&item, sizeof(item));
        item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_STATE;
        item.hItem = hItem;
        item.stateMask = TVIS_EXPANDED;
        item.pszText = szText;
        item.cchTextMax = sizeof(szText);
        SendMessageA(hTree, TVM_GETITEMA, 0, (LPARAM)&item);
        pOut->push_back(
            {nDepth, szText, item.iImage, item.iSelectedImage, (item.state & TVIS_EXPANDED) != 0});
        SnapItems((HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_CHILD, (LPARAM)hItem),
                  nDepth + 1, pOut);
    }
}

// The whole tree, read on its own thread (one message there costs far
// less than one sent across threads).
Nodes SnapTree() {
    Nodes nodes;
    OnUiThread([&] {
        SnapItems((HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_ROOT, 0), 0, &nodes);
    });
    return nodes;
}

// An independent walk of the registry: what the tree should show.
void WalkKey(HKEY hKey, int nDepth, Nodes *pOut) {
    std::vector<char> name(16384 + 1);
    for (DWORD i = 0;; i++) {
        DWORD dwLen = (DWORD)name.size();
        if (RegEnumKeyExA(hKey, i, name.data(), &dwLen, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        pOut->push_back({nDepth, name.data(), 0, 1, false});
        HKEY hSub;
        if (RegOpenKeyExA(hKey, name.data(), 0, KEY_READ, &hSub) == ERROR_SUCCESS) {
            WalkKey(hSub, nDepth + 1, pOut);
            RegCloseKey(hSub);
        }
    }
    for (DWORD i = 0;; i++) {
        DWORD dwLen = (DWORD)name.size();
        if (RegEnumValueA(hKey, i, name.data(), &dwLen, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        pOut->push_back({nDepth, name.data(), 2, 2, false});
    }
}

Nodes WalkRegistry() {
    Nodes nodes;
    WalkKey(HKEY_LOCAL_MACHINE, 0, &nodes);
    return nodes;
}

// Index of the item at a path of texts (keys only), or -1.
int FindPath(const Nodes &nodes, const std::vector<std::string> &path) {
    size_t nLevel = 0;
    for (size_t i = 0; i < nodes.size() && nLevel < path.size(); i++) {
        if (nodes[i].nDepth < (int)nLevel)
            return -1; // left the subtree we were in
        if (nodes[i].nDepth == (int)nLevel && nodes[i].nImage == 0 &&
            nodes[i].text == path[nLevel]) {
            if (++nLevel == path.size())
                return (int)i;
        }
    }
    return -1;
}

std::vector<std::string> TestPath(std::initializer_list<const char *> rest) {
    std::vector<std::string> path = {"Software", "CorvaneTest"};
    for (const char *p : rest)
        path.push_back(p);
    return path;
}

// The direct children of the item at a path.
Nodes ChildrenAt(const Nodes &nodes, const std::vector<std::string> &path) {
    Nodes out;
    int n = FindPath(nodes, path);
    if (n < 0)
        return out;
    for (size_t i = n + 1; i < nodes.size() && nodes[i].nDepth > nodes[n].nDepth; i++)
        if (nodes[i].nDepth == nodes[n].nDepth + 1)
            out.push_back(nodes[i]);
    return out;
}

bool TreeHas(const std::vector<std::string> &path) {
    return FindPath(SnapTree(), path) >= 0;
}

bool WaitUntil(std::function<bool()> pred, DWORD ms) {
    DWORD dwStart = GetTickCount();
    while (!pred()) {
        if (GetTickCount() - dwStart > ms)
            return false;
        Sleep(10);
    }
    return true;
}

void MakeKey(const std::string &sub) {
    HKEY hKey;
    std::string path = std::string(TEST_ROOT) + (sub.empty() ? "" : "\\" + sub);
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                              &hKey, NULL),
              ERROR_SUCCESS)
        << path;
    RegCloseKey(hKey);
}

void SetValue(const std::string &sub, const char *lpszName) {
    HKEY hKey;
    std::string path = std::string(TEST_ROOT) + "\\" + sub;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                              &hKey, NULL),
              ERROR_SUCCESS);
    RegSetValueExA(hKey, lpszName, 0, REG_SZ, (const BYTE *)"x", 2);
    RegCloseKey(hKey);
}

void RemoveKey(const std::string &sub) {
    DeleteTree(HKEY_LOCAL_MACHINE, (std::string(TEST_ROOT) + "\\" + sub).c_str());
}

// Fills are counted at their first step, emptying the tree.
typedef LRESULT(WINAPI *SendMessageFn)(HWND, UINT, WPARAM, LPARAM);
SendMessageFn pfnRealSend = NULL;
volatile LONG nFills = 0;
const char *lpszRefuseInsert = NULL; // a folder whose insert fails

LRESULT WINAPI WatchSend(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (hWnd == hTree && uMsg == TVM_DELETEITEM && lParam == (LPARAM)TVI_ROOT)
        InterlockedIncrement(&nFills);
    if (hWnd == hTree && uMsg == TVM_INSERTITEMA && lpszRefuseInsert &&
        lstrcmpA(((TVINSERTSTRUCTA *)lParam)->item.pszText, lpszRefuseInsert) == 0)
        return 0;
    return pfnRealSend(hWnd, uMsg, wParam, lParam);
}

typedef LONG(WINAPI *RegNotifyFn)(HKEY, BOOL, DWORD, HANDLE, BOOL);
RegNotifyFn pfnRealNotify = NULL;
volatile LONG nFailWaits = 0;
DWORD dwWaitTimes[16];
volatile LONG nWaitCalls = 0;

// Counts the watcher's waits, failing the first nFailWaits of them.
LONG WINAPI FlakyNotify(HKEY hKey, BOOL bSubtree, DWORD dwFilter, HANDLE hEvent, BOOL bAsync) {
    LONG n = InterlockedIncrement(&nWaitCalls);
    if (n <= 16)
        dwWaitTimes[n - 1] = GetTickCount();
    if (InterlockedDecrement(&nFailWaits) >= 0)
        return ERROR_NOT_ENOUGH_MEMORY;
    return pfnRealNotify(hKey, bSubtree, dwFilter, hEvent, bAsync);
}

class RegistryTree : public ::testing::Test {
  protected:
    void SetUp() override {
        DeleteTree(HKEY_LOCAL_MACHINE, TEST_ROOT);
        MakeKey("Nested\\Level1\\Level2\\Level3");
        SetValue("Nested\\Level1\\Level2\\Level3", "Deep");
        MakeKey("Empty");
        SetValue("DefaultOnly", "");
        MakeKey("Mixed\\Beta");
        MakeKey("Mixed\\Alpha");
        SetValue("Mixed", "second");
        SetValue("Mixed", "first");
        ASSERT_NE(StartApp(), (HWND)NULL);
        ASSERT_NE(hTree, (HWND)NULL);
        pfnAppProc = (WNDPROC)SetWindowLongPtrA(AppWindow(), GWLP_WNDPROC, (LONG_PTR)RunProc);
        nFills = 0;
        pfnRealSend = (SendMessageFn)Patch("user32.dll", "SendMessageA", (void *)WatchSend);
        ASSERT_NE(pfnRealSend, (SendMessageFn)NULL);
        nFailWaits = 0;
        nWaitCalls = 0;
        pfnRealNotify =
            (RegNotifyFn)Patch("advapi32.dll", "RegNotifyChangeKeyValue", (void *)FlakyNotify);
    }
    // Registry Editor, then wait until the watcher has armed its first
    // wait: a change made before that is not seen.
    void StartWatching() {
        SendCommand(IDM_REGEDIT);
        ASSERT_TRUE(WaitUntil([] { return nWaitCalls >= 1; }, FILL_WAIT));
        Sleep(50);
    }
    void TearDown() override {
        StopApp();
        patches.Clear();
        lpszRefuseInsert = NULL;
        DeleteTree(HKEY_LOCAL_MACHINE, TEST_ROOT);
    }
    void *Patch(const char *lpszDll, const char *lpszFunc, void *pFake) {
        void *pOld = patches.Add(lpszDll, lpszFunc, pFake);
        EXPECT_NE(pOld, nullptr) << lpszFunc;
        return pOld;
    }
    // Fills while nothing else writes the registry, and returns what the
    // registry held; retried if something changed it meanwhile.
    Nodes FillQuietly(WORD wId) {
        for (int nTry = 0;; nTry++) {
            Nodes before = WalkRegistry();
            SendCommand(wId);
            Nodes after = WalkRegistry();
            if (before == after || nTry == 3)
                return after;
        }
    }
    ImportPatches patches;
};

LONG FillCount() {
    return InterlockedCompareExchange(&nFills, 0, 0);
}

// Waits until no fill has started for ms, and at most 15 s.
void WaitForFillsToSettle(DWORD ms) {
    DWORD dwStart = GetTickCount();
    LONG nLast = FillCount();
    DWORD dwQuietSince = GetTickCount();
    while (GetTickCount() - dwQuietSince < ms && GetTickCount() - dwStart < FILL_WAIT) {
        Sleep(20);
        OnUiThread([] {}); // a fill in progress finishes first
        if (FillCount() != nLast) {
            nLast = FillCount();
            dwQuietSince = GetTickCount();
        }
    }
}

} // namespace

TEST_F(RegistryTree, ShowsKeysAsFoldersThenValueNamesAsLeaves) {
    SendCommand(IDM_REGEDIT);
    Nodes tree = SnapTree();
    ASSERT_FALSE(tree.empty());

    // Nested keys each under their parent, the deepest holding its value.
    Nodes deep = ChildrenAt(tree, TestPath({"Nested", "Level1", "Level2", "Level3"}));
    ASSERT_EQ(deep.size(), 1u);
    EXPECT_EQ(deep[0].text, "Deep");
    EXPECT_EQ(deep[0].nImage, 2);
    EXPECT_EQ(deep[0].nSelected, 2);

    // A key with nothing in it: a closed folder with no children (no button).
    int nEmpty = FindPath(tree, TestPath({"Empty"}));
    ASSERT_GE(nEmpty, 0);
    EXPECT_EQ(tree[nEmpty].nImage, 0);
    EXPECT_EQ(tree[nEmpty].nSelected, 1);
    EXPECT_FALSE(tree[nEmpty].bExpanded);
    EXPECT_TRUE(ChildrenAt(tree, TestPath({"Empty"})).empty());

    // Only the unnamed default value: one leaf with empty text.
    Nodes def = ChildrenAt(tree, TestPath({"DefaultOnly"}));
    ASSERT_EQ(def.size(), 1u);
    EXPECT_EQ(def[0].text, "");
    EXPECT_EQ(def[0].nImage, 2);

    // Subkeys first, in the registry's order, then the value names in its order.
    Nodes mixed = ChildrenAt(tree, TestPath({"Mixed"}));
    Nodes expected;
    HKEY hKey;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\CorvaneTest\\Mixed", 0, KEY_READ, &hKey),
              ERROR_SUCCESS);
    Nodes walked;
    WalkKey(hKey, 0, &walked);
    RegCloseKey(hKey);
    for (const Node &n : walked)
        expected.push_back({tree[FindPath(tree, TestPath({"Mixed"}))].nDepth + 1, n.text, n.nImage,
                            n.nSelected, false});
    EXPECT_EQ(mixed, expected);
    ASSERT_EQ(mixed.size(), 4u);
    EXPECT_EQ(mixed[0].nImage, 0);
    EXPECT_EQ(mixed[1].nImage, 0);
    EXPECT_EQ(mixed[2].nImage, 2);
    EXPECT_EQ(mixed[3].nImage, 2);
}

TEST_F(RegistryTree, WholeTreeEqualsAWalkOfTheHiveAllCollapsed) {
    Nodes registry = FillQuietly(IDM_REGEDIT);
    Nodes tree = SnapTree();
    EXPECT_GT(tree.size(), 1000u);
    ASSERT_EQ(tree.size(), registry.size());
    for (size_t i = 0; i < tree.size(); i++)
        ASSERT_EQ(tree[i], registry[i]) << "item " << i;
}

TEST_F(RegistryTree, ResetTwiceGivesTheSameTreeCollapsed) {
    FillQuietly(IDM_RESET);
    Nodes first = SnapTree();
    // Open a few folders; the next fill starts afresh.
    OnUiThread([] {
        HTREEITEM hItem = (HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_ROOT, 0);
        for (; hItem;
             hItem = (HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_NEXT, (LPARAM)hItem))
            SendMessageA(hTree, TVM_EXPAND, TVE_EXPAND, (LPARAM)hItem);
    });
    Nodes opened = SnapTree();
    ASSERT_TRUE(opened[0].bExpanded);
    FillQuietly(IDM_RESET);
    Nodes second = SnapTree();
    EXPECT_EQ(first, second);
    EXPECT_EQ(FillCount(), 2);
}

// ---- Keys that cannot be read, and turns that fail ----

typedef LONG(WINAPI *RegOpenKeyExFn)(HKEY, LPCSTR, DWORD, REGSAM, PHKEY);
typedef LONG(WINAPI *RegQueryInfoKeyFn)(HKEY, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                                        LPDWORD, LPDWORD, LPDWORD, LPDWORD, PFILETIME);
typedef LONG(WINAPI *RegEnumKeyExFn)(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPSTR, LPDWORD,
                                     PFILETIME);
RegOpenKeyExFn pfnRealOpen = NULL;
RegQueryInfoKeyFn pfnRealQueryInfo = NULL;
RegEnumKeyExFn pfnRealEnumKey = NULL;
volatile LONG nOpenNotRead = 0; // opens asking for more than reading
HKEY volatile hNoInfoKey = NULL;
volatile LONG nEnumCalls = 0;
volatile LONG bGrowPending = 0;

LONG WINAPI FakeOpen(HKEY hKey, LPCSTR lpszSub, DWORD dwOptions, REGSAM sam, PHKEY phResult) {
    if (sam != KEY_READ)
        InterlockedIncrement(&nOpenNotRead);
    if (lpszSub && lstrcmpA(lpszSub, "Locked") == 0)
        return ERROR_ACCESS_DENIED;
    LONG lResult = pfnRealOpen(hKey, lpszSub, dwOptions, sam, phResult);
    if (lResult == ERROR_SUCCESS && lpszSub && lstrcmpA(lpszSub, "NoInfo") == 0)
        hNoInfoKey = *phResult;
    return lResult;
}

LONG WINAPI FakeQueryInfo(HKEY hKey, LPSTR a, LPDWORD b, LPDWORD c, LPDWORD d, LPDWORD e, LPDWORD f,
                          LPDWORD g, LPDWORD h, LPDWORD i, LPDWORD j, PFILETIME k) {
    // Once only: the handle value is reused by later opens.
    if (hKey && InterlockedCompareExchangePointer((PVOID *)&hNoInfoKey, NULL, hKey) == hKey)
        return ERROR_OUTOFMEMORY;
    return pfnRealQueryInfo(hKey, a, b, c, d, e, f, g, h, i, j, k);
}

// "Poison" fails as a deleted key does, for good; "Grow" claims once to
// need a bigger buffer.
LONG WINAPI FakeEnumKey(HKEY hKey, DWORD dwIndex, LPSTR lpszName, LPDWORD pdwLen, LPDWORD r,
                        LPSTR c, LPDWORD pc, PFILETIME t) {
    InterlockedIncrement(&nEnumCalls);
    LONG lResult = pfnRealEnumKey(hKey, dwIndex, lpszName, pdwLen, r, c, pc, t);
    if (lResult == ERROR_SUCCESS && lstrcmpA(lpszName, "Poison") == 0) {
        lstrcpyA(lpszName, "junk");
        return ERROR_KEY_DELETED;
    }
    if (lResult == ERROR_SUCCESS && lstrcmpA(lpszName, "Grow") == 0 &&
        InterlockedExchange(&bGrowPending, 0))
        return ERROR_MORE_DATA;
    return lResult;
}

TEST_F(RegistryTree, UnreadableKeysAreChildlessFoldersAndTheWalkGoesOn) {
    MakeKey("Access\\A_Locked_Before");
    MakeKey("Access\\Locked\\Hidden");
    MakeKey("Access\\NoInfo\\Hidden");
    MakeKey("Access\\Z_After\\Child");
    pfnRealOpen = (RegOpenKeyExFn)Patch("advapi32.dll", "RegOpenKeyExA", (void *)FakeOpen);
    pfnRealQueryInfo =
        (RegQueryInfoKeyFn)Patch("advapi32.dll", "RegQueryInfoKeyA", (void *)FakeQueryInfo);
    nOpenNotRead = 0;
    SendCommand(IDM_REGEDIT);
    Nodes tree = SnapTree();

    EXPECT_EQ(nOpenNotRead, 0) << "keys are opened for reading only";
    ASSERT_GE(FindPath(tree, TestPath({"Access", "Locked"})), 0);
    EXPECT_TRUE(ChildrenAt(tree, TestPath({"Access", "Locked"})).empty());
    ASSERT_GE(FindPath(tree, TestPath({"Access", "NoInfo"})), 0);
    EXPECT_TRUE(ChildrenAt(tree, TestPath({"Access", "NoInfo"})).empty());
    EXPECT_GE(FindPath(tree, TestPath({"Access", "Z_After", "Child"})), 0);
    EXPECT_GE(FindPath(tree, TestPath({"Mixed", "Beta"})), 0);
}

TEST_F(RegistryTree, FailedTurnEndsThePassAndGrownNamesAreRetried) {
    MakeKey("Turns\\A_First");
    MakeKey("Turns\\Grow\\Inner");
    MakeKey("Turns\\Poison\\Inner");
    MakeKey("Turns\\Z_Last");
    SetValue("Turns", "value");
    pfnRealEnumKey = (RegEnumKeyExFn)Patch("advapi32.dll", "RegEnumKeyExA", (void *)FakeEnumKey);
    bGrowPending = 1;
    nEnumCalls = 0;
    SendCommand(IDM_REGEDIT);
    Nodes tree = SnapTree();

    EXPECT_EQ(bGrowPending, 0);
    Nodes turns = ChildrenAt(tree, TestPath({"Turns"}));
    std::vector<std::string> texts;
    for (const Node &n : turns)
        texts.push_back(n.text);
    // Grow once, with its subtree; nothing for the failed turn or after it
    // in that pass; the value pass and the rest of the hive still run.
    EXPECT_EQ(texts, (std::vector<std::string>{"A_First", "Grow", "value"}));
    EXPECT_GE(FindPath(tree, TestPath({"Turns", "Grow", "Inner"})), 0);
    EXPECT_GE(FindPath(tree, TestPath({"Mixed", "Beta"})), 0);
    for (const Node &n : tree)
        EXPECT_NE(n.text, "junk");
    EXPECT_LT(nEnumCalls, 200000);
}

TEST_F(RegistryTree, FolderThatCannotBeInsertedTakesItsSubtreeWithIt) {
    MakeKey("Refused\\Child\\Grandchild");
    SetValue("Refused", "leaf");
    lpszRefuseInsert = "Refused";
    SendCommand(IDM_REGEDIT);
    Nodes tree = SnapTree();
    for (const Node &n : tree) {
        EXPECT_NE(n.text, "Refused");
        EXPECT_NE(n.text, "Grandchild");
        EXPECT_NE(n.text, "leaf");
    }
    EXPECT_GE(FindPath(tree, TestPath({"Mixed", "Beta"})), 0);
}

// ---- The watcher ----

TEST_F(RegistryTree, BeforeAnyRegistryCommandANewKeyLeavesTheTreeEmpty) {
    MakeKey("Early");
    Pump(300); // a running watcher would react within milliseconds
    EXPECT_TRUE(SnapTree().empty());
    EXPECT_EQ(FillCount(), 0);
}

TEST_F(RegistryTree, KeyCreatedOrDeletedAtDepthRebuildsTheTreeCollapsed) {
    StartWatching();
    auto deep = TestPath({"Nested", "Level1", "Level2", "Level3", "New"});
    EXPECT_FALSE(TreeHas(deep));
    OnUiThread([] {
        HTREEITEM hItem = (HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_ROOT, 0);
        SendMessageA(hTree, TVM_EXPAND, TVE_EXPAND, (LPARAM)hItem);
    });

    MakeKey("Nested\\Level1\\Level2\\Level3\\New");
    ASSERT_TRUE(WaitUntil([&] { return TreeHas(deep); }, FILL_WAIT));
    for (const Node &n : SnapTree())
        ASSERT_FALSE(n.bExpanded) << n;

    LONG nBefore = FillCount();
    RemoveKey("Nested\\Level1\\Level2\\Level3\\New");
    ASSERT_TRUE(WaitUntil([&] { return !TreeHas(deep); }, FILL_WAIT));
    EXPECT_GT(FillCount(), nBefore);
    EXPECT_GE(FindPath(SnapTree(), TestPath({"Nested", "Level1", "Level2", "Level3"})), 0);
}

TEST_F(RegistryTree, NewValueDoesNotRefillButShowsAfterReset) {
    StartWatching();
    // The watcher is running: a key change is seen.
    MakeKey("Probe");
    ASSERT_TRUE(WaitUntil([] { return TreeHas(TestPath({"Probe"})); }, FILL_WAIT));
    WaitForFillsToSettle(300);
    LONG nBefore = FillCount();

    SetValue("Empty", "Added");
    Pump(500);
    EXPECT_EQ(FillCount(), nBefore);
    EXPECT_TRUE(ChildrenAt(SnapTree(), TestPath({"Empty"})).empty());

    SendCommand(IDM_RESET);
    Nodes shown = ChildrenAt(SnapTree(), TestPath({"Empty"}));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "Added");
}

DWORD CountThreads() {
    DWORD dwCount = 0;
    HANDLE hSnap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 te;
    te.dwSize = sizeof(te);
    for (BOOL b = Thread32First(hSnap, &te); b; b = Thread32Next(hSnap, &te))
        if (te.th32OwnerProcessID == GetCurrentProcessId())
            dwCount++;
    CloseHandle(hSnap);
    return dwCount;
}

TEST_F(RegistryTree, RegistryEditorAgainRefillsOnceAndStartsNoSecondWatcher) {
    StartWatching();
    MakeKey("Probe");
    ASSERT_TRUE(WaitUntil([] { return TreeHas(TestPath({"Probe"})); }, FILL_WAIT));
    WaitForFillsToSettle(300);
    DWORD dwThreads = CountThreads();
    LONG nBefore = FillCount();

    SendCommand(IDM_REGEDIT);
    EXPECT_EQ(FillCount(), nBefore + 1);
    EXPECT_EQ(CountThreads(), dwThreads);

    // One key change: one refill, so one watcher.
    MakeKey("Probe2");
    ASSERT_TRUE(WaitUntil([] { return TreeHas(TestPath({"Probe2"})); }, FILL_WAIT));
    WaitForFillsToSettle(500);
    EXPECT_EQ(FillCount(), nBefore + 2);
}

TEST_F(RegistryTree, FailingChangeWaitBacksOffAndKeepsTrying) {
    nFailWaits = 4;
    nWaitCalls = 0;
    SendCommand(IDM_REGEDIT);
    ASSERT_TRUE(WaitUntil([] { return nWaitCalls >= 5; }, FILL_WAIT));
    // Four failures in a row: pauses, each longer than the one before.
    DWORD dwFirst = dwWaitTimes[1] - dwWaitTimes[0];
    DWORD dwLast = dwWaitTimes[4] - dwWaitTimes[3];
    EXPECT_GE(dwFirst, 30u);
    EXPECT_GT(dwLast, dwFirst);
    // The fifth wait works: key changes refill again.
    Sleep(50);
    MakeKey("AfterFailures");
    EXPECT_TRUE(WaitUntil([] { return TreeHas(TestPath({"AfterFailures"})); }, FILL_WAIT));
}

// Creates and deletes keys under the test root until told to stop.
volatile LONG bChurn = 0;
DWORD WINAPI ChurnThread(LPVOID) {
    for (unsigned n = 0; InterlockedCompareExchange(&bChurn, 0, 0); n++) {
        char szPath[128];
        snprintf(szPath, sizeof(szPath), "%s\\Churn\\K%u\\Sub", TEST_ROOT, n % 7);
        HKEY hKey;
        if (n % 3 == 2) {
            snprintf(szPath, sizeof(szPath), "%s\\Churn\\K%u", TEST_ROOT, (n * 5) % 7);
            DeleteTree(HKEY_LOCAL_MACHINE, szPath);
        } else if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, szPath, 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                                   &hKey, NULL) == ERROR_SUCCESS) {
            RegSetValueExA(hKey, "v", 0, REG_SZ, (const BYTE *)"x", 2);
            RegCloseKey(hKey);
        }
        Sleep(n % 4);
    }
    return 0;
}

TEST_F(RegistryTree, KeysChurningDuringRefillsEndWithTheTreeMatchingTheRegistry) {
    StartWatching();
    InterlockedExchange(&bChurn, 1);
    HANDLE hChurn = CreateThread(NULL, 0, ChurnThread, NULL, 0, NULL);
    DWORD dwStart = GetTickCount();
    while (GetTickCount() - dwStart < 3000) {
        PostCommand(IDM_RESET); // command fills mixed with the watcher's
        Sleep(1000);
    }
    InterlockedExchange(&bChurn, 0);
    ASSERT_EQ(WaitForSingleObject(hChurn, 10000), (DWORD)WAIT_OBJECT_0);
    CloseHandle(hChurn);

    // A change made while a refill runs shows at the next one: make one
    // more once things are quiet, then the tree must match the registry.
    WaitForFillsToSettle(400);
    EXPECT_GE(FillCount(), 4); // the first command and three resets
    EXPECT_GE(nWaitCalls, 2);  // and the watcher refilled at least once
    MakeKey("Marker");
    ASSERT_TRUE(WaitUntil([] { return TreeHas(TestPath({"Marker"})); }, FILL_WAIT));
    WaitForFillsToSettle(400);
    Nodes registry = WalkRegistry();
    Nodes tree = SnapTree();
    ASSERT_EQ(tree.size(), registry.size());
    for (size_t i = 0; i < tree.size(); i++)
        ASSERT_EQ(tree[i], registry[i]) << "item " << i;
}
