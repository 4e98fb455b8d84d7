// The real keys on the reader's path, from the top of the hive down. An
// open follows registry links, so the walk by name can reach a key it is
// already inside of, and then every level repeats it. Each key is named as
// the registry knows it, after links, and one already on its own path is
// where a link loops. Links can also multiply paths without a loop: two
// links to the next key at every level make 2^depth paths. So a key reached
// through a link has its subkeys read a bounded number of times in one
// walk; then it shows as a folder with nothing in it, as a looping link
// does. The work stays within that many times the hive's, whatever its links.
#include "registry/grow.h"
#include "registry/reader.h"
#include "registry/records.h"

#include <new>
#include <unordered_map>

static const WCHAR szHiveName[] = L"\\REGISTRY\\MACHINE";

static struct {
    WCHAR *pNames; // each level's real name, one after another
    size_t cchMax;
    DWORD nAt[MAX_TREE_DEPTH + 1], cch[MAX_TREE_DEPTH + 1]; // cch 0: not known
    BYTE *pInfo;                                            // the last answer of QueryKeyName
    size_t cbInfo;
    BOOL bCapped; // a linked key had its share
} path;
// Keys reached through links in this walk, by a hash of the real name: how
// often their subkeys were read.
static std::unordered_map<ULONGLONG, DWORD> linked;

// The key's full name, or NULL when it cannot be had.
static const WCHAR *QueryName(HKEY hKey, DWORD *pcch) {
    for (int nTry = 0; nTry < 3; nTry++) {
        if (!Reserve(&path.pInfo, &path.cbInfo, 1024))
            return NULL;
        ULONG cb = QueryKeyName(hKey, path.pInfo, (ULONG)path.cbInfo);
        if (cb && cb <= path.cbInfo) {
            *pcch = *(ULONG *)path.pInfo / sizeof(WCHAR);
            return (const WCHAR *)(path.pInfo + sizeof(ULONG));
        }
        if (!cb || !Reserve(&path.pInfo, &path.cbInfo, cb))
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
// the level above: then no link led to it. Names compare as the registry
// compares them, case aside, on their counted lengths.
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

// One more reading of a linked key's subkeys; FALSE once it has had its
// share, or when it cannot be counted (then it is not read: the bound holds).
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
    // Without links each level's name is longer than the one above, so the
    // lengths rarely let a comparison through.
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
