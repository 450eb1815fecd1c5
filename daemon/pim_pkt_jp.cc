// Join/Prune body: upstream neighbor, holdtime and group records with their
// joined and pruned sources.
#include "daemon/pim_pkt_codec.h"

#include <algorithm>

namespace
{

// Group record header after the encoded group: joined and pruned counts.
constexpr size_t JP_GROUP_COUNTS = 4;
constexpr size_t JP_MAX_GROUPS = 255;

// Whether the encoded address at the reader has a length we know: a native
// encoding of IPv4 or IPv6. Otherwise *err says which field we cannot size
// and bad_value its value. A truncated address counts as known: decoding it
// reports the truncation.
bool addr_sized(const t_pim_rd &rd, e_pim_pkt_err &err, int32_t &bad_value)
{
    if (rd.left < 2) {
        return true;
    }
    if (rd.p[0] != PIM_AF_IPV4 && rd.p[0] != PIM_AF_IPV6) {
        err = PIM_PKT_ERR_ADDR_FAMILY;
        bad_value = rd.p[0];
        return false;
    }
    if (rd.p[1] != 0) {
        err = PIM_PKT_ERR_ADDR_ENCODING;
        bad_value = rd.p[1];
        return false;
    }
    return true;
}

// An address we cannot size ends the message, unless its record is the last
// one: then the record runs to the end of the message and is skipped whole.
e_pim_pkt_err unsized(t_pim_jp_rd &it, const t_pim_pkt_jp &jp, t_pim_pkt_jp_group &g,
                      e_pim_pkt_err err)
{
    if (it.next_group <= jp.num_groups) {
        return err;
    }
    (void)pim_rd_skip(it.rd, it.rd.left);
    g.num_joins = 0;
    g.num_prunes = 0;
    g.unreadable = true;
    return PIM_PKT_OK;
}

e_pim_pkt_err read_sources(t_pim_jp_rd &it, const t_pim_pkt_jp &jp, t_pim_pkt_jp_group &g,
                           uint16_t count, std::span<t_pim_pkt_src_addr> arr, int32_t &bad_value)
{
    if (count > arr.size()) {
        bad_value = count;
        return PIM_PKT_ERR_TOO_MANY_SRC;
    }
    for (uint16_t i = 0; i < count; i++) {
        e_pim_pkt_err err = PIM_PKT_OK;
        if (!addr_sized(it.rd, err, bad_value)) {
            return unsized(it, jp, g, err);
        }
        uint8_t family = 0;
        if (pim_pkt_decode_source_addr(it.rd, arr[i], family) == 0) {
            bad_value = i;
            return PIM_PKT_ERR_TRUNCATED;
        }
    }
    return PIM_PKT_OK;
}

size_t encoded_src_len(const t_ipaddr &a) { return IPADDR_IS_V6(&a) ? 20 : 8; }

size_t encoded_grp_len(const t_ipaddr &a) { return IPADDR_IS_V6(&a) ? 20 : 8; }

// Bytes of the first PIM_JP_MAX_SRCS sources of a list.
size_t sources_len(std::span<const t_pim_jp_src> list)
{
    size_t len = 0;
    for (size_t i = 0; i < list.size() && i < PIM_JP_MAX_SRCS; i++) {
        len += encoded_src_len(list[i].addr);
    }
    return len;
}

// Writes sources from list[next] on while they fit below limit, at most
// PIM_JP_MAX_SRCS; returns how many were written.
uint16_t put_sources(t_pim_wr &wr, size_t limit, std::span<const t_pim_jp_src> list, size_t &next)
{
    uint16_t n = 0;
    while (next < list.size() && n < PIM_JP_MAX_SRCS &&
           limit - wr.len >= encoded_src_len(list[next].addr)) {
        pim_pkt_encode_source_addr(wr, list[next].addr, list[next].flags);
        next++;
        n++;
    }
    return n;
}

void put_u16_at(t_pim_wr &wr, size_t at, uint16_t v)
{
    wr.buf[at] = static_cast<uint8_t>(v >> 8);
    wr.buf[at + 1] = static_cast<uint8_t>(v);
}

} // namespace

