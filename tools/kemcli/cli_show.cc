#include "tools/kemcli/cli_show.h"

#include <libyang/libyang.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "tools/kemcli/cli_parse.h"

namespace
{

// A table longer than this is cut: the walk would otherwise never end on a
// daemon that keeps answering with the same row.
constexpr size_t CLI_SHOW_MAX_ROWS = 1000000;

std::string cli_show_segment(const lysc_node *parent, const lysc_node *child)
{
    std::string seg;
    if (parent == nullptr || parent->module != child->module) {
        seg = std::string(child->module->name) + ":";
    }
    return seg + child->name;
}

void cli_show_add_columns(const t_cli_schema *schema, const lysc_node *parent,
                          const std::string &name, const std::string &xpath, t_cli_table *table)
{
    for (const lysc_node *child : cli_schema_children(schema, parent)) {
        std::string cname = name.empty() ? child->name : name + "/" + child->name;
        std::string cxpath = (xpath.empty() ? "" : xpath + "/") + cli_show_segment(parent, child);
        if ((child->nodetype & (LYS_LEAF | LYS_LEAFLIST)) != 0) {
            table->columns.push_back({child, cname, cxpath});
        } else if (child->nodetype == LYS_CONTAINER) {
            cli_show_add_columns(schema, child, cname, cxpath, table);
        }
    }
}

// The lists from the root down to the callpoint's node (a list, or a
// container of one row); all of them carry callpoints.
std::vector<const lysc_node *> cli_show_list_chain(const lysc_node *node)
{
    std::vector<const lysc_node *> chain;
    for (const lysc_node *s = node; s != nullptr; s = s->parent) {
        if (s->nodetype == LYS_LIST || s == node) {
            chain.insert(chain.begin(), s);
        }
    }
    return chain;
}

std::string cli_show_value_text(const lysc_node *leaf, const Cdb__Value *v)
{
    switch (v->type) {
    case CDB__VALUE_TYPE__VT_BOOL:
        return v->b ? "true" : "false";
    case CDB__VALUE_TYPE__VT_INT:
        return std::to_string(v->i);
    case CDB__VALUE_TYPE__VT_UINT8:
    case CDB__VALUE_TYPE__VT_UINT16:
    case CDB__VALUE_TYPE__VT_UINT32:
    case CDB__VALUE_TYPE__VT_UINT64:
        return std::to_string(v->u);
    case CDB__VALUE_TYPE__VT_ENUM:
        return cli_schema_enum_name(leaf, v->i);
    case CDB__VALUE_TYPE__VT_BITS:
        return cli_schema_bits_names(leaf, v->u);
    default:
        return v->s != nullptr ? v->s : "";
    }
}

const lysc_node *cli_show_find_child(const t_cli_schema *schema, const lysc_node *parent,
                                     const Cdb__Value *v)
{
    for (const lysc_node *child : cli_schema_children(schema, parent)) {
        if (v->name != nullptr ? strcmp(v->name, child->name) == 0
                               : cli_schema_tag(child) == v->tag) {
            return child;
        }
    }
    return nullptr;
}

int cli_show_column_index(const t_cli_table *table, const lysc_node *leaf)
{
    for (size_t i = table->num_parent_keys; i < table->columns.size(); i++) {
        if (table->columns[i].leaf_p == leaf) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Keys as the agent types them from text, root first.
struct t_cli_keys {
    std::deque<std::string> texts;
    std::deque<Cdb__Value> vals;
    std::vector<Cdb__Value *> ptrs;

    void add(const std::string &text)
    {
        texts.push_back(text);
        Cdb__Value &v = vals.emplace_back();
        cdb__value__init(&v);
        v.type = CDB__VALUE_TYPE__VT_STR;
        v.s = const_cast<char *>(texts.back().c_str());
        ptrs.push_back(&v);
    }
};

bool cli_show_request(t_cli_conn *conn, const std::string &callpoint, Cdb__DataOp op,
                      const std::vector<std::string> &keys, t_cli_msg *reply, std::string *err)
{
    t_cli_keys k;
    for (const std::string &text : keys) {
        k.add(text);
    }
    Cdb__DataRequest req = CDB__DATA_REQUEST__INIT;
    req.callpoint = const_cast<char *>(callpoint.c_str());
    req.op = op;
    req.keys = k.ptrs.data();
    req.n_keys = k.ptrs.size();
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.body_case = CDB__CDB_MSG__BODY_DATA_REQUEST;
    msg.data_request = &req;
    *reply = cli_conn_call_expect(conn, &msg, CDB__CDB_MSG__BODY_DATA_REPLY, err);
    if (*reply == nullptr) {
        return false;
    }
    if ((*reply)->data_reply->error != nullptr) {
        *err = (*reply)->data_reply->error;
        return false;
    }
    return true;
}

struct t_cli_walk_ctx {
    const t_cli_schema *schema_p;
    t_cli_conn *conn_p;
    t_cli_table *table_p;
    std::vector<const lysc_node *> chain;
};

// Walks the rows of chain[level] under the given parent keys.
bool cli_show_walk(t_cli_walk_ctx *ctx, size_t level, const std::vector<std::string> &parent_keys,
                   std::string *err)
{
    const lysc_node *list = ctx->chain[level];
    const char *cp = cli_schema_ext(list, "callpoint");
    if (cp == nullptr) {
        *err = std::string("list ") + list->name + " has no callpoint to read it from";
        return false;
    }
    bool last = level + 1 == ctx->chain.size();
    t_cli_table own;
    if (!last) {
        cli_show_table_init(ctx->schema_p, list, &own);
    }
    const t_cli_table &shape = last ? *ctx->table_p : own;
    std::vector<int> key_cols;
    for (const lysc_node *key : cli_schema_keys(list)) {
        key_cols.push_back(cli_show_column_index(&shape, key));
    }
    std::vector<std::string> keys = parent_keys;
    // A container is one row, asked for by its parents' keys; having no keys
    // of its own, it ends the walk after that row.
    Cdb__DataOp op = list->nodetype == LYS_LIST ? CDB__DATA_OP__DATA_FIRST : CDB__DATA_OP__DATA_GET;
    std::vector<std::string> prev;
    for (;;) {
        t_cli_msg reply;
        if (!cli_show_request(ctx->conn_p, cp, op, keys, &reply, err)) {
            return false;
        }
        if (!reply->data_reply->found) {
            return true;
        }
        std::vector<std::string> row(shape.columns.size());
        std::copy(parent_keys.begin(), parent_keys.end(), row.begin());
        cli_show_row_from_values(ctx->schema_p, &shape, reply->data_reply->values,
                                 reply->data_reply->n_values, &row);
        std::vector<std::string> own_keys;
        for (int col : key_cols) {
            own_keys.push_back(col >= 0 ? row[static_cast<size_t>(col)] : "");
        }
        // A row without its keys, or the same row again, cannot lead any further.
        bool stuck =
            own_keys == prev || std::any_of(own_keys.begin(), own_keys.end(),
                                            [](const std::string &k) { return k.empty(); });
        if (last) {
            if (ctx->table_p->rows.size() >= CLI_SHOW_MAX_ROWS) {
                *err = "table too long, cut";
                return false;
            }
            ctx->table_p->rows.push_back(row);
        } else {
            std::vector<std::string> child_keys = parent_keys;
            child_keys.insert(child_keys.end(), own_keys.begin(), own_keys.end());
            if (!stuck && !cli_show_walk(ctx, level + 1, child_keys, err)) {
                return false;
            }
        }
        if (stuck) {
            return true;
        }
        prev = own_keys;
        keys = parent_keys;
        keys.insert(keys.end(), own_keys.begin(), own_keys.end());
        op = CDB__DATA_OP__DATA_NEXT;
    }
}

} // namespace

void cli_show_table_init(const t_cli_schema *schema, const lysc_node *list, t_cli_table *table)
{
    *table = t_cli_table{};
    table->list_p = list;
    std::vector<const lysc_node *> chain = cli_show_list_chain(list);
    for (size_t i = 0; i + 1 < chain.size(); i++) {
        for (const lysc_node *key : cli_schema_keys(chain[i])) {
            table->columns.push_back({key, std::string(chain[i]->name) + "/" + key->name, ""});
        }
    }
    table->num_parent_keys = table->columns.size();
    cli_show_add_columns(schema, list, "", "", table);
}

void cli_show_row_from_values(const t_cli_schema *schema, const t_cli_table *table,
                              Cdb__Value *const *values, size_t n_values,
                              std::vector<std::string> *row)
{
    std::vector<const lysc_node *> stack{table->list_p};
    for (size_t i = 0; i < n_values; i++) {
        const Cdb__Value *v = values[i];
        switch (v->type) {
        case CDB__VALUE_TYPE__VT_XMLBEGIN: {
            // An unknown container still nests (nullptr): its end must not close ours.
            const lysc_node *child =
                stack.back() != nullptr ? cli_show_find_child(schema, stack.back(), v) : nullptr;
            if (child == nullptr && stack.size() == 1 && v->name != nullptr &&
                strcmp(v->name, table->list_p->name) == 0) {
                child = table->list_p; // the row framed as its list entry
            }
            stack.push_back(child != nullptr && (child->nodetype & (LYS_CONTAINER | LYS_LIST))
                                ? child
                                : nullptr);
            break;
        }
        case CDB__VALUE_TYPE__VT_XMLEND:
            if (stack.size() > 1) {
                stack.pop_back();
            }
            break;
        case CDB__VALUE_TYPE__VT_NOEXISTS:
        case CDB__VALUE_TYPE__VT_NONE:
            break;
        default: {
            const lysc_node *leaf =
                stack.back() != nullptr ? cli_show_find_child(schema, stack.back(), v) : nullptr;
            int col = leaf != nullptr ? cli_show_column_index(table, leaf) : -1;
            if (col < 0) {
                break;
            }
            std::string &cell = (*row)[static_cast<size_t>(col)];
            std::string text = cli_show_value_text(leaf, v);
            cell = cell.empty() || leaf->nodetype != LYS_LEAFLIST ? text : cell + " " + text;
            break;
        }
        }
    }
}

bool cli_show_fetch(const t_cli_schema *schema, t_cli_conn *conn, const std::string &callpoint,
                    t_cli_table *table, std::string *err)
{
    auto it = schema->callpoints.find(callpoint);
    if (it == schema->callpoints.end() ||
        (it->second->nodetype & (LYS_LIST | LYS_CONTAINER)) == 0) {
        *err = "unknown table '" + callpoint + "'";
        return false;
    }
    cli_show_table_init(schema, it->second, table);
    t_cli_walk_ctx ctx{schema, conn, table, cli_show_list_chain(it->second)};
    return cli_show_walk(&ctx, 0, {}, err);
}

bool cli_show_filters_parse(const t_cli_schema *schema, const t_cli_table *table,
                            const std::vector<std::string> &words, size_t start,
                            std::vector<t_cli_filter> *filters, std::string *err)
{
    filters->clear();
    for (size_t i = start; i < words.size(); i += 2) {
        auto col = std::find_if(table->columns.begin(), table->columns.end(),
                                [&](const t_cli_column &c) { return c.name == words[i]; });
        if (col == table->columns.end()) {
            *err = "unknown column '" + words[i] + "'";
            return false;
        }
        if (i + 1 == words.size()) {
            *err = words[i] + ": missing value";
            return false;
        }
        std::string why;
        if (!cli_schema_check_value(schema, col->leaf_p, words[i + 1], &why)) {
            *err = words[i] + ": " + why;
            return false;
        }
        t_cli_filter f;
        f.column = static_cast<size_t>(col - table->columns.begin());
        f.value = words[i + 1];
        const char *canonical = nullptr;
        if (lyd_value_validate(schema->ctx_p, col->leaf_p, f.value.c_str(), f.value.size(), nullptr,
                               nullptr, &canonical) == LY_SUCCESS &&
            canonical != nullptr) {
            f.value = canonical;
            lydict_remove(schema->ctx_p, canonical);
        }
        filters->push_back(f);
    }
    return true;
}

void cli_show_filters_apply(t_cli_table *table, const std::vector<t_cli_filter> &filters)
{
    std::erase_if(table->rows, [&](const std::vector<std::string> &row) {
        return std::any_of(filters.begin(), filters.end(),
                           [&](const t_cli_filter &f) { return row[f.column] != f.value; });
    });
}

std::vector<t_cli_choice> cli_show_filter_choices(const t_cli_table *table,
                                                  const std::vector<std::string> &words,
                                                  size_t start)
{
    std::vector<t_cli_choice> out;
    if ((words.size() - start) % 2 == 1) {
        for (const t_cli_column &c : table->columns) {
            if (c.name == words.back()) {
                out.push_back({cli_schema_value_hint(c.leaf_p), cli_schema_help(c.leaf_p), false});
                for (const std::string &w : cli_schema_value_words(c.leaf_p)) {
                    out.push_back({w, cli_schema_help(c.leaf_p), true});
                }
            }
        }
        return out;
    }
    for (const t_cli_column &c : table->columns) {
        out.push_back({c.name, "Only rows with this " + c.name, true});
    }
    return out;
}

std::string cli_show_text(const t_cli_table *table)
{
    std::vector<size_t> width(table->columns.size());
    for (size_t c = 0; c < table->columns.size(); c++) {
        width[c] = table->columns[c].name.size();
        for (const auto &row : table->rows) {
            width[c] = std::max(width[c], std::max<size_t>(row[c].size(), 1));
        }
    }
    std::string out;
    auto line = [&](auto cell) {
        std::string l;
        for (size_t c = 0; c < width.size(); c++) {
            std::string text = cell(c);
            l += text;
            if (c + 1 < width.size()) {
                l += std::string(width[c] - text.size() + 2, ' ');
            }
        }
        out += l + "\n";
    };
    line([&](size_t c) { return table->columns[c].name; });
    for (const auto &row : table->rows) {
        line([&](size_t c) { return row[c].empty() ? std::string("-") : row[c]; });
    }
    return out;
}

bool cli_show_json(const t_cli_schema *schema, const t_cli_table *table, std::string *out,
                   std::string *err)
{
    std::vector<const lysc_node *> chain = cli_show_list_chain(table->list_p);
    lyd_node *tree = nullptr;
    bool ok = true;
    for (const auto &row : table->rows) {
        // Path of the row's list entry: containers, and lists with their keys.
        std::vector<const lysc_node *> ancestry;
        for (const lysc_node *s = table->list_p; s != nullptr; s = s->parent) {
            ancestry.insert(ancestry.begin(), s);
        }
        std::string xpath;
        size_t key_col = 0;
        const lysc_node *parent = nullptr;
        for (const lysc_node *s : ancestry) {
            xpath += "/" + cli_show_segment(parent, s);
            parent = s;
            if (s->nodetype != LYS_LIST) {
                continue;
            }
            for (const lysc_node *key : cli_schema_keys(s)) {
                std::string value;
                if (s == table->list_p) {
                    int col = cli_show_column_index(table, key);
                    value = col >= 0 ? row[static_cast<size_t>(col)] : "";
                } else {
                    value = key_col < table->num_parent_keys ? row[key_col] : "";
                    key_col++;
                }
                xpath += "[" + std::string(key->name) + "=" + cli_xpath_quote(value) + "]";
            }
        }
        lyd_node *entry = nullptr;
        if (lyd_new_path(tree, schema->ctx_p, xpath.c_str(), nullptr, LYD_NEW_PATH_UPDATE,
                         &entry) != LY_SUCCESS) {
            *err = "row " + xpath + ": " + cli_schema_error(schema);
            ok = false;
            break;
        }
        if (tree == nullptr) {
            tree = entry;
        }
        lyd_node *list_entry = nullptr;
        lyd_find_path(tree, xpath.c_str(), 0, &list_entry);
        for (size_t c = table->num_parent_keys; c < table->columns.size() && list_entry; c++) {
            const t_cli_column &col = table->columns[c];
            if (row[c].empty() || lysc_is_key(col.leaf_p)) {
                continue;
            }
            if (lyd_new_path(list_entry, schema->ctx_p, col.xpath.c_str(), row[c].c_str(),
                             LYD_NEW_PATH_UPDATE, nullptr) != LY_SUCCESS) {
                *err = xpath + "/" + col.name + ": " + cli_schema_error(schema);
                ok = false;
            }
        }
        if (!ok) {
            break;
        }
    }
    if (tree == nullptr) {
        *out = ok ? "{}\n" : "";
        return ok;
    }
    while (tree->parent != nullptr) {
        tree = lyd_parent(tree);
    }
    tree = lyd_first_sibling(tree);
    char *text = nullptr;
    lyd_print_mem(&text, tree, LYD_JSON, LYD_PRINT_WITHSIBLINGS);
    *out = text != nullptr ? text : "{}\n";
    free(text);
    lyd_free_all(tree);
    return ok;
}
