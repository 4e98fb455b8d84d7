// Swapping this program's imports, so tests can watch or fail platform calls.
#include "harness.h"

// NULL if the function is not imported.
static void *PatchImport(const char *lpszDll, const char *lpszFunc, void *pReplacement) {
    // Found by name through the import name table, so patching twice or
    // putting the original back works the same way.
    BYTE *pBase = (BYTE *)GetModuleHandleA(NULL);
    IMAGE_NT_HEADERS *pNt = (IMAGE_NT_HEADERS *)(pBase + ((IMAGE_DOS_HEADER *)pBase)->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (IMAGE_IMPORT_DESCRIPTOR *pDesc = (IMAGE_IMPORT_DESCRIPTOR *)(pBase + dir.VirtualAddress);
         pDesc->Name; pDesc++) {
        if (lstrcmpiA((const char *)(pBase + pDesc->Name), lpszDll) != 0)
            continue;
        IMAGE_THUNK_DATA *pName = (IMAGE_THUNK_DATA *)(pBase + pDesc->OriginalFirstThunk);
        IMAGE_THUNK_DATA *pSlot = (IMAGE_THUNK_DATA *)(pBase + pDesc->FirstThunk);
        for (; pName->u1.AddressOfData; pName++, pSlot++) {
            if (IMAGE_SNAP_BY_ORDINAL(pName->u1.Ordinal))
                continue;
            IMAGE_IMPORT_BY_NAME *pByName =
                (IMAGE_IMPORT_BY_NAME *)(pBase + pName->u1.AddressOfData);
            if (lstrcmpA((const char *)pByName->Name, lpszFunc) != 0)
                continue;
            void **ppSlot = (void **)&pSlot->u1.Function;
            void *pOld = *ppSlot;
            DWORD dwProtect;
            VirtualProtect(ppSlot, sizeof(void *), PAGE_READWRITE, &dwProtect);
            *ppSlot = pReplacement;
            VirtualProtect(ppSlot, sizeof(void *), dwProtect, &dwProtect);
            FlushInstructionCache(GetCurrentProcess(), ppSlot, sizeof(void *));
            return pOld;
        }
    }
    return NULL;
}

ImportPatch::ImportPatch(const char *lpszDll, const char *lpszFunc, void *pFake)
    : dll(lpszDll), func(lpszFunc), pOriginal(PatchImport(lpszDll, lpszFunc, pFake)) {}

ImportPatch::~ImportPatch() {
    if (pOriginal)
        PatchImport(dll.c_str(), func.c_str(), pOriginal);
}
