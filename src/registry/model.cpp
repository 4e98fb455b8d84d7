// The model's nodes live in a heap of their own, which a whole fill drops
// in one call.
#include "registry/model.h"

#include <cstddef>
#include <cstring>

KeyNode *pModelRoot = NULL;
static HANDLE hModelHeap;

void ResetModel(void) {
    if (hModelHeap)
        HeapDestroy(hModelHeap);
    hModelHeap = HeapCreate(HEAP_NO_SERIALIZE, 0, 0);
    static const BYTE abNoName[] = {0};
    pModelRoot = NewKeyNode(abNoName, NULL, 0, 0);
    if (pModelRoot)
        pModelRoot->hItem = TVI_ROOT;
}

KeyNode *NewKeyNode(const BYTE *pName, const BYTE *pValues, size_t cbValues, DWORD nValues) {
    size_t cbName = NameSize(pName);
    KeyNode *pNode =
        hModelHeap
            ? (KeyNode *)HeapAlloc(hModelHeap, 0, offsetof(KeyNode, abNames) + cbName + cbValues)
            : NULL;
    if (!pNode)
        return NULL;
    ZeroMemory(pNode, offsetof(KeyNode, abNames));
    pNode->nWatch = -1;
    pNode->nValues = nValues;
    memcpy(pNode->abNames, pName, cbName);
    if (cbValues)
        memcpy(pNode->abNames + cbName, pValues, cbValues);
    return pNode;
}

KeyNode *NodeWithValues(const KeyNode *pNode, const KeyNode *pValuesFrom) {
    KeyNode *pNew = NewKeyNode(pNode->abNames, FirstValueName(pValuesFrom), ValueBytes(pValuesFrom),
                               pValuesFrom->nValues);
    if (pNew) {
        memcpy(pNew, pNode, offsetof(KeyNode, nValues));
        pNew->nWatch = pNode->nWatch;
        pNew->bFlags = pNode->bFlags;
    }
    return pNew;
}

void FreeKeyNode(KeyNode *pNode) {
    if (pNode && hModelHeap)
        HeapFree(hModelHeap, 0, pNode);
}

size_t ValueBytes(const KeyNode *pNode) {
    const BYTE *pFirst = FirstValueName(pNode), *p = pFirst;
    for (DWORD i = 0; i < pNode->nValues; i++)
        p = NextName(p);
    return (size_t)(p - pFirst);
}

BOOL SameValues(const KeyNode *a, const KeyNode *b) {
    size_t cb = ValueBytes(a);
    return a->nValues == b->nValues && cb == ValueBytes(b) &&
           memcmp(FirstValueName(a), FirstValueName(b), cb) == 0;
}

KeyNode *LastSubkey(const KeyNode *pNode) {
    KeyNode *pLast = pNode->pFirst;
    while (pLast && pLast->pNext)
        pLast = pLast->pNext;
    return pLast;
}
