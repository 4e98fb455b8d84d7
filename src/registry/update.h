// Updates, on the window's thread: each part whose watch fired is read
// again, compared with the model, and the difference queued for the tree.
#ifndef CORVANE_REGISTRY_UPDATE_H
#define CORVANE_REGISTRY_UPDATE_H

#include "registry/model.h"
#include "registry/reader.h"

void QueueUpdates(const LONG *pnWatches, size_t nCount);
BOOL UpdateQueued(void);
void ForgetUpdates(void); // a whole fill shows them all
// The next queued part still watched: what to read, for the reader, and
// the key's name, for the read tree; NULL when none is left.
ReadOrder *NextUpdate(LONG nGeneration, const BYTE **ppName);
// Once the part is read (pRead NULL: it held what it cannot place).
enum { UPDATE_SEND, UPDATE_NEXT, UPDATE_WHOLE };
int CompareUpdate(KeyNode *pRead, int nEnd);
// An update ran out of memory half way: the next fill empties the tree
// without the model.
extern BOOL bModelBroken;

#endif
