// Received Joins and Prunes, one tree at a time, from PIM neighbors, local
// membership and the overlay: find or create the entry and its record on the
// interface, run the downstream machine, start the upstream consequences.
// A unit (one group record) is: unit begin, Joins, Prunes, end of message.
#include "daemon/pim_jp.h"

#include "daemon/pim_daemon.h"
#include "daemon/pim_if.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_rp_db.h"
#include "daemon/pim_subsys.h"
#include "daemon/pim_vpn.h"

namespace
{

t_pim_vpn *vpn_of(const t_pim_if *if_p) { return if_p != nullptr ? if_p->vpn_p : nullptr; }

// A Join that could not be recorded leaves no empty entry behind.
int drop_new_entry(t_pim_minfo *minfo_p)
{
    pim_minfo_check_and_delete(minfo_p);
    return 1;
}

} // namespace

int pim_jp_xg_join(t_pim_if *if_p, const t_ipaddr *group, const t_ipaddr *rp, uint16_t holdtime)
{
    t_pim_vpn *vpn_p = vpn_of(if_p);
    if (vpn_p == nullptr) {
        return 1;
    }
    t_ipaddr db_rp{};
    if (rp != nullptr && vpn_p->auto_rp_enabled && vpn_p->rp_db.avl_compar != nullptr &&
        pim_rp_db_find_rp_for_group(vpn_p, group, &db_rp) != nullptr &&
        (db_rp.addr_type != rp->addr_type || IPADDR_CMP(&db_rp, rp) != 0)) {
        PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_BASIC,
                      "vpn: %lu RP address mismatch for (*,%s) entry.From packet:%s, From RP DB:%s",
                      pim_vpn_log_id(vpn_p), ipaddr_str(group).c, ipaddr_str(rp).c,
                      ipaddr_str(&db_rp).c);
        return 1;
    }
    t_pim_minfo *xg_p = pim_minfo_find_or_create(vpn_p, if_p, PIM_TYPE_XG, group, nullptr, rp);
    if (xg_p == nullptr) {
        PIM_LOG("Failed to create the xg entry got group %s", ipaddr_str(group).c);
        return 1;
    }
    t_pim_if_minfo *if_minfo_p = pim_if_minfo_find_or_create(if_p, xg_p);
    if (if_minfo_p == nullptr) {
        PIM_LOG("Failed to create the if_xg entry got group %s, if: %s", ipaddr_str(group).c,
                if_p->user_name);
        return drop_new_entry(xg_p);
    }
    xg_p->update_ftm = if_p->update_ftm;
    pim_jp_handle_xg_join_sgrpt(if_p, if_minfo_p);
    (void)pim_jp_dstream_sm_join_xg(if_p, if_minfo_p, holdtime);
    pim_et_process_join_change(xg_p, if_minfo_p);
    pim_fab_shadow_process_sa(if_p, group);
    return 0;
}

int pim_jp_sg_join(t_pim_if *if_p, const t_ipaddr *group, const t_ipaddr *src, uint16_t holdtime)
{
    t_pim_vpn *vpn_p = vpn_of(if_p);
    if (vpn_p == nullptr) {
        return 1;
    }
    t_pim_minfo *sg_p = pim_minfo_find_or_create(vpn_p, if_p, PIM_TYPE_SG, group, src, nullptr);
    if (sg_p == nullptr) {
        PIM_LOG("Failed to create the sg entry for group %s", ipaddr_str(group).c);
        return 1;
    }
    t_pim_if_minfo *if_minfo_p = pim_if_minfo_find_or_create(if_p, sg_p);
    if (if_minfo_p == nullptr) {
        PIM_LOG("Failed to create the if_sg entry for group %s, if: %s", ipaddr_str(group).c,
                if_p->user_name);
        return drop_new_entry(sg_p);
    }
    sg_p->update_ftm = if_p->update_ftm;
    (void)pim_jp_dstream_sm_join_xg(if_p, if_minfo_p, holdtime);
    pim_et_process_join_change(sg_p, if_minfo_p);
    pim_minfo_xg_trigger_upstream(sg_p);
    return 0;
}

