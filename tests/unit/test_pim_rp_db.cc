#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

#include "daemon/pim_rp_db.h"
#include "daemon/pim_vpn.h"

namespace
{

t_ipaddr v4(const char *text)
{
    t_ipaddr a;
    EXPECT_EQ(str_to_ip(text, &a), 1) << text;
    return a;
}

t_ipprefix pfx(const char *text, uint8_t len)
{
    t_ipprefix p{};
    p.addr = v4(text);
    p.prefixlen = len;
    return p;
}

struct RpDbTest : ::testing::Test {
    t_pim_vpn vpn{};
    // Stand-ins for the mapping agents' Auto-RP entries; never dereferenced.
    alignas(8) char agent_mem[2][8]{};
    t_pim_minfo *agent1 = reinterpret_cast<t_pim_minfo *>(agent_mem[0]);
    t_pim_minfo *agent2 = reinterpret_cast<t_pim_minfo *>(agent_mem[1]);

    void SetUp() override { ASSERT_EQ(pim_rp_db_init(&vpn), PIM_STATUS_OK); }
    void TearDown() override { pim_rp_db_destroy(&vpn); }

    // Applies one mapping message the way Auto-RP does.
    void
    mapping(t_pim_minfo *agent,
            const std::vector<std::pair<const char *, std::pair<const char *, uint8_t>>> &pairs)
    {
        pim_rp_db_mark_stale(&vpn);
        for (const auto &[rp, range] : pairs) {
            t_ipprefix p = pfx(range.first, range.second);
            t_ipaddr r = v4(rp);
            pim_rp_db_apply_mapping(&vpn, agent, &p, &r);
        }
        pim_rp_db_delete_stale(&vpn);
    }

    std::string rp_of(const char *group)
    {
        t_ipaddr g = v4(group);
        t_ipaddr rp = v4("1.2.3.4");
        if (pim_rp_db_find_rp_for_group(&vpn, &g, &rp) == nullptr) {
            EXPECT_EQ(ipaddr_str(&rp).c, std::string("1.2.3.4")) << "output touched";
            return "none";
        }
        return ipaddr_str(&rp).c;
    }

    std::vector<std::string> ranges()
    {
        std::vector<std::string> out;
        for (auto *e = avl_first<t_pim_rp_db_entry>(&vpn.rp_db); e != nullptr;
             e = avl_next(&vpn.rp_db, e)) {
            char buf[IPADDR_STR_LEN];
            out.push_back(std::string(ipprefix_print(&e->grp_prefix, buf, sizeof(buf))) + ">" +
                          ipaddr_str(&e->rp_addr).c);
        }
        return out;
    }
};

TEST_F(RpDbTest, LongestMatchOverOverlappingRanges)
{
    mapping(agent1, {{"10.1.1.1", {"224.0.0.0", 4}},
                     {"10.2.2.2", {"239.1.0.0", 16}},
                     {"10.3.3.3", {"239.1.2.0", 24}},
                     // Host bits kept: an equal length behind a lower range loses.
                     {"10.4.4.4", {"239.1.2.7", 24}}});
    EXPECT_EQ(rp_of("239.1.2.3"), "10.3.3.3");
    EXPECT_EQ(rp_of("239.1.9.9"), "10.2.2.2");
    EXPECT_EQ(rp_of("230.1.1.1"), "10.1.1.1");
    EXPECT_EQ(rp_of("225.1.1.1"), "10.1.1.1");

    mapping(agent1, {{"10.2.2.2", {"239.1.0.0", 16}}});
    EXPECT_EQ(rp_of("225.1.1.1"), "none");
    t_ipaddr v6{};
    v6.addr_type = IP_ADDR_V6;
    v6.u.addr6_b[0] = 0xff;
    EXPECT_EQ(pim_rp_db_find_rp_for_group(&vpn, &v6, nullptr), nullptr);
}

TEST_F(RpDbTest, MappingMessageReplacesWholeTable)
{
    mapping(agent1, {{"10.1.1.1", {"224.0.0.0", 4}}, {"10.2.2.2", {"239.1.0.0", 16}}});
    // Invalid ranges are skipped; a range under two RPs ends with the later one.
    mapping(agent2, {{"10.5.5.5", {"239.1.0.0", 16}},
                     {"10.6.6.6", {"10.0.0.0", 8}},
                     {"10.7.7.7", {"232.0.0.0", 33}},
                     {"10.8.8.8", {"239.1.0.0", 16}}});
    EXPECT_EQ(ranges(), (std::vector<std::string>{"239.1.0.0/16>10.8.8.8"}));
    auto *e = avl_first<t_pim_rp_db_entry>(&vpn.rp_db);
    EXPECT_EQ(e->minfo_p, agent2);
    EXPECT_FALSE(e->stale);

    mapping(agent2, {});
    EXPECT_TRUE(ranges().empty());
}

TEST_F(RpDbTest, DeleteByOwnerAndClear)
{
    pim_rp_db_mark_stale(&vpn);
    const std::vector<std::pair<t_pim_minfo *, const char *>> rows = {
        {agent1, "224.0.0.0"}, {agent2, "230.0.0.0"}, {agent1, "231.0.0.0"}, {agent2, "232.0.0.0"}};
    for (const auto &[agent, range] : rows) {
        t_ipprefix p = pfx(range, 8);
        t_ipaddr r = v4("10.1.1.1");
        pim_rp_db_apply_mapping(&vpn, agent, &p, &r);
    }
    pim_rp_db_delete_minfo(&vpn, agent1);
    EXPECT_EQ(ranges(), (std::vector<std::string>{"230.0.0.0/8>10.1.1.1", "232.0.0.0/8>10.1.1.1"}));

    t_ipprefix p = pfx("230.0.0.0", 8);
    EXPECT_NE(pim_rp_db_find(&vpn, PIM_RP_TYPE_AUTO_RP, &p, nullptr), nullptr);
    auto *next = pim_rp_db_find_next(&vpn, PIM_RP_TYPE_AUTO_RP, &p);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->grp_prefix.addr.u.addr4, v4("232.0.0.0").u.addr4);

