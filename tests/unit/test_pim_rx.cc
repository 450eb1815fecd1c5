// The receive path: validation order, counters per drop reason, dispatch to
// the neighbor layer, and Join/Prune and Assert acceptance rules.
#include <vector>

#include "daemon/pim_minfo.h"
#include "daemon/pim_nhres.h"
#include "daemon/pim_rp_db.h"
#include "tests/unit/pim_test_env.h"

namespace
{

constexpr uint32_t OWN = 0x0a000005;
constexpr uint32_t PEER = 0x0a000001;

using t_bytes = std::vector<uint8_t>;

// An IPv4 datagram as the raw socket hands it over.
t_bytes datagram(uint32_t src, const t_bytes &pim, uint8_t ihl = 5)
{
    // Sized once (g++ 12 -O2 misreads a growing insert as out of bounds).
    t_bytes d(size_t{ihl} * 4 + pim.size(), 0);
    size_t total = d.size();
    d[0] = static_cast<uint8_t>(0x40 | ihl);
    d[2] = static_cast<uint8_t>(total >> 8);
    d[3] = static_cast<uint8_t>(total);
    d[8] = 1;
    d[9] = PIM_IP_PROTO;
    for (int i = 0; i < 4; i++) {
        d[12 + i] = static_cast<uint8_t>(src >> (24 - 8 * i));
        d[16 + i] = static_cast<uint8_t>(PIM_ALL_ROUTERS >> (24 - 8 * i));
    }
    std::copy(pim.begin(), pim.end(), d.end() - static_cast<std::ptrdiff_t>(pim.size()));
    return d;
}

t_bytes hello_msg(uint16_t holdtime, uint32_t prio, uint32_t genid)
{
    t_pim_hello h{};
    h.holdtime = holdtime;
    h.prop_delay = 500;
    h.override_int = 2500;
    h.dr_priority = prio;
    h.gen_id = genid;
    t_bytes m(PIM_HELLO_LEN);
    EXPECT_EQ(pim_pkt_hello_build(m, h), PIM_HELLO_LEN);
    return m;
}

t_bytes jp_msg(uint32_t upstream, uint32_t group, const std::vector<t_pim_jp_src> &joins,
               const std::vector<t_pim_jp_src> &prunes = {})
{
    t_ipaddr up{};
    IPADDR_SET_V4(&up, upstream);
    t_pim_jp_group_tx g{};
    IPADDR_SET_V4(&g.group, group);
    g.joins = joins;
    g.prunes = prunes;
    t_pim_jp_tx jp{up, 210, {&g, 1}};
    t_bytes m(PIM_PKT_BUF_LEN);
    t_pim_jp_cursor cur{};
    m.resize(pim_pkt_jp_build(m, jp, cur));
    return m;
}

// One message of several group records: (group, joins, prunes) each.
struct t_grp {
    uint32_t group;
    std::vector<t_pim_jp_src> joins;
    std::vector<t_pim_jp_src> prunes;
};

t_bytes jp_msg_groups(uint32_t upstream, const std::vector<t_grp> &grps)
{
    std::vector<t_pim_jp_group_tx> g;
    for (const t_grp &x : grps) {
        t_pim_jp_group_tx rec{};
        IPADDR_SET_V4(&rec.group, x.group);
        rec.joins = x.joins;
        rec.prunes = x.prunes;
        g.push_back(rec);
    }
    t_ipaddr up{};
    IPADDR_SET_V4(&up, upstream);
    t_pim_jp_tx jp{up, 210, g};
    t_bytes m(PIM_PKT_BUF_LEN);
    t_pim_jp_cursor cur{};
    m.resize(pim_pkt_jp_build(m, jp, cur));
    EXPECT_EQ(pim_pkt_jp_build(m, jp, cur), 0u) << "one message";
    return m;
}

struct PimRxTest : PimEnvTest {
    t_pim_if *if_p = nullptr;

    void SetUp() override
    {
        PimEnvTest::SetUp();
        if_p = running_if("ge0/1", OWN, 24);
    }

    e_pim_status rx(const t_bytes &d) { return pim_pkt_decode(daemon_p, if_p, d.data(), d.size()); }
    const t_pim_pkt_stats_rx &st() const { return if_p->stats.pkt_stats_rx; }

