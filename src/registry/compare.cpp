// Matches two lists of names in order: each old name not among the new ones
// (or only before the point reached) is dropped, each new one not among the
// old is taken, and the rest are kept, so a name moved past others is
// dropped and taken again, and every name not moved stays.
#include "registry/compare.h"

#include "registry/records.h"

#include <cstdlib>
#include <cstring>

static const size_t NONE = (size_t)-1;

// Names to their positions in one list.
struct NameIndex {
    const unsigned char *const *ppNames;
    size_t *pSlots, nMask;
};

static bool BuildIndex(NameIndex *pIdx, const unsigned char *const *ppNames, size_t n) {
    size_t nSlots = 16;
    while (nSlots < 2 * n)
        nSlots *= 2;
    pIdx->ppNames = ppNames;
    pIdx->nMask = nSlots - 1;
    pIdx->pSlots = (size_t *)malloc(nSlots * sizeof(size_t));
    if (!pIdx->pSlots)
        return false;
    memset(pIdx->pSlots, 0xFF, nSlots * sizeof(size_t));
    for (size_t i = 0; i < n; i++) {
        size_t j = HashName(ppNames[i]) & pIdx->nMask;
        while (pIdx->pSlots[j] != NONE)
            j = (j + 1) & pIdx->nMask;
        pIdx->pSlots[j] = i;
    }
    return true;
}

// The name's position, or NONE.
static size_t Find(const NameIndex *pIdx, const unsigned char *pName) {
    for (size_t j = HashName(pName) & pIdx->nMask; pIdx->pSlots[j] != NONE;
         j = (j + 1) & pIdx->nMask)
        if (SameName(pIdx->ppNames[pIdx->pSlots[j]], pName))
            return pIdx->pSlots[j];
    return NONE;
}

long MatchNames(const unsigned char *const *ppOld, size_t nOld, const unsigned char *const *ppNew,
                size_t nNew, unsigned char *pSteps) {
    NameIndex old = {}, fresh = {};
    long nSteps = -1;
    if (BuildIndex(&old, ppOld, nOld) && BuildIndex(&fresh, ppNew, nNew)) {
        nSteps = 0;
        for (size_t i = 0, j = 0; i < nOld || j < nNew;) {
            size_t nAt = i < nOld ? Find(&fresh, ppOld[i]) : NONE;
            unsigned char nStep;
            if (i < nOld && (nAt == NONE || nAt < j || j >= nNew))
                nStep = MATCH_DROP;
            else if (j < nNew && ((nAt = Find(&old, ppNew[j])) == NONE || nAt < i || i >= nOld))
                nStep = MATCH_TAKE;
            else
                nStep = SameName(ppOld[i], ppNew[j]) ? MATCH_KEEP : MATCH_DROP;
            pSteps[nSteps++] = nStep;
            i += nStep != MATCH_TAKE;
            j += nStep != MATCH_DROP;
        }
    }
    free(old.pSlots);
    free(fresh.pSlots);
    return nSteps;
}
