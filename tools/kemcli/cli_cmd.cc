#include "tools/kemcli/cli_cmd.h"

#include <libyang/libyang.h>
#include <poll.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <span>
#include <sstream>

#include "common/msgq_util.h"
#include "tools/kemcli/cli_show.h"

volatile sig_atomic_t g_cli_interrupted = 0;

namespace
{

// Room left for the message around one part of a loaded configuration.
constexpr size_t CLI_LOAD_CHUNK = MSGQ_MAX_APP_LEN - 1024;
constexpr const char *CLI_JSON_FLAG = "--json";

using f_cli_cmd = int (*)(t_cli_session *, const std::vector<std::string> &);

struct t_cli_cmd {
    const char *name;
    const char *help;
    f_cli_cmd run;
};

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
std::vector<std::string> cli_existing_keys(t_cli_session *s, const lysc_node *list,
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

// ---- operational mode ----

int cli_show_table(t_cli_session *s, const std::string &callpoint, bool json)
{
    std::string err;
    if (!cli_connect(s, &err)) {
        return cli_fail(s, err);
    }
    t_cli_table table;
    if (!cli_show_fetch(s->schema_p, &s->conn, callpoint, &table, &err)) {
        return cli_fail(s, "show " + callpoint + ": " + err);
    }
    if (!json) {
        cli_print(s, cli_show_text(&table));
        return 0;
    }
    std::string text;
    if (!cli_show_json(s->schema_p, &table, &text, &err)) {
        return cli_fail(s, "show " + callpoint + ": " + err);
    }
    cli_print(s, text);
    return 0;
}

int cli_show_config(t_cli_session *s, const std::vector<std::string> &words, size_t start,
                    bool candidate)
{
    t_cli_path path;
    std::string err;
    if (!cli_path_walk(s->schema_p, CLI_WALK_CONFIG, words, start, &path, &err)) {
        return cli_fail(s, err);
    }
    if (path.keys_missing && path.node_p != nullptr && words.size() > start + 1 &&
        path.xpath.back() != ']') {
        // A list named without keys shows all its entries: ask for its parent.
        return cli_fail(s, path.words + ": missing key " + path.missing_key);
    }
    Cdb__ShowConfig sc = CDB__SHOW_CONFIG__INIT;
    sc.which = candidate ? CDB__SHOW_CONFIG__WHICH__CANDIDATE : CDB__SHOW_CONFIG__WHICH__RUNNING;
    if (path.node_p != nullptr) {
        sc.path = const_cast<char *>(path.xpath.c_str());
    }
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.body_case = CDB__CDB_MSG__BODY_SHOW_CONFIG;
    msg.show_config = &sc;
    t_cli_result res;
    if (cli_result_cmd(s, &msg, &res) != 0) {
        return 1;
    }
    cli_print(s, res.text.empty() ? "{}\n" : res.text);
    return 0;
}

int cli_show_commits(t_cli_session *s, bool json)
{
    std::string err;
    if (!cli_connect(s, &err)) {
        return cli_fail(s, err);
    }
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    Cdb__Empty empty = CDB__EMPTY__INIT;
    msg.body_case = CDB__CDB_MSG__BODY_LIST_COMMITS;
    msg.list_commits = &empty;
    t_cli_msg reply = cli_conn_call(&s->conn, &msg, &err);
    if (reply == nullptr) {
        return cli_fail(s, err);
    }
    if (reply->body_case != CDB__CDB_MSG__BODY_COMMIT_LIST) {
        return cli_fail(s, "unexpected answer from the configuration agent");
    }
    const Cdb__CommitList *list = reply->commit_list;
    std::string out;
    if (json) {
        out = "[";
        for (size_t i = 0; i < list->n_commits; i++) {
            const Cdb__CommitInfo *c = list->commits[i];
            std::string comment = c->comment != nullptr ? c->comment : "";
            std::string esc;
            for (char ch : comment) {
                if (ch == '"' || ch == '\\') {
                    esc += '\\';
                }
                esc += static_cast<unsigned char>(ch) < 0x20 ? ' ' : ch;
            }
            out += std::string(i == 0 ? "" : ",") + "\n  {\"id\": " + std::to_string(c->id) +
                   ", \"time\": " + std::to_string(c->time) + ", \"user\": \"" + c->user +
                   "\", \"comment\": \"" + esc + "\"}";
        }
        out += list->n_commits > 0 ? "\n]\n" : "]\n";
        cli_print(s, out);
        return 0;
    }
    t_cli_table table;
    for (const char *name : {"id", "time", "user", "comment"}) {
        table.columns.push_back({nullptr, name, ""});
    }
    for (size_t i = 0; i < list->n_commits; i++) {
        const Cdb__CommitInfo *c = list->commits[i];
        table.rows.push_back({std::to_string(c->id), cli_time_text(c->time), c->user,
                              c->comment != nullptr ? c->comment : ""});
    }
    cli_print(s, cli_show_text(&table));
    return 0;
}

int cli_show_state(t_cli_session *s, const std::vector<std::string> &words, bool json)
{
    t_cli_path path;
    std::string err;
    if (!cli_path_walk(s->schema_p, CLI_WALK_DATA, words, 1, &path, &err)) {
        return cli_fail(s, "show: " + err);
    }
    if (path.node_p != nullptr && cli_schema_is_config(path.node_p)) {
        return cli_show_config(s, words, 1, false);
    }
    if (!cli_connect(s, &err)) {
        return cli_fail(s, err);
    }
    // Values written by daemons, under the first word's node.
    std::string prefix = "/" + words[1];
    Cdb__OperRead rd = CDB__OPER_READ__INIT;
    rd.prefix = const_cast<char *>(prefix.c_str());
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.body_case = CDB__CDB_MSG__BODY_OPER_READ;
    msg.oper_read = &rd;
    t_cli_msg reply = cli_conn_call(&s->conn, &msg, &err);
    if (reply == nullptr) {
        return cli_fail(s, err);
    }
    if (reply->body_case != CDB__CDB_MSG__BODY_OPER_VALUES) {
        return cli_fail(s, "unexpected answer from the configuration agent");
    }
    const Cdb__OperValues *ov = reply->oper_values;
    t_cli_table table;
    table.columns = {{nullptr, "path", ""}, {nullptr, "value", ""}};
    std::string out = "{";
    for (size_t i = 0; i < ov->n_entries; i++) {
        std::string value = ov->entries[i]->value != nullptr ? ov->entries[i]->value : "";
        table.rows.push_back({ov->entries[i]->path, value});
        out += std::string(i == 0 ? "\n" : ",\n") + "  \"" + ov->entries[i]->path + "\": \"" +
               value + "\"";
    }
    cli_print(s, json ? out + (ov->n_entries > 0 ? "\n}\n" : "}\n") : cli_show_text(&table));
    return 0;
}

int cli_op_show(t_cli_session *s, const std::vector<std::string> &in)
{
    std::vector<std::string> words = in;
    bool json = cli_take_json(&words) || s->json;
    if (words.size() < 2) {
        return cli_fail(s, "show: missing what to show (a table, running-config or commits)");
    }
    const std::string &what = words[1];
    if (s->schema_p->callpoints.count(what) != 0) {
        if (words.size() > 2) {
            return cli_fail(s, "show " + what + ": unexpected word '" + words[2] + "'");
        }
        return cli_show_table(s, what, json);
    }
    if (what == "running-config") {
        return cli_show_config(s, words, 2, false);
    }
    if (what == "commits" && words.size() == 2) {
        return cli_show_commits(s, json);
    }
    return cli_show_state(s, words, json);
}

int cli_op_configure(t_cli_session *s, const std::vector<std::string> &words)
{
    if (words.size() > 1) {
        return cli_fail(s, "configure: unexpected word '" + words[1] + "'");
    }
    std::string err;
    if (!cli_connect(s, &err)) {
        return cli_fail(s, err);
    }
    s->config_mode = true;
    s->dirty = false;
    return 0;
}

// monitor [replay N] [count N]: notifications as they come; Ctrl-C stops.
int cli_op_monitor(t_cli_session *s, const std::vector<std::string> &in)
{
    std::vector<std::string> words = in;
    bool json = cli_take_json(&words) || s->json;
    uint32_t replay = 0;
    uint64_t count = 0;
    for (size_t i = 1; i < words.size(); i += 2) {
        char *end = nullptr;
        unsigned long n = i + 1 < words.size() ? strtoul(words[i + 1].c_str(), &end, 10) : 0;
        if ((words[i] != "replay" && words[i] != "count") || i + 1 == words.size() ||
            *end != '\0' || words[i + 1].empty() || n > 1000000) {
            return cli_fail(s, "monitor: expected [replay <0..1000000>] [count <0..1000000>]");
        }
        if (words[i] == "replay") {
            replay = static_cast<uint32_t>(n);
        } else {
            count = n;
        }
    }
    std::string err;
    if (!cli_connect(s, &err)) {
        return cli_fail(s, err);
    }
    Cdb__FollowNotifications fl = CDB__FOLLOW_NOTIFICATIONS__INIT;
    fl.has_replay = replay > 0;
    fl.replay = replay;
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.body_case = CDB__CDB_MSG__BODY_FOLLOW;
    msg.follow = &fl;
    t_cli_result res;
    if (cli_result_cmd(s, &msg, &res) != 0) {
        return 1;
    }
    g_cli_interrupted = 0;
    uint64_t seen = 0;
    int rc = 0;
    while (!g_cli_interrupted && (count == 0 || seen < count)) {
        pollfd pfd{s->conn.fd, POLLIN, 0};
        if (poll(&pfd, 1, 200) <= 0) {
            continue;
        }
        t_cli_msg m = cli_conn_recv(&s->conn, static_cast<int>(s->conn.timeout_ms), &err);
        if (m == nullptr) {
            rc = cli_fail(s, err);
            break;
        }
        if (m->body_case != CDB__CDB_MSG__BODY_NOTIFICATION) {
            continue;
        }
        const Cdb__Notification *n = m->notification;
        std::string text = n->text != nullptr ? n->text : "";
        if (json) {
            cli_print(s, text);
        } else {
            cli_print(s, cli_time_text(n->time_us / 1000000) + " " +
                             (n->name != nullptr ? n->name : "notification") + " " + text);
        }
        fflush(s->out_p);
        seen++;
    }
    // The agent keeps following a session; a fresh one stops the flow.
    cli_conn_close(&s->conn);
    return rc;
}

int cli_save(t_cli_session *s, const std::vector<std::string> &words)
{
    if (words.size() != 2) {
        return cli_fail(s, "save: expected one file name");
    }
    Cdb__ShowConfig sc = CDB__SHOW_CONFIG__INIT;
    sc.which =
        s->config_mode ? CDB__SHOW_CONFIG__WHICH__CANDIDATE : CDB__SHOW_CONFIG__WHICH__RUNNING;
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.body_case = CDB__CDB_MSG__BODY_SHOW_CONFIG;
    msg.show_config = &sc;
    t_cli_result res;
    if (cli_result_cmd(s, &msg, &res) != 0) {
        return 1;
    }
    std::ofstream f(words[1], std::ios::binary | std::ios::trunc);
    f << (res.text.empty() ? "{}\n" : res.text);
    f.close();
    if (!f) {
        return cli_fail(s, "save: cannot write " + words[1] + ": " + strerror(errno));
    }
    return 0;
}

int cli_run_action(t_cli_session *s, const std::vector<std::string> &words)
{
    t_cli_path path;
    std::string err;
    if (!cli_path_walk(s->schema_p, CLI_WALK_ACTION, words, 0, &path, &err)) {
        return cli_fail(s, path.words.empty() ? "unknown command '" + words[0] + "'" : err);
    }
    if (path.node_p == nullptr || (path.node_p->nodetype & (LYS_RPC | LYS_ACTION)) == 0) {
        return cli_fail(s, path.words + ": incomplete command");
    }
    if (path.keys_missing) {
        return cli_fail(s, path.words + ": missing key " + path.missing_key);
    }
    const char *ap = cli_schema_ext(path.node_p, "actionpoint");
    if (ap == nullptr) {
        return cli_fail(s, path.words + ": no daemon serves this action");
    }
    if (!cli_connect(s, &err)) {
        return cli_fail(s, err);
    }
    std::deque<Cdb__ActionParam> params;
    std::vector<Cdb__ActionParam *> pptrs;
    for (const t_cli_param &p : path.params) {
        Cdb__ActionParam &ap_pb = params.emplace_back();
        cdb__action_param__init(&ap_pb);
        ap_pb.name = const_cast<char *>(p.leaf_p->name);
        ap_pb.value = const_cast<char *>(p.value.c_str());
        pptrs.push_back(&ap_pb);
    }
    // The command form sees the words after the action's name, as typed.
    std::vector<char *> argv;
    for (size_t i = path.params_start; i < words.size(); i++) {
        argv.push_back(const_cast<char *>(words[i].c_str()));
    }
    Cdb__ActionRequest req = CDB__ACTION_REQUEST__INIT;
    req.actionpoint = const_cast<char *>(ap);
    req.action = const_cast<char *>(path.node_p->name);
    req.params = pptrs.data();
    req.n_params = pptrs.size();
    req.argv = argv.data();
    req.n_argv = argv.size();
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.body_case = CDB__CDB_MSG__BODY_ACTION_REQUEST;
    msg.action_request = &req;
    t_cli_msg reply = cli_conn_call(&s->conn, &msg, &err);
    if (reply == nullptr) {
        return cli_fail(s, err);
    }
    if (reply->body_case != CDB__CDB_MSG__BODY_ACTION_REPLY) {
        return cli_fail(s, "unexpected answer from the configuration agent");
    }
    const Cdb__ActionReply *ar = reply->action_reply;
    if (ar->output != nullptr && *ar->output != '\0') {
        cli_print(s, ar->output);
    }
    if (!ar->ok) {
        return cli_fail(s, path.words + ": " + (ar->error != nullptr ? ar->error : "failed"));
    }
    return 0;
}

// ---- configuration mode ----

int cli_cfg_edit(t_cli_session *s, const std::vector<std::string> &words, bool set)
{
    const char *cmd = set ? "set" : "delete";
    if (words.size() < 2) {
        return cli_fail(s, std::string(cmd) + ": missing path");
    }
    t_cli_path path;
    std::string err;
    if (!cli_path_walk(s->schema_p, CLI_WALK_CONFIG, words, 1, &path, &err)) {
        return cli_fail(s, err);
    }
    if (path.keys_missing) {
        return cli_fail(s, path.words + ": missing key " + path.missing_key);
    }
    const lysc_node *node = path.node_p;
    bool term = (node->nodetype & (LYS_LEAF | LYS_LEAFLIST)) != 0;
    if (set && term && !path.has_value &&
        reinterpret_cast<const lysc_node_leaf *>(node)->type->basetype != LY_TYPE_EMPTY) {
        return cli_fail(s, path.words + ": missing value, expected " + cli_schema_value_hint(node));
    }
    if (set && node->nodetype == LYS_CONTAINER && (node->flags & LYS_PRESENCE) == 0) {
        return cli_fail(s, path.words + ": incomplete path");
    }
    std::string xpath = path.xpath;
    if (!set && node->nodetype == LYS_LEAFLIST && path.has_value) {
        xpath += "[.=" + cli_xpath_quote(path.value) + "]";
    } else if (!set && path.has_value) {
        return cli_fail(s, path.words + ": unexpected word '" + path.value + "'");
    }
    Cdb__EditRequest ed = CDB__EDIT_REQUEST__INIT;
    ed.op = set ? CDB__EDIT_REQUEST__OP__SET : CDB__EDIT_REQUEST__OP__DELETE;
    ed.path = const_cast<char *>(xpath.c_str());
    if (set && path.has_value) {
        ed.value = const_cast<char *>(path.value.c_str());
    }
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.body_case = CDB__CDB_MSG__BODY_EDIT;
    msg.edit = &ed;
    t_cli_result res;
    if (cli_result_cmd(s, &msg, &res) != 0) {
        return 1;
    }
    s->dirty = true;
    return 0;
}

int cli_cfg_set(t_cli_session *s, const std::vector<std::string> &words)
{
    return cli_cfg_edit(s, words, true);
}

int cli_cfg_delete(t_cli_session *s, const std::vector<std::string> &words)
{
    return cli_cfg_edit(s, words, false);
}

int cli_cfg_show(t_cli_session *s, const std::vector<std::string> &in)
{
    std::vector<std::string> words = in;
    bool json = cli_take_json(&words) || s->json;
    if (words.size() == 2 && words[1] == "commits") {
        return cli_show_commits(s, json);
    }
    return cli_show_config(s, words, 1, true);
}

int cli_cfg_compare(t_cli_session *s, const std::vector<std::string> &words)
{
    if (words.size() > 1) {
        return cli_fail(s, "compare: unexpected word '" + words[1] + "'");
    }
    Cdb__Empty empty = CDB__EMPTY__INIT;
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.body_case = CDB__CDB_MSG__BODY_COMPARE;
    msg.compare = &empty;
    t_cli_result res;
    if (cli_result_cmd(s, &msg, &res) != 0) {
        return 1;
    }
    cli_print(s, res.text.empty() ? "No changes\n" : res.text);
    return 0;
}

// commit [check] [comment TEXT]
int cli_cfg_commit(t_cli_session *s, const std::vector<std::string> &words)
{
    Cdb__CommitRequest cr = CDB__COMMIT_REQUEST__INIT;
    for (size_t i = 1; i < words.size(); i++) {
        if (words[i] == "check") {
            cr.has_check_only = true;
            cr.check_only = true;
        } else if (words[i] == "comment" && i + 1 < words.size()) {
            cr.comment = const_cast<char *>(words[++i].c_str());
        } else {
            return cli_fail(s, "commit: expected [check] [comment <text>]");
        }
    }
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.body_case = CDB__CDB_MSG__BODY_COMMIT;
    msg.commit = &cr;
    t_cli_result res;
    if (cli_result_cmd(s, &msg, &res) != 0) {
        return 1;
    }
    if (cr.check_only) {
        cli_print(s, "Configuration is valid\n");
        return 0;
    }
    s->dirty = false;
    cli_print(s, res.commit_id != 0 ? "Commit " + std::to_string(res.commit_id) + " complete\n"
                                    : "No changes to commit\n");
    return 0;
}

int cli_cfg_rollback(t_cli_session *s, const std::vector<std::string> &words)
{
    char *end = nullptr;
    unsigned long long id = words.size() == 2 ? strtoull(words[1].c_str(), &end, 10) : 0;
    if (words.size() != 2 || words[1].empty() || *end != '\0' || words[1][0] == '-') {
        return cli_fail(s, "rollback: expected a commit number (see show commits)");
    }
    Cdb__RollbackRequest rb = CDB__ROLLBACK_REQUEST__INIT;
    rb.commit_id = id;
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.body_case = CDB__CDB_MSG__BODY_ROLLBACK;
    msg.rollback = &rb;
    t_cli_result res;
    if (cli_result_cmd(s, &msg, &res) != 0) {
        return 1;
    }
    s->dirty = false;
    cli_print(s, "Rolled back to commit " + words[1] +
                     (res.commit_id != 0 ? ", commit " + std::to_string(res.commit_id) : "") +
                     " complete\n");
    return 0;
}

// load [merge] FILE: the file replaces (or merges into) the candidate.
int cli_cfg_load(t_cli_session *s, const std::vector<std::string> &words)
{
    bool merge = words.size() == 3 && words[1] == "merge";
    if (words.size() != 2 && !merge) {
        return cli_fail(s, "load: expected [merge] <file>");
    }
    const std::string &file = words.back();
    std::ifstream f(file, std::ios::binary);
    if (!f) {
        return cli_fail(s, "load: cannot read " + file + ": " + strerror(errno));
    }
    std::stringstream ss;
    ss << f.rdbuf();
    std::string json = ss.str();
    std::string err;
    if (!cli_connect(s, &err)) {
        return cli_fail(s, err);
    }
    size_t pos = 0;
    t_cli_result res;
    do {
        std::string part = json.substr(pos, CLI_LOAD_CHUNK);
        pos += part.size();
        Cdb__LoadConfig lc = CDB__LOAD_CONFIG__INIT;
        lc.json = const_cast<char *>(part.c_str());
        lc.has_merge = true;
        lc.merge = merge;
        lc.has_more = pos < json.size();
        lc.more = lc.has_more;
        Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
        msg.body_case = CDB__CDB_MSG__BODY_LOAD_CONFIG;
        msg.load_config = &lc;
        if (lc.more) {
            if (cli_conn_send(&s->conn, &msg, nullptr, &err) != 0) {
                return cli_fail(s, err);
            }
            continue;
        }
        if (!cli_conn_result(&s->conn, &msg, &res, &err)) {
            return cli_fail(s, err);
        }
    } while (pos < json.size());
    if (!res.ok) {
        return cli_fail(s, "load " + file + ": " + res.error);
    }
    s->dirty = true;
    return 0;
}

int cli_cfg_discard(t_cli_session *s, const std::vector<std::string> &)
{
    Cdb__Empty empty = CDB__EMPTY__INIT;
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.body_case = CDB__CDB_MSG__BODY_DISCARD;
    msg.discard = &empty;
    t_cli_result res;
    if (cli_result_cmd(s, &msg, &res) != 0) {
        return 1;
    }
    s->dirty = false;
    return 0;
}

int cli_cfg_exit(t_cli_session *s, const std::vector<std::string> &words)
{
    if (s->dirty) {
        if (cli_cfg_discard(s, words) != 0) {
            return 1;
        }
        cli_print(s, "Uncommitted changes discarded\n");
    }
    s->config_mode = false;
    return 0;
}

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
    if (rest[0] == "configure" || rest[0] == "exit" || rest[0] == "quit") {
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
                if (node->nodetype == LYS_LIST) {
                    out.push_back({name, cli_schema_help(node), true});
                }
            }
            out.push_back({"running-config", "The committed configuration", true});
            out.push_back({"commits", "The commit history", true});
            for (const lysc_node *top : cli_schema_children(s->schema_p, nullptr)) {
                if ((top->nodetype & (LYS_RPC | LYS_ACTION)) == 0 && !cli_schema_is_config(top) &&
                    cli_schema_has_state(s->schema_p, top) &&
                    cli_schema_ext(top, "callpoint") == nullptr) {
                    out.push_back({top->name, cli_schema_help(top), true});
                }
            }
            out.push_back({CLI_JSON_FLAG, "Print RFC 7951 JSON", true});
            return out;
        }
        if (words[1] == "running-config") {
            return cli_path_choices(s->schema_p, CLI_WALK_CONFIG, words, 2, cli_key_lookup(s));
        }
        if (s->schema_p->callpoints.count(words[1]) != 0) {
            return {{CLI_JSON_FLAG, "Print RFC 7951 JSON", true}};
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
