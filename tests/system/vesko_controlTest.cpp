// The control handlers of the real daemon, driven over the bus from inside the
// sandbox, against the MCU and server emulators, the GPIO emulator, the platform tool
// stubs and the sandbox's clock: what each path calls with which values in which
// order, and what it answers.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ElevatorEmu.h"
#include "__q820.h"
#include "sys_uart.h"
#include "McuEmu.h"
#include "McuTest.h"
#include "ServerTest.h"
#include "dxml.h"
#include "vsim_test.h"

using mcutest::Bytes;
using vsim::McuEmu;
using vsim::McuFrame;
using namespace servertest;

namespace {

const char OK[] = "MSG/1.0 200 OK\r\n\r\n";
const char VERSION_CALL[] = "mme eth0 00:b0:52:00:00:01 version";

typedef std::vector<std::pair<std::string, int>> Lines;

struct Frame {
    int code;
    Bytes payload;
    bool operator==(const Frame& o) const { return code == o.code && payload == o.payload; }
};

std::ostream& operator<<(std::ostream& os, const Frame& f)
{
    return os << "{" << f.code << ": " << mcutest::hex(f.payload) << "}";
}

// One datagram to the daemon's endpoint and its answer, empty when none came.
std::string exchange(const std::string& datagram, int timeout_ms = 3000)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
        return "";
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(9804);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(s, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    std::string answer;
    pollfd p = {s, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) == 1) {
        std::vector<char> buf(65536);
        ssize_t n = recv(s, buf.data(), buf.size(), 0);
        if (n > 0)
            answer.assign(buf.data(), size_t(n));
    }
    close(s);
    return answer;
}

// A request with the body (null: a request without the blank line, so no body at all).
std::string post(const std::string& path, const char* body)
{
    std::string d = "POST " + path + " MSG/1.0";
    if (body)
        d += std::string("\r\n\r\n") + body;
    return exchange(d);
}

bool supervision(int code)
{
    return code == MCU_HEART || code == MCU_VERSION || code == MCU_SYS || code == MCU_EE_RD;
}

// The terminal of the server tests with an MCU on its port and the bus endpoint
// serving its handlers.
struct Terminal {
    std::unique_ptr<McuEmu> mcu;
    std::unique_ptr<vsim::ServerEmu> server;
    bool w350 = false;

    void boot(vsim::Sandbox& sb, bool door_station, const std::string& config = "")
    {
        w350 = door_station;
        if (config.empty())
            configure(sb);
        else
            ASSERT_TRUE(sb.write("/vesko/cfg/sys.xml", config));
        if (w350)
            mcutest::make_door_station(sb);
        const char* port = McuEmu::port_for_cpu(3588);
        mcu.reset(new McuEmu(sb.serial(port), port, w350));
        server.reset(new vsim::ServerEmu(sb, SERVER, TERMINAL));
        ASSERT_TRUE(server->ok());
        ASSERT_TRUE(start(sb, *server));
        ASSERT_TRUE(mcu->wait_frame(MCU_HEART, 15000));
        // A handler that only prints: its answer shows the table is in place.
        ASSERT_TRUE(vsim::wait_until([] { return post("/control/security_io/read", "") == OK; }, 10000));
    }

    // The command frames of the requests posted since from: everything the daemon wrote
    // up to the frame of a marker request, supervision frames left out. Handlers run one
    // at a time, so every frame of an earlier request comes before the marker's.
    std::vector<McuFrame> frames_since(size_t from)
    {
        Frame marker = w350 ? Frame{MCU_D_LIGHT, {9, 9}} : Frame{MCU_MEDICAL, {99, 99}};
        EXPECT_EQ(w350 ? post("/control/w350/light", "<params><index>9</index><onoff>9</onoff></params>")
                       : post("/control/medical", "<params><index>99</index><onoff>99</onoff></params>"),
                  OK);
        std::vector<McuFrame> out;
        bool found = vsim::wait_until(
            [&] {
                out.clear();
                std::vector<McuFrame> all = mcu->received();
                for (size_t i = from; i < all.size(); i++) {
                    if (Frame{all[i].code, all[i].payload} == marker)
                        return true;
                    if (!supervision(all[i].code))
                        out.push_back(all[i]);
                }
                return false;
            },
            5000);
        EXPECT_TRUE(found) << "the marker frame never came";
        return out;
    }

    // The datagrams to the server since from, heartbeats left out, up to a marker
    // (an alarm cancellation).
    std::vector<vsim::ServerDatagram> reports_since(size_t from)
    {
        EXPECT_EQ(post("/control/q820/alarm_cancel", nullptr), OK);
        std::vector<vsim::ServerDatagram> out;
        bool found = vsim::wait_until(
            [&] {
                out.clear();
                std::vector<vsim::ServerDatagram> all = server->datagrams();
                for (size_t i = from; i < all.size(); i++) {
                    if (all[i].outgoing || is_heartbeat(all[i]))
                        continue;
                    if (all[i].cmd() == Q820_CMD_ALARM_CANCEL)
                        return true;
                    out.push_back(all[i]);
                }
                return false;
            },
            5000);
        EXPECT_TRUE(found) << "the marker report never came";
        return out;
    }
};

