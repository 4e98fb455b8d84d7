// The manifest this test program carries, and the ANSI code page it asks for.
#include "harness.h"

std::string Manifest() {
    HRSRC hRes = FindResourceA(NULL, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    if (!hRes)
        return "";
    const char *p = (const char *)LockResource(LoadResource(NULL, hRes));
    return std::string(p, SizeofResource(NULL, hRes));
}

UINT CodePageAsked() {
    return Manifest().find(">UTF-8</activeCodePage>") != std::string::npos ? CP_UTF8 : 1252;
}
