// The daemon's forwarding table manager link against a simulated forwarding
// table manager dialling the daemon's server socket, with the daemon's loop
// pumped in-process.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/msgq_util.h"
#include "daemon/pim_ftm.h"
#include "daemon/pim_if.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_nhres.h"
#include "daemon/pim_rp_db.h"
#include "tests/sim/ftm_sim.h"
#include "tests/sim/sim_kemd.h"
#include "tests/sim/sim_syslog.h"

using kemd_sim::sim_ip;
using kemd_sim::t_ftm_sim;

namespace
{

constexpr uint64_t VPN_ID = 7;
constexpr const char *FTM_PATH = "/var/run/.kemd";

std::vector<std::string> g_calls;

std::string call(const char *what, uint64_t vpn_id, const t_ipaddr *s, const t_ipaddr *g)
{
    return std::string(what) + " " + std::to_string(vpn_id) + " " + ipaddr_str(s).c + " " +
           ipaddr_str(g).c;
}

e_pim_status record_create(t_pim_daemon *, uint64_t vpn_id, const t_ipaddr *s, const t_ipaddr *g)
{
    g_calls.push_back(call("create", vpn_id, s, g));
    return PIM_STATUS_OK;
}

e_pim_status record_delete(t_pim_daemon *, uint64_t vpn_id, const t_ipaddr *s, const t_ipaddr *g)
{
    g_calls.push_back(call("delete", vpn_id, s, g));
    return PIM_STATUS_OK;
}

void record_dup(t_pim_daemon *, t_pim_vpn *vpn_p, const t_ipaddr *s, const t_ipaddr *g,
                uint32_t if_index)
{
    g_calls.push_back(call("dup", vpn_p->vpn_id, s, g) + " if " + std::to_string(if_index));
}

struct FtmLinkTest : ::testing::Test, kemd_sim::t_sim_kemd {
    std::unique_ptr<t_ftm_sim> sim;
    t_pim_ftm_ops saved_ops = g_pim_ftm_ops;

    void SetUp() override
    {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root for the private /run";
        }
        g_calls.clear();
        g_pim_ftm_ops.spt_sg_create = record_create;
        g_pim_ftm_ops.spt_sg_delete = record_delete;
        g_pim_ftm_ops.dup_traffic = record_dup;
        ASSERT_TRUE(start(VPN_ID));
        ASSERT_EQ(pim_minfo_init(vpn), PIM_STATUS_OK);
        ASSERT_EQ(pim_nhres_db_init(vpn), PIM_STATUS_OK);
        ASSERT_EQ(pim_rp_db_init(vpn), PIM_STATUS_OK);
        ASSERT_EQ(pim_ftm_init(daemon), PIM_STATUS_OK);
        connect();
    }

    void TearDown() override
    {
        sim.reset();
        if (daemon != nullptr) {
            pim_ftm_destroy(daemon);
        }
        stop();
        g_pim_ftm_ops = saved_ops;
    }

    void connect()
    {
        sim = t_ftm_sim::connect(FTM_PATH, 3000, pumper());
        ASSERT_NE(sim, nullptr);
        ASSERT_TRUE(until([&] { return msgq_ready(daemon->ftm_msgq_p); }));
    }

    std::vector<std::string> sent() { return sim->collect(150); }

    t_pim_if *svc(const std::string &name, int kernel_idx)
    {
        t_pim_if_idx *idx = pim_if_idx_find_or_create(vpn, kernel_idx, PIM_IF_TYPE_LOCAL);
        return pim_if_create(vpn, name.c_str(), PIM_IF_TYPE_LOCAL,
                             static_cast<uint32_t>(idx->bitmap_idx), nullptr, true, true);
    }

    t_pim_if *tunnel(uint32_t n)
    {
        t_ipaddr site{};
        IPADDR_SET_V4(&site, 0xac100000 + n); // 172.16.x.y
        return pim_if_tunnel_create(vpn, &site, 1000 + n);
    }

    t_pim_minfo *entry(e_pim_type type, const char *group, const char *source,
                       std::initializer_list<t_pim_if *> oil)
    {
        t_ipaddr g = sim_ip(group);
        t_ipaddr s = sim_ip(source);
        t_ipaddr rp = sim_ip("10.99.0.1");
        t_pim_minfo *m = pim_minfo_find_or_create(vpn, nullptr, type, &g, &s, &rp);
        EXPECT_NE(m, nullptr);
        for (t_pim_if *if_p : oil) {
            pim_minfo_ilist_set(&m->inherited_olist_p, if_p->if_index);
        }
        return m;
    }

