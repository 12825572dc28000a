// Header acceptance and bounded string lookup for the byte-code file layout.
#include "stapl/src/jbimain_file.h"

bool jbi_read_first_word(const unsigned char *program, int64_t size, uint32_t *first_word) {
  *first_word = 0;
  if (program == nullptr || size <= JBI_MIN_FILE_SIZE) return false;
  *first_word = jbi_be32(program);
  return *first_word == JBI_JAM_FORMAT_1 || *first_word == JBI_JAM_FORMAT_2;
}

namespace {

constexpr JbiHeaderWord kFormat1Words[] = {
    {4, &JbiHeader::string_table},   {8, &JbiHeader::note_strings},  {12, &JbiHeader::note_table},
    {16, &JbiHeader::symbol_table},  {20, &JbiHeader::data_section}, {24, &JbiHeader::code_section},
    {28, &JbiHeader::debug_section}, {32, &JbiHeader::crc_section},  {44, &JbiHeader::note_count},
    {48, &JbiHeader::symbol_count},
};

// Format 2 puts the action and procedure tables after the identification word, which moves
// every word of format 1 by 8 and the counts by 16.
constexpr JbiHeaderWord kFormat2Words[] = {
    {4, &JbiHeader::action_table},  {8, &JbiHeader::proc_table},    {12, &JbiHeader::string_table},
    {16, &JbiHeader::note_strings}, {20, &JbiHeader::note_table},   {24, &JbiHeader::symbol_table},
    {28, &JbiHeader::data_section}, {32, &JbiHeader::code_section}, {36, &JbiHeader::debug_section},
    {40, &JbiHeader::crc_section},  {48, &JbiHeader::action_count}, {52, &JbiHeader::proc_count},
    {60, &JbiHeader::note_count},   {64, &JbiHeader::symbol_count},
};

}  // namespace

const JbiHeaderWord *jbi_header_words(int version, int *count) {
  if (version == 1) {
    *count = static_cast<int>(sizeof kFormat2Words / sizeof kFormat2Words[0]);
    return kFormat2Words;
  }
  *count = static_cast<int>(sizeof kFormat1Words / sizeof kFormat1Words[0]);
  return kFormat1Words;
}

bool jbi_read_header_fields(const unsigned char *program, int64_t size, uint32_t first_word,
                            JbiHeader *h) {
  *h = JbiHeader{};
  h->first_word = first_word;
  h->version = static_cast<int>(first_word & 1);
  int count = 0;
  const JbiHeaderWord *words = jbi_header_words(h->version, &count);
  bool whole = true;
  for (int i = 0; i < count; ++i) {
    if (jbi_span_ok(size, words[i].offset, 4)) {
      h->*words[i].field = jbi_be32(program + words[i].offset);
    } else {
      whole = false;
    }
  }
  return whole;
}

bool jbi_read_header(const unsigned char *program, int64_t size, JbiHeader *h) {
  *h = JbiHeader{};
  if (!jbi_read_first_word(program, size, &h->first_word)) return false;
  h->version = static_cast<int>(h->first_word & 1);
  // Format 2 puts two table offsets after the identification word; a block that passes the
  // size test but stops inside that longer header is refused rather than read past its end,
  // and leaves no word of it behind.
  const uint32_t delta = 8u * static_cast<uint32_t>(h->version);
  if (!jbi_span_ok(size, 0, 52 + 2 * delta)) return false;
  return jbi_read_header_fields(program, size, h->first_word, h);
}

const char *jbi_file_string(const unsigned char *program, int64_t size, uint32_t base,
                            uint32_t offset) {
  const uint64_t start = uint64_t{base} + offset;
  if (!jbi_span_ok(size, start, 1)) return nullptr;
  for (uint64_t at = start; at < static_cast<uint64_t>(size); ++at) {
    if (program[at] == 0) return reinterpret_cast<const char *>(program + start);
  }
  return nullptr;
}
