#include "daemon/pim_ftm.h"

#include <arpa/inet.h>
#include <array>
#include <cstring>
#include <syslog.h>

#include "common/msgq_util.h"
#include "common/pb_util.h"
#include "common/zul_module.h"
#include "daemon/pim_assert.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_if.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_subsys.h"
#include "daemon/pim_vpn.h"
#include "proto/pim_ftm.pb-c.h"

namespace
{
bool pim_ftm_link_ready(const t_pim_daemon *daemon_p)
{
    return daemon_p != nullptr && msgq_ready(daemon_p->ftm_msgq_p);
}
} // namespace

t_pim_ftm_ops g_pim_ftm_ops = {pim_minfo_spt_sg_create, pim_minfo_spt_sg_delete,
                               pim_assert_dup_traffic_handler, pim_ftm_link_ready,
                               pim_ftm_send_message};

namespace
{

constexpr int PIM_FTM_SYSLOG_ID = 184; // LOG_LOCAL7
constexpr uint32_t PIM_FTM_FIRST_TUNNEL_IDX = 513;

// Outgoing-interface records of one add: one per bitmap index, reused by
// every add so that programming allocates nothing per interface.
std::array<PbPimFtmIf, PIM_ILIST_BITS> g_ftm_oif;
std::array<PbPimFtmIf *, PIM_ILIST_BITS> g_ftm_oif_p;

void *pim_ftm_malloc(size_t size) { return pim_malloc(size); }
void pim_ftm_free(void *buf) { pim_free(buf); }

unsigned long vpn_id_of(const t_pim_minfo *minfo_p) { return pim_vpn_log_id(minfo_p->vpn_p); }

bool pim_ftm_ready(const t_pim_vpn *vpn_p) { return g_pim_ftm_ops.ready(vpn_p->daemon_p); }

void pim_ftm_notice(int limit, const char *text)
{
    char host[32];
    pim_get_hostname(host, sizeof(host));
    syslog(LOG_LOCAL7 | LOG_NOTICE, "%%Drovane-%s-%s-%d-%s-%d: Maximum supported %d %s", host,
           "KEMD", 5, "NTCE", PIM_FTM_MSG_ID_OIL_LIMIT, limit, text);
}

// The entry that owns the forwarding entry of minfo_p's source and group.
t_pim_minfo *pim_ftm_owner(t_pim_minfo *minfo_p)
{
    if (minfo_p->type == PIM_TYPE_SG) {
        t_pim_minfo *rpt_p = pim_minfo_find(minfo_p->vpn_p, PIM_TYPE_SG_RPT, &minfo_p->group,
                                            &minfo_p->source, nullptr);
        if (rpt_p != nullptr) {
            rpt_p->minfo_flags &= ~PIM_MINFO_FLAG_FTM;
        }
    } else if (minfo_p->type == PIM_TYPE_SG_RPT) {
        t_pim_minfo *sg_p =
            pim_minfo_find(minfo_p->vpn_p, PIM_TYPE_SG, &minfo_p->group, &minfo_p->source, nullptr);
        if (sg_p != nullptr) {
            return sg_p;
        }
    }
    return minfo_p;
}

// Appends the outgoing interfaces of E's inherited list to the add message.
void pim_ftm_fill_oil(t_pim_minfo *e_p, uint32_t iif, PbPimFtmSgAdd *add_p)
{
    t_pim_vpn *vpn_p = e_p->vpn_p;
    size_t n = 0;
    uint32_t services = 0;
    uint32_t tunnels = 0;
    const t_pim_olist *list = e_p->inherited_olist_p;
    uint32_t idx = 0;
    if (list != nullptr) {
        pim_minfo_ilist_find_first(list, &idx);
    }
    while (idx != 0) {
        uint32_t next = 0;
        if (idx == iif) {
            PIM_LOG_MINFO(e_p, PIM_DEBUG_LEVEL_BASIC,
                          "vpn: %lu %s:IIF: %u, exists in OIF, not programming to ftm",
                          vpn_id_of(e_p), pim_minfo_str(e_p).c, idx);
            pim_minfo_ilist_find_next(list, idx, &next);
            idx = next;
            continue;
        }
        t_pim_if *if_p = pim_if_find_by_index(vpn_p, idx, PIM_IF_TYPE_ANY, nullptr);
        if (if_p == nullptr) {
            PIM_LOG("vpn: %lu %s:no interface with index %u, left out of the oil", vpn_id_of(e_p),
                    pim_minfo_str(e_p).c, idx);
        } else if (pim_assert_lost(e_p, if_p)) {
            // Another router won the Assert there and forwards for us.
            PIM_LOG_MINFO(e_p, PIM_DEBUG_LEVEL_BASIC,
                          "vpn: %lu %s:Assert loser on %s, not programming to ftm", vpn_id_of(e_p),
                          pim_minfo_str(e_p).c, if_p->user_name);
        } else {
            pim_ftm_if_format(if_p, idx, &g_ftm_oif[n]);
            g_ftm_oif_p[n] = &g_ftm_oif[n];
            n++;
            if (idx < 512 && ++services == PIM_FTM_MAX_SERVICE_OIF) {
                pim_ftm_notice(PIM_FTM_MAX_SERVICE_OIF,
                               "service outgoing interface list reachedprogram tunnel interfaces");
                pim_minfo_ilist_find_next(list, PIM_FTM_FIRST_TUNNEL_IDX - 1, &next);
                idx = next;
                continue;
            }
            if (idx >= 512 && ++tunnels == PIM_FTM_MAX_TUNNEL_OIF) {
                pim_ftm_notice(PIM_FTM_MAX_TUNNEL_OIF,
                               "tunnel outgoing interface list reachedskipping next interfaces");
                break;
            }
        }
        pim_minfo_ilist_find_next(list, idx, &next);
        idx = next;
    }
    add_p->n_oil = n;
    add_p->oil = g_ftm_oif_p.data();
}

e_pim_status pim_ftm_send_sg_del(t_pim_vpn *vpn_p, const t_ipaddr *source, const t_ipaddr *group)
{
    PbIpAddress src = PB_IP_ADDRESS__INIT;
    PbIpAddress grp = PB_IP_ADDRESS__INIT;
    char src_text[INET6_ADDRSTRLEN];
    char grp_text[INET6_ADDRSTRLEN];
    pb_util_from_ipaddr(source, &src, src_text, sizeof(src_text));
    pb_util_from_ipaddr(group, &grp, grp_text, sizeof(grp_text));
    PbPimFtmSgDel del = PB_PIM_FTM_SG_DEL__INIT;
    del.vpn_id = vpn_p->vpn_id;
    del.source = &src;
    del.group = &grp;
    PbPimFtmMsg msg = PB_PIM_FTM_MSG__INIT;
    msg.msg_type = PB_PIM_FTM_MSG__E_MSG_TYPE__SG_DEL;
    msg.sg_del = &del;
    return g_pim_ftm_ops.send(vpn_p->daemon_p, &msg);
}

// Runs act on each entry of the VPN, serving urgent timers between entries so
// that a large table does not hold them back.
template <typename F> void pim_ftm_walk_vpn(t_pim_vpn *vpn_p, F act)
{
    if (vpn_p->minfo_db.avl_compar == nullptr) {
        return;
    }
    for (auto *minfo_p = avl_first<t_pim_minfo>(&vpn_p->minfo_db); minfo_p != nullptr;
         minfo_p = avl_next(&vpn_p->minfo_db, minfo_p)) {
        act(minfo_p);
        pim_daemon_process_urgent_timers();
    }
}

template <typename F> void pim_ftm_walk(t_pim_daemon *daemon_p, F act)
{
    if (daemon_p->vpn_db.avl_compar == nullptr) {
        return;
    }
    for (auto *vpn_p = avl_first<t_pim_vpn>(&daemon_p->vpn_db); vpn_p != nullptr;
         vpn_p = avl_next(&daemon_p->vpn_db, vpn_p)) {
        pim_ftm_walk_vpn(vpn_p, act);
    }
}

void pim_ftm_up(msgq_handle_t *, void *arg)
{
    PIM_LOG("Connection to FTM came up");
    pim_ftm_walk(static_cast<t_pim_daemon *>(arg),
                 [](t_pim_minfo *minfo_p) { (void)pim_ftm_add(minfo_p); });
}

void pim_ftm_down(msgq_handle_t *, void *arg)
{
    PIM_LOG("Connection to FTM came down");
    pim_ftm_walk(static_cast<t_pim_daemon *>(arg),
                 [](t_pim_minfo *minfo_p) { minfo_p->minfo_flags &= ~PIM_MINFO_FLAG_FTM; });
}

void pim_ftm_write(msgq_handle_t *, void *) {}

// Source and group of a report; false when either is missing or unusable.
bool pim_ftm_report_keys(const PbIpAddress *src_p, const PbIpAddress *grp_p, t_ipaddr *source,
                         t_ipaddr *group)
{
    IPADDR_INIT(source, IP_ADDR_UNKNOWN);
    IPADDR_INIT(group, IP_ADDR_UNKNOWN);
    pb_util_to_ipaddr(src_p, source);
    pb_util_to_ipaddr(grp_p, group);
    // A report is about one real source sending to a group.
    return source->addr_type != IP_ADDR_UNKNOWN && group->addr_type != IP_ADDR_UNKNOWN &&
           !IPADDR_IS_ZERO(source) && !ipaddr_is_multicast(source) && ipaddr_is_multicast(group);
}

void pim_ftm_spt_threshold_msg(t_pim_daemon *daemon_p, const PbPimFtmSptThreshold *spt_p)
{
    t_ipaddr source;
    t_ipaddr group;
    if (!pim_ftm_report_keys(spt_p->source, spt_p->group, &source, &group)) {
        PIM_LOG("SPT message from fp without a usable source or group, dropped");
        return;
    }
    auto vpn_id = static_cast<unsigned long>(spt_p->vpn_id);
    t_pim_vpn *vpn_p = pim_vpn_find(daemon_p, spt_p->vpn_id, nullptr);
    if (vpn_p == nullptr) {
        PIM_LOG("Can't find vpn %lu, SPT message from fp", vpn_id);
        return;
    }
    PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_BASIC,
                  "vpn: %lu Received SPT message from FP for %s,%s, threshold exceeded: %s", vpn_id,
                  ipaddr_str(&source).c, ipaddr_str(&group).c,
                  spt_p->has_threshold_exceeded && spt_p->threshold_exceeded ? "TRUE" : "FALSE");
    // The field's presence, not its value, says the source went above.
    if (spt_p->has_threshold_exceeded) {
        (void)g_pim_ftm_ops.spt_sg_create(daemon_p, spt_p->vpn_id, &source, &group);
    } else {
        (void)g_pim_ftm_ops.spt_sg_delete(daemon_p, spt_p->vpn_id, &source, &group);
    }
}

