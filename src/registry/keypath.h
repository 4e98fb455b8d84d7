// The real keys on the reader's path, after links: where a link loops, and
// how often a linked key was read. The reader's thread owns all of it.
#ifndef CORVANE_REGISTRY_KEYPATH_H
#define CORVANE_REGISTRY_KEYPATH_H

#include "corvane.h"

// A key reached through links has its subkeys read at most this often in
// one walk.
#define MAX_LINKED_VISITS 16

void StartKeyPath(void); // a new walk
// Names hKey, opened as lpszName (NULL for the hive itself, at level 0),
// whose subkeys are read at nLevel, as the level's real key. TRUE when they
// are not to be read: that key is already on the path above it, or it was
// reached through links and has had its share of readings. *pbLinked: it
// was reached through links (and may be read).
BOOL KeyLoops(HKEY hKey, unsigned nLevel, const char *lpszName, BOOL *pbLinked);
BOOL KeyPathCapped(void); // a linked key had its share in this walk

#endif
