#include "common/msgq_util.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <event2/event.h>
#include <event2/listener.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "common/timer.h"
#include "common/zul_assert.h"
#include "common/zul_module.h"

namespace
{

msgq_instance_t *g_msgq_inst_p = nullptr;

constexpr int MSGQ_DEFAULT_FACILITY = LOG_LOCAL7;
constexpr int MSGQ_TCP_CONNECT_TIMEOUT_MS = 5000;
// Written over the magic of a freed message so a second free is caught.
constexpr uint16_t MSGQ_MAGIC1_FREED = 0xDEAD;
constexpr time_t MSGQ_BLOCKING_RX_TIMEOUT_SEC = 1;
constexpr time_t MSGQ_BLOCKING_TX_TIMEOUT_SEC = 1;
constexpr mode_t MSGQ_LISTENER_MODE = 0660;

int msgq_facility()
{
    return g_msgq_inst_p != nullptr ? g_msgq_inst_p->syslog_id : MSGQ_DEFAULT_FACILITY;
}

#define MSGQ_ERR(fmt, ...)                                                                         \
    syslog(msgq_facility() | LOG_DEBUG, "[MSG-ERR] %s[%d]: " fmt, __func__,                        \
           static_cast<int>(__LINE__), ##__VA_ARGS__)

[[noreturn]] void msgq_fatal(const char *func, unsigned line, const char *what)
{
    syslog(msgq_facility() | LOG_DEBUG, "[MSG-ERR] %s[%u]: %s", func, line, what);
    zul_assert_fail(__FILE__, line, what);
}

#define MSGQ_FATAL(what) msgq_fatal(__func__, static_cast<unsigned>(__LINE__), (what))

// Every entry from the loop or the application runs inside a scope; handles
// destroyed meanwhile are freed, and an empty instance released, only when the
// outermost scope unwinds, so no callback frame is left holding freed memory.
void msgq_reap(msgq_instance_t *inst);
msgq_server_t *msgq_find_server(msgq_instance_t *inst, const char *path);

struct t_msgq_scope {
    msgq_instance_t *inst_p;
    explicit t_msgq_scope(msgq_instance_t *inst) : inst_p(inst) { inst_p->cb_depth++; }
    ~t_msgq_scope()
    {
        if (--inst_p->cb_depth == 0) {
            msgq_reap(inst_p);
        }
    }
    t_msgq_scope(const t_msgq_scope &) = delete;
    t_msgq_scope &operator=(const t_msgq_scope &) = delete;
};

void *msgq_alloc(const msgq_handle_t *h, size_t size)
{
    return h != nullptr && h->app_cb.malloc_cb != nullptr ? h->app_cb.malloc_cb(size)
                                                          : malloc(size);
}

void msgq_release(const msgq_handle_t *h, void *p)
{
    if (h != nullptr && h->app_cb.free_cb != nullptr) {
        h->app_cb.free_cb(p);
    } else {
        free(p);
    }
}

msgq_framing_t msgq_handle_framing(const msgq_handle_t *h)
{
    return msgq_framing_t{h->use_app_header != 0, h->app_header_size, h->app_msglen_offset};
}

// In application-header mode the allocation still starts with a library header
// (never sent) so that buffers are checked and freed the same way in both modes.
size_t msgq_wire_offset(const msgq_handle_t *h) { return h->use_app_header ? MSGQ_HDR_LEN : 0; }

void msgq_stamp(uint8_t *alloc, size_t alloc_len)
{
    msgq_hdr_t hdr{};
    hdr.magic1 = MSGQ_MAGIC1;
    hdr.magic2 = MSGQ_MAGIC2;
    hdr.size = static_cast<uint16_t>(alloc_len > MSGQ_MAX_MSG_SIZE ? MSGQ_MAX_MSG_SIZE : alloc_len);
    memcpy(alloc, &hdr, sizeof(hdr));
}

// ---- lists ----

void list_unreg_add(msgq_handle_t *h)
{
    ZUL_ASSERT(!h->in_unreg_list && !h->in_reg_list && !h->in_tmp_list);
    TAILQ_INSERT_TAIL(&h->inst_p->unreg_msgq_listhead, h, unreg_list_entry);
    h->in_unreg_list = 1;
}

void list_unreg_del(msgq_handle_t *h)
{
    if (h->in_unreg_list) {
        TAILQ_REMOVE(&h->inst_p->unreg_msgq_listhead, h, unreg_list_entry);
        h->in_unreg_list = 0;
    }
}

void list_reg_add(msgq_handle_t *h)
{
    ZUL_ASSERT(!h->in_unreg_list && !h->in_reg_list && !h->in_tmp_list);
    TAILQ_INSERT_TAIL(&h->inst_p->reg_msgq_listhead, h, reg_list_entry);
    h->in_reg_list = 1;
}

void list_reg_del(msgq_handle_t *h)
{
    if (h->in_reg_list) {
        TAILQ_REMOVE(&h->inst_p->reg_msgq_listhead, h, reg_list_entry);
        h->in_reg_list = 0;
    }
}

void list_tmp_del(msgq_handle_t *h)
{
    if (h->in_tmp_list) {
        TAILQ_REMOVE(&h->inst_p->tmp_msgq_listhead, h, tmp_list_entry);
        h->in_tmp_list = 0;
        h->inst_p->num_tmp--;
    }
}

void msgq_bury(msgq_handle_t *h)
{
    h->destroy_pending = 1;
    h->zombie_next_p = h->inst_p->zombie_head_p;
    h->inst_p->zombie_head_p = h;
}

// ---- connection ----

void msgq_free_events(msgq_handle_t *h)
{
    if (h->read_ev_p != nullptr) {
        event_free(h->read_ev_p);
        h->read_ev_p = nullptr;
    }
    for (event *&ev : h->write_ev_p) {
        if (ev != nullptr) {
            event_free(ev);
            ev = nullptr;
        }
    }
    h->write_ev_set = 0;
}

bool msgq_add_read_event(msgq_handle_t *h)
{
    h->read_ev_p =
        event_new(h->inst_p->app_evbase_p, h->sock_fd, EV_READ | EV_PERSIST, msgq_read_cb, h);
    return h->read_ev_p != nullptr && event_add(h->read_ev_p, nullptr) == 0;
}

bool msgq_attach_events(msgq_handle_t *h)
{
    for (event *&ev : h->write_ev_p) {
        ev = event_new(h->inst_p->app_evbase_p, h->sock_fd, EV_WRITE, msgq_write_cb, h);
        if (ev == nullptr) {
            return false;
        }
    }
    h->write_ev_set = 0;
    h->write_ev_index = 0;
    if (h->type == MSGQ_HANDLE_TYPE_CLIENT && h->client_socket_blocking) {
        return true;
    }
    return msgq_add_read_event(h);
}

void msgq_free_queue(msgq_handle_t *h)
{
    while (msgq_buf_t *node = h->buf_head_p) {
        h->buf_head_p = node->buf_next_p;
        msgq_release(h, node->buf_p);
        h->stats.msg_frees++;
        free(node);
    }
    h->buf_tail_p = nullptr;
    h->tx_bytes = 0;
    h->stats.tx_queued = 0;
    h->stats.tx_dequeued = 0;
}

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

void msgq_close_conn(msgq_handle_t *h, bool reconnect)
{
    h->stats.conn_close++;
    h->down_pending = 0;
    msgq_free_events(h);
    msgq_free_queue(h);
    msgq_rx_reset(h);
    if (h->sock_fd >= 0) {
        shutdown(h->sock_fd, SHUT_RDWR);
        close(h->sock_fd);
        h->sock_fd = -1;
    }
    if (reconnect && h->type == MSGQ_HANDLE_TYPE_CLIENT && h->conn_timer_p != nullptr &&
        !h->destroy_pending) {
        msgq_client_retry(h, false);
    }
    if (h->in_reg_list) {
        list_reg_del(h);
        list_unreg_add(h);
        h->stats.conn_down++;
        if (h->app_cb.conn_down_cb != nullptr) {
            h->app_cb.conn_down_cb(h, h->user_arg_p);
        }
    }
    // A template's connection handle lives exactly as long as its link.
    if (h->parent_p != nullptr && !h->destroy_pending) {
        msgq_destroy(h);
    }
}

// An accepted connection that never became a handle's.
void msgq_tmp_close(msgq_handle_t *tmp)
{
    msgq_free_events(tmp);
    msgq_rx_reset(tmp);
    if (tmp->sock_fd >= 0) {
        if (msgq_server_t *srv = msgq_find_server(tmp->inst_p, tmp->msgq_path)) {
            srv->stats.conn_close++;
        }
        shutdown(tmp->sock_fd, SHUT_RDWR);
        close(tmp->sock_fd);
        tmp->sock_fd = -1;
    }
    list_tmp_del(tmp);
    msgq_bury(tmp);
}

// The handle takes a connected socket: events, registered list, conn_up_cb.
void msgq_conn_established(msgq_handle_t *h, int fd, uid_t peer_uid)
{
    h->sock_fd = fd;
    h->peer_uid = peer_uid;
    msgq_rx_reset(h);
    if (!msgq_attach_events(h)) {
        MSGQ_ERR("Failed to create events for fd %d", fd);
        msgq_close_conn(h, true);
        return;
    }
    list_unreg_del(h);
    list_reg_add(h);
    h->stats.conn_up++;
    if (h->app_cb.conn_up_cb != nullptr) {
        h->app_cb.conn_up_cb(h, h->user_arg_p);
    }
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

int msgq_start_client(msgq_handle_t *h)
{
    if (h->app_cb.reboot_status_cb != nullptr && h->app_cb.reboot_status_cb(h)) {
        MSGQ_ERR("Reboot in progress, skip connecting to server %s", h->msgq_path);
        return MSGQ_ERR_REBOOT;
    }
    h->conn_timer_p = timer_util_create(
        h->inst_p->timer_mgr_p, TIMER_PRI_NORMAL, TIMER_TYPE_ONESHOT, MSGQ_CONNECT_RETRY_MS,
        msgq_connect_timer, h, nullptr, nullptr, nullptr, "msgq-timer");
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

// ---- servers ----

msgq_server_t *msgq_find_server(msgq_instance_t *inst, const char *path)
{
    msgq_server_t *srv;
    TAILQ_FOREACH(srv, &inst->server_head, server_entry)
    {
        if (strncmp(srv->msgq_path, path, MSGQ_PATH_LEN) == 0) {
            return srv;
        }
    }
    return nullptr;
}

int msgq_open_listener(msgq_server_t *srv);

void msgq_server_retry_cb(t_timer *, void *server_p, void *, void *, void *)
{
    auto *srv = static_cast<msgq_server_t *>(server_p);
    t_msgq_scope scope(srv->inst_p);
    if (srv->server_listener_p != nullptr) {
        evconnlistener_enable(srv->server_listener_p);
    } else {
        (void)msgq_open_listener(srv);
    }
}

// A listener that failed to open, or whose accept ran out of descriptors, tries
// again after a growing delay: neither given up for good nor a busy loop.
bool msgq_server_retry(msgq_server_t *srv)
{
    msgq_instance_t *inst = srv->inst_p;
    if (srv->retry_timer_p == nullptr && inst->timer_mgr_p != nullptr) {
        srv->retry_timer_p = timer_util_create(
            inst->timer_mgr_p, TIMER_PRI_NORMAL, TIMER_TYPE_ONESHOT, MSGQ_CONNECT_RETRY_MS,
            msgq_server_retry_cb, srv, nullptr, nullptr, nullptr, "msgq-listen-retry");
    }
    if (srv->retry_timer_p == nullptr) {
        MSGQ_ERR("No timer to retry the listener of %s", srv->msgq_path);
        return false;
    }
    srv->retry_ms = msgq_next_backoff(srv->retry_ms);
    timer_reset(srv->retry_timer_p, srv->retry_ms);
    return true;
}

void msgq_listener_error_cb(evconnlistener *listener, void *arg)
{
    auto *srv = static_cast<msgq_server_t *>(arg);
    int err = EVUTIL_SOCKET_ERROR();
    t_msgq_scope scope(srv->inst_p);
    srv->stats.accept_fail++;
    MSGQ_ERR("Accept failed on %s, errno %d", srv->msgq_path, err);
    // The waiting connection keeps the listener readable: without a pause every
    // turn of the loop would fail the same way.
    if (msgq_server_retry(srv)) {
        evconnlistener_disable(listener);
    }
}

int msgq_bind_listener(msgq_server_t *srv)
{
    if (unlink(srv->msgq_path) != 0 && errno != ENOENT) {
        MSGQ_ERR("Path %s exists, failed to remove", srv->msgq_path);
        return MSGQ_ERR_PATH;
    }
    sockaddr_un sun{};
    size_t plen = strnlen(srv->msgq_path, sizeof(srv->msgq_path));
    if (plen == 0 || plen >= sizeof(sun.sun_path)) {
        MSGQ_ERR("Failed to start listener for %s", srv->msgq_path);
        return MSGQ_ERR_INVALID;
    }
    sun.sun_family = AF_UNIX;
    memcpy(sun.sun_path, srv->msgq_path, plen);
    srv->server_listener_p = evconnlistener_new_bind(
        srv->inst_p->app_evbase_p, msgq_listener_cb, srv,
        LEV_OPT_CLOSE_ON_FREE | LEV_OPT_CLOSE_ON_EXEC | LEV_OPT_REUSEABLE, -1,
        reinterpret_cast<sockaddr *>(&sun), static_cast<int>(sizeof(sun)));
    if (srv->server_listener_p == nullptr) {
        MSGQ_ERR("Failed to start listener for %s", srv->msgq_path);
        return MSGQ_ERR_FAIL;
    }
    evconnlistener_set_error_cb(srv->server_listener_p, msgq_listener_error_cb);
    if (srv->peer_group_set && chown(srv->msgq_path, static_cast<uid_t>(-1), srv->peer_gid) != 0) {
        MSGQ_ERR("Failed to change group of %s", srv->msgq_path);
    }
    if (chmod(srv->msgq_path, MSGQ_LISTENER_MODE) != 0) {
        MSGQ_ERR("Failed to change permission for %s", srv->msgq_path);
    }
    srv->retry_ms = 0;
    return MSGQ_OK;
}

int msgq_open_listener(msgq_server_t *srv)
{
    int rc = msgq_bind_listener(srv);
    // A path that cannot be a socket address never will be.
    if (rc != MSGQ_OK && rc != MSGQ_ERR_INVALID) {
        srv->stats.start_fail++;
        (void)msgq_server_retry(srv);
    }
    return rc;
}

// Admits root, this process's own user and the configured group, by the
// credentials the peer had when it connected.
bool msgq_peer_allowed(const msgq_server_t *srv, int fd, ucred *cred)
{
    socklen_t len = sizeof(*cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, cred, &len) != 0) {
        return false;
    }
    if (cred->uid == 0 || cred->uid == geteuid()) {
        return true;
    }
    if (!srv->peer_group_set) {
        return false;
    }
    if (cred->gid == srv->peer_gid) {
        return true;
    }
    std::vector<gid_t> groups(64);
    len = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    int rc = getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len);
    if (rc != 0 && errno == ERANGE) {
        groups.resize(len / sizeof(gid_t));
        rc = getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len);
    }
    if (rc != 0) {
        return false;
    }
    groups.resize(len / sizeof(gid_t));
    return std::find(groups.begin(), groups.end(), srv->peer_gid) != groups.end();
}

// A live peer is replaced only by a connection of the same user: anyone else
// the listener admits could otherwise evict it and take over its link.
bool msgq_may_replace(msgq_server_t *srv, msgq_handle_t *h, uid_t uid)
{
    if (h->peer_uid == uid) {
        return true;
    }
    if (srv != nullptr) {
        srv->stats.conn_refused++;
    }
    h->stats.conn_refused++;
    MSGQ_ERR("Peer of uid %u may not replace the peer of uid %u on %s", static_cast<unsigned>(uid),
             static_cast<unsigned>(h->peer_uid), h->msgq_path);
    return false;
}

int msgq_start_server(msgq_handle_t *h, const msgq_app_params_t *params)
{
    msgq_instance_t *inst = h->inst_p;
    msgq_server_t *srv = msgq_find_server(inst, h->msgq_path);
    bool shared = srv != nullptr && srv->server_listener_p != nullptr;
    if (srv == nullptr) {
        srv = static_cast<msgq_server_t *>(calloc(1, sizeof(msgq_server_t)));
        if (srv == nullptr) {
            return MSGQ_ERR_FAIL;
        }
        srv->inst_p = inst;
        srv->srcid = h->srcid;
        memcpy(srv->msgq_path, h->msgq_path, sizeof(srv->msgq_path));
        srv->listener_apphdr = h->use_app_header;
        srv->peer_group_set = params->peer_group_set;
        srv->peer_gid = params->peer_gid;
        TAILQ_INSERT_TAIL(&inst->server_head, srv, server_entry);
    }
    srv->ref_count++;
    h->server_p = srv;
    if (srv->listener_apphdr) {
        srv->apphead_msgq_handle_p = h;
    }
    if (shared) {
        return MSGQ_ERR_PATH;
    }
    return msgq_open_listener(srv);
}

void msgq_server_detach(msgq_handle_t *h)
{
    msgq_server_t *srv = h->server_p;
    if (srv == nullptr) {
        return;
    }
    h->server_p = nullptr;
    if (srv->apphead_msgq_handle_p == h) {
        srv->apphead_msgq_handle_p = nullptr;
    }
    if (--srv->ref_count > 0) {
        return;
    }
    if (srv->retry_timer_p != nullptr) {
        timer_util_delete(srv->retry_timer_p);
    }
    if (srv->server_listener_p != nullptr) {
        evconnlistener_free(srv->server_listener_p);
        unlink(srv->msgq_path);
    }
    TAILQ_REMOVE(&srv->inst_p->server_head, srv, server_entry);
    free(srv);
}

// Connection handles of a template never take registrations themselves.
bool msgq_registrant_match(const msgq_handle_t *h, const msgq_hdr_t &hdr, const char *path)
{
    return h->type == MSGQ_HANDLE_TYPE_SERVER && h->parent_p == nullptr &&
           h->srcid == hdr.tgt_mod && h->tgtid == hdr.src_mod &&
           strncmp(h->msgq_path, path, MSGQ_PATH_LEN) == 0;
}

msgq_handle_t *msgq_find_registrant(msgq_handle_list_t *list, bool reg, const msgq_hdr_t &hdr,
                                    const char *path)
{
    msgq_handle_t *h;
    if (reg) {
        TAILQ_FOREACH(h, list, reg_list_entry)
        {
            if (msgq_registrant_match(h, hdr, path)) {
                return h;
            }
        }
    } else {
        TAILQ_FOREACH(h, list, unreg_list_entry)
        {
            if (msgq_registrant_match(h, hdr, path)) {
                return h;
            }
        }
    }
    return nullptr;
}

// A live connection handle of the template, nullptr when none is left.
msgq_handle_t *msgq_first_conn(const msgq_instance_t *inst, const msgq_handle_t *tmpl)
{
    if (!tmpl->multi_conn) {
        return nullptr;
    }
    msgq_handle_t *h;
    TAILQ_FOREACH(h, &inst->reg_msgq_listhead, reg_list_entry)
    {
        if (h->parent_p == tmpl && !h->destroy_pending) {
            return h;
        }
    }
    // One in the middle of its own conn_down_cb.
    TAILQ_FOREACH(h, &inst->unreg_msgq_listhead, unreg_list_entry)
    {
        if (h->parent_p == tmpl && !h->destroy_pending) {
            return h;
        }
    }
    return nullptr;
}

// A connection handle for one registration on a multi-connection template.
msgq_handle_t *msgq_conn_create(msgq_handle_t *tmpl)
{
    if (tmpl->num_conns >= MSGQ_MAX_TMP_CONNS) {
        MSGQ_ERR("Too many connections for %u->%u on %s", tmpl->tgtid, tmpl->srcid,
                 tmpl->msgq_path);
        return nullptr;
    }
    auto *h = static_cast<msgq_handle_t *>(calloc(1, sizeof(msgq_handle_t)));
    if (h == nullptr) {
        return nullptr;
    }
    h->srcid = tmpl->srcid;
    h->tgtid = tmpl->tgtid;
    h->type = tmpl->type;
    h->inst_p = tmpl->inst_p;
    h->sock_fd = -1;
    h->app_cb = tmpl->app_cb;
    h->dont_register = tmpl->dont_register;
    h->user_arg_p = tmpl->user_arg_p;
    h->socket_type = tmpl->socket_type;
    h->tx_queue_max = tmpl->tx_queue_max;
    memcpy(h->msgq_path, tmpl->msgq_path, sizeof(h->msgq_path));
    h->parent_p = tmpl;
    tmpl->num_conns++;
    return h;
}

// The first message of an accepted connection says which handle it serves.
void msgq_handle_register_msg(msgq_handle_t *tmp)
{
    msgq_instance_t *inst = tmp->inst_p;
    msgq_hdr_t hdr;
    memcpy(&hdr, tmp->rx_hdr, sizeof(hdr));
    if (msgq_server_t *srv = msgq_find_server(inst, tmp->msgq_path)) {
        srv->stats.rx_register++;
    }
    msgq_handle_t *h = msgq_find_registrant(&inst->unreg_msgq_listhead, false, hdr, tmp->msgq_path);
    if (h == nullptr) {
        h = msgq_find_registrant(&inst->reg_msgq_listhead, true, hdr, tmp->msgq_path);
        if (h != nullptr &&
            !msgq_may_replace(msgq_find_server(inst, tmp->msgq_path), h, tmp->peer_uid)) {
            msgq_tmp_close(tmp);
            return;
        }
        if (h != nullptr) {
            // The peer reconnected while its old connection still stood.
            h->stats.conn_exist++;
            msgq_close_conn(h, false);
            if (h->destroy_pending || h->sock_fd >= 0) {
                h = nullptr;
            }
        }
    }
    if (h == nullptr) {
        MSGQ_ERR("No handle for registration %u->%u on %s, closing fd %d", hdr.src_mod, hdr.tgt_mod,
                 tmp->msgq_path, tmp->sock_fd);
        msgq_tmp_close(tmp);
        return;
    }
    h->stats.rx_register++;
    if (h->multi_conn) {
        msgq_handle_t *conn = msgq_conn_create(h);
        if (conn == nullptr) {
            msgq_tmp_close(tmp);
            return;
        }
        h->stats.conn_up++;
        h = conn;
        h->stats.rx_register++;
    }
    int fd = tmp->sock_fd;
    uid_t uid = tmp->peer_uid;
    tmp->sock_fd = -1;
    msgq_tmp_close(tmp);
    msgq_conn_established(h, fd, uid);
}

ssize_t msgq_socket_pull(void *ctx, void *buf, size_t len)
{
    auto *h = static_cast<msgq_handle_t *>(ctx);
    int flags = h->type == MSGQ_HANDLE_TYPE_CLIENT && h->client_socket_blocking ? MSG_WAITALL
                                                                                : MSG_DONTWAIT;
    ssize_t n;
    do {
        n = recv(h->sock_fd, buf, len, flags);
    } while (n < 0 && errno == EINTR);
    return n;
}

void msgq_flush(msgq_handle_t *h);

void msgq_arm_write(msgq_handle_t *h)
{
    if (h->write_ev_set) {
        return;
    }
    event *ev = h->write_ev_p[h->write_ev_index];
    if (ev != nullptr && event_add(ev, nullptr) == 0) {
        h->write_ev_set = 1;
    }
}

// Closing here would run conn_down_cb inside the application's own write; the
// write event, made active whether or not the socket is writable (a peer that
// stopped reading never makes it so), closes the link on the next turn.
void msgq_close_soon(msgq_handle_t *h)
{
    h->down_pending = 1;
    event *ev = h->write_ev_p[h->write_ev_index];
    if (ev != nullptr) {
        event_active(ev, EV_WRITE, 1);
        h->write_ev_set = 1;
    }
}

void msgq_flush(msgq_handle_t *h)
{
    size_t wire_off = msgq_wire_offset(h);
    while (msgq_buf_t *node = h->buf_head_p) {
        const uint8_t *wire = node->buf_p + wire_off;
        ssize_t n = send(h->sock_fd, wire + node->buf_offset,
                         static_cast<size_t>(node->buf_size - node->buf_offset),
                         MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            int err = errno;
            h->stats.tx_fail++;
            if (h->socket_type == MSGQ_SOCKET_TYPE_TCP) {
                MSGQ_ERR("Error in sending message to %d, err %d, msg_size is %d", h->sock_fd, err,
                         static_cast<int>(node->buf_size));
                if (err == EPIPE) {
                    MSGQ_ERR("BROKEN PIPE");
                }
            }
            msgq_close_soon(h);
            return;
        }
        if (n > 0) {
            node->buf_offset = static_cast<uint16_t>(node->buf_offset + n);
            h->tx_bytes -= static_cast<uint32_t>(n);
        }
        if (node->buf_offset < node->buf_size) {
            h->stats.tx_resched++;
            msgq_arm_write(h);
            return;
        }
        h->buf_head_p = node->buf_next_p;
        if (h->buf_head_p == nullptr) {
            h->buf_tail_p = nullptr;
        }
        h->stats.tx_msg++;
        h->stats.tx_dequeued++;
        h->stats.msg_frees++;
        msgq_release(h, node->buf_p);
        free(node);
    }
}

// ---- instance ----

msgq_instance_t *msgq_instance_create(const msgq_app_params_t *params)
{
    auto *inst = static_cast<msgq_instance_t *>(calloc(1, sizeof(msgq_instance_t)));
    if (inst == nullptr) {
        return nullptr;
    }
    TAILQ_INIT(&inst->reg_msgq_listhead);
    TAILQ_INIT(&inst->unreg_msgq_listhead);
    TAILQ_INIT(&inst->tmp_msgq_listhead);
    TAILQ_INIT(&inst->server_head);
    inst->app_evbase_p = params->app_evbase_p;
    inst->timer_mgr_p = params->timer_mgr_p;
    inst->syslog_id = params->syslog_id != 0 ? params->syslog_id : MSGQ_DEFAULT_FACILITY;
    return inst;
}

void msgq_reap(msgq_instance_t *inst)
{
    while (msgq_handle_t *z = inst->zombie_head_p) {
        inst->zombie_head_p = z->zombie_next_p;
        free(z);
    }
    if (!TAILQ_EMPTY(&inst->reg_msgq_listhead) || !TAILQ_EMPTY(&inst->unreg_msgq_listhead)) {
        return;
    }
    while (msgq_handle_t *tmp = TAILQ_FIRST(&inst->tmp_msgq_listhead)) {
        msgq_tmp_close(tmp);
        inst->zombie_head_p = nullptr;
        free(tmp);
    }
    ZUL_ASSERT(TAILQ_EMPTY(&inst->server_head));
    if (g_msgq_inst_p == inst) {
        g_msgq_inst_p = nullptr;
    }
    free(inst);
}

bool msgq_params_valid(msgq_handle_type_e type, const msgq_app_params_t *params,
                       const msgq_app_cb_t *cbs)
{
    if (params == nullptr || cbs == nullptr || params->app_evbase_p == nullptr) {
        return false;
    }
    if (type != MSGQ_HANDLE_TYPE_SERVER && type != MSGQ_HANDLE_TYPE_CLIENT) {
        return false;
    }
    if (type == MSGQ_HANDLE_TYPE_CLIENT && params->timer_mgr_p == nullptr) {
        return false;
    }
    // Servers listen on local sockets only.
    if (type == MSGQ_HANDLE_TYPE_SERVER && params->socket_type == MSGQ_SOCKET_TYPE_TCP) {
        return false;
    }
    if (cbs->msg_read_cb == nullptr || cbs->msg_write_cb == nullptr) {
        return false;
    }
    // Connections are told apart by their registration.
    if (params->multi_conn && (type != MSGQ_HANDLE_TYPE_SERVER || params->use_app_header)) {
        return false;
    }
    if (params->use_app_header) {
        // The 16-bit length must lie inside the header.
        if (params->app_header_size < 1 || params->app_header_size > MSGQ_APP_HDR_MAX ||
            params->app_msglen_offset + 2u > params->app_header_size) {
            return false;
        }
    }
    return true;
}

bool msgq_same_handle(const msgq_handle_t *h, uint8_t srcid, uint8_t tgtid, uint8_t type,
                      const char *path)
{
    return h->srcid == srcid && h->tgtid == tgtid && h->type == type &&
           strncmp(h->msgq_path, path, MSGQ_PATH_LEN) == 0;
}

bool msgq_duplicate(const msgq_instance_t *inst, uint8_t srcid, uint8_t tgtid, uint8_t type,
                    const char *path)
{
    const msgq_handle_t *h;
    TAILQ_FOREACH(h, &inst->reg_msgq_listhead, reg_list_entry)
    {
        if (msgq_same_handle(h, srcid, tgtid, type, path)) {
            return true;
        }
    }
    TAILQ_FOREACH(h, &inst->unreg_msgq_listhead, unreg_list_entry)
    {
        if (msgq_same_handle(h, srcid, tgtid, type, path)) {
            return true;
        }
    }
    return false;
}

void msgq_populate_path(char *path, uint8_t srcid, uint8_t tgtid, msgq_handle_type_e type,
                        const msgq_app_params_t *params)
{
    size_t plen = strnlen(params->msg_path, sizeof(params->msg_path));
    if (plen > 0) {
        snprintf(path, MSGQ_PATH_LEN, "%.*s", static_cast<int>(plen), params->msg_path);
        return;
    }
    snprintf(path, MSGQ_PATH_LEN, "/var/run/.%s",
             zul_module_name(type == MSGQ_HANDLE_TYPE_SERVER ? srcid : tgtid));
}

// ---- dump ----

void msgq_out(void *user_p, msgq_dump_out_t out, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

void msgq_out(void *user_p, msgq_dump_out_t out, const char *fmt, ...)
{
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    if (out != nullptr) {
        out(user_p, line);
    } else if (user_p != nullptr) {
        fprintf(static_cast<FILE *>(user_p), "%s\n", line);
    }
}

void msgq_dump_stats(void *user_p, msgq_dump_out_t out, const msgq_stats_t &s)
{
    static constexpr struct {
        const char *name;
        uint32_t msgq_stats_t::*field;
    } counters[] = {
        {"tx_msg", &msgq_stats_t::tx_msg},
        {"tx_fail", &msgq_stats_t::tx_fail},
        {"rx_msg", &msgq_stats_t::rx_msg},
        {"rx_fail", &msgq_stats_t::rx_fail},
        {"tx_resched", &msgq_stats_t::tx_resched},
        {"tx_write_cb", &msgq_stats_t::tx_write_cb},
        {"rx_register", &msgq_stats_t::rx_register},
        {"tx_register", &msgq_stats_t::tx_register},
        {"conn_up", &msgq_stats_t::conn_up},
        {"conn_down", &msgq_stats_t::conn_down},
        {"conn_close", &msgq_stats_t::conn_close},
        {"conn_exist", &msgq_stats_t::conn_exist},
        {"msg_allocs", &msgq_stats_t::msg_allocs},
        {"msg_frees", &msgq_stats_t::msg_frees},
        {"alloc_failed", &msgq_stats_t::alloc_failed},
        {"tx_queued", &msgq_stats_t::tx_queued},
        {"tx_dequeued", &msgq_stats_t::tx_dequeued},
        {"tx_queue_failed", &msgq_stats_t::tx_queue_failed},
        {"rx_read_helper_cb", &msgq_stats_t::rx_read_helper_cb},
        {"rx_read_helper_scheduled", &msgq_stats_t::rx_read_helper_scheduled},
        {"conn_refused", &msgq_stats_t::conn_refused},
        {"tx_overflow", &msgq_stats_t::tx_overflow},
        {"accept_fail", &msgq_stats_t::accept_fail},
        {"start_fail", &msgq_stats_t::start_fail},
    };
    for (const auto &c : counters) {
        if (s.*c.field != 0) {
            msgq_out(user_p, out, "    %-26s %u", c.name, s.*c.field);
        }
    }
}

const char *msgq_type_name(uint8_t type)
{
    return type == MSGQ_HANDLE_TYPE_SERVER   ? "server"
           : type == MSGQ_HANDLE_TYPE_CLIENT ? "client"
                                             : "unknown";
}

} // namespace

// ---- framing ----

size_t msgq_framing_hdr_len(const msgq_framing_t *framing)
{
    return framing->use_app_header ? framing->app_header_size : MSGQ_HDR_LEN;
}

msgq_frame_t msgq_frame_decode_hdr(const msgq_framing_t *framing, const uint8_t *hdr)
{
    msgq_frame_t fr{};
    if (framing->use_app_header) {
        if (framing->app_msglen_offset + 2u > framing->app_header_size) {
            fr.kind = MSGQ_FRAME_BAD_LEN;
            return fr;
        }
        const uint8_t *p = hdr + framing->app_msglen_offset;
        fr.msg_size = static_cast<uint16_t>((p[0] << 8) | p[1]);
        fr.kind = fr.msg_size <= framing->app_header_size ? MSGQ_FRAME_BAD_LEN : MSGQ_FRAME_MSG;
        return fr;
    }
    msgq_hdr_t h;
    memcpy(&h, hdr, sizeof(h));
    fr.msg_size = h.size;
    fr.src_mod = h.src_mod;
    fr.tgt_mod = h.tgt_mod;
    if (h.msg_type == MSGQ_HDR_TYPE_REGISTER) {
        fr.kind = MSGQ_FRAME_REGISTER;
    } else if (h.size <= MSGQ_HDR_LEN) {
        fr.kind = MSGQ_FRAME_TOO_SHORT;
    } else {
        fr.kind = MSGQ_FRAME_MSG;
    }
    return fr;
}

void msgq_rx_reset(msgq_handle_t *handle)
{
    if (handle->rx_buf_p != nullptr) {
        msgq_release(handle, handle->rx_buf_p);
        handle->stats.msg_frees++;
        handle->rx_buf_p = nullptr;
    }
    handle->rx_bytes = 0;
    handle->rx_msg_size = 0;
}

msgq_rx_result_e msgq_rx_step(msgq_handle_t *h, msgq_pull_fn pull, void *ctx, void **msg_pp,
                              uint32_t *len_p)
{
    const msgq_framing_t framing = msgq_handle_framing(h);
    const size_t hdr_len = msgq_framing_hdr_len(&framing);
    const size_t prefix = msgq_wire_offset(h);

    if (h->rx_msg_size == 0) {
        while (h->rx_bytes < hdr_len) {
            size_t want = hdr_len - h->rx_bytes;
            ssize_t n = pull(ctx, h->rx_hdr + h->rx_bytes, want);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return MSGQ_RX_AGAIN;
            }
            if (n <= 0) {
                if (h->use_app_header) {
                    MSGQ_ERR("Failed to peek %d bytes, errno: %d, read_bytes: %d",
                             static_cast<int>(want), n < 0 ? errno : 0, static_cast<int>(n));
                }
                return MSGQ_RX_CLOSED;
            }
            h->rx_bytes = static_cast<uint16_t>(h->rx_bytes + n);
        }
        msgq_frame_t fr = msgq_frame_decode_hdr(&framing, h->rx_hdr);
        if (h->in_tmp_list && fr.kind != MSGQ_FRAME_REGISTER) {
            h->rx_bytes = 0;
            return MSGQ_RX_NOT_REGISTER;
        }
        switch (fr.kind) {
        case MSGQ_FRAME_REGISTER:
            h->rx_bytes = 0;
            return MSGQ_RX_REGISTER;
        case MSGQ_FRAME_TOO_SHORT: {
            msgq_hdr_t hdr;
            memcpy(&hdr, h->rx_hdr, sizeof(hdr));
            MSGQ_ERR("Bad message size (%d). Must be more than (%d). Magic1 (%d)Dropping the "
                     "message on fd '%d'",
                     static_cast<int>(hdr.size), static_cast<int>(MSGQ_HDR_LEN),
                     static_cast<int>(hdr.magic1), h->sock_fd);
            h->rx_bytes = 0;
            return MSGQ_RX_SKIPPED;
        }
        case MSGQ_FRAME_BAD_LEN:
            // Without a usable length the stream cannot be resynchronised.
            MSGQ_ERR("Bad message length %u for a %u-byte header on fd %d",
                     static_cast<unsigned>(fr.msg_size), static_cast<unsigned>(hdr_len),
                     h->sock_fd);
            h->rx_bytes = 0;
            return MSGQ_RX_CLOSED;
        case MSGQ_FRAME_MSG:
            break;
        }
        size_t alloc_len = prefix + fr.msg_size;
        h->rx_buf_p = static_cast<uint8_t *>(msgq_alloc(h, alloc_len));
        if (h->rx_buf_p == nullptr) {
            h->stats.alloc_failed++;
            MSGQ_FATAL("Out of memory for a received message");
        }
        h->stats.msg_allocs++;
        memcpy(h->rx_buf_p + prefix, h->rx_hdr, hdr_len);
        h->rx_msg_size = fr.msg_size;
    }

