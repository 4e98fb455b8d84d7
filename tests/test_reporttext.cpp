// The report texts on their own: no window, no platform calls.
#include "reports/reporttext.h"

#include <gtest/gtest.h>

#include <cstring>

static std::vector<std::string> Block(const char *lpBlock, size_t cb) {
    return SplitMultiString(lpBlock, cb);
}

TEST(MultiString, ListsEveryStringUpToTheEmptyOne) {
    const char block[] = "windows\0Desktop\0ports\0\0junk\0";
    EXPECT_EQ(Block(block, sizeof(block)),
              (std::vector<std::string>{"windows", "Desktop", "ports"}));
    EXPECT_EQ(MultiStringSize(block), 23u);
    EXPECT_TRUE(Block("\0\0", 2).empty());
    EXPECT_EQ(MultiStringSize("\0\0"), 1u);
    EXPECT_TRUE(Block(nullptr, 10).empty());
}

TEST(MultiString, StopsAtTheBlockEndWithoutTerminator) {
    const char block[] = {'a', '=', '1', '\0', 'b', '=', '2'};
    EXPECT_EQ(Block(block, sizeof(block)), (std::vector<std::string>{"a=1", "b=2"}));
    // A full profile buffer of one long string.
    std::string full(32767, 'x');
    auto strings = Block(full.data(), full.size());
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
    for (const std::u16string &s : SplitMultiString(block, sizeof(block) / sizeof(block[0])))
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
        const char *cmd, *name;
    } cases[] = {
        {"corvane.exe /cLAB7", "LAB7"},
        {"corvane.exe /cmycomputer", "my"},
        {"corvane.exe /cBOX/quiet", "BOX"},
        {"corvane.exe /c", ""},
        {"corvane.exe /c/c//cc", ""},
        {"corvane.exe", ""},
        {"corvane.exe /CLAB7", ""},
        {"corvane.exe /c NEW NAME", " NEW NAME"},
        {"corvane.exe /cc/cLAB8", "LAB8"},
        // The search covers the program path too.
        {"C:\\tools/corvane.exe /cLAB7", "orvane.exe "},
        {"", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ComputerNameArgument(c.cmd), c.name) << c.cmd;
}

TEST(ComputerNameArgument, ReadsAVeryLongCommandLineWhole) {
    std::string cmd = "corvane.exe " + std::string(30000, 'x') + " /cFAR";
    EXPECT_EQ(ComputerNameArgument(cmd), "FAR");
    std::string longName = "corvane.exe /c" + std::string(30000, 'N');
    EXPECT_EQ(ComputerNameArgument(longName), std::string(30000, 'N'));
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
    char szMsg[560];
    EXPECT_TRUE(FormatDirectoriesText(szMsg, sizeof(szMsg), "C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM"));
    EXPECT_STREQ(szMsg, "Windows Directory: C:\\WINDOWS\nSystem Directory: C:\\WINDOWS\\SYSTEM");
    std::string longDir(260, 'd');
    EXPECT_TRUE(FormatDirectoriesText(szMsg, sizeof(szMsg), longDir.c_str(), longDir.c_str()));
    EXPECT_EQ(strlen(szMsg), 19 + 260 + 19 + 260u);
    FormatDirectoriesText(szMsg, sizeof(szMsg), "", "");
    EXPECT_STREQ(szMsg, "Windows Directory: \nSystem Directory: ");
}

TEST(Lines, LanguageLinesEndWithOneSpace) {
    char szLine[LANGLINE_SIZE];
    FormatLanguageLine(szLine, sizeof(szLine), LANG_SYSTEM, 0x409, "English (United States)",
                       "English");
    EXPECT_STREQ(szLine, "System Language: 409 is English (United States) or English (native) ");
    FormatLanguageLine(szLine, sizeof(szLine), LOCALE_SYSTEM, 0x409, "United States",
                       "United States");
    EXPECT_STREQ(szLine, "System Locale: 409 is United States or United States (native) ");
    FormatLanguageLine(szLine, sizeof(szLine), LANG_USER, 0x407, "Deutsch (Deutschland)",
                       "Deutsch");
    EXPECT_STREQ(szLine, "User Language: 407 is Deutsch (Deutschland) or Deutsch (native) ");
    FormatLanguageLine(szLine, sizeof(szLine), LOCALE_USER, 0x1000407, "Germany", "Deutschland");
    EXPECT_STREQ(szLine, "User Default Locale: 1000407 is Germany or Deutschland (native) ");
    // Failed queries give empty names, not garbage.
    FormatLanguageLine(szLine, sizeof(szLine), LANG_SYSTEM, 0x409, "", nullptr);
    EXPECT_STREQ(szLine, "System Language: 409 is  or  (native) ");
}

TEST(Lines, LongestLanguageLineIsNotCut) {
    char szLine[LANGLINE_SIZE];
    // Two names of 63 characters, each three bytes in UTF-8, that fit their buffers.
    std::string name, native;
    for (int i = 0; i < 63; i++) {
        name += "世";
        native += "界";
    }
    ASSERT_LE(name.size() + 1, LOCALE_TEXT_SIZE);
    EXPECT_TRUE(FormatLanguageLine(szLine, sizeof(szLine), LOCALE_USER, 0xFFFFFFFF, name.c_str(),
                                   native.c_str()));
    EXPECT_EQ(strlen(szLine), 425u);
    EXPECT_EQ(std::string(szLine),
              "User Default Locale: FFFFFFFF is " + name + " or " + native + " (native) ");
}

TEST(Lines, BoundedFormattingCutsInsteadOfOverrunning) {
    char szSmall[16];
    memset(szSmall, '#', sizeof(szSmall));
    EXPECT_FALSE(FormatKeyboardText(szSmall, sizeof(szSmall), 7, 12));
    EXPECT_EQ(strlen(szSmall), 15u);
    EXPECT_FALSE(FormatBytes(nullptr, 0, 1));
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

TEST(Utf8, CutNeverEndsInsideACharacter) {
    // "Ж" is two bytes, "世" three, "😀" four.
    const std::string text = "aЖ世😀";
    const size_t whole[] = {0, 1, 1, 3, 3, 3, 6, 6, 6, 6, 10};
    for (size_t n = 0; n <= text.size(); n++)
        EXPECT_EQ(Utf8WholeLength(text.c_str(), n), whole[n]) << n;
    // Bytes that start no character are not this function's to mend.
    EXPECT_EQ(Utf8WholeLength("\x80\x80", 2), 2u);
    EXPECT_EQ(Utf8WholeLength("a\xff", 2), 2u);
}

TEST(Utf8, LinesCutAtTheBufferEndKeepWholeCharacters) {
    const std::string name = "Привет 世界";
    char szLine[LANGLINE_SIZE];
    std::string full;
    ASSERT_TRUE(FormatLanguageLine(szLine, sizeof(szLine), LANG_USER, 0x419, name.c_str(), ""));
    full = szLine;
    // Every buffer size that cuts the line keeps a prefix of whole characters.
    for (size_t cb = 1; cb <= full.size(); cb++) {
        EXPECT_FALSE(FormatLanguageLine(szLine, cb, LANG_USER, 0x419, name.c_str(), ""));
        std::string cut = szLine;
        EXPECT_EQ(full.compare(0, cut.size(), cut), 0) << cb;
        EXPECT_GE(cut.size() + 4, cb) << cb; // at most one character dropped
        EXPECT_EQ(Utf8WholeLength(cut.c_str(), cut.size()), cut.size()) << cb;
    }
}
