// The registry tree's driver, on the window's thread: every key and value
// name of HKEY_LOCAL_MACHINE. One change flows one way:
//   watcher (a notice) -> here -> reader (the part to read) -> here
//   (records, receive.cpp) -> update.cpp (the compare) -> writer.cpp.
// A whole fill empties the tree while the reader reads the hive, then takes
// its names as they come. Either goes in short slices: a command runs them
// back to back and answers messages sent by other threads in between; a
// watcher's change runs one slice per posted message, between the window's
// other messages. One fill or update at a time: a new fill ends the old.
// Once the program quits, none starts again.
#include "registry/observe.h"
#include "registry/parts.h"
#include "registry/reader.h"
#include "registry/receive.h"
#include "registry/update.h"
#include "registry/watcher.h"
#include "registry/writer.h"

// A fill gives the window back this often (ms).
static const double SLICE_MS = 15.0;
// Turning redraw back on makes the tree view walk every item, so an update
// of up to this many tree messages leaves it on.
static const DWORD MANY_UPDATE_OPS = 64;

enum FillPhase {
    PHASE_IDLE,
    PHASE_EMPTYING, // a whole fill: the old tree goes, piece by piece, while the reader reads
    PHASE_READING,  // names come in: a whole fill's into the tree, an update's into a read tree
    PHASE_VALUES,   // a whole fill: every key is in, the values go in
    PHASE_SENDING,  // an update: what differs goes to the tree
    PHASE_CLOSED,   // the program is quitting: no fill starts again
};

static struct {
    FillPhase nPhase;
    BOOL bWhole;     // a whole fill, not an update
    BOOL bCommand;   // a command waits for this fill to end
    BOOL bRefillDue; // keys changed while a whole fill ran: one more shows them
    LONG nGeneration;
    Batch *pBatch; // being taken, from cbAt on
    DWORD cbAt;
    int nEnd; // how the read ended
} fill;

volatile LONG nFillsDone = 0, nUpdatesDone = 0;

enum StepResult { STEP_DONE, STEP_TIMEUP, STEP_STARVED };

static void RedrawOffIfMany(void) {
    if (OpsLeft() + OpenedCount() > MANY_UPDATE_OPS)
        RedrawOff(FALSE);
}

// Takes what the reader has sent until the deadline or until no batch is
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
        Batch *pBatch = fill.pBatch;
        // Batches of an earlier read cannot come after StopReader; checked anyway.
        while (pBatch->nGeneration == fill.nGeneration && fill.cbAt < pBatch->cbUsed) {
            if (nCount++ > 0 && NowMs() > dDeadline)
                return STEP_TIMEUP;
            Record r;
            size_t cb = UnpackRecord(pBatch->data + fill.cbAt, pBatch->cbUsed - fill.cbAt, &r);
            if (!cb)
                break;
            TakeRecord(r);
            fill.cbAt += (DWORD)cb;
        }
        BOOL bLast = pBatch->bLast;
        fill.nEnd = pBatch->nEnd;
        fill.pBatch = NULL;
        ReleaseBatch();
        if (bLast)
            return STEP_DONE;
    }
}

static void BeginFill(BOOL bCommand);

// The next part read again; FALSE when none is left.
static BOOL NextRead(void) {
    const BYTE *pName;
    fill.pBatch = NULL;
    fill.nEnd = READ_CANNOT_PLACE; // until the reader says otherwise
    ReadOrder *pOrder = NextUpdate(++fill.nGeneration, &pName);
    if (!pOrder)
        return FALSE;
    BeginReceive(pName, FALSE);
    fill.nPhase = PHASE_READING;
    StartReader(pOrder); // when it cannot start, the read ends with nothing placed
    return TRUE;
}

static StepResult Step(double dDeadline) {
    for (;;) {
        switch (fill.nPhase) {
        case PHASE_EMPTYING: {
            if (!EmptyTree(dDeadline))
                return STEP_TIMEUP;
            ResetModel();
            static const BYTE abHive[] = {0};
            BeginReceive(abHive, TRUE);
            fill.nPhase = PHASE_READING;
            break;
        }
        case PHASE_READING: {
            StepResult nResult = TakeArrived(dDeadline);
            if (nResult != STEP_DONE)
                return nResult;
            KeyNode *pRead = EndReceive();
            StopReader();
            if (fill.bWhole) {
                BeginValues();
                fill.nPhase = PHASE_VALUES;
                break;
            }
            switch (CompareUpdate(pRead, fill.nEnd)) {
            case UPDATE_WHOLE: BeginFill(fill.bCommand); return STEP_TIMEUP;
            case UPDATE_NEXT:
                if (!NextRead())
                    return STEP_DONE;
                break;
            default: fill.nPhase = PHASE_SENDING;
            }
            break;
        }
        case PHASE_SENDING:
            RedrawOffIfMany();
            if (!SendOps(dDeadline))
                return STEP_TIMEUP;
            if (!NextRead())
                return STEP_DONE;
            if (NowMs() > dDeadline)
                return STEP_TIMEUP;
            break;
        case PHASE_VALUES: return InsertValues(dDeadline) ? STEP_DONE : STEP_TIMEUP;
        default: return STEP_DONE;
        }
    }
}

