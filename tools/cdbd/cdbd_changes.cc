#include "tools/cdbd/cdbd_changes.h"

#include <libyang/libyang.h>

#include <cstring>

#include "zconfd/zconfd.h"

namespace
{

enum e_cdbd_diff_op : uint8_t {
    CDBD_DIFF_NONE = 0,
    CDBD_DIFF_CREATE = 1,
    CDBD_DIFF_DELETE = 2,
    CDBD_DIFF_REPLACE = 3,
};

// The node's own operation in the difference, or none when it inherits one.
bool cdbd_diff_own_op(const lyd_node *node, e_cdbd_diff_op *op)
{
    const lyd_meta *meta = lyd_find_meta(node->meta, nullptr, "yang:operation");
    if (meta == nullptr) {
        return false;
    }
    const char *v = lyd_get_meta_value(meta);
    if (strcmp(v, "create") == 0) {
        *op = CDBD_DIFF_CREATE;
    } else if (strcmp(v, "delete") == 0) {
        *op = CDBD_DIFF_DELETE;
    } else if (strcmp(v, "replace") == 0) {
        *op = CDBD_DIFF_REPLACE;
    } else {
        *op = CDBD_DIFF_NONE;
    }
    return true;
}

e_cdbd_diff_op cdbd_diff_op(const lyd_node *node)
{
    for (const lyd_node *n = node; n != nullptr; n = lyd_parent(n)) {
        e_cdbd_diff_op op;
        if (cdbd_diff_own_op(n, &op)) {
            return op;
        }
    }
    return CDBD_DIFF_NONE;
}

bool cdbd_is_term(const lyd_node *node)
{
    return (node->schema->nodetype & LYD_NODE_TERM) != 0;
}

void cdbd_render_container(const lyd_node *node, std::vector<t_cdbd_val> *out);

// The whole subtree of a node as values; nested lists belong to their own rows.
void cdbd_render_full(const lyd_node *node, std::vector<t_cdbd_val> *out)
{
    const lyd_node *child;
    LY_LIST_FOR(lyd_child(node), child)
    {
        if (cdbd_is_term(child)) {
            if (!lysc_is_key(child->schema)) {
                out->push_back(cdbd_val_of_term(child));
            }
        } else if (child->schema->nodetype == LYS_CONTAINER) {
            cdbd_render_container(child, out);
        }
    }
}

// A container and its subtree; an empty non-presence container says nothing.
void cdbd_render_container(const lyd_node *node, std::vector<t_cdbd_val> *out)
{
    size_t mark = out->size();
    out->push_back(cdbd_val_marker(node->schema, ZCONFD_VT_XMLBEGIN));
    cdbd_render_full(node, out);
    if (out->size() == mark + 1 && (node->schema->flags & LYS_PRESENCE) == 0) {
        out->resize(mark);
        return;
    }
    out->push_back(cdbd_val_marker(node->schema, ZCONFD_VT_XMLEND));
}

// The modifications below a node that is itself only an ancestor of changes.
void cdbd_render_mods(const lyd_node *node, e_cdbd_filter filter, std::vector<t_cdbd_val> *out)
{
    const lyd_node *child;
    LY_LIST_FOR(lyd_child(node), child)
    {
        if (child->schema->nodetype == LYS_LIST) {
            continue;
        }
        e_cdbd_diff_op op = cdbd_diff_op(child);
        switch (op) {
        case CDBD_DIFF_CREATE:
        case CDBD_DIFF_REPLACE:
            if (filter == CDBD_FILTER_DELS) {
                break;
            }
            if (cdbd_is_term(child)) {
                out->push_back(cdbd_val_of_term(child));
            } else {
                cdbd_render_container(child, out);
            }
            break;
        case CDBD_DIFF_DELETE:
            if (filter != CDBD_FILTER_ADDS) {
                out->push_back(cdbd_val_marker(child->schema, ZCONFD_VT_NOEXISTS));
            }
            break;
        case CDBD_DIFF_NONE:
            if (!cdbd_is_term(child)) {
                std::vector<t_cdbd_val> inner;
                cdbd_render_mods(child, filter, &inner);
                if (!inner.empty()) {
                    out->push_back(cdbd_val_marker(child->schema, ZCONFD_VT_XMLBEGIN));
                    out->insert(out->end(), inner.begin(), inner.end());
                    out->push_back(cdbd_val_marker(child->schema, ZCONFD_VT_XMLEND));
                }
            }
            break;
        }
    }
}

// Keys of every list entry from the root down to node.
std::vector<t_cdbd_val> cdbd_keys_of(const lyd_node *node)
{
    std::vector<const lyd_node *> chain;
    for (const lyd_node *n = node; n != nullptr; n = lyd_parent(n)) {
        chain.push_back(n);
    }
    std::vector<t_cdbd_val> keys;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if ((*it)->schema->nodetype != LYS_LIST) {
            continue;
        }
        const lyd_node *child;
        LY_LIST_FOR(lyd_child(*it), child)
        {
            if (lysc_is_key(child->schema)) {
                keys.push_back(cdbd_val_of_term(child));
            }
        }
    }
    return keys;
}

// A deletion inherited from a deleted list entry that another row covers.
bool cdbd_delete_covered(const lyd_node *node, const t_cdbd_sub &sub,
                         const std::vector<t_cdbd_sub> &peers)
{
    for (const lyd_node *n = lyd_parent(node); n != nullptr; n = lyd_parent(n)) {
        e_cdbd_diff_op op;
        if (n->schema->nodetype != LYS_LIST || !cdbd_diff_own_op(n, &op) ||
            op != CDBD_DIFF_DELETE) {
            continue;
        }
        for (const t_cdbd_sub &peer : peers) {
            if (peer.id != sub.id && !peer.oper && peer.snode_p == n->schema) {
                return true;
            }
        }
    }
    return false;
}

