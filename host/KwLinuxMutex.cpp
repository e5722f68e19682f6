#include "KwLinuxMutex.h"

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
    ++m_waiters;
    int result = pthread_mutex_lock(&m_mutex);
    --m_waiters;
    return result;
}

int KwLinuxMutex::Waiters() const {
    return m_waiters.load();
}

int KwLinuxMutex::Unlock() {
    return pthread_mutex_unlock(&m_mutex);
}
