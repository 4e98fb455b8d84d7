// Cuts biggest first: the key with the most items below it is cut while its
// subkeys' watches fit, until every key left whole is small.
#include "registry/plan.h"

#include <algorithm>
#include <new>
#include <vector>

// A part this small is not worth more watches.
static const uint32_t SMALLEST_SPLIT = 256;

static bool Plan(PlanKey *pKeys, size_t nKeys) {
    // A key with links below it has to be cut, whatever its size.
    auto Smaller = [pKeys](size_t a, size_t b) {
        if (pKeys[a].bLinkedBelow != pKeys[b].bLinkedBelow)
            return !pKeys[a].bLinkedBelow;
        return pKeys[a].nItems < pKeys[b].nItems;
    };
    std::vector<size_t> heap;
    size_t nWatches = 1, nCut = 0; // the hive first
    for (bool bCutting = nKeys > 0; bCutting;) {
        pKeys[nCut].nWatch = WATCH_CUT;
        size_t c = nCut + 1;
        for (uint32_t n = 0; n < pKeys[nCut].nSubs; n++, c += pKeys[c].nKeysBelow + 1) {
            if (c >= nKeys || pKeys[c].nKeysBelow >= nKeys - c)
                return false; // counts that do not add up
            pKeys[c].nWatch = WATCH_WHOLE;
            heap.push_back(c);
            std::push_heap(heap.begin(), heap.end(), Smaller);
        }
        if (c != nCut + 1 + pKeys[nCut].nKeysBelow)
            return false;
        nWatches += pKeys[nCut].nSubs;
        for (bCutting = false; !bCutting && !heap.empty();) {
            std::pop_heap(heap.begin(), heap.end(), Smaller);
            const PlanKey &top = pKeys[nCut = heap.back()];
            heap.pop_back();
            bool bFits = nWatches + top.nSubs <= MAX_WATCHES;
            if (top.bLinkedBelow && !bFits)
                return false;
            bCutting = top.bLinkedBelow || (top.nItems > SMALLEST_SPLIT && bFits);
            if (!bCutting && top.nItems <= SMALLEST_SPLIT)
                break; // the biggest left is small: so are the rest
        }
    }
    for (size_t k : heap)
        if (pKeys[k].bLinkedBelow)
            return false;
    return true;
}

bool PlanWatches(PlanKey *pKeys, size_t nKeys) {
    for (size_t k = 0; k < nKeys; k++)
        pKeys[k].nWatch = WATCH_NONE;
    bool bOk = false;
    try {
        bOk = Plan(pKeys, nKeys);
    } catch (const std::bad_alloc &) {
    }
    for (size_t k = 0; k < nKeys && !bOk; k++)
        pKeys[k].nWatch = WATCH_NONE;
    return bOk;
}

unsigned long NextBackoff(unsigned long dwPause) {
    const unsigned long FIRST_PAUSE = 50, MAX_PAUSE = 5000;
    if (dwPause < FIRST_PAUSE)
        return FIRST_PAUSE;
    return dwPause * 2 > MAX_PAUSE ? MAX_PAUSE : dwPause * 2;
}
