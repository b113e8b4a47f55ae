// The server link in-process: the test program is the terminal (its own socket on
// port 8300 in the sandbox's network), the building server and an elevator controller
// are emulated in the LAN namespace, the applications on the bus are bus peers.

#include <arpa/inet.h>
#include <poll.h>
#include <string.h>
#include <time.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "BusPeer.h"
#include "ElevatorEmu.h"
#include "ServerEmu.h"
#include "__q820.h"
#include "__sys.h"
#include "dxml.h"
#include "vsim_test.h"

namespace {

const char SERVER[] = "192.168.12.40";
const char TERMINAL[] = "192.168.12.100";
const char ELEVATOR[] = "192.168.12.50";
const char IDENTITY[] = "S00010203041";
const std::vector<uint8_t> MAC = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const int WAIT_MS = 3000;

vsim::Options terminal()
{
    vsim::Options o;
    vsim::Interface eth0;
    eth0.name = "eth0";
    eth0.address = std::string(TERMINAL) + "/24";
    eth0.peer = std::string(SERVER) + "/24";
    eth0.mac = "02:11:22:33:44:55";
    o.interfaces.push_back(eth0);
    return o;
}

// The terminal's side as start-up leaves it.
void open_link()
{
    sys.setTalkServer(SERVER);
    sys.setTalkFloor(12);
    sys.setTalkFamily(3);
    q820.set_id(IDENTITY);
    ASSERT_EQ(q820.start(), 0);
}

std::vector<uint8_t> zeros(size_t n)
{
    return std::vector<uint8_t>(n, 0);
}

void expect_head(const vsim::ServerDatagram& d, uint8_t cmd, uint8_t type, const std::string& host = IDENTITY)
{
    EXPECT_TRUE(d.cid_ok());
    EXPECT_EQ(d.cmd(), cmd);
    EXPECT_EQ(d.type(), type);
    EXPECT_EQ(d.text(8, 20), host);
    EXPECT_EQ(d.slice(8 + host.size(), 20 - host.size()), zeros(20 - host.size())) << "host is zero-padded";
}

// Waits until a datagram is queued on the terminal's socket, without taking it.
bool queued(int timeout_ms)
{
    pollfd p = {q820.m_socket, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1;
}

std::string body_text(const vsim::BusMessage& m, const char* key)
{
    dxml doc(m.body.c_str());
    const char* t = doc.getText(key);
    return t ? t : "(none)";
}

TEST(Q820Alarm, InfoBitsFollowBitZeroOfEachState)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> states;  // exactly length entries, so a read past them shows
        std::vector<uint8_t> info;
    };
    std::vector<uint8_t> io0_io9(16, 0);
    io0_io9[0] = 1;
    io0_io9[9] = 1;
    std::vector<uint8_t> eight(8, 0);
    eight[7] = 3;
    std::vector<uint8_t> twenty(20, 1);
    std::vector<uint8_t> bit1(16, 2);
    bit1[15] = 0xFF;
    const std::vector<Case> cases = {
        {"io0 and io9", io0_io9, {0x01, 0x02, 0x00, 0x00}},
        {"length 8 leaves byte 1 clear", eight, {0x80, 0x00, 0x00, 0x00}},
        {"states past the sixteenth are not sent", twenty, {0xFF, 0xFF, 0x00, 0x00}},
        {"only bit 0 counts", bit1, {0x00, 0x80, 0x00, 0x00}},
        {"fewer than 8 states read no further", {1, 0, 1}, {0x05, 0x00, 0x00, 0x00}},
    };
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        ASSERT_TRUE(server.ok());
        open_link();
        q820.m_defence = 0x1203;
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            size_t from = server.count();
            std::vector<uint8_t> st = c.states;
            q820.alarm_trigger(0x5A, st.data(), int(st.size()));
            vsim::ServerDatagram d;
            ASSERT_TRUE(server.wait_cmd(1, 1, &d, WAIT_MS, from));
            EXPECT_EQ(d.size(), 512u);
            EXPECT_EQ(d.peer_port, 8300);
            expect_head(d, 1, 1);
            EXPECT_EQ(d.slice(28, 6), MAC);
            EXPECT_EQ(d.u8(34), 0x03) << "low byte of the defence state";
            EXPECT_EQ(d.u8(35), 0x5A);
            EXPECT_EQ(d.u8(36), 1);
            EXPECT_EQ(d.slice(37, 4), c.info);
            EXPECT_EQ(d.slice(41, 512 - 41), zeros(512 - 41));
        }
    });
}

