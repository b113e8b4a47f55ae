// The MCU link in-process: the daemon's sys_uart on the port's slave side, the MCU
// emulator on the master side, both inside a sandbox.
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

#include "BusPeer.h"
#include "McuTest.h"
#include "sys_board.h"
#include "sys_uart.h"
#include "vsim_test.h"

using mcutest::Bytes;
using vsim::McuEmu;
using vsim::McuFrame;

namespace {

const char kPort[] = "/dev/ttyS3";  // the default fixture is an RK3288

struct Op {
    const char* name;
    std::function<int()> call;
    int rc;          // expected result
    Bytes frame;     // expected bytes on the line; empty: nothing may be written
};

// Runs each operation and checks its result and the one frame it wrote. Operations
// that must write nothing are followed by a marker frame, which must be the next one.
void run_ops(McuEmu& mcu, const std::vector<Op>& ops, const std::function<int()>& marker, const Bytes& marker_frame)
{
    for (const Op& op : ops) {
        SCOPED_TRACE(op.name);
        size_t from = mcu.received_count(-1);
        EXPECT_EQ(op.call(), op.rc);
        if (op.frame.empty()) {
            EXPECT_GE(marker(), 0);
        }
        McuFrame f;
        ASSERT_TRUE(mcu.wait_frame(-1, 2000, &f, from));
        EXPECT_EQ(mcutest::hex(f.raw), mcutest::hex(op.frame.empty() ? marker_frame : op.frame));
        EXPECT_TRUE(mcu.wait_sent(2000));
    }
    EXPECT_EQ(mcu.garbage(), 0u);
}

void open_link(vsim::Sandbox& sb, std::unique_ptr<McuEmu>* mcu, bool w350)
{
    sys_mode = w350 ? SYS_PANEL : SYS_NORMAL;
    mcu->reset(new McuEmu(sb.serial(kPort), kPort, w350));
    ASSERT_EQ(uart.uart_open(), 0);
}

void start_link(vsim::Sandbox& sb, std::unique_ptr<McuEmu>* mcu, bool w350)
{
    sys_mode = w350 ? SYS_PANEL : SYS_NORMAL;
    mcu->reset(new McuEmu(sb.serial(kPort), kPort, w350));
    ASSERT_EQ(uart.start(), 0);
    ASSERT_TRUE(vsim::wait_until([] { return uart.mcu_state() == 2; }, 3000));
}

const uint8_t kThree[3] = {1, 2, 3};

}  // namespace

