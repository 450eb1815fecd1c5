#include "zconfd/zconfd.h"

#include <event2/event.h>
#include <sys/time.h>
#include <syslog.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "common/msgq_util.h"
#include "common/pb_util.h"
#include "common/timer.h"
#include "common/zul_log.h"
#include "common/zul_module.h"
#include "zconfd/zconfd_pb.h"

namespace
{

bool g_zconfd_debug = false;

#define ZCONFD_DEBUG(fmt, ...)                                                                     \
    do {                                                                                           \
        if (g_zconfd_debug) {                                                                      \
            ZUL_LOG_PRI(LOG_LOCAL7 | LOG_DEBUG, fmt, ##__VA_ARGS__);                               \
        }                                                                                          \
    } while (0)

#define ZCONFD_LOG(fmt, ...) ZUL_LOG_PRI(LOG_LOCAL7 | LOG_DEBUG, fmt, ##__VA_ARGS__)

// Ids of delete subscriptions carry this bit on the wire.
constexpr uint32_t ZCONFD_DEL_SUB_BIT = 0x80000000u;
// The framework's own rows follow the daemon's, numbered from here.
constexpr int ZCONFD_COMMON_SUB_BASE = 10000;
// Operational writes kept while the agent is away.
constexpr size_t ZCONFD_OPER_PENDING_MAX = 10000;
constexpr const char *ZCONFD_DEFAULT_PATH = "/var/run/.cdbd";

// Registration phases: the agent link's progress.
enum e_zconfd_phase : int {
    ZCONFD_PHASE_CONNECTING = 0,
    ZCONFD_PHASE_CONNECTED = 1,
    ZCONFD_PHASE_REGISTERED = 2,
};

enum e_zconfd_throttler : uint8_t {
    ZCONFD_THROTTLER_INIT = 0,
    ZCONFD_THROTTLER_ACTIVE = 1,
    ZCONFD_THROTTLER_TERMINATE = 2,
};

enum e_zconfd_notif_queue : uint8_t {
    ZCONFD_NOTIF_CRITICAL = 0,
    ZCONFD_NOTIF_MAJOR = 1,
    ZCONFD_NOTIF_MINOR = 2,
    ZCONFD_NOTIF_QUEUES = 3,
};

constexpr size_t ZCONFD_NOTIF_QLEN[ZCONFD_NOTIF_QUEUES] = {
    ZCONFD_NOTIF_QLEN_CRITICAL, ZCONFD_NOTIF_QLEN_MAJOR, ZCONFD_NOTIF_QLEN_MINOR};

using t_zconfd_bytes = std::vector<uint8_t>;

} // namespace

struct t_zconfd_context {
    t_zconfd_module_data module_data;
    std::vector<t_zconfd_sub_entry> subs; // the daemon's rows, then the framework's
    size_t num_daemon_subs = 0;
    std::vector<t_zconfd_action_cmd> actions;
    std::vector<t_zconfd_data_cbs> data_cbs;
    bool in_data_register = false;
    msgq_handle_t *cdb_handle_p = nullptr;
    t_timer *retry_timer = nullptr;
    int confd_phase = ZCONFD_PHASE_CONNECTING;
    bool init_config_read_done = false;
    bool resync_started = false;
    // Reason given by the configuration callback being called.
    std::string config_error;
    uint32_t seq = 1;
    // The batch being delivered.
    uint32_t batch_id = 0;
    bool batch_failed = false;
    bool batch_trigger = false;
    std::string batch_error;
    std::vector<uint32_t> batch_applied;
    std::vector<t_zconfd_value> scratch_keys;
    std::vector<t_zconfd_value> scratch_vals;
    std::deque<t_zconfd_bytes> oper_pending;
    std::deque<t_zconfd_bytes> notif_q[ZCONFD_NOTIF_QUEUES];
    e_zconfd_throttler throttler_state = ZCONFD_THROTTLER_INIT;
    event *notif_ev_p = nullptr;
    std::string hostname;
    t_ipaddr system_ip{};
    uint64_t rx_bad = 0;
};

namespace
{

constexpr uint32_t ZCONFD_TAG_HOST_NAME = zconfd_tag("host-name");
constexpr uint32_t ZCONFD_TAG_SYSTEM_IP = zconfd_tag("system-ip");

// The framework's own row: the router's host name and system address.
int zconfd_common_system_cb(t_zconfd_sub_entry *sub_p, int, int, const t_zconfd_value *,
                            int num_values, const t_zconfd_value *val_p)
{
    t_zconfd_context *ctx = sub_p->ctxt_p;
    for (int i = 0; i < num_values; i++) {
        const t_zconfd_value &v = val_p[i];
        if (v.tag == ZCONFD_TAG_HOST_NAME) {
            ctx->hostname = v.type == ZCONFD_VT_STR && v.str_p != nullptr ? v.str_p : "";
        } else if (v.tag == ZCONFD_TAG_SYSTEM_IP) {
            if (v.type == ZCONFD_VT_IPV4 || v.type == ZCONFD_VT_IPV6) {
                IPADDR_COPY(&ctx->system_ip, &v.v.addr);
            } else {
                IPADDR_INIT(&ctx->system_ip, IP_ADDR_V4);
            }
        }
    }
    return 0;
}

// Initial-read level of a module: the forwarding table manager reads before
// the others.
uint32_t zconfd_read_level(uint32_t mod_id) { return mod_id == ZUL_MODULE_FTM ? 2 : 3; }

const char *zconfd_mod_name(const t_zconfd_context *ctx)
{
    return ctx->module_data.mod_name[0] != '\0' ? ctx->module_data.mod_name
                                                : zul_module_name(ctx->module_data.mod_id);
}

t_zconfd_bytes zconfd_pack(Cdb__CdbMsg *msg)
{
    t_zconfd_bytes bytes(cdb__cdb_msg__get_packed_size(msg));
    cdb__cdb_msg__pack(msg, bytes.data());
    return bytes;
}

int zconfd_send_bytes(t_zconfd_context *ctx, const t_zconfd_bytes &bytes)
{
    if (bytes.size() > MSGQ_MAX_APP_LEN || !msgq_ready(ctx->cdb_handle_p)) {
        return -1;
    }
    void *buf = msgq_msg_malloc(ctx->cdb_handle_p, static_cast<uint32_t>(bytes.size()));
    if (buf == nullptr) {
        return -1;
    }
    memcpy(buf, bytes.data(), bytes.size());
    if (msgq_write(ctx->cdb_handle_p, buf, static_cast<uint32_t>(bytes.size())) != MSGQ_OK) {
        msgq_msg_free(ctx->cdb_handle_p, buf);
        return -1;
    }
    return 0;
}

int zconfd_send(t_zconfd_context *ctx, Cdb__CdbMsg *msg)
{
    return zconfd_msg_send(ctx->cdb_handle_p, msg);
}

void zconfd_flush_oper(t_zconfd_context *ctx)
{
    while (!ctx->oper_pending.empty() && ctx->confd_phase == ZCONFD_PHASE_REGISTERED) {
        if (zconfd_send_bytes(ctx, ctx->oper_pending.front()) != 0) {
            return;
        }
        ctx->oper_pending.pop_front();
    }
}

void zconfd_send_register(t_zconfd_context *ctx)
{
    std::deque<Cdb__Subscription> subs;
    std::vector<Cdb__Subscription *> sub_ptrs;
    for (t_zconfd_sub_entry &row : ctx->subs) {
        Cdb__Subscription &ps = subs.emplace_back();
        cdb__subscription__init(&ps);
        ps.id = static_cast<uint32_t>(row.id);
        ps.path = row.path;
        ps.priority = row.priority;
        ps.has_del_priority = row.del_priority != 0;
        ps.del_priority = row.del_priority;
        ps.has_oper = row.oper_data != 0;
        ps.oper = row.oper_data != 0;
        sub_ptrs.push_back(&ps);
    }
    std::vector<char *> callpoints;
    for (t_zconfd_data_cbs &cbs : ctx->data_cbs) {
        callpoints.push_back(cbs.callpoint);
    }
    std::vector<char *> actionpoints;
    for (t_zconfd_action_cmd &row : ctx->actions) {
        actionpoints.push_back(row.name);
    }
    Cdb__Register reg = CDB__REGISTER__INIT;
    reg.mod_name = const_cast<char *>(zconfd_mod_name(ctx));
    reg.mod_id = ctx->module_data.mod_id;
    reg.read_level = zconfd_read_level(ctx->module_data.mod_id);
    reg.subs = sub_ptrs.data();
    reg.n_subs = sub_ptrs.size();
    reg.callpoints = callpoints.data();
    reg.n_callpoints = callpoints.size();
    reg.actionpoints = actionpoints.data();
    reg.n_actionpoints = actionpoints.size();
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.seq = ctx->seq++;
    msg.body_case = CDB__CDB_MSG__BODY_REGISTER;
    msg.register_ = &reg;
    if (zconfd_send(ctx, &msg) != 0) {
        ZCONFD_LOG("Failed to send the registration of %s", zconfd_mod_name(ctx));
    }
}

void zconfd_conn_up(msgq_handle_t *, void *arg)
{
    auto *ctx = static_cast<t_zconfd_context *>(arg);
    ctx->confd_phase = ZCONFD_PHASE_CONNECTED;
    for (t_zconfd_sub_entry &row : ctx->subs) {
        row.init_cfg_read = 0;
        row.error = 0;
    }
    ctx->init_config_read_done = false;
    ctx->resync_started = false;
    ctx->batch_id = 0;
    ZCONFD_LOG("Connected to the configuration agent, registering %s", zconfd_mod_name(ctx));
    zconfd_send_register(ctx);
}

void zconfd_conn_down(msgq_handle_t *, void *arg)
{
    auto *ctx = static_cast<t_zconfd_context *>(arg);
    ZCONFD_LOG("Subscription socket closed");
    ctx->confd_phase = ZCONFD_PHASE_CONNECTING;
    ctx->init_config_read_done = false;
    ctx->batch_id = 0;
}

void zconfd_msg_write(msgq_handle_t *, void *) {}

t_zconfd_sub_entry *zconfd_row_of(t_zconfd_context *ctx, uint32_t id)
{
    for (t_zconfd_sub_entry &row : ctx->subs) {
        if (static_cast<uint32_t>(row.id) == id ||
            (row.del_priority != 0 && static_cast<uint32_t>(row.del_sub_id) == id)) {
            return &row;
        }
    }
    return nullptr;
}

bool zconfd_decode_values(Cdb__Value **pbs, size_t n, std::vector<t_zconfd_value> *out)
{
    out->resize(n);
    for (size_t i = 0; i < n; i++) {
        if (!zconfd_pb_to_value(pbs[i], &(*out)[i])) {
            return false;
        }
    }
    return true;
}

void zconfd_batch_fail(t_zconfd_context *ctx, const std::string &error)
{
    if (!ctx->batch_failed) {
        ctx->batch_failed = true;
        ctx->batch_error = error;
    }
}

void zconfd_apply_row(t_zconfd_context *ctx, t_zconfd_sub_entry *row, const Cdb__SubChanges *sc)
{
    clock_gettime(CLOCK_MONOTONIC, &row->start_time);
    for (size_t c = 0; c < sc->n_changes && !ctx->batch_failed; c++) {
        const Cdb__Change *ch = sc->changes[c];
        if (!zconfd_decode_values(ch->keys, ch->n_keys, &ctx->scratch_keys) ||
            !zconfd_decode_values(ch->values, ch->n_values, &ctx->scratch_vals) ||
            ch->op < ZCONFD_MOP_CREATED || ch->op > ZCONFD_MOP_VALUE_SET) {
            ctx->rx_bad++;
            zconfd_batch_fail(ctx, std::string("malformed change for ") + row->path);
            break;
        }
        if (static_cast<int>(ch->n_keys) != row->num_keys) {
            ZCONFD_LOG("Keys of %s: %zu, expected %u", row->path, ch->n_keys, row->num_keys);
            zconfd_batch_fail(ctx, std::string("wrong number of keys for ") + row->path);
            break;
        }
        ZCONFD_DEBUG("Delivering %s oper %u keys %zu values %zu", row->path, ch->op, ch->n_keys,
                     ch->n_values);
        ctx->config_error.clear();
        int rc = row->config_cb(row, static_cast<int>(ch->op), static_cast<int>(ch->n_keys),
                                ctx->scratch_keys.data(), static_cast<int>(ch->n_values),
                                ctx->scratch_vals.data());
        if (rc != 0) {
            row->error = 1;
            ZCONFD_LOG("Config callback failed (%s - %d) : %s", row->path, rc,
                       ctx->config_error.empty() ? "Unable to apply changes"
                                                 : ctx->config_error.c_str());
            zconfd_batch_fail(ctx, !ctx->config_error.empty()
                                       ? ctx->config_error
                                       : std::string("Config callback failed for ") + row->path +
                                             " (" + std::to_string(rc) + ")");
            // The row's earlier changes took effect: the agent takes the
            // whole row back.
            if (c > 0) {
                ctx->batch_applied.push_back(sc->sub_id);
            }
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &row->end_time);
}

void zconfd_delivery(t_zconfd_context *ctx, const Cdb__Delivery *del)
{
    if (del->batch_id != ctx->batch_id) {
        ctx->batch_id = del->batch_id;
        ctx->batch_failed = false;
        ctx->batch_error.clear();
        ctx->batch_trigger = del->trigger;
        ctx->batch_applied.clear();
    }
    // Rows in table order: the daemon's, then the framework's.
    for (t_zconfd_sub_entry &row : ctx->subs) {
        for (size_t i = 0; i < del->n_subs; i++) {
            const Cdb__SubChanges *sc = del->subs[i];
            if (zconfd_row_of(ctx, sc->sub_id) != &row) {
                continue;
            }
            if (!row.init_cfg_read && !del->trigger) {
                continue;
            }
            if (del->trigger) {
                row.init_cfg_read = 1;
                row.is_triggered = 1;
                if (!ctx->resync_started) {
                    ctx->resync_started = true;
                    if (ctx->module_data.resync_cb != nullptr) {
                        ctx->module_data.resync_cb(ctx, false);
                    }
                }
            }
            if (row.config_cb != nullptr && !ctx->batch_failed) {
                zconfd_apply_row(ctx, &row, sc);
            }
            if (!ctx->batch_failed) {
                ctx->batch_applied.push_back(sc->sub_id);
            }
        }
    }
    for (size_t i = 0; i < del->n_subs; i++) {
        if (zconfd_row_of(ctx, del->subs[i]->sub_id) == nullptr) {
            ZCONFD_LOG("Not all subscription points (%d) read", static_cast<int>(del->n_subs));
            break;
        }
    }
    if (del->has_more && del->more) {
        return;
    }
    if (!ctx->batch_failed && ctx->module_data.sub_end_cb != nullptr) {
        ctx->module_data.sub_end_cb(ctx, ctx->batch_trigger);
    }
    if (del->initial_done && !ctx->batch_failed && !ctx->init_config_read_done) {
        if (ctx->module_data.resync_cb != nullptr) {
            ctx->module_data.resync_cb(ctx, true);
        }
        ctx->init_config_read_done = true;
        ZCONFD_LOG("Initial config read done");
    }
    Cdb__DeliveryReply reply = CDB__DELIVERY_REPLY__INIT;
    reply.batch_id = ctx->batch_id;
    reply.ok = !ctx->batch_failed;
    if (ctx->batch_failed) {
        reply.error = const_cast<char *>(ctx->batch_error.c_str());
        reply.applied_subs = ctx->batch_applied.data();
        reply.n_applied_subs = ctx->batch_applied.size();
    }
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.body_case = CDB__CDB_MSG__BODY_DELIVERY_REPLY;
    msg.delivery_reply = &reply;
    zconfd_send(ctx, &msg);
    ctx->batch_id = 0;
}

void zconfd_data_request(t_zconfd_context *ctx, uint32_t seq, const Cdb__DataRequest *req)
{
    t_zconfd_pb_values reply_vals;
    t_zconfd_trans tctx{};
    tctx.ctxt_p = ctx;
    tctx.opaque_p = ctx->module_data.opaque_p;
    tctx.reply_p = &reply_vals;
    t_zconfd_keypath kp{};
    const t_zconfd_data_cbs *cbs = nullptr;
    for (const t_zconfd_data_cbs &c : ctx->data_cbs) {
        if (strcmp(c.callpoint, req->callpoint) == 0) {
            cbs = &c;
        }
    }
    std::string error;
    if (cbs == nullptr) {
        error = std::string("no callpoint ") + req->callpoint;
    } else if (req->n_keys > ZCONFD_MAX_KEYS) {
        error = "too many keys";
    } else {
        kp.num_keys = static_cast<int>(req->n_keys);
        for (size_t i = 0; i < req->n_keys && error.empty(); i++) {
            if (!zconfd_pb_to_value(req->keys[i], &kp.keys[i])) {
                ctx->rx_bad++;
                error = "malformed key";
            }
        }
    }
    if (error.empty()) {
        int rc = -1;
        switch (req->op) {
        case CDB__DATA_OP__DATA_GET:
            rc = cbs->get_object != nullptr ? cbs->get_object(&tctx, &kp) : -1;
            break;
        case CDB__DATA_OP__DATA_FIRST:
            rc = cbs->get_next_object != nullptr ? cbs->get_next_object(&tctx, &kp, -1) : -1;
            break;
        case CDB__DATA_OP__DATA_NEXT:
        case CDB__DATA_OP__DATA_SAME_OR_NEXT:
            rc = cbs->find_next_object != nullptr
                     ? cbs->find_next_object(&tctx, &kp,
                                             req->op == CDB__DATA_OP__DATA_NEXT
                                                 ? ZCONFD_FIND_NEXT
                                                 : ZCONFD_FIND_SAME_OR_NEXT,
                                             kp.keys, kp.num_keys)
                     : -1;
            break;
        default:
            break;
        }
        if (rc != 0 && !tctx.replied) {
            error = "the daemon could not answer";
        }
    }
    Cdb__DataReply dr = CDB__DATA_REPLY__INIT;
    dr.found = error.empty() && tctx.found;
    if (dr.found) {
        dr.values = reply_vals.data();
        dr.n_values = reply_vals.size();
    }
    if (!error.empty()) {
        dr.error = const_cast<char *>(error.c_str());
    }
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.seq = seq;
    msg.body_case = CDB__CDB_MSG__BODY_DATA_REPLY;
    msg.data_reply = &dr;
    if (zconfd_send(ctx, &msg) != 0) {
        ZCONFD_LOG("Failed to send oper data reply - %s (%d) : %s", req->callpoint, -1,
                   "reply does not fit or link down");
    }
}

void zconfd_action_request(t_zconfd_context *ctx, uint32_t seq, const Cdb__ActionRequest *req)
{
    t_zconfd_uinfo uinfo{};
    uinfo.ctxt_p = ctx;
    const t_zconfd_action_cmd *row = nullptr;
    for (const t_zconfd_action_cmd &r : ctx->actions) {
        if (strcmp(r.name, req->actionpoint) == 0) {
            row = &r;
        }
    }
    int rc = -1;
    std::string error;
    if (row == nullptr) {
        error = std::string("no action point ") + req->actionpoint;
    } else if (row->cmd_cb != nullptr && (req->n_argv > 0 || row->action_cb == nullptr)) {
        std::vector<const char *> argv(req->argv, req->argv + req->n_argv);
        argv.push_back(nullptr);
        rc = row->cmd_cb(&uinfo, req->actionpoint, static_cast<int>(req->n_argv), argv.data());
    } else if (row->action_cb != nullptr) {
        std::vector<t_zconfd_value> params;
        if (!zconfd_decode_values(req->values, req->n_values, &params)) {
            ctx->rx_bad++;
            error = "malformed parameters";
        } else {
            rc = row->action_cb(&uinfo, req->action != nullptr ? req->action : req->actionpoint,
                                params.data(), static_cast<int>(params.size()));
        }
    }
    if (rc != 0 && error.empty()) {
        error = uinfo.error[0] != '\0' ? uinfo.error : "failed";
    }
    Cdb__ActionReply ar = CDB__ACTION_REPLY__INIT;
    ar.ok = rc == 0 && error.empty();
    if (!error.empty()) {
        ar.error = const_cast<char *>(error.c_str());
    }
    if (uinfo.out_p != nullptr) {
        // Output that does not fit one message is cut.
        if (uinfo.out_len > MSGQ_MAX_APP_LEN - 1024) {
            uinfo.out_p[MSGQ_MAX_APP_LEN - 1024] = '\0';
        }
        ar.output = uinfo.out_p;
    }
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.seq = seq;
    msg.body_case = CDB__CDB_MSG__BODY_ACTION_REPLY;
    msg.action_reply = &ar;
    zconfd_send(ctx, &msg);
    free(uinfo.out_p);
}

void zconfd_schedule_retry(t_zconfd_context *ctx);

void zconfd_register_reply(t_zconfd_context *ctx, const Cdb__RegisterReply *rr)
{
    if (!rr->ok) {
        // Dropping the link and dialling again later re-registers from scratch.
        ZCONFD_LOG("confd_register_done() failed (%s - %d)",
                   rr->error != nullptr ? rr->error : "refused", -1);
        msgq_destroy(ctx->cdb_handle_p);
        ctx->cdb_handle_p = nullptr;
        ctx->confd_phase = ZCONFD_PHASE_CONNECTING;
        zconfd_schedule_retry(ctx);
        return;
    }
    ctx->confd_phase = ZCONFD_PHASE_REGISTERED;
    ZCONFD_LOG("Registered %s with the configuration agent", zconfd_mod_name(ctx));
    zconfd_flush_oper(ctx);
    if (ctx->module_data.connected_cb != nullptr) {
        ctx->module_data.connected_cb(ctx);
    }
}

void zconfd_msg_read(msgq_handle_t *handle, void *buf, uint32_t len, void *arg)
{
    zconfd_input(static_cast<t_zconfd_context *>(arg), static_cast<const uint8_t *>(buf), len);
    msgq_msg_free(handle, buf);
}

void zconfd_retry_cb(t_timer *, void *arg)
{
    auto *ctx = static_cast<t_zconfd_context *>(arg);
    zconfd_module_init(nullptr, ctx, nullptr);
}

void zconfd_schedule_retry(t_zconfd_context *ctx)
{
    if (ctx->retry_timer == nullptr) {
        ctx->retry_timer =
            timer_util_create(ctx->module_data.timer_mgr_p, TIMER_PRI_HIGH, TIMER_TYPE_CYCLIC,
                              ZCONFD_RETRY_MS, zconfd_retry_cb, ctx, "zconfd_timer");
    }
    if (ctx->retry_timer != nullptr) {
        timer_enable(ctx->retry_timer);
    }
}

// One notification per wake, the most severe queue first.
void zconfd_throttler_cb(evutil_socket_t, short, void *arg)
{
    auto *ctx = static_cast<t_zconfd_context *>(arg);
    for (auto &q : ctx->notif_q) {
        if (q.empty()) {
            continue;
        }
        if (zconfd_send_bytes(ctx, q.front()) != 0) {
            ZCONFD_LOG("Notification dropped: the configuration agent is not reachable");
        }
        q.pop_front();
        return;
    }
}

bool zconfd_module_data_valid(const t_zconfd_module_data *d)
{
    return d->opaque_p != nullptr && d->sub_point_arr != nullptr && d->val_point_arr != nullptr &&
           d->action_cmd_arr != nullptr && d->evt_base_p != nullptr &&
           d->data_register_cb != nullptr && d->timer_mgr_p != nullptr;
}

t_zconfd_context *zconfd_context_create(const t_zconfd_module_data *data_p)
{
    auto *ctx = new t_zconfd_context;
    ctx->module_data = *data_p;
    IPADDR_INIT(&ctx->system_ip, IP_ADDR_V4);
    for (const t_zconfd_sub_entry *row = data_p->sub_point_arr; row->path[0] != '\0'; row++) {
        ctx->subs.push_back(*row);
    }
    ctx->num_daemon_subs = ctx->subs.size();
    // The framework's common row comes after the daemon's rows.
    t_zconfd_sub_entry common{};
    snprintf(common.path, sizeof(common.path), "system");
    common.config_cb = zconfd_common_system_cb;
    ctx->subs.push_back(common);
    for (size_t i = 0; i < ctx->subs.size(); i++) {
        t_zconfd_sub_entry &row = ctx->subs[i];
        row.ctxt_p = ctx;
        row.id = i < ctx->num_daemon_subs ? static_cast<int>(i + 1)
                                          : ZCONFD_COMMON_SUB_BASE + static_cast<int>(i);
        row.del_sub_id = row.del_priority != 0
                             ? static_cast<int>(static_cast<uint32_t>(row.id) | ZCONFD_DEL_SUB_BIT)
                             : 0;
    }
    for (const t_zconfd_action_cmd *row = data_p->action_cmd_arr; row->name[0] != '\0'; row++) {
        ctx->actions.push_back(*row);
    }
    ctx->in_data_register = true;
    int rc = data_p->data_register_cb(ctx);
    ctx->in_data_register = false;
    if (rc != 0) {
        ZCONFD_LOG("Data callback registration of %s failed (%d)", zconfd_mod_name(ctx), rc);
    }
    ctx->notif_ev_p = event_new(data_p->evt_base_p, -1, EV_PERSIST, zconfd_throttler_cb, ctx);
    timeval tv = {0, static_cast<suseconds_t>(ZCONFD_NOTIF_INTERVAL_MS * 1000)};
    if (ctx->notif_ev_p != nullptr && event_add(ctx->notif_ev_p, &tv) == 0) {
        ctx->throttler_state = ZCONFD_THROTTLER_ACTIVE;
    }
    return ctx;
}

} // namespace

void zconfd_input(t_zconfd_context *ctx, const uint8_t *data, size_t len)
{
    Cdb__CdbMsg *msg = cdb__cdb_msg__unpack(nullptr, len, data);
    if (msg == nullptr) {
        ctx->rx_bad++;
        ZCONFD_LOG("Undecodable message of %zu bytes from the configuration agent", len);
        return;
    }
    if (!pb_util_enums_valid(&msg->base)) {
        ctx->rx_bad++;
        ZCONFD_LOG("Message with an unknown enumeration value from the configuration agent");
        cdb__cdb_msg__free_unpacked(msg, nullptr);
        return;
    }
    switch (msg->body_case) {
    case CDB__CDB_MSG__BODY_REGISTER_REPLY:
        zconfd_register_reply(ctx, msg->register_reply);
        break;
    case CDB__CDB_MSG__BODY_DELIVERY:
        zconfd_delivery(ctx, msg->delivery);
        break;
    case CDB__CDB_MSG__BODY_DATA_REQUEST:
        zconfd_data_request(ctx, msg->seq, msg->data_request);
        break;
    case CDB__CDB_MSG__BODY_ACTION_REQUEST:
        zconfd_action_request(ctx, msg->seq, msg->action_request);
        break;
    default:
        ctx->rx_bad++;
        break;
    }
    cdb__cdb_msg__free_unpacked(msg, nullptr);
}

int zconfd_module_init(const t_zconfd_module_data *data_p, t_zconfd_context *ctxt_p,
                       t_zconfd_context **ctxt_pp)
{
    if (ctxt_p == nullptr) {
        if (data_p == nullptr || ctxt_pp == nullptr || !zconfd_module_data_valid(data_p)) {
            ZCONFD_LOG("Invalid zconfd registration: NULL Parameters");
            abort();
        }
        // A peer that goes away must fail our writes, not stop the process.
        struct sigaction old {
        };
        if (sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) {
            signal(SIGPIPE, SIG_IGN);
        }
        ctxt_p = zconfd_context_create(data_p);
        *ctxt_pp = ctxt_p;
    }
    if (ctxt_p->cdb_handle_p == nullptr) {
        msgq_app_params_t params{};
        params.app_evbase_p = ctxt_p->module_data.evt_base_p;
        params.timer_mgr_p = ctxt_p->module_data.timer_mgr_p;
        params.syslog_id = LOG_LOCAL7;
        params.socket_type = MSGQ_SOCKET_TYPE_UNIX;
        snprintf(params.msg_path, sizeof(params.msg_path), "%s",
                 ctxt_p->module_data.cdb_path[0] != '\0' ? ctxt_p->module_data.cdb_path
                                                         : ZCONFD_DEFAULT_PATH);
        msgq_app_cb_t cbs{};
        cbs.conn_up_cb = zconfd_conn_up;
        cbs.conn_down_cb = zconfd_conn_down;
        cbs.msg_write_cb = zconfd_msg_write;
        cbs.msg_read_cb = zconfd_msg_read;
        ctxt_p->cdb_handle_p =
            msgq_init(static_cast<uint8_t>(ctxt_p->module_data.mod_id), ZUL_MODULE_CDB,
                      MSGQ_HANDLE_TYPE_CLIENT, &params, &cbs, ctxt_p);
    }
    if (ctxt_p->cdb_handle_p == nullptr) {
        ZCONFD_LOG("Failed to create the configuration agent link for %s", zconfd_mod_name(ctxt_p));
        zconfd_schedule_retry(ctxt_p);
        return ZCONFD_INIT_RETRY;
    }
    if (ctxt_p->retry_timer != nullptr) {
        timer_disable(ctxt_p->retry_timer);
    }
    return ZCONFD_INIT_OK;
}

void zconfd_module_deinit(t_zconfd_context **ctxt_pp)
{
    if (ctxt_pp == nullptr || *ctxt_pp == nullptr) {
        return;
    }
    t_zconfd_context *ctx = *ctxt_pp;
    ctx->throttler_state = ZCONFD_THROTTLER_TERMINATE;
    for (int q = 0; q < ZCONFD_NOTIF_QUEUES; q++) {
        if (!ctx->notif_q[q].empty()) {
            ZCONFD_LOG("Pending notifications from queue %d are being dropped", q);
        }
    }
    if (ctx->notif_ev_p != nullptr) {
        event_free(ctx->notif_ev_p);
    }
    if (ctx->cdb_handle_p != nullptr) {
        msgq_destroy(ctx->cdb_handle_p);
    }
    if (ctx->retry_timer != nullptr) {
        timer_util_delete(ctx->retry_timer);
    }
    delete ctx;
    *ctxt_pp = nullptr;
}

void *zconfd_get_opaque(const t_zconfd_context *ctxt_p) { return ctxt_p->module_data.opaque_p; }

bool zconfd_init_config_read_done(const t_zconfd_context *ctxt_p)
{
    return ctxt_p->init_config_read_done;
}

int zconfd_register_data_cb(t_zconfd_context *ctxt_p, const t_zconfd_data_cbs *cbs)
{
    if (!ctxt_p->in_data_register || cbs == nullptr || cbs->callpoint[0] == '\0') {
        return -1;
    }
    ctxt_p->data_cbs.push_back(*cbs);
    return 0;
}

int zconfd_data_reply_value_array(t_zconfd_trans *tctx, const t_zconfd_value *vals, int num)
{
    if (tctx->replied) {
        return -1;
    }
    tctx->replied = true;
    tctx->found = true;
    static_cast<t_zconfd_pb_values *>(tctx->reply_p)->add_all(vals, num);
    return 0;
}

int zconfd_data_reply_not_found(t_zconfd_trans *tctx)
{
    if (tctx->replied) {
        return -1;
    }
    tctx->replied = true;
    tctx->found = false;
    return 0;
}

int zconfd_data_reply_next_object_array(t_zconfd_trans *tctx, const t_zconfd_value *vals, int num,
                                        long)
{
    if (vals == nullptr || num <= 0) {
        return zconfd_data_reply_not_found(tctx);
    }
    return zconfd_data_reply_value_array(tctx, vals, num);
}

int zconfd_keypath_get_keys(const t_zconfd_keypath *kp, t_zconfd_value *keys, int max)
{
    int n = kp->num_keys < max ? kp->num_keys : max;
    for (int i = 0; i < n; i++) {
        keys[i] = kp->keys[i];
    }
    return n;
}

void zconfd_cli_printf(t_zconfd_uinfo *uinfo, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char *text = nullptr;
    int len = vasprintf(&text, fmt, ap);
    va_end(ap);
    if (len < 0) {
        return;
    }
    size_t need = uinfo->out_len + static_cast<size_t>(len) + 1;
    if (need > uinfo->out_size) {
        size_t size = need < 4096 ? 4096 : need * 2;
        auto *grown = static_cast<char *>(realloc(uinfo->out_p, size));
        if (grown == nullptr) {
            free(text);
            return;
        }
        uinfo->out_p = grown;
        uinfo->out_size = size;
    }
    memcpy(uinfo->out_p + uinfo->out_len, text, static_cast<size_t>(len) + 1);
    uinfo->out_len += static_cast<size_t>(len);
    free(text);
}

void zconfd_config_seterr(t_zconfd_sub_entry *sub_p, const char *fmt, ...)
{
    if (sub_p == nullptr || sub_p->ctxt_p == nullptr) {
        return;
    }
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    sub_p->ctxt_p->config_error = text;
}

void zconfd_action_seterr(t_zconfd_uinfo *uinfo, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(uinfo->error, sizeof(uinfo->error), fmt, ap);
    va_end(ap);
}

int zconfd_set_cdb_oper_value(t_zconfd_context *ctxt_p, const t_zconfd_value *value_p,
                              const char *path, int type, int operation)
{
    if (ctxt_p == nullptr || path == nullptr) {
        return -1;
    }
    char cut[ZCONFD_OPER_PATH_LEN];
    snprintf(cut, sizeof(cut), "%s", path);
    t_zconfd_pb_values vals;
    Cdb__OperWrite ow = CDB__OPER_WRITE__INIT;
    ow.path = cut;
    switch (operation) {
    case E_ZCONFD_OPER_CREATE:
        ow.op = CDB__OPER_OP__OPER_CREATE;
        break;
    case E_ZCONFD_OPER_DEL:
        ow.op = CDB__OPER_OP__OPER_DEL;
        break;
    case E_ZCONFD_OPER_ADD:
        if (value_p == nullptr || value_p->type != type) {
            return -1;
        }
        ow.op = CDB__OPER_OP__OPER_SET;
        vals.add(value_p);
        ow.value = vals.data()[0];
        break;
    default:
        return -1;
    }
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.body_case = CDB__CDB_MSG__BODY_OPER_WRITE;
    msg.oper_write = &ow;
    // Behind earlier writes still waiting for the agent, so writes land in order.
    if (ctxt_p->oper_pending.size() >= ZCONFD_OPER_PENDING_MAX) {
        ZCONFD_LOG("Operational write of %s dropped: too many waiting", cut);
        return -1;
    }
    ctxt_p->oper_pending.push_back(zconfd_pack(&msg));
    zconfd_flush_oper(ctxt_p);
    return 0;
}

int zconfd_event_send_notification(t_zconfd_context *ctxt_p, const t_zconfd_value *values,
                                   int count)
{
    if (ctxt_p == nullptr || values == nullptr || count < 2 || count >= ZCONFD_NOTIF_MAX_VALUES) {
        ZCONFD_LOG("Notification with %d values refused", count);
        return -1;
    }
    if (ctxt_p->confd_phase < ZCONFD_PHASE_REGISTERED) {
        ZCONFD_LOG("Confd in phase %d, not sending notification", ctxt_p->confd_phase);
        return -1;
    }
    timeval now;
    gettimeofday(&now, nullptr);
    t_zconfd_pb_values vals;
    vals.add_all(values, count);
    Cdb__Notification n = CDB__NOTIFICATION__INIT;
    n.module = const_cast<char *>(zconfd_mod_name(ctxt_p));
    n.time_us = static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_usec);
    n.values = vals.data();
    n.n_values = vals.size();
    Cdb__CdbMsg msg = CDB__CDB_MSG__INIT;
    msg.body_case = CDB__CDB_MSG__BODY_NOTIFICATION;
    msg.notification = &n;
    t_zconfd_bytes bytes = zconfd_pack(&msg);

