// The MCU's reports through the real daemon to the bus applications that listen for
// them: every event to its path with its keys in order, the alarm-input destinations,
// the restart, the keypad table, and input that must be ignored safely.
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "BusPeer.h"
#include "McuTest.h"
#include "dmsg.h"
#include "vsim_test.h"

using mcutest::Bytes;
using mcutest::Fields;
using vsim::BusMessage;
using vsim::BusPeer;
using vsim::McuEmu;
using vsim::McuFrame;

namespace {

const int kUi = 9801, kSecurity = 9830, kExApp = 9850;

void boot(vsim::Sandbox& sb, bool w350, std::unique_ptr<McuEmu>* mcu)
{
    if (w350)
        mcutest::make_door_station(sb);
    mcu->reset(new McuEmu(sb.serial("/dev/ttyS3"), "/dev/ttyS3", w350));
    ASSERT_GT(sb.start_daemon(), 0);
    // Connected: the standard variant asks for the kind, the w350 one answers a heartbeat.
    if (w350)
        ASSERT_TRUE((*mcu)->wait_frame(176, 10000));
    else
        ASSERT_TRUE((*mcu)->wait_frame(139, 10000));
}

struct Event {
    const char* name;
    std::function<bool(McuEmu&)> send;
    int port;
    const char* path;
    Fields fields;
};

// Sends each event and checks the one message it posts, keys in order.
void expect_events(McuEmu& mcu, std::map<int, BusPeer*>& peers, const std::vector<Event>& events)
{
    for (const Event& e : events) {
        SCOPED_TRACE(e.name);
        BusPeer& peer = *peers.at(e.port);
        size_t from = peer.messages().size();
        ASSERT_TRUE(e.send(mcu));
        BusMessage m;
        ASSERT_TRUE(peer.wait(e.path, &m, 3000, from));
        EXPECT_EQ(m.method, "POST");
        EXPECT_EQ(mcutest::fields(m.body), e.fields) << m.body;
        EXPECT_EQ(peer.messages().size(), from + 1);
    }
}

}  // namespace

TEST(McuEvent, StandardEvents)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        BusPeer ui(kUi), security(kSecurity);
        ASSERT_TRUE(ui.ok() && security.ok());
        std::map<int, BusPeer*> peers = {{kUi, &ui}, {kSecurity, &security}};
        std::unique_ptr<McuEmu> mcu;
        boot(sb, false, &mcu);
        std::vector<Event> events = {
            {"key frame as written", [](McuEmu& m) { return m.send_raw({0xA7, 0x07, 0x00, 0x02, 0x05, 0x01, 0xA6}); },
             kUi, "/ui/key/mcu", {{"key", "5"}, {"onoff", "1"}}},
            {"key released", [](McuEmu& m) { return m.release_key(5); }, kUi, "/ui/key/mcu",
             {{"key", "5"}, {"onoff", "0"}}},
            {"key 255", [](McuEmu& m) { return m.press_key(255); }, kUi, "/ui/key/mcu",
             {{"key", "255"}, {"onoff", "1"}}},
            {"adc", [](McuEmu& m) { return m.send_adc(0x1234); }, kUi, "/ui/mcu/adc", {{"data", "4660"}}},
            {"adc unsigned", [](McuEmu& m) { return m.send_adc(0xFFFF); }, kUi, "/ui/mcu/adc", {{"data", "65535"}}},
            {"extended input", [](McuEmu& m) { return m.send_eio(3, 200); }, kUi, "/ui/mcu/eio",
             {{"io", "3"}, {"data", "200"}}},
            {"four inputs", [](McuEmu& m) { return m.set_inputs({0, 1, 16, 2}); }, kSecurity, "/security/io",
             {{"mcu", "1"}, {"io0", "0"}, {"io1", "1"}, {"io2", "16"}, {"io3", "2"}}},
            {"eight inputs", [](McuEmu& m) { return m.set_inputs({1, 1, 1, 1, 0, 0, 0, 255}); }, kSecurity,
             "/security/io",
             {{"mcu", "1"}, {"io0", "1"}, {"io1", "1"}, {"io2", "1"}, {"io3", "1"}, {"io4", "0"},
              {"io5", "0"}, {"io6", "0"}, {"io7", "255"}}},
        };
        expect_events(*mcu, peers, events);
        EXPECT_TRUE(sb.wait_stdout("sys_mcu: 0\n", 1000));
    });
}

