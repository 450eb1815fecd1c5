#include "daemon/pim_debug_pkt.h"

#include <cstdarg>
#include <cstdio>

#include "daemon/pim_if.h"
#include "daemon/pim_pkt.h"
#include "daemon/pim_vpn.h"

namespace
{

// One printout is collected here and written as a single log line.
struct t_dbg_text {
    char buf[4096];
    size_t len;
};

__attribute__((format(printf, 2, 3))) void put(t_dbg_text &t, const char *fmt, ...)
{
    if (t.len >= sizeof(t.buf) - 1) {
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(t.buf + t.len, sizeof(t.buf) - t.len, fmt, ap);
    va_end(ap);
    if (n > 0) {
        t.len += static_cast<size_t>(n);
        if (t.len >= sizeof(t.buf)) {
            t.len = sizeof(t.buf) - 1;
        }
    }
}

// The IP line and the header line shared by every message type.
void print_common(const t_pim_if *if_p, const t_pim_ip_header *ip, std::span<const uint8_t> pim,
                  e_pim_pkt_dir dir)
{
    t_pim_ip_header made{};
    if (ip == nullptr) {
        made.src_ip = if_p->if_addr.addr;
        IPADDR_SET_V4(&made.dest_ip, PIM_ALL_ROUTERS);
        made.ip_hdr_len = 5;
        made.total_len = static_cast<uint16_t>(20 + pim.size());
        ip = &made;
    }
    PIM_LOG("%s Source-Ip: %s Dest-Ip: %s IP-len: %d", dir == PIM_PKT_DIR_IN ? "Received" : "Sent",
            ipaddr_str(&ip->src_ip).c, ipaddr_str(&ip->dest_ip).c, ip->total_len);
    uint8_t type = pim[0] & 0x0F;
    PIM_LOG("Packet-type: %s, Ver: %d, checksum: 0x%x",
            type < PIM_PKT_MAX ? pim_str_msg_type[type] : "UNKNOWN", pim[0] >> 4,
            static_cast<unsigned>((pim[2] << 8) | pim[3]));
}

const char *src_bits(const t_pim_pkt_src_addr &s, int which)
{
    switch (which) {
    case 0:
        return s.s_bit ? " S" : "";
    case 1:
        return s.wc_bit ? " WC" : "";
    default:
        return s.r_bit ? " RPT" : "";
    }
}

} // namespace

bool pim_debug_pkt_on(const t_pim_if *if_p, uint8_t type, e_pim_pkt_dir dir)
{
    const t_pim_vpn *vpn_p = if_p->vpn_p;
    if (vpn_p == nullptr || !vpn_p->pim_debug.packets || type >= PIM_DEBUG_PKT_TYPES) {
        return false;
    }
    const t_pim_debug &d = vpn_p->pim_debug;
    return (d.packets_dir == PIM_PKT_DIR_BOTH || d.packets_dir == dir) && d.packet_type[type];
}

void pim_debug_pkt_hello(const t_pim_if *if_p, const t_pim_ip_header *ip,
                         std::span<const uint8_t> pim, e_pim_pkt_dir dir)
{
    if (pim.size() < PIM_PKT_HDR_LEN || !pim_debug_pkt_on(if_p, PIM_PKT_HELLO, dir)) {
        return;
    }
    print_common(if_p, ip, pim, dir);
    t_pim_rd rd = pim_rd_init(pim.subspan(PIM_PKT_HDR_LEN));
    uint16_t type = 0;
    uint16_t len = 0;
    while (pim_rd_u16(rd, type) && pim_rd_u16(rd, len)) {
        t_pim_rd val;
        if (!pim_rd_sub(rd, len, val)) {
            PIM_LOG("    Option: %d, opt-len: %d (truncated)", type, len);
            return;
        }
        uint16_t a = 0;
        uint16_t b = 0;
        uint32_t v = 0;
        switch (type) {
        case PIM_HELLO_OPT_HOLDTIME:
            pim_rd_u16(val, a);
            PIM_LOG("    Option: Holdtime, val: %d", a);
            break;
        case PIM_HELLO_OPT_DR_PRIORITY:
            pim_rd_u32(val, v);
            PIM_LOG("    Option: DR-Priotity, val: %d", static_cast<int>(v));
            break;
        case PIM_HELLO_OPT_GENID:
            pim_rd_u32(val, v);
            PIM_LOG("    Option: Gen-id, val: 0x%x", v);
            break;
        case PIM_HELLO_OPT_LAN_PRUNE_DELAY:
            pim_rd_u16(val, a);
            pim_rd_u16(val, b);
            PIM_LOG("    Option: Lan delay, T: %s", (a & 0x8000) ? "Yes" : "No");
            PIM_LOG("            Prop-delay: %d, Override-Int: %d", a & 0x7FFF, b);
            break;
        default:
            PIM_LOG("    Option: %d, opt-len: %d", type, len);
            break;
        }
    }
}

void pim_debug_pkt_jp(const t_pim_if *if_p, const t_pim_ip_header *ip, std::span<const uint8_t> pim,
                      e_pim_pkt_dir dir)
{
    if (pim.size() < PIM_PKT_HDR_LEN || !pim_debug_pkt_on(if_p, PIM_PKT_JOIN_PRUNE, dir)) {
        return;
    }
    print_common(if_p, ip, pim, dir);
    // The printout has its own source arrays: the decoder's are in use while
    // a received message is being handled.
    static t_pim_pkt_src_addr joins[PIM_JP_MAX_SRCS];
    static t_pim_pkt_src_addr prunes[PIM_JP_MAX_SRCS];
    static t_dbg_text t;
    t.len = 0;
    t_pim_jp_rd it{};
    t_pim_pkt_jp jp{};
    int32_t bad = 0;
    if (pim_pkt_jp_decode_hdr(pim.subspan(PIM_PKT_HDR_LEN), it, jp, bad) != PIM_PKT_OK) {
        put(t, "\nUnable to decode upstream neighbor. Not parsing anymore...");
        PIM_LOG("%s", t.buf);
        return;
    }
    put(t, "\n    Upstream neighbor: %s", ipaddr_str(&jp.upstream_neighbor).c);
    put(t, "\n    Holdtime: %d Number of groups: %d", jp.holdtime, static_cast<int>(jp.num_groups));
    while (pim_pkt_jp_more(it, jp)) {
        e_pim_pkt_err err = pim_pkt_jp_decode_group(it, jp, joins, prunes, bad);
        const t_pim_pkt_jp_group &g = jp.jp_group;
        if (err != PIM_PKT_OK) {
            // A group that failed to decode is left without a family.
            put(t, "\nUnable to decode %s address. Not parsing anymore...",
                g.group_address.group_addr.addr.addr_type == IP_ADDR_UNKNOWN ? "group" : "source");
            break;
        }
        if (g.unreadable) {
            put(t, "\n    Last group record: address of unknown family or encoding, skipped");
            break;
        }
        put(t, "\n    Group: %s Bits:%s%s   Joins: %d, Prunes: %d",
            ipaddr_str(&g.group_address.group_addr.addr).c, g.group_address.b_bit ? " B" : "",
            g.group_address.z_bit ? " Z" : "", g.num_joins, g.num_prunes);
        for (uint16_t i = 0; i < g.num_joins; i++) {
            put(t, "\n        Join Source %d: %s Bits:%s%s%s", i + 1,
                ipaddr_str(&joins[i].source_addr.addr).c, src_bits(joins[i], 0),
                src_bits(joins[i], 1), src_bits(joins[i], 2));
        }
        for (uint16_t i = 0; i < g.num_prunes; i++) {
            put(t, "\n        Prune Source %d: %s Bits:%s%s%s", i + 1,
                ipaddr_str(&prunes[i].source_addr.addr).c, src_bits(prunes[i], 0),
                src_bits(prunes[i], 1), src_bits(prunes[i], 2));
        }
    }
    PIM_LOG("%s", t.buf);
}

void pim_debug_pkt_assert(const t_pim_if *if_p, const t_pim_ip_header *ip,
                          std::span<const uint8_t> pim, e_pim_pkt_dir dir)
{
    if (pim.size() < PIM_PKT_HDR_LEN || !pim_debug_pkt_on(if_p, PIM_PKT_ASSERT, dir)) {
        return;
    }
    print_common(if_p, ip, pim, dir);
    t_dbg_text t{};
    t_pim_rd rd = pim_rd_init(pim.subspan(PIM_PKT_HDR_LEN));
    t_pim_pkt_group_addr g{};
    t_ipaddr src{};
    uint8_t family = 0;
    uint32_t pref = 0;
    uint32_t metric = 0;
    if (pim_pkt_decode_group_addr(rd, g, family) == 0) {
        put(t, "\nUnable to decode group address. Not parsing anymore...");
        PIM_LOG("%s", t.buf);
        return;
    }
    put(t, "\n    Group address: %s", ipaddr_str(&g.group_addr.addr).c);
    if (pim_pkt_decode_unicast_addr(rd, src, family) == 0) {
        put(t, "\nUnable to decode source address. Not parsing anymore...");
        PIM_LOG("%s", t.buf);
        return;
    }
    put(t, "\n    Source address: %s", ipaddr_str(&src).c);
    pim_rd_u32(rd, pref);
    pim_rd_u32(rd, metric);
    put(t, "\n    RPT Bit: %s    Preference: %u", (pref & 0x80000000u) ? "Yes" : "No",
        pref & 0x7FFFFFFFu);
    put(t, "\n    Metric: %u", metric);
    PIM_LOG("%s", t.buf);
}
