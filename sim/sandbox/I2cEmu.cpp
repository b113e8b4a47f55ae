#include "I2cEmu.h"

#include <errno.h>
#include <limits.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>

namespace vsim {

namespace {

const unsigned int k_max_msgs = 42;  // I2C_RDWR_IOCTL_MAX_MSGS
const unsigned int k_max_len = 8192;

int refuse(int* err, int e)
{
    if (err)
        *err = e;
    return -1;
}

}  // namespace

bool RegisterChip::write(const uint8_t* data, int length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (length <= 0)
        return true;  // an address-only write is acknowledged and changes nothing
    m_pointer = data[0];
    for (int i = 1; i < length; ++i)
        m_regs[m_pointer++] = data[i];
    return true;
}

bool RegisterChip::read(uint8_t* data, int length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int i = 0; i < length; ++i)
        data[i] = m_regs[m_pointer++];
    return true;
}

uint8_t RegisterChip::reg(uint8_t offset) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_regs[offset];
}

void RegisterChip::set_reg(uint8_t offset, uint8_t value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_regs[offset] = value;
}

void I2cEmu::attach(uint8_t addr, std::shared_ptr<I2cChip> chip)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_chips[addr] = std::move(chip);
}

void I2cEmu::detach(uint8_t addr)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_chips.erase(addr);
}

std::vector<I2cTransfer> I2cEmu::transfers() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_transfers;
}

void I2cEmu::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_transfers.clear();
}

int I2cEmu::retries() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_retries;
}

int I2cEmu::timeout() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_timeout;
}

int I2cEmu::handle(unsigned long request, void* arg, int* err)
{
    if (request == I2C_FUNCS) {
        *static_cast<unsigned long*>(arg) = I2C_FUNC_I2C;
        return 0;
    }
    if (request != I2C_RDWR) {
        int value = *static_cast<int*>(arg);
        std::lock_guard<std::mutex> lock(m_mutex);
        switch (request) {
        case I2C_RETRIES:
            if (value < 0)
                return refuse(err, EINVAL);
            m_retries = value;
            return 0;
        case I2C_TIMEOUT:
            if (value < 0 || value > INT_MAX / 10)
                return refuse(err, EINVAL);
            m_timeout = value;
            return 0;
        case I2C_SLAVE:
        case I2C_SLAVE_FORCE:
            return value < 0 || value > 0x7f ? refuse(err, EINVAL) : 0;
        case I2C_TENBIT:
        case I2C_PEC:
            return 0;
        default:
            return refuse(err, ENOTTY);
        }
    }

    auto* rdwr = static_cast<i2c_rdwr_ioctl_data*>(arg);
    if (rdwr->nmsgs > k_max_msgs)
        return refuse(err, EINVAL);
    for (unsigned int i = 0; i < rdwr->nmsgs; ++i) {
        if (rdwr->msgs[i].len > k_max_len)
            return refuse(err, EINVAL);
    }
    // Messages go out in order; one that is not acknowledged ends the transfer, and
    // what the earlier ones did stays done, as on a real bus.
    for (unsigned int i = 0; i < rdwr->nmsgs; ++i) {
        i2c_msg& m = rdwr->msgs[i];
        std::shared_ptr<I2cChip> chip;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_chips.find(static_cast<uint8_t>(m.addr));
            if (it != m_chips.end() && m.addr <= 0x7f && !(m.flags & I2C_M_TEN))
                chip = it->second;
        }
        bool read = (m.flags & I2C_M_RD) != 0;
        // The chip runs without the adapter's lock, so it may use the adapter's API.
        bool acked = chip && (read ? chip->read(m.buf, m.len) : chip->write(m.buf, m.len));
        I2cTransfer t{m.addr, m.flags, {}, acked};
        if (!read || acked)
            t.data.assign(m.buf, m.buf + m.len);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_transfers.push_back(std::move(t));
        if (!acked)
            return refuse(err, EREMOTEIO);
    }
    return static_cast<int>(rdwr->nmsgs);
}

}  // namespace vsim
