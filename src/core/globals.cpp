// Every global device object lives in this one translation unit: C++ orders static
// construction only within a file, and the devices are constructed in a fixed order.
#include "__sys.h"

__sys sys;
