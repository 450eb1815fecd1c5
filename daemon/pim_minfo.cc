#include "daemon/pim_minfo.h"

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "common/timer.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_if.h"
#include "daemon/pim_jp.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_nbr.h"
#include "daemon/pim_nhres.h"
#include "daemon/pim_rp_db.h"
#include "daemon/pim_subsys.h"
#include "daemon/pim_vpn.h"

namespace
{

constexpr uint32_t AUTO_RP_MAPPING_GROUP = 0xE0000128; // 224.0.1.40

unsigned long vpn_id_of(const t_pim_minfo *minfo_p)
{
    return static_cast<unsigned long>(minfo_p->vpn_p->vpn_id);
}

bool minfo_db_ready(const t_pim_vpn *vpn_p)
{
    return vpn_p != nullptr && vpn_p->minfo_db.avl_compar != nullptr;
}

// Keys always hold a typed address: a missing one is the all-zero IPv4 address.
t_ipaddr key_addr(const t_ipaddr *addr)
{
    t_ipaddr r{};
    if (addr != nullptr && addr->addr_type != IP_ADDR_UNKNOWN) {
        IPADDR_COPY(&r, addr);
    } else {
        IPADDR_INIT(&r, IP_ADDR_V4);
    }
    return r;
}

t_pim_minfo minfo_key(e_pim_type type, const t_ipaddr *group, const t_ipaddr *source)
{
    t_pim_minfo key{};
    key.type = type;
    key.group = key_addr(group);
    key.source = key_addr(source);
    return key;
}

int key_cmp(const t_ipaddr &ga, const t_ipaddr &sa, e_pim_type ta, const t_ipaddr &gb,
            const t_ipaddr &sb, e_pim_type tb)
{
    if (int c = pim_minfo_cmp_group(&ga, &gb)) {
        return c;
    }
    if (int c = pim_minfo_cmp_source(&sa, &sb)) {
        return c;
    }
    return avl_cmp3(ta, tb);
}

const char *type_label(e_pim_type type)
{
    switch (type) {
    case PIM_TYPE_XG:
        return "*,G:";
    case PIM_TYPE_SG:
        return "S,G:";
    default:
        return "S,G,RPT:";
    }
}

bool is_auto_rp_mapping(const t_pim_minfo *minfo_p)
{
    return minfo_p->type == PIM_TYPE_AUTO_RP && IPADDR_IS_V4(&minfo_p->group) &&
           minfo_p->group.u.addr4 == AUTO_RP_MAPPING_GROUP;
}

// Formats into a fixed field; longer texts are cut, as labels and dump lines may be.
__attribute__((format(printf, 3, 4))) void print_cut(char *buf, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    (void)vsnprintf(buf, size, fmt, ap);
    va_end(ap);
}

void timer_delete(t_timer *&timer)
{
    if (timer != nullptr) {
        timer_util_delete(timer);
        timer = nullptr;
    }
}

// Appends the texts of the set bits, each followed by a blank.
template <size_t N>
void bits_string(uint32_t word, const std::pair<uint32_t, const char *> (&names)[N], char *buf,
                 size_t size)
{
    if (size == 0) {
        return;
    }
    buf[0] = '\0';
    size_t used = 0;
    for (const auto &[bit, text] : names) {
        if ((word & bit) == 0 || used + 1 >= size) {
            continue;
        }
        int n = snprintf(buf + used, size - used, "%s ", text);
        used = n < 0 ? used : std::min(size - 1, used + static_cast<size_t>(n));
    }
}

} // namespace

namespace
{

void assert_info_free(t_pim_assert_info *&info_p)
{
    if (info_p != nullptr) {
        timer_delete(info_p->assert_timer_p);
        pim_delete(info_p);
        info_p = nullptr;
    }
}

t_pim_assert_info *assert_info_get_or_create(t_pim_assert_info *&info_p)
{
    if (info_p == nullptr) {
        info_p = pim_new<t_pim_assert_info>();
    }
    return info_p;
}

} // namespace

