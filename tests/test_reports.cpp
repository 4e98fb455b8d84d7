// The system reports with the real main window: what each command puts in
// its view or its box, checked against the platform's own answers.
#include "harness.h"
#include "reports/reporttext.h"
#include "reports/widetext.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

// Every test runs against a fresh main window and undoes its import patches.
class Reports : public ::testing::Test {
  protected:
    void SetUp() override {
        // UTF-8 as the manifest asks, or 1252 in the twin built without it,
        // where only UTF-16 carries a name outside the code page.
        EXPECT_EQ(GetACP(), CodePageAsked());
        ASSERT_NE(StartApp(), (HWND)NULL);
        ClearBoxes();
        SetBoxAnswer(IDOK);
    }
    void TearDown() override {
        patches.Clear();
        StopApp();
    }
    // Swaps an import for the rest of the test; returns the original.
    void *Patch(const char *lpszDll, const char *lpszFunc, void *pFake) {
        void *pOriginal = patches.Add(lpszDll, lpszFunc, pFake);
        EXPECT_NE(pOriginal, nullptr) << lpszFunc;
        return pOriginal;
    }
    void Unpatch() {
        patches.Clear();
    }
    BoxSeen OnlyBox() {
        std::vector<BoxSeen> boxes = BoxesSeen();
        EXPECT_EQ(boxes.size(), 1u);
        return boxes.empty() ? BoxSeen() : boxes[0];
    }

  private:
    ImportPatches patches;
};

// ---- Drive table ----

TEST_F(Reports, DiskFreeListsEveryDriveOnceInLetterOrder) {
    SendCommand(IDM_DISKFREE);
    Rows rows = ListViewRows(hListd, 7);

    DWORD dwDrives = GetLogicalDrives();
    std::vector<std::string> letters;
    for (int n = 0; n < 26; n++)
        if (dwDrives & (1UL << n))
            letters.push_back(std::string(1, (char)('a' + n)));
    ASSERT_EQ(rows.size(), letters.size());
    for (size_t i = 0; i < rows.size(); i++) {
        SCOPED_TRACE(letters[i]);
        EXPECT_EQ(rows[i][0], letters[i]);
        std::wstring root = std::wstring(1, (wchar_t)letters[i][0]) + L":\\";
        EXPECT_EQ(rows[i][4], DriveTypeText(GetDriveTypeW(root.c_str())));
        WCHAR szLabel[128] = L"", szFs[128] = L"";
        DWORD dwSerial, dwMax = 0, dwFlags;
        if (GetVolumeInformationW(root.c_str(), szLabel, 127, &dwSerial, &dwMax, &dwFlags, szFs,
                                  127)) {
            EXPECT_EQ(rows[i][1], Utf8(szLabel));
            EXPECT_EQ(rows[i][2], Utf8(szFs));
            EXPECT_EQ(rows[i][3], LongNamesText(dwMax));
        } else {
            EXPECT_EQ(rows[i][1] + rows[i][2] + rows[i][3], "");
        }
        ULARGE_INTEGER avail, total, free;
        if (GetDiskFreeSpaceExW(root.c_str(), &avail, &total, &free)) {
            EXPECT_EQ(rows[i][5], std::to_string(total.QuadPart));
            // Other programs write to the same disk meanwhile: allow 64 MB of drift.
            unsigned long long qwShown = std::stoull(rows[i][6]);
            unsigned long long qwDiff =
                qwShown > avail.QuadPart ? qwShown - avail.QuadPart : avail.QuadPart - qwShown;
            EXPECT_LT(qwDiff, 64ULL << 20) << rows[i][6] << " vs " << avail.QuadPart;
        } else {
            EXPECT_EQ(rows[i][5] + rows[i][6], "");
        }
    }

    // The drives the test prefix sets up.
    auto row = [&](const char *lpszLetter) {
        for (auto &r : rows)
            if (r[0] == lpszLetter)
                return r;
        return std::vector<std::string>(7);
    };
    EXPECT_EQ(row("c")[4], "HARD DISK");
    EXPECT_EQ(row("d")[1], "CORVDATA");
    EXPECT_EQ(row("u")[1], "Grüße Мир 漢字");
    EXPECT_EQ(row("e")[4], "CD-ROM");
    EXPECT_EQ(row("n")[4], "NETWORK");
    EXPECT_EQ(row("e")[3], "FALSE"); // Wine's CDFS names are not 255 long
}

TEST_F(Reports, DiskFreeButtonAndRepeatGiveTheSameTable) {
    SendCommand(IDM_DISKFREE);
    Rows first = ListViewRows(hListd, 5); // free space may drift; the rest may not
    SendCommand(IDC_DISKFREE);
    EXPECT_EQ(ListViewRows(hListd, 5), first);
    SendCommand(IDM_DISKFREE);
    EXPECT_EQ(ListViewRows(hListd, 5), first);
    EXPECT_FALSE(first.empty());
}

