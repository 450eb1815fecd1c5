// The IGMP daemon link: the per-VPN server handle and its receive path.
#include "daemon/pim_igmp.h"

#include <cstdio>
#include <cstring>

#include "common/msgq_util.h"
#include "common/pb_util.h"
#include "common/zul_module.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_if.h"
#include "daemon/pim_jp.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_rp_db.h"
#include "daemon/pim_subsys.h"
#include "proto/igmp_pim.pb-c.h"

namespace
{

constexpr int PIM_IGMP_SYSLOG_ID = 184; // LOG_LOCAL7

void *pim_igmp_malloc(size_t size) { return pim_malloc(size); }

void pim_igmp_free(void *buf) { pim_free(buf); }

// Protobuf-c allocations of the unpacked messages go through the daemon's wrappers too.
void *pim_igmp_pb_alloc(void *, size_t size) { return pim_malloc(size); }
void pim_igmp_pb_free(void *, void *ptr) { pim_free(ptr); }
ProtobufCAllocator g_pim_igmp_pb_allocator = {pim_igmp_pb_alloc, pim_igmp_pb_free, nullptr};

// "<name>_igmp"; false when the message names no interface or the name is too long.
bool pim_igmp_if_name(const MIgmpPimIf *info_p, char *buf, size_t size)
{
    if (info_p == nullptr || info_p->if_name == nullptr || info_p->if_name[0] == '\0') {
        return false;
    }
    int n = snprintf(buf, size, "%s%s", info_p->if_name, PIM_IGMP_IF_SUFFIX);
    return n > 0 && static_cast<size_t>(n) < size;
}

// A prefix of the message; false when its address or length is unusable.
bool pim_igmp_prefix(const PbIpPrefix *msg_p, t_ipprefix *prefix_p)
{
    if (msg_p == nullptr || msg_p->address == nullptr) {
        return false;
    }
    IPPREFIX_INIT(prefix_p, IP_ADDR_UNKNOWN);
    pb_util_text_to_ipaddr(msg_p->is_ipv4, msg_p->address, &prefix_p->addr);
    uint32_t max_len = IPADDR_IS_V4(&prefix_p->addr) ? 32 : 128;
    if (prefix_p->addr.addr_type == IP_ADDR_UNKNOWN || msg_p->prefix_len > max_len) {
        return false;
    }
    prefix_p->prefixlen = static_cast<uint8_t>(msg_p->prefix_len);
    return true;
}

void pim_igmp_pkt_proc_intf_msg(t_pim_vpn *vpn_p, const MIgmpPimInterfaceMsg *msg_p)
{
    char name[PIM_IF_NAME_LEN];
    if (msg_p == nullptr || !pim_igmp_if_name(msg_p->if_info, name, sizeof(name))) {
        PIM_LOG("vpn: %lu IGMP interface message without a usable interface name dropped",
                pim_vpn_log_id(vpn_p));
        return;
    }
    int type = pb_util_enum_value(msg_p->msg_type);
    PIM_LOG_IPC(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_DETAIL,
                "vpn: %lu Received IGMP interface %s type: %d\n", pim_vpn_log_id(vpn_p), name,
                type);
    if (type == M_IGMP_PIM_INTERFACE_MSG__E_INTERFACE_MSG_TYPE__INTERFACE_DEL) {
        pim_if_find_and_delete(vpn_p, name, PIM_IF_TYPE_IGMP, true, true);
        return;
    }
    if (type != M_IGMP_PIM_INTERFACE_MSG__E_INTERFACE_MSG_TYPE__INTERFACE_ADD) {
        return;
    }
    uint32_t kernel_idx = msg_p->if_info->if_index;
    if (kernel_idx == 0 || kernel_idx > INT32_MAX) {
        PIM_LOG("vpn: %lu IGMP interface %s with kernel index %u ignored", pim_vpn_log_id(vpn_p),
                name, kernel_idx);
        return;
    }
    t_pim_if *if_p = pim_if_igmp_find(vpn_p, name);
    if (if_p != nullptr) {
        uint32_t old_idx = pim_if_bitmap_idx_to_if_idx(vpn_p, if_p->if_index);
        if (old_idx != 0 && old_idx != kernel_idx) {
            pim_if_idx_find_and_delete(vpn_p, static_cast<int>(old_idx), PIM_IF_TYPE_IGMP, false);
        }
    }
    t_pim_if_idx *idx_p =
        pim_if_idx_find_or_create(vpn_p, static_cast<int>(kernel_idx), PIM_IF_TYPE_IGMP);
    if (idx_p == nullptr) {
        return;
    }
    auto bitmap_idx = static_cast<uint32_t>(idx_p->bitmap_idx);
    // The kernel reuses indexes: an IGMP interface that still holds this one
    // under another name has lost it.
    t_pim_if *holder_p = pim_if_find_by_index(vpn_p, bitmap_idx, PIM_IF_TYPE_IGMP, nullptr);
    if (holder_p != nullptr && holder_p != if_p) {
        pim_if_update_index(holder_p, 0);
    }
    if (if_p != nullptr) {
        pim_if_update_index(if_p, bitmap_idx);
        return;
    }
    if (pim_if_igmp_find_or_create(vpn_p, name, bitmap_idx) == nullptr) {
        PIM_LOG("VPN %lu Could not create IGMP interface %s", pim_vpn_log_id(vpn_p), name);
        pim_if_idx_find_and_delete(vpn_p, static_cast<int>(kernel_idx), PIM_IF_TYPE_IGMP, false);
    }
}

void pim_igmp_pkt_proc_join_msg(t_pim_vpn *vpn_p, const MIgmpPimJoinMsg *msg_p)
{
    char name[PIM_IF_NAME_LEN];
    if (msg_p == nullptr || !pim_igmp_if_name(msg_p->if_info, name, sizeof(name))) {
        PIM_LOG("vpn: %lu IGMP Join message without a usable interface name dropped",
                pim_vpn_log_id(vpn_p));
        return;
    }
    int type = pb_util_enum_value(msg_p->msg_type);
    PIM_LOG_IPC(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_DETAIL,
                "vpn: %lu Received IGMP Join message type: %d from interface %s\n",
                pim_vpn_log_id(vpn_p), type, name);
    t_pim_if *if_p = pim_if_igmp_find(vpn_p, name);
    if (if_p == nullptr) {
        PIM_LOG("VPN %lu Could not find IGMP interface %s", pim_vpn_log_id(vpn_p), name);
        return;
    }
    bool join = type == M_IGMP_PIM_JOIN_MSG__E_IGMP_PIM_JOIN_MSG_TYPE__JOIN_ADD;
    t_ipprefix group;
    t_ipprefix source;
    IPPREFIX_INIT(&source, IP_ADDR_V4);
    if (!pim_igmp_prefix(msg_p->group, &group) || !ipaddr_is_multicast(&group.addr) ||
        (msg_p->source != nullptr &&
         (!pim_igmp_prefix(msg_p->source, &source) ||
          (!IPADDR_IS_ZERO(&source.addr) &&
           (source.addr.addr_type != group.addr.addr_type || !ipaddr_is_unicast(&source.addr)))))) {
        PIM_LOG("vpn: %lu IGMP Join message with a bad group or source on %s dropped",
                pim_vpn_log_id(vpn_p), name);
        return;
    }
    t_ipprefix key = source;
    e_pim_type entry_type = msg_p->source != nullptr ? PIM_TYPE_SG : PIM_TYPE_XG;
    bool process = true;
    char grp[IPADDR_STR_LEN];
    if (IPADDR_IS_ZERO(&source.addr)) {
        entry_type = PIM_TYPE_XG;
        if (join) {
            if (pim_igmp_find_rp(vpn_p, &group.addr, &source.addr) != 0) {
                PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_BASIC,
                              "vpn: %lu Could not find an RP for IGMP Group Join : %s",
                              pim_vpn_log_id(vpn_p), ipprefix_print(&group, grp, sizeof(grp)));
                process = false;
            }
            source.prefixlen = IPADDR_IS_V4(&source.addr) ? 32 : 128;
        } else {
            t_pim_igmp_shadow *entry_p = pim_igmp_shadow_find_source(vpn_p, &group, name);
            if (entry_p == nullptr) {
                PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_BASIC,
                              "vpn: %lu Could not find an Source for IGMP Group Prune : %s on "
                              "IF: : %s",
                              pim_vpn_log_id(vpn_p), ipprefix_print(&group, grp, sizeof(grp)),
                              name);
                return;
            }
            source = entry_p->source;
            key = entry_p->source;
        }
    }
    if (join) {
        if (pim_igmp_shadow_find_or_create(vpn_p, &key, &group, name) == nullptr) {
            PIM_LOG("vpn: %lu no memory for the IGMP shadow of %s", pim_vpn_log_id(vpn_p),
                    ipprefix_print(&group, grp, sizeof(grp)));
        }
    } else {
        pim_igmp_shadow_find_and_delete(vpn_p, &key, &group, name);
    }
    if (!process) {
        return;
    }
    pim_jp_unit_begin(vpn_p);
    if (join) {
        (void)pim_et_jp_join(entry_type, if_p, &group.addr, &source.addr, PIM_IGMP_HOLDTIME);
    } else {
        (void)pim_et_jp_prune(entry_type, if_p, &group.addr, &source.addr);
    }
    pim_jp_handle_eom(vpn_p);
}

} // namespace

