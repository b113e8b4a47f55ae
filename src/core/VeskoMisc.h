#pragma once

#include <netinet/in.h>
#include <stdint.h>

// Interface queries: IPv4 address, MAC and netmask of an interface, Ethernet carrier.
int __local_if_addr(const char* dev, struct sockaddr_in* addr);
int local_if_mac(const char* ifname, uint8_t* mac, uint8_t* mask);
int ethtool_get_link();
void local_if_addr(struct sockaddr_in* addr);