static volatile LONG nQueriesMayPrompt, nHungCalls, nHungReturns, nAnswered;
static HANDLE hReleaseN = CreateEventA(NULL, TRUE, FALSE, NULL);
static decltype(&GetVolumeInformationW) pRealVolume;
static decltype(&GetDiskFreeSpaceExW) pRealSpace;

// e: behaves like a CD-ROM drive with no disc in it, and n: like a share whose
// server is gone: its first volume query waits until the test lets it go.
static BOOL WINAPI FakeVolume(LPCWSTR lpszRoot, LPWSTR lpszLabel, DWORD cchLabel, LPDWORD pdwSerial,
                              LPDWORD pdwMax, LPDWORD pdwFlags, LPWSTR lpszFs, DWORD cchFs) {
    if (!(GetThreadErrorMode() & SEM_FAILCRITICALERRORS))
        InterlockedIncrement(&nQueriesMayPrompt);
    if (lstrcmpiW(lpszRoot, L"e:\\") == 0) {
        SetLastError(ERROR_NOT_READY);
        return FALSE;
    }
    if (lstrcmpiW(lpszRoot, L"n:\\") == 0 && InterlockedIncrement(&nHungCalls) == 1) {
        DWORD_PTR dwResult; // the window, busy with Disk Free, still answers this thread
        BOOL bAnswered =
            SendMessageTimeoutA(AppWindow(), WM_NULL, 0, 0, SMTO_NORMAL, 1000, &dwResult);
        InterlockedExchange(&nAnswered, bAnswered ? 2 : 1);
        WaitForSingleObject(hReleaseN, 12000);
        InterlockedIncrement(&nHungReturns);
    }
    return pRealVolume(lpszRoot, lpszLabel, cchLabel, pdwSerial, pdwMax, pdwFlags, lpszFs, cchFs);
}

static BOOL WINAPI FakeSpace(LPCWSTR lpszRoot, PULARGE_INTEGER pAvailable, PULARGE_INTEGER pTotal,
                             PULARGE_INTEGER pFree) {
    if (lstrcmpiW(lpszRoot, L"e:\\") == 0) {
        SetLastError(ERROR_NOT_READY);
        return FALSE;
    }
    if (lstrcmpiW(lpszRoot, L"d:\\") == 0) {
        // A 20 TB volume, past 2^32 clusters of 4 KB; this user may use less than is free.
        pTotal->QuadPart = 20000000000000ULL;
        pFree->QuadPart = 7000000000123ULL;
        pAvailable->QuadPart = 6000000000456ULL;
        return TRUE;
    }
    return pRealSpace(lpszRoot, pAvailable, pTotal, pFree);
}

TEST_F(Reports, DriveWithoutMediumOrAnswerKeepsItsRowWithEmptyCells) {
    ResetEvent(hReleaseN);
    nHungCalls = nHungReturns = nAnswered = 0;
    UINT uBefore = SetErrorMode(0);
    pRealVolume =
        (decltype(pRealVolume))Patch("kernel32.dll", "GetVolumeInformationW", (void *)FakeVolume);
    pRealSpace =
        (decltype(pRealSpace))Patch("kernel32.dll", "GetDiskFreeSpaceExW", (void *)FakeSpace);
    nQueriesMayPrompt = 0;
    SendCommand(IDM_DISKFREE);
    EXPECT_EQ(nHungReturns, 0); // back long before n: answers
    UINT uAfter = GetErrorMode();
    SetErrorMode(uBefore);

    Rows rows = ListViewRows(hListd, 7);
    bool bSeenD = false, bSeenE = false;
    size_t iN = rows.size();
    for (auto &r : rows) {
        if (r[0] == "n")
            iN = &r - &rows[0];
        if (r[0] == "e") {
            bSeenE = true;
            EXPECT_EQ(r, (std::vector<std::string>{"e", "", "", "", "CD-ROM", "", ""}));
        }
        if (r[0] == "d") {
            bSeenD = true;
            EXPECT_EQ(r[5], "20000000000000");
            EXPECT_EQ(r[6], "6000000000456");
            EXPECT_EQ(r[1], "CORVDATA");
        }
    }
    EXPECT_TRUE(bSeenD && bSeenE);
    ASSERT_LT(iN, rows.size());
    EXPECT_EQ(rows[iN], (std::vector<std::string>{"n", "", "", "", "NETWORK", "", ""}));
    // No "insert a disk" prompt on any thread that queries; the process's mode is left alone.
    EXPECT_EQ(nQueriesMayPrompt, 0);
    EXPECT_EQ(uAfter, 0u);
    EXPECT_TRUE(WaitFor([] { return nAnswered != 0; }));
    EXPECT_EQ(nAnswered, 2);

    // n: is not asked again while busy; once it answers, Disk Free fills its row again.
    SendCommand(IDC_DISKFREE);
    EXPECT_EQ(ListViewRows(hListd, 7)[iN], rows[iN]);
    EXPECT_EQ(nHungCalls, 1);
    SetEvent(hReleaseN);
    EXPECT_TRUE(WaitFor([iN] {
        SendCommand(IDM_DISKFREE);
        return ListViewRows(hListd, 7)[iN][2] != "";
    }));
}

