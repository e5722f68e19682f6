// The per-second roll-up: seconds into minutes, minutes into hours, hours
// into the day, and the peak per second. Time is driven by hand.
#include <tuple>

#include "CollectorHarness.h"

static const std::string kCounts = "Statistics Event Counts: min, hour, day, total;";

TEST_F(CollectorTest, SecondsRollIntoMinutesAndTheMinuteRingHoldsTheLastSixty) {
    collector->RegisterEvent("ev", 0, STATS_DATA_COUNT);
    StartCollecting();
    Occur(0, 5);
    EXPECT_EQ(ReportLine(0), kCounts + "ev: 0, 0, 0, 5");  // not rolled up yet
    KwStatsSnapshot snapshot;
    ASSERT_TRUE(collector->GetStatsSnapshot(snapshot));
    EXPECT_EQ(snapshot.lastRollupAt, 0);
    long before = WallSeconds();
    RollUps(2);  // the second with 5, then a quiet one
    ASSERT_TRUE(collector->GetStatsSnapshot(snapshot));
    EXPECT_GE(snapshot.lastRollupAt, before);
    EXPECT_LE(snapshot.lastRollupAt, WallSeconds());
    EXPECT_EQ(Stats(0).seconds, V({5, 0}));
    EXPECT_EQ(ReportLine(0), kCounts + "ev: 5, 0, 0, 5");
    for (int second = 3; second <= 61; ++second) {
        Occur(0, second);
        RollUps(1);
    }
    KwStatsEventSnapshot ev = Stats(0);
    ASSERT_EQ(ev.seconds.size(), 60u);  // the second with 5 has dropped out
    EXPECT_EQ(V({ev.seconds[0], ev.seconds[1], ev.seconds[59]}), V({0, 3, 61}));
    EXPECT_EQ(ev.minutes, V({1832}));  // the first 60 seconds: 5 + 0 + 3 + ... + 60
    EXPECT_EQ(ReportLine(0), kCounts + "ev: 1888, 1832, 0, 1893");
}

