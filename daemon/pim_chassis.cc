#include "daemon/pim_chassis.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <net/if.h>

#include "daemon/pim_daemon.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_ns.h"

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

bool pim_chassis_if_present(const char *kernel_name)
{
    size_t len = kernel_name != nullptr ? strnlen(kernel_name, IFNAMSIZ) : 0;
    if (len == 0 || len >= IFNAMSIZ || strcmp(kernel_name, ".") == 0 ||
        strcmp(kernel_name, "..") == 0) {
        return false;
    }
    for (size_t i = 0; i < len; i++) {
        auto c = static_cast<unsigned char>(kernel_name[i]);
        if (c == '/' || c == ':' || isspace(c) != 0) {
            return false;
        }
    }
    return true;
}

uint32_t pim_chassis_if_index(uint64_t vpn_id, const char *kernel_name)
{
    t_pim_ns_guard ns(vpn_id);
    return ns.entered() ? if_nametoindex(kernel_name) : 0;
}
