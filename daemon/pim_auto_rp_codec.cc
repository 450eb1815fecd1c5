#include "daemon/pim_auto_rp_codec.h"

namespace
{

constexpr size_t IPV4_MIN_HDR_LEN = 20;

uint16_t rd16(std::span<const uint8_t> b, size_t off)
{
    return static_cast<uint16_t>(b[off] << 8 | b[off + 1]);
}

uint32_t rd32(std::span<const uint8_t> b, size_t off)
{
    return static_cast<uint32_t>(b[off]) << 24 | static_cast<uint32_t>(b[off + 1]) << 16 |
           static_cast<uint32_t>(b[off + 2]) << 8 | b[off + 3];
}

} // namespace

e_pim_auto_rp_parse pim_auto_rp_parse(std::span<const uint8_t> dgram, t_pim_auto_rp_msg &msg)
{
    msg = t_pim_auto_rp_msg{};
    if (dgram.size() < IPV4_MIN_HDR_LEN || (dgram[0] >> 4) != 4) {
        return PIM_AUTO_RP_ERR_IP;
    }
    size_t ihl = (dgram[0] & 0x0Fu) * 4u;
    size_t total = rd16(dgram, 2);
    // The IP header's lengths are believed only as far as the bytes read.
    if (ihl < IPV4_MIN_HDR_LEN || total < ihl || total > dgram.size()) {
        return PIM_AUTO_RP_ERR_IP;
    }
    IPADDR_SET_V4(&msg.src, rd32(dgram, 12));
    IPADDR_SET_V4(&msg.dst, rd32(dgram, 16));
    msg.total_len = static_cast<uint16_t>(total);
    msg.payload_len = static_cast<int>(total) - static_cast<int>(ihl + PIM_AUTO_RP_UDP_HDR_LEN);

    uint32_t dst = msg.dst.u.addr4;
    if (dst != PIM_AUTO_RP_ANNOUNCE_GROUP && dst != PIM_AUTO_RP_MAPPING_GROUP) {
        return PIM_AUTO_RP_ERR_DEST;
    }
    if (msg.payload_len < static_cast<int>(PIM_AUTO_RP_MIN_LEN)) {
        return PIM_AUTO_RP_ERR_SHORT;
    }
    std::span<const uint8_t> payload =
        dgram.subspan(ihl + PIM_AUTO_RP_UDP_HDR_LEN, static_cast<size_t>(msg.payload_len));
    msg.type = payload[0] & 0x0Fu;
    msg.rp_count = payload[1];
    msg.holdtime = rd16(payload, 2);
    if (payload.size() > PIM_AUTO_RP_HDR_LEN) {
        msg.rp_entries = payload.subspan(PIM_AUTO_RP_HDR_LEN);
    }
    if ((msg.type == PIM_AUTO_RP_TYPE_ANNOUNCE && dst != PIM_AUTO_RP_ANNOUNCE_GROUP) ||
        (msg.type == PIM_AUTO_RP_TYPE_MAPPING && dst != PIM_AUTO_RP_MAPPING_GROUP)) {
        return PIM_AUTO_RP_ERR_TYPE_DEST;
    }
    if (msg.type != PIM_AUTO_RP_TYPE_ANNOUNCE && msg.type != PIM_AUTO_RP_TYPE_MAPPING) {
        return PIM_AUTO_RP_ERR_UNKNOWN;
    }
    if (msg.type == PIM_AUTO_RP_TYPE_MAPPING &&
        !pim_auto_rp_entries_fit(msg.rp_entries, msg.rp_count)) {
        return PIM_AUTO_RP_ERR_TRUNCATED;
    }
    return PIM_AUTO_RP_OK;
}

bool pim_auto_rp_entries_fit(std::span<const uint8_t> entries, uint8_t rp_count)
{
    size_t off = 0;
    for (unsigned i = 0; i < rp_count; i++) {
        if (entries.size() - off < PIM_AUTO_RP_RP_LEN) {
            return false;
        }
        size_t groups = entries[off + 5];
        off += PIM_AUTO_RP_RP_LEN;
        if ((entries.size() - off) / PIM_AUTO_RP_GROUP_LEN < groups) {
            return false;
        }
        off += groups * PIM_AUTO_RP_GROUP_LEN;
    }
    return true;
}

t_pim_auto_rp_pair pim_auto_rp_pair_at(std::span<const uint8_t> rp_entry,
                                       std::span<const uint8_t> group_entry)
{
    t_pim_auto_rp_pair pair{};
    IPADDR_SET_V4(&pair.rp, rd32(rp_entry, 0));
    pair.range.prefixlen = group_entry[1];
    IPADDR_SET_V4(&pair.range.addr, rd32(group_entry, 2));
    return pair;
}
