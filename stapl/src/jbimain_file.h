// Reading the byte-code file layout: the header, big-endian fields and strings found by
// offset. Shared by the file queries and the interpreter. Nothing here trusts an offset or a
// count from the file: every helper says whether the bytes it would touch lie in the block.
#pragma once

#include <cstdint>

// Blocks of this size or smaller are never examined.
constexpr long JBI_MIN_FILE_SIZE = 52;
constexpr uint32_t JBI_JAM_FORMAT_1 = 0x4A414D00;  // "JAM\0", Jam 1.1 byte-code
constexpr uint32_t JBI_JAM_FORMAT_2 = 0x4A414D01;  // "JAM\1", Jam STAPL byte-code

// The header words, wherever the format puts them. Format 1 has no action or procedure table;
// its action_table, proc_table, action_count and proc_count are 0 here.
struct JbiHeader {
  uint32_t first_word;
  int version;  // 0 for format 1, 1 for format 2
  uint32_t action_table;
  uint32_t proc_table;
  uint32_t string_table;
  uint32_t note_strings;
  uint32_t note_table;
  uint32_t symbol_table;
  uint32_t data_section;
  uint32_t code_section;
  uint32_t debug_section;
  uint32_t crc_section;
  uint32_t action_count;
  uint32_t proc_count;
  uint32_t note_count;
  uint32_t symbol_count;
};

// Where each header word lies in a file, and the field of JbiHeader it fills. The words a
// format does not use (two in each) stay 0 in a written header.
struct JbiHeaderWord {
  uint32_t offset;
  uint32_t JbiHeader::*field;
};

// The header words of a file of `version` (0: format 1, 1: format 2) in file order; *count
// gets their number. The header of that format ends after the last of them.
const JbiHeaderWord *jbi_header_words(int version, int *count);

inline uint32_t jbi_be32(const unsigned char *p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
inline uint32_t jbi_be16(const unsigned char *p) { return (uint32_t{p[0]} << 8) | uint32_t{p[1]}; }

// True when [offset, offset + length) lies inside a block of `size` bytes.
inline bool jbi_span_ok(int64_t size, uint64_t offset, uint64_t length) {
  return size >= 0 && offset <= static_cast<uint64_t>(size) &&
         length <= static_cast<uint64_t>(size) - offset;
}

// Reads the identification word of a block over 52 bytes (else *first_word is 0). Returns
// false for an unrecognised block.
bool jbi_read_first_word(const unsigned char *program, int64_t size, uint32_t *first_word);

// Header acceptance: size over 52, a known identification word, and the whole header of that
// format inside the block. Fills every field; false for an unrecognised or cut-off block.
bool jbi_read_header(const unsigned char *program, int64_t size, JbiHeader *header);

// Fills *header from the identification word and every header word of that format that lies
// inside the block; the words beyond its end read as 0. False when the block ends inside the
// header, which jbi_read_header refuses: this reading is for listing damaged files.
bool jbi_read_header_fields(const unsigned char *program, int64_t size, uint32_t first_word,
                            JbiHeader *header);

// The NUL-terminated string at base + offset, or null when it does not start inside the block
// or runs to its end without a NUL.
const char *jbi_file_string(const unsigned char *program, int64_t size, uint32_t base,
                            uint32_t offset);
