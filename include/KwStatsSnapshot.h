// KwStatsSnapshot: the collector's statistics as plain values.
//
// KwSrvrStatsCollector::GetStatsSnapshot() fills one in a single hold of the
// collector's data lock, so every figure in it belongs to the same moment.
// Exporters (Prometheus, JSON, a status page) read it instead of parsing the
// report's text, which breaks on event names that hold ";" or ": ".
//
// The header needs nothing of the collector's own (nor of ACE): an exporter
// includes this one alone and takes snapshots with KwTakeStatsSnapshot().
//
// Ownership: a snapshot is a value; it shares nothing with the collector and
// stays valid after the collector has stopped. Thread safety: like any value
// type, one snapshot is not to be written and read by two threads at once.
#ifndef KW_STATS_SNAPSHOT_H
#define KW_STATS_SNAPSHOT_H

#include <stddef.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "KwDiagTypes.h"
#include "KwStatsTypes.h"

// One registered event. Times are wall-clock seconds since the epoch (UTC),
// 0 where nothing was recorded yet.
struct KwStatsEventSnapshot {
    enum Mark { NO_MARK, WATER_MARK, LATENCY };

    int id = 0;        // the id RegisterEvent() returned
    std::string name;  // as registered
    int type = 0;      // a StatsDataType value
    int flags = 0;     // STATS_FLAG_* bits as registered

    // Counted events (those with a counter) only.
    bool counted = false;
    KwUlong32 minute = 0;  // occurrences in the last (up to) 60 rolled-up seconds
    KwUlong32 hour = 0;    // ... in the last (up to) 60 completed minutes
    KwUlong32 day = 0;     // ... in the last (up to) 24 completed hours
    KwUlong32 total = 0;   // since the start or the last reset, rolled up or not
    // Histories, oldest first: the count of each of the last (up to) 60
    // seconds, the sum of each of the last 60 minutes, of the last 24 hours.
    std::vector<KwUlong32> seconds;
    std::vector<KwUlong32> minutes;
    std::vector<KwUlong32> hours;

    // Events that keep their peak occurrences per second.
    bool rated = false;
    KwUlong32 peak = 0;
    KwLong32 peakTime = 0;

    // The high-water mark of a sampled value, or the longest latency (in
    // tenths of a millisecond) of a latency-end event.
    Mark mark = NO_MARK;
    KwUlong32 markValue = 0;
    KwLong32 markTime = 0;
};

// A remote-write sender's own figures (libQelDiagPush's KwStatsPusher fills
// them through the source it offers); absent in a snapshot of the collector
// alone. Counters count from the sender's start and wrap modulo 2^32.
struct KwStatsPushFigures {
    bool present = false;
    bool failing = false;          // the latest request failed and is being retried
    double intervalSeconds = 0;    // how often a snapshot is taken and sent
    KwUlong32 samplesSent = 0;     // accepted by the receiver
    KwUlong32 samplesPending = 0;  // queued in memory and in the spool
    // Samples dropped, by reason: the memory queue full (oldest first), the
    // receiver refused them (4xx), the spool full (oldest segment first),
    // still queued when a stop without a spool ran out of time.
    KwUlong32 droppedQueueFull = 0;
    KwUlong32 droppedRejected = 0;
    KwUlong32 droppedSpoolFull = 0;
    KwUlong32 droppedAtStop = 0;
    KwUlong32 spoolDamaged = 0;  // damaged or cut stretches of the spool skipped
    KwUlong32 spoolBytes = 0;    // the spool's size on disk
    // Failed requests by HTTP status, 0 for a transport error (no answer,
    // TLS, timeout); in order of the status.
    std::vector<std::pair<int, KwUlong32>> failedRequests;
    KwLong32 lastSuccessAt = 0;  // wall clock of the latest accepted request; 0: none
};

struct KwStatsSnapshot {
    KwLong32 takenAt = 0;  // when the snapshot was taken (wall clock)
    // The collector's state (a KwStatsStates value). Only a snapshot taken
    // in ST_COLLECTING holds events and the figures below them; one taken
    // in any other state holds the fields up to refusedByCounters.
    int state = KwStatsStates::ST_INIT;
    // Whether a collection thread runs. In ST_COLLECTING without one (it
    // gave up for want of a timer), nothing is processed or rolled up and
    // every submission is refused.
    bool collectionThread = false;
    unsigned int waitingBound = 0;  // the bound on waiting reports; 0: none
    // Submissions refused for want of a collection thread, and with the
    // waiting reports at their bound (waitingBound, or with the timely
    // roll-up their age). Counted from the start of the process; they wrap
    // modulo 2^32.
    KwUlong32 refusedNoThread = 0;
    KwUlong32 refusedFull = 0;
    // Occurrences that KwStatsCounter::Add() refused: outside ST_COLLECTING,
    // or with no collection thread (wrapping).
    KwUlong32 refusedByCounters = 0;

    // Reports submitted and not yet processed: on the waiting list, or taken
    // off it by the collection thread.
    size_t waiting = 0;
    // When the latest roll-up ran (wall clock); 0 while none has. A roll-up
    // waits for the waiting list to empty, so under a backlog this falls
    // behind the clock, unless the timely roll-up is on.
    KwLong32 lastRollupAt = 0;
    std::vector<KwStatsEventSnapshot> events;  // in id order

    // The remote-write sender's figures, where a sender's source filled them.
    KwStatsPushFigures push;
};

// Fills `out` from the process's collector, as
// KwSrvrStatsCollector::GetInstance().GetStatsSnapshot(out) does: true when
// it was collecting. Callable from any thread.
KW_DIAG_EXPORT bool KwTakeStatsSnapshot(KwStatsSnapshot& out);

// Where an exporter takes its snapshots from: KwTakeStatsSnapshot by default,
// or any function of the same form (a host that keeps its own figures, a
// test's fixed snapshot).
typedef std::function<bool(KwStatsSnapshot&)> KwStatsSource;

// The text that GetStatsReport() gives for the same statistics, byte for
// byte (GetStatsReport() is this text of a snapshot without histories);
// empty for a snapshot of a collector that was not collecting. The text is
// the same under any locale the host sets.
KW_DIAG_EXPORT std::string KwStatsReportText(const KwStatsSnapshot& snapshot);

#endif  // KW_STATS_SNAPSHOT_H
