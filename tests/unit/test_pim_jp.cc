// Downstream machines and the Join/Prune handlers, driven through the unit
// protocol on the test clock. The transition tables of the downstream
// machines are the oracle: each test walks one machine from one state.
#include <string>
#include <vector>

#include "tests/unit/pim_test_env.h"
#include "zconfd/zconfd.h"

namespace
{

struct JpTest : PimRoutingTest {
    t_pim_if *lan = nullptr;
    t_pim_if *lan2 = nullptr;
    t_ipaddr G = pim_test_ip("239.1.1.1");
    t_ipaddr RP = pim_test_ip("10.0.0.1");
    t_ipaddr S = pim_test_ip("10.2.2.2");

    void SetUp() override
    {
        PimRoutingTest::SetUp();
        lan = running_if("ge0/1", 0x0a010101, 24);
        lan2 = running_if("ge0/2", 0x0a020205, 24);
    }

    void xg_join(t_pim_if *if_p, uint16_t hold)
    {
        jp_unit([&] { EXPECT_EQ(pim_jp_xg_join(if_p, &G, &RP, hold), 0); });
    }
    void xg_prune(t_pim_if *if_p)
    {
        jp_unit([&] { EXPECT_EQ(pim_jp_xg_prune(if_p, &G, &RP), 0); });
    }
    void rpt_prune(t_pim_if *if_p, uint16_t hold)
    {
        jp_unit([&] { EXPECT_EQ(pim_jp_sgrpt_prune(if_p, &G, &S, hold), 0); });
    }

    t_pim_if_minfo *xg_rec(t_pim_if *if_p) { return rec(if_p, PIM_TYPE_XG, "239.1.1.1"); }
    t_pim_if_minfo *rpt_rec(t_pim_if *if_p)
    {
        return rec(if_p, PIM_TYPE_SG_RPT, "239.1.1.1", "10.2.2.2");
    }
    t_pim_minfo *xg() { return entry(PIM_TYPE_XG, "239.1.1.1"); }
    t_pim_minfo *rpt() { return entry(PIM_TYPE_SG_RPT, "239.1.1.1", "10.2.2.2"); }

    // (*,G) joined on lan for good, and 10.2.2.2 pruned off it there (PRUNED).
    void pruned_source()
    {
        xg_join(lan, PIM_JP_HOLDTIME_FOREVER);
        rpt_prune(lan, 210);
        advance(1);
        ASSERT_NE(rpt_rec(lan), nullptr);
        ASSERT_EQ(rpt_rec(lan)->ds_state, PIM_IF_DSTREAM_PRUNED);
    }

    static int64_t et_left(const t_pim_if_minfo *r)
    {
        return timer_get_ticks_to_expiry(r->jp_expiry_timer);
    }
};

// (*,G) and (S,G) records.

TEST_F(JpTest, XgNoinfoJoinThenExpiryAfterHoldtime)
{
    xg_join(lan, 210);
    xg_join(lan2, PIM_JP_HOLDTIME_FOREVER);
    t_pim_if_minfo *r = xg_rec(lan);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->ds_state, PIM_IF_DSTREAM_JOINED);
    EXPECT_TRUE(pim_minfo_ilist_test(xg()->joined_olist_p, lan->if_index));
    EXPECT_TRUE(timer_is_active(r->jp_expiry_timer));
    EXPECT_FALSE(timer_is_active(r->prune_pending_timer));
    EXPECT_FALSE(timer_is_active(xg_rec(lan2)->jp_expiry_timer)) << "65535 never expires";

    advance(100);
    xg_join(lan, 210); // JOINED: the ET restarts
    EXPECT_EQ(xg_rec(lan)->ds_state, PIM_IF_DSTREAM_JOINED);
    advance(209);
    ASSERT_NE(xg_rec(lan), nullptr);
    advance(1);
    EXPECT_EQ(xg_rec(lan), nullptr) << "NOINFO and deleted";
    EXPECT_FALSE(pim_minfo_ilist_test(xg()->joined_olist_p, lan->if_index));
    EXPECT_NE(xg_rec(lan2), nullptr);

