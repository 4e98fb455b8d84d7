// Text-list reports: win.ini sections and [ports] entries (sorted), the
// language and locale lines and the system lines (in the order written).
#include "corvane.h"
#include "reports/reporttext.h"
#include "reports/widetext.h"

#include <new>

#define PROFILE_BLOCK_SIZE 0x7FFF // UTF-16 units

// Fills the list with one profile query's strings; 600 and 700 differ only
// in the query. If the block cannot be had the list is left empty.
static void ListProfileBlock(bool bSections) {
    if (!hListt)
        return;
    SendMessageW(hListt, LB_RESETCONTENT, 0, 0);
    char16_t *lpBuffer = (char16_t *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                               PROFILE_BLOCK_SIZE * sizeof(char16_t));
    if (!lpBuffer)
        return;
    if (bSections)
        GetPrivateProfileSectionNamesW(AsWide(lpBuffer), PROFILE_BLOCK_SIZE, L"win.ini");
    else
        GetProfileSectionW(L"ports", AsWide(lpBuffer), PROFILE_BLOCK_SIZE);
    try {
        for (const std::u16string &line : SplitMultiString(lpBuffer, PROFILE_BLOCK_SIZE))
            SendMessageW(hListt, LB_ADDSTRING, 0, (LPARAM)AsWide(line.c_str()));
    } catch (const std::bad_alloc &) {
        SendMessageW(hListt, LB_RESETCONTENT, 0, 0); // no memory: an empty list, not half of one
    }
    HeapFree(GetProcessHeap(), 0, lpBuffer);
}

void ListProfileSections(void) {
    ListProfileBlock(true);
}

void ListPortsSection(void) {
    ListProfileBlock(false);
}

// Lines go to the end in the order written, not in the list's sorted order.
static void AppendLine(const char16_t *lpszLine) {
    SendMessageW(hListt, LB_INSERTSTRING, (WPARAM)-1, (LPARAM)AsWide(lpszLine));
}

static void AppendAsciiLine(const char *lpszLine) {
    char16_t szLine[128];
    WidenAscii(szLine, ARRAYSIZE(szLine), lpszLine);
    AppendLine(szLine);
}

// A query that fails leaves an empty text, never what a buffer held before.
static void QueryLocaleText(LCID lcid, LCTYPE type, char16_t *szText) {
    if (!GetLocaleInfoW(lcid, type, AsWide(szText), LOCALE_TEXT_SIZE))
        szText[0] = u'\0';
}

// Appends the language line and the locale line for one locale. The names
// stay UTF-16 from the query to the list, so a Russian name reads as Russian
// whatever the code page.
static void AppendLanguageLines(LCID lcidDefault, LANGID langidDefault, LangLine langLine,
                                LangLine localeLine) {
    char16_t szDefLang[LOCALE_TEXT_SIZE];
    char16_t szDefNativeLang[LOCALE_TEXT_SIZE];
    char16_t szDefCountry[LOCALE_TEXT_SIZE];
    char16_t szDefNativeCountry[LOCALE_TEXT_SIZE];
    char16_t szMessage[LANGLINE_SIZE];

    if (!VerLanguageNameW(langidDefault, AsWide(szDefLang), LOCALE_TEXT_SIZE))
        szDefLang[0] = u'\0';
    QueryLocaleText(lcidDefault, LOCALE_SNATIVELANGNAME, szDefNativeLang);
    QueryLocaleText(lcidDefault, LOCALE_SENGCOUNTRY, szDefCountry);
    QueryLocaleText(lcidDefault, LOCALE_SNATIVECTRYNAME, szDefNativeCountry);

    FormatLanguageLine(szMessage, LANGLINE_SIZE, langLine, langidDefault, szDefLang,
                       szDefNativeLang);
    AppendLine(szMessage);
    FormatLanguageLine(szMessage, LANGLINE_SIZE, localeLine, lcidDefault, szDefCountry,
                       szDefNativeCountry);
    AppendLine(szMessage);
}

void ListDefaultLanguage(void) {
    if (!hListt)
        return;
    SendMessageW(hListt, LB_RESETCONTENT, 0, 0);
    AppendLanguageLines(GetSystemDefaultLCID(), GetSystemDefaultLangID(), LANG_SYSTEM,
                        LOCALE_SYSTEM);
    AppendLanguageLines(GetUserDefaultLCID(), GetUserDefaultLangID(), LANG_USER, LOCALE_USER);
}

void ListSystemInfo(void) {
    SYSTEM_INFO si;
    char szBuffer[128];

    if (!hListt)
        return;
    SendMessageW(hListt, LB_RESETCONTENT, 0, 0);
    ZeroMemory(&si, sizeof(si));
    GetSystemInfo(&si);
    FormatArchitectureLine(szBuffer, sizeof(szBuffer), si.wProcessorArchitecture,
                           (uintptr_t)si.lpMinimumApplicationAddress,
                           (uintptr_t)si.lpMaximumApplicationAddress);
    AppendAsciiLine(szBuffer);
    FormatPageSizeLine(szBuffer, sizeof(szBuffer), si.dwPageSize, si.dwAllocationGranularity);
    AppendAsciiLine(szBuffer);
    FormatProcessorLine(szBuffer, sizeof(szBuffer), si.wProcessorLevel);
    AppendAsciiLine(szBuffer);
}
