#include "daemon/pim_if.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <event2/event.h>
#include <event2/util.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/zul_assert.h"
#include "daemon/pim_auto_rp.h"
#include "daemon/pim_auto_rp_codec.h"
#include "daemon/pim_chassis.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_jp.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_nbr.h"
#include "daemon/pim_ns.h"
#include "daemon/pim_pkt.h"
#include "daemon/pim_subsys.h"

namespace
{

constexpr int IP_PROTO_UDP = 17;

void ip_mreqn_for(const t_pim_if *if_p, uint32_t group, uint32_t kernel_idx, ip_mreqn &m)
{
    m = ip_mreqn{};
    m.imr_multiaddr.s_addr = htonl(group);
    m.imr_address.s_addr = htonl(if_p->if_addr.addr.u.addr4);
    m.imr_ifindex = static_cast<int>(kernel_idx);
}

// Kernel index and name of a local interface's device.
uint32_t kernel_idx_of(t_pim_if *if_p)
{
    uint32_t k = pim_if_bitmap_idx_to_if_idx(if_p->vpn_p, if_p->if_index);
    if (k == 0) {
        PIM_LOG("Could not translate interface %s bitmap: %u to interface idx!\n", if_p->user_name,
                if_p->if_index);
    }
    return k;
}

e_pim_status bind_to_device(t_pim_if *if_p, int fd)
{
    char dev[IFNAMSIZ];
    snprintf(dev, sizeof(dev), "%.15s", if_p->if_name);
    if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, dev, static_cast<socklen_t>(strlen(dev))) < 0) {
        PIM_LOG("Failed to bind %s, vpn: %lu errno:%d\n", if_p->user_name,
                pim_vpn_log_id(if_p->vpn_p), errno);
        return PIM_STATUS_SOCKET_FAIL;
    }
    return PIM_STATUS_OK;
}

e_pim_status loop_off(t_pim_if *if_p, int fd)
{
    uint8_t off = 0;
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &off, sizeof(off)) < 0) {
        PIM_LOG("Unable to set IP_MULTICAST_LOOP if: %s errno=%d\n", if_p->user_name, errno);
        return PIM_STATUS_SOCKET_FAIL;
    }
    return PIM_STATUS_OK;
}

// A downstream neighbor refreshing many entries sends its Join/Prune messages
// back to back: room for a few thousand full-size messages keeps such a burst
// from being dropped while the loop works through it.
constexpr int PIM_SOCK_RCVBUF = 8 * 1024 * 1024;

void grow_rcvbuf(t_pim_if *if_p, int fd)
{
    int size = PIM_SOCK_RCVBUF;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) < 0 &&
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) < 0) {
        PIM_LOG("Unable to enlarge the receive buffer of if: %s errno=%d\n", if_p->user_name,
                errno);
    }
}

// Opens a non-blocking raw socket of the protocol; -1 on failure (logged).
int open_raw(t_pim_if *if_p, int proto, const char *open_fail, const char *nb_fail)
{
    int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, proto);
    if (fd < 0) {
        PIM_LOG("%s errno=%d\n", open_fail, errno);
        return -1;
    }
    if (evutil_make_socket_nonblocking(fd) < 0) {
        PIM_LOG("%s if: %s, fd: %d\n", nb_fail, if_p->user_name, fd);
        close(fd);
        return -1;
    }
    return fd;
}

// What sets the PIM socket of an interface apart from its Auto-RP socket.
struct t_pim_if_sock_kind {
    int proto;
    const char *open_fail;
    const char *nb_fail;
    int t_pim_if::*fd;
    event *t_pim_if::*ev;
    event_callback_fn read_cb;
    void (*options)(t_pim_if *if_p, int fd);
    e_pim_status (*groups_add)(t_pim_if *if_p);
    e_pim_status (*groups_del)(t_pim_if *if_p);
};

