// The building-server loop of the real daemon: heartbeats and their timing on the
// terminal's (movable) wall clock, the server's clock taken over, requests echoed and
// dispatched, text messages and address answers passed to the applications.

#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include <string>
#include <vector>

#include "BusPeer.h"
#include "ElevatorEmu.h"
#include "ServerTest.h"
#include "dmsg.h"
#include "dxml.h"

using namespace servertest;

namespace {

const std::vector<uint8_t> MAC = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};

// The heartbeat due m_timeout seconds after the one taken in second last: not one
// second earlier, and in the second it falls due.
void expect_interval(vsim::Sandbox& sb, vsim::ServerEmu& server, int64_t last, int interval)
{
    size_t from = server.count();
    clock_to(sb, (last + interval - 1) * 1000000 + 50000);
    EXPECT_FALSE(server.wait(is_heartbeat, nullptr, 300, from)) << "a heartbeat came before " << interval << " s";
    from = server.count();
    clock_to(sb, (last + interval) * 1000000 + 50000);
    vsim::ServerDatagram d;
    ASSERT_TRUE(server.wait(is_heartbeat, &d, WAIT_MS, from)) << "no heartbeat after " << interval << " s";
    EXPECT_LT(d.wall_us, (last + interval + 1) * 1000000) << "the heartbeat waited past " << interval << " s";
    EXPECT_TRUE(settle(server));
}

TEST(Q820Loop, FirstHeartbeatAtOnceThenEveryTenSecondsUnanswered)
{
    vsim_run(terminal(), [](vsim::Sandbox& sb) {
        configure(sb);
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        ASSERT_TRUE(server.ok());
        server.set_heartbeat_silent(true);
        vsim::ServerDatagram d;
        ASSERT_TRUE(start(sb, server, &d));
        EXPECT_EQ(server.datagrams()[0].bytes, d.bytes) << "the heartbeat is the first thing sent";
        EXPECT_EQ(d.size(), 512u);
        EXPECT_EQ(d.peer, TERMINAL);
        EXPECT_EQ(d.peer_port, 8300);
        EXPECT_TRUE(d.cid_ok());
        EXPECT_EQ(d.cmd(), 4);
        EXPECT_EQ(d.type(), 1);
        EXPECT_EQ(d.host(), identity());
        EXPECT_EQ(d.slice(8 + 12, 8), zeros(8));
        EXPECT_EQ(d.slice(28, 6), MAC);
        EXPECT_EQ(d.u8(34), 0) << "defence";
        EXPECT_EQ(d.u8(35), 1) << "modules";
        EXPECT_EQ(d.slice(36, 512 - 36), zeros(512 - 36)) << "all zones 0, the rest zeros";

        int64_t last = aligned_heartbeat(sb, server, 11);
        ASSERT_GT(last, 0);
        expect_interval(sb, server, last, 10);
    });
}

TEST(Q820Loop, IntervalIsTheAnswersTimeoutLessOneAtLeastFive)
{
    struct Case {
        uint16_t timeout;
        int interval;
    };
    const std::vector<Case> cases = {{0, 5}, {1, 5}, {6, 5}, {7, 6}, {30, 29}, {65535, 65534}};
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        configure(sb);
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(start(sb, server));
        // The first heartbeat's answer made the interval 29 s.
        int64_t jump = 30;
        for (const Case& c : cases) {
            SCOPED_TRACE(c.timeout);
            server.set_timeout(c.timeout);
            int64_t last = aligned_heartbeat(sb, server, jump);
            ASSERT_GT(last, 0);
            jump = c.interval + 1;
            expect_interval(sb, server, last, c.interval);
            // The loop's own heartbeat (answered) took the time anew.
            last = aligned_heartbeat(sb, server, jump);
            ASSERT_GT(last, 0);
            // A clock set backwards by the interval also makes it due.
            size_t from = server.count();
            clock_to(sb, (last - c.interval + 1) * 1000000 + 50000);
            EXPECT_FALSE(server.wait(is_heartbeat, nullptr, 300, from));
            clock_to(sb, (last - c.interval) * 1000000 + 50000);
            EXPECT_TRUE(server.wait(is_heartbeat, nullptr, WAIT_MS, from));
            EXPECT_TRUE(settle(server));
        }
    });
}

