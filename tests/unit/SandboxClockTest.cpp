#include "SandboxClock.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "Sandbox.h"

namespace {

int64_t host_us()
{
    struct timespec ts = {};
    syscall(SYS_clock_gettime, CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// The clock on its own, in a private directory (outside a sandbox this process's own
// view of time is the host's).
class SandboxClockTest : public testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/vsim-clockXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        unlink((dir + "/clock").c_str());
        unlink((dir + "/clock.log").c_str());
        rmdir(dir.c_str());
    }
    std::string dir;
};

TEST_F(SandboxClockTest, StartsAtTheHostsTimeAndMoves)
{
    vsim::SandboxClock clock(dir, dir);
    ASSERT_TRUE(clock.open());
    struct stat st;
    ASSERT_EQ(stat(clock.path().c_str(), &st), 0);
    EXPECT_GE(st.st_size, 8);
    EXPECT_EQ(clock.offset_us(), 0);

    clock.advance(3600 * 1000000LL);
    clock.advance(-250000);
    EXPECT_EQ(clock.offset_us(), 3600 * 1000000LL - 250000);
    int64_t skew = clock.now_us() - host_us() - clock.offset_us();
    EXPECT_LE(std::llabs(skew), 5 * 1000000LL);

    clock.set(1000000000);
    int64_t now = clock.now();
    EXPECT_GE(now, 1000000000);
    EXPECT_LE(now, 1000000005);
    // Backwards, before the epoch: whole seconds still round down.
    clock.set(-10);
    EXPECT_LE(clock.now(), -9);
    EXPECT_GE(clock.now(), -10);
    EXPECT_LT(clock.now_us(), -9 * 1000000LL + 1);
}

TEST_F(SandboxClockTest, OffsetIsSharedThroughTheFile)
{
    vsim::SandboxClock a(dir, dir);
    ASSERT_TRUE(a.open());
    a.advance(5000000);

    // A second user of the same file, as another process inside would be, joins it
    // without resetting it.
    vsim::SandboxClock b(dir, dir);
    ASSERT_TRUE(b.open());
    EXPECT_EQ(b.offset_us(), 5000000);
    b.advance(-2000000);
    EXPECT_EQ(a.offset_us(), 3000000);

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        vsim::SandboxClock c(dir, dir);
        _exit(c.open() && c.offset_us() == 3000000 ? (c.advance(1000000), 0) : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(a.offset_us(), 4000000);
}

TEST_F(SandboxClockTest, UnopenedClockIsTheHostsAndStaysPut)
{
    vsim::SandboxClock clock(dir + "/missing", dir);
    EXPECT_FALSE(clock.open());
    clock.advance(1000000000);
    clock.set(5);
    EXPECT_EQ(clock.offset_us(), 0);
    EXPECT_LE(std::llabs(clock.now_us() - host_us()), 5 * 1000000LL);
}

TEST_F(SandboxClockTest, SetsAreReadFromTheLog)
{
    vsim::SandboxClock clock(dir, dir);
    EXPECT_TRUE(clock.sets().empty());  // no log yet
    {
        std::ofstream log(clock.log_path());
        log << "settimeofday 1700000000 0\n"
            << "clock_settime 1700000100 250000000\n"
            << "garbage line\n"
            << "settimeofday 12\n"
            << "\n"
            << "stime 1700000200 0\n"
            << "adjtime 5 5\n"
            << "settimeofday 1700000300 999999";  // last line without its newline
    }
    auto sets = clock.sets();
    ASSERT_EQ(sets.size(), 4u);
    EXPECT_EQ(sets[0].sec, 1700000000);
    EXPECT_EQ(sets[0].usec, 0);
    EXPECT_EQ(sets[1].sec, 1700000100);
    EXPECT_EQ(sets[1].usec, 250000);
    EXPECT_EQ(sets[2].sec, 1700000200);
    EXPECT_EQ(sets[3].sec, 1700000300);
    EXPECT_EQ(sets[3].usec, 999999);
}

}  // namespace