e_pim_pkt_err pim_pkt_jp_decode_hdr(std::span<const uint8_t> body, t_pim_jp_rd &it,
                                    t_pim_pkt_jp &jp, int32_t &bad_value)
{
    jp = t_pim_pkt_jp{};
    bad_value = 0;
    it.rd = pim_rd_init(body);
    it.next_group = 1;
    uint8_t family = 0;
    if (pim_pkt_decode_unicast_addr(it.rd, jp.upstream_neighbor, family) == 0) {
        bad_value = family;
        return it.rd.ok ? PIM_PKT_ERR_ADDR_FAMILY : PIM_PKT_ERR_TRUNCATED;
    }
    uint8_t reserved = 0;
    uint8_t ngroups = 0;
    pim_rd_u8(it.rd, reserved);
    pim_rd_u8(it.rd, ngroups);
    if (!pim_rd_u16(it.rd, jp.holdtime)) {
        return PIM_PKT_ERR_TRUNCATED;
    }
    jp.num_groups = ngroups;
    return PIM_PKT_OK;
}

bool pim_pkt_jp_more(const t_pim_jp_rd &it, const t_pim_pkt_jp &jp)
{
    return it.rd.left > 0 && it.next_group <= jp.num_groups;
}

e_pim_pkt_err pim_pkt_jp_decode_group(t_pim_jp_rd &it, t_pim_pkt_jp &jp,
                                      std::span<t_pim_pkt_src_addr> joins,
                                      std::span<t_pim_pkt_src_addr> prunes, int32_t &bad_value)
{
    t_pim_pkt_jp_group &g = jp.jp_group;
    g = t_pim_pkt_jp_group{};
    g.join_src_pp = joins.data();
    g.prune_src_pp = prunes.data();
    bad_value = 0;
    it.next_group++;

    e_pim_pkt_err err = PIM_PKT_OK;
    if (!addr_sized(it.rd, err, bad_value)) {
        return unsized(it, jp, g, err);
    }
    uint8_t family = 0;
    if (pim_pkt_decode_group_addr(it.rd, g.group_address, family) == 0) {
        return PIM_PKT_ERR_TRUNCATED;
    }
    pim_rd_u16(it.rd, g.num_joins);
    if (!pim_rd_u16(it.rd, g.num_prunes)) {
        return PIM_PKT_ERR_TRUNCATED;
    }
    err = read_sources(it, jp, g, g.num_joins, joins, bad_value);
    if (err == PIM_PKT_OK && !g.unreadable) {
        err = read_sources(it, jp, g, g.num_prunes, prunes, bad_value);
    }
    return err;
}

e_pim_pkt_err pim_pkt_jp_decode_end(const t_pim_jp_rd &it, int32_t &bad_value)
{
    bad_value = static_cast<int32_t>(it.rd.left);
    return it.rd.left == 0 ? PIM_PKT_OK : PIM_PKT_ERR_BAD_LENGTH;
}

namespace
{

const char *src_check(const t_pim_pkt_src_addr &s, const t_ipaddr &pkt_src)
{
    const t_ipaddr &a = s.source_addr.addr;
    if (a.addr_type != pkt_src.addr_type) {
        return "source family differs from the packet";
    }
    unsigned full = IPADDR_IS_V4(&a) ? 32 : 128;
    if (!s.wc_bit && s.source_addr.prefixlen != full) {
        return "source mask is not full length";
    }
    return nullptr;
}

} // namespace

