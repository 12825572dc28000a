// The player's host services: messages, exports and the heap.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "stapl/src/jbiexprt.h"
#include "stapl/src/jbistub.h"

namespace {

class HostServices : public ::testing::Test {
 protected:
  void SetUp() override { verbose = 1; }
  void TearDown() override { verbose = 0; }
  static void capture() { ::testing::internal::CaptureStdout(); }
  static std::string output() { return ::testing::internal::GetCapturedStdout(); }
};

std::vector<uint8_t> bits(int count, std::initializer_list<int> set) {
  std::vector<uint8_t> data(static_cast<size_t>((count + 7) / 8), 0);
  for (int i : set) data[static_cast<size_t>(i / 8)] |= static_cast<uint8_t>(1u << (i % 8));
  return data;
}

// ---- Exports -------------------------------------------------------------------------------

TEST_F(HostServices, ShortBooleanExportIsOneHexLineWithTheTopDigitPartial) {
  const uint8_t a5a = 0x5A;
  const uint8_t f1f = 0x1F;
  capture();
  jbi_export_boolean_array("K", &a5a, 8);
  jbi_export_boolean_array("FIVE", &f1f, 5);
  jbi_export_boolean_array("NONE", &a5a, 0);
  EXPECT_EQ(output(),
            "Export: key = \"K\", 8 bits, value = HEX 5A\n"
            "Export: key = \"FIVE\", 5 bits, value = HEX 1F\n"
            "Export: key = \"NONE\", 0 bits, value = HEX \n");
}

TEST_F(HostServices, ExactlyTwoHundredEightyEightBitsStayOnOneLine) {
  std::vector<uint8_t> data(36);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  // Read as one number with byte 0 least significant: the last byte's digits come first.
  std::string hex;
  static const char digits[] = "0123456789ABCDEF";
  for (size_t i = data.size(); i-- > 0;) {
    hex += digits[data[i] >> 4];
    hex += digits[data[i] & 0xF];
  }
  capture();
  jbi_export_boolean_array("BIG", data.data(), 288);
  EXPECT_EQ(output(), "Export: key = \"BIG\", 288 bits, value = HEX " + hex + "\n");
}

TEST_F(HostServices, LongerExportsAreSplitIntoLinesOf288BitsFromTheTop) {
  // 300 bits: a line for elements 12..299, then one for 0..11.
  const std::vector<uint8_t> data = bits(300, {299, 12, 11, 0});
  capture();
  jbi_export_boolean_array("L", data.data(), 300);
  EXPECT_EQ(output(),
            "Export: key = \"L\", 300 bits, value = HEX\n8" + std::string(70, '0') + "1\n801\n");
}

TEST_F(HostServices, ExportsOfMultipleFullLinesEndWithAFullLowLine) {
  const std::vector<uint8_t> data = bits(576, {575, 288, 287, 0});
  capture();
  jbi_export_boolean_array("M", data.data(), 576);
  const std::string line = "8" + std::string(70, '0') + "1\n";
  EXPECT_EQ(output(), "Export: key = \"M\", 576 bits, value = HEX\n" + line + line);
}

TEST_F(HostServices, IntegerExportIsSignedDecimal) {
  capture();
  jbi_export_integer("N", -5);
  jbi_export_integer("MAX", 2147483647);
  EXPECT_EQ(output(),
            "Export: key = \"N\", value = -5\n"
            "Export: key = \"MAX\", value = 2147483647\n");
}

TEST_F(HostServices, QuietPlayerExportsNothingButStillPrintsMessages) {
  verbose = 0;
  const uint8_t data = 0xFF;
  capture();
  jbi_export_integer("N", 1);
  jbi_export_boolean_array("B", &data, 8);
  jbi_message("still here");
  EXPECT_EQ(output(), "still here\n");
}

TEST_F(HostServices, MessageTextIsPrintedAsGiven) {
  capture();
  jbi_message("100% done");
  jbi_message("");
  EXPECT_EQ(output(), "100% done\n\n");
}

TEST_F(HostServices, NegativeOrMissingBooleanArrayPrintsNothing) {
  capture();
  jbi_export_boolean_array("NEG", nullptr, -4);
  jbi_export_boolean_array("NULL", nullptr, 16);
  EXPECT_EQ(output(), "");
}

TEST(HexDigits, UpperCase) {
  EXPECT_EQ(conv_to_hex(9), '9');
  EXPECT_EQ(conv_to_hex(10), 'A');
  EXPECT_EQ(conv_to_hex(15), 'F');
  EXPECT_EQ(conv_to_hex(0), '0');
}

// ---- Heap ----------------------------------------------------------------------------------

TEST(PlayerHeap, BlocksAreCountedUntilReleased) {
  const long before = jbi_malloc_live_blocks;
  void *a = jbi_malloc(16);
  void *b = jbi_malloc(0);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr) << "a zero-byte request is not exhaustion";
  EXPECT_EQ(jbi_malloc_live_blocks, before + 2);
  jbi_free(a);
  jbi_free(nullptr);
  jbi_free(b);
  EXPECT_EQ(jbi_malloc_live_blocks, before);
}

TEST(PlayerHeap, BudgetMakesLaterAllocationsFail) {
  jbi_malloc_budget = 2;
  void *a = jbi_malloc(8);
  void *b = jbi_malloc(8);
  void *c = jbi_malloc(8);
  jbi_malloc_budget = -1;
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
  EXPECT_EQ(c, nullptr);
  jbi_free(a);
  jbi_free(b);
}

}  // namespace
