// The tree writer. Only the window's thread runs it.
#include "registry/writer.h"

#include "registry/grow.h"

BOOL bWineTreeView = FALSE;
static BOOL bRedrawOff;                                      // by WM_SETREDRAW
enum { IMG_FOLDER = 0, IMG_FOLDER_OPEN = 1, IMG_VALUE = 2 }; // the tree's images

double NowMs(void) {
    static double dTicksPerMs;
    LARGE_INTEGER li;
    if (!dTicksPerMs && QueryPerformanceFrequency(&li))
        dTicksPerMs = li.QuadPart / 1000.0;
    QueryPerformanceCounter(&li);
    return li.QuadPart / dTicksPerMs;
}

// Every message to the tree goes as UTF-16.
static LRESULT Tree(UINT uMsg, WPARAM wParam, const void *lParam) {
    return SendMessageW(hTree, uMsg, wParam, (LPARAM)lParam);
}

static HTREEITEM NextItem(HTREEITEM hItem, UINT uFlag) {
    return (HTREEITEM)Tree(TVM_GETNEXTITEM, uFlag, hItem);
}

// A name as the tree shows it.
static WCHAR szText[MAX_NAME_UNITS + 1];
static WCHAR *NameText(const BYTE *pName) {
    DecodeName(pName, (char16_t *)szText, ARRAYSIZE(szText), true);
    return szText;
}

// The tree asks the model for an item's text; under Wine it keeps a copy.
static HTREEITEM Insert(HTREEITEM hParent, HTREEITEM hAfter, const BYTE *pName, int nImage) {
    TVINSERTSTRUCTW tvi = {};
    tvi.hParent = hParent;
    tvi.hInsertAfter = hAfter ? hAfter : TVI_FIRST;
    tvi.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM;
    tvi.item.pszText = bWineTreeView ? NameText(pName) : LPSTR_TEXTCALLBACKW;
    tvi.item.iImage = nImage;
    tvi.item.iSelectedImage = nImage == IMG_FOLDER ? IMG_FOLDER_OPEN : nImage;
    tvi.item.lParam = (LPARAM)pName;
    return hParent ? (HTREEITEM)Tree(TVM_INSERTITEMW, 0, &tvi) : NULL;
}

HTREEITEM InsertKeyItem(HTREEITEM hParent, HTREEITEM hAfter, KeyNode *pNode) {
    return Insert(hParent, hAfter, pNode->abNames, IMG_FOLDER);
}

// A node that moved tells its item where its name now is.
static void SetNameAt(HTREEITEM hItem, const BYTE *pName) {
    if (bWineTreeView || !hItem || hItem == TVI_ROOT)
        return; // the item keeps its own copy
    TVITEMW item = {};
    item.mask = TVIF_PARAM;
    item.hItem = hItem;
    item.lParam = (LPARAM)pName;
    Tree(TVM_SETITEMW, 0, &item);
}

// ---- Emptying: the pieces, worked out from the model first ----

// Items one call may free: a tree view frees a whole subtree in one call.
static const size_t PIECE_ITEMS = 64;
static HTREEITEM *phPieces;
static size_t nPieces, nPiecesMax, nPiecesDone;

static size_t ItemsUpTo(const KeyNode *pKey, size_t nLimit) {
    size_t n = 1 + pKey->nValues;
    for (const KeyNode *pSub = pKey->pFirst; pSub && n <= nLimit; pSub = pSub->pNext)
        n += ItemsUpTo(pSub, nLimit - n + 1);
    return n;
}

// A big key's pieces: each small subtree, each big subkey's pieces, then the
// key: on Windows each heads its chain of siblings, under Wine each is the
// oldest left.
static BOOL AddPieces(const KeyNode *pKey) {
    KeyNode **ppSubs = NULL;
    size_t nSubs = 0, nMax = 0;
    BOOL bOk = TRUE;
    for (KeyNode *pSub = pKey->pFirst; pSub && bOk; pSub = pSub->pNext)
        bOk = Push(&ppSubs, &nSubs, &nMax, pSub);
    for (size_t i = 0; i < nSubs && bOk; i++) {
        KeyNode *pSub = ppSubs[bWineTreeView ? nSubs - 1 - i : i];
        bOk = ItemsUpTo(pSub, PIECE_ITEMS) > PIECE_ITEMS
                  ? AddPieces(pSub)
                  : Push(&phPieces, &nPieces, &nPiecesMax, pSub->hItem);
    }
    free(ppSubs);
    return bOk && (pKey == pModelRoot || Push(&phPieces, &nPieces, &nPiecesMax, pKey->hItem));
}