    t_pim_jp_src src(uint32_t a, uint8_t flags) { return t_pim_jp_src{v4(a), flags}; }
};

TEST_F(PimRxTest, HelloReachesTheNeighborLayerAndIsCountedEverywhere)
{
    ASSERT_EQ(rx(datagram(PEER, hello_msg(105, 7, 99))), PIM_STATUS_OK);
    t_ipaddr peer = v4(PEER);
    t_pim_nbr *n = pim_nbr_find(if_p, &peer, nullptr);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->hold_time, 105000u);
    EXPECT_EQ(n->dr_priority, 7u);
    EXPECT_EQ(n->gen_id, 99u);
    EXPECT_EQ(n->override_interval, 2500);
    EXPECT_EQ(st().hello_pkts, 1u);
    EXPECT_EQ(vpn_p->stats.pkt_stats_rx.hello_pkts, 1u);
    EXPECT_EQ(daemon_p->stats.pkt_stats_rx.hello_pkts, 1u);

    // Holdtime 0xFFFF is handed on as "never".
    ASSERT_EQ(rx(datagram(PEER, hello_msg(0xFFFF, 7, 99))), PIM_STATUS_OK);
    EXPECT_EQ(n->hold_time, PIM_NBR_HOLDTIME_FOREVER_MS);
    EXPECT_FALSE(timer_is_active(n->hold_timer));

    // An IP header with options: the PIM message starts after them.
    ASSERT_EQ(rx(datagram(PEER, hello_msg(105, 8, 99), 6)), PIM_STATUS_OK);
    EXPECT_EQ(n->dr_priority, 8u);
    EXPECT_EQ(st().bad_pkts, 0u);
}

TEST_F(PimRxTest, EachDropReasonHasItsCounterAndChangesNothing)
{
    t_bytes bad_sum = hello_msg(105, 1, 1);
    bad_sum[10] ^= 0xFF;
    t_bytes v3 = hello_msg(105, 1, 1);
    v3[0] = 0x30;
    t_bytes overrun = hello_msg(105, 1, 1);
    overrun.resize(overrun.size() - 2);
    pim_pkt_finish(overrun);

    EXPECT_EQ(rx(datagram(PEER, {0x20, 0, 0})), PIM_STATUS_BAD_MSG);
    EXPECT_EQ(rx(datagram(PEER, bad_sum)), PIM_STATUS_BAD_MSG);
    EXPECT_EQ(rx(datagram(PEER, v3)), PIM_STATUS_BAD_MSG);
    EXPECT_EQ(rx(datagram(PEER, overrun)), PIM_STATUS_BAD_MSG);
    t_bytes cut = datagram(PEER, hello_msg(105, 1, 1));
    cut.resize(30); // total length claims more than was read
    EXPECT_EQ(rx(cut), PIM_STATUS_BAD_MSG);
    EXPECT_EQ(st().bad_pkts, 5u);
    EXPECT_EQ(st().hello_pkts, 1u) << "only the overrun Hello got as far as its parser";

    EXPECT_EQ(rx(datagram(0x0b000001, hello_msg(105, 1, 1))), PIM_STATUS_BAD_MSG);
    EXPECT_EQ(st().wrong_subnet_pkts, 1u);
    EXPECT_EQ(st().bad_pkts, 5u) << "a wrong subnet is not a bad packet";

    EXPECT_EQ(rx(datagram(PEER, {0x24, 0, 0xdb, 0xff})), PIM_STATUS_OK); // Bootstrap
    EXPECT_EQ(st().unsupported_pkts, 1u);
    EXPECT_EQ(rx(datagram(PEER, {0x2c, 0, 0xd3, 0xff})), PIM_STATUS_OK); // type 12
    EXPECT_EQ(st().unknown_pkts, 1u);
    EXPECT_EQ(st().bad_pkts, 5u);
    EXPECT_EQ(avl_numnodes(&if_p->nbr_db), 0u);
}

