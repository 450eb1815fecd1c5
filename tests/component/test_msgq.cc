// The message-queue library inside a real event loop, against simulated peers
// over real Unix sockets.
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <event2/event.h>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

// The payload of the next frame the peer receives ("none" when nothing came).
std::vector<uint8_t> payload(const std::unique_ptr<t_sim_peer> &peer)
{
    auto f = peer->recv_frame(WAIT_MS);
    return f.has_value() ? f->payload : bytes("none");
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

    std::string path(const char *name) const { return dir + "/" + name; }

    std::unique_ptr<t_sim_peer> listener(const std::string &p, t_sim_framing framing)
    {
        auto sim = t_sim_peer::listen(p, framing);
        if (sim != nullptr) {
            sim->set_pump(pumper());
        }
        return sim;
    }

    // The client handle a has dialled sim and is up, its registration (if it
    // registers) read.
    bool linked(t_sim_peer *sim, t_app *a)
    {
        return sim->wait_connected(WAIT_MS) &&
               (sim->framing().app_header || sim->recv_frame(WAIT_MS).has_value()) &&
               wait_until([&] { return a->up == 1; });
    }

    t_app *make_multi(uint8_t src, uint8_t tgt, const std::string &p)
    {
        return make(src, tgt, MSGQ_HANDLE_TYPE_SERVER, p, false, 0, 0,
                    [](msgq_app_params_t &params) { params.multi_conn = 1; });
    }

    t_app *make(uint8_t src, uint8_t tgt, msgq_handle_type_e type, const std::string &p,
                bool app_header = false, uint8_t hdr_size = 0, uint8_t len_off = 0,
                const t_tweak &tweak = nullptr)
    {
        msgq_app_params_t params{};
        params.app_evbase_p = base;
        params.timer_mgr_p = tmr;
        params.syslog_id = LOG_LOCAL7;
        params.socket_type = MSGQ_SOCKET_TYPE_UNIX;
        params.use_app_header = app_header;
        params.app_header_size = hdr_size;
        params.app_msglen_offset = len_off;
        snprintf(params.msg_path, sizeof(params.msg_path), "%s", p.c_str());
        if (tweak) {
            tweak(params);
        }
        msgq_app_cb_t cbs{};
        cbs.conn_up_cb = app_up;
        cbs.conn_down_cb = app_down;
        cbs.msg_write_cb = app_write;
        cbs.msg_read_cb = app_read;
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

    // Writes len bytes of pattern through the library.
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

    static int write(t_app *a, const std::vector<uint8_t> &data) { return write(a->h, data); }

    // A sim client registered with a server handle, its registration processed.
    std::unique_ptr<t_sim_peer> registered_client(const std::string &p, uint8_t src, uint8_t tgt,
                                                  t_app *a)
    {
        int up = a->up;
        auto sim = t_sim_peer::connect_wait(p, t_sim_framing::library(src, tgt), WAIT_MS, pumper());
        if (sim == nullptr || !sim->send_register()) {
            return nullptr;
        }
        return wait_until([&] { return a->up == up + 1; }) ? std::move(sim) : nullptr;
    }

    // Runs fn in a child as nobody with the given groups, pumping the loop
    // under test meanwhile (and running between, once per turn); fn's result.
    int run_as(gid_t gid, std::vector<gid_t> groups, const std::function<int()> &fn,
               const std::function<void()> &between = nullptr)
    {
        pid_t pid = fork();
        if (pid == 0) {
            if (setgroups(groups.size(), groups.data()) != 0 || setresgid(gid, gid, gid) != 0 ||
                setresuid(NOBODY, NOBODY, NOBODY) != 0) {
                _exit(100);
            }
            _exit(fn());
        }
        int status = -1;
        bool done = wait_until(
            [&] {
                if (between) {
                    between();
                }
                return waitpid(pid, &status, WNOHANG) == pid;
            },
            10000);
        if (!done) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

// A peer that registers (library framing) or just connects (application
// header) and expects to be shown the door: 0 when it was, 3 when it could
// not even connect.
std::function<int()> stranger(const std::string &p, t_sim_framing framing)
{
    return [p, framing] {
        auto peer = t_sim_peer::connect(p, framing);
        if (peer == nullptr) {
            return 3;
        }
        if (!framing.app_header) {
            (void)peer->send_register();
        }
        return peer->wait_eof(WAIT_MS) ? 0 : 1;
    };
}

TEST_F(MsgqTest, ClientRegistersAndExchangesWithSimServer)
{
    auto sim = listener(path("sysmgrd"), t_sim_framing::library(MOD_SYSMGR, MOD_PIM));
    t_app *a = make(MOD_PIM, MOD_SYSMGR, MSGQ_HANDLE_TYPE_CLIENT, path("sysmgrd"));
    ASSERT_NE(a->h, nullptr);
    EXPECT_FALSE(msgq_ready(a->h));
    EXPECT_EQ(write(a, bytes("early")), MSGQ_ERR_NOT_READY);

    ASSERT_TRUE(sim->wait_connected(WAIT_MS));
    auto reg = sim->recv_frame(WAIT_MS);
    ASSERT_TRUE(reg.has_value());
    EXPECT_TRUE(reg->is_register());
    EXPECT_EQ(reg->magic1(), 0xBEAF);
    EXPECT_EQ(reg->magic2(), 12);
    EXPECT_EQ(reg->size(), 8);
    EXPECT_EQ(reg->src_mod(), MOD_PIM);
    EXPECT_EQ(reg->tgt_mod(), MOD_SYSMGR);
    ASSERT_TRUE(wait_until([&] { return a->up == 1; }));
    EXPECT_TRUE(msgq_ready(a->h));
    EXPECT_EQ(a->h->stats.tx_register, 1u);

    ASSERT_EQ(write(a, bytes("hello")), MSGQ_OK);
    auto f = sim->recv_frame(WAIT_MS);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->size(), 13);
    EXPECT_EQ(f->msg_type(), 2);
    EXPECT_EQ(f->src_mod(), MOD_PIM);
    EXPECT_EQ(f->tgt_mod(), MOD_SYSMGR);
    EXPECT_EQ(f->payload, bytes("hello"));

    // Too-short frames are dropped after their header and the link stays up;
    // the magic of a frame is not examined.
    ASSERT_TRUE(sim->send_raw(t_sim_peer::lib_frame(8, MOD_SYSMGR, MOD_PIM, 2, {})));
    ASSERT_TRUE(sim->send_raw(t_sim_peer::lib_frame(3, MOD_SYSMGR, MOD_PIM, 2, {})));
    auto odd = bytes("odd magic");
    ASSERT_TRUE(sim->send_raw(t_sim_peer::lib_frame(static_cast<uint16_t>(8 + odd.size()),
                                                    MOD_SYSMGR, MOD_PIM, 2, odd, 0x1234, 99)));
    ASSERT_TRUE(sim->send_msg(bytes("reply")));
    ASSERT_TRUE(wait_until([&] { return a->msgs.size() == 2; }));
    EXPECT_EQ(a->msgs[0], odd);
    EXPECT_EQ(a->msgs[1], bytes("reply"));
    EXPECT_EQ(a->up, 1);
    EXPECT_EQ(a->down, 0);
    EXPECT_EQ(a->h->stats.rx_msg, 2u);

    // A buffer the application received can be written back as it is.
    a->on_read = [this](t_app &app) {
        void *buf = msgq_msg_malloc(app.h, 4);
        memcpy(buf, "echo", 4);
        EXPECT_EQ(msgq_write(app.h, buf, 4), MSGQ_OK);
    };
    ASSERT_TRUE(sim->send_msg(bytes("x")));
    EXPECT_EQ(payload(sim), bytes("echo"));
}

TEST_F(MsgqTest, ServerRegistrationReplacementAndRefusals)
{
    std::string p = path("kemd");
    t_app *a = make(MOD_PIM, MOD_FTM, MSGQ_HANDLE_TYPE_SERVER, p);
    ASSERT_NE(a->h, nullptr);
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);

    auto sim1 = registered_client(p, MOD_FTM, MOD_PIM, a);
    ASSERT_NE(sim1, nullptr);
    EXPECT_EQ(a->h->stats.rx_register, 1u);
    ASSERT_TRUE(sim1->send_msg(bytes("from ftm")));
    ASSERT_TRUE(wait_until([&] { return a->msgs.size() == 1; }));
    ASSERT_EQ(write(a, bytes("to ftm")), MSGQ_OK);
    auto f = sim1->recv_frame(WAIT_MS);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->src_mod(), MOD_PIM);
    EXPECT_EQ(f->tgt_mod(), MOD_FTM);
    EXPECT_EQ(f->payload, bytes("to ftm"));

    // The peer comes back while its old connection still stands: the new one
    // replaces it, reported as down then up.
    auto sim2 = registered_client(p, MOD_FTM, MOD_PIM, a);
    ASSERT_NE(sim2, nullptr);
    EXPECT_EQ(a->h->stats.conn_exist, 1u);
    EXPECT_EQ(a->transitions, "UDU");
    EXPECT_TRUE(sim1->wait_eof(WAIT_MS));
    ASSERT_EQ(write(a, bytes("to new")), MSGQ_OK);
    EXPECT_EQ(payload(sim2), bytes("to new"));

    // Ids no handle expects, or anything but a registration first: refused.
    auto stranger = t_sim_peer::connect(p, t_sim_framing::library(MOD_FAB, MOD_PIM));
    ASSERT_NE(stranger, nullptr);
    stranger->set_pump(pumper());
    ASSERT_TRUE(stranger->send_register());
    EXPECT_TRUE(stranger->wait_eof(WAIT_MS));
    auto chatty = t_sim_peer::connect(p, t_sim_framing::library(MOD_FTM, MOD_PIM));
    ASSERT_NE(chatty, nullptr);
    chatty->set_pump(pumper());
    ASSERT_TRUE(chatty->send_msg(bytes("no registration")));
    EXPECT_TRUE(chatty->wait_eof(WAIT_MS));
    auto lazy = t_sim_peer::connect(p, t_sim_framing::library(MOD_FTM, MOD_PIM));
    ASSERT_NE(lazy, nullptr);
    lazy->set_pump(pumper());
    ASSERT_TRUE(lazy->send_raw(t_sim_peer::lib_frame(4, MOD_FTM, MOD_PIM, 2, {})));
    EXPECT_TRUE(lazy->wait_eof(WAIT_MS));
    EXPECT_EQ(a->transitions, "UDU");
    const msgq_stats_t &ls = a->h->server_p->stats;
    EXPECT_EQ(ls.conn_up, 5u);
    EXPECT_EQ(ls.rx_register, 3u);
    EXPECT_EQ(ls.conn_close, 3u);

    // A second registration on a registered connection closes that connection.
    ASSERT_TRUE(sim2->send_register());
    EXPECT_TRUE(sim2->wait_eof(WAIT_MS));
    EXPECT_EQ(a->transitions, "UDUD");
    EXPECT_FALSE(msgq_ready(a->h));
    EXPECT_EQ(write(a, bytes("nobody")), MSGQ_ERR_NOT_READY);
    EXPECT_EQ(msgq_get_instance()->num_tmp, 0u);
}

