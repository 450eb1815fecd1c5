#include "daemon/pim_if.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <event2/event.h>
#include <event2/util.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/zul_assert.h"
#include "daemon/pim_chassis.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_jp.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_nbr.h"
#include "daemon/pim_ns.h"
#include "daemon/pim_pkt.h"
#include "daemon/pim_subsys.h"

namespace
{

int pim_if_name_cmp(const void *a, const void *b)
{
    const auto *x = static_cast<const t_pim_if *>(a);
    const auto *y = static_cast<const t_pim_if *>(b);
    int c = avl_cmp3(x->pim_if_type, y->pim_if_type);
    if (c != 0) {
        return c;
    }
    int r = strncmp(x->if_name, y->if_name, PIM_IF_NAME_LEN);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

// Shorter names first, so that ge0/2 is listed before ge0/10.
int pim_show_if_name_cmp(const void *a, const void *b)
{
    const auto *x = static_cast<const t_pim_if *>(a);
    const auto *y = static_cast<const t_pim_if *>(b);
    int c = avl_cmp3(x->pim_if_type, y->pim_if_type);
    if (c != 0) {
        return c;
    }
    c = avl_cmp3(strnlen(x->if_name, PIM_IF_NAME_LEN), strnlen(y->if_name, PIM_IF_NAME_LEN));
    if (c != 0) {
        return c;
    }
    int r = strncmp(x->if_name, y->if_name, PIM_IF_NAME_LEN);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int pim_if_index_cmp(const void *a, const void *b)
{
    const auto *x = static_cast<const t_pim_if *>(a);
    const auto *y = static_cast<const t_pim_if *>(b);
    int c = avl_cmp3(x->if_index, y->if_index);
    return c != 0 ? c : avl_cmp3(x->pim_if_type, y->pim_if_type);
}

int pim_if_addr_cmp(const void *a, const void *b)
{
    return IPPREFIX_CMP(&static_cast<const t_pim_if_addr *>(a)->addr,
                        &static_cast<const t_pim_if_addr *>(b)->addr);
}

void addr_db_free_all(t_pim_if *if_p)
{
    void *cookie = nullptr;
    while (auto *a = static_cast<t_pim_if_addr *>(avl_destroy_nodes(&if_p->if_addr_db, &cookie))) {
        pim_delete(a);
    }
    avl_destroy(&if_p->if_addr_db);
    avl_create(&if_p->if_addr_db, pim_if_addr_cmp, sizeof(t_pim_if_addr),
               offsetof(t_pim_if_addr, addr_tree_node));
}

void hello_timer_delete(t_pim_if *if_p)
{
    if (if_p->hello_timer != nullptr) {
        timer_util_delete(if_p->hello_timer);
        if_p->hello_timer = nullptr;
    }
}

} // namespace

const char *pim_if_type_str(e_pim_if_type type)
{
    switch (type) {
    case PIM_IF_TYPE_LOCAL:
        return "Local";
    case PIM_IF_TYPE_TUNNEL:
        return "Tunnel";
    case PIM_IF_TYPE_IGMP:
        return "Igmp";
    default:
        return "Any";
    }
}

const char *pim_if_state_str(e_pim_if_state state)
{
    return state == PIM_IF_STATE_UP ? "Up" : "Down";
}

// Tables and lookup.

e_pim_status pim_if_db_init(t_pim_vpn *vpn_p)
{
    avl_create(&vpn_p->if_db, pim_if_name_cmp, sizeof(t_pim_if),
               offsetof(t_pim_if, name_tree_node));
    avl_create(&vpn_p->pim_if_db, pim_if_name_cmp, sizeof(t_pim_if),
               offsetof(t_pim_if, pim_if_tree_node));
    avl_create(&vpn_p->pim_show_if_db, pim_show_if_name_cmp, sizeof(t_pim_if),
               offsetof(t_pim_if, pim_show_if_tree_node));
    avl_create(&vpn_p->if_index_db, pim_if_index_cmp, sizeof(t_pim_if),
               offsetof(t_pim_if, index_tree_node));
    return PIM_STATUS_OK;
}

void pim_if_db_destroy(t_pim_vpn *vpn_p)
{
    if (vpn_p->if_db.avl_compar == nullptr) {
        return;
    }
    while (t_pim_if *if_p = avl_first<t_pim_if>(&vpn_p->if_db)) {
        pim_if_delete(vpn_p, if_p);
    }
    avl_destroy(&vpn_p->if_db);
    avl_destroy(&vpn_p->if_index_db);
    avl_destroy(&vpn_p->pim_if_db);
    avl_destroy(&vpn_p->pim_show_if_db);
}

t_pim_if *pim_if_find(t_pim_vpn *vpn_p, const char *name, e_pim_if_type type, avl_index_t *where,
                      bool in_pim_db)
{
    t_pim_if key{};
    key.pim_if_type = type;
    snprintf(key.if_name, sizeof(key.if_name), "%s", name);
    return avl_find(in_pim_db ? &vpn_p->pim_if_db : &vpn_p->if_db, &key, where);
}

t_pim_if *pim_if_find_by_index(t_pim_vpn *vpn_p, uint32_t index, e_pim_if_type type,
                               avl_index_t *where)
{
    t_pim_if key{};
    key.if_index = index;
    key.pim_if_type = type;
    if (type != PIM_IF_TYPE_ANY) {
        return avl_find(&vpn_p->if_index_db, &key, where);
    }
    t_pim_if *if_p = avl_find_next(&vpn_p->if_index_db, &key);
    return (if_p != nullptr && if_p->if_index == index) ? if_p : nullptr;
}

t_pim_if *pim_if_get_first(t_pim_vpn *vpn_p) { return avl_first<t_pim_if>(&vpn_p->if_db); }

t_pim_if *pim_if_find_next(t_pim_vpn *vpn_p, const char *name, bool in_pim_db)
{
    avl_tree_t *tree = in_pim_db ? &vpn_p->pim_if_db : &vpn_p->if_db;
    for (e_pim_if_type type : {PIM_IF_TYPE_LOCAL, PIM_IF_TYPE_TUNNEL, PIM_IF_TYPE_IGMP}) {
        t_pim_if *if_p = pim_if_find(vpn_p, name, type, nullptr, in_pim_db);
        if (if_p != nullptr) {
            return avl_next(tree, if_p);
        }
    }
    return avl_first<t_pim_if>(tree);
}

void pim_if_index_to_str(t_pim_vpn *vpn_p, uint32_t index, char *buf, size_t size)
{
    t_pim_if *if_p = pim_if_find_by_index(vpn_p, index, PIM_IF_TYPE_ANY, nullptr);
    if (if_p != nullptr) {
        snprintf(buf, size, "%s", if_p->user_name);
    } else {
        snprintf(buf, size, "%u", index);
    }
}

t_pim_if *pim_if_tunnel_find(t_pim_vpn *vpn_p, const t_ipaddr *site)
{
    return pim_if_find(vpn_p, ipaddr_str(site).c, PIM_IF_TYPE_TUNNEL, nullptr, true);
}

t_pim_if *pim_if_igmp_find(t_pim_vpn *vpn_p, const char *name)
{
    return pim_if_find(vpn_p, name, PIM_IF_TYPE_IGMP, nullptr, true);
}

// Creation and deletion.

t_pim_if *pim_if_create(t_pim_vpn *vpn_p, const char *name, e_pim_if_type type, uint32_t index,
                        avl_index_t *where, bool from_config, bool reported)
{
    if (type == PIM_IF_TYPE_TUNNEL) {
        index = pim_if_tunnel_idx_get(vpn_p);
        if (index == 0) {
            PIM_LOG("Failed to get tunnel idx for vpn: %lu", pim_vpn_log_id(vpn_p));
            return nullptr;
        }
    }
    t_pim_if *if_p = pim_new<t_pim_if>();
    if (if_p == nullptr) {
        if (type == PIM_IF_TYPE_TUNNEL) {
            pim_if_tunnel_idx_release(vpn_p, index);
        }
        return nullptr;
    }
    if_p->vpn_p = vpn_p;
    if_p->daemon_p = vpn_p->daemon_p;
    if_p->admin_state = PIM_IF_STATE_DOWN;
    if_p->oper_state = PIM_IF_STATE_DOWN;
    if_p->pim_if_type = type;
    if_p->magic = PIM_IF_MAGIC;
    if_p->sock_fd = -1;
    if_p->sock_auto_rp_fd = -1;
    if_p->config.hello_interval = PIM_IF_DEFAULT_HELLO_MS;
    if_p->config.holdtime = PIM_IF_DEFAULT_HELLO_MS * 7 / 2;
    if_p->config.dr_priority = PIM_IF_DEFAULT_DR_PRIORITY;
    if_p->config.max_nbrs = PIM_IF_DEFAULT_MAX_NBRS;
    snprintf(if_p->if_name, sizeof(if_p->if_name), "%.63s", name);
    avl_create(&if_p->if_addr_db, pim_if_addr_cmp, sizeof(t_pim_if_addr),
               offsetof(t_pim_if_addr, addr_tree_node));
    avl_create(&if_p->nbr_db, pim_nbr_cmp, sizeof(t_pim_nbr), offsetof(t_pim_nbr, nbr_tree_node));
    avl_index_t at;
    if (where == nullptr && pim_if_find(vpn_p, name, type, &at, false) == nullptr) {
        where = &at;
    }
    if (where != nullptr) {
        avl_insert(&vpn_p->if_db, if_p, *where);
    } else {
        avl_add(&vpn_p->if_db, if_p);
    }
    if (type == PIM_IF_TYPE_TUNNEL) {
        pim_if_update_index(if_p, index);
    }

    if (type == PIM_IF_TYPE_LOCAL) {
        pim_chassis_user_name(if_p->if_name, if_p->user_name, sizeof(if_p->user_name));
        PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_DETAIL,
                      "vpn: %lu Creating interface %s (%u) from %s\n", pim_vpn_log_id(vpn_p),
                      if_p->if_name, index, from_config ? "Config" : "Zebra");
    } else {
        snprintf(if_p->user_name, sizeof(if_p->user_name), "%s", if_p->if_name);
        PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_DETAIL,
                      "vpn: %lu Creating interface %s (%u) from FAB\n", pim_vpn_log_id(vpn_p),
                      if_p->if_name, index);
    }
    if (from_config) {
        if_p->config_exist = true;
    }
    if (reported) {
        if_p->zebra_exist = true;
        pim_if_update_index(if_p, index);
    }
    if (pim_if_minfo_init(if_p) != PIM_STATUS_OK) {
        pim_if_delete(vpn_p, if_p);
        return nullptr;
    }
    return if_p;
}

