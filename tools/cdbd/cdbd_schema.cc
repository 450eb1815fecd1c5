#include "tools/cdbd/cdbd_schema.h"

#include <dirent.h>
#include <libyang/libyang.h>
#include <libyang/plugins_types.h>

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

namespace
{

constexpr const char *CDBD_EXT_MODULE = "kem-cdb";

const char *cdbd_ext_arg(const lysc_node *snode, const char *ext_name)
{
    LY_ARRAY_COUNT_TYPE i;
    LY_ARRAY_FOR(snode->exts, i)
    {
        const lysc_ext_instance &ext = snode->exts[i];
        if (strcmp(ext.def->module->name, CDBD_EXT_MODULE) == 0 &&
            strcmp(ext.def->name, ext_name) == 0) {
            return ext.argument;
        }
    }
    return nullptr;
}

void cdbd_schema_index_node(t_cdbd_schema *schema, const lysc_node *snode)
{
    schema->tag_names.emplace(cdbd_schema_tag(snode), snode->name);
    if (const char *cp = cdbd_ext_arg(snode, "callpoint")) {
        schema->callpoints.emplace(cp, snode);
    }
    if (const char *ap = cdbd_ext_arg(snode, "actionpoint")) {
        schema->actionpoints.emplace(ap, snode);
    }
}

LY_ERR cdbd_schema_index_cb(lysc_node *snode, void *data, ly_bool *)
{
    cdbd_schema_index_node(static_cast<t_cdbd_schema *>(data), snode);
    return LY_SUCCESS;
}

// The value of a term, with unions resolved to the member that matched.
const lyd_value *cdbd_term_value(const lyd_node *node)
{
    const lyd_value *v = &reinterpret_cast<const lyd_node_term *>(node)->value;
    while (v->realtype->basetype == LY_TYPE_UNION && v->subvalue != nullptr) {
        v = &v->subvalue->value;
    }
    return v;
}

bool cdbd_plugin_is(const lysc_type *type, const char *what)
{
    return type->plugin != nullptr && type->plugin->id != nullptr &&
           strstr(type->plugin->id, what) != nullptr;
}

} // namespace

int cdbd_schema_load(t_cdbd_schema *schema, const std::string &dir, std::string *err)
{
    // Errors are kept for the operator's answer, not printed.
    ly_log_options(LY_LOSTORE_LAST);
    if (ly_ctx_new(dir.c_str(), 0, &schema->ctx_p) != LY_SUCCESS) {
        *err = "cannot create the schema context for " + dir;
        return -1;
    }
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        *err = "cannot read " + dir;
        return -1;
    }
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".yang") == 0) {
            name.resize(name.size() - 5);
            if (size_t at = name.find('@'); at != std::string::npos) {
                name.resize(at);
            }
            names.push_back(name);
        }
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        if (ly_ctx_load_module(schema->ctx_p, name.c_str(), nullptr, nullptr) == nullptr) {
            *err = "cannot load module " + name + ": " + cdbd_schema_error(schema);
            return -1;
        }
    }
    uint32_t idx = 0;
    while (const lys_module *mod = ly_ctx_get_module_iter(schema->ctx_p, &idx)) {
        if (!mod->implemented || mod->compiled == nullptr) {
            continue;
        }
        lysc_module_dfs_full(mod, cdbd_schema_index_cb, schema);
    }
    return 0;
}

void cdbd_schema_free(t_cdbd_schema *schema)
{
    if (schema->ctx_p != nullptr) {
        ly_ctx_destroy(schema->ctx_p);
        schema->ctx_p = nullptr;
    }
    schema->tag_names.clear();
    schema->callpoints.clear();
    schema->actionpoints.clear();
}

uint32_t cdbd_schema_tag(const lysc_node *snode)
{
    if (const char *tag = cdbd_ext_arg(snode, "tag")) {
        return static_cast<uint32_t>(strtoul(tag, nullptr, 0));
    }
    return zconfd_tag(snode->name);
}

const char *cdbd_schema_tag_name(const t_cdbd_schema *schema, uint32_t tag)
{
    auto it = schema->tag_names.find(tag);
    return it == schema->tag_names.end() ? nullptr : it->second.c_str();
}

t_cdbd_val cdbd_val_marker(const lysc_node *snode, e_zconfd_vtype type)
{
    t_cdbd_val val;
    val.tag = cdbd_schema_tag(snode);
    val.type = type;
    return val;
}

