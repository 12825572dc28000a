// The simulated FPGA (device 0 of the default chain) configured over the TAP exactly as a
// byte-code program does it: START, LOAD with the frame inside a DR scan that also carries
// the other device's padding, END, then the STATUS, CRC and COUNT registers read back.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "platform/lb/sim/tap_chain.h"

namespace lbsim {
namespace {

using Bits = std::vector<int>;

void append_word(Bits &bits, uint32_t word, int n = 32) {
  for (int i = 0; i < n; ++i) bits.push_back(static_cast<int>((word >> i) & 1));
}

uint32_t word_at(const Bits &bits, size_t from) {
  uint32_t w = 0;
  for (size_t i = 0; i < 32; ++i) w |= static_cast<uint32_t>(bits[from + i]) << i;
  return w;
}

Bits random_bits(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  Bits bits(n);
  for (int &b : bits) b = static_cast<int>(gen() & 1);
  return bits;
}

uint32_t crc_of(const Bits &data) {
  std::vector<uint8_t> bytes((data.size() + 7) / 8, 0);
  for (size_t i = 0; i < data.size(); ++i)
    if (data[i]) bytes[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
  return fpga_crc32(bytes.data(), data.size());
}

// Sync, length, data, CRC.
Bits frame(const Bits &data, uint32_t length, uint32_t crc) {
  Bits f;
  append_word(f, kFpgaSyncWord);
  append_word(f, length);
  f.insert(f.end(), data.begin(), data.end());
  append_word(f, crc);
  return f;
}
Bits frame(const Bits &data) {
  return frame(data, static_cast<uint32_t>(data.size()), crc_of(data));
}

// Drives the default chain (device 0 the FPGA, IR 10; device 1 IR 6) from Run-Test/Idle, the
// way the scan engine pads scans for device 0: device 1 is shifted first.
class Fpga : public ::testing::Test {
 protected:
  void SetUp() override {
    tap_chain_default(c_);
    tms({1, 1, 1, 1, 1, 0});
  }
  void tms(std::initializer_list<int> bits) {
    for (int b : bits) tap_chain_clock(c_, b, 0);
  }
  Bits shift(const Bits &in) {
    Bits out;
    for (size_t i = 0; i < in.size(); ++i)
      out.push_back(tap_chain_clock(c_, i + 1 == in.size() ? 1 : 0, in[i]));
    tms({1, 0});  // Update, Run-Test/Idle
    return out;
  }
  void instruction(uint32_t code) {
    Bits in;
    append_word(in, 0x3F, 6);  // device 1: BYPASS
    append_word(in, code, 10);
    tms({1, 1, 0, 0});
    shift(in);
  }
  // One DR scan: the bypass bit of device 1 first, then `target` for device 0.
  Bits dr_scan(const Bits &target) {
    Bits in = {1};
    in.insert(in.end(), target.begin(), target.end());
    tms({1, 0, 0});
    Bits out = shift(in);
    out.erase(out.begin());  // device 1's bypass bit
    return out;
  }
  uint32_t read_register(uint32_t code) {
    instruction(code);
    return word_at(dr_scan(Bits(32, 0)), 0);
  }
  void configure(const Bits &stream) {
    instruction(kFpgaStartIr);
    instruction(kFpgaLoadIr);
    dr_scan(stream);
    instruction(kFpgaEndIr);
  }
  FpgaState state() const { return tap_fpga_state(c_.devices[0]); }

  TapChain c_;
};

TEST(FpgaCrc, IsTheCommonCrc32OfBytesStoredLsbFirst) {
  const std::string check = "123456789";
  EXPECT_EQ(fpga_crc32(reinterpret_cast<const uint8_t *>(check.data()), 72), 0xCBF43926u);
  EXPECT_EQ(fpga_crc32(nullptr, 0), 0u);
}

TEST_F(Fpga, DefaultChainDeviceZeroIsAnUnconfiguredFpga) {
  EXPECT_EQ(c_.devices[0].config.kind, TapKind::kFpga);
  EXPECT_EQ(c_.devices[1].config.kind, TapKind::kFixed);
  EXPECT_EQ(read_register(kFpgaStatusIr), 0u);
  EXPECT_EQ(read_register(kFpgaCountIr), 0u);
  EXPECT_EQ(read_register(kFpgaCrcIr), 0u);
  EXPECT_EQ(read_register(0x006), 0x028120DDu);  // IDCODE unchanged
}

TEST_F(Fpga, GoodFrameConfiguresAndItsRegistersReadBack) {
  const Bits data = random_bits(4099, 1);  // not a whole number of bytes
  Bits stream = frame(data);
  append_word(stream, 0xFFFFFFFF);  // trailing bits are ignored
  configure(stream);
  EXPECT_EQ(read_register(kFpgaStatusIr), kFpgaStatusDone | kFpgaStatusSync);
  EXPECT_EQ(read_register(kFpgaCountIr), 4099u);
  EXPECT_EQ(read_register(kFpgaCrcIr), crc_of(data));
  const FpgaState st = state();
  EXPECT_TRUE(st.configured);
  EXPECT_FALSE(st.busy);
  EXPECT_EQ(st.error, FpgaError::kNone);
  EXPECT_EQ(st.length, 4099u);
}

TEST_F(Fpga, FrameIsFoundAfterAnyLeadingBits) {
  const Bits data = random_bits(200, 2);
  const Bits good = frame(data);
  Bits sync_start;
  append_word(sync_start, kFpgaSyncWord, 31);  // a sync word cut one bit short
  for (const Bits &lead :
       {Bits{}, Bits(1, 1), Bits(37, 0), Bits(64, 1), random_bits(333, 3), sync_start}) {
    Bits stream = lead;
    stream.insert(stream.end(), good.begin(), good.end());
    configure(stream);
    EXPECT_TRUE(state().configured) << "after " << lead.size() << " leading bits";
    EXPECT_EQ(state().crc, crc_of(data));
  }
}

TEST_F(Fpga, BadFramesLeaveItUnconfiguredWithTheirReason) {
  const Bits data = random_bits(512, 4);
  Bits flipped = data;
  flipped[100] ^= 1;
  const Bits complete = frame(data);
  Bits broken_sync = complete;
  broken_sync[16] ^= 1;
  const struct {
    const char *what;
    Bits stream;
    FpgaError error;
  } cases[] = {
      {"flipped data bit, original CRC", frame(flipped, 512, crc_of(data)),
       FpgaError::kCrcMismatch},
      {"wrong CRC word", frame(data, 512, crc_of(data) ^ 1), FpgaError::kCrcMismatch},
      {"length 0", frame(data, 0, crc_of(data)), FpgaError::kBadLength},
      {"length above the largest", frame(data, kFpgaMaxConfigBits + 1, crc_of(data)),
       FpgaError::kBadLength},
      {"length longer than the data", frame(data, 600, crc_of(data)), FpgaError::kIncomplete},
      {"CRC word cut short", Bits(complete.begin(), complete.end() - 1), FpgaError::kIncomplete},
      {"sync word with a flipped bit", broken_sync, FpgaError::kNoSync},
      {"nothing shifted", Bits{}, FpgaError::kNoSync},
  };
  for (const auto &k : cases) {
    configure(k.stream);
    const uint32_t status = read_register(kFpgaStatusIr);
    EXPECT_EQ(status & kFpgaStatusDone, 0u) << k.what;
    EXPECT_EQ(status & (kFpgaStatusBusy | kFpgaStatusError), kFpgaStatusError) << k.what;
    EXPECT_EQ(static_cast<FpgaError>(status >> kFpgaStatusErrorShift), k.error) << k.what;
    EXPECT_EQ(state().error, k.error) << k.what;
  }
}

TEST_F(Fpga, WithoutEndItStaysBusyAndUnconfigured) {
  const Bits data = random_bits(64, 5);
  instruction(kFpgaStartIr);
  instruction(kFpgaLoadIr);
  dr_scan(frame(data));
  EXPECT_EQ(read_register(kFpgaStatusIr), kFpgaStatusBusy | kFpgaStatusSync);
  EXPECT_FALSE(state().configured);
  EXPECT_EQ(read_register(kFpgaCountIr), 64u);  // received, but not yet in use
}

TEST_F(Fpga, StartClearsAConfigurationAndItsRegisters) {
  configure(frame(random_bits(300, 6)));
  ASSERT_TRUE(state().configured);
  instruction(kFpgaStartIr);
  EXPECT_EQ(read_register(kFpgaStatusIr), kFpgaStatusBusy);
  EXPECT_EQ(read_register(kFpgaCountIr), 0u);
  EXPECT_EQ(read_register(kFpgaCrcIr), 0u);
  instruction(kFpgaEndIr);
  EXPECT_FALSE(state().configured);
  EXPECT_EQ(state().error, FpgaError::kNoSync);
}

TEST_F(Fpga, FrameSplitOverScansTakesTheirPaddingAsData) {
  const Bits data = random_bits(1000, 7);
  const Bits stream = frame(data);
  instruction(kFpgaStartIr);
  instruction(kFpgaLoadIr);
  // Each scan adds device 1's padding bit; split where it cannot land inside the frame.
  dr_scan(Bits(stream.begin(), stream.begin() + 64));
  dr_scan(Bits(stream.begin() + 64, stream.end()));
  instruction(kFpgaEndIr);
  // The second scan's padding bit went into the data, so the CRC no longer matches.
  EXPECT_EQ(state().error, FpgaError::kCrcMismatch);
  EXPECT_EQ(state().bits, 1000u);
}

TEST_F(Fpga, ConfigurationSurvivesTapResetButNotPowerOn) {
  configure(frame(random_bits(128, 8)));
  ASSERT_TRUE(state().configured);
  tms({1, 1, 1, 1, 1, 0});
  instruction(kFpgaEndIr);  // nothing started: changes nothing
  EXPECT_TRUE(state().configured);
  EXPECT_EQ(read_register(kFpgaCountIr), 128u);
  tap_chain_power_on(c_);
  EXPECT_FALSE(state().configured);
  EXPECT_EQ(state().bits, 0u);
}

TEST_F(Fpga, LoadRegisterIsOneBitAndTakesNothingUntilStarted) {
  instruction(kFpgaLoadIr);
  // A one-bit register, like BYPASS: after its captured 0 come device 1's padding bit and
  // then the bits shifted in.
  const Bits in = {0, 1, 0, 1, 1, 0, 1};
  const Bits out = dr_scan(in);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 1);
  for (size_t i = 2; i < in.size(); ++i) EXPECT_EQ(out[i], in[i - 2]) << i;
  dr_scan(frame(random_bits(32, 9)));
  instruction(kFpgaEndIr);
  EXPECT_FALSE(state().configured);
  EXPECT_EQ(state().bits, 0u);
  EXPECT_FALSE(state().synced);
}

TEST(FpgaDevice, OtherKindsIgnoreTheConfigurationCodes) {
  TapDeviceConfig fixed;
  fixed.ir_length = 6;
  fixed.idcode = 0x11;
  fixed.idcode_ir = 1;
  fixed.usercode_ir = 2;
  TapChain c;
  ASSERT_TRUE(tap_chain_build(c, &fixed, 1));
  for (int b : {0, 1, 1, 0, 0}) tap_chain_clock(c, b, 0);  // Shift-IR
  for (int i = 0; i < 6; ++i) tap_chain_clock(c, i == 5, (kFpgaStatusIr >> i) & 1);
  tap_chain_clock(c, 1, 0);
  EXPECT_EQ(c.devices[0].dr, TapDataReg::kBypass);
  EXPECT_EQ(tap_fpga_status_word(c.devices[0]), 0u);
}

TEST(FpgaDevice, DescriptionsThatCannotWorkAreRefused) {
  TapDeviceConfig fpga;
  fpga.kind = TapKind::kFpga;
  fpga.ir_length = 5;
  fpga.idcode = 0x11;
  fpga.idcode_ir = 1;
  fpga.usercode_ir = 2;
  EXPECT_EQ(tap_device_config_error(fpga), nullptr);
  TapDeviceConfig bad = fpga;
  bad.ir_length = 4;
  EXPECT_NE(tap_device_config_error(bad), nullptr);
  bad = fpga;
  bad.usercode_ir = kFpgaEndIr;
  EXPECT_NE(tap_device_config_error(bad), nullptr);
  bad = fpga;
  bad.kind = static_cast<TapKind>(7);
  EXPECT_NE(tap_device_config_error(bad), nullptr);
}

}  // namespace
}  // namespace lbsim
