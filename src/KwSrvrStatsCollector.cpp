#include "KwSrvrStatsCollector.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "KwCollectorTiming.h"
#include "KwLateReports.h"
#include "KwMaxValue.h"
#include "KwMutexGuard.h"
#include "KwReportText.h"
#include "KwRingBuffer.h"
#include "KwSrvrStatsCount.h"
#include "KwStatsCounterCells.h"
#include "KwStatsSnapshot.h"
#include "KwTimeTracker.h"
#include "KwTimerMgr.h"
#include "dlog.h"

namespace {

const char kFile[] = "KwSrvrStatsCollector.cpp";

constexpr int kMaxEvents = 256;
constexpr unsigned int kSecondsPerMinute = 60;
constexpr unsigned int kMinutesPerHour = 60;
constexpr unsigned int kHoursPerDay = 24;
// More waiting reports than this are worth a trace line.
constexpr size_t kBacklogTrace = 5;
// List nodes kept for reuse by SetEvent: enough for the reports of a busy
// poll, few enough (some 32 KiB) that a burst does not keep its peak memory.
constexpr size_t kMaxSpareNodes = 1024;
// Processed reports are released this many at a time: a submitter then
// finds the allocator's freed blocks in runs, instead of contending with the
// collection thread for them after every report, and the blocks are still
// in this thread's cache when it frees them.
constexpr size_t kReleaseEvery = 1024;

// The level of a state refusal: 3 for the first one in the life of the
// process, 7 after it, so a host that keeps calling too early or too late
// does not flood its log.
int NextRefusalLevel(std::atomic<int>& level) {
    return level.exchange(DLOG_DEBUG);
}

}  // namespace

std::atomic<bool> KwSrvrStatsCollector::s_statsTimerExpired{false};
std::atomic<long> KwSrvrStatsCollector::s_timerFiredSec{0};
std::atomic<long> KwSrvrStatsCollector::s_timerFiredNsec{0};

KwSrvrStatsCollector& KwSrvrStatsCollector::GetInstance() {
    static KwSrvrStatsCollector instance;
    return instance;
}

KwSrvrStatsCollector::KwSrvrStatsCollector()
    : ACE_Task_Base(nullptr),
      m_keepRunning(false),
      m_initDone(false),
      m_timerMgr(nullptr),
      m_numCountSlots(0),
      m_numRateSlots(0),
      m_numWaterMarkSlots(0),
      m_eventCount(0),
      m_secondsInMinute(0),
      m_minutesInHour(0),
      m_maxRates(nullptr),
      m_waterMarks(nullptr),
      m_currentCounts(nullptr),
      m_lastRollupCounts(nullptr),
      m_minuteRing(nullptr),
      m_hourRing(nullptr),
      m_dayRing(nullptr),
      m_timerId(KwTimerMgr::INVALID_TIMER_ID),
      m_waitingCount(0),
      m_inHand(0),
      m_held(0),
      m_lastRollupAt(0),
      m_resets(0),
      m_counterCells(),
      m_state(ST_INIT),
      m_threadRunning(false),
      m_waitingBound(0),
      m_timelyRollup(false),
      m_refusedNoThread(0),
      m_refusedFull(0) {}

KwSrvrStatsCollector::~KwSrvrStatsCollector() {
    // A host that exits without waiting for the collection thread would
    // leave it running on a destroyed object: stop it and join it here, so
    // that it releases everything through its own exit path first.
    if (thr_count() > 0) {
        m_keepRunning.store(false);
        wait();
    }
    // Whatever a thread that left early (or never ran) did not release:
    // event records, stores made before a missing timer manager was noticed.
    Cleanup();
    KwMutexGuard guard(m_dataLock);
    for (KwStatsCounterCells*& cells : m_counterCells) {
        delete cells;
        cells = nullptr;
    }
}

int KwSrvrStatsCollector::SetTimerManager(KwTimerMgr& mgr) {
    KwTimerMgr* none = nullptr;
    if (m_timerMgr.compare_exchange_strong(none, &mgr)) {
        return 1;
    }
    __dlog_printf(DLOG_ERR, kFile,
                  "%s: The collector has a timer manager set.The new timer manager will be ignored",
                  "SetTimerManager");
    return 0;
}

int KwSrvrStatsCollector::Start() {
    m_keepRunning.store(true);
    return activate();
}

void KwSrvrStatsCollector::Stop() {
    m_keepRunning.store(false);
}

bool KwSrvrStatsCollector::IsRunning() const {
    return m_state.load() == ST_COLLECTING;
}

void KwSrvrStatsCollector::DoneInit() {
    m_initDone.store(true);
}

int KwSrvrStatsCollector::GetMonitoredEventNumber() const {
    return m_eventCount.load();
}

