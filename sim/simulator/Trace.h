#pragma once

#include <stdint.h>
#include <stdio.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace vsim {

// The simulator's live trace: one line per event, stamped with the terminal's wall
// clock (which the sandbox can move), the source in a column of its own, then the
// decoded event. Lines from any thread come out whole and in the order of their time
// stamps: events that are noticed by polling arrive a little late, so every line is
// held back for HOLD_MS and sorted in among the others. Recent lines are kept so that
// a script can wait for one.
class Trace {
public:
    // copy: a second stream that gets every line too (a log file), or null.
    explicit Trace(FILE* out, FILE* copy = nullptr);
    ~Trace();

    // The text of a line goes out on one line and cannot steer the person's terminal:
    // control characters (a line feed, an escape sequence in the daemon's output) are
    // shown as \xNN.
    void line(const std::string& source, const std::string& text);
    void line_at(int64_t wall_us, const std::string& source, const std::string& text);
    // Text without a time stamp (help, errors of the command language), after every
    // line that came before it.
    void plain(const std::string& text);
    // Writes the lines whose hold has passed, or all of them.
    void flush(bool all = false);

    // Waits up to timeout_ms for a line whose source and text contain the words, after
    // the line that the previous wait matched (or from the start); true when one came,
    // and then later waits begin after it. The echo of script commands (source
    // "script") never matches, or every expect would find itself.
    bool expect(const std::string& text, int timeout_ms);

    // "13:05:09.120" of a wall-clock time in microseconds, in local time.
    static std::string stamp(int64_t wall_us);
    static int64_t wall_us();
    static std::string printable(const std::string& text);
    // The wall-clock time of a CLOCK_MONOTONIC reading taken a moment ago.
    static int64_t wall_of_monotonic(int64_t monotonic_us);

    enum { KEEP = 20000, HOLD_MS = 60 };

private:
    struct Held {
        int64_t wall_us;
        int64_t arrived_us;  // CLOCK_MONOTONIC
        uint64_t order;      // ties keep their arrival order
        std::string text;
    };

    static bool after(const Held& a, const Held& b);  // the heap's order: earliest on top
    void flush_locked(bool all);
    void emit(const std::string& text);

    FILE* m_out;
    FILE* m_copy;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<Held> m_held;          // a heap on (wall_us, order)
    uint64_t m_order = 0;
    std::deque<std::string> m_recent;  // source and text of the last KEEP lines
    uint64_t m_first = 0;              // number of the oldest kept line
    uint64_t m_cursor = 0;             // where the next wait starts
};

}  // namespace vsim
