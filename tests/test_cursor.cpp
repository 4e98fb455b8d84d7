// The main window's cursor: "EXCEL" from RESOURCE.DLL beside the program, the
// arrow and one error box when the library is missing.
#include "harness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>

namespace {

typedef HMODULE(WINAPI *LoadLibraryExWProc)(LPCWSTR, HANDLE, DWORD);
LoadLibraryExWProc pRealLoadLibraryExW = NULL;
volatile LONG nLibraryLoads = 0;

HMODULE WINAPI CountingLoadLibraryExW(LPCWSTR lpszPath, HANDLE hFile, DWORD dwFlags) {
    size_t nLen = lpszPath ? wcslen(lpszPath) : 0;
    const WCHAR szName[] = L"" SZ_RESLIBRARY;
    size_t nName = ARRAYSIZE(szName) - 1;
    if (nLen >= nName && lstrcmpiW(lpszPath + nLen - nName, szName) == 0)
        InterlockedIncrement(&nLibraryLoads);
    return pRealLoadLibraryExW(lpszPath, hFile, dwFlags);
}

// GetCursor answers for the calling thread's input queue, so the cursor a
// request left is read on the window's thread, right after WndProc returns.
HHOOK hAfterHook = NULL;
std::mutex shownLock;
std::vector<HCURSOR> shown;

LRESULT CALLBACK AfterMessage(int nCode, WPARAM wParam, LPARAM lParam) {
    const CWPRETSTRUCT *pMsg = (const CWPRETSTRUCT *)lParam;
    if (nCode == HC_ACTION && pMsg->message == WM_SETCURSOR && pMsg->hwnd == AppWindow()) {
        std::lock_guard<std::mutex> guard(shownLock);
        shown.push_back(GetCursor());
    }
    return CallNextHookEx(hAfterHook, nCode, wParam, lParam);
}

size_t RequestsSeen() {
    std::lock_guard<std::mutex> guard(shownLock);
    return shown.size();
}

HCURSOR LastShown() {
    std::lock_guard<std::mutex> guard(shownLock);
    return shown.empty() ? NULL : shown.back();
}

// A mouse movement over the main window's client area.
HCURSOR RequestCursor() {
    // With a time-out: a request that opened a box would never return.
    DWORD_PTR dwResult;
    SendMessageTimeoutA(AppWindow(), WM_SETCURSOR, (WPARAM)AppWindow(),
                        MAKELPARAM(HTCLIENT, WM_MOUSEMOVE), SMTO_NORMAL, 2000, &dwResult);
    return LastShown();
}

std::string BesideProgram(const char *lpszName) {
    char szPath[MAX_PATH];
    DWORD dwLen = GetModuleFileNameA(NULL, szPath, sizeof(szPath));
    while (dwLen > 0 && szPath[dwLen - 1] != '\\')
        dwLen--;
    szPath[dwLen] = '\0';
    return std::string(szPath) + lpszName;
}

// Set by the planted library's code, if it ever runs.
#define SZ_PLANTED_RAN "CORVANE_PLANTED_RAN"

std::string EnvironmentVariable(const char *lpszName) {
    char szValue[32767];
    DWORD dwLen = GetEnvironmentVariableA(lpszName, szValue, sizeof(szValue));
    return dwLen > 0 && dwLen < sizeof(szValue) ? std::string(szValue, dwLen) : std::string();
}

HCURSOR Arrow() {
    return LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
}

class Cursor : public ::testing::Test {
  protected:
    std::string strLibrary = BesideProgram(SZ_RESLIBRARY);
    std::string strAway = BesideProgram("RESOURCE.DLL.away");
    std::unique_ptr<ImportPatch> loads;
    std::string strPlantDir, strOldDir, strOldPath;

    void SetUp() override {
        PutLibraryBack(); // after a run that died half-way
        bCursorErrorShown = FALSE;
        nLibraryLoads = 0;
        loads.reset(
            new ImportPatch("kernel32.dll", "LoadLibraryExW", (void *)CountingLoadLibraryExW));
        pRealLoadLibraryExW = loads->Original<LoadLibraryExWProc>();
        ASSERT_NE(pRealLoadLibraryExW, (LoadLibraryExWProc)NULL);
        SetEnvironmentVariableA(SZ_PLANTED_RAN, NULL);
        ASSERT_NE(StartApp(), (HWND)NULL);
        hAfterHook = SetWindowsHookExA(WH_CALLWNDPROCRET, AfterMessage, NULL, AppThreadId());
        ASSERT_NE(hAfterHook, (HHOOK)NULL);
        std::lock_guard<std::mutex> guard(shownLock);
        shown.clear();
    }

