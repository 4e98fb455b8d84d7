// The registry tree and its watcher, against real keys in the test prefix.
// Every wait ends on what it waits for (a fill done, the watcher armed and
// quiet, a thread ended); the time limits only guard against hangs.
#include "harness.h"
#include "registry/reader.h"
#include "registry/observe.h"
#include "registry/parts.h"
#include "registry/plan.h"
#include "registry/records.h"
#include "registry/writer.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

const char *const TEST_ROOT = "Software\\CorvaneTest";
// The tree shows the 64-bit view; so do the tests' own walks and writes.
const REGSAM VIEW = KEY_WOW64_64KEY;

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

// Read as wide text, so a name mangled on its way in cannot pass.
void SnapItems(HTREEITEM hItem, int nDepth, Nodes *pOut) {
    for (; hItem;
         hItem = (HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_NEXT, (LPARAM)hItem)) {
        wchar_t szText[1024] = L"";
        TVITEMW item = {};
        item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_STATE;
        item.hItem = hItem;
        item.stateMask = TVIS_EXPANDED;
        item.pszText = szText;
        item.cchTextMax = ARRAYSIZE(szText);
        SendMessageW(hTree, TVM_GETITEMW, 0, (LPARAM)&item);
        pOut->push_back({nDepth, Utf8(szText), item.iImage, item.iSelectedImage,
                         (item.state & TVIS_EXPANDED) != 0});
        SnapItems((HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_CHILD, (LPARAM)hItem),
                  nDepth + 1, pOut);
    }
}

Nodes SnapTree() {
    Nodes nodes;
    OnUiThread([&] {
        SnapItems((HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_ROOT, 0), 0, &nodes);
    });
    return nodes;
}

// The key's real name, after links, as the registry reports it.
std::wstring RealName(HKEY hKey) {
    typedef LONG(NTAPI * NtQueryKeyFn)(HANDLE, int, PVOID, ULONG, PULONG);
    static NtQueryKeyFn pfnQuery =
        (NtQueryKeyFn)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryKey");
    std::vector<BYTE> info(65536);
    ULONG cb = 0;
    if (pfnQuery(hKey, 3 /* KeyNameInformation */, info.data(), (ULONG)info.size(), &cb) < 0)
        return L"";
    return std::wstring((const wchar_t *)(info.data() + sizeof(ULONG)),
                        *(ULONG *)info.data() / sizeof(wchar_t));
}

// A name as the tree shows it: a NUL in it as U+2400, in UTF-8.
std::string Shown(std::wstring name) {
    for (wchar_t &c : name)
        c = c ? c : L'\x2400';
    return Utf8(name.c_str());
}

// An independent walk of the registry, in wide names: what the tree should
// show. A key with subkeys that was reached through a link that leads back
// to its own path, or that links led to more often than its share, is a
// folder with nothing in it.
struct WalkState {
    std::vector<std::wstring> path;     // real names, from the top down
    std::map<std::wstring, int> linked; // readings of keys that links led to
};
void WalkKey(HKEY hKey, int nDepth, const std::wstring &openedAs, WalkState *pState, Nodes *pOut) {
    DWORD dwSubKeys = 0;
    RegQueryInfoKeyW(hKey, NULL, NULL, NULL, &dwSubKeys, NULL, NULL, NULL, NULL, NULL, NULL, NULL);
    std::wstring real = nDepth == 0 ? L"\\REGISTRY\\MACHINE" : RealName(hKey);
    if (dwSubKeys > 0 && nDepth > 0) {
        for (const std::wstring &above : pState->path)
            if (CompareStringOrdinal(above.data(), (int)above.size(), real.data(), (int)real.size(),
                                     TRUE) == CSTR_EQUAL)
                return;
        std::wstring byName = pState->path.back() + L"\\" + openedAs;
        if (CompareStringOrdinal(byName.data(), (int)byName.size(), real.data(), (int)real.size(),
                                 TRUE) != CSTR_EQUAL &&
            ++pState->linked[real] > MAX_LINKED_VISITS)
            return;
    }
    pState->path.push_back(real);
    // Read last to first, as the tree's walk does: which readings links
    // still get depends on that order.
    std::vector<wchar_t> name(16384 + 1);
    std::vector<std::wstring> subkeys;
    for (DWORD i = 0;; i++) {
        DWORD dwLen = (DWORD)name.size();
        if (RegEnumKeyExW(hKey, i, name.data(), &dwLen, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        subkeys.push_back(std::wstring(name.data(), dwLen));
    }
    std::vector<Nodes> subtrees(subkeys.size());
    for (size_t i = subkeys.size(); i-- > 0;) {
        HKEY hSub = nDepth + 1 < MAX_TREE_DEPTH ? OpenKeyNt(hKey, subkeys[i], KEY_READ) : NULL;
        if (hSub) {
            WalkKey(hSub, nDepth + 1, subkeys[i], pState, &subtrees[i]);
            RegCloseKey(hSub);
        }
    }
    for (size_t i = 0; i < subkeys.size(); i++) {
        pOut->push_back({nDepth, Shown(subkeys[i]), 0, 1, false});
        pOut->insert(pOut->end(), subtrees[i].begin(), subtrees[i].end());
    }
    for (DWORD i = 0;; i++) {
        DWORD dwLen = (DWORD)name.size();
        if (RegEnumValueW(hKey, i, name.data(), &dwLen, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        pOut->push_back({nDepth, Shown(std::wstring(name.data(), dwLen)), 2, 2, false});
    }
    pState->path.pop_back();
}

Nodes WalkRegistry() {
    Nodes nodes;
    WalkState state;
    HKEY hHive = OpenKeyNt(NULL, L"\\Registry\\Machine", KEY_READ);
    EXPECT_NE(hHive, (HKEY)NULL);
    WalkKey(hHive, 0, L"", &state, &nodes);
    RegCloseKey(hHive);
    return nodes;
}

void ExpectSameTree(const Nodes &tree, const Nodes &registry) {
    ASSERT_EQ(tree.size(), registry.size());
    for (size_t i = 0; i < tree.size(); i++)
        ASSERT_EQ(tree[i], registry[i]) << "item " << i;
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

std::vector<std::string> TestPath(std::initializer_list<std::string> rest) {
    std::vector<std::string> path = {"Software", "CorvaneTest"};
    path.insert(path.end(), rest.begin(), rest.end());
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

std::vector<std::string> Texts(const Nodes &nodes) {
    std::vector<std::string> texts;
    for (const Node &n : nodes)
        texts.push_back(n.text);
    return texts;
}

// No fill running or due, and the watcher armed with no change unreported.
bool WaitSettled() {
    return WaitFor([] {
        BOOL bSettled = FALSE;
        OnUiThread([&] { bSettled = TreeSettled(); });
        return bSettled != FALSE;
    });
}

HKEY CreateKey(const std::string &sub) {
    HKEY hKey = NULL;
    std::string path = std::string(TEST_ROOT) + (sub.empty() ? "" : "\\" + sub);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS | VIEW,
                              NULL, &hKey, NULL),
              ERROR_SUCCESS)
        << path;
    return hKey;
}

void MakeKey(const std::string &sub) {
    if (HKEY hKey = CreateKey(sub))
        RegCloseKey(hKey);
}

void SetValue(const std::string &sub, const char *lpszName) {
    if (HKEY hKey = CreateKey(sub)) {
        RegSetValueExA(hKey, lpszName, 0, REG_SZ, (const BYTE *)"x", 2);
        RegCloseKey(hKey);
    }
}

// Names as the registry counts them: Win32 calls stop at the NUL.
const std::wstring HIDDEN(L"Hid\0den", 7), HIDDEN_VALUE(L"val\0ue", 6);
const std::string HIDDEN_SHOWN = Utf8(L"Hid\x2400"
                                      L"den");

// The keys of a path of such names under the test root, each made under
// the one before: the last, open.
HKEY CreatePathNt(std::initializer_list<std::wstring> path) {
    HKEY hKey = CreateKey("");
    for (const std::wstring &name : path) {
        HKEY hSub = hKey ? CreateKeyNt(hKey, name) : NULL;
        if (hKey)
            RegCloseKey(hKey);
        hKey = hSub;
    }
    EXPECT_NE(hKey, (HKEY)NULL);
    return hKey;
}

void RemoveKey(const std::string &sub) {
    DeleteTree(HKEY_LOCAL_MACHINE, (std::string(TEST_ROOT) + "\\" + sub).c_str());
}

// Registry links under the test root, each with its target there. A plain
// delete follows a link, and a tree delete would empty its target, so links
// go first, each opened as the link itself.
const char *const LINKS[][2] = {
    {"Loop\\Back", "Loop"},  // back to its parent
    {"Far\\X\\Up\\Top", ""}, // back to the test root, four levels up
    {"Twin\\A", "Twin"},     // two links back to their own key
    {"Twin\\B", "Twin"},
    {"Links\\ToSibling", "Links\\Sibling"}, // to another key: followed
    // Two links to the next key at every level: 2^12 paths to the last.
    {"Chain\\N00\\A", "Chain\\N01"},
    {"Chain\\N00\\B", "Chain\\N01"},
    {"Chain\\N01\\A", "Chain\\N02"},
    {"Chain\\N01\\B", "Chain\\N02"},
    {"Chain\\N02\\A", "Chain\\N03"},
    {"Chain\\N02\\B", "Chain\\N03"},
    {"Chain\\N03\\A", "Chain\\N04"},
    {"Chain\\N03\\B", "Chain\\N04"},
    {"Chain\\N04\\A", "Chain\\N05"},
    {"Chain\\N04\\B", "Chain\\N05"},
    {"Chain\\N05\\A", "Chain\\N06"},
    {"Chain\\N05\\B", "Chain\\N06"},
    {"Chain\\N06\\A", "Chain\\N07"},
    {"Chain\\N06\\B", "Chain\\N07"},
    {"Chain\\N07\\A", "Chain\\N08"},
    {"Chain\\N07\\B", "Chain\\N08"},
    {"Chain\\N08\\A", "Chain\\N09"},
    {"Chain\\N08\\B", "Chain\\N09"},
    {"Chain\\N09\\A", "Chain\\N10"},
    {"Chain\\N09\\B", "Chain\\N10"},
    {"Chain\\N10\\A", "Chain\\N11"},
    {"Chain\\N10\\B", "Chain\\N11"},
    {"Chain\\N11\\A", "Chain\\N12"},
    {"Chain\\N11\\B", "Chain\\N12"},
};

std::wstring TestKeyW(const char *lpszSub) {
    std::string path = std::string(TEST_ROOT) + (*lpszSub ? "\\" : "") + lpszSub;
    return std::wstring(path.begin(), path.end());
}

bool MakeLink(const char *lpszLink, const char *lpszTarget) {
    std::wstring target = L"\\Registry\\Machine\\" + TestKeyW(lpszTarget);
    HKEY hKey;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, TestKeyW(lpszLink).c_str(), 0, NULL,
                        REG_OPTION_CREATE_LINK | REG_OPTION_VOLATILE, KEY_ALL_ACCESS | VIEW, NULL,
                        &hKey, NULL) != 0)
        return false;
    LONG lResult =
        RegSetValueExW(hKey, L"SymbolicLinkValue", 0, REG_LINK, (const BYTE *)target.c_str(),
                       (DWORD)(target.size() * sizeof(wchar_t)));
    RegCloseKey(hKey);
    return lResult == ERROR_SUCCESS;
}

void DeleteLinks() {
    FARPROC pfnDelete = GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDeleteKey");
    for (const auto &link : LINKS) {
        HKEY hKey;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TestKeyW(link[0]).c_str(), REG_OPTION_OPEN_LINK,
                          DELETE | VIEW, &hKey) == ERROR_SUCCESS) {
            ((LONG(NTAPI *)(HANDLE))(void *)pfnDelete)(hKey);
            RegCloseKey(hKey);
        }
    }
}

