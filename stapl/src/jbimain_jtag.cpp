// JTAG instructions: scans of single values and of Boolean array ranges, padding settings,
// stop states, TAP moves and waits. Each hands its work to the scan engine and takes the
// engine's result as its own.
//
// The engine trusts the ranges it is given, so every count and range is checked here first:
// single values travel through the 4-byte charbuf (at most 32 bits), array ranges must lie
// inside the array.
#include "stapl/src/jbijtag.h"
#include "stapl/src/jbimain_machine.h"
#include "stapl/src/jbiopcodes.h"

namespace {

JBIE_JTAG_STATE state_of(uint32_t number) {
  return static_cast<JBIE_JTAG_STATE>(static_cast<int32_t>(number));
}

bool value_count_ok(JbiMachine *m, int32_t count) {
  if (count >= 0 && count <= 32) return true;
  jbi_fail(m, JBI_RC_BOUNDS);
  return false;
}

using PaddingCall = int (*)(unsigned int, unsigned int, const uint8_t *);

PaddingCall padding_call(int opcode) {
  switch (opcode) {
    case OP_DR_PREAMBLE:
    case OP_DR_PREAMBLE_VALUE:
    case OP_DR_PREAMBLE_ARRAY:
      return jbi_set_dr_preamble;
    case OP_DR_POSTAMBLE:
    case OP_DR_POSTAMBLE_VALUE:
    case OP_DR_POSTAMBLE_ARRAY:
      return jbi_set_dr_postamble;
    case OP_IR_PREAMBLE:
    case OP_IR_PREAMBLE_VALUE:
    case OP_IR_PREAMBLE_ARRAY:
      return jbi_set_ir_preamble;
    default:
      return jbi_set_ir_postamble;
  }
}

}  // namespace

void jbi_op_scan_value(JbiMachine *m, int opcode) {
  if (!jbi_need(m, 2)) return;
  const bool capture = opcode == OP_DRSCAN_VALUE_CAPTURE || opcode == OP_IRSCAN_VALUE_CAPTURE;
  const bool ir = opcode == OP_IRSCAN_VALUE || opcode == OP_IRSCAN_VALUE_CAPTURE;
  const int32_t value = jbi_pop(m);
  const int32_t count = m->stack[m->stack_ptr - 1];
  if (!capture) --m->stack_ptr;
  if (!value_count_ok(m, count)) return;
  jbi_make_dword(m->charbuf, static_cast<uint32_t>(value));
  const unsigned n = static_cast<unsigned>(count);
  if (capture) {
    m->status = ir ? jbi_swap_ir(n, m->charbuf, 0, m->charbuf, 0)
                   : jbi_swap_dr(n, m->charbuf, 0, m->charbuf, 0);
    m->stack[m->stack_ptr - 1] = static_cast<int32_t>(jbi_get_dword(m->charbuf));
  } else {
    m->status = ir ? jbi_do_irscan(n, m->charbuf, 0) : jbi_do_drscan(n, m->charbuf, 0);
  }
}

void jbi_op_padding(JbiMachine *m, int opcode, uint32_t var) {
  const PaddingCall call = padding_call(opcode);
  const bool with_value = opcode == OP_DR_PREAMBLE_VALUE || opcode == OP_DR_POSTAMBLE_VALUE ||
                          opcode == OP_IR_PREAMBLE_VALUE || opcode == OP_IR_POSTAMBLE_VALUE;
  const bool from_array = opcode >= OP_DR_PREAMBLE_ARRAY && opcode <= OP_IR_POSTAMBLE_ARRAY;
  if (!jbi_need(m, with_value || from_array ? 2 : 1)) return;
  if (from_array) {
    const int64_t start = jbi_pop(m);
    const int64_t x = jbi_pop(m);
    const int64_t count = m->h.version == 1 ? x - start + 1 : x;
    if (!jbi_bool_range_ok(m, var, start, count)) return jbi_fail(m, JBI_RC_BOUNDS);
    m->status =
        call(static_cast<unsigned>(count), static_cast<unsigned>(start), jbi_bool_data(m, var));
    return;
  }
  if (with_value) {
    const int32_t value = jbi_pop(m);
    const int32_t count = jbi_pop(m);
    if (!value_count_ok(m, count)) return;
    jbi_make_dword(m->charbuf, static_cast<uint32_t>(value));
    m->status = call(static_cast<unsigned>(count), 0, m->charbuf);
    return;
  }
  const int32_t count = jbi_pop(m);
  if (count < 0) return jbi_fail(m, JBI_RC_BOUNDS);
  m->status = call(static_cast<unsigned>(count), 0, nullptr);
}

