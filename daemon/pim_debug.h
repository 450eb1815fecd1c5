// Debug switches and the logging macros they gate. Error lines are always
// written; event, ipc and auto-rp lines only when the VPN's switch for that kind
// is on at the line's level, or when no VPN record is at hand.
#pragma once

#include <cstdint>
#include <syslog.h>

#include "common/ip_util.h"

enum e_pim_pkt_dir : uint8_t {
    PIM_PKT_DIR_BOTH = 0,
    PIM_PKT_DIR_IN = 1,
    PIM_PKT_DIR_OUT = 2,
};

inline constexpr unsigned PIM_DEBUG_PKT_TYPES = 9;

enum e_pim_debug_level : uint8_t {
    PIM_DEBUG_LEVEL_OFF = 0,
    PIM_DEBUG_LEVEL_BASIC = 1,
    PIM_DEBUG_LEVEL_DETAIL = 3,
};

struct t_pim_debug {
    bool events;
    uint8_t events_level;
    bool packets;
    bool packet_type[PIM_DEBUG_PKT_TYPES];
    uint8_t packets_dir; // e_pim_pkt_dir
    t_ipaddr peer_ip;
    t_ipaddr group_addr;
    bool ipc;
    uint8_t ipc_level;
    bool auto_rp;
    uint8_t auto_rp_level;
};

inline bool pim_debug_events_on(const t_pim_debug *dbg, uint8_t level)
{
    return dbg == nullptr || (dbg->events && dbg->events_level >= level);
}
inline bool pim_debug_ipc_on(const t_pim_debug *dbg, uint8_t level)
{
    return dbg == nullptr || (dbg->ipc && dbg->ipc_level >= level);
}
inline bool pim_debug_auto_rp_on(const t_pim_debug *dbg, uint8_t level)
{
    return dbg == nullptr || (dbg->auto_rp && dbg->auto_rp_level >= level);
}

#define PIM_LOG(fmt, ...)                                                                          \
    syslog(LOG_LOCAL7 | LOG_DEBUG, "%s[%d]: " fmt, __func__, static_cast<int>(__LINE__),           \
           ##__VA_ARGS__)

// dbg_p is the debug record of the VPN at hand (nullptr when there is none).
#define PIM_LOG_EVENT(dbg_p, level, fmt, ...)                                                      \
    do {                                                                                           \
        if (pim_debug_events_on((dbg_p), (level))) {                                               \
            PIM_LOG(fmt, ##__VA_ARGS__);                                                           \
        }                                                                                          \
    } while (0)

#define PIM_LOG_IPC(dbg_p, level, fmt, ...)                                                        \
    do {                                                                                           \
        if (pim_debug_ipc_on((dbg_p), (level))) {                                                  \
            PIM_LOG(fmt, ##__VA_ARGS__);                                                           \
        }                                                                                          \
    } while (0)

#define PIM_LOG_AUTO_RP(dbg_p, level, fmt, ...)                                                    \
    do {                                                                                           \
        if (pim_debug_auto_rp_on((dbg_p), (level))) {                                              \
            PIM_LOG(fmt, ##__VA_ARGS__);                                                           \
        }                                                                                          \
    } while (0)
