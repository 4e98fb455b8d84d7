// ntdll's key calls, imported like any other.
#include "registry/reader.h"

#include "registry/records.h"

#include <winternl.h>

extern "C" NTSTATUS NTAPI NtOpenKey(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
extern "C" NTSTATUS NTAPI NtQueryKey(HANDLE, int, PVOID, ULONG, PULONG);
static const int KEY_NAME_INFORMATION = 3;

static LONG OpenKey(HKEY hRoot, PCWSTR pszName, size_t cch, HKEY *phKey) {
    static REGSAM sam;
    BOOL bWow64 = FALSE;
    if (!sam)
        sam = IsWow64Process(GetCurrentProcess(), &bWow64) && bWow64 ? KEY_READ | KEY_WOW64_64KEY
                                                                     : KEY_READ;
    UNICODE_STRING name = {(USHORT)(cch * 2), (USHORT)(cch * 2), (PWSTR)pszName};
    OBJECT_ATTRIBUTES attr = {};
    attr.Length = sizeof(attr);
    attr.RootDirectory = (HANDLE)hRoot;
    attr.ObjectName = &name;
    attr.Attributes = OBJ_CASE_INSENSITIVE;
    NTSTATUS lStatus = NtOpenKey((PHANDLE)phKey, sam, &attr);
    return lStatus >= 0 ? ERROR_SUCCESS : (LONG)RtlNtStatusToDosError(lStatus);
}

LONG OpenHive(HKEY *phKey) {
    static const WCHAR szHive[] = L"\\Registry\\Machine";
    return OpenKey(NULL, szHive, ARRAYSIZE(szHive) - 1, phKey);
}

LONG OpenSubkey(HKEY hParent, const BYTE *pName, HKEY *phKey) {
    static_assert(sizeof(WCHAR) == sizeof(char16_t), "UTF-16 units");
    char16_t szName[255]; // a key name is at most 255 units
    size_t cch = DecodeName(pName, szName, ARRAYSIZE(szName), false);
    // An empty name would open hParent itself; a longer one is no key's.
    if (!cch || NameLength(pName) > cch)
        return ERROR_FILE_NOT_FOUND;
    return OpenKey(hParent, (PCWSTR)szName, cch, phKey);
}

ULONG QueryKeyName(HKEY hKey, BYTE *pBuf, ULONG cb) {
    ULONG cbNeeded = 0;
    NTSTATUS lStatus = NtQueryKey(hKey, KEY_NAME_INFORMATION, pBuf, cb, &cbNeeded);
    if (lStatus >= 0 && cb >= sizeof(ULONG) && *(ULONG *)pBuf <= cb - sizeof(ULONG))
        return sizeof(ULONG) + *(ULONG *)pBuf;
    // STATUS_BUFFER_OVERFLOW or STATUS_BUFFER_TOO_SMALL: the size it needs.
    return lStatus == (NTSTATUS)0x80000005 || lStatus == (NTSTATUS)0xC0000023 ? cbNeeded : 0;
}
