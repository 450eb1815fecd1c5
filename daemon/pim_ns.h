// Network namespaces of the VPNs. A VPN other than 0 lives in the namespace
// "/var/run/netns/<vpn id>" (entered with pim_util_set_ns, pim_daemon.h); the
// daemon's own namespace is kept as a descriptor taken at start-up
// (pim_util_ns_init; the first entry takes it otherwise) and is where
// pim_util_reset_ns returns to, retrying a failed return.
#pragma once

#include <cstdint>

#include "daemon/pim_defs.h"

e_pim_status pim_util_ns_init();
void pim_util_ns_destroy();

// Inside a VPN's namespace for the guard's lifetime: sockets opened there keep
// it, so only their creation needs one. A return that keeps failing ends the
// process rather than leave it running in the VPN's namespace.
class t_pim_ns_guard
{
  public:
    explicit t_pim_ns_guard(uint64_t vpn_id);
    ~t_pim_ns_guard();
    t_pim_ns_guard(const t_pim_ns_guard &) = delete;
    t_pim_ns_guard &operator=(const t_pim_ns_guard &) = delete;
    // False when the VPN's namespace could not be entered (logged).
    bool entered() const { return entered_; }

  private:
    uint64_t vpn_id_;
    bool entered_;
};
