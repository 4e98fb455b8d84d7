#include "corvane.h"

void FillDriveList(void) {}
