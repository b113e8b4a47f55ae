#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "BoardBringup.h"
#include "vsim_test.h"

namespace {

const int CONTROL_PORT = 9804;

sockaddr_in loopback(int port)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// One datagram to the daemon's endpoint and the answer, empty when none came.
std::string control_request(const std::string& datagram, int timeout_ms)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
        return "";
    sockaddr_in a = loopback(CONTROL_PORT);
    sendto(s, datagram.data(), datagram.size(), 0, (sockaddr*)&a, sizeof(a));
    std::string answer;
    pollfd p = {s, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) == 1) {
        char buf[2048];
        ssize_t n = recv(s, buf, sizeof(buf), 0);
        if (n > 0)
            answer.assign(buf, n);
    }
    close(s);
    return answer;
}

// Asks until the endpoint answers, as it does from the first step of start-up on.
std::string control_answer(const std::string& datagram)
{
    std::string answer;
    vsim::wait_until(
        [&] {
            answer = control_request(datagram, 200);
            return !answer.empty();
        },
        15000);
    return answer;
}

// True when want appears in the command log in this order (other commands between).
bool in_order(const std::vector<std::string>& log, const std::vector<std::string>& want)
{
    auto it = log.begin();
    for (const auto& w : want) {
        it = std::find(it, log.end(), w);
        if (it == log.end())
            return false;
        ++it;
    }
    return true;
}

vsim::Options board(const std::string& hardware)
{
    vsim::Options o;
    o.cpuinfo = "processor\t: 0\nHardware\t: " + hardware + "\n";
    return o;
}

TEST(Startup, StartsWithoutConfigurationFiles)
{
    vsim_run(board("Rockchip RK3288"), [](vsim::Sandbox& sb) {
        ASSERT_TRUE(sb.write("/var/etc/boot_end", ""));
        ASSERT_TRUE(sb.set_setting("system", "user_rotation", "0"));
        ASSERT_GT(sb.start_daemon(), 0);

        // Every path without a handler is refused, bodies or not.
        EXPECT_EQ(control_answer("POST /control/led/ MSG/1.0\r\n\r\n<params><led>1</led></params>"),
                  "MSG/1.0 400 OK\r\n\r\n");
        EXPECT_EQ(control_answer("POST /control/nothing/here MSG/1.0\r\n\r\n"), "MSG/1.0 400 OK\r\n\r\n");
        EXPECT_EQ(control_answer("POST /control MSG/1.0"), "MSG/1.0 400 OK\r\n\r\n");

        EXPECT_TRUE(sb.wait_stderr("__sys::load err!\n", 15000));
        ASSERT_TRUE(sb.wait_command("stop dhcpcd_eth1", 15000));
        ASSERT_TRUE(sb.wait_command("settings get system user_rotation", 15000));
        EXPECT_TRUE(in_order(sb.commands(), {"stop dhcpcd_eth1", "settings get system user_rotation"}));
        for (const auto& c : sb.commands()) {
            EXPECT_NE(c.rfind("settings put", 0), 0u) << c;
        }

        EXPECT_EQ(sb.read("/var/etc/eth_wifi"), "0\n");
        EXPECT_EQ(sb.mode("/var/etc/eth_wifi"), 0777);
        BoardBringup(3288, 0).check(sb.gpio().calls(), false);
        EXPECT_TRUE(sb.daemon_running());
        EXPECT_EQ(control_answer("POST /control/nothing MSG/1.0\r\n\r\n"), "MSG/1.0 400 OK\r\n\r\n");
    });
}