// Fills, and updates of many items, are counted as they start, by turning
// the tree's redraw off.
typedef LRESULT(WINAPI *SendMessageFn)(HWND, UINT, WPARAM, LPARAM);
SendMessageFn pfnRealSend = NULL;
volatile LONG nFills = 0;
const char *lpszRefuseInsert = NULL; // a folder whose insert fails
// Inserts that Windows' tree view would pay for with a walk of every child
// the parent already has; frees, in the order Windows' tree view is emptied
// in, that would walk more than a few children of the item's chain to find
// it; and messages that name an item that is gone (Wine refuses them; on
// Windows they read and write freed memory).
volatile LONG nWalkingInserts = 0, nWalkingFrees = 0, nFrees = 0, nDeadHandles = 0;
volatile LONG nTreeMessages = 0;

// The name an insert gives the tree: its text, or where the tree will ask
// for it.
std::string InsertedName(const TVINSERTSTRUCTW *pIns) {
    if (pIns->item.pszText != LPSTR_TEXTCALLBACKW)
        return Utf8(pIns->item.pszText);
    char16_t szName[MAX_NAME_UNITS + 1];
    DecodeName((const unsigned char *)pIns->item.lParam, szName, ARRAYSIZE(szName), true);
    return Utf8((const wchar_t *)szName);
}

// The items a message names, as handles the tree must know.
std::vector<HTREEITEM> ItemsNamed(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    HTREEITEM h = (HTREEITEM)lParam;
    switch (uMsg) {
    case TVM_EXPAND: return {h};
    case TVM_DELETEITEM: return {h == TVI_ROOT ? NULL : h};
    case TVM_SELECTITEM: return {h};
    case TVM_GETNEXTITEM: return {wParam == TVGN_ROOT || wParam == TVGN_CARET ? NULL : h};
    case TVM_GETITEMW:
    case TVM_SETITEMW: return {((const TVITEMW *)lParam)->hItem};
    case TVM_INSERTITEMW: {
        const TVINSERTSTRUCTW *pIns = (const TVINSERTSTRUCTW *)lParam;
        HTREEITEM hAfter = pIns->hInsertAfter;
        bool bPlace = hAfter == TVI_FIRST || hAfter == TVI_LAST || hAfter == TVI_SORT;
        return {pIns->hParent == TVI_ROOT ? NULL : pIns->hParent, bPlace ? NULL : hAfter};
    }
    default: return {};
    }
}

void CountDeadItems(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    for (HTREEITEM h : ItemsNamed(uMsg, wParam, lParam)) {
        TVITEMW item = {};
        item.mask = TVIF_HANDLE;
        item.hItem = h;
        if (h && !pfnRealSend(hTree, TVM_GETITEMW, 0, (LPARAM)&item))
            InterlockedIncrement(&nDeadHandles);
    }
}

LRESULT WINAPI WatchSend(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (hWnd == hTree)
        InterlockedIncrement(&nTreeMessages);
    if (hWnd == hTree)
        CountDeadItems(uMsg, wParam, lParam);
    if (hWnd == hTree && uMsg == WM_SETREDRAW && !wParam)
        InterlockedIncrement(&nFills);
    if (hWnd == hTree && uMsg == TVM_INSERTITEMW) {
        const TVINSERTSTRUCTW *pIns = (const TVINSERTSTRUCTW *)lParam;
        BOOL bTop = pIns->hParent == TVI_ROOT || pIns->hParent == NULL;
        if ((pIns->hInsertAfter == TVI_LAST || pIns->hInsertAfter == TVI_SORT) &&
            pfnRealSend(hTree, TVM_GETNEXTITEM, bTop ? TVGN_ROOT : TVGN_CHILD,
                        bTop ? 0 : (LPARAM)pIns->hParent))
            InterlockedIncrement(&nWalkingInserts);
    }
    if (hWnd == hTree && uMsg == TVM_INSERTITEMW && lpszRefuseInsert &&
        InsertedName((const TVINSERTSTRUCTW *)lParam) == lpszRefuseInsert)
        return 0;
    if (hWnd == hTree && uMsg == TVM_DELETEITEM && lParam != (LPARAM)TVI_ROOT && !bWineTreeView) {
        InterlockedIncrement(&nFrees);
        LPARAM hBefore = lParam;
        for (int i = 0; i < 3 && hBefore; i++)
            hBefore = pfnRealSend(hTree, TVM_GETNEXTITEM, TVGN_PREVIOUS, hBefore);
        if (hBefore)
            InterlockedIncrement(&nWalkingFrees);
    }
    return pfnRealSend(hWnd, uMsg, wParam, lParam);
}

