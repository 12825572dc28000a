// Register watching: the timer's pace, what it reads and publishes, and how subscription
// commands change the watched list and the interval.
#include <gtest/gtest.h>

#include <chrono>

#include "testing/records.h"
#include "testing/world.h"

namespace zoltest {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kBoard = "/ZOL/KeshV2_05";
const std::string kSubscribe = kBoard + "/CMD/SubscribeRegisters";
const std::string kWatched = kBoard + "/SVC/UpdateSubscribedRegisters";
const std::string kCmd = kBoard + "/CMD/ReadWriteRegisters";
const std::string kRegSvc = kBoard + "/SVC/UpdateRegisters";

struct WatchWorld {
  explicit WatchWorld(const std::string &tag) : world(tag) {
    world.boardsim({"set-id", "0x20020005"});
    world.boardsim({"trace", "on"});
    server = start_server(world, "ZOL_server");
    world.boardsim({"trace", "clear"});  // keep only what the timer reads
    station = std::make_unique<Station>(world);
    station->subscribe(kWatched);
    EXPECT_TRUE(station->wait_updates(kWatched, 1));
  }
  // Waits for the next timer publication and returns when it came.
  Clock::time_point next_poll(std::chrono::milliseconds timeout = 12s) {
    size_t seen = station->updates(kWatched).size();
    EXPECT_TRUE(station->wait_updates(kWatched, seen + 1, timeout)) << server->out();
    return Clock::now();
  }
  Station::Update last() { return station->updates(kWatched).back(); }

  World world;
  std::unique_ptr<Process> server;
  std::unique_ptr<Station> station;
};

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The trace lines of register reads, in order.
std::vector<std::string> reads(World &world) {
  std::vector<std::string> out;
  for (const auto &line : world.trace())
    if (line.rfind("R ", 0) == 0) out.push_back(line.substr(0, 8));
  return out;
}

TEST(ZolSubscription, WithoutSubscriptionsEmptyUpdatesComeEveryFiveSeconds) {
  WatchWorld w("watch_empty");
  auto first = w.next_poll();
  EXPECT_EQ(w.last().size, 0);
  auto second = w.next_poll();
  EXPECT_EQ(w.last().size, 0);
  EXPECT_NEAR(seconds(second - first), 5.0, 0.6);
  // Each poll reads the preamble register, and nothing else is read.
  std::vector<std::string> r = reads(w.world);
  ASSERT_GE(r.size(), 2u);
  for (const auto &line : r) EXPECT_EQ(line, "R 0x1000");
}

TEST(ZolSubscription, NewAddressesJoinInOrderAndTheLastNewIntervalPacesThem) {
  WatchWorld w("watch_scenario");
  w.world.poke(0x14, 0x5A);
  uint32_t lines = w.world.peek(0x10);
  w.next_poll();  // line up with the timer
  w.world.boardsim({"trace", "clear"});

  auto sent = Clock::now();
  w.station->command(kSubscribe, join({cntreq(0x10, 2), cntreq(0x14, 7)}));
  auto poll = w.next_poll();
  EXPECT_NEAR(seconds(poll - sent), 7.0, 0.6) << "the countdown restarts with interval 7";
  EXPECT_EQ(w.last().words, (std::vector<uint32_t>{0x10, lines, 0x14, 0x5A}));
  EXPECT_EQ(reads(w.world), (std::vector<std::string>{"R 0x1000", "R 0x0010", "R 0x0014"}));

  // A known address adds nothing and keeps interval 7, but restarts the countdown.
  std::this_thread::sleep_for(3s);
  auto resent = Clock::now();
  w.station->command(kSubscribe, cntreq(0x10, 1));
  auto later = w.next_poll();
  EXPECT_NEAR(seconds(later - resent), 7.0, 0.6);
  EXPECT_EQ(w.last().size, 16);
}

TEST(ZolSubscription, DuplicatesInOneCommandKeepTheFirstInterval) {
  WatchWorld w("watch_dup");
  w.world.poke(0x20, 0x99);
  auto sent = Clock::now();
  // 20 bytes: two requests and a stray half record.
  w.station->command_bytes(kSubscribe, 20, join({cntreq(0x20, 2), cntreq(0x20, 9), {0x30}}));
  auto poll = w.next_poll();
  EXPECT_NEAR(seconds(poll - sent), 2.0, 0.6);
  EXPECT_EQ(w.last().words, (std::vector<uint32_t>{0x20, 0x99}));
}

TEST(ZolSubscription, IntervalOfZeroOrLessIsServedAsOneSecond) {
  WatchWorld w("watch_zero");
  w.station->command(kSubscribe, cntreq(0x20, 0));
  auto a = w.next_poll(4s);
  auto b = w.next_poll(4s);
  EXPECT_NEAR(seconds(b - a), 1.0, 0.4);
  w.station->command(kSubscribe, cntreq(0x24, -3));
  auto c = w.next_poll(4s);
  auto d = w.next_poll(4s);
  EXPECT_NEAR(seconds(d - c), 1.0, 0.4);
  // Register commands are still served between polls.
  w.station->subscribe(kRegSvc);
  ASSERT_TRUE(w.station->wait_updates(kRegSvc, 1));
  w.station->command(kCmd, write_rec(1, 0x20, 0x42, 0xFFFFFFFF, 1));
  ASSERT_TRUE(w.station->wait_updates(kRegSvc, 2));
  EXPECT_EQ(w.station->updates(kRegSvc)[1].words[2], 0x42u);
}

TEST(ZolSubscription, RequestsBeyondTheHundredthAreIgnored) {
  WatchWorld w("watch_full");
  std::vector<uint32_t> words;
  for (uint32_t i = 0; i < 103; ++i) {
    auto r = cntreq(0x4000 + 4 * i, 1);
    words.insert(words.end(), r.begin(), r.end());
  }
  w.station->command(kSubscribe, words);
  EXPECT_TRUE(w.server->wait_for(
      "SubscribeRegisters: table full (100 registers), 3 requests ignored\n", 5s))
      << w.server->out();
  w.next_poll(4s);
  auto u = w.last();
  ASSERT_EQ(u.size, 800);
  EXPECT_EQ(u.words[0], 0x4000u);
  EXPECT_EQ(u.words[2 * 99], 0x4000u + 4 * 99);
  // An address already watched is still accepted silently.
  w.station->command(kSubscribe, cntreq(0x4000, 1));
  w.next_poll(4s);
  EXPECT_EQ(w.last().size, 800);
}

}  // namespace
}  // namespace zoltest
