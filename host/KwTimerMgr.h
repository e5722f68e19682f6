// KwTimerMgr: the host's timer manager.
//
// One-shot timers served by one manager thread. CreateTimer() arms a timer
// that calls `onExpiry(id, arg)` once, about `timeoutMs` later, on the
// manager's thread. The manager never holds its own lock while it runs a
// callback, so callbacks may create or cancel timers.
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
//
// The diagnostics library holds a manager by pointer only, so its layout is
// the host's own. Tests drive a manager on a manual clock through the
// derived KwTestTimerMgr (KwTestTimerMgr.h), which a host never needs.
#ifndef KW_TIMER_MGR_H
#define KW_TIMER_MGR_H

#include <memory>

class KwTimerMgr {
public:
    typedef void (*TimerCallback)(unsigned short timerId, void* arg);

    // Returned by CreateTimer() when no timer could be created.
    static constexpr unsigned short INVALID_TIMER_ID = 0;

    KwTimerMgr();
    ~KwTimerMgr();

    KwTimerMgr(const KwTimerMgr&) = delete;
    KwTimerMgr& operator=(const KwTimerMgr&) = delete;

    // Arms a one-shot timer. `otherCb`, when not null, is called with the id
    // and `arg` on the cancelling thread if the timer is cancelled before it
    // fires. Returns the timer's id, or INVALID_TIMER_ID when `onExpiry` is
    // null, every id is in use, or memory runs out.
    unsigned short CreateTimer(unsigned long timeoutMs, TimerCallback onExpiry,
                               TimerCallback otherCb, void* arg);

    // Returns 0 when a pending timer was cancelled, -1 otherwise.
    int CancelTimer(unsigned short timerId);

protected:
    class Engine;  // the timers and the thread that fires them
    explicit KwTimerMgr(std::unique_ptr<Engine> engine);
    Engine& GetEngine() const { return *m_engine; }

private:
    std::unique_ptr<Engine> m_engine;
};

#endif  // KW_TIMER_MGR_H
