#include "daemon/pim_pkt.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>

#include "daemon/pim_daemon.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_debug_pkt.h"
#include "daemon/pim_if.h"
#include "daemon/pim_jp.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_nbr.h"
#include "daemon/pim_subsys.h"
#include "daemon/pim_vpn.h"

static_assert(PIM_PKT_TX_MAX <= PIM_PKT_BUF_LEN && PIM_PKT_BUF_LEN <= PIM_PKT_RX_BUF_LEN);

uint8_t g_pim_tx_rx_buf[PIM_PKT_RX_BUF_LEN];
uint8_t g_pim_tx_buf[PIM_PKT_BUF_LEN];
t_pim_pkt_src_addr g_pim_jp_join_src_addr[PIM_JP_MAX_SRCS];
t_pim_pkt_src_addr g_pim_jp_prune_src_addr[PIM_JP_MAX_SRCS];

namespace
{

constexpr uint32_t AUTO_RP_ANNOUNCE = 0xE0000127;  // 224.0.1.39
constexpr uint32_t AUTO_RP_DISCOVERY = 0xE0000128; // 224.0.1.40
// Reject lines a flood may write per second before the rest are only counted.
constexpr unsigned REJECT_LOG_BURST = 20;

bool group_is_auto_rp(const t_ipaddr *g)
{
    return IPADDR_IS_V4(g) && (g->u.addr4 == AUTO_RP_ANNOUNCE || g->u.addr4 == AUTO_RP_DISCOVERY);
}

// Bumps one counter in the daemon's, the VPN's and the interface's record.
template <typename F> void count(t_pim_if *if_p, F bump)
{
    if (g_kemd_p != nullptr) {
        bump(g_kemd_p->stats);
    }
    if (if_p->vpn_p != nullptr) {
        bump(if_p->vpn_p->stats);
    }
    bump(if_p->stats);
}

#define PIM_RX_COUNT(if_p, field) count((if_p), [](t_pim_stats &s) { s.pkt_stats_rx.field++; })
#define PIM_TX_COUNT(if_p, field) count((if_p), [](t_pim_stats &s) { s.pkt_stats_tx.field++; })

} // namespace

// A flood of bad packets must not flood the log: a token bucket of one
// second, with the number of lines held back reported when it refills.
bool pim_pkt_reject_log_allowed()
{
    static time_t window = 0;
    static unsigned used = 0;
    static unsigned suppressed = 0;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec != window) {
        if (suppressed != 0) {
            PIM_LOG("%u PIM reject lines suppressed", suppressed);
        }
        window = now.tv_sec;
        used = 0;
        suppressed = 0;
    }
    if (used < REJECT_LOG_BURST) {
        used++;
        return true;
    }
    suppressed++;
    return false;
}

