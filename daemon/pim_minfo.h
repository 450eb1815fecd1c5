// Multicast routing entries of a VPN ((*,G), (S,G), (S,G,rpt), Auto-RP), their
// per-interface records and interface lists, the per-type dispatch layer, and
// the upstream side: JoinDesired, PruneDesired, inherited lists, Join timers
// and SPT switchover.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <sys/queue.h>

#include "common/avl.h"
#include "common/ip_util.h"
#include "common/timer.h"
#include "daemon/pim_debug.h"
#include "daemon/pim_defs.h"
#include "daemon/pim_pkt_codec.h"

struct t_pim_daemon;
struct t_pim_if;
struct t_pim_nbr;
struct t_pim_next_hop;
struct t_pim_repl;
struct t_pim_vpn;

inline constexpr uint16_t PIM_MINFO_MAGIC = 48815;      // 0xBEAF
inline constexpr uint16_t PIM_MINFO_MAGIC_DEAD = 57005; // 0xDEAD

enum e_pim_upstream_state : uint8_t {
    PIM_UPSTREAM_UNKNOWN = 0,
    PIM_UPSTREAM_NOT_JOINED = 1,
    PIM_UPSTREAM_JOINED = 2,
    PIM_UPSTREAM_NOT_PRUNED = 3,
    PIM_UPSTREAM_PRUNED = 4,
};

enum e_pim_if_dstream_state : uint8_t {
    PIM_IF_DSTREAM_UNKNOWN = 0,
    PIM_IF_DSTREAM_NOINFO = 1,
    PIM_IF_DSTREAM_JOINED = 2,
    PIM_IF_DSTREAM_PRUNE_PENDING = 3,
    PIM_IF_DSTREAM_PRUNED = 4,
    PIM_IF_DSTREAM_PRUNE_TMP = 5,
    PIM_IF_DSTREAM_PRUNE_PENDING_TMP = 6,
};

// minfo_flags
inline constexpr uint32_t PIM_MINFO_FLAG_NH_CHANGE = 0x1;
inline constexpr uint32_t PIM_MINFO_FLAG_FTM = 0x2;
inline constexpr uint32_t PIM_MINFO_FLAG_SPT = 0x4;
inline constexpr uint32_t PIM_MINFO_FLAG_SA = 0x8;
// macro_result
inline constexpr uint32_t PIM_MACRO_JOIN_DESIRED = 0x1;
inline constexpr uint32_t PIM_MACRO_RPT_JOIN_DESIRED = 0x2;
inline constexpr uint32_t PIM_MACRO_PRUNE_DESIRED = 0x4;
inline constexpr uint32_t PIM_MACRO_SGRPT_EQUAL = 0x8;
inline constexpr uint32_t PIM_MACRO_SA_JOIN_DESIRED = 0x10;

// Timer intervals and holdtimes.
inline constexpr uint32_t PIM_MINFO_JOIN_TIMER_MS = 60000;
inline constexpr uint32_t PIM_MINFO_JOIN_TRIGGER_MS = 1000;
inline constexpr uint32_t PIM_ASSERT_TIMER_MS = 180000;
inline constexpr uint32_t PIM_PRUNE_PENDING_P2P_MS = 100;
inline constexpr uint16_t PIM_JP_HOLDTIME_FOREVER = 65535;

// Interface lists: one bit per interface bitmap index (1..1023), bit 0 unused.
inline constexpr size_t PIM_ILIST_BITS = 1024;
inline constexpr size_t PIM_ILIST_BYTES = PIM_ILIST_BITS / 8;
struct t_pim_ilist {
    uint8_t bits[PIM_ILIST_BYTES];
};
// A list kept by an entry: the interfaces' indexes in ascending order. A short
// list is packed into the pointer itself; a longer one is a header followed by
// cap slots, the first count in use. An empty list is no list (nullptr). Only
// the ilist operations below that take one may look into it.
struct t_pim_olist {
    uint16_t count;
    uint16_t cap;
};

enum e_pim_minfo_assert_state : uint8_t {
    PIM_ASSERT_STATE_NOINFO = 0,
    PIM_ASSERT_STATE_WINNER = 1,
    PIM_ASSERT_STATE_LOSER = 2,
};

struct t_pim_if_minfo;
struct t_pim_minfo;