TEST(sys_uart, StandardCommandsByteForByte)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        std::unique_ptr<McuEmu> mcu;
        open_link(sb, &mcu, false);
        mcu_cmd_t raw;
        memset(&raw, 0, sizeof(raw));
        raw.cmd = 3;
        std::vector<Op> ops = {
            {"set_led", [] { return uart.set_led(2, 1); }, 7, {0xA7, 0x07, 0x00, 0x03, 0x02, 0x01, 0xA0}},
            {"set_led all", [] { return uart.set_led(255, 0); }, 7, McuEmu::frame(0xA7, 3, {255, 0})},
            {"set_hooter", [] { return uart.set_hooter(1); }, 6, McuEmu::frame(0xA7, 4, {1})},
            {"set_audio", [] { return uart.set_audio(0x12); }, 6, McuEmu::frame(0xA7, 48, {0x12})},
            {"set_medical", [] { return uart.set_medical(0x103, 1); }, 7, McuEmu::frame(0xA7, 64, {3, 1})},
            {"power", [] { return uart.power(1); }, 6, McuEmu::frame(0xA7, 140, {1})},
            {"io_sync", [] { return uart.io_sync(); }, 5, McuEmu::frame(0xA7, 1, {})},
            {"sys_sync", [] { return uart.sys_sync(); }, 5, McuEmu::frame(0xA7, 139, {})},
            {"version", [] { return uart.version(); }, 5, {0xA7, 0x05, 0x00, 0xB1, 0x13}},
            {"eth_reset", [] { return uart.eth_reset(); }, 5, McuEmu::frame(0xA7, 138, {})},
            {"uart_w", [] { return uart.uart_w(kThree, 3); }, 0, McuEmu::frame(0xA7, 128, {1, 2, 3})},
            {"uart_c", [] { return uart.uart_c(1, 7); }, 7, McuEmu::frame(0xA7, 129, {1, 7})},
            {"uart_m", [] { return uart.uart_m(0); }, 6, McuEmu::frame(0xA7, 130, {0})},
            {"eeprom_w", [] { return uart.eeprom_w(0x10, kThree, 3); }, 9,
             McuEmu::frame(0xA7, 145, {0x10, 1, 2, 3})},
            {"mac_w", [] { return uart.mac_w("02:11:22:33:44:55"); }, 13,
             McuEmu::frame(0xA7, 145, {0x00, 0x6D, 0x02, 0x11, 0x22, 0x33, 0x44, 0x55})},
            {"mac_w lower case", [] { return uart.mac_w("a:bb:Cc:0:ee:FF"); }, 13,
             McuEmu::frame(0xA7, 145, {0x00, 0x6D, 0x0A, 0xBB, 0xCC, 0x00, 0xEE, 0xFF})},
            {"send_cmd", [&] { return uart.send_cmd(&raw); }, 5, McuEmu::frame(0xA7, 3, {})},
            // The w350 operations and sender refuse the standard variant.
            {"d_lock", [] { return uart.d_lock(1); }, -1, {}},
            {"d_lock2", [] { return uart.d_lock2(1); }, -1, {}},
            {"d_light", [] { return uart.d_light(0, 1); }, -1, {}},
            {"d_led", [] { return uart.d_led(1); }, -1, {}},
            {"send_w350", [&] { raw.length = 0; return uart.send_w350(&raw); }, -1, {}},
        };
        run_ops(*mcu, ops, [] { return uart.set_hooter(0); }, McuEmu::frame(0xA7, 4, {0}));
        EXPECT_EQ(uart.rs485_pb(), 1);
        EXPECT_EQ(uart.rs485_br(), 7);
        EXPECT_EQ(uart.rs485_m(), 0);
        EXPECT_EQ(mcu->eeprom(0, 7), Bytes({0x6D, 0x0A, 0xBB, 0xCC, 0x00, 0xEE, 0xFF}));

        // While the MCU has never answered, a heartbeat is followed by the EEPROM probe.
        size_t from = mcu->received_count(-1);
        EXPECT_EQ(uart.heartbeat(), 5);
        McuFrame f;
        ASSERT_TRUE(mcu->wait_frame(-1, 2000, &f, from));
        EXPECT_EQ(mcutest::hex(f.raw), "A7 05 00 B0 12 ");
        ASSERT_TRUE(mcu->wait_frame(-1, 2000, &f, from + 1));
        EXPECT_EQ(mcutest::hex(f.raw), mcutest::hex(McuEmu::frame(0xA7, 144, {0x00, 0x06})));
    });
}

