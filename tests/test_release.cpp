// What the release carries besides the code: the manifest and the version
// information, read back the way Windows reads them.
#include "harness.h"
#include "version.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string VersionString(const std::vector<char> &info, const char *lpszName) {
    char szPath[128];
    snprintf(szPath, sizeof(szPath), "\\StringFileInfo\\040904b0\\%s", lpszName);
    char *lpValue = NULL;
    UINT cch = 0;
    if (!VerQueryValueA(info.data(), szPath, (void **)&lpValue, &cch) || !lpValue)
        return "";
    return lpValue;
}

std::vector<char> VersionInfo(const char *lpszFile) {
    DWORD dwHandle = 0;
    DWORD cb = GetFileVersionInfoSizeA(lpszFile, &dwHandle);
    std::vector<char> info(cb);
    if (cb == 0 || !GetFileVersionInfoA(lpszFile, 0, cb, info.data()))
        info.clear();
    return info;
}

std::string BesideMe(const char *lpszName) {
    char szPath[MAX_PATH];
    GetModuleFileNameA(NULL, szPath, sizeof(szPath));
    std::string path = szPath;
    return path.substr(0, path.find_last_of('\\') + 1) + lpszName;
}

} // namespace

TEST(Release, ManifestRunsAsInvokerAndKnowsCurrentWindows) {
    std::string manifest = Manifest();
    ASSERT_FALSE(manifest.empty());
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find("version=\"" CORVANE_VERSION_TEXT ".0\""), std::string::npos);
    const char *lpszOs[] = {"{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Vista
                            "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
                            "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
                            "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
                            "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}; // 10 and 11
    for (const char *lpszId : lpszOs)
        EXPECT_NE(manifest.find(lpszId), std::string::npos) << lpszId;
    // Names in any language pass through the 8-bit calls: the process runs in UTF-8.
    EXPECT_EQ(GetACP(), 65001u);
}

TEST(Release, ManifestAsksForPerMonitorDpiAndTodaysControls) {
    std::string manifest = Manifest();
    ASSERT_FALSE(manifest.empty());
    // Laid out at each monitor's DPI, never stretched; the system's DPI where
    // Windows knows no per-monitor v2.
    EXPECT_NE(manifest.find("<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/"
                            "WindowsSettings\">PerMonitorV2, System</dpiAwareness>"),
              std::string::npos);
    EXPECT_NE(manifest.find("<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/"
                            "WindowsSettings\">true</dpiAware>"),
              std::string::npos);
    size_t nControls =
        manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"");
    ASSERT_NE(nControls, std::string::npos);
    EXPECT_LT(manifest.rfind("<dependentAssembly>", nControls), nControls);
    EXPECT_NE(manifest.find("publicKeyToken=\"6595b64144ccf1df\"", nControls), std::string::npos);

    // And Windows (here Wine) did as asked: this process is per-monitor
    // aware, and its comctl32 is the side-by-side version 6.
    typedef DPI_AWARENESS_CONTEXT(WINAPI * ThreadContextFn)(void);
    typedef DPI_AWARENESS(WINAPI * AwarenessFn)(DPI_AWARENESS_CONTEXT);
    HMODULE hUser = GetModuleHandleA("user32.dll");
    ThreadContextFn pThreadContext =
        (ThreadContextFn)(void *)GetProcAddress(hUser, "GetThreadDpiAwarenessContext");
    AwarenessFn pAwareness =
        (AwarenessFn)(void *)GetProcAddress(hUser, "GetAwarenessFromDpiAwarenessContext");
    ASSERT_TRUE(pThreadContext && pAwareness);
    // Wine 8 knows no version 2 and makes it per-monitor awareness.
    EXPECT_EQ(pAwareness(pThreadContext()), DPI_AWARENESS_PER_MONITOR_AWARE);
    InitCommonControls();
    char szComctl[MAX_PATH] = "";
    GetModuleFileNameA(GetModuleHandleA("comctl32.dll"), szComctl, sizeof(szComctl));
    std::string comctl = szComctl;
    for (char &c : comctl)
        c = (char)tolower((unsigned char)c);
    EXPECT_NE(comctl.find("common-controls_6595b64144ccf1df_6."), std::string::npos) << szComctl;
}

TEST(Release, ProgramAndLibraryCarryTheVersionAsABeta) {
    char szSelf[MAX_PATH];
    GetModuleFileNameA(NULL, szSelf, sizeof(szSelf));
    const std::string files[] = {szSelf, BesideMe("RESOURCE.DLL")};
    for (const std::string &file : files) {
        SCOPED_TRACE(file);
        std::vector<char> info = VersionInfo(file.c_str());
        ASSERT_FALSE(info.empty());
        VS_FIXEDFILEINFO *pFixed = NULL;
        UINT cb = 0;
        ASSERT_TRUE(VerQueryValueA(info.data(), "\\", (void **)&pFixed, &cb));
        EXPECT_EQ(pFixed->dwFileVersionMS,
                  (DWORD)MAKELONG(CORVANE_VERSION_MINOR, CORVANE_VERSION_MAJOR));
        EXPECT_EQ(pFixed->dwFileVersionLS, (DWORD)MAKELONG(0, CORVANE_VERSION_PATCH));
        EXPECT_TRUE(pFixed->dwFileFlags & VS_FF_PRERELEASE);
        EXPECT_EQ(VersionString(info, "ProductName"), "Corvane");
        EXPECT_EQ(VersionString(info, "FileVersion"), CORVANE_VERSION_TEXT);
        EXPECT_EQ(VersionString(info, "ProductVersion"), CORVANE_VERSION_TEXT " Beta");
        EXPECT_EQ(VersionString(info, "CompanyName"), "Corvane Works");
    }
    EXPECT_EQ(VersionString(VersionInfo(BesideMe("RESOURCE.DLL").c_str()), "OriginalFilename"),
              "RESOURCE.DLL");

    // Corvane.exe may use 4 GB of a 64-bit Windows, not 2, for a big tree.
    IMAGE_DOS_HEADER dos = {};
    IMAGE_NT_HEADERS32 nt = {}; // its file header is the same in both builds
    FILE *pExe = fopen(BesideMe("Corvane.exe").c_str(), "rb");
    ASSERT_NE(pExe, nullptr);
    EXPECT_EQ(fread(&dos, sizeof(dos), 1, pExe), 1u);
    fseek(pExe, dos.e_lfanew, SEEK_SET);
    EXPECT_EQ(fread(&nt, sizeof(nt), 1, pExe), 1u);
    fclose(pExe);
    EXPECT_EQ(nt.FileHeader.Machine,
              sizeof(void *) == 4 ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64);
    EXPECT_TRUE(nt.FileHeader.Characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE);
}
