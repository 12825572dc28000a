// The byte-code machine's run state and the split of its work across files:
// jbimain_load.cpp (start-up and clean-up), jbimain_dispatch.cpp (the fetch-decode loop and
// the hot stack, arithmetic and control instructions), jbimain_exec.cpp (jbi_execute and the
// rarer stack, arithmetic and control instructions), jbimain_array.cpp (variables and arrays),
// jbimain_jtag.cpp (scans, padding, waits), jbimain_print.cpp (message text and export).
//
// Invariant kept from start-up to clean-up: an array symbol's storage always holds at least
// variable_size[i] elements, so checking an index range against variable_size is enough
// before any element is touched.
#pragma once

#include <cstdint>

#include "stapl/src/jbiexprt.h"
#include "stapl/src/jbimain_file.h"

constexpr int JBI_STACK_SIZE = 128;
constexpr int JBI_MESSAGE_LENGTH = 1024;  // characters, without the terminating NUL

// Largest single allocation the interpreter asks for. Larger requests (an array size or an
// unpacked length from a hostile file) are treated as out of memory instead of handed on.
constexpr uint64_t JBI_MAX_STORAGE_BYTES = uint64_t{1} << 27;

// Symbol attribute bits.
constexpr uint8_t JBI_ATTR_NATIVE = 0x01;      // integer array held as native values
constexpr uint8_t JBI_ATTR_COMPRESSED = 0x02;  // initial data is compressed
constexpr uint8_t JBI_ATTR_INITIAL = 0x04;     // initial value or data in the file
constexpr uint8_t JBI_ATTR_ARRAY = 0x08;
constexpr uint8_t JBI_ATTR_INTEGER = 0x10;  // integer elements (else Boolean)
constexpr uint8_t JBI_ATTR_OWNED = 0x80;    // storage allocated by the interpreter

// Procedure selection bits added to the file's 2-bit attribute.
constexpr uint8_t JBI_PROC_SKIP = 0x40;
constexpr uint8_t JBI_PROC_RUN = 0x80;

struct JbiMachine {
  const unsigned char *program;
  int64_t program_size;
  JbiHeader h;

  uint32_t pc;
  uint32_t opcode_address;
  int32_t stack[JBI_STACK_SIZE];
  int stack_ptr;

  // One entry per symbol. A scalar's value; an array's storage: a pointer (as intptr_t) when
  // the interpreter owns it (bit 0x80), else the offset of its initial data in `program`.
  intptr_t *variables;
  int32_t *variable_size;
  uint8_t *attributes;
  uint8_t *proc_attributes;
  int32_t current_proc;

  char message_buffer[JBI_MESSAGE_LENGTH + 1];
  int message_length;
  unsigned char charbuf[4];

  int done;
  int status;
  int *exit_code;
  long error_address;  // code offset of the failing instruction
  int failed_in_loop;  // an instruction failed (start-up failures leave error_address alone)
};

// ---- start-up and clean-up (jbimain_load.cpp) ----
// Steps up to the first instruction: variable table, initial values, action and first
// procedure. Sets m->status and m->done; leaves m->pc at the first instruction.
void jbi_start_run(JbiMachine *m, const char *action, const char *const *init_list);
// Moves to the next runnable procedure after the current one, or ends the action.
void jbi_next_procedure(JbiMachine *m);
// Releases everything the run allocated.
void jbi_end_run(JbiMachine *m, int reset_jtag);
// Sets m->pc to code_section + offset, or fails the instruction with 11 when the target
// falls outside the code.
void jbi_jump(JbiMachine *m, uint32_t offset);

// ---- the loop and the rarer instructions (jbimain_dispatch.cpp, jbimain_exec.cpp) ----
// Executes instructions from m->pc until the run ends; sets m->done, m->status and, when an
// instruction fails, m->error_address.
void jbi_run(JbiMachine *m);
void jbi_op_divide(JbiMachine *m, bool remainder);
void jbi_op_compare_masked(JbiMachine *m);
void jbi_op_stack_batch(JbiMachine *m);
void jbi_op_return(JbiMachine *m);

