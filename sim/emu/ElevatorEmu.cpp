#include "ElevatorEmu.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "Sandbox.h"
#include "UdpLoop.h"

namespace vsim {

bool lan_add_address(Sandbox& sb, const std::string& dev, const std::string& address, int prefix)
{
    in_addr addr{};
    if (inet_pton(AF_INET, address.c_str(), &addr) != 1 || prefix < 0 || prefix > 32)
        return false;
    int rc = sb.in_lan([&]() -> int {
        unsigned index = if_nametoindex(dev.c_str());
        if (index == 0)
            return -1;
        int nl = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (nl < 0)
            return -1;
        struct {
            nlmsghdr nh;
            ifaddrmsg ifa;
            char attrs[64];
        } req{};
        req.nh.nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg));
        req.nh.nlmsg_type = RTM_NEWADDR;
        req.nh.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL;
        req.nh.nlmsg_seq = 1;
        req.ifa.ifa_family = AF_INET;
        req.ifa.ifa_prefixlen = uint8_t(prefix);
        req.ifa.ifa_index = index;
        for (unsigned short type : {IFA_LOCAL, IFA_ADDRESS}) {
            rtattr* rta = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&req) + NLMSG_ALIGN(req.nh.nlmsg_len));
            rta->rta_type = type;
            rta->rta_len = RTA_LENGTH(4);
            memcpy(RTA_DATA(rta), &addr, 4);
            req.nh.nlmsg_len = NLMSG_ALIGN(req.nh.nlmsg_len) + RTA_ALIGN(rta->rta_len);
        }
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        int result = -1;
        if (sendto(nl, &req, req.nh.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof(kernel)) >= 0) {
            char reply[512];
            ssize_t n = recv(nl, reply, sizeof(reply), 0);
            const nlmsghdr* h = reinterpret_cast<const nlmsghdr*>(reply);
            if (n >= ssize_t(NLMSG_LENGTH(sizeof(nlmsgerr))) && h->nlmsg_type == NLMSG_ERROR) {
                int err = -reinterpret_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
                result = (err == 0 || err == EEXIST) ? 0 : -1;
            }
        }
        close(nl);
        return result;
    });
    return rc == 0;
}

ElevatorEmu::ElevatorEmu(Sandbox& sb, const std::string& address, const std::string& lan_dev, int prefix, int port)
    : m_address(address)
{
    if (!lan_add_address(sb, lan_dev, address, prefix))
        return;
    int s = sb.lan_socket(SOCK_DGRAM);
    if (s < 0)
        return;
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    // A freshly added address may still be tentative for a moment; it is local at once.
    if (!udp_loop_open(s, a, m_wake))
        return;
    m_socket = s;
    m_thread = std::thread(&ElevatorEmu::loop, this);
}

ElevatorEmu::~ElevatorEmu()
{
    udp_loop_close(m_thread, m_socket, m_wake);
}

static int elevator_bcd(uint8_t b)
{
    if ((b >> 4) > 9 || (b & 15) > 9)
        return -1;
    return (b >> 4) * 10 + (b & 15);
}

ElevatorCommand ElevatorEmu::decode(const ServerDatagram& d)
{
    ElevatorCommand c;
    c.datagram = d;
    c.host = d.host();
    c.factory = d.u8(28);
    c.function = d.u8(29);
    for (int i = 0; i < 32; i++)
        c.data[i] = d.u8(30 + i);
    uint8_t sum = 0;
    for (int i = 0; i < 7; i++)
        sum += c.data[i];
    c.check_ok = d.size() >= 62 && d.cmd() == 171 && uint8_t(sum ^ c.data[0]) == c.data[7];
    c.floor = elevator_bcd(c.data[5]);
    c.family = elevator_bcd(c.data[6]);
    if (c.function == 2) {
        c.elevator = c.data[1] - 1;
        c.direction = c.data[2];
    }
    return c;
}

std::string ElevatorEmu::describe(const ElevatorCommand& c)
{
    std::string what;
    if (c.function == 3)
        what = "permit";
    else if (c.function == 2)
        what = "appoint elevator " + std::to_string(c.elevator) + " direction " + std::to_string(c.direction);
    else
        what = "function " + std::to_string(c.function);
    what += " floor " + std::to_string(c.floor) + " flat " + std::to_string(c.family);
    if (!c.check_ok)
        what += " (bad check byte)";
    return what;
}

std::vector<ElevatorCommand> ElevatorEmu::commands() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commands;
}

size_t ElevatorEmu::count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commands.size();
}

bool ElevatorEmu::wait(ElevatorCommand* out, int timeout_ms, size_t from)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    bool got = m_cond.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return m_commands.size() > from; });
    if (got && out)
        *out = m_commands[from];
    return got;
}

void ElevatorEmu::set_trace(std::function<void(const ElevatorCommand&, const std::string&)> fn)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_trace = std::move(fn);
}

void ElevatorEmu::loop()
{
    for (;;) {
        pollfd fds[2] = {{m_socket, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents)
            return;
        ServerDatagram d;
        if (!server_receive(m_socket, &d))
            continue;
        ElevatorCommand c = decode(d);
        std::function<void(const ElevatorCommand&, const std::string&)> fn;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_commands.push_back(c);
            fn = m_trace;
        }
        m_cond.notify_all();
        if (fn)
            fn(c, describe(c));
    }
}

}  // namespace vsim
