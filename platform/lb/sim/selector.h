// The general-purpose lines (local-bus 0x10, direction at 0x14) and the scan-chain selector
// behind them.
//
// Lines, low eight bits of 0x10: 3..0 data, 5..4 selector register address, 6 WRENB (0x40),
// 7 LATCH (0x80). Direction 0x14: a 1 bit means the computer drives that line (0xFF for a
// write cycle, 0xF0 to let the selector drive the four data lines). Power-on: lines 0,
// direction 0, all selector registers 0, register 0 selected for reading.
//
// The selector acts on a rising edge of LATCH (a write of 0x10 with LATCH set after one
// with LATCH clear, or a direction write that makes a driven LATCH line rise):
//   WRENB set           register[address] <- the four data line levels
//   WRENB clear, data lines released (direction bits 3..0 all 0)
//                       register[address] is put on the data lines (selected for reading)
//   WRENB clear, data lines driven by the computer
//                       a control strobe: if register 2 holds RESET (0x08), all four
//                       registers clear. This is how the clear-all sequence (0x68, 0xE8,
//                       0x68, 0x80, 0, 0x80, 0 after direction 0xFF) empties the selector,
//                       while a register written with 0x8 still reads back 0x8.
// Reading 0x10: bits 31..8 as last written; each line the computer drives reads as
// written; released data lines read the selected selector register; released upper lines
// read 0.
#pragma once

#include <cstdint>

namespace lbsim {

struct BoardState;

inline constexpr uint32_t kLineWrenb = 0x40;
inline constexpr uint32_t kLineLatch = 0x80;
inline constexpr uint32_t kSelectorReset = 0x08;

struct Selector {
  uint32_t lines;      // last value written to 0x10
  uint32_t direction;  // last value written to 0x14
  uint8_t regs[4];     // the four 4-bit selector registers
  uint8_t selected;    // register whose content is put on released data lines
  uint8_t pad[3];
};

void selector_power_on(Selector &sel);
// Levels of the eight lines as the computer reads them.
uint8_t selector_line_levels(const Selector &sel);
// Register accesses (the caller holds the board lock). They record SEL and LINES trace
// events when the trace is on.
uint32_t selector_read_lines(BoardState &board);
void selector_write_lines(BoardState &board, uint32_t value);
void selector_write_direction(BoardState &board, uint32_t value);

}  // namespace lbsim