    uint8_t *data = h->rx_buf_p + prefix;
    while (h->rx_bytes < h->rx_msg_size) {
        size_t want = static_cast<size_t>(h->rx_msg_size - h->rx_bytes);
        ssize_t n = pull(ctx, data + h->rx_bytes, want);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return MSGQ_RX_AGAIN;
        }
        if (n <= 0) {
            if (h->use_app_header) {
                MSGQ_ERR("Failed to read %d bytes, errno: %d, read_bytes: %d",
                         static_cast<int>(want), n < 0 ? errno : 0, static_cast<int>(n));
            }
            return MSGQ_RX_CLOSED;
        }
        h->rx_bytes = static_cast<uint16_t>(h->rx_bytes + n);
    }
    size_t alloc_len = prefix + h->rx_msg_size;
    if (prefix != 0) {
        msgq_stamp(h->rx_buf_p, alloc_len);
    } else {
        // The wire's magic is not checked; ours goes back so msgq_msg_free and
        // msgq_write accept the buffer.
        auto *hdr = reinterpret_cast<msgq_hdr_t *>(h->rx_buf_p);
        hdr->magic1 = MSGQ_MAGIC1;
        hdr->magic2 = MSGQ_MAGIC2;
    }
    *msg_pp = h->rx_buf_p + MSGQ_HDR_LEN;
    *len_p = static_cast<uint32_t>(alloc_len - MSGQ_HDR_LEN);
    h->rx_buf_p = nullptr;
    h->rx_bytes = 0;
    h->rx_msg_size = 0;
    return MSGQ_RX_MSG;
}

