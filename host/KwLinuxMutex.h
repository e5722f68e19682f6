// KwLinuxMutex: the host's mutex, a thin wrapper over a POSIX mutex.
//
// A mutex is a plain member of the object it protects. It is not recursive:
// a thread must not lock a mutex it already holds. Not copyable or movable.
// Lock() and Unlock() return 0 on success or the pthread error number.
#ifndef KW_LINUX_MUTEX_H
#define KW_LINUX_MUTEX_H

#include <pthread.h>

class KwLinuxMutex {
public:
    KwLinuxMutex();
    ~KwLinuxMutex();

    KwLinuxMutex(const KwLinuxMutex&) = delete;
    KwLinuxMutex& operator=(const KwLinuxMutex&) = delete;

    int Lock();
    int Unlock();

private:
    pthread_mutex_t m_mutex;
};

#endif  // KW_LINUX_MUTEX_H
