// Command lines against the schema: splitting a line into words, walking the
// words through the schema (list keys follow the list name, a leaf's value
// follows the leaf), and the words that may come next, for completion and help.
// Pure: no agent, no terminal; the fuzzer drives it directly.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "tools/kemcli/cli_schema.h"

// Splits a line into words: blanks separate, single or double quotes group,
// a backslash escapes the next character. False with the reason on an
// unterminated quote or a trailing backslash. open_quote (may be nullptr)
// tells whether the last word is still inside a quote.
bool cli_tokenize(const std::string &line, std::vector<std::string> *words, std::string *err,
                  bool *open_quote = nullptr);
// A word quoted so that cli_tokenize gives it back unchanged.
std::string cli_quote(const std::string &word);

enum e_cli_walk : uint8_t {
    CLI_WALK_CONFIG = 0, // configuration nodes only (set, delete, show in configure)
    CLI_WALK_DATA = 1,   // any data node (show of state and running configuration)
    CLI_WALK_ACTION = 2, // data nodes leading to an action or rpc, then its parameters
};

struct t_cli_param {
    const lysc_node *leaf_p = nullptr;
    std::string value;
};

// Where a walk ended.
struct t_cli_path {
    const lysc_node *node_p = nullptr; // last node named; nullptr for the root
    std::string xpath;                 // "/kem-vpn:vpn/vpn-instance[vpn-id='1']/name"
    std::string words;                 // the words naming it, for messages
    bool keys_missing = false;         // a list was named without all its keys
    std::string missing_key;           // the first key not given
    bool has_value = false;            // a leaf's value followed it
    std::string value;
    std::vector<t_cli_param> params; // action parameters
    size_t params_start = 0;         // index of the word after the action's name
};

// Walks words[start..] from the root. Returns false with a message naming the
// path and the fault (unknown element, bad value, extra word) in err.
bool cli_path_walk(const t_cli_schema *schema, e_cli_walk kind,
                   const std::vector<std::string> &words, size_t start, t_cli_path *path,
                   std::string *err);

// One word that may come next.
struct t_cli_choice {
    std::string word; // literal, or a placeholder in angle brackets
    std::string help;
    bool literal = true;
};

// Existing keys of a list instance path ("/kem-vpn:vpn/vpn-instance"), for the
// key that comes next; the caller may ask the agent.
using f_cli_key_lookup = std::function<std::vector<std::string>(
    const lysc_node *list, const std::string &list_xpath, size_t key_index)>;

// The words that may follow words[start..] in a walk of the given kind.
std::vector<t_cli_choice> cli_path_choices(const t_cli_schema *schema, e_cli_walk kind,
                                           const std::vector<std::string> &words, size_t start,
                                           const f_cli_key_lookup &keys);

// Value of a key leaf quoted for an XPath predicate.
std::string cli_xpath_quote(const std::string &value);
