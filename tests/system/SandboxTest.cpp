#include <gtest/gtest-spi.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "sys_property.h"
#include "vsim_test.h"

namespace {

std::set<std::string> list_dir(const std::string& path)
{
    std::set<std::string> names;
    DIR* d = opendir(path.c_str());
    if (!d)
        return names;
    while (dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.insert(e->d_name);
    closedir(d);
    return names;
}

// The kernel's own clock, past any interposition of the C library's calls.
int64_t kernel_realtime()
{
    timespec ts{};
    syscall(SYS_clock_gettime, CLOCK_REALTIME, &ts);
    return ts.tv_sec;
}

bool host_exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string status_field(pid_t pid, const std::string& field)
{
    FILE* f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (!f)
        return std::string();
    char line[512];
    std::string value;
    while (fgets(line, sizeof(line), f))
        if (strncmp(line, (field + ":").c_str(), field.size() + 1) == 0) {
            value = line + field.size() + 1;
            break;
        }
    fclose(f);
    value.erase(std::remove(value.begin(), value.end(), '\n'), value.end());
    return value;
}

std::string shell(const std::string& command)
{
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return out;
    char buf[1024];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

bool read_exact(int fd, std::string* out, size_t n, int timeout_ms)
{
    out->clear();
    while (out->size() < n) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return false;
        char buf[256];
        ssize_t r = read(fd, buf, std::min(sizeof(buf), n - out->size()));
        if (r <= 0)
            return false;
        out->append(buf, size_t(r));
    }
    return true;
}

bool write_exact(int fd, const std::string& data)
{
    return write(fd, data.data(), data.size()) == ssize_t(data.size());
}

vsim::Options with_interfaces(std::vector<vsim::Interface> interfaces)
{
    vsim::Options o;
    o.interfaces = std::move(interfaces);
    return o;
}

// What the host sees of a running sandbox, written down by an observer process of the
// host's: nobody's credentials and no new interfaces.
std::string observe_from_host(pid_t inner, const std::set<std::string>& host_links)
{
    std::string faults;
    std::string uid = status_field(inner, "Uid");
    std::string gid = status_field(inner, "Gid");
    std::string groups = status_field(inner, "Groups");
    std::string want_uid = geteuid() == 0 ? "65534" : std::to_string(geteuid());
    std::string want_gid = geteuid() == 0 ? "65534" : std::to_string(getegid());
    if (uid != "\t" + want_uid + "\t" + want_uid + "\t" + want_uid + "\t" + want_uid)
        faults += "uid outside:" + uid + "\n";
    if (gid != "\t" + want_gid + "\t" + want_gid + "\t" + want_gid + "\t" + want_gid)
        faults += "gid outside:" + gid + "\n";
    if (geteuid() == 0 && groups.find_first_not_of(" \t") != std::string::npos)
        faults += "supplementary groups outside:" + groups + "\n";
    if (list_dir("/sys/class/net") != host_links)
        faults += "the host's interfaces changed\n";
    for (const char* name : {"vsx9", "vsx9-lan", "eth0-lan"})
        if (host_exists(std::string("/sys/class/net/") + name))
            faults += std::string("the host has ") + name + "\n";
    return faults;
}

}  // namespace

// The sandbox as the host sees it while it runs and after it ended: no files, no clock
// change. The observer is a process, not a thread, so the sandbox forks from a process
// with one thread.
TEST(Sandbox, NothingReachesTheHost)
{
    const std::string unique = "vsim-host-check-" + std::to_string(getpid());
    const std::set<std::string> host_links = list_dir("/sys/class/net");
    int report[2], done[2], verdict[2];
    ASSERT_EQ(pipe(report), 0);
    ASSERT_EQ(pipe(done), 0);
    ASSERT_EQ(pipe(verdict), 0);
    const int64_t before = kernel_realtime();

    fflush(stdout);
    fflush(stderr);
    pid_t observer = fork();
    ASSERT_GE(observer, 0);
    if (observer == 0) {
        signal(SIGPIPE, SIG_IGN);
        close(report[1]);
        close(done[0]);
        close(verdict[0]);
        pid_t inner = -1;
        std::string faults = "the sandbox did not report\n";
        if (read(report[0], &inner, sizeof(inner)) == sizeof(inner))
            faults = observe_from_host(inner, host_links);
        (void)!write(done[1], "d", 1);
        (void)!write(verdict[1], faults.data(), faults.size());
        _exit(0);
    }
    close(report[0]);
    close(done[1]);
    close(verdict[1]);

    vsim::Options options = with_interfaces({{"eth0", "192.168.12.100/24", "192.168.12.40/24", true, ""},
                                             {"vsx9", "10.9.0.2/24", "10.9.0.1/24", true, ""}});
    int rc = vsim::Sandbox::run(options, [&](vsim::Sandbox& sb) {
        EXPECT_EQ(getuid(), 0u);
        EXPECT_EQ(geteuid(), 0u);
        EXPECT_EQ(getgid(), 0u);
        EXPECT_EQ(getpid(), 1);
        EXPECT_TRUE(sb.write("/var/etc/" + unique, "inside\n", 0777));
        EXPECT_TRUE(sb.write("/vesko/cfg/" + unique, "<sys/>", 0644));
        EXPECT_TRUE(sb.write("/data/" + unique, "x"));
        EXPECT_EQ(sb.read("/var/etc/" + unique), "inside\n");

        // The kernel refuses both ways of setting the clock.
        timeval tv = {time(nullptr) + 86400 * 400, 0};
        errno = 0;
        EXPECT_EQ(syscall(SYS_settimeofday, &tv, nullptr), -1);
        EXPECT_EQ(errno, EPERM);
        timespec ts = {tv.tv_sec, 0};
        errno = 0;
        EXPECT_EQ(syscall(SYS_clock_settime, CLOCK_REALTIME, &ts), -1);
        EXPECT_EQ(errno, EPERM);

        char hostname[64] = {0};
        gethostname(hostname, sizeof(hostname) - 1);
        EXPECT_STREQ(hostname, "terminal");

        pid_t host_pid = sb.host_pid();
        EXPECT_GT(host_pid, 1);
        EXPECT_EQ(write(report[1], &host_pid, sizeof(host_pid)), ssize_t(sizeof(host_pid)));
        char c;
        EXPECT_EQ(read(done[0], &c, 1), 1);
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
    // Without a report the observer now sees the end of the pipe.
    close(report[1]);
    close(done[0]);
    std::string faults;
    char buf[512];
    ssize_t n;
    while ((n = read(verdict[0], buf, sizeof(buf))) > 0)
        faults.append(buf, size_t(n));
    close(verdict[0]);
    int status = 0;
    waitpid(observer, &status, 0);
    EXPECT_EQ(faults, "");
    ASSERT_NE(rc, 125) << "the sandbox could not be made";
    EXPECT_EQ(rc, 0);

    EXPECT_FALSE(host_exists("/var/etc/" + unique));
    EXPECT_FALSE(host_exists("/vesko/cfg/" + unique));
    EXPECT_FALSE(host_exists("/data/" + unique));
    const int64_t after = kernel_realtime();
    EXPECT_LT(after - before, 86400) << "the host's clock moved";
    EXPECT_GE(after, before) << "the host's clock moved back";
}

TEST(Sandbox, TerminalRootFileSystem)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        for (const char* dir : {"/vesko/cfg", "/vesko/bin", "/vesko/data", "/var/etc", "/data", "/system/bin",
                                "/system/etc", "/tmp", "/sim/run", "/sim/log", "/sim/bin", "/root"}) {
            struct stat st;
            ASSERT_EQ(stat(dir, &st), 0) << dir;
            EXPECT_TRUE(S_ISDIR(st.st_mode)) << dir;
            EXPECT_EQ(access(dir, W_OK), 0) << dir;
        }
        // Fresh: nothing of the host's in the terminal's own directories.
        for (const char* dir : {"/vesko/cfg", "/vesko/bin", "/var/etc", "/data", "/system/etc"})
            EXPECT_TRUE(list_dir(dir).empty()) << dir;
        EXPECT_EQ(sb.mode("/tmp"), 01777);

        // The host's programs are there but cannot be changed.
        EXPECT_EQ(access("/bin/sh", X_OK), 0);
        EXPECT_EQ(access("/usr/bin/busybox", X_OK), 0);
        errno = 0;
        EXPECT_LT(open("/usr/vsim-write-test", O_WRONLY | O_CREAT, 0644), 0);
        EXPECT_EQ(errno, EROFS);
        errno = 0;
        EXPECT_LT(open("/etc/vsim-write-test", O_WRONLY | O_CREAT, 0644), 0);
        EXPECT_EQ(errno, EROFS);

        // The source and build trees at their own paths, read-only.
        EXPECT_TRUE(sb.exists(VSIM_SOURCE_DIR "/sim/sandbox/Sandbox.h"));
        EXPECT_TRUE(sb.exists(VSIM_BINARY_DIR "/CMakeCache.txt"));
        errno = 0;
        EXPECT_LT(open(VSIM_BINARY_DIR "/vsim-write-test", O_WRONLY | O_CREAT, 0644), 0);
        EXPECT_EQ(errno, EROFS);

        // The file helpers: parents made on demand, modes as asked, missing files empty.
        EXPECT_TRUE(sb.write("/vesko/data/a/b/c.txt", "abc", 0600));
        EXPECT_EQ(sb.read("/vesko/data/a/b/c.txt"), "abc");
        EXPECT_EQ(sb.mode("/vesko/data/a/b/c.txt"), 0600);
        EXPECT_TRUE(sb.write("/var/etc/open", "x", 0777));
        EXPECT_EQ(sb.mode("/var/etc/open"), 0777);
        EXPECT_TRUE(sb.remove("/vesko/data/a/b/c.txt"));
        EXPECT_FALSE(sb.exists("/vesko/data/a/b/c.txt"));
        EXPECT_FALSE(sb.remove("/vesko/data/a/b/c.txt"));
        EXPECT_EQ(sb.read("/vesko/data/a/b/c.txt"), "");
        EXPECT_EQ(sb.mode("/vesko/data/a/b/c.txt"), -1);
        EXPECT_FALSE(sb.write("/usr/vsim-write-test", "x"));

        // Our own PID namespace: this is PID 1 and the host's processes are not there.
        EXPECT_EQ(getpid(), 1);
        for (const std::string& name : list_dir("/proc"))
            if (name.find_first_not_of("0123456789") == std::string::npos) {
                EXPECT_LT(atoi(name.c_str()), 100) << "a process of the host is visible: " << name;
            }
        EXPECT_EQ(sb.read("/proc/1/comm").empty(), false);
    });
}

