// Downstream per-interface machines: (*,G) and (S,G) records share one, the
// (S,G,rpt) records have their own with two temporary states that last only
// until the end of the group record being processed. Both are tables of
// (state, event) -> (next state, actions); one function applies a row.
#include <array>

#include "common/timer.h"
#include "daemon/pim_if.h"
#include "daemon/pim_jp.h"
#include "daemon/pim_minfo.h"
#include "daemon/pim_subsys.h"
#include "daemon/pim_vpn.h"

namespace
{

enum e_ds_event : uint8_t {
    DS_EV_JOIN = 0,  // Join; for (S,G,rpt) records Join(S,G,rpt)
    DS_EV_PRUNE,     // Prune; for (S,G,rpt) records Prune(S,G,rpt)
    DS_EV_XG,        // (*,G) Join or Prune on the interface ((S,G,rpt) only)
    DS_EV_EOM,       // end of the group record ((S,G,rpt) only)
    DS_EV_ET_EXPIRY, // Expiry Timer
    DS_EV_PPT_EXPIRY,
    DS_EV_COUNT,
};

// Actions of a row, applied in this order.
enum e_ds_action : uint8_t {
    DS_ACT_NONE = 0,
    DS_ACT_STOP_ET = 0x01,
    DS_ACT_STOP_PPT = 0x02,
    DS_ACT_ET_HOLD = 0x04,   // restart the ET with the holdtime (65535: stop it)
    DS_ACT_START_PPT = 0x08, // prune-pending time of the interface
    DS_ACT_SET = 0x10,       // the interface's bit in the record's list
    DS_ACT_CLEAR = 0x20,
    DS_ACT_ENQUEUE = 0x40, // onto the VPN's temporary list
    DS_ACT_DEQUEUE = 0x80,
};

struct t_ds_row {
    bool valid; // false: the event does not occur in the state; nothing changes
    e_pim_if_dstream_state next;
    uint8_t actions;
};

constexpr size_t DS_STATES = PIM_IF_DSTREAM_PRUNE_PENDING_TMP + 1;
using t_ds_table = std::array<std::array<t_ds_row, DS_EV_COUNT>, DS_STATES>;

constexpr t_ds_row none{false, PIM_IF_DSTREAM_UNKNOWN, DS_ACT_NONE};
constexpr t_ds_row to(e_pim_if_dstream_state next, unsigned actions = DS_ACT_NONE)
{
    return {true, next, static_cast<uint8_t>(actions)};
}

constexpr auto NOINFO = PIM_IF_DSTREAM_NOINFO;
constexpr auto JOINED = PIM_IF_DSTREAM_JOINED;
constexpr auto PPEND = PIM_IF_DSTREAM_PRUNE_PENDING;
constexpr auto PRUNED = PIM_IF_DSTREAM_PRUNED;
constexpr auto PTMP = PIM_IF_DSTREAM_PRUNE_TMP;
constexpr auto PPTMP = PIM_IF_DSTREAM_PRUNE_PENDING_TMP;
constexpr unsigned STOP_BOTH = DS_ACT_STOP_ET | DS_ACT_STOP_PPT;

// Rows are states, columns the events: Join, Prune, (*,G) event, end of
// message, ET expiry, PPT expiry.
// clang-format off

// (*,G) and (S,G): the list is the joined list (the local list on the IGMP
// pseudo-interface).
constexpr t_ds_table xg_table = [] {
    t_ds_table t{};
    for (auto &row : t) {
        row.fill(none);
    }
    t[NOINFO] = {to(JOINED, DS_ACT_ET_HOLD | DS_ACT_SET),     to(NOINFO),
                 none,                                        none,
                 none,                                        none};
    t[JOINED] = {to(JOINED, DS_ACT_ET_HOLD),                  to(PPEND, DS_ACT_START_PPT),
                 none,                                        none,
                 to(NOINFO, DS_ACT_CLEAR | STOP_BOTH),        none};
    t[PPEND]  = {to(JOINED, DS_ACT_STOP_PPT | DS_ACT_ET_HOLD), to(PPEND),
                 none,                                        none,
                 to(NOINFO, DS_ACT_CLEAR | STOP_BOTH),        to(NOINFO, DS_ACT_CLEAR | STOP_BOTH)};
    return t;
}();

// (S,G,rpt): the list is the pruned list. An ET expiry in PRUNE-PEND (a
// holdtime shorter than the prune-pending time) ends the prune before it took
// effect: NOINFO, and the handler deletes the record. A second (*,G) event
// within one group record leaves temporary records queued as they are.
constexpr t_ds_table sgrpt_table = [] {
    t_ds_table t{};
    for (auto &row : t) {
        row.fill(none);
    }
    t[NOINFO] = {to(NOINFO),                           to(PPEND, DS_ACT_ET_HOLD | DS_ACT_START_PPT),
                 to(NOINFO),                            to(NOINFO),
                 none,                                  none};
    t[PPEND]  = {to(NOINFO, STOP_BOTH),                 to(PPEND),
                 to(PPTMP, DS_ACT_ENQUEUE),             to(PPEND),
                 to(NOINFO, STOP_BOTH),                 to(PRUNED, DS_ACT_SET | STOP_BOTH)};
    t[PRUNED] = {to(NOINFO, DS_ACT_CLEAR | STOP_BOTH),  to(PRUNED, DS_ACT_ET_HOLD),
                 to(PTMP, DS_ACT_ENQUEUE),              to(PRUNED),
                 to(NOINFO, DS_ACT_CLEAR | STOP_BOTH),  none};
    t[PTMP]   = {none,                                  to(PRUNED, DS_ACT_ET_HOLD | DS_ACT_DEQUEUE),
                 none,                                  to(NOINFO, DS_ACT_CLEAR | STOP_BOTH),
                 none,                                  none};
    t[PPTMP]  = {none,                                  to(PPEND, DS_ACT_ET_HOLD | DS_ACT_DEQUEUE),
                 none,                                  to(NOINFO, STOP_BOTH),
                 none,                                  none};
    return t;
}();
// clang-format on

const char *event_name(e_ds_event event)
{
    switch (event) {
    case DS_EV_JOIN:
    case DS_EV_XG:
        return "Join";
    case DS_EV_PRUNE:
        return "Prune";
    case DS_EV_EOM:
        return "EOM";
    case DS_EV_ET_EXPIRY:
        return "jt_expiry";
    default:
        return "ppt_expiry";
    }
}

t_pim_olist **ds_list(const t_pim_if_minfo *if_minfo_p)
{
    t_pim_minfo *minfo_p = if_minfo_p->minfo_p;
    if (if_minfo_p->type == PIM_TYPE_SG_RPT) {
        return &minfo_p->pruned_olist_p;
    }
    return if_minfo_p->if_p->pim_if_type == PIM_IF_TYPE_IGMP ? &minfo_p->local_olist_p
                                                             : &minfo_p->joined_olist_p;
}

// A record's timers exist only while they run: most records never start their
// Prune-Pending timer, and local memberships never start their Expiry timer.
void ds_timer_start(t_pim_if_minfo *if_minfo_p, t_timer *&timer, f_timer_callback cb,
                    const char *name, uint32_t ms)
{
    t_pim_if *if_p = if_minfo_p->if_p;
    if (timer == nullptr) {
        timer = timer_util_create(if_p->daemon_p->timer_mgr_p, TIMER_PRI_NORMAL, TIMER_TYPE_ONESHOT,
                                  ms, cb, if_minfo_p, name);
        if (timer == nullptr) {
            if (cb == pim_jp_join_expiry_cb) {
                PIM_LOG("Failed to allocate JP timer for if_minfo on if: %s", if_p->user_name);
            } else {
                PIM_LOG("Failed to allocate prune pending for if_minfo on if: %s", if_p->user_name);
            }
            return;
        }
    }
    timer_reset(timer, ms);
}

// Safe inside the timer's own callback.
void ds_timer_stop(t_timer *&timer)
{
    if (timer != nullptr) {
        timer_util_delete(timer);
        timer = nullptr;
    }
}

void ds_apply(t_pim_if_minfo *if_minfo_p, uint8_t actions, uint16_t holdtime)
{
    t_pim_if *if_p = if_minfo_p->if_p;
    if ((actions & DS_ACT_STOP_ET) != 0) {
        ds_timer_stop(if_minfo_p->jp_expiry_timer);
    }
    if ((actions & DS_ACT_STOP_PPT) != 0) {
        ds_timer_stop(if_minfo_p->prune_pending_timer);
    }
    if ((actions & DS_ACT_ET_HOLD) != 0) {
        if (holdtime < PIM_JP_HOLDTIME_FOREVER) {
            ds_timer_start(if_minfo_p, if_minfo_p->jp_expiry_timer, pim_jp_join_expiry_cb,
                           "JP Expiry", static_cast<uint32_t>(holdtime) * 1000);
        } else {
            ds_timer_stop(if_minfo_p->jp_expiry_timer);
        }
    }
    if ((actions & DS_ACT_START_PPT) != 0) {
        ds_timer_start(if_minfo_p, if_minfo_p->prune_pending_timer, pim_jp_prune_pending_cb,
                       "Prune Pending", pim_jp_prune_pending_ms(if_p));
    }
    if ((actions & DS_ACT_SET) != 0) {
        pim_minfo_ilist_set(ds_list(if_minfo_p), if_p->if_index);
    }
    if ((actions & DS_ACT_CLEAR) != 0) {
        pim_minfo_ilist_clear(ds_list(if_minfo_p), if_p->if_index);
    }
    if ((actions & DS_ACT_ENQUEUE) != 0 && !if_minfo_p->on_tmp_list) {
        // Only the (S,G,rpt) table queues.
        auto *rpt_p = static_cast<t_pim_if_minfo_rpt *>(if_minfo_p);
        TAILQ_INSERT_TAIL(&if_p->vpn_p->tmp_sgrpt_list, rpt_p, tmp_sgrpt_entry);
        if_minfo_p->on_tmp_list = true;
    }
    if ((actions & DS_ACT_DEQUEUE) != 0) {
        pim_jp_tmp_sgrpt_remove(if_minfo_p);
    }
}

// The one place where a record's downstream state changes.
void ds_set_state(t_pim_if_minfo *if_minfo_p, e_ds_event event, e_pim_if_dstream_state next)
{
    const t_pim_minfo *minfo_p = if_minfo_p->minfo_p;
    PIM_LOG_MINFO(minfo_p, PIM_DEBUG_LEVEL_DETAIL,
                  "vpn: %lu %s: %s:%s - Old state: %s New state: %s",
                  static_cast<unsigned long>(minfo_p->vpn_p->vpn_id), if_minfo_p->if_p->user_name,
                  pim_minfo_str(minfo_p).c, event_name(event),
                  pim_dstream_state_string(if_minfo_p->ds_state), pim_dstream_state_string(next));
    if_minfo_p->ds_state = next;
}

int ds_event(t_pim_if_minfo *if_minfo_p, e_ds_event event, uint16_t holdtime = 0)
{
    const t_ds_table &table = if_minfo_p->type == PIM_TYPE_SG_RPT ? sgrpt_table : xg_table;
    if (if_minfo_p->ds_state >= DS_STATES) {
        return 0;
    }
    const t_ds_row &row = table[if_minfo_p->ds_state][event];
    if (!row.valid) {
        return 0;
    }
    ds_apply(if_minfo_p, row.actions, holdtime);
    ds_set_state(if_minfo_p, event, row.next);
    return 0;
}

} // namespace

