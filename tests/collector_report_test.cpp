// The three-line statistics report, byte for byte, and the snapshot that
// gives the same statistics as values.
#include <random>

#include "CollectorHarness.h"
#include "KwTimeConvert.h"
#include "TestTime.h"

namespace {

const char kFile[] = "KwSrvrStatsCollector.cpp";

std::string TimeText(long seconds) {
    KwTimeConvert::KwTimeZones zone = static_cast<KwTimeConvert::KwTimeZones>(0);
    return KwTimeConvert::ConvertUtcTicksToStr(zone, seconds);
}

}  // namespace

TEST_F(CollectorTest, ReportBeforeCollectingIsEmptyWithoutEventsBareHeaders) {
    EXPECT_EQ(collector->GetStatsReport(), "");
    EXPECT_EQ(
        Log().Count(4, kFile, "GetStatsReport: empty report generated (0, (nil), (nil), (nil))."),
        1u);
    StartCollecting();
    EXPECT_EQ(collector->GetStatsReport(),
              "Statistics Event Counts: min, hour, day, total\n"
              "Maximum Events Per Second: cnts, stamp\n"
              "High-Water-Mark Values: value, stamp");
    WaitStopped();
    EXPECT_EQ(collector->GetStatsReport(), "");
    EXPECT_EQ(collector->GetStatsReport(), "");
    EXPECT_EQ(
        Log().Count(4, kFile, "GetStatsReport: empty report generated (2, (nil), (nil), (nil))."),
        2u);
}