TEST(Sandbox, CpuinfoIsTheFixtureOfTheTest)
{
    const char* fixtures[] = {"processor\t: 0\nHardware\t: sun8i\n",
                              "Processor\t: AArch64 Processor rev 4 (aarch64)\nHardware\t: Rockchip RK3368\n"
                              "Serial\t\t: 0000000000000000\n"};
    for (const char* fixture : fixtures) {
        vsim::Options options;
        options.cpuinfo = fixture;
        vsim_run(options, [fixture](vsim::Sandbox& sb) {
            EXPECT_EQ(sb.read("/proc/cpuinfo"), fixture);
            FILE* f = fopen("/proc/cpuinfo", "r");
            ASSERT_NE(f, nullptr);
            char line[256];
            ASSERT_NE(fgets(line, sizeof(line), f), nullptr);
            fclose(f);
            EXPECT_EQ(strncmp(line, fixture, strlen(line)), 0);
            errno = 0;
            EXPECT_LT(open("/proc/cpuinfo", O_WRONLY), 0);
        });
    }
}

TEST(Sandbox, PrivateDev)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        for (const char* node : {"/dev/null", "/dev/zero", "/dev/random", "/dev/urandom", "/dev/full"}) {
            struct stat st;
            ASSERT_EQ(stat(node, &st), 0) << node;
            EXPECT_TRUE(S_ISCHR(st.st_mode)) << node;
        }
        int zero = open("/dev/zero", O_RDONLY);
        ASSERT_GE(zero, 0);
        char buf[16];
        memset(buf, 0x55, sizeof(buf));
        EXPECT_EQ(read(zero, buf, sizeof(buf)), ssize_t(sizeof(buf)));
        EXPECT_EQ(std::count(buf, buf + sizeof(buf), 0), 16);
        close(zero);
        int random = open("/dev/urandom", O_RDONLY);
        ASSERT_GE(random, 0);
        int seed = 0;
        EXPECT_EQ(read(random, &seed, sizeof(seed)), ssize_t(sizeof(seed)));
        close(random);
        int null = open("/dev/null", O_WRONLY);
        ASSERT_GE(null, 0);
        EXPECT_EQ(write(null, "x", 1), 1);
        close(null);

        // Only what the sandbox made: no disks of the host, no GPIO until emulated.
        EXPECT_FALSE(sb.exists("/dev/vda"));
        EXPECT_FALSE(sb.exists("/dev/sda"));
        EXPECT_FALSE(sb.exists("/dev/mem"));
        EXPECT_TRUE(sb.exists(SYS_PROPERTY_DIR));

        // A devpts of its own: it starts without any pty and the new one is number 0.
        std::set<std::string> pts = list_dir("/dev/pts");
        EXPECT_EQ(pts, std::set<std::string>{"ptmx"});
        int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        EXPECT_EQ(unlockpt(master), 0);
        EXPECT_STREQ(ptsname(master), "/dev/pts/0");
        close(master);
    });
}

