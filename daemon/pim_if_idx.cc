#include "daemon/pim_if.h"

#include "common/zul_assert.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_mem.h"

namespace
{

int pim_if_idx_cmp(const void *a, const void *b)
{
    return avl_cmp3(static_cast<const t_pim_if_idx *>(a)->if_idx,
                    static_cast<const t_pim_if_idx *>(b)->if_idx);
}

int pim_if_bitmap_idx_cmp(const void *a, const void *b)
{
    return avl_cmp3(static_cast<const t_pim_if_idx *>(a)->bitmap_idx,
                    static_cast<const t_pim_if_idx *>(b)->bitmap_idx);
}

bool bit_test(const t_pim_bitmap *bm, uint32_t n) { return (bm->bits[n / 8] >> (n % 8)) & 1u; }
void bit_set(t_pim_bitmap *bm, uint32_t n)
{
    bm->bits[n / 8] |= static_cast<uint8_t>(1u << (n % 8));
}
void bit_clear(t_pim_bitmap *bm, uint32_t n)
{
    bm->bits[n / 8] &= static_cast<uint8_t>(~(1u << (n % 8)));
}

t_pim_bitmap *bitmap_new()
{
    t_pim_bitmap *bm = pim_new<t_pim_bitmap>();
    if (bm != nullptr) {
        bit_set(bm, 0); // index 0 means "none" and is never handed out
    }
    return bm;
}

// Next-fit search for a clear bit among 0..511, starting after the cursor
// (the last bit handed out) and wrapping once, so that a released index is
// reused only after a wrap; 0 when every bit is taken.
uint32_t bitmap_get(t_pim_bitmap *bm, uint16_t &cursor)
{
    uint32_t start = (cursor + 1u) % PIM_IF_IDX_BITS;
    for (uint32_t step = 0; step < PIM_IF_IDX_BITS; step++) {
        uint32_t n = (start + step) % PIM_IF_IDX_BITS;
        if (n % 8 == 0 && bm->bits[n / 8] == 0xFF && step + 8 <= PIM_IF_IDX_BITS) {
            step += 7;
            continue;
        }
        if (!bit_test(bm, n)) {
            bit_set(bm, n);
            cursor = static_cast<uint16_t>(n);
            return n;
        }
    }
    return 0;
}

void bitmap_release(t_pim_bitmap *bm, uint32_t n)
{
    ZUL_ASSERT(bm != nullptr && n > 0 && n < PIM_IF_IDX_BITS);
    bit_clear(bm, n);
}

} // namespace

// Indexes.

e_pim_status pim_if_idx_init(t_pim_vpn *vpn_p)
{
    vpn_p->if_idx_db_p = bitmap_new();
    if (vpn_p->if_idx_db_p == nullptr) {
        return PIM_STATUS_MEM_FAIL;
    }
    vpn_p->curr_if_idx = 0;
    avl_create(&vpn_p->idx_db, pim_if_idx_cmp, sizeof(t_pim_if_idx),
               offsetof(t_pim_if_idx, if_tree_node));
    avl_create(&vpn_p->bitmap_idx_db, pim_if_bitmap_idx_cmp, sizeof(t_pim_if_idx),
               offsetof(t_pim_if_idx, bitmap_tree_node));
    return PIM_STATUS_OK;
}

void pim_if_idx_destroy(t_pim_vpn *vpn_p)
{
    if (vpn_p->idx_db.avl_compar != nullptr) {
        while (auto *rec = avl_first<t_pim_if_idx>(&vpn_p->idx_db)) {
            avl_remove(&vpn_p->idx_db, rec);
            avl_remove(&vpn_p->bitmap_idx_db, rec);
            pim_delete(rec);
        }
        avl_destroy(&vpn_p->idx_db);
        avl_destroy(&vpn_p->bitmap_idx_db);
    }
    pim_delete(vpn_p->if_idx_db_p);
    vpn_p->if_idx_db_p = nullptr;
}

e_pim_status pim_if_tunnel_idx_init(t_pim_vpn *vpn_p)
{
    vpn_p->tunnel_idx_db_p = bitmap_new();
    vpn_p->curr_tunnel_idx = 0;
    return vpn_p->tunnel_idx_db_p != nullptr ? PIM_STATUS_OK : PIM_STATUS_MEM_FAIL;
}

void pim_if_tunnel_idx_destroy(t_pim_vpn *vpn_p)
{
    pim_delete(vpn_p->tunnel_idx_db_p);
    vpn_p->tunnel_idx_db_p = nullptr;
}

uint32_t pim_if_idx_get(t_pim_vpn *vpn_p)
{
    return bitmap_get(vpn_p->if_idx_db_p, vpn_p->curr_if_idx);
}

void pim_if_idx_release(t_pim_vpn *vpn_p, uint32_t index)
{
    bitmap_release(vpn_p->if_idx_db_p, index);
}

