// The interface lists an entry keeps: the ascending bitmap indexes of its
// interfaces, in the list pointer while they are few, allocated beyond. Most
// entries have one or two interfaces, so a list costs no more than its pointer;
// computations still run on stack bitmaps, which the lists merge into.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>

#include "daemon/pim_mem.h"
#include "daemon/pim_minfo.h"

namespace
{

// Up to six indexes live in the list pointer itself, with no allocation: bit 0
// set marks such a list, bits 1-3 hold the count and each index takes 10 bits
// from bit 4 (indexes are below 1024). Longer lists are allocated, and an
// allocated list is 8-byte aligned, so its bit 0 is clear.
constexpr size_t INLINE_MAX = 6;
constexpr unsigned INLINE_INDEX_BITS = 10;
constexpr unsigned INLINE_FIRST_BIT = 4;
static_assert(PIM_ILIST_BITS <= (1u << INLINE_INDEX_BITS));
static_assert(INLINE_FIRST_BIT + INLINE_MAX * INLINE_INDEX_BITS <= 64);

bool is_inline(const t_pim_olist *list) { return (reinterpret_cast<uintptr_t>(list) & 1) != 0; }

bool is_allocated(const t_pim_olist *list) { return list != nullptr && !is_inline(list); }

uint16_t *slots(t_pim_olist *list) { return reinterpret_cast<uint16_t *>(list + 1); }

const uint16_t *slots(const t_pim_olist *list)
{
    return reinterpret_cast<const uint16_t *>(list + 1);
}

// The indexes of a list: in its slots, or unpacked into buf for an inline one.
struct t_olist_view {
    uint16_t buf[INLINE_MAX];
    std::span<const uint16_t> indexes;
};

void view(const t_pim_olist *list, t_olist_view *v)
{
    if (list == nullptr) {
        v->indexes = {};
        return;
    }
    if (!is_inline(list)) {
        v->indexes = {slots(list), list->count};
        return;
    }
    auto word = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(list));
    auto count = static_cast<size_t>((word >> 1) & 7);
    for (size_t i = 0; i < count; i++) {
        v->buf[i] = static_cast<uint16_t>((word >> (INLINE_FIRST_BIT + i * INLINE_INDEX_BITS)) &
                                          ((1u << INLINE_INDEX_BITS) - 1));
    }
    v->indexes = {v->buf, count};
}

// Makes list hold the count ascending indexes (count at most INLINE_MAX) inline.
void store_inline(t_pim_olist **list, const uint16_t *idx, size_t count)
{
    uint64_t word = 0;
    for (size_t i = 0; i < count; i++) {
        word |= static_cast<uint64_t>(idx[i]) << (INLINE_FIRST_BIT + i * INLINE_INDEX_BITS);
    }
    if (is_allocated(*list)) {
        pim_free(*list);
    }
    *list = count == 0
                ? nullptr
                : reinterpret_cast<t_pim_olist *>(static_cast<uintptr_t>(word | (count << 1) | 1));
}

// An allocated list with room for at least count indexes, keeping the indexes
// it has; the header and slots fill a multiple of 8 bytes.
bool reserve(t_pim_olist **list, size_t count)
{
    t_olist_view v{};
    view(*list, &v);
    t_pim_olist *old = is_allocated(*list) ? *list : nullptr;
    if (old != nullptr && old->cap >= count) {
        return true;
    }
    size_t bytes = (sizeof(t_pim_olist) + count * sizeof(uint16_t) + 7) & ~size_t{7};
    auto *grown = static_cast<t_pim_olist *>(pim_realloc(old, bytes));
    if (grown == nullptr) {
        PIM_LOG("Could not allocate an interface list");
        return false;
    }
    if (old == nullptr) {
        std::copy(v.indexes.begin(), v.indexes.end(), slots(grown));
        grown->count = static_cast<uint16_t>(v.indexes.size());
    }
    grown->cap = static_cast<uint16_t>((bytes - sizeof(t_pim_olist)) / sizeof(uint16_t));
    *list = grown;
    return true;
}

size_t ilist_count(const t_pim_ilist *list)
{
    size_t n = 0;
    for (size_t i = 0; i < PIM_ILIST_BYTES; i += sizeof(uint64_t)) {
        uint64_t word;
        memcpy(&word, &list->bits[i], sizeof(word));
        n += static_cast<size_t>(std::popcount(word));
    }
    return n;
}

} // namespace

void pim_minfo_ilist_free(t_pim_olist **list)
{
    if (is_allocated(*list)) {
        pim_free(*list);
    }
    *list = nullptr;
}

