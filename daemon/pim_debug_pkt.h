// Packet debugging: prints Hello, Join/Prune and Assert messages as they are
// received or sent, when the interface's VPN has packet debugging on for that
// type and direction.
#pragma once

#include <cstdint>
#include <span>

#include "daemon/pim_debug.h"
#include "daemon/pim_pkt_codec.h"

struct t_pim_if;

// True when a message of this type and direction is to be printed.
bool pim_debug_pkt_on(const t_pim_if *if_p, uint8_t type, e_pim_pkt_dir dir);

// ip: the received datagram's IP header, or nullptr for a sent message (a
// header is then made up from the interface address and ALL-PIM-ROUTERS).
// pim: the whole PIM message, header included.
void pim_debug_pkt_hello(const t_pim_if *if_p, const t_pim_ip_header *ip,
                         std::span<const uint8_t> pim, e_pim_pkt_dir dir);
void pim_debug_pkt_jp(const t_pim_if *if_p, const t_pim_ip_header *ip, std::span<const uint8_t> pim,
                      e_pim_pkt_dir dir);
void pim_debug_pkt_assert(const t_pim_if *if_p, const t_pim_ip_header *ip,
                          std::span<const uint8_t> pim, e_pim_pkt_dir dir);
