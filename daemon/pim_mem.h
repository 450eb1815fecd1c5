// The daemon's allocation wrappers. libevent is pointed at them too, so every
// allocation of the process goes through one place.
#pragma once

#include <cstddef>
#include <new>

void *pim_malloc(size_t size);
void *pim_calloc(size_t count, size_t size);
void *pim_realloc(void *ptr, size_t size);
void pim_free(void *ptr);
void *pim_pkt_malloc(size_t size);
void pim_pkt_free(void *ptr);

// Allocates a zeroed record of type T (a plain record, value-initialised).
template <typename T> T *pim_new()
{
    void *mem = pim_calloc(1, sizeof(T));
    return mem != nullptr ? new (mem) T{} : nullptr;
}

// Destroys and frees a record from pim_new.
template <typename T> void pim_delete(T *rec)
{
    if (rec != nullptr) {
        rec->~T();
        pim_free(rec);
    }
}
