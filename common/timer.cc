#include "common/timer.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "common/zul_assert.h"
#include "common/zul_log.h"

namespace
{

constexpr uint32_t BUCKET_MASK = TIMER_NUM_BUCKETS - 1;
constexpr uint32_t RESN_MS[] = {10, 50, 100, 500, 1000, 60000};
constexpr const char *RESN_NAMES[] = {"10ms", "50ms", "100ms", "500ms", "1sec", "1min"};
// Time since the last budget check past which a single timer is reported as slow.
constexpr int64_t SLOW_TIMER_MS = 5000;
// Slack beyond the caller's budget before a walk stops at the next bucket edge.
constexpr int64_t BUDGET_SLACK_MS = 50;
constexpr int NAME_SHOWN = static_cast<int>(TIMER_NAME_LEN - 1);

uint32_t resn_ms(e_timer_resn resolution)
{
    ZUL_ASSERT(resolution <= TIMER_RESN_MIN);
    return RESN_MS[resolution];
}

void monotonic_clock(timespec *now) { clock_gettime(CLOCK_MONOTONIC, now); }

void *default_alloc(void *, size_t size) { return malloc(size); }
void default_free(void *, void *ptr) { free(ptr); }

void dll_append(t_dll *list, t_dlnode *node)
{
    ZUL_ASSERT(node->p_next == nullptr && node->p_prev == nullptr);
    node->p_prev = list->p_tail;
    if (list->p_tail != nullptr) {
        list->p_tail->p_next = node;
    } else {
        list->p_head = node;
    }
    list->p_tail = node;
    list->count++;
}

void dll_remove(t_dll *list, t_dlnode *node)
{
    ZUL_ASSERT(list->count > 0);
    if (node->p_prev != nullptr) {
        node->p_prev->p_next = node->p_next;
    } else {
        list->p_head = node->p_next;
    }
    if (node->p_next != nullptr) {
        node->p_next->p_prev = node->p_prev;
    } else {
        list->p_tail = node->p_prev;
    }
    node->p_next = nullptr;
    node->p_prev = nullptr;
    list->count--;
}

t_timer *timer_of_bucket_node(t_dlnode *node) { return reinterpret_cast<t_timer *>(node); }

int64_t ms_between(const timespec &from, const timespec &to)
{
    return (static_cast<int64_t>(to.tv_sec) - from.tv_sec) * 1000 +
           (static_cast<int64_t>(to.tv_nsec) - from.tv_nsec) / 1000000;
}

void arm(t_timer *timer)
{
    t_timer_mgr *mgr = timer->p_mgr;
    t_timer_mgr_pri *wheel = mgr->pri[timer->priority];
    ZUL_ASSERT(timer->bucket == TIMER_BUCKET_NULL);
    timer_mgr_update_curtime(mgr);
    if (timer->interval_ticks == 0) {
        timer->interval_ticks = 1;
    }
    timer->expire_ticks = mgr->cur_ticks + timer->interval_ticks;
    if (timer->expire_ticks < wheel->next_bucket_ticks) {
        timer->expire_ticks = wheel->next_bucket_ticks + 1;
    }
    timer->bucket = static_cast<uint16_t>(timer->expire_ticks & BUCKET_MASK);
    dll_append(&wheel->buckets[timer->bucket], &timer->dl_node);
    timer->state = TIMER_STATE_ENABLED;
    timer->walked = 0;
    mgr->num_timers_active++;
}

// Fires the due buckets of one wheel; returns TIMER_EXEC_OVER_BUDGET when it
// stopped at a bucket edge because the budget was used up.
int process_wheel(t_timer_mgr *mgr, t_timer_mgr_pri *wheel, const timespec &start,
                  uint32_t budget_ms)
{
    const char *last_name = "";
    timespec last_check = start;
    bool over_budget = false;

    while (wheel->next_bucket_ticks <= mgr->cur_ticks) {
        if (over_budget) {
            return TIMER_EXEC_OVER_BUDGET;
        }
        t_dll *bucket = &wheel->buckets[wheel->next_bucket_ticks & BUCKET_MASK];
        while (bucket->p_head != nullptr && !timer_of_bucket_node(bucket->p_head)->walked) {
            t_timer *timer = timer_of_bucket_node(bucket->p_head);

            timespec now;
            mgr->clock_fn(&now);
            if (ms_between(start, now) > static_cast<int64_t>(budget_ms) + BUDGET_SLACK_MS) {
                int64_t since_last = ms_between(last_check, now);
                if (since_last > SLOW_TIMER_MS) {
                    ZUL_LOG_PRI(LOG_DEBUG, "%.*s timer took %u msecs!", NAME_SHOWN, last_name,
                                static_cast<unsigned>(since_last));
                }
                over_budget = true;
            }
            last_check = now;

            dll_remove(bucket, &timer->dl_node);
            if (timer->expire_ticks != wheel->next_bucket_ticks) {
                int32_t late = static_cast<int32_t>(wheel->next_bucket_ticks - timer->expire_ticks);
                if (late >= 1) {
                    ZUL_LOG_PRI(LOG_DEBUG, "timer %.*s (%p) stale by %d ticks", NAME_SHOWN,
                                timer->name, static_cast<void *>(timer), late);
                    ZUL_ASSERT(late < 1);
                }
                dll_append(bucket, &timer->dl_node);
                timer->walked = 1;
                continue;
            }

            timer->bucket = TIMER_BUCKET_NULL;
            mgr->num_timers_active--;
            mgr->num_timers_fired++;
            if (timer->type == TIMER_TYPE_CYCLIC) {
                // Counted from the bucket, not the clock, so a late run keeps the phase.
                timer->expire_ticks = wheel->next_bucket_ticks + timer->interval_ticks;
                timer->bucket = static_cast<uint16_t>(timer->expire_ticks & BUCKET_MASK);
                dll_append(&wheel->buckets[timer->bucket], &timer->dl_node);
                mgr->num_timers_active++;
            } else {
                timer->state = TIMER_STATE_DISABLED;
            }
            last_name = timer->name;
            timer->cb(timer, timer->arg);
        }
        for (t_dlnode *n = bucket->p_head; n != nullptr; n = n->p_next) {
            timer_of_bucket_node(n)->walked = 0;
        }
        wheel->next_bucket_ticks++;
    }
    return 0;
}

} // namespace

