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
#include "zconfd/zconfd.h"

namespace
{

// Room left in one message for the texts and values of a reply.
constexpr size_t CDBD_CHUNK = MSGQ_MAX_APP_LEN - 1024;
constexpr uint32_t CDBD_MAX_COMMITS_LISTED = 1000;
constexpr uint32_t CDBD_MAX_REPLAY = 1000;
constexpr size_t CDBD_MAX_LOAD = 64 * 1024 * 1024;

// Wire values pointing into agent-owned values, alive while a message is packed.
class t_cdbd_pb_vals
{
  public:
    Cdb__Value **add(const std::vector<t_cdbd_val> &vals, size_t *n)
    {
        auto &ptrs = ptr_sets_.emplace_back();
        for (const t_cdbd_val &v : vals) {
            Cdb__Value &pb = vals_.emplace_back();
            cdbd_val_to_pb(v, &pb);
            ptrs.push_back(&pb);
        }
        *n = ptrs.size();
        return ptrs.data();
    }

  private:
    std::deque<Cdb__Value> vals_;
    std::deque<std::vector<Cdb__Value *>> ptr_sets_;
};

void cdbd_send(t_cdbd_session *s, Cdb__CdbMsg *msg)
{
    if (s->agent_p->send_fn(s, msg) != 0) {
        ZUL_LOG_PRI(LOG_ERR, "Failed to send a message to module %u", s->peer_mod);
    }
}

// A result; a long text goes out in parts, the last one with more clear.
void cdbd_reply_result(t_cdbd_session *s, uint32_t seq, bool ok, const std::string &error,
                       const std::string &text = "", uint64_t commit_id = 0)
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

void cdbd_job_next(t_cdbd_agent *agent);
void cdbd_delivery_reply(t_cdbd_session *s, const Cdb__DeliveryReply *reply);

// ---- transactions ----

// Deliveries of diff to daemon sessions, lower priority first, then in
// connection order. only_p restricts them to the batches already applied.
std::vector<t_cdbd_batch> cdbd_plan(t_cdbd_agent *agent, const lyd_node *diff,
                                    t_cdbd_session *target_p, bool trigger,
                                    const std::vector<t_cdbd_batch> *only_p)
{
    std::map<std::pair<uint32_t, uint64_t>, t_cdbd_batch> plan;
    for (t_cdbd_session *s : agent->sessions) {
        t_cdbd_daemon *d = s->daemon.get();
        if (d == nullptr || (target_p != nullptr && s != target_p) ||
            (target_p == nullptr && !d->initial_read_done)) {
            continue;
        }
        for (const t_cdbd_sub &sub : d->subs) {
            if (sub.oper) {
                continue;
            }
            struct {
                uint32_t prio;
                e_cdbd_filter filter;
            } parts[2] = {{sub.priority, CDBD_FILTER_ALL}, {0, CDBD_FILTER_ALL}};
            int nparts = 1;
            if (sub.del_priority != 0) {
                parts[0].filter = CDBD_FILTER_ADDS;
                parts[1] = {sub.del_priority, CDBD_FILTER_DELS};
                nparts = 2;
            }
            for (int i = 0; i < nparts; i++) {
                uint32_t id = i == 0 ? sub.id : sub.id | 0x80000000u;
                if (only_p != nullptr &&
                    std::none_of(only_p->begin(), only_p->end(), [&](const t_cdbd_batch &b) {
                        return b.session_p == s &&
                               std::any_of(b.subs.begin(), b.subs.end(), [&](const auto &sc) {
                                   // A row that applied a part takes back all of it.
                                   return (sc.first & 0x7fffffffu) == sub.id;
                               });
                    })) {
                    continue;
                }
                std::vector<t_cdbd_change> changes =
                    diff != nullptr ? cdbd_changes_for_sub(diff, sub, parts[i].filter, d->subs)
                                    : std::vector<t_cdbd_change>{};
                if (changes.empty() && !trigger) {
                    continue;
                }
                t_cdbd_batch &batch = plan[{parts[i].prio, s->order}];
                batch.priority = parts[i].prio;
                batch.session_p = s;
                batch.trigger = trigger;
                batch.subs.emplace_back(id, std::move(changes));
            }
        }
    }
    std::vector<t_cdbd_batch> out;
    for (auto &entry : plan) {
        out.push_back(std::move(entry.second));
    }
    return out;
}

void cdbd_txn_timer_cb(evutil_socket_t, short, void *arg)
{
    auto *agent = static_cast<t_cdbd_agent *>(arg);
    if (agent->jobs.empty() || agent->jobs.front()->batch_id == 0) {
        return;
    }
    t_cdbd_txn *txn = agent->jobs.front().get();
    t_cdbd_session *s = txn->batches[txn->next - 1].session_p;
    std::string who = s->daemon != nullptr ? s->daemon->mod_name : "a daemon";
    ZUL_LOG_PRI(LOG_ERR, "No answer from %s to a configuration delivery", who.c_str());
    // Handled as the daemon's own refusal.
    Cdb__DeliveryReply reply = CDB__DELIVERY_REPLY__INIT;
    reply.batch_id = txn->batch_id;
    reply.ok = false;
    std::string error = "no answer within " + std::to_string(agent->txn_timeout_ms) + " ms";
    reply.error = const_cast<char *>(error.c_str());
    cdbd_delivery_reply(s, &reply);
}

// Sends the batch at txn->next, in parts that fit a message.
bool cdbd_batch_send(t_cdbd_agent *agent, t_cdbd_txn *txn)
{
    static uint32_t next_batch_id = 1;
    t_cdbd_batch &batch = txn->batches[txn->next++];
    txn->batch_id = next_batch_id++;
    if (next_batch_id == 0) {
        next_batch_id = 1;
    }

    // Flattened (sub, change) parts, grouped into messages.
    struct t_part {
        Cdb__SubChanges sc;
        std::vector<Cdb__Change *> changes;
    };
    std::deque<Cdb__Change> change_store;
    t_cdbd_pb_vals vals;
    std::vector<std::deque<t_part>> msgs(1);
    size_t cur = 0;
    for (auto &[sub_id, changes] : batch.subs) {
        auto *part = &msgs.back().emplace_back();
        cdb__sub_changes__init(&part->sc);
        part->sc.sub_id = sub_id;
        for (const t_cdbd_change &c : changes) {
            Cdb__Change &pc = change_store.emplace_back();
            cdb__change__init(&pc);
            pc.op = c.op;
            pc.keys = vals.add(c.keys, &pc.n_keys);
            pc.values = vals.add(c.values, &pc.n_values);
            size_t sz = cdb__change__get_packed_size(&pc) + 16;
            if (sz > CDBD_CHUNK) {
                txn->error = txn->error.empty() ? "a change of " + std::to_string(sz) +
                                                      " bytes does not fit a message"
                                                : txn->error;
                return false;
            }
            if (cur + sz > CDBD_CHUNK) {
                msgs.emplace_back();
                part = &msgs.back().emplace_back();
                cdb__sub_changes__init(&part->sc);
                part->sc.sub_id = sub_id;
                cur = 0;
            }
            part->changes.push_back(&pc);
            cur += sz;
        }
        cur += 16;
    }
    for (size_t m = 0; m < msgs.size(); m++) {
        std::vector<Cdb__SubChanges *> subs;
        for (t_part &p : msgs[m]) {
            p.sc.changes = p.changes.data();
            p.sc.n_changes = p.changes.size();
            subs.push_back(&p.sc);
        }
        Cdb__Delivery del = CDB__DELIVERY__INIT;
        del.batch_id = txn->batch_id;
        del.trigger = batch.trigger;
        del.subs = subs.data();
        del.n_subs = subs.size();
        del.has_more = true;
        del.more = m + 1 < msgs.size();
        del.has_initial_done = true;
        del.initial_done =
            txn->kind == t_cdbd_txn::INITIAL_READ && !del.more && txn->next == txn->batches.size();
        Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
        msg.seq = agent->next_seq++;
        msg.body_case = CDB__CDB_MSG__BODY_DELIVERY;
        msg.delivery = &del;
        cdbd_send(batch.session_p, &msg);
    }
    timeval tv = {static_cast<time_t>(agent->txn_timeout_ms / 1000),
                  static_cast<suseconds_t>((agent->txn_timeout_ms % 1000) * 1000)};
    evtimer_add(agent->txn_timer_p, &tv);
    return true;
}

void cdbd_txn_free(t_cdbd_txn *txn)
{
    lyd_free_all(txn->new_p);
    lyd_free_all(txn->diff_p);
    txn->new_p = nullptr;
    txn->diff_p = nullptr;
}

void cdbd_job_done(t_cdbd_agent *agent)
{
    evtimer_del(agent->txn_timer_p);
    cdbd_txn_free(agent->jobs.front().get());
    agent->jobs.pop_front();
    cdbd_job_next(agent);
}

void cdbd_initial_read_check(t_cdbd_agent *agent);

void cdbd_txn_finish(t_cdbd_agent *agent, t_cdbd_txn *txn)
{
    t_cdbd_session *origin = cdbd_session_find(agent, txn->origin_p);
    if (txn->kind == t_cdbd_txn::INITIAL_READ) {
        t_cdbd_session *s = cdbd_session_find(agent, txn->target_p);
        if (s != nullptr && s->daemon != nullptr) {
            t_cdbd_daemon *d = s->daemon.get();
            d->initial_read_done = true;
            if (!txn->error.empty()) {
                ZUL_LOG_PRI(LOG_ERR, "Initial configuration of %s not applied: %s",
                            d->mod_name.c_str(), txn->error.c_str());
            } else {
                ZUL_LOG_PRI(LOG_INFO, "Initial configuration read by %s", d->mod_name.c_str());
            }
            if (d->read_level < 3) {
                cdbd_read_mask_set(agent, agent->read_mask | (1u << d->read_level));
            }
        }
        cdbd_job_done(agent);
        cdbd_initial_read_check(agent);
        return;
    }
    if (!txn->error.empty()) {
        agent->stats.commits_failed++;
        if (origin != nullptr) {
            cdbd_reply_result(origin, txn->origin_seq, false,
                              "Unable to apply changes: " + txn->error);
        }
        cdbd_job_done(agent);
        return;
    }
    std::string json = cdbd_tree_json(txn->new_p);
    uint64_t id = 0;
    std::string err;
    if (cdbd_store_commit(&agent->store, json, txn->user, txn->comment, &id, &err) != 0) {
        ZUL_LOG_PRI(LOG_ERR, "Failed to store commit: %s", err.c_str());
        if (origin != nullptr) {
            cdbd_reply_result(origin, txn->origin_seq, false,
                              "Applied but not stored, the database refused: " + err);
        }
    } else if (origin != nullptr) {
        origin->edits.clear();
        cdbd_reply_result(origin, txn->origin_seq, true, "", "", id);
    }
    agent->stats.commits++;
    ZUL_LOG_PRI(LOG_INFO, "Commit %lu by %s", static_cast<unsigned long>(id), txn->user.c_str());
    lyd_free_all(agent->running_p);
    agent->running_p = txn->new_p;
    txn->new_p = nullptr;
    cdbd_job_done(agent);
}

void cdbd_txn_step(t_cdbd_agent *agent);

// After a failure: the subscriptions that applied their part get the reverse
// of the transaction, so that their daemons match running again.
void cdbd_txn_undo(t_cdbd_agent *agent, t_cdbd_txn *txn, std::vector<t_cdbd_batch> applied)
{
    txn->undoing = true;
    txn->batches.clear();
    txn->next = 0;
    txn->batch_id = 0;
    if (txn->kind == t_cdbd_txn::COMMIT && !applied.empty()) {
        lyd_node *reverse = nullptr;
        if (lyd_diff_reverse_all(txn->diff_p, &reverse) == LY_SUCCESS) {
            txn->batches = cdbd_plan(agent, reverse, nullptr, false, &applied);
        }
        lyd_free_all(reverse);
    }
    cdbd_txn_step(agent);
}

// Next batch of the transaction at the front, or its end.
void cdbd_txn_step(t_cdbd_agent *agent)
{
    t_cdbd_txn *txn = agent->jobs.front().get();
    txn->batch_id = 0;
    while (txn->next < txn->batches.size()) {
        if (cdbd_session_find(agent, txn->batches[txn->next].session_p) == nullptr) {
            txn->next++;
            continue;
        }
        if (cdbd_batch_send(agent, txn)) {
            return;
        }
        if (!txn->undoing) {
            cdbd_txn_undo(
                agent, txn,
                std::vector<t_cdbd_batch>(txn->batches.begin(),
                                          txn->batches.begin() + static_cast<long>(txn->next - 1)));
            return;
        }
    }
    cdbd_txn_finish(agent, txn);
}

void cdbd_txn_start(t_cdbd_agent *agent, t_cdbd_txn *txn)
{
    if (txn->kind == t_cdbd_txn::INITIAL_READ) {
        t_cdbd_session *s = cdbd_session_find(agent, txn->target_p);
        if (s == nullptr || s->daemon == nullptr) {
            cdbd_job_done(agent);
            return;
        }
        if (agent->running_p != nullptr) {
            lyd_diff_siblings(nullptr, agent->running_p, LYD_DIFF_DEFAULTS, &txn->diff_p);
        }
        txn->batches = cdbd_plan(agent, txn->diff_p, s, true, nullptr);
        cdbd_txn_step(agent);
        return;
    }
    t_cdbd_session *origin = cdbd_session_find(agent, txn->origin_p);
    std::string err;
    if (!cdbd_candidate_build(agent, txn->edits, &txn->new_p, &err) ||
        !cdbd_validate(agent, &txn->new_p, &err)) {
        if (origin != nullptr) {
            cdbd_reply_result(origin, txn->origin_seq, false, err);
        }
        agent->stats.commits_failed++;
        cdbd_job_done(agent);
        return;
    }
    lyd_diff_siblings(agent->running_p, txn->new_p, LYD_DIFF_DEFAULTS, &txn->diff_p);
    if (txn->diff_p == nullptr || txn->check_only) {
        if (origin != nullptr) {
            if (txn->diff_p == nullptr && !txn->check_only) {
                origin->edits.clear();
            }
            cdbd_reply_result(origin, txn->origin_seq, true, "",
                              txn->diff_p == nullptr ? "No modifications to commit\n"
                                                     : "Validation complete\n");
        }
        cdbd_job_done(agent);
        return;
    }
    txn->batches = cdbd_plan(agent, txn->diff_p, nullptr, false, nullptr);
    cdbd_txn_step(agent);
}

void cdbd_job_next(t_cdbd_agent *agent)
{
    if (!agent->jobs.empty()) {
        cdbd_txn_start(agent, agent->jobs.front().get());
    }
}

void cdbd_job_add(t_cdbd_agent *agent, std::unique_ptr<t_cdbd_txn> txn)
{
    agent->jobs.push_back(std::move(txn));
    if (agent->jobs.size() == 1) {
        cdbd_job_next(agent);
    }
}

// Queues the initial read of every registered daemon whose lower levels are done.
void cdbd_initial_read_check(t_cdbd_agent *agent)
{
    for (t_cdbd_session *s : agent->sessions) {
        t_cdbd_daemon *d = s->daemon.get();
        if (d == nullptr || d->initial_read_queued) {
            continue;
        }
        uint32_t need = (1u << std::min<uint32_t>(d->read_level, 3)) - 1;
        if ((agent->read_mask & need) != need) {
            ZUL_LOG_PRI(LOG_INFO,
                        "Initial config read not allowed (curr priority:%u, mod priority:%u)",
                        agent->read_mask, d->read_level);
            continue;
        }
        d->initial_read_queued = true;
        auto txn = std::make_unique<t_cdbd_txn>();
        txn->kind = t_cdbd_txn::INITIAL_READ;
        txn->target_p = s;
        cdbd_job_add(agent, std::move(txn));
    }
}

void cdbd_delivery_reply(t_cdbd_session *s, const Cdb__DeliveryReply *reply)
{
    t_cdbd_agent *agent = s->agent_p;
    if (agent->jobs.empty()) {
        agent->stats.rx_bad++;
        return;
    }
    t_cdbd_txn *txn = agent->jobs.front().get();
    if (txn->batch_id == 0 || reply->batch_id != txn->batch_id ||
        txn->batches[txn->next - 1].session_p != s) {
        agent->stats.rx_bad++;
        return;
    }
    evtimer_del(agent->txn_timer_p);
    if (!reply->ok && !txn->undoing) {
        std::string who = s->daemon != nullptr ? s->daemon->mod_name : "daemon";
        txn->error = who + ": " + (reply->error != nullptr ? reply->error : "refused");
        ZUL_LOG_PRI(LOG_ERR, "Configuration refused by %s", txn->error.c_str());
        // The batches before, and the rows of the refused batch the daemon applied.
        std::vector<t_cdbd_batch> applied(txn->batches.begin(),
                                          txn->batches.begin() + static_cast<long>(txn->next));
        std::erase_if(applied.back().subs, [&](const auto &sc) {
            return std::find(reply->applied_subs, reply->applied_subs + reply->n_applied_subs,
                             sc.first) == reply->applied_subs + reply->n_applied_subs;
        });
        cdbd_txn_undo(agent, txn, std::move(applied));
        return;
    }
    cdbd_txn_step(agent);
}

// ---- registration ----

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

// ---- operational data and notifications ----

void cdbd_oper_write(t_cdbd_session *s, const Cdb__OperWrite *ow)
{
    t_cdbd_agent *agent = s->agent_p;
    agent->stats.oper_writes++;
    switch (ow->op) {
    case CDB__OPER_OP__OPER_DEL:
        cdbd_oper_delete(agent, ow->path);
        break;
    case CDB__OPER_OP__OPER_CREATE:
        agent->oper.emplace(ow->path, "");
        break;
    default: {
        t_cdbd_val val;
        if (ow->value == nullptr || !cdbd_val_from_pb(ow->value, &val)) {
            agent->stats.rx_bad++;
            return;
        }
        cdbd_oper_set(agent, ow->path, cdbd_val_text(val));
        break;
    }
    }
}

std::string cdbd_json_escape(const std::string &in)
{
    std::string out;
    for (char c : in) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
        } else {
            out += c;
        }
    }
    return out;
}

