#include "vesko_control.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "__q820.h"
#include "__sys.h"
#include "dmsg.h"
#include "dxml.h"
#include "sGpio.h"
#include "sys_board.h"
#include "sys_net.h"
#include "sys_uart.h"
#include "vesko_mme.h"

int led_state = 0;
int lock_state = 0;

namespace {

// Pause between the lock commands, which the lock hardware needs to follow them.
const useconds_t LOCK_GAP_US = 40000;
const useconds_t VT_UART_GAP_US = 20000;

// Each handler opens its own GPIO handle for the one call; the group is "rk" on every
// processor family.
void control_gpio_set(const char* sub, int val)
{
    sGpio gpio;
    gpio.set("rk", sub, val);
}

} // namespace

int vesko_control_bit(int word, int bit, int onoff)
{
    return onoff ? (word | bit) : (word & ~bit);
}

int vesko_usb_modeswitch_cmd(char* cmd, int size, int vendor, int product)
{
    if (cmd == nullptr || size <= 0)
        return -1;
    // Masked to 16 bits so that every field has exactly four digits.
    unsigned v = unsigned(vendor) & 0xFFFFu;
    unsigned p = unsigned(product) & 0xFFFFu;
    int n = snprintf(cmd, size_t(size),
                     "/system/bin/usb_modeswitch -v %04x -p %04x -c /system/etc/usb_modeswitch.d/%04x_%04x",
                     v, p, v, p);
    if (n < 0 || n >= size)
        return -1;
    return n;
}

uint32_t vesko_control_card(const char* text)
{
    if (text == nullptr)
        return 0;
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r')
        text++;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        text++;
    uint32_t v = 0;
    for (; *text >= '0' && *text <= '9'; text++)
        v = v * 10u + uint32_t(*text - '0');
    return negative ? uint32_t(0u - v) : v;
}

int64_t vesko_control_time(const char* text)
{
    if (text == nullptr)
        return -1;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    sscanf(text, "%d-%d-%d %d:%d:%d", &year, &month, &day, &hour, &minute, &second);
    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = 0;
    time_t t = mktime(&tm);
    return t == time_t(-1) ? -1 : int64_t(t);
}

void vesko_control_power(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    uart.power(doc.getInt("/params/onoff", 0));
}

void dmsg_hooter(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    int onoff = doc.getInt("/params/onoff", 0);
    uart.set_hooter(uint8_t(onoff));
    control_gpio_set("hooter", onoff);
}

void dmsg_led(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    int led = doc.getInt("/params/led", 0);
    int onoff = doc.getInt("/params/onoff", 0);
    uart.set_led(uint8_t(led), uint8_t(onoff));
    if (sys_cpu() != SYS_X10)
        return;
    // A negative number means every LED the board wires to the processor.
    int first = led < 0 ? 0 : led;
    int last = led < 0 ? 4 : led;
    for (int n = first; n <= last; n++) {
        char line[32];
        snprintf(line, sizeof(line), "led_%d", n);
        control_gpio_set(line, onoff);
    }
}

void dmsg_io_sync(const char*)
{
    dmsg_ack(200, nullptr);
    uart.io_sync();
}

void dmsg_reload(const char*)
{
    dmsg_ack(200, nullptr);
    sys.load();
}

void dmsg_audio(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    uart.set_audio(uint8_t(doc.getInt("/params/mode", 0)));
}

void dmsg_medical(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    uart.set_medical(doc.getInt("/params/index", 0), doc.getInt("/params/onoff", 0));
}

void dmsg_q820_alarm_trigger(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    uint8_t sp = uint8_t(doc.getInt("/params/sp", 0));
    uint8_t st[16];
    for (int i = 0; i < 16; i++) {
        char key[32];
        snprintf(key, sizeof(key), "/params/io%d", i);
        st[i] = uint8_t(doc.getInt(key, 0));
    }
    q820.alarm_trigger(sp, st, 16);
}

void dmsg_q820_alarm_cancel(const char*)
{
    dmsg_ack(200, nullptr);
    q820.alarm_cancel();
}

