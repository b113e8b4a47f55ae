#include "Sandbox.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <sstream>

#include "DeviceServer.h"
#include "SandboxClock.h"
#include "sys_property.h"

namespace vsim {

namespace {

// Where the terminal root is assembled before it becomes "/". The host's directory
// is only covered inside our own mount namespace; everything that is bound into the
// new root is opened beforehand, so it does not matter what the tmpfs hides.
const char* const kStage = "/tmp";

const char* const kCommandLog = "/sim/log/commands.log";
const char* const kSettingsDir = "/sim/settings";
const char* const kDaemonStdout = "/sim/log/daemon.stdout";
const char* const kDaemonStderr = "/sim/log/daemon.stderr";
const char* const kPath = "/sim/bin:/system/bin:/usr/sbin:/usr/bin:/sbin:/bin";

void report(const char* step)
{
    int err = errno;
    fprintf(stderr, "vsim: cannot %s: %s\n", step, strerror(err));
}

void report(const char* step, const std::string& what)
{
    int err = errno;
    fprintf(stderr, "vsim: cannot %s %s: %s\n", step, what.c_str(), strerror(err));
}

int64_t monotonic_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool write_all(int fd, const char* data, size_t length)
{
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= size_t(n);
    }
    return true;
}

bool write_file(const std::string& path, const std::string& text, int mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    bool ok = write_all(fd, text.data(), text.size()) && fchmod(fd, mode) == 0;
    return close(fd) == 0 && ok;
}

bool read_file(const std::string& path, std::string* text)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    text->clear();
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            close(fd);
            return n == 0;
        }
        text->append(buf, size_t(n));
    }
}

bool mkdir_p(const std::string& path, int mode)
{
    for (size_t i = 1; i <= path.size(); i++) {
        if (i < path.size() && path[i] != '/')
            continue;
        std::string part = path.substr(0, i);
        if (mkdir(part.c_str(), mode) < 0 && errno != EEXIST)
            return false;
    }
    return true;
}

// A path under /dev whose every part is a plain name, so the pty lands there and
// nowhere else.
bool dev_path(const std::string& path)
{
    if (path.compare(0, 5, "/dev/") != 0 || path.size() > 128)
        return false;
    size_t start = 5;
    for (;;) {
        size_t end = path.find('/', start);
        std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

std::string parent_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Names of properties, settings and interfaces end up in file names and command
// arguments, so only the platform's own characters pass.
bool plain_name(const std::string& name, bool dots)
{
    if (name.empty() || name.size() > 64 || name == "." || name == "..")
        return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                  c == '-' || (dots && c == '.');
        if (!ok)
            return false;
    }
    return true;
}

// Waits for a child, restarting on signals; returns the wait status or -1.
int wait_child(pid_t pid)
{
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, 0);
        if (r == pid)
            return status;
        if (r < 0 && errno != EINTR)
            return -1;
    }
}

int exit_code(int status)
{
    if (status < 0)
        return 125;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 125;
}

// Writes to a file of the kernel's, which must exist and takes the text in one write.
bool write_existing(const std::string& path, const std::string& text)
{
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = write_all(fd, text.data(), text.size());
    return close(fd) == 0 && ok;
}

bool write_proc(pid_t pid, const char* file, const std::string& text)
{
    return write_existing("/proc/" + std::to_string(pid) + "/" + file, text);
}

// The flags a bind mount inherits from its source and that a user namespace may not
// drop when it remounts the bind read-only.
unsigned long locked_flags(const char* target)
{
    struct statvfs st;
    if (statvfs(target, &st) < 0)
        return 0;
    unsigned long flags = 0;
    if (st.f_flag & ST_NOSUID)
        flags |= MS_NOSUID;
    if (st.f_flag & ST_NODEV)
        flags |= MS_NODEV;
    if (st.f_flag & ST_NOEXEC)
        flags |= MS_NOEXEC;
    if (st.f_flag & ST_NOATIME)
        flags |= MS_NOATIME;
    if (st.f_flag & ST_NODIRATIME)
        flags |= MS_NODIRATIME;
    if (st.f_flag & ST_RELATIME)
        flags |= MS_RELATIME;
    return flags;
}

bool bind(int source_fd, const std::string& target, bool read_only)
{
    std::string source = "/proc/self/fd/" + std::to_string(source_fd);
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) < 0)
        return false;
    if (!read_only)
        return true;
    unsigned long flags = MS_REMOUNT | MS_BIND | MS_RDONLY | locked_flags(target.c_str());
    return mount(nullptr, target.c_str(), nullptr, flags, nullptr) == 0;
}

