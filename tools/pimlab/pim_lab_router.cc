// kemd-lab-router: runs the daemon core on the interfaces named on its command
// line, with their PIM settings, until SIGUSR2 (orderly) or SIGTERM (at once).
// Its neighbor and DR table is written as JSON every second and on SIGUSR1.
// Settings can be changed while it runs through a control file of lines
//   dr-priority <if> <n> | hello <if> <seconds> | down <if> | up <if>
// which is read and removed on the next tick. Two more lines put sample
// messages on the wire for decoders on the other side:
//   send-jp <if> <upstream> <group> <n>   (*,G) Join with n (S,G,rpt) prunes
//   send-assert <if> <source> <group>     Assert, preference 101, metric 10
//
//   kemd-lab-router [--vpn N] [--hello S] [--dr-priority P] [--jp S]
//                   [--state FILE] [--ctl FILE] [--log-stderr] [--debug]
//                   --if NAME[=ADDR/LEN] [--if ...]
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <event2/event.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <string>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "daemon/pim_daemon.h"
#include "daemon/pim_if.h"
#include "daemon/pim_nbr.h"
#include "daemon/pim_pkt.h"
#include "daemon/pim_vpn.h"

namespace
{

// Contents of the sample messages the control file can ask for.
constexpr uint32_t LAB_RP = 0xC0000201;      // 192.0.2.1
constexpr uint32_t LAB_SOURCES = 0xC6336400; // 198.51.100.0 upwards
constexpr uint32_t LAB_ASSERT_PREF = 101;
constexpr uint32_t LAB_ASSERT_METRIC = 10;

struct t_lab_if {
    std::string name;
    std::string prefix; // empty: the kernel's first IPv4 address
};

struct t_lab_cfg {
    uint64_t vpn_id = 0;
    uint32_t hello_s = 30;
    uint32_t dr_priority = 1;
    uint32_t jp_s = 60;
    std::string state_path;
    std::string ctl_path;
    bool log_stderr = false;
    bool debug = false;
    std::vector<t_lab_if> ifs;
};

volatile sig_atomic_t g_dump_now = 0;
t_lab_cfg g_cfg;
t_pim_vpn *g_vpn_p = nullptr;
event *g_tick_p = nullptr;

void usage()
{
    fprintf(stderr, "usage: kemd-lab-router [--vpn N] [--hello S] [--dr-priority P] [--jp S]\n"
                    "       [--state FILE] [--ctl FILE] [--log-stderr] [--debug]\n"
                    "       --if NAME[=ADDR/LEN]...\n");
}

bool parse_args(int argc, char **argv, t_lab_cfg &cfg)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
        const char *v = nullptr;
        if (a == "--log-stderr") {
            cfg.log_stderr = true;
            continue;
        }
        if (a == "--debug") {
            cfg.debug = true;
            continue;
        }
        if ((v = value()) == nullptr) {
            return false;
        }
        if (a == "--vpn") {
            cfg.vpn_id = strtoull(v, nullptr, 10);
        } else if (a == "--hello") {
            cfg.hello_s = static_cast<uint32_t>(strtoul(v, nullptr, 10));
        } else if (a == "--dr-priority") {
            cfg.dr_priority = static_cast<uint32_t>(strtoul(v, nullptr, 10));
        } else if (a == "--jp") {
            cfg.jp_s = static_cast<uint32_t>(strtoul(v, nullptr, 10));
        } else if (a == "--state") {
            cfg.state_path = v;
        } else if (a == "--ctl") {
            cfg.ctl_path = v;
        } else if (a == "--if") {
            std::string s = v;
            size_t eq = s.find('=');
            cfg.ifs.push_back({s.substr(0, eq), eq == std::string::npos ? "" : s.substr(eq + 1)});
        } else {
            return false;
        }
    }
    return !cfg.ifs.empty() && cfg.hello_s != 0;
}

