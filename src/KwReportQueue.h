// The collector's queue of submitted reports. It works on the waiting list
// and the queue lock that the collector holds, by reference, and adds what
// the collector needs around them: list nodes kept for reuse, a bound on the
// reports held, the collection thread's batch, and counts of what it refused.
//
// Threads: submitters (any thread) call Draining(), LooksFull(), Append()
// and CountRefusal(); the collection thread alone calls Open(), Close(),
// Take(), InHand(), Processed(), Arrived() and PutBack(); ReleaseAll() runs
// when that thread leaves or has gone. Every member takes the queue lock
// itself where it needs it, holds no other lock, and neither allocates nor
// frees while it holds it. Reading the figures is safe from any thread.
//
// Ownership: a report handed to Append() and queued belongs to the queue
// until the collection thread has taken it (Take()) and processed it; the
// queue releases reports with free(), so they must be malloc blocks. A
// report carries its submission time in a timespec `stamp`.
#ifndef KW_REPORT_QUEUE_H
#define KW_REPORT_QUEUE_H

#include <stddef.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <list>
#include <new>

#include "KwDiagTypes.h"
#include "KwLinuxMutex.h"
#include "KwMutexGuard.h"
#include "KwThreadAnnotations.h"

template <class Report>
class KwReportQueue {
public:
    typedef std::list<Report*> List;

    // What became of a report handed to Append(). A refused report stays
    // the caller's.
    enum Verdict {
        QUEUED,     // on the list
        NO_THREAD,  // no collection thread drains the list (Open() not called, or Close())
        FULL,       // the reports held are at the bound
        BEHIND,     // the oldest report held is older than the age bound
        NO_MEMORY   // no list node could be made
    };

    // List nodes kept for reuse: enough for the reports of a busy poll, few
    // enough (some 32 KiB) that a burst does not keep its peak memory.
    static constexpr size_t kMaxSpareNodes = 1024;
    // Processed reports are released this many at a time: a submitter then
    // finds the allocator's freed blocks in runs, instead of contending
    // with the collection thread for them after every report, and the
    // blocks are still in that thread's cache when it frees them.
    static constexpr size_t kReleaseEvery = 1024;

    KwReportQueue(KwLinuxMutex& lock, List& waiting)
        : m_lock(lock), m_waiting(waiting), m_next(m_batch.end()) {}
    // Whatever the collection thread still holds goes with the queue.
    ~KwReportQueue() {
        for (Report* report : m_batch) {
            free(report);
        }
    }
    KwReportQueue(const KwReportQueue&) = delete;
    KwReportQueue& operator=(const KwReportQueue&) = delete;

    // The most reports held at once (on the list, and taken off it and not
    // yet released); 0, the default, for no bound.
    void SetBound(unsigned int maxReports) { m_bound.store(maxReports); }
    unsigned int Bound() const { return m_bound.load(); }
    // The most a report may be stamped after the oldest report held, in
    // milliseconds, so that no report waits much longer than that; 0, the
    // default, for no such bound.
    void SetMaxAge(unsigned int ms) { m_maxAgeMs.store(ms); }
    unsigned int MaxAge() const { return m_maxAgeMs.load(); }

    // ---- Submitters

    // Whether a collection thread drains the list.
    bool Draining() const { return m_draining.load(); }

    // A first look at the bound, without the lock, that spares a report
    // the allocation when the queue is full. `held` tells the reports held.
    bool LooksFull(size_t& held) const {
        if (m_bound.load(std::memory_order_relaxed) == 0) {
            return false;
        }
        size_t onList = m_waitingCount.load(std::memory_order_relaxed);
        held = onList + m_held.load(std::memory_order_relaxed);
        return Full(onList);
    }

    // Appends `report` at the back of the list. A node emptied by the
    // collection thread is reused, so a submission allocates only its
    // report; should there be none, one is made outside the lock. `held`
    // tells the reports held when the verdict is FULL.
    Verdict Append(Report* report, size_t& held) KW_EXCLUDES(m_lock) {
        if (Behind(report->stamp)) {
            return BEHIND;
        }
        List made;
        for (;;) {
            {
                KwMutexGuard guard(m_lock);
                if (!m_draining.load()) {
                    return NO_THREAD;
                }
                if (Full(m_waiting.size())) {
                    held = m_waiting.size() + m_held.load(std::memory_order_relaxed);
                    return FULL;
                }
                List& nodes = made.empty() ? m_spare : made;
                if (!nodes.empty()) {
                    nodes.front() = report;
                    m_waiting.splice(m_waiting.end(), nodes, nodes.begin());
                    m_waitingCount.store(m_waiting.size(), std::memory_order_relaxed);
                    return QUEUED;
                }
            }
            try {
                made.push_back(nullptr);
            } catch (const std::bad_alloc&) {
                return NO_MEMORY;
            }
        }
    }

