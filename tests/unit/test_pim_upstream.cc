// Upstream state of routing entries driven through the Join/Prune handlers,
// with next hops filled as the route table manager reports them, neighbors
// learned from Hellos, and the Joins and Prunes sent upstream recorded.
#include <cstddef>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "daemon/pim_jp.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_minfo_upstream.h"
#include "daemon/pim_pkt.h"
#include "tests/unit/pim_test_env.h"
#include "zconfd/zconfd.h"

namespace
{

std::vector<std::string> g_sent;

const char *type_label(e_pim_type type)
{
    return type == PIM_TYPE_XG ? "*G" : type == PIM_TYPE_SG ? "SG" : "SGR";
}

long test_clock() { return static_cast<long>(g_pim_test_now.tv_sec - 1000); }

// "J *G 10.1.1.2@eth0 t1": Join or Prune, entry type, neighbor, interface
// (F before the J or P and no interface: over the overlay), seconds since start.
void record(const char *op, const t_pim_minfo *m, const t_ipaddr *up, const t_pim_if *if_p)
{
    g_sent.push_back(std::string(op) + " " + type_label(m->type) + " " + ipaddr_str(up).c +
                     (if_p != nullptr ? std::string("@") + if_p->user_name : "") + " t" +
                     std::to_string(test_clock()));
}

e_pim_status record_pkt(t_pim_if *if_p, t_pim_minfo *minfo_p, const t_ipaddr *upstream, bool prune)
{
    record(prune ? "P" : "J", minfo_p, upstream, if_p);
    return PIM_STATUS_OK;
}

void record_fab(t_pim_minfo *minfo_p, const t_ipaddr *upstream, bool join)
{
    record(join ? "FJ" : "FP", minfo_p, upstream, nullptr);
}

constexpr const char *GROUP = "239.1.1.1";
constexpr const char *RP = "10.9.9.9";
constexpr const char *SRC = "10.7.7.7";

struct UpstreamTest : PimRoutingTest {
    t_pim_minfo_tx_ops saved = g_pim_minfo_tx_ops;
    t_ipaddr group = pim_test_ip(GROUP);
    t_ipaddr rp = pim_test_ip(RP);
    t_ipaddr src = pim_test_ip(SRC);
    t_pim_if *eth0 = nullptr; // towards the RP
    t_pim_if *eth1 = nullptr; // downstream
    t_pim_if *eth2 = nullptr; // towards the source

    void SetUp() override
    {
        PimRoutingTest::SetUp();
        g_sent.clear();
        g_pim_minfo_tx_ops = {record_pkt, record_fab};
        eth0 = running_if("eth0", 0x0A010101, 24);
        eth1 = running_if("eth1", 0x0A020203, 24);
        eth2 = running_if("eth2", 0x0A030304, 24);
        hello(eth0, "10.1.1.2");
        hello(eth2, "10.3.3.5");
    }

    void TearDown() override
    {
        PimRoutingTest::TearDown();
        g_pim_minfo_tx_ops = saved;
    }

    void hello(t_pim_if *if_p, const char *addr)
    {
        t_ipaddr a = pim_test_ip(addr);
        ASSERT_EQ(pim_nbr_process_hello(if_p, &a, 105000, 1, 1, 500, 2500), PIM_STATUS_OK);
    }

    // The record of an address with its next hops cleared, to be refilled.
    t_pim_next_hop *route(const char *addr)
    {
        t_ipaddr a = pim_test_ip(addr);
        t_pim_next_hop *nh = pim_nhres_find(vpn_p, &a, nullptr);
        EXPECT_NE(nh, nullptr) << addr;
        nh->num_nh = 0;
        nh->route_type = 0;
        return nh;
    }

    // What the route table manager's update does after rewriting a record.
    void routed(const char *addr)
    {
        t_ipaddr a = pim_test_ip(addr);
        pim_nhres_update_addr(vpn_p, &a);
    }