    // The last record goes with the entry.
    xg_join(lan2, 5);
    advance(5);
    EXPECT_EQ(xg(), nullptr);
    EXPECT_EQ(avl_numnodes(&vpn_p->minfo_db), 0u);
}

TEST_F(JpTest, XgLocalMembershipUsesLocalListAndNeverExpires)
{
    t_pim_if *igmp = igmp_if("igmp0", 50);
    ASSERT_NE(igmp, nullptr);
    jp_unit(
        [&] { EXPECT_EQ(pim_et_jp_join(PIM_TYPE_XG, igmp, &G, &RP, PIM_JP_HOLDTIME_FOREVER), 0); });
    ASSERT_NE(xg_rec(igmp), nullptr);
    EXPECT_TRUE(pim_minfo_ilist_test(xg()->local_olist_p, igmp->if_index));
    EXPECT_TRUE(pim_minfo_ilist_empty(xg()->joined_olist_p));
    advance(400);
    ASSERT_NE(xg_rec(igmp), nullptr);
    EXPECT_EQ(xg_rec(igmp)->ds_state, PIM_IF_DSTREAM_JOINED);

    jp_unit([&] { EXPECT_EQ(pim_et_jp_prune(PIM_TYPE_XG, igmp, &G, &RP), 0); });
    advance(1);
    EXPECT_EQ(xg(), nullptr);
}

TEST_F(JpTest, XgPruneOnPointToPointLeavesAfter100ms)
{
    add_nbrs(lan, 1);
    EXPECT_EQ(pim_jp_prune_pending_ms(lan), PIM_PRUNE_PENDING_P2P_MS);
    xg_join(lan, 210);
    xg_join(lan2, PIM_JP_HOLDTIME_FOREVER);
    xg_prune(lan);
    t_pim_if_minfo *r = xg_rec(lan);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->ds_state, PIM_IF_DSTREAM_PRUNE_PENDING);
    EXPECT_TRUE(pim_minfo_ilist_test(xg()->joined_olist_p, lan->if_index)) << "until the PPT";
    EXPECT_TRUE(timer_is_active(r->prune_pending_timer));
    EXPECT_TRUE(timer_is_active(r->jp_expiry_timer)) << "the ET keeps running";

    xg_prune(lan);
    EXPECT_EQ(xg_rec(lan)->ds_state, PIM_IF_DSTREAM_PRUNE_PENDING);
    advance(1);
    EXPECT_EQ(xg_rec(lan), nullptr);
    EXPECT_FALSE(pim_minfo_ilist_test(xg()->joined_olist_p, lan->if_index));
    uint32_t before = lan->stats.pkt_stats_tx.jp_pkts;
    pim_jp_tx_flush(lan);
    EXPECT_EQ(lan->stats.pkt_stats_tx.jp_pkts, before) << "no prune echo with one neighbor";
}

TEST_F(JpTest, XgPruneOnLanWaitsForOverrideAndEchoes)
{
    add_nbrs(lan, 2, 500, 2500);
    ASSERT_EQ(pim_jp_prune_pending_ms(lan),
              static_cast<uint32_t>(lan->prop_delay) + lan->override_int);
    ASSERT_GT(pim_jp_prune_pending_ms(lan), 2000u);
    xg_join(lan, 210);
    xg_join(lan2, PIM_JP_HOLDTIME_FOREVER);
    pim_jp_tx_flush(lan);
    uint32_t before = lan->stats.pkt_stats_tx.jp_pkts;
    xg_prune(lan);
    advance(static_cast<int>(pim_jp_prune_pending_ms(lan) / 1000) - 1);
    ASSERT_NE(xg_rec(lan), nullptr);
    EXPECT_TRUE(pim_minfo_ilist_test(xg()->joined_olist_p, lan->if_index));
    advance(2);
    EXPECT_EQ(xg_rec(lan), nullptr);
    EXPECT_FALSE(pim_minfo_ilist_test(xg()->joined_olist_p, lan->if_index));
    pim_jp_tx_flush(lan);
    EXPECT_EQ(lan->stats.pkt_stats_tx.jp_pkts, before + 1) << "prune echo";
}

