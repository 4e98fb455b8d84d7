// Multi-string blocks, including ones that are not terminated.
#include "reports/reporttext.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> strings = SplitMultiString((const char *)data, size);
    size_t total = 0;
    for (const std::string &s : strings) {
        if (s.empty() || s.find('\0') != std::string::npos)
            abort();
        total += s.size() + 1;
    }
    if (total > size + 1)
        abort();

    // The same bytes, properly ended, measure back to where the walk stopped.
    std::vector<char> block(data, data + size);
    block.push_back('\0');
    block.push_back('\0');
    size_t cb = MultiStringSize(block.data());
    if (cb > block.size() || block[cb - 1] != '\0')
        abort();
    if (SplitMultiString(block.data(), block.size()).size() != strings.size())
        abort();
    return 0;
}
