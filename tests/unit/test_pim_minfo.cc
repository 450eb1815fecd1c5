// Routing entries and per-interface records: interface lists, key order,
// labels, creation rules, RP moves, deletion rules and interface cleanup.
#include <string>
#include <vector>

#include "daemon/pim_subsys.h"
#include "tests/unit/pim_test_env.h"

namespace
{

std::vector<t_pim_minfo *> g_reresolved;
void record_reresolve(t_pim_minfo *minfo_p) { g_reresolved.push_back(minfo_p); }

struct MinfoTest : PimRoutingTest {
    t_pim_if *if1 = nullptr;
    t_pim_if *if2 = nullptr;
    t_pim_nhres_ops saved = g_pim_nhres_ops;

    void SetUp() override
    {
        PimRoutingTest::SetUp();
        g_reresolved.clear();
        if1 = running_if("ge0/1", 0x0a010101, 24);
        if2 = running_if("ge0/2", 0x0a020205, 24);
    }
    void TearDown() override
    {
        g_pim_nhres_ops = saved;
        PimRoutingTest::TearDown();
    }

    t_pim_minfo *create(e_pim_type type, const char *group, const char *source = nullptr,
                        const char *rp = nullptr)
    {
        t_ipaddr g = pim_test_ip(group);
        t_ipaddr s = source != nullptr ? pim_test_ip(source) : t_ipaddr{};
        t_ipaddr r = rp != nullptr ? pim_test_ip(rp) : t_ipaddr{};
        return pim_minfo_find_or_create(vpn_p, if1, type, &g, source != nullptr ? &s : nullptr,
                                        rp != nullptr ? &r : nullptr);
    }

