// The report texts on their own: no window, no platform calls.
#include "reports/reporttext.h"

#include <gtest/gtest.h>

#include <cstring>

template <size_t N> static std::vector<std::u16string> Block(const char16_t (&block)[N]) {
    return SplitMultiString(block, N);
}

TEST(MultiString, ListsEveryStringUpToTheEmptyOne) {
    const char16_t block[] = u"windows\0Desktop\0ports\0Жcorvane\0\0junk\0";
    EXPECT_EQ(Block(block),
              (std::vector<std::u16string>{u"windows", u"Desktop", u"ports", u"Жcorvane"}));
    EXPECT_EQ(MultiStringLength(block), 32u);
    const char16_t empty[] = u"\0";
    EXPECT_TRUE(Block(empty).empty());
    EXPECT_EQ(MultiStringLength(empty), 1u);
    EXPECT_TRUE(SplitMultiString(nullptr, 10).empty());
}

TEST(MultiString, StopsAtTheBlockEndWithoutTerminator) {
    const char16_t block[] = {u'a', u'=', u'1', u'\0', u'b', u'=', u'2'};
    EXPECT_EQ(Block(block), (std::vector<std::u16string>{u"a=1", u"b=2"}));
    // A full profile buffer of one long string.
    std::u16string full(32767, u'x');
    auto strings = SplitMultiString(full.data(), full.size());
    ASSERT_EQ(strings.size(), 1u);
    EXPECT_EQ(strings[0].size(), 32767u);
}

TEST(EnvironmentEntry, SplitsAtFirstSeparatorFromSecondCharacter) {
    struct {
        const char16_t *entry, *name, *value;
    } cases[] = {
        {u"A=1", u"A", u"1"},
        {u"PATH=C:\\;D:\\", u"PATH", u"C:\\;D:\\"},
        {u"X=", u"X", u""},
        {u"=C:=C:\\WINNT", u"=C:", u"C:\\WINNT"},
        {u"OPTS=a=b=c", u"OPTS", u"a=b=c"},
        {u"NOEQUALS", u"NOEQUALS", u""},
        {u"=", u"=", u""},
        {u"==", u"=", u""},
        {u"", u"", u""},
        // Names and values in any script, a character beyond 16 bits included.
        {u"GRÜSSE_Мир=Grüße Мир 漢字 😀", u"GRÜSSE_Мир", u"Grüße Мир 漢字 😀"},
        {u"=Ж:=漢=字", u"=Ж:", u"漢=字"},
    };
    for (const auto &c : cases) {
        EnvEntry split = SplitEnvironmentEntry(c.entry);
        EXPECT_EQ(split.name, c.name) << testing::PrintToString(c.entry);
        EXPECT_EQ(split.value, c.value) << testing::PrintToString(c.entry);
    }
}

TEST(EnvironmentEntry, BlockWithEntryWithoutSeparatorWalksOn) {
    const char16_t block[] = u"A=1\0BROKEN\0C=3\0Мир=漢字\0\0";
    std::vector<EnvEntry> entries;
    for (const std::u16string &s : Block(block))
        entries.push_back(SplitEnvironmentEntry(s));
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[1].name, u"BROKEN");
    EXPECT_EQ(entries[1].value, u"");
    EXPECT_EQ(entries[2].name, u"C");
    EXPECT_EQ(entries[2].value, u"3");
    EXPECT_EQ(entries[3].name, u"Мир");
    EXPECT_EQ(entries[3].value, u"漢字");
    EXPECT_EQ(MultiStringLength(block), sizeof(block) / sizeof(block[0]) - 1);
}

