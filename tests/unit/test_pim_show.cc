// Operational tables against live records: exact gets, first rows and the
// find-next walks of every table across VPNs, interfaces, neighbors and RPF
// records, optional values, and the rows that must never appear.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/pim_show_test.h"

namespace
{

TEST(PimShowTime, DaysThenYears)
{
    char buf[64];
    EXPECT_STREQ(zul_util_get_time_ddhhmmss(0, buf, sizeof(buf)), "0:00:00:00");
    EXPECT_STREQ(zul_util_get_time_ddhhmmss(90061, buf, sizeof(buf)), "1:01:01:01");
    EXPECT_STREQ(zul_util_get_time_ddhhmmss(31535999, buf, sizeof(buf)), "364:23:59:59");
    EXPECT_STREQ(zul_util_get_time_ddhhmmss(31536000, buf, sizeof(buf)), "1y 0:00:00:00");
    EXPECT_STREQ(zul_util_get_time_ddhhmmss(2 * 31536000ull + 86400 + 59, buf, sizeof(buf)),
                 "2y 1:00:00:59");
    EXPECT_STREQ(zul_util_get_time(time(nullptr) + 100, buf, sizeof(buf)), "0:00:00:00")
        << "a start in the future counts as now";
}

TEST_F(PimShowTest, StatisticsPerVpnWithoutVpnZeroOrDisabledVpns)
{
    // Each counter its own value, to tell columns apart.
    t_pim_pkt_stats_rx &rx = vpn7->stats.pkt_stats_rx;
    t_pim_pkt_stats_tx &tx = vpn7->stats.pkt_stats_tx;
    uint32_t n = 11;
    for (uint32_t *c :
         {&rx.hello_pkts, &rx.jp_pkts, &rx.assert_pkts, &rx.auto_rp_announce_pkts,
          &rx.auto_rp_mapping_pkts, &rx.unsupported_pkts, &rx.unknown_pkts, &rx.bad_pkts,
          &rx.bad_addr_records, &rx.nbr_limit_pkts, &tx.hello_pkts, &tx.jp_pkts, &tx.assert_pkts}) {
        *c = n++;
    }
    const std::string row7 =
        "vpn-id=7 rx-hello=11 rx-join-prune=12 rx-assert=13 rx-auto-rp-announce=14 "
        "rx-auto-rp-mapping=15 rx-unsupported=16 rx-unknown=17 rx-bad=18 rx-bad-addr-records=19 "
        "rx-nbr-limit=20 tx-hello=21 "
        "tx-join-prune=22 tx-assert=23";
    EXPECT_EQ(get("pim-statistics", {vpn_key(7)}).text, row7);
    EXPECT_FALSE(get("pim-statistics", {vpn_key(0)}).found);
    EXPECT_FALSE(get("pim-statistics", {vpn_key(5)}).found);
    EXPECT_FALSE(get("pim-statistics", {vpn_key(9)}).found);
    EXPECT_FALSE(get("pim-statistics", {}).found);

    auto rows = walk("pim-statistics", {}, {"vpn-id"});
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(key_text(rows[0], "vpn-id"), "3");
    EXPECT_EQ(rows[1], row7);

    EXPECT_EQ(
        key_text(find("pim-statistics", ZCONFD_FIND_SAME_OR_NEXT, {vpn_key(3)}).text, "vpn-id"),
        "3");
    EXPECT_EQ(
        key_text(find("pim-statistics", ZCONFD_FIND_SAME_OR_NEXT, {vpn_key(4)}).text, "vpn-id"),
        "7");
    EXPECT_EQ(key_text(find("pim-statistics", ZCONFD_FIND_NEXT, {vpn_key(5)}).text, "vpn-id"), "7");
    EXPECT_FALSE(find("pim-statistics", ZCONFD_FIND_NEXT, {vpn_key(7)}).found);

    // PIM stopped in VPN 7: its row goes.
    EXPECT_EQ(pim_vpn_pim_disable(vpn7), PIM_STATUS_OK);
    EXPECT_FALSE(get("pim-statistics", {vpn_key(7)}).found);
    EXPECT_FALSE(find("pim-statistics", ZCONFD_FIND_NEXT, {vpn_key(3)}).found);
}

TEST_F(PimShowTest, InterfacesInTreeOrderWithOptionalDr)
{
    t_pim_if *a = running_if(vpn3, "ge0/2", NET3 + 0x0205, 10);
    running_if(vpn3, "ge0/10", NET3 + 0x0a05);
    running_if(vpn7, "ge0/1", NET7 + 0x0105);
    hello(a, NET3 + 0x0201, 105000, 20);
    // Configured for PIM but down: enabled never, so no DR.
    t_pim_if *down = pim_if_create(vpn3, "ge0/9", PIM_IF_TYPE_LOCAL, 0, nullptr, true, true);
    ASSERT_NE(down, nullptr);
    pim_if_config_update(daemon_p, vpn3, down, true);
    ASSERT_EQ(down->dr_nbr_p, nullptr);
    // A tunnel interface of the overlay is not a service-side interface.
    t_ipaddr site = v4(0xac100001);
    ASSERT_NE(pim_if_tunnel_create(vpn3, &site, 5), nullptr);

    EXPECT_EQ(get("pim-interface", {vpn_key(3), name_key("ge0/2")}).text,
              "vpn-id=3 if-name=ge0/2 address=10.3.2.5/24 neighbor-count=1 hello-interval=30 "
              "dr-priority=10 dr-address=10.3.2.1 join-prune-interval=60");
    t_reply r9 = get("pim-interface", {vpn_key(3), name_key("ge0/9")});
    ASSERT_TRUE(r9.found);
    EXPECT_EQ(key_text(r9.text, "dr-address"), "");
    EXPECT_EQ(key_text(r9.text, "neighbor-count"), "0");
    EXPECT_FALSE(get("pim-interface", {vpn_key(3), name_key("ge0/1")}).found);
    EXPECT_FALSE(get("pim-interface", {vpn_key(5), name_key("ge0/1")}).found);
    EXPECT_FALSE(get("pim-interface", {vpn_key(3)}).found) << "a get needs every key";
    EXPECT_FALSE(get("pim-interface", {vpn_key(3), addr_key(1)}).found) << "key of another type";

    std::vector<std::string> names;
    for (const std::string &row : walk("pim-interface", {}, {"vpn-id", "if-name"})) {
        names.push_back(key_text(row, "vpn-id") + "/" + key_text(row, "if-name"));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"3/ge0/10", "3/ge0/2", "3/ge0/9", "7/ge0/1"}));

    // Leading keys only: the first interface under them, or of the next VPN.
    EXPECT_EQ(key_text(find("pim-interface", ZCONFD_FIND_NEXT, {vpn_key(7)}).text, "if-name"),
              "ge0/1");
    EXPECT_EQ(
        key_text(find("pim-interface", ZCONFD_FIND_SAME_OR_NEXT, {vpn_key(4)}).text, "vpn-id"),
        "7");
    EXPECT_EQ(
        key_text(
            find("pim-interface", ZCONFD_FIND_SAME_OR_NEXT, {vpn_key(3), name_key("ge0/3")}).text,
            "if-name"),
        "ge0/9");
    EXPECT_FALSE(find("pim-interface", ZCONFD_FIND_NEXT, {vpn_key(7), name_key("ge0/1")}).found);
}

