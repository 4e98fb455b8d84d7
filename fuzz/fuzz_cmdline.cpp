// The "/c" name taken from a command line of any length and content.
#include "reports/reporttext.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string line((const char *)data, size);
    std::string name = ComputerNameArgument(line);
    if (name.find_first_of("/c") != std::string::npos)
        abort(); // both delimit the name
    if (line.find("/c") == std::string::npos && !name.empty())
        abort(); // no "/c", no name
    if (!name.empty() && line.find(name) == std::string::npos)
        abort(); // the name is taken from the line as it stands
    return 0;
}
