// A part of the hive read again, compared with the model, and only the
// difference sent to the tree: each level's names matched in order, a name
// gone deleted with its subtree, a new one inserted with its subtree. Each
// insert goes first under its parent or after a known item, so Windows'
// tree view walks no chain; a delete costs its place in its chain. The
// changes are worked out first and then sent in slices, like a fill.
#include "registry/namebuf.h"
#include "registry/registry.h"

#include <cstdlib>
#include <cstring>

enum { OP_DELETE, OP_KEY, OP_VALUE };
static const DWORD NO_VALUE = 0xFFFFFFFF;
struct TreeOp {
    int nKind;
    KeyNode *pParent;   // OP_KEY, OP_VALUE: inserted under it
    KeyNode *pNode;     // OP_KEY: the key inserted
    DWORD cbValue;      // OP_VALUE: its record in pParent's values
    KeyNode *pAfterKey; // after this key's item, or this value's, or first
    DWORD cbAfter;
    HTREEITEM hDelete;
};

static struct {
    LONG *pnQueued; // watches whose parts wait to be read
    DWORD nQueued, nQueuedMax;
    KeyNode *pTarget, *pRead; // the part, and what was read of it
    unsigned nTopDepth;       // of the part's subkeys
    KeyNode *pAt[MAX_TREE_DEPTH];
    BOOL bCannotPlace;
    TreeOp *pOps;
    DWORD nOps, nOpsMax, nDone;
    HTREEITEM *phOpened; // items the user expanded
    DWORD nOpened, nOpenedMax;
    BOOL bTooManyOpened;
} upd;

volatile LONG nUpdatesDone = 0;
BOOL bModelBroken = FALSE;

void QueueUpdates(const LONG *pnWatches, DWORD nCount) {
    for (DWORD i = 0; i < nCount; i++) {
        BOOL bThere = FALSE;
        for (DWORD j = 0; j < upd.nQueued && !bThere; j++)
            bThere = upd.pnQueued[j] == pnWatches[i];
        if (bThere)
            continue;
        if (upd.nQueued == upd.nQueuedMax) {
            DWORD nNew = upd.nQueuedMax ? upd.nQueuedMax * 2 : 64;
            void *pNew = upd.pnQueued
                             ? HeapReAlloc(GetProcessHeap(), 0, upd.pnQueued, nNew * sizeof(LONG))
                             : HeapAlloc(GetProcessHeap(), 0, nNew * sizeof(LONG));
            if (!pNew)
                return;
            upd.pnQueued = (LONG *)pNew;
            upd.nQueuedMax = nNew;
        }
        upd.pnQueued[upd.nQueued++] = pnWatches[i];
    }
}

BOOL UpdateQueued(void) {
    return upd.nQueued > 0;
}

// The next queued part still in the model, its walk started.
BOOL StartUpdateRead(LONG nGeneration) {
    static char szPath[65536];
    while (upd.nQueued > 0) {
        KeyNode *pTarget = WatchedNode(upd.pnQueued[0]);
        memmove(upd.pnQueued, upd.pnQueued + 1, --upd.nQueued * sizeof(LONG));
        if (!pTarget || !pTarget->hItem || !KeyPathOf(pTarget, szPath, sizeof(szPath)))
            continue;
        upd.pRead = NewKeyNode(NULL, pTarget->szName);
        if (!upd.pRead)
            return FALSE;
        upd.pTarget = pTarget;
        upd.nTopDepth = KeyDepth(pTarget);
        upd.bCannotPlace = FALSE;
        if (pTarget->bShallow && !TurnNames(pTarget))
            upd.bCannotPlace = TRUE;
        if (StartPartWalker(nGeneration, szPath, pTarget))
            return TRUE;
        FreeKeyNode(upd.pRead);
        upd.pRead = NULL;
        return FALSE;
    }
    return FALSE;
}