// Bytes that a cooked terminal would eat or change must cross unchanged.
TEST(Sandbox, SerialPortsCrossBothWaysInRawMode)
{
    const struct {
        const char* dev;
        speed_t speed;
    } ports[] = {{"/dev/ttyS3", B38400}, {"/dev/ttyS1", B115200}, {"/dev/ttyUSB0", B115200}};
    vsim_run(vsim::Options(), [&](vsim::Sandbox& sb) {
        std::string all;
        for (int i = 0; i < 256; i++)
            all.push_back(char(i));
        for (const auto& port : ports) {
            SCOPED_TRACE(port.dev);
            int master = sb.serial(port.dev);
            ASSERT_GE(master, 0);
            int fd = open(port.dev, O_RDWR | O_NOCTTY);
            ASSERT_GE(fd, 0);
            termios tio;
            ASSERT_EQ(tcgetattr(fd, &tio), 0);
            cfmakeraw(&tio);
            cfsetispeed(&tio, port.speed);
            cfsetospeed(&tio, port.speed);
            tio.c_cflag |= CLOCAL | CREAD;
            ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
            termios back;
            ASSERT_EQ(tcgetattr(fd, &back), 0);
            EXPECT_EQ(cfgetospeed(&back), port.speed);

            std::string got;
            ASSERT_TRUE(write_exact(fd, all));
            ASSERT_TRUE(read_exact(master, &got, all.size(), 5000));
            EXPECT_EQ(got, all);
            ASSERT_TRUE(write_exact(master, all));
            ASSERT_TRUE(read_exact(fd, &got, all.size(), 5000));
            EXPECT_EQ(got, all);

            // The terminal side closes and reopens the port: the emulator's side stays.
            close(fd);
            pollfd p = {master, POLLIN, 0};
            EXPECT_EQ(poll(&p, 1, 0), 0) << "the master saw a hang-up";
            fd = open(port.dev, O_RDWR | O_NOCTTY);
            ASSERT_GE(fd, 0);
            ASSERT_TRUE(write_exact(fd, std::string("\r\n\x03\x11\x13", 5)));
            ASSERT_TRUE(read_exact(master, &got, 5, 5000));
            EXPECT_EQ(got, std::string("\r\n\x03\x11\x13", 5));
            close(fd);
        }
        for (const char* bad : {"/etc/passwd", "/dev/../etc/x", "/dev/..", "/dev/", "/dev//ttyS0", "/dev/ttyS0/", "dev/ttyS0"})
            EXPECT_LT(sb.serial(bad), 0) << bad;
        for (const char* dir : {"/", "/dev"}) {
            struct stat st;
            ASSERT_EQ(stat(dir, &st), 0);
            EXPECT_TRUE(S_ISDIR(st.st_mode)) << dir << " was covered";
        }
    });
}