namespace
{

const t_pim_debug *if_dbg(const t_pim_if *if_p) { return pim_vpn_debug(if_p->vpn_p); }

unsigned long if_vpn_id(const t_pim_if *if_p)
{
    return if_p->vpn_p != nullptr ? static_cast<unsigned long>(if_p->vpn_p->vpn_id) : 0;
}

bool addr_is_ours(t_pim_if *if_p, const t_ipaddr *addr)
{
    if (IPADDR_CMP(&if_p->if_addr.addr, addr) == 0) {
        return true;
    }
    for (auto *a = avl_first<t_pim_if_addr>(&if_p->if_addr_db); a != nullptr;
         a = avl_next(&if_p->if_addr_db, a)) {
        if (IPADDR_CMP(&a->addr.addr, addr) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

bool pim_pkt_if_subnet_check(t_pim_daemon *, t_pim_if *if_p, uint32_t src)
{
    t_ipaddr a{};
    IPADDR_SET_V4(&a, src);
    return ipprefix_contains(&if_p->if_addr, &a);
}

e_pim_status pim_pkt_rx(t_pim_daemon *daemon_p, t_pim_if *if_p)
{
    PIM_RX_COUNT(if_p, all_pkts);
    // The socket was opened in the VPN's namespace and stays there: reading
    // needs no switch.
    ssize_t n = recv(if_p->sock_fd, g_pim_tx_rx_buf, sizeof(g_pim_tx_rx_buf), MSG_DONTWAIT);
    int err = errno;
    if (n < 0) {
        PIM_LOG("Failed to read IP Header, fd: %d, (err:%d) \n", if_p->sock_fd, err);
        return PIM_STATUS_SOCKET_FAIL;
    }
    (void)pim_pkt_decode(daemon_p, if_p, g_pim_tx_rx_buf, static_cast<size_t>(n));
    return PIM_STATUS_OK;
}

e_pim_status pim_pkt_decode(t_pim_daemon *daemon_p, t_pim_if *if_p, const uint8_t *dgram,
                            size_t len)
{
    t_pim_ip_header ip{};
    std::span<const uint8_t> pim;
    if (pim_pkt_ip_parse(std::span<const uint8_t>(dgram, len), ip, pim) != PIM_PKT_OK) {
        PIM_REJECT_LOG("PIM bad IP header on if: %s, datagram length: %zu", if_p->user_name, len);
        PIM_RX_COUNT(if_p, bad_pkts);
        return PIM_STATUS_BAD_MSG;
    }
    if (pim.size() < PIM_PKT_HDR_LEN) {
        PIM_REJECT_LOG("PIM packet too small, received length: %d, expected length %d",
                       static_cast<int>(pim.size()), static_cast<int>(PIM_PKT_HDR_LEN));
        PIM_RX_COUNT(if_p, bad_pkts);
        return PIM_STATUS_BAD_MSG;
    }
    if (!pim_pkt_if_subnet_check(daemon_p, if_p, ip.src_ip.u.addr4)) {
        PIM_REJECT_LOG("PIM packet from wrong subnet source: %s on if: %s addr: %s",
                       ipaddr_str(&ip.src_ip).c, if_p->if_name, ipaddr_str(&if_p->if_addr.addr).c);
        PIM_RX_COUNT(if_p, wrong_subnet_pkts);
        return PIM_STATUS_BAD_MSG;
    }
    uint8_t type = 0;
    uint16_t rx_cksum = 0;
    uint16_t calc_cksum = 0;
    switch (pim_pkt_hdr_check(pim, type, rx_cksum, calc_cksum)) {
    case PIM_PKT_OK:
        break;
    case PIM_PKT_ERR_VERSION:
        PIM_REJECT_LOG("PIM invalid version, received %d, expected %d", pim[0] >> 4,
                       PIM_PKT_VERSION);
        PIM_RX_COUNT(if_p, bad_pkts);
        return PIM_STATUS_BAD_MSG;
    default:
        PIM_REJECT_LOG("PIM invalid checksum, received 0x%x, computed 0x%x", rx_cksum, calc_cksum);
        PIM_RX_COUNT(if_p, bad_pkts);
        return PIM_STATUS_BAD_MSG;
    }

    e_pim_status rc = PIM_STATUS_OK;
    switch (type) {
    case PIM_PKT_HELLO:
        rc = pim_pkt_decode_hello(daemon_p, if_p, ip, pim);
        break;
    case PIM_PKT_JOIN_PRUNE:
        rc = pim_pkt_decode_jp(daemon_p, if_p, ip, pim);
        break;
    case PIM_PKT_ASSERT:
        rc = pim_pkt_decode_assert(daemon_p, if_p, ip, pim);
        break;
    case PIM_PKT_REGISTER:
    case PIM_PKT_REGISTER_STOP:
    case PIM_PKT_BOOTSTRAP:
    case PIM_PKT_GRAFT:
    case PIM_PKT_GRAFT_ACK:
    case PIM_PKT_CRP_ADVERTISEMENT:
        PIM_RX_COUNT(if_p, unsupported_pkts);
        PIM_LOG_EVENT(if_dbg(if_p), PIM_DEBUG_LEVEL_BASIC,
                      "vpn: %lu Received unsupported message %s on if: %s", if_vpn_id(if_p),
                      pim_str_msg_type[type], if_p->user_name);
        return PIM_STATUS_OK;
    default:
        PIM_RX_COUNT(if_p, unknown_pkts);
        PIM_LOG_EVENT(if_dbg(if_p), PIM_DEBUG_LEVEL_BASIC,
                      "vpn: %lu Ignore unknown PIM packet of %d", if_vpn_id(if_p), type);
        return PIM_STATUS_OK;
    }
    if (rc != PIM_STATUS_OK) {
        PIM_REJECT_LOG("PIM bad packet received, ignoring");
        PIM_RX_COUNT(if_p, bad_pkts);
    }
    return rc;
}

e_pim_status pim_pkt_decode_hello(t_pim_daemon *, t_pim_if *if_p, const t_pim_ip_header &ip,
                                  std::span<const uint8_t> pim)
{
    const t_ipaddr *src = &ip.src_ip;
    PIM_RX_COUNT(if_p, hello_pkts);
    pim_debug_pkt_hello(if_p, &ip, pim, PIM_PKT_DIR_IN);
    t_pim_hello h{};
    int32_t bad = 0;
    e_pim_pkt_err err = pim_pkt_hello_decode(pim.subspan(PIM_PKT_HDR_LEN), h, bad);
    if (err == PIM_PKT_ERR_BAD_LENGTH) {
        PIM_REJECT_LOG("Bad length (unaccounted length: %d) for PIM Hello packet on if: %s", bad,
                       if_p->user_name);
        return PIM_STATUS_BAD_MSG;
    }
    if (err != PIM_PKT_OK) {
        PIM_REJECT_LOG("Bad PIM Hello packet on if: %s from %s, %s: %d", if_p->user_name,
                       ipaddr_str(src).c, pim_pkt_err_str(err), bad);
        return PIM_STATUS_BAD_MSG;
    }
    if (h.unknown_opts != 0) {
        PIM_LOG_EVENT(if_dbg(if_p), PIM_DEBUG_LEVEL_BASIC,
                      "vpn: %lu Received unsupported HELLO option, type: %d, len: %d from %s",
                      if_vpn_id(if_p), h.last_unknown_type, h.last_unknown_len, ipaddr_str(src).c);
    }
    t_pim_nbr_hello nh{};
    // A Hello without a holdtime keeps the neighbor for the default period.
    uint32_t hold_s = h.has_holdtime ? h.holdtime : PIM_HELLO_DEFAULT_HOLDTIME_S;
    nh.holdtime =
        hold_s == PIM_HELLO_HOLDTIME_FOREVER ? PIM_NBR_HOLDTIME_FOREVER_MS : hold_s * 1000;
    nh.dr_priority = h.dr_priority;
    nh.gen_id = h.gen_id;
    nh.prop_delay = h.prop_delay;
    nh.override_int = h.override_int;
    nh.t_bit = h.t_bit;
    nh.has_dr_priority = h.has_dr_priority;
    nh.has_gen_id = h.has_gen_id;
    nh.has_lan_delay = h.has_lan_delay;
    nh.num_secondary = h.num_secondary;
    std::copy_n(h.secondary, h.num_secondary, nh.secondary);
    e_pim_status rc = pim_nbr_process_hello_rec(if_p, src, nh);
    if (rc != PIM_STATUS_OK) {
        PIM_LOG("Failed to process hello on if: %s source-ip: %s, status: %d", if_p->user_name,
                ipaddr_str(src).c, rc);
    }
    return rc;
}

e_pim_status pim_pkt_decode_jp(t_pim_daemon *daemon_p, t_pim_if *if_p, const t_pim_ip_header &ip,
                               std::span<const uint8_t> pim)
{
    const t_ipaddr *src = &ip.src_ip;
    PIM_RX_COUNT(if_p, jp_pkts);
    pim_debug_pkt_jp(if_p, &ip, pim, PIM_PKT_DIR_IN);
    t_pim_nbr *nbr_p = pim_nbr_find(if_p, src, nullptr);
    if (nbr_p == nullptr) {
        PIM_REJECT_LOG("Received JP packet from %s, before sending hello", ipaddr_str(src).c);
        return PIM_STATUS_NO_NBR;
    }
    t_pim_jp_rd it{};
    t_pim_pkt_jp jp{};
    int32_t bad = 0;
    if (pim_pkt_jp_decode_hdr(pim.subspan(PIM_PKT_HDR_LEN), it, jp, bad) != PIM_PKT_OK) {
        PIM_REJECT_LOG("Bad PIM JP packet on if: %s, upstream neighbor", if_p->user_name);
        return PIM_STATUS_BAD_MSG;
    }
    // On a shared LAN the Join/Prunes of the other routers reach us too: they
    // suppress our own Joins to the same router and we override their Prunes.
    bool for_us = addr_is_ours(if_p, &jp.upstream_neighbor);
    t_ipaddr upstream = jp.upstream_neighbor;
    if (!for_us) {
        PIM_RX_COUNT(if_p, jp_not_for_us_pkts);
        if (const t_pim_nbr *up_p = pim_nbr_find_any(if_p, &upstream)) {
            upstream = up_p->nbr_addr;
        }
    }
    // One unit per message: the receiver's end-of-message processing sees the
    // whole message, however its sender cut it into group records. What was
    // processed before a malformed record keeps its effect and is finished.
    t_pim_vpn *vpn_p = if_p->vpn_p;
    bool unit_open = false;
    e_pim_status rc = PIM_STATUS_OK;
    while (pim_pkt_jp_more(it, jp)) {
        e_pim_pkt_err err =
            pim_pkt_jp_decode_group(it, jp, g_pim_jp_join_src_addr, g_pim_jp_prune_src_addr, bad);
        if (err != PIM_PKT_OK) {
            PIM_REJECT_LOG("Bad PIM JP packet on if: %s, group record: %s (%d)", if_p->user_name,
                           pim_pkt_err_str(err), bad);
            rc = PIM_STATUS_BAD_MSG;
            break;
        }
        if (const char *why = pim_pkt_jp_group_check(jp.jp_group, *src)) {
            PIM_RX_COUNT(if_p, bad_addr_records);
            PIM_REJECT_LOG("PIM JP record for %s from %s on if: %s refused: %s",
                           ipaddr_str(&jp.jp_group.group_address.group_addr.addr).c,
                           ipaddr_str(src).c, if_p->user_name, why);
            continue;
        }
        if (group_is_auto_rp(&jp.jp_group.group_address.group_addr.addr)) {
            continue;
        }
        if (!for_us) {
            pim_minfo_see_other_jp(if_p, &upstream, &jp);
            continue;
        }
        if (!unit_open) {
            pim_jp_unit_begin(vpn_p);
            unit_open = true;
        }
        (void)pim_pkt_process_jp_group(daemon_p, if_p, nbr_p, src, &jp);
    }
    if (unit_open) {
        pim_jp_handle_eom(vpn_p);
    }
    if (rc == PIM_STATUS_OK && pim_pkt_jp_decode_end(it, bad) != PIM_PKT_OK) {
        PIM_REJECT_LOG("Bad length (unaccounted length: %d) for PIM JP packet on if: %s", bad,
                       if_p->user_name);
        rc = PIM_STATUS_BAD_MSG;
    }
    return rc;
}

e_pim_status pim_pkt_process_jp_group(t_pim_daemon *, t_pim_if *if_p, t_pim_nbr *, const t_ipaddr *,
                                      t_pim_pkt_jp *jp)
{
    const t_pim_pkt_jp_group &g = jp->jp_group;
    const t_ipaddr *group = &g.group_address.group_addr.addr;
    bool xg_seen = false;
    for (uint16_t i = 0; i < g.num_joins; i++) {
        const t_pim_pkt_src_addr &s = g.join_src_pp[i];
        if (s.wc_bit && s.r_bit) {
            pim_jp_xg_join(if_p, group, &s.source_addr.addr, jp->holdtime);
            xg_seen = true;
        } else if (s.r_bit) {
            if_p->xg_join = xg_seen;
            if (xg_seen) {
                PIM_RX_COUNT(if_p, xg_sgrpt_pkts);
            }
            pim_jp_sgrpt_join(if_p, group, &s.source_addr.addr, jp->holdtime);
        } else {
            pim_jp_sg_join(if_p, group, &s.source_addr.addr, jp->holdtime);
        }
    }
    for (uint16_t i = 0; i < g.num_prunes; i++) {
        const t_pim_pkt_src_addr &s = g.prune_src_pp[i];
        if (s.wc_bit && s.r_bit) {
            pim_jp_xg_prune(if_p, group, &s.source_addr.addr);
        } else if (s.r_bit) {
            pim_jp_sgrpt_prune(if_p, group, &s.source_addr.addr, jp->holdtime);
        } else {
            pim_jp_sg_prune(if_p, group, &s.source_addr.addr);
        }
    }
    return PIM_STATUS_OK;
}

e_pim_status pim_pkt_decode_assert(t_pim_daemon *daemon_p, t_pim_if *if_p,
                                   const t_pim_ip_header &ip, std::span<const uint8_t> pim)
{
    const t_ipaddr *src = &ip.src_ip;
    if (if_p->pim_if_type != PIM_IF_TYPE_LOCAL) {
        PIM_RX_COUNT(if_p, unsupported_pkts);
        return PIM_STATUS_OK;
    }
    PIM_RX_COUNT(if_p, assert_pkts);
    pim_debug_pkt_assert(if_p, &ip, pim, PIM_PKT_DIR_IN);
    t_pim_nbr *nbr_p = pim_nbr_find(if_p, src, nullptr);
    if (nbr_p == nullptr) {
        PIM_REJECT_LOG("Received assert packet from %s, before sending hello", ipaddr_str(src).c);
        return PIM_STATUS_NO_NBR;
    }
    t_pim_assert_rec a{};
    int32_t bad = 0;
    e_pim_pkt_err err = pim_pkt_assert_decode(pim.subspan(PIM_PKT_HDR_LEN), a, bad);
    if (err == PIM_PKT_ERR_BAD_LENGTH) {
        PIM_REJECT_LOG("Bad length (unaccounted length: %d) for PIM Assert packet on if: %s", bad,
                       if_p->user_name);
        return PIM_STATUS_BAD_MSG;
    }
    if (err != PIM_PKT_OK) {
        PIM_REJECT_LOG("Bad PIM Assert packet on if: %s, %s (%d)", if_p->user_name,
                       pim_pkt_err_str(err), bad);
        return PIM_STATUS_BAD_MSG;
    }
    if (group_is_auto_rp(&a.group.group_addr.addr)) {
        PIM_LOG("Received PIM assert for Auto-RP group %s", ipaddr_str(&a.group.group_addr.addr).c);
        return PIM_STATUS_OK;
    }
    IPADDR_COPY(&a.metric.sender_addr, src);
    pim_assert_process_pkt(daemon_p, nbr_p, &a.group.group_addr.addr, &a.source, &a.metric);
    return PIM_STATUS_OK;
}

e_pim_status pim_pkt_tx(t_pim_if *if_p, uint8_t *buf, size_t len)
{
    if (if_p->sock_fd <= 0) {
        return PIM_STATUS_SOCKET_FAIL;
    }
    pim_pkt_finish(std::span<uint8_t>(buf, len));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(PIM_ALL_ROUTERS);
    ssize_t n = sendto(if_p->sock_fd, buf, len, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&to),
                       sizeof(to));
    if (n > 0) {
        PIM_LOG_EVENT(if_dbg(if_p), PIM_DEBUG_LEVEL_DETAIL,
                      "vpn: %lu Sent %d bytes of data on if: %s", if_vpn_id(if_p),
                      static_cast<int>(n), if_p->user_name);
        return PIM_STATUS_OK;
    }
    PIM_LOG("Failed to send packet on if: %s (errno: %d)", if_p->user_name, errno);
    return PIM_STATUS_MSG_SEND_FAIL;
}

e_pim_status pim_pkt_encode_hello(t_pim_if *if_p, bool zero_holdtime)
{
    if (if_p->pim_if_type == PIM_IF_TYPE_IGMP) {
        return PIM_STATUS_OK;
    }
    t_pim_hello h{};
    // 0xFFFF would announce a neighbor that never expires: cap below it.
    uint32_t hold_s = if_p->config.holdtime / 1000;
    hold_s = hold_s >= PIM_HELLO_HOLDTIME_FOREVER ? PIM_HELLO_HOLDTIME_FOREVER - 1 : hold_s;
    h.holdtime = zero_holdtime ? 0 : static_cast<uint16_t>(hold_s);
    h.prop_delay = static_cast<uint16_t>(if_p->config.prop_delay);
    h.override_int = static_cast<uint16_t>(if_p->config.override_int);
    h.dr_priority = if_p->config.dr_priority;
    h.gen_id = if_p->genid;
    size_t len = pim_pkt_hello_build(g_pim_tx_buf, h);
    pim_debug_pkt_hello(if_p, nullptr, std::span<const uint8_t>(g_pim_tx_buf, len),
                        PIM_PKT_DIR_OUT);
    e_pim_status rc = pim_pkt_tx(if_p, g_pim_tx_buf, len);
    if (rc != PIM_STATUS_OK) {
        PIM_TX_COUNT(if_p, failed_pkts);
        PIM_LOG_EVENT(if_dbg(if_p), PIM_DEBUG_LEVEL_DETAIL,
                      "vpn: %lu Failed to send hello on if: %s", if_vpn_id(if_p), if_p->user_name);
        return rc;
    }
    PIM_TX_COUNT(if_p, all_pkts);
    PIM_TX_COUNT(if_p, hello_pkts);
    return PIM_STATUS_OK;
}

uint16_t pim_pkt_jp_holdtime(const t_pim_if *if_p)
{
    uint64_t s = uint64_t{if_p->config.join_interval} * 7 / 2 / 1000;
    return static_cast<uint16_t>(s > UINT16_MAX ? UINT16_MAX : s);
}

e_pim_status pim_pkt_tx_jp(t_pim_if *if_p, const t_pim_jp_tx &jp)
{
    if (if_p->pim_if_type == PIM_IF_TYPE_IGMP) {
        return PIM_STATUS_OK;
    }
    e_pim_status result = PIM_STATUS_OK;
    t_pim_jp_cursor cur{};
    while (size_t len = pim_pkt_jp_build(g_pim_tx_buf, jp, cur)) {
        pim_debug_pkt_jp(if_p, nullptr, std::span<const uint8_t>(g_pim_tx_buf, len),
                         PIM_PKT_DIR_OUT);
        e_pim_status rc = pim_pkt_tx(if_p, g_pim_tx_buf, len);
        if (rc != PIM_STATUS_OK) {
            PIM_TX_COUNT(if_p, failed_pkts);
            result = rc;
        }
        PIM_TX_COUNT(if_p, all_pkts);
        PIM_TX_COUNT(if_p, jp_pkts);
    }
    return result;
}

e_pim_status pim_pkt_encode_assert(t_pim_if *if_p, const t_ipaddr *source, const t_ipaddr *group,
                                   const t_pim_assert_metric *metric)
{
    size_t len = pim_pkt_assert_build(g_pim_tx_buf, *group, *source, *metric);
    if (len != 0) {
        pim_debug_pkt_assert(if_p, nullptr, std::span<const uint8_t>(g_pim_tx_buf, len),
                             PIM_PKT_DIR_OUT);
    }
    e_pim_status rc = len != 0 ? pim_pkt_tx(if_p, g_pim_tx_buf, len) : PIM_STATUS_FAIL;
    if (rc != PIM_STATUS_OK) {
        PIM_TX_COUNT(if_p, failed_pkts);
        PIM_LOG("Failed to send assert on if: %s", if_p->user_name);
        return rc;
    }
    PIM_TX_COUNT(if_p, all_pkts);
    PIM_TX_COUNT(if_p, assert_pkts);
    return PIM_STATUS_OK;
}
