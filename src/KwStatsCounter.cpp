#include "KwStatsCounter.h"

#include <stddef.h>

#include <atomic>

#include "KwSrvrStatsCollector.h"
#include "KwStatsCounterCells.h"
#include "dlog.h"

namespace {

// Each thread's stripe, taken at its first Add(). Initial-exec TLS: a plain
// load, no call, in a library the host loads at start.
__attribute__((tls_model("initial-exec"))) thread_local int t_stripe = -1;

// Threads holding each stripe. A thread takes the one with the fewest and
// gives it back when it ends, so threads that come and go (a thread per
// connection, a pool that shrinks) do not pile onto the stripe of one that
// stays.
std::atomic<unsigned int> g_stripeUsers[KwStatsCounterCells::kStripes];

struct StripeHold {
    int stripe = -1;  // set as the thread takes its stripe, the first use
    ~StripeHold() { g_stripeUsers[stripe].fetch_sub(1, std::memory_order_relaxed); }
};
thread_local StripeHold t_hold;

// Off the path of Add(): once a thread. Two threads that start at the same
// moment may take the same stripe; they then share its line, which costs
// them contention, never counts.
__attribute__((noinline, cold)) int TakeStripe() {
    unsigned int fewest = 0;
    unsigned int users = g_stripeUsers[0].load(std::memory_order_relaxed);
    for (unsigned int i = 1; i < KwStatsCounterCells::kStripes; ++i) {
        unsigned int count = g_stripeUsers[i].load(std::memory_order_relaxed);
        if (count < users) {
            fewest = i;
            users = count;
        }
    }
    g_stripeUsers[fewest].fetch_add(1, std::memory_order_relaxed);
    t_hold.stripe = static_cast<int>(fewest);
    t_stripe = static_cast<int>(fewest);
    return t_stripe;
}

}  // namespace

KwStatsCounter::KwStatsCounter(int eventId)
    : m_cells(KwSrvrStatsCollector::GetInstance().CounterCells(eventId)) {
    if (m_cells == nullptr) {
        __dlog_printf(DLOG_ERR, "KwStatsCounter.cpp",
                      "%s: event %d is not a registered counted event without latency flags; "
                      "this counter counts nothing",
                      "KwStatsCounter", eventId);
    }
}

void KwStatsCounter::Add(unsigned int n) {
    KwStatsCounterCells* cells = m_cells;
    if (cells == nullptr) {
        return;
    }
    if (!cells->open.load(std::memory_order_relaxed)) {
        cells->refused.fetch_add(n, std::memory_order_relaxed);
        return;
    }
    int stripe = t_stripe;
    if (stripe < 0) {
        stripe = TakeStripe();
    }
    cells->stripes[stripe].count.fetch_add(n, std::memory_order_relaxed);
}
