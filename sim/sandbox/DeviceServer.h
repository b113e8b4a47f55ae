#pragma once

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "GpioEmu.h"
#include "I2cEmu.h"

namespace vsim {

// The far side of the device nodes that only answer ioctls. The interposition library
// turns open("/dev/gpio") into a connection to <dir>/gpio.sock and open("/dev/i2c-N")
// into one to <dir>/i2c-N.sock, and each ioctl on such a descriptor into one request
// on it; this server answers them from the emulators on one thread of its own.
//
// Inside the sandbox dir is "/sim/run"; a test of the server alone may use any short
// directory. The emulators are not owned and must outlive the server. Devices may be
// added before or after start(); an adapter that was never added does not exist for
// the terminal (its open fails with ENOENT, as a missing device node does).
class DeviceServer {
public:
    explicit DeviceServer(const std::string& dir);
    ~DeviceServer();  // stop(), and the socket files are removed
    DeviceServer(const DeviceServer&) = delete;
    DeviceServer& operator=(const DeviceServer&) = delete;

    // Each returns false (errno set) when the socket cannot be made.
    bool add_gpio(GpioEmu& gpio);
    bool add_i2c(I2cEmu& i2c);

    bool start();  // false (errno set) when the thread cannot be made
    void stop();

    const std::string& dir() const { return m_dir; }
    std::string gpio_path() const;
    std::string i2c_path(int bus) const;

private:
    struct Listener {
        int fd;
        GpioEmu* gpio;  // exactly one of gpio and i2c is set
        I2cEmu* i2c;
        std::string path;
    };
    struct Client {
        GpioEmu* gpio;
        I2cEmu* i2c;
    };

    bool listen_on(const std::string& path, GpioEmu* gpio, I2cEmu* i2c);
    void loop();
    void wake();
    bool serve(int fd, const Client& client);

    std::string m_dir;
    std::mutex m_mutex;  // m_listeners and m_stop; the thread alone touches m_clients
    std::vector<Listener> m_listeners;
    std::map<int, Client> m_clients;
    bool m_stop = false;
    int m_wake[2] = {-1, -1};
    std::thread m_thread;
};

}  // namespace vsim
