// Timer manager and ordered trees at a million items, beside std::set and
// std::map in the same run.
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstddef>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "common/avl.h"
#include "common/timer.h"

namespace
{

constexpr int N = 1000000;

timespec g_now{};
void fake_clock(timespec *now) { *now = g_now; }

void nop_cb(t_timer *, void *) {}

std::vector<uint32_t> shuffled_keys()
{
    std::vector<uint32_t> keys(N);
    for (int i = 0; i < N; i++) {
        keys[static_cast<size_t>(i)] = static_cast<uint32_t>(i) * 2654435761u;
    }
    std::shuffle(keys.begin(), keys.end(), std::mt19937(7));
    return keys;
}

void BM_TimerArmCancel(benchmark::State &state)
{
    t_timer_mgr *mgr =
        timer_mgr_create(TIMER_RESN_SEC, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
    timer_mgr_set_clock(mgr, fake_clock);
    std::vector<t_timer *> timers(N);
    for (int i = 0; i < N; i++) {
        timers[static_cast<size_t>(i)] = timer_util_create(
            mgr, TIMER_PRI_NORMAL, TIMER_TYPE_ONESHOT,
            static_cast<uint32_t>(1000 + (i % 3600) * 1000), nop_cb, nullptr, "bench");
    }
    for (auto _ : state) {
        for (t_timer *t : timers) {
            timer_enable(t);
        }
        for (t_timer *t : timers) {
            timer_disable(t);
        }
    }
    state.SetItemsProcessed(state.iterations() * N * 2);
    for (t_timer *t : timers) {
        timer_util_delete(t);
    }
    timer_mgr_destroy(mgr);
}
BENCHMARK(BM_TimerArmCancel)->Unit(benchmark::kMillisecond);

// Arms a million timers spread over an hour and ticks the wheel through it.
void BM_TimerTickThroughHour(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        g_now = timespec{1000, 0};
        t_timer_mgr *mgr =
            timer_mgr_create(TIMER_RESN_SEC, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        timer_mgr_set_clock(mgr, fake_clock);
        std::vector<t_timer *> timers(N);
        for (int i = 0; i < N; i++) {
            timers[static_cast<size_t>(i)] = timer_util_create(
                mgr, TIMER_PRI_NORMAL, TIMER_TYPE_ONESHOT,
                static_cast<uint32_t>(1000 + (i % 3600) * 1000), nop_cb, nullptr, "bench");
            timer_enable(timers[static_cast<size_t>(i)]);
        }
        state.ResumeTiming();
        for (int s = 0; s <= 3600; s++) {
            g_now.tv_sec++;
            timer_exec(mgr, TIMER_PRI_MASK_ALL, 1000000);
        }
        state.PauseTiming();
        for (t_timer *t : timers) {
            timer_util_delete(t);
        }
        timer_mgr_destroy(mgr);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * N);
}
BENCHMARK(BM_TimerTickThroughHour)->Unit(benchmark::kMillisecond);

struct t_bench_rec {
    avl_node_t node;
    uint32_t key;
};

int cmp_bench(const void *a, const void *b)
{
    return avl_cmp3(static_cast<const t_bench_rec *>(a)->key,
                    static_cast<const t_bench_rec *>(b)->key);
}

struct AvlFixture {
    avl_tree_t tree{};
    std::unique_ptr<t_bench_rec[]> recs{new t_bench_rec[N]};
    std::vector<uint32_t> keys = shuffled_keys();

    AvlFixture()
    {
        avl_create(&tree, cmp_bench, sizeof(t_bench_rec), offsetof(t_bench_rec, node));
        for (int i = 0; i < N; i++) {
            recs[static_cast<size_t>(i)] = t_bench_rec{{}, keys[static_cast<size_t>(i)]};
        }
    }
    void insert_all()
    {
        for (int i = 0; i < N; i++) {
            avl_add(&tree, &recs[static_cast<size_t>(i)]);
        }
    }
    void clear()
    {
        void *cookie = nullptr;
        while (avl_destroy_nodes(&tree, &cookie) != nullptr) {
        }
        avl_destroy(&tree);
    }
};

void BM_AvlInsert(benchmark::State &state)
{
    AvlFixture f;
    for (auto _ : state) {
        f.insert_all();
        state.PauseTiming();
        f.clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * N);
}
BENCHMARK(BM_AvlInsert)->Unit(benchmark::kMillisecond);

void BM_StdSetInsert(benchmark::State &state)
{
    std::vector<uint32_t> keys = shuffled_keys();
    for (auto _ : state) {
        std::set<uint32_t> s;
        for (uint32_t k : keys) {
            s.insert(k);
        }
        state.PauseTiming();
        s.clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * N);
}
BENCHMARK(BM_StdSetInsert)->Unit(benchmark::kMillisecond);

void BM_AvlFind(benchmark::State &state)
{
    AvlFixture f;
    f.insert_all();
    for (auto _ : state) {
        t_bench_rec key{};
        for (uint32_t k : f.keys) {
            key.key = k;
            benchmark::DoNotOptimize(avl_find(&f.tree, &key, nullptr));
        }
    }
    state.SetItemsProcessed(state.iterations() * N);
    f.clear();
}
BENCHMARK(BM_AvlFind)->Unit(benchmark::kMillisecond);

void BM_StdMapFind(benchmark::State &state)
{
    std::vector<uint32_t> keys = shuffled_keys();
    std::map<uint32_t, int> m;
    for (uint32_t k : keys) {
        m.emplace(k, 0);
    }
    for (auto _ : state) {
        for (uint32_t k : keys) {
            benchmark::DoNotOptimize(m.find(k));
        }
    }
    state.SetItemsProcessed(state.iterations() * N);
}
BENCHMARK(BM_StdMapFind)->Unit(benchmark::kMillisecond);

void BM_AvlFindNext(benchmark::State &state)
{
    AvlFixture f;
    f.insert_all();
    for (auto _ : state) {
        t_bench_rec key{};
        for (uint32_t k : f.keys) {
            key.key = k + 1; // mostly absent keys, as get-next iteration sees them
            benchmark::DoNotOptimize(avl_find_next(&f.tree, &key));
        }
    }
    state.SetItemsProcessed(state.iterations() * N);
    f.clear();
}
BENCHMARK(BM_AvlFindNext)->Unit(benchmark::kMillisecond);

void BM_StdSetUpperBound(benchmark::State &state)
{
    std::vector<uint32_t> keys = shuffled_keys();
    std::set<uint32_t> s(keys.begin(), keys.end());
    for (auto _ : state) {
        for (uint32_t k : keys) {
            benchmark::DoNotOptimize(s.upper_bound(k + 1));
        }
    }
    state.SetItemsProcessed(state.iterations() * N);
}
BENCHMARK(BM_StdSetUpperBound)->Unit(benchmark::kMillisecond);

void BM_AvlWalk(benchmark::State &state)
{
    AvlFixture f;
    f.insert_all();
    for (auto _ : state) {
        for (t_bench_rec *r = avl_first<t_bench_rec>(&f.tree); r != nullptr;
             r = avl_next(&f.tree, r)) {
            benchmark::DoNotOptimize(r);
        }
    }
    state.SetItemsProcessed(state.iterations() * N);
    f.clear();
}
BENCHMARK(BM_AvlWalk)->Unit(benchmark::kMillisecond);

void BM_StdSetWalk(benchmark::State &state)
{
    std::vector<uint32_t> keys = shuffled_keys();
    std::set<uint32_t> s(keys.begin(), keys.end());
    for (auto _ : state) {
        for (uint32_t k : s) {
            benchmark::DoNotOptimize(k);
        }
    }
    state.SetItemsProcessed(state.iterations() * N);
}
BENCHMARK(BM_StdSetWalk)->Unit(benchmark::kMillisecond);

} // namespace
