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
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);
void CreateViews(HWND hWnd);

// ---- shell/wndproc.cpp: window procedure, dispatch, closing protocol ----
extern UINT_PTR uTimer;
LRESULT CALLBACK WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

// ---- shell/cursor.cpp: the custom cursor from RESOURCE.DLL ----
extern BOOL bCursorErrorShown; // the missing-library box was shown this run
LRESULT SetCustomCursor(HWND hWnd, HCURSOR *phCurCursor);

// ---- shell/about.cpp: the About box ----
INT_PTR CALLBACK About(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);

// ---- registry/filltree.cpp: the registry tree, filled on its own thread ----
extern volatile LONG nFillsDone; // fills that reached their last item
void FillTreeView(void);         // commands: the tree is complete on return
void RefillTreeView(void);       // WM_REFILLTREE: refill now, or once the current one ends
void ContinueFill(BOOL bTimer);  // WM_FILLSLICE and IDT_FILLSLICE: insert for a while
void CancelFill(void);           // quitting: the walker ends, the tree stays as it is
BOOL TreeSettled(void);          // no fill running or due, the watcher armed and quiet

// ---- registry/walker.cpp: the walk, on a thread of its own ----
// Names travel to the user-interface thread in a small ring of these.
#define BATCH_BYTES 65536
struct TreeBatch {
    LONG nGeneration; // the fill it belongs to
    BOOL bLast;       // the walk ended with this batch
    DWORD cbUsed;
    BYTE data[BATCH_BYTES - 3 * sizeof(DWORD)];
};
extern volatile LONG bSliceQueued;                  // a WM_FILLSLICE or its timer is on its way
BOOL EnumerateRegistry(HKEY hKey, unsigned nDepth); // FALSE once cancelled
BOOL StartWalker(LONG nGeneration);
void StopWalker(void); // cancels and waits for the walker to end
// The next full batch, waiting up to dwWait ms; NULL with *pbEnded set once
// the walker has ended and nothing is left.
TreeBatch *NextBatch(DWORD dwWait, BOOL *pbEnded);
void ReleaseBatch(void);

// ---- registry/notify.cpp: the change watcher thread ----
enum { WATCH_SUSPENDED, WATCH_ARMING, WATCH_WAITING, WATCH_POSTING, WATCH_BACKOFF };
extern volatile LONG nWatchState;
extern volatile LONG nNoticesQueued; // a WM_REFILLTREE is on its way
DWORD WINAPI ChangeNotify(LPVOID lpData);
void StartWatcher(void); // once: resumes the watcher and waits until it is armed
BOOL WatcherIdle(void);

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
