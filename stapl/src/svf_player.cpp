#include "stapl/src/svf_player.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "stapl/src/jbiport.h"
#include "stapl/src/svf_parser.h"
#include "stapl/src/svf_tap.h"

long svf_tck_limit = 0;
SVF_PLAY_OUTCOME svf_last_play = {};

namespace {

// Bits of the failing scan listed one by one; the rest are counted.
constexpr int listed_bits = 8;
// Scans up to this many bits are also shown whole in the mismatch report.
constexpr uint32_t shown_scan_bits = 256;
// The longest piece of a timed wait handed to jbi_delay at once, in microseconds.
constexpr int32_t delay_slice_us = 1000000;
// No device asks for longer; a larger figure is a mistake in the file, not a wait.
constexpr double max_wait_seconds = 3600;

// What a scan statement of one kind (SIR, HIR, ...) leaves for the next: SVF reuses TDI,
// MASK and SMASK of the previous statement of the same kind and length. An empty mask or
// smask is all ones, as they start: a configuration frame of megabits needs neither.
struct ScanData {
  uint32_t length = 0;
  std::vector<uint8_t> tdi, mask, smask, tdo;
  bool compare = false;  // this statement's TDO, which is never reused
};

struct Player {
  JBIE_JTAG_STATE tap = JBI_ILLEGAL_JTAG_STATE;
  JBIE_JTAG_STATE endir = IDLE, enddr = IDLE;
  JBIE_JTAG_STATE run_state = IDLE, run_end = IDLE;
  ScanData sir, sdr, hir, tir, hdr, tdr;
  bool noted_frequency = false, noted_trst = false, noted_sck = false;
  // The assembled scan: bits to send, bits expected, which are compared, and those read.
  // Kept from scan to scan, so that a file of many scans allocates once.
  std::vector<uint8_t> out, expect, care, read;
  std::vector<uint64_t> differing;
  uint64_t differing_count = 0;
};

inline int bit_of(const std::vector<uint8_t> &bits, uint64_t i) {
  return (bits[i >> 3] >> (i & 7)) & 1;
}

inline void set_bit(std::vector<uint8_t> &bits, uint64_t i, int value) {
  if (value)
    bits[i >> 3] |= static_cast<uint8_t>(1u << (i & 7));
  else
    bits[i >> 3] &= static_cast<uint8_t>(~(1u << (i & 7)));
}

bool over_budget(uint64_t cycles) {
  if (svf_tck_limit <= 0) return false;
  return svf_last_play.tck_cycles + cycles > static_cast<uint64_t>(svf_tck_limit);
}

inline int clock(int tms, int tdi, int read_tdo) {
  ++svf_last_play.tck_cycles;
  return jbi_jtag_io(tms, tdi, read_tdo);
}

void reset_tap(Player &pl) {
  for (int i = 0; i < 5; ++i) clock(1, 0, 0);
  pl.tap = RESET;
}

// Along the default path; from the unknown state through Test-Logic-Reset.
void go_to(Player &pl, JBIE_JTAG_STATE target) {
  if (pl.tap == JBI_ILLEGAL_JTAG_STATE) reset_tap(pl);
  for (int steps = 0; pl.tap != target && steps < 9; ++steps) {
    const int tms = svf_tms_towards(pl.tap, target);
    clock(tms, 0, 0);
    pl.tap = svf_next_state(pl.tap, tms);
  }
}

int report(int line, int result, const char *message) {
  std::printf("SVF line %d: %s\n", line, message);
  svf_last_play.result = result;
  svf_last_play.line = line;
  return result;
}

// Sizes `bits` for `bytes` bytes without setting them: whoever asks writes every byte.
bool resize(std::vector<uint8_t> &bits, size_t bytes) {
  try {
    bits.resize(bytes);
  } catch (const std::bad_alloc &) {
    return false;
  }
  return true;
}

// Expands `hex` into `bits`, sized for `length` bits.
bool expand(SVF_HEX hex, uint32_t length, std::vector<uint8_t> &bits) {
  if (!resize(bits, (static_cast<size_t>(length) + 7) / 8)) return false;
  svf_hex_to_bits(hex, length, bits.data());
  return true;
}

// Takes a scan statement's data into `d`; 0, or an SVF_ result after reporting it.
int take_scan_data(const SVF_STATEMENT &st, ScanData &d) {
  if (st.length != d.length) {
    // A new length needs its own TDI; mask and smask start again as all ones.
    if (st.tdi.text == nullptr && st.length != 0)
      return report(st.line, SVF_SYNTAX, "TDI missing: the length differs from the last scan's");
    d.length = st.length;
    d.mask.clear();
    d.smask.clear();
  }
  bool ok = true;
  if (st.tdi.text != nullptr) ok = ok && expand(st.tdi, st.length, d.tdi);
  if (st.mask.text != nullptr) ok = ok && expand(st.mask, st.length, d.mask);
  if (st.smask.text != nullptr) ok = ok && expand(st.smask, st.length, d.smask);
  d.compare = st.tdo.text != nullptr;
  if (d.compare) ok = ok && expand(st.tdo, st.length, d.tdo);
  if (!ok) {
    d.length = 0;  // nothing of the old data is left to reuse
    return report(st.line, SVF_LIMIT, "no memory for a scan of this length");
  }
  return SVF_OK;
}

std::string hex_of(const std::vector<uint8_t> &bits, uint64_t first, uint64_t count) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (uint64_t d = (count + 3) / 4; d-- > 0;) {
    unsigned v = 0;
    for (int b = 3; b >= 0; --b) {
      const uint64_t i = d * 4 + static_cast<uint64_t>(b);
      v = v << 1 | static_cast<unsigned>(i < count ? bit_of(bits, first + i) : 0);
    }
    text += digits[v];
  }
  return text;
}

