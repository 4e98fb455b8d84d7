// Failures the program must live through: no memory in a report, an error
// from the message loop. Holds this test program's own operator new, which
// can be told to fail on the window's thread.
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

namespace {

volatile DWORD dwWatchedThread = 0; // allocations counted and failed on this thread only
volatile LONG nAllocations = 0;
volatile LONG nFailFrom = -1;  // the first allocation to fail; -1 for none
volatile size_t cbFailMin = 0; // smaller ones still succeed

// Runs a command with the window thread's allocations of cbMin bytes or more
// from the nth on failing; returns how many it asked for.
LONG SendCommandFailingFrom(WORD wId, LONG nFirstFailure, size_t cbMin = 0) {
    nAllocations = 0;
    nFailFrom = nFirstFailure;
    cbFailMin = cbMin;
    dwWatchedThread = AppThreadId();
    SendCommand(wId);
    dwWatchedThread = 0;
    return nAllocations;
}

class Failures : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(StartApp(), (HWND)NULL);
        SetBoxAnswer(IDOK);
    }
    void TearDown() override {
        StopApp();
    }
};

TEST_F(Failures, ReportWithoutMemoryLeavesItsViewEmptyAndTheProgramRuns) {
    WritePrivateProfileStringA("corvane", "k", "1", "win.ini");
    const struct {
        WORD wId;
        HWND hView;
        UINT uCount;
    } reports[] = {{IDM_ENVIRONMENT, hList3, LVM_GETITEMCOUNT},
                   {IDM_PRIVATEPROFILE, hListt, LB_GETCOUNT}};
    for (const auto &r : reports) {
        SCOPED_TRACE(r.wId);
        LONG nNeeded = SendCommandFailingFrom(r.wId, -1);
        LRESULT nRows = SendMessageA(r.hView, r.uCount, 0, 0);
        ASSERT_GT(nNeeded, 0);
        ASSERT_GT(nRows, 0);
        // The first allocation failing, and the last, after rows went in.
        for (LONG nFail : {0L, nNeeded - 1}) {
            SendCommandFailingFrom(r.wId, nFail);
            EXPECT_EQ(SendMessageA(r.hView, r.uCount, 0, 0), 0) << nFail;
        }
        SendCommand(r.wId);
        EXPECT_EQ(SendMessageA(r.hView, r.uCount, 0, 0), nRows);
    }
    WritePrivateProfileStringA("corvane", NULL, NULL, "win.ini");
}

LPWSTR WINAPI LongCommandLine(void) {
    static std::wstring line = L"C:\\corvane.exe " + std::wstring(30000, L'x') + L" /cFAR";
    return (LPWSTR)line.c_str();
}

int nRenames;
BOOL WINAPI CountSetComputerName(COMPUTER_NAME_FORMAT, LPCWSTR) {
    nRenames++;
    return TRUE;
}

TEST_F(Failures, RenameWithoutMemoryIsSkippedAfterTheNameBox) {
    ImportPatches patches;
    patches.Add("kernel32.dll", "GetCommandLineW", LongCommandLine);
    patches.Add("kernel32.dll", "SetComputerNameExW", CountSetComputerName);
    LongCommandLine();
    nRenames = 0;
    // Only the copy of the long command line fails; the box's own texts are short.
    SendCommandFailingFrom(IDM_COMPUTERNAME, 0, 10000);
    EXPECT_EQ(BoxesSeen().size(), 1u);
    EXPECT_EQ(nRenames, 0);
    SendCommand(IDM_COMPUTERNAME);
    EXPECT_EQ(BoxesSeen().size(), 2u);
    EXPECT_EQ(nRenames, 1);
}

volatile LONG nGetMessageErrors = 0;
decltype(&GetMessageA) pRealGetMessageA;

BOOL WINAPI FailingGetMessage(LPMSG pMsg, HWND hWnd, UINT uMin, UINT uMax) {
    if (InterlockedExchange(&nGetMessageErrors, 0))
        return -1; // once
    return pRealGetMessageA(pMsg, hWnd, uMin, uMax);
}

TEST_F(Failures, MessageLoopEndsOnAnError) {
    // The loop reads the import once before it starts: patch, then start again.
    StopApp();
    ImportPatches patches;
    pRealGetMessageA = patches.Add("user32.dll", "GetMessageA", FailingGetMessage);
    ASSERT_NE(pRealGetMessageA, nullptr);
    ASSERT_NE(StartApp(), (HWND)NULL);
    nGetMessageErrors = 1;
    PostMessageA(AppWindow(), WM_NULL, 0, 0); // the loop asks again after this one
    int nExit = 0;
    ASSERT_TRUE(WaitForExit(HANG_GUARD, &nExit));
    EXPECT_EQ(nExit, 1);
}

} // namespace

void *operator new(size_t cb) {
    if (dwWatchedThread && GetCurrentThreadId() == dwWatchedThread) {
        LONG n = InterlockedIncrement(&nAllocations) - 1;
        if (nFailFrom >= 0 && n >= nFailFrom && cb >= cbFailMin)
            throw std::bad_alloc();
    }
    void *p = malloc(cb ? cb : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}

// Not through the heap imports: tests swap those, and this runs inside the swap.
// GCC takes free() here for a mismatch with operator new; it is this one's pair.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void *p) noexcept {
    free(p);
}

void operator delete(void *p, size_t) noexcept {
    free(p);
}
