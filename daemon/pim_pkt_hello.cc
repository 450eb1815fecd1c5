// Hello body: a list of (type, length, value) options.
#include "daemon/pim_pkt_codec.h"

namespace
{

// Fixed value size of the options we understand; 0 for the others.
constexpr uint16_t known_opt_size(uint16_t type)
{
    switch (type) {
    case PIM_HELLO_OPT_HOLDTIME:
        return 2;
    case PIM_HELLO_OPT_LAN_PRUNE_DELAY:
    case PIM_HELLO_OPT_DR_PRIORITY:
    case PIM_HELLO_OPT_GENID:
        return 4;
    default:
        return 0;
    }
}

void read_known_opt(t_pim_rd &val, uint16_t type, t_pim_hello &out)
{
    uint16_t u16 = 0;
    switch (type) {
    case PIM_HELLO_OPT_HOLDTIME:
        out.has_holdtime = pim_rd_u16(val, out.holdtime);
        break;
    case PIM_HELLO_OPT_LAN_PRUNE_DELAY:
        pim_rd_u16(val, u16);
        out.t_bit = (u16 & 0x8000) != 0;
        out.prop_delay = u16 & 0x7FFF;
        out.has_lan_delay = pim_rd_u16(val, out.override_int);
        break;
    case PIM_HELLO_OPT_DR_PRIORITY:
        out.has_dr_priority = pim_rd_u32(val, out.dr_priority);
        break;
    case PIM_HELLO_OPT_GENID:
        out.has_gen_id = pim_rd_u32(val, out.gen_id);
        break;
    default:
        break;
    }
}

// Address List: encoded unicast addresses filling the option. One of an
// unknown family ends the list; the option's length bounds it anyway.
void read_addr_list(t_pim_rd &val, t_pim_hello &out)
{
    while (val.left > 0) {
        t_ipaddr a{};
        uint8_t family = 0;
        if (pim_pkt_decode_unicast_addr(val, a, family) == 0) {
            return;
        }
        if (out.num_secondary < PIM_HELLO_MAX_SECONDARY) {
            out.secondary[out.num_secondary++] = a;
        }
    }
}

} // namespace

e_pim_pkt_err pim_pkt_hello_decode(std::span<const uint8_t> body, t_pim_hello &out,
                                   int32_t &bad_value)
{
    out = t_pim_hello{};
    bad_value = 0;
    t_pim_rd rd = pim_rd_init(body);
    while (rd.left > 0) {
        uint16_t type = 0;
        uint16_t len = 0;
        if (rd.left < 4) {
            bad_value = static_cast<int32_t>(rd.left) - 4;
            return PIM_PKT_ERR_BAD_LENGTH;
        }
        pim_rd_u16(rd, type);
        pim_rd_u16(rd, len);
        uint16_t fixed = known_opt_size(type);
        if (fixed != 0 && len != fixed) {
            bad_value = type;
            return PIM_PKT_ERR_OPT_LENGTH;
        }
        t_pim_rd val;
        if (!pim_rd_sub(rd, len, val)) {
            // The option claims more than the message holds.
            bad_value = static_cast<int32_t>(rd.left) - len;
            return PIM_PKT_ERR_BAD_LENGTH;
        }
        if (fixed != 0) {
            read_known_opt(val, type, out);
        } else if (type == PIM_HELLO_OPT_ADDR_LIST) {
            read_addr_list(val, out);
        } else {
            out.unknown_opts++;
            out.last_unknown_type = type;
            out.last_unknown_len = len;
        }
    }
    return PIM_PKT_OK;
}

size_t pim_pkt_hello_build(std::span<uint8_t> buf, const t_pim_hello &h)
{
    t_pim_wr wr = pim_wr_init(buf);
    pim_pkt_encode_header(wr, PIM_PKT_HELLO);
    pim_wr_u16(wr, PIM_HELLO_OPT_HOLDTIME);
    pim_wr_u16(wr, 2);
    pim_wr_u16(wr, h.holdtime);
    pim_wr_u16(wr, PIM_HELLO_OPT_LAN_PRUNE_DELAY);
    pim_wr_u16(wr, 4);
    pim_wr_u16(wr, static_cast<uint16_t>((h.t_bit ? 0x8000 : 0) | (h.prop_delay & 0x7FFF)));
    pim_wr_u16(wr, h.override_int);
    pim_wr_u16(wr, PIM_HELLO_OPT_DR_PRIORITY);
    pim_wr_u16(wr, 4);
    pim_wr_u32(wr, h.dr_priority);
    pim_wr_u16(wr, PIM_HELLO_OPT_GENID);
    pim_wr_u16(wr, 4);
    pim_wr_u32(wr, h.gen_id);
    if (!wr.ok) {
        return 0;
    }
    pim_pkt_finish(buf.first(wr.len));
    return wr.len;
}