void KwSrvrStatsCollector::DiagDataCollectTimerCb(unsigned short, void*) {
    // When the second closed, for a timely roll-up; stored before the flag
    // is raised, and read only while it is up (the next timer does not
    // exist yet), so the two halves are never torn.
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        now.tv_sec = 0;
        now.tv_nsec = 0;
    }
    s_timerFiredSec.store(static_cast<long>(now.tv_sec), std::memory_order_relaxed);
    s_timerFiredNsec.store(now.tv_nsec, std::memory_order_relaxed);
    s_statsTimerExpired.store(true);
}

// ---------------------------------------------------------------------------
// Registration

void KwSrvrStatsCollector::RefuseRegistration(const char* name) const {
    static std::atomic<int> level{DLOG_ERR};
    __dlog_printf(NextRefusalLevel(level), kFile,
                  "%s: Cannot register a new event for %s if the collector is not in ST_INIT "
                  "state",
                  "RegisterEvent", name != nullptr ? name : "(null)");
}

int KwSrvrStatsCollector::RegisterEvent(const char* name, int flags, StatsDataType type) {
    if (m_state.load() != ST_INIT) {
        RefuseRegistration(name);
        return -1;
    }
    if (name == nullptr) {
        __dlog_printf(DLOG_ERR, kFile, "%s: an event without a name is not to be monitored",
                      "RegisterEvent");
        return -1;
    }
    KwMutexGuard guard(m_dataLock);
    // Tested again under the lock: the collection thread sizes its stores
    // and leaves ST_INIT under this lock, so no registration slips in after
    // the stores were sized.
    if (m_state.load() != ST_INIT) {
        RefuseRegistration(name);
        return -1;
    }
    int id = static_cast<int>(m_events.size());
    if (id > kMaxEvents - 1) {
        __dlog_printf(DLOG_ERR, kFile,
                      "%s: Maximum number of events can be monitored by this object has been "
                      "reached, the event %s is not to be monitored",
                      "RegisterEvent", name);
        return -1;
    }
    bool counted = type == STATS_DATA_COUNT;
    bool rated = (flags & STATS_FLAG_MAX_RATE) != 0;
    bool marked =
        (counted && (flags & STATS_FLAG_LATENCY_END) != 0) || type == STATS_DATA_WATER_MARK;
    std::unique_ptr<KwSrvrStatsEvent> event(
        new KwSrvrStatsEvent{type, flags, name, counted ? m_numCountSlots : -1,
                             rated ? m_numRateSlots : -1, marked ? m_numWaterMarkSlots : -1});
    m_events.push_back(event.get());
    event.release();
    // Slots are committed only once the record is in place, so a failed
    // allocation above leaves the numbering untouched.
    m_numCountSlots += counted ? 1 : 0;
    m_numRateSlots += rated ? 1 : 0;
    m_numWaterMarkSlots += marked ? 1 : 0;
    m_eventCount.store(id + 1);
    __dlog_printf(DLOG_DEBUG, kFile, "%s: registered event %s as %d", "RegisterEvent", name, id);
    return id;
}

// ---------------------------------------------------------------------------
// Submission

void KwSrvrStatsCollector::RefuseSubmission(int eventId) const {
    static std::atomic<int> level{DLOG_ERR};
    __dlog_printf(NextRefusalLevel(level), kFile,
                  "%s: Tried to enter data %d when the stats collector is not in collecting state",
                  "SetEvent", eventId);
}

int KwSrvrStatsCollector::RefuseNoThread(int eventId) {
    static std::atomic<int> level{DLOG_ERR};
    m_refusedNoThread.fetch_add(1, std::memory_order_relaxed);
    __dlog_printf(NextRefusalLevel(level), kFile,
                  "%s: Tried to enter data %d when no collection thread runs", "SetEvent", eventId);
    return -1;
}

int KwSrvrStatsCollector::RefuseFull(int eventId, size_t waiting) {
    static std::atomic<int> level{DLOG_ERR};
    m_refusedFull.fetch_add(1, std::memory_order_relaxed);
    __dlog_printf(NextRefusalLevel(level), kFile,
                  "%s: Tried to enter data %d when %lu reports wait, the bound of the waiting list",
                  "SetEvent", eventId, static_cast<unsigned long>(waiting));
    return -1;
}

int KwSrvrStatsCollector::SetWaitingListBound(unsigned int maxReports) {
    if (m_state.load() != ST_INIT) {
        __dlog_printf(DLOG_ERR, kFile,
                      "%s: The waiting list can be bounded only in ST_INIT state; it stays at %u",
                      "SetWaitingListBound", m_waitingBound.load());
        return 0;
    }
    m_waitingBound.store(maxReports);
    return 1;
}

int KwSrvrStatsCollector::SetTimelyRollup(bool on) {
    if (m_state.load() != ST_INIT) {
        __dlog_printf(DLOG_ERR, kFile,
                      "%s: The timely roll-up can be set only in ST_INIT state; it stays %s",
                      "SetTimelyRollup", m_timelyRollup.load() ? "on" : "off");
        return 0;
    }
    m_timelyRollup.store(on);
    return 1;
}

