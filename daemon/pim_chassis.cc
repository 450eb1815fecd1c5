#include "daemon/pim_chassis.h"

#include <cstdio>
#include <net/if.h>

#include "daemon/pim_daemon.h"
#include "daemon/pim_debug.h"

void pim_chassis_user_name(const char *kernel_name, char *buf, size_t size)
{
    snprintf(buf, size, "%s", kernel_name);
}

bool pim_chassis_kernel_name(const char *user_name, char *buf, size_t size)
{
    if (user_name == nullptr || user_name[0] == '\0') {
        return false;
    }
    snprintf(buf, size, "%s", user_name);
    return true;
}

uint32_t pim_chassis_if_index(uint64_t vpn_id, const char *kernel_name)
{
    if (pim_util_set_ns(vpn_id) != PIM_STATUS_OK) {
        PIM_LOG("Setting of namespace in vpn-id %lu failed", static_cast<unsigned long>(vpn_id));
        return 0;
    }
    uint32_t idx = if_nametoindex(kernel_name);
    if (pim_util_reset_ns(vpn_id) != PIM_STATUS_OK) {
        PIM_LOG("Setting of namespace in default vpn failed");
    }
    return idx;
}
