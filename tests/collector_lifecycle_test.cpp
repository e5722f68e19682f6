// The collector object: singleton, timer manager, registration, start and
// stop, also with work in flight.
#include <stdlib.h>

#include <atomic>
#include <thread>
#include <tuple>

#include "CollectorHarness.h"
#include "KwStatsCounter.h"
#include "dlog_capture.h"

namespace {
const std::string kRegistered = "7 RegisterEvent: registered event ev as 0";
}  // namespace

TEST_F(CollectorTest, SetUpStartAndStopWithReportsQueued) {
    const char notReady[] = "Reset: call Reset before it has complete initialization.";
    const std::string empty = "GetStatsReport: empty report generated (";
    collector->Reset();  // not collecting yet: refused
    EXPECT_EQ(collector->GetStatsReport(), "");
    EXPECT_TRUE(Logged(4, empty + "0, (nil), (nil), (nil))."));
    EXPECT_FALSE(collector->IsRunning());
    EXPECT_EQ(TimerId(), KwTimerMgr::INVALID_TIMER_ID);
    collector->Stop();  // before Start: only clears a flag
    EXPECT_EQ(collector->RegisterEvent("ev", 0, STATS_DATA_COUNT), 0);
    KwTestTimerMgr other(KwTestTimerMgr::MANUAL_CLOCK);
    EXPECT_EQ(collector->SetTimerManager(Timer()), 1);
    EXPECT_EQ(collector->SetTimerManager(other), 0);
    EXPECT_TRUE(Logged(3,
                       "SetTimerManager: The collector has a timer manager set.The new timer "
                       "manager will be ignored"));
    collector->DoneInit();  // before Start: the thread sizes its stores at once
    ASSERT_EQ(collector->Start(), 0);
    EXPECT_EQ(collector->Start(), 1);  // still running: no second thread
    ASSERT_TRUE(WaitUntil([&] { return collector->IsRunning(); }));
    ASSERT_TRUE(Timer().WaitForCreated(1, 20000));  // on the first manager
    // A day would take too long to roll up: the day ring's 24 is checked here.
    EXPECT_EQ(RingCapacities(), std::vector<unsigned int>({60, 60, 24}));
    EXPECT_TRUE(Logged(7, "svc: data collector waiting for client to finish registration."));
    EXPECT_TRUE(Logged(7, "svc: diagnostic data collector initialization has finished ."));
    // Idle, the thread polls in sleeps of 10 ms (the tests shorten them).
    ASSERT_TRUE(WaitUntil([] { return LastRequestedSleepUs() != 0; }));
    EXPECT_EQ(LastRequestedSleepUs(), 10000u);

    RollUps(1);
    {
        // The thread stops with a report in hand, 100 on the list, and its
        // timer expired but not yet rolled up.
        KwMutexGuard hold(DataLock());
        HoldThreadOnReport(0);
        uint32_t payload[8] = {};
        for (int i = 0; i < 100; ++i) {
            ASSERT_EQ(collector->SetEvent(0, sizeof payload, payload), 0);
        }
        ASSERT_EQ(Timer().Advance(1000), 1u);
        collector->Stop();
    }
    ACE_Thread_Manager::instance()->wait();
    EXPECT_EQ(Waiting(), 0u);
    EXPECT_TRUE(StoppedAndReleased());  // the leak checker of the sanitizer build: the 100 too
    EXPECT_EQ(collector->GetStatsReport() + collector->GetStatsReport(), "");
    EXPECT_TRUE(Logged(4, empty + "2, (nil), (nil), (nil)).", 2));
    collector->Reset();
    EXPECT_TRUE(Logged(3, notReady, 2));
    EXPECT_EQ(Log().CountContaining("Reset Stats data occurred"), 0u);
    // A new Start() collects again, but knows no event any more: the report
    // is the bare headers.
    ASSERT_EQ(collector->Start(), 0);
    ASSERT_TRUE(WaitUntil([&] { return collector->IsRunning(); }));
    EXPECT_EQ(collector->GetMonitoredEventNumber(), 0);
    EXPECT_EQ(collector->GetStatsReport(),
              "Statistics Event Counts: min, hour, day, total\n"
              "Maximum Events Per Second: cnts, stamp\n"
              "High-Water-Mark Values: value, stamp");
    EXPECT_EQ(collector->SetEvent(0, 0, nullptr), -1);
    EXPECT_TRUE(Logged(3, "SetEvent: Tried to set an unrecognized event 0."));
    EXPECT_EQ(collector->RegisterEvent("again", 0, STATS_DATA_COUNT), -1);
}

