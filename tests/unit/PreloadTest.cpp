// The interposition library as the daemon meets it inside the sandbox: device nodes
// that reach the emulators, and a wall clock that moves without touching the host's.

#include <errno.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sGpio.h"
#include "vsim_test.h"

namespace {

const unsigned long k_set_v1 = 0xC0444404ul;
const unsigned long k_get_v1 = 0xC0444405ul;

sunxi_ctrl_t record(const char* main, const char* sub, int data)
{
    sunxi_ctrl_t r;
    memset(&r, 0, sizeof(r));
    strncpy(r.main, main, sizeof(r.main) - 1);
    strncpy(r.sub, sub, sizeof(r.sub) - 1);
    r.data = data;
    return r;
}

int64_t host_us()
{
    struct timespec ts = {};
    syscall(SYS_clock_gettime, CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t monotonic_us()
{
    struct timespec ts = {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// From here on, a call that would set the real-time clock in the kernel fails with
// ENOSYS instead, so a test can tell an intercepted setting from one that reached the
// kernel, and the kernel's clock cannot be set even by mistake.
bool block_clock_setting()
{
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_settimeofday, 5, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_adjtimex, 4, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clock_adjtime, 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clock_settime, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, CLOCK_REALTIME, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog prog = {static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

// Runs a program inside as the sandbox runs the daemon (the interposition library
// preloaded); returns its standard output, and its exit code in *status.
std::string run_preloaded(vsim::Sandbox& sb, const std::vector<std::string>& argv, int* status)
{
    *status = -1;
    if (sb.start_process(argv) <= 0)
        return "";
    *status = sb.wait_daemon(30000);
    std::string out = sb.daemon_stdout();
    sb.stop_daemon();
    return out;
}

int64_t date_now(vsim::Sandbox& sb, int* status)
{
    std::string out = run_preloaded(sb, {"/bin/date", "-u", "+%s"}, status);
    return out.empty() ? -1 : std::stoll(out);
}

struct VersionCase {
    int version;
    unsigned long accepted;  // the code a set must use
    unsigned long refused;
};

TEST(Preload, GpioRequestsReachTheDriverOfEitherVersion)
{
    const VersionCase cases[] = {{0, SUNXI_CTRL_SET, k_set_v1}, {1, k_set_v1, SUNXI_CTRL_SET}};
    for (const VersionCase& c : cases) {
        SCOPED_TRACE(c.version);
        vsim::Options options;
        options.gpio_version = c.version;
        vsim_run(options, [&](vsim::Sandbox& sb) {
            int fd = open("/dev/gpio", O_RDWR);
            ASSERT_GE(fd, 0) << strerror(errno);
            int version = 0;
            int rc = ioctl(fd, SUNXI_CTRL_VERSION, &version);
            if (c.version == 0) {
                EXPECT_EQ(rc, -1);
                EXPECT_EQ(errno, ENOTTY);
                EXPECT_EQ(version, 0);
            } else {
                EXPECT_EQ(rc, 0);
                EXPECT_EQ(version, 1);
            }
            sunxi_ctrl_t r = record("rk", "lock", 1);
            EXPECT_EQ(ioctl(fd, c.accepted, &r), 0);
            EXPECT_EQ(sb.gpio().value("rk", "lock"), 1);
            r = record("rk", "lock", 0);
            errno = 0;
            EXPECT_EQ(ioctl(fd, c.refused, &r), -1);
            EXPECT_EQ(errno, ENOTTY);
            EXPECT_EQ(sb.gpio().value("rk", "lock"), 1);

            auto calls = sb.gpio().calls();
            ASSERT_EQ(calls.size(), 3u);
            EXPECT_EQ(calls[0].cmd, 0x80);
            EXPECT_EQ(calls[1].request, c.accepted);
            EXPECT_EQ(calls[1].main, "rk");
            EXPECT_EQ(calls[1].sub, "lock");
            EXPECT_EQ(calls[1].data, 1);
            EXPECT_EQ(calls[2].request, c.refused);
            // The calls carry the caller's monotonic time, in order.
            EXPECT_LE(calls[0].t_us, calls[1].t_us);
            EXPECT_LE(calls[1].t_us, calls[2].t_us);
            EXPECT_LE(calls[2].t_us, monotonic_us());
            EXPECT_EQ(close(fd), 0);
        });
    }
}

TEST(Preload, GpioGetReadsInputsAndFailsWithoutTouchingTheRecord)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        int fd = open("/dev/gpio", O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0) << strerror(errno);
        sb.gpio().set_input("rk", "alarm1", 1);
        sunxi_ctrl_t r = record("rk", "alarm1", 0);
        EXPECT_EQ(ioctl(fd, k_get_v1, &r), 0);
        EXPECT_EQ(r.data, 1);

        sb.gpio().fail("rk", "alarm1", true);
        r = record("rk", "alarm1", 77);
        sunxi_ctrl_t before = r;
        errno = 0;
        EXPECT_EQ(ioctl(fd, k_get_v1, &r), -1);
        EXPECT_EQ(errno, EIO);
        EXPECT_EQ(memcmp(&r, &before, sizeof(r)), 0);
        close(fd);
    });
}

TEST(Preload, MissingGpioDeviceFailsToOpen)
{
    vsim::Options options;
    options.gpio_present = false;
    vsim_run(options, [](vsim::Sandbox&) {
        errno = 0;
        EXPECT_EQ(open("/dev/gpio", O_RDWR), -1);
        EXPECT_EQ(errno, ENOENT);
        EXPECT_EQ(openat(AT_FDCWD, "/dev/gpio", O_RDWR), -1);
        EXPECT_EQ(errno, ENOENT);
    });
}

// A descriptor number that no longer names the device (closed, or replaced behind
// the library's back) goes to the kernel again.
TEST(Preload, ReusedDescriptorsPassThrough)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        int p[2];
        int fd = open("/dev/gpio", O_RDWR);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(close(fd), 0);
        ASSERT_EQ(pipe(p), 0);
        ASSERT_EQ(p[0], fd);  // the lowest free number comes back
        ASSERT_EQ(write(p[1], "abc", 3), 3);
        int n = 0;
        EXPECT_EQ(ioctl(p[0], FIONREAD, &n), 0);
        EXPECT_EQ(n, 3);

        int g = open("/dev/gpio", O_RDWR);
        ASSERT_GE(g, 0);
        ASSERT_EQ(dup2(p[0], g), g);
        n = 0;
        EXPECT_EQ(ioctl(g, FIONREAD, &n), 0);
        EXPECT_EQ(n, 3);
        close(g);
        close(p[0]);
        close(p[1]);
        EXPECT_TRUE(sb.gpio().calls().empty());
    });
}

TEST(Preload, GpioFromManyThreads)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        const int threads = 4;
        const int rounds = 100;
        int shared = open("/dev/gpio", O_RDWR);
        ASSERT_GE(shared, 0);
        std::vector<int> failures(threads, 0);
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&, t] {
                int own = open("/dev/gpio", O_RDWR);
                std::string line = "line" + std::to_string(t);
                for (int i = 0; i < rounds; ++i) {
                    sunxi_ctrl_t r = record("rk", line.c_str(), i);
                    if (ioctl(own, k_set_v1, &r) != 0)
                        ++failures[t];
                    r = record("rk", "shared", t);
                    if (ioctl(shared, k_get_v1, &r) != 0)
                        ++failures[t];
                }
                close(own);
            });
        }
        for (auto& th : pool)
            th.join();
        close(shared);
        for (int t = 0; t < threads; ++t) {
            EXPECT_EQ(failures[t], 0);
            EXPECT_EQ(sb.gpio().value("rk", "line" + std::to_string(t)), rounds - 1);
        }
        EXPECT_EQ(sb.gpio().calls().size(), static_cast<size_t>(threads * rounds * 2));
    });
}

