// PIM codec rates: decode-and-validate and build of a Hello and of a
// Join/Prune carrying 100 groups, and a Hello through the whole receive path
// of an interface (neighbor refresh included). Items are messages.
#include <array>
#include <benchmark/benchmark.h>
#include <vector>

#include "daemon/pim_daemon.h"
#include "daemon/pim_if.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_nbr.h"
#include "daemon/pim_pkt.h"
#include "daemon/pim_vpn.h"

namespace
{

constexpr size_t JP_GROUPS = 100;

t_ipaddr v4(uint32_t a)
{
    t_ipaddr r{};
    IPADDR_SET_V4(&r, a);
    return r;
}

t_pim_hello sample_hello()
{
    t_pim_hello h{};
    h.holdtime = 105;
    h.prop_delay = 500;
    h.override_int = 3000;
    h.dr_priority = 1;
    h.gen_id = 0x12345678;
    return h;
}

struct t_jp_sample {
    std::vector<t_pim_jp_src> srcs;
    std::vector<t_pim_jp_group_tx> groups;
    t_pim_jp_tx tx;

    t_jp_sample()
    {
        srcs.reserve(JP_GROUPS);
        for (uint32_t i = 0; i < JP_GROUPS; i++) {
            srcs.push_back({v4(0x0a000100 + i), PIM_SRC_FLAG_S});
        }
        for (uint32_t i = 0; i < JP_GROUPS; i++) {
            groups.push_back({v4(0xe1000000 + i), {&srcs[i], 1}, {}});
        }
        tx = t_pim_jp_tx{v4(0x0a000001), 210, groups};
    }
};

bool decode_jp(std::span<const uint8_t> msg, t_pim_pkt_src_addr *joins, t_pim_pkt_src_addr *prunes)
{
    uint8_t type = 0;
    uint16_t rx = 0;
    uint16_t calc = 0;
    if (pim_pkt_hdr_check(msg, type, rx, calc) != PIM_PKT_OK) {
        return false;
    }
    t_pim_jp_rd it{};
    t_pim_pkt_jp jp{};
    int32_t bad = 0;
    if (pim_pkt_jp_decode_hdr(msg.subspan(PIM_PKT_HDR_LEN), it, jp, bad) != PIM_PKT_OK) {
        return false;
    }
    while (pim_pkt_jp_more(it, jp)) {
        if (pim_pkt_jp_decode_group(it, jp, {joins, PIM_JP_MAX_SRCS}, {prunes, PIM_JP_MAX_SRCS},
                                    bad) != PIM_PKT_OK) {
            return false;
        }
    }
    return pim_pkt_jp_decode_end(it, bad) == PIM_PKT_OK;
}

void BM_HelloDecode(benchmark::State &state)
{
    std::array<uint8_t, PIM_PKT_BUF_LEN> buf{};
    size_t len = pim_pkt_hello_build(buf, sample_hello());
    std::span<const uint8_t> msg(buf.data(), len);
    for (auto _ : state) {
        uint8_t type = 0;
        uint16_t rx = 0;
        uint16_t calc = 0;
        t_pim_hello h{};
        int32_t bad = 0;
        bool ok = pim_pkt_hdr_check(msg, type, rx, calc) == PIM_PKT_OK &&
                  pim_pkt_hello_decode(msg.subspan(PIM_PKT_HDR_LEN), h, bad) == PIM_PKT_OK;
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(h);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HelloDecode);

void BM_HelloBuild(benchmark::State &state)
{
    std::array<uint8_t, PIM_PKT_BUF_LEN> buf{};
    t_pim_hello h = sample_hello();
    for (auto _ : state) {
        h.gen_id++;
        benchmark::DoNotOptimize(pim_pkt_hello_build(buf, h));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HelloBuild);

void BM_JoinPrune100Decode(benchmark::State &state)
{
    // 100 (S,G) records are 2014 bytes: one message when split at the buffer's size.
    t_jp_sample s;
    std::vector<uint8_t> buf(4096);
    t_pim_jp_cursor cur{};
    size_t len = pim_pkt_jp_build(buf, s.tx, cur, buf.size());
    std::span<const uint8_t> msg(buf.data(), len);
    static t_pim_pkt_src_addr joins[PIM_JP_MAX_SRCS];
    static t_pim_pkt_src_addr prunes[PIM_JP_MAX_SRCS];
    if (!decode_jp(msg, joins, prunes)) {
        state.SkipWithError("sample does not decode");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(decode_jp(msg, joins, prunes));
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
}
BENCHMARK(BM_JoinPrune100Decode);

void BM_JoinPrune100Build(benchmark::State &state)
{
    // Split at a frame: 73 records, then 27 in a second message.
    t_jp_sample s;
    std::array<uint8_t, PIM_PKT_BUF_LEN> buf{};
    for (auto _ : state) {
        t_pim_jp_cursor cur{};
        while (size_t len = pim_pkt_jp_build(buf, s.tx, cur)) {
            benchmark::DoNotOptimize(len);
            benchmark::ClobberMemory();
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_JoinPrune100Build);

void *timer_alloc(void *, size_t size) { return pim_malloc(size); }
void timer_free(void *, void *ptr) { pim_free(ptr); }

void BM_HelloReceivePath(benchmark::State &state)
{
    t_pim_daemon *daemon_p = pim_new<t_pim_daemon>();
    g_kemd_p = daemon_p;
    daemon_p->timer_mgr_p =
        timer_mgr_create(TIMER_RESN_SEC, timer_alloc, timer_free, nullptr, TIMER_PRI_MASK_ALL);
    (void)pim_vpn_init(daemon_p);
    t_pim_vpn *vpn_p = pim_vpn_find_or_create(daemon_p, 7);
    t_pim_if_idx *idx = pim_if_idx_find_or_create(vpn_p, 2, PIM_IF_TYPE_LOCAL);
    t_pim_if *if_p = pim_if_create(vpn_p, "bench0", PIM_IF_TYPE_LOCAL,
                                   static_cast<uint32_t>(idx->bitmap_idx), nullptr, true, true);
    IPADDR_SET_V4(&if_p->if_addr.addr, 0x0a000005);
    if_p->if_addr.prefixlen = 24;
    if_p->pim_configured = true;
    avl_add(&vpn_p->pim_if_db, if_p);
    avl_add(&vpn_p->pim_show_if_db, if_p);
    (void)pim_if_init_cfg(if_p);
    if_p->pim_enabled = true;

    std::array<uint8_t, 20 + PIM_HELLO_LEN> dgram{0x45, 0, 0, 20 + PIM_HELLO_LEN};
    dgram[9] = PIM_IP_PROTO;
    dgram[12] = 10;
    dgram[15] = 1;
    (void)pim_pkt_hello_build(std::span<uint8_t>(dgram).subspan(20), sample_hello());
    for (auto _ : state) {
        benchmark::DoNotOptimize(pim_pkt_decode(daemon_p, if_p, dgram.data(), dgram.size()));
    }
    state.SetItemsProcessed(state.iterations());
    pim_vpn_destroy(daemon_p);
    pim_timers_destroy(daemon_p);
    pim_delete(daemon_p);
    g_kemd_p = nullptr;
}
BENCHMARK(BM_HelloReceivePath);

} // namespace