std::vector<Frame> plain(const std::vector<McuFrame>& frames)
{
    std::vector<Frame> out;
    for (const auto& f : frames) {
        EXPECT_TRUE(f.valid);
        out.push_back(Frame{f.code, f.payload});
    }
    return out;
}

Lines lines_set(vsim::Sandbox& sb)
{
    Lines out;
    for (const auto& c : sb.gpio().calls())
        if (c.cmd == 4) {
            EXPECT_EQ(c.main, "rk");
            out.emplace_back(c.sub, c.data);
        }
    return out;
}

struct McuCase {
    const char* path;
    const char* body;
    std::vector<Frame> frames;
    Lines lines;
};

void run_cases(vsim::Sandbox& sb, Terminal& t, const std::vector<McuCase>& cases)
{
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + (c.body ? c.body : "(no body)"));
        size_t from = t.mcu->received().size();
        sb.gpio().clear();
        EXPECT_EQ(post(c.path, c.body), OK);
        EXPECT_EQ(plain(t.frames_since(from)), c.frames);
        Lines lines = lines_set(sb);
        // The marker of the door station switches no line (index 9).
        EXPECT_EQ(lines, c.lines);
    }
}

}  // namespace

TEST(ControlHandlers, McuCommandsOfTheIndoorUnit)
{
    const std::vector<McuCase> cases = {
        {"/control/power", "<params><onoff>1</onoff></params>", {{MCU_POWER, {1}}}, {}},
        {"/control/power", nullptr, {{MCU_POWER, {0}}}, {}},
        {"/control/power", "<params><onoff>513</onoff></params>", {{MCU_POWER, {1}}}, {}},
        {"/control/hooter", "<params><onoff>1</onoff></params>", {{MCU_HOOTER, {1}}}, {{"hooter", 1}}},
        {"/control/hooter", "<params><onoff>258</onoff></params>", {{MCU_HOOTER, {2}}}, {{"hooter", 258}}},
        {"/control/hooter", "", {{MCU_HOOTER, {0}}}, {{"hooter", 0}}},
        {"/control/led", "<params><led>2</led><onoff>1</onoff></params>", {{MCU_LED, {2, 1}}}, {}},
        {"/control/led", "<params><led>-1</led><onoff>1</onoff></params>", {{MCU_LED, {255, 1}}}, {}},
        {"/control/led", "<params><led>300</led><onoff>-1</onoff></params>", {{MCU_LED, {44, 255}}}, {}},
        // Not XML: the defaults.
        {"/control/led", "led=2&onoff=1", {{MCU_LED, {0, 0}}}, {}},
        {"/control/led", "<<params>", {{MCU_LED, {0, 0}}}, {}},
        {"/control/io/sync", nullptr, {{MCU_IO, {}}}, {}},
        {"/control/io/sync", "<params><x>1</x></params>", {{MCU_IO, {}}}, {}},
        {"/control/audio", "<params><mode>3</mode></params>", {{MCU_AUDIO, {3}}}, {}},
        {"/control/audio", "<params><mode>258</mode></params>", {{MCU_AUDIO, {2}}}, {}},
        {"/control/audio", nullptr, {{MCU_AUDIO, {0}}}, {}},
        {"/control/medical", "<params><index>3</index><onoff>1</onoff></params>", {{MCU_MEDICAL, {3, 1}}}, {}},
        {"/control/medical", "<params/>", {{MCU_MEDICAL, {0, 0}}}, {}},
        {"/control/vt_uart/setup", nullptr, {{MCU_RS485_M, {1}}, {MCU_RS485_C, {0, 3}}}, {}},
        {"/control/vt_uart/setup", "<params><parity>1</parity><speed>7</speed><mode>0</mode></params>",
         {{MCU_RS485_M, {0}}, {MCU_RS485_C, {1, 7}}}, {}},
        // The door-station commands have no frame in this variant; the lock line is the
        // processor's own.
        {"/control/w350/lock", "<params><index>0</index><onoff>1</onoff></params>", {}, {{"lock", 1}}},
        {"/control/w350/led", "<params><led>1</led><onoff>1</onoff></params>", {}, {}},
        {"/control/w350/usb1", "<params><onoff>1</onoff></params>", {}, {{"usb_host1", 1}}},
        // 3588 has no monitor lock line.
        {"/control/monitor/lock", "<params><onoff>1</onoff></params>", {}, {}},
        {"/control/reload", nullptr, {}, {}},
    };
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        Terminal t;
        t.boot(sb, false);
        run_cases(sb, t, cases);
    });
}

