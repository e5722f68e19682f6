// KwSrvrStatsCollector: the process-wide collector of diagnostic statistics.
//
// Calling order expected of the host:
//   KwSrvrStatsCollector& c = KwSrvrStatsCollector::GetInstance();
//   c.SetTimerManager(timerMgr);                       // once
//   int id = c.RegisterEvent("rxPackets", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
//   ...                                                // every event, at most 256
//   c.Start();                                         // collection thread
//   c.DoneInit();                                      // registration complete
//   c.SetEvent(id, 0, nullptr);                        // any thread, any time
//   std::string text = c.GetStatsReport();             // any thread, any time
//   c.Reset();                                         // clears the statistics
//   c.Stop();                                          // ends collection
//
// Threads: host threads call the public members; one collection thread of
// the collector's own (started by Start() through ACE) folds the queued
// reports into the statistics and rolls them up once a second; the timer
// manager's thread only raises a flag through DiagDataCollectTimerCb().
// Every public member is thread-safe.
//
// States: ST_INIT (registration open), ST_COLLECTING (reports accepted),
// ST_STOPPED (the thread has released everything; nothing is accepted).
// Only Start() leaves ST_STOPPED: after the thread has ended it runs a new
// one, which collects again into fresh stores, but with no registered event
// (registration is open in ST_INIT alone), so every report is refused as
// unrecognized. A Start() before the thread has noticed a Stop() cancels
// that stop and returns 1.
//
// A lost thread: should the thread give up at the start (no timer manager,
// or its first timer not created), the state stays as it was: ST_COLLECTING
// once the stores were made, so IsRunning() stays true with no thread, else
// ST_INIT. Only the collection thread moves the state, so a Stop() then
// changes nothing. Every submission is refused (and counted), and
// GetStatsSnapshot() says that no collection thread runs. A new Start(),
// with a timer it can create, collects again into fresh stores, the events
// still registered; IsRunning() tells the state all along, not the thread.
//
// Ownership: the collector owns the event records, every report from the
// moment SetEvent() queued it, and the statistics stores; the collection
// thread releases them all when it stops. The host owns the timer manager,
// which must outlive the collection thread.
//
// Stopping: Stop() returns at once; the thread ends within about 10 ms of
// finishing the report in hand. The thread belongs to ACE's default thread
// manager, so ACE_Thread_Manager::instance()->wait() waits for it. Should
// the process exit with the thread still running, the collector's destructor
// stops the thread and joins it before anything is released.
//
// Refusals: RegisterEvent() and SetEvent() return -1, SetTimerManager()
// returns 0, GetStatsReport() returns an empty string; each writes one log
// line through __dlog_printf.
#ifndef KW_SRVR_STATS_COLLECTOR_H
#define KW_SRVR_STATS_COLLECTOR_H

#include <time.h>

#include <atomic>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "ace/Task.h"

#include "KwDiagTypes.h"
#include "KwLinuxMutex.h"
#include "KwStatsTypes.h"
#include "KwThreadAnnotations.h"

class KwMaxValue;
class KwSrvrStatsCount;
class KwStatsCounter;
class KwStatsCounterTable;
class KwStatsStores;
class KwTimelyRollup;
class KwTimeTracker;
class KwTimerMgr;
struct KwStatsCounterCells;
struct KwStatsSnapshot;
template <class T>
class KwRingBuffer;
template <class Report>
class KwReportQueue;

// A registered event. Slots index the statistics stores; -1 means none.
struct KwSrvrStatsEvent {
    StatsDataType type;
    int flags;
    std::string name;
    int countSlot;
    int rateSlot;
    int waterMarkSlot;
};

class KW_DIAG_EXPORT KwSrvrStatsCollector : private ACE_Task_Base {
public:
    enum {
        ST_INIT = KwStatsStates::ST_INIT,
        ST_COLLECTING = KwStatsStates::ST_COLLECTING,
        ST_STOPPED = KwStatsStates::ST_STOPPED
    };

    // The one collector, built on first use (thread-safe) and destroyed at
    // process exit.
    static KwSrvrStatsCollector& GetInstance();

    // Keeps `mgr` for the one-second timer. Returns 1, or 0 (and keeps the
    // first) when a manager is already set.
    int SetTimerManager(KwTimerMgr& mgr);

    // Starts the collection thread. Returns 0 when started, -1 when it could
    // not be started, 1 when it is still running (nothing new is started,
    // and a Stop() the thread has not yet noticed is cancelled).
    int Start();
    // Asks the collection thread to stop; does not wait.
    void Stop();
    // True in ST_COLLECTING: while collecting, and after a lost thread (see
    // above), when KwStatsSnapshot::collectionThread tells that none runs.
    bool IsRunning() const;
    // Declares registration complete; the thread then sizes its stores.
    void DoneInit();
    // Number of registered events.
    int GetMonitoredEventNumber() const;

