// IGMP daemon simulator: dials a VPN's IGMP link of the daemon in the message
// queue's library framing, registers as the IGMP daemon and sends interface
// and membership messages, also the kinds a real IGMP daemon never sends
// (another VPN's id, bodies that do not unpack, unknown interfaces).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "proto/igmp_pim.pb-c.h"
#include "tests/sim/sim_peer.h"

namespace kemd_sim
{

class t_igmp_sim
{
  public:
    // Connected and registered, or nullptr when nobody listens at path.
    static std::unique_ptr<t_igmp_sim> connect(const std::string &path, uint64_t vpn_id,
                                               int timeout_ms, t_sim_peer::t_pump pump);

    t_sim_peer &peer() { return *peer_; }
    // The VPN id the next messages carry.
    void set_vpn_id(uint64_t vpn_id) { vpn_id_ = vpn_id; }

    bool send(const MIgmpPimMsg &msg);
    bool send_if(bool add, const std::string &name, uint32_t index);
    // source: absent for (*,G); given as text with its length.
    bool send_join(bool add, const std::string &name, const std::string &group,
                   std::optional<std::string> source = std::nullopt, uint32_t len = 32);
    bool send_body(const std::vector<uint8_t> &body);

  private:
    std::unique_ptr<t_sim_peer> peer_;
    uint64_t vpn_id_ = 0;
};

} // namespace kemd_sim
