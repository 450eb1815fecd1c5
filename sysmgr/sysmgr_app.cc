#include "sysmgr/sysmgr_app.h"

#include <cstdlib>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

#include "common/msgq_util.h"
#include "common/timer.h"
#include "common/zul_log.h"
#include "common/zul_module.h"

namespace
{

time_t g_sysmgr_last_hello = 0;

} // namespace

time_t sysmgr_app_last_hello() { return g_sysmgr_last_hello; }

void *sysmgr_app_malloc(size_t size) { return malloc(size); }

void sysmgr_app_free(void *buf) { free(buf); }

void sysmgr_app_write_cb(msgq_handle_t *, void *) {}

void sysmgr_app_hello_cb(t_timer *, void *app_p)
{
    auto *app = static_cast<t_sysmgr_app *>(app_p);
    auto *msg = static_cast<t_sysmgr_app_msg *>(msgq_msg_malloc(app->p_msgq, SYSMGR_APP_MSG_LEN));
    if (msg == nullptr) {
        return;
    }
    memset(msg, 0, SYSMGR_APP_MSG_LEN);
    msg->hdr.version = SYSMGR_APP_MSG_VERSION;
    msg->hdr.msg_type = SYSMGR_APP_MSG_HELLO;
    msg->hdr.msg_len = SYSMGR_APP_MSG_LEN;
    // Taken at each hello: a daemon that detached after connecting runs on
    // under another process id than the one that made the link.
    app->pid = getpid();
    msg->u.pid = app->pid;
    if (msgq_write(app->p_msgq, msg, SYSMGR_APP_MSG_LEN) != MSGQ_OK) {
        msgq_msg_free(app->p_msgq, msg);
    }
    g_sysmgr_last_hello = time(nullptr);
}

void sysmgr_app_conn_up(msgq_handle_t *, void *app_p)
{
    auto *app = static_cast<t_sysmgr_app *>(app_p);
    sysmgr_app_hello_cb(app->hello_timer, app);
    timer_enable(app->hello_timer);
}

void sysmgr_app_conn_down(msgq_handle_t *, void *app_p)
{
    auto *app = static_cast<t_sysmgr_app *>(app_p);
    timer_disable(app->hello_timer);
}

void sysmgr_app_read_cb(msgq_handle_t *handle, void *msg, uint32_t len, void *app_p)
{
    auto *app = static_cast<t_sysmgr_app *>(app_p);
    auto *m = static_cast<t_sysmgr_app_msg *>(msg);
    if (len >= SYSMGR_APP_MSG_LEN && m->hdr.msg_type == SYSMGR_APP_MSG_CONNECT_REPLY &&
        app->read_cb != nullptr) {
        app->read_cb(app->app_handle, m);
    }
    msgq_msg_free(handle, msg);
}

t_sysmgr_app *app_sysmgr_connect(event_base *base, t_timer_mgr *timer_mgr, void *, uint8_t module,
                                 void *app_handle, f_app_read_cb read_cb)
{
    g_sysmgr_last_hello = 0;

    msgq_app_params_t params{};
    params.app_evbase_p = base;
    params.timer_mgr_p = timer_mgr;
    params.syslog_id = LOG_LOCAL7;
    params.socket_type = MSGQ_SOCKET_TYPE_UNIX;

    auto *app = static_cast<t_sysmgr_app *>(calloc(1, sizeof(t_sysmgr_app)));
    if (app == nullptr) {
        return nullptr;
    }
    app->pid = getpid();
    app->hello_timer =
        timer_util_create(timer_mgr, TIMER_PRI_HIGH, TIMER_TYPE_CYCLIC, SYSMGR_HELLO_INTERVAL_MS,
                          sysmgr_app_hello_cb, app, "sysmgr-hello");
    if (app->hello_timer == nullptr) {
        free(app);
        return nullptr;
    }

    msgq_app_cb_t cbs{};
    cbs.conn_up_cb = sysmgr_app_conn_up;
    cbs.conn_down_cb = sysmgr_app_conn_down;
    cbs.msg_write_cb = sysmgr_app_write_cb;
    cbs.msg_read_cb = sysmgr_app_read_cb;
    cbs.malloc_cb = sysmgr_app_malloc;
    cbs.free_cb = sysmgr_app_free;
    app->p_msgq = msgq_init(module, ZUL_MODULE_SYSMGR, MSGQ_HANDLE_TYPE_CLIENT, &params, &cbs, app);
    if (app->p_msgq == nullptr) {
        ZUL_LOG_PRI(LOG_LOCAL7 | LOG_ERR, "Module %s .. msgq_init FAILED", zul_module_name(module));
        timer_util_delete(app->hello_timer);
        free(app);
        return nullptr;
    }
    app->app_handle = app_handle;
    app->read_cb = read_cb;
    return app;
}

void app_sysmgr_disconnect(t_sysmgr_app *app)
{
    if (app == nullptr) {
        return;
    }
    // Closing the link stops the hello timer through conn_down before it goes.
    msgq_destroy(app->p_msgq);
    timer_util_delete(app->hello_timer);
    free(app);
}
