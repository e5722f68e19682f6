#include "KwSrvrStatsCollector.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <optional>

#include "KwCollectorLimits.h"
#include "KwMaxValue.h"
#include "KwMutexGuard.h"
#include "KwReportQueue.h"
#include "KwReportText.h"
#include "KwRingBuffer.h"
#include "KwSrvrStatsCount.h"
#include "KwStatsCopier.h"
#include "KwStatsCounterCells.h"
#include "KwStatsCounterTable.h"
#include "KwStatsSnapshot.h"
#include "KwStatsStores.h"
#include "KwTimeTracker.h"
#include "KwTimelyRollup.h"
#include "KwTimerMgr.h"
#include "dlog.h"

namespace {

const char kFile[] = "KwSrvrStatsCollector.cpp";

// More waiting reports than this are worth a trace line.
constexpr size_t kBacklogTrace = 5;

// The level of a state refusal: 3 for the first one in the life of the
// process, 7 after it, so a host that keeps calling too early or too late
// does not flood its log.
int NextRefusalLevel(std::atomic<int>& level) {
    return level.exchange(DLOG_DEBUG);
}

void RefuseRegistration(const char* name) {
    static std::atomic<int> level{DLOG_ERR};
    __dlog_printf(NextRefusalLevel(level), kFile,
                  "%s: Cannot register a new event for %s if the collector is not in ST_INIT "
                  "state",
                  "RegisterEvent", name != nullptr ? name : "(null)");
}

void RefuseSubmission(int eventId) {
    static std::atomic<int> level{DLOG_ERR};
    __dlog_printf(NextRefusalLevel(level), kFile,
                  "%s: Tried to enter data %d when the stats collector is not in collecting state",
                  "SetEvent", eventId);
}

}  // namespace

std::atomic<bool> KwSrvrStatsCollector::s_statsTimerExpired{false};

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
      m_state(ST_INIT),
      m_lastRollupAt(0),
      m_queue(new ReportQueue(m_queueLock, m_waitingList)),
      m_counters(new KwStatsCounterTable),
      m_timely(new KwTimelyRollup) {}

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
    // When the second closed, for a timely roll-up: noted before the flag
    // is raised.
    KwTimelyRollup::NoteTimerFired();
    s_statsTimerExpired.store(true);
}

// ---------------------------------------------------------------------------
// Registration

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

int KwSrvrStatsCollector::SetWaitingListBound(unsigned int maxReports) {
    if (m_state.load() != ST_INIT) {
        __dlog_printf(DLOG_ERR, kFile,
                      "%s: The waiting list can be bounded only in ST_INIT state; it stays at %u",
                      "SetWaitingListBound", m_queue->Bound());
        return 0;
    }
    m_queue->SetBound(maxReports);
    return 1;
}

int KwSrvrStatsCollector::SetTimelyRollup(bool on) {
    KwMutexGuard guard(m_dataLock);
    if (m_state.load() != ST_INIT) {
        __dlog_printf(DLOG_ERR, kFile,
                      "%s: The timely roll-up can be set only in ST_INIT state; it stays %s",
                      "SetTimelyRollup", m_timely->On() ? "on" : "off");
        return 0;
    }
    m_timely->SetOn(on);
    m_queue->SetMaxAge(on ? kTimelyMaxAgeMs : 0);
    return 1;
}

// ---------------------------------------------------------------------------
// Submission