TEST_F(MsgqTest, SilentConnectionFloodDoesNotLockOutThePeer)
{
    std::string p = path("kemd-igmpd.0");
    t_app *a = make(MOD_PIM, MOD_IGMP, MSGQ_HANDLE_TYPE_SERVER, p);
    std::vector<std::unique_ptr<t_sim_peer>> silent;
    for (uint32_t i = 0; i < MSGQ_MAX_TMP_CONNS + 16; i++) {
        auto s = t_sim_peer::connect(p, t_sim_framing::library(MOD_IGMP, MOD_PIM));
        ASSERT_NE(s, nullptr);
        silent.push_back(std::move(s));
        pump();
    }
    ASSERT_TRUE(wait_until([&] { return msgq_get_instance()->num_tmp == MSGQ_MAX_TMP_CONNS; }));
    silent[0]->set_pump(pumper());
    EXPECT_TRUE(silent[0]->wait_eof(WAIT_MS));
    auto peer = registered_client(p, MOD_IGMP, MOD_PIM, a);
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(a->up, 1);
}

TEST_F(MsgqTest, MultiConnectionServerKeepsEveryPeer)
{
    std::string p = path("cdbd");
    t_app *a = make_multi(MOD_PIM, MOD_FTM, p);
    ASSERT_NE(a->h, nullptr);
    std::vector<std::unique_ptr<t_sim_peer>> peers;
    for (int i = 0; i < 3; i++) {
        auto sim = registered_client(p, MOD_FTM, MOD_PIM, a);
        ASSERT_NE(sim, nullptr);
        peers.push_back(std::move(sim));
    }
    // Same ids three times: nobody replaced, each its own ready handle.
    EXPECT_EQ(a->transitions, "UUU");
    EXPECT_EQ(a->h->stats.conn_exist, 0u);
    EXPECT_EQ(a->h->stats.rx_register, 3u);
    EXPECT_EQ(a->h->num_conns, 3u);
    EXPECT_FALSE(msgq_ready(a->h));
    EXPECT_EQ(write(a, bytes("to whom")), MSGQ_ERR_NOT_READY);
    std::vector<msgq_handle_t *> conns = a->up_handles;
    for (msgq_handle_t *c : conns) {
        EXPECT_NE(c, a->h);
        EXPECT_TRUE(msgq_ready(c));
        EXPECT_EQ(c->parent_p, a->h);
        EXPECT_EQ(c->srcid, MOD_PIM);
        EXPECT_EQ(c->tgtid, MOD_FTM);
    }
    EXPECT_NE(conns[0], conns[1]);
    EXPECT_NE(conns[1], conns[2]);
    EXPECT_NE(conns[0], conns[2]);

    // A message arrives on its sender's handle; the answer goes back to it alone.
    a->on_read = [](t_app &app) {
        std::vector<uint8_t> reply = bytes("re:");
        reply.insert(reply.end(), app.msgs.back().begin(), app.msgs.back().end());
        EXPECT_EQ(write(app.from.back(), reply), MSGQ_OK);
    };
    for (size_t i = 0; i < peers.size(); i++) {
        ASSERT_TRUE(peers[i]->send_msg(bytes("peer" + std::to_string(i))));
        ASSERT_TRUE(wait_until([&] { return a->msgs.size() == i + 1; }));
        EXPECT_EQ(a->from.back(), conns[i]);
    }
    for (size_t i = 0; i < peers.size(); i++) {
        auto f = peers[i]->recv_frame(WAIT_MS);
        ASSERT_TRUE(f.has_value());
        EXPECT_EQ(f->src_mod(), MOD_PIM);
        EXPECT_EQ(f->tgt_mod(), MOD_FTM);
        EXPECT_EQ(f->payload, bytes("re:peer" + std::to_string(i)));
    }
    a->on_read = nullptr;
    ASSERT_EQ(write(conns[2], bytes("only you")), MSGQ_OK);
    EXPECT_EQ(payload(peers[2]), bytes("only you"));
    EXPECT_FALSE(peers[0]->recv_frame(50).has_value());
    EXPECT_FALSE(peers[1]->recv_frame(50).has_value());

    // One peer leaves: its handle goes down (the library frees it), the rest stay.
    peers[1]->drop();
    ASSERT_TRUE(wait_until([&] { return a->down == 1; }));
    EXPECT_EQ(a->down_handles[0], conns[1]);
    EXPECT_EQ(a->h->num_conns, 2u);
    for (size_t i : {0u, 2u}) {
        ASSERT_EQ(write(conns[i], bytes("still here")), MSGQ_OK);
        EXPECT_EQ(payload(peers[i]), bytes("still here"));
    }

    // A flood of registrations: beyond the cap they are refused, the peers
    // already served are untouched.
    const msgq_stats_t &ls = a->h->server_p->stats;
    uint32_t closed = ls.conn_close;
    std::vector<std::unique_ptr<t_sim_peer>> flood;
    for (uint32_t i = 0; i < MSGQ_MAX_TMP_CONNS + 2; i++) {
        auto sim = t_sim_peer::connect(p, t_sim_framing::library(MOD_FTM, MOD_PIM));
        ASSERT_NE(sim, nullptr);
        sim->set_pump(pumper());
        ASSERT_TRUE(sim->send_register());
        flood.push_back(std::move(sim));
        pump();
        pump();
    }
    ASSERT_TRUE(wait_until([&] { return ls.conn_close == closed + 4; }));
    EXPECT_EQ(a->h->num_conns, MSGQ_MAX_TMP_CONNS);
    EXPECT_EQ(a->up, static_cast<int>(3 + MSGQ_MAX_TMP_CONNS - 2));
    for (size_t i = flood.size() - 4; i < flood.size(); i++) {
        EXPECT_TRUE(flood[i]->wait_eof(WAIT_MS));
    }
    EXPECT_EQ(msgq_get_instance()->num_tmp, 0u);
    ASSERT_EQ(write(conns[0], bytes("first")), MSGQ_OK);
    EXPECT_EQ(payload(peers[0]), bytes("first"));

    // Destroying the template closes every connection, each reported down.
    destroy(a);
    EXPECT_EQ(a->down, static_cast<int>(1 + MSGQ_MAX_TMP_CONNS));
    EXPECT_TRUE(peers[0]->wait_eof(WAIT_MS));
    EXPECT_TRUE(peers[2]->wait_eof(WAIT_MS));
    EXPECT_TRUE(flood[0]->wait_eof(WAIT_MS));
}

