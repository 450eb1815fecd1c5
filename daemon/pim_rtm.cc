#include "daemon/pim_rtm.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "common/msgq_util.h"
#include "common/pb_util.h"
#include "common/rtm_msg.h"
#include "common/zul_module.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_if.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_nhres.h"
#include "daemon/pim_vpn.h"
#include "proto/rtm.pb-c.h"

namespace
{

constexpr int PIM_RTM_SYSLOG_ID = 184; // LOG_LOCAL7

// Interfaces and addresses reported before the link was lost are kept (PIM
// keeps running on them, neighbors see no restart) for as long as the route
// table manager may still come back, and once it is back for as long as it
// takes to announce them again; what it does not announce again goes then.
constexpr uint32_t PIM_RTM_STALE_GRACE_MS = 30000;
constexpr uint32_t PIM_RTM_RESYNC_MS = 3000;

// Loop interfaces of the router ("loop1") carry no PIM; "loopback0" is not one.
bool zul_util_if_is_loop(const char *name)
{
    return strstr(name, "loop") != nullptr && strstr(name, "loopback") == nullptr;
}

void *pim_rtm_malloc(size_t size) { return pim_malloc(size); }

void pim_rtm_free(void *buf) { pim_free(buf); }

// A prefix from a message's address and length; false when unusable.
bool pim_rtm_prefix(const MIpAddress *addr_p, bool has_len, uint32_t len, t_ipprefix *prefix_p)
{
    if (addr_p == nullptr || addr_p->address == nullptr) {
        return false;
    }
    IPPREFIX_INIT(prefix_p, IP_ADDR_UNKNOWN);
    pb_util_to_ipaddr(addr_p, &prefix_p->addr);
    if (prefix_p->addr.addr_type == IP_ADDR_UNKNOWN || !has_len || len > 128) {
        return false;
    }
    prefix_p->prefixlen = static_cast<uint8_t>(len);
    return ipprefix_is_valid(prefix_p);
}

void pim_rtm_if_add(t_pim_vpn *vpn_p, const char *name, const MRtmControlInterface *intf_p)
{
    uint32_t kernel_idx = intf_p->index;
    if (kernel_idx == 0 || kernel_idx > INT32_MAX) {
        PIM_LOG("vpn: %lu interface %s with kernel index %u ignored", pim_vpn_log_id(vpn_p), name,
                kernel_idx);
        return;
    }
    t_pim_if *if_p = pim_if_find(vpn_p, name, PIM_IF_TYPE_LOCAL, nullptr, false);
    if (if_p != nullptr) {
        uint32_t old_idx = pim_if_bitmap_idx_to_if_idx(vpn_p, if_p->if_index);
        if (old_idx != 0 && old_idx != kernel_idx) {
            pim_if_idx_find_and_delete(vpn_p, static_cast<int>(old_idx), PIM_IF_TYPE_LOCAL, false);
        }
    }
    t_pim_if_idx *idx_p =
        pim_if_idx_find_or_create(vpn_p, static_cast<int>(kernel_idx), PIM_IF_TYPE_LOCAL);
    if (idx_p == nullptr) {
        return;
    }
    auto bitmap_idx = static_cast<uint32_t>(idx_p->bitmap_idx);
    // The kernel reuses indexes: an interface that still holds this one under
    // another name has lost it.
    t_pim_if *holder_p = pim_if_find_by_index(vpn_p, bitmap_idx, PIM_IF_TYPE_LOCAL, nullptr);
    if (holder_p != nullptr && strncmp(holder_p->if_name, name, PIM_IF_NAME_LEN) != 0) {
        PIM_LOG("vpn: %lu kernel index %u moved from %s to %s", pim_vpn_log_id(vpn_p), kernel_idx,
                holder_p->if_name, name);
        pim_if_update_index(holder_p, 0);
    }
    if_p = pim_if_find_or_create(vpn_p, name, PIM_IF_TYPE_LOCAL, bitmap_idx, false, true);
    if (if_p == nullptr) {
        return;
    }
    if_p->zebra_stale = false;
    if (intf_p->status != nullptr && intf_p->status->has_interface_active) {
        pim_if_oper_state(if_p, intf_p->status->interface_active == 0);
    }
}

void pim_rtm_if_addr(t_pim_vpn *vpn_p, const char *name, const MRtmControlInterface *intf_p,
                     bool withdrawn)
{
    t_ipprefix prefix;
    if (!pim_rtm_prefix(intf_p->prefix, intf_p->has_prefix_len, intf_p->prefix_len, &prefix)) {
        PIM_LOG("vpn: %lu bad address on interface %s ignored", pim_vpn_log_id(vpn_p), name);
        return;
    }
    if (!IPPREFIX_IS_V4(&prefix)) {
        return;
    }
    t_pim_if *if_p = pim_if_find(vpn_p, name, PIM_IF_TYPE_LOCAL, nullptr, false);
    if (if_p == nullptr) {
        PIM_LOG("vpn: %lu address for unknown interface %s ignored", pim_vpn_log_id(vpn_p), name);
        return;
    }
    (void)pim_if_addr_update(vpn_p->daemon_p, vpn_p, name, PIM_IF_TYPE_LOCAL, &prefix, withdrawn);
    t_pim_if_addr key{};
    IPPREFIX_COPY(&key.addr, &prefix);
    if (auto *addr_p = avl_find(&if_p->if_addr_db, &key, nullptr)) {
        addr_p->stale = false;
    }
}

void pim_rtm_if_state(t_pim_vpn *vpn_p, const char *name, bool down)
{
    t_pim_if *if_p = pim_if_find(vpn_p, name, PIM_IF_TYPE_LOCAL, nullptr, false);
    if (if_p == nullptr) {
        PIM_LOG("vpn: %lu state of unknown interface %s ignored", pim_vpn_log_id(vpn_p), name);
        return;
    }
    pim_if_oper_state(if_p, down);
}

// A next hop's address, or nothing when the message carries none usable.
bool pim_rtm_nh_addr(const MRtmControlNhIfIdx *if_idx_p, t_ipaddr *addr_p)
{
    if (if_idx_p == nullptr || if_idx_p->nexthop == nullptr) {
        return false;
    }
    t_ipaddr addr;
    IPADDR_INIT(&addr, IP_ADDR_UNKNOWN);
    pb_util_to_ipaddr(if_idx_p->nexthop, &addr);
    if (addr.addr_type == IP_ADDR_UNKNOWN) {
        return false;
    }
    IPADDR_COPY(addr_p, &addr);
    return true;
}

// Every report of the link becomes stale until announced again.
void pim_rtm_mark_stale(t_pim_vpn *vpn_p)
{
    for (auto *if_p = avl_first<t_pim_if>(&vpn_p->if_db); if_p != nullptr;
         if_p = avl_next(&vpn_p->if_db, if_p)) {
        if (if_p->pim_if_type != PIM_IF_TYPE_LOCAL || !if_p->zebra_exist) {
            continue;
        }
        if_p->zebra_stale = true;
        for (auto *addr_p = avl_first<t_pim_if_addr>(&if_p->if_addr_db); addr_p != nullptr;
             addr_p = avl_next(&if_p->if_addr_db, addr_p)) {
            addr_p->stale = true;
        }
    }
}

// What is still stale was not announced again: it is gone as if withdrawn.
void pim_rtm_sweep_stale(t_pim_vpn *vpn_p)
{
    if (vpn_p->if_db.avl_compar == nullptr) {
        return;
    }
    t_pim_if *next_p = nullptr;
    for (auto *if_p = avl_first<t_pim_if>(&vpn_p->if_db); if_p != nullptr; if_p = next_p) {
        next_p = avl_next(&vpn_p->if_db, if_p);
        if (if_p->pim_if_type != PIM_IF_TYPE_LOCAL) {
            continue;
        }
        char name[PIM_IF_NAME_LEN];
        snprintf(name, sizeof(name), "%s", if_p->if_name);
        bool gone = if_p->zebra_stale && if_p->zebra_exist;
        if_p->zebra_stale = false;
        if (gone) {
            PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_BASIC,
                          "vpn: %lu interface %s not announced again", pim_vpn_log_id(vpn_p), name);
            pim_if_find_and_delete(vpn_p, name, PIM_IF_TYPE_LOCAL, false, true);
            continue;
        }
        t_pim_if_addr *addr_next_p = nullptr;
        for (auto *addr_p = avl_first<t_pim_if_addr>(&if_p->if_addr_db); addr_p != nullptr;
             addr_p = addr_next_p) {
            addr_next_p = avl_next(&if_p->if_addr_db, addr_p);
            if (addr_p->stale) {
                t_ipprefix prefix = addr_p->addr;
                (void)pim_if_addr_update(vpn_p->daemon_p, vpn_p, name, PIM_IF_TYPE_LOCAL, &prefix,
                                         true);
            }
        }
    }
}

