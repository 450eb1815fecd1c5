// The message-queue framing without sockets: header classification in both
// framings and the receive state machine fed from memory in awkward pieces.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "common/msgq_util.h"

namespace
{

std::vector<uint8_t> lib_hdr(uint16_t size, uint8_t src, uint8_t tgt, uint8_t type)
{
    msgq_hdr_t h{0xBEAF, size, src, tgt, type, 12};
    std::vector<uint8_t> v(sizeof(h));
    memcpy(v.data(), &h, sizeof(h));
    return v;
}

TEST(MsgqFrame, LibraryHeaderKinds)
{
    const msgq_framing_t lib{false, 0, 0};
    EXPECT_EQ(msgq_framing_hdr_len(&lib), 8u);
    // Host byte order on the wire: magic AF BE.
    EXPECT_EQ(lib_hdr(8, 16, 7, 1)[0], 0xAF);
    EXPECT_EQ(lib_hdr(8, 16, 7, 1)[1], 0xBE);

    msgq_frame_t f = msgq_frame_decode_hdr(&lib, lib_hdr(8, 16, 7, 1).data());
    EXPECT_EQ(f.kind, MSGQ_FRAME_REGISTER);
    EXPECT_EQ(f.src_mod, 16);
    EXPECT_EQ(f.tgt_mod, 7);
    // The type decides a registration, whatever size it claims.
    EXPECT_EQ(msgq_frame_decode_hdr(&lib, lib_hdr(500, 3, 16, 1).data()).kind, MSGQ_FRAME_REGISTER);
    EXPECT_EQ(msgq_frame_decode_hdr(&lib, lib_hdr(8, 3, 16, 2).data()).kind, MSGQ_FRAME_TOO_SHORT);
    EXPECT_EQ(msgq_frame_decode_hdr(&lib, lib_hdr(0, 3, 16, 2).data()).kind, MSGQ_FRAME_TOO_SHORT);
    f = msgq_frame_decode_hdr(&lib, lib_hdr(9, 3, 16, 0).data());
    EXPECT_EQ(f.kind, MSGQ_FRAME_MSG);
    EXPECT_EQ(f.msg_size, 9);
    f = msgq_frame_decode_hdr(&lib, lib_hdr(65535, 3, 16, 2).data());
    EXPECT_EQ(f.kind, MSGQ_FRAME_MSG);
    EXPECT_EQ(f.msg_size, 65535);
}

TEST(MsgqFrame, ApplicationHeaderKinds)
{
    const msgq_framing_t rtm{true, 6, 0};
    EXPECT_EQ(msgq_framing_hdr_len(&rtm), 6u);
    const uint8_t ok[6] = {0x01, 0x02, 9, 9, 9, 9};
    msgq_frame_t f = msgq_frame_decode_hdr(&rtm, ok);
    EXPECT_EQ(f.kind, MSGQ_FRAME_MSG);
    EXPECT_EQ(f.msg_size, 0x0102);
    const uint8_t exact[6] = {0, 6, 0, 0, 0, 0};
    EXPECT_EQ(msgq_frame_decode_hdr(&rtm, exact).kind, MSGQ_FRAME_BAD_LEN);
    const uint8_t seven[6] = {0, 7, 0, 0, 0, 0};
    EXPECT_EQ(msgq_frame_decode_hdr(&rtm, seven).kind, MSGQ_FRAME_MSG);

    // Length in the last two bytes of a 64-byte header.
    const msgq_framing_t wide{true, 64, 62};
    std::vector<uint8_t> h(64, 0xEE);
    h[62] = 0;
    h[63] = 65;
    f = msgq_frame_decode_hdr(&wide, h.data());
    EXPECT_EQ(f.kind, MSGQ_FRAME_MSG);
    EXPECT_EQ(f.msg_size, 65);
    h[63] = 64;
    EXPECT_EQ(msgq_frame_decode_hdr(&wide, h.data()).kind, MSGQ_FRAME_BAD_LEN);
    // A length field that does not fit inside the header is never read.
    const msgq_framing_t broken{true, 4, 3};
    EXPECT_EQ(msgq_frame_decode_hdr(&broken, h.data()).kind, MSGQ_FRAME_BAD_LEN);
}

// Memory delivered in fixed pieces, with "try again" at every piece boundary.
struct t_src {
    std::vector<uint8_t> data;
    size_t pos = 0;
    size_t piece = 1;
    bool again = false;
};

ssize_t src_pull(void *ctx, void *buf, size_t len)
{
    auto *s = static_cast<t_src *>(ctx);
    if ((s->again = !s->again)) {
        errno = EAGAIN;
        return -1;
    }
    size_t n = std::min({len, s->piece, s->data.size() - s->pos});
    if (n == 0) {
        return 0;
    }
    memcpy(buf, s->data.data() + s->pos, n);
    s->pos += n;
    return static_cast<ssize_t>(n);
}

// Runs the state machine to the end of the source; records what it returned.
std::vector<std::string> drain(msgq_handle_t *h, t_src *src)
{
    std::vector<std::string> out;
    for (;;) {
        void *msg = nullptr;
        uint32_t len = 0;
        msgq_rx_result_e r = msgq_rx_step(h, src_pull, src, &msg, &len);
        if (r == MSGQ_RX_AGAIN) {
            continue;
        }
        if (r == MSGQ_RX_MSG) {
            out.emplace_back(static_cast<char *>(msg), len);
            msgq_msg_free(h, msg);
            continue;
        }
        out.push_back(r == MSGQ_RX_SKIPPED    ? "<skip>"
                      : r == MSGQ_RX_REGISTER ? "<register>"
                      : r == MSGQ_RX_CLOSED   ? "<closed>"
                                              : "<not-register>");
        if (r == MSGQ_RX_CLOSED || r == MSGQ_RX_NOT_REGISTER) {
            return out;
        }
    }
}

void append(std::vector<uint8_t> &v, const std::vector<uint8_t> &w)
{
    v.insert(v.end(), w.begin(), w.end());
}

void append(std::vector<uint8_t> &v, const std::string &s)
{
    v.insert(v.end(), s.begin(), s.end());
}

TEST(MsgqFrame, ReassemblyInPieces)
{
    for (size_t piece : {1, 3, 8, 100}) {
        msgq_handle_t h{};
        h.sock_fd = -1;
        t_src src;
        src.piece = piece;
        append(src.data, lib_hdr(8, 3, 16, 1));
        append(src.data, lib_hdr(13, 3, 16, 2));
        append(src.data, std::string("hello"));
        append(src.data, lib_hdr(4, 3, 16, 2));
        append(src.data, lib_hdr(9, 3, 16, 2));
        append(src.data, std::string("!"));
        append(src.data, lib_hdr(40, 3, 16, 2));
        append(src.data, std::string("cut short"));
        EXPECT_EQ(drain(&h, &src),
                  (std::vector<std::string>{"<register>", "hello", "<skip>", "!", "<closed>"}))
            << piece;
        // The partial message is still held until the connection is reset.
        EXPECT_NE(h.rx_buf_p, nullptr);
        EXPECT_EQ(h.rx_bytes, 17);
        msgq_rx_reset(&h);
        EXPECT_EQ(h.rx_buf_p, nullptr);
        EXPECT_EQ(h.stats.msg_allocs, 3u);
        EXPECT_EQ(h.stats.msg_frees, 3u);
    }

    // Before registering, anything but a registration ends the connection.
    msgq_handle_t tmp{};
    tmp.sock_fd = -1;
    tmp.in_tmp_list = 1;
    t_src src;
    src.piece = 5;
    append(src.data, lib_hdr(13, 3, 16, 2));
    append(src.data, std::string("hello"));
    EXPECT_EQ(drain(&tmp, &src), (std::vector<std::string>{"<not-register>"}));
    EXPECT_EQ(tmp.stats.msg_allocs, 0u);

    // Application header: the whole message goes up, header included, and a
    // length not beyond the header closes.
    msgq_handle_t app{};
    app.sock_fd = -1;
    app.use_app_header = 1;
    app.app_header_size = 6;
    src = t_src{};
    src.piece = 4;
    append(src.data, std::vector<uint8_t>{0, 9, 'a', 'b', 'c', 'd', 'x', 'y', 'z'});
    append(src.data, std::vector<uint8_t>{0, 5, 0, 0, 0, 0});
    EXPECT_EQ(drain(&app, &src),
              (std::vector<std::string>{std::string("\0\tabcdxyz", 9), "<closed>"}));
}

} // namespace
