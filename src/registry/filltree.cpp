// The registry tree's driver, on the window's thread (docs/registry.md). A
// fill or an update goes in short slices: a command's back to back, answering
// other threads between them; a watcher's change one slice per posted message.
#include "registry/observe.h"
#include "registry/parts.h"
#include "registry/receive.h"
#include "registry/update.h"
#include "registry/watcher.h"
#include "registry/writer.h"

#include <cstdlib>

static const double SLICE_MS = 15.0;     // a fill gives the window back this often
static const DWORD MANY_UPDATE_OPS = 64; // more tree messages than this turn redraw off

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
    int nEnd; // how the read ended
} fill;
volatile LONG nFillsDone = 0, nUpdatesDone = 0;

static void RedrawOffIfMany(void) {
    if (OpsLeft() + OpenedCount() > MANY_UPDATE_OPS)
        RedrawOff(FALSE);
}

// The next part read again; FALSE when none is left.
static BOOL NextRead(void) {
    const BYTE *pName;
    ReadOrder *pOrder = NextUpdate(++fill.nGeneration, &pName);
    if (!pOrder)
        return FALSE;
    BeginReceive(pName, FALSE, fill.nGeneration);
    fill.nPhase = PHASE_READING;
    fill.nEnd = READ_CANNOT_PLACE;
    StartReader(pOrder);
    return TRUE;
}

static void BeginFill(BOOL bCommand);

static StepResult Step(double dDeadline) {
    static const BYTE abHive[] = {0}; // the hive's name is empty
    for (;;) {
        switch (fill.nPhase) {
        case PHASE_EMPTYING:
            if (!EmptyTree(dDeadline))
                return STEP_TIMEUP;
            ResetModel();
            BeginReceive(abHive, TRUE, fill.nGeneration);
            fill.nPhase = PHASE_READING;
            break;
        case PHASE_READING: {
            StepResult nResult = TakeBatches(dDeadline, &fill.nEnd);
            if (nResult != STEP_DONE)
                return nResult;
            KeyNode *pRead = EndReceive();
            StopReader();
            if (fill.bWhole) {
                BeginValues();
                fill.nPhase = PHASE_VALUES;
                break;
            }
            int nNext = CompareUpdate(pRead, fill.nEnd);
            if (nNext == UPDATE_WHOLE) {
                BeginFill(fill.bCommand);
                return STEP_TIMEUP;
            }
            fill.nPhase = PHASE_SENDING;
            if (nNext == UPDATE_NEXT && !NextRead())
                return STEP_DONE;
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

// The tree stays as it is: an update's changes worked out so far go in at
// once, so the model says what the tree holds.
static void EndFill(BOOL bRedraw) {
    StopReader();
    if (!fill.bWhole && (fill.nPhase == PHASE_READING || fill.nPhase == PHASE_SENDING)) {
        RedrawOffIfMany();
        if (fill.nPhase == PHASE_READING)
            DropTree(EndReceive());
        SendOps(0);
        ForgetUpdates();
    }
    if (hWndMain)
        KillTimer(hWndMain, IDT_FILLSLICE);
    InterlockedExchange(&bSliceQueued, 0);
    if (fill.nPhase != PHASE_IDLE && fill.nPhase != PHASE_CLOSED && bRedraw)
        RedrawOn();
    if (fill.nPhase != PHASE_CLOSED)
        fill.nPhase = PHASE_IDLE;
    fill.bCommand = fill.bRefillDue = FALSE;
}

// The reader reads the hive while the old tree is emptied (in one call when
// an update broke the model); the hive is watched whole until cut again.
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
    RedrawOff(TRUE); // first: emptying a big tree with it on repaints for nothing
    ReadOrder *pOrder = (ReadOrder *)calloc(1, sizeof(ReadOrder));
    if (pOrder)
        pOrder->nGeneration = ++fill.nGeneration;
    StartReader(pOrder);
}

static void BeginUpdate(void) {
    fill.bWhole = FALSE;
    RedrawOffIfMany();
    CollapseOpened();
    if (!NextRead())
        fill.nPhase = PHASE_SENDING; // nothing left to read: ends at the next step
}

// Links beyond their share: only a whole read shows them right, so such a
// tree is not cut into parts.
static void FinishFill(void) {
    BOOL bRefillDue = fill.bRefillDue, bWhole = fill.bWhole;
    if (!bWhole)
        ScrollToTop();
    else if (!bRefillDue && fill.nEnd != READ_CAPPED)
        PlanParts();
    EndFill(TRUE);
    InterlockedIncrement(bWhole ? &nFillsDone : &nUpdatesDone);
    if (bRefillDue)
        BeginFill(FALSE);
    else if (UpdateQueued())
        BeginUpdate();
    ContinueFill(FALSE);
}

void OpenRegistryTree(void) {
    bWineTreeView = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != NULL;
    fill.nPhase = PHASE_IDLE;
    fill.bCommand = fill.bRefillDue = bModelBroken = FALSE;
    DropAllWatches(); // before the model they point into goes
    ForgetUpdates();
    ResetWriter(TRUE); // of an earlier window's tree
    ResetModel();
    if (hTree)
        CreateWatcher();
}

// Posted messages and input wait, so no command runs in the middle. The
// watcher is armed before the first walk.
void FillTreeView(void) {
    if (fill.nPhase == PHASE_CLOSED)
        return;
    StartWatcher();
    SetCursor(LoadCursorA(NULL, (LPCSTR)IDC_WAIT));
    BeginFill(TRUE);
    for (StepResult nResult; (nResult = Step(NowMs() + SLICE_MS)) != STEP_DONE;) {
        if (nResult == STEP_STARVED)
            WaitForBatch(); // or a sent message
        AnswerSentMessages();
    }
    fill.bCommand = FALSE; // what comes after runs in slices of its own
    FinishFill();
    SetCursor(LoadCursorA(NULL, (LPCSTR)IDC_ARROW));
}

// A change the watcher could not place, or any during a whole fill, brings
// a whole refill.
void RefillTreeView(void) {
    InterlockedExchange(&nNoticesQueued, 0);
    size_t nCount;
    BOOL bUnlocated;
    LONG *pnWatches = TakeNotices(&nCount, &bUnlocated);
    bUnlocated |= !bPartsWatched || TooManyOpened();
    if (!bUnlocated)
        QueueUpdates(pnWatches, nCount);
    free(pnWatches);
    if (fill.nPhase == PHASE_CLOSED || (!bUnlocated && nCount == 0))
        return;
    if (fill.nPhase != PHASE_IDLE) {
        fill.bRefillDue |= bUnlocated || fill.bWhole; // else the update under way reads them too
        return;
    }
    if (bUnlocated)
        BeginFill(FALSE);
    else
        BeginUpdate();
    ContinueFill(FALSE);
}

// Posted messages come before input and paint; a timer comes after them.
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
