// The message bus in a sandbox of its own per test: every test opens the endpoint
// "/control" on 127.0.0.1:9804 of a private network namespace.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BusPeer.h"
#include "dmsg.h"
#include "vsim_test.h"

namespace {

const int CONTROL_PORT = 9804;
const int WAIT_MS = 3000;

// What the handlers saw, in the order they ran.
struct Record {
    std::string name;
    bool has_body;
    std::string body;
};

std::mutex g_mutex;
std::condition_variable g_cond;
std::vector<Record> g_records;

void record(const char* name, const char* body)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_records.push_back({name, body != nullptr, body ? body : ""});
    }
    g_cond.notify_all();
}

std::vector<Record> records()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_records;
}

// The daemon's handlers answer first and read their body afterwards.
void on_led(const char* body)
{
    dmsg_ack(200, nullptr);
    record("led", body);
}

void on_echo(const char* body)
{
    dmsg_ack(200, body);
    record("echo", body);
}

// Answers with a body far longer than the request, then reads the request.
void on_long_answer(const char* body)
{
    static const std::string answer(1000, 'a');
    dmsg_ack(200, answer.c_str());
    record("long_answer", body);
}

// Answers with more than one datagram can hold.
void on_huge_answer(const char*)
{
    static const std::string answer(70000, 'h');
    dmsg_ack(200, answer.c_str());
}

void on_probe(const char*)
{
    dmsg_ack(200, "probe");
    record("probe", nullptr);
}

void on_first(const char* body)
{
    dmsg_ack(200, "first");
    record("first", body);
}

void on_second(const char* body)
{
    dmsg_ack(200, "second");
    record("second", body);
}

// Registered under many paths; the requester puts the path into the body.
void on_numbered(const char* body)
{
    dmsg_ack(200, body);
    record("numbered", body);
}

// A UDP socket on 127.0.0.1 that speaks raw datagrams to an endpoint.
class RawClient {
public:
    RawClient()
    {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) < 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~RawClient()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    bool ok() const { return m_fd >= 0; }

    bool send(const std::string& datagram, int port = CONTROL_PORT)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return sendto(m_fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a)) ==
               ssize_t(datagram.size());
    }

    bool recv(std::string* out, int timeout_ms = WAIT_MS)
    {
        pollfd p = {m_fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1)
            return false;
        std::vector<char> buf(70000);
        ssize_t n = ::recv(m_fd, buf.data(), buf.size(), 0);
        if (n < 0)
            return false;
        out->assign(buf.data(), n);
        return true;
    }

private:
    int m_fd = -1;
};

const char PROBE[] = "POST /control/probe MSG/1.0\r\n\r\n";
const char ANSWER_200[] = "MSG/1.0 200 OK\r\n\r\n";
const char ANSWER_400[] = "MSG/1.0 400 OK\r\n\r\n";

// Sends one datagram followed by a probe from the same socket. Datagrams are handled
// in arrival order, so everything the first one caused (answers, handler calls) comes
// before the probe's answer: no waiting for something that must not happen.
bool exchange(const std::string& datagram, std::vector<std::string>* answers, std::vector<Record>* handled)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_records.clear();
    }
    RawClient c;
    if (!c.ok() || !c.send(datagram) || !c.send(PROBE))
        return false;
    answers->clear();
    for (;;) {
        std::string a;
        if (!c.recv(&a))
            return false;
        if (a == std::string(ANSWER_200) + "probe")
            break;
        answers->push_back(a);
    }
    handled->clear();
    for (const Record& r : records())
        if (r.name != "probe")
            handled->push_back(r);
    return true;
}

void open_control()
{
    ASSERT_EQ(dmsg_init("/control"), 0);
    ASSERT_EQ(dmsg_setup("/control/probe", on_probe), 0);
}

} // namespace

