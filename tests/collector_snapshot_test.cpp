// The snapshot: the report's statistics as values, and the same text.
#include <stdint.h>

#include <random>

#include "CollectorHarness.h"
#include "KwStatsSnapshot.h"

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

TEST_F(CollectorTest, SnapshotCopiesHistoriesOldestFirstAndIsRefusedWhenNotCollecting) {
    KwStatsSnapshot snapshot;
    snapshot.events.resize(3);
    EXPECT_FALSE(collector->GetStatsSnapshot(snapshot));
    EXPECT_TRUE(snapshot.events.empty());
    EXPECT_EQ(Log().Count(4, "KwSrvrStatsCollector.cpp",
                          "GetStatsSnapshot: empty report generated (0, (nil), (nil), (nil))."),
              1u);

    collector->RegisterEvent("rx", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    collector->RegisterEvent("depth", 0, STATS_DATA_WATER_MARK);
    collector->RegisterEvent("done", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT);
    StartCollecting();
    for (int n : {3, 0, 5}) {
        Occur(0, n);
        RollUps(1);
    }
    Occur(0, 2);  // not rolled up yet: in the total only
    uint32_t depth = 42;
    ASSERT_EQ(collector->SetEvent(1, sizeof depth, &depth), 0);
    Flush(0);
    ASSERT_TRUE(collector->GetStatsSnapshot(snapshot));
    EXPECT_EQ(snapshot.state, KwSrvrStatsCollector::ST_COLLECTING);
    EXPECT_EQ(snapshot.waiting, 0u);
    EXPECT_GT(snapshot.takenAt, 1700000000);
    ASSERT_EQ(snapshot.events.size(), 3u);

    const KwStatsEventSnapshot& rx = snapshot.events[0];
    EXPECT_EQ(rx.name, "rx");
    EXPECT_EQ(rx.flags, STATS_FLAG_MAX_RATE);
    EXPECT_TRUE(rx.counted && rx.rated);
    EXPECT_EQ(rx.mark, KwStatsEventSnapshot::NO_MARK);
    EXPECT_EQ(rx.seconds, (std::vector<KwUlong32>{3, 0, 5}));
    EXPECT_TRUE(rx.minutes.empty() && rx.hours.empty());
    EXPECT_EQ(rx.minute, 8u);
    EXPECT_EQ(rx.total, 11u);  // the flush marker is rx itself
    EXPECT_EQ(rx.peak, 5u);
    EXPECT_GT(rx.peakTime, 1700000000);

    const KwStatsEventSnapshot& marked = snapshot.events[1];
    EXPECT_EQ(marked.id, 1);
    EXPECT_EQ(marked.type, STATS_DATA_WATER_MARK);
    EXPECT_FALSE(marked.counted || marked.rated);
    EXPECT_EQ(marked.mark, KwStatsEventSnapshot::WATER_MARK);
    EXPECT_EQ(marked.markValue, 42u);
    EXPECT_EQ(snapshot.events[2].mark, KwStatsEventSnapshot::LATENCY);

    RollUps(57);  // the first minute closes
    ASSERT_TRUE(collector->GetStatsSnapshot(snapshot));
    EXPECT_EQ(snapshot.events[0].minutes, (std::vector<KwUlong32>{11}));
    EXPECT_EQ(snapshot.events[0].seconds.size(), 60u);
}
