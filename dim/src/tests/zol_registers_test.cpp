// The register command of ZOL_server on a simulated board: masked writes, I2C bytes,
// unknown methods, record counting, the trace.
#include <gtest/gtest.h>

#include <regex>

#include "testing/records.h"
#include "testing/world.h"

namespace zoltest {
namespace {

const std::string kBoard = "/ZOL/KeshV2_05";
const std::string kCmd = kBoard + "/CMD/ReadWriteRegisters";
const std::string kSvc = kBoard + "/SVC/UpdateRegisters";
// A plain read/write register of the simulated board (the bridge's test register).
constexpr uint32_t kReg = 0x38;

// A server on a board with EEPROM bytes 05 00 02 20 and a station following its results,
// its first (current-contents) delivery already received.
struct RegisterWorld {
  explicit RegisterWorld(const std::string &tag, std::vector<std::string> args = {}) : world(tag) {
    world.boardsim({"set-id", "0x20020005"});
    server = start_server(world, "ZOL_server", std::move(args));
    station = std::make_unique<Station>(world);
    station->subscribe(kSvc);
    EXPECT_TRUE(station->wait_updates(kSvc, 1));
  }
  // Sends one command and returns the delivery it caused.
  Station::Update ask(const std::vector<uint32_t> &words) {
    size_t before = station->updates(kSvc).size();
    station->command(kCmd, words);
    EXPECT_TRUE(station->wait_updates(kSvc, before + 1)) << server->out();
    return station->updates(kSvc).at(before);
  }
  Station::Update ask_bytes(size_t bytes, const std::vector<uint32_t> &words) {
    size_t before = station->updates(kSvc).size();
    station->command_bytes(kCmd, bytes, words);
    EXPECT_TRUE(station->wait_updates(kSvc, before + 1)) << server->out();
    return station->updates(kSvc).at(before);
  }

