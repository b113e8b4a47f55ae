#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ServerEmu.h"
#include "ServerText.h"

using vsim::ServerDatagram;
using vsim::ServerEmu;
using vsim::ServerText;

namespace {

ServerDatagram datagram(std::vector<uint8_t> bytes, size_t size = 0)
{
    if (size)
        bytes.resize(size);
    ServerDatagram d;
    d.bytes = bytes;
    return d;
}

void put_le32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

}  // namespace

TEST(ServerText, HeartbeatBothWays)
{
    std::vector<uint8_t> hb = ServerEmu::header(4, 1, "S00010111110");
    hb.resize(512);
    hb[34] = 1;       // defence
    hb[38 + 30] = 2;  // zone 3
    EXPECT_EQ(ServerText::details(datagram(hb)), "from S00010111110 defence 1 zones 0 0 0 2 0 0 0 0");

    std::vector<uint8_t> ack = ServerEmu::header(4, 2);
    ack.resize(512);
    ack[28] = 30;
    ack[30] = 2024 >> 8;
    ack[31] = 2024 & 0xFF;
    ack[32] = 2;
    ack[33] = 29;
    ack[34] = 13;
    ack[35] = 5;
    ack[36] = 9;
    EXPECT_EQ(ServerText::details(datagram(ack)), "interval 30 s, date 2024-02-29 13:05:09");
}

TEST(ServerText, TextMessagesStayWithinTheirField)
{
    EXPECT_EQ(ServerText::details(datagram(ServerEmu::text_packet(7, 42, "hello \"there\""))),
              "seq 42 type 7 \"hello \\\"there\\\"\"");
    std::vector<uint8_t> echo = ServerEmu::text_packet(0, 42, "x");
    echo[7] = 2;
    EXPECT_EQ(ServerText::details(datagram(echo)), "seq 42");

    // A length beyond the datagram is shown as what arrived, and said.
    std::vector<uint8_t> cut = ServerEmu::text_packet(0, 1, "abc");
    cut.resize(39);
    cut[34] = 150;
    EXPECT_EQ(ServerText::details(datagram(cut)), "seq 1 type 0 \"abc\" (length 150 runs past the datagram)");
}

TEST(ServerText, CardPacketsShowTheirFirstCards)
{
    std::vector<vsim::ServerCard> cards;
    for (uint32_t i = 0; i < 6; i++)
        cards.push_back({9876543 + i, "S00010203040"});
    std::string add = ServerText::details(datagram(ServerEmu::card_packet(54, 3, 1, {cards[0]})));
    EXPECT_EQ(add, "seq 3 page 1, 1 card: 9876543 S00010203040");
    std::string many = ServerText::details(datagram(ServerEmu::card_packet(57, 4, 2, cards)));
    EXPECT_EQ(many, "seq 4 page 2, 6 cards: 9876543, 9876544, 9876545, 9876546 ...");

    // A page that claims more entries than a record holds, or than arrived.
    std::vector<uint8_t> liar = ServerEmu::card_packet(54, 5, 1, {cards[0]});
    put_le32(liar, 36, 1000000);
    liar.resize(48 + 24);
    EXPECT_EQ(ServerText::details(datagram(liar)), "seq 5 page 1, 1000000 cards: 9876543 S00010203040");
}

TEST(ServerText, ShortAndUnknownDatagramsGiveNoDetails)
{
    EXPECT_EQ(ServerText::details(datagram({1, 2, 3})), "");
    EXPECT_EQ(ServerText::details(datagram(ServerEmu::header(99, 1), 512)), "");
    EXPECT_EQ(ServerText::details(datagram(ServerEmu::header(4, 1, "S1"), 28)),
              "from S1 defence 0 zones 0 0 0 0 0 0 0 0");
}
