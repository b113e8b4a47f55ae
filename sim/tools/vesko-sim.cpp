// vesko-sim: a simulated terminal on a machine without its hardware. The real daemon
// runs inside a sandbox; the MCU, the building server and the bus applications are
// emulated; a live trace shows what crosses each boundary, and commands (typed or from
// a script) act as the peers do.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "CommandLine.h"
#include "Profile.h"
#include "Sandbox.h"
#include "SimJoin.h"
#include "Simulator.h"
#include "Trace.h"
#include "dmsg.h"

namespace {

// Signal plumbing. The simulator runs in a child of the first process, which only
// waits: it takes the quit signals through a signalfd and passes each on to the
// sandbox, whose pid arrives through a pipe. (A handler in a process that sits in the
// sandbox's wait may not run at once: a sanitizer's runtime delays it.) Inside the
// sandbox the signals are unblocked again, and the handler wakes the command loop
// through the other pipe.
int g_quit[2] = {-1, -1};
int g_pid[2] = {-1, -1};

void on_signal(int sig)
{
    int saved = errno;
    char c = char(sig);
    (void)!write(g_quit[1], &c, 1);
    errno = saved;
}

sigset_t quit_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

// Waits for the child that runs the simulator; returns its exit code.
int supervise(pid_t child)
{
    sigset_t set = quit_signals();
    sigaddset(&set, SIGCHLD);
    int sfd = signalfd(-1, &set, SFD_CLOEXEC);
    pid_t inner = -1;
    for (;;) {
        int status;
        pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pollfd p[2] = {{sfd, POLLIN, 0}, {g_pid[0], POLLIN, 0}};
        if (poll(p, inner > 0 || g_pid[0] < 0 ? 1 : 2, 1000) <= 0)
            continue;
        if (p[1].revents) {
            if (read(g_pid[0], &inner, sizeof(inner)) != ssize_t(sizeof(inner)))
                inner = -1;
            close(g_pid[0]);
            g_pid[0] = -1;
        }
        signalfd_siginfo si;
        if ((p[0].revents & POLLIN) && read(sfd, &si, sizeof(si)) == ssize_t(sizeof(si)) && si.ssi_signo != SIGCHLD) {
            if (inner > 0)
                kill(inner, SIGTERM);
            else
                kill(child, SIGKILL);  // nothing inside to tell yet; the sandbox dies with it
        }
    }
}

void usage(FILE* out)
{
    fprintf(out,
            "usage: vesko-sim [--profile NAME|DIR] [--script FILE] [--log FILE] [--free ENDPOINT]...\n"
            "                 [--pid-file PATH] [--list] [--help]\n"
            "\n"
            "Runs the real vesko-hwd in a simulated terminal and shows what it does.\n"
            "  --profile NAME|DIR  the terminal to simulate: a shipped profile (door, the default,\n"
            "                      or indoor) or a profile directory of your own\n"
            "  --script FILE       run the commands of FILE, then end (exit status 0 when all of\n"
            "                      them succeeded and every expect was met)\n"
            "  --log FILE          write the trace to FILE as well\n"
            "  --free ENDPOINT     no emulated application at ENDPOINT (/ui, /talk ...), so that\n"
            "                      a real one can listen there (see vkbus --sim listen)\n"
            "  --pid-file PATH     where the tools find this simulator (default %s)\n"
            "  --list              the shipped profiles\n"
            "\n"
            "Type help in the simulator for its commands.\n",
            vsim::SimJoin::default_pid_file().c_str());
}

bool read_script(const std::string& path, std::vector<std::string>* lines)
{
    FILE* f = fopen(path.c_str(), "r");
    if (!f)
        return false;
    std::string line;
    int c;
    while ((c = fgetc(f)) != EOF) {
        if (c == '\n') {
            lines->push_back(line);
            line.clear();
        } else {
            line += char(c);
        }
    }
    if (!line.empty())
        lines->push_back(line);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

enum { MAX_LINE = 4096 };

// Reads commands from standard input until quit, end of input or a signal.
int interactive(vsim::Simulator& sim, vsim::Trace& trace)
{
    std::string pending;
    for (;;) {
        pollfd p[2] = {{0, POLLIN, 0}, {g_quit[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if (p[1].revents || sim.quit_requested()) {
            trace.line("sim", "asked to end");
            return 0;
        }
        if (!p[0].revents)
            continue;
        char buf[1024];
        ssize_t n = read(0, buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (!pending.empty())
                sim.execute(pending);
            trace.line("sim", "end of input");
            return 0;
        }
        pending.append(buf, size_t(n));
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (sim.execute(line) == vsim::Simulator::QUIT)
                return 0;
        }
        if (pending.size() > MAX_LINE) {
            trace.plain("error: a line of more than " + std::to_string(MAX_LINE) + " characters is dropped");
            pending.clear();
        }
    }
}

int scripted(vsim::Simulator& sim, vsim::Trace& trace, const std::string& name, const std::vector<std::string>& lines)
{
    for (size_t i = 0; i < lines.size(); i++) {
        if (sim.quit_requested()) {
            trace.line("sim", "interrupted at " + name + ":" + std::to_string(i + 1));
            return 1;
        }
        std::string shown = lines[i];
        shown.erase(0, shown.find_first_not_of(" \t"));
        if (shown.empty() || shown[0] == '#')
            continue;
        trace.line("script", shown);
        int rc = sim.execute(lines[i]);
        if (rc == vsim::Simulator::QUIT) {
            std::vector<std::string> w;
            std::string error;
            vsim::CommandLine::split(lines[i], &w, &error);
            if (!w.empty() && (w[0] == "quit" || w[0] == "exit"))
                return 0;
            trace.line("sim", "interrupted at " + name + ":" + std::to_string(i + 1));
            return 1;
        }
        if (rc != vsim::Simulator::OK) {
            trace.plain("script " + name + ":" + std::to_string(i + 1) + " failed: " + shown);
            return rc == vsim::Simulator::BAD ? 2 : 1;
        }
    }
    trace.line("sim", "end of script");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string profile_name = "door";
    std::string script_path, log_path, pid_path = vsim::SimJoin::default_pid_file();
    std::vector<std::string> free;
    bool list = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) {
                fprintf(stderr, "vesko-sim: %s needs a value\n", a.c_str());
                return false;
            }
            *out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--list") {
            list = true;
        } else if (a == "--profile" || a == "-p") {
            if (!value(&profile_name))
                return 2;
        } else if (a == "--script" || a == "-s") {
            if (!value(&script_path))
                return 2;
        } else if (a == "--log") {
            if (!value(&log_path))
                return 2;
        } else if (a == "--pid-file") {
            if (!value(&pid_path))
                return 2;
        } else if (a == "--free") {
            if (!value(&v))
                return 2;
            free.push_back(v);
        } else {
            fprintf(stderr, "vesko-sim: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }

    if (list) {
        for (const std::string& name : vsim::Profile::shipped()) {
            vsim::Profile p;
            std::string error;
            printf("%-10s %s\n", name.c_str(), p.load(name, &error) ? p.title.c_str() : error.c_str());
        }
        return 0;
    }

    vsim::Profile profile;
    std::string error;
    if (!profile.load(profile_name, &error)) {
        fprintf(stderr, "vesko-sim: %s\n", error.c_str());
        return 2;
    }
    for (const std::string& f : free) {
        bool known = false;
        for (const msg_port_t& e : msg_port)
            known = known || (f == e.url && f != "/control");
        if (!known) {
            fprintf(stderr, "vesko-sim: --free takes an endpoint other than /control, such as /ui\n");
            return 2;
        }
    }
    std::vector<std::string> script;
    if (!script_path.empty() && !read_script(script_path, &script)) {
        fprintf(stderr, "vesko-sim: cannot read the script %s: %s\n", script_path.c_str(), strerror(errno));
        return 2;
    }
    FILE* log = nullptr;
    if (!log_path.empty() && !(log = fopen(log_path.c_str(), "we"))) {
        fprintf(stderr, "vesko-sim: cannot write %s: %s\n", log_path.c_str(), strerror(errno));
        return 2;
    }
    int pid_fd = vsim::SimJoin::claim(pid_path, &error);
    if (pid_fd < 0)
        fprintf(stderr, "vesko-sim: %s; the tools' --sim will not reach this simulator\n", error.c_str());

    if (pipe2(g_quit, O_CLOEXEC) < 0 || pipe2(g_pid, O_CLOEXEC) < 0) {
        perror("vesko-sim: pipe");
        return 2;
    }
    fcntl(g_quit[1], F_SETFL, O_NONBLOCK);
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    sigset_t signals = quit_signals();
    sigset_t blocked = signals;
    sigaddset(&blocked, SIGCHLD);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);

    printf("vesko-sim: %s\n", profile.title.c_str());
    printf("  profile %s: MCU %s, building server %s", profile.dir.c_str(),
           profile.mcu_port.empty() ? "none" : (profile.mcu_port + (profile.w350 ? " (w350 variant)" : " (standard variant)")).c_str(),
           profile.server.c_str());
    for (const vsim::Interface& i : profile.interfaces)
        printf(", %s %s", i.name.c_str(), i.address.empty() ? "-" : i.address.c_str());
    printf("\n");
    for (const std::string& w : profile.warnings)
        printf("  warning: %s\n", w.c_str());
    if (script.empty())
        printf("  Type help for the commands and quit (or Ctrl-D) to leave. '->' leaves the daemon, '<-' reaches it.\n");
    fflush(stdout);

    pid_t host = getpid();
    pid_t child = fork();
    if (child < 0) {
        perror("vesko-sim: fork");
        return 2;
    }
    if (child > 0) {
        close(g_pid[1]);
        int rc = supervise(child);
        if (pid_fd >= 0 && vsim::SimJoin::running(pid_path) < 0)
            unlink(pid_path.c_str());
        if (rc == 125)
            fprintf(stderr, "vesko-sim: the sandbox could not be made (see above)\n");
        return rc;
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != host)
        _exit(2);
    close(g_pid[0]);
    int rc = vsim::Sandbox::run(profile.options(), [&](vsim::Sandbox& sb) {
        sigprocmask(SIG_UNBLOCK, &blocked, nullptr);
        pid_t inner = sb.host_pid();
        (void)!write(g_pid[1], &inner, sizeof(inner));
        if (pid_fd >= 0)
            vsim::SimJoin::publish(pid_fd, inner);
        vsim::Trace trace(stdout, log);
        int result;
        {
            vsim::Simulator sim(sb, profile, trace, g_quit[0]);
            if (!sim.start(free))
                result = 3;
            else if (script_path.empty())
                result = interactive(sim, trace);
            else
                result = scripted(sim, trace, script_path, script);
            sim.shutdown();
        }
        trace.line("sim", "the simulated terminal has ended");
        return result;
    });
    fflush(stdout);
    _exit(rc);
}
