// The JTAG port is shared with the other programs on the board: whatever they leave it as,
// the next download finds it usable, and a second server that is refused leaves it alone.
#include <gtest/gtest.h>

#include "tests/download/download_station.h"

namespace zoltest {
namespace {

constexpr uint32_t kJtagOn = 0x10;

TEST(DownloadPort, LoadsWorkAgainAfterOtherProgramsSwitchedThePortOff) {
  DownloadBench bench("port_others");
  World &world = bench.world();
  ASSERT_EQ(bench.load(FPGA_CONFIGURE_GOOD_JBC).status, 0);
  ASSERT_NE(world.peek(0) & kJtagOn, 0u);

  // A player run of its own switches the port off when it ends.
  RunResult verify = world.run_program("stapl", {"run", "-averify", FPGA_CONFIGURE_GOOD_JBC});
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  ASSERT_EQ(world.peek(0) & kJtagOn, 0u) << "stapl run no longer switches the port off";
  RunResult second = bench.load(FPGA_CONFIGURE_GOOD_JBC);
  EXPECT_EQ(second.status, 0) << second.out << second.err;

  // The self-test rewrites the whole CSR.
  RunResult selftest = world.run_program("kesh_ctrl", {}, 60s);
  ASSERT_EQ(world.peek(0), 0x43u) << selftest.out << selftest.err;
  RunResult third = bench.load(FPGA_CONFIGURE_GOOD_JBC);
  EXPECT_EQ(third.status, 0) << third.out << third.err;

  ASSERT_TRUE(bench.wait_status_lines(3));
  std::string log = bench.server_log();
  EXPECT_EQ(count_of(log, "Status 1\n"), 3u) << log;
  // Each time the port is found off it is switched on again, and said so.
  EXPECT_EQ(count_of(log, "JTAG enabled, CSR 0x0 : 53\n"), 3u) << log;
}

TEST(DownloadPort, RefusedSecondServerLeavesTheControlRegisterAlone) {
  DownloadBench bench("port_second");
  World &world = bench.world();
  ASSERT_EQ(bench.load(FPGA_CONFIGURE_GOOD_JBC).status, 0);
  ASSERT_EQ(world.peek(0), 0x53u);

  world.boardsim({"trace", "on"});
  auto second = world.start("ZOL_server");
  auto status = second->wait_exit(20s);
  ASSERT_TRUE(status.has_value()) << second->out() << second->err();
  EXPECT_EQ(*status, 1);
  EXPECT_NE(second->err().find("refused"), std::string::npos) << second->err();
  EXPECT_EQ(world.peek(0), 0x53u);
  for (const std::string &line : world.trace())
    EXPECT_NE(line.rfind("W 0x0000 ", 0), 0u) << "the refused server wrote the CSR: " << line;
  world.boardsim({"trace", "off"});

  // The first server's port is still on: its next load needs no switching on.
  RunResult again = bench.load(FPGA_CONFIGURE_GOOD_JBC);
  EXPECT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_EQ(count_of(bench.server_log(), "JTAG enabled"), 1u) << bench.server_log();
}

}  // namespace
}  // namespace zoltest
