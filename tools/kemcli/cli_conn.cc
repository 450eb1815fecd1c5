#include "tools/kemcli/cli_conn.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/msgq_util.h"
#include "common/pb_util.h"
#include "common/zul_module.h"

namespace
{

bool cli_conn_write_all(int fd, const uint8_t *buf, size_t len, std::string *err)
{
    while (len > 0) {
        ssize_t n = send(fd, buf, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            *err = std::string("lost the configuration agent: ") + strerror(errno);
            return false;
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Reads exactly len bytes; the deadline covers the whole message.
bool cli_conn_read_all(int fd, uint8_t *buf, size_t len, int timeout_ms, std::string *err)
{
    while (len > 0) {
        pollfd pfd{fd, POLLIN, 0};
        int rc = poll(&pfd, 1, timeout_ms);
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc == 0) {
            *err = "no answer from the configuration agent";
            return false;
        }
        ssize_t n = rc < 0 ? -1 : recv(fd, buf, len, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            *err = "the configuration agent closed the connection";
            return false;
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

msgq_hdr_t cli_conn_hdr(msgq_hdr_type_e type, size_t app_len)
{
    msgq_hdr_t hdr{};
    hdr.magic1 = MSGQ_MAGIC1;
    hdr.size = static_cast<uint16_t>(MSGQ_HDR_LEN + app_len);
    hdr.src_mod = ZUL_MODULE_CLI;
    hdr.tgt_mod = ZUL_MODULE_CDB;
    hdr.msg_type = type;
    hdr.magic2 = MSGQ_MAGIC2;
    return hdr;
}

} // namespace

int cli_conn_open(t_cli_conn *conn, const std::string &path, const std::string &user,
                  std::string *err)
{
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    if (path.size() >= sizeof(sun.sun_path)) {
        *err = "socket path too long: " + path;
        return -1;
    }
    memcpy(sun.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = std::string("socket: ") + strerror(errno);
        return -1;
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)) != 0) {
        *err = "configuration agent not running (" + path + ": " + strerror(errno) + ")";
        close(fd);
        return -1;
    }
    conn->fd = fd;
    msgq_hdr_t reg = cli_conn_hdr(MSGQ_HDR_TYPE_REGISTER, 0);
    if (!cli_conn_write_all(fd, reinterpret_cast<const uint8_t *>(&reg), sizeof(reg), err)) {
        cli_conn_close(conn);
        return -1;
    }
    Cdb__Hello hello = CDB__HELLO__INIT;
    hello.user = const_cast<char *>(user.c_str());
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.body_case = CDB__CDB_MSG__BODY_HELLO;
    msg.hello = &hello;
    t_cli_result res;
    if (!cli_conn_result(conn, &msg, &res, err)) {
        cli_conn_close(conn);
        return -1;
    }
    return 0;
}

void cli_conn_close(t_cli_conn *conn)
{
    if (conn->fd >= 0) {
        close(conn->fd);
        conn->fd = -1;
    }
}

bool cli_conn_is_open(const t_cli_conn *conn) { return conn->fd >= 0; }

int cli_conn_send(t_cli_conn *conn, Cdb__CdbMsg *msg, uint32_t *seq_p, std::string *err)
{
    if (conn->fd < 0) {
        *err = "not connected to the configuration agent";
        return -1;
    }
    msg->seq = conn->next_seq++;
    size_t len = cdb__cdb_msg__get_packed_size(msg);
    if (len > MSGQ_MAX_APP_LEN) {
        *err = "request too large for one message";
        return -1;
    }
    std::vector<uint8_t> buf(MSGQ_HDR_LEN + len);
    msgq_hdr_t hdr = cli_conn_hdr(MSGQ_HDR_TYPE_APP, len);
    memcpy(buf.data(), &hdr, sizeof(hdr));
    cdb__cdb_msg__pack(msg, buf.data() + MSGQ_HDR_LEN);
    if (!cli_conn_write_all(conn->fd, buf.data(), buf.size(), err)) {
        cli_conn_close(conn);
        return -1;
    }
    if (seq_p != nullptr) {
        *seq_p = msg->seq;
    }
    return 0;
}

t_cli_msg cli_conn_recv(t_cli_conn *conn, int timeout_ms, std::string *err)
{
    while (conn->fd >= 0) {
        msgq_hdr_t hdr;
        if (!cli_conn_read_all(conn->fd, reinterpret_cast<uint8_t *>(&hdr), sizeof(hdr), timeout_ms,
                               err)) {
            cli_conn_close(conn);
            return nullptr;
        }
        if (hdr.magic1 != MSGQ_MAGIC1 || hdr.magic2 != MSGQ_MAGIC2 || hdr.size < MSGQ_HDR_LEN) {
            *err = "garbled message from the configuration agent";
            cli_conn_close(conn);
            return nullptr;
        }
        std::vector<uint8_t> body(hdr.size - MSGQ_HDR_LEN);
        if (!cli_conn_read_all(conn->fd, body.data(), body.size(), timeout_ms, err)) {
            cli_conn_close(conn);
            return nullptr;
        }
        if (hdr.msg_type != MSGQ_HDR_TYPE_APP) {
            continue;
        }
        Cdb__CdbMsg *msg = cdb__cdb_msg__unpack(nullptr, body.size(), body.data());
        if (msg != nullptr && !pb_util_enums_valid(&msg->base)) {
            cdb__cdb_msg__free_unpacked(msg, nullptr);
            msg = nullptr;
        }
        if (msg == nullptr) {
            *err = "undecodable message from the configuration agent";
            cli_conn_close(conn);
            return nullptr;
        }
        return t_cli_msg(msg);
    }
    *err = "not connected to the configuration agent";
    return nullptr;
}

t_cli_msg cli_conn_call(t_cli_conn *conn, Cdb__CdbMsg *msg, std::string *err)
{
    uint32_t seq = 0;
    if (cli_conn_send(conn, msg, &seq, err) != 0) {
        return nullptr;
    }
    for (;;) {
        t_cli_msg reply = cli_conn_recv(conn, static_cast<int>(conn->timeout_ms), err);
        if (reply == nullptr ||
            (reply->seq == seq && reply->body_case != CDB__CDB_MSG__BODY_NOTIFICATION)) {
            return reply;
        }
    }
}

t_cli_msg cli_conn_call_expect(t_cli_conn *conn, Cdb__CdbMsg *msg, Cdb__CdbMsg__BodyCase expected,
                               std::string *err)
{
    t_cli_msg reply = cli_conn_call(conn, msg, err);
    if (reply != nullptr && reply->body_case != expected) {
        *err = "unexpected answer from the configuration agent";
        return nullptr;
    }
    return reply;
}

bool cli_conn_result(t_cli_conn *conn, Cdb__CdbMsg *msg, t_cli_result *res, std::string *err)
{
    t_cli_msg reply = cli_conn_call(conn, msg, err);
    uint32_t seq = msg->seq;
    *res = t_cli_result{};
    while (reply != nullptr) {
        if (reply->body_case != CDB__CDB_MSG__BODY_RESULT) {
            *err = "unexpected answer from the configuration agent";
            return false;
        }
        const Cdb__Result *r = reply->result;
        res->ok = r->ok;
        if (r->error != nullptr) {
            res->error = r->error;
        }
        if (r->text != nullptr) {
            res->text += r->text;
        }
        if (r->has_commit_id) {
            res->commit_id = r->commit_id;
        }
        if (!r->has_more || !r->more) {
            return true;
        }
        do {
            reply = cli_conn_recv(conn, static_cast<int>(conn->timeout_ms), err);
        } while (reply != nullptr && reply->seq != seq);
    }
    return false;
}