TEST(Q820Alarm, CancelCarriesDefenceAndModules)
{
    vsim_run(terminal(), [](vsim::Sandbox& sb) {
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        ASSERT_TRUE(server.ok());
        open_link();
        q820.m_defence = 0x102;
        q820.alarm_cancel();
        vsim::ServerDatagram d;
        ASSERT_TRUE(server.wait_cmd(2, 1, &d, WAIT_MS));
        EXPECT_EQ(d.size(), 512u);
        expect_head(d, 2, 1);
        EXPECT_EQ(d.u8(28), 0x02);
        EXPECT_EQ(d.u8(29), 1);
        EXPECT_EQ(d.slice(30, 512 - 30), zeros(512 - 30));
    });
}

TEST(Q820Log, CallLogHasNoHostAndCarriesBothAddresses)
{
    vsim_run(terminal(), [](vsim::Sandbox& sb) {
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        ASSERT_TRUE(server.ok());
        open_link();
        q820.call_logger("S00010203052", "192.168.12.77", 0x107);
        vsim::ServerDatagram d;
        ASSERT_TRUE(server.wait_cmd(66, 1, &d, WAIT_MS));
        EXPECT_EQ(d.size(), 512u);
        EXPECT_TRUE(d.cid_ok());
        EXPECT_EQ(d.u8(8), 0x07) << "mode, where other records have their host";
        EXPECT_EQ(d.text(9, 20), IDENTITY);
        EXPECT_EQ(d.slice(29, 4), (std::vector<uint8_t>{192, 168, 12, 100}));
        EXPECT_EQ(d.text(33, 20), "S00010203052");
        EXPECT_EQ(d.slice(53, 4), (std::vector<uint8_t>{192, 168, 12, 77}));
        EXPECT_EQ(d.slice(57, 512 - 57), zeros(512 - 57));
    });
}

TEST(Q820Log, CallLogBadInput)
{
    struct Case {
        const char* name;
        std::string to;
        const char* ip;
        bool sent;
        std::vector<uint8_t> to_ip;
    };
    const std::vector<Case> cases = {
        {"19 characters fit with their terminator", std::string(19, '7'), "10.0.0.9", true, {10, 0, 0, 9}},
        {"20 characters do not fit: refused", std::string(20, '7'), "10.0.0.9", false, {}},
        {"a long text is refused, not cut", std::string(300, 'x'), "10.0.0.9", false, {}},
        {"short dotted form is no address", "S1", "10.9", true, {0, 0, 0, 0}},
        {"not an address", "S1", "elevator; reboot", true, {0, 0, 0, 0}},
    };
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        ASSERT_TRUE(server.ok());
        open_link();
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            size_t from = server.count();
            q820.call_logger(c.to.c_str(), c.ip, 1);
            // A card log behind it shows that the call log went out, or not, before.
            q820.card_logger(7, "");
            vsim::ServerDatagram d;
            ASSERT_TRUE(server.wait_cmd(56, 1, &d, WAIT_MS, from));
            std::vector<vsim::ServerDatagram> all = server.datagrams();
            bool found = false;
            for (size_t i = from; i < all.size(); i++) {
                if (all[i].cmd() != 66)
                    continue;
                found = true;
                EXPECT_EQ(all[i].text(33, 20), c.to);
                EXPECT_EQ(all[i].u8(52), 0) << "the field keeps its terminator";
                EXPECT_EQ(all[i].slice(53, 4), c.to_ip);
            }
            EXPECT_EQ(found, c.sent);
        }
    });
}

