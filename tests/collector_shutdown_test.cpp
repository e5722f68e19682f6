// Shutdown with work in flight, statistics reset, and everything at once.
#include <limits.h>

#include <atomic>
#include <thread>

#include "CollectorHarness.h"

namespace {
const char kFile[] = "KwSrvrStatsCollector.cpp";
const char kNotReady[] = "Reset: call Reset before it has complete initialization.";
}  // namespace

TEST_F(CollectorTest, StopWithReportsQueuedReleasesThemUnprocessed) {
    collector->RegisterEvent("ev", 0, STATS_DATA_COUNT);
    StartCollecting();
    {
        KwMutexGuard hold(Peer::DataLock(*collector));
        HoldThreadOnReport(0);
        uint32_t payload[8] = {};
        for (int i = 0; i < 100; ++i) {
            ASSERT_EQ(collector->SetEvent(0, sizeof payload, payload), 0);
        }
        collector->Stop();
    }
    ACE_Thread_Manager::instance()->wait();
    EXPECT_EQ(Log().Count(6, kFile, "svc: Stats collector is shutting down."), 1u);
    EXPECT_EQ(Peer::Waiting(*collector), 0u);
    EXPECT_TRUE(Peer::StoresReleased(*collector));
    EXPECT_EQ(Timer().PendingCount(), 0u);
    // The leak checker of the sanitizer build proves the 100 were freed.
}

TEST_F(CollectorTest, StopUnderTwoFullSpeedProducersLosesNothingAccepted) {
    // Each report of a latency end is traced when processed: the trace
    // lines count what was processed, the rest was released at the stop
    // (the leak checker of the sanitizer build proves it).
    collector->RegisterEvent("done", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT);
    StartCollecting();
    std::atomic<long> accepted{0};
    std::atomic<int> refused{0};
    std::vector<std::thread> producers;
    for (int t = 0; t < 2; ++t) {
        producers.emplace_back([&] {
            while (collector->SetEvent(0, 0, nullptr) == 0) {
                ++accepted;
            }
            ++refused;
        });
    }
    ASSERT_TRUE(WaitUntil([&] { return accepted.load() > 20000; }));
    collector->Stop();
    for (std::thread& producer : producers) {
        producer.join();
    }
    ACE_Thread_Manager::instance()->wait();
    EXPECT_EQ(refused.load(), 2);
    size_t processed = Log().CountContaining("svc: event latency [0] = ");
    EXPECT_GT(processed, 0u);
    EXPECT_LE(processed, static_cast<size_t>(accepted.load()));
    EXPECT_TRUE(Peer::StoresReleased(*collector));
    EXPECT_EQ(Peer::Waiting(*collector), 0u);
    EXPECT_EQ(Peer::SpareNodes(*collector), 0u);
}

TEST_F(CollectorTest, AfterStopEverythingIsRefused) {
    collector->RegisterEvent("ev", 0, STATS_DATA_COUNT);
    StartCollecting();
    WaitStopped();
    EXPECT_EQ(collector->SetEvent(0, 0, nullptr), -1);
    EXPECT_EQ(Log().Count(3, kFile,
                          "SetEvent: Tried to enter data 0 when the stats collector is not in "
                          "collecting state"),
              1u);
    collector->Reset();
    collector->Reset();
    EXPECT_EQ(Log().Count(3, kFile, kNotReady), 2u);
    EXPECT_FALSE(collector->IsRunning());
}

TEST_F(CollectorTest, ResetBeforeCollectingIsRefused) {
    collector->Reset();
    EXPECT_EQ(Log().Count(3, kFile, kNotReady), 1u);
    EXPECT_TRUE(Log().Matching("Reset: Reset Stats data occurred").empty());
}

