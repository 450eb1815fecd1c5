// The router side of IGMP on one interface: querier election, general and
// group(-and-source)-specific queries, and per-group state (filter mode,
// group timer, source timers, older-version host present timers) driven by
// version 1, 2 and 3 reports. Time is passed in as milliseconds of a
// monotonic clock, so tests step it by hand. What leaves the interface goes
// through t_igmp_if_ops: queries to send and memberships ((*,G) with source
// 0 for a group in EXCLUDE mode, (S,G) for each source of a group in INCLUDE
// mode) as they appear and disappear. Groups of 224.0.0.0/24 are never
// routed and are not tracked.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "tools/igmpd/igmpd_pkt.h"

using t_igmp_ms = int64_t;

struct t_igmp_cfg {
    uint32_t robustness = 2;
    uint32_t query_interval_ms = 125000;
    uint32_t query_resp_ms = 10000;
    uint32_t lmq_interval_ms = 1000;
    uint32_t lmq_count = 2;

    // Derived times.
    t_igmp_ms gmi() const { return t_igmp_ms{robustness} * query_interval_ms + query_resp_ms; }
    t_igmp_ms other_querier() const
    {
        return t_igmp_ms{robustness} * query_interval_ms + query_resp_ms / 2;
    }
    t_igmp_ms older_host() const { return gmi(); }
    t_igmp_ms lmqt() const { return t_igmp_ms{lmq_interval_ms} * lmq_count; }
};

struct t_igmp_if;

struct t_igmp_if_ops {
    // suppress: the S flag, set when the group's (or sources') timers outlast
    // the last member query time, so other routers keep theirs.
    void (*send_query)(t_igmp_if *if_p, uint32_t group, std::span<const uint32_t> sources,
                       uint32_t max_resp_ms, bool suppress);
    void (*membership)(t_igmp_if *if_p, uint32_t group, uint32_t source, bool add);
};

struct t_igmp_group {
    uint32_t group = 0;
    bool exclude = false;
    t_igmp_ms group_timer = 0; // expiry; EXCLUDE mode only
    // Source -> expiry of its timer; 0: not running (EXCLUDE mode's excluded list).
    std::map<uint32_t, t_igmp_ms> sources;
    t_igmp_ms v1_host_until = 0;
    t_igmp_ms v2_host_until = 0;
    // Pending retransmissions of specific queries.
    uint32_t gq_left = 0;
    t_igmp_ms gq_next = 0;
    std::set<uint32_t> sq_sources;
    uint32_t sq_left = 0;
    t_igmp_ms sq_next = 0;
};

struct t_igmp_if_stats {
    uint64_t rx_query = 0;
    uint64_t rx_report_v1 = 0;
    uint64_t rx_report_v2 = 0;
    uint64_t rx_report_v3 = 0;
    uint64_t rx_leave = 0;
    uint64_t rx_ignored = 0; // local groups, leaves and records an older-version host mode ignores
    uint64_t tx_query = 0;
};

struct t_igmp_if {
    t_igmp_cfg cfg;     // in use: a non-querier adopts the querier's robustness and interval
    t_igmp_cfg own_cfg; // ours, taken back when we become the querier again
    const t_igmp_if_ops *ops_p = nullptr;
    void *user_p = nullptr;
    uint32_t addr = 0; // our address on the interface
    bool querier = true;
    t_igmp_ms other_querier_until = 0;
    uint32_t querier_addr = 0;
    t_igmp_ms next_general = 0;
    uint32_t startup_left = 0;
    std::map<uint32_t, t_igmp_group> groups;
    // The earliest group or source timer or pending query; ticks before it
    // skip the groups. Received messages reset it.
    t_igmp_ms groups_due = 0;
    // Memberships announced through ops: (group, source or 0).
    std::set<std::pair<uint32_t, uint32_t>> reported;
    t_igmp_if_stats stats;
};

// Starts as querier: the first general query goes out at the next tick, then
// robustness - 1 more a quarter query interval apart.
void igmp_if_start(t_igmp_if *if_p, uint32_t addr, t_igmp_ms now);
// Withdraws every membership through ops and forgets the groups.
void igmp_if_stop(t_igmp_if *if_p);
void igmp_if_rx(t_igmp_if *if_p, const t_igmp_msg &msg, t_igmp_ms now);
// Runs what is due: queries, timer expiries, membership changes.
void igmp_if_tick(t_igmp_if *if_p, t_igmp_ms now);
// 1, 2 or 3: the oldest host version present for the group.
int igmp_group_compat(const t_igmp_group &g, t_igmp_ms now);
