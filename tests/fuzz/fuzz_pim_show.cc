// Show requests with any keys the framework can hand over: the input picks
// the table, the request (get, first, next, same-or-next), how many keys and
// each key's type and payload (integers, texts, addresses and prefixes of
// either family), against a daemon with records in every table, routing
// entries of every kind with their outgoing interfaces among them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/pim_jp.h"
#include "daemon/pim_nbr.h"
#include "daemon/pim_show.h"
#include "tests/sim/pim_sim_if.h"
#include "zconfd/zconfd_pb.h"

namespace
{

constexpr auto v4 = pim_sim_v4;

// (*,G) entries of two groups joined on every interface (the tunnel too), an
// (S,G) entry held on the shortest-path tree and an (S,G,rpt) prune.
void fuzz_entries(t_pim_daemon *daemon_p, t_pim_vpn *vpn_p)
{
    t_ipaddr rp = v4(0x0a090901);
    t_ipaddr source = v4(0x0a090902);
    for (uint32_t g : {0xef010101u, 0xef010102u}) {
        t_ipaddr group = v4(g);
        pim_jp_unit_begin(vpn_p);
        for (t_pim_if *if_p = pim_if_get_first(vpn_p); if_p != nullptr;
             if_p = pim_if_find_next(vpn_p, if_p->if_name, false)) {
            (void)pim_et_jp_join(PIM_TYPE_XG, if_p, &group, &rp, PIM_JP_HOLDTIME_FOREVER);
        }
        pim_jp_handle_eom(vpn_p);
        (void)pim_minfo_spt_sg_create(daemon_p, vpn_p->vpn_id, &source, &group);
        pim_jp_unit_begin(vpn_p);
        t_pim_if *first_p = pim_if_get_first(vpn_p);
        (void)pim_jp_xg_join(first_p, &group, &rp, PIM_JP_HOLDTIME_FOREVER);
        (void)pim_jp_sgrpt_prune(first_p, &group, &source, PIM_JP_HOLDTIME_FOREVER);
        pim_jp_handle_eom(vpn_p);
    }
}

t_pim_daemon *fuzz_daemon()
{
    static t_pim_daemon *daemon_p = nullptr;
    if (daemon_p != nullptr) {
        return daemon_p;
    }
    if (pim_daemon_init(&daemon_p) != PIM_STATUS_OK) {
        __builtin_trap();
    }
    for (uint64_t id : {0, 1, 2}) {
        t_pim_vpn *vpn_p = pim_vpn_find_or_create(daemon_p, id);
        if (id == 1) {
            (void)pim_vpn_pim_enable(vpn_p);
        }
        if (!vpn_p->pim_enabled) {
            continue;
        }
        const char *names[] = {"ge0/1", "ge0/10", "ge0/2"};
        for (int i = 0; i < 3; i++) {
            t_pim_if *if_p = pim_sim_running_if(daemon_p, vpn_p, names[i], 100 + i,
                                                0x0a000005 + (static_cast<uint32_t>(i) << 8));
            if (if_p == nullptr) {
                __builtin_trap();
            }
            t_ipaddr n = v4(0x0a000001 + (static_cast<uint32_t>(i) << 8));
            (void)pim_nbr_process_hello(if_p, &n, 105000, 1, 1, 500, 2500);
            t_ipaddr target = v4(0x0a090900 + static_cast<uint32_t>(i));
            t_pim_next_hop *nh_p = pim_nhres_find_or_create(vpn_p, &target);
            std::vector<t_pim_nh_info> hops;
            for (int k = 0; k < i; k++) {
                hops.push_back({k == 0 ? n : v4(0), static_cast<uint16_t>(if_p->if_index),
                                E_PIM_NHTYPE_SERVICE, 0, 0, 1, 0});
            }
            (void)pim_nhres_set_hops(nh_p, hops);
            t_ipprefix grp{};
            grp.addr = v4(0xe0000000 + (static_cast<uint32_t>(i) << 24));
            grp.prefixlen = static_cast<uint8_t>(4 + i);
            t_pim_rp_db_entry *rp_p =
                pim_rp_db_find_or_create(vpn_p, nullptr, PIM_RP_TYPE_AUTO_RP, &grp, &target);
            rp_p->rp_addr = target;
        }
        t_ipaddr site = v4(0xac100001);
        (void)pim_if_tunnel_create(vpn_p, &site, 5);
        fuzz_entries(daemon_p, vpn_p);
    }
    return daemon_p;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3) {
        return 0;
    }
    t_pim_daemon *daemon_p = fuzz_daemon();
    const t_zconfd_data_cbs &cbs = kemd_callpoint[data[0] % kemd_callpoint.size()];
    uint8_t op = data[1] % 4;
    int num_keys = data[2] % (ZCONFD_MAX_KEYS + 1);
    size_t at = 3;
    std::vector<std::string> texts;
    texts.reserve(ZCONFD_MAX_KEYS);
    t_zconfd_keypath kp{};
    for (int i = 0; i < num_keys && at + 10 <= size; i++, at += 10) {
        uint8_t kind = data[at] % 6;
        uint64_t u = 0;
        memcpy(&u, data + at + 2, sizeof(u));
        t_zconfd_value &v = kp.keys[kp.num_keys++];
        switch (kind) {
        case 0:
            v = zconfd_val_uint(0, ZCONFD_VT_UINT32, u % 4);
            break;
        case 1:
            v = zconfd_val_enum(0, static_cast<int32_t>(u % 300) - 1);
            break;
        case 2: {
            // Interface names close to the real ones, and other texts.
            const char *names[] = {"ge0/1", "ge0/10", "ge0/2", "ge0/5", "", "x"};
            texts.emplace_back(names[u % 6]);
            texts.back().append(data[at + 1] % 3 == 0 ? "0" : "");
            v = zconfd_val_str(0, texts.back().c_str());
            break;
        }
        case 3: {
            // Unicast addresses of the records, or groups of the entries.
            uint32_t net = data[at + 1] % 2 == 0 ? 0x0a000000 : 0xef000000;
            t_ipaddr a = v4(net | static_cast<uint32_t>(u & 0xffffff));
            v = zconfd_val_ipaddr(0, &a);
            break;
        }
        case 4: {
            uint8_t bytes[16] = {};
            memcpy(bytes, &u, sizeof(u));
            t_ipaddr a{};
            IPADDR_SET_V6(&a, bytes);
            v = zconfd_val_ipaddr(0, &a);
            break;
        }
        default: {
            t_ipprefix p{};
            p.addr = v4(static_cast<uint32_t>(u));
            p.prefixlen = static_cast<uint8_t>(data[at + 1] % 33);
            v = zconfd_val_ipprefix(0, &p);
            break;
        }
        }
    }
    t_zconfd_pb_values vals;
    t_zconfd_trans tctx{nullptr, daemon_p, false, false, &vals};
    switch (op) {
    case 0:
        (void)cbs.get_object(&tctx, &kp);
        break;
    case 1:
        (void)cbs.get_next_object(&tctx, &kp, data[1] & 0x80 ? 3 : -1);
        break;
    default:
        (void)cbs.find_next_object(&tctx, &kp,
                                   op == 2 ? ZCONFD_FIND_NEXT : ZCONFD_FIND_SAME_OR_NEXT, kp.keys,
                                   kp.num_keys);
        break;
    }
    return 0;
}
