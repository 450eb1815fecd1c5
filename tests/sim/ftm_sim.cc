#include "tests/sim/ftm_sim.h"

namespace kemd_sim
{

namespace
{

constexpr uint8_t FTM_MODULE = 3;
constexpr uint8_t PIM_MODULE = 16;

PbIpAddress ip_of(const std::string &text)
{
    PbIpAddress a = PB_IP_ADDRESS__INIT;
    a.is_ipv4 = text.find(':') == std::string::npos;
    a.address = const_cast<char *>(text.c_str());
    return a;
}

std::string if_str(const PbPimFtmIf *oif)
{
    if (oif == nullptr) {
        return "none";
    }
    if (oif->has_system_ip) {
        return "t" + std::to_string(oif->system_ip & 0xff) + "/" + std::to_string(oif->label);
    }
    return oif->has_if_index ? std::to_string(oif->if_index) : "?";
}

std::vector<uint8_t> pack(const PbPimFtmMsg &msg)
{
    std::vector<uint8_t> body(pb_pim_ftm_msg__get_packed_size(&msg));
    pb_pim_ftm_msg__pack(&msg, body.data());
    return body;
}

} // namespace

std::unique_ptr<t_ftm_sim> t_ftm_sim::connect(const std::string &path, int timeout_ms,
                                              t_sim_peer::t_pump pump)
{
    auto sim = std::unique_ptr<t_ftm_sim>(new t_ftm_sim());
    sim->peer_ = t_sim_peer::connect_wait(path, t_sim_framing::library(FTM_MODULE, PIM_MODULE),
                                          timeout_ms, pump);
    if (sim->peer_ == nullptr || !sim->peer_->send_register()) {
        return nullptr;
    }
    sim->peer_->set_pump(std::move(pump));
    return sim;
}

t_ftm_msg t_ftm_sim::recv(int timeout_ms)
{
    std::optional<t_sim_frame> fr = peer_->recv_frame(timeout_ms);
    if (!fr) {
        return nullptr;
    }
    return t_ftm_msg(pb_pim_ftm_msg__unpack(nullptr, fr->payload.size(), fr->payload.data()));
}

std::string t_ftm_sim::describe(const PbPimFtmMsg &msg)
{
    if (msg.sg_add != nullptr) {
        const PbPimFtmSgAdd *a = msg.sg_add;
        std::string s = "add " + std::string(a->source->address) + " " + a->group->address +
                        " iif=" + if_str(a->iif) + " oil=";
        for (size_t i = 0; i < a->n_oil; i++) {
            s += (i != 0 ? "," : "") + if_str(a->oil[i]);
        }
        if (a->has_monitor) {
            s += " mon=" + std::to_string(a->threshold);
        }
        return s;
    }
    if (msg.sg_del != nullptr) {
        return "del " + std::string(msg.sg_del->source->address) + " " + msg.sg_del->group->address;
    }
    return "type " + std::to_string(msg.msg_type);
}

std::vector<std::string> t_ftm_sim::collect(int quiet_ms)
{
    std::vector<std::string> out;
    while (t_ftm_msg m = recv(quiet_ms)) {
        out.push_back(describe(*m));
    }
    return out;
}

bool t_ftm_sim::send_spt(uint64_t vpn_id, const std::string &source, const std::string &group,
                         std::optional<bool> exceeded)
{
    PbIpAddress s = ip_of(source);
    PbIpAddress g = ip_of(group);
    PbPimFtmSptThreshold spt = PB_PIM_FTM_SPT_THRESHOLD__INIT;
    spt.vpn_id = vpn_id;
    spt.source = &s;
    spt.group = &g;
    spt.has_threshold_exceeded = exceeded.has_value();
    spt.threshold_exceeded = exceeded.value_or(false);
    PbPimFtmMsg msg = PB_PIM_FTM_MSG__INIT;
    msg.msg_type = PB_PIM_FTM_MSG__E_MSG_TYPE__SG_SPT_THRESHOLD;
    msg.spt_threshold = &spt;
    return send_body(pack(msg));
}

bool t_ftm_sim::send_assert(uint64_t vpn_id, const std::string &source, const std::string &group,
                            std::optional<uint32_t> if_index)
{
    PbIpAddress s = ip_of(source);
    PbIpAddress g = ip_of(group);
    PbPimFtmIf iif = PB_PIM_FTM_IF__INIT;
    iif.has_if_index = true;
    iif.if_index = if_index.value_or(0);
    PbPimFtmAssert as = PB_PIM_FTM_ASSERT__INIT;
    as.vpn_id = vpn_id;
    as.source = &s;
    as.group = &g;
    as.iif = if_index ? &iif : nullptr;
    PbPimFtmMsg msg = PB_PIM_FTM_MSG__INIT;
    msg.msg_type = PB_PIM_FTM_MSG__E_MSG_TYPE__PIM_ASSERT;
    msg.pim_assert = &as;
    return send_body(pack(msg));
}

} // namespace kemd_sim
