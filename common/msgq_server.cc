// Message-queue server side: shared listeners per path, admission of peers by
// their credentials, registrations and the connection handles of templates.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <event2/event.h>
#include <event2/listener.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "common/msgq_internal.h"
#include "common/msgq_util.h"
#include "common/timer.h"

using namespace msgq_internal;

namespace
{

constexpr mode_t MSGQ_LISTENER_MODE = 0660;

int msgq_open_listener(msgq_server_t *srv);

void msgq_server_retry_cb(t_timer *, void *server_p)
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
        srv->retry_timer_p = timer_util_create(inst->timer_mgr_p, TIMER_PRI_NORMAL,
                                               TIMER_TYPE_ONESHOT, MSGQ_CONNECT_RETRY_MS,
                                               msgq_server_retry_cb, srv, "msgq-listen-retry");
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

} // namespace

namespace msgq_internal
{

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

} // namespace msgq_internal

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