// JSON object text of tagged values (begin/end nest, others are members).
std::string cdbd_values_json(const t_cdbd_schema *schema, const std::vector<t_cdbd_val> &vals)
{
    std::string out = "{";
    bool first = true;
    int depth = 0;
    for (const t_cdbd_val &v : vals) {
        const char *name = cdbd_schema_tag_name(schema, v.tag);
        std::string key = name != nullptr ? name : std::to_string(v.tag);
        if (v.type == ZCONFD_VT_XMLEND) {
            if (depth > 0) {
                out += "}";
                depth--;
            }
            first = false;
            continue;
        }
        if (!first) {
            out += ",";
        }
        first = false;
        out += "\"" + cdbd_json_escape(key) + "\":";
        switch (v.type) {
        case ZCONFD_VT_XMLBEGIN:
            out += "{";
            depth++;
            first = true;
            break;
        case ZCONFD_VT_NOEXISTS:
            out += "null";
            break;
        case ZCONFD_VT_BOOL:
        case ZCONFD_VT_INT:
        case ZCONFD_VT_ENUM:
        case ZCONFD_VT_UINT8:
        case ZCONFD_VT_UINT16:
        case ZCONFD_VT_UINT32:
        case ZCONFD_VT_UINT64:
        case ZCONFD_VT_BITS:
            out += cdbd_val_text(v);
            break;
        default:
            out += "\"" + cdbd_json_escape(cdbd_val_text(v)) + "\"";
            break;
        }
    }
    for (; depth > 0; depth--) {
        out += "}";
    }
    return out + "}";
}

