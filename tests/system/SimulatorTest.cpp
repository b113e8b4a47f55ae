// The simulated terminal as its users run it: the vesko-sim program with a profile and
// a script (or commands on its standard input), checked through its trace.

#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kSim = std::string(VSIM_BINARY_DIR) + "/sim/vesko-sim";
const std::string kBus = std::string(VSIM_BINARY_DIR) + "/sim/vkbus";

// Generous: a loaded machine starts the sandbox and the daemon slowly.
const int kTimeoutMs = 120000;

std::string temp_path(const std::string& name)
{
    const char* dir = getenv("TMPDIR");
    return std::string(dir && dir[0] ? dir : "/tmp") + "/SimulatorTest." + std::to_string(getpid()) + "." + name;
}

bool write_text(const std::string& path, const std::string& text)
{
    FILE* f = fopen(path.c_str(), "w");
    if (!f)
        return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    return fclose(f) == 0 && ok;
}

std::string link_of(const std::string& path)
{
    char buf[128];
    ssize_t n = readlink(path.c_str(), buf, sizeof(buf) - 1);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

// Host processes that live in the given PID namespace ("pid:[4026532...]").
std::vector<int> processes_in(const std::string& pid_ns)
{
    std::vector<int> pids;
    DIR* d = opendir("/proc");
    if (!d)
        return pids;
    while (dirent* e = readdir(d)) {
        int pid = atoi(e->d_name);
        if (pid > 0 && link_of("/proc/" + std::to_string(pid) + "/ns/pid") == pid_ns)
            pids.push_back(pid);
    }
    closedir(d);
    return pids;
}

// One run of a program of the simulator, its output collected as it comes.
class SimRun {
public:
    SimRun(const std::vector<std::string>& argv, bool keep_stdin = false)
    {
        int out[2], in[2];
        if (pipe2(out, O_CLOEXEC) < 0 || pipe2(in, O_CLOEXEC) < 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(out[1], 2);
            std::vector<char*> args;
            for (const std::string& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(out[1]);
        close(in[0]);
        m_out = out[0];
        m_in = in[1];
        if (!keep_stdin) {
            close(m_in);
            m_in = -1;
        }
        m_reader = std::thread([this] {
            char buf[4096];
            ssize_t n;
            while ((n = read(m_out, buf, sizeof(buf))) > 0) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_text.append(buf, size_t(n));
            }
        });
    }

    ~SimRun()
    {
        if (m_pid > 0 && m_status < 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_in >= 0)
            close(m_in);
        if (m_reader.joinable())
            m_reader.join();
        if (m_out >= 0)
            close(m_out);
    }

    pid_t pid() const { return m_pid; }

    std::string output()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_text;
    }

    bool wait_output(const std::string& text, int timeout_ms = kTimeoutMs)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < until) {
            if (output().find(text) != std::string::npos)
                return true;
            if (m_status >= 0 || waitpid(m_pid, &m_status, WNOHANG) == m_pid)
                return output().find(text) != std::string::npos;
            usleep(20000);
        }
        return false;
    }

    void type(const std::string& line)
    {
        std::string l = line + "\n";
        ASSERT_EQ(write(m_in, l.data(), l.size()), ssize_t(l.size()));
    }

    void close_input()
    {
        close(m_in);
        m_in = -1;
    }

    // The exit code, or -1 when it did not end in time (it is then killed).
    int finish(int timeout_ms = kTimeoutMs)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (m_status < 0 && std::chrono::steady_clock::now() < until) {
            if (waitpid(m_pid, &m_status, WNOHANG) == m_pid)
                break;
            usleep(20000);
        }
        if (m_status < 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &m_status, 0);
            m_reader.join();
            return -1;
        }
        m_reader.join();
        return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : 128 + WTERMSIG(m_status);
    }

private:
    pid_t m_pid = -1;
    int m_status = -1;
    int m_out = -1;
    int m_in = -1;
    std::thread m_reader;
    std::mutex m_mutex;
    std::string m_text;
};

// A scripted session: the exit code and the whole trace.
struct Session {
    int code = -1;
    std::string trace;

    // The line holding every piece, in this order; npos when there is none.
    size_t find(const std::string& text, size_t from = 0) const { return trace.find(text, from); }
};

Session script(const std::string& profile, const std::string& lines, std::vector<std::string> extra = {})
{
    std::string path = temp_path("script");
    Session s;
    if (!write_text(path, lines))
        return s;
    std::vector<std::string> argv = {kSim, "--profile", profile, "--script", path, "--pid-file", temp_path("pid")};
    argv.insert(argv.end(), extra.begin(), extra.end());
    SimRun run(argv);
    s.code = run.finish();
    s.trace = run.output();
    unlink(path.c_str());
    return s;
}

