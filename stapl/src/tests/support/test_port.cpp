// The recording JTAG port linked into the player's tests in place of the board's port.
// Every cycle also clocks an in-process simulated chain, so the TAP a test drives behaves
// like the board's; a test that needs particular TDO levels scripts them instead.
#include "stapl/src/tests/support/test_port.h"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/lb/sim/tap_chain.h"
#include "stapl/src/jbiport.h"

namespace {

std::vector<playertest::port::Cycle> cycles;
std::vector<int> tdo_script;
bool scripted = false;
std::size_t tdo_next = 0;
long tdo_read_count = 0;
long delay_us = 0;
long delay_count = 0;

lbsim::TapChain &sim_chain() {
  static lbsim::TapChain chain = [] {
    lbsim::TapChain c{};
    lbsim::tap_chain_default(c);
    return c;
  }();
  return chain;
}

}  // namespace

namespace playertest::port {

void reset() {
  cycles.clear();
  tdo_script.clear();
  scripted = false;
  tdo_next = 0;
  tdo_read_count = 0;
  delay_us = 0;
  delay_count = 0;
  jtag_hardware_initialized = 0;
  lbsim::tap_chain_power_on(sim_chain());
}

const std::vector<Cycle> &trace() { return cycles; }

std::vector<int> tms_levels() {
  std::vector<int> levels;
  levels.reserve(cycles.size());
  for (const Cycle &c : cycles) levels.push_back(c.tms);
  return levels;
}

std::vector<int> tdi_levels() {
  std::vector<int> levels;
  levels.reserve(cycles.size());
  for (const Cycle &c : cycles) levels.push_back(c.tdi);
  return levels;
}

long tdo_reads() { return tdo_read_count; }

void set_tdo_script(std::vector<int> bits) {
  tdo_script = std::move(bits);
  scripted = true;
  tdo_next = 0;
}

lbsim::TapChain &chain() { return sim_chain(); }

long delay_total_us() { return delay_us; }
long delay_calls() { return delay_count; }

}  // namespace playertest::port

int jbi_jtag_io(int tms, int tdi, int read_tdo) {
  jtag_hardware_initialized = 1;
  const int chain_tdo = lbsim::tap_chain_clock(sim_chain(), tms, tdi);
  int tdo = 0;
  if (read_tdo != 0) {
    ++tdo_read_count;
    if (!scripted)
      tdo = chain_tdo;
    else if (tdo_next < tdo_script.size())
      tdo = tdo_script[tdo_next++] != 0 ? 1 : 0;
  }
  cycles.push_back({tms != 0 ? 1 : 0, tdi != 0 ? 1 : 0, read_tdo != 0, tdo});
  return tdo;
}

void jbi_delay(int32_t microseconds) {
  ++delay_count;
  delay_us += microseconds;
}

void calibrate_delay() { one_ms_delay = 1000; }
