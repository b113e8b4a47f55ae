#include "Trace.h"

#include <time.h>

#include <algorithm>
#include <chrono>

namespace vsim {

namespace {

int64_t monotonic_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace

Trace::Trace(FILE* out, FILE* copy) : m_out(out), m_copy(copy) {}

Trace::~Trace()
{
    flush(true);
}

int64_t Trace::wall_us()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t Trace::wall_of_monotonic(int64_t monotonic)
{
    return wall_us() - (monotonic_us() - monotonic);
}

std::string Trace::stamp(int64_t wall_us)
{
    time_t sec = time_t(wall_us / 1000000);
    int ms = int((wall_us % 1000000) / 1000);
    if (ms < 0) {
        sec -= 1;
        ms += 1000;
    }
    struct tm tm;
    char buf[32];
    if (!localtime_r(&sec, &tm))
        return "??:??:??.???";
    snprintf(buf, sizeof(buf), "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return buf;
}

void Trace::line(const std::string& source, const std::string& text)
{
    line_at(wall_us(), source, text);
}

std::string Trace::printable(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        unsigned char u = (unsigned char)c;
        if (u < 0x20 || u == 0x7f) {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\x%02x", u);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

void Trace::line_at(int64_t wall_us, const std::string& source, const std::string& text)
{
    char col[16];
    snprintf(col, sizeof(col), "%-7s", source.c_str());
    std::string body = std::string(col) + " " + printable(text);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (source != "script") {
            m_recent.push_back(body);
            if (m_recent.size() > KEEP) {
                m_recent.pop_front();
                m_first++;
            }
        }
        m_held.push_back({wall_us, monotonic_us(), m_order++, stamp(wall_us) + " " + body + "\n"});
        std::push_heap(m_held.begin(), m_held.end(), after);
        flush_locked(false);
    }
    m_cond.notify_all();
}

bool Trace::after(const Held& a, const Held& b)
{
    return a.wall_us != b.wall_us ? a.wall_us > b.wall_us : a.order > b.order;
}

void Trace::plain(const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    flush_locked(true);
    emit(text + "\n");
}

void Trace::flush(bool all)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    flush_locked(all);
}

void Trace::flush_locked(bool all)
{
    int64_t due = monotonic_us() - int64_t(HOLD_MS) * 1000;
    while (!m_held.empty() && (all || m_held.front().arrived_us <= due)) {
        std::pop_heap(m_held.begin(), m_held.end(), after);
        emit(m_held.back().text);
        m_held.pop_back();
    }
}

void Trace::emit(const std::string& text)
{
    fwrite(text.data(), 1, text.size(), m_out);
    fflush(m_out);
    if (m_copy) {
        fwrite(text.data(), 1, text.size(), m_copy);
        fflush(m_copy);
    }
}

bool Trace::expect(const std::string& text, int timeout_ms)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> lock(m_mutex);
    auto scan = [&]() {
        if (m_cursor < m_first)
            m_cursor = m_first;
        for (; m_cursor < m_first + m_recent.size(); m_cursor++)
            if (m_recent[size_t(m_cursor - m_first)].find(text) != std::string::npos) {
                m_cursor++;
                return true;
            }
        return false;
    };
    while (!scan())
        if (m_cond.wait_until(lock, until) == std::cv_status::timeout)
            return scan();  // lines that came with the time-out still count
    return true;
}

}  // namespace vsim