TEST(ComputerNameArgument, TakesTheNameAfterSlashC) {
    struct {
        const char16_t *cmd, *name;
    } cases[] = {
        {u"corvane.exe /cLAB7", u"LAB7"},
        {u"corvane.exe /cmycomputer", u"my"},
        {u"corvane.exe /cBOX/quiet", u"BOX"},
        {u"corvane.exe /c", u""},
        {u"corvane.exe /c/c//cc", u""},
        {u"corvane.exe", u""},
        {u"corvane.exe /CLAB7", u""},
        {u"corvane.exe /c NEW NAME", u" NEW NAME"},
        {u"corvane.exe /cc/cLAB8", u"LAB8"},
        // The search covers the program path too.
        {u"C:\\tools/corvane.exe /cLAB7", u"orvane.exe "},
        {u"", u""},
        // A name in any script comes whole; only the Latin "c" delimits, not
        // the Cyrillic "с" (U+0441) that looks like it.
        {u"corvane.exe /cGrüße-Мир-漢字", u"Grüße-Мир-漢字"},
        {u"corvane.exe /cсервер/q", u"сервер"},
        {u"C:\\Программы\\corvane.exe /c😀ПК", u"😀ПК"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ComputerNameArgument(c.cmd), c.name) << testing::PrintToString(c.cmd);
}

TEST(ComputerNameArgument, ReadsAVeryLongCommandLineWhole) {
    std::u16string cmd = u"corvane.exe " + std::u16string(30000, u'x') + u" /cFAR";
    EXPECT_EQ(ComputerNameArgument(cmd), u"FAR");
    std::u16string longName = u"corvane.exe /c" + std::u16string(30000, u'Ж');
    EXPECT_EQ(ComputerNameArgument(longName), std::u16string(30000, u'Ж'));
}

TEST(CodeNames, DrivesProcessorsAndArchitecture) {
    const struct {
        const char *lpszShown, *lpszExpected;
    } cases[] = {
        {DriveTypeText(2), "FLOPPY"},
        {DriveTypeText(3), "HARD DISK"},
        {DriveTypeText(4), "NETWORK"},
        {DriveTypeText(5), "CD-ROM"},
        {DriveTypeText(6), "RAMDISK"},
        {DriveTypeText(1), "DOES NOT EXIST"},
        {DriveTypeText(0), "UNKNOWN DRIVE TYPE"},
        {DriveTypeText(7), "UNKNOWN DRIVE TYPE"},
        {LongNamesText(255), "TRUE"},
        {LongNamesText(254), "FALSE"},
        {LongNamesText(256), "FALSE"},
        {ProcessorText(3), "386"},
        {ProcessorText(4), "486"},
        {ProcessorText(5), "PENTIUM"},
        {ProcessorText(6), "PENTIUM"},
        {ArchitectureText(0), "Intel"},
        {ArchitectureText(9), "Other"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(c.lpszShown, c.lpszExpected);
}

TEST(BoxTexts, KeyboardHasDescriptionAndFunctionKeyLine) {
    char szMsg[128];
    EXPECT_TRUE(FormatKeyboardText(szMsg, sizeof(szMsg), 7, 12));
    EXPECT_STREQ(szMsg, "Japanese keyboard.\nNumber of Function Keys: 12");
    FormatKeyboardText(szMsg, sizeof(szMsg), 4, 12);
    EXPECT_STREQ(szMsg, "IBM enhanced (101- or 102-key) keyboard.\nNumber of Function Keys: 12");
    FormatKeyboardText(szMsg, sizeof(szMsg), 6, 10);
    EXPECT_STREQ(szMsg, "Nokia 9140 ans similar keyboard.\nNumber of Function Keys: 10");
    FormatKeyboardText(szMsg, sizeof(szMsg), 2, 10);
    EXPECT_STREQ(szMsg, "Olivetti \"ICO\" (102-key) keyboard.\nNumber of Function Keys: 10");
    FormatKeyboardText(szMsg, sizeof(szMsg), 0, 0);
    EXPECT_STREQ(szMsg, "Unknown keyboard type.\nNumber of Function Keys: 0");
    FormatKeyboardText(szMsg, sizeof(szMsg), 81, -1);
    EXPECT_STREQ(szMsg, "Unknown keyboard type.\nNumber of Function Keys: -1");
}

TEST(BoxTexts, VersionCaptionAndText) {
    char szTitle[128], szText[128];
    FormatVersionCaption(szTitle, sizeof(szTitle), 4, 0);
    FormatVersionText(szText, sizeof(szText), 950, 1);
    EXPECT_STREQ(szTitle, "Windows version is 4.0");
    EXPECT_STREQ(szText, "Build: 950, Platform ID: 1");
    // Only the low 16 bits of the build field are the build number.
    FormatVersionText(szText, sizeof(szText), 0x040003B6, 1);
    EXPECT_STREQ(szText, "Build: 950, Platform ID: 1");
    FormatVersionCaption(szTitle, sizeof(szTitle), 0, 0);
    FormatVersionText(szText, sizeof(szText), 0, 0);
    EXPECT_STREQ(szTitle, "Windows version is 0.0");
    EXPECT_STREQ(szText, "Build: 0, Platform ID: 0");
}

TEST(BoxTexts, DirectoriesFitEvenAtFullPathLength) {
    char16_t szMsg[560];
    EXPECT_TRUE(FormatDirectoriesText(szMsg, 560, u"C:\\WINDOWS", u"C:\\WINDOWS\\SYSTEM"));
    EXPECT_EQ(std::u16string(szMsg),
              u"Windows Directory: C:\\WINDOWS\nSystem Directory: C:\\WINDOWS\\SYSTEM");
    std::u16string longDir(260, u'd');
    EXPECT_TRUE(FormatDirectoriesText(szMsg, 560, longDir.c_str(), longDir.c_str()));
    EXPECT_EQ(std::u16string(szMsg).size(), 19 + 260 + 19 + 260u);
    FormatDirectoriesText(szMsg, 560, u"", u"");
    EXPECT_EQ(std::u16string(szMsg), u"Windows Directory: \nSystem Directory: ");
    EXPECT_TRUE(FormatDirectoriesText(szMsg, 560, u"D:\\Окна", u"D:\\Окна\\系统"));
    EXPECT_EQ(std::u16string(szMsg),
              u"Windows Directory: D:\\Окна\nSystem Directory: D:\\Окна\\系统");
}

TEST(BoxTexts, RefusedRenameNamesTheNameAndTheReason) {
    char16_t szMsg[1024];
    EXPECT_TRUE(FormatRenameFailedText(szMsg, 1024, u"LAB7", u"Access is denied."));
    EXPECT_EQ(std::u16string(szMsg),
              u"The computer name could not be set to \"LAB7\".\nAccess is denied.");
    EXPECT_TRUE(FormatRenameFailedText(szMsg, 1024, u"МИР-漢字", u"Доступ запрещён."));
    EXPECT_EQ(std::u16string(szMsg),
              u"The computer name could not be set to \"МИР-漢字\".\nДоступ запрещён.");
    // A name from a command line of any length is cut to the box.
    std::u16string longName(30000, u'Ж');
    EXPECT_FALSE(FormatRenameFailedText(szMsg, 1024, longName.c_str(), u"Access is denied."));
    EXPECT_EQ(std::u16string(szMsg).size(), 1023u);
}

TEST(Lines, LanguageLinesEndWithOneSpace) {
    char16_t szLine[LANGLINE_SIZE];
    EXPECT_TRUE(FormatLanguageLine(szLine, LANGLINE_SIZE, LANG_SYSTEM, 0x409,
                                   u"English (United States)", u"English"));
    EXPECT_EQ(std::u16string(szLine),
              u"System Language: 409 is English (United States) or English (native) ");
    FormatLanguageLine(szLine, LANGLINE_SIZE, LOCALE_SYSTEM, 0x409, u"United States",
                       u"United States");
    EXPECT_EQ(std::u16string(szLine),
              u"System Locale: 409 is United States or United States (native) ");
    FormatLanguageLine(szLine, LANGLINE_SIZE, LANG_USER, 0x407, u"Deutsch (Deutschland)",
                       u"Deutsch");
    EXPECT_EQ(std::u16string(szLine),
              u"User Language: 407 is Deutsch (Deutschland) or Deutsch (native) ");
    FormatLanguageLine(szLine, LANGLINE_SIZE, LOCALE_USER, 0x1000407, u"Germany", u"Deutschland");
    EXPECT_EQ(std::u16string(szLine),
              u"User Default Locale: 1000407 is Germany or Deutschland (native) ");
    FormatLanguageLine(szLine, LANGLINE_SIZE, LOCALE_USER, 0x419, u"Russia", u"Россия");
    EXPECT_EQ(std::u16string(szLine), u"User Default Locale: 419 is Russia or Россия (native) ");
    // Failed queries give empty names, not garbage.
    FormatLanguageLine(szLine, LANGLINE_SIZE, LANG_SYSTEM, 0x409, u"", nullptr);
    EXPECT_EQ(std::u16string(szLine), u"System Language: 409 is  or  (native) ");
}

TEST(Lines, LongestLanguageLineIsNotCut) {
    char16_t szLine[LANGLINE_SIZE];
    // Two names of 63 units, as long as their buffers take.
    std::u16string name(63, u'世'), native(62, u'界');
    native += u'ж';
    ASSERT_EQ(name.size() + 1, LOCALE_TEXT_SIZE);
    EXPECT_TRUE(FormatLanguageLine(szLine, LANGLINE_SIZE, LOCALE_USER, 0xFFFFFFFF, name.c_str(),
                                   native.c_str()));
    EXPECT_EQ(std::u16string(szLine).size(), 173u);
    EXPECT_EQ(std::u16string(szLine),
              u"User Default Locale: FFFFFFFF is " + name + u" or " + native + u" (native) ");
}

TEST(Lines, BoundedFormattingCutsInsteadOfOverrunning) {
    char szSmall[16];
    memset(szSmall, '#', sizeof(szSmall));
    EXPECT_FALSE(FormatKeyboardText(szSmall, sizeof(szSmall), 7, 12));
    EXPECT_EQ(strlen(szSmall), 15u);
    EXPECT_FALSE(FormatBytes(nullptr, 0, 1));
    // The program's own texts widened for the W calls, within their buffer too.
    char16_t szWide[8];
    EXPECT_TRUE(WidenAscii(szWide, 8, "PENTIUM"));
    EXPECT_EQ(std::u16string(szWide), u"PENTIUM");
    EXPECT_FALSE(WidenAscii(szWide, 8, "HARD DISK"));
    EXPECT_EQ(std::u16string(szWide), u"HARD DI");
    EXPECT_FALSE(WidenAscii(nullptr, 0, "x"));
    EXPECT_FALSE(FormatLanguageLine(szWide, 8, LANG_USER, 0x419, u"русский", u"русский"));
    EXPECT_EQ(std::u16string(szWide), u"User La");
}

TEST(Lines, SystemInformationLines) {
    char szLine[128];
    FormatArchitectureLine(szLine, sizeof(szLine), 0, 0x10000, 0x7FFEFFFF);
    EXPECT_STREQ(szLine, "Architecture: Intel, Addr Range 10000-7FFEFFFF");
    FormatArchitectureLine(szLine, sizeof(szLine), 9, 0x10000, 0x7FFFFFEFFFFULL);
    EXPECT_STREQ(szLine, "Architecture: Other, Addr Range 10000-7FFFFFEFFFF");
    FormatPageSizeLine(szLine, sizeof(szLine), 0x1000, 0x10000);
    EXPECT_STREQ(szLine, "Page Size: 1000, Allocation: 10000");
    FormatProcessorLine(szLine, sizeof(szLine), 6);
    EXPECT_STREQ(szLine, "Type of Processor: PENTIUM");
    FormatProcessorLine(szLine, sizeof(szLine), 3);
    EXPECT_STREQ(szLine, "Type of Processor: 386");
}

TEST(Lines, ByteCountsBeyondFourGigabytes) {
    char szBuffer[32];
    FormatBytes(szBuffer, sizeof(szBuffer), 5368709120ULL);
    EXPECT_STREQ(szBuffer, "5368709120");
    FormatBytes(szBuffer, sizeof(szBuffer), UINT64_MAX);
    EXPECT_STREQ(szBuffer, "18446744073709551615");
    FormatBytes(szBuffer, sizeof(szBuffer), 0);
    EXPECT_STREQ(szBuffer, "0");
}

TEST(Utf16, CutNeverEndsInsideACharacter) {
    // "Ж" and "世" are one unit each, "😀" two (a surrogate pair).
    const std::u16string text = u"aЖ世😀";
    const size_t whole[] = {0, 1, 2, 3, 3, 5};
    for (size_t n = 0; n <= text.size(); n++)
        EXPECT_EQ(Utf16WholeLength(text.c_str(), n), whole[n]) << n;
    // A lone trail surrogate is not this function's to mend.
    EXPECT_EQ(Utf16WholeLength(u"\xDE00", 1), 1u);
    EXPECT_EQ(Utf16WholeLength(u"a\xD83D", 2), 1u);
}

TEST(Utf16, LinesCutAtTheBufferEndKeepWholeCharacters) {
    // "😀" is two units, a surrogate pair.
    const std::u16string name = u"Привет 😀世界😀";
    char16_t szLine[LANGLINE_SIZE];
    ASSERT_TRUE(FormatLanguageLine(szLine, LANGLINE_SIZE, LANG_USER, 0x419, name.c_str(), u""));
    std::u16string full = szLine;
    // Every buffer size that cuts the line keeps a prefix of whole characters.
    for (size_t cch = 1; cch <= full.size(); cch++) {
        EXPECT_FALSE(FormatLanguageLine(szLine, cch, LANG_USER, 0x419, name.c_str(), u""));
        std::u16string cut = szLine;
        EXPECT_EQ(full.compare(0, cut.size(), cut), 0) << cch;
        EXPECT_GE(cut.size() + 2, cch) << cch; // at most one character dropped
        EXPECT_EQ(Utf16WholeLength(cut.c_str(), cut.size()), cut.size()) << cch;
    }
}
