#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "GpioEmu.h"

// The GPIO requests with which each processor family powers its peripherals at
// start-up, as the driver must see them, and a check of a recorded log against them.

struct GpioStep {
    int cmd;  // 1 start, 3 dir, 4 set, 6 ldo
    std::string main;
    std::string sub;
    int data;      // compared for every command but start
    int pause_ms;  // at least this long after the previous step
};

class BoardBringup {
public:
    BoardBringup(int family, int mode)
    {
        switch (family) {
        case 2:
            add(1, "usbc1", "usb_drv_vbus_gpio", 0);
            add(4, "usbc1", "usb_drv_vbus_gpio", 1);
            break;
        case 4:
        case 601:
            if (mode != 1)
                break;
            out("gsensor_para", "gsensor_int1", 1);
            out("aw", "ir_led", 0);
            out("aw", "lock", 0);
            out("aw", "ir_pwr", 0);
            out("aw", "usb_host1", 0);
            add(4, "aw", "usb_host1", 1, 1000);
            add(4, "aw", "ir_pwr", 1, 1000);
            add(6, "AXP", "axp22_dldo1", 3300);
            break;
        case 3288:
        case 3368:
        case 3369:
            out("rk", "lock", 0);
            out("rk", "cam_led", 0);
            out("rk", "rfid", 1);
            out("rk", "usb_host1", 1);
            out("rk", "usb_eth", 1);
            if (mode != 0)
                break;
            out("rk", "usb_hub_reset", 1);
            out("rk", "usb_asr_power", 1, 1000);
            out("rk", "usb_eth2_power", 1, 400);
            break;
        case 10:
            out("aw", "lock", 0);
            out("aw", "cam_led", 0);
            out("aw", "rfid", 1);
            out("aw", "usb_host1", 0);
            out("aw", "usb_hub_rst", 0);
            for (const char* hub : {"usb_hub0", "usb_hub1", "usb_hub2", "usb_hub3", "usb_4g_reset"})
                out("aw", hub, 0);
            add(4, "aw", "usb_host1", 1, 2000);
            add(4, "aw", "usb_hub_rst", 1, 200);
            add(4, "aw", "usb_hub0", 1, 1000);
            for (const char* hub : {"usb_hub1", "usb_hub2", "usb_hub3", "usb_4g_reset"})
                add(4, "aw", hub, 1);
            break;
        case 3568:
            out("rk", "rfid", 1);
            break;
        default:
            break;
        }
    }

    const std::vector<GpioStep>& steps() const { return m_steps; }

    // The recorded requests without the driver version queries (every handle makes one).
    static std::vector<vsim::GpioCall> requests(const std::vector<vsim::GpioCall>& calls)
    {
        std::vector<vsim::GpioCall> out;
        for (const auto& c : calls)
            if (c.cmd != 0x80)
                out.push_back(c);
        return out;
    }

    // Compares the leading requests of the log with the steps; with whole set, the log
    // must hold nothing else. Pauses are checked with a tenth of slack below.
    void check(const std::vector<vsim::GpioCall>& calls, bool whole) const
    {
        std::vector<vsim::GpioCall> got = requests(calls);
        if (whole) {
            EXPECT_EQ(got.size(), m_steps.size());
        }
        ASSERT_GE(got.size(), m_steps.size());
        for (size_t i = 0; i < m_steps.size(); i++) {
            const GpioStep& s = m_steps[i];
            const vsim::GpioCall& c = got[i];
            SCOPED_TRACE("step " + std::to_string(i) + ": " + s.main + "/" + s.sub);
            EXPECT_EQ(c.cmd, s.cmd);
            EXPECT_EQ(c.main, s.main);
            EXPECT_EQ(c.sub, s.sub);
            if (s.cmd != 1) {
                EXPECT_EQ(c.data, s.data);
            }
            if (s.pause_ms > 0 && i > 0) {
                EXPECT_GE(c.t_us - got[i - 1].t_us, s.pause_ms * 900LL);
            }
        }
    }

private:
    void add(int cmd, const char* main, const char* sub, int data, int pause_ms = 0)
    {
        m_steps.push_back({cmd, main, sub, data, pause_ms});
    }

    // start, direction output, level; the pause comes before the start.
    void out(const char* main, const char* sub, int val, int pause_ms = 0)
    {
        add(1, main, sub, 0, pause_ms);
        add(3, main, sub, 1);
        add(4, main, sub, val);
    }

    std::vector<GpioStep> m_steps;
};