bool bind_path(const std::string& source, const std::string& target, bool read_only)
{
    int fd = open(source.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = bind(fd, target, read_only);
    close(fd);
    return ok;
}

bool interface_up(const char* name)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    ifreq ifr{};
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", name);
    bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP;
    ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    close(s);
    return ok;
}

std::string find_program(const std::vector<const char*>& candidates)
{
    for (const char* c : candidates)
        if (access(c, X_OK) == 0)
            return c;
    return std::string();
}

// Runs argv without a shell, optionally in another network namespace, and returns its
// exit code; its standard output goes to *out when given.
int run_program(const std::vector<std::string>& argv, std::string* out, int netns = -1)
{
    if (argv.empty())
        return -1;
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int pipefd[2] = {-1, -1};
    if (out && pipe2(pipefd, O_CLOEXEC) < 0)
        return -1;
    pid_t pid = fork();
    if (pid < 0) {
        if (out) {
            close(pipefd[0]);
            close(pipefd[1]);
        }
        return -1;
    }
    if (pid == 0) {
        if (netns >= 0 && setns(netns, CLONE_NEWNET) < 0)
            _exit(126);
        if (out)
            dup2(pipefd[1], 1);
        execv(args[0], args.data());
        _exit(127);
    }
    if (out) {
        close(pipefd[1]);
        out->clear();
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(pipefd[0], buf, sizeof(buf));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            out->append(buf, size_t(n));
        }
        close(pipefd[0]);
    }
    return exit_code(wait_child(pid));
}

std::vector<std::string> split_words(const std::string& text)
{
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string w;
    while (in >> w)
        words.push_back(w);
    return words;
}

// The environment of everything started inside: the terminal's search path, and
// nothing of the host's but the sanitizers' settings.
std::vector<std::string> inner_environment(bool preload)
{
    std::vector<std::string> env = {std::string("PATH=") + kPath, "HOME=/root", "LANG=C", "TZ=UTC"};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
        const char* v = getenv(name);
        if (v)
            env.push_back(std::string(name) + "=" + v);
    }
    if (preload) {
        env.push_back(std::string("LD_PRELOAD=") + VSIM_PRELOAD);
#if defined(__SANITIZE_ADDRESS__)
        // The preloaded library comes before the sanitizer's runtime in the link order.
        bool have = false;
        for (std::string& e : env)
            if (e.compare(0, 13, "ASAN_OPTIONS=") == 0) {
                e += ":verify_asan_link_order=0";
                have = true;
            }
        if (!have)
            env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
#endif
    }
    return env;
}

// Test harness only: enters a throwaway user namespace that may not make any further
// one, so that the sandbox meets a kernel refusing user namespaces.
bool refuse_user_namespaces()
{
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER) < 0)
        return false;
    pid_t self = getpid();
    return write_proc(self, "setgroups", "deny") && write_proc(self, "uid_map", "0 " + std::to_string(uid) + " 1\n") &&
           write_proc(self, "gid_map", "0 " + std::to_string(gid) + " 1\n") &&
           write_existing("/proc/sys/user/max_user_namespaces", "0\n");
}

bool write_maps(pid_t child)
{
    bool root = geteuid() == 0;
    // As root outside, the sandbox becomes nobody there, so nothing inside can use
    // root's rights on the host's files.
    unsigned uid = root ? 65534 : unsigned(geteuid());
    unsigned gid = root ? 65534 : unsigned(getegid());
    if (!write_proc(child, "setgroups", "deny") && errno != ENOENT) {
        report("deny setgroups in the user namespace");
        return false;
    }
    if (!write_proc(child, "uid_map", "0 " + std::to_string(uid) + " 1\n")) {
        report("write the uid map of the user namespace");
        return false;
    }
    if (!write_proc(child, "gid_map", "0 " + std::to_string(gid) + " 1\n")) {
        report("write the gid map of the user namespace");
        return false;
    }
    return true;
}

struct Bind {
    std::string target;
    int fd;
    bool read_only;
    bool dir;
};

bool make_dirs(const std::string& root, const std::vector<std::pair<const char*, int>>& dirs)
{
    for (const auto& d : dirs) {
        std::string path = root + d.first;
        if (!mkdir_p(path, 0755) || chmod(path.c_str(), d.second) < 0) {
            report("create", d.first);
            return false;
        }
    }
    return true;
}

