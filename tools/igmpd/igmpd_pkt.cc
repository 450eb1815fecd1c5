#include "tools/igmpd/igmpd_pkt.h"

namespace
{

uint32_t rd32(std::span<const uint8_t> b, size_t off)
{
    return static_cast<uint32_t>(b[off]) << 24 | static_cast<uint32_t>(b[off + 1]) << 16 |
           static_cast<uint32_t>(b[off + 2]) << 8 | b[off + 3];
}

uint16_t rd16(std::span<const uint8_t> b, size_t off)
{
    return static_cast<uint16_t>(b[off] << 8 | b[off + 1]);
}

void wr32(std::vector<uint8_t> &b, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        b.push_back(static_cast<uint8_t>(v >> shift));
    }
}

bool is_multicast(uint32_t a) { return (a >> 28) == 0xe; }

e_igmp_pkt_err decode_query(std::span<const uint8_t> m, t_igmp_msg &msg)
{
    if (m.size() == 8) {
        msg.version = m[1] == 0 ? 1 : 2;
        msg.max_resp_ms = msg.version == 1 ? 10000 : m[1] * 100u;
    } else if (m.size() >= 12) {
        msg.version = 3;
        msg.max_resp_ms = igmp_pkt_code_decode(m[1]) * 100;
        msg.suppress = (m[8] & 0x08) != 0;
        msg.qrv = m[8] & 0x07;
        msg.qqi_s = igmp_pkt_code_decode(m[9]);
        size_t n = rd16(m, 10);
        if (12 + 4 * n > m.size()) {
            return IGMP_PKT_BAD_RECORDS;
        }
        for (size_t i = 0; i < n; i++) {
            msg.sources.push_back(rd32(m, 12 + 4 * i));
        }
    } else {
        return IGMP_PKT_BAD_LEN;
    }
    if (msg.group != 0 && !is_multicast(msg.group)) {
        return IGMP_PKT_BAD_GROUP;
    }
    return IGMP_PKT_OK;
}

e_igmp_pkt_err decode_v3_report(std::span<const uint8_t> m, t_igmp_msg &msg)
{
    msg.version = 3;
    size_t nrec = rd16(m, 6);
    size_t off = 8;
    for (size_t r = 0; r < nrec; r++) {
        if (off + 8 > m.size()) {
            return IGMP_PKT_BAD_RECORDS;
        }
        uint8_t type = m[off];
        size_t aux = m[off + 1] * 4u;
        size_t nsrc = rd16(m, off + 2);
        size_t end = off + 8 + 4 * nsrc + aux;
        if (end > m.size()) {
            return IGMP_PKT_BAD_RECORDS;
        }
        if (type < IGMP_REC_IS_IN || type > IGMP_REC_BLOCK) {
            return IGMP_PKT_BAD_RECTYPE;
        }
        t_igmp_record rec{static_cast<e_igmp_rec_type>(type), rd32(m, off + 4), {}};
        if (!is_multicast(rec.group)) {
            return IGMP_PKT_BAD_GROUP;
        }
        rec.sources.reserve(nsrc);
        for (size_t i = 0; i < nsrc; i++) {
            rec.sources.push_back(rd32(m, off + 8 + 4 * i));
        }
        msg.records.push_back(std::move(rec));
        off = end;
    }
    return IGMP_PKT_OK;
}

} // namespace

const char *igmp_pkt_err_str(e_igmp_pkt_err err)
{
    switch (err) {
    case IGMP_PKT_OK:
        return "ok";
    case IGMP_PKT_SHORT:
        return "short";
    case IGMP_PKT_BAD_IP:
        return "bad-ip-header";
    case IGMP_PKT_BAD_CHECKSUM:
        return "bad-checksum";
    case IGMP_PKT_BAD_LEN:
        return "bad-length";
    case IGMP_PKT_BAD_RECORDS:
        return "bad-records";
    case IGMP_PKT_BAD_RECTYPE:
        return "bad-record-type";
    case IGMP_PKT_BAD_GROUP:
        return "bad-group";
    case IGMP_PKT_UNKNOWN_TYPE:
        return "unknown-type";
    case IGMP_PKT_NUM_ERRS:
        break;
    }
    return "?";
}

