#include "daemon/pim_daemon.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <event2/event.h>
#include <event2/util.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include "common/zul_assert.h"
#include "common/zul_module.h"
#include "daemon/pim_confd.h"
#include "daemon/pim_jp.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_rtm.h"
#include "daemon/pim_subsys.h"
#include "daemon/pim_vpn.h"
#include "sysmgr/sysmgr_app.h"

t_pim_daemon *g_kemd_p = nullptr;

namespace
{

constexpr unsigned PIM_NUM_SIGNALS = 65;
// VPN whose route table manager link the SIGUSR1 test hook bounces.
constexpr uint64_t PIM_TEST_SIGNAL_VPN = 1;

using f_sig_handler = void (*)(int);

// Set by the SIGUSR1 handler; the base tick runs the hook on the loop thread.
volatile sig_atomic_t g_test_signal_pending = 0;

void *timer_alloc(void *, size_t size) { return pim_malloc(size); }
void timer_free(void *, void *ptr) { pim_free(ptr); }

void pim_run_test_signal()
{
    t_pim_vpn *vpn_p = pim_vpn_find(g_kemd_p, PIM_TEST_SIGNAL_VPN, nullptr);
    if (vpn_p == nullptr) {
        PIM_LOG("vpn %lu not configured", static_cast<unsigned long>(PIM_TEST_SIGNAL_VPN));
        return;
    }
    if (vpn_p->rtm_handle_p != nullptr) {
        pim_rtm_destroy(vpn_p);
    } else {
        (void)pim_rtm_init(vpn_p);
    }
}

void pim_exit_now(int) { _exit(0); }

void pim_jp_tx_event_cb(int, short, void *arg)
{
    pim_jp_tx_flush_all(static_cast<t_pim_daemon *>(arg));
}

void pim_fatal_signal(int sig)
{
    char line[128];
    int n = snprintf(line, sizeof(line), "%s:%u: failed assertion `%s'\n", __FILE__,
                     static_cast<unsigned>(__LINE__),
                     sig == SIGHUP   ? "sig != SIGHUP"
                     : sig == SIGINT ? "sig != SIGINT"
                                     : "sig != SIGQUIT");
    if (n > 0) {
        ssize_t w = write(STDOUT_FILENO, line, static_cast<size_t>(n));
        (void)w;
    }
    abort();
}

void install(int sig, f_sig_handler handler)
{
    struct sigaction sa {
    };
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(sig, &sa, nullptr);
}

e_pim_status set_ns_from(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return PIM_STATUS_KERNEL_FAIL;
    }
    int rc = setns(fd, CLONE_NEWNET);
    close(fd);
    return rc == 0 ? PIM_STATUS_OK : PIM_STATUS_KERNEL_FAIL;
}

} // namespace

void pim_get_hostname(char *buf, size_t size)
{
    char name[32];
    if (gethostname(name, sizeof(name) - 1) != 0) {
        snprintf(buf, size, "zDevice");
        return;
    }
    name[sizeof(name) - 1] = '\0';
    snprintf(buf, size, "%s", name);
}

void pim_test_signal(int) { g_test_signal_pending = 1; }

void pim_cleanup_handler(int)
{
    if (g_kemd_p != nullptr && g_kemd_p->base_event_p != nullptr) {
        event_base_loopbreak(g_kemd_p->base_event_p);
    }
}

void pim_init_signals()
{
    std::array<f_sig_handler, PIM_NUM_SIGNALS> table{};
    table[SIGUSR1] = pim_test_signal;
    table[SIGUSR2] = pim_cleanup_handler;
    for (unsigned sig = 0; sig < PIM_NUM_SIGNALS; sig++) {
        if (table[sig] != nullptr) {
            install(static_cast<int>(sig), table[sig]);
        }
    }
    install(SIGTERM, pim_exit_now);
    install(SIGHUP, pim_fatal_signal);
    install(SIGINT, pim_fatal_signal);
    install(SIGQUIT, pim_fatal_signal);
}

