#include "corvane.h"

void FillEnvironmentList(void) {}
