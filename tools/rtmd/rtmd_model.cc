#include "tools/rtmd/rtmd_model.h"

#include <algorithm>
#include <array>
#include <linux/rtnetlink.h>

#include "common/pb_util.h"
#include "common/rtm_msg.h"

namespace
{

bool addr_less(const t_rtmd_addr &a, const t_rtmd_addr &b)
{
    if (a.ifindex != b.ifindex) {
        return a.ifindex < b.ifindex;
    }
    return IPPREFIX_CMP(&a.prefix, &b.prefix) < 0;
}

bool addr_equal(const t_rtmd_addr &a, const t_rtmd_addr &b)
{
    return a.ifindex == b.ifindex && IPPREFIX_CMP(&a.prefix, &b.prefix) == 0;
}

std::vector<t_rtmd_addr> sorted_addrs(const t_rtmd_view &view)
{
    std::vector<t_rtmd_addr> out = view.addrs;
    std::sort(out.begin(), out.end(), addr_less);
    out.erase(std::unique(out.begin(), out.end(), addr_equal), out.end());
    return out;
}

bool link_active(const t_rtmd_view &view, uint32_t ifindex)
{
    auto it = view.links.find(ifindex);
    return it != view.links.end() && it->second.active;
}

bool route_is_discard(const t_rtmd_route &r)
{
    return r.type == RTN_BLACKHOLE || r.type == RTN_UNREACHABLE || r.type == RTN_PROHIBIT;
}

// Next hops through which the route forwards now; empty when it cannot.
std::vector<t_rtmd_nh> route_next_hops(const t_rtmd_view &view, const t_rtmd_route &r)
{
    std::vector<t_rtmd_nh> out;
    if (route_is_discard(r)) {
        t_rtmd_nh nh{};
        nh.type = E_RTM_CONTROL_NH_TYPE__NEXTHOP_BLACKHOLE;
        IPADDR_INIT(&nh.gateway, r.dst.addr.addr_type);
        out.push_back(nh);
        return out;
    }
    if (r.type != RTN_UNICAST) {
        return out;
    }
    for (const t_rtmd_route_nh &rnh : r.nhs) {
        if (!link_active(view, rnh.ifindex)) {
            continue;
        }
        t_rtmd_nh nh{};
        nh.gateway = rnh.gateway;
        nh.ifindex = rnh.ifindex;
        nh.type = IPADDR_IS_ZERO(&rnh.gateway) ? E_RTM_CONTROL_NH_TYPE__IF_IDX
                                               : E_RTM_CONTROL_NH_TYPE__NEXTHOP_IF_IDX;
        if (IPADDR_IS_ZERO(&nh.gateway)) {
            IPADDR_INIT(&nh.gateway, r.dst.addr.addr_type);
        }
        out.push_back(nh);
    }
    return out;
}

t_rtmd_if_event link_event(ERtmControlInterfaceType type, const t_rtmd_link &link)
{
    t_rtmd_if_event ev{};
    ev.type = type;
    ev.name = link.name;
    ev.ifindex = link.ifindex;
    if (type == E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD) {
        ev.has_active = true;
        ev.active = link.active;
    }
    return ev;
}

t_rtmd_if_event addr_event(ERtmControlInterfaceType type, const t_rtmd_link &link,
                           const t_rtmd_addr &addr)
{
    t_rtmd_if_event ev = link_event(type, link);
    ev.prefix = addr.prefix;
    return ev;
}

std::vector<uint8_t> frame(const MRtmControl &msg)
{
    size_t len = rtm_msg_framed_size(&msg);
    std::vector<uint8_t> out(len);
    if (len != 0) {
        rtm_msg_frame(&msg, out.data(), len);
    }
    return out;
}

} // namespace

bool t_rtmd_nh::operator==(const t_rtmd_nh &o) const
{
    return type == o.type && ifindex == o.ifindex && gateway.addr_type == o.gateway.addr_type &&
           (gateway.addr_type == IP_ADDR_UNKNOWN || IPADDR_CMP(&gateway, &o.gateway) == 0);
}

bool t_rtmd_resolution::operator==(const t_rtmd_resolution &o) const
{
    return metric == o.metric && distance == o.distance && protocol == o.protocol && nhs == o.nhs;
}

