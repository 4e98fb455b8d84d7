// Quitting: the prompt, the deferred close while minimized, and the small
// commands of the window itself (tile, cascade, unknown ids, key presses).
#include "harness.h"

#include <gtest/gtest.h>

namespace {

volatile LONG nFlashOn = 0, nFlashOff = 0;
BOOL WINAPI FakeFlashWindow(HWND, BOOL bInvert) {
    InterlockedIncrement(bInvert ? &nFlashOn : &nFlashOff);
    return TRUE;
}

struct ArrangeCall {
    HWND hParent;
    UINT wHow;
    const RECT *lpRect;
    UINT cKids;
    const HWND *lpKids;
};
ArrangeCall tileCall, cascadeCall;
volatile LONG nTiles = 0, nCascades = 0;
WORD WINAPI FakeTileWindows(HWND hParent, UINT wHow, const RECT *lpRect, UINT cKids,
                            const HWND *lpKids) {
    tileCall = {hParent, wHow, lpRect, cKids, lpKids};
    InterlockedIncrement(&nTiles);
    return 0;
}
WORD WINAPI FakeCascadeWindows(HWND hParent, UINT wHow, const RECT *lpRect, UINT cKids,
                               const HWND *lpKids) {
    cascadeCall = {hParent, wHow, lpRect, cKids, lpKids};
    InterlockedIncrement(&nCascades);
    return 0;
}

class Closing : public ::testing::Test {
  protected:
    HWND hWnd = NULL;
    ImportPatch flash{"user32.dll", "FlashWindow", (void *)FakeFlashWindow};
    void SetUp() override {
        nFlashOn = nFlashOff = 0;
        ASSERT_TRUE(flash.Applied());
        hWnd = StartApp();
        ASSERT_NE(hWnd, (HWND)NULL);
    }
    void TearDown() override {
        StopApp();
    }
    bool Running() {
        int nExit;
        return !WaitForExit(0, &nExit) && IsWindow(hWnd);
    }
};

} // namespace

TEST_F(Closing, ExitAsksBeforeQuitting) {
    SetBoxAnswer(IDNO);
    SendCommand(IDM_EXIT);
    ASSERT_TRUE(WaitForBoxes(1, HANG_GUARD));
    BoxSeen box = BoxesSeen()[0];
    EXPECT_EQ(box.text, "Do you want to quit?");
    EXPECT_EQ(box.caption, "Corvane");
    EXPECT_EQ(box.hOwner, hWnd);
    EXPECT_TRUE(box.bYes);
    EXPECT_TRUE(box.bNo);
    EXPECT_FALSE(box.bOk);
    EXPECT_EQ(box.hIcon, LoadIconA(NULL, (LPCSTR)IDI_QUESTION));
}

TEST_F(Closing, NoKeepsTheProgramRunning) {
    SetBoxAnswer(IDNO);
    SendCommand(IDM_EXIT);
    ASSERT_TRUE(WaitForBoxes(1, HANG_GUARD));
    Pump(50);
    EXPECT_TRUE(Running());
    EXPECT_TRUE(IsWindowVisible(hWnd));
    // And it still answers commands.
    SendCommand(IDM_EXIT);
    ASSERT_TRUE(WaitForBoxes(2, HANG_GUARD));
}

TEST_F(Closing, YesEndsTheLoopWithExitCodeZero) {
    SetBoxAnswer(IDYES);
    SendCommand(IDM_EXIT);
    int nExit = -1;
    ASSERT_TRUE(WaitForExit(HANG_GUARD, &nExit));
    EXPECT_EQ(nExit, 0);
    EXPECT_EQ(BoxesSeen().size(), 1u);
}

