// Every line, caption and box text, with arbitrary numbers and names, into
// buffers of every size: the text always ends inside the buffer, and UTF-16
// names of whole characters are never cut inside one.
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
    size_t Length() {
        size_t len = n ? *p % 128 : 0;
        if (n) {
            p++;
            n--;
        }
        return len;
    }
    std::string Text() {
        size_t len = Length();
        len = len < n ? len : n;
        std::string s((const char *)p, len);
        p += len;
        n -= len;
        return s.c_str(); // a C string stops at its first NUL
    }
    std::u16string Text16() {
        size_t len = Length();
        len = len < n / 2 ? len : n / 2;
        std::u16string s(len, u'\0');
        for (size_t i = 0; i < len; i++, p += 2, n -= 2)
            s[i] = (char16_t)(p[0] | p[1] << 8);
        return s.c_str();
    }
};

// Every lead surrogate followed by a trail one, and no trail without a lead.
bool WholeUtf16(const char16_t *p, size_t n) {
    for (size_t i = 0; i < n; i++) {
        bool bLead = p[i] >= 0xD800 && p[i] <= 0xDBFF;
        bool bTrail = p[i] >= 0xDC00 && p[i] <= 0xDFFF;
        if (bTrail || (bLead && (i + 1 == n || p[i + 1] < 0xDC00 || p[i + 1] > 0xDFFF)))
            return false;
        i += bLead;
    }
    return true;
}

size_t Length16(const char16_t *p) {
    return std::char_traits<char16_t>::length(p);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in{data, size};
    unsigned which = (unsigned)in.Number() % 12;
    size_t cb = (size_t)(in.Number() % 300);
    uint64_t a = in.Number(), b = in.Number();
    std::string s1 = in.Text();
    std::u16string w1 = in.Text16(), w2 = in.Text16();

    const size_t canary = 16;
    std::vector<char> buf(cb + canary, '\x5a');
    std::vector<char16_t> wbuf(cb + canary, u'\x5a5a');
    char *p = buf.data();
    char16_t *pw = wbuf.data();
    bool fitted = false, bWide = false;
    switch (which) {
    case 0:
        bWide = true;
        fitted = FormatLanguageLine(pw, cb, (LangLine)(a % 4), (uint32_t)b, w1.c_str(), w2.c_str());
        break;
    case 1: fitted = FormatArchitectureLine(p, cb, (unsigned)a, a, b); break;
    case 2: fitted = FormatPageSizeLine(p, cb, (uint32_t)a, (uint32_t)b); break;
    case 3: fitted = FormatProcessorLine(p, cb, (unsigned)a); break;
    case 4: fitted = FormatKeyboardText(p, cb, (int)a, (int)b); break;
    case 5:
        bWide = true;
        fitted = FormatDirectoriesText(pw, cb, w1.c_str(), w2.c_str());
        break;
    case 6: fitted = FormatVersionCaption(p, cb, (uint32_t)a, (uint32_t)b); break;
    case 7: fitted = FormatVersionText(p, cb, (uint32_t)a, (uint32_t)b); break;
    case 8: fitted = FormatBytes(p, cb, a); break;
    case 10:
        bWide = true;
        fitted = FormatRenameFailedText(pw, cb, w1.c_str(), w2.c_str());
        break;
    case 11:
        // The program's own words, widened: all of them, or as much as fits.
        bWide = true;
        fitted = WidenAscii(pw, cb, s1.c_str());
        if (cb > 0 && s1.compare(0, Length16(pw), std::string(pw, pw + Length16(pw))) != 0)
            abort();
        break;
    case 9:
        // The names for codes never fail, whatever the code.
        if (!DriveTypeText((unsigned)a) || !KeyboardDescription((int)a) ||
            !ArchitectureText((unsigned)a) || !ProcessorText((unsigned)a) ||
            !LongNamesText((uint32_t)a))
            abort();
        // A cut drops at most the one character it would have split.
        if (Utf16WholeLength(w1.c_str(), w1.size()) > w1.size() ||
            Utf16WholeLength(w1.c_str(), w1.size()) + 1 < w1.size())
            abort();
        if (WholeUtf16(w1.data(), w1.size()) &&
            Utf16WholeLength(w1.c_str(), w1.size()) != w1.size())
            abort();
        return 0;
    }
    if (cb == 0 && fitted)
        abort();
    if (bWide) {
        for (size_t i = cb; i < cb + canary; i++)
            if (wbuf[i] != u'\x5a5a')
                abort(); // wrote past the buffer
        if (cb > 0 && std::char_traits<char16_t>::find(pw, cb, u'\0') == nullptr)
            abort(); // not terminated inside the buffer
        if (cb > 0 && WholeUtf16(w1.data(), w1.size()) && WholeUtf16(w2.data(), w2.size()) &&
            !WholeUtf16(pw, Length16(pw)))
            abort(); // a character split by the cut
        // Anything that fits a language line's buffer fits with room to spare.
        if (which == 0 && cb >= LANGLINE_SIZE && w1.size() < LOCALE_TEXT_SIZE &&
            w2.size() < LOCALE_TEXT_SIZE && !fitted)
            abort();
        return 0;
    }
    for (size_t i = cb; i < cb + canary; i++)
        if (buf[i] != '\x5a')
            abort(); // wrote past the buffer
    if (cb > 0 && memchr(p, 0, cb) == NULL)
        abort(); // not terminated inside the buffer
    return 0;
}
