#include "McuEmu.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace vsim {

namespace {

const int64_t kPieceGapUs = 20000;  // between the pieces of a split frame
const int kRetryMs = 10;            // the line's buffer was full
const int kMaxFrame = 4 + 2048;     // the largest frame the daemon's record can hold
const int kEepromSize = 512;

int64_t monotonic_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

struct CodeName {
    int code;
    const char* name;
};

const CodeName kStandard[] = {
    {1, "MCU_IO"}, {2, "MCU_KEY"}, {3, "MCU_LED"}, {4, "MCU_HOOTER"},
    {48, "MCU_AUDIO"}, {49, "MCU_ADC"}, {50, "MCU_EIO"}, {64, "MCU_MEDICAL"},
    {112, "MCU_I2S_SR"}, {113, "MCU_EX_INT"}, {114, "MCU_I2S_RESET"}, {128, "MCU_RS485_RW"},
    {129, "MCU_RS485_C"}, {130, "MCU_RS485_M"}, {138, "MCU_ETH"}, {139, "MCU_SYS"},
    {140, "MCU_POWER"}, {144, "MCU_EE_RD"}, {145, "MCU_EE_WR"}, {160, "MCU_BOOT"},
    {161, "MCU_REBOOT"}, {176, "MCU_HEART"}, {177, "MCU_VERSION"},
};

const CodeName kW350[] = {
    {1, "MCU_D_BOOT"}, {2, "MCU_D_CARD"}, {3, "MCU_D_KEY"}, {4, "MCU_D_EXIT"},
    {5, "MCU_D_SENSOR"}, {6, "MCU_D_LOCK"}, {7, "MCU_D_LCD_DRAW"}, {8, "MCU_D_LCD_BL"},
    {9, "MCU_D_CALL"}, {10, "MCU_D_LOCK2"}, {11, "MCU_D_LIGHT"}, {64, "MCU_D_AKEY_DISCARD"},
    {65, "MCU_D_RGB"}, {66, "MCU_D_AKEY"}, {80, "MCU_D_ECALL"}, {81, "MCU_D_LCD"},
    {83, "MCU_D_ADC"}, {84, "MCU_D_EIO"}, {85, "MCU_D_IR"}, {87, "MCU_D_IR2"},
    {96, "MCU_D_LED"}, {97, "MCU_D_ETH"}, {98, "MCU_D_USB"}, {99, "MCU_D_HUB"},
    {100, "MCU_D_BUZZER"}, {101, "MCU_D_POWER"}, {102, "MCU_D_DI"}, {128, "MCU_D_RS485_RW"},
    {129, "MCU_D_RS485_C"}, {130, "MCU_D_RS485_M"}, {144, "MCU_D_EE_RD"}, {145, "MCU_D_EE_WR"},
    {176, "MCU_D_HEART"}, {177, "MCU_D_VERSION"},
};

// Codes shared by both variants or meaningful in one only.
enum {
    C_IO = 1, C_KEY = 2, C_LED = 3, C_HOOTER = 4, C_AUDIO = 48, C_ADC = 49, C_EIO = 50, C_MEDICAL = 64,
    C_I2S_SR = 112, C_EX_INT = 113, C_RS485_RW = 128, C_RS485_C = 129, C_RS485_M = 130, C_ETH = 138,
    C_SYS = 139, C_POWER = 140, C_EE_RD = 144, C_EE_WR = 145, C_BOOT = 160, C_HEART = 176, C_VERSION = 177,
    C_D_BOOT = 1, C_D_CARD = 2, C_D_KEY = 3, C_D_EXIT = 4, C_D_SENSOR = 5, C_D_LOCK = 6, C_D_CALL = 9,
    C_D_LOCK2 = 10, C_D_LIGHT = 11, C_D_RGB = 65, C_D_AKEY = 66, C_D_ECALL = 80, C_D_ADC = 83, C_D_EIO = 84,
    C_D_IR = 85, C_D_IR2 = 87, C_D_ETH = 97,
};

int speed_of(speed_t s)
{
    switch (s) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
    }
}

}  // namespace