bool make_dev(const std::string& root, const std::vector<Bind>& binds)
{
    std::string dev = root + "/dev";
    if (mkdir(dev.c_str(), 0755) < 0 && errno != EEXIST) {
        report("create", "/dev");
        return false;
    }
    if (mount("tmpfs", dev.c_str(), "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755") < 0) {
        report("mount a tmpfs on", "/dev");
        return false;
    }
    for (const Bind& b : binds) {
        if (b.target.compare(0, 5, "/dev/") != 0)
            continue;
        std::string node = root + b.target;
        int fd = open(node.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0 || close(fd) < 0 || !bind(b.fd, node, false)) {
            report("bind", b.target);
            return false;
        }
    }
    std::string pts = dev + "/pts";
    if (mkdir(pts.c_str(), 0755) < 0 ||
        mount("devpts", pts.c_str(), "devpts", MS_NOSUID | MS_NOEXEC, "newinstance,ptmxmode=0666,mode=0620") < 0) {
        report("mount a private devpts on", "/dev/pts");
        return false;
    }
    const std::pair<const char*, const char*> links[] = {{"ptmx", "pts/ptmx"},     {"fd", "/proc/self/fd"},
                                                         {"stdin", "/proc/self/fd/0"}, {"stdout", "/proc/self/fd/1"},
                                                         {"stderr", "/proc/self/fd/2"}};
    for (const auto& l : links)
        if (symlink(l.second, (dev + "/" + l.first).c_str()) < 0) {
            report("link", std::string("/dev/") + l.first);
            return false;
        }
    return make_dirs(root, {{"/dev/shm", 01777}, {SYS_PROPERTY_DIR, 0755}});
}

bool make_proc_sys(const std::string& root, const Options& options)
{
    std::string proc = root + "/proc";
    if (mkdir(proc.c_str(), 0555) < 0 || mount("proc", proc.c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) < 0) {
        report("mount a fresh", "/proc");
        return false;
    }
    std::string fixture = root + "/sim/run/cpuinfo";
    if (!write_file(fixture, options.cpuinfo, 0444) || !bind_path(fixture, proc + "/cpuinfo", true)) {
        report("put the fixture over", "/proc/cpuinfo");
        return false;
    }
    std::string sys = root + "/sys";
    if (mkdir(sys.c_str(), 0555) < 0 ||
        mount("sysfs", sys.c_str(), "sysfs", MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_RDONLY, nullptr) < 0) {
        report("mount a fresh", "/sys");
        return false;
    }
    return true;
}

// Builds the terminal root on a tmpfs over the stage and makes it "/".
bool build_root(const std::vector<Bind>& binds, const std::vector<std::pair<std::string, std::string>>& links,
                const Options& options)
{
    const std::string root = kStage;
    if (mount("tmpfs", root.c_str(), "tmpfs", MS_NOSUID, "mode=0755") < 0) {
        report("mount the tmpfs of the terminal root on", root);
        return false;
    }
    bool ok = make_dirs(root, {{"/vesko/cfg", 0755},
                               {"/vesko/bin", 0755},
                               {"/vesko/data", 0755},
                               {"/var/etc", 0755},
                               {"/data", 0755},
                               {"/system/bin", 0755},
                               {"/system/etc", 0755},
                               {"/tmp", 01777},
                               {"/run", 0755},
                               {"/root", 0700},
                               {"/sim/run", 0755},
                               {"/sim/log", 0755},
                               {"/sim/bin", 0755},
                               {kSettingsDir, 0755}});
    if (!ok)
        return false;
    for (const auto& l : links)
        if (symlink(l.second.c_str(), (root + l.first).c_str()) < 0) {
            report("link", l.first);
            return false;
        }
    for (const Bind& b : binds) {
        if (b.target.compare(0, 5, "/dev/") == 0)
            continue;
        std::string target = root + b.target;
        // The build tree may lie inside the source tree, whose read-only bind already
        // shows the directory.
        struct stat st;
        bool present = stat(target.c_str(), &st) == 0;
        if (!present && !(b.dir ? mkdir_p(target, 0755) : write_file(target, "", 0644))) {
            report("create", b.target);
            return false;
        }
        if (!bind(b.fd, target, b.read_only)) {
            report("bind", b.target);
            return false;
        }
    }
    if (!make_dev(root, binds) || !make_proc_sys(root, options))
        return false;
    if (!write_file(root + kCommandLog, "", 0666)) {
        report("create", kCommandLog);
        return false;
    }
    if (chdir(root.c_str()) < 0 || syscall(SYS_pivot_root, ".", ".") < 0) {
        report("enter the terminal root (pivot_root)");
        return false;
    }
    if (umount2(".", MNT_DETACH) < 0 || chdir("/") < 0) {
        report("detach the host's root");
        return false;
    }
    return true;
}

