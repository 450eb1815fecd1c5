// Assert: one forwarder per LAN. Per entry and interface a small state machine
// (NOINFO, WINNER, LOSER) driven by received Asserts, by the forwarding plane's
// report of traffic arriving on an outgoing interface, and by its Assert timer.
// The entry's RPF-interface state moves its upstream neighbor to the winner.
#include <array>
#include <cstdint>

#include "common/timer.h"
#include "daemon/pim_assert.h"
#include "daemon/pim_daemon.h"
#include "daemon/pim_ftm.h"
#include "daemon/pim_if.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_nbr.h"
#include "daemon/pim_nhres.h"
#include "daemon/pim_pkt.h"
#include "daemon/pim_subsys.h"
#include "daemon/pim_vpn.h"

namespace
{

// The only places that know where an entry keeps its Assert states. The record
// is made on the entry's first Assert event; nullptr only when memory ran out.
t_pim_assert_info *assert_of(t_pim_if_minfo *rec_p)
{
    return pim_if_minfo_assert_get_or_create(rec_p);
}
t_pim_assert_info *rpf_assert_of(t_pim_minfo *minfo_p)
{
    return pim_minfo_assert_get_or_create(minfo_p);
}

constexpr uint32_t ASSERT_WINNER_MS = 155000;
constexpr uint32_t ASSERT_CANCEL_METRIC = 0xFFFFFFFF;
constexpr uint32_t ASSERT_INFINITE_PREF = 0x7FFFFFFF;
constexpr uint8_t DEBUG_LEVEL = 3;

// One Assert state in use: the interface, the entry and the state, and the
// per-interface record holding it (nullptr for the entry's RPF state).
struct t_assert_ctx {
    t_pim_if *if_p;
    t_pim_minfo *minfo_p;
    t_pim_if_minfo *rec_p;
    t_pim_assert_info *info_p;
};

unsigned long vpn_id_of(const t_pim_minfo *minfo_p)
{
    return static_cast<unsigned long>(minfo_p->vpn_p->vpn_id);
}

const t_pim_debug *dbg_of(const t_pim_minfo *minfo_p) { return pim_vpn_debug(minfo_p->vpn_p); }

void assert_set_state(const t_assert_ctx &ctx, e_pim_minfo_assert_state state)
{
    PIM_LOG_EVENT(dbg_of(ctx.minfo_p), DEBUG_LEVEL, "vpn: %lu PIM Assert state change:%s->%s",
                  vpn_id_of(ctx.minfo_p), pim_assert_state_string(ctx.info_p->state),
                  pim_assert_state_string(state));
    ctx.info_p->state = state;
}

void assert_timer_cb(t_timer *, void *info_arg);

// The timer exists only while it runs. Its callback finds the interface
// again from the record or the entry, so nothing it holds can go stale.
void assert_timer_start(const t_assert_ctx &ctx, uint32_t ms)
{
    t_timer *&timer = ctx.info_p->assert_timer_p;
    if (timer == nullptr) {
        timer = timer_util_create(ctx.if_p->daemon_p->timer_mgr_p, TIMER_PRI_NORMAL,
                                  TIMER_TYPE_ONESHOT, ms, assert_timer_cb, ctx.info_p, "Assert");
        if (timer == nullptr) {
            PIM_LOG("Failed to allocate assert time for if_minfo on if: %s", ctx.if_p->user_name);
            return;
        }
        ctx.info_p->timer_minfo_p = ctx.minfo_p;
        ctx.info_p->timer_rec_p = ctx.rec_p;
    }
    timer_reset(timer, ms);
}

void assert_timer_stop(t_pim_assert_info *info_p)
{
    if (info_p->assert_timer_p != nullptr) {
        timer_util_delete(info_p->assert_timer_p);
        info_p->assert_timer_p = nullptr;
    }
}

void log_action(const t_assert_ctx &ctx, int n)
{
    PIM_LOG_EVENT(dbg_of(ctx.minfo_p), DEBUG_LEVEL, "vpn: %lu PIM Assert action A%d",
                  vpn_id_of(ctx.minfo_p), n);
}

void send_own_assert(const t_assert_ctx &ctx, t_pim_assert_metric *own)
{
    pim_assert_get_minfo_metric(ctx.minfo_p, ctx.if_p, own);
    (void)pim_pkt_encode_assert(ctx.if_p, &ctx.minfo_p->source, &ctx.minfo_p->group, own);
    assert_timer_start(ctx, ASSERT_WINNER_MS);
}

void action_a1(const t_assert_ctx &ctx)
{
    log_action(ctx, 1);
    t_pim_assert_metric own{};
    send_own_assert(ctx, &own);
    ctx.info_p->winner_metric = own;
    ctx.info_p->winner_p = ctx.if_p->self_nbr_p;
}

void action_a3(const t_assert_ctx &ctx)
{
    log_action(ctx, 3);
    t_pim_assert_metric own{};
    send_own_assert(ctx, &own);
}

void accept_winner(const t_assert_ctx &ctx, int n, t_pim_nbr *sender_p,
                   const t_pim_assert_metric *received)
{
    log_action(ctx, n);
    assert_timer_start(ctx, PIM_ASSERT_TIMER_MS);
    ctx.info_p->winner_metric = *received;
    ctx.info_p->winner_p = sender_p;
}

// The winner is dropped. The recorded winner is found again by address:
// it may have left since it won.
void action_a5(const t_assert_ctx &ctx)
{
    log_action(ctx, 5);
    t_pim_minfo *minfo_p = ctx.minfo_p;
    t_ipaddr target;
    t_pim_nbr *nbr_p = pim_minfo_find_rpf_nbr(minfo_p->vpn_p, minfo_p, &target);
    if (nbr_p != nullptr && minfo_p->rpf_nbr_if == ctx.if_p->if_index &&
        IPADDR_CMP(&nbr_p->nbr_addr, &minfo_p->rpf_nbr_addr) != 0) {
        pim_minfo_cleanup_nbr_xg(
            minfo_p, pim_nbr_find(ctx.if_p, &ctx.info_p->winner_metric.sender_addr, nullptr));
    }
    assert_timer_stop(ctx.info_p);
    ctx.info_p->winner_metric = t_pim_assert_metric{};
    ctx.info_p->state = PIM_ASSERT_STATE_NOINFO;
    ctx.info_p->winner_p = nullptr;
}

bool is_loser(const t_pim_if_minfo *rec_p)
{
    return rec_p != nullptr && pim_if_minfo_assert_state(rec_p) == PIM_ASSERT_STATE_LOSER;
}

// Forwarding follows the Assert states of the entry's interfaces. A (*,G)
// state also stands for the group's entries that have none of their own, so
// they are programmed again with it. The RPF interface is never forwarded on.
void assert_reprogram(const t_assert_ctx &ctx)
{
    t_pim_minfo *minfo_p = ctx.minfo_p;
    if (ctx.rec_p == nullptr) {
        return;
    }
    if (minfo_p->type != PIM_TYPE_XG) {
        (void)pim_ftm_add(minfo_p);
        return;
    }
    t_pim_vpn *vpn_p = minfo_p->vpn_p;
    for (auto *e_p = avl_first<t_pim_minfo>(&vpn_p->minfo_db); e_p != nullptr;
         e_p = avl_next(&vpn_p->minfo_db, e_p)) {
        if (e_p == minfo_p || ((e_p->minfo_flags & PIM_MINFO_FLAG_FTM) != 0 &&
                               IPADDR_CMP(&e_p->group, &minfo_p->group) == 0)) {
            (void)pim_ftm_add(e_p);
        }
    }
}

// The transition table. A row matches when the state is its state, the
// received metric's type is in its type set and all its conditions hold; the
// first match is taken.
constexpr uint8_t bit(e_pim_assert_metric_type type) { return static_cast<uint8_t>(1U << type); }
constexpr uint8_t T_PREF = bit(PIM_ASSERT_METRIC_PREFERRED);
constexpr uint8_t T_ACC = bit(PIM_ASSERT_METRIC_ACCEPTABLE);
constexpr uint8_t T_INF = bit(PIM_ASSERT_METRIC_INFERIOR);
constexpr uint8_t T_ANY = T_PREF | T_ACC | T_INF;

constexpr uint8_t COND_IN_LIST = PIM_ASSERT_COND_IN_LIST;
constexpr uint8_t COND_TRACKING = PIM_ASSERT_COND_TRACKING;
constexpr uint8_t COND_SG = PIM_ASSERT_COND_SG;
constexpr uint8_t COND_XG_RPT = PIM_ASSERT_COND_XG_RPT;
constexpr uint8_t COND_SG_OR_RPT = PIM_ASSERT_COND_SG_OR_RPT;
constexpr uint8_t COND_FROM_WINNER = PIM_ASSERT_COND_FROM_WINNER;
constexpr uint8_t COND_INF_OR_CANCEL = PIM_ASSERT_COND_INF_OR_CANCEL;
constexpr auto ACT_NONE = PIM_ASSERT_ACT_NONE;
constexpr auto ACT_A1 = PIM_ASSERT_ACT_A1;
constexpr auto ACT_A2 = PIM_ASSERT_ACT_A2;
constexpr auto ACT_A3 = PIM_ASSERT_ACT_A3;
constexpr auto ACT_A5 = PIM_ASSERT_ACT_A5;
constexpr auto ACT_A6 = PIM_ASSERT_ACT_A6;

struct t_assert_row {
    e_pim_minfo_assert_state state;
    uint8_t types;
    uint8_t conds;
    e_pim_minfo_assert_state next;
    e_pim_assert_action action;
    bool consumed;
};

constexpr auto N = PIM_ASSERT_STATE_NOINFO;
constexpr auto W = PIM_ASSERT_STATE_WINNER;
constexpr auto L = PIM_ASSERT_STATE_LOSER;

constexpr std::array<t_assert_row, 12> ASSERT_TABLE{{
    {N, T_INF, COND_IN_LIST, W, ACT_A1, true},
    {N, T_ACC, COND_TRACKING | COND_SG, L, ACT_A6, true},
    {N, T_ACC, COND_TRACKING | COND_XG_RPT, L, ACT_A2, false},
    {N, T_ANY, 0, N, ACT_NONE, false},
    {W, T_INF, 0, W, ACT_A3, true},
    {W, T_PREF, 0, L, ACT_A2, true},
    {W, T_ACC, 0, W, ACT_NONE, true},
    {L, T_PREF, COND_SG_OR_RPT, L, ACT_A2, true},
    {L, T_PREF, 0, L, ACT_NONE, false},
    {L, T_ACC, COND_FROM_WINNER | COND_SG_OR_RPT, L, ACT_A2, true},
    {L, T_ACC | T_INF, COND_FROM_WINNER | COND_INF_OR_CANCEL, N, ACT_A5, true},
    {L, T_ACC | T_INF, 0, L, ACT_NONE, true},
}};

const t_assert_row *assert_row(e_pim_minfo_assert_state state, e_pim_assert_metric_type type,
                               uint8_t conds)
{
    for (const t_assert_row &row : ASSERT_TABLE) {
        if (row.state == state && (row.types & bit(type)) != 0 &&
            (row.conds & conds) == row.conds) {
            return &row;
        }
    }
    return nullptr;
}

// The entry's upstream moves to the winner of its RPF interface.
void rpf_nbr_to_winner(const t_assert_ctx &ctx)
{
    t_pim_minfo *minfo_p = ctx.minfo_p;
    const t_ipaddr *winner = &ctx.info_p->winner_metric.sender_addr;
    if (IPADDR_CMP(&minfo_p->rpf_nbr_addr, winner) == 0) {
        return;
    }
    pim_minfo_encode_jp(ctx.if_p, minfo_p, &minfo_p->rpf_nbr_addr, true);
    IPADDR_COPY(&minfo_p->rpf_nbr_addr, winner);
    pim_minfo_encode_jp(ctx.if_p, minfo_p, &minfo_p->rpf_nbr_addr, false);
    (void)pim_ftm_add(minfo_p);
}

void assert_timer_cb(t_timer *, void *info_arg)
{
    const auto *fired_p = static_cast<const t_pim_assert_info *>(info_arg);
    t_pim_if_minfo *rec_p = fired_p->timer_rec_p;
    t_pim_minfo *minfo_p = fired_p->timer_minfo_p;
    t_assert_ctx ctx{};
    if (rec_p != nullptr) {
        ctx = {rec_p->if_p, minfo_p, rec_p, assert_of(rec_p)};
    } else {
        t_pim_if *if_p =
            pim_if_find_by_index(minfo_p->vpn_p, minfo_p->rpf_nbr_if, PIM_IF_TYPE_LOCAL, nullptr);
        ctx = {if_p, minfo_p, nullptr, rpf_assert_of(minfo_p)};
    }
    if (ctx.info_p == nullptr) {
        return;
    }
    // A one-shot timer that fired is spent: it is made again when restarted.
    timer_util_delete(ctx.info_p->assert_timer_p);
    ctx.info_p->assert_timer_p = nullptr;
    if (ctx.if_p == nullptr) {
        ctx.info_p->winner_metric = t_pim_assert_metric{};
        ctx.info_p->state = PIM_ASSERT_STATE_NOINFO;
        ctx.info_p->winner_p = nullptr;
        return;
    }
    pim_assert_expiry(ctx.if_p, ctx.minfo_p, ctx.rec_p);
}

} // namespace

