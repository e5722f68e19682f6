// KwLinuxMutex: the host's mutex, a thin wrapper over a POSIX mutex.
//
// A mutex is a plain member of the object it protects. It is not recursive:
// a thread must not lock a mutex it already holds. Not copyable or movable.
// Lock() and Unlock() return 0 on success or the pthread error number.
//
// Layout: exactly one pthread_mutex_t, nothing more (40 bytes on x86_64,
// 24 on i686 and 32-bit PowerPC). A user that holds a KwLinuxMutex by value,
// as the diagnostics library does, is built for that size.
//
// Declared a capability for clang's thread-safety analysis (nothing for other
// compilers), so that the rules of who holds which lock are checked.
#ifndef KW_LINUX_MUTEX_H
#define KW_LINUX_MUTEX_H

#include <pthread.h>

#if defined(__clang__)
#define KW_LINUX_MUTEX_ATTRIBUTE(x) __attribute__((x))
#else
#define KW_LINUX_MUTEX_ATTRIBUTE(x)
#endif

class KW_LINUX_MUTEX_ATTRIBUTE(capability("mutex")) KwLinuxMutex {
public:
    KwLinuxMutex();
    ~KwLinuxMutex();

    KwLinuxMutex(const KwLinuxMutex&) = delete;
    KwLinuxMutex& operator=(const KwLinuxMutex&) = delete;

    int Lock() KW_LINUX_MUTEX_ATTRIBUTE(acquire_capability());
    int Unlock() KW_LINUX_MUTEX_ATTRIBUTE(release_capability());

private:
    pthread_mutex_t m_mutex;
};

#endif  // KW_LINUX_MUTEX_H