// ---- public interface ----

msgq_instance_t *msgq_get_instance() { return g_msgq_inst_p; }

msgq_handle_t *msgq_init(uint8_t srcid, uint8_t tgtid, msgq_handle_type_e type,
                         const msgq_app_params_t *params, const msgq_app_cb_t *cbs,
                         void *user_arg_p)
{
    if (srcid < MSGQ_MODULE_MIN || srcid > MSGQ_MODULE_MAX || tgtid < MSGQ_MODULE_MIN ||
        tgtid > MSGQ_MODULE_MAX) {
        return nullptr;
    }
    if (!msgq_params_valid(type, params, cbs)) {
        MSGQ_FATAL("Validation of parameters failed");
    }
    if (g_msgq_inst_p == nullptr) {
        g_msgq_inst_p = msgq_instance_create(params);
        if (g_msgq_inst_p == nullptr) {
            return nullptr;
        }
    }
    msgq_instance_t *inst = g_msgq_inst_p;
    t_msgq_scope scope(inst);
    if (inst->timer_mgr_p == nullptr) {
        inst->timer_mgr_p = params->timer_mgr_p;
    }

    char path[MSGQ_PATH_LEN];
    msgq_populate_path(path, srcid, tgtid, type, params);
    if (msgq_duplicate(inst, srcid, tgtid, type, path)) {
        MSGQ_FATAL("Duplicate msgq_handle found");
    }
    if (type == MSGQ_HANDLE_TYPE_SERVER) {
        // One listener per path: its handles agree on framing, and an
        // application-header listener serves exactly one handle.
        const msgq_server_t *srv = msgq_find_server(inst, path);
        if (srv != nullptr &&
            (srv->listener_apphdr != params->use_app_header || srv->listener_apphdr ||
             srv->peer_group_set != params->peer_group_set ||
             (srv->peer_group_set && srv->peer_gid != params->peer_gid))) {
            MSGQ_FATAL("Validation of parameters failed");
        }
    }
    if (params->socket_type != MSGQ_SOCKET_TYPE_UNIX &&
        params->socket_type != MSGQ_SOCKET_TYPE_TCP) {
        MSGQ_FATAL("Unsupported socket type");
    }

    auto *h = static_cast<msgq_handle_t *>(calloc(1, sizeof(msgq_handle_t)));
    if (h == nullptr) {
        return nullptr;
    }
    h->srcid = srcid;
    h->tgtid = tgtid;
    h->type = type;
    h->inst_p = inst;
    h->user_arg_p = user_arg_p;
    h->sock_fd = -1;
    h->peer_uid = static_cast<uid_t>(-1);
    h->tx_queue_max = params->tx_queue_max != 0 ? params->tx_queue_max : MSGQ_TX_QUEUE_MAX_DEFAULT;
    h->dont_register = params->dont_register || params->use_app_header;
    h->client_socket_blocking =
        type == MSGQ_HANDLE_TYPE_CLIENT ? params->client_socket_blocking : 0;
    h->use_app_header = params->use_app_header;
    h->multi_conn = params->multi_conn;
    h->app_header_size = params->app_header_size;
    h->app_msglen_offset = params->app_msglen_offset;
    h->socket_type = params->socket_type;
    if (params->socket_type == MSGQ_SOCKET_TYPE_UNIX) {
        memcpy(h->msgq_path, path, sizeof(h->msgq_path));
    } else {
        h->host_port = params->host_port;
        snprintf(h->host_addr, sizeof(h->host_addr), "%.*s",
                 static_cast<int>(strnlen(params->host_addr, sizeof(params->host_addr))),
                 params->host_addr);
        snprintf(h->msgq_path, sizeof(h->msgq_path), "%.40s:%u", h->host_addr,
                 static_cast<unsigned>(h->host_port));
    }
    h->app_cb = *cbs;
    list_unreg_add(h);
    if (type == MSGQ_HANDLE_TYPE_SERVER) {
        (void)msgq_start_server(h, params);
    } else {
        (void)msgq_start_client(h);
    }
    return h;
}

