// The main window's cursor: the "EXCEL" cursor from RESOURCE.DLL, copied so
// the library can be freed at once; the arrow until the copy is held.
#include "corvane.h"

BOOL bCursorErrorShown = FALSE;

// Only the library beside the program, mapped for its resources alone: one
// planted in the working directory or on the path is never found, and no
// code of any library found runs. The path goes in UTF-16: a folder named
// outside the code page is found too. NULL if the path does not fit.
static HMODULE LoadResourceLibrary(void) {
    WCHAR szPath[MAX_PATH + 1];
    DWORD dwLen = GetModuleFileNameW(NULL, szPath, ARRAYSIZE(szPath));
    if (dwLen == 0 || dwLen >= ARRAYSIZE(szPath))
        return NULL; // failed, or cut to fit
    while (dwLen > 0 && szPath[dwLen - 1] != L'\\')
        dwLen--;
    if (dwLen == 0)
        return NULL;
    for (const char *p = SZ_RESLIBRARY; *p; p++) { // ASCII
        if (dwLen + 1 >= ARRAYSIZE(szPath))
            return NULL;
        szPath[dwLen++] = (WCHAR)*p;
    }
    szPath[dwLen] = L'\0';
    return LoadLibraryExW(szPath, NULL, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
}

LRESULT SetCustomCursor(HWND hWnd, HCURSOR *phCurCursor) {
    HCURSOR hArrow = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    SetCursor(*phCurCursor ? *phCurCursor : hArrow);
    if (GetCursor() != hArrow)
        return 0;

    // The copy takes effect from the next request; this one keeps the arrow.
    HMODULE hLibrary = LoadResourceLibrary();
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