t_pim_if *pim_if_find_or_create(t_pim_vpn *vpn_p, const char *name, e_pim_if_type type,
                                uint32_t index, bool from_config, bool reported)
{
    avl_index_t where;
    t_pim_if *if_p = pim_if_find(vpn_p, name, type, &where, false);
    if (if_p == nullptr) {
        return pim_if_create(vpn_p, name, type, index, &where, from_config, reported);
    }
    if (from_config) {
        if_p->config_exist = true;
    }
    if (reported) {
        if_p->zebra_exist = true;
        pim_if_update_index(if_p, index);
    }
    return if_p;
}

void pim_if_find_and_delete(t_pim_vpn *vpn_p, const char *name, e_pim_if_type type,
                            bool from_config, bool reported)
{
    t_pim_if *if_p = pim_if_find(vpn_p, name, type, nullptr, false);
    if (if_p == nullptr) {
        return;
    }
    if (from_config) {
        if_p->config_exist = false;
        pim_if_admin_state(if_p, true);
    }
    if (reported) {
        if_p->zebra_exist = false;
        pim_if_oper_state(if_p, true);
        addr_db_free_all(if_p);
    }
    if (!if_p->config_exist && !if_p->zebra_exist) {
        pim_if_delete(vpn_p, if_p);
    }
}

