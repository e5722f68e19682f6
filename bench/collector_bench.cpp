// Speed of the collector, each figure beside a baseline measured in this run.
//
//   SetEvent            one submission, the collection thread draining
//   SetEventConsumerHeld  the same while the collection thread is held
//   Floor               what a submission cannot avoid, in one thread: one
//                       monotonic clock read, one malloc/free of the message,
//                       one uncontended lock/unlock and one list append and
//                       removal
//   FloorAcrossThreads  the same work split over two threads, as the design
//                       splits it: allocated here, freed by another thread
//   HandoffFloor        the least the design must pay per report: a message
//                       block stamped with the monotonic clock and handed
//                       through a preallocated single-producer ring to
//                       another thread, which frees it
//   BatchedFloor        the design's own shape at its least: each producer
//                       mallocs a 24-byte message, stamps it with the
//                       monotonic clock and appends the pointer under a
//                       pthread mutex to an unbounded vector; one consumer
//                       swaps the whole vector out under the mutex, frees
//                       every message, and sleeps 10 ms whenever it finds
//                       the vector empty (1 and 2 producers, as SetEvent)
//   ListFloor           the same with a std::list of pointers, whose node the
//                       producer allocates and the consumer releases
// (scripts/bench.sh runs the floors and SetEvent in processes of their own
// for their ratios: after the other benchmarks they would inherit their heap.)
//   GetStatsReport      the report of 256 events of every kind
//   FormatOnly          snprintf of the same 256 records, nothing else
//   RollUpClosingHour   the roll-up that closes a minute and an hour
//   SnapshotFullHistories  GetStatsSnapshot() of the same 256 events with
//                       every history full, beside ReportFullHistories
//   SubmitOneMillion    one producer's submission rate
//   DrainOneMillion     a burst of 1,000,000 reports from two threads, until
//                       the collection thread has counted every one
//   DrainHeld           the collection thread's own rate: held while
//                       1,000,000 reports are queued, timed from its release
//                       until the last is counted
//   BacklogTwoProducers two producers at full speed for 10 s: the largest
//                       number of reports submitted and not yet counted
//
// Run with --benchmark_repetitions=3: main() then prints the ratios of the
// medians.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CollectorAccess.h"
#include "KwMutexGuard.h"
#include "KwSrvrStatsCollector.h"
#include "KwSrvrStatsCount.h"
#include "KwStatsSnapshot.h"
#include "KwTestTimerMgr.h"
#include "PollSleeps.h"
#include "ace/Thread_Manager.h"
#include "dlog.h"

// The collector's insides, reached as the unit tests reach them.
struct Peer {
    typedef KwSrvrStatsCollector C;
    static KwLinuxMutex& DataLock(C& c) {
        return collector_access::Member<collector_access::DataLock>(c);
    }
    // The running count of a counted event.
    static KwUlong32 Total(C& c, int eventId) {
        using namespace collector_access;
        KwMutexGuard guard(DataLock(c));
        int slot = Member<Events>(c)[static_cast<size_t>(eventId)]->countSlot;
        return (*Member<CurrentCounts>(c))[static_cast<unsigned int>(slot)];
    }
    // One roll-up that closes a minute and an hour, then drops its timer.
    // Returns the time of its work, up to the idle sleep it ends with.
    static double RollUpClosingHour(C& c, KwTestTimerMgr& timer) {
        using namespace collector_access;
        unsigned int dimension;
        {
            KwMutexGuard guard(DataLock(c));
            Member<SecondsInMinute>(c) = 59;
            Member<MinutesInHour>(c) = 59;
            dimension = static_cast<unsigned int>(Member<NumCountSlots>(c));
        }
        auto start = std::chrono::steady_clock::now();
        (c.*Get(RollUp()))(dimension);
        double seconds =
            std::chrono::duration<double>(LastSleepStartOnThisThread() - start).count();
        timer.CancelTimer(Member<TimerId>(c));
        return seconds;
    }
};

