#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

#include "common/zul_fd_limit.h"

// A daemon started under a low soft limit (a service manager's 1024 against a
// few sockets per VPN) gets every descriptor the hard limit allows.
TEST(FdLimit, SoftLimitRaisedToHard)
{
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    constexpr rlim_t LOW = 64;
    if (saved.rlim_max <= 2 * LOW) {
        GTEST_SKIP() << "hard limit too low to show the difference";
    }
    rlimit low = saved;
    low.rlim_cur = LOW;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);

    EXPECT_TRUE(zul_util_raise_fd_limit());
    rlimit now{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &now), 0);
    EXPECT_EQ(now.rlim_cur, saved.rlim_max);
    std::vector<int> fds;
    for (rlim_t i = 0; i < 2 * LOW; i++) {
        int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            break;
        }
        fds.push_back(fd);
    }
    EXPECT_EQ(fds.size(), 2 * LOW);
    for (int fd : fds) {
        close(fd);
    }
    // Already at the hard limit: nothing to do.
    EXPECT_TRUE(zul_util_raise_fd_limit());
    setrlimit(RLIMIT_NOFILE, &saved);
}
