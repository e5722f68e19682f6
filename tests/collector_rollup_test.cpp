// The per-second roll-up: seconds into minutes, minutes into hours, hours
// into the day, and the peak per second. Time is driven by hand.
#include <time.h>

#include "CollectorHarness.h"
#include "KwTimeConvert.h"

namespace {

const char kFile[] = "KwSrvrStatsCollector.cpp";

// The first line of a report: the count records.
std::string CountLine(const std::string& report) {
    return report.substr(0, report.find('\n'));
}

long WallSeconds() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long>(now.tv_sec);
}

}  // namespace

TEST_F(CollectorTest, FirstRollUpMovesTheSecondIntoTheMinuteColumn) {
    collector->RegisterEvent("ev", 0, STATS_DATA_COUNT);
    StartCollecting();
    Occur(0, 5);
    EXPECT_EQ(CountLine(collector->GetStatsReport()),
              "Statistics Event Counts: min, hour, day, total;ev: 0, 0, 0, 5");
    RollUps(1);
    EXPECT_EQ(CountLine(collector->GetStatsReport()),
              "Statistics Event Counts: min, hour, day, total;ev: 5, 0, 0, 5");
    EXPECT_EQ(Peer::RingCount(*collector, 0), 1u);
    EXPECT_EQ(Peer::RingEntry(*collector, 0, 0, 0), 5u);
    // A quiet second: an entry of 0, and the minute still holds the 5.
    RollUps(1);
    EXPECT_EQ(Peer::RingEntry(*collector, 0, 1, 0), 0u);
    EXPECT_EQ(CountLine(collector->GetStatsReport()),
              "Statistics Event Counts: min, hour, day, total;ev: 5, 0, 0, 5");
}

TEST_F(CollectorTest, MinuteRingHoldsExactlyTheLastSixtySeconds) {
    collector->RegisterEvent("ev", 0, STATS_DATA_COUNT);
    StartCollecting();
    for (int second = 1; second <= 61; ++second) {
        Occur(0, second);
        RollUps(1);
        int seconds, minutes;
        Peer::Positions(*collector, seconds, minutes);
        ASSERT_EQ(seconds, second % 60);
    }
    EXPECT_EQ(Peer::RingCount(*collector, 0), 60u);
    EXPECT_EQ(Peer::RingEntry(*collector, 0, 0, 0), 2u);  // second 1 has dropped out
    EXPECT_EQ(Peer::RingCount(*collector, 1), 1u);
    EXPECT_EQ(Peer::RingEntry(*collector, 1, 0, 0), 1830u);  // 1 + ... + 60
    // minute: 2 + ... + 61; hour: the first minute; total: 1 + ... + 61.
    EXPECT_EQ(CountLine(collector->GetStatsReport()),
              "Statistics Event Counts: min, hour, day, total;ev: 1890, 1830, 0, 1891");
}

TEST_F(CollectorTest, The3600thRollUpClosesTheFirstHourIntoTheDayColumn) {
    collector->RegisterEvent("ev", 0, STATS_DATA_COUNT);
    collector->RegisterEvent("other", 0, STATS_DATA_COUNT);
    ShortenPollSleeps(50);
    StartCollecting();
    Occur(0, 3);  // lands in the first second
    RollUps(3599);
    EXPECT_EQ(Peer::RingCount(*collector, 1), 59u);
    EXPECT_EQ(Peer::RingCount(*collector, 2), 0u);
    EXPECT_EQ(CountLine(collector->GetStatsReport()),
              "Statistics Event Counts: min, hour, day, total;ev: 0, 3, 0, 3;other: 0, 0, 0, 0");
    Occur(1, 4);  // lands in the last second of the hour
    RollUps(1);
    EXPECT_EQ(Peer::RingCount(*collector, 1), 60u);
    EXPECT_EQ(Peer::RingCount(*collector, 2), 1u);
    EXPECT_EQ(Peer::RingEntry(*collector, 2, 0, 0), 3u);
    EXPECT_EQ(Peer::RingEntry(*collector, 2, 0, 1), 4u);
    int seconds, minutes;
    Peer::Positions(*collector, seconds, minutes);
    EXPECT_EQ(seconds, 0);
    EXPECT_EQ(minutes, 0);
    EXPECT_EQ(CountLine(collector->GetStatsReport()),
              "Statistics Event Counts: min, hour, day, total;ev: 0, 3, 3, 3;other: 4, 4, 4, 4");
}

TEST_F(CollectorTest, SecondCountIsRightWhenTheCounterWrapsBetweenRollUps) {
    collector->RegisterEvent("ev", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    StartCollecting();
    Peer::SetCounter(*collector, 0, 4294967290u);
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(collector->SetEvent(0, 0, nullptr), 0);
    }
    ASSERT_TRUE(WaitUntil([&] { return Peer::Total(*collector, 0) == 4; }));
    RollUps(1);
    EXPECT_EQ(Peer::RingEntry(*collector, 0, 0, 0), 10u);
    EXPECT_EQ(Peer::MaxRate(*collector, 0), 10u);
}