TEST(McuEvent, DoorStationEvents)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        BusPeer ui(kUi);
        ASSERT_TRUE(ui.ok());
        std::map<int, BusPeer*> peers = {{kUi, &ui}};
        std::unique_ptr<McuEmu> mcu;
        boot(sb, true, &mcu);
        std::vector<Event> events = {
            {"exit button", [](McuEmu& m) { return m.press_exit(1); }, kUi, "/ui/w350/btn",
             {{"btn", "0"}, {"data", "1"}}},
            {"door sensor", [](McuEmu& m) { return m.send_sensor(0); }, kUi, "/ui/w350/btn",
             {{"btn", "1"}, {"data", "0"}}},
            {"emergency call", [](McuEmu& m) { return m.press_ecall(1); }, kUi, "/ui/w350/btn",
             {{"btn", "2"}, {"data", "1"}}},
            {"call key", [](McuEmu& m) { return m.press_call(3); }, kUi, "/ui/w350/keyCall", {{"data", "3"}}},
            {"analogue key", [](McuEmu& m) { return m.press_akey(2, 1); }, kUi, "/ui/w350/ekey",
             {{"io", "2"}, {"data", "1"}}},
            {"adc", [](McuEmu& m) { return m.send_adc(1023); }, kUi, "/ui/w350/adc", {{"data", "1023"}}},
            {"adc unsigned", [](McuEmu& m) { return m.send_adc(40000); }, kUi, "/ui/w350/adc", {{"data", "40000"}}},
            {"extended input", [](McuEmu& m) { return m.send_eio(1, 0); }, kUi, "/ui/w350/eio",
             {{"io", "1"}, {"data", "0"}}},
        };
        expect_events(*mcu, peers, events);

        size_t from = ui.messages().size();
        ASSERT_TRUE(mcu->send_ir_detect());
        BusMessage m;
        ASSERT_TRUE(ui.wait("/ui/ir/detect", &m, 3000, from));
        EXPECT_TRUE(m.has_body);
        EXPECT_EQ(m.body, "");
        EXPECT_TRUE(sb.wait_stderr("ir detect.......\n", 2000));
    });
}

// The keypad: the index is the position in "ABCD147*2580369#".
TEST(McuEvent, DoorStationKeyTable)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        BusPeer ui(kUi);
        ASSERT_TRUE(ui.ok());
        std::unique_ptr<McuEmu> mcu;
        boot(sb, true, &mcu);
        const char table[] = "ABCD147*2580369#";
        for (int i = 0; i < 16; i++) {
            SCOPED_TRACE(i);
            size_t from = ui.messages().size();
            ASSERT_TRUE(mcu->press_key(i));
            BusMessage m;
            ASSERT_TRUE(ui.wait("/ui/w350/key", &m, 3000, from));
            EXPECT_EQ(mcutest::fields(m.body), Fields({{"data", std::string(1, table[i])}}));
        }
    });
}

