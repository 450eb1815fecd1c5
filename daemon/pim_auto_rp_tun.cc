// The Auto-RP socket of a VPN's loopback tunnel interface, through which
// messages from across the overlay arrive.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <event2/event.h>
#include <event2/util.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "daemon/pim_auto_rp.h"
#include "daemon/pim_auto_rp_codec.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_ns.h"
#include "daemon/pim_vpn.h"

namespace
{

constexpr uint32_t TUN_LOCAL_ADDR = 0x7F010001; // 127.1.0.1

// Memberships and options of the tunnel socket, stopping at the first failure.
e_pim_status tun_sock_setup(t_pim_vpn *vpn_p, int fd)
{
    t_pim_tun_int_if &tun = vpn_p->tunnel_if;
    ip_mreqn m{};
    m.imr_ifindex = static_cast<int>(tun.if_index);
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &m, sizeof(m)) < 0) {
        PIM_LOG("Unable to set multicast on pim interface %s errno=%d\n", tun.if_name, errno);
        return PIM_STATUS_SOCKET_FAIL;
    }
    for (uint32_t group : {PIM_AUTO_RP_ANNOUNCE_GROUP, PIM_AUTO_RP_MAPPING_GROUP}) {
        ip_mreq g{};
        g.imr_multiaddr.s_addr = htonl(group);
        g.imr_interface.s_addr = htonl(TUN_LOCAL_ADDR);
        if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &g, sizeof(g)) < 0) {
            PIM_LOG("Unable to set pim IP_ADD_MEMBERSHIP if: %s errno=%d\n", tun.if_name, errno);
            return PIM_STATUS_SOCKET_FAIL;
        }
    }
    uint8_t off = 0;
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &off, sizeof(off)) < 0) {
        PIM_LOG("Unable to set IP_MULTICAST_LOOP if: %s errno=%d\n", tun.if_name, errno);
        return PIM_STATUS_SOCKET_FAIL;
    }
    char dev[IFNAMSIZ];
    snprintf(dev, sizeof(dev), "%.15s", tun.if_name);
    if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, dev, static_cast<socklen_t>(strlen(dev))) < 0) {
        PIM_LOG("Failed to bind %s, vpn: %lu errno:%d\n", tun.if_name, pim_vpn_log_id(vpn_p),
                errno);
        return PIM_STATUS_SOCKET_FAIL;
    }
    return PIM_STATUS_OK;
}

} // namespace

e_pim_status pim_auto_rp_tun_if_enable(t_pim_vpn *vpn_p)
{
    t_pim_tun_int_if &tun = vpn_p->tunnel_if;
    // A VPN whose loopback was not found at its creation has nothing to bind to.
    if (tun.sock_fd > 0 || tun.if_index == 0) {
        return PIM_STATUS_OK;
    }
    int fd = -1;
    {
        t_pim_ns_guard ns(vpn_p->vpn_id);
        if (!ns.entered()) {
            return PIM_STATUS_KERNEL_FAIL;
        }
        fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP);
        if (fd < 0) {
            PIM_LOG("Unable to open pim auto-rp socket. errno=%d\n", errno);
            return PIM_STATUS_SOCKET_FAIL;
        }
        if (evutil_make_socket_nonblocking(fd) < 0) {
            PIM_LOG("Unable to set auto-rp socket non-blocking for if: %s, fd: %d\n", tun.if_name,
                    fd);
            close(fd);
            return PIM_STATUS_SOCKET_FAIL;
        }
        (void)tun_sock_setup(vpn_p, fd);
    }
    tun.event_p = event_new(vpn_p->daemon_p->base_event_p, fd, EV_READ | EV_PERSIST,
                            pim_auto_rp_tun_if_read_event_cb, vpn_p);
    if (tun.event_p == nullptr || event_add(tun.event_p, nullptr) != 0) {
        PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_BASIC,
                      "vpn: %lu Failed to init read event on if: %s", pim_vpn_log_id(vpn_p),
                      tun.if_name);
        if (tun.event_p != nullptr) {
            event_free(tun.event_p);
            tun.event_p = nullptr;
        }
        close(fd);
        return PIM_STATUS_MEM_FAIL;
    }
    tun.sock_fd = fd;
    PIM_LOG_AUTO_RP(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_BASIC,
                    "vpn: %lu Registered for Auto-RP groups for tunnel interface %s",
                    pim_vpn_log_id(vpn_p), tun.if_name);
    return PIM_STATUS_OK;
}

e_pim_status pim_auto_rp_tun_if_disable(t_pim_vpn *vpn_p)
{
    t_pim_tun_int_if &tun = vpn_p->tunnel_if;
    if (tun.sock_fd <= 0) {
        return PIM_STATUS_OK;
    }
    for (uint32_t group : {PIM_AUTO_RP_ANNOUNCE_GROUP, PIM_AUTO_RP_MAPPING_GROUP}) {
        ip_mreqn m{};
        m.imr_multiaddr.s_addr = htonl(group);
        m.imr_ifindex = static_cast<int>(tun.if_index);
        if (setsockopt(tun.sock_fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &m, sizeof(m)) < 0) {
            PIM_LOG("Unable to set pim IP_DROP_MEMBERSHIP if: %s errno=%d\n", tun.if_name, errno);
        }
    }
    if (tun.event_p != nullptr) {
        event_free(tun.event_p);
        tun.event_p = nullptr;
    }
    close(tun.sock_fd);
    tun.sock_fd = -1;
    PIM_LOG_AUTO_RP(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_BASIC,
                    "vpn: %lu Disabled Auto-RP groups on tunnel interface %s",
                    pim_vpn_log_id(vpn_p), tun.if_name);
    return PIM_STATUS_OK;
}

void pim_auto_rp_tun_if_read_event_cb(int fd, short, void *arg)
{
    (void)pim_pkt_auto_rp_rx(static_cast<t_pim_vpn *>(arg), nullptr, fd);
}