// With `onList` reports on the list, whether the reports held are at their
// bound: those on the list, and those the collection thread has taken and
// not yet released. Its count is read only when a bound is set, so an
// unbounded submission touches nothing that thread writes.
bool KwSrvrStatsCollector::Full(size_t onList) const {
    unsigned int bound = m_waitingBound.load(std::memory_order_relaxed);
    return bound != 0 && onList + m_held.load(std::memory_order_relaxed) >= bound;
}

int KwSrvrStatsCollector::SetEvent(int eventId, int size, const void* data) {
    if (m_state.load() != ST_COLLECTING) {
        RefuseSubmission(eventId);
        return -1;
    }
    // After an early return of the thread nothing would ever drain the list.
    if (!m_threadRunning.load()) {
        return RefuseNoThread(eventId);
    }
    if (eventId < 0 || eventId >= GetMonitoredEventNumber()) {
        __dlog_printf(DLOG_ERR, kFile, "%s: Tried to set an unrecognized event %d.", "SetEvent",
                      eventId);
        return -1;
    }
    if (size < 0 || (size > 0 && data == nullptr)) {
        __dlog_printf(DLOG_ERR, kFile,
                      "%s: Tried to enter data %d with an invalid payload (%d bytes at %p).",
                      "SetEvent", eventId, size, data);
        return -1;
    }
    // Tested again under the lock; this first test spares a full list the
    // allocation.
    if (m_waitingBound.load(std::memory_order_relaxed) != 0) {
        size_t onList = m_waitingCount.load(std::memory_order_relaxed);
        if (Full(onList)) {
            return RefuseFull(eventId, onList + m_held.load(std::memory_order_relaxed));
        }
    }
    KwStatsDataMsgStruct* msg = static_cast<KwStatsDataMsgStruct*>(
        malloc(sizeof(KwStatsDataMsgStruct) + static_cast<size_t>(size)));
    if (msg == nullptr) {
        __dlog_printf(DLOG_ERR, kFile, "%s: allocate memory failed", "SetEvent");
        return -1;
    }
    msg->eventId = eventId;
    msg->size = size;
    if (clock_gettime(CLOCK_MONOTONIC, &msg->stamp) != 0) {
        __dlog_printf(DLOG_ERR, kFile,
                      "%s: eventId = %d call clock_gettime CLOCK_MONOTONIC failed: %s", "SetEvent",
                      eventId, strerror(errno));
        msg->stamp.tv_sec = 0;
        msg->stamp.tv_nsec = 0;
    }
    if (size > 0) {
        memcpy(msg->payload, data, static_cast<size_t>(size));
    }
    // A list node emptied by the collection thread is reused, so a
    // submission allocates only its message. Should there be none, one is
    // made outside the lock: a critical section never allocates.
    std::list<KwStatsDataMsgStruct*> made;
    size_t waiting = 0;
    bool noThread = false;
    for (;;) {
        {
            KwMutexGuard guard(m_queueLock);
            // The exit path leaves ST_COLLECTING before it empties the list
            // under this lock: a report that passed the first test just
            // before that is either appended before the list is emptied (and
            // released there) or refused here.
            if (m_state.load() != ST_COLLECTING) {
                break;
            }
            // The thread closes this door under the lock when it gives up.
            if (!m_threadRunning.load()) {
                noThread = true;
                break;
            }
            if (Full(m_waitingList.size())) {
                waiting = m_waitingList.size() + m_held.load(std::memory_order_relaxed);
                break;
            }
            std::list<KwStatsDataMsgStruct*>& nodes = made.empty() ? m_spareNodes : made;
            if (!nodes.empty()) {
                nodes.front() = msg;
                m_waitingList.splice(m_waitingList.end(), nodes, nodes.begin());
                m_waitingCount.store(m_waitingList.size(), std::memory_order_relaxed);
                return 0;
            }
        }
        try {
            made.push_back(nullptr);
        } catch (const std::bad_alloc&) {
            free(msg);
            __dlog_printf(DLOG_ERR, kFile, "%s: allocate memory failed", "SetEvent");
            return -1;
        }
    }
    free(msg);
    if (noThread) {
        return RefuseNoThread(eventId);
    }
    if (waiting != 0) {
        return RefuseFull(eventId, waiting);
    }
    RefuseSubmission(eventId);
    return -1;
}

// ---------------------------------------------------------------------------
// Collection thread

int KwSrvrStatsCollector::svc() {
    // Set for as long as this thread runs: submissions are refused once it
    // has gone, whichever way it left.
    m_threadRunning.store(true);
    int result = Run();
    m_threadRunning.store(false);
    return result;
}