// Ends any fill in progress; the tree stays as it is. An update's changes
// worked out so far go in at once, so the model says what the tree holds.
static void EndFill(BOOL bRedraw) {
    if (!fill.bWhole && (fill.nPhase == PHASE_READING || fill.nPhase == PHASE_SENDING)) {
        RedrawOffIfMany();
        StopReader();
        if (fill.nPhase == PHASE_READING)
            DropReadTree(EndReceive());
        SendOps(0);
        ForgetUpdates();
    }
    StopReader();
    fill.pBatch = NULL;
    if (hWndMain)
        KillTimer(hWndMain, IDT_FILLSLICE);
    InterlockedExchange(&bSliceQueued, 0);
    if (fill.nPhase != PHASE_IDLE && fill.nPhase != PHASE_CLOSED) {
        fill.nPhase = PHASE_IDLE;
        if (bRedraw)
            RedrawOn();
    }
    fill.bCommand = fill.bRefillDue = FALSE;
}

// Starts the reader on the hive, which reads while the old tree is emptied
// (by the model of it, or in one call when an update broke that). The hive
// is watched whole until the new tree is cut into parts.
static void BeginFill(BOOL bCommand) {
    EndFill(FALSE);
    ForgetUpdates(); // the whole fill shows them
    AskWatcher(REQ_WHOLE);
    DropAllWatches();
    ResetWriter(FALSE);
    BeginEmptying(!bModelBroken);
    bModelBroken = FALSE;
    fill.nPhase = PHASE_EMPTYING;
    fill.bWhole = TRUE;
    fill.bCommand = bCommand;
    fill.nEnd = READ_CANNOT_PLACE;
    // Redraw off first: emptying a big tree with it on repaints for nothing.
    RedrawOff(TRUE);
    ReadOrder *pOrder = (ReadOrder *)calloc(1, sizeof(ReadOrder));
    if (pOrder)
        pOrder->nGeneration = ++fill.nGeneration;
    StartReader(pOrder); // when it cannot start, the fill ends empty
}

// Only changes the watcher placed: those parts are read again, and what
// differs goes to the tree, after what the user opened is closed.
static void BeginUpdate(void) {
    if (!UpdateQueued())
        return;
    fill.bWhole = FALSE;
    RedrawOffIfMany(); // what the user opened, to collapse
    CollapseOpened();
    if (!NextRead())
        fill.nPhase = PHASE_SENDING; // nothing left to read: ends at the next step
}

static void FinishFill(void) {
    BOOL bRefillDue = fill.bRefillDue, bWhole = fill.bWhole;
    if (!bWhole)
        ScrollToTop();
    else if (!bRefillDue && fill.nEnd != READ_CAPPED)
        PlanParts(); // links beyond their share: only a whole read shows them right
    EndFill(TRUE);
    InterlockedIncrement(bWhole ? &nFillsDone : &nUpdatesDone);
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
    bWineTreeView = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != NULL;
    fill.nPhase = PHASE_IDLE;
    fill.bCommand = fill.bRefillDue = FALSE;
    DropAllWatches(); // before the model they point into goes
    ForgetUpdates();
    ResetWriter(TRUE); // of an earlier window's tree
    ResetModel();
    bModelBroken = FALSE;
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
    size_t nCount;
    BOOL bUnlocated;
    LONG *pnWatches = TakeNotices(&nCount, &bUnlocated);
    if (!bPartsWatched || TooManyOpened())
        bUnlocated = TRUE;
    if (!bUnlocated)
        QueueUpdates(pnWatches, nCount);
    free(pnWatches);
    if (fill.nPhase == PHASE_CLOSED || (!bUnlocated && nCount == 0))
        return;
    BOOL bUpdating = !fill.bWhole && fill.nPhase != PHASE_IDLE;
    if (fill.nPhase == PHASE_IDLE) {
        if (bUnlocated)
            BeginFill(FALSE);
        else
            BeginUpdate();
        ContinueFill(FALSE);
    } else if (bUnlocated || !bUpdating) {
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
    case STEP_STARVED: break; // the reader posts when the next batch is ready
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