void pim_if_delete(t_pim_vpn *vpn_p, t_pim_if *if_p)
{
    ZUL_ASSERT(if_p->magic == PIM_IF_MAGIC);
    avl_remove(&vpn_p->if_db, if_p);
    if (if_p->if_index != 0 &&
        pim_if_find_by_index(vpn_p, if_p->if_index, if_p->pim_if_type, nullptr) == if_p) {
        avl_remove(&vpn_p->if_index_db, if_p);
    }
    if (if_p->pim_configured) {
        pim_if_disable(if_p);
        avl_remove(&vpn_p->pim_if_db, if_p);
        avl_remove(&vpn_p->pim_show_if_db, if_p);
    }
    // Tunnel neighbors and any left by a failed enable go with the interface.
    pim_nbr_if_cleanup(if_p);
    hello_timer_delete(if_p);
    void *cookie = nullptr;
    while (auto *a = static_cast<t_pim_if_addr *>(avl_destroy_nodes(&if_p->if_addr_db, &cookie))) {
        pim_delete(a);
    }
    avl_destroy(&if_p->if_addr_db);
    pim_if_minfo_destroy(if_p);
    avl_destroy(&if_p->nbr_db);
    if (if_p->pim_if_type == PIM_IF_TYPE_TUNNEL) {
        if (if_p->if_index > PIM_IF_TUNNEL_IDX_BASE) {
            pim_if_tunnel_idx_release(vpn_p, if_p->if_index);
        }
    } else if (if_p->if_index != 0) {
        pim_if_idx_find_and_delete(vpn_p, static_cast<int>(if_p->if_index), if_p->pim_if_type,
                                   true);
    }
    pim_jp_tx_discard(if_p);
    if_p->magic = PIM_IF_MAGIC_DEAD;
    pim_delete(if_p);
}

