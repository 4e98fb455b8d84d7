// Name buffer growth and the watcher's pauses from any starting value: each
// step stays within its bounds, and growth always ends.
#include "registry/namebuf.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint32_t dwStart = 0;
    memcpy(&dwStart, data, size < sizeof(dwStart) ? size : sizeof(dwStart));
    unsigned long dwSize = dwStart;
    for (int nSteps = 0; (dwSize = NextNameBufferSize(dwSize)) != 0; nSteps++) {
        if (dwSize > 65536 || nSteps > 20)
            abort(); // past the bound, or growing for ever
    }
    unsigned long dwPause = NextBackoff(dwStart);
    if (dwPause < 50 || dwPause > 5000)
        abort();
    return 0;
}
