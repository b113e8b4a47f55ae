#pragma once

#include <stdint.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ServerEmu.h"

namespace vsim {

class Sandbox;

// One command as an elevator controller decoded it.
struct ElevatorCommand {
    ServerDatagram datagram;
    std::string host;     // the sender's identity
    uint8_t factory = 0;  // 1
    uint8_t function = 0; // 3 permit, 2 appoint
    uint8_t data[32] = {};
    bool check_ok = false;  // byte 7 is (sum of bytes 0 to 6) XOR byte 0
    // Decoded from the data bytes.
    int floor = -1;      // BCD floor of byte 5
    int family = -1;     // BCD family of byte 6
    int elevator = -1;   // appoint: byte 1 - 1
    int direction = -1;  // appoint: byte 2
};

// An elevator controller on its own address in the sandbox's LAN namespace, UDP
// 8300. It never answers; it records every command it gets.
class ElevatorEmu {
public:
    // Adds address/prefix to the LAN namespace's device lan_dev (the far end of the
    // terminal's eth0 is "eth0-lan") when it is not there yet, and binds address:port.
    ElevatorEmu(Sandbox& sb, const std::string& address, const std::string& lan_dev = "eth0-lan", int prefix = 24,
                int port = ServerEmu::PORT);
    ~ElevatorEmu();
    ElevatorEmu(const ElevatorEmu&) = delete;
    ElevatorEmu& operator=(const ElevatorEmu&) = delete;

    bool ok() const { return m_socket >= 0; }
    const std::string& address() const { return m_address; }

    std::vector<ElevatorCommand> commands() const;
    size_t count() const;
    bool wait(ElevatorCommand* out, int timeout_ms, size_t from = 0);
    void set_trace(std::function<void(const ElevatorCommand&, const std::string& what)> fn);

    static ElevatorCommand decode(const ServerDatagram& d);
    static std::string describe(const ElevatorCommand& c);  // "permit floor 12 flat 3" ...

private:
    void loop();

    std::string m_address;
    int m_socket = -1;
    int m_wake[2] = {-1, -1};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<ElevatorCommand> m_commands;
    std::function<void(const ElevatorCommand&, const std::string&)> m_trace;
};

// Adds address/prefix to the network device dev of the LAN namespace (EEXIST counts
// as done), by rtnetlink, without any tool of the terminal.
bool lan_add_address(Sandbox& sb, const std::string& dev, const std::string& address, int prefix);

}  // namespace vsim