t_pim_if *pim_if_tunnel_create(t_pim_vpn *vpn_p, const t_ipaddr *site, uint32_t label)
{
    t_ipaddr_str name = ipaddr_str(site);
    PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_BASIC,
                  "vpn: %lu Creating tunnel interface: %s", pim_vpn_log_id(vpn_p), name.c);
    avl_index_t where;
    ZUL_ASSERT(pim_if_find(vpn_p, name.c, PIM_IF_TYPE_TUNNEL, &where, false) == nullptr);
    t_pim_if *if_p = pim_if_create(vpn_p, name.c, PIM_IF_TYPE_TUNNEL, 0, &where, true, true);
    if (if_p == nullptr) {
        return nullptr;
    }
    if_p->label = label;
    t_ipprefix prefix{};
    IPADDR_COPY(&prefix.addr, site);
    prefix.prefixlen = IPADDR_IS_V4(site) ? 32 : 128;
    IPPREFIX_COPY(&if_p->if_addr, &prefix);
    (void)pim_if_addr_update(vpn_p->daemon_p, vpn_p, name.c, PIM_IF_TYPE_TUNNEL, &prefix, false);
    pim_if_admin_state(if_p, false);
    pim_if_oper_state(if_p, false);
    pim_if_config_update(vpn_p->daemon_p, vpn_p, if_p, true);
    t_pim_nbr *nbr_p = pim_nbr_tunnel_find_or_create(if_p, site);
    if (nbr_p == nullptr) {
        pim_if_find_and_delete(vpn_p, name.c, PIM_IF_TYPE_TUNNEL, true, true);
        return nullptr;
    }
    pim_if_tunnel_init(if_p);
    pim_nbr_tunnel_init(nbr_p);
    return if_p;
}

void pim_if_tunnel_find_and_delete(t_pim_vpn *vpn_p, const t_ipaddr *site)
{
    t_ipaddr_str name = ipaddr_str(site);
    PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_BASIC,
                  "vpn: %lu Deleting tunnel interface: %s", pim_vpn_log_id(vpn_p), name.c);
    pim_if_find_and_delete(vpn_p, name.c, PIM_IF_TYPE_TUNNEL, true, true);
}

void pim_if_tunnel_vpn_delete(t_pim_vpn *vpn_p)
{
    t_pim_if *if_p = avl_first<t_pim_if>(&vpn_p->if_db);
    while (if_p != nullptr) {
        t_pim_if *next = avl_next(&vpn_p->if_db, if_p);
        if (if_p->pim_if_type == PIM_IF_TYPE_TUNNEL) {
            pim_repl_delete(vpn_p, &if_p->if_addr.addr);
            pim_if_find_and_delete(vpn_p, if_p->if_name, PIM_IF_TYPE_TUNNEL, true, true);
        }
        if_p = next;
    }
}

t_pim_if *pim_if_igmp_find_or_create(t_pim_vpn *vpn_p, const char *name, uint32_t index)
{
    avl_index_t where;
    t_pim_if *if_p = pim_if_find(vpn_p, name, PIM_IF_TYPE_IGMP, &where, false);
    if (if_p != nullptr) {
        return if_p;
    }
    if_p = pim_if_create(vpn_p, name, PIM_IF_TYPE_IGMP, index, &where, true, true);
    if (if_p == nullptr) {
        return nullptr;
    }
    pim_if_admin_state(if_p, false);
    pim_if_oper_state(if_p, false);
    pim_if_config_update(vpn_p->daemon_p, vpn_p, if_p, true);
    pim_if_igmp_init(if_p);
    return if_p;
}

void pim_if_igmp_vpn_delete(t_pim_vpn *vpn_p)
{
    t_pim_if *if_p = avl_first<t_pim_if>(&vpn_p->if_db);
    while (if_p != nullptr) {
        t_pim_if *next = avl_next(&vpn_p->if_db, if_p);
        if (if_p->pim_if_type == PIM_IF_TYPE_IGMP) {
            pim_if_find_and_delete(vpn_p, if_p->if_name, PIM_IF_TYPE_IGMP, true, true);
        }
        if_p = next;
    }
}

