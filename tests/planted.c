/* Stands in for a RESOURCE.DLL planted by someone else: it carries the
   "EXCEL" cursor and code that marks the process when it runs. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved) {
    (void)hInstance;
    (void)lpReserved;
    if (dwReason == DLL_PROCESS_ATTACH)
        SetEnvironmentVariableA("CORVANE_PLANTED_RAN", "1");
    return TRUE;
}