    t_pim_next_hop *nh(const char *target)
    {
        t_ipaddr a = pim_test_ip(target);
        return pim_nhres_find(vpn_p, &a, nullptr);
    }
};

std::string ilist_str(t_pim_vpn *vpn_p, const t_pim_ilist *list, size_t size = 128)
{
    std::vector<char> buf(size);
    pim_ilist_to_str(vpn_p, list, buf.data(), buf.size());
    return buf.data();
}

TEST_F(MinfoTest, IlistBitsSearchAndSetOperations)
{
    t_pim_ilist *a = pim_minfo_ilist_alloc();
    t_pim_ilist *b = pim_minfo_ilist_alloc();
    ASSERT_TRUE(a != nullptr && b != nullptr);
    uint32_t out = 99;
    pim_minfo_ilist_find_first(a, &out);
    EXPECT_EQ(out, 0u) << "empty list";

    // Bit 0 and bits past the end are never interfaces.
    for (uint32_t i : {0u, 8u, 9u, 10u, 15u, 1023u, 1024u}) {
        pim_minfo_ilist_set(a, i);
    }
    pim_minfo_ilist_find_first(a, &out);
    EXPECT_EQ(out, 8u);
    pim_minfo_ilist_find_next(a, 15, &out);
    EXPECT_EQ(out, 1023u) << "across zero bytes";
    for (uint32_t after : {1023u, UINT32_MAX}) {
        pim_minfo_ilist_find_next(a, after, &out);
        EXPECT_EQ(out, 0u) << "nothing above the last bit";
    }

    pim_minfo_ilist_set(b, 9);
    pim_minfo_ilist_set(b, 513);
    pim_minfo_ilist_exclude(a, b);
    EXPECT_FALSE(pim_minfo_ilist_test(a, 9));
    EXPECT_TRUE(pim_minfo_ilist_test(a, 10));
    pim_minfo_ilist_merge(a, b);
    EXPECT_TRUE(pim_minfo_ilist_test(a, 9) && pim_minfo_ilist_test(a, 513));
    pim_minfo_ilist_copy(b, a);
    EXPECT_EQ(pim_minfo_ilist_cmp(a, b), 0);
    pim_minfo_ilist_clear(b, 513);
    EXPECT_NE(pim_minfo_ilist_cmp(a, b), 0);
    pim_minfo_ilist_reset(b);
    EXPECT_TRUE(pim_minfo_ilist_empty(b));

    // Names of known interfaces, numbers of unknown ones, each with a blank; cut to the buffer.
    for (uint32_t i : {if1->if_index, if2->if_index, 700u}) {
        pim_minfo_ilist_set(b, i);
    }
    EXPECT_EQ(ilist_str(vpn_p, b), "ge0/1 ge0/2 700 ");
    EXPECT_EQ(ilist_str(vpn_p, b, 8), "ge0/1 g");
    pim_minfo_ilist_free(a);
    pim_minfo_ilist_free(b);
}

TEST_F(MinfoTest, EntryListsKeepSortedIndexesAndVanishWhenEmpty)
{
    t_pim_olist *list = nullptr;
    for (uint32_t i : {700u, 3u, 1023u, 9u, 3u, 40u, 5u, 0u, 1024u, 12u}) {
        pim_minfo_ilist_set(&list, i);
    }
    ASSERT_NE(list, nullptr);
    std::vector<uint32_t> seen;
    uint32_t i = 0;
    for (pim_minfo_ilist_find_first(list, &i); i != 0; pim_minfo_ilist_find_next(list, i, &i)) {
        seen.push_back(i);
    }
    EXPECT_EQ(seen, (std::vector<uint32_t>{3, 5, 9, 12, 40, 700, 1023}))
        << "grown past what the pointer holds";

    t_pim_ilist bits{};
    pim_minfo_ilist_merge(&bits, list);
    EXPECT_FALSE(pim_minfo_ilist_store(&list, &bits)) << "same interfaces";
    pim_minfo_ilist_set(&bits, 2);
    pim_minfo_ilist_clear(&bits, 700);
    EXPECT_TRUE(pim_minfo_ilist_store(&list, &bits)) << "as many interfaces, not the same";
    EXPECT_TRUE(pim_minfo_ilist_test(list, 2) && !pim_minfo_ilist_test(list, 700));
    pim_minfo_ilist_exclude(&bits, list);
    EXPECT_TRUE(pim_minfo_ilist_empty(&bits));

    for (uint32_t k : {2u, 3u, 5u, 9u, 12u, 40u, 41u}) {
        pim_minfo_ilist_clear(&list, k);
    }
    ASSERT_NE(list, nullptr);
    pim_minfo_ilist_clear(&list, 1023);
    EXPECT_EQ(list, nullptr) << "the last index frees the list";
    EXPECT_TRUE(pim_minfo_ilist_empty(list));
    EXPECT_FALSE(pim_minfo_ilist_test(list, 3));
    pim_minfo_ilist_reset(&bits);
    EXPECT_FALSE(pim_minfo_ilist_store(&list, &bits));
    pim_minfo_ilist_set(&bits, 6);
    EXPECT_TRUE(pim_minfo_ilist_store(&list, &bits));
    EXPECT_EQ(ilist_str(vpn_p, &bits), "6 ");
    pim_minfo_ilist_free(&list);
}

TEST_F(MinfoTest, EntriesOfAGroupComeInKeyOrder)
{
    ASSERT_NE(create(PIM_TYPE_XG, "239.1.1.2", nullptr, "10.0.0.9"), nullptr);
    ASSERT_NE(create(PIM_TYPE_SG, "239.1.1.1", "10.0.0.2"), nullptr);
    ASSERT_NE(create(PIM_TYPE_XG, "239.1.1.1", nullptr, "10.0.0.9"), nullptr);
    ASSERT_NE(create(PIM_TYPE_SG_RPT, "239.1.1.1", "10.0.0.1"), nullptr);
    ASSERT_NE(create(PIM_TYPE_SG, "239.1.1.1", "10.0.0.1"), nullptr);

    std::vector<std::string> seen;
    t_ipaddr g = pim_test_ip("239.1.1.1");
    for (t_pim_minfo *m = pim_minfo_group_first(vpn_p, &g);
         m != nullptr && pim_minfo_cmp_group(&m->group, &g) == 0;
         m = avl_next(&vpn_p->minfo_db, m)) {
        seen.push_back(pim_minfo_str(m).c);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "*,G: (0.0.0.0, 239.1.1.1) ", "S,G: (10.0.0.1, 239.1.1.1) ",
                        "S,G,RPT: (10.0.0.1, 239.1.1.1) ", "S,G: (10.0.0.2, 239.1.1.1) "}));

    t_ipaddr s = pim_test_ip("10.0.0.1");
    t_pim_minfo *next = pim_minfo_find_next(vpn_p, PIM_TYPE_SG, &g, &s);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->type, PIM_TYPE_SG_RPT);
    t_ipaddr none = pim_test_ip("239.1.1.3");
    EXPECT_EQ(pim_minfo_group_first(vpn_p, &none), nullptr);
    EXPECT_EQ(pim_minfo_find_xg_from_sg(entry(PIM_TYPE_SG, "239.1.1.1", "10.0.0.2")),
              entry(PIM_TYPE_XG, "239.1.1.1"));
}

