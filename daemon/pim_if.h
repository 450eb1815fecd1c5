// Interface database of a VPN: local (service-side), tunnel (one per overlay
// site) and IGMP interfaces, their bitmap indexes, administrative and
// operational state, addresses, PIM sockets and Hello timer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/avl.h"
#include "common/ip_util.h"
#include "common/timer.h"
#include "daemon/pim_defs.h"
#include "daemon/pim_vpn.h"

struct event;
struct t_pim_daemon;
struct t_pim_nbr;

enum e_pim_if_type : uint8_t {
    PIM_IF_TYPE_ANY = 0,
    PIM_IF_TYPE_LOCAL = 1,
    PIM_IF_TYPE_TUNNEL = 2,
    PIM_IF_TYPE_IGMP = 3,
};

enum e_pim_if_state : uint8_t {
    PIM_IF_STATE_DOWN = 0,
    PIM_IF_STATE_UP = 1,
};

enum e_pim_if_tree_type : uint8_t {
    PIM_IF_TREE_TYPE_GLOBAL = 0,
    PIM_IF_TREE_TYPE_PIM = 1,
    PIM_IF_TREE_TYPE_INDEX = 2,
};

inline constexpr uint32_t PIM_IF_MAGIC = 48815;      // 0xBEAF
inline constexpr uint32_t PIM_IF_MAGIC_DEAD = 57005; // 0xDEAD

// Bitmap indexes of local and IGMP interfaces are 1..511; tunnel indexes are
// 512 plus a bit number, 513..1023.
inline constexpr uint32_t PIM_IF_IDX_BITS = 512;
inline constexpr uint32_t PIM_IF_TUNNEL_IDX_BASE = 512;
inline constexpr size_t PIM_IF_BITMAP_BYTES = 65;

inline constexpr uint32_t PIM_IF_DEFAULT_HELLO_MS = 30000;
inline constexpr uint32_t PIM_IF_MIN_HELLO_MS = 1000;
inline constexpr uint32_t PIM_IF_DEFAULT_JOIN_MS = 60000;
inline constexpr uint32_t PIM_IF_DEFAULT_PROP_DELAY_MS = 500;
inline constexpr uint32_t PIM_IF_DEFAULT_OVERRIDE_MS = 3000;
inline constexpr uint32_t PIM_IF_DEFAULT_DR_PRIORITY = 1;
inline constexpr uint32_t PIM_IF_DEFAULT_MAX_NBRS = 256;

struct t_pim_bitmap {
    uint8_t bits[PIM_IF_BITMAP_BYTES];
};

struct t_pim_if_config {
    uint32_t dr_priority;
    uint32_t join_interval;  // ms
    uint32_t hello_interval; // ms
    uint32_t holdtime;       // ms
    uint32_t prop_delay;     // ms
    uint32_t override_int;   // ms
    uint32_t max_nbrs;       // Hellos of further new neighbors are dropped
};

struct t_pim_if_addr {
    avl_node_t addr_tree_node;
    t_ipprefix addr;
    // Reported before the route table manager link was lost, not since.
    bool stale;
};

// One per kernel interface that holds a bitmap index; a local and an IGMP
// interface on the same kernel interface share it.
struct t_pim_if_idx {
    avl_node_t if_tree_node;
    avl_node_t bitmap_tree_node;
    int if_idx;
    int bitmap_idx;
    bool pim_config;
    bool igmp_config;
};

