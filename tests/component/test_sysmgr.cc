// The daemon binary against a simulated system manager: registration, the
// one-second hello with our pid, and redialling after the manager restarts.
#include <csignal>
#include <cstring>
#include <event2/event.h>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/msgq_util.h"
#include "common/timer.h"
#include "sysmgr/sysmgr_app.h"
#include "tests/sim/sim_peer.h"

using kemd_sim::sim_now_ms;
using kemd_sim::t_sim_frame;
using kemd_sim::t_sim_framing;
using kemd_sim::t_sim_peer;

namespace
{

constexpr const char *KEMD_BIN = KEMD_BUILD_DIR "/daemon/kemd";
constexpr const char *SYSMGR_PATH = "/var/run/.sysmgrd";
constexpr uint8_t MOD_PIM = 16;
constexpr uint8_t MOD_SYSMGR = 7;

// The daemon under test; killed if the test ends early.
struct t_daemon {
    pid_t pid = -1;

    // Detached: the started process exits once its child runs on, and pid
    // becomes that child (this process must be a subreaper to wait for it).
    bool start(bool detach = false)
    {
        pid = fork();
        if (pid == 0) {
            execl(KEMD_BIN, "kemd", detach ? nullptr : "-f", static_cast<char *>(nullptr));
            _exit(127);
        }
        return pid > 0;
    }

    // Orderly stop; the exit status (leak reports make it non-zero).
    int stop()
    {
        kill(pid, SIGUSR2);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    ~t_daemon()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

struct t_hello {
    uint8_t version;
    uint8_t msg_type;
    uint16_t msg_len;
    int pid;
};

// Checks the frame is a hello from the daemon and returns its fields.
void expect_hello(const t_sim_frame &f, pid_t pid)
{
    EXPECT_EQ(f.magic1(), 0xBEAF);
    EXPECT_EQ(f.magic2(), 12);
    EXPECT_EQ(f.msg_type(), 2);
    EXPECT_EQ(f.src_mod(), MOD_PIM);
    EXPECT_EQ(f.tgt_mod(), MOD_SYSMGR);
    EXPECT_EQ(f.size(), 48);
    ASSERT_EQ(f.payload.size(), 40u);
    t_hello h;
    memcpy(&h.version, &f.payload[0], 1);
    memcpy(&h.msg_type, &f.payload[1], 1);
    memcpy(&h.msg_len, &f.payload[2], 2);
    memcpy(&h.pid, &f.payload[8], 4);
    EXPECT_EQ(h.version, 1);
    EXPECT_EQ(h.msg_type, 1);
    EXPECT_EQ(h.msg_len, 40);
    EXPECT_EQ(h.pid, pid);
    for (size_t i = 12; i < 40; i++) {
        EXPECT_EQ(f.payload[i], 0) << i;
    }
}

void expect_registration(t_sim_peer &sim)
{
    auto reg = sim.recv_frame(5000);
    ASSERT_TRUE(reg.has_value());
    EXPECT_TRUE(reg->is_register());
    EXPECT_EQ(reg->src_mod(), MOD_PIM);
    EXPECT_EQ(reg->tgt_mod(), MOD_SYSMGR);
    EXPECT_EQ(reg->size(), 8);
}

TEST(SysmgrLink, RegistersThenHellosEverySecondAndRedials)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for a private /var/run";
    }
    auto sim = t_sim_peer::listen(SYSMGR_PATH, t_sim_framing::library(MOD_SYSMGR, MOD_PIM));
    ASSERT_NE(sim, nullptr);
    t_daemon kemd;
    ASSERT_TRUE(kemd.start());

    ASSERT_TRUE(sim->wait_connected(10000));
    expect_registration(*sim);
    int64_t registered = sim_now_ms();
    int64_t first = 0;
    // The first hello follows the registration at once, then one a second. A
    // loaded machine may deliver a late tick's hellos back to back (the timer
    // keeps its phase), so the pace is judged over the whole run.
    for (int i = 0; i < 4; i++) {
        auto f = sim->recv_frame(5000);
        ASSERT_TRUE(f.has_value()) << i;
        expect_hello(*f, kemd.pid);
        if (i == 0) {
            first = sim_now_ms();
            EXPECT_LT(first - registered, 1500);
        }
    }
    int64_t span = sim_now_ms() - first;
    EXPECT_GT(span, 1500);
    EXPECT_LT(span, 6000);

    // A connect reply and junk from the manager are dropped without effect.
    std::vector<uint8_t> reply(40, 0);
    reply[0] = 1;
    reply[1] = 4;
    reply[2] = 40;
    ASSERT_TRUE(sim->send_msg(reply));
    ASSERT_TRUE(sim->send_msg(std::vector<uint8_t>{9, 9, 9}));