// Assert state of an entry on one interface. Kept in its own record, made on
// the first Assert: most entries never see one (no record means NoInfo).
struct t_pim_assert_info {
    e_pim_minfo_assert_state state;
    t_pim_assert_metric winner_metric;
    t_pim_nbr *winner_p;
    t_timer *assert_timer_p;
    // Where the timer's callback starts from, set when the timer is made:
    // the entry, and its record (nullptr for the entry's upstream side).
    t_pim_minfo *timer_minfo_p;
    t_pim_if_minfo *timer_rec_p;
};

// Small fields sit together: records and entries are the bulk of the
// daemon's memory, and every padding byte counts once per record.
struct t_pim_if_minfo {
    avl_node_t if_tree_node;
    avl_node_t minfo_tree_node;
    uint32_t magic;
    e_pim_type type;
    e_pim_if_dstream_state ds_state;
    bool on_tmp_list;
    t_pim_if *if_p;
    t_pim_minfo *minfo_p;     // its group and source key the interface's tree
    t_timer *jp_expiry_timer; // both exist only while running
    t_timer *prune_pending_timer;
    t_pim_assert_info *assert_info_p; // nullptr: NoInfo
};

// An (S,G,rpt) record: only these wait on their VPN's temporary list (while
// on_tmp_list), so only these carry the link.
struct t_pim_if_minfo_rpt : t_pim_if_minfo {
    TAILQ_ENTRY(t_pim_if_minfo_rpt) tmp_sgrpt_entry;
};

inline constexpr size_t PIM_MINFO_STR_LEN = 40;

struct t_pim_minfo {
    avl_node_t tree_node;
    uint16_t magic; // both magic words fit in 16 bits
    e_pim_type type;
    e_pim_upstream_state upstream_state;
    bool sptbit;
    bool update_ftm;
    uint16_t auto_rp_pkt_len;
    t_ipaddr group;
    t_ipaddr source;
    t_pim_vpn *vpn_p;
    TAILQ_ENTRY(t_pim_minfo) nh_minfo_link;
    TAILQ_ENTRY(t_pim_minfo) repl_minfo_link;
    t_pim_next_hop *nh_p;
    t_pim_repl *repl_p;
    uint32_t macro_result;
    uint32_t minfo_flags;
    uint32_t rpf_nbr_if;
    uint32_t direct_source_if;
    t_timer *join_timer;     // join_timer_rec, or nullptr (Auto-RP)
    t_timer *override_timer; // made when first armed
    t_timer *auto_rp_hold_timer;
    t_ipaddr received_rp;
    t_ipaddr rp_in_use;
    t_ipaddr rpf_nbr_addr;
    t_pim_assert_info *rpf_assert_info_p; // nullptr: NoInfo
    avl_tree_t if_minfo_db;
    t_pim_olist *local_olist_p;
    t_pim_olist *joined_olist_p;
    t_pim_olist *inherited_olist_p;
    t_pim_olist *pruned_olist_p;
    uint8_t *auto_rp_pkt_cache;
    time_t up_time;
    // Most entries keep a Join timer for their whole life: it lives here
    // rather than in an allocation of its own.
    t_timer join_timer_rec;
};

// An entry's printable name for one log line, made when needed rather than
// kept in every entry: pim_minfo_str(minfo_p).c. Long names are cut.
struct t_pim_minfo_str {
    char c[PIM_MINFO_STR_LEN];
};
t_pim_minfo_str pim_minfo_str(const t_pim_minfo *minfo_p);

// Display texts.
const char *pim_type_string(e_pim_type type);
const char *pim_upstream_state_string(e_pim_upstream_state state);
const char *pim_dstream_state_string(e_pim_if_dstream_state state);
const char *pim_assert_state_string(e_pim_minfo_assert_state state);
void pim_minfo_flags_string(const t_pim_minfo *minfo_p, char *buf, size_t size);
void pim_macro_results_string(const t_pim_minfo *minfo_p, char *buf, size_t size);

