// igmpd's loop: the served namespaces and their interfaces (rescanned every
// second), the sockets of each interface, and the tick that drives the IGMP
// timers.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <event2/event.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <set>
#include <span>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "common/msgq_util.h"
#include "common/timer.h"
#include "common/zul_fd_limit.h"
#include "common/zul_log.h"
#include "common/zul_service.h"
#include "tools/igmpd/igmpd.h"

t_igmpd g_igmpd;

namespace
{

constexpr const char *IGMPD_NETNS_DIR = "/var/run/netns";
constexpr timeval IGMPD_SCAN_PERIOD = {1, 0};
constexpr timeval IGMPD_TICK = {0, 100 * 1000};
constexpr uint32_t IGMPD_TIMER_BUDGET_MS = 100;
constexpr int IGMPD_RCVBUF = 4 << 20;

// Keeps IGMP (IP protocol 2) of the frames a packet socket sees; offsets are
// from the IP header.
sock_filter g_igmp_filter[] = {
    {BPF_LD | BPF_B | BPF_ABS, 0, 0, 9},
    {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, IGMP_PROTO},
    {BPF_RET | BPF_K, 0, 0, 0xffff},
    {BPF_RET | BPF_K, 0, 0, 0},
};
sock_filter g_drop_filter[] = {{BPF_RET | BPF_K, 0, 0, 0}};

// Runs fn inside the VPN's namespace (VPN 0: our own), then returns home.
template <typename F> bool igmpd_in_ns(uint64_t vpn_id, F fn)
{
    if (vpn_id == 0) {
        fn();
        return true;
    }
    std::string path = std::string(IGMPD_NETNS_DIR) + "/" + std::to_string(vpn_id);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    close(fd);
    fn();
    if (setns(g_igmpd.home_fd, CLONE_NEWNET) != 0) {
        ZUL_LOG_PRI(LOG_ERR, "cannot return to our own namespace: %s", strerror(errno));
        abort();
    }
    return true;
}

void igmpd_send_query(t_igmp_if *igmp_p, uint32_t group, std::span<const uint32_t> sources,
                      uint32_t max_resp_ms, bool suppress)
{
    auto *if_p = static_cast<t_igmpd_iface *>(igmp_p->user_p);
    std::vector<uint8_t> q = igmp_pkt_query(group, sources, max_resp_ms, suppress,
                                            static_cast<uint8_t>(igmp_p->cfg.robustness),
                                            igmp_p->cfg.query_interval_ms / 1000);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(group != 0 ? group : IGMP_ALL_HOSTS);
    if (sendto(if_p->tx_fd, q.data(), q.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to)) <
        0) {
        ZUL_LOG_PRI(LOG_WARNING, "vpn %lu %s: query not sent: %s",
                    static_cast<unsigned long>(if_p->ns_p->vpn_id), if_p->name.c_str(),
                    strerror(errno));
    }
}

void igmpd_membership(t_igmp_if *igmp_p, uint32_t group, uint32_t source, bool add)
{
    auto *if_p = static_cast<t_igmpd_iface *>(igmp_p->user_p);
    igmpd_link_send_join(if_p->ns_p, if_p, group, source, add);
}

const t_igmp_if_ops g_igmpd_ops = {igmpd_send_query, igmpd_membership};

void igmpd_rx_cb(int fd, short, void *arg)
{
    auto *if_p = static_cast<t_igmpd_iface *>(arg);
    uint8_t buf[9000];
    for (int i = 0; i < 64; i++) {
        sockaddr_ll from{};
        socklen_t from_len = sizeof(from);
        ssize_t n =
            recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&from), &from_len);
        if (n < 0) {
            return;
        }
        if (from.sll_pkttype == PACKET_OUTGOING) {
            continue;
        }
        t_igmp_msg msg;
        e_igmp_pkt_err err =
            igmp_pkt_decode(std::span<const uint8_t>(buf, static_cast<size_t>(n)), msg);
        if_p->rx_errors[err]++;
        if (err == IGMP_PKT_OK) {
            igmp_if_rx(&if_p->igmp, msg, igmpd_now_ms());
        }
    }
}