TEST(sys_uart, DoorStationCommandsByteForByte)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        std::unique_ptr<McuEmu> mcu;
        open_link(sb, &mcu, true);
        mcu_cmd_t raw;
        memset(&raw, 0, sizeof(raw));
        raw.cmd = 6;
        uint8_t buf[8] = {0};
        std::vector<Op> ops = {
            {"heartbeat", [] { return uart.heartbeat(); }, 5, {0xA5, 0x05, 0x00, 0xB0, 0x10}},
            // No EEPROM probe in this variant: the next frame is the next operation's.
            {"version", [] { return uart.version(); }, 5, McuEmu::frame(0xA5, 177, {})},
            {"eth_reset", [] { return uart.eth_reset(); }, 5, McuEmu::frame(0xA5, 97, {})},
            {"uart_w", [] { return uart.uart_w(kThree, 3); }, 0, McuEmu::frame(0xA5, 128, {1, 2, 3})},
            {"uart_c", [] { return uart.uart_c(2, 5); }, 7, McuEmu::frame(0xA5, 129, {2, 5})},
            {"uart_m", [] { return uart.uart_m(1); }, 6, McuEmu::frame(0xA5, 130, {1})},
            {"d_lock", [] { return uart.d_lock(1); }, 6, McuEmu::frame(0xA5, 6, {1})},
            {"d_lock2", [] { return uart.d_lock2(0); }, 6, McuEmu::frame(0xA5, 10, {0})},
            {"d_light", [] { return uart.d_light(2, 1); }, 7, McuEmu::frame(0xA5, 11, {2, 1})},
            {"d_led", [] { return uart.d_led(0x105); }, 6, McuEmu::frame(0xA5, 65, {0x05})},
            {"send_w350", [&] { return uart.send_w350(&raw); }, 5, McuEmu::frame(0xA5, 6, {})},
            {"set_led", [] { return uart.set_led(1, 1); }, -1, {}},
            {"set_hooter", [] { return uart.set_hooter(1); }, -1, {}},
            {"set_audio", [] { return uart.set_audio(1); }, -1, {}},
            {"set_medical", [] { return uart.set_medical(1, 1); }, -1, {}},
            {"power", [] { return uart.power(1); }, -1, {}},
            {"io_sync", [] { return uart.io_sync(); }, -1, {}},
            {"sys_sync", [] { return uart.sys_sync(); }, -1, {}},
            {"eeprom_w", [] { return uart.eeprom_w(0, kThree, 3); }, -1, {}},
            {"mac_w", [] { return uart.mac_w("02:11:22:33:44:55"); }, -1, {}},
            {"eeprom_r", [&] { return uart.eeprom_r(0, buf, 7); }, 0, {}},
            {"send_cmd", [&] { raw.length = 0; return uart.send_cmd(&raw); }, -1, {}},
        };
        run_ops(*mcu, ops, [] { return uart.d_led(0); }, McuEmu::frame(0xA5, 65, {0}));
        EXPECT_EQ(uart.rs485_pb(), 2);
        EXPECT_EQ(uart.rs485_br(), 5);
        EXPECT_EQ(uart.rs485_m(), 1);
    });
}

// With the port closed every sender refuses; with the port open a payload must fit
// the record with its check byte.
TEST(sys_uart, ClosedPortAndPayloadLimits)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        sys_mode = SYS_NORMAL;
        EXPECT_EQ(uart.set_led(1, 1), -1);
        EXPECT_EQ(uart.heartbeat(), -1);
        EXPECT_EQ(uart.write(kThree, 3), -1);
        EXPECT_EQ(uart.read(nullptr, 0), 0);
        uint8_t buf[4];
        EXPECT_EQ(uart.read(buf, 4), 0);

        std::unique_ptr<McuEmu> mcu;
        open_link(sb, &mcu, false);
        static mcu_cmd_t cmd;
        memset(&cmd, 0xEE, sizeof(cmd));
        cmd.cmd = 128;
        cmd.length = 2048;
        EXPECT_EQ(uart.send_cmd(&cmd), -1);
        cmd.length = 2047;
        EXPECT_EQ(uart.send_cmd(&cmd), 2052);
        McuFrame f;
        ASSERT_TRUE(mcu->wait_frame(128, 3000, &f));
        EXPECT_TRUE(f.valid);
        EXPECT_EQ(f.payload.size(), 2047u);
        EXPECT_EQ(mcu->received_count(-1), 1u);

        // Pass-through bytes beyond one frame follow in further frames, none lost.
        Bytes big(5000);
        for (size_t i = 0; i < big.size(); i++)
            big[i] = uint8_t(i * 7);
        size_t from = mcu->received_count(-1);
        EXPECT_EQ(uart.uart_w(big.data(), int(big.size())), 0);
        ASSERT_TRUE(mcu->wait_frame(128, 3000, &f, from + 2));
        std::vector<McuFrame> got = mcu->received();
        ASSERT_EQ(got.size(), from + 3);
        EXPECT_EQ(got[from].payload.size(), 2047u);
        EXPECT_EQ(got[from + 1].payload.size(), 2047u);
        EXPECT_EQ(got[from + 2].payload.size(), 906u);
        Bytes bus = mcu->rs485();
        EXPECT_EQ(Bytes(bus.end() - 5000, bus.end()), big);
        EXPECT_EQ(uart.uart_w(big.data(), -1), -1);
        EXPECT_EQ(uart.uart_w(nullptr, 3), -1);
        EXPECT_EQ(uart.send_cmd(nullptr), -1);
    });
}

