// The JTAG port at local-bus register 4, implementing the player's port (stapl/src/jbiport.h):
// one write per TCK cycle, TDO on bit 3 of a read, and a busy-wait loop for jbi_delay. A bus
// error in a TCK cycle is not detected; a failed TDO read gives 0.
//
// The port is switched on (the JTAG bit of the CSR at local-bus address 0) by the first TCK
// cycle of the process and stays on until close_jtag_hardware.
#pragma once

#include <cstdint>

#include "stapl/src/jbiport.h"

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
// Every iteration delay_loop has run in this process. The loop's store to it is what keeps
// the loop from being optimised away; it also makes a wait's length observable.
extern volatile uint64_t delay_loop_iterations;
// Count `count` down to 0 in a loop the compiler must keep. Non-positive counts do nothing.
// jbi_delay runs it for one_ms_delay / 1000 iterations per microsecond, rounded up.
void delay_loop(int32_t count);
