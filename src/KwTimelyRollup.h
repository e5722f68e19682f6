// The timely roll-up (KwSrvrStatsCollector::SetTimelyRollup): a second
// closes as soon as its timer fires, whatever waits, and a report stamped
// within it that is processed after it closed still counts there.
//
// Threads: NoteTimerFired() runs on the timer manager's thread and
// LastFiring() on the collection thread; the fired time is stored before the
// roll-up flag is raised and read only while it is up, when no next timer
// exists yet. Every other member is for the collector, which calls it under
// its data lock.
#ifndef KW_TIMELY_ROLLUP_H
#define KW_TIMELY_ROLLUP_H

#include <time.h>

#include "KwMaxValue.h"
#include "KwRingBuffer.h"
#include "KwSrvrStatsCount.h"

class KwTimelyRollup {
public:
    typedef KwRingBuffer<KwSrvrStatsCount> Ring;

    // Notes when the roll-up timer fired (CLOCK_MONOTONIC).
    static void NoteTimerFired();
    // When the roll-up timer fired last; {0, 0} if the clock was unreadable.
    static timespec LastFiring();
    // Milliseconds from `now` until the end of the second after the one
    // that ended at `fired`: the seconds stay a second apart however late a
    // roll-up runs; at least 1. A whole second when either time is unknown
    // ({0, 0}).
    static unsigned long NextTimeoutMs(const timespec& fired, const timespec& now);
    // The same from the monotonic clock's present reading.
    static unsigned long NextTimeoutMs(const timespec& fired);

    // The setting: off until set.
    void SetOn(bool on) { m_on = on; }
    bool On() const { return m_on; }

    // The second that ended at `fired` ({0, 0}: unknown) has been rolled
    // up; it closed a minute too (`periods` 1), or a minute and an hour (2).
    void Closed(const timespec& fired, int periods);
    // A reset emptied the stores: the closed second is gone with them.
    void Forget();

    // Whether a report stamped `stamp` belongs to the closed second.
    bool Late(const timespec& stamp) const;
    // Counts a late report of count slot `slot` in the closed second, and
    // in the minute and hour it closed, and takes it out of the next second
    // (`lastRollupCounts`); `peak`, the event's peak per second (null:
    // none), then takes the closed second's count if it is larger. Nothing
    // when the minute ring is empty (a reset came after the close).
    void CountLate(unsigned int slot, KwMaxValue* peak, KwSrvrStatsCount& lastRollupCounts,
                   Ring& minuteRing, Ring& hourRing, Ring& dayRing);

private:
    bool m_on = false;
    bool m_known = false;       // a second has closed at a known moment
    timespec m_closedAt{0, 0};  // when its timer fired
    int m_periods = 0;          // it also closed a minute (1), and an hour (2)
};

#endif  // KW_TIMELY_ROLLUP_H
