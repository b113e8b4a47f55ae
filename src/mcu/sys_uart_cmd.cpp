#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "AutoMutex.h"
#include "sys_board.h"
#include "sys_uart.h"

enum {
    MAC_MARKER = 0x6D,
    MAC_BLOCK = 7,
    EEPROM_POLLS = 20,
    EEPROM_POLL_US = 20000,
};

int sys_uart::send_code(int code, bool w350, const uint8_t* payload, int length)
{
    if (length < 0 || length > MCU_PAYLOAD_MAX || (length > 0 && payload == nullptr))
        return -1;
    mcu_cmd_t cmd;
    cmd.sync = 0;
    cmd.cmd = uint8_t(code);
    cmd.length = uint16_t(length);
    if (length > 0)
        memcpy(cmd.data, payload, length);
    return w350 ? send_w350(&cmd) : send_cmd(&cmd);
}

int sys_uart::set_led(uint8_t led, uint8_t onoff)
{
    const uint8_t p[2] = {led, onoff};
    return send_code(MCU_LED, false, p, 2);
}

int sys_uart::set_hooter(uint8_t onoff)
{
    return send_code(MCU_HOOTER, false, &onoff, 1);
}

int sys_uart::set_audio(uint8_t mode)
{
    return send_code(MCU_AUDIO, false, &mode, 1);
}

int sys_uart::set_medical(int index, int onoff)
{
    const uint8_t p[2] = {uint8_t(index), uint8_t(onoff)};
    return send_code(MCU_MEDICAL, false, p, 2);
}

int sys_uart::power(int onoff)
{
    const uint8_t p = uint8_t(onoff);
    return send_code(MCU_POWER, false, &p, 1);
}

int sys_uart::io_sync()
{
    return send_code(MCU_IO, false, nullptr, 0);
}

int sys_uart::sys_sync()
{
    return send_code(MCU_SYS, false, nullptr, 0);
}

int sys_uart::eth_reset()
{
    bool w350 = sys_mode == SYS_PANEL;
    return send_code(w350 ? int(MCU_D_ETH) : int(MCU_ETH), w350, nullptr, 0);
}

int sys_uart::uart_w(const uint8_t* data, int length)
{
    if (length < 0 || (length > 0 && data == nullptr))
        return -1;
    bool w350 = sys_mode == SYS_PANEL;
    // More than one frame can carry: the rest follows in further frames, in order.
    for (int done = 0; done < length;) {
        int part = length - done > MCU_PAYLOAD_MAX ? MCU_PAYLOAD_MAX : length - done;
        send_code(MCU_RS485_RW, w350, data + done, part);
        done += part;
    }
    // No local RS485 port on this board.
    return 0;
}

int sys_uart::uart_c(int pb, int br)
{
    const uint8_t p[2] = {uint8_t(pb), uint8_t(br)};
    int rc = send_code(MCU_RS485_C, sys_mode == SYS_PANEL, p, 2);
    m_rs485_br.store(br);
    m_rs485_pb.store(pb);
    return rc;
}

int sys_uart::uart_m(int mode)
{
    const uint8_t p = uint8_t(mode);
    int rc = send_code(MCU_RS485_M, sys_mode == SYS_PANEL, &p, 1);
    m_rs485_m.store(mode);
    return rc;
}

int sys_uart::d_lock(int onoff)
{
    const uint8_t p = uint8_t(onoff);
    return send_code(MCU_D_LOCK, true, &p, 1);
}

int sys_uart::d_lock2(int onoff)
{
    const uint8_t p = uint8_t(onoff);
    return send_code(MCU_D_LOCK2, true, &p, 1);
}

int sys_uart::d_light(int index, int onoff)
{
    const uint8_t p[2] = {uint8_t(index), uint8_t(onoff)};
    return send_code(MCU_D_LIGHT, true, p, 2);
}

int sys_uart::d_led(int state)
{
    const uint8_t p = uint8_t(state);
    return send_code(MCU_D_RGB, true, &p, 1);
}

int sys_uart::eeprom_w(uint8_t offset, const uint8_t* data, uint8_t length)
{
    if (length > 0 && data == nullptr)
        return -1;
    uint8_t p[1 + 255];
    p[0] = offset;
    if (length > 0)
        memcpy(p + 1, data, length);
    AutoMutex lock(&m_eeprom_mutex);
    return send_code(MCU_EE_WR, false, p, length + 1);
}

int sys_uart::eeprom_r(uint8_t offset, uint8_t* data, uint8_t length)
{
    AutoMutex lock(&m_eeprom_mutex);
    m_eeprom_sz.store(0);
    const uint8_t p[2] = {offset, length};
    send_code(MCU_EE_RD, false, p, 2);
    // The reply carries no address: it is recognised by its length alone. The polls
    // keep to a fixed beat from the request, so late wake-ups never stretch the wait.
    struct timespec tick;
    clock_gettime(CLOCK_MONOTONIC, &tick);
    for (int i = 0; i < EEPROM_POLLS; i++) {
        tick.tv_nsec += EEPROM_POLL_US * 1000L;
        if (tick.tv_nsec >= 1000000000L) {
            tick.tv_nsec -= 1000000000L;
            tick.tv_sec++;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tick, nullptr) == EINTR) {
        }
        AutoMutex rx(&m_eeprom_rx_mutex);
        if (m_eeprom_sz.load() == length) {
            if (data != nullptr && length > 0)
                memcpy(data, m_eeprom_rx, length);
            return length;
        }
    }
    return 0;
}

// Six fields of one or two hexadecimal digits separated by colons, and nothing else
// but trailing blanks: a half-parsed address must never reach the EEPROM.
static bool mac_parse(const char* text, uint8_t* mac)
{
    const char* s = text;
    for (int i = 0; i < 6; i++) {
        if (i > 0) {
            if (*s != ':')
                return false;
            s++;
        }
        int value = 0;
        int digits = 0;
        while (digits < 3 && isxdigit(static_cast<unsigned char>(*s))) {
            int c = tolower(static_cast<unsigned char>(*s));
            value = value * 16 + (isdigit(c) ? c - '0' : c - 'a' + 10);
            digits++;
            s++;
        }
        if (digits == 0 || digits > 2)
            return false;
        mac[i] = uint8_t(value);
    }
    while (isspace(static_cast<unsigned char>(*s)))
        s++;
    return *s == '\0';
}

int sys_uart::mac_w(const char* mac)
{
    uint8_t block[MAC_BLOCK];
    if (mac == nullptr || !mac_parse(mac, block + 1))
        return -1;
    block[0] = MAC_MARKER;
    return eeprom_w(0, block, MAC_BLOCK);
}

int sys_uart::mac_r(char* mac, size_t size)
{
    if (mac == nullptr || size < MCU_MAC_TEXT)
        return 0;
    uint8_t block[MAC_BLOCK];
    if (eeprom_r(0, block, MAC_BLOCK) != MAC_BLOCK || block[0] != MAC_MARKER)
        return 0;
    snprintf(mac, size, "%02X:%02X:%02X:%02X:%02X:%02X", block[1], block[2], block[3], block[4],
             block[5], block[6]);
    return 17;
}
