#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace vsim {

struct ClockSet;  // Sandbox.h

// The terminal's wall clock: the host's real-time clock plus an offset in microseconds
// kept in a small shared file (<run_dir>/clock). Every process inside that has the
// interposition library (the daemon, the test program itself, anything they exec)
// maps the same file, so moving the offset moves all their views of time(),
// gettimeofday(), clock_gettime(CLOCK_REALTIME) and std::chrono::system_clock at once.
// CLOCK_MONOTONIC and the host's clock are never touched.
//
// A settimeofday() or clock_settime(CLOCK_REALTIME) made inside sets the offset so the
// view becomes the requested time and appends one line to <log_dir>/clock.log
// ("settimeofday <sec> <usec>" or "clock_settime <sec> <nsec>"); sets() reads that log.
//
// Inside the sandbox the directories are "/sim/run" and "/sim/log"; a test of the
// clock alone may point them anywhere.
class SandboxClock {
public:
    SandboxClock(const std::string& run_dir, const std::string& log_dir);
    ~SandboxClock();
    SandboxClock(const SandboxClock&) = delete;
    SandboxClock& operator=(const SandboxClock&) = delete;

    // Creates (or joins) the shared file with offset 0 when new; false (errno set) on
    // failure. In the sandbox this process's own view then follows the file too.
    bool open();

    int64_t offset_us() const;
    void advance(int64_t usec);  // negative moves the clock back
    void set(int64_t sec);       // the view becomes sec (microseconds 0)
    int64_t now_us() const;      // the view, microseconds since the epoch
    int64_t now() const;         // the view, whole seconds
    std::vector<ClockSet> sets() const;  // the settings asked for inside, oldest first

    const std::string& path() const { return m_path; }
    const std::string& log_path() const { return m_log; }

private:
    std::string m_path;
    std::string m_log;
    int64_t* m_offset = nullptr;  // the mapped file
};

}  // namespace vsim
