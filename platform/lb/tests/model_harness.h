// Helpers for tests that drive a simulated board in-process through its bus accesses, the
// way the board code drives it through the local-bus library.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/lb/sim/board_model.h"

namespace lbsim::testing {

inline std::unique_ptr<BoardState> make_board() {
  // Not value-initialised: the trace ring is large and power-on sets everything else.
  std::unique_ptr<BoardState> board(new BoardState);
  board_power_on(*board);
  return board;
}

inline uint32_t rd(BoardState &b, uint32_t addr) {
  uint32_t v = 0xDEADBEEF;
  board_read(b, addr, &v);
  return v;
}

inline void wr(BoardState &b, uint32_t addr, uint32_t value) { board_write(b, addr, value); }

// Trace lines, optionally only those beginning with `prefix`.
inline std::vector<std::string> trace_lines(const BoardState &b, const std::string &prefix = "") {
  std::vector<std::string> out;
  for (const TraceRecord &r : trace_records(b.trace)) {
    const std::string line = trace_format(r);
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    for (uint32_t n = 0; n < r.count; ++n) out.push_back(line);
  }
  return out;
}

// The I2C master routines as the board code runs them (pauses left out): the busy wait,
// start, address and internal-address bytes, the 0xFC path, CheckStatus with its stop and
// 0x10 on a missing acknowledge.
class I2cRoutines {
 public:
  explicit I2cRoutines(BoardState &b) : b_(b) {}
  int nack_messages = 0;
  int failed_waits = 0;  // waits that gave up (a master that never ends a step)

  void read(uint32_t address, uint32_t *data) {
    const uint32_t chip = (address >> 8) & 0xFF;
    opening(address);
    if (chip == 0xFC) {
      wr(b_, 8, 0x40);
      wait_not_busy();
      wr(b_, 8, 0x80);
      wait_done();
      wr(b_, 12, chip | 0x03);
    } else {
      wr(b_, 8, 0x80);
      wait_done();
      wr(b_, 12, chip | 0x01);
    }
    wait_done();
    check_status();
    wr(b_, 8, 0x20);
    rd(b_, 12);
    wait_done();
    wr(b_, 8, 0x40);
    wr(b_, 8, 0x00);
    *data = rd(b_, 12);
  }

  void write(uint32_t address, uint32_t data) {
    const uint32_t chip = (address >> 8) & 0xFF;
    opening(address);
    if (chip == 0xFC) {
      wr(b_, 8, 0x40);
      wait_not_busy();
      wr(b_, 8, 0x80);
      wait_done();
      wr(b_, 12, (chip | 0x02) & 0xFE);
    }
    wr(b_, 12, data);
    wait_done();
    check_status();
    wr(b_, 8, 0x40);
  }

 private:
  void opening(uint32_t address) {
    const uint32_t chip = (address >> 8) & 0xFF;
    wait_not_busy();
    wr(b_, 8, 0x80);
    wait_done();
    wr(b_, 12, chip & 0xFE);
    wait_done();
    check_status();
    wr(b_, 12, address & 0xFF);
    wait_done();
    check_status();
  }
  // Bounded, so that a model that never finishes fails the test instead of hanging it
  // (unless the test expects that and counts it).
  void wait_done() {
    for (int i = 0; i < 1000; ++i)
      if (rd(b_, 8) & 0x04) return;
    if (b_.i2c.hang_steps == 0) ADD_FAILURE() << "done never set";
    ++failed_waits;
  }
  void wait_not_busy() {
    for (int i = 0; i < 1000; ++i)
      if (!(rd(b_, 8) & 0x08)) return;
    ADD_FAILURE() << "busy never cleared";
  }
  void check_status() {
    if (rd(b_, 8) & 0x02) return;
    wr(b_, 8, 0x40);
    wr(b_, 8, 0x10);
    ++nack_messages;
  }
  BoardState &b_;
};

}  // namespace lbsim::testing