    void via(const char *addr, const char *gw, t_pim_if *if_p)
    {
        pim_test_service_nh(route(addr), gw, if_p);
        routed(addr);
    }

    void xg_join(t_pim_if *if_p, uint16_t holdtime = PIM_JP_HOLDTIME_FOREVER)
    {
        jp_unit([&] { EXPECT_EQ(pim_jp_xg_join(if_p, &group, &rp, holdtime), 0); });
    }

    void sg_join(t_pim_if *if_p, const t_ipaddr *s, uint16_t holdtime = PIM_JP_HOLDTIME_FOREVER)
    {
        jp_unit([&] { EXPECT_EQ(pim_jp_sg_join(if_p, &group, s, holdtime), 0); });
    }

    std::vector<std::string> took()
    {
        std::vector<std::string> out;
        out.swap(g_sent);
        return out;
    }

    // A (*,G) entry with a member on eth1, joined to 10.1.1.2, its triggered
    // refresh already sent.
    t_pim_minfo *joined_xg()
    {
        xg_join(eth1);
        via(RP, "10.1.1.2", eth0);
        advance(1);
        took();
        t_pim_minfo *xg = entry(PIM_TYPE_XG, GROUP);
        EXPECT_NE(xg, nullptr);
        return xg;
    }

    // The sources a (*,G) Join built now would carry as (S,G,rpt) prunes.
    std::vector<std::string> xg_prunes(t_pim_minfo *xg)
    {
        avl_tree_t tree{};
        avl_create(&tree, pim_minfo_sgrpt_prune_cmp, sizeof(t_pim_pkt_sgrpt_prune),
                   offsetof(t_pim_pkt_sgrpt_prune, node));
        pim_pkt_prepare_xg_join_sgrpt_prunes(vpn_p, xg, &tree);
        std::vector<std::string> out;
        void *cookie = nullptr;
        while (auto *p = static_cast<t_pim_pkt_sgrpt_prune *>(avl_destroy_nodes(&tree, &cookie))) {
            out.emplace_back(ipaddr_str(&p->sgrpt_p->source).c);
            pim_delete(p);
        }
        avl_destroy(&tree);
        return out;
    }

