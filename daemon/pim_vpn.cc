#include "daemon/pim_vpn.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/zul_assert.h"
#include "daemon/pim_auto_rp.h"
#include "daemon/pim_confd.h"
#include "daemon/pim_if.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_nhres.h"
#include "daemon/pim_ns.h"
#include "daemon/pim_rp_db.h"
#include "daemon/pim_rtm.h"
#include "daemon/pim_subsys.h"

namespace
{

constexpr uint32_t REPLICATOR_UPDATE_MS = 180000;
constexpr uint32_t AUTO_RP_PKT_CACHE_MS = 5000;

int pim_vpn_id_cmp(const void *a, const void *b)
{
    return avl_cmp3(static_cast<const t_pim_vpn *>(a)->vpn_id,
                    static_cast<const t_pim_vpn *>(b)->vpn_id);
}

} // namespace

e_pim_status pim_vpn_init(t_pim_daemon *daemon_p)
{
    avl_create(&daemon_p->vpn_db, pim_vpn_id_cmp, sizeof(t_pim_vpn),
               offsetof(t_pim_vpn, vpn_tree_node));

    daemon_p->replicator_timer_p = timer_util_create(
        daemon_p->timer_mgr_p, TIMER_PRI_NORMAL, TIMER_TYPE_CYCLIC, REPLICATOR_UPDATE_MS,
        pim_repl_update_timer_cb, daemon_p, "replicator-update-timer");
    if (daemon_p->replicator_timer_p != nullptr) {
        timer_enable(daemon_p->replicator_timer_p);
    } else {
        PIM_LOG("Could not setup the replicator timer for pim");
    }

    daemon_p->auto_rp_pkt_timer_p = timer_util_create(
        daemon_p->timer_mgr_p, TIMER_PRI_NORMAL, TIMER_TYPE_CYCLIC, AUTO_RP_PKT_CACHE_MS,
        pim_auto_rp_pkt_timer_cb, daemon_p, "auto-rp-packet-timer");
    if (daemon_p->auto_rp_pkt_timer_p == nullptr) {
        PIM_LOG("Could not setup the auto-rp packet cache timer for pim");
    }
    return PIM_STATUS_OK;
}

t_pim_vpn *pim_vpn_find(t_pim_daemon *daemon_p, uint64_t vpn_id, avl_index_t *where)
{
    t_pim_vpn key{};
    key.vpn_id = vpn_id;
    return avl_find(&daemon_p->vpn_db, &key, where);
}

t_pim_vpn *pim_vpn_find_next(t_pim_daemon *daemon_p, uint64_t vpn_id)
{
    t_pim_vpn key{};
    key.vpn_id = vpn_id;
    return avl_find_next(&daemon_p->vpn_db, &key);
}

t_pim_vpn *pim_vpn_find_or_create(t_pim_daemon *daemon_p, uint64_t vpn_id)
{
    avl_index_t where;
    t_pim_vpn *vpn_p = pim_vpn_find(daemon_p, vpn_id, &where);
    if (vpn_p != nullptr) {
        return vpn_p;
    }
    vpn_p = pim_new<t_pim_vpn>();
    if (vpn_p == nullptr) {
        return nullptr;
    }
    vpn_p->vpn_id = vpn_id;
    vpn_p->daemon_p = daemon_p;
    vpn_p->tunnel_if.sock_fd = -1;
    TAILQ_INIT(&vpn_p->tmp_sgrpt_list);
    avl_insert(&daemon_p->vpn_db, vpn_p, where);

    unsigned long id = vpn_id;
    if (pim_if_tunnel_idx_init(vpn_p) != PIM_STATUS_OK) {
        PIM_LOG("Failed to init tunnel idx db in vpn: %lu", id);
        pim_vpn_delete(daemon_p, vpn_p);
        return nullptr;
    }
    if (pim_if_idx_init(vpn_p) != PIM_STATUS_OK) {
        PIM_LOG("Failed to init interface idx db in vpn: %lu", id);
        pim_vpn_delete(daemon_p, vpn_p);
        return nullptr;
    }
    if (pim_if_db_init(vpn_p) != PIM_STATUS_OK) {
        PIM_LOG("Failed to init interface DB in vpn: %lu", id);
        pim_vpn_delete(daemon_p, vpn_p);
        return nullptr;
    }
    if (pim_vpn_get_tunnel_if(vpn_p) != PIM_STATUS_OK) {
        PIM_LOG("Failed to get tunnel-if in vpn: %lu", id);
    }
    pim_vpn_config_init(vpn_p);
    if (vpn_id == 0) {
        (void)pim_vpn_pim_enable(vpn_p);
    }
    return vpn_p;
}

