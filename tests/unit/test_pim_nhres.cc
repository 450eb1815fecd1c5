// Next-hop records, their re-evaluation walks and RPF neighbor selection, on a
// VPN with real interface and neighbor tables (no route table manager).
#include <algorithm>
#include <gtest/gtest.h>
#include <vector>

#include "daemon/pim_daemon.h"
#include "daemon/pim_if.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_nbr.h"
#include "daemon/pim_nhres.h"
#include "daemon/pim_vpn.h"
#include "tests/unit/pim_test_env.h"

namespace
{

std::vector<t_pim_minfo *> g_joined;
std::vector<t_pim_minfo *> g_auto_rp;
t_pim_vpn *g_unlink_vpn = nullptr;

void record_join(t_pim_minfo *m)
{
    g_joined.push_back(m);
    // Re-evaluation may end an entry's interest in its record.
    if (g_unlink_vpn != nullptr) {
        (void)pim_nhres_unlink_minfo(g_unlink_vpn, m);
    }
}
void record_auto_rp(t_pim_minfo *m) { g_auto_rp.push_back(m); }

struct NhresTest : ::testing::Test {
    // VPN 512 never enters a namespace of its own.
    static constexpr uint64_t VPN_ID = PIM_VPN_ID_TRANSPORT;
    t_pim_daemon *daemon = nullptr;
    t_pim_vpn *vpn = nullptr;
    t_pim_nhres_ops saved = g_pim_nhres_ops;
    std::vector<t_pim_minfo *> entries;

