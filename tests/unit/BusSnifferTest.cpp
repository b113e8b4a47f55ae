#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BusSniffer.h"

using vsim::BusPacket;
using vsim::BusSniffer;

namespace {

// An Ethernet frame of the loopback interface carrying one UDP datagram.
std::vector<uint8_t> frame(int src, int dst, const std::string& payload, size_t ip_options = 0)
{
    std::vector<uint8_t> f(14, 0);
    f[12] = 0x08;
    f[13] = 0x00;
    size_t ihl = 20 + ip_options;
    size_t total = ihl + 8 + payload.size();
    std::vector<uint8_t> ip(ihl, 0);
    ip[0] = uint8_t(0x40 | (ihl / 4));
    ip[2] = uint8_t(total >> 8);
    ip[3] = uint8_t(total);
    ip[8] = 64;
    ip[9] = 17;
    ip[12] = ip[16] = 127;
    ip[15] = ip[19] = 1;
    f.insert(f.end(), ip.begin(), ip.end());
    size_t udp_len = 8 + payload.size();
    uint8_t udp[8] = {uint8_t(src >> 8), uint8_t(src), uint8_t(dst >> 8), uint8_t(dst),
                      uint8_t(udp_len >> 8), uint8_t(udp_len), 0, 0};
    f.insert(f.end(), udp, udp + 8);
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

}  // namespace

TEST(BusSniffer, DecodesRequestsAndAnswersOfThePort)
{
    BusPacket p;
    std::vector<uint8_t> req = frame(40000, 9804, "POST /control/led MSG/1.0\r\n\r\n<params><led>1</led></params>");
    ASSERT_TRUE(BusSniffer::decode(req.data(), req.size(), 9804, &p));
    EXPECT_FALSE(p.answer);
    EXPECT_EQ(p.peer_port, 40000);
    EXPECT_EQ(p.path, "/control/led");
    EXPECT_TRUE(p.has_body);
    EXPECT_EQ(p.body, "<params><led>1</led></params>");

    std::vector<uint8_t> ack = frame(9804, 40000, "MSG/1.0 400 OK\r\n\r\n", 4);
    BusPacket a;
    ASSERT_TRUE(BusSniffer::decode(ack.data(), ack.size(), 9804, &a));
    EXPECT_TRUE(a.answer);
    EXPECT_EQ(a.peer_port, 40000);
    EXPECT_EQ(a.code, 400);
    EXPECT_EQ(a.body, "");

    std::vector<uint8_t> get = frame(40001, 9804, "GET /control/led MSG/1.0");
    BusPacket g;
    ASSERT_TRUE(BusSniffer::decode(get.data(), get.size(), 9804, &g));
    EXPECT_EQ(g.path, "GET /control/led");
    EXPECT_FALSE(g.has_body);

    std::vector<uint8_t> junk = frame(40002, 9804, "");
    BusPacket j;
    ASSERT_TRUE(BusSniffer::decode(junk.data(), junk.size(), 9804, &j));
    EXPECT_EQ(j.path, "(no request line)");
}

TEST(BusSniffer, RefusesFramesThatAreNotWhole)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> f;
    };
    std::vector<Case> cases;
    cases.push_back({"another port", frame(40000, 9801, "POST /ui MSG/1.0\r\n\r\n")});
    std::vector<uint8_t> f = frame(40000, 9804, "POST /control/led MSG/1.0\r\n\r\n");
    cases.push_back({"cut in the UDP header", std::vector<uint8_t>(f.begin(), f.begin() + 14 + 20 + 4)});
    std::vector<uint8_t> longer_ip = f;
    longer_ip[14 + 3] += 50;
    cases.push_back({"IP length past the capture", longer_ip});
    std::vector<uint8_t> longer_udp = f;
    longer_udp[14 + 20 + 5] += 50;
    cases.push_back({"UDP length past the IP packet", longer_udp});
    std::vector<uint8_t> short_udp = f;
    short_udp[14 + 20 + 4] = 0;
    short_udp[14 + 20 + 5] = 4;
    cases.push_back({"UDP length below its header", short_udp});
    std::vector<uint8_t> tcp = f;
    tcp[14 + 9] = 6;
    cases.push_back({"TCP", tcp});
    std::vector<uint8_t> ipv6 = f;
    ipv6[12] = 0x86;
    ipv6[13] = 0xDD;
    cases.push_back({"not IPv4", ipv6});
    std::vector<uint8_t> bad_ihl = f;
    bad_ihl[14] = 0x44;
    cases.push_back({"IP header length below 20", bad_ihl});
    std::vector<uint8_t> huge_ihl = f;
    huge_ihl[14] = 0x4F;
    cases.push_back({"IP header longer than the frame holds", std::vector<uint8_t>(huge_ihl.begin(), huge_ihl.begin() + 60)});
    for (const Case& c : cases) {
        BusPacket p;
        EXPECT_FALSE(BusSniffer::decode(c.f.data(), c.f.size(), 9804, &p)) << c.what;
    }
}