TEST_F(JpTest, LastXgPruneEndsTheGroupsSptHold)
{
    xg_join(lan, 210);
    xg_join(lan2, 210);
    ASSERT_EQ(pim_minfo_spt_sg_create(daemon_p, 7, &S, &G), PIM_STATUS_OK);
    auto spt_held = [this] {
        t_pim_minfo *sg = entry(PIM_TYPE_SG, "239.1.1.1", "10.2.2.2");
        return sg != nullptr && (sg->minfo_flags & PIM_MINFO_FLAG_SPT) != 0;
    };
    ASSERT_TRUE(spt_held());
    xg_prune(lan);
    advance(1);
    EXPECT_TRUE(spt_held()) << "lan2 still wants the group";
    xg_prune(lan2);
    advance(1);
    EXPECT_EQ(xg(), nullptr);
    EXPECT_FALSE(spt_held());
}

TEST_F(JpTest, XgJoinDuringPrunePendingCancelsThePrune)
{
    add_nbrs(lan, 2);
    xg_join(lan, 210);
    xg_prune(lan);
    xg_join(lan, 210);
    t_pim_if_minfo *r = xg_rec(lan);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->ds_state, PIM_IF_DSTREAM_JOINED);
    EXPECT_FALSE(timer_is_active(r->prune_pending_timer));
    advance(10);
    ASSERT_EQ(xg_rec(lan), r);
    EXPECT_TRUE(pim_minfo_ilist_test(xg()->joined_olist_p, lan->if_index));
}

TEST_F(JpTest, XgEventsWithoutTransitionAndExpiryInPrunePending)
{
    xg_join(lan2, PIM_JP_HOLDTIME_FOREVER);
    t_pim_if_minfo *r = pim_if_minfo_find_or_create(lan, xg());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(pim_jp_dstream_sm_prune_xg(lan, r), 0);
    EXPECT_EQ(r->ds_state, PIM_IF_DSTREAM_NOINFO) << "Prune in NOINFO";
    EXPECT_FALSE(timer_is_active(r->prune_pending_timer));
    (void)pim_jp_dstream_sm_jt_expiry_xg(r);
    (void)pim_jp_dstream_sm_ppt_expiry_xg(r);
    EXPECT_EQ(r->ds_state, PIM_IF_DSTREAM_NOINFO) << "timers cannot fire in NOINFO";
    (void)pim_jp_dstream_sm_join_xg(lan, r, 210);
    (void)pim_jp_dstream_sm_ppt_expiry_xg(r);
    EXPECT_EQ(r->ds_state, PIM_IF_DSTREAM_JOINED) << "no PPT in JOINED";

    // ET expiry while the prune is pending.
    add_nbrs(lan, 2);
    xg_join(lan, 2);
    xg_prune(lan);
    advance(2);
    EXPECT_EQ(xg_rec(lan), nullptr);
    EXPECT_FALSE(pim_minfo_ilist_test(xg()->joined_olist_p, lan->if_index));
}

TEST_F(JpTest, SgJoinAndPruneRunTheSameMachine)
{
    jp_unit([&] { EXPECT_EQ(pim_jp_sg_join(lan, &G, &S, 210), 0); });
    t_pim_minfo *sg = entry(PIM_TYPE_SG, "239.1.1.1", "10.2.2.2");
    ASSERT_NE(sg, nullptr);
    t_pim_if_minfo *r = rec(lan, PIM_TYPE_SG, "239.1.1.1", "10.2.2.2");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->ds_state, PIM_IF_DSTREAM_JOINED);
    EXPECT_TRUE(pim_minfo_ilist_test(sg->joined_olist_p, lan->if_index));
    jp_unit([&] { EXPECT_EQ(pim_jp_sg_prune(lan, &G, &S), 0); });
    EXPECT_EQ(r->ds_state, PIM_IF_DSTREAM_PRUNE_PENDING);
    advance(1);
    EXPECT_EQ(entry(PIM_TYPE_SG, "239.1.1.1", "10.2.2.2"), nullptr);
    jp_unit([&] { EXPECT_EQ(pim_jp_sg_prune(lan, &G, &S), 0) << "nothing to prune"; });
    EXPECT_EQ(avl_numnodes(&vpn_p->minfo_db), 0u);
}