bool igmpd_open_sockets(t_igmpd_iface *if_p)
{
    if_p->rx_fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_IP));
    if_p->tx_fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_IGMP);
    if (if_p->rx_fd < 0 || if_p->tx_fd < 0) {
        return false;
    }
    sock_fprog igmp_prog{static_cast<unsigned short>(std::size(g_igmp_filter)), g_igmp_filter};
    sockaddr_ll ll{};
    ll.sll_family = AF_PACKET;
    ll.sll_protocol = htons(ETH_P_IP);
    ll.sll_ifindex = static_cast<int>(if_p->ifindex);
    // Bursts of full-size reports (thousands of groups joining at once) fit.
    int rcvbuf = IGMPD_RCVBUF;
    (void)setsockopt(if_p->rx_fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof(rcvbuf));
    if (setsockopt(if_p->rx_fd, SOL_SOCKET, SO_ATTACH_FILTER, &igmp_prog, sizeof(igmp_prog)) != 0 ||
        bind(if_p->rx_fd, reinterpret_cast<sockaddr *>(&ll), sizeof(ll)) != 0) {
        return false;
    }
    // The sending socket reads nothing; the filter keeps its queue empty.
    sock_fprog drop_prog{1, g_drop_filter};
    ip_mreqn mif{};
    mif.imr_ifindex = static_cast<int>(if_p->ifindex);
    int ttl = 1;
    int loop = 0;
    uint8_t router_alert[4] = {148, 4, 0, 0};
    return setsockopt(if_p->tx_fd, SOL_SOCKET, SO_ATTACH_FILTER, &drop_prog, sizeof(drop_prog)) ==
               0 &&
           setsockopt(if_p->tx_fd, SOL_SOCKET, SO_BINDTODEVICE, if_p->name.c_str(),
                      static_cast<socklen_t>(if_p->name.size())) == 0 &&
           setsockopt(if_p->tx_fd, IPPROTO_IP, IP_MULTICAST_IF, &mif, sizeof(mif)) == 0 &&
           setsockopt(if_p->tx_fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) == 0 &&
           setsockopt(if_p->tx_fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)) == 0 &&
           setsockopt(if_p->tx_fd, IPPROTO_IP, IP_OPTIONS, router_alert, sizeof(router_alert)) == 0;
}

