#include "tools/cdbd/cdbd_server.h"

#include <event2/event.h>
#include <pwd.h>
#include <sys/socket.h>
#include <syslog.h>

#include <cstring>

#include "common/msgq_util.h"
#include "common/zul_log.h"
#include "zconfd/zconfd_pb.h"

namespace
{

struct t_cdbd_reopen {
    t_cdbd_server *server_p;
    uint8_t mod;
};

msgq_handle_t *cdbd_server_handle_create(t_cdbd_server *server, uint8_t mod);

void cdbd_server_reopen_cb(evutil_socket_t, short, void *arg)
{
    auto *req = static_cast<t_cdbd_reopen *>(arg);
    req->server_p->handles[req->mod] = cdbd_server_handle_create(req->server_p, req->mod);
    delete req;
}

uint8_t cdbd_handle_mod(msgq_handle_t *handle)
{
    return handle->tgtid;
}

void cdbd_conn_up(msgq_handle_t *handle, void *arg)
{
    auto *server = static_cast<t_cdbd_server *>(arg);
    uint8_t mod = cdbd_handle_mod(handle);
    ucred cred{};
    socklen_t len = sizeof(cred);
    bool ok = getsockopt(handle->sock_fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 &&
              cdbd_server_peer_allowed(server, cred.uid, cred.gid);
    if (!ok) {
        // Close by replacing the handle once the library's callback has unwound.
        server->agent_p->stats.refused++;
        ZUL_LOG_PRI(LOG_WARNING, "Connection of %s refused: uid %u gid %u", zul_module_name(mod),
                    static_cast<unsigned>(cred.uid), static_cast<unsigned>(cred.gid));
        msgq_destroy(handle);
        server->handles[mod] = nullptr;
        timeval now = {0, 0};
        event_base_once(server->base_p, -1, EV_TIMEOUT, cdbd_server_reopen_cb,
                        new t_cdbd_reopen{server, mod}, &now);
        return;
    }
    server->sessions[mod] = cdbd_session_open(server->agent_p, handle, mod);
    // Commits are recorded under the peer's account unless it names a user.
    if (const passwd *pw = getpwuid(cred.uid)) {
        server->sessions[mod]->user = pw->pw_name;
    }
    ZUL_LOG_PRI(LOG_INFO, "Module %s connected (uid %u)", zul_module_name(mod),
                static_cast<unsigned>(cred.uid));
}

void cdbd_conn_down(msgq_handle_t *handle, void *arg)
{
    auto *server = static_cast<t_cdbd_server *>(arg);
    uint8_t mod = cdbd_handle_mod(handle);
    if (server->sessions[mod] != nullptr) {
        cdbd_session_close(server->sessions[mod]);
        server->sessions[mod] = nullptr;
        ZUL_LOG_PRI(LOG_INFO, "Module %s disconnected", zul_module_name(mod));
    }
}

void cdbd_msg_write(msgq_handle_t *, void *) {}

void cdbd_msg_read(msgq_handle_t *handle, void *msg, uint32_t len, void *arg)
{
    auto *server = static_cast<t_cdbd_server *>(arg);
    t_cdbd_session *s = server->sessions[cdbd_handle_mod(handle)];
    if (s != nullptr) {
        cdbd_session_input(s, static_cast<const uint8_t *>(msg), len);
    }
    msgq_msg_free(handle, msg);
}

msgq_handle_t *cdbd_server_handle_create(t_cdbd_server *server, uint8_t mod)
{
    msgq_app_params_t params{};
    params.app_evbase_p = server->base_p;
    params.syslog_id = LOG_LOCAL7;
    params.socket_type = MSGQ_SOCKET_TYPE_UNIX;
    snprintf(params.msg_path, sizeof(params.msg_path), "%s", server->path.c_str());
    msgq_app_cb_t cbs{};
    cbs.conn_up_cb = cdbd_conn_up;
    cbs.conn_down_cb = cdbd_conn_down;
    cbs.msg_write_cb = cdbd_msg_write;
    cbs.msg_read_cb = cdbd_msg_read;
    return msgq_init(ZUL_MODULE_CDB, mod, MSGQ_HANDLE_TYPE_SERVER, &params, &cbs, server);
}

} // namespace

bool cdbd_server_peer_allowed(const t_cdbd_server *server, uid_t uid, gid_t gid)
{
    return uid == 0 || (server->group != static_cast<gid_t>(-1) && gid == server->group);
}

int cdbd_server_start(t_cdbd_server *server, std::string *err)
{
    if (server->path.size() >= MSGQ_PATH_LEN) {
        *err = "socket path too long: " + server->path;
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
        if (server->sessions[mod] != nullptr) {
            cdbd_session_close(server->sessions[mod]);
            server->sessions[mod] = nullptr;
        }
    }
}

int cdbd_server_send(t_cdbd_session *session_p, const Cdb__CdbMsg *msg)
{
    return zconfd_msg_send(static_cast<msgq_handle_t *>(session_p->link_p), msg);
}
