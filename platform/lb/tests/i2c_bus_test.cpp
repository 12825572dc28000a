#include "platform/lb/sim/i2c_bus.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "platform/lb/tests/model_harness.h"

namespace lbsim {
namespace {

using testing::I2cRoutines;
using testing::make_board;
using testing::rd;
using testing::trace_lines;
using testing::wr;
using Lines = std::vector<std::string>;

class I2cBus : public ::testing::Test {
 protected:
  // Each step ends with the third status read after it: every wait of the routines has to
  // poll, and one that is missing shows up as a wrong result.
  void SetUp() override {
    board = make_board();
    ASSERT_TRUE(i2c_set_timing(*board, I2cTiming{I2cTimingMode::kReads, 3}));
    board->trace.on = 1;
  }
  Lines events() { return trace_lines(*board, "I2C "); }
  std::unique_ptr<BoardState> board;
};

TEST_F(I2cBus, IdentityReadPutsStartAddressRestartReadByteStop) {
  I2cRoutines i2c(*board);
  uint32_t data = 0;
  i2c.read(0xA000, &data);
  EXPECT_EQ(data, 0x00u);
  EXPECT_EQ(events(), (Lines{"I2C START", "I2C BYTE 0xA0 ACK", "I2C BYTE 0x00 ACK", "I2C RESTART",
                             "I2C BYTE 0xA1 ACK", "I2C RECV 0x00", "I2C STOP"}));
  EXPECT_EQ(i2c.nack_messages, 0);
}

TEST_F(I2cBus, IdentityBytesSpellTheBoardWordLittleEndian) {
  I2cRoutines i2c(*board);
  uint32_t bytes[4];
  for (uint32_t i = 0; i < 4; ++i) i2c.read(0xA000 + i, &bytes[i]);
  EXPECT_EQ(bytes[0], 0x00u);
  EXPECT_EQ(bytes[1], 0x00u);
  EXPECT_EQ(bytes[2], 0x02u);
  EXPECT_EQ(bytes[3], 0x20u);
  board_set_identity(*board, 0x12345678);
  i2c.read(0xA000, &bytes[0]);
  i2c.read(0xA003, &bytes[3]);
  EXPECT_EQ(bytes[0], 0x78u);
  EXPECT_EQ(bytes[3], 0x12u);
}

TEST_F(I2cBus, WriteToRegisterDeviceIsStartAddressPointerDataStop) {
  I2cRoutines i2c(*board);
  i2c.write(0x4001, 0x55);
  EXPECT_EQ(events(), (Lines{"I2C START", "I2C BYTE 0x40 ACK", "I2C BYTE 0x01 ACK",
                             "I2C BYTE 0x55 ACK", "I2C STOP"}));
  uint32_t back = 0;
  i2c.read(0x4001, &back);
  EXPECT_EQ(back, 0x55u);
}

TEST_F(I2cBus, SelfTestRegistersHoldEveryPattern) {
  I2cRoutines i2c(*board);
  for (uint32_t address : {0x4001u, 0x4202u, 0x4203u, 0xA005u}) {
    for (uint32_t v = 0; v < 256; ++v) {
      i2c.write(address, v);
      uint32_t back = 0xFFFF;
      i2c.read(address, &back);
      ASSERT_EQ(back, v) << std::hex << address;
    }
  }
  EXPECT_EQ(i2c.nack_messages, 0);
}

TEST_F(I2cBus, ExpanderInputFollowsOutputsConfiguredAsOutputs) {
  I2cRoutines i2c(*board);
  uint32_t in = 0;
  i2c.read(0x4000, &in);
  EXPECT_EQ(in, 0xFFu);  // power-on: all inputs, pulled up
  i2c.write(0x4003, 0x00);
  i2c.write(0x4001, 0x5A);
  i2c.read(0x4000, &in);
  EXPECT_EQ(in, 0x5Au);
  i2c.write(0x4000, 0x00);  // input register ignores writes
  i2c.read(0x4000, &in);
  EXPECT_EQ(in, 0x5Au);
}

TEST_F(I2cBus, SplitAddressReadTakesTheFcPath) {
  i2c_device_poke(*board, i2c_device_index(*board, 0xFC), 0x10, 0x3C);
  I2cRoutines i2c(*board);
  uint32_t data = 0;
  i2c.read(0xFC10, &data);
  EXPECT_EQ(data, 0x3Cu);
  EXPECT_EQ(events(), (Lines{"I2C START", "I2C BYTE 0xFC ACK", "I2C BYTE 0x10 ACK", "I2C STOP",
                             "I2C START", "I2C BYTE 0xFF ACK", "I2C RECV 0x3C", "I2C STOP"}));
}

TEST_F(I2cBus, SplitAddressWriteTakesTheFcPathAndIsReadBack) {
  I2cRoutines i2c(*board);
  i2c.write(0xFC10, 0x55);
  EXPECT_EQ(events(), (Lines{"I2C START", "I2C BYTE 0xFC ACK", "I2C BYTE 0x10 ACK", "I2C STOP",
                             "I2C START", "I2C BYTE 0xFE ACK", "I2C BYTE 0x55 ACK", "I2C STOP"}));
  uint32_t data = 0;
  i2c.read(0xFC10, &data);
  EXPECT_EQ(data, 0x55u);
  EXPECT_EQ(i2c.nack_messages, 0);
}

TEST_F(I2cBus, FdIsAnOrdinaryChipThatNobodyAnswersForReading) {
  I2cRoutines i2c(*board);
  uint32_t data = 0;
  i2c.read(0xFD10, &data);
  const Lines ev = events();
  ASSERT_GE(ev.size(), 5u);
  EXPECT_EQ(ev[1], "I2C BYTE 0xFC ACK");  // write form of 0xFD
  EXPECT_EQ(ev[3], "I2C RESTART");
  EXPECT_EQ(ev[4], "I2C BYTE 0xFD NACK");
  EXPECT_EQ(i2c.nack_messages, 1);
}

TEST_F(I2cBus, AbsentChipNeverAcknowledgesAndEveryByteReportsIt) {
  I2cRoutines i2c(*board);
  uint32_t data = 0x1234;
  i2c.read(0x5000, &data);
  // Address, internal address (bus stopped by then) and read address: three messages.
  EXPECT_EQ(i2c.nack_messages, 3);
  EXPECT_EQ(data, 0xFFu);
  for (const std::string &line : events()) {
    if (line.rfind("I2C BYTE", 0) == 0) {
      EXPECT_NE(line.find("NACK"), std::string::npos) << line;
    }
  }
  // The master is idle again and clean once the last stop (0x10 after it) has ended.
  rd(*board, 8);
  rd(*board, 8);
  EXPECT_EQ(rd(*board, 8) & (kI2cBusy | kI2cAck | kI2cNoacc), 0u);
}

TEST_F(I2cBus, StatusBitsFollowEachStep) {
  ASSERT_TRUE(i2c_set_timing(*board, I2cTiming{I2cTimingMode::kInstant, 0}));
  EXPECT_EQ(rd(*board, 8), 0u);
  wr(*board, 8, 0x80);
  EXPECT_EQ(rd(*board, 8), kI2cBusy | kI2cDone);
  wr(*board, 12, 0x50);  // nobody
  EXPECT_EQ(rd(*board, 8), kI2cBusy | kI2cDone | kI2cNoacc);
  wr(*board, 8, 0x40);
  EXPECT_EQ(rd(*board, 8), kI2cDone | kI2cNoacc);
  wr(*board, 8, 0x10);
  EXPECT_EQ(rd(*board, 8), kI2cDone);
  wr(*board, 8, 0x80);
  wr(*board, 12, 0xA0);
  EXPECT_EQ(rd(*board, 8), kI2cBusy | kI2cDone | kI2cAck);
  wr(*board, 8, 0x00);  // no effect
  EXPECT_EQ(rd(*board, 8), kI2cBusy | kI2cDone | kI2cAck);
}

TEST_F(I2cBus, EachStepClearsDoneAndSetsBusyUntilItHasEnded) {
  wr(*board, 8, 0x80);
  EXPECT_EQ(rd(*board, 8), kI2cBusy);
  EXPECT_EQ(rd(*board, 8), kI2cBusy);
  EXPECT_EQ(rd(*board, 8), kI2cBusy | kI2cDone);
  wr(*board, 12, 0xA1);
  EXPECT_EQ(rd(*board, 8), kI2cBusy);  // the ack of the address byte is not known yet
  rd(*board, 8);
  EXPECT_EQ(rd(*board, 8), kI2cBusy | kI2cDone | kI2cAck);
  wr(*board, 8, 0x20);
  EXPECT_EQ(rd(*board, 12), 0u) << "the byte is there only when the receive has ended";
  rd(*board, 8);
  rd(*board, 8);
  EXPECT_EQ(rd(*board, 8) & kI2cDone, kI2cDone);
  EXPECT_EQ(rd(*board, 12), 0x00u);  // byte 0 of the identity word
  wr(*board, 8, 0x40);
  wr(*board, 8, 0x00);  // no step: it neither ends the stop nor starts anything
  EXPECT_EQ(rd(*board, 8) & (kI2cBusy | kI2cDone), kI2cBusy);
  rd(*board, 8);
  EXPECT_EQ(rd(*board, 8) & (kI2cBusy | kI2cDone), kI2cDone);
}

TEST_F(I2cBus, TimedStepsEndWhenTheirTimeHasPassed) {
  // Two seconds a byte: a status read right after the byte cannot see it done.
  ASSERT_TRUE(i2c_set_timing(*board, I2cTiming{I2cTimingMode::kTime, 2000000000u}));
  wr(*board, 8, 0x80);
  wr(*board, 12, 0xA0);
  EXPECT_EQ(rd(*board, 8) & kI2cDone, 0u);
  // A millisecond a byte: done after the wait.
  ASSERT_TRUE(i2c_set_timing(*board, I2cTiming{I2cTimingMode::kTime, 1000000u}));
  wr(*board, 12, 0x05);  // ends the slow step at once, starts a fast one
  const timespec pause{0, 3000000};
  nanosleep(&pause, nullptr);
  EXPECT_EQ(rd(*board, 8), kI2cBusy | kI2cDone | kI2cAck);
  EXPECT_FALSE(i2c_set_timing(*board, I2cTiming{I2cTimingMode::kTime, 0}));
  EXPECT_FALSE(i2c_set_timing(*board, I2cTiming{I2cTimingMode::kReads, 0}));
}

TEST_F(I2cBus, PowerOnTimingIsAHundredMicrosecondsAByte) {
  auto fresh = make_board();
  EXPECT_EQ(fresh->i2c.timing.mode, I2cTimingMode::kTime);
  EXPECT_EQ(fresh->i2c.timing.value, 100000u);
}

TEST_F(I2cBus, HungStepNeverEndsUntilTheNextStep) {
  ASSERT_TRUE(board_set_i2c_hang(*board, kI2cStepReceive));
  I2cRoutines i2c(*board);
  i2c.write(0x4001, 0x12);  // no receive: unaffected
  EXPECT_EQ(i2c.failed_waits, 0);
  uint32_t data = 0;
  i2c.read(0x4001, &data);
  EXPECT_EQ(i2c.failed_waits, 1);
  wr(*board, 8, 0x40);  // a new step ends the hung one
  for (int i = 0; i < 3; ++i) rd(*board, 8);
  EXPECT_EQ(rd(*board, 8) & kI2cBusy, 0u);
  ASSERT_TRUE(board_clear_i2c_hang(*board));
  i2c.read(0x4001, &data);
  EXPECT_EQ(i2c.failed_waits, 1);
  EXPECT_EQ(data, 0x12u);
}

TEST_F(I2cBus, BadByteOnOneValueCorruptsOnlyThatValue) {
  ASSERT_TRUE(board_set_i2c_bad_byte(*board, 0xA0, 0x01, 0x17));
  I2cRoutines i2c(*board);
  uint32_t data = 0;
  for (uint32_t v : {0x16u, 0x17u, 0x18u}) {
    i2c.write(0xA005, v);
    i2c.read(0xA005, &data);
    EXPECT_EQ(data, v == 0x17 ? 0x16u : v);
  }
}

TEST_F(I2cBus, IntermittentNoackMissesEveryThirdAcknowledge) {
  ASSERT_TRUE(board_set_i2c_noack(*board, 0x40, intermittent_every(3)));
  I2cRoutines i2c(*board);
  i2c.write(0x4001, 0x12);  // address and pointer acknowledged, the data byte not
  EXPECT_EQ(i2c.nack_messages, 1);
  EXPECT_EQ(i2c_device_peek(*board, 1, 1), 0xFF);
  i2c.write(0x4001, 0x34);  // the same three accesses again
  EXPECT_EQ(i2c.nack_messages, 2);
  i2c.write(0x4001, 0x56);
  EXPECT_EQ(i2c.nack_messages, 3);
  EXPECT_EQ(i2c_device_peek(*board, 1, 1), 0xFF);
}

TEST_F(I2cBus, NoackFaultSilencesOnlyThatDevice) {
  ASSERT_TRUE(board_set_i2c_noack(*board, 0x40));
  I2cRoutines i2c(*board);
  i2c.write(0x4001, 0x12);
  EXPECT_EQ(i2c.nack_messages, 3);  // address, pointer, data
  uint32_t data = 0;
  i2c.read(0xA000, &data);
  EXPECT_EQ(i2c.nack_messages, 3);
  EXPECT_FALSE(board_set_i2c_noack(*board, 0x50));
}

TEST_F(I2cBus, BadByteFaultCorruptsReadsOnly) {
  ASSERT_TRUE(board_set_i2c_bad_byte(*board, 0xA1, 0x01));
  I2cRoutines i2c(*board);
  i2c.write(0xA005, 0x00);
  uint32_t data = 0;
  i2c.read(0xA005, &data);
  EXPECT_EQ(data, 0x01u);
  EXPECT_EQ(i2c_device_peek(*board, 0, 5), 0x00u);  // stored correctly
  EXPECT_EQ(i2c.nack_messages, 0);
}

}  // namespace
}  // namespace lbsim