// The server's date is taken over only when it is more than 10 s off, and only when it
// names a real time.
TEST(Q820Loop, ClockTakenOverOnlyBeyondTenSeconds)
{
    struct Case {
        const char* name;
        bool fixed;
        int64_t offset;
        vsim::ServerDate date;
        bool set;
    };
    const std::vector<Case> cases = {
        {"10 s ahead", false, 10, {}, false},
        {"10 s behind", false, -10, {}, false},
        {"11 s ahead", false, 11, {}, true},
        {"11 s behind", false, -11, {}, true},
        {"a year ahead", false, 365 * 86400, {}, true},
        {"all zeros", true, 0, {0, 0, 0, 0, 0, 0}, false},
        {"month 13", true, 0, {2030, 13, 1, 0, 0, 0}, false},
        {"30 February", true, 0, {2030, 2, 30, 12, 0, 0}, false},
        {"hour 24", true, 0, {2030, 3, 1, 24, 0, 0}, false},
        {"a fixed date", true, 0, {2030, 6, 15, 12, 34, 56}, true},
    };
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        configure(sb);
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(start(sb, server));
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            if (c.fixed)
                server.set_date(c.date);
            else
                server.set_date_offset(c.offset);
            size_t sets = sb.clock_sets().size();
            int64_t second = aligned_heartbeat(sb, server, 31);
            ASSERT_GT(second, 0);
            int64_t expected = second + c.offset;
            if (c.fixed) {
                tm t{};
                t.tm_year = c.date.year - 1900;
                t.tm_mon = c.date.month - 1;
                t.tm_mday = c.date.day;
                t.tm_hour = c.date.hour;
                t.tm_min = c.date.minute;
                t.tm_sec = c.date.second;
                expected = timegm(&t);  // the terminal's zone is UTC
            }
            if (c.set) {
                ASSERT_TRUE(vsim::wait_until([&] { return sb.clock_sets().size() > sets; }, WAIT_MS));
                std::vector<vsim::ClockSet> all = sb.clock_sets();
                ASSERT_EQ(all.size(), sets + 1);
                EXPECT_EQ(all.back().sec, expected);
                EXPECT_EQ(all.back().usec, 0);
                EXPECT_LE(std::llabs(sb.now() - expected), 2) << "the terminal's clock follows";
            } else {
                EXPECT_FALSE(vsim::wait_until([&] { return sb.clock_sets().size() > sets; }, 500));
            }
        }
    });
}

// Every request is answered by its own echo (type 2, to the configured server) before
// it is acted on; answers of unknown codes are dropped.
TEST(Q820Loop, RequestsAreEchoedToTheServer)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> packet;
        bool echoed;
    };
    std::vector<uint8_t> unknown = vsim::ServerEmu::header(99, 1);
    for (int i = 0; i < 100; i++)
        unknown.push_back(uint8_t(i * 7));
    unknown.resize(512);
    std::vector<uint8_t> big = vsim::ServerEmu::card_packet(54, 9, 1, {{1234, "S00010101010"}});
    std::vector<uint8_t> bare = {'X', 'X', 'X', 'C', 'I', 'D', 98, 1};
    std::vector<uint8_t> seven = {'X', 'X', 'X', 'C', 'I', 'D', 98};
    std::vector<uint8_t> answer = vsim::ServerEmu::header(99, 2);
    answer.resize(512);
    std::vector<uint8_t> nocid = unknown;
    memcpy(nocid.data(), "ABCDEF", 6);
    const std::vector<Case> cases = {
        {"unknown code 99", unknown, true},
        {"a whole record is echoed in its first 512 bytes", big, true},
        {"8 bytes are a request", bare, true},
        {"7 bytes are not", seven, false},
        {"an answer of an unknown code", answer, false},
        {"any cid", nocid, true},
    };
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        configure(sb);
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        vsim::BusPeer ui(9801), talk(9800), apps(9832);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(start(sb, server));
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            size_t from = server.count();
            ASSERT_TRUE(server.send_raw(c.packet));
            std::vector<uint8_t> echo = c.packet;
            echo.resize(512);
            if (echo[7] == 1)
                echo[7] = 2;
            bool got = server.wait([&](const vsim::ServerDatagram& d) { return d.bytes == echo; }, nullptr,
                                   c.echoed ? WAIT_MS : 500, from);
            EXPECT_EQ(got, c.echoed);
        }
        // A request from anywhere is answered to the configured server.
        ASSERT_TRUE(vsim::lan_add_address(sb, "eth0-lan", "192.168.12.60", 24));
        vsim::ServerEmu other(sb, "192.168.12.60", TERMINAL);
        ASSERT_TRUE(other.ok());
        size_t from = server.count();
        ASSERT_TRUE(other.send_raw(unknown));
        std::vector<uint8_t> echo = unknown;
        echo[7] = 2;
        EXPECT_TRUE(server.wait([&](const vsim::ServerDatagram& d) { return d.bytes == echo; }, nullptr, WAIT_MS,
                                from));
        EXPECT_EQ(other.count(), 0u);
        // Only the table's card addition reached an application.
        for (vsim::BusPeer* p : {&ui, &talk, &apps})
            for (const vsim::BusMessage& m : p->messages())
                EXPECT_EQ(m.path, "/ui/center/card2");
    });
}