// Frames are stamped when the emulator reads them, which may be late but never early,
// and GPIO calls when the daemon makes them: a pause is bounded below by a GPIO call
// before it and a frame after it.
TEST(ControlHandlers, RelaySettingsTwentyMillisecondsApart)
{
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        Terminal t;
        t.boot(sb, false);
        size_t from = t.mcu->received().size();
        sb.gpio().clear();
        EXPECT_EQ(post("/control/w350/usb1", "<params><onoff>1</onoff></params>"), OK);
        EXPECT_EQ(post("/control/vt_uart/setup", "<params><speed>5</speed></params>"), OK);
        std::vector<McuFrame> f = t.frames_since(from);
        ASSERT_EQ(plain(f), (std::vector<Frame>{{MCU_RS485_M, {1}}, {MCU_RS485_C, {0, 5}}}));
        std::vector<vsim::GpioCall> calls = sb.gpio().calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back().sub, "usb_host1");
        EXPECT_GE(f[1].t_us - calls.back().t_us, 18000) << "the line settings wait 20 ms after the mode";
        vsim::McuOutputs o = t.mcu->outputs();
        EXPECT_EQ(o.rs485_m, 1);
        EXPECT_EQ(o.rs485_pb, 0);
        EXPECT_EQ(o.rs485_br, 5);
    });
}

TEST(ControlHandlers, DoorStationLocksLightsAndLeds)
{
    const std::vector<McuCase> cases = {
        {"/control/w350/lock", "<params><index>0</index><onoff>1</onoff></params>",
         {{MCU_D_LOCK, {1}}, {MCU_D_LOCK2, {1}}}, {{"lock", 1}}},
        {"/control/w350/lock", "<params><index>0</index><onoff>0</onoff><mute>1</mute></params>",
         {{MCU_D_LOCK, {0}}, {MCU_D_LOCK2, {0}}}, {{"lock", 0}}},
        {"/control/w350/lock", nullptr, {{MCU_D_LOCK, {0}}, {MCU_D_LOCK2, {0}}}, {{"lock", 0}}},
        {"/control/w350/lock", "<params><index>1</index><onoff>1</onoff></params>", {{MCU_D_RGB, {1}}}, {}},
        {"/control/w350/lock", "<params><index>2</index><onoff>1</onoff></params>", {{MCU_D_RGB, {5}}}, {}},
        {"/control/w350/lock", "<params><index>1</index><onoff>0</onoff><mute>1</mute></params>",
         {{MCU_D_RGB, {4}}}, {}},
        {"/control/w350/lock", "<params><index>3</index><onoff>1</onoff></params>", {}, {}},
        // The LED word is apart from the lock word: each request sends its own.
        {"/control/w350/led", "<params><led>3</led><onoff>1</onoff></params>", {{MCU_D_RGB, {8}}}, {}},
        {"/control/w350/led", "<params><led>3</led><onoff>0</onoff></params>", {{MCU_D_RGB, {0}}}, {}},
        {"/control/w350/led", "<params><led>2</led><onoff>1</onoff></params>", {{MCU_D_RGB, {4}}}, {}},
        {"/control/w350/lock", "<params><index>2</index><onoff>0</onoff></params>", {{MCU_D_RGB, {0}}}, {}},
        {"/control/w350/led", "<params><led>0</led><onoff>1</onoff></params>", {{MCU_D_RGB, {5}}}, {}},
        // LEDs beyond the low byte are kept in the word but do not reach the MCU.
        {"/control/w350/led", "<params><led>9</led><onoff>1</onoff></params>", {{MCU_D_RGB, {5}}}, {}},
        // Numbers outside the word: nothing is sent, nothing changes.
        {"/control/w350/led", "<params><led>32</led><onoff>1</onoff></params>", {}, {}},
        {"/control/w350/led", "<params><led>-1</led><onoff>0</onoff></params>", {}, {}},
        {"/control/w350/led", "<params><led>1</led><onoff>1</onoff></params>", {{MCU_D_RGB, {7}}}, {}},
        {"/control/w350/light", "<params><index>0</index><onoff>1</onoff></params>",
         {{MCU_D_LIGHT, {0, 1}}}, {{"cam_led", 1}}},
        {"/control/w350/light", "<params><index>2</index><onoff>1</onoff></params>", {{MCU_D_LIGHT, {2, 1}}}, {}},
        {"/control/w350/light", nullptr, {{MCU_D_LIGHT, {0, 0}}}, {{"cam_led", 0}}},
        {"/control/w350/usb1", "<params><onoff>1</onoff></params>", {}, {{"usb_host1", 1}}},
        // The indoor unit's commands have no frame in this variant.
        {"/control/led", "<params><led>2</led><onoff>1</onoff></params>", {}, {}},
    };
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        Terminal t;
        t.boot(sb, true);
        run_cases(sb, t, cases);
    });
}

