#include "VeskoMisc.h"

#include <net/if.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

// A name that does not fit the request would be cut and could name another interface.
static bool fill_ifreq(struct ifreq* ifr, const char* name)
{
    if (name == nullptr || strlen(name) >= sizeof(ifr->ifr_name))
        return false;
    memset(ifr, 0, sizeof(*ifr));
    strcpy(ifr->ifr_name, name);
    return true;
}

int __local_if_addr(const char* dev, struct sockaddr_in* addr)
{
    struct ifreq ifr;
    if (!fill_ifreq(&ifr, dev))
        return -1;
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        fprintf(stderr, "Could not open socket\n");
        return -1;
    }
    int rc = ioctl(s, SIOCGIFADDR, &ifr);
    close(s);
    if (rc < 0)
        return -1;
    if (addr) {
        struct sockaddr_in found;
        memcpy(&found, &ifr.ifr_addr, sizeof(found));
        addr->sin_addr = found.sin_addr;
    }
    return 0;
}

int local_if_mac(const char* ifname, uint8_t* mac, uint8_t* mask)
{
    struct ifreq ifr;
    if (!fill_ifreq(&ifr, ifname))
        return -1;
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        perror("local_if_mac socket");
        return -1;
    }
    int rc = ioctl(s, SIOCGIFHWADDR, &ifr);
    if (rc == 0 && mac)
        memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
    if (rc == 0) {
        fill_ifreq(&ifr, ifname);
        rc = ioctl(s, SIOCGIFNETMASK, &ifr);
        if (rc == 0 && mask) {
            struct sockaddr_in netmask;
            memcpy(&netmask, &ifr.ifr_netmask, sizeof(netmask));
            memcpy(mask, &netmask.sin_addr.s_addr, 4);
        }
    }
    close(s);
    return rc == 0 ? 0 : -1;
}

int ethtool_get_link()
{
    FILE* f = fopen("/sys/class/net/eth0/carrier", "re");
    if (f == nullptr)
        return 0;
    int link = 0;
    if (fscanf(f, "%d", &link) != 1)
        link = 0;
    fclose(f);
    return link;
}

void local_if_addr(struct sockaddr_in* addr)
{
    if (ethtool_get_link() == 0 || __local_if_addr("eth0", addr) != 0)
        __local_if_addr("wlan0", addr);
}
