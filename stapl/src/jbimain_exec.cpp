// jbi_execute and the fetch-decode loop. The stack, arithmetic and control instructions are
// executed right here; the others call the instruction groups of the other jbimain files.
#include "stapl/src/jbimain_machine.h"
#include "stapl/src/jbiopcodes.h"

long jbi_instruction_limit = 0;

namespace {

// Exchange positions a and b counted from the top (top = 1); false when too shallow.
bool exchange(JbiMachine* m, int a, int b) {
  if (m->stack_ptr < a || m->stack_ptr < b) {
    m->status = JBI_RC_STACK_OVERFLOW;
    return false;
  }
  int32_t& x = m->stack[m->stack_ptr - a];
  int32_t& y = m->stack[m->stack_ptr - b];
  const int32_t t = x;
  x = y;
  y = t;
  return true;
}

// Push a copy of position p counted from the top.
void copy_up(JbiMachine* m, int p) {
  if (m->stack_ptr < p) {
    m->status = JBI_RC_STACK_OVERFLOW;
    return;
  }
  jbi_push(m, m->stack[m->stack_ptr - p]);
}

void stack_batch(JbiMachine* m) {
  exchange(m, 1, 2);
  exchange(m, 1, 8);
  exchange(m, 1, 2);
  exchange(m, 1, 7);
  copy_up(m, 9);
  exchange(m, 1, 3);
  exchange(m, 1, 2);
  copy_up(m, 7);
  copy_up(m, 7);
}

// Two-value instructions: second (left) and top (right) are replaced by one result.
#define BINARY(expr)                                           \
  if (jbi_need(m, 2)) {                                        \
    const int32_t right = m->stack[m->stack_ptr - 1];          \
    const int32_t left = m->stack[m->stack_ptr - 2];           \
    m->stack[m->stack_ptr - 2] = (expr);                       \
    --m->stack_ptr;                                            \
  }

// Wrapping arithmetic without signed overflow.
inline int32_t wrap(uint32_t v) { return static_cast<int32_t>(v); }
inline uint32_t u(int32_t v) { return static_cast<uint32_t>(v); }

void divide(JbiMachine* m, bool remainder) {
  if (!jbi_need(m, 2)) return;
  const int32_t right = m->stack[m->stack_ptr - 1];
  const int32_t left = m->stack[m->stack_ptr - 2];
  if (right == 0) {
    m->status = JBI_RC_DIVIDE_BY_ZERO;
    return;
  }
  int32_t result;
  if (right == -1) {  // the most negative value divided by -1 wraps to itself
    result = remainder ? 0 : wrap(0u - u(left));
  } else {
    result = remainder ? left % right : left / right;
  }
  m->stack[m->stack_ptr - 2] = result;
  --m->stack_ptr;
}

void compare_masked(JbiMachine* m) {
  if (!jbi_need(m, 4)) return;
  const uint32_t a = u(jbi_pop(m));
  const uint32_t b = u(jbi_pop(m));
  uint32_t mask = u(jbi_pop(m));
  const int32_t n = m->stack[m->stack_ptr - 1];
  if (n < 1 || n > 32) {
    m->status = JBI_RC_BOUNDS;
    return;
  }
  if (n < 32) mask &= (1u << n) - 1u;
  m->stack[m->stack_ptr - 1] = (a & mask) == (b & mask) ? 1 : 0;
}

void op_return(JbiMachine* m) {
  if (m->h.version == 1 && m->stack_ptr == 0) {
    jbi_next_procedure(m);
    return;
  }
  if (!jbi_need(m, 1)) return;
  const uint32_t offset = u(jbi_pop(m));
  // A return offset is never 0: it always follows a call.
  if (offset == 0) {
    m->status = JBI_RC_BOUNDS;
    return;
  }
  jbi_jump(m, offset);
}

void loop_next(JbiMachine* m, uint32_t var) {
  if (!jbi_need(m, 3) || !jbi_variable_ok(m, var)) return;
  // The loop variable is a scalar; an array's entry holds its storage, not a number.
  if (m->attributes[var] & JBI_ATTR_ARRAY) {
    jbi_fail(m, JBI_RC_BOUNDS);
    return;
  }
  const int32_t step = m->stack[m->stack_ptr - 1];
  const int32_t end = m->stack[m->stack_ptr - 2];
  const uint32_t body = u(m->stack[m->stack_ptr - 3]);
  const int32_t v = static_cast<int32_t>(m->variables[var]);
  if ((step < 0 && v <= end) || (step >= 0 && v >= end)) {
    m->stack_ptr -= 3;
    return;
  }
  m->variables[var] = wrap(u(v) + u(step));
  jbi_jump(m, body);
}

void push_variable(JbiMachine* m, uint32_t var) {
  if (!jbi_variable_ok(m, var)) return;
  if (m->attributes[var] & JBI_ATTR_ARRAY) {
    jbi_fail(m, JBI_RC_BOUNDS);
    return;
  }
  jbi_push(m, static_cast<int32_t>(m->variables[var]));
}

void store_variable(JbiMachine* m, uint32_t var) {
  if (!jbi_need(m, 1) || !jbi_variable_ok(m, var)) return;
  if (m->attributes[var] & JBI_ATTR_ARRAY) {
    jbi_fail(m, JBI_RC_BOUNDS);
    return;
  }
  m->variables[var] = jbi_pop(m);
}

// Executes instructions until the run ends.
void run(JbiMachine* m) {
  const unsigned char* const program = m->program;
  const uint32_t code_end = m->h.debug_section;
  const long limit = jbi_instruction_limit;
  long executed = 0;
  uint32_t args[3];

  while (!m->done) {
    // ---- fetch ----
    const uint32_t at = m->pc;
    m->opcode_address = at;
    const unsigned opcode = at < code_end ? program[at] : 0;  // debug_section <= program_size
    const int operands = jbi_operand_count(opcode);
    if (uint64_t{at} + 1 + 4u * operands > code_end) {
      m->status = JBI_RC_BOUNDS;  // the code ends inside, or before, this instruction
    } else if (limit > 0 && ++executed > limit) {
      m->status = JBI_RC_CANCELLED;
    } else {
      for (int k = 0; k < operands; ++k) args[k] = jbi_be32(program + at + 1 + 4 * k);
      m->pc = at + 1 + 4u * operands;

      // ---- execute ----
      switch (opcode) {
        case OP_NOOP: break;
        case OP_DUPLICATE: if (jbi_need(m, 1)) jbi_push(m, m->stack[m->stack_ptr - 1]); break;
        case OP_SWAP: exchange(m, 1, 2); break;
        case OP_ADD: BINARY(wrap(u(left) + u(right))); break;
        case OP_SUBTRACT: BINARY(wrap(u(left) - u(right))); break;
        case OP_MULTIPLY: BINARY(wrap(u(left) * u(right))); break;
        case OP_DIVIDE: divide(m, false); break;
        case OP_REMAINDER: divide(m, true); break;
        case OP_SHIFT_LEFT: BINARY(wrap(u(left) << (u(right) & 31))); break;
        case OP_SHIFT_RIGHT: BINARY(left >> (u(right) & 31)); break;
        case OP_BIT_NOT: if (jbi_need(m, 1)) m->stack[m->stack_ptr - 1] = ~m->stack[m->stack_ptr - 1]; break;
        case OP_BIT_AND: BINARY(left & right); break;
        case OP_BIT_OR: BINARY(left | right); break;
        case OP_BIT_XOR: BINARY(left ^ right); break;
        case OP_LOGICAL_NOT: if (jbi_need(m, 1)) m->stack[m->stack_ptr - 1] = m->stack[m->stack_ptr - 1] == 0; break;
        case OP_GREATER: BINARY(left > right ? 1 : 0); break;
        case OP_LESS: BINARY(left < right ? 1 : 0); break;
        case OP_RETURN: op_return(m); break;
        case OP_COMPARE_MASKED: compare_masked(m); break;
        case OP_PRINT_INTEGER: jbi_op_print_integer(m); break;
        case OP_PRINT_FLUSH: jbi_op_print_flush(m); break;
        case OP_DRSCAN_VALUE:
        case OP_DRSCAN_VALUE_CAPTURE:
        case OP_IRSCAN_VALUE:
        case OP_IRSCAN_VALUE_CAPTURE: jbi_op_scan_value(m, opcode); break;
        case OP_DR_PREAMBLE:
        case OP_DR_PREAMBLE_VALUE:
        case OP_DR_POSTAMBLE:
        case OP_DR_POSTAMBLE_VALUE:
        case OP_IR_PREAMBLE:
        case OP_IR_PREAMBLE_VALUE:
        case OP_IR_POSTAMBLE:
        case OP_IR_POSTAMBLE_VALUE: jbi_op_padding(m, opcode, 0); break;
        case OP_PRINT_CHAR: jbi_op_print_char(m); break;
        case OP_EXIT:
          if (jbi_need(m, 1)) {
            *m->exit_code = jbi_pop(m);
            m->done = 1;
          }
          break;
        case OP_EQUAL: BINARY(left == right ? 1 : 0); break;
        case OP_DROP: if (jbi_need(m, 1)) --m->stack_ptr; break;
        case OP_ABSOLUTE:
          if (jbi_need(m, 1) && m->stack[m->stack_ptr - 1] < 0) {
            m->stack[m->stack_ptr - 1] = wrap(0u - u(m->stack[m->stack_ptr - 1]));
          }
          break;
        case OP_STACK_BATCH: stack_batch(m); break;
        case OP_PUSH_ZERO: jbi_push(m, 0); break;

        case OP_PUSH_LITERAL: jbi_push(m, static_cast<int32_t>(args[0])); break;
        case OP_PUSH_VARIABLE: push_variable(m, args[0]); break;
        case OP_JUMP: jbi_jump(m, args[0]); break;
        case OP_CALL:
          jbi_push(m, wrap(m->pc - m->h.code_section));
          if (m->status == 0) jbi_jump(m, args[0]);
          break;
        case OP_LOOP_NEXT: loop_next(m, args[0]); break;
        case OP_PRINT_STRING: jbi_op_print_string(m, args[0]); break;
        case OP_MOVE_STATE:
        case OP_GOTO_STATE:
        case OP_IRSTOP:
        case OP_DRSTOP: jbi_op_state(m, opcode, args[0]); break;
        case OP_SWAP_DEEP:
          if (jbi_need(m, int64_t{args[0]} + 1)) exchange(m, 1, static_cast<int>(args[0]) + 1);
          break;
        case OP_DUPLICATE_DEEP:
          if (jbi_need(m, int64_t{args[0]} + 1)) copy_up(m, static_cast<int>(args[0]) + 1);
          break;
        case OP_STORE_VARIABLE: store_variable(m, args[0]); break;
        case OP_STORE_INT_ELEMENT: jbi_op_store_int_element(m, args[0]); break;
        case OP_STORE_BOOL_RANGE: jbi_op_store_bool_range(m, args[0]); break;
        case OP_JUMP_IF_ZERO:
          if (jbi_need(m, 1) && jbi_pop(m) == 0) jbi_jump(m, args[0]);
          break;
        case OP_DRSCAN_ARRAY:
        case OP_IRSCAN_ARRAY: jbi_op_scan_array(m, opcode, args[0]); break;
        case OP_DR_PREAMBLE_ARRAY:
        case OP_DR_POSTAMBLE_ARRAY:
        case OP_IR_PREAMBLE_ARRAY:
        case OP_IR_POSTAMBLE_ARRAY: jbi_op_padding(m, opcode, args[0]); break;
        case OP_EXPORT_INTEGER: jbi_op_export_integer(m, args[0]); break;
        case OP_PUSH_INT_ELEMENT: jbi_op_push_int_element(m, args[0]); break;
        case OP_PUSH_BOOL_RANGE: jbi_op_push_bool_range(m, args[0]); break;
        case OP_RESIZE_ARRAY: jbi_op_resize_array(m, args[0]); break;
        case OP_EXPORT_BOOL_ARRAY:
          if (!jbi_need(m, 3)) break;
          if (m->h.version == 0) {
            m->bad_opcode = 1;  // no Boolean array export in format 1
          } else {
            jbi_op_export_bool_array(m, args[0]);
          }
          break;

        case OP_COPY_BOOL_RANGE: jbi_op_copy_bool_range(m, args[0], args[1]); break;
        case OP_DRSCAN_ARRAY_CAPTURE:
        case OP_IRSCAN_ARRAY_CAPTURE: jbi_op_scan_array_capture(m, opcode, args[0], args[1]); break;
        case OP_WAIT: jbi_op_wait(m, args[0], args[1]); break;

        case OP_COMPARE_BOOL_RANGES: jbi_op_compare_bool_ranges(m, args[0], args[1], args[2]); break;

        default: m->bad_opcode = 1; break;
      }
    }

    // ---- after the instruction ----
    if (m->bad_opcode) m->status = JBI_RC_ILLEGAL_OPCODE;
    if (m->stack_ptr > JBI_STACK_SIZE - 1 || m->stack_ptr < 0) m->status = JBI_RC_STACK_OVERFLOW;
    if (m->status != 0) {
      m->done = 1;
      m->error_address = static_cast<long>(m->opcode_address - m->h.code_section);
      m->failed_in_loop = 1;
    }
  }
}

#undef BINARY

}  // namespace

int jbi_execute(const unsigned char* program, long program_size, const char* action,
                const char* const* init_list, int reset_jtag, long* error_address,
                int* exit_code, int* format_version) {
  JbiMachine m{};
  m.program = program;
  m.program_size = program_size;
  m.exit_code = exit_code;
  uint32_t first_word = 0;
  jbi_read_first_word(program, program_size, &first_word);
  if (program != nullptr && program_size > JBI_MIN_FILE_SIZE) {
    *format_version = static_cast<int>(first_word & 1) + 1;
  }

  jbi_start_run(&m, action, init_list);
  run(&m);
  if (m.failed_in_loop) *error_address = m.error_address;
  jbi_end_run(&m, reset_jtag);
  return m.status;
}
