// The SVF recorder: a TAP model fed with every TCK cycle, which writes one statement each
// time the TAP settles in a stable state (see svf_writer.h for what is written how).
#include "stapl/src/svf_writer.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "stapl/src/svf_tap.h"

int svf_recording = 0;

namespace {

// Hex digits of a data string per line; SVF lets data run over lines, and some readers
// have limits on the length of one.
constexpr size_t hex_digits_per_line = 64;

// Bits past `count` are always 0: hex digits and masks are taken from whole bytes.
struct Bits {
  std::vector<uint8_t> bytes;
  uint64_t count = 0;

  void clear() {
    bytes.clear();
    count = 0;
  }
  void push(int bit) {
    if ((count & 7) == 0) bytes.push_back(0);
    if (bit) bytes.back() |= static_cast<uint8_t>(1u << (count & 7));
    ++count;
  }
  // Bits 0 .. n-1 of `src`. A scan starts a record of its own and the engine hands its bits
  // over in whole bytes, so the record's end falls on a byte boundary and they are copied
  // as bytes; the bits of a last partial byte beyond n are left 0, as push leaves them.
  void append(const uint8_t *src, uint64_t n) {
    if (n == 0) return;
    const uint64_t at = count;
    bytes.resize(static_cast<size_t>((at + n + 7) / 8), 0);
    count += n;
    if ((at & 7) == 0) {
      uint8_t *dst = bytes.data() + (at >> 3);
      std::memcpy(dst, src, static_cast<size_t>(n >> 3));
      if ((n & 7) != 0) dst[n >> 3] = static_cast<uint8_t>(src[n >> 3] & ((1u << (n & 7)) - 1));
      return;
    }
    for (uint64_t i = 0; i < n; ++i)
      if ((src[i >> 3] >> (i & 7)) & 1)
        bytes[(at + i) >> 3] |= static_cast<uint8_t>(1u << ((at + i) & 7));
  }
  // n bits of one level.
  void fill(int bit, uint64_t n) {
    uint64_t i = count;
    count += n;
    bytes.resize(static_cast<size_t>((count + 7) / 8), 0);
    if (!bit) return;
    for (; i < count && (i & 7) != 0; ++i) bytes[i >> 3] |= static_cast<uint8_t>(1u << (i & 7));
    const uint64_t whole = (count - i) >> 3;
    std::memset(bytes.data() + (i >> 3), 0xFF, static_cast<size_t>(whole));
    for (i += whole << 3; i < count; ++i) bytes[i >> 3] |= static_cast<uint8_t>(1u << (i & 7));
  }
  // Clears every bit outside first .. first + n - 1.
  void keep_only(uint64_t first, uint64_t n) {
    const uint64_t end = first + n < count ? first + n : count;
    for (uint64_t i = 0; i < count; ++i) {
      if (i == first && end > first) {
        i = end - 1;
        continue;
      }
      bytes[i >> 3] &= static_cast<uint8_t>(~(1u << (i & 7)));
    }
  }
};

struct Recorder {
  std::FILE *out = nullptr;
  bool failed = false;
  JBIE_JTAG_STATE tap = JBI_ILLEGAL_JTAG_STATE;
  int ones_from_unknown = 0;
  long cycles_before_reset = 0;
  // The stable state last written, and the states visited since (the walk not yet written).
  JBIE_JTAG_STATE anchor = JBI_ILLEGAL_JTAG_STATE;
  std::vector<JBIE_JTAG_STATE> path;
  uint64_t hold = 0;  // cycles that held `anchor`, not yet written
  // A scan: the walk into Shift, its bits, and the states after Exit1.
  bool in_scan = false;
  bool scan_ir = false;
  std::vector<JBIE_JTAG_STATE> entry;
  Bits tdi, tdo, read;
  std::vector<JBIE_JTAG_STATE> exit_path;
  bool any_read = false;
  bool has_target = false;
  uint64_t target_first = 0, target_count = 0;
  JBIE_JTAG_STATE endir = IRPAUSE, enddr = DRPAUSE;
  std::string line;
};

Recorder rec;

void put(const std::string &text) {
  if (rec.out == nullptr) return;
  if (std::fwrite(text.data(), 1, text.size(), rec.out) != text.size()) rec.failed = true;
}

std::string path_text(const std::vector<JBIE_JTAG_STATE> &states) {
  std::string text;
  for (JBIE_JTAG_STATE s : states) {
    text += ' ';
    text += svf_state_name(s);
  }
  return text;
}

bool is_default_path(JBIE_JTAG_STATE from, JBIE_JTAG_STATE to,
                     const std::vector<JBIE_JTAG_STATE> &states) {
  JBIE_JTAG_STATE expected[8];
  const int n = svf_default_path(from, to, expected);
  if (static_cast<size_t>(n) != states.size()) return false;
  for (int i = 0; i < n; ++i)
    if (expected[i] != states[static_cast<size_t>(i)]) return false;
  return true;
}

// Bit strings in SVF are hexadecimal with the first bit shifted as the least significant.
// Digits are taken a nibble at a time: a scan of a whole configuration has millions of bits.
void append_hex(std::string &text, const Bits &bits, const Bits *keep) {
  static const char digits[] = "0123456789ABCDEF";
  static const char line_break[] = "\n        ";
  constexpr size_t break_size = sizeof line_break - 1;
  const uint64_t n_digits = (bits.count + 3) / 4;
  const uint64_t breaks = n_digits == 0 ? 0 : (n_digits - 1) / hex_digits_per_line;
  const size_t at = text.size();
  text.resize(at + 2 + n_digits + breaks * break_size);
  char *out = &text[at];
  *out++ = '(';
  size_t line_left = hex_digits_per_line;
  for (uint64_t d = n_digits; d-- > 0;) {
    unsigned value = (bits.bytes[d >> 1] >> ((d & 1) * 4)) & 0xFu;
    if (keep != nullptr) value &= (keep->bytes[d >> 1] >> ((d & 1) * 4)) & 0xFu;
    *out++ = digits[value];
    if (--line_left == 0 && d != 0) {
      std::memcpy(out, line_break, break_size);
      out += break_size;
      line_left = hex_digits_per_line;
    }
  }
  *out = ')';
}

void flush_hold() {
  if (rec.hold == 0) return;
  const char *name = svf_state_name(rec.anchor);
  put("RUNTEST " + std::string(name) + " " + std::to_string(rec.hold) + " TCK ENDSTATE " + name +
      ";\n");
  rec.hold = 0;
}

void write_walk(const std::vector<JBIE_JTAG_STATE> &states) {
  if (states.empty()) return;
  if (!svf_is_stable(states.back()))
    put("! The run stopped in " + std::string(svf_state_name(states.back())) +
        ", where SVF lets no walk end.\n");
  put("STATE" + path_text(states) + ";\n");
}

// The scan ends where the TAP settled, `end`.
void write_scan(JBIE_JTAG_STATE end) {
  const JBIE_JTAG_STATE shift = rec.scan_ir ? IRSHIFT : DRSHIFT;
  const JBIE_JTAG_STATE exit1 = rec.scan_ir ? IREXIT1 : DREXIT1;
  const char *reg = rec.scan_ir ? "IR" : "DR";
  // A scan starts along the default path from a stable state; a walk that took another way
  // is written up to where the default path to Shift takes over, as a STATE path that ends
  // in an unstable state (which SVF itself does not allow; our player does).
  size_t skip = 0;
  JBIE_JTAG_STATE from = rec.anchor;
  while (skip < rec.entry.size() &&
         !is_default_path(from, shift,
                          std::vector<JBIE_JTAG_STATE>(rec.entry.begin() + static_cast<long>(skip),
                                                       rec.entry.end())))
    from = rec.entry[skip++];
  if (skip > 0) {
    put("! The run entered " + std::string(svf_state_name(shift)) + " from " +
        svf_state_name(rec.anchor) + " by" + path_text(rec.entry) +
        ", which is not SVF's default path.\n");
    put("STATE" +
        path_text(std::vector<JBIE_JTAG_STATE>(rec.entry.begin(),
                                               rec.entry.begin() + static_cast<long>(skip))) +
        ";\n");
  }
  if (!is_default_path(exit1, end, rec.exit_path))
    put("! The run left " + std::string(svf_state_name(shift)) + " by " + svf_state_name(exit1) +
        path_text(rec.exit_path) + ", which is not SVF's default path to " + svf_state_name(end) +
        ".\n");
  JBIE_JTAG_STATE &written_end = rec.scan_ir ? rec.endir : rec.enddr;
  if (written_end != end) {
    put(std::string("END") + reg + " " + svf_state_name(end) + ";\n");
    written_end = end;
  }

  Bits mask;
  if (rec.any_read) {
    mask = rec.read;
    if (rec.has_target) mask.keep_only(rec.target_first, rec.target_count);
  }
  bool any_mask = false;
  for (uint8_t byte : mask.bytes) any_mask = any_mask || byte != 0;
  std::string &text = rec.line;
  text.clear();
  text += 'S';
  text += reg;
  text += ' ';
  text += std::to_string(rec.tdi.count);
  text += " TDI ";
  append_hex(text, rec.tdi, nullptr);
  if (any_mask) {
    text += "\n        TDO ";
    append_hex(text, rec.tdo, &mask);
    text += "\n        MASK ";
    append_hex(text, mask, nullptr);
  }
  text += ";\n";
  put(text);
  rec.has_target = false;
}

void start_scan(bool ir) {
  rec.in_scan = true;
  rec.scan_ir = ir;
  rec.entry = rec.path;
  rec.path.clear();
  rec.tdi.clear();
  rec.tdo.clear();
  rec.read.clear();
  rec.any_read = false;
  rec.exit_path.clear();
}

// The TAP arrived in the stable state `state`: everything since the anchor is written.
void settle(JBIE_JTAG_STATE state) {
  if (rec.in_scan) {
    write_scan(state);
    rec.in_scan = false;
  } else {
    write_walk(rec.path);
  }
  rec.path.clear();
  rec.anchor = state;
}

// What is pending when the TAP is not in a stable state: the run ends or waits there.
void settle_unstable(const char *why) {
  flush_hold();
  if (rec.in_scan) {
    put("! " + std::string(why) + " inside " + svf_state_name(rec.scan_ir ? IRSHIFT : DRSHIFT) +
        " after " + std::to_string(rec.tdi.count) + " bits; that scan is not written.\n");
    rec.in_scan = false;
    rec.path.clear();
    rec.anchor = rec.tap;
    return;
  }
  if (rec.path.empty()) return;
  write_walk(rec.path);
  rec.path.clear();
  rec.anchor = rec.tap;
}

void reset_model() {
  rec.tap = JBI_ILLEGAL_JTAG_STATE;
  rec.ones_from_unknown = 0;
  rec.cycles_before_reset = 0;
  rec.anchor = JBI_ILLEGAL_JTAG_STATE;
  rec.path.clear();
  rec.hold = 0;
  rec.in_scan = false;
  rec.has_target = false;
  rec.endir = IRPAUSE;
  rec.enddr = DRPAUSE;
}

}  // namespace

