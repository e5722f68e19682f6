// What tests need to know of the stand-in KwLinuxMutex, which no host
// provides: how many threads wait in Lock() on a given mutex, so that a test
// knows a thread has reached a lock the test holds. The count lives beside
// the mutex, not in it, so the mutex keeps the host's layout.
#ifndef KW_TEST_MUTEX_H
#define KW_TEST_MUTEX_H

#include "KwLinuxMutex.h"

// Threads blocked in mutex.Lock() at this moment. Thread-safe.
int KwTestMutexWaiters(const KwLinuxMutex& mutex);

#endif  // KW_TEST_MUTEX_H
