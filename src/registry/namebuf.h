// Sizes for registry name buffers, the watcher's back-off and the records
// the walker hands to the tree; plain values, no window code, so they can be
// tested on their own.
#ifndef CORVANE_REGISTRY_NAMEBUF_H
#define CORVANE_REGISTRY_NAMEBUF_H

#include <cstddef>

// Bytes for a name buffer of dwSize bytes that was too small, or 0 once it
// is past the longest name the registry allows (16,383 characters of up to
// 3 bytes each in UTF-8).
unsigned long NextNameBufferSize(unsigned long dwSize);

// The pause before the next change wait after one that failed, in ms:
// short at first, doubling, capped. 0 resets after a success.
unsigned long NextBackoff(unsigned long dwPause);

// One walked name: its depth (0 for the hive's own subkeys and values) and
// whether it is a key or a value.
// A key read again may come without its subtree (kept), or be followed by
// its last write time (a stamp, in hex), and a key reached through links is
// marked by a record one level below it.
enum { RECORD_KEY = 0, RECORD_VALUE = 1, RECORD_KEPT = 2, RECORD_LINKED = 3, RECORD_STAMP = 4 };

// Writes a record (kind, depth, name and its terminator) into p; the bytes
// used, or 0 when it does not fit in cbFree.
size_t PackRecord(unsigned char *p, size_t cbFree, unsigned nDepth, int nKind,
                  const char *lpszName);

// Reads the record at p; the bytes it takes, or 0 when cbLeft holds no whole
// record.
size_t UnpackRecord(const unsigned char *p, size_t cbLeft, unsigned *pnDepth, int *pnKind,
                    const char **ppszName);

#endif
