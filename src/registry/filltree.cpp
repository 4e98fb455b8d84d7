// Registry tree: every key and value name of HKEY_LOCAL_MACHINE, rebuilt
// from scratch on each fill. The walker reads the names; only this thread
// touches the tree. A command fills at once (the walker reads while this
// thread inserts); a watcher refill inserts in short slices between the
// window's other messages. One fill at a time: a new one ends the old.
#include "corvane.h"
#include "registry/namebuf.h"

// Deeper than the registry allows keys to nest; deeper names are dropped.
static const unsigned MAX_DEPTH = 520;
// A refill gives the window back this often (ms).
static const double SLICE_MS = 15.0;

volatile LONG nFillsDone = 0;
static LONG nGeneration;
static BOOL bFilling, bRefillDue;
static HTREEITEM hStack[MAX_DEPTH]; // the last key item at each depth
static TreeBatch *pBatch;           // being inserted, from cbAt on
static DWORD cbAt;

enum { FILL_DONE, FILL_WAITING, FILL_TIMEUP };

static double NowMs(void) {
    LARGE_INTEGER li, liFreq;
    QueryPerformanceCounter(&li);
    QueryPerformanceFrequency(&liFreq);
    return li.QuadPart * 1000.0 / liFreq.QuadPart;
}

// A name's parent is the last key one level up; with no parent (its folder
// was refused) the name and everything under it are dropped.
static void InsertRecord(unsigned nDepth, int nKind, const char *lpszName) {
    HTREEITEM hParent = nDepth == 0 ? TVI_ROOT : nDepth < MAX_DEPTH ? hStack[nDepth - 1] : NULL;
    HTREEITEM hItem = NULL;
    if (hParent) {
        TVINSERTSTRUCTA tvi = {};
        tvi.hParent = hParent;
        tvi.hInsertAfter = TVI_LAST;
        tvi.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
        tvi.item.pszText = (LPSTR)lpszName;
        tvi.item.iImage = nKind == RECORD_KEY ? 0 : 2;
        tvi.item.iSelectedImage = nKind == RECORD_KEY ? 1 : 2;
        hItem = (HTREEITEM)SendMessageA(hTree, TVM_INSERTITEMA, 0, (LPARAM)&tvi);
    }
    if (nKind == RECORD_KEY && nDepth < MAX_DEPTH)
        hStack[nDepth] = hItem;
}

// Inserts what the walker has sent: all of it to the end of the walk when
// bWait, else until dDeadline or until no batch is ready.
static int InsertArrived(BOOL bWait, double dDeadline) {
    for (unsigned nCount = 0;;) {
        if (!pBatch) {
            BOOL bEnded;
            pBatch = NextBatch(bWait ? INFINITE : 0, &bEnded);
            if (!pBatch)
                return bEnded ? FILL_DONE : FILL_WAITING;
            cbAt = 0;
        }
        // Batches of an earlier fill cannot come after StopWalker; checked anyway.
        while (pBatch->nGeneration == nGeneration && cbAt < pBatch->cbUsed) {
            unsigned nDepth;
            int nKind;
            const char *lpszName;
            size_t cb = UnpackRecord(pBatch->data + cbAt, pBatch->cbUsed - cbAt, &nDepth, &nKind,
                                     &lpszName);
            if (!cb)
                break;
            InsertRecord(nDepth, nKind, lpszName);
            cbAt += (DWORD)cb;
            if (!bWait && ++nCount % 16 == 0 && NowMs() > dDeadline)
                return FILL_TIMEUP;
        }
        BOOL bLast = pBatch->bLast;
        pBatch = NULL;
        ReleaseBatch();
        if (bLast)
            return FILL_DONE;
    }
}

// Ends any fill in progress, empties the tree and starts the walk.
static void BeginFill(void) {
    CancelFill();
    nGeneration++;
    bRefillDue = FALSE;
    // Redraw off first: emptying a big tree with it on repaints for nothing.
    SendMessageA(hTree, WM_SETREDRAW, FALSE, 0);
    SendMessageA(hTree, TVM_DELETEITEM, 0, (LPARAM)TVI_ROOT);
    bFilling = TRUE;
    StartWalker(nGeneration); // when it cannot start, the fill ends empty
}

static void FinishFill(void) {
    StopWalker();
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
    InsertArrived(TRUE, 0);
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
    switch (InsertArrived(FALSE, NowMs() + SLICE_MS)) {
    case FILL_DONE: FinishFill(); break;
    case FILL_TIMEUP: QueueSlice(); break;
    default: break; // the walker posts when the next batch is ready
    }
}

void CancelFill(void) {
    StopWalker();
    pBatch = NULL;
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