// ---- Environment table ----

// A multi-string block, read wide so that the expected text passes through no code page.
static std::vector<std::string> BlockStrings(const WCHAR *lpBlock) {
    std::vector<std::string> strings;
    for (const WCHAR *p = lpBlock; *p; p += lstrlenW(p) + 1)
        strings.push_back(Utf8(p));
    return strings;
}

TEST_F(Reports, EnvironmentListsEveryVariableLastEntryFirst) {
    SetEnvironmentVariableA("CORVANE_ONE", "1");
    SetEnvironmentVariableA("CORVANE_EQ", "a=b=c");
    SetEnvironmentVariableA("CORVANE_EMPTY", "");
    // Set wide, outside any ANSI code page: it must show as it was set.
    SetEnvironmentVariableW(L"CORVANE_ПРИВЕТ", L"Привет 世界");
    SetEnvironmentVariableW(L"CORVANE_GRÜSSE", L"Grüße Мир 漢字");
    WCHAR *lpEnv = GetEnvironmentStringsW();
    std::vector<std::string> entries = BlockStrings(lpEnv);
    FreeEnvironmentStringsW(lpEnv);

    SendCommand(IDM_ENVIRONMENT);
    Rows rows = ListViewRows(hList3, 2);
    SetEnvironmentVariableA("CORVANE_ONE", NULL);
    SetEnvironmentVariableA("CORVANE_EQ", NULL);
    SetEnvironmentVariableA("CORVANE_EMPTY", NULL);
    SetEnvironmentVariableW(L"CORVANE_ПРИВЕТ", NULL);
    SetEnvironmentVariableW(L"CORVANE_GRÜSSE", NULL);

    ASSERT_EQ(rows.size(), entries.size());
    for (size_t i = 0; i < rows.size(); i++) {
        const std::string &entry = entries[entries.size() - 1 - i];
        EXPECT_EQ(rows[i][0] + "=" + rows[i][1], entry);
        EXPECT_EQ(rows[i][0].find('=', 1), std::string::npos) << entry;
    }
    auto value = [&](const char *lpszName) {
        for (auto &r : rows)
            if (r[0] == lpszName)
                return r[1];
        return std::string("<missing>");
    };
    EXPECT_EQ(value("CORVANE_ONE"), "1");
    EXPECT_EQ(value("CORVANE_EQ"), "a=b=c");
    EXPECT_EQ(value("CORVANE_EMPTY"), "");
    EXPECT_EQ(value("CORVANE_ПРИВЕТ"), "Привет 世界");
    EXPECT_EQ(value("CORVANE_GRÜSSE"), "Grüße Мир 漢字");

    SendCommand(IDC_GENERALPC);
    SendCommand(IDC_GENERALPC);
    Rows again = ListViewRows(hList3, 2);
    EXPECT_EQ(again.size(), rows.size() - 5);
}

static const WCHAR szFakeEnv[] = L"A=1\0B=2\0C=3\0X=\0=C:=C:\\WINNT\0NOSEP\0OPT=k=v\0Мир=漢=字\0";
static WCHAR szEnvBlock[sizeof(szFakeEnv) / sizeof(WCHAR) + 1];
static WCHAR *lpFreedEnv;
static bool bNoEnvironment;

static LPWCH WINAPI FakeGetEnvironmentStrings(void) {
    if (bNoEnvironment)
        return NULL;
    memcpy(szEnvBlock, szFakeEnv, sizeof(szFakeEnv)); // ends with two NULs
    return szEnvBlock;
}

static BOOL WINAPI FakeFreeEnvironmentStrings(LPWCH lpBlock) {
    lpFreedEnv = lpBlock;
    return TRUE;
}

TEST_F(Reports, EnvironmentSplitsEachEntryAndLeavesTheBlockAlone) {
    Patch("kernel32.dll", "GetEnvironmentStringsW", (void *)FakeGetEnvironmentStrings);
    Patch("kernel32.dll", "FreeEnvironmentStringsW", (void *)FakeFreeEnvironmentStrings);
    bNoEnvironment = false;
    lpFreedEnv = NULL;
    SendCommand(IDM_ENVIRONMENT);
    Rows rows = ListViewRows(hList3, 2);
    EXPECT_EQ(rows, (Rows{{"Мир", "漢=字"},
                          {"OPT", "k=v"},
                          {"NOSEP", ""},
                          {"=C:", "C:\\WINNT"},
                          {"X", ""},
                          {"C", "3"},
                          {"B", "2"},
                          {"A", "1"}}));
    // The block handed out is given back untouched.
    EXPECT_EQ(lpFreedEnv, szEnvBlock);
    EXPECT_EQ(memcmp(szEnvBlock, szFakeEnv, sizeof(szFakeEnv)), 0);

    bNoEnvironment = true;
    SendCommand(IDC_GENERALPC);
    EXPECT_EQ(SendMessageA(hList3, LVM_GETITEMCOUNT, 0, 0), 0);
}

