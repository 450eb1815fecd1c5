// Transactions: each commit, rollback and initial read delivered to the
// subscribed daemons in priority order, undone where one of them refuses.
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

void cdbd_job_done(t_cdbd_agent *agent)
{
    evtimer_del(agent->txn_timer_p);
    cdbd_txn_free(agent->jobs.front().get());
    agent->jobs.pop_front();
    cdbd_job_next(agent);
}

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

} // namespace

namespace cdbd_internal
{

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

void cdbd_txn_free(t_cdbd_txn *txn)
{
    lyd_free_all(txn->new_p);
    lyd_free_all(txn->diff_p);
    txn->new_p = nullptr;
    txn->diff_p = nullptr;
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

} // namespace cdbd_internal