uint16_t igmp_pkt_checksum(std::span<const uint8_t> bytes)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        sum += static_cast<uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    }
    if (bytes.size() % 2 != 0) {
        sum += static_cast<uint32_t>(bytes.back() << 8);
    }
    while ((sum >> 16) != 0) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

uint8_t igmp_pkt_code_encode(uint32_t value)
{
    if (value < 128) {
        return static_cast<uint8_t>(value);
    }
    // 1 exp(3) mant(4): value = (mant | 0x10) << (exp + 3).
    for (uint32_t exp = 0; exp < 8; exp++) {
        uint32_t mant = (value >> (exp + 3)) - 0x10;
        if ((value >> (exp + 3)) < 0x20) {
            return static_cast<uint8_t>(0x80 | exp << 4 | (mant & 0x0f));
        }
    }
    return 0xff;
}

uint32_t igmp_pkt_code_decode(uint8_t code)
{
    if (code < 128) {
        return code;
    }
    return static_cast<uint32_t>((code & 0x0f) | 0x10) << (((code >> 4) & 0x07) + 3);
}

e_igmp_pkt_err igmp_pkt_decode(std::span<const uint8_t> pkt, t_igmp_msg &msg)
{
    msg = t_igmp_msg{};
    if (pkt.size() < 20) {
        return IGMP_PKT_SHORT;
    }
    size_t ihl = (pkt[0] & 0x0f) * 4u;
    size_t total = rd16(pkt, 2);
    if ((pkt[0] >> 4) != 4 || ihl < 20 || total < ihl || total > pkt.size() ||
        pkt[9] != IGMP_PROTO) {
        return IGMP_PKT_BAD_IP;
    }
    msg.src = rd32(pkt, 12);
    msg.dst = rd32(pkt, 16);
    std::span<const uint8_t> m = pkt.subspan(ihl, total - ihl);
    if (m.size() < 8) {
        return IGMP_PKT_SHORT;
    }
    if (igmp_pkt_checksum(m) != 0) {
        return IGMP_PKT_BAD_CHECKSUM;
    }
    msg.type = m[0];
    msg.group = rd32(m, 4);
    switch (msg.type) {
    case IGMP_TYPE_QUERY:
        return decode_query(m, msg);
    case IGMP_TYPE_V1_REPORT:
    case IGMP_TYPE_V2_REPORT:
    case IGMP_TYPE_V2_LEAVE:
        msg.version = msg.type == IGMP_TYPE_V1_REPORT ? 1 : 2;
        return is_multicast(msg.group) ? IGMP_PKT_OK : IGMP_PKT_BAD_GROUP;
    case IGMP_TYPE_V3_REPORT:
        return decode_v3_report(m, msg);
    default:
        return IGMP_PKT_UNKNOWN_TYPE;
    }
}

std::vector<uint8_t> igmp_pkt_query(uint32_t group, std::span<const uint32_t> sources,
                                    uint32_t max_resp_ms, bool suppress, uint8_t qrv,
                                    uint32_t qqi_s)
{
    size_t n =
        sources.size() < IGMP_V3_QUERY_MAX_SOURCES ? sources.size() : IGMP_V3_QUERY_MAX_SOURCES;
    std::vector<uint8_t> b;
    b.reserve(12 + 4 * n);
    b.push_back(IGMP_TYPE_QUERY);
    b.push_back(igmp_pkt_code_encode(max_resp_ms / 100));
    b.push_back(0);
    b.push_back(0);
    wr32(b, group);
    b.push_back(static_cast<uint8_t>((suppress ? 0x08 : 0) | (qrv <= 7 ? qrv : 0)));
    b.push_back(igmp_pkt_code_encode(qqi_s));
    b.push_back(static_cast<uint8_t>(n >> 8));
    b.push_back(static_cast<uint8_t>(n));
    for (size_t i = 0; i < n; i++) {
        wr32(b, sources[i]);
    }
    uint16_t sum = igmp_pkt_checksum(b);
    b[2] = static_cast<uint8_t>(sum >> 8);
    b[3] = static_cast<uint8_t>(sum);
    return b;
}