TEST(Sandbox, StubsLogEveryCallAsOneLine)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        EXPECT_TRUE(sb.commands().empty());
        const char* calls[][2] = {
            {"am start -n com.example/.Calibrate", "am start -n com.example/.Calibrate"},
            {"svc wifi disable", "svc wifi disable"},
            {"ndc resolver setnetdns eth1 \"\" 8.8.8.8", "ndc resolver setnetdns eth1  8.8.8.8"},
            {"/system/bin/usb_modeswitch -v 12d1 -p 1f01 -c /system/etc/usb_modeswitch.d/12d1_1f01",
             "usb_modeswitch -v 12d1 -p 1f01 -c /system/etc/usb_modeswitch.d/12d1_1f01"},
            {"mount -o remount,sync,nosuid,nodev,noatime,nomblk_io_submit /vesko/cfg",
             "mount -o remount,sync,nosuid,nodev,noatime,nomblk_io_submit /vesko/cfg"},
            {"umount /var/private", "umount /var/private"},
            {"busybox hwclock -u -w", "busybox hwclock -u -w"},
            {"setprop net.dns1 10.0.0.53", "setprop net.dns1 10.0.0.53"},
            {"stop dhcpcd_eth1", "stop dhcpcd_eth1"},
        };
        for (const auto& c : calls)
            EXPECT_EQ(system(c[0]), 0) << c[0];
        std::vector<std::string> log = sb.commands();
        ASSERT_EQ(log.size(), sizeof(calls) / sizeof(calls[0]));
        for (size_t i = 0; i < log.size(); i++)
            EXPECT_EQ(log[i], calls[i][1]);
        EXPECT_TRUE(sb.wait_command("svc wifi", 0));
        EXPECT_FALSE(sb.wait_command("svc wifi enable", 0));

        // Arguments are data: nothing in them is run, and a newline cannot forge a line.
        EXPECT_EQ(system("am start -n '$(touch /tmp/pwned)' '`touch /tmp/pwned`' ';touch /tmp/pwned'"), 0);
        EXPECT_FALSE(sb.exists("/tmp/pwned"));
        EXPECT_EQ(sb.commands().back(), "am start -n $(touch /tmp/pwned) `touch /tmp/pwned` ;touch /tmp/pwned");
        EXPECT_EQ(system("svc 'a\nsetprop forged 1'"), 0);
        EXPECT_EQ(sb.commands().back(), "svc a setprop forged 1");

        sb.clear_commands();
        EXPECT_TRUE(sb.commands().empty());

        // Calls at the same time never mix their lines.
        EXPECT_EQ(system("for i in $(seq 1 40); do ndc resolver setnetdns eth$i \"\" 10.1.1.$i & done; wait"), 0);
        std::vector<std::string> lines = sb.commands();
        ASSERT_EQ(lines.size(), 40u);
        std::set<std::string> expected, seen(lines.begin(), lines.end());
        for (int i = 1; i <= 40; i++)
            expected.insert("ndc resolver setnetdns eth" + std::to_string(i) + "  10.1.1." + std::to_string(i));
        EXPECT_EQ(seen, expected);
    });
}