void BeginEmptying(BOOL bByModel) {
    if (nPiecesDone < nPieces && bByModel)
        return; // goes on where it stopped
    nPieces = nPiecesDone = 0;
    if (!bByModel || !pModelRoot || !AddPieces(pModelRoot))
        nPieces = 0; // all in one call
}

BOOL EmptyTree(double dDeadline) {
    while (nPiecesDone < nPieces) {
        Tree(TVM_DELETEITEM, 0, phPieces[nPiecesDone++]);
        if (NowMs() > dDeadline)
            return FALSE;
    }
    Tree(TVM_DELETEITEM, 0, TVI_ROOT); // the hive's values, and the rest
    nPieces = nPiecesDone = 0;
    return TRUE;
}

// ---- A fill's values ----

static KeyNode **ppValueKeys; // every key with values, and the current one's names
static const BYTE **ppValues;
static size_t nValueKeys, nValueKeysMax, nValueKeysDone, nValuesLeft, nValuesMax;

// In the order the keys went in, each level last first: under Wine the
// oldest keys then hold the oldest values, and an emptying oldest first finds
// both near the front of the tree view's list.
static void AddValueKeys(KeyNode *pKey) {
    if (pKey->nValues && pKey->hItem)
        Push(&ppValueKeys, &nValueKeys, &nValueKeysMax, pKey); // no memory: no values
    KeyNode **ppSubs = NULL;
    size_t nSubs = 0, nMax = 0;
    BOOL bOk = TRUE;
    for (KeyNode *pSub = pKey->pFirst; pSub && bOk; pSub = pSub->pNext)
        bOk = Push(&ppSubs, &nSubs, &nMax, pSub);
    for (KeyNode *pSub = pKey->pFirst; pSub && !bOk; pSub = pSub->pNext)
        AddValueKeys(pSub); // no memory: in the model's order
    while (bOk && nSubs)
        AddValueKeys(ppSubs[--nSubs]);
    free(ppSubs);
}

void BeginValues(void) {
    nValueKeys = nValueKeysDone = nValuesLeft = 0;
    if (pModelRoot)
        AddValueKeys(pModelRoot);
}

// Each key's last first, after its last subkey, which Wine's tree view finds
// near the front of its list. One insert under Wine can take tens of ms.
BOOL InsertValues(double dDeadline) {
    for (unsigned nCount = 0; nValueKeysDone < nValueKeys; nValueKeysDone++) {
        KeyNode *pKey = ppValueKeys[nValueKeysDone], *pLast = LastSubkey(pKey);
        const BYTE *pName = FirstValueName(pKey);
        for (DWORD i = nValuesLeft ? pKey->nValues : 0;
             i < pKey->nValues && Push(&ppValues, &nValuesLeft, &nValuesMax, pName); i++)
            pName = NextName(pName);
        while (nValuesLeft) {
            if (nCount++ > 0 && NowMs() > dDeadline)
                return FALSE;
            Insert(pKey->hItem, pLast ? pLast->hItem : NULL, ppValues[--nValuesLeft], IMG_VALUE);
        }
    }
    nValueKeys = nValueKeysDone = 0;
    return TRUE;
}

// ---- An update's ops ----

static TreeOp *pOps;
static size_t nOps, nOpsMax, nOpsDone;
// Where a key's values are being matched: the next old one, and the item
// the next new one goes after (NULL: first).
static HTREEITEM hValueAt, hValueAfter;

BOOL AddOp(const TreeOp &op) {
    return Push(&pOps, &nOps, &nOpsMax, op);
}

static void RunOp(const TreeOp &op) {
    HTREEITEM hGone = hValueAt;
    switch (op.nKind) {
    case OP_KEY:
        op.pNode->hItem =
            InsertKeyItem(op.pParent->hItem, op.pAfter ? op.pAfter->hItem : NULL, op.pNode);
        break;
    case OP_DROP: Tree(TVM_DELETEITEM, 0, op.hItem); break;
    case OP_VALUES_AT:
        SetNameAt(op.pNode->hItem, op.pNode->abNames);
        hValueAfter = op.pAfter ? op.pAfter->hItem : op.hItem;
        hValueAt = hValueAfter                   ? NextItem(hValueAfter, TVGN_NEXT)
                   : op.pNode->hItem == TVI_ROOT ? NextItem(NULL, TVGN_ROOT)
                                                 : NextItem(op.pNode->hItem, TVGN_CHILD);
        break;
    case OP_VALUE_KEEP:
        SetNameAt(hValueAt, op.pName);
        hValueAfter = hValueAt;
        hValueAt = hValueAt ? NextItem(hValueAt, TVGN_NEXT) : NULL;
        break;
    case OP_VALUE_DROP:
        hValueAt = hGone ? NextItem(hGone, TVGN_NEXT) : NULL;
        if (hGone)
            Tree(TVM_DELETEITEM, 0, hGone);
        break;
    case OP_VALUE_TAKE:
        hValueAfter = Insert(op.pNode->hItem, hValueAfter, op.pName, IMG_VALUE);
        break;
    }
}

