// Array instructions: element and range reads and writes, resizing, copying and comparing
// bit ranges, and the private copy an array with initial data gets before its first write.
//
// Every index and range from the stack is checked against the array's size before an element
// is touched (the sizes are kept true by start-up and by every resize), so a hostile program
// meets result 11 instead of memory outside the array.
#include <cstring>

#include "stapl/src/jbimain_machine.h"

namespace {

bool is_bool_array(uint8_t attr) { return (attr & 0x18) == 0x08; }
bool is_writable_bool(uint8_t attr) { return (attr & 0x1C) == 0x08; }
bool is_writable_int(uint8_t attr) { return (attr & 0x1C) == 0x18; }

unsigned char *owned(const JbiMachine *m, uint32_t var) {
  return reinterpret_cast<unsigned char *>(m->variables[var]);
}

int32_t *native_ints(const JbiMachine *m, uint32_t var) {
  return reinterpret_cast<int32_t *>(m->variables[var]);
}

bool index_ok(const JbiMachine *m, uint32_t var, int64_t index) {
  return index >= 0 && index < m->variable_size[var];
}

// Writable Boolean storage of `var` (after the copy on first write); null after a failure.
unsigned char *writable_bool(JbiMachine *m, uint32_t var) {
  if (m->h.version == 1 && !jbi_copy_on_write(m, var)) return nullptr;
  if (!is_writable_bool(m->attributes[var])) {
    jbi_fail(m, JBI_RC_BOUNDS);
    return nullptr;
  }
  return owned(m, var);
}

}  // namespace

const unsigned char *jbi_bool_data(const JbiMachine *m, uint32_t var) {
  if (var >= m->h.symbol_count || !is_bool_array(m->attributes[var])) return nullptr;
  if (m->attributes[var] & JBI_ATTR_OWNED) return owned(m, var);
  return m->program + m->variables[var];
}

bool jbi_bool_range_ok(const JbiMachine *m, uint32_t var, int64_t start, int64_t count) {
  return var < m->h.symbol_count && is_bool_array(m->attributes[var]) && start >= 0 && count >= 0 &&
         start + count <= m->variable_size[var];
}

bool jbi_copy_on_write(JbiMachine *m, uint32_t var) {
  const uint8_t attr = m->attributes[var];
  const bool ints = (attr & 0x9C) == 0x1C;
  if (!ints && (attr & 0x9C) != 0x0C) return true;  // nothing in the file to copy
  const int64_t size = m->variable_size[var];
  const unsigned char *source = m->program + m->variables[var];
  unsigned char *copy = nullptr;
  if (size > 0) {
    const uint64_t bytes = ints ? uint64_t(size) * 4 : (uint64_t(size) + 7) / 8;
    copy = static_cast<unsigned char *>(jbi_alloc_storage(bytes));
    if (copy == nullptr) {
      jbi_fail(m, JBI_RC_OUT_OF_MEMORY);
      return false;
    }
    if (ints) {
      auto *elements = reinterpret_cast<int32_t *>(copy);
      for (int64_t k = 0; k < size; ++k) {
        elements[k] = static_cast<int32_t>(jbi_be32(source + 4 * k));
      }
    } else {
      std::memset(copy, 0, bytes);
      for (int64_t k = 0; k < size; ++k) jbi_set_bit(copy, k, jbi_get_bit(source, k));
    }
  }
  m->variables[var] = reinterpret_cast<intptr_t>(copy);
  m->attributes[var] = static_cast<uint8_t>((attr & ~JBI_ATTR_INITIAL) | 0x81);
  return true;
}

void jbi_op_store_int_element(JbiMachine *m, uint32_t var) {
  if (!jbi_need(m, 2) || !jbi_variable_ok(m, var)) return;
  if (m->h.version == 1 && !jbi_copy_on_write(m, var)) return;
  if (!is_writable_int(m->attributes[var])) return jbi_fail(m, JBI_RC_BOUNDS);
  const int32_t index = jbi_pop(m);
  const int32_t value = jbi_pop(m);
  if (!index_ok(m, var, index)) return jbi_fail(m, JBI_RC_BOUNDS);
  native_ints(m, var)[index] = value;
}

