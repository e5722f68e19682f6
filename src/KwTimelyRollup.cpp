#include "KwTimelyRollup.h"

#include <atomic>

#include "KwCollectorLimits.h"

namespace {

std::atomic<long> g_firedSec{0};
std::atomic<long> g_firedNsec{0};

bool Known(const timespec& t) {
    return t.tv_sec != 0 || t.tv_nsec != 0;
}

}  // namespace

void KwTimelyRollup::NoteTimerFired() {
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        now.tv_sec = 0;
        now.tv_nsec = 0;
    }
    g_firedSec.store(static_cast<long>(now.tv_sec), std::memory_order_relaxed);
    g_firedNsec.store(now.tv_nsec, std::memory_order_relaxed);
}

timespec KwTimelyRollup::LastFiring() {
    timespec fired;
    fired.tv_sec = g_firedSec.load(std::memory_order_relaxed);
    fired.tv_nsec = g_firedNsec.load(std::memory_order_relaxed);
    return fired;
}

unsigned long KwTimelyRollup::NextTimeoutMs(const timespec& fired, const timespec& now) {
    if (!Known(fired) || !Known(now)) {
        return kRollupPeriodMs;
    }
    long elapsedMs = static_cast<long>((now.tv_sec - fired.tv_sec) * 1000 +
                                       (now.tv_nsec - fired.tv_nsec) / 1000000);
    if (elapsedMs <= 0) {
        return kRollupPeriodMs;
    }
    return elapsedMs < static_cast<long>(kRollupPeriodMs)
               ? kRollupPeriodMs - static_cast<unsigned long>(elapsedMs)
               : 1;
}

unsigned long KwTimelyRollup::NextTimeoutMs(const timespec& fired) {
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return kRollupPeriodMs;  // no clock: a whole period, as for an unknown firing
    }
    return NextTimeoutMs(fired, now);
}

void KwTimelyRollup::Closed(const timespec& fired, int periods) {
    m_known = Known(fired);
    m_closedAt = fired;
    m_periods = periods;
}

void KwTimelyRollup::Forget() {
    m_known = false;
}

bool KwTimelyRollup::Late(const timespec& stamp) const {
    return m_known && (stamp.tv_sec < m_closedAt.tv_sec ||
                       (stamp.tv_sec == m_closedAt.tv_sec && stamp.tv_nsec <= m_closedAt.tv_nsec));
}

void KwTimelyRollup::CountLate(unsigned int slot, KwMaxValue* peak,
                               KwSrvrStatsCount& lastRollupCounts, Ring& minuteRing, Ring& hourRing,
                               Ring& dayRing) {
    if (minuteRing.Count() == 0) {
        return;
    }
    ++lastRollupCounts[slot];
    KwUlong32 second = ++(*minuteRing.Newest())[slot];
    if (m_periods >= 1) {
        ++(*hourRing.Newest())[slot];
    }
    if (m_periods >= 2) {
        ++(*dayRing.Newest())[slot];
    }
    if (peak != nullptr) {
        peak->UpdateIfLarger(second);
    }
}
