// Several name servers in DIM_DNS_NODE: servers register with each, stations ask them in turn,
// and one of them going down, or coming back empty, costs no station a board. Real processes
// throughout: two dim_dns, boards played by dim_echo_peer, stations played by dimctl (a fresh
// station each time, so every one has to find every board through a name server).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/dim/wire.h"
#include "testing/dns_peer.h"
#include "testing/name_server.h"
#include "testing/process.h"

namespace {

using zoltest::DnsPeer;
using zoltest::Env;
using zoltest::NameServerProcess;
using zoltest::Process;
using zoltest::wait_for;
using namespace std::chrono_literals;
namespace wire = dim::wire;

constexpr int kBoards = 3;

std::string board(int i) { return "/MNS/B" + std::to_string(i); }

// Whether the name server on `port` hands out the service of board i.
bool knows(int port, int i) {
  DnsPeer p(port);
  if (!p.ok() || !p.send(wire::encode(wire::LookupMsg{1, board(i) + "/SVC"}))) return false;
  auto f = p.next(1000);
  if (!f) return false;
  auto r = wire::decode_lookup_reply(*f);
  return r && r->found && r->server == board(i) + "/SERVER";
}

bool knows_all(int port) {
  for (int i = 0; i < kBoards; ++i)
    if (!knows(port, i)) return false;
  return true;
}

class SeveralNameServers : public ::testing::Test {
 protected:
  void SetUp() override {
    a_ = std::make_unique<NameServerProcess>();
    b_ = std::make_unique<NameServerProcess>();
    ASSERT_GT(a_->port(), 0);
    ASSERT_GT(b_->port(), 0);
    a_port_ = a_->port();
    // The first entry takes DIM_DNS_PORT, the second its own port.
    env_ = {{"DIM_DNS_NODE", "127.0.0.1,127.0.0.1:" + std::to_string(b_->port())},
            {"DIM_DNS_PORT", std::to_string(a_port_)}};
  }

  void start_boards() {
    for (int i = 0; i < kBoards; ++i) {
      boards_.push_back(std::make_unique<Process>(
          std::vector<std::string>{zoltest::test_bin("dim_echo_peer"), board(i) + "/SERVER",
                                   board(i) + "/SVC", board(i) + "/CMD"},
          env_));
      ASSERT_EQ(boards_.back()->line(10s), "ready") << boards_.back()->err_text();
    }
  }

  // A fresh station finds board i: its command goes through and its service shows the value.
  void expect_station_reaches(int i, int value) {
    auto cmd = zoltest::run(
        {zoltest::bin("dimctl"), "cmd", board(i) + "/CMD", std::to_string(value)}, env_, 10s);
    EXPECT_EQ(cmd.status, 0) << board(i) << ": " << cmd.err;
    char expected[16];
    std::snprintf(expected, sizeof expected, "0x%08X\n", value);
    EXPECT_TRUE(wait_for(
        [&] {
          auto get = zoltest::run({zoltest::bin("dimctl"), "get", board(i) + "/SVC"}, env_, 10s);
          return get.status == 0 && get.out == expected;
        },
        5s))
        << board(i) << " never showed " << expected;
  }

  void expect_listed_by_a_station() {
    auto list = zoltest::run({zoltest::bin("dimctl"), "list"}, env_, 10s);
    EXPECT_EQ(list.status, 0) << list.err;
    for (int i = 0; i < kBoards; ++i)
      EXPECT_NE(list.out.find(board(i) + "/SERVER  "), std::string::npos) << list.out;
  }

  std::unique_ptr<NameServerProcess> a_, b_;
  int a_port_ = 0;
  Env env_;
  std::vector<std::unique_ptr<Process>> boards_;
};

TEST_F(SeveralNameServers, EveryBoardRegistersWithEachNameServer) {
  start_boards();
  EXPECT_TRUE(wait_for([&] { return knows_all(a_->port()) && knows_all(b_->port()); }, 5s));
  expect_listed_by_a_station();
  for (int i = 0; i < kBoards; ++i) expect_station_reaches(i, 0x100 + i);
}

TEST_F(SeveralNameServers, StationsFindEveryBoardWhileOneNameServerIsDownAndAfterItReturns) {
  start_boards();
  ASSERT_TRUE(wait_for([&] { return knows_all(a_->port()) && knows_all(b_->port()); }, 5s));

  // The first-listed name server dies as in a crash: stations turn to the other one.
  a_->child().kill_now();
  expect_listed_by_a_station();
  for (int i = 0; i < kBoards; ++i) expect_station_reaches(i, 0x200 + i);

  // Back on its port, empty, with its usual grace for returning servers: each board comes
  // back to it on its own, within 5 s.
  a_ = std::make_unique<NameServerProcess>(a_port_, std::vector<std::string>{"--grace", "3"});
  ASSERT_EQ(a_->port(), a_port_);
  const auto restarted = std::chrono::steady_clock::now();
  EXPECT_TRUE(wait_for([&] { return knows_all(a_port_); }, 5s));
  EXPECT_LE(std::chrono::steady_clock::now() - restarted, 5s);

  // The other registrations were never disturbed: that name server saw no board leave.
  EXPECT_EQ(b_->child().out().find(" gone"), std::string::npos) << b_->child().out();

  // And the returned one is complete on its own.
  b_->child().kill_now();
  expect_listed_by_a_station();
  for (int i = 0; i < kBoards; ++i) expect_station_reaches(i, 0x300 + i);
}

TEST_F(SeveralNameServers, ATakenNameAtOneNameServerRefusesTheNewcomer) {
  // Someone already holds the board's name at the second name server only.
  DnsPeer holder(b_->port());
  auto r = holder.register_as(zoltest::registration(board(0) + "/SERVER", {board(0) + "/SVC"}));
  ASSERT_TRUE(r && r->ok);
  Process newcomer({zoltest::test_bin("dim_echo_peer"), board(0) + "/SERVER", board(0) + "/SVC",
                    board(0) + "/CMD"},
                   env_);
  EXPECT_EQ(newcomer.wait_exit(10s), 1);
  EXPECT_NE(newcomer.err().find("dim: server " + board(0) +
                                "/SERVER refused by the name server: server name " + board(0) +
                                "/SERVER is already registered"),
            std::string::npos)
      << newcomer.err();
}

TEST(NameServerSetting, AMalformedListStopsServerAndStationWithAClearMessage) {
  const Env env = {{"DIM_DNS_NODE", "127.0.0.1,,127.0.0.2"}, {"DIM_DNS_PORT", "2505"}};
  const std::string why = "DIM_DNS_NODE '127.0.0.1,,127.0.0.2': entry 2 is empty";
  Process server(
      {zoltest::test_bin("dim_echo_peer"), "/MNS/BAD/SERVER", "/MNS/BAD/SVC", "/MNS/BAD/CMD"}, env);
  EXPECT_EQ(server.wait_exit(10s), 3);
  EXPECT_NE(server.err().find("dim: server /MNS/BAD/SERVER not registered yet: " + why),
            std::string::npos)
      << server.err();

  auto list = zoltest::run({zoltest::bin("dimctl"), "list"}, {{"DIM_DNS_NODE", "h:99999"}}, 10s);
  EXPECT_EQ(list.status, 2);
  EXPECT_NE(list.err.find("dimctl: no link to the name server: DIM_DNS_NODE 'h:99999': entry 1 "
                          "('h:99999') has a port that is no number from 1 to 65535"),
            std::string::npos)
      << list.err;
}

}  // namespace
