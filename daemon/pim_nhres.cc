#include "daemon/pim_nhres.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <initializer_list>

#include "daemon/pim_auto_rp.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_if.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_nbr.h"
#include "daemon/pim_rtm.h"
#include "daemon/pim_subsys.h"
#include "daemon/pim_vpn.h"

t_pim_nhres_ops g_pim_nhres_ops = {
    pim_et_process_join_desired,
    pim_et_process_prune_desired,
    pim_auto_rp_update_minfo,
};

namespace
{

constexpr uint32_t REEVAL_MACROS =
    PIM_MACRO_JOIN_DESIRED | PIM_MACRO_RPT_JOIN_DESIRED | PIM_MACRO_PRUNE_DESIRED;

bool nhres_db_ready(const t_pim_vpn *vpn_p)
{
    return vpn_p != nullptr && vpn_p->nhres_db.avl_compar != nullptr;
}

bool addr_equal(const t_ipaddr *a, const t_ipaddr *b)
{
    return a->addr_type == b->addr_type && a->addr_type != IP_ADDR_UNKNOWN && IPADDR_CMP(a, b) == 0;
}

// Re-evaluation of one record's entries, then, with the record possibly gone,
// of its Auto-RP entries.
void nhres_update_both(t_pim_vpn *vpn_p, const t_ipaddr *addr, bool force)
{
    if (t_pim_next_hop *nh_p = pim_nhres_find(vpn_p, addr, nullptr)) {
        pim_nhres_update_minfo_all(vpn_p, nh_p, force);
    }
    if (t_pim_next_hop *nh_p = pim_nhres_find(vpn_p, addr, nullptr)) {
        pim_nhres_auto_rp_update_minfo_all(vpn_p, nh_p, force);
    }
}

} // namespace

int pim_nhres_cmp(const void *a, const void *b)
{
    return IPADDR_CMP(&static_cast<const t_pim_next_hop *>(a)->nh_addr,
                      &static_cast<const t_pim_next_hop *>(b)->nh_addr);
}

e_pim_status pim_nhres_db_init(t_pim_vpn *vpn_p)
{
    avl_create(&vpn_p->nhres_db, pim_nhres_cmp, sizeof(t_pim_next_hop),
               offsetof(t_pim_next_hop, tree_node));
    return PIM_STATUS_OK;
}

void pim_nhres_db_destroy(t_pim_vpn *vpn_p)
{
    if (!nhres_db_ready(vpn_p)) {
        return;
    }
    while (auto *nh_p = avl_first<t_pim_next_hop>(&vpn_p->nhres_db)) {
        pim_nhres_delete(vpn_p, nh_p);
    }
    avl_destroy(&vpn_p->nhres_db);
    vpn_p->nhres_db = avl_tree_t{};
}

t_pim_next_hop *pim_nhres_find(t_pim_vpn *vpn_p, const t_ipaddr *addr, avl_index_t *where)
{
    if (!nhres_db_ready(vpn_p) || addr->addr_type == IP_ADDR_UNKNOWN) {
        return nullptr;
    }
    t_pim_next_hop key{};
    IPADDR_COPY(&key.nh_addr, addr);
    return avl_find(&vpn_p->nhres_db, &key, where);
}

t_pim_next_hop *pim_nhres_find_next(t_pim_vpn *vpn_p, const t_ipaddr *addr)
{
    if (!nhres_db_ready(vpn_p) || addr->addr_type == IP_ADDR_UNKNOWN) {
        return nullptr;
    }
    t_pim_next_hop key{};
    IPADDR_COPY(&key.nh_addr, addr);
    return avl_find_next(&vpn_p->nhres_db, &key);
}

t_pim_next_hop *pim_nhres_find_or_create(t_pim_vpn *vpn_p, const t_ipaddr *addr)
{
    if (!nhres_db_ready(vpn_p) || addr->addr_type == IP_ADDR_UNKNOWN) {
        return nullptr;
    }
    avl_index_t where;
    if (t_pim_next_hop *nh_p = pim_nhres_find(vpn_p, addr, &where)) {
        return nh_p;
    }
    auto *nh_p = pim_new<t_pim_next_hop>();
    if (nh_p == nullptr) {
        PIM_LOG("Could not allocate nexthop node.");
        return nullptr;
    }
    TAILQ_INIT(&nh_p->minfo_list);
    IPADDR_COPY(&nh_p->nh_addr, addr);
    avl_insert(&vpn_p->nhres_db, nh_p, where);
    (void)pim_rtm_send_nhres_register(vpn_p, addr, true);
    return nh_p;
}

