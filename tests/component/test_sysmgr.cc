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

    // Detached: the started process exits once its child runs on (this
    // process must be a subreaper to wait for that child).
    bool start()
    {
        pid = fork();
        if (pid == 0) {
            execl(KEMD_BIN, "kemd", static_cast<char *>(nullptr));
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

// The hello the daemon with the given pid sends; "none" when nothing came.
std::string hello_of(const std::optional<t_sim_frame> &f)
{
    if (!f.has_value() || f->payload.size() != 40) {
        return "none";
    }
    int pid = 0;
    memcpy(&pid, &f->payload[8], 4);
    return f->head() + " pid " + std::to_string(pid);
}

std::string hello(pid_t pid)
{
    return "16>7 type 2 size 48 magic 48815/12 pid " + std::to_string(pid);
}

// The hello's fixed fields and padding.
void expect_hello(const std::optional<t_sim_frame> &f, pid_t pid)
{
    ASSERT_EQ(hello_of(f), hello(pid));
    std::vector<uint8_t> want(40, 0);
    want[0] = 1;
    want[1] = 1;
    uint16_t len = 40;
    memcpy(&want[2], &len, 2);
    memcpy(&want[8], &pid, 4);
    EXPECT_EQ(f->payload, want);
}

void expect_registration(t_sim_peer &sim)
{
    auto reg = sim.recv_frame(5000);
    ASSERT_TRUE(reg.has_value());
    EXPECT_EQ(reg->head(), "16>7 type 1 size 8 magic 48815/12");
}

TEST(SysmgrLink, DetachedDaemonRegistersHellosEverySecondAndRedials)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for a private /var/run";
    }
    // Orphans of this test (the detached daemon) are reparented to it.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    auto sim = t_sim_peer::listen(SYSMGR_PATH, t_sim_framing::library(MOD_SYSMGR, MOD_PIM));
    ASSERT_NE(sim, nullptr);
    t_daemon kemd;
    ASSERT_TRUE(kemd.start());
    int status = -1;
    ASSERT_EQ(waitpid(kemd.pid, &status, 0), kemd.pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    pid_t parent = kemd.pid;
    kemd.pid = -1;

    ASSERT_TRUE(sim->wait_connected(10000));
    expect_registration(*sim);
    int64_t registered = sim_now_ms();
    // The first hello follows the registration at once, naming the detached
    // daemon, then one a second. A loaded machine may deliver a late tick's
    // hellos back to back (the timer keeps its phase), so the pace is judged
    // over the whole run.
    auto f = sim->recv_frame(5000);
    int64_t first = sim_now_ms();
    EXPECT_LT(first - registered, 1500);
    ASSERT_TRUE(f.has_value() && f->payload.size() == 40);
    memcpy(&kemd.pid, &f->payload[8], 4);
    EXPECT_NE(kemd.pid, parent);
    ASSERT_GT(kemd.pid, 0);
    ASSERT_EQ(kill(kemd.pid, 0), 0) << "the hello names a living process";
    expect_hello(f, kemd.pid);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(hello_of(sim->recv_frame(5000)), hello(kemd.pid)) << i;
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
    EXPECT_EQ(hello_of(sim->recv_frame(5000)), hello(kemd.pid));
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
    kemd_sim::sim_idle(pump, 700);
    EXPECT_FALSE(timer_is_active(app->hello_timer));
    EXPECT_EQ(sysmgr_app_last_hello(), 0);
    EXPECT_EQ(app->p_msgq->stats.msg_allocs, 0u);

    auto sim = t_sim_peer::listen(SYSMGR_PATH, t_sim_framing::library(MOD_SYSMGR, MOD_PIM));
    ASSERT_NE(sim, nullptr);
    sim->set_pump(pump);
    ASSERT_TRUE(sim->wait_connected(5000));
    expect_registration(*sim);
    expect_hello(sim->recv_frame(5000), getpid());
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
