// The MCU serial link of the real daemon against the MCU emulator: the port and line
// settings of each processor family, heartbeats, the EEPROM probe, the link state and
// its connect actions, the version file, the reopening of a silent port, framing and
// resynchronisation.
#include <algorithm>
#include <memory>
#include <string>

#include "BusPeer.h"
#include "McuTest.h"
#include "vsim_test.h"

using mcutest::Bytes;
using mcutest::advance_until;
using mcutest::count_text;
using vsim::McuEmu;
using vsim::McuFrame;

namespace {

const char kRk3288[] = "processor\t: 0\nHardware\t: Rockchip RK3288\n";
const char kReopen[] = "sys_uart::process not any data receive, reopen uart....\n";

// Starts the daemon with an MCU on port; setup runs before the daemon starts.
void boot(vsim::Sandbox& sb, const char* port, bool w350, std::unique_ptr<McuEmu>* mcu,
          const std::function<void(McuEmu&)>& setup = nullptr)
{
    if (w350)
        mcutest::make_door_station(sb);
    mcu->reset(new McuEmu(sb.serial(port), port, w350));
    if (setup)
        setup(**mcu);
    ASSERT_GT(sb.start_daemon(), 0);
}

vsim::Options family(const char* cpuinfo)
{
    vsim::Options o;
    o.cpuinfo = cpuinfo;
    return o;
}

}  // namespace

// The port follows the processor family, the speed the product variant; the line is
// raw, 8N1, without flow control, and the first frame is the heartbeat.
TEST(McuLink, PortAndLineSettingsPerFamily)
{
    struct {
        const char* cpuinfo;
        bool w350;
        const char* port;
        int speed;
    } rows[] = {
        {"Hardware\t: sun5i\n", false, "/dev/ttyS3", 38400},
        {"Hardware\t: sun8i\n", false, "/dev/ttyS2", 38400},
        {"Hardware\t: sun8i\n", true, "/dev/ttyS2", 115200},
        {kRk3288, false, "/dev/ttyS3", 38400},
        {kRk3288, true, "/dev/ttyS3", 115200},
        {"Hardware\t: Rockchip rk3368\n", true, "/dev/ttyS3", 115200},
        {"Hardware\t: sun50iw10p1\n", true, "/dev/ttyS5", 115200},
        {"Hardware\t: Rockchip RK3568\n", false, "/dev/ttyS7", 38400},
        {"Hardware\t: Rockchip RK3588\n", false, "/dev/ttyS5", 38400},
        {"Hardware\t: Rockchip RK3399\n", true, "/dev/ttyS5", 115200},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.cpuinfo) + (r.w350 ? " door station" : " indoor unit"));
        vsim_run(family(r.cpuinfo), [&](vsim::Sandbox& sb) {
            std::unique_ptr<McuEmu> mcu;
            boot(sb, r.port, r.w350, &mcu);
            McuFrame f;
            ASSERT_TRUE(mcu->wait_frame(-1, 15000, &f));
            EXPECT_EQ(mcutest::hex(f.raw), r.w350 ? "A5 05 00 B0 10 " : "A7 05 00 B0 12 ");
            vsim::McuLine l = mcu->line();
            EXPECT_TRUE(l.ok);
            EXPECT_EQ(l.speed, r.speed);
            EXPECT_TRUE(l.raw);
            EXPECT_TRUE(l.cs8);
            EXPECT_FALSE(l.parity);
            EXPECT_FALSE(l.two_stop);
            EXPECT_FALSE(l.rtscts);
            EXPECT_TRUE(l.clocal);
            EXPECT_TRUE(l.cread);
            EXPECT_EQ(l.vmin, 0);
            EXPECT_EQ(l.vtime, 0);
        });
    }
}

// Indoor units of the families that serve RS485 and alarm inputs themselves keep the
// link closed: nothing is ever written to the port.
TEST(McuLink, ClosedOnBoardsWithLocalIo)
{
    struct {
        const char* cpuinfo;
        const char* port;
    } rows[] = {
        {"Hardware\t: Rockchip rk3368\n", "/dev/ttyS3"},
        {"Hardware\t: sun50iw10p1\n", "/dev/ttyS5"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.cpuinfo);
        vsim_run(family(r.cpuinfo), [&](vsim::Sandbox& sb) {
            // The supervision thread starts after the devices; its first command marks that.
            sb.write("/var/etc/boot_end", "");
            std::unique_ptr<McuEmu> mcu;
            boot(sb, r.port, false, &mcu);
            ASSERT_TRUE(sb.wait_command("stop dhcpcd_eth1", 20000));
            EXPECT_FALSE(mcu->wait_frame(-1, 1500));
            sb.clock_advance(mcutest::kCycleUs);
            EXPECT_FALSE(mcu->wait_frame(-1, 1000));
            EXPECT_EQ(count_text(sb.daemon_stderr(), kReopen), 0u);
        });
    }
}

