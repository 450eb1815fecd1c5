// PIM wire codec: byte-exact messages of every type we speak, round trips, and
// malformed input grouped by what is wrong with it.
#include <array>
#include <cstdint>
#include <gtest/gtest.h>
#include <vector>

#include "daemon/pim_pkt_codec.h"

namespace
{

using t_bytes = std::vector<uint8_t>;

t_ipaddr v4(uint32_t a)
{
    t_ipaddr r{};
    IPADDR_SET_V4(&r, a);
    return r;
}

// Recomputes the checksum of a hand-edited message.
t_bytes fix_cksum(t_bytes m)
{
    pim_pkt_finish(std::span<uint8_t>(m));
    return m;
}

std::span<const uint8_t> body(const t_bytes &m)
{
    return std::span<const uint8_t>(m).subspan(PIM_PKT_HDR_LEN);
}

// Our own Hello: holdtime 105 s, LAN delay 500/3000 ms, priority 1, genid 0x12345678.
const t_bytes HELLO = {0x20, 0x00, 0x69, 0x05, 0x00, 0x01, 0x00, 0x02, 0x00, 0x69, 0x00, 0x02,
                       0x00, 0x04, 0x01, 0xf4, 0x0b, 0xb8, 0x00, 0x13, 0x00, 0x04, 0x00, 0x00,
                       0x00, 0x01, 0x00, 0x14, 0x00, 0x04, 0x12, 0x34, 0x56, 0x78};

// (S,G) Join 10.0.0.99, 225.1.1.1 towards 10.0.0.1, holdtime 210 s.
const t_bytes SG_JOIN = {0x23, 0x00, 0xde, 0x84, 0x01, 0x00, 0x0a, 0x00, 0x00, 0x01, 0x00, 0x01,
                         0x00, 0xd2, 0x01, 0x00, 0x00, 0x20, 0xe1, 0x01, 0x01, 0x01, 0x00, 0x01,
                         0x00, 0x00, 0x01, 0x00, 0x04, 0x20, 0x0a, 0x00, 0x00, 0x63};

// Assert for (10.0.0.99, 225.1.1.1), RPT bit, preference 101, metric 10.
const t_bytes ASSERT = {0x25, 0x00, 0x6c, 0x0a, 0x01, 0x00, 0x00, 0x20, 0xe1,
                        0x01, 0x01, 0x01, 0x01, 0x00, 0x0a, 0x00, 0x00, 0x63,
                        0x80, 0x00, 0x00, 0x65, 0x00, 0x00, 0x00, 0x0a};

TEST(PimPkt, ChecksumIsTheInternetChecksum)
{
    // Classic worked example: words 0001 f203 f4f5 f6f7 sum to ddf2 after folding.
    const uint8_t even[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(pim_pkt_checksum(even, sizeof(even)), 0x220d);
    // An odd last byte is padded with zero.
    const uint8_t odd[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7, 0x01};
    EXPECT_EQ(pim_pkt_checksum(odd, sizeof(odd)), 0x210d);
    // A message with its checksum in place sums to zero.
    EXPECT_EQ(pim_pkt_checksum(HELLO.data(), HELLO.size()), 0);
}

TEST(PimPkt, HelloBuildsByteExactAndRoundTrips)
{
    t_pim_hello h{};
    h.holdtime = 105;
    h.prop_delay = 500;
    h.override_int = 3000;
    h.dr_priority = 1;
    h.gen_id = 0x12345678;
    std::array<uint8_t, PIM_PKT_BUF_LEN> buf{};
    ASSERT_EQ(pim_pkt_hello_build(buf, h), PIM_HELLO_LEN);
    EXPECT_EQ(t_bytes(buf.begin(), buf.begin() + PIM_HELLO_LEN), HELLO);

    // Decoded and built again: the same bytes.
    uint8_t type = 0xFF;
    uint16_t rx = 0;
    uint16_t calc = 0;
    ASSERT_EQ(pim_pkt_hdr_check(HELLO, type, rx, calc), PIM_PKT_OK);
    EXPECT_EQ(type, PIM_PKT_HELLO);
    t_pim_hello d{};
    int32_t bad = 0;
    ASSERT_EQ(pim_pkt_hello_decode(body(HELLO), d, bad), PIM_PKT_OK);
    EXPECT_FALSE(d.t_bit);
    std::array<uint8_t, PIM_PKT_BUF_LEN> again{};
    ASSERT_EQ(pim_pkt_hello_build(again, d), PIM_HELLO_LEN);
    EXPECT_EQ(t_bytes(again.begin(), again.begin() + PIM_HELLO_LEN), HELLO);

    // A buffer one byte short builds nothing rather than a cut message.
    std::array<uint8_t, PIM_HELLO_LEN - 1> small{};
    EXPECT_EQ(pim_pkt_hello_build(small, h), 0u);
}

TEST(PimPkt, HelloOptionsOfOtherRouters)
{
    // Holdtime "forever", LAN delay with the T bit, an address list and a
    // vendor option in between, no DR priority and no generation id.
    const t_bytes m = fix_cksum({0x20, 0x00, 0x00, 0x00,                         // header
                                 0x00, 0x01, 0x00, 0x02, 0xff, 0xff,             // holdtime
                                 0x00, 0x02, 0x00, 0x04, 0x83, 0x20, 0x0f, 0xa0, // T, 800, 4000
                                 0x00, 0x18, 0x00, 0x06, 0x01, 0x00, 0x0a, 0x00,
                                 0x01, 0x01, 0xff, 0x00, 0x00, 0x00}); // vendor option, empty
    t_pim_hello d{};
    int32_t bad = 0;
    ASSERT_EQ(pim_pkt_hello_decode(body(m), d, bad), PIM_PKT_OK);
    EXPECT_EQ(d.holdtime, PIM_HELLO_HOLDTIME_FOREVER);
    EXPECT_TRUE(d.t_bit);
    EXPECT_EQ(d.prop_delay, 800);
    EXPECT_EQ(d.override_int, 4000);
    EXPECT_TRUE(d.has_holdtime && d.has_lan_delay);
    EXPECT_FALSE(d.has_dr_priority || d.has_gen_id) << "absent, not 0";
    EXPECT_EQ(d.unknown_opts, 1);
    EXPECT_EQ(d.last_unknown_type, 0xff00);
    ASSERT_EQ(d.num_secondary, 1u) << "the address list";
    EXPECT_EQ(d.secondary[0].u.addr4, 0x0a000101u);

    // An empty Hello is valid and carries nothing.
    ASSERT_EQ(pim_pkt_hello_decode({}, d, bad), PIM_PKT_OK);
    EXPECT_FALSE(d.has_holdtime || d.has_lan_delay || d.has_dr_priority || d.has_gen_id);

    // Options present with value 0 are values.
    t_bytes zero =
        fix_cksum({0x20, 0,    0,    0,    0x00, 0x02, 0x00, 0x04, 0, 0, 0, 0, // LAN delay 0/0
                   0x00, 0x13, 0x00, 0x04, 0,    0,    0,    0});              // priority 0
    ASSERT_EQ(pim_pkt_hello_decode(body(zero), d, bad), PIM_PKT_OK);
    EXPECT_TRUE(d.has_lan_delay && d.has_dr_priority);
    EXPECT_EQ(d.dr_priority, 0u);
}

TEST(PimPkt, RegisterChecksumCoversItsHeaderOnly)
{
    // Header, flags word, then an inner packet the checksum does not cover.
    t_bytes reg = {0x21, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x45, 0x00, 0x12, 0x34};
    uint16_t sum = pim_pkt_checksum(reg.data(), PIM_REGISTER_CKSUM_LEN);
    reg[2] = static_cast<uint8_t>(sum >> 8);
    reg[3] = static_cast<uint8_t>(sum);
    uint8_t type = 0;
    uint16_t rx = 0;
    uint16_t calc = 0;
    EXPECT_EQ(pim_pkt_hdr_check(reg, type, rx, calc), PIM_PKT_OK);
    EXPECT_EQ(type, PIM_PKT_REGISTER);
    EXPECT_EQ(pim_pkt_hdr_check(fix_cksum(reg), type, rx, calc), PIM_PKT_OK) << "whole also";
    reg[4] ^= 0x80;
    EXPECT_EQ(pim_pkt_hdr_check(reg, type, rx, calc), PIM_PKT_ERR_CHECKSUM);
}

TEST(PimPkt, JoinPruneBuildsByteExactAndRoundTrips)
{
    const t_pim_jp_src src{v4(0x0a000063), PIM_SRC_FLAG_S};
    const t_pim_jp_group_tx grp{v4(0xe1010101), {&src, 1}, {}};
    const t_pim_jp_tx jp{v4(0x0a000001), 210, {&grp, 1}};
    std::array<uint8_t, PIM_PKT_BUF_LEN> buf{};
    t_pim_jp_cursor cur{};
    ASSERT_EQ(pim_pkt_jp_build(buf, jp, cur), SG_JOIN.size());
    EXPECT_EQ(t_bytes(buf.begin(), buf.begin() + SG_JOIN.size()), SG_JOIN);
    EXPECT_EQ(pim_pkt_jp_build(buf, jp, cur), 0u) << "one message only";

    t_pim_jp_rd it{};
    t_pim_pkt_jp d{};
    std::array<t_pim_pkt_src_addr, PIM_JP_MAX_SRCS> joins{};
    std::array<t_pim_pkt_src_addr, PIM_JP_MAX_SRCS> prunes{};
    int32_t bad = 0;
    ASSERT_EQ(pim_pkt_jp_decode_hdr(body(SG_JOIN), it, d, bad), PIM_PKT_OK);
    EXPECT_EQ(d.upstream_neighbor.u.addr4, 0x0a000001u);
    EXPECT_EQ(d.holdtime, 210);
    ASSERT_EQ(pim_pkt_jp_decode_group(it, d, joins, prunes, bad), PIM_PKT_OK);
    EXPECT_EQ(d.jp_group.group_address.group_addr.addr.u.addr4, 0xe1010101u);
    ASSERT_EQ(d.jp_group.num_joins + d.jp_group.num_prunes, 1);
    EXPECT_EQ(joins[0].source_addr.addr.u.addr4, 0x0a000063u);
    EXPECT_TRUE(joins[0].s_bit && !joins[0].wc_bit && !joins[0].r_bit);
    EXPECT_FALSE(pim_pkt_jp_more(it, d));
    EXPECT_EQ(pim_pkt_jp_decode_end(it, bad), PIM_PKT_OK);
}

// Decodes every group record of a Join/Prune; returns the sources per record.
struct t_jp_seen {
    e_pim_pkt_err err = PIM_PKT_OK;
    std::vector<std::pair<std::vector<t_pim_pkt_src_addr>, std::vector<t_pim_pkt_src_addr>>> recs;
};

t_jp_seen decode_all(std::span<const uint8_t> pim_body)
{
    t_jp_seen seen;
    t_pim_jp_rd it{};
    t_pim_pkt_jp d{};
    std::array<t_pim_pkt_src_addr, PIM_JP_MAX_SRCS> joins{};
    std::array<t_pim_pkt_src_addr, PIM_JP_MAX_SRCS> prunes{};
    int32_t bad = 0;
    if ((seen.err = pim_pkt_jp_decode_hdr(pim_body, it, d, bad)) != PIM_PKT_OK) {
        return seen;
    }
    while (pim_pkt_jp_more(it, d)) {
        if ((seen.err = pim_pkt_jp_decode_group(it, d, joins, prunes, bad)) != PIM_PKT_OK) {
            return seen;
        }
        seen.recs.emplace_back(
            std::vector<t_pim_pkt_src_addr>(joins.begin(), joins.begin() + d.jp_group.num_joins),
            std::vector<t_pim_pkt_src_addr>(prunes.begin(),
                                            prunes.begin() + d.jp_group.num_prunes));
    }
    seen.err = pim_pkt_jp_decode_end(it, bad);
    return seen;
}

std::vector<t_pim_jp_src> sources(uint32_t first, size_t n, uint8_t flags)
{
    std::vector<t_pim_jp_src> v;
    for (uint32_t i = 0; i < n; i++) {
        v.push_back({v4(first + i), flags});
    }
    return v;
}

// Builds every message of a Join/Prune and decodes each one back.
std::vector<t_jp_seen> build_all(const t_pim_jp_tx &jp, std::vector<size_t> *lens = nullptr)
{
    std::vector<t_jp_seen> out;
    std::array<uint8_t, PIM_PKT_BUF_LEN> buf{};
    t_pim_jp_cursor cur{};
    while (size_t len = pim_pkt_jp_build(buf, jp, cur)) {
        EXPECT_EQ(pim_pkt_checksum(buf.data(), len), 0);
        out.push_back(decode_all(std::span<const uint8_t>(buf.data() + 4, len - 4)));
        EXPECT_EQ(out.back().err, PIM_PKT_OK);
        if (lens != nullptr) {
            lens->push_back(len);
        }
        if (out.size() > 100) {
            ADD_FAILURE() << "no end";
            break;
        }
    }
    return out;
}

constexpr uint8_t WC = PIM_SRC_FLAG_S | PIM_SRC_FLAG_W | PIM_SRC_FLAG_R;
constexpr uint8_t RPT = PIM_SRC_FLAG_S | PIM_SRC_FLAG_R;

TEST(PimPkt, XgJoinGoesWholeOtherRecordsSplitAtAFrame)
{
    // A (*,G) Join with 300 (S,G,rpt) prunes: one message of 2434 bytes (the
    // kernel fragments it), never two whose ends of message undo each other.
    const t_pim_jp_src rp{v4(0x0a0000fe), WC};
    const std::vector<t_pim_jp_src> pr = sources(0x0b000000, 300, RPT);
    const t_pim_jp_group_tx xg{v4(0xe1010101), {&rp, 1}, pr};
    std::vector<size_t> lens;
    std::vector<t_jp_seen> msgs = build_all({v4(0x0a000001), 210, {&xg, 1}}, &lens);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(lens[0], 14u + 12 + 8 + 300 * 8);
    ASSERT_EQ(msgs[0].recs.size(), 1u);
    ASSERT_EQ(msgs[0].recs[0].first.size(), 1u);
    ASSERT_EQ(msgs[0].recs[0].second.size(), 300u);
    EXPECT_EQ(msgs[0].recs[0].second[299].source_addr.addr.u.addr4, 0x0b000000u + 299);

    // Beside other records it starts a message of its own when it does not
    // fit, and the records after it follow in the next one.
    const t_pim_jp_src sg{v4(0x0a000063), PIM_SRC_FLAG_S};
    std::vector<t_pim_jp_group_tx> groups(21, t_pim_jp_group_tx{v4(0xe2000000), {&sg, 1}, {}});
    groups[10] = xg;
    msgs = build_all({v4(0x0a000001), 210, groups});
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_EQ(msgs[0].recs.size(), 10u);
    EXPECT_EQ(msgs[1].recs.size(), 1u);
    EXPECT_EQ(msgs[2].recs.size(), 10u);
    // A short (*,G) Join packs with the rest.
    const t_pim_jp_group_tx small{v4(0xe1010101), {&rp, 1}, {pr.data(), 3}};
    groups[10] = small;
    msgs = build_all({v4(0x0a000001), 210, groups});
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].recs.size(), 21u);

