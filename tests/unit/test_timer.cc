#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "common/timer.h"

namespace
{

timespec g_now;
void fake_clock(timespec *now) { *now = g_now; }

void advance_ms(long ms)
{
    g_now.tv_sec += ms / 1000;
    g_now.tv_nsec += (ms % 1000) * 1000000L;
    if (g_now.tv_nsec >= 1000000000L) {
        g_now.tv_sec++;
        g_now.tv_nsec -= 1000000000L;
    }
}

struct TimerTest : ::testing::Test {
    t_timer_mgr *mgr = nullptr;
    std::vector<std::string> fired;
    std::vector<uint64_t> fired_ticks;

    void SetUp() override { make(TIMER_PRI_MASK_ALL); }
    void TearDown() override { timer_mgr_destroy(mgr); }

    void make(unsigned mask)
    {
        g_now = timespec{5000, 0};
        mgr = timer_mgr_create(TIMER_RESN_SEC, nullptr, nullptr, nullptr, mask);
        timer_mgr_set_clock(mgr, fake_clock);
    }

    static void record(t_timer *t, void *self)
    {
        auto *me = static_cast<TimerTest *>(self);
        me->fired.push_back(t->name);
        me->fired_ticks.push_back(me->mgr->cur_ticks);
    }

    t_timer *create(const char *name, uint32_t ms, e_timer_type type = TIMER_TYPE_ONESHOT,
                    e_timer_priority pri = TIMER_PRI_NORMAL, f_timer_callback cb = record)
    {
        return timer_util_create(mgr, pri, type, ms, cb, this, name);
    }