// Every text, each after the one before it in the trace.
::testing::AssertionResult in_order(const Session& s, const std::vector<std::string>& texts)
{
    size_t at = 0;
    for (const std::string& t : texts) {
        size_t hit = s.find(t, at);
        if (hit == std::string::npos)
            return ::testing::AssertionFailure() << "\"" << t << "\" missing (or out of order) in:\n" << s.trace;
        at = hit + t.size();
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

// The first session of a newcomer on the door station: the heartbeat with the server,
// key 5 reaching the user interface, the door opened with a lock request.
TEST(Simulator, DoorStationKeyLockAndHeartbeat)
{
    Session s = script("door", "expect \"server  <- heartbeat answer\" 30000\n"
                               "key 5\n"
                               "expect \"/ui/w350/key data=5\"\n"
                               "post /control/w350/lock onoff=1 index=0\n"
                               "expect \"MCU_D_LOCK2 on\"\n"
                               "post /control/w350/lock onoff=0 index=0\n"
                               "expect \"MCU_D_LOCK2 off\"\n");
    EXPECT_EQ(s.code, 0) << s.trace;
    EXPECT_TRUE(in_order(s, {"Door station", "server  -> heartbeat: from M00010100000",
                             "server  <- heartbeat answer: interval"}));
    EXPECT_TRUE(in_order(s, {"script  key 5", "mcu     <- MCU_D_KEY key 5 (index 9)", "bus     -> /ui/w350/key data=5"}));
    // Sources that are polled (the bus watch, GPIO) fall in among the others by their
    // time stamps within a short hold; on a loaded machine only the order within one
    // source is certain.
    EXPECT_TRUE(in_order(s, {"bus     <- /control/w350/lock onoff=1 index=0", "bus     -> 200 answers /control/w350/lock",
                             "bus     <- /control/w350/lock onoff=0 index=0"}));
    EXPECT_TRUE(in_order(s, {"script  post /control/w350/lock onoff=1", "mcu     -> MCU_D_LOCK on",
                             "mcu     -> MCU_D_LOCK2 on", "mcu     -> MCU_D_LOCK off", "mcu     -> MCU_D_LOCK2 off"}));
    EXPECT_TRUE(in_order(s, {"gpio    -> rk/lock = 1", "gpio    -> rk/lock = 0"}));
    EXPECT_TRUE(in_order(s, {"end of script", "daemon stopped", "the simulated terminal has ended"}));
}

TEST(Simulator, DoorStationButtonsAndReports)
{
    Session s = script("door", "expect \"ready\" 30000\n"
                               "call\n"
                               "expect \"/ui/w350/keyCall data=1\"\n"
                               "button exit 1\n"
                               "expect \"/ui/w350/btn btn=0 data=1\"\n"
                               "button sensor 0\n"
                               "expect \"/ui/w350/btn btn=1 data=0\"\n"
                               "adc 512\n"
                               "expect \"/ui/w350/adc data=512\"\n"
                               "key #\n"
                               "expect \"/ui/w350/key data=#\"\n");
    EXPECT_EQ(s.code, 0) << s.trace;
    EXPECT_TRUE(in_order(s, {"mcu     <- MCU_D_CALL 1", "bus     -> /ui/w350/keyCall data=1"}));
    EXPECT_TRUE(in_order(s, {"mcu     <- MCU_D_ADC 512", "bus     -> /ui/w350/adc data=512"}));
}

// The indoor unit: the standard variant's key, alarm input and the connect actions.
TEST(Simulator, IndoorUnitKeyAndAlarmInput)
{
    Session s = script("indoor", "expect \"ready\" 30000\n"
                                 "expect \"<- MCU_SYS kind 0\" 15000\n"
                                 "key 5\n"
                                 "expect \"/ui/key/mcu key=5 onoff=0\"\n"
                                 "input 3 1\n"
                                 "expect \"/security/io\"\n");
    EXPECT_EQ(s.code, 0) << s.trace;
    EXPECT_TRUE(in_order(s, {"Indoor unit", "server  -> heartbeat: from S00010111110"}));
    EXPECT_TRUE(in_order(s, {"mcu     -> MCU_HEART", "mcu     -> MCU_SYS", "mcu     <- MCU_SYS kind 0", "stdout  sys_mcu: 0"}));
    EXPECT_TRUE(in_order(s, {"mcu     <- MCU_KEY key 5 down", "bus     -> /ui/key/mcu key=5 onoff=1",
                             "bus     -> /ui/key/mcu key=5 onoff=0"}));
    EXPECT_TRUE(in_order(s, {"mcu     <- MCU_IO inputs 0 0 0 1 0 0 0 0",
                             "bus     -> /security/io mcu=1 io0=0 io1=0 io2=0 io3=1 io4=0 io5=0 io6=0 io7=0"}));
}

// A family whose standard variant has no MCU link: the server still talks, the MCU's
// commands are refused with the reason.
TEST(Simulator, IndoorUnitWithoutMcuLink)
{
    Session s = script("indoor-rk3368", "expect \"server  <- heartbeat answer\" 30000\n"
                                        "post /control/led led=1 onoff=1\n"
                                        "key 5\n");
    EXPECT_EQ(s.code, 2) << s.trace;
    EXPECT_TRUE(in_order(s, {"MCU none", "server  -> heartbeat: from S00010111110", "ready: the daemon talks to the server"}));
    EXPECT_TRUE(in_order(s, {"gpio    -> rk/usb_hub_reset = 1", "gpio    -> rk/usb_eth2_power = 1"}));
    EXPECT_TRUE(in_order(s, {"bus     -> 200 answers /control/led", "error: this terminal has no MCU link"}));
    EXPECT_EQ(s.find("mcu     "), std::string::npos) << s.trace;
}

// What the building server sends on its own, and the card list the terminal uploads
// from the door station's card store. (A request that arrives while the terminal
// waits for its heartbeat answer is taken for that answer, so the session begins
// after the first exchange.)
TEST(Simulator, ServerTextCardsAndCardList)
{
    Session s = script("door", "expect \"server  <- heartbeat answer\" 30000\n"
                               "server text \"hello there\"\n"
                               "expect \"/apps/center/text type=0 data=\\\"hello there\\\"\"\n"
                               "server card add 9876543 1-2-3-4\n"
                               "expect \"/ui/center/card2\"\n"
                               "server card remove 9876543\n"
                               "expect \"/ui/center/card2\"\n"
                               "server card list\n"
                               "expect \"card list page 1/1\"\n");
    EXPECT_EQ(s.code, 0) << s.trace;
    // The text and its echo can carry the same millisecond, so each is ordered only
    // against the post that follows them.
    EXPECT_TRUE(in_order(s, {"server  <- text message 1: seq 1 type 0 \"hello there\"",
                             "bus     -> /apps/center/text type=0 data=\"hello there\""}));
    EXPECT_TRUE(in_order(s, {"server  -> text message echo", "bus     -> /apps/center/text type=0 data=\"hello there\""}));
    EXPECT_TRUE(in_order(s, {"server  <- card addition: seq 2 page 1, 1 card: 9876543 S00010203040",
                             "bus     -> /ui/center/card2 c0/d=9876543 c0/b=1 c0/u=2 c0/f=3 c0/r=4 c0/a=1 total=1"}));
    EXPECT_TRUE(in_order(s, {"server  <- card removal", "bus     -> /ui/center/card2 c0/d=9876543 c0/a=0 total=1"}));
    EXPECT_TRUE(in_order(s, {"server  <- card list request",
                             "server  -> card list page 1/1: of 2, 2 cards: 9876543 S00010203040, 12345678 S00010111110"}));
}

// A restarted MCU gets its RS485 settings again; a clock moved past the 11-second
// supervision cycle brings the version request and the status file.
TEST(Simulator, McuRestartAndVersionAfterTheClockMoves)
{
    Session s = script("door", "expect \"ready\" 30000\n"
                               "mcu version 4.5.6\n"
                               "mcu reboot\n"
                               "expect \"MCU_D_RS485_C parity 0 speed 3\"\n"
                               "clock +12\n"
                               "expect \"/var/etc/mcu = \\\"4.5.6\\\"\" 10000\n");
    EXPECT_EQ(s.code, 0) << s.trace;
    // The daemon's standard error is read as it grows, so its lines carry the time they
    // were read; only their order among themselves is certain.
    EXPECT_TRUE(in_order(s, {"mcu     <- MCU_D_BOOT", "mcu     -> MCU_D_RS485_M mode 1",
                             "mcu     -> MCU_D_RS485_C parity 0 speed 3"}));
    EXPECT_TRUE(in_order(s, {"mcu     <- MCU_D_BOOT", "stderr  MCU system reboot......."}));
    EXPECT_TRUE(in_order(s, {"the terminal's clock now reads", "mcu     -> MCU_D_VERSION",
                             "mcu     <- MCU_D_VERSION version 4.5.6", "file    /var/etc/mcu = \"4.5.6\""}));
}

TEST(Simulator, AScriptEndsAtTheFirstFailureWithItsReason)
{
    struct Case {
        const char* line;
        int code;
        const char* why;
    } cases[] = {
        {"expect \"never printed\" 300", 1, "error: expect: no trace line with \"never printed\" within 300 ms"},
        {"frobnicate 1", 2, "error: unknown command \"frobnicate\""},
        {"key E", 2, "error: the door station's keys are"},
        {"post /ui/w350/key data=5", 2, "error: post sends to the daemon"},
        {"post /control/led led", 2, "error: \"led\" is not key=value"},
        {"server text \"unterminated", 2, "error: unterminated double quote"},
        {"input 3 1", 2, "error: the door station's alarm zones"},
        {"server card add 1 1-2-3", 2, "error: a room is building-unit-floor-family"},
        {"post /control/no/such/path a=1", 1, "error: /control/no/such/path was answered 400 (the daemon has no handler"},
    };
    for (const Case& c : cases) {
        Session s = script("door", std::string("expect ready 30000\n") + c.line + "\nkey 1\n");
        EXPECT_EQ(s.code, c.code) << c.line << "\n" << s.trace;
        EXPECT_TRUE(in_order(s, {c.why, "failed: ", "daemon stopped"})) << c.line;
        EXPECT_EQ(s.find("script  key 1"), std::string::npos) << c.line << ": the script went on";
    }
}

TEST(Simulator, BadInvocationsAreRefusedBeforeAnythingStarts)
{
    struct Case {
        std::vector<std::string> args;
        const char* why;
    } cases[] = {
        {{"--profile", "no-such-profile"}, "no profile \"no-such-profile\" (shipped: door, indoor"},
        {{"--script", "/nonexistent/script"}, "cannot read the script /nonexistent/script"},
        {{"--free", "/control"}, "--free takes an endpoint other than /control"},
        {{"--bogus"}, "unknown option --bogus"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {kSim};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SimRun run(argv);
        EXPECT_EQ(run.finish(), 2) << c.args[0];
        EXPECT_NE(run.output().find(c.why), std::string::npos) << run.output();
        EXPECT_EQ(run.output().find("daemon started"), std::string::npos);
    }
    SimRun list({kSim, "--list"});
    EXPECT_EQ(list.finish(), 0);
    EXPECT_NE(list.output().find("door       Door station"), std::string::npos) << list.output();
    EXPECT_NE(list.output().find("indoor     Indoor unit"), std::string::npos) << list.output();
}

// A person's session ends with quit, with the end of input or with a signal, and
// nothing of the sandbox stays behind on the host.
TEST(Simulator, InteractiveSessionsEndCleanlyEveryWay)
{
    for (const char* how : {"quit", "eof", "sigterm", "sigint"}) {
        std::string pid_file = temp_path(std::string("pid.") + how);
        SimRun run({kSim, "--profile", "indoor", "--pid-file", pid_file}, true);
        ASSERT_TRUE(run.wait_output("ready: the daemon talks to the MCU")) << how << "\n" << run.output();
        FILE* f = fopen(pid_file.c_str(), "r");
        ASSERT_NE(f, nullptr) << how;
        int inner = 0;
        ASSERT_EQ(fscanf(f, "%d", &inner), 1);
        fclose(f);
        std::string ns = link_of("/proc/" + std::to_string(inner) + "/ns/pid");
        ASSERT_FALSE(ns.empty()) << how;
        ASSERT_NE(ns, link_of("/proc/self/ns/pid")) << how;
        // The daemon, the emulators' helpers and the simulator itself.
        EXPECT_GE(processes_in(ns).size(), 2u) << how;

        run.type("key 7");
        ASSERT_TRUE(run.wait_output("/ui/key/mcu key=7 onoff=0")) << how << "\n" << run.output();
        std::string h = how;
        if (h == "quit")
            run.type("quit");
        else if (h == "eof")
            run.close_input();
        else
            kill(run.pid(), h == "sigterm" ? SIGTERM : SIGINT);
        EXPECT_EQ(run.finish(), 0) << how << "\n" << run.output();
        EXPECT_NE(run.output().find("daemon stopped"), std::string::npos) << how << "\n" << run.output();
        EXPECT_NE(run.output().find("the simulated terminal has ended"), std::string::npos) << how;
        EXPECT_TRUE(processes_in(ns).empty()) << how << ": processes of the sandbox outlived it";
        struct stat st;
        EXPECT_NE(stat(pid_file.c_str(), &st), 0) << how << ": the pid file stayed";
    }
}

// The bus tool reaches a running simulator from the host: its post reaches the daemon,
// and it can stand in for an application at an endpoint left free.
TEST(Simulator, BusToolPostsToAndListensInARunningSimulator)
{
    std::string pid_file = temp_path("pid.vkbus");
    std::string path = temp_path("script.vkbus");
    ASSERT_TRUE(write_text(path, "expect \"MCU_D_LIGHT index 0 on\" 60000\n"
                                 "key 5\n"
                                 "expect \"MCU_D_KEY key 5\"\n"
                                 "wait 2000\n"));
    SimRun sim({kSim, "--profile", "door", "--script", path, "--pid-file", pid_file, "--free", "/ui"});
    ASSERT_TRUE(sim.wait_output("ready: the daemon talks to the MCU")) << sim.output();

    SimRun listen({kBus, "--pid-file", pid_file, "listen", "/ui"});
    ASSERT_TRUE(listen.wait_output("listening on 127.0.0.1:9801")) << listen.output();
    SimRun post({kBus, "--pid-file", pid_file, "post", "/control/w350/light", "index=0", "onoff=1"});
    EXPECT_EQ(post.finish(), 0) << post.output();
    EXPECT_EQ(post.output(), "200\n");

    EXPECT_TRUE(listen.wait_output("/ui/w350/key data=5\n")) << listen.output();
    kill(listen.pid(), SIGTERM);
    EXPECT_EQ(listen.finish(), 0) << listen.output();
    EXPECT_EQ(sim.finish(), 0) << sim.output();
    // The tool's request is in the trace like any application's.
    EXPECT_TRUE(in_order({0, sim.output()}, {"bus     <- /control/w350/light index=0 onoff=1",
                                             "bus     -> 200 answers /control/w350/light"}));
    EXPECT_NE(sim.output().find("mcu     -> MCU_D_LIGHT index 0 on"), std::string::npos);
    // Nothing answered at the free endpoint in the simulator's stead.
    EXPECT_EQ(sim.output().find("bus     -> /ui/w350/key"), std::string::npos) << sim.output();
    unlink(path.c_str());

    // Without a simulator the tool says so instead of posting on the host.
    SimRun lost({kBus, "--pid-file", pid_file, "post", "/control/led"});
    EXPECT_EQ(lost.finish(), 2);
    EXPECT_NE(lost.output().find("no simulator is running"), std::string::npos) << lost.output();
}

// On a terminal the bus tool works as it is: here on the host's loopback, at an
// endpoint that nothing else on a development machine uses.
TEST(Simulator, BusToolOnItsOwn)
{
    SimRun listen({kBus, "listen", "/face", "--code", "201"});
    ASSERT_TRUE(listen.wait_output("listening on 127.0.0.1:9861")) << listen.output();
    SimRun post({kBus, "post", "/face/detect", "id=7", "name=a b"});
    EXPECT_EQ(post.finish(), 1) << post.output();  // answered, but not 200
    EXPECT_EQ(post.output(), "201\n");
    SimRun raw({kBus, "post", "/face/raw", "--body", "<params><x>1</x></params>"});
    EXPECT_EQ(raw.finish(), 1) << raw.output();
    EXPECT_TRUE(listen.wait_output("/face/raw x=1\n")) << listen.output();
    EXPECT_NE(listen.output().find("/face/detect id=7 name=\"a b\"\n"), std::string::npos) << listen.output();
    kill(listen.pid(), SIGTERM);
    EXPECT_EQ(listen.finish(), 0);

    struct Case {
        std::vector<std::string> args;
        const char* why;
    } cases[] = {
        {{"post", "/nowhere/x"}, "names no bus endpoint"},
        {{"post", "/control/led", "led"}, "\"led\" is not key=value"},
        {{"post", "/control/led", "led=1", "--body", "<params/>"}, "--body takes one text"},
        {{"post", "control/led"}, "post needs a path"},
        {{"listen", "/face", "--count", "0"}, "--count takes a number"},
        {{"frob"}, "usage: vkbus"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {kBus};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SimRun run(argv);
        EXPECT_EQ(run.finish(), 2) << c.why;
        EXPECT_NE(run.output().find(c.why), std::string::npos) << run.output();
    }
}