void pim_vpn_find_and_delete(t_pim_daemon *daemon_p, uint64_t vpn_id)
{
    t_pim_vpn *vpn_p = pim_vpn_find(daemon_p, vpn_id, nullptr);
    if (vpn_p != nullptr) {
        pim_vpn_delete(daemon_p, vpn_p);
    }
}

void pim_vpn_delete(t_pim_daemon *daemon_p, t_pim_vpn *vpn_p)
{
    (void)pim_vpn_pim_disable(vpn_p);
    pim_if_db_destroy(vpn_p);
    pim_if_tunnel_idx_destroy(vpn_p);
    pim_if_idx_destroy(vpn_p);
    avl_remove(&daemon_p->vpn_db, vpn_p);
    pim_delete(vpn_p);
}

void pim_vpn_destroy(t_pim_daemon *daemon_p)
{
    while (t_pim_vpn *vpn_p = avl_first<t_pim_vpn>(&daemon_p->vpn_db)) {
        pim_vpn_delete(daemon_p, vpn_p);
    }
    avl_destroy(&daemon_p->vpn_db);
}

e_pim_status pim_vpn_pim_enable(t_pim_vpn *vpn_p)
{
    unsigned long id = vpn_p->vpn_id;
    const t_pim_debug *dbg = pim_vpn_debug(vpn_p);
    e_pim_status rc;

    PIM_LOG_EVENT(dbg, PIM_DEBUG_LEVEL_BASIC, "vpn: %lu Enabling PIM in vpn %lu", id, id);
    // A second start would create every table over the running one.
    ZUL_ASSERT(!vpn_p->pim_enabled);

    // Each step logs its own failure; whatever already started is torn down
    // again by the disable sequence below.
    if ((rc = pim_minfo_init(vpn_p)) != PIM_STATUS_OK) {
        PIM_LOG("Failed to init DB in vpn: %lu", id);
    } else if ((rc = pim_rtm_init(vpn_p)) != PIM_STATUS_OK) {
        PIM_LOG("Failed to connect to RTM in vpn: %lu", id);
    } else if ((rc = pim_nhres_db_init(vpn_p)) != PIM_STATUS_OK) {
        PIM_LOG("Failed to init NHres DB in vpn: %lu", id);
    } else if ((rc = pim_fab_shadow_init(vpn_p)) != PIM_STATUS_OK) {
        PIM_LOG("Failed to init FAB shadow DB in vpn: %lu", id);
    } else if ((rc = pim_igmp_shadow_init(vpn_p)) != PIM_STATUS_OK) {
        PIM_LOG("Failed to init IGMP shadow DB in vpn: %lu", id);
    } else if ((rc = pim_repl_db_init(vpn_p)) != PIM_STATUS_OK) {
        PIM_LOG("Failed to init replicator DB in vpn: %lu", id);
    } else if ((rc = pim_fab_init(vpn_p)) != PIM_STATUS_OK) {
        PIM_LOG("Failed to initialize fab connection");
    } else if ((rc = pim_igmp_init(vpn_p)) != PIM_STATUS_OK) {
        PIM_LOG("Failed to initialize igmp connection");
    } else if ((rc = pim_rp_db_init(vpn_p)) != PIM_STATUS_OK) {
        PIM_LOG("Failed to init RP DB in vpn: %lu", id);
    } else {
        pim_if_enable_all(vpn_p);
        if (vpn_p->config.auto_rp && (rc = pim_auto_rp_enable(vpn_p)) != PIM_STATUS_OK) {
            PIM_LOG("Failed to init auto-rp in vpn: %lu", id);
        }
    }
    if (rc != PIM_STATUS_OK) {
        (void)pim_vpn_pim_disable(vpn_p);
        return rc;
    }
    vpn_p->pim_enabled = true;
    return PIM_STATUS_OK;
}

e_pim_status pim_vpn_pim_disable(t_pim_vpn *vpn_p)
{
    unsigned long id = vpn_p->vpn_id;

    // Cleared first so that anything triggered during teardown sees PIM down.
    vpn_p->pim_enabled = false;
    PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_BASIC, "vpn: %lu Disabling PIM in vpn %lu",
                  id, id);
    if (vpn_p->notified_fab) {
        pim_fab_encode_ad(vpn_p, false);
    }
    pim_minfo_spt_sg_delete_all(vpn_p);
    pim_if_disable_all(vpn_p);
    pim_fab_destroy(vpn_p);
    pim_igmp_destroy(vpn_p);
    pim_repl_db_destroy(vpn_p);
    pim_fab_shadow_destroy(vpn_p);
    pim_igmp_shadow_destroy(vpn_p);
    pim_rtm_destroy(vpn_p);
    pim_minfo_destroy(vpn_p);
    pim_nhres_db_destroy(vpn_p);
    pim_rp_db_destroy(vpn_p);
    pim_auto_rp_disable(vpn_p);
    pim_debug_delete_vpn(vpn_p);
    return PIM_STATUS_OK;
}