// The lock line first, then the two MCU lock commands 40 ms apart, and 40 ms more
// before the next request is taken (bounded as above).
TEST(ControlHandlers, DoorStationLockOrderAndSpacing)
{
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        Terminal t;
        t.boot(sb, true);
        for (int onoff : {1, 0}) {
            SCOPED_TRACE(onoff);
            size_t from = t.mcu->received().size();
            sb.gpio().clear();
            std::string body = "<params><onoff>" + std::to_string(onoff) + "</onoff><index>0</index></params>";
            EXPECT_EQ(post("/control/w350/lock", body.c_str()), OK);
            EXPECT_EQ(post("/control/w350/light", "<params><index>0</index><onoff>1</onoff></params>"), OK);
            std::vector<McuFrame> f = t.frames_since(from);
            ASSERT_EQ(plain(f), (std::vector<Frame>{{MCU_D_LOCK, {uint8_t(onoff)}},
                                                     {MCU_D_LOCK2, {uint8_t(onoff)}},
                                                     {MCU_D_LIGHT, {0, 1}}}));
            std::vector<vsim::GpioCall> calls;
            for (const auto& c : sb.gpio().calls())
                if (c.cmd == 4)
                    calls.push_back(c);
            ASSERT_EQ(calls.size(), 2u);
            EXPECT_EQ(calls[0].sub, "lock");
            EXPECT_EQ(calls[0].data, onoff);
            EXPECT_EQ(calls[1].sub, "cam_led");
            EXPECT_LE(calls[0].t_us, f[0].t_us) << "the lock line is set before the MCU commands";
            EXPECT_GE(f[1].t_us - calls[0].t_us, 38000) << "the second lock command waits 40 ms";
            EXPECT_GE(calls[1].t_us - calls[0].t_us, 78000) << "the next request waits for the last pause too";
        }
    });
}

