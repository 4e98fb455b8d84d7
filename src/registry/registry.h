// What the registry files share among themselves: how the walker hands names
// to the tree, and the watcher's state. The rest of the program sees only
// the handful of calls in corvane.h.
#ifndef CORVANE_REGISTRY_REGISTRY_H
#define CORVANE_REGISTRY_REGISTRY_H

#include "corvane.h"

// Deeper than the registry lets keys nest (512 levels): the last guard of
// a walk that follows links.
#define MAX_TREE_DEPTH 520

// ---- walker.cpp: the walk, on a thread of its own ----
// Names travel to the user-interface thread in a small ring of these.
#define BATCH_BYTES 65536
struct TreeBatch {
    LONG nGeneration; // the fill it belongs to
    BOOL bLast;       // the walk ended with this batch
    DWORD cbUsed;
    BYTE data[BATCH_BYTES - 3 * sizeof(DWORD)];
};
extern volatile LONG bSliceQueued; // a WM_FILLSLICE or its timer is on its way
BOOL StartWalker(LONG nGeneration);
void StopWalker(void); // cancels and waits for the walker to end
// The next full batch, or NULL: with *pbEnded set once the walker has ended
// and nothing is left. With bWait it waits for one, but returns NULL early
// when a message is sent to this thread, for the caller to answer.
TreeBatch *NextBatch(BOOL bWait, BOOL *pbEnded);
void ReleaseBatch(void);

// A key reached through links has its subkeys read at most this often in
// one walk.
#define MAX_LINKED_VISITS 16

// ---- keypath.cpp: the real keys on the walk's path ----
void StartKeyPath(void); // a new walk
// Names hKey, opened as lpszName (NULL for the hive itself, at level 0),
// whose subkeys are read at nLevel, as the level's real key. TRUE when they
// are not to be read: that key is already on the path above it, or it was
// reached through links and has had its share of readings.
BOOL KeyLoops(HKEY hKey, unsigned nLevel, const char *lpszName);

// ---- filltree.cpp ----
double NowMs(void);

// ---- keylist.cpp: the tree's keys, so the next fill can empty it in pieces ----
void NoteKey(HTREEITEM hItem, unsigned nDepth); // one went in
void NoteValue(unsigned nKeyDepth);             // the last key at that depth has one more value
BOOL EmptyTree(double dDeadline);               // TRUE once the tree is empty
void ForgetKeys(void);                          // a new tree view
// Wine's tree view wants the oldest freed first, Windows' each chain's head.
// Told at start by ntdll; the tests and the benchmark may choose.
extern BOOL bWineTreeView;

// ---- notify.cpp: the change watcher ----
extern volatile LONG nNoticesQueued; // a WM_REFILLTREE is on its way
void CreateWatcher(void);            // suspended; hNotify stays null when it cannot be
void StartWatcher(void);             // once: resumes it and waits until it is armed
void StopWatcher(void);              // for good: it ends, and nothing is posted after

// ---- Observed by the tests and the benchmark only ----
enum { WATCH_SUSPENDED, WATCH_ARMING, WATCH_WAITING, WATCH_POSTING, WATCH_BACKOFF, WATCH_ENDED };
extern volatile LONG nWatchState;
extern volatile LONG nFillsDone; // fills that reached their last item
BOOL WatcherIdle(void);          // armed, with no change unreported
BOOL TreeSettled(void);          // no fill running or due, and the watcher idle

#endif