uint32_t timer_ms_to_ticks(e_timer_resn resolution, uint32_t ms, bool round)
{
    uint32_t len = resn_ms(resolution);
    uint64_t v = round ? (static_cast<uint64_t>(ms) + len / 2) / len : ms / len;
    return static_cast<uint32_t>(v);
}

uint64_t timer_ticks_to_ms(e_timer_resn resolution, uint64_t ticks)
{
    return ticks * resn_ms(resolution);
}

t_timer_mgr *timer_mgr_create(e_timer_resn resolution, f_timer_alloc alloc_fn, f_timer_free free_fn,
                              void *mem_arg, unsigned pri_mask)
{
    resn_ms(resolution);
    if (alloc_fn == nullptr || free_fn == nullptr) {
        alloc_fn = default_alloc;
        free_fn = default_free;
    }
    unsigned wheels = 0;
    for (unsigned p = 0; p < NUM_TIMER_PRIORITIES; p++) {
        wheels += (pri_mask >> p) & 1u;
    }
    size_t size = sizeof(t_timer_mgr) + wheels * sizeof(t_timer_mgr_pri);
    void *mem = alloc_fn(mem_arg, size);
    if (mem == nullptr) {
        return nullptr;
    }
    memset(mem, 0, size);
    auto *mgr = new (mem) t_timer_mgr{};
    auto *wheel = reinterpret_cast<t_timer_mgr_pri *>(mgr + 1);
    for (unsigned p = 0; p < NUM_TIMER_PRIORITIES; p++) {
        if ((pri_mask >> p) & 1u) {
            mgr->pri[p] = wheel++;
        }
    }
    mgr->resolution = resolution;
    mgr->alloc_fn = alloc_fn;
    mgr->free_fn = free_fn;
    mgr->mem_arg = mem_arg;
    mgr->clock_fn = monotonic_clock;
    mgr->clock_fn(&mgr->cur_time);
    return mgr;
}

void timer_mgr_destroy(t_timer_mgr *mgr)
{
    bool leaked = mgr->num_timers_created != mgr->num_timers_deleted;
    if (leaked || mgr->num_timers_active != 0) {
        timer_mgr_dump(mgr, TIMER_NUM_BUCKETS / 2);
        ZUL_ASSERT(!leaked && mgr->num_timers_active == 0);
    }
    mgr->free_fn(mgr->mem_arg, mgr);
}

