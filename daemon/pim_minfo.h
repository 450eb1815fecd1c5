// Multicast routing entries. For now the record carries what next-hop
// resolution needs (its key, its next-hop link and the upstream state that
// decides re-evaluation); the routing-entry table and state machines extend it.
#pragma once

#include <cstdint>
#include <sys/queue.h>

#include "common/ip_util.h"
#include "daemon/pim_defs.h"

struct t_pim_next_hop;
struct t_pim_repl;
struct t_pim_vpn;

enum e_pim_upstream_state : uint8_t {
    PIM_UPSTREAM_UNKNOWN = 0,
    PIM_UPSTREAM_NOT_JOINED = 1,
    PIM_UPSTREAM_JOINED = 2,
    PIM_UPSTREAM_NOT_PRUNED = 3,
    PIM_UPSTREAM_PRUNED = 4,
};

// minfo_flags
inline constexpr uint32_t PIM_MINFO_FLAG_NH_CHANGE = 0x1;
// macro_result
inline constexpr uint32_t PIM_MACRO_JOIN_DESIRED = 0x1;
inline constexpr uint32_t PIM_MACRO_RPT_JOIN_DESIRED = 0x2;
inline constexpr uint32_t PIM_MACRO_PRUNE_DESIRED = 0x4;

struct t_pim_minfo {
    e_pim_type type;
    t_ipaddr group;
    t_ipaddr source;
    t_pim_vpn *vpn_p;
    TAILQ_ENTRY(t_pim_minfo) nh_minfo_link;
    t_pim_next_hop *nh_p;
    t_pim_repl *repl_p;
    uint32_t macro_result;
    e_pim_upstream_state upstream_state;
    t_ipaddr received_rp;
    uint32_t minfo_flags;
};

const char *pim_type_string(e_pim_type type);
const char *pim_upstream_state_string(e_pim_upstream_state state);
