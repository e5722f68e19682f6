// A fixture that drives the collector's thread through a manual-clock timer
// manager, and sees the collector's insides that the public interface hides.
#ifndef QEL_TEST_COLLECTOR_HARNESS_H
#define QEL_TEST_COLLECTOR_HARNESS_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CollectorAccess.h"
#include "CountValues.h"
#include "KwMutexGuard.h"
#include "KwReportQueue.h"
#include "KwRingBuffer.h"
#include "KwSrvrStatsCollector.h"
#include "KwSrvrStatsCount.h"
#include "KwStatsCounterTable.h"
#include "KwStatsSnapshot.h"
#include "KwTestMutex.h"
#include "KwTestTimerMgr.h"
#include "KwTimeConvert.h"
#include "KwTimeTracker.h"
#include "LogCapture.h"
#include "PollSleeps.h"
#include "TestTime.h"
#include "ace/Thread_Manager.h"

namespace ca = collector_access;

// The thread's own lines, as CollectorLines() gives them.
const std::string kWaitingLine = "7 svc: data collector waiting for client to finish registration.";
const std::string kFinishedLine = "7 svc: diagnostic data collector initialization has finished .";
const std::string kShutdownLine = "6 svc: Stats collector is shutting down.";

// Each test runs in a process of its own (ctest), so the singleton is fresh.
class CollectorTest : public ::testing::Test {
protected:
    typedef KwSrvrStatsCollector C;

    // Built before the collector, so both outlive it and its thread at exit.
    static LogCapture& Log() {
        static LogCapture capture;
        return capture;
    }
    static KwTestTimerMgr& Timer() {
        static KwTestTimerMgr mgr(KwTestTimerMgr::MANUAL_CLOCK);
        return mgr;
    }

    void SetUp() override {
        Log();
        Timer();
        ShortenPollSleeps(200);
        collector = &C::GetInstance();
    }
    void TearDown() override { WaitStopped(); }

    // The collector's log line `text` at `level` was written `times` times.
    static ::testing::AssertionResult Logged(int level, const std::string& text, size_t times = 1) {
        size_t count = Log().Count(level, "KwSrvrStatsCollector.cpp", text);
        return count == times ? ::testing::AssertionSuccess()
                              : ::testing::AssertionFailure() << "<" << level << "> " << text
                                                              << " logged " << count << " times";
    }

    // Every line the collector logged so far, in order, as "<level> <text>".
    static std::vector<std::string> CollectorLines() {
        std::vector<std::string> lines;
        for (const LogEntry& entry : Log().Entries()) {
            if (entry.file == "KwSrvrStatsCollector.cpp") {
                lines.push_back(std::to_string(entry.level) + " " + entry.text);
            }
        }
        return lines;
    }

    // Hands over the timer manager, starts the thread and waits until it
    // collects with its first timer armed.
    void StartCollecting() {
        collector->SetTimerManager(Timer());
        ASSERT_EQ(collector->Start(), 0);
        collector->DoneInit();
        ASSERT_TRUE(WaitUntil([&] { return collector->IsRunning(); }));
        ASSERT_TRUE(Timer().WaitForCreated(1, 20000));
    }

    // Fires the pending one-second timer `n` times, each time waiting until
    // the roll-up has armed the next one.
    void RollUps(int n) {
        for (int i = 0; i < n; ++i) {
            unsigned long created = Timer().CreatedCount();
            ASSERT_EQ(Timer().Advance(1000), 1u);
            ASSERT_TRUE(Timer().WaitForCreated(created + 1, 20000)) << "roll-up " << i;
        }
    }

    // Event `id` as a snapshot shows it (empty when not collecting).
    KwStatsEventSnapshot Stats(int id) {
        KwStatsSnapshot snapshot;
        collector->GetStatsSnapshot(snapshot);
        return static_cast<size_t>(id) < snapshot.events.size() ? snapshot.events[id]
                                                                : KwStatsEventSnapshot();
    }

