// The daemon binary against a simulated system manager: registration, the
// one-second hello with our pid, and redialling after the manager restarts.
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

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

    bool start()
    {
        pid = fork();
        if (pid == 0) {
            execl(KEMD_BIN, "kemd", "-f", static_cast<char *>(nullptr));
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
    int64_t last = sim_now_ms();
    // The first hello follows the registration at once, then one a second.
    for (int i = 0; i < 4; i++) {
        auto f = sim->recv_frame(5000);
        ASSERT_TRUE(f.has_value()) << i;
        expect_hello(*f, kemd.pid);
        int64_t now = sim_now_ms();
        if (i == 0) {
            EXPECT_LT(now - last, 500);
        } else {
            EXPECT_GT(now - last, 400) << i;
            EXPECT_LT(now - last, 2500) << i;
        }
        last = now;
    }

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

} // namespace