t_cdbd_val cdbd_val_of_term(const lyd_node *node)
{
    t_cdbd_val val;
    val.tag = cdbd_schema_tag(node->schema);
    const lyd_value *v = cdbd_term_value(node);
    const lysc_type *type = v->realtype;
    switch (type->basetype) {
    case LY_TYPE_BOOL:
        val.type = ZCONFD_VT_BOOL;
        val.b = v->boolean != 0;
        break;
    case LY_TYPE_EMPTY:
        val.type = ZCONFD_VT_BOOL;
        val.b = true;
        break;
    case LY_TYPE_INT8:
        val.type = ZCONFD_VT_INT;
        val.i = v->int8;
        break;
    case LY_TYPE_INT16:
        val.type = ZCONFD_VT_INT;
        val.i = v->int16;
        break;
    case LY_TYPE_INT32:
        val.type = ZCONFD_VT_INT;
        val.i = v->int32;
        break;
    case LY_TYPE_INT64:
        val.type = ZCONFD_VT_INT;
        val.i = v->int64;
        break;
    case LY_TYPE_UINT8:
        val.type = ZCONFD_VT_UINT8;
        val.u = v->uint8;
        break;
    case LY_TYPE_UINT16:
        val.type = ZCONFD_VT_UINT16;
        val.u = v->uint16;
        break;
    case LY_TYPE_UINT32:
        val.type = ZCONFD_VT_UINT32;
        val.u = v->uint32;
        break;
    case LY_TYPE_UINT64:
        val.type = ZCONFD_VT_UINT64;
        val.u = v->uint64;
        break;
    case LY_TYPE_ENUM:
        val.type = ZCONFD_VT_ENUM;
        val.i = v->enum_item->value;
        break;
    case LY_TYPE_BITS: {
        val.type = ZCONFD_VT_BITS;
        const auto *bits =
            static_cast<const lyd_value_bits *>(sizeof(lyd_value_bits) > LYD_VALUE_FIXED_MEM_SIZE
                                                    ? v->dyn_mem
                                                    : static_cast<const void *>(v->fixed_mem));
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(bits->items, i)
        {
            if (bits->items[i]->position < 64) {
                val.u |= uint64_t{1} << bits->items[i]->position;
            }
        }
        break;
    }
    case LY_TYPE_DEC64:
        val.type = ZCONFD_VT_DECIMAL;
        val.s = lyd_get_value(node);
        break;
    case LY_TYPE_BINARY:
        val.type = ZCONFD_VT_BUF;
        val.s = lyd_get_value(node);
        break;
    default:
        if (cdbd_plugin_is(type, "ipv4-address")) {
            val.type = ZCONFD_VT_IPV4;
        } else if (cdbd_plugin_is(type, "ipv6-address")) {
            val.type = ZCONFD_VT_IPV6;
        } else if (cdbd_plugin_is(type, "ipv4-prefix")) {
            val.type = ZCONFD_VT_IPV4PREFIX;
        } else if (cdbd_plugin_is(type, "ipv6-prefix")) {
            val.type = ZCONFD_VT_IPV6PREFIX;
        } else {
            val.type = ZCONFD_VT_STR;
        }
        val.s = lyd_get_value(node);
        break;
    }
    return val;
}

bool cdbd_val_from_text(const t_cdbd_schema *schema, const lysc_node *leaf, const std::string &text,
                        t_cdbd_val *val, std::string *err)
{
    if (leaf == nullptr || (leaf->nodetype & (LYS_LEAF | LYS_LEAFLIST)) == 0) {
        *err = "not a leaf";
        return false;
    }
    const lysc_type *type = nullptr;
    const char *canon = nullptr;
    LY_ERR rc =
        lyd_value_validate(schema->ctx_p, leaf, text.c_str(), text.size(), nullptr, &type, &canon);
    if (rc != LY_SUCCESS && rc != LY_EINCOMPLETE) {
        *err =
            "invalid value \"" + text + "\" for " + leaf->name + ": " + cdbd_schema_error(schema);
        return false;
    }
    std::string canonical = canon != nullptr ? canon : text;
    lydict_remove(schema->ctx_p, canon);
    if (type == nullptr) {
        type = reinterpret_cast<const lysc_node_leaf *>(leaf)->type;
    }
    *val = t_cdbd_val{};
    val->tag = cdbd_schema_tag(leaf);
    const char *c = canonical.c_str();
    switch (type->basetype) {
    case LY_TYPE_BOOL:
        val->type = ZCONFD_VT_BOOL;
        val->b = canonical == "true";
        return true;
    case LY_TYPE_EMPTY:
        val->type = ZCONFD_VT_BOOL;
        val->b = true;
        return true;
    case LY_TYPE_INT8:
    case LY_TYPE_INT16:
    case LY_TYPE_INT32:
    case LY_TYPE_INT64:
        val->type = ZCONFD_VT_INT;
        val->i = strtoll(c, nullptr, 10);
        return true;
    case LY_TYPE_UINT8:
        val->type = ZCONFD_VT_UINT8;
        break;
    case LY_TYPE_UINT16:
        val->type = ZCONFD_VT_UINT16;
        break;
    case LY_TYPE_UINT32:
        val->type = ZCONFD_VT_UINT32;
        break;
    case LY_TYPE_UINT64:
        val->type = ZCONFD_VT_UINT64;
        break;
    case LY_TYPE_ENUM: {
        val->type = ZCONFD_VT_ENUM;
        const auto *etype = reinterpret_cast<const lysc_type_enum *>(type);
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(etype->enums, i)
        {
            if (canonical == etype->enums[i].name) {
                val->i = etype->enums[i].value;
            }
        }
        return true;
    }
    case LY_TYPE_BITS: {
        val->type = ZCONFD_VT_BITS;
        const auto *btype = reinterpret_cast<const lysc_type_bits *>(type);
        std::string word;
        for (size_t pos = 0; pos <= canonical.size(); pos++) {
            if (pos < canonical.size() && canonical[pos] != ' ') {
                word += canonical[pos];
                continue;
            }
            LY_ARRAY_COUNT_TYPE i;
            LY_ARRAY_FOR(btype->bits, i)
            {
                if (word == btype->bits[i].name && btype->bits[i].position < 64) {
                    val->u |= uint64_t{1} << btype->bits[i].position;
                }
            }
            word.clear();
        }
        return true;
    }
    case LY_TYPE_DEC64:
        val->type = ZCONFD_VT_DECIMAL;
        val->s = canonical;
        return true;
    default:
        if (cdbd_plugin_is(type, "ipv4-address")) {
            val->type = ZCONFD_VT_IPV4;
        } else if (cdbd_plugin_is(type, "ipv6-address")) {
            val->type = ZCONFD_VT_IPV6;
        } else if (cdbd_plugin_is(type, "ipv4-prefix")) {
            val->type = ZCONFD_VT_IPV4PREFIX;
        } else if (cdbd_plugin_is(type, "ipv6-prefix")) {
            val->type = ZCONFD_VT_IPV6PREFIX;
        } else {
            val->type = ZCONFD_VT_STR;
        }
        val->s = canonical;
        return true;
    }
    val->u = strtoull(c, nullptr, 10);
    return true;
}

