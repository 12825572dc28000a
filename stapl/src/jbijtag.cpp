// The JTAG scan engine. Every TCK cycle is one jbi_jtag_io call; the engine keeps its own
// record of the TAP state and never reads it back from the chain.
#include "stapl/src/jbijtag.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#include "stapl/src/jbiexprt.h"
#include "stapl/src/jbiport.h"
#include "stapl/src/jbirun_limits.h"
#include "stapl/src/svf_writer.h"

// Indexed by the current state; IEEE 1149.1 TAP diagram.
const JBIS_JTAG_MACHINE jbi_jtag_state_transitions[16] = {
    /* RESET     */ {RESET, IDLE},
    /* IDLE      */ {DRSELECT, IDLE},
    /* DRSELECT  */ {IRSELECT, DRCAPTURE},
    /* DRCAPTURE */ {DREXIT1, DRSHIFT},
    /* DRSHIFT   */ {DREXIT1, DRSHIFT},
    /* DREXIT1   */ {DRUPDATE, DRPAUSE},
    /* DRPAUSE   */ {DREXIT2, DRPAUSE},
    /* DREXIT2   */ {DRUPDATE, DRSHIFT},
    /* DRUPDATE  */ {DRSELECT, IDLE},
    /* IRSELECT  */ {RESET, IRCAPTURE},
    /* IRCAPTURE */ {IREXIT1, IRSHIFT},
    /* IRSHIFT   */ {IREXIT1, IRSHIFT},
    /* IREXIT1   */ {IRUPDATE, IRPAUSE},
    /* IRPAUSE   */ {IREXIT2, IRPAUSE},
    /* IREXIT2   */ {IRUPDATE, IRSHIFT},
    /* IRUPDATE  */ {DRSELECT, IDLE},
};

// Indexed by the current state, bit t = TMS towards state t. From the Select states the
// way to the other column or to IDLE runs through Capture/Exit/Update, never through RESET.
const uint16_t jbi_jtag_path_map[16] = {
    0x0001, 0xFFFD, 0xFE01, 0xFFE7, 0xFFEF, 0xFF0F, 0xFFBF, 0xFF0F,
    0xFEFD, 0x0001, 0xF3FF, 0xF7FF, 0x87FF, 0xDFFF, 0x87FF, 0x7FFD,
};

JBIE_JTAG_STATE jbi_jtag_state = JBI_ILLEGAL_JTAG_STATE;
JBIE_JTAG_STATE jbi_drstop_state = IDLE;
JBIE_JTAG_STATE jbi_irstop_state = IDLE;
unsigned int jbi_dr_preamble = 0;
unsigned int jbi_dr_postamble = 0;
unsigned int jbi_ir_preamble = 0;
unsigned int jbi_ir_postamble = 0;
uint8_t *jbi_dr_preamble_data = nullptr;
uint8_t *jbi_dr_postamble_data = nullptr;
uint8_t *jbi_ir_preamble_data = nullptr;
uint8_t *jbi_ir_postamble_data = nullptr;
uint8_t *jbi_dr_buffer = nullptr;
uint8_t *jbi_ir_buffer = nullptr;
unsigned int jbi_dr_length = 0;
unsigned int jbi_ir_length = 0;
long jbi_tck_limit = 0;

