#include "platform/lb/sim/selector.h"

#include "platform/lb/sim/board_state.h"

namespace lbsim {
namespace {

void trace(BoardState &b, TraceKind kind, uint32_t addr, uint32_t value) {
  if (b.trace.on) trace_add(b.trace, kind, addr, value);
}

// What a rising LATCH edge does with the lines at their current levels.
void strobe(BoardState &b) {
  Selector &s = b.selector;
  const uint8_t levels = selector_line_levels(s);
  const int reg = (levels >> 4) & 3;
  if (levels & kLineWrenb) {
    s.regs[reg] = levels & 0x0F;
    trace(b, TraceKind::kSelWrite, static_cast<uint32_t>(reg), s.regs[reg]);
  } else if ((s.direction & 0x0F) == 0) {
    s.selected = static_cast<uint8_t>(reg);
    trace(b, TraceKind::kSelSelect, static_cast<uint32_t>(reg), 0);
  } else if (s.regs[2] & kSelectorReset) {
    for (uint8_t &r : s.regs) r = 0;
    trace(b, TraceKind::kSelReset, 0, 0);
  }
}

// Applies a change of the driven lines: a LATCH line that goes from low to high strobes.
void settle(BoardState &b, uint8_t before) {
  const uint8_t after = selector_line_levels(b.selector);
  if (!(before & kLineLatch) && (after & kLineLatch)) strobe(b);
  trace(b, TraceKind::kLines, b.selector.direction & 0xFF, selector_line_levels(b.selector));
}

}  // namespace

void selector_power_on(Selector &sel) { sel = Selector{}; }

uint8_t selector_line_levels(const Selector &s) {
  const uint32_t dir = s.direction & 0xFF;
  const uint32_t driven = s.lines & dir;
  const uint32_t from_selector = s.regs[s.selected & 3] & 0x0F & ~dir;
  return static_cast<uint8_t>(driven | from_selector);
}

uint32_t selector_read_lines(BoardState &b) {
  return (b.selector.lines & ~0xFFu) | selector_line_levels(b.selector);
}

void selector_write_lines(BoardState &b, uint32_t value) {
  const uint8_t before = selector_line_levels(b.selector);
  b.selector.lines = value;
  settle(b, before);
}

void selector_write_direction(BoardState &b, uint32_t value) {
  const uint8_t before = selector_line_levels(b.selector);
  b.selector.direction = value;
  settle(b, before);
}

}  // namespace lbsim
