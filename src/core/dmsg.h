#pragma once

#include <stdint.h>

// The local message bus: one UDP datagram on 127.0.0.1 per request, answered by one
// acknowledgement datagram.

typedef void (*dmsg_callback_t)(const char* body);

struct msg_port_t {
    const char* url;
    int16_t port;
};

struct msg_url_t {
    char url[128];
    dmsg_callback_t func;
};

enum {
    DMSG_PORTS = 13,
    DMSG_HANDLERS = 128,
    DMSG_BUFFER = 65536,
    DMSG_TOKEN = 127,
    // Largest UDP payload that IPv4 loopback carries in one datagram.
    DMSG_DATAGRAM_MAX = 65507,
};

extern const msg_port_t msg_port[DMSG_PORTS];

// Set by nobody in the daemon; when set, it receives every request instead of the table.
extern void (*android_callback)(const char* url, const char* body);

// Port of the first endpoint whose url is a prefix of the path, or -1.
int dmsg_port(const char* url);

int dmsg_init(const char* url);
int dmsg_setup(const char* url, dmsg_callback_t func);
int dmsg_ack(int result, const char* params);

// Hands one received datagram (NUL-terminated text) to the handler of its path, or
// answers 400; what the receiving thread does with every datagram.
void dmsg_dispatch(const char* text);

class dmsg {
public:
    dmsg();
    ~dmsg();
    dmsg(const dmsg&) = delete;
    dmsg& operator=(const dmsg&) = delete;

    int request(const char* url, const char* body);
    const char* body() { return m_body; }

private:
    char* m_data;
    const char* m_body;
};