// State inputs.

void pim_if_config_update(t_pim_daemon *, t_pim_vpn *vpn_p, t_pim_if *if_p, bool configured)
{
    if_p->pim_configured = configured;
    bool in_db = avl_is_linked(&vpn_p->pim_if_db, if_p);
    if (configured && !in_db) {
        avl_add(&vpn_p->pim_if_db, if_p);
        avl_add(&vpn_p->pim_show_if_db, if_p);
        (void)pim_if_enable(if_p);
    } else if (!configured && in_db) {
        pim_if_disable(if_p);
        avl_remove(&vpn_p->pim_if_db, if_p);
        avl_remove(&vpn_p->pim_show_if_db, if_p);
    }
}

void pim_if_config_update_hello_interval(t_pim_daemon *, t_pim_vpn *, t_pim_if *if_p, uint32_t ms)
{
    // The Hello timer ticks in whole seconds; a shorter period would never wait.
    ms = ms < PIM_IF_MIN_HELLO_MS ? PIM_IF_MIN_HELLO_MS : ms;
    if_p->config.hello_interval = ms;
    if_p->config.holdtime = static_cast<uint32_t>(uint64_t{ms} * 7 / 2);
    if (if_p->hello_timer != nullptr && timer_is_active(if_p->hello_timer)) {
        pim_if_hello_cb(if_p->hello_timer, if_p);
        timer_reset_interval(if_p->hello_timer, ms);
    }
}

void pim_if_config_update_jp_interval(t_pim_daemon *, t_pim_vpn *, t_pim_if *if_p, uint32_t seconds)
{
    uint32_t ms = (seconds & 0xFFFF) * 1000;
    if (if_p->config.join_interval == ms) {
        return;
    }
    if_p->config.join_interval = ms;
    // Entries joined through this interface refresh at the new pace.
    pim_minfo_jp_interval_update(if_p);
}

void pim_if_config_update_dr_priority(t_pim_daemon *, t_pim_vpn *, t_pim_if *if_p,
                                      uint32_t priority)
{
    if_p->config.dr_priority = priority;
    if (if_p->self_nbr_p != nullptr) {
        if_p->self_nbr_p->dr_priority = priority;
    }
    pim_nbr_elect_dr(if_p);
}

void pim_if_admin_state(t_pim_if *if_p, bool down)
{
    bool was_up = if_p->admin_state == PIM_IF_STATE_UP && if_p->oper_state == PIM_IF_STATE_UP;
    e_pim_if_state next = down ? PIM_IF_STATE_DOWN : PIM_IF_STATE_UP;
    PIM_LOG_EVENT(pim_if_debug(if_p), PIM_DEBUG_LEVEL_DETAIL,
                  "vpn: %lu If %s old admin state: %s new admin state %s",
                  pim_vpn_log_id(if_p->vpn_p), if_p->user_name, was_up ? "Up" : "Down",
                  pim_if_state_str(next));
    if_p->admin_state = next;
    if (down) {
        if (if_p->pim_configured) {
            pim_if_disable(if_p);
        }
    } else {
        (void)pim_if_enable(if_p);
    }
}

void pim_if_oper_state(t_pim_if *if_p, bool down)
{
    bool was_up = if_p->admin_state == PIM_IF_STATE_UP && if_p->oper_state == PIM_IF_STATE_UP;
    e_pim_if_state next = down ? PIM_IF_STATE_DOWN : PIM_IF_STATE_UP;
    PIM_LOG_EVENT(pim_if_debug(if_p), PIM_DEBUG_LEVEL_DETAIL,
                  "vpn: %lu If %s old oper state: %s new oper state %s",
                  pim_vpn_log_id(if_p->vpn_p), if_p->user_name, was_up ? "Up" : "Down",
                  pim_if_state_str(next));
    if_p->oper_state = next;
    if (down) {
        if (if_p->pim_configured) {
            pim_if_disable(if_p);
        }
    } else {
        (void)pim_if_enable(if_p);
    }
}

void pim_if_admin_reset(t_pim_if *if_p)
{
    pim_if_admin_state(if_p, true);
    pim_if_admin_state(if_p, false);
}