TEST_F(CollectorTest, EventsAreListedInTheLinesOfTheirSlotsWithZeroForms) {
    collector->RegisterEvent("c", 0, STATS_DATA_COUNT);
    collector->RegisterEvent("r", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    collector->RegisterEvent("l", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT);
    collector->RegisterEvent("w", 0, STATS_DATA_WATER_MARK);
    collector->RegisterEvent("wr", STATS_FLAG_MAX_RATE, STATS_DATA_WATER_MARK);
    collector->RegisterEvent("nowhere", 0, static_cast<StatsDataType>(5));
    StartCollecting();
    EXPECT_EQ(collector->GetStatsReport(),
              "Statistics Event Counts: min, hour, day, total;c: 0, 0, 0, 0;r: 0, 0, 0, 0;"
              "l: 0, 0, 0, 0\n"
              "Maximum Events Per Second: cnts, stamp;r: 0,-;wr: 0,-\n"
              "High-Water-Mark Values: value, stamp;l Latency (ms): 0.0, -;w: 0,-;wr: 0,-");
}

TEST_F(CollectorTest, LatencyPrintsWholeMillisecondsWithItsTime) {
    collector->RegisterEvent("start", STATS_FLAG_LATENCY_START, STATS_DATA_COUNT);
    collector->RegisterEvent("short", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT);
    collector->RegisterEvent("long", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT);
    StartCollecting();
    KwTimeTracker latency;
    Peer::Inject(*collector, 0, At(100, 0), latency);
    Peer::Inject(*collector, 1, At(100, 500000), latency);    // 5 tenths
    Peer::Inject(*collector, 2, At(100, 12790000), latency);  // 127 tenths
    EXPECT_EQ(ReportLine(2), "High-Water-Mark Values: value, stamp;short Latency (ms): 0.0," +
                                 TimeText(Stats(1).markTime) + ";long Latency (ms): 12.0," +
                                 TimeText(Stats(2).markTime));
}

TEST_F(CollectorTest, OverlongRecordIsCutTo511Characters) {
    std::string longName(600, 'n');
    collector->RegisterEvent(longName.c_str(), 0, STATS_DATA_COUNT);
    collector->RegisterEvent("next", 0, STATS_DATA_COUNT);
    collector->RegisterEvent(longName.c_str(), STATS_FLAG_MAX_RATE, STATS_DATA_WATER_MARK);
    StartCollecting();
    std::string report = collector->GetStatsReport();
    // The cut record loses its ";", so the next record stands right behind it;
    // at the end of a line the dropped last character is the record's own.
    EXPECT_EQ(report, "Statistics Event Counts: min, hour, day, total;" + longName.substr(0, 511) +
                          "next: 0, 0, 0, 0\n"
                          "Maximum Events Per Second: cnts, stamp;" +
                          longName.substr(0, 510) + "\nHigh-Water-Mark Values: value, stamp;" +
                          longName.substr(0, 510));
}

TEST_F(CollectorTest, WorkedExampleOfADayOfStatistics) {
    const int rx = collector->RegisterEvent("rxPackets", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    const int req = collector->RegisterEvent("reqDone", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT);
    const int depth = collector->RegisterEvent("queueDepth", 0, STATS_DATA_WATER_MARK);
    ShortenPollSleeps(50);
    StartCollecting();
    // Requests go in by hand with their own stamps, so that their latencies
    // are known: every one ends where it starts except the 127-tenth one.
    KwTimeTracker latency;
    timespec start = At(500, 0);
    latency.Set(start);
    auto requests = [&](int n) {
        for (int i = 0; i < n; ++i) {
            Peer::Inject(*collector, req, start, latency);
        }
    };

    // Hour 1. Minute 1: 413 packets, never more than 9 in a second, and 172
    // requests; minute 60: 402 packets and 180 requests.
    for (int second = 0; second < 60; ++second) {
        Occur(rx, second < 45 ? 9 : second == 45 ? 8 : 0);
        requests(second < 43 ? 4 : 0);
        RollUps(1);
    }
    RollUps(58 * 60);
    for (int second = 0; second < 60; ++second) {
        Occur(rx, second < 44 ? 9 : second == 44 ? 6 : 0);
        requests(second < 45 ? 4 : 0);
        RollUps(1);
    }
    // Minute 61 is quiet and pushes minute 1 out of the hour.
    RollUps(60);
    // The first second of minute 62 ...
    Occur(rx, 7);
    requests(3);
    RollUps(1);
    // ... and what has come since the last roll-up.
    Occur(rx, 138);  // the flush below brings the 139th
    requests(34);
    Peer::Inject(*collector, req, At(500, 12700000), latency);  // 127 tenths, counted too
    uint32_t depths[] = {5, 17, 11};
    for (uint32_t value : depths) {
        ASSERT_EQ(collector->SetEvent(depth, 4, &value), 0);
    }
    Flush(rx);

    std::string time1 = TimeText(Stats(rx).peakTime);
    std::string time2 = TimeText(Stats(req).markTime);
    std::string time3 = TimeText(Stats(depth).markTime);
    EXPECT_EQ(collector->GetStatsReport(),
              "Statistics Event Counts: min, hour, day, total;rxPackets: 7, 402, 815, 961;"
              "reqDone: 3, 180, 352, 390\n"
              "Maximum Events Per Second: cnts, stamp;rxPackets: 9, " +
                  time1 +
                  "\n"
                  "High-Water-Mark Values: value, stamp;reqDone Latency (ms): 12.0," +
                  time2 + ";queueDepth: 17, " + time3);
}

// Random registrations (one set per process), then random reports,
// roll-ups and resets; at every look the rendered snapshot equals the
// report.
class SnapshotMatchesReport : public CollectorTest,
                              public ::testing::WithParamInterface<unsigned> {};

TEST_P(SnapshotMatchesReport, OverRandomSequences) {
    std::mt19937 random(GetParam());
    const int marker = collector->RegisterEvent("marker", 0, STATS_DATA_COUNT);
    const std::string names[] = {"rx", "semi;colon: too", std::string(600, 'n'), ""};
    int events = 1 + static_cast<int>(random() % 30);
    for (int i = 0; i < events; ++i) {
        int kind = static_cast<int>(random() % 7);
        StatsDataType type = static_cast<StatsDataType>(kind < 4 ? 0 : kind < 6 ? 1 : 3);
        std::string name = names[random() % 4] + std::to_string(i);
        ASSERT_GE(collector->RegisterEvent(name.c_str(), static_cast<int>(random() % 8), type), 0);
    }
    StartCollecting();
    int looks = 0;
    for (int step = 0; step < 400; ++step) {
        unsigned op = random() % 20;
        if (op < 14) {
            uint32_t value = random() % 1000;
            int id = 1 + static_cast<int>(random() % static_cast<unsigned>(events));
            ASSERT_EQ(collector->SetEvent(id, op % 3 == 0 ? 0 : 4, &value), 0);
        } else if (op < 17) {
            RollUps(op == 16 && random() % 8 == 0 ? 700 : 1 + static_cast<int>(random() % 3));
        } else if (op == 17) {
            collector->Reset();
        } else {
            Flush(marker);
            KwStatsSnapshot snapshot;
            ASSERT_TRUE(collector->GetStatsSnapshot(snapshot));
            ASSERT_EQ(KwStatsReportText(snapshot), collector->GetStatsReport()) << "step " << step;
            ++looks;
        }
    }
    EXPECT_GT(looks, 10);
}

INSTANTIATE_TEST_SUITE_P(Seeds, SnapshotMatchesReport, ::testing::Values(1u, 2u, 3u, 4u));

TEST_F(CollectorTest, SnapshotDescribesEachEventAndIsRefusedWhenNotCollecting) {
    KwStatsSnapshot snapshot;
    snapshot.events.resize(3);
    snapshot.waiting = 5;
    EXPECT_FALSE(collector->GetStatsSnapshot(snapshot));
    EXPECT_TRUE(snapshot.events.empty());
    EXPECT_EQ(snapshot.waiting, 0u);
    EXPECT_EQ(KwStatsReportText(snapshot), "");  // renders as the refused report
    EXPECT_EQ(Log().Count(4, "KwSrvrStatsCollector.cpp",
                          "GetStatsSnapshot: empty report generated (0, (nil), (nil), (nil))."),
              1u);

    collector->RegisterEvent("rx", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    collector->RegisterEvent("depth", 0, STATS_DATA_WATER_MARK);
    collector->RegisterEvent("done", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT);
    StartCollecting();
    {
        // The thread stops at its backlog trace, holding no lock, with seven
        // reports in hand; two more wait on the list.
        KwMutexGuard hold(Peer::DataLock(*collector));
        HoldThreadOnReport(0);
        for (int i = 0; i < 7; ++i) {
            ASSERT_EQ(collector->SetEvent(0, 0, nullptr), 0);
        }
        Log().CloseOn("svc: 7 events in waiting list");
    }
    ASSERT_TRUE(Log().WaitAtGate());
    uint32_t depth = 42;
    ASSERT_EQ(collector->SetEvent(1, sizeof depth, &depth), 0);
    ASSERT_EQ(collector->SetEvent(0, 0, nullptr), 0);
    ASSERT_TRUE(collector->GetStatsSnapshot(snapshot));
    Log().Open();
    EXPECT_EQ(snapshot.state, KwSrvrStatsCollector::ST_COLLECTING);
    EXPECT_EQ(snapshot.waiting, 2u);
    EXPECT_GT(snapshot.takenAt, 1700000000);
    ASSERT_EQ(snapshot.events.size(), 3u);
    const KwStatsEventSnapshot& rx = snapshot.events[0];
    EXPECT_EQ(rx.name, "rx");
    EXPECT_EQ(rx.type, STATS_DATA_COUNT);
    EXPECT_EQ(rx.flags, STATS_FLAG_MAX_RATE);
    EXPECT_TRUE(rx.counted && rx.rated);
    EXPECT_EQ(rx.mark, KwStatsEventSnapshot::NO_MARK);
    EXPECT_EQ(rx.total, 1u);
    const KwStatsEventSnapshot& marked = snapshot.events[1];
    EXPECT_EQ(marked.id, 1);
    EXPECT_EQ(marked.type, STATS_DATA_WATER_MARK);
    EXPECT_FALSE(marked.counted || marked.rated);
    EXPECT_EQ(marked.peak + marked.peakTime + marked.total, 0u);  // nothing recorded
    EXPECT_EQ(marked.mark, KwStatsEventSnapshot::WATER_MARK);
    EXPECT_EQ(snapshot.events[2].id, 2);
    EXPECT_EQ(snapshot.events[2].mark, KwStatsEventSnapshot::LATENCY);
    ASSERT_TRUE(WaitUntil([&] { return Stats(0).total == 9; }));
    EXPECT_EQ(Stats(1).markValue, 42u);
}