namespace {

// The collection thread only rolls up when the bench says so.
KwTestTimerMgr g_timer(KwTestTimerMgr::MANUAL_CLOCK);
int g_counted = -1;  // a counted event used for submissions
int g_marker = -1;   // another one, to tell when the queue has been worked off

KwSrvrStatsCollector& Collector() {
    static bool ready = false;
    KwSrvrStatsCollector& collector = KwSrvrStatsCollector::GetInstance();
    if (!ready) {
        ready = true;
        collector.SetTimerManager(g_timer);
        const int flags[] = {STATS_FLAG_MAX_RATE, STATS_FLAG_LATENCY_START,
                             STATS_FLAG_LATENCY_END | STATS_FLAG_MAX_RATE, 0};
        for (int i = 0; i < 256; ++i) {
            std::string name = "event" + std::to_string(i);
            StatsDataType type = i % 5 == 4 ? STATS_DATA_WATER_MARK : STATS_DATA_COUNT;
            int id = collector.RegisterEvent(name.c_str(), flags[i % 4], type);
            if (type == STATS_DATA_COUNT && flags[i % 4] == 0) {
                if (g_counted < 0) {
                    g_counted = id;
                } else if (g_marker < 0) {
                    g_marker = id;
                }
            }
        }
        collector.Start();
        collector.DoneInit();
        while (!collector.IsRunning()) {
            std::this_thread::yield();
        }
        // Give every statistic a value, so the report prints every form.
        for (int id = 0; id < 256; ++id) {
            uint32_t value = 1000u + static_cast<uint32_t>(id);
            collector.SetEvent(id, 4, &value);
        }
    }
    return collector;
}

// Returns once every report queued so far has been processed: the marker
// is counted only after all of them.
void Settle(KwSrvrStatsCollector& collector) {
    KwUlong32 marks = Peer::Total(collector, g_marker);
    collector.SetEvent(g_marker, 0, nullptr);
    while (Peer::Total(collector, g_marker) == marks) {
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
}

void SetEvent(benchmark::State& state) {
    KwSrvrStatsCollector& collector = Collector();
    for (auto _ : state) {
        benchmark::DoNotOptimize(collector.SetEvent(g_counted, 0, nullptr));
    }
}
BENCHMARK(SetEvent)->Threads(1)->Threads(2)->UseRealTime();

// The same with the collection thread held back: the submitter's own cost,
// without a consumer touching the queue and the messages.
void SetEventConsumerHeld(benchmark::State& state) {
    KwSrvrStatsCollector& collector = Collector();
    Settle(collector);
    {
        KwMutexGuard hold(Peer::DataLock(collector));
        for (auto _ : state) {
            benchmark::DoNotOptimize(collector.SetEvent(g_counted, 0, nullptr));
        }
    }
    Settle(collector);
}
BENCHMARK(SetEventConsumerHeld)->UseRealTime();

// What every submission must do at least, in one thread.
void Floor(benchmark::State& state) {
    std::mutex lock;
    std::list<void*> list;
    for (auto _ : state) {
        timespec stamp;
        clock_gettime(CLOCK_MONOTONIC, &stamp);
        void* msg = malloc(32);
        benchmark::DoNotOptimize(msg);
        {
            std::lock_guard<std::mutex> guard(lock);
            list.push_back(msg);
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            list.pop_front();
        }
        free(msg);
        benchmark::DoNotOptimize(stamp);
    }
}
BENCHMARK(Floor)->UseRealTime();

// The same work split as the design splits it: this thread stamps,
// allocates and appends; another takes each message off and frees it.
void FloorAcrossThreads(benchmark::State& state) {
    std::mutex lock;
    std::list<void*> list;
    std::atomic<bool> done{false};
    std::thread consumer([&] {
        for (;;) {
            std::list<void*> taken;
            {
                std::lock_guard<std::mutex> guard(lock);
                taken.swap(list);
            }
            for (void* msg : taken) {
                free(msg);
            }
            if (taken.empty()) {
                if (done.load()) {
                    return;
                }
                std::this_thread::yield();
            }
        }
    });
    for (auto _ : state) {
        timespec stamp;
        clock_gettime(CLOCK_MONOTONIC, &stamp);
        void* msg = malloc(32);
        benchmark::DoNotOptimize(msg);
        std::list<void*> node(1, msg);
        {
            std::lock_guard<std::mutex> guard(lock);
            list.splice(list.end(), node);
        }
        benchmark::DoNotOptimize(stamp);
    }
    done.store(true);
    consumer.join();
}
BENCHMARK(FloorAcrossThreads)->UseRealTime();

// A single-producer, single-consumer ring of preallocated slots.
class HandoffRing {
public:
    bool Push(void* msg) {
        size_t head = m_head.load(std::memory_order_relaxed);
        if (head - m_tail.load(std::memory_order_acquire) == kSlots) {
            return false;
        }
        m_slots[head % kSlots] = msg;
        m_head.store(head + 1, std::memory_order_release);
        return true;
    }
    void* Pop() {
        size_t tail = m_tail.load(std::memory_order_relaxed);
        if (tail == m_head.load(std::memory_order_acquire)) {
            return nullptr;
        }
        void* msg = m_slots[tail % kSlots];
        m_tail.store(tail + 1, std::memory_order_release);
        return msg;
    }

private:
    static constexpr size_t kSlots = 65536;
    std::vector<void*> m_slots = std::vector<void*>(kSlots);
    alignas(64) std::atomic<size_t> m_head{0};
    alignas(64) std::atomic<size_t> m_tail{0};
};

// The least a report can cost when one thread makes it and another frees it.
void HandoffFloor(benchmark::State& state) {
    // The size of a report without payload: id, size and a time stamp.
    constexpr size_t kMessageSize = 2 * sizeof(int) + sizeof(timespec);
    HandoffRing ring;
    std::atomic<bool> done{false};
    std::thread consumer([&] {
        for (;;) {
            void* msg = ring.Pop();
            if (msg != nullptr) {
                free(msg);
            } else if (done.load()) {
                return;
            } else {
                std::this_thread::yield();
            }
        }
    });
    for (auto _ : state) {
        timespec* msg = static_cast<timespec*>(malloc(kMessageSize));
        clock_gettime(CLOCK_MONOTONIC, msg);
        while (!ring.Push(msg)) {
            std::this_thread::yield();
        }
    }
    done.store(true);
    consumer.join();
}
BENCHMARK(HandoffFloor)->UseRealTime();

// A floor's queue and its consumer, shared by the producer threads of one
// run; thread 0 starts and stops the consumer, outside the timed loop
// (every thread starts and ends that loop together). The consumer swaps the
// whole queue out under the mutex, frees every message, and sleeps 10 ms
// whenever it finds the queue empty.
template <class Queue>
struct FloorQueue {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    Queue waiting;
    std::atomic<bool> done{false};
    std::thread consumer;

    void Start() {
        done.store(false);
        consumer = std::thread([this] {
            Queue taken;
            for (;;) {
                pthread_mutex_lock(&lock);
                taken.swap(waiting);
                pthread_mutex_unlock(&lock);
                bool empty = taken.empty();
                for (void* msg : taken) {
                    free(msg);
                }
                taken.clear();
                if (empty) {
                    if (done.load()) {
                        return;
                    }
                    usleep(10000);
                }
            }
        });
    }
    void Stop() {
        done.store(true);
        consumer.join();
    }
};

// Appends one message: to the vector under the lock; or, as SetEvent does,
// in a list node made outside the lock.
void Submit(FloorQueue<std::vector<void*>>& floor, void* msg) {
    pthread_mutex_lock(&floor.lock);
    floor.waiting.push_back(msg);
    pthread_mutex_unlock(&floor.lock);
}
void Submit(FloorQueue<std::list<void*>>& floor, void* msg) {
    std::list<void*> node(1, msg);
    pthread_mutex_lock(&floor.lock);
    floor.waiting.splice(floor.waiting.end(), node);
    pthread_mutex_unlock(&floor.lock);
}

template <class Queue>
void FloorOf(benchmark::State& state, FloorQueue<Queue>& floor) {
    constexpr size_t kMessageSize = 2 * sizeof(int) + sizeof(timespec);
    if (state.thread_index() == 0) {
        floor.Start();
    }
    for (auto _ : state) {
        timespec* msg = static_cast<timespec*>(malloc(kMessageSize));
        clock_gettime(CLOCK_MONOTONIC, msg);
        Submit(floor, msg);
    }
    if (state.thread_index() == 0) {
        floor.Stop();
    }
}

// The design's shape at its least: an unbounded vector of pointers.
FloorQueue<std::vector<void*>> g_batched;
void BatchedFloor(benchmark::State& state) {
    FloorOf(state, g_batched);
}
BENCHMARK(BatchedFloor)->Threads(1)->Threads(2)->UseRealTime();

// The same with the waiting list the design fixes: a std::list of pointers,
// whose node the producer allocates and the consumer releases.
FloorQueue<std::list<void*>> g_listed;
void ListFloor(benchmark::State& state) {
    FloorOf(state, g_listed);
}
BENCHMARK(ListFloor)->Threads(1)->Threads(2)->UseRealTime();

void GetStatsReport(benchmark::State& state) {
    KwSrvrStatsCollector& collector = Collector();
    size_t length = 0;
    for (auto _ : state) {
        std::string report = collector.GetStatsReport();
        length = report.size();
        benchmark::DoNotOptimize(report);
    }
    state.counters["chars"] = static_cast<double>(length);
}
BENCHMARK(GetStatsReport);

// The same 256 records through snprintf alone, with fixed figures.
void FormatOnly(benchmark::State& state) {
    std::vector<std::string> names;
    for (int i = 0; i < 256; ++i) {
        names.push_back("event" + std::to_string(i));
    }
    for (auto _ : state) {
        std::string lines[3];
        char record[512];
        for (int i = 0; i < 256; ++i) {
            const char* name = names[static_cast<size_t>(i)].c_str();
            snprintf(record, sizeof record, "%s: %lu, %lu, %lu, %lu%s", name, 7ul, 402ul, 815ul,
                     961ul, ";");
            lines[0] += record;
            snprintf(record, sizeof record, "%s: %s%s", name, "9, 2026-12-05 14:38:14", ";");
            lines[1] += record;
            snprintf(record, sizeof record, "%s Latency (ms): %.1f,%s%s", name, 12.0,
                     "2026-12-05 14:38:14", ";");
            lines[2] += record;
        }
        benchmark::DoNotOptimize(lines);
    }
}
BENCHMARK(FormatOnly);

// The roll-up ends with the thread's 10 ms idle sleep, which is not its
// work: each iteration is timed up to the start of that sleep.
void RollUpClosingHour(benchmark::State& state) {
    KwSrvrStatsCollector& collector = Collector();
    for (int i = 0; i < 60; ++i) {  // full rings
        Peer::RollUpClosingHour(collector, g_timer);
    }
    for (auto _ : state) {
        state.SetIterationTime(Peer::RollUpClosingHour(collector, g_timer));
    }
}
BENCHMARK(RollUpClosingHour)->UseManualTime()->Iterations(200);

// Every history ring full: each roll-up here closes a minute and an hour.
void FillHistories(KwSrvrStatsCollector& collector) {
    static bool full = false;
    for (int i = 0; i < 60 && !full; ++i) {
        Peer::RollUpClosingHour(collector, g_timer);
    }
    full = true;
}

void ReportFullHistories(benchmark::State& state) {
    KwSrvrStatsCollector& collector = Collector();
    FillHistories(collector);
    for (auto _ : state) {
        std::string report = collector.GetStatsReport();
        benchmark::DoNotOptimize(report);
    }
}
BENCHMARK(ReportFullHistories);

void SnapshotFullHistories(benchmark::State& state) {
    KwSrvrStatsCollector& collector = Collector();
    FillHistories(collector);
    size_t values = 0;
    for (auto _ : state) {
        KwStatsSnapshot snapshot;
        collector.GetStatsSnapshot(snapshot);
        values = 0;
        for (const KwStatsEventSnapshot& event : snapshot.events) {
            values += event.seconds.size() + event.minutes.size() + event.hours.size();
        }
        benchmark::DoNotOptimize(snapshot);
    }
    state.counters["history values"] = static_cast<double>(values);
}
BENCHMARK(SnapshotFullHistories);

// One producer alone: the rate at which reports can be submitted.
void SubmitOneMillion(benchmark::State& state) {
    KwSrvrStatsCollector& collector = Collector();
    Settle(collector);
    for (auto _ : state) {
        for (int i = 0; i < 1000000; ++i) {
            collector.SetEvent(g_counted, 0, nullptr);
        }
        state.PauseTiming();
        Settle(collector);
        state.ResumeTiming();
    }
    state.counters["reports/s"] =
        benchmark::Counter(1e6, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(SubmitOneMillion)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// Two producers, 500,000 reports each, until every report is counted.
void DrainOneMillion(benchmark::State& state) {
    KwSrvrStatsCollector& collector = Collector();
    bool exact = true;
    Settle(collector);
    for (auto _ : state) {
        unsigned long before = Peer::Total(collector, g_counted);
        std::thread producers[2];
        for (std::thread& producer : producers) {
            producer = std::thread([&] {
                for (int i = 0; i < 500000; ++i) {
                    collector.SetEvent(g_counted, 0, nullptr);
                }
            });
        }
        for (std::thread& producer : producers) {
            producer.join();
        }
        Settle(collector);
        exact = exact && Peer::Total(collector, g_counted) == before + 1000000;
    }
    state.counters["reports/s"] =
        benchmark::Counter(1e6, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["exact"] = exact ? 1 : 0;
}
BENCHMARK(DrainOneMillion)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// The collection thread alone: 1,000,000 reports wait while it is held.
void DrainHeld(benchmark::State& state) {
    KwSrvrStatsCollector& collector = Collector();
    Settle(collector);
    for (auto _ : state) {
        KwUlong32 marks = Peer::Total(collector, g_marker);
        std::chrono::steady_clock::time_point released;
        {
            KwMutexGuard hold(Peer::DataLock(collector));
            for (int i = 0; i < 999999; ++i) {
                collector.SetEvent(g_counted, 0, nullptr);
            }
            collector.SetEvent(g_marker, 0, nullptr);
            released = std::chrono::steady_clock::now();
        }
        while (Peer::Total(collector, g_marker) == marks) {
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - released).count());
    }
    state.counters["reports/s"] =
        benchmark::Counter(1e6, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(DrainHeld)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();

// Two producers at full speed for 10 s; every millisecond the backlog is
// sampled as reports submitted minus reports counted.
void BacklogTwoProducers(benchmark::State& state) {
    KwSrvrStatsCollector& collector = Collector();
    Settle(collector);
    double largest = 0;
    for (auto _ : state) {
        KwUlong32 before = Peer::Total(collector, g_counted);
        std::atomic<bool> stop{false};
        std::atomic<unsigned long> submitted[2] = {{0}, {0}};
        std::thread producers[2];
        for (int p = 0; p < 2; ++p) {
            producers[p] = std::thread([&, p] {
                unsigned long mine = 0;
                while (!stop.load(std::memory_order_relaxed)) {
                    for (int i = 0; i < 256; ++i) {
                        mine += collector.SetEvent(g_counted, 0, nullptr) == 0 ? 1 : 0;
                    }
                    submitted[p].store(mine, std::memory_order_relaxed);
                }
            });
        }
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        unsigned long peak = 0;
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            unsigned long counted = Peer::Total(collector, g_counted) - before;
            unsigned long sent = submitted[0].load() + submitted[1].load();
            peak = std::max(peak, sent > counted ? sent - counted : 0ul);
        }
        stop.store(true);
        for (std::thread& producer : producers) {
            producer.join();
        }
        Settle(collector);
        largest = static_cast<double>(peak);
    }
    state.counters["backlog"] = largest;
}
BENCHMARK(BacklogTwoProducers)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// Keeps every run's time per iteration for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            // Medians when the runs are repeated, single runs otherwise.
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (median || (run.run_type == Run::RT_Iteration && run.repetitions <= 1)) {
                nanos[run.benchmark_name()] = run.GetAdjustedRealTime() *
                                              (run.time_unit == benchmark::kMillisecond ? 1e6 : 1);
                counters[run.benchmark_name()] = run.counters;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> nanos;
    std::map<std::string, benchmark::UserCounters> counters;
};

double Find(const std::map<std::string, double>& values, const std::string& prefix) {
    for (const auto& entry : values) {
        if (entry.first.rfind(prefix, 0) == 0) {
            return entry.second;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    dlog_set_threshold(DLOG_WARNING);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    double floor = Find(reporter.nanos, "Floor/");
    double across = Find(reporter.nanos, "FloorAcrossThreads");
    double handoff = Find(reporter.nanos, "HandoffFloor");
    double one = Find(reporter.nanos, "SetEvent/real_time/threads:1");
    double two = Find(reporter.nanos, "SetEvent/real_time/threads:2");
    double held = Find(reporter.nanos, "SetEventConsumerHeld");
    double report = Find(reporter.nanos, "GetStatsReport");
    double format = Find(reporter.nanos, "FormatOnly");
    double rollup = Find(reporter.nanos, "RollUpClosingHour");
    double submit = Find(reporter.nanos, "SubmitOneMillion");
    double drain = Find(reporter.nanos, "DrainOneMillion");
    double drainHeld = Find(reporter.nanos, "DrainHeld");
    printf("\n%-48s %12s %12s %8s\n", "figure", "measured", "baseline", "ratio");
    auto row = [](const char* what, double value, double base, const char* unit) {
        if (value > 0 && base > 0) {
            printf("%-48s %9.1f %-2s %9.1f %-2s %8.2f\n", what, value, unit, base, unit,
                   value / base);
        }
    };
    // Reports per second, in millions, from the time of 1e6 reports.
    auto rates = [](const char* what, double nanos, double baseNanos) {
        if (nanos > 0 && baseNanos > 0) {
            printf("%-48s %8.2f M/s %8.2f M/s %8.2f\n", what, 1e9 / nanos, 1e9 / baseNanos,
                   baseNanos / nanos);
        }
    };
    row("SetEvent, 1 producer / handoff floor", one, handoff, "ns");
    row("SetEvent, 1 producer / floor", one, floor, "ns");
    row("SetEvent, 2 producers / floor", two, floor, "ns");
    row("SetEvent, collection thread held / floor", held, floor, "ns");
    row("SetEvent, 1 producer / floor across threads", one, across, "ns");
    row("GetStatsReport, 256 events / snprintf only", report / 1000, format / 1000, "us");
    row("roll-up closing an hour / snprintf report", rollup / 1000, format / 1000, "us");
    row("snapshot, full histories / GetStatsReport", Find(reporter.nanos, "SnapshotFull") / 1000,
        Find(reporter.nanos, "ReportFull") / 1000, "us");
    rates("drain, held then released / 1-producer submission", drainHeld, submit);
    rates("drain (2 producers) / 1-producer submission", drain, submit);
    for (auto& entry : reporter.counters) {
        if (entry.first.rfind("BacklogTwoProducers", 0) == 0) {
            printf("largest backlog, 2 producers at full speed for 10 s: %.0f reports\n",
                   static_cast<double>(entry.second["backlog"]));
        }
        if (entry.first.rfind("DrainOneMillion", 0) == 0) {
            printf("one million reports from two threads counted exactly: %s\n",
                   entry.second["exact"] > 0.5 ? "yes" : "NO");
        }
    }
    if (one > 0) {
        printf("allocator row: SetEvent, 1 producer: %.1f ns\n", one);
    }
    // The collection thread ends before the timer manager it uses.
    KwSrvrStatsCollector::GetInstance().Stop();
    ACE_Thread_Manager::instance()->wait();
    return 0;
}
