// The message-queue library inside a real event loop, against simulated peers
// over real Unix sockets.
#include <algorithm>
#include <cstring>
#include <event2/event.h>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "common/msgq_util.h"
#include "common/timer.h"
#include "tests/sim/sim_peer.h"

using kemd_sim::t_sim_frame;
using kemd_sim::t_sim_framing;
using kemd_sim::t_sim_peer;

namespace
{

constexpr uint8_t MOD_PIM = 16;
constexpr uint8_t MOD_SYSMGR = 7;
constexpr uint8_t MOD_FTM = 3;
constexpr uint8_t MOD_FAB = 1;
constexpr uint8_t MOD_IGMP = 15;
constexpr uint8_t MOD_RTM = 32;
constexpr int WAIT_MS = 3000;
constexpr uid_t NOBODY = 65534;
// A group no account of the machine uses, allowed on some listeners.
constexpr gid_t PEER_GROUP = 4242;

using t_tweak = std::function<void(msgq_app_params_t &)>;

void peer_group(msgq_app_params_t &params)
{
    params.peer_group_set = 1;
    params.peer_gid = PEER_GROUP;
}

t_tweak app_hdr(uint8_t size, uint8_t len_off, const t_tweak &more = nullptr)
{
    return [=](msgq_app_params_t &params) {
        params.use_app_header = true;
        params.app_header_size = size;
        params.app_msglen_offset = len_off;
        if (more) {
            more(params);
        }
    };
}

// Takes every descriptor the process may open (under a lowered limit) until
// it goes out of scope.
struct t_fd_exhaust {
    rlimit saved{};
    std::vector<int> fds;
    bool full = false;

    t_fd_exhaust()
    {
        getrlimit(RLIMIT_NOFILE, &saved);
        rlimit low = saved;
        low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 1024);
        setrlimit(RLIMIT_NOFILE, &low);
        int fd;
        while ((fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0) {
            fds.push_back(fd);
        }
        full = errno == EMFILE;
    }
    ~t_fd_exhaust()
    {
        for (int fd : fds) {
            close(fd);
        }
        setrlimit(RLIMIT_NOFILE, &saved);
    }
    t_fd_exhaust(const t_fd_exhaust &) = delete;
    t_fd_exhaust &operator=(const t_fd_exhaust &) = delete;
};

// What the application saw on one handle.
struct t_app {
    msgq_handle_t *h = nullptr;
    int up = 0;
    int down = 0;
    std::vector<std::vector<uint8_t>> msgs;
    // Runs inside the read callback after the message is recorded.
    std::function<void(t_app &)> on_read;
    // Order of up/down transitions, "U" and "D".
    std::string transitions;
    // The handles the callbacks were given (connections of a multi-connection handle).
    std::vector<msgq_handle_t *> up_handles;
    std::vector<msgq_handle_t *> down_handles;
    std::vector<msgq_handle_t *> from;
};

void app_up(msgq_handle_t *h, void *arg)
{
    auto *a = static_cast<t_app *>(arg);
    a->up++;
    a->transitions += 'U';
    a->up_handles.push_back(h);
}

void app_down(msgq_handle_t *h, void *arg)
{
    auto *a = static_cast<t_app *>(arg);
    a->down++;
    a->transitions += 'D';
    a->down_handles.push_back(h);
}

void app_write(msgq_handle_t *, void *) {}

void app_read(msgq_handle_t *h, void *msg, uint32_t len, void *arg)
{
    auto *a = static_cast<t_app *>(arg);
    auto *p = static_cast<uint8_t *>(msg);
    a->msgs.emplace_back(p, p + len);
    a->from.push_back(h);
    msgq_msg_free(h, msg);
    if (a->on_read) {
        a->on_read(*a);
    }
}

std::vector<uint8_t> bytes(const std::string &s) { return {s.begin(), s.end()}; }

// The next frame the peer receives, its library header and payload in one
// line ("none" when nothing came).
std::string next(const std::unique_ptr<t_sim_peer> &peer, int timeout_ms = WAIT_MS)
{
    auto f = peer->recv_frame(timeout_ms);
    if (!f.has_value()) {
        return "none";
    }
    std::string body(f->payload.begin(), f->payload.end());
    if (peer->framing().app_header) {
        return body;
    }
    return f->head() + ": " + body;
}

// The same for a data frame of the usual magic from PIM to tgt.
std::string data(uint8_t tgt, const std::string &body)
{
    return "16>" + std::to_string(tgt) + " type 2 size " + std::to_string(8 + body.size()) +
           " magic 48815/12: " + body;
}

struct MsgqTest : ::testing::Test {
    event_base *base = nullptr;
    t_timer_mgr *tmr = nullptr;
    std::string dir;
    std::vector<std::unique_ptr<t_app>> apps;

