// A part read again is compared with the model level by level, by name: the
// model changes at once, and the tree follows as the ops go.
#include "registry/update.h"

#include "registry/compare.h"
#include "registry/grow.h"
#include "registry/parts.h"
#include "registry/receive.h"
#include "registry/writer.h"

BOOL bModelBroken = FALSE;
static LONG *pnQueued; // watches whose parts wait to be read again, from nQueuedAt on
static size_t nQueued, nQueuedMax, nQueuedAt;
static LONG nTarget; // the watch of the part being read

void QueueUpdates(const LONG *pnWatches, size_t nCount) {
    for (size_t i = 0; i < nCount; i++) {
        size_t j = nQueuedAt;
        while (j < nQueued && pnQueued[j] != pnWatches[i])
            j++;
        if (j == nQueued && !Push(&pnQueued, &nQueued, &nQueuedMax, pnWatches[i]))
            return;
    }
}

BOOL UpdateQueued(void) {
    return nQueuedAt < nQueued;
}

void ForgetUpdates(void) {
    nQueued = nQueuedAt = 0;
}

// ---- What the reader gets ----

static int CompareByName(const void *a, const void *b) {
    return CompareNames((*(KeyNode *const *)a)->abNames, (*(KeyNode *const *)b)->abNames);
}

static BOOL AddName(BYTE **pp, size_t *pcb, size_t *pcbMax, const BYTE *pName) {
    return Append(pp, pcb, pcbMax, pName, NameSize(pName));
}

// The part's path, and a copy of the keys below it the reader may leave
// alone: under a cut key its subkeys; in a part, all its keys, each with its
// subkeys in the order the reader looks them up.
static ReadOrder *MakeOrder(KeyNode *pTarget, BOOL bCut) {
    ReadOrder *pOrder = (ReadOrder *)calloc(1, sizeof(ReadOrder));
    KeyNode **ppNodes = NULL; // parallel to pOrder->pKnown
    size_t nNodes = 0, nNodesMax = 0;
    LONG nPath[MAX_TREE_DEPTH + 1];
    unsigned nLevels = 0;
    for (LONG w = nTarget; WatchAbove(w) >= 0 && nLevels <= MAX_TREE_DEPTH; w = WatchAbove(w))
        nPath[nLevels++] = w;
    BOOL bOk = pOrder && Push(&ppNodes, &nNodes, &nNodesMax, pTarget);
    for (pOrder ? pOrder->nPathKeys = nLevels : 0; bOk && nLevels;)
        bOk = AddName(&pOrder->pPath, &pOrder->cbPath, &pOrder->cbPathMax,
                      WatchedNode(nPath[--nLevels])->abNames);
    for (size_t i = 0; bOk && i < nNodes; i++) {
        KeyNode *pNode = ppNodes[i];
        KnownKey known = {(DWORD)pOrder->cbNames, (DWORD)nNodes, 0, 0, pNode->nStamp};
        if (i > 0 && bCut)
            known.bFlags = KNOWN_OWN_WATCH;
        else if (i > 0 && !pNode->pFirst && !(pNode->bFlags & KEY_LINKED) && pNode->nStamp)
            known.bFlags = KNOWN_UNCHANGED_IF_SAME_STAMP;
        for (KeyNode *pSub = pNode->pFirst; bOk && pSub && (i == 0 || !bCut); pSub = pSub->pNext)
            bOk = Push(&ppNodes, &nNodes, &nNodesMax, pSub) && ++known.nSubs;
        if (bOk)
            qsort(ppNodes + known.nFirst, known.nSubs, sizeof(KeyNode *), CompareByName);
        bOk = bOk &&
              AddName(&pOrder->pNames, &pOrder->cbNames, &pOrder->cbNamesMax, pNode->abNames) &&
              Push(&pOrder->pKnown, &pOrder->nKnown, &pOrder->nKnownMax, known);
    }
    free(ppNodes);
    if (bOk)
        return pOrder;
    FreeReadOrder(pOrder);
    return NULL;
}

