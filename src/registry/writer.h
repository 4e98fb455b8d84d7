// The tree writer: the only code that sends the tree a change. Every name
// goes in first under its parent or right after a known item, so Windows'
// tree view never walks a chain of children to place one, and the tree is
// emptied in pieces in the order its tree view frees quickest.
#ifndef CORVANE_REGISTRY_WRITER_H
#define CORVANE_REGISTRY_WRITER_H

#include "registry/model.h"

// Wine's tree view (docs/registry.md), told by ntdll's wine_get_version;
// the tests and the benchmark may choose.
extern BOOL bWineTreeView;

double NowMs(void);
// A key's item, first under hParent or after hAfter; NULL when refused.
HTREEITEM InsertKeyItem(HTREEITEM hParent, HTREEITEM hAfter, KeyNode *pNode);
// A fill: once every key is in, each key's values go in after its last
// subkey. TRUE once all are in.
void BeginValues(void);
BOOL InsertValues(double dDeadline);
// A fill first empties the tree in pieces, by the model of what it shows
// (bByModel), or else in one call; an emptying a new fill interrupts goes
// on where it stopped. TRUE once the tree is empty.
void BeginEmptying(BOOL bByModel);
BOOL EmptyTree(double dDeadline);

// An update's changes, worked out first and then sent in slices, in order:
// a key's item after another's (or first under its parent), or gone with
// all below it; a key's values, from the item after which they stand, each
// kept, dropped or taken in turn (a key whose node moved is told so).
enum OpKind { OP_KEY, OP_DROP, OP_VALUES_AT, OP_VALUE_KEEP, OP_VALUE_DROP, OP_VALUE_TAKE };
struct TreeOp {
    BYTE nKind;
    KeyNode *pNode;    // the key (OP_KEY), or whose values
    KeyNode *pParent;  // OP_KEY: under this key's item
    KeyNode *pAfter;   // OP_KEY, OP_VALUES_AT: after this key's item, or first
    const BYTE *pName; // a value's name
    HTREEITEM hItem;   // OP_DROP: the item; OP_VALUES_AT, when pAfter is none: the item before
};
BOOL AddOp(const TreeOp &op);   // FALSE when memory runs out
BOOL SendOps(double dDeadline); // 0: all at once; TRUE once every op is sent
DWORD OpsLeft(void);

// Redraw goes off for a fill or a big update: turning it back on makes the
// tree view walk every item, so a small update leaves it on.
void RedrawOff(BOOL bFill); // a fill turns it off even when it is off
void RedrawOn(void);
void ScrollToTop(void);    // the first item at the top, as after a rebuild
void CollapseOpened(void); // what the user opened, before an update changes the tree
DWORD OpenedCount(void);
BOOL TooManyOpened(void); // more opened than kept: only a whole fill closes them
// A whole fill: nothing is open; a new tree view: nothing of the old is left.
void ResetWriter(BOOL bNewTree);

#endif