void TakeUpdateRecord(unsigned nDepth, int nKind, const char *lpszName) {
    if (nDepth < upd.nTopDepth || nDepth >= MAX_TREE_DEPTH || !upd.pRead)
        return;
    KeyNode *pParent = nDepth == upd.nTopDepth ? upd.pRead : upd.pAt[nDepth - 1];
    if (nKind == RECORD_LINKED) {
        // A link inside a part: its target is watched by nothing here.
        if (nDepth > upd.nTopDepth)
            upd.bCannotPlace = TRUE;
        return;
    }
    if (nKind == RECORD_STAMP) {
        if (upd.pAt[nDepth]) // the key just read
            upd.pAt[nDepth]->nStamp = strtoull(lpszName, NULL, 16);
        return;
    }
    if (!pParent)
        return;
    if (nKind == RECORD_VALUE) {
        if (!AddValueNode(pParent, NULL, lpszName))
            upd.bCannotPlace = TRUE;
        return;
    }
    KeyNode *pNode = NewKeyNode(pParent, lpszName);
    if (!pNode)
        upd.bCannotPlace = TRUE;
    else
        pNode->bKept = nKind == RECORD_KEPT;
    upd.pAt[nDepth] = pNode;
}

// ---- Working out the changes ----

static void Release(void *p) {
    if (p)
        HeapFree(GetProcessHeap(), 0, p);
}

static BOOL AddOp(int nKind, KeyNode *pParent, KeyNode *pNode, DWORD cbValue, KeyNode *pAfterKey,
                  DWORD cbAfter, HTREEITEM hDelete) {
    if (upd.nOps == upd.nOpsMax) {
        DWORD nNew = upd.nOpsMax ? upd.nOpsMax * 2 : 64;
        void *pNew = upd.pOps ? HeapReAlloc(GetProcessHeap(), 0, upd.pOps, nNew * sizeof(TreeOp))
                              : HeapAlloc(GetProcessHeap(), 0, nNew * sizeof(TreeOp));
        if (!pNew)
            return FALSE;
        upd.pOps = (TreeOp *)pNew;
        upd.nOpsMax = nNew;
    }
    upd.pOps[upd.nOps++] = {nKind, pParent, pNode, cbValue, pAfterKey, cbAfter, hDelete};
    return TRUE;
}

// A new key's subtree, as a fill puts it in: subkeys last first, each first
// under its parent, then values last first after the last subkey.
static BOOL OpsForSubtree(KeyNode *pNode) {
    if (!TurnNames(pNode))
        return FALSE;
    for (DWORD i = pNode->nSubs; i > 0; i--) {
        KeyNode *pSub = pNode->ppSubs[i - 1];
        if (!AddOp(OP_KEY, pNode, pSub, 0, NULL, NO_VALUE, NULL) || !OpsForSubtree(pSub))
            return FALSE;
    }
    DWORD nAt = 0; // values by offset, to go through them backwards
    DWORD *pcb = pNode->nValues
                     ? (DWORD *)HeapAlloc(GetProcessHeap(), 0, pNode->nValues * sizeof(DWORD))
                     : NULL;
    if (pNode->nValues && !pcb)
        return FALSE;
    for (DWORD cb = 0; cb < pNode->cbValues; cb = NextValue(pNode, cb))
        pcb[nAt++] = cb;
    KeyNode *pLastSub = pNode->nSubs ? pNode->ppSubs[pNode->nSubs - 1] : NULL;
    BOOL bOk = TRUE;
    while (bOk && nAt > 0)
        bOk = AddOp(OP_VALUE, pNode, NULL, pcb[--nAt], pLastSub, NO_VALUE, NULL);
    Release(pcb);
    return bOk;
}

// Names to positions, for matching one level's old and new names.
struct NameIndex {
    const char **ppNames;
    DWORD *pnSlots, nMask;
};
static DWORD HashName(const char *p) {
    DWORD h = 2166136261u;
    while (*p)
        h = (h ^ (BYTE)*p++) * 16777619u;
    return h;
}
static BOOL BuildIndex(NameIndex *pIdx, const char **ppNames, DWORD n) {
    pIdx->ppNames = ppNames;
    DWORD nSlots = 16;
    while (nSlots < 2 * n)
        nSlots *= 2;
    pIdx->nMask = nSlots - 1;
    pIdx->pnSlots = (DWORD *)HeapAlloc(GetProcessHeap(), 0, nSlots * sizeof(DWORD));
    if (!pIdx->pnSlots)
        return FALSE;
    memset(pIdx->pnSlots, 0xFF, nSlots * sizeof(DWORD));
    for (DWORD i = 0; i < n; i++) {
        DWORD j = HashName(ppNames[i]) & pIdx->nMask;
        while (pIdx->pnSlots[j] != NO_VALUE)
            j = (j + 1) & pIdx->nMask;
        pIdx->pnSlots[j] = i;
    }
    return TRUE;
}
// The name's first position, or NO_VALUE.
static DWORD Find(const NameIndex *pIdx, const char *lpszName) {
    DWORD nFound = NO_VALUE;
    for (DWORD j = HashName(lpszName) & pIdx->nMask; pIdx->pnSlots[j] != NO_VALUE;
         j = (j + 1) & pIdx->nMask)
        if (strcmp(pIdx->ppNames[pIdx->pnSlots[j]], lpszName) == 0 && pIdx->pnSlots[j] < nFound)
            nFound = pIdx->pnSlots[j];
    return nFound;
}

