// PIM version 2 wire codec: bounded reader and writer, the common header and
// checksum, encoded addresses, and the Hello, Join/Prune and Assert bodies.
// Pure code: bytes in, record and reason out. No sockets, clocks or globals, so
// unit tests, fuzzers and benchmarks link it alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/ip_util.h"

// Received datagrams: a whole reassembled IPv4 datagram fits.
inline constexpr size_t PIM_PKT_RX_BUF_LEN = 65536;
// Largest message we build: a (*,G) Join record is never split from its
// (S,G,rpt) prunes, so a long one goes whole (the kernel fragments it).
inline constexpr size_t PIM_PKT_BUF_LEN = 9000;
// Every other Join/Prune content splits at an Ethernet frame less the IPv4
// header, so normal traffic is never fragmented.
inline constexpr size_t PIM_PKT_TX_MAX = 1480;
// (S,G,rpt) prunes one (*,G) Join carries at most; beyond them the first ones
// are kept. 1000 IPv4 prunes make a message of 8034 bytes.
inline constexpr size_t PIM_JP_XG_MAX_PRUNES = 1000;
inline constexpr size_t PIM_PKT_HDR_LEN = 4;
// Bytes of a Register its checksum covers: the header and the flags word.
inline constexpr size_t PIM_REGISTER_CKSUM_LEN = 8;
inline constexpr uint8_t PIM_PKT_VERSION = 2;
// Capacity of the source arrays of one decoded group record; the builder never
// puts more into one list, so whatever we send decodes in our own receiver.
inline constexpr size_t PIM_JP_MAX_SRCS = 1024;
static_assert(PIM_JP_XG_MAX_PRUNES <= PIM_JP_MAX_SRCS);
inline constexpr uint16_t PIM_HELLO_HOLDTIME_FOREVER = 0xFFFF;
inline constexpr uint32_t PIM_HELLO_DEFAULT_HOLDTIME_S = 105;
// Value a decoded holdtime of 0xFFFF is handed on as: the neighbor never expires.
inline constexpr uint32_t PIM_NBR_HOLDTIME_FOREVER_MS = 65535;

enum e_pim_pkt_type : uint8_t {
    PIM_PKT_HELLO = 0,
    PIM_PKT_REGISTER = 1,
    PIM_PKT_REGISTER_STOP = 2,
    PIM_PKT_JOIN_PRUNE = 3,
    PIM_PKT_BOOTSTRAP = 4,
    PIM_PKT_ASSERT = 5,
    PIM_PKT_GRAFT = 6,
    PIM_PKT_GRAFT_ACK = 7,
    PIM_PKT_CRP_ADVERTISEMENT = 8,
    PIM_PKT_MAX = 9,
};

extern const char *const pim_str_msg_type[PIM_PKT_MAX];

enum e_pim_af : uint8_t {
    PIM_AF_UNKNOWN = 0,
    PIM_AF_IPV4 = 1,
    PIM_AF_IPV6 = 2,
};

// Why a message was rejected; the receive path maps each to its counter and
// log line.
enum e_pim_pkt_err : uint8_t {
    PIM_PKT_OK = 0,
    PIM_PKT_ERR_IP_HDR,        // datagram too short for its IP header or total length
    PIM_PKT_ERR_TOO_SHORT,     // PIM message shorter than its header
    PIM_PKT_ERR_VERSION,       // version is not 2
    PIM_PKT_ERR_CHECKSUM,      // checksum does not verify
    PIM_PKT_ERR_TRUNCATED,     // a fixed field runs past the end
    PIM_PKT_ERR_ADDR_FAMILY,   // encoded address of an unknown family
    PIM_PKT_ERR_ADDR_ENCODING, // encoded address of an encoding type we cannot size
    PIM_PKT_ERR_BAD_LENGTH,    // bytes left over or missing after the last field
    PIM_PKT_ERR_OPT_LENGTH,    // a Hello option whose length differs from its fixed size
    PIM_PKT_ERR_TOO_MANY_SRC,  // a group record with more sources than the arrays hold
};

