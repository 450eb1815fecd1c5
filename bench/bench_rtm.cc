// Unicast routing information at scale: applying a next-hop update to a record
// with many dependent entries, the RP lookup over many group ranges, and
// rtmd's longest-match resolution over large route tables.
#include <benchmark/benchmark.h>
#include <linux/rtnetlink.h>
#include <string>
#include <vector>

#include "common/rtm_msg.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_nhres.h"
#include "daemon/pim_rp_db.h"
#include "daemon/pim_rtm.h"
#include "daemon/pim_vpn.h"
#include "tools/rtmd/rtmd_model.h"

namespace
{

void ignore(t_pim_minfo *) {}

t_ipaddr v4(uint32_t host_order)
{
    t_ipaddr a;
    IPADDR_SET_V4(&a, host_order);
    return a;
}

// A VPN outside any namespace with its next-hop and RP tables.
struct t_bench_vpn {
    t_pim_daemon *daemon = pim_new<t_pim_daemon>();
    t_pim_vpn *vpn = nullptr;
    t_pim_nhres_ops saved = g_pim_nhres_ops;

    t_bench_vpn()
    {
        g_kemd_p = daemon;
        daemon->timer_mgr_p =
            timer_mgr_create(TIMER_RESN_SEC, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        (void)pim_vpn_init(daemon);
        vpn = pim_vpn_find_or_create(daemon, PIM_VPN_ID_TRANSPORT);
        (void)pim_nhres_db_init(vpn);
        (void)pim_rp_db_init(vpn);
        g_pim_nhres_ops = {ignore, ignore, ignore};
    }
    ~t_bench_vpn()
    {
        pim_vpn_destroy(daemon);
        pim_timers_destroy(daemon);
        pim_delete(daemon);
        g_kemd_p = nullptr;
        g_pim_nhres_ops = saved;
    }
};

std::vector<uint8_t> update_msg(const t_ipaddr &addr, int hops)
{
    t_rtmd_resolution res;
    res.metric = 10;
    res.distance = 110;
    res.protocol = PROTO_TYPE__ROUTE_OSPF;
    for (int i = 0; i < hops; i++) {
        res.nhs.push_back({E_RTM_CONTROL_NH_TYPE__NEXTHOP_IF_IDX,
                           v4(0x0A000000u + static_cast<uint32_t>(i) + 2), 7});
    }
    return rtmd_encode_nhres_update(addr, res);
}

void BM_NhresUpdate(benchmark::State &state)
{
    t_bench_vpn b;
    auto entries = static_cast<size_t>(state.range(0));
    std::vector<t_pim_minfo> minfos(entries);
    t_ipaddr rp = v4(0x0A010101);
    for (size_t i = 0; i < entries; i++) {
        minfos[i].type = PIM_TYPE_XG;
        minfos[i].vpn_p = b.vpn;
        minfos[i].group = v4(0xE1000000u + static_cast<uint32_t>(i));
        (void)pim_nhres_link_minfo(b.vpn, &minfos[i], &rp);
    }
    std::vector<uint8_t> msg = update_msg(rp, 16);
    for (auto _ : state) {
        benchmark::DoNotOptimize(pim_rtm_pkt_decode(
            b.vpn, msg.data(), static_cast<uint32_t>(msg.size()), PIM_VPN_ID_TRANSPORT));
    }
    for (t_pim_minfo &m : minfos) {
        (void)pim_nhres_unlink_minfo(b.vpn, &m);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NhresUpdate)->Arg(1)->Arg(1000)->Arg(100000);

void BM_RpLookup(benchmark::State &state)
{
    t_bench_vpn b;
    pim_rp_db_mark_stale(b.vpn);
    for (int64_t i = 0; i < state.range(0); i++) {
        t_ipprefix range{};
        range.addr = v4(0xE0000000u + (static_cast<uint32_t>(i) << 8));
        range.prefixlen = 24;
        t_ipaddr rp = v4(0x0A000001u + static_cast<uint32_t>(i));
        pim_rp_db_apply_mapping(b.vpn, nullptr, &range, &rp);
    }
    t_ipaddr group = v4(0xE0000000u + (static_cast<uint32_t>(state.range(0) / 2) << 8) + 1);
    t_ipaddr out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(pim_rp_db_find_rp_for_group(b.vpn, &group, &out));
    }
}
BENCHMARK(BM_RpLookup)->Arg(10)->Arg(1000);

void BM_RtmdResolve(benchmark::State &state)
{
    t_rtmd_view view;
    view.links[2] = {2, "eth0", true};
    for (int64_t i = 0; i < state.range(0); i++) {
        t_rtmd_route r{};
        r.dst.addr = v4(0x0B000000u + (static_cast<uint32_t>(i) << 8));
        r.dst.prefixlen = 24;
        r.table = RT_TABLE_MAIN;
        r.kernel_proto = RTPROT_BGP;
        r.type = RTN_UNICAST;
        r.nhs = {{v4(0x0A000002), 2}};
        view.routes.push_back(r);
    }
    t_ipaddr addr = v4(0x0B000000u + (static_cast<uint32_t>(state.range(0) / 2) << 8) + 9);
    for (auto _ : state) {
        benchmark::DoNotOptimize(rtmd_resolve(view, addr));
    }
}
BENCHMARK(BM_RtmdResolve)->Arg(1000)->Arg(100000);

} // namespace
