#pragma once

#include <pthread.h>

// Holds a plain mutex for the lifetime of a scope; a null mutex is allowed and does
// nothing.
class AutoMutex {
public:
    explicit AutoMutex(pthread_mutex_t* mutex);
    ~AutoMutex();
    AutoMutex(const AutoMutex&) = delete;
    AutoMutex& operator=(const AutoMutex&) = delete;

private:
    pthread_mutex_t* m_mutex;
};
