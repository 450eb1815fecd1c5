// The descriptor limit of a daemon serving many VPNs.
#pragma once

#include <sys/resource.h>

// Lifts the soft limit of open descriptors to the hard one. Every VPN costs a
// daemon sockets of its own, and a service manager's default soft limit (1024)
// runs out a few hundred VPNs in, while the hard limit it grants is far higher.
// False when the limit could not be read or raised.
inline bool zul_util_raise_fd_limit()
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) {
        return false;
    }
    if (lim.rlim_cur == lim.rlim_max) {
        return true;
    }
    lim.rlim_cur = lim.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &lim) == 0;
}
