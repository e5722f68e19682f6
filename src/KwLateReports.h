// What the collection thread knows of the second its timely roll-up closed
// last. Inside the library only.
#ifndef KW_LATE_REPORTS_H
#define KW_LATE_REPORTS_H

#include <time.h>

// What the collection thread knows of the second it closed last, so that a
// report stamped within it and processed after it closed still counts there.
struct KwLateReports {
    bool known = false;       // a second has closed at a known moment
    timespec closedAt{0, 0};  // CLOCK_MONOTONIC when its timer fired
    int periods = 0;          // it also closed a minute (1), and an hour (2)
    unsigned int resets = 0;  // Reset() calls before it closed
    bool peaksDue = false;    // its count grew since the peaks were taken

    bool Late(const timespec& stamp) const {
        return known && (stamp.tv_sec < closedAt.tv_sec ||
                         (stamp.tv_sec == closedAt.tv_sec && stamp.tv_nsec <= closedAt.tv_nsec));
    }
};

#endif  // KW_LATE_REPORTS_H
