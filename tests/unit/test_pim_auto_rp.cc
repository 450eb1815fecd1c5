// Auto-RP: the decoder on hand-built datagrams, and the daemon side (entries,
// hold timers, cached datagrams, flood lists, the RP table) driven through the
// receive path with a hand-driven clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/pim_auto_rp.h"
#include "daemon/pim_auto_rp_codec.h"
#include "tests/sim/sim_syslog.h"
#include "tests/unit/pim_test_env.h"

namespace
{

using t_bytes = std::vector<uint8_t>;

void put16(t_bytes &b, uint16_t v)
{
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

void put32(t_bytes &b, uint32_t v)
{
    put16(b, static_cast<uint16_t>(v >> 16));
    put16(b, static_cast<uint16_t>(v));
}

uint32_t ip(const char *text) { return pim_test_ip(text).u.addr4; }

// RP entries: each RP with its (mask length, prefix) groups; a negative
// range has its flag set.
struct t_rp {
    const char *rp;
    std::vector<std::pair<uint8_t, const char *>> groups;
    bool negative = false;
};

t_bytes rp_entries(const std::vector<t_rp> &rps)
{
    t_bytes b;
    for (const t_rp &r : rps) {
        put32(b, ip(r.rp));
        b.push_back(0x02); // PIM version 2
        b.push_back(static_cast<uint8_t>(r.groups.size()));
        for (const auto &[len, prefix] : r.groups) {
            b.push_back(r.negative ? 0x01 : 0x00);
            b.push_back(len);
            put32(b, ip(prefix));
        }
    }
    return b;
}

// A datagram as a raw UDP socket hands it over: IP header, UDP header,
// Auto-RP header and body. rp_count says what the header claims.
t_bytes datagram(const char *src, const char *dst, uint8_t type, uint8_t rp_count,
                 uint16_t holdtime, const t_bytes &body, size_t cut = 0)
{
    t_bytes payload = {static_cast<uint8_t>(0x10 | type), rp_count};
    put16(payload, holdtime);
    put32(payload, 0);
    payload.insert(payload.end(), body.begin(), body.end());
    payload.resize(payload.size() - cut);
    t_bytes d = {0x45, 0x00};
    put16(d, static_cast<uint16_t>(20 + 8 + payload.size()));
    put32(d, 0);     // id, fragment
    d.push_back(16); // TTL
    d.push_back(17); // UDP
    put16(d, 0);     // checksum
    put32(d, ip(src));
    put32(d, ip(dst));
    put16(d, 496); // ports
    put16(d, 496);
    put16(d, static_cast<uint16_t>(8 + payload.size()));
    put16(d, 0);
    d.insert(d.end(), payload.begin(), payload.end());
    return d;
}

t_bytes mapping(const char *agent, const std::vector<t_rp> &rps, uint16_t holdtime = 181)
{
    return datagram(agent, "224.0.1.40", 2, static_cast<uint8_t>(rps.size()), holdtime,
                    rp_entries(rps));
}

TEST(AutoRpCodec, MappingBytesAndItsPairs)
{
    t_bytes d = mapping("10.1.1.1", {{"10.9.9.1", {{4, "224.0.0.0"}, {16, "239.1.0.0"}}},
                                     {"10.9.9.2", {{8, "232.0.0.0"}}, true}});
    // The wire form, byte for byte, behind the IP and UDP headers.
    const t_bytes want = {0x12, 2, 0x00, 0xb5, 0, 0, 0, 0, // type 2, 2 RPs, 181 s
                          10,   9, 9,    1,    2, 2,       // RP 1, 2 groups
                          0,    4, 224,  0,    0, 0, 0, 16, 239,
                          1,    0, 0,    10,   9, 9, 2, 2,  1, // RP 2, 1 group
                          1,    8, 232,  0,    0, 0};
    EXPECT_EQ(t_bytes(d.begin() + 28, d.end()), want);

    t_pim_auto_rp_msg msg;
    ASSERT_EQ(pim_auto_rp_parse(d, msg), PIM_AUTO_RP_OK);
    EXPECT_EQ(msg.type, PIM_AUTO_RP_TYPE_MAPPING);
    EXPECT_EQ(msg.rp_count, 2);
    EXPECT_EQ(msg.holdtime, 181);
    EXPECT_EQ(msg.total_len, d.size());
    EXPECT_STREQ(ipaddr_str(&msg.src).c, "10.1.1.1");
    std::vector<std::string> pairs;
    ASSERT_TRUE(pim_auto_rp_walk(msg.rp_entries, msg.rp_count, [&](const t_pim_auto_rp_pair &p) {
        char buf[IPADDR_STR_LEN];
        pairs.push_back(std::string(ipaddr_str(&p.rp).c) + ">" +
                        ipprefix_print(&p.range, buf, sizeof(buf)));
    }));
    EXPECT_EQ(pairs, (std::vector<std::string>{"10.9.9.1>224.0.0.0/4", "10.9.9.1>239.1.0.0/16",
                                               "10.9.9.2>232.0.0.0/8"}));

    // Trailing bytes past the counted entries and IP padding are left alone;
    // an announcement's body is not walked.
    t_bytes padded = d;
    padded.insert(padded.end(), {0xde, 0xad});
    EXPECT_EQ(pim_auto_rp_parse(padded, msg), PIM_AUTO_RP_OK);
    EXPECT_EQ(msg.total_len, d.size());
    t_bytes ann = datagram("10.9.9.1", "224.0.1.39", 1, 200, 60, {});
    EXPECT_EQ(pim_auto_rp_parse(ann, msg), PIM_AUTO_RP_OK);
    EXPECT_EQ(msg.type, PIM_AUTO_RP_TYPE_ANNOUNCE);
}

// A VPN with three LANs running PIM: the mapping agent 10.1.1.100 is a
// neighbor on ge1, a router 10.2.2.100 on ge2, nobody on ge3.
struct AutoRpTest : PimRoutingTest {
    t_pim_if *ge1 = nullptr;
    t_pim_if *ge2 = nullptr;
    t_pim_if *ge3 = nullptr;

    void SetUp() override
    {
        PimRoutingTest::SetUp();
        ge1 = running_if("ge1", 0x0A010101, 24);
        ge2 = running_if("ge2", 0x0A020202, 24);
        ge3 = running_if("ge3", 0x0A030303, 24);
        add_nbrs(ge1, 1);
        add_nbrs(ge2, 1);
        vpn_p->auto_rp_enabled = true;
    }

    void TearDown() override
    {
        kemd_sim::g_sim_syslog_capture = false;
        PimRoutingTest::TearDown();
    }

    e_pim_status rx(const t_bytes &d, t_pim_if *if_p = nullptr)
    {
        return pim_pkt_auto_rp_decode(vpn_p, if_p != nullptr ? if_p : ge1, d.data(), d.size());
    }

    // The sender's route: directly on if_p (gw 0.0.0.0) or through gw.
    void route(const char *addr, t_pim_if *if_p, const char *gw = "0.0.0.0")
    {
        t_ipaddr a = pim_test_ip(addr);
        t_pim_next_hop *nh = pim_nhres_find(vpn_p, &a, nullptr);
        ASSERT_NE(nh, nullptr) << addr;
        nh->num_nh = 0;
        pim_test_service_nh(nh, gw, if_p);
        pim_nhres_update_addr(vpn_p, &a);
    }

    t_pim_minfo *agent_entry(const char *agent = "10.1.1.100", const char *group = "224.0.1.40")
    {
        return entry(PIM_TYPE_AUTO_RP, group, agent);
    }

    std::string table()
    {
        std::string out;
        for (auto *e = avl_first<t_pim_rp_db_entry>(&vpn_p->rp_db); e != nullptr;
             e = avl_next(&vpn_p->rp_db, e)) {
            char buf[IPADDR_STR_LEN];
            out += std::string(ipprefix_print(&e->grp_prefix, buf, sizeof(buf))) + ">" +
                   ipaddr_str(&e->rp_addr).c + ";";
        }
        return out;
    }

    // Reject lines share a per-second budget with the rest of the process:
    // capturing starts in a fresh second.
    static void capture()
    {
        timespec t0{};
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t0);
        do {
            clock_gettime(CLOCK_MONOTONIC, &t);
        } while (t.tv_sec == t0.tv_sec);
        kemd_sim::g_sim_syslog.clear();
        kemd_sim::g_sim_syslog_capture = true;
    }
};

TEST_F(AutoRpTest, EachFaultHasItsCounterAndLine)
{
    const t_pim_pkt_stats_rx &st = vpn_p->stats.pkt_stats_rx;
    vpn_p->pim_debug.auto_rp = true; // for the misaddressed datagram's line
    vpn_p->pim_debug.auto_rp_level = PIM_DEBUG_LEVEL_DETAIL;
    capture();
    struct t_case {
        t_bytes dgram;
        const char *line;
    };
    t_bytes good = mapping("10.1.1.100", {{"10.9.9.1", {{4, "224.0.0.0"}, {8, "239.0.0.0"}}}});
    t_bytes v6 = good;
    v6[0] = 0x65;
    t_bytes cut(good.begin(), good.end() - 1); // total length past the bytes read
    t_bytes long_hdr = good;                   // header longer than the total length
    long_hdr[0] = 0x4f;
    long_hdr[3] = 40;
    long_hdr.resize(40);
    t_bytes no_udp(good.begin(), good.begin() + 24); // UDP header cut: payload -4
    no_udp[3] = 24;
    t_bytes groups = good;
    groups[28 + 8 + 5] = 255; // the RP's group count
    const t_case bad[] = {
        // IP header.
        {t_bytes(10, 0x45), "Received Auto-RP datagram with a bad IP header, length: 10"},
        {v6, "with a bad IP header, length: 54"},
        {cut, "with a bad IP header, length: 53"},
        {long_hdr, "with a bad IP header, length: 40"},
        // Not to an Auto-RP group.
        {datagram("10.1.1.100", "10.1.1.1", 2, 0, 10, {}),
         "Received invalid Auto-RP packet (Dest: 10.1.1.1)"},
        // Short payloads.
        {datagram("10.1.1.100", "224.0.1.40", 2, 0, 10, {}, 5),
         "PIM packet too small, received length: 3, expected length 4"},
        {no_udp, "PIM packet too small, received length: -4, expected length 4"},
        // Wrong group for the type.
        {datagram("10.1.1.100", "224.0.1.39", 2, 0, 10, {}),
         "Received invalid Auto-RP packet (10.1.1.100, 224.0.1.39) Type:2"},
        {datagram("10.1.1.100", "224.0.1.40", 1, 0, 10, {}),
         "Received invalid Auto-RP packet (10.1.1.100, 224.0.1.40) Type:1"},
        // Counts past the datagram's end: RPs, groups, RPs without a body.
        {datagram("10.1.1.100", "224.0.1.40", 2, 3, 10, rp_entries({{"10.9.9.1", {}}})),
         "Auto-RP mapping from 10.1.1.100 refused: 3 RP entries run past its end"},
        {groups, "refused: 1 RP entries run past its end (payload length 26)"},
        {datagram("10.1.1.100", "224.0.1.40", 2, 255, 10, {}),
         "refused: 255 RP entries run past its end (payload length 8)"},
    };
    uint32_t n = 0;
    for (const t_case &c : bad) {
        EXPECT_EQ(rx(c.dgram), PIM_STATUS_BAD_MSG) << c.line;
        EXPECT_EQ(st.bad_pkts, ++n) << c.line;
        EXPECT_TRUE(kemd_sim::sim_syslog_has(c.line)) << c.line;
    }
    EXPECT_EQ(ge1->stats.pkt_stats_rx.bad_pkts, n);
    EXPECT_EQ(rx(datagram("10.1.1.100", "224.0.1.40", 7, 0, 10, {})), PIM_STATUS_OK);
    EXPECT_TRUE(kemd_sim::sim_syslog_has("Ignore unknown PIM auto-rp packet of type 7"));
    EXPECT_EQ(st.auto_rp_unknown_pkts, 1u);
    EXPECT_EQ(st.bad_pkts, n);
    EXPECT_EQ(st.auto_rp_mapping_pkts + st.auto_rp_announce_pkts, 0u);
    EXPECT_EQ(avl_numnodes(&vpn_p->minfo_db), 0u) << "nothing refused leaves an entry";
}

TEST_F(AutoRpTest, MappingAgentEntryTableAndExpiry)
{
    t_ipaddr rp2 = pim_test_ip("10.7.7.7");
    t_ipprefix all{};
    all.addr = pim_test_ip("224.0.0.0");
    all.prefixlen = 4;
    pim_vpn_config_update_rp(daemon_p, vpn_p, &rp2, &all);

    t_bytes first = mapping("10.1.1.100", {{"10.9.9.1", {{8, "239.0.0.0"}}}}, 181);
    ASSERT_EQ(rx(first), PIM_STATUS_OK);
    EXPECT_EQ(vpn_p->stats.pkt_stats_rx.auto_rp_mapping_pkts, 1u);
    t_pim_minfo *m = agent_entry();
    ASSERT_NE(m, nullptr);
    // No route to the agent yet: waiting, with the datagram kept.
    EXPECT_EQ(m->upstream_state, PIM_UPSTREAM_NOT_JOINED);
    ASSERT_NE(m->auto_rp_pkt_cache, nullptr);
    EXPECT_EQ(t_bytes(m->auto_rp_pkt_cache, m->auto_rp_pkt_cache + m->auto_rp_pkt_len), first);
    EXPECT_EQ(table(), "239.0.0.0/8>10.9.9.1;224.0.0.0/4>10.7.7.7;");

    // The route comes: the agent is the RPF neighbor on ge1, the flood list
    // is every other up interface.
    route("10.1.1.100", ge1);
    EXPECT_EQ(m->upstream_state, PIM_UPSTREAM_JOINED);
    EXPECT_EQ(m->rpf_nbr_if, ge1->if_index);
    EXPECT_STREQ(ipaddr_str(&m->rpf_nbr_addr).c, "10.1.1.100");
    EXPECT_FALSE(pim_minfo_ilist_test(m->inherited_olist_p, ge1->if_index));
    EXPECT_TRUE(pim_minfo_ilist_test(m->inherited_olist_p, ge2->if_index));
    EXPECT_TRUE(pim_minfo_ilist_test(m->inherited_olist_p, ge3->if_index));
    EXPECT_NE(m->minfo_flags & PIM_MINFO_FLAG_FTM, 0u);

    // A joined entry keeps no copy of later mappings; each one replaces the
    // learned table and restarts the hold timer.
    advance(5); // the packet timer re-sends the first one (no sockets here: counted as failed)
    EXPECT_EQ(m->auto_rp_pkt_cache, nullptr);
    EXPECT_EQ(vpn_p->stats.pkt_stats_tx.auto_rp_failed_pkts, 2u);
    advance(100);
    ASSERT_EQ(rx(mapping("10.1.1.100", {{"10.9.9.2", {{16, "239.1.0.0"}, {4, "224.0.0.0"}}}}, 181)),
              PIM_STATUS_OK);
    EXPECT_EQ(agent_entry(), m);
    EXPECT_EQ(m->auto_rp_pkt_cache, nullptr);
    EXPECT_EQ(table(), "224.0.0.0/4>10.9.9.2;239.1.0.0/16>10.9.9.2;224.0.0.0/4>10.7.7.7;");
    t_ipaddr g = pim_test_ip("239.1.2.3");
    t_ipaddr rp{};
    ASSERT_NE(pim_rp_db_find_rp_for_group(vpn_p, &g, &rp), nullptr);
    EXPECT_STREQ(ipaddr_str(&rp).c, "10.9.9.2");

    // 181 s after the last mapping the agent and its mappings are gone; the
    // static RP stays.
    advance(180);
    EXPECT_EQ(agent_entry(), m);
    advance(2);
    EXPECT_EQ(agent_entry(), nullptr);
    EXPECT_EQ(table(), "224.0.0.0/4>10.7.7.7;");
}

TEST_F(AutoRpTest, FloodListsFollowInterfacesAndOverlayRules)
{
    ASSERT_EQ(rx(datagram("10.9.9.1", "224.0.1.39", 1, 1, 60, rp_entries({{"10.9.9.1", {}}})), ge2),
              PIM_STATUS_OK);
    ASSERT_EQ(rx(mapping("10.1.1.100", {})), PIM_STATUS_OK);
    route("10.1.1.100", ge1);
    route("10.9.9.1", ge2, "10.2.2.100");
    EXPECT_EQ(vpn_p->stats.pkt_stats_rx.auto_rp_announce_pkts, 1u);
    t_pim_minfo *ann = agent_entry("10.9.9.1", "224.0.1.39");
    t_pim_minfo *map = agent_entry();
    ASSERT_NE(ann, nullptr);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(ann->rpf_nbr_if, ge2->if_index);
    EXPECT_TRUE(pim_minfo_ilist_test(ann->inherited_olist_p, ge1->if_index));

    // ge3 leaves and comes back; IGMP interfaces never flood.
    pim_auto_rp_update_minfo_if_all(vpn_p, ge3, false);
    EXPECT_FALSE(pim_minfo_ilist_test(map->inherited_olist_p, ge3->if_index));
    EXPECT_FALSE(pim_minfo_ilist_test(ann->inherited_olist_p, ge3->if_index));
    pim_auto_rp_update_minfo_if_all(vpn_p, ge3, true);
    EXPECT_TRUE(pim_minfo_ilist_test(map->inherited_olist_p, ge3->if_index));
    t_pim_if *igmp = igmp_if("ge9", 99);
    igmp->oper_state = PIM_IF_STATE_UP;
    avl_add(&vpn_p->pim_if_db, igmp);
    pim_auto_rp_update_minfo(map);
    EXPECT_FALSE(pim_minfo_ilist_test(map->inherited_olist_p, igmp->if_index));
    avl_remove(&vpn_p->pim_if_db, igmp);

    // The RPF interface going down takes the entry (and its mappings) away.
    pim_auto_rp_update_minfo_if_all(vpn_p, ge1, false);
    EXPECT_EQ(agent_entry(), nullptr);
    EXPECT_NE(agent_entry("10.9.9.1", "224.0.1.39"), nullptr);

    // A route change moves the RPF neighbor and the flood list with it.
    add_nbrs(ge3, 1);
    route("10.9.9.1", ge3, "10.3.3.100");
    EXPECT_EQ(ann->rpf_nbr_if, ge3->if_index);
    EXPECT_TRUE(pim_minfo_ilist_test(ann->inherited_olist_p, ge2->if_index));
    EXPECT_FALSE(pim_minfo_ilist_test(ann->inherited_olist_p, ge3->if_index));

    // Disabling forgets every entry.
    pim_auto_rp_disable(vpn_p);
    EXPECT_FALSE(vpn_p->auto_rp_enabled);
    EXPECT_EQ(avl_numnodes(&vpn_p->minfo_db), 0u);
}

} // namespace