TEST_F(MinfoTest, LabelsAndSsmEntries)
{
    t_pim_minfo *sg = create(PIM_TYPE_SG, "232.1.1.1", "10.1.1.1");
    ASSERT_NE(sg, nullptr);
    EXPECT_STREQ(pim_minfo_str(sg).c, "S,G: (10.1.1.1, 232.1.1.1) ");
    EXPECT_TRUE(sg->sptbit) << "an SSM group is on the source tree from the start";
    // A long IPv6 label is cut to the field.
    t_pim_minfo *v6 = create(PIM_TYPE_SG, "ff3e::1234:5678", "2001:db8:aaaa:bbbb::1");
    ASSERT_NE(v6, nullptr);
    EXPECT_EQ(std::string(pim_minfo_str(v6).c).size(), PIM_MINFO_STR_LEN - 1);
}

TEST_F(MinfoTest, CreationNeedsAnRpfTargetAndLeavesNothingOnFailure)
{
    EXPECT_EQ(create(PIM_TYPE_SG_RPT, "239.1.1.1", "10.2.2.2"), nullptr)
        << "no (*,G) entry to take the RP from";
    EXPECT_EQ(create(PIM_TYPE_XG, "239.1.1.1"), nullptr) << "(*,G) without RP";
    EXPECT_EQ(create(PIM_TYPE_XXG, "0.0.0.0", "10.0.0.9"), nullptr) << "(*,*,RP) never created";
    EXPECT_EQ(avl_numnodes(&vpn_p->minfo_db), 0u);
    EXPECT_EQ(avl_numnodes(&vpn_p->nhres_db), 0u);

    t_pim_minfo *xg = create(PIM_TYPE_XG, "239.1.1.1", nullptr, "10.0.0.9");
    ASSERT_NE(xg, nullptr);
    EXPECT_EQ(xg->rpf_nbr_if, 0u);
    EXPECT_TRUE(IPADDR_IS_V4(&xg->rp_in_use) && IPADDR_IS_ZERO(&xg->rp_in_use));
    ASSERT_NE(xg->join_timer, nullptr);
    EXPECT_FALSE(timer_is_active(xg->join_timer));
    EXPECT_EQ(xg->nh_p, nh("10.0.0.9"));

    t_pim_minfo *rpt = create(PIM_TYPE_SG_RPT, "239.1.1.1", "10.2.2.2");
    ASSERT_NE(rpt, nullptr);
    EXPECT_EQ(rpt->nh_p, nh("10.0.0.9")) << "(S,G,rpt) resolves the RP of its (*,G)";
    t_pim_minfo *sg = create(PIM_TYPE_SG, "239.1.1.1", "10.2.2.2");
    ASSERT_NE(sg, nullptr);
    EXPECT_EQ(sg->nh_p, nh("10.2.2.2"));
    EXPECT_EQ(create(PIM_TYPE_SG, "239.1.1.1", "10.2.2.2"), sg) << "found, not created again";
}

TEST_F(MinfoTest, ExistingXgWithNewRpMovesToItsNextHop)
{
    g_pim_nhres_ops.process_join_desired = record_reresolve;
    t_pim_minfo *xg = create(PIM_TYPE_XG, "239.1.1.1", nullptr, "10.0.0.1");
    ASSERT_NE(xg, nullptr);
    g_reresolved.clear();

    EXPECT_EQ(create(PIM_TYPE_XG, "239.1.1.1", nullptr, "10.0.0.1"), xg);
    EXPECT_TRUE(g_reresolved.empty()) << "same RP: nothing moves";

    EXPECT_EQ(create(PIM_TYPE_XG, "239.1.1.1", nullptr, "10.0.0.2"), xg);
    EXPECT_EQ(nh("10.0.0.1"), nullptr) << "the old record had no other user";
    ASSERT_NE(nh("10.0.0.2"), nullptr);
    EXPECT_EQ(xg->nh_p, nh("10.0.0.2"));
    EXPECT_EQ(TAILQ_FIRST(&xg->nh_p->minfo_list), xg);
    EXPECT_EQ(xg->received_rp.u.addr4, pim_test_ip("10.0.0.2").u.addr4);
    EXPECT_EQ(g_reresolved, std::vector<t_pim_minfo *>{xg});
    EXPECT_NE(xg->minfo_flags & PIM_MINFO_FLAG_NH_CHANGE, 0u);
}

