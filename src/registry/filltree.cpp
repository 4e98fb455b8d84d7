// Registry tree: every key and value name of HKEY_LOCAL_MACHINE, rebuilt
// from scratch on each fill. The walker reads the names; only this thread
// touches the tree. A fill goes in short slices: a command runs them back to
// back and answers messages sent by other threads in between; a watcher
// refill runs one slice per posted message, between the window's other
// messages. One fill at a time: a new one ends the old. Once the program
// quits, none starts again.
#include "registry/namebuf.h"
#include "registry/registry.h"

#include <cstring>

// The tree's images: a closed and an open folder for keys, a page for values.
enum { IMG_FOLDER = 0, IMG_FOLDER_OPEN = 1, IMG_VALUE = 2 };
// A fill gives the window back this often (ms).
static const double SLICE_MS = 15.0;

enum FillPhase {
    PHASE_IDLE,     // no fill
    PHASE_EMPTYING, // the old tree goes, piece by piece, while the walker reads
    PHASE_KEYS,     // names come in: keys go into the tree, values wait
    PHASE_VALUES,   // the walk is done: the waiting values go in
    PHASE_CLOSED,   // the program is quitting: no fill starts again
};

// Windows' tree view walks a parent's whole chain of children to insert at
// TVI_LAST; at TVI_FIRST or after a given item it does not. So the walker
// sends each level last name first and every key goes in first under its
// parent. Values wait until every key is in (Wine's tree view finds a
// parent by scanning its items from the oldest, so keys stay near the
// front); each key's then go in last first, after its last subkey. That
// subkey was the first one inserted under the key, right behind it, so it
// is as quick for Wine to find as the key itself.
static struct {
    FillPhase nPhase;
    BOOL bCommand;   // a command waits for this fill to end
    BOOL bRefillDue; // keys changed while it ran: one more fill shows them
    LONG nGeneration;
    TreeBatch *pBatch; // being inserted, from cbAt on
    DWORD cbAt;
    HTREEITEM hKey[MAX_TREE_DEPTH]; // the last key inserted at each depth
    // At depth d: the last key in the tree's order under hKey[d - 1] (d = 0:
    // at the top), where that key's values go after.
    HTREEITEM hLastSub[MAX_TREE_DEPTH + 1];
    BYTE *pValues; // waiting values: parent, place, name
    SIZE_T cbValues, cbValuesMax, cbFlushed;
} fill;

volatile LONG nFillsDone = 0;

// Read before every insert of a slice: the frequency is asked for once.
double NowMs(void) {
    static double dTicksPerMs;
    LARGE_INTEGER li;
    if (!dTicksPerMs) {
        QueryPerformanceFrequency(&li);
        dTicksPerMs = li.QuadPart / 1000.0;
    }
    QueryPerformanceCounter(&li);
    return li.QuadPart / dTicksPerMs;
}

static HTREEITEM Insert(HTREEITEM hParent, HTREEITEM hAfter, const char *lpszName, int nImage,
                        int nSelected) {
    TVINSERTSTRUCTA tvi = {};
    tvi.hParent = hParent;
    tvi.hInsertAfter = hAfter;
    tvi.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    tvi.item.pszText = (LPSTR)lpszName;
    tvi.item.iImage = nImage;
    tvi.item.iSelectedImage = nSelected;
    return (HTREEITEM)SendMessageA(hTree, TVM_INSERTITEMA, 0, (LPARAM)&tvi);
}

// ---- Values, held back until every key is in ----

// Inserts waiting values in walk order until the deadline (0: all of them).
static BOOL FlushValues(double dDeadline) {
    for (unsigned nCount = 0; fill.cbFlushed < fill.cbValues; nCount++) {
        // Checked before every insert but the first: in a tree of a million
        // items one insert under Wine can take tens of ms.
        if (dDeadline && nCount > 0 && NowMs() > dDeadline)
            return FALSE;
        HTREEITEM hPlace[2];
        memcpy(hPlace, fill.pValues + fill.cbFlushed, sizeof(hPlace));
        const char *lpszName = (const char *)fill.pValues + fill.cbFlushed + sizeof(hPlace);
        Insert(hPlace[0], hPlace[1], lpszName, IMG_VALUE, IMG_VALUE);
        fill.cbFlushed += sizeof(hPlace) + strlen(lpszName) + 1;
    }
    fill.cbValues = fill.cbFlushed = 0;
    return TRUE;
}

