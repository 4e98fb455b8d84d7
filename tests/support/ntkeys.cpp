// Keys by their counted names, through ntdll, so a name may hold a NUL. The
// calls are looked up at run time: a test's fakes of the program's own
// imports never see the tests' reads and writes.
#include "harness.h"

#include <winternl.h>

namespace {

typedef NTSTATUS(NTAPI *OpenFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
typedef NTSTATUS(NTAPI *CreateFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG, PUNICODE_STRING,
                                  ULONG, PULONG);
typedef NTSTATUS(NTAPI *SetValueFn)(HANDLE, PUNICODE_STRING, ULONG, ULONG, PVOID, ULONG);
typedef NTSTATUS(NTAPI *EnumFn)(HANDLE, ULONG, ULONG, PVOID, ULONG, PULONG);
typedef NTSTATUS(NTAPI *DeleteFn)(HANDLE);

FARPROC Ntdll(const char *lpszName) {
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), lpszName);
}

// Relative to hParent, a real handle; in the view the tree shows.
struct Attributes {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attr;
    Attributes(HKEY hParent, const std::wstring &text) {
        name.Length = name.MaximumLength = (USHORT)(text.size() * sizeof(wchar_t));
        name.Buffer = (PWSTR)text.data();
        attr = {};
        attr.Length = sizeof(attr);
        attr.RootDirectory = (HANDLE)hParent;
        attr.ObjectName = &name;
        attr.Attributes = OBJ_CASE_INSENSITIVE;
    }
};

} // namespace

HKEY OpenKeyNt(HKEY hParent, const std::wstring &name, ACCESS_MASK access) {
    static OpenFn pfnOpen = (OpenFn)(void *)Ntdll("NtOpenKey");
    Attributes a(hParent, name);
    HANDLE hKey = NULL;
    return pfnOpen(&hKey, access | KEY_WOW64_64KEY, &a.attr) >= 0 ? (HKEY)hKey : NULL;
}

HKEY CreateKeyNt(HKEY hParent, const std::wstring &name) {
    static CreateFn pfnCreate = (CreateFn)(void *)Ntdll("NtCreateKey");
    Attributes a(hParent, name);
    HANDLE hKey = NULL;
    return pfnCreate(&hKey, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &a.attr, 0, NULL, 0, NULL) >= 0
               ? (HKEY)hKey
               : NULL;
}

bool SetValueNt(HKEY hKey, const std::wstring &name) {
    static SetValueFn pfnSet = (SetValueFn)(void *)Ntdll("NtSetValueKey");
    UNICODE_STRING u = {(USHORT)(name.size() * 2), (USHORT)(name.size() * 2), (PWSTR)name.data()};
    return pfnSet(hKey, &u, 0, REG_SZ, (PVOID)L"x", 4) >= 0;
}

// Deepest first, each key opened by its counted name under its parent.
static void DeleteBelow(HKEY hKey) {
    static EnumFn pfnEnum = (EnumFn)(void *)Ntdll("NtEnumerateKey");
    static DeleteFn pfnDelete = (DeleteFn)(void *)Ntdll("NtDeleteKey");
    // KEY_BASIC_INFORMATION: a write time, a title index, the name's bytes.
    alignas(8) BYTE info[16 + 2 * 256];
    for (ULONG i = 0;;) {
        ULONG cb = 0;
        if (pfnEnum(hKey, i, 0, info, sizeof(info), &cb) < 0)
            return;
        ULONG cbName = *(ULONG *)(info + 12);
        std::wstring name((const wchar_t *)(info + 16), cbName / sizeof(wchar_t));
        HKEY hSub = OpenKeyNt(hKey, name, KEY_ALL_ACCESS);
        bool bGone = false;
        if (hSub) {
            DeleteBelow(hSub);
            bGone = pfnDelete(hSub) >= 0;
            RegCloseKey(hSub);
        }
        i += !bGone; // a key that stays is stepped over
    }
}

void DeleteTree(HKEY hRoot, const char *lpszPath) {
    HKEY hKey;
    if (RegOpenKeyExA(hRoot, lpszPath, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &hKey) != ERROR_SUCCESS)
        return;
    DeleteBelow(hKey);
    RegCloseKey(hKey);
    RegDeleteKeyExA(hRoot, lpszPath, KEY_WOW64_64KEY, 0);
}
