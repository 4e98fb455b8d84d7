// The parts the tree is watched in (plan.h), on the window's thread: which
// node each watch is on, and the requests that arm them.
#ifndef CORVANE_REGISTRY_PARTS_H
#define CORVANE_REGISTRY_PARTS_H

#include "registry/model.h"

// Every key is under a watch that says where it changed.
extern BOOL bPartsWatched;

void PlanParts(void); // after a whole fill
void DropAllWatches(void);
// A key new under a cut key is a part of its own, read once more as soon as
// its watch is armed: what came under it before the watch was there shows.
void WatchNewKey(KeyNode *pNode, LONG nCutWatch);
void DropTree(KeyNode *pNode);  // it and its subtree leave the model, watches and all
void NodeMoved(KeyNode *pNode); // its watch follows it to its new place
KeyNode *WatchedNode(LONG nWatch);
LONG WatchAbove(LONG nWatch); // the cut key's watch above it, or -1 for the hive
BOOL WatchIsCut(LONG nWatch);

#endif