LONG FillCount() {
    return InterlockedCompareExchange(&nFills, 0, 0);
}

LONG FillsDone() {
    return InterlockedCompareExchange(&nFillsDone, 0, 0);
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

// ---- Keys that cannot be read, turns that fail, and a walker held still ----

typedef NTSTATUS(NTAPI *NtOpenKeyFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
typedef LONG(WINAPI *RegQueryInfoKeyFn)(HKEY, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                                        LPDWORD, LPDWORD, LPDWORD, LPDWORD, PFILETIME);
typedef LONG(WINAPI *RegEnumKeyExFn)(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPWSTR, LPDWORD,
                                     PFILETIME);
NtOpenKeyFn pfnRealOpen = NULL;
RegQueryInfoKeyFn pfnRealQueryInfo = NULL;
RegEnumKeyExFn pfnRealEnumKey = NULL;
volatile LONG nOpenNotRead = 0; // opens asking for more than reading
volatile LONG nOpens = 0;
HKEY volatile hNoInfoKey = NULL;
volatile LONG nEnumCalls = 0;
volatile LONG bGrowPending = 0;
volatile LONG bHoldArmed = 0;       // the next open of "Hold" waits
HANDLE hHoldReached, hHoldReleased; // ... telling the test, until released

// Keys are opened by their counted names, one level at a time.
NTSTATUS NTAPI FakeOpen(PHANDLE phResult, ACCESS_MASK access, POBJECT_ATTRIBUTES pAttr) {
    InterlockedIncrement(&nOpens);
    if ((access & ~VIEW) != KEY_READ)
        InterlockedIncrement(&nOpenNotRead);
    const UNICODE_STRING *pName = pAttr->ObjectName;
    std::wstring name(pName->Buffer, pName->Length / sizeof(wchar_t));
    if (name == L"Locked")
        return (NTSTATUS)0xC0000022; // STATUS_ACCESS_DENIED
    if (name == L"Hold" && InterlockedExchange(&bHoldArmed, 0)) {
        SetEvent(hHoldReached);
        WaitForSingleObject(hHoldReleased, HANG_GUARD);
    }
    NTSTATUS lStatus = pfnRealOpen(phResult, access, pAttr);
    if (lStatus >= 0 && name == L"NoInfo")
        hNoInfoKey = (HKEY)*phResult;
    return lStatus;
}

LONG WINAPI FakeQueryInfo(HKEY hKey, LPWSTR a, LPDWORD b, LPDWORD c, LPDWORD d, LPDWORD e,
                          LPDWORD f, LPDWORD g, LPDWORD h, LPDWORD i, LPDWORD j, PFILETIME k) {
    // Once only: the handle value is reused by later opens.
    if (hKey && InterlockedCompareExchangePointer((PVOID *)&hNoInfoKey, NULL, hKey) == hKey)
        return ERROR_OUTOFMEMORY;
    return pfnRealQueryInfo(hKey, a, b, c, d, e, f, g, h, i, j, k);
}

// "Poison" fails with junk in the buffer; at "Gone" the key seems deleted
// from under the walk; "Grow" claims once to need a bigger buffer.
LONG WINAPI FakeEnumKey(HKEY hKey, DWORD dwIndex, LPWSTR lpszName, LPDWORD pdwLen, LPDWORD r,
                        LPWSTR c, LPDWORD pc, PFILETIME t) {
    InterlockedIncrement(&nEnumCalls);
    LONG lResult = pfnRealEnumKey(hKey, dwIndex, lpszName, pdwLen, r, c, pc, t);
    if (lResult == ERROR_SUCCESS && lstrcmpW(lpszName, L"Poison") == 0) {
        lstrcpyW(lpszName, L"junk");
        return ERROR_INVALID_DATA;
    }
    if (lResult == ERROR_SUCCESS && lstrcmpW(lpszName, L"Gone") == 0) {
        lstrcpyW(lpszName, L"junk");
        return ERROR_KEY_DELETED;
    }
    if (lResult == ERROR_SUCCESS && lstrcmpW(lpszName, L"Grow") == 0 &&
        InterlockedExchange(&bGrowPending, 0))
        return ERROR_MORE_DATA;
    return lResult;
}

// The walker threads started while a test watches.
typedef HANDLE(WINAPI *CreateThreadFn)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE,
                                       LPVOID, DWORD, LPDWORD);
CreateThreadFn pfnRealCreateThread = NULL;
HANDLE volatile hLastThread = NULL;

HANDLE WINAPI WatchCreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T cb, LPTHREAD_START_ROUTINE fn,
                                LPVOID p, DWORD dwFlags, LPDWORD pdwId) {
    HANDLE hThread = pfnRealCreateThread(sa, cb, fn, p, dwFlags, pdwId);
    HANDLE hCopy = NULL;
    if (hThread)
        DuplicateHandle(GetCurrentProcess(), hThread, GetCurrentProcess(), &hCopy, SYNCHRONIZE,
                        FALSE, 0);
    if (HANDLE hOld = InterlockedExchangePointer((PVOID *)&hLastThread, hCopy))
        CloseHandle(hOld);
    return hThread;
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

class RegistryTree : public ::testing::Test {
  protected:
    void SetUp() override {
        DeleteLinks();
        DeleteTree(HKEY_LOCAL_MACHINE, TEST_ROOT);
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "Software\\CorvaneTestTop", VIEW, 0);
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
        // Emptied as on Windows, where what each free costs is counted here.
        OnUiThread([] { bWineTreeView = FALSE; });
        nFills = 0;
        nWalkingInserts = nWalkingFrees = nFrees = nDeadHandles = 0;
        pfnRealSend = Patch("user32.dll", "SendMessageW", WatchSend);
        nFailWaits = 0;
        nWaitCalls = 0;
        pfnRealNotify = Patch("advapi32.dll", "RegNotifyChangeKeyValue", FlakyNotify);
        pfnRealOpen = Patch("ntdll.dll", "NtOpenKey", FakeOpen);
        bHoldArmed = 0;
        hHoldReached = CreateEventA(NULL, TRUE, FALSE, NULL);
        hHoldReleased = CreateEventA(NULL, TRUE, FALSE, NULL);
    }
    void TearDown() override {
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "Software\\CorvaneTestTop", VIEW, 0);
        // Every insert of every fill goes first, or after a known item; every
        // item freed heads its chain, or nearly; and every item a message
        // names is there.
        EXPECT_EQ(nWalkingInserts, 0);
        EXPECT_EQ(nWalkingFrees, 0);
        EXPECT_EQ(nDeadHandles, 0);
        if (hHoldReleased)
            SetEvent(hHoldReleased);
        StopApp();
        DeleteLinks();
        patches.Clear();
        lpszRefuseInsert = NULL;
        CloseHandle(hHoldReached);
        CloseHandle(hHoldReleased);
        if (hLastThread)
            CloseHandle(hLastThread);
        hLastThread = NULL;
        DeleteTree(HKEY_LOCAL_MACHINE, TEST_ROOT);
    }
    template <class Fn> Fn Patch(const char *lpszDll, const char *lpszFunc, Fn pFake) {
        Fn pOld = patches.Add(lpszDll, lpszFunc, pFake);
        EXPECT_NE((void *)pOld, nullptr) << lpszFunc;
        return pOld;
    }
    // Registry Editor, and the watcher armed with nothing to do.
    void StartWatching() {
        SendCommand(IDM_REGEDIT);
        ASSERT_TRUE(WaitSettled());
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
    // A key change: only its part is read again and only what differs is
    // sent, with no whole refill and a few tree messages, and the tree is
    // what a rebuild gives, item for item, collapsed, nothing selected, the
    // first item at the top. The first item is then opened and selected
    // again by hand, for the next change to close.
    LONG nWholeFills = 0, nUpdates = 0;
    void StartUpdating() {
        StartWatching();
        nWholeFills = FillsDone();
        nUpdates = nUpdatesDone;
        OnUiThread([] {
            HTREEITEM hItem = (HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_ROOT, 0);
            SendMessageA(hTree, TVM_EXPAND, TVE_EXPAND, (LPARAM)hItem);
        });
    }
    void ExpectUpdate(const char *lpszWhat, std::function<void()> fnChange, LONG nMost = 20) {
        nTreeMessages = 0;
        LONG nRedrawOffs = FillCount();
        fnChange();
        ASSERT_TRUE(WaitSettled()) << lpszWhat;
        LONG nSent = nTreeMessages;
        EXPECT_LE(nSent, nMost) << lpszWhat << ": more than the change needs";
        EXPECT_EQ(FillCount(), nRedrawOffs) << lpszWhat << ": redraw turned off for a few items";
        EXPECT_EQ(FillsDone(), nWholeFills) << lpszWhat << ": a whole refill";
        EXPECT_GT(nUpdatesDone, nUpdates) << lpszWhat;
        nUpdates = nUpdatesDone;
        Nodes tree = SnapTree();
        ASSERT_NO_FATAL_FAILURE(ExpectSameTree(tree, WalkRegistry())) << lpszWhat;
        for (const Node &n : tree)
            ASSERT_FALSE(n.bExpanded) << lpszWhat << ": " << n;
        OnUiThread([&] {
            EXPECT_EQ(SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_CARET, 0), 0) << lpszWhat;
            EXPECT_EQ(SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_FIRSTVISIBLE, 0),
                      SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_ROOT, 0))
                << lpszWhat;
            HTREEITEM hItem = (HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_ROOT, 0);
            PostMessageA(hTree, WM_KEYDOWN, VK_RIGHT, 0);
            SendMessageA(hTree, TVM_SELECTITEM, TVGN_CARET, (LPARAM)hItem);
        });
        Pump();
    }
    // A key change starts a refill whose walker then waits at "Hold", which
    // has a subkey so that every reading opens it.
    void StartHeldRefill() {
        MakeKey("Hold\\In");
        StartWatching();
        InterlockedExchange(&bHoldArmed, 1);
        MakeKey("Trigger");
        ASSERT_EQ(WaitForSingleObject(hHoldReached, HANG_GUARD), WAIT_OBJECT_0);
    }
    ImportPatches patches;
};

} // namespace

