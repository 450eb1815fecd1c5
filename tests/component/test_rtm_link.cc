// The daemon's route table manager link against a simulated route table
// manager at the VPN's control socket, with the daemon's loop pumped in-process.
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/msgq_util.h"
#include "daemon/pim_if.h"
#include "daemon/pim_nbr.h"
#include "daemon/pim_nhres.h"
#include "daemon/pim_rtm.h"
#include "tests/sim/rtm_sim.h"
#include "tests/sim/sim_kemd.h"

using kemd_sim::t_rtm_sim;
using kemd_sim::t_rtm_sim_nh;
using kemd_sim::t_rtm_sim_update;

namespace
{

constexpr uint64_t VPN_ID = 5;

std::vector<t_pim_minfo *> g_reevaluated;
std::vector<t_pim_minfo *> g_auto_rp_reevaluated;

void record_join_desired(t_pim_minfo *m) { g_reevaluated.push_back(m); }
void record_auto_rp(t_pim_minfo *m) { g_auto_rp_reevaluated.push_back(m); }

constexpr auto ip = kemd_sim::sim_ip;

struct RtmLinkTest : ::testing::Test, kemd_sim::t_sim_kemd {
    std::unique_ptr<t_rtm_sim> sim;
    t_pim_nhres_ops saved_ops = g_pim_nhres_ops;
    std::vector<t_pim_minfo *> entries;

    void SetUp() override
    {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root for the private /run";
        }
        g_reevaluated.clear();
        g_auto_rp_reevaluated.clear();
        g_pim_nhres_ops.process_join_desired = record_join_desired;
        g_pim_nhres_ops.process_prune_desired = record_join_desired;
        g_pim_nhres_ops.auto_rp_update_minfo = record_auto_rp;

        mkdir("/var/run/quagga", 0755);
        char path[MSGQ_PATH_LEN];
        pim_rtm_path(VPN_ID, path, sizeof(path));
        ASSERT_EQ(std::string(path), "/var/run/quagga/zebra_protobuf_ctrl.api.5");
        pim_rtm_path(0, path, sizeof(path));
        ASSERT_EQ(std::string(path), "/var/run/quagga/zebra_protobuf_ctrl.api");
        pim_rtm_path(VPN_ID, path, sizeof(path));
        sim = t_rtm_sim::listen(path);
        ASSERT_NE(sim, nullptr);
        sim->set_pump(pumper());
        ASSERT_TRUE(start(VPN_ID));
        ASSERT_EQ(pim_vpn_pim_enable(vpn), PIM_STATUS_OK);
        ASSERT_NE(vpn->rtm_handle_p, nullptr);
        connect();
    }

    void TearDown() override
    {
        for (t_pim_minfo *m : entries) {
            if (vpn != nullptr) {
                (void)pim_nhres_unlink_minfo(vpn, m);
            }
            pim_delete(m);
        }
        stop();
        sim.reset();
        g_pim_nhres_ops = saved_ops;
    }

    void connect()
    {
        ASSERT_TRUE(sim->wait_connected(5000));
        ASSERT_TRUE(sim->expect_handshake(2000));
    }

    t_pim_if *intf(const char *name)
    {
        return pim_if_find(vpn, name, PIM_IF_TYPE_LOCAL, nullptr, false);
    }

    t_pim_minfo *entry(e_pim_type type, const char *target)
    {
        auto *m = pim_new<t_pim_minfo>();
        m->type = type;
        m->vpn_p = vpn;
        m->group = ip("239.1.1.1");
        m->source = ip(type == PIM_TYPE_XG ? "0.0.0.0" : target);
        m->received_rp = ip(target);
        m->upstream_state = PIM_UPSTREAM_NOT_JOINED;
        entries.push_back(m);
        EXPECT_EQ(pim_nhres_link_minfo(vpn, m, &m->received_rp), 0);
        return m;
    }

    // The record's route and next hops as "metric pref type: nh_type/if/gateway ...".
    static std::string resolution(const t_pim_next_hop *nh)
    {
        std::string out = std::to_string(nh->metric) + " " + std::to_string(nh->preference) + " " +
                          std::to_string(nh->route_type) + ":";
        for (int i = 0; i < nh->num_nh; i++) {
            const t_pim_nh_info &h = pim_nhres_hops(nh)[i];
            out += " " + std::to_string(h.nh_type) + "/" + std::to_string(h.if_index) + "/" +
                   ipaddr_str(&h.nh_addr).c;
        }
        return out;
    }