int svf_record_open(const char *path) {
  if (rec.out != nullptr) svf_record_close();
  std::FILE *out = std::fopen(path, "w");
  if (out == nullptr) return -1;
  rec.out = out;
  rec.failed = false;
  reset_model();
  put("! Recorded by the byte-code player: every TCK cycle of the run, in order.\n"
      "! Padding bits of the other devices are part of each scan; TDO with MASK marks the\n"
      "! bits the program captured from its target device.\n"
      "HIR 0;\nTIR 0;\nHDR 0;\nTDR 0;\nENDIR IRPAUSE;\nENDDR DRPAUSE;\n");
  svf_recording = 1;
  return 0;
}

int svf_record_close() {
  if (rec.out == nullptr) return 0;
  if (rec.tap == JBI_ILLEGAL_JTAG_STATE && rec.cycles_before_reset + rec.ones_from_unknown > 0)
    put("! " + std::to_string(rec.cycles_before_reset + rec.ones_from_unknown) +
        " TCK cycles before the TAP was first reset are not written.\n");
  settle_unstable("The run ended");
  svf_recording = 0;
  const bool ok = !rec.failed && std::fflush(rec.out) == 0 && !std::ferror(rec.out);
  const bool closed = std::fclose(rec.out) == 0;
  rec.out = nullptr;
  return ok && closed ? 0 : -1;
}