    // (S,G) records pack 73 to a 1480-byte message and never exceed it.
    groups.assign(400, t_pim_jp_group_tx{v4(0xe2000000), {&sg, 1}, {}});
    lens.clear();
    msgs = build_all({v4(0x0a000001), 210, groups}, &lens);
    EXPECT_EQ(msgs.size(), 6u);
    size_t total = 0;
    for (size_t i = 0; i < msgs.size(); i++) {
        EXPECT_LE(lens[i], PIM_PKT_TX_MAX);
        total += msgs[i].recs.size();
    }
    EXPECT_EQ(total, 400u);

    // One record of 400 (S,G) joins is continued across messages, in order.
    const std::vector<t_pim_jp_src> js = sources(0x0c000000, 400, PIM_SRC_FLAG_S);
    const t_pim_jp_group_tx big{v4(0xe1010101), js, {}};
    lens.clear();
    msgs = build_all({v4(0x0a000001), 210, {&big, 1}}, &lens);
    ASSERT_EQ(msgs.size(), 3u) << "181 sources fit in 1480 bytes";
    std::vector<uint32_t> got;
    for (size_t i = 0; i < msgs.size(); i++) {
        EXPECT_LE(lens[i], PIM_PKT_TX_MAX);
        for (const t_pim_pkt_src_addr &s : msgs[i].recs.at(0).first) {
            got.push_back(s.source_addr.addr.u.addr4);
        }
    }
    std::vector<uint32_t> want(400);
    for (uint32_t i = 0; i < 400; i++) {
        want[i] = 0x0c000000 + i;
    }
    EXPECT_EQ(got, want);
}

