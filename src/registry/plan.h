// The plan: which keys are watched, and how. No window code: unit-tested
// natively.
//
// A wait on the whole hive says only that something changed; a wait on a
// key says where. So after a whole fill the hive is cut into parts, biggest
// first, while the watches last: a part is a key watched with its whole
// subtree ("watched whole"), and each key above the parts is "cut": watched
// for its own subkeys only, each of which has a watch of its own. Every key
// is then under exactly one watch, and a change costs a read of its part.
// A subtree watch sees the keys below it as they are, not through links, so
// a key with a linked key below it is always cut.
#ifndef CORVANE_REGISTRY_PLAN_H
#define CORVANE_REGISTRY_PLAN_H

#include <cstddef>
#include <cstdint>

const size_t MAX_WATCHES = 4096;

enum WatchKind { WATCH_NONE, WATCH_WHOLE, WATCH_CUT };

// One key of the tree, in pre-order from the hive (index 0), with its size
// going in and its watch coming out.
struct PlanKey {
    uint32_t nSubs, nItems, nKeysBelow; // subkeys; items and keys in its subtree
    bool bLinkedBelow;                  // a key below it was reached through links
    unsigned char nWatch;
};

// Marks each key's watch; the hive is always cut. False when the tree
// cannot be cut into parts within the watches (links below too many keys)
// or memory runs out: then nothing is marked.
bool PlanWatches(PlanKey *pKeys, size_t nKeys);

// The pause before the next change wait after one that failed, in ms:
// short at first, doubling, capped. 0 resets after a success.
unsigned long NextBackoff(unsigned long dwPause);

#endif
