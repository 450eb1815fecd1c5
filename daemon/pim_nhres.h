// Next-hop resolution: per VPN one record per address that routing entries
// use as RPF target, with the entries that depend on it. Records are
// registered with the route table manager, which answers with the unicast next
// hops; every change of a resolution, of the connection, of the neighbors or of
// the replicators re-evaluates the dependent entries.
#pragma once

#include <cstdint>
#include <span>
#include <sys/queue.h>

#include "common/avl.h"
#include "common/ip_util.h"
#include "daemon/pim_defs.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_rp_db.h"

struct t_pim_daemon;
struct t_pim_nbr;
struct t_pim_vpn;

inline constexpr int PIM_MAX_NEXT_HOPS = 16;
// The route table manager's owner id of directly connected routes.
inline constexpr int PIM_ROUTE_TYPE_CONNECT = 3;

enum e_pim_nh_type : uint8_t {
    E_PIM_NHTYPE_SERVICE = 0,
    E_PIM_NHTYPE_FAB = 1,
};

// Every record holds one: ordered to leave no padding.
struct t_pim_nh_info {
    t_ipaddr nh_addr;  // zero: the target is on the interface's subnet
    uint16_t if_index; // bitmap index (below PIM_ILIST_BITS), not the kernel's
    e_pim_nh_type nh_type;
    uint32_t color;
    uint32_t encap;
    uint32_t weight;
    uint64_t src_vpn; // 0: any VPN
};

TAILQ_HEAD(t_pim_minfo_list, t_pim_minfo);

// One per RPF target in use, so small: Auto-RP entries share the list of the
// others (their type tells them apart), and the first slot shares its place
// with the pointer to more.
struct t_pim_next_hop {
    avl_node_t tree_node;
    t_ipaddr nh_addr;
    t_pim_minfo_list minfo_list;
    int ref_count;
    int metric;
    int preference;
    uint8_t num_nh;     // 0: unresolved; at most PIM_MAX_NEXT_HOPS
    uint8_t route_type; // owner id of the route
    // Slots held: sized to the last resolution, so most records hold one, in
    // place; more are an allocation. Stale slots stay while the record is
    // unresolved after a lost link.
    uint8_t nh_info_len;
    union {
        t_pim_nh_info one;
        t_pim_nh_info *many;
    } slots;
};

// What re-evaluating an entry does, supplied by the upstream state machines
// and Auto-RP. Tests put recorders in its place.
struct t_pim_nhres_ops {
    void (*process_join_desired)(t_pim_minfo *minfo_p);
    void (*process_prune_desired)(t_pim_minfo *minfo_p);
    void (*auto_rp_update_minfo)(t_pim_minfo *minfo_p);
};
extern t_pim_nhres_ops g_pim_nhres_ops;

e_pim_status pim_nhres_db_init(t_pim_vpn *vpn_p);
void pim_nhres_db_destroy(t_pim_vpn *vpn_p);
int pim_nhres_cmp(const void *a, const void *b);
t_pim_next_hop *pim_nhres_find(t_pim_vpn *vpn_p, const t_ipaddr *addr, avl_index_t *where);
t_pim_next_hop *pim_nhres_find_next(t_pim_vpn *vpn_p, const t_ipaddr *addr);
t_pim_next_hop *pim_nhres_find_or_create(t_pim_vpn *vpn_p, const t_ipaddr *addr);
void pim_nhres_delete(t_pim_vpn *vpn_p, t_pim_next_hop *nh_p);
// Replaces the record's next hops (at most PIM_MAX_NEXT_HOPS are kept); false,
// with the record left unresolved, when memory runs out.
bool pim_nhres_set_hops(t_pim_next_hop *nh_p, std::span<const t_pim_nh_info> hops);
// The record's slots, the first num_nh of them in use.
t_pim_nh_info *pim_nhres_hops(t_pim_next_hop *nh_p);
const t_pim_nh_info *pim_nhres_hops(const t_pim_next_hop *nh_p);

int pim_nhres_link_minfo(t_pim_vpn *vpn_p, t_pim_minfo *minfo_p, const t_ipaddr *addr);
int pim_nhres_unlink_minfo(t_pim_vpn *vpn_p, t_pim_minfo *minfo_p);

void pim_nhres_update_minfo(t_pim_minfo *minfo_p);
void pim_nhres_update_minfo_all(t_pim_vpn *vpn_p, t_pim_next_hop *nh_p, bool force);
void pim_nhres_auto_rp_update_minfo_all(t_pim_vpn *vpn_p, t_pim_next_hop *nh_p, bool force);
// Both walks over the record of addr, forced: after a resolution changed. The
// record may disappear during the first walk.
void pim_nhres_update_addr(t_pim_vpn *vpn_p, const t_ipaddr *addr);
void pim_nhres_update_minfo_repl(t_pim_vpn *vpn_p);
void pim_nhres_update_minfo_ad(t_pim_vpn *vpn_p, const t_ipaddr *addr);
void pim_nhres_conn_up(t_pim_vpn *vpn_p);
void pim_nhres_conn_down(t_pim_vpn *vpn_p);
void pim_nhres_new_nbr_update_minfo(t_pim_vpn *vpn_p, const t_ipaddr *nbr_addr, bool auto_rp);

void pim_nhres_dump(t_pim_daemon *daemon_p, void *user_p, t_pim_dump_out out);

// RPF neighbor selection over a record: a service-side neighbor always wins
// over an overlay one, the highest service neighbor address among several;
// without one the last next hop examined decides.
t_pim_nbr *pim_minfo_find_rpf_nbr(t_pim_vpn *vpn_p, t_pim_minfo *minfo_p, t_ipaddr *target_p);
t_pim_nbr *pim_minfo_find_service_nbr(t_pim_vpn *vpn_p, t_pim_minfo *minfo_p,
                                      const t_pim_nh_info *nh_p, const t_ipaddr *target_p);
t_pim_nbr *pim_minfo_find_tunnel_nbr(t_pim_vpn *vpn_p, t_pim_minfo *minfo_p,
                                     const t_pim_nh_info *nh_p);
// The interface of a directly connected source, or -1.
int pim_minfo_find_direct_source_if(t_pim_vpn *vpn_p, const t_ipaddr *source);