const char *pim_pkt_err_str(e_pim_pkt_err err);

// Reader over a byte range: each get checks what is left and fails without
// reading; after a failure every further get fails too.
struct t_pim_rd {
    const uint8_t *p;
    size_t left;
    bool ok;
};

inline t_pim_rd pim_rd_init(std::span<const uint8_t> bytes)
{
    return t_pim_rd{bytes.data(), bytes.size(), true};
}
bool pim_rd_u8(t_pim_rd &rd, uint8_t &v);
bool pim_rd_u16(t_pim_rd &rd, uint16_t &v);
bool pim_rd_u32(t_pim_rd &rd, uint32_t &v);
bool pim_rd_bytes(t_pim_rd &rd, uint8_t *out, size_t n);
bool pim_rd_skip(t_pim_rd &rd, size_t n);
// Cuts the next n bytes off as their own reader.
bool pim_rd_sub(t_pim_rd &rd, size_t n, t_pim_rd &sub);

// Writer into a caller's buffer; a put that does not fit fails and sticks.
struct t_pim_wr {
    uint8_t *buf;
    size_t cap;
    size_t len;
    bool ok;
};

inline t_pim_wr pim_wr_init(std::span<uint8_t> buf)
{
    return t_pim_wr{buf.data(), buf.size(), 0, true};
}
bool pim_wr_u8(t_pim_wr &wr, uint8_t v);
bool pim_wr_u16(t_pim_wr &wr, uint16_t v);
bool pim_wr_u32(t_pim_wr &wr, uint32_t v);
bool pim_wr_bytes(t_pim_wr &wr, const uint8_t *in, size_t n);

// Internet checksum (one's complement of the one's complement sum).
uint16_t pim_pkt_checksum(const uint8_t *buf, size_t len);

// The IP header of a received datagram, kept for dumps.
struct t_pim_ip_header {
    t_ipaddr src_ip;
    t_ipaddr dest_ip;
    uint8_t ip_hdr_len; // 32-bit words
    uint16_t total_len;
};

// Splits a raw-socket datagram into its IP header and PIM message. The PIM
// message is bounded by both the IP total length and the bytes actually read.
[[nodiscard]] e_pim_pkt_err pim_pkt_ip_parse(std::span<const uint8_t> dgram, t_pim_ip_header &ip,
                                             std::span<const uint8_t> &pim);

// Checks length, version and checksum of a PIM message; yields its type.
// On a checksum failure *rx_cksum and *calc_cksum say what was seen.
[[nodiscard]] e_pim_pkt_err pim_pkt_hdr_check(std::span<const uint8_t> pim, uint8_t &type,
                                              uint16_t &rx_cksum, uint16_t &calc_cksum);

// Decoded encoded-address records.
struct t_pim_pkt_src_addr {
    t_ipprefix source_addr;
    uint8_t enc_type; // 0: native encoding, the only one we implement
    uint8_t s_bit : 1;
    uint8_t wc_bit : 1;
    uint8_t r_bit : 1;
};

struct t_pim_pkt_group_addr {
    t_ipprefix group_addr;
    uint8_t enc_type;
    uint8_t b_bit : 1;
    uint8_t z_bit : 1;
};

inline constexpr uint8_t PIM_SRC_FLAG_S = 0x04;
inline constexpr uint8_t PIM_SRC_FLAG_W = 0x02;
inline constexpr uint8_t PIM_SRC_FLAG_R = 0x01;
inline constexpr uint8_t PIM_GRP_FLAG_B = 0x80;
inline constexpr uint8_t PIM_GRP_FLAG_Z = 0x01;