// (S,G,rpt) records.

TEST_F(JpTest, SgrptPruneGoesPrunePendingThenPruned)
{
    xg_join(lan, PIM_JP_HOLDTIME_FOREVER);
    rpt_prune(lan, 210);
    t_pim_if_minfo *r = rpt_rec(lan);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->ds_state, PIM_IF_DSTREAM_PRUNE_PENDING);
    EXPECT_TRUE(timer_is_active(r->jp_expiry_timer));
    EXPECT_TRUE(timer_is_active(r->prune_pending_timer));
    EXPECT_FALSE(pim_minfo_ilist_test(rpt()->pruned_olist_p, lan->if_index));
    rpt_prune(lan, 210);
    EXPECT_EQ(r->ds_state, PIM_IF_DSTREAM_PRUNE_PENDING);
    EXPECT_EQ(tmp_list_len(), 0u);

    advance(1);
    EXPECT_EQ(r->ds_state, PIM_IF_DSTREAM_PRUNED);
    EXPECT_TRUE(pim_minfo_ilist_test(rpt()->pruned_olist_p, lan->if_index));
    EXPECT_FALSE(timer_is_active(r->jp_expiry_timer)) << "both timers stop on PRUNED";
    EXPECT_FALSE(timer_is_active(r->prune_pending_timer));
    advance(300);
    EXPECT_EQ(rpt_rec(lan), r) << "PRUNED until told otherwise";
}

TEST_F(JpTest, SgrptPrunedRefreshedThenExpires)
{
    pruned_source();
    rpt_prune(lan, 20);
    t_pim_if_minfo *r = rpt_rec(lan);
    EXPECT_EQ(r->ds_state, PIM_IF_DSTREAM_PRUNED);
    EXPECT_TRUE(timer_is_active(r->jp_expiry_timer));
    advance(20);
    EXPECT_EQ(rpt_rec(lan), nullptr);
    EXPECT_EQ(rpt(), nullptr) << "last record of the (S,G,rpt) entry";
}

TEST_F(JpTest, SgrptJoinEndsThePruneInEveryState)
{
    pruned_source();
    jp_unit([&] { EXPECT_EQ(pim_jp_sgrpt_join(lan, &G, &S, 210), 0); });
    EXPECT_EQ(rpt_rec(lan), nullptr);
    EXPECT_EQ(rpt(), nullptr);

    rpt_prune(lan, 210);
    ASSERT_EQ(rpt_rec(lan)->ds_state, PIM_IF_DSTREAM_PRUNE_PENDING);
    jp_unit([&] { EXPECT_EQ(pim_jp_sgrpt_join(lan, &G, &S, 210), 0); });
    EXPECT_EQ(rpt_rec(lan), nullptr);
    advance(2);
    EXPECT_EQ(rpt(), nullptr) << "the cancelled PPT never fires";

    jp_unit([&] { EXPECT_EQ(pim_jp_sgrpt_join(lan, &G, &S, 210), 1) << "no state to cancel"; });
}

TEST_F(JpTest, SgrptExpiryBeforeThePruneTookEffect)
{
    add_nbrs(lan, 2);
    xg_join(lan, PIM_JP_HOLDTIME_FOREVER);
    rpt_prune(lan, 1); // shorter than the prune-pending time
    advance(1);
    EXPECT_EQ(rpt_rec(lan), nullptr);
    EXPECT_EQ(rpt(), nullptr);
    EXPECT_NE(xg(), nullptr);
}