TEST_F(PimShowTest, NeighborsInDisplayOrderWithExpiryAndDr)
{
    t_pim_if *a = running_if(vpn3, "ge0/2", NET3 + 0x0205);
    t_pim_if *b = running_if(vpn3, "ge0/10", NET3 + 0x0a05);
    t_pim_if *c = running_if(vpn7, "ge0/1", NET7 + 0x0105);
    running_if(vpn7, "ge0/0", NET7 + 0x0005); // no neighbors: skipped by the walk
    hello(a, NET3 + 0x0201, 105000, 7);
    hello(a, NET3 + 0x0202, PIM_NBR_HOLDTIME_FOREVER_MS, 1);
    hello(b, NET3 + 0x0a01, 105000, 1);
    hello(c, NET7 + 0x0101, 105000, 1);
    t_ipaddr site = v4(0xac100001);
    ASSERT_NE(pim_if_tunnel_create(vpn3, &site, 5), nullptr); // its virtual neighbor is not shown
    advance(5);

    t_reply r = get("pim-neighbor", {vpn_key(3), name_key("ge0/2"), addr_key(NET3 + 0x0201)});
    EXPECT_EQ(r.text, "vpn-id=3 if-name=ge0/2 neighbor-address=10.3.2.1 up-time=" +
                          key_text(r.text, "up-time") +
                          " expires=0:00:01:40 hold-time=105 dr-priority=7 dr-address=10.3.2.1");
    t_reply forever = get("pim-neighbor", {vpn_key(3), name_key("ge0/2"), addr_key(NET3 + 0x0202)});
    EXPECT_EQ(key_text(forever.text, "expires"), "") << forever.text;
    EXPECT_EQ(key_text(forever.text, "hold-time"), "65535");

    // Up time since the first Hello, in years from 365 days on.
    t_ipaddr n1 = v4(NET3 + 0x0201);
    pim_nbr_find(a, &n1, nullptr)->up_time = time(nullptr) - (31536000 + 90061);
    std::string up =
        get("pim-neighbor", {vpn_key(3), name_key("ge0/2"), addr_key(NET3 + 0x0201)}).text;
    EXPECT_NE(up.find("up-time=1y 1:01:01:0"), std::string::npos) << up;

    std::vector<std::string> keys;
    for (const std::string &row :
         walk("pim-neighbor", {}, {"vpn-id", "if-name", "neighbor-address"})) {
        keys.push_back(key_text(row, "vpn-id") + "/" + key_text(row, "if-name") + "/" +
                       key_text(row, "neighbor-address"));
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"3/ge0/2/10.3.2.1", "3/ge0/2/10.3.2.2",
                                              "3/ge0/10/10.3.10.1", "7/ge0/1/10.7.1.1"}));

    // An interface between two others in display order, and one without neighbors.
    EXPECT_EQ(key_text(find("pim-neighbor", ZCONFD_FIND_NEXT,
                            {vpn_key(3), name_key("ge0/5"), addr_key(1)})
                           .text,
                       "neighbor-address"),
              "10.3.10.1");
    EXPECT_EQ(
        key_text(
            find("pim-neighbor", ZCONFD_FIND_SAME_OR_NEXT, {vpn_key(7), name_key("ge0/0")}).text,
            "neighbor-address"),
        "10.7.1.1");
    EXPECT_FALSE(find("pim-neighbor", ZCONFD_FIND_NEXT,
                      {vpn_key(7), name_key("ge0/1"), addr_key(NET7 + 0x0101)})
                     .found);

    // Expiry removes the neighbor from the table.
    advance(100);
    EXPECT_FALSE(
        get("pim-neighbor", {vpn_key(3), name_key("ge0/2"), addr_key(NET3 + 0x0201)}).found);
    EXPECT_EQ(walk("pim-neighbor", {}, {"vpn-id", "if-name", "neighbor-address"}).size(), 1u)
        << "only the neighbor that never expires is left";
}