int KwSrvrStatsCollector::Run() {
    __dlog_printf(DLOG_DEBUG, kFile,
                  "%s: data collector waiting for client to finish registration.", "svc");
    bool sized = false;
    SlotCounts slots{0, 0, 0};
    if (m_keepRunning.load()) {
        bool ready = true;
        while (!m_initDone.load()) {
            usleep(kPollUs);
            if (!m_keepRunning.load()) {
                ready = false;
                break;
            }
        }
        if (ready) {
            if (!MakeStores(slots)) {
                // Without stores there is nothing to collect into: the
                // collector stops, and says so.
                __dlog_printf(DLOG_ERR, kFile,
                              "%s: allocate memory failed, the stores were not made", "svc");
                return ExitPath(1);
            }
            sized = true;
            __dlog_printf(DLOG_DEBUG, kFile,
                          "%s: diagnostic data collector initialization has finished .", "svc");
        }
    }
    KwTimerMgr* timerMgr = m_timerMgr.load();
    if (timerMgr == nullptr) {
        __dlog_printf(DLOG_ERR, kFile, "%s: No timer manager to run the stats collector, exit",
                      "svc");
        return GiveUp(sized);
    }
    m_timerId = timerMgr->CreateTimer(kRollupPeriodMs, DiagDataCollectTimerCb, nullptr, nullptr);
    if (m_timerId == KwTimerMgr::INVALID_TIMER_ID) {
        __dlog_printf(DLOG_ERR, kFile,
                      "%s: create periodic diagnostic data collection timer failed, exit", "svc");
        return GiveUp(sized);
    }
    // One latency reference for all events; until a start event arrives it
    // is the moment the first timer was armed.
    KwTimeTracker latency;
    int result = 0;
    // A Start() racing a Stop() during the registration wait can raise the
    // run flag again after the stores were skipped: without stores there is
    // nothing to collect into, so the thread leaves as stopped.
    if (m_keepRunning.load() && sized) {
        result = CollectUntilStopped(latency, static_cast<unsigned int>(slots.count));
    }
    return ExitPath(result);
}

// The statistics stores, made together outside the data lock and handed
// over whole.
struct KwSrvrStatsCollector::Stores {
    typedef KwRingBuffer<KwSrvrStatsCount> Ring;
    std::unique_ptr<KwMaxValue[]> maxRates, waterMarks;
    std::unique_ptr<KwSrvrStatsCount> currentCounts, lastRollupCounts;
    std::unique_ptr<Ring> minuteRing, hourRing, dayRing;

    // False when memory ran out; nothing is kept then.
    bool Make(const SlotCounts& slots) {
        unsigned int dimension = static_cast<unsigned int>(slots.count);
        try {
            maxRates.reset(new KwMaxValue[slots.rate]);
            waterMarks.reset(new KwMaxValue[slots.waterMark]);
            currentCounts.reset(new KwSrvrStatsCount(dimension));
            lastRollupCounts.reset(new KwSrvrStatsCount(dimension));
            minuteRing.reset(new Ring(kSecondsPerMinute, dimension, true));
            hourRing.reset(new Ring(kMinutesPerHour, dimension, true));
            dayRing.reset(new Ring(kHoursPerDay, dimension, true));
        } catch (const std::bad_alloc&) {
            *this = Stores();
            return false;
        }
        return true;
    }
};

KwSrvrStatsCollector::SlotCounts KwSrvrStatsCollector::CurrentSlotCounts() const {
    return SlotCounts{m_numCountSlots, m_numRateSlots, m_numWaterMarkSlots};
}

bool KwSrvrStatsCollector::MakeStores(SlotCounts& made) {
    // The stores are made without the lock and handed over under it, in the
    // step that leaves ST_INIT. A registration that slipped in between
    // (after DoneInit(), against the host's promise) moved the slot counts:
    // the stores are then made again, so every slot handed out has its
    // place. At most 256 registrations can come, so this ends.
    Stores stores;
    for (;;) {
        {
            KwMutexGuard guard(m_dataLock);
            made = CurrentSlotCounts();
        }
        if (!stores.Make(made)) {
            return false;
        }
        KwMutexGuard guard(m_dataLock);
        if (!(CurrentSlotCounts() == made)) {
            continue;
        }
        // A thread that gave up before left its stores in place: they are
        // exchanged for the new ones and released after the lock.
        Swap(stores);
        m_lastRollupAt = 0;
        m_state.store(ST_COLLECTING);
        OpenCounters(true);
        return true;
    }
}

void KwSrvrStatsCollector::Swap(Stores& stores) {
    stores.maxRates.reset(std::exchange(m_maxRates, stores.maxRates.release()));
    stores.waterMarks.reset(std::exchange(m_waterMarks, stores.waterMarks.release()));
    stores.currentCounts.reset(std::exchange(m_currentCounts, stores.currentCounts.release()));
    stores.lastRollupCounts.reset(
        std::exchange(m_lastRollupCounts, stores.lastRollupCounts.release()));
    stores.minuteRing.reset(std::exchange(m_minuteRing, stores.minuteRing.release()));
    stores.hourRing.reset(std::exchange(m_hourRing, stores.hourRing.release()));
    stores.dayRing.reset(std::exchange(m_dayRing, stores.dayRing.release()));
}

