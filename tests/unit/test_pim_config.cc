// The configuration handlers fed with hand-built deliveries: operations, keys
// and tagged values as the configuration agent sends them.
#include <event2/event.h>
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "daemon/pim_confd.h"
#include "daemon/pim_config.h"
#include "daemon/pim_rp_db.h"
#include "tests/unit/pim_test_env.h"

namespace
{

using t_vals = std::vector<t_zconfd_value>;

t_zconfd_value begin(const char *node) { return zconfd_val_begin(zconfd_tag(node)); }
t_zconfd_value end(const char *node) { return zconfd_val_end(zconfd_tag(node)); }
t_zconfd_value absent(const char *node) { return zconfd_val_noexists(zconfd_tag(node)); }
t_zconfd_value flag(const char *node, bool b) { return zconfd_val_bool(zconfd_tag(node), b); }
t_zconfd_value num(const char *node, e_zconfd_vtype type, uint64_t u)
{
    return zconfd_val_uint(zconfd_tag(node), type, u);
}
t_zconfd_value text(const char *node, const char *s) { return zconfd_val_str(zconfd_tag(node), s); }

// The pim container of a VPN delivery with the given leaves inside.
t_vals in_pim(std::initializer_list<t_zconfd_value> leaves)
{
    t_vals v = {begin("router"), begin("pim")};
    v.insert(v.end(), leaves);
    v.push_back(end("pim"));
    v.push_back(end("router"));
    return v;
}

std::string prefix_text(const t_ipprefix &p)
{
    char buf[64];
    return ipprefix_print(&p, buf, sizeof(buf));
}

bool g_present = true;
bool test_present(uint64_t, const char *name) { return g_present && strcmp(name, "gone0") != 0; }

struct PimConfigTest : PimEnvTest {
    t_zconfd_sub_entry row{};

    void SetUp() override
    {
        PimEnvTest::SetUp();
        daemon_p->base_event_p = event_base_new();
        // An agent socket nobody serves: the handlers are called directly.
        ASSERT_EQ(pim_confd_init_at(daemon_p, "/nonexistent/kemd-test.cdbd"), PIM_STATUS_OK);
        ASSERT_NE(daemon_p->pim_zconfd_ctx_p, nullptr);
        row.ctxt_p = daemon_p->pim_zconfd_ctx_p->zconfd_p;
        g_present = true;
        pim_config_set_if_present(test_present);
    }

    void TearDown() override
    {
        pim_config_set_if_present(nullptr);
        pim_vpn_destroy(daemon_p);
        pim_confd_destroy(daemon_p);
        event_base_free(daemon_p->base_event_p);
        pim_timers_destroy(daemon_p);
        pim_delete(daemon_p);
        g_kemd_p = nullptr;
    }

    int system(const t_vals &vals)
    {
        return pim_config_system(&row, ZCONFD_MOP_MODIFIED, 0, nullptr,
                                 static_cast<int>(vals.size()), vals.data());
    }

    int vpn(int oper, uint64_t id, const t_vals &vals = {})
    {
        t_zconfd_value key = num("vpn-id", ZCONFD_VT_UINT64, id);
        return pim_config_vpn(&row, oper, 1, &key, static_cast<int>(vals.size()), vals.data());
    }

    int vpn_if(int oper, uint64_t id, const char *name, const t_vals &vals = {})
    {
        t_zconfd_value keys[2] = {num("vpn-id", ZCONFD_VT_UINT64, id), text("if-name", name)};
        return pim_config_vpn_if(&row, oper, 2, keys, static_cast<int>(vals.size()), vals.data());
    }

    int pim_if(int oper, uint64_t id, const char *name, const t_vals &vals = {})
    {
        t_zconfd_value keys[2] = {num("vpn-id", ZCONFD_VT_UINT64, id), text("if-name", name)};
        return pim_config_vpn_pim_if(&row, oper, 2, keys, static_cast<int>(vals.size()),
                                     vals.data());
    }

