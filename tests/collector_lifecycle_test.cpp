// The collector object: singleton, timer manager, registration, start and
// stop, also with work in flight.
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "CollectorHarness.h"
#include "dlog.h"

namespace {
const char kFile[] = "KwSrvrStatsCollector.cpp";
const char kShutdown[] = "svc: Stats collector is shutting down.";
const char kNotReady[] = "Reset: call Reset before it has complete initialization.";
}  // namespace

// Without the fixture: nothing has made the singleton before the threads.
TEST(CollectorSingleton, FirstCallsFromTwoThreadsGetOneObject) {
    std::atomic<int> ready{0};
    KwSrvrStatsCollector* seen[2] = {nullptr, nullptr};
    std::thread threads[2];
    for (int t = 0; t < 2; ++t) {
        threads[t] = std::thread([&, t] {
            for (++ready; ready.load() < 2;) {
            }
            seen[t] = &KwSrvrStatsCollector::GetInstance();
        });
    }
    threads[0].join();
    threads[1].join();
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(seen[0], &KwSrvrStatsCollector::GetInstance());
}

TEST_F(CollectorTest, SetUpStartAndStop) {
    EXPECT_FALSE(collector->IsRunning());
    EXPECT_EQ(Peer::TimerId(*collector), KwTimerMgr::INVALID_TIMER_ID);
    collector->Stop();  // before Start: only clears a flag
    EXPECT_EQ(collector->RegisterEvent("ev", 0, STATS_DATA_COUNT), 0);

    KwTimerMgr other(KwTimerMgr::MANUAL_CLOCK);
    EXPECT_EQ(collector->SetTimerManager(Timer()), 1);
    EXPECT_EQ(collector->SetTimerManager(other), 0);
    EXPECT_EQ(Log().Count(3, kFile,
                          "SetTimerManager: The collector has a timer manager set.The new timer "
                          "manager will be ignored"),
              1u);
    collector->DoneInit();  // before Start: the thread sizes its stores at once
    ASSERT_EQ(collector->Start(), 0);
    EXPECT_EQ(collector->Start(), 1);  // still running: no second thread
    ASSERT_TRUE(WaitUntil([&] { return collector->IsRunning(); }));
    ASSERT_TRUE(Timer().WaitForCreated(1, 20000));
    EXPECT_EQ(other.CreatedCount(), 0u);
    // A day would take too long to roll up: the day ring's 24 is checked here.
    EXPECT_EQ(Peer::RingCapacities(*collector), std::vector<unsigned int>({60, 60, 24}));
    EXPECT_EQ(
        Log().Count(7, kFile, "svc: data collector waiting for client to finish registration."),
        1u);
    EXPECT_EQ(Log().Count(7, kFile, "svc: diagnostic data collector initialization has finished ."),
              1u);
    // Idle, the thread polls in sleeps of 10 ms (the tests shorten them).
    ASSERT_TRUE(WaitUntil([] { return LastRequestedSleepUs() != 0; }));
    EXPECT_EQ(LastRequestedSleepUs(), 10000u);

    RollUps(1);
    ASSERT_EQ(Timer().Advance(1000), 1u);  // expired, not yet rolled up...
    WaitStopped();                         // ...when the thread stops
    EXPECT_FALSE(collector->IsRunning());
    EXPECT_EQ(Peer::State(*collector), KwSrvrStatsCollector::ST_STOPPED);
    EXPECT_EQ(Log().Count(6, kFile, kShutdown), 1u);
    EXPECT_EQ(Timer().PendingCount(), 0u);
    EXPECT_FALSE(Peer::TimerExpired());
    EXPECT_EQ(Peer::TimerId(*collector), KwTimerMgr::INVALID_TIMER_ID);
    EXPECT_TRUE(Peer::StoresReleased(*collector));
    // A new Start() collects again, but knows no event any more.
    ASSERT_EQ(collector->Start(), 0);
    ASSERT_TRUE(WaitUntil([&] { return collector->IsRunning(); }));
    EXPECT_EQ(collector->GetMonitoredEventNumber(), 0);
    EXPECT_EQ(collector->SetEvent(0, 0, nullptr), -1);
    EXPECT_EQ(Log().Count(3, kFile, "SetEvent: Tried to set an unrecognized event 0."), 1u);
    EXPECT_EQ(collector->RegisterEvent("again", 0, STATS_DATA_COUNT), -1);
}

