#include "daemon/pim_nbr.h"

#include <cstdio>
#include <event2/util.h>

#include "common/zul_assert.h"
#include "daemon/pim_assert.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_if.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_nhres.h"
#include "daemon/pim_pkt.h"
#include "daemon/pim_subsys.h"
#include "daemon/pim_vpn.h"

namespace
{

// Period the hold timer is created with; every Hello sets the real one.
constexpr uint32_t NBR_HOLD_TIMER_INIT_MS = 30;

unsigned long vpn_id_of(const t_pim_if *if_p)
{
    return if_p->vpn_p != nullptr ? static_cast<unsigned long>(if_p->vpn_p->vpn_id) : 0;
}

const t_pim_debug *if_dbg(const t_pim_if *if_p) { return pim_vpn_debug(if_p->vpn_p); }

bool is_tunnel(const t_pim_nbr *nbr_p) { return (nbr_p->nbr_flags & PIM_NBR_FLAG_TUNNEL) != 0; }

void arm_hold_timer(t_pim_nbr *nbr_p, uint32_t holdtime)
{
    if (holdtime == PIM_NBR_HOLDTIME_FOREVER_MS) {
        timer_disable(nbr_p->hold_timer);
    } else if (!is_tunnel(nbr_p)) {
        timer_reset(nbr_p->hold_timer, holdtime);
    }
}

} // namespace

const char *pim_nbr_cleanup_str(e_pim_nbr_cleanup reason)
{
    switch (reason) {
    case PIM_NBR_CLEANUP_GENID:
        return "Gen-id";
    case PIM_NBR_CLEANUP_ZERO_HOLDTIME:
        return "Zero-holdtime";
    case PIM_NBR_CLEANUP_HOLDTIME_EXP:
        return "holdtime-exp";
    case PIM_NBR_CLEANUP_IF_DISABLE:
        return "if-disable";
    case PIM_NBR_CLEANUP_CLEAR:
        return "clear";
    default:
        return "Unknown";
    }
}

