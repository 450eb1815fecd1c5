#include "tools/kemcli/cli_parse.h"

#include <libyang/libyang.h>

#include <algorithm>

namespace
{

enum e_cli_expect : uint8_t {
    CLI_EXPECT_CHILD = 0,
    CLI_EXPECT_KEY = 1,
    CLI_EXPECT_VALUE = 2,
    CLI_EXPECT_PARAM = 3,
    CLI_EXPECT_PARAM_VALUE = 4,
    CLI_EXPECT_NOTHING = 5,
};

struct t_cli_walker {
    const t_cli_schema *schema_p = nullptr;
    e_cli_walk kind = CLI_WALK_CONFIG;
    t_cli_path *path_p = nullptr;
    e_cli_expect expect = CLI_EXPECT_CHILD;
    std::vector<const lysc_node *> keys; // of the list being keyed
    size_t key_index = 0;
    const lysc_node *param_p = nullptr;
};

bool cli_walk_visible(const t_cli_schema *schema, e_cli_walk kind, const lysc_node *snode)
{
    bool action = (snode->nodetype & (LYS_RPC | LYS_ACTION)) != 0;
    switch (kind) {
    case CLI_WALK_CONFIG:
        return cli_schema_is_config(snode);
    case CLI_WALK_DATA:
        return !action;
    case CLI_WALK_ACTION:
        return action || cli_schema_has_action(schema, snode);
    }
    return false;
}

std::vector<const lysc_node *> cli_walk_children(const t_cli_walker &w)
{
    std::vector<const lysc_node *> out;
    for (const lysc_node *n : cli_schema_children(w.schema_p, w.path_p->node_p)) {
        if (cli_walk_visible(w.schema_p, w.kind, n)) {
            out.push_back(n);
        }
    }
    return out;
}

std::string cli_walk_where(const t_cli_path &path)
{
    return path.words.empty() ? "" : path.words + ": ";
}

void cli_walk_enter(t_cli_walker *w, const lysc_node *child)
{
    t_cli_path *p = w->path_p;
    const lysc_node *parent = p->node_p;
    p->xpath += "/";
    if (parent == nullptr || parent->module != child->module) {
        p->xpath += std::string(child->module->name) + ":";
    }
    p->xpath += child->name;
    p->words += (p->words.empty() ? "" : " ") + std::string(child->name);
    p->node_p = child;
    if (child->nodetype == LYS_LIST) {
        w->keys = cli_schema_keys(child);
        w->key_index = 0;
        w->expect = w->keys.empty() ? CLI_EXPECT_CHILD : CLI_EXPECT_KEY;
        if (!w->keys.empty()) {
            p->keys_missing = true;
            p->missing_key = w->keys[0]->name;
        }
    } else if ((child->nodetype & (LYS_LEAF | LYS_LEAFLIST)) != 0) {
        w->expect = w->kind == CLI_WALK_CONFIG ? CLI_EXPECT_VALUE : CLI_EXPECT_NOTHING;
    } else if ((child->nodetype & (LYS_RPC | LYS_ACTION)) != 0) {
        w->expect = CLI_EXPECT_PARAM;
    } else {
        w->expect = CLI_EXPECT_CHILD;
    }
}

bool cli_walk_step(t_cli_walker *w, const std::string &word, std::string *err)
{
    t_cli_path *p = w->path_p;
    switch (w->expect) {
    case CLI_EXPECT_CHILD: {
        for (const lysc_node *child : cli_walk_children(*w)) {
            if (word == child->name) {
                cli_walk_enter(w, child);
                return true;
            }
        }
        *err = cli_walk_where(*p) + "unknown element '" + word + "'";
        return false;
    }
    case CLI_EXPECT_KEY: {
        const lysc_node *key = w->keys[w->key_index];
        std::string why;
        if (!cli_schema_check_value(w->schema_p, key, word, &why)) {
            *err = cli_walk_where(*p) + "key " + key->name + ": " + why;
            return false;
        }
        p->xpath += "[" + std::string(key->name) + "=" + cli_xpath_quote(word) + "]";
        p->words += " " + cli_quote(word);
        w->key_index++;
        if (w->key_index == w->keys.size()) {
            p->keys_missing = false;
            p->missing_key.clear();
            w->expect = CLI_EXPECT_CHILD;
        } else {
            p->missing_key = w->keys[w->key_index]->name;
        }
        return true;
    }
    case CLI_EXPECT_VALUE: {
        std::string why;
        if (!cli_schema_check_value(w->schema_p, p->node_p, word, &why)) {
            *err = cli_walk_where(*p) + why;
            return false;
        }
        p->has_value = true;
        p->value = word;
        w->expect = CLI_EXPECT_NOTHING;
        return true;
    }
    case CLI_EXPECT_PARAM: {
        for (const lysc_node *in : cli_schema_inputs(p->node_p)) {
            if (word != in->name) {
                continue;
            }
            w->param_p = in;
            const lysc_type *type = reinterpret_cast<const lysc_node_leaf *>(in)->type;
            if ((in->nodetype & (LYS_LEAF | LYS_LEAFLIST)) == 0) {
                *err = cli_walk_where(*p) + "parameter " + word + " takes no value here";
                return false;
            }
            if (type->basetype == LY_TYPE_EMPTY) {
                p->params.push_back({in, ""});
            } else {
                w->expect = CLI_EXPECT_PARAM_VALUE;
            }
            return true;
        }
        *err = cli_walk_where(*p) + "unknown parameter '" + word + "'";
        return false;
    }
    case CLI_EXPECT_PARAM_VALUE: {
        std::string why;
        if (!cli_schema_check_value(w->schema_p, w->param_p, word, &why)) {
            *err = cli_walk_where(*p) + "parameter " + w->param_p->name + ": " + why;
            return false;
        }
        p->params.push_back({w->param_p, word});
        w->expect = CLI_EXPECT_PARAM;
        return true;
    }
    case CLI_EXPECT_NOTHING:
        break;
    }
    *err = cli_walk_where(*p) + "unexpected word '" + word + "'";
    return false;
}

bool cli_walk_run(t_cli_walker *w, const std::vector<std::string> &words, size_t start,
                  std::string *err)
{
    for (size_t i = start; i < words.size(); i++) {
        bool was_param = w->expect == CLI_EXPECT_PARAM || w->expect == CLI_EXPECT_PARAM_VALUE;
        if (!cli_walk_step(w, words[i], err)) {
            return false;
        }
        if (!was_param && w->expect == CLI_EXPECT_PARAM) {
            w->path_p->params_start = i + 1;
        }
    }
    return true;
}

void cli_choices_for_value(const lysc_node *leaf, std::vector<t_cli_choice> *out)
{
    std::vector<std::string> words = cli_schema_value_words(leaf);
    for (const std::string &w : words) {
        out->push_back({w, cli_schema_help(leaf), true});
    }
    if (words.empty()) {
        out->push_back({cli_schema_value_hint(leaf), cli_schema_help(leaf), false});
    }
}

} // namespace

