// PIM on the wire: the receive path of an interface's raw socket (read,
// validate, count, dispatch to the neighbor, Join/Prune and Assert handlers)
// and the send side (Hello, Join/Prune, Assert to ALL-PIM-ROUTERS).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/avl.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_defs.h"
#include "daemon/pim_pkt_codec.h"

struct t_pim_daemon;
struct t_pim_if;
struct t_pim_minfo;
struct t_pim_nbr;
struct t_pim_vpn;

inline constexpr uint32_t PIM_ALL_ROUTERS = 0xE000000D; // 224.0.0.13
inline constexpr uint8_t PIM_IP_PROTO = 103;

// Received datagrams are read into the receive buffer and decoded in place;
// messages are built in the transmit buffer, so a message sent while a
// received one is being decoded never overwrites it.
extern uint8_t g_pim_tx_rx_buf[PIM_PKT_RX_BUF_LEN];
extern uint8_t g_pim_tx_buf[PIM_PKT_BUF_LEN];
extern t_pim_pkt_src_addr g_pim_jp_join_src_addr[PIM_JP_MAX_SRCS];
extern t_pim_pkt_src_addr g_pim_jp_prune_src_addr[PIM_JP_MAX_SRCS];

// A flood of bad packets must not flood the log: reject lines of every
// receive path share one budget per second.
bool pim_pkt_reject_log_allowed();
#define PIM_REJECT_LOG(fmt, ...)                                                                   \
    do {                                                                                           \
        if (pim_pkt_reject_log_allowed()) {                                                        \
            PIM_LOG(fmt, ##__VA_ARGS__);                                                           \
        }                                                                                          \
    } while (0)

// Receive side.
e_pim_status pim_pkt_rx(t_pim_daemon *daemon_p, t_pim_if *if_p);
// Validates and dispatches one datagram as read from the raw socket (IP header
// included); len is the number of bytes read.
e_pim_status pim_pkt_decode(t_pim_daemon *daemon_p, t_pim_if *if_p, const uint8_t *dgram,
                            size_t len);
// The per-type handlers get the datagram's IP header (sender in src_ip) and
// the whole PIM message, header included.
e_pim_status pim_pkt_decode_hello(t_pim_daemon *daemon_p, t_pim_if *if_p, const t_pim_ip_header &ip,
                                  std::span<const uint8_t> pim);
e_pim_status pim_pkt_decode_jp(t_pim_daemon *daemon_p, t_pim_if *if_p, const t_pim_ip_header &ip,
                               std::span<const uint8_t> pim);
e_pim_status pim_pkt_decode_assert(t_pim_daemon *daemon_p, t_pim_if *if_p,
                                   const t_pim_ip_header &ip, std::span<const uint8_t> pim);
e_pim_status pim_pkt_process_jp_group(t_pim_daemon *daemon_p, t_pim_if *if_p, t_pim_nbr *nbr_p,
                                      const t_ipaddr *src, t_pim_pkt_jp *jp);
bool pim_pkt_if_subnet_check(t_pim_daemon *daemon_p, t_pim_if *if_p, uint32_t src);

// Send side.
e_pim_status pim_pkt_encode_hello(t_pim_if *if_p, bool zero_holdtime);
// Sends a Join/Prune in as few messages as it fits (see pim_pkt_jp_build),
// counting and dumping each.
e_pim_status pim_pkt_tx_jp(t_pim_if *if_p, const t_pim_jp_tx &jp);
e_pim_status pim_pkt_encode_assert(t_pim_if *if_p, const t_ipaddr *source, const t_ipaddr *group,
                                   const t_pim_assert_metric *metric);
// An (S,G,rpt) prune of a (*,G) Join being built, ordered by
// pim_minfo_sgrpt_prune_cmp (group, then source).
struct t_pim_pkt_sgrpt_prune {
    avl_node_t node;
    t_pim_minfo *sgrpt_p;
};
int pim_minfo_sgrpt_prune_cmp(const void *a, const void *b);
// Adds to the tree one prune per source of the group's (S,G) and (S,G,rpt)
// entries whose PruneDesired(S,G,rpt) is true.
void pim_pkt_prepare_xg_join_sgrpt_prunes(t_pim_vpn *vpn_p, t_pim_minfo *xg_p, avl_tree_t *tree);
// Checksums and sends one PIM message on the interface.
e_pim_status pim_pkt_tx(t_pim_if *if_p, uint8_t *buf, size_t len);
// Join/Prune holdtime announced on an interface: 3.5 join intervals, seconds.
uint16_t pim_pkt_jp_holdtime(const t_pim_if *if_p);