void pim_rtm_stale_timer_cb(t_timer *, void *arg)
{
    pim_rtm_sweep_stale(static_cast<t_pim_vpn *>(arg));
}

} // namespace

void pim_rtm_path(uint64_t vpn_id, char *buf, size_t size)
{
    if (vpn_id == 0) {
        snprintf(buf, size, "%s", PIM_RTM_SOCK_PATH);
    } else {
        snprintf(buf, size, "%s.%lu", PIM_RTM_SOCK_PATH, static_cast<unsigned long>(vpn_id));
    }
}

e_pim_status pim_rtm_init(t_pim_vpn *vpn_p)
{
    if (vpn_p->rtm_handle_p != nullptr) {
        return PIM_STATUS_OK;
    }
    t_pim_daemon *daemon_p = vpn_p->daemon_p;
    msgq_app_params_t params{};
    params.app_evbase_p = daemon_p != nullptr ? daemon_p->base_event_p : nullptr;
    params.timer_mgr_p = daemon_p != nullptr ? daemon_p->timer_mgr_p : nullptr;
    params.dont_register = true;
    params.use_app_header = true;
    params.app_header_size = RTM_MSG_HDR_LEN;
    params.app_msglen_offset = 0;
    params.syslog_id = PIM_RTM_SYSLOG_ID;
    params.socket_type = MSGQ_SOCKET_TYPE_UNIX;
    params.client_socket_blocking = 0;
    pim_rtm_path(vpn_p->vpn_id, params.msg_path, sizeof(params.msg_path));

    msgq_app_cb_t cbs{};
    cbs.conn_up_cb = pim_rtm_conn_up;
    cbs.conn_down_cb = pim_rtm_conn_down;
    cbs.msg_write_cb = pim_rtm_write_cb;
    cbs.msg_read_cb = pim_rtm_read_cb;
    cbs.malloc_cb = pim_rtm_malloc;
    cbs.free_cb = pim_rtm_free;

    vpn_p->rtm_handle_p =
        msgq_init(ZUL_MODULE_PIM, ZUL_MODULE_RTM, MSGQ_HANDLE_TYPE_CLIENT, &params, &cbs, vpn_p);
    return vpn_p->rtm_handle_p != nullptr ? PIM_STATUS_OK : PIM_STATUS_INIT_FAIL;
}

