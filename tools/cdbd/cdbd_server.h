// The agent's message-queue server: one listening path, one server handle per
// peer module id (a daemon or the CLI registers with its own id). The listener
// admits only root or the operators' group. A daemon has one link; the CLI's
// handle serves any number of operators at once, each link its own session.
#pragma once

#include <sys/types.h>

#include <array>
#include <map>
#include <string>

#include "common/zul_module.h"
#include "tools/cdbd/cdbd_agent.h"

struct msgq_handle_t;
struct t_timer_mgr;
struct event;

struct t_cdbd_server {
    t_cdbd_agent *agent_p = nullptr;
    event_base *base_p = nullptr;
    std::string path;
    gid_t group = static_cast<gid_t>(-1); // besides root; -1 for none
    std::array<msgq_handle_t *, ZUL_MODULE_MAX + 1> handles{};
    std::map<msgq_handle_t *, t_cdbd_session *> sessions; // by connection handle
    t_timer_mgr *timer_mgr_p = nullptr;                   // the listener's retries
    event *timer_ev_p = nullptr;
};

int cdbd_server_start(t_cdbd_server *server, std::string *err);
void cdbd_server_stop(t_cdbd_server *server);
// The agent's send hook over the server's handles.
int cdbd_server_send(t_cdbd_session *session_p, const Cdb__CdbMsg *msg);
