#include "Trace.h"

#include <time.h>

#include <chrono>

namespace vsim {

Trace::Trace(FILE* out, FILE* copy) : m_out(out), m_copy(copy) {}

int64_t Trace::wall_us()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t Trace::wall_of_monotonic(int64_t monotonic_us)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    int64_t now = int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    return wall_us() - (now - monotonic_us);
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

void Trace::line_at(int64_t wall_us, const std::string& source, const std::string& text)
{
    char col[16];
    snprintf(col, sizeof(col), "%-7s", source.c_str());
    std::string body = std::string(col) + " " + text;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_recent.push_back(body);
        if (m_recent.size() > KEEP) {
            m_recent.pop_front();
            m_first++;
        }
        emit(stamp(wall_us) + " " + body + "\n");
    }
    m_cond.notify_all();
}

void Trace::plain(const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    emit(text + "\n");
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
