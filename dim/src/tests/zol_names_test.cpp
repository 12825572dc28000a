// Peers that want the board's names: an impostor racing a name-server restart, a server
// squatting the board's names before it starts. The real ZOL_server must keep (or get) its
// names, and stations must reach the board, not the impostor.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "testing/dns_peer.h"
#include "testing/world.h"

namespace zoltest {
namespace {

const std::string kServer = kEchoBoard + "/SERVER";

std::vector<std::string> board_names() {
  std::vector<std::string> out;
  for (const char *s :
       {"/CMD/DownloadFPGA", "/SVC/FPGALoadStatus", "/CMD/ReadWriteRegisters",
        "/SVC/UpdateRegisters", "/CMD/SubscribeRegisters", "/SVC/UpdateSubscribedRegisters"})
    out.push_back(kEchoBoard + s);
  return out;
}

// Registers the board's server name with the board's names every few milliseconds until it
// wins (then holds the name while it lives) or is stopped; bounded in time and tries. Its
// address leads nowhere, so a station sent to it gets no answer.
class Impostor {
 public:
  Impostor(int dns_port, std::chrono::milliseconds every)
      : thread_([this, dns_port, every] { run(dns_port, every); }) {}
  ~Impostor() { stop(); }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    held_.reset();
  }
  bool won() const { return won_; }
  // Gives the name up (it goes with the connection).
  void leave() { stop(); }

 private:
  void run(int dns_port, std::chrono::milliseconds every) {
    const auto end = std::chrono::steady_clock::now() + 30s;
    for (int tries = 0; tries < 5000 && !stop_ && std::chrono::steady_clock::now() < end; ++tries) {
      if (!won_) {
        auto peer = std::make_unique<DnsPeer>(dns_port);
        if (peer->ok()) {
          auto r = peer->register_as(registration(kServer, board_names()), 1000);
          if (r && r->ok) {
            held_ = std::move(peer);
            won_ = true;
          }
        }
      }
      std::this_thread::sleep_for(every);
    }
  }

  std::atomic<bool> stop_{false};
  std::atomic<bool> won_{false};
  std::unique_ptr<DnsPeer> held_;
  std::thread thread_;
};

std::string read_line(uint32_t value) {
  char text[64];
  std::snprintf(text, sizeof text, "Add 0x2000  : Value 0x%X\n", value);
  return text;
}

TEST(BoardNames, ImpostorRacingANameServerRestartNeverTakesTheBoardsName) {
  World world("names_race");
  world.poke(0x2000, 0x600DCAFE);
  auto server = start_server(world, "ZOL_server");
  Impostor impostor(world.dns_port(), 20ms);
  world.kill_dns();
  world.start_dns();  // a real restart: returning servers come first
  // Past the grace period, with the impostor still trying.
  std::this_thread::sleep_for(5s);
  impostor.stop();
  EXPECT_FALSE(impostor.won());
  EXPECT_FALSE(server->wait_exit(0ms)) << server->out() << server->err();
  EXPECT_EQ(server->out().find("Server exiting"), std::string::npos);
  RunResult r = world.run_program("rwreg", {"-R", "2000", "-TKeshV2_00"});
  EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), read_line(0x600DCAFE)) << r.out << r.err;
  EXPECT_EQ(r.status, 0);
}

// Without a grace period an impostor can win the race; the server that was serving is then
// refused, but it never ends: it says so, keeps trying, and has its name again once free.
TEST(BoardNames, ServerRefusedAfterANameServerRestartKeepsRunningAndGetsItsNameBack) {
  World world("names_refused");
  world.poke(0x2000, 0x5EED);
  auto server = start_server(world, "ZOL_server");
  std::unique_ptr<Impostor> impostor;
  // The server's retry may still come first; then the round is tried again.
  for (int round = 0; round < 5; ++round) {
    world.kill_dns();
    impostor = std::make_unique<Impostor>(world.dns_port(), 2ms);
    world.start_dns({"--grace", "0"});
    for (int i = 0; i < 300 && !impostor->won(); ++i) std::this_thread::sleep_for(10ms);
    if (impostor->won()) break;
    impostor->stop();
  }
  ASSERT_TRUE(impostor->won()) << "the impostor never won the race";
  EXPECT_TRUE(server->wait_err(
      [](const std::string &err) {
        return err.find("dim: server " + kServer + " refused by the name server: server name " +
                        kServer + " is already registered") != std::string::npos &&
               err.find("retrying every second") != std::string::npos;
      },
      10s))
      << server->err();
  std::this_thread::sleep_for(1500ms);
  EXPECT_FALSE(server->wait_exit(0ms)) << server->out() << server->err();
  impostor->leave();
  EXPECT_TRUE(server->wait_err(
      [](const std::string &err) {
        return err.find("registered with the name server again") != std::string::npos;
      },
      10s))
      << server->err();
  RunResult r = world.run_program("rwreg", {"-R", "2000", "-TKeshV2_00"});
  EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), read_line(0x5EED)) << r.out << r.err;
  EXPECT_EQ(server->out().find("Server exiting"), std::string::npos);
}

TEST(BoardNames, NamesSquattedByAnotherServerAreRefusedToItAndTheBoardIsReached) {
  World world("names_squat");
  DnsPeer evil(world.dns_port());
  auto r = evil.register_as(registration("/EVIL/SERVER", board_names()));
  ASSERT_TRUE(r && r->ok);
  evil.collect_refusals(300);
  EXPECT_EQ(evil.refused.size(), board_names().size());
  auto server = start_server(world, "ZOL_server");
  RunResult w = world.run_program("rwreg", {"-W1234", "38", "-TKeshV2_00"});
  EXPECT_EQ(w.status, 0) << w.out << w.err;
  EXPECT_EQ(world.peek(0x38), 0x1234u);
  EXPECT_EQ(server->err().find("refused"), std::string::npos) << server->err();
}

// Where any server may offer any name, a squatter can hold the board's names at start-up;
// the server offers them again every second and has them as soon as they are free.
TEST(BoardNames, RefusedNamesAreOfferedAgainUntilTheServerHasThem) {
  World world("names_retry", {"--grace", "0", "--any-names"});
  auto evil = std::make_unique<DnsPeer>(world.dns_port());
  auto r = evil->register_as(registration("/EVIL/SERVER", board_names()));
  ASSERT_TRUE(r && r->ok);
  auto server = world.start("ZOL_server");
  // The server offers its names one after the other: the squatter stays until every one of
  // them has been refused, so each has to be offered again.
  EXPECT_TRUE(server->wait_err(
      [&](const std::string &err) {
        for (const auto &name : board_names())
          if (err.find("dim: name " + name +
                       " refused by the name server: already offered by "
                       "server /EVIL/SERVER; retrying every second") == std::string::npos)
            return false;
        return true;
      },
      10s))
      << server->err();
  evil.reset();
  EXPECT_TRUE(server->wait_err(
      [&](const std::string &err) {
        for (const auto &name : board_names())
          if (err.find("dim: name " + name + " registered with the name server\n") ==
              std::string::npos)
            return false;
        return true;
      },
      10s))
      << server->err();
  RunResult w = world.run_program("rwreg", {"-W4321", "38", "-TKeshV2_00"});
  EXPECT_EQ(w.status, 0) << w.out << w.err;
  EXPECT_EQ(world.peek(0x38), 0x4321u);
}

}  // namespace
}  // namespace zoltest