int pim_assert_metric_cmp(const t_pim_assert_metric *a, const t_pim_assert_metric *b)
{
    if (a->rpt_bit != b->rpt_bit) {
        return a->rpt_bit ? 2 : 1;
    }
    if (a->preference != b->preference) {
        return a->preference < b->preference ? 1 : 2;
    }
    if (a->metric != b->metric) {
        return a->metric < b->metric ? 1 : 2;
    }
    int c = IPADDR_CMP(&a->sender_addr, &b->sender_addr);
    return c == 0 ? 0 : (c > 0 ? 1 : 2);
}

void pim_assert_get_minfo_metric(t_pim_minfo *minfo_p, t_pim_if *if_p, t_pim_assert_metric *out)
{
    *out = t_pim_assert_metric{};
    // A directly connected source has no RPF neighbor, only its interface.
    uint32_t up_if = minfo_p->rpf_nbr_if != 0 ? minfo_p->rpf_nbr_if : minfo_p->direct_source_if;
    if (minfo_p->nh_p != nullptr && up_if != 0 &&
        pim_if_find_by_index(minfo_p->vpn_p, up_if, PIM_IF_TYPE_ANY, nullptr) != nullptr) {
        out->rpt_bit = minfo_p->type != PIM_TYPE_SG;
        out->preference = static_cast<uint32_t>(minfo_p->nh_p->preference);
        out->metric = static_cast<uint32_t>(minfo_p->nh_p->metric);
        IPADDR_COPY(&out->sender_addr, &if_p->if_addr.addr);
        return;
    }
    out->rpt_bit = true;
    out->preference = ASSERT_INFINITE_PREF;
    out->metric = ASSERT_CANCEL_METRIC;
    IPADDR_INIT(&out->sender_addr, IP_ADDR_V4);
}