TEST(ControlHandlers, ServerReports)
{
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        Terminal t;
        t.boot(sb, false);
        vsim::ElevatorEmu elevator(sb, "192.168.12.41");
        ASSERT_TRUE(elevator.ok());

        struct Row {
            const char* path;
            const char* body;
            int cmd;  // the report expected, -1 for none
        };
        const Row rows[] = {
            {"/control/q820/alarm_trigger",
             "<params><sp>3</sp><io0>1</io0><io2>2</io2><io9>1</io9><io15>3</io15><io16>1</io16></params>", 1},
            {"/control/q820/alarm_trigger", nullptr, 1},
            {"/control/q820/alarm_trigger", "<params><sp>259</sp><io7>257</io7><io8>255</io8></params>", 1},
            {"/control/q820/card/logger", "<params><card>16909060</card><id_820>S1</id_820></params>", 56},
            {"/control/q820/card/logger", "<params><card>4294967295</card></params>", 56},
            {"/control/q820/card/logger", "<params><card>-2</card></params>", 56},
            {"/control/q820/call/logger", "<params><to>S00010111110</to><ip>192.168.12.41</ip><mode>2</mode></params>",
             66},
            {"/control/q820/call/logger", "<params><to>S00010111110</to></params>", -1},
            {"/control/q820/call/logger", "<params><ip>192.168.12.41</ip></params>", -1},
            {"/control/q820/query", "<params><host>S0001</host></params>", -1},  // q210 is off
        };
        std::vector<vsim::ServerDatagram> got;
        for (const auto& r : rows) {
            SCOPED_TRACE(std::string(r.path) + " " + (r.body ? r.body : "(no body)"));
            size_t from = t.server->count();
            EXPECT_EQ(post(r.path, r.body), OK);
            std::vector<vsim::ServerDatagram> d = t.reports_since(from);
            if (r.cmd < 0) {
                EXPECT_TRUE(d.empty());
                continue;
            }
            ASSERT_EQ(d.size(), 1u);
            EXPECT_EQ(d[0].cmd(), r.cmd);
            EXPECT_EQ(d[0].type(), 1);
            EXPECT_EQ(d[0].size(), 512u);
            got.push_back(d[0]);
        }
        ASSERT_EQ(got.size(), 7u);
        // Inputs count by bit 0 of their state; the sixteenth is the last one sent.
        EXPECT_EQ(got[0].u8(35), 3);
        EXPECT_EQ(got[0].slice(37, 4), (Bytes{0x01, 0x82, 0, 0}));
        EXPECT_EQ(got[1].u8(35), 0);
        EXPECT_EQ(got[1].slice(37, 4), (Bytes{0, 0, 0, 0}));
        EXPECT_EQ(got[2].u8(35), 3);
        EXPECT_EQ(got[2].slice(37, 4), (Bytes{0x80, 0x01, 0, 0}));
        // Card numbers as unsigned 32 bits, big-endian, one entry.
        EXPECT_EQ(got[3].le16(28), 1);
        EXPECT_EQ(got[3].slice(30, 4), (Bytes{1, 2, 3, 4}));
        EXPECT_EQ(got[4].slice(30, 4), (Bytes{0xff, 0xff, 0xff, 0xff}));
        EXPECT_EQ(got[5].slice(30, 4), (Bytes{0xff, 0xff, 0xff, 0xfe}));
        EXPECT_EQ(got[6].u8(8), 2);
        EXPECT_EQ(got[6].text(33, 20), "S00010111110");
        EXPECT_EQ(got[6].slice(53, 4), (Bytes{192, 168, 12, 41}));

        // The zone states and defence go with the next heartbeat and the next alarm.
        EXPECT_EQ(post("/control/q820/zone", "<params><defence>1</defence><zone3>257</zone3><zone7>2</zone7></params>"),
                  OK);
        size_t from = t.server->count();
        EXPECT_EQ(post("/control/q820/alarm_trigger", "<params><io1>1</io1></params>"), OK);
        std::vector<vsim::ServerDatagram> d = t.reports_since(from);
        ASSERT_EQ(d.size(), 1u);
        EXPECT_EQ(d[0].u8(34), 1) << "defence";
        EXPECT_EQ(d[0].slice(37, 2), (Bytes{0x02, 0}));
        vsim::ServerDatagram hb;
        ASSERT_GT(aligned_heartbeat(sb, *t.server, 30, &hb), 0);
        EXPECT_EQ(hb.u8(34), 1);
        for (int i = 0; i < 8; i++)
            EXPECT_EQ(hb.u8(38 + 10 * i), i == 3 ? 1 : (i == 7 ? 2 : 0)) << "zone " << i;

        // Elevator commands go to the address given, never to the server.
        struct Lift {
            const char* path;
            const char* body;
            int function;
            int elevator;
            int direction;
        };
        const Lift lifts[] = {
            {"/control/elevator/permit", "<params><ip>192.168.12.41</ip><elev>4</elev></params>", 3, -1, -1},
            {"/control/elevator/appoint", "<params><ip>192.168.12.41</ip><elev>1</elev><direct>1</direct></params>",
             2, 1, 1},
            {"/control/elevator/appoint", "<params><ip>192.168.12.41</ip></params>", 2, 0, 0},
            {"/control/elevator/permit", "<params><elev>4</elev></params>", -1, -1, -1},
            {"/control/elevator/appoint", "<params><elev>1</elev><direct>1</direct></params>", -1, -1, -1},
        };
        for (const auto& l : lifts) {
            SCOPED_TRACE(l.body);
            size_t at = elevator.count();
            size_t sent = t.server->count();
            EXPECT_EQ(post(l.path, l.body), OK);
            std::vector<vsim::ServerDatagram> reports = t.reports_since(sent);
            EXPECT_TRUE(reports.empty());
            if (l.function < 0) {
                // The marker came after anything this request could have sent.
                EXPECT_EQ(elevator.count(), at);
                continue;
            }
            vsim::ElevatorCommand c;
            ASSERT_TRUE(elevator.wait(&c, 5000, at));
            EXPECT_EQ(c.function, l.function);
            EXPECT_TRUE(c.check_ok);
            EXPECT_EQ(c.floor, 7);
            EXPECT_EQ(c.family, 3);
            EXPECT_EQ(c.elevator, l.elevator);
            EXPECT_EQ(c.direction, l.direction);
            EXPECT_EQ(c.host, identity());
        }
    });
}

// The reload takes the configuration anew, and "/control/set_id" does the same: the
// server's address queries follow the q210 switch of the file, the reports the
// identity.
TEST(ControlHandlers, ReloadAndSetIdReadTheConfiguration)
{
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        Terminal t;
        t.boot(sb, false);
        auto query = [&](const char* body) {
            size_t from = t.server->count();
            EXPECT_EQ(post("/control/q820/query", body), OK);
            std::vector<vsim::ServerDatagram> d = t.reports_since(from);
            for (const auto& q : d)
                EXPECT_EQ(q.cmd(), Q820_CMD_QUERY);
            return d;
        };
        EXPECT_TRUE(query("<params><host>S0021</host></params>").empty());

        configure(sb, "<q210>1</q210>");
        EXPECT_EQ(post("/control/reload", nullptr), OK);
        std::vector<vsim::ServerDatagram> d = query("<params><host>S0021</host></params>");
        ASSERT_EQ(d.size(), 1u);
        EXPECT_EQ(d[0].text(32, 20), "S0021");
        EXPECT_EQ(d[0].slice(28, 4), (Bytes{192, 168, 12, 100}));
        EXPECT_TRUE(query("<params><name>S0021</name></params>").empty()) << "no host, no query";
        EXPECT_TRUE(query(nullptr).empty());

        // A new identity too: building 22 instead of 21.
        ASSERT_TRUE(sb.write("/vesko/cfg/sys.xml",
                             "<sys><talk><building>22</building><unit>4</unit><floor>7</floor><family>3</family>"
                             "<dcode>2</dcode><server>192.168.12.40</server><q210>0</q210></talk></sys>"));
        EXPECT_EQ(post("/control/set_id", "<params/>"), OK);
        EXPECT_TRUE(query("<params><host>S0021</host></params>").empty());
        size_t from = t.server->count();
        EXPECT_EQ(post("/control/q820/card/logger", "<params><card>1</card></params>"), OK);
        d = t.reports_since(from);
        ASSERT_EQ(d.size(), 1u);
        EXPECT_EQ(d[0].host(), "S00220407032");
    });
}

