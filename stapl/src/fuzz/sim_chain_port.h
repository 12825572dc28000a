// The JTAG port of the fuzz targets: the board's default scan chain, simulated in-process,
// clocked by jbi_jtag_io. No bus, no waiting: jbi_delay returns at once.
#pragma once

#include <cstdint>

namespace fuzz_port {

// Puts the chain back to its power-on state and the port to switched off.
void reset();
// TCK cycles clocked since the last reset.
uint64_t cycles();

}  // namespace fuzz_port
