// echo_server: answers every record with its value plus one, under the fixed name
// KeshV2_00, without touching any board.
#include <gtest/gtest.h>

#include <regex>

#include "testing/records.h"
#include "testing/world.h"

namespace zoltest {
namespace {

const std::string kCmd = "/ZOL/KeshV2_00/CMD/ReadWriteRegisters";
const std::string kSvc = "/ZOL/KeshV2_00/SVC/UpdateRegisters";

struct EchoWorld {
  explicit EchoWorld(const std::string &tag, std::vector<std::string> args = {}) : world(tag) {
    server = start_server(world, "echo_server", std::move(args));
    station = std::make_unique<Station>(world);
    station->subscribe(kSvc);
    EXPECT_TRUE(station->wait_updates(kSvc, 1));
  }
  Station::Update ask_bytes(size_t bytes, const std::vector<uint32_t> &words) {
    size_t before = station->updates(kSvc).size();
    station->command_bytes(kCmd, bytes, words);
    EXPECT_TRUE(station->wait_updates(kSvc, before + 1));
    return station->updates(kSvc).at(before);
  }
  Station::Update ask(const std::vector<uint32_t> &words) {
    return ask_bytes(words.size() * 4, words);
  }

  World world;
  std::unique_ptr<Process> server;
  std::unique_ptr<Station> station;
};

TEST(EchoServer, StartsUnderTheFixedNameWithoutBanner) {
  World world("echo_start");
  auto server = start_server(world, "echo_server", {"127.0.0.1"});
  std::vector<std::string> lines = lines_of(server->out());
  ASSERT_EQ(lines.size(), 2u) << server->out();
  EXPECT_EQ(lines[0], "Setting DIM_DNS_NODE to 127.0.0.1");
  EXPECT_EQ(lines[1], "Starting up server /ZOL/KeshV2_00/SERVER");
  EXPECT_EQ(server->stop(), 0);
  EXPECT_EQ(lines_of(server->out()).back(), "Server exiting");
}

TEST(EchoServer, AnswersEveryRecordWithValuePlusOneInOrder) {
  EchoWorld w("echo_plus_one");
  EXPECT_EQ(w.ask(write_rec(1, 0x38, 5, 0xFFFFFFFF, 1)).words,
            (std::vector<uint32_t>{1, 0x38, 6, 0xFFFFFFFF}));
  auto three = w.ask(join({write_rec(7, 0x10, 0xFFFFFFFF, 0, 0), write_rec(2, 0xA002, 0x41, 3, 1),
                           write_rec(1, 0x3C, 0, 0xF, 0)}));
  EXPECT_EQ(three.size, 48);
  EXPECT_EQ(three.words,
            (std::vector<uint32_t>{7, 0x10, 0, 0, 2, 0xA002, 0x42, 3, 1, 0x3C, 1, 0xF}));
  // A shorter command shortens the answer.
  EXPECT_EQ(w.ask(write_rec(1, 0x38, 9, 0, 0)).size, 16);
}

TEST(EchoServer, IncompleteAndEmptyCommandsPublishOnlyWholeRecords) {
  EchoWorld w("echo_partial");
  EXPECT_EQ(w.ask_bytes(0, {}).size, 0);
  EXPECT_EQ(w.ask_bytes(19, write_rec(1, 0x38, 5, 0, 0)).size, 0);
  auto one = w.ask_bytes(39, join({write_rec(1, 0x38, 5, 0, 0), write_rec(1, 0x3C, 5, 0, 0)}));
  EXPECT_EQ(one.words, (std::vector<uint32_t>{1, 0x38, 6, 0}));
}

TEST(EchoServer, CommandBeyondTheTableAnswersTheFirstHundred) {
  EchoWorld w("echo_oversize");
  std::vector<uint32_t> words;
  for (uint32_t i = 0; i < 105; ++i) {
    auto r = write_rec(1, 4 * i, i, 0, 0);
    words.insert(words.end(), r.begin(), r.end());
  }
  auto u = w.ask(words);
  EXPECT_EQ(u.size, 1600);
  EXPECT_EQ(u.words[4 * 99 + 2], 100u);
  EXPECT_TRUE(
      w.server->wait_for("ReadWriteRegisters: 5 requests beyond the first 100 ignored\n", 5s));
}

TEST(EchoServer, DebugTracesEveryRecordWithItsWriteFlag) {
  EchoWorld w("echo_trace", {"-D"});
  w.ask(join({write_rec(1, 0x38, 5, 0xFFFFFFFF, 1), write_rec(1, 0x3C, 0xA, 0xF, 0)}));
  std::regex traces(
      "\\w{3} \\w{3} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\n: Met 0x1, Add 0x38, Val 0x5, Mask "
      "0xFFFFFFFF, WR 0x1\n"
      "\\w{3} \\w{3} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\n: Met 0x1, Add 0x3C, Val 0xA, Mask "
      "0xF, WR 0x0\n");
  ASSERT_TRUE(w.server->wait_for("Mask 0xF, WR 0x0\n", 5s)) << w.server->out();
  std::string out = w.server->out();
  EXPECT_TRUE(std::regex_search(out, traces)) << out;
}

}  // namespace
}  // namespace zoltest
