// Registry change watcher (not built yet: the thread does nothing).
#include "corvane.h"

DWORD WINAPI ChangeNotify(LPVOID)
{
    return 0;
}