    void SetUp() override
    {
        base = event_base_new();
        ASSERT_NE(base, nullptr);
        // Fine ticks so the half-second redial does not slow the tests down.
        tmr = timer_mgr_create(TIMER_RESN_100MSEC, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        ASSERT_NE(tmr, nullptr);
        char tmpl[] = "/tmp/kemd-msgq-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }

    void TearDown() override
    {
        for (auto &a : apps) {
            if (a->h != nullptr) {
                msgq_destroy(a->h);
            }
        }
        EXPECT_EQ(msgq_get_instance(), nullptr);
        timer_mgr_destroy(tmr);
        event_base_free(base);
        rmdir(dir.c_str());
    }

    void pump()
    {
        event_base_loop(base, EVLOOP_NONBLOCK);
        (void)timer_exec(tmr, TIMER_PRI_MASK_ALL, 100);
    }

    t_sim_peer::t_pump pumper()
    {
        return [this] { pump(); };
    }

    bool wait_until(const std::function<bool()> &pred, int timeout_ms = WAIT_MS)
    {
        return kemd_sim::sim_wait(pumper(), pred, timeout_ms);
    }

    // Lets the loop run for ms.
    void idle(int ms) { kemd_sim::sim_idle(pumper(), ms); }

    std::string path(const char *name) const { return dir + "/" + name; }

    std::unique_ptr<t_sim_peer> listener(const std::string &p, t_sim_framing framing)
    {
        auto sim = t_sim_peer::listen(p, framing);
        if (sim != nullptr) {
            sim->set_pump(pumper());
        }
        return sim;
    }

    std::unique_ptr<t_sim_peer> dial(const std::string &p, t_sim_framing framing)
    {
        return t_sim_peer::connect_wait(p, framing, WAIT_MS, pumper());
    }

    // The client handle a has dialled sim (again) and is up, its registration
    // (if it registers) read.
    bool linked(t_sim_peer *sim, t_app *a)
    {
        int up = a->up;
        if (!sim->wait_connected(WAIT_MS)) {
            return false;
        }
        auto reg = sim->framing().app_header ? std::nullopt : sim->recv_frame(WAIT_MS);
        return (sim->framing().app_header || (reg && reg->is_register())) &&
               wait_until([&] { return a->up == up + 1; });
    }

    t_app *make(uint8_t src, uint8_t tgt, msgq_handle_type_e type, const std::string &p,
                const t_tweak &tweak = nullptr)
    {
        msgq_app_params_t params{};
        params.app_evbase_p = base;
        params.timer_mgr_p = tmr;
        params.syslog_id = LOG_LOCAL7;
        params.socket_type = MSGQ_SOCKET_TYPE_UNIX;
        snprintf(params.msg_path, sizeof(params.msg_path), "%s", p.c_str());
        if (tweak) {
            tweak(params);
        }
        msgq_app_cb_t cbs{app_up, app_down, app_write, app_read, nullptr, nullptr, nullptr};
        apps.push_back(std::make_unique<t_app>());
        t_app *a = apps.back().get();
        a->h = msgq_init(src, tgt, type, &params, &cbs, a);
        return a;
    }

    void destroy(t_app *a)
    {
        msgq_destroy(a->h);
        a->h = nullptr;
    }

    static int write(msgq_handle_t *h, const std::vector<uint8_t> &data)
    {
        void *buf = msgq_msg_malloc(h, static_cast<uint32_t>(data.size()));
        if (buf == nullptr) {
            return -1;
        }
        memcpy(buf, data.data(), data.size());
        int rc = msgq_write(h, buf, static_cast<uint32_t>(data.size()));
        if (rc != MSGQ_OK) {
            msgq_msg_free(h, buf);
        }
        return rc;
    }

    static int write(t_app *a, const std::string &s) { return write(a->h, bytes(s)); }

    // A sim client registered with a server handle, its registration processed.
    std::unique_ptr<t_sim_peer> registered_client(const std::string &p, uint8_t src, t_app *a)
    {
        int up = a->up;
        auto sim = dial(p, t_sim_framing::library(src, MOD_PIM));
        if (sim == nullptr || !sim->send_register()) {
            return nullptr;
        }
        return wait_until([&] { return a->up == up + 1; }) ? std::move(sim) : nullptr;
    }

    // Runs fn in a child as nobody with the given groups.
    int run_as(gid_t gid, std::vector<gid_t> groups, const std::function<int()> &fn)
    {
        return kemd_sim::sim_run_as(NOBODY, gid, std::move(groups), fn, pumper());
    }
};

using kemd_sim::sim_stranger;

TEST_F(MsgqTest, ClientExchangesReconnectsAndYieldsToTheLoop)
{
    std::string p = path("sysmgrd");
    auto sim = listener(p, t_sim_framing::library(MOD_SYSMGR, MOD_PIM));
    t_app *a = make(MOD_PIM, MOD_SYSMGR, MSGQ_HANDLE_TYPE_CLIENT, p);
    ASSERT_NE(a->h, nullptr);
    EXPECT_FALSE(msgq_ready(a->h));
    EXPECT_EQ(write(a, "early"), MSGQ_ERR_NOT_READY);
    ASSERT_TRUE(sim->wait_connected(WAIT_MS));
    EXPECT_EQ(next(sim), "16>7 type 1 size 8 magic 48815/12: ");
    ASSERT_TRUE(wait_until([&] { return a->up == 1; }));
    EXPECT_TRUE(msgq_ready(a->h));
    ASSERT_EQ(write(a, "hello"), MSGQ_OK);
    EXPECT_EQ(next(sim), data(MOD_SYSMGR, "hello"));

    // A buffer the application received can be written back as it is.
    a->on_read = [](t_app &app) {
        void *buf = msgq_msg_malloc(app.h, 4);
        memcpy(buf, "echo", 4);
        EXPECT_EQ(msgq_write(app.h, buf, 4), MSGQ_OK);
    };
    ASSERT_TRUE(sim->send_msg(bytes("x")));
    EXPECT_EQ(next(sim), data(MOD_SYSMGR, "echo"));

    // A backlog already waiting in the socket is served in batches: the library
    // returns to the loop between them however fast the application is.
    std::map<uint32_t, uint32_t> per_callback;
    a->on_read = [&](t_app &app) { per_callback[app.h->stats.rx_read_helper_cb]++; };
    constexpr size_t BACKLOG = 3 * MSGQ_READ_BATCH + 10;
    for (size_t i = 0; i < BACKLOG; i++) {
        ASSERT_TRUE(sim->send_msg(bytes("busy")));
    }
    ASSERT_TRUE(wait_until([&] { return a->msgs.size() == 1 + BACKLOG; }));
    EXPECT_GE(a->h->stats.rx_read_helper_scheduled, 3u);
    for (const auto &[cb, n] : per_callback) {
        EXPECT_LE(n, MSGQ_READ_BATCH) << "callback " << cb;
    }

    // The peer dies. The first send fails and marks the link; it is not ready
    // from then until a new connection stands, redialled quietly meanwhile.
    sim.reset();
    EXPECT_EQ(write(a, "lost"), MSGQ_OK);
    EXPECT_EQ(a->h->stats.tx_fail, 1u);
    EXPECT_EQ(write(a, "refused"), MSGQ_ERR_NOT_READY);
    ASSERT_TRUE(wait_until([&] { return a->down == 1; }));
    EXPECT_EQ(a->h->sock_fd, -1);
    EXPECT_EQ(a->h->stats.tx_queued, 0u);
    idle(700);
    sim = listener(p, t_sim_framing::library(MOD_SYSMGR, MOD_PIM));
    ASSERT_TRUE(linked(sim.get(), a));
    ASSERT_EQ(write(a, "back"), MSGQ_OK);
    EXPECT_EQ(next(sim), data(MOD_SYSMGR, "back"));
    EXPECT_EQ(a->transitions, "UDU");
}

TEST_F(MsgqTest, ServerRegistrationReplacementAndRefusals)
{
    // The listener opens once its directory appears.
    std::string sub = path("later");
    std::string p = sub + "/kemd";
    t_app *a = make(MOD_PIM, MOD_FTM, MSGQ_HANDLE_TYPE_SERVER, p);
    ASSERT_NE(a->h, nullptr);
    EXPECT_EQ(a->h->server_p->stats.start_fail, 1u);
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    auto sim1 = registered_client(p, MOD_FTM, a);
    ASSERT_NE(sim1, nullptr);
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    ASSERT_TRUE(sim1->send_msg(bytes("from ftm")));
    ASSERT_TRUE(wait_until([&] { return a->msgs.size() == 1; }));
    ASSERT_EQ(write(a, "to ftm"), MSGQ_OK);
    EXPECT_EQ(next(sim1), data(MOD_FTM, "to ftm"));

    // The peer comes back while its old connection still stands: the new one
    // replaces it, reported as down then up.
    auto sim2 = registered_client(p, MOD_FTM, a);
    ASSERT_NE(sim2, nullptr);
    EXPECT_EQ(a->h->stats.conn_exist, 1u);
    EXPECT_TRUE(sim1->wait_eof(WAIT_MS));
    ASSERT_EQ(write(a, "to new"), MSGQ_OK);
    EXPECT_EQ(next(sim2), data(MOD_FTM, "to new"));

    // Ids no handle expects: refused.
    auto fab = dial(p, t_sim_framing::library(MOD_FAB, MOD_PIM));
    ASSERT_TRUE(fab->send_register());
    EXPECT_TRUE(fab->wait_eof(WAIT_MS));
    EXPECT_EQ(a->transitions, "UDU");
    const msgq_stats_t &ls = a->h->server_p->stats;
    EXPECT_EQ(ls.conn_up, 3u);
    EXPECT_EQ(ls.rx_register, 3u);
    EXPECT_EQ(ls.conn_close, 1u);

    // A second registration on a registered connection closes that connection.
    ASSERT_TRUE(sim2->send_register());
    EXPECT_TRUE(sim2->wait_eof(WAIT_MS));
    EXPECT_EQ(a->transitions, "UDUD");
    EXPECT_EQ(write(a, "nobody"), MSGQ_ERR_NOT_READY);
    EXPECT_EQ(msgq_get_instance()->num_tmp, 0u);
    destroy(a);
    EXPECT_EQ(rmdir(sub.c_str()), 0);
}

TEST_F(MsgqTest, SilentConnectionFloodDoesNotLockOutThePeer)
{
    std::string p = path("kemd-igmpd.0");
    t_app *a = make(MOD_PIM, MOD_IGMP, MSGQ_HANDLE_TYPE_SERVER, p);
    std::vector<std::unique_ptr<t_sim_peer>> silent;
    for (uint32_t i = 0; i < MSGQ_MAX_TMP_CONNS + 16; i++) {
        silent.push_back(t_sim_peer::connect(p, t_sim_framing::library(MOD_IGMP, MOD_PIM)));
        ASSERT_NE(silent.back(), nullptr);
        pump();
    }
    ASSERT_TRUE(wait_until([&] { return msgq_get_instance()->num_tmp == MSGQ_MAX_TMP_CONNS; }));
    silent[0]->set_pump(pumper());
    EXPECT_TRUE(silent[0]->wait_eof(WAIT_MS));
    EXPECT_NE(registered_client(p, MOD_IGMP, a), nullptr);
}

TEST_F(MsgqTest, MultiConnectionServerKeepsEveryPeer)
{
    std::string p = path("cdbd");
    t_app *a = make(MOD_PIM, MOD_FTM, MSGQ_HANDLE_TYPE_SERVER, p,
                    [](msgq_app_params_t &params) { params.multi_conn = 1; });
    ASSERT_NE(a->h, nullptr);
    std::vector<std::unique_ptr<t_sim_peer>> peers;
    for (int i = 0; i < 3; i++) {
        peers.push_back(registered_client(p, MOD_FTM, a));
        ASSERT_NE(peers.back(), nullptr);
    }
    // Same ids three times: nobody replaced, each its own ready handle.
    EXPECT_EQ(a->transitions, "UUU");
    EXPECT_EQ(a->h->num_conns, 3u);
    EXPECT_EQ(write(a, "to whom"), MSGQ_ERR_NOT_READY);
    std::vector<msgq_handle_t *> conns = a->up_handles;
    for (msgq_handle_t *c : conns) {
        EXPECT_TRUE(msgq_ready(c));
        EXPECT_EQ(c->parent_p, a->h);
    }

    // A message arrives on its sender's handle; the answer goes back to it alone.
    a->on_read = [](t_app &app) {
        std::vector<uint8_t> reply = bytes("re:");
        reply.insert(reply.end(), app.msgs.back().begin(), app.msgs.back().end());
        EXPECT_EQ(write(app.from.back(), reply), MSGQ_OK);
    };
    for (size_t i = 0; i < peers.size(); i++) {
        ASSERT_TRUE(peers[i]->send_msg(bytes("peer" + std::to_string(i))));
        ASSERT_TRUE(wait_until([&] { return a->msgs.size() == i + 1; }));
    }
    EXPECT_EQ(a->from, conns);
    for (size_t i = 0; i < peers.size(); i++) {
        EXPECT_EQ(next(peers[i]), data(MOD_FTM, "re:peer" + std::to_string(i)));
    }
    a->on_read = nullptr;
    ASSERT_EQ(write(conns[2], bytes("only you")), MSGQ_OK);
    EXPECT_EQ(next(peers[2]), data(MOD_FTM, "only you"));
    EXPECT_EQ(next(peers[0], 50), "none");

    // One peer leaves: its handle goes down (the library frees it), the rest stay.
    peers[1]->drop();
    ASSERT_TRUE(wait_until([&] { return a->down == 1; }));
    EXPECT_EQ(a->down_handles[0], conns[1]);
    EXPECT_EQ(a->h->num_conns, 2u);

    // A flood of registrations: beyond the cap they are refused, the peers
    // already served are untouched.
    const msgq_stats_t &ls = a->h->server_p->stats;
    uint32_t closed = ls.conn_close;
    std::vector<std::unique_ptr<t_sim_peer>> flood;
    for (uint32_t i = 0; i < MSGQ_MAX_TMP_CONNS + 2; i++) {
        flood.push_back(t_sim_peer::connect(p, t_sim_framing::library(MOD_FTM, MOD_PIM)));
        ASSERT_NE(flood.back(), nullptr);
        flood.back()->set_pump(pumper());
        ASSERT_TRUE(flood.back()->send_register());
        pump();
        pump();
    }
    ASSERT_TRUE(wait_until([&] { return ls.conn_close == closed + 4; }));
    EXPECT_EQ(a->h->num_conns, MSGQ_MAX_TMP_CONNS);
    EXPECT_TRUE(flood.back()->wait_eof(WAIT_MS));
    EXPECT_EQ(msgq_get_instance()->num_tmp, 0u);
    ASSERT_EQ(write(conns[0], bytes("first")), MSGQ_OK);
    EXPECT_EQ(next(peers[0]), data(MOD_FTM, "first"));

    // Destroying the template closes every connection, each reported down.
    destroy(a);
    EXPECT_EQ(a->down, static_cast<int>(1 + MSGQ_MAX_TMP_CONNS));
    EXPECT_TRUE(peers[2]->wait_eof(WAIT_MS));
    EXPECT_TRUE(flood[0]->wait_eof(WAIT_MS));
}

TEST_F(MsgqTest, PartialWritesResumeInOrderAndAStuckPeerIsRedialled)
{
    std::string p = path("ttmd");
    auto sim = listener(p, t_sim_framing::library(2, MOD_PIM));
    constexpr uint32_t LIMIT = 256 * 1024;
    t_app *a = make(MOD_PIM, 2, MSGQ_HANDLE_TYPE_CLIENT, p,
                    [](msgq_app_params_t &params) { params.tx_queue_max = LIMIT; });
    ASSERT_TRUE(sim->wait_connected(WAIT_MS));
    sim->set_rcvbuf(4096);
    ASSERT_TRUE(sim->recv_frame(WAIT_MS).has_value());
    ASSERT_TRUE(wait_until([&] { return a->up == 1; }));

    // A small send buffer makes the kernel take long messages in pieces; the
    // peer reads nothing until far more than that is queued. Every byte tells
    // its message and position, so a resend from the wrong offset shows.
    int sndbuf = 4096;
    ASSERT_EQ(setsockopt(a->h->sock_fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf)), 0);
    constexpr uint32_t N = 60;
    auto pattern = [&](uint32_t i) {
        std::vector<uint8_t> m(i % 3 == 0 ? 9001 : 1021 + i % 7);
        for (size_t j = 0; j < m.size(); j++) {
            m[j] = static_cast<uint8_t>(i * 7 + j * 13 + j / 256);
        }
        memcpy(m.data(), &i, sizeof(i));
        return m;
    };
    for (uint32_t i = 0; i < N; i++) {
        ASSERT_EQ(write(a->h, pattern(i)), MSGQ_OK) << i;
    }
    EXPECT_GT(a->h->stats.tx_resched, 0u);
    EXPECT_GT(a->h->buf_head_p->buf_offset, 0u);
    for (uint32_t i = 0; i < N; i++) {
        auto f = sim->recv_frame(WAIT_MS);
        ASSERT_TRUE(f.has_value()) << i;
        ASSERT_EQ(f->size(), 8 + f->payload.size());
        ASSERT_EQ(f->payload, pattern(i)) << i;
    }
    ASSERT_TRUE(wait_until([&] { return a->h->buf_head_p == nullptr; }));
    EXPECT_EQ(a->h->stats.tx_dequeued, N);
    EXPECT_EQ(sim->buffered(), 0u);

    // The peer stays connected and reads nothing more: the queue stops at its
    // limit and the link is closed and redialled.
    std::vector<uint8_t> chunk(4096, 0x42);
    int rc = MSGQ_OK;
    for (int i = 0; i < 4096 && rc == MSGQ_OK; i++) {
        rc = write(a->h, chunk);
        EXPECT_LE(a->h->tx_bytes, LIMIT);
    }
    EXPECT_EQ(rc, MSGQ_ERR_NO_MEM);
    EXPECT_EQ(a->h->stats.tx_overflow, 1u);
    EXPECT_EQ(write(a->h, chunk), MSGQ_ERR_NOT_READY);
    ASSERT_TRUE(wait_until([&] { return a->down == 1; }));
    EXPECT_EQ(a->h->tx_bytes, 0u);
    ASSERT_TRUE(linked(sim.get(), a));
    ASSERT_EQ(write(a, "fresh"), MSGQ_OK);
    EXPECT_EQ(next(sim), data(2, "fresh"));

    // A blocking send into a peer that stopped reading gives up after its
    // timeout instead of holding the loop; the link closes and is redialled.
    sim->set_rcvbuf(4096);
    ASSERT_EQ(setsockopt(a->h->sock_fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf)), 0);
    msgq_set_client_socket_blocking(a->h, true);
    std::vector<uint8_t> big(MSGQ_MAX_APP_LEN, 0x17);
    rc = MSGQ_OK;
    for (int i = 0; i < 16 && rc == MSGQ_OK; i++) {
        rc = write(a->h, big);
    }
    EXPECT_EQ(rc, MSGQ_ERR_NO_MEM);
    msgq_set_client_socket_blocking(a->h, false);
    ASSERT_TRUE(wait_until([&] { return a->down == 2; }));
    ASSERT_TRUE(linked(sim.get(), a));
}

TEST_F(MsgqTest, BrokenAndHostilePeersNeverHurtTheHandle)
{
    std::string p = path("kemd");
    t_app *a = make(MOD_PIM, MOD_FTM, MSGQ_HANDLE_TYPE_SERVER, p);

    // Largest message, delivered whole.
    auto sim = registered_client(p, MOD_FTM, a);
    ASSERT_NE(sim, nullptr);
    std::vector<uint8_t> big(MSGQ_MAX_APP_LEN, 0x5A);
    ASSERT_TRUE(sim->send_msg(big));
    ASSERT_TRUE(wait_until([&] { return a->msgs.size() == 1; }));
    EXPECT_EQ(a->msgs[0], big);

    // The peer stops in the middle of a message, in its body, in its header,
    // and sends garbage: whatever framing it implies, the handle survives.
    std::vector<uint8_t> half = t_sim_peer::lib_frame(1000, MOD_FTM, MOD_PIM, 2, big);
    half.resize(300);
    std::mt19937 rng(7);
    std::vector<uint8_t> junk(200000);
    for (auto &b : junk) {
        b = static_cast<uint8_t>(rng());
    }
    int down = 0;
    for (const auto &raw : {half, std::vector<uint8_t>{0xAF, 0xBE, 0x20}, junk}) {
        if (sim == nullptr) {
            sim = registered_client(p, MOD_FTM, a);
            ASSERT_NE(sim, nullptr);
        }
        sim->send_raw(raw);
        if (raw.size() == 300) {
            ASSERT_TRUE(wait_until([&] { return a->h->rx_bytes == 300; }));
        }
        sim.reset();
        ASSERT_TRUE(wait_until([&] { return a->down == down + 1; }));
        down++;
        EXPECT_EQ(a->h->rx_buf_p, nullptr);
    }
    EXPECT_EQ(a->h->stats.msg_allocs, a->h->stats.msg_frees);

    // The application may destroy its handle from inside its read callback.
    sim = registered_client(p, MOD_FTM, a);
    ASSERT_NE(sim, nullptr);
    a->on_read = [](t_app &app) {
        msgq_destroy(app.h);
        app.h = nullptr;
    };
    ASSERT_TRUE(sim->send_msg(bytes("one")));
    ASSERT_TRUE(sim->send_msg(bytes("two")));
    ASSERT_TRUE(wait_until([&] { return a->h == nullptr; }));
    EXPECT_EQ(a->msgs.back(), bytes("one"));
    EXPECT_TRUE(sim->wait_eof(WAIT_MS));
}

TEST_F(MsgqTest, ApplicationHeaderFramingAndBlockingClient)
{
    // A client with a 6-byte header carrying the length first, as the route
    // table manager link uses, and no registration.
    std::string p = path("zebra.api");
    auto sim = listener(p, t_sim_framing::app(6, 0));
    t_app *a = make(MOD_PIM, MOD_RTM, MSGQ_HANDLE_TYPE_CLIENT, p, app_hdr(6, 0));
    ASSERT_TRUE(linked(sim.get(), a));
    std::vector<uint8_t> m = {0, 11, 0, 7, 0, 0, 'h', 'e', 'l', 'l', 'o'};
    ASSERT_EQ(write(a->h, m), MSGQ_OK);
    auto f = sim->recv_frame(WAIT_MS);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->header, std::vector<uint8_t>(m.begin(), m.begin() + 6));
    EXPECT_EQ(f->payload, bytes("hello"));
    ASSERT_TRUE(sim->send_app(std::vector<uint8_t>{0, 0, 0, 7, 1, 2}, bytes("reply")));
    ASSERT_TRUE(wait_until([&] { return a->msgs.size() == 1; }));
    EXPECT_EQ(a->msgs[0], (std::vector<uint8_t>{0, 11, 0, 7, 1, 2, 'r', 'e', 'p', 'l', 'y'}));