int KwSrvrStatsCollector::GiveUp(bool sized) {
    // The door closes under the queue lock, where SetEvent looks at the flag
    // before it appends: nothing is accepted from here on. What was
    // accepted before (between the sizing and now) is counted on the way
    // out, as it would have been; the stores stay, as does the state.
    std::list<KwStatsDataMsgStruct*> accepted;
    {
        KwMutexGuard guard(m_queueLock);
        m_threadRunning.store(false);
        accepted.swap(m_waitingList);
        m_waitingCount.store(0, std::memory_order_relaxed);
    }
    {
        KwMutexGuard guard(m_dataLock);
        OpenCounters(false);
    }
    if (sized && !accepted.empty()) {
        KwTimeTracker latency;
        for (KwStatsDataMsgStruct* msg : accepted) {
            KwMutexGuard guard(m_dataLock);
            Process(*msg, latency);
        }
    }
    for (KwStatsDataMsgStruct* msg : accepted) {
        free(msg);
    }
    return 1;
}

// The reports the collection thread has taken off the list:
// [begin, next) processed and not yet released, [next, end) in hand.
struct KwSrvrStatsCollector::Batch {
    std::list<KwStatsDataMsgStruct*> reports;
    std::list<KwStatsDataMsgStruct*>::iterator next = reports.end();
    size_t inHand = 0;
    size_t processed = 0;
    // Nodes of released reports, on their way back to the submitters.
    std::list<KwStatsDataMsgStruct*> emptied;

    void Release() {
        KwSrvrStatsCollector::Release(reports, next, emptied);
        processed = 0;
    }
};

int KwSrvrStatsCollector::CollectUntilStopped(KwTimeTracker& latency, unsigned int dimension) {
    // Reports are taken off the shared list a batch at a time, so that the
    // submitters meet the collection thread on m_queueLock once per batch
    // rather than once per report; they are still processed one at a time,
    // oldest first, and a pass counts what waits in the batch and the list.
    // Processed reports are released together (kReleaseEvery), and the
    // nodes that held them go back to the submitters with the next take.
    Batch batch;
    // Timely, the second closes as soon as its timer fires, whatever waits.
    const bool timely = m_timelyRollup.load();
    KwLateReports late;
    int result = 0;
    for (;;) {
        bool running = m_keepRunning.load();
        if (timely && running && s_statsTimerExpired.load()) {
            if (!TimelyRollUp(dimension, late)) {
                result = 1;
                break;
            }
            continue;
        }
        size_t waiting;
        if (batch.inHand == 0) {
            batch.Release();
            {
                KwMutexGuard guard(m_queueLock);
                batch.reports.swap(m_waitingList);
                // Both under the lock, so that a submission that tests the
                // bound sees the reports either on the list or in hand.
                m_inHand.store(batch.reports.size(), std::memory_order_relaxed);
                m_held.store(batch.reports.size(), std::memory_order_relaxed);
                m_waitingCount.store(0, std::memory_order_relaxed);
                // Neither list exceeds the bound: keep both when they fit
                // together, else the longer one.
                if (m_spareNodes.size() + batch.emptied.size() <= kMaxSpareNodes) {
                    m_spareNodes.splice(m_spareNodes.end(), batch.emptied);
                } else if (m_spareNodes.size() < batch.emptied.size()) {
                    m_spareNodes.swap(batch.emptied);
                }
            }
            batch.emptied.clear();  // what the spares have no room for
            batch.next = batch.reports.begin();
            batch.inHand = batch.reports.size();
            waiting = batch.inHand;
        } else {
            waiting = batch.inHand + m_waitingCount.load(std::memory_order_relaxed);
        }
        if (waiting > kBacklogTrace) {
            __dlog_printf(DLOG_DEBUG, kFile, "%s: %d events in waiting list", "svc",
                          static_cast<int>(waiting));
        }
        if (batch.inHand > 0) {
            {
                KwMutexGuard guard(m_dataLock);
                if (timely) {
                    ProcessTimely(**batch.next, latency, late);
                } else {
                    Process(**batch.next, latency);
                }
            }
            ++batch.next;
            --batch.inHand;
            m_inHand.store(batch.inHand, std::memory_order_relaxed);
            if (++batch.processed == kReleaseEvery) {
                batch.Release();
                m_held.store(batch.inHand, std::memory_order_relaxed);
            }
        }
        size_t left = waiting > 0 ? waiting - 1 : 0;
        running = m_keepRunning.load();
        if (left > 0 && running) {
            continue;
        }
        if (running && s_statsTimerExpired.load()) {
            // Reports that arrived while the batch was worked off belong to
            // the second that is closing: count them before it closes.
            bool arrived;
            {
                KwMutexGuard guard(m_queueLock);
                arrived = !m_waitingList.empty();
            }
            if (arrived) {
                continue;
            }
            if (!RollUp(dimension)) {
                result = 1;
                break;
            }
        } else {
            if (late.peaksDue) {
                KwMutexGuard guard(m_dataLock);
                SettleLatePeaks(late);
            }
            usleep(kPollUs);
        }
        if (!m_keepRunning.load()) {
            break;
        }
    }
    // Reports not processed go back to the front of the list, in order,
    // where the exit path releases them with the rest.
    batch.Release();
    KwMutexGuard guard(m_queueLock);
    m_waitingList.splice(m_waitingList.begin(), batch.reports);
    m_inHand.store(0, std::memory_order_relaxed);
    m_held.store(0, std::memory_order_relaxed);
    m_waitingCount.store(m_waitingList.size(), std::memory_order_relaxed);
    return result;
}

