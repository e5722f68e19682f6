// Faults injected into a running collector: every allocation of a whole
// scenario fails in turn, clocks fail, the timer comes late or not at all.
// The allocator and the clocks are the test executable's own definitions
// (FaultInjection.h), in front of the C library's.
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <new>
#include <sstream>
#include <system_error>
#include <thread>

#include "CollectorHarness.h"
#include "FaultInjection.h"
#include "KwStatsJson.h"
#include "KwStatsPrometheus.h"
#include "prometheus/text_serializer.h"

namespace {

// A log sink that allocates nothing, for runs whose allocations fail on
// purpose: it counts all lines, and those that say memory ran out.
struct QuietLog {
    std::atomic<int> lines{0};
    std::atomic<int> submissionsWithoutMemory{0};
    std::atomic<bool> threadStarted{false};
    static void Sink(int, const char*, const char* text, void* self) {
        QuietLog* log = static_cast<QuietLog*>(self);
        ++log->lines;
        if (strcmp(text, "SetEvent: allocate memory failed") == 0) {
            ++log->submissionsWithoutMemory;
        } else if (strcmp(text, "svc: data collector waiting for client to finish registration.") ==
                   0) {
            log->threadStarted.store(true);
        } else if (strcmp(text, "svc: Stats collector is shutting down.") == 0 ||
                   strcmp(text,
                          "svc: create periodic diagnostic data collection timer failed, "
                          "exit") == 0) {
            // The thread's last line: what follows is ACE's ending of it.
            faults::PauseAllocations(true);
        }
    }
};

// What one run of the scenario found; written through a pipe.
struct Outcome {
    unsigned long allocations = 0;  // made while armed
    bool failed = false;            // the armed one was reached
    bool ok = false;                // every check held
    char broken[200] = "";          // else the first that did not
};

#define REQUIRE(condition)                                                                \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            snprintf(out.broken, sizeof out.broken, "line %d: %s", __LINE__, #condition); \
            return;                                                                       \
        }                                                                                 \
    } while (0)

typedef KwSrvrStatsCollector C;

int StateOf(const C& c) {
    return ca::Member<ca::State>(c).load();
}

// Snapshot totals of the three events, or -1 each while none can be had
// (the snapshot's own allocations may fail).
std::vector<long> Totals(const C& c) {
    std::vector<long> totals(3, -1);
    try {
        KwStatsSnapshot snapshot;
        faults::PauseAllocations(false, faults::THIS_THREAD);
        bool taken = c.GetStatsSnapshot(snapshot);
        faults::PauseAllocations(true, faults::THIS_THREAD);
        if (taken && snapshot.waiting == 0) {
            for (size_t i = 0; i < snapshot.events.size() && i < 3; ++i) {
                const KwStatsEventSnapshot& e = snapshot.events[i];
                totals[i] = e.counted ? e.total : e.markValue;
            }
        }
    } catch (const std::bad_alloc&) {
        faults::PauseAllocations(true, faults::THIS_THREAD);
    }
    return totals;
}