// Standard variant: the first heartbeat carries the EEPROM probe, any answer connects
// the link, which asks for the MCU's kind once; at the end of a cycle the version is
// asked for until "/var/etc/mcu" exists, and again when it goes away.
TEST(McuLink, StandardConnectAndVersion)
{
    vsim_run(family(kRk3288), [](vsim::Sandbox& sb) {
        std::unique_ptr<McuEmu> mcu;
        boot(sb, "/dev/ttyS3", false, &mcu, [](McuEmu& m) {
            m.set_version(1, 2, 3);
            m.set_kind(2);
        });
        McuFrame f;
        ASSERT_TRUE(mcu->wait_frame(139, 10000, &f));
        std::vector<McuFrame> got = mcu->received();
        ASSERT_GE(got.size(), 3u);
        EXPECT_EQ(got[0].code, 176);
        EXPECT_EQ(mcutest::hex(got[1].raw), mcutest::hex(McuEmu::frame(0xA7, 144, {0x00, 0x06})));
        EXPECT_EQ(got[2].code, 139);
        EXPECT_TRUE(f.payload.empty());
        EXPECT_TRUE(sb.wait_stdout("sys_mcu: 2\n", 3000));
        EXPECT_FALSE(sb.exists("/var/etc/mcu"));
        EXPECT_EQ(mcu->received_count(177), 0u);

        ASSERT_TRUE(advance_until(sb, [&] { return sb.mode("/var/etc/mcu") == 0777; }));
        EXPECT_EQ(sb.read("/var/etc/mcu"), "1.2.3");
        EXPECT_EQ(mcu->received_count(177), 1u);
        ASSERT_TRUE(mcu->wait_frame(177, 1000, &f));
        EXPECT_EQ(mcutest::hex(f.raw), "A7 05 00 B1 13 ");

        // Further cycles: a heartbeat each, and neither probe, kind nor version again.
        size_t beats = mcu->received_count(176);
        ASSERT_TRUE(advance_until(sb, [&] { return mcu->received_count(176) >= beats + 1; }));
        ASSERT_TRUE(advance_until(sb, [&] { return mcu->received_count(176) >= beats + 2; }));
        EXPECT_EQ(mcu->received_count(177), 1u);
        EXPECT_EQ(mcu->received_count(144), 1u);
        EXPECT_EQ(mcu->received_count(139), 1u);
        EXPECT_EQ(count_text(sb.daemon_stdout(), "sys_mcu:"), 1u);
        EXPECT_EQ(count_text(sb.daemon_stderr(), kReopen), 0u);

        ASSERT_TRUE(sb.remove("/var/etc/mcu"));
        mcu->set_version(1, 2, 4);
        ASSERT_TRUE(advance_until(sb, [&] { return sb.read("/var/etc/mcu") == "1.2.4"; }));
        EXPECT_EQ(mcu->received_count(177), 2u);
        EXPECT_TRUE(vsim::wait_until([&] { return sb.mode("/var/etc/mcu") == 0777; }, 2000));
    });
}

// w350 variant: heartbeat and version with its own sync byte, no EEPROM probe and no
// kind request.
TEST(McuLink, DoorStationConnectAndVersion)
{
    vsim_run(family(kRk3288), [](vsim::Sandbox& sb) {
        std::unique_ptr<McuEmu> mcu;
        boot(sb, "/dev/ttyS3", true, &mcu, [](McuEmu& m) { m.set_version(3, 0, 7); });
        ASSERT_TRUE(mcu->wait_frame(176, 10000));
        ASSERT_TRUE(advance_until(sb, [&] { return sb.read("/var/etc/mcu") == "3.0.7"; }));
        McuFrame f;
        ASSERT_TRUE(mcu->wait_frame(177, 1000, &f));
        EXPECT_EQ(mcutest::hex(f.raw), "A5 05 00 B1 11 ");
        EXPECT_TRUE(vsim::wait_until([&] { return sb.mode("/var/etc/mcu") == 0777; }, 2000));
        EXPECT_EQ(mcu->received_count(144), 0u);
        EXPECT_EQ(mcu->received_count(139), 0u);
        EXPECT_EQ(mcu->garbage(), 0u);
        for (const McuFrame& r : mcu->received())
            EXPECT_EQ(r.sync, 0xA5);
    });
}

