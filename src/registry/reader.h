// The reader: reads one key and what is below it (the whole hive for a
// fill, a part for an update) on a thread of its own, and hands the names
// to the window's thread as records (records.h) in a small ring of batches.
// It gets everything it needs as its own copy (a ReadOrder), handed over at
// its start; it never reads the model and never touches the tree.
#ifndef CORVANE_REGISTRY_READER_H
#define CORVANE_REGISTRY_READER_H

#include "corvane.h"

// A key the window already has below the key read, so the reader can leave
// it alone: one watched on its own, or one with no subkeys whose last write
// time is unchanged (a write to its values, or a subkey made or deleted,
// gives it a new one).
enum { KNOWN_OWN_WATCH = 1, KNOWN_UNCHANGED_IF_SAME_STAMP = 2 };
struct KnownKey {
    DWORD nName;  // where its name starts in the order's names
    DWORD nFirst; // its known subkeys: nSubs of them from here, by CompareNames
    DWORD nSubs;
    DWORD bFlags;
    ULONGLONG nStamp;
};

// What to read: the key by its path from the hive (nPathKeys names, each in
// records.h's form, none for the hive itself), and what the window knows
// below it (index 0: the key itself). Allocated with malloc; the reader
// frees it.
struct ReadOrder {
    LONG nGeneration;
    BYTE *pPath;
    size_t cbPath, cbPathMax;
    unsigned nPathKeys;
    KnownKey *pKnown;
    size_t nKnown, nKnownMax;
    BYTE *pNames;
    size_t cbNames, cbNamesMax;
};

// How a read ended.
enum ReadEnd {
    READ_DONE,
    READ_GONE,         // the key is gone
    READ_CANNOT_PLACE, // the key cannot be opened, or a whole walk would not reach it by its path
    READ_CAPPED, // a linked key had its share of readings: only a whole walk shows links right
};

#define BATCH_BYTES 65536
struct Batch {
    LONG nGeneration; // the read it belongs to
    BYTE bLast;       // the read ended with this batch
    BYTE nEnd;        // then: how (ReadEnd)
    DWORD cbUsed;
    BYTE data[BATCH_BYTES - 3 * sizeof(DWORD)];
};

// A WM_FILLSLICE or its timer is on its way; set by the reader, cleared by
// the window's thread when it takes batches.
extern volatile LONG bSliceQueued;

// Stops any reader, then starts one that owns pOrder; FALSE (and pOrder
// freed) when it cannot start.
BOOL StartReader(ReadOrder *pOrder);
void StopReader(void); // cancels and waits until it has ended
// The next full batch, or NULL: with *pbEnded set once the reader has ended
// and nothing is left. With bWait it waits for one, but returns NULL early
// when a message is sent to this thread, for the caller to answer.
Batch *NextBatch(BOOL bWait, BOOL *pbEnded);
void ReleaseBatch(void);
void FreeReadOrder(ReadOrder *pOrder);

#endif
