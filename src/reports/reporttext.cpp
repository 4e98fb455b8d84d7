#include "reporttext.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

std::vector<std::u16string> SplitMultiString(const char16_t *lpBlock, size_t cchBlock) {
    std::vector<std::u16string> strings;
    size_t nPos = 0;
    while (lpBlock && nPos < cchBlock && lpBlock[nPos]) {
        const char16_t *lpEnd =
            std::char_traits<char16_t>::find(lpBlock + nPos, cchBlock - nPos, u'\0');
        size_t nLen = lpEnd ? (size_t)(lpEnd - (lpBlock + nPos)) : cchBlock - nPos;
        strings.emplace_back(lpBlock + nPos, nLen);
        nPos += nLen + 1;
    }
    return strings;
}

size_t MultiStringLength(const char16_t *lpBlock) {
    size_t nPos = 0;
    while (lpBlock[nPos])
        nPos += std::char_traits<char16_t>::length(lpBlock + nPos) + 1;
    return nPos + 1;
}

EnvEntry SplitEnvironmentEntry(const std::u16string &entry) {
    size_t nSep = entry.empty() ? std::u16string::npos : entry.find(u'=', 1);
    if (nSep == std::u16string::npos)
        return {entry, std::u16string()};
    return {entry.substr(0, nSep), entry.substr(nSep + 1)};
}

std::u16string ComputerNameArgument(const std::u16string &commandLine) {
    size_t nStart = commandLine.find(u"/c");
    if (nStart == std::u16string::npos)
        return std::u16string();
    nStart = commandLine.find_first_not_of(u"/c", nStart);
    if (nStart == std::u16string::npos)
        return std::u16string();
    size_t nEnd = commandLine.find_first_of(u"/c", nStart);
    return commandLine.substr(nStart, nEnd == std::u16string::npos ? nEnd : nEnd - nStart);
}

const char *DriveTypeText(unsigned uType) {
    switch (uType) {
    case 1: return "DOES NOT EXIST";
    case 2: return "FLOPPY";
    case 3: return "HARD DISK";
    case 4: return "NETWORK";
    case 5: return "CD-ROM";
    case 6: return "RAMDISK";
    default: return "UNKNOWN DRIVE TYPE";
    }
}

const char *KeyboardDescription(int nType) {
    switch (nType) {
    case 1: return "IBM PC/XT or compatible (83-key) keyboard.";
    case 2: return "Olivetti \"ICO\" (102-key) keyboard.";
    case 3: return "IBM PC/AT (84-key) or similar keyboard.";
    case 4: return "IBM enhanced (101- or 102-key) keyboard.";
    case 5: return "Nokia 1050 and similar keyboard.";
    case 6: return "Nokia 9140 ans similar keyboard.";
    case 7: return "Japanese keyboard.";
    default: return "Unknown keyboard type.";
    }
}

const char *ArchitectureText(unsigned uArchitecture) {
    return uArchitecture == 0 ? "Intel" : "Other";
}

const char *ProcessorText(unsigned uLevel) {
    switch (uLevel) {
    case 3: return "386";
    case 4: return "486";
    default: return "PENTIUM";
    }
}

const char *LongNamesText(uint32_t dwMaxNameLength) {
    return dwMaxNameLength == 255 ? "TRUE" : "FALSE";
}

size_t Utf16WholeLength(const char16_t *lpsz, size_t nLen) {
    return nLen > 0 && lpsz[nLen - 1] >= 0xD800 && lpsz[nLen - 1] <= 0xDBFF ? nLen - 1 : nLen;
}

namespace {

// A UTF-16 text written into a bounded buffer piece by piece. What does not
// fit is dropped, one unit always stays for the NUL, and End() takes back a
// lead surrogate the cut left without its pair.
struct Text16 {
    char16_t *lpBuf;
    size_t cch;
    size_t nLen;
    bool bCut;
};

Text16 StartText(char16_t *buf, size_t cch) {
    return {buf, cch, 0, !buf || cch == 0};
}

void PutUnit(Text16 &text, char16_t c) {
    if (!text.bCut && text.nLen + 1 < text.cch)
        text.lpBuf[text.nLen++] = c;
    else
        text.bCut = true;
}

void Put(Text16 &text, const char16_t *lpsz) {
    for (; lpsz && *lpsz && !text.bCut; lpsz++)
        PutUnit(text, *lpsz);
}

void PutAscii(Text16 &text, const char *lpsz) {
    for (; lpsz && *lpsz && !text.bCut; lpsz++)
        PutUnit(text, (char16_t)(unsigned char)*lpsz);
}

// Ends the text; true if all of it fitted.
bool EndText(Text16 &text) {
    if (!text.lpBuf || text.cch == 0)
        return false;
    if (text.bCut)
        text.nLen = Utf16WholeLength(text.lpBuf, text.nLen);
    text.lpBuf[text.nLen] = u'\0';
    return !text.bCut;
}

} // namespace

