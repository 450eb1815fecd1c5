#include "tools/kemcli/cli_cmd.h"

#include <libyang/libyang.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <ctime>
#include <span>

#include "tools/kemcli/cli_cmd_util.h"
#include "tools/kemcli/cli_show.h"

volatile sig_atomic_t g_cli_interrupted = 0;

int cli_fail(t_cli_session *s, const std::string &what)
{
    fprintf(s->err_p, "Error: %s\n", what.c_str());
    return 1;
}

bool cli_connect(t_cli_session *s, std::string *err)
{
    if (cli_conn_is_open(&s->conn)) {
        return true;
    }
    if (s->dirty) {
        // The candidate lived in the agent's session, which went with the link.
        fprintf(s->err_p, "Warning: the connection was lost with uncommitted changes\n");
        s->dirty = false;
    }
    return cli_conn_open(&s->conn, s->socket_path, s->user, err) == 0;
}

// Sends a request answered by a Result; prints the agent's refusal as it is.
int cli_result_cmd(t_cli_session *s, Cdb__CdbMsg *msg, t_cli_result *res)
{
    std::string err;
    if (!cli_connect(s, &err) || !cli_conn_result(&s->conn, msg, res, &err)) {
        return cli_fail(s, err);
    }
    if (!res->ok) {
        return cli_fail(s, res->error.empty() ? "refused by the configuration agent" : res->error);
    }
    return 0;
}

void cli_print(t_cli_session *s, const std::string &text)
{
    fputs(text.c_str(), s->out_p);
    if (!text.empty() && text.back() != '\n') {
        fputc('\n', s->out_p);
    }
}

// Removes --json from the words; tells whether it was there.
bool cli_take_json(std::vector<std::string> *words)
{
    auto it = std::remove(words->begin(), words->end(), CLI_JSON_FLAG);
    bool found = it != words->end();
    words->erase(it, words->end());
    return found;
}