TEST_F(RegistryTree, OneFillShowsTheHiveItemForItemWithKeysThenValuesAndAnyLetters) {
    // Names as the registry holds them, whatever the code page: letters no
    // 8-bit code page has, and names holding a NUL, beside a key named as
    // the part before it.
    EXPECT_EQ(GetACP(), CodePageAsked());
    if (HKEY hHidden = CreatePathNt({HIDDEN})) {
        EXPECT_TRUE(SetValueNt(hHidden, L"inside"));
        RegCloseKey(hHidden);
    }
    RegCloseKey(CreatePathNt({HIDDEN, L"Sub"}));
    if (HKEY hRoot = CreatePathNt({})) {
        EXPECT_TRUE(SetValueNt(hRoot, HIDDEN_VALUE));
        RegCloseKey(hRoot);
    }
    MakeKey("Hid\\Other");
    HKEY hKey;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\CorvaneTest\\Ключ_鍵\\Подключ_子", 0,
                              NULL, 0, KEY_ALL_ACCESS | VIEW, NULL, &hKey, NULL),
              ERROR_SUCCESS);
    RegCloseKey(hKey);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\CorvaneTest\\Ключ_鍵", 0,
                            KEY_ALL_ACCESS | VIEW, &hKey),
              ERROR_SUCCESS);
    RegSetValueExW(hKey, L"Значение_値", 0, REG_SZ, (const BYTE *)L"x", 4);
    RegCloseKey(hKey);
    // A wide key: Windows' tree view would walk every sibling to append one.
    const int nWide = 3000;
    for (int i = 0; i < nWide; i++)
        MakeKey("Wide\\W" + std::to_string(10000 + i));
    SetValue("Wide", "after");

    Nodes registry = FillQuietly(IDM_REGEDIT);
    Nodes tree = SnapTree();
    EXPECT_GT(tree.size(), 10u + nWide);
    ExpectSameTree(tree, registry);
    Nodes wideKids = ChildrenAt(tree, TestPath({"Wide"}));
    ASSERT_EQ(wideKids.size(), nWide + 1u);
    EXPECT_EQ(wideKids.front().text, "W10000");
    EXPECT_EQ(wideKids[nWide - 1].text, "W" + std::to_string(10000 + nWide - 1));
    EXPECT_EQ(wideKids.back(), (Node{3, "after", 2, 2, false}));
    // Emptied again, each of its keys is freed at the head of its chain.
    SendCommand(IDM_RESET);
    EXPECT_GE(nFrees, nWide);
    EXPECT_EQ(nWalkingFrees, 0);
    // A 32-bit program on 64-bit Windows shows the 64-bit view, as regedit does.
    BOOL bWow64 = FALSE;
    if (IsWow64Process(GetCurrentProcess(), &bWow64) && bWow64) {
        EXPECT_GE(FindPath(tree, {"Software", "Wow6432Node"}), 0);
    }

    Nodes wide = ChildrenAt(tree, TestPath({Utf8(L"Ключ_鍵")}));
    EXPECT_EQ(Texts(wide), (std::vector<std::string>{Utf8(L"Подключ_子"), Utf8(L"Значение_値")}));
    EXPECT_EQ(Texts(ChildrenAt(tree, TestPath({HIDDEN_SHOWN}))),
              (std::vector<std::string>{"Sub", "inside"}));
    EXPECT_EQ(Texts(ChildrenAt(tree, TestPath({"Hid"}))), std::vector<std::string>{"Other"});
    std::vector<std::string> top = Texts(ChildrenAt(tree, TestPath({})));
    EXPECT_NE(std::find(top.begin(), top.end(), Utf8(L"val\x2400ue")), top.end());

    // Nested keys each under their parent, the deepest holding its value.
    Nodes deep = ChildrenAt(tree, TestPath({"Nested", "Level1", "Level2", "Level3"}));
    ASSERT_EQ(deep.size(), 1u);
    EXPECT_EQ(deep[0], (Node{6, "Deep", 2, 2, false}));

    // A key with nothing in it: a closed folder with no children (no button).
    int nEmpty = FindPath(tree, TestPath({"Empty"}));
    ASSERT_GE(nEmpty, 0);
    EXPECT_EQ(tree[nEmpty], (Node{2, "Empty", 0, 1, false}));
    EXPECT_TRUE(ChildrenAt(tree, TestPath({"Empty"})).empty());

    // Only the unnamed default value: one leaf with empty text.
    Nodes def = ChildrenAt(tree, TestPath({"DefaultOnly"}));
    ASSERT_EQ(def.size(), 1u);
    EXPECT_EQ(def[0], (Node{3, "", 2, 2, false}));

    // Subkeys first, in the registry's order, then the value names in its order.
    Nodes mixed = ChildrenAt(tree, TestPath({"Mixed"}));
    ASSERT_EQ(mixed.size(), 4u);
    EXPECT_EQ(mixed[0].nImage, 0);
    EXPECT_EQ(mixed[1].nImage, 0);
    EXPECT_EQ(mixed[2].nImage, 2);
    EXPECT_EQ(mixed[3].nImage, 2);
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
    ASSERT_TRUE(SnapTree()[0].bExpanded);
    FillQuietly(IDM_RESET);
    EXPECT_EQ(first, SnapTree());
    // Emptied oldest first, as under Wine: the same tree again.
    OnUiThread([] { bWineTreeView = TRUE; });
    FillQuietly(IDM_RESET);
    EXPECT_EQ(first, SnapTree());
    EXPECT_EQ(FillCount(), 3);
}

