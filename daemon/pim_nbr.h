// PIM neighbors of an interface: learned from Hellos, timed out by their hold
// timer, restarted on a new generation id; the LAN delay values and the DR
// election follow from them. Tunnel interfaces carry one virtual neighbor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "common/avl.h"
#include "common/ip_util.h"
#include "common/timer.h"
#include "daemon/pim_defs.h"
#include "daemon/pim_pkt_codec.h"

struct t_pim_if;
struct t_pim_vpn;

inline constexpr uint32_t PIM_NBR_FLAG_CLEANUP = 0x1;
inline constexpr uint32_t PIM_NBR_FLAG_TUNNEL = 0x2;
inline constexpr size_t PIM_NBR_STR_LEN = 128;

struct t_pim_nbr {
    avl_node_t nbr_tree_node;
    t_ipaddr nbr_addr;
    t_pim_if *if_p;
    char nbr_str[PIM_NBR_STR_LEN];
    bool nbr_init_done;
    uint32_t gen_id;
    uint32_t hold_time; // ms; 0 goodbye; 65535 never expires
    uint32_t nbr_flags;
    uint32_t dr_priority;
    uint16_t prop_delay;
    uint16_t override_interval;
    bool t_bit;
    t_timer *hold_timer;
    time_t up_time;
    // Which options the last Hello carried: an absent one is not a value of 0.
    bool has_dr_priority;
    bool has_gen_id;
    bool has_lan_delay;
    uint8_t num_secondary;
    t_ipaddr secondary[PIM_HELLO_MAX_SECONDARY];
};

// What one Hello announced; holdtime in ms (65535 never expires, 0 goodbye).
struct t_pim_nbr_hello {
    uint32_t holdtime;
    uint32_t dr_priority;
    uint32_t gen_id;
    uint16_t prop_delay;
    uint16_t override_int;
    bool t_bit;
    bool has_dr_priority;
    bool has_gen_id;
    bool has_lan_delay;
    uint8_t num_secondary;
    t_ipaddr secondary[PIM_HELLO_MAX_SECONDARY];
};

// Longest wait before a Hello triggered by a new or restarted neighbor.
inline constexpr uint32_t PIM_NBR_TRIGGERED_HELLO_MS = 5000;

enum e_pim_nbr_cleanup : uint8_t {
    PIM_NBR_CLEANUP_UNKNOWN = 0,
    PIM_NBR_CLEANUP_GENID = 1,
    PIM_NBR_CLEANUP_ZERO_HOLDTIME = 2,
    PIM_NBR_CLEANUP_HOLDTIME_EXP = 3,
    PIM_NBR_CLEANUP_IF_DISABLE = 4,
    PIM_NBR_CLEANUP_CLEAR = 5,
};

const char *pim_nbr_cleanup_str(e_pim_nbr_cleanup reason);

int pim_nbr_cmp(const void *a, const void *b);

// Handles one valid Hello.
e_pim_status pim_nbr_process_hello_rec(t_pim_if *if_p, const t_ipaddr *src,
                                       const t_pim_nbr_hello &h);
// The same for a Hello that carried every option we send.
e_pim_status pim_nbr_process_hello(t_pim_if *if_p, const t_ipaddr *src, uint32_t holdtime,
                                   uint32_t dr_priority, uint32_t gen_id, uint16_t prop_delay,
                                   uint16_t override_int);
// The neighbor of the interface whose primary or secondary address is addr.
t_pim_nbr *pim_nbr_find_any(t_pim_if *if_p, const t_ipaddr *addr);
// False when every neighbor announced the T bit: Joins are then not suppressed.
bool pim_nbr_suppression_enabled(t_pim_if *if_p);
// Sends a Hello after a random delay up to PIM_NBR_TRIGGERED_HELLO_MS, once
// for all triggers within that delay.
void pim_nbr_trigger_hello(t_pim_if *if_p);
void pim_nbr_triggered_hello_cb(t_timer *timer, void *if_p);
// Random wait in [0, max_ms].
uint32_t pim_nbr_rand_ms(uint32_t max_ms);
t_pim_nbr *pim_nbr_find(t_pim_if *if_p, const t_ipaddr *addr, avl_index_t *where);
t_pim_nbr *pim_nbr_get_first(t_pim_if *if_p);
t_pim_nbr *pim_nbr_get_next(t_pim_if *if_p, const t_ipaddr *addr);
t_pim_nbr *pim_nbr_vpn_find(t_pim_vpn *vpn_p, const t_ipaddr *addr);
t_pim_nbr *pim_nbr_add(t_pim_if *if_p, const t_ipaddr *addr, avl_index_t *where, bool tunnel);
t_pim_nbr *pim_nbr_find_or_create(t_pim_if *if_p, const t_ipaddr *addr, bool tunnel);
int pim_nbr_init(t_pim_if *if_p, t_pim_nbr *nbr_p);
e_pim_status pim_nbr_delete(t_pim_nbr *nbr_p, e_pim_nbr_cleanup reason);
void pim_nbr_cleanup(t_pim_nbr *nbr_p, e_pim_nbr_cleanup reason);
void pim_nbr_if_cleanup(t_pim_if *if_p);
void pim_nbr_elect_dr(t_pim_if *if_p);
void pim_nbr_recalculate_prop_delay(t_pim_if *if_p);
void pim_nbr_hold_timer_cb(t_timer *timer, void *nbr_p);
t_pim_nbr *pim_nbr_tunnel_find_or_create(t_pim_if *if_p, const t_ipaddr *site);
void pim_nbr_tunnel_init(t_pim_nbr *nbr_p);
t_pim_nbr *pim_nbr_tunnel_find(t_pim_vpn *vpn_p, const t_ipaddr *site);
void pim_nbr_get_flags_str(const t_pim_nbr *nbr_p, char *buf, size_t size);
