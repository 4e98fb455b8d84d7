// The reader: reads one key and all below it (the hive for a fill, a part
// for an update) on a thread of its own, and hands the names to the
// window's thread as records (records.h) in a small ring of batches. All it
// needs comes as its own copy, handed over at its start: it never reads the
// model and never touches the tree.
#ifndef CORVANE_REGISTRY_READER_H
#define CORVANE_REGISTRY_READER_H

#include "corvane.h"

// A key below the key read that the window already has, and the reader may
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
// records.h's form, none for the hive), and the keys the window knows below
// it (index 0: the key itself). malloc'd; the reader frees it.
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
    READ_CANNOT_PLACE, // it cannot be opened, or a whole walk would not reach it by its path
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
// when it cannot.
BOOL StartReader(ReadOrder *pOrder);
void StopReader(void); // cancels it and waits until it has ended
// The next full batch, or NULL, with *pbEnded once the reader has ended and
// nothing is left. bWait: waits for one, but returns early when a message
// is sent to this thread, for the caller to answer.
Batch *NextBatch(BOOL bWait, BOOL *pbEnded);
void ReleaseBatch(void);

// keypath.cpp: keys opened by their counted names, where Win32 calls stop
// at a NUL. A handle of its own to HKEY_LOCAL_MACHINE, as a wait belongs to
// the handle it was armed on; a subkey of a real handle, for reading, in the
// 64-bit view when this 32-bit program runs on 64-bit Windows, as regedit.
LONG OpenHive(HKEY *phKey);
LONG OpenSubkey(HKEY hParent, const BYTE *pName, HKEY *phKey);
// On the reader's thread: a key reached through links has its subkeys read
// at most this often in one walk.
#define MAX_LINKED_VISITS 16
void StartKeyPath(void); // a new walk
// hKey, opened as pName (NULL for the hive, at level 0), is the real key
// at nLevel. TRUE when its subkeys are not to be read: it is already on the
// path above, or it was reached through links and has had its share.
// *pbLinked: it was reached through links, and may be read.
BOOL KeyLoops(HKEY hKey, unsigned nLevel, const BYTE *pName, BOOL *pbLinked);
BOOL KeyPathCapped(void);

#endif