int pim_if_addr_update(t_pim_daemon *, t_pim_vpn *vpn_p, const char *name, e_pim_if_type type,
                       const t_ipprefix *prefix, bool withdrawn)
{
    PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_DETAIL,
                  "vpn: %lu IP address change on if %s ", pim_vpn_log_id(vpn_p), name);
    if (vpn_p == nullptr) {
        return 1;
    }
    t_pim_if *if_p = pim_if_find(vpn_p, name, type, nullptr, false);
    if (if_p == nullptr) {
        return 1;
    }
    t_pim_if_addr key{};
    IPPREFIX_COPY(&key.addr, prefix);
    avl_index_t where;
    t_pim_if_addr *a = avl_find(&if_p->if_addr_db, &key, &where);
    if (withdrawn == (a == nullptr)) {
        // A re-announced address or the withdrawal of an unknown one.
        return 0;
    }
    // Neighbors know the router by its primary address: only a change of that
    // one, or of whether the interface has any address, restarts PIM on it.
    bool primary = IPADDR_CMP(&prefix->addr, &if_p->if_addr.addr) == 0;
    bool restart = primary || (withdrawn && avl_numnodes(&if_p->if_addr_db) == 1);
    if (restart && if_p->pim_configured) {
        pim_if_disable(if_p);
    }
    if (withdrawn) {
        avl_remove(&if_p->if_addr_db, a);
        pim_delete(a);
    } else {
        a = pim_new<t_pim_if_addr>();
        if (a == nullptr) {
            return 0;
        }
        IPPREFIX_COPY(&a->addr, prefix);
        avl_insert(&if_p->if_addr_db, a, where);
    }
    if (avl_numnodes(&if_p->if_addr_db) != 0) {
        (void)pim_if_enable(if_p);
    }
    return 0;
}

e_pim_status pim_if_enable(t_pim_if *if_p)
{
    t_pim_vpn *vpn_p = if_p->vpn_p;
    const t_pim_debug *dbg = pim_if_debug(if_p);
    unsigned long id = pim_vpn_log_id(vpn_p);
    if (!if_p->pim_configured) {
        PIM_LOG_EVENT(dbg, PIM_DEBUG_LEVEL_DETAIL, "vpn: %lu Pim is not enabled on interface %s\n",
                      id, if_p->user_name);
        return PIM_STATUS_OK;
    }
    if (if_p->pim_if_type != PIM_IF_TYPE_IGMP &&
        (IPADDR_IS_ZERO(&if_p->if_addr.addr) || avl_numnodes(&if_p->if_addr_db) == 0)) {
        PIM_LOG_EVENT(dbg, PIM_DEBUG_LEVEL_DETAIL,
                      "vpn: %lu Skip pim enable on interface %s as ip address is not configured",
                      id, if_p->user_name);
        return PIM_STATUS_OK;
    }
    if (if_p->admin_state != PIM_IF_STATE_UP || if_p->oper_state != PIM_IF_STATE_UP) {
        PIM_LOG_EVENT(dbg, PIM_DEBUG_LEVEL_DETAIL,
                      "vpn: %lu Interface %s is not up. Skip enabling pim.\n", id, if_p->user_name);
        return PIM_STATUS_OK;
    }
    if (if_p->pim_enabled) {
        PIM_LOG_EVENT(dbg, PIM_DEBUG_LEVEL_DETAIL, "vpn: %lu PIM is already enabled on if: %s\n",
                      id, if_p->user_name);
        return PIM_STATUS_OK;
    }
    PIM_LOG_EVENT(dbg, PIM_DEBUG_LEVEL_BASIC, "vpn: %lu Enabling pim for if: %s\n", id,
                  if_p->user_name);
    e_pim_status rc = pim_if_sock_enable(if_p);
    if (rc != PIM_STATUS_OK) {
        PIM_LOG("Failed to enable interface socket: %s\n", if_p->user_name);
        return rc;
    }
    if (vpn_p->config.auto_rp && (rc = pim_if_auto_rp_sock_enable(if_p)) != PIM_STATUS_OK) {
        PIM_LOG("Failed to enable auto rp interface socket: %s\n", if_p->user_name);
        (void)pim_if_sock_disable(if_p);
        return rc;
    }
    if_p->pim_enabled = true;
    ZUL_ASSERT(if_p->hello_timer == nullptr);
    if_p->hello_timer =
        timer_util_create(if_p->daemon_p->timer_mgr_p, TIMER_PRI_NORMAL, TIMER_TYPE_CYCLIC,
                          PIM_IF_DEFAULT_HELLO_MS, pim_if_hello_cb, if_p, "pim-hello");
    if (if_p->hello_timer == nullptr) {
        PIM_LOG("Failed to start timer for if: %s", if_p->user_name);
        pim_if_disable(if_p);
        return PIM_STATUS_FAIL;
    }
    if (if_p->pim_if_type == PIM_IF_TYPE_LOCAL) {
        timer_reset(if_p->hello_timer, if_p->config.hello_interval);
    }
    (void)pim_if_init_cfg(if_p);
    pim_notify_if_state(if_p->daemon_p, if_p);
    (void)pim_pkt_encode_hello(if_p, false);
    return PIM_STATUS_OK;
}