TEST(Sandbox, PropertyStoreIsSharedByStubsAndDaemonCode)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        char value[SYS_PROPERTY_VALUE_MAX];
        EXPECT_EQ(system("setprop dhcp.eth1.ipaddress 192.168.5.7"), 0);
        EXPECT_EQ(sys_property_get("dhcp.eth1.ipaddress", value, sizeof(value), ""), 11);
        EXPECT_STREQ(value, "192.168.5.7");
        EXPECT_EQ(sb.property("dhcp.eth1.ipaddress"), "192.168.5.7");

        EXPECT_TRUE(sb.set_property("net.ppp0.local-ip", "10.64.1.2"));
        EXPECT_EQ(shell("getprop net.ppp0.local-ip"), "10.64.1.2\n");
        EXPECT_EQ(shell("getprop no.such.property"), "\n");
        EXPECT_EQ(shell("getprop no.such.property fallback"), "fallback\n");
        EXPECT_EQ(sys_property_get("no.such.property", value, sizeof(value), "def"), 3);

        // init's start and stop flip the service's state property.
        EXPECT_EQ(sb.property("init.svc.dhcpcd_eth1"), "");
        EXPECT_EQ(system("start dhcpcd_eth1"), 0);
        EXPECT_EQ(sb.property("init.svc.dhcpcd_eth1"), "running");
        sys_property_get("init.svc.dhcpcd_eth1", value, sizeof(value), "");
        EXPECT_STREQ(value, "running");
        EXPECT_EQ(system("stop dhcpcd_eth1"), 0);
        EXPECT_EQ(sb.property("init.svc.dhcpcd_eth1"), "stopped");

        // An empty value clears; a value with blanks survives; overwrite replaces.
        EXPECT_EQ(system("setprop net.dns1 ''"), 0);
        EXPECT_EQ(sys_property_get("net.dns1", value, sizeof(value), "unset"), 5);
        EXPECT_EQ(system("setprop persist.x 'a b  c'"), 0);
        EXPECT_EQ(sb.property("persist.x"), "a b  c");
        EXPECT_EQ(system("setprop persist.x short"), 0);
        EXPECT_EQ(sb.property("persist.x"), "short");

        // Names that would leave the store and values the platform would refuse fail.
        const char* refused[] = {"setprop ../../tmp/escape 1", "setprop a/b 1", "setprop .. 1",
                                 "setprop '' 1", "setprop only.name", "start ../../tmp/escape"};
        for (const char* c : refused) {
            int status = system(c);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << c;
        }
        EXPECT_FALSE(sb.exists("/tmp/escape"));
        EXPECT_FALSE(sb.exists("/dev/escape"));
        std::string long_value(92, 'v');
        EXPECT_NE(system(("setprop too.long " + long_value).c_str()), 0);
        EXPECT_EQ(sb.property("too.long"), "");
        EXPECT_EQ(system(("setprop just.fits " + long_value.substr(1)).c_str()), 0);
        EXPECT_EQ(sb.property("just.fits"), long_value.substr(1));
        EXPECT_FALSE(sb.set_property("../escape", "1"));
        EXPECT_FALSE(sb.set_property("too.long", long_value));
    });
}

TEST(Sandbox, SettingsStore)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        EXPECT_EQ(shell("settings get system user_rotation"), "null\n");
        EXPECT_EQ(system("settings get system user_rotation > /var/etc/user_rotation"), 0);
        EXPECT_EQ(sb.read("/var/etc/user_rotation"), "null\n");
        EXPECT_EQ(system("settings put system user_rotation 1"), 0);
        EXPECT_EQ(shell("settings get system user_rotation"), "1\n");
        EXPECT_TRUE(sb.set_setting("system", "screen_brightness_mode", "1"));
        EXPECT_EQ(shell("settings get system screen_brightness_mode"), "1\n");
        EXPECT_EQ(shell("settings get secure screen_brightness_mode"), "null\n");
        EXPECT_EQ(system("settings delete system user_rotation"), 0);
        EXPECT_EQ(shell("settings get system user_rotation"), "null\n");
        EXPECT_NE(system("settings get ../x y"), 0);
        EXPECT_NE(system("settings put system"), 0);
        EXPECT_FALSE(sb.set_setting("sys.tem", "a", "1"));
        EXPECT_FALSE(sb.set_setting("system", "../a", "1"));
        std::vector<std::string> log = sb.commands();
        ASSERT_GE(log.size(), 3u);
        EXPECT_EQ(log[2], "settings put system user_rotation 1");
    });
}

