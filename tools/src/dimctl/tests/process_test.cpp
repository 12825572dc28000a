// Servers, name server and tools as separate processes: restarts, kills, bad peers, exit.
#include "testing/process.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "platform/dim/dim.h"
#include "platform/dim/dim_extra.h"
#include "platform/dim/wire.h"
#include "testing/name_server.h"
#include "testing/raw_socket.h"

namespace {

using zoltest::NameServerProcess;
using zoltest::Process;
using zoltest::RawSocket;
using zoltest::wait_for;
using namespace std::chrono_literals;

struct Inbox {
  std::mutex m;
  std::vector<std::string> items;  // contents as text; "<fill>" for the fill data
  void add(const void *data, int size) {
    std::lock_guard lock(m);
    items.push_back(dim::delivering_fill() ? "<fill>"
                                           : std::string(static_cast<const char *>(data),
                                                         static_cast<std::size_t>(size)));
  }
  std::string last() {
    std::lock_guard lock(m);
    return items.empty() ? "" : items.back();
  }
  std::size_t count() {
    std::lock_guard lock(m);
    return items.size();
  }
} inbox;
void into_inbox(long *, void *data, int *size) { inbox.add(data, *size); }

class DimProcesses : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(dns_->port(), 0);
    dns_->use();
    std::lock_guard lock(inbox.m);
    inbox.items.clear();
  }
  void TearDown() override { dim::shutdown(); }

  std::unique_ptr<Process> peer(const std::string &base, const char *handler_ms = "0") {
    auto c = std::make_unique<Process>(std::vector<std::string>{zoltest::test_bin("dim_echo_peer"),
                                                                base + "/SERVER", base + "/SVC",
                                                                base + "/CMD", handler_ms});
    EXPECT_EQ(c->line(), "ready");
    return c;
  }
  int server_port(const std::string &server) {
    std::vector<dim::wire::ServerInfo> servers;
    std::string error;
    if (!dim::list_servers(servers, error, 5000)) return 0;
    for (const auto &s : servers)
      if (s.server == server) return static_cast<int>(s.port);
    return 0;
  }
  void subscribe(const std::string &service) {
    dic_info_service_(service.c_str(), MONITORED, 0, nullptr, 0, into_inbox, 0,
                      const_cast<char *>("No Link"), 8);
  }
  bool send(const std::string &command, const std::string &text) {
    std::string error;
    return dim::send_command(command, text.data(), static_cast<int>(text.size()), 5000, error);
  }

  std::unique_ptr<NameServerProcess> dns_ = std::make_unique<NameServerProcess>();
};

TEST_F(DimProcesses, KilledServerGivesFillDataAndRestartedServerIsFoundAgain) {
  auto p = peer("/PR/A");
  subscribe("/PR/A/SVC");
  ASSERT_TRUE(wait_for([] { return inbox.last() == "init"; }));
  p->kill_now();
  ASSERT_TRUE(wait_for([] { return inbox.last() == "<fill>"; }));
  p = peer("/PR/A");
  ASSERT_TRUE(wait_for([] { return inbox.last() == "init"; }, 5000ms));
  ASSERT_TRUE(send("/PR/A/CMD", "after"));
  ASSERT_TRUE(wait_for([] { return inbox.last() == "after"; }));
}

TEST_F(DimProcesses, ServersAndClientsComeBackAfterNameServerRestart) {
  auto p = peer("/PR/B");
  subscribe("/PR/B/SVC");
  ASSERT_TRUE(wait_for([] { return inbox.last() == "init"; }));
  ASSERT_TRUE(send("/PR/B/CMD", "warm"));  // the command's address is now known
  ASSERT_TRUE(wait_for([] { return inbox.last() == "warm"; }));
  const int port = dns_->port();
  dns_.reset();
  // Established links do not depend on the name server.
  ASSERT_TRUE(send("/PR/B/CMD", "no dns"));
  ASSERT_TRUE(wait_for([] { return inbox.last() == "no dns"; }));
  dns_ = std::make_unique<NameServerProcess>(port);
  ASSERT_EQ(dns_->port(), port);
  ASSERT_TRUE(wait_for([&] { return server_port("/PR/B/SERVER") != 0; }, 5000ms));
  // A server restarted now is reached through the restarted name server.
  p->kill_now();
  ASSERT_TRUE(wait_for([] { return inbox.last() == "<fill>"; }));
  p = peer("/PR/B");
  ASSERT_TRUE(wait_for([] { return inbox.last() == "init"; }, 5000ms));
}

TEST_F(DimProcesses, SecondServerOfTheSameNameSaysSoAndExitsNonZero) {
  auto first = peer("/PR/C");
  Process second({zoltest::test_bin("dim_echo_peer"), "/PR/C/SERVER", "/PR/C/SVC2", "/PR/C/CMD2"});
  EXPECT_EQ(second.wait_exit(5000ms), 1);
  EXPECT_NE(second.err_text().find("/PR/C/SERVER is already registered"), std::string::npos);
  EXPECT_TRUE(send("/PR/C/CMD", "still"));
}

TEST_F(DimProcesses, ExitFromAHandlerEndsTheServerProcess) {
  auto p = peer("/PR/D");
  ASSERT_TRUE(send("/PR/D/CMD", "EXIT"));
  EXPECT_EQ(p->wait_exit(5000ms), 7);
}

