// kesh_ctrl run as a program against a simulated board: the report of a healthy board, the
// failure lines of faulty registers, lines and I2C devices, and the ways a run ends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "testing/sim_board.h"

namespace {

using testing::HasSubstr;
using testing::IsEmpty;
using zoltest::lines_of;
using zoltest::run_tool;
using zoltest::SimBoard;

const std::vector<std::string> kHealthy = {
    "",
    "",
    "Checking Vorl version...",
    "Vorl version: 18",
    "Testing PCI on internal register in Vorl...",
    "PCI test done",
    "Testing LocalBus on Q_MP...",
    "Testing LocalBus on Q_L0...",
    "Testing LocalBus on Q_L1...",
    "Testing LocalBus on Q_FE...",
    "Local bus test done",
    "Testing general purpose lines...",
    "done. ",
    " Testing finished. If no errors occur card is ok.",
    "Testing I2C...",
    "Test 0xA005",
    "Test 0x4001",
    "Test 0x4202",
    "I2C test done",
};

// The healthy report with `extra` inserted after the line `after`.
std::vector<std::string> healthy_with(const std::string &after, std::vector<std::string> extra) {
  std::vector<std::string> expected = kHealthy;
  auto at = std::find(expected.begin(), expected.end(), after);
  expected.insert(at + 1, extra.begin(), extra.end());
  return expected;
}

size_t count(const std::vector<std::string> &lines, const std::string &line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

TEST(KeshCtrl, HealthyBoardPrintsTheNineteenLinesAndEndsWithZero) {
  SimBoard board;
  auto run = run_tool("kesh_ctrl", {}, board.name());
  EXPECT_EQ(lines_of(run.out), kHealthy);
  EXPECT_EQ(run.out.back(), '\n');
  EXPECT_EQ(run.status, 0);

  // What the run leaves behind: the control word, the last patterns, the restored devices.
  uint32_t csr = 0, q_fe = 0;
  ASSERT_TRUE(board->peek(0x0, &csr));
  ASSERT_TRUE(board->peek(0x40F8, &q_fe));
  EXPECT_EQ(csr, 0x43u);
  EXPECT_EQ(q_fe, 0xFFFFFFFFu);
  uint8_t eeprom5 = 0, out1 = 0xAA, out42 = 0xAA;
  ASSERT_TRUE(board->i2c_peek(0xA0, 5, &eeprom5));
  ASSERT_TRUE(board->i2c_peek(0x40, 1, &out1));
  ASSERT_TRUE(board->i2c_peek(0x42, 2, &out42));
  EXPECT_EQ(eeprom5, 0xFF);
  EXPECT_EQ(out1, 0);
  EXPECT_EQ(out42, 0);
}

TEST(KeshCtrl, LineTestWritesEachSelectorRegisterWithTheSameChecks) {
  SimBoard board;
  auto run = run_tool("kesh_ctrl", {}, board.name());
  ASSERT_EQ(run.status, 0);
  // Zero, four walking ones, four walking zeros, 50 flipping rounds of two, 15 sweep values:
  // all on the register under test.
  const auto sel = board.trace({"SEL WRITE"});
  size_t reg0 = 0, reg1 = 0;
  for (const auto &line : sel) {
    if (line.rfind("SEL WRITE 0 ", 0) == 0) ++reg0;
    if (line.rfind("SEL WRITE 1 ", 0) == 0) ++reg1;
  }
  EXPECT_EQ(reg0, 124u);
  EXPECT_EQ(reg1, 124u);
  EXPECT_EQ(sel.size(), 248u);
}

TEST(KeshCtrl, StuckBitInQL0GivesFourFailureLinesAndTheOtherBlocksAreStillTested) {
  SimBoard board;
  ASSERT_TRUE(board->set_stuck_bit(0x20F8, 5, 0));
  auto run = run_tool("kesh_ctrl", {}, board.name());
  EXPECT_EQ(lines_of(run.out),
            healthy_with("Testing LocalBus on Q_L0...",
                         {"Failed on walking one", "Failed on walking zero", "Failed on flipping",
                          "Failed on zero ones flipping"}));
  EXPECT_EQ(run.status, 0);
}

TEST(KeshCtrl, BitStuckAtOneFailsTheZeroChecksWithTheValueRead) {
  SimBoard board;
  ASSERT_TRUE(board->set_stuck_bit(0x38, 0, 1));
  auto run = run_tool("kesh_ctrl", {}, board.name());
  EXPECT_EQ(lines_of(run.out),
            healthy_with("Testing PCI on internal register in Vorl...",
                         {"Failed on zero's 1", "Failed on walking one", "Failed on walking zero",
                          "Failed on flipping", "Failed on zeros ones flipping"}));
  EXPECT_EQ(run.status, 0);
}

TEST(KeshCtrl, StuckDataLineFailsEveryLineStepOfBothSelectorRegisters) {
  SimBoard board;
  ASSERT_TRUE(board->set_stuck_bit(0x10, 1, 0));
  auto run = run_tool("kesh_ctrl", {}, board.name());
  const std::vector<std::string> per_register = {"failed on walking ones", "failed on walking zero",
                                                 "failed on fliping",
                                                 "failed on random configuraton"};
  std::vector<std::string> both = per_register;
  both.insert(both.end(), per_register.begin(), per_register.end());
  EXPECT_EQ(lines_of(run.out), healthy_with("Testing general purpose lines...", both));
  EXPECT_EQ(run.status, 0);
}

TEST(KeshCtrl, I2cMismatchWhileFlippingEndsTheRunAtOnce) {
  SimBoard board;
  ASSERT_TRUE(board->set_i2c_bad_byte(0xA0, 0x01));
  auto run = run_tool("kesh_ctrl", {}, board.name());
  const auto lines = lines_of(run.out);
  std::vector<std::string> expected(kHealthy.begin(), kHealthy.begin() + 16);  // to "Test 0xA005"
  expected.insert(expected.end(),
                  {"Failed on zero's Value read: 1  Value written: 0", "Failed on walking one",
                   "Failed on walking zero", "Failed on flipping"});
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(run.status, 0);
  uint8_t eeprom5 = 0;
  ASSERT_TRUE(board->i2c_peek(0xA0, 5, &eeprom5));
  EXPECT_EQ(eeprom5, 0xAA) << "byte 5 keeps the flipping pattern: it is not restored";
}

TEST(KeshCtrl, SilentI2cDeviceIsReportedAndTheRunEndsInItsFlippingStep) {
  SimBoard board;
  ASSERT_TRUE(board->set_i2c_noack(0x42));
  auto run = run_tool("kesh_ctrl", {}, board.name());
  const auto lines = lines_of(run.out);
  // One for each of the two registers cleared before the test, then one per write and two
  // per read (address byte of the write and of the read form) for zero, walking one,
  // walking zero and the first flipping value: each of those checks fails on 0xFF.
  EXPECT_EQ(count(lines, "Action was not acknowledged by slave, 0x42"), 2u + 4u * 3u);
  EXPECT_EQ(count(lines, "Failed on zero's Value read: 255  Value written: 0"), 1u);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Failed on flipping");
  EXPECT_EQ(count(lines, "Test 0x4202"), 1u);
  EXPECT_EQ(count(lines, "I2C test done"), 0u);
  EXPECT_EQ(run.status, 0);
}

// A master that never ends a receive: every write goes through, every read is abandoned
// after the I2C routines' time limit, and each test step reports it and moves on.
TEST(KeshCtrl, I2cReadsThatNeverEndAreReportedAsReadingProblems) {
  SimBoard board;
  ASSERT_TRUE(board->set_i2c_hang(lbsim::kI2cStepReceive));
  auto run = run_tool("kesh_ctrl", {}, board.name());
  const auto lines = lines_of(run.out);
  // Zero, walking one, walking zero, flipping and sweep each read once and give up.
  for (const char *address : {"40965", "16385", "16898"}) {
    const std::string problem =
        std::string("Problems reading from I2C address: ") + address + " value: 1";
    EXPECT_EQ(count(lines, problem), 5u) << address;
  }
  EXPECT_EQ(count(lines, "I2C master timed out waiting for done, transfer abandoned"), 15u);
  EXPECT_EQ(count(lines, "Failed on zero's Value read: 1  Value written: 0"), 3u);
  for (const auto &line : lines) EXPECT_EQ(line.find("Problems writing"), std::string::npos);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "I2C test done");
  EXPECT_EQ(run.status, 0);
  uint8_t eeprom5 = 0;
  ASSERT_TRUE(board->i2c_peek(0xA0, 5, &eeprom5));
  EXPECT_EQ(eeprom5, 0xFF) << "the writes still went through";
}

// One value only comes back wrong: it passes every earlier step and fails in the sweep,
// which ends the run.
TEST(KeshCtrl, I2cDeviceFailingOnOneValueEndsTheRunInTheSweep) {
  SimBoard board;
  ASSERT_TRUE(board->set_i2c_bad_byte(0x40, 0x01, 0x17));
  auto run = run_tool("kesh_ctrl", {}, board.name());
  std::vector<std::string> expected(kHealthy.begin(), kHealthy.begin() + 17);  // "Test 0x4001"
  expected.push_back("Failed on some random written 23, read 22");
  EXPECT_EQ(lines_of(run.out), expected);
  EXPECT_EQ(run.status, 0);
}

TEST(KeshCtrl, BusThatCannotStartEndsWithItsErrorNumber) {
  SimBoard board;
  board->set_init_fail(19);
  auto run = run_tool("kesh_ctrl", {}, board.name());
  EXPECT_THAT(run.err, HasSubstr("local bus init: No such device\n"));
  EXPECT_EQ(run.out, "\n\n");
  EXPECT_EQ(run.status, 19);
  EXPECT_THAT(board.trace(), IsEmpty());
}

TEST(KeshCtrl, BusThatCannotBeMappedEndsWithOne) {
  SimBoard board;
  board->set_map_fail(12);
  auto run = run_tool("kesh_ctrl", {}, board.name());
  EXPECT_THAT(run.err, HasSubstr("lb_map: Cannot allocate memory\n"));
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(board.trace(), IsEmpty());
}

}  // namespace
