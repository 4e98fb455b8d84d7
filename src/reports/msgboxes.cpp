// Message-box reports: keyboard, computer name (with the "/c" rename),
// directories and version, each in a box owned by the main window. Every box
// goes up with MessageBoxW: the names in it stay as the system holds them.
#include "corvane.h"
#include "reports/reporttext.h"
#include "reports/widetext.h"

#include <new>

// A box of the program's own words and numbers.
static void ShowAsciiBox(const char *lpszText, const char *lpszCaption, UINT uType) {
    char16_t szText[128];
    char16_t szCaption[128];
    WidenAscii(szText, ARRAYSIZE(szText), lpszText);
    WidenAscii(szCaption, ARRAYSIZE(szCaption), lpszCaption);
    MessageBoxW(hWndMain, AsWide(szText), AsWide(szCaption), uType);
}

void ShowKeyboardType(void) {
    char szMsg[128];
    int nType = GetKeyboardType(0);
    int nNumFKeys = GetKeyboardType(2);
    FormatKeyboardText(szMsg, sizeof(szMsg), nType, nNumFKeys);
    ShowAsciiBox(szMsg, "Keyboard Type", MB_ICONINFORMATION | MB_OK);
}

// Windows 10 and later refuse a rename to a standard user: say so, with the
// system's reason, rather than let the rename seem done.
static void ShowRenameFailed(const char16_t *lpszName, DWORD dwError) {
    char16_t szReason[512];
    char16_t szMsg[1024];
    DWORD dwLen = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                 dwError, 0, AsWide(szReason), ARRAYSIZE(szReason), NULL);
    // The system's text ends with a line break the box would show as a blank line.
    while (dwLen > 0 && (szReason[dwLen - 1] == u'\r' || szReason[dwLen - 1] == u'\n'))
        dwLen--;
    szReason[dwLen] = u'\0';
    FormatRenameFailedText(szMsg, ARRAYSIZE(szMsg), lpszName, szReason);
    MessageBoxW(hWndMain, AsWide(szMsg), L"Computer Name", MB_ICONERROR | MB_OK);
}

void ShowComputerName(void) {
    WCHAR szBuffer[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD dwNameSize = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(szBuffer, &dwNameSize))
        szBuffer[0] = L'\0';
    MessageBoxW(hWndMain, szBuffer, L"Computer Name", MB_OK);

    // The new name is read from the whole command line, however long, as
    // typed: the 8-bit command line would have lost what the code page lacks.
    LPCWSTR lpszCommandLine = GetCommandLineW();
    try {
        std::u16string name =
            ComputerNameArgument(lpszCommandLine ? AsUtf16(lpszCommandLine) : u"");
        // The DNS host name, which Windows shows and the network uses, and with
        // it the NetBIOS name; setting only the latter leaves the two apart.
        if (!name.empty() &&
            !SetComputerNameExW(ComputerNamePhysicalDnsHostname, AsWide(name.c_str())))
            ShowRenameFailed(name.c_str(), GetLastError());
    } catch (const std::bad_alloc &) {
        // No memory to read the name: no rename.
    }
}

void ShowDirectories(void) {
    char16_t szWindows[MAX_PATH + 1];
    char16_t szSystem[MAX_PATH + 1];
    char16_t szMsg[2 * (MAX_PATH + 1) + 40];
    UINT uNameSize = MAX_PATH + 1;
    // A result of 0 is a failure, one of uNameSize or more a directory too long to fit.
    UINT uLen = GetWindowsDirectoryW(AsWide(szWindows), uNameSize);
    if (uLen == 0 || uLen >= uNameSize)
        szWindows[0] = u'\0';
    uLen = GetSystemDirectoryW(AsWide(szSystem), uNameSize);
    if (uLen == 0 || uLen >= uNameSize)
        szSystem[0] = u'\0';
    FormatDirectoriesText(szMsg, ARRAYSIZE(szMsg), szWindows, szSystem);
    MessageBoxW(hWndMain, AsWide(szMsg), L"Directory Information", MB_ICONINFORMATION | MB_OK);
}

void ShowVersion(void) {
    // Only numbers are shown: the 8-bit record serves.
    OSVERSIONINFOA osvi;
    char szTitle[128];
    char szBuffer[128];
    ZeroMemory(&osvi, sizeof(osvi));
    osvi.dwOSVersionInfoSize = sizeof(osvi);
    if (!GetVersionExA(&osvi))
        ZeroMemory(&osvi, sizeof(osvi));
    FormatVersionCaption(szTitle, sizeof(szTitle), osvi.dwMajorVersion, osvi.dwMinorVersion);
    FormatVersionText(szBuffer, sizeof(szBuffer), osvi.dwBuildNumber, osvi.dwPlatformId);
    ShowAsciiBox(szBuffer, szTitle, MB_OK);
}
