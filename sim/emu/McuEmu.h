#pragma once

#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vsim {

// One frame on the MCU line, in either direction.
struct McuFrame {
    bool to_mcu = false;   // written by the daemon, received by the MCU
    bool valid = false;    // a whole frame whose check byte matched
    uint8_t sync = 0;
    int code = -1;         // -1 for bytes written raw that are not a frame of the MCU's own
    std::vector<uint8_t> payload;
    std::vector<uint8_t> raw;  // every byte as it crossed the line
    int64_t t_us = 0;      // CLOCK_MONOTONIC: arrival (to_mcu) or first byte written
};

// The line settings that the daemon gave the MCU port, read from the slave side.
struct McuLine {
    bool ok = false;   // the slave could be opened and read
    int speed = 0;     // baud, 0 when not a standard rate
    bool raw = false;  // no input, output or local processing
    bool cs8 = false;
    bool parity = false;
    bool two_stop = false;
    bool rtscts = false;
    bool clocal = false;
    bool cread = false;
    int vmin = -1;
    int vtime = -1;
};

// What the daemon has set on the MCU's outputs and its RS485 side.
struct McuOutputs {
    std::map<int, int> led;      // MCU_LED: led -> onoff
    int hooter = -1;
    int audio = -1;
    std::map<int, int> medical;  // index -> onoff
    int power = -1;
    int eth_resets = 0;
    int lock = -1;
    int lock2 = -1;
    std::map<int, int> light;    // index -> onoff
    int rgb = -1;                // MCU_D_RGB state byte
    int ir_period = -1;
    int rs485_pb = -1;           // -1: not set since the MCU started
    int rs485_br = -1;
    int rs485_m = -1;
};

// The MCU firmware of the terminal, on the master side of the pty whose slave is the
// daemon's MCU port: it frames and checks what the daemon sends, answers heartbeats,
// version, kind, EEPROM and input requests, keeps its outputs and a 512-byte EEPROM,
// carries RS485 bytes, and reports keys, buttons, inputs, analogue values and
// restarts when a test asks. It can stay silent, answer late, split its frames
// across writes and write any bytes at all.
class McuEmu {
public:
    // master: the pty master (not closed here); dev: the slave's path, opened only to
    // read the line settings; w350: the door-station variant.
    McuEmu(int master, const std::string& dev, bool w350);
    ~McuEmu();
    McuEmu(const McuEmu&) = delete;
    McuEmu& operator=(const McuEmu&) = delete;

    // Name of a code in a variant ("MCU_D_LOCK"), or "?" for an unknown one.
    static const char* code_name(bool w350, int code);
    // The MCU port that a processor family uses.
    static const char* port_for_cpu(int cpu);
    // A whole frame: sync, length, code, payload and check byte.
    static std::vector<uint8_t> frame(uint8_t sync, int code, const std::vector<uint8_t>& payload);

    bool w350() const { return m_w350; }
    uint8_t sync() const { return m_w350 ? 0xA5 : 0xA7; }

    // Firmware model.
    void set_version(int major, int minor, int patch);
    void set_kind(int kind);
    void set_silent(bool silent);        // no answers at all (reports asked by a test still go)
    void set_reply_delay_ms(int ms);     // answers go out this late
    void set_split(int bytes);           // every frame written in pieces of this size, 0: whole
    void set_eeprom(int offset, const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> eeprom(int offset, int length) const;
    McuOutputs outputs() const;
    std::vector<uint8_t> rs485() const;  // bytes the daemon put on the RS485 bus
    McuLine line() const;

    // Reports. Each returns false when the code does not exist in the variant.
    bool press_key(int key);             // standard: MCU_KEY {key, 1}; w350: MCU_D_KEY {index}
    bool release_key(int key);           // standard: MCU_KEY {key, 0}
    bool set_inputs(const std::vector<uint8_t>& states);  // standard: MCU_IO, kept for io_sync
    bool send_adc(int value);
    bool send_eio(int io, int value);
    bool reboot();                       // forgets the RS485 settings, reports the restart
    bool send_rs485(const std::vector<uint8_t>& bytes);  // bytes heard on the RS485 bus
    bool send_i2s_rate(int code);        // standard
    bool send_ex_int();                  // standard
    bool press_exit(int value);          // w350
    bool send_sensor(int value);         // w350
    bool press_call(int value);          // w350
    bool press_ecall(int value);         // w350
    bool press_akey(int index, int value);  // w350
    bool send_ir_detect();               // w350
    bool send_ir_reading(int value);     // w350, signed 16 bits
    bool send_card(const std::vector<uint8_t>& bits);  // w350, Wiegand bytes
    bool send_event(int code, const std::vector<uint8_t>& payload);  // any code, own sync
    bool send_frame(uint8_t sync, int code, const std::vector<uint8_t>& payload);
    bool send_raw(const std::vector<uint8_t>& bytes);

    // The line log, both directions, in order.
    std::vector<McuFrame> frames() const;
    std::vector<McuFrame> received() const;  // only what the daemon wrote
    size_t received_count(int code) const;
    // Waits for a frame from the daemon with this code (-1: any) among the received
    // frames from index from onward; out gets it.
    bool wait_frame(int code, int timeout_ms, McuFrame* out = nullptr, size_t from = 0);
    // Waits until every byte queued for the daemon has been written.
    bool wait_sent(int timeout_ms);
    size_t garbage() const;  // received bytes that were no frame of the MCU's variant
    void clear();
    // Called on the emulator's thread for every frame in either direction.
    void set_frame_callback(std::function<void(const McuFrame&)> callback);

private:
    struct Piece {
        std::vector<uint8_t> bytes;
        bool gap = false;  // a later piece of a split frame: wait before writing it
        std::shared_ptr<McuFrame> frame;  // on the first piece: the frame to log
    };
    struct Pending {
        int64_t due_us;
        int code;
        std::vector<uint8_t> payload;
    };

    void loop();
    void wake();
    void queue_locked(const std::vector<uint8_t>& bytes, int code, uint8_t sync,
                      const std::vector<uint8_t>& payload, bool valid);
    bool report(int code, const std::vector<uint8_t>& payload);
    void answer_locked(int code, const std::vector<uint8_t>& payload);
    void parse_locked(std::vector<McuFrame>* done);
    void handle_locked(const McuFrame& f);
    int write_locked(int64_t now, std::vector<McuFrame>* done);
    void log_locked(const McuFrame& f, std::vector<McuFrame>* done);

    const int m_master;
    const std::string m_dev;
    const bool m_w350;
    int m_wake[2] = {-1, -1};
    std::thread m_thread;

    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<McuFrame> m_frames;
    std::vector<uint8_t> m_in;
    std::deque<Piece> m_out;
    std::vector<Pending> m_pending;
    int64_t m_last_write_us = 0;
    size_t m_garbage = 0;
    uint8_t m_version[3] = {1, 2, 3};
    int m_kind = 0;
    bool m_silent = false;
    int m_delay_ms = 0;
    int m_split = 0;
    std::vector<uint8_t> m_eeprom;
    std::vector<uint8_t> m_inputs;
    McuOutputs m_outputs;
    std::vector<uint8_t> m_rs485;
    std::function<void(const McuFrame&)> m_callback;
    bool m_stop = false;
};

}  // namespace vsim