TEST_F(CollectorTest, StopDuringTheRegistrationWaitEndsStoppedWithoutStores) {
    collector->SetTimerManager(Timer());
    collector->RegisterEvent("neverCollected", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    ASSERT_EQ(collector->Start(), 0);
    ASSERT_TRUE(Log().WaitFor("svc: data collector waiting for client to finish registration."));
    WaitStopped();
    EXPECT_EQ(Peer::State(*collector), KwSrvrStatsCollector::ST_STOPPED);
    EXPECT_EQ(Log().Count(6, kFile, kShutdown), 1u);
    EXPECT_EQ(Log().CountContaining("initialization has finished"), 0u);
    // The timer armed on the way out was cancelled again.
    EXPECT_EQ(Timer().CreatedCount(), 1u);
    EXPECT_EQ(Timer().PendingCount(), 0u);
    EXPECT_TRUE(Peer::StoresReleased(*collector));
    EXPECT_EQ(collector->GetMonitoredEventNumber(), 0);
}

TEST_F(CollectorTest, WithoutTimerManagerTheThreadGivesUpAfterSizing) {
    collector->RegisterEvent("counted", 0, STATS_DATA_COUNT);
    collector->DoneInit();
    ASSERT_EQ(collector->Start(), 0);
    ASSERT_TRUE(Log().WaitFor("svc: No timer manager to run the stats collector, exit"));
    ACE_Thread_Manager::instance()->wait();
    EXPECT_EQ(Log().Count(3, kFile, "svc: No timer manager to run the stats collector, exit"), 1u);
    // Nothing is undone: the collector stays collecting with nobody draining.
    EXPECT_EQ(Peer::State(*collector), KwSrvrStatsCollector::ST_COLLECTING);
    EXPECT_EQ(Log().CountContaining(kShutdown), 0u);
}

TEST_F(CollectorTest, FirstTimerNotCreatedEndsTheThread) {
    Timer().FailNextCreates(1);
    collector->SetTimerManager(Timer());
    collector->DoneInit();
    ASSERT_EQ(collector->Start(), 0);
    const char failed[] = "svc: create periodic diagnostic data collection timer failed, exit";
    ASSERT_TRUE(Log().WaitFor(failed));
    ACE_Thread_Manager::instance()->wait();
    EXPECT_EQ(Log().Count(3, kFile, failed), 1u);
    EXPECT_EQ(Log().CountContaining(kShutdown), 0u);
}

TEST_F(CollectorTest, ExitWithoutStopStopsTheThreadAndReleasesEverything) {
    // No thread runs yet, so the child forked here holds the only one.
    EXPECT_EXIT(
        {
            collector->RegisterEvent("ev", 0, STATS_DATA_COUNT);
            StartCollecting();
            for (int i = 0; i < 100; ++i) {
                collector->SetEvent(0, 0, nullptr);
            }
            dlog_set_sink(nullptr, nullptr);
            dlog_set_threshold(6);
            exit(0);
        },
        ::testing::ExitedWithCode(0),
        "<6> KwSrvrStatsCollector.cpp svc: Stats collector is shutting down\\.");
}

TEST_F(CollectorTest, SlotsAreNumberedPerKindInRegistrationOrder) {
    struct Row {
        const char* name;
        int flags;
        int type;
        std::vector<int> slots;  // count, rate, water mark
    } rows[] = {
        {"rated", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT, {0, 0, -1}},
        {"mark", 0, STATS_DATA_WATER_MARK, {-1, -1, 0}},
        {"end", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT, {1, -1, 1}},
        {"markEnd", STATS_FLAG_LATENCY_END, STATS_DATA_WATER_MARK, {-1, -1, 2}},
        {"startEnd",
         STATS_FLAG_LATENCY_START | STATS_FLAG_LATENCY_END,
         STATS_DATA_COUNT,
         {2, -1, 3}},
        {"odd", 0, 7, {-1, -1, -1}},
        {"oddRated", STATS_FLAG_MAX_RATE | 0x100, 9, {-1, 1, -1}},
        {"rated", 0, STATS_DATA_COUNT, {3, -1, -1}},  // same name, another event
    };
    int id = 0;
    for (const Row& row : rows) {
        ASSERT_EQ(
            collector->RegisterEvent(row.name, row.flags, static_cast<StatsDataType>(row.type)),
            id);
        KwSrvrStatsEvent event = Peer::Event(*collector, id++);
        EXPECT_EQ(event.name, row.name);
        EXPECT_EQ(event.flags, row.flags);
        EXPECT_EQ(event.type, row.type);
        EXPECT_EQ(std::vector<int>({event.countSlot, event.rateSlot, event.waterMarkSlot}),
                  row.slots)
            << row.name;
    }
    EXPECT_EQ(collector->GetMonitoredEventNumber(), 8);
    EXPECT_EQ(Peer::SlotCounts(*collector), std::vector<int>({4, 2, 4}));
    EXPECT_EQ(Log().Count(7, kFile, "RegisterEvent: registered event end as 2"), 1u);
    EXPECT_EQ(collector->RegisterEvent(nullptr, 0, STATS_DATA_COUNT), -1);
    EXPECT_EQ(collector->GetMonitoredEventNumber(), 8);
}

TEST_F(CollectorTest, ConcurrentRegistrationsGetDenseIdsAndTheLimitHolds) {
    std::vector<int> ids[4];
    std::thread registrars[4];
    for (int t = 0; t < 4; ++t) {
        registrars[t] = std::thread([&, t] {
            for (int i = 0; i < 70; ++i) {
                std::string name = "ev" + std::to_string(t) + "_" + std::to_string(i);
                ids[t].push_back(
                    collector->RegisterEvent(name.c_str(), STATS_FLAG_MAX_RATE, STATS_DATA_COUNT));
            }
        });
    }
    std::vector<int> all;
    for (int t = 0; t < 4; ++t) {
        registrars[t].join();
        all.insert(all.end(), ids[t].begin(), ids[t].end());
    }
    std::sort(all.begin(), all.end());
    // 280 attempts: 24 refused, ids 0..255 handed out once each.
    EXPECT_EQ(std::count(all.begin(), all.end(), -1), 24);
    all.erase(std::remove(all.begin(), all.end(), -1), all.end());
    ASSERT_EQ(all.size(), 256u);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(all[static_cast<size_t>(i)], i);
        EXPECT_EQ(Peer::Event(*collector, i).countSlot, i);
    }
    EXPECT_EQ(Peer::SlotCounts(*collector), std::vector<int>({256, 256, 0}));
    EXPECT_EQ(collector->RegisterEvent("oneTooMany", 0, STATS_DATA_WATER_MARK), -1);
    EXPECT_EQ(Log().Count(3, kFile,
                          "RegisterEvent: Maximum number of events can be monitored by this "
                          "object has been reached, the event oneTooMany is not to be monitored"),
              1u);
    EXPECT_EQ(Log().CountContaining("Maximum number of events"), 25u);
    EXPECT_EQ(Peer::SlotCounts(*collector), std::vector<int>({256, 256, 0}));
    EXPECT_EQ(collector->GetMonitoredEventNumber(), 256);
}