TEST(Q820Log, CardLogCarriesCardBigEndianAndLocalDate)
{
    vsim_run(terminal(), [](vsim::Sandbox& sb) {
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        ASSERT_TRUE(server.ok());
        open_link();
        // 2031-07-10 18:22:05 UTC, the terminal's zone.
        sb.clock_set(1941474125);
        time_t before = time(nullptr);
        q820.card_logger(0x01020304, "ignored");
        time_t after = time(nullptr);
        vsim::ServerDatagram d;
        ASSERT_TRUE(server.wait_cmd(56, 1, &d, WAIT_MS));
        EXPECT_EQ(d.size(), 512u);
        expect_head(d, 56, 1);
        EXPECT_EQ(d.slice(28, 2), (std::vector<uint8_t>{0x01, 0x00}));
        EXPECT_EQ(d.slice(30, 4), (std::vector<uint8_t>{0x01, 0x02, 0x03, 0x04}));
        bool matched = false;
        for (time_t t = before; t <= after; t++) {
            tm l;
            localtime_r(&t, &l);
            std::vector<uint8_t> date = {uint8_t((l.tm_year + 1900) >> 8), uint8_t(l.tm_year + 1900),
                                         uint8_t(l.tm_mon + 1), uint8_t(l.tm_mday), uint8_t(l.tm_hour),
                                         uint8_t(l.tm_min), uint8_t(l.tm_sec)};
            matched = matched || d.slice(34, 7) == date;
        }
        EXPECT_TRUE(matched) << "date bytes " << int(d.u8(34)) << " " << int(d.u8(35)) << " " << int(d.u8(36));
        EXPECT_EQ(d.u8(34), 0x07);
        EXPECT_EQ(d.u8(35), 0xEF);
        EXPECT_EQ(d.slice(41, 512 - 41), zeros(512 - 41)) << "entries 1 to 7 stay zero";
    });
}

TEST(Q820Log, IdentityIsCutToItsField)
{
    vsim_run(terminal(), [](vsim::Sandbox& sb) {
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        ASSERT_TRUE(server.ok());
        open_link();
        q820.set_id("S0001020304112345678901234567890123456789");
        EXPECT_EQ(strlen(q820.m_id), 31u);
        q820.alarm_cancel();
        q820.call_logger("S1", "10.0.0.1", 0);
        vsim::ServerDatagram d;
        ASSERT_TRUE(server.wait_cmd(2, 1, &d, WAIT_MS));
        EXPECT_EQ(d.text(8, 20), "S000102030411234567");
        EXPECT_EQ(d.u8(27), 0);
        ASSERT_TRUE(server.wait_cmd(66, 1, &d, WAIT_MS));
        EXPECT_EQ(d.text(9, 20), "S000102030411234567");
        EXPECT_EQ(d.u8(28), 0);
    });
}

TEST(Q820Elevator, CommandsGoToTheControllerFromPort8300)
{
    struct Case {
        const char* name;
        int function;
        int elev;
        int direct;
        int floor;
        int family;
        std::vector<uint8_t> data;
    };
    const std::vector<Case> cases = {
        {"permit", 3, 0, 0, 12, 3, {0xA1, 0x55, 0x0C, 0x4F, 0xFF, 0x12, 0x03, 0xC4}},
        {"appoint", 2, 1, 1, 12, 3, {0xA2, 0x02, 0x01, 0x4F, 0xFF, 0x12, 0x03, 0xAA}},
        {"appoint, direction and elevator as low bytes", 2, 0x1FE, 0x302, 99, 45,
         {0xA2, 0xFF, 0x02, 0x4F, 0xFF, 0x99, 0x45, 0x6D}},
        {"permit above floor 99 keeps 8 bits", 3, 0, 0, 123, 7, {0xA1, 0x55, 0x7B, 0x4F, 0xFF, 0xC3, 0x07, 0x28}},
    };
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        vsim::ElevatorEmu elevator(sb, ELEVATOR);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(elevator.ok());
        open_link();
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            std::vector<uint8_t> data = c.data;
            uint8_t sum = 0;
            for (int i = 0; i < 7; i++)
                sum += data[i];
            data[7] = sum ^ data[0];
            ASSERT_EQ(data, c.data) << "the expected bytes carry their own check byte";

            sys.setTalkFloor(c.floor);
            sys.setTalkFamily(c.family);
            size_t from = elevator.count();
            if (c.function == 3)
                q820.elevator_permit(ELEVATOR, c.elev);
            else
                q820.elevator_appoint(ELEVATOR, c.elev, c.direct);
            vsim::ElevatorCommand e;
            ASSERT_TRUE(elevator.wait(&e, WAIT_MS, from));
            EXPECT_EQ(e.datagram.size(), 512u);
            EXPECT_EQ(e.datagram.peer, TERMINAL);
            EXPECT_EQ(e.datagram.peer_port, 8300);
            expect_head(e.datagram, 171, 1);
            EXPECT_EQ(e.factory, 1);
            EXPECT_EQ(e.function, c.function);
            EXPECT_EQ(e.datagram.slice(30, 8), c.data);
            EXPECT_EQ(e.datagram.slice(38, 512 - 38), zeros(512 - 38));
            EXPECT_TRUE(e.check_ok);
        }
        EXPECT_EQ(server.count(), 0u) << "nothing of it reaches the server";
    });
}