int cdbd_count_keys(const lysc_node *snode)
{
    int n = 0;
    for (const lysc_node *s = snode; s != nullptr; s = s->parent) {
        if (s->nodetype != LYS_LIST) {
            continue;
        }
        const lysc_node *child;
        LY_LIST_FOR(lysc_node_child(s), child)
        {
            if (lysc_is_key(child)) {
                n++;
            }
        }
    }
    return n;
}

void cdbd_collect(const lyd_node *first, const lysc_node *snode, std::vector<const lyd_node *> *out)
{
    const lyd_node *node;
    LY_LIST_FOR(first, node)
    {
        if (node->schema == snode) {
            out->push_back(node);
        } else if (!cdbd_is_term(node)) {
            cdbd_collect(lyd_child(node), snode, out);
        }
    }
}

} // namespace

bool cdbd_sub_resolve(const t_cdbd_schema *schema, t_cdbd_sub *sub, std::string *err)
{
    // Walk the names from the top, matching each among the children of the
    // previous node; a name may carry its module prefix.
    const lysc_node *parent = nullptr;
    size_t pos = 0;
    const std::string &path = sub->path;
    while (pos < path.size()) {
        if (path[pos] == '/') {
            pos++;
            continue;
        }
        size_t end = path.find('/', pos);
        std::string name =
            path.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? path.size() : end;
        std::string prefix;
        if (size_t colon = name.find(':'); colon != std::string::npos) {
            prefix = name.substr(0, colon);
            name = name.substr(colon + 1);
        }
        const lysc_node *found = nullptr;
        if (parent == nullptr) {
            uint32_t idx = 0;
            while (const lys_module *mod = ly_ctx_get_module_iter(schema->ctx_p, &idx)) {
                if (!mod->implemented || (!prefix.empty() && prefix != mod->name)) {
                    continue;
                }
                if (const lysc_node *s = lys_find_child(nullptr, mod, name.c_str(), 0, 0, 0)) {
                    found = s;
                    break;
                }
            }
        } else {
            found = lys_find_child(parent, parent->module, name.c_str(), 0, 0, 0);
        }
        if (found == nullptr) {
            *err = "no schema node " + name + " in " + path;
            return false;
        }
        parent = found;
    }
    if (parent == nullptr) {
        *err = "empty path";
        return false;
    }
    sub->snode_p = parent;
    sub->num_keys = cdbd_count_keys(parent);
    return true;
}

std::vector<t_cdbd_change> cdbd_changes_for_sub(const lyd_node *diff, const t_cdbd_sub &sub,
                                                e_cdbd_filter filter,
                                                const std::vector<t_cdbd_sub> &peers)
{
    std::vector<t_cdbd_change> changes;
    if (sub.snode_p == nullptr || sub.oper) {
        return changes;
    }
    std::vector<const lyd_node *> nodes;
    cdbd_collect(diff, sub.snode_p, &nodes);
    for (const lyd_node *node : nodes) {
        t_cdbd_change change;
        switch (cdbd_diff_op(node)) {
        case CDBD_DIFF_CREATE:
        case CDBD_DIFF_REPLACE:
            if (filter == CDBD_FILTER_DELS) {
                continue;
            }
            if (cdbd_is_term(node)) {
                change.op = ZCONFD_MOP_VALUE_SET;
                change.values.push_back(cdbd_val_of_term(node));
            } else {
                change.op = ZCONFD_MOP_CREATED;
                cdbd_render_full(node, &change.values);
                // An empty non-presence container is no news.
                if (change.values.empty() && node->schema->nodetype == LYS_CONTAINER &&
                    (node->schema->flags & LYS_PRESENCE) == 0) {
                    continue;
                }
            }
            break;
        case CDBD_DIFF_DELETE:
            if (filter == CDBD_FILTER_ADDS || cdbd_delete_covered(node, sub, peers)) {
                continue;
            }
            change.op = ZCONFD_MOP_DELETED;
            if (node->schema->nodetype == LYS_CONTAINER &&
                (node->schema->flags & LYS_PRESENCE) == 0) {
                // A non-presence container always exists for its readers: what
                // went away are its children.
                change.op = ZCONFD_MOP_MODIFIED;
                const lyd_node *child;
                LY_LIST_FOR(lyd_child(node), child)
                {
                    if (child->schema->nodetype != LYS_LIST) {
                        change.values.push_back(cdbd_val_marker(child->schema, ZCONFD_VT_NOEXISTS));
                    }
                }
            }
            break;
        case CDBD_DIFF_NONE:
            if (cdbd_is_term(node)) {
                continue;
            }
            change.op = ZCONFD_MOP_MODIFIED;
            cdbd_render_mods(node, filter, &change.values);
            if (change.values.empty()) {
                continue;
            }
            break;
        }
        change.keys = cdbd_keys_of(node);
        changes.push_back(std::move(change));
    }
    return changes;
}

const char *cdbd_mop_name(uint32_t op)
{
    switch (op) {
    case ZCONFD_MOP_CREATED:
        return "created";
    case ZCONFD_MOP_DELETED:
        return "deleted";
    case ZCONFD_MOP_MODIFIED:
        return "modified";
    case ZCONFD_MOP_VALUE_SET:
        return "value set";
    default:
        return "unknown";
    }
}