namespace
{

void free_slots(t_pim_next_hop *nh_p)
{
    if (nh_p->nh_info_len > 1) {
        pim_free(nh_p->slots.many);
    }
    nh_p->slots.one = t_pim_nh_info{};
    nh_p->nh_info_len = 0;
}

} // namespace

void pim_nhres_delete(t_pim_vpn *vpn_p, t_pim_next_hop *nh_p)
{
    TAILQ_INIT(&nh_p->minfo_list);
    (void)pim_rtm_send_nhres_register(vpn_p, &nh_p->nh_addr, false);
    avl_remove(&vpn_p->nhres_db, nh_p);
    free_slots(nh_p);
    pim_delete(nh_p);
}

bool pim_nhres_set_hops(t_pim_next_hop *nh_p, std::span<const t_pim_nh_info> hops)
{
    int len = static_cast<int>(std::min(hops.size(), static_cast<size_t>(PIM_MAX_NEXT_HOPS)));
    if (len != nh_p->nh_info_len) {
        t_pim_nh_info *mem = nullptr;
        if (len > 1) {
            mem = static_cast<t_pim_nh_info *>(
                pim_malloc(sizeof(t_pim_nh_info) * static_cast<size_t>(len)));
            if (mem == nullptr) {
                nh_p->num_nh = 0;
                return false;
            }
        }
        free_slots(nh_p);
        if (mem != nullptr) {
            nh_p->slots.many = mem;
        }
        nh_p->nh_info_len = static_cast<uint8_t>(len);
    }
    std::copy_n(hops.begin(), len, pim_nhres_hops(nh_p));
    nh_p->num_nh = static_cast<uint8_t>(len);
    return true;
}

t_pim_nh_info *pim_nhres_hops(t_pim_next_hop *nh_p)
{
    return nh_p->nh_info_len > 1 ? nh_p->slots.many : &nh_p->slots.one;
}

const t_pim_nh_info *pim_nhres_hops(const t_pim_next_hop *nh_p)
{
    return nh_p->nh_info_len > 1 ? nh_p->slots.many : &nh_p->slots.one;
}

int pim_nhres_link_minfo(t_pim_vpn *vpn_p, t_pim_minfo *minfo_p, const t_ipaddr *addr)
{
    if (minfo_p->nh_p != nullptr) {
        (void)pim_nhres_unlink_minfo(vpn_p, minfo_p);
    }
    t_pim_next_hop *nh_p = pim_nhres_find_or_create(vpn_p, addr);
    if (nh_p == nullptr) {
        return 0;
    }
    TAILQ_INSERT_TAIL(&nh_p->minfo_list, minfo_p, nh_minfo_link);
    minfo_p->nh_p = nh_p;
    nh_p->ref_count++;
    return 0;
}

int pim_nhres_unlink_minfo(t_pim_vpn *vpn_p, t_pim_minfo *minfo_p)
{
    t_pim_next_hop *nh_p = minfo_p->nh_p;
    if (nh_p == nullptr) {
        return 0;
    }
    TAILQ_REMOVE(&nh_p->minfo_list, minfo_p, nh_minfo_link);
    minfo_p->nh_p = nullptr;
    nh_p->ref_count--;
    if (TAILQ_EMPTY(&nh_p->minfo_list)) {
        pim_nhres_delete(vpn_p, nh_p);
    }
    return 0;
}

void pim_nhres_update_minfo(t_pim_minfo *minfo_p)
{
    pim_daemon_process_urgent_timers();
    PIM_LOG_IPC(pim_vpn_debug(minfo_p->vpn_p), PIM_DEBUG_LEVEL_DETAIL,
                "vpn: %lu pim_nhres_update_minfo: (%s, %s) (%s) up-state %s",
                minfo_p->vpn_p != nullptr ? pim_vpn_log_id(minfo_p->vpn_p) : 0UL,
                ipaddr_str(&minfo_p->source).c, ipaddr_str(&minfo_p->group).c,
                pim_type_string(minfo_p->type), pim_upstream_state_string(minfo_p->upstream_state));
    minfo_p->minfo_flags |= PIM_MINFO_FLAG_NH_CHANGE;
    if (minfo_p->type == PIM_TYPE_SG_RPT) {
        g_pim_nhres_ops.process_prune_desired(minfo_p);
    } else {
        g_pim_nhres_ops.process_join_desired(minfo_p);
    }
}

