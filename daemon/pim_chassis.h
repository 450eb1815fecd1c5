// Chassis layer on a plain Linux host: user names are the kernel names, and
// every name the kernel could give an interface counts as present on the
// device, whether or not the VPN's namespace holds it yet.
#pragma once

#include <cstddef>
#include <cstdint>

// The user name of a kernel interface name.
void pim_chassis_user_name(const char *kernel_name, char *buf, size_t size);
// The kernel name of a user name; false when the chassis knows no such name.
bool pim_chassis_kernel_name(const char *user_name, char *buf, size_t size);
// Whether the platform has an interface of that kernel name: any name the
// kernel accepts (1 to 15 characters, no '/', ':' or white space, not "." or "..").
bool pim_chassis_if_present(const char *kernel_name);
// The kernel index of an interface inside a VPN's namespace, 0 when absent.
uint32_t pim_chassis_if_index(uint64_t vpn_id, const char *kernel_name);
