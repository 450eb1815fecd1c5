// cdbd: the configuration agent. Holds the schema, the running configuration
// and its history, applies commits through the subscribed daemons, and serves
// operators (kemcli) and daemons (zconfd) on one message-queue socket.
#include <event2/event.h>
#include <getopt.h>
#include <grp.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/zul_companion.h"
#include "common/zul_log.h"
#include "common/zul_service.h"
#include "tools/cdbd/cdbd_server.h"

namespace
{

constexpr const char *CDBD_DEFAULT_SOCKET = "/var/run/.cdbd";
constexpr const char *CDBD_DEFAULT_DB = "/var/lib/cdbd/cdb.sqlite";

void cdbd_usage()
{
    fprintf(stderr,
            "usage: cdbd [-f] [-s socket] [-d database] [-y yang-dir] [-g group]\n"
            "            [-m initial-read-mask] [-t delivery-timeout-ms]\n"
            "  -f  stay in the foreground\n"
            "  -s  socket path (default %s)\n"
            "  -d  database (default %s)\n"
            "  -y  directory of the YANG modules (default %s)\n"
            "  -g  group whose members may connect besides root\n"
            "  -m  initial-read levels that need no daemon (default 7: levels 0-2)\n"
            "  -t  how long a daemon may take to apply a change (default 30000)\n",
            CDBD_DEFAULT_SOCKET, CDBD_DEFAULT_DB, zul_util_default_yang_dir().c_str());
}

void cdbd_signal_cb(evutil_socket_t, short, void *arg)
{
    event_base_loopbreak(static_cast<event_base *>(arg));
}

// mkdir -p of the database's directory.
void cdbd_make_parent_dirs(const std::string &path)
{
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        mkdir(path.substr(0, pos).c_str(), 0750);
    }
}

} // namespace

int main(int argc, char **argv)
{
    t_cdbd_config config;
    config.yang_dir = zul_util_default_yang_dir();
    config.db_path = CDBD_DEFAULT_DB;
    std::string socket_path = CDBD_DEFAULT_SOCKET;
    std::string group_name;
    bool foreground = false;
    int opt;
    while ((opt = getopt(argc, argv, "fs:d:y:g:m:t:h")) != -1) {
        switch (opt) {
        case 'f':
            foreground = true;
            break;
        case 's':
            socket_path = optarg;
            break;
        case 'd':
            config.db_path = optarg;
            break;
        case 'y':
            config.yang_dir = optarg;
            break;
        case 'g':
            group_name = optarg;
            break;
        case 'm':
            config.read_mask = static_cast<uint32_t>(strtoul(optarg, nullptr, 0));
            break;
        case 't':
            config.txn_timeout_ms = static_cast<uint32_t>(strtoul(optarg, nullptr, 0));
            break;
        default:
            cdbd_usage();
            return opt == 'h' ? 0 : 2;
        }
    }
    const bool to_stderr = foreground && !zul_util_stderr_is_journal();
    openlog("CDBD", LOG_PID | LOG_NDELAY | (to_stderr ? LOG_PERROR : 0), LOG_LOCAL7);
    if (!foreground && daemon(0, 0) != 0) {
        perror("daemon");
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);

    t_cdbd_server server;
    server.path = socket_path;
    if (!group_name.empty()) {
        const struct group *gr = getgrnam(group_name.c_str());
        if (gr == nullptr) {
            ZUL_LOG_PRI(LOG_ERR, "No group %s", group_name.c_str());
            return 1;
        }
        server.group = gr->gr_gid;
    }
    cdbd_make_parent_dirs(config.db_path);

    event_base *base = event_base_new();
    t_cdbd_agent agent;
    std::string err;
    if (base == nullptr || cdbd_agent_init(&agent, config, base, cdbd_server_send, &err) != 0) {
        ZUL_LOG_PRI(LOG_ERR, "Cannot start: %s", err.c_str());
        return 1;
    }
    server.agent_p = &agent;
    server.base_p = base;
    if (cdbd_server_start(&server, &err) != 0 || access(socket_path.c_str(), F_OK) != 0) {
        ZUL_LOG_PRI(LOG_ERR, "Cannot start: %s", err.empty() ? socket_path.c_str() : err.c_str());
        return 1;
    }
    event *sigterm = evsignal_new(base, SIGTERM, cdbd_signal_cb, base);
    event *sigint = evsignal_new(base, SIGINT, cdbd_signal_cb, base);
    event_add(sigterm, nullptr);
    event_add(sigint, nullptr);
    ZUL_LOG_PRI(LOG_INFO, "Serving at %s, database %s", socket_path.c_str(),
                config.db_path.c_str());

    event_base_dispatch(base);

    ZUL_LOG_PRI(LOG_INFO, "Terminating");
    cdbd_server_stop(&server);
    cdbd_agent_destroy(&agent);
    event_free(sigterm);
    event_free(sigint);
    event_base_free(base);
    closelog();
    return 0;
}
