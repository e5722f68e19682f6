// Time for tests: stamps, and waiting for an observable condition with a
// deadline, never for a time.
#ifndef QEL_TEST_TEST_TIME_H
#define QEL_TEST_TEST_TIME_H

#include <time.h>

#include <chrono>
#include <thread>

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

template <class Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

#endif  // QEL_TEST_TEST_TIME_H
