// The change watcher: a thread of its own (hNotify) that arms every
// registry wait and tells the window's thread which parts changed. The
// window's thread asks it for watches through a queue, and takes its
// notices from it, both under one lock; neither ever waits for the other.
#ifndef CORVANE_REGISTRY_WATCHER_H
#define CORVANE_REGISTRY_WATCHER_H

#include "corvane.h"

// A WM_REFILLTREE is on its way: set by the watcher, cleared by the window.
extern volatile LONG nNoticesQueued;

void CreateWatcher(void); // suspended; hNotify stays null when it cannot be
void StartWatcher(void);  // once: resumes it and waits until its first wait was tried
void StopWatcher(void);   // for good: it ends, and nothing is posted after

// Requests, carried out in order on the watcher's thread:
void WatchWhole(void); // one wait on the whole hive; every part's goes
// A part: the key named pName (records.h's form) under the key of watch
// nAbove (-1: the hive itself), watched with its subtree or for its own
// subkeys only; read again as soon as it is armed with bReadNow.
void WatchPart(LONG nWatch, LONG nAbove, const BYTE *pName, BOOL bSubtree, BOOL bReadNow);
void UnwatchPart(LONG nWatch);
void WatchPlanDone(void); // every part asked for: the hive's own wait goes

// The watches that saw changes since the last call (free() the array), and
// whether a change was seen that no part places.
LONG *TakeNotices(size_t *pnCount, BOOL *pbUnlocated);

#endif
