#include "daemon/pim_pkt_codec.h"

#include <cstring>

const char *const pim_str_msg_type[PIM_PKT_MAX] = {
    "HELLO",  "REGISTER START", "REGISTER STOP", "JOIN-PRUNE",        "BOOTSTRAP",
    "ASSERT", "GRAFT",          "GRAFT ACK",     "CRP ADVERTISEMENT",
};

const char *pim_pkt_err_str(e_pim_pkt_err err)
{
    switch (err) {
    case PIM_PKT_OK:
        return "ok";
    case PIM_PKT_ERR_IP_HDR:
        return "bad IP header";
    case PIM_PKT_ERR_TOO_SHORT:
        return "too short";
    case PIM_PKT_ERR_VERSION:
        return "bad version";
    case PIM_PKT_ERR_CHECKSUM:
        return "bad checksum";
    case PIM_PKT_ERR_TRUNCATED:
        return "truncated";
    case PIM_PKT_ERR_ADDR_FAMILY:
        return "bad address family";
    case PIM_PKT_ERR_ADDR_ENCODING:
        return "unknown address encoding";
    case PIM_PKT_ERR_BAD_LENGTH:
        return "bad length";
    case PIM_PKT_ERR_OPT_LENGTH:
        return "bad option length";
    case PIM_PKT_ERR_TOO_MANY_SRC:
        return "too many sources";
    }
    return "unknown";
}