// Register, start, submissions from two threads, roll-ups, report,
// snapshot, JSON, metrics, reset and stop, with allocation `failAt`
// failing. Each operation works, or fails as the interface says it may:
// std::bad_alloc from registration and from the outputs; -1 from Start();
// -1 with its line from a submission; the thread stops, or goes without a
// roll-up, with its line. What was accepted is counted, or released at the
// stop (the leak checker of the sanitizer build sees to that).
void Scenario(unsigned long failAt, Outcome& out) {
    static QuietLog log;
    dlog_set_sink(&QuietLog::Sink, &log);
    static KwTimerMgr timer(KwTimerMgr::MANUAL_CLOCK);
    C& c = C::GetInstance();
    ACE_Thread_Manager::instance();
    ShortenPollSleeps(100);
    c.SetTimerManager(timer);
    faults::ArmAllocations(failAt);

    const struct {
        const char* name;
        int flags;
        StatsDataType type;
    } events[3] = {{"start", STATS_FLAG_LATENCY_START, STATS_DATA_COUNT},
                   {"done", STATS_FLAG_LATENCY_END | STATS_FLAG_MAX_RATE, STATS_DATA_COUNT},
                   {"depth", 0, STATS_DATA_WATER_MARK}};
    int registered = 0;  // a registration that fails ends them: ids stay dense
    try {
        for (; registered < 3; ++registered) {
            REQUIRE(c.RegisterEvent(events[registered].name, events[registered].flags,
                                    events[registered].type) == registered);
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
    bool collecting = started == 0 && WaitUntil([&] { return StateOf(c) != C::ST_INIT; }) &&
                      c.IsRunning() && timer.WaitForCreated(1, 2000);

    std::atomic<long> accepted[3] = {};  // of the depth: its largest value
    std::atomic<long> refused{0};
    auto produce = [&](uint32_t t) {
        for (uint32_t i = 0; i < 30; ++i) {
            int id = static_cast<int>((i + t) % 3);
            if (id >= registered) {
                continue;
            }
            if (c.SetEvent(id, id == 2 ? 4 : 0, &i) != 0) {
                ++refused;
            } else if (id < 2) {
                ++accepted[id];
            } else {
                const long value = static_cast<long>(i);
                for (long seen = accepted[2];
                     seen < value && !accepted[2].compare_exchange_weak(seen, value);) {
                }
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
    if (!WaitUntil([&] { return running.load(); })) {
        other.join();
        REQUIRE(running);
    }
    faults::PauseAllocations(false);
    produce(0);
    if (other.joinable()) {
        other.join();
    }
    if (collecting) {
        // A submission is refused only for want of memory, and says so.
        REQUIRE(refused == log.submissionsWithoutMemory && refused <= 1);
        faults::Unfaulted bookkeeping;
        std::vector<long> expected = {accepted[0], accepted[1], accepted[2]};
        expected.resize(static_cast<size_t>(registered));
        REQUIRE(WaitUntil([&] {
            std::vector<long> totals = Totals(c);
            totals.resize(static_cast<size_t>(registered));
            return totals == expected;
        }));
    } else if (started == 0) {
        REQUIRE(refused == (accepted[0] + accepted[1] + accepted[2] + refused));
    }
    for (int n = 0; collecting && n < 2; ++n) {
        unsigned long created = timer.CreatedCount();
        timer.Advance(1000);
        // A re-arm that failed ends the thread.
        WaitUntil([&] { return timer.CreatedCount() > created || StateOf(c) == C::ST_STOPPED; });
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
        std::string metrics = text.str();
        REQUIRE(json.find("\"collecting\":") != std::string::npos &&
                metrics.find("\nqel_collecting ") != std::string::npos);
    } catch (const std::bad_alloc&) {
    }
    c.Reset();
    c.Stop();
    faults::PauseAllocations(true);  // ACE's joining of the thread
    ACE_Thread_Manager::instance()->wait();
    REQUIRE(!c.IsRunning() || (started == 0 && !collecting));
    out.allocations = faults::DisarmAllocations();
    out.failed = faults::AllocationFailed();
    out.ok = true;
}

// Runs the scenario in a child process (the collector's stopped state is
// final) and returns what it found; a crash or a sanitizer report fails it.
Outcome RunChild(unsigned long failAt) {
    int channel[2];
    Outcome outcome;
    if (pipe(channel) != 0) {
        snprintf(outcome.broken, sizeof outcome.broken, "no pipe");
        return outcome;
    }
    pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        Outcome found;
        try {
            Scenario(failAt, found);
        } catch (const std::exception& e) {
            found.ok = false;
            snprintf(found.broken, sizeof found.broken, "escaped: %s", e.what());
        }
        ssize_t written = write(channel[1], &found, sizeof found);
        exit(written == sizeof found ? 0 : 3);  // exit(): the leak checker runs
    }
    close(channel[1]);
    ssize_t got = read(channel[0], &outcome, sizeof outcome);
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (got != sizeof outcome || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        outcome.ok = false;
        snprintf(outcome.broken, sizeof outcome.broken, "the child %s %d",
                 WIFEXITED(status) ? "exited with" : "was killed by signal",
                 WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
    }
    return outcome;
}

}  // namespace

// Every allocation the scenario makes fails once, each in a run of its own,
// until three runs in a row make fewer allocations than the one asked to
// fail (threads make the count vary a little from run to run).
// QEL_FAULT_AT=N runs point N alone (gdb: set follow-fork-mode child).
TEST(CollectorFaults, EveryAllocationOfTheScenarioFailsInTurn) {
    if (const char* at = getenv("QEL_FAULT_AT")) {
        Outcome outcome = RunChild(strtoul(at, nullptr, 10));
        ASSERT_TRUE(outcome.ok) << outcome.broken;
        return;
    }
    Outcome clean = RunChild(0);
    ASSERT_TRUE(clean.ok) << clean.broken;
    ASSERT_GT(clean.allocations, 100u);
    unsigned long points = 0;
    for (unsigned long failAt = 1, unreached = 0; unreached < 3; ++failAt) {
        Outcome outcome = RunChild(failAt);
        ASSERT_TRUE(outcome.ok) << "allocation " << failAt << " failing: " << outcome.broken;
        unreached = outcome.failed ? 0 : unreached + 1;
        points += outcome.failed ? 1 : 0;
    }
    printf("fault points driven: %lu (a clean run allocates %lu times)\n", points,
           clean.allocations);
    EXPECT_GT(points, clean.allocations / 2);
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
    const char invalid[] = "Invalid argument";
    ASSERT_TRUE(WaitUntil([&] {
        return Log().Count(
                   3, "KwTimeTracker.cpp",
                   std::string("Reset: clock_gettime CLOCK_MONOTONIC failed: ") + invalid) == 1;
    }));
    // An end with no reference held, then a start stamped {0, 0}: nothing
    // to measure from, so both ends give -1 and leave the longest alone.
    for (int id : {1, 0, 1}) {
        ASSERT_EQ(collector->SetEvent(id, 0, nullptr), 0);
    }
    faults::FailClock(CLOCK_MONOTONIC, false, kLibrary);
    ASSERT_TRUE(WaitUntil([&] { return Stats(1).total == 2; }));
    EXPECT_TRUE(Logged(
        3,
        "SetEvent: eventId = 1 call clock_gettime CLOCK_MONOTONIC failed: " + std::string(invalid),
        2));
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
    EXPECT_TRUE(Logged(7, "svc: event latency [1] = -1", 2));

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
