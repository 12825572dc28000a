// The JTAG port's state. Each port implementation keeps it, so it is defined here once
// rather than by each of them; tests reset and inspect it whatever port they link.
#include "stapl/src/jbiport.h"

int jtag_hardware_initialized = 0;
int32_t one_ms_delay = 0;
