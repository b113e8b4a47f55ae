// Any datagram handed to the bus dispatcher: it must reach a handler or be answered or
// dropped, never read past its end. No endpoint is opened, so answers go nowhere.

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "dmsg.h"
#include "dxml.h"

namespace {

// The daemon's handlers answer first and then read their body.
void on_led(const char* body)
{
    dmsg_ack(200, nullptr);
    dxml doc(body);
    doc.getInt("/params/led", 0);
    doc.getText("/params/onoff", "");
}

void on_echo(const char* body)
{
    dmsg_ack(200, body);
    if (body && strlen(body) > DMSG_BUFFER)
        abort();
}

bool registered()
{
    dmsg_setup("/control/led", on_led);
    dmsg_setup("/control/echo", on_echo);
    dmsg_setup(("/control/" + std::string(DMSG_TOKEN - 9, 'p')).c_str(), on_led);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool ready = registered();
    (void)ready;
    if (size > DMSG_DATAGRAM_MAX)
        return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    dmsg_dispatch(text.c_str());
    return 0;
}
