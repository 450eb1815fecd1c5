// The topology tables against routing entries made by the daemon's own
// Join/Prune handling and SPT switchover: the columns of each entry kind, the
// outgoing interfaces in index order, exact gets and find-next walks with
// leading keys, hidden VPNs; and the two test commands that make such entries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/pim_jp.h"
#include "daemon/pim_minfo.h"
#include "tests/unit/pim_show_test.h"

namespace
{

constexpr uint32_t GROUP = 0xef010101; // 239.1.1.1
constexpr uint32_t RP = 0x0a090909;    // 10.9.9.9
constexpr uint32_t SRC = 0x0a080808;   // 10.8.8.8
constexpr uint32_t SITE = 0xac100001;  // 172.16.0.1

t_zconfd_value group_key(uint32_t g)
{
    t_ipaddr a = v4(g);
    return zconfd_val_ipaddr(zconfd_tag("group"), &a);
}
t_zconfd_value source_key(uint32_t s)
{
    t_ipaddr a = v4(s);
    return zconfd_val_ipaddr(zconfd_tag("source"), &a);
}
t_zconfd_value type_key(e_pim_type type) { return zconfd_val_enum(zconfd_tag("entry-type"), type); }

// Up times follow the wall clock.
std::string masked(const t_reply &r)
{
    std::string up = PimShowTest::key_text(r.text, "up-time");
    std::string text = r.text;
    size_t at = text.find("up-time=" + up);
    return at == std::string::npos ? text : text.replace(at + 8, up.size(), "*");
}

struct PimShowMinfoTest : PimShowTest {
    t_pim_if *down_a = nullptr; // receivers
    t_pim_if *down_d = nullptr;
    t_pim_if *up_rp = nullptr;  // towards the RP
    t_pim_if *up_src = nullptr; // towards the source
    t_pim_if *tunnel = nullptr;
    t_ipaddr group = v4(GROUP);
    t_ipaddr rp_addr = v4(RP);
    t_ipaddr src = v4(SRC);

    void SetUp() override
    {
        PimShowTest::SetUp();
        down_a = running_if(vpn3, "ge0/1", NET3 + 0x0105);
        up_rp = running_if(vpn3, "ge0/2", NET3 + 0x0205);
        up_src = running_if(vpn3, "ge0/3", NET3 + 0x0305);
        down_d = running_if(vpn3, "ge0/4", NET3 + 0x0405);
        hello(up_rp, NET3 + 0x0201, PIM_NBR_HOLDTIME_FOREVER_MS, 1);
        hello(up_src, NET3 + 0x0301, PIM_NBR_HOLDTIME_FOREVER_MS, 1);
        resolve(vpn3, RP, up_rp, NET3 + 0x0201);
        resolve(vpn3, SRC, up_src, NET3 + 0x0301);
        t_ipaddr site = v4(SITE);
        tunnel = pim_if_tunnel_create(vpn3, &site, 5);
        ASSERT_NE(tunnel, nullptr);
    }

    void resolve(t_pim_vpn *vpn_p, uint32_t target, t_pim_if *if_p, uint32_t nbr)
    {
        t_pim_next_hop *nh = rpf(vpn_p, target);
        ASSERT_NE(nh, nullptr);
        const t_pim_nh_info hops[] = {
            {v4(nbr), static_cast<uint16_t>(if_p->if_index), E_PIM_NHTYPE_SERVICE, 0, 0, 1, 0}};
        ASSERT_TRUE(pim_nhres_set_hops(nh, hops));
    }

    // One received message: a (*,G) Join, and optionally an (S,G,rpt) Prune.
    void join(t_pim_if *if_p, const t_ipaddr *prune_src = nullptr)
    {
        pim_jp_unit_begin(if_p->vpn_p);
        EXPECT_EQ(pim_et_jp_join(PIM_TYPE_XG, if_p, &group, &rp_addr, PIM_JP_HOLDTIME_FOREVER), 0);
        if (prune_src != nullptr) {
            EXPECT_EQ(pim_jp_sgrpt_prune(if_p, &group, prune_src, PIM_JP_HOLDTIME_FOREVER), 0);
        }
        pim_jp_handle_eom(if_p->vpn_p);
    }