static void FreeValues(void) {
    if (fill.pValues)
        HeapFree(GetProcessHeap(), 0, fill.pValues);
    fill.pValues = NULL;
    fill.cbValues = fill.cbValuesMax = fill.cbFlushed = 0;
}

// Queues one value; when the list cannot grow, what waits goes in first
// and this one directly, which keeps each key's values in order.
static void AddValue(HTREEITEM hParent, HTREEITEM hAfter, const char *lpszName) {
    HTREEITEM hPlace[2] = {hParent, hAfter};
    SIZE_T cbRecord = sizeof(hPlace) + strlen(lpszName) + 1;
    if (fill.cbValuesMax - fill.cbValues < cbRecord) {
        SIZE_T cbNew = fill.cbValuesMax ? fill.cbValuesMax * 2 : 1 << 16;
        while (cbNew - fill.cbValues < cbRecord)
            cbNew *= 2;
        void *pNew = fill.pValues ? HeapReAlloc(GetProcessHeap(), 0, fill.pValues, cbNew)
                                  : HeapAlloc(GetProcessHeap(), 0, cbNew);
        if (!pNew) {
            FlushValues(0);
            Insert(hParent, hAfter, lpszName, IMG_VALUE, IMG_VALUE);
            return;
        }
        fill.pValues = (BYTE *)pNew;
        fill.cbValuesMax = cbNew;
    }
    memcpy(fill.pValues + fill.cbValues, hPlace, sizeof(hPlace));
    memcpy(fill.pValues + fill.cbValues + sizeof(hPlace), lpszName, cbRecord - sizeof(hPlace));
    fill.cbValues += cbRecord;
}

// ---- Names from the walker ----

// A name's parent is the last key one level up; with no parent (its folder
// was refused) the name and everything under it are dropped.
static void TakeRecord(unsigned nDepth, int nKind, const char *lpszName) {
    if (nDepth >= MAX_TREE_DEPTH)
        return;
    HTREEITEM hParent = nDepth == 0 ? TVI_ROOT : fill.hKey[nDepth - 1];
    if (nKind == RECORD_VALUE) {
        if (!hParent)
            return;
        HTREEITEM hLastSub = fill.hLastSub[nDepth];
        AddValue(hParent, hLastSub ? hLastSub : TVI_FIRST, lpszName);
        if (nDepth > 0)
            NoteValue(nDepth - 1);
        return;
    }
    HTREEITEM hItem =
        hParent ? Insert(hParent, TVI_FIRST, lpszName, IMG_FOLDER, IMG_FOLDER_OPEN) : NULL;
    fill.hKey[nDepth] = hItem;
    fill.hLastSub[nDepth + 1] = NULL;
    if (hItem && !fill.hLastSub[nDepth])
        fill.hLastSub[nDepth] = hItem;
    if (hItem)
        NoteKey(hItem, nDepth);
}

enum StepResult { STEP_DONE, STEP_TIMEUP, STEP_STARVED };

// Takes what the walker has sent until the deadline or until no batch is
// ready; done once the last batch is in.
static StepResult TakeArrived(double dDeadline) {
    for (unsigned nCount = 0;;) {
        if (!fill.pBatch) {
            BOOL bEnded;
            fill.pBatch = NextBatch(FALSE, &bEnded);
            if (!fill.pBatch)
                return bEnded ? STEP_DONE : STEP_STARVED;
            fill.cbAt = 0;
        }
        TreeBatch *pBatch = fill.pBatch;
        // Batches of an earlier fill cannot come after StopWalker; checked anyway.
        while (pBatch->nGeneration == fill.nGeneration && fill.cbAt < pBatch->cbUsed) {
            if (nCount++ > 0 && NowMs() > dDeadline)
                return STEP_TIMEUP;
            unsigned nDepth;
            int nKind;
            const char *lpszName;
            size_t cb = UnpackRecord(pBatch->data + fill.cbAt, pBatch->cbUsed - fill.cbAt, &nDepth,
                                     &nKind, &lpszName);
            if (!cb)
                break;
            TakeRecord(nDepth, nKind, lpszName);
            fill.cbAt += (DWORD)cb;
        }
        BOOL bLast = pBatch->bLast;
        fill.pBatch = NULL;
        ReleaseBatch();
        if (bLast)
            return STEP_DONE;
    }
}

// ---- One fill ----

// Empties, takes names, then inserts the values, until the deadline.
static StepResult Step(double dDeadline) {
    if (fill.nPhase == PHASE_EMPTYING) {
        if (!EmptyTree(dDeadline))
            return STEP_TIMEUP;
        fill.nPhase = PHASE_KEYS;
    }
    if (fill.nPhase == PHASE_KEYS) {
        StepResult nResult = TakeArrived(dDeadline);
        if (nResult != STEP_DONE)
            return nResult;
        fill.nPhase = PHASE_VALUES;
    }
    return FlushValues(dDeadline) ? STEP_DONE : STEP_TIMEUP;
}