TEST_F(PimShowTest, RpfRecordsAndTheirUsableNextHops)
{
    t_pim_if *a = running_if(vpn3, "ge0/2", NET3 + 0x0205);
    t_pim_if *b = running_if(vpn3, "ge0/10", NET3 + 0x0a05);
    hello(a, NET3 + 0x0201, 105000, 1);
    hello(a, NET3 + 0x0203, 105000, 1);
    hello(b, NET3 + 0x0a01, 105000, 1);
    t_ipaddr site = v4(0xac100001);
    ASSERT_NE(pim_if_tunnel_create(vpn3, &site, 5), nullptr);

    t_pim_next_hop *nh = rpf(vpn3, 0x0a090909);
    ASSERT_NE(nh, nullptr);
    const t_pim_nh_info hops[] = {
        {v4(NET3 + 0x0201), static_cast<uint16_t>(a->if_index), E_PIM_NHTYPE_SERVICE, 0, 0, 1, 0},
        {v4(NET3 + 0x0277), static_cast<uint16_t>(a->if_index), E_PIM_NHTYPE_SERVICE, 0, 0, 1,
         0},                                                        // no neighbor
        {v4(NET3 + 0x0203), 999, E_PIM_NHTYPE_SERVICE, 0, 0, 1, 0}, // no interface
        {site, 0, E_PIM_NHTYPE_FAB, 4, 0, 1, 0},
        {v4(NET3 + 0x0203), static_cast<uint16_t>(a->if_index), E_PIM_NHTYPE_SERVICE, 0, 0, 1, 0}};
    ASSERT_TRUE(pim_nhres_set_hops(nh, hops));
    // A directly connected target: its neighbor is the target itself.
    t_pim_next_hop *direct = rpf(vpn3, NET3 + 0x0a01);
    const t_pim_nh_info direct_hops[] = {
        {v4(0), static_cast<uint16_t>(b->if_index), E_PIM_NHTYPE_SERVICE, 0, 0, 1, 0}};
    ASSERT_TRUE(pim_nhres_set_hops(direct, direct_hops));
    ASSERT_NE(rpf(vpn3, 0x0a080808), nullptr); // unresolved
    ASSERT_NE(rpf(vpn7, 0x0a080808), nullptr);

    t_ipaddr target = v4(0x0a090909);
    t_zconfd_value rpf_key = zconfd_val_ipaddr(zconfd_tag("rpf-address"), &target);
    EXPECT_EQ(get("multicast-rpf", {vpn_key(3), rpf_key}).text,
              "vpn-id=3 rpf-address=10.9.9.9 nexthop-count=5 status=0");
    std::vector<std::string> rows = walk("multicast-rpf", {}, {"vpn-id", "rpf-address"});
    EXPECT_EQ(rows,
              (std::vector<std::string>{"vpn-id=3 rpf-address=10.3.10.1 nexthop-count=1 status=0",
                                        "vpn-id=3 rpf-address=10.8.8.8 nexthop-count=0 status=1",
                                        "vpn-id=3 rpf-address=10.9.9.9 nexthop-count=5 status=0",
                                        "vpn-id=7 rpf-address=10.8.8.8 nexthop-count=0 status=1"}));

    EXPECT_EQ(walk("multicast-rpf-nexthops", {vpn_key(3), rpf_key}, {"index"}),
              (std::vector<std::string>{
                  "index=0 if-name=ge0/2 neighbor-address=10.3.2.1",
                  "index=3 tunnel-address=172.16.0.1 color=4 neighbor-address=172.16.0.1",
                  "index=4 if-name=ge0/2 neighbor-address=10.3.2.3"}));
    EXPECT_EQ(get("multicast-rpf-nexthops", {vpn_key(3), rpf_key, index_key(0)}).text,
              "if-name=ge0/2 neighbor-address=10.3.2.1")
        << "an exact answer leaves the index out";
    EXPECT_FALSE(get("multicast-rpf-nexthops", {vpn_key(3), rpf_key, index_key(1)}).found);
    EXPECT_FALSE(get("multicast-rpf-nexthops", {vpn_key(3), rpf_key, index_key(5)}).found);
    EXPECT_FALSE(
        find("multicast-rpf-nexthops", ZCONFD_FIND_NEXT, {vpn_key(3), rpf_key, index_key(4)}).found)
        << "the walk stays under its record";

    t_ipaddr d = v4(NET3 + 0x0a01);
    t_zconfd_value direct_key = zconfd_val_ipaddr(zconfd_tag("rpf-address"), &d);
    EXPECT_EQ(walk("multicast-rpf-nexthops", {vpn_key(3), direct_key}, {"index"}),
              (std::vector<std::string>{"index=0 if-name=ge0/10 neighbor-address=10.3.10.1"}));

    t_ipaddr u = v4(0x0a080808);
    t_zconfd_value unresolved = zconfd_val_ipaddr(zconfd_tag("rpf-address"), &u);
    EXPECT_TRUE(walk("multicast-rpf-nexthops", {vpn_key(3), unresolved}, {"index"}).empty());

    // A neighbor being cleaned up gives no row; the walk moves on.
    t_ipaddr n1 = v4(NET3 + 0x0201);
    pim_nbr_find(a, &n1, nullptr)->nbr_flags |= PIM_NBR_FLAG_CLEANUP;
    EXPECT_EQ(
        key_text(
            find("multicast-rpf-nexthops", ZCONFD_FIND_SAME_OR_NEXT, {vpn_key(3), rpf_key}).text,
            "index"),
        "3");
    pim_nbr_find(a, &n1, nullptr)->nbr_flags &= ~PIM_NBR_FLAG_CLEANUP;

    // Hidden VPNs have no next hops either.
    EXPECT_FALSE(
        find("multicast-rpf-nexthops", ZCONFD_FIND_SAME_OR_NEXT, {vpn_key(5), rpf_key}).found);
    EXPECT_FALSE(find("multicast-rpf-nexthops", ZCONFD_FIND_SAME_OR_NEXT, {vpn_key(3)}).found);
}

