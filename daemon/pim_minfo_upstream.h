// Where the upstream side of the routing entries sends its Joins and Prunes:
// the PIM wire on service-side interfaces, the overlay on tunnel interfaces.
// Tests put recorders in its place.
#pragma once

#include "common/ip_util.h"
#include "daemon/pim_defs.h"

struct t_pim_if;
struct t_pim_minfo;

struct t_pim_minfo_tx_ops {
    e_pim_status (*pkt_encode_jp)(t_pim_if *if_p, t_pim_minfo *minfo_p, const t_ipaddr *upstream,
                                  bool prune);
    void (*fab_encode_jp)(t_pim_minfo *minfo_p, const t_ipaddr *upstream, bool join);
};
extern t_pim_minfo_tx_ops g_pim_minfo_tx_ops;