void igmpd_iface_close(t_igmpd_iface *if_p)
{
    if (if_p->rx_ev_p != nullptr) {
        event_free(if_p->rx_ev_p);
        if_p->rx_ev_p = nullptr;
    }
    for (int *fd : {&if_p->rx_fd, &if_p->tx_fd}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

void igmpd_iface_remove(t_igmpd_ns *ns_p, t_igmpd_iface *if_p)
{
    ZUL_LOG_PRI(LOG_INFO, "vpn %lu: IGMP stops on %s", static_cast<unsigned long>(ns_p->vpn_id),
                if_p->name.c_str());
    igmp_if_stop(&if_p->igmp);
    igmpd_link_send_if(ns_p, if_p, false);
    igmpd_iface_close(if_p);
}

void igmpd_iface_add(t_igmpd_ns *ns_p, const std::string &name, uint32_t ifindex, uint32_t addr)
{
    auto if_p = std::make_unique<t_igmpd_iface>();
    if_p->ns_p = ns_p;
    if_p->name = name;
    if_p->ifindex = ifindex;
    if_p->igmp.cfg = g_igmpd.cfg;
    if_p->igmp.ops_p = &g_igmpd_ops;
    if_p->igmp.user_p = if_p.get();
    if_p->seen = true;
    bool ok = false;
    igmpd_in_ns(ns_p->vpn_id, [&] { ok = igmpd_open_sockets(if_p.get()); });
    if (ok) {
        if_p->rx_ev_p =
            event_new(g_igmpd.base_p, if_p->rx_fd, EV_READ | EV_PERSIST, igmpd_rx_cb, if_p.get());
        ok = if_p->rx_ev_p != nullptr && event_add(if_p->rx_ev_p, nullptr) == 0;
    }
    if (!ok) {
        ZUL_LOG_PRI(LOG_ERR, "vpn %lu: no IGMP sockets on %s: %s",
                    static_cast<unsigned long>(ns_p->vpn_id), name.c_str(), strerror(errno));
        igmpd_iface_close(if_p.get());
        return;
    }
    ZUL_LOG_PRI(LOG_INFO, "vpn %lu: IGMP runs on %s (index %u)",
                static_cast<unsigned long>(ns_p->vpn_id), name.c_str(), ifindex);
    igmp_if_start(&if_p->igmp, addr, igmpd_now_ms());
    igmpd_link_send_if(ns_p, if_p.get(), true);
    ns_p->ifaces[name] = std::move(if_p);
}

// Up, multicast-capable, not loopback, with an IPv4 address: name -> (index, address).
std::map<std::string, std::pair<uint32_t, uint32_t>> igmpd_list_ifaces(uint64_t vpn_id)
{
    std::map<std::string, std::pair<uint32_t, uint32_t>> found;
    igmpd_in_ns(vpn_id, [&] {
        ifaddrs *list = nullptr;
        if (getifaddrs(&list) != 0) {
            return;
        }
        for (ifaddrs *ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
            unsigned flags = ifa->ifa_flags;
            if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET ||
                (flags & IFF_UP) == 0 || (flags & IFF_MULTICAST) == 0 ||
                (flags & IFF_LOOPBACK) != 0 || found.count(ifa->ifa_name) != 0) {
                continue;
            }
            uint32_t idx = if_nametoindex(ifa->ifa_name);
            uint32_t addr = ntohl(reinterpret_cast<sockaddr_in *>(ifa->ifa_addr)->sin_addr.s_addr);
            if (idx != 0) {
                found[ifa->ifa_name] = {idx, addr};
            }
        }
        freeifaddrs(list);
    });
    return found;
}

void igmpd_scan_ifaces(t_igmpd_ns *ns_p)
{
    auto found = igmpd_list_ifaces(ns_p->vpn_id);
    for (auto it = ns_p->ifaces.begin(); it != ns_p->ifaces.end();) {
        auto f = found.find(it->first);
        t_igmpd_iface *if_p = it->second.get();
        if (f != found.end() && f->second.first == if_p->ifindex) {
            if_p->igmp.addr = f->second.second;
            found.erase(f);
            ++it;
            continue;
        }
        igmpd_iface_remove(ns_p, if_p);
        it = ns_p->ifaces.erase(it);
    }
    for (const auto &[name, idx_addr] : found) {
        igmpd_iface_add(ns_p, name, idx_addr.first, idx_addr.second);
    }
}

void igmpd_ns_destroy(t_igmpd_ns *ns_p)
{
    for (auto &[name, if_p] : ns_p->ifaces) {
        igmpd_iface_remove(ns_p, if_p.get());
    }
    ns_p->ifaces.clear();
    igmpd_link_close(ns_p);
    ZUL_LOG_PRI(LOG_INFO, "vpn %lu: no longer served", static_cast<unsigned long>(ns_p->vpn_id));
}

// A VPN id as a namespace name: plain decimal, no sign, no leading zero.
bool igmpd_parse_vpn_id(const char *name, uint64_t *vpn_id)
{
    size_t len = strlen(name);
    if (name[0] < '1' || name[0] > '9' || len > 19 || strspn(name, "0123456789") != len) {
        return false;
    }
    *vpn_id = strtoull(name, nullptr, 10);
    return true;
}

void igmpd_scan()
{
    std::set<uint64_t> present = {0};
    if (DIR *dir = opendir(IGMPD_NETNS_DIR)) {
        while (dirent *de = readdir(dir)) {
            uint64_t vpn_id;
            if (igmpd_parse_vpn_id(de->d_name, &vpn_id)) {
                present.insert(vpn_id);
            }
        }
        closedir(dir);
    }
    for (auto it = g_igmpd.nss.begin(); it != g_igmpd.nss.end();) {
        if (present.count(it->first) != 0) {
            ++it;
            continue;
        }
        igmpd_ns_destroy(it->second.get());
        it = g_igmpd.nss.erase(it);
    }
    for (uint64_t vpn_id : present) {
        auto &ns_p = g_igmpd.nss[vpn_id];
        if (ns_p == nullptr) {
            ns_p = std::make_unique<t_igmpd_ns>();
            ns_p->vpn_id = vpn_id;
            igmpd_link_open(ns_p.get());
        }
        igmpd_scan_ifaces(ns_p.get());
    }
}

void igmpd_scan_cb(int, short, void *) { igmpd_scan(); }

void igmpd_tick_cb(int, short, void *)
{
    t_igmp_ms now = igmpd_now_ms();
    for (auto &[vpn_id, ns_p] : g_igmpd.nss) {
        for (auto &[name, if_p] : ns_p->ifaces) {
            igmp_if_tick(&if_p->igmp, now);
        }
    }
    (void)timer_exec(g_igmpd.timer_mgr_p, TIMER_PRI_MASK_ALL, IGMPD_TIMER_BUDGET_MS);
}

void igmpd_signal_cb(int, short, void *) { event_base_loopbreak(g_igmpd.base_p); }

bool igmpd_parse_ms(const char *arg, uint32_t min, uint32_t *out)
{
    char *end = nullptr;
    unsigned long v = strtoul(arg, &end, 10);
    if (end == arg || *end != '\0' || v < min || v > 3600000) {
        return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

} // namespace

t_igmp_ms igmpd_now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<t_igmp_ms>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int main(int argc, char **argv)
{
    bool foreground = false;
    const char *cdb_path = "";
    t_igmp_cfg &cfg = g_igmpd.cfg;
    const char *usage = "usage: %s [-f] [-q query-interval-ms] [-r query-response-ms]\n"
                        "       [-l last-member-query-interval-ms] [-R robustness] [-c cdb-path]\n";
    for (int opt; (opt = getopt(argc, argv, "fq:r:l:R:c:")) != -1;) {
        bool ok = true;
        switch (opt) {
        case 'f':
            foreground = true;
            break;
        case 'q':
            ok = igmpd_parse_ms(optarg, 1000, &cfg.query_interval_ms);
            break;
        case 'r':
            ok = igmpd_parse_ms(optarg, 100, &cfg.query_resp_ms);
            break;
        case 'l':
            ok = igmpd_parse_ms(optarg, 100, &cfg.lmq_interval_ms);
            break;
        case 'R':
            ok = igmpd_parse_ms(optarg, 1, &cfg.robustness) && cfg.robustness <= 7;
            break;
        case 'c':
            cdb_path = optarg;
            break;
        default:
            ok = false;
        }
        if (!ok) {
            fprintf(stderr, usage, argv[0]);
            return 2;
        }
    }
    if (cfg.query_resp_ms >= cfg.query_interval_ms) {
        fprintf(stderr, "%s: the query response interval must be below the query interval\n",
                argv[0]);
        return 2;
    }
    cfg.lmq_count = cfg.robustness;
    const bool to_stderr = foreground && !zul_util_stderr_is_journal();
    openlog("IGMPD", LOG_PID | LOG_NDELAY | (to_stderr ? LOG_PERROR : 0), LOG_DAEMON);
    if (!foreground && daemon(0, 0) != 0) {
        ZUL_LOG_PRI(LOG_ERR, "Cannot detach: %s", strerror(errno));
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    if (!zul_util_raise_fd_limit()) {
        ZUL_LOG_PRI(LOG_WARNING, "Cannot raise the open file limit: %s", strerror(errno));
    }
    g_igmpd.home_fd = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    g_igmpd.base_p = event_base_new();
    g_igmpd.timer_mgr_p =
        timer_mgr_create(TIMER_RESN_100MSEC, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
    if (g_igmpd.home_fd < 0 || g_igmpd.base_p == nullptr || g_igmpd.timer_mgr_p == nullptr) {
        ZUL_LOG_PRI(LOG_ERR, "Cannot start: %s", strerror(errno));
        return 1;
    }
    event *sig_term = evsignal_new(g_igmpd.base_p, SIGTERM, igmpd_signal_cb, nullptr);
    event *sig_int = evsignal_new(g_igmpd.base_p, SIGINT, igmpd_signal_cb, nullptr);
    event_add(sig_term, nullptr);
    event_add(sig_int, nullptr);
    event *tick_ev = event_new(g_igmpd.base_p, -1, EV_PERSIST, igmpd_tick_cb, nullptr);
    event_add(tick_ev, &IGMPD_TICK);
    event *scan_ev = event_new(g_igmpd.base_p, -1, EV_PERSIST, igmpd_scan_cb, nullptr);
    event_add(scan_ev, &IGMPD_SCAN_PERIOD);
    igmpd_show_init(cdb_path);
    igmpd_scan();

    event_base_dispatch(g_igmpd.base_p);

    ZUL_LOG_PRI(LOG_INFO, "Terminating");
    igmpd_show_destroy();
    for (auto &[vpn_id, ns_p] : g_igmpd.nss) {
        igmpd_ns_destroy(ns_p.get());
    }
    g_igmpd.nss.clear();
    event_free(scan_ev);
    event_free(tick_ev);
    event_free(sig_term);
    event_free(sig_int);
    timer_mgr_destroy(g_igmpd.timer_mgr_p);
    event_base_free(g_igmpd.base_p);
    close(g_igmpd.home_fd);
    closelog();
    return 0;
}