    bool programmed(const t_pim_minfo *m) { return (m->minfo_flags & PIM_MINFO_FLAG_FTM) != 0; }
};

TEST_F(FtmLinkTest, ProgramsIncomingAndOutgoingInterfacesAndFoldsSgRpt)
{
    using V = std::vector<std::string>;
    t_pim_if *eth1 = svc("eth1", 11);
    t_pim_if *eth2 = svc("eth2", 12);
    t_pim_if *eth3 = svc("eth3", 13);
    // A directly connected source: the source's interface is the incoming one,
    // and never outgoing.
    t_pim_minfo *sg = entry(PIM_TYPE_SG, "239.1.1.1", "10.0.0.5", {eth1, eth2, eth3});
    sg->direct_source_if = eth3->if_index;
    sg->update_ftm = true;
    EXPECT_EQ(pim_ftm_add(sg), PIM_STATUS_OK);
    EXPECT_EQ(sent(), V{"add 10.0.0.5 239.1.1.1 iif=13 oil=11,12"});
    EXPECT_TRUE(programmed(sg));
    EXPECT_FALSE(sg->update_ftm);
    // The RPF neighbor's interface wins over the source's.
    sg->rpf_nbr_if = eth1->if_index;
    EXPECT_EQ(pim_ftm_add(sg), PIM_STATUS_OK);
    EXPECT_EQ(sent(), V{"add 10.0.0.5 239.1.1.1 iif=11 oil=12,13"});

    // A (*,G) list holding only its incoming interface: added with an empty oil.
    t_pim_minfo *xg = entry(PIM_TYPE_XG, "239.1.1.2", "0.0.0.0", {eth2});
    xg->rpf_nbr_if = eth2->if_index;
    EXPECT_EQ(pim_ftm_add(xg), PIM_STATUS_OK);
    EXPECT_EQ(sent(), V{"add 0.0.0.0 239.1.1.2 iif=12 oil="});

    // An SPT threshold: monitored (*,G) entries and SPT (S,G) entries only.
    vpn->config.spt_threshold = 100;
    pim_ftm_spt_reprogram(vpn);
    EXPECT_EQ(sent(), V{"add 0.0.0.0 239.1.1.2 iif=12 oil= mon=100"});
    sg->minfo_flags |= PIM_MINFO_FLAG_SPT;
    pim_ftm_spt_reprogram(vpn);
    EXPECT_EQ(sent(), (V{"add 10.0.0.5 239.1.1.1 iif=11 oil=12,13 mon=100",
                         "add 0.0.0.0 239.1.1.2 iif=12 oil= mon=100"}));

    // An empty (*,G) list withdraws it, once; without any incoming interface
    // an entry is withdrawn too.
    pim_minfo_ilist_free(&xg->inherited_olist_p);
    EXPECT_EQ(pim_ftm_add(xg), PIM_STATUS_OK);
    EXPECT_EQ(pim_ftm_add(xg), PIM_STATUS_OK);
    EXPECT_EQ(sent(), V{"del 0.0.0.0 239.1.1.2"});
    EXPECT_FALSE(programmed(xg));
    sg->rpf_nbr_if = 0;
    sg->direct_source_if = 0;
    EXPECT_EQ(pim_ftm_add(sg), PIM_STATUS_OK);
    EXPECT_EQ(sent(), V{"del 10.0.0.5 239.1.1.1"});
    // An incoming index without an interface is not programmed.
    sg->rpf_nbr_if = 300;
    EXPECT_EQ(pim_ftm_add(sg), PIM_STATUS_FAIL);
    EXPECT_TRUE(sent().empty());

    // Auto-RP receive entries: no iif, no oil.
    t_ipaddr g39 = sim_ip("224.0.1.39");
    EXPECT_EQ(pim_ftm_add_group(vpn, &g39), PIM_STATUS_OK);
    EXPECT_EQ(pim_ftm_del_group(vpn, &g39), PIM_STATUS_OK);
    EXPECT_EQ(sent(), (V{"add 0.0.0.0 224.0.1.39 iif=none oil=", "del 0.0.0.0 224.0.1.39"}));

    vpn->config.spt_threshold = 0;
    // Without a threshold, an (S,G,rpt) entry alone programs the (S,G) forwarding entry itself.
    (void)entry(PIM_TYPE_XG, "239.3.3.3", "0.0.0.0", {});
    t_pim_minfo *rpt = entry(PIM_TYPE_SG_RPT, "239.3.3.3", "10.0.0.7", {eth2});
    rpt->rpf_nbr_if = eth1->if_index;
    EXPECT_EQ(pim_ftm_add(rpt), PIM_STATUS_OK);
    EXPECT_EQ(sent(), V{"add 10.0.0.7 239.3.3.3 iif=11 oil=12"});
    EXPECT_TRUE(programmed(rpt));
    // The (S,G) entry takes the forwarding entry over.
    t_pim_minfo *sg7 = entry(PIM_TYPE_SG, "239.3.3.3", "10.0.0.7", {eth2, eth1});
    sg7->direct_source_if = eth3->if_index;
    EXPECT_EQ(pim_ftm_add(sg7), PIM_STATUS_OK);
    EXPECT_FALSE(programmed(rpt));
    EXPECT_TRUE(programmed(sg7));
    EXPECT_EQ(pim_ftm_add(rpt), PIM_STATUS_OK);
    EXPECT_EQ(sent(), (V{"add 10.0.0.7 239.3.3.3 iif=13 oil=11,12",
                         "add 10.0.0.7 239.3.3.3 iif=13 oil=11,12"}));
    // Deleting the (S,G,rpt) entry sends nothing while the (S,G) one exists.
    rpt->minfo_flags |= PIM_MINFO_FLAG_FTM;
    EXPECT_EQ(pim_ftm_delete(rpt), PIM_STATUS_OK);
    EXPECT_FALSE(programmed(rpt));
    EXPECT_EQ(pim_ftm_delete(sg7), PIM_STATUS_OK);
    EXPECT_EQ(pim_ftm_delete(sg7), PIM_STATUS_OK);
    EXPECT_EQ(sent(), V{"del 10.0.0.7 239.3.3.3"});
}