    // A blocking request processes the reply already waiting; back in queued
    // mode, later replies come through the loop.
    ASSERT_TRUE(sim->send_app(std::vector<uint8_t>(6, 0), bytes("answer")));
    msgq_set_client_socket_blocking(a->h, true);
    ASSERT_EQ(write(a->h, std::vector<uint8_t>{0, 9, 0, 0, 0, 0, 'a', 's', 'k'}), MSGQ_OK);
    ASSERT_EQ(a->msgs.size(), 2u);
    EXPECT_EQ(a->msgs[1].size(), 12u);
    msgq_set_client_socket_blocking(a->h, false);
    EXPECT_EQ(next(sim), "ask");
    ASSERT_TRUE(sim->send_app(std::vector<uint8_t>(6, 0), bytes("later")));
    ASSERT_TRUE(wait_until([&] { return a->msgs.size() == 3; }));

    // A blocking send into a vanished peer fails; the link then closes.
    msgq_set_client_socket_blocking(a->h, true);
    sim.reset();
    EXPECT_EQ(write(a->h, std::vector<uint8_t>{0, 7, 0, 0, 0, 0, '!'}), MSGQ_ERR_NO_MEM);
    EXPECT_FALSE(msgq_ready(a->h));
    ASSERT_TRUE(wait_until([&] { return a->down == 1; }));

