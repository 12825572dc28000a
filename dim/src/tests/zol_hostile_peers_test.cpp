// Peers that try to exhaust or freeze ZOL_server rather than confuse it: idle connections by
// the thousand, half-sent frames of the largest size, subscriptions by the ten thousand; and
// the access lists that close a board to stations outside them.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <regex>

#include "platform/dim/wire.h"
#include "testing/proc_figures.h"
#include "testing/raw_socket.h"
#include "testing/records.h"
#include "testing/world.h"

namespace zoltest {
namespace {

using zoltest::status_kib;

namespace wire = dim::wire;

const std::string kBoard = "/ZOL/KeshV2_05";
const std::string kCmd = kBoard + "/CMD/ReadWriteRegisters";
const std::string kSvc = kBoard + "/SVC/UpdateRegisters";

void raise_descriptor_limit() {
  rlimit r{};
  getrlimit(RLIMIT_NOFILE, &r);
  r.rlim_cur = r.rlim_max;
  setrlimit(RLIMIT_NOFILE, &r);
}

// The port a server listens on, as the name server lists it.
int listed_port(World &world, const std::string &board) {
  RunResult r = world.run_program("dimctl", {"list"}, 5s);
  std::smatch m;
  if (std::regex_search(r.out, m, std::regex(board + "/SERVER  [^ ]+:([0-9]+)")))
    return std::stoi(m[1].str());
  return 0;
}

// A ZOL_server for board KeshV2_05 with extra environment, once the name server lists it.
std::unique_ptr<Process> start_board_server(World &world, const Env &extra = {}) {
  Env env = world.env();
  env.insert(env.end(), extra.begin(), extra.end());
  auto server = std::make_unique<Process>(std::vector<std::string>{bin("ZOL_server")}, env);
  EXPECT_TRUE(server->wait_for("Starting up server", 10s)) << server->out() << server->err();
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (listed_port(world, kBoard) != 0) return server;
    std::this_thread::sleep_for(50ms);
  }
  ADD_FAILURE() << "server never appeared at the name server";
  return server;
}

std::size_t line_count(const std::string &text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

std::size_t count_of(const std::string &text, const std::string &what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A register write through the station; true when its answer came back.
bool station_write(Station &station, uint32_t value) {
  const std::size_t before = station.updates(kSvc).size();
  station.command(kCmd, write_rec(1, 0x38, value, 0xFFFFFFFF, 1));
  return station.wait_updates(kSvc, before + 1, 10s);
}

TEST(ZolHostilePeers, ThousandsOfIdleConnectionsLockNoStationOut) {
  raise_descriptor_limit();
  World world("hostile_idle");
  world.boardsim({"set-id", "0x20020005"});
  world.poke(0x38, 0x5EED);
  auto server = start_board_server(world);
  const int port = listed_port(world, kBoard);
  ASSERT_GT(port, 0);

  // Connections that never say anything: as many as either listener holds in all.
  std::vector<std::unique_ptr<RawSocket>> idle;
  for (int i = 0; i < 1024; ++i) idle.push_back(std::make_unique<RawSocket>(port));
  for (int i = 0; i < 4096; ++i) idle.push_back(std::make_unique<RawSocket>(world.dns_port()));
  for (const auto &s : idle) ASSERT_TRUE(s->ok());

  RunResult read = world.run_program("rwreg", {"-R", "38", "-TKeshV2_05"}, 20s);
  EXPECT_EQ(read.status, 0) << read.out << read.err;
  EXPECT_NE(read.out.find("Value 0x5EED"), std::string::npos) << read.out << read.err;
  RunResult list = world.run_program("dimctl", {"list"}, 10s);
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find(kBoard + "/SERVER"), std::string::npos) << list.out << list.err;

  // Each refused or closed connection is not worth a line of its own.
  EXPECT_LE(line_count(server->err()), 20u) << server->err().substr(0, 2000);
}

// Sends up to `bytes` of the body of a command frame announced at the largest length; stops
// when the server closes the connection.
void send_partial_frame(RawSocket &s, std::size_t bytes) {
  timeval limit{10, 0};
  setsockopt(s.fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  wire::Bytes head(4);
  const uint32_t len = static_cast<uint32_t>(wire::kMaxFrameBody);
  std::memcpy(head.data(), &len, 4);
  head.push_back(static_cast<uint8_t>(wire::Kind::kCommand));
  if (!s.send_all(head)) return;
  const wire::Bytes chunk(std::size_t{1} << 20, 0);
  for (std::size_t sent = 0; sent < bytes; sent += chunk.size())
    if (!s.send_all(chunk)) return;
}

TEST(ZolHostilePeers, HalfSentLargestFramesShareOneBudget) {
  World world("hostile_partial");
  world.boardsim({"set-id", "0x20020005"});
  // Under AddressSanitizer freed blocks wait in a quarantine instead of being reused, which
  // would count the frames already dropped as held; without one the peak is the server's own.
  auto server = start_board_server(world, {{"ASAN_OPTIONS", "quarantine_size_mb=0"}});
  const int port = listed_port(world, kBoard);
  ASSERT_GT(port, 0);
  Station station(world);
  station.subscribe(kSvc);
  ASSERT_TRUE(station.wait_updates(kSvc, 1));

  const long before = status_kib(server->pid(), "VmHWM");
  constexpr int kPeers = 6;
  std::vector<std::unique_ptr<RawSocket>> peers;
  for (int i = 0; i < kPeers; ++i) {
    peers.push_back(std::make_unique<RawSocket>(port));
    ASSERT_TRUE(peers.back()->ok());
    send_partial_frame(*peers.back(), std::size_t{64} << 20);
  }
  const long grown_mib = (status_kib(server->pid(), "VmHWM") - before) / 1024;
  // Six such frames held at once would be 384 MiB.
  EXPECT_LT(grown_mib, 160) << "partial frames grew the server by " << grown_mib << " MiB";
  int closed = 0;
  for (int i = 0; i + 1 < kPeers; ++i) closed += peers[i]->closed_by_peer(500) ? 1 : 0;
  EXPECT_GE(closed, kPeers - 2) << "the largest holders were not dropped";
  // The budget its predecessors held was given back: the last one alone fits.
  EXPECT_FALSE(peers.back()->closed_by_peer(200));
  EXPECT_TRUE(station_write(station, 0x600D));
  EXPECT_EQ(station.updates(kSvc).back().words,
            (std::vector<uint32_t>{1, 0x38, 0x600D, 0xFFFFFFFF}));
}

// `n` connections subscribe 4096 times each; once all are served, they close together, and
// the time until a register write is answered after that is returned.
std::chrono::milliseconds delay_after_closing(Station &station, int port, int n) {
  std::vector<std::unique_ptr<RawSocket>> peers;
  wire::Bytes subscribes;
  for (uint32_t id = 1; id <= 4096; ++id) {
    const auto f = wire::encode(wire::SubscribeMsg{id, kSvc});
    subscribes.insert(subscribes.end(), f.begin(), f.end());
  }
  for (int i = 0; i < n; ++i) {
    peers.push_back(std::make_unique<RawSocket>(port));
    EXPECT_TRUE(peers.back()->send_all(subscribes));
  }
  // Every subscription is answered with the current contents.
  for (auto &p : peers) {
    wire::FrameReader reader;
    std::vector<wire::Frame> frames;
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (frames.size() < 4096 && std::chrono::steady_clock::now() < end) {
      pollfd pfd{p->fd(), POLLIN, 0};
      if (poll(&pfd, 1, 100) <= 0) continue;
      auto buf = reader.buffer();
      const ssize_t got = recv(p->fd(), buf.data(), buf.size(), 0);
      if (got <= 0 || reader.commit(static_cast<std::size_t>(got), frames)) break;
    }
    EXPECT_EQ(frames.size(), 4096u);
  }
  const auto t0 = std::chrono::steady_clock::now();
  peers.clear();
  const std::size_t before = station.updates(kSvc).size();
  station.command(kCmd, write_rec(1, 0x38, static_cast<uint32_t>(n), 0xFFFFFFFF, 1));
  EXPECT_TRUE(station.wait_updates(kSvc, before + 1, 60s));
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               t0);
}

TEST(ZolHostilePeers, ClosingManySubscriptionsCostsTimeInProportion) {
  World world("hostile_subs");
  world.boardsim({"set-id", "0x20020005"});
  auto server = start_board_server(world);
  const int port = listed_port(world, kBoard);
  ASSERT_GT(port, 0);
  Station station(world);
  station.subscribe(kSvc);
  ASSERT_TRUE(station.wait_updates(kSvc, 1));

  const auto few = delay_after_closing(station, port, 8);
  const auto many = delay_after_closing(station, port, 24);
  // Removing each subscription by a scan of all of them took seconds at 24 x 4096.
  EXPECT_LT(many.count(), 1000) << "8 x 4096: " << few.count() << " ms, 24 x 4096: " << many.count()
                                << " ms";
  std::printf("delay after closing 8 x 4096 subscriptions: %lld ms, 24 x 4096: %lld ms\n",
              static_cast<long long>(few.count()), static_cast<long long>(many.count()));
}

// A command frame with the words as its data, as the messaging library sends one.
wire::Bytes command_frame(const std::string &name, const std::vector<uint32_t> &words) {
  wire::Bytes frame = wire::command_head(name, words.size() * 4);
  const auto *bytes = reinterpret_cast<const uint8_t *>(words.data());
  frame.insert(frame.end(), bytes, bytes + words.size() * 4);
  return frame;
}

TEST(ZolHostilePeers, FloodsOfFaultyCommandsPrintAFewLinesAndACount) {
  World world("hostile_faults");
  world.boardsim({"set-id", "0x20020005"});
  auto server = start_board_server(world);
  const int port = listed_port(world, kBoard);
  ASSERT_GT(port, 0);
  RawSocket peer(port);
  ASSERT_TRUE(peer.ok());

  // Commands to a name the server does not have, and batches longer than the result table.
  wire::Bytes flood;
  for (int i = 0; i < 500; ++i) {
    const auto f = command_frame(kBoard + "/CMD/Nothing", {});
    flood.insert(flood.end(), f.begin(), f.end());
  }
  std::vector<uint32_t> oversized;
  for (int i = 0; i < 101; ++i) {
    const auto r = write_rec(1, 0x38, 0x1111, 0xFFFFFFFF, 1);
    oversized.insert(oversized.end(), r.begin(), r.end());
  }
  for (int i = 0; i < 500; ++i) {
    const auto f = command_frame(kCmd, oversized);
    flood.insert(flood.end(), f.begin(), f.end());
  }
  // Served after all of them, on the same connection.
  const auto last = command_frame(kCmd, write_rec(1, 0x38, 0x600D, 0xFFFFFFFF, 1));
  flood.insert(flood.end(), last.begin(), last.end());
  ASSERT_TRUE(peer.send_all(flood));
  for (int i = 0; i < 200 && world.peek(0x38) != 0x600D; ++i) std::this_thread::sleep_for(50ms);
  ASSERT_EQ(world.peek(0x38), 0x600Du);

  const std::string err = server->err();
  const std::string out = server->out();
  EXPECT_EQ(count_of(err, ", which is no command here"), 10u) << err.substr(0, 2000);
  EXPECT_NE(err.find(" sent to " + kBoard + "/CMD/Nothing, which is no command here\n"),
            std::string::npos)
      << err.substr(0, 2000);
  EXPECT_EQ(count_of(out, "ReadWriteRegisters: 1 requests beyond the first 100 ignored"), 10u)
      << out.substr(0, 2000);
}

TEST(ZolAccess, AllowListsDecideWhoWatchesAndWhoChangesTheBoard) {
  World world("access");
  world.boardsim({"set-id", "0x20020005"});
  world.poke(0x38, 0x1111);
  {
    // A station outside ZOL_ALLOW: no subscription, no command, one log line a minute.
    auto server = start_board_server(world, {{"ZOL_ALLOW", "10.1.0.0/16"}});
    Station station(world);
    station.subscribe(kSvc);
    EXPECT_TRUE(station.wait_nolink(kSvc, 5s));
    for (uint32_t v : {0x2222u, 0x3333u, 0x4444u})
      station.command(kCmd, write_rec(1, 0x38, v, ~0u, 1));
    station.subscribe(kBoard + "/SVC/FPGALoadStatus");
    EXPECT_TRUE(station.wait_nolink(kBoard + "/SVC/FPGALoadStatus", 5s));
    EXPECT_EQ(world.peek(0x38), 0x1111u);
    std::string err = server->err();
    std::size_t refusals = 0;
    for (std::size_t at = err.find("dim: refused"); at != std::string::npos;
         at = err.find("dim: refused", at + 1))
      ++refusals;
    EXPECT_EQ(refusals, 1u) << err;
    EXPECT_NE(err.find("refused subscription to " + kSvc + " from client 127.0.0.1:"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("(1 refused from 127.0.0.1)"), std::string::npos) << err;
    server->stop();
  }
  {
    // On ZOL_ALLOW but not on ZOL_ALLOW_WRITE: watches, cannot write.
    auto server = start_board_server(
        world, {{"ZOL_ALLOW", "10.0.0.0/8, 127.0.0.1"}, {"ZOL_ALLOW_WRITE", "10.1.2.3"}});
    Station station(world);
    station.subscribe(kSvc);
    EXPECT_TRUE(station.wait_updates(kSvc, 1));
    station.command(kCmd, write_rec(1, 0x38, 0x5555, ~0u, 1));
    EXPECT_TRUE(server->wait_err(
        [](const std::string &e) { return e.find("refused command " + kCmd) != std::string::npos; },
        5s))
        << server->err();
    EXPECT_EQ(world.peek(0x38), 0x1111u);
    server->stop();
  }
  {
    // On ZOL_ALLOW_WRITE, ZOL_ALLOW unset: everything.
    auto server = start_board_server(world, {{"ZOL_ALLOW_WRITE", "127.0.0.0/8"}});
    Station station(world);
    station.subscribe(kSvc);
    ASSERT_TRUE(station.wait_updates(kSvc, 1));
    EXPECT_TRUE(station_write(station, 0x6666));
    EXPECT_EQ(world.peek(0x38), 0x6666u);
    server->stop();
  }
  {
    // A list that cannot be read lets nobody in, and says so.
    auto server = start_board_server(world, {{"ZOL_ALLOW", "127.0.0.1,banana"}});
    Station station(world);
    station.subscribe(kSvc);
    EXPECT_TRUE(station.wait_nolink(kSvc, 5s));
    EXPECT_NE(server->err().find("ZOL_ALLOW='127.0.0.1,banana' is not a list"), std::string::npos)
        << server->err();
    server->stop();
  }
}

}  // namespace
}  // namespace zoltest