// A JSON string literal of text.
std::string cli_json_str(const std::string &text)
{
    std::string out = "\"";
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string cli_time_text(uint64_t secs)
{
    time_t t = static_cast<time_t>(secs);
    tm tmv{};
    localtime_r(&t, &tmv);
    char buf[32];
    strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S", &tmv);
    return buf;
}

// The configuration as a libyang tree, for the keys of existing list entries.
static std::vector<std::string> cli_existing_keys(t_cli_session *s, const lysc_node *list,
                                                  const std::string &list_xpath, size_t key_index)
{
    std::vector<std::string> out;
    std::string err;
    if (!cli_schema_is_config(list) || !cli_connect(s, &err)) {
        return out;
    }
    Cdb__ShowConfig sc = CDB__SHOW_CONFIG__INIT;
    sc.which =
        s->config_mode ? CDB__SHOW_CONFIG__WHICH__CANDIDATE : CDB__SHOW_CONFIG__WHICH__RUNNING;
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.body_case = CDB__CDB_MSG__BODY_SHOW_CONFIG;
    msg.show_config = &sc;
    t_cli_result res;
    if (!cli_conn_result(&s->conn, &msg, &res, &err) || !res.ok) {
        return out;
    }
    lyd_node *tree = nullptr;
    if (lyd_parse_data_mem(s->schema_p->ctx_p, res.text.c_str(), LYD_JSON,
                           LYD_PARSE_ONLY | LYD_PARSE_NO_STATE, 0, &tree) != LY_SUCCESS) {
        return out;
    }
    std::vector<const lysc_node *> keys = cli_schema_keys(list);
    ly_set *set = nullptr;
    if (tree != nullptr && key_index < keys.size() &&
        lyd_find_xpath(tree, list_xpath.c_str(), &set) == LY_SUCCESS) {
        for (uint32_t i = 0; i < set->count; i++) {
            lyd_node *key = nullptr;
            if (lyd_find_sibling_val(lyd_child(set->dnodes[i]), keys[key_index], nullptr, 0,
                                     &key) == LY_SUCCESS) {
                out.push_back(lyd_get_value(key));
            }
        }
        ly_set_free(set, nullptr);
    }
    lyd_free_all(tree);
    return out;
}

f_cli_key_lookup cli_key_lookup(t_cli_session *s)
{
    return [s](const lysc_node *list, const std::string &xpath, size_t key_index) {
        return cli_existing_keys(s, list, xpath, key_index);
    };
}

namespace
{

using f_cli_cmd = int (*)(t_cli_session *, const std::vector<std::string> &);

struct t_cli_cmd {
    const char *name;
    const char *help;
    f_cli_cmd run;
};

int cli_op_exit(t_cli_session *s, const std::vector<std::string> &)
{
    s->quit = true;
    return 0;
}

int cli_help(t_cli_session *s, const std::vector<std::string> &words);

int cli_cfg_run(t_cli_session *s, const std::vector<std::string> &words);

constexpr t_cli_cmd CLI_OP_CMDS[] = {
    {"show", "Show a table, the running configuration or the commit history", cli_op_show},
    {"configure", "Edit the configuration", cli_op_configure},
    {"monitor", "Follow notifications as they come (Ctrl-C stops)", cli_op_monitor},
    {"save", "Save the running configuration to a file as JSON", cli_save},
    {"help", "Describe commands and schema nodes", cli_help},
    {"exit", "Leave the CLI", cli_op_exit},
    {"quit", "Leave the CLI", cli_op_exit},
};

constexpr t_cli_cmd CLI_CFG_CMDS[] = {
    {"set", "Set a value or create a node in the candidate", cli_cfg_set},
    {"delete", "Delete a node from the candidate", cli_cfg_delete},
    {"show", "Show the candidate configuration or the commit history", cli_cfg_show},
    {"compare", "Show the changes of the candidate against the running configuration",
     cli_cfg_compare},
    {"commit", "Apply the candidate", cli_cfg_commit},
    {"rollback", "Return to the configuration of an earlier commit", cli_cfg_rollback},
    {"load", "Replace (or merge into) the candidate from a JSON file", cli_cfg_load},
    {"save", "Save the candidate to a file as JSON", cli_save},
    {"discard", "Drop the uncommitted changes", cli_cfg_discard},
    {"run", "Run an operational command", cli_cfg_run},
    {"help", "Describe commands and schema nodes", cli_help},
    {"exit", "Leave configuration mode (uncommitted changes are dropped)", cli_cfg_exit},
    {"quit", "Leave configuration mode (uncommitted changes are dropped)", cli_cfg_exit},
};

std::span<const t_cli_cmd> cli_cmds(bool config)
{
    if (config) {
        return CLI_CFG_CMDS;
    }
    return CLI_OP_CMDS;
}

int cli_run_words(t_cli_session *s, const std::vector<std::string> &words, bool config)
{
    for (const t_cli_cmd &cmd : cli_cmds(config)) {
        if (words[0] == cmd.name) {
            return cmd.run(s, words);
        }
    }
    if (!config) {
        return cli_run_action(s, words);
    }
    return cli_fail(s, "unknown command '" + words[0] + "'");
}

int cli_cfg_run(t_cli_session *s, const std::vector<std::string> &words)
{
    if (words.size() < 2) {
        return cli_fail(s, "run: missing command");
    }
    std::vector<std::string> rest(words.begin() + 1, words.end());
    // These would leave the session (and with it the candidate).
    if (rest[0] == "configure" || rest[0] == "exit" || rest[0] == "quit" || rest[0] == "monitor") {
        return cli_fail(s, "run: '" + rest[0] + "' is not available here");
    }
    return cli_run_words(s, rest, false);
}

std::vector<t_cli_choice> cli_choices_in(t_cli_session *s, const std::vector<std::string> &words,
                                         bool config);

int cli_help(t_cli_session *s, const std::vector<std::string> &words)
{
    std::vector<std::string> rest(words.begin() + 1, words.end());
    if (!rest.empty()) {
        // The node named last: its description, then what may follow it.
        t_cli_path path;
        std::string err;
        e_cli_walk kind = s->config_mode ? CLI_WALK_CONFIG : CLI_WALK_ACTION;
        size_t start = s->config_mode || rest[0] == "show" ? 1 : 0;
        if (!s->config_mode && rest[0] == "show") {
            kind = CLI_WALK_DATA;
        }
        if (rest.size() > start && cli_path_walk(s->schema_p, kind, rest, start, &path, &err) &&
            path.node_p) {
            std::string text = cli_schema_help(path.node_p);
            cli_print(s, path.words + (text.empty() ? "" : ": " + text) + "\n");
        }
    }
    std::vector<t_cli_choice> choices = cli_choices_in(s, rest, s->config_mode);
    size_t width = 0;
    for (const t_cli_choice &c : choices) {
        width = std::max(width, c.word.size());
    }
    std::string out;
    for (const t_cli_choice &c : choices) {
        out += "  " + c.word + std::string(width - c.word.size() + 2, ' ') + c.help + "\n";
    }
    cli_print(s, out);
    return 0;
}

std::vector<t_cli_choice> cli_choices_in(t_cli_session *s, const std::vector<std::string> &words,
                                         bool config)
{
    std::vector<t_cli_choice> out;
    if (words.empty()) {
        for (const t_cli_cmd &cmd : cli_cmds(config)) {
            out.push_back({cmd.name, cmd.help, true});
        }
        if (!config) {
            for (t_cli_choice &c :
                 cli_path_choices(s->schema_p, CLI_WALK_ACTION, words, 0, cli_key_lookup(s))) {
                out.push_back(std::move(c));
            }
        }
        return out;
    }
    const std::string &cmd = words[0];
    if (config && cmd == "run") {
        return cli_choices_in(s, std::vector<std::string>(words.begin() + 1, words.end()), false);
    }
    if (config && (cmd == "set" || cmd == "delete" || cmd == "show")) {
        if (cmd == "show" && words.size() == 1) {
            out.push_back({"commits", "The commit history", true});
        }
        for (t_cli_choice &c :
             cli_path_choices(s->schema_p, CLI_WALK_CONFIG, words, 1, cli_key_lookup(s))) {
            out.push_back(std::move(c));
        }
        return out;
    }
    if (config && (cmd == "commit")) {
        return {{"check", "Validate without applying", true},
                {"comment", "Text recorded with the commit", true}};
    }
    if (config) {
        return out;
    }
    if (cmd == "show") {
        if (words.size() == 1) {
            for (const auto &[name, node] : s->schema_p->callpoints) {
                out.push_back({name, cli_schema_help(node), true});
            }
            out.push_back({"running-config", "The committed configuration", true});
            out.push_back({"commits", "The commit history", true});
            for (const lysc_node *top : cli_schema_children(s->schema_p, nullptr)) {
                if ((top->nodetype & (LYS_RPC | LYS_ACTION)) == 0 && !cli_schema_is_config(top) &&
                    cli_schema_has_state(s->schema_p, top) && cli_tables_below(s, top).empty()) {
                    out.push_back({top->name, cli_schema_help(top), true});
                }
            }
            out.push_back({CLI_JSON_FLAG, "Print RFC 7951 JSON", true});
            return out;
        }
        if (words[1] == "running-config") {
            return cli_path_choices(s->schema_p, CLI_WALK_CONFIG, words, 2, cli_key_lookup(s));
        }
        if (auto it = s->schema_p->callpoints.find(words[1]);
            it != s->schema_p->callpoints.end() &&
            (it->second->nodetype & (LYS_LIST | LYS_CONTAINER)) != 0) {
            std::vector<std::string> rest = words;
            cli_take_json(&rest);
            t_cli_table table;
            cli_show_table_init(s->schema_p, it->second, &table);
            out = cli_show_filter_choices(&table, rest, 2);
            if ((rest.size() - 2) % 2 == 0) {
                out.push_back({CLI_JSON_FLAG, "Print RFC 7951 JSON", true});
            }
            return out;
        }
        return out;
    }
    if (cmd == "monitor") {
        return {{"replay", "Show this many stored notifications first", true},
                {"count", "Stop after this many notifications", true}};
    }
    for (const t_cli_cmd &c : CLI_OP_CMDS) {
        if (cmd == c.name) {
            return out;
        }
    }
    return cli_path_choices(s->schema_p, CLI_WALK_ACTION, words, 0, cli_key_lookup(s));
}

} // namespace

int cli_cmd_run(t_cli_session *session, const std::string &line)
{
    std::vector<std::string> words;
    std::string err;
    if (!cli_tokenize(line, &words, &err)) {
        return cli_fail(session, err);
    }
    if (words.empty() || words[0][0] == '#') {
        return 0;
    }
    return cli_run_words(session, words, session->config_mode);
}

std::vector<t_cli_choice> cli_cmd_choices(t_cli_session *session,
                                          const std::vector<std::string> &words)
{
    return cli_choices_in(session, words, session->config_mode);
}

std::string cli_cmd_prompt(const t_cli_session *session)
{
    return session->config_mode ? "kemcli(config)# " : "kemcli> ";
}