void msgq_destroy(msgq_handle_t *handle)
{
    if (handle == nullptr || handle->destroy_pending) {
        return;
    }
    msgq_instance_t *inst = handle->inst_p;
    t_msgq_scope scope(inst);
    handle->destroy_pending = 1;
    while (msgq_handle_t *conn = msgq_first_conn(inst, handle)) {
        msgq_destroy(conn);
    }
    if (handle->parent_p != nullptr) {
        handle->parent_p->num_conns--;
    }
    if (handle->sock_fd >= 0 || handle->in_reg_list) {
        msgq_close_conn(handle, false);
    }
    list_reg_del(handle);
    list_unreg_del(handle);
    if (handle->conn_timer_p != nullptr) {
        timer_util_delete(handle->conn_timer_p);
        handle->conn_timer_p = nullptr;
    }
    msgq_server_detach(handle);
    msgq_bury(handle);
}

bool msgq_ready(const msgq_handle_t *handle)
{
    return handle != nullptr && handle->sock_fd >= 0 && !handle->down_pending &&
           !handle->destroy_pending && !handle->in_tmp_list;
}

void *msgq_msg_malloc(msgq_handle_t *handle, uint32_t len)
{
    if (handle == nullptr || len > MSGQ_MAX_APP_LEN) {
        return nullptr;
    }
    auto *alloc = static_cast<uint8_t *>(msgq_alloc(handle, len + MSGQ_HDR_LEN));
    if (alloc == nullptr) {
        handle->stats.alloc_failed++;
        return nullptr;
    }
    handle->stats.msg_allocs++;
    msgq_stamp(alloc, len + MSGQ_HDR_LEN);
    return alloc + MSGQ_HDR_LEN;
}