void pim_rtm_destroy(t_pim_vpn *vpn_p)
{
    if (vpn_p->rtm_handle_p != nullptr) {
        msgq_destroy(vpn_p->rtm_handle_p);
        vpn_p->rtm_handle_p = nullptr;
    }
    // A link closed on purpose announces nothing again: its reports go now.
    if (vpn_p->rtm_stale_timer_p != nullptr) {
        timer_util_delete(vpn_p->rtm_stale_timer_p);
        vpn_p->rtm_stale_timer_p = nullptr;
    }
    pim_rtm_sweep_stale(vpn_p);
}

e_pim_status pim_rtm_send_control_msg(msgq_handle_t *handle, const MRtmControl *msg_p)
{
    if (!msgq_ready(handle)) {
        return PIM_STATUS_OK;
    }
    size_t len = rtm_msg_framed_size(msg_p);
    if (len == 0) {
        return PIM_STATUS_BAD_MSG;
    }
    void *buf = msgq_msg_malloc(handle, static_cast<uint32_t>(len));
    if (buf == nullptr) {
        return PIM_STATUS_MEM_FAIL;
    }
    rtm_msg_frame(msg_p, static_cast<uint8_t *>(buf), len);
    if (msgq_write(handle, buf, static_cast<uint32_t>(len)) != MSGQ_OK) {
        msgq_msg_free(handle, buf);
        return PIM_STATUS_MSG_SEND_FAIL;
    }
    return PIM_STATUS_OK;
}

