// A compact copy of the tree: each key's name, item, subkeys and value
// names, in the tree's order, so that a part of the hive read again can be
// compared with what the tree shows and only the difference sent to it.
// Nodes live in a heap of their own, which a whole fill drops in one call.
#include "registry/registry.h"

#include <cstddef>
#include <cstring>

KeyNode *pModelRoot = NULL;
static HANDLE hModelHeap;

void *ModelAlloc(SIZE_T cb) {
    if (!hModelHeap)
        hModelHeap = HeapCreate(HEAP_NO_SERIALIZE, 0, 0);
    return hModelHeap ? HeapAlloc(hModelHeap, 0, cb) : NULL;
}

static BOOL ModelGrow(void **pp, SIZE_T cb) {
    void *pNew = *pp ? HeapReAlloc(hModelHeap, 0, *pp, cb) : ModelAlloc(cb);
    if (pNew)
        *pp = pNew;
    return pNew != NULL;
}

void ModelFree(void *p) {
    if (p && hModelHeap)
        HeapFree(hModelHeap, 0, p);
}

// Everything goes; the root of a new model is the hive, shown as no item.
void ResetModel(void) {
    if (hModelHeap)
        HeapDestroy(hModelHeap);
    hModelHeap = NULL;
    pModelRoot = NewKeyNode(NULL, "");
    if (pModelRoot)
        pModelRoot->hItem = TVI_ROOT;
}

KeyNode *NewKeyNode(KeyNode *pParent, const char *lpszName) {
    size_t cbName = strlen(lpszName) + 1;
    KeyNode *pNode = (KeyNode *)ModelAlloc(offsetof(KeyNode, szName) + cbName);
    if (!pNode)
        return NULL;
    ZeroMemory(pNode, offsetof(KeyNode, szName));
    pNode->nWatch = -1;
    memcpy(pNode->szName, lpszName, cbName);
    if (pParent && !AdoptKey(pParent, pNode)) {
        ModelFree(pNode);
        return NULL;
    }
    return pNode;
}

BOOL AdoptKey(KeyNode *pParent, KeyNode *pNode) {
    if (pParent->nSubs == pParent->nSubsMax) {
        DWORD nNew = pParent->nSubsMax ? pParent->nSubsMax * 2 : 4;
        if (!ModelGrow((void **)&pParent->ppSubs, nNew * sizeof(KeyNode *)))
            return FALSE;
        pParent->nSubsMax = nNew;
    }
    pParent->ppSubs[pParent->nSubs++] = pNode;
    pNode->pParent = pParent;
    return TRUE;
}

BOOL AddValueNode(KeyNode *pKey, HTREEITEM hItem, const char *lpszName) {
    DWORD cbRecord = (DWORD)(sizeof(HTREEITEM) + strlen(lpszName) + 1);
    if (pKey->cbValuesMax - pKey->cbValues < cbRecord) {
        DWORD cbNew = pKey->cbValuesMax ? pKey->cbValuesMax * 2 : 64;
        while (cbNew - pKey->cbValues < cbRecord)
            cbNew *= 2;
        if (!ModelGrow((void **)&pKey->pValues, cbNew))
            return FALSE;
        pKey->cbValuesMax = cbNew;
    }
    memcpy(pKey->pValues + pKey->cbValues, &hItem, sizeof(hItem));
    memcpy(pKey->pValues + pKey->cbValues + sizeof(hItem), lpszName, cbRecord - sizeof(hItem));
    pKey->cbValues += cbRecord;
    pKey->nValues++;
    return TRUE;
}

// A value record: its item, then its name.
HTREEITEM ValueItem(const BYTE *pRecord) {
    HTREEITEM hItem;
    memcpy(&hItem, pRecord, sizeof(hItem));
    return hItem;
}

DWORD NextValue(const KeyNode *pKey, DWORD cbAt) {
    return cbAt + (DWORD)(sizeof(HTREEITEM) + strlen(ValueName(pKey->pValues + cbAt)) + 1);
}

// The node, its subtree and their watches.
void FreeKeyNode(KeyNode *pNode) {
    for (DWORD i = 0; i < pNode->nSubs; i++)
        if (pNode->ppSubs[i]) // NULL: moved into the model
            FreeKeyNode(pNode->ppSubs[i]);
    if (pNode->nWatch >= 0)
        DropWatch(pNode);
    ModelFree(pNode->ppSubs);
    ModelFree(pNode->pValues);
    ModelFree(pNode);
}

// Names arrive last first (the tree takes each first under its parent):
// a node is turned round when first compared, not all at the fill's end.
BOOL TurnNames(KeyNode *pNode) {
    if (pNode->bTurned)
        return TRUE;
    BYTE *pTurned = NULL;
    if (pNode->nValues > 1 && !(pTurned = (BYTE *)ModelAlloc(pNode->cbValuesMax)))
        return FALSE;
    pNode->bTurned = TRUE;
    for (DWORD i = 0, j = pNode->nSubs; i + 1 < j; i++, j--) {
        KeyNode *p = pNode->ppSubs[i];
        pNode->ppSubs[i] = pNode->ppSubs[j - 1];
        pNode->ppSubs[j - 1] = p;
    }
    if (!pTurned)
        return TRUE;
    DWORD cbTo = pNode->cbValues;
    for (DWORD cbAt = 0; cbAt < pNode->cbValues;) {
        DWORD cbNext = NextValue(pNode, cbAt);
        cbTo -= cbNext - cbAt;
        memcpy(pTurned + cbTo, pNode->pValues + cbAt, cbNext - cbAt);
        cbAt = cbNext;
    }
    ModelFree(pNode->pValues);
    pNode->pValues = pTurned;
    return TRUE;
}

// The key's path under the hive, in bytes with its terminator; 0 when it
// does not fit.
size_t KeyPathOf(const KeyNode *pNode, char *psz, size_t cb) {
    size_t cbNeed = 1;
    for (const KeyNode *p = pNode; p && p->pParent; p = p->pParent)
        cbNeed += strlen(p->szName) + (p->pParent->pParent ? 1 : 0);
    if (cbNeed > cb)
        return 0;
    psz[cbNeed - 1] = '\0';
    size_t cbAt = cbNeed - 1;
    for (const KeyNode *p = pNode; p && p->pParent; p = p->pParent) {
        size_t cch = strlen(p->szName);
        cbAt -= cch;
        memcpy(psz + cbAt, p->szName, cch);
        if (p->pParent->pParent)
            psz[--cbAt] = '\\';
    }
    return cbNeed;
}

unsigned KeyDepth(const KeyNode *pNode) {
    unsigned n = 0;
    for (; pNode && pNode->pParent; pNode = pNode->pParent)
        n++;
    return n;
}

// The notes a whole fill empties the tree by, made again from the model
// after changes: in the order a fill inserts, each key's subkeys last first.
static void NoteSubtree(const KeyNode *pNode, unsigned nDepth) {
    for (DWORD n = 0; n < pNode->nSubs; n++) {
        const KeyNode *pSub = pNode->ppSubs[pNode->bTurned ? pNode->nSubs - 1 - n : n];
        if (!pSub->hItem)
            continue;
        NoteKey(pSub->hItem, nDepth);
        for (DWORD v = 0; v < pSub->nValues; v++)
            NoteValue(nDepth);
        NoteSubtree(pSub, nDepth + 1);
    }
}

void NotesFromModel(void) {
    ForgetKeys();
    if (pModelRoot)
        NoteSubtree(pModelRoot, 0);
}