    // A server whose header is 10 bytes with the length at offset 4: one peer at
    // a time, the newer connection replacing the older.
    std::string sp = path("apphdr-server");
    t_app *s = make(MOD_PIM, 40, MSGQ_HANDLE_TYPE_SERVER, sp, app_hdr(10, 4));
    auto c1 = dial(sp, t_sim_framing::app(10, 4));
    ASSERT_NE(c1, nullptr);
    ASSERT_TRUE(c1->send_msg(bytes("first")));
    ASSERT_TRUE(wait_until([&] { return s->msgs.size() == 1; }));
    EXPECT_EQ(s->msgs[0],
              (std::vector<uint8_t>{0, 0, 0, 0, 0, 15, 0, 0, 0, 0, 'f', 'i', 'r', 's', 't'}));
    auto c2 = dial(sp, t_sim_framing::app(10, 4));
    ASSERT_NE(c2, nullptr);
    ASSERT_TRUE(wait_until([&] { return s->up == 2; }));
    EXPECT_EQ(s->transitions, "UDU");
    EXPECT_TRUE(c1->wait_eof(WAIT_MS));
}

TEST_F(MsgqTest, SharedListenerLivesWithItsLastHandle)
{
    std::string p = path("shared");
    t_app *fab = make(MOD_PIM, MOD_FAB, MSGQ_HANDLE_TYPE_SERVER, p);
    t_app *igmp = make(MOD_PIM, MOD_IGMP, MSGQ_HANDLE_TYPE_SERVER, p);
    ASSERT_NE(fab->h->server_p, nullptr);
    EXPECT_EQ(fab->h->server_p, igmp->h->server_p);
    auto sim_igmp = registered_client(p, MOD_IGMP, igmp);
    auto sim_fab = registered_client(p, MOD_FAB, fab);
    ASSERT_NE(sim_igmp, nullptr);
    ASSERT_NE(sim_fab, nullptr);
    ASSERT_EQ(write(fab, "to fab"), MSGQ_OK);
    ASSERT_EQ(write(igmp, "to igmp"), MSGQ_OK);
    EXPECT_EQ(next(sim_fab), data(MOD_FAB, "to fab"));
    EXPECT_EQ(next(sim_igmp), data(MOD_IGMP, "to igmp"));

    destroy(fab);
    EXPECT_TRUE(sim_fab->wait_eof(WAIT_MS));
    EXPECT_EQ(access(p.c_str(), F_OK), 0);
    EXPECT_NE(registered_client(p, MOD_IGMP, igmp), nullptr);
    destroy(igmp);
    EXPECT_NE(access(p.c_str(), F_OK), 0);
}

