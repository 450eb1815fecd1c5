// The daemon's link to the router's system manager: one client connection over
// which a hello carrying our process id goes out once a second while it is up.
// The hello timer is high priority so the urgent-timer pump keeps it running
// during long walks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

struct event_base;
struct msgq_handle_t;
struct t_timer;
struct t_timer_mgr;

enum e_sysmgr_app_msg_type : uint8_t {
    SYSMGR_APP_MSG_UNDEFINED = 0,
    SYSMGR_APP_MSG_HELLO = 1,
    SYSMGR_APP_MSG_REBOOT = 2,
    SYSMGR_APP_MSG_SHUTDOWN = 3,
    SYSMGR_APP_MSG_CONNECT_REPLY = 4,
    SYSMGR_APP_MSG_VPN_DAEMON_START = 5,
    SYSMGR_APP_MSG_VPN_DAEMON_STOP = 6,
    SYSMGR_APP_MSG_CFGMGR_CONFD_INIT_DONE = 7,
    SYSMGR_APP_MSG_MAX_TYPE = 8,
};

inline constexpr uint8_t SYSMGR_APP_MSG_VERSION = 1;
inline constexpr uint32_t SYSMGR_HELLO_INTERVAL_MS = 1000;

struct t_sysmgr_app_msg_hdr {
    uint8_t version;
    uint8_t msg_type; // e_sysmgr_app_msg_type
    uint16_t msg_len; // this message, any trailing text included
    uint32_t reserved;
};

// Host byte order. Optional NUL-terminated text may follow the fixed part.
struct t_sysmgr_app_msg {
    t_sysmgr_app_msg_hdr hdr;
    union {
        int pid; // in a hello
        struct {
            uint64_t vpn_id;
            uint64_t modules_up_mask;
        } connect_reply;
    } u;
    uint64_t vpn_id;
    uint32_t tenant_id;
    uint32_t action;
};
inline constexpr size_t SYSMGR_APP_MSG_LEN = 40;
static_assert(sizeof(t_sysmgr_app_msg) == SYSMGR_APP_MSG_LEN);
static_assert(offsetof(t_sysmgr_app_msg, u) == 8 && offsetof(t_sysmgr_app_msg, vpn_id) == 24 &&
              offsetof(t_sysmgr_app_msg, tenant_id) == 32 &&
              offsetof(t_sysmgr_app_msg, action) == 36);

using f_app_read_cb = void (*)(void *app_handle, t_sysmgr_app_msg *msg);

struct t_sysmgr_app {
    msgq_handle_t *p_msgq;
    t_timer *hello_timer;
    int pid;
    void *app_handle;
    f_app_read_cb read_cb;
};

// unused_p is kept for the callers' signature; module is our own module id.
t_sysmgr_app *app_sysmgr_connect(event_base *base, t_timer_mgr *timer_mgr, void *unused_p,
                                 uint8_t module, void *app_handle, f_app_read_cb read_cb);
void app_sysmgr_disconnect(t_sysmgr_app *app);
// Wall-clock time of the last hello written (0 before the first).
time_t sysmgr_app_last_hello();

void sysmgr_app_conn_up(msgq_handle_t *handle, void *app_p);
void sysmgr_app_conn_down(msgq_handle_t *handle, void *app_p);
void sysmgr_app_read_cb(msgq_handle_t *handle, void *msg, uint32_t len, void *app_p);
void sysmgr_app_write_cb(msgq_handle_t *handle, void *app_p);
void *sysmgr_app_malloc(size_t size);
void sysmgr_app_free(void *buf);
void sysmgr_app_hello_cb(t_timer *timer, void *app_p);