void jbi_op_store_bool_range(JbiMachine *m, uint32_t var) {
  if (!jbi_need(m, 3) || !jbi_variable_ok(m, var)) return;
  unsigned char *data = writable_bool(m, var);
  if (data == nullptr && m->status != 0) return;
  const int64_t x = jbi_pop(m);
  const int64_t start = jbi_pop(m);
  int64_t count = x;
  if (m->h.version == 1) {
    if (start > x) return jbi_fail(m, JBI_RC_BOUNDS);
    count = x - start + 1;
  }
  const uint32_t value = static_cast<uint32_t>(jbi_pop(m));
  if (count <= 0 || !jbi_bool_range_ok(m, var, start, count)) return jbi_fail(m, JBI_RC_BOUNDS);
  for (int64_t i = 0; i < count; ++i) jbi_set_bit(data, start + i, (value >> (i & 31)) & 1);
}

void jbi_op_push_int_element(JbiMachine *m, uint32_t var) {
  if (!jbi_need(m, 1) || !jbi_variable_ok(m, var)) return;
  int32_t &top = m->stack[m->stack_ptr - 1];
  const uint8_t kind = m->attributes[var] & 0x1F;
  if ((kind != 0x19 && kind != 0x1C) || !index_ok(m, var, top)) return jbi_fail(m, JBI_RC_BOUNDS);
  if (kind == 0x19) {
    top = native_ints(m, var)[top];
  } else {
    top = static_cast<int32_t>(jbi_be32(m->program + m->variables[var] + 4 * int64_t{top}));
  }
}

void jbi_op_push_bool_range(JbiMachine *m, uint32_t var) {
  if (!jbi_need(m, 2) || !jbi_variable_ok(m, var)) return;
  if (!is_bool_array(m->attributes[var])) return jbi_fail(m, JBI_RC_BOUNDS);
  const int64_t x = jbi_pop(m);
  int32_t &start = m->stack[m->stack_ptr - 1];
  const int64_t count = m->h.version == 1 ? x - start + 1 : x;
  if (count < 1 || count > 32 || !jbi_bool_range_ok(m, var, start, count)) {
    return jbi_fail(m, JBI_RC_BOUNDS);
  }
  const unsigned char *data = jbi_bool_data(m, var);
  uint32_t value = 0;
  for (int64_t i = 0; i < count; ++i) value |= uint32_t{jbi_get_bit(data, start + i)} << i;
  start = static_cast<int32_t>(value);
}

void jbi_op_resize_array(JbiMachine *m, uint32_t var) {
  if (!jbi_need(m, 1) || !jbi_variable_ok(m, var)) return;
  // A scalar has no storage to resize; its entry holds its value.
  if (!(m->attributes[var] & JBI_ATTR_ARRAY)) return jbi_fail(m, JBI_RC_BOUNDS);
  const int32_t size = jbi_pop(m);
  if (size <= m->variable_size[var]) return;
  uint8_t attr = m->attributes[var];
  const uint64_t bytes = (attr & JBI_ATTR_INTEGER) ? uint64_t(size) * 4 : (uint64_t(size) + 7) / 8;
  if ((attr & JBI_ATTR_OWNED) && m->variables[var] != 0) jbi_free(owned(m, var));
  // An array that had its data in the file now lives in memory, zeroed like a fresh array, so
  // no instruction goes on reading the file past the old size.
  if (attr & JBI_ATTR_INITIAL) {
    attr = static_cast<uint8_t>(attr & ~JBI_ATTR_INITIAL);
    if (attr & JBI_ATTR_INTEGER) attr |= JBI_ATTR_NATIVE;
  }
  m->attributes[var] = attr | JBI_ATTR_OWNED;
  void *storage = jbi_alloc_storage(bytes);
  m->variables[var] = reinterpret_cast<intptr_t>(storage);
  if (storage == nullptr) {
    m->variable_size[var] = 0;
    return jbi_fail(m, JBI_RC_OUT_OF_MEMORY);
  }
  std::memset(storage, 0, bytes);
  m->variable_size[var] = size;
}