// inet_aton would read these as 192.168.12.52; they are no dotted addresses.
TEST(Q820Elevator, LooseAddressFormsAreNotSentAnywhere)
{
    vsim_run(terminal(), [](vsim::Sandbox& sb) {
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        vsim::ElevatorEmu near(sb, "192.168.12.52");
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(near.ok());
        open_link();
        const char* loose[] = {"192.168.3124", "0xC0.0xA8.12.52", "3232238644", "192.168.12.52 ", "", nullptr};
        for (const char* ip : loose) {
            q820.elevator_permit(ip, 0);
            q820.elevator_appoint(ip, 0, 1);
        }
        // Sent last, on the same path: once it is in, everything before it is too.
        q820.elevator_appoint("192.168.12.52", 0, 77);
        ASSERT_TRUE(vsim::wait_until(
            [&] {
                for (const vsim::ElevatorCommand& c : near.commands())
                    if (c.direction == 77)
                        return true;
                return false;
            },
            WAIT_MS));
        EXPECT_EQ(near.count(), 1u) << "only the dotted address was used";
        EXPECT_EQ(server.count(), 0u);
    });
}

TEST(Q820Server, AddressThatIsNotDottedSendsNothing)
{
    vsim_run(terminal(), [](vsim::Sandbox& sb) {
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        ASSERT_TRUE(server.ok());
        open_link();
        // 192.168.3112 would be 192.168.12.40, the server, to the loose parsers.
        for (const char* addr : {"192.168.3112", "0xc0a80c28", "server.local", ""}) {
            sys.setTalkServer(addr);
            uint8_t st[16] = {1};
            q820.alarm_trigger(1, st, 16);
            EXPECT_LT(q820.send_packet(st, 16), 0) << addr;
        }
        sys.setTalkServer(SERVER);
        q820.alarm_cancel();
        vsim::ServerDatagram d;
        ASSERT_TRUE(server.wait_cmd(2, 1, &d, WAIT_MS));
        EXPECT_EQ(server.count(), 1u);
    });
}

// A report waits for one datagram and takes it, whatever it is; an elevator command
// waits for nothing, so what is queued stays for the loop.
TEST(Q820Report, DatagramDuringTheWaitIsTheAnswer)
{
    struct Case {
        const char* name;
        std::function<void()> call;
        bool consumes;
    };
    uint8_t st[16] = {};
    const std::vector<Case> cases = {
        {"alarm", [&] { q820.alarm_trigger(0, st, 16); }, true},
        {"cancel", [] { q820.alarm_cancel(); }, true},
        {"call log", [] { q820.call_logger("S1", "10.0.0.1", 0); }, true},
        {"card log", [] { q820.card_logger(5, ""); }, true},
        {"permit", [] { q820.elevator_permit(ELEVATOR, 0); }, false},
        {"appoint", [] { q820.elevator_appoint(ELEVATOR, 0, 0); }, false},
    };
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        vsim::ElevatorEmu elevator(sb, ELEVATOR);
        vsim::BusPeer apps(9832);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(elevator.ok());
        ASSERT_TRUE(apps.ok());
        open_link();
        server.set_report_silent(true);
        uint32_t seq = 100;
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            // Far enough from the last accepted text for the time filter.
            sb.clock_advance(2000000);
            size_t from = server.count();
            size_t posted = apps.messages().size();
            ASSERT_TRUE(server.send_text(1, ++seq, c.name));
            ASSERT_TRUE(queued(WAIT_MS));
            c.call();
            q820.wait_packet();
            bool echoed = server.wait_cmd(3, 2, nullptr, c.consumes ? 300 : WAIT_MS, from);
            EXPECT_EQ(echoed, !c.consumes);
            EXPECT_EQ(apps.messages().size() > posted, !c.consumes);
        }
    });
}

