// Auto-RP on the wire: RP announcements (type 1, to 224.0.1.39) and RP
// mappings (type 2, to 224.0.1.40) carried in UDP. The decoder works on the
// IP datagram as a raw UDP socket delivers it and never reads past it,
// whatever the counts inside claim.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/ip_util.h"

inline constexpr uint32_t PIM_AUTO_RP_ANNOUNCE_GROUP = 0xE0000127; // 224.0.1.39
inline constexpr uint32_t PIM_AUTO_RP_MAPPING_GROUP = 0xE0000128;  // 224.0.1.40
inline constexpr uint8_t PIM_AUTO_RP_TYPE_ANNOUNCE = 1;
inline constexpr uint8_t PIM_AUTO_RP_TYPE_MAPPING = 2;
// Largest datagram read; longer ones arrive cut and are refused.
inline constexpr size_t PIM_AUTO_RP_MAX_DGRAM = 2000;
inline constexpr size_t PIM_AUTO_RP_UDP_HDR_LEN = 8;
// Type, RP count and holdtime; the reserved word after them may be missing.
inline constexpr size_t PIM_AUTO_RP_MIN_LEN = 4;
inline constexpr size_t PIM_AUTO_RP_HDR_LEN = 8;
inline constexpr size_t PIM_AUTO_RP_RP_LEN = 6;    // RP address, version, group count
inline constexpr size_t PIM_AUTO_RP_GROUP_LEN = 6; // flags, mask length, prefix

// Why a datagram is refused; each has its own log line and counter.
enum e_pim_auto_rp_parse : uint8_t {
    PIM_AUTO_RP_OK = 0,
    PIM_AUTO_RP_ERR_IP = 1,        // no complete IPv4 header, or lengths beyond what was read
    PIM_AUTO_RP_ERR_DEST = 2,      // not sent to one of the two groups
    PIM_AUTO_RP_ERR_SHORT = 3,     // payload shorter than PIM_AUTO_RP_MIN_LEN
    PIM_AUTO_RP_ERR_TYPE_DEST = 4, // announcement or mapping sent to the other group
    PIM_AUTO_RP_ERR_UNKNOWN = 5,   // neither announcement nor mapping
    PIM_AUTO_RP_ERR_TRUNCATED = 6, // RP or group counts run past the datagram's end
};

struct t_pim_auto_rp_msg {
    t_ipaddr src;                        // the sender: announcer or mapping agent
    t_ipaddr dst;                        // the group it was sent to
    uint8_t type;                        // low 4 bits of the first byte
    uint8_t rp_count;                    // RP entries announced
    uint16_t holdtime;                   // seconds
    uint16_t total_len;                  // IP total length: the bytes worth keeping
    int payload_len;                     // total length - IP header - UDP header (may be negative)
    std::span<const uint8_t> rp_entries; // after the 8-byte header; empty if shorter
};

// Decodes the headers of a datagram of len bytes (IP header first). Checks in
// this order: IP header, destination, payload length, type against its group
// (an unknown type is reported after the known ones are checked), and for a
// mapping that every counted RP and group entry lies within the datagram.
// The message fields are set as far as the checks got.
e_pim_auto_rp_parse pim_auto_rp_parse(std::span<const uint8_t> dgram, t_pim_auto_rp_msg &msg);

// One (RP, group range) pair of a mapping; ranges keep their host bits. The
// negative-prefix bit is not looked at: such a range maps like any other.
struct t_pim_auto_rp_pair {
    t_ipaddr rp;
    t_ipprefix range;
};

// Whether the counted RP entries of a mapping, with their group entries, lie
// within the bytes after the header.
bool pim_auto_rp_entries_fit(std::span<const uint8_t> entries, uint8_t rp_count);
t_pim_auto_rp_pair pim_auto_rp_pair_at(std::span<const uint8_t> rp_entry,
                                       std::span<const uint8_t> group_entry);

// Visits the pairs of a mapping's RP entries in message order; nothing when
// they do not fit (false).
template <typename F>
bool pim_auto_rp_walk(std::span<const uint8_t> entries, uint8_t rp_count, F &&visit)
{
    if (!pim_auto_rp_entries_fit(entries, rp_count)) {
        return false;
    }
    size_t off = 0;
    for (unsigned i = 0; i < rp_count; i++) {
        std::span<const uint8_t> rp = entries.subspan(off, PIM_AUTO_RP_RP_LEN);
        off += PIM_AUTO_RP_RP_LEN;
        for (unsigned g = 0; g < rp[5]; g++) {
            visit(pim_auto_rp_pair_at(rp, entries.subspan(off, PIM_AUTO_RP_GROUP_LEN)));
            off += PIM_AUTO_RP_GROUP_LEN;
        }
    }
    return true;
}