bool copy_file(const std::string& from, const std::string& to, int mode)
{
    std::string text;
    return read_file(from, &text) && write_file(to, text, mode);
}

// The platform's tools: every stub goes to /sim/bin, and those the daemon runs by
// absolute path to /system/bin as well.
bool install_stubs()
{
    const std::string dir = VSIM_STUBS_DIR;
    DIR* d = opendir(dir.c_str());
    if (!d) {
        report("open the stubs in", dir);
        return false;
    }
    bool ok = true;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::string name = e->d_name;
        if (!copy_file(dir + "/" + name, "/sim/bin/" + name, 0755)) {
            report("install the stub", name);
            ok = false;
        }
    }
    closedir(d);
    for (const char* name : {"busybox", "usb_modeswitch"})
        if (ok && !copy_file(dir + "/" + name, std::string("/system/bin/") + name, 0755)) {
            report("install the stub", std::string("/system/bin/") + name);
            ok = false;
        }
    return ok;
}

}  // namespace

int Sandbox::run(const Options& options, const std::function<int(Sandbox&)>& fn)
{
    fflush(stdout);
    fflush(stderr);
    int up[2], down[2];
    if (pipe2(up, O_CLOEXEC) < 0) {
        report("create a pipe");
        return 125;
    }
    if (pipe2(down, O_CLOEXEC) < 0) {
        report("create a pipe");
        close(up[0]);
        close(up[1]);
        return 125;
    }
    pid_t parent = getpid();
    // _Fork skips the fork hooks: under ThreadSanitizer the hooks start the runtime's
    // own thread in the child at once, and a process with two threads may not make a
    // user namespace.
    pid_t child = _Fork();
    if (child < 0) {
        report("fork the sandbox");
        for (int fd : {up[0], up[1], down[0], down[1]})
            close(fd);
        return 125;
    }
    if (child == 0) {
        close(up[0]);
        close(down[1]);
        _exit(outside(options, fn, parent, up[1], down[0]));
    }
    close(up[1]);
    close(down[0]);
    char c = 0;
    ssize_t n;
    do
        n = ::read(up[0], &c, 1);
    while (n < 0 && errno == EINTR);
    int rc = 125;
    if (n == 1) {
        bool mapped = write_maps(child);
        c = mapped ? 'g' : 'x';
        write_all(down[1], &c, 1);
        int status = wait_child(child);
        rc = mapped ? exit_code(status) : 125;
    } else {
        rc = exit_code(wait_child(child));
    }
    close(up[0]);
    close(down[1]);
    return rc;
}

// The first child: makes the namespaces and waits for PID 1 of the new PID namespace,
// which builds the terminal and runs the function.
int Sandbox::outside(const Options& options, const std::function<int(Sandbox&)>& fn, pid_t parent, int up,
                     int down)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        return 125;
    // Root's supplementary groups would stay with the sandbox on the host.
    if (geteuid() == 0 && setgroups(0, nullptr) < 0) {
        report("drop the supplementary groups");
        return 125;
    }
    if (options.refuse_user_namespaces && !refuse_user_namespaces()) {
        report("limit user namespaces for the test");
        return 125;
    }
    if (unshare(CLONE_NEWUSER) < 0) {
        report("create user namespace");
        fprintf(stderr, "vsim: the sandbox needs user, mount, network, UTS and PID namespaces "
                        "(\"unshare -U true\" must work for this user)\n");
        return 125;
    }
    char c = 'u';
    if (!write_all(up, &c, 1))
        return 125;
    ssize_t n;
    do
        n = ::read(down, &c, 1);
    while (n < 0 && errno == EINTR);
    if (n != 1 || c != 'g')
        return 125;
    close(up);
    close(down);
    if (setresgid(0, 0, 0) < 0 || setresuid(0, 0, 0) < 0) {
        report("become root in the user namespace");
        return 125;
    }
    // A change of credentials clears both.
    prctl(PR_SET_DUMPABLE, 1);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        return 125;
    struct {
        int flag;
        const char* name;
    } spaces[] = {{CLONE_NEWNS, "create mount namespace"},
                  {CLONE_NEWNET, "create network namespace"},
                  {CLONE_NEWUTS, "create UTS namespace"},
                  {CLONE_NEWIPC, "create IPC namespace"},
                  {CLONE_NEWPID, "create PID namespace"}};
    for (const auto& s : spaces)
        if (unshare(s.flag) < 0) {
            report(s.name);
            return 125;
        }
    pid_t init = fork();
    if (init < 0) {
        report("fork PID 1 of the sandbox");
        return 125;
    }
    if (init == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int rc;
        {
            Sandbox sb(options);
            rc = sb.enter();
            if (rc == 0)
                rc = fn(sb);
        }
        fflush(stdout);
        fflush(stderr);
        _exit(rc & 0xff);
    }
    return exit_code(wait_child(init));
}