// Where bit `i` of the whole scan lies: 0 the statement's data, 1 header, 2 trailer; and its
// index there.
int place_of(uint64_t i, uint32_t header, uint32_t length, uint64_t *index) {
  if (i < header) {
    *index = i;
    return 1;
  }
  if (i - header < length) {
    *index = i - header;
    return 0;
  }
  *index = i - header - length;
  return 2;
}

void report_mismatch(const Player &pl, const SVF_STATEMENT &st, const ScanData &head,
                     const ScanData &data, const std::vector<uint8_t> &read, uint64_t total,
                     uint64_t compared) {
  const bool ir = st.command == SVF_SIR;
  const char *name = ir ? "SIR" : "SDR";
  std::printf("SVF line %d: TDO mismatch in %s of %u bits: %llu of %llu compared bits differ\n",
              st.line, name, st.length, static_cast<unsigned long long>(pl.differing_count),
              static_cast<unsigned long long>(compared));
  for (uint64_t i : pl.differing) {
    uint64_t index = 0;
    const int where = place_of(i, head.length, data.length, &index);
    const char *prefix = where == 1   ? (ir ? "HIR " : "HDR ")
                         : where == 2 ? (ir ? "TIR " : "TDR ")
                                      : "";
    std::printf("  %sbit %llu: expected %d, read %d\n", prefix,
                static_cast<unsigned long long>(index), bit_of(pl.expect, i), bit_of(read, i));
  }
  if (pl.differing_count > pl.differing.size())
    std::printf("  and %llu more\n",
                static_cast<unsigned long long>(pl.differing_count - pl.differing.size()));
  if (total <= shown_scan_bits) {
    std::printf("  expected TDO (%s)\n", hex_of(pl.expect, 0, total).c_str());
    std::printf("  read TDO     (%s)\n", hex_of(read, 0, total).c_str());
    std::printf("  compared     (%s)\n", hex_of(pl.care, 0, total).c_str());
  }
  uint64_t first = 0;
  const int where = place_of(pl.differing.front(), head.length, data.length, &first);
  svf_last_play.result = SVF_TDO_MISMATCH;
  svf_last_play.line = st.line;
  svf_last_play.differing_bits = pl.differing_count;
  svf_last_play.first_differing = first;
  svf_last_play.first_in = where;
}

// Puts the `d.length` bits of `d` (its TDI, and its TDO where compared) at `at`. Every bit
// of pl.out from `at` on is written (whole bytes may reach past the length: the next part
// writes over them); care and expect only where compared, they start as 0.
void place(Player &pl, const ScanData &d, uint64_t at) {
  if (d.length == 0) return;
  if (!d.compare && (at & 7) == 0) {
    std::memcpy(pl.out.data() + (at >> 3), d.tdi.data(), (static_cast<size_t>(d.length) + 7) / 8);
    return;
  }
  const bool all_cared = d.mask.empty();
  for (uint32_t i = 0; i < d.length; ++i) {
    set_bit(pl.out, at + i, bit_of(d.tdi, i));
    if (!d.compare) continue;
    const int care = all_cared || bit_of(d.mask, i);
    set_bit(pl.care, at + i, care);
    set_bit(pl.expect, at + i, care && bit_of(d.tdo, i));
  }
}