void msgq_msg_free(msgq_handle_t *handle, void *buf)
{
    if (buf == nullptr) {
        return;
    }
    auto *alloc = static_cast<uint8_t *>(buf) - MSGQ_HDR_LEN;
    msgq_hdr_t hdr;
    memcpy(&hdr, alloc, sizeof(hdr));
    if (hdr.magic1 != MSGQ_MAGIC1 || hdr.magic2 != MSGQ_MAGIC2) {
        MSGQ_FATAL("Freeing a buffer without valid magic");
    }
    hdr.magic1 = MSGQ_MAGIC1_FREED;
    memcpy(alloc, &hdr, sizeof(hdr));
    if (handle != nullptr) {
        handle->stats.msg_frees++;
    }
    msgq_release(handle, alloc);
}

int msgq_write(msgq_handle_t *handle, void *buf, uint32_t len)
{
    if (handle == nullptr || buf == nullptr) {
        return MSGQ_ERR_INVALID;
    }
    auto *alloc = static_cast<uint8_t *>(buf) - MSGQ_HDR_LEN;
    msgq_hdr_t hdr;
    memcpy(&hdr, alloc, sizeof(hdr));
    if (hdr.magic1 != MSGQ_MAGIC1 || hdr.magic2 != MSGQ_MAGIC2 ||
        static_cast<size_t>(hdr.size) < static_cast<size_t>(len) + MSGQ_HDR_LEN) {
        MSGQ_FATAL("Writing a buffer without valid magic or room");
    }
    if (!handle->use_app_header) {
        hdr.src_mod = handle->srcid;
        hdr.tgt_mod = handle->tgtid;
        hdr.msg_type = MSGQ_HDR_TYPE_APP;
        hdr.size = static_cast<uint16_t>(len + MSGQ_HDR_LEN);
        memcpy(alloc, &hdr, sizeof(hdr));
    }
    if (!msgq_ready(handle)) {
        return MSGQ_ERR_NOT_READY;
    }
    const size_t wire_len = handle->use_app_header ? len : len + MSGQ_HDR_LEN;
    if (handle->client_socket_blocking && handle->type == MSGQ_HANDLE_TYPE_CLIENT) {
        t_msgq_scope scope(handle->inst_p);
        // Whatever was queued before the switch to blocking goes first.
        msgq_flush(handle);
        if (handle->down_pending || handle->buf_head_p != nullptr) {
            handle->stats.tx_fail++;
            return MSGQ_ERR_NO_MEM;
        }
        if (!msgq_send_all(handle->sock_fd, alloc + msgq_wire_offset(handle), wire_len, 0)) {
            // A blocking client may have no read event to notice the loss;
            // the write event closes the link and starts redialling.
            handle->stats.tx_fail++;
            msgq_close_soon(handle);
            return MSGQ_ERR_NO_MEM;
        }
        handle->stats.tx_msg++;
        handle->stats.msg_frees++;
        msgq_release(handle, alloc);
        // The reply of a synchronous request is processed before returning.
        msgq_read_cb(handle->sock_fd, EV_READ, handle);
        return MSGQ_OK;
    }
    // A peer that stays connected but stops reading must not grow the queue
    // without bound: the link is closed and, for a client, redialled.
    if (handle->buf_head_p != nullptr &&
        static_cast<uint64_t>(handle->tx_bytes) + wire_len > handle->tx_queue_max) {
        handle->stats.tx_overflow++;
        MSGQ_ERR("Send queue of %u bytes on fd %d over its limit of %u, closing", handle->tx_bytes,
                 handle->sock_fd, handle->tx_queue_max);
        msgq_close_soon(handle);
        return MSGQ_ERR_NO_MEM;
    }
    auto *node = static_cast<msgq_buf_t *>(calloc(1, sizeof(msgq_buf_t)));
    if (node == nullptr) {
        handle->stats.tx_queue_failed++;
        return MSGQ_ERR_NO_MEM;
    }
    node->buf_p = alloc;
    node->buf_size = static_cast<uint16_t>(wire_len);
    if (handle->buf_tail_p != nullptr) {
        handle->buf_tail_p->buf_next_p = node;
    } else {
        handle->buf_head_p = node;
    }
    handle->buf_tail_p = node;
    handle->tx_bytes += static_cast<uint32_t>(wire_len);
    handle->stats.tx_queued++;
    // A send already waiting for writability keeps the order: the event flushes.
    if (!handle->write_ev_set) {
        msgq_flush(handle);
    }
    return MSGQ_OK;
}

