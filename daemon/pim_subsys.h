// Start and stop hooks of the per-VPN and process-wide subsystems that the VPN
// and daemon code call in a fixed order. Every stop hook accepts a subsystem
// that never started, because the same sequence cleans up a half-done start.
#pragma once

#include "daemon/pim_defs.h"
#include "daemon/pim_ftm.h"

struct t_ipaddr;
struct t_pim_assert_metric;
struct t_pim_daemon;
struct t_pim_if;
struct t_pim_nbr;
struct t_pim_repl;
struct t_pim_vpn;
struct t_timer;

// Assert handler fed by the receive path.
void pim_assert_process_pkt(t_pim_daemon *daemon_p, t_pim_nbr *nbr_p, const t_ipaddr *group,
                            const t_ipaddr *src, const t_pim_assert_metric *metric);

// Traffic of an entry arrived on one of its outgoing interfaces (kernel index).
void pim_assert_dup_traffic_handler(t_pim_daemon *daemon_p, t_pim_vpn *vpn_p,
                                    const t_ipaddr *source, const t_ipaddr *group,
                                    uint32_t kernel_if_index);

// State-change notifications.
int pim_notify_nbr_state(t_pim_daemon *daemon_p, t_pim_nbr *nbr_p, bool down);
int pim_notify_if_state(t_pim_daemon *daemon_p, t_pim_if *if_p);

struct t_pim_minfo;
// Overlay, called by the routing entries; until its link exists it only keeps
// the entry's source-active flag true.
void pim_fab_encode_jp(t_pim_minfo *minfo_p, const t_ipaddr *upstream, bool join);
void pim_fab_encode_sa(t_pim_minfo *minfo_p, bool add);
void pim_fab_shadow_process_xg_delete(t_pim_vpn *vpn_p, const t_ipaddr *group);
void pim_fab_shadow_process_sa(t_pim_if *if_p, const t_ipaddr *group);
void pim_igmp_shadow_schedule_process(t_pim_vpn *vpn_p);
void pim_repl_minfo_unlink(t_pim_minfo *minfo_p);
void pim_vpn_maddr_update(t_pim_daemon *daemon_p, const t_ipaddr *group);

// Overlay, IGMP and replicators.
e_pim_status pim_fab_shadow_init(t_pim_vpn *vpn_p);
void pim_fab_shadow_destroy(t_pim_vpn *vpn_p);
e_pim_status pim_igmp_shadow_init(t_pim_vpn *vpn_p);
void pim_igmp_shadow_destroy(t_pim_vpn *vpn_p);
e_pim_status pim_repl_db_init(t_pim_vpn *vpn_p);
void pim_repl_db_destroy(t_pim_vpn *vpn_p);
e_pim_status pim_fab_init(t_pim_vpn *vpn_p);
void pim_fab_destroy(t_pim_vpn *vpn_p);
void pim_fab_encode_ad(t_pim_vpn *vpn_p, bool add);
e_pim_status pim_igmp_init(t_pim_vpn *vpn_p);
void pim_igmp_destroy(t_pim_vpn *vpn_p);
void pim_repl_update_timer_cb(t_timer *timer, void *daemon_p);
// The replicator of repl_addr (the daemon's system address when local) is
// added or refreshed; returns it, or nullptr.
t_pim_repl *pim_repl_db_update(t_pim_vpn *vpn_p, const t_ipaddr *repl_addr, uint32_t leaf_count,
                               uint32_t leaf_threshold, bool local);
int pim_repl_delete(t_pim_vpn *vpn_p, const t_ipaddr *repl_addr, bool local = false);

// Debug operational data of a VPN.
void pim_debug_delete_vpn(t_pim_vpn *vpn_p);

// Process-wide link: transport table manager.
e_pim_status pim_ttm_init(t_pim_daemon *daemon_p);
void pim_ttm_destroy(t_pim_daemon *daemon_p);