void pim_minfo_ilist_set(t_pim_olist **list, uint32_t index)
{
    if (index == 0 || index >= PIM_ILIST_BITS) {
        return;
    }
    t_olist_view v{};
    view(*list, &v);
    std::span<const uint16_t> have = v.indexes;
    auto at = static_cast<size_t>(std::lower_bound(have.begin(), have.end(), index) - have.begin());
    if (at < have.size() && have[at] == index) {
        return;
    }
    if (have.size() < INLINE_MAX) {
        uint16_t idx[INLINE_MAX];
        std::copy(have.begin(), have.begin() + static_cast<ptrdiff_t>(at), idx);
        idx[at] = static_cast<uint16_t>(index);
        std::copy(have.begin() + static_cast<ptrdiff_t>(at), have.end(), idx + at + 1);
        store_inline(list, idx, have.size() + 1);
        return;
    }
    if (!reserve(list, have.size() + 1)) {
        return;
    }
    uint16_t *s = slots(*list);
    std::copy_backward(s + at, s + (*list)->count, s + (*list)->count + 1);
    s[at] = static_cast<uint16_t>(index);
    (*list)->count++;
}

void pim_minfo_ilist_clear(t_pim_olist **list, uint32_t index)
{
    t_olist_view v{};
    view(*list, &v);
    std::span<const uint16_t> have = v.indexes;
    auto it = std::lower_bound(have.begin(), have.end(), index);
    if (it == have.end() || *it != index) {
        return;
    }
    auto at = static_cast<size_t>(it - have.begin());
    if (have.size() <= INLINE_MAX + 1) {
        uint16_t idx[INLINE_MAX];
        std::copy(have.begin(), it, idx);
        std::copy(it + 1, have.end(), idx + at);
        store_inline(list, idx, have.size() - 1);
        return;
    }
    uint16_t *s = slots(*list);
    std::copy(s + at + 1, s + (*list)->count, s + at);
    (*list)->count--;
}

bool pim_minfo_ilist_test(const t_pim_olist *list, uint32_t index)
{
    t_olist_view v{};
    view(list, &v);
    return std::binary_search(v.indexes.begin(), v.indexes.end(), index);
}

bool pim_minfo_ilist_empty(const t_pim_olist *list) { return list == nullptr; }

void pim_minfo_ilist_merge(t_pim_ilist *dst, const t_pim_olist *src)
{
    t_olist_view v{};
    view(src, &v);
    for (uint16_t index : v.indexes) {
        pim_minfo_ilist_set(dst, index);
    }
}

void pim_minfo_ilist_exclude(t_pim_ilist *dst, const t_pim_olist *src)
{
    t_olist_view v{};
    view(src, &v);
    for (uint16_t index : v.indexes) {
        pim_minfo_ilist_clear(dst, index);
    }
}

bool pim_minfo_ilist_store(t_pim_olist **dst, const t_pim_ilist *src)
{
    size_t count = ilist_count(src);
    t_olist_view v{};
    view(*dst, &v);
    if (count == v.indexes.size()) {
        bool same = true;
        for (size_t i = 0; same && i < count; i++) {
            same = pim_minfo_ilist_test(src, v.indexes[i]);
        }
        if (same) {
            return false;
        }
    }
    if (count <= INLINE_MAX) {
        uint16_t idx[INLINE_MAX];
        size_t n = 0;
        uint32_t index = 0;
        for (pim_minfo_ilist_find_first(src, &index); index != 0;
             pim_minfo_ilist_find_next(src, index, &index)) {
            idx[n++] = static_cast<uint16_t>(index);
        }
        store_inline(dst, idx, n);
        return true;
    }
    if (!reserve(dst, count)) {
        return true;
    }
    uint16_t *s = slots(*dst);
    uint16_t n = 0;
    uint32_t index = 0;
    for (pim_minfo_ilist_find_first(src, &index); index != 0;
         pim_minfo_ilist_find_next(src, index, &index)) {
        s[n++] = static_cast<uint16_t>(index);
    }
    (*dst)->count = n;
    return true;
}

void pim_minfo_ilist_find_first(const t_pim_olist *list, uint32_t *out)
{
    t_olist_view v{};
    view(list, &v);
    *out = v.indexes.empty() ? 0 : v.indexes[0];
}

void pim_minfo_ilist_find_next(const t_pim_olist *list, uint32_t index, uint32_t *out)
{
    t_olist_view v{};
    view(list, &v);
    auto it = std::upper_bound(v.indexes.begin(), v.indexes.end(), index);
    *out = it != v.indexes.end() ? *it : 0;
}

void pim_ilist_to_str(t_pim_vpn *vpn_p, const t_pim_olist *list, char *buf, size_t size)
{
    t_pim_ilist bits{};
    pim_minfo_ilist_merge(&bits, list);
    pim_ilist_to_str(vpn_p, &bits, buf, size);
}
