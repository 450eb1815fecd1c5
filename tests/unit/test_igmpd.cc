// igmpd's wire decoder and its router-side state machines against the timer
// rules of RFC 2236 and RFC 3376, with time stepped by hand.
#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "tools/igmpd/igmpd_group.h"
#include "tools/igmpd/igmpd_pkt.h"

namespace
{

constexpr uint32_t G = 0xef010101;  // 239.1.1.1
constexpr uint32_t S1 = 0x0a000005; // 10.0.0.5
constexpr uint32_t S2 = 0x0a000006;
constexpr uint32_t US = 0x0a010101;   // our address
constexpr uint32_t HOST = 0x0a010120; // a host

std::vector<uint8_t> ip_packet(std::vector<uint8_t> igmp, bool fix_sum = true)
{
    if (fix_sum) {
        igmp[2] = igmp[3] = 0;
        uint16_t sum = igmp_pkt_checksum(igmp);
        igmp[2] = static_cast<uint8_t>(sum >> 8);
        igmp[3] = static_cast<uint8_t>(sum);
    }
    // Header with a Router Alert option, from 10.1.1.32 to 224.0.0.22.
    std::vector<uint8_t> p = {0x46, 0, 0, 0,  0,   0, 0, 0,  1,   IGMP_PROTO, 0, 0,
                              10,   1, 1, 32, 224, 0, 0, 22, 148, 4,          0, 0};
    p[3] = static_cast<uint8_t>(p.size() + igmp.size());
    p.insert(p.end(), igmp.begin(), igmp.end());
    return p;
}

std::vector<uint8_t> v3_report(std::vector<std::vector<uint8_t>> records)
{
    std::vector<uint8_t> m = {0x22, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(records.size())};
    for (const auto &r : records) {
        m.insert(m.end(), r.begin(), r.end());
    }
    return m;
}

std::vector<uint8_t> record(uint8_t type, std::vector<uint32_t> sources, uint8_t aux = 0)
{
    std::vector<uint8_t> r = {type, aux, 0, static_cast<uint8_t>(sources.size()), 239, 1, 1, 1};
    for (uint32_t s : sources) {
        for (int sh = 24; sh >= 0; sh -= 8) {
            r.push_back(static_cast<uint8_t>(s >> sh));
        }
    }
    r.insert(r.end(), aux * 4u, 0);
    return r;
}

e_igmp_pkt_err decode(const std::vector<uint8_t> &pkt, t_igmp_msg *out = nullptr)
{
    t_igmp_msg msg;
    e_igmp_pkt_err err = igmp_pkt_decode(pkt, msg);
    if (out != nullptr) {
        *out = msg;
    }
    return err;
}

TEST(IgmpPkt, DecodesReportsAndQueries)
{
    t_igmp_msg m;
    ASSERT_EQ(decode(ip_packet({0x16, 0, 0, 0, 239, 1, 1, 1}), &m), IGMP_PKT_OK);
    EXPECT_EQ(m.type, IGMP_TYPE_V2_REPORT);
    EXPECT_EQ(m.group, G);
    EXPECT_EQ(m.src, HOST);

    ASSERT_EQ(decode(ip_packet(v3_report(
                         {record(IGMP_REC_IS_IN, {S1, S2}, 1), record(IGMP_REC_TO_EX, {})})),
                     &m),
              IGMP_PKT_OK);
    ASSERT_EQ(m.records.size(), 2u);
    EXPECT_EQ(m.records[0].sources, (std::vector<uint32_t>{S1, S2}));
    EXPECT_EQ(m.records[1].type, IGMP_REC_TO_EX);

    std::vector<uint8_t> q = igmp_pkt_query(G, std::vector<uint32_t>{S1}, 1000, true, 2, 125);
    ASSERT_EQ(decode(ip_packet(q, false), &m), IGMP_PKT_OK);
    EXPECT_EQ(m.version, 3);
    EXPECT_EQ(m.max_resp_ms, 1000u);
    EXPECT_TRUE(m.suppress);
    EXPECT_EQ(m.qrv, 2);
    EXPECT_EQ(m.qqi_s, 125u);
    EXPECT_EQ(m.sources, std::vector<uint32_t>{S1});
    ASSERT_EQ(decode(ip_packet({0x11, 100, 0, 0, 0, 0, 0, 0}), &m), IGMP_PKT_OK);
    EXPECT_EQ(m.version, 2);
    EXPECT_EQ(m.max_resp_ms, 10000u);

    // Time codes: exact below 128, floating point above (rounded down).
    for (uint32_t v : {0u, 127u, 128u, 1000u, 3175u, 31744u}) {
        EXPECT_LE(igmp_pkt_code_decode(igmp_pkt_code_encode(v)), v);
        EXPECT_GE(igmp_pkt_code_decode(igmp_pkt_code_encode(v)) * 17, v * 16) << v;
    }
}

TEST(IgmpPkt, MalformedPacketsAreRefused)
{
    std::vector<uint8_t> good = ip_packet(v3_report({record(IGMP_REC_ALLOW, {S1})}));
    ASSERT_EQ(decode(good), IGMP_PKT_OK);
    EXPECT_EQ(decode({good.begin(), good.begin() + 19}), IGMP_PKT_SHORT);
    EXPECT_EQ(decode({good.begin(), good.begin() + 30}), IGMP_PKT_BAD_IP); // total past the end
    std::vector<uint8_t> bad = good;
    bad[9] = 103;
    EXPECT_EQ(decode(bad), IGMP_PKT_BAD_IP);
    bad = good;
    bad[0] = 0x43;
    EXPECT_EQ(decode(bad), IGMP_PKT_BAD_IP);
    bad = good;
    bad.back() ^= 1;
    EXPECT_EQ(decode(bad), IGMP_PKT_BAD_CHECKSUM);
    EXPECT_EQ(decode(ip_packet({0x22, 0, 0, 0})), IGMP_PKT_SHORT);
    // Record counts and source counts past the end, aux data past the end.
    std::vector<uint8_t> two = v3_report({record(IGMP_REC_ALLOW, {S1})});
    two[7] = 2;
    EXPECT_EQ(decode(ip_packet(two)), IGMP_PKT_BAD_RECORDS);
    std::vector<uint8_t> srcs = v3_report({record(IGMP_REC_ALLOW, {S1})});
    srcs[11] = 2;
    EXPECT_EQ(decode(ip_packet(srcs)), IGMP_PKT_BAD_RECORDS);
    std::vector<uint8_t> aux = v3_report({record(IGMP_REC_ALLOW, {S1})});
    aux[9] = 1;
    EXPECT_EQ(decode(ip_packet(aux)), IGMP_PKT_BAD_RECORDS);
    EXPECT_EQ(decode(ip_packet(v3_report({record(7, {})}))), IGMP_PKT_BAD_RECTYPE);
    EXPECT_EQ(decode(ip_packet({0x16, 0, 0, 0, 10, 1, 1, 1})), IGMP_PKT_BAD_GROUP);
    EXPECT_EQ(decode(ip_packet({0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0})), IGMP_PKT_BAD_LEN);
    EXPECT_EQ(decode(ip_packet({0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9})), IGMP_PKT_BAD_RECORDS);
    EXPECT_EQ(decode(ip_packet({0x13, 0, 0, 0, 0, 0, 0, 0})), IGMP_PKT_UNKNOWN_TYPE);
}

// What the interface sent and announced, as text: "Q g/srcs", "+g/s", "-g/s".
std::vector<std::string> g_events;

std::string octet(uint32_t v) { return std::to_string(v & 0xff); }

void rec_query(t_igmp_if *, uint32_t group, std::span<const uint32_t> sources, uint32_t,
               bool suppress)
{
    std::string e = "Q " + (group == 0 ? std::string("gen") : octet(group));
    for (uint32_t s : sources) {
        e += "/" + octet(s);
    }
    if (suppress) {
        e += " S";
    }
    g_events.push_back(e);
}

void rec_membership(t_igmp_if *, uint32_t group, uint32_t source, bool add)
{
    g_events.push_back((add ? "+" : "-") + octet(group) + "/" + octet(source));
}

const t_igmp_if_ops g_ops = {rec_query, rec_membership};

struct IgmpIfTest : ::testing::Test {
    t_igmp_if igmp;
    t_igmp_ms now = 1000;

