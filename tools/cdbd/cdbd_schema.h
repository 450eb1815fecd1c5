// The agent's view of the schema: the libyang context over the YANG directory,
// node tags, and conversions between data nodes and tagged values.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "zconfd/zconfd_pb.h"
#include "zconfd/zconfd_value.h"

struct ly_ctx;
struct lysc_node;
struct lyd_node;

// A tagged value owned by the agent (texts included).
struct t_cdbd_val {
    uint32_t tag = 0;
    uint8_t type = ZCONFD_VT_NONE; // e_zconfd_vtype
    bool b = false;
    int64_t i = 0;
    uint64_t u = 0;
    std::string s;
};

struct t_cdbd_schema {
    ly_ctx *ctx_p = nullptr;
    // Tag to node name, over every node of every loaded module.
    std::unordered_map<uint32_t, std::string> tag_names;
    // Callpoint and actionpoint names to the schema nodes carrying them.
    std::unordered_map<std::string, const lysc_node *> callpoints;
    std::unordered_map<std::string, const lysc_node *> actionpoints;
};

// Loads every *.yang module of dir. 0 on success; the reason in err otherwise.
int cdbd_schema_load(t_cdbd_schema *schema, const std::string &dir, std::string *err);
void cdbd_schema_free(t_cdbd_schema *schema);

uint32_t cdbd_schema_tag(const lysc_node *snode);
const char *cdbd_schema_tag_name(const t_cdbd_schema *schema, uint32_t tag);

// Tagged value of a leaf or leaf-list data node.
t_cdbd_val cdbd_val_of_term(const lyd_node *node);
t_cdbd_val cdbd_val_marker(const lysc_node *snode, e_zconfd_vtype type);
// Types text for a leaf of the schema (keys and action parameters from the CLI).
// False with the reason in err when the text is not a valid value of the leaf.
bool cdbd_val_from_text(const t_cdbd_schema *schema, const lysc_node *leaf, const std::string &text,
                        t_cdbd_val *val, std::string *err);
std::string cdbd_val_text(const t_cdbd_val &val);

// Wire form, the texts pointing into the value.
void cdbd_val_to_pb(const t_cdbd_val &val, Cdb__Value *pb);
bool cdbd_val_from_pb(const Cdb__Value *pb, t_cdbd_val *val);

// Last libyang error of the context, for operators.
std::string cdbd_schema_error(const t_cdbd_schema *schema);