    void TearDown() override {
        if (hAfterHook)
            UnhookWindowsHookEx(hAfterHook);
        hAfterHook = NULL;
        StopApp();
        loads.reset();
        PutLibraryBack();
        bCursorErrorShown = FALSE;
        if (!strPlantDir.empty()) {
            SetCurrentDirectoryA(strOldDir.c_str());
            SetEnvironmentVariableA("PATH", strOldPath.c_str());
            DeleteFileA((strPlantDir + "\\" SZ_RESLIBRARY).c_str());
            RemoveDirectoryA(strPlantDir.c_str());
        }
    }

    // Puts the planted library as RESOURCE.DLL in a fresh folder that is both
    // the working directory and first on the path.
    void PlantInWorkingDirectory() {
        char szDir[MAX_PATH];
        GetCurrentDirectoryA(sizeof(szDir), szDir);
        strOldDir = szDir;
        strOldPath = EnvironmentVariable("PATH");
        GetTempPathA(sizeof(szDir), szDir);
        strPlantDir = std::string(szDir) + "corvane-plant";
        CreateDirectoryA(strPlantDir.c_str(), NULL);
        ASSERT_TRUE(CopyFileA(BesideProgram("PLANTED.DLL").c_str(),
                              (strPlantDir + "\\" SZ_RESLIBRARY).c_str(), FALSE));
        ASSERT_TRUE(SetCurrentDirectoryA(strPlantDir.c_str()));
        SetEnvironmentVariableA("PATH", (strPlantDir + ";" + strOldPath).c_str());
    }

    void TakeLibraryAway() {
        ASSERT_TRUE(MoveFileA(strLibrary.c_str(), strAway.c_str()));
    }

    void PutLibraryBack() {
        if (GetFileAttributesA(strAway.c_str()) == INVALID_FILE_ATTRIBUTES)
            return;
        DeleteFileA(strLibrary.c_str());
        MoveFileA(strAway.c_str(), strLibrary.c_str());
    }
};

TEST_F(Cursor, LoadsOnFirstRequestAndShowsFromTheNext) {
    EXPECT_EQ(RequestCursor(), Arrow());
    EXPECT_EQ(nLibraryLoads, 1);
    // The copy was taken and the library freed at once.
    EXPECT_EQ(GetModuleHandleA(SZ_RESLIBRARY), (HMODULE)NULL);

    HCURSOR hCustom = RequestCursor();
    EXPECT_NE(hCustom, Arrow());
    ASSERT_NE(hCustom, (HCURSOR)NULL);
    ICONINFO info;
    ASSERT_TRUE(GetIconInfo(hCustom, &info));
    EXPECT_FALSE(info.fIcon);
    // The hot spot is the arrow tip at the top left of the picture.
    EXPECT_EQ(info.xHotspot, 0u);
    EXPECT_EQ(info.yHotspot, 0u);
    DeleteObject(info.hbmMask);
    if (info.hbmColor)
        DeleteObject(info.hbmColor);

    // Over a child view and over the caption: the same cursor, no new load.
    SendMessageA(AppWindow(), WM_SETCURSOR, (WPARAM)hTree, MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    EXPECT_EQ(LastShown(), hCustom);
    SendMessageA(AppWindow(), WM_SETCURSOR, (WPARAM)AppWindow(),
                 MAKELPARAM(HTCAPTION, WM_MOUSEMOVE));
    EXPECT_EQ(LastShown(), hCustom);
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(RequestCursor(), hCustom);
    EXPECT_EQ(nLibraryLoads, 1);
    EXPECT_EQ(GetModuleHandleA(SZ_RESLIBRARY), (HMODULE)NULL);
    EXPECT_TRUE(BoxesSeen().empty());
}

TEST_F(Cursor, RequestReturnsZeroWithoutDefaultHandling) {
    EXPECT_EQ(SendMessageA(AppWindow(), WM_SETCURSOR, (WPARAM)AppWindow(),
                           MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)),
              0);
    // Over the frame the default handling would set a sizing cursor.
    SendMessageA(AppWindow(), WM_SETCURSOR, (WPARAM)AppWindow(),
                 MAKELPARAM(HTBOTTOMRIGHT, WM_MOUSEMOVE));
    HCURSOR hShown = LastShown();
    EXPECT_NE(hShown, LoadCursorA(NULL, (LPCSTR)IDC_SIZENWSE));
    EXPECT_NE(hShown, Arrow());
}

TEST_F(Cursor, QuitDestroysTheCopy) {
    RequestCursor();
    HCURSOR hCustom = RequestCursor();
    ASSERT_NE(hCustom, Arrow());
    SetBoxAnswer(IDYES);
    SendCommand(IDM_EXIT);
    int nExit = -1;
    ASSERT_TRUE(WaitForExit(HANG_GUARD, &nExit));
    EXPECT_EQ(nExit, 0);
    ICONINFO info;
    EXPECT_FALSE(GetIconInfo(hCustom, &info));
}

TEST_F(Cursor, MissingLibraryShowsOneErrorBox) {
    TakeLibraryAway();
    // The box is modal inside the handler, so this request must not wait.
    SendNotifyMessageA(AppWindow(), WM_SETCURSOR, (WPARAM)AppWindow(),
                       MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    ASSERT_TRUE(WaitForBoxes(1, HANG_GUARD));
    BoxSeen box = BoxesSeen()[0];
    EXPECT_EQ(box.text, "Resource.DLL could not be loaded");
    EXPECT_EQ(box.caption, "Error"); // no caption given: the platform's default
    EXPECT_EQ(box.hOwner, AppWindow());
    EXPECT_EQ(box.hIcon, LoadIconA(NULL, (LPCSTR)IDI_HAND));
    EXPECT_TRUE(box.bOk);
    EXPECT_FALSE(box.bCancel);
    EXPECT_FALSE(IsWindowEnabled(AppWindow()));
    EXPECT_EQ(LastShown(), (HCURSOR)NULL); // the first request has not returned yet

    // The disabled window still gets cursor requests while the box is open.
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(RequestCursor(), Arrow());
    EXPECT_EQ(BoxesSeen().size(), 1u);
    EXPECT_EQ(nLibraryLoads, 4);

    PressButton(box.hWnd, IDOK);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(box.hWnd); }));
    Pump();
    EXPECT_EQ(RequestsSeen(), 4u);
    EXPECT_EQ(LastShown(), Arrow());

    for (int i = 0; i < 3; i++)
        EXPECT_EQ(RequestCursor(), Arrow());
    Pump(100);
    EXPECT_EQ(BoxesSeen().size(), 1u);
    EXPECT_EQ(nLibraryLoads, 7); // still trying, quietly
}

