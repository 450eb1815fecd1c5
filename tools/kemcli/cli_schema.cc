#include "tools/kemcli/cli_schema.h"

#include <dirent.h>
#include <libyang/libyang.h>

#include <algorithm>
#include <cstring>

#include "zconfd/zconfd_value.h"

namespace
{

constexpr const char *CLI_EXT_MODULE = "kem-cdb";

bool cli_schema_any_below(const t_cli_schema *schema, const lysc_node *snode,
                          bool (*pred)(const lysc_node *))
{
    if (pred(snode)) {
        return true;
    }
    if ((snode->nodetype & (LYS_CONTAINER | LYS_LIST)) == 0) {
        return false;
    }
    for (const lysc_node *child : cli_schema_children(schema, snode)) {
        if (cli_schema_any_below(schema, child, pred)) {
            return true;
        }
    }
    return false;
}

std::string cli_schema_range_text(const lysc_range *range, bool is_signed)
{
    std::string out;
    LY_ARRAY_COUNT_TYPE i;
    LY_ARRAY_FOR(range->parts, i)
    {
        const auto &part = range->parts[i];
        if (!out.empty()) {
            out += "|";
        }
        std::string lo = is_signed ? std::to_string(part.min_64) : std::to_string(part.min_u64);
        std::string hi = is_signed ? std::to_string(part.max_64) : std::to_string(part.max_u64);
        out += lo == hi ? lo : lo + ".." + hi;
    }
    return out;
}

} // namespace

int cli_schema_load(t_cli_schema *schema, const std::string &dir, std::string *err)
{
    // The parsed tree stays reachable so help can name a leaf's declared type.
    if (ly_ctx_new(dir.c_str(), LY_CTX_SET_PRIV_PARSED, &schema->ctx_p) != LY_SUCCESS) {
        *err = "cannot create a schema context for " + dir;
        return -1;
    }
    ly_log_options(LY_LOSTORE_LAST);
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        *err = "cannot read the schema directory " + dir;
        return -1;
    }
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".yang") == 0) {
            name.resize(std::min(name.size() - 5, name.find('@')));
            names.push_back(name);
        }
    }
    closedir(d);
    if (names.empty()) {
        *err = "no YANG module in " + dir;
        return -1;
    }
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        if (ly_ctx_load_module(schema->ctx_p, name.c_str(), nullptr, nullptr) == nullptr) {
            *err = "cannot load module " + name + ": " + cli_schema_error(schema);
            return -1;
        }
        schema->modules.push_back(name);
    }
    for (const std::string &name : schema->modules) {
        const lys_module *mod = ly_ctx_get_module_implemented(schema->ctx_p, name.c_str());
        if (mod == nullptr || mod->compiled == nullptr) {
            continue;
        }
        lysc_module_dfs_full(
            mod,
            [](lysc_node *snode, void *data, ly_bool *) {
                if (const char *cp = cli_schema_ext(snode, "callpoint")) {
                    static_cast<t_cli_schema *>(data)->callpoints.emplace(cp, snode);
                }
                return LY_SUCCESS;
            },
            schema);
    }
    return 0;
}

void cli_schema_free(t_cli_schema *schema)
{
    if (schema->ctx_p != nullptr) {
        ly_ctx_destroy(schema->ctx_p);
        schema->ctx_p = nullptr;
    }
    schema->modules.clear();
    schema->callpoints.clear();
}

const char *cli_schema_ext(const lysc_node *snode, const char *name)
{
    LY_ARRAY_COUNT_TYPE i;
    LY_ARRAY_FOR(snode->exts, i)
    {
        const lysc_ext_instance &ext = snode->exts[i];
        if (strcmp(ext.def->module->name, CLI_EXT_MODULE) == 0 &&
            strcmp(ext.def->name, name) == 0) {
            return ext.argument;
        }
    }
    return nullptr;
}