void cdbd_notif_send(t_cdbd_session *s, const t_cdbd_notif_rec &rec)
{
    Cdb__Notification n = CDB__NOTIFICATION__INIT;
    n.module = const_cast<char *>(rec.module.c_str());
    n.time_us = rec.time_us;
    n.name = const_cast<char *>(rec.name.c_str());
    n.text = const_cast<char *>(rec.text.c_str());
    n.has_id = true;
    n.id = rec.id;
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.body_case = CDB__CDB_MSG__BODY_NOTIFICATION;
    msg.notification = &n;
    cdbd_send(s, &msg);
}

void cdbd_notification(t_cdbd_session *s, const Cdb__Notification *pn)
{
    t_cdbd_agent *agent = s->agent_p;
    std::vector<t_cdbd_val> vals;
    for (size_t i = 0; i < pn->n_values; i++) {
        t_cdbd_val v;
        if (!cdbd_val_from_pb(pn->values[i], &v)) {
            agent->stats.rx_bad++;
            return;
        }
        vals.push_back(std::move(v));
    }
    if (vals.empty() || vals[0].type != ZCONFD_VT_XMLBEGIN) {
        agent->stats.rx_bad++;
        return;
    }
    agent->stats.notifications++;
    t_cdbd_notif_rec rec;
    rec.module = s->daemon != nullptr ? s->daemon->mod_name : pn->module;
    rec.time_us = pn->time_us;
    const char *name = cdbd_schema_tag_name(&agent->schema, vals[0].tag);
    rec.name = name != nullptr ? name : std::to_string(vals[0].tag);
    rec.text = cdbd_values_json(&agent->schema, vals);
    if (cdbd_store_notif_add(&agent->store, &rec) != 0) {
        ZUL_LOG_PRI(LOG_ERR, "Failed to store a notification of %s", rec.module.c_str());
    }
    for (t_cdbd_session *f : agent->sessions) {
        if (f->follow) {
            cdbd_notif_send(f, rec);
        }
    }
}

