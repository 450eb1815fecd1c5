// Component tests run real binaries that use fixed paths under /var/run. As
// root, the test process first takes a private mount namespace with its own
// empty /run (/var/run points there), so tests neither see nor disturb the
// host's daemons and sockets.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace
{

bool make_private_run()
{
    if (unshare(CLONE_NEWNS) != 0) {
        fprintf(stderr, "unshare(CLONE_NEWNS): %s\n", strerror(errno));
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        fprintf(stderr, "making mounts private: %s\n", strerror(errno));
        return false;
    }
    if (mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
        fprintf(stderr, "tmpfs on /run: %s\n", strerror(errno));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (geteuid() == 0 && !make_private_run()) {
        return 1;
    }
    return RUN_ALL_TESTS();
}