void pim_if_disable(t_pim_if *if_p)
{
    if (if_p->vpn_p == nullptr) {
        PIM_LOG("Failed to find vpn");
        return;
    }
    (void)pim_pkt_encode_hello(if_p, true);
    pim_nbr_if_cleanup(if_p);
    pim_minfo_cleanup_if(if_p);
    pim_jp_tx_discard(if_p);
    hello_timer_delete(if_p);
    (void)pim_if_sock_disable(if_p);
    // Whatever the setting says now: a socket opened under an earlier one
    // must not outlive the interface with its read event armed.
    (void)pim_if_auto_rp_sock_disable(if_p);
    if (if_p->pim_enabled) {
        if_p->pim_enabled = false;
        pim_notify_if_state(if_p->daemon_p, if_p);
    }
}

void pim_if_enable_all(t_pim_vpn *vpn_p)
{
    for (auto *if_p = avl_first<t_pim_if>(&vpn_p->pim_if_db); if_p != nullptr;
         if_p = avl_next(&vpn_p->pim_if_db, if_p)) {
        if (if_p->admin_state == PIM_IF_STATE_UP) {
            (void)pim_if_enable(if_p);
        }
    }
}

void pim_if_disable_all(t_pim_vpn *vpn_p)
{
    if (vpn_p->pim_if_db.avl_compar == nullptr) {
        return;
    }
    for (auto *if_p = avl_first<t_pim_if>(&vpn_p->pim_if_db); if_p != nullptr;
         if_p = avl_next(&vpn_p->pim_if_db, if_p)) {
        if (if_p->admin_state == PIM_IF_STATE_UP) {
            pim_if_disable(if_p);
        }
    }
}

e_pim_status pim_if_disable_pim(t_pim_vpn *vpn_p)
{
    t_pim_if *if_p = avl_first<t_pim_if>(&vpn_p->pim_if_db);
    while (if_p != nullptr) {
        t_pim_if *next = avl_next(&vpn_p->pim_if_db, if_p);
        pim_if_config_update(vpn_p->daemon_p, vpn_p, if_p, false);
        if_p = next;
    }
    return PIM_STATUS_OK;
}

int pim_if_reset(int argc, const char *const *argv)
{
    const char *user = argc > 2 ? argv[2] : "";
    unsigned long id = argc > 1 ? strtoul(argv[1], nullptr, 10) : 0;
    if (g_kemd_p == nullptr) {
        PIM_LOG("Unable to bounce interface %s in vpn: %lu - invalid daemon", user, id);
        return 0;
    }
    char kernel[PIM_IF_NAME_LEN];
    if (!pim_chassis_kernel_name(user, kernel, sizeof(kernel))) {
        PIM_LOG("Unable to bounce interface %s in vpn: %lu - invalid name", user, id);
        return 0;
    }
    t_pim_vpn *vpn_p = pim_vpn_find(g_kemd_p, id, nullptr);
    if (vpn_p == nullptr) {
        PIM_LOG("Unable to bounce interface %s in vpn: %lu - invalid vpn", user, id);
        return 0;
    }
    t_pim_if *if_p = pim_if_find(vpn_p, kernel, PIM_IF_TYPE_LOCAL, nullptr, false);
    if (if_p == nullptr) {
        PIM_LOG("Unable to bounce interface %s in vpn: %lu - invalid interface", user, id);
        return 0;
    }
    pim_if_admin_reset(if_p);
    return 0;
}

// Timers and start values.

void pim_if_hello_cb(t_timer *, void *arg)
{
    auto *if_p = static_cast<t_pim_if *>(arg);
    e_pim_status rc = pim_pkt_encode_hello(if_p, false);
    if (rc != PIM_STATUS_OK) {
        PIM_LOG("Failed to send hello on if: %s, err: %d", if_p->user_name, rc);
    }
}

