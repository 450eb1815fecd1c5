// The daemon's IGMP link decoder on a VPN with routing state: one IGMP
// interface ("eth1_igmp") and an RP for 224.0.0.0/4, every input one message
// body. Afterwards every shadow entry must name a group, and the temporary
// (S,G,rpt) list must be empty.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common/timer.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_if.h"
#include "daemon/pim_igmp.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_nhres.h"
#include "daemon/pim_rp_db.h"
#include "daemon/pim_subsys.h"
#include "daemon/pim_vpn.h"

namespace
{

constexpr uint64_t VPN_ID = 7;

void *timer_alloc(void *, size_t size) { return pim_malloc(size); }
void timer_free(void *, void *ptr) { pim_free(ptr); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    auto *daemon_p = pim_new<t_pim_daemon>();
    g_kemd_p = daemon_p;
    daemon_p->timer_mgr_p =
        timer_mgr_create(TIMER_RESN_SEC, timer_alloc, timer_free, nullptr, TIMER_PRI_MASK_ALL);
    (void)pim_vpn_init(daemon_p);
    t_pim_vpn *vpn_p = pim_vpn_find_or_create(daemon_p, VPN_ID);
    (void)pim_minfo_init(vpn_p);
    (void)pim_nhres_db_init(vpn_p);
    (void)pim_rp_db_init(vpn_p);
    (void)pim_igmp_shadow_init(vpn_p);
    t_ipprefix range{};
    IPPREFIX_INIT(&range, IP_ADDR_V4);
    range.addr.u.addr4 = 0xe0000000;
    range.prefixlen = 4;
    t_ipaddr rp{};
    IPADDR_SET_V4(&rp, 0x0a090901);
    pim_rp_db_find_or_create(vpn_p, nullptr, PIM_RP_TYPE_AUTO_RP, &range, &rp)->rp_addr = rp;
    t_pim_if_idx *idx = pim_if_idx_find_or_create(vpn_p, 42, PIM_IF_TYPE_IGMP);
    (void)pim_if_create(vpn_p, "eth1_igmp", PIM_IF_TYPE_IGMP,
                        static_cast<uint32_t>(idx->bitmap_idx), nullptr, true, true);

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
    pim_vpn_destroy(daemon_p);
    pim_timers_destroy(daemon_p);
    pim_delete(daemon_p);
    g_kemd_p = nullptr;
    return 0;
}
