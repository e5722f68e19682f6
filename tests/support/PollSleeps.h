// The collection thread sleeps 10 ms at a time when it is idle. Tests
// interpose usleep() to shorten those sleeps, so that an hour of one-second
// roll-ups runs in moments, and to see what the library asked for. The
// definition lives in the test executable, which the dynamic linker searches
// before the C library, so the shipped library is used unchanged.
#ifndef QEL_TEST_POLL_SLEEPS_H
#define QEL_TEST_POLL_SLEEPS_H

#include <unistd.h>

#include <chrono>

// Every usleep() of the process sleeps at most `capUs` (0: as asked).
void ShortenPollSleeps(useconds_t capUs);
// The duration that the latest usleep() call asked for.
useconds_t LastRequestedSleepUs();
// When the calling thread last entered usleep().
std::chrono::steady_clock::time_point LastSleepStartOnThisThread();

#endif  // QEL_TEST_POLL_SLEEPS_H