    // Timer callback: only raises the roll-up flag.
    static void DiagDataCollectTimerCb(unsigned short timerId, void* arg);

    // Registers an event while in ST_INIT; returns its id (0..255) or -1.
    // `name` is copied; a null name is refused.
    int RegisterEvent(const char* name, int flags, StatsDataType type) KW_EXCLUDES(m_dataLock);

    // Bounds the reports the collector holds (those on the waiting list, and
    // those the collection thread has taken off it and not yet released) to
    // `maxReports`; 0, the default, leaves them unbounded. Set-up only:
    // returns 1, or 0 (logged) outside ST_INIT.
    int SetWaitingListBound(unsigned int maxReports);

    // Per-second figures that stay true under overload. Off (the default),
    // the thread rolls a second up only once it has emptied the waiting
    // list, so a flood of reports holds the roll-up back and its second
    // swells. On, the roll-up runs as soon as the timer has fired, also
    // while reports keep coming, and each report counts in the second its
    // stamp falls in; those stamped after the timer fired count in the next.
    // So that no report waits into the second after its own, the mode
    // brings a bound of its own: a report stamped more than 250 ms after
    // the oldest one waiting is refused (and counted as refused for the
    // bound), which also bounds memory without SetWaitingListBound(). It
    // costs a comparison of stamps per report. Set-up only: returns 1, or 0
    // (logged) outside ST_INIT.
    int SetTimelyRollup(bool on) KW_EXCLUDES(m_dataLock);

    // Queues one occurrence of `eventId` with `size` payload bytes copied
    // from `data` (a water-mark event takes one 4-byte unsigned value).
    // Returns 0 when queued, -1 when refused: not collecting, no collection
    // thread (it gave up: no timer manager, no first timer), the waiting
    // list at its bound or, timely, the reports waiting older than its
    // bound, unknown id, negative size, null data with a non-zero size, or
    // no memory. A refusal allocates nothing; those for the missing thread
    // and the bounds are counted in the snapshot.
    int SetEvent(int eventId, int size, const void* data) KW_EXCLUDES(m_queueLock);

    // Clears every count, peak, high-water mark and history while
    // collection goes on. Refused (logged) when not collecting.
    void Reset() KW_EXCLUDES(m_dataLock);

    // The three-line report; empty when not collecting.
    std::string GetStatsReport() const KW_EXCLUDES(m_dataLock);

    // Copies every statistic, with the histories of the last 60 seconds, 60
    // minutes and 24 hours, into `out` in one hold of the data lock. Returns
    // false when not collecting: `out` then holds the state and its time,
    // and no event. Scrapers ask often, so that refusal is logged at level 3
    // the first time and at 7 after (the report's warning stays at 4).
    bool GetStatsSnapshot(KwStatsSnapshot& out) const KW_EXCLUDES(m_dataLock);

private:
    // KwStatsCounter asks for the cells it adds into, and nothing else.
    friend class KwStatsCounter;

    // A queued report: one malloc block, the payload right behind the header.
    struct KwStatsDataMsgStruct {
        int eventId;
        int size;
        timespec stamp;  // CLOCK_MONOTONIC at submission; {0, 0} if unreadable
        unsigned char payload[];
    };
    typedef KwReportQueue<KwStatsDataMsgStruct> ReportQueue;
    typedef KwRingBuffer<KwSrvrStatsCount> Ring;

    KwSrvrStatsCollector();
    ~KwSrvrStatsCollector() override;
    KwSrvrStatsCollector(const KwSrvrStatsCollector&) = delete;
    KwSrvrStatsCollector& operator=(const KwSrvrStatsCollector&) = delete;

    // Submission: the message for a report, and a refusal of the queue's
    // (a KwReportQueue verdict) logged and counted.
    static KwStatsDataMsgStruct* NewMessage(int eventId, int size, const void* data);
    int Refuse(int eventId, int verdict, size_t held);

