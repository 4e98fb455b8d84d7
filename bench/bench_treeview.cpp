// Tree view cost model: times inserting and emptying a tree shaped like the
// benchmark hive (groups of 100 keys, 3 values each) at several sizes, in
// the orders a fill could use, so the control's own costs show apart from
// the registry walk.
// Usage: corvane_tvbench.exe [keys ...]
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double dFreq;
double Now() {
    LARGE_INTEGER li;
    QueryPerformanceCounter(&li);
    return li.QuadPart / dFreq;
}

HWND hTv;

HTREEITEM Insert(HTREEITEM hParent, const char *lpszText, int nImage) {
    TVINSERTSTRUCTA tvi = {};
    tvi.hParent = hParent;
    tvi.hInsertAfter = TVI_LAST;
    tvi.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    tvi.item.pszText = (LPSTR)lpszText;
    tvi.item.iImage = nImage;
    tvi.item.iSelectedImage = nImage;
    return (HTREEITEM)SendMessageA(hTv, TVM_INSERTITEMA, 0, (LPARAM)&tvi);
}

// Pre-order, as the fill walks: each key, then its values.
void FillDepthFirst(int nKeys) {
    char sz[32];
    HTREEITEM hTop = Insert(TVI_ROOT, "CorvaneBench", 0);
    HTREEITEM hGroup = NULL;
    for (int k = 0; k < nKeys; k++) {
        if (k % 100 == 0) {
            snprintf(sz, sizeof(sz), "G%04d", k / 100);
            hGroup = Insert(hTop, sz, 0);
        }
        snprintf(sz, sizeof(sz), "K%06d", k);
        HTREEITEM hKey = Insert(hGroup, sz, 0);
        Insert(hKey, "Name", 2);
        Insert(hKey, "Size", 2);
        Insert(hKey, "Path", 2);
    }
}

// Every key first, level by level, then every value: parents sit early.
void FillKeysFirst(int nKeys) {
    char sz[32];
    std::vector<HTREEITEM> groups, keys;
    HTREEITEM hTop = Insert(TVI_ROOT, "CorvaneBench", 0);
    for (int g = 0; g < (nKeys + 99) / 100; g++) {
        snprintf(sz, sizeof(sz), "G%04d", g);
        groups.push_back(Insert(hTop, sz, 0));
    }
    for (int k = 0; k < nKeys; k++) {
        snprintf(sz, sizeof(sz), "K%06d", k);
        keys.push_back(Insert(groups[k / 100], sz, 0));
    }
    for (int k = 0; k < nKeys; k++) {
        Insert(keys[k], "Name", 2);
        Insert(keys[k], "Size", 2);
        Insert(keys[k], "Path", 2);
    }
}

// Leaves of the root only: the control's cost with no parent to look up.
void FillFlat(int nKeys) {
    for (int i = 0; i < nKeys * 4; i++)
        Insert(TVI_ROOT, "Leaf", 2);
}

// Root leaves deleted one by one, newest first or oldest first: shows
// whether finding an item or closing the gap it leaves is what costs.
std::vector<HTREEITEM> flat;
int nFlatOrder;
void FillFlatKept(int nKeys) {
    flat.clear();
    for (int i = 0; i < nKeys * 4; i++)
        flat.push_back(Insert(TVI_ROOT, "Leaf", 2));
}

void DeleteKept() {
    double t = Now();
    if (nFlatOrder)
        for (size_t i = flat.size(); i-- > 0;)
            SendMessageA(hTv, TVM_DELETEITEM, 0, (LPARAM)flat[i]);
    else
        for (size_t i = 0; i < flat.size(); i++)
            SendMessageA(hTv, TVM_DELETEITEM, 0, (LPARAM)flat[i]);
    printf("  one by one, %s first: %.2f s\n", nFlatOrder ? "newest" : "oldest", Now() - t);
}

// Deletes every top-level item last to first.
void DeleteTopLastFirst() {
    HTREEITEM h;
    while ((h = (HTREEITEM)SendMessageA(hTv, TVM_GETNEXTITEM, TVGN_LASTVISIBLE, 0)) != NULL) {
        while (HTREEITEM hParent =
                   (HTREEITEM)SendMessageA(hTv, TVM_GETNEXTITEM, TVGN_PARENT, (LPARAM)h))
            h = hParent;
        SendMessageA(hTv, TVM_DELETEITEM, 0, (LPARAM)h);
    }
}

void Run(const char *lpszFill, void (*pfnFill)(int), int nKeys, int nDelete, bool bRedrawOff) {
    if (bRedrawOff)
        SendMessageA(hTv, WM_SETREDRAW, FALSE, 0);
    double t = Now();
    pfnFill(nKeys);
    double dInsert = Now() - t;
    long nItems = (long)SendMessageA(hTv, TVM_GETCOUNT, 0, 0);
    t = Now();
    if (nDelete == 0)
        SendMessageA(hTv, TVM_DELETEITEM, 0, (LPARAM)TVI_ROOT);
    else
        DeleteTopLastFirst();
    double dDelete = Now() - t;
    SendMessageA(hTv, WM_SETREDRAW, TRUE, 0);
    printf("%-10s keys %7d items %8ld redraw %-3s insert %7.2f s  delete(%s) %7.2f s\n", lpszFill,
           nKeys, nItems, bRedrawOff ? "off" : "on", dInsert, nDelete ? "top-down" : "root",
           dDelete);
    fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    LARGE_INTEGER li;
    QueryPerformanceFrequency(&li);
    dFreq = (double)li.QuadPart;
    InitCommonControls();
    hTv = CreateWindowExA(0, WC_TREEVIEWA, "", WS_OVERLAPPEDWINDOW | TVS_HASLINES, 0, 0, 300, 300,
                          NULL, NULL, GetModuleHandleA(NULL), NULL);
    ShowWindow(hTv, SW_SHOW);
    const char *lpszModes = getenv("TVMODES");
    if (!lpszModes)
        lpszModes = "dfk";
    for (int a = 1; a < argc; a++) {
        int nKeys = atoi(argv[a]);
        for (const char *m = lpszModes; *m; m++) {
            switch (*m) {
            case 'd': Run("depth", FillDepthFirst, nKeys, 0, true); break;
            case 'D': Run("depth", FillDepthFirst, nKeys, 0, false); break;
            case 't': Run("depth", FillDepthFirst, nKeys, 1, true); break;
            case 'k': Run("keysfirst", FillKeysFirst, nKeys, 0, true); break;
            case 'f': Run("flat", FillFlat, nKeys, 0, true); break;
            case 'o':
            case 'n':
                nFlatOrder = *m == 'n';
                FillFlatKept(nKeys);
                DeleteKept();
                break;
            }
        }
    }
    DestroyWindow(hTv);
    return 0;
}
