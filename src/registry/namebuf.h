// Sizes for registry name buffers and the watcher's back-off; plain values,
// no window code, so they can be tested on their own.
#ifndef CORVANE_REGISTRY_NAMEBUF_H
#define CORVANE_REGISTRY_NAMEBUF_H

// Bytes for a name buffer of dwSize bytes that was too small, or 0 once it
// is past the longest name the registry allows (16,383 characters).
unsigned long NextNameBufferSize(unsigned long dwSize);

// The pause before the next change wait after one that failed, in ms:
// short at first, doubling, capped. 0 resets after a success.
unsigned long NextBackoff(unsigned long dwPause);

#endif