    t_pim_next_hop *record(const char *addr)
    {
        t_ipaddr a = ip(addr);
        return pim_nhres_find(vpn, &a, nullptr);
    }
};

TEST_F(RtmLinkTest, InterfacesFollowTheReports)
{
    using namespace std::string_literals;
    ASSERT_TRUE(sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD, "eth0", 7, true));
    ASSERT_TRUE(until([&] { return intf("eth0") != nullptr; }));
    t_pim_if *eth0 = intf("eth0");
    EXPECT_TRUE(eth0->zebra_exist);
    EXPECT_EQ(eth0->oper_state, PIM_IF_STATE_UP);
    EXPECT_EQ(eth0->if_index, pim_if_idx_to_if_bitmap_idx(vpn, 7));
    EXPECT_NE(eth0->if_index, 0u);

    // Without a status the state stays; down and up follow the reports.
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD, "eth0", 7);
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_DOWN, "eth0", 7);
    ASSERT_TRUE(until([&] { return eth0->oper_state == PIM_IF_STATE_DOWN; }));
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_UP, "eth0", 7);
    ASSERT_TRUE(until([&] { return eth0->oper_state == PIM_IF_STATE_UP; }));

    // Addresses: IPv6 is ignored, IPv4 added and withdrawn.
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADDRESS_ADD, "eth0", 7, {}, "2001:db8::5",
                 64);
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADDRESS_ADD, "eth0", 7, {}, "10.0.0.5",
                 24);
    ASSERT_TRUE(until([&] { return avl_numnodes(&eth0->if_addr_db) == 1; }));
    auto *a = avl_first<t_pim_if_addr>(&eth0->if_addr_db);
    EXPECT_EQ(ipaddr_str(&a->addr.addr).c, "10.0.0.5"s);
    EXPECT_EQ(a->addr.prefixlen, 24);
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADDRESS_DELETE, "eth0", 7, {}, "10.0.0.5",
                 24);
    ASSERT_TRUE(until([&] { return avl_numnodes(&eth0->if_addr_db) == 0; }));

    // A new kernel index releases the old index record.
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD, "eth0", 9, true);
    ASSERT_TRUE(until([&] { return pim_if_idx_find(vpn, 9, nullptr) != nullptr; }));
    EXPECT_EQ(pim_if_idx_find(vpn, 7, nullptr), nullptr);
    EXPECT_EQ(intf("eth0")->if_index, pim_if_idx_to_if_bitmap_idx(vpn, 9));

    // The kernel reused index 9 for another name: the new name takes it over.
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD, "eth1", 9, false);
    ASSERT_TRUE(until([&] { return intf("eth1") != nullptr; }));
    EXPECT_EQ(intf("eth1")->if_index, pim_if_idx_to_if_bitmap_idx(vpn, 9));
    EXPECT_EQ(intf("eth0")->if_index, 0u);

    // Loop interfaces are filtered; loopback ones are not.
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD, "loop1", 11, true);
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD, "loopback0", 12, true);
    ASSERT_TRUE(until([&] { return intf("loopback0") != nullptr; }));
    EXPECT_EQ(intf("loop1"), nullptr);

    // Reports for interfaces the VPN does not hold change nothing.
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_UP, "ghost", 20);
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADDRESS_ADD, "ghost", 20, {}, "10.9.9.9",
                 24);
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_DELETE, "eth1", 9);
    ASSERT_TRUE(until([&] { return intf("eth1") == nullptr; }));
    EXPECT_EQ(intf("ghost"), nullptr);
}

