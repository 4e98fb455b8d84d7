#include "corvane.h"

void ListProfileSections(void) {}
void ListPortsSection(void) {}
void ListDefaultLanguage(void) {}
void ListSystemInfo(void) {}