e_pim_status pim_assert_process_pkt_minfo(t_pim_nbr *sender_p, const t_pim_assert_metric *received,
                                          t_pim_minfo *minfo_p, bool *pass_on)
{
    t_pim_if *if_p = sender_p->if_p;
    t_assert_ctx ctx{if_p, minfo_p, pim_if_minfo_find_from_minfo(if_p, minfo_p), nullptr};
    bool on_rpf_if = minfo_p->rpf_nbr_if == if_p->if_index;
    if (ctx.rec_p != nullptr) {
        ctx.info_p = assert_of(ctx.rec_p);
    } else if (on_rpf_if) {
        ctx.info_p = rpf_assert_of(minfo_p);
    } else {
        return PIM_STATUS_OK;
    }
    if (ctx.info_p == nullptr) {
        return PIM_STATUS_MEM_FAIL;
    }
    t_pim_assert_info *info_p = ctx.info_p;
    bool in_list = pim_minfo_ilist_test(minfo_p->inherited_olist_p, if_p->if_index);
    bool sg = minfo_p->type == PIM_TYPE_SG;
    t_pim_assert_metric own{};
    pim_assert_get_minfo_metric(minfo_p, if_p, &own);
    e_pim_assert_metric_type type = PIM_ASSERT_METRIC_ACCEPTABLE;
    if (pim_assert_metric_cmp(&own, received) == 1) {
        type = PIM_ASSERT_METRIC_INFERIOR;
    } else if (pim_assert_metric_cmp(received, &info_p->winner_metric) == 1) {
        type = PIM_ASSERT_METRIC_PREFERRED;
    }
    uint8_t conds = 0;
    conds |= in_list ? COND_IN_LIST : 0;
    conds |= in_list || on_rpf_if ? COND_TRACKING : 0;
    conds |= sg ? COND_SG : 0;
    conds |= minfo_p->type == PIM_TYPE_XG && received->rpt_bit ? COND_XG_RPT : 0;
    conds |= sg || received->rpt_bit ? COND_SG_OR_RPT : 0;
    conds |= IPADDR_CMP(&received->sender_addr, &info_p->winner_metric.sender_addr) == 0
                 ? COND_FROM_WINNER
                 : 0;
    conds |= type == PIM_ASSERT_METRIC_INFERIOR || received->metric == ASSERT_CANCEL_METRIC
                 ? COND_INF_OR_CANCEL
                 : 0;
    const t_pim_assert_step result = pim_assert_transition(info_p->state, type, conds);
    e_pim_minfo_assert_state old = info_p->state;
    switch (result.action) {
    case ACT_A1:
        action_a1(ctx);
        break;
    case ACT_A2:
        accept_winner(ctx, 2, sender_p, received);
        break;
    case ACT_A6:
        accept_winner(ctx, 6, sender_p, received);
        break;
    case ACT_A3:
        action_a3(ctx);
        break;
    case ACT_A5:
        action_a5(ctx);
        break;
    case ACT_NONE:
        break;
    }
    info_p->state = result.next;
    if (result.consumed) {
        *pass_on = false;
    }
    if (ctx.rec_p == nullptr && old == PIM_ASSERT_STATE_NOINFO &&
        result.next == PIM_ASSERT_STATE_LOSER) {
        rpf_nbr_to_winner(ctx);
    }
    if ((old == PIM_ASSERT_STATE_LOSER) != (result.next == PIM_ASSERT_STATE_LOSER)) {
        assert_reprogram(ctx);
    }
    PIM_LOG_EVENT(dbg_of(minfo_p), DEBUG_LEVEL, "vpn: %lu PIM Assert state change:%s->%s (Type:%d)",
                  vpn_id_of(minfo_p), pim_assert_state_string(old),
                  pim_assert_state_string(result.next), static_cast<int>(type));
    return PIM_STATUS_OK;
}