t_pim_assert_info *pim_minfo_assert_get(const t_pim_minfo *minfo_p)
{
    return minfo_p->rpf_assert_info_p;
}

t_pim_assert_info *pim_minfo_assert_get_or_create(t_pim_minfo *minfo_p)
{
    return assert_info_get_or_create(minfo_p->rpf_assert_info_p);
}

void pim_minfo_assert_free(t_pim_minfo *minfo_p) { assert_info_free(minfo_p->rpf_assert_info_p); }

t_pim_assert_info *pim_if_minfo_assert_get(const t_pim_if_minfo *if_minfo_p)
{
    return if_minfo_p->assert_info_p;
}

t_pim_assert_info *pim_if_minfo_assert_get_or_create(t_pim_if_minfo *if_minfo_p)
{
    return assert_info_get_or_create(if_minfo_p->assert_info_p);
}

void pim_if_minfo_assert_free(t_pim_if_minfo *if_minfo_p)
{
    assert_info_free(if_minfo_p->assert_info_p);
}

e_pim_minfo_assert_state pim_if_minfo_assert_state(const t_pim_if_minfo *if_minfo_p)
{
    return if_minfo_p->assert_info_p != nullptr ? if_minfo_p->assert_info_p->state
                                                : PIM_ASSERT_STATE_NOINFO;
}

t_pim_minfo_str pim_minfo_str(const t_pim_minfo *minfo_p)
{
    t_pim_minfo_str r;
    print_cut(r.c, sizeof(r.c), "%s (%s, %s) ", type_label(minfo_p->type),
              ipaddr_str(&minfo_p->source).c, ipaddr_str(&minfo_p->group).c);
    return r;
}

const char *pim_type_string(e_pim_type type)
{
    switch (type) {
    case PIM_TYPE_XXG:
        return "(*, *)";
    case PIM_TYPE_XG:
        return "(*, G)";
    case PIM_TYPE_SG:
        return "(S, G)";
    case PIM_TYPE_SG_RPT:
        return "(S, G) RPT";
    case PIM_TYPE_AUTO_RP:
        return "Auto-RP";
    case PIM_TYPE_SA:
        return "S-A";
    default:
        return "unknown";
    }
}

const char *pim_upstream_state_string(e_pim_upstream_state state)
{
    switch (state) {
    case PIM_UPSTREAM_NOT_JOINED:
        return "NOT-JOINED";
    case PIM_UPSTREAM_JOINED:
        return "JOINED";
    case PIM_UPSTREAM_NOT_PRUNED:
        return "NOT-PRUNED";
    case PIM_UPSTREAM_PRUNED:
        return "PRUNED";
    default:
        return "unknown";
    }
}

const char *pim_dstream_state_string(e_pim_if_dstream_state state)
{
    switch (state) {
    case PIM_IF_DSTREAM_UNKNOWN:
        return "UNKNOWN";
    case PIM_IF_DSTREAM_NOINFO:
        return "NOINFO";
    case PIM_IF_DSTREAM_JOINED:
        return "JOINED";
    case PIM_IF_DSTREAM_PRUNE_PENDING:
        return "PRUNE-PEND";
    case PIM_IF_DSTREAM_PRUNED:
        return "PRUNED";
    case PIM_IF_DSTREAM_PRUNE_TMP:
        return "PRUNE-TMP";
    case PIM_IF_DSTREAM_PRUNE_PENDING_TMP:
        return "PRUNE-PENDING-TMP";
    default:
        return "unknown";
    }
}

const char *pim_assert_state_string(e_pim_minfo_assert_state state)
{
    switch (state) {
    case PIM_ASSERT_STATE_NOINFO:
        return "NOINFO";
    case PIM_ASSERT_STATE_WINNER:
        return "WINNER";
    case PIM_ASSERT_STATE_LOSER:
        return "LOSER";
    default:
        return "unknown";
    }
}