TEST(Sandbox, BusyboxRunsTheRealToolsOnTheSandboxInterfaces)
{
    vsim::Options options = with_interfaces({{"eth0", "192.168.12.100/24", "192.168.12.40/24", true, "02:11:22:33:44:55"}});
    vsim_run(options, [](vsim::Sandbox& sb) {
        std::string link = shell("/system/bin/busybox ip link show eth0");
        EXPECT_NE(link.find("eth0@"), std::string::npos) << link;
        EXPECT_NE(link.find("02:11:22:33:44:55"), std::string::npos) << link;
        EXPECT_NE(shell("busybox ip addr show dev eth0").find("inet 192.168.12.100/24"), std::string::npos);
        EXPECT_EQ(system("busybox ip rule add from 192.168.12.100 table 230 pref 9001"), 0);
        EXPECT_NE(shell("busybox ip rule").find("9001:\tfrom 192.168.12.100 lookup 230"), std::string::npos);
        EXPECT_EQ(system("busybox ifconfig eth0 down"), 0);
        EXPECT_EQ(system("busybox ifconfig eth0 hw ether 02:AA:BB:CC:DD:EE"), 0);
        EXPECT_EQ(system("busybox ifconfig eth0 up"), 0);
        EXPECT_EQ(sb.read("/sys/class/net/eth0/address"), "02:aa:bb:cc:dd:ee\n");
        EXPECT_NE(sb.ip("addr show dev eth0").find("inet 192.168.12.100/24"), std::string::npos);
        // Only the interfaces the test asked for, and loopback.
        EXPECT_EQ(list_dir("/sys/class/net"), (std::set<std::string>{"eth0", "lo"}));
        std::vector<std::string> log = sb.commands();
        ASSERT_EQ(log.size(), 7u);
        EXPECT_EQ(log[0], "busybox ip link show eth0");
        EXPECT_EQ(log[5], "busybox ifconfig eth0 hw ether 02:AA:BB:CC:DD:EE");
    });
}

TEST(Sandbox, LanNamespaceCarriesTrafficAndCarrier)
{
    vsim::Options options = with_interfaces({{"eth0", "192.168.12.100/24", "192.168.12.40/24", true, ""},
                                             {"wlan0", "10.0.0.5/24", "10.0.0.1/24", false, ""}});
    vsim_run(options, [](vsim::Sandbox& sb) {
        EXPECT_EQ(sb.read("/sys/class/net/eth0/carrier"), "1\n");
        EXPECT_EQ(sb.read("/sys/class/net/wlan0/carrier"), "0\n");

        // A peer in the LAN binds its address and hears the terminal.
        int peer = sb.lan_socket(SOCK_DGRAM);
        ASSERT_GE(peer, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(8300);
        inet_pton(AF_INET, "192.168.12.40", &at.sin_addr);
        ASSERT_EQ(bind(peer, reinterpret_cast<sockaddr*>(&at), sizeof(at)), 0);
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(s, 0);
        ASSERT_EQ(sendto(s, "heartbeat", 9, 0, reinterpret_cast<sockaddr*>(&at), sizeof(at)), 9);
        pollfd p = {peer, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1);
        char buf[32];
        sockaddr_in from{};
        socklen_t len = sizeof(from);
        ASSERT_EQ(recvfrom(peer, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &len), 9);
        EXPECT_EQ(std::string(buf, 9), "heartbeat");
        char addr[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &from.sin_addr, addr, sizeof(addr));
        EXPECT_STREQ(addr, "192.168.12.100");
        // And the answer comes back.
        ASSERT_EQ(sendto(peer, "ack", 3, 0, reinterpret_cast<sockaddr*>(&from), len), 3);
        p = {s, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1);
        EXPECT_EQ(recv(s, buf, sizeof(buf), 0), 3);
        close(s);
        close(peer);

        // The LAN has its own interfaces and loopback; the terminal's are not there.
        std::string lan_links;
        sb.in_lan([&] {
            lan_links = shell("ip -o link show");
            return 0;
        });
        EXPECT_NE(lan_links.find("eth0-lan@"), std::string::npos) << lan_links;
        EXPECT_EQ(lan_links.find(" eth0@"), std::string::npos) << lan_links;

        // Carrier follows the far end.
        EXPECT_TRUE(sb.set_carrier("wlan0", true));
        EXPECT_TRUE(vsim::wait_until([&] { return sb.read("/sys/class/net/wlan0/carrier") == "1\n"; }, 5000));
        EXPECT_TRUE(sb.set_carrier("eth0", false));
        EXPECT_TRUE(vsim::wait_until([&] { return sb.read("/sys/class/net/eth0/carrier") == "0\n"; }, 5000));
        EXPECT_FALSE(sb.set_carrier("nosuch0", true));

        // An interface can appear later, as a plugged-in adapter does.
        EXPECT_TRUE(sb.add_interface({"usb0", "", "", true, "02:00:00:00:00:07"}));
        EXPECT_EQ(sb.read("/sys/class/net/usb0/address"), "02:00:00:00:00:07\n");
        EXPECT_FALSE(sb.add_interface({"usb0", "", "", true, ""}));
        EXPECT_FALSE(sb.add_interface({"a-name-too-long", "", "", true, ""}));
        EXPECT_FALSE(sb.add_interface({"bad;name", "", "", true, ""}));
    });
}

// Without an interface towards it, the world outside is unreachable.
TEST(Sandbox, NothingLeavesTheSandbox)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        EXPECT_EQ(list_dir("/sys/class/net"), std::set<std::string>{"lo"});
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(s, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(8300);
        inet_pton(AF_INET, "192.0.2.1", &to.sin_addr);
        errno = 0;
        EXPECT_LT(sendto(s, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 0);
        EXPECT_EQ(errno, ENETUNREACH);
        close(s);
        EXPECT_EQ(sb.ip("route show"), "");
    });
}

