// Assert machines driven through their events: duplicate-traffic reports,
// received Asserts and the Assert timer, with the transition table checked
// row by row.
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "daemon/pim_assert.h"
#include "daemon/pim_ftm.h"
#include "daemon/pim_jp.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_minfo_upstream.h"
#include "daemon/pim_nhres.h"
#include "daemon/pim_pkt.h"
#include "daemon/pim_subsys.h"
#include "proto/pim_ftm.pb-c.h"
#include "tests/unit/pim_test_env.h"

namespace
{

std::vector<std::string> g_jp;

e_pim_status record_jp(t_pim_if *if_p, t_pim_minfo *, const t_ipaddr *upstream, bool prune)
{
    g_jp.emplace_back(std::string(prune ? "P " : "J ") + ipaddr_str(upstream).c + "@" +
                      if_p->user_name);
    return PIM_STATUS_OK;
}

void record_fab(t_pim_minfo *, const t_ipaddr *, bool) {}

// Kernel indexes of the outgoing list of the last (S,G) programmed.
std::vector<uint32_t> g_oil;

e_pim_status record_ftm(t_pim_daemon *, const PbPimFtmMsg *msg_p)
{
    if (msg_p->msg_type == PB_PIM_FTM_MSG__E_MSG_TYPE__SG_ADD && msg_p->sg_add != nullptr) {
        g_oil.clear();
        for (size_t i = 0; i < msg_p->sg_add->n_oil; i++) {
            g_oil.push_back(msg_p->sg_add->oil[i]->if_index);
        }
    }
    return PIM_STATUS_OK;
}

t_pim_assert_metric metric(bool rpt, uint32_t pref, uint32_t m, const char *addr = "0.0.0.0")
{
    t_pim_assert_metric r{};
    r.rpt_bit = rpt;
    r.preference = pref;
    r.metric = m;
    r.sender_addr = pim_test_ip(addr);
    return r;
}

struct AssertTest : PimRoutingTest {
    t_pim_minfo_tx_ops saved = g_pim_minfo_tx_ops;
    t_ipaddr group = pim_test_ip("239.1.1.1");
    t_ipaddr src = pim_test_ip("10.7.7.7");
    t_pim_if *eth1 = nullptr; // downstream LAN, kernel index 1003
    t_pim_if *eth2 = nullptr; // towards the source
    t_pim_minfo *sg = nullptr;

    void SetUp() override
    {
        PimRoutingTest::SetUp();
        g_jp.clear();
        g_pim_minfo_tx_ops = {record_jp, record_fab};
        eth1 = running_if("eth1", 0x0A020203, 24);
        eth2 = running_if("eth2", 0x0A030304, 24);
        hello(eth1, "10.2.2.100");
        hello(eth1, "10.2.2.101");
        hello(eth2, "10.3.3.5");
        hello(eth2, "10.3.3.6");
        // (S,G) joined on eth1, its source reached through 10.3.3.5 with
        // preference 110 and metric 20.
        jp_unit([&] { EXPECT_EQ(pim_jp_sg_join(eth1, &group, &src, PIM_JP_HOLDTIME_FOREVER), 0); });
        t_pim_next_hop *nh = pim_nhres_find(vpn_p, &src, nullptr);
        ASSERT_NE(nh, nullptr);
        nh->num_nh = 0;
        pim_test_service_nh(nh, "10.3.3.5", eth2);
        nh->preference = 110;
        nh->metric = 20;
        pim_nhres_update_addr(vpn_p, &src);
        sg = entry(PIM_TYPE_SG, "239.1.1.1", "10.7.7.7");
        ASSERT_NE(sg, nullptr);
        ASSERT_EQ(sg->rpf_nbr_if, eth2->if_index);
        g_jp.clear();
        std::memset(g_pim_tx_buf, 0, PIM_ASSERT_V4_LEN);
    }

    void TearDown() override
    {
        PimRoutingTest::TearDown();
        g_pim_minfo_tx_ops = saved;
    }

    void hello(t_pim_if *if_p, const char *addr)
    {
        t_ipaddr a = pim_test_ip(addr);
        ASSERT_EQ(pim_nbr_process_hello(if_p, &a, 65535, 1, 1, 500, 2500), PIM_STATUS_OK);
    }

