#include "board/jtag_port.h"

#include <cstdio>

#include "board/register_map.h"
#include "platform/lb/lb.h"

namespace {

// Read-modify-write of the CSR's JTAG bit; returns whether the write and the read-back
// worked, and leaves in `csr` the value last held. A CSR that cannot be read is left alone:
// writing a guessed value would clobber the board's other control bits.
bool update_csr(bool on, uint32_t &csr) {
  csr = 0;
  if (lb_read_word(CSR, &csr) != 0) return false;
  csr = on ? (csr | CSR_JTAG_ENABLE) : (csr & ~CSR_JTAG_ENABLE);
  if (lb_write_word(CSR, csr) != 0) return false;
  return lb_read_word(CSR, &csr) == 0;
}

}  // namespace

void initialize_jtag_hardware() {
  uint32_t csr = 0;
  if (update_csr(true, csr))
    std::printf("JTAG enabled, CSR 0x0 : %X\n", csr);
  else
    std::printf("JTAG enabled failed, CSR 0x0 : %X\n", csr);
}

void close_jtag_hardware() {
  if (jtag_hardware_initialized == 0) return;
  std::printf("Closing PCI\n");
  uint32_t csr = 0;
  if (update_csr(false, csr))
    std::printf("JTAG disabled, CSR 0x0 : %X\n", csr);
  else
    std::printf("JTAG disable failed, CSR 0x0 : %X\n", csr);
  jtag_hardware_initialized = 0;
}

void recheck_jtag_hardware() {
  if (jtag_hardware_initialized == 0) return;
  uint32_t csr = 0;
  if (lb_read_word(CSR, &csr) != 0) return;
  if ((csr & CSR_JTAG_ENABLE) == 0) jtag_hardware_initialized = 0;
}

int jbi_jtag_io(int tms, int tdi, int read_tdo) {
  if (jtag_hardware_initialized == 0) {
    initialize_jtag_hardware();
    jtag_hardware_initialized = 1;  // even when switching on failed: one attempt per process
  }
  int tdo = 0;
  if (read_tdo != 0) {
    uint32_t port = 0;
    if (lb_read_word(JTAG_PORT, &port) == 0) tdo = (port & JTAG_TDO) ? 1 : 0;
  }
  lb_write_word(JTAG_PORT, (tdi != 0 ? JTAG_TDI : 0) + (tms != 0 ? JTAG_TMS : 0) + JTAG_FILL);
  return tdo;
}

volatile uint64_t delay_loop_iterations = 0;

void delay_loop(int32_t count) {
  // The volatile store is what keeps the loop: its only job is to take time.
  for (int32_t i = count; i > 0; --i) delay_loop_iterations = delay_loop_iterations + 1;
}

void jbi_delay(int32_t microseconds) {
  if (microseconds <= 0 || one_ms_delay <= 0) return;
  int64_t per_us = one_ms_delay / 1000;
  if (one_ms_delay % 1000 != 0) ++per_us;
  // A long wait is split so that no count overflows the loop's 32-bit counter.
  int64_t remaining = static_cast<int64_t>(microseconds) * per_us;
  while (remaining > 0) {
    const int32_t chunk = remaining > INT32_MAX ? INT32_MAX : static_cast<int32_t>(remaining);
    delay_loop(chunk);
    remaining -= chunk;
  }
}

void calibrate_delay() { one_ms_delay = 1000; }
