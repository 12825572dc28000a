#include "platform/lb/sim/tap_chain.h"

#include <cstring>
#include <initializer_list>

namespace lbsim {
namespace {

// Next state, indexed by [state][tms].
constexpr TapState kNext[16][2] = {
    {kTapIdle, kTapReset},       {kTapIdle, kTapDrSelect},    {kTapDrCapture, kTapIrSelect},
    {kTapDrShift, kTapDrExit1},  {kTapDrShift, kTapDrExit1},  {kTapDrPause, kTapDrUpdate},
    {kTapDrPause, kTapDrExit2},  {kTapDrShift, kTapDrUpdate}, {kTapIdle, kTapDrSelect},
    {kTapIrCapture, kTapReset},  {kTapIrShift, kTapIrExit1},  {kTapIrShift, kTapIrExit1},
    {kTapIrPause, kTapIrUpdate}, {kTapIrPause, kTapIrExit2},  {kTapIrShift, kTapIrUpdate},
    {kTapIdle, kTapDrSelect},
};

constexpr const char *kNames[16] = {
    "Test-Logic-Reset", "Run-Test/Idle",  "Select-DR-Scan", "Capture-DR",
    "Shift-DR",         "Exit1-DR",       "Pause-DR",       "Exit2-DR",
    "Update-DR",        "Select-IR-Scan", "Capture-IR",     "Shift-IR",
    "Exit1-IR",         "Pause-IR",       "Exit2-IR",       "Update-IR",
};

// FPGA registers in TapDevice::kind_state.
enum FpgaWord : int {
  kFpgaFlags = 0,      // status bits as FPGA_STATUS shows them, error code included
  kFpgaPhase = 1,      // FramePhase
  kFpgaShift = 2,      // the last bits received, newest in bit 31 (sync, length, CRC words)
  kFpgaShiftBits = 3,  // bits of the length or CRC word received so far
  kFpgaLength = 4,     // data bits announced
  kFpgaBits = 5,       // data bits received
  kFpgaCrc = 6,        // CRC-32 of the data received, final form (0 for no data)
  kFpgaFrameCrc = 7,   // the CRC word of the frame
};

// Where the framer is in the frame.
enum FramePhase : uint32_t {
  kHuntSync = 0,
  kTakeLength = 1,
  kTakeData = 2,
  kTakeCrc = 3,
  kFrameDone = 4,    // the CRC word is in; later bits are ignored
  kFrameFailed = 5,  // bad length; later bits are ignored
};

constexpr uint32_t kCrcPolynomial = 0xEDB88320u;

// One bit into a CRC-32 kept in its final form (complemented), so that all-zero state is
// the CRC of no data.
inline uint32_t crc_step(uint32_t crc, uint32_t bit) {
  const uint32_t r = ~crc;
  return ~((r >> 1) ^ (kCrcPolynomial & (0u - ((r ^ bit) & 1u))));
}

void fpga_take_bit(uint32_t *k, uint32_t bit) {
  if (!(k[kFpgaFlags] & kFpgaStatusBusy)) return;
  switch (k[kFpgaPhase]) {
    case kHuntSync:
      k[kFpgaShift] = (k[kFpgaShift] >> 1) | (bit << 31);
      if (k[kFpgaShift] == kFpgaSyncWord) {
        k[kFpgaFlags] |= kFpgaStatusSync;
        k[kFpgaPhase] = kTakeLength;
        k[kFpgaShiftBits] = 0;
      }
      break;
    case kTakeLength:
      k[kFpgaShift] = (k[kFpgaShift] >> 1) | (bit << 31);
      if (++k[kFpgaShiftBits] == 32) {
        k[kFpgaLength] = k[kFpgaShift];
        k[kFpgaShiftBits] = 0;
        const bool ok = k[kFpgaLength] != 0 && k[kFpgaLength] <= kFpgaMaxConfigBits;
        k[kFpgaPhase] = ok ? kTakeData : kFrameFailed;
      }
      break;
    case kTakeData:
      k[kFpgaCrc] = crc_step(k[kFpgaCrc], bit);
      if (++k[kFpgaBits] == k[kFpgaLength]) k[kFpgaPhase] = kTakeCrc;
      break;
    case kTakeCrc:
      k[kFpgaShift] = (k[kFpgaShift] >> 1) | (bit << 31);
      if (++k[kFpgaShiftBits] == 32) {
        k[kFpgaFrameCrc] = k[kFpgaShift];
        k[kFpgaPhase] = kFrameDone;
      }
      break;
    default:
      break;
  }
}

void fpga_start(uint32_t *k) {
  for (int i = 0; i < 16; ++i) k[i] = 0;
  k[kFpgaFlags] = kFpgaStatusBusy;
}

FpgaError frame_error(const uint32_t *k) {
  switch (k[kFpgaPhase]) {
    case kHuntSync:
      return FpgaError::kNoSync;
    case kFrameFailed:
      return FpgaError::kBadLength;
    case kFrameDone:
      return k[kFpgaFrameCrc] == k[kFpgaCrc] ? FpgaError::kNone : FpgaError::kCrcMismatch;
    default:
      return FpgaError::kIncomplete;
  }
}

void fpga_end(uint32_t *k) {
  if (!(k[kFpgaFlags] & kFpgaStatusBusy)) return;
  const FpgaError error = frame_error(k);
  uint32_t flags = k[kFpgaFlags] & kFpgaStatusSync;
  if (error == FpgaError::kNone)
    flags |= kFpgaStatusDone;
  else
    flags |= kFpgaStatusError | (static_cast<uint32_t>(error) << kFpgaStatusErrorShift);
  k[kFpgaFlags] = flags;
}

uint32_t ir_mask(const TapDeviceConfig &c) {
  return c.ir_length >= 32 ? 0xFFFFFFFFu : ((1u << c.ir_length) - 1);
}

inline uint32_t get_bit(const uint8_t *bits, uint32_t i) { return (bits[i >> 3] >> (i & 7)) & 1u; }

inline void put_bit(uint8_t *bits, uint32_t i, uint32_t bit) {
  const uint8_t mask = static_cast<uint8_t>(1u << (i & 7));
  bits[i >> 3] = static_cast<uint8_t>(bit ? (bits[i >> 3] | mask) : (bits[i >> 3] & ~mask));
}

int own_instruction(const TapDeviceConfig &c, uint32_t ir) {
  for (uint32_t i = 0; i < c.instruction_count && i < kTapMaxInstructions; ++i)
    if (c.instructions[i].code == ir) return static_cast<int>(i);
  return -1;
}

// Whether a bit string has set bits at or beyond `length`.
bool bits_beyond(const uint8_t *bits, uint32_t length) {
  for (uint32_t i = length; i < kTapMaxDrBits; ++i)
    if (get_bit(bits, i)) return true;
  return false;
}

// The data register an instruction selects.
TapDataReg decode(const TapDeviceConfig &c, uint32_t ir) {
  if (ir == c.idcode_ir) return TapDataReg::kIdcode;
  if (c.instruction_count != 0 && own_instruction(c, ir) >= 0) return TapDataReg::kOwn;
  if (ir == c.usercode_ir) return TapDataReg::kUsercode;
  if (c.kind == TapKind::kFpga) {
    switch (ir) {
      case kFpgaLoadIr:
        return TapDataReg::kFpgaLoad;
      case kFpgaStatusIr:
        return TapDataReg::kFpgaStatus;
      case kFpgaCrcIr:
        return TapDataReg::kFpgaCrc;
      case kFpgaCountIr:
        return TapDataReg::kFpgaCount;
      default:
        break;
    }
  }
  return TapDataReg::kBypass;
}

void select_instruction(TapDevice &d, uint32_t ir) {
  d.ir = ir;
  d.dr = decode(d.config, ir);
  d.dr_length = d.dr == TapDataReg::kBypass || d.dr == TapDataReg::kFpgaLoad ? 1 : 32;
  if (d.dr == TapDataReg::kOwn) {
    d.own = static_cast<uint8_t>(own_instruction(d.config, ir));
    d.own_length = d.config.instructions[d.own].length;
    d.own_pos = 0;
  }
}

// Shift-DR through a register of the device's own: out the bit at the ring's start, `in`
// into its place, which becomes the register's last bit.
inline uint32_t shift_own(TapDevice &d, uint32_t in) {
  const uint32_t out = get_bit(d.own_reg, d.own_pos);
  put_bit(d.own_reg, d.own_pos, in);
  if (++d.own_pos == d.own_length) d.own_pos = 0;
  return out;
}

// Update-DR check of a register of the device's own: 0 nothing expected, 1 as expected, 2 not.
uint8_t own_check(const TapDevice &d) {
  const TapInstruction &in = d.config.instructions[d.own];
  if (!in.has_expect) return 0;
  for (uint32_t i = 0; i < d.own_length; ++i)
    if (get_bit(d.own_reg, (d.own_pos + i) % d.own_length) != get_bit(in.expect, i)) return 2;
  return 1;
}

// An instruction that acts when it is loaded, not through its data register.
void update_instruction(TapDevice &d, uint32_t ir) {
  select_instruction(d, ir);
  if (d.config.kind != TapKind::kFpga) return;
  if (ir == kFpgaStartIr) fpga_start(d.kind_state);
  if (ir == kFpgaEndIr) fpga_end(d.kind_state);
}

void capture_dr(TapDevice &d) {
  switch (d.dr) {
    case TapDataReg::kIdcode:
      d.dr_shift = d.config.idcode;
      break;
    case TapDataReg::kUsercode:
      d.dr_shift = d.config.usercode;
      break;
    case TapDataReg::kFpgaStatus:
      d.dr_shift = tap_fpga_status_word(d);
      break;
    case TapDataReg::kFpgaCrc:
      d.dr_shift = d.kind_state[kFpgaCrc];
      break;
    case TapDataReg::kFpgaCount:
      d.dr_shift = d.kind_state[kFpgaBits];
      break;
    case TapDataReg::kBypass:
    case TapDataReg::kFpgaLoad:
      d.dr_shift = 0;
      break;
    case TapDataReg::kOwn:
      std::memcpy(d.own_reg, d.config.instructions[d.own].capture, sizeof d.own_reg);
      d.own_pos = 0;
      break;
  }
}

void add_event(TapChain &chain, TapEventKind kind, uint32_t index, uint8_t check) {
  const TapDevice &d = chain.devices[index];
  TapEvent &e = chain.events[chain.event_count++];
  e.kind = kind;
  e.device = static_cast<uint8_t>(index);
  e.ir_length = d.config.ir_length;
  e.check = check;
  e.instruction = d.ir;
  e.bits = chain.dr_bits;
}

void device_power_on(TapDevice &d) {
  d.ir_shift = 0;
  d.dr_shift = 0;
  std::memset(d.kind_state, 0, sizeof d.kind_state);
  select_instruction(d, d.config.idcode_ir);
}

}  // namespace

TapState tap_next_state(TapState state, int tms) { return kNext[state & 15][tms ? 1 : 0]; }

const char *tap_state_name(TapState state) { return kNames[state & 15]; }

const char *tap_device_config_error(const TapDeviceConfig &c) {
  if (c.kind != TapKind::kFixed && c.kind != TapKind::kFpga) return "unknown device kind";
  if (c.ir_length < 2 || c.ir_length > kTapMaxIrLength) return "IR length must be 2 to 32";
  if (c.kind == TapKind::kFpga) {
    if (c.ir_length < kFpgaMinIrLength) return "an FPGA needs an IR of at least 5 bits";
    for (uint32_t code : {c.idcode_ir, c.usercode_ir})
      if (code >= kFpgaStartIr && code <= kFpgaCountIr)
        return "instruction codes 0x010 to 0x015 belong to the FPGA's configuration";
  }
  const uint32_t mask = ir_mask(c);
  if ((c.ir_capture & ~mask) != 0 || (c.ir_capture & 3) != 1)
    return "IR capture value must fit the IR and end in binary 01";
  if ((c.idcode_ir & ~mask) != 0 || (c.usercode_ir & ~mask) != 0)
    return "instruction code does not fit the IR";
  if (c.idcode_ir == mask || c.usercode_ir == mask) return "all ones is BYPASS";
  if (c.idcode_ir == c.usercode_ir) return "IDCODE and USERCODE instructions are the same";
  if ((c.idcode & 1) == 0) return "IDCODE must have bit 0 set";
  if (c.instruction_count > kTapMaxInstructions) return "a device has at most 8 own instructions";
  for (uint32_t i = 0; i < c.instruction_count; ++i) {
    const TapInstruction &in = c.instructions[i];
    if ((in.code & ~mask) != 0) return "instruction code does not fit the IR";
    if (in.code == mask) return "all ones is BYPASS";
    if (in.code == c.idcode_ir || in.code == c.usercode_ir)
      return "an own instruction has the code of IDCODE or USERCODE";
    if (c.kind == TapKind::kFpga && in.code >= kFpgaStartIr && in.code <= kFpgaCountIr)
      return "instruction codes 0x010 to 0x015 belong to the FPGA's configuration";
    for (uint32_t j = 0; j < i; ++j)
      if (c.instructions[j].code == in.code) return "two own instructions have the same code";
    if (in.length < 1 || in.length > kTapMaxDrBits)
      return "an own instruction's register has 1 to 4096 bits";
    if (bits_beyond(in.capture, in.length)) return "capture value does not fit the register";
    if (in.has_expect && bits_beyond(in.expect, in.length))
      return "expected value does not fit the register";
  }
  return nullptr;
}

bool tap_chain_build(TapChain &chain, const TapDeviceConfig *configs, int count) {
  if (count < 1 || count > kTapMaxDevices) return false;
  for (int i = 0; i < count; ++i)
    if (tap_device_config_error(configs[i]) != nullptr) return false;
  chain = TapChain{};
  chain.device_count = static_cast<uint32_t>(count);
  for (int i = 0; i < count; ++i) {
    chain.devices[i].config = configs[i];
    if (configs[i].instruction_count != 0) chain.reporting = 1;
  }
  tap_chain_power_on(chain);
  return true;
}

void tap_chain_default(TapChain &chain) {
  TapDeviceConfig devices[2];
  devices[0].kind = TapKind::kFpga;
  devices[0].ir_length = 10;
  devices[0].idcode = 0x028120DD;
  devices[0].idcode_ir = 0x006;
  devices[0].usercode = 0x00C3F557;
  devices[0].usercode_ir = 0x007;
  devices[1].ir_length = 6;
  devices[1].idcode = 0x13631093;
  devices[1].idcode_ir = 0x09;
  devices[1].usercode = 0x4B455348;
  devices[1].usercode_ir = 0x08;
  tap_chain_build(chain, devices, 2);
}

void tap_chain_power_on(TapChain &chain) {
  chain.state = kTapReset;
  chain.cycles = 0;
  for (uint32_t i = 0; i < chain.device_count; ++i) device_power_on(chain.devices[i]);
}

int tap_chain_tdo(const TapChain &chain) {
  if (chain.device_count == 0) return 1;
  const TapDevice &last = chain.devices[chain.device_count - 1];
  if (chain.state == kTapDrShift)
    return last.dr == TapDataReg::kOwn ? static_cast<int>(get_bit(last.own_reg, last.own_pos))
                                       : static_cast<int>(last.dr_shift & 1);
  if (chain.state == kTapIrShift) return static_cast<int>(last.ir_shift & 1);
  return 1;
}

int tap_chain_clock(TapChain &chain, int tms, int tdi) {
  const int tdo = tap_chain_tdo(chain);
  const uint32_t n = chain.device_count;
  uint32_t in = tdi ? 1u : 0u;
  // Actions of the rising edge belong to the state the TAP is in before it.
  chain.event_count = 0;
  switch (chain.state) {
    case kTapDrShift:
      ++chain.dr_bits;
      for (uint32_t i = 0; i < n; ++i) {
        TapDevice &d = chain.devices[i];
        if (d.dr == TapDataReg::kOwn) {
          in = shift_own(d, in);
          continue;
        }
        const uint32_t out = static_cast<uint32_t>(d.dr_shift & 1);
        d.dr_shift = (d.dr_shift >> 1) | (static_cast<uint64_t>(in) << (d.dr_length - 1));
        if (d.dr == TapDataReg::kFpgaLoad) fpga_take_bit(d.kind_state, in);
        in = out;
      }
      break;
    case kTapIrShift:
      for (uint32_t i = 0; i < n; ++i) {
        TapDevice &d = chain.devices[i];
        const uint32_t out = d.ir_shift & 1;
        d.ir_shift = (d.ir_shift >> 1) | (in << (d.config.ir_length - 1));
        in = out;
      }
      break;
    default:
      break;
  }
  const TapState next = kNext[chain.state][tms ? 1 : 0];
  chain.state = next;
  ++chain.cycles;
  // Capture and update happen on the edge that leaves Capture/Update in hardware; doing them
  // on entry gives the same shift-stage contents at every later edge and keeps one switch.
  switch (next) {
    case kTapReset:
      for (uint32_t i = 0; i < n; ++i) {
        TapDevice &d = chain.devices[i];
        select_instruction(d, d.config.idcode_ir);
      }
      break;
    case kTapDrCapture:
      chain.dr_bits = 0;
      for (uint32_t i = 0; i < n; ++i) capture_dr(chain.devices[i]);
      break;
    case kTapDrUpdate:
      if (chain.reporting)
        for (uint32_t i = 0; i < n; ++i) {
          const TapDevice &d = chain.devices[i];
          if (d.config.instruction_count == 0) continue;
          add_event(chain, TapEventKind::kDr, i, d.dr == TapDataReg::kOwn ? own_check(d) : 0);
        }
      break;
    case kTapIrCapture:
      for (uint32_t i = 0; i < n; ++i)
        chain.devices[i].ir_shift = chain.devices[i].config.ir_capture;
      break;
    case kTapIrUpdate:
      for (uint32_t i = 0; i < n; ++i) {
        TapDevice &d = chain.devices[i];
        update_instruction(d, d.ir_shift & ir_mask(d.config));
        if (d.config.instruction_count != 0) add_event(chain, TapEventKind::kIr, i, 0);
      }
      break;
    default:
      break;
  }
  return tdo;
}

FpgaState tap_fpga_state(const TapDevice &d) {
  FpgaState st{};
  if (d.config.kind != TapKind::kFpga) return st;
  const uint32_t *k = d.kind_state;
  st.configured = (k[kFpgaFlags] & kFpgaStatusDone) != 0;
  st.busy = (k[kFpgaFlags] & kFpgaStatusBusy) != 0;
  st.synced = (k[kFpgaFlags] & kFpgaStatusSync) != 0;
  st.error = static_cast<FpgaError>((k[kFpgaFlags] >> kFpgaStatusErrorShift) & 0xF);
  st.length = k[kFpgaLength];
  st.bits = k[kFpgaBits];
  st.crc = k[kFpgaCrc];
  return st;
}

uint32_t tap_fpga_status_word(const TapDevice &d) {
  return d.config.kind == TapKind::kFpga ? d.kind_state[kFpgaFlags] : 0;
}

const char *fpga_error_name(FpgaError error) {
  switch (error) {
    case FpgaError::kNone:
      return "none";
    case FpgaError::kNoSync:
      return "no-sync";
    case FpgaError::kBadLength:
      return "bad-length";
    case FpgaError::kIncomplete:
      return "incomplete";
    case FpgaError::kCrcMismatch:
      return "crc-mismatch";
  }
  return "unknown";
}

uint32_t fpga_crc32(const uint8_t *data, uint64_t bit_count) {
  uint32_t crc = 0;
  for (uint64_t i = 0; i < bit_count; ++i) crc = crc_step(crc, (data[i / 8] >> (i % 8)) & 1u);
  return crc;
}

}  // namespace lbsim
