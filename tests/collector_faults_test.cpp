// Faults injected into a running collector: every allocation of a whole
// scenario fails in turn, clocks fail, the timer comes late or not at all.
// The allocator and the clocks are the test executable's own definitions
// (FaultInjection.h), in front of the C library's.
#include <stdio.h>
#include <sys/wait.h>

#include <atomic>
#include <cstring>
#include <new>
#include <sstream>
#include <thread>

#include "CollectorHarness.h"
#include "FaultInjection.h"
#include "KwReportQueue.h"
#include "KwStatsJson.h"
#include "KwStatsPrometheus.h"
#include "KwStatsStores.h"
#include "prometheus/text_serializer.h"

namespace {

// A log sink that allocates nothing, for runs whose allocations fail on
// purpose.
struct QuietLog {
    std::atomic<int> refusedForMemory{0};
    std::atomic<bool> threadStarted{false};
    static void Sink(int, const char*, const char* text, void* self) {
        QuietLog* log = static_cast<QuietLog*>(self);
        if (strcmp(text, "SetEvent: allocate memory failed") == 0) {
            ++log->refusedForMemory;
        } else if (strcmp(text, "svc: data collector waiting for client to finish registration.") ==
                   0) {
            log->threadStarted.store(true);
        } else if (strcmp(text, "svc: Stats collector is shutting down.") == 0 ||
                   strstr(text, "collection timer failed, exit") != nullptr) {
            faults::PauseAllocations(true);  // the thread's last line: then ACE ends it
        }
    }
};

// A check of the scenario, which runs in a child process of its own.
#define REQUIRE(condition)                                          \
    do {                                                            \
        if (!(condition)) {                                         \
            fprintf(stderr, "line %d: %s\n", __LINE__, #condition); \
            exit(2);                                                \
        }                                                           \
    } while (0)

typedef KwSrvrStatsCollector C;

// Totals of the first `n` events (a water mark's value), once none waits.
std::vector<long> Totals(const C& c, int n) {
    KwStatsSnapshot snapshot;
    std::vector<long> totals;
    if (c.GetStatsSnapshot(snapshot) && snapshot.waiting == 0) {
        for (int i = 0; i < n; ++i) {
            const KwStatsEventSnapshot& e = snapshot.events.at(static_cast<size_t>(i));
            totals.push_back(e.counted ? e.total : e.markValue);
        }
    }
    return totals;
}

// Register, start, submissions from two threads, roll-ups, report,
// snapshot, JSON, metrics, reset and stop, with allocation `failAt`
// failing. Each operation works, or fails as the interface says it may:
// std::bad_alloc from registration and from the outputs; -1 from Start();
// -1 with its line from a submission; the thread stops, or goes without a
// roll-up, with its line. What was accepted is counted, or released at the
// stop (the leak checker of the sanitizer build sees to that). Exits 0, or
// 1 when fewer allocations were made than the one asked to fail.
void Scenario(unsigned long failAt) {
    static QuietLog log;
    dlog_set_sink(&QuietLog::Sink, &log);
    static KwTestTimerMgr timer(KwTestTimerMgr::MANUAL_CLOCK);
    C& c = C::GetInstance();
    ACE_Thread_Manager::instance();
    ShortenPollSleeps(100);
    c.SetTimerManager(timer);
    faults::ArmAllocations(failAt);

    const char* names[3] = {"start", "done", "depth"};
    const int flags[3] = {STATS_FLAG_LATENCY_START, STATS_FLAG_LATENCY_END | STATS_FLAG_MAX_RATE,
                          0};
    const StatsDataType types[3] = {STATS_DATA_COUNT, STATS_DATA_COUNT, STATS_DATA_WATER_MARK};
    int registered = 0;  // a registration that fails ends them: ids stay dense
    try {
        for (; registered < 3; ++registered) {
            REQUIRE(c.RegisterEvent(names[registered], flags[registered], types[registered]) ==
                    registered);
        }
    } catch (const std::bad_alloc&) {
    }
    // ACE does not survive a failed allocation while it starts a thread
    // (ACE 7.0.8: spawn_i goes on with a null thread descriptor or lock; the
    // new thread with a null ACE_Log_Msg). Those allocations are ACE's, made
    // before svc() begins, and are not failed here.
    faults::PauseAllocations(true);
    int started = c.Start();
    REQUIRE(started == -1 || WaitUntil([&] { return log.threadStarted.load(); }));
    faults::PauseAllocations(false);
    REQUIRE(started == 0 || started == -1);
    c.DoneInit();
    // Then collecting, stopped for want of stores, or without a thread.
    bool collecting = started == 0 &&
                      WaitUntil([&] { return ca::Member<ca::State>(c) != C::ST_INIT; }) &&
                      c.IsRunning() && timer.WaitForCreated(1, 2000);

    std::atomic<long> accepted[3] = {}, refused{0};
    auto produce = [&](uint32_t t) {
        uint32_t depth = 7;
        for (uint32_t i = 0; i < 30; ++i) {
            int id = static_cast<int>((i + t) % 3);
            if (id < registered) {
                ++(c.SetEvent(id, id == 2 ? 4 : 0, &depth) == 0 ? accepted[id] : refused);
            }
        }
    };
    // The second producer is the test's own: its start (where a sanitizer's
    // runtime allocates too) is not failed.
    std::atomic<bool> running{false};
    faults::PauseAllocations(true);
    std::thread other([&] {
        running.store(true);
        produce(1);
    });
    bool ran = WaitUntil([&] { return running.load(); });
    faults::PauseAllocations(false);
    produce(0);
    other.join();
    REQUIRE(ran);
    if (collecting) {
        // A submission is refused only for want of memory, and says so.
        REQUIRE(refused == log.refusedForMemory && refused <= 1);
        faults::Unfaulted bookkeeping;
        std::vector<long> expected = {accepted[0], accepted[1], accepted[2] > 0 ? 7 : 0};
        expected.resize(static_cast<size_t>(registered));
        REQUIRE(WaitUntil([&] { return Totals(c, registered) == expected; }));
    } else if (started == 0) {
        REQUIRE(accepted[0] + accepted[1] + accepted[2] == 0);
    }
    for (int n = 0; collecting && n < 2; ++n) {
        unsigned long created = timer.CreatedCount();
        timer.Advance(1000);
        // A re-arm that failed ends the thread.
        WaitUntil([&] {
            return timer.CreatedCount() > created || ca::Member<ca::State>(c) == C::ST_STOPPED;
        });
        collecting = timer.CreatedCount() > created;
    }
    try {
        std::string report = c.GetStatsReport();
        KwStatsSnapshot snapshot;
        bool taken = c.GetStatsSnapshot(snapshot);
        REQUIRE(taken == !report.empty() && taken == c.IsRunning());
        std::string json = KwStatsJson(snapshot);
        std::ostringstream text;
        text.exceptions(std::ios::badbit);  // else a failed allocation cuts the text short
        prometheus::TextSerializer().Serialize(text, KwStatsPrometheus::Families(snapshot));
        REQUIRE(json.find("\"collecting\":") != std::string::npos &&
                text.str().find("\nqel_collecting ") != std::string::npos);
    } catch (const std::bad_alloc&) {
    }
    c.Reset();
    c.Stop();
    faults::PauseAllocations(true);  // ACE's joining of the thread
    ACE_Thread_Manager::instance()->wait();
    REQUIRE(!c.IsRunning() || (started == 0 && !collecting));
    faults::DisarmAllocations();
    exit(faults::AllocationFailed() ? 0 : 1);  // exit(): the leak checker runs
}

}  // namespace

// Every allocation the scenario makes fails once, each in a child process
// of its own (the collector's stopped state is final), until three runs in
// a row make fewer allocations than the one asked to fail (threads make the
// count vary a little from run to run). A crash or a sanitizer's report
// fails it. QEL_FAULT_AT=N runs point N alone (gdb: set follow-fork-mode
// child).
TEST(CollectorFaults, EveryAllocationOfTheScenarioFailsInTurn) {
    GTEST_FLAG_SET(death_test_style, "fast");
    const char* only = getenv("QEL_FAULT_AT");
    unsigned long points = 0;
    for (unsigned long failAt = only ? strtoul(only, nullptr, 10) : 1, unreached = 0; unreached < 3;
         ++failAt) {
        int code = -1;
        EXPECT_EXIT(
            Scenario(failAt),
            [&code](int status) {
                code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return code <= 1;
            },
            "")
            << "allocation " << failAt << " failing";
        ASSERT_LE(code, 1);
        points += code == 0 ? 1 : 0;
        unreached = only != nullptr ? 3 : code == 0 ? 0 : unreached + 1;
    }
    printf("fault points driven: %lu\n", points);
    EXPECT_GT(points, only != nullptr ? 0u : 100u);
}

namespace {
const void* const kLibrary = reinterpret_cast<const void*>(&KwStatsReportText);
}

// The monotonic clock fails for the library: the thread's latency reference
// (made as its first timer is armed), the stamps of submissions. Then the
// wall clock fails: stamps of peaks and water marks, and of roll-ups.
TEST_F(CollectorTest, ClocksThatFail) {
    collector->RegisterEvent("start", STATS_FLAG_LATENCY_START, STATS_DATA_COUNT);
    collector->RegisterEvent("done", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT);
    collector->RegisterEvent("depth", 0, STATS_DATA_WATER_MARK);
    collector->SetTimerManager(Timer());
    Log().Gate("svc: diagnostic data collector initialization has finished .");
    ASSERT_EQ(collector->Start(), 0);
    collector->DoneInit();
    ASSERT_TRUE(Log().WaitAtGate());
    faults::FailClock(CLOCK_MONOTONIC, true, kLibrary);
    Log().Gate("");
    ASSERT_TRUE(Timer().WaitForCreated(1, 20000));
    ASSERT_TRUE(WaitUntil([&] {
        return Log().Count(3, "KwTimeTracker.cpp",
                           "Reset: clock_gettime CLOCK_MONOTONIC failed: Invalid argument") == 1;
    }));
    // An end with no reference held, then a start stamped {0, 0}: nothing
    // to measure from, so both ends give -1 and leave the longest alone.
    for (int id : {1, 0, 1}) {
        ASSERT_EQ(collector->SetEvent(id, 0, nullptr), 0);
    }
    faults::FailClock(CLOCK_MONOTONIC, false, kLibrary);
    ASSERT_TRUE(WaitUntil([&] { return Stats(1).total == 2; }));
    EXPECT_TRUE(Logged(
        3, "SetEvent: eventId = 1 call clock_gettime CLOCK_MONOTONIC failed: Invalid argument", 2));
    EXPECT_TRUE(Logged(7, "svc: event latency [1] = -1", 2));
    EXPECT_EQ(Log().Count(3, "KwTimeTracker.cpp",
                          "GetElapsedTenthms: start time has not been set "
                          "correctly"),
              2u);
    EXPECT_EQ(Stats(1).markValue, 0u);
    // With the clock back, a start gives a reference again.
    Occur(0, 1);
    Occur(1, 1);
    EXPECT_EQ(Log().CountContaining("svc: event latency [1] = "), 3u);

    RollUps(1);
    KwStatsSnapshot snapshot;
    ASSERT_TRUE(collector->GetStatsSnapshot(snapshot));
    const KwLong32 rolledUp = snapshot.lastRollupAt;
    EXPECT_GT(rolledUp, 0);
    faults::FailClock(CLOCK_REALTIME, true, kLibrary);
    uint32_t value = 7;
    ASSERT_EQ(collector->SetEvent(2, sizeof value, &value), 0);
    Flush(0);
    RollUps(1);
    ASSERT_TRUE(collector->GetStatsSnapshot(snapshot));
    faults::FailClock(CLOCK_REALTIME, false, kLibrary);
    // A stamp that cannot be read is the epoch; a roll-up that cannot be
    // dated keeps the time of the last one that could.
    EXPECT_EQ(std::make_tuple(snapshot.takenAt, snapshot.lastRollupAt, snapshot.events[2].markValue,
                              snapshot.events[2].markTime),
              std::make_tuple(KwLong32{0}, rolledUp, KwUlong32{7}, KwLong32{0}));
    const std::string marks = ReportLine(2);
    const std::string depth = ";depth: 7, " + TimeText(0);
    ASSERT_GE(marks.size(), depth.size());
    EXPECT_EQ(marks.substr(marks.size() - depth.size()), depth) << marks;
}

// The timer is delivered 5 s late: until then the snapshot shows how old the
// last roll-up is; the late roll-up puts the whole span in one second.
TEST_F(CollectorTest, TimerDeliveredLate) {
    collector->RegisterEvent("rx", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    StartCollecting();
    RollUps(1);
    KwStatsSnapshot snapshot;
    ASSERT_TRUE(collector->GetStatsSnapshot(snapshot));
    const KwLong32 first = snapshot.lastRollupAt;
    ASSERT_GT(first, 0);
    faults::ShiftWallClock(5);
    Occur(0, 40);
    ASSERT_TRUE(collector->GetStatsSnapshot(snapshot));
    EXPECT_GE(snapshot.takenAt - snapshot.lastRollupAt, 5);
    EXPECT_EQ(snapshot.lastRollupAt, first);
    RollUps(1);
    ASSERT_TRUE(collector->GetStatsSnapshot(snapshot));
    faults::ShiftWallClock(0);
    EXPECT_GE(snapshot.lastRollupAt, first + 5);
    EXPECT_EQ(snapshot.events[0].seconds, V({0, 40}));
    EXPECT_EQ(snapshot.events[0].peak, 40u);
}

// The queue's one allocation, a list node when no spare is left, fails:
// the report is refused and stays the caller's.
TEST(KwReportQueueFaults, ANodeThatCannotBeMadeRefusesTheReport) {
    struct Report {
        int id;
        timespec stamp;
    };
    KwLinuxMutex lock;
    KwReportQueue<Report>::List waiting;
    KwReportQueue<Report> queue(lock, waiting);
    queue.Open();
    Report* report = static_cast<Report*>(malloc(sizeof(Report)));
    size_t held = 0;
    faults::ArmAllocations(1);
    KwReportQueue<Report>::Verdict verdict = queue.Append(report, held);
    faults::DisarmAllocations();
    EXPECT_TRUE(faults::AllocationFailed());
    EXPECT_EQ(verdict, KwReportQueue<Report>::NO_MEMORY);
    EXPECT_EQ(queue.Waiting(), 0u);
    EXPECT_EQ(queue.Append(report, held), KwReportQueue<Report>::QUEUED);
    queue.ReleaseAll();
}

// Each allocation of the stores fails in turn: Make() says so and holds
// nothing; with none failing it holds them all.
TEST(KwStatsStoresFaults, EachAllocationFailsInTurn) {
    unsigned long failAt = 1;
    for (;; ++failAt) {
        KwStatsStores stores;
        faults::ArmAllocations(failAt);
        bool made = stores.Make(KwStoreSizes{2, 1, 1});
        faults::DisarmAllocations();
        KwMaxValue *maxRates = nullptr, *waterMarks = nullptr;
        KwSrvrStatsCount *current = nullptr, *last = nullptr;
        KwStatsStores::Ring *minute = nullptr, *hour = nullptr, *day = nullptr;
        stores.Exchange(maxRates, waterMarks, current, last, minute, hour, day);
        const int held = !!maxRates + !!waterMarks + !!current + !!last + !!minute + !!hour + !!day;
        KwStatsStores released;
        released.Exchange(maxRates, waterMarks, current, last, minute, hour, day);
        if (!faults::AllocationFailed()) {
            EXPECT_TRUE(made);
            EXPECT_EQ(held, 7);
            break;
        }
        EXPECT_FALSE(made) << "allocation " << failAt;
        EXPECT_EQ(held, 0) << "allocation " << failAt;
    }
    EXPECT_GT(failAt, 7u);  // one allocation at least for each store
}

// Each of a submission's allocations fails: the message (the first), then
// the list node (the second: nothing has been processed, so no node is
// spare). Either is refused with its line and leaves nothing behind; the
// next submission is taken.
//
// Then a submission that passed the state test just before the thread
// stopped (held here at its clock's failure, its message made) finds the
// queue shut when it comes to append: it is refused as after the stop, its
// message released.
TEST_F(CollectorTest, ASubmissionWithoutMemoryOrOvertakenByTheStopIsRefused) {
    collector->RegisterEvent("ev", 0, STATS_DATA_COUNT);
    StartCollecting();
    for (unsigned long failAt : {1ul, 2ul}) {
        faults::ArmAllocations(failAt);
        int result = collector->SetEvent(0, 0, nullptr);
        faults::DisarmAllocations();
        EXPECT_EQ(std::make_tuple(result, faults::AllocationFailed()), std::make_tuple(-1, true))
            << "allocation " << failAt;
        EXPECT_EQ(Waiting(), 0u);
    }
    EXPECT_TRUE(Logged(3, "SetEvent: allocate memory failed", 2));
    Occur(0, 1);

    faults::FailClock(CLOCK_MONOTONIC, true, kLibrary);
    Log().Gate("SetEvent: eventId = 0 call clock_gettime");
    int result = 0;
    std::thread late([&] { result = collector->SetEvent(0, 0, nullptr); });
    ASSERT_TRUE(Log().WaitAtGate());
    faults::FailClock(CLOCK_MONOTONIC, false, kLibrary);
    WaitStopped();
    Log().Gate("");
    late.join();
    EXPECT_EQ(result, -1);
    std::vector<std::string> lines = CollectorLines();
    lines.erase(lines.begin(), lines.end() - 3);
    EXPECT_EQ(lines, std::vector<std::string>(
                         {"3 SetEvent: eventId = 0 call clock_gettime CLOCK_MONOTONIC failed: "
                          "Invalid argument",
                          "6 svc: Stats collector is shutting down.",
                          "3 SetEvent: Tried to enter data 0 when the stats collector is not in "
                          "collecting state"}));
}

// The stores cannot be made (their first allocation fails): the collector
// stops, and says so.
TEST_F(CollectorTest, StoresThatCannotBeMadeStopTheCollector) {
    collector->RegisterEvent("ev", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    collector->SetTimerManager(Timer());
    collector->DoneInit();
    Log().Gate("svc: data collector waiting for client to finish registration.");
    ASSERT_EQ(collector->Start(), 0);
    ASSERT_TRUE(Log().WaitAtGate());
    {
        faults::Unfaulted mine;
        faults::ArmAllocations(1);
        Log().Gate("");
        ACE_Thread_Manager::instance()->wait();
        faults::DisarmAllocations();
    }
    EXPECT_TRUE(faults::AllocationFailed());
    EXPECT_EQ(CollectorLines(),
              std::vector<std::string>(
                  {"7 RegisterEvent: registered event ev as 0",
                   "7 svc: data collector waiting for client to finish registration.",
                   "3 svc: allocate memory failed, the stores were not made",
                   "6 svc: Stats collector is shutting down."}));
    EXPECT_EQ(Timer().CreatedCount(), 0u);
    EXPECT_TRUE(StoppedAndReleased());
}

// A roll-up whose temporaries cannot be made waits for the next pass, by
// default and timely alike; the second it then closes holds everything.
// Timely, a timer whose firing cannot be dated then closes its second all
// the same, and the next second is a whole second long.
class RollUpWithoutMemory : public CollectorTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RollUpWithoutMemory, WaitsForTheNextPass) {
    collector->SetTimelyRollup(GetParam());
    collector->RegisterEvent("rx", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    StartCollecting();
    Occur(0, 3);
    {
        faults::Unfaulted mine;
        faults::ArmAllocations(1);
        ASSERT_EQ(Timer().Advance(1000), 1u);
        ASSERT_TRUE(Timer().WaitForCreated(2, 20000));
        faults::DisarmAllocations();
    }
    EXPECT_TRUE(faults::AllocationFailed());
    EXPECT_TRUE(Logged(3, "svc: allocate memory failed, the roll-up waits"));
    EXPECT_EQ(std::make_tuple(Stats(0).seconds, Stats(0).peak), std::make_tuple(V({3}), 3u));
    if (!GetParam()) {
        return;
    }
    Occur(0, 2);
    faults::FailClock(CLOCK_MONOTONIC, true, kLibrary);
    ASSERT_EQ(Timer().Advance(1000), 1u);
    ASSERT_TRUE(Timer().WaitForCreated(3, 20000));
    faults::FailClock(CLOCK_MONOTONIC, false, kLibrary);
    EXPECT_EQ(Timer().Advance(999), 0u);
    EXPECT_EQ(Timer().Advance(1), 1u);
    ASSERT_TRUE(Timer().WaitForCreated(4, 20000));
    EXPECT_EQ(Stats(0).seconds, V({3, 2, 0}));
}

INSTANTIATE_TEST_SUITE_P(TimelyOrNot, RollUpWithoutMemory, ::testing::Bool());