// Ends any fill in progress; the tree stays as it is.
static void EndFill(BOOL bRedraw) {
    StopWalker();
    fill.pBatch = NULL;
    FreeValues();
    if (hWndMain)
        KillTimer(hWndMain, IDT_FILLSLICE);
    InterlockedExchange(&bSliceQueued, 0);
    if (fill.nPhase != PHASE_IDLE && fill.nPhase != PHASE_CLOSED) {
        fill.nPhase = PHASE_IDLE;
        if (bRedraw)
            SendMessageA(hTree, WM_SETREDRAW, TRUE, 0);
    }
    fill.bCommand = fill.bRefillDue = FALSE;
}

// Starts the walk, which reads while the old tree is emptied.
static void BeginFill(BOOL bCommand) {
    EndFill(FALSE);
    fill.nGeneration++;
    fill.nPhase = PHASE_EMPTYING;
    fill.bCommand = bCommand;
    fill.hLastSub[0] = NULL;
    // Redraw off first: emptying a big tree with it on repaints for nothing.
    SendMessageA(hTree, WM_SETREDRAW, FALSE, 0);
    StartWalker(fill.nGeneration); // when it cannot start, the fill ends empty
}

static void FinishFill(void) {
    BOOL bRefillDue = fill.bRefillDue;
    EndFill(TRUE);
    // Turning redraw back on does not repaint by itself.
    RedrawWindow(hTree, NULL, NULL, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_ALLCHILDREN);
    UpdateWindow(hTree);
    InterlockedIncrement(&nFillsDone);
    // Keys changed while it ran: one more refill shows them all.
    if (bRefillDue) {
        BeginFill(FALSE);
        ContinueFill(FALSE);
    }
}

// ---- What the window calls ----

void OpenRegistryTree(void) {
    ForgetKeys(); // of an earlier window's tree
    bWineTreeView = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != NULL;
    fill.nPhase = PHASE_IDLE;
    fill.bCommand = fill.bRefillDue = FALSE;
    if (hTree)
        CreateWatcher();
}

// Other threads get their answers between slices; posted messages and
// input wait, so no command, menu or key press runs in the middle.
void FillTreeView(void) {
    if (fill.nPhase == PHASE_CLOSED)
        return;
    StartWatcher(); // once: armed before the walk, so a change during it brings a refill
    SetCursor(LoadCursorA(NULL, (LPCSTR)IDC_WAIT));
    BeginFill(TRUE);
    for (;;) {
        StepResult nResult = Step(NowMs() + SLICE_MS);
        if (nResult == STEP_DONE)
            break;
        if (nResult == STEP_STARVED) {
            BOOL bEnded;
            fill.pBatch = NextBatch(TRUE, &bEnded); // or a sent message
            fill.cbAt = 0;
        }
        AnswerSentMessages();
    }
    FinishFill();
    SetCursor(LoadCursorA(NULL, (LPCSTR)IDC_ARROW));
}

void RefillTreeView(void) {
    InterlockedExchange(&nNoticesQueued, 0);
    if (fill.nPhase == PHASE_CLOSED)
        return;
    if (fill.nPhase != PHASE_IDLE) {
        fill.bRefillDue = TRUE;
        return;
    }
    BeginFill(FALSE);
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
    // A command's fill runs its own slices.
    if (fill.nPhase == PHASE_IDLE || fill.nPhase == PHASE_CLOSED || fill.bCommand) {
        InterlockedExchange(&bSliceQueued, 0);
        return;
    }
    if (!bTimer && HIWORD(GetQueueStatus(QS_INPUT | QS_PAINT))) {
        QueueSlice();
        return;
    }
    InterlockedExchange(&bSliceQueued, 0);
    switch (Step(NowMs() + SLICE_MS)) {
    case STEP_DONE: FinishFill(); break;
    case STEP_TIMEUP: QueueSlice(); break;
    case STEP_STARVED: break; // the walker posts when the next batch is ready
    }
}

void CloseRegistryTree(void) {
    EndFill(TRUE);
    fill.nPhase = PHASE_CLOSED;
    StopWatcher();
}

BOOL TreeSettled(void) {
    return fill.nPhase == PHASE_IDLE && !fill.bRefillDue && WatcherIdle();
}
