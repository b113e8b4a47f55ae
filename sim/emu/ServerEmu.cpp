#include "ServerEmu.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

#include "Sandbox.h"
#include "UdpLoop.h"

namespace vsim {

static const uint8_t server_cid[6] = {'X', 'X', 'X', 'C', 'I', 'D'};

static void put_le16(std::vector<uint8_t>& b, size_t off, uint16_t v)
{
    b[off] = uint8_t(v);
    b[off + 1] = uint8_t(v >> 8);
}

static void put_le32(std::vector<uint8_t>& b, size_t off, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[off + i] = uint8_t(v >> (8 * i));
}

static void put_be32(std::vector<uint8_t>& b, size_t off, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[off + i] = uint8_t(v >> (24 - 8 * i));
}

static void put_text(std::vector<uint8_t>& b, size_t off, const std::string& s, size_t max)
{
    memcpy(&b[off], s.data(), s.size() < max ? s.size() : max);
}

static void put_addr(std::vector<uint8_t>& b, size_t off, const std::string& dotted)
{
    in_addr a{};
    if (inet_pton(AF_INET, dotted.c_str(), &a) == 1)
        memcpy(&b[off], &a.s_addr, 4);
}

uint8_t ServerDatagram::u8(size_t off) const
{
    return off < bytes.size() ? bytes[off] : 0;
}

uint16_t ServerDatagram::le16(size_t off) const
{
    return uint16_t(u8(off) | (u8(off + 1) << 8));
}

uint32_t ServerDatagram::le32(size_t off) const
{
    return uint32_t(u8(off)) | (uint32_t(u8(off + 1)) << 8) | (uint32_t(u8(off + 2)) << 16) |
           (uint32_t(u8(off + 3)) << 24);
}

uint32_t ServerDatagram::be32(size_t off) const
{
    return (uint32_t(u8(off)) << 24) | (uint32_t(u8(off + 1)) << 16) | (uint32_t(u8(off + 2)) << 8) |
           uint32_t(u8(off + 3));
}

std::string ServerDatagram::text(size_t off, size_t max) const
{
    std::string s;
    for (size_t i = 0; i < max && off + i < bytes.size() && bytes[off + i]; i++)
        s += char(bytes[off + i]);
    return s;
}

std::vector<uint8_t> ServerDatagram::slice(size_t off, size_t n) const
{
    std::vector<uint8_t> s(n);
    for (size_t i = 0; i < n; i++)
        s[i] = u8(off + i);
    return s;
}

bool ServerDatagram::cid_ok() const
{
    return bytes.size() >= 6 && memcmp(bytes.data(), server_cid, 6) == 0;
}

int64_t server_monotonic_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t server_wall_us()
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    return int64_t(tv.tv_sec) * 1000000 + tv.tv_usec;
}

// The host's own real-time clock, past the interposition that moves the terminal's.
static int64_t host_realtime_us()
{
    timespec ts;
    syscall(SYS_clock_gettime, CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

bool server_receive(int fd, ServerDatagram* out)
{
    std::vector<uint8_t> buf(65536);
    sockaddr_in from{};
    iovec iov = {buf.data(), buf.size()};
    char control[256];
    msghdr mh{};
    mh.msg_name = &from;
    mh.msg_namelen = sizeof(from);
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = control;
    mh.msg_controllen = sizeof(control);
    ssize_t n = recvmsg(fd, &mh, MSG_DONTWAIT);
    if (n < 0)
        return false;
    int64_t mono = server_monotonic_us();
    int64_t wall = server_wall_us();
    int64_t late = 0;
    // The kernel's arrival stamp is on the host's real-time clock: carried over to
    // the monotonic clock and to the terminal's view by how long ago it was.
    for (cmsghdr* c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts;
            memcpy(&ts, CMSG_DATA(c), sizeof(ts));
            late = host_realtime_us() - (int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000);
            if (late < 0)
                late = 0;
        }
    }
    buf.resize(n);
    out->bytes = std::move(buf);
    out->outgoing = false;
    char addr[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &from.sin_addr, addr, sizeof(addr));
    out->peer = addr;
    out->peer_port = ntohs(from.sin_port);
    out->t_us = mono - late;
    out->wall_us = wall - late;
    return true;
}

ServerEmu::ServerEmu(Sandbox& sb, const std::string& address, const std::string& terminal, int port)
    : m_address(address), m_terminal(terminal), m_port(port)
{
    int s = sb.lan_socket(SOCK_DGRAM);
    if (s < 0)
        return;
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
    // A whole card list arrives unacknowledged: room for all of it, so that a slow
    // test thread never makes the server lose a page.
    int room = 8 << 20;
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof(room)) < 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &room, sizeof(room));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) {
        close(s);
        return;
    }
    if (!udp_loop_open(s, a, m_wake))
        return;
    m_socket = s;
    m_thread = std::thread(&ServerEmu::loop, this);
}

