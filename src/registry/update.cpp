// The compare of a part read again with the model, level by level: each
// key's values and subkeys matched by name (compare.h), a name gone dropped
// with its subtree, a new one taken with its subtree, as a fill puts it in.
// The model changes here and now; the tree follows as the ops are sent.
#include "registry/update.h"

#include "registry/compare.h"
#include "registry/grow.h"
#include "registry/parts.h"
#include "registry/receive.h"
#include "registry/writer.h"

#include <cstring>

BOOL bModelBroken = FALSE;
static LONG *pnQueued; // watches whose parts wait to be read again
static size_t nQueued, nQueuedMax;
static LONG nTarget; // the watch of the part being read

void QueueUpdates(const LONG *pnWatches, size_t nCount) {
    for (size_t i = 0; i < nCount; i++) {
        BOOL bThere = FALSE;
        for (size_t j = 0; j < nQueued && !bThere; j++)
            bThere = pnQueued[j] == pnWatches[i];
        if (!bThere && !Push(&pnQueued, &nQueued, &nQueuedMax, pnWatches[i]))
            return;
    }
}

BOOL UpdateQueued(void) {
    return nQueued > 0;
}

void ForgetUpdates(void) {
    nQueued = 0;
}

// ---- What the reader gets ----

static int CompareByName(const void *a, const void *b) {
    return CompareNames((*(KeyNode *const *)a)->abNames, (*(KeyNode *const *)b)->abNames);
}

static BOOL AddName(ReadOrder *pOrder, const BYTE *pName, BOOL bToPath) {
    size_t cb = NameSize(pName);
    BYTE **pp = bToPath ? &pOrder->pPath : &pOrder->pNames;
    size_t *pcb = bToPath ? &pOrder->cbPath : &pOrder->cbNames;
    if (!Reserve(pp, bToPath ? &pOrder->cbPathMax : &pOrder->cbNamesMax, *pcb + cb))
        return FALSE;
    memcpy(*pp + *pcb, pName, cb);
    *pcb += cb;
    return TRUE;
}

// The part's path, and a copy of the keys below it the reader may leave
// alone: under a cut key its subkeys, each watched on its own; in a part,
// its keys (the reader looks for each by name below its parent).
static ReadOrder *MakeOrder(KeyNode *pTarget, BOOL bCut) {
    ReadOrder *pOrder = (ReadOrder *)calloc(1, sizeof(ReadOrder));
    KeyNode **ppNodes = NULL; // parallel to pOrder->pKnown
    size_t nNodes = 0, nNodesMax = 0;
    BOOL bOk = pOrder != NULL;
    LONG nPath[MAX_TREE_DEPTH + 1];
    unsigned nLevels = 0;
    for (LONG w = nTarget; bOk && w >= 0 && WatchAbove(w) >= 0 && nLevels <= MAX_TREE_DEPTH;
         w = WatchAbove(w))
        nPath[nLevels++] = w;
    while (bOk && nLevels)
        bOk = AddName(pOrder, WatchedNode(nPath[--nLevels])->abNames, TRUE) && ++pOrder->nPathKeys;
    bOk = bOk && Push(&ppNodes, &nNodes, &nNodesMax, pTarget);
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
        bOk = bOk && AddName(pOrder, pNode->abNames, FALSE) &&
              Push(&pOrder->pKnown, &pOrder->nKnown, &pOrder->nKnownMax, known);
    }
    free(ppNodes);
    if (!bOk) {
        FreeReadOrder(pOrder);
        return NULL;
    }
    return pOrder;
}

ReadOrder *NextUpdate(LONG nGeneration, const BYTE **ppName) {
    while (nQueued > 0) {
        nTarget = pnQueued[0];
        memmove(pnQueued, pnQueued + 1, --nQueued * sizeof(LONG));
        KeyNode *pTarget = WatchedNode(nTarget);
        if (!pTarget)
            continue;
        ReadOrder *pOrder = MakeOrder(pTarget, WatchIsCut(nTarget));
        if (pOrder) {
            pOrder->nGeneration = nGeneration;
            *ppName = pTarget->abNames;
        }
        return pOrder;
    }
    return NULL;
}