void pim_igmp_path(uint64_t vpn_id, char *buf, size_t size)
{
    snprintf(buf, size, "%s.%lu", PIM_IGMP_SOCK_PATH, static_cast<unsigned long>(vpn_id));
}

e_pim_status pim_igmp_init(t_pim_vpn *vpn_p)
{
    t_pim_daemon *daemon_p = vpn_p->daemon_p;
    msgq_app_params_t params{};
    params.app_evbase_p = daemon_p != nullptr ? daemon_p->base_event_p : nullptr;
    params.timer_mgr_p = daemon_p != nullptr ? daemon_p->timer_mgr_p : nullptr;
    params.syslog_id = PIM_IGMP_SYSLOG_ID;
    params.socket_type = MSGQ_SOCKET_TYPE_UNIX;
    pim_igmp_path(vpn_p->vpn_id, params.msg_path, sizeof(params.msg_path));

    msgq_app_cb_t cbs{};
    cbs.conn_up_cb = pim_igmp_up;
    cbs.conn_down_cb = pim_igmp_down;
    cbs.msg_write_cb = pim_igmp_write;
    cbs.msg_read_cb = pim_igmp_read;
    cbs.malloc_cb = pim_igmp_malloc;
    cbs.free_cb = pim_igmp_free;

    vpn_p->igmp_msgq_p =
        msgq_init(ZUL_MODULE_PIM, ZUL_MODULE_IGMP, MSGQ_HANDLE_TYPE_SERVER, &params, &cbs, vpn_p);
    return vpn_p->igmp_msgq_p != nullptr ? PIM_STATUS_OK : PIM_STATUS_INIT_FAIL;
}