void svf_record_tck(int tms, int tdi, int read_tdo, int tdo) {
  tms = tms != 0;
  if (rec.tap == JBI_ILLEGAL_JTAG_STATE) {
    // Five TMS = 1 cycles reach Test-Logic-Reset from any state; until then nothing is known.
    if (!tms) {
      rec.cycles_before_reset += rec.ones_from_unknown + 1;
      rec.ones_from_unknown = 0;
      return;
    }
    if (++rec.ones_from_unknown < 5) return;
    if (rec.cycles_before_reset > 0)
      put("! " + std::to_string(rec.cycles_before_reset) +
          " TCK cycles before the TAP was first reset are not written.\n");
    rec.cycles_before_reset = 0;
    rec.ones_from_unknown = 0;
    rec.tap = rec.anchor = RESET;
    put("STATE RESET;\n");
    return;
  }
  const JBIE_JTAG_STATE next = svf_next_state(rec.tap, tms);
  if (rec.tap == IRSHIFT || rec.tap == DRSHIFT) {
    // Every cycle in a Shift state moves one bit, the one that leaves it too.
    // TDO and its marks are kept from the first captured bit on, the bits before it filled
    // in then: most scans capture nothing.
    rec.tdi.push(tdi != 0);
    if (read_tdo != 0 && !rec.any_read) {
      rec.any_read = true;
      while (rec.read.count + 1 < rec.tdi.count) {
        rec.tdo.push(0);
        rec.read.push(0);
      }
    }
    if (rec.any_read) {
      rec.tdo.push(read_tdo ? tdo != 0 : 0);
      rec.read.push(read_tdo != 0);
    }
    rec.tap = next;
    return;
  }
  if (next == rec.tap) {
    // Only stable states hold; arriving in one has already written the walk there.
    ++rec.hold;
    return;
  }
  flush_hold();
  rec.tap = next;
  if (rec.in_scan) {
    if (next == IRSHIFT || next == DRSHIFT) {
      // Back into a Shift state through Update and Capture, with no stable state between:
      // SVF has no word for it, so the scan is written as if it had stopped in Pause.
      put("! The run went on from one scan into another without a stable state between.\n");
      write_scan(rec.scan_ir ? IRPAUSE : DRPAUSE);
      rec.path = rec.exit_path;
      rec.path.push_back(next);
      rec.anchor = rec.scan_ir ? IRPAUSE : DRPAUSE;
      start_scan(next == IRSHIFT);
      return;
    }
    rec.exit_path.push_back(next);
    if (svf_is_stable(next)) settle(next);
    return;
  }
  rec.path.push_back(next);
  if (next == IRSHIFT || next == DRSHIFT)
    start_scan(next == IRSHIFT);
  else if (svf_is_stable(next))
    settle(next);
}

