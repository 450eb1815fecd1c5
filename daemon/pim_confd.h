// The daemon's registration with the configuration agent: its subscription
// table, action table and data callbacks, and what it keeps of the agent's
// answers between deliveries (the VRF ids of the VPNs).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "daemon/pim_defs.h"

struct t_pim_daemon;
struct t_zconfd_context;

struct t_pim_zconfd_ctx {
    t_zconfd_context *zconfd_p;
    // Configured kernel VRF ids by VPN id; a VPN without one uses its VPN id.
    std::map<uint64_t, int16_t> vrf_ids;
    // While the initial read runs: what it brought, so that what it did not
    // bring can be dropped at its end.
    bool resyncing;
    bool seen_system;
    std::set<uint64_t> seen_vpns;
    std::set<std::pair<uint64_t, std::string>> seen_ifs;
    std::set<std::pair<uint64_t, std::string>> seen_pim_ifs;
};

// Registers with the agent at its default socket. Returns PIM_STATUS_OK also
// while the agent is away: the framework retries every two seconds and the
// configuration arrives with the initial read once the agent answers.
e_pim_status pim_confd_init(t_pim_daemon *daemon_p);
// The same with another agent socket ("" for the default one).
e_pim_status pim_confd_init_at(t_pim_daemon *daemon_p, const char *cdb_path);
int pim_confd_register_data_cbs(t_zconfd_context *ctxt_p);
void pim_confd_resync(t_zconfd_context *ctxt_p, bool done);
void pim_confd_destroy(t_pim_daemon *daemon_p);

// The kernel VRF id of a VPN: the configured vrf-id, else the VPN id (a plain
// Linux host has no VRF numbering of its own; its VPNs are namespaces).
e_pim_status pim_confd_get_vrf_id(uint64_t vpn_id, int16_t *vrfid);
// Records (has_vrf) or forgets the configured VRF id of a VPN.
void pim_confd_set_vrf_id(t_pim_daemon *daemon_p, uint64_t vpn_id, bool has_vrf, int16_t vrfid);