TEST_F(PimShowTest, RpMappingsAsIpv4Prefixes)
{
    rp(vpn3, 0xe0000000, 4, 0x0a0a0a0a);
    rp(vpn3, 0xe1000000, 8, 0x0a0a0a0b);
    rp(vpn7, 0xef000000, 8, 0x0a0a0a0c);
    t_ipprefix v6{};
    ASSERT_EQ(zconfd_ip_prefix_str_to_t_ipprefix("ff0e::/16", &v6), 0);
    t_ipaddr rp6{};
    ASSERT_EQ(str_to_ip("2001:db8::1", &rp6), 1);
    t_pim_rp_db_entry *entry_p =
        pim_rp_db_find_or_create(vpn7, nullptr, PIM_RP_TYPE_AUTO_RP, &v6, &rp6);
    ASSERT_NE(entry_p, nullptr);
    entry_p->rp_addr = rp6;

    std::vector<std::string> rows =
        walk("pim-rp-mapping", {}, {"vpn-id", "rp-type", "group-prefix"});
    EXPECT_EQ(rows, (std::vector<std::string>{
                        "vpn-id=3 rp-type=0 group-prefix=224.0.0.0/4 rp-address=10.10.10.10",
                        "vpn-id=3 rp-type=0 group-prefix=225.0.0.0/8 rp-address=10.10.10.11",
                        "vpn-id=7 rp-type=0 group-prefix=239.0.0.0/8 rp-address=10.10.10.12",
                        "vpn-id=7 rp-type=0 group-prefix=ff0e::/16 rp-address=2001:db8::1"}));
    t_reply last = find("pim-rp-mapping", ZCONFD_FIND_NEXT,
                        {vpn_key(7), zconfd_val_enum(zconfd_tag("rp-type"), 0),
                         typed_key("group-prefix", "239.0.0.0/8")});
    ASSERT_EQ(last.types.size(), 4u);
    EXPECT_EQ(last.types[2], ZCONFD_VT_IPV4PREFIX)
        << "an IPv6 range still travels as an IPv4 prefix";
    EXPECT_EQ(last.types[3], ZCONFD_VT_IPV6);

    EXPECT_TRUE(get("pim-rp-mapping", {vpn_key(3), zconfd_val_enum(zconfd_tag("rp-type"), 0),
                                       typed_key("group-prefix", "225.0.0.0/8")})
                    .found);
    EXPECT_FALSE(get("pim-rp-mapping", {vpn_key(5), zconfd_val_enum(zconfd_tag("rp-type"), 0),
                                        typed_key("group-prefix", "224.0.0.0/4")})
                     .found);
    // The type alone: the first mapping of that type.
    EXPECT_EQ(key_text(find("pim-rp-mapping", ZCONFD_FIND_NEXT,
                            {vpn_key(7), zconfd_val_enum(zconfd_tag("rp-type"), 0)})
                           .text,
                       "group-prefix"),
              "239.0.0.0/8");
}

