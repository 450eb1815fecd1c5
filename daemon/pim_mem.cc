#include "daemon/pim_mem.h"

#include <cstdlib>

// The process allocator is jemalloc (linked in); these stay one-to-one so that
// a leak or double free shows up under the sanitizers exactly where it happens.
void *pim_malloc(size_t size) { return malloc(size); }
void *pim_calloc(size_t count, size_t size) { return calloc(count, size); }
void *pim_realloc(void *ptr, size_t size) { return realloc(ptr, size); }
void pim_free(void *ptr) { free(ptr); }
void *pim_pkt_malloc(size_t size) { return malloc(size); }
void pim_pkt_free(void *ptr) { free(ptr); }