    // The Assert sent since the last call, as "R pref metric", or "" for none.
    static std::string sent()
    {
        t_pim_assert_rec a{};
        int32_t bad = 0;
        std::string out;
        if (pim_pkt_assert_decode(std::span<const uint8_t>(g_pim_tx_buf + PIM_PKT_HDR_LEN,
                                                           PIM_ASSERT_V4_LEN - PIM_PKT_HDR_LEN),
                                  a, bad) == PIM_PKT_OK &&
            g_pim_tx_buf[0] != 0) {
            out = std::to_string(a.metric.rpt_bit) + " " + std::to_string(a.metric.preference) +
                  " " + std::to_string(a.metric.metric);
        }
        std::memset(g_pim_tx_buf, 0, PIM_ASSERT_V4_LEN);
        return out;
    }

    void rx(t_pim_if *if_p, const char *from, t_pim_assert_metric m)
    {
        t_ipaddr a = pim_test_ip(from);
        t_pim_nbr *nbr_p = pim_nbr_find(if_p, &a, nullptr);
        ASSERT_NE(nbr_p, nullptr);
        m.sender_addr = a;
        pim_assert_process_pkt(daemon_p, nbr_p, &group, &src, &m);
    }

    t_pim_assert_info &on_eth1()
    {
        t_pim_if_minfo *r = pim_if_minfo_find_from_minfo(eth1, sg);
        EXPECT_NE(r, nullptr);
        return *pim_if_minfo_assert_get_or_create(r);
    }

