// KwStatsCounter: counts occurrences of one event at the cost of an atomic
// add, with the same figures as SetEvent() would give.
//
//   int id = collector.RegisterEvent("rxPackets", STATS_FLAG_MAX_RATE, STATS_DATA_COUNT);
//   static KwStatsCounter rxPackets(id);   // once, after registration
//   rxPackets.Add();                       // any thread, any time
//
// What Add() counts joins the event's counter in the collector's stores at
// each roll-up, and before each report, snapshot or reset, so the last
// minute, hour and day, the total and the peak per second with its time
// read as if each occurrence had been submitted with SetEvent() and
// processed at once. Use SetEvent() for latencies, water marks and payloads,
// and a KwStatsCounter for hot counts.
//
// Add() takes no lock, allocates nothing, reads no clock and makes no system
// call: each thread adds into a cache line of its own (threads beyond eight
// share them, as may two whose first Add() comes at the same moment), so
// threads that count at once do not slow each other down.
// Counts wrap modulo 2^32, like every counter of the collector.
//
// Refusals: the constructor accepts a registered event of type
// STATS_DATA_COUNT without STATS_FLAG_LATENCY_START or STATS_FLAG_LATENCY_END;
// for any other id it writes one log line and the counter then counts
// nothing (IsValid() is false). Outside ST_COLLECTING, and once the
// collection thread has gone, Add() counts nothing and the refused
// occurrences are counted (KwStatsSnapshot::refusedByCounters), with no log
// line per call.
//
// Ownership and threads: a counter is a small handle; copies count into the
// same event. Every member may be called from any thread. The collector owns
// what counters add into, for the life of the process: a counter must not be
// used once the collector has been destroyed (at process exit).
#ifndef KW_STATS_COUNTER_H
#define KW_STATS_COUNTER_H

#include "KwDiagTypes.h"

struct KwStatsCounterCells;

class KW_DIAG_EXPORT KwStatsCounter {
public:
    explicit KwStatsCounter(int eventId);

    // Counts `n` occurrences.
    void Add(unsigned int n = 1);

    // Whether the constructor accepted the event.
    bool IsValid() const { return m_cells != nullptr; }

private:
    KwStatsCounterCells* m_cells;
};

#endif  // KW_STATS_COUNTER_H
