// Route table manager simulator: listens at a VPN's control socket in the
// 6-byte application-header framing and speaks the control messages, for the
// cases a kernel cannot produce on demand (malformed messages, odd field
// combinations, a peer that vanishes mid-update). Headers are built and parsed
// here, not through the daemon's framing code.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "proto/rtm.pb-c.h"
#include "tests/sim/sim_peer.h"

namespace kemd_sim
{

inline constexpr uint8_t RTM_SIM_HDR_LEN = 6;

struct t_rtm_msg_free {
    void operator()(MRtmControl *msg) const { m_rtm_control__free_unpacked(msg, nullptr); }
};
using t_rtm_msg = std::unique_ptr<MRtmControl, t_rtm_msg_free>;

// One next hop of an update; empty texts and unset options stay off the wire.
struct t_rtm_sim_nh {
    ERtmControlNhType type = E_RTM_CONTROL_NH_TYPE__NEXTHOP_IF_IDX;
    std::string gateway;
    std::optional<uint32_t> if_idx;
    std::optional<uint32_t> color, encap, weight;
    std::optional<uint64_t> src_vpn;
};

struct t_rtm_sim_update {
    std::string addr;
    std::optional<uint32_t> metric, distance, protocol;
    std::vector<t_rtm_sim_nh> nhs;
};

class t_rtm_sim
{
  public:
    static std::unique_ptr<t_rtm_sim> listen(const std::string &path);

    t_sim_peer &peer() { return *peer_; }
    void set_pump(t_sim_peer::t_pump pump) { peer_->set_pump(std::move(pump)); }
    bool wait_connected(int timeout_ms) { return peer_->wait_connected(timeout_ms); }
    void drop() { peer_->drop(); }

    // The next message from the daemon, unpacked; nothing on timeout, a bad
    // header or a body that does not unpack (bad_frames counts those).
    t_rtm_msg recv(int timeout_ms);
    // Receives the hello and the interface registration a connection opens with.
    bool expect_handshake(int timeout_ms);
    // Collects next-hop (un)registrations until quiet for quiet_ms: "+addr/len"
    // for a registration, "-addr/len" for an unregistration.
    std::vector<std::string> registrations(int quiet_ms);

    bool send(const MRtmControl &msg);
    bool send_if(ERtmControlInterfaceType type, const std::string &name, uint32_t index,
                 std::optional<bool> active = std::nullopt, const std::string &prefix = "",
                 std::optional<uint32_t> prefix_len = std::nullopt);
    bool send_update(const t_rtm_sim_update &update);
    // Bytes as given, header and all.
    bool send_raw(const std::vector<uint8_t> &bytes);
    // A header with the given fields in front of body (length = 6 + body unless given).
    static std::vector<uint8_t> frame(const std::vector<uint8_t> &body, uint8_t module = 0,
                                      uint8_t type = 7, std::optional<uint16_t> len = {});
    static std::vector<uint8_t> pack(const MRtmControl &msg);

    unsigned bad_frames = 0;

  private:
    std::unique_ptr<t_sim_peer> peer_;
};

} // namespace kemd_sim