ProtoType rtmd_route_protocol(const t_rtmd_route &route)
{
    switch (route.kernel_proto) {
    case RTPROT_KERNEL: {
        bool direct = std::all_of(route.nhs.begin(), route.nhs.end(),
                                  [](const auto &nh) { return IPADDR_IS_ZERO(&nh.gateway); });
        return route.scope == RT_SCOPE_LINK && direct ? PROTO_TYPE__ROUTE_CONNECT
                                                      : PROTO_TYPE__ROUTE_KERNEL;
    }
    case RTPROT_BOOT:
    case RTPROT_STATIC:
        return PROTO_TYPE__ROUTE_STATIC;
    case RTPROT_BGP:
        return PROTO_TYPE__ROUTE_BGP;
    case RTPROT_ISIS:
        return PROTO_TYPE__ROUTE_ISIS;
    case RTPROT_OSPF:
        return PROTO_TYPE__ROUTE_OSPF;
    case RTPROT_RIP:
        return PROTO_TYPE__ROUTE_RIP;
    case RTPROT_DHCP:
        return PROTO_TYPE__ROUTE_DHCP;
    default:
        return PROTO_TYPE__ROUTE_KERNEL;
    }
}

uint32_t rtmd_protocol_distance(ProtoType protocol)
{
    switch (protocol) {
    case PROTO_TYPE__ROUTE_STATIC:
        return 1;
    case PROTO_TYPE__ROUTE_BGP:
        return 20;
    case PROTO_TYPE__ROUTE_OSPF:
        return 110;
    case PROTO_TYPE__ROUTE_ISIS:
        return 115;
    case PROTO_TYPE__ROUTE_RIP:
        return 120;
    default:
        return 0;
    }
}

t_rtmd_resolution rtmd_resolve(const t_rtmd_view &view, const t_ipaddr &addr)
{
    const t_rtmd_route *best_p = nullptr;
    std::vector<t_rtmd_nh> nhs;
    for (const t_rtmd_route &r : view.routes) {
        if (r.table != RT_TABLE_MAIN || !ipprefix_contains(&r.dst, &addr)) {
            continue;
        }
        if (best_p != nullptr) {
            if (r.dst.prefixlen < best_p->dst.prefixlen) {
                continue;
            }
            if (r.dst.prefixlen == best_p->dst.prefixlen && r.priority > best_p->priority) {
                continue;
            }
        }
        std::vector<t_rtmd_nh> r_nhs = route_next_hops(view, r);
        if (r_nhs.empty()) {
            continue;
        }
        bool same = best_p != nullptr && r.dst.prefixlen == best_p->dst.prefixlen &&
                    r.priority == best_p->priority;
        if (!same) {
            best_p = &r;
            nhs.clear();
        }
        // IPv6 multipath arrives as one route per next hop: merge them.
        for (const t_rtmd_nh &nh : r_nhs) {
            if (std::find(nhs.begin(), nhs.end(), nh) == nhs.end()) {
                nhs.push_back(nh);
            }
        }
    }
    t_rtmd_resolution res;
    if (best_p == nullptr) {
        return res;
    }
    res.metric = best_p->priority;
    res.protocol = rtmd_route_protocol(*best_p);
    res.distance = rtmd_protocol_distance(res.protocol);
    res.nhs = std::move(nhs);
    return res;
}

std::vector<t_rtmd_if_event> rtmd_if_announce(const t_rtmd_view &view)
{
    std::vector<t_rtmd_if_event> out;
    std::vector<t_rtmd_addr> addrs = sorted_addrs(view);
    for (const auto &[ifindex, link] : view.links) {
        out.push_back(link_event(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD, link));
        for (const t_rtmd_addr &a : addrs) {
            if (a.ifindex == ifindex) {
                out.push_back(
                    addr_event(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADDRESS_ADD, link, a));
            }
        }
    }
    return out;
}

std::vector<t_rtmd_if_event> rtmd_if_diff(const t_rtmd_view &before, const t_rtmd_view &after)
{
    std::vector<t_rtmd_if_event> out;
    std::vector<t_rtmd_addr> old_addrs = sorted_addrs(before);
    std::vector<t_rtmd_addr> new_addrs = sorted_addrs(after);
    auto has = [](const std::vector<t_rtmd_addr> &v, const t_rtmd_addr &a) {
        return std::binary_search(v.begin(), v.end(), a, addr_less);
    };
    // A link that went away or changed its name is withdrawn under the old name.
    auto same_link = [&](uint32_t ifindex, const t_rtmd_link &link) {
        auto it = after.links.find(ifindex);
        return it != after.links.end() && it->second.name == link.name;
    };
    for (const auto &[ifindex, link] : before.links) {
        if (!same_link(ifindex, link)) {
            out.push_back(link_event(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_DELETE, link));
        }
    }
    for (const auto &[ifindex, link] : after.links) {
        auto old = before.links.find(ifindex);
        bool known = old != before.links.end() && old->second.name == link.name;
        if (!known) {
            out.push_back(link_event(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD, link));
            for (const t_rtmd_addr &a : new_addrs) {
                if (a.ifindex == ifindex) {
                    out.push_back(
                        addr_event(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADDRESS_ADD, link, a));
                }
            }
            continue;
        }
        for (const t_rtmd_addr &a : old_addrs) {
            if (a.ifindex == ifindex && !has(new_addrs, a)) {
                out.push_back(
                    addr_event(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADDRESS_DELETE, link, a));
            }
        }
        if (old->second.active != link.active) {
            out.push_back(link_event(link.active ? E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_UP
                                                 : E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_DOWN,
                                     link));
        }
        for (const t_rtmd_addr &a : new_addrs) {
            if (a.ifindex == ifindex && !has(old_addrs, a)) {
                out.push_back(
                    addr_event(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADDRESS_ADD, link, a));
            }
        }
    }
    return out;
}

