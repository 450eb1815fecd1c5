// Subsystems that are not built yet start and stop as no-ops here, so the VPN
// and daemon code already calls them in their final order. Each one moves to
// its own file when it is built.
#include "daemon/pim_subsys.h"

#include "daemon/pim_minfo.h"
#include "daemon/pim_vpn.h"
#include "zconfd/zconfd.h"

e_pim_status pim_minfo_init(t_pim_vpn *) { return PIM_STATUS_OK; }
void pim_minfo_destroy(t_pim_vpn *) {}
void pim_minfo_spt_sg_delete_all(t_pim_vpn *) {}
e_pim_status pim_if_minfo_init(t_pim_if *) { return PIM_STATUS_OK; }
void pim_if_minfo_destroy(t_pim_if *) {}
void pim_minfo_cleanup_if(t_pim_if *) {}
void pim_minfo_cleanup_nbr(t_pim_vpn *, t_pim_nbr *) {}

void pim_jp_xg_join(t_pim_if *, const t_ipaddr *, const t_ipaddr *, uint16_t) {}
void pim_jp_sg_join(t_pim_if *, const t_ipaddr *, const t_ipaddr *, uint16_t) {}
void pim_jp_sgrpt_join(t_pim_if *, const t_ipaddr *, const t_ipaddr *, uint16_t) {}
void pim_jp_xg_prune(t_pim_if *, const t_ipaddr *, const t_ipaddr *) {}
void pim_jp_sg_prune(t_pim_if *, const t_ipaddr *, const t_ipaddr *) {}
void pim_jp_sgrpt_prune(t_pim_if *, const t_ipaddr *, const t_ipaddr *, uint16_t) {}
void pim_jp_handle_eom(t_pim_vpn *) {}
void pim_assert_process_pkt(t_pim_daemon *, t_pim_nbr *, const t_ipaddr *, const t_ipaddr *,
                            const t_pim_assert_metric *)
{
}

int pim_notify_nbr_state(t_pim_daemon *, t_pim_nbr *, bool) { return 0; }
int pim_notify_if_state(t_pim_daemon *, t_pim_if *) { return 0; }

void pim_et_process_join_desired(t_pim_minfo *) {}
void pim_et_process_prune_desired(t_pim_minfo *) {}
// Until the routing-entry table exists an (S,G,rpt) entry cannot reach the
// RP of its (*,G) entry; the other types carry their target themselves.
bool pim_jp_rp_get(t_pim_minfo *minfo_p, t_ipaddr *rp_p)
{
    switch (minfo_p->type) {
    case PIM_TYPE_SG:
    case PIM_TYPE_AUTO_RP:
        IPADDR_COPY(rp_p, &minfo_p->source);
        return true;
    case PIM_TYPE_XG:
        IPADDR_COPY(rp_p, &minfo_p->received_rp);
        return true;
    default:
        return false;
    }
}

e_pim_status pim_fab_shadow_init(t_pim_vpn *) { return PIM_STATUS_OK; }
void pim_fab_shadow_destroy(t_pim_vpn *) {}
e_pim_status pim_igmp_shadow_init(t_pim_vpn *) { return PIM_STATUS_OK; }
void pim_igmp_shadow_destroy(t_pim_vpn *) {}
e_pim_status pim_repl_db_init(t_pim_vpn *) { return PIM_STATUS_OK; }
void pim_repl_db_destroy(t_pim_vpn *) {}
e_pim_status pim_fab_init(t_pim_vpn *) { return PIM_STATUS_OK; }
void pim_fab_destroy(t_pim_vpn *) {}
void pim_fab_encode_ad(t_pim_vpn *, bool) {}
e_pim_status pim_igmp_init(t_pim_vpn *) { return PIM_STATUS_OK; }
void pim_igmp_destroy(t_pim_vpn *) {}
void pim_repl_update_timer_cb(t_timer *, void *, void *, void *, void *) {}
t_pim_repl *pim_repl_db_update(t_pim_vpn *, const t_ipaddr *, uint32_t, uint32_t, bool)
{
    return nullptr;
}
int pim_repl_delete(t_pim_vpn *, const t_ipaddr *, bool) { return 0; }

e_pim_status pim_auto_rp_enable(t_pim_vpn *, bool) { return PIM_STATUS_OK; }
void pim_auto_rp_disable(t_pim_vpn *, bool) {}
void pim_auto_rp_pkt_timer_cb(t_timer *, void *, void *, void *, void *) {}
void pim_auto_rp_update_minfo_if_all(t_pim_vpn *, t_pim_if *, bool) {}
void pim_auto_rp_update_minfo(t_pim_minfo *) {}
e_pim_status pim_pkt_auto_rp_rx(t_pim_vpn *, int) { return PIM_STATUS_OK; }

void pim_debug_delete_vpn(t_pim_vpn *) {}

e_pim_status pim_ttm_init(t_pim_daemon *) { return PIM_STATUS_OK; }
void pim_ttm_destroy(t_pim_daemon *) {}
e_pim_status pim_ftm_init(t_pim_daemon *) { return PIM_STATUS_OK; }
void pim_ftm_destroy(t_pim_daemon *) {}
void pim_ftm_spt_reprogram(t_pim_vpn *) {}

const t_zconfd_action_cmd *pim_action_cmd_table()
{
    static const t_zconfd_action_cmd end{};
    return &end;
}
