// Upstream side of the routing entries: the JoinDesired, RPTJoinDesired and
// PruneDesired macros, the upstream state with its Join timer, the Joins and
// Prunes sent towards the RPF neighbor, and the inherited outgoing lists
// handed to the forwarding plane.
#include "daemon/pim_minfo_upstream.h"

#include <algorithm>

#include "common/timer.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_if.h"
#include "daemon/pim_jp.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_nbr.h"
#include "daemon/pim_nhres.h"
#include "daemon/pim_subsys.h"
#include "daemon/pim_vpn.h"

t_pim_minfo_tx_ops g_pim_minfo_tx_ops = {
    pim_pkt_encode_jp,
    pim_fab_encode_jp,
};

namespace
{

unsigned long vpn_id_of(const t_pim_minfo *minfo_p)
{
    return minfo_p->vpn_p != nullptr ? static_cast<unsigned long>(minfo_p->vpn_p->vpn_id) : 0UL;
}

// Entry debugging: the VPN's event switch at the level, and its group filter.
#define MINFO_LOG(minfo_p, level, fmt, ...)                                                        \
    do {                                                                                           \
        if (pim_minfo_debug_on((minfo_p), (level))) {                                              \
            PIM_LOG("vpn: %lu %s:" fmt, vpn_id_of(minfo_p), pim_minfo_str(minfo_p).c,              \
                    ##__VA_ARGS__);                                                                \
        }                                                                                          \
    } while (0)

constexpr uint8_t BASIC = PIM_DEBUG_LEVEL_BASIC;
constexpr uint8_t DETAIL = PIM_DEBUG_LEVEL_DETAIL;

// Equal addresses; an unset address equals only another unset or zero one.
bool addr_same(const t_ipaddr *a, const t_ipaddr *b)
{
    if (IPADDR_IS_ZERO(a) || IPADDR_IS_ZERO(b)) {
        return IPADDR_IS_ZERO(a) && IPADDR_IS_ZERO(b);
    }
    return a->addr_type == b->addr_type && IPADDR_CMP(a, b) == 0;
}

void clear_rpf_nbr(t_pim_minfo *minfo_p)
{
    minfo_p->rpf_nbr_if = 0;
    IPADDR_INIT(&minfo_p->rpf_nbr_addr, IP_ADDR_V4);
}

void set_rpf_nbr(t_pim_minfo *minfo_p, const t_pim_nbr *nbr_p)
{
    minfo_p->rpf_nbr_if = nbr_p->if_p->if_index;
    IPADDR_COPY(&minfo_p->rpf_nbr_addr, &nbr_p->nbr_addr);
}

// The interface of an upstream bitmap index: the service-side one when a
// service-side and an IGMP interface share it.
t_pim_if *upstream_if(t_pim_vpn *vpn_p, uint32_t index)
{
    if (vpn_p == nullptr || index == 0) {
        return nullptr;
    }
    return pim_if_find_by_index(vpn_p, index, PIM_IF_TYPE_ANY, nullptr);
}

uint32_t join_interval_of(const t_pim_if *if_p)
{
    return if_p != nullptr && if_p->config.join_interval != 0 ? if_p->config.join_interval
                                                              : PIM_MINFO_JOIN_TIMER_MS;
}

// A new upstream interface brings its own refresh interval; the timer keeps
// running (or stays stopped).
void follow_interface_interval(t_pim_minfo *minfo_p, const t_pim_if *if_p)
{
    if (minfo_p->join_timer != nullptr && if_p->if_index != minfo_p->rpf_nbr_if) {
        timer_reset_interval(minfo_p->join_timer, join_interval_of(if_p));
    }
}

// (Re)starts the Join timer with its current interval.
void join_timer_start(t_pim_minfo *minfo_p)
{
    if (minfo_p->join_timer != nullptr) {
        timer_disable(minfo_p->join_timer);
        timer_enable(minfo_p->join_timer);
    }
}

void join_timer_stop(t_pim_minfo *minfo_p)
{
    if (minfo_p->join_timer != nullptr) {
        timer_disable(minfo_p->join_timer);
    }
}

bool minfo_db_ready(const t_pim_vpn *vpn_p)
{
    return vpn_p != nullptr && vpn_p->minfo_db.avl_compar != nullptr;
}

// The key of an entry, kept across processing that may delete it.
struct t_minfo_key {
    t_pim_vpn *vpn_p;
    e_pim_type type;
    t_ipaddr group;
    t_ipaddr source;
};

t_minfo_key key_of(const t_pim_minfo *minfo_p)
{
    return {minfo_p->vpn_p, minfo_p->type, minfo_p->group, minfo_p->source};
}

bool still_alive(const t_minfo_key &key, const t_pim_minfo *minfo_p)
{
    return pim_minfo_find(key.vpn_p, key.type, &key.group, &key.source, nullptr) == minfo_p;
}

t_pim_minfo *next_of(const t_minfo_key &key)
{
    return pim_minfo_find_next(key.vpn_p, key.type, &key.group, &key.source);
}

bool same_group(const t_pim_minfo *minfo_p, const t_ipaddr *group)
{
    return pim_minfo_cmp_group(&minfo_p->group, group) == 0;
}

t_pim_minfo *find_sibling(t_pim_minfo *minfo_p, e_pim_type type)
{
    if (minfo_p->type == type) {
        return minfo_p;
    }
    return pim_minfo_find(minfo_p->vpn_p, type, &minfo_p->group, &minfo_p->source, nullptr);
}

void inherited_change(t_pim_minfo *minfo_p)
{
    switch (minfo_p->type) {
    case PIM_TYPE_XXG:
        pim_minfo_process_inherited_oilist_change_xxg(minfo_p);
        break;
    case PIM_TYPE_XG:
        pim_minfo_process_inherited_oilist_change_xg(minfo_p);
        break;
    case PIM_TYPE_SG:
        pim_minfo_process_inherited_oilist_change_sg(minfo_p);
        break;
    case PIM_TYPE_SG_RPT:
        pim_minfo_process_inherited_oilist_change_sg_rpt(minfo_p);
        break;
    default:
        break;
    }
}

// What follows a change of the lists an entry inherits from: its inherited
// list, then its upstream macros. The entry may be gone afterwards.
void reevaluate(t_pim_minfo *minfo_p)
{
    switch (minfo_p->type) {
    case PIM_TYPE_XG:
    case PIM_TYPE_SG:
        inherited_change(minfo_p);
        pim_minfo_process_join_desired_xg(minfo_p);
        break;
    case PIM_TYPE_SG_RPT: {
        t_minfo_key key = key_of(minfo_p);
        inherited_change(minfo_p);
        pim_minfo_process_join_desired_sgrpt(minfo_p);
        if (still_alive(key, minfo_p)) {
            pim_minfo_process_prune_desired_sgrpt(minfo_p);
        }
        break;
    }
    case PIM_TYPE_XXG:
        inherited_change(minfo_p);
        break;
    default:
        break;
    }
}

// Replaces the entry's inherited list with a fresh one; true when it changed.
bool store_inherited(t_pim_minfo *minfo_p, const t_pim_ilist *fresh)
{
    return pim_minfo_ilist_store(&minfo_p->inherited_olist_p, fresh);
}

} // namespace

// Macros.

bool pim_minfo_compute_join_desired_xg(t_pim_minfo *minfo_p)
{
    return !pim_minfo_ilist_empty(minfo_p->joined_olist_p) ||
           !pim_minfo_ilist_empty(minfo_p->local_olist_p);
}

bool pim_minfo_compute_join_desired_sg(t_pim_minfo *minfo_p)
{
    return pim_minfo_compute_join_desired_xg(minfo_p) ||
           (minfo_p->minfo_flags & PIM_MINFO_FLAG_SPT) != 0;
}

bool pim_minfo_compute_join_desired_sgrpt(t_pim_minfo *minfo_p)
{
    t_pim_minfo *xg_p = pim_minfo_find_xg_from_sg(minfo_p);
    return xg_p != nullptr && pim_minfo_compute_join_desired_xg(xg_p);
}

bool pim_minfo_compute_join_desired_sa(t_pim_minfo *xg_p)
{
    if (!pim_minfo_ilist_empty(xg_p->local_olist_p)) {
        return true;
    }
    if (pim_minfo_ilist_empty(xg_p->joined_olist_p)) {
        return false;
    }
    // The lowest inherited interface tells whether any service-side one is there.
    uint32_t first = 0;
    pim_minfo_ilist_find_first(xg_p->inherited_olist_p, &first);
    return first != 0 && first < PIM_IF_TUNNEL_IDX_BASE;
}

bool pim_minfo_compute_prune_desired_sgrpt(t_pim_minfo *minfo_p)
{
    t_pim_vpn *vpn_p = minfo_p->vpn_p;
    t_pim_minfo *xg_p = pim_minfo_find_xg_from_sg(minfo_p);
    if (xg_p == nullptr) {
        MINFO_LOG(minfo_p, DETAIL, "corresponding (*, G) not found");
        return false;
    }
    if ((xg_p->macro_result & PIM_MACRO_JOIN_DESIRED) == 0) {
        return false;
    }
    t_pim_minfo *sg_p = find_sibling(minfo_p, PIM_TYPE_SG);
    t_pim_minfo *rpt_p = find_sibling(minfo_p, PIM_TYPE_SG_RPT);
    t_ipaddr rp;
    t_pim_nbr *xg_nbr_p = pim_minfo_get_rpf_nbr(vpn_p, xg_p, &rp);

    t_pim_nbr *rpt_nbr_p = nullptr;
    bool rpt_empty = true;
    if (rpt_p != nullptr) {
        rpt_nbr_p = pim_minfo_get_rpf_nbr(vpn_p, rpt_p, &rp);
        rpt_empty = pim_minfo_ilist_empty(rpt_p->inherited_olist_p);
    }
    bool rpt_same = rpt_nbr_p != nullptr && rpt_nbr_p == xg_nbr_p;

    if (sg_p != nullptr) {
        t_pim_nbr *sg_nbr_p = pim_minfo_get_rpf_nbr(vpn_p, sg_p, &rp);
        if (sg_nbr_p == nullptr) {
            return false;
        }
        bool sg_same = sg_nbr_p == xg_nbr_p;
        uint32_t xg_iif = xg_p->rpf_nbr_if;
        if (xg_iif != 0 && (pim_minfo_ilist_test(sg_p->joined_olist_p, xg_iif) ||
                            pim_minfo_ilist_test(sg_p->local_olist_p, xg_iif))) {
            MINFO_LOG(minfo_p, DETAIL, "(*, G) IIF in (S, G) OIL");
            return false;
        }
        if (sg_p->sptbit) {
            return !sg_same;
        }
    }
    if (rpt_empty) {
        return true;
    }
    if (rpt_nbr_p == nullptr) {
        return false;
    }
    return !rpt_same;
}

// JoinDesired of (*,G) and (S,G) entries.

void pim_minfo_process_join_desired_xg(t_pim_minfo *minfo_p)
{
    bool old_jd = (minfo_p->macro_result & PIM_MACRO_JOIN_DESIRED) != 0;
    bool new_jd = minfo_p->type == PIM_TYPE_SG ? pim_minfo_compute_join_desired_sg(minfo_p)
                                               : pim_minfo_compute_join_desired_xg(minfo_p);
    if (new_jd && (!old_jd || minfo_p->upstream_state != PIM_UPSTREAM_JOINED ||
                   (minfo_p->minfo_flags & PIM_MINFO_FLAG_NH_CHANGE) != 0)) {
        minfo_p->minfo_flags &= ~PIM_MINFO_FLAG_NH_CHANGE;
        minfo_p->macro_result |= PIM_MACRO_JOIN_DESIRED;
        pim_minfo_join_desired_enable_xg(minfo_p);
    }
    if (old_jd && !new_jd) {
        minfo_p->macro_result &= ~PIM_MACRO_JOIN_DESIRED;
        pim_minfo_join_desired_disable_xg(minfo_p);
    }
}

void pim_minfo_join_desired_enable_xg(t_pim_minfo *minfo_p)
{
    t_pim_vpn *vpn_p = minfo_p->vpn_p;
    e_pim_upstream_state old_state = minfo_p->upstream_state;
    t_ipaddr target;
    t_pim_nbr *nbr_p = pim_minfo_find_rpf_nbr(vpn_p, minfo_p, &target);
    int direct_if = minfo_p->type == PIM_TYPE_SG
                        ? pim_minfo_find_direct_source_if(vpn_p, &minfo_p->source)
                        : -1;

    if (nbr_p == nullptr || !addr_same(&nbr_p->nbr_addr, &minfo_p->rpf_nbr_addr) ||
        !addr_same(&target, &minfo_p->rp_in_use)) {
        t_pim_if *old_if_p = upstream_if(vpn_p, minfo_p->rpf_nbr_if);
        if (old_if_p != nullptr && !IPADDR_IS_ZERO(&minfo_p->rpf_nbr_addr)) {
            pim_minfo_encode_jp(old_if_p, minfo_p, &minfo_p->rpf_nbr_addr, true);
        }
    }
    IPADDR_COPY(&minfo_p->rp_in_use, &target);

    if (nbr_p != nullptr) {
        follow_interface_interval(minfo_p, nbr_p->if_p);
        set_rpf_nbr(minfo_p, nbr_p);
        pim_minfo_encode_jp(nbr_p->if_p, minfo_p, &minfo_p->rpf_nbr_addr, false);
        // The timer runs before the state changes, so that the change's
        // (*,G) refresh finds it.
        join_timer_start(minfo_p);
        pim_minfo_update_upstream_state(minfo_p, PIM_UPSTREAM_JOINED);
        (void)pim_ftm_add(minfo_p);
    } else if (direct_if < 1) {
        clear_rpf_nbr(minfo_p);
        join_timer_stop(minfo_p);
        MINFO_LOG(minfo_p, BASIC, "upstream neighbor not found");
        pim_minfo_update_upstream_state(minfo_p, PIM_UPSTREAM_NOT_JOINED);
        minfo_p->direct_source_if = 0;
        (void)pim_ftm_delete(minfo_p);
    } else {
        // Forwarded straight from the source's subnet: no neighbor to refresh
        // (the old one, if any, was just pruned).
        clear_rpf_nbr(minfo_p);
        join_timer_stop(minfo_p);
        minfo_p->direct_source_if = static_cast<uint32_t>(direct_if);
        (void)pim_ftm_add(minfo_p);
    }
    MINFO_LOG(minfo_p, BASIC, "Upstream state change: Old state: %s, New state: %s",
              pim_upstream_state_string(old_state),
              pim_upstream_state_string(minfo_p->upstream_state));
}

void pim_minfo_join_desired_disable_xg(t_pim_minfo *minfo_p)
{
    t_pim_vpn *vpn_p = minfo_p->vpn_p;
    if (minfo_p->upstream_state != PIM_UPSTREAM_JOINED) {
        MINFO_LOG(minfo_p, DETAIL,
                  "pim_minfo_join_desired_disable_xg not in %s state -- not sending upstream prune",
                  pim_upstream_state_string(PIM_UPSTREAM_JOINED));
        // A directly connected source was programmed without joining.
        if (minfo_p->direct_source_if != 0) {
            minfo_p->direct_source_if = 0;
            (void)pim_ftm_delete(minfo_p);
        }
        pim_minfo_check_and_delete(minfo_p);
        return;
    }
    t_pim_if *if_p = upstream_if(vpn_p, minfo_p->rpf_nbr_if);
    if (!IPADDR_IS_ZERO(&minfo_p->rpf_nbr_addr) && if_p != nullptr) {
        pim_minfo_encode_jp(if_p, minfo_p, &minfo_p->rpf_nbr_addr, true);
    } else {
        MINFO_LOG(minfo_p, DETAIL,
                  "pim_minfo_join_desired_disable_xg upstream neighbor %s not found",
                  ipaddr_str(&minfo_p->rpf_nbr_addr).c);
    }
    join_timer_stop(minfo_p);
    MINFO_LOG(minfo_p, DETAIL, "Upstream state change: old state: %s new state: %s",
              pim_upstream_state_string(minfo_p->upstream_state),
              pim_upstream_state_string(PIM_UPSTREAM_NOT_JOINED));
    pim_minfo_update_upstream_state(minfo_p, PIM_UPSTREAM_NOT_JOINED);
    (void)pim_ftm_delete(minfo_p);
    pim_minfo_check_and_delete(minfo_p);
}

// RPTJoinDesired of (S,G,rpt) entries.

void pim_minfo_process_join_desired_sgrpt(t_pim_minfo *minfo_p)
{
    bool old_jd = (minfo_p->macro_result & PIM_MACRO_RPT_JOIN_DESIRED) != 0;
    bool new_jd = pim_minfo_compute_join_desired_sgrpt(minfo_p);
    if (new_jd && !old_jd) {
        minfo_p->macro_result |= PIM_MACRO_RPT_JOIN_DESIRED;
        pim_minfo_join_desired_enable_sgrpt(minfo_p);
    }
    if (old_jd && !new_jd) {
        minfo_p->macro_result &= ~PIM_MACRO_RPT_JOIN_DESIRED;
        pim_minfo_join_desired_disable_sgrpt(minfo_p);
    }
}

// An entry kept alive in NOT-JOINED by its records is back on the shared
// tree, so that the next PruneDesired evaluation can prune it again.
void pim_minfo_join_desired_enable_sgrpt(t_pim_minfo *minfo_p)
{
    if (minfo_p->upstream_state == PIM_UPSTREAM_NOT_JOINED) {
        pim_minfo_update_upstream_state(minfo_p, PIM_UPSTREAM_NOT_PRUNED);
    }
}

void pim_minfo_join_desired_disable_sgrpt(t_pim_minfo *minfo_p)
{
    if (minfo_p->upstream_state == PIM_UPSTREAM_NOT_PRUNED) {
        if (minfo_p->override_timer != nullptr) {
            timer_disable(minfo_p->override_timer);
        }
        MINFO_LOG(minfo_p, DETAIL, "disabled override timer");
    }
    MINFO_LOG(minfo_p, DETAIL, "Upstream state change: old state: %s new state %s",
              pim_upstream_state_string(minfo_p->upstream_state),
              pim_upstream_state_string(PIM_UPSTREAM_NOT_JOINED));
    pim_minfo_update_upstream_state(minfo_p, PIM_UPSTREAM_NOT_JOINED);
    pim_minfo_check_and_delete(minfo_p);
}

// PruneDesired of (S,G,rpt) entries.

void pim_minfo_process_prune_desired_sgrpt(t_pim_minfo *minfo_p)
{
    t_minfo_key key = key_of(minfo_p);
    bool old_pd = (minfo_p->macro_result & PIM_MACRO_PRUNE_DESIRED) != 0;
    bool new_pd = pim_minfo_compute_prune_desired_sgrpt(minfo_p);
    MINFO_LOG(minfo_p, DETAIL, "old prune desired: %s Prune desired: %s", old_pd ? "TRUE" : "FALSE",
              new_pd ? "TRUE" : "FALSE");
    if ((new_pd && !old_pd) || (minfo_p->minfo_flags & PIM_MINFO_FLAG_NH_CHANGE) != 0) {
        minfo_p->minfo_flags &= ~PIM_MINFO_FLAG_NH_CHANGE;
        if (new_pd) {
            minfo_p->macro_result |= PIM_MACRO_PRUNE_DESIRED;
        }
    }
    // Cleared before the enable step, which would otherwise send a Prune
    // that the disable step at once takes back with a Join.
    bool turned_off = old_pd && !new_pd;
    if (turned_off) {
        minfo_p->macro_result &= ~PIM_MACRO_PRUNE_DESIRED;
    }
    pim_minfo_prune_desired_enable_sgrpt(minfo_p);
    if (turned_off) {
        pim_minfo_prune_desired_disable_sgrpt(minfo_p);
        if (!still_alive(key, minfo_p)) {
            return;
        }
    }
    inherited_change(minfo_p);
}

void pim_minfo_prune_desired_enable_sgrpt(t_pim_minfo *minfo_p)
{
    e_pim_upstream_state old_state = minfo_p->upstream_state;
    t_ipaddr target;
    t_pim_nbr *nbr_p = pim_minfo_find_rpf_nbr(minfo_p->vpn_p, minfo_p, &target);
    IPADDR_COPY(&minfo_p->rp_in_use, &target);
    if (nbr_p != nullptr) {
        follow_interface_interval(minfo_p, nbr_p->if_p);
        set_rpf_nbr(minfo_p, nbr_p);
        if ((minfo_p->macro_result & PIM_MACRO_PRUNE_DESIRED) != 0 &&
            minfo_p->upstream_state == PIM_UPSTREAM_NOT_PRUNED) {
            pim_minfo_encode_jp(nbr_p->if_p, minfo_p, &minfo_p->rpf_nbr_addr, true);
            if (minfo_p->override_timer != nullptr) {
                timer_disable(minfo_p->override_timer);
            }
            pim_minfo_update_upstream_state(minfo_p, PIM_UPSTREAM_PRUNED);
        } else {
            MINFO_LOG(minfo_p, BASIC, "Already in PRUNED state - not sending Prune upstream");
        }
    } else {
        pim_minfo_update_upstream_state(minfo_p, PIM_UPSTREAM_NOT_PRUNED);
        clear_rpf_nbr(minfo_p);
        MINFO_LOG(minfo_p, BASIC, "upstream neighbor not found");
    }
    MINFO_LOG(minfo_p, BASIC, "Upstream state change: old state: %s new state: %s",
              pim_upstream_state_string(old_state),
              pim_upstream_state_string(minfo_p->upstream_state));
}

void pim_minfo_prune_desired_disable_sgrpt(t_pim_minfo *minfo_p)
{
    t_pim_minfo *xg_p = pim_minfo_find_xg_from_sg(minfo_p);
    if (xg_p == nullptr) {
        MINFO_LOG(minfo_p, BASIC, "corresponding (*, G) not found");
        return;
    }
    if (!pim_minfo_compute_join_desired_xg(xg_p)) {
        MINFO_LOG(minfo_p, BASIC, "corresponding (*, G) joinDesired not set");
        return;
    }
    e_pim_upstream_state old_state = minfo_p->upstream_state;
    t_ipaddr target;
    t_pim_nbr *nbr_p = pim_minfo_find_rpf_nbr(minfo_p->vpn_p, minfo_p, &target);
    if (nbr_p != nullptr) {
        if (minfo_p->upstream_state == PIM_UPSTREAM_PRUNED) {
            pim_minfo_encode_jp(nbr_p->if_p, minfo_p, &nbr_p->nbr_addr, false);
            pim_minfo_update_upstream_state(minfo_p, PIM_UPSTREAM_NOT_PRUNED);
        } else {
            MINFO_LOG(minfo_p, BASIC, "Not in PRUNED state - Not sending join");
        }
        set_rpf_nbr(minfo_p, nbr_p);
    } else {
        MINFO_LOG(minfo_p, BASIC, "upstream neighbor not found");
        clear_rpf_nbr(minfo_p);
    }
    MINFO_LOG(minfo_p, BASIC, "Upstream state change, old state: %s new state: %s",
              pim_upstream_state_string(old_state),
              pim_upstream_state_string(minfo_p->upstream_state));
    pim_minfo_check_and_delete(minfo_p);
}

// List-change propagation.

void pim_minfo_process_join_change_xg(t_pim_minfo *minfo_p, t_pim_if_minfo *)
{
    t_pim_vpn *vpn_p = minfo_p->vpn_p;
    t_ipaddr group = minfo_p->group;
    // Each step looks its successor up by key: processing may delete entries.
    for (t_pim_minfo *cur_p = pim_minfo_group_first(vpn_p, &group);
         cur_p != nullptr && same_group(cur_p, &group);) {
        t_minfo_key key = key_of(cur_p);
        reevaluate(cur_p);
        cur_p = next_of(key);
    }
}

void pim_minfo_process_join_change_sg(t_pim_minfo *minfo_p, t_pim_if_minfo *)
{
    inherited_change(minfo_p);
    pim_minfo_process_join_desired_xg(minfo_p);
}

void pim_minfo_process_join_change_xxrp(t_pim_minfo *minfo_p, t_pim_if_minfo *)
{
    t_pim_vpn *vpn_p = minfo_p->vpn_p;
    if (!minfo_db_ready(vpn_p)) {
        return;
    }
    t_ipaddr rp = minfo_p->source;
    for (auto *cur_p = avl_first<t_pim_minfo>(&vpn_p->minfo_db); cur_p != nullptr;) {
        t_minfo_key key = key_of(cur_p);
        if (addr_same(&cur_p->source, &rp)) {
            reevaluate(cur_p);
        }
        cur_p = next_of(key);
    }
}

void pim_minfo_process_prune_change_sg_rpt(t_pim_minfo *minfo_p, t_pim_if_minfo *)
{
    if (t_pim_minfo *sg_p = find_sibling(minfo_p, PIM_TYPE_SG)) {
        inherited_change(sg_p);
        pim_minfo_process_join_desired_xg(sg_p);
    }
    inherited_change(minfo_p);
    pim_minfo_process_prune_desired_sgrpt(minfo_p);
}

// Type initialisation.

void pim_minfo_init_xg(t_pim_minfo *minfo_p)
{
    pim_minfo_update_upstream_state(minfo_p, PIM_UPSTREAM_NOT_JOINED);
}

void pim_minfo_init_sgrpt(t_pim_minfo *minfo_p)
{
    t_pim_minfo *xg_p = pim_minfo_find_xg_from_sg(minfo_p);
    pim_minfo_update_upstream_state(minfo_p, xg_p != nullptr ? PIM_UPSTREAM_NOT_PRUNED
                                                             : PIM_UPSTREAM_NOT_JOINED);
    t_ipaddr addr;
    t_pim_nbr *nbr_p = pim_minfo_find_rpf_nbr(minfo_p->vpn_p, minfo_p, &addr);
    t_pim_nbr *xg_nbr_p =
        xg_p != nullptr ? pim_minfo_get_rpf_nbr(minfo_p->vpn_p, xg_p, &addr) : nullptr;
    if (nbr_p != nullptr && nbr_p == xg_nbr_p) {
        minfo_p->macro_result |= PIM_MACRO_SGRPT_EQUAL;
    } else {
        minfo_p->macro_result &= ~PIM_MACRO_SGRPT_EQUAL;
    }
}

// Inherited lists.

void pim_minfo_inherited_oilist_sg_rpt(t_pim_minfo *minfo_p, t_pim_ilist *out, bool only_xxg)
{
    t_pim_vpn *vpn_p = minfo_p->vpn_p;
    t_ipaddr zero;
    IPADDR_INIT(&zero, IP_ADDR_V4);
    if (!IPADDR_IS_ZERO(&minfo_p->rp_in_use)) {
        t_pim_minfo *xxg_p =
            pim_minfo_find(vpn_p, PIM_TYPE_XXG, &zero, &minfo_p->rp_in_use, nullptr);
        if (xxg_p != nullptr) {
            pim_minfo_ilist_merge(out, xxg_p->joined_olist_p);
        }
    }
    if (only_xxg || IPADDR_IS_ZERO(&minfo_p->group)) {
        return;
    }
    if (t_pim_minfo *xg_p = pim_minfo_find_xg_from_g(vpn_p, &minfo_p->group)) {
        pim_minfo_ilist_merge(out, xg_p->joined_olist_p);
        pim_minfo_ilist_merge(out, xg_p->local_olist_p);
    }
    if (!IPADDR_IS_ZERO(&minfo_p->source)) {
        t_pim_minfo *rpt_p =
            pim_minfo_find(vpn_p, PIM_TYPE_SG_RPT, &minfo_p->group, &minfo_p->source, nullptr);
        if (rpt_p != nullptr) {
            pim_minfo_ilist_exclude(out, rpt_p->pruned_olist_p);
        }
    }
}

void pim_minfo_inherited_oilist_sg(t_pim_minfo *minfo_p, t_pim_ilist *out)
{
    pim_minfo_inherited_oilist_sg_rpt(minfo_p, out, false);
    pim_minfo_ilist_merge(out, minfo_p->joined_olist_p);
    pim_minfo_ilist_merge(out, minfo_p->local_olist_p);
}

void pim_minfo_process_inherited_oilist_change_xxg(t_pim_minfo *minfo_p)
{
    t_pim_ilist fresh{};
    pim_minfo_inherited_oilist_sg_rpt(minfo_p, &fresh, true);
    if (store_inherited(minfo_p, &fresh) || minfo_p->update_ftm) {
        (void)pim_ftm_add(minfo_p);
    }
}

void pim_minfo_process_inherited_oilist_change_xg(t_pim_minfo *minfo_p)
{
    t_pim_ilist fresh{};
    pim_minfo_inherited_oilist_sg_rpt(minfo_p, &fresh, false);
    if (!store_inherited(minfo_p, &fresh) && !minfo_p->update_ftm) {
        return;
    }
    MINFO_LOG(minfo_p, DETAIL, "New inherit list computed");
    (void)pim_ftm_add(minfo_p);
}

void pim_minfo_process_inherited_oilist_change_sg(t_pim_minfo *minfo_p)
{
    t_pim_ilist fresh{};
    pim_minfo_inherited_oilist_sg(minfo_p, &fresh);
    if (!store_inherited(minfo_p, &fresh) && !minfo_p->update_ftm) {
        return;
    }
    MINFO_LOG(minfo_p, DETAIL, "New inherit list computed");
    (void)pim_ftm_add(minfo_p);
}

void pim_minfo_process_inherited_oilist_change_sg_rpt(t_pim_minfo *minfo_p)
{
    t_pim_ilist fresh{};
    pim_minfo_inherited_oilist_sg_rpt(minfo_p, &fresh, false);
    (void)store_inherited(minfo_p, &fresh);
    if (pim_minfo_ilist_empty(minfo_p->pruned_olist_p)) {
        MINFO_LOG(minfo_p, DETAIL, "prune list empty. Deleting the entry...");
        (void)pim_ftm_delete(minfo_p);
    } else {
        MINFO_LOG(minfo_p, DETAIL, "prune list non- empty. Programing the entry...");
        (void)pim_ftm_add(minfo_p);
    }
}

// Upstream state, timers and sending.

void pim_minfo_update_upstream_state(t_pim_minfo *minfo_p, e_pim_upstream_state state)
{
    e_pim_upstream_state old_state = minfo_p->upstream_state;
    if (old_state == state) {
        return;
    }
    minfo_p->upstream_state = state;
    MINFO_LOG(minfo_p, BASIC, "upstream state %s -> %s", pim_upstream_state_string(old_state),
              pim_upstream_state_string(state));
    // The first state of a new entry changes nothing the (*,G) Join carries.
    if (old_state != PIM_UPSTREAM_UNKNOWN) {
        pim_minfo_xg_trigger_upstream(minfo_p);
    }
}

void pim_minfo_xg_trigger_upstream(t_pim_minfo *minfo_p)
{
    t_pim_minfo *xg_p = pim_minfo_find_xg_from_sg(minfo_p);
    if (xg_p == nullptr || xg_p->join_timer == nullptr || !timer_is_active(xg_p->join_timer)) {
        return;
    }
    // A refresh already due within the trigger delay is kept: restarting it
    // on every trigger would hold the Join back for as long as changes keep
    // arriving less than a second apart.
    t_timer *timer = xg_p->join_timer;
    uint32_t trigger_ticks = timer_ms_to_ticks(timer_mgr_get_resolution(timer->p_mgr, nullptr),
                                               PIM_MINFO_JOIN_TRIGGER_MS, true);
    if (timer_get_ticks_to_expiry(timer) > int64_t{trigger_ticks}) {
        timer_reset_interval(timer, PIM_MINFO_JOIN_TRIGGER_MS);
    }
}

void pim_minfo_join_timer_cb(t_timer *timer, void *arg)
{
    auto *minfo_p = static_cast<t_pim_minfo *>(arg);
    MINFO_LOG(minfo_p, DETAIL, "Upstream join timer expired");
    timer_reset_interval(timer, PIM_MINFO_JOIN_TIMER_MS);
    if (minfo_p->upstream_state != PIM_UPSTREAM_JOINED) {
        MINFO_LOG(minfo_p, DETAIL, "Join timer expired but not in JOINED state - %s",
                  pim_upstream_state_string(minfo_p->upstream_state));
        return;
    }
    if (IPADDR_IS_ZERO(&minfo_p->rpf_nbr_addr) || minfo_p->rpf_nbr_if == 0) {
        MINFO_LOG(minfo_p, DETAIL, "Join timer expired Neighbor %s or Interface %d not found.",
                  ipaddr_str(&minfo_p->rpf_nbr_addr).c, static_cast<int>(minfo_p->rpf_nbr_if));
        return;
    }
    t_pim_if *if_p = upstream_if(minfo_p->vpn_p, minfo_p->rpf_nbr_if);
    if (if_p == nullptr) {
        MINFO_LOG(minfo_p, DETAIL, "Join timer expired but upstream if with idx %d not found",
                  static_cast<int>(minfo_p->rpf_nbr_if));
        return;
    }
    pim_minfo_encode_jp(if_p, minfo_p, &minfo_p->rpf_nbr_addr, false);
    timer_reset(timer, join_interval_of(if_p));
}

void pim_minfo_override_timer_cb(t_timer *, void *arg)
{
    auto *minfo_p = static_cast<t_pim_minfo *>(arg);
    MINFO_LOG(minfo_p, DETAIL, "Override timer expired");
}

void pim_minfo_encode_jp(t_pim_if *if_p, t_pim_minfo *minfo_p, const t_ipaddr *upstream, bool prune)
{
    if (if_p->pim_if_type == PIM_IF_TYPE_TUNNEL) {
        g_pim_minfo_tx_ops.fab_encode_jp(minfo_p, upstream, !prune);
        return;
    }
    if (!prune && minfo_p->type == PIM_TYPE_SG && (minfo_p->minfo_flags & PIM_MINFO_FLAG_SA) == 0) {
        pim_fab_encode_sa(minfo_p, true);
    }
    (void)g_pim_minfo_tx_ops.pkt_encode_jp(if_p, minfo_p, upstream, prune);
}

t_pim_nbr *pim_minfo_get_rpf_nbr(t_pim_vpn *vpn_p, t_pim_minfo *minfo_p, t_ipaddr *rp_p)
{
    if (minfo_p->rp_in_use.addr_type == IP_ADDR_UNKNOWN) {
        IPADDR_INIT(rp_p, IP_ADDR_V4);
    } else {
        IPADDR_COPY(rp_p, &minfo_p->rp_in_use);
    }
    if (vpn_p == nullptr || IPADDR_IS_ZERO(&minfo_p->rpf_nbr_addr)) {
        return nullptr;
    }
    return pim_nbr_vpn_find(vpn_p, &minfo_p->rpf_nbr_addr);
}

void pim_minfo_cleanup_nbr_xg(t_pim_minfo *minfo_p, t_pim_nbr *winner_p)
{
    t_pim_vpn *vpn_p = minfo_p->vpn_p;
    if (minfo_p->upstream_state == PIM_UPSTREAM_JOINED) {
        join_timer_stop(minfo_p);
        if (!IPADDR_IS_ZERO(&minfo_p->rpf_nbr_addr) && winner_p != nullptr &&
            winner_p->if_p != nullptr) {
            pim_minfo_encode_jp(winner_p->if_p, minfo_p, &minfo_p->rpf_nbr_addr, true);
        }
    }
    t_ipaddr target;
    t_pim_nbr *nbr_p = pim_minfo_find_rpf_nbr(vpn_p, minfo_p, &target);
    if (nbr_p != nullptr && addr_same(&nbr_p->nbr_addr, &minfo_p->rpf_nbr_addr)) {
        pim_minfo_encode_jp(nbr_p->if_p, minfo_p, &minfo_p->rpf_nbr_addr, true);
        set_rpf_nbr(minfo_p, nbr_p);
        join_timer_start(minfo_p);
        (void)pim_ftm_add(minfo_p);
        return;
    }
    clear_rpf_nbr(minfo_p);
    (void)pim_ftm_delete(minfo_p);
    // Back to the RPF neighbor at once rather than at the next next-hop change.
    if ((minfo_p->macro_result & PIM_MACRO_JOIN_DESIRED) != 0 &&
        (minfo_p->type == PIM_TYPE_XG || minfo_p->type == PIM_TYPE_SG)) {
        pim_minfo_join_desired_enable_xg(minfo_p);
    }
}

void pim_minfo_jp_interval_update(t_pim_if *if_p)
{
    t_pim_vpn *vpn_p = if_p->vpn_p;
    if (!minfo_db_ready(vpn_p) || upstream_if(vpn_p, if_p->if_index) != if_p) {
        return;
    }
    uint32_t interval = join_interval_of(if_p);
    for (auto *cur_p = avl_first<t_pim_minfo>(&vpn_p->minfo_db); cur_p != nullptr;) {
        t_minfo_key key = key_of(cur_p);
        if (cur_p->rpf_nbr_if == if_p->if_index && cur_p->join_timer != nullptr) {
            if (cur_p->upstream_state == PIM_UPSTREAM_JOINED &&
                timer_is_active(cur_p->join_timer)) {
                timer_reset(cur_p->join_timer, interval);
            } else {
                timer_reset_interval(cur_p->join_timer, interval);
            }
        }
        pim_daemon_process_urgent_timers();
        cur_p = next_of(key);
    }
}

// Join/Prunes of other routers on a LAN.

namespace
{

// The entry's Join timer runs towards upstream on if_p: only then does what
// another router sends there concern it.
bool joined_towards(const t_pim_minfo *minfo_p, const t_pim_if *if_p, const t_ipaddr *upstream)
{
    return minfo_p != nullptr && minfo_p->upstream_state == PIM_UPSTREAM_JOINED &&
           minfo_p->join_timer != nullptr && timer_is_active(minfo_p->join_timer) &&
           minfo_p->rpf_nbr_if == if_p->if_index && addr_same(&minfo_p->rpf_nbr_addr, upstream);
}

int64_t ticks_of(const t_timer *timer, uint32_t ms)
{
    return timer_ms_to_ticks(timer_mgr_get_resolution(timer->p_mgr, nullptr), ms, true);
}

// Someone else's Join refreshes the upstream state for us: ours may wait.
void suppress_join(t_pim_minfo *minfo_p, t_pim_if *if_p, uint16_t holdtime_s)
{
    if (!pim_nbr_suppression_enabled(if_p)) {
        return;
    }
    uint32_t period = join_interval_of(if_p);
    uint32_t t_ms = period * 11 / 10 + pim_nbr_rand_ms(period * 3 / 10);
    t_ms = std::min(t_ms, uint32_t{holdtime_s} * 1000);
    if (timer_get_ticks_to_expiry(minfo_p->join_timer) < ticks_of(minfo_p->join_timer, t_ms)) {
        timer_reset_interval(minfo_p->join_timer, t_ms);
        MINFO_LOG(minfo_p, DETAIL, "Join suppressed for %u ms", t_ms);
    }
}

// Someone else prunes what we still need: our Join must reach the upstream
// router before its prune-pending time runs out.
void override_prune(t_pim_minfo *minfo_p, t_pim_if *if_p)
{
    uint32_t t_ms = pim_nbr_rand_ms(if_p->override_int);
    if (timer_get_ticks_to_expiry(minfo_p->join_timer) > ticks_of(minfo_p->join_timer, t_ms)) {
        timer_reset_interval(minfo_p->join_timer, t_ms);
        MINFO_LOG(minfo_p, DETAIL, "Prune overridden in %u ms", t_ms);
    }
}

} // namespace

void pim_minfo_see_other_jp(t_pim_if *if_p, const t_ipaddr *upstream, const t_pim_pkt_jp *jp)
{
    t_pim_vpn *vpn_p = if_p->vpn_p;
    if (!minfo_db_ready(vpn_p)) {
        return;
    }
    const t_pim_pkt_jp_group &g = jp->jp_group;
    const t_ipaddr *group = &g.group_address.group_addr.addr;
    t_pim_minfo *xg_p = pim_minfo_find(vpn_p, PIM_TYPE_XG, group, nullptr, nullptr);
    for (uint16_t i = 0; i < g.num_joins; i++) {
        const t_pim_pkt_src_addr &s = g.join_src_pp[i];
        t_pim_minfo *minfo_p = nullptr;
        if (s.wc_bit && s.r_bit) {
            minfo_p = xg_p;
        } else if (!s.r_bit) {
            minfo_p = pim_minfo_find(vpn_p, PIM_TYPE_SG, group, &s.source_addr.addr, nullptr);
        }
        if (joined_towards(minfo_p, if_p, upstream)) {
            suppress_join(minfo_p, if_p, jp->holdtime);
        }
    }
    for (uint16_t i = 0; i < g.num_prunes; i++) {
        const t_pim_pkt_src_addr &s = g.prune_src_pp[i];
        const t_ipaddr *src = &s.source_addr.addr;
        t_pim_minfo *sg_p =
            s.wc_bit ? nullptr : pim_minfo_find(vpn_p, PIM_TYPE_SG, group, src, nullptr);
        if (s.wc_bit && s.r_bit) {
            if (joined_towards(xg_p, if_p, upstream)) {
                override_prune(xg_p, if_p);
            }
            continue;
        }
        if (joined_towards(sg_p, if_p, upstream)) {
            override_prune(sg_p, if_p);
            continue;
        }
        // A source pruned off the shared tree that we still take from it:
        // our (*,G) Join, which does not prune it, overrides.
        t_pim_minfo *rpt_p =
            s.r_bit ? pim_minfo_find(vpn_p, PIM_TYPE_SG_RPT, group, src, nullptr) : nullptr;
        bool we_prune = rpt_p != nullptr && rpt_p->upstream_state == PIM_UPSTREAM_PRUNED;
        if (s.r_bit && !we_prune && joined_towards(xg_p, if_p, upstream)) {
            override_prune(xg_p, if_p);
        }
    }
}