void pim_ftm_proc_assert(t_pim_daemon *daemon_p, const PbPimFtmAssert *assert_p)
{
    t_ipaddr source;
    t_ipaddr group;
    bool keys = pim_ftm_report_keys(assert_p->source, assert_p->group, &source, &group);
    auto vpn_id = static_cast<unsigned long>(assert_p->vpn_id);
    uint32_t if_index =
        assert_p->iif != nullptr && assert_p->iif->has_if_index ? assert_p->iif->if_index : 0;
    PIM_LOG("Received Assert detection message from FP for (%s,%s) in vpn %lu for if %u",
            ipaddr_str(&source).c, ipaddr_str(&group).c, vpn_id, if_index);
    if (!keys) {
        PIM_LOG("Assert detection message from fp without a usable source or group, dropped");
        return;
    }
    t_pim_vpn *vpn_p = pim_vpn_find(daemon_p, assert_p->vpn_id, nullptr);
    if (vpn_p == nullptr) {
        PIM_LOG("Can't find vpn %lu, Assert detection message from fp", vpn_id);
        return;
    }
    if (assert_p->iif == nullptr || !assert_p->iif->has_if_index) {
        PIM_LOG("Interface index not set in Assert detection message from fp");
        return;
    }
    g_pim_ftm_ops.dup_traffic(daemon_p, vpn_p, &source, &group, if_index);
}

