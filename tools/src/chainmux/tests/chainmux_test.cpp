// chainmux run as a program against a simulated board: the line sequences it drives, the
// lines it prints and its exit statuses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/sim_board.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using zoltest::run_tool;
using zoltest::SimBoard;

const char kHelp[] =
    "************************************************\n"
    "cmd : chainmux -R #address -W#Value #address     \n\n"
    "-R reading the content of the specified register\n\n"
    "-W writing the specified value to the specified \n"
    "   register and reading back this value         \n"
    "-C clearing all registers of the CHAINMUX        \n"
    "************************************************\n\n";

// The accesses of the line and direction registers, as the board recorded them.
std::vector<std::string> line_accesses(SimBoard &board) {
  return board.trace({"W 0x0010", "W 0x0014", "R 0x0010"});
}

TEST(ChainmuxUsage, NoArgumentsPrintsHelpAndEndsWith255) {
  SimBoard board;
  auto run = run_tool("chainmux", {}, board.name());
  EXPECT_EQ(run.out, kHelp);
  EXPECT_EQ(run.status, 255);
  EXPECT_THAT(board.trace(), IsEmpty());
}

TEST(ChainmuxUsage, ReadOrWriteWithoutAddressIsRefusedWithoutTouchingTheLines) {
  SimBoard board;
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"-R"}, {"-W5"}, {"-R", "zz"}}) {
    auto run = run_tool("chainmux", args, board.name());
    EXPECT_EQ(run.out, kHelp) << args[0];
    EXPECT_EQ(run.status, 2) << args[0];
  }
  EXPECT_THAT(board.trace(), IsEmpty());
}

TEST(ChainmuxUsage, UnknownOptionPrintsHelpButTheReadIsStillDone) {
  SimBoard board;
  auto run = run_tool("chainmux", {"-R", "-X", "1"}, board.name());
  EXPECT_EQ(run.out, std::string(kHelp) + "Add 0x1  : Value 0x0\nAdd 0x1  : Value 0\n");
  EXPECT_EQ(run.status, 0);
}

TEST(ChainmuxUsage, ValueSeparatedFromWIsUsageErrorAndNoAction) {
  SimBoard board;
  auto run = run_tool("chainmux", {"-W", "5", "2"}, board.name());
  EXPECT_EQ(run.out, kHelp);
  EXPECT_EQ(run.status, 255);
  EXPECT_THAT(board.trace(), IsEmpty());
}

// More than 32 significant bits used to be cut to the low 32 and the cycle went ahead.
TEST(ChainmuxUsage, NumbersWiderThan32BitsEndTheRunWithoutTouchingTheLines) {
  SimBoard board;
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"-W123456789", "1"}, {"-R", "100000001"}, {"-C", "1FFFFFFFF"}}) {
    auto run = run_tool("chainmux", args, board.name());
    EXPECT_EQ(run.out, kHelp) << args[0] << " " << args[1];
    EXPECT_THAT(run.err, HasSubstr("is wider than 32 bits")) << args[0] << " " << args[1];
    EXPECT_EQ(run.status, 2) << args[0] << " " << args[1];
  }
  EXPECT_THAT(board.trace(), IsEmpty());
  // Leading zeros are no significant bits.
  auto run = run_tool("chainmux", {"-W0000000003", "000000000001"}, board.name());
  EXPECT_EQ(run.out, "Add 0x1  : Value 0x3\nAdd 0x1  : Value 3\n");
  EXPECT_EQ(run.status, 0);
}