TEST_F(RegistryTree, UnreadableKeysAreChildlessFoldersAndTheWalkGoesOn) {
    MakeKey("Access\\A_Locked_Before");
    MakeKey("Access\\Locked\\Hidden");
    MakeKey("Access\\NoInfo\\Hidden");
    MakeKey("Access\\Z_After\\Child");
    pfnRealQueryInfo = Patch("advapi32.dll", "RegQueryInfoKeyW", FakeQueryInfo);
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

TEST_F(RegistryTree, FailedTurnIsSkippedADeletedKeyEndsThePassAndGrownNamesAreRetried) {
    MakeKey("Turns\\A_First");
    MakeKey("Turns\\Gone");
    MakeKey("Turns\\Grow\\Inner");
    MakeKey("Turns\\Poison\\Inner");
    MakeKey("Turns\\Z_Last");
    SetValue("Turns", "value");
    pfnRealEnumKey = Patch("advapi32.dll", "RegEnumKeyExW", FakeEnumKey);
    bGrowPending = 1;
    nEnumCalls = 0;
    SendCommand(IDM_REGEDIT);
    Nodes tree = SnapTree();

    EXPECT_EQ(bGrowPending, 0);
    // The pass reads last to first: Z_Last, nothing for the failed turn,
    // Grow once with its subtree, and at Gone the key seems deleted, so
    // A_First is not read. The value pass and the rest of the hive still run.
    EXPECT_EQ(Texts(ChildrenAt(tree, TestPath({"Turns"}))),
              (std::vector<std::string>{"Grow", "Z_Last", "value"}));
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
    // Nothing of it lands anywhere else: the insert refused is the folder's
    // alone, and its subtree goes with it.
    for (const Node &n : tree) {
        EXPECT_NE(n.text, "Refused");
        EXPECT_NE(n.text, "Child");
        EXPECT_NE(n.text, "Grandchild");
        EXPECT_NE(n.text, "leaf");
    }
    EXPECT_GE(FindPath(tree, TestPath({"Mixed", "Beta"})), 0);
}

// ---- The watcher ----

TEST_F(RegistryTree, BeforeAnyRegistryCommandANewKeyLeavesTheTreeEmpty) {
    MakeKey("Early");
    Pump();
    EXPECT_EQ(nWatchState, WATCH_SUSPENDED);
    EXPECT_EQ(nWaitCalls, 0);
    EXPECT_TRUE(SnapTree().empty());
    EXPECT_EQ(FillCount(), 0);
}

// After each key change only its part is read again and only what differs
// is sent: no whole refill, a few tree messages, and the tree is what a
// rebuild gives, item for item, collapsed, nothing selected, the first item
// at the top.
TEST_F(RegistryTree, KeyChangesAnywhereUpdateOnlyWhatChangedCollapsedAndValuesDoNot) {
    RegCloseKey(CreatePathNt({HIDDEN, L"Sub"}));
    StartUpdating();
    auto deep = TestPath({"Nested", "Level1", "Level2", "Level3", "New"});
    ASSERT_NO_FATAL_FAILURE(ExpectUpdate("a key made deep down",
                                         [] { MakeKey("Nested\\Level1\\Level2\\Level3\\New"); }));
    EXPECT_GE(FindPath(SnapTree(), deep), 0);
    ASSERT_NO_FATAL_FAILURE(ExpectUpdate("a key deleted deep down",
                                         [] { RemoveKey("Nested\\Level1\\Level2\\Level3\\New"); }));
    EXPECT_LT(FindPath(SnapTree(), deep), 0);

    ASSERT_NO_FATAL_FAILURE(ExpectUpdate("a key made in a top-level key", [] {
        HKEY hTop;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\CorvaneTestTop", 0, NULL, 0,
                                  KEY_ALL_ACCESS | VIEW, NULL, &hTop, NULL),
                  ERROR_SUCCESS);
        RegCloseKey(hTop);
    }));
    EXPECT_GE(FindPath(SnapTree(), {"Software", "CorvaneTestTop"}), 0);
    ASSERT_NO_FATAL_FAILURE(ExpectUpdate("a key made in a test key", [] { MakeKey("Fresh"); }));
    ASSERT_NO_FATAL_FAILURE(
        ExpectUpdate("a key made in a key just made", [] { MakeKey("Fresh\\Inner"); }));
    EXPECT_GE(FindPath(SnapTree(), TestPath({"Fresh", "Inner"})), 0);
    ASSERT_NO_FATAL_FAILURE(ExpectUpdate("a key made under a name holding a NUL", [] {
        RegCloseKey(CreatePathNt({HIDDEN, L"Later"}));
    }));
    EXPECT_GE(FindPath(SnapTree(), TestPath({HIDDEN_SHOWN, "Later"})), 0);
    ASSERT_NO_FATAL_FAILURE(ExpectUpdate("a key deleted in a top-level key", [] {
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "Software\\CorvaneTestTop", VIEW, 0);
    }));

    // The test root is watched whole; deleted, and made again under the
    // same name, which is another key to watch.
    ASSERT_NO_FATAL_FAILURE(ExpectUpdate("a whole watched subtree deleted",
                                         [] { DeleteTree(HKEY_LOCAL_MACHINE, TEST_ROOT); }));
    EXPECT_LT(FindPath(SnapTree(), TestPath({})), 0);
    ASSERT_NO_FATAL_FAILURE(ExpectUpdate("the subtree made again", [] { MakeKey("Again"); }));
    ASSERT_NO_FATAL_FAILURE(ExpectUpdate("a key made in it", [] { MakeKey("Again\\Later"); }));
    EXPECT_GE(FindPath(SnapTree(), TestPath({"Again", "Later"})), 0);

    // A new value is no key change: the registry tells the watcher nothing.
    LONG nFills = FillCount(), nUpdated = nUpdatesDone;
    SetValue("Again", "Added");
    ASSERT_TRUE(WaitSettled());
    EXPECT_EQ(FillCount(), nFills);
    EXPECT_EQ(nUpdatesDone, nUpdated);
    EXPECT_EQ(Texts(ChildrenAt(SnapTree(), TestPath({"Again"}))),
              std::vector<std::string>{"Later"});
    // The Reset empties the tree as the updates left it, not as the last
    // whole fill did.
    SendCommand(IDM_RESET);
    ExpectSameTree(SnapTree(), WalkRegistry());
    EXPECT_EQ(Texts(ChildrenAt(SnapTree(), TestPath({"Again"}))),
              (std::vector<std::string>{"Later", "Added"}));
    // A key deleted from among its parent's subkeys costs its place in the
    // chain: the two taken out of Software, and no other.
    EXPECT_LE(nWalkingFrees, 2);
    nWalkingFrees = 0;
}

