#include "BusPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

#include "UdpLoop.h"

namespace vsim {

static int64_t monotonic_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

bool bus_parse(const std::string& datagram, BusMessage* out)
{
    size_t sep = datagram.find("\r\n\r\n");
    std::string head = sep == std::string::npos ? datagram : datagram.substr(0, sep);
    std::istringstream words(head);
    std::string version;
    if (!(words >> out->method >> out->path >> version))
        return false;
    out->has_body = sep != std::string::npos;
    out->body = out->has_body ? datagram.substr(sep + 4) : std::string();
    return true;
}

BusPeer::BusPeer(int port) : m_port(port)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!udp_loop_open(s, a, m_wake))
        return;
    m_socket = s;
    m_thread = std::thread(&BusPeer::loop, this);
}

BusPeer::~BusPeer()
{
    udp_loop_close(m_thread, m_socket, m_wake);
}

void BusPeer::set_answer(int code, const std::string& body)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_code = code;
    m_answer = body;
    m_raw = false;
}

void BusPeer::set_raw_answer(const std::string& datagram)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answer = datagram;
    m_raw = true;
}

void BusPeer::set_silent(bool silent)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_silent = silent;
}

std::vector<BusMessage> BusPeer::messages() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
}

void BusPeer::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messages.clear();
}

bool BusPeer::wait(const std::string& path, BusMessage* out, int timeout_ms, size_t from)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        for (size_t i = from; i < m_messages.size(); i++) {
            if (m_messages[i].path == path) {
                if (out)
                    *out = m_messages[i];
                return true;
            }
        }
        if (m_cond.wait_until(lock, deadline) == std::cv_status::timeout) {
            for (size_t i = from; i < m_messages.size(); i++)
                if (m_messages[i].path == path) {
                    if (out)
                        *out = m_messages[i];
                    return true;
                }
            return false;
        }
    }
}

void BusPeer::loop()
{
    std::vector<char> buf(65536);
    for (;;) {
        pollfd fds[2] = {{m_socket, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents)
            return;
        sockaddr_in from{};
        socklen_t len = sizeof(from);
        ssize_t n = recvfrom(m_socket, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n <= 0)
            continue;
        BusMessage m;
        m.raw.assign(buf.data(), n);
        if (!bus_parse(m.raw, &m))
            continue;
        m.t_us = monotonic_us();
        std::string answer;
        bool silent;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_messages.push_back(m);
            silent = m_silent;
            answer = m_raw ? m_answer : "MSG/1.0 " + std::to_string(m_code) + " OK\r\n\r\n" + m_answer;
        }
        m_cond.notify_all();
        if (!silent)
            sendto(m_socket, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
}

}  // namespace vsim
