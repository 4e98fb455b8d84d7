// The one way the registry code grows an array: doubling, with realloc. No
// window code, so the pure parts use it too. Each call is false when memory
// runs out, and the array is then as it was.
#ifndef CORVANE_REGISTRY_GROW_H
#define CORVANE_REGISTRY_GROW_H

#include <cstddef>
#include <cstdlib>

// Room for at least nNeed elements.
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

// Appends n elements at *pn. (Push is not written with it: GCC 12 then
// places a static array pointer that only Push writes in read-only data.)
template <class T> bool Append(T **pp, size_t *pn, size_t *pnMax, const T *p, size_t n) {
    if (!Reserve(pp, pnMax, *pn + n))
        return false;
    for (size_t i = 0; i < n; i++)
        (*pp)[(*pn)++] = p[i];
    return true;
}

template <class T> bool Push(T **pp, size_t *pn, size_t *pnMax, const T &value) {
    if (!Reserve(pp, pnMax, *pn + 1))
        return false;
    (*pp)[(*pn)++] = value;
    return true;
}

#endif
