// Message-queue IPC between the router's daemons: one stream socket per link,
// carrying length-framed messages. A handle is either a client (dials out and
// redials through the timer manager) or a server (shares one listener per path;
// accepted peers say which handle they belong to with a registration). Messages
// are framed by the library's 8-byte header, or by the application's own header
// that carries the whole length (big-endian 16 bits) at a fixed offset.
//
// A server handle serves one peer at a time: a peer registering again replaces
// its old connection, but only when it runs as the same user. A
// multi-connection server handle is a template instead: each registration gets
// a connection handle of its own made from it (same callbacks, user argument
// and ids), which conn_up_cb receives, msgq_write sends on, and the library
// frees after its conn_down_cb. Destroying the template closes all its
// connections.
//
// Listeners admit, by the credentials the peer connected with, root, this
// process's own user and, when configured, one group (primary or
// supplementary); their socket files are 0660 (group: the configured one).
// A failed listener, an accept out of descriptors and a client without a
// socket retry after a doubling delay. A link whose peer stops reading is
// closed once its send queue passes a limit; a client then redials.
//
// Event-loop thread only. Callbacks may write, and may destroy any handle (the
// memory is released once the library's own callback has unwound).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/queue.h>
#include <sys/types.h>

struct event_base;
struct event;
struct evconnlistener;
struct t_timer;
struct t_timer_mgr;

inline constexpr uint16_t MSGQ_MAGIC1 = 0xBEAF;
inline constexpr uint8_t MSGQ_MAGIC2 = 12;
inline constexpr size_t MSGQ_HDR_LEN = 8;
// Whole message, header included.
inline constexpr size_t MSGQ_MAX_MSG_SIZE = 65535;
// Largest application length msgq_msg_malloc hands out.
inline constexpr size_t MSGQ_MAX_APP_LEN = MSGQ_MAX_MSG_SIZE - MSGQ_HDR_LEN;
inline constexpr size_t MSGQ_APP_HDR_MAX = 64;
inline constexpr size_t MSGQ_PATH_LEN = 64;
inline constexpr size_t MSGQ_HOST_ADDR_LEN = 128;
// Valid module ids of a handle.
inline constexpr unsigned MSGQ_MODULE_MIN = 1;
inline constexpr unsigned MSGQ_MODULE_MAX = 229;
// Accepted connections that have not registered yet; beyond this the oldest is
// dropped so a flood of silent connections cannot exhaust descriptors. A
// multi-connection handle refuses registrations beyond the same number.
inline constexpr uint32_t MSGQ_MAX_TMP_CONNS = 64;
// Client redial period, and the first delay after a failed start.
inline constexpr uint32_t MSGQ_CONNECT_RETRY_MS = 500;
// Cap of the doubling delay between retries of a start that keeps failing (no
// socket, no listener, accept out of descriptors).
inline constexpr uint32_t MSGQ_RETRY_MAX_MS = 8000;
// Bytes a handle may hold unsent before its link is closed as stuck.
inline constexpr uint32_t MSGQ_TX_QUEUE_MAX_DEFAULT = 16u << 20;
// Messages one read callback delivers before yielding to the loop.
inline constexpr uint32_t MSGQ_READ_BATCH = 64;

enum msgq_handle_type_e : uint8_t {
    MSGQ_HANDLE_TYPE_UNKNOWN = 0,
    MSGQ_HANDLE_TYPE_SERVER = 1,
    MSGQ_HANDLE_TYPE_CLIENT = 2,
};

enum msgq_hdr_type_e : uint8_t {
    MSGQ_HDR_TYPE_INVALID = 0,
    MSGQ_HDR_TYPE_REGISTER = 1,
    MSGQ_HDR_TYPE_APP = 2,
};

enum msgq_socket_type_e : uint8_t {
    MSGQ_SOCKET_TYPE_UNIX = 1,
    MSGQ_SOCKET_TYPE_TCP = 2,
};

