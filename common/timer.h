// Timer manager: hashed timing wheels advanced in whole ticks from the monotonic
// clock. The owner drives it from one periodic loop event (timer_exec) and may
// pump the high priority wheel from inside long walks; the manager never arms an
// operating-system timer itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <sys/time.h>

enum e_timer_resn : uint8_t {
    TIMER_RESN_10MSEC = 0,
    TIMER_RESN_50MSEC = 1,
    TIMER_RESN_100MSEC = 2,
    TIMER_RESN_500MSEC = 3,
    TIMER_RESN_SEC = 4,
    TIMER_RESN_MIN = 5,
};

enum e_timer_type : uint8_t {
    TIMER_TYPE_ONESHOT = 0,
    TIMER_TYPE_CYCLIC = 1,
};

enum e_timer_state : uint8_t {
    TIMER_STATE_DISABLED = 0,
    TIMER_STATE_ENABLED = 1,
    TIMER_STATE_DELETED = 2,
};

enum e_timer_priority : uint8_t {
    TIMER_PRI_NORMAL = 0,
    TIMER_PRI_MIN = TIMER_PRI_NORMAL,
    TIMER_PRI_HIGH = 1,
    NUM_TIMER_PRIORITIES = 2,
};

enum e_timer_pri_mask : uint8_t {
    TIMER_PRI_MASK_NORMAL = 1,
    TIMER_PRI_MASK_HIGH = 2,
    TIMER_PRI_MASK_ALL = 3,
};

inline constexpr unsigned TIMER_NUM_BUCKETS = 2048;
inline constexpr uint16_t TIMER_BUCKET_NULL = 65535;
// timer_exec's result when its budget ran out before every due bucket was served.
inline constexpr int TIMER_EXEC_OVER_BUDGET = 11;

struct t_dlnode {
    t_dlnode *p_next;
    t_dlnode *p_prev;
};

struct t_dll {
    t_dlnode *p_head;
    t_dlnode *p_tail;
    int count;
};

struct t_timer;
struct t_timer_mgr;

using f_timer_callback = void (*)(t_timer *timer, void *arg);
using f_timer_alloc = void *(*)(void *mem_arg, size_t size);
using f_timer_free = void (*)(void *mem_arg, void *ptr);
// Source of monotonic time; tests substitute a clock they advance by hand.
using f_timer_clock = void (*)(timespec *now);

// Names are shown cut to TIMER_NAME_LEN - 1 characters.
inline constexpr size_t TIMER_NAME_LEN = 40;

// Daemons hold hundreds of thousands of timers: the small fields share one
// word, an idle timer sits on no list, and one argument serves every user.
struct t_timer {
    t_dlnode dl_node; // link in its wheel bucket while armed
    t_timer_mgr *p_mgr;
    uint64_t expire_ticks;
    uint32_t interval_ticks;
    uint16_t bucket;
    uint8_t type : 1;     // e_timer_type
    uint8_t state : 2;    // e_timer_state
    uint8_t priority : 1; // e_timer_priority actually used
    uint8_t walked : 1;
    // The creator's text, not a copy: names are literals, and daemons hold
    // hundreds of thousands of timers.
    const char *name;
    f_timer_callback cb;
    void *arg;
};

struct t_timer_mgr_pri {
    uint64_t next_bucket_ticks;
    t_dll buckets[TIMER_NUM_BUCKETS];
};

struct t_timer_mgr {
    e_timer_resn resolution;
    f_timer_alloc alloc_fn;
    f_timer_free free_fn;
    void *mem_arg;
    f_timer_clock clock_fn;
    timespec cur_time;
    uint64_t cur_ticks;
    t_timer_mgr_pri *pri[NUM_TIMER_PRIORITIES];
    uint32_t num_timers_created; // created less deleted: the timers alive
    uint32_t num_timers_deleted;
    uint32_t num_timers_active;
    uint32_t num_timers_fired;
};

t_timer_mgr *timer_mgr_create(e_timer_resn resolution, f_timer_alloc alloc_fn, f_timer_free free_fn,
                              void *mem_arg, unsigned pri_mask);
void timer_mgr_destroy(t_timer_mgr *mgr);
e_timer_resn timer_mgr_get_resolution(const t_timer_mgr *mgr, timeval *tick);
// Replaces the monotonic clock (tests); resynchronises cur_time to the new clock.
void timer_mgr_set_clock(t_timer_mgr *mgr, f_timer_clock clock_fn);
void timer_mgr_update_curtime(t_timer_mgr *mgr);

t_timer *timer_util_create(t_timer_mgr *mgr, e_timer_priority priority, e_timer_type type,
                           uint32_t interval_ms, f_timer_callback cb, void *arg, const char *name);
void timer_util_delete(t_timer *timer);
// A timer kept inside its owner's record rather than allocated: init readies
// it (false when the manager has no wheel for it), fini stops it and must come
// before the record goes.
bool timer_util_init(t_timer *timer, t_timer_mgr *mgr, e_timer_priority priority, e_timer_type type,
                     uint32_t interval_ms, f_timer_callback cb, void *arg, const char *name);
void timer_util_fini(t_timer *timer);
void timer_enable(t_timer *timer);
void timer_disable(t_timer *timer);
void timer_reset(t_timer *timer, uint32_t interval_ms);
void timer_reset_interval(t_timer *timer, uint32_t interval_ms);
// No timer at all counts as stopped.
bool timer_is_active(const t_timer *timer);
int64_t timer_get_ticks_to_expiry(const t_timer *timer);
uint32_t timer_get_interval_ticks(const t_timer *timer);
int timer_exec(t_timer_mgr *mgr, unsigned pri_mask, uint32_t budget_ms);

uint32_t timer_ms_to_ticks(e_timer_resn resolution, uint32_t ms, bool round);
uint64_t timer_ticks_to_ms(e_timer_resn resolution, uint64_t ticks);

const char *timer_resn_name(e_timer_resn resolution);
const char *timer_type_name(uint8_t type);
const char *timer_state_name(uint8_t state);
const char *timer_priority_name(uint8_t priority);

void timer_mgr_dump(const t_timer_mgr *mgr, unsigned n);
void timer_dump(const t_timer *timer);
