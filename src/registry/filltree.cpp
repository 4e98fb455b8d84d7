// Registry tree: every key and value name of HKEY_LOCAL_MACHINE, rebuilt
// from scratch on each fill. The walker reads the names; only this thread
// touches the tree. A command fills at once (the walker reads while this
// thread inserts); a watcher refill empties and inserts in short slices
// between the window's other messages. One fill at a time: a new one ends
// the old.
#include "corvane.h"
#include "registry/namebuf.h"

#include <cstring>

// Deeper than the registry lets keys nest; deeper names are dropped.
static const unsigned MAX_DEPTH = 520;
// The tree's images: a closed and an open folder for keys, a page for values.
enum { IMG_FOLDER = 0, IMG_FOLDER_OPEN = 1, IMG_VALUE = 2 };
// A refill gives the window back this often (ms).
static const double SLICE_MS = 15.0;

volatile LONG nFillsDone = 0;
static LONG nGeneration;
static BOOL bFilling, bRefillDue, bEmptied, bWalked;
static HTREEITEM hStack[MAX_DEPTH]; // the last key item at each depth
static TreeBatch *pBatch;           // being inserted, from cbAt on
static DWORD cbAt;

// Value names wait here until every key is in the tree. Wine's tree view
// finds a parent by scanning its items from the oldest; with the values
// (most of a hive) last, their keys sit near the front (measured: a fill of
// the 20,000-key benchmark hive takes 9.4 s this way, 13.2 s without).
// Records: parent item, then the name and its terminator; appended to the
// end of each key, they land exactly where the walk order puts them.
static BYTE *pPending;
static SIZE_T cbPending, cbPendingMax, cbFlushed;

// Read before every insert of a refill: the frequency is asked for once.
static double NowMs(void) {
    static double dTicksPerMs;
    LARGE_INTEGER li;
    if (!dTicksPerMs) {
        QueryPerformanceFrequency(&li);
        dTicksPerMs = li.QuadPart / 1000.0;
    }
    QueryPerformanceCounter(&li);
    return li.QuadPart / dTicksPerMs;
}

static HTREEITEM Insert(HTREEITEM hParent, const char *lpszName, int nImage, int nSelected) {
    TVINSERTSTRUCTA tvi = {};
    tvi.hParent = hParent;
    tvi.hInsertAfter = TVI_LAST;
    tvi.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    tvi.item.pszText = (LPSTR)lpszName;
    tvi.item.iImage = nImage;
    tvi.item.iSelectedImage = nSelected;
    return (HTREEITEM)SendMessageA(hTree, TVM_INSERTITEMA, 0, (LPARAM)&tvi);
}

// Inserts waiting values in walk order until the deadline (0: all of them).
static BOOL FlushValues(double dDeadline) {
    for (unsigned nCount = 0; cbFlushed < cbPending; nCount++) {
        // Checked before every insert but the first: at 800,000 items one
        // insert can take 20 ms, so a few of them would hold up the window.
        if (dDeadline && nCount > 0 && NowMs() > dDeadline)
            return FALSE;
        HTREEITEM hParent;
        memcpy(&hParent, pPending + cbFlushed, sizeof(hParent));
        const char *lpszName = (const char *)pPending + cbFlushed + sizeof(hParent);
        Insert(hParent, lpszName, IMG_VALUE, IMG_VALUE);
        cbFlushed += sizeof(hParent) + strlen(lpszName) + 1;
    }
    cbPending = cbFlushed = 0;
    return TRUE;
}

static void FreeValues(void) {
    if (pPending)
        HeapFree(GetProcessHeap(), 0, pPending);
    pPending = NULL;
    cbPending = cbPendingMax = cbFlushed = 0;
}