TEST(Startup, StartsWithConfigurationFiles)
{
    vsim_run(board("sun8i"), [](vsim::Sandbox& sb) {
        ASSERT_TRUE(sb.write("/var/etc/sdk.txt", "23\n"));
        ASSERT_TRUE(sb.write("/vesko/bin/limit", "975\n"));
        ASSERT_TRUE(sb.write("/vesko/bin/special.xml", "<sys><qding>1</qding></sys>"));
        ASSERT_TRUE(sb.write("/vesko/cfg/sys.xml", "<sys><talk><building>3</building></talk>"
                                                   "<lcd><portrait>1</portrait></lcd></sys>"));
        ASSERT_TRUE(sb.write("/vesko/cfg/eth_wifi.xml", "<sys><eth_wifi>2</eth_wifi></sys>"));
        ASSERT_TRUE(sb.write("/var/etc/boot_end", ""));
        ASSERT_TRUE(sb.set_setting("system", "user_rotation", "0"));
        ASSERT_GT(sb.start_daemon(), 0);

        EXPECT_EQ(control_answer("POST /control/reload/x MSG/1.0\r\n\r\n"), "MSG/1.0 400 OK\r\n\r\n");
        ASSERT_TRUE(sb.wait_command("settings put system user_rotation 1", 15000));
        const char* remount = "mount -o remount,sync,nosuid,nodev,noatime,nomblk_io_submit ";
        EXPECT_TRUE(in_order(sb.commands(), {std::string(remount) + "/vesko/cfg",
                                             std::string(remount) + "/vesko/data", "stop dhcpcd_eth1",
                                             "settings get system user_rotation",
                                             "settings put system user_rotation 1"}));
        // The door station of an api-23 A33 board: family 601, variant class 1.
        BoardBringup(601, 1).check(sb.gpio().calls(), false);
        // The feature flag overrides the stored Ethernet/Wi-Fi mode.
        EXPECT_EQ(sb.read("/var/etc/eth_wifi"), "1\n");
        EXPECT_EQ(sb.daemon_stderr().find("__sys::load err!"), std::string::npos);
        EXPECT_TRUE(sb.daemon_running());
    });
}

TEST(Startup, Family10ReadsTheFactoryMac)
{
    vsim_run(board("sun50iw10p1"), [](vsim::Sandbox& sb) {
        ASSERT_TRUE(sb.write("/var/private/ZAR/factory/mac_addr.txt", "0a1b2c3d4e5f\n"));
        ASSERT_TRUE(sb.write("/var/etc/boot_end", ""));
        ASSERT_GT(sb.start_daemon(), 0);
        ASSERT_TRUE(sb.wait_stderr("sys_private_init mac: 0a1b2c3d4e5f\n", 15000));
        ASSERT_TRUE(sb.wait_command("stop dhcpcd_eth1", 15000));
        EXPECT_TRUE(in_order(sb.commands(), {"mount /dev/block/by-name/private /var/private",
                                             "umount /var/private", "stop dhcpcd_eth1"}));
        EXPECT_FALSE(sb.exists("/var/private"));
        BoardBringup(10, 0).check(sb.gpio().calls(), false);
    });
}

TEST(Startup, ExitsWhenTheControlPortIsTaken)
{
    vsim_run(board("Rockchip RK3288"), [](vsim::Sandbox& sb) {
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(s, 0);
        sockaddr_in a = loopback(CONTROL_PORT);
        ASSERT_EQ(bind(s, (sockaddr*)&a, sizeof(a)), 0);
        ASSERT_GT(sb.start_daemon(), 0);
        EXPECT_EQ(sb.wait_daemon(15000), 255);
        EXPECT_NE(sb.daemon_stdout().find("dmsg_init bind error!"), std::string::npos);
        // Nothing else happened: no bring-up, no configuration published.
        EXPECT_TRUE(BoardBringup::requests(sb.gpio().calls()).empty());
        EXPECT_FALSE(sb.exists("/var/etc/eth_wifi"));
        close(s);
    });
}

TEST(Startup, SupervisionWaitsForTheEndOfBoot)
{
    vsim_run(board("Rockchip RK3288"), [](vsim::Sandbox& sb) {
        ASSERT_TRUE(sb.set_setting("system", "user_rotation", "1"));
        ASSERT_GT(sb.start_daemon(), 0);
        // Bring-up done and configuration loaded, so the supervision thread is running.
        const size_t bringup = BoardBringup(3288, 0).steps().size();
        ASSERT_TRUE(vsim::wait_until(
            [&] { return BoardBringup::requests(sb.gpio().calls()).size() >= bringup; }, 15000));
        ASSERT_TRUE(vsim::wait_until([&] { return sb.exists("/var/etc/eth_wifi"); }, 15000));
        EXPECT_FALSE(sb.wait_command("stop dhcpcd_eth1", 2500));

        ASSERT_TRUE(sb.write("/var/etc/boot_end", ""));
        ASSERT_TRUE(sb.wait_command("stop dhcpcd_eth1", 15000));
        // No portrait configured: landscape replaces the platform's rotation 1.
        ASSERT_TRUE(sb.wait_command("settings put system user_rotation 0", 15000));
        EXPECT_TRUE(in_order(sb.commands(), {"stop dhcpcd_eth1", "settings get system user_rotation",
                                             "settings put system user_rotation 0"}));
    });
}

}  // namespace
