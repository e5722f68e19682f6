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
#include "KwTimeTracker.h"
#include "KwTimerMgr.h"
#include "LogCapture.h"
#include "PollSleeps.h"
#include "Wait.h"
#include "ace/Thread_Manager.h"

namespace ca = collector_access;

// The collector's insides, as the tests look at them.
class Peer {
public:
    typedef KwSrvrStatsCollector C;

    static int State(const C& c) { return ca::Member<ca::State>(c).load(); }
    static void SetState(C& c, int state) { ca::Member<ca::State>(c).store(state); }
    static bool TimerExpired() { return Get(ca::TimerExpired())->load(); }
    static unsigned short TimerId(const C& c) { return ca::Member<ca::TimerId>(c); }

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
    // The running total of a counter slot, or -1 when there are no stores.
    static long long Total(C& c, int countSlot) {
        KwMutexGuard guard(DataLock(c));
        KwSrvrStatsCount* counts = ca::Member<ca::CurrentCounts>(c);
        if (counts == nullptr) {
            return -1;
        }
        return (*counts)[static_cast<unsigned int>(countSlot)];
    }
    static unsigned long WaterMark(C& c, int slot) {
        KwMutexGuard guard(DataLock(c));
        return ca::Member<ca::WaterMarks>(c)[slot].GetValue();
    }
    static long WaterMarkTicks(C& c, int slot) {
        KwMutexGuard guard(DataLock(c));
        return ca::Member<ca::WaterMarks>(c)[slot].GetTimeTicks();
    }
    static unsigned long MaxRate(C& c, int slot) {
        KwMutexGuard guard(DataLock(c));
        return ca::Member<ca::MaxRates>(c)[slot].GetValue();
    }
    static long MaxRateTicks(C& c, int slot) {
        KwMutexGuard guard(DataLock(c));
        return ca::Member<ca::MaxRates>(c)[slot].GetTimeTicks();
    }
    // Entries held by the minute (0), hour (1) or day (2) ring.
    static unsigned int RingCount(C& c, int which) {
        KwMutexGuard guard(DataLock(c));
        return Ring(c, which)->Count();
    }
    // Element `slot` of the ring entry at `position` (0 = oldest).
    static unsigned long RingEntry(C& c, int which, unsigned int position, unsigned int slot) {
        KwMutexGuard guard(DataLock(c));
        return Ring(c, which)->At(position)[slot];
    }
    static void Positions(C& c, int& seconds, int& minutes) {
        KwMutexGuard guard(DataLock(c));
        seconds = ca::Member<ca::SecondsInMinute>(c);
        minutes = ca::Member<ca::MinutesInHour>(c);
    }
    static bool StoresReleased(C& c) {
        KwMutexGuard guard(DataLock(c));
        return ca::Member<ca::MaxRates>(c) == nullptr && ca::Member<ca::WaterMarks>(c) == nullptr &&
               ca::Member<ca::CurrentCounts>(c) == nullptr &&
               ca::Member<ca::LastRollupCounts>(c) == nullptr &&
               ca::Member<ca::MinuteRing>(c) == nullptr && ca::Member<ca::HourRing>(c) == nullptr &&
               ca::Member<ca::DayRing>(c) == nullptr && ca::Member<ca::Events>(c).empty();
    }

    // The lock that the thread takes to process a report: holding it keeps
    // the thread from finishing the report in hand.
    static KwLinuxMutex& DataLock(C& c) { return ca::Member<ca::DataLock>(c); }

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
        (*ca::Member<ca::CurrentCounts>(c))[static_cast<unsigned int>(countSlot)] = value;
        (*ca::Member<ca::LastRollupCounts>(c))[static_cast<unsigned int>(countSlot)] = value;
    }

private:
    static KwRingBuffer<KwSrvrStatsCount>* Ring(C& c, int which) {
        return which == 0   ? ca::Member<ca::MinuteRing>(c)
               : which == 1 ? ca::Member<ca::HourRing>(c)
                            : ca::Member<ca::DayRing>(c);
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

    void TearDown() override {
        collector->Stop();
        ACE_Thread_Manager::instance()->wait();
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

    // Submits `n` occurrences of a counted event and waits until they count.
    void Occur(int id, int n) {
        int slot = Peer::Event(*collector, id).countSlot;
        long long before = Peer::Total(*collector, slot);
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(collector->SetEvent(id, 0, nullptr), 0);
        }
        ASSERT_TRUE(WaitUntil([&] { return Peer::Total(*collector, slot) == before + n; }));
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

    KwSrvrStatsCollector* collector = nullptr;
};

#endif  // QEL_TEST_COLLECTOR_HARNESS_H