ServerEmu::~ServerEmu()
{
    udp_loop_close(m_thread, m_socket, m_wake);
}

void ServerEmu::set_timeout(uint16_t seconds)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_timeout = seconds;
}

void ServerEmu::set_date_offset(int64_t seconds)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fixed_date = false;
    m_date_offset = seconds;
}

void ServerEmu::set_date(const ServerDate& date)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fixed_date = true;
    m_date = date;
}

void ServerEmu::set_weather(int8_t a, int8_t b, int8_t c)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_weather[0] = a;
    m_weather[1] = b;
    m_weather[2] = c;
}

void ServerEmu::set_heartbeat_silent(bool silent)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_heartbeat_silent = silent;
}

void ServerEmu::set_report_silent(bool silent)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_report_silent = silent;
}

void ServerEmu::set_responder(std::function<bool(const ServerDatagram&, std::vector<uint8_t>*)> fn)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_responder = std::move(fn);
}

void ServerEmu::set_directory(const std::vector<ServerZone>& zones)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_directory = zones;
}

void ServerEmu::set_trace(std::function<void(const ServerDatagram&, const std::string&)> fn)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_trace = std::move(fn);
}

std::vector<uint8_t> ServerEmu::header(uint8_t cmd, uint8_t type, const std::string& host)
{
    std::vector<uint8_t> b(28);
    memcpy(b.data(), server_cid, 6);
    b[6] = cmd;
    b[7] = type;
    put_text(b, 8, host, 20);
    return b;
}

std::vector<uint8_t> ServerEmu::text_packet(uint16_t type, uint32_t seq, const std::string& text)
{
    std::vector<uint8_t> b = header(3, 1);
    b.resize(PACKET);
    put_le16(b, 28, type);
    put_le32(b, 30, seq);
    size_t n = text.size() < 200 ? text.size() : 200;
    put_le16(b, 34, uint16_t(n));
    put_text(b, 36, text, n);
    return b;
}

std::vector<uint8_t> ServerEmu::card_packet(uint8_t cmd, uint32_t seq, uint32_t idx,
                                            const std::vector<ServerCard>& cards, int64_t total_card)
{
    std::vector<uint8_t> b = header(cmd, 1);
    b.resize(RECORD);
    size_t n = cards.size() < 50 ? cards.size() : 50;
    put_le32(b, 28, seq);
    put_le32(b, 32, uint32_t(cards.size()));
    put_le32(b, 36, uint32_t(total_card < 0 ? int64_t(cards.size()) : total_card));
    put_le32(b, 40, 1);
    put_le32(b, 44, idx);
    for (size_t i = 0; i < n; i++) {
        put_be32(b, 48 + 24 * i, cards[i].card);
        put_text(b, 52 + 24 * i, cards[i].host, 20);
    }
    return b;
}

std::vector<uint8_t> ServerEmu::query_answer(const std::string& h_addr, const std::vector<ServerZone>& zones,
                                             int ips)
{
    std::vector<uint8_t> b = header(155, 2);
    b.resize(PACKET);
    put_addr(b, 28, h_addr);
    size_t n = zones.size() < 8 ? zones.size() : 8;
    b[32] = uint8_t(ips < 0 ? int(n) : ips);
    for (size_t i = 0; i < n; i++) {
        put_text(b, 33 + 24 * i, zones[i].name, 20);
        put_addr(b, 53 + 24 * i, zones[i].addr);
    }
    return b;
}

