// The change watcher: a thread of its own (hNotify) that arms every
// registry wait and tells the window's thread which parts changed. The
// window's thread tells it what to watch, and takes its notices, both
// under one lock; neither ever waits for the other.
#ifndef CORVANE_REGISTRY_WATCHER_H
#define CORVANE_REGISTRY_WATCHER_H

#include "corvane.h"

// A WM_REFILLTREE is on its way: set by the watcher, cleared by the window.
extern volatile LONG nNoticesQueued;

void CreateWatcher(void); // suspended; hNotify stays null when it cannot be
void StartWatcher(void);  // once: resumes it and waits until its first wait was tried
void StopWatcher(void);   // for good: it ends, and nothing is posted after

// Requests, carried out in order on the watcher's thread:
// - the whole hive: one wait on all of it; every part's goes;
// - a part: the key named pName (records.h's form) under the key of watch
//   nAbove (-1: the hive itself), watched with its subtree or for its own
//   subkeys only, and read again as soon as it is armed with bReadNow;
// - a part no longer watched;
// - the plan done: every part asked for, the hive's own wait goes.
enum { REQ_WHOLE, REQ_PART, REQ_UNWATCH, REQ_PLAN_DONE };
void AskWatcher(int nKind, LONG nWatch = -1, LONG nAbove = -1, const BYTE *pName = NULL,
                BOOL bSubtree = FALSE, BOOL bReadNow = FALSE);
// The watches that saw changes since the last call (free() the array), and
// whether a change was seen that no part places.
LONG *TakeNotices(size_t *pnCount, BOOL *pbUnlocated);

#endif
