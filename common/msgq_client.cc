// Message-queue client side: dialling (local or TCP), the registration a
// connection opens with, redial timing and blocking mode.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/msgq_internal.h"
#include "common/msgq_util.h"
#include "common/timer.h"

using namespace msgq_internal;

namespace
{

constexpr int MSGQ_TCP_CONNECT_TIMEOUT_MS = 5000;
constexpr time_t MSGQ_BLOCKING_RX_TIMEOUT_SEC = 1;
constexpr time_t MSGQ_BLOCKING_TX_TIMEOUT_SEC = 1;

bool msgq_send_register(msgq_handle_t *h)
{
    msgq_hdr_t hdr{};
    hdr.magic1 = MSGQ_MAGIC1;
    hdr.size = MSGQ_HDR_LEN;
    hdr.src_mod = h->srcid;
    hdr.tgt_mod = h->tgtid;
    hdr.msg_type = MSGQ_HDR_TYPE_REGISTER;
    hdr.magic2 = MSGQ_MAGIC2;
    uint8_t wire[MSGQ_HDR_LEN];
    memcpy(wire, &hdr, sizeof(wire));
    // A fresh connection has room for eight bytes; anything else is a failure.
    if (!msgq_send_all(h->sock_fd, wire, sizeof(wire), 0)) {
        MSGQ_ERR("Failed to send registration on fd %d, errno %d", h->sock_fd, errno);
        return false;
    }
    h->stats.tx_register++;
    return true;
}

int msgq_build_addr(const msgq_handle_t *h, sockaddr_storage *ss, socklen_t *len)
{
    memset(ss, 0, sizeof(*ss));
    if (h->socket_type == MSGQ_SOCKET_TYPE_UNIX) {
        auto *sun = reinterpret_cast<sockaddr_un *>(ss);
        size_t plen = strnlen(h->msgq_path, sizeof(h->msgq_path));
        if (plen == 0 || plen >= sizeof(sun->sun_path)) {
            return -1;
        }
        sun->sun_family = AF_UNIX;
        memcpy(sun->sun_path, h->msgq_path, plen);
        *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + plen + 1);
        return AF_UNIX;
    }
    auto *sin = reinterpret_cast<sockaddr_in *>(ss);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(h->host_port);
    if (inet_pton(AF_INET, h->host_addr, &sin->sin_addr) != 1) {
        return -1;
    }
    *len = sizeof(*sin);
    return AF_INET;
}

// Waits for a TCP connect in progress; true when it completed without error.
bool msgq_tcp_wait(int fd)
{
    pollfd pfd{fd, POLLOUT, 0};
    int rc;
    do {
        rc = poll(&pfd, 1, MSGQ_TCP_CONNECT_TIMEOUT_MS);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) {
        MSGQ_ERR("Timeout in select");
        return false;
    }
    int err = 0;
    socklen_t elen = sizeof(err);
    return rc > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &elen) == 0 && err == 0;
}

// One connect attempt; false re-arms the timer.
bool msgq_try_connect(msgq_handle_t *h)
{
    if (h->sock_fd >= 0) {
        return true;
    }
    sockaddr_storage ss;
    socklen_t slen = 0;
    int family = msgq_build_addr(h, &ss, &slen);
    if (family < 0) {
        MSGQ_ERR("Bad address for %s", h->msgq_path);
        msgq_client_retry(h, false);
        return false;
    }
    int type = SOCK_STREAM | SOCK_CLOEXEC | (h->client_socket_blocking ? 0 : SOCK_NONBLOCK);
    int fd = socket(family, type, 0);
    if (fd < 0) {
        // Out of descriptors or memory: back off until the process recovers.
        h->stats.start_fail++;
        MSGQ_ERR("Socket init failed %d", errno);
        msgq_client_retry(h, true);
        return false;
    }
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<sockaddr *>(&ss), slen);
    } while (rc != 0 && errno == EINTR);
    bool ok = rc == 0 || (family == AF_INET && errno == EINPROGRESS && msgq_tcp_wait(fd));
    if (!ok) {
        close(fd);
        msgq_client_retry(h, false);
        return false;
    }
    timer_disable(h->conn_timer_p);
    h->retry_ms = MSGQ_CONNECT_RETRY_MS;
    if (h->client_socket_blocking) {
        msgq_set_blocking_mode(fd, true);
    }
    h->sock_fd = fd;
    msgq_rx_reset(h);
    if (!msgq_attach_events(h) || (!h->dont_register && !msgq_send_register(h))) {
        msgq_close_conn(h, true);
        return false;
    }
    list_unreg_del(h);
    list_reg_add(h);
    h->stats.conn_up++;
    if (h->app_cb.conn_up_cb != nullptr) {
        h->app_cb.conn_up_cb(h, h->user_arg_p);
    }
    return true;
}

} // namespace