void auto_rp_options(t_pim_if *if_p, int fd)
{
    // Datagrams are re-sent as they were received, the sender's address kept.
    int on = 1;
    if (setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &on, sizeof(on)) < 0) {
        PIM_LOG("Unable to set IP_HDRINCL on auto-rp socket if: %s errno=%d\n", if_p->user_name,
                errno);
    }
}

constexpr t_pim_if_sock_kind PIM_SOCK = {
    .proto = PIM_IP_PROTO,
    .open_fail = "Unable to open pim socket.",
    .nb_fail = "Unable to set socket non-blocking for",
    .fd = &t_pim_if::sock_fd,
    .ev = &t_pim_if::event_p,
    .read_cb = pim_if_read_event_cb,
    .options = grow_rcvbuf,
    .groups_add = pim_if_mcast_group_add,
    .groups_del = pim_if_mcast_group_del,
};

constexpr t_pim_if_sock_kind AUTO_RP_SOCK = {
    .proto = IP_PROTO_UDP,
    .open_fail = "Unable to open pim auto-rp socket.",
    .nb_fail = "Unable to set auto-rp socket non-blocking for",
    .fd = &t_pim_if::sock_auto_rp_fd,
    .ev = &t_pim_if::event_auto_rp_p,
    .read_cb = pim_if_auto_rp_read_event_cb,
    .options = auto_rp_options,
    .groups_add = pim_if_auto_rp_mcast_group_add,
    .groups_del = pim_if_auto_rp_mcast_group_del,
};

// Opens the socket in the VPN's namespace, joins its groups (a failure there
// is logged and does not stop the enable) and registers its read event.
e_pim_status sock_open(t_pim_if *if_p, const t_pim_if_sock_kind &kind)
{
    int fd = -1;
    {
        t_pim_ns_guard ns(if_p->vpn_p->vpn_id);
        if (!ns.entered()) {
            return PIM_STATUS_KERNEL_FAIL;
        }
        fd = open_raw(if_p, kind.proto, kind.open_fail, kind.nb_fail);
    }
    if (fd < 0) {
        return PIM_STATUS_SOCKET_FAIL;
    }
    if_p->*kind.fd = fd;
    kind.options(if_p, fd);
    (void)kind.groups_add(if_p);
    event *&ev_p = if_p->*kind.ev;
    ev_p = event_new(if_p->daemon_p->base_event_p, fd, EV_READ | EV_PERSIST, kind.read_cb, if_p);
    if (ev_p == nullptr || event_add(ev_p, nullptr) != 0) {
        PIM_LOG_EVENT(pim_if_debug(if_p), PIM_DEBUG_LEVEL_BASIC,
                      "vpn: %lu Failed to init read event on if: %s", pim_vpn_log_id(if_p->vpn_p),
                      if_p->user_name);
        if (ev_p != nullptr) {
            event_free(ev_p);
            ev_p = nullptr;
        }
        close(fd);
        if_p->*kind.fd = -1;
        return PIM_STATUS_MEM_FAIL;
    }
    return PIM_STATUS_OK;
}

// Leaves the groups, frees the read event and closes the socket, if open.
void sock_close(t_pim_if *if_p, const t_pim_if_sock_kind &kind)
{
    if (if_p->*kind.fd <= 0) {
        return;
    }
    (void)kind.groups_del(if_p);
    event *&ev_p = if_p->*kind.ev;
    if (ev_p != nullptr) {
        event_free(ev_p);
        ev_p = nullptr;
    }
    close(if_p->*kind.fd);
    if_p->*kind.fd = -1;
}