TEST_F(MsgqTest, PartialWritesResumeInOrder)
{
    auto sim = listener(path("ttmd"), t_sim_framing::library(2, MOD_PIM));
    t_app *a = make(MOD_PIM, 2, MSGQ_HANDLE_TYPE_CLIENT, path("ttmd"));
    ASSERT_TRUE(sim->wait_connected(WAIT_MS));
    sim->set_rcvbuf(4096);
    ASSERT_TRUE(sim->recv_frame(WAIT_MS).has_value());
    ASSERT_TRUE(wait_until([&] { return a->up == 1; }));

    // A small send buffer makes the kernel take long messages in pieces; the
    // peer reads nothing until far more than that is queued.
    int sndbuf = 4096;
    ASSERT_EQ(setsockopt(a->h->sock_fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf)), 0);
    constexpr uint32_t N = 600;
    auto len_of = [](uint32_t i) -> size_t { return i % 3 == 0 ? 9001 : 1021 + i % 7; };
    // Every byte tells its message and position, so a resend from the wrong
    // offset cannot go unnoticed.
    auto pattern = [&](uint32_t i) {
        std::vector<uint8_t> m(len_of(i));
        for (size_t j = 0; j < m.size(); j++) {
            m[j] = static_cast<uint8_t>(i * 7 + j * 13 + j / 256);
        }
        memcpy(m.data(), &i, sizeof(i));
        return m;
    };
    for (uint32_t i = 0; i < N; i++) {
        ASSERT_EQ(write(a, pattern(i)), MSGQ_OK) << i;
    }
    EXPECT_GT(a->h->stats.tx_resched, 0u);
    EXPECT_LT(a->h->stats.tx_msg, N);
    EXPECT_TRUE(a->h->write_ev_set);
    EXPECT_GT(a->h->buf_head_p->buf_offset, 0u);

    for (uint32_t i = 0; i < N; i++) {
        auto f = sim->recv_frame(WAIT_MS);
        ASSERT_TRUE(f.has_value()) << i;
        ASSERT_EQ(f->size(), 8 + len_of(i));
        ASSERT_EQ(f->payload, pattern(i)) << i;
    }
    ASSERT_TRUE(wait_until([&] { return a->h->buf_head_p == nullptr; }));
    EXPECT_EQ(a->h->stats.tx_msg, N);
    EXPECT_EQ(a->h->stats.tx_dequeued, N);
    EXPECT_EQ(sim->buffered(), 0u);
}

