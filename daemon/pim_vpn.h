// VPN instances: one record per configured VPN, owning the VPN's links and
// tables. Enabling PIM in a VPN starts its subsystems in a fixed order and
// disabling stops them in the reverse sense.
#pragma once

#include <cstdint>
#include <sys/queue.h>

#include "common/avl.h"
#include "common/ip_util.h"
#include "common/timer.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_defs.h"

struct event;
struct msgq_handle_t;
struct t_pim_bitmap;
struct t_pim_if_minfo;
struct t_pim_repl;

enum e_pim_repl_selection : uint8_t {
    E_PIM_REPL_SELECT_STICKY = 0,
    E_PIM_REPL_SELECT_RANDOM = 1,
};

struct t_pim_vpn_replicator_cfg {
    bool replicator;
    uint32_t preference;
    uint32_t threshold;
    e_pim_repl_selection method;
    uint32_t leaf_count;
    t_pim_repl *local_repl_p;
};

// The shortest-path threshold value that means "never switch to the SPT".
inline constexpr uint16_t PIM_SPT_THRESHOLD_INFINITY = 65535;

struct t_pim_vpn_config {
    t_pim_vpn_replicator_cfg replicator;
    t_ipaddr rp;         // static RP; zero when none is configured
    t_ipprefix rp_group; // the groups it serves
    bool auto_rp;
    bool shutdown;
    uint16_t spt_threshold;
};

inline constexpr size_t PIM_IF_NAME_LEN = 64;

// The VPN's loopback tunnel interface.
struct t_pim_tun_int_if {
    char if_name[PIM_IF_NAME_LEN];
    uint32_t if_index;
    event *event_p;
    int sock_fd;
};

// Scratch list of per-interface routing states used while one Join/Prune
// message is processed.
TAILQ_HEAD(t_pim_if_minfo_list, t_pim_if_minfo_rpt);

struct t_pim_vpn {
    avl_node_t vpn_tree_node;
    uint64_t vpn_id;
    msgq_handle_t *rtm_handle_p;
    // Ends the wait for the route table manager to announce again what it had
    // reported before its link was lost.
    t_timer *rtm_stale_timer_p;
    msgq_handle_t *fab_msgq_p;
    msgq_handle_t *igmp_msgq_p;
    t_pim_vpn_config config;
    t_pim_stats stats;
    t_pim_if_minfo_list tmp_sgrpt_list;
    avl_tree_t if_db;
    avl_tree_t pim_if_db;
    avl_tree_t pim_show_if_db;
    avl_tree_t if_index_db;
    avl_tree_t minfo_db;
    avl_tree_t nhres_db;
    avl_tree_t fab_shadow_db;
    avl_tree_t repl_db;
    avl_tree_t igmp_shadow_db;
    avl_tree_t rp_db;
    t_timer *igmp_shadow_timer_p;
    t_pim_daemon *daemon_p;
    t_pim_debug pim_debug;
    t_pim_tun_int_if tunnel_if;
    int16_t vrfid;
    bool notified_fab;
    bool pim_enabled;
    bool auto_rp_enabled;
    t_pim_bitmap *tunnel_idx_db_p;
    uint16_t curr_tunnel_idx;
    t_pim_bitmap *if_idx_db_p;
    uint16_t curr_if_idx;
    avl_tree_t idx_db;
    avl_tree_t bitmap_idx_db;
};

e_pim_status pim_vpn_init(t_pim_daemon *daemon_p);
t_pim_vpn *pim_vpn_find(t_pim_daemon *daemon_p, uint64_t vpn_id, avl_index_t *where);
t_pim_vpn *pim_vpn_find_next(t_pim_daemon *daemon_p, uint64_t vpn_id);
t_pim_vpn *pim_vpn_find_or_create(t_pim_daemon *daemon_p, uint64_t vpn_id);
void pim_vpn_find_and_delete(t_pim_daemon *daemon_p, uint64_t vpn_id);
void pim_vpn_delete(t_pim_daemon *daemon_p, t_pim_vpn *vpn_p);
void pim_vpn_destroy(t_pim_daemon *daemon_p);

e_pim_status pim_vpn_pim_enable(t_pim_vpn *vpn_p);
e_pim_status pim_vpn_pim_disable(t_pim_vpn *vpn_p);
e_pim_status pim_vpn_pim_delete(t_pim_daemon *daemon_p, t_pim_vpn *vpn_p);

void pim_vpn_config_init(t_pim_vpn *vpn_p);
// The static RP and its group range (rp nullptr: none) into the configuration
// and the RP table.
void pim_vpn_config_update_rp(t_pim_daemon *daemon_p, t_pim_vpn *vpn_p, const t_ipaddr *rp,
                              const t_ipprefix *group);
void pim_vpn_config_update_repl_selection(t_pim_daemon *daemon_p, t_pim_vpn *vpn_p,
                                          e_pim_repl_selection method);
void pim_vpn_config_update_spt_threshold(t_pim_vpn *vpn_p);

e_pim_status pim_vpn_get_vrid(t_pim_vpn *vpn_p);
e_pim_status pim_vpn_get_tunnel_if(t_pim_vpn *vpn_p);

// The debug record that gates a VPN's log lines (nullptr when there is no VPN).
inline const t_pim_debug *pim_vpn_debug(const t_pim_vpn *vpn_p)
{
    return vpn_p != nullptr ? &vpn_p->pim_debug : nullptr;
}

// The VPN id as log lines print it (0 when there is no VPN yet).
inline unsigned long pim_vpn_log_id(const t_pim_vpn *vpn_p)
{
    return vpn_p != nullptr ? static_cast<unsigned long>(vpn_p->vpn_id) : 0;
}
