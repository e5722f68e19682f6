// Waiting for an observable condition with a deadline, never for a time.
#ifndef QEL_TEST_WAIT_H
#define QEL_TEST_WAIT_H

#include <chrono>
#include <thread>

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

#endif  // QEL_TEST_WAIT_H
