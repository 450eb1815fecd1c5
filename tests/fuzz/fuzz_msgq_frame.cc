// Feeds arbitrary bytes through the message-queue receive path in both framings,
// cut into reads of varying size with "try again" between them, as a socket
// would deliver them. The first byte picks the framing: below 0x80 the library
// header (bit 0: the connection is still unregistered); otherwise an application
// header of 2 to 64 bytes, the second byte placing its length field.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sys/types.h>

#include "common/msgq_util.h"
#include "common/zul_assert.h"

namespace
{

struct t_feed {
    const uint8_t *data;
    size_t size;
    size_t pos;
    size_t step;     // cycles the read sizes
    bool gave_again; // one "try again" at each read boundary
};

constexpr size_t READ_SIZES[] = {1, 3, 8, 64, 1500, 65536};

ssize_t feed_pull(void *ctx, void *buf, size_t len)
{
    auto *f = static_cast<t_feed *>(ctx);
    if (!f->gave_again) {
        f->gave_again = true;
        errno = EAGAIN;
        return -1;
    }
    f->gave_again = false;
    if (f->pos == f->size) {
        return 0;
    }
    size_t n = READ_SIZES[f->step++ % (sizeof(READ_SIZES) / sizeof(READ_SIZES[0]))];
    n = n < len ? n : len;
    n = n < f->size - f->pos ? n : f->size - f->pos;
    memcpy(buf, f->data + f->pos, n);
    f->pos += n;
    return static_cast<ssize_t>(n);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    msgq_handle_t h{};
    h.sock_fd = -1;
    if (data[0] < 0x80) {
        h.in_tmp_list = data[0] & 1;
    } else {
        h.use_app_header = 1;
        h.app_header_size = static_cast<uint8_t>(2 + (data[0] & 0x7F) % 63);
        h.app_msglen_offset = static_cast<uint8_t>(data[1] % (h.app_header_size - 1));
    }
    const msgq_framing_t framing{h.use_app_header != 0, h.app_header_size, h.app_msglen_offset};
    const size_t hdr_len = msgq_framing_hdr_len(&framing);

    t_feed feed{data + 2, size - 2, 0, data[1], false};
    for (;;) {
        void *msg = nullptr;
        uint32_t len = 0;
        msgq_rx_result_e r = msgq_rx_step(&h, feed_pull, &feed, &msg, &len);
        if (r == MSGQ_RX_AGAIN || r == MSGQ_RX_SKIPPED || r == MSGQ_RX_REGISTER) {
            continue;
        }
        if (r != MSGQ_RX_MSG) {
            break;
        }
        // The message is what its header announced, and its header came along.
        const uint8_t *m = static_cast<const uint8_t *>(msg);
        if (h.use_app_header) {
            const uint8_t *l = m + h.app_msglen_offset;
            ZUL_ASSERT(len == static_cast<uint32_t>((l[0] << 8) | l[1]));
            ZUL_ASSERT(len > hdr_len);
        } else {
            msgq_hdr_t hdr;
            memcpy(&hdr, m - MSGQ_HDR_LEN, sizeof(hdr));
            ZUL_ASSERT(hdr.size == len + MSGQ_HDR_LEN && len > 0);
            ZUL_ASSERT(!h.in_tmp_list);
        }
        ZUL_ASSERT(h.rx_bytes == 0 && h.rx_msg_size == 0 && h.rx_buf_p == nullptr);
        msgq_msg_free(&h, msg);
    }
    msgq_rx_reset(&h);
    ZUL_ASSERT(h.rx_buf_p == nullptr);

    // The header classifier alone, straight on the input.
    if (size - 2 >= hdr_len) {
        msgq_frame_t fr = msgq_frame_decode_hdr(&framing, data + 2);
        ZUL_ASSERT(fr.kind <= MSGQ_FRAME_BAD_LEN);
        ZUL_ASSERT(fr.kind != MSGQ_FRAME_MSG || fr.msg_size > hdr_len);
    }
    return 0;
}
