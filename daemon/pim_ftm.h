// The forwarding table manager link: one server connection for the whole
// process over which routing entries are programmed as forwarding entries
// (incoming interface and outgoing list) and through which the forwarding
// plane reports sources above the SPT threshold and traffic arriving on an
// outgoing interface.
#pragma once

#include <cstdint>

#include "daemon/pim_defs.h"

struct PbPimFtmIf;
struct PbPimFtmMsg;
struct t_ipaddr;
struct t_pim_daemon;
struct t_pim_if;
struct t_pim_minfo;
struct t_pim_vpn;

// Largest outgoing lists of one add message.
inline constexpr uint32_t PIM_FTM_MAX_SERVICE_OIF = 64;
inline constexpr uint32_t PIM_FTM_MAX_TUNNEL_OIF = 256;
// Operational message id of the outgoing-list limit lines.
inline constexpr int PIM_FTM_MSG_ID_OIL_LIMIT = 1900005;

// Where the reports go and how messages leave; tests replace them.
struct t_pim_ftm_ops {
    e_pim_status (*spt_sg_create)(t_pim_daemon *daemon_p, uint64_t vpn_id, const t_ipaddr *source,
                                  const t_ipaddr *group);
    e_pim_status (*spt_sg_delete)(t_pim_daemon *daemon_p, uint64_t vpn_id, const t_ipaddr *source,
                                  const t_ipaddr *group);
    void (*dup_traffic)(t_pim_daemon *daemon_p, t_pim_vpn *vpn_p, const t_ipaddr *source,
                        const t_ipaddr *group, uint32_t kernel_if_index);
    bool (*ready)(const t_pim_daemon *daemon_p);
    e_pim_status (*send)(t_pim_daemon *daemon_p, const PbPimFtmMsg *msg_p);
};
extern t_pim_ftm_ops g_pim_ftm_ops;

e_pim_status pim_ftm_init(t_pim_daemon *daemon_p);
void pim_ftm_destroy(t_pim_daemon *daemon_p);
e_pim_status pim_ftm_add(t_pim_minfo *minfo_p);
e_pim_status pim_ftm_delete(t_pim_minfo *minfo_p);
e_pim_status pim_ftm_add_group(t_pim_vpn *vpn_p, const t_ipaddr *group);
e_pim_status pim_ftm_del_group(t_pim_vpn *vpn_p, const t_ipaddr *group);
void pim_ftm_spt_reprogram(t_pim_vpn *vpn_p);
bool pim_ftm_spt_threshold_check(const t_pim_minfo *minfo_p);
void pim_ftm_if_format(const t_pim_if *if_p, uint32_t index, PbPimFtmIf *out_p);
e_pim_status pim_ftm_send_message(t_pim_daemon *daemon_p, const PbPimFtmMsg *msg_p);