// ---- show and actions ----

t_cdbd_session *cdbd_point_owner(t_cdbd_agent *agent, const std::string &name, bool action)
{
    t_cdbd_session *owner = nullptr;
    for (t_cdbd_session *s : agent->sessions) {
        if (s->daemon == nullptr) {
            continue;
        }
        const auto &points = action ? s->daemon->actionpoints : s->daemon->callpoints;
        if (std::find(points.begin(), points.end(), name) != points.end()) {
            owner = s;
        }
    }
    return owner;
}

// Key leaves of a list and of its ancestor lists, root first.
std::vector<const lysc_node *> cdbd_key_leaves(const lysc_node *snode)
{
    std::vector<const lysc_node *> chain;
    for (const lysc_node *s = snode; s != nullptr; s = s->parent) {
        if (s->nodetype == LYS_LIST) {
            chain.insert(chain.begin(), s);
        }
    }
    std::vector<const lysc_node *> keys;
    for (const lysc_node *list : chain) {
        const lysc_node *child;
        LY_LIST_FOR(lysc_node_child(list), child)
        {
            if (lysc_is_key(child)) {
                keys.push_back(child);
            }
        }
    }
    return keys;
}

void cdbd_data_fail(t_cdbd_session *s, uint32_t seq, const std::string &error)
{
    Cdb__DataReply dr = CDB__DATA_REPLY__INIT;
    dr.found = false;
    dr.error = const_cast<char *>(error.c_str());
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.seq = seq;
    msg.body_case = CDB__CDB_MSG__BODY_DATA_REPLY;
    msg.data_reply = &dr;
    cdbd_send(s, &msg);
}

