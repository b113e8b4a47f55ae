// I2C register access against emulated chips on the sandbox's adapter /dev/i2c-1.

#include <linux/i2c.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "i2c_dev.h"
#include "vsim_test.h"

namespace {

const uint8_t CHIP = 0x51;

// A register chip that can refuse its next writes or reads.
class FlakyChip : public vsim::RegisterChip {
public:
    bool write(const uint8_t* data, int length) override
    {
        if (m_fail_writes > 0) {
            m_fail_writes--;
            return false;
        }
        return RegisterChip::write(data, length);
    }
    bool read(uint8_t* data, int length) override
    {
        if (m_fail_reads > 0) {
            m_fail_reads--;
            return false;
        }
        return RegisterChip::read(data, length);
    }
    std::atomic<int> m_fail_writes{0};
    std::atomic<int> m_fail_reads{0};
};

int count(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

std::vector<uint8_t> bytes(std::initializer_list<int> list)
{
    std::vector<uint8_t> v;
    for (int b : list)
        v.push_back(uint8_t(b));
    return v;
}

} // namespace

TEST(i2c_dev, openSetsRetriesAndTimeout)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        vsim::I2cEmu& bus = sb.i2c(1);
        i2c_dev dev;
        EXPECT_EQ(dev.open("/dev/i2c-7"), -1);
        EXPECT_EQ(dev.open(nullptr), -1);
        ASSERT_EQ(dev.open("/dev/i2c-1"), 0);
        EXPECT_EQ(bus.retries(), 1);
        EXPECT_EQ(bus.timeout(), 10);
        // Opening again replaces the descriptor.
        ASSERT_EQ(dev.open("/dev/i2c-1"), 0);
    });
}

TEST(i2c_dev, registerReadIsAnAddressWriteThenARead)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        vsim::I2cEmu& bus = sb.i2c(1);
        auto chip = std::make_shared<vsim::RegisterChip>();
        for (int r = 0; r < 256; r++)
            chip->set_reg(uint8_t(r), uint8_t(r ^ 0xA5));
        bus.attach(CHIP, chip);

        i2c_dev dev;
        ASSERT_EQ(dev.open("/dev/i2c-1"), 0);
        dev.addr(CHIP);
        uint8_t buf[4] = {0, 0, 0, 0};
        ASSERT_EQ(dev.r8(0x10, buf, 4), 4);
        EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), bytes({0x10 ^ 0xA5, 0x11 ^ 0xA5, 0x12 ^ 0xA5, 0x13 ^ 0xA5}));
        EXPECT_EQ(dev.r8(0xFE), 0xFE ^ 0xA5);

        std::vector<vsim::I2cTransfer> t = bus.transfers();
        ASSERT_EQ(t.size(), 4u);
        EXPECT_EQ(t[0].addr, CHIP);
        EXPECT_EQ(t[0].flags, 0);
        EXPECT_EQ(t[0].data, bytes({0x10}));
        EXPECT_EQ(t[1].addr, CHIP);
        EXPECT_EQ(t[1].flags, I2C_M_RD);
        EXPECT_EQ(t[1].data.size(), 4u);
        EXPECT_EQ(t[2].data, bytes({0xFE}));
        EXPECT_EQ(t[3].flags, I2C_M_RD);
        EXPECT_EQ(t[3].data.size(), 1u);
    });
}

TEST(i2c_dev, registerWriteIsOneMessage)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        vsim::I2cEmu& bus = sb.i2c(1);
        auto chip = std::make_shared<vsim::RegisterChip>();
        bus.attach(CHIP, chip);
        i2c_dev dev;
        ASSERT_EQ(dev.open("/dev/i2c-1"), 0);
        dev.addr(CHIP);

        const uint8_t data[3] = {1, 2, 3};
        EXPECT_EQ(dev.w8(0x20, data, 3), 3);
        EXPECT_EQ(dev.w8(0x30, 0x7E), 1);
        EXPECT_EQ(chip->reg(0x20), 1);
        EXPECT_EQ(chip->reg(0x21), 2);
        EXPECT_EQ(chip->reg(0x22), 3);
        EXPECT_EQ(chip->reg(0x30), 0x7E);

        std::vector<vsim::I2cTransfer> t = bus.transfers();
        ASSERT_EQ(t.size(), 2u);
        EXPECT_EQ(t[0].flags, 0);
        EXPECT_EQ(t[0].data, bytes({0x20, 1, 2, 3}));
        EXPECT_EQ(t[1].data, bytes({0x30, 0x7E}));
    });
}