Sandbox::Sandbox(const Options& options) : m_options(options) {}

Sandbox::~Sandbox()
{
    if (m_daemon > 0)
        stop_daemon();
    // The server's thread uses the emulators, so it ends first.
    m_devices.reset();
    for (const Serial& s : m_serials) {
        close(s.master);
        close(s.slave);
    }
    if (m_lan_hold >= 0)
        close(m_lan_hold);
    // A child forked inside may still hold the other end of the pipe.
    if (m_lan > 0) {
        kill(m_lan, SIGKILL);
        wait_child(m_lan);
    }
    for (int fd : {m_lan_ns, m_own_ns})
        if (fd >= 0)
            close(fd);
}

// PID 1: assembles the terminal root on a tmpfs, enters it and sets up what runs
// inside. Returns 0, or 125 after a message naming the failed step.
int Sandbox::enter()
{
    umask(022);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0) {
        report("make the mount tree private");
        return 125;
    }
    char self[32] = {0};
    if (readlink("/proc/self", self, sizeof(self) - 1) > 0)
        m_host_pid = atoi(self);

    // Everything bound into the new root is opened before the stage is covered.
    std::vector<Bind> binds;
    std::vector<std::pair<std::string, std::string>> links;
    bool ok = true;
    auto add = [&](const std::string& host, const std::string& target, bool read_only) {
        int fd = open(host.c_str(), O_PATH | O_CLOEXEC);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) < 0) {
            report("open", host);
            ok = false;
            if (fd >= 0)
                close(fd);
            return;
        }
        binds.push_back({target, fd, read_only, S_ISDIR(st.st_mode)});
    };
    for (const char* top : {"/usr", "/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32", "/etc"}) {
        struct stat st;
        if (lstat(top, &st) < 0)
            continue;
        if (S_ISLNK(st.st_mode)) {
            char to[4096];
            ssize_t n = readlink(top, to, sizeof(to) - 1);
            if (n > 0)
                links.push_back({top, std::string(to, size_t(n))});
        } else if (S_ISDIR(st.st_mode)) {
            add(top, top, true);
        }
    }
    add(VSIM_SOURCE_DIR, VSIM_SOURCE_DIR, true);
    add(VSIM_BINARY_DIR, VSIM_BINARY_DIR, true);
    for (const char* node : {"null", "zero", "full", "random", "urandom", "tty"})
        add(std::string("/dev/") + node, std::string("/dev/") + node, false);
    bool built = ok && build_root(binds, links, m_options);
    for (const Bind& b : binds)
        close(b.fd);
    if (!built)
        return 125;

    if (sethostname(m_options.hostname.data(), m_options.hostname.size()) < 0) {
        report("set the host name");
        return 125;
    }
    if (!interface_up("lo")) {
        report("bring up the loopback interface");
        return 125;
    }
    for (const std::string& e : inner_environment(false)) {
        size_t eq = e.find('=');
        setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    unsetenv("LD_PRELOAD");
    unsetenv("TMPDIR");
    if (!install_stubs() || start_devices() != 0 || start_lan() != 0)
        return 125;
    return 0;
}

int Sandbox::start_devices()
{
    m_clock.reset(new SandboxClock("/sim/run", "/sim/log"));
    if (!m_clock->open()) {
        report("open the sandbox clock");
        return 125;
    }
    m_devices.reset(new DeviceServer("/sim/run"));
    m_gpio.reset(new GpioEmu(m_options.gpio_version));
    if (m_options.gpio_present && !m_devices->add_gpio(*m_gpio)) {
        report("serve", "/dev/gpio");
        return 125;
    }
    for (int bus : {1, 3, 4, 5}) {
        m_i2c.emplace_back(new I2cEmu(bus));
        if (!m_devices->add_i2c(*m_i2c.back())) {
            report("serve", "/dev/i2c-" + std::to_string(bus));
            return 125;
        }
    }
    if (!m_devices->start()) {
        report("start the device server");
        return 125;
    }
    return 0;
}

I2cEmu& Sandbox::i2c(int bus)
{
    for (const auto& a : m_i2c)
        if (a->bus() == bus)
            return *a;
    m_i2c.emplace_back(new I2cEmu(bus));
    if (!m_devices->add_i2c(*m_i2c.back()))
        report("serve", "/dev/i2c-" + std::to_string(bus));
    return *m_i2c.back();
}

