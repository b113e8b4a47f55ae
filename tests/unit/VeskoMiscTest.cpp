// Interface queries against real veth interfaces of a sandbox.

#include <arpa/inet.h>
#include <string.h>

#include <string>

#include "VeskoMisc.h"
#include "vsim_test.h"

namespace {

vsim::Options terminal()
{
    vsim::Options o;
    o.interfaces = {
        {"eth0", "192.168.12.100/24", "192.168.12.40/24", true, "02:11:22:33:44:55"},
        {"wlan0", "10.1.2.3/8", "10.1.2.1/8", true, "02:66:77:88:99:aa"},
        {"eth1", "", "", true, "02:aa:bb:cc:dd:ee"},
    };
    return o;
}

// An address whose other fields are marked, to see that only the address is written.
sockaddr_in marked(const char* ip)
{
    sockaddr_in a;
    memset(&a, 0x5C, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(4242);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

std::string ip_of(const sockaddr_in& a)
{
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof(text));
    return text;
}

bool carrier_is(int expected)
{
    return vsim::wait_until([expected] { return ethtool_get_link() == expected; }, 5000);
}

} // namespace

TEST(VeskoMisc, interfaceAddressWritesOnlyTheAddress)
{
    vsim_run(terminal(), [](vsim::Sandbox&) {
        struct Case {
            const char* dev;
            int result;
            const char* ip;  // the address afterwards
        } cases[] = {
            {"eth0", 0, "192.168.12.100"},
            {"wlan0", 0, "10.1.2.3"},
            {"lo", 0, "127.0.0.1"},
            {"eth1", -1, "1.2.3.4"},        // no IPv4 address
            {"usb0", -1, "1.2.3.4"},        // no such interface
            {"eth0-and-much-longer", -1, "1.2.3.4"},  // more than a name may hold
            {"", -1, "1.2.3.4"},
        };
        for (const Case& c : cases) {
            sockaddr_in a = marked("1.2.3.4");
            sockaddr_in before = a;
            EXPECT_EQ(__local_if_addr(c.dev, &a), c.result) << c.dev;
            EXPECT_EQ(ip_of(a), c.ip) << c.dev;
            EXPECT_EQ(a.sin_port, before.sin_port) << c.dev;
            EXPECT_EQ(memcmp(a.sin_zero, before.sin_zero, sizeof(a.sin_zero)), 0) << c.dev;
            EXPECT_EQ(__local_if_addr(c.dev, nullptr), c.result) << c.dev;
        }
        EXPECT_EQ(__local_if_addr(nullptr, nullptr), -1);
    });
}

TEST(VeskoMisc, macAndNetmask)
{
    vsim_run(terminal(), [](vsim::Sandbox&) {
        uint8_t mac[6];
        uint8_t mask[4];
        const uint8_t eth0_mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
        const uint8_t eth1_mac[6] = {0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};
        const uint8_t untouched[4] = {9, 9, 9, 9};

        memset(mask, 9, sizeof(mask));
        ASSERT_EQ(local_if_mac("eth0", mac, mask), 0);
        EXPECT_EQ(memcmp(mac, eth0_mac, 6), 0);
        const uint8_t mask24[4] = {255, 255, 255, 0};
        EXPECT_EQ(memcmp(mask, mask24, 4), 0);

        ASSERT_EQ(local_if_mac("wlan0", nullptr, mask), 0);
        const uint8_t mask8[4] = {255, 0, 0, 0};
        EXPECT_EQ(memcmp(mask, mask8, 4), 0);
        EXPECT_EQ(local_if_mac("eth0", nullptr, nullptr), 0);

        // Without an IPv4 address the netmask query fails after the MAC was written.
        memset(mac, 0, sizeof(mac));
        memset(mask, 9, sizeof(mask));
        EXPECT_EQ(local_if_mac("eth1", mac, mask), -1);
        EXPECT_EQ(memcmp(mac, eth1_mac, 6), 0);
        EXPECT_EQ(memcmp(mask, untouched, 4), 0);

        memset(mac, 7, sizeof(mac));
        EXPECT_EQ(local_if_mac("usb0", mac, mask), -1);
        EXPECT_EQ(local_if_mac("a-name-too-long-for-linux", mac, mask), -1);
        EXPECT_EQ(local_if_mac(nullptr, mac, mask), -1);
        const uint8_t sevens[6] = {7, 7, 7, 7, 7, 7};
        EXPECT_EQ(memcmp(mac, sevens, 6), 0);
    });
}

TEST(VeskoMisc, carrierAndOwnAddress)
{
    vsim_run(terminal(), [](vsim::Sandbox& sb) {
        ASSERT_TRUE(carrier_is(1));
        sockaddr_in a = marked("0.0.0.0");
        local_if_addr(&a);
        EXPECT_EQ(ip_of(a), "192.168.12.100");

        // No carrier on eth0: wlan0, although eth0 still holds its address.
        ASSERT_TRUE(sb.set_carrier("eth0", false));
        ASSERT_TRUE(carrier_is(0));
        ASSERT_EQ(__local_if_addr("eth0", nullptr), 0);
        a = marked("0.0.0.0");
        local_if_addr(&a);
        EXPECT_EQ(ip_of(a), "10.1.2.3");

        // Carrier but no address on eth0: wlan0 again.
        ASSERT_TRUE(sb.set_carrier("eth0", true));
        ASSERT_TRUE(carrier_is(1));
        sb.ip("addr flush dev eth0");
        ASSERT_EQ(__local_if_addr("eth0", nullptr), -1);
        a = marked("0.0.0.0");
        local_if_addr(&a);
        EXPECT_EQ(ip_of(a), "10.1.2.3");

        // Neither has one: the address keeps what it held.
        sb.ip("addr flush dev wlan0");
        a = marked("5.6.7.8");
        local_if_addr(&a);
        EXPECT_EQ(ip_of(a), "5.6.7.8");
        local_if_addr(nullptr);
    });
}

TEST(VeskoMisc, noEthernetMeansNoCarrier)
{
    vsim::Options o;
    o.interfaces = {{"wlan0", "10.1.2.3/8", "10.1.2.1/8", true, ""}};
    vsim_run(o, [](vsim::Sandbox&) {
        EXPECT_EQ(ethtool_get_link(), 0);
        sockaddr_in a = marked("0.0.0.0");
        local_if_addr(&a);
        EXPECT_EQ(ip_of(a), "10.1.2.3");
    });
}
