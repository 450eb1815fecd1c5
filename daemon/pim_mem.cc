#include "daemon/pim_mem.h"

#include <cstdlib>

// jemalloc reads its options from this symbol at start. Freed pages go back to
// the system at once: by default they wait for a decay that only further
// allocations advance, so an idle daemon kept the peak of a burst (a Join
// flood, hostile input) long after the state it held had expired.
extern "C" {
const char *malloc_conf = "dirty_decay_ms:0,muzzy_decay_ms:0";
}

// The process allocator is jemalloc (linked in); these stay one-to-one so that
// a leak or double free shows up under the sanitizers exactly where it happens.
void *pim_malloc(size_t size) { return malloc(size); }
void *pim_calloc(size_t count, size_t size) { return calloc(count, size); }
void *pim_realloc(void *ptr, size_t size) { return realloc(ptr, size); }
void pim_free(void *ptr) { free(ptr); }
void *pim_pkt_malloc(size_t size) { return malloc(size); }
void pim_pkt_free(void *ptr) { free(ptr); }