namespace {

uint64_t tck_cycles_this_run = 0;

// A single cycle of the engine passes here, so that a recording of the run sees it. Runs of
// cycles (TMS sequences, waits, the bits of a shift) go to the port directly and to the
// recorder whole once clocked.
inline int tck_io(int tms, int tdi, int read_tdo) {
  const int tdo = jbi_jtag_io(tms, tdi, read_tdo);
  if (svf_recording) svf_record_tck(tms, tdi, read_tdo, tdo);
  return tdo;
}

// Written by the run's thread only and read by any (a host showing progress): a relaxed store
// of the new sum per slice costs nothing beside the slice's cycles.
std::atomic<uint64_t> shifted_bits{0};
void count_shifted(uint32_t bits) {
  shifted_bits.store(shifted_bits.load(std::memory_order_relaxed) + bits,
                     std::memory_order_relaxed);
}

// Counts `cycles` against jbi_tck_limit; true when they would exceed it.
bool over_tck_budget(uint64_t cycles) {
  if (jbi_tck_limit <= 0) return false;
  tck_cycles_this_run += cycles;
  if (tck_cycles_this_run <= static_cast<uint64_t>(jbi_tck_limit)) return false;
  jbi_limits_note(JBI_END_TCK);
  return true;
}

// TCK cycles between two looks for a stop request or the end of the run's time: a few
// hundred microseconds of clocking even on a fast port, and nothing against a cycle's cost.
// Whole bytes, so that each slice of a shift starts on a byte of the scan's bit array.
constexpr uint32_t tck_slice = 4096;
static_assert(tck_slice % 8 == 0);
// The longest piece of a timed wait between two such looks, in microseconds.
constexpr int32_t delay_slice_us = 10000;

// A scan's bit string must fit a 32-bit bit count with its byte rounding.
constexpr uint64_t max_scan_bits = 0xFFFFFFF8u;

bool is_tap_state(JBIE_JTAG_STATE state) { return state >= RESET && state <= IRUPDATE; }

// States that a run of cycles with a constant TMS leaves unchanged.
bool tms_holds(JBIE_JTAG_STATE state) {
  switch (state) {
    case RESET:
    case IDLE:
    case DRSHIFT:
    case DRPAUSE:
    case IRSHIFT:
    case IRPAUSE:
      return true;
    default:
      return false;
  }
}

inline void clock_tms(int tms) { tck_io(tms, 0, 0); }

void clock_sequence(const uint8_t *tms, int n) {
  for (int i = 0; i < n; ++i) jbi_jtag_io(tms[i], 0, 0);
  if (svf_recording) svf_record_tms(tms, n);
}

inline int get_bit(const uint8_t *data, uint64_t index) {
  return (data[index >> 3] >> (index & 7)) & 1;
}

inline void put_bit(uint8_t *data, uint64_t index, int bit) {
  const uint8_t mask = static_cast<uint8_t>(1u << (index & 7));
  if (bit)
    data[index >> 3] |= mask;
  else
    data[index >> 3] &= static_cast<uint8_t>(~mask);
}

// Copies n bits; whole bytes at a time when both positions fall on a byte boundary.
void copy_bits(uint8_t *dst, uint64_t dst_index, const uint8_t *src, uint64_t src_index,
               uint64_t n) {
  if (n == 0) return;
  if ((dst_index & 7) == 0 && (src_index & 7) == 0) {
    const uint64_t bytes = n >> 3;
    std::memcpy(dst + (dst_index >> 3), src + (src_index >> 3), bytes);
    dst_index += bytes << 3;
    src_index += bytes << 3;
    n &= 7;
  }
  for (uint64_t i = 0; i < n; ++i) put_bit(dst, dst_index + i, get_bit(src, src_index + i));
}

void jbi_jtag_reset_idle() {
  static const uint8_t reset_idle[] = {1, 1, 1, 1, 1, 0};
  clock_sequence(reset_idle, sizeof reset_idle);
  jbi_jtag_state = IDLE;
}

// Shared by the four padding setters; only the globals differ.
int set_padding(unsigned int &bits, uint8_t *&store, unsigned int count, unsigned int start_index,
                const uint8_t *data) {
  if (count > bits) {
    jbi_free(store);
    store =
        static_cast<uint8_t *>(jbi_malloc(static_cast<unsigned int>((uint64_t{count} + 7) / 8)));
    if (store == nullptr) {
      // No storage stands behind any count now; a later scan must not shift from it.
      bits = 0;
      return JBI_RC_OUT_OF_MEMORY;
    }
  }
  bits = count;
  if (count == 0) return JBI_RC_SUCCESS;
  if (data == nullptr)
    std::memset(store, 0xFF, (uint64_t{count} + 7) / 8);
  else
    copy_bits(store, 0, data, start_index, count);
  return JBI_RC_SUCCESS;
}

void jbi_jtag_concatenate_data(uint8_t *buffer, const uint8_t *preamble_data,
                               unsigned int preamble_count, const uint8_t *target_data,
                               unsigned int start_index, unsigned int target_count,
                               const uint8_t *postamble_data, unsigned int postamble_count) {
  copy_bits(buffer, 0, preamble_data, 0, preamble_count);
  copy_bits(buffer, preamble_count, target_data, start_index, target_count);
  copy_bits(buffer, uint64_t{preamble_count} + target_count, postamble_data, 0, postamble_count);
}

void jbi_jtag_extract_target_data(const uint8_t *buffer, uint8_t *target_data,
                                  unsigned int start_index, unsigned int preamble_count,
                                  unsigned int target_count) {
  copy_bits(target_data, start_index, buffer, preamble_count, target_count);
}

// Shift-state entry sequences by start code (0: from IDLE, 1: from DRPAUSE, 2: from IRPAUSE).
struct EntrySequence {
  uint8_t tms[6];
  int length;
};
constexpr EntrySequence ir_entry[3] = {{{1, 1, 0, 0}, 4}, {{1, 1, 1, 1, 0, 0}, 6}, {{1, 0}, 2}};
constexpr EntrySequence dr_entry[3] = {{{1, 0, 0}, 3}, {{1, 0}, 2}, {{1, 1, 1, 0, 0}, 5}};

// Clocks the entry sequence, `count` shift cycles (TMS 1 on the last) capturing into `tdo`
// in place when it is not null, and the Exit1 -> Pause cycle. 1 when done, 0 for an unknown
// start code, -1 when a stop or the run's time ended the shift part way (the TAP is left in
// the Shift state).
int shift_bits(const EntrySequence *entries, int start_code, uint32_t count, const uint8_t *tdi,
               uint8_t *tdo) {
  if (start_code < 0 || start_code > 2) return 0;
  clock_sequence(entries[start_code].tms, entries[start_code].length);
  if (count > 0) {
    const uint32_t last = count - 1;
    for (uint32_t from = 0; from < last;) {
      if (from != 0 && jbi_limits_check() != JBI_RC_SUCCESS) return -1;
      const uint32_t to = last - from > tck_slice ? from + tck_slice : last;
      if (tdo == nullptr) {
        for (uint32_t i = from; i < to; ++i) jbi_jtag_io(0, tdi[i >> 3] & (1u << (i & 7)), 0);
        if (svf_recording) svf_record_shift(tdi + (from >> 3), nullptr, to - from);
      } else {
        // Each bit goes out on TDI before the level captured in its cycle takes its place, so
        // a recording keeps the slice's TDI bits aside first.
        uint8_t sent[tck_slice / 8];
        if (svf_recording) std::memcpy(sent, tdi + (from >> 3), (to - from + 7) / 8);
        for (uint32_t i = from; i < to; ++i)
          put_bit(tdo, i, jbi_jtag_io(0, tdi[i >> 3] & (1u << (i & 7)), 1));
        if (svf_recording) svf_record_shift(sent, tdo + (from >> 3), to - from);
      }
      count_shifted(to - from);
      from = to;
    }
    count_shifted(1);
    const int tdi_last = tdi[last >> 3] & (1u << (last & 7));
    if (tdo == nullptr)
      tck_io(1, tdi_last, 0);
    else
      put_bit(tdo, last, tck_io(1, tdi_last, 1));
  }
  clock_tms(0);
  return 1;
}

int jbi_jtag_irscan(int start_code, uint32_t count, const uint8_t *tdi, uint8_t *tdo) {
  return shift_bits(ir_entry, start_code, count, tdi, tdo);
}

int jbi_jtag_drscan(int start_code, uint32_t count, const uint8_t *tdi, uint8_t *tdo) {
  return shift_bits(dr_entry, start_code, count, tdi, tdo);
}

// The instruction and data registers differ only in these.
struct ScanRegister {
  unsigned int &preamble;
  unsigned int &postamble;
  uint8_t *&preamble_data;
  uint8_t *&postamble_data;
  uint8_t *&buffer;
  unsigned int &capacity;
  JBIE_JTAG_STATE &stop_state;
  JBIE_JTAG_STATE pause_state;
  int (*shift)(int, uint32_t, const uint8_t *, uint8_t *);
};

ScanRegister ir_register() {
  return {jbi_ir_preamble,       jbi_ir_postamble, jbi_ir_preamble_data,
          jbi_ir_postamble_data, jbi_ir_buffer,    jbi_ir_length,
          jbi_irstop_state,      IRPAUSE,          jbi_jtag_irscan};
}

ScanRegister dr_register() {
  return {jbi_dr_preamble,       jbi_dr_postamble, jbi_dr_preamble_data,
          jbi_dr_postamble_data, jbi_dr_buffer,    jbi_dr_length,
          jbi_drstop_state,      DRPAUSE,          jbi_jtag_drscan};
}

// One scan, with capture into out_data when it is not null.
int scan(const ScanRegister &reg, unsigned int count, const uint8_t *in_data, unsigned int in_index,
         uint8_t *out_data, unsigned int out_index) {
  const uint64_t shift_count = uint64_t{reg.preamble} + count + reg.postamble;
  // An empty scan would leave the TAP in a Shift state while the record says Pause.
  if (shift_count == 0) return JBI_RC_SUCCESS;
  if (shift_count > max_scan_bits) return JBI_RC_OUT_OF_MEMORY;
  // Entry, shift and the walk to the stop state: at most 16 cycles beyond the bits.
  if (over_tck_budget(shift_count + 16)) return JBI_RC_CANCELLED;

  JBIE_JTAG_STATE start_state = IDLE;
  int start_code = 0;
  if (jbi_jtag_state >= DRSELECT && jbi_jtag_state <= DRUPDATE) {
    start_state = DRPAUSE;
    start_code = 1;
  } else if (jbi_jtag_state >= IRSELECT && jbi_jtag_state <= IRUPDATE) {
    start_state = IRPAUSE;
    start_code = 2;
  }
  if (jbi_jtag_state != start_state) {
    const int rc = jbi_goto_jtag_state(start_state);
    if (rc != JBI_RC_SUCCESS) return rc;
  }

  if (shift_count > reg.capacity) {
    jbi_free(reg.buffer);
    const uint32_t bytes = static_cast<uint32_t>((shift_count + 7) / 8);
    reg.buffer = static_cast<uint8_t *>(jbi_malloc(bytes));
    if (reg.buffer == nullptr) {
      reg.capacity = 0;
      return JBI_RC_OUT_OF_MEMORY;
    }
    reg.capacity = bytes * 8;
  }

  jbi_jtag_concatenate_data(reg.buffer, reg.preamble_data, reg.preamble, in_data, in_index, count,
                            reg.postamble_data, reg.postamble);
  if (svf_recording) svf_record_scan_target(reg.preamble, count);
  if (reg.shift(start_code, static_cast<uint32_t>(shift_count), reg.buffer,
                out_data != nullptr ? reg.buffer : nullptr) < 0) {
    // Stopped inside the shift: the record must be a real state, so the end of the run
    // resets the TAP from where it stands.
    jbi_jtag_state = reg.pause_state == IRPAUSE ? IRSHIFT : DRSHIFT;
    return JBI_RC_CANCELLED;
  }
  jbi_jtag_state = reg.pause_state;

  int rc = JBI_RC_SUCCESS;
  if (reg.stop_state != reg.pause_state) rc = jbi_goto_jtag_state(reg.stop_state);
  if (rc == JBI_RC_SUCCESS && out_data != nullptr)
    jbi_jtag_extract_target_data(reg.buffer, out_data, out_index, reg.preamble, count);
  return rc;
}

}  // namespace

