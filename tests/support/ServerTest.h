#pragma once

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "Sandbox.h"
#include "ServerEmu.h"
#include "vsim_test.h"

// The terminal on the building LAN as the server-link tests use it: eth0 at
// 192.168.12.100 and the building server at 192.168.12.40 on the far end.
namespace servertest {

const char SERVER[] = "192.168.12.40";
const char TERMINAL[] = "192.168.12.100";
const char MAC_TEXT[] = "02:11:22:33:44:55";
const int WAIT_MS = 5000;

inline vsim::Options terminal()
{
    vsim::Options o;
    // A family whose bring-up does not sleep.
    o.cpuinfo = "processor\t: 0\nHardware\t: Rockchip RK3588\n";
    vsim::Interface eth0;
    eth0.name = "eth0";
    eth0.address = std::string(TERMINAL) + "/24";
    eth0.peer = std::string(SERVER) + "/24";
    eth0.mac = MAC_TEXT;
    o.interfaces.push_back(eth0);
    return o;
}

// Building 21, unit 4, floor 7, flat 3, device 2: identity "S00210407032".
inline void configure(vsim::Sandbox& sb, const std::string& extra = "")
{
    sb.write("/vesko/cfg/sys.xml",
             "<sys><talk><building>21</building><unit>4</unit><floor>7</floor><family>3</family>"
             "<dcode>2</dcode><server>" +
                 std::string(SERVER) + "</server>" + extra + "</talk></sys>");
}

inline const char* identity()
{
    return "S00210407032";
}

inline std::vector<uint8_t> zeros(size_t n)
{
    return std::vector<uint8_t>(n, 0);
}

inline bool is_heartbeat(const vsim::ServerDatagram& d)
{
    return d.cmd() == 4 && d.type() == 1;
}

// Waits until the loop has finished the exchange under way (and taken its time): a
// request of a code the terminal does not know is echoed only by the receive step
// that follows it. A probe that the exchange itself took as its answer is sent again.
inline bool settle(vsim::ServerEmu& server)
{
    static uint32_t probes = 0;
    for (int i = 0; i < 20; i++) {
        std::vector<uint8_t> probe = vsim::ServerEmu::header(250, 1, "PROBE");
        probe.resize(512);
        uint32_t n = ++probes;
        memcpy(&probe[28], &n, sizeof(n));
        size_t from = server.count();
        if (!server.send_raw(probe))
            return false;
        probe[7] = 2;
        if (server.wait([&](const vsim::ServerDatagram& d) { return d.bytes == probe; }, nullptr, 500, from))
            return true;
    }
    return false;
}

// Starts the daemon and waits for its first heartbeat and the end of its exchange.
inline bool start(vsim::Sandbox& sb, vsim::ServerEmu& server, vsim::ServerDatagram* first = nullptr)
{
    if (sb.start_daemon() <= 0)
        return false;
    return server.wait(is_heartbeat, first, 20000) && settle(server);
}

// Makes the next heartbeat due at a moment the test chooses: the clock jumps ahead
// by at least jump seconds to 50 ms past a whole second, so that the loop's
// whole-second arithmetic and the server's date both fall in that second. Returns the
// second in which the daemon took the heartbeat's time, or -1.
inline int64_t aligned_heartbeat(vsim::Sandbox& sb, vsim::ServerEmu& server, int64_t jump,
                                 vsim::ServerDatagram* out = nullptr)
{
    int64_t now = vsim::server_wall_us();
    int64_t second = now / 1000000 + jump + 1;
    size_t from = server.count();
    sb.clock_advance(second * 1000000 + 50000 - now);
    vsim::ServerDatagram d;
    if (!server.wait(is_heartbeat, &d, WAIT_MS, from) || !settle(server))
        return -1;
    if (out)
        *out = d;
    // The exchange took its time in that same second, or the alignment failed.
    if (d.wall_us / 1000000 != second || d.wall_us % 1000000 > 800000)
        return -1;
    return second;
}

// Moves the terminal's wall clock to at_us, microseconds since the epoch.
inline void clock_to(vsim::Sandbox& sb, int64_t at_us)
{
    sb.clock_advance(at_us - vsim::server_wall_us());
}

}  // namespace servertest
