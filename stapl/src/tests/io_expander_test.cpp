// Expansion of compressed data blocks and the packed bit reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "stapl/src/jbicomp.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Builds a block bit by bit, least significant bit first, as the expander reads it.
class BlockWriter {
 public:
  explicit BlockWriter(uint32_t data_length) { put(data_length, 32); }
  BlockWriter &put(uint32_t value, unsigned bits) {
    for (unsigned b = 0; b < bits; ++b) {
      if (pos_ % 8 == 0) bytes_.push_back(0);
      if ((value >> b) & 1) bytes_.back() |= static_cast<uint8_t>(1u << (pos_ % 8));
      ++pos_;
    }
    return *this;
  }
  BlockWriter &literals(const std::string &text) {
    put(0, 1);
    for (char c : text) put(static_cast<uint8_t>(c), 8);
    return *this;
  }
  BlockWriter &match(uint32_t offset, unsigned offset_bits, uint32_t length) {
    return put(1, 1).put(offset, offset_bits).put(length, 8);
  }
  const Bytes &bytes() const { return bytes_; }

 private:
  Bytes bytes_;
  uint64_t pos_ = 0;
};

std::string expand(const Bytes &block, uint32_t out_length, int version, uint32_t *result) {
  Bytes out(out_length, 0xEE);
  *result = jbi_uncompress(block.data(), static_cast<uint32_t>(block.size()), out.data(),
                           out_length, version);
  return std::string(out.begin(), out.end());
}

bool all_zero(const std::string &s) { return s.find_first_not_of('\0') == std::string::npos; }

// ---- The block format ------------------------------------------------------------------------

TEST(Expander, ReferenceBlockExpandsInBothFormats) {
  const Bytes block = {0x0D, 0x00, 0x00, 0x00, 0xC2, 0xC4, 0xC6, 0x9E, 0x00, 0x0B};
  for (int version : {0, 1}) {
    uint32_t result = 0;
    EXPECT_EQ(expand(block, 13, version, &result), "abcabcabcabcX") << "version " << version;
    EXPECT_EQ(result, 13u);
  }
}

TEST(Expander, WriterAgreesWithTheReferenceBlock) {
  // Guards the test's own encoder: it must produce the reference bytes.
  BlockWriter w(13);
  w.literals("abc").match(3, 2, 9).literals("X");
  EXPECT_EQ(w.bytes(), (Bytes{0x0D, 0x00, 0x00, 0x00, 0xC2, 0xC4, 0xC6, 0x9E, 0x00, 0x0B}));
}

TEST(Expander, EmptyBlockReadsNoGroup) {
  const Bytes block = {0, 0, 0, 0};
  uint32_t result = 1;
  expand(block, 0, 1, &result);
  EXPECT_EQ(result, 0u);
  expand(block, 5, 1, &result);
  EXPECT_EQ(result, 0u);
}

TEST(Expander, BlockLargerThanOutputIsRefusedWithZeroedOutput) {
  BlockWriter w(13);
  w.literals("abc").match(3, 2, 9).literals("X");
  uint32_t result = 1;
  const std::string out = expand(w.bytes(), 12, 0, &result);
  EXPECT_EQ(result, 0u);
  EXPECT_TRUE(all_zero(out));
}

TEST(Expander, OutputBeyondTheDataLengthIsCleared) {
  BlockWriter w(3);
  w.literals("xyz");
  uint32_t result = 0;
  EXPECT_EQ(expand(w.bytes(), 6, 1, &result), std::string("xyz\0\0\0", 6));
  EXPECT_EQ(result, 3u);
}

TEST(Expander, LengthAboveSixteenBitsUsesAllFourLengthBytes) {
  const uint32_t length = 70000;
  BlockWriter w(length);
  w.literals("abc");
  for (uint32_t produced = 3; produced < length; produced += 255)
    w.match(1, jbi_bits_required(std::min<uint32_t>(produced, 8191)), 255);
  uint32_t result = 0;
  const std::string out = expand(w.bytes(), length, 1, &result);
  EXPECT_EQ(result, length);
  EXPECT_EQ(out.substr(0, 3), "abc");
  EXPECT_EQ(out.find_first_not_of('c', 2), std::string::npos);
  expand(w.bytes(), length - 1, 1, &result);
  EXPECT_EQ(result, 0u) << "one byte short of the stated length";
}