TEST(ControlHandlers, EthernetWifiModeReadAndWrite)
{
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        Terminal t;
        t.boot(sb, false);
        const std::string only = std::string(OK) + "<params>\n\t<eth_wifi>0</eth_wifi>\n</params>\n";
        EXPECT_EQ(post("/control/eth_wifi/read", nullptr), only);
        EXPECT_EQ(post("/control/eth_wifi/read", ""), only);
        EXPECT_EQ(post("/control/eth_wifi/read", "<params/>"), only);
        EXPECT_EQ(post("/control/eth_wifi/read", "not xml at all"), only);
        EXPECT_EQ(post("/control/eth_wifi/read", "<params><dev>eth0</dev><eth_wifi>7</eth_wifi></params>"),
                  std::string(OK) + "<params>\n\t<dev>eth0</dev>\n\t<eth_wifi>0</eth_wifi>\n</params>\n");

        EXPECT_EQ(post("/control/eth_wifi/write", "<params><eth_wifi>2</eth_wifi></params>"), OK);
        EXPECT_TRUE(vsim::wait_until([&] { return sb.read("/var/etc/eth_wifi") == "2\n"; }, 5000));
        EXPECT_EQ(sb.mode("/var/etc/eth_wifi"), 0777);
        dxml saved;
        ASSERT_TRUE(saved.loadFile("/vesko/cfg/eth_wifi.xml"));
        EXPECT_EQ(saved.getInt("/sys/eth_wifi", -1), 2);
        EXPECT_EQ(post("/control/eth_wifi/read", "<params><x>1</x></params>"),
                  std::string(OK) + "<params>\n\t<x>1</x>\n\t<eth_wifi>2</eth_wifi>\n</params>\n");

        EXPECT_EQ(post("/control/eth_wifi/write", nullptr), OK);
        EXPECT_EQ(post("/control/eth_wifi/read", nullptr), only);
        EXPECT_EQ(sb.read("/var/etc/eth_wifi"), "0\n");
    });
}

TEST(ControlHandlers, SetTimeThenHardwareClock)
{
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        Terminal t;
        t.boot(sb, false);
        // The server's date must not move the clock in between.
        t.server->set_heartbeat_silent(true);
        size_t before = sb.clock_sets().size();
        sb.clear_commands();
        // Without the key, or without a time that exists, the clocks are left alone.
        EXPECT_EQ(post("/control/settime", "<params><date>2024-02-29 13:05:09</date></params>"), OK);
        EXPECT_EQ(post("/control/settime", nullptr), OK);
        EXPECT_EQ(post("/control/settime", "<params><time>not a time</time></params>"), OK);
        EXPECT_EQ(post("/control/settime", "<params><time>2024-02-29 13:05:09</time></params>"), OK);
        ASSERT_TRUE(sb.wait_stderr("settime: 2024-02-29 13:05:09\n", 5000));
        std::vector<vsim::ClockSet> sets = sb.clock_sets();
        ASSERT_EQ(sets.size(), before + 1);
        EXPECT_EQ(sets.back().sec, 1709211909);  // 13:05:09 UTC, the sandbox's zone
        EXPECT_EQ(sets.back().usec, 0);
        EXPECT_NEAR(double(sb.now()), 1709211909.0, 30.0);
        std::vector<std::string> cmds = sb.commands();
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "busybox hwclock -u -w"), 1);
        EXPECT_EQ(sb.daemon_stderr().find("settime: not a time"), std::string::npos);

        // Missing numbers count as 0.
        EXPECT_EQ(post("/control/settime", "<params><time>2024-03-01</time></params>"), OK);
        ASSERT_TRUE(sb.wait_stderr("settime: 2024-03-01\n", 5000));
        sets = sb.clock_sets();
        ASSERT_EQ(sets.size(), before + 2);
        EXPECT_EQ(sets.back().sec, 1709251200);
        cmds = sb.commands();
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "busybox hwclock -u -w"), 2);
    });
}

