#pragma once

// Network state flags shared between the control handlers, the addressing code and
// the link supervision.

// Set to ask the link supervision for an Ethernet recovery cycle; it clears the flag.
extern int sys_eth0_reset;