e_timer_resn timer_mgr_get_resolution(const t_timer_mgr *mgr, timeval *tick)
{
    if (tick != nullptr) {
        uint32_t ms = resn_ms(mgr->resolution);
        tick->tv_sec = ms / 1000;
        tick->tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
    }
    return mgr->resolution;
}

void timer_mgr_set_clock(t_timer_mgr *mgr, f_timer_clock clock_fn)
{
    mgr->clock_fn = clock_fn;
    mgr->clock_fn(&mgr->cur_time);
}

void timer_mgr_update_curtime(t_timer_mgr *mgr)
{
    timespec now;
    mgr->clock_fn(&now);
    int64_t elapsed = ms_between(mgr->cur_time, now);
    uint32_t len = resn_ms(mgr->resolution);
    if (elapsed < static_cast<int64_t>(len)) {
        return;
    }
    uint64_t ticks = static_cast<uint64_t>(elapsed) / len;
    mgr->cur_ticks += ticks;
    uint64_t add_ms = ticks * len;
    mgr->cur_time.tv_sec += static_cast<time_t>(add_ms / 1000);
    mgr->cur_time.tv_nsec += static_cast<long>((add_ms % 1000) * 1000000);
    if (mgr->cur_time.tv_nsec >= 1000000000L) {
        mgr->cur_time.tv_sec++;
        mgr->cur_time.tv_nsec -= 1000000000L;
    }
}

bool timer_util_init(t_timer *timer, t_timer_mgr *mgr, e_timer_priority priority, e_timer_type type,
                     uint32_t interval_ms, f_timer_callback cb, void *arg, const char *name)
{
    int p = priority < NUM_TIMER_PRIORITIES ? priority : NUM_TIMER_PRIORITIES - 1;
    while (p > TIMER_PRI_MIN && mgr->pri[p] == nullptr) {
        p--;
    }
    if (mgr->pri[p] == nullptr) {
        return false;
    }
    *timer = t_timer{};
    timer->p_mgr = mgr;
    timer->priority = static_cast<uint8_t>(p);
    timer->type = type;
    timer->state = TIMER_STATE_DISABLED;
    timer->bucket = TIMER_BUCKET_NULL;
    timer->name = name != nullptr ? name : "";
    timer->interval_ticks = timer_ms_to_ticks(mgr->resolution, interval_ms, true);
    timer->cb = cb;
    timer->arg = arg;
    mgr->num_timers_created++;
    return true;
}

void timer_util_fini(t_timer *timer)
{
    t_timer_mgr *mgr = timer->p_mgr;
    ZUL_ASSERT(mgr != nullptr);
    timer_disable(timer);
    timer->p_mgr = nullptr;
    mgr->num_timers_deleted++;
}

t_timer *timer_util_create(t_timer_mgr *mgr, e_timer_priority priority, e_timer_type type,
                           uint32_t interval_ms, f_timer_callback cb, void *arg, const char *name)
{
    void *mem = mgr->alloc_fn(mgr->mem_arg, sizeof(t_timer));
    if (mem == nullptr) {
        return nullptr;
    }
    auto *timer = new (mem) t_timer{};
    if (!timer_util_init(timer, mgr, priority, type, interval_ms, cb, arg, name)) {
        mgr->free_fn(mgr->mem_arg, mem);
        return nullptr;
    }
    return timer;
}

void timer_util_delete(t_timer *timer)
{
    t_timer_mgr *mgr = timer->p_mgr;
    timer_util_fini(timer);
    mgr->free_fn(mgr->mem_arg, timer);
}

void timer_enable(t_timer *timer)
{
    if (timer->state == TIMER_STATE_ENABLED) {
        return;
    }
    arm(timer);
}

void timer_disable(t_timer *timer)
{
    if (timer->state == TIMER_STATE_DISABLED) {
        return;
    }
    timer->state = TIMER_STATE_DISABLED;
    if (timer->bucket != TIMER_BUCKET_NULL) {
        t_timer_mgr *mgr = timer->p_mgr;
        dll_remove(&mgr->pri[timer->priority]->buckets[timer->bucket], &timer->dl_node);
        timer->bucket = TIMER_BUCKET_NULL;
        mgr->num_timers_active--;
    }
}

void timer_reset(t_timer *timer, uint32_t interval_ms)
{
    timer->interval_ticks = timer_ms_to_ticks(timer->p_mgr->resolution, interval_ms, true);
    timer_disable(timer);
    arm(timer);
}

