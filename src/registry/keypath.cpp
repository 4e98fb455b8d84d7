// Keys by their counted names, through ntdll's calls, imported like any
// other; and the real keys on the reader's path, after links
// (docs/registry.md): one already on its own path is where a link loops,
// and a key reached through links has its subkeys read a bounded number of
// times in one walk.
#include "registry/grow.h"
#include "registry/reader.h"
#include "registry/records.h"

#include <winternl.h>

#include <new>
#include <unordered_map>

extern "C" NTSTATUS NTAPI NtOpenKey(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
extern "C" NTSTATUS NTAPI NtQueryKey(HANDLE, int, PVOID, ULONG, PULONG);

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
    char16_t szName[256];
    size_t cch = DecodeName(pName, szName, ARRAYSIZE(szName), false);
    // An empty name would open hParent itself; past 255 units it is no key's.
    if (!cch || cch > 255)
        return ERROR_FILE_NOT_FOUND;
    return OpenKey(hParent, (PCWSTR)szName, cch, phKey);
}

// ---- The reader's path ----

static const WCHAR szHiveName[] = L"\\REGISTRY\\MACHINE";
static struct {
    WCHAR *pNames; // each level's real name, one after another
    size_t cchMax;
    DWORD nAt[MAX_TREE_DEPTH + 1], cch[MAX_TREE_DEPTH + 1]; // cch 0: not known
    BYTE *pInfo;                                            // the last KEY_NAME_INFORMATION
    size_t cbInfo;
    BOOL bCapped; // a linked key had its share
} path;
// How often the subkeys of each key links led to were read, by a hash of its name.
static std::unordered_map<ULONGLONG, DWORD> linked;

// The key's full name after links, such as \REGISTRY\MACHINE\SOFTWARE\X, or
// NULL when it cannot be had.
static const WCHAR *QueryName(HKEY hKey, DWORD *pcch) {
    ULONG cbNeeded = 1024;
    for (int nTry = 0; nTry < 3 && Reserve(&path.pInfo, &path.cbInfo, cbNeeded); nTry++) {
        NTSTATUS lStatus =
            NtQueryKey(hKey, 3 /* KeyNameInformation */, path.pInfo, (ULONG)path.cbInfo, &cbNeeded);
        if (lStatus >= 0 && *(ULONG *)path.pInfo <= path.cbInfo - sizeof(ULONG)) {
            *pcch = *(ULONG *)path.pInfo / sizeof(WCHAR);
            return (const WCHAR *)(path.pInfo + sizeof(ULONG));
        }
        // STATUS_BUFFER_OVERFLOW or STATUS_BUFFER_TOO_SMALL: cbNeeded says how much.
        if (lStatus != (NTSTATUS)0x80000005 && lStatus != (NTSTATUS)0xC0000023)
            return NULL;
    }
    return NULL;
}

BOOL KeyPathCapped(void) {
    return path.bCapped;
}

void StartKeyPath(void) {
    path.bCapped = FALSE;
    linked.clear();
}

// Whether the key of this real name was opened as the subkey pOpenedAs of
// the level above: then no link led to it. Case aside, as the registry compares.
static BOOL ReachedByName(unsigned nLevel, const WCHAR *pName, DWORD cch, const BYTE *pOpenedAs) {
    char16_t szName[255]; // a key name is at most 255 units
    int cchName = pOpenedAs ? (int)DecodeName(pOpenedAs, szName, 255, false) : 0;
    DWORD cchAbove = path.cch[nLevel - 1];
    if (cchName <= 0 || cchAbove == 0 || cch != cchAbove + 1 + (DWORD)cchName ||
        pName[cchAbove] != L'\\')
        return FALSE;
    return CompareStringOrdinal(pName, (int)cchAbove, path.pNames + path.nAt[nLevel - 1],
                                (int)cchAbove, TRUE) == CSTR_EQUAL &&
           CompareStringOrdinal(pName + cchAbove + 1, cchName, (const WCHAR *)szName, cchName,
                                TRUE) == CSTR_EQUAL;
}

// FALSE once it has had its share, or cannot be counted (then the bound holds).
static BOOL VisitLinked(const WCHAR *pName, DWORD cch) {
    ULONGLONG qwHash = 14695981039346656037ull; // FNV-1a
    for (DWORD i = 0; i < cch; i++)
        qwHash = (qwHash ^ pName[i]) * 1099511628211ull;
    try {
        return ++linked[qwHash] <= MAX_LINKED_VISITS;
    } catch (const std::bad_alloc &) {
        return FALSE;
    }
}

BOOL KeyLoops(HKEY hKey, unsigned nLevel, const BYTE *pOpenedAs, BOOL *pbLinked) {
    *pbLinked = FALSE;
    if (nLevel > MAX_TREE_DEPTH)
        return TRUE;
    DWORD cch = ARRAYSIZE(szHiveName) - 1;
    const WCHAR *pName = nLevel == 0 ? szHiveName : QueryName(hKey, &cch);
    DWORD nAt = nLevel ? path.nAt[nLevel - 1] + path.cch[nLevel - 1] : 0;
    path.nAt[nLevel] = nAt;
    path.cch[nLevel] = 0;
    if (!pName || cch == 0)
        return FALSE; // not known: the depth bound is the guard
    // Each level's name is longer than the one above unless links led here.
    for (unsigned i = 0; i < nLevel; i++)
        if (path.cch[i] == cch && CompareStringOrdinal(path.pNames + path.nAt[i], (int)cch, pName,
                                                       (int)cch, TRUE) == CSTR_EQUAL)
            return TRUE;
    if (nLevel > 0 && !ReachedByName(nLevel, pName, cch, pOpenedAs)) {
        if (!VisitLinked(pName, cch))
            return path.bCapped = TRUE;
        *pbLinked = TRUE;
    }
    if (!Reserve(&path.pNames, &path.cchMax, nAt + cch))
        return FALSE;
    CopyMemory(path.pNames + nAt, pName, cch * sizeof(WCHAR));
    path.cch[nLevel] = cch;
    return FALSE;
}