int pim_jp_sgrpt_join(t_pim_if *if_p, const t_ipaddr *group, const t_ipaddr *src, uint16_t holdtime)
{
    t_pim_vpn *vpn_p = vpn_of(if_p);
    t_pim_minfo *rpt_p = pim_minfo_find(vpn_p, PIM_TYPE_SG_RPT, group, src, nullptr);
    if (rpt_p == nullptr) {
        PIM_LOG("Failed to find the S,G,RPT entry for group %s", ipaddr_str(group).c);
        return 1;
    }
    t_pim_if_minfo *if_minfo_p = pim_if_minfo_find_from_minfo(if_p, rpt_p);
    if (if_minfo_p == nullptr) {
        PIM_LOG("Failed to find the I/F S,G,RPT entry for group %s, if: %s", ipaddr_str(group).c,
                if_p->user_name);
        return 1;
    }
    // A (*,G) Join earlier in this unit left the record temporary: its end
    // of message comes first, then the Join(S,G,rpt). Done whenever the
    // record is queued, not only when the flag says so: a unit may span
    // several group records, and a temporary record ignores the Join, which
    // would leave its pruned bit behind.
    if_p->xg_join = false;
    if (if_minfo_p->on_tmp_list) {
        pim_jp_tmp_sgrpt_remove(if_minfo_p);
        (void)pim_jp_dstream_sm_eom_sgrpt(if_minfo_p);
    }
    (void)pim_jp_dstream_sm_join_sgrpt(if_p, if_minfo_p, holdtime);
    pim_et_process_prune_change(rpt_p, if_minfo_p);
    pim_if_minfo_delete(if_minfo_p);
    return 0;
}

int pim_jp_xg_prune(t_pim_if *if_p, const t_ipaddr *group, const t_ipaddr *)
{
    t_pim_minfo *xg_p = pim_minfo_find_xg_from_g(vpn_of(if_p), group);
    if (xg_p == nullptr) {
        PIM_LOG("Failed to find the sg entry got group %s", ipaddr_str(group).c);
        return 0;
    }
    t_pim_if_minfo *if_minfo_p = pim_if_minfo_find_from_minfo(if_p, xg_p);
    if (if_minfo_p == nullptr) {
        PIM_LOG("Failed to find the if_sg entry got group %s, if: %s", ipaddr_str(group).c,
                if_p->user_name);
        return 0;
    }
    pim_jp_handle_xg_join_sgrpt(if_p, if_minfo_p);
    (void)pim_jp_dstream_sm_prune_xg(if_p, if_minfo_p);
    return 0;
}

int pim_jp_sg_prune(t_pim_if *if_p, const t_ipaddr *group, const t_ipaddr *src)
{
    t_pim_minfo *sg_p = pim_minfo_find(vpn_of(if_p), PIM_TYPE_SG, group, src, nullptr);
    if (sg_p == nullptr) {
        PIM_LOG("Failed to find the sg entry got group %s", ipaddr_str(group).c);
        return 0;
    }
    t_pim_if_minfo *if_minfo_p = pim_if_minfo_find_from_minfo(if_p, sg_p);
    if (if_minfo_p == nullptr) {
        PIM_LOG("Failed to find the if_sg entry got group %s, if: %s", ipaddr_str(group).c,
                if_p->user_name);
        return 0;
    }
    (void)pim_jp_dstream_sm_prune_xg(if_p, if_minfo_p);
    pim_minfo_xg_trigger_upstream(sg_p);
    return 0;
}

int pim_jp_sgrpt_prune(t_pim_if *if_p, const t_ipaddr *group, const t_ipaddr *src,
                       uint16_t holdtime)
{
    // Created only while the group's (*,G) entry exists: it supplies the RP.
    t_pim_minfo *rpt_p =
        pim_minfo_find_or_create(vpn_of(if_p), if_p, PIM_TYPE_SG_RPT, group, src, nullptr);
    if (rpt_p == nullptr) {
        PIM_LOG("Failed to create the S,G,RPT entry for group %s", ipaddr_str(group).c);
        return 1;
    }
    t_pim_if_minfo *if_minfo_p = pim_if_minfo_find_or_create(if_p, rpt_p);
    if (if_minfo_p == nullptr) {
        PIM_LOG("Failed to create the I/F S,G,RPT entry for group %s, if: %s", ipaddr_str(group).c,
                if_p->user_name);
        return drop_new_entry(rpt_p);
    }
    (void)pim_jp_dstream_sm_prune_sgrpt(if_p, if_minfo_p, holdtime);
    pim_minfo_xg_trigger_upstream(rpt_p);
    return 0;
}

