// ftmd: the forwarding table manager of a plain Linux host. It connects to the
// PIM daemon, keeps the multicast forwarding table of every VPN (VPN 0 is its
// own network namespace, VPN n the namespace /var/run/netns/n) and forwards
// IPv4 multicast between the VPN's interfaces, through the kernel's multicast
// routing table where there is one and in user space where there is not. It
// reports sources above the SPT threshold and packets arriving on an outgoing
// interface. Its table outlives the PIM daemon: while the daemon is away the
// entries keep forwarding, and after it comes back what it does not add again
// within the grace period is removed.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <event2/event.h>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <syslog.h>
#include <unistd.h>

#include "common/msgq_util.h"
#include "common/timer.h"
#include "common/zul_fd_limit.h"
#include "common/zul_log.h"
#include "common/zul_module.h"
#include "tools/ftmd/ftmd_link.h"
#include "tools/ftmd/ftmd_oper.h"
#include "tools/ftmd/ftmd_show.h"
#include "tools/ftmd/ftmd_table.h"

namespace
{

constexpr const char *FTMD_NETNS_DIR = "/var/run/netns";
constexpr timeval FTMD_TIMER_TICK = {0, 100 * 1000};
constexpr timeval FTMD_SECOND = {1, 0};
constexpr uint32_t FTMD_TIMER_BUDGET_MS = 100;
// A PIM daemon that restarts relearns its state from the periodic Joins of
// its neighbors: wait a holdtime of the default Join/Prune period.
constexpr int FTMD_GRACE_DEFAULT_S = 210;
// Seconds below the threshold before a source is reported fallen below.
constexpr uint32_t FTMD_SPT_QUIET_S = 3;
constexpr int64_t FTMD_ASSERT_GAP_MS = 1000;
// A withdrawn entry forwards this long unless added again: a neighbor's
// restart makes the PIM daemon withdraw and re-add at once, and the stream
// should not notice (a LAN prune waits as long before taking effect).
constexpr int FTMD_WITHDRAW_HOLD_MS_DEFAULT = 3000;

struct t_ftmd {
    event_base *base_p = nullptr;
    t_timer_mgr *timer_mgr_p = nullptr;
    event *timer_ev_p = nullptr;
    event *second_ev_p = nullptr;
    event *grace_ev_p = nullptr;
    event *sig_ev_p[3] = {};
    std::string kemd_path; // empty: the PIM daemon's default server path
    msgq_handle_t *link_p = nullptr;
    int home_fd = -1;
    int grace_s = FTMD_GRACE_DEFAULT_S;
    int withdraw_hold_ms = FTMD_WITHDRAW_HOLD_MS_DEFAULT;
    bool in_grace = false;
    std::unique_ptr<t_ftmd_backend> backend;
    std::map<uint64_t, std::unique_ptr<t_ftmd_ns>> nss;
    std::string stats_path = "/var/run/ftmd.json";
    uint64_t bad_messages = 0;
    uint64_t table_gen = 0; // changes with every entry added or removed
};

t_ftmd g_ftmd;

int64_t ftmd_now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void ftmd_send(const std::vector<uint8_t> &body)
{
    if (body.empty() || !msgq_ready(g_ftmd.link_p)) {
        return;
    }
    auto len = static_cast<uint32_t>(body.size());
    void *buf = msgq_msg_malloc(g_ftmd.link_p, len);
    if (buf == nullptr) {
        return;
    }
    memcpy(buf, body.data(), len);
    if (msgq_write(g_ftmd.link_p, buf, len) != MSGQ_OK) {
        msgq_msg_free(g_ftmd.link_p, buf);
    }
}

void ftmd_dup_traffic(t_ftmd_ns *ns_p, t_ftmd_entry *e_p, uint32_t if_index)
{
    int64_t now = ftmd_now_ms();
    if (now - e_p->last_assert_ms < FTMD_ASSERT_GAP_MS) {
        return;
    }
    e_p->last_assert_ms = now;
    ftmd_send(ftmd_link_encode_assert(ns_p->vpn_id, e_p->source, e_p->group, if_index));
}

// The VPN's table, opened on first use; nullptr when the VPN has no namespace.
t_ftmd_ns *ftmd_ns_get(uint64_t vpn_id)
{
    auto it = g_ftmd.nss.find(vpn_id);
    if (it != g_ftmd.nss.end()) {
        return it->second.get();
    }
    auto ns = std::make_unique<t_ftmd_ns>();
    ns->vpn_id = vpn_id;
    if (vpn_id != 0) {
        std::string path = std::string(FTMD_NETNS_DIR) + "/" + std::to_string(vpn_id);
        ns->netns_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (ns->netns_fd < 0) {
            ZUL_LOG_PRI(LOG_WARNING, "unknown VPN %lu: no namespace %s",
                        static_cast<unsigned long>(vpn_id), path.c_str());
            return nullptr;
        }
    }
    if (!g_ftmd.backend->ns_open(ns.get())) {
        if (ns->netns_fd >= 0) {
            close(ns->netns_fd);
        }
        return nullptr;
    }
    t_ftmd_ns *ns_p = ns.get();
    g_ftmd.nss[vpn_id] = std::move(ns);
    return ns_p;
}

void ftmd_entry_program(t_ftmd_ns *ns_p, t_ftmd_entry *e_p)
{
    e_p->out.clear();
    for (const auto *list : {&e_p->oil, &e_p->stale_oil}) {
        for (uint32_t idx : *list) {
            if (idx != e_p->iif &&
                std::find(e_p->out.begin(), e_p->out.end(), idx) == e_p->out.end()) {
                e_p->out.push_back(idx);
            }
        }
    }
    if (!g_ftmd.backend->entry_set(ns_p, e_p)) {
        ZUL_LOG_PRI(LOG_WARNING, "vpn %lu (%s,%s): not every interface is usable",
                    static_cast<unsigned long>(ns_p->vpn_id), ftmd_ip_str(e_p->source).c_str(),
                    ftmd_ip_str(e_p->group).c_str());
    }
}

void ftmd_apply(const t_ftmd_op &op)
{
    t_ftmd_ns *ns_p = ftmd_ns_get(op.vpn_id);
    if (ns_p == nullptr) {
        g_ftmd.bad_messages++;
        return;
    }
    uint64_t key = ftmd_sg_key(op.source, op.group);
    if (op.op == FTMD_OP_DEL) {
        auto it = ns_p->entries.find(key);
        if (it == ns_p->entries.end()) {
            ZUL_LOG_PRI(LOG_INFO, "vpn %lu: delete of (%s,%s), which is not programmed",
                        static_cast<unsigned long>(op.vpn_id), ftmd_ip_str(op.source).c_str(),
                        ftmd_ip_str(op.group).c_str());
            return;
        }
        ZUL_LOG_PRI(LOG_DEBUG, "vpn %lu (%s,%s): deleted", static_cast<unsigned long>(op.vpn_id),
                    ftmd_ip_str(op.source).c_str(), ftmd_ip_str(op.group).c_str());
        t_ftmd_entry &e = it->second;
        // A daemon that has just restarted may withdraw an entry while its
        // state settles: what was forwarded before stays until the grace ends.
        if (g_ftmd.in_grace && !e.stale_oil.empty()) {
            e.stale = true;
            e.oil.clear();
            ftmd_entry_program(ns_p, &e);
            return;
        }
        if (g_ftmd.withdraw_hold_ms > 0) {
            e.withdrawn_until_ms = ftmd_now_ms() + g_ftmd.withdraw_hold_ms;
            return;
        }
        g_ftmd.backend->entry_remove(ns_p, &e);
        ns_p->entries.erase(it);
        g_ftmd.table_gen++;
        return;
    }
    if (op.skipped_tunnels != 0) {
        ZUL_LOG_PRI(LOG_INFO, "vpn %lu (%s,%s): %u overlay tunnel interfaces left out",
                    static_cast<unsigned long>(op.vpn_id), ftmd_ip_str(op.source).c_str(),
                    ftmd_ip_str(op.group).c_str(), op.skipped_tunnels);
    }
    ZUL_LOG_PRI(LOG_DEBUG, "vpn %lu (%s,%s): iif %u, %zu outgoing interfaces%s",
                static_cast<unsigned long>(op.vpn_id), ftmd_ip_str(op.source).c_str(),
                ftmd_ip_str(op.group).c_str(), op.iif, op.oil.size(),
                op.monitor ? ", monitored" : "");
    g_ftmd.table_gen += ns_p->entries.count(key) == 0 ? 1 : 0;
    t_ftmd_entry &e = ns_p->entries[key];
    e.source = op.source;
    e.group = op.group;
    e.iif = op.iif;
    e.oil = op.oil;
    e.monitor = op.monitor;
    e.threshold = op.threshold;
    e.stale = false;
    e.withdrawn_until_ms = 0;
    if (!g_ftmd.in_grace) {
        e.stale_oil.clear();
    }
    ftmd_entry_program(ns_p, &e);
}

void ftmd_link_read(msgq_handle_t *handle, void *msg, uint32_t len, void *)
{
    std::string reason;
    t_ftmd_op op = ftmd_link_decode(static_cast<const uint8_t *>(msg), len, &reason);
    msgq_msg_free(handle, msg);
    if (op.op == FTMD_OP_NONE) {
        g_ftmd.bad_messages++;
        ZUL_LOG_PRI(LOG_WARNING, "message from kemd dropped: %s", reason.c_str());
        return;
    }
    ftmd_apply(op);
}

void ftmd_grace_end(int, short, void *)
{
    g_ftmd.in_grace = false;
    size_t removed = 0;
    for (auto &[id, ns] : g_ftmd.nss) {
        for (auto it = ns->entries.begin(); it != ns->entries.end();) {
            t_ftmd_entry &e = it->second;
            if (e.stale) {
                g_ftmd.backend->entry_remove(ns.get(), &e);
                it = ns->entries.erase(it);
                g_ftmd.table_gen++;
                removed++;
                continue;
            }
            if (!e.stale_oil.empty()) {
                e.stale_oil.clear();
                ftmd_entry_program(ns.get(), &e);
            }
            ++it;
        }
    }
    ZUL_LOG_PRI(LOG_INFO, "grace period over: %zu entries not added again removed", removed);
}

void ftmd_link_up(msgq_handle_t *, void *)
{
    size_t kept = 0;
    for (auto &[id, ns] : g_ftmd.nss) {
        for (auto &[key, e] : ns->entries) {
            e.stale = true;
            for (uint32_t idx : e.oil) {
                if (std::find(e.stale_oil.begin(), e.stale_oil.end(), idx) == e.stale_oil.end()) {
                    e.stale_oil.push_back(idx);
                }
            }
            kept++;
        }
    }
    ZUL_LOG_PRI(LOG_INFO, "connected to kemd; %zu entries kept for %d s until added again", kept,
                g_ftmd.grace_s);
    if (kept != 0) {
        g_ftmd.in_grace = true;
        timeval tv = {g_ftmd.grace_s, 0};
        (void)evtimer_add(g_ftmd.grace_ev_p, &tv);
    }
}

void ftmd_link_down(msgq_handle_t *, void *)
{
    ZUL_LOG_PRI(LOG_INFO, "connection to kemd lost; entries keep forwarding");
}

void ftmd_link_write(msgq_handle_t *, void *) {}

// Rates of the watched sources, and their SPT-threshold reports.
void ftmd_rates(t_ftmd_ns *ns_p)
{
    bool ready = msgq_ready(g_ftmd.link_p);
    for (auto it = ns_p->flows.begin(); it != ns_p->flows.end();) {
        t_ftmd_flow &f = it->second;
        f.rate_kbps = static_cast<uint32_t>(
            std::min<uint64_t>((f.bytes - f.last_bytes) * 8 / 1000, UINT32_MAX));
        f.last_bytes = f.bytes;
        auto source = static_cast<uint32_t>(it->first >> 32);
        auto group = static_cast<uint32_t>(it->first);
        if (!f.above && f.seen && f.rate_kbps >= f.threshold && ready) {
            f.above = true;
            f.quiet_secs = 0;
            ftmd_send(ftmd_link_encode_spt(ns_p->vpn_id, source, group, true));
        } else if (f.above && (f.rate_kbps < f.threshold || !f.seen)) {
            if (++f.quiet_secs >= FTMD_SPT_QUIET_S && ready) {
                f.above = false;
                ftmd_send(ftmd_link_encode_spt(ns_p->vpn_id, source, group, false));
            }
        } else if (f.above) {
            f.quiet_secs = 0;
        }
        if (!f.above && !f.seen) {
            it = ns_p->flows.erase(it);
            continue;
        }
        f.seen = false;
        ++it;
    }
}

void ftmd_expire_withdrawn(t_ftmd_ns *ns_p)
{
    int64_t now = ftmd_now_ms();
    for (auto it = ns_p->entries.begin(); it != ns_p->entries.end();) {
        if (it->second.withdrawn_until_ms != 0 && it->second.withdrawn_until_ms <= now) {
            g_ftmd.backend->entry_remove(ns_p, &it->second);
            it = ns_p->entries.erase(it);
            g_ftmd.table_gen++;
            continue;
        }
        ++it;
    }
}

void ftmd_second(int, short, void *)
{
    for (auto &[id, ns] : g_ftmd.nss) {
        ftmd_expire_withdrawn(ns.get());
        g_ftmd.backend->tick(ns.get());
        ftmd_rates(ns.get());
    }
    ftmd_show_write(g_ftmd.stats_path, g_ftmd.backend->name(), g_ftmd.nss, g_ftmd.bad_messages);
}

void ftmd_timer_tick(int, short, void *)
{
    (void)timer_exec(g_ftmd.timer_mgr_p, TIMER_PRI_MASK_ALL, FTMD_TIMER_BUDGET_MS);
}

void ftmd_signal(int, short, void *) { event_base_loopbreak(g_ftmd.base_p); }

// SIGUSR1: the state file written now rather than at the next second.
void ftmd_dump(int, short, void *)
{
    ftmd_show_write(g_ftmd.stats_path, g_ftmd.backend->name(), g_ftmd.nss, g_ftmd.bad_messages);
}

bool ftmd_start_link()
{
    msgq_app_params_t params{};
    params.app_evbase_p = g_ftmd.base_p;
    params.timer_mgr_p = g_ftmd.timer_mgr_p;
    params.syslog_id = LOG_DAEMON;
    params.socket_type = MSGQ_SOCKET_TYPE_UNIX;
    snprintf(params.msg_path, sizeof(params.msg_path), "%s", g_ftmd.kemd_path.c_str());
    msgq_app_cb_t cbs{};
    cbs.conn_up_cb = ftmd_link_up;
    cbs.conn_down_cb = ftmd_link_down;
    cbs.msg_write_cb = ftmd_link_write;
    cbs.msg_read_cb = ftmd_link_read;
    g_ftmd.link_p =
        msgq_init(ZUL_MODULE_FTM, ZUL_MODULE_PIM, MSGQ_HANDLE_TYPE_CLIENT, &params, &cbs, nullptr);
    return g_ftmd.link_p != nullptr;
}

void ftmd_usage(const char *prog)
{
    fprintf(stderr,
            "usage: %s [-f] [-u] [-g grace-seconds] [-w withdraw-hold-ms] [-s stats-file]\n"
            "          [-p kemd-socket]\n"
            "  -f  stay in the foreground\n"
            "  -u  forward in user space even where the kernel routes multicast\n",
            prog);
}

} // namespace