    using strs = std::vector<std::string>;
};

TEST_F(UpstreamTest, JoinAtOnceThenTriggeredThenEveryInterval)
{
    // Membership before the RP is resolved: no upstream neighbor yet.
    xg_join(eth1);
    t_pim_minfo *xg = entry(PIM_TYPE_XG, GROUP);
    ASSERT_NE(xg, nullptr);
    EXPECT_EQ(xg->upstream_state, PIM_UPSTREAM_NOT_JOINED);
    EXPECT_TRUE(took().empty());

    // Resolved through a neighbor that is not there yet; the Hello brings it.
    via(RP, "10.1.1.9", eth0);
    EXPECT_TRUE(took().empty());
    hello(eth0, "10.1.1.9");
    EXPECT_EQ(took(), strs{"J *G 10.1.1.9@eth0 t0"});
    EXPECT_EQ(xg->upstream_state, PIM_UPSTREAM_JOINED);
    EXPECT_EQ(xg->rpf_nbr_if, eth0->if_index);
    EXPECT_TRUE(xg->minfo_flags & PIM_MINFO_FLAG_FTM);
    EXPECT_TRUE(pim_minfo_ilist_test(xg->inherited_olist_p, eth1->if_index));

    // Its own change to JOINED refreshes it a second later, then the
    // interface's join interval (60 s) paces it.
    advance(1);
    EXPECT_EQ(took(), strs{"J *G 10.1.1.9@eth0 t1"});
    advance(59);
    EXPECT_TRUE(took().empty());
    advance(1);
    EXPECT_EQ(took(), strs{"J *G 10.1.1.9@eth0 t61"});

    // A new join-prune interval restarts the timer with it.
    advance(5);
    pim_if_config_update_jp_interval(daemon_p, vpn_p, eth0, 10);
    advance(10);
    advance(10);
    EXPECT_EQ(took(), (strs{"J *G 10.1.1.9@eth0 t76", "J *G 10.1.1.9@eth0 t86"}));

    // The member leaves: Prune upstream, and the entry goes with its interest.
    jp_unit([&] { EXPECT_EQ(pim_jp_xg_prune(eth1, &group, &rp), 0); });
    advance(1);
    EXPECT_EQ(took(), strs{"P *G 10.1.1.9@eth0 t87"});
    EXPECT_EQ(entry(PIM_TYPE_XG, GROUP), nullptr);
    advance(120);
    EXPECT_TRUE(took().empty());
}

TEST_F(UpstreamTest, RpfNeighborChoiceAndChange)
{
    hello(eth0, "10.1.1.9");
    xg_join(eth1);
    // Two service neighbors: the higher address wins.
    t_pim_next_hop *nh = route(RP);
    pim_test_service_nh(nh, "10.1.1.2", eth0);
    pim_test_service_nh(nh, "10.1.1.9", eth0);
    routed(RP);
    EXPECT_EQ(took(), strs{"J *G 10.1.1.9@eth0 t0"});
    advance(1);
    took();

    // A to B: Prune to A, Join to B, and B's interface paces the refresh.
    pim_if_config_update_jp_interval(daemon_p, vpn_p, eth2, 20);
    via(RP, "10.3.3.5", eth2);
    EXPECT_EQ(took(), (strs{"P *G 10.1.1.9@eth0 t1", "J *G 10.3.3.5@eth2 t1"}));
    t_pim_minfo *xg = entry(PIM_TYPE_XG, GROUP);
    EXPECT_EQ(xg->rpf_nbr_if, eth2->if_index);
    advance(19);
    EXPECT_TRUE(took().empty());
    advance(1);
    EXPECT_EQ(took(), strs{"J *G 10.3.3.5@eth2 t21"});

    // Across the overlay: the tunnel neighbor gets the join over FAB.
    t_ipaddr site = pim_test_ip("172.16.0.9");
    t_pim_if *tun = pim_if_tunnel_create(vpn_p, &site, 0);
    ASSERT_NE(tun, nullptr);
    ASSERT_NE(pim_nbr_tunnel_find_or_create(tun, &site), nullptr);
    pim_test_overlay_nh(route(RP), "172.16.0.9", 0);
    routed(RP);
    EXPECT_EQ(took(), (strs{"P *G 10.3.3.5@eth2 t21", "FJ *G 172.16.0.9 t21"}));

    // A service neighbor beats the overlay one.
    nh = route(RP);
    pim_test_overlay_nh(nh, "172.16.0.9", 0);
    pim_test_service_nh(nh, "10.1.1.2", eth0);
    routed(RP);
    EXPECT_EQ(took(), (strs{"FP *G 172.16.0.9 t21", "J *G 10.1.1.2@eth0 t21"}));

    // Route lost: Prune to the old neighbor, NOT-JOINED, forwarding removed.
    route(RP);
    routed(RP);
    EXPECT_EQ(took(), strs{"P *G 10.1.1.2@eth0 t21"});
    EXPECT_EQ(xg->upstream_state, PIM_UPSTREAM_NOT_JOINED);
    EXPECT_FALSE(xg->minfo_flags & PIM_MINFO_FLAG_FTM);
    EXPECT_EQ(xg->rpf_nbr_if, 0u);
}

TEST_F(UpstreamTest, DirectlyConnectedSource)
{
    t_pim_if *eth3 = running_if("eth3", 0x0A050506, 24);
    t_ipaddr s = pim_test_ip("10.5.5.50");
    sg_join(eth1, &s);
    t_pim_minfo *sg = entry(PIM_TYPE_SG, GROUP, "10.5.5.50");
    ASSERT_NE(sg, nullptr);
    t_pim_next_hop *nh = route("10.5.5.50");
    nh->route_type = PIM_ROUTE_TYPE_CONNECT;
    pim_test_service_nh(nh, "0.0.0.0", eth3);
    routed("10.5.5.50");
    EXPECT_TRUE(took().empty());
    EXPECT_EQ(sg->upstream_state, PIM_UPSTREAM_NOT_JOINED);
    EXPECT_EQ(sg->direct_source_if, eth3->if_index);
    EXPECT_TRUE(sg->minfo_flags & PIM_MINFO_FLAG_FTM);

    // Joined through a neighbor, then the source is connected again: the
    // neighbor is pruned and no longer refreshed; forwarding stays.
    via("10.5.5.50", "10.3.3.5", eth2);
    EXPECT_EQ(took(), strs{"J SG 10.3.3.5@eth2 t0"});
    nh = route("10.5.5.50");
    nh->route_type = PIM_ROUTE_TYPE_CONNECT;
    pim_test_service_nh(nh, "0.0.0.0", eth3);
    routed("10.5.5.50");
    EXPECT_EQ(took(), strs{"P SG 10.3.3.5@eth2 t0"});
    EXPECT_EQ(sg->direct_source_if, eth3->if_index);
    EXPECT_TRUE(sg->minfo_flags & PIM_MINFO_FLAG_FTM);
    advance(61);
    EXPECT_TRUE(took().empty());

    // The last receiver goes: forwarding removed and the entry deleted.
    jp_unit([&] { EXPECT_EQ(pim_jp_sg_prune(eth1, &group, &s), 0); });
    advance(1);
    EXPECT_EQ(entry(PIM_TYPE_SG, GROUP, "10.5.5.50"), nullptr);
    EXPECT_TRUE(took().empty());
}

TEST_F(UpstreamTest, SptSwitchover)
{
    t_pim_minfo *xg = joined_xg();
    ASSERT_EQ(pim_minfo_spt_sg_create(daemon_p, 7, &src, &group), PIM_STATUS_OK);
    t_pim_minfo *sg = entry(PIM_TYPE_SG, GROUP, SRC);
    ASSERT_NE(sg, nullptr);
    EXPECT_TRUE(sg->minfo_flags & PIM_MINFO_FLAG_SPT);
    EXPECT_TRUE(took().empty()); // the source is not resolved yet

    // Joined towards the source; its change to JOINED brings the (*,G) Join
    // (with its (S,G,rpt) prune) a second later.
    via(SRC, "10.3.3.5", eth2);
    EXPECT_EQ(took(), strs{"J SG 10.3.3.5@eth2 t1"});
    EXPECT_TRUE(sg->minfo_flags & PIM_MINFO_FLAG_SA);
    EXPECT_EQ(xg_prunes(xg), strs{SRC});
    advance(1);
    EXPECT_EQ(took(), strs{"J *G 10.1.1.2@eth0 t2"});

    // A receiver comes and goes: the SPT flag keeps the entry.
    sg_join(eth1, &src, 3);
    advance(4);
    took();
    ASSERT_EQ(entry(PIM_TYPE_SG, GROUP, SRC), sg);

    ASSERT_EQ(pim_minfo_spt_sg_delete(daemon_p, 7, &src, &group), PIM_STATUS_OK);
    EXPECT_EQ(took(), strs{"P SG 10.3.3.5@eth2 t6"});
    EXPECT_EQ(entry(PIM_TYPE_SG, GROUP, SRC), nullptr);
    EXPECT_EQ(pim_minfo_spt_sg_delete(daemon_p, 7, &src, &group), PIM_STATUS_FAIL);
    EXPECT_EQ(pim_minfo_spt_sg_create(daemon_p, 99, &src, &group), PIM_STATUS_FAIL);
    advance(1);
    EXPECT_EQ(took(), strs{"J *G 10.1.1.2@eth0 t7"});

    // The threshold back at infinity releases every SPT entry, and only those.
    t_ipaddr s1 = pim_test_ip("10.7.7.1");
    t_ipaddr s2 = pim_test_ip("10.7.7.2");
    t_ipaddr s3 = pim_test_ip("10.7.7.3");
    ASSERT_EQ(pim_minfo_spt_sg_create(daemon_p, 7, &s1, &group), PIM_STATUS_OK);
    ASSERT_EQ(pim_minfo_spt_sg_create(daemon_p, 7, &s2, &group), PIM_STATUS_OK);
    sg_join(eth1, &s3);
    via("10.7.7.1", "10.3.3.5", eth2);
    pim_minfo_spt_sg_delete_all(vpn_p);
    EXPECT_EQ(entry(PIM_TYPE_SG, GROUP, "10.7.7.1"), nullptr);
    EXPECT_EQ(entry(PIM_TYPE_SG, GROUP, "10.7.7.2"), nullptr);
    ASSERT_NE(entry(PIM_TYPE_SG, GROUP, "10.7.7.3"), nullptr);
    EXPECT_FALSE(entry(PIM_TYPE_SG, GROUP, "10.7.7.3")->minfo_flags & PIM_MINFO_FLAG_SPT);
    EXPECT_EQ(xg, entry(PIM_TYPE_XG, GROUP));
}

TEST_F(UpstreamTest, SgRptPruneAndJoin)
{
    t_pim_minfo *xg = joined_xg();
    // A downstream Prune(S,G,rpt) empties the source's shared-tree list:
    // Prune(S,G,rpt) upstream, PRUNED, and the (*,G) Join a second later.
    jp_unit([&] { EXPECT_EQ(pim_jp_sgrpt_prune(eth1, &group, &src, 210), 0); });
    t_pim_minfo *rpt = entry(PIM_TYPE_SG_RPT, GROUP, SRC);
    ASSERT_NE(rpt, nullptr);
    EXPECT_EQ(rpt->upstream_state, PIM_UPSTREAM_NOT_PRUNED);
    EXPECT_TRUE(rpt->macro_result & PIM_MACRO_SGRPT_EQUAL);
    // The (*,G) refresh was already due within the second: it is not pushed
    // back and carries the new prune at once.
    advance(1);
    EXPECT_EQ(took(), (strs{"P SGR 10.1.1.2@eth0 t2", "J *G 10.1.1.2@eth0 t2"}));
    EXPECT_EQ(rpt->upstream_state, PIM_UPSTREAM_PRUNED);
    EXPECT_TRUE(rpt->macro_result & PIM_MACRO_PRUNE_DESIRED);
    EXPECT_EQ(xg_prunes(xg), strs{SRC});
    advance(1);
    EXPECT_TRUE(took().empty());

    // Still wanted on another interface: PruneDesired turns false, the source
    // is joined back on the shared tree.
    t_pim_if *eth3 = running_if("eth3", 0x0A050506, 24);
    xg_join(eth3);
    EXPECT_EQ(took(), strs{"J SGR 10.1.1.2@eth0 t3"});
    EXPECT_EQ(rpt->upstream_state, PIM_UPSTREAM_NOT_PRUNED);
    EXPECT_FALSE(rpt->macro_result & PIM_MACRO_PRUNE_DESIRED);
    EXPECT_TRUE(xg_prunes(xg).empty());

    // Its last record goes with a Join(S,G,rpt): the entry is deleted.
    jp_unit([&] { EXPECT_EQ(pim_jp_sgrpt_join(eth1, &group, &src, 210), 0); });
    EXPECT_EQ(entry(PIM_TYPE_SG_RPT, GROUP, SRC), nullptr);
    EXPECT_EQ(xg, entry(PIM_TYPE_XG, GROUP));
}

TEST_F(UpstreamTest, SgRptOutlivesItsSharedTree)
{
    t_pim_if *eth3 = running_if("eth3", 0x0A050506, 24);
    xg_join(eth3);
    via(RP, "10.1.1.2", eth0);
    advance(1);
    // The source pruned on eth1 while eth3 still takes it: no prune upstream.
    jp_unit([&] { EXPECT_EQ(pim_jp_sgrpt_prune(eth1, &group, &src, 65535), 0); });
    advance(1);
    t_pim_minfo *rpt = entry(PIM_TYPE_SG_RPT, GROUP, SRC);
    ASSERT_NE(rpt, nullptr);
    EXPECT_FALSE(rpt->macro_result & PIM_MACRO_PRUNE_DESIRED);
    took();

    // The shared tree goes; the entry stays for its record, off the tree.
    jp_unit([&] { EXPECT_EQ(pim_jp_xg_prune(eth3, &group, &rp), 0); });
    advance(1);
    EXPECT_EQ(took(), strs{"P *G 10.1.1.2@eth0 t3"});
    EXPECT_EQ(entry(PIM_TYPE_XG, GROUP), nullptr);
    ASSERT_EQ(entry(PIM_TYPE_SG_RPT, GROUP, SRC), rpt);
    EXPECT_FALSE(rpt->macro_result & PIM_MACRO_RPT_JOIN_DESIRED);
    EXPECT_NE(rpt->upstream_state, PIM_UPSTREAM_PRUNED);

    // It comes back through eth1 with the source still pruned there: the
    // entry prunes the source off the new shared tree.
    jp_unit([&] {
        EXPECT_EQ(pim_jp_xg_join(eth1, &group, &rp, PIM_JP_HOLDTIME_FOREVER), 0);
        EXPECT_EQ(pim_jp_sgrpt_prune(eth1, &group, &src, 65535), 0);
    });
    EXPECT_EQ(entry(PIM_TYPE_SG_RPT, GROUP, SRC), rpt);
    EXPECT_TRUE(rpt->macro_result & PIM_MACRO_RPT_JOIN_DESIRED);
    EXPECT_EQ(rpt->upstream_state, PIM_UPSTREAM_PRUNED);
    EXPECT_EQ(took(), (strs{"J *G 10.1.1.2@eth0 t3", "P SGR 10.1.1.2@eth0 t3"}));
}

TEST_F(UpstreamTest, PruneDesiredAgainstTheSourceTree)
{
    t_pim_minfo *xg = joined_xg();
    // Source tree through the RP's neighbor: no (S,G,rpt) prune needed.
    sg_join(eth1, &src);
    t_pim_minfo *sg = entry(PIM_TYPE_SG, GROUP, SRC);
    ASSERT_NE(sg, nullptr);
    via(SRC, "10.1.1.2", eth0);
    EXPECT_EQ(sg->upstream_state, PIM_UPSTREAM_JOINED);
    EXPECT_FALSE(pim_minfo_compute_prune_desired_sgrpt(sg));

    // Source tree through another neighbor: prune the source off the shared tree ...
    via(SRC, "10.3.3.5", eth2);
    EXPECT_TRUE(pim_minfo_compute_prune_desired_sgrpt(sg));
    // ... unless the (*,G) upstream interface is itself downstream of (S,G).
    hello(eth0, "10.1.1.20");
    sg_join(eth0, &src);
    EXPECT_TRUE(pim_minfo_ilist_test(sg->joined_olist_p, xg->rpf_nbr_if));
    EXPECT_FALSE(pim_minfo_compute_prune_desired_sgrpt(sg));
    // Without a (*,G) JoinDesired there is nothing to prune.
    xg->macro_result &= ~PIM_MACRO_JOIN_DESIRED;
    EXPECT_FALSE(pim_minfo_compute_prune_desired_sgrpt(sg));
    xg->macro_result |= PIM_MACRO_JOIN_DESIRED;
}

TEST_F(UpstreamTest, AssertCleanupRejoinsTheRpfNeighbor)
{
    t_pim_minfo *xg = joined_xg();
    hello(eth0, "10.1.1.7");
    t_ipaddr w = pim_test_ip("10.1.1.7");
    t_pim_nbr *winner = pim_nbr_find(eth0, &w, nullptr);
    ASSERT_NE(winner, nullptr);
    // The Assert machine moved the upstream neighbor to the winner; the
    // winner is gone now and the entry goes back to its RPF neighbor at once.
    xg->rpf_nbr_addr = w;
    pim_minfo_cleanup_nbr_xg(xg, winner);
    EXPECT_EQ(took(), (strs{"P *G 10.1.1.7@eth0 t1", "J *G 10.1.1.2@eth0 t1"}));
    EXPECT_EQ(xg->upstream_state, PIM_UPSTREAM_JOINED);
    EXPECT_EQ(xg->rpf_nbr_addr.u.addr4, 0x0A010102u);
    EXPECT_TRUE(xg->minfo_flags & PIM_MINFO_FLAG_FTM);
    EXPECT_TRUE(timer_is_active(xg->join_timer));
}

TEST_F(UpstreamTest, SourceActiveJoinDesired)
{
    // Receivers on a service-side interface want the overlay's sources.
    t_pim_minfo *xg = joined_xg();
    EXPECT_TRUE(pim_minfo_compute_join_desired_sa(xg));
    // Overlay receivers alone do not.
    pim_minfo_ilist_free(&xg->inherited_olist_p);
    pim_minfo_ilist_set(&xg->inherited_olist_p, PIM_IF_TUNNEL_IDX_BASE + 3);
    EXPECT_FALSE(pim_minfo_compute_join_desired_sa(xg));
    // Local members always do; no receivers at all never.
    pim_minfo_ilist_set(&xg->local_olist_p, eth1->if_index);
    EXPECT_TRUE(pim_minfo_compute_join_desired_sa(xg));
    pim_minfo_ilist_free(&xg->local_olist_p);
    pim_minfo_ilist_free(&xg->joined_olist_p);
    pim_minfo_ilist_set(&xg->inherited_olist_p, eth1->if_index);
    EXPECT_FALSE(pim_minfo_compute_join_desired_sa(xg));
    pim_minfo_ilist_set(&xg->joined_olist_p, eth1->if_index);
}

std::string spt_cmd(std::vector<const char *> args)
{
    return pim_sim_cmd(pim_minfo_spt_test, args);
}

// The values alone, in order; by name they are tested with the show tables.
TEST_F(UpstreamTest, SptTestCommand)
{
    EXPECT_EQ(spt_cmd({"move", GROUP, SRC, "7"}), "Valid input is add or delete but not move\n");
    EXPECT_EQ(spt_cmd({"add", GROUP, SRC, "99"}), "Can't find vpn 99\n");
    EXPECT_EQ(spt_cmd({"add", GROUP, SRC, "7"}), "PIM is not enabled on vpn 7\n");
    EXPECT_EQ(entry(PIM_TYPE_SG, GROUP, SRC), nullptr);
    vpn_p->pim_enabled = true;
    EXPECT_EQ(spt_cmd({"add", GROUP, SRC, "7"}), "Add (10.7.7.7, 239.1.1.1) 7\n");
    ASSERT_NE(entry(PIM_TYPE_SG, GROUP, SRC), nullptr);
    EXPECT_EQ(spt_cmd({"delete", GROUP, SRC, "7"}), "Delete (10.7.7.7, 239.1.1.1) 7\n");
    EXPECT_EQ(spt_cmd({"delete", GROUP, SRC, "7"}),
              "Delete (10.7.7.7, 239.1.1.1) 7\nFailed to delete SPT S,G entry\n");
}

} // namespace

