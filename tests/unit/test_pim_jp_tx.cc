// Our own Join/Prune messages: records queued per interface and upstream
// neighbor leave packed, the last Join or Prune of an entry wins, and the
// deferred flush runs when the loop has finished the current event.
#include <event2/event.h>
#include <ostream>
#include <vector>

#include "daemon/pim_jp.h"
#include "daemon/pim_minfo.h"
#include "tests/unit/pim_test_env.h"

namespace
{

constexpr uint32_t OWN = 0x0a000005;
constexpr uint32_t PEER = 0x0a000001;
constexpr uint32_t PEER2 = 0x0a000002;

struct t_rec {
    uint32_t group;
    uint32_t addr;
    uint8_t flags;
    bool prune;
    bool operator==(const t_rec &) const = default;
};

std::ostream &operator<<(std::ostream &o, const t_rec &r)
{
    return o << std::hex << r.group << "/" << r.addr << "/" << int{r.flags}
             << (r.prune ? "P" : "J");
}

constexpr uint8_t S = PIM_SRC_FLAG_S;
constexpr uint8_t RPT = PIM_SRC_FLAG_S | PIM_SRC_FLAG_R;
constexpr uint8_t WC = RPT | PIM_SRC_FLAG_W;

struct t_msg {
    uint32_t upstream = 0;
    uint16_t holdtime = 0;
    uint8_t groups = 0;
    std::vector<t_rec> recs;
};

uint8_t flags_of(const t_pim_pkt_src_addr &s)
{
    return static_cast<uint8_t>((s.s_bit ? PIM_SRC_FLAG_S : 0) | (s.wc_bit ? PIM_SRC_FLAG_W : 0) |
                                (s.r_bit ? PIM_SRC_FLAG_R : 0));
}

// The message last built for sending, decoded back into its records.
t_msg last_sent()
{
    static t_pim_pkt_src_addr joins[PIM_JP_MAX_SRCS];
    static t_pim_pkt_src_addr prunes[PIM_JP_MAX_SRCS];
    t_msg m;
    t_pim_jp_rd it{};
    t_pim_pkt_jp jp{};
    int32_t bad = 0;
    std::span<const uint8_t> body(g_pim_tx_buf + PIM_PKT_HDR_LEN,
                                  PIM_PKT_BUF_LEN - PIM_PKT_HDR_LEN);
    EXPECT_EQ(pim_pkt_jp_decode_hdr(body, it, jp, bad), PIM_PKT_OK);
    m.upstream = jp.upstream_neighbor.u.addr4;
    m.holdtime = jp.holdtime;
    m.groups = jp.num_groups;
    while (it.next_group <= jp.num_groups) {
        EXPECT_EQ(pim_pkt_jp_decode_group(it, jp, joins, prunes, bad), PIM_PKT_OK);
        uint32_t g = jp.jp_group.group_address.group_addr.addr.u.addr4;
        for (uint16_t i = 0; i < jp.jp_group.num_joins; i++) {
            m.recs.push_back({g, joins[i].source_addr.addr.u.addr4, flags_of(joins[i]), false});
        }
        for (uint16_t i = 0; i < jp.jp_group.num_prunes; i++) {
            m.recs.push_back({g, prunes[i].source_addr.addr.u.addr4, flags_of(prunes[i]), true});
        }
    }
    return m;
}

struct PimJpTxTest : PimEnvTest {
    t_pim_if *if_p = nullptr;
    t_ipaddr peer = v4(PEER);

    void SetUp() override
    {
        PimEnvTest::SetUp();
        if_p = running_if("ge0/1", OWN, 24);
    }

    void TearDown() override
    {
        pim_jp_tx_discard(if_p);
        PimEnvTest::TearDown();
    }

    // An entry as far as the sender reads it: type and keys (and RP).
    static t_pim_minfo entry(e_pim_type type, uint32_t group, uint32_t source)
    {
        t_pim_minfo m{};
        m.type = type;
        m.group = v4(group);
        m.source = v4(type == PIM_TYPE_XG ? 0 : source);
        m.received_rp = v4(type == PIM_TYPE_XG ? source : 0);
        return m;
    }

    void queue(e_pim_type type, uint32_t group, uint32_t source, bool prune, t_pim_if *on = nullptr,
               const t_ipaddr *up = nullptr)
    {
        t_pim_minfo m = entry(type, group, source);
        EXPECT_EQ(
            pim_pkt_encode_jp(on != nullptr ? on : if_p, &m, up != nullptr ? up : &peer, prune),
            PIM_STATUS_OK);
    }