bool WidenAscii(char16_t *buf, size_t cch, const char *lpsz) {
    Text16 text = StartText(buf, cch);
    PutAscii(text, lpsz);
    return EndText(text);
}

// snprintf, for the texts made of the program's own words and numbers
// (ASCII), that reports whether the whole text fitted.
static bool Format(char *buf, size_t cb, const char *lpszFormat, ...) {
    if (!buf || cb == 0)
        return false;
    va_list args;
    va_start(args, lpszFormat);
    int nLen = vsnprintf(buf, cb, lpszFormat, args);
    va_end(args);
    if (nLen < 0) {
        buf[0] = '\0';
        return false;
    }
    return (size_t)nLen < cb;
}

bool FormatLanguageLine(char16_t *buf, size_t cch, LangLine line, uint32_t id,
                        const char16_t *lpszName, const char16_t *lpszNative) {
    static const char *lpszLabels[] = {"System Language", "System Locale", "User Language",
                                       "User Default Locale"};
    char szId[16];
    snprintf(szId, sizeof(szId), "%" PRIX32, id);
    // "<label>: %X is %s or %s (native) "
    Text16 text = StartText(buf, cch);
    PutAscii(text, (unsigned)line < 4 ? lpszLabels[line] : "");
    PutAscii(text, ": ");
    PutAscii(text, szId);
    PutAscii(text, " is ");
    Put(text, lpszName);
    PutAscii(text, " or ");
    Put(text, lpszNative);
    PutAscii(text, " (native) ");
    return EndText(text);
}

bool FormatArchitectureLine(char *buf, size_t cb, unsigned uArchitecture, uint64_t qwMinAddress,
                            uint64_t qwMaxAddress) {
    return Format(buf, cb, "Architecture: %s, Addr Range %" PRIX64 "-%" PRIX64,
                  ArchitectureText(uArchitecture), qwMinAddress, qwMaxAddress);
}

bool FormatPageSizeLine(char *buf, size_t cb, uint32_t dwPageSize, uint32_t dwAllocation) {
    return Format(buf, cb, "Page Size: %" PRIX32 ", Allocation: %" PRIX32, dwPageSize,
                  dwAllocation);
}

bool FormatProcessorLine(char *buf, size_t cb, unsigned uLevel) {
    return Format(buf, cb, "Type of Processor: %s", ProcessorText(uLevel));
}

bool FormatKeyboardText(char *buf, size_t cb, int nType, int nFunctionKeys) {
    return Format(buf, cb, "%s\nNumber of Function Keys: %d", KeyboardDescription(nType),
                  nFunctionKeys);
}

bool FormatDirectoriesText(char16_t *buf, size_t cch, const char16_t *lpszWindows,
                           const char16_t *lpszSystem) {
    // "Windows Directory: %s\nSystem Directory: %s"
    Text16 text = StartText(buf, cch);
    PutAscii(text, "Windows Directory: ");
    Put(text, lpszWindows);
    PutAscii(text, "\nSystem Directory: ");
    Put(text, lpszSystem);
    return EndText(text);
}

bool FormatVersionCaption(char *buf, size_t cb, uint32_t dwMajor, uint32_t dwMinor) {
    return Format(buf, cb, "Windows version is %" PRIu32 ".%" PRIu32, dwMajor, dwMinor);
}

bool FormatVersionText(char *buf, size_t cb, uint32_t dwBuild, uint32_t dwPlatform) {
    return Format(buf, cb, "Build: %" PRIu32 ", Platform ID: %" PRIu32, dwBuild & 0xFFFF,
                  dwPlatform);
}

bool FormatBytes(char *buf, size_t cb, uint64_t qwBytes) {
    return Format(buf, cb, "%" PRIu64, qwBytes);
}

bool FormatRenameFailedText(char16_t *buf, size_t cch, const char16_t *lpszName,
                            const char16_t *lpszReason) {
    // "The computer name could not be set to \"%s\".\n%s"
    Text16 text = StartText(buf, cch);
    PutAscii(text, "The computer name could not be set to \"");
    Put(text, lpszName);
    PutAscii(text, "\".\n");
    Put(text, lpszReason);
    return EndText(text);
}