e_pim_status pim_if_init_cfg(t_pim_if *if_p)
{
    if (if_p->pim_if_type == PIM_IF_TYPE_LOCAL) {
        if_p->config.prop_delay = PIM_IF_DEFAULT_PROP_DELAY_MS;
        if_p->config.override_int = PIM_IF_DEFAULT_OVERRIDE_MS;
    }
    if (if_p->config.join_interval == 0) {
        if_p->config.join_interval = PIM_IF_DEFAULT_JOIN_MS;
    }
    evutil_secure_rng_get_bytes(&if_p->genid, sizeof(if_p->genid));
    // The LAN delay values in force until a neighbor announces its own.
    if_p->prop_delay = PIM_IF_DEFAULT_PROP_DELAY_MS;
    if_p->override_int = PIM_IF_DEFAULT_OVERRIDE_MS;
    ZUL_ASSERT(if_p->self_nbr_p == nullptr);
    t_pim_nbr *self = pim_new<t_pim_nbr>();
    if (self == nullptr) {
        return PIM_STATUS_MEM_FAIL;
    }
    IPADDR_COPY(&self->nbr_addr, &if_p->if_addr.addr);
    self->if_p = if_p;
    self->dr_priority = if_p->config.dr_priority;
    ipaddr_print(&self->nbr_addr, self->nbr_str, sizeof(self->nbr_str));
    if_p->self_nbr_p = self;
    if_p->dr_nbr_p = self;
    return PIM_STATUS_OK;
}

void pim_if_tunnel_init(t_pim_if *if_p)
{
    if (if_p->hello_timer != nullptr) {
        timer_disable(if_p->hello_timer);
    }
}

void pim_if_igmp_init(t_pim_if *if_p)
{
    if (if_p->hello_timer != nullptr) {
        timer_disable(if_p->hello_timer);
    }
}

// Local interfaces set up by the daemon's own callers.

t_pim_if *pim_if_local_add(t_pim_vpn *vpn_p, const char *name, const t_ipprefix *prefix, bool up)
{
    uint32_t kernel_idx = pim_chassis_if_index(vpn_p->vpn_id, name);
    if (kernel_idx == 0) {
        PIM_LOG("Interface %s is not present in vpn: %lu", name, pim_vpn_log_id(vpn_p));
        return nullptr;
    }
    t_pim_if *if_p = pim_if_find(vpn_p, name, PIM_IF_TYPE_LOCAL, nullptr, false);
    uint32_t bitmap_idx = 0;
    if (if_p != nullptr && if_p->if_index != 0) {
        bitmap_idx = if_p->if_index;
    } else {
        t_pim_if_idx *rec =
            pim_if_idx_find_or_create(vpn_p, static_cast<int>(kernel_idx), PIM_IF_TYPE_LOCAL);
        if (rec == nullptr) {
            return nullptr;
        }
        bitmap_idx = static_cast<uint32_t>(rec->bitmap_idx);
    }
    if_p = pim_if_find_or_create(vpn_p, name, PIM_IF_TYPE_LOCAL, bitmap_idx, true, true);
    if (if_p == nullptr) {
        pim_if_idx_find_and_delete(vpn_p, static_cast<int>(bitmap_idx), PIM_IF_TYPE_LOCAL, true);
        return nullptr;
    }
    IPPREFIX_COPY(&if_p->if_addr, prefix);
    (void)pim_if_addr_update(vpn_p->daemon_p, vpn_p, name, PIM_IF_TYPE_LOCAL, prefix, false);
    pim_if_oper_state(if_p, !up);
    pim_if_admin_state(if_p, !up);
    return if_p;
}

e_pim_status pim_if_local_set_pim(t_pim_vpn *vpn_p, const char *name, uint32_t hello_s,
                                  uint32_t dr_priority, uint32_t jp_s)
{
    t_pim_if *if_p = pim_if_find(vpn_p, name, PIM_IF_TYPE_LOCAL, nullptr, false);
    if (if_p == nullptr) {
        return PIM_STATUS_FAIL;
    }
    t_pim_daemon *daemon_p = vpn_p->daemon_p;
    pim_if_config_update_hello_interval(daemon_p, vpn_p, if_p, hello_s * 1000);
    pim_if_config_update_jp_interval(daemon_p, vpn_p, if_p, jp_s);
    pim_if_config_update_dr_priority(daemon_p, vpn_p, if_p, dr_priority);
    pim_if_config_update(daemon_p, vpn_p, if_p, true);
    return if_p->pim_enabled ? PIM_STATUS_OK : PIM_STATUS_FAIL;
}
