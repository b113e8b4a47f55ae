// Every global device object lives in this one translation unit: C++ orders static
// construction only within a file, and the devices are constructed in a fixed order.
#include "__q820.h"
#include "__sys.h"
#include "sys_uart.h"

__q820 q820;
__sys sys;
sys_uart uart;