    std::string dump;
    t_pim_daemon daemon{};
    avl_create(
        &daemon.vpn_db, [](const void *, const void *) { return 0; }, sizeof(t_pim_vpn),
        offsetof(t_pim_vpn, vpn_tree_node));
    avl_add(&daemon.vpn_db, &vpn);
    pim_rp_db_dump(&daemon, &dump,
                   [](void *u, const char *t) { *static_cast<std::string *>(u) += t; });
    avl_remove(&daemon.vpn_db, &vpn);
    avl_destroy(&daemon.vpn_db);
    EXPECT_NE(dump.find("Group: 230.0.0.0/8, RP: 10.1.1.1 Type: Auto-RP"), std::string::npos);
    EXPECT_NE(dump.find("Stale: No"), std::string::npos);

    pim_rp_db_delete_all(&vpn);
    EXPECT_TRUE(ranges().empty());
    pim_rp_db_delete_entry(&vpn, nullptr);
}

TEST_F(RpDbTest, StaticRpServesOnlyWhatNoMappingCovers)
{
    t_ipaddr rp = v4("10.9.9.9");
    t_ipprefix all = pfx("224.0.0.0", 4);
    pim_vpn_config_update_rp(nullptr, &vpn, &rp, &all);
    EXPECT_EQ(rp_of("239.1.1.1"), "10.9.9.9");

    // A mapping replaces the learned entries only; it wins where it matches,
    // however short its range.
    mapping(agent1, {{"10.1.1.1", {"239.0.0.0", 8}}, {"10.3.3.3", {"232.0.0.0", 5}}});
    EXPECT_EQ(rp_of("239.1.1.1"), "10.1.1.1");
    EXPECT_EQ(rp_of("233.1.1.1"), "10.3.3.3");
    EXPECT_EQ(rp_of("225.1.1.1"), "10.9.9.9");
    mapping(agent2, {});
    pim_rp_db_delete_minfo(&vpn, nullptr);
    pim_rp_db_delete_all(&vpn);
    EXPECT_EQ(ranges(), (std::vector<std::string>{"224.0.0.0/4>10.9.9.9"}));

    // A new range or RP replaces the static entry; none removes it. The table
    // of a later start takes the configured RP in.
    t_ipprefix part = pfx("232.0.0.0", 8);
    pim_vpn_config_update_rp(nullptr, &vpn, &rp, &part);
    EXPECT_EQ(ranges(), (std::vector<std::string>{"232.0.0.0/8>10.9.9.9"}));
    EXPECT_EQ(rp_of("225.1.1.1"), "none");
    pim_rp_db_destroy(&vpn);
    ASSERT_EQ(pim_rp_db_init(&vpn), PIM_STATUS_OK);
    auto *e = avl_first<t_pim_rp_db_entry>(&vpn.rp_db);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->type, PIM_RP_TYPE_STATIC);
    EXPECT_EQ(e->minfo_p, nullptr);
    pim_vpn_config_update_rp(nullptr, &vpn, nullptr, nullptr);
    EXPECT_TRUE(ranges().empty());
}

} // namespace