TEST_F(RtmLinkTest, RegistrationsOncePerAddress)
{
    t_pim_minfo *xg = entry(PIM_TYPE_XG, "10.1.1.1");
    t_pim_minfo *auto_rp = entry(PIM_TYPE_AUTO_RP, "10.1.1.1");
    t_pim_minfo *sg = entry(PIM_TYPE_SG, "2001:db8::1");
    EXPECT_EQ(sim->registrations(300),
              (std::vector<std::string>{"+10.1.1.1/32", "+2001:db8::1/128"}));
    t_pim_next_hop *nh = record("10.1.1.1");
    ASSERT_NE(nh, nullptr);
    EXPECT_EQ(TAILQ_FIRST(&nh->minfo_list), xg);
    EXPECT_EQ(TAILQ_NEXT(xg, nh_minfo_link), auto_rp);
    EXPECT_EQ(nh->ref_count, 2);

    (void)pim_nhres_unlink_minfo(vpn, xg);
    EXPECT_TRUE(sim->registrations(200).empty());
    EXPECT_EQ(record("10.1.1.1"), nh);
    (void)pim_nhres_unlink_minfo(vpn, auto_rp);
    (void)pim_nhres_unlink_minfo(vpn, sg);
    (void)pim_nhres_unlink_minfo(vpn, sg);
    EXPECT_EQ(sim->registrations(300),
              (std::vector<std::string>{"-10.1.1.1/32", "-2001:db8::1/128"}));
    EXPECT_EQ(record("10.1.1.1"), nullptr);
    EXPECT_EQ(avl_numnodes(&vpn->nhres_db), 0u);
}

TEST_F(RtmLinkTest, UpdatesRewriteTheResolution)
{
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD, "eth0", 7, true);
    ASSERT_TRUE(until([&] { return intf("eth0") != nullptr; }));
    uint32_t eth0_idx = intf("eth0")->if_index;
    t_pim_minfo *xg = entry(PIM_TYPE_XG, "10.1.1.1");
    t_pim_minfo *auto_rp = entry(PIM_TYPE_AUTO_RP, "10.1.1.1");
    auto_rp->upstream_state = PIM_UPSTREAM_JOINED;
    ASSERT_EQ(sim->registrations(300), std::vector<std::string>{"+10.1.1.1/32"});
    t_pim_next_hop *nh = record("10.1.1.1");

    t_rtm_sim_update one{"10.1.1.1", 20, 110, 7, {{}}};
    one.nhs[0].gateway = "10.0.0.2";
    one.nhs[0].if_idx = 7;
    ASSERT_TRUE(sim->send_update(one));
    ASSERT_TRUE(until([&] { return nh->num_nh == 1; }));
    const std::string svc = " " + std::to_string(E_PIM_NHTYPE_SERVICE) + "/";
    const std::string eth0 = svc + std::to_string(eth0_idx) + "/";
    EXPECT_EQ(resolution(nh), "20 110 7:" + eth0 + "10.0.0.2");
    // Forced: every dependent entry, whatever its state.
    EXPECT_EQ(g_reevaluated, std::vector<t_pim_minfo *>{xg});
    EXPECT_EQ(g_auto_rp_reevaluated, std::vector<t_pim_minfo *>{auto_rp});
    EXPECT_TRUE(xg->minfo_flags & PIM_MINFO_FLAG_NH_CHANGE);

    // A next hop by interface only has no gateway, whatever the slot held.
    t_rtm_sim_update by_if{"10.1.1.1", {}, {}, 3, {{}}};
    by_if.nhs[0].type = E_RTM_CONTROL_NH_TYPE__IF_IDX;
    by_if.nhs[0].if_idx = 7;
    ASSERT_TRUE(sim->send_update(by_if));
    ASSERT_TRUE(until([&] { return nh->route_type == 3; }));
    EXPECT_EQ(resolution(nh), "0 0 3:" + eth0 + "::");

    // 20 usable next hops and a discard one: the first 16 usable are kept;
    // an unknown kernel index gives no interface, not the slot's previous one.
    t_rtm_sim_update many{"10.1.1.1", {}, {}, {}, {}};
    t_rtm_sim_nh bh;
    bh.type = E_RTM_CONTROL_NH_TYPE__NEXTHOP_BLACKHOLE;
    many.nhs.push_back(bh);
    for (int i = 0; i < 20; i++) {
        t_rtm_sim_nh hop;
        hop.gateway = "10.0.1." + std::to_string(i + 1);
        hop.if_idx = i == 0 ? 99 : 7;
        many.nhs.push_back(hop);
    }
    ASSERT_TRUE(sim->send_update(many));
    ASSERT_TRUE(until([&] { return nh->num_nh == 16; }));
    std::string want = "0 0 0:" + svc + "0/10.0.1.1";
    for (int i = 2; i <= 16; i++) {
        want += eth0 + "10.0.1." + std::to_string(i);
    }
    EXPECT_EQ(resolution(nh), want);

    // An overlay next hop without a source VPN matches any VPN.
    t_rtm_sim_update fab{"10.1.1.1", 1, 1, 16, {{}}};
    fab.nhs[0].type = E_RTM_CONTROL_NH_TYPE__NEXTHOP_INDIRECT;
    fab.nhs[0].gateway = "172.16.0.9";
    fab.nhs[0].color = 3;
    fab.nhs[0].weight = 10;
    ASSERT_TRUE(sim->send_update(fab));
    ASSERT_TRUE(until(
        [&] { return nh->num_nh == 1 && pim_nhres_hops(nh)[0].nh_type == E_PIM_NHTYPE_FAB; }));
    EXPECT_EQ(pim_nhres_hops(nh)[0].src_vpn, 0u);
    EXPECT_EQ(pim_nhres_hops(nh)[0].color, 3u);
    EXPECT_EQ(pim_nhres_hops(nh)[0].encap, 0u);
    EXPECT_EQ(pim_nhres_hops(nh)[0].weight, 10u);
    EXPECT_EQ(pim_nhres_hops(nh)[0].nh_addr.u.addr4, ip("172.16.0.9").u.addr4);

    // No next hops: unresolved. Updates for unknown addresses change nothing.
    ASSERT_TRUE(sim->send_update({"10.1.1.1", {}, {}, {}, {}}));
    ASSERT_TRUE(until([&] { return nh->num_nh == 0; }));
    g_reevaluated.clear();
    t_rtm_sim_update stray{"10.7.7.7", {}, {}, {}, {{}}};
    stray.nhs[0].gateway = "10.0.0.2";
    ASSERT_TRUE(sim->send_update(stray));
    sim->peer().idle(200);
    EXPECT_TRUE(g_reevaluated.empty());
    EXPECT_EQ(record("10.7.7.7"), nullptr);
}