bool kernel_prefix(const std::string &name, t_ipprefix &out)
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    bool found = false;
    for (ifaddrs *ifa = list; ifa != nullptr && !found; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET ||
            name != ifa->ifa_name) {
            continue;
        }
        uint32_t addr = ntohl(reinterpret_cast<sockaddr_in *>(ifa->ifa_addr)->sin_addr.s_addr);
        uint32_t mask = ntohl(reinterpret_cast<sockaddr_in *>(ifa->ifa_netmask)->sin_addr.s_addr);
        IPADDR_SET_V4(&out.addr, addr);
        out.prefixlen = static_cast<uint8_t>(__builtin_popcount(mask));
        found = true;
    }
    freeifaddrs(list);
    return found;
}

bool parse_prefix(const std::string &text, t_ipprefix &out)
{
    size_t slash = text.find('/');
    if (slash == std::string::npos) {
        return false;
    }
    if (str_to_ip(text.substr(0, slash).c_str(), &out.addr) != 1) {
        return false;
    }
    out.prefixlen = static_cast<uint8_t>(atoi(text.c_str() + slash + 1));
    return true;
}

void json_nbr(FILE *f, const t_pim_nbr *n, bool first)
{
    int64_t expires = n->hold_timer != nullptr ? timer_get_ticks_to_expiry(n->hold_timer) : -1;
    fprintf(f,
            "%s\n        {\"addr\": \"%s\", \"dr_priority\": %u, \"gen_id\": %u, "
            "\"holdtime_ms\": %u, \"prop_delay\": %u, \"override_int\": %u, "
            "\"expires_s\": %lld, \"up_time\": %lld}",
            first ? "" : ",", n->nbr_str, n->dr_priority, n->gen_id, n->hold_time, n->prop_delay,
            n->override_interval, static_cast<long long>(expires),
            static_cast<long long>(n->up_time));
}

void write_state()
{
    std::string tmp = g_cfg.state_path.empty() ? "" : g_cfg.state_path + ".tmp";
    FILE *f = tmp.empty() ? stdout : fopen(tmp.c_str(), "w");
    if (f == nullptr) {
        return;
    }
    fprintf(f, "{\"pid\": %d, \"vpn\": %lu, \"interfaces\": [", getpid(),
            static_cast<unsigned long>(g_cfg.vpn_id));
    bool first_if = true;
    for (auto *if_p = avl_first<t_pim_if>(&g_vpn_p->if_db); if_p != nullptr;
         if_p = avl_next(&g_vpn_p->if_db, if_p)) {
        char prefix[IPADDR_STR_LEN];
        ipprefix_print(&if_p->if_addr, prefix, sizeof(prefix));
        const t_pim_pkt_stats_rx &rx = if_p->stats.pkt_stats_rx;
        const t_pim_pkt_stats_tx &tx = if_p->stats.pkt_stats_tx;
        fprintf(f,
                "%s\n    {\"name\": \"%s\", \"addr\": \"%s\", \"pim_enabled\": %s, "
                "\"bitmap_index\": %u, \"genid\": %u, \"dr_priority\": %u, \"dr\": \"%s\", "
                "\"prop_delay\": %u, \"override_int\": %u, "
                "\"rx\": {\"all\": %llu, \"bad\": %u, \"hello\": %u, \"wrong_subnet\": %u}, "
                "\"tx\": {\"all\": %llu, \"failed\": %u, \"hello\": %u}, \"neighbors\": [",
                first_if ? "" : ",", if_p->user_name, prefix, if_p->pim_enabled ? "true" : "false",
                if_p->if_index, if_p->genid, if_p->config.dr_priority,
                if_p->dr_nbr_p != nullptr ? if_p->dr_nbr_p->nbr_str : "", if_p->prop_delay,
                if_p->override_int, static_cast<unsigned long long>(rx.all_pkts), rx.bad_pkts,
                rx.hello_pkts, rx.wrong_subnet_pkts, static_cast<unsigned long long>(tx.all_pkts),
                tx.failed_pkts, tx.hello_pkts);
        bool first = true;
        for (auto *n = avl_first<t_pim_nbr>(&if_p->nbr_db); n != nullptr;
             n = avl_next(&if_p->nbr_db, n)) {
            json_nbr(f, n, first);
            first = false;
        }
        fprintf(f, "]}");
        first_if = false;
    }
    fprintf(f, "\n]}\n");
    if (f == stdout) {
        fflush(f);
        return;
    }
    fclose(f);
    rename(tmp.c_str(), g_cfg.state_path.c_str());
}

