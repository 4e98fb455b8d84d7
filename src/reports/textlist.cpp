// Text-list reports: win.ini sections and [ports] entries (sorted), the
// language and locale lines and the system lines (in the order written).
#include "corvane.h"
#include "reports/reporttext.h"

#include <new>

#define PROFILE_BLOCK_SIZE 0x7FFF

// Fills the list with one profile query's strings; 600 and 700 differ only
// in the query. If the block cannot be had the list is left empty.
static void ListProfileBlock(bool bSections) {
    if (!hListt)
        return;
    SendMessageA(hListt, LB_RESETCONTENT, 0, 0);
    char *lpBuffer = (char *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, PROFILE_BLOCK_SIZE);
    if (!lpBuffer)
        return;
    if (bSections)
        GetPrivateProfileSectionNamesA(lpBuffer, PROFILE_BLOCK_SIZE, "win.ini");
    else
        GetProfileSectionA("ports", lpBuffer, PROFILE_BLOCK_SIZE);
    try {
        for (const std::string &line : SplitMultiString(lpBuffer, PROFILE_BLOCK_SIZE))
            SendMessageA(hListt, LB_ADDSTRING, 0, (LPARAM)line.c_str());
    } catch (const std::bad_alloc &) {
        SendMessageA(hListt, LB_RESETCONTENT, 0, 0); // no memory: an empty list, not half of one
    }
    HeapFree(GetProcessHeap(), 0, lpBuffer);
}

void ListProfileSections(void) {
    ListProfileBlock(true);
}

void ListPortsSection(void) {
    ListProfileBlock(false);
}

// A query that fails leaves an empty text, never what a buffer held before.
// The texts come in the process's code page (UTF-8), not the locale's own,
// so a Russian name reads as Russian.
static void QueryLocaleText(LCID lcid, LCTYPE type, char *szText) {
    if (!GetLocaleInfoA(lcid, type | LOCALE_USE_CP_ACP, szText, LOCALE_TEXT_SIZE))
        szText[0] = '\0';
}

// Appends the language line and the locale line for one locale.
static void AppendLanguageLines(LCID lcidDefault, LANGID langidDefault, LangLine langLine,
                                LangLine localeLine) {
    char szDefLang[LOCALE_TEXT_SIZE];
    char szDefNativeLang[LOCALE_TEXT_SIZE];
    char szDefCountry[LOCALE_TEXT_SIZE];
    char szDefNativeCountry[LOCALE_TEXT_SIZE];
    char szMessage[LANGLINE_SIZE];

    // The narrow call takes no code-page flag and may convert with the
    // language's own code page; ask wide and convert with the process's.
    WCHAR wszDefLang[LOCALE_TEXT_SIZE / 3];
    if (!VerLanguageNameW(langidDefault, wszDefLang, LOCALE_TEXT_SIZE / 3) ||
        !WideCharToMultiByte(CP_ACP, 0, wszDefLang, -1, szDefLang, LOCALE_TEXT_SIZE, NULL, NULL))
        szDefLang[0] = '\0';
    QueryLocaleText(lcidDefault, LOCALE_SNATIVELANGNAME, szDefNativeLang);
    QueryLocaleText(lcidDefault, LOCALE_SENGCOUNTRY, szDefCountry);
    QueryLocaleText(lcidDefault, LOCALE_SNATIVECTRYNAME, szDefNativeCountry);

    FormatLanguageLine(szMessage, sizeof(szMessage), langLine, langidDefault, szDefLang,
                       szDefNativeLang);
    SendMessageA(hListt, LB_INSERTSTRING, (WPARAM)-1, (LPARAM)szMessage);
    FormatLanguageLine(szMessage, sizeof(szMessage), localeLine, lcidDefault, szDefCountry,
                       szDefNativeCountry);
    SendMessageA(hListt, LB_INSERTSTRING, (WPARAM)-1, (LPARAM)szMessage);
}

void ListDefaultLanguage(void) {
    if (!hListt)
        return;
    SendMessageA(hListt, LB_RESETCONTENT, 0, 0);
    AppendLanguageLines(GetSystemDefaultLCID(), GetSystemDefaultLangID(), LANG_SYSTEM,
                        LOCALE_SYSTEM);
    AppendLanguageLines(GetUserDefaultLCID(), GetUserDefaultLangID(), LANG_USER, LOCALE_USER);
}

void ListSystemInfo(void) {
    SYSTEM_INFO si;
    char szBuffer[128];

    if (!hListt)
        return;
    SendMessageA(hListt, LB_RESETCONTENT, 0, 0);
    ZeroMemory(&si, sizeof(si));
    GetSystemInfo(&si);
    FormatArchitectureLine(szBuffer, sizeof(szBuffer), si.wProcessorArchitecture,
                           (uintptr_t)si.lpMinimumApplicationAddress,
                           (uintptr_t)si.lpMaximumApplicationAddress);
    SendMessageA(hListt, LB_INSERTSTRING, (WPARAM)-1, (LPARAM)szBuffer);
    FormatPageSizeLine(szBuffer, sizeof(szBuffer), si.dwPageSize, si.dwAllocationGranularity);
    SendMessageA(hListt, LB_INSERTSTRING, (WPARAM)-1, (LPARAM)szBuffer);
    FormatProcessorLine(szBuffer, sizeof(szBuffer), si.wProcessorLevel);
    SendMessageA(hListt, LB_INSERTSTRING, (WPARAM)-1, (LPARAM)szBuffer);
}
