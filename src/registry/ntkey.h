// Opening keys by their counted names, and a key's full name: native calls
// where the Win32 ones stop at a NUL or share one handle.
#ifndef CORVANE_REGISTRY_NTKEY_H
#define CORVANE_REGISTRY_NTKEY_H

#include "corvane.h"

// A handle of its own to HKEY_LOCAL_MACHINE: a wait belongs to the handle it
// was armed on, and the predefined one is a single handle shared by all.
LONG OpenHive(HKEY *phKey);
// Opens the subkey named pName (records.h's form) of hParent, a real handle,
// for reading: by its counted name, so a NUL inside it opens the key it
// names; in the 64-bit view when this 32-bit program runs on 64-bit Windows,
// as regedit shows it (the 32-bit view shows Wow6432Node as Software).
LONG OpenSubkey(HKEY hParent, const BYTE *pName, HKEY *phKey);
// The full name of the key hKey refers to, after any links, such as
// \REGISTRY\MACHINE\SOFTWARE\X, into pBuf (cb bytes): the bytes it needs,
// or 0 when it cannot be had. The name is pBuf + sizeof(ULONG), counted.
ULONG QueryKeyName(HKEY hKey, BYTE *pBuf, ULONG cb);

#endif