// Matches two lists in order: for each step, whether to drop the old name
// at i, take the new one at j, or keep both as one.
enum { MATCH_DROP, MATCH_TAKE, MATCH_KEEP };
static int Match(const NameIndex *pOld, DWORD nOld, DWORD i, const NameIndex *pNew, DWORD nNew,
                 DWORD j) {
    if (i < nOld) {
        DWORD n = Find(pNew, pOld->ppNames[i]);
        if (n == NO_VALUE || n < j || j >= nNew)
            return MATCH_DROP;
    }
    if (j < nNew) {
        DWORD n = Find(pOld, pNew->ppNames[j]);
        if (n == NO_VALUE || n < i || i >= nOld)
            return MATCH_TAKE;
    }
    return strcmp(pOld->ppNames[i], pNew->ppNames[j]) == 0 ? MATCH_KEEP : MATCH_DROP;
}

static BOOL CompareKeys(KeyNode *pOld, KeyNode *pNew);

static BOOL CompareSubkeys(KeyNode *pOld, KeyNode *pNew) {
    DWORD nOld = pOld->nSubs, nNew = pNew->nSubs;
    const char **ppNames =
        (const char **)HeapAlloc(GetProcessHeap(), 0, (nOld + nNew + 1) * sizeof(char *));
    KeyNode **ppResult = (KeyNode **)ModelAlloc((nNew + 1) * sizeof(KeyNode *));
    // Freed once matching is over: their names are in the index.
    KeyNode **ppGone = (KeyNode **)HeapAlloc(GetProcessHeap(), 0, (nOld + 1) * sizeof(KeyNode *));
    NameIndex old = {}, fresh = {};
    BOOL bOk = ppNames && ppResult && ppGone;
    for (DWORD i = 0; bOk && i < nOld; i++)
        ppNames[i] = pOld->ppSubs[i]->szName;
    for (DWORD j = 0; bOk && j < nNew; j++)
        ppNames[nOld + j] = pNew->ppSubs[j]->szName;
    bOk = bOk && BuildIndex(&old, ppNames, nOld) && BuildIndex(&fresh, ppNames + nOld, nNew);
    DWORD i = 0, j = 0, nResult = 0, nGone = 0;
    KeyNode *pPrev = NULL;
    while (bOk && (i < nOld || j < nNew)) {
        switch (Match(&old, nOld, i, &fresh, nNew, j)) {
        case MATCH_DROP: {
            KeyNode *pGone = pOld->ppSubs[i++];
            bOk = !pGone->hItem || AddOp(OP_DELETE, NULL, NULL, 0, NULL, NO_VALUE, pGone->hItem);
            ppGone[nGone++] = pGone;
            break;
        }
        case MATCH_TAKE: {
            KeyNode *pNode = pNew->ppSubs[j];
            pNew->ppSubs[j++] = NULL;
            pNode->pParent = pOld;
            ppResult[nResult++] = pNode;
            bOk = !pNode->bKept && AddOp(OP_KEY, pOld, pNode, 0, pPrev, NO_VALUE, NULL) &&
                  OpsForSubtree(pNode);
            if (bOk)
                WatchNewKey(pNode);
            pPrev = pNode;
            break;
        }
        default: {
            KeyNode *pKeep = pOld->ppSubs[i++];
            KeyNode *pFresh = pNew->ppSubs[j++];
            ppResult[nResult++] = pKeep;
            // A subkey watched on its own is read when its own watch says.
            if (!pFresh->bKept) {
                pKeep->nStamp = pFresh->nStamp;
                bOk = CompareKeys(pKeep, pFresh);
            }
            pPrev = pKeep;
        }
        }
    }
    if (bOk) {
        ModelFree(pOld->ppSubs);
        pOld->ppSubs = ppResult;
        pOld->nSubs = pOld->nSubsMax = nResult;
        ppResult = NULL;
        for (DWORD n = 0; n < nGone; n++)
            FreeKeyNode(ppGone[n]);
    }
    ModelFree(ppResult);
    Release(ppGone);
    Release(old.pnSlots);
    Release(fresh.pnSlots);
    Release(ppNames);
    return bOk;
}

