// A daemon record in this process for unit, component and fuzz tests: its
// timers and a VPN, socketless interfaces running PIM, and the operator's
// test commands run by hand.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "common/timer.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_if.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_nhres.h"
#include "daemon/pim_rp_db.h"
#include "daemon/pim_vpn.h"
#include "zconfd/zconfd.h"

inline void *pim_sim_alloc(void *, size_t size) { return pim_malloc(size); }
inline void pim_sim_free(void *, void *ptr) { pim_free(ptr); }

// A daemon record (made the global one) with one-second timers on clock, when
// given, and VPN vpn_id; nullptr when the VPN cannot be made.
inline t_pim_vpn *pim_sim_daemon(uint64_t vpn_id, f_timer_clock clock = nullptr)
{
    t_pim_daemon *daemon_p = pim_new<t_pim_daemon>();
    g_kemd_p = daemon_p;
    daemon_p->timer_mgr_p =
        timer_mgr_create(TIMER_RESN_SEC, pim_sim_alloc, pim_sim_free, nullptr, TIMER_PRI_MASK_ALL);
    if (clock != nullptr) {
        timer_mgr_set_clock(daemon_p->timer_mgr_p, clock);
    }
    return pim_vpn_init(daemon_p) == PIM_STATUS_OK ? pim_vpn_find_or_create(daemon_p, vpn_id)
                                                   : nullptr;
}

// pim_sim_daemon with the VPN's routing tables (entries, next hops, RPs)
// ready; nullptr on failure.
inline t_pim_vpn *pim_sim_routing_vpn(uint64_t vpn_id, f_timer_clock clock = nullptr)
{
    t_pim_vpn *vpn_p = pim_sim_daemon(vpn_id, clock);
    bool ok = vpn_p != nullptr && pim_minfo_init(vpn_p) == PIM_STATUS_OK &&
              pim_nhres_db_init(vpn_p) == PIM_STATUS_OK && pim_rp_db_init(vpn_p) == PIM_STATUS_OK;
    return ok ? vpn_p : nullptr;
}

// Frees the global daemon record made by pim_sim_daemon, with its VPNs.
inline void pim_sim_daemon_free()
{
    pim_vpn_destroy(g_kemd_p);
    pim_timers_destroy(g_kemd_p);
    pim_delete(g_kemd_p);
    g_kemd_p = nullptr;
}

// An interface record of the given type (no addresses, not running PIM).
inline t_pim_if *pim_sim_bare_if(t_pim_vpn *vpn_p, const char *name, int kernel_idx,
                                 e_pim_if_type type = PIM_IF_TYPE_LOCAL)
{
    t_pim_if_idx *idx = pim_if_idx_find_or_create(vpn_p, kernel_idx, type);
    return pim_if_create(vpn_p, name, type, static_cast<uint32_t>(idx->bitmap_idx), nullptr, true,
                         true);
}

inline t_ipaddr pim_sim_v4(uint32_t a)
{
    t_ipaddr r{};
    IPADDR_SET_V4(&r, a);
    return r;
}

// A local interface running PIM as far as neighbors are concerned, without a
// socket: what it sends is built and then fails to go out. jp_s of 0 keeps
// the default Join/Prune interval.
inline t_pim_if *pim_sim_running_if(t_pim_daemon *daemon_p, t_pim_vpn *vpn_p, const char *name,
                                    int kernel_idx, uint32_t addr, uint8_t len = 24,
                                    uint32_t dr_priority = 1, uint32_t jp_s = 0)
{
    t_pim_if *if_p = pim_sim_bare_if(vpn_p, name, kernel_idx);
    t_ipprefix p{};
    p.addr = pim_sim_v4(addr);
    p.prefixlen = len;
    if_p->if_addr = p;
    if (pim_if_addr_update(daemon_p, vpn_p, name, PIM_IF_TYPE_LOCAL, &p, false) != 0) {
        return nullptr;
    }
    if_p->admin_state = PIM_IF_STATE_UP;
    if_p->oper_state = PIM_IF_STATE_UP;
    if_p->pim_configured = true;
    avl_add(&vpn_p->pim_if_db, if_p);
    avl_add(&vpn_p->pim_show_if_db, if_p);
    if_p->config.dr_priority = dr_priority;
    pim_if_config_update_hello_interval(daemon_p, vpn_p, if_p, 30000);
    if (jp_s != 0) {
        pim_if_config_update_jp_interval(daemon_p, vpn_p, if_p, jp_s);
    }
    if (pim_if_init_cfg(if_p) != PIM_STATUS_OK) {
        return nullptr;
    }
    if_p->pim_enabled = true;
    return if_p;
}

// What an operator's test command prints; "rc N: " first when it failed.
inline std::string pim_sim_cmd(int (*cmd)(t_zconfd_uinfo *, const char *, int, const char **),
                               std::vector<const char *> argv)
{
    t_zconfd_uinfo uinfo{};
    int rc = cmd(&uinfo, "test", static_cast<int>(argv.size()), argv.data());
    std::string out = uinfo.out_p != nullptr ? uinfo.out_p : "";
    free(uinfo.out_p);
    return rc == 0 ? out : "rc " + std::to_string(rc) + ": " + out;
}
