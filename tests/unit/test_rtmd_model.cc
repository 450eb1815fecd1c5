#include <gtest/gtest.h>
#include <linux/rtnetlink.h>
#include <string>
#include <vector>

#include "common/rtm_msg.h"
#include "tools/rtmd/rtmd_model.h"

namespace
{

t_ipaddr ip(const char *text)
{
    t_ipaddr a;
    EXPECT_EQ(str_to_ip(text, &a), 1) << text;
    return a;
}

t_ipprefix pfx(const char *text, uint8_t len)
{
    t_ipprefix p{};
    p.addr = ip(text);
    p.prefixlen = len;
    return p;
}

t_rtmd_route route(const char *dst, uint8_t len, std::vector<t_rtmd_route_nh> nhs,
                   uint32_t metric = 0, uint8_t proto = RTPROT_BOOT)
{
    t_rtmd_route r{};
    r.dst = pfx(dst, len);
    r.table = RT_TABLE_MAIN;
    r.kernel_proto = proto;
    r.type = RTN_UNICAST;
    r.scope = RT_SCOPE_UNIVERSE;
    r.priority = metric;
    r.nhs = std::move(nhs);
    return r;
}

t_rtmd_route_nh via(const char *gw, uint32_t ifindex)
{
    return t_rtmd_route_nh{ip(gw), ifindex};
}

t_rtmd_route_nh dev(uint32_t ifindex)
{
    t_rtmd_route_nh nh{};
    IPADDR_INIT(&nh.gateway, IP_ADDR_V4);
    nh.ifindex = ifindex;
    return nh;
}

std::string nhs_str(const t_rtmd_resolution &res)
{
    std::string out;
    for (const t_rtmd_nh &nh : res.nhs) {
        out += std::to_string(nh.type) + ":" +
               (IPADDR_IS_ZERO(&nh.gateway) ? std::string("-") : ipaddr_str(&nh.gateway).c) + "@" +
               std::to_string(nh.ifindex) + " ";
    }
    return out;
}

t_rtmd_view base_view()
{
    t_rtmd_view v;
    v.links[1] = {1, "lo", true};
    v.links[2] = {2, "eth0", true};
    v.links[3] = {3, "eth1", true};
    return v;
}

TEST(RtmdResolve, LongestMatchMetricAndEcmp)
{
    t_rtmd_view v = base_view();
    t_rtmd_route connected = route("10.0.0.0", 24, {dev(2)}, 0, RTPROT_KERNEL);
    connected.scope = RT_SCOPE_LINK;
    v.routes = {
        route("0.0.0.0", 0, {via("10.0.0.1", 2)}),
        connected,
        route("192.168.0.0", 16, {via("10.0.0.2", 2)}, 20),
        route("192.168.0.0", 16, {via("10.0.0.3", 2), via("10.1.0.3", 3)}, 10, RTPROT_OSPF),
        route("192.168.5.0", 24, {via("10.0.0.9", 2)}, 5, RTPROT_BGP),
    };
    // A host route elsewhere in the local table never resolves.
    t_rtmd_route local = route("192.168.5.7", 32, {dev(1)});
    local.table = RT_TABLE_LOCAL;
    v.routes.push_back(local);

    t_rtmd_resolution r = rtmd_resolve(v, ip("192.168.5.7"));
    EXPECT_EQ(nhs_str(r), "2:10.0.0.9@2 ");
    EXPECT_EQ(r.protocol, PROTO_TYPE__ROUTE_BGP);
    EXPECT_EQ(r.distance, 20u);
    EXPECT_EQ(r.metric, 5u);

    r = rtmd_resolve(v, ip("192.168.6.1"));
    EXPECT_EQ(nhs_str(r), "2:10.0.0.3@2 2:10.1.0.3@3 ");
    EXPECT_EQ(r.protocol, PROTO_TYPE__ROUTE_OSPF);
    EXPECT_EQ(r.metric, 10u);

    r = rtmd_resolve(v, ip("10.0.0.7"));
    EXPECT_EQ(nhs_str(r), "0:-@2 ");
    EXPECT_EQ(r.protocol, PROTO_TYPE__ROUTE_CONNECT);

    r = rtmd_resolve(v, ip("8.8.8.8"));
    EXPECT_EQ(nhs_str(r), "2:10.0.0.1@2 ");
    EXPECT_EQ(r.protocol, PROTO_TYPE__ROUTE_STATIC);

    // Equal prefix and metric from two routes (IPv6 style) are merged.
    v.routes.push_back(route("192.168.0.0", 16, {via("10.0.0.4", 2)}, 10, RTPROT_OSPF));
    EXPECT_EQ(nhs_str(rtmd_resolve(v, ip("192.168.6.1"))),
              "2:10.0.0.3@2 2:10.1.0.3@3 2:10.0.0.4@2 ");

    // IPv6 addresses never match IPv4 routes.
    EXPECT_TRUE(rtmd_resolve(v, ip("2001:db8::1")).nhs.empty());
}

TEST(RtmdResolve, DownLinksAndDiscardRoutes)
{
    t_rtmd_view v = base_view();
    v.routes = {
        route("0.0.0.0", 0, {via("10.1.0.1", 3)}),
        route("172.16.0.0", 12, {via("10.0.0.1", 2), via("10.1.0.1", 3)}),
        route("172.16.1.0", 24, {via("10.0.0.5", 2)}),
    };
    v.links[2].active = false;
    // The /24 cannot forward: the lookup falls back to the /12's live next hop.
    EXPECT_EQ(nhs_str(rtmd_resolve(v, ip("172.16.1.1"))), "2:10.1.0.1@3 ");

    v.links[3].active = false;
    EXPECT_TRUE(rtmd_resolve(v, ip("172.16.1.1")).nhs.empty());
    EXPECT_EQ(rtmd_resolve(v, ip("172.16.1.1")), t_rtmd_resolution{});

    t_rtmd_route bh = route("172.16.1.0", 25, {});
    bh.type = RTN_BLACKHOLE;
    v.routes.push_back(bh);
    EXPECT_EQ(nhs_str(rtmd_resolve(v, ip("172.16.1.1"))), "4:-@0 ");
}

std::vector<std::string> events_str(const std::vector<t_rtmd_if_event> &evs)
{
    std::vector<std::string> out;
    for (const t_rtmd_if_event &e : evs) {
        std::string s = std::to_string(e.type) + " " + e.name + "#" + std::to_string(e.ifindex);
        if (e.has_active) {
            s += e.active ? " up" : " down";
        }
        if (e.type >= E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADDRESS_ADD) {
            char buf[IPADDR_STR_LEN];
            s += std::string(" ") + ipprefix_print(&e.prefix, buf, sizeof(buf));
        }
        out.push_back(s);
    }
    return out;
}

TEST(RtmdInterfaces, AnnounceAndDiff)
{
    t_rtmd_view a = base_view();
    a.links[3].active = false;
    a.addrs = {{2, pfx("10.0.0.5", 24)}, {3, pfx("10.1.0.5", 24)}, {2, pfx("10.0.0.5", 24)}};
    EXPECT_EQ(events_str(rtmd_if_announce(a)),
              (std::vector<std::string>{"0 lo#1 up", "0 eth0#2 up", "4 eth0#2 10.0.0.5/24",
                                        "0 eth1#3 down", "4 eth1#3 10.1.0.5/24"}));

    t_rtmd_view b = a;
    b.links.erase(1);
    b.links[3].active = true;
    b.links[2].name = "wan0"; // renamed: withdrawn and announced again
    b.links[4] = {4, "eth2", false};
    b.addrs = {{3, pfx("10.1.0.6", 24)}, {2, pfx("10.0.0.5", 24)}, {4, pfx("2001:db8::1", 64)}};
    EXPECT_EQ(events_str(rtmd_if_diff(a, b)),
              (std::vector<std::string>{"1 lo#1", "1 eth0#2", "0 wan0#2 up", "4 wan0#2 10.0.0.5/24",
                                        "5 eth1#3 10.1.0.5/24", "2 eth1#3", "4 eth1#3 10.1.0.6/24",
                                        "0 eth2#4 down", "4 eth2#4 2001:db8::1/64"}));
    EXPECT_TRUE(rtmd_if_diff(b, b).empty());
}

TEST(RtmdEncode, MessagesParseBack)
{
    t_rtmd_if_event ev{};
    ev.type = E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADDRESS_ADD;
    ev.name = "eth0";
    ev.ifindex = 7;
    ev.prefix = pfx("10.0.0.5", 24);
    std::vector<uint8_t> bytes = rtmd_encode_if_event(ev);
    ASSERT_GT(bytes.size(), RTM_MSG_HDR_LEN);
    EXPECT_EQ((bytes[0] << 8) | bytes[1], static_cast<int>(bytes.size()));
    EXPECT_EQ(bytes[3], RTM_MSG_TYPE_CONTROL);
    MRtmControl *msg = nullptr;
    ASSERT_EQ(rtm_msg_parse(bytes.data(), bytes.size(), &msg, nullptr), RTM_MSG_OK);
    ASSERT_NE(msg->interface, nullptr);
    EXPECT_EQ(std::string(msg->interface->name), "eth0");
    EXPECT_EQ(msg->interface->prefix_len, 24u);
    EXPECT_EQ(std::string(msg->interface->prefix->address), "10.0.0.5");
    EXPECT_EQ(msg->interface->status, nullptr);
    m_rtm_control__free_unpacked(msg, nullptr);

    t_rtmd_resolution res;
    res.metric = 3;
    res.distance = 1;
    res.protocol = PROTO_TYPE__ROUTE_STATIC;
    res.nhs = {{E_RTM_CONTROL_NH_TYPE__NEXTHOP_IF_IDX, ip("10.0.0.1"), 2},
               {E_RTM_CONTROL_NH_TYPE__IF_IDX, ip("0.0.0.0"), 3}};
    bytes = rtmd_encode_nhres_update(ip("192.168.1.1"), res);
    ASSERT_EQ(rtm_msg_parse(bytes.data(), bytes.size(), &msg, nullptr), RTM_MSG_OK);
    const MRtmControlNhresNextHop *resp = msg->nhres->nhres_resp;
    EXPECT_EQ(msg->nhres->type, E_RTM_CONTROL_NHRES_TYPE__NHRES_UPDATE);
    EXPECT_EQ(std::string(resp->prefix->address), "192.168.1.1");
    ASSERT_EQ(resp->n_next_hop, 2u);
    EXPECT_EQ(std::string(resp->next_hop[0]->nh_if_idx->nexthop->address), "10.0.0.1");
    EXPECT_EQ(resp->next_hop[1]->nh_if_idx->nexthop, nullptr);
    EXPECT_EQ(resp->next_hop[1]->nh_if_idx->if_idx, 3u);
    m_rtm_control__free_unpacked(msg, nullptr);

    // Header checks: length, module, type, body.
    bytes[2] = 1;
    EXPECT_EQ(rtm_msg_parse(bytes.data(), bytes.size(), &msg, nullptr), RTM_MSG_BAD_MODULE);
    bytes[2] = 0;
    bytes[3] = 6;
    EXPECT_EQ(rtm_msg_parse(bytes.data(), bytes.size(), &msg, nullptr), RTM_MSG_BAD_TYPE);
    EXPECT_EQ(rtm_msg_parse(bytes.data(), bytes.size() - 1, &msg, nullptr), RTM_MSG_LEN_MISMATCH);
    EXPECT_EQ(rtm_msg_parse(bytes.data(), 3, &msg, nullptr), RTM_MSG_SHORT);
    uint8_t junk[] = {0, 9, 0, 7, 0, 0, 0xff, 0xff, 0xff};
    EXPECT_EQ(rtm_msg_parse(junk, sizeof(junk), &msg, nullptr), RTM_MSG_UNPACK_FAIL);
    EXPECT_EQ(msg, nullptr);
}

} // namespace
