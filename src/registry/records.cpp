// The compact name form and the reader's records.
#include "registry/records.h"

#include <cstring>

// The header: nUnits << 1 | bWide, 7 bits a byte, low first.
static size_t PutHeader(unsigned char *p, size_t cbFree, size_t v) {
    size_t cb = 0;
    for (; cb < cbFree && (cb == 0 || v); v >>= 7)
        p[cb++] = (unsigned char)((v & 0x7F) | (v > 0x7F ? 0x80 : 0));
    return v ? 0 : cb;
}

// Its value and bytes; 0 bytes when it runs past cbLeft or is too long.
static size_t GetHeader(const unsigned char *p, size_t cbLeft, size_t *pv) {
    *pv = 0;
    for (size_t cb = 0; cb < cbLeft && cb < 3; cb++) {
        *pv |= (size_t)(p[cb] & 0x7F) << (7 * cb);
        if (!(p[cb] & 0x80))
            return cb + 1;
    }
    return 0;
}

size_t EncodeName(unsigned char *p, size_t cbFree, const char16_t *pUnits, size_t n) {
    bool bWide = false;
    for (size_t i = 0; i < n && !bWide; i++)
        bWide = pUnits[i] > 0xFF;
    size_t cbHead = n > MAX_NAME_UNITS ? 0 : PutHeader(p, cbFree, n << 1 | (bWide ? 1 : 0));
    size_t cbUnits = bWide ? 2 * n : n;
    if (!cbHead || cbFree - cbHead < cbUnits)
        return 0;
    for (size_t i = 0; i < n; i++) {
        p[cbHead + (bWide ? 2 * i : i)] = (unsigned char)(pUnits[i] & 0xFF);
        if (bWide)
            p[cbHead + 2 * i + 1] = (unsigned char)(pUnits[i] >> 8);
    }
    return cbHead + cbUnits;
}

size_t NameSize(const unsigned char *p, size_t cbLeft) {
    size_t v, cbHead = GetHeader(p, cbLeft, &v);
    size_t cbUnits = (v & 1) ? (v >> 1) * 2 : v >> 1;
    if (!cbHead || (v >> 1) > MAX_NAME_UNITS || cbLeft - cbHead < cbUnits)
        return 0;
    return cbHead + cbUnits;
}

size_t DecodeName(const unsigned char *p, char16_t *pOut, size_t nMax, bool bShown) {
    size_t v, n = nMax - (bShown && nMax ? 1 : 0); // room for the NUL after
    const unsigned char *q = p + GetHeader(p, 3, &v);
    n = (v >> 1) < n ? (v >> 1) : n;
    for (size_t i = 0; i < n; i++) {
        char16_t u = (v & 1) ? (char16_t)(q[2 * i] | q[2 * i + 1] << 8) : q[i];
        pOut[i] = bShown && u == 0 ? u'\u2400' : u;
    }
    if (bShown && nMax)
        pOut[n] = 0;
    return n;
}

bool SameName(const unsigned char *a, const unsigned char *b) {
    size_t cb = NameSize(a);
    return cb == NameSize(b) && memcmp(a, b, cb) == 0;
}

int CompareNames(const unsigned char *a, const unsigned char *b) {
    size_t cbA = NameSize(a), cbB = NameSize(b);
    int n = memcmp(a, b, cbA < cbB ? cbA : cbB);
    return n ? n : (cbA > cbB) - (cbA < cbB);
}

// Layout: kind and flags (1 byte), level (2 bytes, low first), the stamp
// (8 bytes, low first) when there is one, then the name.
static const unsigned char FLAG_STAMP = 0x20, KIND_MASK = 0x0F;
static const size_t RECORD_HEAD = 3, STAMP_BYTES = 8;

size_t PackRecord(unsigned char *p, size_t cbFree, const Record &r) {
    size_t cbName = NameSize(r.pName);
    size_t cbHead = RECORD_HEAD + (r.qwStamp ? STAMP_BYTES : 0);
    if (!cbName || r.nKind < 0 || r.nKind > RECORD_LINKED || r.nLevel > 0xFFFF || cbFree < cbHead ||
        cbFree - cbHead < cbName)
        return 0;
    p[0] = (unsigned char)(r.nKind | (r.qwStamp ? FLAG_STAMP : 0));
    p[1] = (unsigned char)(r.nLevel & 0xFF);
    p[2] = (unsigned char)(r.nLevel >> 8);
    for (size_t i = 0; r.qwStamp && i < STAMP_BYTES; i++)
        p[RECORD_HEAD + i] = (unsigned char)(r.qwStamp >> (8 * i));
    memcpy(p + cbHead, r.pName, cbName);
    return cbHead + cbName;
}

size_t UnpackRecord(const unsigned char *p, size_t cbLeft, Record *pr) {
    if (cbLeft < RECORD_HEAD)
        return 0;
    size_t cbHead = RECORD_HEAD + ((p[0] & FLAG_STAMP) ? STAMP_BYTES : 0);
    size_t cbName = cbLeft > cbHead ? NameSize(p + cbHead, cbLeft - cbHead) : 0;
    if (!cbName || (p[0] & KIND_MASK) > RECORD_LINKED || (p[0] & ~(KIND_MASK | FLAG_STAMP)))
        return 0;
    pr->nKind = p[0] & KIND_MASK;
    pr->nLevel = p[1] | (unsigned)p[2] << 8;
    pr->qwStamp = 0;
    for (size_t i = 0; (p[0] & FLAG_STAMP) && i < STAMP_BYTES; i++)
        pr->qwStamp |= (uint64_t)p[RECORD_HEAD + i] << (8 * i);
    if ((p[0] & FLAG_STAMP) && !pr->qwStamp)
        return 0; // written only for a stamp
    pr->pName = p + cbHead;
    return cbHead + cbName;
}
