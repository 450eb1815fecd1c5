// The link to kemd: a message-queue client per VPN that announces the IGMP
// interfaces and memberships, and announces all of them again whenever kemd
// (re)accepts the connection.
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <syslog.h>
#include <vector>

#include "common/msgq_util.h"
#include "common/zul_log.h"
#include "common/zul_module.h"
#include "proto/igmp_pim.pb-c.h"
#include "tools/igmpd/igmpd.h"

namespace
{

void igmpd_link_write(t_igmpd_ns *ns_p, const MIgmpPimMsg &msg)
{
    if (!msgq_ready(ns_p->link_p)) {
        ns_p->link_dropped++;
        return;
    }
    size_t len = m_igmp_pim_msg__get_packed_size(&msg);
    void *buf = msgq_msg_malloc(ns_p->link_p, static_cast<uint32_t>(len));
    if (buf == nullptr) {
        ns_p->link_dropped++;
        return;
    }
    m_igmp_pim_msg__pack(&msg, static_cast<uint8_t *>(buf));
    if (msgq_write(ns_p->link_p, buf, static_cast<uint32_t>(len)) != MSGQ_OK) {
        msgq_msg_free(ns_p->link_p, buf);
        ns_p->link_dropped++;
        return;
    }
    ns_p->link_sent++;
}

void igmpd_link_if_info(const t_igmpd_iface *if_p, MIgmpPimIf *info)
{
    m_igmp_pim_if__init(info);
    info->if_name = const_cast<char *>(if_p->name.c_str());
    info->has_if_index = true;
    info->if_index = if_p->ifindex;
}

void igmpd_link_prefix(uint32_t addr, PbIpPrefix *p, char *text, size_t size)
{
    pb_ip_prefix__init(p);
    in_addr a{htonl(addr)};
    inet_ntop(AF_INET, &a, text, static_cast<socklen_t>(size));
    p->is_ipv4 = true;
    p->address = text;
    p->prefix_len = 32;
}

void igmpd_link_up(msgq_handle_t *, void *arg)
{
    auto *ns_p = static_cast<t_igmpd_ns *>(arg);
    ZUL_LOG_PRI(LOG_INFO, "vpn %lu: kemd connected, announcing %zu interfaces",
                static_cast<unsigned long>(ns_p->vpn_id), ns_p->ifaces.size());
    for (const auto &[name, if_p] : ns_p->ifaces) {
        igmpd_link_send_if(ns_p, if_p.get(), true);
    }
    for (const auto &[name, if_p] : ns_p->ifaces) {
        for (const auto &[group, source] : if_p->igmp.reported) {
            igmpd_link_send_join(ns_p, if_p.get(), group, source, true);
        }
    }
}

void igmpd_link_down(msgq_handle_t *, void *arg)
{
    auto *ns_p = static_cast<t_igmpd_ns *>(arg);
    ZUL_LOG_PRI(LOG_INFO, "vpn %lu: kemd gone", static_cast<unsigned long>(ns_p->vpn_id));
}

void igmpd_link_write_cb(msgq_handle_t *, void *) {}

// The link is one-way: anything kemd sends is dropped.
void igmpd_link_read(msgq_handle_t *handle, void *msg, uint32_t, void *)
{
    msgq_msg_free(handle, msg);
}

} // namespace

void igmpd_link_open(t_igmpd_ns *ns_p)
{
    msgq_app_params_t params{};
    params.app_evbase_p = g_igmpd.run.base_p;
    params.timer_mgr_p = g_igmpd.run.timer_mgr_p;
    params.syslog_id = LOG_DAEMON;
    params.socket_type = MSGQ_SOCKET_TYPE_UNIX;
    snprintf(params.msg_path, sizeof(params.msg_path), "%s.%lu", IGMPD_KEMD_PATH,
             static_cast<unsigned long>(ns_p->vpn_id));
    msgq_app_cb_t cbs{};
    cbs.conn_up_cb = igmpd_link_up;
    cbs.conn_down_cb = igmpd_link_down;
    cbs.msg_write_cb = igmpd_link_write_cb;
    cbs.msg_read_cb = igmpd_link_read;
    ns_p->link_p =
        msgq_init(ZUL_MODULE_IGMP, ZUL_MODULE_PIM, MSGQ_HANDLE_TYPE_CLIENT, &params, &cbs, ns_p);
    if (ns_p->link_p == nullptr) {
        ZUL_LOG_PRI(LOG_ERR, "vpn %lu: cannot open the link to kemd at %s",
                    static_cast<unsigned long>(ns_p->vpn_id), params.msg_path);
    }
}

void igmpd_link_close(t_igmpd_ns *ns_p)
{
    if (ns_p->link_p != nullptr) {
        msgq_destroy(ns_p->link_p);
        ns_p->link_p = nullptr;
    }
}

void igmpd_link_send_if(t_igmpd_ns *ns_p, const t_igmpd_iface *if_p, bool add)
{
    MIgmpPimIf info;
    igmpd_link_if_info(if_p, &info);
    MIgmpPimInterfaceMsg if_msg;
    m_igmp_pim_interface_msg__init(&if_msg);
    if_msg.msg_type = add ? M_IGMP_PIM_INTERFACE_MSG__E_INTERFACE_MSG_TYPE__INTERFACE_ADD
                          : M_IGMP_PIM_INTERFACE_MSG__E_INTERFACE_MSG_TYPE__INTERFACE_DEL;
    if_msg.if_info = &info;
    MIgmpPimMsg msg;
    m_igmp_pim_msg__init(&msg);
    msg.vpn_id = ns_p->vpn_id;
    msg.msg_type = M_IGMP_PIM_MSG__E_MSG_TYPE__INTERFACE;
    msg.if_msg = &if_msg;
    igmpd_link_write(ns_p, msg);
}

void igmpd_link_send_join(t_igmpd_ns *ns_p, const t_igmpd_iface *if_p, uint32_t group,
                          uint32_t source, bool add)
{
    MIgmpPimIf info;
    igmpd_link_if_info(if_p, &info);
    char gtext[INET_ADDRSTRLEN];
    char stext[INET_ADDRSTRLEN];
    PbIpPrefix g;
    PbIpPrefix s;
    igmpd_link_prefix(group, &g, gtext, sizeof(gtext));
    igmpd_link_prefix(source, &s, stext, sizeof(stext));
    MIgmpPimJoinMsg join;
    m_igmp_pim_join_msg__init(&join);
    join.msg_type = add ? M_IGMP_PIM_JOIN_MSG__E_IGMP_PIM_JOIN_MSG_TYPE__JOIN_ADD
                        : M_IGMP_PIM_JOIN_MSG__E_IGMP_PIM_JOIN_MSG_TYPE__JOIN_DEL;
    join.group = &g;
    join.source = source != 0 ? &s : nullptr;
    join.if_info = &info;
    MIgmpPimMsg msg;
    m_igmp_pim_msg__init(&msg);
    msg.vpn_id = ns_p->vpn_id;
    msg.msg_type = M_IGMP_PIM_MSG__E_MSG_TYPE__JOIN;
    msg.join_msg = &join;
    igmpd_link_write(ns_p, msg);
}