// Decoders return the bytes consumed (6/18, 8/20, 8/20), or 0 for an unknown
// family or a truncated address; *family receives the family byte read.
size_t pim_pkt_decode_unicast_addr(t_pim_rd &rd, t_ipaddr &out, uint8_t &family);
size_t pim_pkt_decode_source_addr(t_pim_rd &rd, t_pim_pkt_src_addr &out, uint8_t &family);
size_t pim_pkt_decode_group_addr(t_pim_rd &rd, t_pim_pkt_group_addr &out, uint8_t &family);
// Encoders return the bytes written, or 0 for an address of neither family or
// when the writer is full. Source and group mask lengths are sent as the full
// address width.
size_t pim_pkt_encode_unicast_addr(t_pim_wr &wr, const t_ipaddr &addr);
size_t pim_pkt_encode_source_addr(t_pim_wr &wr, const t_ipaddr &addr, uint8_t flags);
size_t pim_pkt_encode_group_addr(t_pim_wr &wr, const t_ipaddr &addr, uint8_t flags);

// Writes the 4-byte header with checksum 0.
bool pim_pkt_encode_header(t_pim_wr &wr, e_pim_pkt_type type);
// Stores the checksum over the finished message.
void pim_pkt_finish(std::span<uint8_t> msg);

// Hello options.
inline constexpr uint16_t PIM_HELLO_OPT_HOLDTIME = 1;
inline constexpr uint16_t PIM_HELLO_OPT_LAN_PRUNE_DELAY = 2;
inline constexpr uint16_t PIM_HELLO_OPT_DR_PRIORITY = 19;
inline constexpr uint16_t PIM_HELLO_OPT_GENID = 20;
inline constexpr uint16_t PIM_HELLO_OPT_ADDR_LIST = 24;
inline constexpr size_t PIM_HELLO_LEN = 34;

// Secondary addresses of a neighbor we keep; further ones are ignored.
inline constexpr size_t PIM_HELLO_MAX_SECONDARY = 8;

// Hello contents in wire units. An absent option is not a value of 0: the
// has_ flags say which were present.
struct t_pim_hello {
    uint16_t holdtime;     // seconds; 0xFFFF never expires
    uint16_t prop_delay;   // ms, T bit cleared
    uint16_t override_int; // ms
    bool t_bit;
    bool has_holdtime;
    bool has_lan_delay;
    bool has_dr_priority;
    bool has_gen_id;
    uint32_t dr_priority;
    uint32_t gen_id;
    uint8_t num_secondary;
    t_ipaddr secondary[PIM_HELLO_MAX_SECONDARY];
    uint16_t unknown_opts; // options skipped by their length
    uint16_t last_unknown_type;
    uint16_t last_unknown_len;
};

// body: the bytes after the PIM header. *bad_value: the unaccounted length, or
// the offending option type.
[[nodiscard]] e_pim_pkt_err pim_pkt_hello_decode(std::span<const uint8_t> body, t_pim_hello &out,
                                                 int32_t &bad_value);
// Builds a whole Hello (header and the four options); returns its length or 0.
size_t pim_pkt_hello_build(std::span<uint8_t> buf, const t_pim_hello &h);

// Join/Prune.
struct t_pim_pkt_jp_group {
    t_pim_pkt_group_addr group_address;
    uint16_t num_joins;
    uint16_t num_prunes;
    t_pim_pkt_src_addr *join_src_pp;
    t_pim_pkt_src_addr *prune_src_pp;
    // The last record held an address of unknown family or encoding: the
    // rest of the message was skipped as this record, which has no sources.
    bool unreadable;
};

struct t_pim_pkt_jp {
    t_ipaddr upstream_neighbor;
    uint32_t num_groups;
    uint16_t holdtime; // seconds
    t_pim_pkt_jp_group jp_group;
};

// Walks a Join/Prune body group record by group record, so that each record
// can take effect before the next one is read.
struct t_pim_jp_rd {
    t_pim_rd rd;
    uint32_t next_group; // 1-based number of the record to read next
};

