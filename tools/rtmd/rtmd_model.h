// rtmd's view of one network namespace: links, addresses and routes as read
// from the kernel, and the pure computations on it: next-hop resolution of an
// address (longest match, ECMP, metric and distance) and the interface reports
// that turn one view into the next. Nothing here touches the kernel, so the
// route selection is tested on hand-made views.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/ip_util.h"
#include "proto/rtm.pb-c.h"

struct t_rtmd_link {
    uint32_t ifindex;
    std::string name;
    bool active; // administratively up and carrier present
};

struct t_rtmd_addr {
    uint32_t ifindex;
    t_ipprefix prefix;
};

struct t_rtmd_route_nh {
    t_ipaddr gateway; // zero: directly reachable on the interface
    uint32_t ifindex;
};

struct t_rtmd_route {
    t_ipprefix dst;
    uint32_t table;
    uint8_t kernel_proto; // RTPROT_*
    uint8_t type;         // RTN_*
    uint8_t scope;        // RT_SCOPE_*
    uint32_t priority;    // the route's metric
    std::vector<t_rtmd_route_nh> nhs;
};

struct t_rtmd_view {
    std::map<uint32_t, t_rtmd_link> links; // by kernel index
    std::vector<t_rtmd_addr> addrs;
    std::vector<t_rtmd_route> routes;
};

struct t_rtmd_nh {
    ERtmControlNhType type;
    t_ipaddr gateway;
    uint32_t ifindex;
    bool operator==(const t_rtmd_nh &o) const;
};

// What an NHRES_UPDATE carries for one address; no next hops means unresolved.
struct t_rtmd_resolution {
    uint32_t metric = 0;
    uint32_t distance = 0;
    ProtoType protocol = PROTO_TYPE__ROUTE_INVALID;
    std::vector<t_rtmd_nh> nhs;
    bool operator==(const t_rtmd_resolution &o) const;
};

struct t_rtmd_if_event {
    ERtmControlInterfaceType type;
    std::string name;
    uint32_t ifindex;
    bool has_active; // only INTERFACE_ADD carries the state
    bool active;
    t_ipprefix prefix; // address events only
};

// The route owner as the route table manager names it.
ProtoType rtmd_route_protocol(const t_rtmd_route &route);
uint32_t rtmd_protocol_distance(ProtoType protocol);
// Longest match in the main table among routes that can forward (unicast with
// a next hop on an active link, or a discard route); ties of prefix length go
// to the lowest metric, and all routes of that length and metric are ECMP.
t_rtmd_resolution rtmd_resolve(const t_rtmd_view &view, const t_ipaddr &addr);

// Reports announcing a whole view: each link, then its addresses.
std::vector<t_rtmd_if_event> rtmd_if_announce(const t_rtmd_view &view);
// Reports that take a client from one view to the next.
std::vector<t_rtmd_if_event> rtmd_if_diff(const t_rtmd_view &before, const t_rtmd_view &after);

// Framed messages (6-byte header and MRtmControl).
std::vector<uint8_t> rtmd_encode_if_event(const t_rtmd_if_event &ev);
std::vector<uint8_t> rtmd_encode_nhres_update(const t_ipaddr &addr, const t_rtmd_resolution &res);
