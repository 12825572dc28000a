// Message text and export instructions. The text is assembled in the 1024-character message
// buffer (appends stop at its end) and printed only by a flush; exports go straight to the
// host services.
#include <cstring>

#include "stapl/src/jbimain_machine.h"

namespace {

void append(JbiMachine *m, const char *text) {
  while (m->message_length < JBI_MESSAGE_LENGTH && *text != '\0') {
    m->message_buffer[m->message_length++] = *text++;
  }
  m->message_buffer[m->message_length] = '\0';
}

// A string of the string table named by an operand; null (and result 11) when the offset
// does not lead to a terminated string inside the file.
const char *table_string(JbiMachine *m, uint32_t offset) {
  const char *text = jbi_file_string(m->program, m->program_size, m->h.string_table, offset);
  if (text == nullptr) jbi_fail(m, JBI_RC_BOUNDS);
  return text;
}

}  // namespace

void jbi_op_print_integer(JbiMachine *m) {
  if (!jbi_need(m, 1)) return;
  char text[12];
  jbi_ltoa(text, jbi_pop(m));
  append(m, text);
}

void jbi_op_print_char(JbiMachine *m) {
  if (!jbi_need(m, 1)) return;
  unsigned char ch = static_cast<unsigned char>(jbi_pop(m));
  if (ch == 0 || ch >= 128) ch = 127;  // no NUL in the text, and plain ASCII only
  const char text[2] = {static_cast<char>(ch), '\0'};
  append(m, text);
}

void jbi_op_print_string(JbiMachine *m, uint32_t offset) {
  const char *text = table_string(m, offset);
  if (text != nullptr) append(m, text);
}

void jbi_op_print_flush(JbiMachine *m) {
  jbi_message(m->message_buffer);
  m->message_length = 0;
  m->message_buffer[0] = '\0';
}

void jbi_op_export_integer(JbiMachine *m, uint32_t key) {
  if (!jbi_need(m, 1)) return;
  const char *name = table_string(m, key);
  if (name != nullptr) jbi_export_integer(name, jbi_pop(m));
}

void jbi_op_export_bool_array(JbiMachine *m, uint32_t key) {
  if (!jbi_need(m, 3)) return;
  const char *name = table_string(m, key);
  if (name == nullptr) return;
  const int32_t var = jbi_pop(m);
  const int64_t start = jbi_pop(m);
  const int64_t end = jbi_pop(m);
  const int64_t count = end - start + 1;
  if (start > end || var < 0 || !jbi_bool_range_ok(m, static_cast<uint32_t>(var), start, count)) {
    return jbi_fail(m, JBI_RC_BOUNDS);
  }
  const unsigned char *data = jbi_bool_data(m, static_cast<uint32_t>(var));
  if (start % 8 == 0) {
    jbi_export_boolean_array(name, data + start / 8, static_cast<int32_t>(count));
    return;
  }
  auto *copy = static_cast<unsigned char *>(jbi_alloc_storage((uint64_t(count) + 7) / 8));
  if (copy == nullptr) return jbi_fail(m, JBI_RC_OUT_OF_MEMORY);
  std::memset(copy, 0, (uint64_t(count) + 7) / 8);
  for (int64_t i = 0; i < count; ++i) jbi_set_bit(copy, i, jbi_get_bit(data, start + i));
  jbi_export_boolean_array(name, copy, static_cast<int32_t>(count));
  jbi_free(copy);
}