int pim_jp_sa_join(t_pim_if *if_p, const t_ipaddr *group, const t_ipaddr *src, uint16_t)
{
    t_pim_vpn *vpn_p = vpn_of(if_p);
    if (vpn_p == nullptr) {
        PIM_LOG("Null vpn_p");
        return 1;
    }
    t_pim_minfo *xg_p = pim_minfo_find_xg_from_g(vpn_p, group);
    if (xg_p == nullptr) {
        return 0;
    }
    const t_pim_debug *dbg = pim_vpn_debug(vpn_p);
    if (!pim_minfo_compute_join_desired_sa(xg_p)) {
        PIM_LOG_IPC(dbg, PIM_DEBUG_LEVEL_BASIC, "vpn: %lu Skip S-A for: (*, G): %s",
                    pim_vpn_log_id(vpn_p), pim_minfo_str(xg_p).c);
        return 0;
    }
    t_pim_minfo *sg_p = pim_minfo_find_or_create(vpn_p, if_p, PIM_TYPE_SG, group, src, nullptr);
    if (sg_p == nullptr) {
        PIM_LOG("Failed to create S,G entry %s, %s after S-A SPT switchover", ipaddr_str(src).c,
                ipaddr_str(group).c);
        return 1;
    }
    PIM_LOG_IPC(dbg, PIM_DEBUG_LEVEL_BASIC, "vpn: %lu Perform S-A SPT for: (S, G): %s",
                pim_vpn_log_id(vpn_p), pim_minfo_str(sg_p).c);
    sg_p->macro_result |= PIM_MACRO_SA_JOIN_DESIRED;
    sg_p->minfo_flags |= PIM_MINFO_FLAG_SPT;
    pim_et_process_join_change(sg_p, nullptr);
    pim_minfo_xg_trigger_upstream(sg_p);
    return 0;
}

int pim_jp_sa_prune(t_pim_if *if_p, const t_ipaddr *group, const t_ipaddr *src)
{
    t_pim_vpn *vpn_p = vpn_of(if_p);
    if (vpn_p == nullptr) {
        PIM_LOG("Null vpn");
        return 1;
    }
    t_pim_minfo *sg_p = pim_minfo_find(vpn_p, PIM_TYPE_SG, group, src, nullptr);
    if (sg_p == nullptr) {
        PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_DETAIL,
                      "vpn: %lu No S,G entry %s, %s to delete for SA.", pim_vpn_log_id(vpn_p),
                      ipaddr_str(src).c, ipaddr_str(group).c);
        return 0;
    }
    sg_p->minfo_flags &= ~PIM_MINFO_FLAG_SPT;
    sg_p->macro_result &= ~PIM_MACRO_SA_JOIN_DESIRED;
    pim_minfo_xg_trigger_upstream(sg_p);
    pim_et_process_join_change(sg_p, nullptr);
    // Without downstream interest and never joined upstream, nothing else
    // would release it.
    if (t_pim_minfo *left_p = pim_minfo_find(vpn_p, PIM_TYPE_SG, group, src, nullptr)) {
        pim_minfo_check_and_delete(left_p);
    }
    return 0;
}

void pim_jp_unit_begin(t_pim_vpn *vpn_p)
{
    while (t_pim_if_minfo *if_minfo_p = TAILQ_FIRST(&vpn_p->tmp_sgrpt_list)) {
        pim_jp_tmp_sgrpt_remove(if_minfo_p);
    }
}

void pim_jp_handle_xg_join_sgrpt(t_pim_if *if_p, t_pim_if_minfo *xg_if_minfo_p)
{
    t_pim_vpn *vpn_p = vpn_of(if_p);
    const t_ipaddr *group = &xg_if_minfo_p->minfo_p->group;
    for (t_pim_minfo *minfo_p = pim_minfo_group_first(vpn_p, group);
         minfo_p != nullptr && pim_minfo_cmp_group(&minfo_p->group, group) == 0;
         minfo_p = avl_next(&vpn_p->minfo_db, minfo_p)) {
        if (minfo_p->type != PIM_TYPE_SG_RPT) {
            continue;
        }
        if (t_pim_if_minfo *if_minfo_p = pim_if_minfo_find_from_minfo(if_p, minfo_p)) {
            (void)pim_jp_dstream_sm_xg_join_sgrpt(if_p, if_minfo_p);
        }
    }
}

void pim_jp_handle_eom(t_pim_vpn *vpn_p)
{
    // Taken from the head each time: processing a record may delete others.
    while (t_pim_if_minfo *if_minfo_p = TAILQ_FIRST(&vpn_p->tmp_sgrpt_list)) {
        pim_jp_tmp_sgrpt_remove(if_minfo_p);
        pim_jp_eom(if_minfo_p);
        pim_daemon_process_urgent_timers();
    }
}
