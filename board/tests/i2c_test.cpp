// The I2C master's byte sequences and messages, read from the simulated board's trace.
#include "board/i2c.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "board/pci_init.h"
#include "testing/sim_board.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using zoltest::process_board;

class I2cMaster : public testing::Test {
 protected:
  void SetUp() override {
    auto &board = process_board();
    open_local_bus();
    board->reset();
    board->trace_on(true);
    I2C_pause_us = 10;
    I2C_timeout_us = 100000;
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
  std::vector<std::string> bus() { return process_board().trace({"I2C "}); }
  std::vector<std::string> commands() { return process_board().trace({"W 0x0008 "}); }
  lbsim::BoardControl &board() { return process_board().control(); }

 private:
  bool captured_ = false;
};

TEST_F(I2cMaster, ReadOfEepromUsesRepeatedStart) {
  board().set_identity(0x20020037);  // byte 0 = 0x37
  uint32_t data = 0;
  EXPECT_EQ(I2C_Read(0xA000, &data), 1);
  EXPECT_EQ(data, 0x37u);
  EXPECT_THAT(bus(), ElementsAre("I2C START", "I2C BYTE 0xA0 ACK", "I2C BYTE 0x00 ACK",
                                 "I2C RESTART", "I2C BYTE 0xA1 ACK", "I2C RECV 0x37", "I2C STOP"));
  // Start, repeated start, receive, stop, then the command is cleared.
  EXPECT_THAT(commands(),
              ElementsAre("W 0x0008 0x00000080", "W 0x0008 0x00000080", "W 0x0008 0x00000020",
                          "W 0x0008 0x00000040", "W 0x0008 0x00000000"));
  EXPECT_EQ(output(), "");
}

TEST_F(I2cMaster, ReadIgnoresBitsAboveTheChipAddress) {
  board().set_identity(0x20020037);
  uint32_t data = 0;
  EXPECT_EQ(I2C_Read(0x7A000, &data), 1);
  EXPECT_EQ(data, 0x37u);
  EXPECT_EQ(bus()[1], "I2C BYTE 0xA0 ACK");
}

TEST_F(I2cMaster, ReadOfChipFcRestartsWithReadByteFf) {
  ASSERT_TRUE(board().i2c_poke(0xFC, 0x10, 0x5A));
  board().trace_clear();
  uint32_t data = 0;
  EXPECT_EQ(I2C_Read(0xFC10, &data), 1);
  EXPECT_EQ(data, 0x5Au);
  EXPECT_THAT(bus(), ElementsAre("I2C START", "I2C BYTE 0xFC ACK", "I2C BYTE 0x10 ACK", "I2C STOP",
                                 "I2C START", "I2C BYTE 0xFF ACK", "I2C RECV 0x5A", "I2C STOP"));
  EXPECT_EQ(output(), "");
}

TEST_F(I2cMaster, WriteToChipFcRestartsWithWriteByteFe) {
  EXPECT_EQ(I2C_Write(0xFC10, 0x55), 1);
  EXPECT_THAT(bus(),
              ElementsAre("I2C START", "I2C BYTE 0xFC ACK", "I2C BYTE 0x10 ACK", "I2C STOP",
                          "I2C START", "I2C BYTE 0xFE ACK", "I2C BYTE 0x55 ACK", "I2C STOP"));
  uint8_t stored = 0;
  ASSERT_TRUE(board().i2c_peek(0xFC, 0x10, &stored));
  EXPECT_EQ(stored, 0x55);
  EXPECT_EQ(output(), "");
}

TEST_F(I2cMaster, WriteToOrdinaryChipSendsAddressPointerDataStop) {
  EXPECT_EQ(I2C_Write(0x4001, 0x55), 1);
  EXPECT_THAT(bus(), ElementsAre("I2C START", "I2C BYTE 0x40 ACK", "I2C BYTE 0x01 ACK",
                                 "I2C BYTE 0x55 ACK", "I2C STOP"));
  // The command word is left at stop: a write does not clear it.
  EXPECT_THAT(commands(), ElementsAre("W 0x0008 0x00000080", "W 0x0008 0x00000040"));
  uint8_t stored = 0;
  ASSERT_TRUE(board().i2c_peek(0x40, 0x01, &stored));
  EXPECT_EQ(stored, 0x55);
  EXPECT_EQ(output(), "");
}

TEST_F(I2cMaster, ChipFdIsOrdinaryAndNamedInTheMessage) {
  uint32_t data = 0;
  EXPECT_EQ(I2C_Read(0xFD00, &data), 1);
  const auto trace = bus();
  ASSERT_GE(trace.size(), 5u);
  EXPECT_EQ(trace[1], "I2C BYTE 0xFC ACK");  // write form of the address
  EXPECT_EQ(trace[3], "I2C RESTART");
  EXPECT_EQ(trace[4], "I2C BYTE 0xFD NACK");  // read form, not answered on this board
  EXPECT_EQ(output(),
            "Action was not acknowledged by slave, 0xFD\n"
            "NOACC = 0x1, Transaction is stopped\n");
}

TEST_F(I2cMaster, MissingAcknowledgeIsReportedPerByteAndReadStillReturns) {
  ASSERT_TRUE(board().set_i2c_noack(0x42));
  uint32_t data = 0x1234;
  EXPECT_EQ(I2C_Read(0x4202, &data), 1);
  EXPECT_EQ(data, 0xFFu);  // what the data register then holds: nothing drove the bus
  EXPECT_EQ(output(),
            "Action was not acknowledged by slave, 0x42\n"
            "NOACC = 0x1, Transaction is stopped\n"
            "Action was not acknowledged by slave, 0x2\n"
            "NOACC = 0x1, Transaction is stopped\n"
            "Action was not acknowledged by slave, 0x42\n"
            "NOACC = 0x1, Transaction is stopped\n");
  // Every missing acknowledge puts a stop on the bus followed by the 0x10 command.
  const auto cmds = commands();
  ASSERT_GE(cmds.size(), 3u);
  EXPECT_EQ(cmds[1], "W 0x0008 0x00000040");
  EXPECT_EQ(cmds[2], "W 0x0008 0x00000010");
}

TEST_F(I2cMaster, MissingAcknowledgeOnWriteNamesTheData) {
  ASSERT_TRUE(board().set_i2c_noack(0x40));
  EXPECT_EQ(I2C_Write(0x4001, 0x55), 1);
  EXPECT_EQ(output(),
            "Action was not acknowledged by slave, 0x40\n"
            "NOACC = 0x1, Transaction is stopped\n"
            "Action was not acknowledged by slave, 0x1\n"
            "NOACC = 0x1, Transaction is stopped\n"
            "Action was not acknowledged by slave, 0x55\n"
            "NOACC = 0x1, Transaction is stopped\n");
}

TEST_F(I2cMaster, DeadMasterEndsTheTransferWithAMessage) {
  I2C_timeout_us = 20000;
  ASSERT_TRUE(board().set_access_fail(8));  // status never readable: done never seen
  uint32_t data = 0x1234;
  EXPECT_EQ(I2C_Read(0xA000, &data), 0);
  EXPECT_EQ(data, 0x1234u);
  EXPECT_EQ(I2C_Write(0x4001, 0x55), 0);
  EXPECT_EQ(output(),
            "I2C master timed out waiting for done, transfer abandoned\n"
            "I2C master timed out waiting for done, transfer abandoned\n");
}

TEST_F(I2cMaster, BusThatStaysBusyIsStoppedOnceThenTheTransferIsAbandoned) {
  I2C_timeout_us = 20000;
  ASSERT_TRUE(board().set_stuck_bit(8, 3, 1));
  uint32_t data = 0x1234;
  EXPECT_EQ(I2C_Read(0xA000, &data), 0);
  EXPECT_EQ(data, 0x1234u);
  for (const auto &line : bus()) EXPECT_EQ(line, "I2C STOP") << "nothing may be started";
  EXPECT_EQ(output(),
            "I2C master found busy, stop sent\n"
            "I2C master timed out waiting for busy to clear, transfer abandoned\n");
}

// A master whose done bit never comes: the transfer is given up, and what it leaves behind
// must not stop the next transfer once the master answers again (the fault cleared).
TEST_F(I2cMaster, TransferAbandonedOnDoneEndsWithAStopSoTheNextOneWorks) {
  I2C_timeout_us = 20000;
  board().set_identity(0x20020037);
  ASSERT_TRUE(board().set_stuck_bit(8, 2, 0));
  // The polls fill the trace ring, so only its end is looked at.
  auto ends_stopped = [&] {
    const auto trace = bus();
    uint32_t status = 0;
    return !trace.empty() && trace.back() == "I2C STOP" && board().peek(8, &status) &&
           (status & 0x08) == 0;
  };
  uint32_t data = 0x1234;
  EXPECT_EQ(I2C_Read(0xA000, &data), 0);
  EXPECT_EQ(data, 0x1234u);
  EXPECT_TRUE(ends_stopped()) << "the read leaves the master busy";
  EXPECT_EQ(I2C_Write(0x4001, 0x55), 0);
  EXPECT_TRUE(ends_stopped()) << "the write leaves the master busy";

  ASSERT_TRUE(board().clear_stuck_bit(8, 2));
  board().trace_clear();
  EXPECT_EQ(I2C_Read(0xA000, &data), 1);
  EXPECT_EQ(data, 0x37u);
  EXPECT_EQ(I2C_Write(0x4001, 0x66), 1);
  uint8_t stored = 0;
  ASSERT_TRUE(board().i2c_peek(0x40, 0x01, &stored));
  EXPECT_EQ(stored, 0x66);
  EXPECT_EQ(output(),
            "I2C master timed out waiting for done, transfer abandoned\n"
            "I2C master timed out waiting for done, transfer abandoned\n");
}

// A process killed between its start and its stop leaves the master busy with nobody to
// stop it. The next transfer, in any process, stops the bus and goes on.
TEST_F(I2cMaster, MasterLeftBusyByAnotherTransferIsStoppedAndTheTransferGoesOn) {
  I2C_timeout_us = 20000;
  board().set_identity(0x20020037);
  ASSERT_TRUE(board().poke(8, 0x80));  // a start, and no stop ever
  board().trace_clear();
  uint32_t data = 0;
  EXPECT_EQ(I2C_Read(0xA000, &data), 1);
  EXPECT_EQ(data, 0x37u);
  EXPECT_THAT(bus(), ElementsAre("I2C STOP", "I2C START", "I2C BYTE 0xA0 ACK", "I2C BYTE 0x00 ACK",
                                 "I2C RESTART", "I2C BYTE 0xA1 ACK", "I2C RECV 0x37", "I2C STOP"));
  EXPECT_EQ(output(), "I2C master found busy, stop sent\n");
}

}  // namespace