void pim_ftm_read(msgq_handle_t *handle, void *msg, uint32_t len, void *arg)
{
    auto *daemon_p = static_cast<t_pim_daemon *>(arg);
    PbPimFtmMsg *pb_p = pb_pim_ftm_msg__unpack(nullptr, len, static_cast<const uint8_t *>(msg));
    if (pb_p == nullptr || !pb_util_enums_valid(&pb_p->base)) {
        PIM_LOG("Undecodable message from FTM (%u bytes), dropped", len);
    } else {
        int type = pb_util_enum_value(pb_p->msg_type);
        if (type == PB_PIM_FTM_MSG__E_MSG_TYPE__SG_SPT_THRESHOLD &&
            pb_p->spt_threshold != nullptr) {
            pim_ftm_spt_threshold_msg(daemon_p, pb_p->spt_threshold);
        } else if (type == PB_PIM_FTM_MSG__E_MSG_TYPE__PIM_ASSERT && pb_p->pim_assert != nullptr) {
            pim_ftm_proc_assert(daemon_p, pb_p->pim_assert);
        } else {
            PIM_LOG("Unhandled proto message from PIM! Msg=%d\n", type);
        }
    }
    if (pb_p != nullptr) {
        pb_pim_ftm_msg__free_unpacked(pb_p, nullptr);
    }
    msgq_msg_free(handle, msg);
}

} // namespace