TEST(dmsg, portIsTheFirstEndpointThatPrefixesThePath)
{
    struct Case {
        const char* url;
        int port;
    } cases[] = {
        {"/talk", 9800},        {"/ui/key/open", 9801}, {"/uix", 9801},       {"/monitor/x", 9802},
        {"/upgrade", 9803},     {"/control/led", 9804}, {"/media/a", 9805},   {"/security/io", 9830},
        {"/smart", 9831},       {"/apps/x", 9832},      {"/settings/y", 9833}, {"/exApp/io", 9850},
        {"/wx/a", 9860},        {"/face/b", 9861},      {"/nothing", -1},     {"", -1},
        {"ui/key", -1},         {"/u", -1},             {nullptr, -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(dmsg_port(c.url), c.port) << (c.url ? c.url : "(null)");
}

TEST(dmsg, dispatchByExactPath)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox&) {
        open_control();
        ASSERT_EQ(dmsg_setup("/control/led", on_led), 0);
        std::string longest = "/control/" + std::string(DMSG_TOKEN - 9, 'p');
        ASSERT_EQ(longest.size(), size_t(DMSG_TOKEN));
        ASSERT_EQ(dmsg_setup(longest.c_str(), on_led), 0);

        const char* none = nullptr;
        struct Case {
            std::string datagram;
            const char* answer;  // nullptr: no answer at all
            bool handled;
            const char* body;  // nullptr: the handler got a null body
        } cases[] = {
            {"POST /control/led MSG/1.0\r\n\r\n<params><led>1</led></params>", ANSWER_200, true,
             "<params><led>1</led></params>"},
            {"POST /control/led MSG/1.0\r\n\r\n", ANSWER_200, true, ""},
            {"POST /control/led MSG/1.0", ANSWER_200, true, none},
            {"POST /control/led MSG/1.0\r\n", ANSWER_200, true, none},
            {"POST /control/led MSG/1.0\r\n\r\na\r\n\r\nb", ANSWER_200, true, "a\r\n\r\nb"},
            {"POST  /control/led \t MSG/1.0\r\n\r\nx", ANSWER_200, true, "x"},
            {"POST /control/led\r\n\r\nx", ANSWER_200, true, "x"},
            {"POST /control/led " + std::string(300, 'v') + "\r\n\r\nx", ANSWER_200, true, "x"},
            {"POST " + longest + " MSG/1.0\r\n\r\nL", ANSWER_200, true, "L"},
            {"POST /control/led/ MSG/1.0\r\n\r\n", ANSWER_400, false, none},
            {"POST /control/le MSG/1.0\r\n\r\n", ANSWER_400, false, none},
            {"POST /control/ledx MSG/1.0\r\n\r\n", ANSWER_400, false, none},
            {"POST /control/nothing MSG/1.0\r\n\r\nbody", ANSWER_400, false, none},
            {"POST", ANSWER_400, false, none},
            {"POST " + longest + "p MSG/1.0\r\n\r\n", ANSWER_400, false, none},
            {"POST /control/" + std::string(5000, 'x') + " MSG/1.0\r\n\r\n", ANSWER_400, false, none},
            {"GET /control/led MSG/1.0\r\n\r\n", none, false, none},
            {"post /control/led MSG/1.0\r\n\r\n", none, false, none},
            {"POSTX /control/led MSG/1.0\r\n\r\n", none, false, none},
            {"XPOST /control/led MSG/1.0\r\n\r\n", none, false, none},
            {std::string(200, 'P') + " /control/led MSG/1.0\r\n\r\n", none, false, none},
            {"\r\n\r\n", none, false, none},
            {"", none, false, none},
        };
        for (const Case& c : cases) {
            std::string what = c.datagram.substr(0, 60);
            std::vector<std::string> answers;
            std::vector<Record> handled;
            ASSERT_TRUE(exchange(c.datagram, &answers, &handled)) << what;
            if (c.answer) {
                ASSERT_EQ(answers.size(), 1u) << what;
                EXPECT_EQ(answers[0], c.answer) << what;
            } else {
                EXPECT_TRUE(answers.empty()) << what;
            }
            if (c.handled) {
                ASSERT_EQ(handled.size(), 1u) << what;
                EXPECT_EQ(handled[0].has_body, c.body != nullptr) << what;
                if (c.body) {
                    EXPECT_EQ(handled[0].body, c.body) << what;
                }
            } else {
                EXPECT_TRUE(handled.empty()) << what;
            }
        }
    });
}