TEST_F(PimRxTest, JoinPruneNeedsANeighborAndMustBeForUs)
{
    t_bytes join = jp_msg(OWN, 0xe1010101, {src(0x0a000063, PIM_SRC_FLAG_S)});
    EXPECT_EQ(rx(datagram(PEER, join)), PIM_STATUS_NO_NBR) << "no Hello yet";
    EXPECT_EQ(st().bad_pkts, 1u);
    EXPECT_EQ(st().jp_pkts, 1u);

    ASSERT_EQ(rx(datagram(PEER, hello_msg(105, 1, 1))), PIM_STATUS_OK);
    EXPECT_EQ(rx(datagram(PEER, join)), PIM_STATUS_OK);
    // On a shared LAN the Join/Prunes to other routers reach us: counted
    // apart, neither bad nor acted on.
    t_bytes other = jp_msg(0x0a000009, 0xe1010101, {src(0x0a000063, PIM_SRC_FLAG_S)});
    EXPECT_EQ(rx(datagram(PEER, other)), PIM_STATUS_OK) << "for another router";
    EXPECT_EQ(st().jp_not_for_us_pkts, 1u);
    EXPECT_EQ(vpn_p->stats.pkt_stats_rx.jp_not_for_us_pkts, 1u);
    EXPECT_EQ(st().bad_pkts, 1u);
    // Auto-RP groups are parsed but not acted on, whoever they are for.
    t_bytes autorp = jp_msg(0x0a000009, 0xe0000127, {src(0x0a000063, PIM_SRC_FLAG_S)});
    EXPECT_EQ(rx(datagram(PEER, autorp)), PIM_STATUS_OK);

    // A (*,G) Join followed by an (S,G,rpt) Join in one record.
    const uint8_t wc = PIM_SRC_FLAG_S | PIM_SRC_FLAG_W | PIM_SRC_FLAG_R;
    const uint8_t rpt = PIM_SRC_FLAG_S | PIM_SRC_FLAG_R;
    t_bytes xg = jp_msg(OWN, 0xe1010101, {src(0x0a0000fe, wc), src(0x0a000063, rpt)});
    EXPECT_EQ(rx(datagram(PEER, xg)), PIM_STATUS_OK);
    EXPECT_EQ(st().xg_sgrpt_pkts, 1u);
    EXPECT_TRUE(if_p->xg_join);
    t_bytes sgrpt_only = jp_msg(OWN, 0xe1010101, {src(0x0a000063, rpt)});
    EXPECT_EQ(rx(datagram(PEER, sgrpt_only)), PIM_STATUS_OK);
    EXPECT_EQ(st().xg_sgrpt_pkts, 1u);
    EXPECT_FALSE(if_p->xg_join);

    // The largest message we build (a (*,G) Join with all the prunes a record
    // may carry, fragmented on the wire) is accepted whole.
    std::vector<t_pim_jp_src> prunes;
    for (uint32_t i = 0; i < PIM_JP_MAX_SRCS; i++) {
        prunes.push_back(src(0x0b000000 + i, rpt));
    }
    t_bytes largest = jp_msg(OWN, 0xe1010101, {src(0x0a0000fe, wc)}, prunes);
    ASSERT_GT(largest.size(), PIM_PKT_TX_MAX);
    EXPECT_EQ(rx(datagram(PEER, largest)), PIM_STATUS_OK);
    EXPECT_EQ(st().bad_pkts, 1u);
    EXPECT_EQ(st().jp_pkts, 7u);
}

