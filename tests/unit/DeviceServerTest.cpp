#include "DeviceServer.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sGpio.h"
#include "vsim_proto.h"

namespace {

// The server's side is tested here against a client that speaks the wire protocol
// by hand, in a private directory; the interposition library's side is tested inside
// the sandbox.
class DeviceServerTest : public testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/vsim-devXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        server.reset(new vsim::DeviceServer(dir));
        ASSERT_TRUE(server->add_gpio(gpio));
        ASSERT_TRUE(server->add_i2c(i2c));
        ASSERT_TRUE(server->start());
    }
    void TearDown() override
    {
        server.reset();
        rmdir(dir.c_str());
    }

    int connect_to(const std::string& path)
    {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
            close(fd);
            return -1;
        }
        struct timeval tv = {20, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        return fd;
    }

    static void send_request(int fd, uint32_t request, const std::vector<uint8_t>& arg, int64_t t_us = 0)
    {
        vsim_request r = {VSIM_MAGIC, request, t_us, static_cast<uint32_t>(arg.size()), 0};
        std::vector<uint8_t> out(sizeof(r));
        memcpy(out.data(), &r, sizeof(r));
        out.insert(out.end(), arg.begin(), arg.end());
        ASSERT_EQ(send(fd, out.data(), out.size(), MSG_NOSIGNAL), static_cast<ssize_t>(out.size()));
    }

    static bool recv_all(int fd, void* buf, size_t n)
    {
        char* p = static_cast<char*>(buf);
        while (n > 0) {
            ssize_t got = recv(fd, p, n, 0);
            if (got <= 0)
                return false;
            p += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }

    // The answer, or false when the server ended the connection.
    static bool receive(int fd, vsim_answer* a, std::vector<uint8_t>* data)
    {
        if (!recv_all(fd, a, sizeof(*a)))
            return false;
        data->assign(a->length, 0);
        return a->length == 0 || recv_all(fd, data->data(), a->length);
    }

    // Closed rather than answered (a close with our bytes unread resets the connection).
    static bool closed_by_server(int fd)
    {
        char c;
        ssize_t n = recv(fd, &c, 1, 0);
        return n == 0 || (n < 0 && errno == ECONNRESET);
    }

    static std::vector<uint8_t> bytes(const void* p, size_t n)
    {
        const uint8_t* b = static_cast<const uint8_t*>(p);
        return std::vector<uint8_t>(b, b + n);
    }

    static std::vector<uint8_t> gpio_record(const char* main, const char* sub, int data)
    {
        sunxi_ctrl_t r;
        memset(&r, 0, sizeof(r));
        strncpy(r.main, main, sizeof(r.main) - 1);
        strncpy(r.sub, sub, sizeof(r.sub) - 1);
        r.data = data;
        return bytes(&r, sizeof(r));
    }

    // I2C_RDWR argument: count, message records, write bytes.
    static std::vector<uint8_t> rdwr(const std::vector<vsim_i2c_msg>& msgs, const std::vector<uint8_t>& writes)
    {
        uint32_t n = static_cast<uint32_t>(msgs.size());
        std::vector<uint8_t> out = bytes(&n, sizeof(n));
        for (const vsim_i2c_msg& m : msgs) {
            auto b = bytes(&m, sizeof(m));
            out.insert(out.end(), b.begin(), b.end());
        }
        out.insert(out.end(), writes.begin(), writes.end());
        return out;
    }

    std::string dir;
    vsim::GpioEmu gpio{1};
    vsim::I2cEmu i2c{4};
    std::unique_ptr<vsim::DeviceServer> server;
};

TEST_F(DeviceServerTest, GpioRequestsReachTheEmulator)
{
    int fd = connect_to(dir + "/gpio.sock");
    ASSERT_GE(fd, 0);
    vsim_answer a;
    std::vector<uint8_t> data;

    int zero = 0;
    send_request(fd, SUNXI_CTRL_VERSION, bytes(&zero, sizeof(zero)), 7);
    ASSERT_TRUE(receive(fd, &a, &data));
    EXPECT_EQ(a.result, 0);
    ASSERT_EQ(data.size(), 4u);
    EXPECT_EQ(data[0], 1);

    send_request(fd, 0xC0444404u, gpio_record("rk", "lock", 1), 8);
    ASSERT_TRUE(receive(fd, &a, &data));
    EXPECT_EQ(a.result, 0);
    EXPECT_EQ(data.size(), 68u);
    EXPECT_EQ(gpio.value("rk", "lock"), 1);

    gpio.set_input("rk", "alarm", 1);
    send_request(fd, 0xC0444405u, gpio_record("rk", "alarm", 0), 9);
    ASSERT_TRUE(receive(fd, &a, &data));
    ASSERT_EQ(data.size(), 68u);
    int v = 0;
    memcpy(&v, data.data() + 64, sizeof(v));
    EXPECT_EQ(v, 1);

    // A failed request carries no record back, and its errno.
    gpio.fail("rk", "alarm", true);
    send_request(fd, 0xC0444405u, gpio_record("rk", "alarm", 0));
    ASSERT_TRUE(receive(fd, &a, &data));
    EXPECT_EQ(a.result, -1);
    EXPECT_EQ(a.err, EIO);
    EXPECT_TRUE(data.empty());

    // The plain codes belong to the old driver.
    send_request(fd, SUNXI_CTRL_SET, gpio_record("rk", "lock", 0));
    ASSERT_TRUE(receive(fd, &a, &data));
    EXPECT_EQ(a.result, -1);
    EXPECT_EQ(a.err, ENOTTY);

    // A request the driver does not know, without argument, is answered too.
    send_request(fd, 0x1234u, {});
    ASSERT_TRUE(receive(fd, &a, &data));
    EXPECT_EQ(a.err, ENOTTY);

    auto calls = gpio.calls();
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[0].t_us, 7);
    EXPECT_EQ(calls[1].t_us, 8);
    EXPECT_EQ(calls[2].t_us, 9);
    close(fd);
}

