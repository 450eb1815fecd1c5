// IGMP wire formats (versions 1, 2 and 3) as a router sees them: decoding of
// received IPv4 packets carrying IGMP, and building of the queries it sends.
// Pure functions over bytes, so unit tests and the fuzzer drive them alone.
// Addresses are IPv4 in host byte order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

inline constexpr uint8_t IGMP_PROTO = 2;
inline constexpr uint8_t IGMP_TYPE_QUERY = 0x11;
inline constexpr uint8_t IGMP_TYPE_V1_REPORT = 0x12;
inline constexpr uint8_t IGMP_TYPE_V2_REPORT = 0x16;
inline constexpr uint8_t IGMP_TYPE_V2_LEAVE = 0x17;
inline constexpr uint8_t IGMP_TYPE_V3_REPORT = 0x22;
inline constexpr uint32_t IGMP_ALL_HOSTS = 0xe0000001;   // 224.0.0.1
inline constexpr uint32_t IGMP_ALL_ROUTERS = 0xe0000002; // 224.0.0.2
inline constexpr uint32_t IGMP_V3_ROUTERS = 0xe0000016;  // 224.0.0.22
inline constexpr size_t IGMP_V3_QUERY_MAX_SOURCES = 366; // fits a 1500-byte frame

// Group record types of a version 3 report.
enum e_igmp_rec_type : uint8_t {
    IGMP_REC_IS_IN = 1,
    IGMP_REC_IS_EX = 2,
    IGMP_REC_TO_IN = 3,
    IGMP_REC_TO_EX = 4,
    IGMP_REC_ALLOW = 5,
    IGMP_REC_BLOCK = 6,
};

// Why a packet was dropped; each reason has its own counter.
enum e_igmp_pkt_err : uint8_t {
    IGMP_PKT_OK = 0,
    IGMP_PKT_SHORT,        // shorter than its headers
    IGMP_PKT_BAD_IP,       // not IPv4, bad header length, total length or protocol
    IGMP_PKT_BAD_CHECKSUM, // IGMP checksum
    IGMP_PKT_BAD_LEN,      // message length wrong for its type
    IGMP_PKT_BAD_RECORDS,  // record counts or records past the end
    IGMP_PKT_BAD_RECTYPE,  // unknown group record type
    IGMP_PKT_BAD_GROUP,    // group not multicast (or not zero in a general query)
    IGMP_PKT_UNKNOWN_TYPE, // IGMP type this router does not handle
    IGMP_PKT_NUM_ERRS,
};

const char *igmp_pkt_err_str(e_igmp_pkt_err err);

struct t_igmp_record {
    e_igmp_rec_type type;
    uint32_t group;
    std::vector<uint32_t> sources;
};

struct t_igmp_msg {
    uint8_t type = 0;
    uint8_t version = 0; // of a query or report: 1, 2 or 3
    uint32_t src = 0;    // IP source
    uint32_t dst = 0;    // IP destination
    uint32_t group = 0;  // queries, version 1/2 reports, leaves
    uint32_t max_resp_ms = 0;
    // Version 3 queries.
    bool suppress = false;
    uint8_t qrv = 0;
    uint32_t qqi_s = 0;
    std::vector<uint32_t> sources;
    // Version 3 reports.
    std::vector<t_igmp_record> records;
};

// One received IPv4 packet (IP header first).
e_igmp_pkt_err igmp_pkt_decode(std::span<const uint8_t> pkt, t_igmp_msg &msg);

uint16_t igmp_pkt_checksum(std::span<const uint8_t> bytes);
// The 8-bit code of version 3 time fields (max response code, QQIC): values
// below 128 as they are, larger ones as a floating-point form.
uint8_t igmp_pkt_code_encode(uint32_t value);
uint32_t igmp_pkt_code_decode(uint8_t code);

// A version 3 query (general when group is 0), without IP header.
std::vector<uint8_t> igmp_pkt_query(uint32_t group, std::span<const uint32_t> sources,
                                    uint32_t max_resp_ms, bool suppress, uint8_t qrv,
                                    uint32_t qqi_s);
