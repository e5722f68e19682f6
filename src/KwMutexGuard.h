// Scoped lock over a KwLinuxMutex: every lock the library takes goes through
// one of these, so no path can leave a mutex held. A scoped capability, so
// clang's thread-safety analysis knows what it holds.
#ifndef KW_MUTEX_GUARD_H
#define KW_MUTEX_GUARD_H

#include "KwLinuxMutex.h"
#include "KwThreadAnnotations.h"

class KW_SCOPED_CAPABILITY KwMutexGuard {
public:
    explicit KwMutexGuard(KwLinuxMutex& mutex) KW_ACQUIRE(mutex) : m_mutex(mutex) {
        m_mutex.Lock();
    }
    ~KwMutexGuard() KW_RELEASE() { m_mutex.Unlock(); }

    KwMutexGuard(const KwMutexGuard&) = delete;
    KwMutexGuard& operator=(const KwMutexGuard&) = delete;

private:
    KwLinuxMutex& m_mutex;
};

#endif  // KW_MUTEX_GUARD_H
