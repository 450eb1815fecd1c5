// The start-up and shut-down the companion daemons (rtmd, igmpd, ftmd) share:
// options with -f for the foreground, syslog under the daemon's name, detaching,
// the event loop with a 100 ms timer tick, and SIGTERM or SIGINT to stop it.
#pragma once

#include <event2/event.h>

#include <array>
#include <functional>

#include "common/timer.h"

struct t_zul_companion {
    event_base *base_p = nullptr;
    t_timer_mgr *timer_mgr_p = nullptr;
    // The daemon's own network namespace, to return to after entering a VPN's.
    int home_fd = -1;
    // Work of the daemon's own on every tick, before the timers run.
    void (*tick_fn)() = nullptr;
    event *tick_ev_p = nullptr;
    std::array<event *, 2> sig_ev_p{};
};

// Reads -f and the daemon's own options (opts without "f"), handing each of
// those to on_opt, which says whether its argument is good. On a bad option
// prints usage (a format naming the program with %s) and returns false.
bool zul_companion_args(int argc, char **argv, const char *opts, const char *usage,
                        bool *foreground, const std::function<bool(int, const char *)> &on_opt);

// Opens the log as ident (a copy on standard error in the foreground, unless
// that is the journal), detaches unless in the foreground and sets up the
// loop. False (logged) when the daemon cannot run.
[[nodiscard]] bool zul_companion_start(t_zul_companion *c, const char *ident, bool foreground);

// Runs the loop until a stop signal.
void zul_companion_run(t_zul_companion *c);

// Releases what start set up, once the daemon has released its own events.
void zul_companion_stop(t_zul_companion *c);

// True when standard error is the journal stream a service manager set up (it
// names that stream's device and inode in JOURNAL_STREAM): the syslog lines
// reach the journal anyway, so a copy on standard error would be a duplicate.
bool zul_util_stderr_is_journal();
