#include "daemon/pim_auto_rp.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <span>
#include <sys/socket.h>

#include "daemon/pim_auto_rp_codec.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_if.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_nbr.h"
#include "daemon/pim_nhres.h"
#include "daemon/pim_pkt.h"
#include "daemon/pim_rp_db.h"
#include "daemon/pim_subsys.h"
#include "daemon/pim_vpn.h"

namespace
{

constexpr uint32_t AUTO_RP_GROUPS[] = {PIM_AUTO_RP_ANNOUNCE_GROUP, PIM_AUTO_RP_MAPPING_GROUP};
constexpr size_t IP_TTL_OFFSET = 8;
constexpr size_t IP_DST_OFFSET = 16;

t_ipaddr v4_addr(uint32_t host_order)
{
    t_ipaddr a{};
    IPADDR_SET_V4(&a, host_order);
    return a;
}

// Bumps one counter of the daemon, the VPN and, when the datagram came
// through one, the interface.
template <typename F> void count(t_pim_vpn *vpn_p, t_pim_if *if_p, F bump)
{
    if (g_kemd_p != nullptr) {
        bump(g_kemd_p->stats);
    }
    if (vpn_p != nullptr) {
        bump(vpn_p->stats);
    }
    if (if_p != nullptr) {
        bump(if_p->stats);
    }
}

#define AUTO_RP_RX_COUNT(vpn_p, if_p, field)                                                       \
    count((vpn_p), (if_p), [](t_pim_stats &s) { s.pkt_stats_rx.field++; })
#define AUTO_RP_TX_COUNT(vpn_p, if_p, field)                                                       \
    count((vpn_p), (if_p), [](t_pim_stats &s) { s.pkt_stats_tx.field++; })

// The first Auto-RP entry of a VPN, in key order, that pred accepts.
template <typename P> t_pim_minfo *auto_rp_find(t_pim_vpn *vpn_p, P pred)
{
    for (uint32_t g : AUTO_RP_GROUPS) {
        t_ipaddr group = v4_addr(g);
        for (t_pim_minfo *m = pim_minfo_group_first(vpn_p, &group);
             m != nullptr && IPADDR_CMP(&m->group, &group) == 0;
             m = avl_next(&vpn_p->minfo_db, m)) {
            if (m->type == PIM_TYPE_AUTO_RP && pred(m)) {
                return m;
            }
        }
    }
    return nullptr;
}

// Every Auto-RP entry of a VPN in key order; fn may delete the entry it gets.
template <typename F> void auto_rp_for_each(t_pim_vpn *vpn_p, F fn)
{
    for (uint32_t g : AUTO_RP_GROUPS) {
        t_ipaddr group = v4_addr(g);
        t_pim_minfo *next_p = nullptr;
        for (t_pim_minfo *m = pim_minfo_group_first(vpn_p, &group);
             m != nullptr && IPADDR_CMP(&m->group, &group) == 0; m = next_p) {
            next_p = avl_next(&vpn_p->minfo_db, m);
            if (m->type == PIM_TYPE_AUTO_RP) {
                fn(m);
            }
        }
    }
}

bool joined(const t_pim_minfo *minfo_p) { return minfo_p->upstream_state == PIM_UPSTREAM_JOINED; }

// Puts a cached datagram on an interface's wire as it was received, the
// sender's address kept, to its group; the kernel completes the IP header.
// Overlay tunnel interfaces have no Auto-RP socket.
e_pim_status auto_rp_pkt_tx(t_pim_if *if_p, const uint8_t *dgram, size_t len)
{
    if (if_p->pim_if_type != PIM_IF_TYPE_LOCAL || if_p->sock_auto_rp_fd <= 0) {
        return PIM_STATUS_SOCKET_FAIL;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    memcpy(&to.sin_addr.s_addr, dgram + IP_DST_OFFSET, sizeof(to.sin_addr.s_addr));
    ssize_t n = sendto(if_p->sock_auto_rp_fd, dgram, len, MSG_DONTWAIT,
                       reinterpret_cast<sockaddr *>(&to), sizeof(to));
    return n == static_cast<ssize_t>(len) ? PIM_STATUS_OK : PIM_STATUS_MSG_SEND_FAIL;
}

// Sends an entry's cached datagram on every interface of its flood list,
// one hop further than it came, and drops the cache.
void auto_rp_resend(t_pim_minfo *minfo_p)
{
    t_pim_vpn *vpn_p = minfo_p->vpn_p;
    uint8_t *pkt = minfo_p->auto_rp_pkt_cache;
    if (pkt[IP_TTL_OFFSET] > 1) {
        pkt[IP_TTL_OFFSET]--;
        uint32_t idx = 0;
        for (pim_minfo_ilist_find_first(minfo_p->inherited_olist_p, &idx); idx != 0;
             pim_minfo_ilist_find_next(minfo_p->inherited_olist_p, idx, &idx)) {
            t_pim_if *if_p = pim_if_find_by_index(vpn_p, idx, PIM_IF_TYPE_ANY, nullptr);
            if (if_p == nullptr) {
                continue;
            }
            if (auto_rp_pkt_tx(if_p, pkt, minfo_p->auto_rp_pkt_len) == PIM_STATUS_OK) {
                AUTO_RP_TX_COUNT(vpn_p, if_p, auto_rp_pkts);
            } else {
                AUTO_RP_TX_COUNT(vpn_p, if_p, auto_rp_failed_pkts);
                PIM_LOG("Failed to send auto-rp pkt on if: %s", if_p->user_name);
            }
        }
    }
    pim_free(minfo_p->auto_rp_pkt_cache);
    minfo_p->auto_rp_pkt_cache = nullptr;
    minfo_p->auto_rp_pkt_len = 0;
}

void pkt_timer_start(t_pim_daemon *daemon_p)
{
    if (daemon_p != nullptr && daemon_p->auto_rp_pkt_timer_p != nullptr) {
        timer_enable(daemon_p->auto_rp_pkt_timer_p);
    }
}

void ilist_set_flood(t_pim_minfo *minfo_p, const t_pim_if *rpf_if_p)
{
    t_pim_vpn *vpn_p = minfo_p->vpn_p;
    bool from_overlay = rpf_if_p->pim_if_type == PIM_IF_TYPE_TUNNEL;
    for (auto *if_p = avl_first<t_pim_if>(&vpn_p->pim_if_db); if_p != nullptr;
         if_p = avl_next(&vpn_p->pim_if_db, if_p)) {
        if (if_p->oper_state != PIM_IF_STATE_UP || if_p->pim_if_type == PIM_IF_TYPE_IGMP ||
            if_p == rpf_if_p || (from_overlay && if_p->pim_if_type == PIM_IF_TYPE_TUNNEL)) {
            continue;
        }
        pim_minfo_ilist_set(&minfo_p->inherited_olist_p, if_p->if_index);
    }
}

// The RP table becomes the mapping's (RP, range) pairs.
void auto_rp_parse_mapping_pkt(t_pim_vpn *vpn_p, t_pim_minfo *minfo_p, const t_pim_auto_rp_msg &msg)
{
    pim_rp_db_mark_stale(vpn_p);
    (void)pim_auto_rp_walk(msg.rp_entries, msg.rp_count, [&](const t_pim_auto_rp_pair &pair) {
        pim_rp_db_apply_mapping(vpn_p, minfo_p, &pair.range, &pair.rp);
    });
    pim_rp_db_delete_stale(vpn_p);
}

e_pim_status auto_rp_process_pkt(t_pim_vpn *vpn_p, t_pim_if *if_p, const t_pim_auto_rp_msg &msg,
                                 const uint8_t *dgram)
{
    const t_pim_debug *dbg = pim_vpn_debug(vpn_p);
    unsigned long id = pim_vpn_log_id(vpn_p);
    bool mapping = msg.type == PIM_AUTO_RP_TYPE_MAPPING;
    t_ipaddr group = msg.dst;
    t_ipaddr_str src = ipaddr_str(&msg.src);
    if (mapping) {
        AUTO_RP_RX_COUNT(vpn_p, if_p, auto_rp_mapping_pkts);
    } else {
        AUTO_RP_RX_COUNT(vpn_p, if_p, auto_rp_announce_pkts);
    }
    PIM_LOG_AUTO_RP(dbg, PIM_DEBUG_LEVEL_BASIC, "vpn: %lu Processing Auto-RP packet (%s, %s)", id,
                    src.c, mapping ? "224.0.1.40" : "224.0.1.39");

    t_pim_minfo *minfo_p =
        pim_minfo_find_or_create(vpn_p, nullptr, PIM_TYPE_AUTO_RP, &group, &msg.src, nullptr);
    if (minfo_p == nullptr) {
        PIM_LOG("Failed to create the minfo entry for group %s,%s", ipaddr_str(&group).c, src.c);
        return PIM_STATUS_FAIL;
    }
    uint32_t hold_ms = msg.holdtime * 1000u;
    bool created = minfo_p->auto_rp_hold_timer == nullptr;
    if (created) {
        PIM_LOG_AUTO_RP(dbg, PIM_DEBUG_LEVEL_DETAIL, "vpn: %lu Created (%s, %s) for Auto-RP", id,
                        src.c, ipaddr_str(&group).c);
        minfo_p->auto_rp_hold_timer = timer_util_create(
            vpn_p->daemon_p->timer_mgr_p, TIMER_PRI_NORMAL, TIMER_TYPE_ONESHOT, hold_ms,
            pim_auto_rp_holdtime_expiry_cb, minfo_p, "Auto RP Holdtime Expiry");
        if (minfo_p->auto_rp_hold_timer == nullptr) {
            PIM_LOG("Failed to allocate Auto RP Holdtime for if_minfo");
            // An entry without its hold timer would never go.
            pim_minfo_delete(minfo_p);
            return PIM_STATUS_FAIL;
        }
        timer_reset(minfo_p->auto_rp_hold_timer, hold_ms);
        pim_auto_rp_update_minfo(minfo_p);
    } else {
        timer_reset(minfo_p->auto_rp_hold_timer, hold_ms);
    }
    // The forwarding plane floods what a joined entry receives; only the
    // first datagrams, which came before it was programmed, are re-sent here.
    if (created || !joined(minfo_p)) {
        pim_free(minfo_p->auto_rp_pkt_cache);
        minfo_p->auto_rp_pkt_cache = static_cast<uint8_t *>(pim_malloc(msg.total_len));
        minfo_p->auto_rp_pkt_len = 0;
        if (minfo_p->auto_rp_pkt_cache != nullptr) {
            memcpy(minfo_p->auto_rp_pkt_cache, dgram, msg.total_len);
            minfo_p->auto_rp_pkt_len = msg.total_len;
        }
    }
    if (mapping) {
        auto_rp_parse_mapping_pkt(vpn_p, minfo_p, msg);
    }
    return PIM_STATUS_OK;
}

} // namespace

e_pim_status pim_auto_rp_enable(t_pim_vpn *vpn_p, bool with_interfaces)
{
    // Before PIM's tables exist (a shut VPN) there is nothing to run in.
    if (vpn_p->config.shutdown || vpn_p->auto_rp_enabled || vpn_p->rp_db.avl_compar == nullptr) {
        return PIM_STATUS_OK;
    }
    for (uint32_t g : AUTO_RP_GROUPS) {
        t_ipaddr group = v4_addr(g);
        if (pim_ftm_add_group(vpn_p, &group) != PIM_STATUS_OK) {
            PIM_LOG("Failed to program FTM for group %s", ipaddr_str(&group).c);
            return PIM_STATUS_FAIL;
        }
    }
    if (with_interfaces) {
        for (auto *if_p = avl_first<t_pim_if>(&vpn_p->pim_if_db); if_p != nullptr;
             if_p = avl_next(&vpn_p->pim_if_db, if_p)) {
            // A running interface opens its socket itself when it (re)starts.
            if (if_p->pim_enabled && if_p->sock_auto_rp_fd <= 0) {
                (void)pim_if_auto_rp_sock_enable(if_p);
            }
        }
    }
    (void)pim_auto_rp_tun_if_enable(vpn_p);
    vpn_p->auto_rp_enabled = true;
    return PIM_STATUS_OK;
}

void pim_auto_rp_disable(t_pim_vpn *vpn_p, bool with_interfaces)
{
    if (vpn_p->auto_rp_enabled) {
        pim_auto_rp_delete_minfo_all(vpn_p);
        for (uint32_t g : AUTO_RP_GROUPS) {
            t_ipaddr group = v4_addr(g);
            if (pim_ftm_del_group(vpn_p, &group) != PIM_STATUS_OK) {
                PIM_LOG("Failed to delete FTM programming for group %s", ipaddr_str(&group).c);
            }
        }
    }
    // Sockets go whether or not the start got that far: an open socket with
    // its read event must not outlive the setting.
    if (with_interfaces && vpn_p->pim_if_db.avl_compar != nullptr) {
        for (auto *if_p = avl_first<t_pim_if>(&vpn_p->pim_if_db); if_p != nullptr;
             if_p = avl_next(&vpn_p->pim_if_db, if_p)) {
            (void)pim_if_auto_rp_sock_disable(if_p);
        }
    }
    (void)pim_auto_rp_tun_if_disable(vpn_p);
    vpn_p->auto_rp_enabled = false;
}

void pim_auto_rp_delete_minfo_all(t_pim_vpn *vpn_p)
{
    auto_rp_for_each(vpn_p, [](t_pim_minfo *m) {
        if (joined(m)) {
            (void)pim_ftm_delete(m);
        }
        pim_minfo_delete(m);
    });
}

e_pim_status pim_pkt_auto_rp_rx(t_pim_vpn *vpn_p, t_pim_if *if_p, int fd)
{
    const t_pim_debug *dbg = pim_vpn_debug(vpn_p);
    PIM_LOG_AUTO_RP(dbg, PIM_DEBUG_LEVEL_DETAIL, "vpn: %lu Received Auto-RP packet",
                    pim_vpn_log_id(vpn_p));
    AUTO_RP_RX_COUNT(vpn_p, if_p, all_pkts);
    AUTO_RP_RX_COUNT(vpn_p, if_p, auto_rp_pkts);
    // Every readable datagram is read, even one nobody can take, or the
    // read event would fire again at once. The socket stays in the VPN's
    // namespace: reading needs no switch.
    ssize_t n = recv(fd, g_pim_tx_rx_buf, PIM_AUTO_RP_MAX_DGRAM, MSG_DONTWAIT);
    int err = errno;
    if (n < 0) {
        if (err != EAGAIN && err != EINTR) {
            PIM_LOG("Failed to read IP Header, fd: %d, (err:%d) \n", fd, err);
        }
        return PIM_STATUS_SOCKET_FAIL;
    }
    if (vpn_p == nullptr) {
        PIM_LOG("Failed to find vpn");
        return PIM_STATUS_FAIL;
    }
    // A socket an interface opened while the start failed half-way (the
    // forwarding plane refused the groups) has nothing to feed.
    if (!vpn_p->auto_rp_enabled) {
        return PIM_STATUS_OK;
    }
    return pim_pkt_auto_rp_decode(vpn_p, if_p, g_pim_tx_rx_buf, static_cast<size_t>(n));
}

e_pim_status pim_pkt_auto_rp_decode(t_pim_vpn *vpn_p, t_pim_if *if_p, const uint8_t *dgram,
                                    size_t len)
{
    const t_pim_debug *dbg = pim_vpn_debug(vpn_p);
    unsigned long id = pim_vpn_log_id(vpn_p);
    t_pim_auto_rp_msg msg;
    e_pim_auto_rp_parse result = pim_auto_rp_parse(std::span<const uint8_t>(dgram, len), msg);
    if (result != PIM_AUTO_RP_ERR_IP && result != PIM_AUTO_RP_ERR_DEST) {
        PIM_LOG_AUTO_RP(dbg, PIM_DEBUG_LEVEL_BASIC, "vpn: %lu Parsing Auto-RP packet (%s, %s)", id,
                        ipaddr_str(&msg.src).c, ipaddr_str(&msg.dst).c);
    }
    switch (result) {
    case PIM_AUTO_RP_OK:
        return auto_rp_process_pkt(vpn_p, if_p, msg, dgram);
    case PIM_AUTO_RP_ERR_IP:
        PIM_REJECT_LOG("vpn: %lu Received Auto-RP datagram with a bad IP header, length: %zu", id,
                       len);
        break;
    case PIM_AUTO_RP_ERR_DEST:
        PIM_LOG_AUTO_RP(dbg, PIM_DEBUG_LEVEL_DETAIL,
                        "vpn: %lu Received invalid Auto-RP packet (Dest: %s)", id,
                        ipaddr_str(&msg.dst).c);
        break;
    case PIM_AUTO_RP_ERR_SHORT:
        PIM_REJECT_LOG("PIM packet too small, received length: %d, expected length %d",
                       msg.payload_len, static_cast<int>(PIM_AUTO_RP_MIN_LEN));
        break;
    case PIM_AUTO_RP_ERR_TYPE_DEST:
        PIM_REJECT_LOG("Received invalid Auto-RP packet (%s, %s) Type:%d", ipaddr_str(&msg.src).c,
                       ipaddr_str(&msg.dst).c, msg.type);
        break;
    case PIM_AUTO_RP_ERR_UNKNOWN:
        PIM_REJECT_LOG("Ignore unknown PIM auto-rp packet of type %d", msg.type);
        AUTO_RP_RX_COUNT(vpn_p, if_p, auto_rp_unknown_pkts);
        return PIM_STATUS_OK;
    case PIM_AUTO_RP_ERR_TRUNCATED:
        PIM_REJECT_LOG("Auto-RP mapping from %s refused: %u RP entries run past its end "
                       "(payload length %d)",
                       ipaddr_str(&msg.src).c, msg.rp_count, msg.payload_len);
        break;
    }
    AUTO_RP_RX_COUNT(vpn_p, if_p, bad_pkts);
    return PIM_STATUS_BAD_MSG;
}

void pim_auto_rp_update_minfo(t_pim_minfo *minfo_p)
{
    t_pim_vpn *vpn_p = minfo_p->vpn_p;
    const t_pim_debug *dbg = pim_vpn_debug(vpn_p);
    unsigned long id = pim_vpn_log_id(vpn_p);
    PIM_LOG_AUTO_RP(dbg, PIM_DEBUG_LEVEL_BASIC, "vpn: %lu pim_auto_rp_update_minfo: (%s, %s) (%s)",
                    id, ipaddr_str(&minfo_p->source).c, ipaddr_str(&minfo_p->group).c,
                    pim_upstream_state_string(minfo_p->upstream_state));
    minfo_p->rpf_nbr_if = 0;
    IPADDR_INIT(&minfo_p->rpf_nbr_addr, IP_ADDR_V4);
    minfo_p->upstream_state = PIM_UPSTREAM_NOT_JOINED;
    pim_minfo_ilist_free(&minfo_p->inherited_olist_p);
    (void)pim_ftm_delete(minfo_p);

    t_pim_next_hop *nh_p = pim_nhres_find(vpn_p, &minfo_p->source, nullptr);
    if (nh_p == nullptr || nh_p->num_nh == 0) {
        PIM_LOG_AUTO_RP(dbg, PIM_DEBUG_LEVEL_BASIC, "vpn: %lu Route not found", id);
        return;
    }
    // The first next hop with a neighbor wins; Auto-RP knows neither
    // replicators nor source-VPN filters.
    t_pim_nbr *nbr_p = nullptr;
    for (int i = 0; i < nh_p->num_nh && i < PIM_MAX_NEXT_HOPS && nbr_p == nullptr; i++) {
        const t_pim_nh_info *info = &pim_nhres_hops(nh_p)[i];
        nbr_p = info->nh_type == E_PIM_NHTYPE_SERVICE
                    ? pim_minfo_find_service_nbr(vpn_p, minfo_p, info, &minfo_p->source)
                    : pim_minfo_find_tunnel_nbr(vpn_p, minfo_p, info);
    }
    if (nbr_p == nullptr || nbr_p->if_p == nullptr) {
        return;
    }
    minfo_p->rpf_nbr_if = nbr_p->if_p->if_index;
    IPADDR_COPY(&minfo_p->rpf_nbr_addr, &nbr_p->nbr_addr);
    minfo_p->upstream_state = PIM_UPSTREAM_JOINED;
    ilist_set_flood(minfo_p, nbr_p->if_p);
    (void)pim_ftm_add(minfo_p);
    pkt_timer_start(vpn_p->daemon_p);
}

void pim_auto_rp_update_minfo_if_all(t_pim_vpn *vpn_p, t_pim_if *if_p, bool up)
{
    if (vpn_p == nullptr) {
        return;
    }
    auto_rp_for_each(vpn_p, [if_p, up](t_pim_minfo *m) {
        if (joined(m)) {
            pim_auto_rp_update_minfo_if(m, if_p, up);
            pim_daemon_process_urgent_timers();
        }
    });
}

void pim_auto_rp_update_minfo_if(t_pim_minfo *minfo_p, t_pim_if *if_p, bool up)
{
    t_pim_vpn *vpn_p = minfo_p->vpn_p;
    if (vpn_p == nullptr) {
        PIM_LOG("VPN pointer in PIM info is NULL.");
        return;
    }
    PIM_LOG_AUTO_RP(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_BASIC,
                    "vpn: %lu pim_auto_rp_update_minfo_if: (%s, %s) (%s) (%s)",
                    pim_vpn_log_id(vpn_p), ipaddr_str(&minfo_p->source).c,
                    ipaddr_str(&minfo_p->group).c, if_p->user_name, up ? "up" : "down");
    t_pim_if *rpf_if_p = pim_if_find_by_index(vpn_p, minfo_p->rpf_nbr_if, PIM_IF_TYPE_ANY, nullptr);
    if (rpf_if_p == nullptr) {
        return;
    }
    if (up) {
        if (if_p->pim_if_type == PIM_IF_TYPE_TUNNEL &&
            rpf_if_p->pim_if_type == PIM_IF_TYPE_TUNNEL) {
            return;
        }
        if (if_p != rpf_if_p) {
            pim_minfo_ilist_set(&minfo_p->inherited_olist_p, if_p->if_index);
        }
    } else if (if_p == rpf_if_p) {
        (void)pim_ftm_delete(minfo_p);
        pim_minfo_delete(minfo_p);
        return;
    } else {
        pim_minfo_ilist_clear(&minfo_p->inherited_olist_p, if_p->if_index);
    }
    (void)pim_ftm_delete(minfo_p);
    (void)pim_ftm_add(minfo_p);
}

void pim_auto_rp_pkt_timer_cb(t_timer *timer, void *daemon_arg)
{
    auto *daemon_p = static_cast<t_pim_daemon *>(daemon_arg);
    // One datagram per tick: the first joined entry holding one, in VPN and
    // key order.
    for (auto *vpn_p = avl_first<t_pim_vpn>(&daemon_p->vpn_db); vpn_p != nullptr;
         vpn_p = avl_next(&daemon_p->vpn_db, vpn_p)) {
        t_pim_minfo *minfo_p = auto_rp_find(vpn_p, [](const t_pim_minfo *m) {
            return joined(m) && m->auto_rp_pkt_cache != nullptr;
        });
        if (minfo_p != nullptr) {
            auto_rp_resend(minfo_p);
            return;
        }
    }
    timer_disable(timer);
}

void pim_auto_rp_holdtime_expiry_cb(t_timer *, void *minfo_arg)
{
    auto *minfo_p = static_cast<t_pim_minfo *>(minfo_arg);
    t_pim_vpn *vpn_p = minfo_p->vpn_p;
    PIM_LOG_AUTO_RP(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_DETAIL,
                    "vpn: %lu Holdtime expired for (%s, %s)", pim_vpn_log_id(vpn_p),
                    ipaddr_str(&minfo_p->source).c, ipaddr_str(&minfo_p->group).c);
    // A mapping agent's entry takes its RP mappings along (and has the IGMP
    // memberships re-resolved).
    (void)pim_ftm_delete(minfo_p);
    pim_minfo_delete(minfo_p);
}
