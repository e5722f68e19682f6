// std::mutex with its locking rules where clang checks them
// (-Wthread-safety): members marked KW_GUARDED_BY(a KwStdMutex) are touched
// only under a KwStdGuard of it. It is a BasicLockable, for
// std::condition_variable_any.
#ifndef KW_STD_MUTEX_H
#define KW_STD_MUTEX_H

#include <mutex>

#include "KwThreadAnnotations.h"

class KW_CAPABILITY("mutex") KwStdMutex {
public:
    void lock() KW_ACQUIRE() { m_mutex.lock(); }
    void unlock() KW_RELEASE() { m_mutex.unlock(); }

private:
    std::mutex m_mutex;
};

class KW_SCOPED_CAPABILITY KwStdGuard {
public:
    explicit KwStdGuard(KwStdMutex& mutex) KW_ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~KwStdGuard() KW_RELEASE() { m_mutex.unlock(); }
    KwStdGuard(const KwStdGuard&) = delete;
    KwStdGuard& operator=(const KwStdGuard&) = delete;

private:
    KwStdMutex& m_mutex;
};

#endif  // KW_STD_MUTEX_H
