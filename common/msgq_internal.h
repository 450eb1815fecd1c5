// Internals of the message-queue library shared by its source files (core,
// client side, server side, framing, dumps); not for users of the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <syslog.h>

#include "common/msgq_util.h"

namespace msgq_internal
{

extern msgq_instance_t *g_msgq_inst_p;

int msgq_facility();
[[noreturn]] void msgq_fatal(const char *func, unsigned line, const char *what);

#define MSGQ_ERR(fmt, ...)                                                                         \
    syslog(msgq_internal::msgq_facility() | LOG_DEBUG, "[MSG-ERR] %s[%d]: " fmt, __func__,         \
           static_cast<int>(__LINE__), ##__VA_ARGS__)

#define MSGQ_FATAL(what)                                                                           \
    msgq_internal::msgq_fatal(__func__, static_cast<unsigned>(__LINE__), (what))

// Every entry from the loop or the application runs inside a scope; handles
// destroyed meanwhile are freed, and an empty instance released, only when the
// outermost scope unwinds, so no callback frame is left holding freed memory.
void msgq_reap(msgq_instance_t *inst);

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

// Buffers: the application's allocator, and the library header in front.
void *msgq_alloc(const msgq_handle_t *h, size_t size);
void msgq_release(const msgq_handle_t *h, void *p);
msgq_framing_t msgq_handle_framing(const msgq_handle_t *h);
size_t msgq_wire_offset(const msgq_handle_t *h);
void msgq_stamp(uint8_t *alloc, size_t alloc_len);

// Handle lists and connections (core).
void list_unreg_del(msgq_handle_t *h);
void list_reg_add(msgq_handle_t *h);
bool msgq_add_read_event(msgq_handle_t *h);
bool msgq_attach_events(msgq_handle_t *h);
void msgq_close_conn(msgq_handle_t *h, bool reconnect);
void msgq_tmp_close(msgq_handle_t *tmp);
void msgq_conn_established(msgq_handle_t *h, int fd, uid_t peer_uid);

// Client side.
uint32_t msgq_next_backoff(uint32_t ms);
void msgq_client_retry(msgq_handle_t *h, bool backoff);
void msgq_set_blocking_mode(int fd, bool on);
bool msgq_send_all(int fd, const uint8_t *p, size_t len, int flags);
int msgq_start_client(msgq_handle_t *h);

// Server side.
msgq_server_t *msgq_find_server(msgq_instance_t *inst, const char *path);
int msgq_start_server(msgq_handle_t *h, const msgq_app_params_t *params);
void msgq_server_detach(msgq_handle_t *h);
msgq_handle_t *msgq_first_conn(const msgq_instance_t *inst, const msgq_handle_t *tmpl);
void msgq_handle_register_msg(msgq_handle_t *tmp);

} // namespace msgq_internal