TEST_F(RtmLinkTest, MalformedMessagesAreDropped)
{
    t_pim_minfo *xg = entry(PIM_TYPE_XG, "10.1.1.1");
    ASSERT_EQ(sim->registrations(300), std::vector<std::string>{"+10.1.1.1/32"});
    t_rtm_sim_update one{"10.1.1.1", {}, {}, {}, {{}}};
    one.nhs[0].gateway = "10.0.0.2";
    std::vector<uint8_t> good = t_rtm_sim::pack([&] {
        MRtmControl m = M_RTM_CONTROL__INIT;
        m.type = M_RTM_CONTROL__E_RTM_CONTROL_TYPE__CONTROL_NHRES; // no nhres
        return m;
    }());
    sim->send_raw(t_rtm_sim::frame(good));
    sim->send_raw(t_rtm_sim::frame(good, 1));    // wrong module
    sim->send_raw(t_rtm_sim::frame(good, 0, 6)); // wrong type
    sim->send_raw(t_rtm_sim::frame({0xff, 0xff, 0xff, 0x01}));
    sim->send_raw(t_rtm_sim::frame({0x10, 0x01})); // required type missing
    MRtmControl m = M_RTM_CONTROL__INIT;
    MRtmControlInterface noname = M_RTM_CONTROL_INTERFACE__INIT;
    m.type = M_RTM_CONTROL__E_RTM_CONTROL_TYPE__CONTROL_INTERFACE;
    m.interface = &noname;
    sim->send(m);
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD, std::string(80, 'x'), 3, true);
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD, "eth0", 0, true);
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD, "eth2", 4, true);
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADDRESS_ADD, "eth2", 4, {}, "10.0.0.x",
                 24);
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADDRESS_ADD, "eth2", 4, {}, "10.0.0.1");
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADDRESS_ADD, "eth2", 4, {}, "10.0.0.1",
                 40);
    one.addr = "not-an-address";
    sim->send_update(one);
    // The link survives all of that: a good update still lands.
    one.addr = "10.1.1.1";
    ASSERT_TRUE(sim->send_update(one));
    ASSERT_TRUE(until([&] { return xg->nh_p->num_nh == 1; }));
    EXPECT_NE(intf("eth2"), nullptr);
    EXPECT_EQ(avl_numnodes(&intf("eth2")->if_addr_db), 0u);
    EXPECT_EQ(intf("eth0"), nullptr);
    EXPECT_EQ(vpn->rtm_handle_p->stats.conn_down, 0u);

    // A header that disagrees with the delivered length.
    std::vector<uint8_t> framed = t_rtm_sim::frame(good);
    EXPECT_EQ(
        pim_rtm_pkt_decode(vpn, framed.data(), static_cast<uint32_t>(framed.size() + 1), VPN_ID),
        PIM_STATUS_BAD_MSG);
    EXPECT_EQ(pim_rtm_pkt_decode(vpn, framed.data(), 3, VPN_ID), PIM_STATUS_BAD_MSG);
}

