#pragma once

#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "GpioEmu.h"
#include "I2cEmu.h"

namespace vsim {

class DeviceServer;
class SandboxClock;

// One network interface of the terminal: a veth pair whose far end lives in the
// sandbox's LAN namespace, where the emulated peers bind their sockets.
struct Interface {
    std::string name;     // "eth0", "wlan0", "eth1", "usb0" ...
    std::string address;  // terminal side, "192.168.12.100/24"; empty for none
    std::string peer;     // LAN side, "192.168.12.40/24"; empty for none
    bool carrier = true;  // the far end is up, so the terminal side has carrier
    std::string mac;      // terminal side "02:11:22:33:44:55"; empty keeps the kernel's
};

struct Options {
    std::string cpuinfo = "processor\t: 0\nHardware\t: Rockchip RK3288\n";  // /proc/cpuinfo
    std::vector<Interface> interfaces;
    int gpio_version = 1;      // 0: plain request codes, 1: sized request codes
    bool gpio_present = true;  // false: no /dev/gpio
    std::string hostname = "terminal";
    // Test harness only: meet a kernel that refuses user namespaces, to prove that such
    // a sandbox fails loudly.
    bool refuse_user_namespaces = false;
};

// A setting of the wall clock that the daemon (or anything inside) asked for.
struct ClockSet {
    int64_t sec;
    int64_t usec;
};

// The terminal as seen from inside: user, mount, network, UTS and PID namespaces,
// a terminal root file system, serial ports as ptys, a LAN namespace, platform tool
// stubs with a command log, emulated devices and a movable wall clock.
//
// Sandbox::run forks; the child enters the namespaces and becomes root inside (and
// nobody outside when the caller is root); PID 1 of the new PID namespace builds the
// root file system on a tmpfs, pivots into it and runs the function there, so that
// inside the function every path is the terminal's own ("/vesko/cfg/sys.xml"). The
// source and build trees are bound read-only at their own paths. Everything started
// inside ends with the function. Call it from a process with one thread: a child of
// a threaded fork cannot start threads under ThreadSanitizer.
class Sandbox {
public:
    // Returns the function's result, or 125 when the sandbox cannot be made (the
    // reason is printed on standard error).
    static int run(const Options& options, const std::function<int(Sandbox&)>& fn);

    const Options& options() const { return m_options; }
    pid_t host_pid() const { return m_host_pid; }  // this process (PID 1 inside) as the host sees it

    // Terminal files.
    bool write(const std::string& path, const std::string& text, int mode = 0644);
    std::string read(const std::string& path) const;  // empty when missing
    bool exists(const std::string& path) const;
    bool remove(const std::string& path);
    int mode(const std::string& path) const;  // permission bits, -1 when missing

    // Creates the serial port dev ("/dev/ttyS3") as a pty slave in raw mode and
    // returns the master side, which the sandbox owns. Asking again for the same
    // port replaces its pty; -1 for a path that is not plain names under /dev.
    int serial(const std::string& dev);

    // Network: carrier of a terminal interface (the far end up or down), and sockets
    // or work in the LAN namespace.
    bool add_interface(const Interface& iface);  // as one of options.interfaces, later
    bool set_carrier(const std::string& ifname, bool on);
    int lan_socket(int type);
    int in_lan(const std::function<int()>& fn);
    // Output of "ip <args>" in the terminal namespace; args are split at blanks and
    // passed without a shell.
    std::string ip(const std::string& args);

    // Platform tools.
    std::vector<std::string> commands() const;  // one entry per stub call: "tool arg ..."
    bool wait_command(const std::string& prefix, int timeout_ms) const;
    void clear_commands();
    std::string property(const std::string& name) const;
    bool set_property(const std::string& name, const std::string& value);
    bool set_setting(const std::string& ns, const std::string& key, const std::string& value);

    // The wall clock as the daemon and the emulators see it.
    int64_t clock_offset_us() const;
    void clock_advance(int64_t usec);
    void clock_set(int64_t sec);
    int64_t now() const;  // seconds
    std::vector<ClockSet> clock_sets() const;

    // Emulated devices. The board's adapters /dev/i2c-1, -3, -4 and -5 exist from the
    // start; asking for another bus adds that adapter.
    GpioEmu& gpio() { return *m_gpio; }
    I2cEmu& i2c(int bus);  // the adapter /dev/i2c-<bus>

    // The daemon: the real vesko-hwd with the interposition library preloaded.
    pid_t start_daemon();
    // Runs argv[0] (an absolute path) in the daemon's place, with the same environment,
    // logs and preloaded library.
    pid_t start_process(const std::vector<std::string>& argv);
    bool daemon_running();
    int stop_daemon();  // SIGTERM, then SIGKILL; returns the wait status, -1 without a daemon
    int wait_daemon(int timeout_ms);  // exit code (128 + signal when killed), -1 while it runs
    std::string daemon_stdout() const;
    std::string daemon_stderr() const;
    bool wait_stderr(const std::string& text, int timeout_ms) const;
    bool wait_stdout(const std::string& text, int timeout_ms) const;

    ~Sandbox();

    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

private:
    struct Serial {
        std::string path;
        int master;
        int slave;
    };

    explicit Sandbox(const Options& options);
    static int outside(const Options& options, const std::function<int(Sandbox&)>& fn, pid_t parent, int up,
                       int down);
    int enter();
    int start_lan();
    bool ip_in(int netns, const std::vector<std::string>& args, std::string* out = nullptr);
    static std::string lan_name(const std::string& ifname);
    bool reap_daemon(bool block);

    int start_devices();

    Options m_options;
    pid_t m_host_pid = -1;
    std::unique_ptr<SandboxClock> m_clock;
    std::unique_ptr<DeviceServer> m_devices;
    std::unique_ptr<GpioEmu> m_gpio;
    std::vector<std::unique_ptr<I2cEmu>> m_i2c;
    std::vector<Serial> m_serials;
    pid_t m_daemon = -1;
    bool m_daemon_done = false;
    int m_daemon_status = 0;
    pid_t m_lan = -1;
    int m_lan_hold = -1;  // the LAN namespace's holder lives while this is open
    int m_lan_ns = -1;
    int m_own_ns = -1;
    std::string m_ip;  // iproute2's ip
};

// Polls cond every few milliseconds until it holds or timeout_ms pass.
bool wait_until(const std::function<bool()>& cond, int timeout_ms);

}  // namespace vsim
