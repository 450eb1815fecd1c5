// The system-wide module table: every daemon of the router has a number and a
// name; the name gives the default path of its message-queue server socket.
#pragma once

#include <cstdint>

enum e_zul_module : uint8_t {
    ZUL_MODULE_INVALID = 0,
    ZUL_MODULE_FAB = 1,
    ZUL_MODULE_TTM = 2,
    ZUL_MODULE_FTM = 3,
    ZUL_MODULE_SYSMGR = 7,
    ZUL_MODULE_IGMP = 15,
    ZUL_MODULE_PIM = 16,
    ZUL_MODULE_RTM = 32,
    ZUL_MODULE_CDB = 40,
    ZUL_MODULE_CLI = 41,
    ZUL_MODULE_MAX = 229,
};

// Name of a module ("kemd", "sysmgrd", ...); "unknown" for a number without one.
const char *zul_module_name(unsigned module);
