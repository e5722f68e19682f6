#include "PollSleeps.h"

#include <errno.h>
#include <time.h>

#include <atomic>

namespace {
std::atomic<useconds_t> g_capUs{0};
std::atomic<useconds_t> g_lastRequestedUs{0};
thread_local std::chrono::steady_clock::time_point t_lastSleepStart;
}  // namespace

void ShortenPollSleeps(useconds_t capUs) {
    g_capUs.store(capUs);
}

useconds_t LastRequestedSleepUs() {
    return g_lastRequestedUs.load();
}

std::chrono::steady_clock::time_point LastSleepStartOnThisThread() {
    return t_lastSleepStart;
}

extern "C" int usleep(useconds_t us) {
    t_lastSleepStart = std::chrono::steady_clock::now();
    g_lastRequestedUs.store(us);
    useconds_t cap = g_capUs.load();
    useconds_t actual = cap != 0 && us > cap ? cap : us;
    timespec left{static_cast<time_t>(actual / 1000000),
                  static_cast<long>(actual % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return 0;
}