    t_pim_if *find_if(t_pim_vpn *v, const char *name)
    {
        return pim_if_find(v, name, PIM_IF_TYPE_LOCAL, nullptr, false);
    }
};

TEST_F(PimConfigTest, ReservedVpnsAreIgnoredAndVpn0OnlyByTheInterfaceKeypaths)
{
    for (uint64_t id : {512, 65529}) {
        EXPECT_EQ(vpn(ZCONFD_MOP_CREATED, id, in_pim({flag("shutdown", false)})), 0);
        EXPECT_EQ(pim_vpn_find(daemon_p, id, nullptr), nullptr);
        EXPECT_EQ(vpn_if(ZCONFD_MOP_CREATED, id, "ge0", {flag("shutdown", false)}), 0);
        EXPECT_EQ(pim_if(ZCONFD_MOP_CREATED, id, "ge0"), 0);
    }
    // A reserved VPN that exists anyway is not touched by a deletion either.
    ASSERT_NE(pim_vpn_find_or_create(daemon_p, 512), nullptr);
    EXPECT_EQ(vpn(ZCONFD_MOP_DELETED, 512), 0);
    EXPECT_NE(pim_vpn_find(daemon_p, 512, nullptr), nullptr);

    // VPN 0 runs PIM from its creation.
    EXPECT_EQ(vpn(ZCONFD_MOP_CREATED, 0), 0);
    t_pim_vpn *v0 = pim_vpn_find(daemon_p, 0, nullptr);
    ASSERT_NE(v0, nullptr);
    EXPECT_TRUE(v0->pim_enabled);
    EXPECT_EQ(vpn_if(ZCONFD_MOP_CREATED, 0, "ge0", {flag("shutdown", false)}), 0);
    EXPECT_EQ(pim_if(ZCONFD_MOP_CREATED, 0, "ge0"), 0);
    EXPECT_EQ(avl_numnodes(&v0->if_db), 0u);

    // Keys of the wrong kind fail the delivery instead of guessing.
    t_zconfd_value bad = text("vpn-id", "7");
    EXPECT_EQ(pim_config_vpn(&row, ZCONFD_MOP_CREATED, 1, &bad, 0, nullptr), 1);
    EXPECT_EQ(pim_config_vpn(&row, ZCONFD_MOP_CREATED, 0, nullptr, 0, nullptr), 1);
    t_zconfd_value one_key = num("vpn-id", ZCONFD_VT_UINT64, 7);
    EXPECT_EQ(pim_config_vpn_if(&row, ZCONFD_MOP_CREATED, 1, &one_key, 0, nullptr), 1);
}

TEST_F(PimConfigTest, PimContainerShutdownAndAutoRp)
{
    ASSERT_EQ(vpn(ZCONFD_MOP_CREATED, 8, in_pim({flag("shutdown", false), flag("auto-rp", true)})),
              0);
    t_pim_vpn *v = pim_vpn_find(daemon_p, 8, nullptr);
    ASSERT_NE(v, nullptr);
    EXPECT_TRUE(v->pim_enabled);
    EXPECT_TRUE(v->config.auto_rp);
    // A PIM interface, to tell a shutdown (settings kept) from a deletion.
    ASSERT_EQ(vpn_if(ZCONFD_MOP_CREATED, 8, "ge1", {flag("shutdown", false)}), 0);
    ASSERT_EQ(pim_if(ZCONFD_MOP_CREATED, 8, "ge1"), 0);
    t_pim_if *if_p = find_if(v, "ge1");
    ASSERT_NE(if_p, nullptr);
    EXPECT_TRUE(if_p->pim_configured);

    // Outside the pim container's markers these leaves are someone else's.
    EXPECT_EQ(vpn(ZCONFD_MOP_MODIFIED, 8, {flag("shutdown", true), flag("auto-rp", false)}), 0);
    EXPECT_TRUE(v->pim_enabled);
    EXPECT_TRUE(v->config.auto_rp);

    EXPECT_EQ(vpn(ZCONFD_MOP_MODIFIED, 8, in_pim({flag("shutdown", true)})), 0);
    EXPECT_FALSE(v->pim_enabled);
    EXPECT_TRUE(v->config.shutdown);
    EXPECT_TRUE(if_p->pim_configured);
    // Another PIM setting of a shut VPN does not bring PIM back.
    EXPECT_EQ(vpn(ZCONFD_MOP_MODIFIED, 8, in_pim({flag("auto-rp", false)})), 0);
    EXPECT_FALSE(v->pim_enabled);
    EXPECT_FALSE(v->config.auto_rp);
    // Each state given twice: the second is no change.
    for (bool shut : {true, true, false, false}) {
        EXPECT_EQ(vpn(ZCONFD_MOP_MODIFIED, 8, in_pim({flag("shutdown", shut)})), 0);
        EXPECT_EQ(v->pim_enabled, !shut);
    }

    // Removing the container deletes PIM and its interface settings; the
    // VPN and its interfaces stay.
    EXPECT_EQ(vpn(ZCONFD_MOP_MODIFIED, 8, {begin("router"), absent("pim"), end("router")}), 0);
    EXPECT_FALSE(v->pim_enabled);
    EXPECT_FALSE(if_p->pim_configured);
    EXPECT_EQ(pim_vpn_find(daemon_p, 8, nullptr), v);
    EXPECT_EQ(find_if(v, "ge1"), if_p);

    // Also when PIM was shut before.
    EXPECT_EQ(vpn(ZCONFD_MOP_MODIFIED, 8, in_pim({flag("shutdown", true)})), 0);
    ASSERT_EQ(pim_if(ZCONFD_MOP_CREATED, 8, "ge1"), 0);
    EXPECT_TRUE(if_p->pim_configured);
    EXPECT_EQ(vpn(ZCONFD_MOP_MODIFIED, 8, {begin("router"), absent("pim"), end("router")}), 0);
    EXPECT_FALSE(if_p->pim_configured);
    EXPECT_FALSE(v->config.shutdown);

    EXPECT_EQ(vpn(ZCONFD_MOP_DELETED, 8), 0);
    EXPECT_EQ(pim_vpn_find(daemon_p, 8, nullptr), nullptr);
    // Changes for a VPN that is gone are dropped without failing the commit.
    EXPECT_EQ(vpn(ZCONFD_MOP_MODIFIED, 8, in_pim({flag("shutdown", false)})), 0);
    EXPECT_EQ(pim_vpn_find(daemon_p, 8, nullptr), nullptr);
}

TEST_F(PimConfigTest, SptReplicatorVrfAndSystemAddress)
{
    ASSERT_EQ(vpn(ZCONFD_MOP_CREATED, 9,
                  {zconfd_val_int(zconfd_tag("vrf-id"), 42), begin("router"), begin("pim"),
                   flag("shutdown", true), num("spt-threshold", ZCONFD_VT_UINT16, 100),
                   begin("replicator"), flag("replicator-local", true),
                   num("replicator-threshold", ZCONFD_VT_UINT32, 50),
                   zconfd_val_enum(zconfd_tag("replicator-selection"), 0), end("replicator"),
                   end("pim"), end("router")}),
              0);
    t_pim_vpn *v = pim_vpn_find(daemon_p, 9, nullptr);
    ASSERT_NE(v, nullptr);
    // Stored while PIM is shut; the replicator is made when PIM starts.
    EXPECT_FALSE(v->pim_enabled);
    EXPECT_EQ(v->config.spt_threshold, 100);
    EXPECT_TRUE(v->config.replicator.replicator);
    EXPECT_EQ(v->config.replicator.threshold, 50u);
    EXPECT_EQ(v->config.replicator.method, E_PIM_REPL_SELECT_RANDOM);

    // The VPN's loopback is named by the configured VRF id.
    int16_t vrf = 0;
    EXPECT_EQ(pim_confd_get_vrf_id(9, &vrf), PIM_STATUS_OK);
    EXPECT_EQ(vrf, 42);
    EXPECT_STREQ(v->tunnel_if.if_name, "loop0.42");
    EXPECT_EQ(pim_confd_get_vrf_id(7, &vrf), PIM_STATUS_OK);
    EXPECT_EQ(vrf, 7);
    EXPECT_EQ(vpn(ZCONFD_MOP_MODIFIED, 9, {absent("vrf-id")}), 0);
    EXPECT_STREQ(v->tunnel_if.if_name, "loop0.9");

    EXPECT_EQ(vpn(ZCONFD_MOP_MODIFIED, 9,
                  in_pim({absent("spt-threshold"), begin("replicator"),
                          absent("replicator-selection"), end("replicator")})),
              0);
    EXPECT_EQ(v->config.spt_threshold, PIM_SPT_THRESHOLD_INFINITY);
    EXPECT_EQ(v->config.replicator.method, E_PIM_REPL_SELECT_STICKY);
    EXPECT_EQ(
        vpn(ZCONFD_MOP_MODIFIED, 9,
            in_pim({begin("replicator"), zconfd_val_enum(zconfd_tag("replicator-selection"), 1),
                    end("replicator")})),
        0);
    EXPECT_EQ(v->config.replicator.method, E_PIM_REPL_SELECT_STICKY);
    EXPECT_EQ(vpn(ZCONFD_MOP_MODIFIED, 9, in_pim({absent("replicator")})), 0);
    EXPECT_FALSE(v->config.replicator.replicator);
    EXPECT_EQ(v->config.replicator.threshold, 0u);

    // Everything set inside pim goes back to its absent state with pim.
    EXPECT_EQ(vpn(ZCONFD_MOP_MODIFIED, 9, in_pim({num("spt-threshold", ZCONFD_VT_UINT16, 7)})), 0);
    EXPECT_EQ(vpn(ZCONFD_MOP_MODIFIED, 9, {begin("router"), absent("pim"), end("router")}), 0);
    EXPECT_EQ(v->config.spt_threshold, PIM_SPT_THRESHOLD_INFINITY);
    EXPECT_FALSE(v->config.shutdown);

    EXPECT_EQ(vpn(ZCONFD_MOP_DELETED, 9), 0);
    EXPECT_EQ(pim_confd_get_vrf_id(9, &vrf), PIM_STATUS_OK);
    EXPECT_EQ(vrf, 9);

    t_ipaddr v4 = PimEnvTest::v4(0x0AFF0001);
    EXPECT_EQ(system({text("host-name", "r1"), zconfd_val_ipaddr(zconfd_tag("system-ip"), &v4)}),
              0);
    EXPECT_STREQ(ipaddr_str(&daemon_p->system_ip).c, "10.255.0.1");
    t_ipaddr v6{};
    ASSERT_EQ(str_to_ip("2001:db8::1", &v6), 1);
    EXPECT_EQ(system({zconfd_val_ipaddr(zconfd_tag("system-ip"), &v6)}), 0);
    EXPECT_STREQ(ipaddr_str(&daemon_p->system_ip).c, "2001:db8::1");
    EXPECT_EQ(system({absent("system-ip")}), 0);
    EXPECT_STREQ(ipaddr_str(&daemon_p->system_ip).c, "0.0.0.0");
}

TEST_F(PimConfigTest, StaticRpIntoTheRpTable)
{
    auto rp_val = [](const char *a) {
        t_ipaddr ip{};
        EXPECT_EQ(str_to_ip(a, &ip), 1);
        return zconfd_val_ipaddr(zconfd_tag("rp-address"), &ip);
    };
    auto range_val = [](const char *t) {
        t_ipprefix p{};
        EXPECT_EQ(zconfd_ip_prefix_str_to_t_ipprefix(t, &p), 0);
        return zconfd_val_ipprefix(zconfd_tag("group-range"), &p);
    };
    auto table = [this](t_pim_vpn *v) {
        std::string out;
        for (auto *e = avl_first<t_pim_rp_db_entry>(&v->rp_db); e != nullptr;
             e = avl_next(&v->rp_db, e)) {
            out += prefix_text(e->grp_prefix) + ">" + ipaddr_str(&e->rp_addr).c + ";";
        }
        return out;
    };
    ASSERT_EQ(vpn(ZCONFD_MOP_CREATED, 6,
                  in_pim({flag("shutdown", false), begin("static-rp"), rp_val("10.99.0.1"),
                          range_val("224.0.0.0/4"), end("static-rp")})),
              0);
    t_pim_vpn *v = pim_vpn_find(daemon_p, 6, nullptr);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(table(v), "224.0.0.0/4>10.99.0.1;");

    // A change brings only the changed leaf.
    EXPECT_EQ(vpn(ZCONFD_MOP_MODIFIED, 6,
                  in_pim({begin("static-rp"), range_val("239.0.0.0/8"), end("static-rp")})),
              0);
    EXPECT_EQ(table(v), "239.0.0.0/8>10.99.0.1;");

    // Bad values refuse the whole delivery.
    for (const t_zconfd_value &bad : {rp_val("239.1.1.1"), rp_val("0.0.0.0"),
                                      range_val("10.0.0.0/8"), range_val("0.0.0.0/0")}) {
        EXPECT_EQ(vpn(ZCONFD_MOP_MODIFIED, 6,
                      in_pim({num("spt-threshold", ZCONFD_VT_UINT16, 5), begin("static-rp"), bad,
                              end("static-rp")})),
                  1);
        EXPECT_EQ(v->config.spt_threshold, PIM_SPT_THRESHOLD_INFINITY);
        EXPECT_EQ(table(v), "239.0.0.0/8>10.99.0.1;");
    }

    // Kept over a shutdown; gone with the container, and with a re-creation
    // that no longer carries it.
    EXPECT_EQ(vpn(ZCONFD_MOP_MODIFIED, 6, in_pim({flag("shutdown", true)})), 0);
    EXPECT_EQ(vpn(ZCONFD_MOP_MODIFIED, 6, in_pim({flag("shutdown", false)})), 0);
    EXPECT_EQ(table(v), "239.0.0.0/8>10.99.0.1;");
    EXPECT_EQ(vpn(ZCONFD_MOP_MODIFIED, 6, in_pim({absent("static-rp")})), 0);
    EXPECT_EQ(table(v), "");
    EXPECT_EQ(vpn(ZCONFD_MOP_MODIFIED, 6,
                  in_pim({begin("static-rp"), rp_val("10.99.0.2"), end("static-rp")})),
              0);
    EXPECT_EQ(table(v), "224.0.0.0/4>10.99.0.2;");
    EXPECT_EQ(vpn(ZCONFD_MOP_CREATED, 6, in_pim({flag("shutdown", false)})), 0);
    EXPECT_EQ(table(v), "");
    EXPECT_TRUE(IPADDR_IS_ZERO(&v->config.rp));
}

TEST_F(PimConfigTest, InterfacesAddressesAndShutdown)
{
    EXPECT_EQ(vpn_if(ZCONFD_MOP_CREATED, 20, "ge0", {flag("shutdown", false)}), 1);
    // What the platform does not have is passed over.
    EXPECT_EQ(vpn_if(ZCONFD_MOP_CREATED, 7, "gone0", {flag("shutdown", false)}), 0);
    EXPECT_EQ(find_if(vpn_p, "gone0"), nullptr);
    EXPECT_EQ(vpn_if(ZCONFD_MOP_CREATED, 7, "", {flag("shutdown", false)}), 0);

    ASSERT_EQ(
        vpn_if(ZCONFD_MOP_CREATED, 7, "ge0",
               {begin("ip"), text("address", "10.1.1.1/24"), end("ip"), flag("shutdown", false)}),
        0);
    t_pim_if *if_p = find_if(vpn_p, "ge0");
    ASSERT_NE(if_p, nullptr);
    EXPECT_TRUE(if_p->config_exist);
    EXPECT_EQ(if_p->admin_state, PIM_IF_STATE_UP);
    EXPECT_EQ(prefix_text(if_p->if_addr), "10.1.1.1/24");
    EXPECT_EQ(vpn_if(ZCONFD_MOP_MODIFIED, 7, "ge9", {flag("shutdown", true)}), 1);

    EXPECT_EQ(vpn_if(ZCONFD_MOP_MODIFIED, 7, "ge0", {flag("shutdown", true)}), 0);
    EXPECT_EQ(if_p->admin_state, PIM_IF_STATE_DOWN);
    // A shut interface takes a new address but stays shut.
    EXPECT_EQ(vpn_if(ZCONFD_MOP_MODIFIED, 7, "ge0",
                     {begin("ip"), text("address", "10.1.2.1/24"), end("ip")}),
              0);
    EXPECT_EQ(prefix_text(if_p->if_addr), "10.1.2.1/24");
    EXPECT_EQ(if_p->admin_state, PIM_IF_STATE_DOWN);
    EXPECT_EQ(vpn_if(ZCONFD_MOP_MODIFIED, 7, "ge0", {absent("shutdown")}), 0);
    EXPECT_EQ(if_p->admin_state, PIM_IF_STATE_UP);
    EXPECT_EQ(vpn_if(ZCONFD_MOP_MODIFIED, 7, "ge0", {begin("ip"), absent("address"), end("ip")}),
              0);
    EXPECT_TRUE(IPADDR_IS_ZERO(&if_p->if_addr.addr));
    EXPECT_TRUE(IPPREFIX_IS_V4(&if_p->if_addr));
    // Text the schema would never pass fails the delivery and changes nothing.
    for (const char *bad : {"10.1.1.1/33", "10.1.1/24", "ge0"}) {
        EXPECT_EQ(vpn_if(ZCONFD_MOP_MODIFIED, 7, "ge0", {begin("ip"), text("address", bad)}), 1);
        EXPECT_TRUE(IPADDR_IS_ZERO(&if_p->if_addr.addr)) << bad;
    }

    EXPECT_EQ(vpn_if(ZCONFD_MOP_DELETED, 7, "ge0"), 0);
    EXPECT_EQ(find_if(vpn_p, "ge0"), nullptr);
    EXPECT_EQ(vpn_if(ZCONFD_MOP_DELETED, 7, "ge0"), 0);
}

TEST_F(PimConfigTest, OnlyANewPrimaryAddressRestartsPim)
{
    t_pim_if *if_p = running_if("run0", 0x0A010101, 24);
    ASSERT_TRUE(if_p->pim_enabled);
    if_p->config_exist = true;
    uint32_t genid = if_p->genid;
    for (const char *text_v : {"2001:db8::1/64", "10.1.1.1/24"}) {
        const char *family = strchr(text_v, ':') != nullptr ? "ipv6" : "ip";
        EXPECT_EQ(vpn_if(ZCONFD_MOP_MODIFIED, 7, "run0",
                         {begin(family), text("address", text_v), end(family)}),
                  0);
        EXPECT_TRUE(if_p->pim_enabled) << text_v;
        EXPECT_EQ(if_p->genid, genid) << text_v;
    }
    EXPECT_EQ(prefix_text(if_p->if_addr), "10.1.1.1/24");
    // A new primary: shut (a goodbye Hello was built) and unshut; without a
    // socket in this test, PIM does not come back up on it.
    EXPECT_EQ(vpn_if(ZCONFD_MOP_MODIFIED, 7, "run0",
                     {begin("ip"), text("address", "10.1.1.2/24"), end("ip")}),
              0);
    EXPECT_EQ(last_hello().holdtime, 0);
    EXPECT_FALSE(if_p->pim_enabled);
    EXPECT_EQ(if_p->admin_state, PIM_IF_STATE_UP);
}

TEST_F(PimConfigTest, InterfaceConfigurationWaitsForTheKernelInterface)
{
    // The chassis layer's own answer: any name the kernel accepts is present,
    // whether or not VPN 7's namespace holds it yet.
    pim_config_set_if_present(nullptr);
    EXPECT_EQ(vpn_if(ZCONFD_MOP_CREATED, 7, "bad/0", {flag("shutdown", false)}), 0);
    EXPECT_EQ(find_if(vpn_p, "bad/0"), nullptr);
    ASSERT_EQ(
        vpn_if(ZCONFD_MOP_CREATED, 7, "late0",
               {begin("ip"), text("address", "10.7.0.1/24"), end("ip"), flag("shutdown", false)}),
        0);
    ASSERT_EQ(pim_if(ZCONFD_MOP_CREATED, 7, "late0", {num("dr-priority", ZCONFD_VT_UINT32, 9)}), 0);
    t_pim_if *if_p = find_if(vpn_p, "late0");
    ASSERT_NE(if_p, nullptr);
    EXPECT_FALSE(if_p->zebra_exist);
    EXPECT_TRUE(if_p->pim_configured);
    EXPECT_EQ(if_p->config.dr_priority, 9u);

    // The route table manager reports it: the kept configuration applies.
    t_pim_if_idx *idx = pim_if_idx_find_or_create(vpn_p, 70, PIM_IF_TYPE_LOCAL);
    ASSERT_EQ(pim_if_find_or_create(vpn_p, "late0", PIM_IF_TYPE_LOCAL,
                                    static_cast<uint32_t>(idx->bitmap_idx), false, true),
              if_p);
    pim_if_oper_state(if_p, false);
    EXPECT_EQ(
        pim_if_addr_update(daemon_p, vpn_p, "late0", PIM_IF_TYPE_LOCAL, &if_p->if_addr, false), 0);
    EXPECT_TRUE(if_p->config_exist && if_p->zebra_exist);
    EXPECT_EQ(prefix_text(if_p->if_addr), "10.7.0.1/24");
    EXPECT_EQ(pim_if_find(vpn_p, "late0", PIM_IF_TYPE_LOCAL, nullptr, true), if_p);
}

TEST_F(PimConfigTest, RefusedChangesApplyNothing)
{
    ASSERT_EQ(
        vpn_if(ZCONFD_MOP_CREATED, 7, "ge0",
               {begin("ip"), text("address", "10.1.1.1/24"), end("ip"), flag("shutdown", false)}),
        0);
    t_pim_if *if_p = find_if(vpn_p, "ge0");
    ASSERT_NE(if_p, nullptr);
    // The shutdown comes before the bad address: neither is applied.
    for (const char *bad : {"1:2/64", "10.1.1.9/24"}) {
        EXPECT_EQ(
            vpn_if(ZCONFD_MOP_MODIFIED, 7, "ge0",
                   {flag("shutdown", true), begin("ipv6"), text("address", bad), end("ipv6")}),
            1)
            << bad;
        EXPECT_EQ(if_p->admin_state, PIM_IF_STATE_UP) << bad;
        EXPECT_EQ(prefix_text(if_p->if_addr), "10.1.1.1/24") << bad;
    }
    EXPECT_EQ(vpn_if(ZCONFD_MOP_CREATED, 7, "new0", {begin("ip"), text("address", "::1/64")}), 1);
    EXPECT_EQ(find_if(vpn_p, "new0"), nullptr) << "not even created";
}

TEST_F(PimConfigTest, InitialReadDropsWhatItDoesNotBring)
{
    ASSERT_EQ(vpn(ZCONFD_MOP_CREATED, 8,
                  in_pim({flag("shutdown", false), num("spt-threshold", ZCONFD_VT_UINT16, 10)})),
              0);
    ASSERT_EQ(vpn(ZCONFD_MOP_CREATED, 9, in_pim({flag("shutdown", false)})), 0);
    t_pim_vpn *v8 = pim_vpn_find(daemon_p, 8, nullptr);
    for (const char *name : {"keep0", "drop0", "nopim0"}) {
        ASSERT_EQ(vpn_if(ZCONFD_MOP_CREATED, 8, name,
                         {begin("ip"), text("address", "10.8.0.1/24"), end("ip")}),
                  0);
        ASSERT_EQ(pim_if(ZCONFD_MOP_CREATED, 8, name), 0);
    }
    t_ipaddr sys = PimEnvTest::v4(0x0AFF0001);
    ASSERT_EQ(system({zconfd_val_ipaddr(zconfd_tag("system-ip"), &sys)}), 0);

    // The agent comes back with less: VPN 8 without its SPT threshold and
    // with two of its interfaces (one without PIM, one without address),
    // VPN 9 and the system address gone.
    pim_config_resync(daemon_p, false);
    ASSERT_EQ(vpn(ZCONFD_MOP_CREATED, 8, in_pim({flag("shutdown", false)})), 0);
    ASSERT_EQ(vpn_if(ZCONFD_MOP_CREATED, 8, "keep0", {flag("shutdown", false)}), 0);
    ASSERT_EQ(vpn_if(ZCONFD_MOP_CREATED, 8, "nopim0",
                     {begin("ip"), text("address", "10.8.0.1/24"), end("ip")}),
              0);
    ASSERT_EQ(pim_if(ZCONFD_MOP_CREATED, 8, "keep0"), 0);
    pim_config_resync(daemon_p, true);

    EXPECT_EQ(pim_vpn_find(daemon_p, 8, nullptr), v8);
    EXPECT_EQ(pim_vpn_find(daemon_p, 9, nullptr), nullptr);
    EXPECT_TRUE(v8->pim_enabled);
    EXPECT_EQ(v8->config.spt_threshold, PIM_SPT_THRESHOLD_INFINITY);
    ASSERT_NE(find_if(v8, "keep0"), nullptr);
    EXPECT_TRUE(find_if(v8, "keep0")->pim_configured);
    EXPECT_TRUE(IPADDR_IS_ZERO(&find_if(v8, "keep0")->if_addr.addr));
    EXPECT_EQ(find_if(v8, "drop0"), nullptr);
    ASSERT_NE(find_if(v8, "nopim0"), nullptr);
    EXPECT_FALSE(find_if(v8, "nopim0")->pim_configured);
    EXPECT_STREQ(ipaddr_str(&daemon_p->system_ip).c, "0.0.0.0");

    // Outside an initial read nothing is swept.
    pim_config_resync(daemon_p, true);
    EXPECT_NE(find_if(v8, "keep0"), nullptr);
}

TEST_F(PimConfigTest, PimInterfaceSettingsInTheirUnits)
{
    EXPECT_EQ(pim_if(ZCONFD_MOP_CREATED, 7, "ge0", {num("dr-priority", ZCONFD_VT_UINT32, 5)}), 1);
    EXPECT_EQ(pim_if(ZCONFD_MOP_MODIFIED, 7, "ge0", {num("dr-priority", ZCONFD_VT_UINT32, 5)}), 1);
    EXPECT_EQ(pim_if(ZCONFD_MOP_DELETED, 7, "ge0"), 0);
    EXPECT_EQ(pim_if(ZCONFD_MOP_CREATED, 7, "gone0"), 0);
    EXPECT_EQ(pim_if(ZCONFD_MOP_CREATED, 21, "ge0"), 1);

    ASSERT_EQ(vpn_if(ZCONFD_MOP_CREATED, 7, "ge0", {flag("shutdown", false)}), 0);
    t_pim_if *if_p = find_if(vpn_p, "ge0");
    ASSERT_NE(if_p, nullptr);
    ASSERT_EQ(pim_if(ZCONFD_MOP_CREATED, 7, "ge0",
                     {num("join-prune-interval", ZCONFD_VT_UINT16, 60),
                      num("dr-priority", ZCONFD_VT_UINT32, 5),
                      num("hello-interval", ZCONFD_VT_UINT16, 30)}),
              0);
    EXPECT_EQ(pim_if_find(vpn_p, "ge0", PIM_IF_TYPE_LOCAL, nullptr, true), if_p);
    EXPECT_EQ(if_p->config.join_interval, 60000u);
    EXPECT_EQ(if_p->config.dr_priority, 5u);
    EXPECT_EQ(if_p->config.holdtime, 105000u);

    EXPECT_EQ(pim_if(ZCONFD_MOP_MODIFIED, 7, "ge0",
                     {num("hello-interval", ZCONFD_VT_UINT16, 3),
                      num("join-prune-interval", ZCONFD_VT_UINT16, 90)}),
              0);
    EXPECT_EQ(if_p->config.hello_interval, 3000u);
    EXPECT_EQ(if_p->config.holdtime, 10500u);
    EXPECT_EQ(if_p->config.join_interval, 90000u);
    EXPECT_EQ(pim_if(ZCONFD_MOP_MODIFIED, 7, "ge0", {absent("dr-priority")}), 0);
    EXPECT_EQ(if_p->config.dr_priority, PIM_IF_DEFAULT_DR_PRIORITY);

    EXPECT_EQ(pim_if(ZCONFD_MOP_DELETED, 7, "ge0"), 0);
    EXPECT_FALSE(if_p->pim_configured);
    EXPECT_EQ(pim_if_find(vpn_p, "ge0", PIM_IF_TYPE_LOCAL, nullptr, true), nullptr);
    EXPECT_EQ(find_if(vpn_p, "ge0"), if_p);
}

} // namespace