ReadOrder *NextUpdate(LONG nGeneration, const BYTE **ppName) {
    while (nQueuedAt < nQueued) {
        nTarget = pnQueued[nQueuedAt++];
        KeyNode *pTarget = WatchedNode(nTarget);
        ReadOrder *pOrder = pTarget ? MakeOrder(pTarget, WatchIsCut(nTarget)) : NULL;
        if (pOrder) {
            pOrder->nGeneration = nGeneration;
            *ppName = pTarget->abNames;
            return pOrder;
        }
    }
    ForgetUpdates();
    return NULL;
}

// ---- The compare ----

// A key's subkeys' names (NodeOf gives each subkey) and its values' names,
// in order.
struct Lists {
    const BYTE **ppSubs, **ppValues;
    size_t nSubs, nValues, nSubsMax, nValuesMax;
};

static BOOL ListOf(const KeyNode *pKey, Lists *p) {
    BOOL bOk = TRUE;
    for (KeyNode *pSub = pKey->pFirst; pSub && bOk; pSub = pSub->pNext)
        bOk = Push(&p->ppSubs, &p->nSubs, &p->nSubsMax, (const BYTE *)pSub->abNames);
    const BYTE *pName = FirstValueName(pKey);
    for (DWORD i = 0; i < pKey->nValues && bOk; i++, pName = NextName(pName))
        bOk = Push(&p->ppValues, &p->nValues, &p->nValuesMax, pName);
    return bOk;
}

static void FreeLists(Lists *p) {
    free(p->ppSubs);
    free(p->ppValues);
}

// A new key's subtree, as a fill puts it in: its subkeys last first, each
// first under it, then its values after its last subkey.
static BOOL OpsForNew(KeyNode *pNode) {
    Lists l = {};
    BOOL bOk = ListOf(pNode, &l);
    for (size_t i = l.nSubs; bOk && i-- > 0;)
        bOk = AddOp({OP_KEY, NodeOf(l.ppSubs[i]), pNode, NULL, NULL, NULL});
    for (size_t i = 0; bOk && i < l.nSubs; i++)
        bOk = OpsForNew(NodeOf(l.ppSubs[i]));
    KeyNode *pLast = l.nSubs ? NodeOf(l.ppSubs[l.nSubs - 1]) : NULL;
    bOk = bOk && (!l.nValues || AddOp({OP_VALUES_AT, pNode, NULL, pLast, NULL, NULL}));
    for (size_t i = 0; bOk && i < l.nValues; i++)
        bOk = AddOp({OP_VALUE_TAKE, pNode, NULL, NULL, l.ppValues[i], NULL});
    FreeLists(&l);
    return bOk;
}

// The steps from one list of names to another; -1 without memory.
static long Match(const BYTE **ppOld, size_t nOld, const BYTE **ppNew, size_t nNew,
                  BYTE **ppSteps) {
    *ppSteps = (BYTE *)malloc(nOld + nNew + 1);
    return *ppSteps ? MatchNames(ppOld, nOld, ppNew, nNew, *ppSteps) : -1;
}

// The key's values matched from the item before the first; its node moves,
// as it holds them.
static BOOL CompareValues(KeyNode **ppSlot, const KeyNode *pNew, const Lists &old) {
    if (SameValues(*ppSlot, pNew))
        return TRUE;
    Lists fresh = {};
    BYTE *pSteps = NULL;
    KeyNode *pOld = *ppSlot, *pMoved = NodeWithValues(pOld, pNew);
    long nSteps = pMoved && ListOf(pMoved, &fresh)
                      ? Match(old.ppValues, old.nValues, fresh.ppValues, fresh.nValues, &pSteps)
                      : -1;
    HTREEITEM hBefore = old.nSubs ? NodeOf(old.ppSubs[old.nSubs - 1])->hItem : NULL;
    BOOL bOk = nSteps >= 0 && AddOp({OP_VALUES_AT, pMoved, NULL, NULL, NULL, hBefore});
    static const BYTE nKinds[] = {OP_VALUE_KEEP, OP_VALUE_DROP, OP_VALUE_TAKE};
    for (long n = 0, j = 0; bOk && n < nSteps; n++)
        bOk = AddOp({nKinds[pSteps[n]], pMoved, NULL, NULL,
                     pSteps[n] != MATCH_DROP ? fresh.ppValues[j++] : NULL, NULL});
    FreeLists(&fresh);
    free(pSteps);
    if (!bOk) {
        FreeKeyNode(pMoved);
        return FALSE;
    }
    *ppSlot = pMoved;
    NodeMoved(pMoved);
    FreeKeyNode(pOld);
    return TRUE;
}