// ---- The compare ----

// A node dropped from the model, its subtree and their watches with it.
static void Forget(KeyNode *pNode) {
    while (KeyNode *pSub = pNode->pFirst) {
        pNode->pFirst = pSub->pNext;
        Forget(pSub);
    }
    DropWatch(pNode);
    FreeKeyNode(pNode);
}

// The nodes a list holds, in order.
static BOOL ListOf(KeyNode *pFirst, KeyNode ***pppNodes, const BYTE ***pppNames, size_t *pn) {
    size_t nMax = 0, nNamesMax = 0, nNames = 0;
    *pn = 0;
    for (KeyNode *p = pFirst; p; p = p->pNext) {
        size_t n = *pn;
        if (!Push(pppNodes, pn, &nMax, p) ||
            !Push(pppNames, &nNames, &nNamesMax, (const BYTE *)p->abNames)) {
            *pn = n;
            return FALSE;
        }
    }
    return TRUE;
}

// A new key's subtree, as a fill puts it in: its subkeys each first under
// it (so last first), then its values last first after its last subkey.
static BOOL OpsForNew(KeyNode *pNode) {
    KeyNode **ppSubs = NULL;
    const BYTE **ppNames = NULL;
    size_t nSubs = 0, nNames = 0, nNamesMax = 0;
    BOOL bOk = ListOf(pNode->pFirst, &ppSubs, &ppNames, &nSubs);
    for (size_t i = nSubs; bOk && i-- > 0;)
        bOk = AddOp({OP_KEY, ppSubs[i], pNode, NULL, NULL, NULL});
    for (size_t i = 0; bOk && i < nSubs; i++)
        bOk = OpsForNew(ppSubs[i]);
    const BYTE *pName = FirstValueName(pNode);
    for (DWORD i = 0; bOk && i < pNode->nValues; i++, pName = NextName(pName))
        bOk = Push(&ppNames, &nNames, &nNamesMax, pName);
    KeyNode *pLast = nSubs ? ppSubs[nSubs - 1] : NULL;
    for (size_t i = nNames; bOk && i-- > 0;)
        bOk = AddOp({OP_VALUE, pNode, NULL, pLast, ppNames[i], NULL});
    free(ppSubs);
    free(ppNames);
    return bOk;
}