void pim_minfo_flags_string(const t_pim_minfo *minfo_p, char *buf, size_t size)
{
    static constexpr std::pair<uint32_t, const char *> names[] = {
        {PIM_MINFO_FLAG_NH_CHANGE, "NH_CHANGE"},
        {PIM_MINFO_FLAG_FTM, "FTM"},
        {PIM_MINFO_FLAG_SPT, "SPT"},
    };
    bits_string(minfo_p->minfo_flags, names, buf, size);
}

void pim_macro_results_string(const t_pim_minfo *minfo_p, char *buf, size_t size)
{
    static constexpr std::pair<uint32_t, const char *> names[] = {
        {PIM_MACRO_JOIN_DESIRED, "JOIN-DESIRED"},
        {PIM_MACRO_RPT_JOIN_DESIRED, "RPT-JOIN-DESIRED"},
        {PIM_MACRO_PRUNE_DESIRED, "PRUNE-DESIRED"},
        {PIM_MACRO_SGRPT_EQUAL, "SGRPT-EQUAL"},
        {PIM_MACRO_SA_JOIN_DESIRED, "SA-JOIN-DESIRED"},
    };
    bits_string(minfo_p->macro_result, names, buf, size);
}

// Interface lists.

t_pim_ilist *pim_minfo_ilist_alloc() { return pim_new<t_pim_ilist>(); }

void pim_minfo_ilist_free(t_pim_ilist *list) { pim_delete(list); }

void pim_minfo_ilist_copy(t_pim_ilist *dst, const t_pim_ilist *src) { *dst = *src; }

int pim_minfo_ilist_cmp(const t_pim_ilist *a, const t_pim_ilist *b)
{
    return memcmp(a->bits, b->bits, PIM_ILIST_BYTES);
}

void pim_minfo_ilist_merge(t_pim_ilist *dst, const t_pim_ilist *src)
{
    for (size_t i = 0; i < PIM_ILIST_BYTES; i++) {
        dst->bits[i] |= src->bits[i];
    }
}

void pim_minfo_ilist_exclude(t_pim_ilist *dst, const t_pim_ilist *src)
{
    for (size_t i = 0; i < PIM_ILIST_BYTES; i++) {
        dst->bits[i] &= static_cast<uint8_t>(~src->bits[i]);
    }
}

void pim_minfo_ilist_reset(t_pim_ilist *list) { *list = t_pim_ilist{}; }

void pim_minfo_ilist_set(t_pim_ilist *list, uint32_t index)
{
    if (index < PIM_ILIST_BITS) {
        list->bits[index / 8] |= static_cast<uint8_t>(1U << (index % 8));
    }
}

void pim_minfo_ilist_clear(t_pim_ilist *list, uint32_t index)
{
    if (index < PIM_ILIST_BITS) {
        list->bits[index / 8] &= static_cast<uint8_t>(~(1U << (index % 8)));
    }
}

bool pim_minfo_ilist_test(const t_pim_ilist *list, uint32_t index)
{
    return index < PIM_ILIST_BITS && (list->bits[index / 8] & (1U << (index % 8))) != 0;
}

bool pim_minfo_ilist_empty(const t_pim_ilist *list)
{
    for (uint8_t byte : list->bits) {
        if (byte != 0) {
            return false;
        }
    }
    return true;
}

void pim_minfo_ilist_find_first(const t_pim_ilist *list, uint32_t *out)
{
    pim_minfo_ilist_find_next(list, 0, out);
}

void pim_minfo_ilist_find_next(const t_pim_ilist *list, uint32_t index, uint32_t *out)
{
    *out = 0;
    if (index >= PIM_ILIST_BITS - 1) {
        return;
    }
    // Whole zero bytes are skipped; only the first non-zero one is searched bitwise.
    for (uint32_t i = index + 1; i < PIM_ILIST_BITS;) {
        uint8_t byte = static_cast<uint8_t>(list->bits[i / 8] >> (i % 8));
        if (byte == 0) {
            i = (i / 8 + 1) * 8;
            continue;
        }
        *out = i + static_cast<uint32_t>(__builtin_ctz(byte));
        return;
    }
}

