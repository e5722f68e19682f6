// A view of the collector's insides for tests, and a fixture that drives the
// collection thread through a manual-clock timer manager.
#ifndef QEL_TEST_COLLECTOR_HARNESS_H
#define QEL_TEST_COLLECTOR_HARNESS_H

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "CollectorAccess.h"
#include "KwMaxValue.h"
#include "KwMutexGuard.h"
#include "KwRingBuffer.h"
#include "KwSrvrStatsCollector.h"
#include "KwSrvrStatsCount.h"
#include "KwStatsSnapshot.h"
#include "KwTimeTracker.h"
#include "KwTimerMgr.h"
#include "LogCapture.h"
#include "PollSleeps.h"
#include "Wait.h"
#include "ace/Thread_Manager.h"

namespace ca = collector_access;

// The collector's insides that the public interface does not show.
class Peer {
public:
    typedef KwSrvrStatsCollector C;

    static int State(const C& c) { return ca::Member<ca::State>(c).load(); }
    static void SetState(C& c, int state) { ca::Member<ca::State>(c).store(state); }
    static bool TimerExpired() { return Get(ca::TimerExpired())->load(); }
    static unsigned short TimerId(const C& c) { return ca::Member<ca::TimerId>(c); }
    // The lock that the thread takes to process a report: holding it keeps
    // the thread from finishing the report in hand.
    static KwLinuxMutex& DataLock(C& c) { return ca::Member<ca::DataLock>(c); }

    static size_t Waiting(C& c) {
        KwMutexGuard guard(ca::Member<ca::QueueLock>(c));
        return ca::Member<ca::WaitingList>(c).size();
    }
    static size_t SpareNodes(C& c) {
        KwMutexGuard guard(ca::Member<ca::QueueLock>(c));
        return ca::Member<ca::SpareNodes>(c).size();
    }
    static KwSrvrStatsEvent Event(C& c, int id) {
        KwMutexGuard guard(DataLock(c));
        return *ca::Member<ca::Events>(c).at(static_cast<size_t>(id));
    }
    // Counter, rate and water-mark slots handed out so far.
    static std::vector<int> SlotCounts(C& c) {
        KwMutexGuard guard(DataLock(c));
        return {ca::Member<ca::NumCountSlots>(c), ca::Member<ca::NumRateSlots>(c),
                ca::Member<ca::NumWaterMarkSlots>(c)};
    }
    // Capacities of the minute, hour and day rings.
    static std::vector<unsigned int> RingCapacities(C& c) {
        KwMutexGuard guard(DataLock(c));
        return {ca::Member<ca::MinuteRing>(c)->Capacity(), ca::Member<ca::HourRing>(c)->Capacity(),
                ca::Member<ca::DayRing>(c)->Capacity()};
    }
    static bool StoresReleased(C& c) {
        KwMutexGuard guard(DataLock(c));
        return ca::Member<ca::MaxRates>(c) == nullptr && ca::Member<ca::WaterMarks>(c) == nullptr &&
               ca::Member<ca::CurrentCounts>(c) == nullptr &&
               ca::Member<ca::LastRollupCounts>(c) == nullptr &&
               ca::Member<ca::MinuteRing>(c) == nullptr && ca::Member<ca::HourRing>(c) == nullptr &&
               ca::Member<ca::DayRing>(c) == nullptr && ca::Member<ca::Events>(c).empty();
    }

    // Processes a hand-made report with its own stamp and latency tracker,
    // exactly as the collection thread processes a queued one.
    static void Inject(C& c, int eventId, timespec stamp, KwTimeTracker& latency, int size = 0,
                       const void* payload = nullptr) {
        typedef ca::Message Message;
        std::vector<unsigned char> block(sizeof(Message) + static_cast<size_t>(size));
        Message* msg = reinterpret_cast<Message*>(block.data());
        msg->eventId = eventId;
        msg->size = size;
        msg->stamp = stamp;
        if (size > 0) {
            memcpy(msg->payload, payload, static_cast<size_t>(size));
        }
        KwMutexGuard guard(DataLock(c));
        (c.*Get(ca::Process()))(*msg, latency);
    }

    // Sets a counter's running total and its value at the last roll-up.
    static void SetCounter(C& c, int countSlot, KwUlong32 value) {
        KwMutexGuard guard(DataLock(c));
        unsigned int slot = static_cast<unsigned int>(countSlot);
        (*ca::Member<ca::CurrentCounts>(c))[slot] = value;
        (*ca::Member<ca::LastRollupCounts>(c))[slot] = value;
    }
};

// Each test runs in a process of its own (ctest), so the singleton is fresh.
class CollectorTest : public ::testing::Test {
protected:
    // Built before the collector, so both outlive it and its thread at exit.
    static LogCapture& Log() {
        static LogCapture capture;
        return capture;
    }
    static KwTimerMgr& Timer() {
        static KwTimerMgr mgr(KwTimerMgr::MANUAL_CLOCK);
        return mgr;
    }

    void SetUp() override {
        Log();
        Timer();
        ShortenPollSleeps(200);
        collector = &KwSrvrStatsCollector::GetInstance();
    }

    void TearDown() override { WaitStopped(); }

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
        ASSERT_TRUE(WaitUntil([&] { return Peer::Waiting(*collector) == 0; }));
    }

    void WaitStopped() {
        collector->Stop();
        ACE_Thread_Manager::instance()->wait();
    }

    // Line `n` (0 to 2) of the report.
    std::string ReportLine(int n) {
        std::string report = collector->GetStatsReport();
        for (int i = 0; i < n; ++i) {
            report.erase(0, report.find('\n') + 1);
        }
        return report.substr(0, report.find('\n'));
    }

    KwSrvrStatsCollector* collector = nullptr;
};

#endif  // QEL_TEST_COLLECTOR_HARNESS_H
