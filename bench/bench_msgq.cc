// Throughput of one message-queue link over a Unix stream socket (writer and
// reader handles in one event loop), beside a bare write/read loop over a
// socket pair carrying the same framed messages in the same batches.
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <event2/event.h>
#include <string>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "common/msgq_util.h"
#include "common/timer.h"

namespace
{

constexpr int BATCH = 256;
constexpr uint8_t MOD_A = 16;
constexpr uint8_t MOD_B = 3;

struct t_link {
    event_base *base = nullptr;
    t_timer_mgr *tmr = nullptr;
    msgq_handle_t *server = nullptr;
    msgq_handle_t *client = nullptr;
    std::string dir;
    uint64_t rx_msgs = 0;
    bool up = false;
};

void link_up(msgq_handle_t *, void *arg)
{
    static_cast<t_link *>(arg)->up = true;
}
void link_down(msgq_handle_t *, void *arg)
{
    static_cast<t_link *>(arg)->up = false;
}
void link_write(msgq_handle_t *, void *) {}
void link_read(msgq_handle_t *h, void *msg, uint32_t, void *arg)
{
    static_cast<t_link *>(arg)->rx_msgs++;
    msgq_msg_free(h, msg);
}

bool link_open(t_link &l)
{
    l.base = event_base_new();
    l.tmr = timer_mgr_create(TIMER_RESN_10MSEC, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
    char tmpl[] = "/tmp/kemd-bench-XXXXXX";
    if (l.base == nullptr || l.tmr == nullptr || mkdtemp(tmpl) == nullptr) {
        return false;
    }
    l.dir = tmpl;
    msgq_app_params_t params{};
    params.app_evbase_p = l.base;
    params.timer_mgr_p = l.tmr;
    params.syslog_id = LOG_LOCAL7;
    params.socket_type = MSGQ_SOCKET_TYPE_UNIX;
    snprintf(params.msg_path, sizeof(params.msg_path), "%s/link", l.dir.c_str());
    msgq_app_cb_t cbs{link_up, link_down, link_write, link_read, nullptr, nullptr, nullptr};
    l.server = msgq_init(MOD_A, MOD_B, MSGQ_HANDLE_TYPE_SERVER, &params, &cbs, &l);
    l.client = msgq_init(MOD_B, MOD_A, MSGQ_HANDLE_TYPE_CLIENT, &params, &cbs, &l);
    for (int i = 0; i < 5000 && !(msgq_ready(l.client) && msgq_ready(l.server)); i++) {
        event_base_loop(l.base, EVLOOP_NONBLOCK);
        (void)timer_exec(l.tmr, TIMER_PRI_MASK_ALL, 100);
        usleep(1000);
    }
    return msgq_ready(l.client) && msgq_ready(l.server);
}

void link_close(t_link &l)
{
    msgq_destroy(l.client);
    msgq_destroy(l.server);
    timer_mgr_destroy(l.tmr);
    event_base_free(l.base);
    rmdir(l.dir.c_str());
}

void BM_MsgqLink(benchmark::State &state)
{
    const auto len = static_cast<uint32_t>(state.range(0));
    t_link l;
    if (!link_open(l)) {
        state.SkipWithError("link did not come up");
        return;
    }
    uint64_t want = 0;
    for (auto _ : state) {
        for (int i = 0; i < BATCH; i++) {
            void *buf = msgq_msg_malloc(l.client, len);
            memset(buf, i, len);
            if (msgq_write(l.client, buf, len) != MSGQ_OK) {
                msgq_msg_free(l.client, buf);
            }
        }
        want += BATCH;
        while (l.rx_msgs < want) {
            event_base_loop(l.base, EVLOOP_ONCE);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * BATCH);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * BATCH * len);
    link_close(l);
}

// The same framed traffic with plain send and recv, non-blocking, one thread.
void BM_RawSocketPair(benchmark::State &state)
{
    const auto len = static_cast<size_t>(state.range(0));
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    const size_t frame = MSGQ_HDR_LEN + len;
    std::vector<uint8_t> out(frame * BATCH, 0x5A);
    std::vector<uint8_t> in(frame * BATCH);
    for (auto _ : state) {
        size_t sent = 0;
        size_t got = 0;
        while (got < out.size()) {
            if (sent < out.size()) {
                ssize_t n = send(sv[0], out.data() + sent, std::min(frame, out.size() - sent), 0);
                sent += n > 0 ? static_cast<size_t>(n) : 0;
            }
            ssize_t n = recv(sv[1], in.data() + got, in.size() - got, 0);
            got += n > 0 ? static_cast<size_t>(n) : 0;
        }
        benchmark::DoNotOptimize(in.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * BATCH);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * BATCH *
                            static_cast<int64_t>(len));
    close(sv[0]);
    close(sv[1]);
}

BENCHMARK(BM_MsgqLink)->Arg(64)->Arg(4096)->UseRealTime();
BENCHMARK(BM_RawSocketPair)->Arg(64)->Arg(4096)->UseRealTime();

} // namespace