TEST_F(PimRxTest, RecordsWithRefusedAddressesAreCountedOneByOne)
{
    ASSERT_EQ(rx(datagram(PEER, hello_msg(105, 1, 1))), PIM_STATUS_OK);
    const t_pim_jp_src s = src(0x0a000063, PIM_SRC_FLAG_S);
    t_bytes two = jp_msg_groups(OWN, {{0x0a010101, {s}, {}}, {0xe1010101, {s}, {}}});
    EXPECT_EQ(rx(datagram(PEER, two)), PIM_STATUS_OK) << "the good record still counts";
    EXPECT_EQ(st().bad_addr_records, 1u);
    EXPECT_EQ(st().bad_pkts, 0u);
    t_bytes reg = {0x21, 0x00, 0xde, 0xff, 0x00, 0x00, 0x00, 0x00, 0x45, 0x00}; // header-only sum
    EXPECT_EQ(rx(datagram(PEER, reg)), PIM_STATUS_OK);
    EXPECT_EQ(st().unsupported_pkts, 1u) << "a Register here is unsupported, not bad";
    EXPECT_EQ(st().bad_pkts, 0u);
    // A group family we cannot size: refused alone as the last record (it
    // runs to the end of the message), the end of the message before another.
    const t_bytes good = jp_msg_groups(OWN, {{0xe1010101, {s}, {}}, {0xe1010102, {s}, {}}});
    const size_t second_group = 4 + 6 + 4 + 8 + 4 + 8;
    t_bytes last = good;
    last[second_group] = 3;
    pim_pkt_finish(last);
    EXPECT_EQ(rx(datagram(PEER, last)), PIM_STATUS_OK);
    EXPECT_EQ(st().bad_addr_records, 2u);
    EXPECT_EQ(st().bad_pkts, 0u);
    t_bytes first = good;
    first[4 + 6 + 4] = 3;
    pim_pkt_finish(first);
    EXPECT_EQ(rx(datagram(PEER, first)), PIM_STATUS_BAD_MSG);
    EXPECT_EQ(st().bad_addr_records, 2u);
    EXPECT_EQ(st().bad_pkts, 1u);
}

// With routing state: the unit protocol runs once per message.
struct PimRxStateTest : PimRxTest {
    void SetUp() override
    {
        PimRxTest::SetUp();
        ASSERT_EQ(pim_minfo_init(vpn_p), PIM_STATUS_OK);
        ASSERT_EQ(pim_nhres_db_init(vpn_p), PIM_STATUS_OK);
        ASSERT_EQ(pim_rp_db_init(vpn_p), PIM_STATUS_OK);
        ASSERT_EQ(rx(datagram(PEER, hello_msg(105, 1, 1))), PIM_STATUS_OK);
    }

    t_pim_if_minfo *sgrpt_rec(uint32_t group, uint32_t source)
    {
        t_ipaddr g = v4(group);
        t_ipaddr s = v4(source);
        return pim_if_minfo_find(if_p, PIM_TYPE_SG_RPT, &g, &s, nullptr);
    }
};

TEST_F(PimRxStateTest, EndOfMessageRunsOnceAfterTheLastGroupRecord)
{
    const uint8_t wc = PIM_SRC_FLAG_S | PIM_SRC_FLAG_W | PIM_SRC_FLAG_R;
    const uint8_t rpt = PIM_SRC_FLAG_S | PIM_SRC_FLAG_R;
    const uint32_t grp = 0xe1010101;
    const uint32_t s1 = 0x0a080801;
    ASSERT_EQ(rx(datagram(PEER, jp_msg(OWN, grp, {src(0x0a0000fe, wc)}, {src(s1, rpt)}))),
              PIM_STATUS_OK);
    advance(2); // prune-pending time with one neighbor
    t_pim_if_minfo *r = sgrpt_rec(grp, s1);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->ds_state, PIM_IF_DSTREAM_PRUNED);

    // The (*,G) Join and the (S,G,rpt) Prune in two records of one message:
    // the prune stands, as it would in one record.
    t_bytes two = jp_msg_groups(OWN, {{grp, {src(0x0a0000fe, wc)}, {}}, {grp, {}, {src(s1, rpt)}}});
    ASSERT_EQ(rx(datagram(PEER, two)), PIM_STATUS_OK);
    r = sgrpt_rec(grp, s1);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->ds_state, PIM_IF_DSTREAM_PRUNED);
    EXPECT_TRUE(pim_minfo_ilist_test(r->minfo_p->pruned_olist_p, if_p->if_index));
    EXPECT_TRUE(TAILQ_EMPTY(&vpn_p->tmp_sgrpt_list));

    // A (*,G) Join without the prune, then a record that cannot be read
    // before another: what was processed keeps its effect and is
    // end-of-message processed.
    const t_pim_jp_src s1_sg = src(s1, PIM_SRC_FLAG_S);
    t_bytes bad = jp_msg_groups(
        OWN,
        {{grp, {src(0x0a0000fe, wc)}, {}}, {0xe1010102, {s1_sg}, {}}, {0xe1010103, {s1_sg}, {}}});
    bad[34] = 9; // family of the second group
    pim_pkt_finish(bad);
    uint32_t bad_before = st().bad_pkts;
    EXPECT_EQ(rx(datagram(PEER, bad)), PIM_STATUS_BAD_MSG);
    EXPECT_EQ(st().bad_pkts, bad_before + 1);
    EXPECT_EQ(sgrpt_rec(grp, s1), nullptr) << "the prune was not repeated: gone";
    EXPECT_TRUE(TAILQ_EMPTY(&vpn_p->tmp_sgrpt_list));
}

