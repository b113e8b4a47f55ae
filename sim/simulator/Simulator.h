#pragma once

#include <stdint.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BusPeer.h"
#include "BusSniffer.h"
#include "FileTail.h"
#include "McuEmu.h"
#include "Profile.h"
#include "Sandbox.h"
#include "ServerEmu.h"
#include "StatusWatch.h"
#include "Trace.h"

namespace vsim {

// The simulated terminal, run inside the sandbox: puts a profile's files in place,
// plays every peer of the daemon (the MCU, the building server, an application at
// every bus endpoint), starts the real daemon, traces what crosses each boundary
// and carries out the commands of a person or a script.
class Simulator {
public:
    // Results of one command.
    enum { OK = 0, FAILED = 1, BAD = 2, QUIT = 3 };

    // quit_fd: becomes readable when the simulator is asked to end (a signal).
    Simulator(Sandbox& sb, const Profile& profile, Trace& trace, int quit_fd);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // free: endpoints left to a real application ("/ui"). False when the terminal
    // could not be made (the reason is in the trace).
    bool start(const std::vector<std::string>& free);
    // One line of the command language.
    int execute(const std::string& line);
    // Ends the daemon and every emulator; the trace gets what they still said.
    void shutdown();
    bool quit_requested();

    static std::string help();
    enum { EXPECT_TIMEOUT_MS = 5000, READY_TIMEOUT_MS = 20000 };

private:
    struct Peer {
        std::string url;
        int port;
        std::unique_ptr<BusPeer> peer;
        size_t seen = 0;
    };

    int run(const std::vector<std::string>& w);
    int key(const std::vector<std::string>& w);
    int button(const std::vector<std::string>& w);
    int input(const std::vector<std::string>& w);
    int mcu(const std::vector<std::string>& w);
    int server(const std::vector<std::string>& w);
    int post(const std::vector<std::string>& w);
    int peer(const std::vector<std::string>& w);
    int clock(const std::vector<std::string>& w);
    int daemon(const std::vector<std::string>& w);
    int status();
    int wait(const std::vector<std::string>& w);
    int expect(const std::vector<std::string>& w);

    void error(const std::string& why);
    int bad(const std::string& why);
    int report(bool sent, const std::string& what);
    bool open_peer(Peer& p);
    bool start_daemon();
    void on_frame(const McuFrame& f);
    void on_datagram(const ServerDatagram& d, const std::string& what);
    void on_control(const BusPacket& p);
    void monitor();
    void poll(bool flush);
    bool pause_ms(int ms);

    Sandbox& m_sb;
    const Profile& m_profile;
    Trace& m_trace;
    int m_quit_fd;
    std::string m_terminal;  // the terminal's address on the server's LAN
    std::atomic<bool> m_quit{false};

    std::unique_ptr<McuEmu> m_mcu;
    std::unique_ptr<ServerEmu> m_server;
    std::vector<Peer> m_peers;
    std::unique_ptr<FileTail> m_commands;
    std::unique_ptr<FileTail> m_stderr;
    std::unique_ptr<FileTail> m_stdout;
    std::unique_ptr<StatusWatch> m_status;
    std::unique_ptr<BusSniffer> m_sniffer;

    std::mutex m_poll_mutex;     // one poll at a time: the monitor's and a final one
    std::mutex m_daemon_mutex;   // the sandbox's daemon calls come from two threads
    bool m_daemon_up = false;
    std::thread m_monitor;
    std::atomic<bool> m_stop{false};

    std::vector<uint8_t> m_inputs = std::vector<uint8_t>(8, 0);
    uint32_t m_seq = 0;  // sequence numbers of the server's own requests
};

}  // namespace vsim