const char* McuEmu::code_name(bool w350, int code)
{
    if (w350) {
        for (const CodeName& c : kW350)
            if (c.code == code)
                return c.name;
    } else {
        for (const CodeName& c : kStandard)
            if (c.code == code)
                return c.name;
    }
    return "?";
}

const char* McuEmu::port_for_cpu(int cpu)
{
    switch (cpu) {
    case 3:
    case 3288:
    case 3368:
    case 3369:
        return "/dev/ttyS3";
    case 4:
    case 601:
        return "/dev/ttyS2";
    case 3568:
        return "/dev/ttyS7";
    default:
        return "/dev/ttyS5";
    }
}

std::vector<uint8_t> McuEmu::frame(uint8_t sync, int code, const std::vector<uint8_t>& payload)
{
    size_t length = payload.size() + 5;
    std::vector<uint8_t> f;
    f.reserve(length);
    f.push_back(sync);
    f.push_back(uint8_t(length & 0xFF));
    f.push_back(uint8_t(length >> 8));
    f.push_back(uint8_t(code));
    f.insert(f.end(), payload.begin(), payload.end());
    uint8_t check = 0;
    for (uint8_t b : f)
        check ^= b;
    f.push_back(check);
    return f;
}

McuEmu::McuEmu(int master, const std::string& dev, bool w350)
    : m_master(master), m_dev(dev), m_w350(w350), m_eeprom(kEepromSize, 0xFF)
{
    int flags = fcntl(m_master, F_GETFL);
    if (flags >= 0)
        fcntl(m_master, F_SETFL, flags | O_NONBLOCK);
    if (pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) == 0)
        m_thread = std::thread(&McuEmu::loop, this);
}

McuEmu::~McuEmu()
{
    if (m_thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        wake();
        m_thread.join();
    }
    for (int fd : m_wake)
        if (fd >= 0)
            close(fd);
}

void McuEmu::wake()
{
    char c = 0;
    (void)!::write(m_wake[1], &c, 1);
}

void McuEmu::set_version(int major, int minor, int patch)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_version[0] = uint8_t(major);
    m_version[1] = uint8_t(minor);
    m_version[2] = uint8_t(patch);
}

void McuEmu::set_kind(int kind)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_kind = kind;
}

void McuEmu::set_silent(bool silent)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_silent = silent;
}

void McuEmu::set_reply_delay_ms(int ms)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_delay_ms = ms < 0 ? 0 : ms;
}

void McuEmu::set_split(int bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_split = bytes < 0 ? 0 : bytes;
}

void McuEmu::set_eeprom(int offset, const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (size_t i = 0; i < bytes.size(); i++)
        if (offset >= 0 && offset + i < m_eeprom.size())
            m_eeprom[offset + i] = bytes[i];
}

std::vector<uint8_t> McuEmu::eeprom(int offset, int length) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<uint8_t> out;
    for (int i = 0; i < length; i++)
        if (offset >= 0 && size_t(offset + i) < m_eeprom.size())
            out.push_back(m_eeprom[offset + i]);
    return out;
}

McuOutputs McuEmu::outputs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_outputs;
}

std::vector<uint8_t> McuEmu::rs485() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rs485;
}

McuLine McuEmu::line() const
{
    McuLine l;
    int fd = open(m_dev.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return l;
    termios t;
    if (tcgetattr(fd, &t) == 0) {
        l.ok = true;
        l.speed = speed_of(cfgetospeed(&t));
        if (speed_of(cfgetispeed(&t)) != l.speed)
            l.speed = 0;
        l.raw = t.c_iflag == 0 && t.c_oflag == 0 && t.c_lflag == 0;
        l.cs8 = (t.c_cflag & CSIZE) == CS8;
        l.parity = (t.c_cflag & PARENB) != 0;
        l.two_stop = (t.c_cflag & CSTOPB) != 0;
        l.rtscts = (t.c_cflag & CRTSCTS) != 0;
        l.clocal = (t.c_cflag & CLOCAL) != 0;
        l.cread = (t.c_cflag & CREAD) != 0;
        l.vmin = t.c_cc[VMIN];
        l.vtime = t.c_cc[VTIME];
    }
    close(fd);
    return l;
}

void McuEmu::queue_locked(const std::vector<uint8_t>& bytes, int code, uint8_t sync,
                          const std::vector<uint8_t>& payload, bool valid)
{
    auto meta = std::make_shared<McuFrame>();
    meta->to_mcu = false;
    meta->valid = valid;
    meta->sync = sync;
    meta->code = code;
    meta->payload = payload;
    meta->raw = bytes;
    size_t step = m_split > 0 ? size_t(m_split) : bytes.size();
    if (step == 0)
        return;
    for (size_t at = 0; at < bytes.size(); at += step) {
        Piece p;
        p.bytes.assign(bytes.begin() + at, bytes.begin() + std::min(bytes.size(), at + step));
        p.gap = at > 0;
        if (at == 0)
            p.frame = meta;
        m_out.push_back(std::move(p));
    }
}

bool McuEmu::report(int code, const std::vector<uint8_t>& payload)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        queue_locked(frame(sync(), code, payload), code, sync(), payload, true);
    }
    wake();
    return true;
}

