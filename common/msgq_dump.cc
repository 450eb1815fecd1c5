// Message-queue dumps: the instance, its listeners and handles with counters.
#include <cstdarg>
#include <cstdio>

#include "common/msgq_internal.h"
#include "common/msgq_util.h"
#include "common/zul_module.h"

using namespace msgq_internal;

namespace
{

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