t_pim_assert_step pim_assert_transition(e_pim_minfo_assert_state state,
                                        e_pim_assert_metric_type type, uint8_t conds)
{
    const t_assert_row *row = assert_row(state, type, conds);
    if (row == nullptr) {
        return {state, ACT_NONE, false};
    }
    return {row->next, row->action, row->consumed};
}

void pim_assert_process_pkt(t_pim_daemon *, t_pim_nbr *nbr_p, const t_ipaddr *group,
                            const t_ipaddr *src, const t_pim_assert_metric *metric)
{
    t_pim_vpn *vpn_p = nbr_p->if_p != nullptr ? nbr_p->if_p->vpn_p : nullptr;
    if (vpn_p == nullptr) {
        PIM_LOG("VPN pointer is NULL");
        return;
    }
    PIM_LOG_EVENT(pim_vpn_debug(vpn_p), DEBUG_LEVEL,
                  "vpn: %lu PIM Assert packet from %s for (%s, %s)",
                  static_cast<unsigned long>(vpn_p->vpn_id), ipaddr_str(&nbr_p->nbr_addr).c,
                  ipaddr_str(src).c, ipaddr_str(group).c);
    bool pass_on = true;
    if (!IPADDR_IS_ZERO(src)) {
        if (t_pim_minfo *sg_p = pim_minfo_find(vpn_p, PIM_TYPE_SG, group, src, nullptr)) {
            (void)pim_assert_process_pkt_minfo(nbr_p, metric, sg_p, &pass_on);
        }
    }
    if (pass_on) {
        if (t_pim_minfo *xg_p = pim_minfo_find(vpn_p, PIM_TYPE_XG, group, nullptr, nullptr)) {
            (void)pim_assert_process_pkt_minfo(nbr_p, metric, xg_p, &pass_on);
        }
    }
}

