// The JTAG port at local-bus register 4: one write per TCK cycle, TDO on bit 3 of a read,
// and the busy-wait delay the byte-code player uses for timed waits.
//
// The port is switched on (bit 0x10 of the CSR at local-bus address 0) by the first TCK
// cycle of the process and stays on until close_jtag_hardware.
#pragma once

#include <cstdint>

// 1 once the port has been switched on in this process.
extern int jtag_hardware_initialized;
// Delay-loop iterations per millisecond; 0 (no waiting at all) until calibrate_delay.
extern int32_t one_ms_delay;

// One TCK cycle with the given TMS and TDI (non-zero = 1). With read_tdo non-zero, TDO is
// sampled before the clock and returned (0 or 1); otherwise returns 0. Bus errors are not
// detected; a failed TDO read gives 0.
int jbi_jtag_io(int tms, int tdi, int read_tdo);
// Set the CSR's JTAG bit and print "JTAG enabled, CSR 0x0 : %X" (or "JTAG enabled failed").
// When the CSR cannot be read, nothing is written to it.
void initialize_jtag_hardware();
// Another program on the board may have switched the port off since this process switched it
// on (its own run ends by switching it off; a self-test rewrites the whole CSR). Reads the
// CSR: when its JTAG bit is clear, the port counts as off again, so the next TCK cycle
// switches it on and prints the "JTAG enabled" line anew. A CSR that cannot be read changes
// nothing. Called before each run, never per cycle.
void recheck_jtag_hardware();
// If the port was switched on: print "Closing PCI", clear the CSR's JTAG bit and print
// "JTAG disabled, CSR 0x0 : %X" (or "JTAG disable failed").
void close_jtag_hardware();
// Busy-wait about `microseconds` (one loop iteration per microsecond with the calibrated
// constant). Zero or negative waits do nothing.
void jbi_delay(int32_t microseconds);
// Every iteration delay_loop has run in this process. The loop's store to it is what keeps
// the loop from being optimised away; it also makes a wait's length observable.
extern volatile uint64_t delay_loop_iterations;
// Count `count` down to 0 in a loop the compiler must keep. Non-positive counts do nothing.
void delay_loop(int32_t count);
// Set one_ms_delay to the fixed 1000; nothing is measured.
void calibrate_delay();