TEST(Sandbox, DaemonSlotRunsAProgramWithTheTerminalEnvironment)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        int master = sb.serial("/dev/ttyS3");
        ASSERT_GE(master, 0);
        pid_t pid = sb.start_process(
            {"/bin/sh", "-c", "echo started; echo trouble >&2; echo \"PATH=$PATH HOME=$HOME LANG=$LANG\"; "
                              "case \"$LD_PRELOAD\" in *vesko_preload*) echo preloaded;; esac; "
                              "ls /proc/self/fd; exec sleep 1000"});
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(sb.daemon_running());
        EXPECT_LT(sb.start_process({"/bin/true"}), 0) << "a second daemon started";
        EXPECT_TRUE(sb.wait_stdout("started\n", 10000));
        EXPECT_TRUE(sb.wait_stderr("trouble\n", 10000));
        EXPECT_TRUE(sb.wait_stdout("PATH=/sim/bin:/system/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C\n", 10000))
            << sb.daemon_stdout();
        EXPECT_TRUE(sb.wait_stdout("preloaded\n", 10000)) << sb.daemon_stdout();
        // Only its standard streams (and ls's own directory): nothing of the sandbox leaks.
        EXPECT_TRUE(sb.wait_stdout("0\n1\n2\n3\n", 10000)) << sb.daemon_stdout();
        EXPECT_EQ(sb.daemon_stdout().find("\n4\n"), std::string::npos) << sb.daemon_stdout();
        EXPECT_EQ(sb.wait_daemon(0), -1);

        int status = sb.stop_daemon();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
        EXPECT_FALSE(sb.daemon_running());
        EXPECT_EQ(sb.stop_daemon(), -1);

        // A program that ends by itself; a new run starts with fresh logs.
        ASSERT_GT(sb.start_process({"/bin/sh", "-c", "echo again; exit 3"}), 0);
        EXPECT_EQ(sb.wait_daemon(10000), 3);
        EXPECT_EQ(sb.daemon_stdout(), "again\n");
        EXPECT_EQ(sb.daemon_stderr(), "");
        EXPECT_FALSE(sb.daemon_running());
        sb.stop_daemon();

        ASSERT_GT(sb.start_process({"/no/such/program"}), 0);
        EXPECT_EQ(sb.wait_daemon(10000), 127);
        EXPECT_TRUE(sb.wait_stderr("vsim: cannot run /no/such/program\n", 0)) << sb.daemon_stderr();
        sb.stop_daemon();
    });
}

TEST(Sandbox, RealDaemonStartsInside)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        pid_t pid = sb.start_daemon();
        ASSERT_GT(pid, 0);
        EXPECT_EQ(access(VSIM_DAEMON, X_OK), 0);
        std::string cmdline = "/proc/" + std::to_string(pid) + "/cmdline";
        EXPECT_TRUE(vsim::wait_until([&] { return sb.read(cmdline) == std::string("vesko-hwd\0", 10); }, 10000))
            << sb.read(cmdline);
        // The loader maps the library just after the exec.
        std::string maps = "/proc/" + std::to_string(pid) + "/maps";
        EXPECT_TRUE(vsim::wait_until([&] { return sb.read(maps).find("vesko_preload") != std::string::npos; }, 10000))
            << "the interposition library is not loaded";
        sb.stop_daemon();
    });
}

namespace {

int captured_run(const vsim::Options& options, std::string* err)
{
    int mem = memfd_create("vsim-stderr", MFD_CLOEXEC);
    if (mem < 0)
        return -1;
    fflush(stderr);
    int saved = dup(2);
    dup2(mem, 2);
    int rc = vsim::Sandbox::run(options, [](vsim::Sandbox&) { return 0; });
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    err->clear();
    char buf[1024];
    ssize_t n;
    lseek(mem, 0, SEEK_SET);
    while ((n = read(mem, buf, sizeof(buf))) > 0)
        err->append(buf, size_t(n));
    close(mem);
    return rc;
}

void run_refused()
{
    static vsim::Options refused;
    refused.refuse_user_namespaces = true;
    vsim_run(refused, [](vsim::Sandbox&) {});
}

}  // namespace