// A MAC text that is not six hexadecimal bytes never reaches the EEPROM.
TEST(sys_uart, MacTextValidation)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        std::unique_ptr<McuEmu> mcu;
        open_link(sb, &mcu, false);
        const char* bad[] = {
            "", "02:11:22:33:44", "02:11:22:33:44:55:66", "0211:22:33:44:55", "02:11:22:33:44:5G",
            "102:11:22:33:44:55", "02-11-22-33-44-55", "02:11:22:33:44:55;reboot", ":11:22:33:44:55",
            "02:11:22:33:44:", "0x2:11:22:33:44:55", " 02:11:22:33:44:55",
        };
        for (const char* text : bad)
            EXPECT_EQ(uart.mac_w(text), -1) << text;
        EXPECT_EQ(uart.mac_w(nullptr), -1);
        EXPECT_EQ(uart.mac_w("02:11:22:33:44:55\n"), 13);
        McuFrame f;
        ASSERT_TRUE(mcu->wait_frame(-1, 2000, &f));
        EXPECT_EQ(mcutest::hex(f.payload), "00 6D 02 11 22 33 44 55 ");
        EXPECT_TRUE(mcu->wait_sent(1000));
        EXPECT_EQ(mcu->received_count(-1), 1u);
        EXPECT_EQ(mcu->garbage(), 0u);
    });
}

// Many threads at once: every frame arrives whole, and each thread's frames in order.
TEST(sys_uart, FramesNeverInterleave)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        std::unique_ptr<McuEmu> mcu;
        start_link(sb, &mcu, false);
        const int threads = 8, each = 60;
        size_t before = mcu->received_count(128);
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; t++) {
            pool.emplace_back([t] {
                for (int i = 0; i < each; i++) {
                    Bytes p(size_t((t * 31 + i * 17) % 300 + 2), uint8_t(t));
                    p[1] = uint8_t(i);
                    uart.uart_w(p.data(), int(p.size()));
                    uart.set_led(uint8_t(t), uint8_t(i & 1));
                }
            });
        }
        for (std::thread& th : pool)
            th.join();
        ASSERT_TRUE(vsim::wait_until([&] { return mcu->received_count(128) == before + threads * each; }, 10000));
        std::vector<int> next(threads, 0);
        size_t leds = 0;
        for (const McuFrame& f : mcu->received()) {
            EXPECT_TRUE(f.valid);
            if (f.code == 3)
                leds++;
            if (f.code != 128)
                continue;
            ASSERT_GE(f.payload.size(), 2u);
            int t = f.payload[0];
            ASSERT_LT(t, threads);
            EXPECT_EQ(f.payload[1], next[t]);
            EXPECT_EQ(f.payload.size(), size_t((t * 31 + next[t] * 17) % 300 + 2));
            next[t]++;
        }
        EXPECT_EQ(leds, size_t(threads * each));
        EXPECT_EQ(mcu->garbage(), 0u);
    });
}

// The EEPROM reply is waited for about 400 ms: one after 300 ms is taken, one after
// 450 ms is not, and a late reply only fills the buffer.
TEST(sys_uart, EepromReadWaitsForItsReply)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        std::unique_ptr<McuEmu> mcu;
        start_link(sb, &mcu, false);
        mcu->set_eeprom(0, {0x6D, 0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0x99});

        uint8_t buf[8];
        memset(buf, 0xEE, sizeof(buf));
        mcu->set_reply_delay_ms(300);
        EXPECT_EQ(uart.eeprom_r(0, buf, 7), 7);
        EXPECT_EQ(mcutest::hex(Bytes(buf, buf + 8)), "6D 02 11 22 33 44 55 EE ");

        memset(buf, 0xEE, sizeof(buf));
        mcu->set_reply_delay_ms(450);
        EXPECT_EQ(uart.eeprom_r(1, buf, 5), 0);
        EXPECT_EQ(mcutest::hex(Bytes(buf, buf + 8)), "EE EE EE EE EE EE EE EE ");
        EXPECT_TRUE(vsim::wait_until([] { return uart.eeprom_size() == 5; }, 2000));

        // The MAC round trip: written at offset 0, read back as text.
        mcu->set_reply_delay_ms(0);
        EXPECT_EQ(uart.mac_w("0A:1B:2C:3D:4E:5F"), 13);
        ASSERT_TRUE(mcu->wait_frame(145, 2000));
        char mac[MCU_MAC_TEXT];
        EXPECT_EQ(uart.mac_r(mac, sizeof(mac)), 17);
        EXPECT_STREQ(mac, "0A:1B:2C:3D:4E:5F");
        EXPECT_EQ(uart.mac_r(mac, 17), 0);

        // Without the marker the block is absent and the text stays as it was.
        mcu->set_eeprom(0, {0xFF});
        strcpy(mac, "untouched");
        EXPECT_EQ(uart.mac_r(mac, sizeof(mac)), 0);
        EXPECT_STREQ(mac, "untouched");

        // A reply of another length is no answer.
        mcu->set_silent(true);
        size_t asked = mcu->received_count(-1);
        std::thread late([&] {
            mcu->wait_frame(144, 2000, nullptr, asked);
            mcu->send_event(144, {1, 2, 3});
        });
        EXPECT_EQ(uart.eeprom_r(0, buf, 7), 0);
        late.join();
        EXPECT_EQ(uart.eeprom_size(), 3);
    });
}

