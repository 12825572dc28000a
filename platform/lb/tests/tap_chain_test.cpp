#include "platform/lb/sim/tap_chain.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace lbsim {
namespace {

// Drives a chain the way the scan engine does: TMS paths and shifts, reading TDO before
// every edge.
class Driver {
 public:
  explicit Driver(TapChain &c) : c_(c) {}
  void tms(std::initializer_list<int> bits) {
    for (int b : bits) tap_chain_clock(c_, b, 0);
  }
  // From Run-Test/Idle or Test-Logic-Reset to Shift-DR / Shift-IR.
  void to_shift_dr() { tms({0, 1, 0, 0}); }
  void to_shift_ir() { tms({0, 1, 1, 0, 0}); }
  // Shifts `n` bits (first element first), the last with TMS 1; returns TDO bits.
  std::vector<int> shift(const std::vector<int> &in) {
    std::vector<int> out;
    for (size_t i = 0; i < in.size(); ++i)
      out.push_back(tap_chain_clock(c_, i + 1 == in.size() ? 1 : 0, in[i]));
    return out;
  }
  // Exit1 -> Update -> Idle.
  void update_to_idle() { tms({1, 0}); }

 private:
  TapChain &c_;
};

std::vector<int> bits_of(uint64_t value, int n) {
  std::vector<int> v;
  for (int i = 0; i < n; ++i) v.push_back(static_cast<int>((value >> i) & 1));
  return v;
}

uint64_t value_of(const std::vector<int> &bits, size_t from, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(bits[from + i]) << i;
  return v;
}

TEST(TapStateMachine, FollowsTheIeeeDiagramForEveryStateAndTms) {
  // {state, next with TMS 0, next with TMS 1}
  const int table[16][3] = {{0, 1, 0},    {1, 1, 2},    {2, 3, 9},    {3, 4, 5},
                            {4, 4, 5},    {5, 6, 8},    {6, 6, 7},    {7, 4, 8},
                            {8, 1, 2},    {9, 10, 0},   {10, 11, 12}, {11, 11, 12},
                            {12, 13, 15}, {13, 13, 14}, {14, 11, 15}, {15, 1, 2}};
  for (const auto &row : table) {
    EXPECT_EQ(tap_next_state(static_cast<TapState>(row[0]), 0), row[1]) << "state " << row[0];
    EXPECT_EQ(tap_next_state(static_cast<TapState>(row[0]), 1), row[2]) << "state " << row[0];
  }
}

TEST(TapStateMachine, FiveTmsHighReachTestLogicResetFromAnyState) {
  for (int s = 0; s < 16; ++s) {
    TapChain c;
    tap_chain_default(c);
    c.state = static_cast<TapState>(s);
    for (int i = 0; i < 5; ++i) tap_chain_clock(c, 1, 0);
    EXPECT_EQ(c.state, kTapReset) << tap_state_name(static_cast<TapState>(s));
  }
}

TEST(TapChainDefault, ShiftsBothIdcodesAfterReset) {
  TapChain c;
  tap_chain_default(c);
  Driver d(c);
  d.tms({1, 1, 1, 1, 1});
  d.to_shift_dr();
  const std::vector<int> out = d.shift(std::vector<int>(64, 0));
  // The device nearest TDO comes out first.
  EXPECT_EQ(value_of(out, 0, 32), 0x13631093u);
  EXPECT_EQ(value_of(out, 32, 32), 0x028120DDu);
}

TEST(TapChainDefault, InstructionRegistersCaptureBinary01) {
  TapChain c;
  tap_chain_default(c);
  Driver d(c);
  d.to_shift_ir();
  const std::vector<int> out = d.shift(std::vector<int>(16, 1));
  EXPECT_EQ(value_of(out, 0, 6), 0x01u);    // device 1, 6 bits
  EXPECT_EQ(value_of(out, 6, 10), 0x001u);  // device 0, 10 bits
}

TEST(TapChainDefault, AllOnesSelectsBypassInEveryDevice) {
  TapChain c;
  tap_chain_default(c);
  Driver d(c);
  d.to_shift_ir();
  d.shift(std::vector<int>(16, 1));
  d.update_to_idle();
  EXPECT_EQ(c.devices[0].ir, 0x3FFu);
  EXPECT_EQ(c.devices[1].ir, 0x3Fu);
  d.to_shift_dr();
  // Two one-bit bypass registers, captured 0: the pattern comes out two cycles late.
  const std::vector<int> pattern = {1, 0, 1, 1, 0, 0, 1, 0};
  std::vector<int> in = pattern;
  in.push_back(0);
  in.push_back(0);
  const std::vector<int> out = d.shift(in);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 0);
  for (size_t i = 0; i < pattern.size(); ++i) EXPECT_EQ(out[i + 2], pattern[i]) << i;
}

