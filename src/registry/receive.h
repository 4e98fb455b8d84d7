// Takes the reader's records on the window's thread. A fill's keys go
// straight into the model and the tree, as everything read is new; an
// update's make a read tree, compared once the read ends.
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
// NULL when it holds what it cannot place.
KeyNode *EndReceive(void);

#endif
