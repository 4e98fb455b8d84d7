// A watch is a number the watcher knows its key by; the same number names
// the node here. A freed number is taken again, the lowest first.
#include "registry/parts.h"

#include "registry/grow.h"
#include "registry/plan.h"
#include "registry/watcher.h"

BOOL bPartsWatched = FALSE;

struct Watch {
    KeyNode *pNode; // NULL: free
    LONG nAbove;
    BOOL bCut;
};
static Watch *pWatches;
static size_t nWatches, nWatchesMax; // numbers in use are below nWatches
static size_t nFirstFree;            // every number below it is taken

KeyNode *WatchedNode(LONG nWatch) {
    return nWatch >= 0 && (size_t)nWatch < nWatches ? pWatches[nWatch].pNode : NULL;
}

LONG WatchAbove(LONG nWatch) {
    return WatchedNode(nWatch) ? pWatches[nWatch].nAbove : -1;
}

BOOL WatchIsCut(LONG nWatch) {
    return WatchedNode(nWatch) && pWatches[nWatch].bCut;
}

static BOOL Arm(KeyNode *pNode, LONG nAbove, BOOL bCut, BOOL bReadNow) {
    while (nFirstFree < nWatches && pWatches[nFirstFree].pNode)
        nFirstFree++;
    if (nFirstFree == nWatches &&
        (nWatches >= 2 * MAX_WATCHES || !Push(&pWatches, &nWatches, &nWatchesMax, Watch())))
        return FALSE;
    pWatches[nFirstFree] = {pNode, nAbove, bCut};
    pNode->nWatch = (SHORT)nFirstFree;
    AskWatcher(REQ_PART, pNode->nWatch, nAbove, pNode->abNames, !bCut, bReadNow);
    return TRUE;
}

void DropTree(KeyNode *pNode) {
    if (!pNode)
        return;
    while (KeyNode *pSub = pNode->pFirst) {
        pNode->pFirst = pSub->pNext;
        DropTree(pSub);
    }
    if (pNode->nWatch >= 0) {
        AskWatcher(REQ_UNWATCH, pNode->nWatch);
        pWatches[pNode->nWatch].pNode = NULL;
        nFirstFree = (size_t)pNode->nWatch < nFirstFree ? pNode->nWatch : nFirstFree;
    }
    FreeKeyNode(pNode);
}

void DropAllWatches(void) {
    for (size_t i = 0; i < nWatches; i++)
        if (pWatches[i].pNode)
            pWatches[i].pNode->nWatch = -1;
    nWatches = nFirstFree = 0;
    bPartsWatched = FALSE;
}

void NodeMoved(KeyNode *pNode) {
    if (pNode->nWatch >= 0)
        pWatches[pNode->nWatch].pNode = pNode;
}

void WatchNewKey(KeyNode *pNode, LONG nCutWatch) {
    if (bPartsWatched && !Arm(pNode, nCutWatch, FALSE, TRUE)) {
        bPartsWatched = FALSE;
        AskWatcher(REQ_WHOLE); // the next change anywhere refills the whole tree
    }
}

// The model in pre-order, sized, as the planner takes it.
static BOOL ListKeys(const KeyNode *pNode, unsigned nDepth, PlanKey **ppKeys, size_t *pn,
                     size_t *pnMax) {
    size_t k = *pn;
    if (!Push(ppKeys, pn, pnMax, PlanKey{0, pNode->nValues, 0, false, WATCH_NONE}))
        return FALSE;
    for (KeyNode *pSub = pNode->pFirst; pSub && nDepth < MAX_TREE_DEPTH; pSub = pSub->pNext) {
        size_t c = *pn;
        if (!ListKeys(pSub, nDepth + 1, ppKeys, pn, pnMax))
            return FALSE;
        PlanKey *pKey = &(*ppKeys)[k], *pChild = &(*ppKeys)[c];
        pKey->nSubs++;
        pKey->nItems += pChild->nItems + 1;
        pKey->nKeysBelow += pChild->nKeysBelow + 1;
        pKey->bLinkedBelow |= pChild->bLinkedBelow || (pSub->bFlags & KEY_LINKED);
    }
    return TRUE;
}

// The watches the plan marked, in the same order; each key's watch above
// it is the nearest cut key's.
static BOOL ArmPlanned(KeyNode *pNode, unsigned nDepth, LONG nAbove, const PlanKey **ppKey) {
    const PlanKey *pKey = (*ppKey)++;
    if (pKey->nWatch != WATCH_NONE && !Arm(pNode, nAbove, pKey->nWatch == WATCH_CUT, FALSE))
        return FALSE;
    for (KeyNode *pSub = pNode->pFirst; pSub && nDepth < MAX_TREE_DEPTH; pSub = pSub->pNext)
        if (!ArmPlanned(pSub, nDepth + 1, pNode->nWatch >= 0 ? pNode->nWatch : nAbove, ppKey))
            return FALSE;
    return TRUE;
}

// Cuts the tree after a whole fill and asks for a watch on each part and
// cut key; the hive is watched whole until every one is armed.
void PlanParts(void) {
    PlanKey *pKeys = NULL;
    size_t nKeys = 0, nMax = 0;
    DropAllWatches();
    const PlanKey *pKey = pKeys;
    BOOL bOk = pModelRoot && ListKeys(pModelRoot, 0, &pKeys, &nKeys, &nMax) &&
               PlanWatches(pKeys, nKeys) && ArmPlanned(pModelRoot, 0, -1, &(pKey = pKeys));
    free(pKeys);
    if (!bOk) {
        DropAllWatches();
        AskWatcher(REQ_WHOLE);
        return;
    }
    AskWatcher(REQ_PLAN_DONE);
    bPartsWatched = TRUE;
}