TEST(Preload, I2cTransfersReachTheChips)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        auto chip = std::make_shared<vsim::RegisterChip>();
        sb.i2c(1).attach(0x51, chip);
        int fd = open("/dev/i2c-1", O_RDWR);
        ASSERT_GE(fd, 0) << strerror(errno);
        EXPECT_EQ(ioctl(fd, I2C_RETRIES, 1), 0);
        EXPECT_EQ(ioctl(fd, I2C_TIMEOUT, 10), 0);
        EXPECT_EQ(sb.i2c(1).retries(), 1);
        EXPECT_EQ(sb.i2c(1).timeout(), 10);

        uint8_t w[] = {0x02, 0x30, 0x45};
        struct i2c_msg m1 = {0x51, 0, sizeof(w), w};
        struct i2c_rdwr_ioctl_data d1 = {&m1, 1};
        EXPECT_EQ(ioctl(fd, I2C_RDWR, &d1), 1);
        EXPECT_EQ(chip->reg(0x03), 0x45);

        uint8_t ptr = 0x02;
        uint8_t in[2] = {0xee, 0xee};
        struct i2c_msg m2[] = {{0x51, 0, 1, &ptr}, {0x51, I2C_M_RD, 2, in}};
        struct i2c_rdwr_ioctl_data d2 = {m2, 2};
        EXPECT_EQ(ioctl(fd, I2C_RDWR, &d2), 2);
        EXPECT_EQ(in[0], 0x30);
        EXPECT_EQ(in[1], 0x45);

        // Nobody at 0x52: a NACK, and the read buffer as it was.
        uint8_t none[2] = {0xee, 0xee};
        struct i2c_msg m3 = {0x52, I2C_M_RD, 2, none};
        struct i2c_rdwr_ioctl_data d3 = {&m3, 1};
        errno = 0;
        EXPECT_EQ(ioctl(fd, I2C_RDWR, &d3), -1);
        EXPECT_EQ(errno, EREMOTEIO);
        EXPECT_EQ(none[0], 0xee);

        // More messages than the kernel takes are refused here already.
        std::vector<struct i2c_msg> many(43, m1);
        struct i2c_rdwr_ioctl_data d4 = {many.data(), 43};
        errno = 0;
        EXPECT_EQ(ioctl(fd, I2C_RDWR, &d4), -1);
        EXPECT_EQ(errno, EINVAL);

        unsigned long funcs = 0;
        EXPECT_EQ(ioctl(fd, I2C_FUNCS, &funcs), 0);
        EXPECT_TRUE(funcs & I2C_FUNC_I2C);

        auto t = sb.i2c(1).transfers();
        ASSERT_EQ(t.size(), 4u);
        EXPECT_EQ(t[0].data, std::vector<uint8_t>(w, w + 3));
        EXPECT_EQ(t[2].data, (std::vector<uint8_t>{0x30, 0x45}));
        EXPECT_EQ(t[3].addr, 0x52);
        EXPECT_FALSE(t[3].acked);
        close(fd);

        errno = 0;
        EXPECT_EQ(open("/dev/i2c-9", O_RDWR), -1);  // no such adapter on this board
        EXPECT_EQ(errno, ENOENT);
    });
}