int pim_rtm_send_hello_msg(t_pim_vpn *vpn_p)
{
    MRtmControl msg = M_RTM_CONTROL__INIT;
    MRtmControlHello hello = M_RTM_CONTROL_HELLO__INIT;
    hello.owner = PROTO_TYPE__ROUTE_PIM;
    msg.type = M_RTM_CONTROL__E_RTM_CONTROL_TYPE__CONTROL_HELLO;
    msg.hello = &hello;
    return pim_rtm_send_control_msg(vpn_p->rtm_handle_p, &msg) == PIM_STATUS_OK ? 0 : 1;
}

int pim_rtm_send_interface_register_msg(t_pim_vpn *vpn_p)
{
    MRtmControl msg = M_RTM_CONTROL__INIT;
    MRtmControlInterface intf = M_RTM_CONTROL_INTERFACE__INIT;
    intf.type = E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD;
    msg.type = M_RTM_CONTROL__E_RTM_CONTROL_TYPE__CONTROL_INTERFACE;
    msg.interface = &intf;
    return pim_rtm_send_control_msg(vpn_p->rtm_handle_p, &msg) == PIM_STATUS_OK ? 0 : 1;
}

int pim_rtm_send_nhres_register(t_pim_vpn *vpn_p, const t_ipaddr *addr, bool reg)
{
    if (vpn_p == nullptr) {
        PIM_LOG("Could not get the vpn entry");
        return 1;
    }
    char text[IPADDR_STR_LEN];
    MIpAddress ip = M_IP_ADDRESS__INIT;
    pb_util_from_ipaddr(addr, &ip, text, sizeof(text));
    MRtmControlNhresPrefix prefix = M_RTM_CONTROL_NHRES_PREFIX__INIT;
    prefix.prefix = &ip;
    prefix.has_prefix_len = true;
    prefix.prefix_len = IPADDR_IS_V4(addr) ? 32 : 128;
    MRtmControlNhresPrefix *prefixes[] = {&prefix};
    MRtmControlNhres nhres = M_RTM_CONTROL_NHRES__INIT;
    nhres.type =
        reg ? E_RTM_CONTROL_NHRES_TYPE__NHRES_REGISTER : E_RTM_CONTROL_NHRES_TYPE__NHRES_UNREGISTER;
    nhres.n_nhres_prefix = 1;
    nhres.nhres_prefix = prefixes;
    MRtmControl msg = M_RTM_CONTROL__INIT;
    msg.type = M_RTM_CONTROL__E_RTM_CONTROL_TYPE__CONTROL_NHRES;
    msg.nhres = &nhres;
    if (pim_rtm_send_control_msg(vpn_p->rtm_handle_p, &msg) != PIM_STATUS_OK) {
        PIM_LOG("Could not register nexthop with RTMs");
        return 1;
    }
    return 0;
}

