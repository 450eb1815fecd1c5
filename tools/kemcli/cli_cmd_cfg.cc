// Configuration mode: the candidate edited, compared, committed, loaded and
// saved; earlier commits restored.
#include <libyang/libyang.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "common/msgq_util.h"
#include "tools/kemcli/cli_cmd_util.h"

// Room left for the message around one part of a loaded configuration.
static constexpr size_t CLI_LOAD_CHUNK = MSGQ_MAX_APP_LEN - 1024;

static int cli_cfg_edit(t_cli_session *s, const std::vector<std::string> &words, bool set)
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