TEST_F(MinfoTest, LastRecordDeletesTheEntryUnlessSpt)
{
    t_pim_minfo *sg = create(PIM_TYPE_SG, "239.1.1.1", "10.2.2.2");
    ASSERT_NE(sg, nullptr);
    t_pim_if_minfo *r1 = pim_if_minfo_find_or_create(if1, sg);
    t_pim_if_minfo *r2 = pim_if_minfo_find_or_create(if2, sg);
    ASSERT_TRUE(r1 != nullptr && r2 != nullptr);
    EXPECT_EQ(pim_if_minfo_find_or_create(if1, sg), r1);
    EXPECT_EQ(r1->ds_state, PIM_IF_DSTREAM_NOINFO);
    EXPECT_FALSE(timer_is_active(r1->jp_expiry_timer) || timer_is_active(r1->prune_pending_timer));
    EXPECT_EQ(pim_if_minfo_find_from_minfo(if2, sg), r2);
    EXPECT_EQ(avl_numnodes(&sg->if_minfo_db), 2u);
    EXPECT_EQ(avl_first<t_pim_if_minfo>(&sg->if_minfo_db), r1) << "ordered by interface";

    pim_if_minfo_delete(r1);
    EXPECT_EQ(entry(PIM_TYPE_SG, "239.1.1.1", "10.2.2.2"), sg) << "one record left";
    sg->minfo_flags |= PIM_MINFO_FLAG_SPT;
    pim_if_minfo_find_and_delete(if2, PIM_TYPE_SG, &sg->group, &sg->source);
    EXPECT_EQ(entry(PIM_TYPE_SG, "239.1.1.1", "10.2.2.2"), sg) << "held for the SPT";
    sg->minfo_flags = PIM_MINFO_FLAG_SA;
    pim_minfo_check_and_delete(sg);
    EXPECT_EQ(entry(PIM_TYPE_SG, "239.1.1.1", "10.2.2.2"), nullptr);
    EXPECT_EQ(avl_numnodes(&vpn_p->nhres_db), 0u) << "unlinked from its next hop";
}

TEST_F(MinfoTest, InterfaceCleanupClearsListsAndReleasesEverything)
{
    t_pim_minfo *xg = create(PIM_TYPE_XG, "239.1.1.1", nullptr, "10.0.0.9");
    t_pim_minfo *rpt = create(PIM_TYPE_SG_RPT, "239.1.1.1", "10.2.2.2");
    t_pim_minfo *sg = create(PIM_TYPE_SG, "239.1.1.1", "10.2.2.2");
    ASSERT_TRUE(xg != nullptr && rpt != nullptr && sg != nullptr);
    for (t_pim_minfo *m : {xg, rpt, sg}) {
        ASSERT_NE(pim_if_minfo_find_or_create(if1, m), nullptr);
    }
    ASSERT_NE(pim_if_minfo_find_or_create(if2, xg), nullptr);
    pim_minfo_ilist_set(&xg->joined_olist_p, if1->if_index);
    pim_minfo_ilist_set(&xg->joined_olist_p, if2->if_index);
    pim_minfo_ilist_set(&rpt->pruned_olist_p, if1->if_index);
    pim_minfo_ilist_set(&sg->joined_olist_p, if1->if_index);

    pim_minfo_cleanup_if(if1);
    EXPECT_EQ(avl_numnodes(&if1->minfo_db), 0u);
    EXPECT_EQ(entry(PIM_TYPE_SG, "239.1.1.1", "10.2.2.2"), nullptr);
    EXPECT_EQ(entry(PIM_TYPE_SG_RPT, "239.1.1.1", "10.2.2.2"), nullptr);
    ASSERT_EQ(entry(PIM_TYPE_XG, "239.1.1.1"), xg) << "if2 still joined";
    EXPECT_FALSE(pim_minfo_ilist_test(xg->joined_olist_p, if1->if_index));
    EXPECT_TRUE(pim_minfo_ilist_test(xg->joined_olist_p, if2->if_index));

    // Destroying the table frees what is left, records included.
    pim_minfo_destroy(vpn_p);
    EXPECT_EQ(avl_numnodes(&if2->minfo_db), 0u);
    EXPECT_EQ(entry(PIM_TYPE_XG, "239.1.1.1"), nullptr);
    EXPECT_EQ(avl_numnodes(&vpn_p->nhres_db), 0u);
}

