// Any datagram up to PIM_AUTO_RP_MAX_DGRAM bytes, as an Auto-RP socket reads
// it, through the decoder and the processing of a VPN with Auto-RP running:
// entries, cached datagrams, the RP table, the packet timer's re-send (which
// fails without sockets). Whatever decodes as a mapping must walk within the
// datagram. The entries go after each input so that state stays small.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/zul_assert.h"
#include "daemon/pim_auto_rp.h"
#include "daemon/pim_auto_rp_codec.h"
#include "daemon/pim_pkt.h"
#include "tests/sim/pim_sim_if.h"

namespace
{

t_pim_if *setup()
{
    t_pim_vpn *vpn_p = pim_sim_routing_vpn(7);
    ZUL_ASSERT(vpn_p != nullptr);
    vpn_p->auto_rp_enabled = true;
    vpn_p->pim_debug.auto_rp = true;
    vpn_p->pim_debug.auto_rp_level = PIM_DEBUG_LEVEL_DETAIL;
    t_pim_if *if_p = pim_sim_bare_if(vpn_p, "fuzz0", 2);
    if_p->admin_state = PIM_IF_STATE_UP;
    if_p->oper_state = PIM_IF_STATE_UP;
    avl_add(&vpn_p->pim_if_db, if_p);
    return if_p;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static t_pim_if *if_p = setup();
    if (size > PIM_AUTO_RP_MAX_DGRAM) {
        return 0;
    }
    t_pim_vpn *vpn_p = if_p->vpn_p;
    // Decoded where the socket reads to, as the daemon does.
    memcpy(g_pim_tx_rx_buf, data, size);
    (void)pim_pkt_auto_rp_decode(vpn_p, if_p, g_pim_tx_rx_buf, size);

    t_pim_auto_rp_msg msg;
    if (pim_auto_rp_parse(std::span<const uint8_t>(data, size), msg) == PIM_AUTO_RP_OK &&
        msg.type == PIM_AUTO_RP_TYPE_MAPPING) {
        size_t pairs = 0;
        ZUL_ASSERT(pim_auto_rp_walk(msg.rp_entries, msg.rp_count,
                                    [&](const t_pim_auto_rp_pair &) { pairs++; }));
        ZUL_ASSERT(pairs * PIM_AUTO_RP_GROUP_LEN + msg.rp_count * PIM_AUTO_RP_RP_LEN <=
                   msg.rp_entries.size());
        ZUL_ASSERT(avl_numnodes(&vpn_p->rp_db) <= pairs);
    }
    // Every entry with its flood list, then the re-send of a cached datagram.
    for (auto *m = avl_first<t_pim_minfo>(&vpn_p->minfo_db); m != nullptr;
         m = avl_next(&vpn_p->minfo_db, m)) {
        m->upstream_state = PIM_UPSTREAM_JOINED;
        pim_minfo_ilist_set(&m->inherited_olist_p, if_p->if_index);
    }
    pim_auto_rp_pkt_timer_cb(g_kemd_p->auto_rp_pkt_timer_p, g_kemd_p);
    pim_auto_rp_delete_minfo_all(vpn_p);
    ZUL_ASSERT(avl_numnodes(&vpn_p->rp_db) == 0);
    return 0;
}
