// A daemon record with a hand-driven clock and one VPN, for tests of the
// interface, neighbor and receive-path logic without sockets or a loop.
#pragma once

#include <cstddef>
#include <ctime>
#include <gtest/gtest.h>
#include <vector>

#include "common/timer.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_ftm.h"
#include "daemon/pim_if.h"
#include "daemon/pim_jp.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_nbr.h"
#include "daemon/pim_nhres.h"
#include "daemon/pim_pkt.h"
#include "daemon/pim_rp_db.h"
#include "daemon/pim_vpn.h"
#include "tests/sim/pim_sim_if.h"

inline timespec g_pim_test_now{};

inline t_ipaddr pim_test_ip(const char *text)
{
    t_ipaddr a;
    EXPECT_EQ(str_to_ip(text, &a), 1) << text;
    return a;
}

// Next hops appended to a record as the route table manager reports them; an
// interface of nullptr names an index no interface has.
inline void pim_test_add_nh(t_pim_next_hop *nh, const t_pim_nh_info &info)
{
    std::vector<t_pim_nh_info> hops(pim_nhres_hops(nh), pim_nhres_hops(nh) + nh->num_nh);
    hops.push_back(info);
    EXPECT_TRUE(pim_nhres_set_hops(nh, hops));
}

inline void pim_test_service_nh(t_pim_next_hop *nh, const char *gw, const t_pim_if *if_p)
{
    t_pim_nh_info info{};
    info.nh_type = E_PIM_NHTYPE_SERVICE;
    info.nh_addr = pim_test_ip(gw);
    info.if_index = if_p != nullptr ? if_p->if_index : 77;
    pim_test_add_nh(nh, info);
}

inline void pim_test_overlay_nh(t_pim_next_hop *nh, const char *site, uint64_t src_vpn)
{
    t_pim_nh_info info{};
    info.nh_type = E_PIM_NHTYPE_FAB;
    info.nh_addr = pim_test_ip(site);
    info.src_vpn = src_vpn;
    info.if_index = 600;
    pim_test_add_nh(nh, info);
}

struct PimEnvTest : ::testing::Test {
    t_pim_daemon *daemon_p = nullptr;
    t_pim_vpn *vpn_p = nullptr;
    t_pim_ftm_ops saved_ftm_ops = g_pim_ftm_ops;

    static void fake_clock(timespec *now) { *now = g_pim_test_now; }

    void SetUp() override
    {
        g_pim_test_now = {1000, 0};
        // A forwarding table manager that takes every message: the FTM flag
        // of an entry then tells whether it was programmed.
        g_pim_ftm_ops.ready = [](const t_pim_daemon *) { return true; };
        g_pim_ftm_ops.send = [](t_pim_daemon *, const PbPimFtmMsg *) { return PIM_STATUS_OK; };
        // VPN 7 waits for its configuration, so nothing starts behind the test's back.
        vpn_p = pim_sim_daemon(7, fake_clock);
        daemon_p = g_kemd_p;
        ASSERT_NE(vpn_p, nullptr);
    }

    void TearDown() override
    {
        pim_vpn_destroy(daemon_p);
        pim_timers_destroy(daemon_p);
        pim_delete(daemon_p);
        g_kemd_p = nullptr;
        g_pim_ftm_ops = saved_ftm_ops;
    }

    void advance(int seconds)
    {
        for (int i = 0; i < seconds; i++) {
            g_pim_test_now.tv_sec++;
            (void)timer_exec(daemon_p->timer_mgr_p, TIMER_PRI_MASK_ALL, 1000);
        }
    }

    static t_ipaddr v4(uint32_t a)
    {
        t_ipaddr r{};
        IPADDR_SET_V4(&r, a);
        return r;
    }

    t_pim_if *running_if(const char *name, uint32_t addr, uint8_t len, uint32_t dr_priority = 1)
    {
        t_pim_if *if_p = pim_sim_running_if(
            daemon_p, vpn_p, name, 1000 + static_cast<int>(addr & 0xff), addr, len, dr_priority);
        EXPECT_NE(if_p, nullptr);
        return if_p;
    }

    // The Hello last built for sending.
    static t_pim_hello last_hello()
    {
        t_pim_hello h{};
        int32_t bad = 0;
        EXPECT_EQ(pim_pkt_hello_decode(std::span<const uint8_t>(g_pim_tx_buf + PIM_PKT_HDR_LEN,
                                                                PIM_HELLO_LEN - PIM_PKT_HDR_LEN),
                                       h, bad),
                  PIM_PKT_OK);
        return h;
    }
};

// Routing state on top of the VPN: its entry, next-hop and RP tables, and the
// Join/Prune unit protocol as the receive path runs it.
struct PimRoutingTest : PimEnvTest {
    void SetUp() override
    {
        PimEnvTest::SetUp();
        ASSERT_EQ(pim_minfo_init(vpn_p), PIM_STATUS_OK);
        ASSERT_EQ(pim_nhres_db_init(vpn_p), PIM_STATUS_OK);
        ASSERT_EQ(pim_rp_db_init(vpn_p), PIM_STATUS_OK);
    }

    // One group record: the temporary list emptied, the Joins and Prunes
    // delivered, then end-of-message processing.
    template <typename F> void jp_unit(F deliver)
    {
        pim_jp_unit_begin(vpn_p);
        deliver();
        pim_jp_handle_eom(vpn_p);
    }

    t_pim_minfo *entry(e_pim_type type, const char *group, const char *source = nullptr)
    {
        t_ipaddr g = pim_test_ip(group);
        t_ipaddr s = source != nullptr ? pim_test_ip(source) : t_ipaddr{};
        return pim_minfo_find(vpn_p, type, &g, source != nullptr ? &s : nullptr, nullptr);
    }

    static t_pim_if_minfo *rec(t_pim_if *if_p, e_pim_type type, const char *group,
                               const char *source = nullptr)
    {
        t_ipaddr g = pim_test_ip(group);
        t_ipaddr s = source != nullptr ? pim_test_ip(source) : t_ipaddr{};
        return pim_if_minfo_find(if_p, type, &g, source != nullptr ? &s : nullptr, nullptr);
    }

    size_t tmp_list_len() const
    {
        size_t n = 0;
        for (const t_pim_if_minfo_rpt *r = TAILQ_FIRST(&vpn_p->tmp_sgrpt_list); r != nullptr;
             r = TAILQ_NEXT(r, tmp_sgrpt_entry)) {
            n++;
        }
        return n;
    }

    // The pseudo-interface through which local membership arrives.
    t_pim_if *igmp_if(const char *name, int kernel_idx)
    {
        t_pim_if_idx *idx = pim_if_idx_find_or_create(vpn_p, kernel_idx, PIM_IF_TYPE_IGMP);
        return pim_if_create(vpn_p, name, PIM_IF_TYPE_IGMP, static_cast<uint32_t>(idx->bitmap_idx),
                             nullptr, true, true);
    }

    // Neighbors 10.x.x.100, .101, ... on the interface's subnet, each with
    // the LAN delays given.
    static void add_nbrs(t_pim_if *if_p, int count, uint16_t prop_ms = 500, uint16_t over_ms = 2500)
    {
        for (int i = 0; i < count; i++) {
            t_ipaddr a = v4((if_p->if_addr.addr.u.addr4 & 0xffffff00) + 100 + i);
            EXPECT_EQ(pim_nbr_process_hello(if_p, &a, 105000, 1, 1, prop_ms, over_ms),
                      PIM_STATUS_OK);
        }
    }
};