// The key's values matched one by one; its node moves, as it holds them.
static BOOL CompareValues(KeyNode **ppSlot, const KeyNode *pNew) {
    KeyNode *pOld = *ppSlot;
    if (SameValues(pOld, pNew))
        return TRUE;
    const BYTE **ppOld = (const BYTE **)malloc((pOld->nValues + 1) * sizeof(BYTE *));
    const BYTE **ppNew = (const BYTE **)malloc((pNew->nValues + 1) * sizeof(BYTE *));
    BYTE *pSteps = (BYTE *)malloc(pOld->nValues + pNew->nValues + 1);
    KeyNode *pMoved = ppOld && ppNew && pSteps ? NodeWithValues(pOld, pNew) : NULL;
    KeyNode *pLast = LastSubkey(pOld);
    long nSteps = -1;
    if (pMoved) {
        const BYTE *p = FirstValueName(pOld), *q = FirstValueName(pMoved);
        for (DWORD i = 0; i < pOld->nValues; i++, p = NextName(p))
            ppOld[i] = p;
        for (DWORD j = 0; j < pMoved->nValues; j++, q = NextName(q))
            ppNew[j] = q;
        nSteps = MatchNames(ppOld, pOld->nValues, ppNew, pMoved->nValues, pSteps);
    }
    BOOL bOk =
        nSteps >= 0 && AddOp({OP_VALUES_AT, pMoved, NULL, NULL, NULL, pLast ? pLast->hItem : NULL});
    static const BYTE nKinds[] = {OP_VALUE_KEEP, OP_VALUE_DROP, OP_VALUE_TAKE};
    for (long n = 0, j = 0; bOk && n < nSteps; n++) {
        const BYTE *pName = pSteps[n] != MATCH_DROP ? ppNew[j++] : NULL;
        bOk = AddOp({nKinds[pSteps[n]], pMoved, NULL, NULL, pName, NULL});
    }
    bOk = bOk && AddOp({OP_RENAME, pMoved, NULL, NULL, NULL, NULL});
    free(ppOld);
    free(ppNew);
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
// takes moves into the model, the rest is freed. New keys under a cut key
// are watched on their own.
static BOOL CompareKey(KeyNode **ppSlot, KeyNode *pNew) {
    if (!CompareValues(ppSlot, pNew))
        return FALSE;
    KeyNode *pOld = *ppSlot;
    LONG nSubCut = pOld->nWatch >= 0 && WatchIsCut(pOld->nWatch) ? pOld->nWatch : -1;
    KeyNode **ppOlds = NULL, **ppNews = NULL;
    const BYTE **ppOldNames = NULL, **ppNewNames = NULL;
    size_t nOld = 0, nNew = 0;
    BOOL bOk = ListOf(pOld->pFirst, &ppOlds, &ppOldNames, &nOld) &&
               ListOf(pNew->pFirst, &ppNews, &ppNewNames, &nNew);
    BYTE *pSteps = bOk ? (BYTE *)malloc(nOld + nNew + 1) : NULL;
    long nSteps = pSteps ? MatchNames(ppOldNames, nOld, ppNewNames, nNew, pSteps) : -1;
    bOk = nSteps >= 0;
    if (bOk)
        pNew->pFirst = NULL; // each new node is now taken or freed below
    KeyNode **ppTail = &pOld->pFirst, *pPrev = NULL;
    for (long n = 0, i = 0, j = 0; bOk && n < nSteps; n++) {
        if (pSteps[n] == MATCH_DROP) {
            KeyNode *pGone = ppOlds[i++];
            bOk = AddOp({OP_DROP, NULL, NULL, NULL, NULL, pGone->hItem});
            Forget(pGone);
            continue;
        }
        KeyNode *pFresh = ppNews[j++];
        if (pSteps[n] == MATCH_TAKE) {
            // A kept name is one the window had: it cannot be new.
            bOk = !(pFresh->bFlags & KEY_KEPT) &&
                  AddOp({OP_KEY, pFresh, pOld, pPrev, NULL, NULL}) && OpsForNew(pFresh);
            *ppTail = pFresh;
            if (bOk && nSubCut >= 0)
                WatchNewKey(pFresh, nSubCut);
        } else {
            *ppTail = ppOlds[i++];
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
    if (bOk)
        *ppTail = NULL;
    free(ppOlds);
    free(ppNews);
    free(ppOldNames);
    free(ppNewNames);
    free(pSteps);
    if (bOk)
        FreeKeyNode(pNew);
    return bOk;
}

// Where the part's node hangs: the hive's pointer, or its parent's list.
static KeyNode **SlotOf(KeyNode *pTarget) {
    KeyNode *pAbove = WatchedNode(WatchAbove(nTarget));
    if (!pAbove)
        return pTarget == pModelRoot ? &pModelRoot : NULL;
    for (KeyNode **pp = &pAbove->pFirst; *pp; pp = &(*pp)->pNext)
        if (*pp == pTarget)
            return pp;
    return NULL;
}

int CompareUpdate(KeyNode *pRead, int nEnd) {
    KeyNode *pTarget = WatchedNode(nTarget);
    KeyNode **ppSlot = pTarget ? SlotOf(pTarget) : NULL;
    if (nEnd == READ_GONE) {
        // Taken out, or put in again, by a reading of the key above.
        DropReadTree(pRead);
        LONG nAbove = WatchAbove(nTarget);
        if (nAbove < 0)
            return UPDATE_WHOLE;
        QueueUpdates(&nAbove, 1);
        return UPDATE_NEXT;
    }
    if (nEnd != READ_DONE || !pRead || !ppSlot) {
        DropReadTree(pRead);
        return UPDATE_WHOLE;
    }
    if (!CompareKey(ppSlot, pRead)) {
        // Half done: parts of the reading are in the model now.
        bModelBroken = TRUE;
        return UPDATE_WHOLE;
    }
    return UPDATE_SEND;
}
