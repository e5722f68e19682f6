// Scoped lock over a KwLinuxMutex: every lock the library takes goes through
// one of these, so no path can leave a mutex held.
#ifndef KW_MUTEX_GUARD_H
#define KW_MUTEX_GUARD_H

#include "KwLinuxMutex.h"

class KwMutexGuard {
public:
    explicit KwMutexGuard(KwLinuxMutex& mutex) : m_mutex(mutex) { m_mutex.Lock(); }
    ~KwMutexGuard() { m_mutex.Unlock(); }

    KwMutexGuard(const KwMutexGuard&) = delete;
    KwMutexGuard& operator=(const KwMutexGuard&) = delete;

private:
    KwLinuxMutex& m_mutex;
};

#endif  // KW_MUTEX_GUARD_H
