// ntdll's key calls, found at run time.
#include "registry/ntkey.h"

#include "registry/records.h"

struct UnicodeString {
    USHORT Length, MaximumLength;
    PWSTR Buffer;
};
struct ObjectAttributes {
    ULONG Length;
    HANDLE RootDirectory;
    UnicodeString *ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor, SecurityQualityOfService;
};
static const ULONG OBJ_CASE_INSENSITIVE = 0x40;
static const int KEY_NAME_INFORMATION = 3;

static FARPROC Nt(const char *lpszName) {
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), lpszName);
}

LONG OpenHive(HKEY *phKey) {
    typedef LONG(NTAPI * NtOpenKeyFn)(PHANDLE, ACCESS_MASK, ObjectAttributes *);
    static NtOpenKeyFn pfnOpen = (NtOpenKeyFn)(void *)Nt("NtOpenKey");
    static WCHAR szHive[] = L"\\Registry\\Machine";
    UnicodeString name = {sizeof(szHive) - sizeof(WCHAR), sizeof(szHive), szHive};
    ObjectAttributes attr = {sizeof(attr), NULL, &name, OBJ_CASE_INSENSITIVE, NULL, NULL};
    return pfnOpen && pfnOpen((PHANDLE)phKey, KEY_READ, &attr) >= 0 ? ERROR_SUCCESS
                                                                    : ERROR_CANTOPEN;
}

ULONG QueryKeyName(HKEY hKey, BYTE *pBuf, ULONG cb) {
    typedef LONG(NTAPI * NtQueryKeyFn)(HANDLE, int, PVOID, ULONG, PULONG);
    static NtQueryKeyFn pfnQuery = (NtQueryKeyFn)(void *)Nt("NtQueryKey");
    ULONG cbNeeded = 0;
    if (!pfnQuery)
        return 0;
    LONG lStatus = pfnQuery(hKey, KEY_NAME_INFORMATION, pBuf, cb, &cbNeeded);
    if (lStatus >= 0 && cb >= sizeof(ULONG) && *(ULONG *)pBuf <= cb - sizeof(ULONG))
        return sizeof(ULONG) + *(ULONG *)pBuf;
    // STATUS_BUFFER_OVERFLOW or STATUS_BUFFER_TOO_SMALL: the size it needs.
    return lStatus == (LONG)0x80000005 || lStatus == (LONG)0xC0000023 ? cbNeeded : 0;
}

LONG OpenSubkey(HKEY hParent, const BYTE *pName, HKEY *phKey) {
    static REGSAM sam;
    BOOL bWow64 = FALSE;
    if (!sam)
        sam = IsWow64Process(GetCurrentProcess(), &bWow64) && bWow64 ? KEY_READ | KEY_WOW64_64KEY
                                                                     : KEY_READ;
    char szName[256 * 3 + 1]; // a key name is at most 255 characters
    if (!NameToText(pName, szName, sizeof(szName)))
        return ERROR_FILE_NOT_FOUND; // an empty name would open hParent itself
    return RegOpenKeyExA(hParent, szName, 0, sam, phKey);
}
