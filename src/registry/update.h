// Updates: the parts whose watches fired are read again one by one, each
// read compared with the model, and only the difference queued for the
// tree (writer.h). On the window's thread.
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
// An update ran out of memory half way: the model no longer says what the
// tree holds, so the whole fill empties the tree without it.
extern BOOL bModelBroken;

#endif
