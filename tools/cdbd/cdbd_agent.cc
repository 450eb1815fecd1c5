// The configuration agent: sessions, registration, operator requests and
// the dispatch of every message.
#include "tools/cdbd/cdbd_agent.h"

#include <event2/event.h>
#include <libyang/libyang.h>
#include <syslog.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "common/msgq_util.h"
#include "common/pb_util.h"
#include "common/zul_log.h"
#include "tools/cdbd/cdbd_agent_internal.h"
#include "zconfd/zconfd.h"

using namespace cdbd_internal;

namespace
{

constexpr uint32_t CDBD_MAX_COMMITS_LISTED = 1000;
constexpr uint32_t CDBD_MAX_REPLAY = 1000;
constexpr size_t CDBD_MAX_LOAD = 64 * 1024 * 1024;

lyd_node *cdbd_tree_dup(const lyd_node *tree)
{
    lyd_node *dup = nullptr;
    if (tree != nullptr) {
        lyd_dup_siblings(tree, nullptr, LYD_DUP_RECURSIVE | LYD_DUP_WITH_FLAGS, &dup);
    }
    return dup;
}

bool cdbd_edit_apply(t_cdbd_agent *agent, lyd_node **tree, const t_cdbd_edit &edit,
                     std::string *err)
{
    ly_ctx *ctx = agent->schema.ctx_p;
    switch (edit.kind) {
    case t_cdbd_edit::SET: {
        lyd_node *node = nullptr;
        if (lyd_new_path(*tree, ctx, edit.path.c_str(),
                         edit.has_value ? edit.value.c_str() : nullptr, LYD_NEW_PATH_UPDATE,
                         &node) != LY_SUCCESS) {
            *err = "Cannot set " + edit.path + ": " + cdbd_schema_error(&agent->schema);
            return false;
        }
        if (*tree == nullptr && node != nullptr) {
            while (lyd_parent(node) != nullptr) {
                node = lyd_parent(node);
            }
            *tree = node;
        }
        *tree = lyd_first_sibling(*tree);
        return true;
    }
    case t_cdbd_edit::DELETE: {
        lyd_node *node = nullptr;
        if (*tree == nullptr || lyd_find_path(*tree, edit.path.c_str(), 0, &node) != LY_SUCCESS ||
            node == nullptr) {
            *err = "Cannot delete " + edit.path + ": no such node";
            return false;
        }
        if (lysc_is_key(node->schema)) {
            *err = "Cannot delete " + edit.path + ": a list key; delete the entry";
            return false;
        }
        lyd_node *first = node == *tree ? node->next : *tree;
        lyd_free_tree(node);
        *tree = first;
        return true;
    }
    case t_cdbd_edit::LOAD_REPLACE:
    case t_cdbd_edit::LOAD_MERGE: {
        lyd_node *loaded = nullptr;
        if (lyd_parse_data_mem(ctx, edit.value.c_str(), LYD_JSON,
                               LYD_PARSE_ONLY | LYD_PARSE_STRICT | LYD_PARSE_NO_STATE, 0,
                               &loaded) != LY_SUCCESS) {
            *err = "Cannot load the configuration: " + cdbd_schema_error(&agent->schema);
            lyd_free_all(loaded);
            return false;
        }
        if (edit.kind == t_cdbd_edit::LOAD_REPLACE) {
            lyd_free_all(*tree);
            *tree = loaded;
            return true;
        }
        if (loaded != nullptr &&
            lyd_merge_siblings(tree, loaded, LYD_MERGE_DESTRUCT) != LY_SUCCESS) {
            *err = "Cannot merge the configuration: " + cdbd_schema_error(&agent->schema);
            return false;
        }
        return true;
    }
    }
    return false;
}

void cdbd_diff_text_r(const lyd_node *node, std::string *out)
{
    const lyd_node *n;
    LY_LIST_FOR(node, n)
    {
        const lyd_meta *meta = lyd_find_meta(n->meta, nullptr, "yang:operation");
        const char *op = meta != nullptr ? lyd_get_meta_value(meta) : "none";
        if (strcmp(op, "none") == 0) {
            cdbd_diff_text_r(lyd_child(n), out);
            continue;
        }
        char *path = lyd_path(n, LYD_PATH_STD, nullptr, 0);
        bool term = (n->schema->nodetype & LYD_NODE_TERM) != 0;
        if (strcmp(op, "create") == 0) {
            *out += "+ " + std::string(path);
        } else if (strcmp(op, "delete") == 0) {
            *out += "- " + std::string(path);
        } else {
            *out += "~ " + std::string(path);
        }
        if (term && strcmp(op, "delete") != 0) {
            *out += " = " + std::string(lyd_get_value(n));
        }
        if (const lyd_meta *orig = lyd_find_meta(n->meta, nullptr, "yang:orig-value")) {
            *out += " (was " + std::string(lyd_get_meta_value(orig)) + ")";
        }
        *out += "\n";
        free(path);
    }
}

// One line per changed node: "+ path = value", "- path", "~ path = value (was old)".
std::string cdbd_diff_text(const lyd_node *diff)
{
    std::string out;
    cdbd_diff_text_r(diff, &out);
    return out;
}

void cdbd_register(t_cdbd_session *s, uint32_t seq, const Cdb__Register *reg)
{
    t_cdbd_agent *agent = s->agent_p;
    auto d = std::make_unique<t_cdbd_daemon>();
    d->mod_name = reg->mod_name;
    d->mod_id = reg->mod_id;
    d->read_level = std::min<uint32_t>(reg->read_level, 3);
    std::string err;
    for (size_t i = 0; i < reg->n_subs; i++) {
        const Cdb__Subscription *ps = reg->subs[i];
        t_cdbd_sub sub;
        sub.id = ps->id;
        sub.path = ps->path;
        sub.priority = ps->priority;
        sub.del_priority = ps->has_del_priority ? ps->del_priority : 0;
        sub.oper = ps->has_oper && ps->oper;
        if ((sub.id & 0x80000000u) != 0) {
            err = "subscription id " + std::to_string(sub.id) + " out of range";
            break;
        }
        if (!sub.oper && !cdbd_sub_resolve(&agent->schema, &sub, &err)) {
            break;
        }
        d->subs.push_back(std::move(sub));
    }
    for (size_t i = 0; i < reg->n_callpoints; i++) {
        d->callpoints.emplace_back(reg->callpoints[i]);
    }
    for (size_t i = 0; i < reg->n_actionpoints; i++) {
        d->actionpoints.emplace_back(reg->actionpoints[i]);
    }
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    Cdb__RegisterReply rr = CDB__REGISTER_REPLY__INIT;
    msg.seq = seq;
    msg.body_case = CDB__CDB_MSG__BODY_REGISTER_REPLY;
    msg.register_reply = &rr;
    rr.ok = err.empty();
    if (!err.empty()) {
        ZUL_LOG_PRI(LOG_ERR, "Registration of %s refused: %s", reg->mod_name, err.c_str());
        rr.error = const_cast<char *>(err.c_str());
        cdbd_send(s, &msg);
        return;
    }
    ZUL_LOG_PRI(LOG_INFO, "Registered %s (module %u, %zu subscriptions)", d->mod_name.c_str(),
                d->mod_id, d->subs.size());
    s->daemon = std::move(d);
    cdbd_send(s, &msg);
    cdbd_initial_read_check(agent);
}

void cdbd_edit(t_cdbd_session *s, uint32_t seq, const Cdb__EditRequest *req)
{
    t_cdbd_edit edit;
    edit.kind = req->op == CDB__EDIT_REQUEST__OP__DELETE ? t_cdbd_edit::DELETE : t_cdbd_edit::SET;
    edit.path = req->path;
    edit.has_value = req->value != nullptr;
    edit.value = req->value != nullptr ? req->value : "";
    std::vector<t_cdbd_edit> edits = s->edits;
    edits.push_back(edit);
    lyd_node *cand = nullptr;
    std::string err;
    if (!cdbd_candidate_build(s->agent_p, edits, &cand, &err)) {
        cdbd_reply_result(s, seq, false, err);
        return;
    }
    lyd_free_all(cand);
    s->edits = std::move(edits);
    cdbd_reply_result(s, seq, true, "");
}

void cdbd_show_config(t_cdbd_session *s, uint32_t seq, const Cdb__ShowConfig *req)
{
    t_cdbd_agent *agent = s->agent_p;
    lyd_node *tree = nullptr;
    std::string err;
    if (req->which == CDB__SHOW_CONFIG__WHICH__RUNNING) {
        tree = cdbd_tree_dup(agent->running_p);
    } else if (!cdbd_candidate_build(agent, s->edits, &tree, &err)) {
        cdbd_reply_result(s, seq, false, err);
        return;
    }
    std::string text;
    if (req->path != nullptr && *req->path != '\0') {
        lyd_node *node = nullptr;
        if (tree == nullptr || lyd_find_path(tree, req->path, 0, &node) != LY_SUCCESS ||
            node == nullptr) {
            lyd_free_all(tree);
            cdbd_reply_result(s, seq, false, std::string("No such node: ") + req->path);
            return;
        }
        char *str = nullptr;
        lyd_print_mem(&str, node, LYD_JSON, LYD_PRINT_WD_EXPLICIT);
        text = str != nullptr ? str : "";
        free(str);
    } else {
        text = cdbd_tree_json(tree);
    }
    lyd_free_all(tree);
    cdbd_reply_result(s, seq, true, "", text);
}

void cdbd_compare(t_cdbd_session *s, uint32_t seq)
{
    t_cdbd_agent *agent = s->agent_p;
    lyd_node *cand = nullptr;
    std::string err;
    if (!cdbd_candidate_build(agent, s->edits, &cand, &err)) {
        cdbd_reply_result(s, seq, false, err);
        return;
    }
    // Compare without the defaults that validation adds later.
    lyd_node *diff = nullptr;
    lyd_diff_siblings(agent->running_p, cand, 0, &diff);
    std::string text = cdbd_diff_text(diff);
    lyd_free_all(diff);
    lyd_free_all(cand);
    cdbd_reply_result(s, seq, true, "", text);
}

void cdbd_commit(t_cdbd_session *s, uint32_t seq, std::vector<t_cdbd_edit> edits,
                 const std::string &comment, bool check_only)
{
    auto txn = std::make_unique<t_cdbd_txn>();
    txn->kind = t_cdbd_txn::COMMIT;
    txn->origin_p = s;
    txn->origin_seq = seq;
    txn->user = s->user;
    txn->comment = comment;
    txn->edits = std::move(edits);
    txn->check_only = check_only;
    cdbd_job_add(s->agent_p, std::move(txn));
}

void cdbd_rollback(t_cdbd_session *s, uint32_t seq, const Cdb__RollbackRequest *req)
{
    std::string json;
    if (cdbd_store_commit_config(&s->agent_p->store, req->commit_id, &json) != 0) {
        cdbd_reply_result(s, seq, false,
                          "No commit " + std::to_string(req->commit_id) + " in the history");
        return;
    }
    t_cdbd_edit edit;
    edit.kind = t_cdbd_edit::LOAD_REPLACE;
    edit.value = json;
    s->edits.clear();
    std::string comment =
        req->comment != nullptr ? req->comment : "rollback to " + std::to_string(req->commit_id);
    cdbd_commit(s, seq, {edit}, comment, false);
}

void cdbd_list_commits(t_cdbd_session *s, uint32_t seq)
{
    std::vector<t_cdbd_commit_info> commits =
        cdbd_store_commits(&s->agent_p->store, CDBD_MAX_COMMITS_LISTED);
    std::deque<Cdb__CommitInfo> infos;
    std::vector<Cdb__CommitInfo *> ptrs;
    size_t size = 0;
    for (t_cdbd_commit_info &c : commits) {
        size += c.user.size() + c.comment.size() + 32;
        if (size > CDBD_CHUNK) {
            break;
        }
        Cdb__CommitInfo &ci = infos.emplace_back();
        cdb__commit_info__init(&ci);
        ci.id = c.id;
        ci.time = c.time;
        ci.user = const_cast<char *>(c.user.c_str());
        ci.comment = const_cast<char *>(c.comment.c_str());
        ptrs.push_back(&ci);
    }
    Cdb__CommitList list = CDB__COMMIT_LIST__INIT;
    list.commits = ptrs.data();
    list.n_commits = ptrs.size();
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.seq = seq;
    msg.body_case = CDB__CDB_MSG__BODY_COMMIT_LIST;
    msg.commit_list = &list;
    cdbd_send(s, &msg);
}

void cdbd_load_config(t_cdbd_session *s, uint32_t seq, const Cdb__LoadConfig *req)
{
    s->load_buf += req->json;
    if (s->load_buf.size() > CDBD_MAX_LOAD) {
        s->load_buf.clear();
        cdbd_reply_result(s, seq, false, "Configuration too large");
        return;
    }
    if (req->has_more && req->more) {
        return;
    }
    t_cdbd_edit edit;
    edit.kind = req->has_merge && req->merge ? t_cdbd_edit::LOAD_MERGE : t_cdbd_edit::LOAD_REPLACE;
    edit.value = std::move(s->load_buf);
    s->load_buf.clear();
    std::vector<t_cdbd_edit> edits =
        edit.kind == t_cdbd_edit::LOAD_REPLACE ? std::vector<t_cdbd_edit>{} : s->edits;
    edits.push_back(std::move(edit));
    lyd_node *cand = nullptr;
    std::string err;
    if (!cdbd_candidate_build(s->agent_p, edits, &cand, &err)) {
        cdbd_reply_result(s, seq, false, err);
        return;
    }
    lyd_free_all(cand);
    s->edits = std::move(edits);
    cdbd_reply_result(s, seq, true, "");
}

// The agent's own counters, readable like any operational value.
void cdbd_stats_publish(t_cdbd_agent *agent)
{
    const t_cdbd_stats &st = agent->stats;
    const std::pair<const char *, uint64_t> counters[] = {
        {"rx-messages", st.rx_msgs},
        {"rx-dropped", st.rx_bad},
        {"commits", st.commits},
        {"commits-failed", st.commits_failed},
        {"oper-writes", st.oper_writes},
        {"notifications", st.notifications},
        {"refused-connections", st.refused},
    };
    for (const auto &[name, value] : counters) {
        cdbd_oper_set(agent, std::string("/cdbd/statistics/") + name, std::to_string(value));
    }
}

void cdbd_oper_read(t_cdbd_session *s, uint32_t seq, const Cdb__OperRead *req)
{
    cdbd_stats_publish(s->agent_p);
    std::string prefix = req->prefix != nullptr ? req->prefix : "";
    std::deque<Cdb__OperEntry> entries;
    std::vector<Cdb__OperEntry *> ptrs;
    size_t size = 0;
    for (auto it = s->agent_p->oper.lower_bound(prefix); it != s->agent_p->oper.end(); ++it) {
        if (it->first.compare(0, prefix.size(), prefix) != 0) {
            break;
        }
        size += it->first.size() + it->second.size() + 8;
        if (size > CDBD_CHUNK) {
            break;
        }
        Cdb__OperEntry &e = entries.emplace_back();
        cdb__oper_entry__init(&e);
        e.path = const_cast<char *>(it->first.c_str());
        e.value = const_cast<char *>(it->second.c_str());
        ptrs.push_back(&e);
    }
    Cdb__OperValues ov = CDB__OPER_VALUES__INIT;
    ov.entries = ptrs.data();
    ov.n_entries = ptrs.size();
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.seq = seq;
    msg.body_case = CDB__CDB_MSG__BODY_OPER_VALUES;
    msg.oper_values = &ov;
    cdbd_send(s, &msg);
}

void cdbd_follow(t_cdbd_session *s, uint32_t seq, const Cdb__FollowNotifications *req)
{
    s->follow = true;
    cdbd_reply_result(s, seq, true, "");
    uint32_t replay = req->has_replay ? std::min(req->replay, CDBD_MAX_REPLAY) : 0;
    if (replay > 0) {
        for (const t_cdbd_notif_rec &rec : cdbd_store_notifs(&s->agent_p->store, replay)) {
            cdbd_notif_send(s, rec);
        }
    }
}

} // namespace

