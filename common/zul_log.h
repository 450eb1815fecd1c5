// Syslog helpers shared by the daemons: every diagnostic line starts with the
// function name and source line so a line in the log leads back to its origin.
#pragma once

#include <syslog.h>

#define ZUL_LOG_PRI(pri, fmt, ...)                                                                 \
    syslog((pri), "%s[%d]: " fmt, __func__, static_cast<int>(__LINE__), ##__VA_ARGS__)