TEST(i2c_dev, aFailedTransferIsReportedAndRetriedOnce)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        vsim::I2cEmu& bus = sb.i2c(1);
        auto chip = std::make_shared<FlakyChip>();
        chip->set_reg(0x05, 0x42);
        bus.attach(CHIP, chip);
        i2c_dev dev;
        ASSERT_EQ(dev.open("/dev/i2c-1"), 0);

        struct Case {
            const char* what;
            uint8_t addr;
            int fail_writes;
            int fail_reads;
            int value;      // what r8(0x05) gives
            int reports;    // "i2c_dev::transfer" lines
            size_t transfers;
        } cases[] = {
            {"nobody at the address", 0x33, 0, 0, 0xFF, 2, 2},
            {"address write fails twice", CHIP, 2, 0, 0xFF, 2, 2},
            {"read fails twice", CHIP, 0, 2, 0xFF, 2, 3},
            {"address write fails once", CHIP, 1, 0, 0x42, 1, 3},
            {"read fails once", CHIP, 0, 1, 0x42, 1, 3},
            {"all well", CHIP, 0, 0, 0x42, 0, 2},
        };
        for (const Case& c : cases) {
            bus.clear();
            dev.addr(c.addr);
            chip->m_fail_writes = c.fail_writes;
            chip->m_fail_reads = c.fail_reads;
            testing::internal::CaptureStderr();
            int value = dev.r8(0x05);
            std::string err = testing::internal::GetCapturedStderr();
            EXPECT_EQ(value, c.value) << c.what;
            EXPECT_EQ(count(err, "i2c_dev::transfer = -1\n"), c.reports) << c.what << ": " << err;
            EXPECT_EQ(bus.transfers().size(), c.transfers) << c.what;
        }

        // The buffer form reports which step failed and leaves 0xFF in the buffer.
        uint8_t buf[3] = {1, 2, 3};
        dev.addr(0x33);
        testing::internal::CaptureStderr();
        EXPECT_EQ(dev.r8(0x05, buf, 3), -1);
        EXPECT_EQ(dev.w8(0x05, buf, 3), -1);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::vector<uint8_t>(buf, buf + 3), bytes({0xFF, 0xFF, 0xFF}));
        dev.addr(CHIP);
        chip->m_fail_reads = 2;
        testing::internal::CaptureStderr();
        EXPECT_LT(dev.r8(0x05, buf, 2), 0);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::vector<uint8_t>(buf, buf + 2), bytes({0xFF, 0xFF}));
    });
}

TEST(i2c_dev, lengthsBeyondOneMessageAreRefused)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        vsim::I2cEmu& bus = sb.i2c(1);
        auto chip = std::make_shared<vsim::RegisterChip>();
        bus.attach(CHIP, chip);
        i2c_dev dev;
        ASSERT_EQ(dev.open("/dev/i2c-1"), 0);
        dev.addr(CHIP);
        std::vector<uint8_t> buf(300, 0x11);

        struct Case {
            bool read;
            int length;
            int result;
            size_t bytes_on_bus;  // of the last message; 0: nothing sent
        } cases[] = {
            {true, 255, 255, 255}, {true, 256, -1, 0}, {true, 1000, -1, 0},
            {true, 0, -1, 0},      {true, -1, -1, 0},  {false, 254, 254, 255},
            {false, 255, -1, 0},   {false, 256, -1, 0}, {false, 0, 0, 1},
            {false, -4, -1, 0},
        };
        for (const Case& c : cases) {
            bus.clear();
            int rc = c.read ? dev.r8(0, buf.data(), c.length) : dev.w8(0, buf.data(), c.length);
            EXPECT_EQ(rc, c.result) << (c.read ? "read " : "write ") << c.length;
            std::vector<vsim::I2cTransfer> t = bus.transfers();
            if (c.bytes_on_bus == 0) {
                EXPECT_TRUE(t.empty()) << (c.read ? "read " : "write ") << c.length;
            } else {
                ASSERT_FALSE(t.empty());
                EXPECT_EQ(t.back().data.size(), c.bytes_on_bus) << (c.read ? "read " : "write ") << c.length;
            }
        }
        EXPECT_EQ(dev.r8(0, nullptr, 1), -1);
        EXPECT_EQ(dev.w8(0, nullptr, 1), -1);
    });
}

TEST(i2c_dev, closedDeviceDoesNoIo)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        vsim::I2cEmu& bus = sb.i2c(1);
        bus.attach(CHIP, std::make_shared<vsim::RegisterChip>());
        i2c_dev never;
        uint8_t b = 0;
        EXPECT_EQ(never.transfer(0, &b, 1), -1);
        EXPECT_EQ(never.r8(0x01), 0xFF);
        EXPECT_EQ(never.w8(0x01, 0x02), -1);

        i2c_dev dev;
        ASSERT_EQ(dev.open("/dev/i2c-1"), 0);
        dev.addr(CHIP);
        ASSERT_EQ(dev.w8(0x01, 0x02), 1);
        dev.close();
        dev.close();
        bus.clear();
        EXPECT_EQ(dev.r8(0x01), 0xFF);
        EXPECT_EQ(dev.w8(0x01, 0x03), -1);
        EXPECT_TRUE(bus.transfers().empty());
    });
}

TEST(i2c_dev, registerAccessesFromSeveralThreadsStayWhole)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        vsim::I2cEmu& bus = sb.i2c(1);
        auto chip = std::make_shared<vsim::RegisterChip>();
        for (int r = 0; r < 256; r++)
            chip->set_reg(uint8_t(r), uint8_t(r));
        bus.attach(CHIP, chip);
        i2c_dev dev;
        ASSERT_EQ(dev.open("/dev/i2c-1"), 0);
        dev.addr(CHIP);

        // Each read moves the chip's shared address pointer: without the device's lock
        // another thread's address write lands between a write and its read.
        std::vector<int> wrong(4, 0);
        std::vector<std::thread> pool;
        for (int t = 0; t < 4; t++)
            pool.emplace_back([&, t] {
                uint8_t reg = uint8_t(0x20 + t * 0x30);
                for (int i = 0; i < 300; i++) {
                    uint8_t buf[2];
                    if (dev.r8(reg, buf, 2) != 2 || buf[0] != reg || buf[1] != uint8_t(reg + 1))
                        wrong[t]++;
                }
            });
        for (std::thread& th : pool)
            th.join();
        for (int t = 0; t < 4; t++)
            EXPECT_EQ(wrong[t], 0) << "thread " << t;
    });
}