// Each bad stream must close only its own connection; the server keeps serving others.
TEST_F(DimProcesses, MalformedTruncatedAndOversizedFramesCloseOnlyThatConnection) {
  auto p = peer("/PR/E");
  subscribe("/PR/E/SVC");
  ASSERT_TRUE(wait_for([] { return inbox.last() == "init"; }));
  const int port = server_port("/PR/E/SERVER");
  ASSERT_GT(port, 0);
  const std::vector<std::vector<uint8_t>> attacks = {
      {0xFF, 0xFF, 0xFF, 0xFF, 20},                    // length over the limit
      {0x01, 0x00, 0x00, 0x00, 0xEE},                  // unknown kind
      {0x00, 0x00, 0x00, 0x00, 0x00},                  // empty frame
      {0x03, 0x00, 0x00, 0x00, 16, 1, 0},              // subscribe cut short
      {0x02, 0x00, 0x00, 0x00, 5, 0},                  // a name-server message sent to a server
      {0x05, 0x00, 0x00, 0x00, 20, 0xFF, 0x7F, 0, 0},  // command name longer than the frame
  };
  for (std::size_t i = 0; i < attacks.size(); ++i) {
    RawSocket s(port);
    ASSERT_TRUE(s.ok());
    ASSERT_TRUE(s.send_all(attacks[i]));
    EXPECT_TRUE(s.closed_by_peer()) << "attack " << i;
  }
  {
    // Truncated: half a frame, then the sender goes away.
    RawSocket s(port);
    ASSERT_TRUE(s.send_all({0x40, 0x00, 0x00, 0x00, 20, 1, 2}));
  }
  EXPECT_NE(p->err_text().find("closing connection"), std::string::npos);
  ASSERT_TRUE(send("/PR/E/CMD", "alive"));
  ASSERT_TRUE(wait_for([] { return inbox.last() == "alive"; }));
}

TEST_F(DimProcesses, NameServerSurvivesBadFramesAndKeepsAnswering) {
  auto p = peer("/PR/F");
  for (const auto &attack : std::vector<std::vector<uint8_t>>{
           {0xFF, 0xFF, 0xFF, 0x7F, 5},
           {0x01, 0x00, 0x00, 0x00, 0x07},
           {0x03, 0x00, 0x00, 0x00, 3, 9, 0},  // entry before registration, and cut short
       }) {
    RawSocket s(dns_->port());
    ASSERT_TRUE(s.send_all(attack));
    EXPECT_TRUE(s.closed_by_peer());
  }
  EXPECT_GT(server_port("/PR/F/SERVER"), 0);
}

TEST_F(DimProcesses, StuckSubscriberDoesNotStallTheServerAndGetsTheLatestContents) {
  auto p = peer("/PR/G");
  const int port = server_port("/PR/G/SERVER");
  ASSERT_GT(port, 0);
  RawSocket stuck(port);
  ASSERT_TRUE(stuck.send_all([] {
    auto f = dim::wire::encode(dim::wire::SubscribeMsg{1, "/PR/G/SVC"});
    return f;
  }()));
  subscribe("/PR/G/SVC");
  ASSERT_TRUE(wait_for([] { return inbox.last() == "init"; }));
  // 64 updates of 1 MiB each: far more than the stuck socket can hold.
  std::string big(1 << 20, 'x');
  for (int i = 0; i < 64; ++i) {
    big[0] = static_cast<char>('A' + i % 26);
    big[1] = static_cast<char>('0' + i / 26);
    ASSERT_TRUE(send("/PR/G/CMD", big));
  }
  ASSERT_TRUE(wait_for([&] { return inbox.last() == big; }, 10000ms));
  // The stuck reader wakes up and finds the newest contents at the end of what it gets.
  auto got = stuck.drain(1000);
  ASSERT_GE(got.size(), big.size());
  EXPECT_EQ(std::string(got.end() - static_cast<long>(big.size()), got.end()), big);
  EXPECT_LT(got.size(), 16u * big.size()) << "updates were queued instead of coalesced";
}

TEST_F(DimProcesses, DimctlListsGetsFollowsAndSends) {
  auto p = peer("/PR/H");
  Process list({zoltest::bin("dimctl"), "list"});
  EXPECT_EQ(list.line(), "/PR/H/SERVER  127.0.0.1:" + std::to_string(server_port("/PR/H/SERVER")) +
                             "  pid " + std::to_string(p->pid()));
  EXPECT_EQ(list.wait_exit(5000ms), 0);

  Process follow({zoltest::bin("dimctl"), "follow", "/PR/H/SVC", "-n", "2"});
  EXPECT_EQ(follow.line(), "0x74696E69");  // "init" as a little-endian word
  Process cmd({zoltest::bin("dimctl"), "cmd", "/PR/H/CMD", "0x38", "-1", "5"});
  EXPECT_EQ(cmd.wait_exit(5000ms), 0);
  EXPECT_EQ(follow.line(), "0x00000038 0xFFFFFFFF 0x00000005");
  EXPECT_EQ(follow.wait_exit(5000ms), 0);

  Process get({zoltest::bin("dimctl"), "get", "/PR/H/SVC"});
  EXPECT_EQ(get.line(), "0x00000038 0xFFFFFFFF 0x00000005");
  EXPECT_EQ(get.wait_exit(5000ms), 0);

  Process missing({zoltest::bin("dimctl"), "get", "/PR/NOBODY/SVC"});
  EXPECT_EQ(missing.wait_exit(5000ms), 2);
  EXPECT_NE(missing.err_text().find("no link to /PR/NOBODY/SVC"), std::string::npos);

  Process bad({zoltest::bin("dimctl"), "cmd", "/PR/H/CMD", "0x1FFFFFFFF"});
  EXPECT_EQ(bad.wait_exit(5000ms), 1);
  Process nocmd({zoltest::bin("dimctl"), "cmd", "/PR/NOBODY/CMD", "1"});
  EXPECT_EQ(nocmd.wait_exit(5000ms), 2);
}

}  // namespace
