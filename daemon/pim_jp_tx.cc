// Our own Join/Prune messages. A Join or Prune of an entry is queued as a
// group record for its interface and upstream neighbor; what is queued leaves
// packed many records per message when the event loop has finished the
// current event, or at once when a message is full. Queued records name their
// entry by its keys, never by pointer, so an entry deleted before the flush
// leaves nothing dangling.
#include <ctime>
#include <event2/event.h>
#include <utility>
#include <vector>

#include "daemon/pim_daemon.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_if.h"
#include "daemon/pim_jp.h"
#include "daemon/pim_mem.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_pkt.h"
#include "daemon/pim_vpn.h"

namespace
{

// Seconds between two lines about (*,G) Joins cut at the prune cap.
constexpr time_t CAP_LOG_INTERVAL_S = 60;
// Header, upstream neighbor, reserved, group count and holdtime (IPv4).
constexpr size_t JP_HDR_LEN = 14;
constexpr size_t JP_MAX_GROUPS = 255;

struct t_jp_tx_rec {
    e_pim_type type;
    t_ipaddr group;
    t_ipaddr source; // the entry's source; zero for (*,G)
    t_ipaddr addr;   // what goes on the wire: the source, or the RP of (*,G)
    bool prune;
};

struct t_jp_tx_queue {
    t_pim_if *if_p;
    t_ipaddr upstream;
    std::vector<t_jp_tx_rec> recs;
    size_t bytes; // message size the records need, (*,G) prunes not counted
};

// Records waiting for the flush, per interface and upstream neighbor.
std::vector<t_jp_tx_queue> g_jp_tx_queues;

size_t addr_len(const t_ipaddr &a) { return IPADDR_IS_V6(&a) ? 20 : 8; }

// (S,G) Joins and Prunes of one group share a group record; (*,G) and
// (S,G,rpt) keep records of their own, so that a (*,G) Join's prunes stay
// with it alone.
bool shares_record(const t_jp_tx_rec &a, const t_jp_tx_rec &b)
{
    return a.type == PIM_TYPE_SG && b.type == PIM_TYPE_SG && IPADDR_CMP(&a.group, &b.group) == 0;
}

bool same_entry(const t_jp_tx_rec &a, const t_jp_tx_rec &b)
{
    return a.type == b.type && IPADDR_CMP(&a.group, &b.group) == 0 &&
           IPADDR_CMP(&a.source, &b.source) == 0;
}

uint8_t rec_flags(e_pim_type type)
{
    switch (type) {
    case PIM_TYPE_XG:
        return PIM_SRC_FLAG_S | PIM_SRC_FLAG_W | PIM_SRC_FLAG_R;
    case PIM_TYPE_SG_RPT:
        return PIM_SRC_FLAG_S | PIM_SRC_FLAG_R;
    default:
        return PIM_SRC_FLAG_S;
    }
}

void log_prune_cap(const t_ipaddr *group, size_t have)
{
    static time_t last = 0;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (last != 0 && now.tv_sec - last < CAP_LOG_INTERVAL_S) {
        return;
    }
    last = now.tv_sec;
    PIM_LOG("(*,%s) Join carries the first %zu of its %zu (S,G,rpt) prunes", ipaddr_str(group).c,
            PIM_JP_XG_MAX_PRUNES, have);
}

// The (S,G,rpt) prunes of a (*,G) Join, in source order, at most the cap.
void collect_xg_prunes(t_pim_vpn *vpn_p, t_pim_minfo *xg_p, std::vector<t_pim_jp_src> &out)
{
    avl_tree_t tree{};
    avl_create(&tree, pim_minfo_sgrpt_prune_cmp, sizeof(t_pim_pkt_sgrpt_prune),
               offsetof(t_pim_pkt_sgrpt_prune, node));
    pim_pkt_prepare_xg_join_sgrpt_prunes(vpn_p, xg_p, &tree);
    size_t have = avl_numnodes(&tree);
    void *cookie = nullptr;
    // Read in order before the nodes are freed.
    for (auto *p = avl_first<t_pim_pkt_sgrpt_prune>(&tree);
         p != nullptr && out.size() < PIM_JP_XG_MAX_PRUNES; p = avl_next(&tree, p)) {
        out.push_back({p->sgrpt_p->source, PIM_SRC_FLAG_S | PIM_SRC_FLAG_R});
    }
    while (auto *p = static_cast<t_pim_pkt_sgrpt_prune *>(avl_destroy_nodes(&tree, &cookie))) {
        pim_delete(p);
    }
    avl_destroy(&tree);
    if (have > PIM_JP_XG_MAX_PRUNES) {
        log_prune_cap(&xg_p->group, have);
    }
}

void send_queue(const t_jp_tx_queue &q)
{
    t_pim_if *if_p = q.if_p;
    t_pim_vpn *vpn_p = if_p->vpn_p;
    // Sources laid out record by record: joins, then prunes, each record's
    // (S,G) sources gathered from wherever they were queued.
    std::vector<t_pim_jp_src> srcs;
    srcs.reserve(q.recs.size());
    std::vector<std::vector<t_pim_jp_src>> xg_prunes(q.recs.size());
    std::vector<t_pim_jp_group_tx> groups;
    std::vector<bool> done(q.recs.size());
    for (size_t i = 0; i < q.recs.size(); i++) {
        if (done[i]) {
            continue;
        }
        const t_jp_tx_rec &r = q.recs[i];
        t_pim_jp_group_tx g{r.group, {}, {}};
        if (r.type == PIM_TYPE_SG) {
            for (bool prune : {false, true}) {
                size_t from = srcs.size();
                for (size_t k = i; k < q.recs.size(); k++) {
                    if (!done[k] && q.recs[k].prune == prune && shares_record(r, q.recs[k])) {
                        srcs.push_back({q.recs[k].addr, rec_flags(PIM_TYPE_SG)});
                    }
                }
                std::span<const t_pim_jp_src> list(srcs.data() + from, srcs.size() - from);
                (prune ? g.prunes : g.joins) = list;
            }
            for (size_t k = i; k < q.recs.size(); k++) {
                done[k] = done[k] || shares_record(r, q.recs[k]);
            }
        } else {
            srcs.push_back({r.addr, rec_flags(r.type)});
            std::span<const t_pim_jp_src> one(&srcs.back(), 1);
            (r.prune ? g.prunes : g.joins) = one;
        }
        if (r.type == PIM_TYPE_XG && !r.prune) {
            // The prunes are those of the moment of sending; a (*,G) entry
            // gone since the Join was queued has nothing left to join.
            t_pim_minfo *xg_p = pim_minfo_find(vpn_p, PIM_TYPE_XG, &r.group, nullptr, nullptr);
            if (xg_p == nullptr) {
                PIM_LOG_EVENT(pim_vpn_debug(vpn_p), PIM_DEBUG_LEVEL_DETAIL,
                              "vpn: %lu (*,%s) gone before its Join was sent",
                              static_cast<unsigned long>(vpn_p->vpn_id), ipaddr_str(&r.group).c);
                continue;
            }
            collect_xg_prunes(vpn_p, xg_p, xg_prunes[i]);
            g.prunes = xg_prunes[i];
        }
        groups.push_back(g);
    }
    if (groups.empty()) {
        return;
    }
    const t_pim_jp_tx jp{q.upstream, pim_pkt_jp_holdtime(if_p), groups};
    (void)pim_pkt_tx_jp(if_p, jp);
}

// Takes the queues the predicate selects out of the table, so that whatever
// sending sets off queues anew rather than into the walk.
template <typename F> std::vector<t_jp_tx_queue> take_queues(F select)
{
    std::vector<t_jp_tx_queue> taken;
    for (auto it = g_jp_tx_queues.begin(); it != g_jp_tx_queues.end();) {
        if (select(*it)) {
            taken.push_back(std::move(*it));
            it = g_jp_tx_queues.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

void send_now(t_jp_tx_queue &q)
{
    t_jp_tx_queue full{q.if_p, q.upstream, std::move(q.recs), q.bytes};
    q.recs.clear();
    q.bytes = JP_HDR_LEN;
    send_queue(full);
}

} // namespace

int pim_minfo_sgrpt_prune_cmp(const void *a, const void *b)
{
    const t_pim_minfo *x = static_cast<const t_pim_pkt_sgrpt_prune *>(a)->sgrpt_p;
    const t_pim_minfo *y = static_cast<const t_pim_pkt_sgrpt_prune *>(b)->sgrpt_p;
    int c = pim_minfo_cmp_group(&x->group, &y->group);
    return c != 0 ? c : pim_minfo_cmp_source(&x->source, &y->source);
}

void pim_pkt_prepare_xg_join_sgrpt_prunes(t_pim_vpn *vpn_p, t_pim_minfo *xg_p, avl_tree_t *tree)
{
    for (t_pim_minfo *m = pim_minfo_group_first(vpn_p, &xg_p->group);
         m != nullptr && pim_minfo_cmp_group(&m->group, &xg_p->group) == 0;
         m = pim_minfo_find_next(vpn_p, m->type, &m->group, &m->source)) {
        if ((m->type != PIM_TYPE_SG && m->type != PIM_TYPE_SG_RPT) ||
            !pim_minfo_compute_prune_desired_sgrpt(m)) {
            continue;
        }
        t_pim_pkt_sgrpt_prune key{};
        key.sgrpt_p = m;
        avl_index_t where{};
        if (avl_find(tree, &key, &where) != nullptr) {
            continue; // (S,G) and (S,G,rpt) of one source: pruned once
        }
        auto *p = pim_new<t_pim_pkt_sgrpt_prune>();
        if (p == nullptr) {
            return;
        }
        p->sgrpt_p = m;
        avl_insert(tree, p, where);
    }
}

e_pim_status pim_pkt_encode_jp(t_pim_if *if_p, t_pim_minfo *minfo_p, const t_ipaddr *upstream,
                               bool prune)
{
    if (if_p->pim_if_type == PIM_IF_TYPE_IGMP || if_p->pim_if_type == PIM_IF_TYPE_TUNNEL) {
        return PIM_STATUS_OK;
    }
    t_jp_tx_rec rec{minfo_p->type, minfo_p->group, minfo_p->source, minfo_p->source, prune};
    switch (minfo_p->type) {
    case PIM_TYPE_XG:
        rec.addr = minfo_p->received_rp;
        break;
    case PIM_TYPE_SG:
    case PIM_TYPE_SG_RPT:
        break;
    default:
        return PIM_STATUS_OK;
    }
    t_jp_tx_queue *q = nullptr;
    for (t_jp_tx_queue &x : g_jp_tx_queues) {
        if (x.if_p == if_p && IPADDR_CMP(&x.upstream, upstream) == 0) {
            q = &x;
            break;
        }
    }
    if (q == nullptr) {
        q = &g_jp_tx_queues.emplace_back(t_jp_tx_queue{if_p, *upstream, {}, JP_HDR_LEN});
    }
    bool shared = false;
    for (t_jp_tx_rec &r : q->recs) {
        if (same_entry(r, rec)) {
            r = rec; // the last Join or Prune of an entry wins
            return PIM_STATUS_OK;
        }
        shared = shared || shares_record(r, rec);
    }
    // A source added to a record already queued costs its address only.
    size_t len = addr_len(rec.addr) + (shared ? 0 : addr_len(rec.group) + 4);
    if (q->bytes + len > PIM_PKT_TX_MAX || q->recs.size() >= JP_MAX_GROUPS) {
        send_now(*q);
        len = addr_len(rec.addr) + addr_len(rec.group) + 4;
    }
    q->recs.push_back(rec);
    q->bytes += len;
    if (g_kemd_p != nullptr && g_kemd_p->jp_tx_event_p != nullptr) {
        event_active(g_kemd_p->jp_tx_event_p, EV_TIMEOUT, 1);
    }
    return PIM_STATUS_OK;
}

void pim_jp_tx_flush(t_pim_if *if_p)
{
    for (const t_jp_tx_queue &q :
         take_queues([if_p](const t_jp_tx_queue &x) { return x.if_p == if_p; })) {
        send_queue(q);
    }
}

void pim_jp_tx_flush_all(t_pim_daemon *)
{
    for (const t_jp_tx_queue &q : take_queues([](const t_jp_tx_queue &) { return true; })) {
        send_queue(q);
    }
}

void pim_jp_tx_discard(t_pim_if *if_p)
{
    (void)take_queues([if_p](const t_jp_tx_queue &x) { return x.if_p == if_p; });
}
