#include "stapl/src/fuzz/sim_chain_port.h"

#include "platform/lb/sim/tap_chain.h"
#include "stapl/src/jbiport.h"

namespace {
lbsim::TapChain chain;
bool chain_built = false;
}  // namespace

namespace fuzz_port {

void reset() {
  lbsim::tap_chain_default(chain);
  chain_built = true;
  jtag_hardware_initialized = 0;
}

uint64_t cycles() { return chain.cycles; }

}  // namespace fuzz_port

int jbi_jtag_io(int tms, int tdi, int read_tdo) {
  if (!chain_built) fuzz_port::reset();
  jtag_hardware_initialized = 1;
  int tdo = lbsim::tap_chain_clock(chain, tms, tdi);
  return read_tdo ? tdo : 0;
}

void jbi_delay(int32_t) {}
void calibrate_delay() { one_ms_delay = 1000; }
