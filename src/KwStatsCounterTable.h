// What the KwStatsCounter handles of each event add into: one
// KwStatsCounterCells per event, made on first use and kept for the life of
// the table (counters hold their address), and moved into the collector's
// running counts when it gathers them.
//
// Ownership: the table owns the cells. Thread safety: none of its own; the
// collector calls every member under its data lock. KwStatsCounter::Add()
// reaches the cells without a lock, through their atomics.
#ifndef KW_STATS_COUNTER_TABLE_H
#define KW_STATS_COUNTER_TABLE_H

#include <stddef.h>

#include <memory>

#include "KwCollectorLimits.h"
#include "KwDiagTypes.h"
#include "KwStatsCounterCells.h"

class KwSrvrStatsCount;

class KwStatsCounterTable {
public:
    KwStatsCounterTable();
    ~KwStatsCounterTable();
    KwStatsCounterTable(const KwStatsCounterTable&) = delete;
    KwStatsCounterTable& operator=(const KwStatsCounterTable&) = delete;

    // The cells of event `eventId` (0 to 255), which counts into count slot
    // `countSlot`. An event without cells yet takes over `made` (made by the
    // caller before its lock), open or closed as `open` says.
    KwStatsCounterCells* CellsOf(int eventId, unsigned int countSlot, bool open,
                                 std::unique_ptr<KwStatsCounterCells>& made);

    // Moves what the counters of events 0 to `events` - 1 added into their
    // slots of `counts`.
    void Gather(size_t events, KwSrvrStatsCount& counts);

    // Lets every counter count, or refuse.
    void Open(bool open);

    // Occurrences that the counters refused while closed (wrapping).
    KwUlong32 Refused() const;

private:
    // One set of cells per event id.
    KwStatsCounterCells* m_cells[kMaxEvents];  // null: no counter yet
    unsigned int m_slots[kMaxEvents];
};

#endif  // KW_STATS_COUNTER_TABLE_H