    // The collection thread.
    int svc() override;
    int Run() KW_EXCLUDES(m_dataLock, m_queueLock);
    // Makes the stores and enters ST_COLLECTING; `dimension` tells the
    // number of count slots they were made for, `timely` the setting of the
    // timely roll-up, fixed from then on.
    bool MakeStores(unsigned int& dimension, bool& timely) KW_EXCLUDES(m_dataLock);
    void Swap(KwStatsStores& stores) KW_REQUIRES(m_dataLock);
    int GiveUp(bool sized) KW_EXCLUDES(m_dataLock, m_queueLock);
    int CollectUntilStopped(KwTimeTracker& latency, unsigned int dimension, bool timely)
        KW_EXCLUDES(m_dataLock, m_queueLock);
    void ProcessInHand(bool timely, KwTimeTracker& latency) KW_EXCLUDES(m_dataLock, m_queueLock);
    void Process(const KwStatsDataMsgStruct& msg, KwTimeTracker& latency) KW_REQUIRES(m_dataLock);
    void ProcessTimely(const KwStatsDataMsgStruct& msg, KwTimeTracker& latency)
        KW_REQUIRES(m_dataLock);
    bool RollUp(unsigned int dimension) KW_EXCLUDES(m_dataLock);
    bool TimelyRollUp(unsigned int dimension) KW_EXCLUDES(m_dataLock);
    // The store work of a roll-up: false when it must wait (no memory).
    // `closed` tells whether it closed a minute (1) and an hour (2).
    bool FoldSecond(unsigned int dimension, int& closed) KW_EXCLUDES(m_dataLock);
    void UpdatePeaks(KwSrvrStatsCount& second) KW_REQUIRES(m_dataLock);
    bool ArmNextTimer(unsigned long timeoutMs);
    int ExitPath(int result) KW_EXCLUDES(m_dataLock, m_queueLock);
    void Cleanup() KW_EXCLUDES(m_dataLock, m_queueLock);

    // Output. A null `refusalLevel` logs a refusal at level 4; else it
    // takes its level from there, 3 once and 7 after.
    bool ReadyForOutput(const char* method, std::atomic<int>* refusalLevel) const
        KW_REQUIRES(m_dataLock);
    bool FillSnapshot(KwStatsSnapshot& out, bool withHistories, const char* method,
                      std::atomic<int>* refusalLevel) const KW_EXCLUDES(m_dataLock);
    void FillEvents(KwStatsSnapshot& out, bool withHistories) const KW_REQUIRES(m_dataLock);
    // The cells that counters of `eventId` add into, made on first use; null
    // when it is not a registered counted event without latency flags.
    KwStatsCounterCells* CounterCells(int eventId) KW_EXCLUDES(m_dataLock);
    // Moves what counters added into the running counts; the figures the
    // stores give stay what they were, hence const.
    void GatherCounters() const KW_REQUIRES(m_dataLock);

    std::atomic<bool> m_keepRunning;
    std::atomic<bool> m_initDone;
    std::atomic<KwTimerMgr*> m_timerMgr;
    // Locks: m_dataLock guards the events, the slot counts and the stores;
    // m_queueLock the waiting list. No operation holds both. Flags and
    // counters that cross threads without a lock are atomic.
    int m_numCountSlots KW_GUARDED_BY(m_dataLock);
    int m_numRateSlots KW_GUARDED_BY(m_dataLock);
    int m_numWaterMarkSlots KW_GUARDED_BY(m_dataLock);
    std::vector<KwSrvrStatsEvent*> m_events KW_GUARDED_BY(m_dataLock);
    // Size of m_events, readable without m_dataLock.
    std::atomic<int> m_eventCount;
    // The roll-up's positions: the collection thread's alone.
    int m_secondsInMinute;
    int m_minutesInHour;
    KwMaxValue* m_maxRates KW_GUARDED_BY(m_dataLock);
    KwMaxValue* m_waterMarks KW_GUARDED_BY(m_dataLock);
    KwSrvrStatsCount* m_currentCounts KW_GUARDED_BY(m_dataLock);
    KwSrvrStatsCount* m_lastRollupCounts KW_GUARDED_BY(m_dataLock);
    Ring* m_minuteRing KW_GUARDED_BY(m_dataLock);
    Ring* m_hourRing KW_GUARDED_BY(m_dataLock);
    Ring* m_dayRing KW_GUARDED_BY(m_dataLock);
    // The collection thread's alone.
    unsigned short m_timerId;
    mutable KwLinuxMutex m_dataLock;
    // On a cache line of its own, with the list it guards: the collection
    // thread takes m_dataLock for every report, and a submitter that shared
    // that line would fetch it back for every submission.
    alignas(64) KwLinuxMutex m_queueLock;
    std::list<KwStatsDataMsgStruct*> m_waitingList KW_GUARDED_BY(m_queueLock);
    // Read by every submission; written rarely.
    alignas(64) std::atomic<int> m_state;
    // When the latest roll-up ran (wall-clock seconds; 0: none yet).
    KwLong32 m_lastRollupAt KW_GUARDED_BY(m_dataLock);
    // What works on the waiting list: its spare nodes, bound and batches.
    const std::unique_ptr<ReportQueue> m_queue;
    // What KwStatsCounter handles add into, for the life of the collector.
    const std::unique_ptr<KwStatsCounterTable> m_counters KW_PT_GUARDED_BY(m_dataLock);
    // The timely roll-up's setting and what it knows of the closed second.
    const std::unique_ptr<KwTimelyRollup> m_timely KW_PT_GUARDED_BY(m_dataLock);

    static std::atomic<bool> s_statsTimerExpired;
};

#endif  // KW_SRVR_STATS_COLLECTOR_H