// A version file left by an earlier run: the version is never asked for.
TEST(McuLink, VersionFileFromEarlierRun)
{
    vsim_run(family(kRk3288), [](vsim::Sandbox& sb) {
        sb.write("/var/etc/mcu", "9.9.9", 0777);
        std::unique_ptr<McuEmu> mcu;
        boot(sb, "/dev/ttyS3", false, &mcu);
        ASSERT_TRUE(mcu->wait_frame(139, 10000));
        size_t beats = mcu->received_count(176);
        ASSERT_TRUE(advance_until(sb, [&] { return mcu->received_count(176) >= beats + 1; }));
        ASSERT_TRUE(advance_until(sb, [&] { return mcu->received_count(176) >= beats + 2; }));
        EXPECT_EQ(mcu->received_count(177), 0u);
        EXPECT_EQ(sb.read("/var/etc/mcu"), "9.9.9");
    });
}

// While the MCU has never answered, every cycle ends with the message and a reopened
// port, and every heartbeat brings the EEPROM probe. The first answer ends that for
// good, even when the MCU falls silent later.
TEST(McuLink, SilentMcuReopensUntilItAnswers)
{
    vsim_run(family(kRk3288), [](vsim::Sandbox& sb) {
        std::unique_ptr<McuEmu> mcu;
        boot(sb, "/dev/ttyS3", false, &mcu, [](McuEmu& m) { m.set_silent(true); });
        ASSERT_TRUE(mcu->wait_frame(144, 10000));
        ASSERT_TRUE(advance_until(sb, [&] { return count_text(sb.daemon_stderr(), kReopen) == 1; }));
        ASSERT_TRUE(vsim::wait_until([&] { return mcu->received_count(144) == 2; }, 3000));
        ASSERT_TRUE(advance_until(sb, [&] { return count_text(sb.daemon_stderr(), kReopen) == 2; }));
        ASSERT_TRUE(vsim::wait_until([&] { return mcu->received_count(144) == 3; }, 3000));
        EXPECT_EQ(mcu->received_count(176), 3u);
        // The port is set up again after each reopening.
        EXPECT_EQ(mcu->line().speed, 38400);
        EXPECT_TRUE(mcu->line().raw);
        EXPECT_EQ(mcu->received_count(139), 0u);
        EXPECT_EQ(mcu->received_count(177), 0u);

        mcu->set_silent(false);
        size_t beats = mcu->received_count(176);
        ASSERT_TRUE(advance_until(sb, [&] { return mcu->received_count(139) == 1; }));
        size_t reopened = count_text(sb.daemon_stderr(), kReopen);
        EXPECT_GE(mcu->received_count(176), beats + 1);

        mcu->set_silent(true);
        beats = mcu->received_count(176);
        size_t probes = mcu->received_count(144);
        ASSERT_TRUE(advance_until(sb, [&] { return mcu->received_count(176) >= beats + 1; }));
        ASSERT_TRUE(advance_until(sb, [&] { return mcu->received_count(176) >= beats + 2; }));
        EXPECT_EQ(count_text(sb.daemon_stderr(), kReopen), reopened);
        EXPECT_EQ(mcu->received_count(144), probes);
        EXPECT_EQ(mcu->received_count(139), 1u);
    });
}

// A clock stepped back by more than ten seconds ends a cycle as well.
TEST(McuLink, ClockStepBackEndsCycle)
{
    vsim_run(family(kRk3288), [](vsim::Sandbox& sb) {
        std::unique_ptr<McuEmu> mcu;
        boot(sb, "/dev/ttyS3", false, &mcu, [](McuEmu& m) { m.set_silent(true); });
        ASSERT_TRUE(mcu->wait_frame(144, 10000));
        bool seen = false;
        for (int i = 0; i < 4 && !seen; i++) {
            sb.clock_advance(-mcutest::kCycleUs);
            seen = sb.wait_stderr(kReopen, 1500);
        }
        EXPECT_TRUE(seen);
    });
}

