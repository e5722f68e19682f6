// Time stamps for tests.
#ifndef QEL_TEST_TEST_TIME_H
#define QEL_TEST_TEST_TIME_H

#include <time.h>

inline timespec At(long sec, long nsec) {
    timespec t;
    t.tv_sec = sec;
    t.tv_nsec = nsec;
    return t;
}

inline timespec Now() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

// Seconds since the epoch, as the collector stamps its records.
inline long WallSeconds() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long>(now.tv_sec);
}

inline long TenthsBetween(timespec from, timespec to) {
    return static_cast<long>((to.tv_sec - from.tv_sec) * 10000 +
                             (to.tv_nsec - from.tv_nsec) / 100000);
}

#endif  // QEL_TEST_TEST_TIME_H