uint64_t jbi_bits_shifted(void) { return shifted_bits.load(std::memory_order_relaxed); }

int jbi_init_jtag() {
  tck_cycles_this_run = 0;
  jbi_jtag_state = JBI_ILLEGAL_JTAG_STATE;
  jbi_drstop_state = IDLE;
  jbi_irstop_state = IDLE;
  jbi_dr_preamble = jbi_dr_postamble = jbi_ir_preamble = jbi_ir_postamble = 0;
  jbi_dr_preamble_data = jbi_dr_postamble_data = nullptr;
  jbi_ir_preamble_data = jbi_ir_postamble_data = nullptr;
  jbi_dr_buffer = jbi_ir_buffer = nullptr;
  jbi_dr_length = jbi_ir_length = 0;
  return JBI_RC_SUCCESS;
}

int jbi_set_drstop_state(JBIE_JTAG_STATE state) {
  jbi_drstop_state = state;
  return JBI_RC_SUCCESS;
}

int jbi_set_irstop_state(JBIE_JTAG_STATE state) {
  jbi_irstop_state = state;
  return JBI_RC_SUCCESS;
}

int jbi_set_dr_preamble(unsigned int count, unsigned int start_index,
                        const uint8_t *preamble_data) {
  return set_padding(jbi_dr_preamble, jbi_dr_preamble_data, count, start_index, preamble_data);
}

