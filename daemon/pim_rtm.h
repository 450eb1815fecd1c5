// The link to the route table manager: one client connection per PIM-enabled
// VPN, carrying control messages behind a 6-byte application header. Over it
// the daemon learns the VPN's interfaces (existence, kernel index, state,
// addresses) and the next hops of the addresses it registered.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/ip_util.h"
#include "daemon/pim_defs.h"

struct msgq_handle_t;
struct t_pim_next_hop;
struct t_pim_vpn;
struct MRtmControl;
struct MRtmControlInterface;
struct MRtmControlNhres;
struct MRtmControlNhresNextHop;

inline constexpr const char *PIM_RTM_SOCK_PATH = "/var/run/quagga/zebra_protobuf_ctrl.api";

// The VPN's control socket path: the base path, with ".<vpn id>" unless VPN 0.
void pim_rtm_path(uint64_t vpn_id, char *buf, size_t size);

e_pim_status pim_rtm_init(t_pim_vpn *vpn_p);
void pim_rtm_destroy(t_pim_vpn *vpn_p);

e_pim_status pim_rtm_send_control_msg(msgq_handle_t *handle, const MRtmControl *msg_p);
// 0 on success, 1 on failure.
int pim_rtm_send_hello_msg(t_pim_vpn *vpn_p);
int pim_rtm_send_interface_register_msg(t_pim_vpn *vpn_p);
int pim_rtm_send_nhres_register(t_pim_vpn *vpn_p, const t_ipaddr *addr, bool reg);

void pim_rtm_conn_up(msgq_handle_t *handle, void *vpn_p);
void pim_rtm_conn_down(msgq_handle_t *handle, void *vpn_p);
void pim_rtm_read_cb(msgq_handle_t *handle, void *msg, uint32_t len, void *vpn_p);
void pim_rtm_write_cb(msgq_handle_t *handle, void *vpn_p);

// Checks, unpacks and applies one received message (header included).
e_pim_status pim_rtm_pkt_decode(t_pim_vpn *vpn_p, const uint8_t *msg, uint32_t len,
                                uint64_t vpn_id);
void pim_rtm_proc_if_state_chg(t_pim_vpn *vpn_p, const MRtmControlInterface *intf_p);
void pim_rtm_proc_nhres_update(t_pim_vpn *vpn_p, const MRtmControlNhres *nhres_p);
void pim_rtm_proc_nhres_lookup(t_pim_vpn *vpn_p, const MRtmControlNhresNextHop *resp_p,
                               t_pim_next_hop *nh_p);
