// Growth of name buffers, the watcher's pause after failed waits, and the
// walker's record format.
#include "registry/namebuf.h"

#include <cstring>

static const unsigned long MAX_NAME_BUFFER = 65536; // past 16,383 three-byte characters
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

// Layout: kind (1 byte), depth (2 bytes, low first), name, NUL.
static const size_t RECORD_HEAD = 3;

size_t PackRecord(unsigned char *p, size_t cbFree, unsigned nDepth, int nKind,
                  const char *lpszName) {
    size_t cbName = strlen(lpszName) + 1;
    if (nDepth > 0xFFFF || cbFree < RECORD_HEAD || cbFree - RECORD_HEAD < cbName)
        return 0;
    p[0] = (unsigned char)nKind;
    p[1] = (unsigned char)(nDepth & 0xFF);
    p[2] = (unsigned char)(nDepth >> 8);
    memcpy(p + RECORD_HEAD, lpszName, cbName);
    return RECORD_HEAD + cbName;
}

size_t UnpackRecord(const unsigned char *p, size_t cbLeft, unsigned *pnDepth, int *pnKind,
                    const char **ppszName) {
    if (cbLeft <= RECORD_HEAD)
        return 0;
    const void *pEnd = memchr(p + RECORD_HEAD, '\0', cbLeft - RECORD_HEAD);
    if (!pEnd)
        return 0;
    *pnKind = p[0];
    *pnDepth = p[1] | (unsigned)p[2] << 8;
    *ppszName = (const char *)(p + RECORD_HEAD);
    return (size_t)((const unsigned char *)pEnd - p) + 1;
}
