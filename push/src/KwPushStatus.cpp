#include "KwPushStatus.h"

KwPushStatus::KwPushStatus(double intervalSeconds) {
    KwStdGuard guard(m_lock);
    m_figures.present = true;
    m_figures.intervalSeconds = intervalSeconds;
}

void KwPushStatus::Sent(size_t samples, KwLong32 now) {
    KwStdGuard guard(m_lock);
    m_figures.samplesSent += static_cast<KwUlong32>(samples);
    m_figures.lastSuccessAt = now;
}

void KwPushStatus::Failed(int status) {
    KwStdGuard guard(m_lock);
    ++m_failed[status];
}

void KwPushStatus::SetFailing(bool failing) {
    KwStdGuard guard(m_lock);
    m_figures.failing = failing;
}

void KwPushStatus::Dropped(KwUlong32 KwStatsPushFigures::*reason, size_t samples) {
    KwStdGuard guard(m_lock);
    m_figures.*reason += static_cast<KwUlong32>(samples);
}

void KwPushStatus::SpoolDamaged(size_t stretches) {
    KwStdGuard guard(m_lock);
    m_figures.spoolDamaged += static_cast<KwUlong32>(stretches);
}

void KwPushStatus::Pending(size_t samples, uint64_t spoolBytes) {
    KwStdGuard guard(m_lock);
    m_figures.samplesPending = static_cast<KwUlong32>(samples);
    m_figures.spoolBytes = static_cast<KwUlong32>(spoolBytes);
}

void KwPushStatus::Fill(KwStatsPushFigures& out) const {
    KwStdGuard guard(m_lock);
    out = m_figures;
    out.failedRequests.assign(m_failed.begin(), m_failed.end());
}