TEST_F(MsgqTest, ClientReconnectsAfterPeerRestarts)
{
    std::string p = path("sysmgrd");
    auto sim = listener(p, t_sim_framing::library(MOD_SYSMGR, MOD_PIM));
    t_app *a = make(MOD_PIM, MOD_SYSMGR, MSGQ_HANDLE_TYPE_CLIENT, p);
    ASSERT_TRUE(linked(sim.get(), a));

    // The peer dies. The first send fails and marks the link; it is not ready
    // from then until a new connection stands.
    sim.reset();
    EXPECT_EQ(write(a, bytes("lost")), MSGQ_OK);
    EXPECT_EQ(a->h->stats.tx_fail, 1u);
    EXPECT_FALSE(msgq_ready(a->h));
    EXPECT_EQ(write(a, bytes("refused")), MSGQ_ERR_NOT_READY);
    ASSERT_TRUE(wait_until([&] { return a->down == 1; }));
    EXPECT_EQ(a->h->sock_fd, -1);
    EXPECT_EQ(a->h->stats.tx_queued, 0u);

    // Nobody listens for a while: the handle keeps redialling quietly.
    auto idle_end = kemd_sim::sim_now_ms() + 700;
    wait_until([&] { return kemd_sim::sim_now_ms() > idle_end; });
    EXPECT_EQ(a->up, 1);

    sim = listener(p, t_sim_framing::library(MOD_SYSMGR, MOD_PIM));
    ASSERT_TRUE(sim->wait_connected(WAIT_MS));
    auto reg = sim->recv_frame(WAIT_MS);
    ASSERT_TRUE(reg.has_value());
    EXPECT_TRUE(reg->is_register());
    ASSERT_TRUE(wait_until([&] { return a->up == 2; }));
    ASSERT_EQ(write(a, bytes("back")), MSGQ_OK);
    EXPECT_EQ(payload(sim), bytes("back"));
    EXPECT_EQ(a->transitions, "UDU");
}

