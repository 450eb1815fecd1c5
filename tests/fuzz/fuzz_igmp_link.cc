// The daemon's IGMP link decoder on a VPN with routing state: one IGMP
// interface ("eth1_igmp") and an RP for 224.0.0.0/4, every input one message
// body. Afterwards every shadow entry must name a group, and the temporary
// (S,G,rpt) list must be empty.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "daemon/pim_igmp.h"
#include "daemon/pim_subsys.h"
#include "tests/sim/pim_sim_if.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    t_pim_vpn *vpn_p = pim_sim_routing_vpn(7);
    (void)pim_igmp_shadow_init(vpn_p);
    t_ipprefix range{};
    IPPREFIX_INIT(&range, IP_ADDR_V4);
    range.addr.u.addr4 = 0xe0000000;
    range.prefixlen = 4;
    t_ipaddr rp = pim_sim_v4(0x0a090901);
    pim_rp_db_find_or_create(vpn_p, nullptr, PIM_RP_TYPE_AUTO_RP, &range, &rp)->rp_addr = rp;
    (void)pim_sim_bare_if(vpn_p, "eth1_igmp", 42, PIM_IF_TYPE_IGMP);

    (void)pim_igmp_pkt_decode(vpn_p, data, size);
    pim_igmp_shadow_timer_cb(nullptr, vpn_p);

    for (auto *e = avl_first<t_pim_igmp_shadow>(&vpn_p->igmp_shadow_db); e != nullptr;
         e = avl_next(&vpn_p->igmp_shadow_db, e)) {
        if (!ipaddr_is_multicast(&e->group.addr)) {
            abort();
        }
    }
    if (!TAILQ_EMPTY(&vpn_p->tmp_sgrpt_list)) {
        abort();
    }
    pim_sim_daemon_free();
    return 0;
}