    uint32_t sent() const { return if_p->stats.pkt_stats_tx.jp_pkts; }
};

TEST_F(PimJpTxTest, QueuedRecordsLeavePackedInTheFewestMessages)
{
    // 100 (S,G) Joins: 73 records of 20 bytes fill a 1480-byte message, which
    // leaves at once; the rest wait for the flush.
    for (uint32_t i = 0; i < 100; i++) {
        queue(PIM_TYPE_SG, 0xe1000000 + i, 0x0b000001, false);
    }
    ASSERT_EQ(sent(), 1u) << "the full message left at once";
    t_msg m = last_sent();
    EXPECT_EQ(m.upstream, PEER);
    EXPECT_EQ(m.holdtime, 210) << "3.5 join intervals";
    std::vector<t_rec> want;
    for (uint32_t i = 0; i < 73; i++) {
        want.push_back({0xe1000000 + i, 0x0b000001, S, false});
    }
    EXPECT_EQ(m.recs, want);
    pim_jp_tx_flush_all(daemon_p);
    ASSERT_EQ(sent(), 2u);
    m = last_sent();
    ASSERT_EQ(m.recs.size(), 27u);
    EXPECT_EQ(m.recs[26].group, 0xe1000000u + 99);
    pim_jp_tx_flush_all(daemon_p);
    EXPECT_EQ(sent(), 2u) << "nothing left";

    // Sources of one group share its record: 181 of 8 bytes fill a message.
    for (uint32_t i = 0; i < 200; i++) {
        queue(PIM_TYPE_SG, 0xe1000000, 0x0b000000 + i, false);
    }
    ASSERT_EQ(sent(), 3u);
    m = last_sent();
    EXPECT_EQ(m.groups, 1);
    ASSERT_EQ(m.recs.size(), 181u);
    EXPECT_EQ(m.recs[180].addr, 0x0b000000u + 180);
    pim_jp_tx_flush_all(daemon_p);
    ASSERT_EQ(sent(), 4u);
    EXPECT_EQ(last_sent().recs.size(), 19u);

    // Each upstream neighbor has its messages; the flush of one interface
    // sends only its own.
    t_ipaddr peer2 = v4(PEER2);
    t_pim_if *if2 = running_if("ge0/2", 0x0a010006, 24);
    queue(PIM_TYPE_SG, 0xe1000001, 0x0b000001, false);
    queue(PIM_TYPE_SG, 0xe1000002, 0x0b000001, false, nullptr, &peer2);
    queue(PIM_TYPE_SG, 0xe1000003, 0x0b000001, false, if2);
    pim_jp_tx_flush(if_p);
    EXPECT_EQ(sent(), 6u);
    EXPECT_EQ(if2->stats.pkt_stats_tx.jp_pkts, 0u);
    pim_jp_tx_flush_all(daemon_p);
    EXPECT_EQ(if2->stats.pkt_stats_tx.jp_pkts, 1u);
    EXPECT_EQ(if_p->stats.pkt_stats_tx.failed_pkts, 6u) << "no socket: counted as failed";
    EXPECT_EQ(if_p->stats.pkt_stats_tx.all_pkts, 6u);

    // Nothing on an IGMP interface; nothing sent for other entry types.
    if2->pim_if_type = PIM_IF_TYPE_IGMP;
    queue(PIM_TYPE_SG, 0xe1000003, 0x0b000001, false, if2);
    if2->pim_if_type = PIM_IF_TYPE_LOCAL;
    queue(PIM_TYPE_AUTO_RP, 0xe0000127, 0x0b000001, false, if2);
    pim_jp_tx_flush_all(daemon_p);
    EXPECT_EQ(if2->stats.pkt_stats_tx.jp_pkts, 1u);
    pim_jp_tx_discard(if2);
}

TEST_F(PimJpTxTest, LastJoinOrPruneOfAnEntryWinsAndRecordsFollowTheirType)
{
    queue(PIM_TYPE_SG, 0xe1010101, 0x0b000001, false);
    queue(PIM_TYPE_SG_RPT, 0xe1010101, 0x0b000002, true);
    queue(PIM_TYPE_XG, 0xe1010102, 0x0a0000fe, true);
    queue(PIM_TYPE_SG, 0xe1010101, 0x0b000001, true);      // wins over the Join
    queue(PIM_TYPE_SG_RPT, 0xe1010101, 0x0b000002, false); // wins over the Prune
    queue(PIM_TYPE_SG, 0xe1010101, 0x0b000003, true);
    pim_jp_tx_flush_all(daemon_p);
    ASSERT_EQ(sent(), 1u);
    // A (*,G) record names the RP; the (S,G) of one group share a record,
    // (S,G,rpt) keeps its own.
    EXPECT_EQ(last_sent().recs, (std::vector<t_rec>{{0xe1010101, 0x0b000001, S, true},
                                                    {0xe1010101, 0x0b000003, S, true},
                                                    {0xe1010101, 0x0b000002, RPT, false},
                                                    {0xe1010102, 0x0a0000fe, WC, true}}));
    EXPECT_EQ(last_sent().groups, 3);

    // An interface that goes away takes its queue along.
    queue(PIM_TYPE_SG, 0xe1010101, 0x0b000001, false);
    pim_jp_tx_discard(if_p);
    pim_jp_tx_flush_all(daemon_p);
    EXPECT_EQ(sent(), 1u);
}

TEST_F(PimJpTxTest, XgJoinCarriesItsGroupsPrunesWholeWhenBuilt)
{
    ASSERT_EQ(pim_minfo_init(vpn_p), PIM_STATUS_OK);
    t_ipaddr group = v4(0xe1010101);
    t_ipaddr rp = v4(0x0a0000fe);
    t_pim_minfo *xg = pim_minfo_find_or_create(vpn_p, if_p, PIM_TYPE_XG, &group, nullptr, &rp);
    ASSERT_NE(xg, nullptr);
    // PruneDesired(S,G,rpt) holds for an (S,G,rpt) entry with nothing
    // inherited while the (*,G) entry is joined.
    xg->macro_result |= PIM_MACRO_JOIN_DESIRED;
    for (uint32_t i = 300; i-- > 0;) {
        t_ipaddr s = v4(0x0b000000 + i);
        ASSERT_NE(pim_minfo_find_or_create(vpn_p, if_p, PIM_TYPE_SG_RPT, &group, &s, &rp), nullptr);
    }
    pim_jp_tx_discard(if_p); // whatever creating them queued
    EXPECT_EQ(pim_pkt_encode_jp(if_p, xg, &peer, false), PIM_STATUS_OK);
    pim_jp_tx_flush_all(daemon_p);
    ASSERT_EQ(sent(), 1u) << "one message, never split from its prunes";
    // Decoded whole by our own receiver, the prunes in source order.
    std::vector<t_rec> want = {{0xe1010101, 0x0a0000fe, WC, false}};
    for (uint32_t i = 0; i < 300; i++) {
        want.push_back({0xe1010101, 0x0b000000 + i, RPT, true});
    }
    EXPECT_EQ(last_sent().recs, want);

    // The prunes are those of the moment of sending.
    EXPECT_EQ(pim_pkt_encode_jp(if_p, xg, &peer, false), PIM_STATUS_OK);
    xg->macro_result &= ~PIM_MACRO_JOIN_DESIRED;
    pim_jp_tx_flush_all(daemon_p);
    EXPECT_EQ(last_sent().recs.size(), 1u);
    // A (*,G) entry gone before the flush: its Join is not sent, its Prune is.
    t_ipaddr group2 = v4(0xe1010102);
    t_pim_minfo *xg2 = pim_minfo_find_or_create(vpn_p, if_p, PIM_TYPE_XG, &group2, nullptr, &rp);
    ASSERT_NE(xg2, nullptr);
    EXPECT_EQ(pim_pkt_encode_jp(if_p, xg2, &peer, false), PIM_STATUS_OK);
    queue(PIM_TYPE_XG, 0xe1010103, 0x0a0000fe, true);
    pim_minfo_delete(xg2);
    pim_jp_tx_flush_all(daemon_p);
    EXPECT_EQ(last_sent().recs, (std::vector<t_rec>{{0xe1010103, 0x0a0000fe, WC, true}}));
}

void flush_cb(int, short, void *arg) { pim_jp_tx_flush_all(static_cast<t_pim_daemon *>(arg)); }

TEST_F(PimJpTxTest, FlushRunsWhenTheCurrentEventIsDone)
{
    event_base *base = event_base_new();
    ASSERT_NE(base, nullptr);
    daemon_p->jp_tx_event_p = event_new(base, -1, 0, flush_cb, daemon_p);
    queue(PIM_TYPE_SG, 0xe1010101, 0x0b000001, false);
    queue(PIM_TYPE_SG, 0xe1010102, 0x0b000001, false);
    EXPECT_EQ(sent(), 0u);
    (void)event_base_loop(base, EVLOOP_NONBLOCK);
    EXPECT_EQ(sent(), 1u);
    EXPECT_EQ(last_sent().recs.size(), 2u);
    event_free(daemon_p->jp_tx_event_p);
    daemon_p->jp_tx_event_p = nullptr;
    event_base_free(base);
}

} // namespace