TEST_F(Closing, CloseBoxAsksTheSameQuestion) {
    SetBoxAnswer(IDYES);
    PostMessageA(hWnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    int nExit = -1;
    ASSERT_TRUE(WaitForExit(HANG_GUARD, &nExit));
    EXPECT_EQ(nExit, 0);
    ASSERT_EQ(BoxesSeen().size(), 1u);
    EXPECT_EQ(BoxesSeen()[0].text, "Do you want to quit?");
}

TEST_F(Closing, WhileMinimizedItFlashesAndAsksOnlyAfterRestore) {
    SetBoxAnswer(IDNO);
    ShowWindow(hWnd, SW_MINIMIZE);
    ASSERT_TRUE(IsIconic(hWnd));
    PostMessageA(hWnd, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitFor([] { return nFlashOn >= 2; })) << "the flash timer keeps flashing";
    EXPECT_TRUE(BoxesSeen().empty()) << "no prompt while minimized";
    EXPECT_NE(uTimer, 0u);
    EXPECT_GE(nFlashOn, 2);
    EXPECT_TRUE(Running());

    // A second request while still minimized changes nothing visible.
    PostMessageA(hWnd, WM_CLOSE, 0, 0);
    Pump(50);
    EXPECT_TRUE(BoxesSeen().empty());

    ShowWindow(hWnd, SW_RESTORE);
    ASSERT_TRUE(WaitForBoxes(1, HANG_GUARD));
    EXPECT_EQ(BoxesSeen()[0].text, "Do you want to quit?");
    EXPECT_EQ(uTimer, 0u);
    EXPECT_GE(nFlashOff, 1) << "the highlight is returned to normal";
    LONG nFlashesAtRestore = nFlashOn;

    // No to the prompt: still running, no more flashing, and an ordinary
    // resize later does not ask again.
    Pump(700);
    EXPECT_TRUE(Running());
    EXPECT_EQ(nFlashOn, nFlashesAtRestore);
    SetWindowPos(hWnd, NULL, 0, 0, 700, 400, SWP_NOMOVE | SWP_NOZORDER);
    Pump(100);
    EXPECT_EQ(BoxesSeen().size(), 1u);
}

TEST_F(Closing, DeferredCloseAnsweredYesQuits) {
    SetBoxAnswer(IDYES);
    ShowWindow(hWnd, SW_MINIMIZE);
    PostMessageA(hWnd, WM_CLOSE, 0, 0);
    Pump(100);
    EXPECT_TRUE(BoxesSeen().empty());
    ShowWindow(hWnd, SW_RESTORE);
    int nExit = -1;
    ASSERT_TRUE(WaitForExit(HANG_GUARD, &nExit));
    EXPECT_EQ(nExit, 0);
}

TEST_F(Closing, DesktopWindowsAreTiledAndCascadedSkippingDisabledOnes) {
    nTiles = nCascades = 0;
    {
        ImportPatch tile("user32.dll", "TileWindows", (void *)FakeTileWindows);
        ImportPatch cascade("user32.dll", "CascadeWindows", (void *)FakeCascadeWindows);
        ASSERT_TRUE(tile.Applied() && cascade.Applied());
        SendCommand(IDM_TILE);
        SendCommand(IDM_CASCADE);
    }

    ASSERT_EQ(nTiles, 1);
    EXPECT_EQ(tileCall.hParent, GetDesktopWindow());
    EXPECT_EQ(tileCall.wHow, (UINT)MDITILE_SKIPDISABLED); // vertical: no other flag
    EXPECT_EQ(tileCall.lpRect, nullptr);
    EXPECT_EQ(tileCall.cKids, 0u);
    EXPECT_EQ(tileCall.lpKids, nullptr);
    ASSERT_EQ(nCascades, 1);
    EXPECT_EQ(cascadeCall.hParent, GetDesktopWindow());
    EXPECT_EQ(cascadeCall.wHow, (UINT)MDITILE_SKIPDISABLED);
    EXPECT_EQ(cascadeCall.lpRect, nullptr);
    EXPECT_EQ(cascadeCall.cKids, 0u);
    EXPECT_EQ(cascadeCall.lpKids, nullptr);
    EXPECT_TRUE(BoxesSeen().empty());
}

TEST_F(Closing, UnknownIdsAndKeyPressesDoNothingButAltF4AsksToQuit) {
    SetBoxAnswer(IDYES); // a stray prompt would end the program
    const WORD ids[] = {0, 1, 101, 150, 1301, 1900, 40000, 0xFFFF};
    for (WORD id : ids)
        SendMessageA(hWnd, WM_COMMAND, MAKEWPARAM(id, LBN_SELCHANGE), (LPARAM)hListt);

    // Keys go to the window with the focus: the main window, or a view
    // clicked before. No view is a tab stop, so Tab leaves the focus put.
    const WPARAM keys[] = {VK_ESCAPE, VK_RETURN, VK_F4,  'Q',     VK_DELETE,
                           VK_SPACE,  VK_TAB,    VK_F10, VK_DOWN, VK_NEXT};
    const HWND targets[] = {hWnd, hListd, hList3, hListt, hTree};
    for (HWND hTarget : targets) {
        SCOPED_TRACE(ClassOf(hTarget));
        ASSERT_EQ(SetAppFocus(hTarget), hTarget);
        for (WPARAM key : keys)
            PressKey(key);
        Pump();
        EXPECT_EQ(AppFocus(), hTarget);
    }
    Pump(100);
    EXPECT_TRUE(BoxesSeen().empty());
    EXPECT_TRUE(Running());
    EXPECT_EQ(SendMessageA(hListd, LVM_GETITEMCOUNT, 0, 0), 0);
    EXPECT_EQ(SendMessageA(hList3, LVM_GETITEMCOUNT, 0, 0), 0);
    EXPECT_EQ(SendMessageA(hListt, LB_GETCOUNT, 0, 0), 0);
    EXPECT_EQ(SendMessageA(hTree, TVM_GETCOUNT, 0, 0), 0);

    // The same path carries Alt+F4, a close request, from whichever window
    // has the focus. Wine's tree view keeps it to itself (Windows' does not),
    // so the tree is left out here.
    SetBoxAnswer(IDNO);
    for (HWND hTarget : {hWnd, hListd, hList3, hListt}) {
        SCOPED_TRACE(ClassOf(hTarget));
        size_t nBoxes = BoxesSeen().size();
        ASSERT_EQ(SetAppFocus(hTarget), hTarget);
        PressKey(VK_F4, true);
        ASSERT_TRUE(WaitForBoxes(nBoxes + 1, HANG_GUARD));
        EXPECT_EQ(BoxesSeen().back().text, "Do you want to quit?");
        Pump();
        EXPECT_TRUE(Running());
    }
}
