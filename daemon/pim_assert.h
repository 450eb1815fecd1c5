// Assert: the per-entry, per-interface election of one forwarder per LAN.
// The receive path and the forwarding link enter through pim_subsys.h.
#pragma once

#include <cstdint>

#include "daemon/pim_defs.h"
#include "daemon/pim_minfo.h"

struct t_pim_if;
struct t_pim_nbr;

// A received metric against the local state.
enum e_pim_assert_metric_type : uint8_t {
    PIM_ASSERT_METRIC_PREFERRED = 0,  // better than the current winner's
    PIM_ASSERT_METRIC_ACCEPTABLE = 1, // not worse than ours, not better than the winner's
    PIM_ASSERT_METRIC_INFERIOR = 2,   // worse than ours
};

// What a state does with a received Assert.
enum e_pim_assert_action : uint8_t {
    PIM_ASSERT_ACT_NONE,
    PIM_ASSERT_ACT_A1, // become winner: send our Assert
    PIM_ASSERT_ACT_A2, // accept the sender as winner
    PIM_ASSERT_ACT_A3, // refresh as winner
    PIM_ASSERT_ACT_A5, // drop the winner
    PIM_ASSERT_ACT_A6, // accept the sender as winner (of the upstream LAN)
};

// Conditions a transition may need besides the metric type.
enum e_pim_assert_cond : uint8_t {
    PIM_ASSERT_COND_IN_LIST = 0x1,        // the interface is in the inherited outgoing list
    PIM_ASSERT_COND_TRACKING = 0x2,       // in the list, or it is the RPF interface
    PIM_ASSERT_COND_SG = 0x4,             // the entry is (S,G)
    PIM_ASSERT_COND_XG_RPT = 0x8,         // the entry is (*,G) and the R bit is set
    PIM_ASSERT_COND_SG_OR_RPT = 0x10,     // the entry is (S,G) or the R bit is set
    PIM_ASSERT_COND_FROM_WINNER = 0x20,   // the sender is the current winner
    PIM_ASSERT_COND_INF_OR_CANCEL = 0x40, // inferior, or an AssertCancel
};

struct t_pim_assert_step {
    e_pim_minfo_assert_state next;
    e_pim_assert_action action;
    bool consumed; // not passed on from the (S,G) entry to the (*,G) entry
};

// The transition taken for a received Assert.
t_pim_assert_step pim_assert_transition(e_pim_minfo_assert_state state,
                                        e_pim_assert_metric_type type, uint8_t conds);
// 1 when a wins, 2 when b wins, 0 when equal.
int pim_assert_metric_cmp(const t_pim_assert_metric *a, const t_pim_assert_metric *b);
// This router's metric for an entry on an interface.
void pim_assert_get_minfo_metric(t_pim_minfo *minfo_p, t_pim_if *if_p, t_pim_assert_metric *out);
// Runs the machine of one entry; *pass_on is cleared when the entry consumed the Assert.
e_pim_status pim_assert_process_pkt_minfo(t_pim_nbr *sender_p, const t_pim_assert_metric *received,
                                          t_pim_minfo *minfo_p, bool *pass_on);
// The Assert timer of an entry's state on an interface (rec_p nullptr: its RPF state) ran out.
void pim_assert_expiry(t_pim_if *if_p, t_pim_minfo *minfo_p, t_pim_if_minfo *rec_p);
// True when this router lost the Assert for the entry on the interface (the
// entry's own state there, else its group's (*,G) state): forwarding leaves
// the interface out.
bool pim_assert_lost(t_pim_minfo *minfo_p, t_pim_if *if_p);
// A neighbor is leaving or restarted: the states it won fall back to NOINFO.
void pim_assert_nbr_gone(t_pim_nbr *nbr_p);
// The entry's state on an interface goes away: a winner tells the LAN with an
// AssertCancel, so that the losers forward again without waiting.
void pim_assert_cancel(t_pim_if_minfo *rec_p);
