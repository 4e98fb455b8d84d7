// The model: a compact copy of what the tree shows, owned by the window's
// thread (no other thread reads it; the reader gets copies). It is what a
// key read again is compared with, and what the tree asks for names.
#ifndef CORVANE_REGISTRY_MODEL_H
#define CORVANE_REGISTRY_MODEL_H

#include "corvane.h"
#include "registry/records.h"

enum {
    KEY_LINKED = 1, // reached through links: its subkeys were read through one
    KEY_KEPT = 2,   // in a read tree only: not read again, the model's stands
};

// One key, in one allocation with its names. Its subkeys hang from it in
// the tree's order (the registry's), each linked to the next.
struct KeyNode {
    HTREEITEM hItem;  // TVI_ROOT for the hive
    KeyNode *pNext;   // the next subkey of its parent
    KeyNode *pFirst;  // its first subkey
    ULONGLONG nStamp; // its last write time when read, 0 when not trusted
    DWORD nValues;
    SHORT nWatch; // its watch, or -1
    BYTE bFlags;
    BYTE abNames[1]; // its name, then each value's name, in records.h's form
};

// The node whose own name is at pName.
inline KeyNode *NodeOf(const BYTE *pName) {
    return CONTAINING_RECORD(pName, KeyNode, abNames);
}

extern KeyNode *pModelRoot;

void ResetModel(void); // every node goes; the new root (the hive) too
// A node with the name and the values' names given (cbValues bytes of
// nValues names); NULL when memory runs out.
KeyNode *NewKeyNode(const BYTE *pName, const BYTE *pValues, size_t cbValues, DWORD nValues);
// A copy of pNode (its links included) with other values.
KeyNode *NodeWithValues(const KeyNode *pNode, const KeyNode *pValuesFrom);
void FreeKeyNode(KeyNode *pNode); // the node alone

inline const BYTE *FirstValueName(const KeyNode *pNode) {
    return pNode->abNames + NameSize(pNode->abNames);
}
// The bytes its values' names take, and whether two nodes' values are the same.
size_t ValueBytes(const KeyNode *pNode);
BOOL SameValues(const KeyNode *a, const KeyNode *b);
KeyNode *LastSubkey(const KeyNode *pNode);

#endif
