#include "I2cEmu.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <vector>

namespace {

i2c_msg msg(uint16_t addr, uint16_t flags, std::vector<uint8_t>& buf)
{
    return i2c_msg{addr, flags, static_cast<uint16_t>(buf.size()), buf.data()};
}

int rdwr(vsim::I2cEmu& bus, std::vector<i2c_msg>& msgs, int* err)
{
    i2c_rdwr_ioctl_data data = {msgs.data(), static_cast<uint32_t>(msgs.size())};
    return bus.handle(I2C_RDWR, &data, err);
}

// A chip that refuses everything, and one that looks at its own adapter while it is
// being addressed (as an emulator that reports on its bus may do).
class DeadChip : public vsim::I2cChip {
public:
    bool write(const uint8_t*, int) override { return false; }
    bool read(uint8_t*, int) override { return false; }
};

class NosyChip : public vsim::I2cChip {
public:
    explicit NosyChip(vsim::I2cEmu& bus) : m_bus(bus) {}
    bool write(const uint8_t*, int) override
    {
        seen = m_bus.transfers().size();
        return true;
    }
    bool read(uint8_t* data, int length) override
    {
        for (int i = 0; i < length; ++i)
            data[i] = static_cast<uint8_t>(m_bus.retries());
        return true;
    }
    size_t seen = 99;

private:
    vsim::I2cEmu& m_bus;
};

TEST(I2cEmu, RegisterWriteThenPointerAndRead)
{
    vsim::I2cEmu bus(1);
    auto chip = std::make_shared<vsim::RegisterChip>();
    bus.attach(0x51, chip);

    std::vector<uint8_t> w = {0x02, 0x30, 0x45, 0x13};
    std::vector<i2c_msg> msgs = {msg(0x51, 0, w)};
    int err = 0;
    EXPECT_EQ(rdwr(bus, msgs, &err), 1);
    EXPECT_EQ(chip->reg(0x02), 0x30);
    EXPECT_EQ(chip->reg(0x03), 0x45);
    EXPECT_EQ(chip->reg(0x04), 0x13);

    // Register address and read as two messages of one transfer.
    std::vector<uint8_t> ptr = {0x03};
    std::vector<uint8_t> in(2, 0xee);
    msgs = {msg(0x51, 0, ptr), msg(0x51, I2C_M_RD, in)};
    EXPECT_EQ(rdwr(bus, msgs, &err), 2);
    EXPECT_EQ(in, (std::vector<uint8_t>{0x45, 0x13}));

    auto t = bus.transfers();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].data, w);
    EXPECT_EQ(t[1].data, ptr);
    EXPECT_EQ(t[2].flags, I2C_M_RD);
    EXPECT_EQ(t[2].data, in);
    for (const auto& x : t) {
        EXPECT_EQ(x.addr, 0x51);
        EXPECT_TRUE(x.acked);
    }
}

TEST(I2cEmu, RegisterPointerWrapsAround)
{
    vsim::RegisterChip chip;
    chip.set_reg(0x00, 0xaa);
    const uint8_t w[] = {0xff, 0x11, 0x22};
    EXPECT_TRUE(chip.write(w, 3));
    EXPECT_EQ(chip.reg(0xff), 0x11);
    EXPECT_EQ(chip.reg(0x00), 0x22);
    const uint8_t p[] = {0xff};
    chip.write(p, 1);
    uint8_t r[3] = {};
    EXPECT_TRUE(chip.read(r, 3));
    EXPECT_EQ(r[0], 0x11);
    EXPECT_EQ(r[1], 0x22);
    EXPECT_EQ(r[2], 0x00);  // register 1
    EXPECT_TRUE(chip.write(nullptr, 0));  // an address probe is acknowledged
}

struct NackCase {
    const char* what;
    uint16_t first;   // address of the first message, a write
    uint16_t second;  // address of the second message, a read
    size_t recorded;
};

