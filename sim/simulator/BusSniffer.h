#pragma once

#include <stdint.h>

#include <functional>
#include <map>
#include <string>

struct pcap;

namespace vsim {

// A request to the daemon's bus endpoint, or the daemon's answer, as seen on the
// loopback interface.
struct BusPacket {
    bool answer = false;  // from the daemon's endpoint
    int peer_port = 0;    // the requester's port
    int64_t host_us = 0;  // capture time, the host's wall clock
    std::string path;     // of the request (for an answer: of the request it answers)
    int code = 0;         // of an answer; 0 when the status line does not parse
    std::string body;
    bool has_body = false;
};

// Watches the daemon's bus endpoint on the loopback interface of the terminal's
// network, so that the trace shows every request the daemon receives, from whichever
// application (the simulator, the bus tool, a real application) sent it, and every
// answer it gives.
class BusSniffer {
public:
    explicit BusSniffer(int port);
    ~BusSniffer();
    BusSniffer(const BusSniffer&) = delete;
    BusSniffer& operator=(const BusSniffer&) = delete;

    bool ok() const { return m_pcap != nullptr; }
    const std::string& error() const { return m_error; }

    // Hands every packet captured since the last call to fn; never blocks.
    void poll(const std::function<void(const BusPacket&)>& fn);

    // Decodes one captured Ethernet frame of the loopback interface; false when it is
    // no UDP datagram to or from the port.
    static bool decode(const uint8_t* frame, size_t length, int port, BusPacket* out);

    enum { MAX_PENDING = 256 };

private:
    pcap* m_pcap = nullptr;
    int m_port;
    std::string m_error;
    std::map<int, std::string> m_pending;  // requester's port -> path of its request
};

}  // namespace vsim