std::vector<const lysc_node *> cli_schema_children(const t_cli_schema *schema,
                                                   const lysc_node *parent)
{
    std::vector<const lysc_node *> out;
    if (parent != nullptr) {
        if ((parent->nodetype & (LYS_CONTAINER | LYS_LIST)) == 0) {
            return out;
        }
        const lysc_node *n = nullptr;
        while ((n = lys_getnext(n, parent, nullptr, 0)) != nullptr) {
            if ((n->nodetype & LYS_NOTIF) == 0) {
                out.push_back(n);
            }
        }
        return out;
    }
    for (const std::string &name : schema->modules) {
        const lys_module *mod = ly_ctx_get_module_implemented(schema->ctx_p, name.c_str());
        if (mod == nullptr || mod->compiled == nullptr) {
            continue;
        }
        const lysc_node *n = nullptr;
        while ((n = lys_getnext(n, nullptr, mod->compiled, 0)) != nullptr) {
            if ((n->nodetype & LYS_NOTIF) == 0) {
                out.push_back(n);
            }
        }
    }
    return out;
}

std::vector<const lysc_node *> cli_schema_inputs(const lysc_node *action)
{
    std::vector<const lysc_node *> out;
    if ((action->nodetype & (LYS_RPC | LYS_ACTION)) == 0) {
        return out;
    }
    const auto *act = reinterpret_cast<const lysc_node_action *>(action);
    const lysc_node *n = nullptr;
    while ((n = lys_getnext(n, &act->input.node, nullptr, 0)) != nullptr) {
        out.push_back(n);
    }
    return out;
}

std::vector<const lysc_node *> cli_schema_keys(const lysc_node *list)
{
    std::vector<const lysc_node *> out;
    if (list == nullptr || list->nodetype != LYS_LIST) {
        return out;
    }
    const lysc_node *child;
    LY_LIST_FOR(lysc_node_child(list), child)
    {
        if (lysc_is_key(child)) {
            out.push_back(child);
        }
    }
    return out;
}

bool cli_schema_is_config(const lysc_node *snode)
{
    return (snode->nodetype & (LYS_RPC | LYS_ACTION | LYS_NOTIF)) == 0 &&
           (snode->flags & LYS_CONFIG_W) != 0;
}

bool cli_schema_has_action(const t_cli_schema *schema, const lysc_node *snode)
{
    return cli_schema_any_below(schema, snode, [](const lysc_node *n) {
        return (n->nodetype & (LYS_RPC | LYS_ACTION)) != 0;
    });
}

bool cli_schema_has_state(const t_cli_schema *schema, const lysc_node *snode)
{
    return cli_schema_any_below(schema, snode, [](const lysc_node *n) {
        return (n->nodetype & (LYS_RPC | LYS_ACTION)) == 0 && (n->flags & LYS_CONFIG_R) != 0;
    });
}

std::string cli_schema_help(const lysc_node *snode)
{
    if (snode->dsc == nullptr) {
        return "";
    }
    std::string text = snode->dsc;
    // One line: descriptions wrap in the schema, help shows them folded.
    std::string out;
    bool space = false;
    for (char c : text) {
        if (c == '\n' || c == ' ' || c == '\t') {
            space = !out.empty();
            continue;
        }
        if (space) {
            out += ' ';
            space = false;
        }
        out += c;
    }
    return out;
}

std::string cli_schema_value_hint(const lysc_node *leaf)
{
    if ((leaf->nodetype & (LYS_LEAF | LYS_LEAFLIST)) == 0) {
        return "";
    }
    const lysc_type *type = reinterpret_cast<const lysc_node_leaf *>(leaf)->type;
    std::string name = "value";
    if (leaf->priv != nullptr) {
        const auto *pleaf = static_cast<const lysp_node_leaf *>(leaf->priv);
        if (pleaf->type.name != nullptr) {
            name = pleaf->type.name;
            if (size_t colon = name.find(':'); colon != std::string::npos) {
                name.erase(0, colon + 1);
            }
        }
    }
    std::string extra;
    switch (type->basetype) {
    case LY_TYPE_INT8:
    case LY_TYPE_INT16:
    case LY_TYPE_INT32:
    case LY_TYPE_INT64:
    case LY_TYPE_UINT8:
    case LY_TYPE_UINT16:
    case LY_TYPE_UINT32:
    case LY_TYPE_UINT64: {
        const auto *num = reinterpret_cast<const lysc_type_num *>(type);
        if (num->range != nullptr) {
            extra = cli_schema_range_text(num->range, type->basetype <= LY_TYPE_INT64 &&
                                                          type->basetype >= LY_TYPE_INT8);
        }
        break;
    }
    case LY_TYPE_STRING: {
        const auto *str = reinterpret_cast<const lysc_type_str *>(type);
        if (str->length != nullptr) {
            extra = cli_schema_range_text(str->length, false) + " chars";
        }
        break;
    }
    default:
        break;
    }
    std::string out = "<" + name;
    if (!extra.empty()) {
        out += " " + extra;
    }
    const char *units = reinterpret_cast<const lysc_node_leaf *>(leaf)->units;
    if (units != nullptr) {
        out += std::string(" ") + units;
    }
    return out + ">";
}