// ---- variables and arrays (jbimain_array.cpp) ----
// Reads of a Boolean array's bits, wherever they lie; null for a symbol that is not one.
const unsigned char *jbi_bool_data(const JbiMachine *m, uint32_t var);
// True when bits [start, start + count) of Boolean array `var` exist (count >= 0).
bool jbi_bool_range_ok(const JbiMachine *m, uint32_t var, int64_t start, int64_t count);
// Format 2: gives an array that still lies in the file a private copy before it is written.
// False (status 1) when the copy cannot be allocated.
bool jbi_copy_on_write(JbiMachine *m, uint32_t var);
void jbi_op_store_int_element(JbiMachine *m, uint32_t var);
void jbi_op_store_bool_range(JbiMachine *m, uint32_t var);
void jbi_op_push_int_element(JbiMachine *m, uint32_t var);
void jbi_op_push_bool_range(JbiMachine *m, uint32_t var);
void jbi_op_resize_array(JbiMachine *m, uint32_t var);
void jbi_op_copy_bool_range(JbiMachine *m, uint32_t source, uint32_t destination);
void jbi_op_compare_bool_ranges(JbiMachine *m, uint32_t source1, uint32_t source2, uint32_t mask);

// ---- JTAG (jbimain_jtag.cpp) ----
void jbi_op_scan_value(JbiMachine *m, int opcode);
void jbi_op_padding(JbiMachine *m, int opcode, uint32_t var);
void jbi_op_scan_array(JbiMachine *m, int opcode, uint32_t var);
void jbi_op_scan_array_capture(JbiMachine *m, int opcode, uint32_t scan, uint32_t capture);
void jbi_op_wait(JbiMachine *m, uint32_t wait_state, uint32_t end_state);
void jbi_op_state(JbiMachine *m, int opcode, uint32_t state);

// ---- message text and export (jbimain_print.cpp) ----
void jbi_op_print_integer(JbiMachine *m);
void jbi_op_print_char(JbiMachine *m);
void jbi_op_print_string(JbiMachine *m, uint32_t offset);
void jbi_op_print_flush(JbiMachine *m);
void jbi_op_export_integer(JbiMachine *m, uint32_t key);
void jbi_op_export_bool_array(JbiMachine *m, uint32_t key);

// ---- small shared helpers ----
inline bool jbi_need(JbiMachine *m, int64_t count) {
  if (m->stack_ptr >= count) return true;
  m->status = JBI_RC_STACK_OVERFLOW;
  return false;
}
inline int32_t jbi_pop(JbiMachine *m) { return m->stack[--m->stack_ptr]; }
inline void jbi_push(JbiMachine *m, int32_t value) {
  if (m->stack_ptr >= JBI_STACK_SIZE) {
    m->status = JBI_RC_STACK_OVERFLOW;
    return;
  }
  m->stack[m->stack_ptr++] = value;
}
// A variable operand from the file: true when it names a symbol, else the instruction fails.
inline bool jbi_variable_ok(JbiMachine *m, uint32_t var) {
  if (var < m->h.symbol_count) return true;
  m->status = JBI_RC_BOUNDS;
  return false;
}
inline void jbi_fail(JbiMachine *m, int code) { m->status = code; }

inline bool jbi_get_bit(const unsigned char *data, int64_t bit) {
  return (data[bit >> 3] >> (bit & 7)) & 1;
}
inline void jbi_set_bit(unsigned char *data, int64_t bit, bool value) {
  const unsigned char mask = static_cast<unsigned char>(1u << (bit & 7));
  if (value) {
    data[bit >> 3] |= mask;
  } else {
    data[bit >> 3] &= static_cast<unsigned char>(~mask);
  }
}

// Storage allocation with the size cap; null when refused or unavailable.
void *jbi_alloc_storage(uint64_t bytes);
