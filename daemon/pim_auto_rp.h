// Auto-RP: RP announcements and mappings received on a VPN's interfaces and
// loopback tunnel interface. Each (sender, group) gets a routing entry that
// floods the messages from its RPF neighbor to the VPN's other interfaces
// (the forwarding plane does it; the first datagram of a new entry is re-sent
// by the daemon itself), and every mapping message replaces the VPN's learned
// RP table. The daemon never originates either message.
#pragma once

#include <cstddef>
#include <cstdint>

#include "daemon/pim_defs.h"

struct t_pim_daemon;
struct t_pim_if;
struct t_pim_minfo;
struct t_pim_vpn;
struct t_timer;

// with_interfaces: also open (close) the Auto-RP sockets of the VPN's running
// interfaces, as a configuration change needs; PIM enabling leaves that to
// the interfaces themselves. Disabling releases every entry, socket and
// forwarding entry of the VPN's Auto-RP.
e_pim_status pim_auto_rp_enable(t_pim_vpn *vpn_p, bool with_interfaces = false);
void pim_auto_rp_disable(t_pim_vpn *vpn_p, bool with_interfaces = false);

// The VPN's loopback tunnel interface socket.
e_pim_status pim_auto_rp_tun_if_enable(t_pim_vpn *vpn_p);
e_pim_status pim_auto_rp_tun_if_disable(t_pim_vpn *vpn_p);
void pim_auto_rp_tun_if_read_event_cb(int fd, short events, void *arg);

// Receive path: reads one datagram from an Auto-RP socket (if_p is nullptr
// for the loopback tunnel interface's), then decodes and processes it.
e_pim_status pim_pkt_auto_rp_rx(t_pim_vpn *vpn_p, t_pim_if *if_p, int fd);
e_pim_status pim_pkt_auto_rp_decode(t_pim_vpn *vpn_p, t_pim_if *if_p, const uint8_t *dgram,
                                    size_t len);

// Entries: evaluation after a change of the sender's resolution or of the
// neighbors, interfaces joining (up) or leaving the flood lists, timers.
void pim_auto_rp_update_minfo(t_pim_minfo *minfo_p);
void pim_auto_rp_update_minfo_if_all(t_pim_vpn *vpn_p, t_pim_if *if_p, bool up);
void pim_auto_rp_update_minfo_if(t_pim_minfo *minfo_p, t_pim_if *if_p, bool up);
void pim_auto_rp_delete_minfo_all(t_pim_vpn *vpn_p);
void pim_auto_rp_pkt_timer_cb(t_timer *timer, void *daemon_p);
void pim_auto_rp_holdtime_expiry_cb(t_timer *timer, void *minfo_p);