void timer_reset_interval(t_timer *timer, uint32_t interval_ms)
{
    timer->interval_ticks = timer_ms_to_ticks(timer->p_mgr->resolution, interval_ms, true);
    if (timer_is_active(timer)) {
        timer_disable(timer);
        arm(timer);
    }
}

bool timer_is_active(const t_timer *timer)
{
    return timer != nullptr && timer->state == TIMER_STATE_ENABLED &&
           timer->bucket != TIMER_BUCKET_NULL;
}

int64_t timer_get_ticks_to_expiry(const t_timer *timer)
{
    if (!timer_is_active(timer)) {
        return -1;
    }
    return static_cast<int64_t>(timer->expire_ticks - timer->p_mgr->cur_ticks);
}

uint32_t timer_get_interval_ticks(const t_timer *timer)
{
    return timer != nullptr ? timer->interval_ticks : UINT32_MAX;
}

int timer_exec(t_timer_mgr *mgr, unsigned pri_mask, uint32_t budget_ms)
{
    timer_mgr_update_curtime(mgr);
    timespec start;
    mgr->clock_fn(&start);
    for (int p = NUM_TIMER_PRIORITIES - 1; p >= 0; p--) {
        if (((pri_mask >> p) & 1u) == 0 || mgr->pri[p] == nullptr) {
            continue;
        }
        int rc = process_wheel(mgr, mgr->pri[p], start, budget_ms);
        if (rc != 0) {
            return rc;
        }
    }
    return 0;
}

const char *timer_resn_name(e_timer_resn resolution) { return RESN_NAMES[resolution]; }

const char *timer_type_name(uint8_t type)
{
    return type == TIMER_TYPE_CYCLIC ? "cyclic" : "one-shot";
}

const char *timer_state_name(uint8_t state)
{
    switch (state) {
    case TIMER_STATE_ENABLED:
        return "Enabled";
    case TIMER_STATE_DELETED:
        return "Deleted";
    default:
        return "Disabled";
    }
}

const char *timer_priority_name(uint8_t priority)
{
    return priority == TIMER_PRI_HIGH ? "high" : "normal";
}

void timer_dump(const t_timer *timer)
{
    ZUL_LOG_PRI(LOG_DEBUG, "[bucket %#x] %p %.*s %s %s %s %s interval %u expire %#lx (%d) cb %p %p",
                timer->bucket, static_cast<const void *>(timer), NAME_SHOWN, timer->name,
                timer_type_name(timer->type), timer_state_name(timer->state),
                timer_priority_name(timer->priority), timer->walked ? "walked" : "",
                timer->interval_ticks, static_cast<unsigned long>(timer->expire_ticks),
                static_cast<int>(timer_get_ticks_to_expiry(timer)),
                reinterpret_cast<void *>(timer->cb), timer->arg);
}

void timer_mgr_dump(const t_timer_mgr *mgr, unsigned n)
{
    ZUL_LOG_PRI(LOG_DEBUG, "resolution %s time %ld.%09ld ticks %lu",
                timer_resn_name(mgr->resolution), static_cast<long>(mgr->cur_time.tv_sec),
                mgr->cur_time.tv_nsec, static_cast<unsigned long>(mgr->cur_ticks));
    ZUL_LOG_PRI(LOG_DEBUG, "ncreated %u ndeleted %u nactive %u nfired %u", mgr->num_timers_created,
                mgr->num_timers_deleted, mgr->num_timers_active, mgr->num_timers_fired);
    if (n > TIMER_NUM_BUCKETS / 2) {
        n = TIMER_NUM_BUCKETS / 2;
    }
    for (unsigned p = 0; p < NUM_TIMER_PRIORITIES; p++) {
        const t_timer_mgr_pri *wheel = mgr->pri[p];
        if (wheel == nullptr) {
            continue;
        }
        uint64_t centre = wheel->next_bucket_ticks;
        for (uint64_t t = centre + TIMER_NUM_BUCKETS - n; t < centre + TIMER_NUM_BUCKETS + n; t++) {
            const t_dll &bucket = wheel->buckets[t & BUCKET_MASK];
            for (t_dlnode *node = bucket.p_head; node != nullptr; node = node->p_next) {
                timer_dump(reinterpret_cast<const t_timer *>(node));
            }
        }
    }
}