bool ServerEmu::send_text(uint16_t type, uint32_t seq, const std::string& text)
{
    return send_raw(text_packet(type, seq, text));
}

bool ServerEmu::add_cards(uint32_t seq, uint32_t idx, const std::vector<ServerCard>& cards)
{
    return send_raw(card_packet(54, seq, idx, cards));
}

bool ServerEmu::remove_cards(uint32_t seq, uint32_t idx, const std::vector<uint32_t>& cards)
{
    std::vector<ServerCard> entries;
    for (uint32_t c : cards)
        entries.push_back({c, ""});
    return send_raw(card_packet(57, seq, idx, entries));
}

bool ServerEmu::request_card_list(uint32_t seq)
{
    std::vector<uint8_t> b = header(55, 1);
    b.resize(PACKET);
    put_le32(b, 28, seq);
    return send_raw(b);
}

bool ServerEmu::send_request(uint8_t cmd, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> b = header(cmd, 1);
    b.insert(b.end(), payload.begin(), payload.end());
    if (b.size() < PACKET)
        b.resize(PACKET);
    return send_raw(b);
}

bool ServerEmu::send_locked(const std::vector<uint8_t>& bytes)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(m_port);
    if (m_socket < 0 || inet_pton(AF_INET, m_terminal.c_str(), &a.sin_addr) != 1)
        return false;
    return sendto(m_socket, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a)) ==
           ssize_t(bytes.size());
}

bool ServerEmu::send_raw(const std::vector<uint8_t>& bytes)
{
    // Stamped before it goes: the terminal may answer before send returns, and the
    // datagram must not appear to come after its own answer.
    ServerDatagram d;
    d.t_us = server_monotonic_us();
    d.wall_us = server_wall_us();
    bool sent = send_locked(bytes);
    if (sent) {
        d.bytes = bytes;
        d.outgoing = true;
        d.peer = m_terminal;
        d.peer_port = m_port;
        trace(d);
    }
    return sent;
}

void ServerEmu::trace(const ServerDatagram& d)
{
    std::function<void(const ServerDatagram&, const std::string&)> fn;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        fn = m_trace;
    }
    if (fn)
        fn(d, describe(d));
}

std::vector<ServerDatagram> ServerEmu::datagrams() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

size_t ServerEmu::count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received.size();
}

void ServerEmu::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_received.clear();
}

bool ServerEmu::wait(const std::function<bool(const ServerDatagram&)>& pred, ServerDatagram* out, int timeout_ms,
                     size_t from)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        for (size_t i = from; i < m_received.size(); i++) {
            if (pred(m_received[i])) {
                if (out)
                    *out = m_received[i];
                return true;
            }
        }
        from = m_received.size() > from ? m_received.size() : from;
        if (m_cond.wait_until(lock, deadline) == std::cv_status::timeout && m_received.size() <= from)
            return false;
    }
}

bool ServerEmu::wait_cmd(uint8_t cmd, uint8_t type, ServerDatagram* out, int timeout_ms, size_t from)
{
    return wait([&](const ServerDatagram& d) { return d.cmd() == cmd && d.type() == type; }, out, timeout_ms,
                from);
}

std::vector<ServerCard> ServerEmu::card_list() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_card_list;
}

int ServerEmu::card_uploads() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_uploads;
}

std::string ServerEmu::describe(const ServerDatagram& d)
{
    if (d.size() < 8)
        return "short datagram of " + std::to_string(d.size()) + " bytes";
    bool answer = d.type() == 2;
    switch (d.cmd()) {
    case 1:
        return answer ? "alarm answer" : "alarm";
    case 2:
        return answer ? "alarm cancel answer" : "alarm cancel";
    case 3:
        return answer ? "text message echo" : "text message " + std::to_string(d.le32(30));
    case 4:
        return answer ? "heartbeat answer" : "heartbeat";
    case 54:
        return answer ? "card addition echo" : "card addition";
    case 55:
        if (!answer)
            return "card list request";
        return "card list page " + std::to_string(d.le32(44)) + "/" + std::to_string(d.le32(40));
    case 56:
        return answer ? "card log answer" : "card log";
    case 57:
        return answer ? "card removal echo" : "card removal";
    case 66:
        return answer ? "call log answer" : "call log";
    case 155:
        return answer ? "address answer" : "address query";
    case 171:
        return "elevator command";
    default:
        return (answer ? "echo of command " : "command ") + std::to_string(d.cmd());
    }
}