int pim_nbr_cmp(const void *a, const void *b)
{
    int c = IPADDR_CMP(&static_cast<const t_pim_nbr *>(a)->nbr_addr,
                       &static_cast<const t_pim_nbr *>(b)->nbr_addr);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

t_pim_nbr *pim_nbr_find(t_pim_if *if_p, const t_ipaddr *addr, avl_index_t *where)
{
    t_pim_nbr key{};
    IPADDR_COPY(&key.nbr_addr, addr);
    return avl_find(&if_p->nbr_db, &key, where);
}

t_pim_nbr *pim_nbr_get_first(t_pim_if *if_p) { return avl_first<t_pim_nbr>(&if_p->nbr_db); }

t_pim_nbr *pim_nbr_get_next(t_pim_if *if_p, const t_ipaddr *addr)
{
    t_pim_nbr key{};
    IPADDR_COPY(&key.nbr_addr, addr);
    return avl_find_next(&if_p->nbr_db, &key);
}

t_pim_nbr *pim_nbr_vpn_find(t_pim_vpn *vpn_p, const t_ipaddr *addr)
{
    t_pim_if *first = avl_first<t_pim_if>(&vpn_p->if_db);
    if (first != nullptr) {
        if (t_pim_nbr *nbr_p = pim_nbr_find(first, addr, nullptr)) {
            return nbr_p;
        }
    }
    for (auto *if_p = avl_first<t_pim_if>(&vpn_p->pim_if_db); if_p != nullptr;
         if_p = avl_next(&vpn_p->pim_if_db, if_p)) {
        if (t_pim_nbr *nbr_p = pim_nbr_find(if_p, addr, nullptr)) {
            return nbr_p;
        }
    }
    return nullptr;
}

int pim_nbr_init(t_pim_if *if_p, t_pim_nbr *nbr_p)
{
    nbr_p->if_p = if_p;
    ipaddr_print(&nbr_p->nbr_addr, nbr_p->nbr_str, sizeof(nbr_p->nbr_str));
    nbr_p->hold_timer =
        timer_util_create(if_p->daemon_p->timer_mgr_p, TIMER_PRI_NORMAL, TIMER_TYPE_CYCLIC,
                          NBR_HOLD_TIMER_INIT_MS, pim_nbr_hold_timer_cb, nbr_p, "Hold timer");
    if (nbr_p->hold_timer == nullptr) {
        PIM_LOG_EVENT(if_dbg(if_p), PIM_DEBUG_LEVEL_BASIC, "vpn: %lu Failed to init nbr",
                      vpn_id_of(if_p));
        return 1;
    }
    return 0;
}

t_pim_nbr *pim_nbr_add(t_pim_if *if_p, const t_ipaddr *addr, avl_index_t *where, bool tunnel)
{
    t_pim_nbr *nbr_p = pim_new<t_pim_nbr>();
    if (nbr_p == nullptr) {
        PIM_LOG_EVENT(if_dbg(if_p), PIM_DEBUG_LEVEL_BASIC,
                      "vpn: %lu Failed to malloc memory for nbr %s", vpn_id_of(if_p),
                      ipaddr_str(addr).c);
        return nullptr;
    }
    if (tunnel) {
        nbr_p->nbr_flags |= PIM_NBR_FLAG_TUNNEL;
    }
    IPADDR_COPY(&nbr_p->nbr_addr, addr);
    nbr_p->up_time = time(nullptr);
    if (pim_nbr_init(if_p, nbr_p) != 0) {
        pim_delete(nbr_p);
        return nullptr;
    }
    if (where != nullptr) {
        avl_insert(&if_p->nbr_db, nbr_p, *where);
    } else {
        avl_add(&if_p->nbr_db, nbr_p);
    }
    pim_notify_nbr_state(if_p->daemon_p, nbr_p, false);
    return nbr_p;
}

t_pim_nbr *pim_nbr_find_or_create(t_pim_if *if_p, const t_ipaddr *addr, bool tunnel)
{
    avl_index_t where;
    t_pim_nbr *nbr_p = pim_nbr_find(if_p, addr, &where);
    return nbr_p != nullptr ? nbr_p : pim_nbr_add(if_p, addr, &where, tunnel);
}

namespace
{

// Keeps the count of Hello-learned neighbors that lack an option.
void track_presence(uint32_t &missing, bool had, bool has)
{
    if (had && !has) {
        missing++;
    } else if (!had && has && missing > 0) {
        missing--;
    }
}

void store_secondary(t_pim_nbr *nbr_p, const t_pim_nbr_hello &h)
{
    nbr_p->num_secondary = h.num_secondary;
    for (uint8_t i = 0; i < h.num_secondary; i++) {
        nbr_p->secondary[i] = h.secondary[i];
    }
}

bool at_limit(t_pim_if *if_p)
{
    if (avl_numnodes(&if_p->nbr_db) < if_p->config.max_nbrs) {
        return false;
    }
    if (g_kemd_p != nullptr) {
        g_kemd_p->stats.pkt_stats_rx.nbr_limit_pkts++;
    }
    if (if_p->vpn_p != nullptr) {
        if_p->vpn_p->stats.pkt_stats_rx.nbr_limit_pkts++;
    }
    if_p->stats.pkt_stats_rx.nbr_limit_pkts++;
    return true;
}

} // namespace

e_pim_status pim_nbr_process_hello_rec(t_pim_if *if_p, const t_ipaddr *src,
                                       const t_pim_nbr_hello &h)
{
    bool dr_changed = false;
    bool lan_changed = false;
    bool restarted = false;
    bool is_new = false;
    avl_index_t where;
    t_pim_nbr *nbr_p = pim_nbr_find(if_p, src, &where);
    if (nbr_p != nullptr) {
        if (h.has_dr_priority != nbr_p->has_dr_priority || h.dr_priority != nbr_p->dr_priority) {
            track_presence(if_p->ignore_drpriority, nbr_p->has_dr_priority, h.has_dr_priority);
            nbr_p->has_dr_priority = h.has_dr_priority;
            nbr_p->dr_priority = h.dr_priority;
            dr_changed = true;
        }
        if (h.has_gen_id != nbr_p->has_gen_id || h.gen_id != nbr_p->gen_id) {
            nbr_p->has_gen_id = h.has_gen_id;
            nbr_p->gen_id = h.gen_id;
            pim_nbr_cleanup(nbr_p, PIM_NBR_CLEANUP_GENID);
            restarted = true;
        }
        if (h.has_lan_delay != nbr_p->has_lan_delay || h.prop_delay != nbr_p->prop_delay ||
            h.override_int != nbr_p->override_interval) {
            track_presence(if_p->ignore_lan_delay, nbr_p->has_lan_delay, h.has_lan_delay);
            nbr_p->has_lan_delay = h.has_lan_delay;
            nbr_p->prop_delay = h.prop_delay;
            nbr_p->override_interval = h.override_int;
            lan_changed = true;
        }
        nbr_p->t_bit = h.t_bit;
        store_secondary(nbr_p, h);
        nbr_p->hold_time = h.holdtime;
        if (h.holdtime != 0) {
            arm_hold_timer(nbr_p, h.holdtime);
        }
    } else {
        // A goodbye from a router we do not know leaves nothing to undo.
        if (h.holdtime == 0 || at_limit(if_p)) {
            return PIM_STATUS_OK;
        }
        nbr_p = pim_nbr_add(if_p, src, &where, false);
        if (nbr_p == nullptr) {
            PIM_LOG("Failed to alloc memory/insert neighbor on if: %s ", if_p->user_name);
            return PIM_STATUS_MEM_FAIL;
        }
        nbr_p->dr_priority = h.dr_priority;
        nbr_p->gen_id = h.gen_id;
        nbr_p->hold_time = h.holdtime;
        nbr_p->prop_delay = h.prop_delay;
        nbr_p->override_interval = h.override_int;
        nbr_p->t_bit = h.t_bit;
        nbr_p->has_dr_priority = h.has_dr_priority;
        nbr_p->has_gen_id = h.has_gen_id;
        nbr_p->has_lan_delay = h.has_lan_delay;
        store_secondary(nbr_p, h);
        dr_changed = true;
        lan_changed = true;
        arm_hold_timer(nbr_p, h.holdtime);
        if (!h.has_dr_priority) {
            if_p->ignore_drpriority++;
        }
        if (!h.has_lan_delay) {
            if_p->ignore_lan_delay++;
        }
        is_new = true;
    }

    if (h.holdtime == 0) {
        (void)pim_nbr_delete(nbr_p, PIM_NBR_CLEANUP_ZERO_HOLDTIME);
        return PIM_STATUS_OK;
    }
    // The new or restarted neighbor learns about us without waiting for the
    // Hello period.
    if (is_new || restarted) {
        pim_nbr_trigger_hello(if_p);
    }
    if (lan_changed) {
        pim_nbr_recalculate_prop_delay(if_p);
    }
    if (dr_changed) {
        pim_nbr_elect_dr(if_p);
    }
    if (is_new || restarted) {
        bool auto_rp = avl_numnodes(&if_p->nbr_db) == 1 && if_p->vpn_p != nullptr &&
                       if_p->vpn_p->auto_rp_enabled;
        pim_nhres_new_nbr_update_minfo(if_p->vpn_p, &nbr_p->nbr_addr, auto_rp);
    }
    return PIM_STATUS_OK;
}

e_pim_status pim_nbr_process_hello(t_pim_if *if_p, const t_ipaddr *src, uint32_t holdtime,
                                   uint32_t dr_priority, uint32_t gen_id, uint16_t prop_delay,
                                   uint16_t override_int)
{
    t_pim_nbr_hello h{};
    h.holdtime = holdtime;
    h.dr_priority = dr_priority;
    h.gen_id = gen_id;
    h.prop_delay = prop_delay;
    h.override_int = override_int;
    h.has_dr_priority = true;
    h.has_gen_id = true;
    h.has_lan_delay = true;
    return pim_nbr_process_hello_rec(if_p, src, h);
}

uint32_t pim_nbr_rand_ms(uint32_t max_ms)
{
    uint32_t r = 0;
    evutil_secure_rng_get_bytes(&r, sizeof(r));
    return static_cast<uint32_t>(r % (uint64_t{max_ms} + 1));
}

void pim_nbr_trigger_hello(t_pim_if *if_p)
{
    if (if_p->trig_hello_timer == nullptr) {
        if_p->trig_hello_timer = timer_util_create(
            if_p->daemon_p->timer_mgr_p, TIMER_PRI_NORMAL, TIMER_TYPE_ONESHOT,
            PIM_NBR_TRIGGERED_HELLO_MS, pim_nbr_triggered_hello_cb, if_p, "Triggered hello");
        if (if_p->trig_hello_timer == nullptr) {
            (void)pim_pkt_encode_hello(if_p, false);
            return;
        }
    }
    if (!timer_is_active(if_p->trig_hello_timer)) {
        timer_reset(if_p->trig_hello_timer, pim_nbr_rand_ms(PIM_NBR_TRIGGERED_HELLO_MS));
    }
}

void pim_nbr_triggered_hello_cb(t_timer *, void *if_arg)
{
    (void)pim_pkt_encode_hello(static_cast<t_pim_if *>(if_arg), false);
}

bool pim_nbr_suppression_enabled(t_pim_if *if_p)
{
    if (if_p->ignore_lan_delay != 0) {
        return true;
    }
    for (auto *n = avl_first<t_pim_nbr>(&if_p->nbr_db); n != nullptr;
         n = avl_next(&if_p->nbr_db, n)) {
        if (!is_tunnel(n) && !n->t_bit) {
            return true;
        }
    }
    return avl_numnodes(&if_p->nbr_db) == 0;
}

t_pim_nbr *pim_nbr_find_any(t_pim_if *if_p, const t_ipaddr *addr)
{
    if (t_pim_nbr *nbr_p = pim_nbr_find(if_p, addr, nullptr)) {
        return nbr_p;
    }
    for (auto *n = avl_first<t_pim_nbr>(&if_p->nbr_db); n != nullptr;
         n = avl_next(&if_p->nbr_db, n)) {
        for (uint8_t i = 0; i < n->num_secondary; i++) {
            if (IPADDR_CMP(&n->secondary[i], addr) == 0) {
                return n;
            }
        }
    }
    return nullptr;
}

void pim_nbr_recalculate_prop_delay(t_pim_if *if_p)
{
    uint32_t prop = PIM_IF_DEFAULT_PROP_DELAY_MS;
    uint32_t over = PIM_IF_DEFAULT_OVERRIDE_MS;
    if (if_p->ignore_lan_delay == 0) {
        for (auto *n = avl_first<t_pim_nbr>(&if_p->nbr_db); n != nullptr;
             n = avl_next(&if_p->nbr_db, n)) {
            if (is_tunnel(n)) {
                continue;
            }
            prop = n->prop_delay > prop ? n->prop_delay : prop;
            over = n->override_interval > over ? n->override_interval : over;
        }
    }
    if_p->prop_delay = static_cast<uint16_t>(prop);
    if_p->override_int = static_cast<uint16_t>(over);
}

void pim_nbr_elect_dr(t_pim_if *if_p)
{
    if (!if_p->pim_enabled || if_p->pim_if_type == PIM_IF_TYPE_IGMP ||
        if_p->self_nbr_p == nullptr) {
        return;
    }
    t_pim_nbr *cand = if_p->self_nbr_p;
    for (auto *n = avl_first<t_pim_nbr>(&if_p->nbr_db); n != nullptr;
         n = avl_next(&if_p->nbr_db, n)) {
        bool higher_addr = IPADDR_CMP(&n->nbr_addr, &cand->nbr_addr) > 0;
        if (if_p->ignore_drpriority != 0) {
            if (higher_addr) {
                cand = n;
            }
        } else if (n->dr_priority > cand->dr_priority ||
                   (n->dr_priority == cand->dr_priority && higher_addr)) {
            cand = n;
        }
    }
    PIM_LOG_EVENT(if_dbg(if_p), PIM_DEBUG_LEVEL_DETAIL,
                  "vpn: %lu On if: %s (DR Prio %d) selecting DR %s with priority %d",
                  vpn_id_of(if_p), if_p->user_name, static_cast<int>(if_p->config.dr_priority),
                  cand->nbr_str, static_cast<int>(cand->dr_priority));
    if_p->dr_nbr_p = cand;
}

void pim_nbr_cleanup(t_pim_nbr *nbr_p, e_pim_nbr_cleanup reason)
{
    t_pim_if *if_p = nbr_p->if_p;
    PIM_LOG_EVENT(if_dbg(if_p), PIM_DEBUG_LEVEL_BASIC,
                  "vpn: %lu Cleaning up neighbor %s, reason: %s", vpn_id_of(if_p), nbr_p->nbr_str,
                  pim_nbr_cleanup_str(reason));
    nbr_p->nbr_flags |= PIM_NBR_FLAG_CLEANUP;
    bool reelect = false;
    if (reason != PIM_NBR_CLEANUP_GENID && !is_tunnel(nbr_p)) {
        // The largest values may have left with it.
        if (!nbr_p->has_lan_delay && if_p->ignore_lan_delay > 0) {
            if_p->ignore_lan_delay--;
        }
        pim_nbr_recalculate_prop_delay(if_p);
        if (!nbr_p->has_dr_priority && if_p->ignore_drpriority > 0) {
            if_p->ignore_drpriority--;
            reelect = true;
        }
    }
    pim_assert_nbr_gone(nbr_p);
    pim_minfo_cleanup_nbr(if_p->vpn_p, nbr_p);
    if (avl_numnodes(&if_p->nbr_db) == 0) {
        pim_minfo_cleanup_if(if_p);
        reelect = true;
    }
    if (if_p->dr_nbr_p == nbr_p) {
        reelect = true;
    }
    if (reelect) {
        pim_nbr_elect_dr(if_p);
    }
    nbr_p->nbr_flags &= ~PIM_NBR_FLAG_CLEANUP;
}

e_pim_status pim_nbr_delete(t_pim_nbr *nbr_p, e_pim_nbr_cleanup reason)
{
    t_pim_if *if_p = nbr_p->if_p;
    if (if_p->vpn_p == nullptr) {
        return PIM_STATUS_FAIL;
    }
    unsigned long id = vpn_id_of(if_p);
    PIM_LOG_EVENT(if_dbg(if_p), PIM_DEBUG_LEVEL_BASIC, "vpn: %lu Deleting neighbor %lu: %s", id, id,
                  nbr_p->nbr_str);
    pim_notify_nbr_state(if_p->daemon_p, nbr_p, true);
    avl_remove(&if_p->nbr_db, nbr_p);
    pim_nbr_cleanup(nbr_p, reason);
    if (if_p->dr_nbr_p == nbr_p) {
        // No election could run (interface not enabled or no self neighbor).
        if_p->dr_nbr_p = if_p->self_nbr_p;
    }
    if (nbr_p->hold_timer != nullptr) {
        timer_util_delete(nbr_p->hold_timer);
    }
    pim_delete(nbr_p);
    return PIM_STATUS_OK;
}

void pim_nbr_if_cleanup(t_pim_if *if_p)
{
    while (auto *nbr_p = avl_first<t_pim_nbr>(&if_p->nbr_db)) {
        if (pim_nbr_delete(nbr_p, PIM_NBR_CLEANUP_IF_DISABLE) != PIM_STATUS_OK) {
            // Without a VPN the neighbor still has to go with its interface.
            avl_remove(&if_p->nbr_db, nbr_p);
            if (nbr_p->hold_timer != nullptr) {
                timer_util_delete(nbr_p->hold_timer);
            }
            pim_delete(nbr_p);
        }
    }
    if (if_p->trig_hello_timer != nullptr) {
        timer_util_delete(if_p->trig_hello_timer);
        if_p->trig_hello_timer = nullptr;
    }
    pim_delete(if_p->self_nbr_p);
    if_p->self_nbr_p = nullptr;
    if_p->dr_nbr_p = nullptr;
}

void pim_nbr_hold_timer_cb(t_timer *, void *nbr_arg)
{
    auto *nbr_p = static_cast<t_pim_nbr *>(nbr_arg);
    PIM_LOG_EVENT(if_dbg(nbr_p->if_p), PIM_DEBUG_LEVEL_BASIC,
                  "vpn: %lu Hold timer expired for neighbor %s", vpn_id_of(nbr_p->if_p),
                  nbr_p->nbr_str);
    (void)pim_nbr_delete(nbr_p, PIM_NBR_CLEANUP_HOLDTIME_EXP);
}

t_pim_nbr *pim_nbr_tunnel_find_or_create(t_pim_if *if_p, const t_ipaddr *site)
{
    t_pim_nbr *nbr_p = pim_nbr_find_or_create(if_p, site, true);
    ZUL_ASSERT(nbr_p == nullptr || avl_numnodes(&if_p->nbr_db) == 1);
    return nbr_p;
}

void pim_nbr_tunnel_init(t_pim_nbr *nbr_p)
{
    timer_disable(nbr_p->hold_timer);
    pim_nhres_new_nbr_update_minfo(nbr_p->if_p->vpn_p, &nbr_p->nbr_addr, true);
}

t_pim_nbr *pim_nbr_tunnel_find(t_pim_vpn *vpn_p, const t_ipaddr *site)
{
    t_pim_if *if_p = pim_if_tunnel_find(vpn_p, site);
    return if_p != nullptr ? pim_nbr_find(if_p, site, nullptr) : nullptr;
}

void pim_nbr_get_flags_str(const t_pim_nbr *nbr_p, char *buf, size_t size)
{
    snprintf(buf, size, "%s%s", (nbr_p->nbr_flags & PIM_NBR_FLAG_CLEANUP) ? "CLEANUP " : "",
             is_tunnel(nbr_p) ? "TUNNEL " : "");
}
