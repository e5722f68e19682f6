// KwStatsCounter: the same figures as SetEvent for the same occurrences, and
// exact totals while everything else runs at once.
#include <atomic>
#include <thread>
#include <tuple>

#include "CollectorHarness.h"
#include "KwStatsCounter.h"
#include "KwStatsJson.h"
#include "KwStatsPrometheus.h"
#include "prometheus/text_serializer.h"

namespace {

// Every figure of an event but its id and name.
auto Figures(const KwStatsEventSnapshot& e) {
    return std::make_tuple(e.minute, e.hour, e.day, e.total, e.seconds, e.minutes, e.hours, e.peak,
                           e.peakTime);
}

// Report, JSON and metrics of a snapshot that holds event `id` alone, under
// the name and id of event 0.
std::string Outputs(KwStatsSnapshot snapshot, int id) {
    KwStatsEventSnapshot event = snapshot.events.at(static_cast<size_t>(id));
    event.id = 0;
    event.name = snapshot.events[0].name;
    snapshot.events = {event};
    return KwStatsReportText(snapshot) + "\n" + KwStatsJson(snapshot) + "\n" +
           prometheus::TextSerializer().Serialize(KwStatsPrometheus::Families(snapshot));
}

}  // namespace

// One pattern of occurrences goes through SetEvent for event 0 and through
// counters for event 1 (both rated), across counters that wrap, the close of
// a minute and of an hour, and a reset. At each step the two events' figures
// are the same, in the snapshot and in every output.
TEST_F(CollectorTest, CounterGivesWhatSetEventGives) {
    const int viaSetEvent = collector->RegisterEvent("rx", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    const int viaCounter =
        collector->RegisterEvent("rxFast", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    const int depth = collector->RegisterEvent("depth", 0, STATS_DATA_WATER_MARK);
    const int done = collector->RegisterEvent("done", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT);
    const int start = collector->RegisterEvent("start", STATS_FLAG_LATENCY_START, STATS_DATA_COUNT);
    KwStatsCounter counter(viaCounter), copy = counter;
    for (int refused : {depth, done, start, -1, 5, 256}) {
        EXPECT_FALSE(KwStatsCounter(refused).IsValid());
        EXPECT_EQ(Log().Count(3, "KwStatsCounter.cpp",
                              "KwStatsCounter: event " + std::to_string(refused) +
                                  " is not a registered counted event without latency flags; "
                                  "this counter counts nothing"),
                  1u)
            << refused;
    }
    KwStatsCounter(depth).Add(5);  // counts nothing, and is not counted
    counter.Add(3);                // not collecting yet: refused, counted
    EXPECT_TRUE(counter.IsValid());
    StartCollecting();
    for (int id : {viaSetEvent, viaCounter}) {
        SetCounter(Event(id).countSlot, 4294967290u);  // both wrap on the way
    }
    {
        KwMutexGuard guard(DataLock());
        In<ca::SecondsInMinute>() = 57;  // the third roll-up closes a minute and an hour
        In<ca::MinutesInHour>() = 59;
    }
    auto same = [&](int step) {
        KwStatsSnapshot snapshot;
        ASSERT_TRUE(collector->GetStatsSnapshot(snapshot));
        EXPECT_EQ(Figures(snapshot.events.at(viaSetEvent)), Figures(snapshot.events.at(viaCounter)))
            << "step " << step;
        EXPECT_EQ(Outputs(snapshot, viaSetEvent), Outputs(snapshot, viaCounter)) << "step " << step;
        EXPECT_EQ(snapshot.refusedByCounters, 3u);
    };
    for (int second = 0; second < 66; ++second) {
        unsigned int n = static_cast<unsigned int>((second * 7) % 13);
        Occur(viaSetEvent, static_cast<int>(n));
        if (n > 0) {
            counter.Add();
            copy.Add(n - 1);
        }
        if (second % 2 == 1) {
            same(second);  // the totals before the roll-up, too
        }
        if (second == 40) {
            collector->Reset();
            same(second);
        }
        RollUps(1);
    }
    KwStatsEventSnapshot rx = Stats(viaCounter);
    EXPECT_EQ(std::make_tuple(rx.minutes.size(), rx.hours.size(), rx.seconds.size()),
              std::make_tuple(size_t{1}, size_t{0}, size_t{26}));
    EXPECT_EQ(rx.peak, 12u);
    same(66);
}

// Four threads add while reports are submitted, snapshots taken, seconds
// rolled up and the statistics reset; then, after a last reset, exactly
// what they add is counted. Under ThreadSanitizer too. The reports never
// stop, so the seconds close on time only with the timely roll-up.
TEST_F(CollectorTest, CountersAddExactlyWhileEverythingElseRuns) {
    collector->SetTimelyRollup(true);
    const int counted = collector->RegisterEvent("fast", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    collector->RegisterEvent("slow", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    StartCollecting();
    KwStatsCounter counter(counted);
    const unsigned int perThread = 200000;
    std::atomic<int> phase{0};  // 0: chaos, 1: quiet, 2: counted run, 3: done
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            while (phase.load() == 0) {
                counter.Add(3);
            }
            ++ready;
            while (phase.load() == 1) {
                std::this_thread::yield();
            }
            for (unsigned int i = 0; i < perThread; ++i) {
                counter.Add(i % 2 == 0 ? 1 : 2);  // 1.5 a call on average
            }
            ++ready;
        });
    }
    // Resets only in the chaos; it says when it has seen the chaos end, and
    // so made its last reset.
    std::atomic<bool> resetsDone{false};
    threads.emplace_back([&] {
        for (int i = 0; phase.load() != 3; ++i) {
            collector->SetEvent(1, 0, nullptr);
            KwStatsSnapshot snapshot;
            collector->GetStatsSnapshot(snapshot);
            if (phase.load() != 0) {
                resetsDone.store(true);
            } else if (i % 100 == 0) {
                collector->Reset();
            }
        }
    });
    RollUps(5);
    phase.store(1);
    ASSERT_TRUE(WaitUntil([&] { return ready.load() == 4 && resetsDone.load(); }));
    collector->Reset();
    phase.store(2);
    for (int i = 0; i < 5; ++i) {
        RollUps(1);
    }
    ASSERT_TRUE(WaitUntil([&] { return ready.load() == 8; }));
    phase.store(3);
    for (std::thread& thread : threads) {
        thread.join();
    }
    KwStatsEventSnapshot fast = Stats(counted);
    EXPECT_EQ(fast.total, 4 * perThread * 3 / 2);
    KwUlong32 rolled = 0;
    for (KwUlong32 second : fast.seconds) {
        rolled += second;
    }
    RollUps(1);
    EXPECT_EQ(Stats(counted).minute, 4 * perThread * 3 / 2);
    EXPECT_LE(rolled, fast.total);
}

// Each thread adds into the stripe that the fewest threads hold, and gives
// it back when it ends: two threads at once take stripes 0 and 1, a third
// after them stripe 0 again.
TEST_F(CollectorTest, EachThreadAddsIntoTheStripeFewestThreadsHold) {
    const int id = collector->RegisterEvent("fast", 0, STATS_DATA_COUNT);
    StartCollecting();
    KwStatsCounter counter(id);
    KwStatsCounterCells* cells;
    {
        KwMutexGuard guard(DataLock());
        std::unique_ptr<KwStatsCounterCells> none;
        cells = In<ca::Counters>()->CellsOf(id, 0, true, none);
    }
    auto stripes = [&] {
        V counts;
        for (const KwStatsCounterCells::Stripe& stripe : cells->stripes) {
            counts.push_back(stripe.count.load());
        }
        return counts;
    };
    std::atomic<int> added{0};
    std::atomic<bool> done{false};
    auto add = [&](unsigned int n) {
        counter.Add(n);
        ++added;
        while (!done.load()) {
            std::this_thread::yield();
        }
    };
    std::thread first(add, 1);
    ASSERT_TRUE(WaitUntil([&] { return added.load() == 1; }));
    std::thread second(add, 2);
    ASSERT_TRUE(WaitUntil([&] { return added.load() == 2; }));
    EXPECT_EQ(stripes(), V({1, 2, 0, 0, 0, 0, 0, 0}));
    done.store(true);
    first.join();
    second.join();
    std::thread([&] { counter.Add(4); }).join();
    EXPECT_EQ(stripes(), V({5, 2, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Stats(id).total, 7u);
}