  World world;
  std::unique_ptr<Process> server;
  std::unique_ptr<Station> station;
};

TEST(ZolRegisters, MaskedWriteReplacesOnlyTheMaskedBits) {
  RegisterWorld w("reg_mask");
  w.world.poke(kReg, 0xAABBCCDD);
  w.world.boardsim({"trace", "on"});
  auto u = w.ask(write_rec(1, kReg, 0x1234, 0x0000FF00, 1));
  EXPECT_EQ(u.words, (std::vector<uint32_t>{1, kReg, 0xAABB12DD, 0x0000FF00}));
  EXPECT_EQ(w.world.peek(kReg), 0xAABB12DDu);

  // Read, write, read on the register, in that order.
  std::vector<std::string> accesses;
  for (const auto &line : w.world.trace())
    if (line.find(" 0x0038 ") != std::string::npos) accesses.push_back(line);
  EXPECT_EQ(accesses, (std::vector<std::string>{"R 0x0038 0xAABBCCDD", "W 0x0038 0xAABB12DD",
                                                "R 0x0038 0xAABB12DD"}));
}

TEST(ZolRegisters, FullMaskWritesValueAndEmptyMaskWritesOldValueBack) {
  RegisterWorld w("reg_fullmask");
  w.world.poke(kReg, 0x11111111);
  auto full = w.ask(write_rec(1, kReg, 0xCAFEF00D, 0xFFFFFFFF, 1));
  EXPECT_EQ(full.words[2], 0xCAFEF00Du);
  w.world.boardsim({"trace", "on"});
  auto none = w.ask(write_rec(1, kReg, 0x12345678, 0, 1));
  EXPECT_EQ(none.words[2], 0xCAFEF00Du);
  bool wrote_back = false;
  for (const auto &line : w.world.trace()) wrote_back |= line == "W 0x0038 0xCAFEF00D";
  EXPECT_TRUE(wrote_back) << "a write with an empty mask still writes the register";
}

TEST(ZolRegisters, RequestsRunInOrderAndLaterOnesSeeEarlierWrites) {
  RegisterWorld w("reg_order");
  auto u = w.ask(join({write_rec(1, kReg, 0x5, 0xFFFFFFFF, 1), write_rec(1, kReg, 0, 0, 0),
                       write_rec(1, kReg, 0x70, 0xF0, 1)}));
  ASSERT_EQ(u.size, 48);
  EXPECT_EQ(u.words[2], 0x5u);
  EXPECT_EQ(u.words[6], 0x5u);
  EXPECT_EQ(u.words[10], 0x75u);
}

TEST(ZolRegisters, MethodTwoReadsAndWritesI2cBytes) {
  RegisterWorld w("reg_i2c");
  // EEPROM byte 2 of the identity 0x20020005.
  auto u = w.ask(write_rec(2, 0xA002, 0, 0, 0));
  EXPECT_EQ(u.words, (std::vector<uint32_t>{2, 0xA002, 0x02, 0}));
  auto byte3 = w.ask(write_rec(2, 0xA003, 0, 0, 0));
  EXPECT_EQ(byte3.words[2], 0x20u);
}

TEST(ZolRegisters, UnknownMethodTouchesNothingAndEchoesTheSlotsOldValue) {
  RegisterWorld w("reg_method3");
  w.world.poke(kReg, 0x0BADCAFE);
  w.ask(write_rec(1, kReg, 0, 0, 0));  // slot 0 now holds 0x0BADCAFE
  w.world.boardsim({"trace", "on"});
  auto u = w.ask(write_rec(3, 0x1234, 0x55, 0xF0, 1));
  EXPECT_EQ(u.words, (std::vector<uint32_t>{3, 0x1234, 0x0BADCAFE, 0xF0}));
  for (const auto &line : w.world.trace())
    EXPECT_EQ(line.find(" 0x1234 "), std::string::npos) << "bus access by method 3: " << line;
}

TEST(ZolRegisters, OnlyWholeRecordsAreServed) {
  RegisterWorld w("reg_partial");
  w.world.poke(kReg, 0x77);
  // 25 bytes: one record and five stray bytes.
  auto one = w.ask_bytes(25, join({write_rec(1, kReg, 0, 0, 0), {0xFFFFFFFF, 0xFFFFFFFF}}));
  EXPECT_EQ(one.size, 16);
  EXPECT_EQ(one.words, (std::vector<uint32_t>{1, kReg, 0x77, 0}));
  // Fewer than 20 bytes, and none at all: an empty update each.
  EXPECT_EQ(w.ask_bytes(19, write_rec(1, kReg, 0, 0, 0)).size, 0);
  EXPECT_EQ(w.ask_bytes(0, {}).size, 0);
}

TEST(ZolRegisters, CommandBeyondTheTableServesTheFirstHundred) {
  RegisterWorld w("reg_oversize");
  w.world.poke(0x3C0, 0);
  std::vector<uint32_t> words;
  for (int i = 0; i < 100; ++i) {
    auto r = write_rec(1, kReg, static_cast<uint32_t>(i), 0xFFFFFFFF, 1);
    words.insert(words.end(), r.begin(), r.end());
  }
  auto extra = write_rec(1, 0x3C0, 0xDEAD, 0xFFFFFFFF, 1);
  words.insert(words.end(), extra.begin(), extra.end());
  words.insert(words.end(), extra.begin(), extra.end());
  auto u = w.ask(words);
  EXPECT_EQ(u.size, 1600);
  EXPECT_EQ(u.words[4 * 99 + 2], 99u);
  EXPECT_EQ(w.world.peek(0x3C0), 0u) << "a request beyond the table was served";
  EXPECT_TRUE(
      w.server->wait_for("ReadWriteRegisters: 2 requests beyond the first 100 ignored\n", 5s))
      << w.server->out();
  // The server keeps serving.
  EXPECT_EQ(w.ask(write_rec(1, kReg, 0, 0, 0)).words[2], 99u);
}

TEST(ZolRegisters, DebugTracePrintsTimeAndRequestedValues) {
  RegisterWorld w("reg_trace", {"-d"});
  w.ask(join({write_rec(1, kReg, 0x1234, 0xFF00, 1), write_rec(2, 0xA001, 0x9, 0, 0)}));
  ASSERT_TRUE(w.server->wait_for(": Met 0x2, Add 0xA001, Val 0x9, Mask 0x0\n", 5s))
      << w.server->out();
  std::string out = w.server->out();
  std::regex time_then_record(
      "\\w{3} \\w{3} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\n: Met 0x1, Add 0x38, Val 0x1234, Mask "
      "0xFF00\n"
      "\\w{3} \\w{3} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\n: Met 0x2, Add 0xA001, Val 0x9, Mask "
      "0x0\n");
  EXPECT_TRUE(std::regex_search(out, time_then_record)) << out;
}

TEST(ZolRegisters, NoTraceWithoutDebugOption) {
  RegisterWorld w("reg_notrace");
  w.ask(write_rec(1, kReg, 0x1234, 0xFF00, 1));
  EXPECT_EQ(w.server->out().find(": Met "), std::string::npos);
}

TEST(ZolDownload, EveryDownloadIsAnsweredWithAStatus) {
  RegisterWorld w("download_status");
  const std::string status_svc = kBoard + "/SVC/FPGALoadStatus";
  w.station->subscribe(status_svc);
  ASSERT_TRUE(w.station->wait_updates(status_svc, 1));
  EXPECT_EQ(w.station->updates(status_svc)[0].words, (std::vector<uint32_t>{0}));
  w.station->command(kBoard + "/CMD/DownloadFPGA", {0x12345678, 0x9});
  ASSERT_TRUE(w.station->wait_updates(status_svc, 2));
  EXPECT_EQ(w.station->updates(status_svc)[1].words, (std::vector<uint32_t>{2}));
  EXPECT_TRUE(w.server->wait_for("Status 2\n", 5s));
}

}  // namespace
}  // namespace zoltest
