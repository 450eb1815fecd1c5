// The multicast topology tables: one row per routing entry, in the order of
// the VPN's entry tree (group, source, type), and under each entry one row per
// interface of its inherited outgoing list, in index order.
#include <cstdint>

#include "common/avl.h"
#include "common/timer.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_if.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_show_util.h"
#include "daemon/pim_vpn.h"

namespace
{

constexpr uint32_t TAG_GROUP = zconfd_tag("group");
constexpr uint32_t TAG_SOURCE = zconfd_tag("source");
constexpr uint32_t TAG_ENTRY_TYPE = zconfd_tag("entry-type");
constexpr uint32_t TAG_RPF_NBR = zconfd_tag("rpf-neighbor");
constexpr uint32_t TAG_UPSTREAM_STATE = zconfd_tag("upstream-state");
constexpr uint32_t TAG_RPF_IF = zconfd_tag("rpf-interface");

// Bits of the flags leaves.
constexpr uint64_t PIM_SHOW_TOPO_FLAG_SPT = 0x1;
constexpr uint64_t PIM_SHOW_OIL_FLAG_ASSERT_WINNER = 0x1;

// Keys of a routing entry after the VPN id.
constexpr int TOPO_ROW_KEYS = 3;

// The interface of a bitmap index: the local interface before an IGMP
// interface on the same index.
t_pim_if *pim_show_topo_if(t_pim_vpn *vpn_p, uint32_t index)
{
    return index != 0 ? pim_if_find_by_index(vpn_p, index, PIM_IF_TYPE_ANY, nullptr) : nullptr;
}

void pim_show_topo_add_addr(t_show_row *row, uint32_t tag, const t_ipaddr *addr)
{
    if (!IPADDR_IS_ZERO(addr)) {
        row->add(zconfd_val_ipaddr(tag, addr));
    }
}

void pim_show_topo_add_if(t_show_row *row, t_pim_vpn *vpn_p, uint32_t index)
{
    t_pim_if *if_p = pim_show_topo_if(vpn_p, index);
    if (if_p != nullptr) {
        row->add(zconfd_val_str(TAG_RPF_IF, if_p->user_name));
    }
}

// The time left on a running timer; an entry runs at most one of the two
// timers shown.
void pim_show_topo_add_expiry(t_show_row *row, const t_pim_minfo *minfo_p)
{
    for (const t_timer *timer : {minfo_p->join_timer, minfo_p->auto_rp_hold_timer}) {
        if (timer != nullptr && timer_is_active(timer)) {
            int64_t ticks = timer_get_ticks_to_expiry(timer);
            row->add(zconfd_val_str(
                PIM_SHOW_TAG_EXPIRES,
                zul_util_get_time_ddhhmmss(ticks > 0 ? static_cast<uint64_t>(ticks) : 0,
                                           g_show_expiry, sizeof(g_show_expiry))));
            return;
        }
    }
}

// ---- "multicast-topo" ----

void pim_show_topo_encode(t_pim_vpn *vpn_p, t_pim_minfo *minfo_p, t_show_row *row)
{
    bool sgrpt = minfo_p->type == PIM_TYPE_SG_RPT;
    row->add_u32(PIM_SHOW_TAG_VPN_ID, vpn_p->vpn_id);
    row->add(zconfd_val_ipaddr(TAG_GROUP, &minfo_p->group));
    row->add(zconfd_val_ipaddr(TAG_SOURCE, &minfo_p->source));
    row->add(zconfd_val_enum(TAG_ENTRY_TYPE, minfo_p->type));
    if (minfo_p->type == PIM_TYPE_XG) {
        pim_show_topo_add_addr(row, PIM_SHOW_TAG_RP_ADDRESS, &minfo_p->rp_in_use);
    }
    if (!sgrpt) {
        pim_show_topo_add_addr(row, TAG_RPF_NBR, &minfo_p->rpf_nbr_addr);
    }
    // A source pruned off the shared tree is shown with the tree it leaves.
    t_pim_minfo *xg_p = sgrpt && (minfo_p->macro_result & PIM_MACRO_PRUNE_DESIRED) != 0
                            ? pim_minfo_find_xg_from_sg(minfo_p)
                            : nullptr;
    if (xg_p != nullptr) {
        pim_show_topo_add_addr(row, PIM_SHOW_TAG_RP_ADDRESS, &xg_p->rp_in_use);
        if (minfo_p->upstream_state == PIM_UPSTREAM_PRUNED) {
            pim_show_topo_add_addr(row, TAG_RPF_NBR, &xg_p->rpf_nbr_addr);
        }
        pim_show_topo_add_if(row, vpn_p, xg_p->rpf_nbr_if);
    }
    row->add(zconfd_val_enum(TAG_UPSTREAM_STATE, minfo_p->upstream_state));
    if (!sgrpt) {
        pim_show_topo_add_if(row, vpn_p, minfo_p->rpf_nbr_if);
    }
    row->add(
        zconfd_val_str(PIM_SHOW_TAG_UP_TIME, zul_util_get_time(minfo_p->up_time, g_show_up_time,
                                                               sizeof(g_show_up_time))));
    pim_show_topo_add_expiry(row, minfo_p);
    if ((minfo_p->minfo_flags & PIM_MINFO_FLAG_SPT) != 0) {
        row->add(zconfd_val_uint(PIM_SHOW_TAG_FLAGS, ZCONFD_VT_BITS, PIM_SHOW_TOPO_FLAG_SPT));
    }
}

// The entry type of a key, kept within the types' range so that an unknown
// one still orders: below every entry when negative, above when too large.
bool pim_show_topo_key_type(const t_zconfd_value *key, e_pim_type *type)
{
    uint64_t value = 0;
    if (!pim_show_key_u64(key, &value)) {
        return false;
    }
    bool negative = (key->type == ZCONFD_VT_ENUM || key->type == ZCONFD_VT_INT) && key->v.i64 < 0;
    if (negative) {
        *type = PIM_TYPE_INVALID;
    } else {
        *type = value < PIM_TYPE_MAX ? static_cast<e_pim_type>(value) : PIM_TYPE_MAX;
    }
    return true;
}

// The entry at or after the keys (group, source, type). Missing trailing keys
// sort below every entry: an unknown address family and type 0.
t_pim_minfo *pim_show_topo_at(t_pim_vpn *vpn_p, const t_zconfd_value *keys, int num_keys,
                              e_show_find mode)
{
    if (!pim_show_tree_ready(&vpn_p->minfo_db)) {
        return nullptr;
    }
    if (num_keys == 0) {
        return avl_first<t_pim_minfo>(&vpn_p->minfo_db);
    }
    t_ipaddr group{};
    t_ipaddr source{};
    e_pim_type type = PIM_TYPE_INVALID;
    if (!pim_show_key_addr(&keys[0], &group) ||
        (num_keys > 1 && !pim_show_key_addr(&keys[1], &source)) ||
        (num_keys > 2 && !pim_show_topo_key_type(&keys[2], &type))) {
        return nullptr;
    }
    t_pim_minfo *minfo_p = nullptr;
    if (num_keys >= TOPO_ROW_KEYS && mode != SHOW_FIND_NEXT) {
        minfo_p = pim_minfo_find(vpn_p, type, &group, &source, nullptr);
    }
    if (minfo_p == nullptr && mode != SHOW_FIND_EXACT) {
        minfo_p = pim_minfo_find_next(vpn_p, type, &group, &source);
    }
    return minfo_p;
}

// The entry named by the leading keys of a request (VPN, group, source, type).
t_pim_minfo *pim_show_topo_parent(t_pim_daemon *daemon_p, const t_zconfd_value *keys, int num_keys,
                                  t_pim_vpn **vpn_pp)
{
    uint64_t vpn_id = 0;
    if (num_keys < 1 + TOPO_ROW_KEYS || !pim_show_key_u64(&keys[0], &vpn_id)) {
        return nullptr;
    }
    *vpn_pp = pim_show_vpn_find(daemon_p, vpn_id);
    if (*vpn_pp == nullptr) {
        return nullptr;
    }
    return pim_show_topo_at(*vpn_pp, keys + 1, TOPO_ROW_KEYS, SHOW_FIND_EXACT);
}

// ---- "multicast-topology-oil" ----

// Assert winner on the interface for the entry, or, when the entry has no
// state there, for its group's (*,G) entry.
bool pim_show_topo_oil_winner(t_pim_if *if_p, t_pim_minfo *minfo_p)
{
    if (if_p->pim_if_type != PIM_IF_TYPE_LOCAL) {
        return false;
    }
    t_pim_if_minfo *rec_p = pim_if_minfo_find_from_minfo(if_p, minfo_p);
    if (rec_p == nullptr) {
        t_pim_minfo *xg_p = pim_minfo_find_xg_from_sg(minfo_p);
        rec_p = xg_p != nullptr ? pim_if_minfo_find_from_minfo(if_p, xg_p) : nullptr;
    }
    return rec_p != nullptr && pim_if_minfo_assert_state(rec_p) == PIM_ASSERT_STATE_WINNER;
}

// An index has a row when its interface exists.
bool pim_show_topo_oil_encode(t_pim_vpn *vpn_p, t_pim_minfo *minfo_p, uint32_t index,
                              bool with_index, t_show_row *row)
{
    t_pim_if *if_p = pim_show_topo_if(vpn_p, index);
    if (if_p == nullptr) {
        return false;
    }
    if (with_index) {
        row->add_u32(PIM_SHOW_TAG_INDEX, index);
    }
    if (if_p->pim_if_type == PIM_IF_TYPE_TUNNEL) {
        row->add(zconfd_val_ipaddr(PIM_SHOW_TAG_TUNNEL_ADDRESS, &if_p->if_addr.addr));
        return true;
    }
    row->add(zconfd_val_str(PIM_SHOW_TAG_IF_NAME, if_p->user_name));
    if (pim_show_topo_oil_winner(if_p, minfo_p)) {
        row->add(
            zconfd_val_uint(PIM_SHOW_TAG_FLAGS, ZCONFD_VT_BITS, PIM_SHOW_OIL_FLAG_ASSERT_WINNER));
    }
    return true;
}

// The lowest index of the list at or above from, 0 when none.
uint32_t pim_show_topo_oil_from(const t_pim_ilist *list, uint64_t from)
{
    uint32_t index = 0;
    if (from <= 1) {
        pim_minfo_ilist_find_first(list, &index);
    } else if (from < PIM_ILIST_BITS) {
        auto at = static_cast<uint32_t>(from);
        if (pim_minfo_ilist_test(list, at)) {
            return at;
        }
        pim_minfo_ilist_find_next(list, at, &index);
    }
    return index;
}

} // namespace

