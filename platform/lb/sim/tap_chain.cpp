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

// The data register an instruction selects.
TapDataReg decode(const TapDeviceConfig &c, uint32_t ir) {
  if (ir == c.idcode_ir) return TapDataReg::kIdcode;
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
  }
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
  return nullptr;
}

bool tap_chain_build(TapChain &chain, const TapDeviceConfig *configs, int count) {
  if (count < 1 || count > kTapMaxDevices) return false;
  for (int i = 0; i < count; ++i)
    if (tap_device_config_error(configs[i]) != nullptr) return false;
  chain = TapChain{};
  chain.device_count = static_cast<uint32_t>(count);
  for (int i = 0; i < count; ++i) chain.devices[i].config = configs[i];
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
  if (chain.state == kTapDrShift) return static_cast<int>(last.dr_shift & 1);
  if (chain.state == kTapIrShift) return static_cast<int>(last.ir_shift & 1);
  return 1;
}

int tap_chain_clock(TapChain &chain, int tms, int tdi) {
  const int tdo = tap_chain_tdo(chain);
  const uint32_t n = chain.device_count;
  uint32_t in = tdi ? 1u : 0u;
  // Actions of the rising edge belong to the state the TAP is in before it.
  switch (chain.state) {
    case kTapDrShift:
      for (uint32_t i = 0; i < n; ++i) {
        TapDevice &d = chain.devices[i];
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
      for (uint32_t i = 0; i < n; ++i) capture_dr(chain.devices[i]);
      break;
    case kTapIrCapture:
      for (uint32_t i = 0; i < n; ++i)
        chain.devices[i].ir_shift = chain.devices[i].config.ir_capture;
      break;
    case kTapIrUpdate:
      for (uint32_t i = 0; i < n; ++i) {
        TapDevice &d = chain.devices[i];
        update_instruction(d, d.ir_shift & ir_mask(d.config));
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