// The wall clock.

int64_t Sandbox::clock_offset_us() const
{
    return m_clock->offset_us();
}

void Sandbox::clock_advance(int64_t usec)
{
    m_clock->advance(usec);
}

void Sandbox::clock_set(int64_t sec)
{
    m_clock->set(sec);
}

int64_t Sandbox::now() const
{
    return m_clock->now();
}

std::vector<ClockSet> Sandbox::clock_sets() const
{
    return m_clock->sets();
}

// Terminal files.

bool Sandbox::write(const std::string& path, const std::string& text, int mode)
{
    return mkdir_p(parent_of(path), 0755) && write_file(path, text, mode);
}

std::string Sandbox::read(const std::string& path) const
{
    std::string text;
    read_file(path, &text);
    return text;
}

bool Sandbox::exists(const std::string& path) const
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool Sandbox::remove(const std::string& path)
{
    return ::remove(path.c_str()) == 0;
}

int Sandbox::mode(const std::string& path) const
{
    struct stat st;
    if (stat(path.c_str(), &st) < 0)
        return -1;
    return int(st.st_mode & 07777);
}

// Serial ports.

int Sandbox::serial(const std::string& dev)
{
    if (!dev_path(dev)) {
        fprintf(stderr, "vsim: a serial port must be a path under /dev: %s\n", dev.c_str());
        return -1;
    }
    for (auto it = m_serials.begin(); it != m_serials.end(); ++it)
        if (it->path == dev) {
            // A fresh pty replaces the old one, as a replugged adapter would.
            umount2(dev.c_str(), MNT_DETACH);
            close(it->master);
            close(it->slave);
            m_serials.erase(it);
            break;
        }
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        report("open a pty for", dev);
        return -1;
    }
    char name[64];
    if (grantpt(master) < 0 || unlockpt(master) < 0 || ptsname_r(master, name, sizeof(name)) != 0) {
        report("unlock the pty for", dev);
        close(master);
        return -1;
    }
    // Holding the slave open keeps the master readable while the terminal side closes
    // and reopens the port.
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio;
    if (slave < 0 || tcgetattr(slave, &tio) < 0) {
        report("open the pty slave for", dev);
        if (slave >= 0)
            close(slave);
        close(master);
        return -1;
    }
    cfmakeraw(&tio);
    cfsetspeed(&tio, B115200);
    if (tcsetattr(slave, TCSANOW, &tio) < 0 || !mkdir_p(parent_of(dev), 0755) ||
        (!exists(dev) && !write_file(dev, "", 0666)) || mount(name, dev.c_str(), nullptr, MS_BIND, nullptr) < 0) {
        report("make the serial port", dev);
        close(slave);
        close(master);
        return -1;
    }
    m_serials.push_back({dev, master, slave});
    return master;
}

// Network.