TEST_F(RtmLinkTest, LinkLossAndReturnKeepPimRunning)
{
    t_pim_minfo *xg = entry(PIM_TYPE_XG, "10.1.1.1");
    t_pim_minfo *sg = entry(PIM_TYPE_SG, "10.2.2.2");
    ASSERT_EQ(sim->registrations(300), (std::vector<std::string>{"+10.1.1.1/32", "+10.2.2.2/32"}));
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD, "eth0", 7, true);
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADDRESS_ADD, "eth0", 7, {}, "10.0.0.5",
                 24);
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADDRESS_ADD, "eth0", 7, {}, "10.0.1.5",
                 24);
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD, "eth1", 8, true);
    ASSERT_TRUE(until(
        [&] { return intf("eth1") != nullptr && avl_numnodes(&intf("eth0")->if_addr_db) == 2; }));
    // eth0 configured for PIM with 10.0.0.5 as its primary and running as far
    // as neighbors go: VPN 5 has no namespace here, so it has no socket and
    // whatever it sends is built and counted as failed.
    t_pim_if *eth0 = pim_if_find_or_create(vpn, "eth0", PIM_IF_TYPE_LOCAL, 0, true, false);
    eth0->if_addr = avl_first<t_pim_if_addr>(&eth0->if_addr_db)->addr;
    pim_if_admin_state(eth0, false);
    pim_if_config_update(daemon, vpn, eth0, true);
    ASSERT_EQ(pim_if_init_cfg(eth0), PIM_STATUS_OK);
    eth0->pim_enabled = true;
    t_ipaddr peer = ip("10.0.0.9");
    ASSERT_EQ(pim_nbr_process_hello(eth0, &peer, 105000, 1, 1, 500, 2500), PIM_STATUS_OK);
    uint32_t genid = eth0->genid;
    timer_disable(eth0->trig_hello_timer); // the Hello to the new neighbor is not counted here
    uint32_t sent = eth0->stats.pkt_stats_tx.failed_pkts;

    t_rtm_sim_update one{"10.1.1.1", 5, 1, 4, {{}}};
    one.nhs[0].gateway = "10.0.0.2";
    one.nhs[0].if_idx = 7;
    ASSERT_TRUE(sim->send_update(one));
    ASSERT_TRUE(until([&] { return xg->nh_p->num_nh == 1; }));
    g_reevaluated.clear();

    // The manager vanishes in the middle of a message. Only the records that
    // had next hops re-evaluate their entries.
    std::vector<uint8_t> half = t_rtm_sim::frame(std::vector<uint8_t>(40, 0x08));
    half.resize(20);
    sim->send_raw(half);
    sim->drop();
    ASSERT_TRUE(until([&] { return xg->nh_p->num_nh == 0; }));
    EXPECT_EQ(xg->nh_p->metric, 0);
    EXPECT_EQ(xg->nh_p->preference, 1);
    EXPECT_EQ(g_reevaluated, std::vector<t_pim_minfo *>{xg});
    EXPECT_NE(sg->nh_p, nullptr);

    // It restarts: every record is registered again, in address order. It
    // announces eth0 and its primary again, but neither the secondary address
    // nor eth1: those go once it had its chance.
    connect();
    EXPECT_EQ(sim->registrations(300), (std::vector<std::string>{"+10.1.1.1/32", "+10.2.2.2/32"}));
    ASSERT_TRUE(sim->send_update(one));
    ASSERT_TRUE(until([&] { return xg->nh_p->num_nh == 1; }));
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD, "eth0", 7, true);
    sim->send_if(E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADDRESS_ADD, "eth0", 7, {}, "10.0.0.5",
                 24);
    ASSERT_TRUE(until([&] { return intf("eth1") == nullptr; }, 8000));
    EXPECT_EQ(avl_numnodes(&eth0->if_addr_db), 1u);
    // No goodbye, the neighbor and the generation id stay.
    EXPECT_TRUE(eth0->pim_enabled);
    EXPECT_EQ(eth0->genid, genid);
    EXPECT_EQ(eth0->stats.pkt_stats_tx.failed_pkts, sent);
    EXPECT_NE(pim_nbr_find(eth0, &peer, nullptr), nullptr);
}

} // namespace
