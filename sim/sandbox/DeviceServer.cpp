#include "DeviceServer.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "vsim_proto.h"

namespace vsim {

namespace {

// A client that stops in the middle of a message is dropped after this long, so it
// cannot stall the other devices.
const int k_stall_s = 2;

bool send_all(int fd, const void* buf, size_t length)
{
    const char* p = static_cast<const char*>(buf);
    while (length > 0) {
        ssize_t n = send(fd, p, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool answer(int fd, int result, int err, const uint8_t* data, uint32_t length)
{
    vsim_answer a = {VSIM_MAGIC, result, result < 0 ? err : 0, result < 0 ? 0u : length};
    return send_all(fd, &a, sizeof(a)) && (a.length == 0 || send_all(fd, data, a.length));
}

bool serve_gpio(int fd, GpioEmu& gpio, const vsim_request& req, std::vector<uint8_t>& arg)
{
    uint32_t size = vsim_gpio_arg_size(req.request);
    if (req.length != size)
        return false;
    arg.resize(VSIM_GPIO_RECORD_SIZE, 0);  // unknown requests get a zeroed record
    int err = 0;
    int rc = gpio.handle(req.request, arg.data(), req.t_us, &err);
    return answer(fd, rc, err, arg.data(), size);
}

bool serve_rdwr(int fd, I2cEmu& i2c, const std::vector<uint8_t>& arg)
{
    uint32_t count = 0;
    if (arg.size() < sizeof(count))
        return false;
    memcpy(&count, arg.data(), sizeof(count));
    size_t head = sizeof(count) + static_cast<size_t>(count) * sizeof(vsim_i2c_msg);
    if (count > VSIM_I2C_MAX_MSGS || arg.size() < head)
        return false;
    std::vector<vsim_i2c_msg> msgs(count);
    if (count > 0)
        memcpy(msgs.data(), arg.data() + sizeof(count), count * sizeof(vsim_i2c_msg));
    size_t writes = 0;
    size_t reads = 0;
    for (const vsim_i2c_msg& m : msgs) {
        if (m.len > VSIM_I2C_MAX_LEN)
            return false;
        (m.flags & VSIM_I2C_M_RD ? reads : writes) += m.len;
    }
    if (arg.size() != head + writes)
        return false;

    std::vector<uint8_t> data(arg.begin() + static_cast<long>(head), arg.end());
    std::vector<uint8_t> in(reads);
    std::vector<i2c_msg> kmsgs(count);
    size_t w = 0;
    size_t r = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const vsim_i2c_msg& m = msgs[i];
        bool read = (m.flags & VSIM_I2C_M_RD) != 0;
        uint8_t* buf = read ? in.data() + r : data.data() + w;
        (read ? r : w) += m.len;
        kmsgs[i] = i2c_msg{m.addr, m.flags, m.len, buf};
    }
    i2c_rdwr_ioctl_data rdwr = {kmsgs.data(), count};
    int err = 0;
    int rc = i2c.handle(I2C_RDWR, &rdwr, &err);
    return answer(fd, rc, err, in.data(), static_cast<uint32_t>(in.size()));
}

bool serve_i2c(int fd, I2cEmu& i2c, const vsim_request& req, const std::vector<uint8_t>& arg)
{
    if (req.request == VSIM_I2C_RDWR)
        return serve_rdwr(fd, i2c, arg);
    int err = 0;
    if (req.request == VSIM_I2C_FUNCS) {
        if (!arg.empty())
            return false;
        unsigned long funcs = 0;
        int rc = i2c.handle(req.request, &funcs, &err);
        uint64_t wire = funcs;
        return answer(fd, rc, err, reinterpret_cast<const uint8_t*>(&wire), sizeof(wire));
    }
    int32_t value = 0;
    if (vsim_i2c_int_arg(req.request)) {
        if (arg.size() != sizeof(value))
            return false;
        memcpy(&value, arg.data(), sizeof(value));
    } else if (!arg.empty()) {
        return false;
    }
    int v = value;
    int rc = i2c.handle(req.request, &v, &err);
    return answer(fd, rc, err, nullptr, 0);
}

}  // namespace

DeviceServer::DeviceServer(const std::string& dir) : m_dir(dir)
{
    if (pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_wake[0] = -1;
        m_wake[1] = -1;
    }
}

DeviceServer::~DeviceServer()
{
    stop();
    for (const Listener& l : m_listeners) {
        close(l.fd);
        unlink(l.path.c_str());
    }
    for (const auto& c : m_clients)
        close(c.first);
    for (int fd : m_wake) {
        if (fd >= 0)
            close(fd);
    }
}

std::string DeviceServer::gpio_path() const
{
    return m_dir + "/" VSIM_GPIO_SOCKET;
}

std::string DeviceServer::i2c_path(int bus) const
{
    char name[32];
    snprintf(name, sizeof(name), VSIM_I2C_SOCKET_FORMAT, bus);
    return m_dir + "/" + name;
}

bool DeviceServer::add_gpio(GpioEmu& gpio)
{
    return listen_on(gpio_path(), &gpio, nullptr);
}

bool DeviceServer::add_i2c(I2cEmu& i2c)
{
    return listen_on(i2c_path(i2c.bus()), nullptr, &i2c);
}

bool DeviceServer::listen_on(const std::string& path, GpioEmu* gpio, I2cEmu* i2c)
{
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const Listener& l : m_listeners) {
            if (l.path == path) {
                errno = EEXIST;
                return false;
            }
        }
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    unlink(path.c_str());  // left over from an earlier server
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 16) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_listeners.push_back(Listener{fd, gpio, i2c, path});
    }
    wake();
    return true;
}

