#include "KwStatsStores.h"

#include <new>
#include <utility>

namespace {

template <class T>
void Trade(std::unique_ptr<T>& held, T*& other) {
    held.reset(std::exchange(other, held.release()));
}

template <class T>
void Trade(std::unique_ptr<T[]>& held, T*& other) {
    held.reset(std::exchange(other, held.release()));
}

}  // namespace

bool KwStatsStores::Make(const KwStoreSizes& sizes) {
    unsigned int dimension = static_cast<unsigned int>(sizes.count);
    try {
        m_maxRates.reset(new KwMaxValue[sizes.rate]);
        m_waterMarks.reset(new KwMaxValue[sizes.waterMark]);
        m_currentCounts.reset(new KwSrvrStatsCount(dimension));
        m_lastRollupCounts.reset(new KwSrvrStatsCount(dimension));
        m_minuteRing.reset(new Ring(kSecondsPerMinute, dimension, true));
        m_hourRing.reset(new Ring(kMinutesPerHour, dimension, true));
        m_dayRing.reset(new Ring(kHoursPerDay, dimension, true));
    } catch (const std::bad_alloc&) {
        *this = KwStatsStores();
        return false;
    }
    return true;
}

void KwStatsStores::Exchange(KwMaxValue*& maxRates, KwMaxValue*& waterMarks,
                             KwSrvrStatsCount*& currentCounts, KwSrvrStatsCount*& lastRollupCounts,
                             Ring*& minuteRing, Ring*& hourRing, Ring*& dayRing) {
    Trade(m_maxRates, maxRates);
    Trade(m_waterMarks, waterMarks);
    Trade(m_currentCounts, currentCounts);
    Trade(m_lastRollupCounts, lastRollupCounts);
    Trade(m_minuteRing, minuteRing);
    Trade(m_hourRing, hourRing);
    Trade(m_dayRing, dayRing);
}