void pim_assert_expiry(t_pim_if *if_p, t_pim_minfo *minfo_p, t_pim_if_minfo *rec_p)
{
    t_assert_ctx ctx{if_p, minfo_p, rec_p,
                     rec_p != nullptr ? assert_of(rec_p) : rpf_assert_of(minfo_p)};
    if (ctx.info_p == nullptr) {
        return;
    }
    switch (ctx.info_p->state) {
    case PIM_ASSERT_STATE_WINNER:
        action_a3(ctx);
        break;
    case PIM_ASSERT_STATE_LOSER:
        assert_set_state(ctx, PIM_ASSERT_STATE_NOINFO);
        action_a5(ctx);
        assert_reprogram(ctx);
        break;
    default:
        break;
    }
}

bool pim_assert_lost(t_pim_minfo *minfo_p, t_pim_if *if_p)
{
    if (if_p->pim_if_type != PIM_IF_TYPE_LOCAL) {
        return false;
    }
    t_pim_if_minfo *rec_p = pim_if_minfo_find_from_minfo(if_p, minfo_p);
    if (rec_p == nullptr && minfo_p->type != PIM_TYPE_XG) {
        t_pim_minfo *xg_p = pim_minfo_find_xg_from_sg(minfo_p);
        rec_p = xg_p != nullptr ? pim_if_minfo_find_from_minfo(if_p, xg_p) : nullptr;
    }
    return is_loser(rec_p);
}