int jbi_set_ir_preamble(unsigned int count, unsigned int start_index,
                        const uint8_t *preamble_data) {
  return set_padding(jbi_ir_preamble, jbi_ir_preamble_data, count, start_index, preamble_data);
}

int jbi_set_dr_postamble(unsigned int count, unsigned int start_index,
                         const uint8_t *postamble_data) {
  return set_padding(jbi_dr_postamble, jbi_dr_postamble_data, count, start_index, postamble_data);
}

int jbi_set_ir_postamble(unsigned int count, unsigned int start_index,
                         const uint8_t *postamble_data) {
  return set_padding(jbi_ir_postamble, jbi_ir_postamble_data, count, start_index, postamble_data);
}

int jbi_goto_jtag_state(JBIE_JTAG_STATE state) {
  // The path map has no bit for a number outside the diagram; walking towards one would
  // only clock the TAP somewhere the program did not ask for.
  if (!is_tap_state(state)) return JBI_RC_INTERNAL;
  if (jbi_jtag_state == JBI_ILLEGAL_JTAG_STATE) jbi_jtag_reset_idle();

  if (jbi_jtag_state == state) {
    if (state == RESET)
      clock_tms(1);
    else if (tms_holds(state))
      clock_tms(0);
    return JBI_RC_SUCCESS;
  }

  for (int cycles = 0; cycles < 9 && jbi_jtag_state != state; ++cycles) {
    const int tms = (jbi_jtag_path_map[jbi_jtag_state] >> state) & 1;
    clock_tms(tms);
    const JBIS_JTAG_MACHINE &next = jbi_jtag_state_transitions[jbi_jtag_state];
    jbi_jtag_state = tms ? next.tms_high : next.tms_low;
  }
  return jbi_jtag_state == state ? JBI_RC_SUCCESS : JBI_RC_INTERNAL;
}