bool msgq_get_client_socket_blocking(const msgq_handle_t *handle)
{
    return handle != nullptr && handle->client_socket_blocking;
}

void msgq_set_client_socket_blocking(msgq_handle_t *handle, bool on)
{
    if (handle == nullptr || handle->type != MSGQ_HANDLE_TYPE_CLIENT) {
        return;
    }
    handle->client_socket_blocking = on;
    if (handle->sock_fd < 0) {
        return;
    }
    msgq_set_blocking_mode(handle->sock_fd, on);
    if (!on && handle->read_ev_p == nullptr && !msgq_add_read_event(handle)) {
        MSGQ_ERR("Failed to add read event for fd %d", handle->sock_fd);
    }
}

void msgq_read_cb(int fd, short, void *handle_p)
{
    auto *h = static_cast<msgq_handle_t *>(handle_p);
    t_msgq_scope scope(h->inst_p);
    h->stats.rx_read_helper_cb++;
    uint32_t batch = 0;
    const bool one_msg = h->type == MSGQ_HANDLE_TYPE_CLIENT && h->client_socket_blocking;

    while (!h->destroy_pending && h->sock_fd == fd) {
        void *msg = nullptr;
        uint32_t len = 0;
        switch (msgq_rx_step(h, msgq_socket_pull, h, &msg, &len)) {
        case MSGQ_RX_AGAIN:
            return;
        case MSGQ_RX_SKIPPED:
            break;
        case MSGQ_RX_REGISTER:
            if (h->in_tmp_list) {
                msgq_handle_register_msg(h);
            } else {
                // A registered connection does not register again; the peer
                // reconnects and registers afresh.
                MSGQ_ERR("Registration on registered fd %d, closing", fd);
                msgq_close_conn(h, true);
            }
            return;
        case MSGQ_RX_NOT_REGISTER:
            // Without a registration there is no handle to give the data to.
            MSGQ_ERR("First message on fd %d is not a registration, closing", fd);
            msgq_tmp_close(h);
            return;
        case MSGQ_RX_CLOSED:
            h->stats.rx_fail++;
            if (h->in_tmp_list) {
                msgq_tmp_close(h);
            } else {
                msgq_close_conn(h, true);
            }
            return;
        case MSGQ_RX_MSG:
            h->stats.rx_msg++;
            h->app_cb.msg_read_cb(h, msg, len, h->user_arg_p);
            if (one_msg) {
                return;
            }
            break;
        }
        // A busy peer gets a fair share: the loop serves the others (and the
        // rest of this backlog keeps the socket readable for the next turn).
        if (++batch >= MSGQ_READ_BATCH) {
            h->stats.rx_read_helper_scheduled++;
            return;
        }
    }
}

