// Chassis layer on a plain Linux host: user names are the kernel names and an
// interface is present when the kernel of the VPN's namespace knows it.
#pragma once

#include <cstddef>
#include <cstdint>

// The user name of a kernel interface name.
void pim_chassis_user_name(const char *kernel_name, char *buf, size_t size);
// The kernel name of a user name; false when the chassis knows no such name.
bool pim_chassis_kernel_name(const char *user_name, char *buf, size_t size);
// The kernel index of an interface inside a VPN's namespace, 0 when absent.
uint32_t pim_chassis_if_index(uint64_t vpn_id, const char *kernel_name);
