// Submission of reports and their processing on the collection thread.
#include <atomic>
#include <thread>

#include "CollectorHarness.h"

// Each state refusal is loud only the first time. The stamp is taken at
// submission; an end before any start measures from the moment the first
// timer was armed.
TEST_F(CollectorTest, RefusalsLoudOnceAndAnEndBeforeAnyStartRunsFromTheFirstTimer) {
    collector->RegisterEvent("reqDone", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT);
    collector->RegisterEvent("marker", 0, STATS_DATA_COUNT);
    EXPECT_EQ(collector->SetEvent(0, 0, nullptr) + collector->SetEvent(0, 0, nullptr), -2);
    const std::string early =
        "SetEvent: Tried to enter data 0 when the stats collector is not in collecting state";
    EXPECT_TRUE(Logged(3, early) && Logged(7, early));
    timespec armed = Now();
    StartCollecting();
    // Registration keeps a level of its own: its first refusal is loud too.
    const std::string late = "RegisterEvent: Cannot register a new event for ";
    const std::string notInit = " if the collector is not in ST_INIT state";
    EXPECT_EQ(std::vector<int>({collector->RegisterEvent("late1", 0, STATS_DATA_COUNT),
                                collector->RegisterEvent("late2", 0, STATS_DATA_COUNT),
                                collector->RegisterEvent(nullptr, 0, STATS_DATA_COUNT)}),
              std::vector<int>(3, -1));
    EXPECT_TRUE(Logged(3, late + "late1" + notInit));
    EXPECT_TRUE(Logged(7, late + "late2" + notInit));
    EXPECT_TRUE(Logged(7, late + "(null)" + notInit));
    EXPECT_EQ(collector->GetMonitoredEventNumber(), 2);
    Flush(1);  // the thread is in its main loop: its latency reference exists
    for (timespec t = Now(); TenthsBetween(t, Now()) < 20;) {
    }
    ASSERT_EQ(collector->SetEvent(0, 0, nullptr), 0);
    timespec sent = Now();
    ASSERT_TRUE(WaitUntil([&] { return Stats(0).markValue != 0; }));
    KwUlong32 first = Stats(0).markValue;
    EXPECT_GE(first, 20u);
    EXPECT_LE(first, static_cast<KwUlong32>(TenthsBetween(armed, sent)));
    EXPECT_TRUE(Logged(7, "svc: event latency [0] = " + std::to_string(first)));
}

// The reports on the list and the one in hand count against the bound; a
// submission beyond it is refused, loudly the first time, and counted.
TEST_F(CollectorTest, BoundedWaitingListRefusesAndCountsWhatItCannotHold) {
    collector->RegisterEvent("ev", 0, STATS_DATA_COUNT);
    EXPECT_EQ(collector->SetWaitingListBound(5), 1);
    StartCollecting();
    EXPECT_EQ(collector->SetWaitingListBound(50), 0);
    EXPECT_TRUE(Logged(3,
                       "SetWaitingListBound: The waiting list can be bounded only in ST_INIT "
                       "state; it stays at 5"));
    std::vector<int> results;
    {
        KwMutexGuard hold(DataLock());
        HoldThreadOnReport(0);
        for (int i = 0; i < 6; ++i) {
            results.push_back(collector->SetEvent(0, 0, nullptr));
        }
        EXPECT_EQ(Waiting(), 4u);
    }
    EXPECT_EQ(results, std::vector<int>({0, 0, 0, 0, -1, -1}));
    const std::string full =
        "SetEvent: Tried to enter data 0 when 5 reports wait, the bound of "
        "the waiting list";
    EXPECT_TRUE(Logged(3, full) && Logged(7, full));
    ASSERT_TRUE(WaitUntil([&] { return Stats(0).total == 5; }));
    KwStatsSnapshot snapshot;
    ASSERT_TRUE(collector->GetStatsSnapshot(snapshot));
    EXPECT_EQ(std::make_tuple(snapshot.waitingBound, snapshot.refusedFull, snapshot.refusedNoThread,
                              snapshot.collectionThread),
              std::make_tuple(5u, KwUlong32{2}, KwUlong32{0}, true));

    // Two producers at full speed against a bound of 100: what is accepted
    // is counted, and accepted and refused make up what was submitted.
    std::atomic<long> accepted{0}, refused{0};
    std::vector<std::thread> producers;
    for (int t = 0; t < 2; ++t) {
        producers.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                (collector->SetEvent(0, 0, nullptr) == 0 ? accepted : refused)++;
            }
        });
    }
    for (std::thread& producer : producers) {
        producer.join();
    }
    EXPECT_EQ(accepted + refused, 40000);
    ASSERT_TRUE(WaitUntil([&] { return Stats(0).total == static_cast<KwUlong32>(5 + accepted); }));
    ASSERT_TRUE(collector->GetStatsSnapshot(snapshot));
    EXPECT_EQ(snapshot.refusedFull, static_cast<KwUlong32>(2 + refused));
}