// What a report's wait takes is gone, whatever it was: a heartbeat answer taken by
// an alarm neither changes the interval nor the clock, and the loop goes on.
TEST(Q820Report, AnswerTakenByAReportChangesNothing)
{
    vsim_run(terminal(), [](vsim::Sandbox& sb) {
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        vsim::BusPeer apps(9832);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(apps.ok());
        open_link();
        server.set_report_silent(true);
        int timeout = q820.m_timeout;
        std::vector<uint8_t> answer = vsim::ServerEmu::header(4, 2);
        answer.resize(512);
        answer[28] = 60;
        answer[30] = 0x07;  // 2001-01-01, far from the terminal's clock
        answer[31] = 0xD1;
        answer[32] = 1;
        answer[33] = 1;
        ASSERT_TRUE(server.send_raw(answer));
        ASSERT_TRUE(queued(WAIT_MS));
        uint8_t st[16] = {};
        q820.alarm_trigger(0, st, 16);
        EXPECT_EQ(q820.m_timeout, timeout);
        EXPECT_TRUE(sb.clock_sets().empty());
        pollfd p = {q820.m_socket, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 0), 0) << "nothing is left behind for the loop";
        sb.clock_advance(2000000);
        ASSERT_TRUE(server.send_text(1, 7, "after"));
        ASSERT_TRUE(queued(WAIT_MS));
        q820.wait_packet();
        vsim::BusMessage m;
        ASSERT_TRUE(apps.wait("/apps/center/text", &m, WAIT_MS));
        EXPECT_EQ(body_text(m, "/params/data"), "after");
    });
}

// A short answer is never read over the request still in the buffer, and a date
// that names no time never reaches the clock.
TEST(Q820Heartbeat, ShortOrMalformedAnswersChangeNothing)
{
    struct Case {
        const char* name;
        size_t size;
        uint16_t timeout;
        std::vector<uint8_t> date;
        int interval;  // -1: unchanged
        bool set;
    };
    const std::vector<Case> cases = {
        {"header only", 28, 0, {}, -1, false},
        {"cut inside the date", 33, 40, {0x07, 0xEA, 1, 1}, -1, false},
        {"zero date", 512, 40, {0, 0, 0, 0, 0, 0, 0}, 39, false},
        {"day 32", 512, 41, {0x07, 0xEA, 1, 32, 0, 0, 0}, 40, false},
        {"a real date far off", 37, 42, {0x07, 0xEA, 3, 1, 8, 30, 0}, 41, true},
    };
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        ASSERT_TRUE(server.ok());
        open_link();
        server.set_heartbeat_silent(true);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            // Queued before the heartbeat, the answer is there whenever its wait begins.
            std::vector<uint8_t> answer = vsim::ServerEmu::header(4, 2);
            answer.resize(512);
            answer[28] = uint8_t(c.timeout);
            answer[29] = uint8_t(c.timeout >> 8);
            for (size_t i = 0; i < c.date.size(); i++)
                answer[30 + i] = c.date[i];
            answer.resize(c.size);
            ASSERT_TRUE(server.send_raw(answer));
            ASSERT_TRUE(queued(WAIT_MS));
            int before = q820.m_timeout;
            size_t sets = sb.clock_sets().size();
            q820.heartbeat();
            EXPECT_EQ(q820.m_timeout, c.interval < 0 ? before : c.interval);
            EXPECT_EQ(sb.clock_sets().size(), sets + (c.set ? 1 : 0));
        }
        // 2026-03-01 08:30:00 UTC
        ASSERT_FALSE(sb.clock_sets().empty());
        EXPECT_EQ(sb.clock_sets().back().sec, 1772353800);
    });
}

