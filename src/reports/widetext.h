// The report text code works on char16_t, the W calls on WCHAR: the same
// UTF-16 units under two names. Pointers change type here, at the boundary,
// and nowhere else.
#ifndef CORVANE_WIDETEXT_H
#define CORVANE_WIDETEXT_H

#include <windows.h>

static_assert(sizeof(WCHAR) == sizeof(char16_t), "the W calls take UTF-16 units");

inline LPWSTR AsWide(char16_t *lpsz) {
    return reinterpret_cast<LPWSTR>(lpsz);
}

// For the records whose text pointer is not const (LVITEMW); Windows only reads it.
inline LPWSTR AsWide(const char16_t *lpsz) {
    return reinterpret_cast<LPWSTR>(const_cast<char16_t *>(lpsz));
}

inline const char16_t *AsUtf16(LPCWSTR lpsz) {
    return reinterpret_cast<const char16_t *>(lpsz);
}

#endif
