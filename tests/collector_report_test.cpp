// The three-line statistics report, byte for byte.
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

TEST_F(CollectorTest, ReportWithoutEventsIsTheThreeBareHeaders) {
    StartCollecting();
    EXPECT_EQ(collector->GetStatsReport(),
              "Statistics Event Counts: min, hour, day, total\n"
              "Maximum Events Per Second: cnts, stamp\n"
              "High-Water-Mark Values: value, stamp");
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
    std::string report = collector->GetStatsReport();
    std::string marks = report.substr(report.rfind('\n') + 1);
    EXPECT_EQ(marks, "High-Water-Mark Values: value, stamp;short Latency (ms): 0.0," +
                         TimeText(Peer::WaterMarkTicks(*collector, 0)) +
                         ";long Latency (ms): 12.0," +
                         TimeText(Peer::WaterMarkTicks(*collector, 1)));
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

    std::string time1 = TimeText(Peer::MaxRateTicks(*collector, 0));
    std::string time2 = TimeText(Peer::WaterMarkTicks(*collector, 0));
    std::string time3 = TimeText(Peer::WaterMarkTicks(*collector, 1));
    EXPECT_EQ(collector->GetStatsReport(),
              "Statistics Event Counts: min, hour, day, total;rxPackets: 7, 402, 815, 961;"
              "reqDone: 3, 180, 352, 390\n"
              "Maximum Events Per Second: cnts, stamp;rxPackets: 9, " +
                  time1 +
                  "\n"
                  "High-Water-Mark Values: value, stamp;reqDone Latency (ms): 12.0," +
                  time2 + ";queueDepth: 17, " + time3);
}

TEST_F(CollectorTest, ReportAfterStopIsEmptyWithAWarningEveryTime) {
    collector->RegisterEvent("ev", 0, STATS_DATA_COUNT);
    StartCollecting();
    WaitStopped();
    EXPECT_EQ(collector->GetStatsReport(), "");
    EXPECT_EQ(collector->GetStatsReport(), "");
    EXPECT_EQ(
        Log().Count(4, kFile, "GetStatsReport: empty report generated (2, (nil), (nil), (nil))."),
        2u);
}