namespace cdbd_internal
{

void cdbd_send(t_cdbd_session *s, Cdb__CdbMsg *msg)
{
    if (s->agent_p->send_fn(s, msg) != 0) {
        ZUL_LOG_PRI(LOG_ERR, "Failed to send a message to module %u", s->peer_mod);
    }
}

// A result; a long text goes out in parts, the last one with more clear.
void cdbd_reply_result(t_cdbd_session *s, uint32_t seq, bool ok, const std::string &error,
                       const std::string &text, uint64_t commit_id)
{
    size_t pos = 0;
    do {
        Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
        Cdb__Result res = CDB__RESULT__INIT;
        msg.seq = seq;
        msg.body_case = CDB__CDB_MSG__BODY_RESULT;
        msg.result = &res;
        res.ok = ok;
        if (!error.empty()) {
            res.error = const_cast<char *>(error.c_str());
        }
        std::string part = text.substr(pos, CDBD_CHUNK);
        pos += part.size();
        if (!text.empty()) {
            res.text = const_cast<char *>(part.c_str());
        }
        if (commit_id != 0) {
            res.has_commit_id = true;
            res.commit_id = commit_id;
        }
        res.has_more = pos < text.size();
        res.more = res.has_more;
        cdbd_send(s, &msg);
    } while (pos < text.size());
}

std::string cdbd_tree_json(const lyd_node *tree)
{
    if (tree == nullptr) {
        return "{}\n";
    }
    char *str = nullptr;
    lyd_print_mem(&str, tree, LYD_JSON, LYD_PRINT_WITHSIBLINGS | LYD_PRINT_WD_EXPLICIT);
    std::string out = str != nullptr && *str != '\0' ? str : "{}\n";
    free(str);
    return out;
}

// The running configuration with the edits on top; nullptr tree is empty.
bool cdbd_candidate_build(t_cdbd_agent *agent, const std::vector<t_cdbd_edit> &edits,
                          lyd_node **out, std::string *err)
{
    lyd_node *tree = cdbd_tree_dup(agent->running_p);
    for (const t_cdbd_edit &edit : edits) {
        if (!cdbd_edit_apply(agent, &tree, edit, err)) {
            lyd_free_all(tree);
            return false;
        }
    }
    *out = tree;
    return true;
}

bool cdbd_validate(t_cdbd_agent *agent, lyd_node **tree, std::string *err)
{
    if (lyd_validate_all(tree, agent->schema.ctx_p, LYD_VALIDATE_NO_STATE, nullptr) != LY_SUCCESS) {
        *err = "Validation failed: " + cdbd_schema_error(&agent->schema);
        return false;
    }
    return true;
}

t_cdbd_session *cdbd_session_find(t_cdbd_agent *agent, const t_cdbd_session *s)
{
    for (t_cdbd_session *cur : agent->sessions) {
        if (cur == s) {
            return cur;
        }
    }
    return nullptr;
}

void cdbd_oper_set(t_cdbd_agent *agent, const std::string &path, const std::string &value)
{
    agent->oper[path] = value;
}

void cdbd_oper_delete(t_cdbd_agent *agent, const std::string &path)
{
    auto it = agent->oper.lower_bound(path);
    while (it != agent->oper.end() && it->first.compare(0, path.size(), path) == 0) {
        const std::string &key = it->first;
        if (key.size() == path.size() || key[path.size()] == '/') {
            it = agent->oper.erase(it);
        } else {
            ++it;
        }
    }
}

void cdbd_read_mask_set(t_cdbd_agent *agent, uint32_t mask)
{
    agent->read_mask = mask;
    cdbd_oper_set(agent, "/zconfd-initial-read-priority", std::to_string(mask));
}

void cdbd_dispatch(t_cdbd_session *s, Cdb__CdbMsg *msg)
{
    switch (msg->body_case) {
    case CDB__CDB_MSG__BODY_REGISTER:
        if (s->daemon != nullptr) {
            s->agent_p->stats.rx_bad++;
            return;
        }
        cdbd_register(s, msg->seq, msg->register_);
        break;
    case CDB__CDB_MSG__BODY_DELIVERY_REPLY:
        cdbd_delivery_reply(s, msg->delivery_reply);
        break;
    case CDB__CDB_MSG__BODY_OPER_WRITE:
        cdbd_oper_write(s, msg->oper_write);
        break;
    case CDB__CDB_MSG__BODY_NOTIFICATION:
        cdbd_notification(s, msg->notification);
        break;
    case CDB__CDB_MSG__BODY_DATA_REPLY:
    case CDB__CDB_MSG__BODY_ACTION_REPLY:
        cdbd_forward_reply(s, msg);
        break;
    case CDB__CDB_MSG__BODY_DATA_REQUEST:
        cdbd_data_request(s, msg->seq, msg->data_request);
        break;
    case CDB__CDB_MSG__BODY_ACTION_REQUEST:
        cdbd_action_request(s, msg->seq, msg->action_request);
        break;
    case CDB__CDB_MSG__BODY_HELLO:
        s->user = msg->hello->user;
        cdbd_reply_result(s, msg->seq, true, "");
        break;
    case CDB__CDB_MSG__BODY_EDIT:
        cdbd_edit(s, msg->seq, msg->edit);
        break;
    case CDB__CDB_MSG__BODY_SHOW_CONFIG:
        cdbd_show_config(s, msg->seq, msg->show_config);
        break;
    case CDB__CDB_MSG__BODY_COMPARE:
        cdbd_compare(s, msg->seq);
        break;
    case CDB__CDB_MSG__BODY_COMMIT:
        cdbd_commit(s, msg->seq, s->edits, msg->commit->comment ? msg->commit->comment : "",
                    msg->commit->has_check_only && msg->commit->check_only);
        break;
    case CDB__CDB_MSG__BODY_ROLLBACK:
        cdbd_rollback(s, msg->seq, msg->rollback);
        break;
    case CDB__CDB_MSG__BODY_LIST_COMMITS:
        cdbd_list_commits(s, msg->seq);
        break;
    case CDB__CDB_MSG__BODY_LOAD_CONFIG:
        cdbd_load_config(s, msg->seq, msg->load_config);
        break;
    case CDB__CDB_MSG__BODY_DISCARD:
        s->edits.clear();
        cdbd_reply_result(s, msg->seq, true, "");
        break;
    case CDB__CDB_MSG__BODY_OPER_READ:
        cdbd_oper_read(s, msg->seq, msg->oper_read);
        break;
    case CDB__CDB_MSG__BODY_FOLLOW:
        cdbd_follow(s, msg->seq, msg->follow);
        break;
    default:
        s->agent_p->stats.rx_bad++;
        break;
    }
}

} // namespace cdbd_internal