// A test root big enough to be cut: each of its keys is a part of its own.
// Keys come and go there, and each keeps the watch it was given; then the
// root goes with its parts and comes back with a key of an old name, which
// is another key to watch.
TEST_F(RegistryTree, KeysComingAndGoingUnderACutKeyEachKeepTheirOwnWatch) {
    if (HKEY hKey = CreateKey("Ballast")) {
        for (int i = 0; i < 300; i++) {
            char szName[16];
            snprintf(szName, sizeof(szName), "V%03d", i);
            RegSetValueExA(hKey, szName, 0, REG_SZ, (const BYTE *)"x", 2);
        }
        RegCloseKey(hKey);
    }
    for (const char *lpszKey : {"A", "B", "C"})
        MakeKey(lpszKey);
    StartUpdating();
    BOOL bCut = FALSE;
    OnUiThread([&] {
        const KeyNode *pNode = pModelRoot;
        for (std::string name : {"Software", "CorvaneTest"}) {
            const KeyNode *pSub = pNode ? pNode->pFirst : NULL;
            for (; pSub; pSub = pSub->pNext) {
                char16_t szName[64];
                DecodeName(pSub->abNames, szName, 64, true);
                if (lstrcmpiA(Utf8((const wchar_t *)szName).c_str(), name.c_str()) == 0)
                    break;
            }
            pNode = pSub;
        }
        bCut = bPartsWatched && pNode && WatchIsCut(pNode->nWatch);
    });
    ASSERT_TRUE(bCut) << "the test root is not watched for its own subkeys";

    // B's watch is free again: X takes it, and Y the next free one, not
    // one of its neighbours'.
    ASSERT_NO_FATAL_FAILURE(ExpectUpdate("a part deleted", [] { RemoveKey("B"); }));
    ASSERT_NO_FATAL_FAILURE(ExpectUpdate("a key made where it was", [] { MakeKey("X"); }));
    ASSERT_NO_FATAL_FAILURE(ExpectUpdate("another key made", [] { MakeKey("Y"); }));
    for (const char *lpszKey : {"A\\In", "C\\In", "X\\In", "Y\\In"})
        ASSERT_NO_FATAL_FAILURE(ExpectUpdate(lpszKey, [&] { MakeKey(lpszKey); }));

    // Gone and back while an update's read is held, so the tree still has
    // the old A when the watcher sees the new one: seven items change, in
    // one or two updates.
    ASSERT_NO_FATAL_FAILURE(ExpectUpdate(
        "the cut key made again with an old name",
        [] {
            InterlockedExchange(&bHoldArmed, 1);
            MakeKey("Hold");
            ASSERT_EQ(WaitForSingleObject(hHoldReached, HANG_GUARD), WAIT_OBJECT_0);
            DeleteTree(HKEY_LOCAL_MACHINE, TEST_ROOT);
            MakeKey("A\\Again");
            SetEvent(hHoldReleased);
        },
        40));
    ASSERT_NO_FATAL_FAILURE(
        ExpectUpdate("a key made in the new key", [] { MakeKey("A\\Again\\Deeper"); }));
    EXPECT_GE(FindPath(SnapTree(), TestPath({"A", "Again", "Deeper"})), 0);
    EXPECT_LT(FindPath(SnapTree(), TestPath({"C"})), 0);
    // The test root taken out of Software's subkeys costs its place there.
    EXPECT_LE(nWalkingFrees, 1);
    nWalkingFrees = 0;
}

TEST_F(RegistryTree, RegistryEditorAgainRefillsOnceAndStartsNoSecondWatcher) {
    StartWatching();
    DWORD dwThreads = CountThreads();
    SendCommand(IDM_REGEDIT);
    EXPECT_EQ(FillCount(), 2);
    ASSERT_TRUE(WaitSettled());
    EXPECT_EQ(CountThreads(), dwThreads);
    // One key change: one update, so one watcher.
    LONG nUpdated = nUpdatesDone;
    MakeKey("Probe");
    ASSERT_TRUE(WaitSettled());
    EXPECT_EQ(nUpdatesDone, nUpdated + 1);
    EXPECT_EQ(FillCount(), 2);
    EXPECT_GE(FindPath(SnapTree(), TestPath({"Probe"})), 0);

    // A window made after this one ends, in the same process, fills and
    // keeps current as the first did: nothing of the old tree or its
    // watches is left to trip over.
    StopApp();
    ASSERT_NE(StartApp(), (HWND)NULL);
    pfnAppProc = (WNDPROC)SetWindowLongPtrA(AppWindow(), GWLP_WNDPROC, (LONG_PTR)RunProc);
    StartWatching();
    MakeKey("Probe\\Again");
    ASSERT_TRUE(WaitSettled());
    ExpectSameTree(SnapTree(), WalkRegistry());
}

TEST_F(RegistryTree, FailingChangeWaitBacksOffAndKeepsTrying) {
    nFailWaits = 4;
    SendCommand(IDM_REGEDIT);
    ASSERT_TRUE(WaitSettled()); // armed at the fifth call, then each part
    EXPECT_GE(nWaitCalls, 5);
    // Four failures in a row: pauses, each longer than the one before.
    DWORD dwFirst = dwWaitTimes[1] - dwWaitTimes[0];
    DWORD dwLast = dwWaitTimes[4] - dwWaitTimes[3];
    EXPECT_GE(dwFirst, 30u);
    EXPECT_GT(dwLast, dwFirst);
    MakeKey("AfterFailures");
    ASSERT_TRUE(WaitSettled());
    EXPECT_GE(FindPath(SnapTree(), TestPath({"AfterFailures"})), 0);

    // A part whose wait fails to be armed again once it fired is not left
    // unwatched: the next change in it shows too.
    nFailWaits = 1;
    MakeKey("AfterFailures\\Once");
    ASSERT_TRUE(WaitSettled());
    MakeKey("AfterFailures\\Once\\Again");
    ASSERT_TRUE(WaitSettled());
    ExpectSameTree(SnapTree(), WalkRegistry());

    // Every wait refused, on a hive cut into hundreds of parts: the watcher
    // falls back to one wait on the whole hive and pauses between tries,
    // rather than trying part after part.
    LONG nParts = 0;
    OnUiThread([&] {
        for (LONG i = 0; i < 2 * (LONG)MAX_WATCHES; i++)
            nParts += WatchedNode(i) != NULL;
    });
    ASSERT_GT(nParts, 100);
    InterlockedExchange(&nFailWaits, LONG_MAX);
    LONG nCallsBefore = nWaitCalls;
    MakeKey("AfterFailures\\Refused");
    Sleep(2000);
    EXPECT_LE(nWaitCalls - nCallsBefore, 36) << "a burst of refused waits";
    // Waits that work again show the next change.
    InterlockedExchange(&nFailWaits, 0);
    ASSERT_TRUE(WaitSettled());
    MakeKey("AfterFailures\\Back");
    ASSERT_TRUE(WaitSettled());
    ExpectSameTree(SnapTree(), WalkRegistry());
}

// A key the user opens while an update runs, and which that update then
// deletes, leaves no handle behind: no later message names it.
TEST_F(RegistryTree, AKeyOpenedDuringAnUpdateThatDeletesItIsNeverNamedAgain) {
    MakeKey("Doomed\\Inner");
    ASSERT_NO_FATAL_FAILURE(StartHeldRefill());
    OnUiThread([] {
        HTREEITEM hItem = (HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_ROOT, 0);
        char szText[64];
        for (const char *lpszName : {"Software", "CorvaneTest", "Doomed"}) {
            for (; hItem; hItem = (HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_NEXT,
                                                          (LPARAM)hItem)) {
                TVITEMA item = {};
                item.mask = TVIF_TEXT;
                item.hItem = hItem;
                item.pszText = szText;
                item.cchTextMax = sizeof(szText);
                SendMessageA(hTree, TVM_GETITEMA, 0, (LPARAM)&item);
                if (lstrcmpiA(szText, lpszName) == 0)
                    break;
            }
            if (hItem && lstrcmpA(lpszName, "Doomed") != 0)
                hItem = (HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_CHILD, (LPARAM)hItem);
        }
        ASSERT_NE(hItem, (HTREEITEM)NULL);
        // Opened as a user opens it: selected, then the right arrow key.
        SendMessageA(hTree, TVM_SELECTITEM, TVGN_CARET, (LPARAM)hItem);
        PostMessageA(hTree, WM_KEYDOWN, VK_RIGHT, 0);
    });
    Pump();
    ASSERT_TRUE(FindPath(SnapTree(), TestPath({"Doomed"})) >= 0);
    EXPECT_TRUE(SnapTree()[FindPath(SnapTree(), TestPath({"Doomed"}))].bExpanded);
    RemoveKey("Doomed");
    SetEvent(hHoldReleased);
    ASSERT_TRUE(WaitSettled());
    EXPECT_LT(FindPath(SnapTree(), TestPath({"Doomed"})), 0);
    // The next update closes what is open: the gone key is not among it.
    MakeKey("Later");
    ASSERT_TRUE(WaitSettled());
    EXPECT_EQ(nDeadHandles, 0);
    ExpectSameTree(SnapTree(), WalkRegistry());
}

