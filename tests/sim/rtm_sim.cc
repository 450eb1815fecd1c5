#include "tests/sim/rtm_sim.h"

#include <arpa/inet.h>

#include <algorithm>

namespace kemd_sim
{

namespace
{

MIpAddress ip_of(const std::string &text)
{
    MIpAddress a = M_IP_ADDRESS__INIT;
    in_addr v4;
    a.is_ipv4 = inet_pton(AF_INET, text.c_str(), &v4) == 1;
    a.address = const_cast<char *>(text.c_str());
    return a;
}

} // namespace

std::unique_ptr<t_rtm_sim> t_rtm_sim::listen(const std::string &path)
{
    auto sim = std::unique_ptr<t_rtm_sim>(new t_rtm_sim());
    sim->peer_ = t_sim_peer::listen(path, t_sim_framing::app(RTM_SIM_HDR_LEN, 0));
    return sim->peer_ != nullptr ? std::move(sim) : nullptr;
}

std::vector<uint8_t> t_rtm_sim::pack(const MRtmControl &msg)
{
    std::vector<uint8_t> body(m_rtm_control__get_packed_size(&msg));
    m_rtm_control__pack(&msg, body.data());
    return body;
}

std::vector<uint8_t> t_rtm_sim::frame(const std::vector<uint8_t> &body, uint8_t module,
                                      uint8_t type, std::optional<uint16_t> len)
{
    uint16_t total = len.value_or(static_cast<uint16_t>(body.size() + RTM_SIM_HDR_LEN));
    // Sized once and filled in place: growing a 6-byte vector by insert makes
    // g++ 12 at -O2 report a copy out of bounds that cannot happen.
    std::vector<uint8_t> out(RTM_SIM_HDR_LEN + body.size(), 0);
    out[0] = static_cast<uint8_t>(total >> 8);
    out[1] = static_cast<uint8_t>(total);
    out[2] = module;
    out[3] = type;
    std::copy(body.begin(), body.end(), out.begin() + RTM_SIM_HDR_LEN);
    return out;
}

bool t_rtm_sim::send_raw(const std::vector<uint8_t> &bytes) { return peer_->send_raw(bytes); }

bool t_rtm_sim::send(const MRtmControl &msg) { return send_raw(frame(pack(msg))); }

t_rtm_msg t_rtm_sim::recv(int timeout_ms)
{
    std::optional<t_sim_frame> fr = peer_->recv_frame(timeout_ms);
    if (!fr) {
        return nullptr;
    }
    const std::vector<uint8_t> &h = fr->header;
    size_t len = (size_t{h.at(0)} << 8) | h.at(1);
    if (h.at(2) != 0 || h.at(3) != 7 || len != h.size() + fr->payload.size()) {
        bad_frames++;
        return nullptr;
    }
    MRtmControl *msg = m_rtm_control__unpack(nullptr, fr->payload.size(), fr->payload.data());
    if (msg == nullptr) {
        bad_frames++;
    }
    return t_rtm_msg(msg);
}

bool t_rtm_sim::expect_handshake(int timeout_ms)
{
    t_rtm_msg hello = recv(timeout_ms);
    if (!hello || hello->type != M_RTM_CONTROL__E_RTM_CONTROL_TYPE__CONTROL_HELLO ||
        hello->hello == nullptr || hello->hello->owner != PROTO_TYPE__ROUTE_PIM) {
        return false;
    }
    t_rtm_msg reg = recv(timeout_ms);
    return reg && reg->type == M_RTM_CONTROL__E_RTM_CONTROL_TYPE__CONTROL_INTERFACE &&
           reg->interface != nullptr &&
           reg->interface->type == E_RTM_CONTROL_INTERFACE_TYPE__INTERFACE_ADD &&
           reg->interface->name == nullptr;
}

std::vector<std::string> t_rtm_sim::registrations(int quiet_ms)
{
    std::vector<std::string> out;
    while (t_rtm_msg msg = recv(quiet_ms)) {
        if (msg->type != M_RTM_CONTROL__E_RTM_CONTROL_TYPE__CONTROL_NHRES ||
            msg->nhres == nullptr) {
            out.push_back("?" + std::to_string(msg->type));
            continue;
        }
        std::string sign = msg->nhres->type == E_RTM_CONTROL_NHRES_TYPE__NHRES_REGISTER ? "+" : "-";
        for (size_t i = 0; i < msg->nhres->n_nhres_prefix; i++) {
            const MRtmControlNhresPrefix *p = msg->nhres->nhres_prefix[i];
            std::string addr =
                p->prefix != nullptr && p->prefix->address != nullptr ? p->prefix->address : "?";
            out.push_back(sign + addr + "/" +
                          (p->has_prefix_len ? std::to_string(p->prefix_len) : "none"));
        }
    }
    return out;
}

bool t_rtm_sim::send_if(ERtmControlInterfaceType type, const std::string &name, uint32_t index,
                        std::optional<bool> active, const std::string &prefix,
                        std::optional<uint32_t> prefix_len)
{
    MRtmControl msg = M_RTM_CONTROL__INIT;
    MRtmControlInterface intf = M_RTM_CONTROL_INTERFACE__INIT;
    MRtmControlInterfaceStatus status = M_RTM_CONTROL_INTERFACE_STATUS__INIT;
    MIpAddress addr = ip_of(prefix);
    msg.type = M_RTM_CONTROL__E_RTM_CONTROL_TYPE__CONTROL_INTERFACE;
    msg.interface = &intf;
    intf.type = type;
    intf.name = const_cast<char *>(name.c_str());
    intf.has_index = true;
    intf.index = index;
    if (active) {
        status.has_interface_active = true;
        status.interface_active = *active ? 1 : 0;
        intf.status = &status;
    }
    if (!prefix.empty()) {
        intf.prefix = &addr;
    }
    if (prefix_len) {
        intf.has_prefix_len = true;
        intf.prefix_len = *prefix_len;
    }
    return send(msg);
}

bool t_rtm_sim::send_update(const t_rtm_sim_update &update)
{
    size_t n = update.nhs.size();
    std::vector<MRtmControlNextHop> hops(n);
    std::vector<MRtmControlNhIfIdx> if_idx(n);
    std::vector<MRtmControlNhIndirect> ind(n);
    std::vector<MIpAddress> gws(n);
    std::vector<MRtmControlNextHop *> hop_ps(n);
    for (size_t i = 0; i < n; i++) {
        const t_rtm_sim_nh &nh = update.nhs[i];
        hops[i] = M_RTM_CONTROL_NEXT_HOP__INIT;
        if_idx[i] = M_RTM_CONTROL_NH_IF_IDX__INIT;
        ind[i] = M_RTM_CONTROL_NH_INDIRECT__INIT;
        gws[i] = ip_of(nh.gateway);
        hops[i].nh_type = nh.type;
        if (!nh.gateway.empty()) {
            if_idx[i].nexthop = &gws[i];
        }
        if (nh.if_idx) {
            if_idx[i].has_if_idx = true;
            if_idx[i].if_idx = *nh.if_idx;
        }
        hops[i].nh_if_idx = &if_idx[i];
        if (nh.type == E_RTM_CONTROL_NH_TYPE__NEXTHOP_INDIRECT) {
            ind[i].has_tag1 = nh.color.has_value();
            ind[i].tag1 = nh.color.value_or(0);
            ind[i].has_tag2 = nh.encap.has_value();
            ind[i].tag2 = nh.encap.value_or(0);
            ind[i].has_tag3 = nh.src_vpn.has_value();
            ind[i].tag3 = nh.src_vpn.value_or(0);
            ind[i].has_tag4 = nh.weight.has_value();
            ind[i].tag4 = nh.weight.value_or(0);
            hops[i].nh_indirect = &ind[i];
        }
        hop_ps[i] = &hops[i];
    }
    MIpAddress addr = ip_of(update.addr);
    MRtmControlNhresNextHop resp = M_RTM_CONTROL_NHRES_NEXT_HOP__INIT;
    resp.prefix = &addr;
    resp.has_prefix_len = true;
    resp.prefix_len = addr.is_ipv4 ? 32 : 128;
    resp.has_metric = update.metric.has_value();
    resp.metric = update.metric.value_or(0);
    resp.has_distance = update.distance.has_value();
    resp.distance = update.distance.value_or(0);
    resp.has_protocol = update.protocol.has_value();
    resp.protocol = static_cast<ProtoType>(update.protocol.value_or(0));
    resp.n_next_hop = n;
    resp.next_hop = hop_ps.data();
    MRtmControlNhres nhres = M_RTM_CONTROL_NHRES__INIT;
    nhres.type = E_RTM_CONTROL_NHRES_TYPE__NHRES_UPDATE;
    nhres.nhres_resp = &resp;
    MRtmControl msg = M_RTM_CONTROL__INIT;
    msg.type = M_RTM_CONTROL__E_RTM_CONTROL_TYPE__CONTROL_NHRES;
    msg.nhres = &nhres;
    return send(msg);
}

} // namespace kemd_sim
