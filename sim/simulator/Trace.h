#pragma once

#include <stdint.h>
#include <stdio.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

namespace vsim {

// The simulator's live trace: one line per event, stamped with the terminal's wall
// clock (which the sandbox can move), the source in a column of its own, then the
// decoded event. Lines from any thread come out whole. Recent lines are kept so that
// a script can wait for one.
class Trace {
public:
    // copy: a second stream that gets every line too (a log file), or null.
    explicit Trace(FILE* out, FILE* copy = nullptr);

    void line(const std::string& source, const std::string& text);
    void line_at(int64_t wall_us, const std::string& source, const std::string& text);
    // A line without a time stamp (help, errors of the command language).
    void plain(const std::string& text);

    // Waits up to timeout_ms for a line whose source and text contain the words, after
    // the line that the previous wait matched (or from the start); true when one came,
    // and then later waits begin after it.
    bool expect(const std::string& text, int timeout_ms);

    // "13:05:09.120" of a wall-clock time in microseconds, in local time.
    static std::string stamp(int64_t wall_us);
    static int64_t wall_us();
    // The wall-clock time of a CLOCK_MONOTONIC reading taken a moment ago.
    static int64_t wall_of_monotonic(int64_t monotonic_us);

    enum { KEEP = 20000 };

private:
    void emit(const std::string& text);

    FILE* m_out;
    FILE* m_copy;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::deque<std::string> m_recent;  // source and text of the last KEEP lines
    uint64_t m_first = 0;              // number of the oldest kept line
    uint64_t m_cursor = 0;             // where the next wait starts
};

}  // namespace vsim
