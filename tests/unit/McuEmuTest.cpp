// The MCU emulator on its own: a test plays the daemon on the slave side of the pty.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "McuTest.h"
#include "vsim_test.h"

using mcutest::Bytes;
using vsim::McuEmu;
using vsim::McuFrame;

namespace {

const char kPort[] = "/dev/ttyS3";

int open_port(speed_t speed)
{
    int fd = open(kPort, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios t{};
    t.c_cflag = CS8 | CREAD | CLOCAL;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// Reads exactly n bytes, or what came within timeout_ms.
Bytes read_n(int fd, size_t n, int timeout_ms = 2000)
{
    Bytes out;
    while (out.size() < n) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            break;
        uint8_t buf[256];
        ssize_t got = read(fd, buf, std::min(sizeof(buf), n - out.size()));
        if (got <= 0)
            break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

bool nothing_within(int fd, int ms)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) == 0;
}

void put(int fd, const Bytes& b)
{
    ASSERT_EQ(write(fd, b.data(), b.size()), ssize_t(b.size()));
}

}  // namespace

TEST(McuEmu, FramesAndNames)
{
    EXPECT_EQ(McuEmu::frame(0xA7, 0xB0, {}), Bytes({0xA7, 0x05, 0x00, 0xB0, 0x12}));
    EXPECT_EQ(McuEmu::frame(0xA5, 0xB0, {}), Bytes({0xA5, 0x05, 0x00, 0xB0, 0x10}));
    EXPECT_EQ(McuEmu::frame(0xA7, 3, {2, 1}), Bytes({0xA7, 0x07, 0x00, 0x03, 0x02, 0x01, 0xA0}));
    Bytes big(300, 0x55);
    Bytes f = McuEmu::frame(0xA7, 128, big);
    ASSERT_EQ(f.size(), 305u);
    EXPECT_EQ(f[1], 305 & 0xFF);
    EXPECT_EQ(f[2], 305 >> 8);

    struct {
        bool w350;
        int code;
        const char* name;
    } names[] = {
        {false, 1, "MCU_IO"},       {false, 139, "MCU_SYS"},     {false, 160, "MCU_BOOT"},
        {false, 176, "MCU_HEART"},  {false, 6, "?"},             {true, 1, "MCU_D_BOOT"},
        {true, 6, "MCU_D_LOCK"},    {true, 65, "MCU_D_RGB"},     {true, 87, "MCU_D_IR2"},
        {true, 97, "MCU_D_ETH"},    {true, 177, "MCU_D_VERSION"}, {true, 139, "?"},
    };
    for (const auto& n : names)
        EXPECT_STREQ(McuEmu::code_name(n.w350, n.code), n.name) << n.w350 << " " << n.code;

    EXPECT_STREQ(McuEmu::port_for_cpu(3), "/dev/ttyS3");
    EXPECT_STREQ(McuEmu::port_for_cpu(601), "/dev/ttyS2");
    EXPECT_STREQ(McuEmu::port_for_cpu(3568), "/dev/ttyS7");
    EXPECT_STREQ(McuEmu::port_for_cpu(3588), "/dev/ttyS5");
}

// The firmware answers every request the daemon makes of it, in its own variant.
TEST(McuEmu, AnswersStandardRequests)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        McuEmu mcu(sb.serial(kPort), kPort, false);
        int fd = open_port(B38400);
        ASSERT_GE(fd, 0);
        mcu.set_version(4, 5, 6);
        mcu.set_kind(2);
        mcu.set_eeprom(0, {0x6D, 1, 2, 3, 4, 5, 6});

