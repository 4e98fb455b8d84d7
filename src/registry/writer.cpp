// The tree writer. Only the window's thread runs it.
#include "registry/writer.h"

#include "registry/grow.h"

#include <cstring>

BOOL bWineTreeView = FALSE;
static BOOL bRedrawOff; // the tree's, by WM_SETREDRAW

// The tree's images: a closed and an open folder for keys, a page for values.
enum { IMG_FOLDER = 0, IMG_FOLDER_OPEN = 1, IMG_VALUE = 2 };

// Read before every insert of a slice: the frequency is asked for once.
double NowMs(void) {
    static double dTicksPerMs;
    LARGE_INTEGER li;
    if (!dTicksPerMs) {
        QueryPerformanceFrequency(&li);
        dTicksPerMs = li.QuadPart / 1000.0;
    }
    QueryPerformanceCounter(&li);
    return li.QuadPart / dTicksPerMs;
}

// A name as the tree shows it: its text, UTF-8 as this program's code page.
static char szText[MAX_NAME_UNITS + 1];
static const char *NameText(const BYTE *pName) {
    size_t cch = NameLength(pName);
    memcpy(szText, NameUnits(pName), cch);
    szText[cch] = '\0';
    return szText;
}

// Each item carries where its name is in the model; the tree asks for it
// there, or under Wine keeps a copy.
static HTREEITEM Insert(HTREEITEM hParent, HTREEITEM hAfter, const BYTE *pName, int nImage,
                        int nSelected) {
    TVINSERTSTRUCTA tvi = {};
    tvi.hParent = hParent;
    tvi.hInsertAfter = hAfter;
    tvi.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM;
    tvi.item.pszText = bWineTreeView ? (LPSTR)NameText(pName) : LPSTR_TEXTCALLBACKA;
    tvi.item.iImage = nImage;
    tvi.item.iSelectedImage = nSelected;
    tvi.item.lParam = (LPARAM)pName;
    return (HTREEITEM)SendMessageA(hTree, TVM_INSERTITEMA, 0, (LPARAM)&tvi);
}

HTREEITEM InsertKeyItem(HTREEITEM hParent, HTREEITEM hAfter, KeyNode *pNode) {
    return hParent ? Insert(hParent, hAfter, pNode->abNames, IMG_FOLDER, IMG_FOLDER_OPEN) : NULL;
}

// After the key's last subkey, or first under it.
static HTREEITEM InsertValueItem(const KeyNode *pKey, const KeyNode *pLastSub, const BYTE *pName) {
    HTREEITEM hAfter = pLastSub && pLastSub->hItem ? pLastSub->hItem : TVI_FIRST;
    return pKey->hItem ? Insert(pKey->hItem, hAfter, pName, IMG_VALUE, IMG_VALUE) : NULL;
}

// The whole name, however long: the tree's buffer gets what fits, and the
// tree is pointed at the whole.
static void AnswerText(NMTVDISPINFOA *pInfo) {
    const char *lpszName = NameText((const BYTE *)pInfo->item.lParam);
    if (pInfo->item.pszText && pInfo->item.cchTextMax > 0)
        lstrcpynA(pInfo->item.pszText, lpszName, pInfo->item.cchTextMax);
    pInfo->item.pszText = szText;
}

// ---- Walks over the model, resumable between slices ----

// The keys on the way down, each with its subkeys in the order they are
// taken and how many are done.
struct Level {
    KeyNode *pKey, **ppSubs;
    size_t nSubs, nDone;
};
static struct {
    Level levels[MAX_TREE_DEPTH + 1];
    unsigned nLevels;
    BOOL bOldestFirst; // Wine's order: the subkeys last first, as they went in
} walk;

static BOOL Descend(KeyNode *pKey) {
    if (walk.nLevels > MAX_TREE_DEPTH)
        return FALSE;
    Level *p = &walk.levels[walk.nLevels];
    size_t nMax = 0;
    p->pKey = pKey;
    p->ppSubs = NULL;
    p->nSubs = p->nDone = 0;
    for (KeyNode *pSub = pKey->pFirst; pSub; pSub = pSub->pNext)
        if (!Push(&p->ppSubs, &p->nSubs, &nMax, pSub))
            return FALSE;
    for (size_t i = 0, j = p->nSubs; walk.bOldestFirst && i + 1 < j; i++, j--) {
        KeyNode *pSwap = p->ppSubs[i];
        p->ppSubs[i] = p->ppSubs[j - 1];
        p->ppSubs[j - 1] = pSwap;
    }
    walk.nLevels++;
    return TRUE;
}

static void Ascend(void) {
    free(walk.levels[--walk.nLevels].ppSubs);
}

