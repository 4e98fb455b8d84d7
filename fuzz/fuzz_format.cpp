// Every line, caption and box text, with arbitrary numbers and names, into
// buffers of every size: the text always ends inside the buffer, and names
// of whole UTF-8 characters are never cut inside one.
#include "reports/reporttext.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Input {
    const uint8_t *p;
    size_t n;
    uint64_t Number() {
        uint64_t v = 0;
        for (int i = 0; i < 8 && n; i++, p++, n--)
            v = (v << 8) | *p;
        return v;
    }
    std::string Text() {
        size_t len = n ? *p % 128 : 0;
        if (n) {
            p++;
            n--;
        }
        len = len < n ? len : n;
        std::string s((const char *)p, len);
        p += len;
        n -= len;
        return s.c_str(); // a C string stops at its first NUL
    }
};

// A plain decoder: every lead byte followed by as many continuation bytes as it announces.
bool WholeUtf8(const char *p, size_t n) {
    for (size_t i = 0; i < n;) {
        unsigned char c = (unsigned char)p[i];
        size_t len = c < 0x80 ? 1 : c < 0xC0 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF8 ? 4 : 0;
        if (len == 0 || i + len > n)
            return false;
        for (size_t k = 1; k < len; k++)
            if (((unsigned char)p[i + k] & 0xC0) != 0x80)
                return false;
        i += len;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in{data, size};
    unsigned which = (unsigned)in.Number() % 11;
    size_t cb = (size_t)(in.Number() % 300);
    uint64_t a = in.Number(), b = in.Number();
    std::string s1 = in.Text(), s2 = in.Text();

    const size_t canary = 16;
    std::vector<char> buf(cb + canary, '\x5a');
    char *p = buf.data();
    bool fitted = false;
    switch (which) {
    case 0:
        fitted = FormatLanguageLine(p, cb, (LangLine)(a % 4), (uint32_t)b, s1.c_str(), s2.c_str());
        break;
    case 1: fitted = FormatArchitectureLine(p, cb, (unsigned)a, a, b); break;
    case 2: fitted = FormatPageSizeLine(p, cb, (uint32_t)a, (uint32_t)b); break;
    case 3: fitted = FormatProcessorLine(p, cb, (unsigned)a); break;
    case 4: fitted = FormatKeyboardText(p, cb, (int)a, (int)b); break;
    case 5: fitted = FormatDirectoriesText(p, cb, s1.c_str(), s2.c_str()); break;
    case 6: fitted = FormatVersionCaption(p, cb, (uint32_t)a, (uint32_t)b); break;
    case 7: fitted = FormatVersionText(p, cb, (uint32_t)a, (uint32_t)b); break;
    case 8: fitted = FormatBytes(p, cb, a); break;
    case 10: fitted = FormatRenameFailedText(p, cb, s1.c_str(), s2.c_str()); break;
    case 9:
        // The names for codes never fail, whatever the code.
        if (!DriveTypeText((unsigned)a) || !KeyboardDescription((int)a) ||
            !ArchitectureText((unsigned)a) || !ProcessorText((unsigned)a) ||
            !LongNamesText((uint32_t)a))
            abort();
        // A cut drops at most the one character it would have split.
        if (Utf8WholeLength(s1.c_str(), s1.size()) > s1.size() ||
            Utf8WholeLength(s1.c_str(), s1.size()) + 3 < s1.size())
            abort();
        if (WholeUtf8(s1.data(), s1.size()) && Utf8WholeLength(s1.c_str(), s1.size()) != s1.size())
            abort();
        return 0;
    }
    for (size_t i = cb; i < cb + canary; i++)
        if (buf[i] != '\x5a')
            abort(); // wrote past the buffer
    if (cb > 0 && memchr(p, 0, cb) == NULL)
        abort(); // not terminated inside the buffer
    if (cb == 0 && fitted)
        abort();
    if (cb > 0 && WholeUtf8(s1.data(), s1.size()) && WholeUtf8(s2.data(), s2.size()) &&
        !WholeUtf8(p, strlen(p)))
        abort(); // a character split by the cut
    // Anything that fits a language line's buffer fits with room to spare.
    if (which == 0 && cb >= LANGLINE_SIZE && s1.size() <= 63 && s2.size() <= 63 && !fitted)
        abort();
    return 0;
}
