// Received Joins and Prunes, one tree at a time, from PIM neighbors, local
// membership and the overlay: find or create the entry and its record on the
// interface, run the downstream machine, start the upstream consequences.
// A unit (one group record) is: unit begin, Joins, Prunes, end of message.
#include "daemon/pim_jp.h"
#include <cstdlib>
#include <cstring>

#include "daemon/pim_chassis.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_if.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_rp_db.h"
#include "daemon/pim_subsys.h"
#include "daemon/pim_vpn.h"
#include "zconfd/zconfd.h"

namespace
{

unsigned long vpn_id_of(const t_pim_vpn *vpn_p)
{
    return static_cast<unsigned long>(vpn_p->vpn_id);
}

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
                      vpn_id_of(vpn_p), ipaddr_str(group).c, ipaddr_str(rp).c,
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
                    vpn_id_of(vpn_p), xg_p->minfo_str);
        return 0;
    }
    t_pim_minfo *sg_p = pim_minfo_find_or_create(vpn_p, if_p, PIM_TYPE_SG, group, src, nullptr);
    if (sg_p == nullptr) {
        PIM_LOG("Failed to create S,G entry %s, %s after S-A SPT switchover", ipaddr_str(src).c,
                ipaddr_str(group).c);
        return 1;
    }
    PIM_LOG_IPC(dbg, PIM_DEBUG_LEVEL_BASIC, "vpn: %lu Perform S-A SPT for: (S, G): %s",
                vpn_id_of(vpn_p), sg_p->minfo_str);
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
                      "vpn: %lu No S,G entry %s, %s to delete for SA.", vpn_id_of(vpn_p),
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
    const t_ipaddr *group = &xg_if_minfo_p->group;
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

// The operator's Join or Prune: argv ends with operation, group, source, RP,
// VPN id and interface name. A zero source means (*,G) with the RP.
int pim_jp_test(t_zconfd_uinfo *uinfo, const char *, int argc, const char **argv)
{
    if (argc < 6) {
        zconfd_cli_printf(uinfo, "Usage: add|delete <group> <source> <rp> <vpn id> <interface>\n");
        return 0;
    }
    const char **args = argv + (argc - 6);
    const char *op = args[0];
    bool add = strcmp(op, "add") == 0;
    if (!add && strcmp(op, "delete") != 0) {
        zconfd_cli_printf(uinfo, "Valid input is add or delete but not %s\n", op);
        return 0;
    }
    const char *name = args[5];
    char kernel_name[PIM_IF_NAME_LEN];
    if (!pim_chassis_kernel_name(name, kernel_name, sizeof(kernel_name))) {
        zconfd_cli_printf(uinfo, "Invalid interface name %s\n", name);
        return 0;
    }
    t_ipaddr group;
    t_ipaddr source;
    t_ipaddr rp;
    if (str_to_ip(args[1], &group) != 1 || !ipaddr_is_multicast(&group)) {
        zconfd_cli_printf(uinfo, "Please provide proper group address: %s\n", args[1]);
        return 0;
    }
    bool source_ok = str_to_ip(args[2], &source) == 1;
    bool xg = source_ok && IPADDR_IS_ZERO(&source);
    bool rp_ok = str_to_ip(args[3], &rp) == 1 && ipaddr_is_unicast(&rp);
    if (xg && !rp_ok) {
        zconfd_cli_printf(uinfo,
                          "Please provide proper RP address for (*,G) entry: %s not valid unicast "
                          "address\n",
                          args[3]);
        return 0;
    }
    if (!xg && (!source_ok || !ipaddr_is_unicast(&source))) {
        zconfd_cli_printf(uinfo,
                          "Please provide proper Srouce address for (S,G) entry: %s not valid "
                          "unicast address\n",
                          args[2]);
        return 0;
    }
    char *end = nullptr;
    unsigned long vpn_id = strtoul(args[4], &end, 10);
    t_pim_vpn *vpn_p = nullptr;
    if (g_kemd_p != nullptr && end != args[4] && *end == '\0') {
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
    t_pim_if *if_p = pim_if_find(vpn_p, kernel_name, PIM_IF_TYPE_LOCAL, nullptr, true);
    if (if_p == nullptr) {
        zconfd_cli_printf(uinfo, "Can't find interface %lu: %s\n", vpn_id, name);
        return 0;
    }
    if (!if_p->pim_enabled) {
        zconfd_cli_printf(uinfo, "PIM is not enabled on interface %lu: %s\n", vpn_id, name);
        return 0;
    }
    zconfd_cli_printf(uinfo, "%s (%s, %s) RP: %s on %lu:%s\n", add ? "Join" : "Prune",
                      ipaddr_str(&source).c, ipaddr_str(&group).c, args[3], vpn_id, name);
    e_pim_type type = xg ? PIM_TYPE_XG : PIM_TYPE_SG;
    const t_ipaddr *addr = xg ? &rp : &source;
    pim_jp_unit_begin(vpn_p);
    if (add) {
        (void)pim_et_jp_join(type, if_p, &group, addr, PIM_JP_HOLDTIME_FOREVER);
    } else {
        (void)pim_et_jp_prune(type, if_p, &group, addr);
    }
    pim_jp_handle_eom(vpn_p);
    return 0;
}
