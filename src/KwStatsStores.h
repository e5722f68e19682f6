// The collector's statistics stores, made together outside its data lock and
// handed over whole, so that the lock is never held while they are made and
// a failed allocation leaves nothing half made.
//
// Ownership: a KwStatsStores owns what it holds until Exchange() trades it
// for what the collector's members point at; it releases what it holds when
// it goes. Thread safety: none; the collector calls Exchange() under its
// data lock.
#ifndef KW_STATS_STORES_H
#define KW_STATS_STORES_H

#include <memory>

#include "KwMaxValue.h"
#include "KwRingBuffer.h"
#include "KwSrvrStatsCount.h"

// Depths of the history rings: a minute of seconds, an hour of minutes, a
// day of hours.
constexpr unsigned int kSecondsPerMinute = 60;
constexpr unsigned int kMinutesPerHour = 60;
constexpr unsigned int kHoursPerDay = 24;

// The slots that registration handed out: the sizes of the stores.
struct KwStoreSizes {
    int count;
    int rate;
    int waterMark;
};

class KwStatsStores {
public:
    typedef KwRingBuffer<KwSrvrStatsCount> Ring;

    // Makes every store for `sizes`: the peak and water-mark arrays, the
    // running and last-rolled-up counts, and the three overwriting rings.
    // False when memory ran out; nothing is held then.
    bool Make(const KwStoreSizes& sizes);

    // Trades what this holds (null where nothing) for what the arguments
    // point at.
    void Exchange(KwMaxValue*& maxRates, KwMaxValue*& waterMarks, KwSrvrStatsCount*& currentCounts,
                  KwSrvrStatsCount*& lastRollupCounts, Ring*& minuteRing, Ring*& hourRing,
                  Ring*& dayRing);

private:
    std::unique_ptr<KwMaxValue[]> m_maxRates;
    std::unique_ptr<KwMaxValue[]> m_waterMarks;
    std::unique_ptr<KwSrvrStatsCount> m_currentCounts;
    std::unique_ptr<KwSrvrStatsCount> m_lastRollupCounts;
    std::unique_ptr<Ring> m_minuteRing;
    std::unique_ptr<Ring> m_hourRing;
    std::unique_ptr<Ring> m_dayRing;
};

#endif  // KW_STATS_STORES_H