        struct {
            int code;
            Bytes payload;
            Bytes answer;
        } cases[] = {
            {176, {}, McuEmu::frame(0xA7, 176, {})},
            {177, {}, McuEmu::frame(0xA7, 177, {4, 5, 6})},
            {139, {}, McuEmu::frame(0xA7, 139, {2})},
            {144, {0, 7}, McuEmu::frame(0xA7, 144, {0x6D, 1, 2, 3, 4, 5, 6})},
            {144, {2, 3}, McuEmu::frame(0xA7, 144, {2, 3, 4})},
            {144, {100, 2}, McuEmu::frame(0xA7, 144, {0xFF, 0xFF})},
        };
        for (const auto& c : cases) {
            put(fd, McuEmu::frame(0xA7, c.code, c.payload));
            EXPECT_EQ(read_n(fd, c.answer.size()), c.answer) << c.code;
        }

        // EEPROM writes land, and the kept inputs answer an input request.
        put(fd, McuEmu::frame(0xA7, 145, {10, 0xAA, 0xBB}));
        put(fd, McuEmu::frame(0xA7, 144, {10, 2}));
        EXPECT_EQ(read_n(fd, 7), McuEmu::frame(0xA7, 144, {0xAA, 0xBB}));
        EXPECT_TRUE(mcu.set_inputs({0, 1, 0}));
        EXPECT_EQ(read_n(fd, 8), McuEmu::frame(0xA7, 1, {0, 1, 0}));
        put(fd, McuEmu::frame(0xA7, 1, {}));
        EXPECT_EQ(read_n(fd, 8), McuEmu::frame(0xA7, 1, {0, 1, 0}));

        // Outputs and RS485 settings follow the commands.
        put(fd, McuEmu::frame(0xA7, 3, {2, 1}));
        put(fd, McuEmu::frame(0xA7, 129, {1, 7}));
        put(fd, McuEmu::frame(0xA7, 130, {0}));
        put(fd, McuEmu::frame(0xA7, 128, {9, 8, 7}));
        ASSERT_TRUE(mcu.wait_frame(128, 2000));
        vsim::McuOutputs o = mcu.outputs();
        EXPECT_EQ(o.led[2], 1);
        EXPECT_EQ(o.rs485_pb, 1);
        EXPECT_EQ(o.rs485_br, 7);
        EXPECT_EQ(o.rs485_m, 0);
        EXPECT_EQ(mcu.rs485(), Bytes({9, 8, 7}));
        EXPECT_EQ(mcu.garbage(), 0u);

        // A restart forgets the RS485 settings and says so.
        EXPECT_TRUE(mcu.reboot());
        EXPECT_EQ(read_n(fd, 5), McuEmu::frame(0xA7, 160, {}));
        EXPECT_EQ(mcu.outputs().rs485_m, -1);
        close(fd);
    });
}

TEST(McuEmu, DoorStationVariant)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        McuEmu mcu(sb.serial(kPort), kPort, true);
        int fd = open_port(B115200);
        ASSERT_GE(fd, 0);
        put(fd, McuEmu::frame(0xA5, 176, {}));
        EXPECT_EQ(read_n(fd, 5), Bytes({0xA5, 0x05, 0x00, 0xB0, 0x10}));

        // Standard-variant frames and the EEPROM are not this firmware's.
        put(fd, McuEmu::frame(0xA7, 176, {}));
        put(fd, McuEmu::frame(0xA5, 144, {0, 6}));
        put(fd, McuEmu::frame(0xA5, 6, {1}));
        ASSERT_TRUE(mcu.wait_frame(6, 2000));
        EXPECT_TRUE(nothing_within(fd, 200));
        EXPECT_EQ(mcu.garbage(), 5u);
        EXPECT_EQ(mcu.outputs().lock, 1);

        EXPECT_TRUE(mcu.press_key(15));
        EXPECT_EQ(read_n(fd, 6), McuEmu::frame(0xA5, 3, {15}));
        EXPECT_TRUE(mcu.send_ir_reading(-2));
        EXPECT_EQ(read_n(fd, 7), McuEmu::frame(0xA5, 87, {0xFE, 0xFF}));
        EXPECT_FALSE(mcu.set_inputs({1}));
        EXPECT_FALSE(mcu.release_key(1));
        EXPECT_FALSE(mcu.send_ex_int());
        close(fd);
    });
}

