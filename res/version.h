// Corvane's version, in one place: the resource scripts, CMake and the tests
// all take it from here (the manifest cannot include it: a test checks that
// it agrees).
#ifndef CORVANE_VERSION_H
#define CORVANE_VERSION_H

#define CORVANE_VERSION_MAJOR 1
#define CORVANE_VERSION_MINOR 2
#define CORVANE_VERSION_PATCH 3
#define CORVANE_VERSION_TEXT "1.2.3"

#endif