e_pim_status pim_timers_init(t_pim_daemon *daemon_p)
{
    ZUL_ASSERT(daemon_p->timer_mgr_p == nullptr);
    daemon_p->timer_mgr_p =
        timer_mgr_create(TIMER_RESN_SEC, timer_alloc, timer_free, daemon_p, TIMER_PRI_MASK_ALL);
    if (daemon_p->timer_mgr_p == nullptr) {
        return PIM_STATUS_MEM_FAIL;
    }
    daemon_p->timer_event_p = evtimer_new(daemon_p->base_event_p, pim_base_timer_cb, daemon_p);
    if (daemon_p->timer_event_p == nullptr) {
        return PIM_STATUS_FAIL;
    }
    timeval tick;
    timer_mgr_get_resolution(daemon_p->timer_mgr_p, &tick);
    evtimer_add(daemon_p->timer_event_p, &tick);
    return PIM_STATUS_OK;
}

void pim_timers_destroy(t_pim_daemon *daemon_p)
{
    if (daemon_p->replicator_timer_p != nullptr) {
        timer_util_delete(daemon_p->replicator_timer_p);
        daemon_p->replicator_timer_p = nullptr;
    }
    if (daemon_p->auto_rp_pkt_timer_p != nullptr) {
        timer_util_delete(daemon_p->auto_rp_pkt_timer_p);
        daemon_p->auto_rp_pkt_timer_p = nullptr;
    }
    if (daemon_p->timer_event_p != nullptr) {
        event_free(daemon_p->timer_event_p);
        daemon_p->timer_event_p = nullptr;
    }
    if (daemon_p->timer_mgr_p != nullptr) {
        timer_mgr_destroy(daemon_p->timer_mgr_p);
        daemon_p->timer_mgr_p = nullptr;
    }
}

void pim_base_timer_cb(int, short events, void *arg)
{
    auto *daemon_p = static_cast<t_pim_daemon *>(arg);
    if (events != EV_TIMEOUT && events != 0) {
        return;
    }
    if (g_test_signal_pending) {
        g_test_signal_pending = 0;
        pim_run_test_signal();
    }
    (void)timer_exec(daemon_p->timer_mgr_p, TIMER_PRI_MASK_ALL, PIM_TIMER_BUDGET_MS);
    timeval tick;
    timer_mgr_get_resolution(daemon_p->timer_mgr_p, &tick);
    evtimer_add(daemon_p->timer_event_p, &tick);
}

void pim_daemon_process_urgent_timers()
{
    t_pim_daemon *daemon_p = g_kemd_p;
    if (daemon_p == nullptr || daemon_p->timer_mgr_p == nullptr) {
        return;
    }
    timeval now;
    gettimeofday(&now, nullptr);
    timeval gap;
    gap.tv_sec = now.tv_sec - daemon_p->last_proc.tv_sec;
    gap.tv_usec = now.tv_usec - daemon_p->last_proc.tv_usec;
    if (gap.tv_usec < 0) {
        gap.tv_sec--;
        gap.tv_usec += 1000000;
    }
    if (gap.tv_sec > daemon_p->max_urgent_timer_diff.tv_sec) {
        daemon_p->max_urgent_timer_diff = gap;
    }
    if (gap.tv_sec > 1) {
        daemon_p->last_proc = now;
        (void)timer_exec(daemon_p->timer_mgr_p, TIMER_PRI_MASK_HIGH, PIM_TIMER_BUDGET_MS);
    }
}