TEST(dmsg, answeringLeavesTheRequestBodyReadable)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox&) {
        open_control();
        ASSERT_EQ(dmsg_setup("/control/led", on_led), 0);
        ASSERT_EQ(dmsg_setup("/control/echo", on_echo), 0);
        ASSERT_EQ(dmsg_setup("/control/long_answer", on_long_answer), 0);

        const std::string body = "<params><onoff>1</onoff><index>0</index></params>";
        struct Case {
            const char* path;
            const char* name;
            std::string answer;
        } cases[] = {
            {"/control/led", "led", ANSWER_200},
            {"/control/echo", "echo", ANSWER_200 + body},
            {"/control/long_answer", "long_answer", ANSWER_200 + std::string(1000, 'a')},
        };
        for (const Case& c : cases) {
            std::vector<std::string> answers;
            std::vector<Record> handled;
            ASSERT_TRUE(exchange(std::string("POST ") + c.path + " MSG/1.0\r\n\r\n" + body, &answers, &handled));
            ASSERT_EQ(answers.size(), 1u) << c.path;
            EXPECT_EQ(answers[0], c.answer) << c.path;
            ASSERT_EQ(handled.size(), 1u) << c.path;
            EXPECT_EQ(handled[0].name, c.name);
            EXPECT_EQ(handled[0].body, body) << c.path;
        }
    });
}

TEST(dmsg, largestDatagramsBothWays)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox&) {
        open_control();
        ASSERT_EQ(dmsg_setup("/control/led", on_led), 0);
        ASSERT_EQ(dmsg_setup("/control/huge_answer", on_huge_answer), 0);

        // A request of the largest loopback size reaches its handler whole.
        std::string head = "POST /control/led MSG/1.0\r\n\r\n";
        std::string body(DMSG_DATAGRAM_MAX - head.size() - 1, 'b');
        body += 'E';
        std::vector<std::string> answers;
        std::vector<Record> handled;
        ASSERT_TRUE(exchange(head + body, &answers, &handled));
        ASSERT_EQ(handled.size(), 1u);
        EXPECT_EQ(handled[0].body.size(), body.size());
        EXPECT_TRUE(handled[0].body == body);

        // An answer longer than a datagram is cut to the largest one, code intact.
        dmsg m;
        EXPECT_EQ(m.request("/control/huge_answer", nullptr), 200);
        ASSERT_NE(m.body(), nullptr);
        EXPECT_EQ(strlen(m.body()), size_t(DMSG_DATAGRAM_MAX) - strlen(ANSWER_200));
        EXPECT_EQ(std::string(m.body()).find_first_not_of('h'), std::string::npos);
    });
}

TEST(dmsg, handlerTableHolds128AndTheFirstOfTwoRegistrationsWins)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox&) {
        ASSERT_EQ(dmsg_init("/control"), 0);
        // Refused registrations take no entry.
        EXPECT_EQ(dmsg_setup(("/control/" + std::string(DMSG_TOKEN - 8, 'x')).c_str(), on_numbered), -1);
        EXPECT_EQ(dmsg_setup(nullptr, on_numbered), -1);
        EXPECT_EQ(dmsg_setup("/control/nofunc", nullptr), -1);

        ASSERT_EQ(dmsg_setup("/control/dup", on_first), 0);
        ASSERT_EQ(dmsg_setup("/control/dup", on_second), 0);
        for (int i = 2; i < DMSG_HANDLERS; i++)
            ASSERT_EQ(dmsg_setup(("/control/t" + std::to_string(i)).c_str(), on_numbered), 0) << i;
        EXPECT_EQ(dmsg_setup("/control/t128", on_numbered), -1);
        EXPECT_EQ(dmsg_setup("/control/t2", on_second), -1);

        dmsg m;
        for (int i : {2, 64, 127}) {
            std::string path = "/control/t" + std::to_string(i);
            EXPECT_EQ(m.request(path.c_str(), path.c_str()), 200) << path;
            ASSERT_NE(m.body(), nullptr);
            EXPECT_STREQ(m.body(), path.c_str());
        }
        EXPECT_EQ(m.request("/control/t128", "x"), 400);
        EXPECT_STREQ(m.body(), "");
        for (int round = 0; round < 3; round++) {
            EXPECT_EQ(m.request("/control/dup", "d"), 200);
            ASSERT_NE(m.body(), nullptr);
            EXPECT_STREQ(m.body(), "first");
        }
        for (const Record& r : records())
            EXPECT_NE(r.name, "second");
    });
}