    // Counts a refusal for want of a thread, or for either bound (wrapping).
    void CountRefusal(Verdict why) {
        if (why == NO_THREAD) {
            m_refusedNoThread.fetch_add(1, std::memory_order_relaxed);
        } else if (why == FULL || why == BEHIND) {
            m_refusedFull.fetch_add(1, std::memory_order_relaxed);
        }
    }

    // ---- Figures

    // Reports submitted and not yet processed: on the list and in hand.
    size_t Waiting() const {
        return m_waitingCount.load(std::memory_order_relaxed) +
               m_inHand.load(std::memory_order_relaxed);
    }
    KwUlong32 RefusedNoThread() const { return m_refusedNoThread.load(std::memory_order_relaxed); }
    KwUlong32 RefusedFull() const { return m_refusedFull.load(std::memory_order_relaxed); }
    // List nodes kept for reuse.
    size_t Spares() const KW_EXCLUDES(m_lock) {
        KwMutexGuard guard(m_lock);
        return m_spare.size();
    }

    // ---- The collection thread

    // Lets submissions in: this thread drains the list from now on.
    void Open() KW_EXCLUDES(m_lock) {
        KwMutexGuard guard(m_lock);
        m_draining.store(true);
    }

    // Shuts submissions out, under the lock where Append() looks: nothing
    // is accepted from here on. What was accepted before moves to `accepted`.
    void Close(List& accepted) KW_EXCLUDES(m_lock) {
        KwMutexGuard guard(m_lock);
        m_draining.store(false);
        accepted.swap(m_waiting);
        m_waitingCount.store(0, std::memory_order_relaxed);
    }

    // With nothing in hand, takes the whole list, so that submitters meet
    // this thread on the lock once per batch rather than once per report;
    // the nodes of released reports go back to them in the same step.
    // Returns the reports waiting: in hand and on the list.
    size_t Take() KW_EXCLUDES(m_lock) {
        if (m_inHandCount > 0) {
            return m_inHandCount + m_waitingCount.load(std::memory_order_relaxed);
        }
        ReleaseProcessed();
        {
            KwMutexGuard guard(m_lock);
            m_batch.swap(m_waiting);
            // Both under the lock, so that a submission that tests the
            // bound sees the reports either on the list or held.
            m_inHand.store(m_batch.size(), std::memory_order_relaxed);
            m_held.store(m_batch.size(), std::memory_order_relaxed);
            m_waitingCount.store(0, std::memory_order_relaxed);
            // Neither list exceeds the bound: keep both when they fit
            // together, else the longer one.
            if (m_spare.size() + m_emptied.size() <= kMaxSpareNodes) {
                m_spare.splice(m_spare.end(), m_emptied);
            } else if (m_spare.size() < m_emptied.size()) {
                m_spare.swap(m_emptied);
            }
        }
        m_emptied.clear();  // what the spares have no room for
        m_next = m_batch.begin();
        m_inHandCount = m_batch.size();
        PublishOldest();
        return m_inHandCount;
    }

    bool HasInHand() const { return m_inHandCount > 0; }
    // The oldest report in hand; only while HasInHand().
    const Report& InHand() const { return **m_next; }

    // The report in hand is done with; every kReleaseEvery such reports
    // are released together.
    void Processed() {
        ++m_next;
        --m_inHandCount;
        m_inHand.store(m_inHandCount, std::memory_order_relaxed);
        PublishOldest();
        if (++m_processed == kReleaseEvery) {
            ReleaseProcessed();
            m_held.store(m_inHandCount, std::memory_order_relaxed);
        }
    }

    // Whether reports wait on the list.
    bool Arrived() const KW_EXCLUDES(m_lock) {
        KwMutexGuard guard(m_lock);
        return !m_waiting.empty();
    }

    // Reports not processed go back to the front of the list, in order.
    void PutBack() KW_EXCLUDES(m_lock) {
        ReleaseProcessed();
        {
            KwMutexGuard guard(m_lock);
            m_waiting.splice(m_waiting.begin(), m_batch);
            m_inHand.store(0, std::memory_order_relaxed);
            m_held.store(0, std::memory_order_relaxed);
            m_waitingCount.store(m_waiting.size(), std::memory_order_relaxed);
        }
        m_inHandCount = 0;
        m_next = m_batch.end();
        m_emptied.clear();
        PublishOldest();
    }