TEST(Expander, FinalLiteralGroupCarriesOnlyTheMissingBytes) {
  // 5 bytes: "abc" then a group of which only "de" is present; nothing follows.
  BlockWriter w(5);
  w.literals("abc").literals("de");
  uint32_t result = 0;
  EXPECT_EQ(expand(w.bytes(), 5, 1, &result), "abcde");
  EXPECT_EQ(result, 5u);
  EXPECT_EQ(w.bytes().size(), 4u + 6u) << "the length, then 25 + 17 bits";
}

TEST(Expander, ZeroLengthMatchConsumesItsFields) {
  BlockWriter v(4);
  v.literals("abc").match(2, 2, 0).literals("d");
  uint32_t result = 0;
  EXPECT_EQ(expand(v.bytes(), 4, 1, &result), "abcd");
  EXPECT_EQ(result, 4u);
}

TEST(Expander, MatchIsCutAtTheDataLength) {
  BlockWriter w(7);
  w.literals("xyz").match(3, 2, 200);
  uint32_t result = 0;
  EXPECT_EQ(expand(w.bytes(), 7, 0, &result), "xyzxyzx");
  EXPECT_EQ(result, 7u);
}

TEST(Expander, OverlappingMatchesRepeatRecentBytes) {
  BlockWriter w(3 + 5 + 6);
  w.literals("abc").match(1, 2, 5).match(2, 4, 6);
  uint32_t result = 0;
  EXPECT_EQ(expand(w.bytes(), 14, 1, &result), "abcccccccccccc");
  BlockWriter v(3 + 7);
  v.literals("pqr").match(2, 2, 7);
  EXPECT_EQ(expand(v.bytes(), 10, 1, &result), "pqrqrqrqrq");
}

// `produced` (at least 3) bytes of literals (a short repeat tops them up to a length that is not a
// multiple of three), then a match of 4 bytes whose offset field is `width` bits wide. When
// the expander reads another width, the bytes it copies differ from the expected ones.
void check_offset_width(uint32_t produced, int version, unsigned width) {
  const uint32_t window = version == 0 ? 8192 : 8191;
  const uint32_t whole = produced / 3 * 3;
  std::string out;
  BlockWriter w(produced + 4);
  for (uint32_t i = 0; i < whole; i += 3) {
    std::string group;
    for (uint32_t k = i; k < i + 3; ++k) group.push_back(static_cast<char>('A' + (k * 7) % 26));
    w.literals(group);
    out += group;
  }
  if (produced != whole) {
    const uint32_t rest = produced - whole;
    w.match(1, jbi_bits_required(std::min(whole, window)), rest);
    out += std::string(rest, out.back());
  }
  const uint32_t offset = std::min<uint32_t>(produced, (1u << width) - 1);
  w.match(offset, width, 4);
  for (int k = 0; k < 4; ++k) out.push_back(out[out.size() - offset]);

  uint32_t result = 0;
  const std::string got = expand(w.bytes(), produced + 4, version, &result);
  ASSERT_EQ(result, produced + 4) << produced << " bytes, version " << version;
  EXPECT_EQ(got.substr(produced), out.substr(produced))
      << produced << " bytes, version " << version << ", width " << width;
}

TEST(Expander, OffsetFieldWidthGrowsWithTheOutputUpToTheWindow) {
  check_offset_width(3, 0, 2);
  check_offset_width(4, 0, 3);
  check_offset_width(4095, 1, 12);
  check_offset_width(4096, 1, 13);
  check_offset_width(4096, 0, 13);
  check_offset_width(8191, 0, 13);
  check_offset_width(8192, 1, 13);
  check_offset_width(8192, 0, 14);
  check_offset_width(9000, 1, 13);
  check_offset_width(9000, 0, 14);
}

