#include <algorithm>
#include <cstddef>
#include <gtest/gtest.h>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "common/avl.h"

namespace
{

// A record sitting in two trees at once, ordered differently in each.
struct t_rec {
    avl_node_t by_key;
    int key;
    avl_node_t by_rank;
    int rank;
};

int cmp_key(const void *a, const void *b)
{
    return avl_cmp3(static_cast<const t_rec *>(a)->key, static_cast<const t_rec *>(b)->key);
}

int cmp_rank(const void *a, const void *b)
{
    const auto *x = static_cast<const t_rec *>(a);
    const auto *y = static_cast<const t_rec *>(b);
    int c = avl_cmp3(x->rank, y->rank);
    return c != 0 ? c : avl_cmp3(x->key, y->key);
}

struct AvlTest : ::testing::Test {
    avl_tree_t keys{};
    avl_tree_t ranks{};
    std::vector<t_rec> recs;

    void SetUp() override
    {
        avl_create(&keys, cmp_key, sizeof(t_rec), offsetof(t_rec, by_key));
        avl_create(&ranks, cmp_rank, sizeof(t_rec), offsetof(t_rec, by_rank));
    }

    void fill(int n)
    {
        recs.resize(static_cast<size_t>(n));
        for (int i = 0; i < n; i++) {
            recs[static_cast<size_t>(i)] = t_rec{{}, i * 10, {}, (i * 7) % n};
        }
        for (size_t i : shuffled(recs.size(), 42)) {
            avl_add(&keys, &recs[i]);
            avl_add(&ranks, &recs[i]);
        }
    }

    static std::vector<size_t> shuffled(size_t n, unsigned seed)
    {
        std::vector<size_t> order(n);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), std::mt19937(seed));
        return order;
    }

    std::vector<int> walk_keys()
    {
        std::vector<int> out;
        for (t_rec *r = avl_first<t_rec>(&keys); r != nullptr; r = avl_next(&keys, r)) {
            out.push_back(r->key);
        }
        return out;
    }
};

TEST_F(AvlTest, OneRecordInTwoTreesKeepsBothOrders)
{
    fill(100);
    EXPECT_EQ(avl_numnodes(&ranks), 100u);

    std::vector<int> k = walk_keys();
    EXPECT_TRUE(std::is_sorted(k.begin(), k.end()));
    int prev = -1;
    for (t_rec *r = avl_first<t_rec>(&ranks); r != nullptr; r = avl_next(&ranks, r)) {
        EXPECT_GT(r->rank, prev);
        prev = r->rank;
    }

    // Removing from one tree leaves the record in the other.
    avl_remove(&keys, &recs[5]);
    EXPECT_FALSE(avl_is_linked(&keys, &recs[5]));
    EXPECT_TRUE(avl_is_linked(&ranks, &recs[5]));
    t_rec key{};
    key.key = 50;
    EXPECT_EQ(avl_find(&keys, &key, nullptr), nullptr);
    key.rank = recs[5].rank;
    EXPECT_EQ(avl_find(&ranks, &key, nullptr), &recs[5]);
    EXPECT_EQ(avl_last<t_rec>(&keys)->key, 990);
}

TEST_F(AvlTest, FindNextAndCurrentOrNextOverMissingKeys)
{
    fill(10); // keys 0, 10, ..., 90
    t_rec key{};
    key.key = 15;
    EXPECT_EQ(avl_find_next(&keys, &key)->key, 20);
    avl_index_t where;
    EXPECT_EQ(avl_find_current_or_next(&keys, &key, &where)->key, 20);
    key.key = 20;
    EXPECT_EQ(avl_find_next(&keys, &key)->key, 30);
    EXPECT_EQ(avl_find_current_or_next(&keys, &key, &where)->key, 20);
    key.key = -5;
    EXPECT_EQ(avl_find_next(&keys, &key)->key, 0);
    key.key = 90;
    EXPECT_EQ(avl_find_next(&keys, &key), nullptr);
    key.key = 95;
    EXPECT_EQ(avl_find_current_or_next(&keys, &key, &where), nullptr);
    EXPECT_EQ(avl_walk(&keys, &recs[0], AVL_BEFORE), nullptr);
    EXPECT_EQ(avl_walk(&keys, &recs[3], AVL_BEFORE), &recs[2]);
}

TEST_F(AvlTest, InsertIntoATreeNeverCreatedAsserts)
{
    avl_tree_t never{};
    t_rec r{};
    EXPECT_DEATH(avl_add(&never, &r), "");
    avl_index_t where{};
    EXPECT_DEATH(avl_insert(&never, &r, where), "");
}

TEST_F(AvlTest, StaleInsertPositionIsSearchedAgain)
{
    fill(4); // keys 0..30
    t_rec a{};
    a.key = 15;
    t_rec b{};
    b.key = 16;
    avl_index_t where_a;
    avl_index_t where_b;
    ASSERT_EQ(avl_find(&keys, &a, &where_a), nullptr);
    ASSERT_EQ(avl_find(&keys, &b, &where_b), nullptr);
    avl_insert(&keys, &a, where_a);
    avl_insert(&keys, &b, where_b); // where_b predates the first insert
    EXPECT_EQ(walk_keys(), (std::vector<int>{0, 10, 15, 16, 20, 30}));
    avl_remove(&keys, &a);
    avl_remove(&keys, &b);
}

TEST_F(AvlTest, RemovalDuringWalkAndTeardown)
{
    fill(50);
    // Take the next record before removing the current one.
    for (t_rec *r = avl_first<t_rec>(&keys); r != nullptr;) {
        t_rec *next = avl_next(&keys, r);
        if (r->key % 20 == 0) {
            avl_remove(&keys, r);
        }
        r = next;
    }
    EXPECT_EQ(avl_numnodes(&keys), 25u);
    for (int k : walk_keys()) {
        EXPECT_EQ(k % 20, 10);
    }

    void *cookie = nullptr;
    std::set<int> seen;
    while (auto *r = static_cast<t_rec *>(avl_destroy_nodes(&keys, &cookie))) {
        seen.insert(r->key);
        EXPECT_FALSE(avl_is_linked(&keys, r));
    }
    EXPECT_EQ(seen.size(), 25u);
    avl_destroy(&keys);
    EXPECT_EQ(avl_first(&keys), nullptr);

    cookie = nullptr;
    while (avl_destroy_nodes(&ranks, &cookie) != nullptr) {
    }
    avl_destroy(&ranks);
}

} // namespace

namespace
{

int height(const avl_node_t *n)
{
    return n == nullptr ? 0 : 1 + std::max(height(n->avl_child[0]), height(n->avl_child[1]));
}

} // namespace

// The balance lives in the parent link's spare bits: heavy churn must leave
// the order intact and the tree as shallow as an AVL tree is.
TEST_F(AvlTest, ChurnKeepsOrderAndBalance)
{
    fill(2000);
    std::vector<size_t> order = shuffled(recs.size(), 7);
    for (size_t i = 0; i < 1500; i++) {
        avl_remove(&keys, &recs[order[i]]);
    }
    for (size_t i = 0; i < 700; i++) {
        avl_add(&keys, &recs[order[i]]);
    }
    std::vector<int> k = walk_keys();
    EXPECT_EQ(k.size(), 1200u);
    EXPECT_TRUE(std::is_sorted(k.begin(), k.end()));
    const avl_node_t *root = avl_node_traits::get_parent(&keys.avl_header);
    EXPECT_LE(height(root), 14) << "the tallest AVL tree of 1200 nodes";
    EXPECT_EQ(avl_node_traits::get_parent(root), &keys.avl_header);
}
