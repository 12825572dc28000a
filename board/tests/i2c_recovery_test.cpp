// The I2C master after a transfer that never finished, seen from real processes: a register
// server whose I2C read timed out, and a kesh_ctrl killed in the middle of a transfer. Neither
// may leave the master busy for the next transfer, the next process or the next server.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "testing/records.h"
#include "testing/world.h"

namespace zoltest {
namespace {

constexpr uint32_t kBusy = 0x08;
const std::string kBoard = "/ZOL/KeshV2_05";
const std::string kCmd = kBoard + "/CMD/ReadWriteRegisters";
const std::string kSvc = kBoard + "/SVC/UpdateRegisters";

// A new server on the board comes up under the name its identity EEPROM gives.
void expect_server_named_from_identity(World &world) {
  auto server = start_server(world, "ZOL_server");
  EXPECT_NE(server->out().find("Starting up server " + kBoard + "/SERVER\n"), std::string::npos)
      << server->out();
  server->stop();
}

TEST(I2cRecovery, ReadThatTimedOutInTheServerLeavesTheMasterUsable) {
  World world("i2c_timeout");
  world.boardsim({"set-id", "0x20020005"});
  auto server = start_server(world, "ZOL_server");
  Station station(world);
  station.subscribe(kSvc);
  ASSERT_TRUE(station.wait_updates(kSvc, 1));

  world.boardsim({"stuck", "8", "2", "0"});  // done never comes
  station.command(kCmd, write_rec(2, 0xA002, 0, 0, 0));
  ASSERT_TRUE(station.wait_updates(kSvc, 2)) << server->out();
  // The server prints before it answers, but its output reaches us through a pipe.
  EXPECT_TRUE(server->wait_out(
      [](const std::string &out) {
        return out.find("I2C master timed out waiting for done") != std::string::npos;
      },
      std::chrono::seconds(5)))
      << server->out();
  world.boardsim({"clear", "stuck", "8", "2"});  // the master answers again
  EXPECT_EQ(world.peek(8) & kBusy, 0u) << "the abandoned transfer left the master busy";

  station.command(kCmd, write_rec(2, 0xA002, 0, 0, 0));
  ASSERT_TRUE(station.wait_updates(kSvc, 3)) << server->out();
  EXPECT_EQ(station.updates(kSvc).at(2).words, (std::vector<uint32_t>{2, 0xA002, 0x02, 0}));
  server->stop();

  expect_server_named_from_identity(world);
}

// A start with no stop after it is what a process killed between the two leaves behind.
TEST(I2cRecovery, MasterLeftBusyIsFreedForANewServerAndTheSelfTest) {
  World world("i2c_left_busy");
  world.boardsim({"set-id", "0x20020005"});
  world.poke(8, 0x80);
  ASSERT_NE(world.peek(8) & kBusy, 0u);
  expect_server_named_from_identity(world);

  world.poke(8, 0x80);
  RunResult run = world.run_program("kesh_ctrl", {}, 60s);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("I2C master found busy, stop sent\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("I2C test done\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("Problems"), std::string::npos) << run.out;
}

TEST(I2cRecovery, SelfTestKilledDuringATransferDoesNotWedgeTheMaster) {
  World world("i2c_killed");
  world.boardsim({"set-id", "0x20020005"});
  // With done never coming, kesh_ctrl spends its time inside transfers, between a start and
  // the stop it sends on giving up; killed there, nothing stops the bus for it.
  world.boardsim({"stuck", "8", "2", "0"});
  bool left_busy = false;
  for (int attempt = 0; attempt < 5 && !left_busy; ++attempt) {
    auto self_test = world.start("kesh_ctrl");
    std::this_thread::sleep_for(std::chrono::milliseconds(150 + 20 * attempt));
    self_test->signal(SIGKILL);
    self_test->wait_exit(5s);
    left_busy = (world.peek(8) & kBusy) != 0;
  }
  ASSERT_TRUE(left_busy) << "kesh_ctrl was never killed inside a transfer";
  world.boardsim({"clear", "stuck", "8", "2"});
  expect_server_named_from_identity(world);
}

}  // namespace
}  // namespace zoltest