int jbi_do_wait_cycles(int32_t cycles, JBIE_JTAG_STATE wait_state) {
  // Clocking in a state that TMS does not hold would walk the TAP away from the record.
  if (!tms_holds(wait_state)) return JBI_RC_INTERNAL;
  if (jbi_jtag_state != wait_state) {
    const int rc = jbi_goto_jtag_state(wait_state);
    if (rc != JBI_RC_SUCCESS) return rc;
  }
  if (cycles > 0 && over_tck_budget(static_cast<uint64_t>(cycles))) return JBI_RC_CANCELLED;
  const int tms = wait_state == RESET ? 1 : 0;
  for (int32_t done = 0; done < cycles;) {
    if (done != 0 && jbi_limits_check() != JBI_RC_SUCCESS) return JBI_RC_CANCELLED;
    const int32_t to = cycles - done > static_cast<int32_t>(tck_slice)
                           ? done + static_cast<int32_t>(tck_slice)
                           : cycles;
    for (int32_t i = done; i < to; ++i) jbi_jtag_io(tms, 0, 0);
    if (svf_recording) svf_record_hold(tms, static_cast<uint32_t>(to - done));
    done = to;
  }
  return JBI_RC_SUCCESS;
}

int jbi_do_wait_microseconds(int32_t microseconds, JBIE_JTAG_STATE wait_state) {
  if (jbi_jtag_state != JBI_ILLEGAL_JTAG_STATE && jbi_jtag_state != wait_state) {
    const int rc = jbi_goto_jtag_state(wait_state);
    if (rc != JBI_RC_SUCCESS) return rc;
  }
  if (svf_recording) svf_record_delay(microseconds);
  // A wait may be half an hour long: it is taken in pieces so that a stop ends it.
  for (int32_t left = microseconds; left > 0; left -= delay_slice_us) {
    if (left != microseconds && jbi_limits_check() != JBI_RC_SUCCESS) return JBI_RC_CANCELLED;
    jbi_delay(left > delay_slice_us ? delay_slice_us : left);
  }
  return JBI_RC_SUCCESS;
}

int jbi_do_irscan(unsigned int count, const uint8_t *tdi_data, unsigned int start_index) {
  return scan(ir_register(), count, tdi_data, start_index, nullptr, 0);
}

int jbi_do_drscan(unsigned int count, const uint8_t *tdi_data, unsigned int start_index) {
  return scan(dr_register(), count, tdi_data, start_index, nullptr, 0);
}

int jbi_swap_ir(unsigned int count, const uint8_t *in_data, unsigned int in_index,
                uint8_t *out_data, unsigned int out_index) {
  return scan(ir_register(), count, in_data, in_index, out_data, out_index);
}

int jbi_swap_dr(unsigned int count, const uint8_t *in_data, unsigned int in_index,
                uint8_t *out_data, unsigned int out_index) {
  return scan(dr_register(), count, in_data, in_index, out_data, out_index);
}

void jbi_free_jtag_padding_buffers(int reset_jtag) {
  if (reset_jtag != 0 && jbi_jtag_state != JBI_ILLEGAL_JTAG_STATE) jbi_jtag_reset_idle();
  uint8_t **stores[] = {&jbi_dr_preamble_data,  &jbi_dr_postamble_data, &jbi_ir_preamble_data,
                        &jbi_ir_postamble_data, &jbi_dr_buffer,         &jbi_ir_buffer};
  for (uint8_t **store : stores) {
    jbi_free(*store);
    *store = nullptr;
  }
}
