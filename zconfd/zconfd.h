// The configuration-database client framework. One call registers a daemon
// with the configuration agent cdbd; from then on, on the daemon's event loop:
// committed configuration changes arrive as calls of per-path configuration
// callbacks (rows of the subscription table, lower priority first), show
// requests as data callbacks, CLI commands as action callbacks. The daemon
// writes operational values and sends notifications through it.
//
// Everything runs on the loop thread: the agent link is a message-queue client
// whose deliveries are handled as they are read, operational writes go out in
// call order on that one link (queued while the agent is away), and the
// notification throttler is a loop timer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "zconfd/zconfd_value.h"

struct event_base;
struct event;
struct msgq_handle_t;
struct t_timer;
struct t_timer_mgr;
struct t_zconfd_context;
struct t_zconfd_sub_entry;

// Modification codes handed to configuration callbacks.
enum e_zconfd_mop : int {
    ZCONFD_MOP_CREATED = 1,
    ZCONFD_MOP_DELETED = 2,
    ZCONFD_MOP_MODIFIED = 3,
    ZCONFD_MOP_VALUE_SET = 4,
};

// Operation of an operational write.
enum e_zconfd_oper : int {
    E_ZCONFD_OPER_CREATE = 1, // create the element (list entry, container)
    E_ZCONFD_OPER_ADD = 2,    // set the leaf to the value
    E_ZCONFD_OPER_DEL = 3,    // delete the element and everything below
};

// Results of zconfd_module_init.
inline constexpr int ZCONFD_INIT_OK = 0;
inline constexpr int ZCONFD_INIT_RETRY = 3;

inline constexpr size_t ZCONFD_PATH_LEN = 256;
inline constexpr size_t ZCONFD_NAME_LEN = 64;
inline constexpr size_t ZCONFD_MOD_NAME_LEN = 33;
inline constexpr size_t ZCONFD_SOCK_PATH_LEN = 64;
inline constexpr uint32_t ZCONFD_RETRY_MS = 2000;
inline constexpr int ZCONFD_MAX_KEYS = 8;
// A notification carries fewer values than this.
inline constexpr int ZCONFD_NOTIF_MAX_VALUES = 20;
inline constexpr size_t ZCONFD_NOTIF_QLEN_CRITICAL = 100;
inline constexpr size_t ZCONFD_NOTIF_QLEN_MAJOR = 50;
inline constexpr size_t ZCONFD_NOTIF_QLEN_MINOR = 50;
inline constexpr uint32_t ZCONFD_NOTIF_INTERVAL_MS = 200;
// Operational write paths are cut to this many characters.
inline constexpr size_t ZCONFD_OPER_PATH_LEN = 100;

// Returns 0 when the change was applied. A callback that refuses its change
// returns non-zero having applied nothing of that change, and names the reason
// with zconfd_config_seterr; the agent then takes back the row's earlier
// changes of the same commit.
using f_zconfd_config_cb = int (*)(t_zconfd_sub_entry *sub_p, int oper, int num_keys,
                                   const t_zconfd_value *key_p, int num_values,
                                   const t_zconfd_value *val_p);

// One row of a subscription table; a table ends with a row whose path is empty.
struct t_zconfd_sub_entry {
    t_zconfd_context *ctxt_p;
    char path[ZCONFD_PATH_LEN]; // "vpn/vpn-instance/interface"
    f_zconfd_config_cb config_cb;
    uint32_t name_space;
    int id;         // add subscription
    int del_sub_id; // delete subscription, when del_priority is set
    uint8_t num_keys;
    uint8_t priority : 4;
    uint8_t del_priority : 4;
    uint8_t oper_data : 1;
    uint8_t two_phase : 1;
    uint8_t init_cfg_read : 1;
    uint8_t is_tenant : 1;
    uint8_t error : 1;
    uint8_t is_triggered : 1;
    timespec start_time;
    timespec end_time;
};

// Validation points are accepted for compatibility; the agent validates
// against the schema itself.
struct t_zconfd_val_point {
    char name[ZCONFD_NAME_LEN];
    int (*validate_cb)(t_zconfd_context *ctxt_p, const char *path);
};

// The user's side of an action or command: where output and errors go.
struct t_zconfd_uinfo {
    t_zconfd_context *ctxt_p;
    char *out_p; // command output, grown by zconfd_cli_printf
    size_t out_len;
    size_t out_size;
    char error[256];
};

// Command form: prints with zconfd_cli_printf, returns 0.
using f_zconfd_cmd_cb = int (*)(t_zconfd_uinfo *uinfo, const char *path, int argc,
                                const char **argv);
// Action form: returns 0, or -1 after zconfd_action_seterr.
using f_zconfd_action_cb = int (*)(t_zconfd_uinfo *uinfo, const char *name,
                                   const t_zconfd_value *params, int num_params);

// One row of an action table; a table ends with a row whose name is empty.
struct t_zconfd_action_cmd {
    char name[ZCONFD_NAME_LEN];
    f_zconfd_cmd_cb cmd_cb;
    f_zconfd_action_cb action_cb;
};

struct t_zconfd_notif_ctxt {
    uint32_t notification_events_mask;
    uint32_t health_check_interval;
    void (*notification_handler)(t_zconfd_context *ctxt_p);
};

// Called after a whole batch of rows was applied (trigger: the initial read).
using f_zconfd_sub_end_cb = void (*)(t_zconfd_context *ctxt_p, bool trigger);
using f_zconfd_data_register_cb = int (*)(t_zconfd_context *ctxt_p);
using f_zconfd_connected_cb = void (*)(t_zconfd_context *ctxt_p);
// The initial read (again after every reconnection) starts (done false) or
// was applied in full (done true): it holds the whole configuration, so what
// the daemon kept from before and the read did not bring is to be dropped.
using f_zconfd_resync_cb = void (*)(t_zconfd_context *ctxt_p, bool done);

