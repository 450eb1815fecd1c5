// The shadow table of local memberships and its deferred processing, which
// re-resolves (*,G) memberships against the RP table after it changed.
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "common/timer.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_if.h"
#include "daemon/pim_igmp.h"
#include "daemon/pim_jp.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_rp_db.h"
#include "daemon/pim_subsys.h"

namespace
{

t_pim_igmp_shadow shadow_key(const t_ipprefix *source, const t_ipprefix *group, const char *if_name)
{
    t_pim_igmp_shadow key{};
    IPPREFIX_COPY(&key.source, source);
    IPPREFIX_COPY(&key.group, group);
    snprintf(key.if_name, sizeof(key.if_name), "%s", if_name);
    return key;
}

void shadow_free_all(t_pim_vpn *vpn_p)
{
    void *cookie = nullptr;
    while (auto *entry_p = static_cast<t_pim_igmp_shadow *>(
               avl_destroy_nodes(&vpn_p->igmp_shadow_db, &cookie))) {
        pim_delete(entry_p);
    }
}

void shadow_process_entry(t_pim_vpn *vpn_p, t_pim_igmp_shadow *entry_p)
{
    t_pim_if *if_p = pim_if_igmp_find(vpn_p, entry_p->if_name);
    if (if_p == nullptr) {
        PIM_LOG("Could not find igmp interface: %s", entry_p->if_name);
        return;
    }
    t_ipaddr rp;
    if (pim_igmp_find_rp(vpn_p, &entry_p->group.addr, &rp) == 0) {
        entry_p->joined = true;
        pim_jp_unit_begin(vpn_p);
        (void)pim_et_jp_join(PIM_TYPE_XG, if_p, &entry_p->group.addr, &rp, PIM_IGMP_HOLDTIME);
        pim_jp_handle_eom(vpn_p);
    } else if (entry_p->joined) {
        entry_p->joined = false;
        (void)pim_et_jp_prune(PIM_TYPE_XG, if_p, &entry_p->group.addr, nullptr);
    }
}

} // namespace

int pim_igmp_shadow_cmp(const void *a, const void *b)
{
    const auto *x = static_cast<const t_pim_igmp_shadow *>(a);
    const auto *y = static_cast<const t_pim_igmp_shadow *>(b);
    if (int c = IPPREFIX_CMP(&x->group, &y->group); c != 0) {
        return c;
    }
    if (int c = memcmp(x->if_name, y->if_name, sizeof(x->if_name)); c != 0) {
        return c < 0 ? -1 : 1;
    }
    return IPPREFIX_CMP(&x->source, &y->source);
}

e_pim_status pim_igmp_shadow_init(t_pim_vpn *vpn_p)
{
    avl_create(&vpn_p->igmp_shadow_db, pim_igmp_shadow_cmp, sizeof(t_pim_igmp_shadow),
               offsetof(t_pim_igmp_shadow, tree_node));
    vpn_p->igmp_shadow_timer_p = timer_util_create(
        vpn_p->daemon_p->timer_mgr_p, TIMER_PRI_NORMAL, TIMER_TYPE_ONESHOT, PIM_IGMP_SHADOW_MS,
        pim_igmp_shadow_timer_cb, vpn_p, "pim-igmp-shadow-timer");
    if (vpn_p->igmp_shadow_timer_p == nullptr) {
        PIM_LOG("Could not create igmp shadow timer");
        return PIM_STATUS_MEM_FAIL;
    }
    return PIM_STATUS_OK;
}

void pim_igmp_shadow_destroy(t_pim_vpn *vpn_p)
{
    if (vpn_p->igmp_shadow_timer_p != nullptr) {
        timer_util_delete(vpn_p->igmp_shadow_timer_p);
        vpn_p->igmp_shadow_timer_p = nullptr;
    }
    // Disabling may run after a failed enable that never created the table.
    if (vpn_p->igmp_shadow_db.avl_compar == nullptr) {
        return;
    }
    shadow_free_all(vpn_p);
    avl_destroy(&vpn_p->igmp_shadow_db);
    vpn_p->igmp_shadow_db = avl_tree_t{};
}

void pim_igmp_shadow_delete_all(t_pim_vpn *vpn_p)
{
    if (vpn_p->igmp_shadow_db.avl_compar != nullptr) {
        shadow_free_all(vpn_p);
    }
}

void pim_igmp_shadow_schedule_process(t_pim_vpn *vpn_p)
{
    if (vpn_p->igmp_shadow_timer_p != nullptr && !timer_is_active(vpn_p->igmp_shadow_timer_p)) {
        timer_enable(vpn_p->igmp_shadow_timer_p);
    }
}