TEST_F(MsgqTest, BusyLinkYieldsToTheLoop)
{
    std::string p = path("busy");
    auto sim = listener(p, t_sim_framing::library(MOD_FTM, MOD_PIM));
    t_app *a = make(MOD_PIM, MOD_FTM, MSGQ_HANDLE_TYPE_CLIENT, p);
    ASSERT_TRUE(linked(sim.get(), a));

    // A backlog already waiting in the socket is served in batches: the library
    // returns to the loop between them however fast the application is.
    std::map<uint32_t, uint32_t> per_callback;
    a->on_read = [&](t_app &app) { per_callback[app.h->stats.rx_read_helper_cb]++; };
    constexpr size_t BACKLOG = 3 * MSGQ_READ_BATCH + 10;
    for (size_t i = 0; i < BACKLOG; i++) {
        ASSERT_TRUE(sim->send_msg(bytes("busy")));
    }
    ASSERT_TRUE(wait_until([&] { return a->msgs.size() == BACKLOG; }));
    EXPECT_GE(a->h->stats.rx_read_helper_scheduled, 3u);
    for (const auto &[cb, n] : per_callback) {
        EXPECT_LE(n, MSGQ_READ_BATCH) << "callback " << cb;
    }
}

TEST_F(MsgqTest, BrokenAndHostilePeersNeverHurtTheHandle)
{
    std::string p = path("kemd");
    t_app *a = make(MOD_PIM, MOD_FTM, MSGQ_HANDLE_TYPE_SERVER, p);

    // Largest message, delivered whole.
    auto sim = registered_client(p, MOD_FTM, MOD_PIM, a);
    ASSERT_NE(sim, nullptr);
    std::vector<uint8_t> big(MSGQ_MAX_APP_LEN, 0x5A);
    ASSERT_TRUE(sim->send_msg(big));
    ASSERT_TRUE(wait_until([&] { return a->msgs.size() == 1; }));
    EXPECT_EQ(a->msgs[0], big);

    // The peer stops in the middle of a message, in its header and in its body.
    std::vector<uint8_t> half = t_sim_peer::lib_frame(1000, MOD_FTM, MOD_PIM, 2, big);
    half.resize(300);
    ASSERT_TRUE(sim->send_raw(half));
    ASSERT_TRUE(wait_until([&] { return a->h->rx_bytes == 300; }));
    sim.reset();
    ASSERT_TRUE(wait_until([&] { return a->down == 1; }));
    EXPECT_EQ(a->h->rx_buf_p, nullptr);
    sim = registered_client(p, MOD_FTM, MOD_PIM, a);
    ASSERT_NE(sim, nullptr);
    ASSERT_TRUE(sim->send_raw(std::vector<uint8_t>{0xAF, 0xBE, 0x20}));
    sim.reset();
    ASSERT_TRUE(wait_until([&] { return a->down == 2; }));

    // Garbage: whatever framing it implies, the handle survives and reports down.
    sim = registered_client(p, MOD_FTM, MOD_PIM, a);
    ASSERT_NE(sim, nullptr);
    std::mt19937 rng(7);
    std::vector<uint8_t> junk(200000);
    for (auto &b : junk) {
        b = static_cast<uint8_t>(rng());
    }
    sim->send_raw(junk);
    sim.reset();
    ASSERT_TRUE(wait_until([&] { return a->down == 3; }));
    EXPECT_EQ(a->h->rx_buf_p, nullptr);
    EXPECT_EQ(a->h->stats.msg_allocs, a->h->stats.msg_frees);

    // The application may destroy its handle from inside its read callback.
    sim = registered_client(p, MOD_FTM, MOD_PIM, a);
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
    EXPECT_EQ(msgq_get_instance(), nullptr);
}