e_pim_status pim_vpn_pim_delete(t_pim_daemon *, t_pim_vpn *vpn_p)
{
    unsigned long id = vpn_p->vpn_id;

    PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_BASIC, "vpn: %lu Deleting PIM in vpn %lu",
                  id, id);
    if (pim_vpn_pim_disable(vpn_p) != PIM_STATUS_OK) {
        PIM_LOG("Failed to disable pim in vpn: %lu", id);
    }
    if (pim_if_disable_pim(vpn_p) != PIM_STATUS_OK) {
        PIM_LOG("Failed to disable pim interfaces in vpn: %lu", id);
    }
    return PIM_STATUS_OK;
}

void pim_vpn_config_init(t_pim_vpn *vpn_p)
{
    vpn_p->config = t_pim_vpn_config{};
    vpn_p->config.spt_threshold = PIM_SPT_THRESHOLD_INFINITY;
}

void pim_vpn_config_update_rp(t_pim_daemon *, t_pim_vpn *vpn_p, const t_ipaddr *rp,
                              const t_ipprefix *group)
{
    t_pim_vpn_config &cfg = vpn_p->config;
    if (rp != nullptr && group != nullptr) {
        IPADDR_COPY(&cfg.rp, rp);
        IPPREFIX_COPY(&cfg.rp_group, group);
    } else {
        cfg.rp = t_ipaddr{};
        cfg.rp_group = t_ipprefix{};
    }
    pim_rp_db_static_update(vpn_p);
    // Local (*,G) memberships follow the RP, as after an Auto-RP mapping.
    pim_igmp_shadow_schedule_process(vpn_p);
}

void pim_vpn_config_update_repl_selection(t_pim_daemon *, t_pim_vpn *vpn_p,
                                          e_pim_repl_selection method)
{
    vpn_p->config.replicator.method = method;
}

void pim_vpn_config_update_spt_threshold(t_pim_vpn *vpn_p)
{
    if (vpn_p->config.spt_threshold == PIM_SPT_THRESHOLD_INFINITY) {
        pim_minfo_spt_sg_delete_all(vpn_p);
    }
    pim_ftm_spt_reprogram(vpn_p);
}

e_pim_status pim_vpn_get_vrid(t_pim_vpn *vpn_p)
{
    int16_t vrfid = 0;
    e_pim_status rc = pim_confd_get_vrf_id(vpn_p->vpn_id, &vrfid);
    if (rc != PIM_STATUS_OK) {
        return rc;
    }
    vpn_p->vrfid = vrfid;
    return PIM_STATUS_OK;
}

e_pim_status pim_vpn_get_tunnel_if(t_pim_vpn *vpn_p)
{
    unsigned long id = vpn_p->vpn_id;
    if (vpn_p->vpn_id == PIM_VPN_ID_TRANSPORT || vpn_p->vpn_id == PIM_VPN_ID_RESERVED) {
        return PIM_STATUS_OK;
    }
    char name[PIM_IF_NAME_LEN];
    if (vpn_p->vpn_id == 0) {
        snprintf(name, sizeof(name), "loop0");
    } else {
        e_pim_status rc = pim_vpn_get_vrid(vpn_p);
        if (rc != PIM_STATUS_OK) {
            PIM_LOG("Failed to get vrf-id for vpn %lu", id);
            return rc;
        }
        snprintf(name, sizeof(name), "%s.%d", "loop0", vpn_p->vrfid);
    }
    snprintf(vpn_p->tunnel_if.if_name, sizeof(vpn_p->tunnel_if.if_name), "%s", name);

    // A socket of the VPN's namespace answers for its interfaces.
    int fd = -1;
    {
        t_pim_ns_guard ns(vpn_p->vpn_id);
        if (!ns.entered()) {
            return PIM_STATUS_KERNEL_FAIL;
        }
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    if (fd < 0) {
        return PIM_STATUS_SOCKET_FAIL;
    }
    e_pim_status rc = PIM_STATUS_OK;
    ifreq ifr{};
    snprintf(ifr.ifr_name, IFNAMSIZ, "%.15s", name);
    if (ioctl(fd, SIOCGIFINDEX, &ifr) < 0) {
        PIM_LOG("Failed to get ifindex for %s, vpn: %lu\n", name, id);
        rc = PIM_STATUS_SOCKET_FAIL;
    } else {
        vpn_p->tunnel_if.if_index = static_cast<uint32_t>(ifr.ifr_ifindex);
    }
    close(fd);
    return rc;
}