namespace msgq_internal
{

// Doubling delay between retries of a start that keeps failing, capped.
uint32_t msgq_next_backoff(uint32_t ms)
{
    return std::clamp(ms * 2, MSGQ_CONNECT_RETRY_MS, MSGQ_RETRY_MAX_MS);
}

// Arms the redial: the plain period after a refused connect, a growing delay
// while not even a socket can be made.
void msgq_client_retry(msgq_handle_t *h, bool backoff)
{
    h->retry_ms = backoff ? msgq_next_backoff(h->retry_ms) : MSGQ_CONNECT_RETRY_MS;
    timer_reset(h->conn_timer_p, h->retry_ms);
}

// A blocking client waits this long for the reply of a synchronous request; the
// rest of a late reply then arrives through the loop instead of hanging it.
void msgq_set_blocking_mode(int fd, bool on)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) {
        fcntl(fd, F_SETFL, on ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
    }
    timeval tv{on ? MSGQ_BLOCKING_RX_TIMEOUT_SEC : 0, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    // A peer that stops reading must not hold the loop in a send either.
    tv = {on ? MSGQ_BLOCKING_TX_TIMEOUT_SEC : 0, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

// Sends never raise SIGPIPE (MSG_NOSIGNAL): a peer that vanished must come back
// as an error return and a closed link, not kill the daemon.
bool msgq_send_all(int fd, const uint8_t *p, size_t len, int flags)
{
    while (len > 0) {
        ssize_t n = send(fd, p, len, flags | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

int msgq_start_client(msgq_handle_t *h)
{
    if (h->app_cb.reboot_status_cb != nullptr && h->app_cb.reboot_status_cb(h)) {
        MSGQ_ERR("Reboot in progress, skip connecting to server %s", h->msgq_path);
        return MSGQ_ERR_REBOOT;
    }
    h->conn_timer_p =
        timer_util_create(h->inst_p->timer_mgr_p, TIMER_PRI_NORMAL, TIMER_TYPE_ONESHOT,
                          MSGQ_CONNECT_RETRY_MS, msgq_connect_timer, h, "msgq-timer");
    if (h->conn_timer_p == nullptr) {
        MSGQ_ERR("Failed to init connect timer for %p", static_cast<void *>(h));
        return MSGQ_ERR_FAIL;
    }
    h->retry_ms = MSGQ_CONNECT_RETRY_MS;
    // A blocking client dials at once; a failed attempt falls back to the timer
    // rather than spinning the event loop until the server appears.
    if (h->client_socket_blocking) {
        (void)msgq_try_connect(h);
        return MSGQ_OK;
    }
    timer_enable(h->conn_timer_p);
    return MSGQ_OK;
}

} // namespace msgq_internal

void msgq_connect_timer(t_timer *, void *handle_p)
{
    auto *h = static_cast<msgq_handle_t *>(handle_p);
    t_msgq_scope scope(h->inst_p);
    (void)msgq_try_connect(h);
}