void cdbd_action_fail(t_cdbd_session *s, uint32_t seq, const std::string &error)
{
    Cdb__ActionReply ar = CDB__ACTION_REPLY__INIT;
    ar.ok = false;
    ar.error = const_cast<char *>(error.c_str());
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.seq = seq;
    msg.body_case = CDB__CDB_MSG__BODY_ACTION_REPLY;
    msg.action_reply = &ar;
    cdbd_send(s, &msg);
}

void cdbd_data_request(t_cdbd_session *s, uint32_t seq, const Cdb__DataRequest *req)
{
    t_cdbd_agent *agent = s->agent_p;
    t_cdbd_session *owner = cdbd_point_owner(agent, req->callpoint, false);
    if (owner == nullptr) {
        cdbd_data_fail(s, seq, std::string("No daemon serves ") + req->callpoint);
        return;
    }
    // Keys given as text are typed by the callpoint's list in the schema.
    std::vector<const lysc_node *> key_leaves;
    if (auto it = agent->schema.callpoints.find(req->callpoint);
        it != agent->schema.callpoints.end()) {
        key_leaves = cdbd_key_leaves(it->second);
    }
    std::vector<t_cdbd_val> keys;
    for (size_t i = 0; i < req->n_keys; i++) {
        t_cdbd_val v;
        if (!cdbd_val_from_pb(req->keys[i], &v)) {
            cdbd_data_fail(s, seq, "Malformed key");
            return;
        }
        if (v.type == ZCONFD_VT_STR && i < key_leaves.size()) {
            std::string err;
            if (!cdbd_val_from_text(&agent->schema, key_leaves[i], v.s, &v, &err)) {
                cdbd_data_fail(s, seq, err);
                return;
            }
        }
        keys.push_back(std::move(v));
    }
    t_cdbd_pb_vals pv;
    Cdb__DataRequest fwd = CDB__DATA_REQUEST__INIT;
    fwd.callpoint = req->callpoint;
    fwd.op = req->op;
    fwd.keys = pv.add(keys, &fwd.n_keys);
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.seq = agent->next_seq++;
    msg.body_case = CDB__CDB_MSG__BODY_DATA_REQUEST;
    msg.data_request = &fwd;
    agent->forwards[msg.seq] = {s, seq, owner, false};
    cdbd_send(owner, &msg);
}