e_pim_status pim_ftm_init(t_pim_daemon *daemon_p)
{
    msgq_app_params_t params{};
    params.app_evbase_p = daemon_p->base_event_p;
    params.timer_mgr_p = daemon_p->timer_mgr_p;
    params.syslog_id = PIM_FTM_SYSLOG_ID;
    params.socket_type = MSGQ_SOCKET_TYPE_UNIX;
    msgq_app_cb_t cbs{};
    cbs.conn_up_cb = pim_ftm_up;
    cbs.conn_down_cb = pim_ftm_down;
    cbs.msg_write_cb = pim_ftm_write;
    cbs.msg_read_cb = pim_ftm_read;
    cbs.malloc_cb = pim_ftm_malloc;
    cbs.free_cb = pim_ftm_free;
    daemon_p->ftm_msgq_p =
        msgq_init(ZUL_MODULE_PIM, ZUL_MODULE_FTM, MSGQ_HANDLE_TYPE_SERVER, &params, &cbs, daemon_p);
    if (daemon_p->ftm_msgq_p == nullptr) {
        PIM_LOG("Could not initialize ftm msgq");
        return PIM_STATUS_MEM_FAIL;
    }
    return PIM_STATUS_OK;
}

void pim_ftm_destroy(t_pim_daemon *daemon_p)
{
    if (daemon_p->ftm_msgq_p != nullptr) {
        msgq_destroy(daemon_p->ftm_msgq_p);
        daemon_p->ftm_msgq_p = nullptr;
    }
}

bool pim_ftm_spt_threshold_check(const t_pim_minfo *minfo_p)
{
    return minfo_p->vpn_p != nullptr &&
           minfo_p->vpn_p->config.spt_threshold < PIM_SPT_THRESHOLD_INFINITY &&
           (minfo_p->type == PIM_TYPE_XG ||
            (minfo_p->type == PIM_TYPE_SG && (minfo_p->minfo_flags & PIM_MINFO_FLAG_SPT) != 0));
}

