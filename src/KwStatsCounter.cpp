#include "KwStatsCounter.h"

#include <atomic>

#include "KwSrvrStatsCollector.h"
#include "KwStatsCounterCells.h"
#include "dlog.h"

namespace {

// Each thread's stripe, handed out in turn at its first Add(). Initial-exec
// TLS: a plain load, no call, in a library the host loads at start.
__attribute__((tls_model("initial-exec"))) thread_local int t_stripe = -1;
std::atomic<unsigned int> g_nextStripe{0};

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
        stripe = static_cast<int>(g_nextStripe.fetch_add(1, std::memory_order_relaxed) %
                                  KwStatsCounterCells::kStripes);
        t_stripe = stripe;
    }
    cells->stripes[stripe].count.fetch_add(n, std::memory_order_relaxed);
}
