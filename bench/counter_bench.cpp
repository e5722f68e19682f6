// counter_bench: what KwStatsCounter::Add() costs a counting thread, beside
// what a counter of prometheus-cpp and bare atomics cost in the same run.
//
//   CounterAdd            KwStatsCounter::Add() on one event, while the
//                         collector collects and rolls up every second
//   PrometheusIncrement   prometheus-cpp's Counter::Increment()
//   SharedFetchAdd        a relaxed fetch_add on one atomic all threads share
//   PaddedFetchAdd        the same on an atomic of each thread's own, padded
//                         to a cache line of its own
//
// Each at 1 and 2 threads; scripts/bench.sh runs each in a process of its
// own, alternating, and prints the ratios.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "KwSrvrStatsCollector.h"
#include "KwStatsCounter.h"
#include "KwTimerMgr.h"
#include "ace/Thread_Manager.h"
#include "dlog.h"
#include "prometheus/counter.h"
#include "prometheus/registry.h"

namespace {

KwTimerMgr& Timer() {
    static KwTimerMgr timer;  // the real clock: a roll-up a second
    return timer;
}

KwStatsCounter& Counter() {
    static KwStatsCounter* counter = [] {
        KwSrvrStatsCollector& collector = KwSrvrStatsCollector::GetInstance();
        collector.SetTimerManager(Timer());
        int id = collector.RegisterEvent("packets", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
        collector.Start();
        collector.DoneInit();
        while (!collector.IsRunning()) {
            std::this_thread::yield();
        }
        return new KwStatsCounter(id);
    }();
    return *counter;
}

void CounterAdd(benchmark::State& state) {
    KwStatsCounter& counter = Counter();
    for (auto _ : state) {
        counter.Add();
    }
}
BENCHMARK(CounterAdd)->Threads(1)->Threads(2)->UseRealTime();

prometheus::Counter& PrometheusCounter() {
    static prometheus::Registry registry;
    static prometheus::Counter& counter =
        prometheus::BuildCounter().Name("packets_total").Register(registry).Add({});
    return counter;
}

void PrometheusIncrement(benchmark::State& state) {
    prometheus::Counter& counter = PrometheusCounter();
    for (auto _ : state) {
        counter.Increment();
    }
}
BENCHMARK(PrometheusIncrement)->Threads(1)->Threads(2)->UseRealTime();

std::atomic<unsigned int> g_shared{0};

void SharedFetchAdd(benchmark::State& state) {
    for (auto _ : state) {
        g_shared.fetch_add(1, std::memory_order_relaxed);
    }
}
BENCHMARK(SharedFetchAdd)->Threads(1)->Threads(2)->UseRealTime();

struct alignas(64) Padded {
    std::atomic<unsigned int> count{0};
};
Padded g_padded[2];

void PaddedFetchAdd(benchmark::State& state) {
    std::atomic<unsigned int>& mine = g_padded[state.thread_index() % 2].count;
    for (auto _ : state) {
        mine.fetch_add(1, std::memory_order_relaxed);
    }
}
BENCHMARK(PaddedFetchAdd)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    dlog_set_threshold(DLOG_WARNING);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    KwSrvrStatsCollector::GetInstance().Stop();
    ACE_Thread_Manager::instance()->wait();
    return 0;
}
