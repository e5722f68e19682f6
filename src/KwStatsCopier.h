// Copies the figures of events out of the collector's statistics stores into
// snapshots: the window sums of the three rings are taken once, when the
// copier is made, for every event copied after.
//
// Ownership: refers to the stores, owns nothing but the sums; it must not
// outlive the collector's hold of its data lock. Thread safety: none; the
// collector makes and uses it under its data lock.
#ifndef KW_STATS_COPIER_H
#define KW_STATS_COPIER_H

#include <vector>

#include "KwDiagTypes.h"
#include "KwMaxValue.h"
#include "KwRingBuffer.h"
#include "KwSrvrStatsCount.h"
#include "KwStatsSnapshot.h"

class KwStatsCopier {
public:
    typedef KwRingBuffer<KwSrvrStatsCount> Ring;

    // The stores, as the collector holds them: counters of `dimension`
    // slots, one KwMaxValue per rate and per water-mark slot.
    KwStatsCopier(unsigned int dimension, const KwSrvrStatsCount& currentCounts,
                  const KwMaxValue* maxRates, const KwMaxValue* waterMarks, const Ring& minuteRing,
                  const Ring& hourRing, const Ring& dayRing);

    // Fills the figures of `copy` for an event with these slots (-1: none):
    // counts and, `withHistories`, the ring entries of its counter; its
    // peak per second; its water mark, or its longest latency when it has
    // a counter too.
    void Copy(int countSlot, int rateSlot, int waterMarkSlot, bool withHistories,
              KwStatsEventSnapshot& copy) const;

private:
    static void CopyHistory(const Ring& ring, unsigned int slot, std::vector<KwUlong32>& history);

    const KwSrvrStatsCount& m_currentCounts;
    const KwMaxValue* m_maxRates;
    const KwMaxValue* m_waterMarks;
    const Ring& m_minuteRing;
    const Ring& m_hourRing;
    const Ring& m_dayRing;
    KwSrvrStatsCount m_minute;
    KwSrvrStatsCount m_hour;
    KwSrvrStatsCount m_day;
};

#endif  // KW_STATS_COPIER_H