// A lost thread, each way: no timer manager, or its first timer not created;
// after the sizing, or stopped in the registration wait (nothing sized).
// The thread says why and leaves, the state as it was (ST_COLLECTING once
// sized, else ST_INIT); nothing is undone, nobody drains.
//
// Once sized, it is held on its way out, as it writes why it gives up: the
// three reports submitted then are accepted, and counted as it leaves. A
// producer let go with it races the closing door: each of its reports is
// either accepted and counted, or refused and counted as refused; none is
// left waiting. Submissions are refused from then on, loudly the first
// time; the snapshot tells that no thread runs.
//
// A Stop() then changes nothing: only the collection thread writes the
// state, and there is none. A new Start(), after that Stop() or without
// it, with a timer that can be created collects again into fresh stores
// (the old ones released: the leak checker of the sanitizer build sees to
// that), and a Stop() then ends it as usual.
struct LostThread {
    bool noManager;
    bool sized;
    bool stopped;  // Stop() called again before the restart
};

class ThreadLost : public CollectorTest, public ::testing::WithParamInterface<LostThread> {};

TEST_P(ThreadLost, StopLeavesTheStateAndARestartCollects) {
    const LostThread way = GetParam();
    const std::string why =
        way.noManager ? "3 svc: No timer manager to run the stats collector, exit"
                      : "3 svc: create periodic diagnostic data collection timer failed, exit";
    const int state = way.sized ? C::ST_COLLECTING : C::ST_INIT;
    collector->RegisterEvent("ev", 0, STATS_DATA_COUNT);
    if (!way.noManager) {
        Timer().FailNextCreates(1);
        collector->SetTimerManager(Timer());
    }
    std::vector<std::string> lines = {kRegistered, kWaitingLine};
    // Each refused submission's line: loud the first time, then quiet.
    auto refused = [&lines, way](int times) {
        const std::string text =
            way.sized ? "SetEvent: Tried to enter data 0 when no collection thread runs"
                      : "SetEvent: Tried to enter data 0 when the stats collector is not in "
                        "collecting state";
        for (int i = 0; i < times; ++i) {
            bool first = lines.back().find(text) == std::string::npos;
            lines.push_back((first ? "3 " : "7 ") + text);
        }
    };
    const int submitted = 2000;
    int accepted = 0;
    if (way.sized) {
        std::atomic<bool> go{false};
        std::thread producer([&] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            for (int i = 0; i < submitted; ++i) {
                accepted += collector->SetEvent(0, 0, nullptr) == 0;
            }
        });
        Log().Gate(why.substr(2));
        collector->DoneInit();
        ASSERT_EQ(collector->Start(), 0);
        ASSERT_TRUE(Log().WaitAtGate());
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(collector->SetEvent(0, 0, nullptr), 0);
        }
        go.store(true);
        Log().Gate("");
        ACE_Thread_Manager::instance()->wait();
        producer.join();
        lines.insert(lines.end(), {kFinishedLine, why});
        refused(submitted - accepted);
        accepted += 3;
    } else {
        ASSERT_EQ(collector->Start(), 0);
        ASSERT_TRUE(WaitUntil([] { return Log().CountContaining("waiting for client") == 1; }));
        collector->Stop();
        ACE_Thread_Manager::instance()->wait();
        lines.push_back(why);
    }
    if (way.stopped) {
        collector->Stop();
    }
    EXPECT_EQ(CollectorLines(), lines);
    EXPECT_EQ(std::make_tuple(State(), collector->IsRunning()), std::make_tuple(state, way.sized));
    EXPECT_EQ(collector->SetEvent(0, 0, nullptr) + collector->SetEvent(0, 0, nullptr), -2);
    refused(2);
    EXPECT_EQ(Waiting(), 0u);
    KwStatsCounter counter(0);
    counter.Add(4);  // refused too, and counted
    KwStatsSnapshot snapshot;
    EXPECT_EQ(collector->GetStatsSnapshot(snapshot), way.sized);
    EXPECT_EQ(std::make_tuple(snapshot.state, snapshot.collectionThread),
              std::make_tuple(state, false));
    if (way.sized) {
        EXPECT_EQ(std::make_tuple(snapshot.refusedNoThread, snapshot.refusedFull,
                                  snapshot.refusedByCounters, snapshot.lastRollupAt,
                                  snapshot.waiting, snapshot.events.at(0).total),
                  std::make_tuple(KwUlong32(submitted + 3 - accepted + 2), KwUlong32{0},
                                  KwUlong32{4}, KwLong32{0}, size_t{0}, KwUlong32(accepted)));
    } else {
        lines.push_back("3 GetStatsSnapshot: empty report generated (0, (nil), (nil), (nil)).");
    }
    EXPECT_EQ(CollectorLines(), lines);

    // Restarted, held at its first line: the state is still what it was.
    if (way.noManager) {
        collector->SetTimerManager(Timer());
    }
    Log().Gate(kWaitingLine.substr(2));
    ASSERT_EQ(collector->Start(), 0);
    ASSERT_TRUE(Log().WaitAtGate());
    EXPECT_EQ(std::make_tuple(State(), collector->IsRunning()), std::make_tuple(state, way.sized));
    Log().Gate("");
    collector->DoneInit();
    ASSERT_TRUE(Timer().WaitForCreated(1, 20000));
    ASSERT_TRUE(WaitUntil([&] {
        return collector->IsRunning() && collector->GetStatsSnapshot(snapshot) &&
               snapshot.collectionThread;
    }));
    EXPECT_EQ(Stats(0).total, 0u);  // fresh stores
    Occur(0, 2);
    counter.Add(2);  // collecting again: counted
    RollUps(1);
    EXPECT_EQ(Stats(0).seconds, V({4}));
    WaitStopped();
    lines.insert(lines.end(), {kWaitingLine, kFinishedLine, kShutdownLine});
    EXPECT_EQ(CollectorLines(), lines);
    EXPECT_TRUE(StoppedAndReleased());
}