BOOL SendOps(double dDeadline) {
    for (; nOpsDone < nOps; nOpsDone++) {
        if (dDeadline && nOpsDone > 0 && NowMs() > dDeadline)
            return FALSE;
        RunOp(pOps[nOpsDone]);
    }
    nOps = nOpsDone = 0;
    return TRUE;
}

DWORD OpsLeft(void) {
    return (DWORD)(nOps - nOpsDone);
}

// ---- Redraw, and what the user sees ----

void RedrawOff(BOOL bFill) {
    if (!bRedrawOff || bFill)
        Tree(WM_SETREDRAW, FALSE, NULL);
    bRedrawOff = TRUE;
}

// Turning redraw back on does not repaint by itself.
void RedrawOn(void) {
    if (bRedrawOff)
        Tree(WM_SETREDRAW, TRUE, NULL);
    bRedrawOff = FALSE;
    RedrawWindow(hTree, NULL, NULL, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_ALLCHILDREN);
    UpdateWindow(hTree);
}

void ScrollToTop(void) {
    if (HTREEITEM hFirst = NextItem(NULL, TVGN_ROOT))
        Tree(TVM_SELECTITEM, TVGN_FIRSTVISIBLE, hFirst);
}

// The keys the user opened, which an update closes first; an item the tree
// frees leaves the list as it goes.
static HTREEITEM *phOpened;
static size_t nOpened, nOpenedMax;
static BOOL bTooManyOpened;

void CollapseOpened(void) {
    for (size_t i = 0; i < nOpened; i++)
        Tree(TVM_EXPAND, TVE_COLLAPSE, phOpened[i]);
    nOpened = 0;
    Tree(TVM_SELECTITEM, TVGN_CARET, NULL);
}

DWORD OpenedCount(void) {
    return (DWORD)nOpened;
}

BOOL TooManyOpened(void) {
    return bTooManyOpened;
}

void ResetWriter(BOOL bNewTree) {
    nOpened = 0;
    bTooManyOpened = FALSE;
    if (bNewTree) {
        nPieces = nPiecesDone = nValueKeys = nValueKeysDone = nOps = nOpsDone = 0;
        bRedrawOff = FALSE;
    }
}

static void Opened(HTREEITEM hItem, BOOL bOpen) {
    for (size_t i = 0; i < nOpened; i++)
        if (phOpened[i] == hItem) {
            if (!bOpen)
                phOpened[i] = phOpened[--nOpened];
            return;
        }
    if (bOpen && (nOpened >= 65536 || !Push(&phOpened, &nOpened, &nOpenedMax, hItem)))
        bTooManyOpened = TRUE; // a whole refill collapses them all
}

// In UTF-16, as the window's WM_NOTIFYFORMAT answer says. The tree's buffer
// gets what fits, and the tree is pointed at the whole name.
LRESULT TreeNotify(const NMHDR *pnm) {
    const NMTREEVIEWW *pnmtv = (const NMTREEVIEWW *)pnm;
    if (!hTree || pnm->hwndFrom != hTree)
        return 0;
    if (pnm->code == TVN_GETDISPINFOW) {
        TVITEMW *pItem = &((NMTVDISPINFOW *)pnm)->item;
        NameText((const BYTE *)pItem->lParam);
        if (pItem->pszText && pItem->cchTextMax > 0)
            lstrcpynW(pItem->pszText, szText, pItem->cchTextMax);
        pItem->pszText = szText;
    } else if (pnm->code == TVN_ITEMEXPANDEDW) {
        Opened(pnmtv->itemNew.hItem, (pnmtv->itemNew.state & TVIS_EXPANDED) != 0);
    } else if (pnm->code == TVN_DELETEITEMW && nOpened) {
        Opened(pnmtv->itemOld.hItem, FALSE);
    }
    return 0;
}
