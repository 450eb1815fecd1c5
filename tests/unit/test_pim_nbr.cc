// Neighbors from Hellos: creation, refresh, expiry on the manager's clock,
// goodbye, generation id change, LAN delays, DR election, tunnel neighbors.
#include <cstring>

#include "tests/unit/pim_test_env.h"

namespace
{

constexpr uint32_t OWN = 0x0a000005; // 10.0.0.5
constexpr uint32_t N1 = 0x0a000001;
constexpr uint32_t N2 = 0x0a000002;

struct PimNbrTest : PimEnvTest {
    t_pim_if *if_p = nullptr;

    void SetUp() override
    {
        PimEnvTest::SetUp();
        if_p = running_if("ge0/1", OWN, 24);
    }

    e_pim_status hello(uint32_t from, uint32_t hold_ms, uint32_t prio, uint32_t genid = 1,
                       uint16_t prop = 500, uint16_t over = 2500)
    {
        t_ipaddr a = v4(from);
        return pim_nbr_process_hello(if_p, &a, hold_ms, prio, genid, prop, over);
    }

    // A Hello lacking the DR priority or the LAN Prune Delay option.
    e_pim_status hello_without(uint32_t from, uint32_t hold_ms, bool prio, bool lan_delay)
    {
        t_pim_nbr_hello h{};
        h.holdtime = hold_ms;
        h.gen_id = 1;
        h.has_gen_id = true;
        h.dr_priority = 1;
        h.has_dr_priority = !prio;
        h.prop_delay = 500;
        h.override_int = 2500;
        h.has_lan_delay = !lan_delay;
        t_ipaddr a = v4(from);
        return pim_nbr_process_hello_rec(if_p, &a, h);
    }

    t_pim_nbr *nbr(uint32_t addr)
    {
        t_ipaddr a = v4(addr);
        return pim_nbr_find(if_p, &a, nullptr);
    }

