#include "AutoMutex.h"

AutoMutex::AutoMutex(pthread_mutex_t* mutex) : m_mutex(mutex)
{
    if (m_mutex)
        pthread_mutex_lock(m_mutex);
}

AutoMutex::~AutoMutex()
{
    if (m_mutex)
        pthread_mutex_unlock(m_mutex);
}
