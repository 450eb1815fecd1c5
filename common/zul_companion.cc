#include "common/zul_companion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/zul_fd_limit.h"
#include "common/zul_log.h"

namespace
{

constexpr timeval ZUL_COMPANION_TICK = {0, 100 * 1000};
constexpr uint32_t ZUL_COMPANION_TIMER_BUDGET_MS = 100;

void zul_companion_tick(int, short, void *arg)
{
    auto *c = static_cast<t_zul_companion *>(arg);
    if (c->tick_fn != nullptr) {
        c->tick_fn();
    }
    (void)timer_exec(c->timer_mgr_p, TIMER_PRI_MASK_ALL, ZUL_COMPANION_TIMER_BUDGET_MS);
}

void zul_companion_signal(int, short, void *arg)
{
    event_base_loopbreak(static_cast<t_zul_companion *>(arg)->base_p);
}

} // namespace

bool zul_companion_args(int argc, char **argv, const char *opts, const char *usage,
                        bool *foreground, const std::function<bool(int, const char *)> &on_opt)
{
    const std::string all = std::string("f") + opts;
    for (int opt; (opt = getopt(argc, argv, all.c_str())) != -1;) {
        if (opt == 'f') {
            *foreground = true;
        } else if (opt == '?' || !on_opt(opt, optarg)) {
            fprintf(stderr, usage, argv[0]);
            return false;
        }
    }
    return true;
}

bool zul_companion_start(t_zul_companion *c, const char *ident, bool foreground)
{
    const bool to_stderr = foreground && !zul_util_stderr_is_journal();
    openlog(ident, LOG_PID | LOG_NDELAY | (to_stderr ? LOG_PERROR : 0), LOG_DAEMON);
    if (!foreground && daemon(0, 0) != 0) {
        ZUL_LOG_PRI(LOG_ERR, "Cannot detach: %s", strerror(errno));
        return false;
    }
    signal(SIGPIPE, SIG_IGN);
    if (!zul_util_raise_fd_limit()) {
        ZUL_LOG_PRI(LOG_WARNING, "Cannot raise the open file limit: %s", strerror(errno));
    }
    c->home_fd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    c->base_p = event_base_new();
    c->timer_mgr_p =
        timer_mgr_create(TIMER_RESN_100MSEC, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
    if (c->home_fd < 0 || c->base_p == nullptr || c->timer_mgr_p == nullptr) {
        ZUL_LOG_PRI(LOG_ERR, "Cannot start: %s", strerror(errno));
        return false;
    }
    c->sig_ev_p = {evsignal_new(c->base_p, SIGTERM, zul_companion_signal, c),
                   evsignal_new(c->base_p, SIGINT, zul_companion_signal, c)};
    c->tick_ev_p = event_new(c->base_p, -1, EV_PERSIST, zul_companion_tick, c);
    for (event *ev_p : c->sig_ev_p) {
        (void)event_add(ev_p, nullptr);
    }
    (void)event_add(c->tick_ev_p, &ZUL_COMPANION_TICK);
    return true;
}

void zul_companion_run(t_zul_companion *c)
{
    event_base_dispatch(c->base_p);
    ZUL_LOG_PRI(LOG_INFO, "Terminating");
}

void zul_companion_stop(t_zul_companion *c)
{
    for (event *ev_p : c->sig_ev_p) {
        event_free(ev_p);
    }
    event_free(c->tick_ev_p);
    timer_mgr_destroy(c->timer_mgr_p);
    event_base_free(c->base_p);
    close(c->home_fd);
    closelog();
}

bool zul_util_stderr_is_journal()
{
    const char *stream = getenv("JOURNAL_STREAM");
    unsigned long dev = 0;
    unsigned long ino = 0;
    struct stat st {
    };
    return stream != nullptr && sscanf(stream, "%lu:%lu", &dev, &ino) == 2 &&
           fstat(STDERR_FILENO, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}