void KwSrvrStatsCollector::Release(std::list<KwStatsDataMsgStruct*>& batch,
                                   std::list<KwStatsDataMsgStruct*>::iterator processedEnd,
                                   std::list<KwStatsDataMsgStruct*>& emptied) {
    // The messages; then their nodes, kept for reuse up to the bound and
    // released beyond it. Moving a range relinks only its ends, so the
    // nodes' lines stay as the submitters left them.
    size_t room = kMaxSpareNodes - std::min(emptied.size(), kMaxSpareNodes);
    std::list<KwStatsDataMsgStruct*>::iterator keepEnd = batch.begin();
    size_t kept = 0;
    for (auto it = batch.begin(); it != processedEnd; ++it) {
        free(*it);
        if (kept < room) {
            ++kept;
            keepEnd = std::next(it);
        }
    }
    emptied.splice(emptied.end(), batch, batch.begin(), keepEnd);
    batch.erase(batch.begin(), processedEnd);
}

void KwSrvrStatsCollector::Process(const KwStatsDataMsgStruct& msg, KwTimeTracker& latency) {
    if (msg.eventId < 0 || static_cast<size_t>(msg.eventId) >= m_events.size()) {
        __dlog_printf(DLOG_ERR, kFile, "%s: unregistered stats data %d received.", "svc",
                      msg.eventId);
        return;
    }
    const KwSrvrStatsEvent& event = *m_events[static_cast<size_t>(msg.eventId)];
    if (event.type == STATS_DATA_COUNT) {
        if (event.countSlot == -1) {
            return;
        }
        ++(*m_currentCounts)[static_cast<unsigned int>(event.countSlot)];
        timespec stamp = msg.stamp;
        if ((event.flags & STATS_FLAG_LATENCY_START) != 0) {
            latency.Set(stamp);
        } else if ((event.flags & STATS_FLAG_LATENCY_END) != 0 && event.waterMarkSlot != -1) {
            KwLong32 tenths = latency.GetElapsedTenthms(stamp);
            if (tenths > 0) {
                m_waterMarks[event.waterMarkSlot].UpdateIfLarger(static_cast<KwUlong32>(tenths));
            }
            __dlog_printf(DLOG_DEBUG, kFile, "%s: event latency [%d] = %ld", "svc", msg.eventId,
                          static_cast<long>(tenths));
        }
    } else if (event.type == STATS_DATA_WATER_MARK) {
        if (event.waterMarkSlot == -1) {
            return;
        }
        if (msg.size != 4) {
            __dlog_printf(DLOG_ERR, kFile,
                          "%s: incorrect size = %d for water-mark value received, id = %d", "svc",
                          msg.size, msg.eventId);
            return;
        }
        uint32_t value;
        memcpy(&value, msg.payload, sizeof value);
        m_waterMarks[event.waterMarkSlot].UpdateIfLarger(value);
    }
}

bool KwSrvrStatsCollector::RollUp(unsigned int dimension) {
    int closed;
    if (FoldSecond(dimension, closed)) {
        // Cleared before the next timer exists, so its expiry cannot be lost.
        s_statsTimerExpired.store(false);
        if (!ArmNextTimer(kRollupPeriodMs)) {
            return false;
        }
    }
    usleep(kPollUs);
    return true;
}

bool KwSrvrStatsCollector::FoldSecond(unsigned int dimension, int& closed) {
    // The temporaries (the period sum only when a minute closes; this thread
    // alone moves m_secondsInMinute) are made before the lock, so the store
    // work under it allocates nothing and is never left half done. Without
    // memory for them the roll-up waits for the next pass: the second grows
    // longer. `dimension` is that of the stores, as this thread made them.
    const bool minuteCloses = m_secondsInMinute + 1 >= static_cast<int>(kSecondsPerMinute);
    std::optional<KwSrvrStatsCount> second, period;
    try {
        second.emplace(dimension);
        if (minuteCloses) {
            period.emplace(dimension);
        }
    } catch (const std::bad_alloc&) {
        __dlog_printf(DLOG_ERR, kFile, "%s: allocate memory failed, the roll-up waits", "svc");
        return false;
    }
    closed = 0;
    KwMutexGuard guard(m_dataLock);
    GatherCounters();
    *second = *m_currentCounts;
    *second -= *m_lastRollupCounts;
    *m_lastRollupCounts = *m_currentCounts;
    m_minuteRing->PushHead(*second);
    UpdatePeaks(*second);
    ++m_secondsInMinute;
    if (minuteCloses) {
        closed = 1;
        m_secondsInMinute = 0;
        m_minuteRing->GetSum(*period);
        m_hourRing->PushHead(*period);
        if (++m_minutesInHour > static_cast<int>(kMinutesPerHour) - 1) {
            closed = 2;
            m_minutesInHour = 0;
            m_hourRing->GetSum(*period);
            m_dayRing->PushHead(*period);
        }
    }
    // Should the wall clock be unreadable, the time stays where it was:
    // a roll-up that cannot be dated looks late rather than on time.
    timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) == 0) {
        m_lastRollupAt = static_cast<KwLong32>(now.tv_sec);
    }
    return true;
}