void dmsg_q820_zone(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    q820.m_defence = doc.getInt("/params/defence", 0);
    for (int i = 0; i < 8; i++) {
        char key[32];
        snprintf(key, sizeof(key), "/params/zone%d", i);
        q820.m_zone[i] = uint8_t(doc.getInt(key, 0));
    }
}

void dmsg_q820_query(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    const char* host = doc.getText("/params/host");
    if (host == nullptr)
        return;
    q820.query(host);
}

void dmsg_q820_card_logger(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    uint32_t card = vesko_control_card(doc.getText("/params/card"));
    q820.card_logger(card, doc.getText("/params/id_820"));
}

void dmsg_q820_call_logger(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    const char* to = doc.getText("/params/to");
    const char* ip = doc.getText("/params/ip");
    if (to == nullptr || ip == nullptr)
        return;
    q820.call_logger(to, ip, doc.getInt("/params/mode", 0));
}

void vesko_elevator_permit(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    const char* ip = doc.getText("/params/ip");
    if (ip == nullptr)
        return;
    q820.elevator_permit(ip, doc.getInt("/params/elev", 0));
}

void vesko_elevator_appoint(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    const char* ip = doc.getText("/params/ip");
    if (ip == nullptr)
        return;
    q820.elevator_appoint(ip, doc.getInt("/params/elev", 0), doc.getInt("/params/direct", 0));
}

void dmsg_vt_uart_setup(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    int parity = doc.getInt("/params/parity", 0);
    int speed = doc.getInt("/params/speed", 3);
    int mode = doc.getInt("/params/mode", 1);
    uart.uart_m(mode);
    usleep(VT_UART_GAP_US);
    uart.uart_c(parity, speed);
}

void vesko_control_eth_reset(const char*)
{
    dmsg_ack(200, nullptr);
    int cpu = sys_cpu();
    if (cpu == SYS_A33 || cpu == SYS_A33_6)
        sys_eth0_reset = 1;
}

void vesko_control_w350_lock(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    int onoff = doc.getInt("/params/onoff", 0);
    int index = doc.getInt("/params/index", 0);
    if (index == 0) {
        control_gpio_set("lock", onoff);
        uart.d_lock(onoff);
        usleep(LOCK_GAP_US);
        uart.d_lock2(onoff);
        usleep(LOCK_GAP_US);
    } else if (index == 1 || index == 2) {
        lock_state = vesko_control_bit(lock_state, index == 1 ? 1 : 4, onoff);
        uart.d_led(lock_state);
    }
}

void vesko_control_w350_light(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    int index = doc.getInt("/params/index", 0);
    int onoff = doc.getInt("/params/onoff", 0);
    if (index == 0)
        control_gpio_set("cam_led", onoff);
    uart.d_light(index, onoff);
}

void vesko_control_w350_led(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    int led = doc.getInt("/params/led", 0);
    int onoff = doc.getInt("/params/onoff", 0);
    // The word has 32 LEDs; any other number names none, so nothing changes.
    if (led < 0 || led > 31) {
        fprintf(stderr, "vesko_control_w350_led led %d out of range\n", led);
        return;
    }
    led_state = vesko_control_bit(led_state, int(1u << led), onoff);
    uart.d_led(led_state);
}

void vesko_control_w350_usb1(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    control_gpio_set("usb_host1", doc.getInt("/params/onoff", 0));
}

void vesko_control_monitor_lock(const char* body)
{
    dmsg_ack(200, nullptr);
    int cpu = sys_cpu();
    if (cpu != SYS_RK3288 && cpu != SYS_RK3368 && cpu != SYS_X10 && cpu != SYS_RK3368_10)
        return;
    dxml doc(body);
    control_gpio_set("monitor_lock", doc.getInt("/params/onoff", 0));
}

void vesko_control_eth_wifi_read(const char* body)
{
    dxml doc(body);
    doc.setInt("/params/eth_wifi", sys.m_eth_wifi);
    dmsg_ack(200, doc.data());
}

void vesko_control_eth_wifi_write(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    sys.setEthWifi(doc.getInt("/params/eth_wifi", 0));
}