// Clocks the Shift cycles of a scan that compares nothing: TDI from `out`, TMS 1 on the last.
void shift_out(const uint8_t *out, uint64_t total) {
  const uint64_t last = total - 1;
  for (uint64_t i = 0; i < last; ++i) jbi_jtag_io(0, out[i >> 3] & (1u << (i & 7)), 0);
  jbi_jtag_io(1, out[last >> 3] & (1u << (last & 7)), 0);
  svf_last_play.tck_cycles += total;
}

int play_scan(Player &pl, const SVF_STATEMENT &st) {
  const bool ir = st.command == SVF_SIR;
  ScanData &data = ir ? pl.sir : pl.sdr;
  const ScanData &head = ir ? pl.hir : pl.hdr;
  const ScanData &tail = ir ? pl.tir : pl.tdr;
  const int rc = take_scan_data(st, data);
  if (rc != SVF_OK) return rc;
  const uint64_t total = uint64_t{head.length} + data.length + tail.length;
  if (total == 0) return SVF_OK;
  if (over_budget(total + 32)) return report(st.line, SVF_LIMIT, "TCK cycle limit reached");
  const bool any_compare = head.compare || data.compare || tail.compare;
  const JBIE_JTAG_STATE shift = ir ? IRSHIFT : DRSHIFT;
  const JBIE_JTAG_STATE end = ir ? pl.endir : pl.enddr;

  if (!any_compare && head.length == 0 && tail.length == 0) {
    // The statement's own bits as they are: how a configuration frame goes out.
    go_to(pl, shift);
    shift_out(data.tdi.data(), total);
    pl.tap = ir ? IREXIT1 : DREXIT1;
    go_to(pl, end);
    return SVF_OK;
  }

  const size_t bytes = static_cast<size_t>((total + 7) / 8);
  bool ok = resize(pl.out, bytes);
  if (ok && any_compare) {
    try {
      pl.expect.assign(bytes, 0);
      pl.care.assign(bytes, 0);
      pl.read.assign(bytes, 0);
    } catch (const std::bad_alloc &) {
      ok = false;
    }
  }
  if (!ok) return report(st.line, SVF_LIMIT, "no memory for a scan of this length");
  place(pl, head, 0);
  place(pl, data, head.length);
  place(pl, tail, uint64_t{head.length} + data.length);

  go_to(pl, shift);
  pl.differing.clear();
  pl.differing_count = 0;
  uint64_t compared = 0;
  if (!any_compare) {
    shift_out(pl.out.data(), total);
  } else {
    const uint64_t last = total - 1;
    for (uint64_t i = 0; i <= last; ++i) {
      const int care = bit_of(pl.care, i);
      const int tdo = clock(i == last, bit_of(pl.out, i), care);
      if (!care) continue;
      ++compared;
      set_bit(pl.read, i, tdo);
      if (tdo != bit_of(pl.expect, i)) {
        if (pl.differing.size() < listed_bits) pl.differing.push_back(i);
        ++pl.differing_count;
      }
    }
  }
  pl.tap = ir ? IREXIT1 : DREXIT1;
  go_to(pl, end);
  svf_last_play.compared_bits += compared;
  if (pl.differing_count != 0) {
    report_mismatch(pl, st, head, data, pl.read, total, compared);
    return SVF_TDO_MISMATCH;
  }
  return SVF_OK;
}

int play_state(Player &pl, const SVF_STATEMENT &st) {
  if (st.state_count == 1) {
    if (st.states[0] == RESET && pl.tap == JBI_ILLEGAL_JTAG_STATE)
      reset_tap(pl);
    else
      go_to(pl, st.states[0]);
    return SVF_OK;
  }
  int first = 0;
  if (pl.tap == JBI_ILLEGAL_JTAG_STATE) {
    if (st.states[0] != RESET)
      return report(st.line, SVF_SYNTAX, "a path from the unknown state must begin at RESET");
    reset_tap(pl);
    first = 1;
  } else if (st.states[0] == pl.tap) {
    first = 1;  // the path names where it starts
  }
  for (int i = first; i < st.state_count; ++i) {
    const JBIE_JTAG_STATE s = st.states[i];
    int tms = -1;
    if (svf_next_state(pl.tap, 0) == s)
      tms = 0;
    else if (svf_next_state(pl.tap, 1) == s)
      tms = 1;
    if (tms < 0) {
      const std::string why = std::string(svf_state_name(s)) + " does not follow " +
                              svf_state_name(pl.tap) + " in the STATE path";
      return report(st.line, SVF_SYNTAX, why.c_str());
    }
    clock(tms, 0, 0);
    pl.tap = s;
  }
  return SVF_OK;
}

