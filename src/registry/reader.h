// The reader: reads one key and what is below it (the whole hive for a
// fill, a part for an update) on a thread of its own, and hands the names
// to the window's thread as records (records.h) in a small ring of batches.
// It gets all it needs as its own copy, a ReadOrder handed over at its
// start; it never reads the model and never touches the tree.
#ifndef CORVANE_REGISTRY_READER_H
#define CORVANE_REGISTRY_READER_H

#include "corvane.h"

// A key the window already has below the key read, which the reader can
// leave alone: one watched on its own, or one with no subkeys whose last
// write time is unchanged (a write to its values, or a subkey made or
// deleted, gives it a new one).
enum { KNOWN_OWN_WATCH = 1, KNOWN_UNCHANGED_IF_SAME_STAMP = 2 };
struct KnownKey {
    DWORD nName;  // where its name starts in the order's names
    DWORD nFirst; // its known subkeys: nSubs from here, in CompareNames' order
    DWORD nSubs, bFlags;
    ULONGLONG nStamp;
};

// What to read: the key by its path from the hive (nPathKeys names in
// records.h's form, none for the hive itself), and the keys the window
// knows below it (index 0: the key itself). malloc'd; the reader frees it.
struct ReadOrder {
    LONG nGeneration;
    unsigned nPathKeys;
    BYTE *pPath, *pNames;
    KnownKey *pKnown;
    size_t cbPath, cbPathMax, cbNames, cbNamesMax, nKnown, nKnownMax;
};
void FreeReadOrder(ReadOrder *pOrder);

enum ReadEnd {
    READ_DONE,
    READ_GONE,         // the key is gone
    READ_CANNOT_PLACE, // the key cannot be opened, or a whole walk would not reach it by its path
    READ_CAPPED,       // a linked key had its share of readings: only a whole read shows it right
};

#define BATCH_BYTES 65536
struct Batch {
    LONG nGeneration; // the read it belongs to
    BYTE bLast, nEnd; // the read ended with this batch, and how
    DWORD cbUsed;
    BYTE data[BATCH_BYTES - 3 * sizeof(DWORD)];
};

// A WM_FILLSLICE or its timer is on its way: set by the reader, cleared by
// the window's thread.
extern volatile LONG bSliceQueued;

// Stops any reader, then starts one that owns pOrder; FALSE (pOrder freed)
// when it cannot start.
BOOL StartReader(ReadOrder *pOrder);
void StopReader(void); // cancels it and waits until it has ended
// The next full batch, or NULL: with *pbEnded set once the reader has ended
// and nothing is left. With bWait it waits for one, but returns NULL early
// when a message is sent to this thread, for the caller to answer.
Batch *NextBatch(BOOL bWait, BOOL *pbEnded);
void ReleaseBatch(void);

// keypath.cpp, on the reader's thread: a key reached through links has its
// subkeys read at most this often in one walk.
#define MAX_LINKED_VISITS 16
void StartKeyPath(void); // a new walk
// Names hKey, opened as pName (records.h's form; NULL for the hive itself,
// at level 0), whose subkeys are read at nLevel, as the level's real key.
// TRUE when they are not to be read: that key is already on the path above
// it, or it was reached through links and has had its share of readings.
// *pbLinked: it was reached through links, and may be read.
BOOL KeyLoops(HKEY hKey, unsigned nLevel, const BYTE *pName, BOOL *pbLinked);
BOOL KeyPathCapped(void);

#endif