void vesko_control_settime(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    const char* text = doc.getText("/params/time");
    if (text == nullptr)
        return;
    int64_t t = vesko_control_time(text);
    if (t < 0) {
        fprintf(stderr, "vesko_control_settime bad time %s\n", text);
        return;
    }
    struct timeval tv;
    tv.tv_sec = time_t(t);
    tv.tv_usec = 0;
    // The hardware clock is written only from a system clock that took the new time.
    if (settimeofday(&tv, nullptr) != 0) {
        perror("vesko_control_settime settimeofday");
        return;
    }
    system("busybox hwclock -u -w");
    fprintf(stderr, "settime: %s\n", text);
}

void vesko_control_usb_attached(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    char cmd[128];
    if (vesko_usb_modeswitch_cmd(cmd, sizeof(cmd), doc.getInt("/params/vendor", 0),
                                 doc.getInt("/params/product", 0)) < 0)
        return;
    system(cmd);
}

void vesko_control_ppp_down(const char*)
{
    dmsg_ack(200, nullptr);
    sys_eth0_reset = 1;
}

void vesko_sys_orientation(const char*)
{
    dmsg_ack(200, nullptr);
    sys_orientation();
}

void vesko_control_get_security_io(const char* body)
{
    dmsg_ack(200, nullptr);
    printf("vesko_control_get_security_io [%s]\n", body ? body : "");
}

void vesko_special_get_mac(const char*)
{
    dxml doc;
    char mac[MME_MAC_SIZE];
    if (mme_get_mac(mac) == 0)
        doc.setText("/params/mac", mac);
    dmsg_ack(200, doc.data());
}

void vesko_special_set_mac(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    const char* mac = doc.getText("/params/mac");
    if (mac == nullptr)
        return;
    mme_set("set_mac", mac);
}

void vesko_special_set_nmk(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    const char* nmk = doc.getText("/params/nmk");
    if (nmk == nullptr)
        return;
    mme_set("set_nmk", nmk);
}

void vesko_control_setup()
{
    static const struct {
        const char* url;
        dmsg_callback_t func;
    } table[] = {
        {"/control/power", vesko_control_power},
        {"/control/hooter", dmsg_hooter},
        {"/control/led", dmsg_led},
        {"/control/io/sync", dmsg_io_sync},
        {"/control/reload", dmsg_reload},
        {"/control/set_id", dmsg_reload},
        {"/control/audio", dmsg_audio},
        {"/control/medical", dmsg_medical},
        {"/control/q820/alarm_trigger", dmsg_q820_alarm_trigger},
        {"/control/q820/alarm_cancel", dmsg_q820_alarm_cancel},
        {"/control/q820/zone", dmsg_q820_zone},
        {"/control/q820/query", dmsg_q820_query},
        {"/control/q820/card/logger", dmsg_q820_card_logger},
        {"/control/q820/call/logger", dmsg_q820_call_logger},
        {"/control/elevator/permit", vesko_elevator_permit},
        {"/control/elevator/appoint", vesko_elevator_appoint},
        {"/control/vt_uart/setup", dmsg_vt_uart_setup},
        {"/control/eth/reset", vesko_control_eth_reset},
        {"/control/w350/lock", vesko_control_w350_lock},
        {"/control/w350/light", vesko_control_w350_light},
        {"/control/w350/led", vesko_control_w350_led},
        {"/control/w350/usb1", vesko_control_w350_usb1},
        {"/control/monitor/lock", vesko_control_monitor_lock},
        {"/control/eth_wifi/read", vesko_control_eth_wifi_read},
        {"/control/eth_wifi/write", vesko_control_eth_wifi_write},
        {"/control/settime", vesko_control_settime},
        {"/control/usb/attached", vesko_control_usb_attached},
        {"/control/ppp/down", vesko_control_ppp_down},
        {"/control/sys/orientation", vesko_sys_orientation},
        {"/control/security_io/read", vesko_control_get_security_io},
        {"/control/special/get/mac", vesko_special_get_mac},
        {"/control/special/set/mac", vesko_special_set_mac},
        {"/control/special/set/nmk", vesko_special_set_nmk},
    };
    for (const auto& entry : table)
        dmsg_setup(entry.url, entry.func);
}
