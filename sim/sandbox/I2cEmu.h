#pragma once

#include <stdint.h>

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace vsim {

// A chip on an emulated I2C bus. A transfer that returns false is not acknowledged.
class I2cChip {
public:
    virtual ~I2cChip() = default;
    virtual bool write(const uint8_t* data, int length) = 0;
    virtual bool read(uint8_t* data, int length) = 0;
};

// A chip with 256 byte registers and an address pointer set by the first byte of a
// write, auto-incremented by reads and writes.
class RegisterChip : public I2cChip {
public:
    bool write(const uint8_t* data, int length) override;
    bool read(uint8_t* data, int length) override;
    uint8_t reg(uint8_t offset) const;
    void set_reg(uint8_t offset, uint8_t value);

private:
    mutable std::mutex m_mutex;
    uint8_t m_regs[256] = {};
    uint8_t m_pointer = 0;
};

// One message of an I2C_RDWR transfer as the emulated adapter saw it.
struct I2cTransfer {
    uint16_t addr;
    uint16_t flags;
    std::vector<uint8_t> data;  // bytes written, or bytes returned for a read
    bool acked;
};

// The adapter /dev/i2c-<bus>.
class I2cEmu {
public:
    explicit I2cEmu(int bus) : m_bus(bus) {}
    int bus() const { return m_bus; }
    void attach(uint8_t addr, std::shared_ptr<I2cChip> chip);
    void detach(uint8_t addr);
    std::vector<I2cTransfer> transfers() const;
    void clear();
    int retries() const;  // last I2C_RETRIES value, -1 none
    int timeout() const;  // last I2C_TIMEOUT value, -1 none

    // Serves one request from the interposition library; returns the ioctl result
    // and sets *err on failure. For I2C_RDWR arg is the kernel's i2c_rdwr_ioctl_data
    // (read messages are filled in place), for the requests with an int argument
    // (I2C_RETRIES, I2C_TIMEOUT, I2C_SLAVE ...) it points to that int.
    int handle(unsigned long request, void* arg, int* err);

private:
    int m_bus;
    mutable std::mutex m_mutex;
    std::map<uint8_t, std::shared_ptr<I2cChip>> m_chips;
    std::vector<I2cTransfer> m_transfers;
    int m_retries = -1;
    int m_timeout = -1;
};

}  // namespace vsim