// ---- Text list ----

TEST_F(Reports, PrivateProfileListsWinIniSectionsSorted) {
    WritePrivateProfileStringA("zcorvane", "k", "1", "win.ini");
    WritePrivateProfileStringA("Acorvane", "k", "1", "win.ini");
    WritePrivateProfileStringA("mcorvane", "k", "1", "win.ini");
    WritePrivateProfileStringW(L"Жcorvane", L"k", L"1", L"win.ini");
    static WCHAR szNames[32767];
    ZeroMemory(szNames, sizeof(szNames));
    GetPrivateProfileSectionNamesW(szNames, 32767, L"win.ini");
    std::vector<std::string> names = BlockStrings(szNames);

    SendCommand(IDM_PRIVATEPROFILE);
    std::vector<std::string> lines = ListBoxLines(hListt);
    SendCommand(IDM_PRIVATEPROFILE);
    std::vector<std::string> again = ListBoxLines(hListt);
    for (const char *lpsz : {"zcorvane", "Acorvane", "mcorvane"})
        WritePrivateProfileStringA(lpsz, NULL, NULL, "win.ini");
    WritePrivateProfileStringW(L"Жcorvane", NULL, NULL, L"win.ini");

    EXPECT_EQ(again, lines);
    std::vector<std::string> sortedNames = names, sortedLines = lines;
    std::sort(sortedNames.begin(), sortedNames.end());
    std::sort(sortedLines.begin(), sortedLines.end());
    EXPECT_EQ(sortedLines, sortedNames);
    auto at = [&](const char *lpsz) {
        return std::find(lines.begin(), lines.end(), lpsz) - lines.begin();
    };
    EXPECT_LT(at("Acorvane"), at("mcorvane"));
    EXPECT_LT(at("mcorvane"), at("zcorvane"));
    EXPECT_LT(at("zcorvane"), at("Жcorvane")); // Cyrillic sorts after Latin
    EXPECT_LT(at("Жcorvane"), (long)lines.size());
}

static decltype(&HeapAlloc) pRealHeapAlloc;
static LPVOID WINAPI FakeHeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T cb) {
    return cb == 0x7FFF * sizeof(WCHAR) ? NULL : pRealHeapAlloc(hHeap, dwFlags, cb);
}

TEST_F(Reports, PortsSectionListsEntriesWholeAndSorted) {
    WriteProfileStringA("ports", "LPT8:", "");
    WriteProfileStringA("ports", "COM9:", "9600,n,8,1");
    WriteProfileStringA("ports", "AUX7:", "x=y");
    WriteProfileStringW(L"ports", L"COM7:", L"Grüße Мир 漢字");
    SendCommand(IDM_PROFILESECTION);
    std::vector<std::string> lines = ListBoxLines(hListt);

    // Without its profile block the command leaves the list empty.
    pRealHeapAlloc =
        (decltype(pRealHeapAlloc))Patch("kernel32.dll", "HeapAlloc", (void *)FakeHeapAlloc);
    SendCommand(IDM_PROFILESECTION);
    Unpatch();
    LRESULT nAfterFailure = SendMessageA(hListt, LB_GETCOUNT, 0, 0);
    for (const char *lpsz : {"LPT8:", "COM9:", "AUX7:", "COM7:"})
        WriteProfileStringA("ports", lpsz, NULL);

    EXPECT_EQ(lines, (std::vector<std::string>{"AUX7:=x=y", "COM7:=Grüße Мир 漢字",
                                               "COM9:=9600,n,8,1", "LPT8:="}));
    EXPECT_EQ(nAfterFailure, 0);
}

// A language line as the natively tested formatter builds it.
static std::string LanguageLine(LangLine line, DWORD id, const std::wstring &name,
                                const std::wstring &native) {
    char16_t szLine[LANGLINE_SIZE];
    FormatLanguageLine(szLine, LANGLINE_SIZE, line, id, AsUtf16(name.c_str()),
                       AsUtf16(native.c_str()));
    return Utf8(AsWide(szLine));
}

// The platform's names, asked for wide.
static std::wstring LocaleText(LCID lcid, LCTYPE type) {
    WCHAR wszText[LOCALE_TEXT_SIZE];
    return GetLocaleInfoW(lcid, type, wszText, LOCALE_TEXT_SIZE) ? wszText : L"";
}

static std::wstring LanguageName(LANGID lang) {
    WCHAR wszText[LOCALE_TEXT_SIZE];
    return VerLanguageNameW(lang, wszText, LOCALE_TEXT_SIZE) ? wszText : L"";
}

