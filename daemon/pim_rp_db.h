// Group-to-RP mappings of a VPN, learned from Auto-RP mapping messages, and the
// VPN's configured (static) RP. Each mapping message replaces every learned
// mapping; the lookup is a longest match of the group against the learned
// ranges, and only a group none of them covers falls back to the static RP.
#pragma once

#include <cstdint>

#include "common/avl.h"
#include "common/ip_util.h"
#include "daemon/pim_defs.h"

struct t_pim_daemon;
struct t_pim_vpn;
struct t_pim_minfo;

enum e_pim_rp_type : uint8_t {
    PIM_RP_TYPE_AUTO_RP = 0,
    PIM_RP_TYPE_STATIC = 1,
};

struct t_pim_rp_db_entry {
    avl_node_t rp_node;
    e_pim_rp_type type;
    t_ipprefix grp_prefix; // as received: host bits are kept
    t_ipaddr rp_addr;
    t_pim_minfo *minfo_p; // the mapping agent's Auto-RP entry (none when static); not owned
    bool stale;
};

// The table starts with the configured static RP in it.
e_pim_status pim_rp_db_init(t_pim_vpn *vpn_p);
void pim_rp_db_destroy(t_pim_vpn *vpn_p);
// Forgets every learned mapping; the static RP stays.
void pim_rp_db_delete_all(t_pim_vpn *vpn_p);
// The static entry follows the VPN's configured RP and group range (none when
// the RP is zero). Nothing while the table does not exist.
void pim_rp_db_static_update(t_pim_vpn *vpn_p);

int pim_rp_db_cmp(const void *a, const void *b);
t_pim_rp_db_entry *pim_rp_db_find(t_pim_vpn *vpn_p, e_pim_rp_type type, const t_ipprefix *prefix,
                                  avl_index_t *where);
t_pim_rp_db_entry *pim_rp_db_find_next(t_pim_vpn *vpn_p, e_pim_rp_type type,
                                       const t_ipprefix *prefix);
// The caller sets rp_addr, minfo_p and stale of a new entry.
t_pim_rp_db_entry *pim_rp_db_find_or_create(t_pim_vpn *vpn_p, t_pim_minfo *minfo_p,
                                            e_pim_rp_type type, const t_ipprefix *prefix,
                                            const t_ipaddr *rp);
void pim_rp_db_delete_entry(t_pim_vpn *vpn_p, t_pim_rp_db_entry *entry_p);
// Drops every mapping learned through the given Auto-RP entry.
void pim_rp_db_delete_minfo(t_pim_vpn *vpn_p, const t_pim_minfo *minfo_p);
t_pim_rp_db_entry *pim_rp_db_find_rp_for_group(t_pim_vpn *vpn_p, const t_ipaddr *group,
                                               t_ipaddr *rp_out);

// Replacement discipline of a mapping message: mark every learned entry stale, apply
// the message's pairs (pim_rp_db_apply_mapping), then sweep what stayed stale.
void pim_rp_db_mark_stale(t_pim_vpn *vpn_p);
// One (RP, range) pair of a mapping message; invalid ranges are skipped.
void pim_rp_db_apply_mapping(t_pim_vpn *vpn_p, t_pim_minfo *minfo_p, const t_ipprefix *range,
                             const t_ipaddr *rp);
void pim_rp_db_delete_stale(t_pim_vpn *vpn_p);

void pim_rp_db_dump(t_pim_daemon *daemon_p, void *user_p, t_pim_dump_out out);
