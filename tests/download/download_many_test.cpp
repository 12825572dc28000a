// fpgaload on many boards at once: eight servers, each on a simulated board of its own, found
// through a pattern, and a mix of good and unreachable boards.
#include <gtest/gtest.h>

#include <memory>
#include <regex>

#include "platform/lb/sim/board_control.h"
#include "testing/sim_board.h"
#include "tests/download/download_station.h"

namespace zoltest {
namespace {

// One more board of the test, with a ZOL_server of its own under the same name server.
struct ExtraBoard {
  std::unique_ptr<SimBoard> board;
  std::unique_ptr<Process> server;
};

ExtraBoard start_board(World &world, const std::string &tag, uint32_t number) {
  ExtraBoard b;
  b.board = std::make_unique<SimBoard>(unique_board_name(tag + std::to_string(number)));
  (*b.board)->set_identity(0x20020000u + number);
  Env env = world.env();
  for (auto &[key, value] : env)
    if (key == "LB_SIM") value = b.board->name();
  b.server = std::make_unique<Process>(std::vector<std::string>{bin("ZOL_server")}, env);
  EXPECT_TRUE(b.server->wait_for("Starting up server", 10s)) << b.server->out();
  return b;
}

// Waits until the name server lists every board's load status service.
bool all_listed(World &world, int count) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    RunResult r = world.run_program("dimctl", {"list"}, 5s);
    int found = 0;
    for (int i = 0; i < count; ++i) {
      char name[64];
      std::snprintf(name, sizeof name, "/ZOL/KeshV2_%02d/SVC/FPGALoadStatus", i);
      if (r.out.find(name) != std::string::npos) ++found;
    }
    if (found == count) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

TEST(ManyBoards, EightBoardsLoadAtOnceAndTheSummaryListsEach) {
  DownloadBench bench("dl_many");
  World &world = bench.world();
  std::vector<ExtraBoard> extra;
  for (uint32_t i = 1; i < 8; ++i) extra.push_back(start_board(world, "dl_many", i));
  ASSERT_TRUE(all_listed(world, 8));

  RunResult r = world.run_program("fpgaload", {"-TKeshV2_*", FPGA_CONFIGURE_GOOD_JBC}, 120s);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  for (int i = 0; i < 8; ++i) {
    char row[64];
    std::snprintf(row, sizeof row, "KeshV2_%02d  loaded ", i);
    EXPECT_NE(r.out.find(row), std::string::npos) << row << "\n" << r.out;
    std::snprintf(row, sizeof row, "to /ZOL/KeshV2_%02d/CMD/DownloadFPGA", i);
    EXPECT_EQ(count_of(r.out, row), 1u) << r.out;
  }
  EXPECT_NE(r.out.find("BOARD      RESULT"), std::string::npos) << r.out;
  EXPECT_NE(world.boardsim({"fpga"}).find("CONFIGURED yes"), std::string::npos);
  for (ExtraBoard &b : extra) {
    EXPECT_NE(b.server->out().find("Status 1\n"), std::string::npos) << b.server->out();
    b.server->stop();
  }
}

TEST(ManyBoards, UnreachableBoardsAreReportedAndFailTheRun) {
  DownloadBench bench("dl_mixed");
  World &world = bench.world();
  std::vector<ExtraBoard> extra;
  extra.push_back(start_board(world, "dl_mixed", 1));
  ASSERT_TRUE(all_listed(world, 2));

  RunResult r = world.run_program(
      "fpgaload", {"-TKeshV2_0[01]", "-TKeshV2_07", "-L5", FPGA_CONFIGURE_GOOD_JBC}, 60s);
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_NE(r.out.find("KeshV2_00  loaded "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("KeshV2_01  loaded "), std::string::npos) << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("KeshV2_07  unreachable .*cannot be reached")))
      << r.out;
  EXPECT_EQ(r.out.find("to /ZOL/KeshV2_07/"), std::string::npos) << r.out;

  // A failed load among good ones: exit 1 with the board's reason in the table.
  RunResult mixed =
      world.run_program("fpgaload", {"-TKeshV2_0?", "-F", FPGA_CONFIGURE_CORRUPT_JBC}, 60s);
  EXPECT_EQ(mixed.status, 1) << mixed.out << mixed.err;
  EXPECT_NE(mixed.out.find("KeshV2_01  failed       "), std::string::npos) << mixed.out;
  EXPECT_NE(mixed.out.find("Device programming failure"), std::string::npos) << mixed.out;
  for (ExtraBoard &b : extra) b.server->stop();
}

}  // namespace
}  // namespace zoltest
