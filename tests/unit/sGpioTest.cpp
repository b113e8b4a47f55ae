// GPIO lines against the emulated GPIO driver of a sandbox, in both driver versions.

#include <string>
#include <vector>

#include "sGpio.h"
#include "vsim_test.h"

namespace {

vsim::Options with_gpio(int version, bool present = true)
{
    vsim::Options o;
    o.gpio_version = version;
    o.gpio_present = present;
    return o;
}

unsigned long plain_or_sized(int version, int cmd)
{
    return version >= 1 ? 0xC0444400ul + cmd : static_cast<unsigned long>(cmd);
}

} // namespace

TEST(sGpio, requestCodesFollowTheDriverVersion)
{
    for (int version : {0, 1, 2}) {
        vsim_run(with_gpio(version), [version](vsim::Sandbox& sb) {
            sGpio gpio;
            std::vector<vsim::GpioCall> calls = sb.gpio().calls();
            ASSERT_EQ(calls.size(), 1u) << "version query expected";
            EXPECT_EQ(calls[0].request, 0xC0044480ul);
            EXPECT_EQ(calls[0].data, 0) << "the query starts from 0";
            sb.gpio().clear();

            struct Case {
                int cmd;
                int rc;
                const char* main;
                const char* sub;
                int data;
            } cases[] = {
                {SUNXI_CTRL_START, gpio.start("rk", "lock"), "rk", "lock", 0},
                {SUNXI_CTRL_DIR, gpio.dir("rk", "lock", 1), "rk", "lock", 1},
                {SUNXI_CTRL_SET, gpio.set("rk", "lock", 1), "rk", "lock", 1},
                {SUNXI_CTRL_PULL, gpio.pull("aw", "io0", 2), "aw", "io0", 2},
                {SUNXI_CTRL_GET, gpio.get("aw", "io0"), "aw", "io0", 0},
                {SUNXI_CTRL_LDO, gpio.ldo("axp22_dldo1", 3300), "AXP", "axp22_dldo1", 3300},
                {SUNXI_CTRL_STOP, gpio.stop("usbc1", "usb_host1"), "usbc1", "usb_host1", 0},
            };
            calls = sb.gpio().calls();
            ASSERT_EQ(calls.size(), sizeof(cases) / sizeof(cases[0]));
            for (size_t i = 0; i < calls.size(); i++) {
                const Case& c = cases[i];
                EXPECT_EQ(c.rc, 0) << "command " << c.cmd;
                EXPECT_EQ(calls[i].request, plain_or_sized(version, c.cmd)) << "command " << c.cmd;
                EXPECT_EQ(calls[i].cmd, c.cmd);
                EXPECT_EQ(calls[i].main, c.main);
                EXPECT_EQ(calls[i].sub, c.sub);
                EXPECT_EQ(calls[i].data, c.data) << "command " << c.cmd;
                EXPECT_EQ(calls[i].result, 0);
            }
            EXPECT_EQ(sb.gpio().value("rk", "lock"), 1);
            EXPECT_EQ(sb.gpio().value("AXP", "axp22_dldo1"), 3300);
        });
    }
}

TEST(sGpio, sizedCodesStayOnceADriverReportedThem)
{
    vsim_run(with_gpio(1), [](vsim::Sandbox& sb) {
        sGpio first;
        // A later handle meets a driver that fails the query; the table keeps the sized codes.
        sb.gpio().set_version(0);
        sGpio second;
        sb.gpio().clear();
        second.set("rk", "lock", 0);
        std::vector<vsim::GpioCall> calls = sb.gpio().calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].request, 0xC0444404ul);
    });
    vsim_run(with_gpio(0), [](vsim::Sandbox& sb) {
        sGpio first;
        sb.gpio().set_version(1);
        sGpio second;
        sb.gpio().clear();
        EXPECT_EQ(first.set("rk", "lock", 1), 0);
        std::vector<vsim::GpioCall> calls = sb.gpio().calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].request, 0xC0444404ul) << "every handle uses the switched table";
    });
}