// Interface lists.
t_pim_ilist *pim_minfo_ilist_alloc();
void pim_minfo_ilist_free(t_pim_ilist *list);
void pim_minfo_ilist_copy(t_pim_ilist *dst, const t_pim_ilist *src);
int pim_minfo_ilist_cmp(const t_pim_ilist *a, const t_pim_ilist *b);
void pim_minfo_ilist_merge(t_pim_ilist *dst, const t_pim_ilist *src);
void pim_minfo_ilist_exclude(t_pim_ilist *dst, const t_pim_ilist *src);
void pim_minfo_ilist_reset(t_pim_ilist *list);
void pim_minfo_ilist_set(t_pim_ilist *list, uint32_t index);
void pim_minfo_ilist_clear(t_pim_ilist *list, uint32_t index);
bool pim_minfo_ilist_test(const t_pim_ilist *list, uint32_t index);
bool pim_minfo_ilist_empty(const t_pim_ilist *list);
// The lowest set bit above 0 (above index for find_next) into *out, 0 if none.
void pim_minfo_ilist_find_first(const t_pim_ilist *list, uint32_t *out);
void pim_minfo_ilist_find_next(const t_pim_ilist *list, uint32_t index, uint32_t *out);
void pim_ilist_to_str(t_pim_vpn *vpn_p, const t_pim_ilist *list, char *buf, size_t size);
// The same operations on an entry's lists; those that change one take its field.
void pim_minfo_ilist_free(t_pim_olist **list);
void pim_minfo_ilist_set(t_pim_olist **list, uint32_t index);
void pim_minfo_ilist_clear(t_pim_olist **list, uint32_t index);
bool pim_minfo_ilist_test(const t_pim_olist *list, uint32_t index);
bool pim_minfo_ilist_empty(const t_pim_olist *list);
void pim_minfo_ilist_merge(t_pim_ilist *dst, const t_pim_olist *src);
void pim_minfo_ilist_exclude(t_pim_ilist *dst, const t_pim_olist *src);
// Makes dst hold the interfaces of src; true when that changed it.
bool pim_minfo_ilist_store(t_pim_olist **dst, const t_pim_ilist *src);
void pim_minfo_ilist_find_first(const t_pim_olist *list, uint32_t *out);
void pim_minfo_ilist_find_next(const t_pim_olist *list, uint32_t index, uint32_t *out);
void pim_ilist_to_str(t_pim_vpn *vpn_p, const t_pim_olist *list, char *buf, size_t size);

// Assert records: get returns nullptr while the state is NoInfo; get_or_create
// makes a NoInfo record (nullptr when out of memory); free drops the record and
// its timer, going back to NoInfo.
t_pim_assert_info *pim_minfo_assert_get(const t_pim_minfo *minfo_p);
t_pim_assert_info *pim_minfo_assert_get_or_create(t_pim_minfo *minfo_p);
void pim_minfo_assert_free(t_pim_minfo *minfo_p);
t_pim_assert_info *pim_if_minfo_assert_get(const t_pim_if_minfo *if_minfo_p);
t_pim_assert_info *pim_if_minfo_assert_get_or_create(t_pim_if_minfo *if_minfo_p);
void pim_if_minfo_assert_free(t_pim_if_minfo *if_minfo_p);
// The state, NoInfo when there is no record.
e_pim_minfo_assert_state pim_if_minfo_assert_state(const t_pim_if_minfo *if_minfo_p);

// Keys and orders.
int pim_minfo_cmp(const void *a, const void *b);
int pim_if_minfo_cmp(const void *a, const void *b);
int pim_minfo_ifindex_cmp(const void *a, const void *b);
int pim_minfo_cmp_group(const t_ipaddr *a, const t_ipaddr *b);
int pim_minfo_cmp_source(const t_ipaddr *a, const t_ipaddr *b);

// Entries. A missing group or source means the all-zero IPv4 address.
e_pim_status pim_minfo_init(t_pim_vpn *vpn_p);
void pim_minfo_destroy(t_pim_vpn *vpn_p);
t_pim_minfo *pim_minfo_find(t_pim_vpn *vpn_p, e_pim_type type, const t_ipaddr *group,
                            const t_ipaddr *source, avl_index_t *where);
t_pim_minfo *pim_minfo_find_next(t_pim_vpn *vpn_p, e_pim_type type, const t_ipaddr *group,
                                 const t_ipaddr *source);
// The first entry of a group (its (*,G) entry when there is one).
t_pim_minfo *pim_minfo_group_first(t_pim_vpn *vpn_p, const t_ipaddr *group);
t_pim_minfo *pim_minfo_find_or_create(t_pim_vpn *vpn_p, t_pim_if *if_p, e_pim_type type,
                                      const t_ipaddr *group, const t_ipaddr *source,
                                      const t_ipaddr *rp);
void pim_minfo_delete(t_pim_minfo *minfo_p);
void pim_minfo_check_and_delete(t_pim_minfo *minfo_p);
void pim_minfo_find_and_delete(t_pim_vpn *vpn_p, e_pim_type type, const t_ipaddr *group,
                               const t_ipaddr *source);