// msg_ack reads only the bytes it was told arrived, whatever lies behind them.
TEST(Q820Text, TextNeverReadsPastTheReceivedBytes)
{
    vsim_run(terminal(), [](vsim::Sandbox& sb) {
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        vsim::BusPeer apps(9832);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(apps.ok());
        open_link();
        uint8_t buf[sizeof(__q820_msg_t)];
        memset(buf, 'Z', sizeof(buf));
        __q820_msg_t* msg = reinterpret_cast<__q820_msg_t*>(buf);
        q820_put_le32(msg->d.msg.seq, 1);
        q820_put_le16(msg->d.msg.length, 180);
        memcpy(msg->d.msg.data, "abc", 3);
        q820.msg_ack(msg, 36 + 3);
        vsim::BusMessage m;
        ASSERT_TRUE(apps.wait("/apps/center/text", &m, WAIT_MS));
        EXPECT_EQ(body_text(m, "/params/data"), "abc");
    });
}

TEST(Q820Query, SentOnlyWhileQ210IsSet)
{
    vsim_run(terminal(), [](vsim::Sandbox& sb) {
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        ASSERT_TRUE(server.ok());
        open_link();
        sys.setTalkQ210(0);
        q820.query("S00010203052");
        sys.setTalkQ210(1);
        q820.query(std::string(20, '9').c_str());  // no room for its terminator
        q820.query(nullptr);
        q820.query("S00010203052");
        vsim::ServerDatagram d;
        ASSERT_TRUE(server.wait_cmd(155, 1, &d, WAIT_MS));
        EXPECT_EQ(d.size(), 512u);
        expect_head(d, 155, 1);
        EXPECT_EQ(d.slice(28, 4), (std::vector<uint8_t>{192, 168, 12, 100}));
        EXPECT_EQ(d.text(32, 20), "S00010203052");
        EXPECT_EQ(d.slice(44, 8), zeros(8)) << "the rest of to is zero, not read past the text";
        EXPECT_EQ(d.slice(52, 4), zeros(4));
        EXPECT_EQ(d.slice(56, 512 - 56), zeros(512 - 56));
        q820.query(std::string(19, '9').c_str());
        ASSERT_TRUE(server.wait_cmd(155, 1, &d, WAIT_MS, 1));
        std::vector<vsim::ServerDatagram> all = server.datagrams();
        ASSERT_EQ(all.size(), 2u) << "the refused queries sent nothing";
        EXPECT_EQ(all[1].text(32, 20), std::string(19, '9'));
    });
}

TEST(Q820Query, AnswersArePostedWithinTheirEntries)
{
    std::vector<vsim::ServerZone> eight;
    for (int i = 0; i < 8; i++)
        eight.push_back({"S000102030" + std::to_string(i), "10.0.1." + std::to_string(i + 1)});
    struct Case {
        const char* name;
        std::vector<uint8_t> packet;
        bool posted;
        std::vector<vsim::ServerZone> zones;
    };
    std::vector<uint8_t> cut = vsim::ServerEmu::query_answer(TERMINAL, eight, 3);
    cut.resize(33 + 24 * 2 + 10);
    std::vector<uint8_t> no_ips = vsim::ServerEmu::query_answer(TERMINAL, eight, 2);
    no_ips.resize(32);
    const std::vector<vsim::ServerZone> two = {{"S1", "10.0.0.1"}, {"S2", "10.0.0.2"}};
    const std::vector<Case> cases = {
        {"two entries", vsim::ServerEmu::query_answer(TERMINAL, two), true, two},
        {"ips above eight is cut to eight", vsim::ServerEmu::query_answer(TERMINAL, eight, 200), true, eight},
        {"entries past the datagram are not read", cut, true, {eight[0], eight[1]}},
        {"a name that fills its field ends at 19",
         vsim::ServerEmu::query_answer(TERMINAL, {{std::string(20, 'N'), "10.0.0.1"}}), true,
         {{std::string(19, 'N'), "10.0.0.1"}}},
        {"no room for ips", no_ips, false, {}},
        {"no entries", vsim::ServerEmu::query_answer(TERMINAL, {}), true, {}},
    };
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        vsim::BusPeer talk(9800);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(talk.ok());
        open_link();
        sys.setTalkQ210(1);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            size_t posted = talk.messages().size();
            ASSERT_TRUE(server.send_raw(c.packet));
            ASSERT_TRUE(queued(WAIT_MS));
            q820.wait_packet();
            std::vector<vsim::BusMessage> msgs = talk.messages();
            ASSERT_EQ(msgs.size(), posted + (c.posted ? 1 : 0));
            if (!c.posted)
                continue;
            const vsim::BusMessage& m = msgs.back();
            EXPECT_EQ(m.path, "/talk/center/query");
            dxml doc(m.body.c_str());
            EXPECT_EQ(doc.getInt("/params/ips", -1), int(c.zones.size()));
            for (size_t i = 0; i < c.zones.size(); i++) {
                EXPECT_STREQ(doc.getText(("/params/name" + std::to_string(i)).c_str(), "(none)"),
                             c.zones[i].name.c_str());
                EXPECT_STREQ(doc.getText(("/params/ip" + std::to_string(i)).c_str(), "(none)"),
                             c.zones[i].addr.c_str());
            }
            EXPECT_EQ(doc.getText(("/params/name" + std::to_string(c.zones.size())).c_str()), nullptr);
        }
        EXPECT_EQ(server.count(), 0u) << "answers are not echoed";
        // Without the switch the same answer is dropped.
        sys.setTalkQ210(0);
        size_t posted = talk.messages().size();
        ASSERT_TRUE(server.send_raw(cases[0].packet));
        ASSERT_TRUE(queued(WAIT_MS));
        q820.wait_packet();
        EXPECT_EQ(talk.messages().size(), posted);
    });
}