// Sends from the interface's device, joins through join(fd, kernel index),
// keeps our own datagrams from looping back and binds to the device.
template <typename F> e_pim_status groups_setup(t_pim_if *if_p, int fd, F join)
{
    uint32_t k = kernel_idx_of(if_p);
    if (k == 0) {
        return PIM_STATUS_SOCKET_FAIL;
    }
    ip_mreqn m;
    ip_mreqn_for(if_p, 0, k, m);
    m.imr_address.s_addr = 0;
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &m, sizeof(m)) < 0) {
        PIM_LOG("Unable to set multicast on pim interface %s errno=%d\n", if_p->user_name, errno);
        return PIM_STATUS_SOCKET_FAIL;
    }
    if (!join(fd, k)) {
        PIM_LOG("Unable to set pim IP_ADD_MEMBERSHIP if: %s errno=%d\n", if_p->user_name, errno);
        return PIM_STATUS_SOCKET_FAIL;
    }
    if (loop_off(if_p, fd) != PIM_STATUS_OK) {
        return PIM_STATUS_SOCKET_FAIL;
    }
    return bind_to_device(if_p, fd);
}

// Auto-RP's two groups joined or left by the interface's address.
bool auto_rp_groups(const t_pim_if *if_p, int optname)
{
    for (uint32_t group : {PIM_AUTO_RP_ANNOUNCE_GROUP, PIM_AUTO_RP_MAPPING_GROUP}) {
        ip_mreq m{};
        m.imr_multiaddr.s_addr = htonl(group);
        m.imr_interface.s_addr = htonl(if_p->if_addr.addr.u.addr4);
        if (setsockopt(if_p->sock_auto_rp_fd, IPPROTO_IP, optname, &m, sizeof(m)) < 0) {
            return false;
        }
    }
    return true;
}

} // namespace

// Sockets.

e_pim_status pim_if_sock_enable(t_pim_if *if_p)
{
    ZUL_ASSERT(if_p->sock_fd <= 0);
    if (if_p->pim_if_type != PIM_IF_TYPE_LOCAL) {
        PIM_LOG_EVENT(pim_if_debug(if_p), PIM_DEBUG_LEVEL_DETAIL,
                      "vpn: %lu Skip enabling socket for if %s ", pim_vpn_log_id(if_p->vpn_p),
                      if_p->user_name);
        return PIM_STATUS_OK;
    }
    return sock_open(if_p, PIM_SOCK);
}

e_pim_status pim_if_sock_disable(t_pim_if *if_p)
{
    if (if_p->pim_if_type != PIM_IF_TYPE_LOCAL) {
        PIM_LOG_EVENT(pim_if_debug(if_p), PIM_DEBUG_LEVEL_DETAIL,
                      "vpn: %lu Skip disabling socket for if %s ", pim_vpn_log_id(if_p->vpn_p),
                      if_p->user_name);
        return PIM_STATUS_OK;
    }
    sock_close(if_p, PIM_SOCK);
    return PIM_STATUS_OK;
}

e_pim_status pim_if_mcast_group_add(t_pim_if *if_p)
{
    return groups_setup(if_p, if_p->sock_fd, [if_p](int fd, uint32_t k) {
        ip_mreqn m;
        ip_mreqn_for(if_p, PIM_ALL_ROUTERS, k, m);
        return setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof(m)) == 0;
    });
}

e_pim_status pim_if_mcast_group_del(t_pim_if *if_p)
{
    uint32_t k = kernel_idx_of(if_p);
    if (k == 0) {
        return PIM_STATUS_SOCKET_FAIL;
    }
    ip_mreqn m;
    ip_mreqn_for(if_p, PIM_ALL_ROUTERS, k, m);
    if (setsockopt(if_p->sock_fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &m, sizeof(m)) < 0) {
        PIM_LOG("Unable to set pim IP_DROP_MEMBERSHIP if: %s errno=%d\n", if_p->user_name, errno);
        return PIM_STATUS_SOCKET_FAIL;
    }
    return PIM_STATUS_OK;
}

