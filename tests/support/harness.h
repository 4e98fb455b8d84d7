// Test harness: runs the real main window (WinMain) on a thread of the test
// program, drives it with window messages, and captures every message box or
// dialog it opens through a CBT hook on the window's thread.
#ifndef CORVANE_TESTS_HARNESS_H
#define CORVANE_TESTS_HARNESS_H

#include "corvane.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// What a user saw in one modal box (message box or dialog).
struct BoxSeen {
    HWND hWnd = NULL;
    HWND hOwner = NULL;
    std::string text;    // the message text (message boxes)
    std::string caption; // the window title
    bool bYes = false, bNo = false, bOk = false, bCancel = false;
    HICON hIcon = NULL; // the icon shown, NULL when none
};

// The bound on every wait: it only stops a hung test, so it is far above
// what any step takes, even under emulation on a busy machine.
const DWORD HANG_GUARD = 120000;
// Waits until pred() holds; false if it still did not after ms.
bool WaitFor(const std::function<bool()> &pred, DWORD ms = HANG_GUARD);

// Starts WinMain on a new thread and waits until its message loop runs with
// both buttons in place. Returns the main window.
HWND StartApp(int nCmdShow = SW_SHOWNORMAL);
// Stops the app if it still runs, destroys its window (which ends the
// watcher), unregisters the class and clears the globals, so the next
// StartApp begins afresh.
void StopApp();
// Waits for WinMain to return; true with its exit code if it did within ms.
bool WaitForExit(DWORD ms, int *pnExit);
HWND AppWindow();
DWORD AppThreadId();

// Commands, as a menu item or button would send them.
void SendCommand(WORD wId);
void PostCommand(WORD wId);

// Boxes: each one opened on the window's thread is recorded. With a non-zero
// answer, the hook presses that button as soon as the box shows; with 0 the
// box stays open for the test to handle.
void SetBoxAnswer(int nButtonId);
std::vector<BoxSeen> BoxesSeen();
void ClearBoxes();
// Waits until at least n boxes have been seen; true if they were.
bool WaitForBoxes(size_t n, DWORD ms);
// Presses a button of an open box from the test thread.
void PressButton(HWND hBox, int nButtonId);

// Waits ms, then until the window's thread has handled every message
// posted to it before the call, and what those posted in turn.
void Pump(DWORD ms = 0);
// The window with the focus on the window's thread, and a focus change made
// there; SetAppFocus returns the window that has the focus then.
HWND AppFocus();
HWND SetAppFocus(HWND hWnd);
// Presses and releases a key as the keyboard would: posted to the window
// with the focus (the main window if none), through the loop's
// TranslateMessage; with Alt held, as WM_SYSKEYDOWN and WM_SYSKEYUP.
void PressKey(WPARAM wKey, bool bAlt = false);

// ---- support/imports.cpp ----

// Swaps one function this program imports (by DLL and name) for a fake, for
// as long as the object lives, so a test can watch or fail a platform call.
// The original goes back when it ends; Original() calls through to it.
class ImportPatch {
  public:
    ImportPatch(const char *lpszDll, const char *lpszFunc, void *pFake);
    ~ImportPatch();
    ImportPatch(const ImportPatch &) = delete;
    ImportPatch &operator=(const ImportPatch &) = delete;
    bool Applied() const {
        return pOriginal != NULL;
    }
    template <class Fn> Fn Original() const {
        return (Fn)pOriginal;
    }

  private:
    std::string dll, func;
    void *pOriginal;
};

// Patches kept for the rest of a test, undone newest first by Clear() or at
// the end; Add returns the original function.
class ImportPatches {
  public:
    ~ImportPatches() {
        Clear();
    }
    template <class Fn> Fn Add(const char *lpszDll, const char *lpszFunc, Fn pFake) {
        patches.emplace_back(new ImportPatch(lpszDll, lpszFunc, (void *)pFake));
        return patches.back()->Original<Fn>();
    }
    void Clear() {
        while (!patches.empty())
            patches.pop_back();
    }

  private:
    std::vector<std::unique_ptr<ImportPatch>> patches;
};

// ---- support/views.cpp: what the views show, read back as wide text and
// given as UTF-8, so a name mangled on its way in cannot pass ----

typedef std::vector<std::vector<std::string>> Rows;
Rows ListViewRows(HWND hList, int nCols);
std::vector<std::string> ListBoxLines(HWND hList);
// A window's title text and class name ("" for no window).
std::string TextOf(HWND hWnd);
std::string ClassOf(HWND hWnd);
// UTF-16 to UTF-8.
std::string Utf8(const wchar_t *lpsz);

// ---- support/manifest.cpp ----

// The manifest of this test program, as Windows reads it.
std::string Manifest();
// The ANSI code page it asks Windows for: UTF-8, or the prefix's own (1252)
// for the twin built without activeCodePage, which runs as Windows before 10
// 1903 runs every program.
UINT CodePageAsked();

// ---- support/ntkeys.cpp: keys under HKEY_LOCAL_MACHINE, in the 64-bit
// view (the one the tree shows) when the tests run under WOW64, named as the
// registry counts names, so a name may hold a NUL ----

// Under hParent, a real handle; NULL when refused.
HKEY OpenKeyNt(HKEY hParent, const std::wstring &name, ACCESS_MASK access);
HKEY CreateKeyNt(HKEY hParent, const std::wstring &name);
bool SetValueNt(HKEY hKey, const std::wstring &name); // a REG_SZ "x"
// The key and everything under it, whatever the names.
void DeleteTree(HKEY hRoot, const char *lpszPath);

#endif