TEST_F(Cursor, LibraryThatAppearsLaterIsPickedUp) {
    TakeLibraryAway();
    SetBoxAnswer(IDOK);
    EXPECT_EQ(RequestCursor(), Arrow());
    ASSERT_EQ(BoxesSeen().size(), 1u);

    PutLibraryBack();
    EXPECT_EQ(RequestCursor(), Arrow());
    HCURSOR hCustom = RequestCursor();
    EXPECT_NE(hCustom, Arrow());
    EXPECT_NE(hCustom, (HCURSOR)NULL);
    EXPECT_EQ(nLibraryLoads, 2);
    EXPECT_EQ(BoxesSeen().size(), 1u);
}

TEST_F(Cursor, LibraryWithoutExcelKeepsTheArrowSilently) {
    TakeLibraryAway();
    ASSERT_TRUE(CopyFileA(BesideProgram("NOEXCEL.DLL").c_str(), strLibrary.c_str(), FALSE));
    SetBoxAnswer(IDOK);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(RequestCursor(), Arrow());
        EXPECT_EQ(GetModuleHandleA(SZ_RESLIBRARY), (HMODULE)NULL);
    }
    EXPECT_EQ(nLibraryLoads, 3); // loaded and freed on every request
    Pump(100);
    EXPECT_TRUE(BoxesSeen().empty());
}

TEST_F(Cursor, LibraryPlantedInTheWorkingDirectoryIsNeverLoaded) {
    TakeLibraryAway();
    PlantInWorkingDirectory();
    SetBoxAnswer(IDOK);
    EXPECT_EQ(RequestCursor(), Arrow());
    EXPECT_EQ(RequestCursor(), Arrow());
    std::vector<BoxSeen> boxes = BoxesSeen();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Resource.DLL could not be loaded");
    EXPECT_EQ(EnvironmentVariable(SZ_PLANTED_RAN), "");
    EXPECT_EQ(GetModuleHandleA(SZ_RESLIBRARY), (HMODULE)NULL);
}

TEST_F(Cursor, LibraryWithCodeBesideTheProgramGivesItsCursorButRunsNothing) {
    TakeLibraryAway();
    ASSERT_TRUE(CopyFileA(BesideProgram("PLANTED.DLL").c_str(), strLibrary.c_str(), FALSE));
    EXPECT_EQ(RequestCursor(), Arrow());
    HCURSOR hCustom = RequestCursor();
    EXPECT_NE(hCustom, Arrow());
    EXPECT_NE(hCustom, (HCURSOR)NULL);
    EXPECT_EQ(EnvironmentVariable(SZ_PLANTED_RAN), "");
    Pump(100);
    EXPECT_TRUE(BoxesSeen().empty());

    // Loaded as a library, its code does run and is seen.
    HMODULE hPlanted = LoadLibraryA(BesideProgram("PLANTED.DLL").c_str());
    ASSERT_NE(hPlanted, (HMODULE)NULL);
    FreeLibrary(hPlanted);
    EXPECT_EQ(EnvironmentVariable(SZ_PLANTED_RAN), "1");
}

} // namespace