// Queues one value; when the list cannot grow, what waits goes in first
// and this one directly, which keeps each key's values in order.
static void AddValue(HTREEITEM hParent, const char *lpszName) {
    SIZE_T cbRecord = sizeof(hParent) + strlen(lpszName) + 1;
    if (cbPendingMax - cbPending < cbRecord) {
        SIZE_T cbNew = cbPendingMax ? cbPendingMax * 2 : 1 << 16;
        while (cbNew - cbPending < cbRecord)
            cbNew *= 2;
        void *pNew = pPending ? HeapReAlloc(GetProcessHeap(), 0, pPending, cbNew)
                              : HeapAlloc(GetProcessHeap(), 0, cbNew);
        if (!pNew) {
            FlushValues(0);
            Insert(hParent, lpszName, IMG_VALUE, IMG_VALUE);
            return;
        }
        pPending = (BYTE *)pNew;
        cbPendingMax = cbNew;
    }
    memcpy(pPending + cbPending, &hParent, sizeof(hParent));
    memcpy(pPending + cbPending + sizeof(hParent), lpszName, cbRecord - sizeof(hParent));
    cbPending += cbRecord;
}

// A name's parent is the last key one level up; with no parent (its folder
// was refused) the name and everything under it are dropped.
static void TakeRecord(unsigned nDepth, int nKind, const char *lpszName) {
    HTREEITEM hParent = nDepth == 0 ? TVI_ROOT : nDepth < MAX_DEPTH ? hStack[nDepth - 1] : NULL;
    if (nKind == RECORD_VALUE) {
        if (hParent)
            AddValue(hParent, lpszName);
        return;
    }
    HTREEITEM hItem = hParent ? Insert(hParent, lpszName, IMG_FOLDER, IMG_FOLDER_OPEN) : NULL;
    if (nDepth < MAX_DEPTH)
        hStack[nDepth] = hItem;
}

// Takes what the walker has sent: all of it, to the end of the walk, when
// bWait; else until dDeadline or until no batch is ready. TRUE at the end.
static BOOL TakeArrived(BOOL bWait, double dDeadline) {
    for (unsigned nCount = 0;;) {
        if (!pBatch) {
            BOOL bEnded;
            pBatch = NextBatch(bWait ? INFINITE : 0, &bEnded);
            if (!pBatch)
                return bEnded;
            cbAt = 0;
        }
        // Batches of an earlier fill cannot come after StopWalker; checked anyway.
        while (pBatch->nGeneration == nGeneration && cbAt < pBatch->cbUsed) {
            if (!bWait && nCount++ > 0 && NowMs() > dDeadline)
                return FALSE;
            unsigned nDepth;
            int nKind;
            const char *lpszName;
            size_t cb = UnpackRecord(pBatch->data + cbAt, pBatch->cbUsed - cbAt, &nDepth, &nKind,
                                     &lpszName);
            if (!cb)
                break;
            TakeRecord(nDepth, nKind, lpszName);
            cbAt += (DWORD)cb;
        }
        BOOL bLast = pBatch->bLast;
        pBatch = NULL;
        ReleaseBatch();
        if (bLast)
            return TRUE;
    }
}

// Wine's tree view looks every item up by scanning its items from the
// oldest, so emptying a big tree in one call takes seconds. A refill frees
// it in small pieces instead: a key holding only values goes whole, an
// empty key alone; hEmptyAt is where it stands.
static HTREEITEM hEmptyAt;

static HTREEITEM Next(UINT uWhich, HTREEITEM hItem) {
    return (HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, uWhich, (LPARAM)hItem);
}

static BOOL IsValue(HTREEITEM hItem) {
    TVITEMA item = {};
    item.mask = TVIF_IMAGE;
    item.hItem = hItem;
    SendMessageA(hTree, TVM_GETITEMA, 0, (LPARAM)&item);
    return item.iImage == IMG_VALUE;
}

static BOOL EmptySome(double dDeadline) {
    for (;;) {
        if (!hEmptyAt && (hEmptyAt = Next(TVGN_ROOT, NULL)) == NULL)
            return TRUE;
        HTREEITEM hChild = Next(TVGN_CHILD, hEmptyAt);
        if (hChild && !IsValue(hChild)) {
            hEmptyAt = hChild;
            continue;
        }
        HTREEITEM hParent = Next(TVGN_PARENT, hEmptyAt);
        SendMessageA(hTree, TVM_DELETEITEM, 0, (LPARAM)hEmptyAt);
        hEmptyAt = hParent;
        if (NowMs() > dDeadline)
            return FALSE;
    }
}