TEST(PimPkt, LargestJoinPruneWeBuildDecodesInOurReceiver)
{
    // More prunes than a record may carry: the first PIM_JP_MAX_SRCS go, in
    // one message that our own decoder (arrays of PIM_JP_MAX_SRCS) accepts.
    const t_pim_jp_src rp{v4(0x0a0000fe), WC};
    const std::vector<t_pim_jp_src> pr = sources(0x0b000000, 5000, RPT);
    const t_pim_jp_group_tx xg{v4(0xe1010101), {&rp, 1}, pr};
    std::vector<size_t> lens;
    std::vector<t_jp_seen> msgs = build_all({v4(0x0a000001), 210, {&xg, 1}}, &lens);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_LE(lens[0], PIM_PKT_BUF_LEN);
    ASSERT_EQ(msgs[0].recs.at(0).second.size(), PIM_JP_MAX_SRCS);
    EXPECT_EQ(msgs[0].recs[0].second.back().source_addr.addr.u.addr4,
              0x0b000000 + PIM_JP_MAX_SRCS - 1);
    // What the sender caps a (*,G) Join at fits as well.
    EXPECT_LE(14 + 12 + 8 + PIM_JP_XG_MAX_PRUNES * 8, PIM_PKT_BUF_LEN);

    // IPv6 prunes: as many as fit in the buffer.
    uint8_t b6[16] = {0x20, 0x01, 0x0d, 0xb8};
    std::vector<t_pim_jp_src> pr6(600);
    for (size_t i = 0; i < pr6.size(); i++) {
        b6[15] = static_cast<uint8_t>(i);
        b6[14] = static_cast<uint8_t>(i >> 8);
        IPADDR_SET_V6(&pr6[i].addr, b6);
        pr6[i].flags = RPT;
    }
    const t_pim_jp_group_tx xg6{v4(0xe1010101), {&rp, 1}, pr6};
    lens.clear();
    msgs = build_all({v4(0x0a000001), 210, {&xg6, 1}}, &lens);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].recs.at(0).second.size(), (PIM_PKT_BUF_LEN - 34) / 20);
}