std::string cdbd_val_text(const t_cdbd_val &val)
{
    char buf[64];
    switch (val.type) {
    case ZCONFD_VT_XMLBEGIN:
        return "<begin>";
    case ZCONFD_VT_XMLEND:
        return "<end>";
    case ZCONFD_VT_NOEXISTS:
        return "<noexists>";
    case ZCONFD_VT_BOOL:
        return val.b ? "true" : "false";
    case ZCONFD_VT_INT:
    case ZCONFD_VT_ENUM:
        snprintf(buf, sizeof(buf), "%" PRId64, val.i);
        return buf;
    case ZCONFD_VT_UINT8:
    case ZCONFD_VT_UINT16:
    case ZCONFD_VT_UINT32:
    case ZCONFD_VT_UINT64:
    case ZCONFD_VT_BITS:
        snprintf(buf, sizeof(buf), "%" PRIu64, val.u);
        return buf;
    default:
        return val.s;
    }
}

void cdbd_val_to_pb(const t_cdbd_val &val, Cdb__Value *pb)
{
    cdb__value__init(pb);
    pb->tag = val.tag;
    pb->type = static_cast<Cdb__ValueType>(val.type);
    switch (val.type) {
    case ZCONFD_VT_BOOL:
        pb->has_b = true;
        pb->b = val.b;
        break;
    case ZCONFD_VT_INT:
    case ZCONFD_VT_ENUM:
        pb->has_i = true;
        pb->i = val.i;
        break;
    case ZCONFD_VT_UINT8:
    case ZCONFD_VT_UINT16:
    case ZCONFD_VT_UINT32:
    case ZCONFD_VT_UINT64:
    case ZCONFD_VT_BITS:
        pb->has_u = true;
        pb->u = val.u;
        break;
    case ZCONFD_VT_XMLBEGIN:
    case ZCONFD_VT_XMLEND:
    case ZCONFD_VT_NOEXISTS:
        break;
    default:
        pb->s = const_cast<char *>(val.s.c_str());
        break;
    }
}

bool cdbd_val_from_pb(const Cdb__Value *pb, t_cdbd_val *val)
{
    t_zconfd_value check;
    if (!zconfd_pb_to_value(pb, &check)) {
        return false;
    }
    *val = t_cdbd_val{};
    val->tag = pb->tag;
    val->type = check.type;
    val->b = pb->b;
    val->i = pb->i;
    val->u = pb->u;
    if (pb->s != nullptr) {
        val->s = pb->s;
    }
    return true;
}

std::string cdbd_schema_error(const t_cdbd_schema *schema)
{
    const ly_err_item *e = ly_err_last(schema->ctx_p);
    if (e == nullptr || e->msg == nullptr) {
        return "unknown error";
    }
    std::string text = e->msg;
    if (e->path != nullptr) {
        text += std::string(" (") + e->path + ")";
    }
    return text;
}