    t_pim_minfo *entry(t_pim_vpn *vpn_p, e_pim_type type, const t_ipaddr *source)
    {
        t_ipaddr zero = v4(0);
        return pim_minfo_find(vpn_p, type, &group, source != nullptr ? source : &zero, nullptr);
    }

    std::vector<t_zconfd_value> topo_keys(uint32_t vpn, uint32_t source, e_pim_type type)
    {
        return {vpn_key(vpn), group_key(GROUP), source_key(source), type_key(type)};
    }

    std::string index_of(const t_pim_if *if_p) { return std::to_string(if_p->if_index); }
};

TEST_F(PimShowMinfoTest, EntriesOfEveryKindWithTheirOutgoingInterfaces)
{
    join(down_a);
    join(down_d);
    join(tunnel);
    ASSERT_EQ(pim_minfo_spt_sg_create(daemon_p, 3, &src, &group), PIM_STATUS_OK);
    join(down_a, &src);
    advance(1); // the Prune-Pending time of an interface without neighbors
    t_pim_minfo *xg = entry(vpn3, PIM_TYPE_XG, nullptr);
    t_pim_minfo *sg = entry(vpn3, PIM_TYPE_SG, &src);
    t_pim_minfo *sgrpt = entry(vpn3, PIM_TYPE_SG_RPT, &src);
    ASSERT_TRUE(xg && sg && sgrpt);
    ASSERT_NE(sgrpt->macro_result & PIM_MACRO_PRUNE_DESIRED, 0u);
    ASSERT_EQ(sgrpt->upstream_state, PIM_UPSTREAM_PRUNED);
    // The same group in VPN 7, and in VPN 0 which is never shown.
    t_pim_if *other = running_if(vpn7, "ge0/1", NET7 + 0x0105);
    join(other);
    t_pim_vpn *vpn0 = pim_vpn_find(daemon_p, 0, nullptr);
    join(pim_if_find(vpn0, "ge0/1", PIM_IF_TYPE_LOCAL, nullptr, true));
    ASSERT_NE(entry(vpn0, PIM_TYPE_XG, nullptr), nullptr);

    // The (*,G) Join timer waits for the refresh that follows the prune; the
    // (S,G) one runs its interval.
    std::vector<std::string> rows;
    for (const std::string &row :
         walk("multicast-topo", {}, {"vpn-id", "group", "source", "entry-type"})) {
        rows.push_back(masked({0, true, row, {}}));
    }
    EXPECT_EQ(rows, (std::vector<std::string>{
                        "vpn-id=3 group=239.1.1.1 source=0.0.0.0 entry-type=2 rp-address=10.9.9.9 "
                        "rpf-neighbor=10.3.2.1 upstream-state=2 rpf-interface=ge0/2 up-time=* "
                        "expires=0:00:00:01",
                        "vpn-id=3 group=239.1.1.1 source=10.8.8.8 entry-type=3 "
                        "rpf-neighbor=10.3.3.1 upstream-state=2 rpf-interface=ge0/3 up-time=* "
                        "expires=0:00:00:59 flags=1",
                        "vpn-id=3 group=239.1.1.1 source=10.8.8.8 entry-type=4 rp-address=10.9.9.9 "
                        "rpf-neighbor=10.3.2.1 rpf-interface=ge0/2 upstream-state=4 up-time=*",
                        "vpn-id=7 group=239.1.1.1 source=0.0.0.0 entry-type=2 rp-address=10.9.9.9 "
                        "upstream-state=1 up-time=*"}));

    // Exact gets need all four keys.
    t_reply sg_row = get("multicast-topo", topo_keys(3, SRC, PIM_TYPE_SG));
    EXPECT_EQ(masked(sg_row), rows[1]);
    EXPECT_EQ(sg_row.types[3], ZCONFD_VT_ENUM);
    EXPECT_EQ(sg_row.types.back(), ZCONFD_VT_BITS);
    EXPECT_FALSE(get("multicast-topo", {vpn_key(3), group_key(GROUP), source_key(SRC)}).found);
    EXPECT_FALSE(get("multicast-topo", topo_keys(3, SRC, PIM_TYPE_AUTO_RP)).found);
    EXPECT_FALSE(get("multicast-topo", topo_keys(0, 0, PIM_TYPE_XG)).found);

    // Leading keys: the first entry under them, else of the next VPN.
    auto source_of = [&](int find_type, std::vector<t_zconfd_value> keys) {
        t_reply r = find("multicast-topo", find_type, keys);
        return key_text(r.text, "vpn-id") + "/" + key_text(r.text, "source") + "/" +
               key_text(r.text, "entry-type");
    };
    EXPECT_EQ(source_of(ZCONFD_FIND_NEXT, {vpn_key(3)}), "3/0.0.0.0/2");
    EXPECT_EQ(source_of(ZCONFD_FIND_SAME_OR_NEXT, {vpn_key(3), group_key(GROUP)}), "3/0.0.0.0/2");
    EXPECT_EQ(source_of(ZCONFD_FIND_SAME_OR_NEXT, {vpn_key(3), group_key(GROUP), source_key(SRC)}),
              "3/10.8.8.8/3");
    EXPECT_EQ(source_of(ZCONFD_FIND_NEXT, topo_keys(3, 0, PIM_TYPE_XG)), "3/10.8.8.8/3");
    EXPECT_EQ(source_of(ZCONFD_FIND_SAME_OR_NEXT, topo_keys(3, SRC, PIM_TYPE_SG_RPT)),
              "3/10.8.8.8/4");
    EXPECT_EQ(source_of(ZCONFD_FIND_NEXT, topo_keys(3, SRC, PIM_TYPE_SG_RPT)), "7/0.0.0.0/2");
    EXPECT_EQ(source_of(ZCONFD_FIND_NEXT, {vpn_key(3), group_key(GROUP + 1)}), "7/0.0.0.0/2");
    EXPECT_EQ(source_of(ZCONFD_FIND_SAME_OR_NEXT, {vpn_key(0), group_key(GROUP)}), "3/0.0.0.0/2");
    EXPECT_FALSE(find("multicast-topo", ZCONFD_FIND_NEXT, topo_keys(7, 0, PIM_TYPE_XG)).found);

    // Outgoing interfaces in index order, the tunnel by its address; Assert
    // winner from the entry's own state, else from its (*,G) entry's.
    pim_if_minfo_assert_get_or_create(pim_if_minfo_find_from_minfo(down_a, xg))->state =
        PIM_ASSERT_STATE_WINNER;
    pim_if_minfo_assert_get_or_create(pim_if_minfo_find_from_minfo(down_d, xg))->state =
        PIM_ASSERT_STATE_WINNER;
    std::vector<t_zconfd_value> xg_keys = topo_keys(3, 0, PIM_TYPE_XG);
    const std::string tunnel_row = "index=" + index_of(tunnel) + " tunnel-address=172.16.0.1";
    EXPECT_EQ(walk("multicast-topology-oil", xg_keys, {"index"}),
              (std::vector<std::string>{"index=" + index_of(down_a) + " if-name=ge0/1 flags=1",
                                        "index=" + index_of(down_d) + " if-name=ge0/4 flags=1",
                                        tunnel_row}));
    EXPECT_EQ(walk("multicast-topology-oil", topo_keys(3, SRC, PIM_TYPE_SG), {"index"}),
              (std::vector<std::string>{"index=" + index_of(down_d) + " if-name=ge0/4 flags=1",
                                        tunnel_row}))
        << "the pruned receiver is left out";
    std::vector<t_zconfd_value> exact = xg_keys;
    exact.push_back(index_key(down_a->if_index));
    EXPECT_EQ(get("multicast-topology-oil", exact).text, "if-name=ge0/1 flags=1")
        << "an exact answer leaves the index out";
    exact.back() = index_key(up_rp->if_index);
    EXPECT_FALSE(get("multicast-topology-oil", exact).found) << "not an outgoing interface";
    exact.back() = index_key(tunnel->if_index);
    EXPECT_FALSE(find("multicast-topology-oil", ZCONFD_FIND_NEXT, exact).found)
        << "the walk stays under its entry";
    exact.back() = zconfd_val_uint(zconfd_tag("index"), ZCONFD_VT_UINT64, UINT64_MAX);
    EXPECT_FALSE(find("multicast-topology-oil", ZCONFD_FIND_NEXT, exact).found);
    EXPECT_FALSE(first("multicast-topology-oil", -1, topo_keys(0, 0, PIM_TYPE_XG)).found);
    EXPECT_FALSE(first("multicast-topology-oil", -1, topo_keys(3, 0, PIM_TYPE_SG)).found);

    // PIM stopped in VPN 7: its entries go with it.
    EXPECT_EQ(pim_vpn_pim_disable(vpn7), PIM_STATUS_OK);
    EXPECT_FALSE(get("multicast-topo", topo_keys(7, 0, PIM_TYPE_XG)).found);
    EXPECT_FALSE(
        find("multicast-topo", ZCONFD_FIND_NEXT, topo_keys(3, SRC, PIM_TYPE_SG_RPT)).found);
}

// The commands as kemcli hands them over: each value after its parameter's
// name, in any order (the values alone, in order, are tested with the
// handlers they drive).
TEST_F(PimShowMinfoTest, TestCommandsByNameMakeAndReleaseEntries)
{
    auto jp = [](const char *op, const char *source, const char *if_name) {
        return pim_sim_cmd(pim_jp_test, {"if-name", if_name, "vpn-id", "3", "operation", op,
                                         "group", "239.1.1.1", "rp", "10.9.9.9", "source", source});
    };
    auto spt = [](const char *op, const char *group, const char *vpn) {
        return pim_sim_cmd(pim_minfo_spt_test,
                           {"operation", op, "group", group, "source", "10.8.8.8", "vpn-id", vpn});
    };
    EXPECT_EQ(jp("merge", "0.0.0.0", "ge0/1"), "Valid input is add or delete but not merge\n");
    EXPECT_EQ(jp("add", "0.0.0.0", "ge0/8"), "Can't find interface 3: ge0/8\n");
    EXPECT_EQ(jp("add", "10.8.8", "ge0/1"),
              "Please provide proper Srouce address for (S,G) entry: 10.8.8 not valid unicast "
              "address\n");
    EXPECT_EQ(pim_sim_cmd(pim_jp_test, {"operation", "add", "colour", "red"}),
              "Invalid argument colour\n");
    EXPECT_EQ(pim_sim_cmd(pim_jp_test, {"operation"}), "Invalid argument operation\n");
    EXPECT_EQ(pim_sim_cmd(pim_jp_test, {"add", "239.1.1.1"}), "Invalid argument add\n");
    EXPECT_EQ(spt("add", "10.1.1.1", "3"),
              "Please provide proper group address: 10.1.1.1 not valid multicast address\n");
    EXPECT_EQ(spt("add", "239.1.1.1", "x"), "Invalid vpn x\n");
    EXPECT_EQ(avl_numnodes(&vpn3->minfo_db), 0u) << "a refused command changes nothing";

    // A source left out is the shared tree of the RP.
    EXPECT_EQ(pim_sim_cmd(pim_jp_test, {"operation", "add", "group", "239.1.1.1", "rp", "10.9.9.9",
                                        "vpn-id", "3", "if-name", "ge0/1"}),
              "Join (0.0.0.0, 239.1.1.1) RP: 10.9.9.9 on 3:ge0/1\n");
    t_pim_minfo *xg = entry(vpn3, PIM_TYPE_XG, nullptr);
    ASSERT_NE(xg, nullptr);
    EXPECT_EQ(xg->upstream_state, PIM_UPSTREAM_JOINED);
    EXPECT_TRUE(pim_minfo_ilist_test(xg->inherited_olist_p, down_a->if_index));
    EXPECT_EQ(spt("add", "239.1.1.1", "3"), "Add (10.8.8.8, 239.1.1.1) 3\n");
    t_reply row = get("multicast-topo", topo_keys(3, SRC, PIM_TYPE_SG));
    EXPECT_EQ(key_text(row.text, "flags"), "1") << row.text;
    EXPECT_EQ(key_text(row.text, "upstream-state"), "2") << row.text;
    EXPECT_EQ(spt("delete", "239.1.1.1", "3"), "Delete (10.8.8.8, 239.1.1.1) 3\n");
    EXPECT_FALSE(get("multicast-topo", topo_keys(3, SRC, PIM_TYPE_SG)).found);

    EXPECT_EQ(jp("delete", "0.0.0.0", "ge0/1"),
              "Prune (0.0.0.0, 239.1.1.1) RP: 10.9.9.9 on 3:ge0/1\n");
    advance(1); // the Prune-Pending time of an interface without neighbors
    EXPECT_EQ(entry(vpn3, PIM_TYPE_XG, nullptr), nullptr);
}

} // namespace