TEST(PimPkt, JoinPruneGroupCountAndLengthRules)
{
    // Announces two groups but carries one record that ends the data exactly.
    t_bytes two = SG_JOIN;
    two[11] = 2;
    t_jp_seen seen = decode_all(body(fix_cksum(two)));
    EXPECT_EQ(seen.err, PIM_PKT_OK);
    EXPECT_EQ(seen.recs.size(), 1u);

    // Data beyond the announced records is an unaccounted length.
    t_bytes extra = SG_JOIN;
    extra.insert(extra.end(), {0, 0});
    seen = decode_all(body(fix_cksum(extra)));
    EXPECT_EQ(seen.err, PIM_PKT_ERR_BAD_LENGTH);
}

TEST(PimPkt, AssertBuildsByteExactAndRoundTrips)
{
    t_pim_assert_metric m{};
    m.rpt_bit = true;
    m.preference = 101;
    m.metric = 10;
    std::array<uint8_t, PIM_PKT_BUF_LEN> buf{};
    ASSERT_EQ(pim_pkt_assert_build(buf, v4(0xe1010101), v4(0x0a000063), m), PIM_ASSERT_V4_LEN);
    EXPECT_EQ(t_bytes(buf.begin(), buf.begin() + PIM_ASSERT_V4_LEN), ASSERT);

    t_pim_assert_rec d{};
    int32_t bad = 0;
    ASSERT_EQ(pim_pkt_assert_decode(body(ASSERT), d, bad), PIM_PKT_OK);
    std::array<uint8_t, PIM_PKT_BUF_LEN> again{};
    ASSERT_EQ(pim_pkt_assert_build(again, d.group.group_addr.addr, d.source, d.metric),
              PIM_ASSERT_V4_LEN);
    EXPECT_EQ(t_bytes(again.begin(), again.begin() + PIM_ASSERT_V4_LEN), ASSERT);
}