int cdbd_agent_init(t_cdbd_agent *agent, const t_cdbd_config &config, event_base *base_p,
                    f_cdbd_send send_fn, std::string *err)
{
    agent->base_p = base_p;
    agent->send_fn = send_fn;
    agent->txn_timeout_ms = config.txn_timeout_ms;
    if (cdbd_schema_load(&agent->schema, config.yang_dir, err) != 0 ||
        cdbd_store_open(&agent->store, config.db_path, err) != 0) {
        return -1;
    }
    std::string json;
    if (cdbd_store_running(&agent->store, &json) != 0) {
        *err = "cannot read the running configuration";
        return -1;
    }
    if (!json.empty() &&
        lyd_parse_data_mem(agent->schema.ctx_p, json.c_str(), LYD_JSON,
                           LYD_PARSE_STRICT | LYD_PARSE_NO_STATE, LYD_VALIDATE_NO_STATE,
                           &agent->running_p) != LY_SUCCESS) {
        *err = "the stored running configuration does not fit the schema: " +
               cdbd_schema_error(&agent->schema);
        return -1;
    }
    if (agent->running_p == nullptr) {
        std::string verr;
        cdbd_validate(agent, &agent->running_p, &verr);
    }
    agent->txn_timer_p = evtimer_new(base_p, cdbd_txn_timer_cb, agent);
    cdbd_read_mask_set(agent, config.read_mask);
    return 0;
}