// Reads the fields before the first group record.
[[nodiscard]] e_pim_pkt_err pim_pkt_jp_decode_hdr(std::span<const uint8_t> body, t_pim_jp_rd &it,
                                                  t_pim_pkt_jp &jp, int32_t &bad_value);
// True while another group record is to be read.
bool pim_pkt_jp_more(const t_pim_jp_rd &it, const t_pim_pkt_jp &jp);
// Reads one group record into jp.jp_group, its sources into the two arrays.
// An address of unknown family or encoding type has no known length: in the
// last record the rest of the message is that record (unreadable set), in any
// other the message cannot be read further (ADDR_FAMILY or ADDR_ENCODING).
[[nodiscard]] e_pim_pkt_err pim_pkt_jp_decode_group(t_pim_jp_rd &it, t_pim_pkt_jp &jp,
                                                    std::span<t_pim_pkt_src_addr> joins,
                                                    std::span<t_pim_pkt_src_addr> prunes,
                                                    int32_t &bad_value);
// Why a decoded group record may not take effect (an unreadable record, a
// family other than the packet's, a group that is not multicast,
// an (S,G) source that is not a full-length host address), or nullptr.
const char *pim_pkt_jp_group_check(const t_pim_pkt_jp_group &g, const t_ipaddr &pkt_src);
// After the last record: nothing may be left over. *bad_value: bytes left.
[[nodiscard]] e_pim_pkt_err pim_pkt_jp_decode_end(const t_pim_jp_rd &it, int32_t &bad_value);

// One source of an outgoing group record.
struct t_pim_jp_src {
    t_ipaddr addr;
    uint8_t flags; // PIM_SRC_FLAG_*
};

struct t_pim_jp_group_tx {
    t_ipaddr group;
    std::span<const t_pim_jp_src> joins;
    std::span<const t_pim_jp_src> prunes;
};

struct t_pim_jp_tx {
    t_ipaddr upstream;
    uint16_t holdtime; // seconds
    std::span<const t_pim_jp_group_tx> groups;
};

// Where the next message of a split Join/Prune starts.
struct t_pim_jp_cursor {
    size_t group;
    size_t join;
    size_t prune;
};

// Builds the next message of a Join/Prune into buf and advances the cursor.
// Group records and sources are packed up to split_len bytes; a record whose
// sources do not fit is continued in the next message. A record with a (*,G)
// Join is never split, since the receiver's end-of-message processing of one
// part would undo the prunes of the other: it goes whole, alone in a message
// up to the size of buf when it does not fit beside others, and what exceeds
// buf or PIM_JP_MAX_SRCS sources per list is left out. Returns the message
// length, or 0 when everything was sent already or not even one source fits.
size_t pim_pkt_jp_build(std::span<uint8_t> buf, const t_pim_jp_tx &jp, t_pim_jp_cursor &cur,
                        size_t split_len = PIM_PKT_TX_MAX);
// True for a group record that carries a (*,G) Join (a source with W and R).
bool pim_pkt_jp_group_is_whole(const t_pim_jp_group_tx &g);

// Assert.
struct t_pim_assert_metric {
    bool rpt_bit;
    uint32_t preference;
    uint32_t metric;
    t_ipaddr sender_addr;
};

struct t_pim_assert_rec {
    t_pim_pkt_group_addr group;
    t_ipaddr source;
    t_pim_assert_metric metric;
};

inline constexpr size_t PIM_ASSERT_V4_LEN = 26;

[[nodiscard]] e_pim_pkt_err pim_pkt_assert_decode(std::span<const uint8_t> body,
                                                  t_pim_assert_rec &out, int32_t &bad_value);
// Builds a whole Assert; returns its length or 0.
size_t pim_pkt_assert_build(std::span<uint8_t> buf, const t_ipaddr &group, const t_ipaddr &source,
                            const t_pim_assert_metric &m);
