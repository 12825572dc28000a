// The JTAG port at local-bus register 4: one write per TCK cycle, TDO on bit 3 of a read.
#pragma once

#include <cstdint>

extern int jtag_hardware_initialized;
extern int32_t one_ms_delay;

int jbi_jtag_io(int tms, int tdi, int read_tdo);
void initialize_jtag_hardware();
void close_jtag_hardware();
void jbi_delay(int32_t microseconds);
void delay_loop(int32_t count);
void calibrate_delay();
