#include "tools/ftmd/ftmd_link.h"

#include <arpa/inet.h>

#include "common/pb_util.h"
#include "proto/pim_ftm.pb-c.h"

namespace
{

struct t_unpacked {
    PbPimFtmMsg *msg_p;
    ~t_unpacked()
    {
        if (msg_p != nullptr) {
            pb_pim_ftm_msg__free_unpacked(msg_p, nullptr);
        }
    }
};

// An IPv4 address from a message; false when absent, IPv6 or unparsable.
bool ftmd_addr(const PbIpAddress *addr_p, uint32_t *out)
{
    if (addr_p == nullptr || !addr_p->is_ipv4 || addr_p->address == nullptr) {
        return false;
    }
    in_addr a;
    if (inet_pton(AF_INET, addr_p->address, &a) != 1) {
        return false;
    }
    *out = ntohl(a.s_addr);
    return true;
}

bool ftmd_keys(uint64_t vpn_id, const PbIpAddress *src_p, const PbIpAddress *grp_p, t_ftmd_op *op_p,
               std::string *reason)
{
    op_p->vpn_id = vpn_id;
    if (!ftmd_addr(src_p, &op_p->source) || !ftmd_addr(grp_p, &op_p->group)) {
        *reason = "source or group missing or not IPv4";
        return false;
    }
    if ((op_p->group >> 28) != 0xe) {
        *reason = "group " + ftmd_ip_str(op_p->group) + " is not multicast";
        return false;
    }
    if ((op_p->source >> 28) >= 0xe) {
        *reason = "source " + ftmd_ip_str(op_p->source) + " is not unicast";
        return false;
    }
    return true;
}

std::vector<uint8_t> ftmd_pack(const PbPimFtmMsg &msg)
{
    std::vector<uint8_t> out(pb_pim_ftm_msg__get_packed_size(&msg));
    if (pb_pim_ftm_msg__pack(&msg, out.data()) != out.size()) {
        out.clear();
    }
    return out;
}

struct t_addr_text {
    PbIpAddress pb = PB_IP_ADDRESS__INIT;
    char text[INET_ADDRSTRLEN];
    explicit t_addr_text(uint32_t addr)
    {
        in_addr a{htonl(addr)};
        inet_ntop(AF_INET, &a, text, sizeof(text));
        pb.is_ipv4 = true;
        pb.address = text;
    }
};

} // namespace

std::string ftmd_ip_str(uint32_t addr)
{
    char text[INET_ADDRSTRLEN];
    in_addr a{htonl(addr)};
    inet_ntop(AF_INET, &a, text, sizeof(text));
    return text;
}

t_ftmd_op ftmd_link_decode(const uint8_t *buf, size_t len, std::string *reason)
{
    t_ftmd_op op;
    t_unpacked u{pb_pim_ftm_msg__unpack(nullptr, len, buf)};
    if (u.msg_p == nullptr || !pb_util_enums_valid(&u.msg_p->base)) {
        *reason = "undecodable message";
        return op;
    }
    int type = pb_util_enum_value(u.msg_p->msg_type);
    if (type == PB_PIM_FTM_MSG__E_MSG_TYPE__SG_DEL && u.msg_p->sg_del != nullptr) {
        const PbPimFtmSgDel *del_p = u.msg_p->sg_del;
        if (ftmd_keys(del_p->vpn_id, del_p->source, del_p->group, &op, reason)) {
            op.op = FTMD_OP_DEL;
        }
        return op;
    }
    if (type != PB_PIM_FTM_MSG__E_MSG_TYPE__SG_ADD || u.msg_p->sg_add == nullptr) {
        *reason = "unhandled message type " + std::to_string(type);
        return op;
    }
    const PbPimFtmSgAdd *add_p = u.msg_p->sg_add;
    if (!ftmd_keys(add_p->vpn_id, add_p->source, add_p->group, &op, reason)) {
        return op;
    }
    if (add_p->iif == nullptr) {
        if (add_p->n_oil != 0 || op.source != 0) {
            *reason = "outgoing interfaces without an incoming one";
            return op;
        }
        op.op = FTMD_OP_ADD;
        return op;
    }
    if (!add_p->iif->has_if_index || add_p->iif->if_index == 0) {
        *reason = add_p->iif->has_system_ip ? "incoming interface is an overlay tunnel"
                                            : "empty incoming interface";
        return op;
    }
    op.iif = add_p->iif->if_index;
    for (size_t i = 0; i < add_p->n_oil; i++) {
        const PbPimFtmIf *oif_p = add_p->oil[i];
        if (oif_p->has_if_index && oif_p->if_index != 0) {
            if (oif_p->if_index == op.iif) {
                *reason = "incoming interface in the outgoing list";
                return op;
            }
            op.oil.push_back(oif_p->if_index);
        } else if (oif_p->has_system_ip) {
            op.skipped_tunnels++;
        } else {
            *reason = "outgoing interface without an index";
            return op;
        }
    }
    op.monitor = add_p->has_monitor && add_p->monitor;
    op.threshold = add_p->has_threshold ? add_p->threshold : 0;
    op.op = FTMD_OP_ADD;
    return op;
}