t_pim_minfo *pim_minfo_find_xg_from_sg(t_pim_minfo *minfo_p);
t_pim_minfo *pim_minfo_find_xg_from_g(t_pim_vpn *vpn_p, const t_ipaddr *group);
void pim_minfo_rp_update(t_pim_vpn *vpn_p, t_pim_minfo *minfo_p, const t_ipaddr *rp);
void pim_minfo_copy_keys(t_pim_minfo *dst, const t_pim_minfo *src);
void pim_minfo_cleanup_if(t_pim_if *if_p);
void pim_minfo_cleanup_nbr(t_pim_vpn *vpn_p, t_pim_nbr *nbr_p);
void pim_minfo_process_inherited_oilist(t_pim_minfo *minfo_p);
// The RPF target of an entry (source or RP); false when it has none.
bool pim_jp_rp_get(t_pim_minfo *minfo_p, t_ipaddr *rp_p);
// True when entry debugging of the entry's VPN is on at level and for its group.
bool pim_minfo_debug_on(const t_pim_minfo *minfo_p, uint8_t level);
// An entry's debug line (priority 191), written when pim_minfo_debug_on allows.
#define PIM_LOG_MINFO(minfo_p, level, fmt, ...)                                                    \
    do {                                                                                           \
        if (pim_minfo_debug_on((minfo_p), (level))) {                                              \
            PIM_LOG(fmt, ##__VA_ARGS__);                                                           \
        }                                                                                          \
    } while (0)

// Per-interface records.
e_pim_status pim_if_minfo_init(t_pim_if *if_p);
void pim_if_minfo_destroy(t_pim_if *if_p);
t_pim_if_minfo *pim_if_minfo_find(t_pim_if *if_p, e_pim_type type, const t_ipaddr *group,
                                  const t_ipaddr *source, avl_index_t *where);
t_pim_if_minfo *pim_if_minfo_find_from_minfo(t_pim_if *if_p, const t_pim_minfo *minfo_p);
t_pim_if_minfo *pim_if_minfo_find_or_create(t_pim_if *if_p, t_pim_minfo *minfo_p);
void pim_if_minfo_delete(t_pim_if_minfo *if_minfo_p);
void pim_if_minfo_find_and_delete(t_pim_if *if_p, e_pim_type type, const t_ipaddr *group,
                                  const t_ipaddr *source);
void pim_if_minfo_cleanup_xg(t_pim_if_minfo *if_minfo_p);
void pim_if_minfo_cleanup_sg(t_pim_if_minfo *if_minfo_p);
void pim_if_minfo_cleanup_sgrpt(t_pim_if_minfo *if_minfo_p);

// Per-type dispatch.
void pim_et_process_join_change(t_pim_minfo *minfo_p, t_pim_if_minfo *if_minfo_p);
void pim_et_process_prune_change(t_pim_minfo *minfo_p, t_pim_if_minfo *if_minfo_p);
bool pim_et_compute_join_desired(t_pim_minfo *minfo_p);
void pim_et_join_desired_enable(t_pim_minfo *minfo_p);
void pim_et_join_desired_disable(t_pim_minfo *minfo_p);
void pim_et_process_join_desired(t_pim_minfo *minfo_p);
void pim_et_process_prune_desired(t_pim_minfo *minfo_p);
void pim_et_process_inherited_oilist(t_pim_minfo *minfo_p);
void pim_et_join_expiry(t_pim_if_minfo *if_minfo_p);
void pim_et_prune_pending_expiry(t_pim_if_minfo *if_minfo_p);
void pim_et_if_minfo_cleanup(t_pim_if_minfo *if_minfo_p);
void pim_et_minfo_init(t_pim_minfo *minfo_p);
int pim_et_jp_join(e_pim_type type, t_pim_if *if_p, const t_ipaddr *group, const t_ipaddr *addr,
                   uint16_t holdtime);
int pim_et_jp_prune(e_pim_type type, t_pim_if *if_p, const t_ipaddr *group, const t_ipaddr *addr);
bool pim_et_group_is_auto_rp(const t_ipaddr *group);

// Upstream: macros.
bool pim_minfo_compute_join_desired_xg(t_pim_minfo *minfo_p);
bool pim_minfo_compute_join_desired_sg(t_pim_minfo *minfo_p);
bool pim_minfo_compute_join_desired_sgrpt(t_pim_minfo *minfo_p);
bool pim_minfo_compute_join_desired_sa(t_pim_minfo *xg_p);
bool pim_minfo_compute_prune_desired_sgrpt(t_pim_minfo *minfo_p);

// Upstream: processing after a change.
void pim_minfo_process_join_desired_xg(t_pim_minfo *minfo_p);
void pim_minfo_process_join_desired_sgrpt(t_pim_minfo *minfo_p);
void pim_minfo_process_prune_desired_sgrpt(t_pim_minfo *minfo_p);
void pim_minfo_join_desired_enable_xg(t_pim_minfo *minfo_p);
void pim_minfo_join_desired_disable_xg(t_pim_minfo *minfo_p);
void pim_minfo_join_desired_enable_sgrpt(t_pim_minfo *minfo_p);
void pim_minfo_join_desired_disable_sgrpt(t_pim_minfo *minfo_p);
void pim_minfo_prune_desired_enable_sgrpt(t_pim_minfo *minfo_p);
void pim_minfo_prune_desired_disable_sgrpt(t_pim_minfo *minfo_p);
void pim_minfo_process_join_change_xg(t_pim_minfo *minfo_p, t_pim_if_minfo *if_minfo_p);
void pim_minfo_process_join_change_sg(t_pim_minfo *minfo_p, t_pim_if_minfo *if_minfo_p);
void pim_minfo_process_join_change_xxrp(t_pim_minfo *minfo_p, t_pim_if_minfo *if_minfo_p);
void pim_minfo_process_prune_change_sg_rpt(t_pim_minfo *minfo_p, t_pim_if_minfo *if_minfo_p);
void pim_minfo_init_xg(t_pim_minfo *minfo_p);
void pim_minfo_init_sgrpt(t_pim_minfo *minfo_p);

// Upstream: inherited lists.
void pim_minfo_inherited_oilist_sg_rpt(t_pim_minfo *minfo_p, t_pim_ilist *out, bool only_xxg);
void pim_minfo_inherited_oilist_sg(t_pim_minfo *minfo_p, t_pim_ilist *out);
void pim_minfo_process_inherited_oilist_change_xxg(t_pim_minfo *minfo_p);
void pim_minfo_process_inherited_oilist_change_xg(t_pim_minfo *minfo_p);
void pim_minfo_process_inherited_oilist_change_sg(t_pim_minfo *minfo_p);
void pim_minfo_process_inherited_oilist_change_sg_rpt(t_pim_minfo *minfo_p);

// Upstream: state, timers and sending.
void pim_minfo_update_upstream_state(t_pim_minfo *minfo_p, e_pim_upstream_state state);
void pim_minfo_xg_trigger_upstream(t_pim_minfo *minfo_p);
void pim_minfo_join_timer_cb(t_timer *timer, void *minfo_p);
// A Join/Prune group record another router on if_p sent to upstream: our
// Joins to the same router are suppressed, its Prunes of what we need overridden.
void pim_minfo_see_other_jp(t_pim_if *if_p, const t_ipaddr *upstream, const t_pim_pkt_jp *jp);
void pim_minfo_override_timer_cb(t_timer *timer, void *minfo_p);
void pim_minfo_encode_jp(t_pim_if *if_p, t_pim_minfo *minfo_p, const t_ipaddr *upstream,
                         bool prune);
// The current upstream neighbor (rpf_nbr_addr anywhere in the VPN); *rp_p gets rp_in_use.
t_pim_nbr *pim_minfo_get_rpf_nbr(t_pim_vpn *vpn_p, t_pim_minfo *minfo_p, t_ipaddr *rp_p);
void pim_minfo_cleanup_nbr_xg(t_pim_minfo *minfo_p, t_pim_nbr *winner_p);
// A new join_interval on an interface: the entries joined through it take it,
// their running Join timers restarted with it.
void pim_minfo_jp_interval_update(t_pim_if *if_p);

// SPT switchover.
void pim_minfo_clear_spt_bit(t_pim_minfo *minfo_p);
e_pim_status pim_minfo_spt_sg_create(t_pim_daemon *daemon_p, uint64_t vpn_id,
                                     const t_ipaddr *source, const t_ipaddr *group);
e_pim_status pim_minfo_spt_sg_delete(t_pim_daemon *daemon_p, uint64_t vpn_id,
                                     const t_ipaddr *source, const t_ipaddr *group);
void pim_minfo_spt_sg_delete_all(t_pim_vpn *vpn_p);

// Dumps of a VPN's entries (one line per entry, then its per-interface records).
void pim_minfo_dump(t_pim_vpn *vpn_p, void *user_p, t_pim_dump_out out);
