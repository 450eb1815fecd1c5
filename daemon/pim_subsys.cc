// Subsystems that are not built yet start and stop as no-ops here, so the VPN
// and daemon code already calls them in their final order. Each one moves to
// its own file when it is built.
#include "daemon/pim_subsys.h"

#include "daemon/pim_minfo.h"
#include "daemon/pim_vpn.h"

int pim_notify_nbr_state(t_pim_daemon *, t_pim_nbr *, bool) { return 0; }
int pim_notify_if_state(t_pim_daemon *, t_pim_if *) { return 0; }

void pim_fab_encode_jp(t_pim_minfo *, const t_ipaddr *, bool) {}
void pim_fab_encode_sa(t_pim_minfo *minfo_p, bool add)
{
    if (add) {
        minfo_p->minfo_flags |= PIM_MINFO_FLAG_SA;
    } else {
        minfo_p->minfo_flags &= ~PIM_MINFO_FLAG_SA;
    }
}
void pim_fab_shadow_process_xg_delete(t_pim_vpn *, const t_ipaddr *) {}
void pim_fab_shadow_process_sa(t_pim_if *, const t_ipaddr *) {}
void pim_repl_minfo_unlink(t_pim_minfo *minfo_p) { minfo_p->repl_p = nullptr; }
void pim_vpn_maddr_update(t_pim_daemon *, const t_ipaddr *) {}

e_pim_status pim_fab_shadow_init(t_pim_vpn *) { return PIM_STATUS_OK; }
void pim_fab_shadow_destroy(t_pim_vpn *) {}
e_pim_status pim_repl_db_init(t_pim_vpn *) { return PIM_STATUS_OK; }
void pim_repl_db_destroy(t_pim_vpn *) {}
e_pim_status pim_fab_init(t_pim_vpn *) { return PIM_STATUS_OK; }
void pim_fab_destroy(t_pim_vpn *) {}
void pim_fab_encode_ad(t_pim_vpn *, bool) {}
void pim_repl_update_timer_cb(t_timer *, void *) {}
t_pim_repl *pim_repl_db_update(t_pim_vpn *, const t_ipaddr *, uint32_t, uint32_t, bool)
{
    return nullptr;
}
int pim_repl_delete(t_pim_vpn *, const t_ipaddr *, bool) { return 0; }

void pim_debug_delete_vpn(t_pim_vpn *) {}

e_pim_status pim_ttm_init(t_pim_daemon *) { return PIM_STATUS_OK; }
void pim_ttm_destroy(t_pim_daemon *) {}
