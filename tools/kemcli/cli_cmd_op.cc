// Operational mode: tables, configuration and history shown, actions run,
// notifications followed.
#include <libyang/libyang.h>
#include <poll.h>

#include <cstring>
#include <deque>
#include <fstream>

#include "tools/kemcli/cli_cmd_util.h"
#include "tools/kemcli/cli_show.h"

// show <table> [<column> <value>]...
static int cli_show_table(t_cli_session *s, const std::vector<std::string> &words, bool json)
{
    const std::string &callpoint = words[1];
    t_cli_table table;
    cli_show_table_init(s->schema_p, s->schema_p->callpoints.at(callpoint), &table);
    std::vector<t_cli_filter> filters;
    std::string err;
    if (!cli_show_filters_parse(s->schema_p, &table, words, 2, &filters, &err)) {
        return cli_fail(s, "show " + callpoint + ": " + err);
    }
    if (!cli_connect(s, &err)) {
        return cli_fail(s, err);
    }
    if (!cli_show_fetch(s->schema_p, &s->conn, callpoint, &table, &err)) {
        return cli_fail(s, "show " + callpoint + ": " + err);
    }
    cli_show_filters_apply(&table, filters);
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
    if (path.keys_missing) {
        // The agent shows one node: a list entry needs all its keys.
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
    t_cli_msg reply = cli_conn_call_expect(&s->conn, &msg, CDB__CDB_MSG__BODY_COMMIT_LIST, &err);
    if (reply == nullptr) {
        return cli_fail(s, err);
    }
    const Cdb__CommitList *list = reply->commit_list;
    std::string out;
    if (json) {
        out = "[";
        for (size_t i = 0; i < list->n_commits; i++) {
            const Cdb__CommitInfo *c = list->commits[i];
            out += std::string(i == 0 ? "" : ",") + "\n  {\"id\": " + std::to_string(c->id) +
                   ", \"time\": " + std::to_string(c->time) +
                   ", \"user\": " + cli_json_str(c->user) +
                   ", \"comment\": " + cli_json_str(c->comment != nullptr ? c->comment : "") + "}";
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

// The tables served from below a node, " a b ...", empty when none.
std::string cli_tables_below(const t_cli_session *s, const lysc_node *node)
{
    std::string out;
    for (const auto &[name, list] : s->schema_p->callpoints) {
        for (const lysc_node *n = list; n != nullptr; n = n->parent) {
            if (n == node) {
                out += " " + name;
                break;
            }
        }
    }
    return out;
}

static int cli_show_state(t_cli_session *s, const std::vector<std::string> &words, bool json)
{
    t_cli_path path;
    std::string err;
    if (!cli_path_walk(s->schema_p, CLI_WALK_DATA, words, 1, &path, &err)) {
        return cli_fail(s, "show: " + err);
    }
    if (path.node_p != nullptr && cli_schema_is_config(path.node_p)) {
        return cli_show_config(s, words, 1, false);
    }
    std::string tables = cli_tables_below(s, path.node_p);
    if (!tables.empty()) {
        return cli_fail(s, "show " + path.words + ": holds tables, show one of" + tables);
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
    t_cli_msg reply = cli_conn_call_expect(&s->conn, &msg, CDB__CDB_MSG__BODY_OPER_VALUES, &err);
    if (reply == nullptr) {
        return cli_fail(s, err);
    }
    const Cdb__OperValues *ov = reply->oper_values;
    t_cli_table table;
    table.columns = {{nullptr, "path", ""}, {nullptr, "value", ""}};
    std::string out = "{";
    for (size_t i = 0; i < ov->n_entries; i++) {
        std::string value = ov->entries[i]->value != nullptr ? ov->entries[i]->value : "";
        table.rows.push_back({ov->entries[i]->path, value});
        out += std::string(i == 0 ? "\n  " : ",\n  ") + cli_json_str(ov->entries[i]->path) + ": " +
               cli_json_str(value);
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
    if (auto it = s->schema_p->callpoints.find(what);
        it != s->schema_p->callpoints.end() &&
        (it->second->nodetype & (LYS_LIST | LYS_CONTAINER)) != 0) {
        return cli_show_table(s, words, json);
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
    t_cli_msg reply = cli_conn_call_expect(&s->conn, &msg, CDB__CDB_MSG__BODY_ACTION_REPLY, &err);
    if (reply == nullptr) {
        return cli_fail(s, err);
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