    void dup_traffic() { pim_assert_dup_traffic_handler(daemon_p, vpn_p, &src, &group, 1003); }
};

TEST(AssertMetric, ComparisonOrder)
{
    auto a = metric(false, 110, 20, "10.0.0.1");
    auto b = metric(false, 110, 20, "10.0.0.2");
    EXPECT_EQ(pim_assert_metric_cmp(&a, &b), 2);
    EXPECT_EQ(pim_assert_metric_cmp(&b, &a), 1);
    EXPECT_EQ(pim_assert_metric_cmp(&a, &a), 0);
    auto rpt = metric(true, 1, 1, "10.0.0.9");
    auto spt = metric(false, 200, 200, "10.0.0.1");
    EXPECT_EQ(pim_assert_metric_cmp(&rpt, &spt), 2);
    auto pref = metric(false, 100, 900, "10.0.0.1");
    EXPECT_EQ(pim_assert_metric_cmp(&pref, &a), 1);
    auto hi = metric(false, 0x80000000u, 0, "10.0.0.1");
    EXPECT_EQ(pim_assert_metric_cmp(&a, &hi), 1); // unsigned comparison
}

TEST(AssertTable, NoInfo)
{
    constexpr auto N = PIM_ASSERT_STATE_NOINFO;
    auto t = pim_assert_transition(N, PIM_ASSERT_METRIC_INFERIOR, PIM_ASSERT_COND_IN_LIST);
    EXPECT_EQ(t.next, PIM_ASSERT_STATE_WINNER);
    EXPECT_EQ(t.action, PIM_ASSERT_ACT_A1);
    EXPECT_TRUE(t.consumed);
    t = pim_assert_transition(N, PIM_ASSERT_METRIC_INFERIOR, PIM_ASSERT_COND_TRACKING);
    EXPECT_EQ(t.next, N);
    EXPECT_FALSE(t.consumed);
    t = pim_assert_transition(N, PIM_ASSERT_METRIC_ACCEPTABLE,
                              PIM_ASSERT_COND_TRACKING | PIM_ASSERT_COND_SG);
    EXPECT_EQ(t.next, PIM_ASSERT_STATE_LOSER);
    EXPECT_EQ(t.action, PIM_ASSERT_ACT_A6);
    EXPECT_TRUE(t.consumed);
    t = pim_assert_transition(N, PIM_ASSERT_METRIC_ACCEPTABLE,
                              PIM_ASSERT_COND_TRACKING | PIM_ASSERT_COND_XG_RPT);
    EXPECT_EQ(t.next, PIM_ASSERT_STATE_LOSER);
    EXPECT_EQ(t.action, PIM_ASSERT_ACT_A2);
    EXPECT_FALSE(t.consumed);
    // Not tracking, or a (*,G) entry hearing an Assert without the R bit.
    EXPECT_EQ(pim_assert_transition(N, PIM_ASSERT_METRIC_ACCEPTABLE, PIM_ASSERT_COND_SG).next, N);
    EXPECT_EQ(pim_assert_transition(N, PIM_ASSERT_METRIC_ACCEPTABLE, PIM_ASSERT_COND_TRACKING).next,
              N);
    EXPECT_EQ(pim_assert_transition(N, PIM_ASSERT_METRIC_PREFERRED, 0x7f).next, N);
}

TEST(AssertTable, Winner)
{
    constexpr auto W = PIM_ASSERT_STATE_WINNER;
    auto t = pim_assert_transition(W, PIM_ASSERT_METRIC_INFERIOR, 0);
    EXPECT_EQ(t.next, W);
    EXPECT_EQ(t.action, PIM_ASSERT_ACT_A3);
    EXPECT_TRUE(t.consumed);
    t = pim_assert_transition(W, PIM_ASSERT_METRIC_PREFERRED, 0);
    EXPECT_EQ(t.next, PIM_ASSERT_STATE_LOSER);
    EXPECT_EQ(t.action, PIM_ASSERT_ACT_A2);
    EXPECT_TRUE(t.consumed);
    t = pim_assert_transition(W, PIM_ASSERT_METRIC_ACCEPTABLE, 0);
    EXPECT_EQ(t.next, W);
    EXPECT_EQ(t.action, PIM_ASSERT_ACT_NONE);
    EXPECT_TRUE(t.consumed);
}

TEST(AssertTable, Loser)
{
    constexpr auto L = PIM_ASSERT_STATE_LOSER;
    auto t = pim_assert_transition(L, PIM_ASSERT_METRIC_PREFERRED, PIM_ASSERT_COND_SG_OR_RPT);
    EXPECT_EQ(t.action, PIM_ASSERT_ACT_A2);
    EXPECT_TRUE(t.consumed);
    t = pim_assert_transition(L, PIM_ASSERT_METRIC_PREFERRED, 0);
    EXPECT_EQ(t.action, PIM_ASSERT_ACT_NONE);
    EXPECT_FALSE(t.consumed);
    t = pim_assert_transition(L, PIM_ASSERT_METRIC_ACCEPTABLE,
                              PIM_ASSERT_COND_FROM_WINNER | PIM_ASSERT_COND_SG_OR_RPT);
    EXPECT_EQ(t.next, L);
    EXPECT_EQ(t.action, PIM_ASSERT_ACT_A2);
    t = pim_assert_transition(L, PIM_ASSERT_METRIC_INFERIOR,
                              PIM_ASSERT_COND_FROM_WINNER | PIM_ASSERT_COND_INF_OR_CANCEL);
    EXPECT_EQ(t.next, PIM_ASSERT_STATE_NOINFO);
    EXPECT_EQ(t.action, PIM_ASSERT_ACT_A5);
    t = pim_assert_transition(L, PIM_ASSERT_METRIC_ACCEPTABLE,
                              PIM_ASSERT_COND_FROM_WINNER | PIM_ASSERT_COND_INF_OR_CANCEL);
    EXPECT_EQ(t.next, PIM_ASSERT_STATE_NOINFO);
    // Not from the winner, or from it without news: stays, consumed.
    t = pim_assert_transition(L, PIM_ASSERT_METRIC_INFERIOR, PIM_ASSERT_COND_INF_OR_CANCEL);
    EXPECT_EQ(t.next, L);
    EXPECT_EQ(t.action, PIM_ASSERT_ACT_NONE);
    EXPECT_TRUE(t.consumed);
    EXPECT_EQ(
        pim_assert_transition(L, PIM_ASSERT_METRIC_ACCEPTABLE, PIM_ASSERT_COND_FROM_WINNER).action,
        PIM_ASSERT_ACT_NONE);
}

TEST_F(AssertTest, OwnMetric)
{
    t_pim_assert_metric m{};
    pim_assert_get_minfo_metric(sg, eth1, &m);
    EXPECT_FALSE(m.rpt_bit);
    EXPECT_EQ(m.preference, 110u);
    EXPECT_EQ(m.metric, 20u);
    EXPECT_STREQ(ipaddr_str(&m.sender_addr).c, "10.2.2.3");
    // Without a next hop: the infinite metric, beaten by any real one.
    t_pim_next_hop *nh = sg->nh_p;
    sg->nh_p = nullptr;
    pim_assert_get_minfo_metric(sg, eth1, &m);
    sg->nh_p = nh;
    EXPECT_TRUE(m.rpt_bit);
    EXPECT_EQ(m.preference, 0x7FFFFFFFu);
    EXPECT_EQ(m.metric, 0xFFFFFFFFu);
    auto real = metric(true, 250, 1000, "10.0.0.1");
    EXPECT_EQ(pim_assert_metric_cmp(&real, &m), 1);
}

TEST_F(AssertTest, WinnerByDuplicateTrafficThenLoserThenExpiry)
{
    dup_traffic();
    EXPECT_EQ(on_eth1().state, PIM_ASSERT_STATE_WINNER);
    EXPECT_EQ(sent(), "0 110 20");
    EXPECT_EQ(on_eth1().winner_p, eth1->self_nbr_p);
    dup_traffic();
    EXPECT_EQ(sent(), "");
    // Re-sent every 155 s while winner.
    advance(154);
    EXPECT_EQ(sent(), "");
    advance(1);
    EXPECT_EQ(sent(), "0 110 20");
    // An inferior Assert is answered.
    rx(eth1, "10.2.2.100", metric(false, 120, 1));
    EXPECT_EQ(sent(), "0 110 20");
    EXPECT_EQ(on_eth1().state, PIM_ASSERT_STATE_WINNER);
    // A better one wins; the loser keeps it 180 s.
    rx(eth1, "10.2.2.101", metric(false, 100, 50));
    EXPECT_EQ(on_eth1().state, PIM_ASSERT_STATE_LOSER);
    EXPECT_STREQ(ipaddr_str(&on_eth1().winner_metric.sender_addr).c, "10.2.2.101");
    EXPECT_EQ(sent(), "");
    advance(179);
    EXPECT_EQ(on_eth1().state, PIM_ASSERT_STATE_LOSER);
    advance(1);
    EXPECT_EQ(on_eth1().state, PIM_ASSERT_STATE_NOINFO);
    EXPECT_EQ(on_eth1().winner_p, nullptr);
    EXPECT_EQ(on_eth1().winner_metric.preference, 0u);
    EXPECT_EQ(sent(), "");
}

TEST_F(AssertTest, LoserLeftOnlyByTheWinnersCancel)
{
    dup_traffic();
    rx(eth1, "10.2.2.101", metric(false, 100, 50));
    ASSERT_EQ(on_eth1().state, PIM_ASSERT_STATE_LOSER);
    auto cancel = metric(true, 0x7FFFFFFF, 0xFFFFFFFF);
    rx(eth1, "10.2.2.100", cancel);
    EXPECT_EQ(on_eth1().state, PIM_ASSERT_STATE_LOSER);
    // The winner's refresh restarts the timer.
    advance(100);
    rx(eth1, "10.2.2.101", metric(false, 100, 50));
    advance(100);
    EXPECT_EQ(on_eth1().state, PIM_ASSERT_STATE_LOSER);
    rx(eth1, "10.2.2.101", cancel);
    EXPECT_EQ(on_eth1().state, PIM_ASSERT_STATE_NOINFO);
    EXPECT_EQ(sent(), "");
}

TEST_F(AssertTest, LoserForwardsAgainWhenTheWinnerCancelsOrLeaves)
{
    g_pim_ftm_ops.send = record_ftm;
    const std::vector<uint32_t> eth1_only{1003};
    hello(eth1, "10.2.2.102"); // the LAN keeps a neighbor when the others leave
    dup_traffic();
    EXPECT_EQ(sent(), "0 110 20");
    rx(eth1, "10.2.2.101", metric(false, 100, 50));
    EXPECT_TRUE(pim_assert_lost(sg, eth1));
    EXPECT_EQ(g_oil, std::vector<uint32_t>{});
    // The loser's interface stays in the entry's list; only forwarding leaves it out.
    EXPECT_TRUE(pim_minfo_ilist_test(sg->inherited_olist_p, eth1->if_index));
    rx(eth1, "10.2.2.101", metric(true, 0x7FFFFFFF, 0xFFFFFFFF));
    EXPECT_EQ(g_oil, eth1_only);
    // Lost again; another neighbor leaving changes nothing, the winner
    // leaving ends the loss at once.
    rx(eth1, "10.2.2.101", metric(false, 100, 50));
    EXPECT_EQ(g_oil, std::vector<uint32_t>{});
    t_ipaddr other = pim_test_ip("10.2.2.100");
    ASSERT_EQ(pim_nbr_delete(pim_nbr_find(eth1, &other, nullptr), PIM_NBR_CLEANUP_HOLDTIME_EXP),
              PIM_STATUS_OK);
    EXPECT_EQ(on_eth1().state, PIM_ASSERT_STATE_LOSER);
    t_ipaddr winner = pim_test_ip("10.2.2.101");
    ASSERT_EQ(pim_nbr_delete(pim_nbr_find(eth1, &winner, nullptr), PIM_NBR_CLEANUP_HOLDTIME_EXP),
              PIM_STATUS_OK);
    EXPECT_EQ(on_eth1().state, PIM_ASSERT_STATE_NOINFO);
    EXPECT_EQ(on_eth1().winner_p, nullptr);
    EXPECT_EQ(g_oil, eth1_only);
    EXPECT_EQ(sent(), "");
}

TEST_F(AssertTest, WinnerWhoseStateGoesSendsAssertCancel)
{
    dup_traffic();
    EXPECT_EQ(sent(), "0 110 20");
    jp_unit([&] { EXPECT_EQ(pim_jp_sg_prune(eth1, &group, &src), 0); });
    advance(10); // the prune takes effect: the entry's state on eth1 goes
    EXPECT_EQ(sent(), "1 2147483647 4294967295");
}

TEST_F(AssertTest, UpstreamFollowsTheWinnerOfTheRpfInterface)
{
    // No state of the entry on eth2: the entry's RPF state takes it.
    rx(eth2, "10.3.3.6", metric(false, 110, 20));
    ASSERT_NE(pim_minfo_assert_get(sg), nullptr);
    EXPECT_EQ(pim_minfo_assert_get(sg)->state, PIM_ASSERT_STATE_LOSER);
    EXPECT_STREQ(ipaddr_str(&sg->rpf_nbr_addr).c, "10.3.3.6");
    EXPECT_EQ(g_jp, (std::vector<std::string>{"P 10.3.3.5@eth2", "J 10.3.3.6@eth2"}));
    EXPECT_TRUE(sg->minfo_flags & PIM_MINFO_FLAG_FTM);
    // The winner falls silent: after the Assert timer the upstream goes back
    // to the RPF neighbor.
    g_jp.clear();
    advance(180);
    ASSERT_NE(pim_minfo_assert_get(sg), nullptr);
    EXPECT_EQ(pim_minfo_assert_get(sg)->state, PIM_ASSERT_STATE_NOINFO);
    EXPECT_STREQ(ipaddr_str(&sg->rpf_nbr_addr).c, "10.3.3.5");
    // Meanwhile the periodic Joins went to the winner.
    EXPECT_EQ(g_jp, (std::vector<std::string>{"J 10.3.3.6@eth2", "J 10.3.3.6@eth2",
                                              "P 10.3.3.6@eth2", "J 10.3.3.5@eth2"}));
    // The winner's Assert is not the (*,G) entry's business; an inferior
    // Assert on an interface the entry neither tracks nor lists is ignored.
    t_pim_if *eth3 = running_if("eth3", 0x0A050506, 24);
    hello(eth3, "10.5.5.100");
    rx(eth3, "10.5.5.100", metric(true, 250, 1));
    EXPECT_EQ(sent(), "");
}

TEST_F(AssertTest, DuplicateTrafficIgnoredOffTheList)
{
    pim_assert_dup_traffic_handler(daemon_p, vpn_p, &src, &group, 1004); // eth2: not outgoing
    pim_assert_dup_traffic_handler(daemon_p, vpn_p, &src, &group, 4242); // unknown
    t_ipaddr other = pim_test_ip("10.7.7.8");
    pim_assert_dup_traffic_handler(daemon_p, vpn_p, &other, &group, 1003); // no entry
    EXPECT_EQ(sent(), "");
    EXPECT_EQ(on_eth1().state, PIM_ASSERT_STATE_NOINFO);
}

} // namespace
