#include "tools/cdbd/cdbd_server.h"

#include <event2/event.h>
#include <pwd.h>
#include <sys/socket.h>
#include <syslog.h>

#include <cstring>

#include "common/msgq_util.h"
#include "common/timer.h"
#include "common/zul_log.h"
#include "zconfd/zconfd_pb.h"

namespace
{

// Drives the timer manager the message queue retries its listener with.
constexpr timeval CDBD_TIMER_TICK = {0, 100 * 1000};
constexpr uint32_t CDBD_TIMER_BUDGET_MS = 100;

void cdbd_server_tick_cb(evutil_socket_t, short, void *arg)
{
    auto *server = static_cast<t_cdbd_server *>(arg);
    (void)timer_exec(server->timer_mgr_p, TIMER_PRI_MASK_ALL, CDBD_TIMER_BUDGET_MS);
}

// The listener counts the peers it refused; the agent publishes the number.
void cdbd_server_sync_stats(t_cdbd_server *server)
{
    const msgq_handle_t *tmpl = server->handles[ZUL_MODULE_CLI];
    if (tmpl != nullptr && tmpl->server_p != nullptr) {
        server->agent_p->stats.refused = tmpl->server_p->stats.conn_refused;
    }
}

uint8_t cdbd_handle_mod(msgq_handle_t *handle) { return handle->tgtid; }

void cdbd_conn_up(msgq_handle_t *handle, void *arg)
{
    auto *server = static_cast<t_cdbd_server *>(arg);
    uint8_t mod = cdbd_handle_mod(handle);
    // The library admitted the peer by these credentials (root or the group).
    ucred cred{};
    socklen_t len = sizeof(cred);
    if (getsockopt(handle->sock_fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        cred.uid = static_cast<uid_t>(-1);
    }
    t_cdbd_session *s = cdbd_session_open(server->agent_p, handle, mod);
    server->sessions[handle] = s;
    // Commits are recorded under the peer's account unless it names a user.
    if (const passwd *pw = getpwuid(cred.uid)) {
        s->user = pw->pw_name;
    }
    ZUL_LOG_PRI(LOG_INFO, "Module %s connected (uid %u)", zul_module_name(mod),
                static_cast<unsigned>(cred.uid));
}

void cdbd_conn_down(msgq_handle_t *handle, void *arg)
{
    auto *server = static_cast<t_cdbd_server *>(arg);
    auto it = server->sessions.find(handle);
    if (it != server->sessions.end()) {
        cdbd_session_close(it->second);
        server->sessions.erase(it);
        ZUL_LOG_PRI(LOG_INFO, "Module %s disconnected", zul_module_name(cdbd_handle_mod(handle)));
    }
}

void cdbd_msg_write(msgq_handle_t *, void *) {}

void cdbd_msg_read(msgq_handle_t *handle, void *msg, uint32_t len, void *arg)
{
    auto *server = static_cast<t_cdbd_server *>(arg);
    cdbd_server_sync_stats(server);
    auto it = server->sessions.find(handle);
    if (it != server->sessions.end()) {
        cdbd_session_input(it->second, static_cast<const uint8_t *>(msg), len);
    }
    msgq_msg_free(handle, msg);
}

msgq_handle_t *cdbd_server_handle_create(t_cdbd_server *server, uint8_t mod)
{
    msgq_app_params_t params{};
    params.app_evbase_p = server->base_p;
    params.timer_mgr_p = server->timer_mgr_p;
    params.syslog_id = LOG_LOCAL7;
    params.peer_group_set = server->group != static_cast<gid_t>(-1);
    params.peer_gid = server->group;
    params.socket_type = MSGQ_SOCKET_TYPE_UNIX;
    // Several operators (or a monitor beside a configuring one) at once.
    params.multi_conn = mod == ZUL_MODULE_CLI;
    snprintf(params.msg_path, sizeof(params.msg_path), "%s", server->path.c_str());
    msgq_app_cb_t cbs{};
    cbs.conn_up_cb = cdbd_conn_up;
    cbs.conn_down_cb = cdbd_conn_down;
    cbs.msg_write_cb = cdbd_msg_write;
    cbs.msg_read_cb = cdbd_msg_read;
    return msgq_init(ZUL_MODULE_CDB, mod, MSGQ_HANDLE_TYPE_SERVER, &params, &cbs, server);
}

} // namespace

int cdbd_server_start(t_cdbd_server *server, std::string *err)
{
    if (server->path.size() >= MSGQ_PATH_LEN) {
        *err = "socket path too long: " + server->path;
        return -1;
    }
    server->timer_mgr_p =
        timer_mgr_create(TIMER_RESN_100MSEC, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
    server->timer_ev_p = event_new(server->base_p, -1, EV_PERSIST, cdbd_server_tick_cb, server);
    if (server->timer_mgr_p == nullptr || server->timer_ev_p == nullptr ||
        event_add(server->timer_ev_p, &CDBD_TIMER_TICK) != 0) {
        *err = "no timers";
        return -1;
    }
    for (unsigned mod = MSGQ_MODULE_MIN; mod <= MSGQ_MODULE_MAX; mod++) {
        if (mod == ZUL_MODULE_CDB) {
            continue;
        }
        server->handles[mod] = cdbd_server_handle_create(server, static_cast<uint8_t>(mod));
        if (server->handles[mod] == nullptr) {
            *err = "cannot listen at " + server->path;
            return -1;
        }
    }
    return 0;
}

void cdbd_server_stop(t_cdbd_server *server)
{
    for (unsigned mod = MSGQ_MODULE_MIN; mod <= MSGQ_MODULE_MAX; mod++) {
        if (server->handles[mod] != nullptr) {
            msgq_destroy(server->handles[mod]);
            server->handles[mod] = nullptr;
        }
    }
    for (auto &entry : server->sessions) {
        cdbd_session_close(entry.second);
    }
    server->sessions.clear();
    if (server->timer_ev_p != nullptr) {
        event_free(server->timer_ev_p);
        server->timer_ev_p = nullptr;
    }
    if (server->timer_mgr_p != nullptr) {
        timer_mgr_destroy(server->timer_mgr_p);
        server->timer_mgr_p = nullptr;
    }
}

int cdbd_server_send(t_cdbd_session *session_p, const Cdb__CdbMsg *msg)
{
    return zconfd_msg_send(static_cast<msgq_handle_t *>(session_p->link_p), msg);
}