TEST_F(JpTest, XgJoinWithSgrptPruneKeepsThePrune)
{
    pruned_source();
    t_pim_if_minfo *r = rpt_rec(lan);
    jp_unit([&] {
        EXPECT_EQ(pim_jp_xg_join(lan, &G, &RP, 210), 0);
        EXPECT_EQ(r->ds_state, PIM_IF_DSTREAM_PRUNE_TMP);
        EXPECT_EQ(tmp_list_len(), 1u);
        EXPECT_EQ(pim_jp_sgrpt_prune(lan, &G, &S, 210), 0);
        EXPECT_EQ(r->ds_state, PIM_IF_DSTREAM_PRUNED);
        EXPECT_EQ(tmp_list_len(), 0u) << "end of message finds nothing";
    });
    ASSERT_EQ(rpt_rec(lan), r);
    EXPECT_EQ(r->ds_state, PIM_IF_DSTREAM_PRUNED);
    EXPECT_TRUE(pim_minfo_ilist_test(rpt()->pruned_olist_p, lan->if_index));
    EXPECT_TRUE(timer_is_active(r->jp_expiry_timer)) << "ET restarted";
}

TEST_F(JpTest, XgJoinWithoutSgrptPruneEndsThePruneAtEndOfMessage)
{
    pruned_source();
    jp_unit([&] {
        EXPECT_EQ(pim_jp_xg_join(lan, &G, &RP, 210), 0);
        EXPECT_EQ(pim_jp_xg_join(lan, &G, &RP, 210), 0); // a second (*,G) event
        EXPECT_EQ(rpt_rec(lan)->ds_state, PIM_IF_DSTREAM_PRUNE_TMP) << "stays queued";
        EXPECT_EQ(tmp_list_len(), 1u);
    });
    EXPECT_EQ(tmp_list_len(), 0u);
    EXPECT_EQ(rpt_rec(lan), nullptr);
    EXPECT_EQ(rpt(), nullptr);

    // Same from PRUNE-PEND, through a (*,G) Prune: the pending prune is dropped.
    rpt_prune(lan, 210);
    jp_unit([&] {
        EXPECT_EQ(pim_jp_xg_prune(lan, &G, &RP), 0);
        EXPECT_EQ(rpt_rec(lan)->ds_state, PIM_IF_DSTREAM_PRUNE_PENDING_TMP);
    });
    EXPECT_EQ(rpt_rec(lan), nullptr);
    EXPECT_EQ(xg_rec(lan)->ds_state, PIM_IF_DSTREAM_PRUNE_PENDING);
}

TEST_F(JpTest, XgJoinThenSgrptJoinLeavesNothingForEndOfMessage)
{
    pruned_source();
    jp_unit([&] {
        EXPECT_EQ(pim_jp_xg_join(lan, &G, &RP, 210), 0);
        lan->xg_join = true; // as the receive path marks it
        EXPECT_EQ(pim_jp_sgrpt_join(lan, &G, &S, 210), 0);
        EXPECT_FALSE(lan->xg_join);
        EXPECT_EQ(tmp_list_len(), 0u);
        EXPECT_EQ(rpt_rec(lan), nullptr);
    });
    EXPECT_EQ(rpt(), nullptr);
    EXPECT_EQ(xg_rec(lan)->ds_state, PIM_IF_DSTREAM_JOINED);

    // The same with the (S,G,rpt) Join in a later group record of the unit
    // (no flag): the pruned bit does not outlive the record.
    xg_join(lan2, PIM_JP_HOLDTIME_FOREVER);
    rpt_prune(lan2, 210);
    pruned_source();
    jp_unit([&] {
        EXPECT_EQ(pim_jp_xg_join(lan, &G, &RP, 210), 0);
        EXPECT_EQ(pim_jp_sgrpt_join(lan, &G, &S, 210), 0);
    });
    EXPECT_EQ(rpt_rec(lan), nullptr);
    ASSERT_NE(rpt(), nullptr) << "still pruned on lan2";
    EXPECT_FALSE(pim_minfo_ilist_test(rpt()->pruned_olist_p, lan->if_index));
}