    void SetUp() override
    {
        g_joined.clear();
        g_auto_rp.clear();
        g_unlink_vpn = nullptr;
        g_pim_nhres_ops = {record_join, record_join, record_auto_rp};
        daemon = pim_new<t_pim_daemon>();
        g_kemd_p = daemon;
        daemon->timer_mgr_p =
            timer_mgr_create(TIMER_RESN_SEC, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        ASSERT_EQ(pim_vpn_init(daemon), PIM_STATUS_OK);
        vpn = pim_vpn_find_or_create(daemon, VPN_ID);
        ASSERT_NE(vpn, nullptr);
        ASSERT_EQ(pim_nhres_db_init(vpn), PIM_STATUS_OK);
    }

    void TearDown() override
    {
        for (t_pim_minfo *m : entries) {
            (void)pim_nhres_unlink_minfo(vpn, m);
            pim_delete(m);
        }
        pim_nhres_db_destroy(vpn);
        pim_vpn_destroy(daemon);
        pim_timers_destroy(daemon);
        pim_delete(daemon);
        g_kemd_p = nullptr;
        g_pim_nhres_ops = saved;
    }

    t_pim_minfo *entry(e_pim_type type, const char *target, uint32_t macros = 0,
                       e_pim_upstream_state state = PIM_UPSTREAM_NOT_JOINED)
    {
        auto *m = pim_new<t_pim_minfo>();
        m->type = type;
        m->vpn_p = vpn;
        m->group = pim_test_ip("239.1.1.1");
        m->source = pim_test_ip(type == PIM_TYPE_XG ? "0.0.0.0" : target);
        m->received_rp = pim_test_ip(target);
        m->macro_result = macros;
        m->upstream_state = state;
        entries.push_back(m);
        EXPECT_EQ(pim_nhres_link_minfo(vpn, m, &m->received_rp), 0);
        return m;
    }

    t_pim_if *local_if(const char *name, int kernel_idx)
    {
        t_pim_if_idx *idx = pim_if_idx_find_or_create(vpn, kernel_idx, PIM_IF_TYPE_LOCAL);
        EXPECT_NE(idx, nullptr);
        return pim_if_find_or_create(vpn, name, PIM_IF_TYPE_LOCAL,
                                     static_cast<uint32_t>(idx->bitmap_idx), false, true);
    }

    t_pim_nbr *nbr(t_pim_if *if_p, const char *addr)
    {
        t_ipaddr a = pim_test_ip(addr);
        return pim_nbr_add(if_p, &a, nullptr, false);
    }

    std::string rpf(t_pim_minfo *m)
    {
        t_ipaddr target;
        t_pim_nbr *n = pim_minfo_find_rpf_nbr(vpn, m, &target);
        return n != nullptr ? ipaddr_str(&n->nbr_addr).c : "none";
    }
};

TEST_F(NhresTest, RpfNeighborChoice)
{
    t_pim_if *eth0 = local_if("eth0", 7);
    t_pim_if *eth1 = local_if("eth1", 8);
    ASSERT_NE(nbr(eth0, "10.0.0.2"), nullptr);
    t_pim_nbr *n9 = nbr(eth0, "10.0.0.9");
    ASSERT_NE(nbr(eth1, "10.1.0.5"), nullptr);
    t_ipaddr site = pim_test_ip("172.16.0.9");
    t_pim_if *tun = pim_if_tunnel_create(vpn, &site, 0);
    ASSERT_NE(tun, nullptr);
    ASSERT_NE(pim_nbr_tunnel_find_or_create(tun, &site), nullptr);

    t_pim_minfo *xg = entry(PIM_TYPE_XG, "10.9.9.9");
    t_pim_next_hop *nh = xg->nh_p;
    EXPECT_EQ(rpf(xg), "none"); // unresolved

    // Highest service neighbor; one being cleaned up never counts.
    pim_test_service_nh(nh, "10.0.0.2", eth0);
    pim_test_service_nh(nh, "10.0.0.9", eth0);
    EXPECT_EQ(rpf(xg), "10.0.0.9");
    n9->nbr_flags |= PIM_NBR_FLAG_CLEANUP;
    EXPECT_EQ(rpf(xg), "10.0.0.2");
    n9->nbr_flags = 0;

    // A service neighbor wins over an overlay one wherever it stands.
    nh->num_nh = 0;
    pim_test_overlay_nh(nh, "172.16.0.9", 0);
    pim_test_service_nh(nh, "10.1.0.5", eth1);
    EXPECT_EQ(rpf(xg), "10.1.0.5");

    // Overlay only: a source VPN restriction for another VPN yields none.
    nh->num_nh = 0;
    pim_test_overlay_nh(nh, "172.16.0.9", VPN_ID + 1);
    EXPECT_EQ(rpf(xg), "none");
    pim_nhres_hops(nh)[0].src_vpn = VPN_ID;
    EXPECT_EQ(rpf(xg), "172.16.0.9");
    // The last next hop examined decides when no service neighbor exists.
    pim_test_service_nh(nh, "10.0.0.77", eth0);
    EXPECT_EQ(rpf(xg), "none");
    pim_test_service_nh(nh, "10.0.0.2", nullptr); // unknown interface index
    pim_test_overlay_nh(nh, "172.16.0.9", 0);
    EXPECT_EQ(rpf(xg), "172.16.0.9");

    // A connected target is its own neighbor.
    t_pim_minfo *sg = entry(PIM_TYPE_SG, "10.1.0.5");
    pim_test_service_nh(sg->nh_p, "0.0.0.0", eth1);
    EXPECT_EQ(rpf(sg), "10.1.0.5");

    // Directly connected source: only a connected route counts.
    EXPECT_EQ(pim_minfo_find_direct_source_if(vpn, &sg->source), -1);
    sg->nh_p->route_type = PIM_ROUTE_TYPE_CONNECT;
    EXPECT_EQ(pim_minfo_find_direct_source_if(vpn, &sg->source), static_cast<int>(eth1->if_index));
    t_ipaddr none = pim_test_ip("10.99.0.1");
    EXPECT_EQ(pim_minfo_find_direct_source_if(vpn, &none), -1);
}

TEST_F(NhresTest, NewNeighborWalk)
{
    t_pim_if *eth0 = local_if("eth0", 7);
    t_pim_minfo *via = entry(PIM_TYPE_XG, "10.9.9.9", PIM_MACRO_JOIN_DESIRED);
    t_pim_minfo *idle = entry(PIM_TYPE_SG, "10.9.9.9");
    t_pim_minfo *direct = entry(PIM_TYPE_SG_RPT, "10.0.0.2", PIM_MACRO_PRUNE_DESIRED);
    t_pim_minfo *other = entry(PIM_TYPE_SG, "10.8.8.8", PIM_MACRO_JOIN_DESIRED);
    t_pim_minfo *unresolved = entry(PIM_TYPE_SG, "10.7.7.7", PIM_MACRO_JOIN_DESIRED);
    t_pim_minfo *arp_waiting = entry(PIM_TYPE_AUTO_RP, "10.9.9.9");
    t_pim_minfo *arp_joined = entry(PIM_TYPE_AUTO_RP, "10.9.9.9", 0, PIM_UPSTREAM_JOINED);
    pim_test_service_nh(via->nh_p, "10.0.0.5", eth0);
    pim_test_service_nh(via->nh_p, "10.0.0.2", eth0);
    pim_test_service_nh(direct->nh_p, "0.0.0.0", eth0);
    pim_test_service_nh(other->nh_p, "10.0.0.3", eth0);
    (void)unresolved;

    t_ipaddr n = pim_test_ip("10.0.0.2");
    pim_nhres_new_nbr_update_minfo(vpn, &n, false);
    EXPECT_EQ(g_joined, (std::vector<t_pim_minfo *>{direct, via}));
    EXPECT_TRUE(g_auto_rp.empty());
    EXPECT_FALSE(idle->minfo_flags & PIM_MINFO_FLAG_NH_CHANGE);
    EXPECT_TRUE(via->minfo_flags & PIM_MINFO_FLAG_NH_CHANGE);

    // With auto_rp the waiting Auto-RP entries go again at each next hop
    // examined, until the one through the neighbor.
    g_joined.clear();
    pim_nhres_new_nbr_update_minfo(vpn, &n, true);
    EXPECT_EQ(g_auto_rp, (std::vector<t_pim_minfo *>{arp_waiting, arp_waiting}));
    EXPECT_EQ(std::count(g_auto_rp.begin(), g_auto_rp.end(), arp_joined), 0);
    pim_nhres_new_nbr_update_minfo(nullptr, &n, true);
}

TEST_F(NhresTest, ConnectionLossClearsResolutions)
{
    t_pim_if *eth0 = local_if("eth0", 7);
    t_pim_minfo *a = entry(PIM_TYPE_XG, "10.1.1.1");
    t_pim_minfo *a_arp = entry(PIM_TYPE_AUTO_RP, "10.1.1.1", 0, PIM_UPSTREAM_JOINED);
    t_pim_minfo *b = entry(PIM_TYPE_SG, "10.2.2.2");
    pim_test_service_nh(a->nh_p, "10.0.0.2", eth0);
    a->nh_p->metric = 20;
    a->nh_p->preference = 110;
    a->nh_p->route_type = 7;

    pim_nhres_conn_down(vpn);
    EXPECT_EQ(a->nh_p->num_nh, 0);
    EXPECT_EQ(a->nh_p->metric, 0);
    EXPECT_EQ(a->nh_p->preference, 110);
    EXPECT_EQ(a->nh_p->route_type, 7);
    EXPECT_EQ(g_joined, std::vector<t_pim_minfo *>{a});
    EXPECT_EQ(g_auto_rp, std::vector<t_pim_minfo *>{a_arp});
    EXPECT_NE(b->nh_p, nullptr);

    // Entries that drop their record while being re-evaluated: the walk goes
    // on with the next record.
    pim_test_service_nh(a->nh_p, "10.0.0.2", eth0);
    pim_test_service_nh(b->nh_p, "10.0.0.2", eth0);
    (void)pim_nhres_unlink_minfo(vpn, a_arp);
    g_joined.clear();
    g_unlink_vpn = vpn;
    pim_nhres_conn_down(vpn);
    EXPECT_EQ(g_joined, (std::vector<t_pim_minfo *>{a, b}));
    EXPECT_EQ(avl_numnodes(&vpn->nhres_db), 0u);
    EXPECT_EQ(a->nh_p, nullptr);
}

TEST_F(NhresTest, ReplicatorAndAutoDiscoveryWalks)
{
    // Stand-in for a replicator record; never dereferenced here.
    alignas(8) char repl_mem[8]{};
    auto *repl = reinterpret_cast<t_pim_repl *>(repl_mem);
    t_pim_minfo *free_e = entry(PIM_TYPE_XG, "10.1.1.1");
    t_pim_minfo *no_jd = entry(PIM_TYPE_SG, "10.1.1.1");
    t_pim_minfo *joined =
        entry(PIM_TYPE_SG, "10.1.1.1", PIM_MACRO_JOIN_DESIRED, PIM_UPSTREAM_JOINED);
    t_pim_minfo *waiting = entry(PIM_TYPE_SG, "10.1.1.1", PIM_MACRO_JOIN_DESIRED);
    t_pim_minfo *service_e = entry(PIM_TYPE_SG, "10.2.2.2");
    no_jd->repl_p = joined->repl_p = waiting->repl_p = repl;
    pim_test_overlay_nh(free_e->nh_p, "172.16.0.9", 0);
    pim_test_service_nh(service_e->nh_p, "10.0.0.2", nullptr);

    pim_nhres_update_minfo_repl(vpn);
    EXPECT_EQ(g_joined, (std::vector<t_pim_minfo *>{free_e, waiting}));
    g_joined.clear();
    vpn->config.replicator.replicator = true;
    pim_nhres_update_minfo_repl(vpn);
    EXPECT_EQ(g_joined, (std::vector<t_pim_minfo *>{free_e, joined, waiting}));

    // Auto-discovery from the overlay peer: entries without a replicator that
    // have not joined, on records whose first next hop is that peer.
    g_joined.clear();
    t_ipaddr peer = pim_test_ip("172.16.0.9");
    t_ipaddr stranger = pim_test_ip("172.16.0.10");
    pim_nhres_update_minfo_ad(vpn, &stranger);
    EXPECT_TRUE(g_joined.empty());
    pim_nhres_update_minfo_ad(vpn, &peer);
    EXPECT_EQ(g_joined, std::vector<t_pim_minfo *>{free_e});
    g_joined.clear();
    vpn->config.replicator.replicator = false;
    pim_nhres_update_minfo_ad(vpn, &peer);
    EXPECT_TRUE(g_joined.empty());
    for (t_pim_minfo *m : entries) {
        m->repl_p = nullptr;
    }

    std::string dump;
    pim_nhres_dump(daemon, &dump,
                   [](void *u, const char *t) { *static_cast<std::string *>(u) += t; });
    EXPECT_NE(dump.find("NH: 10.1.1.1 #(4)"), std::string::npos) << dump;
    EXPECT_NE(dump.find("Resolved by NH: 172.16.0.9 If Idx 600"), std::string::npos);
    EXPECT_NE(dump.find(" (S, G) - (10.2.2.2, 239.1.1.1)\n"), std::string::npos);
}

} // namespace