std::vector<uint8_t> rtmd_encode_if_event(const t_rtmd_if_event &ev)
{
    MRtmControl msg = M_RTM_CONTROL__INIT;
    MRtmControlInterface intf = M_RTM_CONTROL_INTERFACE__INIT;
    MRtmControlInterfaceStatus status = M_RTM_CONTROL_INTERFACE_STATUS__INIT;
    MIpAddress prefix = M_IP_ADDRESS__INIT;
    char text[IPADDR_STR_LEN];

    msg.type = M_RTM_CONTROL__E_RTM_CONTROL_TYPE__CONTROL_INTERFACE;
    msg.interface = &intf;
    intf.type = ev.type;
    intf.name = const_cast<char *>(ev.name.c_str());
    intf.has_index = true;
    intf.index = ev.ifindex;
    if (ev.has_active) {
        status.has_interface_active = true;
        status.interface_active = ev.active ? 1 : 0;
        intf.status = &status;
    }
    if (ev.type == E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADDRESS_ADD ||
        ev.type == E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADDRESS_DELETE) {
        pb_util_from_ipaddr(&ev.prefix.addr, &prefix, text, sizeof(text));
        intf.prefix = &prefix;
        intf.has_prefix_len = true;
        intf.prefix_len = ev.prefix.prefixlen;
    }
    return frame(msg);
}

std::vector<uint8_t> rtmd_encode_nhres_update(const t_ipaddr &addr, const t_rtmd_resolution &res)
{
    MRtmControl msg = M_RTM_CONTROL__INIT;
    MRtmControlNhres nhres = M_RTM_CONTROL_NHRES__INIT;
    MRtmControlNhresNextHop resp = M_RTM_CONTROL_NHRES_NEXT_HOP__INIT;
    MIpAddress prefix = M_IP_ADDRESS__INIT;
    char text[IPADDR_STR_LEN];

    size_t n = res.nhs.size();
    std::vector<MRtmControlNextHop> hops(n);
    std::vector<MRtmControlNhIfIdx> if_idx(n);
    std::vector<MIpAddress> gws(n);
    std::vector<std::array<char, IPADDR_STR_LEN>> gw_text(n);
    std::vector<MRtmControlNextHop *> hop_ps(n);
    for (size_t i = 0; i < n; i++) {
        const t_rtmd_nh &nh = res.nhs[i];
        hops[i] = M_RTM_CONTROL_NEXT_HOP__INIT;
        if_idx[i] = M_RTM_CONTROL_NH_IF_IDX__INIT;
        gws[i] = M_IP_ADDRESS__INIT;
        hops[i].nh_type = nh.type;
        if (nh.type != E_RTM_CONTROL_NH_TYPE__NEXTHOP_BLACKHOLE) {
            if_idx[i].has_if_idx = true;
            if_idx[i].if_idx = nh.ifindex;
            if (!IPADDR_IS_ZERO(&nh.gateway)) {
                pb_util_from_ipaddr(&nh.gateway, &gws[i], gw_text[i].data(), IPADDR_STR_LEN);
                if_idx[i].nexthop = &gws[i];
            }
            hops[i].nh_if_idx = &if_idx[i];
        }
        hop_ps[i] = &hops[i];
    }

    msg.type = M_RTM_CONTROL__E_RTM_CONTROL_TYPE__CONTROL_NHRES;
    msg.nhres = &nhres;
    nhres.type = E_RTM_CONTROL_NHRES_TYPE__NHRES_UPDATE;
    nhres.nhres_resp = &resp;
    pb_util_from_ipaddr(&addr, &prefix, text, sizeof(text));
    resp.prefix = &prefix;
    resp.has_prefix_len = true;
    resp.prefix_len = IPADDR_IS_V4(&addr) ? 32 : 128;
    resp.has_metric = true;
    resp.metric = res.metric;
    resp.has_distance = true;
    resp.distance = res.distance;
    resp.has_protocol = true;
    resp.protocol = res.protocol;
    resp.n_next_hop = n;
    resp.next_hop = hop_ps.data();
    return frame(msg);
}
