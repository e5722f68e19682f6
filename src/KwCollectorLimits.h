// The collector's fixed limits and timings, shared by the files of the
// collector. Inside the library only.
#ifndef KW_COLLECTOR_LIMITS_H
#define KW_COLLECTOR_LIMITS_H

#include <unistd.h>

// Events that can be registered: ids 0 to 255.
constexpr int kMaxEvents = 256;

// The roll-up timer.
constexpr unsigned long kRollupPeriodMs = 1000;
// The collection thread's idle poll.
constexpr useconds_t kPollUs = 10000;
// With the timely roll-up, the most a report is stamped after the oldest one
// waiting: well under a second, so that every report is processed before
// the second after its own closes, and counted in its own.
constexpr unsigned int kTimelyMaxAgeMs = 250;

#endif  // KW_COLLECTOR_LIMITS_H