void pim_rtm_conn_up(msgq_handle_t *, void *arg)
{
    auto *vpn_p = static_cast<t_pim_vpn *>(arg);
    if (pim_rtm_send_hello_msg(vpn_p) != 0) {
        PIM_LOG("Could not register with zebra with hello");
    }
    if (pim_rtm_send_interface_register_msg(vpn_p) != 0) {
        PIM_LOG("Could not register with zebra for interface events");
    }
    if (vpn_p->rtm_stale_timer_p != nullptr && timer_is_active(vpn_p->rtm_stale_timer_p)) {
        timer_reset(vpn_p->rtm_stale_timer_p, PIM_RTM_RESYNC_MS);
    }
    pim_nhres_conn_up(vpn_p);
}

void pim_rtm_conn_down(msgq_handle_t *, void *arg)
{
    auto *vpn_p = static_cast<t_pim_vpn *>(arg);
    if (vpn_p->if_db.avl_compar != nullptr) {
        pim_rtm_mark_stale(vpn_p);
        t_pim_daemon *daemon_p = vpn_p->daemon_p;
        if (vpn_p->rtm_stale_timer_p == nullptr && daemon_p != nullptr &&
            daemon_p->timer_mgr_p != nullptr) {
            vpn_p->rtm_stale_timer_p = timer_util_create(
                daemon_p->timer_mgr_p, TIMER_PRI_NORMAL, TIMER_TYPE_ONESHOT, PIM_RTM_STALE_GRACE_MS,
                pim_rtm_stale_timer_cb, vpn_p, "pim-rtm-stale");
        }
        if (vpn_p->rtm_stale_timer_p != nullptr) {
            timer_reset(vpn_p->rtm_stale_timer_p, PIM_RTM_STALE_GRACE_MS);
        } else {
            pim_rtm_sweep_stale(vpn_p);
        }
    }
    pim_nhres_conn_down(vpn_p);
}

void pim_rtm_read_cb(msgq_handle_t *handle, void *msg, uint32_t len, void *arg)
{
    auto *vpn_p = static_cast<t_pim_vpn *>(arg);
    PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_DETAIL,
                  "vpn: %lu [%ld] Received RTM Msg %p of %d bytes\n", pim_vpn_log_id(vpn_p),
                  static_cast<long>(vpn_p->vpn_id), msg, static_cast<int>(len));
    (void)pim_rtm_pkt_decode(vpn_p, static_cast<const uint8_t *>(msg), len, vpn_p->vpn_id);
    msgq_msg_free(handle, msg);
}

void pim_rtm_write_cb(msgq_handle_t *, void *) {}

e_pim_status pim_rtm_pkt_decode(t_pim_vpn *vpn_p, const uint8_t *msg, uint32_t len, uint64_t vpn_id)
{
    auto id = static_cast<long>(vpn_id);
    MRtmControl *ctl = nullptr;
    t_pb_quagga_msg_hdr hdr{};
    switch (rtm_msg_parse(msg, len, &ctl, &hdr)) {
    case RTM_MSG_OK:
        break;
    case RTM_MSG_SHORT:
        PIM_LOG("[%ld] Message size mismatch (%u != %u)", id, len, 0U);
        return PIM_STATUS_BAD_MSG;
    case RTM_MSG_LEN_MISMATCH:
        PIM_LOG("[%ld] Message size mismatch (%u != %u)", id, len,
                static_cast<unsigned>(hdr.msg_len));
        return PIM_STATUS_BAD_MSG;
    case RTM_MSG_BAD_MODULE:
        PIM_LOG("[%ld] Wrong module id\n", id);
        return PIM_STATUS_BAD_MSG;
    case RTM_MSG_BAD_TYPE:
        PIM_LOG("[%ld] wrong message type\n", id);
        return PIM_STATUS_BAD_MSG;
    case RTM_MSG_UNPACK_FAIL:
        PIM_LOG("[%ld] Error trying to unpack!\n", id);
        return PIM_STATUS_BAD_MSG;
    }
    e_pim_status rc = PIM_STATUS_OK;
    switch (rtm_msg_enum(ctl->type)) {
    case M_RTM_CONTROL__E_RTM_CONTROL_TYPE__CONTROL_INTERFACE:
        if (ctl->interface == nullptr) {
            PIM_LOG("[%ld] Interface message without interface\n", id);
            rc = PIM_STATUS_BAD_MSG;
        } else {
            pim_rtm_proc_if_state_chg(vpn_p, ctl->interface);
        }
        break;
    case M_RTM_CONTROL__E_RTM_CONTROL_TYPE__CONTROL_NHRES:
        if (ctl->nhres == nullptr) {
            PIM_LOG("[%ld] Next-hop message without next hops\n", id);
            rc = PIM_STATUS_BAD_MSG;
        } else {
            pim_rtm_proc_nhres_update(vpn_p, ctl->nhres);
        }
        break;
    default:
        break;
    }
    m_rtm_control__free_unpacked(ctl, nullptr);
    return rc;
}