bool cli_tokenize(const std::string &line, std::vector<std::string> *words, std::string *err,
                  bool *open_quote)
{
    words->clear();
    // libyang's dictionary hashes values by their length but releases them by
    // strlen: a NUL inside a value would release another string.
    if (line.find('\0') != std::string::npos) {
        *err = "NUL character in the line";
        return false;
    }
    std::string cur;
    bool in_word = false;
    char quote = 0;
    for (size_t i = 0; i < line.size(); i++) {
        char c = line[i];
        if (c == '\\') {
            if (i + 1 == line.size()) {
                *err = "trailing backslash";
                return false;
            }
            cur += line[++i];
            in_word = true;
        } else if (quote != 0) {
            if (c == quote) {
                quote = 0;
            } else {
                cur += c;
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
            in_word = true;
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (in_word) {
                words->push_back(cur);
                cur.clear();
                in_word = false;
            }
        } else {
            cur += c;
            in_word = true;
        }
    }
    if (open_quote != nullptr) {
        *open_quote = quote != 0;
    }
    if (quote != 0) {
        *err = "unterminated quote";
        words->push_back(cur);
        return false;
    }
    if (in_word) {
        words->push_back(cur);
    }
    return true;
}

std::string cli_quote(const std::string &word)
{
    bool plain = !word.empty() && word.find_first_of(" \t\n\r\"'\\") == std::string::npos;
    if (plain) {
        return word;
    }
    std::string out = "\"";
    for (char c : word) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

std::string cli_xpath_quote(const std::string &value)
{
    if (value.find('\'') == std::string::npos) {
        return "'" + value + "'";
    }
    return "\"" + value + "\"";
}

bool cli_path_walk(const t_cli_schema *schema, e_cli_walk kind,
                   const std::vector<std::string> &words, size_t start, t_cli_path *path,
                   std::string *err)
{
    *path = t_cli_path{};
    t_cli_walker w;
    w.schema_p = schema;
    w.kind = kind;
    w.path_p = path;
    if (!cli_walk_run(&w, words, start, err)) {
        return false;
    }
    if (w.expect == CLI_EXPECT_PARAM_VALUE) {
        *err = cli_walk_where(*path) + "parameter " + w.param_p->name + ": missing value";
        return false;
    }
    return true;
}

std::vector<t_cli_choice> cli_path_choices(const t_cli_schema *schema, e_cli_walk kind,
                                           const std::vector<std::string> &words, size_t start,
                                           const f_cli_key_lookup &keys)
{
    std::vector<t_cli_choice> out;
    t_cli_path path;
    t_cli_walker w;
    w.schema_p = schema;
    w.kind = kind;
    w.path_p = &path;
    std::string err;
    if (!cli_walk_run(&w, words, start, &err)) {
        return out;
    }
    switch (w.expect) {
    case CLI_EXPECT_CHILD:
        for (const lysc_node *child : cli_walk_children(w)) {
            out.push_back({child->name, cli_schema_help(child), true});
        }
        break;
    case CLI_EXPECT_KEY: {
        const lysc_node *key = w.keys[w.key_index];
        if (keys) {
            for (const std::string &k : keys(path.node_p, path.xpath, w.key_index)) {
                out.push_back({k, "existing " + std::string(key->name), true});
            }
        }
        out.push_back({"<" + std::string(key->name) + ">",
                       cli_schema_value_hint(key) + " " + cli_schema_help(key), false});
        break;
    }
    case CLI_EXPECT_VALUE:
        cli_choices_for_value(path.node_p, &out);
        break;
    case CLI_EXPECT_PARAM:
        for (const lysc_node *in : cli_schema_inputs(path.node_p)) {
            bool given = std::any_of(path.params.begin(), path.params.end(),
                                     [&](const t_cli_param &p) { return p.leaf_p == in; });
            if (!given || in->nodetype == LYS_LEAFLIST) {
                out.push_back({in->name, cli_schema_help(in), true});
            }
        }
        break;
    case CLI_EXPECT_PARAM_VALUE:
        cli_choices_for_value(w.param_p, &out);
        break;
    case CLI_EXPECT_NOTHING:
        break;
    }
    return out;
}