TEST(TapChainDefault, UsercodeAndUnknownInstructionsPerDevice) {
  TapChain c;
  tap_chain_default(c);
  Driver d(c);
  // TDI -> device 0 -> device 1 -> TDO: the first bits shifted in travel furthest, so
  // the first 6 land in device 1 and the last 10 in device 0, each least significant first.
  std::vector<int> in = bits_of(0x08, 6);            // device 1: USERCODE
  const std::vector<int> dev0 = bits_of(0x155, 10);  // device 0: unknown -> BYPASS
  in.insert(in.end(), dev0.begin(), dev0.end());
  d.to_shift_ir();
  d.shift(in);
  d.update_to_idle();
  EXPECT_EQ(c.devices[1].ir, 0x08u);
  EXPECT_EQ(c.devices[0].ir, 0x155u);
  d.to_shift_dr();
  const std::vector<int> out = d.shift(std::vector<int>(33, 0));
  EXPECT_EQ(value_of(out, 0, 32), 0x4B455348u);  // device 1 USERCODE
  EXPECT_EQ(out[32], 0);                         // device 0 bypass bit
}

TEST(TapChainDefault, IdcodeInstructionSelectsIdcodeAgainAfterOtherInstructions) {
  TapChain c;
  tap_chain_default(c);
  Driver d(c);
  std::vector<int> in = bits_of(0x3F, 6);
  const std::vector<int> dev0 = bits_of(0x006, 10);
  in.insert(in.end(), dev0.begin(), dev0.end());
  d.to_shift_ir();
  d.shift(in);
  d.update_to_idle();
  d.to_shift_dr();
  const std::vector<int> out = d.shift(std::vector<int>(33, 0));
  EXPECT_EQ(out[0], 0);                          // device 1 bypass
  EXPECT_EQ(value_of(out, 1, 32), 0x028120DDu);  // device 0 IDCODE
}

TEST(TapChainDefault, TestLogicResetReselectsIdcode) {
  TapChain c;
  tap_chain_default(c);
  Driver d(c);
  d.to_shift_ir();
  d.shift(std::vector<int>(16, 1));
  d.update_to_idle();
  d.tms({1, 1, 1});
  EXPECT_EQ(c.state, kTapReset);
  EXPECT_EQ(c.devices[0].ir, 0x006u);
  EXPECT_EQ(c.devices[1].ir, 0x09u);
}

TEST(TapChainDefault, TdoIsTheLevelBeforeTheEdgeAndFloatsHighOutsideShift) {
  TapChain c;
  tap_chain_default(c);
  EXPECT_EQ(tap_chain_tdo(c), 1);
  Driver d(c);
  d.to_shift_dr();
  // IDCODE of device 1 is ...1093: bit 0 = 1, bit 1 = 1, bit 2 = 0.
  EXPECT_EQ(tap_chain_tdo(c), 1);
  EXPECT_EQ(tap_chain_clock(c, 0, 0), 1);
  EXPECT_EQ(tap_chain_tdo(c), 1);
  EXPECT_EQ(tap_chain_clock(c, 0, 0), 1);
  EXPECT_EQ(tap_chain_clock(c, 0, 0), 0);
  d.tms({1});  // Exit1-DR
  EXPECT_EQ(c.state, kTapDrExit1);
  EXPECT_EQ(tap_chain_tdo(c), 1);
}

TEST(TapChainBuild, RejectsDevicesThatCannotExist) {
  TapDeviceConfig good;
  good.ir_length = 4;
  good.idcode = 0x11;
  good.idcode_ir = 1;
  good.usercode_ir = 2;
  EXPECT_EQ(tap_device_config_error(good), nullptr);
  TapDeviceConfig bad = good;
  bad.ir_length = 1;
  EXPECT_NE(tap_device_config_error(bad), nullptr);
  bad = good;
  bad.idcode_ir = 0xF;  // all ones is BYPASS
  EXPECT_NE(tap_device_config_error(bad), nullptr);
  bad = good;
  bad.usercode_ir = 0x10;  // does not fit 4 bits
  EXPECT_NE(tap_device_config_error(bad), nullptr);
  bad = good;
  bad.ir_capture = 0x2;  // must end in 01
  EXPECT_NE(tap_device_config_error(bad), nullptr);
  bad = good;
  bad.usercode_ir = bad.idcode_ir;
  EXPECT_NE(tap_device_config_error(bad), nullptr);

  TapChain c;
  tap_chain_default(c);
  EXPECT_FALSE(tap_chain_build(c, &bad, 1));
  EXPECT_EQ(c.device_count, 2u);  // unchanged
  EXPECT_FALSE(tap_chain_build(c, &good, 0));
}

TEST(TapChainBuild, ThirtyTwoBitInstructionRegisterWorks) {
  TapDeviceConfig dev;
  dev.ir_length = 32;
  dev.idcode = 0xCAFEF00D | 1;
  dev.idcode_ir = 0x12345678;
  dev.usercode = 0x55AA55AA;
  dev.usercode_ir = 0x87654321;
  TapChain c;
  ASSERT_TRUE(tap_chain_build(c, &dev, 1));
  Driver d(c);
  d.to_shift_ir();
  const std::vector<int> captured = d.shift(bits_of(0x87654321, 32));
  EXPECT_EQ(value_of(captured, 0, 32), 0x1u);
  d.update_to_idle();
  d.to_shift_dr();
  EXPECT_EQ(value_of(d.shift(std::vector<int>(32, 0)), 0, 32), 0x55AA55AAu);
}

}  // namespace
}  // namespace lbsim
