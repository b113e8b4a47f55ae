#pragma once

#include <pthread.h>
#include <stdint.h>

// Longest message of one transfer: its length travels in 8 bits.
enum { I2C_DEV_MAX_TRANSFER = 255 };

// One slave on an I2C adapter; register reads and writes are serialised by its mutex.
class i2c_dev {
public:
    i2c_dev();
    ~i2c_dev();
    i2c_dev(const i2c_dev&) = delete;
    i2c_dev& operator=(const i2c_dev&) = delete;

    int open(const char* dev);
    void close();
    void addr(uint8_t a) { m_addr = a; }

    int transfer(uint8_t flags, uint8_t* data, uint8_t length);
    int r8(uint8_t offset, uint8_t* data, int length);
    int w8(uint8_t offset, const uint8_t* data, int length);
    uint8_t r8(uint8_t offset);
    int w8(uint8_t offset, uint8_t value);

private:
    int m_i2c;
    uint8_t m_addr;
    pthread_mutex_t m_mutex;
};