    // Submits `n` occurrences of a counted event and waits until they count.
    void Occur(int id, int n) {
        KwUlong32 before = Stats(id).total;
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(collector->SetEvent(id, 0, nullptr), 0);
        }
        ASSERT_TRUE(WaitUntil([&] { return Stats(id).total == before + n; }));
    }

    // Waits until every report queued before this call has been processed:
    // the counted event `marker` is counted only after all of them (FIFO).
    void Flush(int marker) { Occur(marker, 1); }

    // With DataLock() held by the caller: submits one report of `id` and
    // waits until the thread has taken it and stands blocked on the lock.
    void HoldThreadOnReport(int id) {
        ASSERT_EQ(collector->SetEvent(id, 0, nullptr), 0);
        ASSERT_TRUE(WaitUntil([&] { return Waiting() == 0; }));
    }

    // Stops the thread and waits until it has gone.
    void WaitStopped() {
        collector->Stop();
        ACE_Thread_Manager::instance()->wait();
    }

    // A report's text of a time stamp.
    static std::string TimeText(long seconds) {
        KwTimeConvert::KwTimeZones utc = static_cast<KwTimeConvert::KwTimeZones>(0);
        return KwTimeConvert::ConvertUtcTicksToStr(utc, seconds);
    }

    // Line `n` (0 to 2) of the report.
    std::string ReportLine(int n) {
        std::string report = collector->GetStatsReport();
        for (int i = 0; i < n; ++i) {
            report.erase(0, report.find('\n') + 1);
        }
        return report.substr(0, report.find('\n'));
    }

    // The insides. The thread takes DataLock() to process a report: holding
    // it keeps the thread from finishing the report in hand.
    template <class Tag>
    auto& In() {
        return ca::Member<Tag>(*collector);
    }
    KwLinuxMutex& DataLock() { return In<ca::DataLock>(); }
    int State() { return In<ca::State>().load(); }
    unsigned short TimerId() { return In<ca::TimerId>(); }
    size_t Waiting() {
        KwMutexGuard guard(In<ca::QueueLock>());
        return In<ca::WaitingList>().size();
    }
    size_t SpareNodes() { return In<ca::Queue>()->Spares(); }
    KwSrvrStatsEvent Event(int id) {
        KwMutexGuard guard(DataLock());
        return *In<ca::Events>().at(static_cast<size_t>(id));
    }
    // Counter, rate and water-mark slots handed out so far.
    std::vector<int> SlotCounts() {
        KwMutexGuard guard(DataLock());
        return {In<ca::NumCountSlots>(), In<ca::NumRateSlots>(), In<ca::NumWaterMarkSlots>()};
    }
    // Capacities of the minute, hour and day rings.
    std::vector<unsigned int> RingCapacities() {
        KwMutexGuard guard(DataLock());
        return {In<ca::MinuteRing>()->Capacity(), In<ca::HourRing>()->Capacity(),
                In<ca::DayRing>()->Capacity()};
    }
    // Sets a counter's running total and its value at the last roll-up.
    void SetCounter(int countSlot, KwUlong32 value) {
        KwMutexGuard guard(DataLock());
        (*In<ca::CurrentCounts>())[static_cast<unsigned int>(countSlot)] = value;
        (*In<ca::LastRollupCounts>())[static_cast<unsigned int>(countSlot)] = value;
    }
    // The thread is gone as at a stop: it said so once, and released all.
    ::testing::AssertionResult StoppedAndReleased() {
        if (State() != C::ST_STOPPED || !Released()) {
            return ::testing::AssertionFailure() << "state " << State() << ", not all released";
        }
        return Logged(6, kShutdownLine.substr(2));
    }
    // Everything the thread sized is gone, and the timer with it.
    bool Released() {
        KwMutexGuard guard(DataLock());
        return In<ca::MaxRates>() == nullptr && In<ca::WaterMarks>() == nullptr &&
               In<ca::CurrentCounts>() == nullptr && In<ca::LastRollupCounts>() == nullptr &&
               In<ca::MinuteRing>() == nullptr && In<ca::HourRing>() == nullptr &&
               In<ca::DayRing>() == nullptr && In<ca::Events>().empty() &&
               TimerId() == KwTimerMgr::INVALID_TIMER_ID && Timer().PendingCount() == 0 &&
               !Get(ca::TimerExpired())->load();
    }

    // Processes a hand-made report with its own stamp and latency tracker,
    // exactly as the thread processes a queued one.
    void Inject(int eventId, timespec stamp, KwTimeTracker& latency) {
        ca::Message msg;
        msg.eventId = eventId;
        msg.size = 0;
        msg.stamp = stamp;
        KwMutexGuard guard(DataLock());
        (collector->*Get(ca::Process()))(msg, latency);
    }

    C* collector = nullptr;
};

#endif  // QEL_TEST_COLLECTOR_HARNESS_H
