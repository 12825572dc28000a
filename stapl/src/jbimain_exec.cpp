// jbi_execute, and the stack, arithmetic and control instructions that are too rare or too
// long to sit inline in the fetch-decode loop (jbimain_dispatch.cpp).
#include "stapl/src/jbimain_machine.h"
#include "stapl/src/jbirun_limits.h"

long jbi_instruction_limit = 0;

namespace {

// Exchange positions a and b counted from the top (top = 1); false when too shallow.
bool exchange(JbiMachine *m, int a, int b) {
  if (m->stack_ptr < a || m->stack_ptr < b) {
    m->status = JBI_RC_STACK_OVERFLOW;
    return false;
  }
  int32_t &x = m->stack[m->stack_ptr - a];
  int32_t &y = m->stack[m->stack_ptr - b];
  const int32_t t = x;
  x = y;
  y = t;
  return true;
}

// Push a copy of position p counted from the top.
void copy_up(JbiMachine *m, int p) {
  if (m->stack_ptr < p) {
    m->status = JBI_RC_STACK_OVERFLOW;
    return;
  }
  jbi_push(m, m->stack[m->stack_ptr - p]);
}

// Wrapping arithmetic without signed overflow.
inline int32_t wrap(uint32_t v) { return static_cast<int32_t>(v); }
inline uint32_t u(int32_t v) { return static_cast<uint32_t>(v); }

}  // namespace

void jbi_op_stack_batch(JbiMachine *m) {
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

void jbi_op_divide(JbiMachine *m, bool remainder) {
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

void jbi_op_compare_masked(JbiMachine *m) {
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

void jbi_op_return(JbiMachine *m) {
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

int jbi_execute(const unsigned char *program, long program_size, const char *action,
                const char *const *init_list, int reset_jtag, long *error_address, int *exit_code,
                int *format_version) {
  JbiMachine m{};
  m.program = program;
  m.program_size = program_size;
  m.exit_code = exit_code;
  uint32_t first_word = 0;
  jbi_read_first_word(program, program_size, &first_word);
  if (program != nullptr && program_size > JBI_MIN_FILE_SIZE) {
    *format_version = static_cast<int>(first_word & 1) + 1;
  }

  jbi_limits_start_run();
  // A stop asked for before the run: refused before anything is allocated or clocked.
  if (jbi_stop_pending()) {
    jbi_limits_note(JBI_END_STOP);
    return JBI_RC_CANCELLED;
  }
  jbi_start_run(&m, action, init_list);
  jbi_run(&m);
  if (m.failed_in_loop) *error_address = m.error_address;
  jbi_end_run(&m, reset_jtag);
  return m.status;
}