    // Shuts submissions out and releases every report on the list, and the
    // spare nodes; nothing may be in hand (PutBack() first).
    void ReleaseAll() KW_EXCLUDES(m_lock) {
        List dropped;
        List spare;
        {
            KwMutexGuard guard(m_lock);
            m_draining.store(false);
            dropped.swap(m_waiting);
            spare.swap(m_spare);
            m_waitingCount.store(0, std::memory_order_relaxed);
            m_inHand.store(0, std::memory_order_relaxed);
            m_held.store(0, std::memory_order_relaxed);
        }
        for (Report* report : dropped) {
            free(report);
        }
    }

private:
    // With `onList` reports on the list, whether the reports held are at
    // the bound. The collection thread's count is read only when a bound
    // is set, so an unbounded submission touches nothing that thread writes.
    bool Full(size_t onList) const {
        unsigned int bound = m_bound.load(std::memory_order_relaxed);
        return bound != 0 && onList + m_held.load(std::memory_order_relaxed) >= bound;
    }

    static long long Nanoseconds(const timespec& t) {
        return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
    }

    // With the age bound set, whether a report stamped `stamp` comes more
    // than the bound after the oldest report held. The submitter's stamp
    // serves as the present: no clock is read for it.
    bool Behind(const timespec& stamp) const {
        long long bound = m_maxAgeMs.load(std::memory_order_relaxed) * 1000000LL;
        if (bound == 0) {
            return false;
        }
        long long oldest = Nanoseconds(Oldest());
        return oldest != 0 && Nanoseconds(stamp) - oldest > bound;
    }

    // The stamp of the oldest report held and not yet processed, the one in
    // hand; zero when nothing is in hand (or its stamp is unknown). Two
    // words under a sequence count, the collection thread the only writer:
    // a 32-bit board has no lock-free 64-bit atomic without libatomic.
    void PublishOldest() {
        timespec oldest = m_inHandCount > 0 ? (*m_next)->stamp : timespec{0, 0};
        // A reader that sees either word of this write sees the odd count
        // too (the words are released after it), and one that sees the even
        // count sees both words.
        unsigned int sequence = m_oldestSequence.load(std::memory_order_relaxed);
        m_oldestSequence.store(sequence + 1, std::memory_order_relaxed);
        m_oldestSec.store(static_cast<long>(oldest.tv_sec), std::memory_order_release);
        m_oldestNsec.store(oldest.tv_nsec, std::memory_order_release);
        m_oldestSequence.store(sequence + 2, std::memory_order_release);
    }

    // What PublishOldest() wrote last, read whole: retried while it writes.
    timespec Oldest() const {
        timespec oldest;
        unsigned int before, after;
        do {
            // Acquire loads, so the second look at the count comes after
            // both words (no fence: ThreadSanitizer does not model fences).
            before = m_oldestSequence.load(std::memory_order_acquire);
            oldest.tv_sec = m_oldestSec.load(std::memory_order_acquire);
            oldest.tv_nsec = m_oldestNsec.load(std::memory_order_acquire);
            after = m_oldestSequence.load(std::memory_order_relaxed);
        } while ((before & 1) != 0 || before != after);
        return oldest;
    }

    // Frees the processed reports; their nodes are kept for reuse up to the
    // bound and released beyond it. Moving a range relinks only its ends,
    // so the nodes' cache lines stay as the submitters left them.
    void ReleaseProcessed() {
        size_t room = kMaxSpareNodes - std::min(m_emptied.size(), kMaxSpareNodes);
        typename List::iterator keepEnd = m_batch.begin();
        size_t kept = 0;
        for (typename List::iterator it = m_batch.begin(); it != m_next; ++it) {
            free(*it);
            if (kept < room) {
                ++kept;
                keepEnd = std::next(it);
            }
        }
        m_emptied.splice(m_emptied.end(), m_batch, m_batch.begin(), keepEnd);
        m_batch.erase(m_batch.begin(), m_next);
        m_processed = 0;
    }

    KwLinuxMutex& m_lock;
    List& m_waiting KW_GUARDED_BY(m_lock);
    List m_spare KW_GUARDED_BY(m_lock);
    std::atomic<unsigned int> m_bound{0};
    std::atomic<unsigned int> m_maxAgeMs{0};
    std::atomic<bool> m_draining{false};
    // Size of the list, for the bound's first look and the figures.
    alignas(64) std::atomic<size_t> m_waitingCount{0};
    // Reports taken off the list and not yet processed, and those taken and
    // not yet released (the bound counts these); written by the collection
    // thread alone.
    alignas(64) std::atomic<size_t> m_inHand{0};
    std::atomic<size_t> m_held{0};
    std::atomic<unsigned int> m_oldestSequence{0};
    std::atomic<long> m_oldestSec{0};
    std::atomic<long> m_oldestNsec{0};
    std::atomic<KwUlong32> m_refusedNoThread{0};
    std::atomic<KwUlong32> m_refusedFull{0};

    // The collection thread's alone: the reports it took, [begin, m_next)
    // processed and not yet released, [m_next, end) in hand; and the nodes
    // of released reports on their way back to the submitters.
    List m_batch;
    typename List::iterator m_next;
    size_t m_inHandCount = 0;
    size_t m_processed = 0;
    List m_emptied;
};

#endif  // KW_REPORT_QUEUE_H
