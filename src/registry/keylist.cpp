// The tree's keys in the order they went in, each with the size of its
// subtree, so that the next fill can empty the tree in small pieces, oldest
// first. Wine's tree view keeps its items in the order they came and scans
// that list to find or free one: freeing from its front keeps the scans
// short, and no piece needs a message to be found. A tree view frees a
// whole subtree in one call, so a piece holds few items: under Wine each
// costs a scan of the whole list.
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
} keys;

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

// Frees pieces until the deadline; TRUE once the tree is empty.
BOOL EmptyTree(double dDeadline) {
    CloseLevels(0);
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
            break;
        }
        SendMessageA(hTree, TVM_DELETEITEM, 0, (LPARAM)hPiece);
        if (NowMs() > dDeadline)
            return FALSE;
    }
    SendMessageA(hTree, TVM_DELETEITEM, 0, (LPARAM)TVI_ROOT); // what no note holds
    ForgetKeys();
    return TRUE;
}
