// Which keys are watched. A wait on the whole hive says only that something
// changed; a wait on a key says where. So after a whole fill the hive is cut
// into parts, biggest first, for as long as the watches last: a part is a
// key watched with its whole subtree, and each key above the parts is
// watched for its own subkeys only. Every key is then under exactly one
// watch, and a change costs a read of its part, not of the hive.
// A subtree watch sees the keys below it as they are, not through links:
// so a key above a link is never a part, and a link is watched where it is.
#include "registry/registry.h"

#include <algorithm>
#include <vector>

BOOL bPartsWatched = FALSE;

// A part this small is not worth more watches.
static const DWORD SMALLEST_SPLIT = 256;

static KeyNode **ppWatched; // by watch
static LONG nWatchedMax, nFreeWatch;

// Watches below nFreeWatch are all taken: the search for a free one starts there.
static LONG NewWatch(KeyNode *pNode) {
    while (nFreeWatch < nWatchedMax && ppWatched[nFreeWatch])
        nFreeWatch++;
    if (nFreeWatch == nWatchedMax) {
        if (nWatchedMax >= 2 * MAX_WATCHES)
            return -1;
        LONG nNew = nWatchedMax ? nWatchedMax * 2 : 256;
        void *pNew = ppWatched
                         ? HeapReAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, ppWatched,
                                       nNew * sizeof(KeyNode *))
                         : HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, nNew * sizeof(KeyNode *));
        if (!pNew)
            return -1;
        ppWatched = (KeyNode **)pNew;
        nWatchedMax = nNew;
    }
    LONG nWatch = nFreeWatch++;
    ppWatched[nWatch] = pNode;
    pNode->nWatch = nWatch;
    return nWatch;
}

KeyNode *WatchedNode(LONG nWatch) {
    return nWatch >= 0 && nWatch < nWatchedMax ? ppWatched[nWatch] : NULL;
}

static BOOL Arm(KeyNode *pNode, BOOL bReadNow) {
    static char szPath[65536];
    LONG nWatch = NewWatch(pNode);
    if (nWatch < 0 || !KeyPathOf(pNode, szPath, sizeof(szPath)))
        return FALSE;
    LONG nParent = pNode->pParent ? pNode->pParent->nWatch : -1;
    WatchPart(nWatch, szPath, !pNode->bShallow, nParent, bReadNow);
    return TRUE;
}

void DropWatch(KeyNode *pNode) {
    if (pNode->nWatch < 0)
        return;
    UnwatchPart(pNode->nWatch);
    ppWatched[pNode->nWatch] = NULL;
    if (pNode->nWatch < nFreeWatch)
        nFreeWatch = pNode->nWatch;
    pNode->nWatch = -1;
}

void DropAllWatches(void) {
    for (LONG i = 0; i < nWatchedMax; i++)
        if (ppWatched[i])
            ppWatched[i]->nWatch = -1;
    if (ppWatched)
        ZeroMemory(ppWatched, nWatchedMax * sizeof(KeyNode *));
    nFreeWatch = 0;
    bPartsWatched = FALSE;
}

// A key that appeared under a key watched for its own subkeys is a part of
// its own, read once more as soon as it is armed: what came under it before
// the watch was there shows too.
void WatchNewKey(KeyNode *pNode) {
    if (!bPartsWatched || !pNode->pParent || !pNode->pParent->bShallow)
        return;
    pNode->bShallow = FALSE;
    if (!Arm(pNode, TRUE)) {
        DropWatch(pNode);
        bPartsWatched = FALSE;
        WatchWhole(); // the next change anywhere refills the whole tree
    }
}

static bool Smaller(const KeyNode *a, const KeyNode *b) {
    // A key with links below it has to be cut, whatever its size.
    if (a->bLinkedBelow != b->bLinkedBelow)
        return !a->bLinkedBelow;
    return a->nItems < b->nItems;
}

static BOOL ArmBelow(KeyNode *pNode) {
    for (DWORD i = 0; i < pNode->nSubs; i++) {
        KeyNode *pSub = pNode->ppSubs[i];
        if (!pSub->hItem)
            continue; // not in the tree: nothing to show
        if (!Arm(pSub, FALSE) || (pSub->bShallow && !ArmBelow(pSub)))
            return FALSE;
    }
    return TRUE;
}

// Cut biggest first; the hive itself is always cut.
void PlanWatches(void) {
    DropAllWatches();
    if (!pModelRoot || bWalkCapped)
        return; // links beyond their share: only a whole read shows them right
    std::vector<KeyNode *> heap;
    DWORD nWatches = 1;
    pModelRoot->bShallow = TRUE;
    KeyNode *pCut = pModelRoot;
    for (;;) {
        for (DWORD i = 0; i < pCut->nSubs; i++) {
            pCut->ppSubs[i]->bShallow = FALSE;
            heap.push_back(pCut->ppSubs[i]);
            std::push_heap(heap.begin(), heap.end(), Smaller);
        }
        nWatches += pCut->nSubs;
        for (pCut = NULL; !pCut && !heap.empty();) {
            std::pop_heap(heap.begin(), heap.end(), Smaller);
            KeyNode *pTop = heap.back();
            heap.pop_back();
            BOOL bFits = nWatches + pTop->nSubs <= MAX_WATCHES;
            if (pTop->bLinkedBelow && !bFits)
                return; // cannot be watched in parts
            if (pTop->bLinkedBelow || (pTop->nItems > SMALLEST_SPLIT && bFits))
                pCut = pTop;
            else if (pTop->nItems <= SMALLEST_SPLIT && !pTop->bLinkedBelow)
                break;
        }
        if (!pCut)
            break;
        pCut->bShallow = TRUE;
    }
    for (KeyNode *pLeft : heap)
        if (pLeft->bLinkedBelow)
            return;
    if (!Arm(pModelRoot, FALSE) || !ArmBelow(pModelRoot)) {
        DropAllWatches();
        WatchWhole();
        return;
    }
    WatchPlanDone();
    bPartsWatched = TRUE;
}
