// Group state per RFC 3376 section 6.4 (reports), 6.6 (queries and timers)
// and 7.3 (older host versions); the querier election of RFC 2236 and 3376.
#include "tools/igmpd/igmpd_group.h"

#include <algorithm>
#include <cstdint>

namespace
{

bool is_local_group(uint32_t g) { return (g & 0xffffff00) == 0xe0000000; }

void sync_membership(t_igmp_if *if_p, uint32_t group)
{
    std::set<std::pair<uint32_t, uint32_t>> want;
    auto it = if_p->groups.find(group);
    if (it != if_p->groups.end()) {
        const t_igmp_group &g = it->second;
        if (g.exclude) {
            want.emplace(group, 0);
        } else {
            for (const auto &[src, expiry] : g.sources) {
                want.emplace(group, src);
            }
        }
    }
    auto lo = if_p->reported.lower_bound({group, 0});
    for (auto r = lo; r != if_p->reported.end() && r->first == group;) {
        if (want.count(*r) == 0) {
            uint32_t src = r->second;
            r = if_p->reported.erase(r);
            if_p->ops_p->membership(if_p, group, src, false);
        } else {
            ++r;
        }
    }
    for (const auto &m : want) {
        if (if_p->reported.insert(m).second) {
            if_p->ops_p->membership(if_p, group, m.second, true);
        }
    }
}

void send_query(t_igmp_if *if_p, uint32_t group, std::span<const uint32_t> sources,
                uint32_t max_resp_ms, bool suppress = false)
{
    if_p->stats.tx_query++;
    if_p->ops_p->send_query(if_p, group, sources, max_resp_ms, suppress);
}

// Q(G) with the S flag when a report refreshed the group timer meanwhile.
void send_group_query(t_igmp_if *if_p, const t_igmp_group &g, t_igmp_ms now)
{
    bool suppress = g.exclude && g.group_timer > now + if_p->cfg.lmqt();
    send_query(if_p, g.group, {}, if_p->cfg.lmq_interval_ms, suppress);
}

// Q(G,S) split in two: sources whose timers outlast the last member query
// time (refreshed meanwhile) with the S flag, the others without.
void send_source_query(t_igmp_if *if_p, const t_igmp_group &g, const std::set<uint32_t> &srcs,
                       t_igmp_ms now)
{
    std::vector<uint32_t> longer;
    std::vector<uint32_t> shorter;
    for (uint32_t s : srcs) {
        auto it = g.sources.find(s);
        bool refreshed = it != g.sources.end() && it->second > now + if_p->cfg.lmqt();
        (refreshed ? longer : shorter).push_back(s);
    }
    if (!longer.empty()) {
        send_query(if_p, g.group, longer, if_p->cfg.lmq_interval_ms, true);
    }
    if (!shorter.empty()) {
        send_query(if_p, g.group, shorter, if_p->cfg.lmq_interval_ms, false);
    }
}

// "Send Q(G)": the group timer lowered to the last member query time, and
// last-member-query-count queries one interval apart.
void query_group(t_igmp_if *if_p, t_igmp_group &g, t_igmp_ms now)
{
    if (!if_p->querier) {
        return;
    }
    if (g.exclude && g.group_timer > now + if_p->cfg.lmqt()) {
        g.group_timer = now + if_p->cfg.lmqt();
    }
    send_group_query(if_p, g, now);
    g.gq_left = if_p->cfg.lmq_count - 1;
    g.gq_next = now + if_p->cfg.lmq_interval_ms;
}

// "Send Q(G,S)": the sources' timers lowered likewise.
void query_sources(t_igmp_if *if_p, t_igmp_group &g, const std::vector<uint32_t> &srcs,
                   t_igmp_ms now)
{
    if (!if_p->querier || srcs.empty()) {
        return;
    }
    for (uint32_t s : srcs) {
        auto it = g.sources.find(s);
        if (it != g.sources.end() && it->second > now + if_p->cfg.lmqt()) {
            it->second = now + if_p->cfg.lmqt();
        }
        g.sq_sources.insert(s);
    }
    send_source_query(if_p, g, std::set<uint32_t>(srcs.begin(), srcs.end()), now);
    g.sq_left = if_p->cfg.lmq_count - 1;
    g.sq_next = now + if_p->cfg.lmq_interval_ms;
}

bool has(const std::vector<uint32_t> &v, uint32_t s)
{
    return std::find(v.begin(), v.end(), s) != v.end();
}

// One group record against the group's state (RFC 3376 6.4.1 and 6.4.2).
void apply_record(t_igmp_if *if_p, t_igmp_group &g, e_igmp_rec_type type,
                  const std::vector<uint32_t> &b, t_igmp_ms now)
{
    const t_igmp_ms gmi = now + if_p->cfg.gmi();
    std::vector<uint32_t> q;
    if (!g.exclude) {
        switch (type) {
        case IGMP_REC_IS_IN:
        case IGMP_REC_ALLOW:
            for (uint32_t s : b) {
                g.sources[s] = gmi;
            }
            break;
        case IGMP_REC_BLOCK:
            for (uint32_t s : b) {
                if (g.sources.count(s) != 0) {
                    q.push_back(s);
                }
            }
            query_sources(if_p, g, q, now);
            break;
        case IGMP_REC_TO_IN:
            for (const auto &[s, t] : g.sources) {
                if (!has(b, s)) {
                    q.push_back(s);
                }
            }
            for (uint32_t s : b) {
                g.sources[s] = gmi;
            }
            query_sources(if_p, g, q, now);
            break;
        case IGMP_REC_IS_EX:
        case IGMP_REC_TO_EX: {
            std::map<uint32_t, t_igmp_ms> next;
            for (uint32_t s : b) {
                auto it = g.sources.find(s);
                next[s] = it != g.sources.end() ? it->second : 0;
                if (it != g.sources.end()) {
                    q.push_back(s);
                }
            }
            g.sources = std::move(next);
            g.exclude = true;
            g.group_timer = gmi;
            if (type == IGMP_REC_TO_EX) {
                query_sources(if_p, g, q, now);
            }
            break;
        }
        }
        return;
    }
    switch (type) {
    case IGMP_REC_IS_IN:
    case IGMP_REC_ALLOW:
        for (uint32_t s : b) {
            g.sources[s] = gmi;
        }
        break;
    case IGMP_REC_TO_IN:
        for (const auto &[s, t] : g.sources) {
            if (t != 0 && !has(b, s)) {
                q.push_back(s);
            }
        }
        for (uint32_t s : b) {
            g.sources[s] = gmi;
        }
        query_sources(if_p, g, q, now);
        query_group(if_p, g, now);
        break;
    case IGMP_REC_BLOCK:
        for (uint32_t s : b) {
            auto [it, added] = g.sources.emplace(s, g.group_timer);
            if (it->second != 0) {
                q.push_back(s);
            }
        }
        query_sources(if_p, g, q, now);
        break;
    case IGMP_REC_IS_EX:
    case IGMP_REC_TO_EX: {
        std::map<uint32_t, t_igmp_ms> next;
        for (uint32_t s : b) {
            auto it = g.sources.find(s);
            t_igmp_ms t =
                it != g.sources.end() ? it->second : (type == IGMP_REC_IS_EX ? gmi : g.group_timer);
            next[s] = t;
            if (t != 0) {
                q.push_back(s);
            }
        }
        g.sources = std::move(next);
        g.group_timer = gmi;
        if (type == IGMP_REC_TO_EX) {
            query_sources(if_p, g, q, now);
        }
        break;
    }
    }
}

void rx_record(t_igmp_if *if_p, e_igmp_rec_type type, uint32_t group,
               const std::vector<uint32_t> &sources, t_igmp_ms now)
{
    if (is_local_group(group)) {
        if_p->stats.rx_ignored++;
        return;
    }
    auto found = if_p->groups.find(group);
    int compat = found != if_p->groups.end() ? igmp_group_compat(found->second, now) : 3;
    // Older hosts cannot filter sources: their mode ignores blocks and source lists.
    static const std::vector<uint32_t> none;
    const std::vector<uint32_t> *b = &sources;
    if (compat < 3) {
        if (type == IGMP_REC_BLOCK) {
            if_p->stats.rx_ignored++;
            return;
        }
        if (type == IGMP_REC_TO_EX) {
            b = &none;
        }
    }
    if (found == if_p->groups.end()) {
        // INCLUDE({}) stays so for blocks and for empty include lists.
        bool exclude = type == IGMP_REC_IS_EX || type == IGMP_REC_TO_EX;
        if (type == IGMP_REC_BLOCK || (!exclude && sources.empty())) {
            return;
        }
        found = if_p->groups.emplace(group, t_igmp_group{}).first;
        found->second.group = group;
    }
    apply_record(if_p, found->second, type, *b, now);
    sync_membership(if_p, group);
}

void rx_query(t_igmp_if *if_p, const t_igmp_msg &msg, t_igmp_ms now)
{
    if_p->stats.rx_query++;
    if (msg.src == 0 || msg.src == if_p->addr) {
        return;
    }
    if (msg.src < if_p->addr) {
        if_p->querier = false;
        if_p->querier_addr = msg.src;
        // The querier's robustness and interval rule the link (0: not told).
        if (msg.version == 3 && msg.qrv != 0) {
            if_p->cfg.robustness = msg.qrv;
            if_p->cfg.lmq_count = msg.qrv;
        }
        if (msg.version == 3 && msg.qqi_s != 0) {
            if_p->cfg.query_interval_ms = msg.qqi_s * 1000;
        }
        if_p->other_querier_until = now + if_p->cfg.other_querier();
    }
    // A non-querier follows the querier's specific queries (unless told not to).
    if (if_p->querier || msg.group == 0 || msg.suppress) {
        return;
    }
    auto it = if_p->groups.find(msg.group);
    if (it == if_p->groups.end()) {
        return;
    }
    t_igmp_group &g = it->second;
    t_igmp_ms low = now + if_p->cfg.lmqt();
    if (msg.sources.empty()) {
        if (g.exclude && g.group_timer > low) {
            g.group_timer = low;
        }
        return;
    }
    for (uint32_t s : msg.sources) {
        auto src = g.sources.find(s);
        if (src != g.sources.end() && src->second > low) {
            src->second = low;
        }
    }
}

// Timer expiries of one group (RFC 3376 6.5); true when its memberships may
// have changed.
bool expire_group(t_igmp_if *if_p, t_igmp_group &g, t_igmp_ms now)
{
    bool changed = false;
    // Retransmissions fall due whether or not we are still the querier.
    if (g.gq_left > 0 && now >= g.gq_next) {
        if (if_p->querier) {
            send_group_query(if_p, g, now);
        }
        g.gq_left--;
        g.gq_next = now + if_p->cfg.lmq_interval_ms;
    }
    if (g.sq_left > 0 && now >= g.sq_next) {
        if (if_p->querier) {
            send_source_query(if_p, g, g.sq_sources, now);
        }
        g.sq_left--;
        g.sq_next = now + if_p->cfg.lmq_interval_ms;
    }
    if (g.sq_left == 0) {
        g.sq_sources.clear();
    }
    for (auto it = g.sources.begin(); it != g.sources.end();) {
        if (it->second != 0 && it->second <= now) {
            changed = true;
            if (g.exclude) {
                it->second = 0;
            } else {
                it = g.sources.erase(it);
                continue;
            }
        }
        ++it;
    }
    if (g.exclude && g.group_timer <= now) {
        g.exclude = false;
        std::erase_if(g.sources, [](const auto &s) { return s.second == 0; });
        changed = true;
    }
    return changed;
}

t_igmp_ms group_due(const t_igmp_group &g)
{
    t_igmp_ms due = INT64_MAX;
    if (g.exclude) {
        due = g.group_timer;
    }
    for (const auto &[src, expiry] : g.sources) {
        if (expiry != 0) {
            due = std::min(due, expiry);
        }
    }
    if (g.gq_left > 0) {
        due = std::min(due, g.gq_next);
    }
    if (g.sq_left > 0) {
        due = std::min(due, g.sq_next);
    }
    return due;
}

} // namespace

