// KwTimerMgr: the host's timer manager.
//
// One-shot timers served by one manager thread. CreateTimer() arms a timer
// that calls `onExpiry(id, arg)` once, about `timeoutMs` later, on the
// manager's thread. The manager never holds its own lock while it runs a
// callback, so callbacks may create or cancel timers.
//
// Two clocks:
//   REAL_CLOCK   a thread of the manager's waits for the monotonic clock.
//   MANUAL_CLOCK time stands still until Advance() moves it; the due timers
//                then fire on the thread that calls Advance(), in order of
//                their due time. Tests use it to run hours of timers in
//                moments, deterministically.
//
// Ids are 1..65535, reused only after their timer has fired or been
// cancelled, and never equal INVALID_TIMER_ID. Cancelling a fired, cancelled
// or unknown id is harmless.
//
// Ownership: the host owns the manager; it must outlive every user that may
// still create or cancel timers. The destructor drops pending timers without
// calling them and joins the manager thread.
//
// Thread safety: every member may be called from any thread.
#ifndef KW_TIMER_MGR_H
#define KW_TIMER_MGR_H

#include <stddef.h>
#include <stdint.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

class KwTimerMgr {
public:
    typedef void (*TimerCallback)(unsigned short timerId, void* arg);

    // Returned by CreateTimer() when no timer could be created.
    static constexpr unsigned short INVALID_TIMER_ID = 0;

    enum Clock { REAL_CLOCK, MANUAL_CLOCK };

    explicit KwTimerMgr(Clock clock = REAL_CLOCK);
    ~KwTimerMgr();

    KwTimerMgr(const KwTimerMgr&) = delete;
    KwTimerMgr& operator=(const KwTimerMgr&) = delete;

    // Arms a one-shot timer. `otherCb`, when not null, is called with the id
    // and `arg` on the cancelling thread if the timer is cancelled before it
    // fires. Returns the timer's id, or INVALID_TIMER_ID when `onExpiry` is
    // null, every id is in use, memory runs out, or a failure was injected.
    unsigned short CreateTimer(unsigned long timeoutMs, TimerCallback onExpiry,
                               TimerCallback otherCb, void* arg);

    // Returns 0 when a pending timer was cancelled, -1 otherwise.
    int CancelTimer(unsigned short timerId);

    // MANUAL_CLOCK: moves time forward by `ms` and fires every timer that
    // falls due, including timers that those callbacks create within the
    // span. Returns the number fired. Does nothing on REAL_CLOCK.
    unsigned int Advance(unsigned long ms);

    // Timers armed and not yet fired or cancelled.
    size_t PendingCount() const;
    // Timers created successfully since construction.
    unsigned long CreatedCount() const;
    // Waits until CreatedCount() reaches `count`; false on timeout.
    bool WaitForCreated(unsigned long count, unsigned long timeoutMs) const;

    // The next `count` calls of CreateTimer() fail (for failure tests).
    void FailNextCreates(unsigned int count);

private:
    struct Timer {
        uint64_t dueUs;
        uint64_t sequence;  // keeps creation order among equal due times
        TimerCallback onExpiry;
        TimerCallback otherCb;
        void* arg;
    };
    typedef std::map<unsigned short, Timer> TimerMap;
    // Pending timers in firing order: due time, then creation.
    typedef std::map<std::pair<uint64_t, uint64_t>, unsigned short> DueIndex;

    uint64_t NowUs() const;  // needs m_lock for MANUAL_CLOCK
    TimerMap::iterator Earliest();
    void Erase(TimerMap::iterator timer);
    void Run();

    const Clock m_clock;
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    TimerMap m_pending;
    DueIndex m_byDue;
    unsigned short m_lastId = 0;
    uint64_t m_sequence = 0;
    uint64_t m_manualNowUs = 0;
    unsigned long m_created = 0;
    unsigned int m_failuresToInject = 0;
    bool m_stopping = false;
    std::thread m_thread;
};

#endif  // KW_TIMER_MGR_H
