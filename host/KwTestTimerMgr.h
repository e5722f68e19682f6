// KwTestTimerMgr: the stand-in timer manager with what tests need, which no
// host provides: a manual clock, counts of timers, and failures on request.
//
//   REAL_CLOCK   a thread of the manager's waits for the monotonic clock.
//   MANUAL_CLOCK time stands still until Advance() moves it; the due timers
//                then fire on the thread that calls Advance(), in order of
//                their due time, so hours of timers run in moments.
//
// It is a KwTimerMgr: hand it to the collector as the host's manager.
// Thread safety: every member may be called from any thread.
#ifndef KW_TEST_TIMER_MGR_H
#define KW_TEST_TIMER_MGR_H

#include <stddef.h>

#include "KwTimerMgr.h"

class KwTestTimerMgr : public KwTimerMgr {
public:
    enum Clock { REAL_CLOCK, MANUAL_CLOCK };

    explicit KwTestTimerMgr(Clock clock);

    // MANUAL_CLOCK: moves time forward by `ms` and fires every timer that
    // falls due, including timers that those callbacks create within the
    // span. Returns the number fired. Does nothing on REAL_CLOCK.
    unsigned int Advance(unsigned long ms);

    // Timers armed and not yet fired or cancelled.
    size_t PendingCount() const;
    // Timers created successfully since construction.
    unsigned long CreatedCount() const;
    // Waits until CreatedCount() reaches `count`; false on timeout.
    bool WaitForCreated(unsigned long count, unsigned long timeoutMs) const;

    // The next `count` calls of CreateTimer() fail.
    void FailNextCreates(unsigned int count);
};

#endif  // KW_TEST_TIMER_MGR_H
