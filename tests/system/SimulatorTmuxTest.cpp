// A person at a terminal: the simulator runs in a tmux pane, the commands are typed
// into it key by key, and what the person would see is read back from the screen.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

const std::string kSim = std::string(VSIM_BINARY_DIR) + "/sim/vesko-sim";
const char* const kTmux = "/usr/bin/tmux";

// Runs a tmux client of our own server (its own socket) without a shell; the output,
// and the exit code in *code.
std::string tmux(const std::string& sock, const std::vector<std::string>& args, int* code = nullptr)
{
    int out[2];
    if (pipe(out) < 0)
        return std::string();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        close(out[0]);
        close(out[1]);
        std::vector<std::string> all = {kTmux, "-S", sock, "-f", "/dev/null"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(kTmux, argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof(buf))) > 0)
        text.append(buf, size_t(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (code)
        *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return text;
}

class Pane {
public:
    // The tmux server runs in the foreground as a child of the test, and is ended
    // when the test ends, even by a kill: the pane's program then gets its hang-up.
    explicit Pane(const std::string& command)
        : m_sock("/tmp/SimulatorTmuxTest." + std::to_string(getpid()) + ".sock")
    {
        unlink(m_sock.c_str());
        m_server = fork();
        if (m_server == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            execl(kTmux, kTmux, "-S", m_sock.c_str(), "-f", "/dev/null", "-D", (char*)nullptr);
            _exit(127);
        }
        if (m_server < 0)
            return;
        // The server takes a moment to open its socket; a client that finds none would
        // start a server of its own.
        struct stat st;
        for (int i = 0; i < 100 && !(stat(m_sock.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)); i++)
            usleep(100000);
        for (int i = 0; i < 10 && !m_ok; i++) {
            int code = -1;
            tmux(m_sock, {"new-session", "-d", "-s", "sim", "-x", "160", "-y", "50", command}, &code);
            m_ok = code == 0;
            if (!m_ok)
                usleep(100000);
        }
        if (!m_ok)
            return;
        // Keep the pane when the program ends, so that its last words can be read.
        tmux(m_sock, {"set-option", "-t", "sim", "remain-on-exit", "on"});
        tmux(m_sock, {"set-option", "-t", "sim", "history-limit", "20000"});
    }

    ~Pane()
    {
        if (m_server > 0) {
            kill(m_server, SIGTERM);
            waitpid(m_server, nullptr, 0);
        }
        unlink(m_sock.c_str());
    }

    bool ok() const { return m_ok; }

    std::string screen() { return tmux(m_sock, {"capture-pane", "-p", "-J", "-t", "sim", "-S", "-20000"}); }

    bool wait_for(const std::string& text, int timeout_ms = 60000)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < until) {
            if (screen().find(text) != std::string::npos)
                return true;
            usleep(100000);
        }
        return false;
    }

    // Types the line as keys, then Enter.
    void type(const std::string& line)
    {
        tmux(m_sock, {"send-keys", "-t", "sim", "-l", line});
        tmux(m_sock, {"send-keys", "-t", "sim", "Enter"});
    }

    void keys(const std::string& key) { tmux(m_sock, {"send-keys", "-t", "sim", key}); }

    bool dead() { return tmux(m_sock, {"display-message", "-p", "-t", "sim", "#{pane_dead}"}) == "1\n"; }

private:
    std::string m_sock;
    bool m_ok = false;
    pid_t m_server = -1;
};

bool have_tmux()
{
    return access(kTmux, X_OK) == 0;
}

}  // namespace

TEST(SimulatorTmux, DoorStationAsAPersonTypesIt)
{
    if (!have_tmux())
        GTEST_SKIP() << "tmux is not installed (scripts/setup installs it)";
    std::string pid_file = "/tmp/SimulatorTmuxTest." + std::to_string(getpid()) + ".pid";
    Pane pane(kSim + " --pid-file " + pid_file);
    ASSERT_TRUE(pane.ok());
    ASSERT_TRUE(pane.wait_for("ready: the daemon talks to the MCU")) << pane.screen();
    EXPECT_NE(pane.screen().find("Type help for the commands"), std::string::npos) << pane.screen();
    ASSERT_TRUE(pane.wait_for("server  <- heartbeat answer")) << pane.screen();

    pane.type("help");
    ASSERT_TRUE(pane.wait_for("post /control/PATH key=value")) << pane.screen();
    pane.type("key 5");
    ASSERT_TRUE(pane.wait_for("bus     -> /ui/w350/key data=5")) << pane.screen();
    pane.type("post /control/w350/lock onoff=1 index=0");
    ASSERT_TRUE(pane.wait_for("mcu     -> MCU_D_LOCK2 on")) << pane.screen();
    EXPECT_NE(pane.screen().find("mcu     -> MCU_D_LOCK on"), std::string::npos) << pane.screen();
    pane.type("kye 5");
    ASSERT_TRUE(pane.wait_for("error: unknown command \"kye\" (help lists them)")) << pane.screen();
    pane.type("quit");
    ASSERT_TRUE(pane.wait_for("the simulated terminal has ended")) << pane.screen();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!pane.dead() && std::chrono::steady_clock::now() < until)
        usleep(100000);
    EXPECT_TRUE(pane.dead()) << "the simulator still runs after quit";
}

TEST(SimulatorTmux, IndoorUnitEndsWithCtrlC)
{
    if (!have_tmux())
        GTEST_SKIP() << "tmux is not installed (scripts/setup installs it)";
    std::string pid_file = "/tmp/SimulatorTmuxTest." + std::to_string(getpid()) + ".indoor.pid";
    Pane pane(kSim + " --profile indoor --pid-file " + pid_file);
    ASSERT_TRUE(pane.ok());
    ASSERT_TRUE(pane.wait_for("ready: the daemon talks to the MCU")) << pane.screen();
    pane.type("key 5");
    ASSERT_TRUE(pane.wait_for("bus     -> /ui/key/mcu key=5 onoff=0")) << pane.screen();
    pane.type("input 2 1");
    ASSERT_TRUE(pane.wait_for("/security/io mcu=1 io0=0 io1=0 io2=1")) << pane.screen();
    pane.keys("C-c");
    ASSERT_TRUE(pane.wait_for("the simulated terminal has ended")) << pane.screen();
    EXPECT_NE(pane.screen().find("daemon stopped"), std::string::npos) << pane.screen();
}