void pim_ilist_to_str(t_pim_vpn *vpn_p, const t_pim_ilist *list, char *buf, size_t size)
{
    if (size == 0) {
        return;
    }
    buf[0] = '\0';
    size_t used = 0;
    uint32_t index = 0;
    for (pim_minfo_ilist_find_first(list, &index); index != 0 && used + 1 < size;
         pim_minfo_ilist_find_next(list, index, &index)) {
        char name[PIM_IF_NAME_LEN];
        pim_if_index_to_str(vpn_p, index, name, sizeof(name));
        int n = snprintf(buf + used, size - used, "%s ", name);
        used = n < 0 ? used : std::min(size - 1, used + static_cast<size_t>(n));
    }
}

// Keys and orders.

int pim_minfo_cmp_group(const t_ipaddr *a, const t_ipaddr *b) { return IPADDR_CMP(a, b); }

int pim_minfo_cmp_source(const t_ipaddr *a, const t_ipaddr *b) { return IPADDR_CMP(a, b); }

int pim_minfo_cmp(const void *a, const void *b)
{
    const auto *x = static_cast<const t_pim_minfo *>(a);
    const auto *y = static_cast<const t_pim_minfo *>(b);
    return key_cmp(x->group, x->source, x->type, y->group, y->source, y->type);
}

int pim_if_minfo_cmp(const void *a, const void *b)
{
    const auto *x = static_cast<const t_pim_if_minfo *>(a);
    const auto *y = static_cast<const t_pim_if_minfo *>(b);
    return key_cmp(x->minfo_p->group, x->minfo_p->source, x->type, y->minfo_p->group,
                   y->minfo_p->source, y->type);
}

int pim_minfo_ifindex_cmp(const void *a, const void *b)
{
    const t_pim_if *x = static_cast<const t_pim_if_minfo *>(a)->if_p;
    const t_pim_if *y = static_cast<const t_pim_if_minfo *>(b)->if_p;
    if (int c = avl_cmp3(x->pim_if_type, y->pim_if_type)) {
        return c;
    }
    if (int c = avl_cmp3(x->if_index, y->if_index)) {
        return c;
    }
    // Interfaces still without a bitmap index must not share one place.
    return avl_cmp3(reinterpret_cast<uintptr_t>(x), reinterpret_cast<uintptr_t>(y));
}

// Entries.

bool pim_minfo_debug_on(const t_pim_minfo *minfo_p, uint8_t level)
{
    const t_pim_debug *dbg = pim_vpn_debug(minfo_p->vpn_p);
    if (!pim_debug_events_on(dbg, level)) {
        return false;
    }
    return dbg == nullptr || IPADDR_IS_ZERO(&dbg->group_addr) ||
           (dbg->group_addr.addr_type == minfo_p->group.addr_type &&
            IPADDR_CMP(&dbg->group_addr, &minfo_p->group) == 0);
}

e_pim_status pim_minfo_init(t_pim_vpn *vpn_p)
{
    avl_create(&vpn_p->minfo_db, pim_minfo_cmp, sizeof(t_pim_minfo),
               offsetof(t_pim_minfo, tree_node));
    TAILQ_INIT(&vpn_p->tmp_sgrpt_list);
    return PIM_STATUS_OK;
}

void pim_minfo_destroy(t_pim_vpn *vpn_p)
{
    if (!minfo_db_ready(vpn_p)) {
        return;
    }
    pim_jp_unit_begin(vpn_p);
    // pim_minfo_delete also frees the records left on each entry.
    while (auto *minfo_p = avl_first<t_pim_minfo>(&vpn_p->minfo_db)) {
        pim_minfo_delete(minfo_p);
    }
    avl_destroy(&vpn_p->minfo_db);
    vpn_p->minfo_db = avl_tree_t{};
}

