// Assert body: group, source, RPT bit with metric preference, metric.
#include "daemon/pim_pkt_codec.h"

namespace
{

constexpr uint32_t ASSERT_RPT_BIT = 0x80000000u;

} // namespace

e_pim_pkt_err pim_pkt_assert_decode(std::span<const uint8_t> body, t_pim_assert_rec &out,
                                    int32_t &bad_value)
{
    out = t_pim_assert_rec{};
    bad_value = 0;
    t_pim_rd rd = pim_rd_init(body);
    uint8_t family = 0;
    if (pim_pkt_decode_group_addr(rd, out.group, family) == 0) {
        bad_value = family;
        return rd.ok ? PIM_PKT_ERR_ADDR_FAMILY : PIM_PKT_ERR_TRUNCATED;
    }
    if (pim_pkt_decode_unicast_addr(rd, out.source, family) == 0) {
        bad_value = family;
        return rd.ok ? PIM_PKT_ERR_ADDR_FAMILY : PIM_PKT_ERR_TRUNCATED;
    }
    uint32_t pref = 0;
    pim_rd_u32(rd, pref);
    if (!pim_rd_u32(rd, out.metric.metric)) {
        return PIM_PKT_ERR_TRUNCATED;
    }
    out.metric.rpt_bit = (pref & ASSERT_RPT_BIT) != 0;
    out.metric.preference = pref & ~ASSERT_RPT_BIT;
    if (rd.left != 0) {
        bad_value = static_cast<int32_t>(rd.left);
        return PIM_PKT_ERR_BAD_LENGTH;
    }
    return PIM_PKT_OK;
}

size_t pim_pkt_assert_build(std::span<uint8_t> buf, const t_ipaddr &group, const t_ipaddr &source,
                            const t_pim_assert_metric &m)
{
    t_pim_wr wr = pim_wr_init(buf);
    pim_pkt_encode_header(wr, PIM_PKT_ASSERT);
    if (pim_pkt_encode_group_addr(wr, group, 0) == 0 ||
        pim_pkt_encode_unicast_addr(wr, source) == 0) {
        return 0;
    }
    pim_wr_u32(wr, (m.rpt_bit ? ASSERT_RPT_BIT : 0) | (m.preference & ~ASSERT_RPT_BIT));
    if (!pim_wr_u32(wr, m.metric)) {
        return 0;
    }
    pim_pkt_finish(buf.first(wr.len));
    return wr.len;
}
