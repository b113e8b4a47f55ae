#include "ServerText.h"

#include <stdio.h>

#include "BusBody.h"

namespace vsim {

namespace {

std::string cards(const ServerDatagram& d, bool hosts)
{
    uint32_t used = d.le32(36);
    std::string out = std::to_string(used) + (used == 1 ? " card" : " cards");
    // Entries are 24 bytes from offset 48; never read past the 50 a record holds.
    uint32_t shown = 0;
    for (uint32_t i = 0; i < used && i < 50; i++) {
        size_t at = 48 + 24 * size_t(i);
        if (at + 4 > d.size())
            break;
        if (shown == ServerText::MAX_CARDS_SHOWN) {
            out += " ...";
            break;
        }
        out += (shown ? ", " : ": ") + std::to_string(d.be32(at));
        if (hosts)
            out += " " + d.text(at + 4, 20);
        shown++;
    }
    return out;
}

}  // namespace

std::string ServerText::details(const ServerDatagram& d)
{
    if (d.size() < 28)
        return std::string();
    bool answer = d.type() == 2;
    char buf[96];
    switch (d.cmd()) {
    case 1:
        if (answer)
            break;
        snprintf(buf, sizeof(buf), "from %s defence %u sp %u inputs %02X %02X", d.host().c_str(), d.u8(34), d.u8(35),
                 d.u8(37), d.u8(38));
        return buf;
    case 3: {
        uint32_t seq = d.le32(30);
        if (answer)
            return "seq " + std::to_string(seq);
        size_t length = d.le16(34);
        size_t room = d.size() > 36 ? d.size() - 36 : 0;
        std::string text = "seq " + std::to_string(seq) + " type " + std::to_string(d.le16(28)) + " " +
                           BusBody::quote(d.text(36, length < 200 ? length : 200));
        if (length > room)
            text += " (length " + std::to_string(length) + " runs past the datagram)";
        return text;
    }
    case 4:
        if (!answer) {
            std::string zones;
            for (int i = 0; i < 8; i++)
                zones += " " + std::to_string(d.u8(38 + 10 * size_t(i)));
            return "from " + d.host() + " defence " + std::to_string(d.u8(34)) + " zones" + zones;
        }
        snprintf(buf, sizeof(buf), "interval %u s, date %04u-%02u-%02u %02u:%02u:%02u", d.le16(28),
                 (d.u8(30) << 8) | d.u8(31), d.u8(32), d.u8(33), d.u8(34), d.u8(35), d.u8(36));
        return buf;
    case 54:
    case 57:
        return "seq " + std::to_string(d.le32(28)) + " page " + std::to_string(d.le32(44)) + ", " +
               cards(d, d.cmd() == 54);
    case 55:
        if (!answer)
            return std::string();
        return "of " + std::to_string(d.le32(32)) + ", " + cards(d, true) + ", " + std::to_string(d.size()) +
               " bytes";
    case 56:
        if (!answer)
            return "from " + d.host() + ", " + std::to_string(d.le16(28)) + " entries";
        break;
    case 66:
        if (!answer)
            return "mode " + std::to_string(d.u8(8)) + " from " + d.text(9, 20) + " to " + d.text(33, 20);
        break;
    case 155:
        if (!answer)
            return "for " + BusBody::quote(d.text(32, 20));
        break;
    }
    return std::string();
}

}  // namespace vsim