void pim_rtm_proc_if_state_chg(t_pim_vpn *vpn_p, const MRtmControlInterface *intf_p)
{
    const t_pim_debug *dbg = pim_vpn_debug(vpn_p);
    const char *name = intf_p->name;
    if (name == nullptr || name[0] == '\0' || strlen(name) >= PIM_IF_NAME_LEN) {
        PIM_LOG("vpn: %lu interface message without a usable name ignored", pim_vpn_log_id(vpn_p));
        return;
    }
    PIM_LOG_EVENT(dbg, PIM_DEBUG_LEVEL_DETAIL, "vpn: %lu Received RTM-Interface Msg[%d]: %s (%d)\n",
                  pim_vpn_log_id(vpn_p), rtm_msg_enum(intf_p->type), name,
                  static_cast<int>(intf_p->index));
    // Every name counts as present on a plain host; only loops are filtered.
    if (zul_util_if_is_loop(name)) {
        PIM_LOG_EVENT(dbg, PIM_DEBUG_LEVEL_DETAIL, "vpn: %lu loop interface %s -- ignore",
                      pim_vpn_log_id(vpn_p), name);
        return;
    }
    switch (rtm_msg_enum(intf_p->type)) {
    case E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD:
        pim_rtm_if_add(vpn_p, name, intf_p);
        break;
    case E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_DELETE:
        pim_if_find_and_delete(vpn_p, name, PIM_IF_TYPE_LOCAL, false, true);
        break;
    case E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_UP:
        pim_rtm_if_state(vpn_p, name, false);
        break;
    case E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_DOWN:
        pim_rtm_if_state(vpn_p, name, true);
        break;
    case E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADDRESS_ADD:
        pim_rtm_if_addr(vpn_p, name, intf_p, false);
        break;
    case E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADDRESS_DELETE:
        pim_rtm_if_addr(vpn_p, name, intf_p, true);
        break;
    default:
        break;
    }
}

void pim_rtm_proc_nhres_update(t_pim_vpn *vpn_p, const MRtmControlNhres *nhres_p)
{
    if (rtm_msg_enum(nhres_p->type) != E_RTM_CONTROL_NHRES_TYPE__NHRES_UPDATE) {
        return;
    }
    const MRtmControlNhresNextHop *resp_p = nhres_p->nhres_resp;
    if (resp_p == nullptr || resp_p->prefix == nullptr || resp_p->prefix->address == nullptr) {
        PIM_LOG("vpn: %lu next-hop update without an address ignored", pim_vpn_log_id(vpn_p));
        return;
    }
    t_ipprefix prefix;
    IPPREFIX_INIT(&prefix, IP_ADDR_UNKNOWN);
    pb_util_to_ipaddr(resp_p->prefix, &prefix.addr);
    if (prefix.addr.addr_type == IP_ADDR_UNKNOWN) {
        PIM_LOG("vpn: %lu next-hop update for a bad address ignored", pim_vpn_log_id(vpn_p));
        return;
    }
    prefix.prefixlen = IPADDR_IS_V4(&prefix.addr) ? 32 : 128;
    t_pim_next_hop *nh_p = pim_nhres_find(vpn_p, &prefix.addr, nullptr);
    if (nh_p == nullptr) {
        char text[IPADDR_STR_LEN];
        PIM_LOG("NHRes entry not found for nexthop: %s",
                ipprefix_print(&prefix, text, sizeof(text)));
        return;
    }
    pim_rtm_proc_nhres_lookup(vpn_p, resp_p, nh_p);
    PIM_LOG_IPC(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_BASIC,
                "vpn: %lu pim_rtm_proc_nhres_update: nexthop: %s, num-hops: %d",
                pim_vpn_log_id(vpn_p), ipaddr_str(&prefix.addr).c, nh_p->num_nh);
    pim_nhres_update_addr(vpn_p, &prefix.addr);
}

