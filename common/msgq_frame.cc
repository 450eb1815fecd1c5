// Message-queue framing: header decoding and the incremental receive of one
// message, either header format.
#include <cerrno>
#include <cstring>

#include "common/msgq_internal.h"
#include "common/msgq_util.h"

using namespace msgq_internal;

size_t msgq_framing_hdr_len(const msgq_framing_t *framing)
{
    return framing->use_app_header ? framing->app_header_size : MSGQ_HDR_LEN;
}

msgq_frame_t msgq_frame_decode_hdr(const msgq_framing_t *framing, const uint8_t *hdr)
{
    msgq_frame_t fr{};
    if (framing->use_app_header) {
        if (framing->app_msglen_offset + 2u > framing->app_header_size) {
            fr.kind = MSGQ_FRAME_BAD_LEN;
            return fr;
        }
        const uint8_t *p = hdr + framing->app_msglen_offset;
        fr.msg_size = static_cast<uint16_t>((p[0] << 8) | p[1]);
        fr.kind = fr.msg_size <= framing->app_header_size ? MSGQ_FRAME_BAD_LEN : MSGQ_FRAME_MSG;
        return fr;
    }
    msgq_hdr_t h;
    memcpy(&h, hdr, sizeof(h));
    fr.msg_size = h.size;
    fr.src_mod = h.src_mod;
    fr.tgt_mod = h.tgt_mod;
    if (h.msg_type == MSGQ_HDR_TYPE_REGISTER) {
        fr.kind = MSGQ_FRAME_REGISTER;
    } else if (h.size <= MSGQ_HDR_LEN) {
        fr.kind = MSGQ_FRAME_TOO_SHORT;
    } else {
        fr.kind = MSGQ_FRAME_MSG;
    }
    return fr;
}

void msgq_rx_reset(msgq_handle_t *handle)
{
    if (handle->rx_buf_p != nullptr) {
        msgq_release(handle, handle->rx_buf_p);
        handle->stats.msg_frees++;
        handle->rx_buf_p = nullptr;
    }
    handle->rx_bytes = 0;
    handle->rx_msg_size = 0;
}

msgq_rx_result_e msgq_rx_step(msgq_handle_t *h, msgq_pull_fn pull, void *ctx, void **msg_pp,
                              uint32_t *len_p)
{
    const msgq_framing_t framing = msgq_handle_framing(h);
    const size_t hdr_len = msgq_framing_hdr_len(&framing);
    const size_t prefix = msgq_wire_offset(h);

    if (h->rx_msg_size == 0) {
        while (h->rx_bytes < hdr_len) {
            size_t want = hdr_len - h->rx_bytes;
            ssize_t n = pull(ctx, h->rx_hdr + h->rx_bytes, want);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return MSGQ_RX_AGAIN;
            }
            if (n <= 0) {
                if (h->use_app_header) {
                    MSGQ_ERR("Failed to peek %d bytes, errno: %d, read_bytes: %d",
                             static_cast<int>(want), n < 0 ? errno : 0, static_cast<int>(n));
                }
                return MSGQ_RX_CLOSED;
            }
            h->rx_bytes = static_cast<uint16_t>(h->rx_bytes + n);
        }
        msgq_frame_t fr = msgq_frame_decode_hdr(&framing, h->rx_hdr);
        if (h->in_tmp_list && fr.kind != MSGQ_FRAME_REGISTER) {
            h->rx_bytes = 0;
            return MSGQ_RX_NOT_REGISTER;
        }
        switch (fr.kind) {
        case MSGQ_FRAME_REGISTER:
            h->rx_bytes = 0;
            return MSGQ_RX_REGISTER;
        case MSGQ_FRAME_TOO_SHORT: {
            msgq_hdr_t hdr;
            memcpy(&hdr, h->rx_hdr, sizeof(hdr));
            MSGQ_ERR("Bad message size (%d). Must be more than (%d). Magic1 (%d)Dropping the "
                     "message on fd '%d'",
                     static_cast<int>(hdr.size), static_cast<int>(MSGQ_HDR_LEN),
                     static_cast<int>(hdr.magic1), h->sock_fd);
            h->rx_bytes = 0;
            return MSGQ_RX_SKIPPED;
        }
        case MSGQ_FRAME_BAD_LEN:
            // Without a usable length the stream cannot be resynchronised.
            MSGQ_ERR("Bad message length %u for a %u-byte header on fd %d",
                     static_cast<unsigned>(fr.msg_size), static_cast<unsigned>(hdr_len),
                     h->sock_fd);
            h->rx_bytes = 0;
            return MSGQ_RX_CLOSED;
        case MSGQ_FRAME_MSG:
            break;
        }
        size_t alloc_len = prefix + fr.msg_size;
        h->rx_buf_p = static_cast<uint8_t *>(msgq_alloc(h, alloc_len));
        if (h->rx_buf_p == nullptr) {
            h->stats.alloc_failed++;
            MSGQ_FATAL("Out of memory for a received message");
        }
        h->stats.msg_allocs++;
        memcpy(h->rx_buf_p + prefix, h->rx_hdr, hdr_len);
        h->rx_msg_size = fr.msg_size;
    }

    uint8_t *data = h->rx_buf_p + prefix;
    while (h->rx_bytes < h->rx_msg_size) {
        size_t want = static_cast<size_t>(h->rx_msg_size - h->rx_bytes);
        ssize_t n = pull(ctx, data + h->rx_bytes, want);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return MSGQ_RX_AGAIN;
        }
        if (n <= 0) {
            if (h->use_app_header) {
                MSGQ_ERR("Failed to read %d bytes, errno: %d, read_bytes: %d",
                         static_cast<int>(want), n < 0 ? errno : 0, static_cast<int>(n));
            }
            return MSGQ_RX_CLOSED;
        }
        h->rx_bytes = static_cast<uint16_t>(h->rx_bytes + n);
    }
    size_t alloc_len = prefix + h->rx_msg_size;
    if (prefix != 0) {
        msgq_stamp(h->rx_buf_p, alloc_len);
    } else {
        // The wire's magic is not checked; ours goes back so msgq_msg_free and
        // msgq_write accept the buffer.
        auto *hdr = reinterpret_cast<msgq_hdr_t *>(h->rx_buf_p);
        hdr->magic1 = MSGQ_MAGIC1;
        hdr->magic2 = MSGQ_MAGIC2;
    }
    *msg_pp = h->rx_buf_p + MSGQ_HDR_LEN;
    *len_p = static_cast<uint32_t>(alloc_len - MSGQ_HDR_LEN);
    h->rx_buf_p = nullptr;
    h->rx_bytes = 0;
    h->rx_msg_size = 0;
    return MSGQ_RX_MSG;
}