t_pim_minfo *pim_minfo_find(t_pim_vpn *vpn_p, e_pim_type type, const t_ipaddr *group,
                            const t_ipaddr *source, avl_index_t *where)
{
    if (!minfo_db_ready(vpn_p)) {
        return nullptr;
    }
    t_pim_minfo key = minfo_key(type, group, source);
    return avl_find(&vpn_p->minfo_db, &key, where);
}

t_pim_minfo *pim_minfo_find_next(t_pim_vpn *vpn_p, e_pim_type type, const t_ipaddr *group,
                                 const t_ipaddr *source)
{
    if (!minfo_db_ready(vpn_p)) {
        return nullptr;
    }
    t_pim_minfo key = minfo_key(type, group, source);
    return avl_find_next(&vpn_p->minfo_db, &key);
}

t_pim_minfo *pim_minfo_group_first(t_pim_vpn *vpn_p, const t_ipaddr *group)
{
    if (!minfo_db_ready(vpn_p)) {
        return nullptr;
    }
    // The smallest key of the group: zero IPv4 source (below every other
    // source) and type 0 (below every entry type).
    t_pim_minfo key = minfo_key(PIM_TYPE_INVALID, group, nullptr);
    t_pim_minfo *minfo_p = avl_find_current_or_next(&vpn_p->minfo_db, &key, nullptr);
    if (minfo_p == nullptr || pim_minfo_cmp_group(&minfo_p->group, &key.group) != 0) {
        return nullptr;
    }
    return minfo_p;
}

t_pim_minfo *pim_minfo_find_or_create(t_pim_vpn *vpn_p, t_pim_if *, e_pim_type type,
                                      const t_ipaddr *group, const t_ipaddr *source,
                                      const t_ipaddr *rp)
{
    bool creatable = type == PIM_TYPE_XG || type == PIM_TYPE_SG || type == PIM_TYPE_SG_RPT ||
                     type == PIM_TYPE_AUTO_RP;
    if (!minfo_db_ready(vpn_p) || !creatable) {
        return nullptr;
    }
    avl_index_t where;
    if (t_pim_minfo *minfo_p = pim_minfo_find(vpn_p, type, group, source, &where)) {
        if (rp != nullptr) {
            pim_minfo_rp_update(vpn_p, minfo_p, rp);
        }
        if (is_auto_rp_mapping(minfo_p)) {
            PIM_LOG_MINFO(minfo_p, PIM_DEBUG_LEVEL_DETAIL,
                          "vpn: %lu %s:Schedule processing for IGMP shadow joins",
                          vpn_id_of(minfo_p), pim_minfo_str(minfo_p).c);
            pim_igmp_shadow_schedule_process(vpn_p);
        }
        return minfo_p;
    }

    auto *minfo_p = pim_new<t_pim_minfo>();
    if (minfo_p == nullptr) {
        return nullptr;
    }
    minfo_p->vpn_p = vpn_p;
    minfo_p->magic = PIM_MINFO_MAGIC;
    minfo_p->up_time = time(nullptr);
    minfo_p->type = type;
    minfo_p->group = key_addr(group);
    minfo_p->source = key_addr(source);
    IPADDR_INIT(&minfo_p->rpf_nbr_addr, IP_ADDR_V4);
    IPADDR_INIT(&minfo_p->rp_in_use, IP_ADDR_V4);
    if (type == PIM_TYPE_XG) {
        minfo_p->received_rp = key_addr(rp);
    } else if (type == PIM_TYPE_SG) {
        minfo_p->sptbit = true;
    }
    avl_insert(&vpn_p->minfo_db, minfo_p, where);
    avl_create(&minfo_p->if_minfo_db, pim_minfo_ifindex_cmp, sizeof(t_pim_if_minfo),
               offsetof(t_pim_if_minfo, minfo_tree_node));

    if (type != PIM_TYPE_AUTO_RP) {
        if (!timer_util_init(&minfo_p->join_timer_rec, vpn_p->daemon_p->timer_mgr_p,
                             TIMER_PRI_NORMAL, TIMER_TYPE_ONESHOT, PIM_MINFO_JOIN_TIMER_MS,
                             pim_minfo_join_timer_cb, minfo_p, "Join")) {
            PIM_LOG("Failed to allocate Join timer for minfo");
            pim_minfo_delete(minfo_p);
            return nullptr;
        }
        minfo_p->join_timer = &minfo_p->join_timer_rec;
        t_ipaddr target;
        if (!pim_jp_rp_get(minfo_p, &target)) {
            PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_BASIC,
                          "vpn: %lu Failed to get RP info! Minfo %s (%s, %s) ", vpn_id_of(minfo_p),
                          type_label(type), ipaddr_str(&minfo_p->source).c,
                          ipaddr_str(&minfo_p->group).c);
            pim_minfo_delete(minfo_p);
            return nullptr;
        }
        (void)pim_nhres_link_minfo(vpn_p, minfo_p, &target);
        pim_et_minfo_init(minfo_p);
    } else {
        minfo_p->upstream_state = PIM_UPSTREAM_NOT_JOINED;
        (void)pim_nhres_link_minfo(vpn_p, minfo_p, &minfo_p->source);
    }

    pim_vpn_maddr_update(vpn_p->daemon_p, &minfo_p->group);
    PIM_LOG_MINFO(minfo_p, PIM_DEBUG_LEVEL_DETAIL, "vpn: %lu %s:New entry created",
                  vpn_id_of(minfo_p), pim_minfo_str(minfo_p).c);
    if (is_auto_rp_mapping(minfo_p)) {
        PIM_LOG_MINFO(minfo_p, PIM_DEBUG_LEVEL_DETAIL,
                      "vpn: %lu %s:Schedule processing for IGMP shadow joins", vpn_id_of(minfo_p),
                      pim_minfo_str(minfo_p).c);
        pim_igmp_shadow_schedule_process(vpn_p);
    }
    return minfo_p;
}

