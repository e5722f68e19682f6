#include "KwTimerMgr.h"

#include <chrono>
#include <new>

KwTimerMgr::KwTimerMgr(Clock clock) : m_clock(clock) {
    if (m_clock == REAL_CLOCK) {
        m_thread = std::thread(&KwTimerMgr::Run, this);
    }
}

KwTimerMgr::~KwTimerMgr() {
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

uint64_t KwTimerMgr::NowUs() const {
    if (m_clock == MANUAL_CLOCK) {
        return m_manualNowUs;
    }
    auto sinceEpoch = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(sinceEpoch).count());
}

unsigned short KwTimerMgr::CreateTimer(unsigned long timeoutMs, TimerCallback onExpiry,
                                       TimerCallback otherCb, void* arg) {
    if (onExpiry == nullptr) {
        return INVALID_TIMER_ID;
    }
    unsigned short id = INVALID_TIMER_ID;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_failuresToInject > 0) {
            --m_failuresToInject;
            return INVALID_TIMER_ID;
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
        if (id == INVALID_TIMER_ID) {
            return INVALID_TIMER_ID;
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
            return INVALID_TIMER_ID;
        }
        ++m_created;
    }
    m_changed.notify_all();
    return id;
}

int KwTimerMgr::CancelTimer(unsigned short timerId) {
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

KwTimerMgr::TimerMap::iterator KwTimerMgr::Earliest() {
    if (m_byDue.empty()) {
        return m_pending.end();
    }
    return m_pending.find(m_byDue.begin()->second);
}

void KwTimerMgr::Erase(TimerMap::iterator timer) {
    m_byDue.erase(std::make_pair(timer->second.dueUs, timer->second.sequence));
    m_pending.erase(timer);
}

void KwTimerMgr::Run() {
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

unsigned int KwTimerMgr::Advance(unsigned long ms) {
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

size_t KwTimerMgr::PendingCount() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_pending.size();
}

unsigned long KwTimerMgr::CreatedCount() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_created;
}

bool KwTimerMgr::WaitForCreated(unsigned long count, unsigned long timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_created >= count; });
}

void KwTimerMgr::FailNextCreates(unsigned int count) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_failuresToInject = count;
}
