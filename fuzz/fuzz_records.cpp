// Records from any bytes: whatever is read back packs to the same bytes;
// the same bytes as UTF-16 units make a name that reads back unit for unit,
// each NUL shown as U+2400; and the watcher's pauses stay within bounds.
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
    static char16_t units[MAX_NAME_UNITS + 1], back[MAX_NAME_UNITS + 1];
    size_t n = size / 2 < MAX_NAME_UNITS ? size / 2 : MAX_NAME_UNITS;
    for (size_t i = 0; i < n; i++)
        units[i] = (char16_t)(data[2 * i] | data[2 * i + 1] << 8);
    static unsigned char name[MAX_NAME_BYTES];
    size_t cb = EncodeName(name, sizeof(name), units, n);
    if (!cb || NameSize(name) != cb || DecodeName(name, back, n, false) != n ||
        memcmp(back, units, n * sizeof(char16_t)) != 0)
        abort(); // lost or changed on the way
    if (DecodeName(name, back, n + 1, true) != n || back[n] != 0)
        abort();
    for (size_t i = 0; i < n; i++)
        if (back[i] != (units[i] ? units[i] : u'\u2400'))
            abort();
    uint32_t dwStart = 0;
    memcpy(&dwStart, data, size < sizeof(dwStart) ? size : sizeof(dwStart));
    unsigned long dwPause = NextBackoff(dwStart);
    if (dwPause < 50 || dwPause > 5000)
        abort();
    return 0;
}