TEST(sGpio, getReturnsTheDriversValueAndZeroWhenTheRequestFails)
{
    vsim_run(with_gpio(1), [](vsim::Sandbox& sb) {
        sGpio gpio;
        sb.gpio().set_input("aw", "alarm1", 1);
        sb.gpio().set_input("aw", "level", 7);
        EXPECT_EQ(gpio.get("aw", "alarm1"), 1);
        EXPECT_EQ(gpio.get("aw", "level"), 7);
        ASSERT_EQ(gpio.set("rk", "lock", 1), 0);
        EXPECT_EQ(gpio.get("rk", "lock"), 1);

        sb.gpio().fail("aw", "alarm1", true);
        EXPECT_EQ(gpio.get("aw", "alarm1"), 0);
        EXPECT_EQ(gpio.set("aw", "alarm1", 1), -1) << "the ioctl result is passed on";
        sb.gpio().fail("aw", "alarm1", false);
        EXPECT_EQ(gpio.get("aw", "alarm1"), 1);
    });
}

TEST(sGpio, namesLongerThan31CharactersAreRefused)
{
    vsim_run(with_gpio(1), [](vsim::Sandbox& sb) {
        sGpio gpio;
        sb.gpio().clear();
        const std::string n31(31, 'n');
        const std::string n32(32, 'n');
        EXPECT_EQ(gpio.set(n31.c_str(), n31.c_str(), 1), 0);
        EXPECT_EQ(gpio.ldo(n31.c_str(), 1800), 0);
        std::vector<vsim::GpioCall> calls = sb.gpio().calls();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[0].main, n31);
        EXPECT_EQ(calls[0].sub, n31);
        EXPECT_EQ(calls[1].sub, n31);
        sb.gpio().clear();

        const char* n32c = n32.c_str();
        int results[] = {
            gpio.start(n32c, "lock"),  gpio.stop("rk", n32c),     gpio.dir(n32c, "lock", 1),
            gpio.set("rk", n32c, 1),   gpio.pull(n32c, n32c, 1),  gpio.get(n32c, "lock"),
            gpio.get("rk", n32c),      gpio.ldo(n32c, 3300),      gpio.set(nullptr, "lock", 1),
            gpio.set("rk", nullptr, 1), gpio.get(nullptr, nullptr),
        };
        for (int rc : results)
            EXPECT_EQ(rc, -1);
        EXPECT_TRUE(sb.gpio().calls().empty()) << "nothing may reach the driver";
    });
}

TEST(sGpio, withoutTheDeviceEveryOperationFailsQuietly)
{
    vsim_run(with_gpio(1, false), [](vsim::Sandbox& sb) {
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        {
            sGpio gpio;
            int results[] = {
                gpio.start("rk", "lock"), gpio.stop("rk", "lock"),  gpio.dir("rk", "lock", 1),
                gpio.set("rk", "lock", 1), gpio.pull("rk", "lock", 0), gpio.get("rk", "lock"),
                gpio.ldo("axp22_dldo1", 3300),
            };
            for (int rc : results)
                EXPECT_EQ(rc, -1);
        }
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_TRUE(sb.gpio().calls().empty());
    });
}

TEST(sGpio, closedHandleFails)
{
    vsim_run(with_gpio(1), [](vsim::Sandbox& sb) {
        sGpio gpio;
        ASSERT_EQ(gpio.set("rk", "lock", 1), 0);
        gpio.close();
        sb.gpio().clear();
        EXPECT_EQ(gpio.set("rk", "lock", 0), -1);
        EXPECT_EQ(gpio.get("rk", "lock"), -1);
        gpio.close();
        EXPECT_TRUE(sb.gpio().calls().empty());
        EXPECT_EQ(sb.gpio().value("rk", "lock"), 1);
    });
}
