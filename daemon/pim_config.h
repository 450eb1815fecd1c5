// Configuration handlers: the four subscription points of the daemon. Each
// gets the operation, the list keys (root first) and the changed subtree as
// tagged values, and turns them into the daemon's system address, VPN
// records, interfaces and per-interface PIM settings. They run on the event
// loop and return 0, or 1 when the addressed VPN or interface is missing.
#pragma once

#include <cstdint>

#include "zconfd/zconfd.h"

struct t_pim_daemon;

int pim_config_system(t_zconfd_sub_entry *sub_p, int oper, int num_keys,
                      const t_zconfd_value *key_p, int num_values, const t_zconfd_value *val_p);
int pim_config_vpn(t_zconfd_sub_entry *sub_p, int oper, int num_keys, const t_zconfd_value *key_p,
                   int num_values, const t_zconfd_value *val_p);
int pim_config_vpn_if(t_zconfd_sub_entry *sub_p, int oper, int num_keys,
                      const t_zconfd_value *key_p, int num_values, const t_zconfd_value *val_p);
int pim_config_vpn_pim_if(t_zconfd_sub_entry *sub_p, int oper, int num_keys,
                          const t_zconfd_value *key_p, int num_values, const t_zconfd_value *val_p);

// Whether the platform has an interface (kernel name) in a VPN. The chassis
// layer answers by default; tests put their own answer in (nullptr restores it).
using f_pim_config_if_present = bool (*)(uint64_t vpn_id, const char *kernel_name);
void pim_config_set_if_present(f_pim_config_if_present present_fn);

// The initial read starts (done false) or was applied (done true): at its end,
// VPNs, interfaces and PIM interface settings it did not bring are removed.
void pim_config_resync(t_pim_daemon *daemon_p, bool done);