// Results of msgq_write and of starting a handle.
enum msgq_status_e : int {
    MSGQ_OK = 0,
    MSGQ_ERR_FAIL = 1,
    MSGQ_ERR_PATH = 6,      // stale socket file not removable, or listener shared
    MSGQ_ERR_REBOOT = 7,    // system reboot in progress, no connect attempted
    MSGQ_ERR_INVALID = 10,  // no handle or no buffer
    MSGQ_ERR_NO_MEM = 11,   // no queue memory, or a blocking send failed
    MSGQ_ERR_NOT_READY = 14 // no connection, or its close is pending
};

// On the wire, host byte order (both ends share the machine).
struct msgq_hdr_t {
    uint16_t magic1;
    uint16_t size; // whole message, this header included
    uint8_t src_mod;
    uint8_t tgt_mod;
    uint8_t msg_type; // msgq_hdr_type_e
    uint8_t magic2;
};
static_assert(sizeof(msgq_hdr_t) == MSGQ_HDR_LEN);

struct msgq_handle_t;

using msgq_conn_cb_t = void (*)(msgq_handle_t *handle, void *user_arg);
using msgq_write_cb_t = void (*)(msgq_handle_t *handle, void *user_arg);
// msg is the application part; the application frees it with msgq_msg_free.
using msgq_read_cb_t = void (*)(msgq_handle_t *handle, void *msg, uint32_t len, void *user_arg);
using msgq_malloc_cb_t = void *(*)(size_t size);
using msgq_free_cb_t = void (*)(void *buf);
// True while the system reboots: clients then do not dial.
using msgq_reboot_status_cb_t = bool (*)(msgq_handle_t *handle);

struct msgq_app_cb_t {
    msgq_conn_cb_t conn_up_cb;
    msgq_conn_cb_t conn_down_cb;
    msgq_write_cb_t msg_write_cb; // required, never called
    msgq_read_cb_t msg_read_cb;
    msgq_malloc_cb_t malloc_cb; // plain malloc when absent
    msgq_free_cb_t free_cb;     // plain free when absent
    msgq_reboot_status_cb_t reboot_status_cb;
};

struct msgq_app_params_t {
    event_base *app_evbase_p;
    t_timer_mgr *timer_mgr_p; // clients only
    bool dont_register;
    bool use_app_header;
    uint8_t app_header_size;   // 1 to 64
    uint8_t app_msglen_offset; // the 16-bit length must lie inside the header
    int syslog_id;             // facility of the error lines
    uint8_t socket_type;       // msgq_socket_type_e
    uint16_t host_port;
    char host_addr[MSGQ_HOST_ADDR_LEN];
    char msg_path[MSGQ_PATH_LEN]; // empty: "/var/run/.<module name>"
    uint8_t client_socket_blocking : 1;
    uint8_t multi_conn : 1;     // servers with the library header only
    uint8_t peer_group_set : 1; // servers: peer_gid may connect besides root
    gid_t peer_gid;             // all server handles of a path agree on it
    uint32_t tx_queue_max;      // unsent bytes before the link closes; 0: default
};

struct msgq_stats_t {
    uint32_t tx_msg;
    uint32_t tx_fail;
    uint32_t rx_msg;
    uint32_t rx_fail;
    uint32_t tx_resched;
    uint32_t tx_write_cb;
    uint32_t rx_register;
    uint32_t tx_register;
    uint32_t conn_up;
    uint32_t conn_down;
    uint32_t conn_close;
    uint32_t conn_exist;
    uint32_t msg_allocs;
    uint32_t msg_frees;
    uint32_t alloc_failed;
    uint32_t tx_queued;
    uint32_t tx_dequeued;
    uint32_t tx_queue_failed;
    uint32_t rx_read_helper_cb;
    uint32_t rx_read_helper_scheduled;
    uint32_t conn_refused; // peer credentials refused, or a replacement by another user
    uint32_t tx_overflow;  // link closed with its send queue over the limit
    uint32_t accept_fail;  // accept attempts that failed (listener paused)
    uint32_t start_fail;   // listener or client socket could not be opened (retried)
};

// One queued outgoing message.
struct msgq_buf_t {
    msgq_buf_t *buf_next_p;
    uint16_t buf_offset; // bytes already sent
    uint16_t buf_size;   // bytes to send
    uint8_t *buf_p;      // start of the wire bytes
};

