// Takes the reader's batches of records on the window's thread. A fill is a
// read of the hive against an empty model: everything read is new, so each
// key goes straight into the model and the tree as it comes, without
// waiting for a compare. An update's records make a read tree of its own,
// compared once the read ends.
#ifndef CORVANE_REGISTRY_RECEIVE_H
#define CORVANE_REGISTRY_RECEIVE_H

#include "registry/model.h"
#include "registry/reader.h"

// pName: the key read (the hive's name is empty); bFill: into the model and
// the tree; nGeneration: the read's, as the reader marks its batches.
void BeginReceive(const BYTE *pName, BOOL bFill, LONG nGeneration);
// Takes what has come until the deadline or until nothing is ready; done
// once the last batch is in, with how the read ended.
enum StepResult { STEP_DONE, STEP_TIMEUP, STEP_STARVED };
StepResult TakeBatches(double dDeadline, int *pnEnd);
void WaitForBatch(void); // or for a message sent to this thread
// After the last record: the read tree (a fill's is the model's root), or
// NULL when it holds what it cannot place (a link inside a part, a name
// there was no memory for).
KeyNode *EndReceive(void);
void DropReadTree(KeyNode *pRoot); // what the compare did not take

#endif