static BOOL CompareValues(KeyNode *pOld, const KeyNode *pNew) {
    DWORD nOld = pOld->nValues, nNew = pNew->nValues;
    if (nOld == 0 && nNew == 0)
        return TRUE;
    const char **ppNames =
        (const char **)HeapAlloc(GetProcessHeap(), 0, (nOld + nNew + 1) * sizeof(char *));
    DWORD *pcbOld = (DWORD *)HeapAlloc(GetProcessHeap(), 0, (nOld + 1) * sizeof(DWORD));
    BYTE *pResult = (BYTE *)ModelAlloc(pOld->cbValues + pNew->cbValues + 1);
    NameIndex old = {}, fresh = {};
    BOOL bOk = ppNames && pcbOld && pResult;
    DWORD n = 0;
    for (DWORD cb = 0; bOk && cb < pOld->cbValues; cb = NextValue(pOld, cb)) {
        pcbOld[n] = cb;
        ppNames[n++] = ValueName(pOld->pValues + cb);
    }
    for (DWORD cb = 0; bOk && cb < pNew->cbValues; cb = NextValue(pNew, cb))
        ppNames[n++] = ValueName(pNew->pValues + cb);
    bOk = bOk && BuildIndex(&old, ppNames, nOld) && BuildIndex(&fresh, ppNames + nOld, nNew);
    DWORD i = 0, j = 0, cbUsed = 0, nResult = 0, cbPrev = NO_VALUE;
    KeyNode *pLastSub = pOld->nSubs ? pOld->ppSubs[pOld->nSubs - 1] : NULL;
    while (bOk && (i < nOld || j < nNew)) {
        int nMatch = Match(&old, nOld, i, &fresh, nNew, j);
        if (nMatch == MATCH_DROP) {
            HTREEITEM hGone = ValueItem(pOld->pValues + pcbOld[i++]);
            bOk = !hGone || AddOp(OP_DELETE, NULL, NULL, 0, NULL, NO_VALUE, hGone);
            continue;
        }
        HTREEITEM hItem = nMatch == MATCH_KEEP ? ValueItem(pOld->pValues + pcbOld[i++]) : NULL;
        const char *lpszName = ppNames[nOld + j++];
        size_t cbName = strlen(lpszName) + 1;
        memcpy(pResult + cbUsed, &hItem, sizeof(hItem));
        memcpy(pResult + cbUsed + sizeof(hItem), lpszName, cbName);
        if (nMatch == MATCH_TAKE)
            bOk = AddOp(OP_VALUE, pOld, NULL, cbUsed, pLastSub, cbPrev, NULL);
        cbPrev = cbUsed;
        cbUsed += (DWORD)(sizeof(hItem) + cbName);
        nResult++;
    }
    if (bOk) {
        ModelFree(pOld->pValues);
        pOld->pValues = pResult;
        pOld->cbValues = pOld->cbValuesMax = cbUsed;
        pOld->nValues = nResult;
        pResult = NULL;
    }
    ModelFree(pResult);
    Release(old.pnSlots);
    Release(fresh.pnSlots);
    Release(ppNames);
    Release(pcbOld);
    return bOk;
}

static BOOL CompareKeys(KeyNode *pOld, KeyNode *pNew) {
    return TurnNames(pOld) && TurnNames(pNew) && CompareSubkeys(pOld, pNew) &&
           CompareValues(pOld, pNew);
}

// Once the part is read: what to do next.
int CompareUpdate(void) {
    KeyNode *pRead = upd.pRead, *pTarget = upd.pTarget;
    upd.pRead = NULL;
    int nResult = UPDATE_APPLY;
    if (nWalkEnd == WALK_GONE) {
        // Taken out, or put in again, by a reading of the key above.
        KeyNode *pAbove = pTarget->pParent;
        if (pAbove && pAbove->nWatch >= 0)
            QueueUpdates(&pAbove->nWatch, 1);
        nResult = pAbove ? UPDATE_NEXT : UPDATE_WHOLE;
    } else if (nWalkEnd != WALK_DONE || upd.bCannotPlace || !pRead) {
        nResult = UPDATE_WHOLE;
    } else if (!CompareKeys(pTarget, pRead)) {
        // Out of memory half way: the model no longer says what the tree
        // holds, so the whole fill empties the tree without it.
        nResult = UPDATE_WHOLE;
        bModelBroken = TRUE;
        upd.nOps = 0;
        pRead = NULL; // parts of it are in the model now
    }
    if (pRead)
        FreeKeyNode(pRead);
    upd.nDone = 0;
    return nResult;
}