TEST(Q820Text, TextStopsWithinFieldAndDatagram)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> packet;
        std::string posted;  // "(dropped)": echoed only
    };
    auto text = [](uint16_t length, const std::string& bytes, size_t size) {
        std::vector<uint8_t> b = vsim::ServerEmu::text_packet(9, 0, "");
        b[34] = uint8_t(length);
        b[35] = uint8_t(length >> 8);
        b.resize(36 + bytes.size() > b.size() ? 36 + bytes.size() : b.size());
        memcpy(&b[36], bytes.data(), bytes.size());
        b.resize(size);
        return b;
    };
    const std::string a300(300, 'a');
    const std::vector<Case> cases = {
        {"plain", text(5, "hello world", 512), "hello"},
        {"length past the field is cut at 200", text(250, a300, 536), std::string(200, 'a')},
        {"length past the datagram is cut at its end", text(100, "0123456789", 46), "0123456789"},
        {"length 0", text(0, "xyz", 512), ""},
        {"a datagram without the length field", text(5, "", 34), "(dropped)"},
    };
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        vsim::BusPeer apps(9832);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(apps.ok());
        open_link();
        uint32_t seq = 1;
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            sb.clock_advance(2000000);
            std::vector<uint8_t> p = c.packet;
            if (p.size() >= 34) {
                p[30] = uint8_t(++seq);
            }
            size_t from = server.count();
            size_t posted = apps.messages().size();
            ASSERT_TRUE(server.send_raw(p));
            ASSERT_TRUE(queued(WAIT_MS));
            q820.wait_packet();
            vsim::ServerDatagram echo;
            ASSERT_TRUE(server.wait_cmd(3, 2, &echo, WAIT_MS, from));
            EXPECT_EQ(echo.size(), 512u);
            std::vector<vsim::BusMessage> msgs = apps.messages();
            if (c.posted == "(dropped)") {
                EXPECT_EQ(msgs.size(), posted);
                continue;
            }
            ASSERT_EQ(msgs.size(), posted + 1);
            EXPECT_EQ(msgs.back().path, "/apps/center/text");
            EXPECT_EQ(body_text(msgs.back(), "/params/type"), "9");
            dxml doc(msgs.back().body.c_str());
            EXPECT_EQ(std::string(doc.getText("/params/data", "")), c.posted);
        }
    });
}

