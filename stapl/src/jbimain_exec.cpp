// jbi_execute and the fetch-decode loop. The stack, arithmetic and control instructions are
// executed right here; the others call the instruction groups of the other jbimain files.
#include <climits>

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

// Executes instructions until the run ends. The program counter and the stack depth live in
// locals here; they are handed to the machine record around every call of an instruction
// group (SAVE before, LOAD after), so the hot instructions never go through memory.
void run(JbiMachine* m) {
  const unsigned char* const program = m->program;
  const uint32_t code_start = m->h.code_section;
  const uint32_t code_end = m->h.debug_section;
  const uint32_t symbols = m->h.symbol_count;
  intptr_t* const vars = m->variables;
  const uint8_t* const attrs = m->attributes;
  int32_t* const stack = m->stack;
  long budget = jbi_instruction_limit > 0 ? jbi_instruction_limit : LONG_MAX;
  uint32_t pc = m->pc;
  int sp = m->stack_ptr;
  int status = m->status;
  int done = m->done;
  uint32_t args[3] = {0, 0, 0};

#define SAVE() (m->pc = pc, m->stack_ptr = sp, m->status = status)
#define LOAD() (pc = m->pc, sp = m->stack_ptr, status = m->status, done = m->done)
#define GROUP(call) \
  do {              \
    SAVE();         \
    call;           \
    LOAD();         \
  } while (0)
#define FAIL(code) (status = (code))
#define NEED(n)                              \
  if (sp < (n)) {                            \
    FAIL(JBI_RC_STACK_OVERFLOW);             \
    break;                                   \
  }
#define PUSH(v)                              \
  {                                          \
    const int32_t pushed = (v);              \
    if (sp >= JBI_STACK_SIZE) {              \
      FAIL(JBI_RC_STACK_OVERFLOW);           \
    } else {                                 \
      stack[sp++] = pushed;                  \
    }                                        \
  }
#define BINARY(expr)                         \
  {                                          \
    NEED(2);                                 \
    const int32_t right = stack[sp - 1];     \
    const int32_t left = stack[sp - 2];      \
    stack[sp - 2] = (expr);                  \
    --sp;                                    \
  }
// A scalar variable operand: a symbol, and not an array (whose entry holds its storage).
#define SCALAR(var)                                              \
  if ((var) >= symbols || (attrs[var] & JBI_ATTR_ARRAY) != 0) {  \
    FAIL(JBI_RC_BOUNDS);                                         \
    break;                                                       \
  }
#define JUMP(offset)                                             \
  {                                                              \
    const uint32_t target = code_start + (offset);               \
    if (target < code_start || target >= code_end) {             \
      FAIL(JBI_RC_BOUNDS);                                       \
    } else {                                                     \
      pc = target;                                               \
    }                                                            \
  }

  while (!done) {
    // ---- fetch ----
    // pc never passes code_end, but may stand on it after the last instruction.
    const uint32_t at = pc;
    unsigned opcode = 0;
    int operands = 0;
    if (at < code_end) {
      opcode = program[at];
      operands = jbi_operand_count(opcode);
    }
    if (at >= code_end || uint64_t{at} + 1 + 4u * operands > code_end) {
      FAIL(JBI_RC_BOUNDS);  // the code ends inside, or before, this instruction
    } else if (--budget < 0) {
      FAIL(JBI_RC_CANCELLED);
    } else {
      const unsigned char* p = program + at + 1;
      if (operands > 0) args[0] = jbi_be32(p);
      if (operands > 1) args[1] = jbi_be32(p + 4);
      if (operands > 2) args[2] = jbi_be32(p + 8);
      pc = at + 1 + 4u * operands;

      // ---- execute ----
      switch (opcode) {
        case OP_NOOP: break;
        case OP_DUPLICATE: NEED(1); PUSH(stack[sp - 1]); break;
        case OP_SWAP: GROUP(exchange(m, 1, 2)); break;
        case OP_ADD: BINARY(wrap(u(left) + u(right))); break;
        case OP_SUBTRACT: BINARY(wrap(u(left) - u(right))); break;
        case OP_MULTIPLY: BINARY(wrap(u(left) * u(right))); break;
        case OP_DIVIDE: GROUP(divide(m, false)); break;
        case OP_REMAINDER: GROUP(divide(m, true)); break;
        case OP_SHIFT_LEFT: BINARY(wrap(u(left) << (u(right) & 31))); break;
        case OP_SHIFT_RIGHT: BINARY(left >> (u(right) & 31)); break;
        case OP_BIT_NOT: NEED(1); stack[sp - 1] = ~stack[sp - 1]; break;
        case OP_BIT_AND: BINARY(left & right); break;
        case OP_BIT_OR: BINARY(left | right); break;
        case OP_BIT_XOR: BINARY(left ^ right); break;
        case OP_LOGICAL_NOT: NEED(1); stack[sp - 1] = stack[sp - 1] == 0 ? 1 : 0; break;
        case OP_GREATER: BINARY(left > right ? 1 : 0); break;
        case OP_LESS: BINARY(left < right ? 1 : 0); break;
        case OP_RETURN: GROUP(op_return(m)); break;
        case OP_COMPARE_MASKED: GROUP(compare_masked(m)); break;
        case OP_PRINT_INTEGER: GROUP(jbi_op_print_integer(m)); break;
        case OP_PRINT_FLUSH: GROUP(jbi_op_print_flush(m)); break;
        case OP_DRSCAN_VALUE:
        case OP_DRSCAN_VALUE_CAPTURE:
        case OP_IRSCAN_VALUE:
        case OP_IRSCAN_VALUE_CAPTURE: GROUP(jbi_op_scan_value(m, opcode)); break;
        case OP_DR_PREAMBLE:
        case OP_DR_PREAMBLE_VALUE:
        case OP_DR_POSTAMBLE:
        case OP_DR_POSTAMBLE_VALUE:
        case OP_IR_PREAMBLE:
        case OP_IR_PREAMBLE_VALUE:
        case OP_IR_POSTAMBLE:
        case OP_IR_POSTAMBLE_VALUE: GROUP(jbi_op_padding(m, opcode, 0)); break;
        case OP_PRINT_CHAR: GROUP(jbi_op_print_char(m)); break;
        case OP_EXIT:
          NEED(1);
          *m->exit_code = stack[--sp];
          done = 1;
          break;
        case OP_EQUAL: BINARY(left == right ? 1 : 0); break;
        case OP_DROP: NEED(1); --sp; break;
        case OP_ABSOLUTE:
          NEED(1);
          if (stack[sp - 1] < 0) stack[sp - 1] = wrap(0u - u(stack[sp - 1]));
          break;
        case OP_STACK_BATCH: GROUP(stack_batch(m)); break;
        case OP_PUSH_ZERO: PUSH(0); break;

        case OP_PUSH_LITERAL: PUSH(static_cast<int32_t>(args[0])); break;
        case OP_PUSH_VARIABLE: SCALAR(args[0]); PUSH(static_cast<int32_t>(vars[args[0]])); break;
        case OP_JUMP: JUMP(args[0]); break;
        case OP_CALL:
          PUSH(wrap(pc - code_start));
          if (status == 0) JUMP(args[0]);
          break;
        case OP_LOOP_NEXT: {
          NEED(3);
          SCALAR(args[0]);
          const int32_t step = stack[sp - 1];
          const int32_t end = stack[sp - 2];
          const int32_t v = static_cast<int32_t>(vars[args[0]]);
          if (step < 0 ? v <= end : v >= end) {
            sp -= 3;  // loop finished
          } else {
            vars[args[0]] = wrap(u(v) + u(step));
            JUMP(u(stack[sp - 3]));
          }
          break;
        }
        case OP_PRINT_STRING: GROUP(jbi_op_print_string(m, args[0])); break;
        case OP_MOVE_STATE:
        case OP_GOTO_STATE:
        case OP_IRSTOP:
        case OP_DRSTOP: GROUP(jbi_op_state(m, opcode, args[0])); break;
        case OP_SWAP_DEEP:
          NEED(int64_t{args[0]} + 1);
          GROUP(exchange(m, 1, static_cast<int>(args[0]) + 1));
          break;
        case OP_DUPLICATE_DEEP:
          NEED(int64_t{args[0]} + 1);
          PUSH(stack[sp - 1 - static_cast<int>(args[0])]);
          break;
        case OP_STORE_VARIABLE: NEED(1); SCALAR(args[0]); vars[args[0]] = stack[--sp]; break;
        case OP_STORE_INT_ELEMENT: GROUP(jbi_op_store_int_element(m, args[0])); break;
        case OP_STORE_BOOL_RANGE: GROUP(jbi_op_store_bool_range(m, args[0])); break;
        case OP_JUMP_IF_ZERO:
          NEED(1);
          if (stack[--sp] == 0) JUMP(args[0]);
          break;
        case OP_DRSCAN_ARRAY:
        case OP_IRSCAN_ARRAY: GROUP(jbi_op_scan_array(m, opcode, args[0])); break;
        case OP_DR_PREAMBLE_ARRAY:
        case OP_DR_POSTAMBLE_ARRAY:
        case OP_IR_PREAMBLE_ARRAY:
        case OP_IR_POSTAMBLE_ARRAY: GROUP(jbi_op_padding(m, opcode, args[0])); break;
        case OP_EXPORT_INTEGER: GROUP(jbi_op_export_integer(m, args[0])); break;
        case OP_PUSH_INT_ELEMENT: GROUP(jbi_op_push_int_element(m, args[0])); break;
        case OP_PUSH_BOOL_RANGE: GROUP(jbi_op_push_bool_range(m, args[0])); break;
        case OP_RESIZE_ARRAY: GROUP(jbi_op_resize_array(m, args[0])); break;
        case OP_EXPORT_BOOL_ARRAY:
          NEED(3);
          if (m->h.version == 0) {
            FAIL(JBI_RC_ILLEGAL_OPCODE);  // no Boolean array export in format 1
          } else {
            GROUP(jbi_op_export_bool_array(m, args[0]));
          }
          break;

        case OP_COPY_BOOL_RANGE: GROUP(jbi_op_copy_bool_range(m, args[0], args[1])); break;
        case OP_DRSCAN_ARRAY_CAPTURE:
        case OP_IRSCAN_ARRAY_CAPTURE:
          GROUP(jbi_op_scan_array_capture(m, opcode, args[0], args[1]));
          break;
        case OP_WAIT: GROUP(jbi_op_wait(m, args[0], args[1])); break;

        case OP_COMPARE_BOOL_RANGES:
          GROUP(jbi_op_compare_bool_ranges(m, args[0], args[1], args[2]));
          break;

        default: FAIL(JBI_RC_ILLEGAL_OPCODE); break;
      }
    }

    // ---- after the instruction ----
    // An illegal opcode does nothing else, so its 21 stands unless the depth is wrong.
    if (status != 0 || static_cast<unsigned>(sp) > JBI_STACK_SIZE - 1) {
      if (static_cast<unsigned>(sp) > JBI_STACK_SIZE - 1) status = JBI_RC_STACK_OVERFLOW;
      done = 1;
      m->opcode_address = at;
      m->error_address = static_cast<long>(at - code_start);
      m->failed_in_loop = 1;
    }
  }
  SAVE();
  m->done = done;

#undef SAVE
#undef LOAD
#undef GROUP
#undef FAIL
#undef NEED
#undef PUSH
#undef BINARY
#undef SCALAR
#undef JUMP
}

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
