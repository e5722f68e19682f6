// KwTimeTracker: time elapsed since a start time, in tenths of a millisecond.
//
// The start time and the end stamps are CLOCK_MONOTONIC readings. A tracker
// holds one start time until the next Reset() or Set(), so any number of end
// stamps can be measured against it.
//
// Ownership: owns nothing. Thread safety: none; use one tracker from one
// thread at a time.
// Refusals: GetElapsedTenthms() returns -1 and writes one level-3 log line
// when no start time is held or the end lies before the start.
#ifndef KW_TIME_TRACKER_H
#define KW_TIME_TRACKER_H

#include <time.h>

#include "KwDiagTypes.h"

class KW_DIAG_EXPORT KwTimeTracker {
public:
    // Starts measuring from now.
    KwTimeTracker();
    virtual ~KwTimeTracker();

    // Takes the current monotonic time as the start. If the clock cannot be
    // read, logs the error and holds no start time.
    void Reset();

    // Takes `start` as the start time; {0, 0} means "no start time held".
    void Set(timespec& start);

    // Tenths of a millisecond from the start to `end`, truncated toward zero,
    // or -1 when it cannot be computed.
    KwLong32 GetElapsedTenthms(timespec& end) const;

private:
    timespec m_startTime;
    bool m_startTimeValid;
};

#endif  // KW_TIME_TRACKER_H
