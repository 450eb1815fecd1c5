// The daemon record in this process with a real event loop and fine timers,
// and one VPN, for its links against simulated companions.
#pragma once

#include <event2/event.h>
#include <gtest/gtest.h>

#include "daemon/pim_daemon.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_vpn.h"
#include "tests/sim/sim_peer.h"

namespace kemd_sim
{

inline t_ipaddr sim_ip(const char *text)
{
    t_ipaddr a{};
    EXPECT_EQ(str_to_ip(text, &a), 1) << text;
    return a;
}

struct t_sim_kemd {
    t_pim_daemon *daemon = nullptr;
    t_pim_vpn *vpn = nullptr;

    // Makes the daemon record (the global one) and VPN vpn_id; false on failure.
    bool start(uint64_t vpn_id)
    {
        daemon = pim_new<t_pim_daemon>();
        g_kemd_p = daemon;
        daemon->base_event_p = event_base_new();
        daemon->timer_mgr_p =
            timer_mgr_create(TIMER_RESN_100MSEC, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        vpn = pim_vpn_init(daemon) == PIM_STATUS_OK ? pim_vpn_find_or_create(daemon, vpn_id)
                                                    : nullptr;
        return vpn != nullptr;
    }

    void stop()
    {
        if (daemon != nullptr) {
            pim_vpn_destroy(daemon);
            pim_timers_destroy(daemon);
            event_base_free(daemon->base_event_p);
            pim_delete(daemon);
            g_kemd_p = nullptr;
            daemon = nullptr;
            vpn = nullptr;
        }
    }

    void pump()
    {
        (void)timer_exec(daemon->timer_mgr_p, TIMER_PRI_MASK_ALL, 100);
        event_base_loop(daemon->base_event_p, EVLOOP_NONBLOCK);
    }

    t_sim_peer::t_pump pumper()
    {
        return [this] { pump(); };
    }

    // Pumps the daemon until pred holds; false once ms passed.
    bool until(const std::function<bool()> &pred, int ms = 2000)
    {
        return sim_wait(pumper(), pred, ms);
    }
};

} // namespace kemd_sim
