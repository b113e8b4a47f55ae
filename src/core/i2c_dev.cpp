#include "i2c_dev.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "AutoMutex.h"

i2c_dev::i2c_dev() : m_i2c(-1), m_addr(0)
{
    pthread_mutex_init(&m_mutex, nullptr);
}

i2c_dev::~i2c_dev()
{
    close();
    pthread_mutex_destroy(&m_mutex);
}

int i2c_dev::open(const char* dev)
{
    AutoMutex lock(&m_mutex);
    if (m_i2c >= 0)
        ::close(m_i2c);
    m_i2c = dev ? ::open(dev, O_RDWR | O_CLOEXEC) : -1;
    if (m_i2c < 0)
        return -1;
    // One retry by the adapter and a 100 ms timeout (in units of 10 ms).
    ioctl(m_i2c, I2C_RETRIES, 1UL);
    ioctl(m_i2c, I2C_TIMEOUT, 10UL);
    return 0;
}

void i2c_dev::close()
{
    AutoMutex lock(&m_mutex);
    if (m_i2c >= 0)
        ::close(m_i2c);
    m_i2c = -1;
}

int i2c_dev::transfer(uint8_t flags, uint8_t* data, uint8_t length)
{
    if (m_i2c < 0)
        return -1;
    struct i2c_msg msg;
    msg.addr = m_addr;
    msg.flags = flags;
    msg.len = length;
    msg.buf = data;
    struct i2c_rdwr_ioctl_data rdwr;
    rdwr.msgs = &msg;
    rdwr.nmsgs = 1;
    int rc = ioctl(m_i2c, I2C_RDWR, &rdwr);
    if (rc < 0) {
        fprintf(stderr, "i2c_dev::transfer = %d\n", rc);
        rc = ioctl(m_i2c, I2C_RDWR, &rdwr);
        if (rc < 0)
            fprintf(stderr, "i2c_dev::transfer = %d\n", rc);
    }
    return rc;
}

// The register address and the read are two transactions, with a stop between them.
// One message carries at most 255 bytes; a longer read is refused rather than cut short.
int i2c_dev::r8(uint8_t offset, uint8_t* data, int length)
{
    if (data == nullptr || length < 1 || length > I2C_DEV_MAX_TRANSFER)
        return -1;
    AutoMutex lock(&m_mutex);
    memset(data, 0xFF, static_cast<size_t>(length));
    uint8_t reg = offset;
    if (transfer(0, &reg, 1) < 0)
        return -1;
    int rc = transfer(I2C_M_RD, data, static_cast<uint8_t>(length));
    return rc < 0 ? rc : length;
}

// The register address goes first in the same message, so 254 data bytes at most.
int i2c_dev::w8(uint8_t offset, const uint8_t* data, int length)
{
    if (length < 0 || length > I2C_DEV_MAX_TRANSFER - 1 || (data == nullptr && length > 0))
        return -1;
    AutoMutex lock(&m_mutex);
    uint8_t buf[I2C_DEV_MAX_TRANSFER];
    buf[0] = offset;
    if (length > 0)
        memcpy(buf + 1, data, static_cast<size_t>(length));
    int rc = transfer(0, buf, static_cast<uint8_t>(length + 1));
    return rc < 0 ? rc : length;
}

uint8_t i2c_dev::r8(uint8_t offset)
{
    uint8_t value = 0xFF;
    if (r8(offset, &value, 1) < 0)
        value = 0xFF;
    return value;
}

int i2c_dev::w8(uint8_t offset, uint8_t value)
{
    return w8(offset, &value, 1);
}