TEST(dmsg, registrationWhileRequestsArrive)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox&) {
        ASSERT_EQ(dmsg_init("/control"), 0);
        const int paths = 100;
        std::atomic<bool> done(false);
        std::atomic<int> bad(0);
        std::thread asker([&] {
            dmsg m;
            int i = 0;
            while (!done.load()) {
                std::string path = "/control/r" + std::to_string(i % paths);
                int code = m.request(path.c_str(), path.c_str());
                if (code == 200 ? (m.body() == nullptr || path != m.body()) : code != 400)
                    bad++;
                i++;
            }
        });
        for (int i = 0; i < paths; i++)
            ASSERT_EQ(dmsg_setup(("/control/r" + std::to_string(i)).c_str(), on_numbered), 0);
        dmsg m;
        for (int i = 0; i < paths; i++) {
            std::string path = "/control/r" + std::to_string(i);
            EXPECT_EQ(m.request(path.c_str(), path.c_str()), 200) << path;
        }
        done = true;
        asker.join();
        EXPECT_EQ(bad.load(), 0);
    });
}

TEST(dmsg, requestWireFormat)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox&) {
        vsim::BusPeer ui(9801);
        ASSERT_TRUE(ui.ok());
        dmsg m;
        EXPECT_EQ(m.request("/ui/w350/key", "<params><data>5</data></params>"), 200);
        ASSERT_NE(m.body(), nullptr);
        EXPECT_STREQ(m.body(), "");
        EXPECT_EQ(m.request("/ui/w350/card", nullptr), 200);
        EXPECT_EQ(m.request("/uiextra", ""), 200);

        std::vector<vsim::BusMessage> got = ui.messages();
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[0].raw, "POST /ui/w350/key MSG/1.0\r\n\r\n<params><data>5</data></params>");
        EXPECT_EQ(got[1].raw, "POST /ui/w350/card MSG/1.0\r\n\r\n");
        EXPECT_EQ(got[2].raw, "POST /uiextra MSG/1.0\r\n\r\n");
    });
}

TEST(dmsg, requestParsesTheAnswer)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox&) {
        vsim::BusPeer security(9830);
        ASSERT_TRUE(security.ok());
        std::string big_body(DMSG_DATAGRAM_MAX - strlen(ANSWER_200), 'z');
        const char* none = nullptr;
        struct Case {
            std::string answer;
            int code;
            const char* body;  // nullptr: body() is null
        } cases[] = {
            {"MSG/1.0 200 OK\r\n\r\n", 200, ""},
            {"MSG/1.0 200 OK", 200, none},
            {"MSG/1.0 200 OK\r\n", 200, none},
            {"MSG/1.0 200 OK\r\n\r\n<params><a>1</a></params>", 200, "<params><a>1</a></params>"},
            {"MSG/1.0 400 OK\r\n\r\n", 400, ""},
            {"MSG/1.0 503 Busy\r\n\r\nb", 503, "b"},
            {"MSG/1.0 -7 OK\r\n\r\n", -7, ""},
            {"ANY 201 WORDS\r\n\r\n\r\n\r\nx", 201, "\r\n\r\nx"},
            {"MSG/1.0 99999999999 OK\r\n\r\n", -1, ""},
            {"garbage", -1, none},
            {"MSG/1.0", -1, none},
            {"", -1, none},
            {ANSWER_200 + big_body, 200, big_body.c_str()},
        };
        dmsg m;
        for (const Case& c : cases) {
            std::string what = c.answer.substr(0, 40);
            security.set_raw_answer(c.answer);
            EXPECT_EQ(m.request("/security/io", "<params/>"), c.code) << what;
            if (c.body) {
                ASSERT_NE(m.body(), nullptr) << what;
                EXPECT_STREQ(m.body(), c.body) << what;
            } else {
                EXPECT_EQ(m.body(), nullptr) << what;
            }
        }
        // An answer whose code does not parse gives -1 whatever its body.
        security.set_raw_answer("MSG/1.0 abc OK\r\n\r\nx");
        EXPECT_EQ(m.request("/security/io", nullptr), -1);
    });
}

