#include "tests/sim/igmp_sim.h"

#include <arpa/inet.h>

namespace kemd_sim
{

namespace
{

constexpr uint8_t IGMP_SIM_MODULE = 15;
constexpr uint8_t PIM_SIM_MODULE = 16;

PbIpPrefix prefix_of(const std::string &text, uint32_t len)
{
    PbIpPrefix p = PB_IP_PREFIX__INIT;
    in_addr v4;
    p.is_ipv4 = inet_pton(AF_INET, text.c_str(), &v4) == 1;
    p.address = const_cast<char *>(text.c_str());
    p.prefix_len = len;
    return p;
}

} // namespace

std::unique_ptr<t_igmp_sim> t_igmp_sim::connect(const std::string &path, uint64_t vpn_id,
                                                int timeout_ms, t_sim_peer::t_pump pump)
{
    auto sim = std::unique_ptr<t_igmp_sim>(new t_igmp_sim());
    sim->vpn_id_ = vpn_id;
    sim->peer_ = t_sim_peer::connect_wait(
        path, t_sim_framing::library(IGMP_SIM_MODULE, PIM_SIM_MODULE), timeout_ms, pump);
    if (sim->peer_ == nullptr) {
        return nullptr;
    }
    sim->peer_->set_pump(std::move(pump));
    return sim->peer_->send_register() ? std::move(sim) : nullptr;
}

bool t_igmp_sim::send_body(const std::vector<uint8_t> &body) { return peer_->send_msg(body); }

bool t_igmp_sim::send(const MIgmpPimMsg &msg)
{
    std::vector<uint8_t> body(m_igmp_pim_msg__get_packed_size(&msg));
    m_igmp_pim_msg__pack(&msg, body.data());
    return send_body(body);
}

bool t_igmp_sim::send_if(bool add, const std::string &name, uint32_t index)
{
    MIgmpPimIf info = M_IGMP_PIM_IF__INIT;
    info.if_name = const_cast<char *>(name.c_str());
    info.has_if_index = true;
    info.if_index = index;
    MIgmpPimInterfaceMsg if_msg = M_IGMP_PIM_INTERFACE_MSG__INIT;
    if_msg.msg_type = add ? M_IGMP_PIM_INTERFACE_MSG__E_INTERFACE_MSG_TYPE__INTERFACE_ADD
                          : M_IGMP_PIM_INTERFACE_MSG__E_INTERFACE_MSG_TYPE__INTERFACE_DEL;
    if_msg.if_info = &info;
    MIgmpPimMsg msg = M_IGMP_PIM_MSG__INIT;
    msg.vpn_id = vpn_id_;
    msg.msg_type = M_IGMP_PIM_MSG__E_MSG_TYPE__INTERFACE;
    msg.if_msg = &if_msg;
    return send(msg);
}

bool t_igmp_sim::send_join(bool add, const std::string &name, const std::string &group,
                           std::optional<std::string> source, uint32_t len)
{
    MIgmpPimIf info = M_IGMP_PIM_IF__INIT;
    info.if_name = const_cast<char *>(name.c_str());
    PbIpPrefix g = prefix_of(group, 32);
    std::string src = source.value_or("");
    PbIpPrefix s = prefix_of(src, len);
    MIgmpPimJoinMsg join = M_IGMP_PIM_JOIN_MSG__INIT;
    join.msg_type = add ? M_IGMP_PIM_JOIN_MSG__E_IGMP_PIM_JOIN_MSG_TYPE__JOIN_ADD
                        : M_IGMP_PIM_JOIN_MSG__E_IGMP_PIM_JOIN_MSG_TYPE__JOIN_DEL;
    join.group = &g;
    join.source = source ? &s : nullptr;
    join.if_info = &info;
    MIgmpPimMsg msg = M_IGMP_PIM_MSG__INIT;
    msg.vpn_id = vpn_id_;
    msg.msg_type = M_IGMP_PIM_MSG__E_MSG_TYPE__JOIN;
    msg.join_msg = &join;
    return send(msg);
}

} // namespace kemd_sim
