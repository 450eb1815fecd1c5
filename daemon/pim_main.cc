#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <event2/event.h>
#include <syslog.h>
#include <unistd.h>

#include "common/zul_fd_limit.h"
#include "daemon/pim_confd.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_subsys.h"

namespace
{

constexpr const char *PIM_MODULE_NAME = "kemd";
constexpr unsigned long PIM_INSTANCE = 0;
constexpr int PIM_MSG_ID_STARTING = 1900001;
constexpr int PIM_MSG_ID_TERMINATING = 1999999;

// Another instance is assumed to run while its pid file exists; whether that
// process still lives is not checked.
bool pim_instance_exists()
{
    char path[64];
    snprintf(path, sizeof(path), "/var/run/%s.%lu.pid", PIM_MODULE_NAME, PIM_INSTANCE);
    FILE *f = fopen(path, "r");
    if (f == nullptr) {
        return false;
    }
    int pid = 0;
    if (fscanf(f, "%d", &pid) != 1) {
        pid = 0;
    }
    fclose(f);
    printf("Daemon %s already exists @ pid %d\n", PIM_MODULE_NAME, pid);
    fflush(stdout);
    return true;
}

void pim_log_operational(int pri, int severity, const char *tag, int msg_id, const char *text)
{
    char host[32];
    pim_get_hostname(host, sizeof(host));
    syslog(LOG_LOCAL7 | pri, "%%Drovane-%s-%s-%d-%s-%d: %s", host, "KEMD", severity, tag, msg_id,
           text);
}

} // namespace

int main(int argc, char **argv)
{
    if (pim_instance_exists()) {
        return -1;
    }
    openlog("KEMD", LOG_PID | LOG_NDELAY, LOG_LOCAL7);
    pim_log_operational(LOG_INFO, 6, "INFO", PIM_MSG_ID_STARTING, "Starting");
    if (!zul_util_raise_fd_limit()) {
        PIM_LOG("Cannot raise the open file limit: %s", strerror(errno));
    }

    t_pim_daemon *daemon_p = nullptr;
    if (pim_daemon_init(&daemon_p) != PIM_STATUS_OK) {
        PIM_LOG("Failed to initalize pim daemon");
        pim_daemon_destroy(daemon_p);
        return 2;
    }
    if (pim_get_input_params(daemon_p, argc, argv) != 0) {
        PIM_LOG("Failed to parse pim input parameters");
        return 1;
    }
    if (daemon_p->daemonize) {
        if (daemon(0, 0) != 0) {
            PIM_LOG("Failed to daemonize process: %s", strerror(errno));
            return -1;
        }
        // The detached child goes on under its own process id; the loop's
        // kernel state (epoll) is not to be shared with the parent that left.
        daemon_p->pim_pid = getpid();
        if (event_reinit(daemon_p->base_event_p) != 0) {
            PIM_LOG("Failed to reinitialize the event loop after detaching");
        }
    }
    if (pim_confd_init(daemon_p) != PIM_STATUS_OK) {
        PIM_LOG("Failed to start the configuration link");
    }
    PIM_LOG("vpn: %lu Waiting for events", 0UL);
    event_base_dispatch(daemon_p->base_event_p);

    pim_log_operational(LOG_NOTICE, 5, "NTCE", PIM_MSG_ID_TERMINATING, "Terminating");
    pim_daemon_destroy(daemon_p);
    return 0;
}