void pim_ftm_if_format(const t_pim_if *if_p, uint32_t index, PbPimFtmIf *out_p)
{
    pb_pim_ftm_if__init(out_p);
    if (if_p->pim_if_type == PIM_IF_TYPE_TUNNEL) {
        out_p->has_system_ip = true;
        out_p->system_ip = htonl(if_p->if_addr.addr.u.addr4);
        out_p->has_label = true;
        out_p->label = if_p->label;
        return;
    }
    uint32_t kernel_idx = pim_if_bitmap_idx_to_if_idx(if_p->vpn_p, index);
    if (kernel_idx != 0) {
        out_p->has_if_index = true;
        out_p->if_index = kernel_idx;
    }
}

e_pim_status pim_ftm_add(t_pim_minfo *given_p)
{
    t_pim_minfo *e_p = pim_ftm_owner(given_p);
    t_pim_vpn *vpn_p = e_p->vpn_p;
    unsigned long id = vpn_id_of(e_p);
    if (pim_minfo_debug_on(e_p, PIM_DEBUG_LEVEL_BASIC)) {
        char oil[256];
        pim_ilist_to_str(vpn_p, e_p->inherited_olist_p, oil, sizeof(oil));
        PIM_LOG("vpn: %lu %s:FTM-ADD: up-state %s, iif: %u, direct-source-iif: %u", id,
                pim_minfo_str(e_p).c, pim_upstream_state_string(e_p->upstream_state),
                e_p->rpf_nbr_if, e_p->direct_source_if);
        PIM_LOG("vpn: %lu %s:    oil: %s", id, pim_minfo_str(e_p).c, oil);
    }
    uint32_t iif = e_p->rpf_nbr_if != 0 ? e_p->rpf_nbr_if : e_p->direct_source_if;
    if (iif == 0) {
        PIM_LOG_MINFO(e_p, PIM_DEBUG_LEVEL_BASIC, "vpn: %lu %s:FTM-ADD: Skipping - no iif found",
                      id, pim_minfo_str(e_p).c);
        (void)pim_ftm_delete(e_p);
        return PIM_STATUS_OK;
    }
    if (e_p->type == PIM_TYPE_XG &&
        (e_p->inherited_olist_p == nullptr || pim_minfo_ilist_empty(e_p->inherited_olist_p))) {
        PIM_LOG_MINFO(e_p, PIM_DEBUG_LEVEL_BASIC, "vpn: %lu %s:FTM-ADD: Skipping - no oil found",
                      id, pim_minfo_str(e_p).c);
        (void)pim_ftm_delete(e_p);
        return PIM_STATUS_OK;
    }
    if (!pim_ftm_ready(vpn_p)) {
        PIM_LOG_MINFO(e_p, PIM_DEBUG_LEVEL_BASIC,
                      "vpn: %lu %s:FTM-ADD: skipping - PIM <-> FTM interface down", id,
                      pim_minfo_str(e_p).c);
        return PIM_STATUS_OK;
    }
    t_pim_if *iif_p = pim_if_find_by_index(vpn_p, iif, PIM_IF_TYPE_ANY, nullptr);
    if (iif_p == nullptr) {
        PIM_LOG("vpn: %lu %s:FTM-ADD: no interface with incoming index %u, not programmed", id,
                pim_minfo_str(e_p).c, iif);
        return PIM_STATUS_FAIL;
    }
    PbIpAddress src = PB_IP_ADDRESS__INIT;
    PbIpAddress grp = PB_IP_ADDRESS__INIT;
    char src_text[INET6_ADDRSTRLEN];
    char grp_text[INET6_ADDRSTRLEN];
    pb_util_from_ipaddr(&e_p->source, &src, src_text, sizeof(src_text));
    pb_util_from_ipaddr(&e_p->group, &grp, grp_text, sizeof(grp_text));
    PbPimFtmIf in_if;
    pim_ftm_if_format(iif_p, iif, &in_if);
    PbPimFtmSgAdd add = PB_PIM_FTM_SG_ADD__INIT;
    add.vpn_id = vpn_p->vpn_id;
    add.source = &src;
    add.group = &grp;
    add.iif = &in_if;
    if (pim_ftm_spt_threshold_check(e_p)) {
        add.has_monitor = true;
        add.monitor = true;
        add.has_threshold = true;
        add.threshold = vpn_p->config.spt_threshold;
        PIM_LOG_MINFO(e_p, PIM_DEBUG_LEVEL_BASIC, "vpn: %lu %s:Adding SPT-Threshold: %d", id,
                      pim_minfo_str(e_p).c, static_cast<int>(vpn_p->config.spt_threshold));
    }
    pim_ftm_fill_oil(e_p, iif, &add);
    PbPimFtmMsg msg = PB_PIM_FTM_MSG__INIT;
    msg.msg_type = PB_PIM_FTM_MSG__E_MSG_TYPE__SG_ADD;
    msg.sg_add = &add;
    e_pim_status status = g_pim_ftm_ops.send(vpn_p->daemon_p, &msg);
    if (status == PIM_STATUS_OK) {
        e_p->minfo_flags |= PIM_MINFO_FLAG_FTM;
        given_p->update_ftm = false;
    }
    return status;
}

