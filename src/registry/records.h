// Names as the registry code keeps them, and the records the reader hands
// to the window. No window code: unit-tested and fuzzed natively.
//
// A name is kept counted, in one compact form, in the records and in the
// model alike: a header (the length in units, and whether the units are 16
// bits wide) in 7-bit groups, then the units, one byte each when every unit
// is below 0x100, else two (low byte first). Equal names have equal bytes.
#ifndef CORVANE_REGISTRY_RECORDS_H
#define CORVANE_REGISTRY_RECORDS_H

#include <cstddef>
#include <cstdint>

// The registry's longest name is 16,383 UTF-16 units; a header takes at
// most 3 bytes.
const size_t MAX_NAME_UNITS = 16383;
const size_t MAX_NAME_BYTES = 3 + 2 * MAX_NAME_UNITS;
// Deeper than the registry lets keys nest (512 levels): the last guard of
// a walk that follows links, and the most levels a record names.
#define MAX_TREE_DEPTH 520

// Writes the name of nUnits units into p; the bytes used, or 0 when it does
// not fit in cbFree or is too long.
size_t EncodeName(unsigned char *p, size_t cbFree, const char16_t *pUnits, size_t nUnits);
// The bytes the name at p takes, or 0 when cbLeft holds no whole name.
size_t NameSize(const unsigned char *p, size_t cbLeft = MAX_NAME_BYTES);
inline const unsigned char *NextName(const unsigned char *p) {
    return p + NameSize(p);
}
bool SameName(const unsigned char *a, const unsigned char *b);
// The name's units into pOut (room for nMax, cut to fit): as the registry
// holds them, or as shown, each NUL as U+2400 (a name can hold one) and a
// NUL after the last. The units written.
size_t DecodeName(const unsigned char *p, char16_t *pOut, size_t nMax, bool bShown);
// An order of names by their bytes, for searching; not an alphabetical one.
int CompareNames(const unsigned char *a, const unsigned char *b);

// One name the reader read, at a level below the key it reads (0: that
// key's own values, 1: its subkeys and their values...):
// - a key, with its last write time when that is old enough to trust;
// - a value of the last key at its level;
// - a key kept: not read again, as the window already has it (watched on
//   its own, or with no subkeys and not written since);
// - linked, with no name: the last key at its level was reached through
//   links, and its subkeys are read.
// A key's values come right after it, then its subkeys.
enum RecordKind { RECORD_KEY, RECORD_VALUE, RECORD_KEPT, RECORD_LINKED };
struct Record {
    int nKind;
    unsigned nLevel;
    uint64_t qwStamp; // 0: none
    const unsigned char *pName;
};
// Writes a record into p; the bytes used, or 0 when it does not fit in cbFree.
size_t PackRecord(unsigned char *p, size_t cbFree, const Record &r);
// Reads the record at p; the bytes it takes, or 0 when cbLeft holds no
// whole record.
size_t UnpackRecord(const unsigned char *p, size_t cbLeft, Record *pr);

#endif
