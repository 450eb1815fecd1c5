// The CLI's link to the configuration agent: one local stream socket with the
// message-queue framing, a registration as the CLI module, then requests that
// each wait for the reply carrying their sequence number. Blocking: the CLI
// does one thing at a time, and monitor simply waits for the next message.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "proto/cdb.pb-c.h"

struct t_cli_msg_free {
    void operator()(Cdb__CdbMsg *msg) const { cdb__cdb_msg__free_unpacked(msg, nullptr); }
};
using t_cli_msg = std::unique_ptr<Cdb__CdbMsg, t_cli_msg_free>;

struct t_cli_conn {
    int fd = -1;
    uint32_t next_seq = 1;
    uint32_t timeout_ms = 30000; // per reply
};

// Connects, registers and says who the operator is. 0, or -1 with the reason.
int cli_conn_open(t_cli_conn *conn, const std::string &path, const std::string &user,
                  std::string *err);
void cli_conn_close(t_cli_conn *conn);
bool cli_conn_is_open(const t_cli_conn *conn);

// Sends msg with a fresh sequence number (returned in *seq_p). 0 or -1.
int cli_conn_send(t_cli_conn *conn, Cdb__CdbMsg *msg, uint32_t *seq_p, std::string *err);
// Next message from the agent; timeout_ms < 0 waits for ever. Null with the
// reason on timeout, a closed link or an undecodable message.
t_cli_msg cli_conn_recv(t_cli_conn *conn, int timeout_ms, std::string *err);
// Sends msg and returns the reply with its sequence number; anything else in
// between (notifications) is dropped.
t_cli_msg cli_conn_call(t_cli_conn *conn, Cdb__CdbMsg *msg, std::string *err);
// As cli_conn_call, but an answer of any other kind than `expected` is an error.
t_cli_msg cli_conn_call_expect(t_cli_conn *conn, Cdb__CdbMsg *msg, Cdb__CdbMsg__BodyCase expected,
                               std::string *err);

// A Result, its text parts joined.
struct t_cli_result {
    bool ok = false;
    std::string error;
    std::string text;
    uint64_t commit_id = 0;
};
// Sends msg and collects a Result answer. False when the link failed (reason
// in err); true otherwise, the agent's verdict in res.
bool cli_conn_result(t_cli_conn *conn, Cdb__CdbMsg *msg, t_cli_result *res, std::string *err);