// One EEPROM transaction at a time: the second request goes out only once the first
// has its answer.
TEST(sys_uart, EepromReadsOneAtATime)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        std::unique_ptr<McuEmu> mcu;
        start_link(sb, &mcu, false);
        mcu->set_eeprom(0, {1, 2, 3, 4, 5, 6, 7, 8});
        mcu->set_reply_delay_ms(150);
        size_t from = mcu->frames().size();
        uint8_t a[3], b[4];
        int ra = -1, rb = -1;
        std::thread ta([&] { ra = uart.eeprom_r(0, a, 3); });
        std::thread tb([&] { rb = uart.eeprom_r(4, b, 4); });
        ta.join();
        tb.join();
        EXPECT_EQ(ra, 3);
        EXPECT_EQ(rb, 4);
        EXPECT_EQ(mcutest::hex(Bytes(a, a + 3)), "01 02 03 ");
        EXPECT_EQ(mcutest::hex(Bytes(b, b + 4)), "05 06 07 08 ");
        // Line order: request, its answer, request, its answer.
        std::vector<McuFrame> all = mcu->frames();
        std::vector<std::pair<bool, size_t>> seen;
        for (size_t i = from; i < all.size(); i++)
            if (all[i].code == 144)
                seen.emplace_back(all[i].to_mcu, all[i].to_mcu ? all[i].payload.at(1) : all[i].payload.size());
        ASSERT_EQ(seen.size(), 4u);
        EXPECT_TRUE(seen[0].first);
        EXPECT_FALSE(seen[1].first);
        EXPECT_EQ(seen[1].second, seen[0].second);
        EXPECT_TRUE(seen[2].first);
        EXPECT_FALSE(seen[3].first);
        EXPECT_EQ(seen[3].second, seen[2].second);
    });
}

// What the reader thread keeps from the MCU's reports.
TEST(sys_uart, ReaderKeepsLinkState)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        std::unique_ptr<McuEmu> mcu;
        sys_mode = SYS_NORMAL;
        mcu.reset(new McuEmu(sb.serial(kPort), kPort, false));
        mcu->set_kind(SYS_MCU_EAUD);
        mcu->set_version(2, 3, 4);
        EXPECT_EQ(uart.mcu_state(), 0);
        ASSERT_EQ(uart.start(), 0);
        ASSERT_TRUE(vsim::wait_until([] { return __atomic_load_n(&sys_mcu, __ATOMIC_ACQUIRE) == SYS_MCU_EAUD; }, 3000));
        EXPECT_EQ(uart.mcu_state(), 2);
        EXPECT_EQ(mcu->received_count(139), 1u);

        EXPECT_EQ(uart.i2s_sr(), 8);
        mcu->send_i2s_rate(5);
        EXPECT_TRUE(vsim::wait_until([] { return uart.i2s_sr() == 5; }, 2000));

        EXPECT_EQ(__atomic_load_n(&sys_mcu_v, __ATOMIC_ACQUIRE), 0);
        EXPECT_TRUE(mcutest::advance_until(sb, [&] { return sb.mode("/var/etc/mcu") == 0777; }));
        EXPECT_EQ(__atomic_load_n(&sys_mcu_v, __ATOMIC_ACQUIRE), 234);
        EXPECT_EQ(sb.read("/var/etc/mcu"), "2.3.4");
        EXPECT_EQ(sb.mode("/var/etc/mcu"), 0777);
        EXPECT_EQ(mcu->received_count(139), 1u);
    });
}

