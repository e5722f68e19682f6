// Submission of reports and their processing on the collection thread.
#include <stdio.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <thread>

#include "CollectorHarness.h"
#include "TestTime.h"

namespace {
const char kFile[] = "KwSrvrStatsCollector.cpp";
}

TEST_F(CollectorTest, EachStateRefusalIsLoudOnlyTheFirstTime) {
    collector->RegisterEvent("early", 0, STATS_DATA_COUNT);
    EXPECT_EQ(collector->SetEvent(0, 0, nullptr), -1);
    EXPECT_EQ(collector->SetEvent(0, 0, nullptr), -1);
    const char text[] =
        "SetEvent: Tried to enter data 0 when the stats collector is not in collecting state";
    EXPECT_EQ(Log().Count(3, kFile, text), 1u);
    EXPECT_EQ(Log().Count(7, kFile, text), 1u);
    // Registration keeps a level of its own: its first refusal is loud too.
    StartCollecting();
    EXPECT_EQ(collector->RegisterEvent("late1", 0, STATS_DATA_COUNT), -1);
    EXPECT_EQ(collector->RegisterEvent("late2", 0, STATS_DATA_COUNT), -1);
    const char late[] =
        "RegisterEvent: Cannot register a new event for late%d if the collector is not in "
        "ST_INIT state";
    char line[200];
    for (int n : {1, 2}) {
        snprintf(line, sizeof line, late, n);
        EXPECT_EQ(Log().Count(n == 1 ? 3 : 7, kFile, line), 1u) << line;
    }
    EXPECT_EQ(collector->RegisterEvent(nullptr, 0, STATS_DATA_COUNT), -1);
    EXPECT_EQ(Log().Count(7, kFile,
                          "RegisterEvent: Cannot register a new event for (null) if the collector "
                          "is not in ST_INIT state"),
              1u);
    EXPECT_EQ(collector->GetMonitoredEventNumber(), 1);
}

TEST_F(CollectorTest, SubmissionWithoutMemoryIsRefused) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators do not fail under an address-space limit";
#endif
    if (sizeof(void*) < 8) {
        GTEST_SKIP() << "needs an address space far larger than the limit it sets";
    }
    collector->RegisterEvent("big", 0, STATS_DATA_COUNT);
    StartCollecting();
    long pages = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    ASSERT_NE(statm, nullptr);
    ASSERT_EQ(fscanf(statm, "%ld", &pages), 1);
    fclose(statm);
    rlimit old;
    getrlimit(RLIMIT_AS, &old);
    rlimit tight = old;
    tight.rlim_cur =
        static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (512u << 20);
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    uint32_t small = 0;
    int result = collector->SetEvent(0, 1 << 30, &small);  // malloc fails: never copied
    setrlimit(RLIMIT_AS, &old);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(Log().Count(3, kFile, "SetEvent: allocate memory failed"), 1u);
}

TEST_F(CollectorTest, ReportsAreCheckedWhenSubmittedAndWhenProcessed) {
    collector->RegisterEvent("marker", 0, STATS_DATA_COUNT);
    collector->RegisterEvent("depth", 0, STATS_DATA_WATER_MARK);
    collector->RegisterEvent("odd", STATS_FLAG_LATENCY_END, static_cast<StatsDataType>(5));
    StartCollecting();
    uint32_t four = 40;
    EXPECT_EQ(collector->SetEvent(-1, 0, nullptr), -1);
    EXPECT_EQ(collector->SetEvent(3, 0, nullptr), -1);
    EXPECT_EQ(collector->SetEvent(1, -4, &four), -1);
    EXPECT_EQ(collector->SetEvent(1, 4, nullptr), -1);
    EXPECT_EQ(collector->SetEvent(1, 1, nullptr), -1);
    for (int id : {-1, 3}) {
        EXPECT_EQ(
            Log().Count(3, kFile,
                        "SetEvent: Tried to set an unrecognized event " + std::to_string(id) + "."),
            1u);
    }
    EXPECT_EQ(Log().CountContaining("invalid payload"), 3u);

    // Water marks take 4-byte values only, and keep the largest.
    uint16_t two = 50;
    uint64_t eight = 60;
    uint32_t smaller = 39, zero = 0;
    for (auto [size, value] : {std::pair<int, const void*>{2, &two},
                               {8, &eight},
                               {4, &four},
                               {4, &smaller},
                               {4, &zero}}) {
        EXPECT_EQ(collector->SetEvent(1, size, value), 0);
    }
    Flush(0);
    size_t before = Log().Entries().size();
    EXPECT_EQ(collector->SetEvent(2, 0, nullptr), 0);  // another kind: dropped without a word
    Flush(0);
    EXPECT_EQ(Log().Entries().size(), before);
    EXPECT_EQ(Stats(1).markValue, 40u);
    for (int size : {2, 8}) {
        EXPECT_EQ(Log().Count(3, kFile,
                              "svc: incorrect size = " + std::to_string(size) +
                                  " for water-mark value received, id = 1"),
                  1u);
    }
    uint32_t largest = 4294967295u;
    collector->SetEvent(1, 4, &largest);
    Flush(0);
    EXPECT_EQ(Stats(1).markValue, 4294967295u);
    KwTimeTracker latency;
    Peer::Inject(*collector, 99, At(1, 0), latency);
    EXPECT_EQ(Log().Count(3, kFile, "svc: unregistered stats data 99 received."), 1u);
}

