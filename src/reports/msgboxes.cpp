#include "corvane.h"

void ShowKeyboardType(void) {}
void ShowComputerName(void) {}
void ShowDirectories(void) {}
void ShowVersion(void) {}
