// Route table manager messages as the daemon's link receives them: header
// checks, unpacking and what interface and next-hop messages do to a VPN's
// interface table and next-hop records. The first byte chooses between the
// bytes as they are and the bytes behind a correct header, so that most
// inputs reach the message handlers.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "daemon/pim_daemon.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_nhres.h"
#include "daemon/pim_rtm.h"
#include "daemon/pim_vpn.h"

namespace
{

// A VPN that never runs PIM itself, so no namespace is entered.
constexpr uint64_t FUZZ_VPN_ID = PIM_VPN_ID_TRANSPORT;

void ignore(t_pim_minfo *) {}

t_pim_daemon *fuzz_daemon()
{
    static t_pim_daemon *daemon_p = [] {
        auto *d = pim_new<t_pim_daemon>();
        g_kemd_p = d;
        d->timer_mgr_p =
            timer_mgr_create(TIMER_RESN_SEC, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        (void)pim_vpn_init(d);
        g_pim_nhres_ops = {ignore, ignore, ignore};
        return d;
    }();
    return daemon_p;
}

t_pim_minfo fuzz_entry(e_pim_type type, const char *target)
{
    t_pim_minfo m{};
    m.type = type;
    (void)str_to_ip(target, &m.received_rp);
    (void)str_to_ip(target, &m.source);
    (void)str_to_ip("239.1.1.1", &m.group);
    return m;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > 65535 - 6) {
        return 0;
    }
    t_pim_daemon *daemon_p = fuzz_daemon();
    t_pim_vpn *vpn_p = pim_vpn_find_or_create(daemon_p, FUZZ_VPN_ID);
    if (vpn_p == nullptr || pim_nhres_db_init(vpn_p) != PIM_STATUS_OK) {
        return 0;
    }
    t_pim_minfo entries[] = {fuzz_entry(PIM_TYPE_XG, "10.1.1.1"),
                             fuzz_entry(PIM_TYPE_AUTO_RP, "10.1.1.1"),
                             fuzz_entry(PIM_TYPE_SG, "2001:db8::1")};
    for (t_pim_minfo &m : entries) {
        m.vpn_p = vpn_p;
        (void)pim_nhres_link_minfo(vpn_p, &m, &m.received_rp);
    }

    std::vector<uint8_t> msg;
    if (data[0] & 1) {
        size_t len = size - 1 + 6;
        msg = {static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len), 0, 7, 0, 0};
        msg.insert(msg.end(), data + 1, data + size);
    } else {
        msg.assign(data + 1, data + size);
    }
    (void)pim_rtm_pkt_decode(vpn_p, msg.data(), static_cast<uint32_t>(msg.size()), FUZZ_VPN_ID);

    for (t_pim_minfo &m : entries) {
        (void)pim_nhres_unlink_minfo(vpn_p, &m);
    }
    pim_vpn_find_and_delete(daemon_p, FUZZ_VPN_ID);
    return 0;
}
