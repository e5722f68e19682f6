// The collection thread's fixed timings, shared by the files of the
// collector. Inside the library only.
#ifndef KW_COLLECTOR_TIMING_H
#define KW_COLLECTOR_TIMING_H

#include <unistd.h>

// The roll-up timer.
constexpr unsigned long kRollupPeriodMs = 1000;
// The collection thread's idle poll.
constexpr useconds_t kPollUs = 10000;

#endif  // KW_COLLECTOR_TIMING_H