bool DeviceServer::start()
{
    if (m_thread.joinable())
        return true;
    if (m_wake[0] < 0) {
        errno = EMFILE;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = false;
    }
    m_thread = std::thread([this] { loop(); });
    return true;
}

void DeviceServer::stop()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    wake();
    m_thread.join();
}

void DeviceServer::wake()
{
    if (m_wake[1] >= 0) {
        char c = 1;
        (void)!write(m_wake[1], &c, 1);
    }
}

void DeviceServer::loop()
{
    std::vector<struct pollfd> fds;
    std::vector<Listener> listeners;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop)
                return;
            listeners = m_listeners;
        }
        fds.clear();
        fds.push_back({m_wake[0], POLLIN, 0});
        for (const Listener& l : listeners)
            fds.push_back({l.fd, POLLIN, 0});
        for (const auto& c : m_clients)
            fds.push_back({c.first, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents) {
            char buf[64];
            while (read(m_wake[0], buf, sizeof(buf)) > 0) {
            }
        }
        for (size_t i = 0; i < listeners.size(); ++i) {
            if (!(fds[1 + i].revents & POLLIN))
                continue;
            int fd = accept4(listeners[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            struct timeval tv = {k_stall_s, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
            m_clients[fd] = Client{listeners[i].gpio, listeners[i].i2c};
        }
        for (size_t i = 1 + listeners.size(); i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            auto it = m_clients.find(fds[i].fd);
            if (it != m_clients.end() && !serve(it->first, it->second)) {
                close(it->first);
                m_clients.erase(it);
            }
        }
    }
}

// Serves one request; false ends the connection (closed by the client, or a message
// that breaks the protocol).
bool DeviceServer::serve(int fd, const Client& client)
{
    vsim_request req;
    if (!vsim_recv_all(fd, &req, sizeof(req)) || req.magic != VSIM_MAGIC || req.length > VSIM_MAX_LENGTH)
        return false;
    std::vector<uint8_t> arg(req.length);
    if (req.length > 0 && !vsim_recv_all(fd, arg.data(), arg.size()))
        return false;
    if (client.gpio)
        return serve_gpio(fd, *client.gpio, req, arg);
    return serve_i2c(fd, *client.i2c, req, arg);
}

}  // namespace vsim