uint32_t pim_if_tunnel_idx_get(t_pim_vpn *vpn_p)
{
    uint32_t n = bitmap_get(vpn_p->tunnel_idx_db_p, vpn_p->curr_tunnel_idx);
    return n == 0 ? 0 : PIM_IF_TUNNEL_IDX_BASE + n;
}

void pim_if_tunnel_idx_release(t_pim_vpn *vpn_p, uint32_t index)
{
    ZUL_ASSERT(index > PIM_IF_TUNNEL_IDX_BASE);
    bitmap_release(vpn_p->tunnel_idx_db_p, index - PIM_IF_TUNNEL_IDX_BASE);
}

t_pim_if_idx *pim_if_idx_find(t_pim_vpn *vpn_p, int kernel_idx, avl_index_t *where)
{
    t_pim_if_idx key{};
    key.if_idx = kernel_idx;
    return avl_find(&vpn_p->idx_db, &key, where);
}

t_pim_if_idx *pim_if_bitmap_idx_find(t_pim_vpn *vpn_p, int bitmap_idx, avl_index_t *where)
{
    t_pim_if_idx key{};
    key.bitmap_idx = bitmap_idx;
    return avl_find(&vpn_p->bitmap_idx_db, &key, where);
}

t_pim_if_idx *pim_if_idx_find_or_create(t_pim_vpn *vpn_p, int kernel_idx, e_pim_if_type type)
{
    if (type == PIM_IF_TYPE_TUNNEL) {
        return nullptr;
    }
    t_pim_if_idx *rec = pim_if_idx_find(vpn_p, kernel_idx, nullptr);
    if (rec == nullptr) {
        rec = pim_new<t_pim_if_idx>();
        if (rec == nullptr) {
            PIM_LOG("Could not allocate memory for idx bitmap");
            return nullptr;
        }
        uint32_t bitmap_idx = pim_if_idx_get(vpn_p);
        if (bitmap_idx == 0) {
            pim_delete(rec);
            PIM_LOG("Failed to get bitmap for idx: %u", static_cast<unsigned>(kernel_idx));
            return nullptr;
        }
        rec->if_idx = kernel_idx;
        rec->bitmap_idx = static_cast<int>(bitmap_idx);
        avl_add(&vpn_p->idx_db, rec);
        avl_add(&vpn_p->bitmap_idx_db, rec);
    }
    if (type == PIM_IF_TYPE_IGMP) {
        rec->igmp_config = true;
    } else {
        rec->pim_config = true;
    }
    return rec;
}

void pim_if_idx_find_and_delete(t_pim_vpn *vpn_p, int index, e_pim_if_type type, bool is_bitmap_idx)
{
    if (type == PIM_IF_TYPE_TUNNEL) {
        return;
    }
    t_pim_if_idx *rec = is_bitmap_idx ? pim_if_bitmap_idx_find(vpn_p, index, nullptr)
                                      : pim_if_idx_find(vpn_p, index, nullptr);
    if (rec == nullptr) {
        return;
    }
    if (type == PIM_IF_TYPE_IGMP) {
        rec->igmp_config = false;
    } else {
        rec->pim_config = false;
    }
    if (!rec->igmp_config && !rec->pim_config) {
        pim_if_idx_release(vpn_p, static_cast<uint32_t>(rec->bitmap_idx));
        avl_remove(&vpn_p->idx_db, rec);
        avl_remove(&vpn_p->bitmap_idx_db, rec);
        pim_delete(rec);
    }
}

uint32_t pim_if_bitmap_idx_to_if_idx(t_pim_vpn *vpn_p, uint32_t index)
{
    if (index > PIM_IF_TUNNEL_IDX_BASE) {
        return index;
    }
    t_pim_if_idx *rec = pim_if_bitmap_idx_find(vpn_p, static_cast<int>(index), nullptr);
    return rec != nullptr ? static_cast<uint32_t>(rec->if_idx) : 0;
}

uint32_t pim_if_idx_to_if_bitmap_idx(t_pim_vpn *vpn_p, uint32_t kernel_idx)
{
    t_pim_if_idx *rec = pim_if_idx_find(vpn_p, static_cast<int>(kernel_idx), nullptr);
    return rec != nullptr ? static_cast<uint32_t>(rec->bitmap_idx) : 0;
}

void pim_if_update_index(t_pim_if *if_p, uint32_t index)
{
    if (if_p->if_index == index) {
        return;
    }
    t_pim_vpn *vpn_p = if_p->vpn_p;
    if (if_p->if_index != 0) {
        ZUL_ASSERT(pim_if_find_by_index(vpn_p, if_p->if_index, if_p->pim_if_type, nullptr) == if_p);
        avl_remove(&vpn_p->if_index_db, if_p);
    }
    if_p->if_index = index;
    if (index != 0) {
        ZUL_ASSERT(pim_if_find_by_index(vpn_p, index, if_p->pim_if_type, nullptr) == nullptr);
        avl_add(&vpn_p->if_index_db, if_p);
    }
}
