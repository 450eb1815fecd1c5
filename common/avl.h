// Intrusive ordered trees. Every table of the daemon is one of these: a record
// embeds one avl_node_t per tree it sits in, and a tree is created with the byte
// position of the link it uses, so one record can sit in several trees at once.
// The tree never allocates or frees records; owners free them after removal.
#pragma once

#include <boost/intrusive/avltree_algorithms.hpp>
#include <cstddef>
#include <cstdint>

// The parent pointer carries the balance in its two low bits (links are
// pointer-aligned), so a link is three words: records sit in many trees.
struct avl_node_t {
    avl_node_t *avl_child[2];
    uintptr_t avl_pcb; // parent | balance; 0 while unlinked
};

// Compare two records (or a record and a stack key): -1, 0 or +1.
using avl_compar_fn = int (*)(const void *, const void *);

struct avl_node_traits {
    using node = avl_node_t;
    using node_ptr = avl_node_t *;
    using const_node_ptr = const avl_node_t *;
    using balance = uintptr_t;
    static constexpr uintptr_t BALANCE_BITS = 3;

    static node_ptr get_parent(const_node_ptr n)
    {
        return reinterpret_cast<node_ptr>(n->avl_pcb & ~BALANCE_BITS);
    }
    static void set_parent(node_ptr n, node_ptr p)
    {
        n->avl_pcb = reinterpret_cast<uintptr_t>(p) | (n->avl_pcb & BALANCE_BITS);
    }
    static node_ptr get_left(const_node_ptr n) { return n->avl_child[0]; }
    static void set_left(node_ptr n, node_ptr l) { n->avl_child[0] = l; }
    static node_ptr get_right(const_node_ptr n) { return n->avl_child[1]; }
    static void set_right(node_ptr n, node_ptr r) { n->avl_child[1] = r; }
    static balance get_balance(const_node_ptr n) { return n->avl_pcb & BALANCE_BITS; }
    static void set_balance(node_ptr n, balance b)
    {
        n->avl_pcb = (n->avl_pcb & ~BALANCE_BITS) | b;
    }
    static balance negative() { return 1; }
    static balance zero() { return 0; }
    static balance positive() { return 2; }
};

using avl_algo = boost::intrusive::avltree_algorithms<avl_node_traits>;

// Small as well: every routing entry holds one for its interface records.
struct avl_tree_t {
    avl_node_t avl_header; // sentinel: its parent is the root
    avl_compar_fn avl_compar;
    uint32_t avl_offset; // position of the link inside a record
    uint32_t avl_size;   // record size, kept for dumps
    uint32_t avl_numnodes;
    uint32_t avl_gen; // changes on every insert and remove
};

// Where a failed find would insert the key. Valid only until the tree changes;
// avl_insert notices a stale one and searches again.
struct avl_index_t {
    uint32_t gen;
    avl_algo::insert_commit_data commit;
};

enum { AVL_BEFORE = 0, AVL_AFTER = 1 };

void avl_create(avl_tree_t *tree, avl_compar_fn compar, size_t size, size_t offset);
void *avl_find(avl_tree_t *tree, const void *key, avl_index_t *where);
void avl_insert(avl_tree_t *tree, void *rec, const avl_index_t &where);
// Insert a record whose key is not in the tree yet (asserted).
void avl_add(avl_tree_t *tree, void *rec);
void avl_remove(avl_tree_t *tree, void *rec);
void *avl_first(avl_tree_t *tree);
void *avl_last(avl_tree_t *tree);
// The neighbour of a record in the tree: AVL_AFTER for the next larger.
void *avl_walk(avl_tree_t *tree, void *rec, int direction);
// Smallest record strictly greater than the key; the key need not be present.
void *avl_find_next(avl_tree_t *tree, const void *key);
// The equal record, else the smallest greater one.
void *avl_find_current_or_next(avl_tree_t *tree, const void *key, avl_index_t *where);
unsigned long avl_numnodes(const avl_tree_t *tree);
// Hands out the records one by one for teardown, without rebalancing. After the
// first call the tree must only be passed back here until it returns none.
void *avl_destroy_nodes(avl_tree_t *tree, void **cookie);
void avl_destroy(avl_tree_t *tree);
// True when the record's link for this tree is in a tree.
bool avl_is_linked(const avl_tree_t *tree, const void *rec);

// Typed forms: avl_first<t_pim_vpn>(&daemon->vpn_db).
template <typename T> T *avl_find(avl_tree_t *tree, const T *key, avl_index_t *where)
{
    return static_cast<T *>(avl_find(tree, static_cast<const void *>(key), where));
}
template <typename T> T *avl_first(avl_tree_t *tree) { return static_cast<T *>(avl_first(tree)); }
template <typename T> T *avl_last(avl_tree_t *tree) { return static_cast<T *>(avl_last(tree)); }
template <typename T> T *avl_next(avl_tree_t *tree, T *rec)
{
    return static_cast<T *>(avl_walk(tree, rec, AVL_AFTER));
}
template <typename T> T *avl_find_next(avl_tree_t *tree, const T *key)
{
    return static_cast<T *>(avl_find_next(tree, static_cast<const void *>(key)));
}
template <typename T>
T *avl_find_current_or_next(avl_tree_t *tree, const T *key, avl_index_t *where)
{
    return static_cast<T *>(avl_find_current_or_next(tree, static_cast<const void *>(key), where));
}

// Three-way comparison helper for compare functions: -1, 0 or +1.
template <typename T> constexpr int avl_cmp3(const T &a, const T &b)
{
    return (a < b) ? -1 : ((b < a) ? 1 : 0);
}