std::vector<std::string> cli_schema_value_words(const lysc_node *leaf)
{
    std::vector<std::string> out;
    if ((leaf->nodetype & (LYS_LEAF | LYS_LEAFLIST)) == 0) {
        return out;
    }
    const lysc_type *type = reinterpret_cast<const lysc_node_leaf *>(leaf)->type;
    if (type->basetype == LY_TYPE_BOOL) {
        out = {"true", "false"};
    } else if (type->basetype == LY_TYPE_ENUM) {
        const auto *en = reinterpret_cast<const lysc_type_enum *>(type);
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(en->enums, i)
        {
            out.push_back(en->enums[i].name);
        }
    }
    return out;
}

bool cli_schema_check_value(const t_cli_schema *schema, const lysc_node *leaf,
                            const std::string &text, std::string *err)
{
    LY_ERR rc = lyd_value_validate(schema->ctx_p, leaf, text.c_str(), text.size(), nullptr, nullptr,
                                   nullptr);
    // Incomplete: a reference to other data, which only the agent can check.
    if (rc == LY_SUCCESS || rc == LY_EINCOMPLETE) {
        return true;
    }
    std::string why = cli_schema_error(schema);
    if (why.find("range") != std::string::npos || why.find("min/max") != std::string::npos) {
        *err = "value '" + text + "' out of range, expected " + cli_schema_value_hint(leaf);
    } else {
        *err = "bad value '" + text + "', expected " + cli_schema_value_hint(leaf);
        std::vector<std::string> words = cli_schema_value_words(leaf);
        if (!words.empty()) {
            std::string list;
            for (const std::string &w : words) {
                list += (list.empty() ? "" : ", ") + w;
            }
            *err += " (one of " + list + ")";
        }
    }
    return false;
}

std::string cli_schema_enum_name(const lysc_node *leaf, int64_t value)
{
    if (leaf != nullptr && (leaf->nodetype & (LYS_LEAF | LYS_LEAFLIST)) != 0) {
        const lysc_type *type = reinterpret_cast<const lysc_node_leaf *>(leaf)->type;
        if (type->basetype == LY_TYPE_ENUM) {
            const auto *en = reinterpret_cast<const lysc_type_enum *>(type);
            LY_ARRAY_COUNT_TYPE i;
            LY_ARRAY_FOR(en->enums, i)
            {
                if (en->enums[i].value == value) {
                    return en->enums[i].name;
                }
            }
        }
    }
    return std::to_string(value);
}

std::string cli_schema_bits_names(const lysc_node *leaf, uint64_t bits)
{
    if (leaf != nullptr && (leaf->nodetype & (LYS_LEAF | LYS_LEAFLIST)) != 0) {
        const lysc_type *type = reinterpret_cast<const lysc_node_leaf *>(leaf)->type;
        if (type->basetype == LY_TYPE_BITS) {
            const auto *bt = reinterpret_cast<const lysc_type_bits *>(type);
            std::string out;
            uint64_t named = 0;
            LY_ARRAY_COUNT_TYPE i;
            LY_ARRAY_FOR(bt->bits, i)
            {
                uint32_t pos = bt->bits[i].position;
                if (pos < 64 && (bits & (uint64_t{1} << pos)) != 0) {
                    out += (out.empty() ? "" : " ") + std::string(bt->bits[i].name);
                    named |= uint64_t{1} << pos;
                }
            }
            if (named == bits) {
                return out;
            }
        }
    }
    return std::to_string(bits);
}

uint32_t cli_schema_tag(const lysc_node *snode)
{
    if (const char *tag = cli_schema_ext(snode, "tag")) {
        return static_cast<uint32_t>(strtoul(tag, nullptr, 0));
    }
    return zconfd_tag(snode->name);
}

std::string cli_schema_error(const t_cli_schema *schema)
{
    const char *msg = ly_errmsg(schema->ctx_p);
    return msg != nullptr ? msg : "unknown error";
}