int Sandbox::start_lan()
{
    m_own_ns = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    int ready[2], hold[2];
    if (m_own_ns < 0 || pipe2(ready, O_CLOEXEC) < 0) {
        report("prepare the LAN namespace");
        return 125;
    }
    if (pipe2(hold, O_CLOEXEC) < 0) {
        report("prepare the LAN namespace");
        close(ready[0]);
        close(ready[1]);
        return 125;
    }
    pid_t pid = fork();
    if (pid < 0) {
        report("fork the LAN namespace");
        for (int fd : {ready[0], ready[1], hold[0], hold[1]})
            close(fd);
        return 125;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(ready[0]);
        close(hold[1]);
        if (unshare(CLONE_NEWNET) < 0) {
            report("create the LAN namespace");
            _exit(1);
        }
        if (!interface_up("lo")) {
            report("bring up the loopback interface of the LAN namespace");
            _exit(1);
        }
        char c = 'r';
        write_all(ready[1], &c, 1);
        // Lives as long as the sandbox holds the other end.
        while (::read(hold[0], &c, 1) < 0 && errno == EINTR) {
        }
        _exit(0);
    }
    close(ready[1]);
    close(hold[0]);
    m_lan = pid;
    m_lan_hold = hold[1];
    char c = 0;
    ssize_t n;
    do
        n = ::read(ready[0], &c, 1);
    while (n < 0 && errno == EINTR);
    close(ready[0]);
    if (n == 1)
        m_lan_ns = open(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    if (m_lan_ns < 0) {
        report("join the LAN namespace");
        return 125;
    }
    m_ip = find_program({"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"});
    if (m_ip.empty()) {
        fprintf(stderr, "vsim: cannot find the ip tool of iproute2\n");
        return 125;
    }
    for (const Interface& i : m_options.interfaces)
        if (!add_interface(i))
            return 125;
    return 0;
}

bool Sandbox::ip_in(int netns, const std::vector<std::string>& args, std::string* out)
{
    std::vector<std::string> argv = {m_ip};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string text;
    int rc = run_program(argv, out ? out : &text, netns);
    if (rc != 0) {
        std::string line;
        for (const std::string& a : args)
            line += " " + a;
        fprintf(stderr, "vsim: \"ip%s\" failed (%d)\n", line.c_str(), rc);
    }
    return rc == 0;
}

std::string Sandbox::lan_name(const std::string& ifname)
{
    return ifname + "-lan";
}

bool Sandbox::add_interface(const Interface& i)
{
    // The far end's name carries a suffix and must still fit the kernel's 15 characters.
    if (!plain_name(i.name, true) || i.name.size() > 11) {
        fprintf(stderr, "vsim: bad interface name \"%s\" (at most 11 of [A-Za-z0-9._-])\n", i.name.c_str());
        return false;
    }
    std::string far = lan_name(i.name);
    bool ok = ip_in(-1, {"link", "add", i.name, "type", "veth", "peer", "name", far, "netns", std::to_string(m_lan)});
    if (ok && !i.mac.empty())
        ok = ip_in(-1, {"link", "set", "dev", i.name, "address", i.mac});
    if (ok && !i.address.empty())
        ok = ip_in(-1, {"addr", "add", i.address, "dev", i.name});
    if (ok)
        ok = ip_in(-1, {"link", "set", "dev", i.name, "up"});
    if (ok && !i.peer.empty())
        ok = ip_in(m_lan_ns, {"addr", "add", i.peer, "dev", far});
    if (ok && i.carrier)
        ok = ip_in(m_lan_ns, {"link", "set", "dev", far, "up"});
    if (!ok)
        fprintf(stderr, "vsim: cannot make the interface %s\n", i.name.c_str());
    return ok;
}

bool Sandbox::set_carrier(const std::string& ifname, bool on)
{
    if (!plain_name(ifname, true) || m_lan_ns < 0)
        return false;
    return ip_in(m_lan_ns, {"link", "set", "dev", lan_name(ifname), on ? "up" : "down"});
}

int Sandbox::in_lan(const std::function<int()>& fn)
{
    if (m_lan_ns < 0 || setns(m_lan_ns, CLONE_NEWNET) < 0) {
        report("enter the LAN namespace");
        return -1;
    }
    int rc = fn();
    if (setns(m_own_ns, CLONE_NEWNET) < 0) {
        // A thread left in the LAN would make every later result a lie.
        report("return from the LAN namespace");
        abort();
    }
    return rc;
}

int Sandbox::lan_socket(int type)
{
    return in_lan([type] { return socket(AF_INET, type | SOCK_CLOEXEC, 0); });
}

std::string Sandbox::ip(const std::string& args)
{
    std::string out;
    ip_in(-1, split_words(args), &out);
    return out;
}

// Platform tools.

std::vector<std::string> Sandbox::commands() const
{
    std::vector<std::string> lines;
    std::string text = read(kCommandLog);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool Sandbox::wait_command(const std::string& prefix, int timeout_ms) const
{
    return wait_until(
        [&] {
            for (const std::string& c : commands())
                if (c.compare(0, prefix.size(), prefix) == 0)
                    return true;
            return false;
        },
        timeout_ms);
}

void Sandbox::clear_commands()
{
    truncate(kCommandLog, 0);
}

std::string Sandbox::property(const std::string& name) const
{
    if (!plain_name(name, true))
        return std::string();
    std::string value = read(std::string(SYS_PROPERTY_DIR "/") + name);
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r'))
        value.pop_back();
    return value;
}

bool Sandbox::set_property(const std::string& name, const std::string& value)
{
    if (!plain_name(name, true) || value.size() >= SYS_PROPERTY_VALUE_MAX || value.find('\n') != std::string::npos)
        return false;
    // Readers see the old value or the new one, never half of it.
    std::string path = std::string(SYS_PROPERTY_DIR "/") + name;
    std::string temp = std::string(SYS_PROPERTY_DIR "/.") + name + ".tmp";
    return write_file(temp, value, 0644) && rename(temp.c_str(), path.c_str()) == 0;
}

bool Sandbox::set_setting(const std::string& ns, const std::string& key, const std::string& value)
{
    if (!plain_name(ns, false) || !plain_name(key, true) || value.find('\n') != std::string::npos)
        return false;
    std::string path = std::string(kSettingsDir) + "/" + ns + "." + key;
    std::string temp = std::string(kSettingsDir) + "/." + ns + "." + key + ".tmp";
    return write_file(temp, value, 0644) && rename(temp.c_str(), path.c_str()) == 0;
}

// The daemon.

pid_t Sandbox::start_daemon()
{
    return start_process({VSIM_DAEMON});
}

pid_t Sandbox::start_process(const std::vector<std::string>& argv)
{
    if (argv.empty())
        return -1;
    if (m_daemon > 0) {
        fprintf(stderr, "vsim: the daemon already runs (pid %d)\n", int(m_daemon));
        return -1;
    }
    // Everything the child needs is built before the fork: between fork and exec only
    // async-signal-safe calls are made.
    std::vector<std::string> env = inner_environment(true);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    if (args[0] == VSIM_DAEMON)
        args[0] = "vesko-hwd";
    std::vector<char*> argp;
    for (std::string& a : args)
        argp.push_back(&a[0]);
    argp.push_back(nullptr);
    const char* program = argv[0].c_str();
    int out = open(kDaemonStdout, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(kDaemonStderr, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0 || err < 0) {
        report("create the daemon's logs in", "/sim/log");
        if (out >= 0)
            close(out);
        if (err >= 0)
            close(err);
        return -1;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        int in = open("/dev/null", O_RDONLY);
        if (in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(127);
        syscall(SYS_close_range, 3U, ~0U, 0U);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction dfl;
        memset(&dfl, 0, sizeof(dfl));
        dfl.sa_handler = SIG_DFL;
        for (int sig : {SIGPIPE, SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGALRM})
            sigaction(sig, &dfl, nullptr);
        execve(program, argp.data(), envp.data());
        static const char msg[] = "vsim: cannot run ";
        (void)!::write(2, msg, sizeof(msg) - 1);
        (void)!::write(2, program, strlen(program));
        (void)!::write(2, "\n", 1);
        _exit(127);
    }
    close(out);
    close(err);
    if (pid < 0) {
        report("fork the daemon");
        return -1;
    }
    m_daemon = pid;
    m_daemon_done = false;
    m_daemon_status = 0;
    return pid;
}

bool Sandbox::reap_daemon(bool block)
{
    if (m_daemon <= 0)
        return false;
    if (m_daemon_done)
        return true;
    int status = 0;
    pid_t r;
    do
        r = waitpid(m_daemon, &status, block ? 0 : WNOHANG);
    while (r < 0 && errno == EINTR);
    if (r == m_daemon || (r < 0 && errno == ECHILD)) {
        m_daemon_done = true;
        m_daemon_status = r == m_daemon ? status : -1;
    }
    return m_daemon_done;
}

bool Sandbox::daemon_running()
{
    return m_daemon > 0 && !reap_daemon(false);
}

int Sandbox::wait_daemon(int timeout_ms)
{
    if (m_daemon <= 0)
        return -1;
    if (!wait_until([this] { return reap_daemon(false); }, timeout_ms))
        return -1;
    return exit_code(m_daemon_status);
}

int Sandbox::stop_daemon()
{
    if (m_daemon <= 0)
        return -1;
    if (!reap_daemon(false)) {
        kill(m_daemon, SIGTERM);
        if (!wait_until([this] { return reap_daemon(false); }, 5000)) {
            kill(m_daemon, SIGKILL);
            reap_daemon(true);
        }
    }
    int status = m_daemon_status;
    m_daemon = -1;
    m_daemon_done = false;
    return status;
}

std::string Sandbox::daemon_stdout() const
{
    return read(kDaemonStdout);
}

std::string Sandbox::daemon_stderr() const
{
    return read(kDaemonStderr);
}

bool Sandbox::wait_stderr(const std::string& text, int timeout_ms) const
{
    return wait_until([&] { return daemon_stderr().find(text) != std::string::npos; }, timeout_ms);
}

bool Sandbox::wait_stdout(const std::string& text, int timeout_ms) const
{
    return wait_until([&] { return daemon_stdout().find(text) != std::string::npos; }, timeout_ms);
}

bool wait_until(const std::function<bool()>& cond, int timeout_ms)
{
    int64_t end = monotonic_ms() + timeout_ms;
    for (;;) {
        if (cond())
            return true;
        if (monotonic_ms() >= end)
            return false;
        usleep(5000);
    }
}

}  // namespace vsim