void cdbd_agent_destroy(t_cdbd_agent *agent)
{
    while (!agent->sessions.empty()) {
        cdbd_session_close(agent->sessions.back());
    }
    for (auto &job : agent->jobs) {
        cdbd_txn_free(job.get());
    }
    agent->jobs.clear();
    if (agent->txn_timer_p != nullptr) {
        event_free(agent->txn_timer_p);
        agent->txn_timer_p = nullptr;
    }
    lyd_free_all(agent->running_p);
    agent->running_p = nullptr;
    cdbd_store_close(&agent->store);
    cdbd_schema_free(&agent->schema);
}

t_cdbd_session *cdbd_session_open(t_cdbd_agent *agent, void *link_p, uint32_t peer_mod)
{
    auto *s = new t_cdbd_session;
    s->agent_p = agent;
    s->link_p = link_p;
    s->peer_mod = peer_mod;
    s->order = agent->next_order++;
    agent->sessions.push_back(s);
    return s;
}

void cdbd_session_close(t_cdbd_session *session_p)
{
    t_cdbd_agent *agent = session_p->agent_p;
    std::erase(agent->sessions, session_p);
    // Requests waiting on this daemon are answered; its own are forgotten.
    for (auto it = agent->forwards.begin(); it != agent->forwards.end();) {
        if (it->second.target_p == session_p) {
            t_cdbd_forward fwd = it->second;
            it = agent->forwards.erase(it);
            if (cdbd_session_find(agent, fwd.origin_p) != nullptr) {
                if (fwd.action) {
                    cdbd_action_fail(fwd.origin_p, fwd.origin_seq, "The daemon went away");
                } else {
                    cdbd_data_fail(fwd.origin_p, fwd.origin_seq, "The daemon went away");
                }
            }
        } else if (it->second.origin_p == session_p) {
            it->second.origin_p = nullptr;
            ++it;
        } else {
            ++it;
        }
    }
    bool waiting =
        !agent->jobs.empty() && agent->jobs.front()->batch_id != 0 &&
        agent->jobs.front()->batches[agent->jobs.front()->next - 1].session_p == session_p;
    // Jobs forget the session, so a later one at the same address is not taken for it.
    for (auto &job : agent->jobs) {
        if (job->origin_p == session_p) {
            job->origin_p = nullptr;
        }
        if (job->target_p == session_p) {
            job->target_p = nullptr;
        }
        for (t_cdbd_batch &batch : job->batches) {
            if (batch.session_p == session_p) {
                batch.session_p = nullptr;
            }
        }
    }
    delete session_p;
    // A daemon that leaves in the middle of a delivery catches up when it
    // registers again (initial read); the transaction goes on without it.
    if (waiting) {
        evtimer_del(agent->txn_timer_p);
        cdbd_txn_step(agent);
    }
}

void cdbd_session_input(t_cdbd_session *session_p, const uint8_t *data, size_t len)
{
    t_cdbd_agent *agent = session_p->agent_p;
    agent->stats.rx_msgs++;
    Cdb__CdbMsg *msg = cdb__cdb_msg__unpack(nullptr, len, data);
    if (msg == nullptr) {
        agent->stats.rx_bad++;
        ZUL_LOG_PRI(LOG_ERR, "Undecodable message of %zu bytes from module %u dropped", len,
                    session_p->peer_mod);
        return;
    }
    if (!pb_util_enums_valid(&msg->base)) {
        agent->stats.rx_bad++;
        ZUL_LOG_PRI(LOG_ERR, "Message with an unknown enumeration value from module %u dropped",
                    session_p->peer_mod);
        cdb__cdb_msg__free_unpacked(msg, nullptr);
        return;
    }
    cdbd_dispatch(session_p, msg);
    cdb__cdb_msg__free_unpacked(msg, nullptr);
}
