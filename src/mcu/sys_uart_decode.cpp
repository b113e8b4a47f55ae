#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "AutoMutex.h"
#include "__sys.h"
#include "dmsg.h"
#include "dxml.h"
#include "sys_board.h"
#include "sys_uart.h"

const char sys_uart::key_table[17] = "ABCD147*2580369#";

// Takes one whole frame out of the receive buffer into frame (size bytes), checks
// it and returns its length, or 0 when none is complete yet or it was dropped.
int sys_uart::take_frame(uint8_t* frame, int size)
{
    uint8_t head[MCU_FRAME_EXTRA];
    if (m_rx.copy(head, sizeof(head)) != int(sizeof(head)))
        return 0;
    int length = head[1] | head[2] << 8;
    // A length that no frame can have, or that the buffer cannot hold, is treated as
    // corruption: waiting for it could stall the link for good.
    if (length < MCU_FRAME_EXTRA || length > size) {
        m_rx.flush();
        return 0;
    }
    if (m_rx.used() < length || m_rx.get(frame, length) != length)
        return 0;
    uint8_t check = 0;
    for (int i = 0; i < length; i++)
        check ^= frame[i];
    if (check != 0) {
        m_rx.flush();
        return 0;
    }
    if (m_mcu_st.load() == 0)
        m_mcu_st.store(1);
    return length;
}

void sys_uart::post_ints(const char* url, const char* k1, int v1, const char* k2, int v2)
{
    dxml body;
    body.setInt(k1, v1);
    if (k2 != nullptr)
        body.setInt(k2, v2);
    dmsg msg;
    msg.request(url, body.data());
}

void sys_uart::send_key(int key, int state)
{
    post_ints("/ui/key/mcu", "/params/key", key, "/params/onoff", state);
}

void sys_uart::send_io(const uint8_t* io, int count)
{
    if (count > 0 && io == nullptr)
        return;
    dxml body;
    body.setInt("/params/mcu", 1);
    for (int i = 0; i < count; i++) {
        char key[32];
        snprintf(key, sizeof(key), "/params/io%d", i);
        body.setInt(key, io[i]);
    }
    const char* url = "/security/io";
    if (sys_qding)
        url = "/ui/security/io";
    else if (sys.m_eIO)
        url = "/exApp/io";
    dmsg msg;
    msg.request(url, body.data());
}

void sys_uart::eeprom_reply(const uint8_t* data, int length)
{
    // A reply that the buffer cannot hold is no answer to any read.
    if (length > MCU_EEPROM_RX)
        return;
    AutoMutex lock(&m_eeprom_rx_mutex);
    memcpy(m_eeprom_rx, data, length);
    m_eeprom_sz.store(length);
}

void sys_uart::rs485_restore(int pause_ms)
{
    fprintf(stderr, "MCU system reboot.......\n");
    uart_m(m_rs485_m.load());
    usleep(pause_ms * 1000);
    uart_c(m_rs485_pb.load(), m_rs485_br.load());
}

static int u16le(const uint8_t* p)
{
    return p[0] | p[1] << 8;
}

// Frames whose payload is shorter than the fields their code reads are ignored;
// they still prove the link.
void sys_uart::analyze()
{
    uint8_t frame[MCU_ANALYZE_BUF];
    int length = take_frame(frame, sizeof(frame));
    if (length == 0)
        return;
    const uint8_t* p = frame + MCU_FRAME_HEAD;
    int n = length - MCU_FRAME_EXTRA;
    switch (frame[3]) {
    case MCU_IO:
        send_io(p, n);
        break;
    case MCU_KEY:
        if (n >= 2)
            send_key(p[0], p[1]);
        break;
    case MCU_ADC:
        if (n >= 2)
            post_ints("/ui/mcu/adc", "/params/data", u16le(p), nullptr, 0);
        break;
    case MCU_EIO:
        if (n >= 2)
            post_ints("/ui/mcu/eio", "/params/io", p[0], "/params/data", p[1]);
        break;
    case MCU_I2S_SR:
        if (n >= 1)
            m_i2s_sr.store(p[0]);
        break;
    case MCU_SYS:
        if (n >= 1) {
            __atomic_store_n(&sys_mcu, int(p[0]), __ATOMIC_RELEASE);
            printf("sys_mcu: %d\n", int(p[0]));
        }
        break;
    case MCU_EE_RD:
        eeprom_reply(p, n);
        break;
    case MCU_BOOT:
        rs485_restore(40);
        break;
    case MCU_VERSION:
        if (n >= 3)
            version(p);
        break;
    default:
        break;
    }
}

void sys_uart::d_analyze()
{
    uint8_t frame[MCU_D_ANALYZE_BUF];
    int length = take_frame(frame, sizeof(frame));
    if (length == 0)
        return;
    const uint8_t* p = frame + MCU_FRAME_HEAD;
    int n = length - MCU_FRAME_EXTRA;
    switch (frame[3]) {
    case MCU_D_BOOT:
        rs485_restore(100);
        break;
    case MCU_D_CARD: {
        // One write, so that the line never mixes with another thread's output.
        char line[64 + 3 * MCU_D_ANALYZE_BUF];
        int at = snprintf(line, sizeof(line), "wiegand input raw data[%d]: ", n);
        for (int i = 0; i < n; i++)
            at += snprintf(line + at, sizeof(line) - at, "%02X ", p[i]);
        snprintf(line + at, sizeof(line) - at, "\n");
        fputs(line, stderr);
        break;
    }
    case MCU_D_KEY:
        if (n >= 1 && p[0] < 16) {
            char key[2] = {key_table[p[0]], '\0'};
            dxml body;
            body.setText("/params/data", key);
            dmsg msg;
            msg.request("/ui/w350/key", body.data());
        }
        break;
    case MCU_D_EXIT:
        if (n >= 1)
            post_ints("/ui/w350/btn", "/params/btn", 0, "/params/data", p[0]);
        break;
    case MCU_D_SENSOR:
        if (n >= 1)
            post_ints("/ui/w350/btn", "/params/btn", 1, "/params/data", p[0]);
        break;
    case MCU_D_CALL:
        if (n >= 1)
            post_ints("/ui/w350/keyCall", "/params/data", p[0], nullptr, 0);
        break;
    case MCU_D_AKEY:
        if (n >= 2)
            post_ints("/ui/w350/ekey", "/params/io", p[0], "/params/data", p[1]);
        break;
    case MCU_D_ECALL:
        if (n >= 1)
            post_ints("/ui/w350/btn", "/params/btn", 2, "/params/data", p[0]);
        break;
    case MCU_D_ADC:
        if (n >= 2)
            post_ints("/ui/w350/adc", "/params/data", u16le(p), nullptr, 0);
        break;
    case MCU_D_EIO:
        if (n >= 2)
            post_ints("/ui/w350/eio", "/params/io", p[0], "/params/data", p[1]);
        break;
    case MCU_D_IR: {
        dmsg msg;
        msg.request("/ui/ir/detect", nullptr);
        fprintf(stderr, "ir detect.......\n");
        break;
    }
    case MCU_D_VERSION:
        if (n >= 3)
            version(p);
        break;
    default:
        break;
    }
}