TEST_F(MsgqTest, PeersAreAdmittedByCredentials)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "peers of another user need root to start";
    }
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    std::string p = path("kemd");
    t_app *ftm = make(MOD_PIM, MOD_FTM, MSGQ_HANDLE_TYPE_SERVER, p, peer_group);
    t_app *igmp = make(MOD_PIM, MOD_IGMP, MSGQ_HANDLE_TYPE_SERVER, p, peer_group);
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(st.st_gid, PEER_GROUP);
    auto live = registered_client(p, MOD_FTM, ftm);
    ASSERT_NE(live, nullptr);

    // Nobody outside the group: the file keeps it out, and were the file's mode
    // loose its credentials would.
    auto ftm_stranger = sim_stranger(p, t_sim_framing::library(MOD_FTM, MOD_PIM));
    EXPECT_EQ(run_as(NOBODY, {}, ftm_stranger), 3);
    ASSERT_EQ(chmod(p.c_str(), 0666), 0);
    EXPECT_EQ(run_as(NOBODY, {}, ftm_stranger), 0);
    // A member of the group may connect, but not take over root's link.
    EXPECT_EQ(run_as(NOBODY, {PEER_GROUP}, ftm_stranger), 0);
    EXPECT_EQ(ftm->transitions, "U");
    EXPECT_EQ(ftm->h->stats.conn_refused, 1u);
    EXPECT_EQ(ftm->h->server_p->stats.conn_refused, 2u);
    ASSERT_EQ(write(ftm, "still yours"), MSGQ_OK);
    EXPECT_EQ(next(live), data(MOD_FTM, "still yours"));

    // A member of the group (as its primary group) is served on an idle handle.
    bool greeted = false;
    auto greet = [&] {
        pump();
        if (igmp->up == 1 && !greeted) {
            greeted = write(igmp, "welcome") == MSGQ_OK;
        }
    };
    int rc = kemd_sim::sim_run_as(
        NOBODY, PEER_GROUP, {},
        [&] {
            auto peer = t_sim_peer::connect(p, t_sim_framing::library(MOD_IGMP, MOD_PIM));
            if (peer == nullptr || !peer->send_register()) {
                return 3;
            }
            auto hello = peer->recv_frame(WAIT_MS);
            return hello.has_value() && hello->payload == bytes("welcome") ? 0 : 1;
        },
        greet);
    EXPECT_EQ(rc, 0);

    // An application-header listener hands its one link to a new connection
    // only from the same user.
    std::string ap = path("rtm");
    t_app *rtm = make(MOD_RTM, MOD_PIM, MSGQ_HANDLE_TYPE_SERVER, ap, app_hdr(6, 0, peer_group));
    auto client = dial(ap, t_sim_framing::app(6, 0));
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(wait_until([&] { return rtm->up == 1; }));
    EXPECT_EQ(run_as(PEER_GROUP, {}, sim_stranger(ap, t_sim_framing::app(6, 0))), 0);
    EXPECT_EQ(rtm->transitions, "U");
    auto again = dial(ap, t_sim_framing::app(6, 0));
    ASSERT_NE(again, nullptr);
    ASSERT_TRUE(wait_until([&] { return rtm->up == 2; }));
    EXPECT_TRUE(client->wait_eof(WAIT_MS));
}