TEST_F(JpTest, PrunePendingSurvivesXgJoinWithItsPrune)
{
    xg_join(lan, PIM_JP_HOLDTIME_FOREVER);
    xg_join(lan2, PIM_JP_HOLDTIME_FOREVER);
    rpt_prune(lan, 210);
    rpt_prune(lan2, 210);
    jp_unit([&] {
        EXPECT_EQ(pim_jp_xg_join(lan, &G, &RP, 210), 0);
        EXPECT_EQ(rpt_rec(lan2)->ds_state, PIM_IF_DSTREAM_PRUNE_PENDING) << "other interface";
        EXPECT_EQ(pim_jp_sgrpt_prune(lan, &G, &S, 210), 0);
    });
    t_pim_if_minfo *r = rpt_rec(lan);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->ds_state, PIM_IF_DSTREAM_PRUNE_PENDING);
    EXPECT_TRUE(timer_is_active(r->prune_pending_timer)) << "the PPT keeps running";
    advance(1);
    EXPECT_EQ(r->ds_state, PIM_IF_DSTREAM_PRUNED);
}

// Handlers.

TEST_F(JpTest, AutoRpRpMismatchCreatesNothing)
{
    vpn_p->auto_rp_enabled = true;
    t_ipprefix range{};
    range.addr = pim_test_ip("239.0.0.0");
    range.prefixlen = 8;
    pim_rp_db_apply_mapping(vpn_p, nullptr, &range, &RP);
    t_ipaddr wrong = pim_test_ip("10.0.0.9");
    jp_unit([&] { EXPECT_EQ(pim_jp_xg_join(lan, &G, &wrong, 210), 1); });
    EXPECT_EQ(avl_numnodes(&vpn_p->minfo_db), 0u);
    EXPECT_EQ(avl_numnodes(&lan->minfo_db), 0u);
    xg_join(lan, 210);
    EXPECT_NE(xg(), nullptr);

    // Groups without a mapping, and VPNs without Auto-RP, take the Join's RP.
    t_ipaddr other = pim_test_ip("232.1.1.1");
    jp_unit([&] { EXPECT_EQ(pim_jp_xg_join(lan, &other, &wrong, 210), 0); });
    vpn_p->auto_rp_enabled = false;
    t_ipaddr g2 = pim_test_ip("239.9.9.9");
    jp_unit([&] { EXPECT_EQ(pim_jp_xg_join(lan, &g2, &wrong, 210), 0); });
    EXPECT_NE(entry(PIM_TYPE_XG, "239.9.9.9"), nullptr);
}

TEST_F(JpTest, SgrptPruneWithoutXgCreatesNothing)
{
    jp_unit([&] { EXPECT_EQ(pim_jp_sgrpt_prune(lan, &G, &S, 210), 1); });
    EXPECT_EQ(avl_numnodes(&vpn_p->minfo_db), 0u);
    EXPECT_EQ(avl_numnodes(&lan->minfo_db), 0u);
    EXPECT_EQ(avl_numnodes(&vpn_p->nhres_db), 0u);
    jp_unit([&] { EXPECT_EQ(pim_jp_xg_prune(lan, &G, &RP), 0) << "nothing to prune"; });
}

TEST_F(JpTest, SourceActiveNeedsServiceSideOrLocalReceivers)
{
    t_ipaddr site = pim_test_ip("172.16.0.2");
    t_pim_if *tun = pim_if_tunnel_create(vpn_p, &site, 7);
    ASSERT_NE(tun, nullptr);
    jp_unit([&] { EXPECT_EQ(pim_jp_sa_join(tun, &G, &S, PIM_JP_HOLDTIME_FOREVER), 0); });
    EXPECT_EQ(avl_numnodes(&vpn_p->minfo_db), 0u) << "no (*,G) entry";

    jp_unit(
        [&] { EXPECT_EQ(pim_et_jp_join(PIM_TYPE_XG, tun, &G, &RP, PIM_JP_HOLDTIME_FOREVER), 0); });
    jp_unit(
        [&] { EXPECT_EQ(pim_et_jp_join(PIM_TYPE_SA, tun, &G, &S, PIM_JP_HOLDTIME_FOREVER), 0); });
    EXPECT_EQ(entry(PIM_TYPE_SG, "239.1.1.1", "10.2.2.2"), nullptr) << "only overlay receivers";
    jp_unit([&] { EXPECT_EQ(pim_et_jp_prune(PIM_TYPE_SA, tun, &G, &S), 0); });
    EXPECT_EQ(pim_jp_sa_join(nullptr, &G, &S, PIM_JP_HOLDTIME_FOREVER), 1);
    EXPECT_EQ(pim_jp_sa_prune(nullptr, &G, &S), 1);
}

