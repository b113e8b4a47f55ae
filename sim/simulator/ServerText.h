#pragma once

#include <string>

#include "ServerEmu.h"

namespace vsim {

// The fields of a server datagram that a person wants to see next to its name: the
// identity, zones and date of a heartbeat, the text of a message, the cards of a card
// packet.
class ServerText {
public:
    static std::string details(const ServerDatagram& d);

    enum { MAX_CARDS_SHOWN = 4 };
};

}  // namespace vsim