bool McuEmu::press_key(int key)
{
    return m_w350 ? report(C_D_KEY, {uint8_t(key)}) : report(C_KEY, {uint8_t(key), 1});
}

bool McuEmu::release_key(int key)
{
    return !m_w350 && report(C_KEY, {uint8_t(key), 0});
}

bool McuEmu::set_inputs(const std::vector<uint8_t>& states)
{
    if (m_w350)
        return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_inputs = states;
    }
    return report(C_IO, states);
}

bool McuEmu::send_adc(int value)
{
    return report(m_w350 ? C_D_ADC : C_ADC, {uint8_t(value & 0xFF), uint8_t((value >> 8) & 0xFF)});
}

bool McuEmu::send_eio(int io, int value)
{
    return report(m_w350 ? C_D_EIO : C_EIO, {uint8_t(io), uint8_t(value)});
}

bool McuEmu::reboot()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_outputs = McuOutputs();
    }
    return report(m_w350 ? C_D_BOOT : C_BOOT, {});
}

bool McuEmu::send_rs485(const std::vector<uint8_t>& bytes)
{
    return report(C_RS485_RW, bytes);
}

bool McuEmu::send_i2s_rate(int code)
{
    return !m_w350 && report(C_I2S_SR, {uint8_t(code)});
}

bool McuEmu::send_ex_int()
{
    return !m_w350 && report(C_EX_INT, {});
}

bool McuEmu::press_exit(int value)
{
    return m_w350 && report(C_D_EXIT, {uint8_t(value)});
}

bool McuEmu::send_sensor(int value)
{
    return m_w350 && report(C_D_SENSOR, {uint8_t(value)});
}

bool McuEmu::press_call(int value)
{
    return m_w350 && report(C_D_CALL, {uint8_t(value)});
}

bool McuEmu::press_ecall(int value)
{
    return m_w350 && report(C_D_ECALL, {uint8_t(value)});
}

bool McuEmu::press_akey(int index, int value)
{
    return m_w350 && report(C_D_AKEY, {uint8_t(index), uint8_t(value)});
}

bool McuEmu::send_ir_detect()
{
    return m_w350 && report(C_D_IR, {});
}

bool McuEmu::send_ir_reading(int value)
{
    uint16_t v = uint16_t(int16_t(value));
    return m_w350 && report(C_D_IR2, {uint8_t(v & 0xFF), uint8_t(v >> 8)});
}

bool McuEmu::send_card(const std::vector<uint8_t>& bits)
{
    return m_w350 && report(C_D_CARD, bits);
}

bool McuEmu::send_event(int code, const std::vector<uint8_t>& payload)
{
    return report(code, payload);
}

bool McuEmu::send_frame(uint8_t sync, int code, const std::vector<uint8_t>& payload)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        queue_locked(frame(sync, code, payload), code, sync, payload, true);
    }
    wake();
    return true;
}

bool McuEmu::send_raw(const std::vector<uint8_t>& bytes)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        queue_locked(bytes, -1, bytes.empty() ? 0 : bytes[0], {}, false);
    }
    wake();
    return true;
}

std::vector<McuFrame> McuEmu::frames() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
}

