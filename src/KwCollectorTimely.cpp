// The collector's timely roll-up (SetTimelyRollup): a second closes when its
// timer fires, and reports stamped within it that are processed later still
// count there.
#include <stdint.h>
#include <time.h>
#include <unistd.h>

#include "KwCollectorTiming.h"
#include "KwLateReports.h"
#include "KwMutexGuard.h"
#include "KwRingBuffer.h"
#include "KwSrvrStatsCollector.h"
#include "KwSrvrStatsCount.h"

bool KwSrvrStatsCollector::TimelyRollUp(unsigned int dimension, KwLateReports& late) {
    timespec fired;
    fired.tv_sec = s_timerFiredSec.load(std::memory_order_relaxed);
    fired.tv_nsec = s_timerFiredNsec.load(std::memory_order_relaxed);
    {
        KwMutexGuard guard(m_dataLock);
        SettleLatePeaks(late);
    }
    int closed;
    if (!FoldSecond(dimension, closed)) {
        usleep(kPollUs);
        return true;
    }
    {
        KwMutexGuard guard(m_dataLock);
        late.resets = m_resets;
    }
    late.known = fired.tv_sec != 0 || fired.tv_nsec != 0;
    late.closedAt = fired;
    late.periods = closed;
    s_statsTimerExpired.store(false);
    // The next second ends a second after this one did, however late this
    // roll-up ran; and no idle sleep, since reports may be waiting.
    unsigned long next = kRollupPeriodMs;
    timespec now;
    if (late.known && clock_gettime(CLOCK_MONOTONIC, &now) == 0) {
        long elapsedMs = static_cast<long>((now.tv_sec - fired.tv_sec) * 1000 +
                                           (now.tv_nsec - fired.tv_nsec) / 1000000);
        next = elapsedMs <= 0 ? kRollupPeriodMs
               : elapsedMs < static_cast<long>(kRollupPeriodMs)
                   ? kRollupPeriodMs - static_cast<unsigned long>(elapsedMs)
                   : 1;
    }
    return ArmNextTimer(next);
}

void KwSrvrStatsCollector::ProcessTimely(const KwStatsDataMsgStruct& msg, KwTimeTracker& latency,
                                         KwLateReports& late) {
    Process(msg, latency);
    if (!late.Late(msg.stamp)) {
        SettleLatePeaks(late);
        return;
    }
    // Counted above in the running total; the closed second (and the
    // minute and hour it closed) take it too, and the next second does not.
    const KwSrvrStatsEvent* event =
        msg.eventId >= 0 && static_cast<size_t>(msg.eventId) < m_events.size()
            ? m_events[static_cast<size_t>(msg.eventId)]
            : nullptr;
    if (late.resets != m_resets || event == nullptr || event->type != STATS_DATA_COUNT ||
        event->countSlot == -1 || m_minuteRing->Count() == 0) {
        return;  // a reset came between, or nothing to count
    }
    unsigned int slot = static_cast<unsigned int>(event->countSlot);
    ++(*m_lastRollupCounts)[slot];
    ++(*m_minuteRing->Newest())[slot];
    if (late.periods >= 1) {
        ++(*m_hourRing->Newest())[slot];
    }
    if (late.periods >= 2) {
        ++(*m_dayRing->Newest())[slot];
    }
    late.peaksDue = late.peaksDue || event->rateSlot != -1;
}

void KwSrvrStatsCollector::SettleLatePeaks(KwLateReports& late) {
    if (late.peaksDue && late.resets == m_resets && m_minuteRing->Count() > 0) {
        UpdatePeaks(*m_minuteRing->Newest());
    }
    late.peaksDue = false;
}
