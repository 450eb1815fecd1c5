#include "common/rtm_msg.h"

#include <cstring>

#include "proto/rtm.pb-c.h"

size_t rtm_msg_framed_size(const MRtmControl *msg_p)
{
    size_t len = m_rtm_control__get_packed_size(msg_p) + RTM_MSG_HDR_LEN;
    return len <= RTM_MSG_MAX_LEN ? len : 0;
}

void rtm_msg_frame(const MRtmControl *msg_p, uint8_t *buf, size_t len)
{
    memset(buf, 0, RTM_MSG_HDR_LEN);
    buf[0] = static_cast<uint8_t>(len >> 8);
    buf[1] = static_cast<uint8_t>(len);
    buf[2] = RTM_MSG_MODULE_ZEBRA;
    buf[3] = RTM_MSG_TYPE_CONTROL;
    m_rtm_control__pack(msg_p, buf + RTM_MSG_HDR_LEN);
}

t_pb_quagga_msg_hdr rtm_msg_read_hdr(const uint8_t *buf)
{
    t_pb_quagga_msg_hdr hdr{};
    hdr.msg_len = static_cast<uint16_t>((buf[0] << 8) | buf[1]);
    hdr.module_id = buf[2];
    hdr.msg_type = buf[3];
    hdr.seq_num = buf[4];
    return hdr;
}

e_rtm_msg_result rtm_msg_parse(const uint8_t *buf, size_t len, MRtmControl **out_p,
                               t_pb_quagga_msg_hdr *hdr_p)
{
    *out_p = nullptr;
    if (buf == nullptr || len < RTM_MSG_HDR_LEN) {
        return RTM_MSG_SHORT;
    }
    t_pb_quagga_msg_hdr hdr = rtm_msg_read_hdr(buf);
    if (hdr_p != nullptr) {
        *hdr_p = hdr;
    }
    if (hdr.msg_len != len) {
        return RTM_MSG_LEN_MISMATCH;
    }
    if (hdr.module_id != RTM_MSG_MODULE_ZEBRA) {
        return RTM_MSG_BAD_MODULE;
    }
    if (hdr.msg_type != RTM_MSG_TYPE_CONTROL) {
        return RTM_MSG_BAD_TYPE;
    }
    *out_p = m_rtm_control__unpack(nullptr, len - RTM_MSG_HDR_LEN, buf + RTM_MSG_HDR_LEN);
    return *out_p != nullptr ? RTM_MSG_OK : RTM_MSG_UNPACK_FAIL;
}
