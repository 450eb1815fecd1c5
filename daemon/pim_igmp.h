// Local group membership from the IGMP daemon. Per PIM-enabled VPN this
// daemon serves one receive-only link at "/var/run/.kemd-igmpd.<vpn id>": the
// IGMP daemon announces its IGMP interfaces (kept here as "<name>_igmp"
// pseudo-interfaces) and the (*,G) and (S,G) memberships on them, which are
// processed like PIM Joins and Prunes received there with an infinite
// holdtime. A shadow table remembers every membership, so that (*,G) ones can
// be joined once an RP is known and pruned when it goes away. The start and
// stop hooks (pim_igmp_init, pim_igmp_shadow_init, ...) are in pim_subsys.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/avl.h"
#include "common/ip_util.h"
#include "daemon/pim_defs.h"
#include "daemon/pim_vpn.h"

struct msgq_handle_t;
struct t_timer;

inline constexpr const char *PIM_IGMP_SOCK_PATH = "/var/run/.kemd-igmpd";
inline constexpr uint32_t PIM_IGMP_SHADOW_MS = 2000;
inline constexpr uint16_t PIM_IGMP_HOLDTIME = 65535;
inline constexpr const char *PIM_IGMP_IF_SUFFIX = "_igmp";

// One reported membership. A (*,G) one carries the IPv4 zero prefix as source.
struct t_pim_igmp_shadow {
    avl_node_t tree_node;
    t_ipprefix group;
    t_ipprefix source;
    char if_name[PIM_IF_NAME_LEN];
    // The shadow processing joined this (*,G) membership (and has not pruned it).
    bool joined;
};

// "/var/run/.kemd-igmpd.<vpn id>", VPN 0 included.
void pim_igmp_path(uint64_t vpn_id, char *buf, size_t size);

// Link callbacks; the user argument is the VPN.
void pim_igmp_up(msgq_handle_t *handle, void *vpn_p);
void pim_igmp_down(msgq_handle_t *handle, void *vpn_p);
void pim_igmp_write(msgq_handle_t *handle, void *vpn_p);
void pim_igmp_read(msgq_handle_t *handle, void *msg, uint32_t len, void *vpn_p);

// Unpacks and applies one message body. Bad messages are logged and dropped.
e_pim_status pim_igmp_pkt_decode(t_pim_vpn *vpn_p, const uint8_t *msg, size_t len);

// 0 with the RP of group copied to rp, 1 when the RP table has none.
int pim_igmp_find_rp(t_pim_vpn *vpn_p, const t_ipaddr *group, t_ipaddr *rp);

// Shadow table.
int pim_igmp_shadow_cmp(const void *a, const void *b);
void pim_igmp_shadow_delete_all(t_pim_vpn *vpn_p);
t_pim_igmp_shadow *pim_igmp_shadow_find(t_pim_vpn *vpn_p, const t_ipprefix *source,
                                        const t_ipprefix *group, const char *if_name,
                                        avl_index_t *where);
t_pim_igmp_shadow *pim_igmp_shadow_create(t_pim_vpn *vpn_p, const t_ipprefix *source,
                                          const t_ipprefix *group, const char *if_name,
                                          const avl_index_t &where);
t_pim_igmp_shadow *pim_igmp_shadow_find_or_create(t_pim_vpn *vpn_p, const t_ipprefix *source,
                                                  const t_ipprefix *group, const char *if_name);
void pim_igmp_shadow_find_and_delete(t_pim_vpn *vpn_p, const t_ipprefix *source,
                                     const t_ipprefix *group, const char *if_name);
void pim_igmp_shadow_delete(t_pim_vpn *vpn_p, t_pim_igmp_shadow *entry_p);
// The first entry of (group, interface) in key order, whatever its source.
t_pim_igmp_shadow *pim_igmp_shadow_find_source(t_pim_vpn *vpn_p, const t_ipprefix *group,
                                               const char *if_name);
void pim_igmp_shadow_timer_cb(t_timer *timer, void *vpn_p);
void pim_igmp_shadow_dump(t_pim_daemon *daemon_p, void *user_p, t_pim_dump_out out);
