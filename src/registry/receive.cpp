// A key's node is made, with its values' names, when the next key comes.
// Each level comes last first: each node goes first under its parent.
#include "registry/receive.h"

#include "registry/grow.h"
#include "registry/parts.h"
#include "registry/writer.h"

static struct {
    LONG nGeneration;
    Batch *pBatch; // being taken, from cbAt on
    DWORD cbAt;
    BOOL bFill, bCannotPlace;
    KeyNode *pRoot;
    KeyNode *pOpen[MAX_TREE_DEPTH + 1]; // the last key at each level; NULL: dropped
    // The key whose values are still coming, with its name first.
    BOOL bPending;
    unsigned nLevel;
    ULONGLONG nStamp;
    BYTE bFlags;
    DWORD nValues;
    BYTE *pNames;
    size_t cbNames, cbNamesMax, cbName;
} rx;

static BOOL AddName(const BYTE *pName) {
    BOOL bAdded = Append(&rx.pNames, &rx.cbNames, &rx.cbNamesMax, pName, NameSize(pName));
    rx.bCannotPlace |= !bAdded;
    return bAdded;
}

static void Pend(unsigned nLevel, const BYTE *pName, ULONGLONG nStamp, BYTE bFlags) {
    rx.cbNames = rx.nValues = 0;
    rx.bPending = AddName(pName);
    rx.cbName = rx.cbNames;
    rx.nLevel = nLevel;
    rx.nStamp = nStamp;
    rx.bFlags = bFlags;
}

// The pending key's node, under the last key one level up; a key whose
// parent was dropped, or that the tree refuses, is dropped with its subtree.
static void Settle(void) {
    if (!rx.bPending)
        return;
    rx.bPending = FALSE;
    unsigned nLevel = rx.nLevel;
    KeyNode *pParent = nLevel ? rx.pOpen[nLevel - 1] : NULL, *pNode = NULL;
    if (nLevel == 0 || pParent) {
        pNode = NewKeyNode(rx.pNames, rx.pNames + rx.cbName, rx.cbNames - rx.cbName, rx.nValues);
        rx.bCannotPlace |= !pNode;
    }
    if (pNode) {
        pNode->nStamp = rx.nStamp;
        pNode->bFlags = rx.bFlags;
        if (rx.bFill)
            pNode->hItem = nLevel ? InsertKeyItem(pParent->hItem, TVI_FIRST, pNode) : TVI_ROOT;
    }
    if (pNode && rx.bFill && !pNode->hItem) {
        FreeKeyNode(pNode);
        pNode = NULL;
    } else if (pNode && nLevel == 0) {
        rx.pRoot = pNode;
        if (rx.bFill) {
            FreeKeyNode(pModelRoot);
            pModelRoot = pNode;
        }
    } else if (pNode) {
        pNode->pNext = pParent->pFirst;
        pParent->pFirst = pNode;
    }
    rx.pOpen[nLevel] = pNode;
}

void BeginReceive(const BYTE *pName, BOOL bFill, LONG nGeneration) {
    rx.nGeneration = nGeneration;
    rx.pBatch = NULL;
    rx.cbAt = 0;
    rx.bFill = bFill;
    rx.bCannotPlace = FALSE;
    rx.pRoot = NULL;
    Pend(0, pName, 0, 0);
}

static void TakeRecord(const Record &r) {
    if (r.nLevel > MAX_TREE_DEPTH)
        return;
    if (r.nKind == RECORD_VALUE) {
        if (rx.bPending && r.nLevel == rx.nLevel && AddName(r.pName)) // else its key was not taken
            rx.nValues++;
    } else if (r.nKind == RECORD_LINKED) {
        if (rx.bPending && r.nLevel == rx.nLevel)
            rx.bFlags |= KEY_LINKED;
        // A link inside a part leads where no watch of the part looks.
        rx.bCannotPlace |= r.nLevel > 0 && !rx.bFill;
    } else {
        Settle();
        if (r.nLevel > 0)
            Pend(r.nLevel, r.pName, r.qwStamp, (BYTE)(r.nKind == RECORD_KEPT ? KEY_KEPT : 0));
    }
}

StepResult TakeBatches(double dDeadline, int *pnEnd) {
    for (unsigned nCount = 0;;) {
        BOOL bEnded;
        if (!rx.pBatch && !(rx.pBatch = NextBatch(FALSE, &bEnded)))
            return bEnded ? STEP_DONE : STEP_STARVED;
        Batch *pBatch = rx.pBatch;
        // Batches of an earlier read cannot come after StopReader; checked anyway.
        for (Record r; pBatch->nGeneration == rx.nGeneration && rx.cbAt < pBatch->cbUsed;) {
            if (nCount++ > 0 && NowMs() > dDeadline)
                return STEP_TIMEUP;
            size_t cb = UnpackRecord(pBatch->data + rx.cbAt, pBatch->cbUsed - rx.cbAt, &r);
            if (!cb)
                break;
            TakeRecord(r);
            rx.cbAt += (DWORD)cb;
        }
        BOOL bLast = pBatch->bLast;
        *pnEnd = pBatch->nEnd;
        rx.pBatch = NULL;
        rx.cbAt = 0;
        ReleaseBatch(); // the reader's again
        if (bLast)
            return STEP_DONE;
    }
}

void WaitForBatch(void) {
    BOOL bEnded;
    if (!rx.pBatch)
        rx.pBatch = NextBatch(TRUE, &bEnded);
}

KeyNode *EndReceive(void) {
    Settle();
    if (!rx.bCannotPlace || rx.bFill)
        return rx.pRoot;
    DropTree(rx.pRoot);
    return NULL;
}