TEST_F(DeviceServerTest, I2cTransfersAndSettings)
{
    auto chip = std::make_shared<vsim::RegisterChip>();
    chip->set_reg(0x08, 0x24);
    chip->set_reg(0x09, 0x25);
    i2c.attach(0x51, chip);
    int fd = connect_to(dir + "/i2c-4.sock");
    ASSERT_GE(fd, 0);
    vsim_answer a;
    std::vector<uint8_t> data;

    int32_t one = 1;
    send_request(fd, I2C_RETRIES, bytes(&one, 4));
    ASSERT_TRUE(receive(fd, &a, &data));
    EXPECT_EQ(a.result, 0);
    EXPECT_EQ(i2c.retries(), 1);

    // Write register 2, then point at 8 and read two bytes, in one transfer.
    std::vector<vsim_i2c_msg> msgs = {{0x51, 0, 2, 0}, {0x51, 0, 1, 0}, {0x51, 1, 2, 0}};
    send_request(fd, I2C_RDWR, rdwr(msgs, {0x02, 0x30, 0x08}));
    ASSERT_TRUE(receive(fd, &a, &data));
    EXPECT_EQ(a.result, 3);
    EXPECT_EQ(data, (std::vector<uint8_t>{0x24, 0x25}));
    EXPECT_EQ(chip->reg(0x02), 0x30);

    // Nobody at 0x52: the transfer fails and carries no read bytes.
    msgs = {{0x52, 1, 4, 0}};
    send_request(fd, I2C_RDWR, rdwr(msgs, {}));
    ASSERT_TRUE(receive(fd, &a, &data));
    EXPECT_EQ(a.result, -1);
    EXPECT_EQ(a.err, EREMOTEIO);
    EXPECT_TRUE(data.empty());

    send_request(fd, I2C_FUNCS, {});
    ASSERT_TRUE(receive(fd, &a, &data));
    ASSERT_EQ(data.size(), 8u);
    EXPECT_TRUE(data[0] & I2C_FUNC_I2C);
    close(fd);
}