void cdbd_action_request(t_cdbd_session *s, uint32_t seq, const Cdb__ActionRequest *req)
{
    t_cdbd_agent *agent = s->agent_p;
    t_cdbd_session *owner = cdbd_point_owner(agent, req->actionpoint, true);
    if (owner == nullptr) {
        cdbd_action_fail(s, seq, std::string("No daemon serves ") + req->actionpoint);
        return;
    }
    const lysc_node *input = nullptr;
    if (auto it = agent->schema.actionpoints.find(req->actionpoint);
        it != agent->schema.actionpoints.end()) {
        input = lysc_node_child(it->second);
        while (input != nullptr && input->nodetype != LYS_INPUT) {
            input = input->next;
        }
    }
    std::vector<t_cdbd_val> params;
    for (size_t i = 0; i < req->n_params; i++) {
        const Cdb__ActionParam *p = req->params[i];
        t_cdbd_val v;
        const lysc_node *leaf =
            input != nullptr ? lys_find_child(input, input->module, p->name, 0, 0, 0) : nullptr;
        if (input != nullptr && leaf == nullptr) {
            cdbd_action_fail(s, seq, std::string("Unknown parameter ") + p->name);
            return;
        }
        if (leaf != nullptr) {
            std::string err;
            if (!cdbd_val_from_text(&agent->schema, leaf, p->value, &v, &err)) {
                cdbd_action_fail(s, seq, err);
                return;
            }
        } else {
            v.tag = zconfd_tag(p->name);
            v.type = ZCONFD_VT_STR;
            v.s = p->value;
        }
        params.push_back(std::move(v));
    }
    for (size_t i = 0; i < req->n_values; i++) {
        t_cdbd_val v;
        if (!cdbd_val_from_pb(req->values[i], &v)) {
            cdbd_action_fail(s, seq, "Malformed parameter");
            return;
        }
        params.push_back(std::move(v));
    }
    t_cdbd_pb_vals pv;
    Cdb__ActionRequest fwd = CDB__ACTION_REQUEST__INIT;
    fwd.actionpoint = req->actionpoint;
    fwd.action = req->action;
    fwd.argv = req->argv;
    fwd.n_argv = req->n_argv;
    fwd.values = pv.add(params, &fwd.n_values);
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.seq = agent->next_seq++;
    msg.body_case = CDB__CDB_MSG__BODY_ACTION_REQUEST;
    msg.action_request = &fwd;
    agent->forwards[msg.seq] = {s, seq, owner, true};
    cdbd_send(owner, &msg);
}

