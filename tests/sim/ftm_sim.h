// Forwarding table manager simulator: dials the PIM daemon's server socket as
// the forwarding table manager does (library framing, registration first),
// collects the programming messages and sends reports, well-formed or not.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "proto/pim_ftm.pb-c.h"
#include "tests/sim/sim_peer.h"

namespace kemd_sim
{

struct t_ftm_msg_free {
    void operator()(PbPimFtmMsg *msg) const { pb_pim_ftm_msg__free_unpacked(msg, nullptr); }
};
using t_ftm_msg = std::unique_ptr<PbPimFtmMsg, t_ftm_msg_free>;

class t_ftm_sim
{
  public:
    // Connected and registered, or nullptr when nobody listens at path.
    static std::unique_ptr<t_ftm_sim> connect(const std::string &path, int timeout_ms,
                                              t_sim_peer::t_pump pump);

    t_sim_peer &peer() { return *peer_; }
    // The next message, unpacked; nothing on timeout or an undecodable body.
    t_ftm_msg recv(int timeout_ms);
    // Messages until quiet_ms pass without one, as "add S G iif=I oil=a,b[ mon=T]"
    // and "del S G" lines.
    std::vector<std::string> collect(int quiet_ms);

    // exceeded: nullopt leaves the field out.
    bool send_spt(uint64_t vpn_id, const std::string &source, const std::string &group,
                  std::optional<bool> exceeded);
    // if_index: nullopt sends no iif.
    bool send_assert(uint64_t vpn_id, const std::string &source, const std::string &group,
                     std::optional<uint32_t> if_index);
    bool send_body(const std::vector<uint8_t> &body) { return peer_->send_msg(body); }

    static std::string describe(const PbPimFtmMsg &msg);

  private:
    std::unique_ptr<t_sim_peer> peer_;
};

} // namespace kemd_sim
