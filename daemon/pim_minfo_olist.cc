// The interface lists an entry keeps: the ascending bitmap indexes of its
// interfaces, allocated only while the list is not empty. Most entries have one
// or two interfaces, so a list costs a few bytes where a bitmap costs 128;
// computations still run on stack bitmaps, which the lists merge into.
#include <algorithm>
#include <bit>
#include <cstring>
#include <span>

#include "daemon/pim_mem.h"
#include "daemon/pim_minfo.h"

namespace
{

uint16_t *slots(t_pim_olist *list) { return reinterpret_cast<uint16_t *>(list + 1); }

const uint16_t *slots(const t_pim_olist *list)
{
    return reinterpret_cast<const uint16_t *>(list + 1);
}

std::span<const uint16_t> indexes(const t_pim_olist *list)
{
    if (list == nullptr) {
        return {};
    }
    return {slots(list), list->count};
}

// Room for at least count indexes: the header and slots fill a multiple of 8 bytes.
bool reserve(t_pim_olist **list, size_t count)
{
    if (*list != nullptr && (*list)->cap >= count) {
        return true;
    }
    size_t bytes = (sizeof(t_pim_olist) + count * sizeof(uint16_t) + 7) & ~size_t{7};
    auto *grown = static_cast<t_pim_olist *>(pim_realloc(*list, bytes));
    if (grown == nullptr) {
        PIM_LOG("Could not allocate an interface list");
        return false;
    }
    if (*list == nullptr) {
        grown->count = 0;
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
    pim_free(*list);
    *list = nullptr;
}

void pim_minfo_ilist_set(t_pim_olist **list, uint32_t index)
{
    if (index == 0 || index >= PIM_ILIST_BITS) {
        return;
    }
    std::span<const uint16_t> have = indexes(*list);
    auto at = static_cast<size_t>(std::lower_bound(have.begin(), have.end(), index) - have.begin());
    if (at < have.size() && have[at] == index) {
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
    std::span<const uint16_t> have = indexes(*list);
    auto it = std::lower_bound(have.begin(), have.end(), index);
    if (it == have.end() || *it != index) {
        return;
    }
    uint16_t *s = slots(*list);
    auto at = static_cast<size_t>(it - have.begin());
    std::copy(s + at + 1, s + (*list)->count, s + at);
    if (--(*list)->count == 0) {
        pim_minfo_ilist_free(list);
    }
}

bool pim_minfo_ilist_test(const t_pim_olist *list, uint32_t index)
{
    std::span<const uint16_t> have = indexes(list);
    return std::binary_search(have.begin(), have.end(), index);
}

bool pim_minfo_ilist_empty(const t_pim_olist *list) { return list == nullptr; }

void pim_minfo_ilist_merge(t_pim_ilist *dst, const t_pim_olist *src)
{
    for (uint16_t index : indexes(src)) {
        pim_minfo_ilist_set(dst, index);
    }
}

void pim_minfo_ilist_exclude(t_pim_ilist *dst, const t_pim_olist *src)
{
    for (uint16_t index : indexes(src)) {
        pim_minfo_ilist_clear(dst, index);
    }
}

bool pim_minfo_ilist_store(t_pim_olist **dst, const t_pim_ilist *src)
{
    size_t count = ilist_count(src);
    std::span<const uint16_t> have = indexes(*dst);
    if (count == have.size()) {
        bool same = true;
        for (size_t i = 0; same && i < count; i++) {
            same = pim_minfo_ilist_test(src, have[i]);
        }
        if (same) {
            return false;
        }
    }
    if (count == 0) {
        pim_minfo_ilist_free(dst);
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
    *out = list != nullptr ? slots(list)[0] : 0;
}

void pim_minfo_ilist_find_next(const t_pim_olist *list, uint32_t index, uint32_t *out)
{
    std::span<const uint16_t> have = indexes(list);
    auto it = std::upper_bound(have.begin(), have.end(), index);
    *out = it != have.end() ? *it : 0;
}

void pim_ilist_to_str(t_pim_vpn *vpn_p, const t_pim_olist *list, char *buf, size_t size)
{
    t_pim_ilist bits{};
    pim_minfo_ilist_merge(&bits, list);
    pim_ilist_to_str(vpn_p, &bits, buf, size);
}