namespace
{

// Join/Prunes of another downstream router on eth0 to upstream, as received.
struct LanTest : UpstreamTest {
    t_pim_pkt_src_addr srcs[1]{};
    t_pim_pkt_jp jp{};

    void see(const char *upstream, const t_ipaddr &source, uint8_t flags, bool prune)
    {
        srcs[0] = t_pim_pkt_src_addr{};
        srcs[0].source_addr.addr = source;
        srcs[0].source_addr.prefixlen = 32;
        srcs[0].wc_bit = (flags & PIM_SRC_FLAG_W) != 0;
        srcs[0].r_bit = (flags & PIM_SRC_FLAG_R) != 0;
        jp = t_pim_pkt_jp{};
        jp.holdtime = 210;
        jp.jp_group.group_address.group_addr.addr = group;
        jp.jp_group.num_joins = prune ? 0 : 1;
        jp.jp_group.num_prunes = prune ? 1 : 0;
        jp.jp_group.join_src_pp = srcs;
        jp.jp_group.prune_src_pp = srcs;
        t_ipaddr up = pim_test_ip(upstream);
        pim_minfo_see_other_jp(eth0, &up, &jp);
    }
};

constexpr uint8_t WC = PIM_SRC_FLAG_S | PIM_SRC_FLAG_W | PIM_SRC_FLAG_R;
constexpr uint8_t RPT = PIM_SRC_FLAG_S | PIM_SRC_FLAG_R;

TEST_F(LanTest, OtherRoutersJoinsSuppressOursAndTheirPrunesAreOverridden)
{
    hello(eth0, "10.1.1.7");
    t_pim_minfo *xg = joined_xg();
    ASSERT_EQ(xg->upstream_state, PIM_UPSTREAM_JOINED);
    int64_t left = timer_get_ticks_to_expiry(xg->join_timer);
    EXPECT_LE(left, 60);

    // A Join to another router changes nothing; one to ours pushes our
    // refresh out to 1.1 to 1.4 periods.
    see("10.1.1.9", rp, WC, false);
    EXPECT_EQ(timer_get_ticks_to_expiry(xg->join_timer), left);
    see("10.1.1.2", rp, WC, false);
    left = timer_get_ticks_to_expiry(xg->join_timer);
    EXPECT_GE(left, 66);
    EXPECT_LE(left, 84);
    advance(62);
    EXPECT_TRUE(took().empty()) << "suppressed past the period";

    // Its Prune of the (*,G) entry we still need: our Join within the
    // override interval, then the period again.
    see("10.1.1.2", rp, WC, true);
    EXPECT_LE(timer_get_ticks_to_expiry(xg->join_timer), 3);
    advance(3);
    ASSERT_EQ(took().size(), 1u);
    EXPECT_GE(timer_get_ticks_to_expiry(xg->join_timer), 57) << "the period again";

    // Its Prune of a source off the shared tree that we do not prune: our
    // (*,G) Join, without that prune, overrides it.
    see("10.1.1.2", src, RPT, true);
    EXPECT_LE(timer_get_ticks_to_expiry(xg->join_timer), 3);
    advance(3);
    EXPECT_EQ(took().size(), 1u);

    // With every neighbor tracking joins nothing is suppressed.
    t_pim_nbr_hello h{};
    h.holdtime = 105000;
    h.has_lan_delay = h.t_bit = h.has_dr_priority = h.has_gen_id = true;
    h.gen_id = 1;
    h.dr_priority = 1;
    for (const char *n : {"10.1.1.2", "10.1.1.7"}) {
        t_ipaddr a = pim_test_ip(n);
        ASSERT_EQ(pim_nbr_process_hello_rec(eth0, &a, h), PIM_STATUS_OK);
    }
    left = timer_get_ticks_to_expiry(xg->join_timer);
    see("10.1.1.2", rp, WC, false);
    EXPECT_EQ(timer_get_ticks_to_expiry(xg->join_timer), left);
}

} // namespace
