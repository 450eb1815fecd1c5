// The daemon's IGMP daemon link against a simulated IGMP daemon dialling the
// VPN's socket, with the daemon's loop pumped in-process.
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "common/msgq_util.h"
#include "daemon/pim_if.h"
#include "daemon/pim_igmp.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_rp_db.h"
#include "daemon/pim_subsys.h"
#include "tests/sim/igmp_sim.h"
#include "tests/sim/sim_kemd.h"

using kemd_sim::t_igmp_sim;

namespace
{

constexpr uint64_t VPN_ID = 5;
constexpr auto ip = kemd_sim::sim_ip;

t_ipprefix pfx(const char *text, uint8_t len)
{
    t_ipprefix p{};
    p.addr = ip(text);
    p.prefixlen = len;
    return p;
}

struct IgmpLinkTest : ::testing::Test, kemd_sim::t_sim_kemd {
    std::unique_ptr<t_igmp_sim> sim;

    void SetUp() override
    {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root for the private /run";
        }
        char path[MSGQ_PATH_LEN];
        pim_igmp_path(0, path, sizeof(path));
        ASSERT_EQ(std::string(path), "/var/run/.kemd-igmpd.0");
        ASSERT_TRUE(start(VPN_ID));
        ASSERT_EQ(pim_vpn_pim_enable(vpn), PIM_STATUS_OK);
        connect();
    }

    void TearDown() override
    {
        sim.reset();
        stop();
    }

    void connect()
    {
        char path[MSGQ_PATH_LEN];
        pim_igmp_path(VPN_ID, path, sizeof(path));
        sim = t_igmp_sim::connect(path, VPN_ID, 5000, pumper());
        ASSERT_NE(sim, nullptr);
        ASSERT_TRUE(until([&] { return msgq_ready(vpn->igmp_msgq_p); }));
    }

    // Lets everything sent so far arrive (a later message is processed after it).
    void settle() { sim->peer().idle(100); }

    t_pim_if *igmp_if(const char *name) { return pim_if_igmp_find(vpn, name); }

    t_pim_minfo *entry(e_pim_type type, const char *group, const char *source = nullptr)
    {
        t_ipaddr g = ip(group);
        t_ipaddr s = source != nullptr ? ip(source) : t_ipaddr{};
        return pim_minfo_find(vpn, type, &g, source != nullptr ? &s : nullptr, nullptr);
    }

    t_pim_if_minfo *rec(const char *ifname, e_pim_type type, const char *group,
                        const char *source = nullptr)
    {
        t_ipaddr g = ip(group);
        t_ipaddr s = source != nullptr ? ip(source) : t_ipaddr{};
        t_pim_if *if_p = igmp_if(ifname);
        return if_p == nullptr
                   ? nullptr
                   : pim_if_minfo_find(if_p, type, &g, source != nullptr ? &s : nullptr, nullptr);
    }

    t_pim_igmp_shadow *shadow(const char *source, uint8_t slen, const char *group,
                              const char *ifname)
    {
        t_ipprefix s = pfx(source, slen);
        t_ipprefix g = pfx(group, 32);
        return pim_igmp_shadow_find(vpn, &s, &g, ifname, nullptr);
    }

    void set_rp(const char *rp, bool present)
    {
        t_ipprefix range = pfx("224.0.0.0", 4);
        t_ipaddr a = ip(rp);
        if (present) {
            t_pim_rp_db_entry *e =
                pim_rp_db_find_or_create(vpn, nullptr, PIM_RP_TYPE_AUTO_RP, &range, &a);
            e->rp_addr = a;
        } else {
            pim_rp_db_delete_entry(vpn, pim_rp_db_find(vpn, PIM_RP_TYPE_AUTO_RP, &range, nullptr));
        }
        pim_igmp_shadow_schedule_process(vpn);
    }
};

