// The simulated I2C master of the bridge (local-bus registers 8 and 12) and the devices on
// its bus.
//
// Master registers:
//   read 8   status: 0x08 busy (between a start and a stop), 0x04 done (the last start, byte
//            or receive step has finished), 0x02 ack (the last byte sent was acknowledged),
//            0x01 noacc (the last byte sent was not acknowledged)
//   write 8  command bits, acted on in this order: 0x80 start (a repeated start when the
//            bus is busy), 0x20 receive one byte, 0x40 stop, 0x10 clear ack/noacc.
//            0x00 does nothing.
//   read 12  the last byte received (power-on 0)
//   write 12 sends the low byte of the value: the first byte after a start is an address
//            byte (bit 0 = read), later bytes go to the addressed device.
// Timing. Every start, byte sent, receive and stop is a step that takes time on the bus:
// writing it clears done and sets busy at once, and only when the step has ended does the
// status show done again (with ack or noacc after a byte), the received byte appear in
// register 12 and, after a stop, busy clear. How long a step lasts (I2cTiming): a time per
// byte (a start or stop lasts a ninth of it, one SCL period), default 100 us like a 100 kHz
// master; or a number of status reads (the Nth read after the command shows done); or no
// time at all. A step written while another is still under way ends that one first. The
// bus effects (what a device stores or sends) happen when the step is written. 0x10 and
// 0x00 are no steps: 0x10 clears ack and noacc at once, 0x00 does nothing.
// A byte sent while no start is active, or after the address was not acknowledged, is not
// acknowledged. Receiving from a device that is not addressed for reading yields 0xFF (SDA
// floats high).
//
// Devices (8-bit bus addresses, bit 0 the read/write bit):
//   0xA0  identity EEPROM, 256 bytes; the first byte written after its address sets the
//         byte pointer, further bytes are stored and advance it; reads return the byte at
//         the pointer and advance it (wrapping at 256). Bytes 0..3 hold the identity word,
//         little-endian; power-on 0x20020000 (bytes 00 00 02 20), the rest 0xFF.
//   0x40  4-register port expander: 0 input (read-only), 1 output, 2 polarity inversion,
//         3 direction (1 = input). The pointer byte selects the register (mod 4) and does
//         not advance. Power-on: output 0xFF, polarity 0, direction 0xFF.
//   0x42  8-register port expander: 0/1 inputs (read-only), 2/3 outputs, 4/5 polarity,
//         6/7 direction. The pointer byte selects the register (mod 8); after each data
//         byte it moves to the other register of its pair. Power-on as for 0x40.
//   An input register reads the output bits where the direction is 0 and 1 (pull-up)
//   where it is 1, each inverted where the polarity bit is 1.
//   0xFC  the split-address memory, 256 bytes, power-on 0: address byte 0xFC takes the
//         pointer byte, then after a stop and a new start 0xFE writes data bytes at the
//         pointer and 0xFF reads them, each advancing it. 0xFD is not acknowledged.
//   Any other address byte is not acknowledged.
#pragma once

#include <cstdint>

#include "platform/lb/sim/intermittent.h"

namespace lbsim {

struct BoardState;

inline constexpr uint32_t kI2cBusy = 0x08;
inline constexpr uint32_t kI2cDone = 0x04;
inline constexpr uint32_t kI2cAck = 0x02;
inline constexpr uint32_t kI2cNoacc = 0x01;

inline constexpr uint32_t kI2cCmdStart = 0x80;
inline constexpr uint32_t kI2cCmdStop = 0x40;
inline constexpr uint32_t kI2cCmdReceive = 0x20;
inline constexpr uint32_t kI2cCmdClear = 0x10;

enum class I2cDeviceKind : uint8_t {
  kNone = 0,
  kEeprom = 1,
  kExpander4 = 2,
  kExpander8 = 3,
  kSplitMemory = 4,
};

inline constexpr int kI2cDeviceCount = 4;  // 0xA0, 0x40, 0x42, 0xFC, in this order

struct I2cDevice {
  I2cDeviceKind kind;
  uint8_t address;   // 8-bit bus address of its write form
  uint8_t pointer;   // byte or register pointer
  uint8_t noack;     // fault: does not acknowledge (when noack_when says so)
  uint8_t bad_xor;   // fault: bytes read are XORed with this (0 = none)
  uint8_t bad_only;  // 1: only a byte read whose true value is bad_value is XORed
  uint8_t bad_value;
  uint8_t pad;
  Intermittent noack_when;
  Intermittent bad_when;
  uint8_t mem[256];  // EEPROM / memory bytes or expander registers
};

enum class I2cPhase : uint8_t {
  kIdle = 0,     // no start since the last stop
  kAddress = 1,  // start seen, next byte is an address byte
  kPointer = 2,  // device addressed for writing, next byte is its pointer
  kWriting = 3,  // device addressed for writing, pointer set
  kReading = 4,  // device addressed for reading
  kIgnored = 5,  // address not acknowledged: nothing listens until the next start
};

enum class I2cTimingMode : uint32_t {
  kInstant = 0,  // every step has ended when it is written
  kReads = 1,    // a step ends with the Nth status read after it
  kTime = 2,     // a byte takes `value` ns, a start or stop a ninth of it
};

struct I2cTiming {
  I2cTimingMode mode;
  uint32_t value;  // status reads per step, or ns per byte
};

inline constexpr uint32_t kI2cDefaultByteNs = 100000;

// Steps, as bits, for the fault that keeps a kind of step from ever ending.
enum I2cStep : uint32_t {
  kI2cStepStart = 1,
  kI2cStepByte = 2,
  kI2cStepReceive = 4,
  kI2cStepStop = 8,
};

struct I2cMaster {
  uint32_t status;  // as the status register shows it now
  uint32_t rx;      // last byte received, as register 12 shows it now
  I2cPhase phase;
  int8_t device;            // index into BoardState::i2c_devices, -1 when none
  uint8_t pending;          // a step is under way
  uint8_t hung;             // the step under way never ends (fault)
  uint32_t pending_status;  // status and received byte once the step has ended
  uint32_t pending_rx;
  uint32_t reads_left;  // kReads: status reads until the step ends
  uint64_t due_ns;      // kTime: CLOCK_MONOTONIC when the step ends
  I2cTiming timing;
  uint32_t hang_steps;  // fault: I2cStep bits of steps that never end
  Intermittent hang_when;
};

// Power-on devices (the table above) and an idle master with the default timing and no
// faults.
void i2c_power_on(BoardState &board);
// How long steps take from now on (a step under way keeps its end). False for a time of 0
// in kTime or kReads (use kInstant).
bool i2c_set_timing(BoardState &board, I2cTiming timing);
// Index of the device answering bus address `chip` (either form), -1 if none.
int i2c_device_index(const BoardState &board, uint8_t chip);

// Register accesses of the master (the caller holds the board lock).
uint32_t i2c_read_status(BoardState &board);
uint32_t i2c_read_data(BoardState &board);
void i2c_write_command(BoardState &board, uint32_t command);
void i2c_write_data(BoardState &board, uint32_t value);

// Device contents as a bus read/write at `offset` would see or set them, without bus
// traffic and without moving the pointer (input registers of the expanders are computed
// and ignore writes).
uint8_t i2c_device_peek(const BoardState &board, int device, uint8_t offset);
void i2c_device_poke(BoardState &board, int device, uint8_t offset, uint8_t value);

}  // namespace lbsim
