// The main window's cursor: the "EXCEL" cursor from RESOURCE.DLL, copied so
// the library can be freed at once; the arrow until the copy is held.
#include "corvane.h"

BOOL bCursorErrorShown = FALSE;

LRESULT SetCustomCursor(HWND hWnd, HCURSOR *phCurCursor) {
    HCURSOR hArrow = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    SetCursor(*phCurCursor ? *phCurCursor : hArrow);
    if (GetCursor() != hArrow)
        return 0;

    // The copy takes effect from the next request; this one keeps the arrow.
    HMODULE hLibrary = LoadLibraryA(SZ_RESLIBRARY);
    if (hLibrary) {
        HCURSOR hCursor = LoadCursorA(hLibrary, SZ_CURSORRES);
        if (hCursor)
            *phCurCursor = (HCURSOR)CopyIcon((HICON)hCursor);
        FreeLibrary(hLibrary);
    } else if (!bCursorErrorShown) {
        // Once a run: requests keep coming while the box is open (the disabled
        // window still gets them) and must not stack boxes; later requests
        // keep trying quietly, so a library that appears later is picked up.
        bCursorErrorShown = TRUE;
        MessageBoxA(hWnd, "Resource.DLL could not be loaded", NULL, MB_ICONERROR);
    }
    return 0;
}
