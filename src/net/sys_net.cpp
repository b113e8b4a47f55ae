#include "sys_net.h"

int sys_eth0_reset = 0;