int igmp_group_compat(const t_igmp_group &g, t_igmp_ms now)
{
    if (g.v1_host_until > now) {
        return 1;
    }
    return g.v2_host_until > now ? 2 : 3;
}

void igmp_if_start(t_igmp_if *if_p, uint32_t addr, t_igmp_ms now)
{
    if_p->addr = addr;
    if_p->own_cfg = if_p->cfg;
    if_p->querier = true;
    if_p->querier_addr = addr;
    if_p->next_general = now;
    if_p->startup_left = if_p->cfg.robustness;
}

void igmp_if_stop(t_igmp_if *if_p)
{
    if_p->groups.clear();
    auto reported = std::move(if_p->reported);
    if_p->reported.clear();
    for (const auto &[group, src] : reported) {
        if_p->ops_p->membership(if_p, group, src, false);
    }
}

void igmp_if_rx(t_igmp_if *if_p, const t_igmp_msg &msg, t_igmp_ms now)
{
    if_p->groups_due = 0;
    switch (msg.type) {
    case IGMP_TYPE_QUERY:
        rx_query(if_p, msg, now);
        return;
    case IGMP_TYPE_V1_REPORT:
    case IGMP_TYPE_V2_REPORT: {
        bool v1 = msg.type == IGMP_TYPE_V1_REPORT;
        (v1 ? if_p->stats.rx_report_v1 : if_p->stats.rx_report_v2)++;
        rx_record(if_p, IGMP_REC_IS_EX, msg.group, {}, now);
        auto it = if_p->groups.find(msg.group);
        if (it != if_p->groups.end()) {
            (v1 ? it->second.v1_host_until : it->second.v2_host_until) =
                now + if_p->cfg.older_host();
        }
        return;
    }
    case IGMP_TYPE_V2_LEAVE: {
        if_p->stats.rx_leave++;
        auto it = if_p->groups.find(msg.group);
        if (it != if_p->groups.end() && igmp_group_compat(it->second, now) == 1) {
            if_p->stats.rx_ignored++;
            return;
        }
        rx_record(if_p, IGMP_REC_TO_IN, msg.group, {}, now);
        return;
    }
    case IGMP_TYPE_V3_REPORT:
        if_p->stats.rx_report_v3++;
        for (const t_igmp_record &rec : msg.records) {
            rx_record(if_p, rec.type, rec.group, rec.sources, now);
        }
        return;
    default:
        return;
    }
}

