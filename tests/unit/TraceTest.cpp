#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>

#include "Trace.h"

using vsim::Trace;

namespace {

// A trace that writes into memory.
class TraceOut : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_out = open_memstream(&m_buf, &m_size);
        ASSERT_NE(m_out, nullptr);
    }
    void TearDown() override
    {
        fclose(m_out);
        free(m_buf);
    }
    std::string text()
    {
        fflush(m_out);
        return std::string(m_buf, m_size);
    }

    FILE* m_out = nullptr;
    char* m_buf = nullptr;
    size_t m_size = 0;
};

}  // namespace

TEST_F(TraceOut, LinesCarryTimeSourceAndTextInTimeOrder)
{
    Trace trace(m_out);
    int64_t t = Trace::wall_us();
    // A polled event noticed after a later one still comes out first.
    trace.line_at(t + 2000, "mcu", "-> MCU_D_LOCK on");
    trace.line_at(t + 1000, "bus", "-> /ui/w350/key data=5");
    trace.line_at(t + 2000, "gpio", "-> rk/lock = 1");  // same time: arrival order
    EXPECT_EQ(text(), "");  // held back for the late ones
    trace.flush(true);
    std::string out = text();
    size_t key = out.find("bus     -> /ui/w350/key data=5\n");
    size_t lock = out.find("mcu     -> MCU_D_LOCK on\n");
    size_t gpio = out.find("gpio    -> rk/lock = 1\n");
    ASSERT_NE(key, std::string::npos) << out;
    ASSERT_NE(lock, std::string::npos) << out;
    ASSERT_NE(gpio, std::string::npos) << out;
    EXPECT_LT(key, lock);
    EXPECT_LT(lock, gpio);
    EXPECT_EQ(out.substr(key - 13, 13), Trace::stamp(t + 1000) + " ");
}

TEST_F(TraceOut, HeldLinesGoOutBeforePlainTextAndAtTheEnd)
{
    {
        Trace trace(m_out);
        trace.line("sim", "first");
        trace.plain("help text");
        std::string out = text();
        ASSERT_NE(out.find("first"), std::string::npos) << out;
        EXPECT_LT(out.find("first"), out.find("help text")) << out;
        trace.line("sim", "last");
    }
    EXPECT_NE(text().find("last"), std::string::npos);
}

TEST_F(TraceOut, ACopyStreamGetsEveryLine)
{
    char* buf = nullptr;
    size_t size = 0;
    FILE* copy = open_memstream(&buf, &size);
    ASSERT_NE(copy, nullptr);
    {
        Trace trace(m_out, copy);
        trace.line("sim", "one");
        trace.plain("two");
    }
    fflush(copy);
    std::string c(buf, size);
    fclose(copy);
    free(buf);
    EXPECT_EQ(c, text());
    EXPECT_NE(c.find("one"), std::string::npos);
    EXPECT_NE(c.find("two"), std::string::npos);
}

TEST_F(TraceOut, StampsAreWallClockOfTheDay)
{
    // 2024-02-29 13:05:09.120 UTC; the sandbox runs with TZ=UTC, a host may not.
    int64_t t = int64_t(1709211909) * 1000000 + 120000;
    time_t sec = 1709211909;
    struct tm tm;
    localtime_r(&sec, &tm);
    char want[32];
    snprintf(want, sizeof(want), "%02d:%02d:%02d.120", tm.tm_hour, tm.tm_min, tm.tm_sec);
    EXPECT_EQ(Trace::stamp(t), want);
    EXPECT_EQ(Trace::stamp(t + 999).substr(9), "120");
}

TEST_F(TraceOut, ExpectConsumesMatchesInOrderAndIgnoresScriptEcho)
{
    Trace trace(m_out);
    trace.line("script", "expect /ui/w350/key");
    EXPECT_FALSE(trace.expect("/ui/w350/key", 0));
    trace.line("bus", "-> /ui/w350/key data=5");
    trace.line("bus", "-> /ui/w350/key data=6");
    EXPECT_TRUE(trace.expect("/ui/w350/key", 0));
    EXPECT_TRUE(trace.expect("data=6", 0));
    EXPECT_FALSE(trace.expect("data=5", 0));  // before the cursor now
    EXPECT_FALSE(trace.expect("bus", 0));
    // The source column counts as part of the line.
    trace.line("server", "-> heartbeat");
    EXPECT_TRUE(trace.expect("server  -> heartbeat", 0));
}

TEST_F(TraceOut, ExpectWaitsForALineFromAnotherThread)
{
    Trace trace(m_out);
    std::thread late([&] {
        usleep(50000);
        trace.line("mcu", "-> MCU_D_LOCK2 on");
    });
    EXPECT_TRUE(trace.expect("MCU_D_LOCK2", 10000));
    late.join();
    EXPECT_FALSE(trace.expect("MCU_D_LOCK2", 20));
}

TEST_F(TraceOut, ControlCharactersCannotReachTheTerminal)
{
    {
        Trace trace(m_out);
        trace.line("stderr", "settime: \x1b[2J\x1b]0;owned\x07 and\nmore\x7f");
    }
    std::string out = text();
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
    EXPECT_NE(out.find("stderr  settime: \\x1b[2J\\x1b]0;owned\\x07 and\\x0amore\\x7f\n"), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
}
