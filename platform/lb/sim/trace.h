// The bus trace of the simulated board: a bounded ring of what crossed the local bus and
// what the board did about it. Off by default; when the ring is full the oldest records
// are overwritten and counted as dropped.
//
// Text form, one record per line (as `boardsim trace show` prints them, oldest first).
// Hex digits are upper case; the format is stable, tests parse it.
//
//   R 0x%04X 0x%08X          register read: address, value returned
//   R 0x%04X FAIL            register read failed (injected access fault)
//   W 0x%04X 0x%08X          register write: address, value written
//   W 0x%04X 0x%08X FAIL     register write failed (injected access fault)
//   TCK TMS=%d TDI=%d TDO=%d one TCK cycle (a write of 4 while CSR bit 0x10 is set);
//                            TDO is the level before the edge. Such a write has no W
//                            record; a write of 4 with the port off is a plain W record.
//   I2C START                start condition on an idle bus
//   I2C RESTART              repeated start
//   I2C BYTE 0x%02X ACK      byte sent and acknowledged
//   I2C BYTE 0x%02X NACK     byte sent, not acknowledged
//   I2C RECV 0x%02X          byte received
//   I2C STOP                 stop condition (also when the bus was idle)
//   LINES 0x%02X DIR 0x%02X  line levels and direction after a write of 0x10 or 0x14
//   SEL WRITE %d 0x%X        selector register N written with a 4-bit value
//   SEL SELECT %d            selector register N put on the data lines
//   SEL RESET                all selector registers cleared
//
// Order: the R/W record of an access comes first, then the events it caused (for example
// "W 0x0008 0x00000080" then "I2C START"; "W 0x0010 0x000000E9" then "SEL WRITE 2 0x9"
// then "LINES 0xE9 DIR 0xFF").
#pragma once

#include <cstdint>
#include <string>

namespace lbsim {

struct BoardState;

enum class TraceKind : uint8_t {
  kRead = 1,
  kReadFail = 2,
  kWrite = 3,
  kWriteFail = 4,
  kTck = 5,  // value: bit 0 TMS, bit 1 TDI, bit 2 TDO
  kI2cStart = 6,
  kI2cRestart = 7,
  kI2cByte = 8,  // value: byte, addr: 1 when acknowledged
  kI2cRecv = 9,  // value: byte
  kI2cStop = 10,
  kLines = 11,      // value: levels, addr: direction
  kSelWrite = 12,   // addr: register, value: data
  kSelSelect = 13,  // addr: register
  kSelReset = 14,
};

struct TraceRecord {
  uint32_t seq;  // position in the whole trace since it was last cleared
  TraceKind kind;
  uint8_t pad[3];
  uint32_t addr;
  uint32_t value;
};

inline constexpr uint32_t kTraceCapacity = 1u << 16;  // records kept

struct Trace {
  uint32_t on;  // 0 or 1
  uint32_t pad;
  uint64_t written;  // records ever added since the last clear
  TraceRecord ring[kTraceCapacity];
};

// Adds one record; the caller has already checked that the trace is on.
void trace_add(Trace &trace, TraceKind kind, uint32_t addr, uint32_t value);
void trace_clear(Trace &trace);
// Records overwritten because the ring was full.
uint64_t trace_dropped(const Trace &trace);
// The line of text for one record, without a line end (formats above).
std::string trace_format(const TraceRecord &record);

}  // namespace lbsim