// Compares the key at *ppSlot with its reading, which it uses up: what it
// takes moves into the model, the rest is freed.
static BOOL CompareKey(KeyNode **ppSlot, KeyNode *pNew) {
    Lists old = {}, fresh = {};
    BYTE *pSteps = NULL;
    BOOL bOk = ListOf(*ppSlot, &old) && ListOf(pNew, &fresh) && CompareValues(ppSlot, pNew, old);
    KeyNode *pKey = *ppSlot, **ppTail = &pKey->pFirst, *pPrev = NULL;
    LONG nCut = WatchIsCut(pKey->nWatch) ? pKey->nWatch : -1;
    long nSteps = bOk ? Match(old.ppSubs, old.nSubs, fresh.ppSubs, fresh.nSubs, &pSteps) : -1;
    bOk = nSteps >= 0;
    pNew->pFirst = bOk ? NULL : pNew->pFirst; // each new node is now taken or freed below
    for (long n = 0, i = 0, j = 0; bOk && n < nSteps; n++) {
        if (pSteps[n] == MATCH_DROP) {
            KeyNode *pGone = NodeOf(old.ppSubs[i++]);
            bOk = AddOp({OP_DROP, NULL, NULL, NULL, NULL, pGone->hItem});
            DropTree(pGone);
            continue;
        }
        KeyNode *pFresh = NodeOf(fresh.ppSubs[j++]);
        if (pSteps[n] == MATCH_TAKE) {
            // A kept name is one the window had: it cannot be new.
            bOk = !(pFresh->bFlags & KEY_KEPT) &&
                  AddOp({OP_KEY, pFresh, pKey, pPrev, NULL, NULL}) && OpsForNew(pFresh);
            *ppTail = pFresh;
            if (bOk && nCut >= 0)
                WatchNewKey(pFresh, nCut);
        } else {
            *ppTail = NodeOf(old.ppSubs[i++]);
            if (pFresh->bFlags & KEY_KEPT) {
                FreeKeyNode(pFresh); // watched on its own, or unwritten since
            } else {
                (*ppTail)->nStamp = pFresh->nStamp;
                bOk = CompareKey(ppTail, pFresh);
            }
        }
        pPrev = *ppTail;
        ppTail = &(*ppTail)->pNext;
    }
    if (bOk) {
        *ppTail = NULL;
        FreeKeyNode(pNew);
    }
    FreeLists(&old);
    FreeLists(&fresh);
    free(pSteps);
    return bOk;
}

int CompareUpdate(KeyNode *pRead, int nEnd) {
    // Where the part's node hangs: the hive's pointer, or its list of siblings.
    KeyNode *pTarget = WatchedNode(nTarget), *pAbove = WatchedNode(WatchAbove(nTarget));
    KeyNode **ppSlot = pTarget == pModelRoot ? &pModelRoot : pAbove ? &pAbove->pFirst : NULL;
    while (ppSlot && *ppSlot && *ppSlot != pTarget)
        ppSlot = &(*ppSlot)->pNext;
    LONG nAbove = WatchAbove(nTarget);
    if (nEnd == READ_GONE && nAbove >= 0) {
        // Taken out, or put in again, by a reading of the key above.
        DropTree(pRead);
        QueueUpdates(&nAbove, 1);
        return UPDATE_NEXT;
    }
    if (nEnd != READ_DONE || !pRead || !pTarget || !ppSlot || !*ppSlot) {
        DropTree(pRead);
        return UPDATE_WHOLE;
    }
    if (!CompareKey(ppSlot, pRead)) {
        bModelBroken = TRUE; // half done: parts of the reading are in the model now
        return UPDATE_WHOLE;
    }
    return UPDATE_SEND;
}