TEST(PimPkt, EncodedAddressesOfBothFamilies)
{
    uint8_t v6b[16] = {0xff, 0x0e, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x42};
    t_ipaddr g6{};
    IPADDR_SET_V6(&g6, v6b);
    std::array<uint8_t, 64> buf{};
    t_pim_wr wr = pim_wr_init(buf);
    EXPECT_EQ(pim_pkt_encode_group_addr(wr, g6, PIM_GRP_FLAG_B | PIM_GRP_FLAG_Z), 20u);
    EXPECT_EQ(pim_pkt_encode_unicast_addr(wr, g6), 18u);
    EXPECT_EQ(pim_pkt_encode_source_addr(wr, v4(0x0a000001), PIM_SRC_FLAG_S), 8u);
    EXPECT_EQ(buf[3], 128) << "IPv6 mask length is sent as 128";
    t_ipaddr none{};
    EXPECT_EQ(pim_pkt_encode_unicast_addr(wr, none), 0u) << "no family, nothing written";

    t_pim_rd rd = pim_rd_init(std::span<const uint8_t>(buf.data(), wr.len));
    t_pim_pkt_group_addr g{};
    t_ipaddr u{};
    t_pim_pkt_src_addr s{};
    uint8_t fam = 0;
    EXPECT_EQ(pim_pkt_decode_group_addr(rd, g, fam), 20u);
    EXPECT_TRUE(g.b_bit && g.z_bit);
    EXPECT_EQ(IPADDR_CMP(&g.group_addr.addr, &g6), 0);
    EXPECT_EQ(pim_pkt_decode_unicast_addr(rd, u, fam), 18u);
    EXPECT_EQ(IPADDR_CMP(&u, &g6), 0);
    EXPECT_EQ(pim_pkt_decode_source_addr(rd, s, fam), 8u);
    EXPECT_TRUE(s.s_bit);
    EXPECT_EQ(rd.left, 0u);
}