TEST(Q820Loop, TextIsEchoedThenPostedOnce)
{
    vsim_run(terminal(), [](vsim::Sandbox& sb) {
        configure(sb);
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        vsim::BusPeer apps(9832);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(apps.ok());
        ASSERT_TRUE(start(sb, server));

        std::vector<uint8_t> text = vsim::ServerEmu::text_packet(7, 1, "Lift out of order <today> & tomorrow");
        ASSERT_TRUE(server.send_raw(text));
        vsim::ServerDatagram echo;
        ASSERT_TRUE(server.wait_cmd(3, 2, &echo, WAIT_MS));
        std::vector<uint8_t> expected = text;
        expected[7] = 2;
        EXPECT_EQ(echo.bytes, expected);
        vsim::BusMessage m;
        ASSERT_TRUE(apps.wait("/apps/center/text", &m, WAIT_MS));
        dxml doc(m.body.c_str());
        EXPECT_EQ(doc.getInt("/params/type", -1), 7);
        EXPECT_STREQ(doc.getText("/params/data", ""), "Lift out of order <today> & tomorrow");
        EXPECT_LE(echo.t_us, m.t_us) << "the echo went out before the text was posted";
        // The text was taken between its echo and its post.
        int64_t accepted = echo.wall_us + (m.t_us - echo.t_us) / 2;

        // The same seq, however late: echoed, not posted.
        clock_to(sb, accepted + 5000000);
        size_t from = server.count();
        ASSERT_TRUE(server.send_text(7, 1, "repeat"));
        ASSERT_TRUE(server.wait_cmd(3, 2, nullptr, WAIT_MS, from));
        // A new seq within 300 ms of the acceptance (the clock put back near it):
        // echoed, not posted.
        clock_to(sb, accepted - 100000);
        from = server.count();
        ASSERT_TRUE(server.send_text(7, 2, "too soon"));
        ASSERT_TRUE(server.wait_cmd(3, 2, nullptr, WAIT_MS, from));
        // Later: posted.
        clock_to(sb, accepted + 2000000);
        from = server.count();
        ASSERT_TRUE(server.send_text(8, 3, "later"));
        ASSERT_TRUE(server.wait_cmd(3, 2, nullptr, WAIT_MS, from));
        ASSERT_TRUE(vsim::wait_until([&] { return apps.messages().size() >= 2; }, WAIT_MS));
        std::vector<vsim::BusMessage> all = apps.messages();
        ASSERT_EQ(all.size(), 2u);
        dxml later(all[1].body.c_str());
        EXPECT_STREQ(later.getText("/params/data", ""), "later");
        EXPECT_EQ(later.getInt("/params/type", -1), 8);
    });
}

