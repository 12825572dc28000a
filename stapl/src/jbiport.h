// What the player needs of its host's JTAG port. The player declares it and calls it; the
// program links in one implementation: the board's local-bus port in the server and
// `stapl run`, a recording port in the player's unit tests, a simulated chain in the fuzz
// targets. The two globals are the port's state, defined once in the player
// (jbiport.cpp) and kept by whichever implementation is linked in.
#pragma once

#include <cstdint>

// 1 once the port has been switched on in this process, 0 before and after it is switched
// off. An implementation sets it on the first TCK cycle, whether or not switching on worked,
// so that a process makes one attempt only.
extern int jtag_hardware_initialized;
// Delay-loop iterations per millisecond: 0 until calibrate_delay runs, and then no wait
// waits at all.
extern int32_t one_ms_delay;

// One TCK cycle with the given TMS and TDI (any non-zero value is 1). With read_tdo non-zero,
// returns the TDO level (0 or 1) the chain presents before this cycle's clock; otherwise 0.
// The first cycle of a process switches the port on. Failures of the port are not reported:
// the scan engine calls this once per cycle and cannot act on one.
int jbi_jtag_io(int tms, int tdi, int read_tdo);
// Wait at least about `microseconds`, as the calibration allows; zero or negative waits, and
// every wait before calibrate_delay, return at once. The scan engine calls it for the waits
// of a program.
void jbi_delay(int32_t microseconds);
// Fix the delay constant (one_ms_delay) before a run; the download driver calls it before
// each download. Nothing is measured.
void calibrate_delay();