void pim_assert_cancel(t_pim_if_minfo *rec_p)
{
    // Called before the record leaves its entry, whose keys name the cancel.
    t_pim_if *if_p = rec_p->if_p;
    const t_pim_minfo *minfo_p = rec_p->minfo_p;
    if (pim_if_minfo_assert_state(rec_p) != PIM_ASSERT_STATE_WINNER || if_p == nullptr ||
        if_p->vpn_p == nullptr || minfo_p == nullptr) {
        return;
    }
    t_ipaddr source = minfo_p->source;
    if (source.addr_type == IP_ADDR_UNKNOWN) {
        IPADDR_INIT(&source, minfo_p->group.addr_type);
    }
    PIM_LOG_EVENT(pim_vpn_debug(if_p->vpn_p), DEBUG_LEVEL,
                  "vpn: %lu PIM AssertCancel for (%s, %s) on if %s",
                  static_cast<unsigned long>(if_p->vpn_p->vpn_id), ipaddr_str(&source).c,
                  ipaddr_str(&minfo_p->group).c, if_p->user_name);
    t_pim_assert_metric cancel{};
    cancel.rpt_bit = true;
    cancel.preference = ASSERT_INFINITE_PREF;
    cancel.metric = ASSERT_CANCEL_METRIC;
    IPADDR_COPY(&cancel.sender_addr, &if_p->if_addr.addr);
    (void)pim_pkt_encode_assert(if_p, &source, &minfo_p->group, &cancel);
}

