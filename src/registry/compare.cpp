// Matches two lists of names in order: each old name not among the new ones
// (or only before the point reached) is dropped, each new one not among the
// old is taken, and the rest are kept, so a name moved past others is
// dropped and taken again, and every name not moved stays.
#include "registry/compare.h"

#include "registry/records.h"

#include <new>
#include <string_view>
#include <unordered_map>

static const size_t NONE = (size_t)-1;

// Names to their first positions in one list.
typedef std::unordered_map<std::string_view, size_t> NameIndex;

static std::string_view Bytes(const unsigned char *pName) {
    return std::string_view((const char *)pName, NameSize(pName));
}

static void BuildIndex(NameIndex *pIdx, const unsigned char *const *ppNames, size_t n) {
    pIdx->reserve(n);
    for (size_t i = 0; i < n; i++)
        pIdx->emplace(Bytes(ppNames[i]), i);
}

static size_t Find(const NameIndex &idx, const unsigned char *pName) {
    auto it = idx.find(Bytes(pName));
    return it == idx.end() ? NONE : it->second;
}

long MatchNames(const unsigned char *const *ppOld, size_t nOld, const unsigned char *const *ppNew,
                size_t nNew, unsigned char *pSteps) {
    NameIndex old, fresh;
    try {
        BuildIndex(&old, ppOld, nOld);
        BuildIndex(&fresh, ppNew, nNew);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    long nSteps = 0;
    for (size_t i = 0, j = 0; i < nOld || j < nNew;) {
        size_t nAt = i < nOld ? Find(fresh, ppOld[i]) : NONE;
        unsigned char nStep;
        if (i < nOld && (nAt == NONE || nAt < j || j >= nNew))
            nStep = MATCH_DROP;
        else if (j < nNew && ((nAt = Find(old, ppNew[j])) == NONE || nAt < i || i >= nOld))
            nStep = MATCH_TAKE;
        else
            nStep = SameName(ppOld[i], ppNew[j]) ? MATCH_KEEP : MATCH_DROP;
        pSteps[nSteps++] = nStep;
        i += nStep != MATCH_TAKE;
        j += nStep != MATCH_DROP;
    }
    return nSteps;
}