struct msgq_instance_t;
struct msgq_server_t;

inline constexpr unsigned MSGQ_NUM_WRITE_EVENTS = 2;

struct msgq_handle_t {
    uint8_t srcid;
    uint8_t tgtid;
    uint8_t type; // msgq_handle_type_e
    msgq_instance_t *inst_p;
    msgq_server_t *server_p;
    int sock_fd;

    TAILQ_ENTRY(msgq_handle_t) reg_list_entry;
    TAILQ_ENTRY(msgq_handle_t) unreg_list_entry;
    TAILQ_ENTRY(msgq_handle_t) tmp_list_entry;
    t_timer *conn_timer_p;

    msgq_app_cb_t app_cb;
    uint8_t dont_register : 1;
    uint8_t in_reg_list : 1;
    uint8_t in_unreg_list : 1;
    uint8_t in_tmp_list : 1;
    uint8_t use_app_header : 1;
    uint8_t client_socket_blocking : 1;
    uint8_t down_pending : 1;
    uint8_t destroy_pending : 1; // freed when the library's callbacks unwind
    uint8_t multi_conn : 1;      // a template: registrations get handles of their own
    uint8_t app_msglen_offset;
    uint8_t app_header_size;

    event *read_ev_p;
    uint8_t rx_hdr[MSGQ_APP_HDR_MAX];
    uint16_t rx_bytes;    // of the current message, header included
    uint16_t rx_msg_size; // 0 while the header is incomplete
    uint8_t *rx_buf_p;    // allocation holding the current message

    event *write_ev_p[MSGQ_NUM_WRITE_EVENTS];
    uint8_t write_ev_set : 1;
    uint8_t write_ev_index : 1;
    msgq_buf_t *buf_head_p;
    msgq_buf_t *buf_tail_p;

    void *user_arg_p;
    uint8_t socket_type;
    uint16_t host_port;
    char host_addr[MSGQ_HOST_ADDR_LEN];
    char msgq_path[MSGQ_PATH_LEN];
    msgq_stats_t stats;

    uint32_t tx_queue_max; // limit of tx_bytes
    uint32_t tx_bytes;     // queued and not yet sent
    uint32_t retry_ms;     // clients: delay of the next redial
    uid_t peer_uid;        // servers: user of the connected peer

    msgq_handle_t *parent_p; // a connection's template
    uint32_t num_conns;      // a template's live connections

    msgq_handle_t *zombie_next_p; // waiting to be freed
};

TAILQ_HEAD(msgq_handle_list_t, msgq_handle_t);

struct msgq_server_t {
    TAILQ_ENTRY(msgq_server_t) server_entry;
    msgq_instance_t *inst_p;
    uint8_t srcid;
    char msgq_path[MSGQ_PATH_LEN];
    evconnlistener *server_listener_p;
    msgq_handle_t *apphead_msgq_handle_p;
    bool listener_apphdr;
    bool peer_group_set;
    gid_t peer_gid;
    uint32_t ref_count;
    t_timer *retry_timer_p; // reopens a failed listener, resumes a paused accept
    uint32_t retry_ms;
    // conn_up: accepted; rx_register: registrations seen; conn_close: accepted
    // connections dropped before they registered; conn_refused: peers refused
    // by credentials or as another user's replacement.
    msgq_stats_t stats;
};

TAILQ_HEAD(msgq_server_list_t, msgq_server_t);

struct msgq_instance_t {
    msgq_handle_list_t reg_msgq_listhead;
    msgq_handle_list_t unreg_msgq_listhead;
    msgq_handle_list_t tmp_msgq_listhead;
    msgq_server_list_t server_head;
    event_base *app_evbase_p;
    t_timer_mgr *timer_mgr_p;
    int syslog_id;
    uint32_t cb_depth;            // library callbacks on the stack
    msgq_handle_t *zombie_head_p; // destroyed while callbacks were running
    uint32_t num_tmp;             // accepted connections not yet registered
};