// A loser whose winner stopped being a neighbor (its Hellos ran out, it said
// goodbye or it restarted) forgets it at once rather than when its Assert timer
// runs out, and forwards again.
void pim_assert_nbr_gone(t_pim_nbr *nbr_p)
{
    t_pim_if *if_p = nbr_p->if_p;
    if (if_p == nullptr || if_p->minfo_db.avl_compar == nullptr) {
        return;
    }
    for (auto *rec_p = avl_first<t_pim_if_minfo>(&if_p->minfo_db); rec_p != nullptr;
         rec_p = avl_next(&if_p->minfo_db, rec_p)) {
        t_pim_assert_info *info_p = pim_if_minfo_assert_get(rec_p);
        if (!is_loser(rec_p) ||
            IPADDR_CMP(&info_p->winner_metric.sender_addr, &nbr_p->nbr_addr) != 0) {
            continue;
        }
        t_assert_ctx ctx{if_p, rec_p->minfo_p, rec_p, info_p};
        assert_set_state(ctx, PIM_ASSERT_STATE_NOINFO);
        action_a5(ctx);
        assert_reprogram(ctx);
    }
}

void pim_assert_dup_traffic_handler(t_pim_daemon *, t_pim_vpn *vpn_p, const t_ipaddr *source,
                                    const t_ipaddr *group, uint32_t kernel_if_index)
{
    uint32_t bitmap_idx = pim_if_idx_to_if_bitmap_idx(vpn_p, kernel_if_index);
    t_pim_if *if_p = bitmap_idx != 0
                         ? pim_if_find_by_index(vpn_p, bitmap_idx, PIM_IF_TYPE_LOCAL, nullptr)
                         : nullptr;
    if (if_p == nullptr) {
        PIM_LOG("Cannot find interface with index:%u(%u) for (%s, %s)", kernel_if_index, bitmap_idx,
                ipaddr_str(source).c, ipaddr_str(group).c);
        return;
    }
    PIM_LOG_EVENT(pim_vpn_debug(vpn_p), DEBUG_LEVEL,
                  "vpn: %lu PIM Assert duplicate traffic for (%s, %s) on if %s (idx:%d)",
                  static_cast<unsigned long>(vpn_p->vpn_id), ipaddr_str(source).c,
                  ipaddr_str(group).c, if_p->user_name, static_cast<int>(if_p->if_index));
    bool xg = IPADDR_IS_ZERO(source);
    t_pim_minfo *minfo_p = pim_minfo_find(vpn_p, xg ? PIM_TYPE_XG : PIM_TYPE_SG, group,
                                          xg ? nullptr : source, nullptr);
    if (minfo_p == nullptr || !pim_minfo_ilist_test(minfo_p->inherited_olist_p, if_p->if_index)) {
        return;
    }
    t_pim_if_minfo *rec_p = pim_if_minfo_find_from_minfo(if_p, minfo_p);
    if (rec_p == nullptr) {
        if (t_pim_minfo *xg_p = pim_minfo_find(vpn_p, PIM_TYPE_XG, group, nullptr, nullptr)) {
            rec_p = pim_if_minfo_find_from_minfo(if_p, xg_p);
        }
    }
    if (rec_p == nullptr) {
        PIM_LOG("PIM Assert: Cannot find interface %s (idx:%d) for (%s, %s)", if_p->user_name,
                static_cast<int>(if_p->if_index), ipaddr_str(source).c, ipaddr_str(group).c);
        return;
    }
    t_assert_ctx ctx{if_p, rec_p->minfo_p, rec_p, assert_of(rec_p)};
    if (ctx.info_p == nullptr || ctx.info_p->state != PIM_ASSERT_STATE_NOINFO) {
        return;
    }
    assert_set_state(ctx, PIM_ASSERT_STATE_WINNER);
    action_a1(ctx);
}