// Silence, late answers, split frames, garbage and bad check bytes.
TEST(McuEmu, LineMisbehaviour)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        McuEmu mcu(sb.serial(kPort), kPort, false);
        int fd = open_port(B38400);
        ASSERT_GE(fd, 0);

        mcu.set_silent(true);
        put(fd, McuEmu::frame(0xA7, 176, {}));
        ASSERT_TRUE(mcu.wait_frame(176, 2000));
        EXPECT_TRUE(nothing_within(fd, 300));
        mcu.set_silent(false);

        mcu.set_reply_delay_ms(300);
        put(fd, McuEmu::frame(0xA7, 177, {}));
        EXPECT_EQ(read_n(fd, 8), McuEmu::frame(0xA7, 177, {1, 2, 3}));
        std::vector<McuFrame> all = mcu.frames();
        ASSERT_GE(all.size(), 2u);
        const McuFrame& asked = all[all.size() - 2];
        const McuFrame& told = all.back();
        EXPECT_TRUE(asked.to_mcu);
        EXPECT_FALSE(told.to_mcu);
        EXPECT_GE(told.t_us - asked.t_us, 300000);
        mcu.set_reply_delay_ms(0);

        mcu.set_split(2);
        EXPECT_TRUE(mcu.send_adc(0x1234));
        EXPECT_EQ(read_n(fd, 7), McuEmu::frame(0xA7, 49, {0x34, 0x12}));
        mcu.set_split(0);

        EXPECT_TRUE(mcu.send_raw({0x01, 0x02, 0xA7}));
        EXPECT_EQ(read_n(fd, 3), Bytes({0x01, 0x02, 0xA7}));

        mcu.clear();
        Bytes bad = McuEmu::frame(0xA7, 177, {});
        bad.back() ^= 1;
        put(fd, Bytes{0x00, 0x42});
        put(fd, bad);
        put(fd, McuEmu::frame(0xA7, 139, {}));
        ASSERT_TRUE(mcu.wait_frame(139, 2000));
        std::vector<McuFrame> got = mcu.received();
        ASSERT_EQ(got.size(), 2u);
        EXPECT_FALSE(got[0].valid);
        EXPECT_TRUE(got[1].valid);
        EXPECT_EQ(mcu.garbage(), 2u);
        // Only the good request is answered.
        EXPECT_EQ(read_n(fd, 6), McuEmu::frame(0xA7, 139, {0}));
        EXPECT_TRUE(nothing_within(fd, 200));
        close(fd);
    });
}

TEST(McuEmu, LineSettingsAndTrace)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        McuEmu mcu(sb.serial(kPort), kPort, false);
        std::atomic<int> to_mcu(0), from_mcu(0);
        mcu.set_frame_callback([&](const McuFrame& f) { (f.to_mcu ? to_mcu : from_mcu)++; });

        int fd = open_port(B115200);
        ASSERT_GE(fd, 0);
        vsim::McuLine l = mcu.line();
        EXPECT_TRUE(l.ok);
        EXPECT_EQ(l.speed, 115200);
        EXPECT_TRUE(l.raw);
        EXPECT_TRUE(l.cs8);
        EXPECT_FALSE(l.parity);
        EXPECT_TRUE(l.clocal);
        put(fd, McuEmu::frame(0xA7, 176, {}));
        EXPECT_EQ(read_n(fd, 5).size(), 5u);
        EXPECT_TRUE(vsim::wait_until([&]() { return to_mcu == 1 && from_mcu == 1; }, 2000));

        termios t;
        ASSERT_EQ(tcgetattr(fd, &t), 0);
        t.c_iflag |= IGNBRK;
        cfsetospeed(&t, B38400);
        cfsetispeed(&t, B38400);
        tcsetattr(fd, TCSANOW, &t);
        l = mcu.line();
        EXPECT_EQ(l.speed, 38400);
        EXPECT_FALSE(l.raw);
        close(fd);
    });
}