void pim_rtm_proc_nhres_lookup(t_pim_vpn *vpn_p, const MRtmControlNhresNextHop *resp_p,
                               t_pim_next_hop *nh_p)
{
    nh_p->metric = resp_p->has_metric ? static_cast<int>(resp_p->metric) : 0;
    nh_p->preference = resp_p->has_distance ? static_cast<int>(resp_p->distance) : 0;
    int owner = resp_p->has_protocol ? rtm_msg_enum(resp_p->protocol) : 0;
    // Owner ids fit a byte; any other value is no owner we know.
    nh_p->route_type = owner >= 0 && owner <= UINT8_MAX ? static_cast<uint8_t>(owner) : 0;

    std::array<t_pim_nh_info, PIM_MAX_NEXT_HOPS> hops{};
    size_t kept = 0;
    for (size_t i = 0; i < resp_p->n_next_hop && kept < hops.size(); i++) {
        const MRtmControlNextHop *hop_p = resp_p->next_hop[i];
        if (hop_p == nullptr) {
            continue;
        }
        // A slot describes this next hop only: nothing of the one it held before.
        t_pim_nh_info *info = &hops[kept];
        *info = t_pim_nh_info{};
        const MRtmControlNhIfIdx *if_idx_p = hop_p->nh_if_idx;
        switch (rtm_msg_enum(hop_p->nh_type)) {
        case E_RTM_CONTROL_NH_TYPE__IF_IDX:
            info->nh_type = E_PIM_NHTYPE_SERVICE;
            break;
        case E_RTM_CONTROL_NH_TYPE__NEXTHOP:
        case E_RTM_CONTROL_NH_TYPE__NEXTHOP_IF_IDX:
            info->nh_type = E_PIM_NHTYPE_SERVICE;
            (void)pim_rtm_nh_addr(if_idx_p, &info->nh_addr);
            break;
        case E_RTM_CONTROL_NH_TYPE__NEXTHOP_INDIRECT: {
            info->nh_type = E_PIM_NHTYPE_FAB;
            (void)pim_rtm_nh_addr(if_idx_p, &info->nh_addr);
            const MRtmControlNhIndirect *ind_p = hop_p->nh_indirect;
            info->color = ind_p != nullptr && ind_p->has_tag1 ? ind_p->tag1 : 0;
            info->encap = ind_p != nullptr && ind_p->has_tag2 ? ind_p->tag2 : 0;
            info->src_vpn = ind_p != nullptr && ind_p->has_tag3 ? ind_p->tag3 : 0;
            info->weight = ind_p != nullptr && ind_p->has_tag4 ? ind_p->tag4 : 0;
            break;
        }
        default:
            // Discard and extranet next hops cannot carry a join.
            continue;
        }
        if (if_idx_p != nullptr && if_idx_p->has_if_idx && if_idx_p->if_idx <= INT32_MAX) {
            t_pim_if_idx *idx_p =
                pim_if_idx_find(vpn_p, static_cast<int>(if_idx_p->if_idx), nullptr);
            if (idx_p != nullptr) {
                info->if_index = static_cast<uint16_t>(idx_p->bitmap_idx);
            }
        }
        kept++;
    }
    if (!pim_nhres_set_hops(nh_p, std::span(hops.data(), kept))) {
        PIM_LOG("vpn: %lu no memory for the next hops of %s", pim_vpn_log_id(vpn_p),
                ipaddr_str(&nh_p->nh_addr).c);
    }
}