bool pim_show_topo_locate(t_pim_daemon *daemon_p, const t_zconfd_value *keys, int num_keys,
                          e_show_find mode, t_show_row *row)
{
    return pim_show_locate_rows(
        daemon_p, keys, num_keys, mode, TOPO_ROW_KEYS, pim_show_topo_at,
        [row](t_pim_vpn *vpn_p, t_pim_minfo *rec_p) { pim_show_topo_encode(vpn_p, rec_p, row); });
}

// A table under each routing entry: the parent keys name the entry, and the
// walk never leaves it.
bool pim_show_topo_oil_locate(t_pim_daemon *daemon_p, const t_zconfd_value *keys, int num_keys,
                              e_show_find mode, t_show_row *row)
{
    t_pim_vpn *vpn_p = nullptr;
    t_pim_minfo *minfo_p = pim_show_topo_parent(daemon_p, keys, num_keys, &vpn_p);
    if (minfo_p == nullptr) {
        return false;
    }
    t_pim_ilist bits{};
    pim_minfo_ilist_merge(&bits, minfo_p->inherited_olist_p);
    const t_pim_ilist *list = &bits;
    uint64_t from = 0;
    if (num_keys > 1 + TOPO_ROW_KEYS) {
        if (!pim_show_key_u64(&keys[1 + TOPO_ROW_KEYS], &from)) {
            return false;
        }
    } else if (mode == SHOW_FIND_EXACT) {
        return false;
    }
    if (mode == SHOW_FIND_EXACT) {
        return from < PIM_ILIST_BITS && pim_minfo_ilist_test(list, static_cast<uint32_t>(from)) &&
               pim_show_topo_oil_encode(vpn_p, minfo_p, static_cast<uint32_t>(from), false, row);
    }
    // Past the last index there is nothing, however large the key.
    if (mode == SHOW_FIND_NEXT && num_keys > 1 + TOPO_ROW_KEYS && from < PIM_ILIST_BITS) {
        from++;
    }
    for (uint32_t index = pim_show_topo_oil_from(list, from); index != 0;
         pim_minfo_ilist_find_next(list, index, &index)) {
        if (pim_show_topo_oil_encode(vpn_p, minfo_p, index, true, row)) {
            return true;
        }
    }
    return false;
}