struct t_pim_if {
    avl_node_t name_tree_node;
    avl_node_t index_tree_node;
    avl_node_t pim_if_tree_node;
    avl_node_t pim_show_if_tree_node;
    avl_tree_t nbr_db;
    uint32_t magic;
    t_pim_vpn *vpn_p;
    t_pim_daemon *daemon_p;
    event *event_p;
    event *event_auto_rp_p;
    t_timer *hello_timer;
    t_timer *trig_hello_timer; // created by the first triggered Hello
    t_pim_nbr *dr_nbr_p;
    t_pim_nbr *self_nbr_p;
    t_pim_if_config config;
    t_pim_stats stats;
    char if_name[PIM_IF_NAME_LEN];
    char user_name[PIM_IF_NAME_LEN];
    e_pim_if_type pim_if_type;
    e_pim_if_state admin_state;
    e_pim_if_state oper_state;
    t_ipprefix if_addr;
    avl_tree_t if_addr_db;
    uint32_t if_index;
    uint32_t label;
    int sock_fd;
    int sock_auto_rp_fd;
    bool pim_enabled;
    bool pim_configured;
    bool config_exist;
    bool zebra_exist;
    // zebra_exist dates from before the route table manager link was lost.
    bool zebra_stale;
    uint32_t ignore_drpriority;
    uint32_t ignore_lan_delay;
    uint16_t prop_delay;
    uint16_t override_int;
    bool update_ftm;
    bool xg_join;
    uint32_t genid;
    avl_tree_t minfo_db;
};

const char *pim_if_type_str(e_pim_if_type type);
const char *pim_if_state_str(e_pim_if_state state);

// Tables and lookup.
e_pim_status pim_if_db_init(t_pim_vpn *vpn_p);
void pim_if_db_destroy(t_pim_vpn *vpn_p);
t_pim_if *pim_if_find(t_pim_vpn *vpn_p, const char *name, e_pim_if_type type, avl_index_t *where,
                      bool in_pim_db);
t_pim_if *pim_if_find_by_index(t_pim_vpn *vpn_p, uint32_t index, e_pim_if_type type,
                               avl_index_t *where);
t_pim_if *pim_if_get_first(t_pim_vpn *vpn_p);
t_pim_if *pim_if_find_next(t_pim_vpn *vpn_p, const char *name, bool in_pim_db);
void pim_if_index_to_str(t_pim_vpn *vpn_p, uint32_t index, char *buf, size_t size);
t_pim_if *pim_if_tunnel_find(t_pim_vpn *vpn_p, const t_ipaddr *site);
t_pim_if *pim_if_igmp_find(t_pim_vpn *vpn_p, const char *name);

// Creation and deletion.
t_pim_if *pim_if_create(t_pim_vpn *vpn_p, const char *name, e_pim_if_type type, uint32_t index,
                        avl_index_t *where, bool from_config, bool reported);
t_pim_if *pim_if_find_or_create(t_pim_vpn *vpn_p, const char *name, e_pim_if_type type,
                                uint32_t index, bool from_config, bool reported);
void pim_if_find_and_delete(t_pim_vpn *vpn_p, const char *name, e_pim_if_type type,
                            bool from_config, bool reported);
void pim_if_delete(t_pim_vpn *vpn_p, t_pim_if *if_p);
t_pim_if *pim_if_tunnel_create(t_pim_vpn *vpn_p, const t_ipaddr *site, uint32_t label);
void pim_if_tunnel_find_and_delete(t_pim_vpn *vpn_p, const t_ipaddr *site);
void pim_if_tunnel_vpn_delete(t_pim_vpn *vpn_p);
t_pim_if *pim_if_igmp_find_or_create(t_pim_vpn *vpn_p, const char *name, uint32_t index);
void pim_if_igmp_vpn_delete(t_pim_vpn *vpn_p);

// State inputs.
void pim_if_config_update(t_pim_daemon *daemon_p, t_pim_vpn *vpn_p, t_pim_if *if_p,
                          bool configured);
void pim_if_config_update_hello_interval(t_pim_daemon *daemon_p, t_pim_vpn *vpn_p, t_pim_if *if_p,
                                         uint32_t ms);
void pim_if_config_update_jp_interval(t_pim_daemon *daemon_p, t_pim_vpn *vpn_p, t_pim_if *if_p,
                                      uint32_t seconds);
void pim_if_config_update_dr_priority(t_pim_daemon *daemon_p, t_pim_vpn *vpn_p, t_pim_if *if_p,
                                      uint32_t priority);
void pim_if_admin_state(t_pim_if *if_p, bool down);
void pim_if_oper_state(t_pim_if *if_p, bool down);
void pim_if_admin_reset(t_pim_if *if_p);
int pim_if_addr_update(t_pim_daemon *daemon_p, t_pim_vpn *vpn_p, const char *name,
                       e_pim_if_type type, const t_ipprefix *prefix, bool withdrawn);