// A (*,G) Join towards the upstream neighbor with n (S,G,rpt) prunes, whole
// in one message however long (the kernel fragments it).
void send_sample_jp(t_pim_if *if_p, const char *upstream, const char *group, unsigned n)
{
    t_pim_jp_tx tx{};
    t_pim_jp_group_tx grp{};
    if (str_to_ip(upstream, &tx.upstream) != 1 || str_to_ip(group, &grp.group) != 1) {
        return;
    }
    t_pim_jp_src rp{};
    IPADDR_SET_V4(&rp.addr, LAB_RP);
    rp.flags = PIM_SRC_FLAG_S | PIM_SRC_FLAG_W | PIM_SRC_FLAG_R;
    std::vector<t_pim_jp_src> prunes(n);
    for (unsigned i = 0; i < n; i++) {
        IPADDR_SET_V4(&prunes[i].addr, LAB_SOURCES + i);
        prunes[i].flags = PIM_SRC_FLAG_S | PIM_SRC_FLAG_R;
    }
    grp.joins = {&rp, 1};
    grp.prunes = prunes;
    tx.holdtime = pim_pkt_jp_holdtime(if_p);
    tx.groups = {&grp, 1};
    (void)pim_pkt_tx_jp(if_p, tx);
}

void send_sample_assert(t_pim_if *if_p, const char *source, const char *group)
{
    t_ipaddr s{};
    t_ipaddr g{};
    if (str_to_ip(source, &s) != 1 || str_to_ip(group, &g) != 1) {
        return;
    }
    t_pim_assert_metric m{};
    m.preference = LAB_ASSERT_PREF;
    m.metric = LAB_ASSERT_METRIC;
    (void)pim_pkt_encode_assert(if_p, &s, &g, &m);
}

void apply_ctl_line(const char *line)
{
    char cmd[32];
    char name[PIM_IF_NAME_LEN];
    char arg1[IPADDR_STR_LEN];
    char arg2[IPADDR_STR_LEN];
    unsigned value = 0;
    int n = sscanf(line, "%31s %63s", cmd, name);
    if (n < 2) {
        return;
    }
    t_pim_if *if_p = pim_if_find(g_vpn_p, name, PIM_IF_TYPE_LOCAL, nullptr, false);
    if (if_p == nullptr) {
        fprintf(stderr, "kemd-lab-router: no interface %s\n", name);
        return;
    }
    t_pim_daemon *daemon_p = g_vpn_p->daemon_p;
    if (strcmp(cmd, "dr-priority") == 0 && sscanf(line, "%*s %*s %u", &value) == 1) {
        pim_if_config_update_dr_priority(daemon_p, g_vpn_p, if_p, value);
    } else if (strcmp(cmd, "hello") == 0 && sscanf(line, "%*s %*s %u", &value) == 1 && value != 0) {
        pim_if_config_update_hello_interval(daemon_p, g_vpn_p, if_p, value * 1000);
    } else if (strcmp(cmd, "down") == 0) {
        pim_if_admin_state(if_p, true);
    } else if (strcmp(cmd, "up") == 0) {
        pim_if_admin_state(if_p, false);
    } else if (strcmp(cmd, "send-jp") == 0 &&
               sscanf(line, "%*s %*s %63s %63s %u", arg1, arg2, &value) == 3) {
        send_sample_jp(if_p, arg1, arg2, value);
    } else if (strcmp(cmd, "send-assert") == 0 &&
               sscanf(line, "%*s %*s %63s %63s", arg1, arg2) == 2) {
        send_sample_assert(if_p, arg1, arg2);
    }
}

