#include "KwLinuxMutex.h"

KwLinuxMutex::KwLinuxMutex() {
    pthread_mutex_init(&m_mutex, nullptr);
}

KwLinuxMutex::~KwLinuxMutex() {
    pthread_mutex_destroy(&m_mutex);
}

int KwLinuxMutex::Lock() {
    return pthread_mutex_lock(&m_mutex);
}

int KwLinuxMutex::Unlock() {
    return pthread_mutex_unlock(&m_mutex);
}
