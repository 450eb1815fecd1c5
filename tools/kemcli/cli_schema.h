// The CLI's view of the schema: the YANG modules of the agent's directory,
// loaded into a libyang context. Every command, completion, help text, table
// column and JSON rendering is derived from it, so a new table, action or
// notification in the schema needs no code here.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct ly_ctx;
struct lysc_node;

struct t_cli_schema {
    ly_ctx *ctx_p = nullptr;
    // Modules loaded from the directory; their top-level nodes are the CLI's roots.
    std::vector<std::string> modules;
    // Data callpoint name to the list or container that carries it.
    std::map<std::string, const lysc_node *> callpoints;
};

// Loads every *.yang module of dir. 0 on success; the reason in err otherwise.
int cli_schema_load(t_cli_schema *schema, const std::string &dir, std::string *err);
void cli_schema_free(t_cli_schema *schema);

// Argument of one of the agent's extensions on a node, nullptr when absent.
const char *cli_schema_ext(const lysc_node *snode, const char *name);

// What the CLI may walk into below parent (nullptr: the roots): data nodes,
// actions and rpcs, in schema order. Choices and cases are transparent.
std::vector<const lysc_node *> cli_schema_children(const t_cli_schema *schema,
                                                   const lysc_node *parent);
// Input parameters of an action or rpc.
std::vector<const lysc_node *> cli_schema_inputs(const lysc_node *action);
// Key leaves of a list, in key order.
std::vector<const lysc_node *> cli_schema_keys(const lysc_node *list);

bool cli_schema_is_config(const lysc_node *snode);
// Whether an action or rpc sits at or below snode.
bool cli_schema_has_action(const t_cli_schema *schema, const lysc_node *snode);
// Whether a config false node sits at or below snode.
bool cli_schema_has_state(const t_cli_schema *schema, const lysc_node *snode);

// First line of the node's description, for help and completion.
std::string cli_schema_help(const lysc_node *snode);
// A placeholder naming the expected value of a leaf, e.g. "<uint16 1..max>".
std::string cli_schema_value_hint(const lysc_node *leaf);
// The words a leaf accepts when they are few (enumeration names, true/false).
std::vector<std::string> cli_schema_value_words(const lysc_node *leaf);

// Checks text as a value of leaf. False with the reason (unknown enumeration,
// out of range, malformed) in err.
bool cli_schema_check_value(const t_cli_schema *schema, const lysc_node *leaf,
                            const std::string &text, std::string *err);

// Text of an enumeration value or of a bit set, by the leaf's type; numbers
// when the type has no such name.
std::string cli_schema_enum_name(const lysc_node *leaf, int64_t value);
std::string cli_schema_bits_names(const lysc_node *leaf, uint64_t bits);

// The tag daemons use for a node: the schema's override or the name's hash.
uint32_t cli_schema_tag(const lysc_node *snode);

// Last libyang error of the context.
std::string cli_schema_error(const t_cli_schema *schema);
