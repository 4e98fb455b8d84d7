// Takes the reader's records on the window's thread. A fill is a read of
// the hive against an empty model: everything read is new, so each key goes
// straight into the model and the tree as it comes, without waiting for a
// compare. An update's records make a read tree of their own, compared once
// the read ends.
#ifndef CORVANE_REGISTRY_RECEIVE_H
#define CORVANE_REGISTRY_RECEIVE_H

#include "registry/model.h"
#include "registry/records.h"

// pName: the name of the key read (the hive's is empty); bFill: into the
// model and the tree.
void BeginReceive(const BYTE *pName, BOOL bFill);
void TakeRecord(const Record &r);
// After the last record: the read tree (a fill's is the model's root), or
// NULL when it holds something it cannot place (a link inside a part, a
// name memory could not take).
KeyNode *EndReceive(void);
void DropReadTree(KeyNode *pRoot); // its nodes, after a compare took what it needed

#endif