TEST_F(MsgqTest, OutOfDescriptorsBacksOffAndRecovers)
{
    std::string p = path("kemd");
    t_app *srv = make(MOD_PIM, MOD_FTM, MSGQ_HANDLE_TYPE_SERVER, p);
    std::string cp = path("sysmgrd");
    auto sysmgr = listener(cp, t_sim_framing::library(MOD_SYSMGR, MOD_PIM));
    // A peer waits in the backlog, and a client is about to dial, when the
    // process runs out of descriptors.
    auto peer = t_sim_peer::connect(p, t_sim_framing::library(MOD_FTM, MOD_PIM));
    ASSERT_NE(peer, nullptr);
    ASSERT_TRUE(peer->send_register());
    t_app *cli = make(MOD_PIM, MOD_SYSMGR, MSGQ_HANDLE_TYPE_CLIENT, cp);
    const msgq_stats_t &ls = srv->h->server_p->stats;
    {
        t_fd_exhaust exhaust;
        ASSERT_TRUE(exhaust.full);
        idle(1500);
        // Each failure pauses its side for a growing delay: a handful of
        // attempts, not one per turn of the loop.
        EXPECT_GE(ls.accept_fail, 1u);
        EXPECT_LE(ls.accept_fail, 4u);
        EXPECT_GE(cli->h->stats.start_fail, 1u);
        EXPECT_LE(cli->h->stats.start_fail, 3u);
        EXPECT_EQ(srv->up + cli->up, 0);
    }
    ASSERT_TRUE(wait_until([&] { return srv->up == 1; }, 10000));
    ASSERT_TRUE(sysmgr->wait_connected(10000));
    ASSERT_TRUE(wait_until([&] { return cli->up == 1; }, 10000));
    ASSERT_TRUE(peer->send_msg(bytes("after the drought")));
    ASSERT_TRUE(wait_until([&] { return srv->msgs.size() == 1; }));
}

TEST_F(MsgqTest, WriteAndBufferResults)
{
    t_app *a = make(MOD_PIM, MOD_SYSMGR, MSGQ_HANDLE_TYPE_CLIENT, path("nobody"));
    EXPECT_EQ(msgq_write(nullptr, nullptr, 0), MSGQ_ERR_INVALID);
    EXPECT_EQ(msgq_write(a->h, nullptr, 4), MSGQ_ERR_INVALID);
    EXPECT_EQ(msgq_msg_malloc(a->h, MSGQ_MAX_APP_LEN + 1), nullptr);
    EXPECT_EQ(write(a, "not yet"), MSGQ_ERR_NOT_READY);
    EXPECT_EQ(a->h->stats.msg_allocs, a->h->stats.msg_frees);
    EXPECT_EQ(msgq_init(0, MOD_SYSMGR, MSGQ_HANDLE_TYPE_CLIENT, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(msgq_init(MOD_PIM, 230, MSGQ_HANDLE_TYPE_CLIENT, nullptr, nullptr, nullptr), nullptr);
    EXPECT_DEATH(msgq_write(a->h, static_cast<uint8_t *>(malloc(64)) + 8, 8), "");
}

} // namespace
