// The compare of two lists of distinct names: the steps applied to the old
// list give the new one, a kept name is the same on both sides, and when
// the names both lists hold are in the same order in each, every one of
// them is kept: only names added or removed are touched.
#include "registry/compare.h"
#include "registry/records.h"

#include <cstdint>
#include <cstdlib>
#include <set>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Each byte is a name (of one unit, 0 to 63) on the old side or the new.
    std::vector<std::vector<unsigned char>> names(128);
    for (size_t i = 0; i < names.size(); i++) {
        char16_t unit = (char16_t)(i % 64 + (i % 3 == 0 ? 0x400 : 0));
        names[i].resize(8);
        names[i].resize(EncodeName(names[i].data(), names[i].size(), &unit, 1));
    }
    std::vector<int> olds, news;
    std::set<int> inOld, inNew;
    for (size_t i = 0; i < size; i++) {
        int n = data[i] % 64;
        if (data[i] & 0x80 ? inNew.insert(n).second : inOld.insert(n).second)
            (data[i] & 0x80 ? news : olds).push_back(n);
    }
    std::vector<const unsigned char *> o, n;
    for (int k : olds)
        o.push_back(names[k].data());
    for (int k : news)
        n.push_back(names[k].data());
    std::vector<unsigned char> steps(olds.size() + news.size() + 1);
    long nSteps = MatchNames(o.data(), o.size(), n.data(), n.size(), steps.data());
    if (nSteps < 0)
        return 0; // no memory
    std::vector<int> made, oldCommon, newCommon;
    size_t i = 0, j = 0, nKept = 0;
    for (long s = 0; s < nSteps; s++) {
        if (steps[s] == MATCH_KEEP && (i >= olds.size() || j >= news.size() || olds[i] != news[j]))
            abort();
        if (steps[s] != MATCH_DROP && j < news.size())
            made.push_back(news[j++]);
        if (steps[s] != MATCH_TAKE)
            i++;
        nKept += steps[s] == MATCH_KEEP;
    }
    if (made != news || i != olds.size())
        abort();
    for (int k : olds)
        if (inNew.count(k))
            oldCommon.push_back(k);
    for (int k : news)
        if (inOld.count(k))
            newCommon.push_back(k);
    if (oldCommon == newCommon && nKept != oldCommon.size())
        abort(); // an unchanged name was dropped and taken again
    return 0;
}
