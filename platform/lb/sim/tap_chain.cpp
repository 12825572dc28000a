#include "platform/lb/sim/tap_chain.h"

#include <cstring>

namespace lbsim {
namespace {

// Next state, indexed by [state][tms].
constexpr TapState kNext[16][2] = {
    {kTapIdle, kTapReset},         {kTapIdle, kTapDrSelect},
    {kTapDrCapture, kTapIrSelect}, {kTapDrShift, kTapDrExit1},
    {kTapDrShift, kTapDrExit1},    {kTapDrPause, kTapDrUpdate},
    {kTapDrPause, kTapDrExit2},    {kTapDrShift, kTapDrUpdate},
    {kTapIdle, kTapDrSelect},      {kTapIrCapture, kTapReset},
    {kTapIrShift, kTapIrExit1},    {kTapIrShift, kTapIrExit1},
    {kTapIrPause, kTapIrUpdate},   {kTapIrPause, kTapIrExit2},
    {kTapIrShift, kTapIrUpdate},   {kTapIdle, kTapDrSelect},
};

constexpr const char *kNames[16] = {
    "Test-Logic-Reset", "Run-Test/Idle", "Select-DR-Scan", "Capture-DR",
    "Shift-DR",         "Exit1-DR",      "Pause-DR",       "Exit2-DR",
    "Update-DR",        "Select-IR-Scan", "Capture-IR",    "Shift-IR",
    "Exit1-IR",         "Pause-IR",      "Exit2-IR",       "Update-IR",
};

uint32_t ir_mask(const TapDeviceConfig &c) {
  return c.ir_length >= 32 ? 0xFFFFFFFFu : ((1u << c.ir_length) - 1);
}

// The data register an instruction selects.
TapDataReg decode(const TapDeviceConfig &c, uint32_t ir) {
  if (ir == c.idcode_ir) return TapDataReg::kIdcode;
  if (ir == c.usercode_ir) return TapDataReg::kUsercode;
  return TapDataReg::kBypass;
}

void select_instruction(TapDevice &d, uint32_t ir) {
  d.ir = ir;
  d.dr = decode(d.config, ir);
  d.dr_length = d.dr == TapDataReg::kBypass ? 1 : 32;
}

void capture_dr(TapDevice &d) {
  switch (d.dr) {
    case TapDataReg::kIdcode: d.dr_shift = d.config.idcode; break;
    case TapDataReg::kUsercode: d.dr_shift = d.config.usercode; break;
    case TapDataReg::kBypass: d.dr_shift = 0; break;
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
  if (c.kind != TapKind::kFixed) return "unknown device kind";
  if (c.ir_length < 2 || c.ir_length > kTapMaxIrLength) return "IR length must be 2 to 32";
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
      for (uint32_t i = 0; i < n; ++i) chain.devices[i].ir_shift = chain.devices[i].config.ir_capture;
      break;
    case kTapIrUpdate:
      for (uint32_t i = 0; i < n; ++i) {
        TapDevice &d = chain.devices[i];
        select_instruction(d, d.ir_shift & ir_mask(d.config));
      }
      break;
    default:
      break;
  }
  return tdo;
}

}  // namespace lbsim
