// The process: its one daemon record, the event loop and base tick, the
// urgent-timer pump, signals and network-namespace switching.
#pragma once

#include <sys/time.h>

#include "common/avl.h"
#include "common/ip_util.h"
#include "common/timer.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_defs.h"

struct event_base;
struct event;
struct msgq_handle_t;
struct t_sysmgr_app;
struct t_pim_zconfd_ctx;

struct t_pim_ttm {
    msgq_handle_t *ttm_msgq_p;
    avl_tree_t *ttm_db_p;
};

struct t_pim_daemon {
    event_base *base_event_p;
    int pim_pid;
    event *timer_event_p;
    t_timer_mgr *timer_mgr_p;
    t_sysmgr_app *sysmgr_app_p;
    timeval last_proc;
    timeval max_urgent_timer_diff;
    t_pim_zconfd_ctx *pim_zconfd_ctx_p;
    t_pim_ttm ttm;
    msgq_handle_t *ftm_msgq_p;
    avl_tree_t vpn_db;
    t_pim_stats stats;
    bool daemonize;
    t_ipaddr system_ip;
    t_pim_debug pim_debug;
    t_timer *replicator_timer_p;
    t_timer *auto_rp_pkt_timer_p;
    event *jp_tx_event_p; // sends the queued Join/Prunes when the current event is done
};

extern t_pim_daemon *g_kemd_p;

// Budget of one timer run, from the base tick or the urgent pump.
inline constexpr uint32_t PIM_TIMER_BUDGET_MS = 100;

e_pim_status pim_daemon_init(t_pim_daemon **daemon_pp);
void pim_daemon_destroy(t_pim_daemon *daemon_p);
int pim_get_input_params(t_pim_daemon *daemon_p, int argc, char **argv);
e_pim_status pim_timers_init(t_pim_daemon *daemon_p);
void pim_timers_destroy(t_pim_daemon *daemon_p);
void pim_base_timer_cb(int fd, short events, void *arg);
void pim_daemon_process_urgent_timers();

void pim_init_signals();
void pim_test_signal(int sig);
void pim_cleanup_handler(int sig);

e_pim_status pim_util_set_ns(uint64_t vpn_id);
e_pim_status pim_util_reset_ns(uint64_t vpn_id);

// Host name for operational lines: at most 31 characters, "zDevice" when unknown.
void pim_get_hostname(char *buf, size_t size);