TEST(Preload, SettingTheClockMovesEveryViewButNotTheHost)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        ASSERT_TRUE(block_clock_setting());
        int64_t host_before = host_us();
        int64_t mono_before = monotonic_us();

        struct timeval tv = {1000000000, 250000};
        ASSERT_EQ(settimeofday(&tv, nullptr), 0) << strerror(errno);

        const int64_t lo = 1000000000;
        const int64_t hi = lo + 60;
        time_t t = time(nullptr);
        EXPECT_GE(t, lo);
        EXPECT_LE(t, hi);
        struct timeval g;
        ASSERT_EQ(gettimeofday(&g, nullptr), 0);
        EXPECT_GE(g.tv_sec, lo);
        EXPECT_LE(g.tv_sec, hi);
        for (clockid_t id : {CLOCK_REALTIME, CLOCK_REALTIME_COARSE}) {
            struct timespec ts;
            ASSERT_EQ(clock_gettime(id, &ts), 0);
            EXPECT_GE(ts.tv_sec, lo - 1);  // the coarse clock may lag a tick
            EXPECT_LE(ts.tv_sec, hi);
        }
        struct timespec ts;
        ASSERT_EQ(timespec_get(&ts, TIME_UTC), TIME_UTC);
        EXPECT_GE(ts.tv_sec, lo);
        time_t sys = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
        EXPECT_GE(sys, lo);
        EXPECT_LE(sys, hi);
        EXPECT_GE(sb.now(), lo);
        EXPECT_LE(sb.now(), hi);

        // Neither the monotonic clock nor the host's clock moved.
        int64_t mono_step = monotonic_us() - mono_before;
        EXPECT_GE(mono_step, 0);
        EXPECT_LT(mono_step, 60 * 1000000LL);
        EXPECT_LT(std::llabs(host_us() - host_before - mono_step), 60 * 1000000LL);
        EXPECT_GT(host_us() / 1000000, hi);

        auto sets = sb.clock_sets();
        ASSERT_EQ(sets.size(), 1u);
        EXPECT_EQ(sets[0].sec, 1000000000);
        EXPECT_EQ(sets[0].usec, 250000);

        struct timespec want = {1600000000, 500000000};
        ASSERT_EQ(clock_settime(CLOCK_REALTIME, &want), 0);
        EXPECT_GE(time(nullptr), 1600000000);
        EXPECT_LE(time(nullptr), 1600000060);
        sets = sb.clock_sets();
        ASSERT_EQ(sets.size(), 2u);
        EXPECT_EQ(sets[1].sec, 1600000000);
        EXPECT_EQ(sets[1].usec, 500000);
    });
}