TEST_F(CollectorTest, ResetClearsEveryStatisticAndKeepsTheRhythm) {
    collector->RegisterEvent("rx", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    collector->RegisterEvent("done", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT);
    collector->RegisterEvent("depth", 0, STATS_DATA_WATER_MARK);
    StartCollecting();
    for (int second = 0; second < 61; ++second) {
        Occur(0, 2);
        RollUps(1);
    }
    Occur(1, 1);
    uint32_t depth = 12;
    collector->SetEvent(2, 4, &depth);
    ASSERT_TRUE(WaitUntil([&] { return Peer::WaterMark(*collector, 1) == 12; }));
    ASSERT_NE(Peer::WaterMark(*collector, 0), 0u);
    collector->Reset();
    collector->Reset();
    EXPECT_EQ(Log().Count(7, kFile, "Reset: Reset Stats data occurred"), 2u);
    EXPECT_EQ(collector->GetStatsReport(),
              "Statistics Event Counts: min, hour, day, total;rx: 0, 0, 0, 0;done: 0, 0, 0, 0\n"
              "Maximum Events Per Second: cnts, stamp;rx: 0,-\n"
              "High-Water-Mark Values: value, stamp;done Latency (ms): 0.0, -;depth: 0,-");
    int seconds, minutes;
    Peer::Positions(*collector, seconds, minutes);
    EXPECT_EQ(seconds, 1);
    EXPECT_EQ(minutes, 1);
    // Counting starts afresh from the reset.
    Occur(0, 3);
    RollUps(1);
    EXPECT_EQ(Peer::RingCount(*collector, 0), 1u);
    EXPECT_EQ(Peer::RingEntry(*collector, 0, 0, 0), 3u);
    EXPECT_EQ(Peer::MaxRate(*collector, 0), 3u);
}

// Host threads submit, report and reset while roll-ups run, then the
// collector stops under them. Run under ThreadSanitizer and AddressSanitizer.
TEST_F(CollectorTest, EverythingAtOnceThenStop) {
    collector->RegisterEvent("rx", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    collector->RegisterEvent("start", STATS_FLAG_LATENCY_START, STATS_DATA_COUNT);
    collector->RegisterEvent("done", STATS_FLAG_LATENCY_END | STATS_FLAG_MAX_RATE,
                             STATS_DATA_COUNT);
    collector->RegisterEvent("depth", STATS_FLAG_MAX_RATE, STATS_DATA_WATER_MARK);
    StartCollecting();

    std::atomic<bool> stopping{false};
    std::atomic<long> accepted{0};
    auto produce = [&](int t, long count) {
        for (long i = 0; i < count && !stopping.load(); ++i) {
            uint32_t value = static_cast<uint32_t>(i % 1000);
            int id = static_cast<int>((i + t) % 4);
            accepted += collector->SetEvent(id, id == 3 ? 4 : 0, &value) == 0 ? 1 : 0;
        }
    };
    std::vector<std::thread> hosts;
    hosts.emplace_back([&] {
        while (!stopping.load()) {
            std::string report = collector->GetStatsReport();
            (void)report;
        }
    });
    hosts.emplace_back([&] {
        for (int i = 0; !stopping.load(); ++i) {
            if (i % 50 == 0) {
                collector->Reset();
            }
            std::this_thread::yield();
        }
    });

    // Roll-ups under load: they run whenever the producers let the queue empty.
    std::vector<std::thread> producers;
    for (int t = 0; t < 3; ++t) {
        producers.emplace_back(produce, t, 10000);
    }
    RollUps(20);
    for (std::thread& producer : producers) {
        producer.join();
    }
    producers.clear();

    // Stop while reports are still arriving.
    long before = accepted.load();
    for (int t = 0; t < 3; ++t) {
        producers.emplace_back(produce, t, LONG_MAX);
    }
    ASSERT_TRUE(WaitUntil([&] { return accepted.load() > before + 1000; }));
    collector->Stop();
    ASSERT_TRUE(WaitUntil([&] { return !collector->IsRunning(); }));
    stopping.store(true);
    for (std::thread& producer : producers) {
        producer.join();
    }
    for (std::thread& host : hosts) {
        host.join();
    }
    ACE_Thread_Manager::instance()->wait();
    EXPECT_GE(accepted.load(), 30000);
    EXPECT_TRUE(Peer::StoresReleased(*collector));
    EXPECT_EQ(Peer::Waiting(*collector), 0u);
    EXPECT_EQ(collector->GetStatsReport(), "");
}
