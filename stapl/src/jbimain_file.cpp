// Header acceptance and bounded string lookup for the byte-code file layout.
#include "stapl/src/jbimain_file.h"

bool jbi_read_first_word(const unsigned char* program, int64_t size, uint32_t* first_word) {
  *first_word = 0;
  if (program == nullptr || size <= JBI_MIN_FILE_SIZE) return false;
  *first_word = jbi_be32(program);
  return *first_word == JBI_JAM_FORMAT_1 || *first_word == JBI_JAM_FORMAT_2;
}

bool jbi_read_header(const unsigned char* program, int64_t size, JbiHeader* h) {
  *h = JbiHeader{};
  if (!jbi_read_first_word(program, size, &h->first_word)) return false;
  h->version = static_cast<int>(h->first_word & 1);
  // Format 2 puts two table offsets after the identification word; a block that passes the
  // size test but stops inside that longer header is refused rather than read past its end.
  const uint32_t delta = 8u * static_cast<uint32_t>(h->version);
  if (!jbi_span_ok(size, 0, 52 + 2 * delta)) return false;
  auto word = [program](uint32_t at) { return jbi_be32(program + at); };
  if (h->version == 1) {
    h->action_table = word(4);
    h->proc_table = word(8);
    h->action_count = word(40 + delta);
    h->proc_count = word(44 + delta);
  }
  h->string_table = word(4 + delta);
  h->note_strings = word(8 + delta);
  h->note_table = word(12 + delta);
  h->symbol_table = word(16 + delta);
  h->data_section = word(20 + delta);
  h->code_section = word(24 + delta);
  h->debug_section = word(28 + delta);
  h->crc_section = word(32 + delta);
  h->note_count = word(44 + 2 * delta);
  h->symbol_count = word(48 + 2 * delta);
  return true;
}

const char* jbi_file_string(const unsigned char* program, int64_t size, uint32_t base,
                            uint32_t offset) {
  const uint64_t start = uint64_t{base} + offset;
  if (!jbi_span_ok(size, start, 1)) return nullptr;
  for (uint64_t at = start; at < static_cast<uint64_t>(size); ++at) {
    if (program[at] == 0) return reinterpret_cast<const char*>(program + start);
  }
  return nullptr;
}
