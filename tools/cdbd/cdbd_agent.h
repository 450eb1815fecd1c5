// The configuration agent: sessions of daemons and operators, the running
// configuration and the transactions that change it, operational values,
// show and action forwarding, and the notification log. Transport-neutral:
// the server glue hands decoded messages in and sends what the agent emits.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "proto/cdb.pb-c.h"
#include "tools/cdbd/cdbd_changes.h"
#include "tools/cdbd/cdbd_schema.h"
#include "tools/cdbd/cdbd_store.h"

struct event_base;
struct event;
struct lyd_node;
struct t_cdbd_agent;

// A configured daemon's registration.
struct t_cdbd_daemon {
    std::string mod_name;
    uint32_t mod_id = 0;
    uint32_t read_level = 3;
    std::vector<t_cdbd_sub> subs;
    std::vector<std::string> callpoints;
    std::vector<std::string> actionpoints;
    bool initial_read_queued = false;
    bool initial_read_done = false;
};

// One pending edit of an operator's candidate; the candidate is the running
// configuration with the session's edits replayed on top, so concurrent
// sessions never undo each other's commits.
struct t_cdbd_edit {
    enum e_kind : uint8_t { SET, DELETE, LOAD_REPLACE, LOAD_MERGE } kind = SET;
    std::string path;
    std::string value; // SET: value ("" with has_value false for containers); LOAD: JSON
    bool has_value = false;
};

struct t_cdbd_session {
    t_cdbd_agent *agent_p = nullptr;
    void *link_p = nullptr; // the transport's handle
    uint32_t peer_mod = 0;
    uint64_t order = 0; // connection order
    std::string user = "root";
    std::unique_ptr<t_cdbd_daemon> daemon;
    std::vector<t_cdbd_edit> edits;
    std::string load_buf; // a LoadConfig arriving in parts
    bool follow = false;
};

// Sends one message to a session; 0 on success.
using f_cdbd_send = int (*)(t_cdbd_session *session_p, const Cdb__CdbMsg *msg);

struct t_cdbd_stats {
    uint64_t rx_msgs = 0;
    uint64_t rx_bad = 0; // undecodable or unexpected messages, dropped
    uint64_t commits = 0;
    uint64_t commits_failed = 0;
    uint64_t oper_writes = 0;
    uint64_t notifications = 0;
    uint64_t refused = 0; // connections without the right credentials
};

struct t_cdbd_batch {
    uint32_t priority = 0;
    t_cdbd_session *session_p = nullptr;
    bool trigger = false;
    std::vector<std::pair<uint32_t, std::vector<t_cdbd_change>>> subs;
};

struct t_cdbd_txn {
    enum e_kind : uint8_t { COMMIT, INITIAL_READ } kind = COMMIT;
    t_cdbd_session *origin_p = nullptr; // operator to answer
    uint32_t origin_seq = 0;
    t_cdbd_session *target_p = nullptr; // initial read: the daemon
    std::string user;
    std::string comment;
    std::vector<t_cdbd_edit> edits; // commit: what to apply on running
    bool check_only = false;
    lyd_node *new_p = nullptr;
    lyd_node *diff_p = nullptr;
    std::vector<t_cdbd_batch> batches;
    size_t next = 0;       // batch to send next
    uint32_t batch_id = 0; // batch in flight, 0 when none
    bool undoing = false;  // delivering the reverse of applied batches
    std::string error;
};

// A show or action request forwarded to a daemon, waiting for its answer.
struct t_cdbd_forward {
    t_cdbd_session *origin_p = nullptr;
    uint32_t origin_seq = 0;
    t_cdbd_session *target_p = nullptr;
    bool action = false;
};

struct t_cdbd_agent {
    t_cdbd_schema schema;
    t_cdbd_store store;
    lyd_node *running_p = nullptr; // validated, defaults included
    event_base *base_p = nullptr;
    event *txn_timer_p = nullptr;
    uint32_t txn_timeout_ms = 30000;
    f_cdbd_send send_fn = nullptr;
    std::vector<t_cdbd_session *> sessions; // connection order
    uint64_t next_order = 1;
    uint32_t next_seq = 1;
    uint32_t read_mask = 0; // bits of the initial-read levels done
    std::map<std::string, std::string> oper;
    std::deque<std::unique_ptr<t_cdbd_txn>> jobs; // front is running
    std::map<uint32_t, t_cdbd_forward> forwards;
    t_cdbd_stats stats;
};

struct t_cdbd_config {
    std::string yang_dir;
    std::string db_path;
    uint32_t read_mask = 0x7; // lower initial-read levels that need no daemon
    uint32_t txn_timeout_ms = 30000;
};

int cdbd_agent_init(t_cdbd_agent *agent, const t_cdbd_config &config, event_base *base_p,
                    f_cdbd_send send_fn, std::string *err);
void cdbd_agent_destroy(t_cdbd_agent *agent);

t_cdbd_session *cdbd_session_open(t_cdbd_agent *agent, void *link_p, uint32_t peer_mod);
void cdbd_session_close(t_cdbd_session *session_p);
// One received message (the application part of a frame).
void cdbd_session_input(t_cdbd_session *session_p, const uint8_t *data, size_t len);