e_pim_status pim_ftm_delete(t_pim_minfo *minfo_p)
{
    t_pim_vpn *vpn_p = minfo_p->vpn_p;
    if (vpn_p == nullptr) {
        PIM_LOG("NULL VPN pointer in FTM delete");
        return PIM_STATUS_FAIL;
    }
    unsigned long id = vpn_id_of(minfo_p);
    PIM_LOG_MINFO(minfo_p, PIM_DEBUG_LEVEL_BASIC, "vpn: %lu %s:FTM-DEL: up-state %s", id,
                  pim_minfo_str(minfo_p).c, pim_upstream_state_string(minfo_p->upstream_state));
    if ((minfo_p->minfo_flags & PIM_MINFO_FLAG_FTM) == 0) {
        PIM_LOG_MINFO(minfo_p, PIM_DEBUG_LEVEL_BASIC,
                      "vpn: %lu %s:FTM-DEL: skipping - Never added earlier", id,
                      pim_minfo_str(minfo_p).c);
        return PIM_STATUS_OK;
    }
    if (!pim_ftm_ready(vpn_p)) {
        PIM_LOG_MINFO(minfo_p, PIM_DEBUG_LEVEL_BASIC,
                      "vpn: %lu %s:FTM-DEL: skipping - PIM <-> FTM interface down", id,
                      pim_minfo_str(minfo_p).c);
        return PIM_STATUS_OK;
    }
    if (minfo_p->type == PIM_TYPE_SG_RPT &&
        pim_minfo_find(vpn_p, PIM_TYPE_SG, &minfo_p->group, &minfo_p->source, nullptr) != nullptr) {
        minfo_p->minfo_flags &= ~PIM_MINFO_FLAG_FTM;
        PIM_LOG_MINFO(minfo_p, PIM_DEBUG_LEVEL_BASIC,
                      "vpn: %lu %s:FTM-DEL: skipping - S,G entry exists for S,G,RPT prune", id,
                      pim_minfo_str(minfo_p).c);
        return PIM_STATUS_OK;
    }
    e_pim_status status = pim_ftm_send_sg_del(vpn_p, &minfo_p->source, &minfo_p->group);
    if (status == PIM_STATUS_OK) {
        minfo_p->minfo_flags &= ~PIM_MINFO_FLAG_FTM;
    }
    return status;
}

