#include "KwStatsCopier.h"

KwStatsCopier::KwStatsCopier(unsigned int dimension, const KwSrvrStatsCount& currentCounts,
                             const KwMaxValue* maxRates, const KwMaxValue* waterMarks,
                             const Ring& minuteRing, const Ring& hourRing, const Ring& dayRing)
    : m_currentCounts(currentCounts),
      m_maxRates(maxRates),
      m_waterMarks(waterMarks),
      m_minuteRing(minuteRing),
      m_hourRing(hourRing),
      m_dayRing(dayRing),
      m_minute(dimension),
      m_hour(dimension),
      m_day(dimension) {
    minuteRing.GetSum(m_minute);
    hourRing.GetSum(m_hour);
    dayRing.GetSum(m_day);
}

void KwStatsCopier::Copy(int countSlot, int rateSlot, int waterMarkSlot, bool withHistories,
                         KwStatsEventSnapshot& copy) const {
    if (countSlot != -1) {
        unsigned int slot = static_cast<unsigned int>(countSlot);
        copy.counted = true;
        copy.minute = m_minute[slot];
        copy.hour = m_hour[slot];
        copy.day = m_day[slot];
        copy.total = m_currentCounts[slot];
        if (withHistories) {
            CopyHistory(m_minuteRing, slot, copy.seconds);
            CopyHistory(m_hourRing, slot, copy.minutes);
            CopyHistory(m_dayRing, slot, copy.hours);
        }
    }
    if (rateSlot != -1) {
        copy.rated = true;
        copy.peak = m_maxRates[rateSlot].GetValue();
        copy.peakTime = m_maxRates[rateSlot].GetTimeTicks();
    }
    if (waterMarkSlot != -1) {
        const KwMaxValue& mark = m_waterMarks[waterMarkSlot];
        copy.mark =
            countSlot == -1 ? KwStatsEventSnapshot::WATER_MARK : KwStatsEventSnapshot::LATENCY;
        copy.markValue = mark.GetValue();
        copy.markTime = mark.GetTimeTicks();
    }
}

void KwStatsCopier::CopyHistory(const Ring& ring, unsigned int slot,
                                std::vector<KwUlong32>& history) {
    history.resize(ring.Count());
    for (unsigned int position = 0; position < ring.Count(); ++position) {
        history[position] = ring.At(position)[slot];
    }
}