TEST_F(PimRxTest, AssertRules)
{
    t_pim_assert_metric m{};
    m.preference = 101;
    m.metric = 10;
    t_bytes a(PIM_ASSERT_V4_LEN);
    ASSERT_EQ(pim_pkt_assert_build(a, v4(0xe1010101), v4(0x0a000063), m), PIM_ASSERT_V4_LEN);
    EXPECT_EQ(rx(datagram(PEER, a)), PIM_STATUS_NO_NBR);
    EXPECT_EQ(st().assert_pkts, 1u);
    ASSERT_EQ(rx(datagram(PEER, hello_msg(105, 1, 1))), PIM_STATUS_OK);
    EXPECT_EQ(rx(datagram(PEER, a)), PIM_STATUS_OK);
    t_bytes longer = a;
    longer.push_back(0);
    pim_pkt_finish(longer);
    EXPECT_EQ(rx(datagram(PEER, longer)), PIM_STATUS_BAD_MSG);
    EXPECT_EQ(st().bad_pkts, 2u);

    // Not spoken on IGMP or tunnel interfaces.
    if_p->pim_if_type = PIM_IF_TYPE_IGMP;
    EXPECT_EQ(rx(datagram(PEER, a)), PIM_STATUS_OK);
    if_p->pim_if_type = PIM_IF_TYPE_LOCAL;
    EXPECT_EQ(st().unsupported_pkts, 1u);
    EXPECT_EQ(st().assert_pkts, 3u);
}

TEST_F(PimRxTest, SendSideCountsEveryMessage)
{
    std::vector<t_pim_jp_src> prunes;
    for (uint32_t i = 0; i < 300; i++) {
        prunes.push_back(src(0x0b000000 + i, PIM_SRC_FLAG_S | PIM_SRC_FLAG_R));
    }
    t_pim_jp_src rp = src(0x0a0000fe, PIM_SRC_FLAG_S | PIM_SRC_FLAG_W | PIM_SRC_FLAG_R);
    t_pim_jp_src sg = src(0x0a000063, PIM_SRC_FLAG_S);
    std::vector<t_pim_jp_group_tx> g(2, t_pim_jp_group_tx{v4(0xe1010102), {&sg, 1}, {}});
    g[0] = t_pim_jp_group_tx{v4(0xe1010101), {&rp, 1}, prunes};
    t_pim_jp_tx jp{v4(PEER), pim_pkt_jp_holdtime(if_p), g};
    const t_pim_pkt_stats_tx &tx = if_p->stats.pkt_stats_tx;
    uint32_t failed = tx.failed_pkts;
    EXPECT_EQ(pim_pkt_tx_jp(if_p, jp), PIM_STATUS_SOCKET_FAIL) << "no socket";
    // The (*,G) Join goes whole in one message, the (S,G) Join in the next.
    EXPECT_EQ(tx.jp_pkts, 2u);
    EXPECT_EQ(tx.all_pkts, 2u) << "Join/Prunes count as sent even when the send fails";
    EXPECT_EQ(tx.failed_pkts, failed + 2);

    t_pim_assert_metric m{};
    EXPECT_EQ(pim_pkt_encode_assert(if_p, &rp.addr, &g[0].group, &m), PIM_STATUS_SOCKET_FAIL);
    EXPECT_EQ(tx.assert_pkts, 0u) << "only successful Asserts count";
    EXPECT_EQ(tx.failed_pkts, failed + 3);
}

} // namespace