std::vector<McuFrame> McuEmu::received() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<McuFrame> out;
    for (const McuFrame& f : m_frames)
        if (f.to_mcu)
            out.push_back(f);
    return out;
}

size_t McuEmu::received_count(int code) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t n = 0;
    for (const McuFrame& f : m_frames)
        if (f.to_mcu && (code < 0 || f.code == code))
            n++;
    return n;
}

bool McuEmu::wait_frame(int code, int timeout_ms, McuFrame* out, size_t from)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    auto found = [&]() {
        size_t index = 0;
        for (const McuFrame& f : m_frames) {
            if (!f.to_mcu)
                continue;
            if (index++ < from)
                continue;
            if (code < 0 || f.code == code) {
                if (out)
                    *out = f;
                return true;
            }
        }
        return false;
    };
    return m_cond.wait_for(lock, std::chrono::milliseconds(timeout_ms), found);
}

bool McuEmu::wait_sent(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cond.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&]() { return m_out.empty() && m_pending.empty(); });
}

size_t McuEmu::garbage() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_garbage;
}

void McuEmu::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_frames.clear();
    m_garbage = 0;
}

void McuEmu::set_frame_callback(std::function<void(const McuFrame&)> callback)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_callback = std::move(callback);
}

void McuEmu::log_locked(const McuFrame& f, std::vector<McuFrame>* done)
{
    m_frames.push_back(f);
    done->push_back(f);
    m_cond.notify_all();
}

void McuEmu::answer_locked(int code, const std::vector<uint8_t>& payload)
{
    if (m_silent)
        return;
    if (m_delay_ms > 0)
        m_pending.push_back({monotonic_us() + int64_t(m_delay_ms) * 1000, code, payload});
    else
        queue_locked(frame(sync(), code, payload), code, sync(), payload, true);
}

void McuEmu::handle_locked(const McuFrame& f)
{
    const std::vector<uint8_t>& p = f.payload;
    size_t n = p.size();
    switch (f.code) {
    case C_HEART:
        answer_locked(C_HEART, {});
        return;
    case C_VERSION:
        answer_locked(C_VERSION, {m_version[0], m_version[1], m_version[2]});
        return;
    case C_RS485_RW:
        m_rs485.insert(m_rs485.end(), p.begin(), p.end());
        return;
    case C_RS485_C:
        if (n >= 2) {
            m_outputs.rs485_pb = p[0];
            m_outputs.rs485_br = p[1];
        }
        return;
    case C_RS485_M:
        if (n >= 1)
            m_outputs.rs485_m = p[0];
        return;
    default:
        break;
    }
    if (m_w350) {
        switch (f.code) {
        case C_D_LOCK:
            if (n >= 1)
                m_outputs.lock = p[0];
            break;
        case C_D_LOCK2:
            if (n >= 1)
                m_outputs.lock2 = p[0];
            break;
        case C_D_LIGHT:
            if (n >= 2)
                m_outputs.light[p[0]] = p[1];
            break;
        case C_D_RGB:
            if (n >= 1)
                m_outputs.rgb = p[0];
            break;
        case C_D_ETH:
            m_outputs.eth_resets++;
            break;
        case C_D_IR2:
            if (n >= 1)
                m_outputs.ir_period = p[0];
            break;
        default:
            break;
        }
        return;
    }
    switch (f.code) {
    case C_IO:
        answer_locked(C_IO, m_inputs);
        break;
    case C_LED:
        if (n >= 2)
            m_outputs.led[p[0]] = p[1];
        break;
    case C_HOOTER:
        if (n >= 1)
            m_outputs.hooter = p[0];
        break;
    case C_AUDIO:
        if (n >= 1)
            m_outputs.audio = p[0];
        break;
    case C_MEDICAL:
        if (n >= 2)
            m_outputs.medical[p[0]] = p[1];
        break;
    case C_POWER:
        if (n >= 1)
            m_outputs.power = p[0];
        break;
    case C_ETH:
        m_outputs.eth_resets++;
        break;
    case C_SYS:
        answer_locked(C_SYS, {uint8_t(m_kind)});
        break;
    case C_EE_RD:
        if (n >= 2) {
            std::vector<uint8_t> bytes;
            for (int i = 0; i < p[1]; i++)
                bytes.push_back(m_eeprom[(p[0] + i) % m_eeprom.size()]);
            answer_locked(C_EE_RD, bytes);
        }
        break;
    case C_EE_WR:
        for (size_t i = 1; i < n; i++)
            m_eeprom[(p[0] + i - 1) % m_eeprom.size()] = p[i];
        break;
    default:
        break;
    }
}

