// The tree's keys in the order they went in, each with the size of its
// subtree, so that the next fill can empty the tree in small pieces with no
// message to find one. A tree view frees a whole subtree in one call, so a
// piece holds few items. The two tree views want opposite orders:
// - Wine's keeps its items in the order they came and scans that list from
//   the oldest to find or free one, so the oldest go first.
// - Windows' keeps each parent's children as a chain from the first, linked
//   one way, and walks it from the first to free one, so each piece is
//   taken at the head of its chain: the reverse of the order they went in.
// Which one runs is told by ntdll, which exports wine_get_version under Wine.
#include "registry/registry.h"

struct KeyNote {
    HTREEITEM hItem;
    DWORD nItems; // in its subtree, itself included
    DWORD nSpan;  // notes its subtree takes, its own included
};

static struct {
    KeyNote *pNotes;
    DWORD nNotes, nMax;
    DWORD nOpen[MAX_TREE_DEPTH]; // the note of the last key at each depth
    unsigned nOpenLevels;        // depths below this still take names
    DWORD nNext;                 // the next note to free
    DWORD nBig[MAX_TREE_DEPTH];  // notes too big to free whole, whose subtrees go first
    unsigned nBigLevels;
    BOOL bEmptying, bFromHeads; // a tree is being emptied, in Windows' order
} keys;

BOOL bWineTreeView = FALSE;

// In nSpan, in Windows' order: this note's item is freed by a call of its own.
static const DWORD NOTE_FREED_ALONE = 0x80000000;

// Items one call may free.
static const DWORD PIECE_ITEMS = 64;

// A key whose subtree has ended adds its counts to its parent's.
static void CloseLevels(unsigned nDepth) {
    while (keys.nOpenLevels > nDepth) {
        unsigned nLevel = --keys.nOpenLevels;
        if (nLevel == 0)
            continue;
        KeyNote *pKey = &keys.pNotes[keys.nOpen[nLevel]];
        KeyNote *pParent = &keys.pNotes[keys.nOpen[nLevel - 1]];
        pParent->nItems += pKey->nItems;
        pParent->nSpan += pKey->nSpan;
    }
}

void ForgetKeys(void) {
    keys.nNotes = keys.nNext = 0;
    keys.nOpenLevels = keys.nBigLevels = 0;
    keys.bEmptying = FALSE;
}

// A key that cannot be noted goes with its parent, or with the last call.
void NoteKey(HTREEITEM hItem, unsigned nDepth) {
    CloseLevels(nDepth);
    if (nDepth != keys.nOpenLevels)
        return; // its parent was not noted either
    if (keys.nNotes == keys.nMax) {
        DWORD nNewMax = keys.nMax ? keys.nMax * 2 : 4096;
        void *pNew = keys.pNotes
                         ? HeapReAlloc(GetProcessHeap(), 0, keys.pNotes, nNewMax * sizeof(KeyNote))
                         : HeapAlloc(GetProcessHeap(), 0, nNewMax * sizeof(KeyNote));
        if (!pNew)
            return;
        keys.pNotes = (KeyNote *)pNew;
        keys.nMax = nNewMax;
    }
    keys.pNotes[keys.nNotes] = {hItem, 1, 1};
    keys.nOpen[nDepth] = keys.nNotes++;
    keys.nOpenLevels = nDepth + 1;
}

void NoteValue(unsigned nKeyDepth) {
    if (nKeyDepth < keys.nOpenLevels)
        keys.pNotes[keys.nOpen[nKeyDepth]].nItems++;
}

// Wine's order, oldest first: TRUE once every note is freed.
static BOOL FreeOldestFirst(double dDeadline) {
    for (;;) {
        HTREEITEM hPiece;
        DWORD *pBig = keys.nBigLevels ? &keys.nBig[keys.nBigLevels - 1] : NULL;
        if (pBig && keys.nNext >= *pBig + keys.pNotes[*pBig].nSpan) {
            // Its subtree is gone: the key goes with its values.
            hPiece = keys.pNotes[*pBig].hItem;
            keys.nBigLevels--;
        } else if (keys.nNext < keys.nNotes) {
            KeyNote *pNote = &keys.pNotes[keys.nNext];
            if (pNote->nItems > PIECE_ITEMS && keys.nBigLevels < MAX_TREE_DEPTH) {
                keys.nBig[keys.nBigLevels++] = keys.nNext++;
                continue;
            }
            hPiece = pNote->hItem;
            keys.nNext += pNote->nSpan;
        } else {
            return TRUE;
        }
        SendMessageA(hTree, TVM_DELETEITEM, 0, (LPARAM)hPiece);
        if (NowMs() > dDeadline)
            return FALSE;
    }
}

// Windows' order. Read backwards, the notes give each key's subtree before
// the key, and its subkeys from the last inserted, which heads its chain.
// Marked first: each small subtree whose parent is big goes in one call,
// and a big key once its subkeys are gone, with its values.
static void MarkPieces(void) {
    for (DWORD i = 0; i < keys.nNotes;) {
        KeyNote *pNote = &keys.pNotes[i];
        pNote->nSpan |= NOTE_FREED_ALONE;
        i += pNote->nItems > PIECE_ITEMS ? 1 : pNote->nSpan & ~NOTE_FREED_ALONE;
    }
    keys.nNext = keys.nNotes;
}

static BOOL FreeFromHeads(double dDeadline) {
    while (keys.nNext > 0) {
        KeyNote *pNote = &keys.pNotes[--keys.nNext];
        if (!(pNote->nSpan & NOTE_FREED_ALONE))
            continue;
        SendMessageA(hTree, TVM_DELETEITEM, 0, (LPARAM)pNote->hItem);
        if (NowMs() > dDeadline)
            return FALSE;
    }
    return TRUE;
}

// Frees pieces until the deadline; TRUE once the tree is empty. An emptying
// that a new fill interrupts goes on where it stopped, in the same order.
BOOL EmptyTree(double dDeadline) {
    CloseLevels(0);
    if (!keys.bEmptying) {
        keys.bEmptying = TRUE;
        keys.bFromHeads = !bWineTreeView;
        if (keys.bFromHeads)
            MarkPieces();
    }
    if (!(keys.bFromHeads ? FreeFromHeads(dDeadline) : FreeOldestFirst(dDeadline)))
        return FALSE;
    SendMessageA(hTree, TVM_DELETEITEM, 0, (LPARAM)TVI_ROOT); // what no note holds
    ForgetKeys();
    return TRUE;
}