static void StopWalk(void) {
    while (walk.nLevels)
        Ascend();
}

// ---- Emptying ----

// Items one call may free: a tree view frees a whole subtree in one call.
static const size_t PIECE_ITEMS = 64;
static BOOL bEmptying;

static size_t ItemsUpTo(const KeyNode *pKey, size_t nLimit) {
    size_t n = 1 + pKey->nValues;
    for (const KeyNode *pSub = pKey->pFirst; pSub && n <= nLimit; pSub = pSub->pNext)
        n += ItemsUpTo(pSub, nLimit - n + 1);
    return n;
}

void BeginEmptying(BOOL bByModel) {
    if (bEmptying && bByModel)
        return; // goes on where it stopped
    StopWalk();
    walk.bOldestFirst = bWineTreeView;
    bEmptying = bByModel && pModelRoot && Descend(pModelRoot);
}

// A small subtree goes in one call; a big key once its subkeys are gone,
// with its values. On Windows each piece then heads its chain of siblings;
// under Wine each is the oldest left.
BOOL EmptyTree(double dDeadline) {
    while (bEmptying && walk.nLevels) {
        Level *p = &walk.levels[walk.nLevels - 1];
        HTREEITEM hPiece = NULL;
        if (p->nDone < p->nSubs) {
            KeyNode *pSub = p->ppSubs[p->nDone++];
            if (ItemsUpTo(pSub, PIECE_ITEMS) <= PIECE_ITEMS || !Descend(pSub))
                hPiece = pSub->hItem;
        } else {
            hPiece = walk.nLevels > 1 ? p->pKey->hItem : NULL;
            Ascend();
        }
        if (hPiece) {
            SendMessageA(hTree, TVM_DELETEITEM, 0, (LPARAM)hPiece);
            if (NowMs() > dDeadline)
                return FALSE;
        }
    }
    StopWalk();
    SendMessageA(hTree, TVM_DELETEITEM, 0, (LPARAM)TVI_ROOT); // the hive's values, and the rest
    bEmptying = FALSE;
    return TRUE;
}

// ---- The fill's values ----

static const BYTE **ppValues; // the current key's, to go in last first
static size_t nValuesLeft, nValuesMax;
static KeyNode *pValuesAfter; // the current key's last subkey

void BeginValues(void) {
    StopWalk();
    walk.bOldestFirst = FALSE;
    nValuesLeft = 0;
    if (pModelRoot)
        Descend(pModelRoot);
}

BOOL InsertValues(double dDeadline) {
    for (unsigned nCount = 0; walk.nLevels || nValuesLeft;) {
        if (nValuesLeft) {
            // Checked before every insert but the first: in a tree of a
            // million items one insert under Wine can take tens of ms.
            if (nCount++ > 0 && NowMs() > dDeadline)
                return FALSE;
            Level *p = &walk.levels[walk.nLevels - 1];
            InsertValueItem(p->pKey, pValuesAfter, ppValues[--nValuesLeft]);
            if (!nValuesLeft)
                Ascend();
            continue;
        }
        Level *p = &walk.levels[walk.nLevels - 1];
        if (p->nDone < p->nSubs) {
            Descend(p->ppSubs[p->nDone++]);
            continue;
        }
        const BYTE *pName = FirstValueName(p->pKey);
        size_t nValues = 0;
        for (DWORD i = 0; i < p->pKey->nValues; i++, pName = NextName(pName))
            if (!Push(&ppValues, &nValues, &nValuesMax, pName))
                nValues = 0; // no memory: the key shows no values
        nValuesLeft = nValues;
        pValuesAfter = LastSubkey(p->pKey);
        if (!nValuesLeft)
            Ascend();
    }
    return TRUE;
}

// ---- An update's ops ----

static TreeOp *pOps;
static size_t nOps, nOpsMax, nOpsDone;

BOOL AddOp(const TreeOp &op) {
    return Push(&pOps, &nOps, &nOpsMax, op);
}

// Where a key's values are being matched: the next old one, and the item
// the next new one goes after (NULL: first).
static HTREEITEM hValueAt, hValueAfter;

static HTREEITEM NextItem(HTREEITEM hItem, UINT uFlag) {
    return (HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, uFlag, (LPARAM)hItem);
}

static void SetNameAt(HTREEITEM hItem, const BYTE *pName) {
    if (bWineTreeView || !hItem || hItem == TVI_ROOT)
        return; // the item keeps its own copy
    TVITEMA item = {};
    item.mask = TVIF_PARAM;
    item.hItem = hItem;
    item.lParam = (LPARAM)pName;
    SendMessageA(hTree, TVM_SETITEMA, 0, (LPARAM)&item);
}