e_pim_status pim_ftm_add_group(t_pim_vpn *vpn_p, const t_ipaddr *group)
{
    unsigned long id = pim_vpn_log_id(vpn_p);
    PIM_LOG_IPC(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_BASIC, "vpn: %lu pim_ftm_add_auto_rp: *, %s",
                id, ipaddr_str(group).c);
    if (!pim_ftm_ready(vpn_p)) {
        PIM_LOG_IPC(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_BASIC,
                    "vpn: %lu pim_ftm_add: skipping - PIM <-> FTM interface down", id);
        return PIM_STATUS_OK;
    }
    t_ipaddr any;
    IPADDR_INIT(&any, IP_ADDR_V4);
    PbIpAddress src = PB_IP_ADDRESS__INIT;
    PbIpAddress grp = PB_IP_ADDRESS__INIT;
    char src_text[INET6_ADDRSTRLEN];
    char grp_text[INET6_ADDRSTRLEN];
    pb_util_from_ipaddr(&any, &src, src_text, sizeof(src_text));
    pb_util_from_ipaddr(group, &grp, grp_text, sizeof(grp_text));
    PbPimFtmSgAdd add = PB_PIM_FTM_SG_ADD__INIT;
    add.vpn_id = vpn_p->vpn_id;
    add.source = &src;
    add.group = &grp;
    PbPimFtmMsg msg = PB_PIM_FTM_MSG__INIT;
    msg.msg_type = PB_PIM_FTM_MSG__E_MSG_TYPE__SG_ADD;
    msg.sg_add = &add;
    return g_pim_ftm_ops.send(vpn_p->daemon_p, &msg);
}

e_pim_status pim_ftm_del_group(t_pim_vpn *vpn_p, const t_ipaddr *group)
{
    unsigned long id = pim_vpn_log_id(vpn_p);
    PIM_LOG_IPC(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_BASIC, "vpn: %lu pim_ftm_del_auto_rp: *, %s",
                id, ipaddr_str(group).c);
    if (!pim_ftm_ready(vpn_p)) {
        PIM_LOG_IPC(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_BASIC,
                    "vpn: %lu pim_ftm_add: skipping - PIM <-> FTM interface down", id);
        return PIM_STATUS_OK;
    }
    t_ipaddr any;
    IPADDR_INIT(&any, IP_ADDR_V4);
    return pim_ftm_send_sg_del(vpn_p, &any, group);
}

void pim_ftm_spt_reprogram(t_pim_vpn *vpn_p)
{
    pim_ftm_walk_vpn(vpn_p, [](t_pim_minfo *minfo_p) {
        if (minfo_p->type == PIM_TYPE_XG ||
            (minfo_p->type == PIM_TYPE_SG && (minfo_p->minfo_flags & PIM_MINFO_FLAG_SPT) != 0)) {
            (void)pim_ftm_add(minfo_p);
        }
    });
}

e_pim_status pim_ftm_send_message(t_pim_daemon *daemon_p, const PbPimFtmMsg *msg_p)
{
    msgq_handle_t *handle = daemon_p->ftm_msgq_p;
    size_t full = pb_pim_ftm_msg__get_packed_size(msg_p);
    auto size = static_cast<uint32_t>(full <= MSGQ_MAX_APP_LEN ? full : 0);
    void *buf = size > 0 ? msgq_msg_malloc(handle, size) : nullptr;
    if (buf == nullptr) {
        PIM_LOG("Could not send protobuf message to FTM (size-%u)", size);
        return PIM_STATUS_MEM_FAIL;
    }
    size_t packed = pb_pim_ftm_msg__pack(msg_p, static_cast<uint8_t *>(buf));
    if (packed == 0) {
        PIM_LOG("Could not send protobuf message to FTM (size-%u)", size);
        msgq_msg_free(handle, buf);
        return PIM_STATUS_MEM_FAIL;
    }
    int rc = msgq_write(handle, buf, size);
    if (rc != MSGQ_OK) {
        PIM_LOG("Could not send protobuf message to FTM (size-%u) status: %d", size, rc);
        msgq_msg_free(handle, buf);
        return PIM_STATUS_MSG_SEND_FAIL;
    }
    return PIM_STATUS_OK;
}
