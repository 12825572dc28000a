// A JTAG port for the player's tests: records every TCK cycle and answers TDO reads from a
// script of bits given by the test (0 once the script is used up).
#pragma once

#include <cstdint>
#include <vector>

namespace test_port {

struct Cycle {
  int tms;        // 0 or 1
  int tdi;        // 0 or 1
  bool read_tdo;  // the caller asked for TDO in this cycle
  int tdo;        // what was returned
};

// Clears the trace, the TDO script, the delay total and the port's switched-on flag.
void reset();

const std::vector<Cycle> &trace();
// The TMS levels of the trace, in order.
std::vector<int> tms_levels();
// The TDI levels of the trace, in order.
std::vector<int> tdi_levels();
// Number of cycles that asked for TDO.
long tdo_reads();

// TDO levels handed out, one per cycle that asks for TDO.
void set_tdo_script(std::vector<int> bits);

// Sum of the microseconds passed to jbi_delay, and number of calls.
long delay_total_us();
long delay_calls();

}  // namespace test_port
