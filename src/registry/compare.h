// The compare: one key's children as the window has them (old) and as the
// reader read them again (new), in the registry's order, matched name by
// name. No window code: unit-tested and fuzzed natively.
#ifndef CORVANE_REGISTRY_COMPARE_H
#define CORVANE_REGISTRY_COMPARE_H

#include <cstddef>

// One step through both lists: keep the next old name as the next new one,
// drop the next old name, or take the next new name. A name both lists hold
// in the same order, relative to the others they both hold, is kept.
enum MatchStep { MATCH_KEEP, MATCH_DROP, MATCH_TAKE };

// Names are in the compact form of records.h. Writes the steps into pSteps
// (room for nOld + nNew) and returns their count, or -1 when memory runs out.
long MatchNames(const unsigned char *const *ppOld, size_t nOld, const unsigned char *const *ppNew,
                size_t nNew, unsigned char *pSteps);

#endif