TEST_F(CollectorTest, PeakRateKeepsTheTimeOfTheFirstSecondThatReachedIt) {
    collector->RegisterEvent("rx", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    StartCollecting();
    Occur(0, 3);
    long before = WallSeconds();
    RollUps(1);
    long after = WallSeconds();
    long first = Peer::MaxRateTicks(*collector, 0);
    EXPECT_EQ(Peer::MaxRate(*collector, 0), 3u);
    EXPECT_GE(first, before);
    EXPECT_LE(first, after);
    // Let the wall clock move on, so a wrongly renewed stamp would show.
    ASSERT_TRUE(WaitUntil([&] { return WallSeconds() > first; }, std::chrono::seconds(5)));
    Occur(0, 3);
    RollUps(1);
    EXPECT_EQ(Peer::MaxRateTicks(*collector, 0), first);
    RollUps(1);  // a quiet second changes nothing
    EXPECT_EQ(Peer::MaxRate(*collector, 0), 3u);
    Occur(0, 4);
    RollUps(1);
    EXPECT_EQ(Peer::MaxRate(*collector, 0), 4u);
    EXPECT_GT(Peer::MaxRateTicks(*collector, 0), first);
}

TEST_F(CollectorTest, RollUpWaitsForReportsThatArriveWhileOneIsInHand) {
    collector->RegisterEvent("rx", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    StartCollecting();
    unsigned long created = Timer().CreatedCount();
    {
        KwMutexGuard hold(Peer::DataLock(*collector));
        HoldThreadOnReport(0);  // the thread has taken everything queued so far
        for (int i = 0; i < 49; ++i) {
            ASSERT_EQ(collector->SetEvent(0, 0, nullptr), 0);
        }
        // The timer fires while reports wait behind the one in hand: the
        // second must not close without them.
        ASSERT_EQ(Timer().Advance(1000), 1u);
    }
    ASSERT_TRUE(Timer().WaitForCreated(created + 1, 20000));
    EXPECT_EQ(Peer::RingCount(*collector, 0), 1u);
    EXPECT_EQ(Peer::RingEntry(*collector, 0, 0, 0), 50u);
    EXPECT_EQ(Peer::MaxRate(*collector, 0), 50u);
}

TEST_F(CollectorTest, ResetBeforeAMinuteClosesLeavesOnlyTheRestOfThatMinute) {
    collector->RegisterEvent("ev", 0, STATS_DATA_COUNT);
    StartCollecting();
    for (int second = 0; second < 30; ++second) {
        Occur(0, 2);
        RollUps(1);
    }
    collector->Reset();
    EXPECT_EQ(CountLine(collector->GetStatsReport()),
              "Statistics Event Counts: min, hour, day, total;ev: 0, 0, 0, 0");
    for (int second = 0; second < 30; ++second) {
        Occur(0, 1);
        RollUps(1);
    }
    // The minute closed on its old rhythm, with only the 30 seconds since the reset.
    EXPECT_EQ(Peer::RingCount(*collector, 1), 1u);
    EXPECT_EQ(Peer::RingEntry(*collector, 1, 0, 0), 30u);
    EXPECT_EQ(CountLine(collector->GetStatsReport()),
              "Statistics Event Counts: min, hour, day, total;ev: 30, 30, 0, 30");
}

TEST_F(CollectorTest, RateSlotOfAnEventWithoutCounterStaysEmpty) {
    collector->RegisterEvent("depth", STATS_FLAG_MAX_RATE, STATS_DATA_WATER_MARK);
    StartCollecting();
    uint32_t depth = 9;
    ASSERT_EQ(collector->SetEvent(0, 4, &depth), 0);
    ASSERT_TRUE(WaitUntil([&] { return Peer::WaterMark(*collector, 0) == 9; }));
    RollUps(2);
    EXPECT_EQ(Peer::MaxRate(*collector, 0), 0u);
    EXPECT_EQ(Log().CountContaining("operator[]"), 0u);
    std::string report = collector->GetStatsReport();
    EXPECT_NE(report.find("\nMaximum Events Per Second: cnts, stamp;depth: 0,-\n"),
              std::string::npos)
        << report;
}

TEST_F(CollectorTest, FailureToArmTheNextTimerStopsTheCollector) {
    collector->RegisterEvent("ev", 0, STATS_DATA_COUNT);
    StartCollecting();
    Occur(0, 2);
    Timer().FailNextCreates(1);
    ASSERT_EQ(Timer().Advance(1000), 1u);
    ASSERT_TRUE(Log().WaitFor("svc: Stats collector is shutting down."));
    ACE_Thread_Manager::instance()->wait();
    EXPECT_EQ(Log().Count(3, kFile, "svc: Data collector is stopping due to CreateTimer failure."),
              1u);
    EXPECT_EQ(Peer::State(*collector), KwSrvrStatsCollector::ST_STOPPED);
    EXPECT_EQ(Peer::TimerId(*collector), KwTimerMgr::INVALID_TIMER_ID);
    EXPECT_EQ(Timer().PendingCount(), 0u);
    EXPECT_TRUE(Peer::StoresReleased(*collector));
}
