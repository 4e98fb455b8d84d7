// Environment blocks: walk an arbitrary block and split every entry.
#include "reports/reporttext.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> entries = SplitMultiString((const char *)data, size);
    for (const std::string &entry : entries) {
        EnvEntry e = SplitEnvironmentEntry(entry);
        // Nothing is lost or invented: name, separator and value rebuild the entry.
        std::string rebuilt = e.name;
        if (e.name.size() < entry.size())
            rebuilt += "=" + e.value;
        if (rebuilt != entry)
            abort();
        if (e.name.find('=', 1) != std::string::npos)
            abort();
    }
    return 0;
}
