// What the tests and the benchmark observe of the registry tree; the
// program reads none of it itself.
#ifndef CORVANE_REGISTRY_OBSERVE_H
#define CORVANE_REGISTRY_OBSERVE_H

#include "corvane.h"

// What the watcher is doing: written by its thread, read by anyone.
enum { WATCH_SUSPENDED, WATCH_ARMING, WATCH_WAITING, WATCH_POSTING, WATCH_BACKOFF, WATCH_ENDED };
extern volatile LONG nWatchState;
// Whole fills that reached their last item, and updates that reached the
// tree: counted on the window's thread.
extern volatile LONG nFillsDone, nUpdatesDone;

// On the window's thread:
BOOL WatcherIdle(void); // armed, with no change unreported
BOOL TreeSettled(void); // no fill running or due, and the watcher idle

#endif
