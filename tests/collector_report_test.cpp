// The three-line statistics report, byte for byte, and the snapshot that
// gives the same statistics as values.
#include <tuple>

#include "CollectorHarness.h"

// Each event stands in the lines of its slots, in zero forms until it has
// data. A record is cut to 511 characters: the cut record loses its ";", so
// the next record stands right behind it; at the end of a line the dropped
// last character is the record's own.
TEST_F(CollectorTest, EventsAreListedInTheLinesOfTheirSlotsAndCutTo511Characters) {
    const std::string longName(600, 'n');
    collector->RegisterEvent("c", 0, STATS_DATA_COUNT);
    collector->RegisterEvent("r", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    collector->RegisterEvent("l", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT);
    collector->RegisterEvent("w", 0, STATS_DATA_WATER_MARK);
    collector->RegisterEvent("wr", STATS_FLAG_MAX_RATE, STATS_DATA_WATER_MARK);
    collector->RegisterEvent("nowhere", 0, static_cast<StatsDataType>(5));
    collector->RegisterEvent(longName.c_str(), 0, STATS_DATA_COUNT);
    collector->RegisterEvent("next", 0, STATS_DATA_COUNT);
    collector->RegisterEvent(longName.c_str(), STATS_FLAG_MAX_RATE, STATS_DATA_WATER_MARK);
    StartCollecting();
    EXPECT_EQ(collector->GetStatsReport(),
              "Statistics Event Counts: min, hour, day, total;c: 0, 0, 0, 0;r: 0, 0, 0, 0;"
              "l: 0, 0, 0, 0;" +
                  longName.substr(0, 511) +
                  "next: 0, 0, 0, 0\n"
                  "Maximum Events Per Second: cnts, stamp;r: 0,-;wr: 0,-;" +
                  longName.substr(0, 510) +
                  "\nHigh-Water-Mark Values: value, stamp;l Latency (ms): 0.0, -;w: 0,-;wr: "
                  "0,-;" +
                  longName.substr(0, 510));
}

TEST_F(CollectorTest, WorkedExampleOfADayOfStatistics) {
    const int rx = collector->RegisterEvent("rxPackets", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    const int req = collector->RegisterEvent("reqDone", 0, STATS_DATA_COUNT);
    const int depth = collector->RegisterEvent("queueDepth", 0, STATS_DATA_WATER_MARK);
    ShortenPollSleeps(50);
    StartCollecting();
    // Hour 1. Minute 1: 413 packets, never more than 9 in a second, and 172
    // requests; minute 60: 402 packets and 180 requests.
    for (int second = 0; second < 60; ++second) {
        Occur(rx, second < 45 ? 9 : second == 45 ? 8 : 0);
        Occur(req, second < 43 ? 4 : 0);
        RollUps(1);
    }
    RollUps(58 * 60);
    for (int second = 0; second < 60; ++second) {
        Occur(rx, second < 44 ? 9 : second == 44 ? 6 : 0);
        Occur(req, second < 45 ? 4 : 0);
        RollUps(1);
    }
    // The 3600th roll-up closed the first hour into the day column.
    EXPECT_EQ(Stats(rx).hours, V({815}));
    EXPECT_EQ(Stats(req).hours, V({352}));
    // Minute 61 is quiet and pushes minute 1 out of the hour.
    RollUps(60);
    EXPECT_EQ(Stats(rx).minutes.size(), 60u);
    EXPECT_EQ(Stats(rx).minutes.back(), 0u);
    EXPECT_EQ(Stats(rx).hours, V({815}));
    // The first second of minute 62 ...
    Occur(rx, 7);
    Occur(req, 3);
    RollUps(1);
    // ... and what has come since the last roll-up.
    Occur(rx, 138);  // the flush below brings the 139th
    Occur(req, 35);
    for (uint32_t value : {5u, 17u, 11u}) {
        ASSERT_EQ(collector->SetEvent(depth, 4, &value), 0);
    }
    Flush(rx);
    EXPECT_EQ(collector->GetStatsReport(),
              "Statistics Event Counts: min, hour, day, total;rxPackets: 7, 402, 815, 961;"
              "reqDone: 3, 180, 352, 390\n"
              "Maximum Events Per Second: cnts, stamp;rxPackets: 9, " +
                  TimeText(Stats(rx).peakTime) +
                  "\n"
                  "High-Water-Mark Values: value, stamp;queueDepth: 17, " +
                  TimeText(Stats(depth).markTime));
}

// The snapshot describes each event; it is refused when not collecting. The
// thread is stopped at points where the backlog trace and the waiting list
// are known.
TEST_F(CollectorTest, SnapshotAndBacklogTraceWhileReportsWait) {
    KwStatsSnapshot snapshot;
    snapshot.events.resize(3);
    snapshot.waiting = 5;
    EXPECT_FALSE(collector->GetStatsSnapshot(snapshot));
    EXPECT_TRUE(snapshot.events.empty());
    EXPECT_EQ(snapshot.waiting, 0u);
    EXPECT_EQ(KwStatsReportText(snapshot), "");  // renders as the refused report
    // A scraper asks every second: loud once, then quiet; the report's own
    // warning stays at 4 every time.
    EXPECT_FALSE(collector->GetStatsSnapshot(snapshot) || collector->GetStatsSnapshot(snapshot));
    const char refused[] = "GetStatsSnapshot: empty report generated (0, (nil), (nil), (nil)).";
    EXPECT_TRUE(Logged(3, refused) && Logged(7, refused, 2));
    EXPECT_EQ(collector->GetStatsReport() + collector->GetStatsReport(), "");
    EXPECT_TRUE(Logged(4, "GetStatsReport: empty report generated (0, (nil), (nil), (nil)).", 2));

    collector->RegisterEvent("rx", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    collector->RegisterEvent("depth", 0, STATS_DATA_WATER_MARK);
    collector->RegisterEvent("done", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT);
    StartCollecting();
    {
        KwMutexGuard hold(DataLock());
        HoldThreadOnReport(0);
        ASSERT_EQ(collector->SetEvent(2, 0, nullptr), 0);  // stops at the gate below
        ASSERT_EQ(collector->SetEvent(0, 0, nullptr), 0);  // taken with it, still in hand
        Log().Gate("svc: event latency [2]");
    }
    ASSERT_TRUE(Log().WaitAtGate());
    uint32_t depth = 42;
    ASSERT_EQ(collector->SetEvent(1, sizeof depth, &depth), 0);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(collector->SetEvent(0, 0, nullptr), 0);
    }
    // The backlog trace counts one in hand and six on the list, and stops
    // there, holding no lock, for the snapshot, which counts the same.
    Log().Gate("svc: 7 events in waiting list");
    ASSERT_TRUE(Log().WaitAtGate());
    ASSERT_TRUE(collector->GetStatsSnapshot(snapshot));
    KwStatsSnapshot taken;  // the same, without naming the collector
    ASSERT_TRUE(KwTakeStatsSnapshot(taken));
    EXPECT_EQ(std::make_tuple(taken.waiting, taken.events.size()),
              std::make_tuple(size_t{7}, size_t{3}));
    Log().Gate("");
    EXPECT_EQ(std::make_tuple(snapshot.state, snapshot.waiting, snapshot.events.size()),
              std::make_tuple(static_cast<int>(C::ST_COLLECTING), size_t{7}, size_t{3}));
    EXPECT_GT(snapshot.takenAt, 1700000000);
    typedef KwStatsEventSnapshot E;
    const E& rx = snapshot.events[0];
    EXPECT_EQ(std::make_tuple(rx.name, rx.type, rx.flags, rx.counted, rx.rated, rx.mark, rx.total),
              std::make_tuple(std::string("rx"), 0, static_cast<int>(STATS_FLAG_MAX_RATE), true,
                              true, E::NO_MARK, KwUlong32{1}));
    const E& marked = snapshot.events[1];
    EXPECT_EQ(std::make_tuple(marked.id, marked.type, marked.counted, marked.rated, marked.mark),
              std::make_tuple(1, 1, false, false, E::WATER_MARK));
    // What is not recorded yet, or does not apply to the kind, reads 0.
    EXPECT_EQ(marked.minute + marked.hour + marked.day + marked.total + marked.peak +
                  marked.peakTime + marked.markValue + rx.markValue + rx.markTime,
              0u);
    EXPECT_EQ(std::make_tuple(snapshot.events[2].id, snapshot.events[2].mark),
              std::make_tuple(2, E::LATENCY));
    ASSERT_TRUE(WaitUntil([&] { return Stats(0).total == 7; }));
    EXPECT_EQ(Stats(1).markValue, 42u);
    // Then the six; five give no line.
    EXPECT_TRUE(Logged(7, "svc: 7 events in waiting list"));
    EXPECT_TRUE(Logged(7, "svc: 6 events in waiting list"));
    EXPECT_EQ(Log().CountContaining("events in waiting list"), 2u);
}