void jbi_op_scan_array(JbiMachine *m, int opcode, uint32_t var) {
  const bool format2 = m->h.version == 1;
  if (!jbi_need(m, format2 ? 3 : 2)) return;
  int64_t start, count;
  bool reversed = false;
  if (!format2) {
    start = jbi_pop(m);
    count = jbi_pop(m);
  } else {
    const int64_t a = jbi_pop(m);
    const int64_t b = jbi_pop(m);
    count = jbi_pop(m);
    reversed = a > b;
    start = reversed ? b : a;
  }
  if (!jbi_bool_range_ok(m, var, start, count)) return jbi_fail(m, JBI_RC_BOUNDS);
  const unsigned char *data = jbi_bool_data(m, var);
  const bool ir = opcode == OP_IRSCAN_ARRAY;
  const unsigned n = static_cast<unsigned>(count);
  if (!reversed) {
    m->status = ir ? jbi_do_irscan(n, data, static_cast<unsigned>(start))
                   : jbi_do_drscan(n, data, static_cast<unsigned>(start));
    return;
  }
  auto *buffer = static_cast<unsigned char *>(jbi_alloc_storage(count / 8 + 1));
  if (buffer == nullptr) return jbi_fail(m, JBI_RC_OUT_OF_MEMORY);
  for (int64_t i = 0; i < count; ++i) {
    jbi_set_bit(buffer, i, jbi_get_bit(data, start + count - 1 - i));
  }
  m->status = ir ? jbi_do_irscan(n, buffer, 0) : jbi_do_drscan(n, buffer, 0);
  jbi_free(buffer);
}

void jbi_op_scan_array_capture(JbiMachine *m, int opcode, uint32_t scan, uint32_t capture) {
  const bool format2 = m->h.version == 1;
  if (!jbi_need(m, format2 ? 5 : 3)) return;
  int64_t capture_start, scan_start, count;
  if (!format2) {
    capture_start = jbi_pop(m);
    scan_start = jbi_pop(m);
    count = jbi_pop(m);
  } else {
    capture_start = jbi_pop(m);
    const int64_t capture_end = jbi_pop(m);
    scan_start = jbi_pop(m);
    const int64_t scan_end = jbi_pop(m);
    count = jbi_pop(m);
    if (count > capture_end - capture_start + 1 || count > scan_end - scan_start + 1) {
      return jbi_fail(m, JBI_RC_BOUNDS);
    }
    if (!jbi_variable_ok(m, capture) || !jbi_copy_on_write(m, capture)) return;
  }
  if (!jbi_variable_ok(m, capture) || (m->attributes[capture] & 0x1C) != 0x08) {
    return jbi_fail(m, JBI_RC_BOUNDS);
  }
  if (!jbi_bool_range_ok(m, scan, scan_start, count) ||
      !jbi_bool_range_ok(m, capture, capture_start, count)) {
    return jbi_fail(m, JBI_RC_BOUNDS);
  }
  // Taken after the copy on first write: the scan data may be the capture array itself.
  const unsigned char *in = jbi_bool_data(m, scan);
  auto *out = reinterpret_cast<unsigned char *>(m->variables[capture]);
  const unsigned n = static_cast<unsigned>(count);
  m->status = opcode == OP_IRSCAN_ARRAY_CAPTURE
                  ? jbi_swap_ir(n, in, static_cast<unsigned>(scan_start), out,
                                static_cast<unsigned>(capture_start))
                  : jbi_swap_dr(n, in, static_cast<unsigned>(scan_start), out,
                                static_cast<unsigned>(capture_start));
}

void jbi_op_wait(JbiMachine *m, uint32_t wait_state, uint32_t end_state) {
  if (!jbi_need(m, 2)) return;
  const int32_t cycles = jbi_pop(m);
  if (cycles != 0) m->status = jbi_do_wait_cycles(cycles, state_of(wait_state));
  const int32_t microseconds = jbi_pop(m);
  if (m->status == 0 && microseconds != 0) {
    m->status = jbi_do_wait_microseconds(microseconds, state_of(wait_state));
  }
  if (m->status == 0 && end_state != wait_state)
    m->status = jbi_goto_jtag_state(state_of(end_state));
  if (m->h.version == 1) {
    if (m->stack_ptr < 2) {
      m->status = JBI_RC_STACK_OVERFLOW;
    } else {
      m->stack_ptr -= 2;
    }
  }
}

void jbi_op_state(JbiMachine *m, int opcode, uint32_t state) {
  switch (opcode) {
    case OP_IRSTOP:
      m->status = jbi_set_irstop_state(state_of(state));
      break;
    case OP_DRSTOP:
      m->status = jbi_set_drstop_state(state_of(state));
      break;
    default:
      m->status = jbi_goto_jtag_state(state_of(state));
      break;
  }
}