e_pim_status pim_if_enable(t_pim_if *if_p);
void pim_if_disable(t_pim_if *if_p);
void pim_if_enable_all(t_pim_vpn *vpn_p);
void pim_if_disable_all(t_pim_vpn *vpn_p);
e_pim_status pim_if_disable_pim(t_pim_vpn *vpn_p);
// The management command "pim_if_reset": argv = command, VPN id, user name.
int pim_if_reset(int argc, const char *const *argv);

// Indexes.
e_pim_status pim_if_idx_init(t_pim_vpn *vpn_p);
void pim_if_idx_destroy(t_pim_vpn *vpn_p);
e_pim_status pim_if_tunnel_idx_init(t_pim_vpn *vpn_p);
void pim_if_tunnel_idx_destroy(t_pim_vpn *vpn_p);
uint32_t pim_if_idx_get(t_pim_vpn *vpn_p);
void pim_if_idx_release(t_pim_vpn *vpn_p, uint32_t index);
uint32_t pim_if_tunnel_idx_get(t_pim_vpn *vpn_p);
void pim_if_tunnel_idx_release(t_pim_vpn *vpn_p, uint32_t index);
t_pim_if_idx *pim_if_idx_find(t_pim_vpn *vpn_p, int kernel_idx, avl_index_t *where);
t_pim_if_idx *pim_if_bitmap_idx_find(t_pim_vpn *vpn_p, int bitmap_idx, avl_index_t *where);
t_pim_if_idx *pim_if_idx_find_or_create(t_pim_vpn *vpn_p, int kernel_idx, e_pim_if_type type);
void pim_if_idx_find_and_delete(t_pim_vpn *vpn_p, int index, e_pim_if_type type,
                                bool is_bitmap_idx);
uint32_t pim_if_bitmap_idx_to_if_idx(t_pim_vpn *vpn_p, uint32_t index);
uint32_t pim_if_idx_to_if_bitmap_idx(t_pim_vpn *vpn_p, uint32_t kernel_idx);
void pim_if_update_index(t_pim_if *if_p, uint32_t index);

// Sockets.
e_pim_status pim_if_sock_enable(t_pim_if *if_p);
e_pim_status pim_if_sock_disable(t_pim_if *if_p);
e_pim_status pim_if_mcast_group_add(t_pim_if *if_p);
e_pim_status pim_if_mcast_group_del(t_pim_if *if_p);
e_pim_status pim_if_auto_rp_sock_enable(t_pim_if *if_p);
e_pim_status pim_if_auto_rp_sock_disable(t_pim_if *if_p);
e_pim_status pim_if_auto_rp_mcast_group_add(t_pim_if *if_p);
e_pim_status pim_if_auto_rp_mcast_group_del(t_pim_if *if_p);
void pim_if_read_event_cb(int fd, short events, void *arg);
void pim_if_auto_rp_read_event_cb(int fd, short events, void *arg);

// Timers and start values.
void pim_if_hello_cb(t_timer *timer, void *if_p);
e_pim_status pim_if_init_cfg(t_pim_if *if_p);
void pim_if_tunnel_init(t_pim_if *if_p);
void pim_if_igmp_init(t_pim_if *if_p);

// Local interfaces set up by the daemon's own callers (the configuration code
// and the lab tool): the kernel interface must exist in the VPN's namespace.
// Creates or refreshes the interface with its primary prefix and state.
t_pim_if *pim_if_local_add(t_pim_vpn *vpn_p, const char *name, const t_ipprefix *prefix, bool up);
// Sets the PIM settings of a local interface and turns PIM on.
e_pim_status pim_if_local_set_pim(t_pim_vpn *vpn_p, const char *name, uint32_t hello_s,
                                  uint32_t dr_priority, uint32_t jp_s);

// The debug record that gates the interface's log lines.
inline const t_pim_debug *pim_if_debug(const t_pim_if *if_p) { return pim_vpn_debug(if_p->vpn_p); }