    void SetUp() override
    {
        g_events.clear();
        igmp.ops_p = &g_ops;
        igmp_if_start(&igmp, US, now);
        tick(0);
        g_events.clear();
    }

    // Advances the clock in 100 ms ticks.
    void tick(t_igmp_ms ms)
    {
        t_igmp_ms end = now + ms;
        do {
            igmp_if_tick(&igmp, now);
            now += 100;
        } while (now <= end);
        now = end;
    }

    // The events so far; general queries only when asked for.
    std::vector<std::string> take(bool general = false)
    {
        std::vector<std::string> e;
        for (const std::string &x : g_events) {
            if (general || x != "Q gen") {
                e.push_back(x);
            }
        }
        g_events.clear();
        return e;
    }

    void v2(uint8_t type, uint32_t group = G)
    {
        t_igmp_msg m;
        m.type = type;
        m.group = group;
        m.src = HOST;
        igmp_if_rx(&igmp, m, now);
    }

    void v3(e_igmp_rec_type type, std::vector<uint32_t> sources, uint32_t group = G)
    {
        t_igmp_msg m;
        m.type = IGMP_TYPE_V3_REPORT;
        m.src = HOST;
        m.records.push_back({type, group, std::move(sources)});
        igmp_if_rx(&igmp, m, now);
    }