    // Advances the clock one second at a time, running the wheels after each.
    void run_seconds(int n)
    {
        for (int i = 0; i < n; i++) {
            advance_ms(1000);
            EXPECT_EQ(timer_exec(mgr, TIMER_PRI_MASK_ALL, 100), 0);
        }
    }
};

TEST_F(TimerTest, IntervalsRoundToTicksAndZeroArmsForOneTick)
{
    t_timer *t30 = create("t30", 30);
    t_timer *t500 = create("t500", 500);
    t_timer *t1499 = create("t1499", 1499);
    t_timer *t1500 = create("t1500", 1500);
    EXPECT_EQ(timer_get_interval_ticks(t30), 0u);
    EXPECT_EQ(timer_get_interval_ticks(t500), 1u);
    EXPECT_EQ(timer_get_interval_ticks(t1499), 1u);
    EXPECT_EQ(timer_get_interval_ticks(t1500), 2u);
    EXPECT_EQ(timer_get_interval_ticks(nullptr), UINT32_MAX);
    EXPECT_EQ(timer_get_ticks_to_expiry(t30), -1);

    timer_enable(t30);
    timer_enable(t1500);
    EXPECT_EQ(timer_get_ticks_to_expiry(t30), 1);
    EXPECT_EQ(timer_get_ticks_to_expiry(t1500), 2);
    run_seconds(1);
    EXPECT_EQ(fired, (std::vector<std::string>{"t30"}));
    run_seconds(1);
    EXPECT_EQ(fired, (std::vector<std::string>{"t30", "t1500"}));
    EXPECT_FALSE(timer_is_active(t1500));
    EXPECT_EQ(mgr->num_timers_active, 0u);
    for (t_timer *t : {t30, t500, t1499, t1500}) {
        timer_util_delete(t);
    }
}

TEST_F(TimerTest, SameTickFiresInArmingOrderAndHighBeforeNormal)
{
    t_timer *a = create("a", 3000);
    t_timer *b = create("b", 3000);
    t_timer *h = create("h", 3000, TIMER_TYPE_ONESHOT, TIMER_PRI_HIGH);
    t_timer *c = create("c", 3000);
    timer_enable(b);
    timer_enable(a);
    timer_enable(c);
    timer_enable(h);
    run_seconds(3);
    EXPECT_EQ(fired, (std::vector<std::string>{"h", "b", "a", "c"}));
    for (t_timer *t : {a, b, c, h}) {
        timer_util_delete(t);
    }
}

TEST_F(TimerTest, LaterLapSharesBucketAndWaitsForItsOwnLap)
{
    t_timer *near = create("near", 5000);
    t_timer *far = create("far", (TIMER_NUM_BUCKETS + 5) * 1000);
    timer_enable(far);
    timer_enable(near);
    EXPECT_EQ(near->bucket, far->bucket);
    run_seconds(5);
    EXPECT_EQ(fired, (std::vector<std::string>{"near"}));
    EXPECT_TRUE(timer_is_active(far));
    EXPECT_EQ(far->walked, 0);
    run_seconds(TIMER_NUM_BUCKETS - 1);
    EXPECT_EQ(fired.size(), 1u);
    run_seconds(1);
    EXPECT_EQ(fired, (std::vector<std::string>{"near", "far"}));
    EXPECT_EQ(fired_ticks[1], TIMER_NUM_BUCKETS + 5);
    timer_util_delete(near);
    timer_util_delete(far);
}

TEST_F(TimerTest, LateCyclicTimerKeepsItsPhase)
{
    t_timer *cyc = create("cyc", 3000, TIMER_TYPE_CYCLIC);
    timer_enable(cyc); // due at ticks 3, 6, 9, ...
    // The owner is late: nothing runs for 7 seconds, then one call catches up.
    advance_ms(7000);
    EXPECT_EQ(timer_exec(mgr, TIMER_PRI_MASK_ALL, 100), 0);
    EXPECT_EQ(fired.size(), 2u); // buckets 3 and 6 served, both at tick 7
    EXPECT_EQ(cyc->expire_ticks, 9u);
    run_seconds(2);
    EXPECT_EQ(fired.size(), 3u);
    EXPECT_EQ(fired_ticks.back(), 9u);
    timer_util_delete(cyc);
}

struct SlowTimers : TimerTest {
    static void slow(t_timer *t, void *self)
    {
        record(t, self);
        advance_ms(200); // each callback takes 200 ms of the budget
    }
};

TEST_F(SlowTimers, BudgetStopsBetweenBucketsAndDefersNormalWheel)
{
    t_timer *b1 = create("b1", 1000, TIMER_TYPE_ONESHOT, TIMER_PRI_NORMAL, slow);
    t_timer *b1x = create("b1x", 1000, TIMER_TYPE_ONESHOT, TIMER_PRI_NORMAL, slow);
    t_timer *b2 = create("b2", 2000, TIMER_TYPE_ONESHOT, TIMER_PRI_NORMAL, slow);
    for (t_timer *t : {b1, b1x, b2}) {
        timer_enable(t);
    }
    advance_ms(2000);
    // The budget runs out in bucket 1; that bucket still finishes, bucket 2 waits.
    EXPECT_EQ(timer_exec(mgr, TIMER_PRI_MASK_ALL, 100), TIMER_EXEC_OVER_BUDGET);
    EXPECT_EQ(fired, (std::vector<std::string>{"b1", "b1x"}));
    EXPECT_EQ(timer_exec(mgr, TIMER_PRI_MASK_ALL, 100), 0);
    EXPECT_EQ(fired.back(), "b2");

    // A high-priority wheel over its budget with due buckets left over leaves
    // the normal wheel for later; the timer that crossed the budget still runs.
    t_timer *h1 = create("h1", 1000, TIMER_TYPE_ONESHOT, TIMER_PRI_HIGH, slow);
    t_timer *h2 = create("h2", 2000, TIMER_TYPE_ONESHOT, TIMER_PRI_HIGH, slow);
    t_timer *h3 = create("h3", 3000, TIMER_TYPE_ONESHOT, TIMER_PRI_HIGH, slow);
    t_timer *n1 = create("n1", 1000, TIMER_TYPE_ONESHOT, TIMER_PRI_NORMAL, slow);
    for (t_timer *t : {h1, h2, h3, n1}) {
        timer_enable(t);
    }
    fired.clear();
    advance_ms(3000);
    EXPECT_EQ(timer_exec(mgr, TIMER_PRI_MASK_ALL, 100), TIMER_EXEC_OVER_BUDGET);
    EXPECT_EQ(fired, (std::vector<std::string>{"h1", "h2"}));
    EXPECT_EQ(timer_exec(mgr, TIMER_PRI_MASK_HIGH, 1000), 0);
    EXPECT_EQ(fired, (std::vector<std::string>{"h1", "h2", "h3"}));
    EXPECT_EQ(timer_exec(mgr, TIMER_PRI_MASK_ALL, 1000), 0);
    EXPECT_EQ(fired.back(), "n1");
    for (t_timer *t : {b1, b1x, b2, h1, h2, h3, n1}) {
        timer_util_delete(t);
    }
}

struct SelfDeleting : TimerTest {
    static void delete_self(t_timer *t, void *self)
    {
        record(t, self);
        timer_util_delete(t);
    }
    static void disable_self(t_timer *t, void *self)
    {
        record(t, self);
        timer_disable(t);
    }
};

TEST_F(SelfDeleting, CallbacksMayDeleteOrDisableThemselves)
{
    t_timer *del = create("del", 1000, TIMER_TYPE_CYCLIC, TIMER_PRI_NORMAL, delete_self);
    t_timer *dis = create("dis", 1000, TIMER_TYPE_CYCLIC, TIMER_PRI_NORMAL, disable_self);
    timer_enable(del);
    timer_enable(dis);
    run_seconds(3);
    EXPECT_EQ(fired, (std::vector<std::string>{"del", "dis"}));
    EXPECT_EQ(mgr->num_timers_active, 0u);
    EXPECT_EQ(mgr->num_timers_created - mgr->num_timers_deleted, 1u);
    timer_util_delete(dis);
}

TEST_F(TimerTest, ResetFormsAndPriorityFallback)
{
    t_timer *t = create("t", 5000);
    timer_reset_interval(t, 3000);
    EXPECT_FALSE(timer_is_active(t));
    EXPECT_EQ(timer_get_interval_ticks(t), 3u);
    timer_reset(t, 4000);
    EXPECT_TRUE(timer_is_active(t));
    EXPECT_EQ(timer_get_ticks_to_expiry(t), 4);
    run_seconds(2);
    timer_reset_interval(t, 10000); // re-armed from now
    EXPECT_EQ(timer_get_ticks_to_expiry(t), 10);
    timer_enable(t); // already enabled: unchanged
    EXPECT_EQ(timer_get_ticks_to_expiry(t), 10);
    timer_util_delete(t);

    timer_mgr_destroy(mgr);
    make(TIMER_PRI_MASK_NORMAL);
    t_timer *h = create("h", 1000, TIMER_TYPE_ONESHOT, TIMER_PRI_HIGH);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->priority, TIMER_PRI_NORMAL);
    timer_util_delete(h);
}

TEST_F(TimerTest, ClockAdvancesInWholeTicksWithoutDrift)
{
    for (int i = 0; i < 10; i++) {
        advance_ms(700);
        timer_mgr_update_curtime(mgr);
    }
    EXPECT_EQ(mgr->cur_ticks, 7u); // 7000 ms, the remainder carried each time
    EXPECT_EQ(mgr->cur_time.tv_sec, 5007);
}

} // namespace
