// The bus trace of the simulated board: what crossed the local bus and what the board did
// about it, with the time (ns since the trace was switched on) and the process id of each
// record. Off by default.
//
// Storage. The trace keeps the first `head` records for good and the newest ones in a ring
// behind them, so a long run (a whole download) keeps both how it began (the port switched
// on, the first scans) and how it ended; the records in between are counted as dropped. A
// record identical to the one before it (same kind, address, value and process) is not
// stored again: the one before gets its count raised. So a poll of a stuck status bit is one
// record however long it lasts, and a run of identical TCK cycles (Run-Test/Idle waits) is
// one record too. Folding loses nothing: the count says how often the line repeats.
//
// Text form, one record per line (as `boardsim trace show` prints them, oldest first, each
// folded record written as often as its count). Hex digits are upper case; the format is
// stable, tests parse it.
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
//   TAP %d IR 0x%X           device N loaded an instruction (Update-IR); only devices that
//                            have instructions of their own (tap_chain.h) report
//   TAP %d DR 0x%X %u BITS [EXPECTED|UNEXPECTED]
//                            device N ended a data scan (Update-DR) under instruction X
//                            after that many Shift-DR cycles; with an expected value the
//                            device says whether what was shifted in matched it
//
// Order: the R/W record of an access comes first, then the events it caused (for example
// "W 0x0008 0x00000080" then "I2C START"; "W 0x0010 0x000000E9" then "SEL WRITE 2 0x9"
// then "LINES 0xE9 DIR 0xFF"; the TCK record, then the TAP record of its Update state).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
  kTapIr = 15,  // addr: device | IR length << 8, value: instruction
  kTapDr = 16,  // addr: as kTapIr | check << 16 (0 none, 1 expected, 2 unexpected),
                // value: instruction; bits in `aux`
};

struct TraceRecord {
  uint64_t time_ns;  // since the trace was switched on; of the first of folded repeats
  uint32_t pid;      // process that made the access
  uint32_t count;    // 1, or how many identical records this one stands for
  uint32_t addr;
  uint32_t value;
  uint32_t aux;
  TraceKind kind;
  uint8_t pad[3];
};

inline constexpr uint32_t kTraceMaxCapacity = 1u << 20;      // records at most
inline constexpr uint32_t kTraceDefaultCapacity = 1u << 18;  // after power-on
inline constexpr uint32_t kTraceMinCapacity = 16;

struct Trace {
  uint32_t on;        // 0 or 1
  uint32_t capacity;  // records kept, head included
  uint32_t head;      // the first records, kept however long the trace runs
  uint32_t pad;
  uint64_t start_ns;  // CLOCK_MONOTONIC when the trace was switched on
  uint64_t written;   // records stored since the last clear (a folded repeat is none)
  TraceRecord ring[kTraceMaxCapacity];
};

// The calling process's id (cached; a forked child gets its own).
uint32_t current_process_id();

// Adds one record; the caller has already checked that the trace is on.
void trace_add(Trace &trace, TraceKind kind, uint32_t addr, uint32_t value, uint32_t aux = 0);
void trace_clear(Trace &trace);
// Switches the trace on (the clock starts again) or off; records stay.
void trace_switch(Trace &trace, bool on);
// Sets how many records are kept (kTraceMinCapacity .. kTraceMaxCapacity, else false) and
// clears the trace; a quarter of them is the head.
bool trace_set_capacity(Trace &trace, uint32_t capacity);
// Records dropped between the head and the newest ones.
uint64_t trace_dropped(const Trace &trace);
// The records kept, oldest first, folded; `gap` receives the index of the first record after
// the dropped ones (records.size() when nothing was dropped).
std::vector<TraceRecord> trace_records(const Trace &trace, size_t *gap = nullptr);
// The line of text for one record, without a line end (formats above).
std::string trace_format(const TraceRecord &record);

// Which records `trace show` keeps.
struct TraceFilter {
  uint32_t kinds = 0;  // TraceClass bits; 0: all
  bool by_address = false;
  uint32_t addr_lo = 0, addr_hi = 0;  // inclusive; keeps R/W (and TCK: address 4) records
  uint32_t pid = 0;                   // 0: every process
};
enum TraceClass : uint32_t {
  kTraceClassRead = 1,
  kTraceClassWrite = 2,
  kTraceClassTck = 4,
  kTraceClassI2c = 8,
  kTraceClassLines = 16,  // LINES and SEL records
  kTraceClassTap = 32,
};
bool trace_filter_keeps(const TraceFilter &filter, const TraceRecord &record);

// A summary of records: accesses per address (reads, writes, failures), TCK cycles, TAP
// records, and each I2C transaction on one line, e.g.
//   I2C S 0xA0 W ACK, 0x00 ACK, Sr 0xA1 R ACK, RECV 0x37, P
// Lines end without a line end.
std::vector<std::string> trace_summary(const std::vector<TraceRecord> &records);

}  // namespace lbsim