t_pim_igmp_shadow *pim_igmp_shadow_find(t_pim_vpn *vpn_p, const t_ipprefix *source,
                                        const t_ipprefix *group, const char *if_name,
                                        avl_index_t *where)
{
    t_pim_igmp_shadow key = shadow_key(source, group, if_name);
    return avl_find(&vpn_p->igmp_shadow_db, &key, where);
}

t_pim_igmp_shadow *pim_igmp_shadow_create(t_pim_vpn *vpn_p, const t_ipprefix *source,
                                          const t_ipprefix *group, const char *if_name,
                                          const avl_index_t &where)
{
    auto *entry_p = pim_new<t_pim_igmp_shadow>();
    if (entry_p == nullptr) {
        return nullptr;
    }
    *entry_p = shadow_key(source, group, if_name);
    avl_insert(&vpn_p->igmp_shadow_db, entry_p, where);
    return entry_p;
}

t_pim_igmp_shadow *pim_igmp_shadow_find_or_create(t_pim_vpn *vpn_p, const t_ipprefix *source,
                                                  const t_ipprefix *group, const char *if_name)
{
    avl_index_t where;
    if (t_pim_igmp_shadow *entry_p = pim_igmp_shadow_find(vpn_p, source, group, if_name, &where)) {
        return entry_p;
    }
    return pim_igmp_shadow_create(vpn_p, source, group, if_name, where);
}

void pim_igmp_shadow_delete(t_pim_vpn *vpn_p, t_pim_igmp_shadow *entry_p)
{
    avl_remove(&vpn_p->igmp_shadow_db, entry_p);
    pim_delete(entry_p);
}

void pim_igmp_shadow_find_and_delete(t_pim_vpn *vpn_p, const t_ipprefix *source,
                                     const t_ipprefix *group, const char *if_name)
{
    if (t_pim_igmp_shadow *entry_p = pim_igmp_shadow_find(vpn_p, source, group, if_name, nullptr)) {
        pim_igmp_shadow_delete(vpn_p, entry_p);
    }
}

t_pim_igmp_shadow *pim_igmp_shadow_find_source(t_pim_vpn *vpn_p, const t_ipprefix *group,
                                               const char *if_name)
{
    // The smallest source of all: the family and address compare before the
    // length, and no family sorts below the unknown one.
    t_ipprefix lowest;
    IPPREFIX_INIT(&lowest, IP_ADDR_UNKNOWN);
    t_pim_igmp_shadow key = shadow_key(&lowest, group, if_name);
    avl_index_t where;
    auto *entry_p = static_cast<t_pim_igmp_shadow *>(
        avl_find_current_or_next(&vpn_p->igmp_shadow_db, &key, &where));
    if (entry_p == nullptr || IPPREFIX_CMP(&entry_p->group, group) != 0 ||
        memcmp(entry_p->if_name, key.if_name, sizeof(key.if_name)) != 0) {
        return nullptr;
    }
    return entry_p;
}

void pim_igmp_shadow_timer_cb(t_timer *, void *arg)
{
    auto *vpn_p = static_cast<t_pim_vpn *>(arg);
    for (auto *entry_p = avl_first<t_pim_igmp_shadow>(&vpn_p->igmp_shadow_db); entry_p != nullptr;
         entry_p = avl_next(&vpn_p->igmp_shadow_db, entry_p)) {
        if (IPADDR_IS_ZERO(&entry_p->source.addr)) {
            shadow_process_entry(vpn_p, entry_p);
        }
        pim_daemon_process_urgent_timers();
    }
}

void pim_igmp_shadow_dump(t_pim_daemon *daemon_p, void *user_p, t_pim_dump_out out)
{
    out(user_p, "PIM IGMP shadow Database");
    for (auto *vpn_p = avl_first<t_pim_vpn>(&daemon_p->vpn_db); vpn_p != nullptr;
         vpn_p = avl_next(&daemon_p->vpn_db, vpn_p)) {
        char line[256];
        snprintf(line, sizeof(line), "\nVPN: %lu (shadow db ptr: %p)", pim_vpn_log_id(vpn_p),
                 static_cast<void *>(&vpn_p->igmp_shadow_db));
        out(user_p, line);
        if (vpn_p->igmp_shadow_db.avl_compar == nullptr) {
            continue;
        }
        for (auto *entry_p = avl_first<t_pim_igmp_shadow>(&vpn_p->igmp_shadow_db);
             entry_p != nullptr; entry_p = avl_next(&vpn_p->igmp_shadow_db, entry_p)) {
            char grp[IPADDR_STR_LEN];
            char src[IPADDR_STR_LEN];
            snprintf(line, sizeof(line), "\nGroup: %s Source: %s, If-name: %s joined: %d",
                     ipprefix_print(&entry_p->group, grp, sizeof(grp)),
                     ipprefix_print(&entry_p->source, src, sizeof(src)), entry_p->if_name,
                     entry_p->joined ? 1 : 0);
            out(user_p, line);
        }
    }
}