namespace
{

bool rd_take(t_pim_rd &rd, size_t n, const uint8_t *&at)
{
    if (!rd.ok || rd.left < n) {
        rd.ok = false;
        return false;
    }
    at = rd.p;
    rd.p += n;
    rd.left -= n;
    return true;
}

uint8_t *wr_take(t_pim_wr &wr, size_t n)
{
    if (!wr.ok || wr.cap - wr.len < n) {
        wr.ok = false;
        return nullptr;
    }
    uint8_t *at = wr.buf + wr.len;
    wr.len += n;
    return at;
}

size_t af_addr_len(uint8_t family)
{
    return family == PIM_AF_IPV4 ? 4 : (family == PIM_AF_IPV6 ? 16 : 0);
}

// Reads family and encoding type, then the address itself.
bool rd_addr(t_pim_rd &rd, t_ipaddr &out, uint8_t &family, uint8_t &enc, uint8_t *flags,
             uint8_t *masklen)
{
    if (!pim_rd_u8(rd, family) || !pim_rd_u8(rd, enc)) {
        return false;
    }
    size_t alen = af_addr_len(family);
    if (alen == 0) {
        return false;
    }
    if (flags != nullptr && (!pim_rd_u8(rd, *flags) || !pim_rd_u8(rd, *masklen))) {
        return false;
    }
    uint8_t bytes[16];
    if (!pim_rd_bytes(rd, bytes, alen)) {
        return false;
    }
    if (family == PIM_AF_IPV4) {
        IPADDR_SET_V4(&out, (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                                (uint32_t{bytes[2]} << 8) | bytes[3]);
    } else {
        IPADDR_SET_V6(&out, bytes);
    }
    return true;
}

// Writes family, encoding type, optional flags and mask length, then the address.
size_t wr_addr(t_pim_wr &wr, const t_ipaddr &addr, const uint8_t *flags)
{
    size_t start = wr.len;
    uint8_t family = IPADDR_IS_V4(&addr) ? PIM_AF_IPV4 : (IPADDR_IS_V6(&addr) ? PIM_AF_IPV6 : 0);
    if (family == 0) {
        return 0;
    }
    pim_wr_u8(wr, family);
    pim_wr_u8(wr, 0);
    if (flags != nullptr) {
        pim_wr_u8(wr, *flags);
        pim_wr_u8(wr, family == PIM_AF_IPV4 ? 32 : 128);
    }
    if (family == PIM_AF_IPV4) {
        pim_wr_u32(wr, addr.u.addr4);
    } else {
        pim_wr_bytes(wr, addr.u.addr6_b, 16);
    }
    return wr.ok ? wr.len - start : 0;
}

} // namespace

bool pim_rd_u8(t_pim_rd &rd, uint8_t &v)
{
    const uint8_t *at = nullptr;
    if (!rd_take(rd, 1, at)) {
        return false;
    }
    v = at[0];
    return true;
}

bool pim_rd_u16(t_pim_rd &rd, uint16_t &v)
{
    const uint8_t *at = nullptr;
    if (!rd_take(rd, 2, at)) {
        return false;
    }
    v = static_cast<uint16_t>((at[0] << 8) | at[1]);
    return true;
}

bool pim_rd_u32(t_pim_rd &rd, uint32_t &v)
{
    const uint8_t *at = nullptr;
    if (!rd_take(rd, 4, at)) {
        return false;
    }
    v = (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) | at[3];
    return true;
}

bool pim_rd_bytes(t_pim_rd &rd, uint8_t *out, size_t n)
{
    const uint8_t *at = nullptr;
    if (!rd_take(rd, n, at)) {
        return false;
    }
    if (n != 0) {
        memcpy(out, at, n);
    }
    return true;
}

bool pim_rd_skip(t_pim_rd &rd, size_t n)
{
    const uint8_t *at = nullptr;
    return rd_take(rd, n, at);
}

bool pim_rd_sub(t_pim_rd &rd, size_t n, t_pim_rd &sub)
{
    const uint8_t *at = nullptr;
    if (!rd_take(rd, n, at)) {
        sub = t_pim_rd{nullptr, 0, false};
        return false;
    }
    sub = t_pim_rd{at, n, true};
    return true;
}

bool pim_wr_u8(t_pim_wr &wr, uint8_t v)
{
    uint8_t *at = wr_take(wr, 1);
    if (at == nullptr) {
        return false;
    }
    at[0] = v;
    return true;
}

bool pim_wr_u16(t_pim_wr &wr, uint16_t v)
{
    uint8_t *at = wr_take(wr, 2);
    if (at == nullptr) {
        return false;
    }
    at[0] = static_cast<uint8_t>(v >> 8);
    at[1] = static_cast<uint8_t>(v);
    return true;
}

bool pim_wr_u32(t_pim_wr &wr, uint32_t v)
{
    uint8_t *at = wr_take(wr, 4);
    if (at == nullptr) {
        return false;
    }
    at[0] = static_cast<uint8_t>(v >> 24);
    at[1] = static_cast<uint8_t>(v >> 16);
    at[2] = static_cast<uint8_t>(v >> 8);
    at[3] = static_cast<uint8_t>(v);
    return true;
}

bool pim_wr_bytes(t_pim_wr &wr, const uint8_t *in, size_t n)
{
    uint8_t *at = wr_take(wr, n);
    if (at == nullptr) {
        return false;
    }
    if (n != 0) {
        memcpy(at, in, n);
    }
    return true;
}

uint16_t pim_pkt_checksum(const uint8_t *buf, size_t len)
{
    uint32_t sum = 0;
    size_t i = 0;
    for (; i + 1 < len; i += 2) {
        sum += static_cast<uint32_t>((buf[i] << 8) | buf[i + 1]);
    }
    if (i < len) {
        sum += static_cast<uint32_t>(buf[i] << 8);
    }
    while ((sum >> 16) != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

e_pim_pkt_err pim_pkt_ip_parse(std::span<const uint8_t> dgram, t_pim_ip_header &ip,
                               std::span<const uint8_t> &pim)
{
    constexpr size_t IP_MIN_HDR = 20;
    if (dgram.size() < IP_MIN_HDR || (dgram[0] >> 4) != 4) {
        return PIM_PKT_ERR_IP_HDR;
    }
    size_t hdr_len = size_t{dgram[0] & 0x0Fu} * 4;
    size_t total = (size_t{dgram[2]} << 8) | dgram[3];
    // The total length is trusted only as far as the bytes actually read.
    if (hdr_len < IP_MIN_HDR || total < hdr_len || total > dgram.size()) {
        return PIM_PKT_ERR_IP_HDR;
    }
    ip.ip_hdr_len = static_cast<uint8_t>(hdr_len / 4);
    ip.total_len = static_cast<uint16_t>(total);
    IPADDR_SET_V4(&ip.src_ip, (uint32_t{dgram[12]} << 24) | (uint32_t{dgram[13]} << 16) |
                                  (uint32_t{dgram[14]} << 8) | dgram[15]);
    IPADDR_SET_V4(&ip.dest_ip, (uint32_t{dgram[16]} << 24) | (uint32_t{dgram[17]} << 16) |
                                   (uint32_t{dgram[18]} << 8) | dgram[19]);
    pim = dgram.subspan(hdr_len, total - hdr_len);
    return PIM_PKT_OK;
}

e_pim_pkt_err pim_pkt_hdr_check(std::span<const uint8_t> pim, uint8_t &type, uint16_t &rx_cksum,
                                uint16_t &calc_cksum)
{
    if (pim.size() < PIM_PKT_HDR_LEN) {
        return PIM_PKT_ERR_TOO_SHORT;
    }
    if ((pim[0] >> 4) != PIM_PKT_VERSION) {
        return PIM_PKT_ERR_VERSION;
    }
    type = pim[0] & 0x0F;
    rx_cksum = static_cast<uint16_t>((pim[2] << 8) | pim[3]);
    calc_cksum = pim_pkt_checksum(pim.data(), pim.size());
    // A Register's checksum covers its header and flags word only; one over
    // the whole message is accepted too.
    if (calc_cksum != 0 && type == PIM_PKT_REGISTER && pim.size() >= PIM_REGISTER_CKSUM_LEN) {
        calc_cksum = pim_pkt_checksum(pim.data(), PIM_REGISTER_CKSUM_LEN);
    }
    return calc_cksum == 0 ? PIM_PKT_OK : PIM_PKT_ERR_CHECKSUM;
}

size_t pim_pkt_decode_unicast_addr(t_pim_rd &rd, t_ipaddr &out, uint8_t &family)
{
    size_t before = rd.left;
    family = 0;
    uint8_t enc = 0;
    if (!rd_addr(rd, out, family, enc, nullptr, nullptr)) {
        return 0;
    }
    return before - rd.left;
}

size_t pim_pkt_decode_source_addr(t_pim_rd &rd, t_pim_pkt_src_addr &out, uint8_t &family)
{
    out = t_pim_pkt_src_addr{};
    size_t before = rd.left;
    uint8_t flags = 0;
    uint8_t masklen = 0;
    family = 0;
    if (!rd_addr(rd, out.source_addr.addr, family, out.enc_type, &flags, &masklen)) {
        return 0;
    }
    out.source_addr.prefixlen = masklen;
    out.s_bit = (flags & PIM_SRC_FLAG_S) != 0;
    out.wc_bit = (flags & PIM_SRC_FLAG_W) != 0;
    out.r_bit = (flags & PIM_SRC_FLAG_R) != 0;
    return before - rd.left;
}

size_t pim_pkt_decode_group_addr(t_pim_rd &rd, t_pim_pkt_group_addr &out, uint8_t &family)
{
    out = t_pim_pkt_group_addr{};
    size_t before = rd.left;
    uint8_t flags = 0;
    uint8_t masklen = 0;
    family = 0;
    if (!rd_addr(rd, out.group_addr.addr, family, out.enc_type, &flags, &masklen)) {
        return 0;
    }
    out.group_addr.prefixlen = masklen;
    out.b_bit = (flags & PIM_GRP_FLAG_B) != 0;
    out.z_bit = (flags & PIM_GRP_FLAG_Z) != 0;
    return before - rd.left;
}

size_t pim_pkt_encode_unicast_addr(t_pim_wr &wr, const t_ipaddr &addr)
{
    return wr_addr(wr, addr, nullptr);
}

size_t pim_pkt_encode_source_addr(t_pim_wr &wr, const t_ipaddr &addr, uint8_t flags)
{
    return wr_addr(wr, addr, &flags);
}

size_t pim_pkt_encode_group_addr(t_pim_wr &wr, const t_ipaddr &addr, uint8_t flags)
{
    return wr_addr(wr, addr, &flags);
}

bool pim_pkt_encode_header(t_pim_wr &wr, e_pim_pkt_type type)
{
    pim_wr_u8(wr, static_cast<uint8_t>((PIM_PKT_VERSION << 4) | type));
    pim_wr_u8(wr, 0);
    return pim_wr_u16(wr, 0);
}

void pim_pkt_finish(std::span<uint8_t> msg)
{
    msg[2] = 0;
    msg[3] = 0;
    uint16_t sum = pim_pkt_checksum(msg.data(), msg.size());
    msg[2] = static_cast<uint8_t>(sum >> 8);
    msg[3] = static_cast<uint8_t>(sum);
}