TEST(dmsg, requestWithoutAUsableAnswer)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox&) {
        dmsg m;
        vsim::BusPeer talk(9800);
        ASSERT_TRUE(talk.ok());
        ASSERT_EQ(m.request("/talk/a", nullptr), 200);
        ASSERT_NE(m.body(), nullptr);

        // No endpoint for the path: refused before anything is sent.
        testing::internal::CaptureStderr();
        EXPECT_EQ(m.request("/nowhere/x", "b"), -1);
        EXPECT_EQ(m.request(nullptr, "b"), -1);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("dmsg::request /nowhere/x not in service!\n"), std::string::npos) << err;
        EXPECT_EQ(m.body(), nullptr);

        // Nobody listens on 9801; the call gives up and returns.
        EXPECT_EQ(m.request("/ui/key", "<params/>"), -1);
        EXPECT_EQ(m.body(), nullptr);

        // A listener that never answers.
        talk.set_silent(true);
        EXPECT_EQ(m.request("/talk/b", "<params/>"), -1);
        EXPECT_EQ(m.body(), nullptr);
        EXPECT_TRUE(talk.wait("/talk/b", nullptr, WAIT_MS));
    });
}

TEST(dmsg, requestsThatCannotBeSentWholeAreRefused)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox&) {
        vsim::BusPeer ui(9801);
        ASSERT_TRUE(ui.ok());
        dmsg m;
        std::string head = "POST /ui/big MSG/1.0\r\n\r\n";
        std::string fits(DMSG_DATAGRAM_MAX - head.size(), 'f');
        std::string path127 = "/ui/" + std::string(DMSG_TOKEN - 4, 'p');

        testing::internal::CaptureStderr();
        EXPECT_EQ(m.request("/ui/big", (fits + "X").c_str()), -1);
        EXPECT_EQ(m.request("/ui/big", std::string(DMSG_BUFFER * 2, 'o').c_str()), -1);
        EXPECT_EQ(m.request((path127 + "p").c_str(), nullptr), -1);
        EXPECT_EQ(m.request("/ui/a b", nullptr), -1);
        EXPECT_EQ(m.request("/ui/a\r\n", nullptr), -1);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("dmsg::request /ui/big too long!\n"), std::string::npos) << err;
        EXPECT_EQ(ui.messages().size(), 0u);

        // The largest that fit go out whole.
        EXPECT_EQ(m.request("/ui/big", fits.c_str()), 200);
        EXPECT_EQ(m.request(path127.c_str(), nullptr), 200);
        std::vector<vsim::BusMessage> got = ui.messages();
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].raw.size(), size_t(DMSG_DATAGRAM_MAX));
        EXPECT_TRUE(got[0].body == fits);
        EXPECT_EQ(got[1].path, path127);
    });
}