TEST(Expander, FirstMatchAfterNoOutputHasAOneBitOffset) {
  // An empty match at the very start (offset field 1 bit), then a literal group.
  BlockWriter w(3);
  w.match(0, 1, 0).literals("abc");
  uint32_t result = 0;
  EXPECT_EQ(expand(w.bytes(), 3, 1, &result), "abc");
  EXPECT_EQ(result, 3u);
}

// ---- Malformed blocks --------------------------------------------------------------------------

TEST(Expander, StreamThatRunsPastItsBlockIsRefused) {
  BlockWriter w(13);
  w.literals("abc").match(3, 2, 9).literals("X");
  Bytes cut = w.bytes();
  cut.pop_back();
  uint32_t result = 1;
  EXPECT_TRUE(all_zero(expand(cut, 13, 1, &result)));
  EXPECT_EQ(result, 0u);

  const Bytes short_length = {0x05, 0x00};
  EXPECT_TRUE(all_zero(expand(short_length, 5, 1, &result)));
  EXPECT_EQ(result, 0u);
}

TEST(Expander, MatchReachingBeforeTheOutputIsRefused) {
  BlockWriter w(10);
  w.literals("abc").match(3, 2, 1).match(7, 3, 6);
  uint32_t result = 1;
  EXPECT_TRUE(all_zero(expand(w.bytes(), 10, 1, &result)));
  EXPECT_EQ(result, 0u);
}

TEST(Expander, ZeroOffsetLeavesClearedBytes) {
  BlockWriter w(6);
  w.literals("abc").match(0, 2, 3);
  uint32_t result = 0;
  EXPECT_EQ(expand(w.bytes(), 6, 1, &result), std::string("abc\0\0\0", 6));
  EXPECT_EQ(result, 6u);
}

// ---- Bit width and the packed reader -----------------------------------------------------------

TEST(BitsRequired, CountsBinaryDigits) {
  const unsigned n[] = {0, 1, 2, 3, 4, 255, 256, 4095, 4096, 8191, 8192};
  const unsigned width[] = {1, 1, 2, 2, 3, 8, 9, 12, 13, 13, 14};
  for (size_t i = 0; i < std::size(n); ++i) EXPECT_EQ(jbi_bits_required(n[i]), width[i]) << n[i];
}

TEST(ReadPacked, FieldsRunAcrossBytesLeastSignificantBitFirst) {
  const Bytes stream = {0xB5, 0x6C, 0xF1};  // 10110101 01101100 11110001
  jbi_in_index = 0;
  jbi_bits_avail = 8;
  EXPECT_EQ(jbi_read_packed(stream.data(), 3), 0x5u);   // bits 0..2 of 0xB5
  EXPECT_EQ(jbi_read_packed(stream.data(), 7), 0x16u);  // bits 3..7 of 0xB5, 0..1 of 0x6C
  EXPECT_EQ(jbi_in_index, 1u);
  EXPECT_EQ(jbi_bits_avail, 6u);
  EXPECT_EQ(jbi_read_packed(stream.data(), 6), 0x1Bu);  // bits 2..7 of 0x6C
  EXPECT_EQ(jbi_in_index, 1u) << "a read that uses up a byte stays on it";
  EXPECT_EQ(jbi_bits_avail, 0u);
  EXPECT_EQ(jbi_read_packed(stream.data(), 8), 0xF1u);
  EXPECT_EQ(jbi_in_index, 2u);
}

TEST(ReadPacked, SixteenBitFieldSpansThreeBytes) {
  const Bytes stream = {0x80, 0xFF, 0x7F};
  jbi_in_index = 0;
  jbi_bits_avail = 8;
  EXPECT_EQ(jbi_read_packed(stream.data(), 7), 0u);
  EXPECT_EQ(jbi_read_packed(stream.data(), 16), 0xFFFFu);
  EXPECT_EQ(jbi_read_packed(stream.data(), 1), 0u);
}

}  // namespace