TEST_F(MsgqTest, ApplicationHeaderFraming)
{
    // A client with a 6-byte header carrying the length first, as the route
    // table manager link uses, and no registration.
    std::string p = path("zebra.api");
    auto sim = listener(p, t_sim_framing::app(6, 0));
    t_app *a = make(MOD_PIM, 32, MSGQ_HANDLE_TYPE_CLIENT, p, true, 6, 0);
    ASSERT_TRUE(linked(sim.get(), a));
    EXPECT_TRUE(a->h->dont_register);

    std::vector<uint8_t> m = {0, 11, 0, 7, 0, 0, 'h', 'e', 'l', 'l', 'o'};
    ASSERT_EQ(write(a, m), MSGQ_OK);
    auto f = sim->recv_frame(WAIT_MS);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->header, std::vector<uint8_t>(m.begin(), m.begin() + 6));
    EXPECT_EQ(f->payload, bytes("hello"));

    std::vector<uint8_t> hdr = {0, 0, 0, 7, 1, 2};
    ASSERT_TRUE(sim->send_app(hdr, bytes("reply")));
    ASSERT_TRUE(wait_until([&] { return a->msgs.size() == 1; }));
    EXPECT_EQ(a->msgs[0], (std::vector<uint8_t>{0, 11, 0, 7, 1, 2, 'r', 'e', 'p', 'l', 'y'}));

    // A length not beyond the header leaves no way to find the next message.
    ASSERT_TRUE(sim->send_raw(std::vector<uint8_t>{0, 6, 0, 7, 0, 0}));
    EXPECT_TRUE(sim->wait_eof(WAIT_MS));
    ASSERT_TRUE(wait_until([&] { return a->down == 1; }));

    // A server whose header is 10 bytes with the length at offset 4: one peer at
    // a time, the newer connection replacing the older.
    std::string sp = path("apphdr-server");
    t_app *s = make(MOD_PIM, 40, MSGQ_HANDLE_TYPE_SERVER, sp, true, 10, 4);
    auto c1 = t_sim_peer::connect_wait(sp, t_sim_framing::app(10, 4), WAIT_MS, pumper());
    ASSERT_NE(c1, nullptr);
    ASSERT_TRUE(wait_until([&] { return s->up == 1; }));
    ASSERT_TRUE(c1->send_msg(bytes("first")));
    ASSERT_TRUE(wait_until([&] { return s->msgs.size() == 1; }));
    EXPECT_EQ(s->msgs[0].size(), 15u);
    EXPECT_EQ(s->msgs[0][4], 0);
    EXPECT_EQ(s->msgs[0][5], 15);
    auto c2 = t_sim_peer::connect_wait(sp, t_sim_framing::app(10, 4), WAIT_MS, pumper());
    ASSERT_NE(c2, nullptr);
    ASSERT_TRUE(wait_until([&] { return s->up == 2; }));
    EXPECT_EQ(s->transitions, "UDU");
    EXPECT_EQ(s->h->stats.conn_exist, 1u);
    EXPECT_TRUE(c1->wait_eof(WAIT_MS));
}

TEST_F(MsgqTest, BlockingClientProcessesWaitingReply)
{
    std::string p = path("zebra.api");
    auto sim = listener(p, t_sim_framing::app(6, 0));
    t_app *a = make(MOD_PIM, 32, MSGQ_HANDLE_TYPE_CLIENT, p, true, 6, 0);
    ASSERT_TRUE(linked(sim.get(), a));

    // The reply is already waiting when the synchronous request goes out.
    ASSERT_TRUE(sim->send_app(std::vector<uint8_t>(6, 0), bytes("answer")));
    msgq_set_client_socket_blocking(a->h, true);
    EXPECT_TRUE(msgq_get_client_socket_blocking(a->h));
    std::vector<uint8_t> q = {0, 9, 0, 0, 0, 0, 'a', 's', 'k'};
    ASSERT_EQ(write(a, q), MSGQ_OK);
    ASSERT_EQ(a->msgs.size(), 1u);
    EXPECT_EQ(a->msgs[0].size(), 12u);
    msgq_set_client_socket_blocking(a->h, false);
    EXPECT_EQ(payload(sim), bytes("ask"));

    // Back in queued mode, later replies come through the loop.
    ASSERT_TRUE(sim->send_app(std::vector<uint8_t>(6, 0), bytes("later")));
    ASSERT_TRUE(wait_until([&] { return a->msgs.size() == 2; }));

    // A blocking send into a vanished peer fails with 11; the link then closes.
    msgq_set_client_socket_blocking(a->h, true);
    sim.reset();
    EXPECT_EQ(write(a, std::vector<uint8_t>{0, 7, 0, 0, 0, 0, '!'}), MSGQ_ERR_NO_MEM);
    EXPECT_FALSE(msgq_ready(a->h));
    ASSERT_TRUE(wait_until([&] { return a->down == 1; }));
    EXPECT_EQ(a->h->stats.tx_fail, 1u);
}