// The restart report brings back the RS485 settings last given, mode first.
TEST(sys_uart, RestartRestoresRs485Settings)
{
    struct {
        bool w350;
        bool set;
        Bytes mode, line;
        int64_t gap_us;
    } cases[] = {
        {false, false, {1}, {0, 3}, 40000},
        {false, true, {0}, {2, 6}, 40000},
        {true, false, {1}, {0, 3}, 100000},
        {true, true, {0}, {2, 6}, 100000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.w350 ? "w350" : "standard") + (c.set ? " set" : " defaults"));
        vsim_run(vsim::Options(), [&](vsim::Sandbox& sb) {
            std::unique_ptr<McuEmu> mcu;
            start_link(sb, &mcu, c.w350);
            if (c.set) {
                uart.uart_m(0);
                uart.uart_c(2, 6);
                ASSERT_TRUE(mcu->wait_frame(129, 2000));
            }
            McuFrame m, l;
            EXPECT_GE(mcutest::widest_restart_gap(*mcu, 3, &m, &l), c.gap_us);
            EXPECT_EQ(m.payload, c.mode);
            EXPECT_EQ(l.payload, c.line);
            EXPECT_EQ(mcu->outputs().rs485_m, c.mode[0]);
            EXPECT_EQ(mcu->outputs().rs485_br, c.line[1]);
            EXPECT_EQ(uart.mcu_state(), 2);
        });
    }
}

// Input that no frame of this link can be: dropped without overrun, and the next
// good frame is decoded. An EEPROM reply of a known size marks each step.
TEST(sys_uart, StandardDecoderSurvivesBadInput)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        std::unique_ptr<McuEmu> mcu;
        start_link(sb, &mcu, false);
        auto with_length = [](int length, int code, size_t payload) {
            Bytes f = McuEmu::frame(0xA7, code, Bytes(payload, 0x5A));
            f[1] = uint8_t(length & 0xFF);
            f[2] = uint8_t(length >> 8);
            uint8_t x = 0;
            for (size_t i = 0; i + 1 < f.size(); i++)
                x ^= f[i];
            f.back() = x;
            return f;
        };
        struct {
            const char* name;
            Bytes bytes;
        } cases[] = {
            {"length 0", with_length(0, 2, 0)},
            {"length 4", with_length(4, 2, 0)},
            {"length above the frame buffer", McuEmu::frame(0xA7, 128, Bytes(124, 1))},
            {"length 0xFFFF", with_length(0xFFFF, 2, 10)},
            {"EEPROM reply beyond its buffer", McuEmu::frame(0xA7, 144, Bytes(300, 7))},
            {"bad check byte", [] { Bytes b = McuEmu::frame(0xA7, 144, {1}); b.back() ^= 0x80; return b; }()},
            {"garbage before a frame", [] { Bytes b = {0x00}; Bytes f = McuEmu::frame(0xA7, 144, {1}); b.insert(b.end(), f.begin(), f.end()); return b; }()},
        };
        // A probe that shares a chunk with the bad bytes is discarded with them, so it
        // is repeated until one arrives on its own.
        auto probe = [&](int size) {
            for (int i = 0; i < 5; i++) {
                mcu->send_event(144, Bytes(size_t(size), 0x33));
                if (vsim::wait_until([&] { return uart.eeprom_size() == size; }, 600))
                    return true;
            }
            return false;
        };
        int mark = 10;
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            mcu->send_raw(c.bytes);
            ASSERT_TRUE(mcu->wait_sent(2000));
            EXPECT_TRUE(probe(mark));
            EXPECT_EQ(uart.mcu_state(), 2);
            mark++;
        }
        // The largest frame the buffer holds is taken.
        EXPECT_TRUE(probe(123));
    });
}
