// The simulated JTAG scan chain: IEEE 1149.1 TAP controllers in series, clocked one TCK
// cycle at a time.
//
// Everything here is plain data in fixed-size arrays (no pointers), so a chain can live in
// the shared board state or in a test's own memory. To drive a chain in-process, for example
// as the port of the byte-code player in a unit test:
//
//   lbsim::TapChain chain;
//   lbsim::tap_chain_default(chain);
//   int jbi_jtag_io(int tms, int tdi, int read_tdo) {
//     int tdo = lbsim::tap_chain_clock(chain, tms, tdi);   // TDO seen before this edge
//     return read_tdo ? tdo : 0;
//   }
//
// All TAPs of a chain share TCK and TMS, so they are always in the same state; the chain
// keeps one state for all of them. Device 0 is nearest TDI, the last device drives TDO.
//
// Default chain (tap_chain_default), from TDI to TDO:
//   device 0: IR 10 bits, IDCODE 0x028120DD (instruction 0x006),
//             USERCODE 0x00C3F557 (instruction 0x007)
//   device 1: IR 6 bits,  IDCODE 0x13631093 (instruction 0x09),
//             USERCODE 0x4B455348 (instruction 0x08)
// Every device captures 0b...01 into its IR (value 0x1), selects IDCODE in Test-Logic-Reset
// and BYPASS (one bit, captures 0) for the all-ones code and every code it does not know.
#pragma once

#include <cstdint>

namespace lbsim {

// TAP states, numbered as the byte-code player numbers them.
enum TapState : uint8_t {
  kTapReset = 0,
  kTapIdle = 1,
  kTapDrSelect = 2,
  kTapDrCapture = 3,
  kTapDrShift = 4,
  kTapDrExit1 = 5,
  kTapDrPause = 6,
  kTapDrExit2 = 7,
  kTapDrUpdate = 8,
  kTapIrSelect = 9,
  kTapIrCapture = 10,
  kTapIrShift = 11,
  kTapIrExit1 = 12,
  kTapIrPause = 13,
  kTapIrExit2 = 14,
  kTapIrUpdate = 15,
};

// State after one TCK cycle with the given TMS.
TapState tap_next_state(TapState state, int tms);
// Name as in the IEEE 1149.1 diagram, e.g. "Shift-DR".
const char *tap_state_name(TapState state);

// What sits behind a TAP. Only fixed-function devices exist so far (IDCODE, USERCODE,
// BYPASS); a configurable FPGA kind will be added with its own registers in `kind_state`.
enum class TapKind : uint8_t {
  kFixed = 0,
};

// Which data register an instruction has put between TDI and TDO.
enum class TapDataReg : uint8_t {
  kBypass = 0,
  kIdcode = 1,
  kUsercode = 2,
};

inline constexpr int kTapMaxIrLength = 32;
inline constexpr int kTapMaxDevices = 8;

// What a device is; set when the chain is built, never changed by clocking.
struct TapDeviceConfig {
  TapKind kind = TapKind::kFixed;
  uint8_t ir_length = 0;         // 2 .. kTapMaxIrLength
  uint32_t ir_capture = 0x1;     // loaded into the IR shift stage in Capture-IR; ends in 01
  uint32_t idcode = 0;
  uint32_t idcode_ir = 0;        // instruction code selecting IDCODE
  uint32_t usercode = 0;
  uint32_t usercode_ir = 0;      // instruction code selecting USERCODE
};

// Checks a device description: IR length in range, instruction codes that fit the IR, are
// not all ones and differ from each other, capture value ending in binary 01. Returns nullptr
// when valid, else a short English reason.
const char *tap_device_config_error(const TapDeviceConfig &config);

struct TapDevice {
  TapDeviceConfig config;
  uint32_t ir;            // current instruction (updated in Update-IR, reset in Test-Logic-Reset)
  uint32_t ir_shift;      // IR shift stage; bit 0 is next out towards TDO
  uint64_t dr_shift;      // shift stage of the selected data register; bit 0 next out
  uint8_t dr_length;      // length of the selected data register
  TapDataReg dr;          // register the current instruction selects
  uint8_t pad[6];
  uint32_t kind_state[16];  // reserved for device kinds with their own registers
};

struct TapChain {
  uint32_t device_count;
  TapState state;
  uint8_t pad[3];
  uint64_t cycles;  // TCK cycles clocked since the chain was built
  TapDevice devices[kTapMaxDevices];
};

// The two-device chain described at the top of this file, in Test-Logic-Reset.
void tap_chain_default(TapChain &chain);
// A chain of the given devices (1 .. kTapMaxDevices, each valid), in Test-Logic-Reset.
// Returns false and leaves the chain unchanged when the list is not acceptable.
bool tap_chain_build(TapChain &chain, const TapDeviceConfig *configs, int count);
// Powers the chain up again: Test-Logic-Reset, IDCODE selected; the configuration stays.
void tap_chain_power_on(TapChain &chain);

// The TDO level the chain presents now, i.e. before the next rising TCK edge: bit 0 of the
// last device's shift stage in Shift-IR and Shift-DR, otherwise 1 (TDO floats high).
int tap_chain_tdo(const TapChain &chain);
// One TCK cycle with the given TMS and TDI (non-zero means 1). Returns the TDO level seen
// before the edge, as a port that samples TDO and then clocks would see it.
int tap_chain_clock(TapChain &chain, int tms, int tdi);

}  // namespace lbsim
