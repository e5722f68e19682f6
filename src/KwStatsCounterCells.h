// What the counters of one event add into: stripes on cache lines of their
// own, drained by the collector under its data lock. Inside the library only.
#ifndef KW_STATS_COUNTER_CELLS_H
#define KW_STATS_COUNTER_CELLS_H

#include <stdint.h>

#include <atomic>

struct KwStatsCounterCells {
    // Enough for the cores of a board; more threads share stripes, which
    // costs them contention, never counts.
    static constexpr unsigned int kStripes = 8;

    struct alignas(64) Stripe {
        std::atomic<uint32_t> count{0};
    };

    Stripe stripes[kStripes];
    // Whether the collector takes counts; read by every Add(), written only
    // when collection starts or ends, so its line is shared, never bounced.
    alignas(64) std::atomic<bool> open{false};
    // Occurrences refused while closed (wrapping).
    std::atomic<uint32_t> refused{0};

    // Takes everything added so far (wrapping, as the counters do).
    uint32_t Drain() {
        uint32_t sum = 0;
        for (Stripe& stripe : stripes) {
            sum += stripe.count.exchange(0, std::memory_order_relaxed);
        }
        return sum;
    }
};

#endif  // KW_STATS_COUNTER_CELLS_H
