#include "platform/lb/sim/selector.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/lb/tests/model_harness.h"

namespace lbsim {
namespace {

using testing::make_board;
using testing::rd;
using testing::trace_lines;
using testing::wr;
using Lines = std::vector<std::string>;

// The self-test's line cycle: write a selector register, then read it back with LATCH
// still high. Returns the whole word read from 0x10.
uint32_t self_test_cycle(BoardState &b, uint32_t value, uint32_t address) {
  wr(b, 0x14, 0xFF);
  wr(b, 0x10, value + address + 0x40);
  wr(b, 0x10, value + address + 0x80 + 0x40);
  wr(b, 0x10, value + address);
  wr(b, 0x14, 0xF0);
  wr(b, 0x10, value + address + 0x80);
  return rd(b, 0x10);
}

// chainmux -W: write, then read back ending with the address on the lines.
uint32_t chainmux_write(BoardState &b, uint32_t reg, uint32_t value) {
  const uint32_t s = (reg & 3) << 4;
  const uint32_t d = s | (value & 0xF);
  wr(b, 0x14, 0xFF);
  wr(b, 0x10, d | 0x40);
  wr(b, 0x10, d | 0xC0);
  wr(b, 0x10, d | 0x40);
  wr(b, 0x10, 0);
  wr(b, 0x14, 0xF0);
  wr(b, 0x10, s);
  wr(b, 0x10, s | 0x80);
  wr(b, 0x10, s);
  return rd(b, 0x10) & 0xF;
}

// chainmux -R: the lines return to 0 before the read.
uint32_t chainmux_read(BoardState &b, uint32_t reg) {
  const uint32_t s = (reg & 3) << 4;
  wr(b, 0x14, 0xF0);
  wr(b, 0x10, s);
  wr(b, 0x10, s | 0x80);
  wr(b, 0x10, s);
  wr(b, 0x10, 0);
  return rd(b, 0x10) & 0xF;
}

void chainmux_clear(BoardState &b) {
  wr(b, 0x14, 0xFF);
  for (uint32_t v : {0x68u, 0xE8u, 0x68u, 0x80u, 0x0u, 0x80u, 0x0u}) wr(b, 0x10, v);
}

TEST(Selector, SelfTestCycleReadsBackEveryValueWithTheDrivenLines) {
  auto b = make_board();
  for (uint32_t address : {0x00u, 0x10u}) {
    for (uint32_t v = 0; v < 16; ++v)
      EXPECT_EQ(self_test_cycle(*b, v, address), v + address + 0x80) << address << " " << v;
  }
  EXPECT_EQ(b->selector.regs[0], 15);
  EXPECT_EQ(b->selector.regs[1], 15);
}

TEST(Selector, RegistersAreIndependent) {
  auto b = make_board();
  for (uint32_t r = 0; r < 4; ++r) chainmux_write(*b, r, 0x1 + r * 2);
  for (uint32_t r = 0; r < 4; ++r) EXPECT_EQ(chainmux_read(*b, r), 0x1 + r * 2) << r;
}

TEST(Selector, ChainmuxWriteOfRegisterTwoValueNineDrivesTheLinesAndReadsBack) {
  auto b = make_board();
  b->trace.on = 1;
  EXPECT_EQ(chainmux_write(*b, 2, 9), 9u);
  const Lines writes = [&] {
    Lines out;
    for (const std::string &l : trace_lines(*b))
      if (l.rfind("W 0x0010", 0) == 0 || l.rfind("W 0x0014", 0) == 0) out.push_back(l);
    return out;
  }();
  EXPECT_EQ(writes, (Lines{"W 0x0014 0x000000FF", "W 0x0010 0x00000069", "W 0x0010 0x000000E9",
                           "W 0x0010 0x00000069", "W 0x0010 0x00000000", "W 0x0014 0x000000F0",
                           "W 0x0010 0x00000020", "W 0x0010 0x000000A0", "W 0x0010 0x00000020"}));
  EXPECT_EQ(trace_lines(*b, "SEL "), (Lines{"SEL WRITE 2 0x9", "SEL SELECT 2"}));
}

TEST(Selector, OnlyTheRisingLatchEdgeActs) {
  auto b = make_board();
  wr(*b, 0x14, 0xFF);
  wr(*b, 0x10, 0x40 | 0x80 | 0x3);  // rising edge together with WRENB: writes 3
  wr(*b, 0x10, 0x40 | 0x80 | 0x5);  // LATCH stays high: no new write
  EXPECT_EQ(b->selector.regs[0], 3);
  wr(*b, 0x10, 0x40 | 0x5);  // WRENB without LATCH writes nothing
  EXPECT_EQ(b->selector.regs[0], 3);
}

TEST(Selector, ClearSequenceEmptiesAllRegistersButRegisterTwoKeepsAStoredEight) {
  auto b = make_board();
  for (uint32_t r = 0; r < 4; ++r) chainmux_write(*b, r, 0xF - r);
  EXPECT_EQ(chainmux_write(*b, 2, 8), 8u);  // RESET value alone clears nothing
  EXPECT_EQ(chainmux_read(*b, 0), 0xFu);
  b->trace.on = 1;
  chainmux_clear(*b);
  for (int r = 0; r < 4; ++r) EXPECT_EQ(b->selector.regs[r], 0) << r;
  EXPECT_EQ(trace_lines(*b, "SEL "), (Lines{"SEL WRITE 2 0x8", "SEL RESET"}));
}

TEST(Selector, ReleasedLinesReadTheSelectorAndDrivenLinesReadAsWritten) {
  auto b = make_board();
  chainmux_write(*b, 1, 0x6);
  wr(*b, 0x14, 0xFF);
  wr(*b, 0x10, 0x1234567A);
  EXPECT_EQ(rd(*b, 0x10), 0x1234567Au);
  wr(*b, 0x14, 0xF0);
  wr(*b, 0x10, 0x90);  // select register 1 (LATCH rising, data released)
  EXPECT_EQ(rd(*b, 0x10), 0x96u);
  wr(*b, 0x14, 0x00);  // everything released: upper lines read 0
  EXPECT_EQ(rd(*b, 0x10), 0x06u);
  EXPECT_EQ(rd(*b, 0x14), 0x00u);
}

}  // namespace
}  // namespace lbsim