struct t_zconfd_module_data {
    void *opaque_p;
    t_zconfd_sub_entry *sub_point_arr;
    t_zconfd_val_point *val_point_arr;
    t_zconfd_action_cmd *action_cmd_arr;
    void *notif_ctxt;
    t_zconfd_notif_ctxt *confd_notif_ctxt;
    void *snmp_notif_ctxt;
    f_zconfd_data_register_cb data_register_cb;
    f_zconfd_sub_end_cb sub_end_cb;
    f_zconfd_connected_cb connected_cb;
    event_base *evt_base_p;
    t_timer_mgr *timer_mgr_p;
    uint64_t vpn_id;
    uint32_t mod_id;
    bool selective_schema;
    uint32_t initial_read_priority_sub_id;
    char mod_name[ZCONFD_MOD_NAME_LEN]; // empty: the module's own name
    uint32_t subs_timeout_secs;
    char cdb_path[ZCONFD_SOCK_PATH_LEN]; // empty: "/var/run/.cdbd"
    f_zconfd_resync_cb resync_cb;
};

// The reason a configuration callback refuses its change, e.g. "vpn 1
// interface lan0: ipv6 address '1:2/64' is not a valid IPv6 prefix"; the
// operator sees it after the module's name.
void zconfd_config_seterr(t_zconfd_sub_entry *sub_p, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

// ---- data callbacks (show) ----

// Keys of the requested row, root first.
struct t_zconfd_keypath {
    int num_keys;
    t_zconfd_value keys[ZCONFD_MAX_KEYS];
};

// One request of the agent; replies are made before the callback returns.
struct t_zconfd_trans {
    t_zconfd_context *ctxt_p;
    void *opaque_p; // the daemon
    bool replied;
    bool found;
    void *reply_p; // the framework's reply under construction
};

// find_next_object's find types.
enum e_zconfd_find : int {
    ZCONFD_FIND_NEXT = 0,
    ZCONFD_FIND_SAME_OR_NEXT = 1,
};

struct t_zconfd_data_cbs {
    char callpoint[ZCONFD_NAME_LEN];
    int (*get_object)(t_zconfd_trans *tctx, const t_zconfd_keypath *kp);
    int (*get_next_object)(t_zconfd_trans *tctx, const t_zconfd_keypath *kp, long next);
    int (*find_next_object)(t_zconfd_trans *tctx, const t_zconfd_keypath *kp, int find_type,
                            const t_zconfd_value *keys, int num_keys);
};

// Registers a callpoint; allowed from data_register_cb only. Returns 0.
int zconfd_register_data_cb(t_zconfd_context *ctxt_p, const t_zconfd_data_cbs *cbs);
int zconfd_data_reply_value_array(t_zconfd_trans *tctx, const t_zconfd_value *vals, int num);
int zconfd_data_reply_not_found(t_zconfd_trans *tctx);
// With num 0: no (further) object.
int zconfd_data_reply_next_object_array(t_zconfd_trans *tctx, const t_zconfd_value *vals, int num,
                                        long next);
// Copies up to max keys of the keypath, root first; returns how many.
int zconfd_keypath_get_keys(const t_zconfd_keypath *kp, t_zconfd_value *keys, int max);

// ---- actions and commands ----

void zconfd_cli_printf(t_zconfd_uinfo *uinfo, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
void zconfd_action_seterr(t_zconfd_uinfo *uinfo, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

// ---- registration ----

// First call: module data given, *ctxt_pp receives the new context. Retries
// (from the framework's own timer): ctxt_p given. 0 when the agent link exists
// (registration then runs on the loop, with reconnection), 3 when it could not
// be made and a retry is scheduled. Missing mandatory module data ("Invalid
// zconfd registration: NULL Parameters") stops the process.
int zconfd_module_init(const t_zconfd_module_data *data_p, t_zconfd_context *ctxt_p,
                       t_zconfd_context **ctxt_pp);
void zconfd_module_deinit(t_zconfd_context **ctxt_pp);

void *zconfd_get_opaque(const t_zconfd_context *ctxt_p);
// True once the daemon's initial configuration read was applied.
bool zconfd_init_config_read_done(const t_zconfd_context *ctxt_p);

// ---- operational data and notifications ----

// value_p may be null for create and delete. Writes reach the agent in call order.
int zconfd_set_cdb_oper_value(t_zconfd_context *ctxt_p, const t_zconfd_value *value_p,
                              const char *path, int type, int operation);
// values: container begin, severity (enumeration: 1 critical, 2 major, other
// minor), ..., container end. Fewer than 20 values. Returns 0 when queued or sent.
int zconfd_event_send_notification(t_zconfd_context *ctxt_p, const t_zconfd_value *values,
                                   int count);

// The router's host name from the configuration ("" when not configured).
const char *zconfd_get_hostname(const t_zconfd_context *ctxt_p);
// The router's system address from the configuration (zero when not configured).
void zconfd_get_system_ip(const t_zconfd_context *ctxt_p, t_ipaddr *addr);

// One message from the agent, as the link hands it over (the fuzzer feeds it too).
void zconfd_input(t_zconfd_context *ctxt_p, const uint8_t *data, size_t len);

void zconfd_debug_enable();
void zconfd_debug_disable();
bool zconfd_debug_enabled();