void poll_ctl()
{
    if (g_cfg.ctl_path.empty()) {
        return;
    }
    FILE *f = fopen(g_cfg.ctl_path.c_str(), "r");
    if (f == nullptr) {
        return;
    }
    char line[256];
    while (fgets(line, sizeof(line), f) != nullptr) {
        apply_ctl_line(line);
    }
    fclose(f);
    unlink(g_cfg.ctl_path.c_str());
}

void lab_tick_cb(int, short, void *)
{
    poll_ctl();
    if (!g_cfg.state_path.empty() || g_dump_now) {
        g_dump_now = 0;
        write_state();
    }
    timeval one{1, 0};
    evtimer_add(g_tick_p, &one);
}

void on_sigusr1(int) { g_dump_now = 1; }

} // namespace

int main(int argc, char **argv)
{
    if (!parse_args(argc, argv, g_cfg)) {
        usage();
        return 1;
    }
    openlog("KEMD", LOG_PID | LOG_NDELAY | (g_cfg.log_stderr ? LOG_PERROR : 0), LOG_LOCAL7);
    t_pim_daemon *daemon_p = nullptr;
    if (pim_daemon_init(&daemon_p) != PIM_STATUS_OK) {
        fprintf(stderr, "kemd-lab-router: daemon init failed\n");
        pim_daemon_destroy(daemon_p);
        return 2;
    }
    signal(SIGUSR1, on_sigusr1);
    g_vpn_p = pim_vpn_find_or_create(daemon_p, g_cfg.vpn_id);
    if (g_vpn_p == nullptr) {
        fprintf(stderr, "kemd-lab-router: cannot create vpn %lu\n",
                static_cast<unsigned long>(g_cfg.vpn_id));
        pim_daemon_destroy(daemon_p);
        return 2;
    }
    if (g_cfg.debug) {
        g_vpn_p->pim_debug.events = true;
        g_vpn_p->pim_debug.events_level = PIM_DEBUG_LEVEL_DETAIL;
        g_vpn_p->pim_debug.packets = true;
        for (bool &on : g_vpn_p->pim_debug.packet_type) {
            on = true;
        }
    }
    if (!g_vpn_p->pim_enabled && pim_vpn_pim_enable(g_vpn_p) != PIM_STATUS_OK) {
        fprintf(stderr, "kemd-lab-router: cannot enable PIM\n");
        pim_daemon_destroy(daemon_p);
        return 2;
    }
    int rc = 0;
    for (const t_lab_if &li : g_cfg.ifs) {
        t_ipprefix prefix{};
        bool ok =
            li.prefix.empty() ? kernel_prefix(li.name, prefix) : parse_prefix(li.prefix, prefix);
        if (!ok || pim_if_local_add(g_vpn_p, li.name.c_str(), &prefix, true) == nullptr ||
            pim_if_local_set_pim(g_vpn_p, li.name.c_str(), g_cfg.hello_s, g_cfg.dr_priority,
                                 g_cfg.jp_s) != PIM_STATUS_OK) {
            fprintf(stderr, "kemd-lab-router: cannot run PIM on %s\n", li.name.c_str());
            rc = 3;
        }
    }
    if (rc == 0) {
        g_tick_p = evtimer_new(daemon_p->base_event_p, lab_tick_cb, nullptr);
        lab_tick_cb(-1, 0, nullptr);
        event_base_dispatch(daemon_p->base_event_p);
        event_free(g_tick_p);
    }
    pim_daemon_destroy(daemon_p);
    return rc;
}