void McuEmu::parse_locked(std::vector<McuFrame>* done)
{
    int64_t now = monotonic_us();
    size_t i = 0;
    for (;;) {
        size_t start = i;
        while (i < m_in.size() && m_in[i] != sync())
            i++;
        m_garbage += i - start;
        if (m_in.size() - i < 3)
            break;
        size_t length = m_in[i + 1] | m_in[i + 2] << 8;
        if (length < 5 || length > size_t(kMaxFrame)) {
            m_garbage++;
            i++;
            continue;
        }
        if (m_in.size() - i < length)
            break;
        McuFrame f;
        f.to_mcu = true;
        f.sync = m_in[i];
        f.code = m_in[i + 3];
        f.raw.assign(m_in.begin() + i, m_in.begin() + i + length);
        f.payload.assign(f.raw.begin() + 4, f.raw.end() - 1);
        uint8_t check = 0;
        for (uint8_t b : f.raw)
            check ^= b;
        f.valid = check == 0;
        f.t_us = now;
        i += length;
        log_locked(f, done);
        if (f.valid)
            handle_locked(f);
    }
    m_in.erase(m_in.begin(), m_in.begin() + i);
}

// Writes what is due; returns how long the loop may sleep (-1: until woken).
int McuEmu::write_locked(int64_t now, std::vector<McuFrame>* done)
{
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (it->due_us <= now) {
            queue_locked(frame(sync(), it->code, it->payload), it->code, sync(), it->payload, true);
            it = m_pending.erase(it);
        } else {
            ++it;
        }
    }
    int wait = -1;
    while (!m_out.empty()) {
        Piece& p = m_out.front();
        if (p.gap && now < m_last_write_us + kPieceGapUs) {
            wait = int((m_last_write_us + kPieceGapUs - now + 999) / 1000);
            break;
        }
        ssize_t n = ::write(m_master, p.bytes.data(), p.bytes.size());
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                wait = kRetryMs;
                break;
            }
            m_out.pop_front();
            continue;
        }
        if (p.frame) {
            p.frame->t_us = now;
            log_locked(*p.frame, done);
            p.frame.reset();
        }
        m_last_write_us = now;
        if (size_t(n) < p.bytes.size()) {
            p.bytes.erase(p.bytes.begin(), p.bytes.begin() + n);
            wait = kRetryMs;
            break;
        }
        m_out.pop_front();
    }
    for (const Pending& p : m_pending) {
        int ms = int((p.due_us - now + 999) / 1000);
        if (wait < 0 || ms < wait)
            wait = ms;
    }
    if (m_out.empty() && m_pending.empty())
        m_cond.notify_all();
    return wait;
}

void McuEmu::loop()
{
    std::vector<uint8_t> buf(4096);
    for (;;) {
        std::vector<McuFrame> done;
        std::function<void(const McuFrame&)> callback;
        int wait;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop)
                return;
            wait = write_locked(monotonic_us(), &done);
            callback = m_callback;
        }
        if (callback)
            for (const McuFrame& f : done)
                callback(f);
        done.clear();

        pollfd fds[2] = {{m_master, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (poll(fds, 2, wait) < 0)
            continue;
        if (fds[1].revents & POLLIN) {
            char drain[64];
            while (::read(m_wake[0], drain, sizeof(drain)) > 0) {
            }
        }
        if (fds[0].revents & POLLIN) {
            ssize_t n = ::read(m_master, buf.data(), buf.size());
            if (n > 0) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_in.insert(m_in.end(), buf.begin(), buf.begin() + n);
                parse_locked(&done);
                callback = m_callback;
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            // No slave side open: nothing to read until the port is opened again.
            usleep(kRetryMs * 1000);
        }
        if (callback)
            for (const McuFrame& f : done)
                callback(f);
    }
}

}  // namespace vsim
