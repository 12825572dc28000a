// The fetch-decode loop. The stack, arithmetic and control instructions that programs spend
// their time in run inline here; the others are calls into the instruction groups.
//
// The loop body is written once and compiles either as a jump table (each instruction ends
// with its own fetch and indirect jump, so the branch predictor sees one jump per
// instruction) or as a plain switch for compilers without labels as values. Build with
// -DJBI_USE_JUMP_TABLE=0 to get the switch.
//
// Every instruction is checked once, at fetch, to lie wholly inside the code; its operands
// are then read without further checks, and an inline instruction steps over its own fixed
// length. pc, the stack depth and status live in locals and are handed to the machine record
// only around calls into the instruction groups.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <iterator>

#include "stapl/src/jbimain_machine.h"
#include "stapl/src/jbiopcodes.h"
#include "stapl/src/jbirun_limits.h"

#ifndef JBI_USE_JUMP_TABLE
#if defined(__GNUC__)
#define JBI_USE_JUMP_TABLE 1
#else
#define JBI_USE_JUMP_TABLE 0
#endif
#endif

// GCC would otherwise merge the instructions' identical fetch tails back into one shared
// indirect jump, which is the switch again.
#if JBI_USE_JUMP_TABLE && defined(__GNUC__) && !defined(__clang__)
#define JBI_KEEP_DISPATCH_TAILS __attribute__((optimize("no-crossjumping", "no-gcse")))
#else
#define JBI_KEEP_DISPATCH_TAILS
#endif

namespace {

inline int32_t wrap(uint32_t v) { return static_cast<int32_t>(v); }
inline uint32_t u(int32_t v) { return static_cast<uint32_t>(v); }

// Inline instructions between two looks at the stop request and the clock: a few tens of
// microseconds of work, so a stop or the time budget is met at once. A look on every
// instruction would cost about a tenth of the loop's speed.
constexpr long kInstructionSlice = 1L << 14;

// The opcodes the jump table sends to a handler of their own, label L_<opcode>; every other
// byte goes to L_ILLEGAL. The switch form has the same handlers as cases.
// clang-format off
#define JBI_JUMP_TABLE_OPCODES(X)                                        \
  X(OP_NOOP) X(OP_DUPLICATE) X(OP_SWAP) X(OP_ADD)                        \
  X(OP_SUBTRACT) X(OP_MULTIPLY) X(OP_DIVIDE) X(OP_REMAINDER)             \
  X(OP_SHIFT_LEFT) X(OP_SHIFT_RIGHT) X(OP_BIT_NOT) X(OP_BIT_AND)         \
  X(OP_BIT_OR) X(OP_BIT_XOR) X(OP_LOGICAL_NOT) X(OP_GREATER)             \
  X(OP_LESS) X(OP_RETURN) X(OP_COMPARE_MASKED)                           \
  X(OP_PRINT_INTEGER) X(OP_PRINT_FLUSH) X(OP_DRSCAN_VALUE)               \
  X(OP_DRSCAN_VALUE_CAPTURE) X(OP_IRSCAN_VALUE)                          \
  X(OP_IRSCAN_VALUE_CAPTURE) X(OP_DR_PREAMBLE) X(OP_DR_PREAMBLE_VALUE)   \
  X(OP_DR_POSTAMBLE) X(OP_DR_POSTAMBLE_VALUE) X(OP_IR_PREAMBLE)          \
  X(OP_IR_PREAMBLE_VALUE) X(OP_IR_POSTAMBLE) X(OP_IR_POSTAMBLE_VALUE)    \
  X(OP_PRINT_CHAR) X(OP_EXIT) X(OP_EQUAL) X(OP_DROP)                     \
  X(OP_ABSOLUTE) X(OP_STACK_BATCH) X(OP_PUSH_ZERO)                       \
  X(OP_PUSH_LITERAL) X(OP_PUSH_VARIABLE) X(OP_JUMP) X(OP_CALL)           \
  X(OP_LOOP_NEXT) X(OP_PRINT_STRING) X(OP_MOVE_STATE)                    \
  X(OP_GOTO_STATE) X(OP_IRSTOP) X(OP_DRSTOP) X(OP_SWAP_DEEP)             \
  X(OP_DUPLICATE_DEEP) X(OP_STORE_VARIABLE) X(OP_STORE_INT_ELEMENT)      \
  X(OP_STORE_BOOL_RANGE) X(OP_JUMP_IF_ZERO) X(OP_DRSCAN_ARRAY)           \
  X(OP_IRSCAN_ARRAY) X(OP_DR_PREAMBLE_ARRAY) X(OP_DR_POSTAMBLE_ARRAY)    \
  X(OP_IR_PREAMBLE_ARRAY) X(OP_IR_POSTAMBLE_ARRAY) X(OP_EXPORT_INTEGER)  \
  X(OP_PUSH_INT_ELEMENT) X(OP_PUSH_BOOL_RANGE) X(OP_RESIZE_ARRAY)        \
  X(OP_EXPORT_BOOL_ARRAY) X(OP_COPY_BOOL_RANGE)                          \
  X(OP_DRSCAN_ARRAY_CAPTURE) X(OP_IRSCAN_ARRAY_CAPTURE) X(OP_WAIT)       \
  X(OP_COMPARE_BOOL_RANGES)
// clang-format on

#define JBI_CODE(op) op,
constexpr uint8_t kJumpTableOpcodes[] = {JBI_JUMP_TABLE_OPCODES(JBI_CODE)};
#undef JBI_CODE

// The jump table lists exactly the opcodes of jbi_opcode_table, in its order: an opcode left
// out would be illegal in the jump table form only, one too many would have no row.
constexpr bool jump_table_matches_opcode_table() {
  if (std::size(kJumpTableOpcodes) != static_cast<size_t>(jbi_opcode_count)) return false;
  for (int i = 0; i < jbi_opcode_count; ++i) {
    if (kJumpTableOpcodes[i] != jbi_opcode_table[i].code) return false;
  }
  return true;
}
static_assert(jump_table_matches_opcode_table(),
              "the jump table must list the opcodes of jbi_opcode_table, in the same order");

// A handler whose opcode is not in the jump table would run in the switch form only.
constexpr bool in_jump_table(unsigned opcode) {
  for (uint8_t listed : kJumpTableOpcodes) {
    if (listed == opcode) return true;
  }
  return false;
}

}  // namespace

