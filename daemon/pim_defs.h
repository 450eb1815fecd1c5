// Types shared by every area of the daemon.
#pragma once

#include <cstdint>

enum [[nodiscard]] e_pim_status : uint8_t{
    PIM_STATUS_OK = 0,
    PIM_STATUS_FAIL = 1,
    PIM_STATUS_MEM_FAIL = 2,
    PIM_STATUS_BAD_MSG = 3,
    PIM_STATUS_LIBEVENT_FAIL = 4,
    PIM_STATUS_MSG_SEND_FAIL = 5,
    PIM_STATUS_SOCKET_FAIL = 6,
    PIM_STATUS_KERNEL_FAIL = 7,
    PIM_STATUS_INIT_FAIL = 8,
    PIM_STATUS_NO_NBR = 9,
    PIM_STATUS_BITMAP_ALLOC_FAIL = 10,
};

// Routing entry types.
enum e_pim_type : uint8_t {
    PIM_TYPE_INVALID = 0,
    PIM_TYPE_XXG = 1,
    PIM_TYPE_XG = 2,
    PIM_TYPE_SG = 3,
    PIM_TYPE_SG_RPT = 4,
    PIM_TYPE_AUTO_RP = 5,
    PIM_TYPE_SA = 6,
    PIM_TYPE_MAX = 7,
};

struct t_pim_pkt_stats_rx {
    uint64_t all_pkts;
    uint32_t bad_pkts;
    uint32_t unsupported_pkts;
    uint32_t unknown_pkts;
    uint32_t hello_pkts;
    uint32_t jp_pkts;
    uint32_t assert_pkts;
    uint32_t auto_rp_pkts;
    uint32_t auto_rp_mapping_pkts;
    uint32_t auto_rp_announce_pkts;
    uint32_t auto_rp_unknown_pkts;
    uint32_t wrong_subnet_pkts;
    uint32_t xg_sgrpt_pkts;
    uint32_t jp_not_for_us_pkts; // Join/Prunes to another router on the LAN
    uint32_t nbr_limit_pkts;     // Hellos of new neighbors past the interface's limit
    uint32_t bad_addr_records;   // Join/Prune records refused for their encoded addresses
};

struct t_pim_pkt_stats_tx {
    uint64_t all_pkts;
    uint32_t failed_pkts;
    uint32_t hello_pkts;
    uint32_t jp_pkts;
    uint32_t assert_pkts;
    uint32_t auto_rp_pkts;
    uint32_t auto_rp_failed_pkts;
};

// Packet counters, kept for the process, each VPN and each interface.
struct t_pim_stats {
    t_pim_pkt_stats_rx pkt_stats_rx;
    t_pim_pkt_stats_tx pkt_stats_tx;
};

// Receives the debug dump text piece by piece.
using t_pim_dump_out = void (*)(void *user_p, const char *text);

// Our number in the system-wide module table.
inline constexpr unsigned PIM_MODULE_ID = 16;
// VPNs that never run PIM and have no loopback tunnel interface.
inline constexpr uint64_t PIM_VPN_ID_TRANSPORT = 512;
inline constexpr uint64_t PIM_VPN_ID_RESERVED = 65529;