TEST_F(IgmpLinkTest, InterfacesAndBadMessages)
{
    ASSERT_TRUE(sim->send_if(true, "eth1", 7));
    ASSERT_TRUE(until([&] { return igmp_if("eth1_igmp") != nullptr; }));
    t_pim_if *if_p = igmp_if("eth1_igmp");
    EXPECT_EQ(if_p->pim_if_type, PIM_IF_TYPE_IGMP);
    EXPECT_EQ(pim_if_bitmap_idx_to_if_idx(vpn, if_p->if_index), 7u);

    // A new kernel index releases the old index record.
    sim->send_if(true, "eth1", 9);
    ASSERT_TRUE(until([&] { return pim_if_idx_find(vpn, 9, nullptr) != nullptr; }));
    EXPECT_EQ(pim_if_idx_find(vpn, 7, nullptr), nullptr);
    EXPECT_EQ(igmp_if("eth1_igmp")->if_index, pim_if_idx_to_if_bitmap_idx(vpn, 9));

    // Unusable interfaces and bad messages change nothing; the link still works.
    sim->send_if(true, "eth2", 0);
    sim->send_if(true, "", 4);
    sim->send_if(true, std::string(70, 'x'), 4);
    sim->set_vpn_id(6);
    sim->send_if(true, "eth2", 8);
    sim->send_join(true, "eth1", "239.1.1.1", "10.0.0.5");
    sim->set_vpn_id(VPN_ID);
    sim->send_body({0xff, 0xff, 0xff});
    sim->send_body({});
    sim->send_join(true, "eth3", "239.1.1.1", "10.0.0.5");       // unknown interface
    sim->send_join(true, "eth1", "10.1.1.1", "10.0.0.5");        // not a group
    sim->send_join(true, "eth1", "239.1.1.1", "239.0.0.5");      // multicast source
    sim->send_join(true, "eth1", "239.1.1.1", "not-an-address"); // unparsable
    sim->send_join(true, "eth1", "239.1.1.1", "10.0.0.5", 33);   // bad length
    sim->send_join(true, "eth1", "239.1.1.1", "2001:db8::1");    // family mix
    settle();
    EXPECT_EQ(igmp_if("eth2_igmp"), nullptr);
    EXPECT_EQ(pim_if_idx_find(vpn, 4, nullptr), nullptr);
    EXPECT_EQ(avl_numnodes(&vpn->igmp_shadow_db), 0u);
    EXPECT_EQ(avl_numnodes(&vpn->minfo_db), 0u);
    sim->send_join(true, "eth1", "239.1.1.1", "10.0.0.5");
    ASSERT_TRUE(until([&] { return avl_numnodes(&vpn->igmp_shadow_db) == 1; }));

    sim->send_if(false, "eth1", 9);
    ASSERT_TRUE(until([&] { return igmp_if("eth1_igmp") == nullptr; }));
    EXPECT_EQ(pim_if_idx_find(vpn, 9, nullptr), nullptr);
}