// Sends WM_NULL to the window again and again, keeping the longest wait.
volatile LONG bPinging = 0;
volatile LONG nLongestWait = 0, nPings = 0;
DWORD WINAPI PingThread(LPVOID lpWnd) {
    while (InterlockedCompareExchange(&bPinging, 0, 0)) {
        DWORD dwStart = GetTickCount();
        DWORD_PTR dwResult;
        SendMessageTimeoutA((HWND)lpWnd, WM_NULL, 0, 0, SMTO_NORMAL, HANG_GUARD, &dwResult);
        LONG nWait = (LONG)(GetTickCount() - dwStart);
        if (nWait > nLongestWait)
            InterlockedExchange(&nLongestWait, nWait);
        InterlockedIncrement(&nPings);
        Sleep(1);
    }
    return 0;
}

TEST_F(RegistryTree, ABurstOfNewKeysDuringAnUpdateIsReadOnceMoreWhileTheWindowKeepsAnswering) {
    ASSERT_NO_FATAL_FAILURE(StartHeldRefill());
    LONG nBefore = FillCount(), nWhole = FillsDone(), nUpdated = nUpdatesDone;
    // Made while the update's read is held, so the notices pile up.
    for (int i = 0; i < 1000; i++) {
        char szName[32];
        snprintf(szName, sizeof(szName), "Burst\\K%04d", i);
        SetValue(szName, "a");
        SetValue(szName, "b");
    }
    nLongestWait = nPings = 0;
    InterlockedExchange(&bPinging, 1);
    HANDLE hPing = CreateThread(NULL, 0, PingThread, AppWindow(), 0, NULL);
    SetEvent(hHoldReleased);
    ASSERT_TRUE(WaitSettled());
    InterlockedExchange(&bPinging, 0);
    ASSERT_EQ(WaitForSingleObject(hPing, HANG_GUARD), WAIT_OBJECT_0);
    CloseHandle(hPing);

    // Read again within the held update, or in one more; so many items
    // go in with redraw off.
    EXPECT_GE(nUpdatesDone - nUpdated, 1);
    EXPECT_LE(nUpdatesDone - nUpdated, 2);
    EXPECT_GE(FillCount() - nBefore, 1);
    EXPECT_EQ(FillsDone(), nWhole) << "a whole refill";
    EXPECT_GT(nPings, 0);
    // Windows calls a window hung once it has not answered for 5 s.
    EXPECT_LT(nLongestWait, 5000) << "the window stopped answering during an update";
    Nodes tree = SnapTree();
    ExpectSameTree(tree, WalkRegistry());
    Nodes burst = ChildrenAt(tree, TestPath({"Burst"}));
    ASSERT_EQ(burst.size(), 1000u);
    EXPECT_EQ(burst[999].text, "K0999");

    // One more key in the middle of a key 1,000 wide costs a few messages.
    // That reading notes when each key was last written (a time is trusted
    // once older than a tick of the clock), so the next one opens only the
    // keys written since, not the 1,000 beside them.
    Sleep(50);
    nTreeMessages = 0;
    MakeKey("Burst\\K0500x");
    ASSERT_TRUE(WaitSettled());
    EXPECT_LE(nTreeMessages, 20);
    EXPECT_EQ(FillsDone(), nWhole);
    burst = ChildrenAt(SnapTree(), TestPath({"Burst"}));
    ASSERT_EQ(burst.size(), 1001u);
    EXPECT_EQ(burst[501].text, "K0500x");
    nOpens = 0;
    SetValue("Burst\\K0200", "c");
    MakeKey("Burst\\K0300\\Sub");
    ASSERT_TRUE(WaitSettled());
    EXPECT_LE(nOpens, 30) << "keys not written since were read again";
    ExpectSameTree(SnapTree(), WalkRegistry());

    // Keys gone and keys new, side by side at one level, in one held
    // update: each name lands where the registry lists it.
    ResetEvent(hHoldReached);
    ResetEvent(hHoldReleased);
    InterlockedExchange(&bHoldArmed, 1);
    MakeKey("Trigger2");
    ASSERT_EQ(WaitForSingleObject(hHoldReached, HANG_GUARD), WAIT_OBJECT_0);
    for (int i = 100; i < 140; i += 2) {
        char szName[32];
        snprintf(szName, sizeof(szName), "Burst\\K%04d", i);
        RemoveKey(szName);
        snprintf(szName, sizeof(szName), "Burst\\K%04dn", i + 1);
        MakeKey(szName);
    }
    nTreeMessages = 0;
    SetEvent(hHoldReleased);
    ASSERT_TRUE(WaitSettled());
    EXPECT_LE(nTreeMessages, 100) << "40 names changed";
    EXPECT_EQ(FillsDone(), nWhole);
    ExpectSameTree(SnapTree(), WalkRegistry());
    // Each key deleted from among its siblings costs its place in their
    // chain, and no other free does.
    EXPECT_LE(nWalkingFrees, 20);
    nWalkingFrees = 0;
}

// A link made inside a part leads where no watch of the part looks: the
// whole tree is filled again, once, and the link is then watched where it
// leads, so a key made under its target shows at both places.
TEST_F(RegistryTree, ALinkMadeInAPartRefillsOnceThenChangesShowWhereverItLeads) {
    SetValue("Links\\Sibling\\Child", "inChild");
    StartWatching();
    LONG nWhole = FillsDone();
    ASSERT_TRUE(MakeLink("Links\\ToSibling", "Links\\Sibling"));
    MakeKey("Trigger"); // the link's target is a value: no key change says it is set
    ASSERT_TRUE(WaitSettled());
    EXPECT_EQ(FillsDone(), nWhole + 1);
    ExpectSameTree(SnapTree(), WalkRegistry());

    nWhole = FillsDone();
    MakeKey("Links\\Sibling\\Later");
    ASSERT_TRUE(WaitSettled());
    EXPECT_EQ(FillsDone(), nWhole) << "a whole refill";
    Nodes tree = SnapTree();
    ExpectSameTree(tree, WalkRegistry());
    EXPECT_GE(FindPath(tree, TestPath({"Links", "ToSibling", "Later"})), 0);
    EXPECT_GE(FindPath(tree, TestPath({"Links", "Sibling", "Later"})), 0);
}

TEST_F(RegistryTree, CommandDuringARefillEndsItAndReturnsWithTheTreeComplete) {
    ASSERT_NO_FATAL_FAILURE(StartHeldRefill());
    LONG nStarted = FillCount(), nDone = FillsDone();
    PostCommand(IDM_RESET); // queued ahead of the rest of the refill
    SetEvent(hHoldReleased);
    ASSERT_TRUE(WaitFor([&] { return FillsDone() > nDone; }, HANG_GUARD));
    EXPECT_EQ(FillCount(), nStarted + 1);
    ExpectSameTree(SnapTree(), WalkRegistry());
    ASSERT_TRUE(WaitSettled());
    EXPECT_EQ(FillsDone(), nDone + 1) << "the refill ended without finishing";
    EXPECT_EQ(FillCount(), nStarted + 1);
}

// Creates and deletes keys under the test root until told to stop.
volatile LONG bChurn = 0;
DWORD WINAPI ChurnThread(LPVOID) {
    for (unsigned n = 0; InterlockedCompareExchange(&bChurn, 0, 0); n++) {
        char szPath[128];
        if (n % 3 == 2) {
            snprintf(szPath, sizeof(szPath), "Churn\\K%u", (n * 5) % 7);
            RemoveKey(szPath);
        } else {
            snprintf(szPath, sizeof(szPath), "Churn\\K%u\\Sub", n % 7);
            SetValue(szPath, "v");
        }
        Sleep(n % 4);
    }
    return 0;
}