TEST(Sandbox, ARefusedSandboxFailsLoudly)
{
    vsim::Options options;
    options.refuse_user_namespaces = true;
    std::string err;
    EXPECT_EQ(captured_run(options, &err), 125);
    EXPECT_NE(err.find("vsim: cannot create user namespace: "), std::string::npos) << err;
    EXPECT_NE(err.find("namespaces"), std::string::npos) << err;
    // The test helper turns it into a failure that says why.
    EXPECT_FATAL_FAILURE(run_refused(), "the sandbox could not be made");

    options.refuse_user_namespaces = false;
    EXPECT_EQ(captured_run(options, &err), 0) << err;
    EXPECT_EQ(err, "");
}

TEST(Sandbox, ResultOfTheFunctionComesBack)
{
    for (int want : {0, 1, 7, 42}) {
        int rc = vsim::Sandbox::run(vsim::Options(), [want](vsim::Sandbox&) { return want; });
        EXPECT_EQ(rc, want);
    }
}

TEST(Sandbox, BoardAdaptersAndGpioAreThere)
{
    for (bool gpio : {true, false}) {
        vsim::Options options;
        options.gpio_present = gpio;
        vsim_run(options, [gpio](vsim::Sandbox& sb) {
            for (int bus : {1, 3, 4, 5}) {
                std::string dev = "/dev/i2c-" + std::to_string(bus);
                int fd = open(dev.c_str(), O_RDWR);
                EXPECT_GE(fd, 0) << dev << ": " << strerror(errno);
                if (fd >= 0)
                    close(fd);
            }
            errno = 0;
            EXPECT_LT(open("/dev/i2c-2", O_RDWR), 0);
            EXPECT_EQ(errno, ENOENT);
            EXPECT_EQ(sb.i2c(2).bus(), 2);
            EXPECT_EQ(&sb.i2c(2), &sb.i2c(2));
            int fd = open("/dev/i2c-2", O_RDWR);
            EXPECT_GE(fd, 0) << strerror(errno);
            if (fd >= 0)
                close(fd);

            fd = open("/dev/gpio", O_RDWR);
            EXPECT_EQ(fd >= 0, gpio) << strerror(errno);
            if (fd >= 0)
                close(fd);
        });
    }
}

// Every process inside shares one movable wall clock; the host's stays.
TEST(Sandbox, MovableClockIsSharedWithTheDaemon)
{
    const int64_t host_before = kernel_realtime();
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        EXPECT_EQ(sb.clock_offset_us(), 0);
        sb.clock_set(1000000000);
        EXPECT_GE(sb.now(), 1000000000);
        EXPECT_LT(sb.now(), 1000000060);
        EXPECT_GE(time(nullptr), 1000000000);
        EXPECT_LT(time(nullptr), 1000000060);
        ASSERT_GT(sb.start_process({"/bin/date", "-u", "+%s"}), 0);
        EXPECT_EQ(sb.wait_daemon(10000), 0);
        int64_t seen = atoll(sb.daemon_stdout().c_str());
        EXPECT_GE(seen, 1000000000) << sb.daemon_stdout();
        EXPECT_LT(seen, 1000000060) << sb.daemon_stdout();
        sb.stop_daemon();

        sb.clock_advance(3600 * 1000000LL);
        EXPECT_GE(sb.now(), 1000003600);
        EXPECT_LT(sb.now(), 1000003660);
        EXPECT_TRUE(sb.clock_sets().empty());

        // A setting made inside is recorded and moves the view.
        ASSERT_GT(sb.start_process({"/bin/date", "-u", "-s", "@1500000000"}), 0);
        EXPECT_EQ(sb.wait_daemon(10000), 0) << sb.daemon_stderr();
        sb.stop_daemon();
        std::vector<vsim::ClockSet> sets = sb.clock_sets();
        ASSERT_EQ(sets.size(), 1u);
        EXPECT_EQ(sets[0].sec, 1500000000);
        EXPECT_GE(sb.now(), 1500000000);
        EXPECT_LT(sb.now(), 1500000060);
    });
    const int64_t host_after = kernel_realtime();
    EXPECT_GE(host_after, host_before);
    EXPECT_LT(host_after - host_before, 3600);
}

// Whatever still runs inside when the function returns ends with the sandbox, and the
// sandbox does not wait for it.
TEST(Sandbox, EndsWhileChildrenStillRun)
{
    int rc = vsim::Sandbox::run(vsim::Options(), [](vsim::Sandbox& sb) {
        pid_t child = fork();
        if (child == 0) {
            pause();
            _exit(0);
        }
        if (child < 0 || sb.start_process({"/bin/sleep", "1000"}) < 0 || system("sleep 1000 &") != 0)
            return 1;
        return 0;
    });
    EXPECT_EQ(rc, 0);
}
