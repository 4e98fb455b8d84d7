// A watch is a number the watcher knows its key by; the same number names
// the node here. A freed number is taken again, the lowest first.
#include "registry/parts.h"

#include "registry/grow.h"
#include "registry/observe.h"
#include "registry/plan.h"
#include "registry/watcher.h"

#include <cstring>

BOOL bPartsWatched = FALSE;

struct Watch {
    KeyNode *pNode; // NULL: free
    LONG nAbove;
    BOOL bCut;
};
static Watch *pWatches;
static size_t nWatches, nWatchesMax; // numbers in use are below nWatches
static LONG nFirstFree;              // every number below it is taken

static LONG NewWatch(KeyNode *pNode, LONG nAbove, BOOL bCut) {
    while (nFirstFree < (LONG)nWatches && pWatches[nFirstFree].pNode)
        nFirstFree++;
    if (nFirstFree == (LONG)nWatches &&
        (nWatches >= 2 * MAX_WATCHES || !Push(&pWatches, &nWatches, &nWatchesMax, Watch())))
        return -1;
    LONG nWatch = nFirstFree++;
    pWatches[nWatch] = {pNode, nAbove, bCut};
    pNode->nWatch = (SHORT)nWatch;
    return nWatch;
}

KeyNode *WatchedNode(LONG nWatch) {
    return nWatch >= 0 && nWatch < (LONG)nWatches ? pWatches[nWatch].pNode : NULL;
}

LONG WatchAbove(LONG nWatch) {
    return WatchedNode(nWatch) ? pWatches[nWatch].nAbove : -1;
}

BOOL WatchIsCut(LONG nWatch) {
    return WatchedNode(nWatch) && pWatches[nWatch].bCut;
}

static BOOL Arm(KeyNode *pNode, LONG nAbove, BOOL bCut, BOOL bReadNow) {
    LONG nWatch = NewWatch(pNode, nAbove, bCut);
    if (nWatch >= 0)
        WatchPart(nWatch, nAbove, pNode->abNames, !bCut, bReadNow);
    return nWatch >= 0;
}

void DropWatch(KeyNode *pNode) {
    if (pNode->nWatch < 0)
        return;
    UnwatchPart(pNode->nWatch);
    pWatches[pNode->nWatch].pNode = NULL;
    if (pNode->nWatch < nFirstFree)
        nFirstFree = pNode->nWatch;
    pNode->nWatch = -1;
}

void DropAllWatches(void) {
    for (size_t i = 0; i < nWatches; i++)
        if (pWatches[i].pNode)
            pWatches[i].pNode->nWatch = -1;
    nWatches = 0;
    nFirstFree = 0;
    bPartsWatched = FALSE;
}

void NodeMoved(KeyNode *pNode) {
    if (pNode->nWatch >= 0)
        pWatches[pNode->nWatch].pNode = pNode;
}

void WatchNewKey(KeyNode *pNode, LONG nCutWatch) {
    if (!bPartsWatched)
        return;
    if (!Arm(pNode, nCutWatch, FALSE, TRUE)) {
        bPartsWatched = FALSE;
        WatchWhole(); // the next change anywhere refills the whole tree
    }
}

// The model in pre-order from the hive: the next key after path[*pnDepth - 1],
// keeping the keys above it in path; FALSE after the last.
static BOOL NextKey(KeyNode **ppPath, unsigned *pnDepth) {
    KeyNode *pNode = ppPath[*pnDepth - 1];
    if (pNode->pFirst && *pnDepth <= MAX_TREE_DEPTH) {
        ppPath[(*pnDepth)++] = pNode->pFirst;
        return TRUE;
    }
    while (*pnDepth > 1 && !ppPath[*pnDepth - 1]->pNext)
        (*pnDepth)--;
    if (*pnDepth == 1)
        return FALSE;
    ppPath[*pnDepth - 1] = ppPath[*pnDepth - 1]->pNext;
    return TRUE;
}

// Cuts the tree after a whole fill and asks for a watch on each part and
// cut key; the hive is watched whole until every one is armed.
void PlanParts(void) {
    static KeyNode *ppPath[MAX_TREE_DEPTH + 1];
    static LONG nAbove[MAX_TREE_DEPTH + 1];
    DropAllWatches();
    PlanKey *pKeys = NULL;
    size_t nKeys = 0, nMax = 0;
    unsigned nDepth = 1;
    BOOL bOk = pModelRoot != NULL;
    for (ppPath[0] = pModelRoot; bOk;) {
        KeyNode *pNode = ppPath[nDepth - 1];
        PlanKey key = {0, pNode->nValues, (pNode->bFlags & KEY_LINKED) != 0, WATCH_NONE};
        for (KeyNode *pSub = pNode->pFirst; pSub && nDepth <= MAX_TREE_DEPTH; pSub = pSub->pNext)
            key.nSubs++;
        bOk = Push(&pKeys, &nKeys, &nMax, key);
        if (!NextKey(ppPath, &nDepth))
            break;
    }
    bOk = bOk && PlanWatches(pKeys, nKeys);
    size_t k = 0;
    nDepth = 1;
    for (ppPath[0] = pModelRoot; bOk; k++) {
        KeyNode *pNode = ppPath[nDepth - 1];
        LONG nWatch = nDepth > 1 ? nAbove[nDepth - 2] : -1;
        if (pKeys[k].nWatch != WATCH_NONE) {
            bOk = Arm(pNode, nWatch, pKeys[k].nWatch == WATCH_CUT, FALSE);
            nWatch = pNode->nWatch;
        }
        nAbove[nDepth - 1] = nWatch;
        if (!NextKey(ppPath, &nDepth))
            break;
    }
    free(pKeys);
    if (!bOk) {
        DropAllWatches();
        WatchWhole();
        return;
    }
    WatchPlanDone();
    bPartsWatched = TRUE;
}

LONG CountWatches(void) {
    LONG n = 0;
    for (size_t i = 0; i < nWatches; i++)
        n += pWatches[i].pNode != NULL;
    return n;
}

BOOL KeyIsCut(const char *lpszPath) {
    KeyNode *pNode = pModelRoot;
    for (const char *p = lpszPath; pNode && *p;) {
        const char *pEnd = strchr(p, '\\');
        size_t cch = pEnd ? (size_t)(pEnd - p) : strlen(p);
        KeyNode *pSub = pNode->pFirst;
        while (pSub && (NameLength(pSub->abNames) != cch ||
                        _strnicmp((const char *)NameUnits(pSub->abNames), p, cch) != 0))
            pSub = pSub->pNext;
        pNode = pSub;
        p += cch + (pEnd ? 1 : 0);
    }
    return bPartsWatched && pNode && WatchIsCut(pNode->nWatch);
}