// The alarm inputs go to the centre's user interface, the external-IO application or
// the security application, in that order of precedence.
TEST(McuEvent, AlarmInputDestination)
{
    struct {
        const char* name;
        bool qding, eio;
        int port;
        const char* path;
    } rows[] = {
        {"plain", false, false, kSecurity, "/security/io"},
        {"external IO", false, true, kExApp, "/exApp/io"},
        {"qding", true, false, kUi, "/ui/security/io"},
        {"qding and external IO", true, true, kUi, "/ui/security/io"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        vsim_run(vsim::Options(), [&](vsim::Sandbox& sb) {
            if (r.qding)
                sb.write("/vesko/bin/special.xml", "<sys><qding>1</qding></sys>\n");
            if (r.eio)
                sb.write("/vesko/bin/eMode.xml", "<sys><io>1</io></sys>\n");
            BusPeer ui(kUi), security(kSecurity), exapp(kExApp);
            ASSERT_TRUE(ui.ok() && security.ok() && exapp.ok());
            std::unique_ptr<McuEmu> mcu;
            boot(sb, false, &mcu);
            ASSERT_TRUE(mcu->set_inputs({1, 0}));
            std::map<int, BusPeer*> peers = {{kUi, &ui}, {kSecurity, &security}, {kExApp, &exapp}};
            BusMessage m;
            ASSERT_TRUE(peers[r.port]->wait(r.path, &m, 3000));
            EXPECT_EQ(mcutest::fields(m.body), Fields({{"mcu", "1"}, {"io0", "1"}, {"io1", "0"}}));
            // Only there: the other endpoints saw no input message.
            for (auto& p : peers)
                for (const BusMessage& other : p.second->messages())
                    EXPECT_TRUE(other.path == r.path) << other.path;
        });
    }
}

// A restart report: the message, then the stored RS485 mode and, after the variant's
// pause, the line settings.
TEST(McuEvent, RestartResendsRs485Settings)
{
    struct {
        bool w350;
        int64_t gap_us;
    } rows[] = {{false, 40000}, {true, 100000}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.w350 ? "w350" : "standard");
        vsim_run(vsim::Options(), [&](vsim::Sandbox& sb) {
            std::unique_ptr<McuEmu> mcu;
            boot(sb, r.w350, &mcu);
            McuFrame mode, line;
            EXPECT_GE(mcutest::widest_restart_gap(*mcu, 3, &mode, &line), r.gap_us);
            uint8_t sync = r.w350 ? 0xA5 : 0xA7;
            EXPECT_EQ(mcutest::hex(mode.raw), mcutest::hex(McuEmu::frame(sync, 130, {1})));
            EXPECT_EQ(mcutest::hex(line.raw), mcutest::hex(McuEmu::frame(sync, 129, {0, 3})));
            EXPECT_TRUE(vsim::wait_until(
                [&] { return mcutest::count_text(sb.daemon_stderr(), "MCU system reboot.......\n") == 3; }, 2000));
            vsim::McuOutputs o = mcu->outputs();
            EXPECT_EQ(o.rs485_m, 1);
            EXPECT_EQ(o.rs485_pb, 0);
            EXPECT_EQ(o.rs485_br, 3);
        });
    }
}

// Frames too short for their code, key indexes beyond the keypad, codes whose work
// belongs to devices not on this link, and lengths no buffer can hold: no message,
// no overrun, and the next key still arrives.
TEST(McuEvent, DoorStationBadInput)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        BusPeer ui(kUi);
        ASSERT_TRUE(ui.ok());
        std::unique_ptr<McuEmu> mcu;
        boot(sb, true, &mcu);

        auto probe = [&](int index, const char* key) {
            for (int i = 0; i < 5; i++) {
                size_t from = ui.messages().size();
                mcu->press_key(index);
                BusMessage m;
                if (ui.wait("/ui/w350/key", &m, 800, from))
                    return mcutest::fields(m.body) == Fields({{"data", key}});
            }
            return false;
        };
        struct {
            const char* name;
            int code;
            Bytes payload;
        } frames[] = {
            {"key index 16", 3, {16}},       {"key index 255", 3, {255}},   {"key without index", 3, {}},
            {"exit without value", 4, {}},   {"sensor without value", 5, {}}, {"call without value", 9, {}},
            {"analogue key short", 66, {1}}, {"emergency short", 80, {}},   {"adc short", 83, {1}},
            {"input short", 84, {1}},        {"version short", 177, {1, 2}}, {"IR reading", 87, {1, 0}},
            {"RS485 bytes", 128, {1, 2, 3}}, {"LCD", 81, {1}},             {"EEPROM reply", 144, {1, 2}},
        };
        for (const auto& f : frames) {
            SCOPED_TRACE(f.name);
            ASSERT_TRUE(mcu->send_event(f.code, f.payload));
            EXPECT_TRUE(probe(11, "0"));
        }
        // A frame longer than the decoder's 2048 bytes, and one shorter than a header.
        Bytes huge = McuEmu::frame(0xA5, 128, Bytes(2044, 0x11));
        ASSERT_EQ(huge.size(), 2049u);
        mcu->send_raw(huge);
        EXPECT_TRUE(probe(15, "#"));
        Bytes tiny = McuEmu::frame(0xA5, 3, {});
        tiny[1] = 3;
        mcu->send_raw(tiny);
        EXPECT_TRUE(probe(0, "A"));

        // Every message the daemon posted was a probe's key.
        for (const BusMessage& m : ui.messages())
            EXPECT_EQ(m.path, "/ui/w350/key");
        EXPECT_FALSE(sb.exists("/var/etc/mcu"));

        // A Wiegand card of any length is traced whole.
        Bytes card(20);
        for (size_t i = 0; i < card.size(); i++)
            card[i] = uint8_t(0xF0 + i);
        ASSERT_TRUE(mcu->send_card(card));
        std::string line = "wiegand input raw data[20]: ";
        for (uint8_t b : card)
            line += mcutest::hex({b});
        EXPECT_TRUE(sb.wait_stderr(line + "\n", 3000)) << sb.daemon_stderr();
        ASSERT_TRUE(mcu->send_card({0x12, 0x34, 0x56}));
        EXPECT_TRUE(sb.wait_stderr("wiegand input raw data[3]: 12 34 56 \n", 3000));
        EXPECT_TRUE(probe(4, "1"));
        EXPECT_TRUE(sb.daemon_running());
    });
}

