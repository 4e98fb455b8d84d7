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

// The watcher asks the user-interface thread to refill the tree with this
// message, so every fill runs on the thread that owns the tree.
#define WM_REFILLTREE (WM_APP + 1)

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
extern HWND hListd; // drive table
extern HWND hList3; // environment table
extern HWND hListt; // text list
extern HWND hTree;  // registry tree
extern HWND hWndMain; // the main window: owner of every box, target of the watcher
extern HANDLE hNotify;
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);
void CreateViews(HWND hWnd);

// ---- shell/wndproc.cpp: window procedure, dispatch, closing protocol ----
extern UINT_PTR uTimer;
LRESULT CALLBACK WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
void DispatchCommand(HWND hWnd, WORD wId);
void RequestClose(HWND hWnd, HCURSOR *phCurCursor);
void ResumeClose(HWND hWnd);
void QuitSequence(HCURSOR *phCurCursor);

// ---- shell/cursor.cpp: the custom cursor from RESOURCE.DLL ----
extern BOOL bCursorErrorShown; // the missing-library box was shown this run
LRESULT SetCustomCursor(HWND hWnd, HCURSOR *phCurCursor);

// ---- shell/about.cpp: the About box ----
INT_PTR CALLBACK About(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);

// ---- registry/filltree.cpp: the registry tree ----
void FillTreeView(void);
void EnumerateRegistry(HKEY hKey, HTREEITEM hParent);

// ---- registry/notify.cpp: the change watcher thread ----
DWORD WINAPI ChangeNotify(LPVOID lpData);

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
