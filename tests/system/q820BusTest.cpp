// The server link driven from the message bus of the real daemon: the zone states that
// the heartbeat carries, address queries and their answers, and reports sent from the
// bus thread while the loop runs.

#include <string>
#include <thread>
#include <vector>

#include "BusPeer.h"
#include "ElevatorEmu.h"
#include "ServerTest.h"
#include "dmsg.h"
#include "dxml.h"

using namespace servertest;

namespace {

// A request to the daemon; its answer may come too late for the requester on a busy
// machine, while the request itself is still handled in its turn.
int post(const std::string& path, const std::string& body)
{
    dmsg m;
    return m.request(path.c_str(), body.c_str());
}

// Handlers run one at a time, in arrival order: once a request that comes after the
// others is answered, they have all run.
bool bus_done()
{
    for (int i = 0; i < 20; i++)
        if (post("/control/q820/none", "") == 400)
            return true;
    return false;
}

TEST(Q820Bus, HeartbeatCarriesTheZoneStates)
{
    vsim_run(terminal(), [](vsim::Sandbox& sb) {
        configure(sb);
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(start(sb, server));
        std::string body = "<params><defence>259</defence>";
        for (int i = 0; i < 8; i++)
            body += "<zone" + std::to_string(i) + ">" + std::to_string(10 + i) + "</zone" + std::to_string(i) + ">";
        body += "</params>";
        post("/control/q820/zone", body);
        ASSERT_TRUE(bus_done());
        vsim::ServerDatagram d;
        ASSERT_GT(aligned_heartbeat(sb, server, 30, &d), 0);
        EXPECT_EQ(d.u8(34), 3) << "the low byte of the defence state";
        EXPECT_EQ(d.u8(35), 1);
        for (int i = 0; i < 8; i++) {
            std::vector<uint8_t> entry(10, 0);
            entry[2] = uint8_t(10 + i);
            EXPECT_EQ(d.slice(36 + 10 * i, 10), entry) << "zone " << i;
        }
        EXPECT_EQ(d.slice(116, 512 - 116), zeros(512 - 116));
    });
}

// A query goes out only with the switch on; the server's answer comes back through
// the loop to the talk application.
TEST(Q820Bus, AddressQueryRoundTrip)
{
    for (int q210 : {1, 0}) {
        SCOPED_TRACE(q210);
        vsim_run(terminal(), [&](vsim::Sandbox& sb) {
            configure(sb, "<q210>" + std::to_string(q210) + "</q210>");
            vsim::ServerEmu server(sb, SERVER, TERMINAL);
            vsim::BusPeer talk(9800);
            ASSERT_TRUE(server.ok());
            server.set_directory({{"S00210407011", "192.168.12.101"},
                                  {"S00219999999", "192.168.12.199"},
                                  {"S00210407012", "192.168.12.102"}});
            ASSERT_TRUE(start(sb, server));
            post("/control/q820/query", "<params><host>S002104070</host></params>");
            // The query has gone out now or never will. (A report behind it would take
            // the server's answer as its own.)
            ASSERT_TRUE(bus_done());
            vsim::ServerDatagram q;
            bool asked = server.wait_cmd(155, 1, &q, q210 ? WAIT_MS : 300);
            ASSERT_EQ(asked, q210 == 1);
            if (!q210)
                return;
            EXPECT_EQ(q.size(), 512u);
            EXPECT_EQ(q.host(), identity());
            EXPECT_EQ(q.slice(28, 4), (std::vector<uint8_t>{192, 168, 12, 100}));
            EXPECT_EQ(q.text(32, 20), "S002104070");
            vsim::BusMessage m;
            ASSERT_TRUE(talk.wait("/talk/center/query", &m, WAIT_MS));
            dxml doc(m.body.c_str());
            EXPECT_EQ(doc.getInt("/params/ips", -1), 2);
            EXPECT_STREQ(doc.getText("/params/name0", ""), "S00210407011");
            EXPECT_STREQ(doc.getText("/params/ip0", ""), "192.168.12.101");
            EXPECT_STREQ(doc.getText("/params/name1", ""), "S00210407012");
            EXPECT_STREQ(doc.getText("/params/ip1", ""), "192.168.12.102");
        });
    }
}

// Reports from the bus thread and the loop's traffic share the socket: every report
// goes out once and whole, every text still reaches the applications, and the
// daemon's threads stay free of races (a sanitizer build reports them on stderr).
TEST(Q820Bus, ReportsFromTheBusWhileTheLoopRuns)
{
    vsim_run(terminal(), [](vsim::Sandbox& sb) {
        configure(sb);
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        vsim::ElevatorEmu elevator(sb, "192.168.12.50");
        vsim::BusPeer apps(9832);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(elevator.ok());
        ASSERT_TRUE(apps.ok());
        ASSERT_TRUE(start(sb, server));
        const int rounds = 15;
        std::thread bus([&] {
            for (int i = 0; i < rounds; i++) {
                post("/control/q820/alarm_trigger",
                     "<params><sp>" + std::to_string(i) + "</sp><io3>1</io3></params>");
                post("/control/elevator/permit", "<params><ip>192.168.12.50</ip></params>");
                post("/control/q820/zone", "<params><defence>" + std::to_string(i) + "</defence></params>");
            }
        });
        for (int i = 0; i < 5; i++) {
            sb.clock_advance(1000000);
            size_t from = server.count();
            ASSERT_TRUE(server.send_text(2, uint32_t(500 + i), "text " + std::to_string(i)));
            // A text that arrived during a report's wait is that report's answer:
            // sent again, as a server does without its echo.
            while (!server.wait([&](const vsim::ServerDatagram& d) { return d.cmd() == 3 && d.type() == 2 &&
                                                                             d.le32(30) == uint32_t(500 + i); },
                                nullptr, 300, from))
                ASSERT_TRUE(server.send_text(2, uint32_t(500 + i), "text " + std::to_string(i)));
            // The echo goes out before the text is taken: the clock moves on only once
            // it has been posted, or the next text would fall within its 300 ms.
            ASSERT_TRUE(vsim::wait_until([&] { return apps.messages().size() == size_t(i + 1); }, WAIT_MS));
        }
        bus.join();
        ASSERT_TRUE(server.wait([](const vsim::ServerDatagram& d) { return d.cmd() == 1 && d.u8(35) == rounds - 1; },
                                nullptr, WAIT_MS));
        int alarms = 0;
        for (const vsim::ServerDatagram& d : server.datagrams()) {
            EXPECT_EQ(d.size(), 512u);
            if (d.cmd() != 1)
                continue;
            EXPECT_EQ(d.u8(35), alarms++) << "alarms in order, each once";
            EXPECT_EQ(d.slice(37, 4), (std::vector<uint8_t>{0x08, 0, 0, 0}));
        }
        EXPECT_EQ(alarms, rounds);
        EXPECT_TRUE(vsim::wait_until([&] { return elevator.count() == size_t(rounds); }, WAIT_MS));
        EXPECT_EQ(apps.messages().size(), 5u) << "each text posted once";
        EXPECT_EQ(sb.daemon_stderr().find("ThreadSanitizer"), std::string::npos) << sb.daemon_stderr();
    });
}

}  // namespace
