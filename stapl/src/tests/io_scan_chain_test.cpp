// The scan engine against the simulated TAP chain: identity registers read back through
// padding, capture and stop states, as a real board would answer.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/lb/sim/tap_chain.h"
#include "stapl/src/jbijtag.h"
#include "stapl/src/tests/support/test_port.h"

namespace {

// Default chain, TDI to TDO: device 0 (IR 10 bits), device 1 (IR 6 bits). The first bit
// shifted travels furthest, so padding for device 1 is the preamble when device 0 is the
// target, and the postamble when device 1 is.
constexpr uint32_t kDev0Idcode = 0x028120DD;
constexpr uint32_t kDev0Usercode = 0x00C3F557;
constexpr uint32_t kDev1Idcode = 0x13631093;
constexpr uint32_t kDev1Usercode = 0x4B455348;

uint32_t word(const std::vector<uint8_t> &bits, unsigned at) {
  uint32_t w = 0;
  for (unsigned i = 0; i < 32; ++i) w |= uint32_t((bits[(at + i) / 8] >> ((at + i) % 8)) & 1) << i;
  return w;
}

std::vector<uint8_t> code_bits(uint32_t code) {
  return {uint8_t(code), uint8_t(code >> 8), uint8_t(code >> 16), uint8_t(code >> 24)};
}

class ScanChain : public ::testing::Test {
 protected:
  void SetUp() override {
    playertest::port::reset();
    jbi_init_jtag();
  }
  void TearDown() override { jbi_free_jtag_padding_buffers(0); }
};

TEST_F(ScanChain, IdcodesOfTheWholeChainComeBackNearestTdoFirst) {
  ASSERT_EQ(jbi_goto_jtag_state(RESET), 0);
  std::vector<uint8_t> data(8, 0xFF);
  ASSERT_EQ(jbi_swap_dr(64, data.data(), 0, data.data(), 0), 0);
  EXPECT_EQ(word(data, 0), kDev1Idcode);
  EXPECT_EQ(word(data, 32), kDev0Idcode);
  EXPECT_EQ(playertest::port::chain().state, lbsim::kTapIdle);
}

TEST_F(ScanChain, PaddingPutsTheOtherDeviceInBypass) {
  // Target device 0: device 1 gets 6 ones in IR and is one bypass bit in DR.
  ASSERT_EQ(jbi_set_ir_preamble(6, 0, nullptr), 0);
  ASSERT_EQ(jbi_set_dr_preamble(1, 0, nullptr), 0);
  const std::vector<uint8_t> usercode = code_bits(0x007);
  ASSERT_EQ(jbi_do_irscan(10, usercode.data(), 0), 0);
  std::vector<uint8_t> out(4, 0);
  const std::vector<uint8_t> zeros(4, 0);
  ASSERT_EQ(jbi_swap_dr(32, zeros.data(), 0, out.data(), 0), 0);
  EXPECT_EQ(word(out, 0), kDev0Usercode);

  // Target device 1: device 0 is the postamble now.
  jbi_free_jtag_padding_buffers(0);
  jbi_init_jtag();
  ASSERT_EQ(jbi_set_ir_postamble(10, 0, nullptr), 0);
  ASSERT_EQ(jbi_set_dr_postamble(1, 0, nullptr), 0);
  const std::vector<uint8_t> usercode1 = code_bits(0x08);
  ASSERT_EQ(jbi_do_irscan(6, usercode1.data(), 0), 0);
  ASSERT_EQ(jbi_swap_dr(32, zeros.data(), 0, out.data(), 0), 0);
  EXPECT_EQ(word(out, 0), kDev1Usercode);
}

TEST_F(ScanChain, InstructionCaptureShowsTheFixedLowBits) {
  std::vector<uint8_t> ir(2, 0xFF);
  ASSERT_EQ(jbi_swap_ir(16, ir.data(), 0, ir.data(), 0), 0);
  // Each IR captures binary ...01: device 1's 6 bits come out first.
  EXPECT_EQ(ir[0] & 0x3F, 0x01);
  EXPECT_EQ((ir[0] >> 6 | ir[1] << 2) & 0x3FF, 0x001);
}

TEST_F(ScanChain, EngineRecordFollowsTheChainThroughStopStates) {
  const std::vector<uint8_t> ones(4, 0xFF);
  const JBIE_JTAG_STATE stops[] = {DRPAUSE, IDLE, IRPAUSE, RESET, DRSELECT, IRUPDATE};
  for (JBIE_JTAG_STATE stop : stops) {
    jbi_set_drstop_state(stop);
    jbi_set_irstop_state(stop);
    ASSERT_EQ(jbi_do_drscan(7, ones.data(), 0), 0);
    EXPECT_EQ(static_cast<int>(playertest::port::chain().state), static_cast<int>(jbi_jtag_state));
    EXPECT_EQ(jbi_jtag_state, stop);
    ASSERT_EQ(jbi_do_irscan(16, ones.data(), 0), 0);
    EXPECT_EQ(static_cast<int>(playertest::port::chain().state), static_cast<int>(jbi_jtag_state));
  }
  for (int target = RESET; target <= IRUPDATE; ++target) {
    ASSERT_EQ(jbi_goto_jtag_state(static_cast<JBIE_JTAG_STATE>(target)), 0);
    EXPECT_EQ(static_cast<int>(playertest::port::chain().state), target);
  }
}

}  // namespace