TEST(ControlHandlers, UsbModemSwitch)
{
    const struct {
        const char* body;
        const char* ids;
    } cases[] = {
        {"<params><vendor>4817</vendor><product>5382</product></params>", "12d1 1506"},
        {"<params><vendor>6610</vendor><product>65521</product></params>", "19d2 fff1"},
        {"<params><vendor>-1</vendor><product>74565</product></params>", "ffff 2345"},
        {nullptr, "0000 0000"},
        {"<params><vendor>x; reboot</vendor></params>", "0000 0000"},
    };
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        Terminal t;
        t.boot(sb, false);
        for (const auto& c : cases) {
            SCOPED_TRACE(c.ids);
            sb.clear_commands();
            EXPECT_EQ(post("/control/usb/attached", c.body), OK);
            std::string v(c.ids, 4), p(c.ids + 5, 4);
            std::string want = "usb_modeswitch -v " + v + " -p " + p + " -c /system/etc/usb_modeswitch.d/" + v + "_" + p;
            ASSERT_TRUE(sb.wait_command("usb_modeswitch", 5000));
            EXPECT_EQ(sb.commands(), std::vector<std::string>{want});
        }
    });
}

TEST(ControlHandlers, OrientationAndSecurityDebugLine)
{
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        Terminal t;
        // No end-of-boot marker: the supervision thread waits, so every orientation
        // command below comes from the handler.
        t.boot(sb, false, "<sys><talk><server>192.168.12.40</server></talk><lcd><portrait>1</portrait></lcd></sys>");
        ASSERT_TRUE(sb.set_setting("system", "user_rotation", "0"));
        sb.clear_commands();
        EXPECT_EQ(post("/control/sys/orientation", nullptr), OK);
        ASSERT_TRUE(sb.wait_command("settings put", 5000));
        EXPECT_EQ(sb.commands(), (std::vector<std::string>{"settings get system user_rotation",
                                                            "settings put system user_rotation 1"}));
        sb.clear_commands();
        EXPECT_EQ(post("/control/sys/orientation", "<params/>"), OK);
        ASSERT_TRUE(sb.wait_command("settings get", 5000));
        // The marker's answer comes after the handler above is done.
        EXPECT_EQ(post("/control/security_io/read", "<params><io0>1</io0></params>"), OK);
        EXPECT_EQ(sb.commands(), std::vector<std::string>{"settings get system user_rotation"});
        EXPECT_TRUE(sb.wait_stdout("vesko_control_get_security_io [<params><io0>1</io0></params>]\n", 5000));
    });
}

// The bridge tool of the sandbox, installed where the daemon runs it.
void install_mme(vsim::Sandbox& sb)
{
    std::string stub = sb.read(std::string(VSIM_STUBS_DIR) + "/mme");
    ASSERT_FALSE(stub.empty());
    ASSERT_TRUE(sb.write("/vesko/bin/mme", stub, 0755));
}

TEST(ControlHandlers, BridgeToolMacAndKey)
{
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        install_mme(sb);
        Terminal t;
        t.boot(sb, false);
        sb.clear_commands();
        EXPECT_EQ(post("/control/special/get/mac", nullptr),
                  std::string(OK) + "<params>\n\t<mac>00:b0:52:12:34:56</mac>\n</params>\n");
        EXPECT_TRUE(sb.wait_stderr("MME Get MAC 00:b0:52:12:34:56\n", 5000));
        EXPECT_EQ(sb.commands(), std::vector<std::string>{VERSION_CALL});

        sb.clear_commands();
        EXPECT_EQ(post("/control/special/set/mac", "<params><mac>02:11:22:33:44:55</mac></params>"), OK);
        ASSERT_TRUE(sb.wait_stderr("/vesko/bin/mme eth0 00:b0:52:12:34:56 set_mac 02:11:22:33:44:55\n", 5000));
        ASSERT_TRUE(sb.wait_command("mme eth0 00:b0:52:12:34:56 set_mac", 5000));
        EXPECT_EQ(sb.commands(), (std::vector<std::string>{
                                     VERSION_CALL, "mme eth0 00:b0:52:12:34:56 set_mac 02:11:22:33:44:55"}));
        // The bridge answers with its new MAC from then on.
        EXPECT_EQ(post("/control/special/get/mac", "<params><mac>x</mac></params>"),
                  std::string(OK) + "<params>\n\t<mac>02:11:22:33:44:55</mac>\n</params>\n");

        sb.clear_commands();
        const std::string key = "00112233445566778899AABBCCDDEEFF";
        EXPECT_EQ(post("/control/special/set/nmk", ("<params><nmk>" + key + "</nmk></params>").c_str()), OK);
        ASSERT_TRUE(sb.wait_command("mme eth0 02:11:22:33:44:55 set_nmk", 5000));
        EXPECT_EQ(sb.commands(),
                  (std::vector<std::string>{VERSION_CALL, "mme eth0 02:11:22:33:44:55 set_nmk " + key}));
        EXPECT_TRUE(vsim::wait_until([&] { return sb.read("/sim/run/mme.nmk") == key; }, 5000));
        EXPECT_TRUE(sb.wait_stderr("/vesko/bin/mme eth0 02:11:22:33:44:55 set_nmk " + key + "\n", 5000));
    });
}

