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
struct KeyNode;
// Reads one key again (pKnown, as the tree has it): its subtree, or for a
// key watched for its own subkeys its subkeys and values, going on only
// into subkeys it lacks. A key the tree has with no subkeys, unwritten
// since, comes back as kept.
BOOL StartPartWalker(LONG nGeneration, const char *lpszPath, const KeyNode *pKnown);
// How the last walk ended, once its last batch is taken.
enum { WALK_DONE, WALK_GONE, WALK_CANNOT_PLACE };
extern volatile LONG nWalkEnd;
extern volatile LONG bWalkCapped; // a linked key had its share of readings
void StopWalker(void);            // cancels and waits for the walker to end
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
extern BOOL bKeyLinked; // the key KeyLoops last let through was reached through links

// ---- filltree.cpp ----
double NowMs(void);
// The tree's images: a closed and an open folder for keys, a page for values.
enum { IMG_FOLDER = 0, IMG_FOLDER_OPEN = 1, IMG_VALUE = 2 };
HTREEITEM Insert(HTREEITEM hParent, HTREEITEM hAfter, const char *lpszName, int nImage,
                 int nSelected);

// ---- keylist.cpp: the tree's keys, so the next fill can empty it in pieces ----
void NoteKey(HTREEITEM hItem, unsigned nDepth); // one went in
void NoteValue(unsigned nKeyDepth);             // the last key at that depth has one more value
BOOL EmptyTree(double dDeadline);               // TRUE once the tree is empty
void ForgetKeys(void);                          // a new tree view
// Wine's tree view wants the oldest freed first, Windows' each chain's head.
// Told at start by ntdll; the tests and the benchmark may choose.
extern BOOL bWineTreeView;

// ---- model.cpp: a compact copy of the tree ----
struct KeyNode {
    HTREEITEM hItem; // TVI_ROOT for the hive; NULL when its insert failed
    KeyNode *pParent;
    KeyNode **ppSubs; // in the tree's order once turned
    BYTE *pValues;    // nValues records: the item, then the name and its NUL
    ULONGLONG nStamp; // its last write time when a part was last read, or 0
    DWORD nSubs, nSubsMax, nValues, cbValues, cbValuesMax;
    DWORD nItems;               // in its subtree, as the last whole fill read it
    LONG nWatch;                // its watch, or -1
    BYTE bTurned;               // names in the tree's order (they arrive last first)
    BYTE bLinked, bLinkedBelow; // reached through links; a key below it was
    BYTE bShallow;              // watched for its own subkeys only
    BYTE bKept;                 // read again without its subtree
    char szName[1];
};
extern KeyNode *pModelRoot;
void ResetModel(void);
KeyNode *NewKeyNode(KeyNode *pParent, const char *lpszName); // NULL when memory runs out
BOOL AdoptKey(KeyNode *pParent, KeyNode *pNode);
BOOL AddValueNode(KeyNode *pKey, HTREEITEM hItem, const char *lpszName);
void FreeKeyNode(KeyNode *pNode); // with its subtree and their watches
void ModelFree(void *p);
void *ModelAlloc(SIZE_T cb);
BOOL TurnNames(KeyNode *pNode); // once: into the tree's order; FALSE without memory
HTREEITEM ValueItem(const BYTE *pRecord);
inline const char *ValueName(const BYTE *pRecord) {
    return (const char *)pRecord + sizeof(HTREEITEM);
}
DWORD NextValue(const KeyNode *pKey, DWORD cbAt);
size_t KeyPathOf(const KeyNode *pNode, char *psz, size_t cb); // 0 when it does not fit
unsigned KeyDepth(const KeyNode *pNode);
void NotesFromModel(void); // the whole fill's notes, after changes

// ---- plan.cpp: which keys are watched, and how ----
#define MAX_WATCHES 4096
extern BOOL bPartsWatched;        // every key is under a watch that says where it changed
void PlanWatches(void);           // after a whole fill
void WatchNewKey(KeyNode *pNode); // new under a key watched for its own subkeys
void DropWatch(KeyNode *pNode);
void DropAllWatches(void);
KeyNode *WatchedNode(LONG nWatch);

// ---- update.cpp: a part read again, compared and sent to the tree ----
void QueueUpdates(const LONG *pnWatches, DWORD nCount);
BOOL UpdateQueued(void);
BOOL StartUpdateRead(LONG nGeneration); // FALSE: nothing left to read
void TakeUpdateRecord(unsigned nDepth, int nKind, const char *lpszName);
int CompareUpdate(void); // after the read: UPDATE_*
enum { UPDATE_APPLY, UPDATE_NEXT, UPDATE_WHOLE };
BOOL ApplyUpdate(double dDeadline); // TRUE once every change is in the tree
void CollapseForUpdate(void);       // what the user opened, before the first change
void EndUpdates(void);              // what was read is sent at once; nothing more queued
DWORD UpdateOpsLeft(void);          // tree messages still to send, about
void ScrollToTop(void);
void ForgetOpened(void);           // a whole fill: nothing is open
BOOL TooManyOpened(void);          // more opened than kept: only a whole fill closes them
extern BOOL bModelBroken;          // an update ran out of memory half way
extern volatile LONG nUpdatesDone; // updates that reached the tree

// ---- notify.cpp: the change watcher ----
extern volatile LONG nNoticesQueued; // a WM_REFILLTREE is on its way
void CreateWatcher(void);            // suspended; hNotify stays null when it cannot be
void StartWatcher(void);             // once: resumes it and waits until it is armed
void StopWatcher(void);              // for good: it ends, and nothing is posted after
void WatchWhole(void);               // one wait on the whole hive; the parts' go
void WatchPart(LONG nWatch, const char *lpszPath, BOOL bSubtree, LONG nParent, BOOL bReadNow);
void UnwatchPart(LONG nWatch);
void WatchPlanDone(void); // every part armed: the hive's own wait goes
// The watches that saw changes since the last call (HeapFree the array), and
// whether a change was seen that no part places.
LONG *TakeNotices(DWORD *pnCount, BOOL *pbUnlocated);

// ---- Observed by the tests and the benchmark only ----
enum { WATCH_SUSPENDED, WATCH_ARMING, WATCH_WAITING, WATCH_POSTING, WATCH_BACKOFF, WATCH_ENDED };
extern volatile LONG nWatchState;
extern volatile LONG nFillsDone; // fills that reached their last item
BOOL WatcherIdle(void);          // armed, with no change unreported
BOOL TreeSettled(void);          // no fill running or due, and the watcher idle

#endif