bool ftmd_setns(int netns_fd) { return setns(netns_fd, CLONE_NEWNET) == 0; }

bool ftmd_setns_home() { return setns(g_ftmd.home_fd, CLONE_NEWNET) == 0; }

int main(int argc, char **argv)
{
    bool foreground = false;
    bool user_space = false;
    int opt;
    while ((opt = getopt(argc, argv, "fug:s:w:p:")) != -1) {
        switch (opt) {
        case 'f':
            foreground = true;
            break;
        case 'u':
            user_space = true;
            break;
        case 'g':
            g_ftmd.grace_s = atoi(optarg);
            if (g_ftmd.grace_s < 1) {
                ftmd_usage(argv[0]);
                return 2;
            }
            break;
        case 's':
            g_ftmd.stats_path = optarg;
            break;
        case 'p':
            g_ftmd.kemd_path = optarg;
            break;
        case 'w':
            g_ftmd.withdraw_hold_ms = atoi(optarg);
            break;
        default:
            ftmd_usage(argv[0]);
            return 2;
        }
    }
    if (!foreground && daemon(0, 0) != 0) {
        perror("daemon");
        return 1;
    }
    openlog("FTMD", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    signal(SIGPIPE, SIG_IGN);
    if (!zul_util_raise_fd_limit()) {
        ZUL_LOG_PRI(LOG_WARNING, "Cannot raise the open file limit: %s", strerror(errno));
    }
    g_ftmd.home_fd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    g_ftmd.base_p = event_base_new();
    g_ftmd.timer_mgr_p =
        timer_mgr_create(TIMER_RESN_100MSEC, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
    if (g_ftmd.home_fd < 0 || g_ftmd.base_p == nullptr || g_ftmd.timer_mgr_p == nullptr) {
        ZUL_LOG_PRI(LOG_ERR, "start-up failed");
        return 1;
    }
    t_ftmd_reports reports{ftmd_dup_traffic};
    if (!user_space) {
        g_ftmd.backend = ftmd_mrt_backend_create(g_ftmd.base_p, reports);
    }
    if (g_ftmd.backend == nullptr) {
        g_ftmd.backend = ftmd_dp_backend_create(g_ftmd.base_p, reports);
    }
    ZUL_LOG_PRI(LOG_NOTICE, "forwarding through the %s", g_ftmd.backend->name());
    g_ftmd.timer_ev_p = event_new(g_ftmd.base_p, -1, EV_PERSIST, ftmd_timer_tick, nullptr);
    g_ftmd.second_ev_p = event_new(g_ftmd.base_p, -1, EV_PERSIST, ftmd_second, nullptr);
    g_ftmd.grace_ev_p = evtimer_new(g_ftmd.base_p, ftmd_grace_end, nullptr);
    g_ftmd.sig_ev_p[0] = evsignal_new(g_ftmd.base_p, SIGTERM, ftmd_signal, nullptr);
    g_ftmd.sig_ev_p[1] = evsignal_new(g_ftmd.base_p, SIGINT, ftmd_signal, nullptr);
    g_ftmd.sig_ev_p[2] = evsignal_new(g_ftmd.base_p, SIGUSR1, ftmd_dump, nullptr);
    (void)event_add(g_ftmd.timer_ev_p, &FTMD_TIMER_TICK);
    (void)event_add(g_ftmd.second_ev_p, &FTMD_SECOND);
    for (event *ev_p : g_ftmd.sig_ev_p) {
        (void)event_add(ev_p, nullptr);
    }
    if (!ftmd_oper_init(g_ftmd.base_p, g_ftmd.timer_mgr_p, &g_ftmd.nss, &g_ftmd.table_gen)) {
        return 1;
    }
    if (!ftmd_start_link()) {
        ZUL_LOG_PRI(LOG_ERR, "cannot create the kemd link");
        return 1;
    }
    event_base_dispatch(g_ftmd.base_p);

    ftmd_oper_destroy();
    msgq_destroy(g_ftmd.link_p);
    for (auto &[id, ns] : g_ftmd.nss) {
        for (auto &[key, e] : ns->entries) {
            g_ftmd.backend->entry_remove(ns.get(), &e);
        }
        g_ftmd.backend->ns_close(ns.get());
        if (ns->netns_fd >= 0) {
            close(ns->netns_fd);
        }
    }
    g_ftmd.nss.clear();
    g_ftmd.backend.reset();
    for (event *ev_p : {g_ftmd.timer_ev_p, g_ftmd.second_ev_p, g_ftmd.grace_ev_p,
                        g_ftmd.sig_ev_p[0], g_ftmd.sig_ev_p[1], g_ftmd.sig_ev_p[2]}) {
        event_free(ev_p);
    }
    timer_mgr_destroy(g_ftmd.timer_mgr_p);
    event_base_free(g_ftmd.base_p);
    close(g_ftmd.home_fd);
    return 0;
}