e_pim_status pim_daemon_init(t_pim_daemon **daemon_pp)
{
    t_pim_daemon *daemon_p = pim_new<t_pim_daemon>();
    if (daemon_p == nullptr) {
        PIM_LOG("Failed to allocate initial daemon");
        return PIM_STATUS_MEM_FAIL;
    }
    *daemon_pp = daemon_p;
    g_kemd_p = daemon_p;
    daemon_p->daemonize = true;
    daemon_p->pim_pid = getpid();

    event_set_mem_functions(pim_malloc, pim_realloc, pim_free);
    daemon_p->base_event_p = event_base_new();
    if (daemon_p->base_event_p == nullptr) {
        PIM_LOG("Failed to malloc pim event base");
        return PIM_STATUS_MEM_FAIL;
    }
    pim_init_signals();
    daemon_p->jp_tx_event_p =
        event_new(daemon_p->base_event_p, -1, 0, pim_jp_tx_event_cb, daemon_p);
    if (daemon_p->jp_tx_event_p == nullptr) {
        PIM_LOG("Failed to create the Join/Prune send event");
        return PIM_STATUS_MEM_FAIL;
    }
    if (pim_timers_init(daemon_p) != PIM_STATUS_OK) {
        PIM_LOG("Failed to initialize pim timer manager");
        return PIM_STATUS_MEM_FAIL;
    }
    if (pim_vpn_init(daemon_p) != PIM_STATUS_OK) {
        PIM_LOG("Failed to initialize pim vpn database");
        return PIM_STATUS_MEM_FAIL;
    }
    if (pim_ttm_init(daemon_p) != PIM_STATUS_OK) {
        PIM_LOG("Failed to initialize ttm connection");
        return PIM_STATUS_MEM_FAIL;
    }
    if (pim_ftm_init(daemon_p) != PIM_STATUS_OK) {
        PIM_LOG("Failed to initialize ftm connection");
        return PIM_STATUS_MEM_FAIL;
    }
    daemon_p->sysmgr_app_p = app_sysmgr_connect(daemon_p->base_event_p, daemon_p->timer_mgr_p,
                                                nullptr, ZUL_MODULE_PIM, daemon_p, nullptr);
    if (daemon_p->sysmgr_app_p == nullptr) {
        return PIM_STATUS_FAIL;
    }
    evutil_secure_rng_init();
    return PIM_STATUS_OK;
}

void pim_daemon_destroy(t_pim_daemon *daemon_p)
{
    if (daemon_p == nullptr) {
        return;
    }
    if (daemon_p->vpn_db.avl_compar != nullptr) {
        pim_vpn_destroy(daemon_p);
    }
    pim_ftm_destroy(daemon_p);
    pim_ttm_destroy(daemon_p);
    pim_confd_destroy(daemon_p);
    if (daemon_p->sysmgr_app_p != nullptr) {
        app_sysmgr_disconnect(daemon_p->sysmgr_app_p);
        daemon_p->sysmgr_app_p = nullptr;
    }
    pim_timers_destroy(daemon_p);
    if (daemon_p->jp_tx_event_p != nullptr) {
        event_free(daemon_p->jp_tx_event_p);
        daemon_p->jp_tx_event_p = nullptr;
    }
    if (daemon_p->base_event_p != nullptr) {
        event_base_free(daemon_p->base_event_p);
    }
    pim_delete(daemon_p);
    g_kemd_p = nullptr;
    closelog();
}

int pim_get_input_params(t_pim_daemon *daemon_p, int argc, char **argv)
{
    // Every argument must be "-f"; the word after each "-f" is not examined.
    for (int i = 1; i < argc; i += 2) {
        if (strcmp(argv[i], "-f") != 0) {
            PIM_LOG("\nUSAGE: kemd -f");
            fprintf(stderr, "USAGE: kemd -f\n");
            return 1;
        }
        daemon_p->daemonize = false;
    }
    return 0;
}

e_pim_status pim_util_set_ns(uint64_t vpn_id)
{
    if (vpn_id == 0) {
        return PIM_STATUS_OK;
    }
    char path[64];
    snprintf(path, sizeof(path), "/var/run/netns/%lu", static_cast<unsigned long>(vpn_id));
    return set_ns_from(path);
}

e_pim_status pim_util_reset_ns(uint64_t vpn_id)
{
    if (vpn_id == 0) {
        return PIM_STATUS_OK;
    }
    if (access("/proc/1/ns/net", F_OK) != 0) {
        // Without the host namespace there is nowhere to return to.
        exit(0);
    }
    return set_ns_from("/proc/1/ns/net");
}