void pim_nhres_update_minfo_all(t_pim_vpn *, t_pim_next_hop *nh_p, bool force)
{
    t_pim_minfo *next_p = nullptr;
    for (t_pim_minfo *minfo_p = TAILQ_FIRST(&nh_p->minfo_list); minfo_p != nullptr;
         minfo_p = next_p) {
        next_p = TAILQ_NEXT(minfo_p, nh_minfo_link);
        if (minfo_p->type == PIM_TYPE_AUTO_RP) {
            continue;
        }
        if (force || (minfo_p->macro_result & REEVAL_MACROS) != 0) {
            pim_nhres_update_minfo(minfo_p);
        }
    }
}

void pim_nhres_auto_rp_update_minfo_all(t_pim_vpn *, t_pim_next_hop *nh_p, bool force)
{
    t_pim_minfo *next_p = nullptr;
    for (t_pim_minfo *minfo_p = TAILQ_FIRST(&nh_p->minfo_list); minfo_p != nullptr;
         minfo_p = next_p) {
        next_p = TAILQ_NEXT(minfo_p, nh_minfo_link);
        if (minfo_p->type != PIM_TYPE_AUTO_RP) {
            continue;
        }
        if (force || minfo_p->upstream_state == PIM_UPSTREAM_NOT_JOINED) {
            g_pim_nhres_ops.auto_rp_update_minfo(minfo_p);
        }
    }
}

void pim_nhres_update_addr(t_pim_vpn *vpn_p, const t_ipaddr *addr)
{
    nhres_update_both(vpn_p, addr, true);
}

void pim_nhres_update_minfo_repl(t_pim_vpn *vpn_p)
{
    if (!nhres_db_ready(vpn_p)) {
        return;
    }
    bool replicator = vpn_p->config.replicator.replicator;
    for (auto *nh_p = avl_first<t_pim_next_hop>(&vpn_p->nhres_db); nh_p != nullptr;) {
        t_ipaddr addr = nh_p->nh_addr;
        if (nh_p->num_nh > 0 && pim_nhres_hops(nh_p)[0].nh_type == E_PIM_NHTYPE_FAB) {
            t_pim_minfo *next_p = nullptr;
            for (t_pim_minfo *minfo_p = TAILQ_FIRST(&nh_p->minfo_list); minfo_p != nullptr;
                 minfo_p = next_p) {
                next_p = TAILQ_NEXT(minfo_p, nh_minfo_link);
                if (minfo_p->type == PIM_TYPE_AUTO_RP) {
                    continue;
                }
                bool settled = minfo_p->repl_p != nullptr &&
                               ((minfo_p->macro_result & PIM_MACRO_JOIN_DESIRED) == 0 ||
                                (minfo_p->upstream_state == PIM_UPSTREAM_JOINED && !replicator));
                if (!settled) {
                    pim_nhres_update_minfo(minfo_p);
                }
            }
        }
        nh_p = pim_nhres_find_next(vpn_p, &addr);
    }
}

void pim_nhres_update_minfo_ad(t_pim_vpn *vpn_p, const t_ipaddr *peer)
{
    if (!nhres_db_ready(vpn_p) || !vpn_p->config.replicator.replicator) {
        return;
    }
    for (auto *nh_p = avl_first<t_pim_next_hop>(&vpn_p->nhres_db); nh_p != nullptr;) {
        t_ipaddr addr = nh_p->nh_addr;
        if (nh_p->num_nh > 0 && pim_nhres_hops(nh_p)[0].nh_type == E_PIM_NHTYPE_FAB &&
            addr_equal(&pim_nhres_hops(nh_p)[0].nh_addr, peer)) {
            t_pim_minfo *next_p = nullptr;
            for (t_pim_minfo *minfo_p = TAILQ_FIRST(&nh_p->minfo_list); minfo_p != nullptr;
                 minfo_p = next_p) {
                next_p = TAILQ_NEXT(minfo_p, nh_minfo_link);
                if (minfo_p->type != PIM_TYPE_AUTO_RP && minfo_p->repl_p == nullptr &&
                    minfo_p->upstream_state == PIM_UPSTREAM_NOT_JOINED) {
                    pim_nhres_update_minfo(minfo_p);
                }
            }
        }
        nh_p = pim_nhres_find_next(vpn_p, &addr);
    }
}

void pim_nhres_conn_up(t_pim_vpn *vpn_p)
{
    if (!nhres_db_ready(vpn_p)) {
        return;
    }
    PIM_LOG_IPC(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_DETAIL,
                "vpn: %lu Sending PIM NHRes registers to RTM", pim_vpn_log_id(vpn_p));
    for (auto *nh_p = avl_first<t_pim_next_hop>(&vpn_p->nhres_db); nh_p != nullptr;
         nh_p = avl_next(&vpn_p->nhres_db, nh_p)) {
        (void)pim_rtm_send_nhres_register(vpn_p, &nh_p->nh_addr, true);
    }
}

