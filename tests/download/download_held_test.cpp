// Commands that come while a download runs wait for it and are served after it, in order;
// what waits is bounded, so a station that goes on sending cannot make the server grow.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testing/proc_figures.h"
#include "testing/records.h"
#include "tests/download/download_station.h"

namespace zoltest {
namespace {

const std::string kBoard = "/ZOL/KeshV2_00";
const std::string kCmd = kBoard + "/CMD/ReadWriteRegisters";
const std::string kSvc = kBoard + "/SVC/UpdateRegisters";
constexpr uint32_t kReg = 0x38;
constexpr size_t k32MiB = size_t{32} << 20;

// A download that never ends, started through fpgaload, and a station following the register
// results. AbortDownload ends the download; the loader then exits.
struct BusyBoard {
  explicit BusyBoard(const std::string &tag) : bench(tag) {
    loader = bench.world().start("fpgaload", {"-TKeshV2_00", download_file("spin")});
    EXPECT_TRUE(bench.server().wait_for("Actions available in this file:\nconfigure\n", 30s))
        << bench.server().out();
    station = std::make_unique<Station>(bench.world());
    station->subscribe(kSvc);
    EXPECT_TRUE(station->wait_updates(kSvc, 1));
  }
  ~BusyBoard() {
    if (!ended) end_download();
  }
  // Sent on the station's connection after everything it sent before, so the server has taken
  // all of that when the download ends.
  void end_download() {
    ended = true;
    station->command(kBoard + "/CMD/AbortDownload", {0});
    EXPECT_TRUE(loader->wait_exit(60s).has_value());
  }

  DownloadBench bench;
  std::unique_ptr<Process> loader;
  std::unique_ptr<Station> station;
  bool ended = false;
};

TEST(HeldCommands, OversizedRegisterBatchesWaitWithOnlyTheRecordsThatAreServed) {
  // Under AddressSanitizer freed blocks wait in a quarantine instead of being reused, which
  // would count the batches already let go as held; without one the peak is the server's own.
  std::string asan = "quarantine_size_mb=0";
  if (const char *given = std::getenv("ASAN_OPTIONS")) asan = std::string(given) + ":" + asan;
  setenv("ASAN_OPTIONS", asan.c_str(), 1);
  BusyBoard b("held_oversized");
  const long before = status_kib(b.bench.server().pid(), "VmHWM");
  ASSERT_GT(before, 0);
  // Twelve batches of 32 MiB: each would be held whole, 384 MiB in all.
  constexpr uint32_t kBatches = 12;
  for (uint32_t i = 1; i <= kBatches; ++i) {
    b.station->command_bytes(kCmd, k32MiB, write_rec(1, kReg, i, 0xFFFFFFFF, 1));
    std::this_thread::sleep_for(200ms);
  }
  b.end_download();
  ASSERT_TRUE(b.station->wait_updates(kSvc, 1 + kBatches, 30s)) << b.bench.server().err();
  const long grown_mib = (status_kib(b.bench.server().pid(), "VmHWM") - before) / 1024;
  EXPECT_LT(grown_mib, 160) << "held batches grew the server by " << grown_mib << " MiB";

  // Served in order, each as its first 100 records, the rest reported as before.
  const auto updates = b.station->updates(kSvc);
  for (uint32_t i = 1; i <= kBatches; ++i) {
    ASSERT_EQ(updates[i].size, 1600);
    EXPECT_EQ(updates[i].words[2], i);
  }
  EXPECT_EQ(b.bench.world().peek(kReg), kBatches);
  const std::string beyond = "ReadWriteRegisters: " + std::to_string(k32MiB / 20 - 100) +
                             " requests beyond the first 100 ignored";
  EXPECT_TRUE(b.bench.server().wait_for(beyond, 5s)) << b.bench.server().out();
}

TEST(HeldCommands, BeyondTheirBoundsCommandsAreIgnoredWithALineAndTheRestServedInOrder) {
  BusyBoard b("held_bounds");
  b.bench.world().poke(kReg, 0x1111);
  const std::string subscribe = kBoard + "/CMD/SubscribeRegisters";
  // Subscription commands are kept whole: two of 32 MiB fit beside the rest, a third does not.
  for (uint32_t addr : {0x10u, 0x14u, 0x18u}) {
    b.station->command_bytes(subscribe, k32MiB, cntreq(addr, 60));
    std::this_thread::sleep_for(200ms);
  }
  ASSERT_TRUE(b.bench.server().wait_err(
      [](const std::string &e) {
        return e.find(
                   "SubscribeRegisters: 33554432 bytes ignored, 2 commands (67108864 bytes) "
                   "already wait for the download\n") != std::string::npos;
      },
      60s))
      << b.bench.server().err();

  // Register commands fill the count; the last that fits writes 0xF00D, those after it 0xBAD.
  constexpr int kFit = 4096 - 2;
  for (int i = 1; i < kFit; ++i)
    b.station->command(kCmd, write_rec(1, kReg, static_cast<uint32_t>(i), 0xFFFFFFFF, 1));
  b.station->command(kCmd, write_rec(1, kReg, 0xF00D, 0xFFFFFFFF, 1));
  constexpr int kIgnored = 20;
  for (int i = 0; i < kIgnored; ++i)
    b.station->command(kCmd, write_rec(1, kReg, 0xBAD, 0xFFFFFFFF, 1));
  b.end_download();
  ASSERT_TRUE(b.station->wait_updates(kSvc, 1 + kFit, 60s)) << b.bench.server().err();
  EXPECT_EQ(b.bench.world().peek(kReg), 0xF00Du);
  const auto updates = b.station->updates(kSvc);
  EXPECT_EQ(updates.back().words, (std::vector<uint32_t>{1, kReg, 0xF00D, 0xFFFFFFFF}));

  // One line per ignored command, up to the limit; the next one printed counts the rest.
  const std::string err = b.bench.server().err();
  EXPECT_NE(err.find("ReadWriteRegisters: 20 bytes ignored, 4096 commands (67190744 bytes) "
                     "already wait for the download\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(count_of(err, " already wait for the download"), 10u) << err;

  // Nothing waits any more: a command is served at once.
  EXPECT_TRUE(b.bench.server().wait_for("Status 2\n", 10s));
  b.station->command(kCmd, write_rec(1, kReg, 0x600D, 0xFFFFFFFF, 1));
  ASSERT_TRUE(b.station->wait_updates(kSvc, 2 + kFit, 10s));
  EXPECT_EQ(b.bench.world().peek(kReg), 0x600Du);
}

}  // namespace
}  // namespace zoltest
