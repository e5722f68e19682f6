#include "KwTimerMgr.h"

#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "KwTestTimerMgr.h"

class KwTimerMgr::Engine {
public:
    typedef KwTimerMgr::TimerCallback TimerCallback;
    typedef KwTestTimerMgr::Clock Clock;
    static constexpr Clock REAL_CLOCK = KwTestTimerMgr::REAL_CLOCK;
    static constexpr Clock MANUAL_CLOCK = KwTestTimerMgr::MANUAL_CLOCK;

    explicit Engine(Clock clock);
    ~Engine();

    unsigned short CreateTimer(unsigned long timeoutMs, TimerCallback onExpiry,
                               TimerCallback otherCb, void* arg);
    int CancelTimer(unsigned short timerId);
    unsigned int Advance(unsigned long ms);
    size_t PendingCount() const;
    unsigned long CreatedCount() const;
    bool WaitForCreated(unsigned long count, unsigned long timeoutMs) const;
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

KwTimerMgr::KwTimerMgr() : m_engine(new Engine(Engine::REAL_CLOCK)) {}

KwTimerMgr::KwTimerMgr(std::unique_ptr<Engine> engine) : m_engine(std::move(engine)) {}

KwTimerMgr::~KwTimerMgr() = default;

unsigned short KwTimerMgr::CreateTimer(unsigned long timeoutMs, TimerCallback onExpiry,
                                       TimerCallback otherCb, void* arg) {
    return m_engine->CreateTimer(timeoutMs, onExpiry, otherCb, arg);
}

int KwTimerMgr::CancelTimer(unsigned short timerId) {
    return m_engine->CancelTimer(timerId);
}

KwTestTimerMgr::KwTestTimerMgr(Clock clock)
    : KwTimerMgr(std::unique_ptr<Engine>(new Engine(clock))) {}

unsigned int KwTestTimerMgr::Advance(unsigned long ms) {
    return GetEngine().Advance(ms);
}

size_t KwTestTimerMgr::PendingCount() const {
    return GetEngine().PendingCount();
}

unsigned long KwTestTimerMgr::CreatedCount() const {
    return GetEngine().CreatedCount();
}

bool KwTestTimerMgr::WaitForCreated(unsigned long count, unsigned long timeoutMs) const {
    return GetEngine().WaitForCreated(count, timeoutMs);
}

void KwTestTimerMgr::FailNextCreates(unsigned int count) {
    GetEngine().FailNextCreates(count);
}

// ---------------------------------------------------------------------------

KwTimerMgr::Engine::Engine(Clock clock) : m_clock(clock) {
    if (m_clock == REAL_CLOCK) {
        m_thread = std::thread(&Engine::Run, this);
    }
}

KwTimerMgr::Engine::~Engine() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopping = true;
        m_pending.clear();
        m_byDue.clear();
    }
    m_changed.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

uint64_t KwTimerMgr::Engine::NowUs() const {
    if (m_clock == MANUAL_CLOCK) {
        return m_manualNowUs;
    }
    auto sinceEpoch = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(sinceEpoch).count());
}

unsigned short KwTimerMgr::Engine::CreateTimer(unsigned long timeoutMs, TimerCallback onExpiry,
                                               TimerCallback otherCb, void* arg) {
    if (onExpiry == nullptr) {
        return KwTimerMgr::INVALID_TIMER_ID;
    }
    unsigned short id = KwTimerMgr::INVALID_TIMER_ID;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_failuresToInject > 0) {
            --m_failuresToInject;
            return KwTimerMgr::INVALID_TIMER_ID;
        }
        // Round-robin over 1..65535 so that a just-released id is not handed
        // out again at once; skip ids still pending.
        for (unsigned int tries = 0; tries < 65535u; ++tries) {
            m_lastId = static_cast<unsigned short>(m_lastId == 65535u ? 1u : m_lastId + 1u);
            if (m_pending.find(m_lastId) == m_pending.end()) {
                id = m_lastId;
                break;
            }
        }
        if (id == KwTimerMgr::INVALID_TIMER_ID) {
            return KwTimerMgr::INVALID_TIMER_ID;
        }
        Timer timer{NowUs() + static_cast<uint64_t>(timeoutMs) * 1000u, m_sequence++, onExpiry,
                    otherCb, arg};
        // Without memory for its entries there is no timer, as for any
        // other failure; nothing is thrown at the caller.
        try {
            m_pending.emplace(id, timer);
            m_byDue.emplace(std::make_pair(timer.dueUs, timer.sequence), id);
        } catch (const std::bad_alloc&) {
            m_pending.erase(id);  // the id was free: erases only what this call added
            return KwTimerMgr::INVALID_TIMER_ID;
        }
        ++m_created;
    }
    m_changed.notify_all();
    return id;
}

int KwTimerMgr::Engine::CancelTimer(unsigned short timerId) {
    Timer cancelled;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        TimerMap::iterator found = m_pending.find(timerId);
        if (found == m_pending.end()) {
            return -1;
        }
        cancelled = found->second;
        Erase(found);
    }
    m_changed.notify_all();
    if (cancelled.otherCb != nullptr) {
        cancelled.otherCb(timerId, cancelled.arg);
    }
    return 0;
}

KwTimerMgr::Engine::TimerMap::iterator KwTimerMgr::Engine::Earliest() {
    if (m_byDue.empty()) {
        return m_pending.end();
    }
    return m_pending.find(m_byDue.begin()->second);
}

void KwTimerMgr::Engine::Erase(TimerMap::iterator timer) {
    m_byDue.erase(std::make_pair(timer->second.dueUs, timer->second.sequence));
    m_pending.erase(timer);
}

void KwTimerMgr::Engine::Run() {
    std::unique_lock<std::mutex> lock(m_lock);
    while (!m_stopping) {
        TimerMap::iterator next = Earliest();
        if (next == m_pending.end()) {
            m_changed.wait(lock);
            continue;
        }
        uint64_t now = NowUs();
        if (next->second.dueUs > now) {
            m_changed.wait_for(lock, std::chrono::microseconds(next->second.dueUs - now));
            continue;
        }
        unsigned short id = next->first;
        Timer due = next->second;
        Erase(next);
        lock.unlock();
        m_changed.notify_all();
        due.onExpiry(id, due.arg);
        lock.lock();
    }
}

unsigned int KwTimerMgr::Engine::Advance(unsigned long ms) {
    if (m_clock != MANUAL_CLOCK) {
        return 0;
    }
    unsigned int fired = 0;
    uint64_t target;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        target = m_manualNowUs + static_cast<uint64_t>(ms) * 1000u;
    }
    for (;;) {
        unsigned short id;
        Timer due;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            TimerMap::iterator next = Earliest();
            if (next == m_pending.end() || next->second.dueUs > target) {
                m_manualNowUs = target;
                break;
            }
            if (next->second.dueUs > m_manualNowUs) {
                m_manualNowUs = next->second.dueUs;
            }
            id = next->first;
            due = next->second;
            Erase(next);
        }
        m_changed.notify_all();
        due.onExpiry(id, due.arg);
        ++fired;
    }
    return fired;
}

size_t KwTimerMgr::Engine::PendingCount() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_pending.size();
}

unsigned long KwTimerMgr::Engine::CreatedCount() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_created;
}

bool KwTimerMgr::Engine::WaitForCreated(unsigned long count, unsigned long timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_created >= count; });
}

void KwTimerMgr::Engine::FailNextCreates(unsigned int count) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_failuresToInject = count;
}
