// The control handlers called in process, inside a sandbox: what they leave in the
// process state and which GPIO lines they switch on which processor family. The
// MCU and server side is covered with the real daemon in the system tests.

#include <string>
#include <utility>
#include <vector>

#include "__q820.h"
#include "dmsg.h"
#include "sGpio.h"
#include "sys_net.h"
#include "vesko_control.h"
#include "vsim_test.h"

namespace {

typedef std::vector<std::pair<std::string, int>> Lines;

vsim::Options board(const std::string& hardware)
{
    vsim::Options o;
    o.cpuinfo = "processor\t: 0\nHardware\t: " + hardware + "\n";
    return o;
}

// Every line set, in order, with its value; the handle's version queries are left out.
Lines lines_set(vsim::Sandbox& sb)
{
    Lines out;
    for (const auto& c : sb.gpio().calls()) {
        if (c.cmd == SUNXI_CTRL_SET) {
            EXPECT_EQ(c.main, "rk") << c.sub;
            out.emplace_back(c.sub, c.data);
        }
    }
    return out;
}

struct GpioCase {
    const char* name;
    const char* hardware;
    const char* sdk;  // /var/etc/sdk.txt, null for none
    dmsg_callback_t handler;
    const char* body;
    Lines lines;
};

TEST(ControlHandlers, GpioLinesByFamily)
{
    const Lines leds_on = {{"led_0", 1}, {"led_1", 1}, {"led_2", 1}, {"led_3", 1}, {"led_4", 1}};
    const char* on = "<params><onoff>1</onoff></params>";
    const GpioCase cases[] = {
        {"led -1 on family 10 sets all five lines", "sun50iw10p1", nullptr, dmsg_led,
         "<params><led>-1</led><onoff>1</onoff></params>", leds_on},
        {"led 3 on family 10", "sun50iw10p1", nullptr, dmsg_led,
         "<params><led>3</led><onoff>1</onoff></params>", {{"led_3", 1}}},
        {"led 7 off on family 10", "sun50iw10p1", nullptr, dmsg_led,
         "<params><led>7</led><onoff>0</onoff></params>", {{"led_7", 0}}},
        {"led defaults on family 10", "sun50iw10p1", nullptr, dmsg_led, nullptr, {{"led_0", 0}}},
        {"led -1 on family 3288 is the MCU's only", "Rockchip RK3288", nullptr, dmsg_led,
         "<params><led>-1</led><onoff>1</onoff></params>", {}},
        {"led on family 4", "sun8i", nullptr, dmsg_led, "<params><led>1</led><onoff>1</onoff></params>", {}},
        {"hooter", "Rockchip RK3288", nullptr, dmsg_hooter, on, {{"hooter", 1}}},
        {"hooter keeps the whole value for its line", "sun8i", nullptr, dmsg_hooter,
         "<params><onoff>257</onoff></params>", {{"hooter", 257}}},
        {"hooter default", "Rockchip RK3288", nullptr, dmsg_hooter, "", {{"hooter", 0}}},
        {"camera light with index 0", "Rockchip RK3288", nullptr, vesko_control_w350_light,
         "<params><index>0</index><onoff>1</onoff></params>", {{"cam_led", 1}}},
        {"other lights are the MCU's", "Rockchip RK3288", nullptr, vesko_control_w350_light,
         "<params><index>1</index><onoff>1</onoff></params>", {}},
        {"usb host power", "Rockchip RK3288", nullptr, vesko_control_w350_usb1, on, {{"usb_host1", 1}}},
        {"usb host power off", "sun8i", nullptr, vesko_control_w350_usb1, "<params/>", {{"usb_host1", 0}}},
        {"lock line with index 0", "Rockchip RK3288", nullptr, vesko_control_w350_lock,
         "<params><index>0</index><onoff>1</onoff></params>", {{"lock", 1}}},
        {"no lock line with index 1", "Rockchip RK3288", nullptr, vesko_control_w350_lock,
         "<params><index>1</index><onoff>1</onoff></params>", {}},
        {"monitor lock on 3288", "Rockchip RK3288", nullptr, vesko_control_monitor_lock, on,
         {{"monitor_lock", 1}}},
        {"monitor lock on 3368", "Rockchip RK3368", nullptr, vesko_control_monitor_lock, on,
         {{"monitor_lock", 1}}},
        {"monitor lock on 3369", "Rockchip RK3368", "29\n", vesko_control_monitor_lock, on,
         {{"monitor_lock", 1}}},
        {"monitor lock on 10", "sun50iw10p1", nullptr, vesko_control_monitor_lock, on, {{"monitor_lock", 1}}},
        {"no monitor lock on 4", "sun8i", nullptr, vesko_control_monitor_lock, on, {}},
        {"no monitor lock on 601", "sun8i", "23\n", vesko_control_monitor_lock, on, {}},
        {"no monitor lock on 3399", "Rockchip RK3399", nullptr, vesko_control_monitor_lock, on, {}},
        {"no monitor lock on 3568", "Rockchip RK3568", nullptr, vesko_control_monitor_lock, on, {}},
        {"no monitor lock on 2", "unknown", nullptr, vesko_control_monitor_lock, on, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vsim_run(board(c.hardware), [&](vsim::Sandbox& sb) {
            if (c.sdk) {
                ASSERT_TRUE(sb.write("/var/etc/sdk.txt", c.sdk));
            }
            sb.gpio().clear();
            c.handler(c.body);
            EXPECT_EQ(lines_set(sb), c.lines);
        });
    }
}

TEST(ControlHandlers, EthernetResetFlag)
{
    const struct {
        const char* name;
        const char* hardware;
        const char* sdk;
        dmsg_callback_t handler;
        int flag;
    } cases[] = {
        {"eth reset on 4", "sun8i", nullptr, vesko_control_eth_reset, 1},
        {"eth reset on 601", "sun8i", "23\n", vesko_control_eth_reset, 1},
        {"no eth reset on 3288", "Rockchip RK3288", nullptr, vesko_control_eth_reset, 0},
        {"no eth reset on 10", "sun50iw10p1", nullptr, vesko_control_eth_reset, 0},
        {"no eth reset on 3 (sun5i)", "sun5i", nullptr, vesko_control_eth_reset, 0},
        {"ppp down on 3288", "Rockchip RK3288", nullptr, vesko_control_ppp_down, 1},
        {"ppp down on 4", "sun8i", nullptr, vesko_control_ppp_down, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vsim_run(board(c.hardware), [&](vsim::Sandbox& sb) {
            if (c.sdk) {
                ASSERT_TRUE(sb.write("/var/etc/sdk.txt", c.sdk));
            }
            ASSERT_EQ(sys_eth0_reset, 0);
            c.handler("<params><onoff>1</onoff></params>");
            EXPECT_EQ(sys_eth0_reset, c.flag);
        });
    }
}

struct Step {
    dmsg_callback_t handler;
    const char* body;
    int led_state;
    int lock_state;
};

TEST(ControlHandlers, DoorStationWordsPersistApart)
{
    const Step steps[] = {
        {vesko_control_w350_led, "<params><led>3</led><onoff>1</onoff></params>", 8, 0},
        {vesko_control_w350_led, "<params><led>3</led><onoff>0</onoff></params>", 0, 0},
        {vesko_control_w350_led, "<params><led>0</led><onoff>1</onoff></params>", 1, 0},
        {vesko_control_w350_led, "<params><led>31</led><onoff>2</onoff></params>", int(0x80000001u), 0},
        {vesko_control_w350_lock, "<params><index>2</index><onoff>1</onoff></params>", int(0x80000001u), 4},
        {vesko_control_w350_lock, "<params><index>1</index><onoff>1</onoff><mute>1</mute></params>",
         int(0x80000001u), 5},
        {vesko_control_w350_lock, "<params><index>2</index><onoff>0</onoff></params>", int(0x80000001u), 1},
        // Index 0 is the lock itself and index 3 names nothing: neither touches the word.
        {vesko_control_w350_lock, "<params><index>0</index><onoff>1</onoff></params>", int(0x80000001u), 1},
        {vesko_control_w350_lock, "<params><index>3</index><onoff>1</onoff></params>", int(0x80000001u), 1},
        {vesko_control_w350_lock, "<params><index>-1</index><onoff>1</onoff></params>", int(0x80000001u), 1},
        // LED numbers outside the word change nothing.
        {vesko_control_w350_led, "<params><led>32</led><onoff>1</onoff></params>", int(0x80000001u), 1},
        {vesko_control_w350_led, "<params><led>-1</led><onoff>0</onoff></params>", int(0x80000001u), 1},
        {vesko_control_w350_led, "<params><led>2147483647</led><onoff>0</onoff></params>", int(0x80000001u), 1},
        {vesko_control_w350_led, "<params><led>31</led><onoff>0</onoff></params>", 1, 1},
        // No keys: LED 0 off, and lock index 0, which leaves the word alone.
        {vesko_control_w350_led, nullptr, 0, 1},
        {vesko_control_w350_lock, "not xml", 0, 1},
        {vesko_control_w350_lock, "<params><index>1</index></params>", 0, 0},
    };
    vsim_run(board("Rockchip RK3288"), [&](vsim::Sandbox&) {
        ASSERT_EQ(led_state, 0);
        ASSERT_EQ(lock_state, 0);
        for (size_t i = 0; i < sizeof(steps) / sizeof(steps[0]); i++) {
            const Step& s = steps[i];
            SCOPED_TRACE(testing::Message() << "step " << i << ": " << (s.body ? s.body : "(no body)"));
            s.handler(s.body);
            EXPECT_EQ(led_state, s.led_state);
            EXPECT_EQ(lock_state, s.lock_state);
        }
    });
}

TEST(ControlHandlers, ZoneStatesKeepTheirLowByte)
{
    const struct {
        const char* body;
        int defence;
        uint8_t zone[8];
    } cases[] = {
        {"<params><defence>2</defence><zone0>1</zone0><zone3>257</zone3><zone7>-1</zone7></params>",
         2,
         {1, 0, 0, 1, 0, 0, 0, 255}},
        {"<params><defence>300</defence><zone1>2</zone1><zone2>3</zone2><zone4>4</zone4>"
         "<zone5>5</zone5><zone6>6</zone6><zone8>8</zone8></params>",
         300,
         {0, 2, 3, 0, 4, 5, 6, 0}},
        {nullptr, 0, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"<zone3>1</zone3>", 0, {0, 0, 0, 0, 0, 0, 0, 0}},
    };
    vsim_run(board("Rockchip RK3288"), [&](vsim::Sandbox&) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.body ? c.body : "(no body)");
            // Every request replaces the whole set, so start from a different one.
            q820.m_defence = 77;
            for (auto& z : q820.m_zone)
                z = 77;
            dmsg_q820_zone(c.body);
            EXPECT_EQ(q820.m_defence.load(), c.defence);
            for (int i = 0; i < 8; i++)
                EXPECT_EQ(q820.m_zone[i].load(), c.zone[i]) << "zone " << i;
        }
    });
}

}  // namespace
