// igmpd's packet decoder and, for what decodes, the router-side state
// machine: every input is one packet on a fresh interface, followed by a run
// of timer ticks. Nothing may crash, and what the interface announced must
// match its group table.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "tools/igmpd/igmpd_group.h"
#include "tools/igmpd/igmpd_pkt.h"

namespace
{

size_t g_announced = 0;

void no_query(t_igmp_if *, uint32_t, std::span<const uint32_t>, uint32_t, bool) {}

void count_membership(t_igmp_if *, uint32_t, uint32_t, bool add)
{
    g_announced += add ? 1 : static_cast<size_t>(-1);
}

const t_igmp_if_ops g_ops = {no_query, count_membership};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    t_igmp_msg msg;
    if (igmp_pkt_decode(std::span<const uint8_t>(data, size), msg) != IGMP_PKT_OK) {
        return 0;
    }
    g_announced = 0;
    t_igmp_if igmp;
    igmp.ops_p = &g_ops;
    igmp_if_start(&igmp, 0x0a010101, 0);
    igmp_if_rx(&igmp, msg, 0);
    for (t_igmp_ms now = 0; now < 300000; now += 500) {
        igmp_if_tick(&igmp, now);
    }
    if (g_announced != igmp.reported.size() || !igmp.groups.empty()) {
        abort();
    }
    igmp_if_stop(&igmp);
    if (g_announced != 0) {
        abort();
    }
    return 0;
}