TEST(ChainmuxWrite, Register2Value9DrivesTheWriteThenReadBackCycle) {
  SimBoard board;
  auto run = run_tool("chainmux", {"-W9", "2"}, board.name());
  EXPECT_THAT(line_accesses(board),
              ElementsAre("W 0x0014 0x000000FF", "W 0x0010 0x00000069", "W 0x0010 0x000000E9",
                          "W 0x0010 0x00000069", "W 0x0010 0x00000000", "W 0x0014 0x000000F0",
                          "W 0x0010 0x00000020", "W 0x0010 0x000000A0", "W 0x0010 0x00000020",
                          testing::StartsWith("R 0x0010 ")));
  EXPECT_EQ(run.out, "Add 0x2  : Value 0x9\nAdd 0x2  : Value 9\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(board->selector_register(2), 9);
}

TEST(ChainmuxWrite, AddressAndValueAreReducedButPrintedAsGiven) {
  SimBoard board;
  auto run = run_tool("chainmux", {"-w1F", "0x5"}, board.name());
  EXPECT_EQ(run.out, "Add 0x5  : Value 0xF\nAdd 0x5  : Value 15\n");
  EXPECT_EQ(board->selector_register(1), 0xF);
  EXPECT_EQ(board->selector_register(0), 0);
  EXPECT_EQ(line_accesses(board)[1], "W 0x0010 0x0000005F");
}

TEST(ChainmuxRead, ReadsTheRegisterWithTheLinesBackAtZero) {
  SimBoard board;
  ASSERT_EQ(run_tool("chainmux", {"-W6", "5"}, board.name()).status, 0);
  board->trace_clear();
  auto run = run_tool("chainmux", {"5", "-r"}, board.name());
  EXPECT_THAT(
      line_accesses(board),
      ElementsAre("W 0x0014 0x000000F0", "W 0x0010 0x00000010", "W 0x0010 0x00000090",
                  "W 0x0010 0x00000010", "W 0x0010 0x00000000", testing::StartsWith("R 0x0010 ")));
  EXPECT_EQ(run.out, "Add 0x5  : Value 0x6\nAdd 0x5  : Value 6\n");
  EXPECT_EQ(run.status, 0);
}

TEST(ChainmuxClear, DrivesTheSevenLineValuesAndClearsEveryRegister) {
  SimBoard board;
  for (const char *reg : {"0", "1", "2", "3"})
    ASSERT_EQ(run_tool("chainmux", {"-W7", reg}, board.name()).status, 0);
  board->trace_clear();
  auto run = run_tool("chainmux", {"-C", "3"}, board.name());
  EXPECT_THAT(line_accesses(board),
              ElementsAre("W 0x0014 0x000000FF", "W 0x0010 0x00000068", "W 0x0010 0x000000E8",
                          "W 0x0010 0x00000068", "W 0x0010 0x00000080", "W 0x0010 0x00000000",
                          "W 0x0010 0x00000080", "W 0x0010 0x00000000"));
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.status, 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(board->selector_register(i), 0) << "register " << i;
}

TEST(ChainmuxFailures, FailedReadBackIsReportedAndEndsNonZero) {
  SimBoard board;
  ASSERT_TRUE(board->set_access_fail(0x10));
  auto run = run_tool("chainmux", {"-R", "1"}, board.name());
  EXPECT_EQ(run.out, "");
  EXPECT_THAT(run.err, HasSubstr("lb_read_word: Input/output error\n"));
  EXPECT_NE(run.status, 0);
}

// Only the read fails: the write cycle reached the selector, but no result line may be
// printed from a value that was never read.
TEST(ChainmuxFailures, FinalReadFailingAfterItsWritesSucceededPrintsNoResult) {
  SimBoard board;
  ASSERT_TRUE(board->set_access_fail(0x10, lbsim::kFaultOnRead));
  auto run = run_tool("chainmux", {"-W9", "2"}, board.name());
  EXPECT_THAT(line_accesses(board),
              ElementsAre("W 0x0014 0x000000FF", "W 0x0010 0x00000069", "W 0x0010 0x000000E9",
                          "W 0x0010 0x00000069", "W 0x0010 0x00000000", "W 0x0014 0x000000F0",
                          "W 0x0010 0x00000020", "W 0x0010 0x000000A0", "W 0x0010 0x00000020",
                          "R 0x0010 FAIL"));
  EXPECT_EQ(board->selector_register(2), 9);
  EXPECT_EQ(run.out, "");
  EXPECT_THAT(run.err, HasSubstr("lb_read_word: Input/output error\n"));
  EXPECT_NE(run.status, 0);

  board->trace_clear();
  run = run_tool("chainmux", {"-R", "2"}, board.name());
  EXPECT_THAT(line_accesses(board),
              ElementsAre("W 0x0014 0x000000F0", "W 0x0010 0x00000020", "W 0x0010 0x000000A0",
                          "W 0x0010 0x00000020", "W 0x0010 0x00000000", "R 0x0010 FAIL"));
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.status, 0);

  // Cleared, the same read prints the value the write left.
  ASSERT_TRUE(board->clear_access_fail(0x10));
  run = run_tool("chainmux", {"-R", "2"}, board.name());
  EXPECT_EQ(run.out, "Add 0x2  : Value 0x9\nAdd 0x2  : Value 9\n");
  EXPECT_EQ(run.status, 0);
}

TEST(ChainmuxFailures, BusThatCannotStartEndsWithItsErrorNumber) {
  SimBoard board;
  board->set_init_fail(19);
  auto run = run_tool("chainmux", {"-C"}, board.name());
  EXPECT_THAT(run.err, HasSubstr("local bus init: No such device\n"));
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.status, 19);
  EXPECT_THAT(board.trace(), IsEmpty());
}

TEST(ChainmuxFailures, BusThatCannotBeMappedEndsWithOne) {
  SimBoard board;
  board->set_map_fail(12);
  auto run = run_tool("chainmux", {"-C"}, board.name());
  EXPECT_THAT(run.err, HasSubstr("lb_map: Cannot allocate memory\n"));
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(board.trace(), IsEmpty());
}

}  // namespace
