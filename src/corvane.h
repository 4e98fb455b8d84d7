// Corvane: the one header shared by every part of the program and by its
// resource scripts. Grouped by the file that defines each thing.
#ifndef CORVANE_H
#define CORVANE_H

#include <windows.h>
#include <commctrl.h>

// ---- Command ids (menu items send IDM_*, controls IDC_*) ----
#define IDM_EXIT 100
#define IDC_VIEW 101 // shared by the four views
#define IDM_TILE 200
#define IDM_ABOUT 300
#define IDM_CASCADE 400
#define IDM_KEYBOARD 500
#define IDM_PRIVATEPROFILE 600
#define IDM_PROFILESECTION 700
#define IDM_COMPUTERNAME 800
#define IDM_DISKFREE 900
#define IDM_ENVIRONMENT 1000
#define IDM_DEFLANGUAGE 1100
#define IDM_SYSINFO 1200
#define IDM_REGEDIT 1300
#define IDM_RESET 1400
#define IDM_WINDIR 1500
#define IDM_WINVERSION 1600
#define IDC_DISKFREE 1700
#define IDC_GENERALPC 1800

// The watcher tells the user-interface thread that keys changed; only that
// thread touches the tree.
#define WM_REFILLTREE (WM_APP + 1)
// The walker tells it that names wait to be inserted.
#define WM_FILLSLICE (WM_APP + 2)
// Timers of the main window: the pending-close flash, and the next slice of
// a refill when input waits (timers come after input and paint).
#define IDT_FLASH 1
#define IDT_FILLSLICE 2

// ---- Resource names ----
#define SZ_TREEIMG "TREEIMG"
#define SZ_ABOUTBOX "ABOUTBOX"
#define SZ_CURSORRES "EXCEL" // in RESOURCE.DLL
#define SZ_RESLIBRARY "RESOURCE.DLL"

#ifndef RC_INVOKED

// ---- shell/winmain.cpp: entry point, window creation, views ----
extern HINSTANCE hInst;
extern const char *lpszAppName;
extern const char *lpszTitle;
extern HWND hListd;   // drive table
extern HWND hList3;   // environment table
extern HWND hListt;   // text list
extern HWND hTree;    // registry tree
extern HWND hWndMain; // the main window: owner of every box, target of the watcher
extern HANDLE hNotify;
extern UINT uDpi; // the DPI the views are laid out at
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);
void CreateViews(HWND hWnd);
int Scale(int n, UINT uDpiTo); // a 96-DPI size or position at another DPI
UINT WindowDpi(HWND hWnd);     // the window's DPI; NULL for the system's
void FollowDpi(HWND hWnd, UINT uNewDpi, const RECT *prcSuggested); // WM_DPICHANGED

// ---- shell/wndproc.cpp: window procedure, dispatch, closing protocol ----
extern UINT_PTR uTimer;
LRESULT CALLBACK WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
void AnswerSentMessages(void); // for long commands: other threads' messages only

// ---- shell/cursor.cpp: the custom cursor from RESOURCE.DLL ----
extern BOOL bCursorErrorShown; // the missing-library box was shown this run
LRESULT SetCustomCursor(HWND hWnd, HCURSOR *phCurCursor);

// ---- shell/about.cpp: the About box ----
INT_PTR CALLBACK About(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);

// ---- registry/: the registry tree, read on threads of its own ----
void OpenRegistryTree(void);    // WM_CREATE: the watcher, suspended until the first fill
void FillTreeView(void);        // Registry commands: starts the watcher once; complete on return
void RefillTreeView(void);      // WM_REFILLTREE: what changed, read again now or once the fill ends
void ContinueFill(BOOL bTimer); // WM_FILLSLICE and IDT_FILLSLICE: go on for a while
void CloseRegistryTree(void);   // quitting: the fill and both threads end; none starts again
LRESULT TreeNotify(const NMHDR *pnm); // WM_NOTIFY from the tree: names, opened and freed items
// The reader's walk of one key; FALSE once cancelled.
BOOL EnumerateRegistry(HKEY hKey, unsigned nLevel, unsigned nPathLevel, long nKnown,
                       const BYTE *pOpenedAs);
DWORD WINAPI ChangeNotify(LPVOID lpData); // the watcher thread

// ---- reports/drives.cpp ----
void FillDriveList(void);

// ---- reports/environment.cpp ----
void FillEnvironmentList(void);

// ---- reports/textlist.cpp ----
void ListProfileSections(void);
void ListPortsSection(void);
void ListDefaultLanguage(void);
void ListSystemInfo(void);

// ---- reports/msgboxes.cpp ----
void ShowKeyboardType(void);
void ShowComputerName(void);
void ShowDirectories(void);
void ShowVersion(void);

#endif // RC_INVOKED
#endif // CORVANE_H