// Texts that would change the command line run nothing at all, and neither does a
// request without its text or a tool that reports no MAC.
TEST(ControlHandlers, BridgeToolRunsNothingForBadTexts)
{
    const char* bodies[][2] = {
        {"/control/special/set/mac", "<params><mac>02:11:22:33:44:55;touch /tmp/pwned</mac></params>"},
        {"/control/special/set/mac", "<params><mac>$(touch /tmp/pwned)</mac></params>"},
        {"/control/special/set/mac", "<params><mac>`touch /tmp/pwned`</mac></params>"},
        {"/control/special/set/mac", "<params><mac>02:11:22:33:44:55&#10;touch /tmp/pwned</mac></params>"},
        {"/control/special/set/mac", "<params><mac>02:11:22:33:44:5</mac></params>"},
        {"/control/special/set/mac", "<params><mac></mac></params>"},
        {"/control/special/set/mac", "<params><nmk>0011</nmk></params>"},
        {"/control/special/set/mac", nullptr},
        {"/control/special/set/nmk", "<params><nmk>0011;touch /tmp/pwned</nmk></params>"},
        {"/control/special/set/nmk", "<params><nmk>0011 | touch /tmp/pwned</nmk></params>"},
        {"/control/special/set/nmk", "<params><nmk>'$(touch /tmp/pwned)'</nmk></params>"},
        {"/control/special/set/nmk",
         "<params><nmk>00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF0</nmk></params>"},
        {"/control/special/set/nmk", "<params><mac>02:11:22:33:44:55</mac></params>"},
        {"/control/special/set/nmk", "not xml"},
    };
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        install_mme(sb);
        Terminal t;
        t.boot(sb, false);
        for (const auto& b : bodies) {
            SCOPED_TRACE(b[1] ? b[1] : "(no body)");
            sb.clear_commands();
            EXPECT_EQ(post(b[0], b[1]), OK);
            // The next request runs the tool once; the refused one ran nothing before it.
            EXPECT_EQ(post("/control/special/get/mac", nullptr),
                      std::string(OK) + "<params>\n\t<mac>00:b0:52:12:34:56</mac>\n</params>\n");
            EXPECT_EQ(sb.commands(), std::vector<std::string>{VERSION_CALL});
            EXPECT_FALSE(sb.exists("/tmp/pwned"));
        }
        EXPECT_FALSE(sb.exists("/sim/run/mme.mac"));
        EXPECT_FALSE(sb.exists("/sim/run/mme.nmk"));

        // A tool without the MAC line: an empty answer, and nothing set.
        ASSERT_TRUE(sb.write("/sim/run/mme.out", "Interface eth0\nno bridge found\n"));
        sb.clear_commands();
        EXPECT_EQ(post("/control/special/get/mac", "<params/>"), OK);
        EXPECT_EQ(post("/control/special/set/mac", "<params><mac>02:11:22:33:44:55</mac></params>"), OK);
        EXPECT_EQ(post("/control/special/get/mac", nullptr), OK);
        EXPECT_EQ(sb.commands(), (std::vector<std::string>{VERSION_CALL, VERSION_CALL, VERSION_CALL}));

        // A MAC line carrying shell syntax is neither run nor garbled in the answer.
        ASSERT_TRUE(sb.write("/sim/run/mme.out", "Get mac <a&b>;touch${IFS}/tmp/pwned\n"));
        sb.clear_commands();
        EXPECT_EQ(post("/control/special/get/mac", nullptr),
                  std::string(OK) + "<params>\n\t<mac>&lt;a&amp;b&gt;;touch${IFS}/tmp/pwned</mac>\n</params>\n");
        EXPECT_EQ(post("/control/special/set/mac", "<params><mac>02:11:22:33:44:55</mac></params>"), OK);
        EXPECT_EQ(post("/control/special/get/mac", nullptr).substr(0, strlen(OK)), OK);
        EXPECT_EQ(sb.commands(), (std::vector<std::string>{VERSION_CALL, VERSION_CALL, VERSION_CALL}));
        EXPECT_FALSE(sb.exists("/tmp/pwned"));
    });
}
