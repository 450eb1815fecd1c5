// Any datagram up to PIM_PKT_BUF_LEN bytes through the PIM receive path of a running
// interface (validation, counters, Hello into the neighbor table, Join/Prune
// and Assert parsing), plus codec round trips of whatever decodes cleanly.
// The first input byte holds switches: bit 0 says the rest is a whole datagram
// as the raw socket returns it (otherwise one byte naming the sender in
// 10.0.0.0/24, then a PIM message put behind a well-formed IP header); bit 1
// turns packet debugging on so that the printers see the input as well; bit 2
// stores a correct checksum in a PIM message put behind a made-up header, so
// that mutations reach the message parsers.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/zul_assert.h"
#include "daemon/pim_nbr.h"
#include "daemon/pim_pkt.h"
#include "tests/sim/pim_sim_if.h"

namespace
{

constexpr uint32_t OWN = 0x0a000005; // 10.0.0.5/24

// An interface that runs PIM without a socket: replies fail to go out.
t_pim_if *setup()
{
    t_pim_vpn *vpn_p = pim_sim_daemon(7);
    ZUL_ASSERT(vpn_p != nullptr);
    t_pim_if *if_p = pim_sim_running_if(g_kemd_p, vpn_p, "fuzz0", 2, OWN);
    ZUL_ASSERT(if_p != nullptr);
    return if_p;
}

void round_trip_codecs(std::span<const uint8_t> pim)
{
    uint8_t type = 0;
    uint16_t rx = 0;
    uint16_t calc = 0;
    if (pim_pkt_hdr_check(pim, type, rx, calc) != PIM_PKT_OK) {
        return;
    }
    std::span<const uint8_t> body = pim.subspan(PIM_PKT_HDR_LEN);
    int32_t bad = 0;
    uint8_t out[PIM_PKT_BUF_LEN];
    if (type == PIM_PKT_HELLO) {
        t_pim_hello h{};
        t_pim_hello again{};
        if (pim_pkt_hello_decode(body, h, bad) == PIM_PKT_OK) {
            size_t n = pim_pkt_hello_build(out, h);
            ZUL_ASSERT(n == PIM_HELLO_LEN);
            ZUL_ASSERT(pim_pkt_hello_decode(std::span<const uint8_t>(out + 4, n - 4), again, bad) ==
                       PIM_PKT_OK);
            ZUL_ASSERT(again.holdtime == h.holdtime && again.dr_priority == h.dr_priority &&
                       again.gen_id == h.gen_id && again.prop_delay == h.prop_delay &&
                       again.override_int == h.override_int);
        }
    } else if (type == PIM_PKT_ASSERT) {
        t_pim_assert_rec a{};
        if (pim_pkt_assert_decode(body, a, bad) == PIM_PKT_OK) {
            size_t n = pim_pkt_assert_build(out, a.group.group_addr.addr, a.source, a.metric);
            ZUL_ASSERT(n == pim.size());
        }
    } else if (type == PIM_PKT_JOIN_PRUNE) {
        // Re-encode what decodes and check the sources survive, split or not.
        t_pim_jp_rd it{};
        t_pim_pkt_jp jp{};
        t_pim_pkt_src_addr joins[PIM_JP_MAX_SRCS];
        t_pim_pkt_src_addr prunes[PIM_JP_MAX_SRCS];
        if (pim_pkt_jp_decode_hdr(body, it, jp, bad) != PIM_PKT_OK) {
            return;
        }
        std::vector<t_pim_jp_src> js, ps;
        std::vector<t_pim_jp_group_tx> groups;
        std::vector<std::pair<size_t, size_t>> spans;
        while (pim_pkt_jp_more(it, jp)) {
            if (pim_pkt_jp_decode_group(it, jp, joins, prunes, bad) != PIM_PKT_OK) {
                return;
            }
            (void)pim_pkt_jp_group_check(jp.jp_group, jp.upstream_neighbor);
            if (jp.jp_group.unreadable) {
                continue; // nothing of it to send again
            }
            spans.emplace_back(js.size(), ps.size());
            for (uint16_t i = 0; i < jp.jp_group.num_joins; i++) {
                uint8_t f = static_cast<uint8_t>((joins[i].s_bit ? PIM_SRC_FLAG_S : 0) |
                                                 (joins[i].wc_bit ? PIM_SRC_FLAG_W : 0) |
                                                 (joins[i].r_bit ? PIM_SRC_FLAG_R : 0));
                js.push_back({joins[i].source_addr.addr, f});
            }
            for (uint16_t i = 0; i < jp.jp_group.num_prunes; i++) {
                ps.push_back({prunes[i].source_addr.addr, PIM_SRC_FLAG_S});
            }
            groups.push_back({jp.jp_group.group_address.group_addr.addr, {}, {}});
        }
        for (size_t g = 0; g < groups.size(); g++) {
            size_t j_end = g + 1 < spans.size() ? spans[g + 1].first : js.size();
            size_t p_end = g + 1 < spans.size() ? spans[g + 1].second : ps.size();
            groups[g].joins =
                std::span<const t_pim_jp_src>(js).subspan(spans[g].first, j_end - spans[g].first);
            groups[g].prunes =
                std::span<const t_pim_jp_src>(ps).subspan(spans[g].second, p_end - spans[g].second);
        }
        t_pim_jp_tx tx{jp.upstream_neighbor, jp.holdtime, groups};
        t_pim_jp_cursor cur{};
        size_t sent_prunes = 0;
        int messages = 0;
        while (size_t n = pim_pkt_jp_build(out, tx, cur)) {
            ZUL_ASSERT(n <= sizeof(out) && pim_pkt_checksum(out, n) == 0);
            ZUL_ASSERT(++messages < 64);
            t_pim_jp_rd it2{};
            t_pim_pkt_jp jp2{};
            ZUL_ASSERT(pim_pkt_jp_decode_hdr(std::span<const uint8_t>(out + 4, n - 4), it2, jp2,
                                             bad) == PIM_PKT_OK);
            while (pim_pkt_jp_more(it2, jp2)) {
                ZUL_ASSERT(pim_pkt_jp_decode_group(it2, jp2, joins, prunes, bad) == PIM_PKT_OK);
                sent_prunes += jp2.jp_group.num_prunes;
            }
            ZUL_ASSERT(pim_pkt_jp_decode_end(it2, bad) == PIM_PKT_OK);
        }
        ZUL_ASSERT(sent_prunes == ps.size());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static t_pim_if *if_p = setup();
    if (size < 1 || size > PIM_PKT_BUF_LEN + 1) {
        return 0;
    }
    bool raw = (data[0] & 1) != 0;
    t_pim_debug &dbg = if_p->vpn_p->pim_debug;
    dbg.packets = (data[0] & 2) != 0;
    for (bool &on : dbg.packet_type) {
        on = dbg.packets;
    }
    const uint8_t *rest = data + 1;
    size_t n = size - 1;
    std::vector<uint8_t> dgram;
    if (raw) {
        dgram.assign(rest, rest + n);
    } else if (n > 0) {
        // A proper IP header from 10.0.0.<first byte>, then the PIM message.
        size_t pim_len = n - 1 > PIM_PKT_BUF_LEN - 20 ? PIM_PKT_BUF_LEN - 20 : n - 1;
        size_t total = pim_len + 20;
        dgram.assign(20, 0);
        dgram[0] = 0x45;
        dgram[2] = static_cast<uint8_t>(total >> 8);
        dgram[3] = static_cast<uint8_t>(total);
        dgram[9] = PIM_IP_PROTO;
        dgram[12] = 10;
        dgram[15] = rest[0];
        dgram.insert(dgram.end(), rest + 1, rest + 1 + pim_len);
        if ((data[0] & 4) != 0 && pim_len >= PIM_PKT_HDR_LEN) {
            pim_pkt_finish(std::span<uint8_t>(dgram).subspan(20));
        }
    }
    // The receive buffer is where the socket reads to; decode from there.
    if (!dgram.empty()) {
        memcpy(g_pim_tx_rx_buf, dgram.data(), dgram.size());
    }
    (void)pim_pkt_decode(g_kemd_p, if_p, g_pim_tx_rx_buf, dgram.size());

    t_pim_ip_header ip{};
    std::span<const uint8_t> pim;
    if (pim_pkt_ip_parse(std::span<const uint8_t>(dgram), ip, pim) == PIM_PKT_OK) {
        round_trip_codecs(pim);
    }
    return 0;
}