TEST_F(MsgqTest, SharedListenerLivesWithItsLastHandle)
{
    std::string p = path("shared");
    t_app *fab = make(MOD_PIM, MOD_FAB, MSGQ_HANDLE_TYPE_SERVER, p);
    t_app *igmp = make(MOD_PIM, MOD_IGMP, MSGQ_HANDLE_TYPE_SERVER, p);
    ASSERT_NE(fab->h->server_p, nullptr);
    EXPECT_EQ(fab->h->server_p, igmp->h->server_p);
    EXPECT_EQ(fab->h->server_p->ref_count, 2u);

    auto sim_igmp = registered_client(p, MOD_IGMP, MOD_PIM, igmp);
    ASSERT_NE(sim_igmp, nullptr);
    auto sim_fab = registered_client(p, MOD_FAB, MOD_PIM, fab);
    ASSERT_NE(sim_fab, nullptr);
    ASSERT_EQ(write(fab, bytes("to fab")), MSGQ_OK);
    ASSERT_EQ(write(igmp, bytes("to igmp")), MSGQ_OK);
    auto f = sim_fab->recv_frame(WAIT_MS);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->payload, bytes("to fab"));
    EXPECT_EQ(f->tgt_mod(), MOD_FAB);
    EXPECT_EQ(payload(sim_igmp), bytes("to igmp"));

    destroy(fab);
    EXPECT_TRUE(sim_fab->wait_eof(WAIT_MS));
    EXPECT_EQ(access(p.c_str(), F_OK), 0);
    EXPECT_EQ(igmp->h->server_p->ref_count, 1u);
    auto late = registered_client(p, MOD_IGMP, MOD_PIM, igmp);
    ASSERT_NE(late, nullptr);
    destroy(igmp);
    EXPECT_NE(access(p.c_str(), F_OK), 0);
    EXPECT_EQ(msgq_get_instance(), nullptr);
}

TEST_F(MsgqTest, PeersAreAdmittedByCredentials)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "peers of another user need root to start";
    }
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    std::string p = path("kemd");
    t_app *ftm = make(MOD_PIM, MOD_FTM, MSGQ_HANDLE_TYPE_SERVER, p, false, 0, 0, peer_group);
    t_app *igmp = make(MOD_PIM, MOD_IGMP, MSGQ_HANDLE_TYPE_SERVER, p, false, 0, 0, peer_group);
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(st.st_gid, PEER_GROUP);
    auto live = registered_client(p, MOD_FTM, MOD_PIM, ftm);
    ASSERT_NE(live, nullptr);

    // Nobody outside the group: the file keeps it out, and were the file's mode
    // loose its credentials would.
    auto ftm_stranger = stranger(p, t_sim_framing::library(MOD_FTM, MOD_PIM));
    EXPECT_EQ(run_as(NOBODY, {}, ftm_stranger), 3);
    ASSERT_EQ(chmod(p.c_str(), 0666), 0);
    EXPECT_EQ(run_as(NOBODY, {}, ftm_stranger), 0);
    // A member of the group may connect, but not take over root's link.
    EXPECT_EQ(run_as(NOBODY, {PEER_GROUP}, ftm_stranger), 0);
    EXPECT_EQ(ftm->transitions, "U");
    EXPECT_EQ(ftm->h->stats.conn_exist, 0u);
    EXPECT_EQ(ftm->h->stats.conn_refused, 1u);
    EXPECT_EQ(ftm->h->server_p->stats.conn_refused, 2u);
    ASSERT_EQ(write(ftm, bytes("still yours")), MSGQ_OK);
    EXPECT_EQ(payload(live), bytes("still yours"));

    // A member of the group (as its primary group) is served on an idle handle.
    bool greeted = false;
    int rc = run_as(
        PEER_GROUP, {},
        [&] {
            auto peer = t_sim_peer::connect(p, t_sim_framing::library(MOD_IGMP, MOD_PIM));
            if (peer == nullptr || !peer->send_register()) {
                return 3;
            }
            auto hello = peer->recv_frame(WAIT_MS);
            return hello.has_value() && hello->payload == bytes("welcome") ? 0 : 1;
        },
        [&] {
            if (igmp->up == 1 && !greeted) {
                greeted = write(igmp, bytes("welcome")) == MSGQ_OK;
            }
        });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(igmp->up, 1);

    // An application-header listener hands its one link to a new connection
    // only from the same user.
    std::string ap = path("rtm");
    t_app *rtm = make(MOD_RTM, MOD_PIM, MSGQ_HANDLE_TYPE_SERVER, ap, true, 6, 0, peer_group);
    auto client = t_sim_peer::connect_wait(ap, t_sim_framing::app(6, 0), WAIT_MS, pumper());
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(wait_until([&] { return rtm->up == 1; }));
    EXPECT_EQ(run_as(PEER_GROUP, {}, stranger(ap, t_sim_framing::app(6, 0))), 0);
    EXPECT_EQ(rtm->transitions, "U");
    EXPECT_EQ(rtm->h->stats.conn_refused, 1u);
    auto again = t_sim_peer::connect_wait(ap, t_sim_framing::app(6, 0), WAIT_MS, pumper());
    ASSERT_NE(again, nullptr);
    ASSERT_TRUE(wait_until([&] { return rtm->up == 2; }));
    EXPECT_TRUE(client->wait_eof(WAIT_MS));
}

