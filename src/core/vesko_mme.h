#pragma once

#include <stddef.h>

// The power-line bridge chip on the Ethernet side, managed through its external tool.

#define MME_TOOL "/vesko/bin/mme"
// Local management address of the bridge.
#define MME_LOCAL_MAC "00:b0:52:00:00:01"

enum {
    MME_MAC_SIZE = 32,   // the bridge's MAC text and its terminator
    MME_LINE_SIZE = 256, // one output line of the tool and its terminator
    MME_CMD_SIZE = 128,  // one command line and its terminator
    MME_KEY_MAX = 64,    // hexadecimal digits of a network membership key
};

// Reads the bridge's MAC text from the tool's "Get mac" line into mac (MME_MAC_SIZE
// bytes). Returns 0; -1 without such a line, with a text that does not fit, or with a
// null buffer; -2 when the tool cannot be started.
int mme_get_mac(char* mac);

// Whether value has the exact form that op ("set_mac" or "set_nmk") takes.
bool mme_value_ok(const char* op, const char* value);

// Formats "/vesko/bin/mme eth0 <mac> <op> <value>" into cmd. Returns its length, or -1
// when mac is not a MAC text, value is not what op takes, or the line does not fit.
int mme_command(char* cmd, size_t size, const char* op, const char* mac, const char* value);

// Runs op with value against the bridge whose MAC the tool reports, printing the
// command line on standard error. Returns 0 when it ran; -1 when value was refused
// (then nothing at all is run); -2 when the bridge's MAC could not be read; -3 when the
// tool reported a MAC that is not one.
int mme_set(const char* op, const char* value);