TEST_F(PimShowTest, WithoutTheDaemonOrWithAnotherWalkPosition)
{
    running_if(vpn3, "ge0/2", NET3 + 0x0205);
    EXPECT_TRUE(first("pim-interface").found);
    t_reply refused = first("pim-interface", 5);
    EXPECT_NE(refused.rc, 0) << "the daemon never hands out walk positions";
    EXPECT_FALSE(refused.found);

    // Tables nothing fills yet; nothing configured in VPN 7.
    for (const char *cp : {"multicast-replicator", "multicast-topo", "multicast-topology-oil",
                           "multicast-tunnel", "pim-neighbor", "pim-rp-mapping", "multicast-rpf"}) {
        EXPECT_FALSE(first(cp).found) << cp;
        EXPECT_FALSE(get(cp, {vpn_key(7)}).found) << cp;
    }

    opaque = nullptr;
    for (const t_zconfd_data_cbs &cbs : kemd_callpoint) {
        t_reply r = first(cbs.callpoint);
        EXPECT_EQ(r.rc, 0);
        EXPECT_FALSE(r.found) << cbs.callpoint;
    }
    EXPECT_FALSE(get("pim-interface", {vpn_key(3), name_key("ge0/2")}).found);
    EXPECT_FALSE(find("pim-statistics", ZCONFD_FIND_SAME_OR_NEXT, {vpn_key(3)}).found);
}

} // namespace