TEST_F(Reports, DefaultLanguageShowsFourLinesInOrder) {
    std::vector<std::string> expected;
    for (int nUser = 0; nUser < 2; nUser++) {
        LCID lcid = nUser ? GetUserDefaultLCID() : GetSystemDefaultLCID();
        LANGID lang = nUser ? GetUserDefaultLangID() : GetSystemDefaultLangID();
        ASSERT_NE(LanguageName(lang), L"");
        ASSERT_NE(LocaleText(lcid, LOCALE_SENGCOUNTRY), L"");
        expected.push_back(LanguageLine(nUser ? LANG_USER : LANG_SYSTEM, lang, LanguageName(lang),
                                        LocaleText(lcid, LOCALE_SNATIVELANGNAME)));
        expected.push_back(LanguageLine(nUser ? LOCALE_USER : LOCALE_SYSTEM, lcid,
                                        LocaleText(lcid, LOCALE_SENGCOUNTRY),
                                        LocaleText(lcid, LOCALE_SNATIVECTRYNAME)));
    }
    SendCommand(IDM_DEFLANGUAGE);
    EXPECT_EQ(ListBoxLines(hListt), expected);
    SendCommand(IDM_DEFLANGUAGE);
    EXPECT_EQ(ListBoxLines(hListt), expected);
}

static LCID WINAPI RussianLcid(void) {
    return 0x419;
}

static LANGID WINAPI RussianLangId(void) {
    return 0x419;
}

TEST_F(Reports, DefaultLanguageShowsRussianNamesReadably) {
    Patch("kernel32.dll", "GetUserDefaultLCID", (void *)RussianLcid);
    Patch("kernel32.dll", "GetUserDefaultLangID", (void *)RussianLangId);
    SendCommand(IDM_DEFLANGUAGE);
    std::vector<std::string> lines = ListBoxLines(hListt);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], LanguageLine(LANG_USER, 0x419, LanguageName(0x419), L"русский"));
    EXPECT_EQ(lines[3], LanguageLine(LOCALE_USER, 0x419, L"Russia", L"Россия"));
}

static int WINAPI FailingGetLocaleInfo(LCID, LCTYPE, LPWSTR lpszData, int cch) {
    for (int i = 0; lpszData && i < cch; i++)
        lpszData[i] = L'?'; // garbage a failed query may leave behind
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
}

TEST_F(Reports, DefaultLanguageShowsEmptyTextsForFailedLocaleQueries) {
    LCID lcid = GetSystemDefaultLCID();
    Patch("kernel32.dll", "GetLocaleInfoW", (void *)FailingGetLocaleInfo);
    SendCommand(IDM_DEFLANGUAGE);
    std::vector<std::string> lines = ListBoxLines(hListt);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], LanguageLine(LOCALE_SYSTEM, lcid, L"", L""));
    EXPECT_EQ(lines[0].substr(lines[0].size() - 14), " or  (native) ");
}

TEST_F(Reports, SystemInformationShowsThreeLinesInOrder) {
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    char szLine[3][128];
    FormatArchitectureLine(szLine[0], 128, si.wProcessorArchitecture,
                           (uintptr_t)si.lpMinimumApplicationAddress,
                           (uintptr_t)si.lpMaximumApplicationAddress);
    FormatPageSizeLine(szLine[1], 128, si.dwPageSize, si.dwAllocationGranularity);
    FormatProcessorLine(szLine[2], 128, si.wProcessorLevel);
    SendCommand(IDM_SYSINFO);
    EXPECT_EQ(ListBoxLines(hListt), (std::vector<std::string>{szLine[0], szLine[1], szLine[2]}));
}

static WORD wFakeLevel;
static void WINAPI FakeGetSystemInfo(LPSYSTEM_INFO psi) {
    ZeroMemory(psi, sizeof(*psi));
    psi->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_INTEL;
    psi->dwPageSize = 0x1000;
    psi->dwAllocationGranularity = 0x10000;
    psi->lpMinimumApplicationAddress = (LPVOID)0x10000;
    psi->lpMaximumApplicationAddress = (LPVOID)0x7FFEFFFF;
    psi->wProcessorLevel = wFakeLevel;
}

TEST_F(Reports, SystemInformationNamesIntelAndProcessorLevels) {
    Patch("kernel32.dll", "GetSystemInfo", (void *)FakeGetSystemInfo);
    const struct {
        WORD wLevel;
        const char *lpszType;
    } cases[] = {{3, "386"}, {4, "486"}, {5, "PENTIUM"}, {6, "PENTIUM"}};
    for (const auto &c : cases) {
        wFakeLevel = c.wLevel;
        SendCommand(IDM_SYSINFO);
        EXPECT_EQ(ListBoxLines(hListt),
                  (std::vector<std::string>{"Architecture: Intel, Addr Range 10000-7FFEFFFF",
                                            "Page Size: 1000, Allocation: 10000",
                                            std::string("Type of Processor: ") + c.lpszType}));
    }
}

