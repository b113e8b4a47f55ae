#include "VeskoFifo.h"

#include <stdlib.h>
#include <string.h>

#include "AutoMutex.h"

VeskoFifo::VeskoFifo(int max) : m_data(nullptr), m_max(0), m_read(0), m_write(0), m_used(0)
{
    pthread_mutex_init(&m_mutex, nullptr);
    realloc(max);
}

VeskoFifo::~VeskoFifo()
{
    free(m_data);
    pthread_mutex_destroy(&m_mutex);
}

void VeskoFifo::realloc(int max)
{
    AutoMutex lock(&m_mutex);
    free(m_data);
    m_data = nullptr;
    m_max = 0;
    if (max > 0) {
        m_data = static_cast<uint8_t*>(malloc(max));
        if (m_data)
            m_max = max;
    }
    m_read = m_write = m_used = 0;
}

int VeskoFifo::put(const uint8_t* data, int length)
{
    AutoMutex lock(&m_mutex);
    // A zero-length put stores nothing, so it reports nothing stored.
    // Compared as free space so that a huge length cannot overflow the sum.
    if (length <= 0 || data == nullptr || length > m_max - m_used)
        return 0;
    if (m_write + length > m_max) {
        int first = m_max - m_write;
        memcpy(m_data + m_write, data, first);
        memcpy(m_data, data + first, length - first);
        m_write = m_write + length - m_max;
    } else {
        memcpy(m_data + m_write, data, length);
        m_write += length;
    }
    if (m_write >= m_max)
        m_write = 0;
    m_used += length;
    return length;
}

void VeskoFifo::take(uint8_t* data, int length, bool remove)
{
    int read = m_read;
    if (read + length > m_max) {
        int first = m_max - read;
        memcpy(data, m_data + read, first);
        memcpy(data + first, m_data, length - first);
        read = read + length - m_max;
    } else {
        memcpy(data, m_data + read, length);
        read += length;
    }
    if (read >= m_max)
        read = 0;
    if (remove) {
        m_read = read;
        m_used -= length;
    }
}

int VeskoFifo::get(uint8_t* data, int length)
{
    AutoMutex lock(&m_mutex);
    if (length <= 0 || data == nullptr || m_used < length)
        return 0;
    take(data, length, true);
    return length;
}

int VeskoFifo::copy(uint8_t* data, int length)
{
    AutoMutex lock(&m_mutex);
    if (length <= 0 || data == nullptr || m_used < length)
        return 0;
    take(data, length, false);
    return length;
}

void VeskoFifo::flush()
{
    AutoMutex lock(&m_mutex);
    m_read = m_write = m_used = 0;
}