// Ends any fill in progress and starts the walk, which reads while the
// tree is emptied.
static void BeginFill(void) {
    CancelFill();
    nGeneration++;
    bRefillDue = bEmptied = bWalked = FALSE;
    hEmptyAt = NULL;
    bFilling = TRUE;
    // Redraw off first: emptying a big tree with it on repaints for nothing.
    SendMessageA(hTree, WM_SETREDRAW, FALSE, 0);
    StartWalker(nGeneration); // when it cannot start, the fill ends empty
}

static void FinishFill(void) {
    StopWalker();
    FreeValues();
    bFilling = FALSE;
    SendMessageA(hTree, WM_SETREDRAW, TRUE, 0);
    UpdateWindow(hTree);
    InterlockedIncrement(&nFillsDone);
    // Keys changed while it ran: one more refill shows them all.
    if (bRefillDue) {
        BeginFill();
        ContinueFill(FALSE);
    }
}

void FillTreeView(void) {
    SetCursor(LoadCursorA(NULL, (LPCSTR)IDC_WAIT));
    BeginFill();
    SendMessageA(hTree, TVM_DELETEITEM, 0, (LPARAM)TVI_ROOT); // the walker reads meanwhile
    TakeArrived(TRUE, 0);
    FlushValues(0);
    FinishFill();
    SetCursor(LoadCursorA(NULL, (LPCSTR)IDC_ARROW));
}

void RefillTreeView(void) {
    InterlockedExchange(&nNoticesQueued, 0);
    if (bFilling) {
        bRefillDue = TRUE;
        return;
    }
    BeginFill();
    ContinueFill(FALSE);
}

// Posted messages come before input and paint: with input waiting, the next
// slice waits for a timer, which comes after them.
static void QueueSlice(void) {
    InterlockedExchange(&bSliceQueued, 1);
    if (HIWORD(GetQueueStatus(QS_INPUT | QS_PAINT)))
        SetTimer(hWndMain, IDT_FILLSLICE, 0, NULL);
    else
        PostMessageA(hWndMain, WM_FILLSLICE, 0, 0);
}

void ContinueFill(BOOL bTimer) {
    if (bTimer)
        KillTimer(hWndMain, IDT_FILLSLICE);
    if (!bFilling) {
        InterlockedExchange(&bSliceQueued, 0);
        return;
    }
    if (!bTimer && HIWORD(GetQueueStatus(QS_INPUT | QS_PAINT))) {
        QueueSlice();
        return;
    }
    InterlockedExchange(&bSliceQueued, 0);
    double dDeadline = NowMs() + SLICE_MS;
    if (!bEmptied) {
        if (!EmptySome(dDeadline))
            return QueueSlice();
        SendMessageA(hTree, TVM_DELETEITEM, 0, (LPARAM)TVI_ROOT); // nothing left but the root
        bEmptied = TRUE;
    }
    if (!bWalked) {
        if (!TakeArrived(FALSE, dDeadline)) {
            // Out of time, or the walker posts when the next batch is ready.
            if (pBatch || NowMs() > dDeadline)
                QueueSlice();
            return;
        }
        bWalked = TRUE;
    }
    if (!FlushValues(dDeadline))
        return QueueSlice();
    FinishFill();
}

void CancelFill(void) {
    StopWalker();
    pBatch = NULL;
    FreeValues();
    if (hWndMain)
        KillTimer(hWndMain, IDT_FILLSLICE);
    InterlockedExchange(&bSliceQueued, 0);
    if (bFilling)
        SendMessageA(hTree, WM_SETREDRAW, TRUE, 0);
    bFilling = bRefillDue = FALSE;
}

BOOL TreeSettled(void) {
    return !bFilling && !bRefillDue && WatcherIdle();
}
