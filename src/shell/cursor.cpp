// Custom cursor from RESOURCE.DLL (not built yet: the arrow stays).
#include "corvane.h"

LRESULT SetCustomCursor(HWND, HCURSOR *phCurCursor)
{
    SetCursor(*phCurCursor ? *phCurCursor : LoadCursorA(NULL, (LPCSTR)IDC_ARROW));
    return 0;
}
