// Environment blocks: walk an arbitrary UTF-16 block and split every entry.
#include "reports/reporttext.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<char16_t> block(size / sizeof(char16_t));
    if (!block.empty())
        memcpy(block.data(), data, block.size() * sizeof(char16_t));
    std::vector<std::u16string> entries = SplitMultiString(block.data(), block.size());
    for (const std::u16string &entry : entries) {
        EnvEntry e = SplitEnvironmentEntry(entry);
        // Nothing is lost or invented: name, separator and value rebuild the entry.
        std::u16string rebuilt = e.name;
        if (e.name.size() < entry.size())
            rebuilt += u"=" + e.value;
        if (rebuilt != entry)
            abort();
        if (e.name.find(u'=', 1) != std::u16string::npos)
            abort();
    }
    return 0;
}