TEST_F(CollectorTest, RegistrationThatLosesTheRaceWithSizingIsRefused) {
    int result = 0;
    std::thread late;
    {
        KwMutexGuard hold(Peer::DataLock(*collector));
        late = std::thread([&] { result = collector->RegisterEvent("late", 0, STATS_DATA_COUNT); });
        // Past its first state test, it waits for the lock under which the
        // collection thread sizes the stores and leaves ST_INIT.
        ASSERT_TRUE(WaitUntil([&] { return Peer::DataLock(*collector).Waiters() == 1; }));
        Peer::SetState(*collector, KwSrvrStatsCollector::ST_COLLECTING);
    }
    late.join();
    Peer::SetState(*collector, KwSrvrStatsCollector::ST_INIT);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(collector->GetMonitoredEventNumber(), 0);
    EXPECT_EQ(Log().Count(3, kFile,
                          "RegisterEvent: Cannot register a new event for late if the collector "
                          "is not in ST_INIT state"),
              1u);
}

TEST_F(CollectorTest, StopWithReportsQueuedReleasesThemUnprocessed) {
    collector->Reset();  // not collecting yet: refused
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
    collector->Reset();
    EXPECT_EQ(Log().Count(3, kFile, kNotReady), 2u);
    EXPECT_EQ(Log().CountContaining("Reset Stats data occurred"), 0u);
}

// Host threads submit at full speed, report and reset while roll-ups run,
// then the collector stops under them. Each report of a latency end is
// traced when processed: the trace lines count what was processed, the rest
// was released at the stop (the leak checker of the sanitizer build proves
// it). Run under ThreadSanitizer and AddressSanitizer too.
TEST_F(CollectorTest, StopUnderFullSpeedProducersLosesNothingAccepted) {
    collector->RegisterEvent("done", STATS_FLAG_LATENCY_END | STATS_FLAG_MAX_RATE,
                             STATS_DATA_COUNT);
    collector->RegisterEvent("start", STATS_FLAG_LATENCY_START, STATS_DATA_COUNT);
    collector->RegisterEvent("depth", STATS_FLAG_MAX_RATE, STATS_DATA_WATER_MARK);
    StartCollecting();
    std::atomic<long> accepted{0};
    std::atomic<int> refused{0};
    std::atomic<bool> flood{false};
    std::atomic<bool> stopped{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (uint32_t i = t;; ++i) {
                while (i == 15000 && !flood.load()) {
                    std::this_thread::yield();  // a pause, so that roll-ups can run
                }
                int id = static_cast<int>(i % 3);
                if (collector->SetEvent(id, id == 2 ? 4 : 0, &i) != 0) {
                    break;
                }
                accepted += id == 0 ? 1 : 0;
            }
            ++refused;
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; !stopped.load(); ++i) {
            std::string report = collector->GetStatsReport();
            if (i % 50 == 0) {
                collector->Reset();
            }
        }
    });
    RollUps(20);  // they run whenever the producers let the queue empty
    long before = accepted.load();
    flood.store(true);
    ASSERT_TRUE(WaitUntil([&] { return accepted.load() > before + 20000; }));
    collector->Stop();
    ASSERT_TRUE(WaitUntil([&] { return refused.load() == 2; }));
    stopped.store(true);
    for (std::thread& thread : threads) {
        thread.join();
    }
    ACE_Thread_Manager::instance()->wait();
    size_t processed = Log().CountContaining("svc: event latency [0] = ");
    EXPECT_GT(processed, 0u);
    EXPECT_LE(processed, static_cast<size_t>(accepted.load()));
    EXPECT_TRUE(Peer::StoresReleased(*collector));
    EXPECT_EQ(Peer::Waiting(*collector), 0u);
    EXPECT_EQ(Peer::SpareNodes(*collector), 0u);
    EXPECT_EQ(collector->GetStatsReport(), "");
}
