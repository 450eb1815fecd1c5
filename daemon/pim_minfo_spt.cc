// Shortest-path-tree switchover: (S,G) entries held by their SPT flag while the
// forwarding plane reports the source above the SPT threshold, and the test
// command that creates or releases one by hand.
#include <cstdlib>
#include <cstring>

#include "daemon/pim_daemon.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_jp.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_vpn.h"
#include "zconfd/zconfd.h"

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
                    static_cast<unsigned long>(vpn_p->vpn_id), minfo_p->minfo_str,
                    cur_p->minfo_str);
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
            char label[PIM_MINFO_STR_LEN];
            memcpy(label, cur_p->minfo_str, sizeof(label));
            if (spt_sg_delete(vpn_p, &source, &group) != PIM_STATUS_OK) {
                PIM_LOG("Failed to remove SPT bit from %s", label);
            }
            pim_daemon_process_urgent_timers();
        }
        cur_p = pim_minfo_find_next(vpn_p, type, &group, &source);
    }
}

// Arguments: add or delete, group, source, VPN id (a leading command word, as
// the interface bounce receives it, is skipped).
int pim_minfo_spt_test(t_zconfd_uinfo *uinfo, const char *, int argc, const char **argv)
{
    if (argc < 4) {
        zconfd_cli_printf(uinfo, "Usage: add|delete <group> <source> <vpn id>\n");
        return 0;
    }
    const char **args = argv + (argc - 4);
    const char *op = args[0];
    bool add = strcmp(op, "add") == 0;
    if (!add && strcmp(op, "delete") != 0) {
        zconfd_cli_printf(uinfo, "Valid input is add or delete but not %s\n", op);
        return 0;
    }
    t_ipaddr group;
    t_ipaddr source;
    if (str_to_ip(args[1], &group) != 1 || !ipaddr_is_multicast(&group)) {
        zconfd_cli_printf(uinfo, "Please provide proper group address: %s\n", args[1]);
        return 0;
    }
    if (str_to_ip(args[2], &source) != 1 || IPADDR_IS_ZERO(&source) ||
        !ipaddr_is_unicast(&source)) {
        zconfd_cli_printf(uinfo,
                          "Please provide proper Srouce address for (S,G) entry: %s not valid "
                          "unicast address\n",
                          args[2]);
        return 0;
    }
    char *end = nullptr;
    unsigned long vpn_id = strtoul(args[3], &end, 10);
    t_pim_vpn *vpn_p = nullptr;
    if (g_kemd_p != nullptr && end != args[3] && *end == '\0') {
        vpn_p = pim_vpn_find(g_kemd_p, vpn_id, nullptr);
    }
    if (vpn_p == nullptr) {
        zconfd_cli_printf(uinfo, "Can't find vpn %lu\n", vpn_id);
        return 0;
    }
    if (!vpn_p->pim_enabled) {
        zconfd_cli_printf(uinfo, "PIM is not enabled on vpn %lu\n", vpn_id);
        return 0;
    }
    zconfd_cli_printf(uinfo, "%s (%s, %s) %lu\n", add ? "Add" : "Delete", ipaddr_str(&source).c,
                      ipaddr_str(&group).c, vpn_id);
    if (add) {
        if (pim_minfo_spt_sg_create(g_kemd_p, vpn_id, &source, &group) != PIM_STATUS_OK) {
            zconfd_cli_printf(uinfo, "Failed to create SPT S,G entry\n");
        }
    } else if (pim_minfo_spt_sg_delete(g_kemd_p, vpn_id, &source, &group) != PIM_STATUS_OK) {
        zconfd_cli_printf(uinfo, "Failed to delete SPT S,G entry\n");
    }
    return 0;
}