void pim_igmp_destroy(t_pim_vpn *vpn_p)
{
    if (vpn_p->igmp_msgq_p != nullptr) {
        msgq_destroy(vpn_p->igmp_msgq_p);
        vpn_p->igmp_msgq_p = nullptr;
    }
}

void pim_igmp_up(msgq_handle_t *, void *) {}

void pim_igmp_down(msgq_handle_t *, void *arg)
{
    // The shadow table stays: the IGMP daemon re-announces after reconnecting.
    pim_if_igmp_vpn_delete(static_cast<t_pim_vpn *>(arg));
}

void pim_igmp_write(msgq_handle_t *, void *) {}

void pim_igmp_read(msgq_handle_t *handle, void *msg, uint32_t len, void *arg)
{
    auto *vpn_p = static_cast<t_pim_vpn *>(arg);
    PIM_LOG_IPC(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_DETAIL,
                "vpn: %lu [%ld] Received IGMP Msg %p of %d bytes\n", pim_vpn_log_id(vpn_p),
                static_cast<long>(vpn_p->vpn_id), msg, static_cast<int>(len));
    (void)pim_igmp_pkt_decode(vpn_p, static_cast<const uint8_t *>(msg), len);
    msgq_msg_free(handle, msg);
}

e_pim_status pim_igmp_pkt_decode(t_pim_vpn *vpn_p, const uint8_t *msg, size_t len)
{
    MIgmpPimMsg *pb_p = m_igmp_pim_msg__unpack(&g_pim_igmp_pb_allocator, len, msg);
    if (pb_p == nullptr) {
        PIM_LOG("IGMP message for vpn [%lu] unpacking issues", pim_vpn_log_id(vpn_p));
        return PIM_STATUS_BAD_MSG;
    }
    e_pim_status rc = PIM_STATUS_OK;
    if (pb_p->vpn_id != vpn_p->vpn_id) {
        PIM_LOG("IGMP message for vpn [%lu] received in wrong vpn [%lu]!",
                static_cast<unsigned long>(pb_p->vpn_id), pim_vpn_log_id(vpn_p));
        rc = PIM_STATUS_BAD_MSG;
    } else if (!pb_util_enums_valid(&pb_p->base)) {
        PIM_LOG("vpn: %lu IGMP message with an unknown enumeration value dropped",
                pim_vpn_log_id(vpn_p));
        rc = PIM_STATUS_BAD_MSG;
    } else {
        int type = pb_util_enum_value(pb_p->msg_type);
        PIM_LOG_IPC(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_DETAIL,
                    "vpn: %lu [%lu] Received IGMP pkt decode type: %d\n", pim_vpn_log_id(vpn_p),
                    pim_vpn_log_id(vpn_p), type);
        if (type == M_IGMP_PIM_MSG__E_MSG_TYPE__INTERFACE) {
            pim_igmp_pkt_proc_intf_msg(vpn_p, pb_p->if_msg);
        } else if (type == M_IGMP_PIM_MSG__E_MSG_TYPE__JOIN) {
            pim_igmp_pkt_proc_join_msg(vpn_p, pb_p->join_msg);
        }
    }
    m_igmp_pim_msg__free_unpacked(pb_p, &g_pim_igmp_pb_allocator);
    return rc;
}

int pim_igmp_find_rp(t_pim_vpn *vpn_p, const t_ipaddr *group, t_ipaddr *rp)
{
    t_ipaddr found;
    IPADDR_INIT(&found, IP_ADDR_UNKNOWN);
    if (vpn_p->rp_db.avl_compar == nullptr ||
        pim_rp_db_find_rp_for_group(vpn_p, group, &found) == nullptr) {
        PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_BASIC,
                      "vpn: %lu Could not find RP for Group: %s", pim_vpn_log_id(vpn_p),
                      ipaddr_str(group).c);
        return 1;
    }
    PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_BASIC,
                  "vpn: %lu Found RP: %s for Group: %s", pim_vpn_log_id(vpn_p),
                  ipaddr_str(&found).c, ipaddr_str(group).c);
    IPADDR_COPY(rp, &found);
    return 0;
}