TEST_F(Reports, TextListCommandsDoNothingWithoutTheList) {
    HWND hSaved = hListt;
    SendMessageA(hSaved, LB_ADDSTRING, 0, (LPARAM) "kept");
    hListt = NULL;
    for (WORD wId : {IDM_PRIVATEPROFILE, IDM_PROFILESECTION, IDM_DEFLANGUAGE, IDM_SYSINFO})
        SendCommand(wId);
    hListt = hSaved;
    EXPECT_EQ(ListBoxLines(hListt), (std::vector<std::string>{"kept"}));
}

// ---- Message boxes ----

TEST_F(Reports, KeyboardBoxDescribesTheKeyboard) {
    int nType = GetKeyboardType(0), nKeys = GetKeyboardType(2);
    ASSERT_EQ(nType, 4); // what Wine reports
    SendCommand(IDM_KEYBOARD);
    BoxSeen box = OnlyBox();
    EXPECT_EQ(box.text, "IBM enhanced (101- or 102-key) keyboard.\nNumber of Function Keys: " +
                            std::to_string(nKeys));
    EXPECT_EQ(box.caption, "Keyboard Type");
    EXPECT_TRUE(box.bOk);
    EXPECT_FALSE(box.bCancel || box.bYes || box.bNo);
    EXPECT_NE(box.hIcon, (HICON)NULL);
    EXPECT_EQ(box.hOwner, AppWindow());
}

static int nFakeKeyboard;
static int WINAPI FakeGetKeyboardType(int nTypeFlag) {
    return nTypeFlag == 0 ? nFakeKeyboard : nTypeFlag == 2 ? 12 : 0;
}

TEST_F(Reports, KeyboardBoxForJapaneseAndUnknownKeyboards) {
    Patch("user32.dll", "GetKeyboardType", (void *)FakeGetKeyboardType);
    nFakeKeyboard = 7;
    SendCommand(IDM_KEYBOARD);
    nFakeKeyboard = 0;
    SendCommand(IDM_KEYBOARD);
    std::vector<BoxSeen> boxes = BoxesSeen();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "Japanese keyboard.\nNumber of Function Keys: 12");
    EXPECT_EQ(boxes[1].text, "Unknown keyboard type.\nNumber of Function Keys: 12");
}

static const wchar_t *lpszFakeCommandLine;
static LPWSTR WINAPI FakeGetCommandLine(void) {
    return (LPWSTR)lpszFakeCommandLine;
}

static std::vector<std::string> namesSet;
static BOOL WINAPI RecordSetComputerName(COMPUTER_NAME_FORMAT format, LPCWSTR lpszName) {
    // Both names, DNS host and NetBIOS, in one call.
    namesSet.push_back(format == ComputerNamePhysicalDnsHostname ? Utf8(lpszName)
                                                                 : "<other format>");
    return TRUE;
}

#define NEXT_NAME_KEY "System\\CurrentControlSet\\Control\\ComputerName\\ComputerName"

static bool ReadNextName(std::string *pName) {
    char szName[256] = "";
    DWORD cb = sizeof(szName) - 1;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, NEXT_NAME_KEY, "ComputerName", RRF_RT_REG_SZ, NULL, szName,
                     &cb) != ERROR_SUCCESS)
        return false;
    *pName = szName;
    return true;
}

static void WriteNextName(const std::string &name) {
    RegSetKeyValueA(HKEY_LOCAL_MACHINE, NEXT_NAME_KEY, "ComputerName", REG_SZ, name.c_str(),
                    (DWORD)name.size() + 1);
}

// Wine answers GetComputerName with this value.
static LONG SetActiveName(const WCHAR *lpszName) {
    return RegSetKeyValueW(
        HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName",
        L"ComputerName", REG_SZ, lpszName, (DWORD)(lstrlenW(lpszName) + 1) * sizeof(WCHAR));
}

