#include "platform/lb/sim/board_model.h"

#include <cerrno>
#include <cstring>

namespace lbsim {
namespace {

bool valid_addr(uint32_t addr) { return addr < kWindowSize && (addr & 3) == 0; }

RegisterFault *find_fault(BoardState &b, uint32_t addr) {
  for (uint32_t i = 0; i < b.faults.register_count && i < kMaxRegisterFaults; ++i)
    if (b.faults.registers[i].addr == addr) return &b.faults.registers[i];
  return nullptr;
}

RegisterFault *fault_slot(BoardState &b, uint32_t addr) {
  if (RegisterFault *f = find_fault(b, addr)) return f;
  if (b.faults.register_count >= kMaxRegisterFaults) return nullptr;
  RegisterFault &f = b.faults.registers[b.faults.register_count++];
  f = RegisterFault{};
  f.addr = addr;
  return &f;
}

uint32_t apply_stuck(const RegisterFault &f, uint32_t value) {
  return (value & ~f.stuck0) | f.stuck1;
}

uint32_t read_effect(BoardState &b, uint32_t addr) {
  switch (addr) {
    case kAddrJtag:
      return (b.regs[kAddrJtag / 4] & ~0x08u) |
             (static_cast<uint32_t>(tap_chain_tdo(b.chain)) << 3);
    case kAddrI2cCommand:
      return i2c_read_status(b);
    case kAddrI2cData:
      return i2c_read_data(b);
    case kAddrLines:
      return selector_read_lines(b);
    case kAddrDirection:
      return b.selector.direction;
    case kAddrVersion:
      return kVorlVersion;
    default:
      return b.regs[addr / 4];
  }
}

void clock_tck(BoardState &b, uint32_t value) {
  b.regs[kAddrJtag / 4] = value;
  const int tms = (value >> 6) & 1;
  const int tdi = (value >> 7) & 1;
  const int tdo = tap_chain_clock(b.chain, tms, tdi);
  if (b.trace.on)
    trace_add(b.trace, TraceKind::kTck, kAddrJtag,
              static_cast<uint32_t>(tms | (tdi << 1) | (tdo << 2)));
}

void write_effect(BoardState &b, uint32_t addr, uint32_t value) {
  switch (addr) {
    case kAddrJtag:
      if (b.regs[kAddrCsr / 4] & kCsrJtagEnable)
        clock_tck(b, value);
      else
        b.regs[addr / 4] = value;  // port off: TCK is not driven
      return;
    case kAddrI2cCommand:
      b.regs[addr / 4] = value;
      i2c_write_command(b, value);
      return;
    case kAddrI2cData:
      b.regs[addr / 4] = value;
      i2c_write_data(b, value);
      return;
    case kAddrLines:
      selector_write_lines(b, value);
      return;
    case kAddrDirection:
      selector_write_direction(b, value);
      return;
    case kAddrVersion:
      return;  // read-only
    default:
      b.regs[addr / 4] = value;
      return;
  }
}

}  // namespace

void board_power_on(BoardState &b) {
  std::memset(b.regs, 0, sizeof b.regs);
  selector_power_on(b.selector);
  i2c_power_on(b);
  tap_chain_default(b.chain);
  b.faults = Faults{};
  b.trace.on = 0;
  trace_clear(b.trace);
}

int board_read(BoardState &b, uint32_t addr, uint32_t *value) {
  if (!valid_addr(addr)) return EINVAL;
  if (b.faults.register_count != 0) {
    if (const RegisterFault *f = find_fault(b, addr)) {
      if (f->fail) {
        if (b.trace.on) trace_add(b.trace, TraceKind::kReadFail, addr, 0);
        return EIO;
      }
      *value = apply_stuck(*f, read_effect(b, addr));
      if (b.trace.on) trace_add(b.trace, TraceKind::kRead, addr, *value);
      return 0;
    }
  }
  *value = read_effect(b, addr);
  if (b.trace.on) trace_add(b.trace, TraceKind::kRead, addr, *value);
  return 0;
}

int board_write(BoardState &b, uint32_t addr, uint32_t value) {
  if (!valid_addr(addr)) return EINVAL;
  if (b.faults.register_count != 0) {
    if (const RegisterFault *f = find_fault(b, addr)) {
      if (f->fail) {
        if (b.trace.on) trace_add(b.trace, TraceKind::kWriteFail, addr, value);
        return EIO;
      }
      value = apply_stuck(*f, value);
    }
  }
  // The TCK path first: it is the one a download takes millions of times.
  if (addr == kAddrJtag && (b.regs[kAddrCsr / 4] & kCsrJtagEnable)) {
    clock_tck(b, value);
    return 0;
  }
  if (b.trace.on) trace_add(b.trace, TraceKind::kWrite, addr, value);
  write_effect(b, addr, value);
  return 0;
}

int board_peek(BoardState &b, uint32_t addr, uint32_t *value) {
  if (!valid_addr(addr)) return EINVAL;
  *value = read_effect(b, addr);
  return 0;
}

int board_poke(BoardState &b, uint32_t addr, uint32_t value) {
  if (!valid_addr(addr)) return EINVAL;
  const uint32_t on = b.trace.on;
  b.trace.on = 0;
  write_effect(b, addr, value);
  b.trace.on = on;
  return 0;
}

void board_set_identity(BoardState &b, uint32_t word) {
  for (int i = 0; i < 4; ++i) b.i2c_devices[0].mem[i] = static_cast<uint8_t>(word >> (8 * i));
}

uint32_t board_identity(const BoardState &b) {
  uint32_t word = 0;
  for (int i = 0; i < 4; ++i) word |= static_cast<uint32_t>(b.i2c_devices[0].mem[i]) << (8 * i);
  return word;
}

bool board_set_stuck_bit(BoardState &b, uint32_t addr, int bit, int level) {
  if (!valid_addr(addr) || bit < 0 || bit > 31 || (level != 0 && level != 1)) return false;
  RegisterFault *f = fault_slot(b, addr);
  if (!f) return false;
  const uint32_t mask = 1u << bit;
  if (level) {
    f->stuck1 |= mask;
    f->stuck0 &= ~mask;
  } else {
    f->stuck0 |= mask;
    f->stuck1 &= ~mask;
  }
  return true;
}

bool board_set_access_fail(BoardState &b, uint32_t addr) {
  if (!valid_addr(addr)) return false;
  RegisterFault *f = fault_slot(b, addr);
  if (!f) return false;
  f->fail = 1;
  return true;
}

bool board_set_i2c_noack(BoardState &b, uint8_t chip) {
  const int i = i2c_device_index(b, chip);
  if (i < 0) return false;
  b.i2c_devices[i].noack = 1;
  return true;
}

bool board_set_i2c_bad_byte(BoardState &b, uint8_t chip, uint8_t xor_mask) {
  const int i = i2c_device_index(b, chip);
  if (i < 0 || xor_mask == 0) return false;
  b.i2c_devices[i].bad_xor = xor_mask;
  return true;
}

}  // namespace lbsim