TEST_F(FtmLinkTest, OutgoingListLimits)
{
    t_pim_if *src_if = svc("src", 99);
    std::vector<t_pim_if *> svcs;
    for (int i = 0; i < 70; i++) {
        svcs.push_back(svc("lan" + std::to_string(i), 100 + i));
    }
    std::vector<t_pim_if *> tuns;
    for (uint32_t i = 1; i <= 300; i++) {
        tuns.push_back(tunnel(i));
        ASSERT_NE(tuns.back(), nullptr);
    }
    t_pim_minfo *sg = entry(PIM_TYPE_SG, "239.2.2.2", "10.9.9.9", {});
    sg->direct_source_if = src_if->if_index;
    for (t_pim_if *if_p : svcs) {
        pim_minfo_ilist_set(&sg->inherited_olist_p, if_p->if_index);
    }
    for (int i = 0; i < 3; i++) {
        pim_minfo_ilist_set(&sg->inherited_olist_p, tuns[i]->if_index);
    }
    // 70 service and 3 tunnel interfaces: the first 64 service ones and the
    // tunnels; 300 tunnels: the 256 lowest. One notice each time a list
    // reaches a limit.
    auto oil = [&] {
        kemd_sim::t_ftm_msg m = sim->recv(1000);
        std::string out;
        for (size_t i = 0; m != nullptr && m->sg_add != nullptr && i < m->sg_add->n_oil; i++) {
            const auto *o = m->sg_add->oil[i];
            out += o->has_system_ip ? " " + std::to_string(o->label) + "@" +
                                          std::to_string(ntohl(o->system_ip) - 0xac100000)
                                    : " " + std::to_string(o->if_index);
        }
        return out;
    };
    std::string want;
    for (int i = 0; i < 64; i++) {
        want += " " + std::to_string(100 + i);
    }
    kemd_sim::g_sim_syslog_capture = true;
    ASSERT_EQ(pim_ftm_add(sg), PIM_STATUS_OK);
    EXPECT_EQ(oil(), want + " 1001@1 1002@2 1003@3");
    pim_minfo_ilist_free(&sg->inherited_olist_p);
    for (t_pim_if *if_p : tuns) {
        pim_minfo_ilist_set(&sg->inherited_olist_p, if_p->if_index);
    }
    ASSERT_EQ(pim_ftm_add(sg), PIM_STATUS_OK);
    want.clear();
    for (int i = 1; i <= 256; i++) {
        want += " " + std::to_string(1000 + i) + "@" + std::to_string(i);
    }
    EXPECT_EQ(oil(), want);
    kemd_sim::g_sim_syslog_capture = false;
    EXPECT_EQ(kemd_sim::sim_syslog_take("KEMD-5-NTCE-1900005"),
              (std::vector<std::string>{
                  "Maximum supported 64 service outgoing interface list reachedprogram tunnel "
                  "interfaces",
                  "Maximum supported 256 tunnel outgoing interface list reachedskipping next "
                  "interfaces"}));
}