TEST_F(IgmpLinkTest, SourceAndGroupJoinsFollowTheRp)
{
    sim->send_if(true, "eth1", 7);
    sim->send_join(true, "eth1", "239.1.1.1", "10.0.0.5", 32);
    ASSERT_TRUE(until([&] { return rec("eth1_igmp", PIM_TYPE_SG, "239.1.1.1", "10.0.0.5"); }));
    EXPECT_EQ(rec("eth1_igmp", PIM_TYPE_SG, "239.1.1.1", "10.0.0.5")->ds_state,
              PIM_IF_DSTREAM_JOINED);
    ASSERT_NE(shadow("10.0.0.5", 32, "239.1.1.1", "eth1_igmp"), nullptr);

    // Shadow runs pass (S,G) memberships over. With the RP known a group is
    // joined at once, recorded with joined false.
    set_rp("10.1.1.1", true);
    sim->peer().idle(2500);
    EXPECT_FALSE(shadow("10.0.0.5", 32, "239.1.1.1", "eth1_igmp")->joined);
    sim->send_join(false, "eth1", "239.1.1.1", "10.0.0.5", 32);
    ASSERT_TRUE(until([&] { return !rec("eth1_igmp", PIM_TYPE_SG, "239.1.1.1", "10.0.0.5"); }));
    EXPECT_EQ(shadow("10.0.0.5", 32, "239.1.1.1", "eth1_igmp"), nullptr);
    EXPECT_EQ(entry(PIM_TYPE_SG, "239.1.1.1", "10.0.0.5"), nullptr);
    sim->send_join(true, "eth1", "239.1.1.1");
    ASSERT_TRUE(until([&] { return rec("eth1_igmp", PIM_TYPE_XG, "239.1.1.1") != nullptr; }));
    EXPECT_EQ(entry(PIM_TYPE_XG, "239.1.1.1")->received_rp.u.addr4, ip("10.1.1.1").u.addr4);
    t_pim_igmp_shadow *sh = shadow("0.0.0.0", 0, "239.1.1.1", "eth1_igmp");
    ASSERT_NE(sh, nullptr);
    EXPECT_FALSE(sh->joined);

    // Without an RP: recorded only, joined by the shadow run after the RP appears.
    set_rp("10.1.1.1", false);
    sim->peer().idle(2500);
    sim->send_join(true, "eth1", "239.2.2.2");
    settle();
    EXPECT_NE(shadow("0.0.0.0", 0, "239.2.2.2", "eth1_igmp"), nullptr);
    EXPECT_EQ(entry(PIM_TYPE_XG, "239.2.2.2"), nullptr);
    set_rp("10.2.2.2", true);
    set_rp("10.2.2.2", true); // coalesced with the first request
    sim->peer().idle(1000);
    EXPECT_EQ(entry(PIM_TYPE_XG, "239.2.2.2"), nullptr);
    ASSERT_TRUE(until([&] { return rec("eth1_igmp", PIM_TYPE_XG, "239.2.2.2") != nullptr; }));
    EXPECT_TRUE(shadow("0.0.0.0", 0, "239.2.2.2", "eth1_igmp")->joined);

    // The RP goes away: the next run prunes every joined (*,G) membership.
    set_rp("10.2.2.2", false);
    ASSERT_TRUE(
        until([&] { return !shadow("0.0.0.0", 0, "239.2.2.2", "eth1_igmp")->joined; }, 3000));
    // Pruned like a received Prune: gone once prune-pending runs out.
    EXPECT_EQ(rec("eth1_igmp", PIM_TYPE_XG, "239.2.2.2")->ds_state, PIM_IF_DSTREAM_PRUNE_PENDING);
    EXPECT_TRUE(until([&] { return !rec("eth1_igmp", PIM_TYPE_XG, "239.2.2.2"); }, 5000));

    // A leave finds the recorded source; an unrecorded leave changes nothing.
    set_rp("10.1.1.1", true);
    sim->peer().idle(2500);
    sim->send_join(false, "eth1", "239.9.9.9");
    sim->send_join(false, "eth1", "239.1.1.1");
    ASSERT_TRUE(until([&] { return rec("eth1_igmp", PIM_TYPE_XG, "239.1.1.1") == nullptr; }));
    EXPECT_EQ(shadow("0.0.0.0", 0, "239.1.1.1", "eth1_igmp"), nullptr);
}

TEST_F(IgmpLinkTest, LinkLossRemovesInterfacesAndKeepsShadows)
{
    sim->send_if(true, "eth1", 7);
    sim->send_join(true, "eth1", "239.2.2.2");
    ASSERT_TRUE(until([&] { return avl_numnodes(&vpn->igmp_shadow_db) == 1; }));
    sim.reset();
    ASSERT_TRUE(until([&] { return igmp_if("eth1_igmp") == nullptr; }));
    EXPECT_NE(shadow("0.0.0.0", 0, "239.2.2.2", "eth1_igmp"), nullptr);

    // A shadow run without the interface passes the entry over.
    set_rp("10.2.2.2", true);
    kemd_sim::sim_idle(pumper(), 2500);
    EXPECT_FALSE(shadow("0.0.0.0", 0, "239.2.2.2", "eth1_igmp")->joined);

    // Reconnected and re-announced under another index: joined again.
    connect();
    sim->send_if(true, "eth1", 12);
    sim->send_join(true, "eth1", "239.2.2.2");
    ASSERT_TRUE(until([&] { return rec("eth1_igmp", PIM_TYPE_XG, "239.2.2.2") != nullptr; }));
    EXPECT_EQ(pim_if_bitmap_idx_to_if_idx(vpn, igmp_if("eth1_igmp")->if_index), 12u);
    EXPECT_EQ(avl_numnodes(&vpn->igmp_shadow_db), 1u);

    std::string dump;
    pim_igmp_shadow_dump(daemon, &dump, [](void *user_p, const char *text) {
        *static_cast<std::string *>(user_p) += text;
    });
    EXPECT_NE(dump.find("PIM IGMP shadow Database\nVPN: 5 (shadow db ptr: "), std::string::npos);
    EXPECT_NE(dump.find("\nGroup: 239.2.2.2/32 Source: 0.0.0.0/0, If-name: eth1_igmp joined: 0"),
              std::string::npos)
        << dump;
}

} // namespace