TEST_F(MsgqTest, StuckPeerHitsTheQueueLimitAndIsRedialled)
{
    std::string p = path("ttmd");
    auto sim = listener(p, t_sim_framing::library(2, MOD_PIM));
    constexpr uint32_t LIMIT = 256 * 1024;
    t_app *a = make(MOD_PIM, 2, MSGQ_HANDLE_TYPE_CLIENT, p, false, 0, 0,
                    [](msgq_app_params_t &params) { params.tx_queue_max = LIMIT; });
    ASSERT_TRUE(sim->wait_connected(WAIT_MS));
    sim->set_rcvbuf(4096);
    ASSERT_TRUE(sim->recv_frame(WAIT_MS).has_value());
    ASSERT_TRUE(wait_until([&] { return a->up == 1; }));

    // The peer stays connected and reads nothing more.
    std::vector<uint8_t> chunk(4096, 0x42);
    int rc = MSGQ_OK;
    for (int i = 0; i < 4096 && rc == MSGQ_OK; i++) {
        rc = write(a, chunk);
        EXPECT_LE(a->h->tx_bytes, LIMIT);
    }
    EXPECT_EQ(rc, MSGQ_ERR_NO_MEM);
    EXPECT_EQ(a->h->stats.tx_overflow, 1u);
    EXPECT_FALSE(msgq_ready(a->h));
    EXPECT_EQ(write(a, chunk), MSGQ_ERR_NOT_READY);
    ASSERT_TRUE(wait_until([&] { return a->down == 1; }));
    EXPECT_EQ(a->h->tx_bytes, 0u);

    // The client redials and the link works again.
    ASSERT_TRUE(sim->wait_connected(WAIT_MS));
    auto reg = sim->recv_frame(WAIT_MS);
    ASSERT_TRUE(reg.has_value());
    EXPECT_TRUE(reg->is_register());
    ASSERT_TRUE(wait_until([&] { return a->up == 2; }));
    ASSERT_EQ(write(a, bytes("fresh")), MSGQ_OK);
    EXPECT_EQ(payload(sim), bytes("fresh"));

    // A blocking send into a peer that stopped reading gives up after its
    // timeout instead of holding the loop; the link closes and is redialled.
    sim->set_rcvbuf(4096);
    int sndbuf = 4096;
    ASSERT_EQ(setsockopt(a->h->sock_fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf)), 0);
    msgq_set_client_socket_blocking(a->h, true);
    std::vector<uint8_t> big(MSGQ_MAX_APP_LEN, 0x17);
    rc = MSGQ_OK;
    for (int i = 0; i < 16 && rc == MSGQ_OK; i++) {
        rc = write(a, big);
    }
    EXPECT_EQ(rc, MSGQ_ERR_NO_MEM);
    msgq_set_client_socket_blocking(a->h, false);
    ASSERT_TRUE(wait_until([&] { return a->down == 2; }));
    ASSERT_TRUE(sim->wait_connected(WAIT_MS));
    ASSERT_TRUE(wait_until([&] { return a->up == 3; }));
}

TEST_F(MsgqTest, ListenerOpensOnceItsDirectoryAppears)
{
    std::string sub = path("later");
    std::string p = sub + "/kemd";
    t_app *a = make(MOD_PIM, MOD_FTM, MSGQ_HANDLE_TYPE_SERVER, p);
    ASSERT_NE(a->h, nullptr);
    EXPECT_EQ(a->h->server_p->server_listener_p, nullptr);
    EXPECT_EQ(a->h->server_p->stats.start_fail, 1u);
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    auto sim = registered_client(p, MOD_FTM, MOD_PIM, a);
    ASSERT_NE(sim, nullptr);
    ASSERT_TRUE(sim->send_msg(bytes("late but here")));
    ASSERT_TRUE(wait_until([&] { return a->msgs.size() == 1; }));
    destroy(a);
    EXPECT_EQ(rmdir(sub.c_str()), 0);
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
        int64_t end = kemd_sim::sim_now_ms() + 1500;
        wait_until([&] { return kemd_sim::sim_now_ms() > end; });
        // Each failure pauses its side for a growing delay: a handful of
        // attempts, not one per turn of the loop.
        EXPECT_GE(ls.accept_fail, 1u);
        EXPECT_LE(ls.accept_fail, 4u);
        EXPECT_GE(cli->h->stats.start_fail, 1u);
        EXPECT_LE(cli->h->stats.start_fail, 3u);
        EXPECT_EQ(srv->up, 0);
        EXPECT_EQ(cli->up, 0);
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
    void *buf = msgq_msg_malloc(a->h, 16);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(msgq_write(a->h, buf, 16), MSGQ_ERR_NOT_READY);
    msgq_msg_free(a->h, buf);
    EXPECT_EQ(a->h->stats.msg_allocs, 1u);
    EXPECT_EQ(a->h->stats.msg_frees, 1u);
    EXPECT_EQ(msgq_init(0, MOD_SYSMGR, MSGQ_HANDLE_TYPE_CLIENT, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(msgq_init(MOD_PIM, 230, MSGQ_HANDLE_TYPE_CLIENT, nullptr, nullptr, nullptr), nullptr);
    EXPECT_DEATH(msgq_write(a->h, static_cast<uint8_t *>(malloc(64)) + 8, 8), "");
}

} // namespace
