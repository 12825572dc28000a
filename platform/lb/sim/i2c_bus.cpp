#include "platform/lb/sim/i2c_bus.h"

#include <cstring>
#include <ctime>

#include "platform/lb/sim/board_state.h"

namespace lbsim {
namespace {

constexpr uint8_t kSplitPointerAddr = 0xFC;  // takes the pointer byte
constexpr uint8_t kSplitDataAddr = 0xFE;     // data bytes, 0xFF to read them

void trace(BoardState &b, TraceKind kind, uint32_t addr, uint32_t value) {
  if (b.trace.on) trace_add(b.trace, kind, addr, value);
}

uint8_t register_mask(const I2cDevice &d) { return d.kind == I2cDeviceKind::kExpander4 ? 3 : 7; }

// Input register of port `port` of an expander whose output, polarity and direction
// registers start at `out`, `pol`, `dir`.
uint8_t expander_input(const I2cDevice &d, int port) {
  const int stride = d.kind == I2cDeviceKind::kExpander4 ? 1 : 2;
  const uint8_t out = d.mem[stride + port];
  const uint8_t pol = d.mem[2 * stride + port];
  const uint8_t dir = d.mem[3 * stride + port];
  const uint8_t pins = static_cast<uint8_t>((out & ~dir) | dir);
  return static_cast<uint8_t>(pins ^ pol);
}

bool is_input_register(const I2cDevice &d, uint8_t reg) {
  return d.kind == I2cDeviceKind::kExpander4 ? reg == 0 : reg <= 1;
}

uint8_t device_read(const I2cDevice &d, uint8_t offset) {
  switch (d.kind) {
    case I2cDeviceKind::kExpander4:
    case I2cDeviceKind::kExpander8: {
      const uint8_t reg = offset & register_mask(d);
      return is_input_register(d, reg) ? expander_input(d, reg) : d.mem[reg];
    }
    default:
      return d.mem[offset];
  }
}

void device_write(I2cDevice &d, uint8_t offset, uint8_t value) {
  switch (d.kind) {
    case I2cDeviceKind::kExpander4:
    case I2cDeviceKind::kExpander8: {
      const uint8_t reg = offset & register_mask(d);
      if (!is_input_register(d, reg)) d.mem[reg] = value;
      return;
    }
    default:
      d.mem[offset] = value;
  }
}

// Where the pointer goes after a data byte.
void advance(I2cDevice &d) {
  switch (d.kind) {
    case I2cDeviceKind::kExpander4:
      break;
    case I2cDeviceKind::kExpander8:
      d.pointer = static_cast<uint8_t>(d.pointer ^ 1);
      break;
    default:
      d.pointer = static_cast<uint8_t>(d.pointer + 1);
      break;
  }
}

bool acknowledges(I2cDevice &d) { return !(d.noack && intermittent_fires(d.noack_when)); }

uint64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void end_step(I2cMaster &m) {
  m.status = m.pending_status;
  m.rx = m.pending_rx;
  m.pending = 0;
  m.hung = 0;
}

// Ends the step under way if its time has come; `status_read` counts for the kReads timing.
void settle(I2cMaster &m, bool status_read) {
  if (!m.pending || m.hung) return;
  switch (m.timing.mode) {
    case I2cTimingMode::kReads:
      if (!status_read) return;
      if (m.reads_left > 1) {
        --m.reads_left;
        return;
      }
      break;
    case I2cTimingMode::kTime:
      if (monotonic_ns() < m.due_ns) return;
      break;
    default:
      break;
  }
  end_step(m);
}

// A step has been written: `status` and `rx` are what the master shows once it has ended.
// Until then done is clear and busy set (and the ack bits clear after a byte).
void begin_step(I2cMaster &m, I2cStep step, uint32_t status, uint32_t rx) {
  m.pending_status = status;
  m.pending_rx = rx;
  m.pending = 1;
  m.hung = (m.hang_steps & step) && intermittent_fires(m.hang_when) ? 1 : 0;
  uint32_t shown = (m.status & ~kI2cDone) | kI2cBusy;
  if (step == kI2cStepByte) shown &= ~(kI2cAck | kI2cNoacc);
  m.status = shown;
  const uint32_t value = m.timing.value;
  switch (m.timing.mode) {
    case I2cTimingMode::kReads:
      m.reads_left = value;
      break;
    case I2cTimingMode::kTime: {
      const bool whole_byte = step == kI2cStepByte || step == kI2cStepReceive;
      m.due_ns = monotonic_ns() + (whole_byte ? value : value / 9);
      break;
    }
    default:
      break;
  }
  if (m.timing.mode == I2cTimingMode::kInstant && !m.hung) end_step(m);
}

uint32_t with_ack(uint32_t status, bool ack) {
  return (status & ~(kI2cAck | kI2cNoacc)) | kI2cDone | (ack ? kI2cAck : kI2cNoacc);
}

// An address byte right after a start. Returns whether a device acknowledged it.
bool address_byte(BoardState &b, uint8_t byte) {
  I2cMaster &m = b.i2c;
  m.device = -1;
  m.phase = I2cPhase::kIgnored;
  for (int i = 0; i < kI2cDeviceCount; ++i) {
    I2cDevice &d = b.i2c_devices[i];
    if (d.kind == I2cDeviceKind::kNone) continue;
    I2cPhase phase;
    if (d.kind == I2cDeviceKind::kSplitMemory) {
      if (byte == kSplitPointerAddr) {
        phase = I2cPhase::kPointer;
      } else if (byte == kSplitDataAddr) {
        phase = I2cPhase::kWriting;
      } else if (byte == (kSplitDataAddr | 1)) {
        phase = I2cPhase::kReading;
      } else {
        continue;
      }
    } else if ((byte & 0xFE) == d.address) {
      phase = (byte & 1) ? I2cPhase::kReading : I2cPhase::kPointer;
    } else {
      continue;
    }
    if (!acknowledges(d)) return false;
    m.phase = phase;
    m.device = static_cast<int8_t>(i);
    return true;
  }
  return false;
}

}  // namespace

void i2c_power_on(BoardState &b) {
  b.i2c = I2cMaster{};
  b.i2c.phase = I2cPhase::kIdle;
  b.i2c.device = -1;
  b.i2c.timing = I2cTiming{I2cTimingMode::kTime, kI2cDefaultByteNs};
  std::memset(b.i2c_devices, 0, sizeof b.i2c_devices);

  I2cDevice &eeprom = b.i2c_devices[0];
  eeprom.kind = I2cDeviceKind::kEeprom;
  eeprom.address = 0xA0;
  std::memset(eeprom.mem, 0xFF, sizeof eeprom.mem);
  for (int i = 0; i < 4; ++i) eeprom.mem[i] = static_cast<uint8_t>(kPowerOnIdentity >> (8 * i));

  const struct {
    uint8_t address;
    I2cDeviceKind kind;
    int ports;
  } expanders[] = {{0x40, I2cDeviceKind::kExpander4, 1}, {0x42, I2cDeviceKind::kExpander8, 2}};
  for (int e = 0; e < 2; ++e) {
    I2cDevice &d = b.i2c_devices[1 + e];
    d.kind = expanders[e].kind;
    d.address = expanders[e].address;
    const int ports = expanders[e].ports;
    for (int p = 0; p < ports; ++p) {
      d.mem[ports + p] = 0xFF;      // output
      d.mem[3 * ports + p] = 0xFF;  // direction: all inputs
    }
  }

  I2cDevice &split = b.i2c_devices[3];
  split.kind = I2cDeviceKind::kSplitMemory;
  split.address = kSplitPointerAddr;
}

int i2c_device_index(const BoardState &b, uint8_t chip) {
  for (int i = 0; i < kI2cDeviceCount; ++i) {
    const I2cDevice &d = b.i2c_devices[i];
    if (d.kind == I2cDeviceKind::kNone) continue;
    if (d.kind == I2cDeviceKind::kSplitMemory) {
      if ((chip & 0xFC) == 0xFC) return i;
    } else if ((chip & 0xFE) == d.address) {
      return i;
    }
  }
  return -1;
}

bool i2c_set_timing(BoardState &b, I2cTiming timing) {
  if (timing.mode != I2cTimingMode::kInstant && timing.value == 0) return false;
  if (timing.mode > I2cTimingMode::kTime) return false;
  if (timing.mode == I2cTimingMode::kInstant) timing.value = 0;
  b.i2c.timing = timing;
  return true;
}

uint32_t i2c_read_status(BoardState &b) {
  settle(b.i2c, true);
  return b.i2c.status;
}

uint32_t i2c_read_data(BoardState &b) {
  settle(b.i2c, false);
  return b.i2c.rx;
}

void i2c_write_command(BoardState &b, uint32_t command) {
  I2cMaster &m = b.i2c;
  const uint32_t steps = command & (kI2cCmdStart | kI2cCmdReceive | kI2cCmdStop);
  if (steps != 0 && m.pending) end_step(m);
  // What the master shows once this command's steps have ended.
  uint32_t status = m.status;
  uint32_t rx = m.rx;
  I2cStep step = kI2cStepStart;
  if (command & kI2cCmdStart) {
    const bool repeated = m.phase != I2cPhase::kIdle;
    trace(b, repeated ? TraceKind::kI2cRestart : TraceKind::kI2cStart, 0, 0);
    m.phase = I2cPhase::kAddress;
    m.device = -1;
    status |= kI2cBusy | kI2cDone;
  }
  if (command & kI2cCmdReceive) {
    uint8_t byte = 0xFF;
    if (m.phase == I2cPhase::kReading && m.device >= 0) {
      I2cDevice &d = b.i2c_devices[m.device];
      byte = device_read(d, d.pointer);
      if (d.bad_xor && (!d.bad_only || byte == d.bad_value) && intermittent_fires(d.bad_when))
        byte = static_cast<uint8_t>(byte ^ d.bad_xor);
      advance(d);
    }
    rx = byte;
    status |= kI2cDone;
    step = kI2cStepReceive;
    trace(b, TraceKind::kI2cRecv, 0, byte);
  }
  if (command & kI2cCmdStop) {
    trace(b, TraceKind::kI2cStop, 0, 0);
    m.phase = I2cPhase::kIdle;
    m.device = -1;
    status = (status & ~kI2cBusy) | kI2cDone;
    if (step != kI2cStepReceive) step = kI2cStepStop;
  }
  if (command & kI2cCmdClear) {
    status &= ~(kI2cAck | kI2cNoacc);
    m.status &= ~(kI2cAck | kI2cNoacc);
    m.pending_status &= ~(kI2cAck | kI2cNoacc);
  }
  if (steps != 0) begin_step(m, step, status, rx);
}

void i2c_write_data(BoardState &b, uint32_t value) {
  I2cMaster &m = b.i2c;
  if (m.pending) end_step(m);
  const uint8_t byte = static_cast<uint8_t>(value);
  bool ack = false;
  switch (m.phase) {
    case I2cPhase::kAddress:
      ack = address_byte(b, byte);
      break;
    case I2cPhase::kPointer: {
      I2cDevice &d = b.i2c_devices[m.device];
      ack = acknowledges(d);
      if (ack) {
        d.pointer = byte;
        m.phase = I2cPhase::kWriting;
      }
      break;
    }
    case I2cPhase::kWriting: {
      I2cDevice &d = b.i2c_devices[m.device];
      ack = acknowledges(d);
      if (ack) {
        device_write(d, d.pointer, byte);
        advance(d);
      }
      break;
    }
    default:  // idle bus, nobody addressed, or a device that is sending
      break;
  }
  begin_step(m, kI2cStepByte, with_ack(m.status, ack), m.rx);
  trace(b, TraceKind::kI2cByte, ack ? 1 : 0, byte);
}

uint8_t i2c_device_peek(const BoardState &b, int device, uint8_t offset) {
  return device_read(b.i2c_devices[device], offset);
}

void i2c_device_poke(BoardState &b, int device, uint8_t offset, uint8_t value) {
  device_write(b.i2c_devices[device], offset, value);
}

}  // namespace lbsim
