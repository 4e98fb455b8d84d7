// The "/c" name taken from a UTF-16 command line of any length and content.
#include "reports/reporttext.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::u16string line(size / sizeof(char16_t), u'\0');
    if (!line.empty())
        memcpy(&line[0], data, line.size() * sizeof(char16_t));
    std::u16string name = ComputerNameArgument(line);
    if (name.find_first_of(u"/c") != std::u16string::npos)
        abort(); // both delimit the name
    if (line.find(u"/c") == std::u16string::npos && !name.empty())
        abort(); // no "/c", no name
    if (!name.empty() && line.find(name) == std::u16string::npos)
        abort(); // the name is taken from the line as it stands
    return 0;
}