TEST_F(MinfoTest, LostNeighborReresolvesItsEntries)
{
    g_pim_nhres_ops.process_join_desired = record_reresolve;
    t_pim_minfo *a = create(PIM_TYPE_XG, "239.1.1.1", nullptr, "10.0.0.9");
    t_pim_minfo *b = create(PIM_TYPE_XG, "239.1.1.2", nullptr, "10.0.0.9");
    ASSERT_TRUE(a != nullptr && b != nullptr);
    add_nbrs(if1, 1);
    t_pim_nbr *nbr = avl_first<t_pim_nbr>(&if1->nbr_db);
    b->rpf_nbr_addr = nbr->nbr_addr;
    g_reresolved.clear();
    pim_minfo_cleanup_nbr(vpn_p, nbr);
    EXPECT_EQ(g_reresolved, std::vector<t_pim_minfo *>{b});
}

TEST_F(MinfoTest, EntryDebugFollowsLevelAndGroupFilter)
{
    t_pim_minfo *xg = create(PIM_TYPE_XG, "239.1.1.1", nullptr, "10.0.0.9");
    ASSERT_NE(xg, nullptr);
    EXPECT_FALSE(pim_minfo_debug_on(xg, PIM_DEBUG_LEVEL_BASIC)) << "events off";
    vpn_p->pim_debug.events = true;
    vpn_p->pim_debug.events_level = PIM_DEBUG_LEVEL_BASIC;
    EXPECT_TRUE(pim_minfo_debug_on(xg, PIM_DEBUG_LEVEL_BASIC));
    EXPECT_FALSE(pim_minfo_debug_on(xg, PIM_DEBUG_LEVEL_DETAIL));
    vpn_p->pim_debug.events_level = PIM_DEBUG_LEVEL_DETAIL;
    vpn_p->pim_debug.group_addr = pim_test_ip("239.1.1.2");
    EXPECT_FALSE(pim_minfo_debug_on(xg, PIM_DEBUG_LEVEL_DETAIL)) << "another group";
    vpn_p->pim_debug.group_addr = pim_test_ip("239.1.1.1");
    EXPECT_TRUE(pim_minfo_debug_on(xg, PIM_DEBUG_LEVEL_DETAIL));
}

TEST_F(MinfoTest, DumpShowsEntriesAndTheirRecords)
{
    t_pim_minfo *xg = create(PIM_TYPE_XG, "239.1.1.1", nullptr, "10.0.0.9");
    ASSERT_NE(xg, nullptr);
    ASSERT_NE(pim_if_minfo_find_or_create(if2, xg), nullptr);
    pim_minfo_ilist_set(&xg->joined_olist_p, if2->if_index);
    std::string text;
    pim_minfo_dump(vpn_p, &text, [](void *user_p, const char *piece) {
        *static_cast<std::string *>(user_p) += piece;
    });
    EXPECT_NE(text.find("*,G: (0.0.0.0, 239.1.1.1) (*, G)"), std::string::npos) << text;
    EXPECT_NE(text.find("Joined: ge0/2 "), std::string::npos) << text;
    EXPECT_NE(text.find("if: ge0/2 Downstream: NOINFO"), std::string::npos) << text;
}

TEST_F(MinfoTest, DispatchByType)
{
    t_ipaddr g = pim_test_ip("239.1.1.1");
    t_ipaddr s = pim_test_ip("10.2.2.2");
    EXPECT_EQ(pim_et_jp_join(PIM_TYPE_SG_RPT, if1, &g, &s, 210), 0) << "empty slot";
    EXPECT_EQ(pim_et_jp_join(static_cast<e_pim_type>(42), if1, &g, &s, 210), 0);
    EXPECT_EQ(avl_numnodes(&vpn_p->minfo_db), 0u);
    EXPECT_EQ(pim_et_jp_join(PIM_TYPE_SG, if1, &g, &s, 210), 0);
    EXPECT_NE(entry(PIM_TYPE_SG, "239.1.1.1", "10.2.2.2"), nullptr);
    EXPECT_EQ(pim_et_jp_prune(PIM_TYPE_XG, if1, &g, &s), 0) << "nothing to prune";
}

} // namespace