INSTANTIATE_TEST_SUITE_P(
    EachWay, ThreadLost,
    ::testing::Values(LostThread{true, true, true}, LostThread{true, false, true},
                      LostThread{false, true, true}, LostThread{false, false, true},
                      LostThread{true, true, false}, LostThread{false, true, false}),
    [](const ::testing::TestParamInfo<LostThread>& way) {
        return std::string(way.param.noManager ? "NoTimerManager" : "NoFirstTimer") +
               (way.param.sized ? "AfterSizing" : "StoppedInTheWait") +
               (way.param.stopped ? "" : "RestartedWithoutStop");
    });

// A Stop() the thread finds at each of its looks before the main loop: as
// it starts, in the registration wait (no DoneInit() yet; no stores either
// way), and once it has made its stores. The first timer is armed and
// cancelled on the way out. Each ends stopped, with everything released,
// and says exactly this much.
enum StopAt { AS_IT_STARTS, IN_THE_REGISTRATION_WAIT, ONCE_SIZED };

class StopBeforeTheMainLoop : public CollectorTest, public ::testing::WithParamInterface<StopAt> {};

TEST_P(StopBeforeTheMainLoop, EndsStoppedAndReleased) {
    const StopAt at = GetParam();
    collector->RegisterEvent("ev", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
    collector->SetTimerManager(Timer());
    if (at != IN_THE_REGISTRATION_WAIT) {
        collector->DoneInit();
        Log().Gate((at == ONCE_SIZED ? kFinishedLine : kWaitingLine).substr(2));
    }
    ASSERT_EQ(collector->Start(), 0);
    ASSERT_TRUE(at == IN_THE_REGISTRATION_WAIT
                    ? WaitUntil([] { return Log().CountContaining("waiting for client") == 1; })
                    : Log().WaitAtGate());
    collector->Stop();
    Log().Gate("");
    ACE_Thread_Manager::instance()->wait();
    std::vector<std::string> lines = {kRegistered, kWaitingLine, kShutdownLine};
    if (at == ONCE_SIZED) {
        lines.insert(lines.begin() + 2, kFinishedLine);
    }
    EXPECT_EQ(CollectorLines(), lines);
    EXPECT_EQ(Timer().CreatedCount(), 1u);
    EXPECT_TRUE(StoppedAndReleased());
}

INSTANTIATE_TEST_SUITE_P(EachLook, StopBeforeTheMainLoop,
                         ::testing::Values(AS_IT_STARTS, IN_THE_REGISTRATION_WAIT, ONCE_SIZED),
                         [](const ::testing::TestParamInfo<StopAt>& at) {
                             return std::string(at.param == AS_IT_STARTS ? "AsItStarts"
                                                : at.param == ONCE_SIZED ? "OnceSized"
                                                                         : "InTheWait");
                         });

// A Stop() while reports wait behind the one in hand: that one is
// processed, the rest released unprocessed. Each processed report of a
// latency end writes its latency line: there are two.
TEST_F(CollectorTest, StopWithReportsLeftInTheBatchProcessesOnlyTheOneInHand) {
    collector->RegisterEvent("done", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT);
    StartCollecting();
    {
        KwMutexGuard hold(DataLock());
        HoldThreadOnReport(0);
        for (int i = 0; i < 6; ++i) {
            ASSERT_EQ(collector->SetEvent(0, 0, nullptr), 0);
        }
        // The thread takes the six together once it is let go, and stops
        // at their trace line, holding no lock.
        Log().Gate("svc: 6 events in waiting list");
    }
    ASSERT_TRUE(Log().WaitAtGate());
    collector->Stop();
    Log().Gate("");
    ACE_Thread_Manager::instance()->wait();
    EXPECT_EQ(Log().CountContaining("svc: event latency [0] = "), 2u);
    EXPECT_TRUE(StoppedAndReleased());
    EXPECT_EQ(Waiting() + SpareNodes(), 0u);
}

TEST_F(CollectorTest, ExitWithoutStopStopsTheThreadAndReleasesEverything) {
    // No thread runs yet, so the child forked here holds the only one.
    EXPECT_EXIT(
        {
            collector->RegisterEvent("ev", 0, STATS_DATA_COUNT);
            StartCollecting();
            for (int i = 0; i < 100; ++i) {
                collector->SetEvent(0, 0, nullptr);
            }
            dlog_set_sink(nullptr, nullptr);
            dlog_set_threshold(6);
            exit(0);
        },
        ::testing::ExitedWithCode(0),
        "<6> KwSrvrStatsCollector.cpp svc: Stats collector is shutting down\\.");
}

// A registration that loses the race with the sizing is refused. Ids are
// dense; counter, rate and water-mark slots are numbered per kind in
// registration order, also by threads registering at once, up to 256 events.
TEST_F(CollectorTest, RegistrationNumbersEventsAndSlotsUpToTheLimit) {
    int result = 0;
    std::thread late;
    {
        KwMutexGuard hold(DataLock());
        late = std::thread([&] { result = collector->RegisterEvent("late", 0, STATS_DATA_COUNT); });
        // Past its first state test, it waits for the lock under which the
        // collection thread sizes the stores and leaves ST_INIT.
        ASSERT_TRUE(WaitUntil([&] { return KwTestMutexWaiters(DataLock()) == 1; }));
        In<ca::State>().store(C::ST_COLLECTING);
    }
    late.join();
    In<ca::State>().store(C::ST_INIT);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(collector->GetMonitoredEventNumber(), 0);
    EXPECT_TRUE(Logged(3,
                       "RegisterEvent: Cannot register a new event for late if the collector "
                       "is not in ST_INIT state"));

    typedef std::tuple<std::string, int, int, int, int, int> Row;  // and count, rate, mark slots
    const Row rows[] = {
        {"rated", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT, 0, 0, -1},
        {"mark", 0, STATS_DATA_WATER_MARK, -1, -1, 0},
        {"end", STATS_FLAG_LATENCY_END, STATS_DATA_COUNT, 1, -1, 1},
        {"markEnd", STATS_FLAG_LATENCY_END, STATS_DATA_WATER_MARK, -1, -1, 2},
        {"startEnd", STATS_FLAG_LATENCY_START | STATS_FLAG_LATENCY_END, 0, 2, -1, 3},
        {"odd", 0, 7, -1, -1, -1},
        {"oddRated", STATS_FLAG_MAX_RATE | 0x100, 9, -1, 1, -1},
        {"rated", 0, STATS_DATA_COUNT, 3, -1, -1},  // same name, another event
    };
    for (int id = 0; id < 8; ++id) {
        const Row& row = rows[id];
        ASSERT_EQ(collector->RegisterEvent(std::get<0>(row).c_str(), std::get<1>(row),
                                           static_cast<StatsDataType>(std::get<2>(row))),
                  id);
        KwSrvrStatsEvent e = Event(id);
        EXPECT_EQ(Row(e.name, e.flags, e.type, e.countSlot, e.rateSlot, e.waterMarkSlot), row);
    }
    EXPECT_TRUE(Logged(7, "RegisterEvent: registered event end as 2"));
    EXPECT_EQ(collector->RegisterEvent(nullptr, 0, STATS_DATA_COUNT), -1);
    EXPECT_TRUE(Logged(3, "RegisterEvent: an event without a name is not to be monitored"));
    EXPECT_EQ(SlotCounts(), std::vector<int>({4, 2, 4}));

    std::atomic<int> refused{0};
    std::vector<std::thread> registrars;
    for (int t = 0; t < 4; ++t) {
        registrars.emplace_back([&, t] {
            for (int i = 0; i < 70; ++i) {
                std::string name = "ev" + std::to_string(t * 70 + i);
                refused += collector->RegisterEvent(name.c_str(), STATS_FLAG_MAX_RATE,
                                                    STATS_DATA_COUNT) < 0;
            }
        });
    }
    for (std::thread& registrar : registrars) {
        registrar.join();
    }
    EXPECT_EQ(refused.load(), 32);  // of 280: ids 8..255 handed out, slots dense
    for (int i = 8; i < 256; ++i) {
        EXPECT_EQ(Event(i).countSlot, i - 4);
    }
    EXPECT_EQ(collector->RegisterEvent("oneTooMany", 0, STATS_DATA_WATER_MARK), -1);
    EXPECT_TRUE(Logged(3,
                       "RegisterEvent: Maximum number of events can be monitored by this "
                       "object has been reached, the event oneTooMany is not to be monitored"));
    EXPECT_EQ(Log().CountContaining("Maximum number of events"), 33u);
    EXPECT_EQ(SlotCounts(), std::vector<int>({252, 250, 4}));
    EXPECT_EQ(collector->GetMonitoredEventNumber(), 256);
}

// One round of registrations racing the sizing, in a child process (a
// fresh collector): two threads register until refused while DoneInit()
// comes. Every id handed out must have its place in the stores: a count, a
// water mark and a peak show in the snapshot. Exits 0, or 3 with the fault.
void RegisterAcrossDoneInit(KwSrvrStatsCollector& c, KwTestTimerMgr& timer) {
    auto fail = [](const char* what, int id) {
        fprintf(stderr, "%s: event %d\n", what, id);
        exit(3);
    };
    c.SetTimerManager(timer);
    if (c.Start() != 0) {
        fail("no start", -1);
    }
    std::vector<std::thread> registrars;
    for (int t = 0; t < 2; ++t) {
        registrars.emplace_back([&c, t] {
            for (int i = 0;; ++i) {
                std::string name = std::to_string(t) + "." + std::to_string(i);
                bool mark = i % 3 == 2;
                if (c.RegisterEvent(name.c_str(), mark ? 0 : STATS_FLAG_MAX_RATE,
                                    mark ? STATS_DATA_WATER_MARK : STATS_DATA_COUNT) < 0) {
                    return;
                }
                std::this_thread::yield();
            }
        });
    }
    WaitUntil([&c] { return c.GetMonitoredEventNumber() >= 4; });
    c.DoneInit();
    for (std::thread& registrar : registrars) {
        registrar.join();
    }
    if (!WaitUntil([&c] { return c.IsRunning(); })) {
        fail("not collecting", -1);
    }
    const int events = c.GetMonitoredEventNumber();
    for (uint32_t id = 0; id < static_cast<uint32_t>(events); ++id) {
        uint32_t value = id + 1;
        c.SetEvent(static_cast<int>(id), sizeof value, &value);
    }
    KwStatsSnapshot snapshot;
    WaitUntil([&] { return c.GetStatsSnapshot(snapshot) && snapshot.waiting == 0; });
    unsigned long created = 1;
    WaitUntil([&] { return timer.CreatedCount() == created; });
    timer.Advance(1000);
    WaitUntil([&] { return timer.CreatedCount() == created + 1; });
    if (!c.GetStatsSnapshot(snapshot) || snapshot.events.size() != static_cast<size_t>(events)) {
        fail("events missing", events);
    }
    for (const KwStatsEventSnapshot& e : snapshot.events) {
        bool fine = e.type == STATS_DATA_WATER_MARK
                        ? e.markValue == static_cast<KwUlong32>(e.id + 1) && !e.rated
                        : e.total == 1 && e.minute == 1 && e.peak == 1;
        if (!fine) {
            fail("figures wrong", e.id);
        }
    }
    exit(0);
}

// Registrations from other threads race the thread's sizing of its stores,
// each round in a child process of its own. Under the sanitizers too, where
// a slot past the stores is a report of its own.
TEST_F(CollectorTest, RegistrationsRacingTheSizingGetSlotsTheStoresCover) {
    GTEST_FLAG_SET(death_test_style, "fast");
    for (int round = 0; round < 40; ++round) {
        EXPECT_EXIT(RegisterAcrossDoneInit(*collector, Timer()), ::testing::ExitedWithCode(0), "")
            << "round " << round;
    }
}

// Host threads submit at full speed and report; what they submit is counted
// exactly. Then they submit, report and reset while roll-ups run, and the
// collector stops under them. Each report of a latency end is traced when
// processed: the trace lines count what was processed, the rest was released
// at the stop (the leak checker of the sanitizer build proves it). Run under
// ThreadSanitizer and AddressSanitizer too.
TEST_F(CollectorTest, StopUnderFullSpeedProducersLosesNothingAccepted) {
    collector->RegisterEvent("done", STATS_FLAG_LATENCY_END | STATS_FLAG_MAX_RATE,
                             STATS_DATA_COUNT);
    collector->RegisterEvent("start", STATS_FLAG_LATENCY_START, STATS_DATA_COUNT);
    collector->RegisterEvent("depth", STATS_FLAG_MAX_RATE, STATS_DATA_WATER_MARK);
    StartCollecting();
    std::atomic<long> accepted{0}, refused{0};
    std::atomic<bool> flood{false}, stopped{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (uint32_t i = t;; ++i) {
                while (i == 15000 && !flood.load()) {
                    std::this_thread::yield();  // a pause, so that roll-ups can run
                }
                int id = static_cast<int>(i % 3);
                if (collector->SetEvent(id, id == 2 ? 4 : 0, &i) != 0) {
                    break;
                }
                accepted += id == 0 ? 1 : 0;
            }
            ++refused;
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; !stopped.load(); ++i) {
            std::string report = collector->GetStatsReport();
            if (flood.load() && i % 50 == 0) {
                collector->Reset();
            }
        }
    });
    // Up to their pause at 15000, the producers submit 9999 of "done" and
    // 10000 of "start".
    ASSERT_TRUE(WaitUntil([&] { return Stats(0).total == 9999 && Stats(1).total == 10000; }));
    RollUps(20);
    long before = accepted.load();
    flood.store(true);
    ASSERT_TRUE(WaitUntil([&] { return accepted.load() > before + 20000; }));
    collector->Stop();
    ASSERT_TRUE(WaitUntil([&] { return refused.load() == 2; }));
    stopped.store(true);
    for (std::thread& thread : threads) {
        thread.join();
    }
    ACE_Thread_Manager::instance()->wait();
    size_t processed = Log().CountContaining("svc: event latency [0] = ");
    EXPECT_GT(processed, 0u);
    EXPECT_LE(processed, static_cast<size_t>(accepted.load()));
    EXPECT_TRUE(Released());
    EXPECT_EQ(Waiting() + SpareNodes(), 0u);
    EXPECT_EQ(collector->GetStatsReport(), "");
}
