// Message-box reports: keyboard, computer name (with the "/c" rename),
// directories and version, each in a box owned by the main window.
#include "corvane.h"
#include "reports/reporttext.h"

#include <new>

void ShowKeyboardType(void) {
    char szMsg[128];
    int nType = GetKeyboardType(0);
    int nNumFKeys = GetKeyboardType(2);
    FormatKeyboardText(szMsg, sizeof(szMsg), nType, nNumFKeys);
    MessageBoxA(hWndMain, szMsg, "Keyboard Type", MB_ICONINFORMATION | MB_OK);
}

// Windows 10 and later refuse a rename to a standard user: say so, with the
// system's reason, rather than let the rename seem done.
static void ShowRenameFailed(const char *lpszName, DWORD dwError) {
    char szReason[512];
    char szMsg[1024];
    DWORD dwLen = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                 dwError, 0, szReason, sizeof(szReason), NULL);
    // The system's text ends with a line break the box would show as a blank line.
    while (dwLen > 0 && (szReason[dwLen - 1] == '\r' || szReason[dwLen - 1] == '\n'))
        dwLen--;
    szReason[dwLen] = '\0';
    FormatRenameFailedText(szMsg, sizeof(szMsg), lpszName, szReason);
    MessageBoxA(hWndMain, szMsg, "Computer Name", MB_ICONERROR | MB_OK);
}

void ShowComputerName(void) {
    // MAX_COMPUTERNAME_LENGTH counts characters; a UTF-8 one takes up to three bytes.
    char szBuffer[MAX_COMPUTERNAME_LENGTH * 3 + 1];
    DWORD dwNameSize = sizeof(szBuffer);
    if (!GetComputerNameA(szBuffer, &dwNameSize))
        szBuffer[0] = '\0';
    MessageBoxA(hWndMain, szBuffer, "Computer Name", MB_OK);

    // The new name is read from the whole command line, however long.
    const char *lpszCommandLine = GetCommandLineA();
    try {
        std::string name = ComputerNameArgument(lpszCommandLine ? lpszCommandLine : "");
        // The DNS host name, which Windows shows and the network uses, and with
        // it the NetBIOS name; setting only the latter leaves the two apart.
        if (!name.empty() && !SetComputerNameExA(ComputerNamePhysicalDnsHostname, name.c_str()))
            ShowRenameFailed(name.c_str(), GetLastError());
    } catch (const std::bad_alloc &) {
        // No memory to read the name: no rename.
    }
}

void ShowDirectories(void) {
    // MAX_PATH counts characters; a UTF-8 one takes up to three bytes.
    char szWindows[MAX_PATH * 3 + 1];
    char szSystem[MAX_PATH * 3 + 1];
    char szMsg[sizeof(szWindows) + sizeof(szSystem) + 40];
    DWORD dwNameSize = sizeof(szWindows);
    // A result of 0 is a failure, one of dwNameSize or more a directory too long to fit.
    UINT uLen = GetWindowsDirectoryA(szWindows, dwNameSize);
    if (uLen == 0 || uLen >= dwNameSize)
        szWindows[0] = '\0';
    uLen = GetSystemDirectoryA(szSystem, dwNameSize);
    if (uLen == 0 || uLen >= dwNameSize)
        szSystem[0] = '\0';
    FormatDirectoriesText(szMsg, sizeof(szMsg), szWindows, szSystem);
    MessageBoxA(hWndMain, szMsg, "Directory Information", MB_ICONINFORMATION | MB_OK);
}

void ShowVersion(void) {
    OSVERSIONINFOA osvi;
    char szTitle[128];
    char szBuffer[128];
    ZeroMemory(&osvi, sizeof(osvi));
    osvi.dwOSVersionInfoSize = sizeof(osvi);
    if (!GetVersionExA(&osvi))
        ZeroMemory(&osvi, sizeof(osvi));
    FormatVersionCaption(szTitle, sizeof(szTitle), osvi.dwMajorVersion, osvi.dwMinorVersion);
    FormatVersionText(szBuffer, sizeof(szBuffer), osvi.dwBuildNumber, osvi.dwPlatformId);
    MessageBoxA(hWndMain, szBuffer, szTitle, MB_OK);
}