TEST_F(Reports, ComputerNameBoxShowsTheNameAndRenamesFromSlashC) {
    // A name no 8-bit code page holds, for this test only.
    WCHAR szName[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD dwSize = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(GetComputerNameW(szName, &dwSize));
    std::wstring realName = szName;
    ASSERT_EQ(SetActiveName(L"GRÜSSE-МИР-漢字"), ERROR_SUCCESS);
    dwSize = MAX_COMPUTERNAME_LENGTH + 1;
    BOOL bGotName = GetComputerNameW(szName, &dwSize);
    std::string original;
    bool bHadName = ReadNextName(&original);

    lpszFakeCommandLine = L"C:\\corvane.exe /cLAB7";
    Patch("kernel32.dll", "GetCommandLineW", (void *)FakeGetCommandLine);
    SendCommand(IDM_COMPUTERNAME);
    std::string next;
    bool bRead = ReadNextName(&next);
    if (bHadName)
        WriteNextName(original);
    SetActiveName(realName.c_str());

    ASSERT_TRUE(bGotName);
    EXPECT_EQ(Utf8(szName), "GRÜSSE-МИР-漢字");
    BoxSeen box = OnlyBox();
    EXPECT_EQ(box.text, Utf8(szName));
    EXPECT_EQ(box.caption, "Computer Name");
    EXPECT_TRUE(box.bOk);
    EXPECT_EQ(box.hIcon, (HICON)NULL);
    EXPECT_EQ(box.hOwner, AppWindow());
    ASSERT_TRUE(bRead);
    EXPECT_EQ(next, "LAB7");
}

TEST_F(Reports, ComputerNameRenameFollowsTheDelimiterRule) {
    Patch("kernel32.dll", "GetCommandLineW", (void *)FakeGetCommandLine);
    Patch("kernel32.dll", "SetComputerNameExW", (void *)RecordSetComputerName);
    std::wstring longLine = L"C:\\corvane.exe " + std::wstring(30000, L'x') + L" /cFAR";
    const struct {
        const wchar_t *lpszCommandLine;
        std::vector<std::string> names;
    } cases[] = {
        {L"C:\\corvane.exe /cmycomputer", {"my"}},
        {L"C:\\corvane.exe /cBOX/quiet", {"BOX"}},
        {L"C:\\corvane.exe /c", {}},
        {L"C:\\corvane.exe", {}},
        {L"C:\\corvane.exe /CLAB7", {}},
        {longLine.c_str(), {"FAR"}},
        {L"C:\\corvane.exe /cGrüße-Мир-漢字", {"Grüße-Мир-漢字"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Utf8(c.lpszCommandLine).substr(0, 40));
        namesSet.clear();
        ClearBoxes();
        lpszFakeCommandLine = c.lpszCommandLine;
        SendCommand(IDM_COMPUTERNAME);
        EXPECT_EQ(BoxesSeen().size(), 1u); // the name; an accepted rename adds no box
        EXPECT_EQ(namesSet, c.names);
    }
    // Every run renames again, not only the first.
    lpszFakeCommandLine = L"C:\\corvane.exe /cLAB7";
    namesSet.clear();
    SendCommand(IDM_COMPUTERNAME);
    SendCommand(IDM_COMPUTERNAME);
    EXPECT_EQ(namesSet, (std::vector<std::string>{"LAB7", "LAB7"}));
}

static decltype(&FormatMessageW) pRealFormatMessage;
static DWORD WINAPI RussianFormatMessage(DWORD dwFlags, LPCVOID lpSource, DWORD dwId, DWORD,
                                         LPWSTR lpszBuffer, DWORD cch, va_list *pArgs) {
    return pRealFormatMessage(dwFlags, lpSource, dwId, MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT),
                              lpszBuffer, cch, pArgs);
}

static BOOL WINAPI RefusingSetComputerName(COMPUTER_NAME_FORMAT, LPCWSTR) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST_F(Reports, RefusedRenameIsReportedWithTheNameAndTheReason) {
    Patch("kernel32.dll", "GetCommandLineW", (void *)FakeGetCommandLine);
    Patch("kernel32.dll", "SetComputerNameExW", (void *)RefusingSetComputerName);
    lpszFakeCommandLine = L"C:\\corvane.exe /cLAB7";
    SendCommand(IDM_COMPUTERNAME);
    std::vector<BoxSeen> boxes = BoxesSeen();
    ASSERT_EQ(boxes.size(), 2u); // the name first, then the refusal
    EXPECT_EQ(boxes[0].caption, "Computer Name");
    char szReason[512] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                   ERROR_ACCESS_DENIED, 0, szReason, sizeof(szReason), NULL);
    std::string reason = szReason;
    reason = reason.substr(0, reason.find_last_not_of("\r\n") + 1);
    ASSERT_FALSE(reason.empty());
    EXPECT_NE(boxes[1].text.find("\"LAB7\""), std::string::npos) << boxes[1].text;
    ASSERT_GT(boxes[1].text.size(), reason.size());
    EXPECT_EQ(boxes[1].text.substr(boxes[1].text.size() - reason.size()), reason); // no blank line
    EXPECT_EQ(boxes[1].hOwner, AppWindow());
    EXPECT_EQ(boxes[1].hIcon, LoadIconA(NULL, (LPCSTR)IDI_HAND));

    // A name and a reason (in Russian) that no 8-bit code page holds.
    pRealFormatMessage = (decltype(pRealFormatMessage))Patch("kernel32.dll", "FormatMessageW",
                                                             (void *)RussianFormatMessage);
    WCHAR szRussian[512] = L"";
    RussianFormatMessage(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                         ERROR_ACCESS_DENIED, 0, szRussian, 512, NULL);
    BOOL bLost = FALSE;
    WideCharToMultiByte(1252, 0, szRussian, -1, NULL, 0, NULL, &bLost);
    EXPECT_TRUE(bLost) << Utf8(szRussian);
    reason = Utf8(szRussian);
    reason = reason.substr(0, reason.find_last_not_of("\r\n") + 1);
    lpszFakeCommandLine = L"C:\\corvane.exe /cМИР-漢字";
    ClearBoxes();
    SendCommand(IDM_COMPUTERNAME);
    boxes = BoxesSeen();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text, "The computer name could not be set to \"МИР-漢字\".\n" + reason);
}

