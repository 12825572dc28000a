// dimctl against a real ZOL_server on a simulated board: batched reads and writes, decoded
// and JSON deliveries, unknown services, and watch across a server restart.
#include <gtest/gtest.h>

#include <csignal>
#include <nlohmann/json.hpp>
#include <regex>

#include "testing/world.h"

namespace zoltest {
namespace {

using namespace std::chrono_literals;

class DimctlOnBoard : public ::testing::Test {
 protected:
  explicit DimctlOnBoard()
      : world_(std::string("dimctl_") +
               ::testing::UnitTest::GetInstance()->current_test_info()->name()) {}
  void SetUp() override { server_ = start_server(world_, "ZOL_server"); }
  std::string svc(const std::string &name) { return kEchoBoard + "/SVC/" + name; }

  World world_;
  std::unique_ptr<Process> server_;
};

TEST_F(DimctlOnBoard, WriteAppliesTheMaskAndPrintsTheValueReadBack) {
  world_.poke(0x2000, 0x11111111);
  RunResult r =
      world_.run_program("dimctl", {"write", "KeshV2_00", "0x2000", "0xABCD1234", "0xFFFF0000"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0x00002000 0xABCD1111 2882343185\n");
  EXPECT_EQ(world_.peek(0x2000), 0xABCD1111u);
}

TEST_F(DimctlOnBoard, ReadOfARangeIsOneCommandAndOneAnswer) {
  Station station(world_);
  station.subscribe(svc("UpdateRegisters"));
  ASSERT_TRUE(station.wait_updates(svc("UpdateRegisters"), 1));
  for (uint32_t i = 0; i < 3; ++i) world_.poke(0x2000 + 4 * i, 0x100 + i);
  RunResult r = world_.run_program("dimctl", {"read", "KeshV2_00", "0x2000..0x2008"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "0x00002000 0x00000100 256\n0x00002004 0x00000101 257\n"
            "0x00002008 0x00000102 258\n");
  ASSERT_TRUE(station.wait_updates(svc("UpdateRegisters"), 2));
  const auto updates = station.updates(svc("UpdateRegisters"));
  ASSERT_EQ(updates.size(), 2u) << "one command, so one publication";
  EXPECT_EQ(updates[1].size, 3 * 16);

  RunResult json = world_.run_program("dimctl", {"read", "KeshV2_00", "0x2004", "--json"});
  EXPECT_EQ(json.out, "{\"addr\":8196,\"val\":257}\n");

  RunResult too_many = world_.run_program("dimctl", {"read", "KeshV2_00", "0x0..0x190"});
  EXPECT_EQ(too_many.status, 1);
  EXPECT_NE(too_many.err.find("at most 100 registers"), std::string::npos);
  RunResult hundred = world_.run_program("dimctl", {"read", "KeshV2_00", "0x0..0x18C"});
  EXPECT_EQ(hundred.status, 0) << hundred.err;
  EXPECT_EQ(lines_of(hundred.out).size(), 100u);
}

TEST_F(DimctlOnBoard, GetDecodesRecordsOrKeepsWordsOrGivesJson) {
  ASSERT_EQ(world_.run_program("dimctl", {"write", "KeshV2_00", "0x2000", "0x12345678"}).status, 0);
  RunResult named = world_.run_program("dimctl", {"get", svc("UpdateRegisters")});
  EXPECT_EQ(named.out, "method 1 addr 0x00002000 val 0x12345678 mask 0xFFFFFFFF\n");
  RunResult raw = world_.run_program("dimctl", {"get", svc("UpdateRegisters"), "--raw"});
  EXPECT_EQ(raw.out, "0x00000001 0x00002000 0x12345678 0xFFFFFFFF\n");
  RunResult json = world_.run_program("dimctl", {"get", svc("UpdateRegisters"), "--json"});
  const auto j = nlohmann::json::parse(json.out);
  EXPECT_EQ(j["service"], svc("UpdateRegisters"));
  EXPECT_EQ(j["records"][0]["val"], 0x12345678u);
  EXPECT_EQ(j["records"][0]["addr"], 0x2000u);
  EXPECT_TRUE(
      std::regex_match(j["time"].get<std::string>(),
                       std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)")));

  RunResult status = world_.run_program("dimctl", {"get", svc("FPGALoadStatus")});
  EXPECT_EQ(status.out, "Downloaded 0 (none)\n");
}

TEST_F(DimctlOnBoard, FollowOfAServiceNobodyOffersSaysSoAndExits2) {
  RunResult r = world_.run_program("dimctl", {"follow", svc("NoSuchService")}, 10s);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(
      r.err.find("no link to " + svc("NoSuchService") + ": the name server knows no such service"),
      std::string::npos)
      << r.err;
}

// One line per published value; the mark follows a change; the watch goes on after the
// server restarts, which forgets its list of watched registers.
TEST_F(DimctlOnBoard, WatchMarksChangesAndSubscribesAgainAfterServerRestart) {
  world_.poke(0x2000, 5);
  auto watch = world_.start("dimctl", {"watch", "KeshV2_00", "0x2000", "-i", "1"});
  const std::regex line(R"((\S+) KeshV2_00 0x00002000 (0x[0-9A-F]{8}) (\d+)( \*)?)");
  std::smatch m;
  auto first = watch->line(10s);
  ASSERT_TRUE(first);
  ASSERT_TRUE(std::regex_match(*first, m, line)) << *first;
  EXPECT_EQ(m[2], "0x00000005");
  EXPECT_EQ(m[4], "") << "the first value has nothing to differ from";
  world_.poke(0x2000, 6);
  std::optional<std::string> next;
  do {
    next = watch->line(10s);
    ASSERT_TRUE(next);
  } while (next->find("0x00000006") == std::string::npos);
  EXPECT_TRUE(next->ends_with("0x00000006 6 *")) << *next;

  server_->stop();
  server_ = start_server(world_, "ZOL_server");
  world_.poke(0x2000, 7);
  ASSERT_TRUE(watch->wait_out(
      [](const std::string &out) { return out.find("0x00000007 7 *") != std::string::npos; }, 20s))
      << watch->out() << watch->err();
  EXPECT_NE(watch->err().find("no link to the server of board KeshV2_00"), std::string::npos);
  watch->signal(SIGINT);
  EXPECT_EQ(watch->wait_exit(5s), 0);
}

TEST_F(DimctlOnBoard, WatchWritesCsvOrJsonAndEndsOnCtrlC) {
  world_.poke(0x2004, 0xFFFFFFFF);
  RunResult csv = world_.run_program(
      "dimctl", {"watch", "KeshV2_00", "0x2000", "0x2004", "-n", "2", "--csv"}, 20s);
  ASSERT_EQ(csv.status, 0) << csv.err;
  const auto rows = lines_of(csv.out);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], "time,board,addr,val_hex,val,changed");
  EXPECT_TRUE(rows[2].ends_with(",KeshV2_00,0x00002004,0xFFFFFFFF,4294967295,0")) << rows[2];

  auto json = world_.start("dimctl", {"watch", "KeshV2_00", "0x2004", "--json"});
  auto first = json->line(10s);
  ASSERT_TRUE(first);
  const auto j = nlohmann::json::parse(*first);
  EXPECT_EQ(j["board"], "KeshV2_00");
  EXPECT_EQ(j["addr"], 0x2004u);
  EXPECT_EQ(j["val"], 0xFFFFFFFFu);
  EXPECT_EQ(j["changed"], false);
  json->signal(SIGINT);
  EXPECT_EQ(json->wait_exit(5s), 0);
}

}  // namespace
}  // namespace zoltest