std::vector<uint8_t> ServerEmu::heartbeat_answer(const ServerDatagram& in)
{
    (void)in;
    std::vector<uint8_t> b = header(4, 2);
    b.resize(PACKET);
    put_le16(b, 28, m_timeout);
    ServerDate date = m_date;
    if (!m_fixed_date) {
        time_t now = time_t(server_wall_us() / 1000000 + m_date_offset);
        tm t;
        localtime_r(&now, &t);
        date = {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
    }
    b[30] = uint8_t(date.year >> 8);
    b[31] = uint8_t(date.year);
    b[32] = uint8_t(date.month);
    b[33] = uint8_t(date.day);
    b[34] = uint8_t(date.hour);
    b[35] = uint8_t(date.minute);
    b[36] = uint8_t(date.second);
    for (int i = 0; i < 3; i++)
        b[37 + i] = uint8_t(m_weather[i]);
    return b;
}

std::vector<uint8_t> ServerEmu::query_reply(const ServerDatagram& in)
{
    std::string to = in.text(32, 20);
    std::vector<ServerZone> found;
    for (const ServerZone& z : m_directory)
        if (found.size() < 8 && z.name.compare(0, to.size(), to) == 0)
            found.push_back(z);
    char h[INET_ADDRSTRLEN] = "";
    std::vector<uint8_t> addr = in.slice(28, 4);
    inet_ntop(AF_INET, addr.data(), h, sizeof(h));
    return query_answer(h, found);
}

void ServerEmu::collect_page(const ServerDatagram& d)
{
    uint32_t total_card = d.le32(36);
    uint32_t max = d.le32(40);
    uint32_t idx = d.le32(44);
    if (idx == 1 || max != m_pages_max) {
        m_pages.clear();
        m_pages_max = max;
    }
    std::vector<ServerCard> cards;
    for (uint32_t i = 0; i < total_card && i < 50 && 48 + 24 * (i + 1) <= d.size(); i++)
        cards.push_back({d.be32(48 + 24 * i), d.text(52 + 24 * i, 20)});
    m_pages[idx] = cards;
    if (m_pages.size() == max && m_pages.begin()->first == 1 && m_pages.rbegin()->first == max) {
        m_card_list.clear();
        for (auto& p : m_pages)
            m_card_list.insert(m_card_list.end(), p.second.begin(), p.second.end());
        m_pages.clear();
        m_uploads++;
    }
}

void ServerEmu::handle(const ServerDatagram& d)
{
    std::vector<uint8_t> reply;
    bool answer = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_responder && m_responder(d, &reply)) {
            answer = !reply.empty();
        } else if (d.size() >= 8 && d.type() == 1) {
            switch (d.cmd()) {
            case 4:
                answer = !m_heartbeat_silent;
                if (answer)
                    reply = heartbeat_answer(d);
                break;
            case 1:
            case 2:
            case 56:
            case 66:
                answer = !m_report_silent;
                if (answer) {
                    reply = d.bytes;
                    reply.resize(PACKET);
                    reply[7] = 2;
                }
                break;
            case 155:
                reply = query_reply(d);
                answer = true;
                break;
            default:
                break;
            }
        }
    }
    trace(d);
    // The answer is on its way before anyone waiting sees the request, so that what
    // a test sends next comes after it.
    if (answer)
        send_raw(reply);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (d.size() >= 8 && d.cmd() == 55 && d.type() == 2)
            collect_page(d);
        m_received.push_back(d);
    }
    m_cond.notify_all();
}

void ServerEmu::loop()
{
    for (;;) {
        pollfd fds[2] = {{m_socket, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents)
            return;
        ServerDatagram d;
        if (server_receive(m_socket, &d))
            handle(d);
    }
}

}  // namespace vsim