TEST(McuEvent, StandardBadInput)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        BusPeer ui(kUi), security(kSecurity);
        ASSERT_TRUE(ui.ok() && security.ok());
        std::unique_ptr<McuEmu> mcu;
        boot(sb, false, &mcu);

        auto probe = [&](int key) {
            for (int i = 0; i < 5; i++) {
                size_t from = ui.messages().size();
                mcu->press_key(key);
                BusMessage m;
                if (ui.wait("/ui/key/mcu", &m, 800, from))
                    return mcutest::fields(m.body) == Fields({{"key", std::to_string(key)}, {"onoff", "1"}});
            }
            return false;
        };
        struct {
            const char* name;
            int code;
            Bytes payload;
        } frames[] = {
            {"key without state", 2, {5}}, {"key empty", 2, {}},         {"adc short", 49, {1}},
            {"input short", 50, {7}},       {"kind empty", 139, {}},     {"version short", 177, {1, 2}},
            {"rate empty", 112, {}},        {"interrupt", 113, {}},      {"RS485 bytes", 128, {1, 2}},
            {"restart request", 161, {}},   {"I2S reset", 114, {}},
        };
        for (const auto& f : frames) {
            SCOPED_TRACE(f.name);
            ASSERT_TRUE(mcu->send_event(f.code, f.payload));
            EXPECT_TRUE(probe(9));
        }
        // Longer than the 128-byte frame buffer, among them an EEPROM reply of 300 bytes.
        mcu->send_raw(McuEmu::frame(0xA7, 144, Bytes(300, 0x22)));
        EXPECT_TRUE(probe(10));
        mcu->send_raw(McuEmu::frame(0xA7, 128, Bytes(124, 0x22)));
        EXPECT_TRUE(probe(11));

        for (const BusMessage& m : ui.messages())
            EXPECT_EQ(m.path, "/ui/key/mcu");
        EXPECT_TRUE(security.messages().empty());
        EXPECT_FALSE(sb.exists("/var/etc/mcu"));
        EXPECT_EQ(mcutest::count_text(sb.daemon_stdout(), "sys_mcu:"), 1u);
        EXPECT_EQ(mcutest::count_text(sb.daemon_stderr(), "MCU system reboot"), 0u);
        EXPECT_TRUE(sb.daemon_running());
    });
}

// Settings given over the bus are what a later restart brings back.
TEST(McuEvent, RestartResendsSettingsGivenOverTheBus)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        std::unique_ptr<McuEmu> mcu;
        boot(sb, false, &mcu);
        size_t from = mcu->received_count(-1);
        dmsg setup;
        EXPECT_EQ(setup.request("/control/vt_uart/setup",
                                "<params><parity>2</parity><speed>6</speed><mode>0</mode></params>"),
                  200);
        ASSERT_TRUE(mcu->wait_frame(129, 3000, nullptr, from));
        from = mcu->received_count(-1);
        ASSERT_TRUE(mcu->reboot());
        McuFrame mode, line;
        ASSERT_TRUE(mcu->wait_frame(130, 3000, &mode, from));
        ASSERT_TRUE(mcu->wait_frame(129, 3000, &line, from));
        EXPECT_EQ(mode.payload, Bytes({0}));
        EXPECT_EQ(line.payload, Bytes({2, 6}));
        vsim::McuOutputs o = mcu->outputs();
        EXPECT_EQ(o.rs485_m, 0);
        EXPECT_EQ(o.rs485_pb, 2);
        EXPECT_EQ(o.rs485_br, 6);
    });
}
