#include <cstring>
#include <gtest/gtest.h>

#include "daemon/pim_daemon.h"
#include "daemon/pim_vpn.h"

namespace
{

struct VpnTest : ::testing::Test {
    t_pim_daemon *d = nullptr;
    void SetUp() override { ASSERT_EQ(pim_daemon_init(&d), PIM_STATUS_OK); }
    void TearDown() override { pim_daemon_destroy(d); }
};

TEST_F(VpnTest, TableOrderEnableOnCreateAndDelete)
{
    EXPECT_NE(d->replicator_timer_p, nullptr);
    EXPECT_TRUE(timer_is_active(d->replicator_timer_p));
    EXPECT_FALSE(timer_is_active(d->auto_rp_pkt_timer_p));

    t_pim_vpn *v7 = pim_vpn_find_or_create(d, 7);
    t_pim_vpn *v0 = pim_vpn_find_or_create(d, 0);
    t_pim_vpn *v512 = pim_vpn_find_or_create(d, 512);
    ASSERT_TRUE(v7 && v0 && v512);
    EXPECT_EQ(pim_vpn_find_or_create(d, 7), v7);

    // VPN 0 runs PIM at once; the others wait for their configuration.
    EXPECT_TRUE(v0->pim_enabled);
    EXPECT_FALSE(v7->pim_enabled);
    EXPECT_EQ(v7->config.spt_threshold, PIM_SPT_THRESHOLD_INFINITY);

    // Loopback tunnel interface names; VPN 512 has none.
    EXPECT_STREQ(v0->tunnel_if.if_name, "loop0");
    EXPECT_STREQ(v512->tunnel_if.if_name, "");

    EXPECT_EQ(pim_vpn_find_next(d, 0), v7);
    EXPECT_EQ(pim_vpn_find_next(d, 7), v512);
    EXPECT_EQ(pim_vpn_find_next(d, 3), v7);
    EXPECT_EQ(pim_vpn_find_next(d, 512), nullptr);

    EXPECT_EQ(pim_vpn_pim_enable(v7), PIM_STATUS_OK);
    EXPECT_TRUE(v7->pim_enabled);
    EXPECT_DEATH((void)pim_vpn_pim_enable(v7), "") << "enabling twice";
    EXPECT_EQ(pim_vpn_pim_delete(d, v7), PIM_STATUS_OK);
    EXPECT_FALSE(v7->pim_enabled);
    EXPECT_EQ(pim_vpn_find(d, 7, nullptr), v7); // the record stays

    pim_vpn_find_and_delete(d, 7);
    EXPECT_EQ(pim_vpn_find(d, 7, nullptr), nullptr);
    pim_vpn_find_and_delete(d, 7); // absent: no effect
    EXPECT_EQ(avl_numnodes(&d->vpn_db), 2u);
}

int g_high_runs;
int g_normal_runs;
void count_run(t_timer *, void *counter) { ++*static_cast<int *>(counter); }

TEST_F(VpnTest, UrgentPumpRunsHighPriorityOnlyAfterTwoSeconds)
{
    g_high_runs = 0;
    g_normal_runs = 0;
    t_timer *high = timer_util_create(d->timer_mgr_p, TIMER_PRI_HIGH, TIMER_TYPE_CYCLIC, 1000,
                                      count_run, &g_high_runs, "high");
    t_timer *normal = timer_util_create(d->timer_mgr_p, TIMER_PRI_NORMAL, TIMER_TYPE_CYCLIC, 1000,
                                        count_run, &g_normal_runs, "normal");
    timer_enable(high);
    timer_enable(normal);
    // Both are due in the past as far as the wheels are concerned.
    d->timer_mgr_p->cur_time.tv_sec -= 3;

    pim_daemon_process_urgent_timers(); // first call always runs
    int after_first = g_high_runs;
    EXPECT_GE(after_first, 1);
    EXPECT_EQ(g_normal_runs, 0); // protocol timers wait for the base tick

    d->timer_mgr_p->cur_time.tv_sec -= 3;
    pim_daemon_process_urgent_timers(); // less than two seconds later: nothing
    EXPECT_EQ(g_high_runs, after_first);

    d->last_proc.tv_sec -= 2;
    pim_daemon_process_urgent_timers();
    EXPECT_GT(g_high_runs, after_first);
    EXPECT_EQ(g_normal_runs, 0);
    EXPECT_GE(d->max_urgent_timer_diff.tv_sec, 2);

    timer_util_delete(high);
    timer_util_delete(normal);
}

} // namespace