uint32_t pim_jp_prune_pending_ms(const t_pim_if *if_p)
{
    if (avl_numnodes(&if_p->nbr_db) >= 2) {
        return static_cast<uint32_t>(if_p->prop_delay) + if_p->override_int;
    }
    return PIM_PRUNE_PENDING_P2P_MS;
}

int pim_jp_dstream_sm_join_xg(t_pim_if *, t_pim_if_minfo *if_minfo_p, uint16_t holdtime)
{
    return ds_event(if_minfo_p, DS_EV_JOIN, holdtime);
}

int pim_jp_dstream_sm_prune_xg(t_pim_if *, t_pim_if_minfo *if_minfo_p)
{
    return ds_event(if_minfo_p, DS_EV_PRUNE);
}

int pim_jp_dstream_sm_jt_expiry_xg(t_pim_if_minfo *if_minfo_p)
{
    return ds_event(if_minfo_p, DS_EV_ET_EXPIRY);
}

int pim_jp_dstream_sm_ppt_expiry_xg(t_pim_if_minfo *if_minfo_p)
{
    return ds_event(if_minfo_p, DS_EV_PPT_EXPIRY);
}

int pim_jp_dstream_sm_join_sgrpt(t_pim_if *, t_pim_if_minfo *if_minfo_p, uint16_t holdtime)
{
    return ds_event(if_minfo_p, DS_EV_JOIN, holdtime);
}

