#pragma once

#include <stdint.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vsim {

class Sandbox;

// One datagram of the server protocol as an emulated peer received or sent it. The
// field readers take offsets from the start of the datagram and read zero past its
// end, so a test reads the wire exactly as it came.
struct ServerDatagram {
    std::vector<uint8_t> bytes;
    bool outgoing = false;  // sent by the emulator
    std::string peer;       // the other side's address
    int peer_port = 0;
    int64_t t_us = 0;     // CLOCK_MONOTONIC at arrival in the socket, comparable with BusMessage::t_us
    int64_t wall_us = 0;  // the terminal's wall clock (the sandbox's view) at that moment

    size_t size() const { return bytes.size(); }
    uint8_t u8(size_t off) const;
    uint16_t le16(size_t off) const;
    uint32_t le32(size_t off) const;
    uint32_t be32(size_t off) const;
    std::string text(size_t off, size_t max) const;  // up to the first NUL within max bytes
    std::vector<uint8_t> slice(size_t off, size_t n) const;
    bool cid_ok() const;  // starts with "XXXCID"
    uint8_t cmd() const { return u8(6); }
    uint8_t type() const { return u8(7); }
    std::string host() const { return text(8, 20); }
};

// A date as the server writes it: its local time.
struct ServerDate {
    int year = 2024;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

struct ServerCard {
    uint32_t card = 0;
    std::string host;  // room identity, "S" building(4) unit(2) floor(2) family(2) "0"
};

struct ServerZone {
    std::string name;  // identity
    std::string addr;  // dotted IPv4
};

// The building-management server on UDP 8300 at its address in the sandbox's LAN
// namespace. It records every datagram of the terminal with its time, answers
// heartbeats with its interval and its date, acknowledges reports, answers address
// queries from its directory and keeps the card list the terminal last uploaded. It
// sends what a server sends on its own: text messages, card additions and removals,
// card-list requests, and requests the terminal does not know.
class ServerEmu {
public:
    enum {
        PORT = 8300,
        RECORD = 1248,  // the whole record of the union, as the server sends it
        PACKET = 512,
    };

    // Binds address:port in the LAN namespace; requests go to terminal:port.
    ServerEmu(Sandbox& sb, const std::string& address, const std::string& terminal,
              int port = PORT);
    ~ServerEmu();
    ServerEmu(const ServerEmu&) = delete;
    ServerEmu& operator=(const ServerEmu&) = delete;

    bool ok() const { return m_socket >= 0; }
    const std::string& address() const { return m_address; }

    // Heartbeat answers: the interval, and the date as the server's clock (the
    // terminal's clock moved by offset seconds) or a fixed date.
    void set_timeout(uint16_t seconds);
    void set_date_offset(int64_t seconds);
    void set_date(const ServerDate& date);
    void set_weather(int8_t a, int8_t b, int8_t c);
    void set_heartbeat_silent(bool silent);
    // Reports (alarm, cancel, card and call logs) are acknowledged unless silent.
    void set_report_silent(bool silent);
    // Replaces the model's own answer: when it returns true, reply is sent instead
    // (nothing when empty).
    void set_responder(std::function<bool(const ServerDatagram& in, std::vector<uint8_t>* reply)> fn);

    // The directory the address queries are answered from: the entries whose name
    // begins with the identity asked for, at most eight.
    void set_directory(const std::vector<ServerZone>& zones);

    // Every datagram, both ways, with its decoded name, for a live trace.
    void set_trace(std::function<void(const ServerDatagram&, const std::string& what)> fn);

    // Requests and answers of the server itself.
    bool send_text(uint16_t type, uint32_t seq, const std::string& text);
    bool add_cards(uint32_t seq, uint32_t idx, const std::vector<ServerCard>& cards);
    bool remove_cards(uint32_t seq, uint32_t idx, const std::vector<uint32_t>& cards);
    bool request_card_list(uint32_t seq = 1);
    bool send_request(uint8_t cmd, const std::vector<uint8_t>& payload = {});
    bool send_raw(const std::vector<uint8_t>& bytes);

    // Builders of the server's records, for tests that bend them before send_raw.
    static std::vector<uint8_t> header(uint8_t cmd, uint8_t type, const std::string& host = "SERVER");
    static std::vector<uint8_t> text_packet(uint16_t type, uint32_t seq, const std::string& text);
    // total_card defaults to the number of cards; the record is RECORD bytes.
    static std::vector<uint8_t> card_packet(uint8_t cmd, uint32_t seq, uint32_t idx,
                                            const std::vector<ServerCard>& cards,
                                            int64_t total_card = -1);
    static std::vector<uint8_t> query_answer(const std::string& h_addr,
                                             const std::vector<ServerZone>& zones, int ips = -1);

    // What the terminal sent.
    std::vector<ServerDatagram> datagrams() const;
    size_t count() const;
    void clear();
    bool wait(const std::function<bool(const ServerDatagram&)>& pred, ServerDatagram* out,
              int timeout_ms, size_t from = 0);
    bool wait_cmd(uint8_t cmd, uint8_t type, ServerDatagram* out, int timeout_ms, size_t from = 0);

    // The list of the last complete upload (every page 1 to max seen), in page order.
    std::vector<ServerCard> card_list() const;
    int card_uploads() const;  // complete uploads seen

    // "heartbeat", "alarm", "text message echo", "card list page 2/3", ...
    static std::string describe(const ServerDatagram& d);

private:
    void loop();
    void handle(const ServerDatagram& d);
    void collect_page(const ServerDatagram& d);
    bool send_locked(const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> heartbeat_answer(const ServerDatagram& in);
    std::vector<uint8_t> query_reply(const ServerDatagram& in);
    void trace(const ServerDatagram& d);

    std::string m_address;
    std::string m_terminal;
    int m_port;
    int m_socket = -1;
    int m_wake[2] = {-1, -1};
    std::thread m_thread;

    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<ServerDatagram> m_received;
    uint16_t m_timeout = 30;
    bool m_fixed_date = false;
    ServerDate m_date;
    int64_t m_date_offset = 0;
    int8_t m_weather[3] = {21, -4, 2};
    bool m_heartbeat_silent = false;
    bool m_report_silent = false;
    std::function<bool(const ServerDatagram&, std::vector<uint8_t>*)> m_responder;
    std::function<void(const ServerDatagram&, const std::string&)> m_trace;
    std::vector<ServerZone> m_directory;

    // The upload being received: pages by number.
    std::map<uint32_t, std::vector<ServerCard>> m_pages;
    uint32_t m_pages_max = 0;
    std::vector<ServerCard> m_card_list;
    int m_uploads = 0;
};

// Shared by the emulated peers of the server protocol: receive one datagram with its
// kernel arrival time.
bool server_receive(int fd, ServerDatagram* out);
int64_t server_monotonic_us();
int64_t server_wall_us();

}  // namespace vsim