const char *pim_pkt_jp_group_check(const t_pim_pkt_jp_group &g, const t_ipaddr &pkt_src)
{
    const t_ipaddr &grp = g.group_address.group_addr.addr;
    if (g.unreadable) {
        return "address of unknown family or encoding";
    }
    if (grp.addr_type != pkt_src.addr_type) {
        return "group family differs from the packet";
    }
    if (!ipaddr_is_multicast(&grp)) {
        return "group is not multicast";
    }
    for (uint16_t i = 0; i < g.num_joins; i++) {
        if (const char *why = src_check(g.join_src_pp[i], pkt_src)) {
            return why;
        }
    }
    for (uint16_t i = 0; i < g.num_prunes; i++) {
        if (const char *why = src_check(g.prune_src_pp[i], pkt_src)) {
            return why;
        }
    }
    return nullptr;
}

bool pim_pkt_jp_group_is_whole(const t_pim_jp_group_tx &g)
{
    for (const t_pim_jp_src &s : g.joins) {
        if ((s.flags & (PIM_SRC_FLAG_W | PIM_SRC_FLAG_R)) == (PIM_SRC_FLAG_W | PIM_SRC_FLAG_R)) {
            return true;
        }
    }
    return false;
}

size_t pim_pkt_jp_build(std::span<uint8_t> buf, const t_pim_jp_tx &jp, t_pim_jp_cursor &cur,
                        size_t split_len)
{
    if (cur.group >= jp.groups.size()) {
        return 0;
    }
    const size_t split = std::min(split_len, buf.size());
    t_pim_wr wr = pim_wr_init(buf);
    pim_pkt_encode_header(wr, PIM_PKT_JOIN_PRUNE);
    pim_pkt_encode_unicast_addr(wr, jp.upstream);
    size_t ngroups_at = wr.len + 1;
    pim_wr_u8(wr, 0);
    pim_wr_u8(wr, 0);
    pim_wr_u16(wr, jp.holdtime);
    if (!wr.ok || wr.len > split) {
        return 0;
    }

    size_t ngroups = 0;
    bool alone = false;
    while (cur.group < jp.groups.size() && ngroups < JP_MAX_GROUPS && !alone) {
        const t_pim_jp_group_tx &g = jp.groups[cur.group];
        const size_t grp_len = encoded_grp_len(g.group) + JP_GROUP_COUNTS;
        const bool whole = pim_pkt_jp_group_is_whole(g);
        size_t limit = split;
        if (whole && wr.len + grp_len + sources_len(g.joins) + sources_len(g.prunes) > split) {
            if (ngroups > 0) {
                break; // it starts the next message
            }
            limit = wr.cap;
            alone = true;
        }
        if (limit - wr.len < grp_len) {
            break;
        }
        size_t rec_start = wr.len;
        pim_pkt_encode_group_addr(wr, g.group, 0);
        size_t counts_at = wr.len;
        pim_wr_u32(wr, 0);
        uint16_t njoins = put_sources(wr, limit, g.joins, cur.join);
        uint16_t nprunes = 0;
        if (whole) {
            cur.join = g.joins.size(); // joins beyond what fits are left out
        }
        if (cur.join >= g.joins.size()) {
            nprunes = put_sources(wr, limit, g.prunes, cur.prune);
        }
        if (njoins == 0 && nprunes == 0 && !(g.joins.empty() && g.prunes.empty())) {
            // Not even one source fitted: leave the record for the next message.
            wr.len = rec_start;
            break;
        }
        put_u16_at(wr, counts_at, njoins);
        put_u16_at(wr, counts_at + 2, nprunes);
        ngroups++;
        if (!whole && (cur.join < g.joins.size() || cur.prune < g.prunes.size())) {
            break;
        }
        cur.group++;
        cur.join = 0;
        cur.prune = 0;
    }
    if (ngroups == 0 || !wr.ok) {
        return 0;
    }
    wr.buf[ngroups_at] = static_cast<uint8_t>(ngroups);
    pim_pkt_finish(buf.first(wr.len));
    return wr.len;
}
