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

// A fill gives the window back this often (ms).
static const double SLICE_MS = 15.0;

enum FillPhase {
    PHASE_IDLE,     // no fill
    PHASE_EMPTYING, // the old tree goes, piece by piece, while the walker reads
    PHASE_KEYS,     // names come in: keys go into the tree, values wait
    PHASE_VALUES,   // the walk is done: the waiting values go in
    PHASE_READING,  // an update: a part is read again
    PHASE_SENDING,  // an update: what differs goes to the tree
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
    KeyNode *pNode[MAX_TREE_DEPTH]; // the model's key at each depth
    unsigned nOpenNodes;            // depths whose counts are still open
    BOOL bNotesStale;               // updates changed the tree since its notes
    BOOL bRedrawOff;                // the tree's, by WM_SETREDRAW
    BYTE *pValues;                  // waiting values: parent, place, name
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

HTREEITEM Insert(HTREEITEM hParent, HTREEITEM hAfter, const char *lpszName, int nImage,
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
        KeyNode *pNode;
        memcpy(hPlace, fill.pValues + fill.cbFlushed, sizeof(hPlace));
        memcpy(&pNode, fill.pValues + fill.cbFlushed + sizeof(hPlace), sizeof(pNode));
        const char *lpszName =
            (const char *)fill.pValues + fill.cbFlushed + sizeof(hPlace) + sizeof(pNode);
        HTREEITEM hItem = Insert(hPlace[0], hPlace[1], lpszName, IMG_VALUE, IMG_VALUE);
        if (hItem && pNode && !AddValueNode(pNode, hItem, lpszName))
            bModelBroken = TRUE;
        fill.cbFlushed += sizeof(hPlace) + sizeof(pNode) + strlen(lpszName) + 1;
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
static void AddValue(HTREEITEM hParent, HTREEITEM hAfter, KeyNode *pNode, const char *lpszName) {
    HTREEITEM hPlace[2] = {hParent, hAfter};
    SIZE_T cbRecord = sizeof(hPlace) + sizeof(pNode) + strlen(lpszName) + 1;
    if (fill.cbValuesMax - fill.cbValues < cbRecord) {
        SIZE_T cbNew = fill.cbValuesMax ? fill.cbValuesMax * 2 : 1 << 16;
        while (cbNew - fill.cbValues < cbRecord)
            cbNew *= 2;
        void *pNew = fill.pValues ? HeapReAlloc(GetProcessHeap(), 0, fill.pValues, cbNew)
                                  : HeapAlloc(GetProcessHeap(), 0, cbNew);
        if (!pNew) {
            FlushValues(0);
            HTREEITEM hItem = Insert(hParent, hAfter, lpszName, IMG_VALUE, IMG_VALUE);
            if (hItem && pNode && !AddValueNode(pNode, hItem, lpszName))
                bModelBroken = TRUE;
            return;
        }
        fill.pValues = (BYTE *)pNew;
        fill.cbValuesMax = cbNew;
    }
    memcpy(fill.pValues + fill.cbValues, hPlace, sizeof(hPlace));
    memcpy(fill.pValues + fill.cbValues + sizeof(hPlace), &pNode, sizeof(pNode));
    memcpy(fill.pValues + fill.cbValues + sizeof(hPlace) + sizeof(pNode), lpszName,
           cbRecord - sizeof(hPlace) - sizeof(pNode));
    fill.cbValues += cbRecord;
}

// ---- Names from the walker ----

// Each key's count of items is added to its parent's once its subtree is in.
static void CloseNodes(unsigned nDepth) {
    while (fill.nOpenNodes > nDepth) {
        unsigned nLevel = --fill.nOpenNodes;
        KeyNode *pNode = fill.pNode[nLevel];
        KeyNode *pParent = nLevel ? fill.pNode[nLevel - 1] : pModelRoot;
        if (!pNode || !pParent)
            continue;
        pParent->nItems += pNode->nItems + 1;
        pParent->bLinkedBelow |= pNode->bLinked | pNode->bLinkedBelow;
    }
}

// A name's parent is the last key one level up; with no parent (its folder
// was refused) the name and everything under it are dropped.
static void TakeRecord(unsigned nDepth, int nKind, const char *lpszName) {
    if (nDepth >= MAX_TREE_DEPTH)
        return;
    HTREEITEM hParent = nDepth == 0 ? TVI_ROOT : fill.hKey[nDepth - 1];
    KeyNode *pParentNode = nDepth == 0 ? pModelRoot : fill.pNode[nDepth - 1];
    if (nKind == RECORD_LINKED) {
        if (nDepth > 0 && pParentNode)
            pParentNode->bLinked = TRUE;
        return;
    }
    if (nKind == RECORD_VALUE) {
        if (!hParent)
            return;
        HTREEITEM hLastSub = fill.hLastSub[nDepth];
        AddValue(hParent, hLastSub ? hLastSub : TVI_FIRST, pParentNode, lpszName);
        if (pParentNode)
            pParentNode->nItems++;
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
    CloseNodes(nDepth);
    KeyNode *pNode = hItem && pParentNode ? NewKeyNode(pParentNode, lpszName) : NULL;
    if (hItem && pParentNode && !pNode)
        bModelBroken = TRUE;
    if (pNode)
        pNode->hItem = hItem;
    fill.pNode[nDepth] = pNode;
    fill.nOpenNodes = nDepth + 1;
}

enum StepResult { STEP_DONE, STEP_TIMEUP, STEP_STARVED };

// Turning redraw back on makes the tree view walk all its items, so an
// update of a few items leaves it on.
static const DWORD MANY_UPDATE_OPS = 64;
static void RedrawOff(void) {
    if (!fill.bRedrawOff)
        SendMessageA(hTree, WM_SETREDRAW, FALSE, 0);
    fill.bRedrawOff = TRUE;
}
static void RedrawOffIfMany(void) {
    if (UpdateOpsLeft() > MANY_UPDATE_OPS)
        RedrawOff();
}

// Takes what the walker has sent until the deadline or until no batch is
// ready; done once the last batch is in.
static StepResult TakeArrived(double dDeadline, void (*pfnTake)(unsigned, int, const char *)) {
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
            pfnTake(nDepth, nKind, lpszName);
            fill.cbAt += (DWORD)cb;
        }
        BOOL bLast = pBatch->bLast;
        fill.pBatch = NULL;
        ReleaseBatch();
        if (bLast)
            return STEP_DONE;
    }
}

// ---- One fill, or one update ----

static void BeginFill(BOOL bCommand);

// The next part read again, or the update's end; FALSE when none is left.
static BOOL NextRead(void) {
    fill.pBatch = NULL;
    if (!StartUpdateRead(++fill.nGeneration))
        return FALSE;
    fill.nPhase = PHASE_READING;
    return TRUE;
}

// Empties, takes names, then inserts the values, until the deadline; an
// update reads a part, compares it and sends what differs, part by part.
static StepResult Step(double dDeadline) {
    if (fill.nPhase == PHASE_EMPTYING) {
        if (!EmptyTree(dDeadline))
            return STEP_TIMEUP;
        fill.nPhase = PHASE_KEYS;
    }
    if (fill.nPhase == PHASE_KEYS) {
        StepResult nResult = TakeArrived(dDeadline, TakeRecord);
        if (nResult != STEP_DONE)
            return nResult;
        CloseNodes(0);
        fill.nPhase = PHASE_VALUES;
    }
    while (fill.nPhase == PHASE_READING || fill.nPhase == PHASE_SENDING) {
        if (fill.nPhase == PHASE_READING) {
            StepResult nResult = TakeArrived(dDeadline, TakeUpdateRecord);
            if (nResult != STEP_DONE)
                return nResult;
            StopWalker();
            switch (CompareUpdate()) {
            case UPDATE_WHOLE: BeginFill(fill.bCommand); return STEP_TIMEUP;
            case UPDATE_NEXT:
                if (!NextRead())
                    return STEP_DONE;
                continue;
            default: fill.nPhase = PHASE_SENDING;
            }
        }
        RedrawOffIfMany();
        if (!ApplyUpdate(dDeadline))
            return STEP_TIMEUP;
        fill.bNotesStale = TRUE;
        if (!NextRead())
            return STEP_DONE;
        if (NowMs() > dDeadline)
            return STEP_TIMEUP;
    }
    return FlushValues(dDeadline) ? STEP_DONE : STEP_TIMEUP;
}

// Ends any fill in progress; the tree stays as it is. An update's changes
// worked out so far go in at once, so the model says what the tree holds.
static void EndFill(BOOL bRedraw) {
    if (fill.nPhase == PHASE_READING || fill.nPhase == PHASE_SENDING) {
        RedrawOffIfMany();
        EndUpdates();
        fill.bNotesStale = TRUE;
    }
    StopWalker();
    fill.pBatch = NULL;
    FreeValues();
    if (hWndMain)
        KillTimer(hWndMain, IDT_FILLSLICE);
    InterlockedExchange(&bSliceQueued, 0);
    if (fill.nPhase != PHASE_IDLE && fill.nPhase != PHASE_CLOSED) {
        fill.nPhase = PHASE_IDLE;
        if (bRedraw && fill.bRedrawOff) {
            SendMessageA(hTree, WM_SETREDRAW, TRUE, 0);
            fill.bRedrawOff = FALSE;
        }
    }
    fill.bCommand = fill.bRefillDue = FALSE;
}

// Starts the walk, which reads while the old tree is emptied. The tree is
// emptied by its notes, made again from the model after updates; the hive
// is watched whole until the new tree is cut into parts.
static void BeginFill(BOOL bCommand) {
    EndFill(FALSE);
    EndUpdates(); // none queued: the whole fill shows them
    WatchWhole();
    DropAllWatches();
    if (bModelBroken)
        ForgetKeys(); // then the tree goes in one call
    else if (fill.bNotesStale)
        NotesFromModel();
    fill.bNotesStale = bModelBroken = FALSE;
    ResetModel();
    ForgetOpened();
    fill.nOpenNodes = 0;
    fill.nGeneration++;
    fill.nPhase = PHASE_EMPTYING;
    fill.bCommand = bCommand;
    fill.hLastSub[0] = NULL;
    // Redraw off first: emptying a big tree with it on repaints for nothing.
    SendMessageA(hTree, WM_SETREDRAW, FALSE, 0);
    fill.bRedrawOff = TRUE;
    StartWalker(fill.nGeneration); // when it cannot start, the fill ends empty
}

// Only changes reported for parts: they are read again, and what differs
// goes to the tree, after what the user opened is closed.
static void BeginUpdate(void) {
    if (!UpdateQueued())
        return;
    RedrawOffIfMany(); // what the user opened, to collapse
    CollapseForUpdate();
    if (!NextRead()) {
        fill.nPhase = PHASE_SENDING; // nothing left to read: ends at the next step
        fill.bNotesStale = TRUE;
    }
}

static void FinishFill(void) {
    BOOL bRefillDue = fill.bRefillDue;
    BOOL bUpdate = fill.nPhase == PHASE_READING || fill.nPhase == PHASE_SENDING;
    if (bUpdate)
        ScrollToTop();
    else if (!bRefillDue)
        PlanWatches();
    EndFill(TRUE);
    // Turning redraw back on does not repaint by itself.
    RedrawWindow(hTree, NULL, NULL, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_ALLCHILDREN);
    UpdateWindow(hTree);
    InterlockedIncrement(bUpdate ? &nUpdatesDone : &nFillsDone);
    // Keys changed while it ran: one more refill shows them all.
    if (bRefillDue) {
        BeginFill(FALSE);
        ContinueFill(FALSE);
    } else if (UpdateQueued()) {
        BeginUpdate();
        ContinueFill(FALSE);
    }
}

// ---- What the window calls ----

void OpenRegistryTree(void) {
    ForgetKeys(); // of an earlier window's tree
    bWineTreeView = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != NULL;
    fill.nPhase = PHASE_IDLE;
    fill.bCommand = fill.bRefillDue = FALSE;
    fill.bNotesStale = fill.bRedrawOff = FALSE;
    DropAllWatches(); // before the model they point into goes
    ResetModel();
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
    fill.bCommand = FALSE; // what comes after runs in slices of its own
    FinishFill();
    SetCursor(LoadCursorA(NULL, (LPCSTR)IDC_ARROW));
}

// Changes the watcher placed are read again part by part; one it could
// not place, or any while a whole fill runs, brings a whole refill.
void RefillTreeView(void) {
    InterlockedExchange(&nNoticesQueued, 0);
    DWORD nCount;
    BOOL bUnlocated;
    LONG *pnWatches = TakeNotices(&nCount, &bUnlocated);
    if (!bPartsWatched || TooManyOpened())
        bUnlocated = TRUE;
    if (!bUnlocated)
        QueueUpdates(pnWatches, nCount);
    if (pnWatches)
        HeapFree(GetProcessHeap(), 0, pnWatches);
    if (fill.nPhase == PHASE_CLOSED || (!bUnlocated && nCount == 0))
        return;
    if (fill.nPhase == PHASE_IDLE) {
        if (bUnlocated)
            BeginFill(FALSE);
        else
            BeginUpdate();
        ContinueFill(FALSE);
    } else if (bUnlocated || (fill.nPhase != PHASE_READING && fill.nPhase != PHASE_SENDING)) {
        fill.bRefillDue = TRUE;
    }
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
    return fill.nPhase == PHASE_IDLE && !fill.bRefillDue && !UpdateQueued() && WatcherIdle();
}
