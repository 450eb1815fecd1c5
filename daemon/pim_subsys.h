// Start and stop hooks of the per-VPN and process-wide subsystems that the VPN
// and daemon code call in a fixed order. Every stop hook accepts a subsystem
// that never started, because the same sequence cleans up a half-done start.
#pragma once

#include "daemon/pim_defs.h"

struct t_pim_daemon;
struct t_pim_vpn;
struct t_timer;

// Interface tables and index allocation.
e_pim_status pim_if_tunnel_idx_init(t_pim_vpn *vpn_p);
void pim_if_tunnel_idx_destroy(t_pim_vpn *vpn_p);
e_pim_status pim_if_idx_init(t_pim_vpn *vpn_p);
void pim_if_idx_destroy(t_pim_vpn *vpn_p);
e_pim_status pim_if_db_init(t_pim_vpn *vpn_p);
void pim_if_db_destroy(t_pim_vpn *vpn_p);
void pim_if_enable_all(t_pim_vpn *vpn_p);
void pim_if_disable_all(t_pim_vpn *vpn_p);
e_pim_status pim_if_disable_pim(t_pim_vpn *vpn_p);

// Routing entries.
e_pim_status pim_minfo_init(t_pim_vpn *vpn_p);
void pim_minfo_destroy(t_pim_vpn *vpn_p);
void pim_minfo_spt_sg_delete_all(t_pim_vpn *vpn_p);

// Unicast routing: route table manager link, next hops, RPs.
e_pim_status pim_rtm_init(t_pim_vpn *vpn_p);
void pim_rtm_destroy(t_pim_vpn *vpn_p);
e_pim_status pim_nhres_db_init(t_pim_vpn *vpn_p);
void pim_nhres_db_destroy(t_pim_vpn *vpn_p);

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
void pim_repl_update_timer_cb(t_timer *timer, void *daemon_p, void *, void *, void *);

// Auto-RP.
e_pim_status pim_auto_rp_enable(t_pim_vpn *vpn_p);
void pim_auto_rp_disable(t_pim_vpn *vpn_p);
void pim_auto_rp_pkt_timer_cb(t_timer *timer, void *daemon_p, void *, void *, void *);

// Debug operational data of a VPN.
void pim_debug_delete_vpn(t_pim_vpn *vpn_p);

// Process-wide links: transport and forwarding table managers, configuration.
e_pim_status pim_ttm_init(t_pim_daemon *daemon_p);
void pim_ttm_destroy(t_pim_daemon *daemon_p);
e_pim_status pim_ftm_init(t_pim_daemon *daemon_p);
void pim_ftm_destroy(t_pim_daemon *daemon_p);
void pim_ftm_spt_reprogram(t_pim_vpn *vpn_p);
e_pim_status pim_confd_init(t_pim_daemon *daemon_p);
void pim_confd_destroy(t_pim_daemon *daemon_p);
// The kernel VRF id of a VPN, from the configuration database.
e_pim_status pim_confd_get_vrf_id(uint64_t vpn_id, int16_t *vrfid);