int pim_jp_dstream_sm_prune_sgrpt(t_pim_if *, t_pim_if_minfo *if_minfo_p, uint16_t holdtime)
{
    return ds_event(if_minfo_p, DS_EV_PRUNE, holdtime);
}

int pim_jp_dstream_sm_xg_join_sgrpt(t_pim_if *, t_pim_if_minfo *if_minfo_p)
{
    return ds_event(if_minfo_p, DS_EV_XG);
}

int pim_jp_dstream_sm_eom_sgrpt(t_pim_if_minfo *if_minfo_p)
{
    return ds_event(if_minfo_p, DS_EV_EOM);
}

int pim_jp_dstream_sm_jt_expiry_sgrpt(t_pim_if_minfo *if_minfo_p)
{
    return ds_event(if_minfo_p, DS_EV_ET_EXPIRY);
}

int pim_jp_dstream_sm_ppt_expiry_sgrpt(t_pim_if_minfo *if_minfo_p)
{
    return ds_event(if_minfo_p, DS_EV_PPT_EXPIRY);
}

void pim_jp_tmp_sgrpt_remove(t_pim_if_minfo *if_minfo_p)
{
    if (!if_minfo_p->on_tmp_list) {
        return;
    }
    auto *rpt_p = static_cast<t_pim_if_minfo_rpt *>(if_minfo_p);
    TAILQ_REMOVE(&if_minfo_p->if_p->vpn_p->tmp_sgrpt_list, rpt_p, tmp_sgrpt_entry);
    if_minfo_p->on_tmp_list = false;
}

