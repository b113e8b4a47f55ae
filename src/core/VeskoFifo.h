#pragma once

#include <pthread.h>
#include <stdint.h>

#include <atomic>

// Fixed-capacity byte ring with all-or-nothing put and get: a reader never sees half
// of a chunk, and a parser asks for exactly the bytes it needs.
class VeskoFifo {
public:
    explicit VeskoFifo(int max);
    ~VeskoFifo();
    VeskoFifo(const VeskoFifo&) = delete;
    VeskoFifo& operator=(const VeskoFifo&) = delete;

    void realloc(int max);
    int put(const uint8_t* data, int length);
    int get(uint8_t* data, int length);
    int copy(uint8_t* data, int length);
    void flush();
    // Read without the lock; the count may be stale by the time get is called.
    int used() const { return m_used.load(std::memory_order_relaxed); }
    uint8_t* data() { return m_data; }

    int readIndex() const { return m_read; }
    int writeIndex() const { return m_write; }

private:
    void take(uint8_t* data, int length, bool remove);

    uint8_t* m_data;
    int m_max;
    int m_read;
    int m_write;
    std::atomic<int> m_used;
    pthread_mutex_t m_mutex;
};
