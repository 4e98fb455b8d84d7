// Message-box reports: keyboard, computer name (with the "/c" rename),
// directories and version, each in a box owned by the main window.
#include "corvane.h"
#include "reports/reporttext.h"

static BOOL CALLBACK FindMainWindow(HWND hWnd, LPARAM lParam) {
    char szClass[64];
    if (GetClassNameA(hWnd, szClass, sizeof(szClass)) && lstrcmpA(szClass, lpszAppName) == 0) {
        *(HWND *)lParam = hWnd;
        return FALSE;
    }
    return TRUE;
}

// The handlers run on the user-interface thread, which owns the main window.
static HWND MainWindow(void) {
    HWND hMain = NULL;
    EnumThreadWindows(GetCurrentThreadId(), FindMainWindow, (LPARAM)&hMain);
    return hMain;
}

void ShowKeyboardType(void) {
    char szMsg[128];
    int nType = GetKeyboardType(0);
    int nNumFKeys = GetKeyboardType(2);
    FormatKeyboardText(szMsg, sizeof(szMsg), nType, nNumFKeys);
    MessageBoxA(MainWindow(), szMsg, "Keyboard Type", MB_ICONINFORMATION | MB_OK);
}

void ShowComputerName(void) {
    char szBuffer[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD dwNameSize = sizeof(szBuffer);
    if (!GetComputerNameA(szBuffer, &dwNameSize))
        szBuffer[0] = '\0';
    MessageBoxA(MainWindow(), szBuffer, "Computer Name", MB_OK);

    // The new name is read from the whole command line, however long.
    const char *lpszCommandLine = GetCommandLineA();
    std::string name = ComputerNameArgument(lpszCommandLine ? lpszCommandLine : "");
    if (!name.empty())
        SetComputerNameA(name.c_str());
}

void ShowDirectories(void) {
    char szWindows[MAX_PATH + 1];
    char szSystem[MAX_PATH + 1];
    char szMsg[560];
    DWORD dwNameSize = sizeof(szWindows);
    // A result of 0 is a failure, one of dwNameSize or more a directory too long to fit.
    UINT uLen = GetWindowsDirectoryA(szWindows, dwNameSize);
    if (uLen == 0 || uLen >= dwNameSize)
        szWindows[0] = '\0';
    uLen = GetSystemDirectoryA(szSystem, dwNameSize);
    if (uLen == 0 || uLen >= dwNameSize)
        szSystem[0] = '\0';
    FormatDirectoriesText(szMsg, sizeof(szMsg), szWindows, szSystem);
    MessageBoxA(MainWindow(), szMsg, "Directory Information", MB_ICONINFORMATION | MB_OK);
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
    MessageBoxA(MainWindow(), szBuffer, szTitle, MB_OK);
}
