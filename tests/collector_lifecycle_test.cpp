// The collector object: singleton, timer manager, start and stop.
#include <stdlib.h>

#include <thread>

#include "CollectorHarness.h"
#include "dlog.h"

namespace {
const char kFile[] = "KwSrvrStatsCollector.cpp";
const char kShutdown[] = "svc: Stats collector is shutting down.";
}  // namespace

TEST_F(CollectorTest, GetInstanceFromTwoThreadsAtOnceReturnsOneObject) {
    std::atomic<int> ready{0};
    KwSrvrStatsCollector* seen[2] = {nullptr, nullptr};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            ++ready;
            while (ready.load() < 2) {
            }
            seen[t] = &KwSrvrStatsCollector::GetInstance();
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(seen[0], collector);
}

TEST_F(CollectorTest, FreshCollectorIsInitialisedAndReportsNothing) {
    EXPECT_FALSE(collector->IsRunning());
    EXPECT_EQ(collector->GetMonitoredEventNumber(), 0);
    EXPECT_EQ(Peer::State(*collector), KwSrvrStatsCollector::ST_INIT);
    EXPECT_EQ(Peer::TimerId(*collector), KwTimerMgr::INVALID_TIMER_ID);
    EXPECT_EQ(collector->GetStatsReport(), "");
    EXPECT_EQ(
        Log().Count(4, kFile, "GetStatsReport: empty report generated (0, (nil), (nil), (nil))."),
        1u);
}

TEST_F(CollectorTest, SecondTimerManagerIsRefusedAndTheFirstKept) {
    KwTimerMgr other(KwTimerMgr::MANUAL_CLOCK);
    EXPECT_EQ(collector->SetTimerManager(Timer()), 1);
    EXPECT_EQ(collector->SetTimerManager(other), 0);
    EXPECT_EQ(Log().Count(3, kFile,
                          "SetTimerManager: The collector has a timer manager set.The new timer "
                          "manager will be ignored"),
              1u);
    collector->DoneInit();  // before Start: the thread sizes its stores at once
    ASSERT_EQ(collector->Start(), 0);
    ASSERT_TRUE(Timer().WaitForCreated(1, 20000));
    EXPECT_EQ(other.CreatedCount(), 0u);
    EXPECT_TRUE(collector->IsRunning());
    EXPECT_EQ(Log().Count(7, kFile, "svc: diagnostic data collector initialization has finished ."),
              1u);
}

TEST_F(CollectorTest, StopBeforeStartOnlyClearsAFlag) {
    collector->Stop();
    EXPECT_EQ(Peer::State(*collector), KwSrvrStatsCollector::ST_INIT);
    EXPECT_EQ(collector->RegisterEvent("stillOpen", 0, STATS_DATA_COUNT), 0);
    EXPECT_TRUE(Log().Matching(kShutdown).empty());
}

TEST_F(CollectorTest, StartWhileRunningReturnsOneAndStartsNoSecondThread) {
    collector->SetTimerManager(Timer());
    ASSERT_EQ(collector->Start(), 0);
    EXPECT_EQ(collector->Start(), 1);
    collector->DoneInit();
    ASSERT_TRUE(WaitUntil([&] { return collector->IsRunning(); }));
    EXPECT_EQ(collector->Start(), 1);
    EXPECT_EQ(
        Log().Matching("svc: data collector waiting for client to finish registration.").size(),
        1u);
}

TEST_F(CollectorTest, StopDuringTheRegistrationWaitEndsStoppedWithoutStores) {
    collector->SetTimerManager(Timer());
    collector->RegisterEvent("neverCollected", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    ASSERT_EQ(collector->Start(), 0);
    ASSERT_TRUE(Log().WaitFor("svc: data collector waiting for client to finish registration."));
    WaitStopped();
    EXPECT_EQ(Peer::State(*collector), KwSrvrStatsCollector::ST_STOPPED);
    EXPECT_FALSE(collector->IsRunning());
    EXPECT_EQ(Log().Count(6, kFile, kShutdown), 1u);
    EXPECT_TRUE(
        Log().Matching("svc: diagnostic data collector initialization has finished .").empty());
    // The timer armed on the way out was cancelled again.
    EXPECT_EQ(Timer().CreatedCount(), 1u);
    EXPECT_EQ(Timer().PendingCount(), 0u);
    EXPECT_TRUE(Peer::StoresReleased(*collector));
    EXPECT_EQ(collector->GetMonitoredEventNumber(), 0);
}

TEST_F(CollectorTest, StopEndsCollectionAndIsFinal) {
    StartCollecting();
    // Idle, the thread polls in sleeps of 10 ms (the tests shorten them).
    ASSERT_TRUE(WaitUntil([] { return LastRequestedSleepUs() != 0; }));
    EXPECT_EQ(LastRequestedSleepUs(), 10000u);
    WaitStopped();
    EXPECT_FALSE(collector->IsRunning());
    EXPECT_EQ(Peer::State(*collector), KwSrvrStatsCollector::ST_STOPPED);
    EXPECT_EQ(Log().Count(6, kFile, kShutdown), 1u);
    EXPECT_EQ(Timer().PendingCount(), 0u);
    EXPECT_FALSE(Peer::TimerExpired());
    EXPECT_EQ(collector->RegisterEvent("late", 0, STATS_DATA_COUNT), -1);
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
    EXPECT_TRUE(Log().Matching(kShutdown).empty());
}

TEST_F(CollectorTest, FirstTimerNotCreatedEndsTheThread) {
    Timer().FailNextCreates(1);
    collector->SetTimerManager(Timer());
    collector->DoneInit();
    ASSERT_EQ(collector->Start(), 0);
    ASSERT_TRUE(
        Log().WaitFor("svc: create periodic diagnostic data collection timer failed, exit"));
    ACE_Thread_Manager::instance()->wait();
    EXPECT_EQ(
        Log().Count(3, kFile, "svc: create periodic diagnostic data collection timer failed, exit"),
        1u);
    EXPECT_TRUE(Log().Matching(kShutdown).empty());
}

TEST_F(CollectorTest, RestartAfterStopCollectsButKnowsNoEvent) {
    collector->RegisterEvent("gone", 0, STATS_DATA_COUNT);
    StartCollecting();
    EXPECT_EQ(collector->SetEvent(0, 0, nullptr), 0);
    WaitStopped();
    ASSERT_EQ(collector->Start(), 0);
    ASSERT_TRUE(WaitUntil([&] { return collector->IsRunning(); }));
    EXPECT_EQ(collector->GetMonitoredEventNumber(), 0);
    EXPECT_EQ(collector->SetEvent(0, 0, nullptr), -1);
    EXPECT_EQ(Log().Count(3, kFile, "SetEvent: Tried to set an unrecognized event 0."), 1u);
    EXPECT_EQ(collector->RegisterEvent("again", 0, STATS_DATA_COUNT), -1);
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