    // The manager goes away and comes back: the daemon redials and starts over
    // with a registration, then the hellos resume.
    sim->stop_listening();
    sim->drop();
    usleep(1500 * 1000);
    sim = t_sim_peer::listen(SYSMGR_PATH, t_sim_framing::library(MOD_SYSMGR, MOD_PIM));
    ASSERT_NE(sim, nullptr);
    ASSERT_TRUE(sim->wait_connected(10000));
    expect_registration(*sim);
    for (int i = 0; i < 2; i++) {
        auto f = sim->recv_frame(5000);
        ASSERT_TRUE(f.has_value()) << i;
        expect_hello(*f, kemd.pid);
    }
    EXPECT_EQ(kemd.stop(), 0);
}

TEST(SysmgrLink, DetachedDaemonHellosWithItsOwnPid)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for a private /var/run";
    }
    // Orphans of this test (the detached daemon) are reparented to it.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    auto sim = t_sim_peer::listen(SYSMGR_PATH, t_sim_framing::library(MOD_SYSMGR, MOD_PIM));
    ASSERT_NE(sim, nullptr);
    t_daemon kemd;
    ASSERT_TRUE(kemd.start(true));
    int status = -1;
    ASSERT_EQ(waitpid(kemd.pid, &status, 0), kemd.pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    pid_t parent = kemd.pid;
    kemd.pid = -1;

    ASSERT_TRUE(sim->wait_connected(10000));
    expect_registration(*sim);
    auto f = sim->recv_frame(5000);
    ASSERT_TRUE(f.has_value());
    ASSERT_EQ(f->payload.size(), 40u);
    int pid = 0;
    memcpy(&pid, &f->payload[8], 4);
    EXPECT_NE(pid, parent);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, 0), 0) << "the hello names a living process";
    kemd.pid = pid;
    expect_hello(*f, pid);
    EXPECT_EQ(kemd.stop(), 0);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

struct t_replies {
    int count = 0;
    uint64_t vpn_id = 0;
};

void on_reply(void *app_handle, t_sysmgr_app_msg *msg)
{
    auto *r = static_cast<t_replies *>(app_handle);
    r->count++;
    r->vpn_id = msg->u.connect_reply.vpn_id;
}

TEST(SysmgrLink, HelloTimerRunsExactlyWhileConnected)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for a private /var/run";
    }
    event_base *base = event_base_new();
    t_timer_mgr *tmr =
        timer_mgr_create(TIMER_RESN_100MSEC, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
    auto pump = [&] {
        event_base_loop(base, EVLOOP_NONBLOCK);
        (void)timer_exec(tmr, TIMER_PRI_MASK_ALL, 100);
    };
    auto wait_until = [&](const std::function<bool()> &pred) {
        return kemd_sim::sim_wait(pump, pred);
    };
    t_replies replies;
    t_sysmgr_app *app = app_sysmgr_connect(base, tmr, nullptr, MOD_PIM, &replies, on_reply);
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->pid, getpid());
    EXPECT_EQ(app->hello_timer->priority, TIMER_PRI_HIGH);

    // No manager: nothing is built and the hello timer stays stopped.
    int64_t end = sim_now_ms() + 700;
    wait_until([&] { return sim_now_ms() > end; });
    EXPECT_FALSE(timer_is_active(app->hello_timer));
    EXPECT_EQ(sysmgr_app_last_hello(), 0);
    EXPECT_EQ(app->p_msgq->stats.msg_allocs, 0u);

    auto sim = t_sim_peer::listen(SYSMGR_PATH, t_sim_framing::library(MOD_SYSMGR, MOD_PIM));
    ASSERT_NE(sim, nullptr);
    sim->set_pump(pump);
    ASSERT_TRUE(sim->wait_connected(5000));
    expect_registration(*sim);
    auto hello = sim->recv_frame(5000);
    ASSERT_TRUE(hello.has_value());
    expect_hello(*hello, getpid());
    EXPECT_TRUE(timer_is_active(app->hello_timer));
    EXPECT_NE(sysmgr_app_last_hello(), 0);

    // Only a connect reply reaches the application; everything is freed.
    std::vector<uint8_t> reply(40, 0);
    reply[0] = 1;
    reply[1] = 4;
    reply[2] = 40;
    reply[8] = 5;
    ASSERT_TRUE(sim->send_msg(reply));
    std::vector<uint8_t> other = reply;
    other[1] = 2;
    ASSERT_TRUE(sim->send_msg(other));
    ASSERT_TRUE(sim->send_msg(std::vector<uint8_t>{4, 4, 4}));
    ASSERT_TRUE(wait_until([&] { return app->p_msgq->stats.rx_msg == 3; }));
    EXPECT_EQ(replies.count, 1);
    EXPECT_EQ(replies.vpn_id, 5u);

    sim->stop_listening();
    sim->drop();
    ASSERT_TRUE(wait_until([&] { return !timer_is_active(app->hello_timer); }));
    EXPECT_EQ(app->p_msgq->stats.conn_down, 1u);

    app_sysmgr_disconnect(app);
    EXPECT_EQ(msgq_get_instance(), nullptr);
    timer_mgr_destroy(tmr);
    event_base_free(base);
}

} // namespace
