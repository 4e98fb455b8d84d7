// Multi-string blocks, including ones that are not terminated.
#include "reports/reporttext.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<char16_t> block(size / sizeof(char16_t));
    if (!block.empty())
        memcpy(block.data(), data, block.size() * sizeof(char16_t));
    std::vector<std::u16string> strings = SplitMultiString(block.data(), block.size());
    size_t total = 0;
    for (const std::u16string &s : strings) {
        if (s.empty() || s.find(u'\0') != std::u16string::npos)
            abort();
        total += s.size() + 1;
    }
    if (total > block.size() + 1)
        abort();

    // The same units, properly ended, measure back to where the walk stopped.
    block.push_back(u'\0');
    block.push_back(u'\0');
    size_t cch = MultiStringLength(block.data());
    if (cch > block.size() || block[cch - 1] != u'\0')
        abort();
    if (SplitMultiString(block.data(), block.size()).size() != strings.size())
        abort();
    return 0;
}