int KwSrvrStatsCollector::SetEvent(int eventId, int size, const void* data) {
    if (m_state.load() != ST_COLLECTING) {
        RefuseSubmission(eventId);
        return -1;
    }
    // After an early return of the thread nothing would ever drain the list.
    if (!m_queue->Draining()) {
        return Refuse(eventId, ReportQueue::NO_THREAD, 0);
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
    // Tested again as the report is appended; this first look spares a
    // full queue the allocation.
    size_t held = 0;
    if (m_queue->LooksFull(held)) {
        return Refuse(eventId, ReportQueue::FULL, held);
    }
    KwStatsDataMsgStruct* msg = NewMessage(eventId, size, data);
    if (msg == nullptr) {
        __dlog_printf(DLOG_ERR, kFile, "%s: allocate memory failed", "SetEvent");
        return -1;
    }
    ReportQueue::Verdict verdict = m_queue->Append(msg, held);
    if (verdict == ReportQueue::QUEUED) {
        return 0;
    }
    free(msg);
    return Refuse(eventId, verdict, held);
}

KwSrvrStatsCollector::KwStatsDataMsgStruct* KwSrvrStatsCollector::NewMessage(int eventId, int size,
                                                                             const void* data) {
    KwStatsDataMsgStruct* msg = static_cast<KwStatsDataMsgStruct*>(
        malloc(sizeof(KwStatsDataMsgStruct) + static_cast<size_t>(size)));
    if (msg == nullptr) {
        return nullptr;
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
    return msg;
}

int KwSrvrStatsCollector::Refuse(int eventId, int verdict, size_t held) {
    static std::atomic<int> noThreadLevel{DLOG_ERR};
    static std::atomic<int> fullLevel{DLOG_ERR};
    static std::atomic<int> behindLevel{DLOG_ERR};
    if (verdict == ReportQueue::NO_MEMORY) {
        __dlog_printf(DLOG_ERR, kFile, "%s: allocate memory failed", "SetEvent");
    } else if (verdict == ReportQueue::BEHIND) {
        m_queue->CountRefusal(ReportQueue::BEHIND);
        __dlog_printf(NextRefusalLevel(behindLevel), kFile,
                      "%s: Tried to enter data %d when the reports waiting are more than %u ms "
                      "old, the bound of the timely roll-up",
                      "SetEvent", eventId, m_queue->MaxAge());
    } else if (verdict == ReportQueue::FULL) {
        m_queue->CountRefusal(ReportQueue::FULL);
        __dlog_printf(NextRefusalLevel(fullLevel), kFile,
                      "%s: Tried to enter data %d when %lu reports wait, the bound of the waiting "
                      "list",
                      "SetEvent", eventId, static_cast<unsigned long>(held));
    } else if (m_state.load() != ST_COLLECTING) {
        // The exit path shuts the queue as it empties it: a report that
        // passed the state test just before is refused as after it.
        RefuseSubmission(eventId);
    } else {
        m_queue->CountRefusal(ReportQueue::NO_THREAD);
        __dlog_printf(NextRefusalLevel(noThreadLevel), kFile,
                      "%s: Tried to enter data %d when no collection thread runs", "SetEvent",
                      eventId);
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Collection thread

int KwSrvrStatsCollector::svc() {
    // Submissions are let in while this thread runs; each way out shuts
    // them out again (GiveUp(), or the exit path's Cleanup()).
    m_queue->Open();
    return Run();
}

int KwSrvrStatsCollector::Run() {
    __dlog_printf(DLOG_DEBUG, kFile,
                  "%s: data collector waiting for client to finish registration.", "svc");
    bool sized = false;
    unsigned int dimension = 0;
    bool timely = false;
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
            if (!MakeStores(dimension, timely)) {
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
    if (sized && m_keepRunning.load()) {
        result = CollectUntilStopped(latency, dimension, timely);
    }
    return ExitPath(result);
}

bool KwSrvrStatsCollector::MakeStores(unsigned int& dimension, bool& timely) {
    // Made under the lock, in the step that leaves ST_INIT, so that no
    // registration slips in between (after DoneInit(), against the host's
    // promise) with a slot the stores would not have. The stores a thread
    // that gave up before left in place are released after the lock.
    KwStatsStores stores;
    KwMutexGuard guard(m_dataLock);
    if (!stores.Make(KwStoreSizes{m_numCountSlots, m_numRateSlots, m_numWaterMarkSlots})) {
        return false;
    }
    Swap(stores);
    dimension = static_cast<unsigned int>(m_numCountSlots);
    timely = m_timely->On();
    m_lastRollupAt = 0;
    m_state.store(ST_COLLECTING);
    m_counters->Open(true);
    return true;
}

void KwSrvrStatsCollector::Swap(KwStatsStores& stores) {
    stores.Exchange(m_maxRates, m_waterMarks, m_currentCounts, m_lastRollupCounts, m_minuteRing,
                    m_hourRing, m_dayRing);
}

int KwSrvrStatsCollector::GiveUp(bool sized) {
    // Nothing is accepted from here on. What was accepted before (between
    // the sizing and now) is counted on the way out, as it would have been;
    // the stores stay, as does the state.
    std::list<KwStatsDataMsgStruct*> accepted;
    m_queue->Close(accepted);
    {
        KwMutexGuard guard(m_dataLock);
        m_counters->Open(false);
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

int KwSrvrStatsCollector::CollectUntilStopped(KwTimeTracker& latency, unsigned int dimension,
                                              bool timely) {
    // The queue hands over the waiting reports a batch at a time; they are
    // still processed one at a time, oldest first, and a pass counts what
    // waits in the batch and on the list.
    int result = 0;
    for (;;) {
        bool running = m_keepRunning.load();
        // Timely, the second closes as soon as its timer fires, whatever waits.
        if (timely && running && s_statsTimerExpired.load()) {
            if (!TimelyRollUp(dimension)) {
                result = 1;
                break;
            }
            continue;
        }
        size_t waiting = m_queue->Take();
        if (waiting > kBacklogTrace) {
            __dlog_printf(DLOG_DEBUG, kFile, "%s: %d events in waiting list", "svc",
                          static_cast<int>(waiting));
        }
        if (m_queue->HasInHand()) {
            ProcessInHand(timely, latency);
        }
        size_t left = waiting > 0 ? waiting - 1 : 0;
        running = m_keepRunning.load();
        if (left > 0 && running) {
            continue;
        }
        // (Timely, the flag is looked at only at the top of a pass, so that
        // every second closes there.)
        if (!timely && running && s_statsTimerExpired.load()) {
            // Reports that arrived while the batch was worked off belong to
            // the second that is closing: count them before it closes.
            if (m_queue->Arrived()) {
                continue;
            }
            if (!RollUp(dimension)) {
                result = 1;
                break;
            }
        } else {
            usleep(kPollUs);
        }
        if (!m_keepRunning.load()) {
            break;
        }
    }
    // Reports not processed go back to the list, where the exit path
    // releases them with the rest.
    m_queue->PutBack();
    return result;
}

void KwSrvrStatsCollector::ProcessInHand(bool timely, KwTimeTracker& latency) {
    {
        KwMutexGuard guard(m_dataLock);
        if (timely) {
            ProcessTimely(m_queue->InHand(), latency);
        } else {
            Process(m_queue->InHand(), latency);
        }
    }
    m_queue->Processed();
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

void KwSrvrStatsCollector::ProcessTimely(const KwStatsDataMsgStruct& msg, KwTimeTracker& latency) {
    Process(msg, latency);
    if (!m_timely->Late(msg.stamp)) {
        return;
    }
    // Counted above in the running total; a late report of a counter counts
    // in the closed second too (and in the minute and hour it closed), and
    // not in the next; its peak per second follows.
    const KwSrvrStatsEvent* event = static_cast<size_t>(msg.eventId) < m_events.size()
                                        ? m_events[static_cast<size_t>(msg.eventId)]
                                        : nullptr;
    if (event != nullptr && event->type == STATS_DATA_COUNT && event->countSlot != -1) {
        m_timely->CountLate(static_cast<unsigned int>(event->countSlot),
                            event->rateSlot != -1 ? &m_maxRates[event->rateSlot] : nullptr,
                            *m_lastRollupCounts, *m_minuteRing, *m_hourRing, *m_dayRing);
    }
}

// ---------------------------------------------------------------------------
// Per-second roll-up

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

bool KwSrvrStatsCollector::TimelyRollUp(unsigned int dimension) {
    const timespec fired = KwTimelyRollup::LastFiring();
    int closed;
    if (!FoldSecond(dimension, closed)) {
        usleep(kPollUs);
        return true;
    }
    {
        KwMutexGuard guard(m_dataLock);
        m_timely->Closed(fired, closed);
    }
    s_statsTimerExpired.store(false);
    // No idle sleep: reports may be waiting.
    return ArmNextTimer(KwTimelyRollup::NextTimeoutMs(fired));
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
        m_counters->Open(false);
        KwStatsStores released;
        Swap(released);
        for (KwSrvrStatsEvent* event : m_events) {
            delete event;
        }
        m_events.clear();
        m_eventCount.store(0);
    }
    m_queue->ReleaseAll();
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
    m_timely->Forget();
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
    for (Ring* ring : {m_minuteRing, m_hourRing, m_dayRing}) {
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

bool KwTakeStatsSnapshot(KwStatsSnapshot& out) {
    return KwSrvrStatsCollector::GetInstance().GetStatsSnapshot(out);
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
    out.collectionThread = m_queue->Draining();
    out.waitingBound = m_queue->Bound();
    out.refusedNoThread = m_queue->RefusedNoThread();
    out.refusedFull = m_queue->RefusedFull();
    out.refusedByCounters = m_counters->Refused();
    if (!ReadyForOutput(method, refusalLevel)) {
        return false;
    }
    GatherCounters();
    out.waiting = m_queue->Waiting();
    out.lastRollupAt = m_lastRollupAt;
    FillEvents(out, withHistories);
    return true;
}

void KwSrvrStatsCollector::FillEvents(KwStatsSnapshot& out, bool withHistories) const {
    // The window sums are taken once for all counters, as the report has
    // always done; a history copy is wanted only by snapshots.
    KwStatsCopier copier(static_cast<unsigned int>(m_numCountSlots), *m_currentCounts, m_maxRates,
                         m_waterMarks, *m_minuteRing, *m_hourRing, *m_dayRing);
    out.events.resize(m_events.size());
    for (size_t id = 0; id < m_events.size(); ++id) {
        const KwSrvrStatsEvent& event = *m_events[id];
        KwStatsEventSnapshot& copy = out.events[id];
        copy.id = static_cast<int>(id);
        copy.name = event.name;
        copy.type = event.type;
        copy.flags = event.flags;
        copier.Copy(event.countSlot, event.rateSlot, event.waterMarkSlot, withHistories, copy);
    }
}

// ---------------------------------------------------------------------------
// What KwStatsCounter handles add into

KwStatsCounterCells* KwSrvrStatsCollector::CounterCells(int eventId) {
    // Made before the lock, so that the critical section allocates nothing;
    // released after it when the event has its cells already.
    std::unique_ptr<KwStatsCounterCells> made(new KwStatsCounterCells);
    KwMutexGuard guard(m_dataLock);
    if (eventId < 0 || static_cast<size_t>(eventId) >= m_events.size()) {
        return nullptr;
    }
    const KwSrvrStatsEvent& event = *m_events[static_cast<size_t>(eventId)];
    if (event.type != STATS_DATA_COUNT || event.countSlot == -1 ||
        (event.flags & (STATS_FLAG_LATENCY_START | STATS_FLAG_LATENCY_END)) != 0) {
        return nullptr;
    }
    bool open = m_state.load() == ST_COLLECTING && m_queue->Draining();
    return m_counters->CellsOf(eventId, static_cast<unsigned int>(event.countSlot), open, made);
}

void KwSrvrStatsCollector::GatherCounters() const {
    m_counters->Gather(m_events.size(), *m_currentCounts);
}
