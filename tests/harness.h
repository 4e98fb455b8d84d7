// Test harness: runs the real main window (WinMain) on a thread of the test
// program, drives it with window messages, and captures every message box or
// dialog it opens through a CBT hook on the window's thread.
#ifndef CORVANE_TESTS_HARNESS_H
#define CORVANE_TESTS_HARNESS_H

#include "corvane.h"

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

// Starts WinMain on a new thread and waits until its message loop runs with
// both buttons in place. Returns the main window.
HWND StartApp(int nCmdShow = SW_SHOWNORMAL);
// Stops the app if it still runs, destroys its window, unregisters the class,
// stops the watcher and clears the globals, so the next StartApp begins afresh.
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

// Lets the window's thread handle what is queued and waits ms more.
void Pump(DWORD ms = 0);

// Replaces an imported function (by DLL and name) in this program's import
// table and returns what was there, so a test can watch calls to the
// platform and put the original back afterwards. NULL if not imported.
void *PatchImport(const char *lpszDll, const char *lpszFunc, void *pReplacement);

// A window's title text and class name ("" for no window).
std::string TextOf(HWND hWnd);
std::string ClassOf(HWND hWnd);

// Registry helpers for tests that build keys under HKEY_LOCAL_MACHINE.
void DeleteTree(HKEY hRoot, const char *lpszPath);

#endif