TEST(Q820Loop, DatagramDuringTheHeartbeatWaitIsItsAnswer)
{
    vsim_run(terminal(), [](vsim::Sandbox& sb) {
        configure(sb);
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        vsim::BusPeer apps(9832);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(start(sb, server));
        // The server answers the next heartbeat with a text request instead.
        server.set_responder([](const vsim::ServerDatagram& in, std::vector<uint8_t>* reply) {
            if (!is_heartbeat(in))
                return false;
            *reply = vsim::ServerEmu::text_packet(1, 77, "swallowed");
            return true;
        });
        ASSERT_GT(aligned_heartbeat(sb, server, 30), 0);
        server.set_responder(nullptr);
        sb.clock_advance(2000000);
        size_t from = server.count();
        ASSERT_TRUE(server.send_text(1, 78, "seen"));
        vsim::ServerDatagram echo;
        ASSERT_TRUE(server.wait_cmd(3, 2, &echo, WAIT_MS, from));
        EXPECT_EQ(echo.le32(30), 78u);
        ASSERT_TRUE(apps.wait("/apps/center/text", nullptr, WAIT_MS));
        for (const vsim::ServerDatagram& d : server.datagrams())
            EXPECT_FALSE(d.cmd() == 3 && d.le32(30) == 77) << "the heartbeat's answer was echoed";
        std::vector<vsim::BusMessage> all = apps.messages();
        ASSERT_EQ(all.size(), 1u);
        dxml doc(all[0].body.c_str());
        EXPECT_STREQ(doc.getText("/params/data", ""), "seen");
    });
}

TEST(Q820Loop, AddressAnswersReachTalkOnlyWithQ210)
{
    for (int q210 : {1, 0}) {
        SCOPED_TRACE(q210);
        vsim_run(terminal(), [&](vsim::Sandbox& sb) {
            configure(sb, "<q210>" + std::to_string(q210) + "</q210>");
            vsim::ServerEmu server(sb, SERVER, TERMINAL);
            vsim::BusPeer talk(9800), apps(9832);
            ASSERT_TRUE(server.ok());
            ASSERT_TRUE(start(sb, server));
            ASSERT_TRUE(server.send_raw(vsim::ServerEmu::query_answer(
                TERMINAL, {{"S00210407011", "192.168.12.101"}, {"S00210407021", "192.168.12.102"}})));
            // A text behind it shows that the loop has been past the answer.
            ASSERT_TRUE(server.send_text(1, 5, "behind"));
            ASSERT_TRUE(apps.wait("/apps/center/text", nullptr, WAIT_MS));
            std::vector<vsim::BusMessage> got = talk.messages();
            if (!q210) {
                EXPECT_TRUE(got.empty());
                return;
            }
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0].path, "/talk/center/query");
            dxml doc(got[0].body.c_str());
            EXPECT_EQ(doc.getInt("/params/ips", -1), 2);
            EXPECT_STREQ(doc.getText("/params/name0", ""), "S00210407011");
            EXPECT_STREQ(doc.getText("/params/ip0", ""), "192.168.12.101");
            EXPECT_STREQ(doc.getText("/params/name1", ""), "S00210407021");
            EXPECT_STREQ(doc.getText("/params/ip1", ""), "192.168.12.102");
            for (const vsim::ServerDatagram& d : server.datagrams())
                EXPECT_NE(d.cmd(), 155) << "an answer is not echoed";
        });
    }
}

// Without its port the link is dead but harmless: start-up says why, nothing goes out
// from any other port, and the daemon goes on serving the bus.
TEST(Q820Loop, PortTakenLeavesTheLinkSilent)
{
    vsim_run(terminal(), [](vsim::Sandbox& sb) {
        configure(sb);
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        ASSERT_TRUE(server.ok());
        int holder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(8300);
        ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
        ASSERT_GT(sb.start_daemon(), 0);
        ASSERT_TRUE(sb.wait_stderr("__q820::start bind: ", WAIT_MS));
        for (int i = 0; i < 3; i++) {
            sb.clock_advance(11000000);
            dmsg m;
            EXPECT_EQ(m.request("/control/q820/none", ""), 400) << "the bus is still served";
        }
        EXPECT_FALSE(server.wait([](const vsim::ServerDatagram&) { return true; }, nullptr, 500));
        EXPECT_TRUE(sb.daemon_running());
        close(holder);
    });
}

}  // namespace