JBI_KEEP_DISPATCH_TAILS void jbi_run(JbiMachine *m) {
  if (m->done) return;
  const unsigned char *const program = m->program;
  const uint32_t code_start = m->h.code_section;
  const uint32_t code_end = m->h.debug_section;
  const uint32_t fast_end = code_end >= 12 ? code_end - 12 : 0;
  const uint32_t symbols = m->h.symbol_count;
  intptr_t *const vars = m->variables;
  const uint8_t *const attrs = m->attributes;
  int32_t *const stack = m->stack;
  long budget_left = jbi_instruction_limit > 0 ? jbi_instruction_limit : LONG_MAX;
  long budget = 0;  // of the current slice
  uint32_t pc = m->pc;
  uint32_t at = pc;
  int sp = m->stack_ptr;
  int status = 0;
  unsigned opcode = 0;

#if JBI_USE_JUMP_TABLE
  void *jump_table[256];
  for (void *&entry : jump_table) entry = &&L_ILLEGAL;
#define JBI_LABEL(op) jump_table[op] = &&L_##op;
  JBI_JUMP_TABLE_OPCODES(JBI_LABEL)
#undef JBI_LABEL
#define VM_DISPATCH(op) goto *jump_table[op];
#define VM_CASE(op)                                                               \
  static_assert(in_jump_table(op), #op " has a handler but no jump-table entry"); \
  L_##op:
#define VM_ILLEGAL \
  L_ILLEGAL:
#define VM_NEXT         \
  {                     \
    FETCH();            \
    VM_DISPATCH(opcode) \
  }
#else
#define VM_DISPATCH(op) switch (op)
#define VM_CASE(op)                                                               \
  static_assert(in_jump_table(op), #op " has a handler but no jump-table entry"); \
  case op:
#define VM_ILLEGAL default:
#define VM_NEXT break
#endif

// An instruction lies wholly inside the code or is refused with 11 before it runs. pc may
// stand on code_end after the last instruction, never beyond it. Below fast_end every
// instruction fits (the longest is 13 bytes), so only the last few need the exact test.
#define FETCH()                                                                        \
  at = pc;                                                                             \
  if (at >= fast_end) [[unlikely]] {                                                   \
    if (at >= code_end || code_end - at <= ((program[at] >> 4) & 12u)) goto truncated; \
  }                                                                                    \
  opcode = program[at];                                                                \
  if (--budget < 0) [[unlikely]]                                                       \
    goto slice_end;
#define ARG(k) jbi_be32(program + at + 1 + 4 * (k))
// On to the instruction that follows this one of `length` bytes.
#define NEXT(length)    \
  {                     \
    pc = at + (length); \
    VM_NEXT;            \
  }
#define FAIL(code)   \
  {                  \
    status = (code); \
    goto failed;     \
  }
#define NEED(n)              \
  if (sp < (n)) [[unlikely]] \
  FAIL(JBI_RC_STACK_OVERFLOW)
// A depth of 128 ends the run with 20 whether or not the value was stored, so a push onto
// 127 values fails at once.
#define PUSH(v)                                \
  {                                            \
    const int32_t pushed = (v);                \
    if (sp >= JBI_STACK_SIZE - 1) [[unlikely]] \
      FAIL(JBI_RC_STACK_OVERFLOW);             \
    stack[sp++] = pushed;                      \
  }
#define BINARY(expr)                     \
  {                                      \
    NEED(2);                             \
    const int32_t right = stack[sp - 1]; \
    const int32_t left = stack[sp - 2];  \
    stack[sp - 2] = (expr);              \
    --sp;                                \
    NEXT(1);                             \
  }
// A scalar variable operand: a symbol, and not an array (whose entry holds its storage).
#define SCALAR(var)                                                        \
  if ((var) >= symbols || (attrs[var] & JBI_ATTR_ARRAY) != 0) [[unlikely]] \
  FAIL(JBI_RC_BOUNDS)
#define JUMP(offset)                                            \
  {                                                             \
    const uint32_t target = code_start + (offset);              \
    if (target < code_start || target >= code_end) [[unlikely]] \
      FAIL(JBI_RC_BOUNDS);                                      \
    pc = target;                                                \
  }
// A call into an instruction group, which works on the machine record. These are the
// instructions that can take long (scans, waits) or reach outside (printing), so a stop
// request is looked for before each of them; the inline ones see it at the end of their slice.
#define GROUP(call)                                                                 \
  {                                                                                 \
    if (jbi_stop_pending()) [[unlikely]]                                            \
      goto stopped;                                                                 \
    m->pc = at + 1 + ((opcode >> 4) & 12u);                                         \
    m->stack_ptr = sp;                                                              \
    call;                                                                           \
    pc = m->pc;                                                                     \
    sp = m->stack_ptr;                                                              \
    status = m->status;                                                             \
    if (status != 0 || static_cast<unsigned>(sp) > JBI_STACK_SIZE - 1) goto failed; \
    if (m->done) goto finished;                                                     \
    VM_NEXT;                                                                        \
  }

  // One handler a line reads like the instruction table; the formatter would run them together.
  // clang-format off
  for (;;) {
    FETCH();
  dispatch:
    VM_DISPATCH(opcode) {
      VM_CASE(OP_NOOP) NEXT(1)
      VM_CASE(OP_DUPLICATE) {
        NEED(1);
        PUSH(stack[sp - 1]);
        NEXT(1);
      }
      VM_CASE(OP_SWAP) {
        NEED(2);
        const int32_t top = stack[sp - 1];
        stack[sp - 1] = stack[sp - 2];
        stack[sp - 2] = top;
        NEXT(1);
      }
      VM_CASE(OP_ADD) BINARY(wrap(u(left) + u(right)))
      VM_CASE(OP_SUBTRACT) BINARY(wrap(u(left) - u(right)))
      VM_CASE(OP_MULTIPLY) BINARY(wrap(u(left) * u(right)))
      VM_CASE(OP_DIVIDE) GROUP(jbi_op_divide(m, false))
      VM_CASE(OP_REMAINDER) GROUP(jbi_op_divide(m, true))
      VM_CASE(OP_SHIFT_LEFT) BINARY(wrap(u(left) << (u(right) & 31)))
      VM_CASE(OP_SHIFT_RIGHT) BINARY(left >> (u(right) & 31))
      VM_CASE(OP_BIT_NOT) {
        NEED(1);
        stack[sp - 1] = ~stack[sp - 1];
        NEXT(1);
      }
      VM_CASE(OP_BIT_AND) BINARY(left & right)
      VM_CASE(OP_BIT_OR) BINARY(left | right)
      VM_CASE(OP_BIT_XOR) BINARY(left ^ right)
      VM_CASE(OP_LOGICAL_NOT) {
        NEED(1);
        stack[sp - 1] = stack[sp - 1] == 0 ? 1 : 0;
        NEXT(1);
      }
      VM_CASE(OP_GREATER) BINARY(left > right ? 1 : 0)
      VM_CASE(OP_LESS) BINARY(left < right ? 1 : 0)
      VM_CASE(OP_RETURN) GROUP(jbi_op_return(m))
      VM_CASE(OP_COMPARE_MASKED) GROUP(jbi_op_compare_masked(m))
      VM_CASE(OP_PRINT_INTEGER) GROUP(jbi_op_print_integer(m))
      VM_CASE(OP_PRINT_FLUSH) GROUP(jbi_op_print_flush(m))
      VM_CASE(OP_DRSCAN_VALUE)
      VM_CASE(OP_DRSCAN_VALUE_CAPTURE)
      VM_CASE(OP_IRSCAN_VALUE)
      VM_CASE(OP_IRSCAN_VALUE_CAPTURE) GROUP(jbi_op_scan_value(m, static_cast<int>(opcode)))
      VM_CASE(OP_DR_PREAMBLE)
      VM_CASE(OP_DR_PREAMBLE_VALUE)
      VM_CASE(OP_DR_POSTAMBLE)
      VM_CASE(OP_DR_POSTAMBLE_VALUE)
      VM_CASE(OP_IR_PREAMBLE)
      VM_CASE(OP_IR_PREAMBLE_VALUE)
      VM_CASE(OP_IR_POSTAMBLE)
      VM_CASE(OP_IR_POSTAMBLE_VALUE) GROUP(jbi_op_padding(m, static_cast<int>(opcode), 0))
      VM_CASE(OP_PRINT_CHAR) GROUP(jbi_op_print_char(m))
      VM_CASE(OP_EXIT) {
        NEED(1);
        *m->exit_code = stack[--sp];
        goto finished;
      }
      VM_CASE(OP_EQUAL) BINARY(left == right ? 1 : 0)
      VM_CASE(OP_DROP) {
        NEED(1);
        --sp;
        NEXT(1);
      }
      VM_CASE(OP_ABSOLUTE) {
        NEED(1);
        if (stack[sp - 1] < 0) stack[sp - 1] = wrap(0u - u(stack[sp - 1]));
        NEXT(1);
      }
      VM_CASE(OP_STACK_BATCH) GROUP(jbi_op_stack_batch(m))
      VM_CASE(OP_PUSH_ZERO) {
        PUSH(0);
        NEXT(1);
      }

      VM_CASE(OP_PUSH_LITERAL) {
        PUSH(wrap(ARG(0)));
        NEXT(5);
      }
      VM_CASE(OP_PUSH_VARIABLE) {
        const uint32_t var = ARG(0);
        SCALAR(var);
        PUSH(static_cast<int32_t>(vars[var]));
        NEXT(5);
      }
      VM_CASE(OP_JUMP) {
        JUMP(ARG(0));
        VM_NEXT;
      }
      VM_CASE(OP_CALL) {
        PUSH(wrap(at + 5 - code_start));
        JUMP(ARG(0));
        VM_NEXT;
      }
      VM_CASE(OP_LOOP_NEXT) {
        NEED(3);
        const uint32_t var = ARG(0);
        SCALAR(var);
        const int32_t step = stack[sp - 1];
        const int32_t end = stack[sp - 2];
        const int32_t v = static_cast<int32_t>(vars[var]);
        if (step < 0 ? v <= end : v >= end) {
          sp -= 3;  // loop finished
          pc = at + 5;
        } else {
          vars[var] = wrap(u(v) + u(step));
          JUMP(u(stack[sp - 3]));
        }
        VM_NEXT;
      }
      VM_CASE(OP_PRINT_STRING) GROUP(jbi_op_print_string(m, ARG(0)))
      VM_CASE(OP_MOVE_STATE)
      VM_CASE(OP_GOTO_STATE)
      VM_CASE(OP_IRSTOP)
      VM_CASE(OP_DRSTOP) GROUP(jbi_op_state(m, static_cast<int>(opcode), ARG(0)))
      VM_CASE(OP_SWAP_DEEP) {
        const uint32_t depth = ARG(0);
        NEED(int64_t{depth} + 1);
        const int32_t top = stack[sp - 1];
        stack[sp - 1] = stack[sp - 1 - static_cast<int>(depth)];
        stack[sp - 1 - static_cast<int>(depth)] = top;
        NEXT(5);
      }
      VM_CASE(OP_DUPLICATE_DEEP) {
        const uint32_t depth = ARG(0);
        NEED(int64_t{depth} + 1);
        PUSH(stack[sp - 1 - static_cast<int>(depth)]);
        NEXT(5);
      }
      VM_CASE(OP_STORE_VARIABLE) {
        const uint32_t var = ARG(0);
        NEED(1);
        SCALAR(var);
        vars[var] = stack[--sp];
        NEXT(5);
      }
      VM_CASE(OP_STORE_INT_ELEMENT) GROUP(jbi_op_store_int_element(m, ARG(0)))
      VM_CASE(OP_STORE_BOOL_RANGE) GROUP(jbi_op_store_bool_range(m, ARG(0)))
      VM_CASE(OP_JUMP_IF_ZERO) {
        NEED(1);
        if (stack[--sp] == 0) {
          JUMP(ARG(0));
        } else {
          pc = at + 5;
        }
        VM_NEXT;
      }
      VM_CASE(OP_DRSCAN_ARRAY)
      VM_CASE(OP_IRSCAN_ARRAY) GROUP(jbi_op_scan_array(m, static_cast<int>(opcode), ARG(0)))
      VM_CASE(OP_DR_PREAMBLE_ARRAY)
      VM_CASE(OP_DR_POSTAMBLE_ARRAY)
      VM_CASE(OP_IR_PREAMBLE_ARRAY)
      VM_CASE(OP_IR_POSTAMBLE_ARRAY) GROUP(jbi_op_padding(m, static_cast<int>(opcode), ARG(0)))
      VM_CASE(OP_EXPORT_INTEGER) GROUP(jbi_op_export_integer(m, ARG(0)))
      VM_CASE(OP_PUSH_INT_ELEMENT) GROUP(jbi_op_push_int_element(m, ARG(0)))
      VM_CASE(OP_PUSH_BOOL_RANGE) GROUP(jbi_op_push_bool_range(m, ARG(0)))
      VM_CASE(OP_RESIZE_ARRAY) GROUP(jbi_op_resize_array(m, ARG(0)))
      VM_CASE(OP_EXPORT_BOOL_ARRAY) {
        NEED(3);
        if (m->h.version == 0) FAIL(JBI_RC_ILLEGAL_OPCODE);  // no Boolean array export in format 1
        GROUP(jbi_op_export_bool_array(m, ARG(0)))
      }

      VM_CASE(OP_COPY_BOOL_RANGE) GROUP(jbi_op_copy_bool_range(m, ARG(0), ARG(1)))
      VM_CASE(OP_DRSCAN_ARRAY_CAPTURE)
      VM_CASE(OP_IRSCAN_ARRAY_CAPTURE)
      GROUP(jbi_op_scan_array_capture(m, static_cast<int>(opcode), ARG(0), ARG(1)))
      VM_CASE(OP_WAIT) GROUP(jbi_op_wait(m, ARG(0), ARG(1)))

      VM_CASE(OP_COMPARE_BOOL_RANGES) GROUP(jbi_op_compare_bool_ranges(m, ARG(0), ARG(1), ARG(2)))

      VM_ILLEGAL FAIL(JBI_RC_ILLEGAL_OPCODE)
    }
  }
  // clang-format on

slice_end:
  // Kept out of the instructions' own fetch: a call there would cost every instruction.
  if (jbi_limits_check() != JBI_RC_SUCCESS) goto cancelled;
  if (budget_left == 0) {
    jbi_limits_note(JBI_END_INSTRUCTIONS);
    goto cancelled;
  }
  budget = std::min(budget_left, kInstructionSlice);
  budget_left -= budget;
  --budget;  // the instruction just fetched
  goto dispatch;
truncated:
  // An opcode that exists in no instruction is illegal whatever its operands would need; only
  // a legal one (or running off the end) makes this a bounds error.
  status = at < code_end && jbi_opcode_info(program[at]) == nullptr ? JBI_RC_ILLEGAL_OPCODE
                                                                    : JBI_RC_BOUNDS;
  goto failed;
stopped:
  jbi_limits_note(JBI_END_STOP);
cancelled:
  status = JBI_RC_CANCELLED;
failed:
  // The depth check comes last, so a depth out of range reports 20 whatever else failed.
  if (static_cast<unsigned>(sp) > JBI_STACK_SIZE - 1) status = JBI_RC_STACK_OVERFLOW;
  m->opcode_address = at;
  m->error_address = static_cast<long>(at - code_start);
  m->failed_in_loop = 1;
finished:
  m->pc = pc;
  m->stack_ptr = sp;
  m->status = status;
  m->done = 1;

#undef VM_DISPATCH
#undef VM_CASE
#undef VM_ILLEGAL
#undef VM_NEXT
#undef FETCH
#undef ARG
#undef NEXT
#undef FAIL
#undef NEED
#undef PUSH
#undef BINARY
#undef SCALAR
#undef JUMP
#undef GROUP
}
