// Shortest-path-tree switchover: (S,G) entries held by their SPT flag while the
// forwarding plane reports the source above the SPT threshold.

#include "daemon/pim_daemon.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_jp.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_vpn.h"

namespace
{

// Releases the SPT hold of an (S,G) entry of the VPN.
e_pim_status spt_sg_delete(t_pim_vpn *vpn_p, const t_ipaddr *source, const t_ipaddr *group)
{
    t_pim_minfo *minfo_p = pim_minfo_find(vpn_p, PIM_TYPE_SG, group, source, nullptr);
    if (minfo_p == nullptr) {
        PIM_LOG("No S,G entry %s, %s to delete for SPT switchover", ipaddr_str(source).c,
                ipaddr_str(group).c);
        return PIM_STATUS_FAIL;
    }
    minfo_p->minfo_flags &= ~PIM_MINFO_FLAG_SPT;
    pim_minfo_xg_trigger_upstream(minfo_p);
    pim_et_process_join_change(minfo_p, nullptr);
    return PIM_STATUS_OK;
}

} // namespace

void pim_minfo_clear_spt_bit(t_pim_minfo *minfo_p)
{
    t_pim_vpn *vpn_p = minfo_p->vpn_p;
    t_ipaddr group = minfo_p->group;
    for (t_pim_minfo *cur_p = pim_minfo_group_first(vpn_p, &group);
         cur_p != nullptr && pim_minfo_cmp_group(&cur_p->group, &group) == 0;
         cur_p = avl_next(&vpn_p->minfo_db, cur_p)) {
        if (cur_p->type != PIM_TYPE_SG) {
            continue;
        }
        cur_p->minfo_flags &= ~PIM_MINFO_FLAG_SPT;
        if (pim_minfo_debug_on(minfo_p, PIM_DEBUG_LEVEL_DETAIL)) {
            PIM_LOG("vpn: %lu %s:Clearing SPT bit for entry %s",
                    static_cast<unsigned long>(vpn_p->vpn_id), pim_minfo_str(minfo_p).c,
                    pim_minfo_str(cur_p).c);
        }
    }
}

e_pim_status pim_minfo_spt_sg_create(t_pim_daemon *daemon_p, uint64_t vpn_id,
                                     const t_ipaddr *source, const t_ipaddr *group)
{
    t_pim_vpn *vpn_p = pim_vpn_find(daemon_p, vpn_id, nullptr);
    if (vpn_p == nullptr) {
        PIM_LOG("Failed to find vpn: %lu", static_cast<unsigned long>(vpn_id));
        return PIM_STATUS_FAIL;
    }
    t_pim_minfo *minfo_p =
        pim_minfo_find_or_create(vpn_p, nullptr, PIM_TYPE_SG, group, source, nullptr);
    if (minfo_p == nullptr) {
        PIM_LOG("Failed to create S,G entry %s, %s after SPT switchover", ipaddr_str(source).c,
                ipaddr_str(group).c);
        return PIM_STATUS_FAIL;
    }
    // The flag keeps JoinDesired true, so the entry stays while it is set.
    minfo_p->minfo_flags |= PIM_MINFO_FLAG_SPT;
    pim_et_process_join_change(minfo_p, nullptr);
    pim_minfo_xg_trigger_upstream(minfo_p);
    return PIM_STATUS_OK;
}

e_pim_status pim_minfo_spt_sg_delete(t_pim_daemon *daemon_p, uint64_t vpn_id,
                                     const t_ipaddr *source, const t_ipaddr *group)
{
    t_pim_vpn *vpn_p = pim_vpn_find(daemon_p, vpn_id, nullptr);
    if (vpn_p == nullptr) {
        PIM_LOG("Failed to find vpn: %lu", static_cast<unsigned long>(vpn_id));
        return PIM_STATUS_FAIL;
    }
    return spt_sg_delete(vpn_p, source, group);
}

void pim_minfo_spt_sg_delete_all(t_pim_vpn *vpn_p)
{
    unsigned long id = static_cast<unsigned long>(vpn_p->vpn_id);
    PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_DETAIL,
                  "vpn: %lu Deleting all (S,G) with SPT flag on vpn: %lu", id, id);
    if (vpn_p->minfo_db.avl_compar == nullptr) {
        return;
    }
    // Releasing one entry may delete it: step on by key.
    for (auto *cur_p = avl_first<t_pim_minfo>(&vpn_p->minfo_db); cur_p != nullptr;) {
        e_pim_type type = cur_p->type;
        t_ipaddr group = cur_p->group;
        t_ipaddr source = cur_p->source;
        if (type == PIM_TYPE_SG && (cur_p->minfo_flags & PIM_MINFO_FLAG_SPT) != 0) {
            t_pim_minfo_str label = pim_minfo_str(cur_p);
            if (spt_sg_delete(vpn_p, &source, &group) != PIM_STATUS_OK) {
                PIM_LOG("Failed to remove SPT bit from %s", label.c);
            }
            pim_daemon_process_urgent_timers();
        }
        cur_p = pim_minfo_find_next(vpn_p, type, &group, &source);
    }
}
