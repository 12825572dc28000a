// The JTAG scan engine: moves the target's TAP controller between states and shifts
// instruction and data registers, one jbi_jtag_io call per TCK cycle. Its state is global
// (one interpreter run at a time); the interpreter calls jbi_init_jtag before a run and
// jbi_free_jtag_padding_buffers after it.
//
// Bit arrays: element i is bit (i mod 8) of byte (i div 8); bit 0 is shifted first.
// Results: 0 success, 1 out of memory, 10 internal error (a state that cannot be reached).
#pragma once

#include <cstdint>

// TAP states; the numbers are those the byte-code uses to name them.
enum JBIE_JTAG_STATE : int {
  JBI_ILLEGAL_JTAG_STATE = -1,
  RESET = 0,
  IDLE = 1,
  DRSELECT = 2,
  DRCAPTURE = 3,
  DRSHIFT = 4,
  DREXIT1 = 5,
  DRPAUSE = 6,
  DREXIT2 = 7,
  DRUPDATE = 8,
  IRSELECT = 9,
  IRCAPTURE = 10,
  IRSHIFT = 11,
  IREXIT1 = 12,
  IRPAUSE = 13,
  IREXIT2 = 14,
  IRUPDATE = 15,
};

// One row of the TAP state diagram: the next state with TMS high and with TMS low.
struct JBIS_JTAG_MACHINE {
  JBIE_JTAG_STATE tms_high;
  JBIE_JTAG_STATE tms_low;
};

extern const JBIS_JTAG_MACHINE jbi_jtag_state_transitions[16];
// Bit t of the word for state s: the TMS level that moves one step from s towards t.
extern const uint16_t jbi_jtag_path_map[16];

// Engine state, reset by jbi_init_jtag.
extern JBIE_JTAG_STATE jbi_jtag_state;
extern JBIE_JTAG_STATE jbi_drstop_state;
extern JBIE_JTAG_STATE jbi_irstop_state;
extern unsigned int jbi_dr_preamble;
extern unsigned int jbi_dr_postamble;
extern unsigned int jbi_ir_preamble;
extern unsigned int jbi_ir_postamble;
extern uint8_t *jbi_dr_preamble_data;
extern uint8_t *jbi_dr_postamble_data;
extern uint8_t *jbi_ir_preamble_data;
extern uint8_t *jbi_ir_postamble_data;
extern uint8_t *jbi_dr_buffer;
extern uint8_t *jbi_ir_buffer;
extern unsigned int jbi_dr_length;  // capacity of jbi_dr_buffer in bits
extern unsigned int jbi_ir_length;  // capacity of jbi_ir_buffer in bits

// TCK cycles one run may clock (0 = no limit). Harnesses that run untrusted files set it: one
// WAIT or padded scan of a legal file may ask for 2^31 cycles. A scan or wait that would go
// past it clocks nothing and returns 19 ("execution cancelled"). jbi_init_jtag restarts the count.
extern long jbi_tck_limit;

// Forgets the TAP state (the next move resets it), sets both stop states to IDLE and drops
// all padding; storage of a previous run must already have been released.
int jbi_init_jtag();

int jbi_set_drstop_state(JBIE_JTAG_STATE state);
int jbi_set_irstop_state(JBIE_JTAG_STATE state);

// Padding around the target device: `count` bits taken from `data` starting at bit
// `start_index`, or all ones when `data` is null. 0, or 1 when storage cannot be had.
int jbi_set_dr_preamble(unsigned int count, unsigned int start_index, const uint8_t *preamble_data);
int jbi_set_ir_preamble(unsigned int count, unsigned int start_index, const uint8_t *preamble_data);
int jbi_set_dr_postamble(unsigned int count, unsigned int start_index,
                         const uint8_t *postamble_data);
int jbi_set_ir_postamble(unsigned int count, unsigned int start_index,
                         const uint8_t *postamble_data);

// Walks the TAP to `state` (0..15) along the path map; a state that is not a TAP state is
// refused with 10 before any cycle is clocked.
int jbi_goto_jtag_state(JBIE_JTAG_STATE state);

// Clocks `cycles` TCK cycles in `wait_state`, which must be one TMS can hold: RESET (TMS 1),
// or IDLE, DRSHIFT, DRPAUSE, IRSHIFT, IRPAUSE (TMS 0). Other states are refused with 10.
int jbi_do_wait_cycles(int32_t cycles, JBIE_JTAG_STATE wait_state);
// Moves to `wait_state` (unless the TAP state is still unknown) and waits.
int jbi_do_wait_microseconds(int32_t microseconds, JBIE_JTAG_STATE wait_state);

// Shifts `count` target bits of `tdi_data` from bit `start_index` on, wrapped in the
// padding, and ends in the stop state. The engine does not check the arrays' sizes.
int jbi_do_irscan(unsigned int count, const uint8_t *tdi_data, unsigned int start_index);
int jbi_do_drscan(unsigned int count, const uint8_t *tdi_data, unsigned int start_index);

// As the scans, and the captured target bits land in `out_data` from bit `out_index` on.
// `out_data` may be `in_data` itself.
int jbi_swap_ir(unsigned int count, const uint8_t *in_data, unsigned int in_index,
                uint8_t *out_data, unsigned int out_index);
int jbi_swap_dr(unsigned int count, const uint8_t *in_data, unsigned int in_index,
                uint8_t *out_data, unsigned int out_index);

// End of a run: resets the TAP to IDLE if `reset_jtag` and the state is known, then
// releases all padding and scan storage.
void jbi_free_jtag_padding_buffers(int reset_jtag);