    void query_from(uint32_t src)
    {
        t_igmp_msg m;
        m.type = IGMP_TYPE_QUERY;
        m.src = src;
        igmp_if_rx(&igmp, m, now);
    }
};

using V = std::vector<std::string>;

TEST_F(IgmpIfTest, QuerierElection)
{
    // Startup: robustness queries a quarter interval apart, then every interval.
    igmp_if_start(&igmp, US, now);
    tick(31300);
    EXPECT_EQ(take(true), (V{"Q gen", "Q gen"}));
    tick(125000 - 100);
    EXPECT_EQ(take(true), V{});
    tick(200);
    EXPECT_EQ(take(true), V{"Q gen"});

    // A higher address does not take over; a lower one does.
    query_from(US + 1);
    EXPECT_TRUE(igmp.querier);
    query_from(US - 1);
    EXPECT_FALSE(igmp.querier);
    EXPECT_EQ(igmp.querier_addr, US - 1);
    // Other querier present interval: robustness * interval + response / 2.
    tick(2 * 125000 + 5000 - 100);
    EXPECT_EQ(take(true), V{});
    tick(200);
    EXPECT_TRUE(igmp.querier);
    EXPECT_EQ(take(true), V{"Q gen"});

    // A version 3 querier's robustness and interval are adopted while it
    // rules, and ours come back when it goes silent.
    t_igmp_msg q;
    q.type = IGMP_TYPE_QUERY;
    q.version = 3;
    q.src = US - 1;
    q.qrv = 3;
    q.qqi_s = 60;
    igmp_if_rx(&igmp, q, now);
    EXPECT_EQ(igmp.cfg.lmq_count, 3U);
    tick(3 * 60000 + 5000 - 100);
    EXPECT_FALSE(igmp.querier);
    tick(200);
    EXPECT_TRUE(igmp.querier);
    EXPECT_EQ(igmp.cfg.robustness, 2U);
    EXPECT_EQ(igmp.cfg.query_interval_ms, 125000U);
}

TEST_F(IgmpIfTest, V2JoinLeaveAndExpiry)
{
    v2(IGMP_TYPE_V2_REPORT);
    v2(IGMP_TYPE_V2_REPORT, 0xe00000fb); // link-local groups are not tracked
    EXPECT_EQ(take(), V{"+1/0"});
    EXPECT_EQ(igmp_group_compat(igmp.groups.at(G), now), 2);

    // Leave: last-member-query-count queries a last-member-query interval apart,
    // then the membership goes after the last member query time.
    v2(IGMP_TYPE_V2_LEAVE);
    EXPECT_EQ(take(), V{"Q 1"});
    tick(1000);
    EXPECT_EQ(take(), V{"Q 1"});
    tick(1000);
    EXPECT_EQ(take(), V{"-1/0"});
    EXPECT_TRUE(igmp.groups.empty());

    // A report after the leave keeps the group; the retransmission then tells
    // other routers not to lower their timers.
    v2(IGMP_TYPE_V2_REPORT);
    v2(IGMP_TYPE_V2_LEAVE);
    tick(500);
    v2(IGMP_TYPE_V2_REPORT);
    tick(3000);
    EXPECT_EQ(take(), (V{"+1/0", "Q 1", "Q 1 S"}));

    // Without reports the group lasts the group membership interval.
    tick(2 * 125000 + 10000 - 3000 - 200);
    take();
    EXPECT_FALSE(igmp.groups.empty());
    tick(300);
    EXPECT_EQ(take(), V{"-1/0"});

    // Only the querier sends specific queries; a non-querier lowers its timer
    // on the querier's group-specific query.
    v2(IGMP_TYPE_V2_REPORT);
    query_from(US - 1);
    v2(IGMP_TYPE_V2_LEAVE);
    t_igmp_msg q;
    q.type = IGMP_TYPE_QUERY;
    q.src = US - 1;
    q.group = G;
    q.suppress = true;
    igmp_if_rx(&igmp, q, now);
    tick(2100);
    EXPECT_EQ(take(), V{"+1/0"});
    q.suppress = false;
    igmp_if_rx(&igmp, q, now);
    tick(2100);
    EXPECT_EQ(take(), V{"-1/0"});
}

TEST_F(IgmpIfTest, V3SourceFiltering)
{
    // INCLUDE: one (S,G) per source.
    v3(IGMP_REC_IS_IN, {S1, S2});
    EXPECT_EQ(take(), (V{"+1/5", "+1/6"}));
    // BLOCK: queried, and gone after the last member query time.
    v3(IGMP_REC_BLOCK, {S1});
    EXPECT_EQ(take(), V{"Q 1/5"});
    tick(2000);
    EXPECT_EQ(take(), (V{"Q 1/5", "-1/5"}));
    // Sources refreshed since the query are retransmitted apart, with the S flag.
    v3(IGMP_REC_IS_IN, {S1});
    v3(IGMP_REC_BLOCK, {S1, S2});
    v3(IGMP_REC_ALLOW, {S2});
    tick(1000);
    EXPECT_EQ(take(), (V{"+1/5", "Q 1/5/6", "Q 1/6 S", "Q 1/5"}));
    tick(1000);
    EXPECT_EQ(take(), V{"-1/5"});
    // TO_EX: the group turns into (*,G).
    v3(IGMP_REC_TO_EX, {S2});
    EXPECT_TRUE(igmp.groups.at(G).exclude);
    EXPECT_EQ(take(), (V{"Q 1/6", "-1/6", "+1/0"}));
    // TO_IN in EXCLUDE mode: group query; the group timer runs out first and
    // the sources still wanted stay as (S,G).
    v3(IGMP_REC_TO_IN, {S1});
    EXPECT_EQ(take(), (V{"Q 1/6", "Q 1"}));
    tick(2100);
    EXPECT_FALSE(igmp.groups.at(G).exclude);
    auto e = take();
    EXPECT_NE(std::find(e.begin(), e.end(), "-1/0"), e.end());
    EXPECT_NE(std::find(e.begin(), e.end(), "+1/5"), e.end());
    // An empty INCLUDE list ends the group.
    v3(IGMP_REC_TO_IN, {});
    tick(2100);
    EXPECT_EQ(take().back(), "-1/5");
    EXPECT_TRUE(igmp.groups.empty());
}

TEST_F(IgmpIfTest, OlderHostPresentMode)
{
    // A version 2 host: blocks are ignored and TO_EX loses its sources.
    v2(IGMP_TYPE_V2_REPORT);
    v3(IGMP_REC_TO_EX, {S1});
    EXPECT_TRUE(igmp.groups.at(G).sources.empty());
    v3(IGMP_REC_BLOCK, {S2});
    EXPECT_TRUE(igmp.groups.at(G).sources.empty());
    EXPECT_EQ(take(), V{"+1/0"});
    // A version 1 host: leaves are ignored.
    v2(IGMP_TYPE_V1_REPORT);
    v2(IGMP_TYPE_V2_LEAVE);
    tick(3000);
    EXPECT_EQ(take(), V{});
    EXPECT_EQ(igmp_group_compat(igmp.groups.at(G), now), 1);
    // The older host present interval passes with version 3 reports only.
    for (int i = 0; i < 3; i++) {
        tick(125000);
        v3(IGMP_REC_IS_EX, {});
    }
    EXPECT_EQ(igmp_group_compat(igmp.groups.at(G), now), 3);
    v3(IGMP_REC_BLOCK, {S2});
    EXPECT_EQ(igmp.groups.at(G).sources.count(S2), 1u);
}

} // namespace