    uint64_t severity = zconfd_val_to_u64(&values[1]);
    int q = severity == 1 ? ZCONFD_NOTIF_CRITICAL
                          : (severity == 2 ? ZCONFD_NOTIF_MAJOR : ZCONFD_NOTIF_MINOR);
    if (ctxt_p->throttler_state == ZCONFD_THROTTLER_ACTIVE &&
        ctxt_p->notif_q[q].size() < ZCONFD_NOTIF_QLEN[q]) {
        ctxt_p->notif_q[q].push_back(std::move(bytes));
        return 0;
    }
    ZCONFD_LOG("Notification throttler has terminated or max queue size reached");
    ZCONFD_LOG("Trying to send the notification directly");
    return zconfd_send_bytes(ctxt_p, bytes);
}

const char *zconfd_get_hostname(const t_zconfd_context *ctxt_p) { return ctxt_p->hostname.c_str(); }

void zconfd_get_system_ip(const t_zconfd_context *ctxt_p, t_ipaddr *addr)
{
    IPADDR_COPY(addr, &ctxt_p->system_ip);
}

void zconfd_debug_enable() { g_zconfd_debug = true; }
void zconfd_debug_disable() { g_zconfd_debug = false; }
bool zconfd_debug_enabled() { return g_zconfd_debug; }
