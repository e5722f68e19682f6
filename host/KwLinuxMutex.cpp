#include "KwLinuxMutex.h"

#include <stdint.h>

#include <atomic>

#include "KwTestMutex.h"

namespace {

// Waiters per contended mutex, kept apart from the mutexes themselves (so
// they keep the host's layout) in buckets by address, touched only when a
// Lock() has to wait. No allocation and no lock: tests inject allocation
// failures around these locks. Mutexes whose addresses share a bucket share
// a count; a process's few mutexes, each of 40 bytes or more, do not.
constexpr uintptr_t kBuckets = 1021;  // prime, so address strides spread
std::atomic<int> g_waiters[kBuckets];

std::atomic<int>& WaitersOf(const KwLinuxMutex* mutex) {
    return g_waiters[(reinterpret_cast<uintptr_t>(mutex) >> 3) % kBuckets];
}

}  // namespace

KwLinuxMutex::KwLinuxMutex() {
    pthread_mutex_init(&m_mutex, nullptr);
}

KwLinuxMutex::~KwLinuxMutex() {
    pthread_mutex_destroy(&m_mutex);
}

int KwLinuxMutex::Lock() {
    if (pthread_mutex_trylock(&m_mutex) == 0) {
        return 0;
    }
    ++WaitersOf(this);
    int result = pthread_mutex_lock(&m_mutex);
    --WaitersOf(this);
    return result;
}

int KwLinuxMutex::Unlock() {
    return pthread_mutex_unlock(&m_mutex);
}

int KwTestMutexWaiters(const KwLinuxMutex& mutex) {
    return WaitersOf(&mutex).load();
}
