// The pusher's figures, written by its thread and read by any thread
// through the source it offers (KwStatsPusher::Source), which outlives it.
#ifndef KW_PUSH_STATUS_H
#define KW_PUSH_STATUS_H

#include <map>

#include "KwStatsSnapshot.h"
#include "KwStdMutex.h"

class KwPushStatus {
public:
    explicit KwPushStatus(double intervalSeconds);

    void Sent(size_t samples, KwLong32 now);
    void Failed(int status);  // 0: no answer
    void SetFailing(bool failing);
    void Dropped(KwUlong32 KwStatsPushFigures::*reason, size_t samples);
    void SpoolDamaged(size_t stretches);
    void Pending(size_t samples, uint64_t spoolBytes);

    // Fills `out` (present).
    void Fill(KwStatsPushFigures& out) const;

private:
    mutable KwStdMutex m_lock;
    KwStatsPushFigures m_figures KW_GUARDED_BY(m_lock);
    std::map<int, KwUlong32> m_failed KW_GUARDED_BY(m_lock);
};

#endif  // KW_PUSH_STATUS_H