TEST(PimPkt, RejectsTruncatedMessages)
{
    t_pim_hello h{};
    int32_t bad = 0;
    // Options overrunning the message by two bytes: unaccounted length -2.
    t_bytes cut(HELLO.begin(), HELLO.end() - 2);
    EXPECT_EQ(pim_pkt_hello_decode(body(cut), h, bad), PIM_PKT_ERR_BAD_LENGTH);
    EXPECT_EQ(bad, -2);
    // Half an option header.
    t_bytes half(HELLO.begin(), HELLO.begin() + 6);
    EXPECT_EQ(pim_pkt_hello_decode(body(half), h, bad), PIM_PKT_ERR_BAD_LENGTH);
    EXPECT_EQ(bad, -2);

    // Every cut of a Join/Prune and an Assert fails cleanly, except the one
    // right after the fixed fields: fewer records than announced is allowed.
    const size_t no_records = 14;
    for (size_t n = PIM_PKT_HDR_LEN; n < SG_JOIN.size(); n++) {
        if (n == no_records) {
            continue;
        }
        t_bytes part(SG_JOIN.begin(), SG_JOIN.begin() + static_cast<long>(n));
        EXPECT_NE(decode_all(body(part)).err, PIM_PKT_OK) << n;
    }
    t_pim_assert_rec a{};
    for (size_t n = PIM_PKT_HDR_LEN; n < ASSERT.size(); n++) {
        t_bytes part(ASSERT.begin(), ASSERT.begin() + static_cast<long>(n));
        EXPECT_NE(pim_pkt_assert_decode(body(part), a, bad), PIM_PKT_OK) << n;
    }
}

TEST(PimPkt, RejectsBadVersionAndChecksum)
{
    uint8_t type = 0;
    uint16_t rx = 0;
    uint16_t calc = 0;
    EXPECT_EQ(pim_pkt_hdr_check(std::span<const uint8_t>(HELLO.data(), 3), type, rx, calc),
              PIM_PKT_ERR_TOO_SHORT);
    t_bytes v1 = HELLO;
    v1[0] = 0x10;
    EXPECT_EQ(pim_pkt_hdr_check(v1, type, rx, calc), PIM_PKT_ERR_VERSION);
    t_bytes flipped = HELLO;
    flipped[33] ^= 0x01;
    EXPECT_EQ(pim_pkt_hdr_check(flipped, type, rx, calc), PIM_PKT_ERR_CHECKSUM);
    EXPECT_EQ(rx, 0x6905);
    EXPECT_NE(calc, 0);
}

