// Packet helpers of the user-space data path: the interface socket and the
// per-packet checks and rewrites.
#pragma once

#include <cstddef>
#include <cstdint>

struct t_ftmd_ipv4 {
    uint32_t source; // host order
    uint32_t group;
    uint16_t total_len;
};

// An AF_PACKET socket on the interface of the current namespace, seeing only
// routable IPv4 multicast (not 224.0.0.0/24) and not its own transmissions;
// the interface's MAC address into mac. -1 (logged) on failure.
int ftmd_packet_socket(uint32_t if_index, uint8_t mac[6]);

// An Ethernet frame holding a whole IPv4 multicast packet with a valid header
// checksum; false for anything else.
bool ftmd_parse_ipv4(const uint8_t *frame, size_t len, t_ftmd_ipv4 *out);

// Decrements the TTL of the IPv4 header and updates its checksum; false (and
// nothing changed) when the packet may not be forwarded (TTL 1 or 0).
bool ftmd_ttl_decrement(uint8_t *ip_hdr);

// Completes the UDP or TCP checksum of a packet whose sender left it to the
// device (a local sender over veth hands it on half done).
void ftmd_l4_csum_complete(uint8_t *ip_hdr, size_t total_len);

// Ethernet header to the group's MAC address from src_mac.
void ftmd_eth_header(uint8_t *hdr, uint32_t group, const uint8_t src_mac[6]);