e_pim_status pim_if_auto_rp_sock_enable(t_pim_if *if_p)
{
    ZUL_ASSERT(if_p->sock_auto_rp_fd <= 0);
    t_pim_vpn *vpn_p = if_p->vpn_p;
    unsigned long id = pim_vpn_log_id(vpn_p);
    if (if_p->pim_if_type != PIM_IF_TYPE_IGMP) {
        pim_auto_rp_update_minfo_if_all(vpn_p, if_p, true);
    }
    if (if_p->pim_if_type != PIM_IF_TYPE_LOCAL) {
        PIM_LOG_EVENT(pim_if_debug(if_p), PIM_DEBUG_LEVEL_DETAIL,
                      "vpn: %lu Skip enabling auto-rp socket for if %s ", id, if_p->user_name);
        return PIM_STATUS_OK;
    }
    e_pim_status rc = sock_open(if_p, AUTO_RP_SOCK);
    if (rc != PIM_STATUS_OK) {
        return rc;
    }
    PIM_LOG_AUTO_RP(pim_if_debug(if_p), PIM_DEBUG_LEVEL_BASIC,
                    "vpn: %lu Enabled Auto-RP groups on interface %s", id, if_p->user_name);
    return PIM_STATUS_OK;
}

e_pim_status pim_if_auto_rp_sock_disable(t_pim_if *if_p)
{
    t_pim_vpn *vpn_p = if_p->vpn_p;
    unsigned long id = pim_vpn_log_id(vpn_p);
    if (if_p->pim_if_type == PIM_IF_TYPE_IGMP) {
        PIM_LOG_EVENT(pim_if_debug(if_p), PIM_DEBUG_LEVEL_DETAIL,
                      "vpn: %lu Skip disabling auto-rp socket for if %s ", id, if_p->user_name);
        return PIM_STATUS_OK;
    }
    pim_auto_rp_update_minfo_if_all(vpn_p, if_p, false);
    if (if_p->pim_if_type == PIM_IF_TYPE_TUNNEL) {
        PIM_LOG_EVENT(pim_if_debug(if_p), PIM_DEBUG_LEVEL_DETAIL,
                      "vpn: %lu Skip disabling socket for if %s ", id, if_p->user_name);
        return PIM_STATUS_OK;
    }
    if (if_p->sock_auto_rp_fd <= 0) {
        return PIM_STATUS_OK;
    }
    sock_close(if_p, AUTO_RP_SOCK);
    PIM_LOG_AUTO_RP(pim_if_debug(if_p), PIM_DEBUG_LEVEL_BASIC,
                    "vpn: %lu Disabled Auto-RP groups on interface %s", id, if_p->user_name);
    return PIM_STATUS_OK;
}

e_pim_status pim_if_auto_rp_mcast_group_add(t_pim_if *if_p)
{
    return groups_setup(if_p, if_p->sock_auto_rp_fd,
                        [if_p](int, uint32_t) { return auto_rp_groups(if_p, IP_ADD_MEMBERSHIP); });
}

e_pim_status pim_if_auto_rp_mcast_group_del(t_pim_if *if_p)
{
    if (!auto_rp_groups(if_p, IP_DROP_MEMBERSHIP)) {
        PIM_LOG("Unable to set pim IP_DROP_MEMBERSHIP if: %s errno=%d\n", if_p->user_name, errno);
        return PIM_STATUS_SOCKET_FAIL;
    }
    return PIM_STATUS_OK;
}

void pim_if_read_event_cb(int, short, void *arg)
{
    auto *if_p = static_cast<t_pim_if *>(arg);
    ZUL_ASSERT(if_p->magic == PIM_IF_MAGIC);
    (void)pim_pkt_rx(if_p->daemon_p, if_p);
}

void pim_if_auto_rp_read_event_cb(int fd, short, void *arg)
{
    auto *if_p = static_cast<t_pim_if *>(arg);
    ZUL_ASSERT(if_p->magic == PIM_IF_MAGIC);
    (void)pim_pkt_auto_rp_rx(if_p->vpn_p, if_p, fd);
}