void pim_minfo_delete(t_pim_minfo *minfo_p)
{
    t_pim_vpn *vpn_p = minfo_p->vpn_p;
    PIM_LOG_MINFO(minfo_p, PIM_DEBUG_LEVEL_DETAIL, "vpn: %lu %s:deleting...", vpn_id_of(minfo_p),
                  pim_minfo_str(minfo_p).c);
    if (minfo_p->join_timer != nullptr) {
        timer_util_fini(minfo_p->join_timer);
        minfo_p->join_timer = nullptr;
    }
    timer_delete(minfo_p->override_timer);
    timer_delete(minfo_p->auto_rp_hold_timer);
    pim_minfo_assert_free(minfo_p);
    pim_free(minfo_p->auto_rp_pkt_cache);
    minfo_p->auto_rp_pkt_cache = nullptr;
    if (is_auto_rp_mapping(minfo_p)) {
        PIM_LOG_MINFO(
            minfo_p, PIM_DEBUG_LEVEL_DETAIL,
            "vpn: %lu %s:Schedule processing for IGMP shadow joins since auto-rp mapping is "
            "being deleted",
            vpn_id_of(minfo_p), pim_minfo_str(minfo_p).c);
        pim_igmp_shadow_schedule_process(vpn_p);
        if (vpn_p->rp_db.avl_compar != nullptr) {
            pim_rp_db_delete_minfo(vpn_p, minfo_p);
        }
    }
    avl_remove(&vpn_p->minfo_db, minfo_p);
    // Records still on the entry would point at freed memory from their
    // interfaces: they go with it.
    while (auto *if_minfo_p = avl_first<t_pim_if_minfo>(&minfo_p->if_minfo_db)) {
        avl_remove(&minfo_p->if_minfo_db, if_minfo_p);
        if_minfo_p->minfo_p = nullptr;
        pim_if_minfo_delete(if_minfo_p);
    }
    avl_destroy(&minfo_p->if_minfo_db);
    pim_minfo_ilist_free(&minfo_p->local_olist_p);
    pim_minfo_ilist_free(&minfo_p->joined_olist_p);
    pim_minfo_ilist_free(&minfo_p->inherited_olist_p);
    pim_minfo_ilist_free(&minfo_p->pruned_olist_p);
    (void)pim_nhres_unlink_minfo(vpn_p, minfo_p);
    if (minfo_p->repl_p != nullptr) {
        pim_repl_minfo_unlink(minfo_p);
    }
    minfo_p->magic = PIM_MINFO_MAGIC_DEAD;
    pim_delete(minfo_p);
}