// A daemon's answer to a forwarded request, relayed with node names filled in.
void cdbd_forward_reply(t_cdbd_session *s, Cdb__CdbMsg *msg)
{
    t_cdbd_agent *agent = s->agent_p;
    auto it = agent->forwards.find(msg->seq);
    bool action = msg->body_case == CDB__CDB_MSG__BODY_ACTION_REPLY;
    if (it == agent->forwards.end() || it->second.target_p != s || it->second.action != action) {
        agent->stats.rx_bad++;
        return;
    }
    t_cdbd_forward fwd = it->second;
    agent->forwards.erase(it);
    t_cdbd_session *origin = cdbd_session_find(agent, fwd.origin_p);
    if (origin == nullptr) {
        return;
    }
    msg->seq = fwd.origin_seq;
    // Names point into the schema while the reply is relayed.
    std::vector<Cdb__Value *> named;
    if (!action) {
        for (size_t i = 0; i < msg->data_reply->n_values; i++) {
            t_zconfd_value check;
            if (!zconfd_pb_to_value(msg->data_reply->values[i], &check)) {
                cdbd_data_fail(origin, fwd.origin_seq, "Malformed reply from the daemon");
                return;
            }
        }
        for (size_t i = 0; i < msg->data_reply->n_values; i++) {
            Cdb__Value *v = msg->data_reply->values[i];
            const char *name = cdbd_schema_tag_name(&agent->schema, v->tag);
            if (v->name == nullptr && name != nullptr) {
                v->name = const_cast<char *>(name);
                named.push_back(v);
            }
        }
    }
    cdbd_send(origin, msg);
    for (Cdb__Value *v : named) {
        v->name = nullptr;
    }
}

// ---- operator sessions ----

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

} // namespace

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