// ---- Sending them ----

static void RunOp(const TreeOp *pOp) {
    if (pOp->nKind == OP_DELETE) {
        SendMessageA(hTree, TVM_DELETEITEM, 0, (LPARAM)pOp->hDelete);
        return;
    }
    HTREEITEM hParent = pOp->pParent->hItem;
    HTREEITEM hAfter = TVI_FIRST;
    if (pOp->cbAfter != NO_VALUE)
        hAfter = ValueItem(pOp->pParent->pValues + pOp->cbAfter);
    else if (pOp->pAfterKey)
        hAfter = pOp->pAfterKey->hItem;
    if (!hAfter)
        hAfter = TVI_FIRST; // what it goes after is not in the tree either
    if (pOp->nKind == OP_KEY) {
        pOp->pNode->hItem =
            hParent ? Insert(hParent, hAfter, pOp->pNode->szName, IMG_FOLDER, IMG_FOLDER_OPEN)
                    : NULL;
        return;
    }
    BYTE *pRecord = pOp->pParent->pValues + pOp->cbValue;
    HTREEITEM hItem =
        hParent ? Insert(hParent, hAfter, ValueName(pRecord), IMG_VALUE, IMG_VALUE) : NULL;
    memcpy(pRecord, &hItem, sizeof(hItem));
}

// A rebuilt tree is all collapsed: what the user opened closes first, so no
// item deleted below stays on the list.
void CollapseForUpdate(void) {
    for (DWORD i = 0; i < upd.nOpened; i++)
        SendMessageA(hTree, TVM_EXPAND, TVE_COLLAPSE, (LPARAM)upd.phOpened[i]);
    upd.nOpened = 0;
    SendMessageA(hTree, TVM_SELECTITEM, TVGN_CARET, 0);
}

BOOL ApplyUpdate(double dDeadline) {
    for (; upd.nDone < upd.nOps; upd.nDone++) {
        if (dDeadline && upd.nDone > 0 && NowMs() > dDeadline)
            return FALSE;
        RunOp(&upd.pOps[upd.nDone]);
    }
    upd.nOps = upd.nDone = 0;
    return TRUE;
}

// The first item at the top, as after a rebuild.
void ScrollToTop(void) {
    HTREEITEM hFirst = (HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_ROOT, 0);
    if (hFirst)
        SendMessageA(hTree, TVM_SELECTITEM, TVGN_FIRSTVISIBLE, (LPARAM)hFirst);
}

DWORD UpdateOpsLeft(void) {
    return upd.nOps - upd.nDone + upd.nOpened;
}

void EndUpdates(void) {
    StopWalker();
    if (upd.pRead)
        FreeKeyNode(upd.pRead);
    upd.pRead = NULL;
    ApplyUpdate(0);
    upd.nQueued = 0;
}

BOOL TooManyOpened(void) {
    return upd.bTooManyOpened;
}

// The user's expanding, from the window's WM_NOTIFY.
void TreeItemExpanded(HTREEITEM hItem, BOOL bExpanded) {
    for (DWORD i = 0; i < upd.nOpened; i++)
        if (upd.phOpened[i] == hItem) {
            if (!bExpanded)
                upd.phOpened[i] = upd.phOpened[--upd.nOpened];
            return;
        }
    if (!bExpanded)
        return;
    if (upd.nOpened == upd.nOpenedMax) {
        DWORD nNew = upd.nOpenedMax ? upd.nOpenedMax * 2 : 64;
        void *pNew = nNew > 65536 ? NULL
                     : upd.phOpened
                         ? HeapReAlloc(GetProcessHeap(), 0, upd.phOpened, nNew * sizeof(HTREEITEM))
                         : HeapAlloc(GetProcessHeap(), 0, nNew * sizeof(HTREEITEM));
        if (!pNew) {
            upd.bTooManyOpened = TRUE; // a whole refill collapses them all
            return;
        }
        upd.phOpened = (HTREEITEM *)pNew;
        upd.nOpenedMax = nNew;
    }
    upd.phOpened[upd.nOpened++] = hItem;
}

// A whole fill: nothing the user opened is left.
void ForgetOpened(void) {
    upd.nOpened = 0;
    upd.bTooManyOpened = FALSE;
}