void pim_minfo_check_and_delete(t_pim_minfo *minfo_p)
{
    if (avl_numnodes(&minfo_p->if_minfo_db) != 0 ||
        (minfo_p->minfo_flags & PIM_MINFO_FLAG_SPT) != 0) {
        return;
    }
    if (minfo_p->type == PIM_TYPE_SG && (minfo_p->minfo_flags & PIM_MINFO_FLAG_SA) != 0) {
        pim_fab_encode_sa(minfo_p, false);
    }
    pim_minfo_delete(minfo_p);
}

void pim_minfo_find_and_delete(t_pim_vpn *vpn_p, e_pim_type type, const t_ipaddr *group,
                               const t_ipaddr *source)
{
    if (t_pim_minfo *minfo_p = pim_minfo_find(vpn_p, type, group, source, nullptr)) {
        pim_minfo_delete(minfo_p);
    }
}

t_pim_minfo *pim_minfo_find_xg_from_sg(t_pim_minfo *minfo_p)
{
    if (minfo_p->type == PIM_TYPE_XG) {
        return minfo_p;
    }
    return pim_minfo_find_xg_from_g(minfo_p->vpn_p, &minfo_p->group);
}

t_pim_minfo *pim_minfo_find_xg_from_g(t_pim_vpn *vpn_p, const t_ipaddr *group)
{
    return pim_minfo_find(vpn_p, PIM_TYPE_XG, group, nullptr, nullptr);
}

void pim_minfo_rp_update(t_pim_vpn *vpn_p, t_pim_minfo *minfo_p, const t_ipaddr *rp)
{
    if (minfo_p->type != PIM_TYPE_XG || rp == nullptr || rp->addr_type == IP_ADDR_UNKNOWN ||
        (minfo_p->received_rp.addr_type == rp->addr_type &&
         IPADDR_CMP(&minfo_p->received_rp, rp) == 0)) {
        return;
    }
    (void)pim_nhres_unlink_minfo(vpn_p, minfo_p);
    IPADDR_COPY(&minfo_p->received_rp, rp);
    (void)pim_nhres_link_minfo(vpn_p, minfo_p, rp);
    pim_nhres_update_minfo(minfo_p);
}

void pim_minfo_copy_keys(t_pim_minfo *dst, const t_pim_minfo *src)
{
    IPADDR_COPY(&dst->group, &src->group);
    IPADDR_COPY(&dst->source, &src->source);
    dst->type = src->type;
}

void pim_minfo_cleanup_nbr(t_pim_vpn *vpn_p, t_pim_nbr *nbr_p)
{
    if (!minfo_db_ready(vpn_p)) {
        return;
    }
    t_pim_minfo key{};
    for (auto *minfo_p = avl_first<t_pim_minfo>(&vpn_p->minfo_db); minfo_p != nullptr;
         minfo_p = avl_find_next(&vpn_p->minfo_db, &key)) {
        // Re-resolving may delete the entry: continue from its key.
        pim_minfo_copy_keys(&key, minfo_p);
        if (minfo_p->rpf_nbr_addr.addr_type == nbr_p->nbr_addr.addr_type &&
            IPADDR_CMP(&minfo_p->rpf_nbr_addr, &nbr_p->nbr_addr) == 0) {
            pim_nhres_update_minfo(minfo_p);
        }
        pim_daemon_process_urgent_timers();
    }
}

