// rtmd: the route table manager of a plain Linux host. It serves VPN 0 (its
// own network namespace) and every VPN whose namespace is named by its VPN id
// under /var/run/netns, each at its own control socket. A client (the PIM
// daemon) registers for interface reports and for next-hop resolution of
// addresses; rtmd answers from the kernel's tables and pushes every change.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <event2/event.h>
#include <fcntl.h>
#include <grp.h>
#include <map>
#include <memory>
#include <set>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "common/msgq_util.h"
#include "common/pb_util.h"
#include "common/rtm_msg.h"
#include "common/timer.h"
#include "common/zul_fd_limit.h"
#include "common/zul_log.h"
#include "common/zul_module.h"
#include "common/zul_service.h"
#include "tools/rtmd/rtmd_model.h"
#include "tools/rtmd/rtmd_nl.h"

namespace
{

constexpr const char *RTMD_SOCK_DIR = "/var/run/quagga";
constexpr const char *RTMD_SOCK_BASE = "/var/run/quagga/zebra_protobuf_ctrl.api";
constexpr const char *RTMD_NETNS_DIR = "/var/run/netns";
constexpr timeval RTMD_SCAN_PERIOD = {1, 0};
// Drives the timer manager the message queue retries its listeners with.
constexpr timeval RTMD_TIMER_TICK = {0, 100 * 1000};
constexpr uint32_t RTMD_TIMER_BUDGET_MS = 100;

struct t_rtmd_addr_less {
    bool operator()(const t_ipaddr &a, const t_ipaddr &b) const { return IPADDR_CMP(&a, &b) < 0; }
};

// One served VPN: its kernel view and the state of its one client.
struct t_rtmd_ns {
    uint64_t vpn_id = 0;
    dev_t ns_dev = 0;
    ino_t ns_ino = 0;
    t_rtmd_nl *nl_p = nullptr;
    event *nl_ev_p = nullptr;
    msgq_handle_t *handle_p = nullptr;
    t_rtmd_view view;
    bool if_registered = false;
    std::map<t_ipaddr, t_rtmd_resolution, t_rtmd_addr_less> regs;
};

struct t_rtmd {
    event_base *base_p = nullptr;
    int home_fd = -1;
    int inotify_fd = -1;
    bool watching = false;
    event *inotify_ev_p = nullptr;
    event *scan_ev_p = nullptr;
    t_timer_mgr *timer_mgr_p = nullptr;
    event *timer_ev_p = nullptr;
    // Besides root, members of this group may connect (-g).
    bool peer_group_set = false;
    gid_t peer_gid = 0;
    std::map<uint64_t, std::unique_ptr<t_rtmd_ns>> nss;
};

t_rtmd g_rtmd;

void rtmd_send(t_rtmd_ns *ns_p, const std::vector<uint8_t> &bytes)
{
    if (bytes.empty() || !msgq_ready(ns_p->handle_p)) {
        return;
    }
    auto len = static_cast<uint32_t>(bytes.size());
    void *buf = msgq_msg_malloc(ns_p->handle_p, len);
    if (buf == nullptr) {
        ZUL_LOG_PRI(LOG_ERR, "vpn %lu: no buffer for a %u-byte message",
                    static_cast<unsigned long>(ns_p->vpn_id), len);
        return;
    }
    memcpy(buf, bytes.data(), len);
    if (msgq_write(ns_p->handle_p, buf, len) != MSGQ_OK) {
        msgq_msg_free(ns_p->handle_p, buf);
    }
}

void rtmd_send_if_events(t_rtmd_ns *ns_p, const std::vector<t_rtmd_if_event> &evs)
{
    for (const t_rtmd_if_event &ev : evs) {
        rtmd_send(ns_p, rtmd_encode_if_event(ev));
    }
}

// Brings the client up to date with a new kernel view.
void rtmd_refresh(t_rtmd_ns *ns_p)
{
    t_rtmd_view view;
    rtmd_nl_view(ns_p->nl_p, &view);
    if (ns_p->if_registered) {
        rtmd_send_if_events(ns_p, rtmd_if_diff(ns_p->view, view));
    }
    ns_p->view = std::move(view);
    for (auto &[addr, last] : ns_p->regs) {
        t_rtmd_resolution res = rtmd_resolve(ns_p->view, addr);
        if (!(res == last)) {
            last = res;
            rtmd_send(ns_p, rtmd_encode_nhres_update(addr, res));
        }
    }
}

void rtmd_nl_close_ns(t_rtmd_ns *ns_p)
{
    if (ns_p->nl_ev_p != nullptr) {
        event_free(ns_p->nl_ev_p);
        ns_p->nl_ev_p = nullptr;
    }
    rtmd_nl_close(ns_p->nl_p);
    ns_p->nl_p = nullptr;
}

void rtmd_nl_cb(int, short, void *arg);

// Opens the namespace's netlink caches; -1 as fd means rtmd's own namespace.
bool rtmd_nl_open_ns(t_rtmd_ns *ns_p, int netns_fd)
{
    ns_p->nl_p = rtmd_nl_open(netns_fd, g_rtmd.home_fd);
    if (ns_p->nl_p == nullptr) {
        return false;
    }
    ns_p->nl_ev_p =
        event_new(g_rtmd.base_p, rtmd_nl_fd(ns_p->nl_p), EV_READ | EV_PERSIST, rtmd_nl_cb, ns_p);
    if (ns_p->nl_ev_p == nullptr || event_add(ns_p->nl_ev_p, nullptr) != 0) {
        rtmd_nl_close_ns(ns_p);
        return false;
    }
    return true;
}

std::string rtmd_netns_path(uint64_t vpn_id)
{
    return std::string(RTMD_NETNS_DIR) + "/" + std::to_string(vpn_id);
}

int rtmd_open_netns(uint64_t vpn_id, struct stat *st)
{
    int fd = open(rtmd_netns_path(vpn_id).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && fstat(fd, st) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

void rtmd_nl_cb(int, short, void *arg)
{
    auto *ns_p = static_cast<t_rtmd_ns *>(arg);
    if (!rtmd_nl_process(ns_p->nl_p)) {
        // Notifications were lost: start over from a fresh dump.
        rtmd_nl_close_ns(ns_p);
        struct stat st {
        };
        int fd = ns_p->vpn_id == 0 ? -1 : rtmd_open_netns(ns_p->vpn_id, &st);
        bool ok = (ns_p->vpn_id == 0 || fd >= 0) && rtmd_nl_open_ns(ns_p, fd);
        if (fd >= 0) {
            close(fd);
        }
        if (!ok) {
            // The next scan replaces the namespace record.
            return;
        }
    }
    rtmd_refresh(ns_p);
}

void rtmd_handle_interface(t_rtmd_ns *ns_p, const MRtmControlInterface *intf)
{
    if (intf == nullptr ||
        rtm_msg_enum(intf->type) != E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD) {
        return;
    }
    ns_p->if_registered = true;
    rtmd_send_if_events(ns_p, rtmd_if_announce(ns_p->view));
}

void rtmd_handle_nhres(t_rtmd_ns *ns_p, const MRtmControlNhres *nhres)
{
    if (nhres == nullptr) {
        return;
    }
    for (size_t i = 0; i < nhres->n_nhres_prefix; i++) {
        const MRtmControlNhresPrefix *p = nhres->nhres_prefix[i];
        if (p == nullptr || p->prefix == nullptr) {
            continue;
        }
        t_ipaddr addr;
        IPADDR_INIT(&addr, IP_ADDR_UNKNOWN);
        pb_util_to_ipaddr(p->prefix, &addr);
        if (addr.addr_type == IP_ADDR_UNKNOWN) {
            ZUL_LOG_PRI(LOG_WARNING, "vpn %lu: registration with a bad address dropped",
                        static_cast<unsigned long>(ns_p->vpn_id));
            continue;
        }
        if (rtm_msg_enum(nhres->type) == E_RTM_CONTROL_NHRES_TYPE__NHRES_UNREGISTER) {
            ns_p->regs.erase(addr);
        } else if (rtm_msg_enum(nhres->type) == E_RTM_CONTROL_NHRES_TYPE__NHRES_REGISTER) {
            t_rtmd_resolution res = rtmd_resolve(ns_p->view, addr);
            ns_p->regs[addr] = res;
            rtmd_send(ns_p, rtmd_encode_nhres_update(addr, res));
        }
    }
}

void rtmd_read_cb(msgq_handle_t *handle, void *msg, uint32_t len, void *arg)
{
    auto *ns_p = static_cast<t_rtmd_ns *>(arg);
    MRtmControl *ctl = nullptr;
    e_rtm_msg_result rc = rtm_msg_parse(static_cast<const uint8_t *>(msg), len, &ctl, nullptr);
    msgq_msg_free(handle, msg);
    if (rc != RTM_MSG_OK) {
        ZUL_LOG_PRI(LOG_WARNING, "vpn %lu: bad message of %u bytes dropped (%d)",
                    static_cast<unsigned long>(ns_p->vpn_id), len, static_cast<int>(rc));
        return;
    }
    if (!pb_util_enums_valid(&ctl->base)) {
        ZUL_LOG_PRI(LOG_WARNING, "vpn %lu: message with an unknown enumeration value dropped",
                    static_cast<unsigned long>(ns_p->vpn_id));
        m_rtm_control__free_unpacked(ctl, nullptr);
        return;
    }
    switch (rtm_msg_enum(ctl->type)) {
    case M_RTM_CONTROL__E_RTM_CONTROL_TYPE__CONTROL_HELLO:
        if (ctl->hello != nullptr) {
            ZUL_LOG_PRI(LOG_INFO, "vpn %lu: hello from route owner %u",
                        static_cast<unsigned long>(ns_p->vpn_id), ctl->hello->owner);
        }
        break;
    case M_RTM_CONTROL__E_RTM_CONTROL_TYPE__CONTROL_INTERFACE:
        rtmd_handle_interface(ns_p, ctl->interface);
        break;
    case M_RTM_CONTROL__E_RTM_CONTROL_TYPE__CONTROL_NHRES:
        rtmd_handle_nhres(ns_p, ctl->nhres);
        break;
    default:
        break;
    }
    m_rtm_control__free_unpacked(ctl, nullptr);
}

void rtmd_reset_client(t_rtmd_ns *ns_p)
{
    ns_p->if_registered = false;
    ns_p->regs.clear();
}

void rtmd_conn_up(msgq_handle_t *, void *arg)
{
    auto *ns_p = static_cast<t_rtmd_ns *>(arg);
    rtmd_reset_client(ns_p);
    ZUL_LOG_PRI(LOG_INFO, "vpn %lu: client connected", static_cast<unsigned long>(ns_p->vpn_id));
}

void rtmd_conn_down(msgq_handle_t *, void *arg)
{
    auto *ns_p = static_cast<t_rtmd_ns *>(arg);
    rtmd_reset_client(ns_p);
    ZUL_LOG_PRI(LOG_INFO, "vpn %lu: client gone", static_cast<unsigned long>(ns_p->vpn_id));
}

void rtmd_write_cb(msgq_handle_t *, void *) {}

void rtmd_ns_destroy(std::unique_ptr<t_rtmd_ns> ns_p)
{
    ZUL_LOG_PRI(LOG_INFO, "vpn %lu: no longer served", static_cast<unsigned long>(ns_p->vpn_id));
    if (ns_p->handle_p != nullptr) {
        msgq_destroy(ns_p->handle_p);
    }
    rtmd_nl_close_ns(ns_p.get());
}

std::unique_ptr<t_rtmd_ns> rtmd_ns_create(uint64_t vpn_id)
{
    auto ns_p = std::make_unique<t_rtmd_ns>();
    ns_p->vpn_id = vpn_id;
    int fd = -1;
    if (vpn_id != 0) {
        struct stat st {
        };
        fd = rtmd_open_netns(vpn_id, &st);
        if (fd < 0) {
            return nullptr;
        }
        ns_p->ns_dev = st.st_dev;
        ns_p->ns_ino = st.st_ino;
    }
    bool ok = rtmd_nl_open_ns(ns_p.get(), fd);
    if (fd >= 0) {
        close(fd);
    }
    if (!ok) {
        return nullptr;
    }
    rtmd_nl_view(ns_p->nl_p, &ns_p->view);

    msgq_app_params_t params{};
    params.app_evbase_p = g_rtmd.base_p;
    params.timer_mgr_p = g_rtmd.timer_mgr_p;
    params.peer_group_set = g_rtmd.peer_group_set;
    params.peer_gid = g_rtmd.peer_gid;
    params.use_app_header = true;
    params.app_header_size = RTM_MSG_HDR_LEN;
    params.app_msglen_offset = 0;
    params.dont_register = true;
    params.syslog_id = LOG_DAEMON;
    params.socket_type = MSGQ_SOCKET_TYPE_UNIX;
    if (vpn_id == 0) {
        snprintf(params.msg_path, sizeof(params.msg_path), "%s", RTMD_SOCK_BASE);
    } else {
        snprintf(params.msg_path, sizeof(params.msg_path), "%s.%lu", RTMD_SOCK_BASE,
                 static_cast<unsigned long>(vpn_id));
    }
    msgq_app_cb_t cbs{};
    cbs.conn_up_cb = rtmd_conn_up;
    cbs.conn_down_cb = rtmd_conn_down;
    cbs.msg_write_cb = rtmd_write_cb;
    cbs.msg_read_cb = rtmd_read_cb;
    mkdir(RTMD_SOCK_DIR, 0755);
    ns_p->handle_p = msgq_init(ZUL_MODULE_RTM, ZUL_MODULE_PIM, MSGQ_HANDLE_TYPE_SERVER, &params,
                               &cbs, ns_p.get());
    if (ns_p->handle_p == nullptr) {
        ZUL_LOG_PRI(LOG_ERR, "vpn %lu: cannot serve %s", static_cast<unsigned long>(vpn_id),
                    params.msg_path);
        rtmd_nl_close_ns(ns_p.get());
        return nullptr;
    }
    ZUL_LOG_PRI(LOG_INFO, "vpn %lu: serving %s", static_cast<unsigned long>(vpn_id),
                params.msg_path);
    return ns_p;
}

// A VPN id as a namespace name: plain decimal, no sign, no leading zero.
bool rtmd_parse_vpn_id(const char *name, uint64_t *vpn_id)
{
    if (name[0] < '1' || name[0] > '9' || strlen(name) > 19) {
        return false;
    }
    uint64_t v = 0;
    for (const char *c = name; *c != '\0'; c++) {
        if (*c < '0' || *c > '9') {
            return false;
        }
        v = v * 10 + static_cast<uint64_t>(*c - '0');
    }
    *vpn_id = v;
    return true;
}

// Serves the namespaces that are there and drops those that went away or were
// replaced by another namespace of the same name.
void rtmd_scan()
{
    if (!g_rtmd.watching && g_rtmd.inotify_fd >= 0) {
        g_rtmd.watching =
            inotify_add_watch(g_rtmd.inotify_fd, RTMD_NETNS_DIR,
                              IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB) >= 0;
    }
    std::map<uint64_t, struct stat> present;
    if (DIR *dir = opendir(RTMD_NETNS_DIR)) {
        while (dirent *de = readdir(dir)) {
            uint64_t vpn_id;
            struct stat st {
            };
            if (rtmd_parse_vpn_id(de->d_name, &vpn_id) &&
                stat(rtmd_netns_path(vpn_id).c_str(), &st) == 0) {
                present[vpn_id] = st;
            }
        }
        closedir(dir);
    }
    for (auto it = g_rtmd.nss.begin(); it != g_rtmd.nss.end();) {
        uint64_t vpn_id = it->first;
        auto p = present.find(vpn_id);
        bool same_ns =
            vpn_id == 0 || (p != present.end() && p->second.st_ino == it->second->ns_ino &&
                            p->second.st_dev == it->second->ns_dev);
        bool keep = same_ns && it->second->nl_p != nullptr;
        if (keep) {
            ++it;
            continue;
        }
        rtmd_ns_destroy(std::move(it->second));
        it = g_rtmd.nss.erase(it);
    }
    present[0] = {};
    for (const auto &[vpn_id, st] : present) {
        if (g_rtmd.nss.count(vpn_id) != 0) {
            continue;
        }
        if (auto ns_p = rtmd_ns_create(vpn_id)) {
            g_rtmd.nss[vpn_id] = std::move(ns_p);
        }
    }
}

void rtmd_scan_cb(int, short, void *) { rtmd_scan(); }

void rtmd_inotify_cb(int fd, short, void *)
{
    char buf[4096];
    while (read(fd, buf, sizeof(buf)) > 0) {
    }
    rtmd_scan();
}

void rtmd_signal_cb(int, short, void *) { event_base_loopbreak(g_rtmd.base_p); }

void rtmd_timer_cb(int, short, void *)
{
    (void)timer_exec(g_rtmd.timer_mgr_p, TIMER_PRI_MASK_ALL, RTMD_TIMER_BUDGET_MS);
}

} // namespace

int main(int argc, char **argv)
{
    bool foreground = false;
    const char *group_name = nullptr;
    for (int opt; (opt = getopt(argc, argv, "fg:")) != -1;) {
        if (opt == 'f') {
            foreground = true;
        } else if (opt == 'g') {
            group_name = optarg;
        } else {
            fprintf(stderr, "usage: %s [-f] [-g group]\n", argv[0]);
            return 2;
        }
    }
    if (group_name != nullptr) {
        const struct group *gr = getgrnam(group_name);
        if (gr == nullptr) {
            fprintf(stderr, "%s: no group %s\n", argv[0], group_name);
            return 2;
        }
        g_rtmd.peer_group_set = true;
        g_rtmd.peer_gid = gr->gr_gid;
    }
    const bool to_stderr = foreground && !zul_util_stderr_is_journal();
    openlog("RTMD", LOG_PID | LOG_NDELAY | (to_stderr ? LOG_PERROR : 0), LOG_DAEMON);
    if (!foreground && daemon(0, 0) != 0) {
        ZUL_LOG_PRI(LOG_ERR, "Cannot detach: %s", strerror(errno));
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    if (!zul_util_raise_fd_limit()) {
        ZUL_LOG_PRI(LOG_WARNING, "Cannot raise the open file limit: %s", strerror(errno));
    }
    g_rtmd.home_fd = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    g_rtmd.base_p = event_base_new();
    g_rtmd.timer_mgr_p =
        timer_mgr_create(TIMER_RESN_100MSEC, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
    if (g_rtmd.home_fd < 0 || g_rtmd.base_p == nullptr || g_rtmd.timer_mgr_p == nullptr) {
        ZUL_LOG_PRI(LOG_ERR, "Cannot start: %s", strerror(errno));
        return 1;
    }
    event *sig_term = evsignal_new(g_rtmd.base_p, SIGTERM, rtmd_signal_cb, nullptr);
    event *sig_int = evsignal_new(g_rtmd.base_p, SIGINT, rtmd_signal_cb, nullptr);
    event_add(sig_term, nullptr);
    event_add(sig_int, nullptr);
    g_rtmd.timer_ev_p = event_new(g_rtmd.base_p, -1, EV_PERSIST, rtmd_timer_cb, nullptr);
    event_add(g_rtmd.timer_ev_p, &RTMD_TIMER_TICK);

    g_rtmd.inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (g_rtmd.inotify_fd >= 0) {
        g_rtmd.inotify_ev_p = event_new(g_rtmd.base_p, g_rtmd.inotify_fd, EV_READ | EV_PERSIST,
                                        rtmd_inotify_cb, nullptr);
        event_add(g_rtmd.inotify_ev_p, nullptr);
    }
    // Namespaces may be mounted a moment after their file appears, and the
    // directory may not exist yet: a periodic scan covers both.
    g_rtmd.scan_ev_p = event_new(g_rtmd.base_p, -1, EV_PERSIST, rtmd_scan_cb, nullptr);
    event_add(g_rtmd.scan_ev_p, &RTMD_SCAN_PERIOD);
    rtmd_scan();

    event_base_dispatch(g_rtmd.base_p);

    ZUL_LOG_PRI(LOG_INFO, "Terminating");
    while (!g_rtmd.nss.empty()) {
        rtmd_ns_destroy(std::move(g_rtmd.nss.begin()->second));
        g_rtmd.nss.erase(g_rtmd.nss.begin());
    }
    event_free(g_rtmd.scan_ev_p);
    event_free(g_rtmd.timer_ev_p);
    timer_mgr_destroy(g_rtmd.timer_mgr_p);
    if (g_rtmd.inotify_ev_p != nullptr) {
        event_free(g_rtmd.inotify_ev_p);
    }
    if (g_rtmd.inotify_fd >= 0) {
        close(g_rtmd.inotify_fd);
    }
    event_free(sig_term);
    event_free(sig_int);
    event_base_free(g_rtmd.base_p);
    close(g_rtmd.home_fd);
    closelog();
    return 0;
}
