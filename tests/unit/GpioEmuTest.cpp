#include "GpioEmu.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include "sGpio.h"

namespace {

sunxi_ctrl_t record(const char* main, const char* sub, int data)
{
    sunxi_ctrl_t r;
    memset(&r, 0, sizeof(r));
    strncpy(r.main, main, sizeof(r.main) - 1);
    strncpy(r.sub, sub, sizeof(r.sub) - 1);
    r.data = data;
    return r;
}

struct CodeCase {
    int version;
    unsigned long request;
    int result;
    int err;
};

// Which request codes each driver version takes for a set.
TEST(GpioEmu, DriverVersionDecidesTheRequestCodes)
{
    const CodeCase cases[] = {
        {0, 4, 0, 0},
        {0, 0xC0444404ul, -1, ENOTTY},
        {1, 0xC0444404ul, 0, 0},
        {1, 4, -1, ENOTTY},
        {2, 0xC0444404ul, 0, 0},
        {1, 0xC0444408ul, -1, ENOTTY},  // no command 8
        {0, 8, -1, ENOTTY},
        {1, 0xC0454404ul, -1, ENOTTY},  // wrong size field
    };
    for (const CodeCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "version " << c.version << " request " << std::hex << c.request);
        vsim::GpioEmu gpio(c.version);
        sunxi_ctrl_t r = record("rk", "lock", 1);
        int err = 0;
        EXPECT_EQ(gpio.handle(c.request, &r, 42, &err), c.result);
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(gpio.value("rk", "lock"), c.result == 0 ? 1 : -1);
        auto calls = gpio.calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].request, c.request);
        EXPECT_EQ(calls[0].result, c.result);
        EXPECT_EQ(calls[0].t_us, 42);
    }
}

TEST(GpioEmu, VersionQuery)
{
    for (int version : {0, 1, 3}) {
        SCOPED_TRACE(version);
        vsim::GpioEmu gpio(version);
        int v = -7;
        int err = 0;
        int rc = gpio.handle(SUNXI_CTRL_VERSION, &v, 1, &err);
        if (version == 0) {
            // The old driver does not know the query and leaves the argument alone.
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(err, ENOTTY);
            EXPECT_EQ(v, -7);
        } else {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(v, version);
        }
        auto calls = gpio.calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].cmd, 0x80);
        EXPECT_EQ(calls[0].data, -7);
    }
}

TEST(GpioEmu, SetVersionSwitchesTheDriver)
{
    vsim::GpioEmu gpio(1);
    gpio.set_version(0);
    sunxi_ctrl_t r = record("aw", "lock", 1);
    EXPECT_EQ(gpio.handle(SUNXI_CTRL_SET, &r, 0), 0);
    EXPECT_EQ(gpio.handle(0xC0444404ul, &r, 0), -1);
}

TEST(GpioEmu, GetReadsInputThenLastSetThenZero)
{
    vsim::GpioEmu gpio(1);
    sunxi_ctrl_t r = record("rk", "alarm0", 55);
    EXPECT_EQ(gpio.handle(0xC0444405ul, &r, 0), 0);
    EXPECT_EQ(r.data, 0);  // never set: reads low

    r = record("rk", "alarm0", 1);
    EXPECT_EQ(gpio.handle(0xC0444404ul, &r, 0), 0);
    r = record("rk", "alarm0", 0);
    EXPECT_EQ(gpio.handle(0xC0444405ul, &r, 0), 0);
    EXPECT_EQ(r.data, 1);

    gpio.set_input("rk", "alarm0", 0);
    r = record("rk", "alarm0", 9);
    EXPECT_EQ(gpio.handle(0xC0444405ul, &r, 0), 0);
    EXPECT_EQ(r.data, 0);

    // A line of another group is another line.
    r = record("aw", "alarm0", 9);
    EXPECT_EQ(gpio.handle(0xC0444405ul, &r, 0), 0);
    EXPECT_EQ(r.data, 0);
}

TEST(GpioEmu, FailingLineRefusesEveryCommandAndLeavesTheRecord)
{
    vsim::GpioEmu gpio(1);
    gpio.set_input("rk", "lock", 1);
    gpio.fail("rk", "lock", true);
    for (unsigned long cmd = 1; cmd <= 7; ++cmd) {
        SCOPED_TRACE(cmd);
        sunxi_ctrl_t r = record("rk", "lock", 0x5a5a5a5a);
        sunxi_ctrl_t before = r;
        int err = 0;
        EXPECT_EQ(gpio.handle(0xC0444400ul + cmd, &r, 0, &err), -1);
        EXPECT_EQ(err, EIO);
        EXPECT_EQ(memcmp(&r, &before, sizeof(r)), 0);
    }
    EXPECT_EQ(gpio.value("rk", "lock"), -1);

    // Other lines are not affected, and the line recovers.
    sunxi_ctrl_t r = record("rk", "cam_led", 1);
    EXPECT_EQ(gpio.handle(0xC0444404ul, &r, 0), 0);
    gpio.fail("rk", "lock", false);
    r = record("rk", "lock", 0);
    EXPECT_EQ(gpio.handle(0xC0444405ul, &r, 0), 0);
    EXPECT_EQ(r.data, 1);
}

TEST(GpioEmu, RegulatorVoltageIsKeptUnderItsName)
{
    vsim::GpioEmu gpio(0);
    sunxi_ctrl_t r = record("AXP", "axp22_dldo1", 3300);
    EXPECT_EQ(gpio.handle(SUNXI_CTRL_LDO, &r, 0), 0);
    EXPECT_EQ(gpio.value("AXP", "axp22_dldo1"), 3300);
    EXPECT_EQ(gpio.calls().at(0).cmd, SUNXI_CTRL_LDO);
}

TEST(GpioEmu, UnterminatedNamesAreRefusedNotOverrun)
{
    vsim::GpioEmu gpio(1);
    sunxi_ctrl_t r;
    memset(&r, 'x', sizeof(r));
    r.data = 1;
    int err = 0;
    EXPECT_EQ(gpio.handle(0xC0444404ul, &r, 0, &err), -1);
    EXPECT_EQ(err, EINVAL);
    auto calls = gpio.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].main, std::string(32, 'x'));
    EXPECT_EQ(calls[0].sub, std::string(32, 'x'));

    // 31 characters still fit.
    std::string longest(31, 'n');
    r = record(longest.c_str(), longest.c_str(), 1);
    EXPECT_EQ(gpio.handle(0xC0444404ul, &r, 0), 0);
    EXPECT_EQ(gpio.value(longest, longest), 1);
}

TEST(GpioEmu, CallsKeepOrderAndClearForgetsThem)
{
    vsim::GpioEmu gpio(1);
    const char* lines[] = {"lock", "cam_led", "rfid"};
    int64_t t = 100;
    for (const char* line : lines) {
        sunxi_ctrl_t r = record("rk", line, 0);
        gpio.handle(0xC0444401ul, &r, t++, nullptr);
        r = record("rk", line, 1);
        gpio.handle(0xC0444403ul, &r, t++, nullptr);
    }
    auto calls = gpio.calls();
    ASSERT_EQ(calls.size(), 6u);
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].sub, lines[i / 2]);
        EXPECT_EQ(calls[i].cmd, i % 2 ? SUNXI_CTRL_DIR : SUNXI_CTRL_START);
        EXPECT_EQ(calls[i].t_us, static_cast<int64_t>(100 + i));
    }
    gpio.clear();
    EXPECT_TRUE(gpio.calls().empty());
}

}  // namespace
