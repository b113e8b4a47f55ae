#pragma once

#include <stdint.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vsim {

// A request that reached an emulated bus application.
struct BusMessage {
    std::string method;
    std::string path;
    bool has_body = false;  // the blank line was there
    std::string body;
    std::string raw;  // the whole datagram as it arrived
    int64_t t_us = 0;  // CLOCK_MONOTONIC, microseconds
};

// An application at one endpoint of the message bus ("/ui", "/security", ...): binds
// 127.0.0.1 and the endpoint's port, records every request and answers it with the
// configured code (200 unless told otherwise, or no answer at all).
class BusPeer {
public:
    explicit BusPeer(int port);
    ~BusPeer();
    BusPeer(const BusPeer&) = delete;
    BusPeer& operator=(const BusPeer&) = delete;

    bool ok() const { return m_socket >= 0; }
    int port() const { return m_port; }

    void set_answer(int code, const std::string& body = std::string());
    // Answers every request with exactly these bytes (which need not be a well-formed
    // acknowledgement) until set_answer is called again.
    void set_raw_answer(const std::string& datagram);
    void set_silent(bool silent);

    std::vector<BusMessage> messages() const;
    void clear();
    // Waits for the first recorded request to path (exact) at or after index from.
    bool wait(const std::string& path, BusMessage* out, int timeout_ms, size_t from = 0);

private:
    void loop();

    int m_port;
    int m_socket = -1;
    int m_wake[2] = {-1, -1};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<BusMessage> m_messages;
    int m_code = 200;
    std::string m_answer;
    bool m_raw = false;
    bool m_silent = false;
};

// Splits one bus datagram into its request line and body.
bool bus_parse(const std::string& datagram, BusMessage* out);

}  // namespace vsim
