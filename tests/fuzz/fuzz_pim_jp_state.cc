// Join/Prune processing with live routing state. Each input builds a fresh
// VPN (two service-side interfaces with neighbors, an IGMP interface) and
// then runs a sequence of operations chosen by its bytes: Join/Prune messages
// through the receive path, local membership through the unit protocol,
// neighbor changes, SPT switchovers, time advances and flushes of our own
// Join/Prunes. After every operation the routing state must hold together:
// the temporary list is empty; no (*,G) or (S,G) entry is left without a
// per-interface record unless the SPT flag or JoinDesired holds it; and the
// joined, local and pruned lists carry exactly the interfaces whose records
// are in the states that put them there.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <vector>

#include "common/timer.h"
#include "common/zul_assert.h"
#include "daemon/pim_jp.h"
#include "daemon/pim_nbr.h"
#include "daemon/pim_pkt.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/sim/pim_sim_if.h"

namespace
{

constexpr uint64_t VPN_ID = 7;
constexpr uint32_t GROUP_BASE = 0xe1010100;  // 225.1.1.0 and the next three
constexpr uint32_t SOURCE_BASE = 0x0a080801; // 10.8.8.1 and the next three
constexpr uint32_t RP_BASE = 0x0a090901;     // 10.9.9.1 and 10.9.9.2
constexpr uint16_t HOLDTIMES[] = {2, 5, 210, PIM_JP_HOLDTIME_FOREVER};
constexpr size_t MAX_OPS = 64;

timespec g_now{};

void fake_clock(timespec *now) { *now = g_now; }

struct t_world {
    t_pim_daemon *daemon_p;
    t_pim_vpn *vpn_p;
    t_pim_if *lan[2];
    t_pim_if *igmp_p;
};

constexpr auto v4 = pim_sim_v4;

t_pim_if *service_if(t_world &w, const char *name, uint32_t addr)
{
    t_pim_if *if_p =
        pim_sim_running_if(w.daemon_p, w.vpn_p, name, static_cast<int>(addr & 0xffff), addr);
    ZUL_ASSERT(if_p != nullptr);
    return if_p;
}

// Neighbor n (0 or 1) of a LAN interface: .1 and .2 of its subnet.
t_ipaddr nbr_addr(const t_pim_if *if_p, unsigned n)
{
    return v4((if_p->if_addr.addr.u.addr4 & 0xffffff00) + 1 + n);
}

void hello(t_pim_if *if_p, unsigned n, uint32_t hold_ms)
{
    t_ipaddr a = nbr_addr(if_p, n);
    (void)pim_nbr_process_hello(if_p, &a, hold_ms, 1, 1, 500, 2500);
}

t_world setup()
{
    t_world w{};
    g_now = {1000, 0};
    w.vpn_p = pim_sim_routing_vpn(VPN_ID, fake_clock);
    w.daemon_p = g_kemd_p;
    ZUL_ASSERT(w.vpn_p != nullptr);
    w.lan[0] = service_if(w, "lan0", 0x0a000005);
    w.lan[1] = service_if(w, "lan1", 0x0a000105);
    w.igmp_p = pim_sim_bare_if(w.vpn_p, "igmp0", 42, PIM_IF_TYPE_IGMP);
    for (t_pim_if *if_p : w.lan) {
        hello(if_p, 0, 105000);
        hello(if_p, 1, 105000);
    }
    return w;
}

// A source of a group record: a (*,G) Join or Prune names an RP.
t_pim_jp_src record_source(uint8_t b)
{
    switch (b % 3) {
    case 0:
        return {v4(RP_BASE + ((b >> 2) & 1)), PIM_SRC_FLAG_S | PIM_SRC_FLAG_W | PIM_SRC_FLAG_R};
    case 1:
        return {v4(SOURCE_BASE + ((b >> 2) & 3)), PIM_SRC_FLAG_S};
    default:
        return {v4(SOURCE_BASE + ((b >> 2) & 3)), PIM_SRC_FLAG_S | PIM_SRC_FLAG_R};
    }
}

// A Join/Prune of one to three group records from a neighbor, mostly to us,
// through the whole receive path.
void op_jp_message(t_world &w, t_fuzz_input &in)
{
    uint8_t how = in.next();
    t_pim_if *if_p = w.lan[how & 1];
    t_ipaddr sender = nbr_addr(if_p, (how >> 1) & 1);
    t_ipaddr upstream = (how & 0x1c) == 0x1c ? nbr_addr(if_p, 0) : if_p->if_addr.addr;
    size_t ngroups = 1 + (how >> 5) % 3;
    std::vector<t_pim_jp_src> srcs;
    srcs.reserve(ngroups * 6);
    std::vector<t_pim_jp_group_tx> groups;
    for (size_t g = 0; g < ngroups; g++) {
        uint8_t shape = in.next();
        size_t nj = shape & 3;
        size_t np = (shape >> 2) & 3;
        size_t first = srcs.size();
        for (size_t i = 0; i < nj + np; i++) {
            srcs.push_back(record_source(in.next()));
        }
        t_pim_jp_group_tx rec{v4(GROUP_BASE + (shape >> 4) % 4), {}, {}};
        rec.joins = std::span<const t_pim_jp_src>(srcs).subspan(first, nj);
        rec.prunes = std::span<const t_pim_jp_src>(srcs).subspan(first + nj, np);
        groups.push_back(rec);
    }
    t_pim_jp_tx jp{upstream, HOLDTIMES[(how >> 2) & 3], groups};
    std::vector<uint8_t> dgram(20 + PIM_PKT_BUF_LEN);
    t_pim_jp_cursor cur{};
    size_t len = pim_pkt_jp_build(std::span<uint8_t>(dgram).subspan(20), jp, cur);
    if (len == 0) {
        return;
    }
    size_t total = 20 + len;
    dgram[0] = 0x45;
    dgram[2] = static_cast<uint8_t>(total >> 8);
    dgram[3] = static_cast<uint8_t>(total);
    dgram[9] = PIM_IP_PROTO;
    for (int i = 0; i < 4; i++) {
        dgram[12 + i] = static_cast<uint8_t>(sender.u.addr4 >> (24 - 8 * i));
    }
    (void)pim_pkt_decode(w.daemon_p, if_p, dgram.data(), total);
}

// Local membership: one Join or Prune per unit on the IGMP interface.
void op_membership(t_world &w, t_fuzz_input &in)
{
    uint8_t b = in.next();
    t_ipaddr group = v4(GROUP_BASE + (b & 3));
    bool xg = (b & 4) != 0;
    t_ipaddr addr = xg ? v4(RP_BASE + ((b >> 3) & 1)) : v4(SOURCE_BASE + ((b >> 3) & 3));
    e_pim_type type = xg ? PIM_TYPE_XG : PIM_TYPE_SG;
    pim_jp_unit_begin(w.vpn_p);
    if ((b & 0x20) != 0) {
        (void)pim_et_jp_prune(type, w.igmp_p, &group, &addr);
    } else {
        (void)pim_et_jp_join(type, w.igmp_p, &group, &addr, PIM_JP_HOLDTIME_FOREVER);
    }
    pim_jp_handle_eom(w.vpn_p);
}

void op_advance(t_world &w, t_fuzz_input &in)
{
    unsigned seconds = in.next() % 40;
    for (unsigned i = 0; i < seconds; i++) {
        g_now.tv_sec++;
        (void)timer_exec(w.daemon_p->timer_mgr_p, TIMER_PRI_MASK_ALL, 1000);
    }
}

// A neighbor leaves (Hello with holdtime 0) or comes back, with or without
// its DR priority and LAN delay options, tracking joins or not.
void op_neighbor(t_world &w, t_fuzz_input &in)
{
    uint8_t b = in.next();
    t_pim_if *if_p = w.lan[b & 1];
    t_ipaddr a = nbr_addr(if_p, (b >> 1) & 1);
    t_pim_nbr_hello h{};
    h.holdtime = (b & 4) != 0 ? 0 : 105000;
    h.has_gen_id = true;
    h.gen_id = 1;
    h.has_dr_priority = (b & 8) == 0;
    h.has_lan_delay = (b & 0x10) == 0;
    h.t_bit = (b & 0x20) != 0;
    h.prop_delay = (b & 0x40) != 0 ? 0 : 500;
    h.override_int = 2500;
    (void)pim_nbr_process_hello_rec(if_p, &a, h);
}

void op_spt(t_world &w, t_fuzz_input &in)
{
    uint8_t b = in.next();
    t_ipaddr group = v4(GROUP_BASE + (b & 3));
    t_ipaddr source = v4(SOURCE_BASE + ((b >> 2) & 3));
    if ((b & 0x10) != 0) {
        (void)pim_minfo_spt_sg_delete(w.daemon_p, VPN_ID, &source, &group);
    } else {
        (void)pim_minfo_spt_sg_create(w.daemon_p, VPN_ID, &source, &group);
    }
}

// Whether a record's state puts its interface into the entry's list.
bool state_listed(const t_pim_if_minfo *r)
{
    if (r->type == PIM_TYPE_SG_RPT) {
        return r->ds_state == PIM_IF_DSTREAM_PRUNED || r->ds_state == PIM_IF_DSTREAM_PRUNE_TMP;
    }
    return r->ds_state == PIM_IF_DSTREAM_JOINED || r->ds_state == PIM_IF_DSTREAM_PRUNE_PENDING;
}

const t_pim_olist *list_of(const t_pim_minfo *m, const t_pim_if *if_p)
{
    if (m->type == PIM_TYPE_SG_RPT) {
        return m->pruned_olist_p;
    }
    return if_p->pim_if_type == PIM_IF_TYPE_IGMP ? m->local_olist_p : m->joined_olist_p;
}

void check_invariants(t_world &w)
{
    ZUL_ASSERT(TAILQ_EMPTY(&w.vpn_p->tmp_sgrpt_list));
    t_pim_if *ifs[] = {w.lan[0], w.lan[1], w.igmp_p};
    for (auto *m = avl_first<t_pim_minfo>(&w.vpn_p->minfo_db); m != nullptr;
         m = avl_next(&w.vpn_p->minfo_db, m)) {
        ZUL_ASSERT(m->magic == PIM_MINFO_MAGIC);
        if ((m->type == PIM_TYPE_XG || m->type == PIM_TYPE_SG) &&
            avl_numnodes(&m->if_minfo_db) == 0) {
            ZUL_ASSERT((m->minfo_flags & PIM_MINFO_FLAG_SPT) != 0 ||
                       (m->macro_result & PIM_MACRO_JOIN_DESIRED) != 0);
        }
        if (m->type != PIM_TYPE_XG && m->type != PIM_TYPE_SG && m->type != PIM_TYPE_SG_RPT) {
            continue;
        }
        for (t_pim_if *if_p : ifs) {
            const t_pim_if_minfo *r = pim_if_minfo_find_from_minfo(if_p, m);
            bool listed = r != nullptr && state_listed(r);
            ZUL_ASSERT(pim_minfo_ilist_test(list_of(m, if_p), if_p->if_index) == listed);
            if (r != nullptr) {
                ZUL_ASSERT(r->magic == PIM_MINFO_MAGIC && r->minfo_p == m && !r->on_tmp_list);
            }
        }
        // No interface outside the VPN's in any list.
        for (const t_pim_olist *list : {m->joined_olist_p, m->local_olist_p, m->pruned_olist_p}) {
            uint32_t bit = 0;
            for (pim_minfo_ilist_find_first(list, &bit); bit != 0;
                 pim_minfo_ilist_find_next(list, bit, &bit)) {
                ZUL_ASSERT(bit == w.lan[0]->if_index || bit == w.lan[1]->if_index ||
                           bit == w.igmp_p->if_index);
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    t_world w = setup();
    t_fuzz_input in{data, size};
    for (size_t n = 0; n < MAX_OPS && in.left > 0; n++) {
        switch (in.next() % 6) {
        case 0:
            op_jp_message(w, in);
            break;
        case 1:
            op_membership(w, in);
            break;
        case 2:
            op_advance(w, in);
            break;
        case 3:
            op_neighbor(w, in);
            break;
        case 4:
            op_spt(w, in);
            break;
        default:
            pim_jp_tx_flush_all(w.daemon_p);
            break;
        }
        check_invariants(w);
    }
    pim_sim_daemon_free();
    return 0;
}