TEST(PimPkt, JoinPruneRecordsWithAddressesWeRefuse)
{
    // Group 225.1.1.1/32, one joined source 10.0.0.99/32 with S.
    const t_bytes rec = {0x01, 0x00, 0x00, 0x20, 0xe1, 0x01, 0x01, 0x01, 0x00, 0x01,
                         0x00, 0x00, 0x01, 0x00, 0x04, 0x20, 0x0a, 0x00, 0x00, 0x63};
    const t_ipaddr from = v4(0x0a000001);
    // A body to 10.0.0.1, holdtime 210, of the given records.
    auto jp_body = [](std::initializer_list<t_bytes> recs) {
        t_bytes b = {0x01, 0x00, 0x0a, 0x00, 0x00, 0x01, 0x00, static_cast<uint8_t>(recs.size()),
                     0x00, 0xd2};
        for (const t_bytes &r : recs) {
            b.insert(b.end(), r.begin(), r.end());
        }
        return b;
    };
    auto check = [&](const t_bytes &r) -> const char * {
        static t_pim_pkt_src_addr joins[4];
        static t_pim_pkt_src_addr prunes[4];
        t_bytes b = jp_body({r, t_bytes(3, 0xee)}); // trailing bytes of unknown meaning
        b[7] = 1;
        t_pim_jp_rd it{};
        t_pim_pkt_jp jp{};
        int32_t bad = 0;
        EXPECT_EQ(pim_pkt_jp_decode_hdr(b, it, jp, bad), PIM_PKT_OK);
        EXPECT_EQ(pim_pkt_jp_decode_group(it, jp, joins, prunes, bad), PIM_PKT_OK);
        const char *why = pim_pkt_jp_group_check(jp.jp_group, from);
        EXPECT_EQ(pim_pkt_jp_decode_end(it, bad) == PIM_PKT_OK, jp.jp_group.unreadable);
        return why;
    };
    EXPECT_EQ(check(rec), nullptr);
    t_bytes r = rec;
    r[19 - 4] = 24; // source mask /24
    EXPECT_STREQ(check(r), "source mask is not full length");
    r = rec;
    r[4] = 0x0a; // group 10.1.1.1
    EXPECT_STREQ(check(r), "group is not multicast");
    uint8_t v6b[16] = {0x20, 0x01, 0x0d, 0xb8};
    t_ipaddr from6{};
    IPADDR_SET_V6(&from6, v6b);
    EXPECT_STREQ(pim_pkt_jp_group_check(t_pim_pkt_jp_group{}, from6),
                 "group family differs from the packet");

    // An address of unknown family or encoding type has no known length: the
    // last record runs to the end of the message and is refused alone...
    for (size_t at : {0u, 1u, 12u, 13u}) {
        r = rec;
        r[at] = at == 12 ? 0 : 3;
        EXPECT_STREQ(check(r), "address of unknown family or encoding") << at;
    }
    t_bytes fam = rec;
    fam[12] = 9; // source family
    t_jp_seen seen = decode_all(jp_body({rec, fam}));
    EXPECT_EQ(seen.err, PIM_PKT_OK);
    ASSERT_EQ(seen.recs.size(), 2u);
    EXPECT_EQ(seen.recs[0].first.size(), 1u) << "the record before takes effect";
    EXPECT_TRUE(seen.recs[1].first.empty() && seen.recs[1].second.empty());
    // ...but in front of another record nothing after it can be read.
    seen = decode_all(jp_body({fam, rec}));
    EXPECT_EQ(seen.err, PIM_PKT_ERR_ADDR_FAMILY);
    EXPECT_TRUE(seen.recs.empty());
    t_bytes enc = rec;
    enc[1] = 1; // group encoding type
    seen = decode_all(jp_body({rec, enc, rec}));
    EXPECT_EQ(seen.err, PIM_PKT_ERR_ADDR_ENCODING);
    EXPECT_EQ(seen.recs.size(), 1u);
}

TEST(PimPkt, RejectsUnknownAddressFamilies)
{
    int32_t bad = 0;
    t_bytes up = SG_JOIN;
    up[4] = 3; // upstream neighbor
    EXPECT_EQ(decode_all(body(up)).err, PIM_PKT_ERR_ADDR_FAMILY);
    t_bytes as = ASSERT;
    as[12] = 7; // asserted source
    t_pim_assert_rec a{};
    EXPECT_EQ(pim_pkt_assert_decode(body(as), a, bad), PIM_PKT_ERR_ADDR_FAMILY);
    EXPECT_EQ(bad, 7);
}