TEST_F(FtmLinkTest, ReconnectReAddsEverythingInKeyOrder)
{
    using V = std::vector<std::string>;
    t_pim_if *eth1 = svc("eth1", 11);
    t_pim_if *eth2 = svc("eth2", 12);
    t_pim_minfo *xg = entry(PIM_TYPE_XG, "239.5.5.5", "0.0.0.0", {eth2});
    xg->rpf_nbr_if = eth1->if_index;
    t_pim_minfo *sg2 = entry(PIM_TYPE_SG, "239.4.4.4", "10.0.0.2", {eth1});
    sg2->direct_source_if = eth2->if_index;
    t_pim_minfo *sg1 = entry(PIM_TYPE_SG, "239.4.4.4", "10.0.0.1", {eth1});
    sg1->direct_source_if = eth2->if_index;
    for (t_pim_minfo *m : {xg, sg2, sg1}) {
        EXPECT_EQ(pim_ftm_add(m), PIM_STATUS_OK);
    }
    EXPECT_EQ(sent().size(), 3u);

    // Down: every flag cleared; nothing queued meanwhile.
    sim->peer().drop();
    ASSERT_TRUE(until([&] { return !msgq_ready(daemon->ftm_msgq_p); }));
    EXPECT_FALSE(programmed(xg) || programmed(sg1) || programmed(sg2));
    pim_minfo_ilist_set(&xg->inherited_olist_p, eth1->if_index);
    xg->rpf_nbr_if = eth2->if_index;
    EXPECT_EQ(pim_ftm_add(xg), PIM_STATUS_OK);
    EXPECT_EQ(pim_ftm_delete(sg2), PIM_STATUS_OK);
    EXPECT_FALSE(programmed(xg));

    // Up again: the whole table, in key order, as it stands now.
    connect();
    EXPECT_EQ(sent(),
              (V{"add 10.0.0.1 239.4.4.4 iif=12 oil=11", "add 10.0.0.2 239.4.4.4 iif=12 oil=11",
                 "add 0.0.0.0 239.5.5.5 iif=12 oil=11"}));
    EXPECT_TRUE(programmed(xg) && programmed(sg1) && programmed(sg2));
}

TEST_F(FtmLinkTest, ReportsReachTheirHandlers)
{
    using V = std::vector<std::string>;
    // Present (true or false) means above; absent means below.
    sim->send_spt(VPN_ID, "10.0.0.5", "239.1.1.1", true);
    sim->send_spt(VPN_ID, "10.0.0.5", "239.1.1.1", false);
    sim->send_spt(VPN_ID, "10.0.0.5", "239.1.1.1", std::nullopt);
    sim->send_assert(VPN_ID, "10.0.0.5", "239.1.1.1", 12);
    // Dropped: unknown VPN, Assert without interface, bad addresses, bytes
    // that do not decode, a type the daemon does not take.
    sim->send_spt(99, "10.0.0.5", "239.1.1.1", true);
    sim->send_assert(99, "10.0.0.5", "239.1.1.1", 12);
    sim->send_assert(VPN_ID, "10.0.0.5", "239.1.1.1", std::nullopt);
    sim->send_spt(VPN_ID, "not-an-address", "239.1.1.1", true);
    sim->send_spt(VPN_ID, "0.0.0.0", "239.1.1.1", true);
    sim->send_spt(VPN_ID, "10.0.0.5", "10.1.1.1", true);
    sim->send_body({0xff, 0xff, 0xff, 0x07});
    sim->send_body({0x08, 0x09});
    sim->send_body({0x08, 0x01});
    sim->send_spt(VPN_ID, "10.0.0.6", "239.1.1.1", std::nullopt);
    ASSERT_TRUE(until([&] { return g_calls.size() >= 5; }));
    sim->peer().idle(100);
    EXPECT_EQ(g_calls, (V{"create 7 10.0.0.5 239.1.1.1", "create 7 10.0.0.5 239.1.1.1",
                          "delete 7 10.0.0.5 239.1.1.1", "dup 7 10.0.0.5 239.1.1.1 if 12",
                          "delete 7 10.0.0.6 239.1.1.1"}));
    EXPECT_TRUE(msgq_ready(daemon->ftm_msgq_p));
}

} // namespace
