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
//   device 0: FPGA (below), IR 10 bits, IDCODE 0x028120DD (instruction 0x006),
//             USERCODE 0x00C3F557 (instruction 0x007)
//   device 1: IR 6 bits,  IDCODE 0x13631093 (instruction 0x09),
//             USERCODE 0x4B455348 (instruction 0x08)
// Every device captures 0b...01 into its IR (value 0x1), selects IDCODE in Test-Logic-Reset
// and BYPASS (one bit, captures 0) for the all-ones code and every code it does not know.
//
// The FPGA kind (TapKind::kFpga) is a device that a byte-code program can really configure.
// Its instructions, beside IDCODE and USERCODE (the codes need an IR of at least 5 bits):
//   0x010 FPGA_START   on Update-IR: clears the configuration and starts a new one
//                      (not configured, no error, counters and CRC cleared); DR is BYPASS
//   0x011 FPGA_LOAD    a 1-bit streaming register (captures 0): while a configuration is
//                      started, every bit shifted into it in Shift-DR feeds the framer below
//   0x012 FPGA_END     on Update-IR: ends the started configuration. The device is configured
//                      only when a whole frame arrived and its CRC matched; otherwise it
//                      stays unconfigured with the error recorded. Without a started
//                      configuration it changes nothing. DR is BYPASS
//   0x013 FPGA_STATUS  32-bit status register (captured in Capture-DR):
//                        bit 0 DONE   configured
//                        bit 1 BUSY   a configuration is started and not ended
//                        bit 2 SYNC   the sync word was seen
//                        bit 3 ERROR  the last configuration failed (code in bits 4..7)
//                        bits 4..7    FpgaError
//   0x014 FPGA_CRC     32-bit register: CRC-32 of the data bits received so far
//   0x015 FPGA_COUNT   32-bit register: number of data bits received so far
// Configuration frame, in shift order (every word least significant bit first, like every
// bit string the player shifts):
//   any bits          ignored until the last 32 bits received equal the sync word
//                     kFpgaSyncWord; so the padding bits a scan carries for the other
//                     devices of the chain never disturb the frame
//   32-bit length     number of data bits, 1 .. kFpgaMaxConfigBits (else: bad length)
//   data bits         the configuration itself
//   32-bit CRC        CRC-32 of the data bits (below)
//   any bits          ignored
// The CRC is the common reflected CRC-32 (polynomial 0xEDB88320, start value and final XOR
// 0xFFFFFFFF) over the data bits in shift order; for data stored bit i in bit (i mod 8) of
// byte (i div 8), as the player stores Boolean arrays, it equals the CRC-32 of those bytes
// when the bit count is a multiple of 8. The sync word has no prefix that is also a suffix,
// so it is found exactly where it ends whatever bits come before it. Configuration survives
// Test-Logic-Reset; only power-on (tap_chain_power_on) and FPGA_START clear it.
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

// What sits behind a TAP: a fixed-function device (IDCODE, USERCODE, BYPASS), or an FPGA
// that also takes a configuration (described at the top of this file; its state lives in
// the device's `kind_state` words).
enum class TapKind : uint8_t {
  kFixed = 0,
  kFpga = 1,
};

// Which data register an instruction has put between TDI and TDO.
enum class TapDataReg : uint8_t {
  kBypass = 0,
  kIdcode = 1,
  kUsercode = 2,
  kFpgaLoad = 3,
  kFpgaStatus = 4,
  kFpgaCrc = 5,
  kFpgaCount = 6,
  kOwn = 7,  // a data register of the device's own instructions (TapInstruction)
};

// FPGA instruction codes and frame constants.
inline constexpr uint32_t kFpgaStartIr = 0x010;
inline constexpr uint32_t kFpgaLoadIr = 0x011;
inline constexpr uint32_t kFpgaEndIr = 0x012;
inline constexpr uint32_t kFpgaStatusIr = 0x013;
inline constexpr uint32_t kFpgaCrcIr = 0x014;
inline constexpr uint32_t kFpgaCountIr = 0x015;
inline constexpr int kFpgaMinIrLength = 5;
inline constexpr uint32_t kFpgaSyncWord = 0x3C5AF00D;
inline constexpr uint32_t kFpgaMaxConfigBits = 1u << 28;

// Status register bits.
inline constexpr uint32_t kFpgaStatusDone = 1u << 0;
inline constexpr uint32_t kFpgaStatusBusy = 1u << 1;
inline constexpr uint32_t kFpgaStatusSync = 1u << 2;
inline constexpr uint32_t kFpgaStatusError = 1u << 3;
inline constexpr int kFpgaStatusErrorShift = 4;

// Why the last configuration failed (status bits 4..7).
enum class FpgaError : uint8_t {
  kNone = 0,
  kNoSync = 1,       // FPGA_END before the sync word was seen
  kBadLength = 2,    // length word 0 or above kFpgaMaxConfigBits
  kIncomplete = 3,   // FPGA_END before the CRC word was complete
  kCrcMismatch = 4,  // the CRC word differs from the CRC of the data received
};

