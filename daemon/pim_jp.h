// Join/Prune: the downstream per-interface machines, the handlers that turn
// received Joins and Prunes into state, and the assembly of our own
// Join/Prune messages, packed many entries per message per upstream neighbor.
#pragma once

#include <cstdint>

#include "common/ip_util.h"
#include "daemon/pim_defs.h"
#include "daemon/pim_minfo.h"

struct t_pim_if;
struct t_pim_vpn;
struct t_timer;
struct t_zconfd_uinfo;
struct t_pim_daemon;

// Downstream machine of (*,G) and (S,G) records.
int pim_jp_dstream_sm_join_xg(t_pim_if *if_p, t_pim_if_minfo *if_minfo_p, uint16_t holdtime);
int pim_jp_dstream_sm_prune_xg(t_pim_if *if_p, t_pim_if_minfo *if_minfo_p);
int pim_jp_dstream_sm_jt_expiry_xg(t_pim_if_minfo *if_minfo_p);
int pim_jp_dstream_sm_ppt_expiry_xg(t_pim_if_minfo *if_minfo_p);
// Downstream machine of (S,G,rpt) records.
int pim_jp_dstream_sm_join_sgrpt(t_pim_if *if_p, t_pim_if_minfo *if_minfo_p, uint16_t holdtime);
int pim_jp_dstream_sm_prune_sgrpt(t_pim_if *if_p, t_pim_if_minfo *if_minfo_p, uint16_t holdtime);
int pim_jp_dstream_sm_xg_join_sgrpt(t_pim_if *if_p, t_pim_if_minfo *if_minfo_p);
int pim_jp_dstream_sm_eom_sgrpt(t_pim_if_minfo *if_minfo_p);
int pim_jp_dstream_sm_jt_expiry_sgrpt(t_pim_if_minfo *if_minfo_p);
int pim_jp_dstream_sm_ppt_expiry_sgrpt(t_pim_if_minfo *if_minfo_p);
// The prune-pending time of an interface: its LAN delays with two or more
// neighbors, 100 ms otherwise.
uint32_t pim_jp_prune_pending_ms(const t_pim_if *if_p);

// Timer callbacks of the per-interface records and the expiry handlers.
void pim_jp_join_expiry_cb(t_timer *timer, void *if_minfo_p);
void pim_jp_prune_pending_cb(t_timer *timer, void *if_minfo_p);
void pim_jp_join_expiry_xg(t_pim_if_minfo *if_minfo_p);
void pim_jp_join_expiry_sgrpt(t_pim_if_minfo *if_minfo_p);
void pim_jp_prune_pending_expiry_xg(t_pim_if_minfo *if_minfo_p);
void pim_jp_prune_pending_expiry_sg(t_pim_if_minfo *if_minfo_p);
void pim_jp_prune_pending_expiry_sgrpt(t_pim_if_minfo *if_minfo_p);
void pim_jp_eom(t_pim_if_minfo *if_minfo_p);
void pim_jp_send_prune_echo(t_pim_if_minfo *if_minfo_p);

// Received Joins and Prunes. Joins return 0, or 1 when dropped.
int pim_jp_xg_join(t_pim_if *if_p, const t_ipaddr *group, const t_ipaddr *rp, uint16_t holdtime);
int pim_jp_sg_join(t_pim_if *if_p, const t_ipaddr *group, const t_ipaddr *src, uint16_t holdtime);
int pim_jp_sgrpt_join(t_pim_if *if_p, const t_ipaddr *group, const t_ipaddr *src,
                      uint16_t holdtime);
int pim_jp_sa_join(t_pim_if *if_p, const t_ipaddr *group, const t_ipaddr *src, uint16_t holdtime);
int pim_jp_xg_prune(t_pim_if *if_p, const t_ipaddr *group, const t_ipaddr *rp);
int pim_jp_sg_prune(t_pim_if *if_p, const t_ipaddr *group, const t_ipaddr *src);
int pim_jp_sgrpt_prune(t_pim_if *if_p, const t_ipaddr *group, const t_ipaddr *src,
                       uint16_t holdtime);
int pim_jp_sa_prune(t_pim_if *if_p, const t_ipaddr *group, const t_ipaddr *src);

// The unit protocol: reset the temporary list, deliver Joins then Prunes, then
// end-of-message processing.
void pim_jp_unit_begin(t_pim_vpn *vpn_p);
void pim_jp_handle_xg_join_sgrpt(t_pim_if *if_p, t_pim_if_minfo *xg_if_minfo_p);
void pim_jp_handle_eom(t_pim_vpn *vpn_p);
// Takes a record off the VPN's temporary list if it is on it.
void pim_jp_tmp_sgrpt_remove(t_pim_if_minfo *if_minfo_p);

// Sending. pim_pkt_encode_jp queues the entry's group record (Join or Prune)
// for the upstream neighbor on the interface; queued records of one
// interface and neighbor leave packed into as few messages as fit, when the
// event loop finishes its current event (or at once when a message fills).
// A (*,G) Join carries the (S,G,rpt) prunes of its group computed when the
// message is built, and is never split from them.
e_pim_status pim_pkt_encode_jp(t_pim_if *if_p, t_pim_minfo *minfo_p, const t_ipaddr *upstream,
                               bool prune);
// Sends everything queued on the interface now.
void pim_jp_tx_flush(t_pim_if *if_p);
// Sends everything queued in the daemon now (the deferred flush calls it).
void pim_jp_tx_flush_all(t_pim_daemon *daemon_p);
// Drops what is queued on an interface that goes away.
void pim_jp_tx_discard(t_pim_if *if_p);

// Management commands "pim_jp_test" and "pim_minfo_spt_test" (command form:
// output through zconfd_cli_printf).
int pim_jp_test(t_zconfd_uinfo *uinfo, const char *path, int argc, const char **argv);
int pim_minfo_spt_test(t_zconfd_uinfo *uinfo, const char *path, int argc, const char **argv);
