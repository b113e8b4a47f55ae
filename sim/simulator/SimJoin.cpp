#include "SimJoin.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vsim {

namespace {

// The simulator's processes keep the program's name: the sandbox forks, it does not
// run another program.
bool is_simulator(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/comm", int(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char name[32] = {0};
    ssize_t n = read(fd, name, sizeof(name) - 1);
    close(fd);
    return n > 0 && strncmp(name, "vesko-sim\n", 10) == 0;
}

pid_t pid_in(int fd)
{
    char buf[32] = {0};
    ssize_t n = pread(fd, buf, sizeof(buf) - 1, 0);
    if (n <= 0)
        return -1;
    char* end = nullptr;
    long v = strtol(buf, &end, 10);
    if (end == buf || (*end != '\n' && *end != '\0') || v <= 1 || v > 0x3fffffff)
        return -1;
    return pid_t(v);
}

}  // namespace

std::string SimJoin::default_pid_file()
{
    const char* run = getenv("XDG_RUNTIME_DIR");
    struct stat st;
    if (run && run[0] == '/' && stat(run, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid())
        return std::string(run) + "/vesko-sim.pid";
    return "/tmp/vesko-sim-" + std::to_string(geteuid()) + ".pid";
}

pid_t SimJoin::running(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    pid_t pid = -1;
    // Someone else's file could send us into someone else's namespaces.
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_uid == geteuid() || st.st_uid == 0))
        pid = pid_in(fd);
    close(fd);
    return pid > 0 && is_simulator(pid) ? pid : -1;
}

int SimJoin::claim(const std::string& path, std::string* error)
{
    pid_t other = running(path);
    if (other > 0) {
        *error = "another simulator (pid " + std::to_string(other) + ") has " + path;
        return -1;
    }
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) < 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        *error = "cannot make the pid file " + path + (fd < 0 ? std::string(": ") + strerror(errno) : "");
        if (fd >= 0)
            close(fd);
        return -1;
    }
    if (ftruncate(fd, 0) < 0) {
        *error = "cannot write the pid file " + path;
        close(fd);
        return -1;
    }
    return fd;
}

bool SimJoin::publish(int fd, pid_t pid)
{
    std::string text = std::to_string(pid) + "\n";
    return ftruncate(fd, 0) == 0 && pwrite(fd, text.data(), text.size(), 0) == ssize_t(text.size());
}

bool SimJoin::join(const std::string& path, std::string* error)
{
    pid_t pid = running(path);
    if (pid < 0) {
        *error = "no simulator is running (" + path + " names none; start one with ./scripts/sim)";
        return false;
    }
    std::string ns = "/proc/" + std::to_string(pid) + "/ns/";
    int net = open((ns + "net").c_str(), O_RDONLY | O_CLOEXEC);
    if (net < 0) {
        *error = "cannot open " + ns + "net: " + strerror(errno);
        return false;
    }
    bool ok = setns(net, CLONE_NEWNET) == 0;
    if (!ok && errno == EPERM) {
        // Without privileges on the host, only the sandbox's own user namespace gives
        // the right to enter its network namespace.
        int user = open((ns + "user").c_str(), O_RDONLY | O_CLOEXEC);
        ok = user >= 0 && setns(user, CLONE_NEWUSER) == 0 && setns(net, CLONE_NEWNET) == 0;
        if (user >= 0)
            close(user);
    }
    if (!ok)
        *error = "cannot enter the simulator's network namespace: " + std::string(strerror(errno));
    close(net);
    return ok;
}

}  // namespace vsim
