// Registry tree fill (not built yet).
#include "corvane.h"

void FillTreeView(void) {}
void EnumerateRegistry(HKEY, HTREEITEM) {}