static void RunOp(const TreeOp &op) {
    HTREEITEM hGone;
    switch (op.nKind) {
    case OP_KEY:
        op.pNode->hItem =
            InsertKeyItem(op.pParent->hItem,
                          op.pAfter && op.pAfter->hItem ? op.pAfter->hItem : TVI_FIRST, op.pNode);
        break;
    case OP_DROP: SendMessageA(hTree, TVM_DELETEITEM, 0, (LPARAM)op.hItem); break;
    case OP_VALUE: InsertValueItem(op.pNode, op.pAfter, op.pName); break;
    case OP_VALUES_AT:
        hValueAfter = op.hItem;
        hValueAt = op.hItem                      ? NextItem(op.hItem, TVGN_NEXT)
                   : op.pNode->hItem == TVI_ROOT ? NextItem(NULL, TVGN_ROOT)
                                                 : NextItem(op.pNode->hItem, TVGN_CHILD);
        break;
    case OP_VALUE_KEEP:
        SetNameAt(hValueAt, op.pName);
        hValueAfter = hValueAt;
        hValueAt = hValueAt ? NextItem(hValueAt, TVGN_NEXT) : NULL;
        break;
    case OP_VALUE_DROP:
        hGone = hValueAt;
        hValueAt = hGone ? NextItem(hGone, TVGN_NEXT) : NULL;
        if (hGone)
            SendMessageA(hTree, TVM_DELETEITEM, 0, (LPARAM)hGone);
        break;
    case OP_VALUE_TAKE:
        if (op.pNode->hItem)
            hValueAfter = Insert(op.pNode->hItem, hValueAfter ? hValueAfter : TVI_FIRST, op.pName,
                                 IMG_VALUE, IMG_VALUE);
        break;
    case OP_RENAME: SetNameAt(op.pNode->hItem, op.pNode->abNames); break;
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

void ResetWriter(void) {
    StopWalk();
    bEmptying = FALSE;
    nValuesLeft = 0;
    nOps = nOpsDone = 0;
    bRedrawOff = FALSE;
    ForgetOpened();
}

// ---- Redraw, and what the user sees ----

void RedrawOff(BOOL bFill) {
    if (!bRedrawOff || bFill)
        SendMessageA(hTree, WM_SETREDRAW, FALSE, 0);
    bRedrawOff = TRUE;
}

// Turning redraw back on does not repaint by itself.
void RedrawOn(void) {
    if (bRedrawOff)
        SendMessageA(hTree, WM_SETREDRAW, TRUE, 0);
    bRedrawOff = FALSE;
    RedrawWindow(hTree, NULL, NULL, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_ALLCHILDREN);
    UpdateWindow(hTree);
}

void ScrollToTop(void) {
    HTREEITEM hFirst = (HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_ROOT, 0);
    if (hFirst)
        SendMessageA(hTree, TVM_SELECTITEM, TVGN_FIRSTVISIBLE, (LPARAM)hFirst);
}

// The keys the user opened, which an update closes first, as a rebuilt tree
// is all collapsed. An item the tree frees leaves the list as it goes.
static HTREEITEM *phOpened;
static size_t nOpened, nOpenedMax;
static BOOL bTooManyOpened;

void CollapseOpened(void) {
    for (size_t i = 0; i < nOpened; i++)
        SendMessageA(hTree, TVM_EXPAND, TVE_COLLAPSE, (LPARAM)phOpened[i]);
    nOpened = 0;
    SendMessageA(hTree, TVM_SELECTITEM, TVGN_CARET, 0);
}

void ForgetOpened(void) {
    nOpened = 0;
    bTooManyOpened = FALSE;
}

DWORD OpenedCount(void) {
    return (DWORD)nOpened;
}

BOOL TooManyOpened(void) {
    return bTooManyOpened;
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

LRESULT TreeNotify(const NMHDR *pnm) {
    if (pnm->hwndFrom != hTree || !hTree)
        return 0;
    const NMTREEVIEWA *pnmtv = (const NMTREEVIEWA *)pnm;
    switch (pnm->code) {
    case TVN_GETDISPINFOA: AnswerText((NMTVDISPINFOA *)pnm); break;
    case TVN_ITEMEXPANDEDA:
    case TVN_ITEMEXPANDEDW:
        Opened(pnmtv->itemNew.hItem, (pnmtv->itemNew.state & TVIS_EXPANDED) != 0);
        break;
    case TVN_DELETEITEMA:
    case TVN_DELETEITEMW:
        if (nOpened)
            Opened(pnmtv->itemOld.hItem, FALSE);
        break;
    }
    return 0;
}