std::vector<uint8_t> ftmd_link_encode_spt(uint64_t vpn_id, uint32_t source, uint32_t group,
                                          bool exceeded)
{
    t_addr_text src(source);
    t_addr_text grp(group);
    PbPimFtmSptThreshold spt = PB_PIM_FTM_SPT_THRESHOLD__INIT;
    spt.vpn_id = vpn_id;
    spt.source = &src.pb;
    spt.group = &grp.pb;
    // Only the field's presence says "above"; its absence says "below".
    spt.has_threshold_exceeded = exceeded;
    spt.threshold_exceeded = exceeded;
    PbPimFtmMsg msg = PB_PIM_FTM_MSG__INIT;
    msg.msg_type = PB_PIM_FTM_MSG__E_MSG_TYPE__SG_SPT_THRESHOLD;
    msg.spt_threshold = &spt;
    return ftmd_pack(msg);
}

std::vector<uint8_t> ftmd_link_encode_assert(uint64_t vpn_id, uint32_t source, uint32_t group,
                                             uint32_t if_index)
{
    t_addr_text src(source);
    t_addr_text grp(group);
    PbPimFtmIf iif = PB_PIM_FTM_IF__INIT;
    iif.has_if_index = true;
    iif.if_index = if_index;
    PbPimFtmAssert as = PB_PIM_FTM_ASSERT__INIT;
    as.vpn_id = vpn_id;
    as.source = &src.pb;
    as.group = &grp.pb;
    as.iif = &iif;
    PbPimFtmMsg msg = PB_PIM_FTM_MSG__INIT;
    msg.msg_type = PB_PIM_FTM_MSG__E_MSG_TYPE__PIM_ASSERT;
    msg.pim_assert = &as;
    return ftmd_pack(msg);
}

std::vector<uint8_t> ftmd_link_encode_op(const t_ftmd_op &op)
{
    t_addr_text src(op.source);
    t_addr_text grp(op.group);
    PbPimFtmMsg msg = PB_PIM_FTM_MSG__INIT;
    if (op.op == FTMD_OP_DEL) {
        PbPimFtmSgDel del = PB_PIM_FTM_SG_DEL__INIT;
        del.vpn_id = op.vpn_id;
        del.source = &src.pb;
        del.group = &grp.pb;
        msg.msg_type = PB_PIM_FTM_MSG__E_MSG_TYPE__SG_DEL;
        msg.sg_del = &del;
        return ftmd_pack(msg);
    }
    PbPimFtmIf iif = PB_PIM_FTM_IF__INIT;
    iif.has_if_index = true;
    iif.if_index = op.iif;
    std::vector<PbPimFtmIf> oifs(op.oil.size());
    std::vector<PbPimFtmIf *> oif_ps;
    for (size_t i = 0; i < op.oil.size(); i++) {
        pb_pim_ftm_if__init(&oifs[i]);
        oifs[i].has_if_index = true;
        oifs[i].if_index = op.oil[i];
        oif_ps.push_back(&oifs[i]);
    }
    PbPimFtmSgAdd add = PB_PIM_FTM_SG_ADD__INIT;
    add.vpn_id = op.vpn_id;
    add.source = &src.pb;
    add.group = &grp.pb;
    add.iif = op.iif != 0 ? &iif : nullptr;
    add.n_oil = oif_ps.size();
    add.oil = oif_ps.data();
    add.has_monitor = op.monitor;
    add.monitor = op.monitor;
    add.has_threshold = op.monitor;
    add.threshold = op.threshold;
    msg.msg_type = PB_PIM_FTM_MSG__E_MSG_TYPE__SG_ADD;
    msg.sg_add = &add;
    return ftmd_pack(msg);
}
