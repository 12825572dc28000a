// The compressor's output must expand, through the player's own expander, to exactly the
// data it was given, in both file formats, for data of every shape.
#include "tools/src/stapl/compressor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "stapl/src/jbicomp.h"

namespace {

std::vector<uint8_t> expand(const std::vector<uint8_t> &block, uint32_t expected, int version) {
  std::vector<uint8_t> out(expected + 16, 0xEE);
  uint32_t got = jbi_uncompress(block.data(), static_cast<uint32_t>(block.size()), out.data(),
                                static_cast<uint32_t>(out.size()), version);
  EXPECT_EQ(got, expected);
  out.resize(got);
  return out;
}

void expect_round_trip(const std::vector<uint8_t> &data) {
  for (int format = 1; format <= 2; ++format) {
    SCOPED_TRACE("format " + std::to_string(format) + ", " + std::to_string(data.size()) +
                 " bytes");
    std::vector<uint8_t> block = stapl::compress_block(data, format);
    ASSERT_GE(block.size(), 4u);
    uint32_t length = block[0] | (block[1] << 8) | (block[2] << 16) | (uint32_t{block[3]} << 24);
    EXPECT_EQ(length, data.size());
    EXPECT_EQ(expand(block, static_cast<uint32_t>(data.size()), format - 1), data);
    // The expander needs exactly the block: one byte less must not be enough unless the
    // last byte holds no bit of the stream.
    EXPECT_LE(block.size(), 4 + (data.size() * 25 + 23) / 24 + 1);
  }
}

TEST(CompressorRoundTrip, EmptyDataIsJustTheLength) {
  std::vector<uint8_t> block = stapl::compress_block({}, 2);
  EXPECT_EQ(block, (std::vector<uint8_t>{0, 0, 0, 0}));
  uint8_t out[1] = {0};
  EXPECT_EQ(jbi_uncompress(block.data(), 4, out, 0, 1), 0u);
}

TEST(CompressorRoundTrip, ShortDataOfEveryLengthUpToTen) {
  for (size_t n = 1; n <= 10; ++n) {
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(0x31 * i + 7);
    expect_round_trip(data);
  }
}

TEST(CompressorRoundTrip, RunsUseOverlappingReferencesAndShrink) {
  std::vector<uint8_t> zeros(30000, 0);
  expect_round_trip(zeros);
  // 255-byte references of 1 + 13 + 8 bits: 22 bits for 255 bytes.
  EXPECT_LT(stapl::compress_block(zeros, 2).size(), 4 + (zeros.size() / 255 + 2) * 22 / 8);
  std::vector<uint8_t> ones(4097, 0xFF);
  expect_round_trip(ones);
}

TEST(CompressorRoundTrip, KnownSmallBlockExpandsToItsText) {
  const std::string text = "abcabcabcabcX";
  std::vector<uint8_t> data(text.begin(), text.end());
  expect_round_trip(data);
  // Literal group "abc" (25 bits), a reference back 3 of length 9 (1 + 2 + 8 bits) and the
  // literal X (9 bits): 45 bits in 6 bytes after the length.
  EXPECT_EQ(stapl::compress_block(data, 2).size(), 4u + 6u);
}

TEST(CompressorRoundTrip, RandomDataOfManySizes) {
  std::mt19937 rng(12345);
  for (size_t n : {11u, 100u, 1000u, 4095u, 4096u, 8191u, 8192u, 8193u, 20000u}) {
    std::vector<uint8_t> data(n);
    for (auto &b : data) b = static_cast<uint8_t>(rng());
    expect_round_trip(data);
  }
}

TEST(CompressorRoundTrip, RepetitiveDataAcrossTheWindowLimits) {
  // Patterns that repeat at distances near 4096 and 8192 reach the widest offset fields,
  // where the two formats differ (13 bits in format 2, 14 in format 1).
  std::mt19937 rng(777);
  for (size_t period : {3u, 17u, 4095u, 4096u, 8190u, 8191u, 8192u, 8193u}) {
    std::vector<uint8_t> unit(period);
    for (auto &b : unit) b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> data;
    while (data.size() < 3 * period + 1000) data.insert(data.end(), unit.begin(), unit.end());
    expect_round_trip(data);
  }
}

TEST(CompressorRoundTrip, SparseBitstreamLikeData) {
  // Mostly zero bytes with scattered set bits, as configuration data tends to be.
  std::mt19937 rng(99);
  std::vector<uint8_t> data(20000, 0);
  for (int k = 0; k < 1000; ++k)
    data[rng() % data.size()] = static_cast<uint8_t>(1u << (rng() % 8));
  expect_round_trip(data);
  EXPECT_LT(stapl::compress_block(data, 2).size(), data.size() / 2);
}

}  // namespace