void svf_record_shift(const uint8_t *tdi, const uint8_t *tdo, uint32_t count) {
  if (rec.tap != IRSHIFT && rec.tap != DRSHIFT) {
    // Only cycles in a Shift state move bits; the engine shifts in one whenever the model
    // knows the TAP, so this is for a recording opened before the first reset.
    for (uint32_t i = 0; i < count; ++i)
      svf_record_tck(0, (tdi[i >> 3] >> (i & 7)) & 1, tdo != nullptr,
                     tdo != nullptr ? (tdo[i >> 3] >> (i & 7)) & 1 : 0);
    return;
  }
  // As svf_record_tck keeps them: TDO and its marks from the first captured bit on.
  if (tdo != nullptr && !rec.any_read) {
    rec.any_read = true;
    rec.tdo.fill(0, rec.tdi.count - rec.tdo.count);
    rec.read.fill(0, rec.tdi.count - rec.read.count);
  }
  rec.tdi.append(tdi, count);
  if (!rec.any_read) return;
  if (tdo != nullptr) {
    rec.tdo.append(tdo, count);
    rec.read.fill(1, count);
  } else {
    rec.tdo.fill(0, count);
    rec.read.fill(0, count);
  }
}

void svf_record_tms(const uint8_t *tms, int count) {
  for (int i = 0; i < count; ++i) svf_record_tck(tms[i], 0, 0, 0);
}

void svf_record_hold(int tms, uint32_t count) {
  tms = tms != 0;
  const JBIE_JTAG_STATE s = rec.tap;
  if (s != JBI_ILLEGAL_JTAG_STATE && s != IRSHIFT && s != DRSHIFT && svf_next_state(s, tms) == s) {
    rec.hold += count;
    return;
  }
  for (uint32_t i = 0; i < count; ++i) svf_record_tck(tms, 0, 0, 0);
}

void svf_record_delay(int32_t microseconds) {
  if (rec.out == nullptr || microseconds <= 0) return;
  if (rec.tap == JBI_ILLEGAL_JTAG_STATE) {
    put("! A wait of " + std::to_string(microseconds) +
        " us before the TAP was first reset is not written.\n");
    return;
  }
  settle_unstable("The run waited");
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.6E", microseconds / 1e6);
  const char *name = svf_state_name(rec.tap);
  put("RUNTEST " + std::string(name) + " " + seconds + " SEC ENDSTATE " + name + ";\n");
}

void svf_record_scan_target(unsigned int preamble, unsigned int count) {
  rec.has_target = true;
  rec.target_first = preamble;
  rec.target_count = count;
}
