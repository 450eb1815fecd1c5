// The machinery shared by the files that serve operational tables: one row
// under construction, key reading, the VPNs that have rows, and the walk over
// them that every table's lookup is built on.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/avl.h"
#include "common/ip_util.h"
#include "common/zul_assert.h"
#include "daemon/pim_show.h"
#include "daemon/pim_vpn.h"
#include "zconfd/zconfd.h"

struct t_pim_daemon;

// Leaf names of the operational schema used by more than one table.
inline constexpr uint32_t PIM_SHOW_TAG_VPN_ID = zconfd_tag("vpn-id");
inline constexpr uint32_t PIM_SHOW_TAG_IF_NAME = zconfd_tag("if-name");
inline constexpr uint32_t PIM_SHOW_TAG_UP_TIME = zconfd_tag("up-time");
inline constexpr uint32_t PIM_SHOW_TAG_EXPIRES = zconfd_tag("expires");
inline constexpr uint32_t PIM_SHOW_TAG_INDEX = zconfd_tag("index");
inline constexpr uint32_t PIM_SHOW_TAG_TUNNEL_ADDRESS = zconfd_tag("tunnel-address");
inline constexpr uint32_t PIM_SHOW_TAG_RP_ADDRESS = zconfd_tag("rp-address");
inline constexpr uint32_t PIM_SHOW_TAG_FLAGS = zconfd_tag("flags");

// Texts of one row; every row reuses them, and each reply is sent before the
// callback returns.
extern char g_show_up_time[64];
extern char g_show_expiry[64];

enum e_show_find : uint8_t {
    SHOW_FIND_EXACT,
    SHOW_FIND_SAME_OR_NEXT,
    SHOW_FIND_NEXT,
};

struct t_show_row {
    std::array<t_zconfd_value, PIM_SHOW_MAX_VALUES> vals;
    int num = 0;

    void add(const t_zconfd_value &val)
    {
        ZUL_ASSERT(num < PIM_SHOW_MAX_VALUES);
        vals[static_cast<size_t>(num++)] = val;
    }
    void add_u32(uint32_t tag, uint64_t value)
    {
        add(zconfd_val_uint(tag, ZCONFD_VT_UINT32, value));
    }
};

// Finds the row at the keys (exact), at or after them, or after them, and
// encodes it. Missing trailing keys select the first row under the given ones.
using f_show_locate = bool (*)(t_pim_daemon *daemon_p, const t_zconfd_value *keys, int num_keys,
                               e_show_find mode, t_show_row *row);

// The two topology tables, served from their own file.
bool pim_show_topo_locate(t_pim_daemon *daemon_p, const t_zconfd_value *keys, int num_keys,
                          e_show_find mode, t_show_row *row);
bool pim_show_topo_oil_locate(t_pim_daemon *daemon_p, const t_zconfd_value *keys, int num_keys,
                              e_show_find mode, t_show_row *row);

// Keys: false when the key has another type than the table's.
bool pim_show_key_u64(const t_zconfd_value *key, uint64_t *out);
bool pim_show_key_addr(const t_zconfd_value *key, t_ipaddr *out);

// A table of a subsystem that has not started has no rows.
bool pim_show_tree_ready(const avl_tree_t *tree);

// The VPNs with rows: PIM enabled and an id other than 0.
t_pim_vpn *pim_show_vpn_find_first(t_pim_daemon *daemon_p);
t_pim_vpn *pim_show_vpn_find(t_pim_daemon *daemon_p, uint64_t vpn_id);
t_pim_vpn *pim_show_vpn_find_next(t_pim_daemon *daemon_p, uint64_t vpn_id);

// The common walk over VPNs. in_vpn answers the first row of a VPN at or
// after the keys that follow the VPN id (none: the VPN's first row).
template <typename F>
bool pim_show_locate_in_vpns(t_pim_daemon *daemon_p, const t_zconfd_value *keys, int num_keys,
                             e_show_find mode, F in_vpn)
{
    uint64_t vpn_id = 0;
    if (num_keys == 0 && mode == SHOW_FIND_EXACT) {
        return false;
    }
    if (num_keys == 0) {
        for (t_pim_vpn *vpn_p = pim_show_vpn_find_first(daemon_p); vpn_p != nullptr;
             vpn_p = pim_show_vpn_find_next(daemon_p, vpn_p->vpn_id)) {
            if (in_vpn(vpn_p, nullptr, 0, SHOW_FIND_SAME_OR_NEXT)) {
                return true;
            }
        }
        return false;
    }
    if (!pim_show_key_u64(&keys[0], &vpn_id)) {
        return false;
    }
    t_pim_vpn *vpn_p = pim_show_vpn_find(daemon_p, vpn_id);
    if (vpn_p != nullptr && in_vpn(vpn_p, keys + 1, num_keys - 1, mode)) {
        return true;
    }
    if (mode == SHOW_FIND_EXACT) {
        return false;
    }
    for (vpn_p = pim_show_vpn_find_next(daemon_p, vpn_id); vpn_p != nullptr;
         vpn_p = pim_show_vpn_find_next(daemon_p, vpn_p->vpn_id)) {
        if (in_vpn(vpn_p, nullptr, 0, SHOW_FIND_SAME_OR_NEXT)) {
            return true;
        }
    }
    return false;
}

// The per-VPN step of a table whose rows hang directly off the VPN: an exact
// request must carry all of the row's own keys; the row found is encoded.
template <typename At, typename Encode>
bool pim_show_locate_rows(t_pim_daemon *daemon_p, const t_zconfd_value *keys, int num_keys,
                          e_show_find mode, int row_keys, At at, Encode encode)
{
    return pim_show_locate_in_vpns(
        daemon_p, keys, num_keys, mode,
        [&](t_pim_vpn *vpn_p, const t_zconfd_value *rest, int num_rest, e_show_find m) {
            if (m == SHOW_FIND_EXACT && num_rest != row_keys) {
                return false;
            }
            auto *rec_p = at(vpn_p, rest, num_rest, m);
            if (rec_p == nullptr) {
                return false;
            }
            encode(vpn_p, rec_p);
            return true;
        });
}