void msgq_write_cb(int, short, void *handle_p)
{
    auto *h = static_cast<msgq_handle_t *>(handle_p);
    t_msgq_scope scope(h->inst_p);
    h->write_ev_set = 0;
    h->write_ev_index ^= 1;
    h->stats.tx_write_cb++;
    if (h->down_pending) {
        msgq_close_conn(h, true);
        return;
    }
    msgq_flush(h);
}

void msgq_connect_timer(t_timer *, void *handle_p, void *, void *, void *)
{
    auto *h = static_cast<msgq_handle_t *>(handle_p);
    t_msgq_scope scope(h->inst_p);
    (void)msgq_try_connect(h);
}

void msgq_listener_cb(evconnlistener *, int fd, struct sockaddr *, int, void *server_p)
{
    auto *srv = static_cast<msgq_server_t *>(server_p);
    msgq_instance_t *inst = srv->inst_p;
    t_msgq_scope scope(inst);
    srv->stats.conn_up++;
    srv->retry_ms = 0;
    ucred cred{0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
    if (!msgq_peer_allowed(srv, fd, &cred)) {
        srv->stats.conn_refused++;
        MSGQ_ERR("Peer pid %d uid %u gid %u refused on %s", static_cast<int>(cred.pid),
                 static_cast<unsigned>(cred.uid), static_cast<unsigned>(cred.gid), srv->msgq_path);
        close(fd);
        return;
    }

    if (srv->listener_apphdr) {
        msgq_handle_t *h = srv->apphead_msgq_handle_p;
        if (h != nullptr && h->sock_fd >= 0) {
            if (!msgq_may_replace(srv, h, cred.uid)) {
                close(fd);
                return;
            }
            h->stats.conn_exist++;
            msgq_close_conn(h, false);
        }
        if (h == nullptr || h->destroy_pending || h->sock_fd >= 0) {
            close(fd);
            return;
        }
        msgq_conn_established(h, fd, cred.uid);
        return;
    }

    if (inst->num_tmp >= MSGQ_MAX_TMP_CONNS) {
        msgq_handle_t *oldest = TAILQ_FIRST(&inst->tmp_msgq_listhead);
        MSGQ_ERR("Too many unregistered connections, dropping fd %d", oldest->sock_fd);
        msgq_tmp_close(oldest);
    }
    auto *tmp = static_cast<msgq_handle_t *>(calloc(1, sizeof(msgq_handle_t)));
    if (tmp == nullptr) {
        close(fd);
        return;
    }
    tmp->type = MSGQ_HANDLE_TYPE_SERVER;
    tmp->srcid = srv->srcid;
    tmp->inst_p = inst;
    tmp->sock_fd = fd;
    tmp->peer_uid = cred.uid;
    tmp->socket_type = MSGQ_SOCKET_TYPE_UNIX;
    // The path, not the listener, is kept: the listener may go before the peer registers.
    memcpy(tmp->msgq_path, srv->msgq_path, sizeof(tmp->msgq_path));
    TAILQ_INSERT_TAIL(&inst->tmp_msgq_listhead, tmp, tmp_list_entry);
    tmp->in_tmp_list = 1;
    inst->num_tmp++;
    if (!msgq_add_read_event(tmp)) {
        msgq_tmp_close(tmp);
    }
}

// ---- dump ----

void msgq_dump_server(void *user_p, msgq_dump_out_t out, int level, const msgq_server_t *server)
{
    msgq_out(user_p, out, "  server %s: module %s(%u) listener %s app-header %s handles %u",
             server->msgq_path, zul_module_name(server->srcid), server->srcid,
             server->server_listener_p != nullptr ? "open" : "closed",
             server->listener_apphdr ? "yes" : "no", server->ref_count);
    if (level > 0) {
        msgq_dump_stats(user_p, out, server->stats);
    }
}

void msgq_dump_handle(void *user_p, msgq_dump_out_t out, int level, const msgq_handle_t *handle)
{
    const char *list = handle->in_reg_list     ? "registered"
                       : handle->in_unreg_list ? "unregistered"
                       : handle->in_tmp_list   ? "temporary"
                                               : "none";
    msgq_out(user_p, out, "  handle %p: %s %s(%u) -> %s(%u) path %s fd %d list %s%s%s%s%s",
             static_cast<const void *>(handle), msgq_type_name(handle->type),
             zul_module_name(handle->srcid), handle->srcid, zul_module_name(handle->tgtid),
             handle->tgtid, handle->msgq_path, handle->sock_fd, list,
             handle->use_app_header ? " app-header" : "",
             handle->client_socket_blocking ? " blocking" : "",
             handle->down_pending ? " down-pending" : "", handle->multi_conn ? " multi-conn" : "");
    if (handle->parent_p != nullptr) {
        msgq_out(user_p, out, "    connection of %p", static_cast<const void *>(handle->parent_p));
    } else if (handle->multi_conn) {
        msgq_out(user_p, out, "    connections %u", handle->num_conns);
    }
    if (level > 0) {
        unsigned queued = 0;
        for (const msgq_buf_t *b = handle->buf_head_p; b != nullptr; b = b->buf_next_p) {
            queued++;
        }
        msgq_out(user_p, out, "    queue %u rx %u/%u write-armed %u", queued, handle->rx_bytes,
                 handle->rx_msg_size, static_cast<unsigned>(handle->write_ev_set));
    }
    msgq_dump_stats(user_p, out, handle->stats);
}

void msgq_dump_all_handles(void *user_p, msgq_dump_out_t out, int level)
{
    const msgq_instance_t *inst = g_msgq_inst_p;
    if (inst == nullptr) {
        return;
    }
    const msgq_handle_t *h;
    TAILQ_FOREACH(h, &inst->reg_msgq_listhead, reg_list_entry)
    {
        msgq_dump_handle(user_p, out, level, h);
    }
    TAILQ_FOREACH(h, &inst->unreg_msgq_listhead, unreg_list_entry)
    {
        msgq_dump_handle(user_p, out, level, h);
    }
    TAILQ_FOREACH(h, &inst->tmp_msgq_listhead, tmp_list_entry)
    {
        msgq_dump_handle(user_p, out, level, h);
    }
}

void msgq_dump_instance(void *user_p, msgq_dump_out_t out, int level)
{
    const msgq_instance_t *inst = g_msgq_inst_p;
    if (inst == nullptr) {
        msgq_out(user_p, out, "msgq: no instance");
        return;
    }
    unsigned reg = 0;
    unsigned unreg = 0;
    const msgq_handle_t *h;
    TAILQ_FOREACH(h, &inst->reg_msgq_listhead, reg_list_entry) { reg++; }
    TAILQ_FOREACH(h, &inst->unreg_msgq_listhead, unreg_list_entry) { unreg++; }
    msgq_out(user_p, out,
             "msgq: event base %p timer manager %p facility %d handles %u registered, %u "
             "unregistered, %u temporary",
             static_cast<void *>(inst->app_evbase_p), static_cast<void *>(inst->timer_mgr_p),
             inst->syslog_id, reg, unreg, inst->num_tmp);
    const msgq_server_t *srv;
    TAILQ_FOREACH(srv, &inst->server_head, server_entry)
    {
        msgq_dump_server(user_p, out, level, srv);
    }
    msgq_dump_all_handles(user_p, out, level);
}
