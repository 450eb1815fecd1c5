// Framing of the route table manager's control messages: a 6-byte header
// (total length big-endian, module, message type, sequence, pad) in front of
// one packed MRtmControl. Pure byte work, shared by the daemon's link, rtmd and
// the test peers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

struct MRtmControl;

// protobuf-c keeps whatever number arrived in an enum field, in or out of the
// enumeration: received enum fields are read as plain numbers.
template <typename E> int rtm_msg_enum(const E &field)
{
    static_assert(sizeof(E) == sizeof(int));
    int value;
    memcpy(&value, &field, sizeof(value));
    return value;
}

inline constexpr size_t RTM_MSG_HDR_LEN = 6;
inline constexpr uint8_t RTM_MSG_MODULE_ZEBRA = 0; // MODULE__QUAGGA_ZEBRA
inline constexpr uint8_t RTM_MSG_TYPE_CONTROL = 7; // RTM_MSG__CONTROL
inline constexpr size_t RTM_MSG_MAX_LEN = 65535;

struct t_pb_quagga_msg_hdr {
    uint16_t msg_len; // whole message, header included
    uint8_t module_id;
    uint8_t msg_type;
    uint8_t seq_num;
};

enum e_rtm_msg_result : uint8_t {
    RTM_MSG_OK = 0,
    RTM_MSG_SHORT = 1,        // fewer bytes than a header
    RTM_MSG_LEN_MISMATCH = 2, // header length differs from the bytes delivered
    RTM_MSG_BAD_MODULE = 3,
    RTM_MSG_BAD_TYPE = 4,
    RTM_MSG_UNPACK_FAIL = 5,
};

// Bytes the framed message will take; 0 when it cannot be framed (too large).
size_t rtm_msg_framed_size(const MRtmControl *msg_p);
// Writes header and body into buf (at least rtm_msg_framed_size bytes).
void rtm_msg_frame(const MRtmControl *msg_p, uint8_t *buf, size_t len);

t_pb_quagga_msg_hdr rtm_msg_read_hdr(const uint8_t *buf);
// Checks the header against the delivered length and unpacks the body. On
// RTM_MSG_OK *out_p holds a message for m_rtm_control__free_unpacked; hdr_p
// (optional) receives the header whenever one was there.
e_rtm_msg_result rtm_msg_parse(const uint8_t *buf, size_t len, MRtmControl **out_p,
                               t_pb_quagga_msg_hdr *hdr_p);