void jbi_op_copy_bool_range(JbiMachine *m, uint32_t source, uint32_t destination) {
  const bool format2 = m->h.version == 1;
  if (!jbi_need(m, format2 ? 4 : 3)) return;
  if (!jbi_variable_ok(m, source) || !jbi_variable_ok(m, destination)) return;
  int64_t src_start, dst_start, count;
  bool flip = false;  // exactly one range runs downward
  if (!format2) {
    count = jbi_pop(m);
    src_start = jbi_pop(m);
    dst_start = jbi_pop(m);
  } else {
    const int64_t s1 = jbi_pop(m), s2 = jbi_pop(m), d1 = jbi_pop(m), d2 = jbi_pop(m);
    const bool src_reversed = s1 > s2, dst_reversed = d1 > d2;
    const int64_t src_length = (src_reversed ? s1 - s2 : s2 - s1) + 1;
    const int64_t dst_length = (dst_reversed ? d1 - d2 : d2 - d1) + 1;
    src_start = src_reversed ? s2 : s1;
    dst_start = dst_reversed ? d2 : d1;
    count = src_length < dst_length ? src_length : dst_length;
    if ((src_reversed || dst_reversed) && src_length != dst_length) {
      return jbi_fail(m, JBI_RC_BOUNDS);
    }
    flip = src_reversed != dst_reversed;
  }
  unsigned char *out = writable_bool(m, destination);
  if (out == nullptr && m->status != 0) return;
  if (count < 1 || !jbi_bool_range_ok(m, source, src_start, count) ||
      !jbi_bool_range_ok(m, destination, dst_start, count)) {
    return jbi_fail(m, JBI_RC_BOUNDS);
  }
  const unsigned char *in = jbi_bool_data(m, source);  // after the copy: may be the same array
  for (int64_t i = 0; i < count; ++i) {
    const int64_t to = flip ? dst_start + count - 1 - i : dst_start + i;
    jbi_set_bit(out, to, jbi_get_bit(in, src_start + i));
  }
}

void jbi_op_compare_bool_ranges(JbiMachine *m, uint32_t source1, uint32_t source2, uint32_t mask) {
  const bool format2 = m->h.version == 1;
  if (!jbi_need(m, format2 ? 6 : 4)) return;
  int64_t start1, start2, mask_start, count;
  if (!format2) {
    start1 = jbi_pop(m);
    start2 = jbi_pop(m);
    mask_start = jbi_pop(m);
    count = jbi_pop(m);
  } else {
    start1 = jbi_pop(m);
    const int64_t end1 = jbi_pop(m);
    start2 = jbi_pop(m);
    const int64_t end2 = jbi_pop(m);
    mask_start = jbi_pop(m);
    const int64_t mask_end = jbi_pop(m);
    count = end1 - start1 + 1;
    if (end2 - start2 + 1 < count) count = end2 - start2 + 1;
    if (mask_end - mask_start + 1 < count) count = mask_end - mask_start + 1;
  }
  jbi_push(m, 1);
  if (count <= 0 || !jbi_bool_range_ok(m, source1, start1, count) ||
      !jbi_bool_range_ok(m, source2, start2, count) ||
      !jbi_bool_range_ok(m, mask, mask_start, count)) {
    return jbi_fail(m, JBI_RC_BOUNDS);
  }
  const unsigned char *a = jbi_bool_data(m, source1);
  const unsigned char *b = jbi_bool_data(m, source2);
  const unsigned char *k = jbi_bool_data(m, mask);
  for (int64_t i = 0; i < count; ++i) {
    if (jbi_get_bit(k, mask_start + i) &&
        jbi_get_bit(a, start1 + i) != jbi_get_bit(b, start2 + i)) {
      m->stack[m->stack_ptr - 1] = 0;
      break;
    }
  }
}