void KwSrvrStatsCollector::UpdatePeaks(KwSrvrStatsCount& second) {
    for (const KwSrvrStatsEvent* event : m_events) {
        // An event without a counter (a water mark registered with
        // STATS_FLAG_MAX_RATE) has no per-second count: its peak stays
        // empty and the report shows it as "0,-".
        if ((event->flags & STATS_FLAG_MAX_RATE) != 0 && event->rateSlot != -1 &&
            event->countSlot != -1) {
            m_maxRates[event->rateSlot].UpdateIfLarger(
                second[static_cast<unsigned int>(event->countSlot)]);
        }
    }
}

bool KwSrvrStatsCollector::ArmNextTimer(unsigned long timeoutMs) {
    m_timerId = m_timerMgr.load()->CreateTimer(timeoutMs, DiagDataCollectTimerCb, nullptr, nullptr);
    if (m_timerId == KwTimerMgr::INVALID_TIMER_ID) {
        __dlog_printf(DLOG_ERR, kFile, "%s: Data collector is stopping due to CreateTimer failure.",
                      "svc");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Shutdown

int KwSrvrStatsCollector::ExitPath(int result) {
    m_state.store(ST_STOPPED);
    if (m_timerId != KwTimerMgr::INVALID_TIMER_ID) {
        m_timerMgr.load()->CancelTimer(m_timerId);
        s_statsTimerExpired.store(false);
        m_timerId = KwTimerMgr::INVALID_TIMER_ID;
    }
    Cleanup();
    __dlog_printf(DLOG_INFO, kFile, "%s: Stats collector is shutting down.", "svc");
    return result;
}

void KwSrvrStatsCollector::Cleanup() {
    // Each lock is held while what it guards is released, so a report,
    // reset or submission that passed its state test just before the switch
    // to ST_STOPPED never touches released memory. The stores are set to
    // null so that such a late caller finds nothing to work on.
    {
        KwMutexGuard guard(m_dataLock);
        OpenCounters(false);
        Stores released;
        Swap(released);
        for (KwSrvrStatsEvent* event : m_events) {
            delete event;
        }
        m_events.clear();
        m_eventCount.store(0);
    }
    std::list<KwStatsDataMsgStruct*> dropped;
    std::list<KwStatsDataMsgStruct*> spare;
    {
        KwMutexGuard guard(m_queueLock);
        dropped.swap(m_waitingList);
        spare.swap(m_spareNodes);
        m_waitingCount.store(0, std::memory_order_relaxed);
        m_inHand.store(0, std::memory_order_relaxed);
        m_held.store(0, std::memory_order_relaxed);
    }
    for (KwStatsDataMsgStruct* msg : dropped) {
        free(msg);
    }
}

// ---------------------------------------------------------------------------
// Reset and report

void KwSrvrStatsCollector::Reset() {
    if (!IsRunning()) {
        __dlog_printf(DLOG_ERR, kFile, "%s: call Reset before it has complete initialization.",
                      "Reset");
        return;
    }
    __dlog_printf(DLOG_DEBUG, kFile, "%s: Reset Stats data occurred", "Reset");
    KwMutexGuard guard(m_dataLock);
    ++m_resets;
    if (m_currentCounts != nullptr) {
        GatherCounters();  // what counters added so far is cleared with the rest
    }
    if (m_maxRates != nullptr) {
        for (int i = 0; i < m_numRateSlots; ++i) {
            m_maxRates[i].Reset();
        }
    }
    if (m_waterMarks != nullptr) {
        for (int i = 0; i < m_numWaterMarkSlots; ++i) {
            m_waterMarks[i].Reset();
        }
    }
    if (m_currentCounts != nullptr) {
        m_currentCounts->Reset();
    }
    if (m_lastRollupCounts != nullptr) {
        m_lastRollupCounts->Reset();
    }
    for (KwRingBuffer<KwSrvrStatsCount>* ring : {m_minuteRing, m_hourRing, m_dayRing}) {
        if (ring != nullptr) {
            ring->Reset();
        }
    }
}

bool KwSrvrStatsCollector::ReadyForOutput(const char* method,
                                          std::atomic<int>* refusalLevel) const {
    int state = m_state.load();
    if (state == ST_COLLECTING && m_minuteRing != nullptr && m_hourRing != nullptr &&
        m_dayRing != nullptr) {
        return true;
    }
    int level = refusalLevel != nullptr ? NextRefusalLevel(*refusalLevel) : DLOG_WARNING;
    __dlog_printf(level, kFile, "%s: empty report generated (%i, %p, %p, %p).", method, state,
                  static_cast<const void*>(m_minuteRing), static_cast<const void*>(m_hourRing),
                  static_cast<const void*>(m_dayRing));
    return false;
}

std::string KwSrvrStatsCollector::GetStatsReport() const {
    // The report is the text of a snapshot without histories: one walk of
    // the statistics serves both, and the records are formatted after the
    // data lock is released, so the collection thread does not wait for them.
    KwStatsSnapshot snapshot;
    // Its warning is written at level 4 every time, as the report always has.
    FillSnapshot(snapshot, false, "GetStatsReport", nullptr);
    return KwStatsReportText(snapshot);
}

bool KwSrvrStatsCollector::GetStatsSnapshot(KwStatsSnapshot& out) const {
    // Exporters and status pages ask on every scrape: a collector that is
    // not collecting says so at level 3 once, then at level 7.
    static std::atomic<int> level{DLOG_ERR};
    return FillSnapshot(out, true, "GetStatsSnapshot", &level);
}

bool KwSrvrStatsCollector::FillSnapshot(KwStatsSnapshot& out, bool withHistories,
                                        const char* method, std::atomic<int>* refusalLevel) const {
    out = KwStatsSnapshot();
    timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        now.tv_sec = 0;  // unreadable: the epoch, as a peak's stamp
    }
    out.takenAt = static_cast<KwLong32>(now.tv_sec);
    KwMutexGuard guard(m_dataLock);
    out.state = m_state.load();
    out.collectionThread = m_threadRunning.load();
    out.waitingBound = m_waitingBound.load();
    out.refusedNoThread = m_refusedNoThread.load(std::memory_order_relaxed);
    out.refusedFull = m_refusedFull.load(std::memory_order_relaxed);
    for (const KwStatsCounterCells* cells : m_counterCells) {
        if (cells != nullptr) {
            out.refusedByCounters += cells->refused.load(std::memory_order_relaxed);
        }
    }
    if (!ReadyForOutput(method, refusalLevel)) {
        return false;
    }
    GatherCounters();
    out.waiting =
        m_waitingCount.load(std::memory_order_relaxed) + m_inHand.load(std::memory_order_relaxed);
    out.lastRollupAt = m_lastRollupAt;
    // The window sums are taken once for all counters, as the report has
    // always done; a history copy is wanted only by snapshots.
    unsigned int dimension = static_cast<unsigned int>(m_numCountSlots);
    KwSrvrStatsCount minute(dimension);
    KwSrvrStatsCount hour(dimension);
    KwSrvrStatsCount day(dimension);
    m_minuteRing->GetSum(minute);
    m_hourRing->GetSum(hour);
    m_dayRing->GetSum(day);
    out.events.resize(m_events.size());
    for (size_t id = 0; id < m_events.size(); ++id) {
        const KwSrvrStatsEvent& event = *m_events[id];
        KwStatsEventSnapshot& copy = out.events[id];
        copy.id = static_cast<int>(id);
        copy.name = event.name;
        copy.type = event.type;
        copy.flags = event.flags;
        if (event.countSlot != -1) {
            unsigned int slot = static_cast<unsigned int>(event.countSlot);
            copy.counted = true;
            copy.minute = minute[slot];
            copy.hour = hour[slot];
            copy.day = day[slot];
            copy.total = (*m_currentCounts)[slot];
            if (withHistories) {
                CopyHistory(*m_minuteRing, slot, copy.seconds);
                CopyHistory(*m_hourRing, slot, copy.minutes);
                CopyHistory(*m_dayRing, slot, copy.hours);
            }
        }
        if (event.rateSlot != -1) {
            copy.rated = true;
            copy.peak = m_maxRates[event.rateSlot].GetValue();
            copy.peakTime = m_maxRates[event.rateSlot].GetTimeTicks();
        }
        if (event.waterMarkSlot != -1) {
            const KwMaxValue& mark = m_waterMarks[event.waterMarkSlot];
            copy.mark = event.countSlot == -1 ? KwStatsEventSnapshot::WATER_MARK
                                              : KwStatsEventSnapshot::LATENCY;
            copy.markValue = mark.GetValue();
            copy.markTime = mark.GetTimeTicks();
        }
    }
    return true;
}

void KwSrvrStatsCollector::CopyHistory(const KwRingBuffer<KwSrvrStatsCount>& ring,
                                       unsigned int slot, std::vector<KwUlong32>& history) {
    history.resize(ring.Count());
    for (unsigned int position = 0; position < ring.Count(); ++position) {
        history[position] = ring.At(position)[slot];
    }
}