TEST(Preload, InvalidClockSettingsAreRefusedAndNotRecorded)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        ASSERT_TRUE(block_clock_setting());
        int64_t before = sb.clock_offset_us();
        struct Case {
            const char* what;
            time_t sec;
            long usec;
        };
        const Case cases[] = {
            {"microseconds of a whole second", 1000000000, 1000000},
            {"negative microseconds", 1000000000, -1},
            {"before the epoch", -5, 0},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            struct timeval tv = {c.sec, c.usec};
            errno = 0;
            EXPECT_EQ(settimeofday(&tv, nullptr), -1);
            EXPECT_EQ(errno, EINVAL);
            struct timespec ts = {c.sec, c.usec * 1000};
            errno = 0;
            EXPECT_EQ(clock_settime(CLOCK_REALTIME, &ts), -1);
            EXPECT_EQ(errno, EINVAL);
        }
        // Only the time zone: nothing to set.
        struct timezone tz = {0, 0};
        EXPECT_EQ(settimeofday(nullptr, &tz), 0);
        // The monotonic clock cannot be set; the kernel says so.
        struct timespec ts = {5, 0};
        errno = 0;
        EXPECT_EQ(clock_settime(CLOCK_MONOTONIC, &ts), -1);
        EXPECT_EQ(errno, EINVAL);

        EXPECT_TRUE(sb.clock_sets().empty());
        EXPECT_EQ(sb.clock_offset_us(), before);
    });
}

TEST(Preload, TestMovesTheClockForEveryProcessInside)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        ASSERT_TRUE(block_clock_setting());
        sb.clock_set(1500000000);
        EXPECT_GE(time(nullptr), 1500000000);
        EXPECT_LE(time(nullptr), 1500000060);
        int status = -1;
        int64_t seen = date_now(sb, &status);
        EXPECT_EQ(status, 0);
        EXPECT_GE(seen, 1500000000);
        EXPECT_LE(seen, 1500000060);

        int64_t t0 = time(nullptr);
        sb.clock_advance(3600 * 1000000LL);
        EXPECT_GE(time(nullptr) - t0, 3600);
        EXPECT_LE(time(nullptr) - t0, 3660);
        seen = date_now(sb, &status);
        EXPECT_GE(seen - t0, 3600);
        EXPECT_LE(seen - t0, 3660);

        sb.clock_advance(-7200 * 1000000LL);
        EXPECT_LE(time(nullptr) - t0, -3540);
        EXPECT_GE(time(nullptr) - t0, -3600);
        seen = date_now(sb, &status);
        EXPECT_LE(seen - t0, -3540);
        EXPECT_GE(seen - t0, -3600);
        EXPECT_TRUE(sb.clock_sets().empty());  // the test's own moves are not the terminal's
    });
}

TEST(Preload, ChildSettingTheClockMovesOurs)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        ASSERT_TRUE(block_clock_setting());  // inherited by the child across exec
        int status = -1;
        std::string out = run_preloaded(sb, {"/bin/date", "-u", "-s", "@1234567890", "+%s"}, &status);
        EXPECT_EQ(status, 0);
        ASSERT_FALSE(out.empty());
        EXPECT_GE(std::stoll(out), 1234567890);
        EXPECT_LE(std::stoll(out), 1234567950);
        EXPECT_GE(time(nullptr), 1234567890);
        EXPECT_LE(time(nullptr), 1234567950);
        auto sets = sb.clock_sets();
        ASSERT_EQ(sets.size(), 1u);
        EXPECT_EQ(sets[0].sec, 1234567890);
        EXPECT_EQ(sets[0].usec, 0);
    });
}

// Outside a sandbox the library passes everything through, except that it never lets
// a test program set the clock of the machine it runs on.
TEST(Preload, OutsideTheSandboxTheClockCannotBeSet)
{
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (!block_clock_setting())
            _exit(2);
        struct timeval tv = {1000000000, 0};
        errno = 0;
        if (settimeofday(&tv, nullptr) != -1 || errno != EPERM)
            _exit(3);
        struct timespec ts = {1000000000, 0};
        errno = 0;
        if (clock_settime(CLOCK_REALTIME, &ts) != -1 || errno != EPERM)
            _exit(4);
        // The view is the host's clock.
        if (std::llabs(static_cast<int64_t>(time(nullptr)) - host_us() / 1000000) > 5)
            _exit(5);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