void igmp_if_tick(t_igmp_if *if_p, t_igmp_ms now)
{
    if (!if_p->querier && now >= if_p->other_querier_until) {
        if_p->cfg = if_p->own_cfg;
        if_p->querier = true;
        if_p->querier_addr = if_p->addr;
        if_p->next_general = now;
    }
    if (if_p->querier && now >= if_p->next_general) {
        send_query(if_p, 0, {}, if_p->cfg.query_resp_ms);
        bool startup = if_p->startup_left > 1;
        if (if_p->startup_left > 0) {
            if_p->startup_left--;
        }
        if_p->next_general =
            now + (startup ? if_p->cfg.query_interval_ms / 4 : if_p->cfg.query_interval_ms);
    }
    if (now < if_p->groups_due) {
        return;
    }
    t_igmp_ms due = INT64_MAX;
    for (auto it = if_p->groups.begin(); it != if_p->groups.end();) {
        uint32_t group = it->first;
        bool changed = expire_group(if_p, it->second, now);
        bool gone = !it->second.exclude && it->second.sources.empty();
        if (!gone) {
            due = std::min(due, group_due(it->second));
        }
        it = gone ? if_p->groups.erase(it) : std::next(it);
        if (changed) {
            sync_membership(if_p, group);
        }
    }
    if_p->groups_due = due;
}
