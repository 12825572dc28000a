#include "platform/lb/sim/board_model.h"

#include <cerrno>
#include <cstring>

namespace lbsim {
namespace {

bool valid_addr(uint32_t addr) { return addr < kWindowSize && (addr & 3) == 0; }

RegisterFault *find_fault(BoardState &b, uint32_t addr, RegisterFaultKind kind) {
  for (uint32_t i = 0; i < b.faults.register_count && i < kMaxRegisterFaults; ++i)
    if (b.faults.registers[i].addr == addr && b.faults.registers[i].kind == kind)
      return &b.faults.registers[i];
  return nullptr;
}

RegisterFault *fault_slot(BoardState &b, uint32_t addr, RegisterFaultKind kind) {
  if (RegisterFault *f = find_fault(b, addr, kind)) return f;
  if (b.faults.register_count >= kMaxRegisterFaults) return nullptr;
  RegisterFault &f = b.faults.registers[b.faults.register_count++];
  f = RegisterFault{};
  f.addr = addr;
  f.kind = kind;
  return &f;
}

void remove_fault(BoardState &b, RegisterFault *f) {
  const uint32_t n = b.faults.register_count;
  const uint32_t i = static_cast<uint32_t>(f - b.faults.registers);
  for (uint32_t j = i; j + 1 < n; ++j) b.faults.registers[j] = b.faults.registers[j + 1];
  b.faults.register_count = n - 1;
}

// The faults of `addr` that act on this access: whether it fails, and the stuck masks.
struct Acting {
  bool fail = false;
  uint32_t stuck0 = 0, stuck1 = 0;
};

Acting acting_faults(BoardState &b, uint32_t addr, uint32_t op) {
  Acting a;
  for (uint32_t i = 0; i < b.faults.register_count && i < kMaxRegisterFaults; ++i) {
    RegisterFault &f = b.faults.registers[i];
    if (f.addr != addr) continue;
    if (f.kind == RegisterFaultKind::kFail) {
      if ((f.ops & op) && intermittent_fires(f.when)) a.fail = true;
    } else if (f.kind == RegisterFaultKind::kStuck) {
      if (intermittent_fires(f.when)) {
        a.stuck0 |= f.stuck0;
        a.stuck1 |= f.stuck1;
      }
    }
  }
  return a;
}

uint32_t apply_stuck(const Acting &a, uint32_t value) { return (value & ~a.stuck0) | a.stuck1; }

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
  if (b.trace.on) {
    trace_add(b.trace, TraceKind::kTck, kAddrJtag,
              static_cast<uint32_t>(tms | (tdi << 1) | (tdo << 2)));
    for (uint32_t i = 0; i < b.chain.event_count; ++i) {
      const TapEvent &e = b.chain.events[i];
      const uint32_t where = e.device | (static_cast<uint32_t>(e.ir_length) << 8) |
                             (static_cast<uint32_t>(e.check) << 16);
      trace_add(b.trace, e.kind == TapEventKind::kIr ? TraceKind::kTapIr : TraceKind::kTapDr, where,
                e.instruction, e.kind == TapEventKind::kDr ? e.bits : 0);
    }
  }
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
  b.trace.start_ns = 0;
  trace_set_capacity(b.trace, kTraceDefaultCapacity);
}

int board_read(BoardState &b, uint32_t addr, uint32_t *value) {
  if (!valid_addr(addr)) return EINVAL;
  if (b.faults.register_count != 0) {
    const Acting a = acting_faults(b, addr, kFaultOnRead);
    if (a.fail) {
      if (b.trace.on) trace_add(b.trace, TraceKind::kReadFail, addr, 0);
      return EIO;
    }
    *value = apply_stuck(a, read_effect(b, addr));
    if (b.trace.on) trace_add(b.trace, TraceKind::kRead, addr, *value);
    return 0;
  }
  *value = read_effect(b, addr);
  if (b.trace.on) trace_add(b.trace, TraceKind::kRead, addr, *value);
  return 0;
}

int board_write(BoardState &b, uint32_t addr, uint32_t value) {
  if (!valid_addr(addr)) return EINVAL;
  if (b.faults.register_count != 0) {
    const Acting a = acting_faults(b, addr, kFaultOnWrite);
    if (a.fail) {
      if (b.trace.on) trace_add(b.trace, TraceKind::kWriteFail, addr, value);
      return EIO;
    }
    value = apply_stuck(a, value);
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

bool board_set_stuck_bit(BoardState &b, uint32_t addr, int bit, int level,
                         const Intermittent &when) {
  if (!valid_addr(addr) || bit < 0 || bit > 31 || (level != 0 && level != 1)) return false;
  RegisterFault *f = fault_slot(b, addr, RegisterFaultKind::kStuck);
  if (!f) return false;
  const uint32_t mask = 1u << bit;
  if (level) {
    f->stuck1 |= mask;
    f->stuck0 &= ~mask;
  } else {
    f->stuck0 |= mask;
    f->stuck1 &= ~mask;
  }
  f->when = when;
  return true;
}

bool board_set_access_fail(BoardState &b, uint32_t addr, uint32_t ops, const Intermittent &when) {
  if (!valid_addr(addr) || (ops & ~(kFaultOnRead | kFaultOnWrite)) != 0 || ops == 0) return false;
  RegisterFault *f = fault_slot(b, addr, RegisterFaultKind::kFail);
  if (!f) return false;
  f->ops = ops;
  f->when = when;
  return true;
}

bool board_clear_stuck_bit(BoardState &b, uint32_t addr, int bit) {
  RegisterFault *f = find_fault(b, addr, RegisterFaultKind::kStuck);
  if (!f || bit > 31) return false;
  const uint32_t mask = bit < 0 ? 0xFFFFFFFFu : 1u << bit;
  if (((f->stuck0 | f->stuck1) & mask) == 0) return false;
  f->stuck0 &= ~mask;
  f->stuck1 &= ~mask;
  if ((f->stuck0 | f->stuck1) == 0) remove_fault(b, f);
  return true;
}

bool board_clear_access_fail(BoardState &b, uint32_t addr) {
  RegisterFault *f = find_fault(b, addr, RegisterFaultKind::kFail);
  if (!f) return false;
  remove_fault(b, f);
  return true;
}

bool board_set_i2c_noack(BoardState &b, uint8_t chip, const Intermittent &when) {
  const int i = i2c_device_index(b, chip);
  if (i < 0) return false;
  b.i2c_devices[i].noack = 1;
  b.i2c_devices[i].noack_when = when;
  return true;
}

bool board_set_i2c_bad_byte(BoardState &b, uint8_t chip, uint8_t xor_mask, int only_value,
                            const Intermittent &when) {
  const int i = i2c_device_index(b, chip);
  if (i < 0 || xor_mask == 0 || only_value > 0xFF) return false;
  I2cDevice &d = b.i2c_devices[i];
  d.bad_xor = xor_mask;
  d.bad_only = only_value >= 0 ? 1 : 0;
  d.bad_value = static_cast<uint8_t>(only_value >= 0 ? only_value : 0);
  d.bad_when = when;
  return true;
}

bool board_clear_i2c_noack(BoardState &b, uint8_t chip) {
  const int i = i2c_device_index(b, chip);
  if (i < 0 || !b.i2c_devices[i].noack) return false;
  b.i2c_devices[i].noack = 0;
  b.i2c_devices[i].noack_when = Intermittent{};
  return true;
}

bool board_clear_i2c_bad_byte(BoardState &b, uint8_t chip) {
  const int i = i2c_device_index(b, chip);
  if (i < 0 || !b.i2c_devices[i].bad_xor) return false;
  I2cDevice &d = b.i2c_devices[i];
  d.bad_xor = 0;
  d.bad_only = 0;
  d.bad_value = 0;
  d.bad_when = Intermittent{};
  return true;
}

bool board_set_i2c_hang(BoardState &b, uint32_t steps, const Intermittent &when) {
  if (steps == 0 || (steps & ~(kI2cStepStart | kI2cStepByte | kI2cStepReceive | kI2cStepStop)))
    return false;
  b.i2c.hang_steps = steps;
  b.i2c.hang_when = when;
  return true;
}

bool board_clear_i2c_hang(BoardState &b) {
  if (b.i2c.hang_steps == 0) return false;
  b.i2c.hang_steps = 0;
  b.i2c.hang_when = Intermittent{};
  return true;
}

}  // namespace lbsim