// The peak per second counts wrapped counters and keeps the time it was
// first reached; a reset clears every statistic and keeps the rhythm.
TEST_F(CollectorTest, PeakPerSecondAndReset) {
    collector->RegisterEvent("rx", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    collector->RegisterEvent("depth", STATS_FLAG_MAX_RATE, STATS_DATA_WATER_MARK);
    collector->RegisterEvent("done", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT);
    StartCollecting();
    SetCounter(0, 4294967293u);
    long before = WallSeconds();
    Occur(0, 6);  // the counter wraps within the second
    RollUps(1);
    KwStatsEventSnapshot rx = Stats(0);
    EXPECT_EQ(rx.seconds, V({6}));
    EXPECT_EQ(rx.peak, 6u);
    EXPECT_GE(rx.peakTime, before);
    EXPECT_LE(rx.peakTime, WallSeconds());
    // Let the wall clock move on, so a wrongly renewed stamp would show.
    ASSERT_TRUE(WaitUntil([&] { return WallSeconds() > rx.peakTime; }, std::chrono::seconds(5)));
    Occur(0, 6);
    RollUps(2);  // as high again, then quiet: nothing changes
    EXPECT_EQ(Stats(0).peak, 6u);
    EXPECT_EQ(Stats(0).peakTime, rx.peakTime);
    Occur(0, 7);
    RollUps(1);
    EXPECT_EQ(Stats(0).peak, 7u);
    EXPECT_GT(Stats(0).peakTime, rx.peakTime);
    // A water mark registered with STATS_FLAG_MAX_RATE has no count to rate.
    uint32_t depth = 9;
    ASSERT_EQ(collector->SetEvent(1, 4, &depth), 0);
    Occur(2, 1);
    RollUps(60);  // 64 seconds: the first minute closed
    EXPECT_EQ(Stats(0).minutes, V({19}));
    EXPECT_EQ(Stats(1).peak, 0u);
    std::string rates = ReportLine(1);
    EXPECT_EQ(rates.find("Maximum Events Per Second: cnts, stamp;rx: 7, "), 0u) << rates;
    EXPECT_EQ(rates.substr(rates.size() - 11), ";depth: 0,-");
    EXPECT_EQ(Log().CountContaining("operator[]"), 0u);

    ASSERT_TRUE(Stats(1).markValue == 9 && Stats(2).markValue != 0);
    collector->Reset();
    collector->Reset();
    EXPECT_TRUE(Logged(7, "Reset: Reset Stats data occurred", 2));
    EXPECT_EQ(collector->GetStatsReport(),
              "Statistics Event Counts: min, hour, day, total;rx: 0, 0, 0, 0;done: 0, 0, 0, 0\n"
              "Maximum Events Per Second: cnts, stamp;rx: 0,-;depth: 0,-\n"
              "High-Water-Mark Values: value, stamp;depth: 0,-;done Latency (ms): 0.0, -");
    // Counting starts afresh; the minute closes on its old rhythm, 56 roll-ups
    // on, with only what came since the reset.
    Occur(0, 3);
    RollUps(55);
    EXPECT_EQ(Stats(0).seconds.front(), 3u);
    EXPECT_EQ(Stats(0).peak, 3u);
    EXPECT_TRUE(Stats(0).minutes.empty());
    RollUps(1);
    EXPECT_EQ(Stats(0).minutes, V({3}));
    EXPECT_EQ(ReportLine(0), kCounts + "rx: 3, 3, 0, 3;done: 0, 0, 0, 0");
}

// Reports stamped on both sides of the moment the timer fires, all still
// waiting when it does, and the second closes a minute and an hour. Timely,
// each counts in the second its stamp falls in (and so in the minute and the
// hour), and the peak follows; by default the roll-up waits for the list to
// empty and counts them all in the closing second. The setting is set-up
// only; a roll-up that cannot arm its next timer stops the thread.
class TimelyRollup : public CollectorTest, public ::testing::WithParamInterface<bool> {};

TEST_P(TimelyRollup, CountsEachReportInTheSecondOfItsStamp) {
    const bool timely = GetParam();
    EXPECT_EQ(collector->SetTimelyRollup(timely), 1);
    collector->RegisterEvent("rx", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    collector->RegisterEvent("start", STATS_FLAG_LATENCY_START, STATS_DATA_COUNT);
    collector->RegisterEvent("done", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT);
    collector->RegisterEvent("depth", 0, STATS_DATA_WATER_MARK);
    StartCollecting();
    EXPECT_EQ(collector->SetTimelyRollup(!timely), 0);
    EXPECT_TRUE(Logged(3, std::string("SetTimelyRollup: The timely roll-up can be set only in "
                                      "ST_INIT state; it stays ") +
                              (timely ? "on" : "off")));
    {
        KwMutexGuard hold(DataLock());
        In<ca::SecondsInMinute>() = 59;
        In<ca::MinutesInHour>() = 59;
        HoldThreadOnReport(0);  // in hand, stamped before
        for (int id : {0, 0, 1, 2}) {
            ASSERT_EQ(collector->SetEvent(id, 0, nullptr), 0);
        }
        uint32_t depth = 42;
        ASSERT_EQ(collector->SetEvent(3, sizeof depth, &depth), 0);
        ASSERT_EQ(Timer().Advance(1000), 1u);  // the second closes here
        for (int id : {0, 0, 0, 2}) {
            ASSERT_EQ(collector->SetEvent(id, 0, nullptr), 0);
        }
    }
    ASSERT_TRUE(Timer().WaitForCreated(2, 20000));
    ASSERT_TRUE(WaitUntil([&] { return Stats(0).total == 6; }));
    RollUps(1);
    KwStatsEventSnapshot rx = Stats(0), done = Stats(2);
    EXPECT_EQ(rx.seconds, timely ? V({3, 3}) : V({6, 0}));
    EXPECT_EQ(std::make_tuple(rx.minutes, rx.hours, rx.peak),
              timely ? std::make_tuple(V({3}), V({3}), 3u) : std::make_tuple(V({6}), V({6}), 6u));
    EXPECT_EQ(Stats(3).markValue, 42u);
    // The latencies measure from the latest start in queue order either way.
    EXPECT_EQ(done.seconds, timely ? V({1, 1}) : V({2, 0}));
    EXPECT_EQ(Log().CountContaining("svc: event latency [2] = "), 2u);

    Timer().FailNextCreates(1);
    ASSERT_EQ(Timer().Advance(1000), 1u);
    ACE_Thread_Manager::instance()->wait();
    EXPECT_TRUE(Logged(3, "svc: Data collector is stopping due to CreateTimer failure."));
    EXPECT_TRUE(StoppedAndReleased());
}

INSTANTIATE_TEST_SUITE_P(OnAndOff, TimelyRollup, ::testing::Bool());

// Timely, a report stamped more than 250 ms after the oldest one waiting
// (held here in the thread's hand) is refused, loudly the first time, and
// counted; the one in hand is counted all the same. Then a Stop() that comes
// while a roll-up is under way (held here on the data lock) lets that
// roll-up finish, and nothing more: the thread arms the next timer, then
// finds the stop and leaves, cancelling it.
TEST_F(CollectorTest, TimelyRefusesReportsBehindItsBoundAndFinishesARollUpBeforeTheStop) {
    collector->SetTimelyRollup(true);
    collector->RegisterEvent("rx", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    StartCollecting();
    {
        KwMutexGuard hold(DataLock());
        HoldThreadOnReport(0);
        const timespec held = Now();  // no earlier than the stamp of the one in hand
        ASSERT_TRUE(WaitUntil([&] { return TenthsBetween(held, Now()) > 2510; }));
        EXPECT_EQ(collector->SetEvent(0, 0, nullptr) + collector->SetEvent(0, 0, nullptr), -2);
    }
    const std::string behind =
        "SetEvent: Tried to enter data 0 when the reports waiting are more than 250 ms old, the "
        "bound of the timely roll-up";
    EXPECT_TRUE(Logged(3, behind) && Logged(7, behind));
    ASSERT_TRUE(WaitUntil([&] { return Stats(0).total == 1; }));
    KwStatsSnapshot snapshot;
    ASSERT_TRUE(collector->GetStatsSnapshot(snapshot));
    EXPECT_EQ(std::make_tuple(snapshot.refusedFull, snapshot.refusedNoThread),
              std::make_tuple(KwUlong32{2}, KwUlong32{0}));

    {
        KwMutexGuard hold(DataLock());
        ASSERT_EQ(Timer().Advance(1000), 1u);
        ASSERT_TRUE(WaitUntil([&] { return KwTestMutexWaiters(DataLock()) == 1; }));
        collector->Stop();
    }
    ACE_Thread_Manager::instance()->wait();
    EXPECT_EQ(Timer().CreatedCount(), 2u);
    EXPECT_TRUE(StoppedAndReleased());
}