    uint32_t dr() const { return if_p->dr_nbr_p->nbr_addr.u.addr4; }
    uint32_t hellos_tried() const { return if_p->stats.pkt_stats_tx.failed_pkts; }
};

TEST_F(PimNbrTest, DrElectionByPriorityThenAddress)
{
    EXPECT_EQ(dr(), OWN) << "alone on the LAN";
    ASSERT_EQ(hello(N1, 105000, 100), PIM_STATUS_OK);
    ASSERT_EQ(hello(N2, 105000, 1), PIM_STATUS_OK);
    EXPECT_EQ(dr(), N1) << "priority 100 beats higher addresses";

    // One neighbor without a DR priority: everyone is compared by address.
    ASSERT_EQ(hello_without(N2, 105000, true, false), PIM_STATUS_OK);
    EXPECT_EQ(if_p->ignore_drpriority, 1u);
    EXPECT_EQ(dr(), OWN);
    ASSERT_EQ(hello(N2, 105000, 1), PIM_STATUS_OK);
    EXPECT_EQ(if_p->ignore_drpriority, 0u);
    EXPECT_EQ(dr(), N1);

    // ... or until that neighbor leaves.
    ASSERT_EQ(hello_without(N2, 105000, true, false), PIM_STATUS_OK);
    EXPECT_EQ(dr(), OWN);
    ASSERT_EQ(hello_without(N2, 0, true, false), PIM_STATUS_OK);
    EXPECT_EQ(nbr(N2), nullptr);
    EXPECT_EQ(if_p->ignore_drpriority, 0u);
    EXPECT_EQ(dr(), N1);

    // Equal priorities: the highest address wins, ours included.
    pim_if_config_update_dr_priority(daemon_p, vpn_p, if_p, 100);
    EXPECT_EQ(dr(), OWN);
    pim_if_config_update_dr_priority(daemon_p, vpn_p, if_p, 99);
    EXPECT_EQ(dr(), N1);
}

TEST_F(PimNbrTest, TriggeredHellosArePacedAndGoodbyesOfStrangersIgnored)
{
    uint32_t before = hellos_tried();
    ASSERT_EQ(hello(N1, 105000, 1), PIM_STATUS_OK);
    ASSERT_TRUE(timer_is_active(if_p->trig_hello_timer));
    EXPECT_LE(timer_get_ticks_to_expiry(if_p->trig_hello_timer), 5);
    ASSERT_EQ(hello(N2, 105000, 1), PIM_STATUS_OK);
    ASSERT_EQ(hello(N1, 105000, 1, 7), PIM_STATUS_OK) << "restart";
    advance(5);
    EXPECT_EQ(hellos_tried(), before + 1) << "one Hello for all triggers within the delay";
    ASSERT_EQ(hello(N1, 105000, 1, 7), PIM_STATUS_OK);
    advance(5);
    EXPECT_EQ(hellos_tried(), before + 1) << "a refresh sends nothing";

    // A goodbye from a router we do not know: no state, no Hello.
    t_ipaddr n3 = v4(0x0a000003);
    ASSERT_EQ(hello(0x0a000003, 0, 1), PIM_STATUS_OK);
    EXPECT_EQ(pim_nbr_find(if_p, &n3, nullptr), nullptr);
    EXPECT_FALSE(timer_is_active(if_p->trig_hello_timer));
    EXPECT_EQ(avl_numnodes(&if_p->nbr_db), 2u);
}

TEST_F(PimNbrTest, AbsentOptionsDifferFromZeroValues)
{
    // Priority 0 is announced: the lowest, not "unknown".
    constexpr uint32_t HI = 0x0a000009;
    ASSERT_EQ(hello(HI, 105000, 0), PIM_STATUS_OK);
    ASSERT_EQ(hello(N2, 105000, 0), PIM_STATUS_OK);
    EXPECT_EQ(if_p->ignore_drpriority, 0u);
    EXPECT_EQ(dr(), OWN) << "priority 1 beats 0 at a higher address";
    pim_if_config_update_dr_priority(daemon_p, vpn_p, if_p, 0);
    EXPECT_EQ(dr(), HI) << "all 0: the highest address";
    ASSERT_EQ(hello(HI, 0, 0), PIM_STATUS_OK);
    pim_if_config_update_dr_priority(daemon_p, vpn_p, if_p, 1);

    // A LAN Prune Delay of 0 is a value; the T bit is kept.
    t_pim_nbr_hello h{};
    h.holdtime = 105000;
    h.has_lan_delay = true;
    h.t_bit = true;
    h.has_dr_priority = true;
    t_ipaddr a = v4(N1);
    ASSERT_EQ(pim_nbr_process_hello_rec(if_p, &a, h), PIM_STATUS_OK);
    EXPECT_EQ(if_p->ignore_lan_delay, 0u);
    EXPECT_TRUE(nbr(N1)->t_bit);
    EXPECT_TRUE(pim_nbr_suppression_enabled(if_p)) << "N2 lacks the T bit";
    a = v4(N2);
    ASSERT_EQ(pim_nbr_process_hello_rec(if_p, &a, h), PIM_STATUS_OK);
    EXPECT_FALSE(pim_nbr_suppression_enabled(if_p)) << "every neighbor tracks";
    ASSERT_EQ(hello_without(N2, 105000, false, true), PIM_STATUS_OK);
    EXPECT_TRUE(pim_nbr_suppression_enabled(if_p)) << "LAN delay not enabled everywhere";
}

TEST_F(PimNbrTest, NeighborLimitDropsHellosWithoutState)
{
    if_p->config.max_nbrs = 1;
    ASSERT_EQ(hello(N1, 105000, 1), PIM_STATUS_OK);
    ASSERT_EQ(hello(N2, 105000, 1), PIM_STATUS_OK);
    EXPECT_EQ(nbr(N2), nullptr);
    EXPECT_EQ(if_p->stats.pkt_stats_rx.nbr_limit_pkts, 1u);
    ASSERT_EQ(hello(N1, 105000, 5), PIM_STATUS_OK) << "known ones are refreshed";
    EXPECT_EQ(nbr(N1)->dr_priority, 5u);
    EXPECT_EQ(if_p->stats.pkt_stats_rx.nbr_limit_pkts, 1u);
}

TEST_F(PimNbrTest, HoldtimeExpiresOnTheTimerClock)
{
    ASSERT_EQ(hello(N1, 3000, 200), PIM_STATUS_OK);
    ASSERT_EQ(hello(N2, PIM_NBR_HOLDTIME_FOREVER_MS, 1), PIM_STATUS_OK);
    EXPECT_EQ(dr(), N1);
    advance(2);
    ASSERT_EQ(hello(N1, 3000, 200), PIM_STATUS_OK) << "refreshed before expiry";
    advance(2);
    EXPECT_NE(nbr(N1), nullptr);
    advance(2);
    EXPECT_EQ(nbr(N1), nullptr) << "3 s after the last Hello";
    EXPECT_EQ(dr(), OWN) << "re-elected without the expired DR";

    advance(1000);
    ASSERT_NE(nbr(N2), nullptr) << "holdtime 0xFFFF never expires";
    ASSERT_EQ(hello(N2, 105000, 1), PIM_STATUS_OK);
    EXPECT_EQ(timer_get_ticks_to_expiry(nbr(N2)->hold_timer), 105);
    advance(104);
    EXPECT_NE(nbr(N2), nullptr);
    advance(1);
    EXPECT_EQ(nbr(N2), nullptr);
    EXPECT_EQ(avl_numnodes(&if_p->nbr_db), 0u);
    EXPECT_EQ(if_p->dr_nbr_p, if_p->self_nbr_p);
}

TEST_F(PimNbrTest, GenerationIdChangeKeepsTheRecord)
{
    ASSERT_EQ(hello(N1, 105000, 50, 1111), PIM_STATUS_OK);
    ASSERT_EQ(hello(N2, 105000, 1, 2222), PIM_STATUS_OK);
    t_pim_nbr *n = nbr(N1);
    time_t up = n->up_time;
    EXPECT_EQ(dr(), N1);
    ASSERT_EQ(hello(N1, 105000, 50, 3333), PIM_STATUS_OK);
    EXPECT_EQ(nbr(N1), n);
    EXPECT_EQ(n->gen_id, 3333u);
    EXPECT_EQ(n->up_time, up);
    EXPECT_EQ(dr(), N1);
    // A Hello without the option carries generation id 0: also a change.
    ASSERT_EQ(hello(N1, 105000, 50, 0), PIM_STATUS_OK);
    EXPECT_EQ(nbr(N1), n);
    EXPECT_EQ(n->gen_id, 0u);
}

TEST_F(PimNbrTest, LanDelayTakesTheLargestUnlessSomeoneLacksIt)
{
    ASSERT_EQ(hello(N1, 105000, 1, 1, 800, 4000), PIM_STATUS_OK);
    EXPECT_EQ(if_p->prop_delay, 800);
    EXPECT_EQ(if_p->override_int, 4000);
    ASSERT_EQ(hello_without(N2, 105000, false, true), PIM_STATUS_OK);
    EXPECT_EQ(if_p->ignore_lan_delay, 1u);
    EXPECT_EQ(if_p->prop_delay, 500);
    EXPECT_EQ(if_p->override_int, 3000);
    ASSERT_EQ(hello_without(N2, 0, false, true), PIM_STATUS_OK);
    EXPECT_EQ(if_p->ignore_lan_delay, 0u);
    EXPECT_EQ(if_p->prop_delay, 800);
    EXPECT_EQ(if_p->override_int, 4000);
    // The neighbor with the largest values leaves: they are recomputed.
    ASSERT_EQ(hello(N2, 105000, 1, 1, 600, 3500), PIM_STATUS_OK);
    ASSERT_EQ(hello(N1, 0, 1, 1, 800, 4000), PIM_STATUS_OK);
    EXPECT_EQ(if_p->prop_delay, 600);
    EXPECT_EQ(if_p->override_int, 3500);
    ASSERT_EQ(hello(N2, 0, 1, 1, 600, 3500), PIM_STATUS_OK);
    // Smaller announced values never go below the defaults.
    ASSERT_EQ(hello(N1, 105000, 1, 1, 100, 200), PIM_STATUS_OK);
    EXPECT_EQ(if_p->prop_delay, 500);
    EXPECT_EQ(if_p->override_int, 3000);
}

TEST_F(PimNbrTest, DisableSaysGoodbyeAndDropsEveryone)
{
    ASSERT_EQ(hello(N1, 105000, 1), PIM_STATUS_OK);
    ASSERT_EQ(hello(N2, 105000, 1), PIM_STATUS_OK);
    pim_if_admin_state(if_p, true);
    EXPECT_EQ(last_hello().holdtime, 0) << "Hello with holdtime 0 first";
    EXPECT_FALSE(if_p->pim_enabled);
    EXPECT_EQ(avl_numnodes(&if_p->nbr_db), 0u);
    EXPECT_EQ(if_p->self_nbr_p, nullptr);
    EXPECT_EQ(if_p->dr_nbr_p, nullptr);
    // While PIM is off no election runs and the DR stays unset.
    pim_nbr_elect_dr(if_p);
    EXPECT_EQ(if_p->dr_nbr_p, nullptr);
}

TEST_F(PimNbrTest, TunnelInterfaceHasOneVirtualNeighbor)
{
    t_ipaddr site = v4(0xc0000209); // 192.0.2.9
    t_pim_if *tun = pim_if_tunnel_create(vpn_p, &site, 77);
    ASSERT_NE(tun, nullptr);
    EXPECT_EQ(tun->if_index, PIM_IF_TUNNEL_IDX_BASE + 1);
    EXPECT_TRUE(tun->pim_enabled);
    EXPECT_EQ(tun->sock_fd, -1) << "no socket on a tunnel";
    EXPECT_FALSE(timer_is_active(tun->hello_timer));
    t_pim_nbr *n = pim_nbr_tunnel_find(vpn_p, &site);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(tun->ignore_drpriority + tun->ignore_lan_delay, 0u)
        << "tunnel neighbors are not counted";
    advance(1000);
    EXPECT_EQ(pim_nbr_tunnel_find(vpn_p, &site), n) << "never times out";
    t_ipaddr other = v4(0xc000020a);
    EXPECT_EQ(pim_nbr_tunnel_find(vpn_p, &other), nullptr);

    pim_if_tunnel_find_and_delete(vpn_p, &site);
    EXPECT_EQ(pim_if_tunnel_find(vpn_p, &site), nullptr);
    EXPECT_EQ(pim_if_tunnel_idx_get(vpn_p), PIM_IF_TUNNEL_IDX_BASE + 2) << "next-fit";
}

} // namespace