void wait_seconds(double seconds) {
  double left_us = std::ceil(seconds * 1e6);
  while (left_us > 0) {
    const int32_t piece = left_us > delay_slice_us ? delay_slice_us : static_cast<int32_t>(left_us);
    jbi_delay(piece);
    left_us -= piece;
  }
}

int play_runtest(Player &pl, const SVF_STATEMENT &st) {
  if (st.run_state != JBI_ILLEGAL_JTAG_STATE) {
    pl.run_state = st.run_state;
    pl.run_end = st.run_state;
  }
  if (st.end_state != JBI_ILLEGAL_JTAG_STATE) pl.run_end = st.end_state;
  uint64_t cycles = 0;
  if (st.run_count >= 0) {
    if (!st.run_clock_is_tck) {
      if (!pl.noted_sck)
        std::printf("SVF line %d: SCK counts ignored: the port has no system clock to give\n",
                    st.line);
      pl.noted_sck = true;
    } else {
      if (st.run_count > 4e18) return report(st.line, SVF_LIMIT, "TCK cycle limit reached");
      cycles = static_cast<uint64_t>(std::llround(st.run_count));
    }
  }
  if (st.min_time > max_wait_seconds)
    return report(st.line, SVF_LIMIT, "a wait of more than an hour");
  if (cycles > 0 && !svf_is_stable(pl.run_state))
    return report(st.line, SVF_UNSUPPORTED, "TCK cycles need IDLE, RESET, DRPAUSE or IRPAUSE");
  if (over_budget(cycles + 32)) return report(st.line, SVF_LIMIT, "TCK cycle limit reached");
  go_to(pl, pl.run_state);
  const int tms = pl.run_state == RESET ? 1 : 0;
  for (uint64_t i = 0; i < cycles; ++i) clock(tms, 0, 0);
  if (st.min_time > 0) wait_seconds(st.min_time);
  go_to(pl, pl.run_end);
  return SVF_OK;
}

int play_statement(Player &pl, const SVF_STATEMENT &st) {
  switch (st.command) {
    case SVF_SIR:
    case SVF_SDR:
      return play_scan(pl, st);
    case SVF_HIR:
      return take_scan_data(st, pl.hir);
    case SVF_TIR:
      return take_scan_data(st, pl.tir);
    case SVF_HDR:
      return take_scan_data(st, pl.hdr);
    case SVF_TDR:
      return take_scan_data(st, pl.tdr);
    case SVF_ENDIR:
      pl.endir = st.states[0];
      return SVF_OK;
    case SVF_ENDDR:
      pl.enddr = st.states[0];
      return SVF_OK;
    case SVF_STATE:
      return play_state(pl, st);
    case SVF_RUNTEST:
      return play_runtest(pl, st);
    case SVF_FREQUENCY:
      if (!pl.noted_frequency)
        std::printf(
            "SVF line %d: FREQUENCY ignored: the port clocks as fast as the local bus "
            "allows\n",
            st.line);
      pl.noted_frequency = true;
      return SVF_OK;
    case SVF_TRST:
      if (!pl.noted_trst)
        std::printf("SVF line %d: TRST ignored: the board's JTAG port has no TRST line\n", st.line);
      pl.noted_trst = true;
      return SVF_OK;
    case SVF_PIO:
    case SVF_PIOMAP:
      return report(st.line, SVF_UNSUPPORTED, "PIO and PIOMAP are not supported");
  }
  return report(st.line, SVF_SYNTAX, "unknown statement");
}

}  // namespace

int svf_play(const char *text, int64_t size) {
  svf_last_play = {};
  Player pl;
  SVF_PARSER parser;
  svf_parser_init(&parser, text, size);
  SVF_STATEMENT st;
  char error[160];
  for (;;) {
    const int got = svf_parse_next(&parser, &st, error, sizeof error);
    if (got == 0) break;
    if (got < 0) return report(st.line, SVF_SYNTAX, error);
    ++svf_last_play.statements;
    const int rc = play_statement(pl, st);
    if (rc != SVF_OK) return rc;
  }
  std::printf("SVF played: %ld statements, %llu TCK cycles, %llu TDO bits compared\n",
              svf_last_play.statements, static_cast<unsigned long long>(svf_last_play.tck_cycles),
              static_cast<unsigned long long>(svf_last_play.compared_bits));
  svf_last_play.result = SVF_OK;
  return SVF_OK;
}
