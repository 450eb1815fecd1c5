#include "common/avl.h"

#include "common/zul_assert.h"

namespace
{

void *node_to_rec(const avl_tree_t *tree, const avl_node_t *node)
{
    return reinterpret_cast<char *>(const_cast<avl_node_t *>(node)) - tree->avl_offset;
}

avl_node_t *rec_to_node(const avl_tree_t *tree, const void *rec)
{
    return reinterpret_cast<avl_node_t *>(const_cast<char *>(static_cast<const char *>(rec)) +
                                          tree->avl_offset);
}

avl_node_t *header(avl_tree_t *tree) { return &tree->avl_header; }

// Orders a key against tree nodes for the boost algorithms.
struct key_node_less {
    const avl_tree_t *tree;
    bool operator()(const avl_node_t *a, const void *key) const
    {
        return tree->avl_compar(node_to_rec(tree, a), key) < 0;
    }
    bool operator()(const void *key, const avl_node_t *b) const
    {
        return tree->avl_compar(key, node_to_rec(tree, b)) < 0;
    }
    bool operator()(const avl_node_t *a, const avl_node_t *b) const
    {
        return tree->avl_compar(node_to_rec(tree, a), node_to_rec(tree, b)) < 0;
    }
};

void node_unlinked(avl_node_t *node) { *node = avl_node_t{}; }

} // namespace

void avl_create(avl_tree_t *tree, avl_compar_fn compar, size_t size, size_t offset)
{
    ZUL_ASSERT(compar != nullptr);
    *tree = avl_tree_t{};
    tree->avl_compar = compar;
    ZUL_ASSERT(size <= UINT32_MAX && offset <= UINT32_MAX);
    tree->avl_size = static_cast<uint32_t>(size);
    tree->avl_offset = static_cast<uint32_t>(offset);
    avl_algo::init_header(header(tree));
}

void *avl_find(avl_tree_t *tree, const void *key, avl_index_t *where)
{
    key_node_less less{tree};
    if (where == nullptr) {
        avl_node_t *n = avl_algo::find(header(tree), key, less);
        return n == header(tree) ? nullptr : node_to_rec(tree, n);
    }
    where->gen = tree->avl_gen;
    auto [n, fresh] = avl_algo::insert_unique_check(header(tree), key, less, where->commit);
    return fresh ? nullptr : node_to_rec(tree, n);
}

void avl_insert(avl_tree_t *tree, void *rec, const avl_index_t &where)
{
    // A tree that was never created has no header to link into.
    ZUL_ASSERT(tree->avl_compar != nullptr);
    if (where.gen != tree->avl_gen) {
        avl_add(tree, rec);
        return;
    }
    avl_node_t *node = rec_to_node(tree, rec);
    ZUL_ASSERT(node->avl_pcb == 0);
    avl_algo::insert_unique_commit(header(tree), node, where.commit);
    tree->avl_numnodes++;
    tree->avl_gen++;
}

void avl_add(avl_tree_t *tree, void *rec)
{
    avl_index_t where;
    ZUL_ASSERT(tree->avl_compar != nullptr);
    ZUL_ASSERT(avl_find(tree, rec, &where) == nullptr);
    avl_insert(tree, rec, where);
}

void avl_remove(avl_tree_t *tree, void *rec)
{
    avl_node_t *node = rec_to_node(tree, rec);
    ZUL_ASSERT(node->avl_pcb != 0 && tree->avl_numnodes > 0);
    avl_algo::erase(header(tree), node);
    node_unlinked(node);
    tree->avl_numnodes--;
    tree->avl_gen++;
}

void *avl_first(avl_tree_t *tree)
{
    avl_node_t *n = avl_algo::begin_node(header(tree));
    return n == header(tree) ? nullptr : node_to_rec(tree, n);
}

void *avl_last(avl_tree_t *tree)
{
    if (tree->avl_numnodes == 0) {
        return nullptr;
    }
    return node_to_rec(tree, avl_algo::prev_node(header(tree)));
}

void *avl_walk(avl_tree_t *tree, void *rec, int direction)
{
    avl_node_t *node = rec_to_node(tree, rec);
    ZUL_ASSERT(node->avl_pcb != 0);
    avl_node_t *n;
    if (direction == AVL_AFTER) {
        n = avl_algo::next_node(node);
    } else {
        if (node == avl_algo::begin_node(header(tree))) {
            return nullptr;
        }
        n = avl_algo::prev_node(node);
    }
    return n == header(tree) ? nullptr : node_to_rec(tree, n);
}

void *avl_find_next(avl_tree_t *tree, const void *key)
{
    avl_node_t *n = avl_algo::upper_bound(header(tree), key, key_node_less{tree});
    return n == header(tree) ? nullptr : node_to_rec(tree, n);
}

void *avl_find_current_or_next(avl_tree_t *tree, const void *key, avl_index_t *where)
{
    void *rec = avl_find(tree, key, where);
    if (rec != nullptr) {
        return rec;
    }
    return avl_find_next(tree, key);
}

unsigned long avl_numnodes(const avl_tree_t *tree) { return tree->avl_numnodes; }

void *avl_destroy_nodes(avl_tree_t *tree, void **cookie)
{
    // The cookie marks that teardown has begun; the tree is no longer balanced
    // from then on and only this function may touch it.
    *cookie = tree;
    avl_node_t *n = avl_algo::unlink_leftmost_without_rebalance(header(tree));
    if (n == nullptr) {
        return nullptr;
    }
    node_unlinked(n);
    tree->avl_numnodes--;
    tree->avl_gen++;
    return node_to_rec(tree, n);
}

void avl_destroy(avl_tree_t *tree)
{
    ZUL_ASSERT(tree->avl_numnodes == 0);
    avl_algo::init_header(header(tree));
}

bool avl_is_linked(const avl_tree_t *tree, const void *rec)
{
    return rec_to_node(tree, rec)->avl_pcb != 0;
}