// The list nodes of processed reports are reused, and their spares bounded;
// reports are checked when submitted and when processed.
TEST_F(CollectorTest, ListNodesAreReusedAndReportsChecked) {
    collector->RegisterEvent("marker", 0, STATS_DATA_COUNT);
    collector->RegisterEvent("depth", 0, STATS_DATA_WATER_MARK);
    collector->RegisterEvent("odd", STATS_FLAG_LATENCY_END, static_cast<StatsDataType>(5));
    StartCollecting();
    // The nodes of processed reports come back for the next submissions.
    for (int n : {10, 4}) {
        Occur(0, n);
        EXPECT_TRUE(WaitUntil([&] { return SpareNodes() == 10; }));
    }
    {
        KwMutexGuard hold(DataLock());
        HoldThreadOnReport(0);
        for (int i = 0; i < 3000; ++i) {
            ASSERT_EQ(collector->SetEvent(0, 0, nullptr), 0);
        }
    }
    // A burst keeps no more than 1024 of its nodes, and what comes back
    // fills them up to exactly that.
    ASSERT_TRUE(WaitUntil([&] { return Stats(0).total == 3015; }));
    EXPECT_TRUE(WaitUntil([&] { return SpareNodes() == 1024; }));
    Occur(0, 24);
    EXPECT_TRUE(WaitUntil([&] { return SpareNodes() == 1024; }));

    uint32_t big[2] = {60, 60}, values[] = {40, 39, 0}, largest = 4294967295u;
    EXPECT_EQ(
        std::vector<int>({collector->SetEvent(-1, 0, nullptr), collector->SetEvent(3, 0, nullptr),
                          collector->SetEvent(1, -4, values), collector->SetEvent(1, 4, nullptr),
                          collector->SetEvent(1, 1, nullptr)}),
        std::vector<int>(5, -1));
    EXPECT_TRUE(Logged(3, "SetEvent: Tried to set an unrecognized event -1."));
    EXPECT_TRUE(Logged(3, "SetEvent: Tried to set an unrecognized event 3."));
    EXPECT_EQ(Log().CountContaining("invalid payload"), 3u);
    // Water marks take 4-byte values only, and keep the largest.
    EXPECT_EQ(collector->SetEvent(1, 2, big), 0);
    EXPECT_EQ(collector->SetEvent(1, 8, big), 0);
    for (uint32_t& value : values) {
        EXPECT_EQ(collector->SetEvent(1, 4, &value), 0);
    }
    Flush(0);
    size_t before = Log().Entries().size();
    EXPECT_EQ(collector->SetEvent(2, 0, nullptr), 0);  // another kind: dropped without a word
    Flush(0);
    EXPECT_EQ(Log().Entries().size(), before);
    EXPECT_EQ(Stats(1).markValue, 40u);
    const std::string incorrect = "svc: incorrect size = ";
    EXPECT_TRUE(Logged(3, incorrect + "2 for water-mark value received, id = 1"));
    EXPECT_TRUE(Logged(3, incorrect + "8 for water-mark value received, id = 1"));
    collector->SetEvent(1, 4, &largest);
    Flush(0);
    EXPECT_EQ(Stats(1).markValue, 4294967295u);
    KwTimeTracker latency;
    Inject(99, {1, 0}, latency);
    Inject(-1, {1, 0}, latency);
    EXPECT_TRUE(Logged(3, "svc: unregistered stats data 99 received."));
    EXPECT_TRUE(Logged(3, "svc: unregistered stats data -1 received."));
}

// Reports with stamps of their own: the longest positive span is kept and
// printed in whole milliseconds with the time it was reached.
TEST_F(CollectorTest, LatencyKeepsTheLongestPositiveSpan) {
    collector->RegisterEvent("start", STATS_FLAG_LATENCY_START, STATS_DATA_COUNT);
    collector->RegisterEvent("end", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT);
    collector->RegisterEvent("both", STATS_FLAG_LATENCY_START | STATS_FLAG_LATENCY_END,
                             STATS_DATA_COUNT);
    collector->RegisterEvent("short", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT);
    StartCollecting();
    KwTimeTracker latency;
    Inject(0, {0, 0}, latency);  // a start whose clock failed
    Inject(1, {10, 0}, latency);
    EXPECT_EQ(Log().CountContaining("start time has not been set correctly"), 1u);
    Inject(0, {100, 0}, latency);
    Inject(3, {100, 500000}, latency);    // 5 tenths
    Inject(1, {100, 12790000}, latency);  // 127 tenths
    Inject(1, {100, 5000000}, latency);   // shorter: kept 127
    Inject(1, {100, 99999}, latency);     // same tenth: 0, stores nothing
    EXPECT_EQ(Stats(1).markValue, 127u);
    EXPECT_TRUE(Logged(7, "svc: event latency [1] = 127"));
    EXPECT_TRUE(Logged(7, "svc: event latency [1] = 0"));
    // An event that both starts and ends only starts: its mark stays empty.
    Inject(2, {200, 0}, latency);
    Inject(2, {300, 0}, latency);
    Inject(1, {200, 20000000}, latency);  // before the latest start
    EXPECT_TRUE(Logged(7, "svc: event latency [1] = -1", 2));
    EXPECT_EQ(Stats(1).total, 5u);  // every report counted all the same
    EXPECT_EQ(Stats(2).total, 2u);
    EXPECT_EQ(ReportLine(2), "High-Water-Mark Values: value, stamp;end Latency (ms): 12.0," +
                                 TimeText(Stats(1).markTime) +
                                 ";both Latency (ms): 0.0, -;short Latency (ms): 0.0," +
                                 TimeText(Stats(3).markTime));
}