std::string jp_cmd(std::vector<const char *> args) { return pim_sim_cmd(pim_jp_test, args); }

TEST_F(JpTest, OperatorJoinAndPrune)
{
    const char *any = "0.0.0.0";
    EXPECT_EQ(jp_cmd({"move", "239.1.1.1", any, "10.0.0.1", "7", "ge0/1"}),
              "Valid input is add or delete but not move\n");
    EXPECT_EQ(jp_cmd({"add", "239.1.1.1", any, "10.0.0.1", "7", ""}), "Invalid interface name \n");
    EXPECT_EQ(jp_cmd({"add", "239.1.1.1", any, "224.1.1.1", "7", "ge0/1"}),
              "Please provide proper RP address for (*,G) entry: 224.1.1.1 not valid unicast "
              "address\n");
    EXPECT_EQ(jp_cmd({"add", "239.1.1.1", "224.2.2.2", "10.0.0.1", "7", "ge0/1"}),
              "Please provide proper Srouce address for (S,G) entry: 224.2.2.2 not valid unicast "
              "address\n");
    EXPECT_EQ(jp_cmd({"add", "239.1.1.1", any, "10.0.0.1", "99", "ge0/1"}), "Can't find vpn 99\n");
    EXPECT_EQ(jp_cmd({"add", "239.1.1.1", any, "10.0.0.1", "7", "ge0/1"}),
              "PIM is not enabled on vpn 7\n");
    vpn_p->pim_enabled = true;
    EXPECT_EQ(jp_cmd({"add", "239.1.1.1", any, "10.0.0.1", "7", "ge0/9"}),
              "Can't find interface 7: ge0/9\n");
    lan->pim_enabled = false;
    EXPECT_EQ(jp_cmd({"add", "239.1.1.1", any, "10.0.0.1", "7", "ge0/1"}),
              "PIM is not enabled on interface 7: ge0/1\n");
    lan->pim_enabled = true;
    EXPECT_EQ(avl_numnodes(&vpn_p->minfo_db), 0u) << "refused commands change nothing";

    EXPECT_EQ(jp_cmd({"add", "239.1.1.1", any, "10.0.0.1", "7", "ge0/1"}),
              "Join (0.0.0.0, 239.1.1.1) RP: 10.0.0.1 on 7:ge0/1\n");
    ASSERT_NE(xg_rec(lan), nullptr);
    EXPECT_EQ(xg_rec(lan)->ds_state, PIM_IF_DSTREAM_JOINED);
    EXPECT_FALSE(timer_is_active(xg_rec(lan)->jp_expiry_timer));
    EXPECT_EQ(jp_cmd({"add", "239.1.1.1", "10.2.2.2", "10.0.0.1", "7", "ge0/1"}),
              "Join (10.2.2.2, 239.1.1.1) RP: 10.0.0.1 on 7:ge0/1\n");
    EXPECT_NE(rec(lan, PIM_TYPE_SG, "239.1.1.1", "10.2.2.2"), nullptr);
    EXPECT_EQ(jp_cmd({"delete", "239.1.1.1", any, "10.0.0.1", "7", "ge0/1"}),
              "Prune (0.0.0.0, 239.1.1.1) RP: 10.0.0.1 on 7:ge0/1\n");
    EXPECT_EQ(xg_rec(lan)->ds_state, PIM_IF_DSTREAM_PRUNE_PENDING);
}

} // namespace