void pim_nhres_conn_down(t_pim_vpn *vpn_p)
{
    if (!nhres_db_ready(vpn_p)) {
        return;
    }
    PIM_LOG_IPC(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_DETAIL,
                "vpn: %lu Cleanup all PIM NHRes resolution information", pim_vpn_log_id(vpn_p));
    for (auto *nh_p = avl_first<t_pim_next_hop>(&vpn_p->nhres_db); nh_p != nullptr;) {
        t_ipaddr addr = nh_p->nh_addr;
        if (nh_p->num_nh != 0) {
            nh_p->metric = 0;
            nh_p->num_nh = 0;
            nhres_update_both(vpn_p, &addr, true);
        }
        nh_p = pim_nhres_find_next(vpn_p, &addr);
    }
}

void pim_nhres_new_nbr_update_minfo(t_pim_vpn *vpn_p, const t_ipaddr *nbr_addr, bool auto_rp)
{
    if (vpn_p == nullptr) {
        PIM_LOG("Could not find vpn entry");
        return;
    }
    if (!nhres_db_ready(vpn_p)) {
        return;
    }
    PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_DETAIL,
                  "vpn: %lu PIM NHRES walk for new neighbor %s", pim_vpn_log_id(vpn_p),
                  ipaddr_str(nbr_addr).c);
    for (auto *nh_p = avl_first<t_pim_next_hop>(&vpn_p->nhres_db); nh_p != nullptr;) {
        t_ipaddr addr = nh_p->nh_addr;
        // Each re-evaluation may unlink the record's last entry and free it:
        // look it up again after every step.
        for (int i = 0; nh_p != nullptr && i < nh_p->num_nh; i++) {
            if (auto_rp) {
                pim_nhres_auto_rp_update_minfo_all(vpn_p, nh_p, false);
                nh_p = pim_nhres_find(vpn_p, &addr, nullptr);
                if (nh_p == nullptr || i >= nh_p->num_nh) {
                    break;
                }
            }
            const t_pim_nh_info *info = &pim_nhres_hops(nh_p)[i];
            bool via_nbr = addr_equal(&info->nh_addr, nbr_addr) ||
                           (IPADDR_IS_ZERO(&info->nh_addr) && addr_equal(&addr, nbr_addr));
            if (via_nbr) {
                pim_nhres_update_minfo_all(vpn_p, nh_p, false);
                break;
            }
        }
        nh_p = pim_nhres_find_next(vpn_p, &addr);
    }
}

void pim_nhres_dump(t_pim_daemon *daemon_p, void *user_p, t_pim_dump_out out)
{
    char line[512];
    out(user_p, "PIM Next Hop Resolution Database");
    for (auto *vpn_p = avl_first<t_pim_vpn>(&daemon_p->vpn_db); vpn_p != nullptr;
         vpn_p = avl_next(&daemon_p->vpn_db, vpn_p)) {
        if (!nhres_db_ready(vpn_p)) {
            continue;
        }
        snprintf(line, sizeof(line), "\nVPN: %lu", pim_vpn_log_id(vpn_p));
        out(user_p, line);
        for (auto *nh_p = avl_first<t_pim_next_hop>(&vpn_p->nhres_db); nh_p != nullptr;
             nh_p = avl_next(&vpn_p->nhres_db, nh_p)) {
            snprintf(line, sizeof(line),
                     "\n    NH: %s #(%d), metric %d, preference %d, protocol: %d num_hops %d",
                     ipaddr_str(&nh_p->nh_addr).c, nh_p->ref_count, nh_p->metric, nh_p->preference,
                     nh_p->route_type, nh_p->num_nh);
            out(user_p, line);
            for (int i = 0; i < nh_p->num_nh; i++) {
                const t_pim_nh_info *info = &pim_nhres_hops(nh_p)[i];
                snprintf(line, sizeof(line),
                         "\n      Resolved by NH: %s If Idx %u, Src-vpn: %lu color: %u encap: "
                         "%u weight: %u",
                         IPADDR_IS_ZERO(&info->nh_addr) ? "0.0.0.0" : ipaddr_str(&info->nh_addr).c,
                         info->if_index, static_cast<unsigned long>(info->src_vpn), info->color,
                         info->encap, info->weight);
                out(user_p, line);
            }
            out(user_p, "\n");
            // The Auto-RP entries after the others.
            for (bool auto_rp : {false, true}) {
                t_pim_minfo *minfo_p;
                TAILQ_FOREACH(minfo_p, &nh_p->minfo_list, nh_minfo_link)
                {
                    if ((minfo_p->type == PIM_TYPE_AUTO_RP) != auto_rp) {
                        continue;
                    }
                    snprintf(line, sizeof(line), " %s - (%s, %s)\n", pim_type_string(minfo_p->type),
                             ipaddr_str(&minfo_p->source).c, ipaddr_str(&minfo_p->group).c);
                    out(user_p, line);
                }
            }
            pim_daemon_process_urgent_timers();
        }
    }
}