// Timer callbacks and what follows an expiry.

void pim_jp_join_expiry_cb(t_timer *, void *arg)
{
    auto *if_minfo_p = static_cast<t_pim_if_minfo *>(arg);
    const t_pim_minfo *minfo_p = if_minfo_p->minfo_p;
    PIM_LOG_MINFO(minfo_p, PIM_DEBUG_LEVEL_DETAIL, "vpn: %lu %s:JP Expiry timer cb on if: %s",
                  static_cast<unsigned long>(minfo_p->vpn_p->vpn_id), pim_minfo_str(minfo_p).c,
                  if_minfo_p->if_p->user_name);
    pim_et_join_expiry(if_minfo_p);
}

void pim_jp_prune_pending_cb(t_timer *, void *arg)
{
    auto *if_minfo_p = static_cast<t_pim_if_minfo *>(arg);
    const t_pim_minfo *minfo_p = if_minfo_p->minfo_p;
    PIM_LOG_MINFO(minfo_p, PIM_DEBUG_LEVEL_DETAIL, "vpn: %lu %s:Prune pending timer cb on if: %s",
                  static_cast<unsigned long>(minfo_p->vpn_p->vpn_id), pim_minfo_str(minfo_p).c,
                  if_minfo_p->if_p->user_name);
    pim_et_prune_pending_expiry(if_minfo_p);
}

void pim_jp_join_expiry_xg(t_pim_if_minfo *if_minfo_p)
{
    (void)pim_jp_dstream_sm_jt_expiry_xg(if_minfo_p);
    pim_et_process_join_change(if_minfo_p->minfo_p, if_minfo_p);
    pim_if_minfo_delete(if_minfo_p);
}

void pim_jp_join_expiry_sgrpt(t_pim_if_minfo *if_minfo_p)
{
    (void)pim_jp_dstream_sm_jt_expiry_sgrpt(if_minfo_p);
    pim_et_process_prune_change(if_minfo_p->minfo_p, if_minfo_p);
    pim_if_minfo_delete(if_minfo_p);
}

void pim_jp_prune_pending_expiry_xg(t_pim_if_minfo *if_minfo_p)
{
    t_pim_minfo *minfo_p = if_minfo_p->minfo_p;
    (void)pim_jp_dstream_sm_ppt_expiry_xg(if_minfo_p);
    // The group's last downstream interest is gone: so is its reason for SPT.
    if (avl_numnodes(&minfo_p->if_minfo_db) == 1) {
        pim_minfo_clear_spt_bit(minfo_p);
    }
    pim_et_process_join_change(minfo_p, if_minfo_p);
    pim_jp_send_prune_echo(if_minfo_p);
    pim_fab_shadow_process_xg_delete(minfo_p->vpn_p, &minfo_p->group);
    pim_if_minfo_delete(if_minfo_p);
}

void pim_jp_prune_pending_expiry_sg(t_pim_if_minfo *if_minfo_p)
{
    (void)pim_jp_dstream_sm_ppt_expiry_xg(if_minfo_p);
    pim_et_process_join_change(if_minfo_p->minfo_p, if_minfo_p);
    pim_jp_send_prune_echo(if_minfo_p);
    pim_if_minfo_delete(if_minfo_p);
}

void pim_jp_prune_pending_expiry_sgrpt(t_pim_if_minfo *if_minfo_p)
{
    (void)pim_jp_dstream_sm_ppt_expiry_sgrpt(if_minfo_p);
    pim_et_process_prune_change(if_minfo_p->minfo_p, if_minfo_p);
}

void pim_jp_eom(t_pim_if_minfo *if_minfo_p)
{
    (void)pim_jp_dstream_sm_eom_sgrpt(if_minfo_p);
    pim_et_process_prune_change(if_minfo_p->minfo_p, if_minfo_p);
    pim_et_if_minfo_cleanup(if_minfo_p);
}

// Other routers on the LAN that still want the tree hear our own Prune and
// can override it.
void pim_jp_send_prune_echo(t_pim_if_minfo *if_minfo_p)
{
    t_pim_if *if_p = if_minfo_p->if_p;
    if (avl_numnodes(&if_p->nbr_db) < 2) {
        return;
    }
    (void)pim_pkt_encode_jp(if_p, if_minfo_p->minfo_p, &if_p->if_addr.addr, true);
}