// The process-wide instance, none before the first msgq_init.
msgq_instance_t *msgq_get_instance();

msgq_handle_t *msgq_init(uint8_t srcid, uint8_t tgtid, msgq_handle_type_e type,
                         const msgq_app_params_t *params, const msgq_app_cb_t *cbs,
                         void *user_arg_p);
void msgq_destroy(msgq_handle_t *handle);
bool msgq_ready(const msgq_handle_t *handle);

// Buffer for len application bytes, with the library header room in front.
void *msgq_msg_malloc(msgq_handle_t *handle, uint32_t len);
void msgq_msg_free(msgq_handle_t *handle, void *buf);
// MSGQ_OK: the library owns buf from now on. Any other result: the caller
// still owns buf and frees it with msgq_msg_free.
int msgq_write(msgq_handle_t *handle, void *buf, uint32_t len);

bool msgq_get_client_socket_blocking(const msgq_handle_t *handle);
void msgq_set_client_socket_blocking(msgq_handle_t *handle, bool on);

// Loop and timer callbacks.
void msgq_read_cb(int fd, short events, void *handle_p);
void msgq_write_cb(int fd, short events, void *handle_p);
void msgq_connect_timer(t_timer *timer, void *handle_p);
void msgq_listener_cb(evconnlistener *listener, int fd, struct sockaddr *addr, int addrlen,
                      void *server_p);

// Framing of one header, without sockets: the receive path and the fuzzer share it.
struct msgq_framing_t {
    bool use_app_header;
    uint8_t app_header_size;
    uint8_t app_msglen_offset;
};

enum msgq_frame_kind_e : uint8_t {
    MSGQ_FRAME_MSG = 0,       // a message of msg_size bytes, header included
    MSGQ_FRAME_REGISTER = 1,  // a registration: the header alone
    MSGQ_FRAME_TOO_SHORT = 2, // library header announcing <= 8 bytes: skip the header
    MSGQ_FRAME_BAD_LEN = 3,   // application length not beyond its header: cannot resync
};

struct msgq_frame_t {
    msgq_frame_kind_e kind;
    uint16_t msg_size;
    uint8_t src_mod;
    uint8_t tgt_mod;
};

size_t msgq_framing_hdr_len(const msgq_framing_t *framing);
// hdr holds exactly msgq_framing_hdr_len bytes.
msgq_frame_t msgq_frame_decode_hdr(const msgq_framing_t *framing, const uint8_t *hdr);

// The receive state machine over any byte source: sockets in the library, memory
// in the fuzzer. pull behaves like recv (bytes, 0 at end of stream, -1 and errno).
using msgq_pull_fn = ssize_t (*)(void *ctx, void *buf, size_t len);

enum msgq_rx_result_e : uint8_t {
    MSGQ_RX_AGAIN = 0,        // wait for more bytes
    MSGQ_RX_MSG = 1,          // *msg_pp holds a complete message for the application
    MSGQ_RX_REGISTER = 2,     // a registration header sits in rx_hdr
    MSGQ_RX_SKIPPED = 3,      // a too-short message header was dropped
    MSGQ_RX_NOT_REGISTER = 4, // an unregistered connection sent something else
    MSGQ_RX_CLOSED = 5,       // end of stream, a receive error or unusable framing
};

msgq_rx_result_e msgq_rx_step(msgq_handle_t *handle, msgq_pull_fn pull, void *ctx, void **msg_pp,
                              uint32_t *len_p);
// Drops a partly received message.
void msgq_rx_reset(msgq_handle_t *handle);

// Debug dump. With out == nullptr, user_p is a FILE * and lines go there.
using msgq_dump_out_t = void (*)(void *user_p, const char *line);
void msgq_dump_instance(void *user_p, msgq_dump_out_t out, int level);
void msgq_dump_server(void *user_p, msgq_dump_out_t out, int level, const msgq_server_t *server);
void msgq_dump_handle(void *user_p, msgq_dump_out_t out, int level, const msgq_handle_t *handle);
void msgq_dump_all_handles(void *user_p, msgq_dump_out_t out, int level);