// Any valid frame connects, whatever its code: one the decoder has no use for, or a
// code that only the daemon sends.
TEST(McuLink, AnyValidFrameConnects)
{
    struct {
        const char* name;
        int code;
        Bytes payload;
    } rows[] = {
        {"unknown code", 0x77, {1, 2}},
        {"command-only code", 3, {2, 1}},
        {"empty heartbeat", 176, {}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        vsim_run(family(kRk3288), [&](vsim::Sandbox& sb) {
            std::unique_ptr<McuEmu> mcu;
            boot(sb, "/dev/ttyS3", false, &mcu, [](McuEmu& m) { m.set_silent(true); });
            ASSERT_TRUE(mcu->wait_frame(144, 10000));
            mcu->send_event(r.code, r.payload);
            EXPECT_TRUE(mcu->wait_frame(139, 3000));
            mcu->send_event(r.code, r.payload);
            mcu->send_event(r.code, r.payload);
            ASSERT_TRUE(mcu->wait_sent(2000));
            // Connected: no reopening at the end of the cycle, the version asked for.
            ASSERT_TRUE(advance_until(sb, [&] { return mcu->received_count(177) == 1; }));
            EXPECT_EQ(mcu->received_count(139), 1u);
            EXPECT_EQ(count_text(sb.daemon_stderr(), kReopen), 0u);
        });
    }
}

// The two resynchronisation rules, seen from the keys that reach the user interface:
// a chunk that starts with anything but the sync byte is dropped whole, and so is the
// buffer behind a bad check byte; a frame split over several writes is decoded once.
TEST(McuLink, FramingAndResynchronisation)
{
    vsim_run(family(kRk3288), [](vsim::Sandbox& sb) {
        vsim::BusPeer ui(9801);
        ASSERT_TRUE(ui.ok());
        std::unique_ptr<McuEmu> mcu;
        boot(sb, "/dev/ttyS3", false, &mcu);
        ASSERT_TRUE(mcu->wait_frame(139, 10000));

        auto keys = [&]() {
            std::vector<std::string> out;
            for (const vsim::BusMessage& m : ui.messages())
                if (m.path == "/ui/key/mcu")
                    out.push_back(mcutest::fields(m.body).at(0).second);
            return out;
        };
        // A key that must arrive: repeated while a previous bad chunk may swallow it.
        auto probe = [&](int key) {
            std::string want = std::to_string(key);
            for (int i = 0; i < 5; i++) {
                mcu->press_key(key);
                if (vsim::wait_until([&] { auto k = keys(); return !k.empty() && k.back() == want; }, 800))
                    return true;
            }
            return false;
        };
        Bytes key7 = McuEmu::frame(0xA7, 2, {7, 1});
        Bytes bad = McuEmu::frame(0xA7, 2, {8, 1});
        bad.back() ^= 0x01;

        // Garbage first: the valid frame behind it in the same chunk is lost.
        Bytes chunk = {0x55, 0x00};
        chunk.insert(chunk.end(), key7.begin(), key7.end());
        mcu->send_raw(chunk);
        ASSERT_TRUE(mcu->wait_sent(2000));
        EXPECT_TRUE(probe(1));

        // A bad check byte: the frame behind it in the buffer is lost too.
        chunk = bad;
        chunk.insert(chunk.end(), key7.begin(), key7.end());
        mcu->send_raw(chunk);
        ASSERT_TRUE(mcu->wait_sent(2000));
        EXPECT_TRUE(probe(2));

        // A frame of the other variant is garbage here.
        mcu->send_frame(0xA5, 2, {7, 1});
        ASSERT_TRUE(mcu->wait_sent(2000));
        EXPECT_TRUE(probe(3));

        // Split into pieces of one and three bytes: decoded once, nothing lost.
        for (int split : {1, 3}) {
            mcu->set_split(split);
            mcu->press_key(40 + split);
            ASSERT_TRUE(mcu->wait_sent(3000));
            mcu->set_split(0);
            EXPECT_TRUE(probe(3 + split));
        }

        // Several frames in one write are worked off one after the other.
        chunk.clear();
        for (int k = 20; k < 25; k++) {
            Bytes f = McuEmu::frame(0xA7, 2, {uint8_t(k), 1});
            chunk.insert(chunk.end(), f.begin(), f.end());
        }
        mcu->send_raw(chunk);
        EXPECT_TRUE(vsim::wait_until([&] { return keys().size() >= 5 && keys().back() == "24"; }, 5000));

        std::vector<std::string> k = keys();
        for (const char* lost : {"7", "8"})
            EXPECT_EQ(std::count(k.begin(), k.end(), lost), 0) << lost;
        EXPECT_EQ(std::count(k.begin(), k.end(), "41"), 1);
        EXPECT_EQ(std::count(k.begin(), k.end(), "43"), 1);
        std::vector<std::string> tail(k.end() - 5, k.end());
        EXPECT_EQ(tail, std::vector<std::string>({"20", "21", "22", "23", "24"}));
    });
}

// A port that does not open at start: the message, and the link stays closed for
// good, without a reader thread that would try again.
TEST(McuLink, MissingPortAtStart)
{
    vsim_run(family(kRk3288), [](vsim::Sandbox& sb) {
        ASSERT_GT(sb.start_daemon(), 0);
        EXPECT_TRUE(sb.wait_stderr("sys_uart::start open /dev/ttyS3 error.\n", 15000));
        for (int i = 0; i < 2; i++) {
            sb.clock_advance(mcutest::kCycleUs);
            EXPECT_FALSE(sb.wait_stderr(kReopen, 1000));
        }
        EXPECT_EQ(count_text(sb.daemon_stderr(), "sys_uart::start open"), 1u);
        EXPECT_TRUE(sb.daemon_running());
    });
}
