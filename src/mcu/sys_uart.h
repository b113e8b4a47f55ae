#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "VeskoFifo.h"

// Codes of the standard variant (sync 0xA7, 38400 baud). The MCU answers or reports
// with the same code as the command.
enum {
    MCU_IO = 1,
    MCU_KEY = 2,
    MCU_LED = 3,
    MCU_HOOTER = 4,
    MCU_AUDIO = 48,
    MCU_ADC = 49,
    MCU_EIO = 50,
    MCU_MEDICAL = 64,
    MCU_I2S_SR = 112,
    MCU_EX_INT = 113,
    MCU_I2S_RESET = 114,
    MCU_RS485_RW = 128,
    MCU_RS485_C = 129,
    MCU_RS485_M = 130,
    MCU_ETH = 138,
    MCU_SYS = 139,
    MCU_POWER = 140,
    MCU_EE_RD = 144,
    MCU_EE_WR = 145,
    MCU_BOOT = 160,
    MCU_REBOOT = 161,
    MCU_HEART = 176,
    MCU_VERSION = 177,
};

// Codes of the w350 door-station variant (sync 0xA5, 115200 baud).
enum {
    MCU_D_BOOT = 1,
    MCU_D_CARD = 2,
    MCU_D_KEY = 3,
    MCU_D_EXIT = 4,
    MCU_D_SENSOR = 5,
    MCU_D_LOCK = 6,
    MCU_D_LCD_DRAW = 7,
    MCU_D_LCD_BL = 8,
    MCU_D_CALL = 9,
    MCU_D_LOCK2 = 10,
    MCU_D_LIGHT = 11,
    MCU_D_AKEY_DISCARD = 64,
    MCU_D_RGB = 65,
    MCU_D_AKEY = 66,
    MCU_D_ECALL = 80,
    MCU_D_LCD = 81,
    MCU_D_ADC = 83,
    MCU_D_EIO = 84,
    MCU_D_IR = 85,
    MCU_D_IR2 = 87,
    MCU_D_LED = 96,
    MCU_D_ETH = 97,
    MCU_D_USB = 98,
    MCU_D_HUB = 99,
    MCU_D_BUZZER = 100,
    MCU_D_POWER = 101,
    MCU_D_DI = 102,
    MCU_D_RS485_RW = 128,
    MCU_D_RS485_C = 129,
    MCU_D_RS485_M = 130,
    MCU_D_EE_RD = 144,
    MCU_D_EE_WR = 145,
    MCU_D_HEART = 176,
    MCU_D_VERSION = 177,
};

enum {
    MCU_SYNC = 0xA7,
    MCU_D_SYNC = 0xA5,
    MCU_FRAME_HEAD = 4,      // sync, length (2), cmd
    MCU_FRAME_EXTRA = 5,     // head and check byte
    MCU_DATA_MAX = 2048,     // payload and check byte
    MCU_PAYLOAD_MAX = 2047,
    MCU_RX_FIFO = 8192,
    MCU_ANALYZE_BUF = 128,   // frame buffer of the standard decoder
    MCU_D_ANALYZE_BUF = 2048,  // frame buffer of the w350 decoder
    MCU_EEPROM_RX = 256,
    MCU_MAC_TEXT = 18,       // "XX:XX:XX:XX:XX:XX" and its terminator
};

#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "mcu_cmd_t is written to the port as it lies in memory: little-endian only"
#endif

// One MCU frame, laid out as it goes on the wire so that it is written unchanged.
// The caller sets length to the payload length; the sender rewrites it to the frame
// length and puts the check byte after the payload.
struct __attribute__((packed)) mcu_cmd_t {
    uint8_t sync;
    uint16_t length;
    uint8_t cmd;
    uint8_t data[MCU_DATA_MAX];
};

static_assert(sizeof(mcu_cmd_t) == MCU_FRAME_HEAD + MCU_DATA_MAX, "mcu_cmd_t must be packed");

// The serial link to the terminal's microcontroller: one port, one reader thread,
// heartbeat and version supervision, the command set and the event decoders.
class sys_uart {
public:
    sys_uart();
    ~sys_uart();
    sys_uart(const sys_uart&) = delete;
    sys_uart& operator=(const sys_uart&) = delete;

    int start();
    int uart_open();
    int read(uint8_t* data, int length);
    int write(const uint8_t* data, int length);
    int send_cmd(mcu_cmd_t* cmd);
    int send_w350(mcu_cmd_t* cmd);
    void process();

    // Supervision requests and the version reply.
    int heartbeat();
    int version();
    void version(const uint8_t* v);

    // Command set.
    int set_led(uint8_t led, uint8_t onoff);
    int set_hooter(uint8_t onoff);
    int set_audio(uint8_t mode);
    int set_medical(int index, int onoff);
    int power(int onoff);
    int io_sync();
    int sys_sync();
    int eth_reset();
    int uart_w(const uint8_t* data, int length);
    int uart_c(int pb, int br);
    int uart_m(int mode);
    int d_lock(int onoff);
    int d_lock2(int onoff);
    int d_light(int index, int onoff);
    int d_led(int state);
    int eeprom_w(uint8_t offset, const uint8_t* data, uint8_t length);
    int eeprom_r(uint8_t offset, uint8_t* data, uint8_t length);
    int mac_w(const char* mac);
    // mac needs room for MCU_MAC_TEXT bytes; returns 17 with the text, or 0.
    int mac_r(char* mac, size_t size);

    // Event decoding.
    void analyze();
    void d_analyze();
    void send_io(const uint8_t* io, int count);
    void send_key(int key, int state);

    int mcu_state() const { return m_mcu_st.load(); }
    int rs485_br() const { return m_rs485_br.load(); }
    int rs485_pb() const { return m_rs485_pb.load(); }
    int rs485_m() const { return m_rs485_m.load(); }
    int i2s_sr() const { return m_i2s_sr.load(); }
    int eeprom_size() const { return m_eeprom_sz.load(); }

    // The w350 keypad: the key index is the position in this text.
    static const char key_table[17];

private:
    static void* thread(void* arg);
    int read_wait(uint8_t* data, int length, int timeout_ms);
    int send(mcu_cmd_t* cmd, uint8_t sync);
    int send_code(int code, bool w350, const uint8_t* payload, int length);
    void reopen();
    void connected();
    bool frame_pending();
    int take_frame(uint8_t* frame, int size);
    void eeprom_reply(const uint8_t* data, int length);
    void rs485_restore(int pause_ms);
    void post_ints(const char* url, const char* k1, int v1, const char* k2, int v2);

    int m_fd;
    std::atomic<int> m_mcu_st;
    VeskoFifo m_rx;
    std::atomic<int> m_rs485_br;
    std::atomic<int> m_rs485_pb;
    std::atomic<int> m_rs485_m;
    std::atomic<int> m_i2s_sr;
    pthread_mutex_t m_mutex;
    std::atomic<int> m_eeprom_sz;
    uint8_t m_eeprom_rx[MCU_EEPROM_RX];
    pthread_mutex_t m_eeprom_mutex;
    // Keeps the reply buffer whole while a waiting reader copies it out.
    pthread_mutex_t m_eeprom_rx_mutex;
};

extern sys_uart uart;