TEST(dmsg, concurrentRequestsKeepTheirOwnAnswers)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox&) {
        open_control();
        ASSERT_EQ(dmsg_setup("/control/echo", on_echo), 0);
        vsim::BusPeer apps(9832);
        ASSERT_TRUE(apps.ok());
        apps.set_answer(200, "<params><apps>1</apps></params>");

        const int threads = 8;
        const int rounds = 40;
        std::vector<int> wrong(threads, 0);
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; t++) {
            pool.emplace_back([t, &wrong] {
                dmsg m;
                for (int i = 0; i < rounds; i++) {
                    std::string body = "<params><t>" + std::to_string(t) + "</t><i>" + std::to_string(i) + "</i></params>";
                    if (m.request("/control/echo", body.c_str()) != 200 || m.body() == nullptr || body != m.body())
                        wrong[t]++;
                    if (m.request("/apps/x", body.c_str()) != 200 || m.body() == nullptr ||
                        strcmp(m.body(), "<params><apps>1</apps></params>") != 0)
                        wrong[t]++;
                }
            });
        }
        for (std::thread& th : pool)
            th.join();
        for (int t = 0; t < threads; t++)
            EXPECT_EQ(wrong[t], 0) << "thread " << t;
        EXPECT_EQ(apps.messages().size(), size_t(threads * rounds));
    });
}

TEST(dmsg, initFailures)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox&) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(dmsg_init("/nowhere"), -1);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("dmsg_init /nowhere not in service!\n"), std::string::npos) << err;

        {
            vsim::BusPeer squatter(CONTROL_PORT);
            ASSERT_TRUE(squatter.ok());
            testing::internal::CaptureStdout();
            EXPECT_EQ(dmsg_init("/control"), -1);
            std::string out = testing::internal::GetCapturedStdout();
            EXPECT_NE(out.find("dmsg_init bind error!\n"), std::string::npos) << out;
        }

        // Once the port is free the endpoint opens; a second endpoint is refused.
        ASSERT_EQ(dmsg_init("/control"), 0);
        EXPECT_EQ(dmsg_init("/ui"), -1);
        dmsg m;
        EXPECT_EQ(m.request("/control/none", nullptr), 400);
    });
}

namespace {

std::vector<std::pair<std::string, Record>> g_hooked;

void hook(const char* url, const char* body)
{
    if (strcmp(url, "/control/probe") == 0) {
        dmsg_ack(200, "probe");
        record("probe", nullptr);
        return;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    g_hooked.push_back({url, {"hook", body != nullptr, body ? body : ""}});
}

} // namespace

TEST(dmsg, hookTakesEveryPostBeforeTheTable)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox&) {
        android_callback = hook;
        open_control();
        ASSERT_EQ(dmsg_setup("/control/led", on_led), 0);

        struct Case {
            std::string datagram;
            const char* url;  // nullptr: the hook is not called
            const char* body;
        } cases[] = {
            {"POST /control/led MSG/1.0\r\n\r\nB", "/control/led", "B"},
            {"POST /control/unknown MSG/1.0", "/control/unknown", nullptr},
            {"GET /control/led MSG/1.0\r\n\r\nB", nullptr, nullptr},
        };
        for (const Case& c : cases) {
            {
                std::lock_guard<std::mutex> lock(g_mutex);
                g_hooked.clear();
            }
            std::vector<std::string> answers;
            std::vector<Record> handled;
            ASSERT_TRUE(exchange(c.datagram, &answers, &handled));
            EXPECT_TRUE(answers.empty()) << c.datagram;
            EXPECT_TRUE(handled.empty()) << c.datagram;
            std::lock_guard<std::mutex> lock(g_mutex);
            if (c.url) {
                ASSERT_EQ(g_hooked.size(), 1u) << c.datagram;
                EXPECT_EQ(g_hooked[0].first, c.url);
                EXPECT_EQ(g_hooked[0].second.has_body, c.body != nullptr);
                if (c.body) {
                    EXPECT_EQ(g_hooked[0].second.body, c.body);
                }
            } else {
                EXPECT_TRUE(g_hooked.empty()) << c.datagram;
            }
        }
    });
}