TEST_F(RegistryTree, QuitWhileKeysKeepChangingEndsTheProgramItsWalkerAndTheWatcher) {
    pfnRealCreateThread = Patch("kernel32.dll", "CreateThread", WatchCreateThread);
    ASSERT_NO_FATAL_FAILURE(StartHeldRefill());
    HANDLE hWalker = hLastThread;
    ASSERT_NE(hWalker, (HANDLE)NULL);
    ASSERT_EQ(WaitForSingleObject(hWalker, 0), (DWORD)WAIT_TIMEOUT);
    // Notices keep coming until the end, and none may start a fill.
    InterlockedExchange(&bChurn, 1);
    HANDLE hChurn = pfnRealCreateThread(NULL, 0, ChurnThread, NULL, 0, NULL);
    SetBoxAnswer(IDYES);
    PostMessageA(AppWindow(), WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitForBoxes(1, HANG_GUARD));
    EXPECT_EQ(BoxesSeen()[0].text, "Do you want to quit?");
    // Released once the box is answered: until then the program may well go on
    // with its updates, and the quit must stop a read that is under way.
    HWND hBox = BoxesSeen()[0].hWnd;
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(hBox); }, HANG_GUARD));
    SetEvent(hHoldReleased);
    int nExit = -1;
    bool bExited = WaitForExit(HANG_GUARD, &nExit);
    InterlockedExchange(&bChurn, 0);
    ASSERT_EQ(WaitForSingleObject(hChurn, HANG_GUARD), (DWORD)WAIT_OBJECT_0);
    CloseHandle(hChurn);
    ASSERT_TRUE(bExited);
    EXPECT_EQ(nExit, 0);
    EXPECT_EQ(WaitForSingleObject(hWalker, 0), WAIT_OBJECT_0) << "the walker still runs";
    EXPECT_EQ(hLastThread, hWalker) << "a fill started after the quit";
    EXPECT_EQ(WaitForSingleObject(hNotify, 0), WAIT_OBJECT_0) << "the watcher still runs";
}

TEST_F(RegistryTree, CommandFillAnswersOtherThreadsAndRunsNothingElseUntilItEnds) {
    MakeKey("Hold");
    InterlockedExchange(&bHoldArmed, 1);
    LONG nDone = FillsDone();
    PostCommand(IDM_REGEDIT);
    ASSERT_EQ(WaitForSingleObject(hHoldReached, HANG_GUARD), WAIT_OBJECT_0);
    // The walk is held: the window answers, and a command waits for the fill.
    DWORD_PTR dwResult;
    EXPECT_TRUE(SendMessageTimeoutA(AppWindow(), WM_NULL, 0, 0, SMTO_NORMAL, 1000, &dwResult))
        << "the window stopped answering during a command";
    SetBoxAnswer(IDOK);
    EXPECT_TRUE(SendMessageTimeoutA(AppWindow(), WM_COMMAND, IDM_KEYBOARD, 0, SMTO_NORMAL, 1000,
                                    &dwResult));
    EXPECT_TRUE(BoxesSeen().empty()) << "a command ran in the middle of the fill";
    EXPECT_EQ(FillsDone(), nDone);
    SetEvent(hHoldReleased);
    ASSERT_TRUE(WaitForBoxes(1, HANG_GUARD));
    EXPECT_EQ(BoxesSeen()[0].caption, "Keyboard Type");
    EXPECT_EQ(FillsDone(), nDone + 1);
    ExpectSameTree(SnapTree(), WalkRegistry());
}

TEST_F(RegistryTree, LinksThatLeadBackEndAtOnceAndALinkToAnotherKeyShowsItsTarget) {
    MakeKey("Loop");
    SetValue("Loop", "inLoop");
    MakeKey("Far\\X\\Up");
    SetValue("Twin", "inTwin");
    SetValue("Links\\Sibling\\Child", "inChild");
    SetValue("Links\\Sibling", "inSibling");
    SetValue("Chain\\N12", "Leaf");
    for (const auto &link : LINKS)
        ASSERT_TRUE(MakeLink(link[0], link[1])) << link[0];
    Nodes registry = FillQuietly(IDM_REGEDIT);
    Nodes tree = SnapTree();
    ExpectSameTree(tree, registry);

    // Back to the parent, to a far ancestor, and twice to its own key: each
    // link is a folder with nothing in it.
    EXPECT_EQ(Texts(ChildrenAt(tree, TestPath({"Loop"}))),
              (std::vector<std::string>{"Back", "inLoop"}));
    EXPECT_EQ(Texts(ChildrenAt(tree, TestPath({"Twin"}))),
              (std::vector<std::string>{"A", "B", "inTwin"}));
    for (auto path : {TestPath({"Loop", "Back"}), TestPath({"Far", "X", "Up", "Top"}),
                      TestPath({"Twin", "A"}), TestPath({"Twin", "B"})}) {
        int n = FindPath(tree, path);
        ASSERT_GE(n, 0) << path.back();
        EXPECT_EQ(tree[n].nImage, 0);
        EXPECT_TRUE(ChildrenAt(tree, path).empty()) << path.back();
    }
    // A link to another key shows that key's keys and values.
    Nodes target = ChildrenAt(tree, TestPath({"Links", "Sibling"}));
    EXPECT_EQ(Texts(target), (std::vector<std::string>{"Child", "inSibling"}));
    EXPECT_EQ(ChildrenAt(tree, TestPath({"Links", "ToSibling"})), target);
    EXPECT_EQ(Texts(ChildrenAt(tree, TestPath({"Links", "ToSibling", "Child"}))),
              std::vector<std::string>{"inChild"});
    // Links that multiply paths: each key they lead to is read a bounded
    // number of times. N11 is read directly once and through links 16
    // times, and each reading shows N12's value twice, through A and B.
    int nLeaves = 0;
    for (const Node &n : tree)
        nLeaves += n.text == "Leaf";
    EXPECT_EQ(nLeaves, 1 + 2 * (1 + MAX_LINKED_VISITS));

    // The program runs on: a key change refills, and Reset gives the same tree.
    StartWatching();
    MakeKey("Links\\Sibling\\Later");
    ASSERT_TRUE(WaitSettled());
    tree = SnapTree();
    ExpectSameTree(tree, WalkRegistry());
    EXPECT_GE(FindPath(tree, TestPath({"Links", "ToSibling", "Later"})), 0)
        << "a change made under a link's target shows under the link";
    SendCommand(IDM_RESET);
    EXPECT_EQ(SnapTree(), tree);
}

TEST_F(RegistryTree, KeysChurningDuringCommandsAndRefillsEndWithTheTreeMatchingTheRegistry) {
    StartWatching();
    InterlockedExchange(&bChurn, 1);
    HANDLE hChurn = CreateThread(NULL, 0, ChurnThread, NULL, 0, NULL);
    // Each command lands while the watcher's refills keep coming.
    for (int i = 0; i < 3; i++) {
        LONG nBefore = FillCount(), nUpdated = nUpdatesDone;
        SendCommand(IDM_RESET);
        EXPECT_GE(FillCount(), nBefore + 1);
        ASSERT_TRUE(WaitFor([&] { return FillCount() >= nBefore + 2 || nUpdatesDone > nUpdated; }))
            << "no refill after a command while keys changed";
    }
    InterlockedExchange(&bChurn, 0);
    ASSERT_EQ(WaitForSingleObject(hChurn, HANG_GUARD), (DWORD)WAIT_OBJECT_0);
    CloseHandle(hChurn);

    // The last change is always shown: settled means nothing is left to see.
    ASSERT_TRUE(WaitSettled());
    ExpectSameTree(SnapTree(), WalkRegistry());
}