// Messages that break the protocol end their connection without reaching an
// emulator, and the server goes on serving everyone else.
TEST_F(DeviceServerTest, MalformedRequestsEndOnlyTheirConnection)
{
    auto chip = std::make_shared<vsim::RegisterChip>();
    i2c.attach(0x51, chip);
    struct Case {
        const char* what;
        bool to_gpio;
        uint32_t magic;
        uint32_t request;
        std::vector<uint8_t> arg;
        uint32_t claimed;  // length in the header when not the argument's
    };
    std::vector<vsim_i2c_msg> too_many(43, vsim_i2c_msg{0x51, 0, 1, 0});
    std::vector<uint8_t> writes43(43, 0x01);
    const Case cases[] = {
        {"wrong magic", true, 0x12345678u, 0xC0444404u, gpio_record("rk", "x", 1), 0},
        {"record too short", true, VSIM_MAGIC, 0xC0444404u, std::vector<uint8_t>(40, 0), 0},
        {"record on the query", true, VSIM_MAGIC, SUNXI_CTRL_VERSION, gpio_record("rk", "x", 1), 0},
        {"length beyond the limit", false, VSIM_MAGIC, I2C_RDWR, {}, VSIM_MAX_LENGTH + 1},
        {"too many messages", false, VSIM_MAGIC, I2C_RDWR, rdwr(too_many, writes43), 0},
        {"message longer than its bytes", false, VSIM_MAGIC, I2C_RDWR, rdwr({{0x51, 0, 9, 0}}, {0x01, 0x02}), 0},
        {"bytes beyond the messages", false, VSIM_MAGIC, I2C_RDWR, rdwr({{0x51, 0, 1, 0}}, {0x01, 0x02}), 0},
        {"message over 8192 bytes", false, VSIM_MAGIC, I2C_RDWR, rdwr({{0x51, 1, 8193, 0}}, {}), 0},
        {"count without records", false, VSIM_MAGIC, I2C_RDWR, {0x02, 0, 0, 0}, 0},
        {"short count", false, VSIM_MAGIC, I2C_RDWR, {0x01}, 0},
        {"int argument of 2 bytes", false, VSIM_MAGIC, I2C_TIMEOUT, {0x0a, 0}, 0},
        {"argument to a request without one", false, VSIM_MAGIC, I2C_FUNCS, {1, 2, 3, 4}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int fd = connect_to(c.to_gpio ? dir + "/gpio.sock" : dir + "/i2c-4.sock");
        ASSERT_GE(fd, 0);
        uint32_t length = c.claimed ? c.claimed : static_cast<uint32_t>(c.arg.size());
        vsim_request r = {c.magic, c.request, 0, length, 0};
        std::vector<uint8_t> out = bytes(&r, sizeof(r));
        out.insert(out.end(), c.arg.begin(), c.arg.end());
        send(fd, out.data(), out.size(), MSG_NOSIGNAL);
        EXPECT_TRUE(closed_by_server(fd));
        close(fd);
    }
    EXPECT_TRUE(gpio.calls().empty());
    EXPECT_TRUE(i2c.transfers().empty());
    EXPECT_EQ(i2c.timeout(), -1);
    EXPECT_EQ(chip->reg(0x01), 0);

    int fd = connect_to(dir + "/i2c-4.sock");
    std::vector<vsim_i2c_msg> msgs = {{0x51, 0, 2, 0}};
    send_request(fd, I2C_RDWR, rdwr(msgs, {0x01, 0x99}));
    vsim_answer a;
    std::vector<uint8_t> data;
    ASSERT_TRUE(receive(fd, &a, &data));
    EXPECT_EQ(a.result, 1);
    EXPECT_EQ(chip->reg(0x01), 0x99);
    close(fd);
}

// A client that stops halfway through a request is dropped, so the others are served.
TEST_F(DeviceServerTest, StalledClientDoesNotWedgeTheServer)
{
    int stalled = connect_to(dir + "/gpio.sock");
    ASSERT_GE(stalled, 0);
    vsim_request r = {VSIM_MAGIC, 0xC0444404u, 0, 68, 0};
    ASSERT_EQ(send(stalled, &r, 10, MSG_NOSIGNAL), 10);

    int fd = connect_to(dir + "/gpio.sock");
    ASSERT_GE(fd, 0);
    send_request(fd, 0xC0444404u, gpio_record("rk", "lock", 1));
    vsim_answer a;
    std::vector<uint8_t> data;
    ASSERT_TRUE(receive(fd, &a, &data));
    EXPECT_EQ(a.result, 0);
    EXPECT_TRUE(closed_by_server(stalled));
    close(stalled);
    close(fd);
}

TEST_F(DeviceServerTest, AdaptersAddedLaterAndTheirSockets)
{
    EXPECT_EQ(connect_to(dir + "/i2c-1.sock"), -1);
    vsim::I2cEmu bus1(1);
    bus1.attach(0x28, std::make_shared<vsim::RegisterChip>());
    ASSERT_TRUE(server->add_i2c(bus1));
    int fd = connect_to(dir + "/i2c-1.sock");
    ASSERT_GE(fd, 0);
    send_request(fd, I2C_RDWR, rdwr({{0x28, 0, 1, 0}}, {0x00}));
    vsim_answer a;
    std::vector<uint8_t> data;
    ASSERT_TRUE(receive(fd, &a, &data));
    EXPECT_EQ(a.result, 1);
    EXPECT_EQ(bus1.transfers().size(), 1u);
    EXPECT_TRUE(i2c.transfers().empty());
    close(fd);

    // The same device twice is refused.
    vsim::I2cEmu again(1);
    errno = 0;
    EXPECT_FALSE(server->add_i2c(again));
    EXPECT_EQ(errno, EEXIST);

    // A directory whose socket paths do not fit an address.
    vsim::DeviceServer far(std::string(120, 'd'));
    errno = 0;
    EXPECT_FALSE(far.add_gpio(gpio));
    EXPECT_EQ(errno, ENAMETOOLONG);

    // The sockets go with the server, so a terminal without it has no devices.
    server.reset();
    struct stat st;
    EXPECT_NE(stat((dir + "/gpio.sock").c_str(), &st), 0);
    EXPECT_NE(stat((dir + "/i2c-1.sock").c_str(), &st), 0);
    EXPECT_NE(stat((dir + "/i2c-4.sock").c_str(), &st), 0);
}

}  // namespace
