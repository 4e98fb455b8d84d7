// The system reports' text logic, apart from any window: splitting
// environment entries, walking multi-string blocks, reading the "/c" name and
// formatting every line, caption and box text. Standard C++ only, so it is
// unit-tested and fuzzed natively.
#ifndef CORVANE_REPORTTEXT_H
#define CORVANE_REPORTTEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ---- Multi-string blocks (profile and environment results) ----
// In UTF-16, as the W calls give them.

// The strings of a block of cchBlock units, up to the empty one that ends it.
// A string that runs into the end of the block is cut there.
std::vector<std::u16string> SplitMultiString(const char16_t *lpBlock, size_t cchBlock);
// Length in units of a block ending with an empty string, both NULs included.
size_t MultiStringLength(const char16_t *lpBlock);

// ---- Environment entries ----

struct EnvEntry {
    std::u16string name;
    std::u16string value;
};
// Splits name=value at the first "=" from the second character on, so a
// leading "=" stays in the name. With no such "=", the whole entry is the name.
EnvEntry SplitEnvironmentEntry(const std::u16string &entry);

// ---- The "/c" argument ----

// The new computer name after the first "/c" of a whole command line: "/"
// and lower-case "c" both delimit it. Empty when there is none.
std::u16string ComputerNameArgument(const std::u16string &commandLine);

// ---- Names for codes ----

const char *DriveTypeText(unsigned uType);
const char *KeyboardDescription(int nType);
const char *ArchitectureText(unsigned uArchitecture);
const char *ProcessorText(unsigned uLevel);
// "TRUE" when the longest file-name component is exactly 255, else "FALSE".
const char *LongNamesText(uint32_t dwMaxNameLength);

// ---- Text ----

// The first nLen units of lpsz less a lead surrogate they end with, whose
// pair they cut off: text cut there stays whole characters.
size_t Utf16WholeLength(const char16_t *lpsz, size_t nLen);
// A text of the program's own (ASCII) in UTF-16, for the W calls: into buf
// (cch units, never overrun, always terminated); false if it had to be cut.
bool WidenAscii(char16_t *buf, size_t cch, const char *lpsz);

// ---- Lines and box texts ----
// Each writes a NUL-terminated text into buf (cb bytes or cch UTF-16 units,
// never overrun) and returns false if the text had to be cut to fit; a cut
// never splits a character. The texts that carry the system's names are
// UTF-16; those made of the program's own words and numbers are ASCII.

// A locale or language name: 63 UTF-16 units and the NUL.
const size_t LOCALE_TEXT_SIZE = 64;
// Long enough for a language line with two such names (173 units).
const size_t LANGLINE_SIZE = 192;
// Which of the four language lines.
enum LangLine { LANG_SYSTEM, LOCALE_SYSTEM, LANG_USER, LOCALE_USER };
bool FormatLanguageLine(char16_t *buf, size_t cch, LangLine line, uint32_t id,
                        const char16_t *lpszName, const char16_t *lpszNative);

bool FormatArchitectureLine(char *buf, size_t cb, unsigned uArchitecture, uint64_t qwMinAddress,
                            uint64_t qwMaxAddress);
bool FormatPageSizeLine(char *buf, size_t cb, uint32_t dwPageSize, uint32_t dwAllocation);
bool FormatProcessorLine(char *buf, size_t cb, unsigned uLevel);

bool FormatKeyboardText(char *buf, size_t cb, int nType, int nFunctionKeys);
bool FormatDirectoriesText(char16_t *buf, size_t cch, const char16_t *lpszWindows,
                           const char16_t *lpszSystem);
bool FormatVersionCaption(char *buf, size_t cb, uint32_t dwMajor, uint32_t dwMinor);
bool FormatVersionText(char *buf, size_t cb, uint32_t dwBuild, uint32_t dwPlatform);
bool FormatBytes(char *buf, size_t cb, uint64_t qwBytes);
// The box for a rename the system refused: the name asked for and the reason.
bool FormatRenameFailedText(char16_t *buf, size_t cch, const char16_t *lpszName,
                            const char16_t *lpszReason);

#endif