// A directory no 8-bit code page holds, for both calls.
static UINT WINAPI FakeDirectory(LPWSTR lpszBuffer, UINT cch) {
    lstrcpynW(lpszBuffer, L"C:\\Grüße Мир 漢字", cch);
    return lstrlenW(L"C:\\Grüße Мир 漢字");
}

TEST_F(Reports, DirectoriesBoxShowsWindowsAndSystemDirectories) {
    char szWin[MAX_PATH + 1], szSys[MAX_PATH + 1];
    GetWindowsDirectoryA(szWin, sizeof(szWin));
    GetSystemDirectoryA(szSys, sizeof(szSys));
    SendCommand(IDM_WINDIR);
    BoxSeen box = OnlyBox();
    EXPECT_EQ(box.text,
              std::string("Windows Directory: ") + szWin + "\nSystem Directory: " + szSys);
    EXPECT_EQ(box.caption, "Directory Information");
    EXPECT_NE(box.hIcon, (HICON)NULL);
    EXPECT_EQ(box.hOwner, AppWindow());

    Patch("kernel32.dll", "GetWindowsDirectoryW", (void *)FakeDirectory);
    Patch("kernel32.dll", "GetSystemDirectoryW", (void *)FakeDirectory);
    ClearBoxes();
    SendCommand(IDM_WINDIR);
    EXPECT_EQ(OnlyBox().text,
              "Windows Directory: C:\\Grüße Мир 漢字\nSystem Directory: C:\\Grüße Мир 漢字");
}

static UINT WINAPI FailingDirectory(LPWSTR lpszBuffer, UINT cch) {
    for (UINT i = 0; lpszBuffer && i < cch; i++)
        lpszBuffer[i] = L'?';
    return 0;
}

static BOOL WINAPI FailingGetVersion(LPOSVERSIONINFOA p) {
    memset((char *)p + sizeof(DWORD), 0x5A, sizeof(*p) - sizeof(DWORD));
    return FALSE;
}

TEST_F(Reports, BoxesShowEmptyTextsAndZerosWhenQueriesFail) {
    Patch("kernel32.dll", "GetWindowsDirectoryW", (void *)FailingDirectory);
    Patch("kernel32.dll", "GetSystemDirectoryW", (void *)FailingDirectory);
    SendCommand(IDM_WINDIR);
    Unpatch();
    Patch("kernel32.dll", "GetVersionExA", (void *)FailingGetVersion);
    SendCommand(IDM_WINVERSION);
    std::vector<BoxSeen> boxes = BoxesSeen();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "Windows Directory: \nSystem Directory: ");
    EXPECT_EQ(boxes[1].caption, "Windows version is 0.0");
    EXPECT_EQ(boxes[1].text, "Build: 0, Platform ID: 0");
}

TEST_F(Reports, VersionBoxPutsVersionInCaptionAndBuildInText) {
    OSVERSIONINFOA osvi;
    ZeroMemory(&osvi, sizeof(osvi));
    osvi.dwOSVersionInfoSize = sizeof(osvi);
    ASSERT_TRUE(GetVersionExA(&osvi));
    SendCommand(IDM_WINVERSION);
    BoxSeen box = OnlyBox();
    EXPECT_EQ(box.caption, "Windows version is " + std::to_string(osvi.dwMajorVersion) + "." +
                               std::to_string(osvi.dwMinorVersion));
    EXPECT_EQ(box.text, "Build: " + std::to_string(osvi.dwBuildNumber & 0xFFFF) +
                            ", Platform ID: " + std::to_string(osvi.dwPlatformId));
    EXPECT_TRUE(box.bOk);
    EXPECT_EQ(box.hIcon, (HICON)NULL);
    EXPECT_EQ(box.hOwner, AppWindow());
}

static BOOL WINAPI FakeWindows95(LPOSVERSIONINFOA p) {
    p->dwMajorVersion = 4;
    p->dwMinorVersion = 0;
    p->dwBuildNumber = 0x040003B6; // 4.0.950 in the high word, as Windows 95 reported it
    p->dwPlatformId = 1;
    return TRUE;
}

TEST_F(Reports, VersionBoxForWindows95) {
    Patch("kernel32.dll", "GetVersionExA", (void *)FakeWindows95);
    SendCommand(IDM_WINVERSION);
    BoxSeen box = OnlyBox();
    EXPECT_EQ(box.caption, "Windows version is 4.0");
    EXPECT_EQ(box.text, "Build: 950, Platform ID: 1");
}
