// Where the header words lie, as the player reads them and as a lister reads a header cut off
// by the end of the block. The offsets are written out here on purpose: they are the file
// format, not whatever the player's table happens to say.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "stapl/src/jbimain_file.h"

namespace {

// A block of `size` bytes with the identification word of `version` whose every other word
// holds 0x1000 plus its own offset, so a field read from the wrong place shows it.
std::vector<unsigned char> numbered_block(int version, size_t size) {
  std::vector<unsigned char> block(size, 0);
  const uint32_t id = version == 1 ? JBI_JAM_FORMAT_2 : JBI_JAM_FORMAT_1;
  for (size_t at = 0; at + 4 <= size; at += 4) {
    const uint32_t v = at == 0 ? id : 0x1000u + static_cast<uint32_t>(at);
    for (int i = 0; i < 4; ++i) block[at + i] = static_cast<unsigned char>(v >> (24 - 8 * i));
  }
  return block;
}

uint32_t at(uint32_t offset) { return 0x1000u + offset; }

TEST(HeaderWords, Format2FieldsComeFromTheirOffsetsAndBothReadersAgree) {
  const std::vector<unsigned char> block = numbered_block(1, 100);
  JbiHeader h{};
  ASSERT_TRUE(jbi_read_header(block.data(), 100, &h));
  EXPECT_EQ(h.first_word, JBI_JAM_FORMAT_2);
  EXPECT_EQ(h.version, 1);
  EXPECT_EQ(h.action_table, at(4));
  EXPECT_EQ(h.proc_table, at(8));
  EXPECT_EQ(h.string_table, at(12));
  EXPECT_EQ(h.note_strings, at(16));
  EXPECT_EQ(h.note_table, at(20));
  EXPECT_EQ(h.symbol_table, at(24));
  EXPECT_EQ(h.data_section, at(28));
  EXPECT_EQ(h.code_section, at(32));
  EXPECT_EQ(h.debug_section, at(36));
  EXPECT_EQ(h.crc_section, at(40));
  EXPECT_EQ(h.action_count, at(48));
  EXPECT_EQ(h.proc_count, at(52));
  EXPECT_EQ(h.note_count, at(60));
  EXPECT_EQ(h.symbol_count, at(64));

  JbiHeader fields{};
  EXPECT_TRUE(jbi_read_header_fields(block.data(), 100, JBI_JAM_FORMAT_2, &fields));
  EXPECT_EQ(std::memcmp(&fields, &h, sizeof h), 0);
}

TEST(HeaderWords, Format1HasNoActionOrProcedureFields) {
  const std::vector<unsigned char> block = numbered_block(0, 100);
  JbiHeader h{};
  ASSERT_TRUE(jbi_read_header(block.data(), 100, &h));
  EXPECT_EQ(h.version, 0);
  EXPECT_EQ(h.action_table, 0u);
  EXPECT_EQ(h.proc_table, 0u);
  EXPECT_EQ(h.action_count, 0u);
  EXPECT_EQ(h.proc_count, 0u);
  EXPECT_EQ(h.string_table, at(4));
  EXPECT_EQ(h.note_strings, at(8));
  EXPECT_EQ(h.note_table, at(12));
  EXPECT_EQ(h.symbol_table, at(16));
  EXPECT_EQ(h.data_section, at(20));
  EXPECT_EQ(h.code_section, at(24));
  EXPECT_EQ(h.debug_section, at(28));
  EXPECT_EQ(h.crc_section, at(32));
  EXPECT_EQ(h.note_count, at(44));
  EXPECT_EQ(h.symbol_count, at(48));
}

TEST(HeaderWords, EachFormatsHeaderEndsAfterItsLastWord) {
  int count = 0;
  const JbiHeaderWord *words = jbi_header_words(0, &count);
  ASSERT_GT(count, 0);
  EXPECT_EQ(words[count - 1].offset + 4, 52u);
  words = jbi_header_words(1, &count);
  ASSERT_GT(count, 0);
  EXPECT_EQ(words[count - 1].offset + 4, 68u);
}

TEST(HeaderWords, CutOffHeaderKeepsTheWordsInsideAndRefusesTheRest) {
  const std::vector<unsigned char> block = numbered_block(1, 60);
  JbiHeader h{};
  EXPECT_FALSE(jbi_read_header_fields(block.data(), 60, JBI_JAM_FORMAT_2, &h));
  EXPECT_EQ(h.version, 1);
  EXPECT_EQ(h.string_table, at(12));
  EXPECT_EQ(h.proc_count, at(52));  // bytes 52..55, the last whole word inside
  EXPECT_EQ(h.note_count, 0u);      // would be bytes 60..63
  EXPECT_EQ(h.symbol_count, 0u);

  // The player refuses the same block and keeps none of its words.
  JbiHeader refused{};
  EXPECT_FALSE(jbi_read_header(block.data(), 60, &refused));
  EXPECT_EQ(refused.first_word, JBI_JAM_FORMAT_2);
  EXPECT_EQ(refused.string_table, 0u);
  EXPECT_EQ(refused.code_section, 0u);
}

TEST(HeaderWords, WordCutInTwoByTheEndIsNotRead) {
  std::vector<unsigned char> block = numbered_block(1, 66);
  block[64] = block[65] = 0xAA;  // the first half of the last word
  JbiHeader h{};
  EXPECT_FALSE(jbi_read_header_fields(block.data(), 66, JBI_JAM_FORMAT_2, &h));
  EXPECT_EQ(h.note_count, at(60));
  EXPECT_EQ(h.symbol_count, 0u);  // bytes 64..67, only two of them inside
}

}  // namespace
