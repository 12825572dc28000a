// A JTAG port for the player's tests: records every TCK cycle and clocks an in-process
// simulated chain (the board's default two devices). TDO comes from that chain, or from a
// script of bits when a test sets one.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/lb/sim/tap_chain.h"

namespace playertest::port {

struct Cycle {
  int tms;        // 0 or 1
  int tdi;        // 0 or 1
  bool read_tdo;  // the caller asked for TDO in this cycle
  int tdo;        // what was returned
};

// Clears the trace, the TDO script, the delay total and the port's switched-on flag, and
// powers the chain up again (Test-Logic-Reset; its devices stay as they were built).
void reset();

const std::vector<Cycle> &trace();
// The TMS levels of the trace, in order.
std::vector<int> tms_levels();
// The TDI levels of the trace, in order.
std::vector<int> tdi_levels();
// Number of cycles that asked for TDO.
long tdo_reads();

// From now until reset(), TDO reads take these levels in order (0 once they run out)
// instead of the chain's.
void set_tdo_script(std::vector<int> bits);

// The simulated chain; a test may rebuild it with other devices (lbsim::tap_chain_build).
lbsim::TapChain &chain();

// Sum of the microseconds passed to jbi_delay, and number of calls.
long delay_total_us();
long delay_calls();

}  // namespace playertest::port
