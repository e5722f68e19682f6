// KwLinuxMutex: the host's mutex, a thin wrapper over a POSIX mutex.
//
// A mutex is a plain member of the object it protects. It is not recursive:
// a thread must not lock a mutex it already holds. Not copyable or movable.
// Lock() and Unlock() return 0 on success or the pthread error number.
// Waiters() tells how many threads wait in Lock() (tests use it to know that
// a thread has reached a lock they hold).
#ifndef KW_LINUX_MUTEX_H
#define KW_LINUX_MUTEX_H

#include <pthread.h>

#include <atomic>

class KwLinuxMutex {
public:
    KwLinuxMutex();
    ~KwLinuxMutex();

    KwLinuxMutex(const KwLinuxMutex&) = delete;
    KwLinuxMutex& operator=(const KwLinuxMutex&) = delete;

    int Lock();
    int Unlock();
    int Waiters() const;

private:
    pthread_mutex_t m_mutex;
    std::atomic<int> m_waiters{0};
};

#endif  // KW_LINUX_MUTEX_H