inline constexpr int kTapMaxIrLength = 32;
inline constexpr int kTapMaxDevices = 8;

inline constexpr int kTapMaxInstructions = 8;    // instructions of a device's own
inline constexpr uint32_t kTapMaxDrBits = 4096;  // length of such an instruction's register

// An instruction of a device's own beyond IDCODE and USERCODE (a status or configuration
// register, say): the data register it selects, what that captures in Capture-DR, and
// optionally what a scan is expected to leave in it. Bit strings hold bit i in bit (i mod 8)
// of byte (i div 8); bit 0 is the first out towards TDO (and the first a scan shifts in ends
// up, after the whole register, in bit 0 too).
struct TapInstruction {
  uint32_t code;
  uint32_t length;      // 1 .. kTapMaxDrBits
  uint32_t has_expect;  // 1: Update-DR compares the register with `expect`
  uint32_t pad;
  uint8_t capture[kTapMaxDrBits / 8];
  uint8_t expect[kTapMaxDrBits / 8];
};

// What a device is; set when the chain is built, never changed by clocking.
struct TapDeviceConfig {
  TapKind kind = TapKind::kFixed;
  uint8_t ir_length = 0;      // 2 .. kTapMaxIrLength
  uint32_t ir_capture = 0x1;  // loaded into the IR shift stage in Capture-IR; ends in 01
  uint32_t idcode = 0;
  uint32_t idcode_ir = 0;  // instruction code selecting IDCODE
  uint32_t usercode = 0;
  uint32_t usercode_ir = 0;  // instruction code selecting USERCODE
  // A device with instructions of its own reports in the trace which instruction each IR
  // scan loaded and how many bits each DR scan carried (TapEvent).
  uint32_t instruction_count = 0;
  TapInstruction instructions[kTapMaxInstructions] = {};
};

// Checks a device description: IR length in range, instruction codes that fit the IR, are
// not all ones and differ from each other, capture value ending in binary 01, own
// instructions with registers of 1 to kTapMaxDrBits bits and values that fit them. Returns
// nullptr when valid, else a short English reason.
const char *tap_device_config_error(const TapDeviceConfig &config);

// What the last Update-IR or Update-DR did in a device that reports (one with instructions
// of its own); the board turns these into TAP trace records.
enum class TapEventKind : uint8_t { kIr = 1, kDr = 2 };
struct TapEvent {
  TapEventKind kind;
  uint8_t device;
  uint8_t ir_length;
  uint8_t check;  // kDr: 0 nothing expected, 1 as expected, 2 not as expected
  uint32_t instruction;
  uint32_t bits;  // kDr: Shift-DR cycles since Capture-DR
};

struct TapDevice {
  TapDeviceConfig config;
  uint32_t ir;        // current instruction (updated in Update-IR, reset in Test-Logic-Reset)
  uint32_t ir_shift;  // IR shift stage; bit 0 is next out towards TDO
  uint64_t dr_shift;  // shift stage of the selected data register; bit 0 next out
  uint8_t dr_length;  // length of the selected data register
  TapDataReg dr;      // register the current instruction selects
  uint8_t own;        // kOwn: index into config.instructions
  uint8_t pad[5];
  uint32_t kind_state[16];  // registers of device kinds that have their own (FPGA)
  // kOwn: the register as a ring; bit i of the register is at (own_pos + i) mod length.
  uint32_t own_pos;
  uint32_t own_length;
  uint8_t own_reg[kTapMaxDrBits / 8];
};

struct TapChain {
  uint32_t device_count;
  TapState state;
  uint8_t reporting;  // some device has instructions of its own
  uint8_t pad[2];
  uint64_t cycles;       // TCK cycles clocked since the chain was built
  uint32_t dr_bits;      // Shift-DR cycles since the last Capture-DR
  uint32_t event_count;  // events of the last clock (0 after any clock without)
  TapEvent events[kTapMaxDevices];
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

// What an FPGA device holds; all zero for a device of another kind.
struct FpgaState {
  bool configured;
  bool busy;    // started, not ended
  bool synced;  // the sync word was seen in the current or last configuration
  FpgaError error;
  uint32_t length;  // data bits announced by the length word (0 before it)
  uint32_t bits;    // data bits received
  uint32_t crc;     // CRC-32 of the data bits received
};
FpgaState tap_fpga_state(const TapDevice &device);
// The value FPGA_STATUS captures.
uint32_t tap_fpga_status_word(const TapDevice &device);
// "none", "no-sync", "bad-length", "incomplete", "crc-mismatch".
const char *fpga_error_name(FpgaError error);
// CRC-32 of `bit_count` bits stored LSB first (bit i in bit i mod 8 of byte i div 8), the
// value an FPGA computes over the same data bits.
uint32_t fpga_crc32(const uint8_t *data, uint64_t bit_count);

}  // namespace lbsim
