// The one way the registry code grows an array: to at least nNeed elements,
// doubling, with realloc. No window code, so the pure parts use it too.
#ifndef CORVANE_REGISTRY_GROW_H
#define CORVANE_REGISTRY_GROW_H

#include <cstddef>
#include <cstdlib>

// False when memory runs out; the array is then as it was.
template <class T> bool Reserve(T **pp, size_t *pnMax, size_t nNeed) {
    if (nNeed <= *pnMax)
        return true;
    size_t nNew = *pnMax ? *pnMax : 16;
    while (nNew < nNeed) {
        if (nNew > (size_t)-1 / 2 / sizeof(T))
            return false;
        nNew *= 2;
    }
    void *p = realloc(*pp, nNew * sizeof(T));
    if (!p)
        return false;
    *pp = (T *)p;
    *pnMax = nNew;
    return true;
}

// Appends one element; false when memory runs out.
template <class T> bool Push(T **pp, size_t *pn, size_t *pnMax, const T &value) {
    if (!Reserve(pp, pnMax, *pn + 1))
        return false;
    (*pp)[(*pn)++] = value;
    return true;
}

#endif