t_pim_nbr *pim_minfo_find_service_nbr(t_pim_vpn *vpn_p, t_pim_minfo *, const t_pim_nh_info *nh_p,
                                      const t_ipaddr *target_p)
{
    auto bitmap_idx = static_cast<int>(nh_p->if_index);
    if (pim_if_bitmap_idx_find(vpn_p, bitmap_idx, nullptr) == nullptr) {
        return nullptr;
    }
    t_pim_if *if_p = pim_if_find_by_index(vpn_p, nh_p->if_index, PIM_IF_TYPE_LOCAL, nullptr);
    if (if_p == nullptr) {
        if_p = pim_if_find_by_index(vpn_p, nh_p->if_index, PIM_IF_TYPE_IGMP, nullptr);
    }
    if (if_p == nullptr) {
        return nullptr;
    }
    const t_ipaddr *nbr_addr = IPADDR_IS_ZERO(&nh_p->nh_addr) ? target_p : &nh_p->nh_addr;
    // A next hop may name one of the neighbor's secondary addresses.
    t_pim_nbr *nbr_p = pim_nbr_find_any(if_p, nbr_addr);
    if (nbr_p == nullptr || (nbr_p->nbr_flags & PIM_NBR_FLAG_CLEANUP) != 0) {
        return nullptr;
    }
    return nbr_p;
}

t_pim_nbr *pim_minfo_find_tunnel_nbr(t_pim_vpn *vpn_p, t_pim_minfo *, const t_pim_nh_info *nh_p)
{
    // The overlay router named by the next hop; choosing a replicator in its
    // place belongs to the replicator table.
    t_pim_nbr *nbr_p = pim_nbr_tunnel_find(vpn_p, &nh_p->nh_addr);
    if (nbr_p == nullptr || (nbr_p->nbr_flags & PIM_NBR_FLAG_CLEANUP) != 0) {
        return nullptr;
    }
    return nbr_p;
}

t_pim_nbr *pim_minfo_find_rpf_nbr(t_pim_vpn *vpn_p, t_pim_minfo *minfo_p, t_ipaddr *target_p)
{
    IPADDR_INIT(target_p, IP_ADDR_V4);
    t_ipaddr target;
    if (!pim_jp_rp_get(minfo_p, &target)) {
        return nullptr;
    }
    IPADDR_COPY(target_p, &target);
    t_pim_next_hop *nh_p = pim_nhres_find(vpn_p, &target, nullptr);
    if (nh_p == nullptr || nh_p->num_nh == 0) {
        return nullptr;
    }
    t_pim_nbr *best_p = nullptr;
    t_pim_nbr *last_p = nullptr;
    for (int i = 0; i < nh_p->num_nh && i < PIM_MAX_NEXT_HOPS; i++) {
        const t_pim_nh_info *info = &pim_nhres_hops(nh_p)[i];
        if (info->nh_type == E_PIM_NHTYPE_SERVICE) {
            last_p = pim_minfo_find_service_nbr(vpn_p, minfo_p, info, &target);
            if (last_p != nullptr &&
                (best_p == nullptr || IPADDR_CMP(&last_p->nbr_addr, &best_p->nbr_addr) > 0)) {
                best_p = last_p;
            }
            continue;
        }
        if (info->src_vpn != 0 && info->src_vpn != vpn_p->vpn_id) {
            continue;
        }
        last_p = pim_minfo_find_tunnel_nbr(vpn_p, minfo_p, info);
    }
    return best_p != nullptr ? best_p : last_p;
}

int pim_minfo_find_direct_source_if(t_pim_vpn *vpn_p, const t_ipaddr *source)
{
    t_pim_next_hop *nh_p = pim_nhres_find(vpn_p, source, nullptr);
    if (nh_p == nullptr || nh_p->num_nh == 0 || nh_p->route_type != PIM_ROUTE_TYPE_CONNECT) {
        return -1;
    }
    for (int i = 0; i < nh_p->num_nh && i < PIM_MAX_NEXT_HOPS; i++) {
        if (pim_nhres_hops(nh_p)[i].nh_type == E_PIM_NHTYPE_SERVICE) {
            return static_cast<int>(pim_nhres_hops(nh_p)[i].if_index);
        }
    }
    return -1;
}
