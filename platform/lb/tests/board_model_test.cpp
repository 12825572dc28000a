#include "platform/lb/sim/board_model.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <string>
#include <vector>

#include "platform/lb/tests/model_harness.h"

namespace lbsim {
namespace {

using testing::make_board;
using testing::rd;
using testing::trace_lines;
using testing::wr;
using Lines = std::vector<std::string>;

// The self-test's 32-bit pattern test; returns which of its five steps failed.
std::vector<std::string> pattern_test(BoardState &b, uint32_t addr) {
  std::vector<std::string> failed;
  auto check = [&](uint32_t v) {
    wr(b, addr, v);
    return rd(b, addr) == v;
  };
  if (!check(0)) failed.push_back("zero");
  for (int i = 0; i < 32; ++i)
    if (!check(1u << i)) {
      failed.push_back("walking one");
      break;
    }
  for (int i = 0; i < 32; ++i)
    if (!check(~(1u << i))) {
      failed.push_back("walking zero");
      break;
    }
  for (int i = 0; i < 10; ++i)
    if (!check(0xAAAAAAAA) || !check(0x55555555)) {
      failed.push_back("flipping");
      break;
    }
  for (int i = 0; i < 10; ++i) {
    if (!check(0)) {
      failed.push_back("zeros");
      break;
    }
    if (!check(0xFFFFFFFF)) {
      failed.push_back("ones");
      break;
    }
  }
  return failed;
}

TEST(BoardRegisters, TestRegistersHoldEveryPattern) {
  auto b = make_board();
  for (uint32_t addr : {0x38u, 0x10F8u, 0x20F8u, 0x30F8u, 0x40F8u, 0xFFFCu, 0x1000u})
    EXPECT_TRUE(pattern_test(*b, addr).empty()) << std::hex << addr;
}

TEST(BoardRegisters, VersionIsFixedAndReadOnly) {
  auto b = make_board();
  EXPECT_EQ(rd(*b, 0x3C), kVorlVersion);
  EXPECT_NE(kVorlVersion, 0u);
  wr(*b, 0x3C, 0);
  EXPECT_EQ(rd(*b, 0x3C), kVorlVersion);
}

TEST(BoardRegisters, AddressesOutsideTheWindowOrUnalignedAreRefused) {
  auto b = make_board();
  uint32_t v = 0;
  EXPECT_EQ(board_read(*b, 0x10000, &v), EINVAL);
  EXPECT_EQ(board_write(*b, 0x10000, 1), EINVAL);
  EXPECT_EQ(board_read(*b, 0x2, &v), EINVAL);
  EXPECT_EQ(board_write(*b, 0xFFFFFFFF, 1), EINVAL);
  EXPECT_EQ(board_read(*b, 0xFFFC, &v), 0);
}

TEST(JtagPort, WritesClockTheChainOnlyWhileTheCsrEnablesThePort) {
  auto b = make_board();
  b->trace.on = 1;
  wr(*b, 4, 0x3F);
  EXPECT_EQ(b->chain.cycles, 0u);
  EXPECT_EQ(trace_lines(*b).back(), "W 0x0004 0x0000003F");
  wr(*b, 0, 0x43 | kCsrJtagEnable);
  wr(*b, 4, 0x3F);  // TMS 0: Test-Logic-Reset -> Run-Test/Idle
  EXPECT_EQ(b->chain.cycles, 1u);
  EXPECT_EQ(b->chain.state, kTapIdle);
  EXPECT_EQ(trace_lines(*b).back(), "TCK TMS=0 TDI=0 TDO=1");
  wr(*b, 0, 0x43);
  wr(*b, 4, 0x7F);
  EXPECT_EQ(b->chain.state, kTapIdle);
}

TEST(JtagPort, ReadGivesTdoOnBitThreeBeforeTheNextClock) {
  auto b = make_board();
  wr(*b, 0, kCsrJtagEnable);
  for (uint32_t v : {0x7Fu, 0x3Fu, 0x3Fu}) wr(*b, 4, v);  // stays in reset, then to Idle
  ASSERT_EQ(b->chain.state, kTapIdle);
  for (uint32_t v : {0x7Fu, 0x3Fu, 0x3Fu}) wr(*b, 4, v);
  ASSERT_EQ(b->chain.state, kTapDrShift);
  uint32_t id = 0;
  for (int i = 0; i < 32; ++i) {
    id |= ((rd(*b, 4) >> 3) & 1u) << i;
    wr(*b, 4, 0x3F);
  }
  EXPECT_EQ(id, 0x13631093u);
}

TEST(Faults, StuckBitFailsTheSelfTestStepsThatNeedIt) {
  auto b = make_board();
  ASSERT_TRUE(board_set_stuck_bit(*b, 0x20F8, 5, 0));
  EXPECT_EQ(pattern_test(*b, 0x20F8),
            (std::vector<std::string>{"walking one", "walking zero", "flipping", "ones"}));
  EXPECT_TRUE(pattern_test(*b, 0x30F8).empty());
}

TEST(Faults, StuckAtOneAndLaterSettingWins) {
  auto b = make_board();
  ASSERT_TRUE(board_set_stuck_bit(*b, 0x38, 0, 1));
  wr(*b, 0x38, 0);
  EXPECT_EQ(rd(*b, 0x38), 1u);
  ASSERT_TRUE(board_set_stuck_bit(*b, 0x38, 0, 0));
  wr(*b, 0x38, 0xFF);
  EXPECT_EQ(rd(*b, 0x38), 0xFEu);
  EXPECT_FALSE(board_set_stuck_bit(*b, 0x38, 32, 0));
  EXPECT_FALSE(board_set_stuck_bit(*b, 0x39, 0, 0));
}

TEST(Faults, FailingRegisterReturnsEioAndKeepsItsValue) {
  auto b = make_board();
  wr(*b, 0x10F8, 0x1234);
  ASSERT_TRUE(board_set_access_fail(*b, 0x10F8));
  b->trace.on = 1;
  uint32_t v = 0xAA;
  EXPECT_EQ(board_read(*b, 0x10F8, &v), EIO);
  EXPECT_EQ(v, 0xAAu);
  EXPECT_EQ(board_write(*b, 0x10F8, 0x5678), EIO);
  EXPECT_EQ(trace_lines(*b), (Lines{"R 0x10F8 FAIL", "W 0x10F8 0x00005678 FAIL"}));
  uint32_t peeked = 0;
  board_peek(*b, 0x10F8, &peeked);
  EXPECT_EQ(peeked, 0x1234u);
  EXPECT_EQ(board_write(*b, 0x20F8, 1), 0);
}

TEST(Faults, TableIsBoundedAndPowerOnClearsIt) {
  auto b = make_board();
  for (int i = 0; i < kMaxRegisterFaults; ++i)
    ASSERT_TRUE(board_set_access_fail(*b, 0x100 + 4 * static_cast<uint32_t>(i)));
  EXPECT_FALSE(board_set_access_fail(*b, 0x800));
  EXPECT_TRUE(board_set_access_fail(*b, 0x100, kFaultOnRead));  // an existing entry changes
  EXPECT_FALSE(board_set_stuck_bit(*b, 0x100, 1, 1));  // a stuck bit is an entry of its own
  board_power_on(*b);
  EXPECT_EQ(board_write(*b, 0x100, 1), 0);
}

TEST(Faults, AccessFailureCanBeForReadsOnlyOrWritesOnly) {
  auto b = make_board();
  ASSERT_TRUE(board_set_access_fail(*b, 0x10, kFaultOnRead));
  ASSERT_TRUE(board_set_access_fail(*b, 0x38, kFaultOnWrite));
  EXPECT_EQ(board_write(*b, 0x10, 0x5), 0);
  uint32_t v = 0;
  EXPECT_EQ(board_read(*b, 0x10, &v), EIO);
  EXPECT_EQ(board_write(*b, 0x38, 0x5), EIO);
  EXPECT_EQ(board_read(*b, 0x38, &v), 0);
  EXPECT_EQ(v, 0u);
  EXPECT_FALSE(board_set_access_fail(*b, 0x38, 0));
  EXPECT_FALSE(board_set_access_fail(*b, 0x38, 4));
}

TEST(Faults, IntermittentFaultActsOnEveryNthAccessOnly) {
  auto b = make_board();
  ASSERT_TRUE(board_set_access_fail(*b, 0x38, kFaultOnRead | kFaultOnWrite, intermittent_every(3)));
  std::string pattern;
  uint32_t v = 0;
  for (int i = 0; i < 9; ++i) pattern += board_read(*b, 0x38, &v) == EIO ? 'F' : '.';
  EXPECT_EQ(pattern, "..F..F..F");
  ASSERT_TRUE(board_set_stuck_bit(*b, 0x20F8, 0, 1, intermittent_every(2)));
  wr(*b, 0x20F8, 0);              // access 1: stored as written
  EXPECT_EQ(rd(*b, 0x20F8), 1u);  // access 2: the bit reads stuck
  EXPECT_EQ(rd(*b, 0x20F8), 0u);
}

TEST(Faults, RandomFaultRepeatsWithTheSameSeedAndDiffersWithAnother) {
  const auto run = [](uint64_t seed) {
    auto b = make_board();
    EXPECT_TRUE(board_set_access_fail(*b, 0x38, kFaultOnRead, intermittent_random(kPpm / 4, seed)));
    std::string pattern;
    uint32_t v = 0;
    for (int i = 0; i < 200; ++i) pattern += board_read(*b, 0x38, &v) == EIO ? 'F' : '.';
    return pattern;
  };
  const std::string first = run(7);
  EXPECT_EQ(run(7), first);
  EXPECT_NE(run(8), first);
  const auto failures = std::count(first.begin(), first.end(), 'F');
  EXPECT_GT(failures, 20);  // about 50 of 200
  EXPECT_LT(failures, 90);
}

TEST(Faults, EachFaultClearsAloneAndTheBoardKeepsItsContents) {
  auto b = make_board();
  wr(*b, 0x20F8, 0x1234);
  ASSERT_TRUE(board_set_stuck_bit(*b, 0x20F8, 0, 1));
  ASSERT_TRUE(board_set_stuck_bit(*b, 0x20F8, 4, 0));
  ASSERT_TRUE(board_set_access_fail(*b, 0x30F8));
  ASSERT_TRUE(board_set_i2c_noack(*b, 0x40));
  ASSERT_TRUE(board_set_i2c_bad_byte(*b, 0xA0, 0x01));
  board_set_identity(*b, 0x20020099);

  EXPECT_TRUE(board_clear_stuck_bit(*b, 0x20F8, 4));
  EXPECT_EQ(rd(*b, 0x20F8), 0x1235u);  // bit 0 still stuck at 1
  EXPECT_FALSE(board_clear_stuck_bit(*b, 0x20F8, 4));
  EXPECT_TRUE(board_clear_stuck_bit(*b, 0x20F8, -1));
  EXPECT_EQ(rd(*b, 0x20F8), 0x1234u);
  uint32_t v = 0;
  EXPECT_EQ(board_read(*b, 0x30F8, &v), EIO);
  EXPECT_TRUE(board_clear_access_fail(*b, 0x30F8));
  EXPECT_EQ(board_read(*b, 0x30F8, &v), 0);
  EXPECT_FALSE(board_clear_access_fail(*b, 0x30F8));
  EXPECT_TRUE(board_clear_i2c_noack(*b, 0x41));
  EXPECT_FALSE(board_clear_i2c_noack(*b, 0x40));
  EXPECT_EQ(b->i2c_devices[0].bad_xor, 0x01);
  EXPECT_TRUE(board_clear_i2c_bad_byte(*b, 0xA0));
  EXPECT_EQ(b->i2c_devices[0].bad_xor, 0);
  EXPECT_EQ(board_identity(*b), 0x20020099u);
}

TEST(Trace, OffByDefaultAndRecordsAccessesInOrderWhenOn) {
  auto b = make_board();
  wr(*b, 0x38, 1);
  EXPECT_TRUE(trace_lines(*b).empty());
  b->trace.on = 1;
  wr(*b, 0x38, 0xABCDEF01);
  rd(*b, 0x38);
  wr(*b, 0x8, 0x80);
  EXPECT_EQ(trace_lines(*b), (Lines{"W 0x0038 0xABCDEF01", "R 0x0038 0xABCDEF01",
                                    "W 0x0008 0x00000080", "I2C START"}));
}

TEST(Trace, KeepsTheFirstAndTheNewestRecordsAndCountsThoseDroppedBetween) {
  auto b = make_board();
  ASSERT_TRUE(trace_set_capacity(b->trace, 64));  // a head of 16, a ring of 48
  trace_switch(b->trace, true);
  for (uint32_t i = 0; i < 100; ++i) wr(*b, 0x38, i);
  EXPECT_EQ(trace_dropped(b->trace), 36u);
  size_t gap = 0;
  const std::vector<TraceRecord> records = trace_records(b->trace, &gap);
  ASSERT_EQ(records.size(), 64u);
  EXPECT_EQ(gap, 16u);
  for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(records[i].value, i);
  for (uint32_t i = 16; i < 64; ++i) EXPECT_EQ(records[i].value, 36 + i);
  trace_clear(b->trace);
  EXPECT_TRUE(trace_lines(*b).empty());
  EXPECT_EQ(trace_dropped(b->trace), 0u);
  EXPECT_FALSE(trace_set_capacity(b->trace, kTraceMaxCapacity + 1));
  EXPECT_FALSE(trace_set_capacity(b->trace, kTraceMinCapacity - 1));
}

// A stuck status bit polled for seconds must not push everything else out of the ring.
TEST(Trace, RepeatsOfTheSameRecordFoldIntoOneWithACount) {
  auto b = make_board();
  ASSERT_TRUE(trace_set_capacity(b->trace, 16));
  trace_switch(b->trace, true);
  wr(*b, 0x38, 7);
  for (int i = 0; i < 100000; ++i) rd(*b, 0x38);
  wr(*b, 0x38, 8);
  rd(*b, 0x38);
  const std::vector<TraceRecord> records = trace_records(b->trace);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(trace_dropped(b->trace), 0u);
  EXPECT_EQ(records[1].count, 100000u);
  EXPECT_EQ(records[3].count, 1u);
  const Lines lines = trace_lines(*b);
  ASSERT_EQ(lines.size(), 100003u);
  EXPECT_EQ(lines[100000], "R 0x0038 0x00000007");
  EXPECT_EQ(lines[100001], "W 0x0038 0x00000008");
}

TEST(Trace, RecordsCarryTheProcessAndTheTimeSinceTheTraceWasSwitchedOn) {
  auto b = make_board();
  trace_switch(b->trace, true);
  wr(*b, 0x38, 1);
  const timespec pause{0, 2000000};
  nanosleep(&pause, nullptr);
  wr(*b, 0x38, 2);
  const std::vector<TraceRecord> records = trace_records(b->trace);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].pid, static_cast<uint32_t>(getpid()));
  EXPECT_LT(records[0].time_ns, 1000000000u);
  EXPECT_GE(records[1].time_ns - records[0].time_ns, 2000000u);
}

TEST(Trace, PeekAndPokeAreNeverTraced) {
  auto b = make_board();
  b->trace.on = 1;
  board_poke(*b, 0x8, 0x80);
  uint32_t v;
  board_peek(*b, 0x8, &v);
  EXPECT_TRUE(trace_lines(*b).empty());
  EXPECT_EQ(b->trace.on, 1u);
  EXPECT_EQ(v & kI2cBusy, kI2cBusy);  // the poke still had its effect
}

}  // namespace
}  // namespace lbsim