TEST_F(CollectorTest, BurstFromManyThreadsIsCountedExactly) {
    collector->RegisterEvent("a", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    collector->RegisterEvent("b", 0, STATS_DATA_COUNT);
    StartCollecting();
    std::thread producers[4];
    for (int t = 0; t < 4; ++t) {
        producers[t] = std::thread([&, t] {
            for (int i = 0; i < 25000; ++i) {
                ASSERT_EQ(collector->SetEvent(t % 2, 0, nullptr), 0);
            }
        });
    }
    for (std::thread& producer : producers) {
        producer.join();
    }
    ASSERT_TRUE(WaitUntil([&] { return Stats(0).total + Stats(1).total == 100000; }));
    EXPECT_EQ(Stats(0).total, 50000u);
}

TEST_F(CollectorTest, LatencyRunsFromTheLatestStartInQueueOrder) {
    collector->RegisterEvent("reqStart", STATS_FLAG_LATENCY_START, STATS_DATA_COUNT);
    collector->RegisterEvent("reqDone", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT);
    collector->RegisterEvent("marker", 0, STATS_DATA_COUNT);
    timespec armed = Now();
    StartCollecting();
    Flush(2);  // the thread is in its main loop: its latency reference exists
    // An end before any start measures from the moment the first timer was armed.
    for (timespec t = Now(); TenthsBetween(t, Now()) < 20;) {
    }
    ASSERT_EQ(collector->SetEvent(1, 0, nullptr), 0);
    timespec sent = Now();
    ASSERT_TRUE(WaitUntil([&] { return Stats(1).markValue != 0; }));
    KwUlong32 first = Stats(1).markValue;
    EXPECT_GE(first, 20u);
    EXPECT_LE(first, static_cast<KwUlong32>(TenthsBetween(armed, sent)));
    // Start, then end 3 ms later: measured from the start, not from the thread.
    for (timespec t = Now(); TenthsBetween(t, Now()) < static_cast<long>(first) + 500;) {
    }
    timespec before = Now();
    ASSERT_EQ(collector->SetEvent(0, 0, nullptr), 0);
    for (timespec t = Now(); TenthsBetween(t, Now()) < static_cast<long>(first) + 30;) {
    }
    ASSERT_EQ(collector->SetEvent(1, 0, nullptr), 0);
    timespec after = Now();
    ASSERT_TRUE(WaitUntil([&] { return Stats(1).markValue != first; }));
    EXPECT_GE(Stats(1).markValue, first + 30);
    EXPECT_LE(Stats(1).markValue, static_cast<KwUlong32>(TenthsBetween(before, after)));
    EXPECT_EQ(Log().CountContaining("svc: event latency [1] = "), 2u);
}

TEST_F(CollectorTest, LatencyKeepsTheLongestPositiveSpan) {
    collector->RegisterEvent("start", STATS_FLAG_LATENCY_START, STATS_DATA_COUNT);
    collector->RegisterEvent("end", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT);
    collector->RegisterEvent("both", STATS_FLAG_LATENCY_START | STATS_FLAG_LATENCY_END,
                             STATS_DATA_COUNT);
    StartCollecting();
    KwTimeTracker latency;
    Peer::Inject(*collector, 0, At(0, 0), latency);  // a start whose clock failed
    Peer::Inject(*collector, 1, At(10, 0), latency);
    EXPECT_EQ(Log().Count(3, "KwTimeTracker.cpp",
                          "GetElapsedTenthms: start time has not been set correctly"),
              1u);
    Peer::Inject(*collector, 0, At(100, 0), latency);
    Peer::Inject(*collector, 1, At(100, 12700000), latency);  // 127 tenths
    Peer::Inject(*collector, 1, At(100, 5000000), latency);   // shorter: kept 127
    Peer::Inject(*collector, 1, At(100, 99999), latency);     // same tenth: 0, stores nothing
    EXPECT_EQ(Stats(1).markValue, 127u);
    EXPECT_EQ(Log().Count(7, kFile, "svc: event latency [1] = 127"), 1u);
    EXPECT_EQ(Log().Count(7, kFile, "svc: event latency [1] = 0"), 1u);
    // An event that both starts and ends only starts: its mark stays empty.
    Peer::Inject(*collector, 2, At(200, 0), latency);
    Peer::Inject(*collector, 2, At(300, 0), latency);
    EXPECT_EQ(Stats(2).markValue, 0u);
    Peer::Inject(*collector, 1, At(200, 20000000), latency);  // before the latest start
    EXPECT_EQ(Log().Count(7, kFile, "svc: event latency [1] = -1"), 2u);
    EXPECT_EQ(Stats(1).markValue, 127u);
    EXPECT_EQ(Stats(1).total, 5u);  // every report counted all the same
    EXPECT_EQ(Stats(2).total, 2u);
}

TEST_F(CollectorTest, BacklogTraceCountsTheReportsInHandAndOnTheListFromSixOn) {
    collector->RegisterEvent("ev", 0, STATS_DATA_COUNT);
    collector->RegisterEvent("end", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT);
    StartCollecting();
    {
        KwMutexGuard hold(Peer::DataLock(*collector));
        HoldThreadOnReport(0);
        ASSERT_EQ(collector->SetEvent(1, 0, nullptr), 0);  // stops at the gate below
        ASSERT_EQ(collector->SetEvent(0, 0, nullptr), 0);  // taken with it, still in hand
        Log().CloseOn("svc: event latency [1]");
    }
    ASSERT_TRUE(Log().WaitAtGate());
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(collector->SetEvent(0, 0, nullptr), 0);
    }
    Log().Open();
    ASSERT_TRUE(WaitUntil([&] { return Stats(0).total == 8; }));
    std::vector<std::string> backlog;
    for (const LogEntry& entry : Log().Entries()) {
        if (entry.text.find("events in waiting list") != std::string::npos) {
            EXPECT_EQ(entry.level, 7);
            backlog.push_back(entry.text);
        }
    }
    // One in hand and six on the list; then the six; five give no line.
    EXPECT_EQ(backlog, std::vector<std::string>(
                           {"svc: 7 events in waiting list", "svc: 6 events in waiting list"}));
}

TEST_F(CollectorTest, ListNodesAreReusedAndTheSparesBounded) {
    collector->RegisterEvent("ev", 0, STATS_DATA_COUNT);
    StartCollecting();
    Occur(0, 10);
    // The nodes of processed reports come back for the next submissions.
    EXPECT_TRUE(WaitUntil([&] { return Peer::SpareNodes(*collector) == 10; }));
    Occur(0, 4);
    EXPECT_TRUE(WaitUntil([&] { return Peer::SpareNodes(*collector) == 10; }));
    {
        KwMutexGuard hold(Peer::DataLock(*collector));
        HoldThreadOnReport(0);
        for (int i = 0; i < 3000; ++i) {
            ASSERT_EQ(collector->SetEvent(0, 0, nullptr), 0);
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return Stats(0).total == 3015; }));
    // A burst keeps no more than 1024 of its nodes, and what comes back
    // fills them up to exactly that.
    EXPECT_TRUE(WaitUntil([&] { return Peer::SpareNodes(*collector) == 1024; }));
    Occur(0, 24);
    EXPECT_TRUE(WaitUntil([&] { return Peer::SpareNodes(*collector) == 1024; }));
}
