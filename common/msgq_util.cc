// Message-queue core: the instance, handles and their lists, connections as
// both sides share them (events, send queue, close), and the public calls.
#include "common/msgq_util.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <event2/event.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "common/msgq_internal.h"
#include "common/timer.h"
#include "common/zul_assert.h"
#include "common/zul_module.h"

using namespace msgq_internal;

namespace
{

constexpr int MSGQ_DEFAULT_FACILITY = LOG_LOCAL7;
// Written over the magic of a freed message so a second free is caught.
constexpr uint16_t MSGQ_MAGIC1_FREED = 0xDEAD;

void list_unreg_add(msgq_handle_t *h)
{
    ZUL_ASSERT(!h->in_unreg_list && !h->in_reg_list && !h->in_tmp_list);
    TAILQ_INSERT_TAIL(&h->inst_p->unreg_msgq_listhead, h, unreg_list_entry);
    h->in_unreg_list = 1;
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

} // namespace

namespace msgq_internal
{

msgq_instance_t *g_msgq_inst_p = nullptr;

int msgq_facility()
{
    return g_msgq_inst_p != nullptr ? g_msgq_inst_p->syslog_id : MSGQ_DEFAULT_FACILITY;
}

[[noreturn]] void msgq_fatal(const char *func, unsigned line, const char *what)
{
    syslog(msgq_facility() | LOG_DEBUG, "[MSG-ERR] %s[%u]: %s", func, line, what);
    zul_assert_fail(__FILE__, line, what);
}

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

} // namespace msgq_internal

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
