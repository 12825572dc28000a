// The JTAG port: switching on and off through the CSR, the value of each TCK write, the
// order of the TDO read, and the delay's loop counts.
#include "board/jtag_port.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "board/pci_init.h"
#include "testing/sim_board.h"

namespace {

using testing::ElementsAre;
using zoltest::process_board;

class JtagPort : public testing::Test {
 protected:
  void SetUp() override {
    auto &board = process_board();
    open_local_bus();
    board->reset();
    board->trace_on(true);
    jtag_hardware_initialized = 0;
    testing::internal::CaptureStdout();
  }
  // Whatever was still captured (failure reports included) is shown rather than lost.
  void TearDown() override {
    if (!captured_) std::fputs(output().c_str(), stderr);
  }

  std::string output() {
    std::fflush(stdout);
    captured_ = true;
    return testing::internal::GetCapturedStdout();
  }
  std::vector<std::string> trace() { return process_board().trace(); }
  lbsim::BoardControl &board() { return process_board().control(); }

 private:
  bool captured_ = false;
};

TEST_F(JtagPort, FirstCycleSwitchesThePortOnKeepingOtherCsrBits) {
  ASSERT_TRUE(board().poke(0, 0x3));
  jbi_jtag_io(1, 0, 0);
  EXPECT_EQ(jtag_hardware_initialized, 1);
  uint32_t csr = 0;
  ASSERT_TRUE(board().peek(0, &csr));
  EXPECT_EQ(csr, 0x13u);
  EXPECT_THAT(trace(), ElementsAre("R 0x0000 0x00000003", "W 0x0000 0x00000013",
                                   "R 0x0000 0x00000013", "TCK TMS=1 TDI=0 TDO=1"));
  EXPECT_EQ(output(), "JTAG enabled, CSR 0x0 : 13\n");
}

TEST_F(JtagPort, LaterCyclesTouchOnlyThePortRegister) {
  jbi_jtag_io(1, 0, 0);
  board().trace_clear();
  jbi_jtag_io(0, 1, 0);
  jbi_jtag_io(0, 0, 1);
  EXPECT_THAT(trace(), ElementsAre("TCK TMS=0 TDI=1 TDO=1", testing::StartsWith("R 0x0004 "),
                                   "TCK TMS=0 TDI=0 TDO=1"));
  EXPECT_EQ(output(), "JTAG enabled, CSR 0x0 : 10\n");
}

TEST_F(JtagPort, CloseRestoresTheCsrAndAllowsSwitchingOnAgain) {
  ASSERT_TRUE(board().poke(0, 0x3));
  jbi_jtag_io(0, 0, 0);
  close_jtag_hardware();
  EXPECT_EQ(jtag_hardware_initialized, 0);
  uint32_t csr = 0;
  ASSERT_TRUE(board().peek(0, &csr));
  EXPECT_EQ(csr, 0x3u);
  jbi_jtag_io(0, 0, 0);
  EXPECT_EQ(output(),
            "JTAG enabled, CSR 0x0 : 13\n"
            "Closing PCI\n"
            "JTAG disabled, CSR 0x0 : 3\n"
            "JTAG enabled, CSR 0x0 : 13\n");
}

TEST_F(JtagPort, RecheckSwitchesOnAgainOnlyAPortFoundOff) {
  jbi_jtag_io(0, 0, 0);
  // Still on: the check reads the CSR and nothing is switched again.
  recheck_jtag_hardware();
  jbi_jtag_io(0, 0, 0);
  // Another program switched it off, then an unreadable CSR: no conclusion is drawn from it.
  ASSERT_TRUE(board().poke(0, 0x3));
  ASSERT_TRUE(board().set_access_fail(0));
  recheck_jtag_hardware();
  EXPECT_EQ(jtag_hardware_initialized, 1);
  board().reset();
  ASSERT_TRUE(board().poke(0, 0x3));
  board().trace_on(true);
  recheck_jtag_hardware();
  EXPECT_EQ(jtag_hardware_initialized, 0);
  jbi_jtag_io(1, 0, 0);
  uint32_t csr = 0;
  ASSERT_TRUE(board().peek(0, &csr));
  EXPECT_EQ(csr, 0x13u);
  EXPECT_THAT(trace(),
              ElementsAre("R 0x0000 0x00000003", "R 0x0000 0x00000003", "W 0x0000 0x00000013",
                          "R 0x0000 0x00000013", "TCK TMS=1 TDI=0 TDO=1"));
  EXPECT_EQ(output(), "JTAG enabled, CSR 0x0 : 10\nJTAG enabled, CSR 0x0 : 13\n");
}

// A process that never switched the port on has nothing to check.
TEST_F(JtagPort, RecheckBeforeAnyCycleTouchesNothing) {
  recheck_jtag_hardware();
  EXPECT_TRUE(trace().empty());
  EXPECT_EQ(jtag_hardware_initialized, 0);
  EXPECT_EQ(output(), "");
}

TEST_F(JtagPort, CloseWithoutAnyCyclePrintsAndTouchesNothing) {
  close_jtag_hardware();
  EXPECT_TRUE(trace().empty());
  EXPECT_EQ(output(), "");
}

// With the flag set by hand the port bit stays clear, so the board records each write of
// register 4 as a plain write with its exact value.
TEST_F(JtagPort, EachCycleWritesOneValueWithTdiBit7AndTmsBit6) {
  jtag_hardware_initialized = 1;
  jbi_jtag_io(1, 0x40, 0);
  jbi_jtag_io(1, 0, 0);
  jbi_jtag_io(0, -1, 0);
  jbi_jtag_io(0, 0, 0);
  EXPECT_THAT(trace(), ElementsAre("W 0x0004 0x000000FF", "W 0x0004 0x0000007F",
                                   "W 0x0004 0x000000BF", "W 0x0004 0x0000003F"));
  EXPECT_EQ(output(), "");
}

// TDO is forced through a stuck bit 3 of register 4, which acts on what a read returns.
TEST_F(JtagPort, TdoIsBit3ReadBeforeTheCycleWrite) {
  jtag_hardware_initialized = 1;
  ASSERT_TRUE(board().set_stuck_bit(4, 3, 1));
  EXPECT_EQ(jbi_jtag_io(0, 0, 1), 1);
  const auto high = trace();
  ASSERT_EQ(high.size(), 2u);
  EXPECT_EQ(high[0].substr(0, 9), "R 0x0004 ");
  EXPECT_EQ(high[1], "W 0x0004 0x0000003F");
  // Not asked for: no read, and 0 whatever the line says.
  board().trace_clear();
  EXPECT_EQ(jbi_jtag_io(0, 0, 0), 0);
  EXPECT_EQ(trace().size(), 1u);

  board().reset();
  ASSERT_TRUE(board().set_stuck_bit(4, 3, 0));
  EXPECT_EQ(jbi_jtag_io(0, 0, 1), 0);
}

TEST_F(JtagPort, UnreadableCsrIsLeftAloneAndCyclesStillRun) {
  ASSERT_TRUE(board().set_access_fail(0));
  jbi_jtag_io(1, 1, 0);
  EXPECT_EQ(jtag_hardware_initialized, 1);
  EXPECT_THAT(trace(), ElementsAre("R 0x0000 FAIL", "W 0x0004 0x000000FF"));
  jbi_jtag_io(1, 1, 0);  // no second attempt in the same process
  EXPECT_EQ(output(), "JTAG enabled failed, CSR 0x0 : 0\n");
}

TEST_F(JtagPort, FailedCsrAccessOnCloseIsReported) {
  ASSERT_TRUE(board().poke(0, 0x3));
  jbi_jtag_io(0, 0, 0);
  ASSERT_TRUE(board().set_access_fail(0));
  close_jtag_hardware();
  EXPECT_EQ(jtag_hardware_initialized, 0);
  EXPECT_EQ(output(),
            "JTAG enabled, CSR 0x0 : 13\n"
            "Closing PCI\n"
            "JTAG disable failed, CSR 0x0 : 0\n");
}

TEST(JtagDelay, RunsOneIterationPerMicrosecondOnceCalibrated) {
  one_ms_delay = 0;
  uint64_t before = delay_loop_iterations;
  jbi_delay(5);
  EXPECT_EQ(delay_loop_iterations - before, 0u) << "no wait before calibration";

  calibrate_delay();
  EXPECT_EQ(one_ms_delay, 1000);
  before = delay_loop_iterations;
  jbi_delay(5);
  EXPECT_EQ(delay_loop_iterations - before, 5u);

  one_ms_delay = 1500;  // 1.5 per microsecond rounds up to 2
  before = delay_loop_iterations;
  jbi_delay(5);
  EXPECT_EQ(delay_loop_iterations - before, 10u);
  one_ms_delay = 0;
}

TEST(JtagDelay, ZeroAndNegativeWaitsDoNothing) {
  calibrate_delay();
  const uint64_t before = delay_loop_iterations;
  jbi_delay(0);
  jbi_delay(-5);
  delay_loop(0);
  delay_loop(-1);
  EXPECT_EQ(delay_loop_iterations - before, 0u);
  delay_loop(3);
  EXPECT_EQ(delay_loop_iterations - before, 3u);
  one_ms_delay = 0;
}

}  // namespace