TEST(PimPkt, RejectsLengthsThatLie)
{
    t_pim_hello h{};
    int32_t bad = 0;
    // An unknown option claiming more than is there.
    const t_bytes longopt = {0x20, 0, 0, 0, 0x00, 0x18, 0x00, 0x10, 0x01, 0x00};
    EXPECT_EQ(pim_pkt_hello_decode(body(longopt), h, bad), PIM_PKT_ERR_BAD_LENGTH);
    EXPECT_EQ(bad, 2 - 16);
    // A holdtime option whose length is not 2.
    const t_bytes badhold = {0x20, 0, 0, 0, 0x00, 0x01, 0x00, 0x04, 0x00, 0x69, 0x00, 0x00};
    EXPECT_EQ(pim_pkt_hello_decode(body(badhold), h, bad), PIM_PKT_ERR_OPT_LENGTH);
    EXPECT_EQ(bad, PIM_HELLO_OPT_HOLDTIME);

    // Source counts larger than the record.
    t_bytes joins = SG_JOIN;
    joins[23] = 3;
    EXPECT_EQ(decode_all(body(joins)).err, PIM_PKT_ERR_TRUNCATED);
    t_bytes prunes = SG_JOIN;
    prunes[25] = 1;
    EXPECT_EQ(decode_all(body(prunes)).err, PIM_PKT_ERR_TRUNCATED);
    // An Assert with trailing bytes.
    t_bytes as = ASSERT;
    as.push_back(0);
    t_pim_assert_rec a{};
    EXPECT_EQ(pim_pkt_assert_decode(body(as), a, bad), PIM_PKT_ERR_BAD_LENGTH);
    EXPECT_EQ(bad, 1);

    // IP header: total length beyond what was read, header length below 20.
    std::array<uint8_t, 24> ip{0x45, 0, 0, 24};
    std::copy(HELLO.begin(), HELLO.begin() + 4, ip.begin() + 20);
    t_pim_ip_header hdr{};
    std::span<const uint8_t> pim;
    EXPECT_EQ(pim_pkt_ip_parse(ip, hdr, pim), PIM_PKT_OK);
    EXPECT_EQ(pim.size(), 4u);
    ip[3] = 25;
    EXPECT_EQ(pim_pkt_ip_parse(ip, hdr, pim), PIM_PKT_ERR_IP_HDR);
    ip[3] = 24;
    ip[0] = 0x44;
    EXPECT_EQ(pim_pkt_ip_parse(ip, hdr, pim), PIM_PKT_ERR_IP_HDR);
    ip[0] = 0x46; // 24-byte header with options: the PIM message starts after them
    EXPECT_EQ(pim_pkt_ip_parse(ip, hdr, pim), PIM_PKT_OK);
    EXPECT_EQ(pim.size(), 0u);
}

TEST(PimPkt, RejectsMoreSourcesThanTheArraysHold)
{
    // Our builder never writes this many; another router might.
    std::vector<uint8_t> m(PIM_PKT_BUF_LEN * 2);
    t_pim_wr wr = pim_wr_init(m);
    pim_pkt_encode_header(wr, PIM_PKT_JOIN_PRUNE);
    pim_pkt_encode_unicast_addr(wr, v4(0x0a000001));
    pim_wr_u16(wr, 1);
    pim_wr_u16(wr, 210);
    pim_pkt_encode_group_addr(wr, v4(0xe1010101), 0);
    pim_wr_u16(wr, PIM_JP_MAX_SRCS + 1);
    pim_wr_u16(wr, 0);
    for (uint32_t i = 0; i <= PIM_JP_MAX_SRCS; i++) {
        pim_pkt_encode_source_addr(wr, v4(0x0b000000 + i), PIM_SRC_FLAG_S);
    }
    ASSERT_TRUE(wr.ok);
    t_jp_seen seen = decode_all(std::span<const uint8_t>(m.data() + 4, wr.len - 4));
    EXPECT_EQ(seen.err, PIM_PKT_ERR_TOO_MANY_SRC);
}

} // namespace