TEST(I2cEmu, UnansweredMessageFailsTheTransferWhereItStops)
{
    const NackCase cases[] = {
        {"nobody at the address", 0x52, 0x51, 1},
        {"second message unanswered", 0x51, 0x53, 2},
        {"dead chip", 0x60, 0x51, 1},
        {"beyond 7-bit addressing", 0x151, 0x51, 1},
    };
    for (const NackCase& c : cases) {
        SCOPED_TRACE(c.what);
        vsim::I2cEmu bus(3);
        auto chip = std::make_shared<vsim::RegisterChip>();
        bus.attach(0x51, chip);
        bus.attach(0x60, std::make_shared<DeadChip>());
        std::vector<uint8_t> w = {0x10, 0x77};
        std::vector<uint8_t> in(1, 0xee);
        std::vector<i2c_msg> msgs = {msg(c.first, 0, w), msg(c.second, I2C_M_RD, in)};
        int err = 0;
        EXPECT_EQ(rdwr(bus, msgs, &err), -1);
        EXPECT_EQ(err, EREMOTEIO);
        auto t = bus.transfers();
        ASSERT_EQ(t.size(), c.recorded);
        EXPECT_FALSE(t.back().acked);
        for (size_t i = 0; i + 1 < t.size(); ++i)
            EXPECT_TRUE(t[i].acked);
        // A write that went out before the failure stays written.
        EXPECT_EQ(chip->reg(0x10), c.first == 0x51 ? 0x77 : 0x00);
        if (t.back().flags & I2C_M_RD) {
            EXPECT_TRUE(t.back().data.empty());
        }
    }
}

TEST(I2cEmu, DetachedChipStopsAnswering)
{
    vsim::I2cEmu bus(4);
    bus.attach(0x28, std::make_shared<vsim::RegisterChip>());
    std::vector<uint8_t> w = {0x00};
    std::vector<i2c_msg> msgs = {msg(0x28, 0, w)};
    int err = 0;
    EXPECT_EQ(rdwr(bus, msgs, &err), 1);
    bus.detach(0x28);
    EXPECT_EQ(rdwr(bus, msgs, &err), -1);
    EXPECT_EQ(err, EREMOTEIO);
    bus.clear();
    EXPECT_TRUE(bus.transfers().empty());
}

TEST(I2cEmu, OversizedTransfersAreRefusedBeforeAnythingIsSent)
{
    vsim::I2cEmu bus(1);
    auto chip = std::make_shared<vsim::RegisterChip>();
    bus.attach(0x51, chip);
    std::vector<uint8_t> w = {0x05, 0x01};
    std::vector<i2c_msg> many(43, msg(0x51, 0, w));
    int err = 0;
    EXPECT_EQ(rdwr(bus, many, &err), -1);
    EXPECT_EQ(err, EINVAL);

    std::vector<uint8_t> big(8193, 0);
    std::vector<i2c_msg> msgs = {msg(0x51, 0, w), msg(0x51, 0, big)};
    err = 0;
    EXPECT_EQ(rdwr(bus, msgs, &err), -1);
    EXPECT_EQ(err, EINVAL);
    EXPECT_TRUE(bus.transfers().empty());
    EXPECT_EQ(chip->reg(0x05), 0);

    many.resize(42);
    EXPECT_EQ(rdwr(bus, many, &err), 42);
}

TEST(I2cEmu, AdapterSettings)
{
    vsim::I2cEmu bus(5);
    EXPECT_EQ(bus.retries(), -1);
    EXPECT_EQ(bus.timeout(), -1);
    struct Case {
        unsigned long request;
        int value;
        int result;
    };
    const Case cases[] = {
        {I2C_RETRIES, 1, 0},  {I2C_TIMEOUT, 10, 0}, {I2C_RETRIES, -1, -1},
        {I2C_TIMEOUT, -5, -1}, {I2C_SLAVE, 0x51, 0}, {I2C_SLAVE, 0x80, -1},
        {0x0799, 0, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        int v = c.value;
        int err = 0;
        EXPECT_EQ(bus.handle(c.request, &v, &err), c.result);
        if (c.result < 0) {
            EXPECT_EQ(err, c.request == 0x0799 ? ENOTTY : EINVAL);
        }
    }
    // Refused values leave the last good ones.
    EXPECT_EQ(bus.retries(), 1);
    EXPECT_EQ(bus.timeout(), 10);

    unsigned long funcs = 0;
    int err = 0;
    EXPECT_EQ(bus.handle(I2C_FUNCS, &funcs, &err), 0);
    EXPECT_TRUE(funcs & I2C_FUNC_I2C);
}

TEST(I2cEmu, ChipMayUseItsAdapterWhileAddressed)
{
    vsim::I2cEmu bus(1);
    auto chip = std::make_shared<NosyChip>(bus);
    bus.attach(0x40, chip);
    int v = 3;
    int err = 0;
    bus.handle(I2C_RETRIES, &v, &err);
    std::vector<uint8_t> w = {0x01};
    std::vector<uint8_t> in(2, 0);
    std::vector<i2c_msg> msgs = {msg(0x40, 0, w), msg(0x40, I2C_M_RD, in)};
    EXPECT_EQ(rdwr(bus, msgs, &err), 2);
    EXPECT_EQ(chip->seen, 0u);
    EXPECT_EQ(in, (std::vector<uint8_t>{3, 3}));
}

}  // namespace
