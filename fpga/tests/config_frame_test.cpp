// The generator's pieces: its data is fixed by the seed, its CRC is the one the FPGA
// computes, its frame configures the simulated FPGA, and its hex text is the assembler's
// Boolean-array notation.
#include "fpga/config_frame.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/lb/sim/tap_chain.h"

namespace fpga {
namespace {

TEST(ConfigData, SameSeedSameBitsOtherSeedOtherBits) {
  const BitString a = make_data(1001, 7);
  const BitString b = make_data(1001, 7);
  const BitString c = make_data(1001, 8);
  EXPECT_EQ(a.size, 1001u);
  EXPECT_EQ(a.bytes, b.bytes);
  EXPECT_NE(a.bytes, c.bytes);
  EXPECT_EQ(a.bytes.back() & 0xFE, 0);  // no bits beyond the size
  // Pseudo-random, not a pattern: about half the bits set.
  const BitString big = make_data(80000, 1);
  int ones = 0;
  for (uint64_t i = 0; i < big.size; ++i) ones += big.at(i);
  EXPECT_NEAR(ones, 40000, 1000);
}

TEST(ConfigCrc, AgreesWithTheFpgaForWholeAndPartBytes) {
  BitString check;
  for (char ch : std::string("123456789"))
    for (int i = 0; i < 8; ++i) check.push((ch >> i) & 1);
  EXPECT_EQ(crc32_bits(check), 0xCBF43926u);
  for (uint64_t bits : {1u, 7u, 8u, 63u, 4099u}) {
    const BitString d = make_data(bits, bits);
    EXPECT_EQ(crc32_bits(d), lbsim::fpga_crc32(d.bytes.data(), d.size)) << bits << " bits";
  }
}

// Shifts `bits` into the FPGA of the default chain the way a program does (device 1's
// padding bit first), between START and END.
lbsim::FpgaState load(const BitString &bits) {
  lbsim::TapChain c;
  lbsim::tap_chain_default(c);
  const auto clock = [&c](int tms, int tdi) { lbsim::tap_chain_clock(c, tms, tdi); };
  const auto instruction = [&](uint32_t code) {
    for (int tms : {1, 1, 0, 0}) clock(tms, 0);
    for (int i = 0; i < 16; ++i) clock(i == 15, i < 6 ? 1 : (code >> (i - 6)) & 1);
    clock(1, 0);
    clock(0, 0);
  };
  clock(0, 0);
  instruction(lbsim::kFpgaStartIr);
  instruction(lbsim::kFpgaLoadIr);
  for (int tms : {1, 0, 0}) clock(tms, 0);
  clock(0, 1);
  for (uint64_t i = 0; i < bits.size; ++i) clock(i + 1 == bits.size, bits.at(i));
  clock(1, 0);
  clock(0, 0);
  instruction(lbsim::kFpgaEndIr);
  return lbsim::tap_fpga_state(c.devices[0]);
}

TEST(ConfigFrame, ConfiguresTheFpgaAndAFlippedBitDoesNot) {
  for (uint64_t bits : {8u, 333u, 65536u}) {
    BitString data = make_data(bits, 3);
    const uint32_t crc = crc32_bits(data);
    const BitString frame = make_frame(data, crc);
    EXPECT_EQ(frame.size, bits + 96);
    lbsim::FpgaState st = load(frame);
    EXPECT_TRUE(st.configured) << bits << " bits";
    EXPECT_EQ(st.bits, bits);
    EXPECT_EQ(st.crc, crc);
    data.flip(bits / 2);
    st = load(make_frame(data, crc));
    EXPECT_FALSE(st.configured) << bits << " bits";
    EXPECT_EQ(st.error, lbsim::FpgaError::kCrcMismatch);
  }
}

TEST(ConfigHex, MostSignificantDigitFirstInJoinedLines) {
  BitString bits;
  bits.push_word(0x12345678);
  bits.push(1);  // bit 32: a fifth byte, top digits zero
  EXPECT_EQ(hex_digits(bits), "112345678");
  EXPECT_EQ(hex_digits(bits, 4), "1123 \\\n    4567 \\\n    8");
}

}  // namespace
}  // namespace fpga
