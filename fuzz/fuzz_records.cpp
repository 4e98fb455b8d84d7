// Records from any bytes: whatever is read back packs to the same bytes; and
// name buffer growth and the watcher's pauses from any starting value stay
// within their bounds, and growth always ends.
#include "registry/plan.h"
#include "registry/records.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    for (size_t at = 0; at < size;) {
        Record r;
        size_t cb = UnpackRecord(data + at, size - at, &r);
        if (!cb)
            break;
        unsigned char again[3 + 8 + MAX_NAME_BYTES];
        if (r.pName < data + at ||
            r.pName + NameSize(r.pName, data + size - r.pName) > data + at + cb)
            abort(); // a name outside its record
        if (PackRecord(again, sizeof(again), r) != cb || memcmp(again, data + at, cb) != 0)
            abort();
        at += cb;
    }
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
