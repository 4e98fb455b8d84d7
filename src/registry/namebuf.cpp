// Growth of name buffers and of the watcher's pause after failed waits.
#include "registry/namebuf.h"

static const unsigned long MAX_NAME_BUFFER = 32768; // twice the longest value name
static const unsigned long FIRST_PAUSE = 50;
static const unsigned long MAX_PAUSE = 5000;

unsigned long NextNameBufferSize(unsigned long dwSize) {
    if (dwSize >= MAX_NAME_BUFFER)
        return 0;
    if (dwSize < 64)
        return 64;
    return dwSize * 2 > MAX_NAME_BUFFER ? MAX_NAME_BUFFER : dwSize * 2;
}

unsigned long NextBackoff(unsigned long dwPause) {
    if (dwPause < FIRST_PAUSE)
        return FIRST_PAUSE;
    return dwPause * 2 > MAX_PAUSE ? MAX_PAUSE : dwPause * 2;
}
