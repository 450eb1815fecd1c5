// igmpd: the IGMP daemon of a plain Linux router. One process serves VPN 0
// (its own network namespace) and every VPN whose namespace is named by its
// VPN id under /var/run/netns. On each multicast-capable interface with an
// IPv4 address it runs the router side of IGMP versions 1 to 3 and reports
// the memberships to kemd over the VPN's link; it serves them as operational
// data through the configuration agent.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "common/zul_companion.h"
#include "tools/igmpd/igmpd_group.h"

struct event;
struct msgq_handle_t;
struct t_zconfd_context;
struct t_igmpd_ns;

struct t_igmpd_iface {
    t_igmpd_ns *ns_p = nullptr;
    std::string name;
    uint32_t ifindex = 0;
    int rx_fd = -1; // packet socket: every IGMP frame the interface sees
    int tx_fd = -1; // raw IGMP socket for our queries
    event *rx_ev_p = nullptr;
    t_igmp_if igmp;
    std::array<uint64_t, IGMP_PKT_NUM_ERRS> rx_errors{};
    bool seen = false; // in the latest scan
};

struct t_igmpd_ns {
    uint64_t vpn_id = 0;
    msgq_handle_t *link_p = nullptr;
    std::map<std::string, std::unique_ptr<t_igmpd_iface>> ifaces;
    uint64_t link_sent = 0;
    uint64_t link_dropped = 0; // while kemd was away; re-sent when it comes back
};

struct t_igmpd {
    t_zul_companion run;
    t_igmp_cfg cfg;
    t_zconfd_context *zconfd_p = nullptr;
    std::map<uint64_t, std::unique_ptr<t_igmpd_ns>> nss;
};

extern t_igmpd g_igmpd;

t_igmp_ms igmpd_now_ms();

// The link to kemd of one VPN.
inline constexpr const char *IGMPD_KEMD_PATH = "/var/run/.kemd-igmpd";
void igmpd_link_open(t_igmpd_ns *ns_p);
void igmpd_link_close(t_igmpd_ns *ns_p);
void igmpd_link_send_if(t_igmpd_ns *ns_p, const t_igmpd_iface *if_p, bool add);
void igmpd_link_send_join(t_igmpd_ns *ns_p, const t_igmpd_iface *if_p, uint32_t group,
                          uint32_t source, bool add);

// Operational data through the configuration agent.
void igmpd_show_init(const char *cdb_path);
void igmpd_show_destroy();