void pim_minfo_process_inherited_oilist(t_pim_minfo *minfo_p)
{
    pim_et_process_inherited_oilist(minfo_p);
}

bool pim_jp_rp_get(t_pim_minfo *minfo_p, t_ipaddr *rp_p)
{
    const t_ipaddr *target = nullptr;
    switch (minfo_p->type) {
    case PIM_TYPE_SG:
    case PIM_TYPE_AUTO_RP:
        target = &minfo_p->source;
        break;
    case PIM_TYPE_XG:
        target = &minfo_p->received_rp;
        break;
    case PIM_TYPE_SG_RPT:
        if (const t_pim_minfo *xg_p = pim_minfo_find_xg_from_sg(minfo_p)) {
            target = &xg_p->received_rp;
        }
        break;
    default:
        break;
    }
    if (target == nullptr || IPADDR_IS_ZERO(target)) {
        return false;
    }
    IPADDR_COPY(rp_p, target);
    return true;
}

void pim_minfo_dump(t_pim_vpn *vpn_p, void *user_p, t_pim_dump_out out)
{
    char line[1024];
    snprintf(line, sizeof(line), "\nVPN: %lu (minfo db ptr: %p)",
             static_cast<unsigned long>(vpn_p->vpn_id), static_cast<void *>(&vpn_p->minfo_db));
    out(user_p, line);
    if (!minfo_db_ready(vpn_p)) {
        return;
    }
    for (auto *minfo_p = avl_first<t_pim_minfo>(&vpn_p->minfo_db); minfo_p != nullptr;
         minfo_p = avl_next(&vpn_p->minfo_db, minfo_p)) {
        char flags[64];
        char macros[96];
        char joined[256];
        char local[256];
        char inherited[256];
        char pruned[256];
        pim_minfo_flags_string(minfo_p, flags, sizeof(flags));
        pim_macro_results_string(minfo_p, macros, sizeof(macros));
        pim_ilist_to_str(vpn_p, minfo_p->joined_olist_p, joined, sizeof(joined));
        pim_ilist_to_str(vpn_p, minfo_p->local_olist_p, local, sizeof(local));
        pim_ilist_to_str(vpn_p, minfo_p->inherited_olist_p, inherited, sizeof(inherited));
        pim_ilist_to_str(vpn_p, minfo_p->pruned_olist_p, pruned, sizeof(pruned));
        print_cut(line, sizeof(line),
                  "\n   %s%s Upstream: %s RP: %s RPF nbr: %s (if %u) Flags: %s Macros: %s"
                  "\n      Joined: %s Local: %s Inherited: %s Pruned: %s",
                  pim_minfo_str(minfo_p).c, pim_type_string(minfo_p->type),
                  pim_upstream_state_string(minfo_p->upstream_state),
                  ipaddr_str(&minfo_p->rp_in_use).c, ipaddr_str(&minfo_p->rpf_nbr_addr).c,
                  minfo_p->rpf_nbr_if, flags, macros, joined, local, inherited, pruned);
        out(user_p, line);
        for (auto *if_minfo_p = avl_first<t_pim_if_minfo>(&minfo_p->if_minfo_db);
             if_minfo_p != nullptr; if_minfo_p = avl_next(&minfo_p->if_minfo_db, if_minfo_p)) {
            snprintf(line, sizeof(line), "\n      if: %s Downstream: %s Assert: %s",
                     if_minfo_p->if_p->user_name, pim_dstream_state_string(if_minfo_p->ds_state),
                     pim_assert_state_string(pim_if_minfo_assert_state(if_minfo_p)));
            out(user_p, line);
        }
        pim_daemon_process_urgent_timers();
    }
}
