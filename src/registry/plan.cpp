// Cuts biggest first: the key with the most items below it is cut while its
// subkeys' watches fit, until every key left whole is small.
#include "registry/plan.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <vector>

// A part this small is not worth more watches.
static const uint32_t SMALLEST_SPLIT = 256;

struct Sized {
    size_t nKey;
    uint32_t nItems; // below it
    bool bLinkedBelow;
};

static bool Smaller(const Sized &a, const Sized &b) {
    // A key with links below it has to be cut, whatever its size.
    if (a.bLinkedBelow != b.bLinkedBelow)
        return !a.bLinkedBelow;
    return a.nItems < b.nItems;
}

static bool Plan(PlanKey *pKeys, size_t nKeys) {
    // Sizes from the leaves up: each key's subtree ends where the next
    // sibling (or an ancestor's sibling) begins.
    std::vector<uint32_t> items(nKeys), keysBelow(nKeys);
    std::vector<bool> linkedBelow(nKeys);
    std::vector<size_t> path; // open keys, with how many subkeys each still awaits
    std::vector<uint32_t> awaiting;
    std::vector<size_t> parent(nKeys, (size_t)-1);
    for (size_t k = 0; k < nKeys; k++) {
        while (!awaiting.empty() && awaiting.back() == 0) {
            path.pop_back();
            awaiting.pop_back();
        }
        if (!path.empty()) {
            parent[k] = path.back();
            awaiting.back()--;
        } else if (k > 0) {
            return false; // more keys than the counts hold
        }
        path.push_back(k);
        awaiting.push_back(pKeys[k].nSubs);
    }
    for (uint32_t nLeft : awaiting)
        if (nLeft)
            return false; // fewer keys than the counts hold
    for (size_t k = nKeys; k-- > 0;) {
        items[k] += pKeys[k].nValues;
        if (parent[k] != (size_t)-1) {
            items[parent[k]] += items[k] + 1;
            keysBelow[parent[k]] += keysBelow[k] + 1;
            if (pKeys[k].bLinked || linkedBelow[k])
                linkedBelow[parent[k]] = true;
        }
    }
    for (size_t k = 0; k < nKeys; k++)
        pKeys[k].nWatch = WATCH_NONE;
    std::vector<Sized> heap;
    size_t nWatches = 1;
    size_t nCut = 0; // the hive first
    for (bool bCutting = nKeys > 0; bCutting;) {
        pKeys[nCut].nWatch = WATCH_CUT;
        for (size_t c = nCut + 1, n = 0; n < pKeys[nCut].nSubs; n++, c += keysBelow[c] + 1) {
            heap.push_back({c, items[c], linkedBelow[c]});
            std::push_heap(heap.begin(), heap.end(), Smaller);
            pKeys[c].nWatch = WATCH_WHOLE;
        }
        nWatches += pKeys[nCut].nSubs;
        for (bCutting = false; !bCutting && !heap.empty();) {
            std::pop_heap(heap.begin(), heap.end(), Smaller);
            Sized top = heap.back();
            heap.pop_back();
            bool bFits = nWatches + pKeys[top.nKey].nSubs <= MAX_WATCHES;
            if (top.bLinkedBelow && !bFits)
                return false;
            if (top.bLinkedBelow || (top.nItems > SMALLEST_SPLIT && bFits)) {
                nCut = top.nKey;
                bCutting = true;
            } else if (top.nItems <= SMALLEST_SPLIT) {
                break; // the biggest left is small: so are the rest
            }
        }
    }
    for (const Sized &left : heap)
        if (left.bLinkedBelow)
            return false;
    return true;
}

bool PlanWatches(PlanKey *pKeys, size_t nKeys) {
    bool bOk = false;
    try {
        bOk = Plan(pKeys, nKeys);
    } catch (const std::bad_alloc &) {
        bOk = false;
    }
    if (!bOk)
        for (size_t k = 0; k < nKeys; k++)
            pKeys[k].nWatch = WATCH_NONE;
    return bOk;
}

unsigned long NextBackoff(unsigned long dwPause) {
    const unsigned long FIRST_PAUSE = 50, MAX_PAUSE = 5000;
    if (dwPause < FIRST_PAUSE)
        return FIRST_PAUSE;
    return dwPause * 2 > MAX_PAUSE ? MAX_PAUSE : dwPause * 2;
}