// Acceptance is measured from the last accepted message, both ways of the clock.
TEST(Q820Text, TimeFilterAroundTheLastAcceptance)
{
    struct Case {
        int64_t ms;
        bool posted;
    };
    const std::vector<Case> cases = {{250, false}, {-250, false}, {350, true}, {-350, true}, {5000, true}};
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        vsim::BusPeer apps(9832);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(apps.ok());
        open_link();
        uint8_t buf[sizeof(__q820_msg_t)] = {};
        __q820_msg_t* msg = reinterpret_cast<__q820_msg_t*>(buf);
        uint32_t seq = 10;
        auto deliver = [&](uint32_t s) {
            q820_put_le32(msg->d.msg.seq, s);
            q820_put_le16(msg->d.msg.length, 2);
            memcpy(msg->d.msg.data, "hi", 2);
            size_t before = apps.messages().size();
            q820.msg_ack(msg, 512);
            return apps.messages().size() > before;
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.ms);
            sb.clock_advance(10000000);
            int64_t accepted = vsim::server_wall_us();
            ASSERT_TRUE(deliver(++seq));
            sb.clock_advance(accepted + c.ms * 1000 - vsim::server_wall_us());
            EXPECT_EQ(deliver(++seq), c.posted);
        }
        // A repeat of the last accepted seq is dropped however late it comes.
        sb.clock_advance(60000000);
        EXPECT_FALSE(deliver(seq));
        EXPECT_TRUE(deliver(seq + 1));
    });
}

TEST(Q820Identity, ConfigurationLoadSetsTheIdentity)
{
    vsim_run(terminal(), [](vsim::Sandbox& sb) {
        EXPECT_STREQ(q820.m_id, "0000");
        ASSERT_TRUE(sb.write("/vesko/cfg/sys.xml",
                             "<sys><talk><building>21</building><unit>4</unit><floor>7</floor>"
                             "<family>3</family><dcode>2</dcode></talk></sys>"));
        EXPECT_TRUE(sys.load());
        EXPECT_STREQ(q820.m_id, "S00210407032");
        ASSERT_TRUE(sb.write("/vesko/cfg/sys.xml", "<sys><talk><floor>8</floor></talk></sys>"));
        EXPECT_TRUE(sys.load());
        EXPECT_STREQ(q820.m_id, "S00210408032") << "a reload replaces it";
    });
}

// The loop's steps and bus-thread senders share the socket, each holding it for its
// whole exchange: with a server that never answers, every exchange waits its full
// 100 ms before the next request of any thread can go out. Every datagram stays whole
// and every report goes out once.
TEST(Q820Concurrency, SendersAndLoopShareTheSocket)
{
    vsim_run(terminal(), [](vsim::Sandbox& sb) {
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        vsim::ElevatorEmu elevator(sb, ELEVATOR);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(elevator.ok());
        open_link();
        server.set_heartbeat_silent(true);
        server.set_report_silent(true);
        const int rounds = 12;
        std::thread loop([&] {
            for (int i = 0; i < rounds; i++) {
                q820.heartbeat();
                q820.wait_packet();
            }
        });
        std::thread zones([&] {
            for (int i = 0; i < rounds * 40; i++) {
                q820.m_defence = i;
                for (auto& z : q820.m_zone)
                    z = uint8_t(i);
            }
        });
        std::thread bus([&] {
            uint8_t st[16] = {1};
            for (int i = 0; i < rounds; i++) {
                q820.alarm_trigger(uint8_t(i), st, 16);
                q820.elevator_permit(ELEVATOR, 0);
                q820.card_logger(uint32_t(i), "");
            }
        });
        loop.join();
        zones.join();
        bus.join();
        ASSERT_TRUE(vsim::wait_until([&] { return server.count() == size_t(rounds * 3); }, WAIT_MS));
        std::vector<vsim::ServerDatagram> all = server.datagrams();
        int alarms = 0, logs = 0, heartbeats = 0;
        for (size_t i = 0; i < all.size(); i++) {
            const vsim::ServerDatagram& d = all[i];
            EXPECT_EQ(d.size(), 512u);
            EXPECT_TRUE(d.cid_ok());
            if (d.cmd() == 1) {
                EXPECT_EQ(d.u8(35), alarms++);
            }
            if (d.cmd() == 56) {
                EXPECT_EQ(d.be32(30), uint32_t(logs++));
            }
            heartbeats += d.cmd() == 4;
            // Half the wait is margin for the path; an overlap shows as next to none.
            if (i > 0) {
                EXPECT_GE(d.t_us - all[i - 1].t_us, 50000) << "request " << i << " overlapped an exchange";
            }
        }
        EXPECT_EQ(alarms, rounds);
        EXPECT_EQ(logs, rounds);
        EXPECT_EQ(heartbeats, rounds);
        EXPECT_TRUE(vsim::wait_until([&] { return elevator.count() == size_t(rounds); }, WAIT_MS));
    });
}

}  // namespace
